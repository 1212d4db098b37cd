// The mixer behind brilox.sound: 16 channels, each a ring of sample frames
// or a sound held whole, summed into the device's buffer.
//
// Python queues sample frames into a channel's ring, and the audio thread
// takes them out in mix(), which sums the playing channels, each at its own
// volume, in a wider sample, scales the sum by the master volume and clips
// it once.  Each ring has one writer, queue(), and one reader, mix(), which
// never allocates, never waits and never calls out: the two meet only
// through atomic byte counts.  mix() fills what a ring lacks with silence,
// and notes how many frames it took from each and when, which each
// channel's clock reads.  A channel can also hold a whole sound, bytes
// that its owner keeps alive, which mix() plays however many times over on
// its own, from the same kind of spans as a ring's.
//
// The mixer knows nothing of the device or the interpreter.  Its owner
// keeps the device's lock (SDL's audio lock) around mix() and around each
// call below marked "with the lock held"; queue() and queued() need none.
#pragma once

#include <atomic>
#include <cstdint>

namespace brilox::sound {

constexpr int channel_count = 16;
// A channel's volume moves to a new value along a straight line over this
// long, one step a frame, so that a change is never heard as a click.
constexpr double ramp_seconds = 0.005;

// One channel: a ring of its own in the device's format, with one writer,
// queue(), and one reader, mix().  `written` and `taken` count the bytes
// ever put into the ring and taken out of it: queue() alone moves `written`
// and mix() alone moves `taken` (but for flush() and hold(), which run with
// the lock held), each storing with release after its copy and loading the
// other's count with acquire before it, so neither ever waits for the
// other.
//
// The ring is given by the owner (channel 0's at start, the others' when
// first used) with the lock held; it stays until the device closes.
//
// The clock's record is written by mix() and read and reset only with the
// lock held: the frames mix() took from the ring since the last flush, how
// many of them the last call took, and when it ran.
//
// `gain`, `step` and `target` are mix()'s alone: the gain it plays at now
// (1 is the samples as queued), the gain it adds each frame while it ramps
// to the volume, and the volume it ramps to.
//
// A sound held whole (hold()): its bytes, their length (whole frames), the
// byte of its current pass mix() plays next, and how many more passes
// follow the current one (-1: until stopped).  hold() sets them with the
// lock held; mix() alone moves them after that, and sets `held` to null
// when the last pass ends, which the owner reads, with the lock held, as
// the sign to let the bytes go.  While a sound is held the ring waits.
struct Channel {
    std::uint8_t *ring = nullptr;
    std::atomic<std::uint64_t> written{0};
    std::atomic<std::uint64_t> taken{0};
    std::atomic<int> volume{100};
    std::atomic<bool> playing{false};  // not paused
    std::atomic<bool> fed{false};      // something was queued since the last flush
    std::atomic<std::uint64_t> underruns{0};
    std::uint64_t frames_taken = 0;
    std::uint64_t last_frames = 0;
    std::int64_t last_call_ns = 0;
    double gain = 1;
    double step = 0;
    int target = 100;
    const std::uint8_t *held = nullptr;
    std::uint64_t held_length = 0;
    std::uint64_t held_at = 0;
    std::int64_t held_loops = 0;
};

static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

// What a channel's clock reads of mix()'s record.
struct Heard {
    std::uint64_t frames_taken;
    std::uint64_t last_frames;
    std::int64_t last_call_ns;
};

// A span of a channel's frames that mix() sums: where its bytes are.  The
// ring gives one or two spans (the second from the ring's start); a sound
// held whole could give more, one for each time round it.
struct Span {
    const std::uint8_t *bytes;
    std::uint64_t count;
};

// The channels, the shape of their rings and the format, set by start()
// and kept until the device closes, and the master volume and mute, which
// apply to the sum of the channels from the next mix() on, as they are.
struct Mixer {
    Channel channels[channel_count];
    std::uint64_t capacity = 0;  // bytes of each ring, whole frames
    unsigned frame_bytes = 0;
    int size = 0;  // the sample format: its bits, negative when signed
    unsigned ramp_frames = 1;
    std::atomic<int> volume{100};
    std::atomic<bool> muted{false};

    // Every channel paused, empty, without a ring and at volume 100, the
    // master at 100 and not muted, for a device of `frequency` frames a
    // second in format `size` (-16, 16, -8 or 8) with frames of
    // `frame_bytes`, whose rings hold `capacity` bytes; with the lock held.
    void start(int frequency, int size, unsigned frame_bytes, std::uint64_t capacity);

    // Copies as many whole frames of `data` into channel `n`'s ring as fit
    // (the ring must be there) and returns the bytes taken.  `length` is
    // whole frames.
    std::uint64_t queue(int n, const std::uint8_t *data, std::uint64_t length);
    // The bytes waiting in channel `n`'s ring, and the bytes it has room
    // for.
    std::uint64_t queued(int n) const;
    std::uint64_t room(int n) const;
    // With the lock held: takes back the last `length` bytes queued into
    // channel `n`'s ring (whole frames), or as many of them as still wait,
    // and returns the bytes taken back.  The writer's own call, as queue()
    // is: what mix() took meanwhile stays taken.
    std::uint64_t unqueue(int n, std::uint64_t length);
    // With the lock held: puts back `length` bytes that unqueue() took back
    // from channel `n`, nothing queued since (their bytes are still there).
    void requeue(int n, std::uint64_t length);

    // With the lock held: drops what waits in channel `n`'s ring and the
    // sound it holds, and starts its record of frames taken again at 0.
    void flush(int n);
    // With the lock held: plays `length` bytes (whole frames, at least one)
    // on channel `n`, then `loops` more times (-1: until stopped), in place
    // of what it played, its ring emptied and its record started again.
    void hold(int n, const std::uint8_t *bytes, std::uint64_t length, std::int64_t loops);
    // With the lock held: what channel `n`'s clock reads.
    Heard heard(int n) const;
};

// The device's callback: fills `length` bytes of `stream` with the sum of
// the playing channels, `now_ns` being the time it runs (on the clock the
// channels' clocks read).  With the lock held, as SDL holds it around its
// callback.
void mix(Mixer &m, std::uint8_t *stream, std::uint64_t length, std::int64_t now_ns);

// Seconds of a channel's sound heard by `now_ns`: the frames taken before
// the last call were heard; the last call's are in the device's buffer,
// which plays them from that call on, in real time.
double heard_seconds(const Heard &heard, int frequency, std::int64_t now_ns);
// Whether the frames of the last call are still being heard at `now_ns`.
bool still_heard(const Heard &heard, int frequency, std::int64_t now_ns);

// A channel's clock as its owner reads it: the seconds heard, frozen while
// the channel is paused, and never below what it gave before.
struct ChannelClock {
    bool paused = true;
    double seconds = 0;

    double read(double heard)
    {
        if (!paused && heard > seconds)
            seconds = heard;
        return seconds;
    }
};

// The device's buffer for `frequency`: the most frames, a power of two,
// that last at most 40 ms, so at least 20 ms.
unsigned device_samples(int frequency);

// The spans mix() takes: channel `c`'s ring from byte `from` on (counted as
// `taken` is), `count` bytes long, and a held sound `from` bytes into a
// call, `count` bytes long, at most its length.
void ring_spans(Span (&spans)[2], const Channel &c, std::uint64_t capacity, std::uint64_t from,
                std::uint64_t count);
void held_spans(Span (&spans)[2], const Channel &c, std::uint64_t from, std::uint64_t count);
// The bytes a held sound gives a call of `wanted` bytes: all of them, or
// what is left of its last pass.
std::uint64_t held_count(const Channel &c, std::uint64_t wanted);

}  // namespace brilox::sound
