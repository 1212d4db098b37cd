// brilox.sound: plays sound through SDL's audio device.
//
// The device mixes up to 16 channels.  Python queues sample frames into a
// channel's ring buffer, and SDL's audio thread takes them out in its
// callback, which sums the playing channels, each at its own volume, in a
// wider sample, scales the sum by the master volume and clips it once.  Each
// ring has one writer, queue(), which runs under the interpreter lock, and
// one reader, the callback, which never takes the interpreter lock, never
// allocates, never waits and never calls Python: the two meet only through
// atomic byte counts.  The callback fills what a ring lacks with silence,
// and notes how many frames it took from each and when, which each
// channel's clock reads.  A channel can also hold a whole sound, the buffer
// of a Python object, which the callback plays however many times over on
// its own, from the same kind of spans as a ring's.  The module's functions
// act on channel 0.
#include "api_tables.hpp"

#include <SDL.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace {

using brilox::Ref;
namespace api = brilox::api;

void *api_slots[api::importer_slot_count];

PyObject *raise_sdl_error()
{
    return api::raise_library_error(api_slots, SDL_GetError());
}

// --- the device and its channels --------------------------------------------

// A sample format as callers name it (its bits, negative when signed) and
// as SDL does, in the machine's byte order.
struct SampleFormat {
    int size;
    Uint16 sdl_format;
};

constexpr SampleFormat sample_formats[] = {
    {-16, AUDIO_S16SYS}, {16, AUDIO_U16SYS}, {-8, AUDIO_S8}, {8, AUDIO_U8}};

const SampleFormat *format_of_size(int size)
{
    for (const SampleFormat &format : sample_formats)
        if (format.size == size)
            return &format;
    return nullptr;
}

const SampleFormat *format_of_sdl(Uint16 sdl_format)
{
    for (const SampleFormat &format : sample_formats)
        if (format.sdl_format == sdl_format)
            return &format;
    return nullptr;
}

constexpr int channel_count = 16;
// A channel's volume moves to a new value along a straight line over this
// long, one step a frame, so that a change is never heard as a click.
constexpr double ramp_seconds = 0.005;

// One channel: a ring of its own in the device's format, with one writer,
// queue(), which runs under the interpreter lock, and one reader, the
// callback.  `written` and `taken` count the bytes ever put into the ring
// and taken out of it: queue() alone moves `written` and the callback alone
// moves `taken` (but for flush(), which holds SDL's audio lock), each
// storing with release after its copy and loading the other's count with
// acquire before it, so neither ever waits for the other.
//
// The ring is made when the channel is first used (channel 0's at open())
// and set with SDL's audio lock held, which SDL holds around every
// callback; it stays until the device closes.
//
// The clock's record is written by the callback and read and reset by the
// interpreter's thread only with SDL's audio lock held: the frames the
// callback took from the ring since the last flush, how many of them the
// last callback took, and when it ran.
//
// `gain`, `step` and `target` are the callback's alone: the gain it plays
// at now (1 is the samples as queued), the gain it adds each frame while it
// ramps to the volume, and the volume it ramps to.
//
// A sound held whole (play()): its bytes, their length (whole frames), the
// byte of its current pass the callback plays next, and how many more
// passes follow the current one (-1: until stopped).  The interpreter's
// thread sets them with SDL's audio lock held; the callback alone moves
// them after that, and sets `held` to null when the last pass ends, which
// the interpreter's thread reads, with the lock held, as the sign to
// release the buffer.  While a sound is held the ring waits.
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

// What the callback shares with the interpreter's thread: the channels, the
// shape of their rings and the format, set with SDL's audio lock held and
// kept until the device closes, and the master volume and mute, which apply
// to the sum of the channels from the next callback on, as they are.
struct Device {
    Channel channels[channel_count];
    std::uint64_t capacity = 0;  // bytes of each ring, whole frames
    unsigned frame_bytes = 0;
    int size = 0;  // the sample format, as SampleFormat::size
    unsigned ramp_frames = 1;
    std::atomic<int> volume{100};
    std::atomic<bool> muted{false};
};

static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

Device device;

// What only the interpreter's thread keeps about the open device.
struct Opened {
    bool open = false;
    int frequency = 0;
    int channels = 0;
    int samples = 0;  // the device's buffer, in frames
    int buffer_bytes = 0;
    bool running = false;  // SDL calls back: some channel is not paused
    bool paused[channel_count] = {};
    // The last value each channel's clock gave, which it never goes below.
    double clock[channel_count] = {};
};

Opened opened;

// The buffers of the sounds the channels hold, which the interpreter's
// thread alone takes and releases (under the interpreter lock, never in the
// callback).  A view stays taken after the callback finishes with it, until
// the next call that looks at the channel (reap()).
struct HeldViews {
    Py_buffer view[channel_count] = {};
    bool taken[channel_count] = {};
};

HeldViews held_views;

// Channels kept for one owner (a Video's sound, or the game's music), which
// find_channel() passes over whether they play or not.  Only Python's thread
// reads and writes them, and they outlast a close() of the device, as the
// Channel objects that name them do.
bool reserved[channel_count] = {};

std::int64_t now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Silence is the middle of the format's range: 0 for signed samples, 0x80
// and 0x8000 for unsigned ones.  (SDL's own silence byte would make unsigned
// 16-bit silence 0x0000 on classic SDL and 0x8080 on SDL over SDL 2.)
void fill_silence(std::uint8_t *bytes, std::uint64_t count, int size)
{
    if (size == 16) {
        const Uint16 middle = 0x8000;
        for (std::uint64_t i = 0; i + 2 <= count; i += 2)
            std::memcpy(bytes + i, &middle, 2);
    } else {
        std::memset(bytes, size == 8 ? 0x80 : 0, count);
    }
}

// --- the mix -----------------------------------------------------------------

// The callback sums the channels, block by block, in 32-bit samples taken as
// their distance from the format's middle, then clips each sum once.  Sixteen
// full-scale 16-bit channels sum to at most 2^19, which the master volume's
// scaling below keeps within 32 bits.
constexpr unsigned block_samples = 2048;
using Sum = std::int32_t;

// A span of a channel's frames that the callback mixes: where its bytes are.
// The ring gives one or two spans (the second from the ring's start); a
// sound held whole could give more, one for each time round it.
struct Span {
    const std::uint8_t *bytes;
    std::uint64_t count;
};

// Adds `count` bytes of samples to `sum` at the channel's gain, ramping it a
// step a frame toward the channel's target while it is not there.
template <typename Sample, int zero>
[[gnu::always_inline]] inline void add_samples(Sum *sum, const std::uint8_t *bytes,
                                               std::uint64_t count, Channel &c,
                                               unsigned frame_samples)
{
    const std::uint64_t samples = count / sizeof(Sample);
    std::uint64_t i = 0;
    const double target = c.target / 100.0;
    // The ramp, a frame at a time.
    while (c.gain != target && i < samples) {
        c.gain += c.step;
        if ((c.step > 0 && c.gain >= target) || (c.step <= 0 && c.gain <= target))
            c.gain = target;
        for (unsigned k = 0; k < frame_samples; ++k, ++i) {
            Sample sample;
            std::memcpy(&sample, bytes + i * sizeof(Sample), sizeof sample);
            sum[i] += static_cast<Sum>(
                std::floor((static_cast<int>(sample) - zero) * c.gain + 0.5));
        }
    }
    if (c.target == 100) {
        for (; i < samples; ++i) {
            Sample sample;
            std::memcpy(&sample, bytes + i * sizeof(Sample), sizeof sample);
            sum[i] += static_cast<Sum>(sample) - zero;
        }
    } else if (c.target > 0) {
        // The gain in 15 fractional bits, the product rounded to nearest.
        // Both factors fit 16 bits, so that the product is one the
        // processor widens from 16 bits at once.
        const auto gain = static_cast<std::int16_t>((c.target * 32768 + 50) / 100);
        for (; i < samples; ++i) {
            Sample sample;
            std::memcpy(&sample, bytes + i * sizeof(Sample), sizeof sample);
            const auto centred = static_cast<std::int16_t>(sample - zero);
            sum[i] += (static_cast<Sum>(centred) * gain + 16384) >> 15;
        }
    }
}

// Writes the sums as samples: each, scaled by the master's percent,
// becomes round(sum * percent / 100), halves rounded up, clipped (never
// wrapped) to the format's range.  Adding 100 * 2^20 keeps every dividend
// positive, so that integer division rounds down.
template <typename Sample, int zero, int low, int high>
[[gnu::always_inline]] inline void write_samples(std::uint8_t *bytes, const Sum *sum,
                                                 std::uint64_t samples, int percent)
{
    if (percent == 100) {
        for (std::uint64_t i = 0; i < samples; ++i) {
            const auto sample = static_cast<Sample>(std::clamp(sum[i], low, high) + zero);
            std::memcpy(bytes + i * sizeof(Sample), &sample, sizeof sample);
        }
        return;
    }
    constexpr Sum offset = 1 << 20;
    for (std::uint64_t i = 0; i < samples; ++i) {
        const Sum scaled = (sum[i] * percent + 50 + 100 * offset) / 100 - offset;
        const auto sample = static_cast<Sample>(std::clamp(scaled, low, high) + zero);
        std::memcpy(bytes + i * sizeof(Sample), &sample, sizeof sample);
    }
}

template <typename Sample, int zero, int low, int high>
[[gnu::always_inline]] inline void mix_block(std::uint8_t *out, std::uint64_t bytes,
                                             const Span (&spans)[channel_count][2],
                                             Channel *channels, unsigned frame_samples,
                                             int percent)
{
    Sum sum[block_samples];
    const std::uint64_t samples = bytes / sizeof(Sample);
    std::fill_n(sum, samples, 0);
    for (int n = 0; n < channel_count; ++n) {
        // The spans follow each other in the block.
        Sum *to = sum;
        for (const Span &span : spans[n]) {
            if (span.count > 0)
                add_samples<Sample, zero>(to, span.bytes, span.count, channels[n],
                                          frame_samples);
            to += span.count / sizeof(Sample);
        }
    }
    write_samples<Sample, zero, low, high>(out, sum, samples, percent);
}

// The spans of channel `c`'s ring from byte `from` on (counted as `taken`
// is), `count` bytes long.
void ring_spans(Span (&spans)[2], const Channel &c, std::uint64_t capacity,
                std::uint64_t from, std::uint64_t count)
{
    const std::uint64_t start = from % capacity;
    const std::uint64_t first = std::min(count, capacity - start);
    spans[0] = {c.ring + start, first};
    spans[1] = {c.ring, count - first};
}

// The bytes a held sound gives a call of `wanted` bytes: all of them, or
// what is left of its last pass.
std::uint64_t held_count(const Channel &c, std::uint64_t wanted)
{
    const std::uint64_t rest = c.held_length - c.held_at;
    if (c.held_loops < 0 || rest >= wanted)
        return wanted;
    const auto loops = static_cast<std::uint64_t>(c.held_loops);
    if ((wanted - rest) / c.held_length >= loops)
        return std::min(wanted, rest + loops * c.held_length);
    return wanted;
}

// The spans of a held sound `from` bytes into this call, `count` bytes
// long, at most its length: to its end, then on from its start.
void held_spans(Span (&spans)[2], const Channel &c, std::uint64_t from, std::uint64_t count)
{
    const std::uint64_t start = (c.held_at + from) % c.held_length;
    const std::uint64_t first = std::min(count, c.held_length - start);
    spans[0] = {c.held + start, first};
    spans[1] = {c.held, count - first};
}

// Moves a held sound on by `count` bytes, counting its passes down, and
// lets it go (for the interpreter's thread to release) after its last.
void held_advance(Channel &c, std::uint64_t count)
{
    const std::uint64_t at = c.held_at + count;
    const std::uint64_t passes = at / c.held_length;
    c.held_at = at % c.held_length;
    if (c.held_loops < 0 || passes == 0)
        return;
    if (passes > static_cast<std::uint64_t>(c.held_loops)) {
        c.held = nullptr;
        c.held_at = 0;
        c.held_loops = 0;
        return;
    }
    c.held_loops -= static_cast<std::int64_t>(passes);
}

// The mix, which the compiler makes twice on x86-64: for the processors of
// AVX2, twice as wide, and for every other (the blocks' code is inlined into
// each).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define BRILOX_MIX_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define BRILOX_MIX_CLONES
#endif

// SDL's audio callback, on SDL's audio thread.
BRILOX_MIX_CLONES void SDLCALL mix_channels(void *, Uint8 *stream, int len)
{
    Device &d = device;
    const auto length = static_cast<std::uint64_t>(std::max(len, 0));
    if (d.channels[0].ring == nullptr) {
        std::memset(stream, 0, length);
        return;
    }
    const std::uint64_t wanted = length - length % d.frame_bytes;
    // What each playing channel gives this call: what its ring held when
    // the call began, up to the call's length.  A paused channel is left
    // as it is.
    std::uint64_t taken[channel_count] = {};
    std::uint64_t count[channel_count] = {};
    bool playing[channel_count] = {};
    std::uint64_t block_limit = wanted;
    for (int n = 0; n < channel_count; ++n) {
        Channel &c = d.channels[n];
        playing[n] = (c.ring != nullptr || c.held != nullptr) &&
                     c.playing.load(std::memory_order_relaxed);
        if (!playing[n])
            continue;
        if (c.held != nullptr) {
            count[n] = held_count(c, wanted);
            // Blocks no longer than the sound, so that a block's share of
            // it is at most two spans, the second from its start.
            block_limit = std::min(block_limit, c.held_length);
        } else {
            taken[n] = c.taken.load(std::memory_order_relaxed);
            count[n] = std::min(c.written.load(std::memory_order_acquire) - taken[n], wanted);
        }
        const int volume = c.volume.load(std::memory_order_relaxed);
        if (volume != c.target) {
            c.target = volume;
            c.step = (volume / 100.0 - c.gain) / d.ramp_frames;
        }
        if (count[n] == 0)
            c.gain = volume / 100.0;  // nothing heard: no click to smooth
    }

    const unsigned sample_bytes = static_cast<unsigned>(std::abs(d.size) / 8);
    const unsigned frame_samples = d.frame_bytes / sample_bytes;
    const std::uint64_t block = std::min(
        std::max<std::uint64_t>(block_samples / frame_samples, 1) * d.frame_bytes,
        std::max<std::uint64_t>(block_limit, d.frame_bytes));
    const int percent = d.muted.load(std::memory_order_relaxed)
                            ? 0
                            : d.volume.load(std::memory_order_relaxed);
    for (std::uint64_t at = 0; at < wanted; at += block) {
        const std::uint64_t bytes = std::min(block, wanted - at);
        Span spans[channel_count][2] = {};
        for (int n = 0; n < channel_count; ++n)
            if (count[n] > at) {
                const Channel &c = d.channels[n];
                const std::uint64_t share = std::min(bytes, count[n] - at);
                if (c.held != nullptr)
                    held_spans(spans[n], c, at, share);
                else
                    ring_spans(spans[n], c, d.capacity, taken[n] + at, share);
            }
        switch (d.size) {
        case -16:
            mix_block<Sint16, 0, -32768, 32767>(stream + at, bytes, spans, d.channels,
                                                frame_samples, percent);
            break;
        case 16:
            mix_block<Uint16, 32768, -32768, 32767>(stream + at, bytes, spans, d.channels,
                                                    frame_samples, percent);
            break;
        case -8:
            mix_block<Sint8, 0, -128, 127>(stream + at, bytes, spans, d.channels,
                                           frame_samples, percent);
            break;
        default:
            mix_block<Uint8, 128, -128, 127>(stream + at, bytes, spans, d.channels,
                                             frame_samples, percent);
            break;
        }
    }
    fill_silence(stream + wanted, length - wanted, d.size);

    const std::int64_t now = now_ns();
    for (int n = 0; n < channel_count; ++n) {
        if (!playing[n])
            continue;
        Channel &c = d.channels[n];
        c.frames_taken += count[n] / d.frame_bytes;
        c.last_frames = count[n] / d.frame_bytes;
        c.last_call_ns = now;
        if (c.held != nullptr) {
            held_advance(c, count[n]);
            continue;
        }
        c.taken.store(taken[n] + count[n], std::memory_order_release);
        // Short while playing what was queued: the ring ran dry.  A ring
        // that is empty because nothing was queued since the last flush is
        // not.
        if (count[n] < wanted && c.fed.load(std::memory_order_relaxed))
            c.underruns.fetch_add(1, std::memory_order_relaxed);
    }
}

// SDL's buffer: the most frames, a power of two, that last at most 40 ms,
// so at least 20 ms.
Uint16 device_samples(int frequency)
{
    const auto frames = std::bit_floor(static_cast<unsigned>(frequency / 25));
    return static_cast<Uint16>(std::clamp(frames, 1u, 32768u));
}

// Releases the buffer channel `n` held, if any; the callback no longer
// reads it.
void release_held(int n)
{
    if (!held_views.taken[n])
        return;
    held_views.taken[n] = false;
    PyBuffer_Release(&held_views.view[n]);
}

// Releases channel `n`'s buffer once the callback has played it out.
void reap(int n)
{
    if (!held_views.taken[n])
        return;
    SDL_LockAudio();
    const bool done = device.channels[n].held == nullptr;
    SDL_UnlockAudio();
    if (done)
        release_held(n);
}

void close_device()
{
    if (!opened.open)
        return;
    // SDL's audio thread has ended when this returns: no callback reads the
    // rings after it.  Classic SDL's SDL_CloseAudio also shuts its audio
    // subsystem down, and sdl12-compat's does not; it is shut down here on
    // both, so that the next open starts SDL's audio afresh, on the driver
    // SDL_AUDIODRIVER then names.
    SDL_CloseAudio();
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    for (Channel &c : device.channels) {
        PyMem_RawFree(c.ring);
        c.ring = nullptr;
        c.held = nullptr;
    }
    opened.open = false;
    for (int n = 0; n < channel_count; ++n)
        release_held(n);
}

bool sound_ready()
{
    if (opened.open)
        return true;
    api::raise_library_error(api_slots, "sound not open");
    return false;
}

// Seconds of the sound queued on channel `n` heard since its last flush.
// The last callback's frames are in SDL's buffer, which plays them from
// that callback on, in real time; everything taken before them has been
// heard.
double heard_seconds(int n)
{
    const Channel &c = device.channels[n];
    SDL_LockAudio();
    const std::uint64_t frames = c.frames_taken;
    const std::uint64_t last = c.last_frames;
    const std::int64_t last_call = c.last_call_ns;
    SDL_UnlockAudio();
    const double frequency = opened.frequency;
    const double since =
        static_cast<double>(std::max<std::int64_t>(now_ns() - last_call, 0)) / 1e9;
    return static_cast<double>(frames - last) / frequency +
           std::min(since, static_cast<double>(last) / frequency);
}

// A channel's clock: frozen while paused, and never below what it gave
// before.
double clock_seconds(int n)
{
    if (!opened.paused[n])
        opened.clock[n] = std::max(opened.clock[n], heard_seconds(n));
    return opened.clock[n];
}

// Makes channel `n`'s ring if it has none yet.
bool ring_made(int n)
{
    Channel &c = device.channels[n];
    if (c.ring != nullptr)
        return true;
    auto *ring = static_cast<std::uint8_t *>(PyMem_RawMalloc(device.capacity));
    if (ring == nullptr) {
        PyErr_NoMemory();
        return false;
    }
    SDL_LockAudio();
    c.ring = ring;
    SDL_UnlockAudio();
    return true;
}

// --- open, close, quit -------------------------------------------------------

// What an open has made so far, undone unless it is kept: SDL's device, the
// ring, and SDL's audio subsystem if this open brought it up.
struct PendingOpen {
    bool started_audio = false;
    bool device_open = false;
    std::uint8_t *ring = nullptr;

    PendingOpen() = default;
    PendingOpen(const PendingOpen &) = delete;
    PendingOpen &operator=(const PendingOpen &) = delete;
    ~PendingOpen()
    {
        if (device_open)
            SDL_CloseAudio();
        PyMem_RawFree(ring);
        if (started_audio)
            SDL_QuitSubSystem(SDL_INIT_AUDIO);
    }
    void keep()
    {
        started_audio = device_open = false;
        ring = nullptr;
    }
};

const char *open_refusal(int frequency, int channels, const SampleFormat *format,
                         double buffer_seconds)
{
    if (frequency <= 0)
        return "frequency must be positive";
    if (channels < 1 || channels > 255)
        return "channels must be 1 to 255";
    if (format == nullptr)
        return "size must be -16, 16, -8 or 8";
    if (!(buffer_seconds > 0 && std::isfinite(buffer_seconds)))
        return "buffer_seconds must be positive";
    return nullptr;
}

PyObject *sound_open(PyObject *, PyObject *args, PyObject *kwargs)
{
    static const char *keywords[] = {"frequency", "channels", "size", "buffer_seconds",
                                     nullptr};
    int frequency = 0, channels = 0, size = -16;
    double buffer_seconds = 0.5;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "ii|id:open", const_cast<char **>(keywords),
                                     &frequency, &channels, &size, &buffer_seconds))
        return nullptr;
    const SampleFormat *asked = format_of_size(size);
    if (const char *refusal = open_refusal(frequency, channels, asked, buffer_seconds)) {
        PyErr_SetString(PyExc_ValueError, refusal);
        return nullptr;
    }

    // One device at a time: a second open closes the first.
    close_device();
    PendingOpen pending;
    if (!SDL_WasInit(SDL_INIT_AUDIO)) {
        // As brilox.display does: SDL_Init would take over the interpreter's
        // fatal signals.
        if (SDL_InitSubSystem(SDL_INIT_AUDIO) < 0)
            return raise_sdl_error();
        pending.started_audio = true;
    }
    SDL_AudioSpec desired{};
    desired.freq = frequency;
    desired.format = asked->sdl_format;
    desired.channels = static_cast<Uint8>(channels);
    desired.samples = device_samples(frequency);
    desired.callback = mix_channels;
    SDL_AudioSpec obtained{};
    if (SDL_OpenAudio(&desired, &obtained) < 0)
        return raise_sdl_error();
    pending.device_open = true;
    const SampleFormat *format = format_of_sdl(obtained.format);
    if (format == nullptr) {
        // 16-bit samples of the other byte order: SDL converts from the
        // format asked for instead, at the rate, channels and buffer it gave.
        SDL_CloseAudio();
        pending.device_open = false;
        desired.freq = obtained.freq;
        desired.channels = obtained.channels;
        desired.samples = obtained.samples;
        if (SDL_OpenAudio(&desired, nullptr) < 0)
            return raise_sdl_error();
        pending.device_open = true;
        obtained = desired;
        format = asked;
    }

    const unsigned frame_bytes =
        obtained.channels * static_cast<unsigned>(std::abs(format->size) / 8);
    const double frames = std::max(std::round(buffer_seconds * obtained.freq), 1.0);
    if (frames * frame_bytes > static_cast<double>(PY_SSIZE_T_MAX / 2)) {
        PyErr_NoMemory();
        return nullptr;
    }
    const auto capacity = static_cast<std::uint64_t>(frames) * frame_bytes;
    pending.ring = static_cast<std::uint8_t *>(PyMem_RawMalloc(capacity));
    if (pending.ring == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    Ref result = Ref::steal(Py_BuildValue("(iiiii)", obtained.freq, int{obtained.channels},
                                          format->size, int{obtained.samples},
                                          static_cast<int>(obtained.size)));
    if (!result)
        return nullptr;

    // The device is paused, so SDL is not calling back; the lock publishes
    // the rings to its thread all the same.
    SDL_LockAudio();
    for (Channel &c : device.channels) {
        c.written.store(0);
        c.taken.store(0);
        c.volume.store(100);
        c.playing.store(false);
        c.fed.store(false);
        c.underruns.store(0);
        c.frames_taken = c.last_frames = 0;
        c.last_call_ns = 0;
        c.gain = 1;
        c.step = 0;
        c.target = 100;
        c.held = nullptr;
        c.held_length = c.held_at = 0;
        c.held_loops = 0;
    }
    device.channels[0].ring = pending.ring;
    device.capacity = capacity;
    device.frame_bytes = frame_bytes;
    device.size = format->size;
    device.ramp_frames =
        static_cast<unsigned>(std::max(std::lround(ramp_seconds * obtained.freq), 1L));
    device.volume.store(100);
    device.muted.store(false);
    SDL_UnlockAudio();
    pending.keep();
    opened = Opened{};
    opened.open = true;
    opened.frequency = obtained.freq;
    opened.channels = obtained.channels;
    opened.samples = obtained.samples;
    opened.buffer_bytes = static_cast<int>(obtained.size);
    std::fill_n(opened.paused, channel_count, true);
    return result.release();
}

PyObject *sound_close(PyObject *, PyObject *)
{
    if (!sound_ready())
        return nullptr;
    close_device();
    return brilox::none();
}

PyObject *sound_quit(PyObject *, PyObject *)
{
    close_device();
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    return brilox::none();
}

PyObject *sound_get_init(PyObject *, PyObject *)
{
    return PyBool_FromLong(opened.open);
}

// --- what each channel does ---------------------------------------------------
//
// The module's functions act on channel 0, a Channel's methods on its own.

PyObject *queue_on(int n, PyObject *data)
{
    brilox::HeldBuffer held;
    if (!held.take(data, PyBUF_C_CONTIGUOUS))
        return nullptr;
    if (!sound_ready())
        return nullptr;
    const auto length = static_cast<std::uint64_t>(held.view().len);
    if (length % device.frame_bytes != 0) {
        PyErr_Format(PyExc_ValueError,
                     "data must be whole sample frames of %u bytes, not %zd bytes",
                     device.frame_bytes, held.view().len);
        return nullptr;
    }
    if (!ring_made(n))
        return nullptr;
    Channel &c = device.channels[n];
    const std::uint64_t written = c.written.load(std::memory_order_relaxed);
    const std::uint64_t room =
        device.capacity - (written - c.taken.load(std::memory_order_acquire));
    const std::uint64_t count = std::min(length, room);
    // The result is made first, so that a caller told of no memory has
    // queued nothing.
    Ref taken = Ref::steal(PyLong_FromUnsignedLongLong(count));
    if (!taken)
        return nullptr;
    const std::uint64_t start = written % device.capacity;
    const std::uint64_t first = std::min(count, device.capacity - start);
    const auto *from = static_cast<const std::uint8_t *>(held.view().buf);
    std::memcpy(c.ring + start, from, first);
    std::memcpy(c.ring, from + first, count - first);
    c.written.store(written + count, std::memory_order_release);
    if (count > 0)
        c.fed.store(true, std::memory_order_relaxed);
    return taken.release();
}

// Drops what waits in a channel's ring, and its count of frames taken;
// called with SDL's audio lock held.
void drop_queued(Channel &c)
{
    c.taken.store(c.written.load(std::memory_order_relaxed), std::memory_order_relaxed);
    c.fed.store(false, std::memory_order_relaxed);
    c.frames_taken = 0;
    c.last_frames = 0;
}

PyObject *flush_on(int n)
{
    if (!sound_ready())
        return nullptr;
    Channel &c = device.channels[n];
    SDL_LockAudio();
    drop_queued(c);
    c.held = nullptr;
    SDL_UnlockAudio();
    release_held(n);
    opened.clock[n] = 0;
    return brilox::none();
}

std::uint64_t queued_bytes(int n)
{
    const Channel &c = device.channels[n];
    return c.written.load(std::memory_order_relaxed) - c.taken.load(std::memory_order_relaxed);
}

PyObject *queued_on(int n)
{
    if (!sound_ready())
        return nullptr;
    return PyLong_FromUnsignedLongLong(queued_bytes(n));
}

PyObject *underruns_on(int n)
{
    if (!sound_ready())
        return nullptr;
    return PyLong_FromUnsignedLongLong(
        device.channels[n].underruns.load(std::memory_order_relaxed));
}

// SDL calls back while some channel plays, and is paused (playing its own
// silence) while none does, as the device is at open().
PyObject *pause_on(int n, int pause)
{
    if (!sound_ready())
        return nullptr;
    Channel &c = device.channels[n];
    if (pause && !opened.paused[n]) {
        clock_seconds(n);  // the clock stops where it is now
        opened.paused[n] = true;
        c.playing.store(false, std::memory_order_relaxed);
        if (std::all_of(opened.paused, opened.paused + channel_count, [](bool p) { return p; })) {
            opened.running = false;
            SDL_PauseAudio(1);
        }
    } else if (!pause && opened.paused[n]) {
        opened.paused[n] = false;
        c.playing.store(true, std::memory_order_relaxed);
        if (!opened.running) {
            opened.running = true;
            SDL_PauseAudio(0);
        }
    }
    return brilox::none();
}

// Plays the whole of `data` on channel `n`, then `loops` more times (-1:
// until stopped), in place of whatever it played, and starts the channel
// if paused.  The buffer is held, not copied, until the sound ends or is
// stopped.
PyObject *play_on(int n, PyObject *data, long long loops)
{
    if (!sound_ready())
        return nullptr;
    if (loops < -1) {
        PyErr_SetString(PyExc_ValueError, "loops must be -1 (until stopped) or more");
        return nullptr;
    }
    Py_buffer view;
    if (PyObject_GetBuffer(data, &view, PyBUF_C_CONTIGUOUS) < 0)
        return nullptr;
    const auto length = static_cast<std::uint64_t>(view.len);
    if (length == 0 || length % device.frame_bytes != 0) {
        PyErr_Format(PyExc_ValueError,
                     "data must be one or more whole sample frames of %u bytes, not %zd bytes",
                     device.frame_bytes, view.len);
        PyBuffer_Release(&view);
        return nullptr;
    }
    Channel &c = device.channels[n];
    SDL_LockAudio();
    drop_queued(c);
    c.held = static_cast<const std::uint8_t *>(view.buf);
    c.held_length = length;
    c.held_at = 0;
    c.held_loops = loops;
    SDL_UnlockAudio();
    release_held(n);  // what it played before
    held_views.view[n] = view;
    held_views.taken[n] = true;
    opened.clock[n] = 0;
    Ref none = Ref::steal(pause_on(n, 0));
    return none.release();
}

// Whether channel `n` still plays a sound whose buffer `data` gave.
PyObject *playing_on(int n, PyObject *data)
{
    if (!sound_ready())
        return nullptr;
    reap(n);
    return PyBool_FromLong(held_views.taken[n] && held_views.view[n].obj == data);
}

// Busy while it holds a sound, while frames wait in its ring, or while the
// frames its last callback took are still being heard.
bool channel_busy(int n)
{
    reap(n);
    if (held_views.taken[n] || queued_bytes(n) > 0)
        return true;
    const Channel &c = device.channels[n];
    SDL_LockAudio();
    const std::uint64_t last = c.last_frames;
    const std::int64_t last_call = c.last_call_ns;
    SDL_UnlockAudio();
    const double since = static_cast<double>(now_ns() - last_call) / 1e9;
    return last > 0 && since < static_cast<double>(last) / opened.frequency;
}

PyObject *clock_on(int n)
{
    if (!sound_ready())
        return nullptr;
    return PyFloat_FromDouble(clock_seconds(n));
}

// --- the module's functions --------------------------------------------------

PyObject *sound_queue(PyObject *, PyObject *args)
{
    PyObject *data = nullptr;
    if (!PyArg_ParseTuple(args, "O:queue", &data))
        return nullptr;
    return queue_on(0, data);
}

PyObject *sound_flush(PyObject *, PyObject *)
{
    return flush_on(0);
}

PyObject *sound_queued(PyObject *, PyObject *)
{
    return queued_on(0);
}

PyObject *sound_underruns(PyObject *, PyObject *)
{
    return underruns_on(0);
}

PyObject *sound_pause(PyObject *, PyObject *args)
{
    int pause = 0;
    if (!PyArg_ParseTuple(args, "p:pause", &pause))
        return nullptr;
    return pause_on(0, pause);
}

bool volume_in_range(int percent)
{
    if (percent >= 0 && percent <= 100)
        return true;
    PyErr_SetString(PyExc_ValueError, "volume must be 0 to 100");
    return false;
}

PyObject *sound_set_volume(PyObject *, PyObject *args)
{
    int percent = 0;
    if (!PyArg_ParseTuple(args, "i:set_volume", &percent))
        return nullptr;
    if (!volume_in_range(percent) || !sound_ready())
        return nullptr;
    device.volume.store(percent, std::memory_order_relaxed);
    return brilox::none();
}

PyObject *sound_get_volume(PyObject *, PyObject *)
{
    if (!sound_ready())
        return nullptr;
    return PyLong_FromLong(device.volume.load(std::memory_order_relaxed));
}

PyObject *sound_set_mute(PyObject *, PyObject *args)
{
    int mute = 0;
    if (!PyArg_ParseTuple(args, "p:set_mute", &mute))
        return nullptr;
    if (!sound_ready())
        return nullptr;
    device.muted.store(mute != 0, std::memory_order_relaxed);
    return brilox::none();
}

PyObject *sound_get_mute(PyObject *, PyObject *)
{
    if (!sound_ready())
        return nullptr;
    return PyBool_FromLong(device.muted.load(std::memory_order_relaxed));
}

PyObject *sound_clock(PyObject *, PyObject *)
{
    return clock_on(0);
}

PyObject *sound_latency(PyObject *, PyObject *)
{
    if (!sound_ready())
        return nullptr;
    const double frames =
        static_cast<double>(queued_bytes(0) / device.frame_bytes) + opened.samples;
    return PyFloat_FromDouble(frames / opened.frequency);
}

// --- Channel -----------------------------------------------------------------

struct ChannelObject {
    PyObject_HEAD
    int n;
};

extern PyTypeObject channel_type;

int channel_of(PyObject *self)
{
    return reinterpret_cast<ChannelObject *>(self)->n;
}

PyObject *channel_new(PyTypeObject *type, PyObject *args, PyObject *kwargs)
{
    static const char *keywords[] = {"n", nullptr};
    int n = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "i:Channel", const_cast<char **>(keywords),
                                     &n))
        return nullptr;
    if (n < 0 || n >= channel_count) {
        PyErr_SetString(PyExc_ValueError, "channel must be from 0 to 15");
        return nullptr;
    }
    PyObject *self = type->tp_alloc(type, 0);
    if (self != nullptr)
        reinterpret_cast<ChannelObject *>(self)->n = n;
    return self;
}

PyObject *channel_repr(PyObject *self)
{
    return PyUnicode_FromFormat("Channel(%d)", channel_of(self));
}

PyObject *channel_richcompare(PyObject *self, PyObject *other, int op)
{
    if (!PyObject_TypeCheck(other, Py_TYPE(self)) || (op != Py_EQ && op != Py_NE))
        Py_RETURN_NOTIMPLEMENTED;
    const bool same = channel_of(self) == channel_of(other);
    return PyBool_FromLong(same == (op == Py_EQ));
}

Py_hash_t channel_hash(PyObject *self)
{
    return channel_of(self) + 1;
}

PyObject *channel_queue(PyObject *self, PyObject *data)
{
    return queue_on(channel_of(self), data);
}

PyObject *channel_flush(PyObject *self, PyObject *)
{
    return flush_on(channel_of(self));
}

PyObject *channel_pause(PyObject *self, PyObject *flag)
{
    const int pause = PyObject_IsTrue(flag);
    if (pause < 0)
        return nullptr;
    return pause_on(channel_of(self), pause);
}

PyObject *channel_clock(PyObject *self, PyObject *)
{
    return clock_on(channel_of(self));
}

PyObject *channel_queued(PyObject *self, PyObject *)
{
    return queued_on(channel_of(self));
}

PyObject *channel_underruns(PyObject *self, PyObject *)
{
    return underruns_on(channel_of(self));
}

PyObject *channel_get_volume(PyObject *self, void *)
{
    if (!sound_ready())
        return nullptr;
    return PyLong_FromLong(
        device.channels[channel_of(self)].volume.load(std::memory_order_relaxed));
}

int channel_set_volume(PyObject *self, PyObject *value, void *)
{
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "a channel's volume cannot be deleted");
        return -1;
    }
    Ref number = Ref::steal(PyNumber_Index(value));
    if (!number)
        return -1;
    const long asked = PyLong_AsLong(number.get());
    if (asked == -1 && PyErr_Occurred())
        return -1;
    const int percent = static_cast<int>(std::clamp(asked, -1L, 101L));
    if (!volume_in_range(percent) || !sound_ready())
        return -1;
    device.channels[channel_of(self)].volume.store(percent, std::memory_order_relaxed);
    return 0;
}

PyObject *channel_get_busy(PyObject *self, void *)
{
    if (!sound_ready())
        return nullptr;
    return PyBool_FromLong(channel_busy(channel_of(self)));
}

PyObject *channel_get_reserved(PyObject *self, void *)
{
    return PyBool_FromLong(reserved[channel_of(self)]);
}

int channel_set_reserved(PyObject *self, PyObject *value, void *)
{
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "a channel's reserved flag cannot be deleted");
        return -1;
    }
    const int flag = PyObject_IsTrue(value);
    if (flag < 0)
        return -1;
    reserved[channel_of(self)] = flag != 0;
    return 0;
}

PyObject *channel_play(PyObject *self, PyObject *args, PyObject *kwargs)
{
    static const char *keywords[] = {"data", "loops", nullptr};
    PyObject *data = nullptr;
    long long loops = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|L:play", const_cast<char **>(keywords),
                                     &data, &loops))
        return nullptr;
    return play_on(channel_of(self), data, loops);
}

PyObject *channel_playing(PyObject *self, PyObject *data)
{
    return playing_on(channel_of(self), data);
}

// The first of channels 1 to 15 that is neither reserved nor busy, or None.
PyObject *sound_find_channel(PyObject *, PyObject *)
{
    if (!sound_ready())
        return nullptr;
    for (int n = 1; n < channel_count; ++n) {
        if (reserved[n] || channel_busy(n))
            continue;
        PyObject *channel = channel_type.tp_alloc(&channel_type, 0);
        if (channel != nullptr)
            reinterpret_cast<ChannelObject *>(channel)->n = n;
        return channel;
    }
    return brilox::none();
}

PyObject *sound_get_format(PyObject *, PyObject *)
{
    if (!sound_ready())
        return nullptr;
    return Py_BuildValue("(iiiii)", opened.frequency, opened.channels, device.size,
                         opened.samples, opened.buffer_bytes);
}

// The module's __getattr__: Sound, from the module that decodes files, is
// imported on first use, so that importing this module needs no decoder.
PyObject *sound_getattr(PyObject *module, PyObject *name)
{
    if (!PyUnicode_Check(name) || PyUnicode_CompareWithASCIIString(name, "Sound") != 0) {
        PyErr_Format(PyExc_AttributeError, "module 'brilox.sound' has no attribute %R", name);
        return nullptr;
    }
    Ref files = Ref::steal(PyImport_ImportModule("brilox._sound_files"));
    if (!files)
        return nullptr;
    Ref sound = Ref::steal(PyObject_GetAttrString(files.get(), "Sound"));
    if (!sound || PyObject_SetAttrString(module, "Sound", sound.get()) < 0)
        return nullptr;
    return sound.release();
}

// --- cost of the mix ---------------------------------------------------------

// For the benchmarks: runs SDL's callback `calls` times on a buffer of
// SDL's size, each call on the same frames (every channel's count of taken
// bytes set back before each), then copies the bytes those calls took from
// the rings, as many times.  Returns the seconds of each, as
// (callback, copies).  SDL's audio lock is held throughout, so SDL's own
// calls wait; the channels' clocks and underruns are left as they were.
PyObject *sound_mix_cost(PyObject *, PyObject *args)
{
    int calls = 0;
    if (!PyArg_ParseTuple(args, "i:_mix_cost", &calls))
        return nullptr;
    if (!sound_ready())
        return nullptr;
    const std::uint64_t length = static_cast<std::uint64_t>(opened.samples) * device.frame_bytes;
    auto *stream = static_cast<std::uint8_t *>(PyMem_RawMalloc(length * (channel_count + 1)));
    if (stream == nullptr)
        return PyErr_NoMemory();
    struct Saved {
        std::uint64_t taken, underruns, frames_taken, last_frames;
        std::int64_t last_call_ns;
        const std::uint8_t *held;
        std::uint64_t held_at;
        std::int64_t held_loops;
    } saved[channel_count];
    SDL_LockAudio();
    for (int n = 0; n < channel_count; ++n) {
        const Channel &c = device.channels[n];
        saved[n] = {c.taken.load(), c.underruns.load(), c.frames_taken, c.last_frames,
                    c.last_call_ns, c.held, c.held_at, c.held_loops};
    }
    const auto restore_held = [&saved] {
        for (int n = 0; n < channel_count; ++n) {
            Channel &c = device.channels[n];
            c.taken.store(saved[n].taken, std::memory_order_relaxed);
            c.held = saved[n].held;
            c.held_at = saved[n].held_at;
            c.held_loops = saved[n].held_loops;
        }
    };
    const std::int64_t begun = now_ns();
    for (int k = 0; k < calls; ++k) {
        restore_held();
        mix_channels(nullptr, stream, static_cast<int>(length));
    }
    const std::int64_t mixed = now_ns();
    for (int k = 0; k < calls; ++k) {
        for (int n = 0; n < channel_count; ++n) {
            Channel &c = device.channels[n];
            if ((c.ring == nullptr && c.held == nullptr) || !c.playing.load())
                continue;
            std::uint8_t *to = stream + length * (n + 1);
            if (c.held != nullptr) {
                const std::uint64_t count = held_count(c, length);
                for (std::uint64_t at = 0; at < count; at += c.held_length) {
                    Span spans[2];
                    held_spans(spans, c, at, std::min(count - at, c.held_length));
                    std::memcpy(to + at, spans[0].bytes, spans[0].count);
                    std::memcpy(to + at + spans[0].count, spans[1].bytes, spans[1].count);
                }
                continue;
            }
            const std::uint64_t count = std::min(c.written.load() - saved[n].taken, length);
            Span spans[2];
            ring_spans(spans, c, device.capacity, saved[n].taken, count);
            std::memcpy(to, spans[0].bytes, spans[0].count);
            std::memcpy(to + spans[0].count, spans[1].bytes, spans[1].count);
        }
    }
    const std::int64_t copied = now_ns();
    restore_held();
    for (int n = 0; n < channel_count; ++n) {
        Channel &c = device.channels[n];
        c.underruns.store(saved[n].underruns);
        c.frames_taken = saved[n].frames_taken;
        c.last_frames = saved[n].last_frames;
        c.last_call_ns = saved[n].last_call_ns;
    }
    SDL_UnlockAudio();
    PyMem_RawFree(stream);
    return Py_BuildValue("(dd)", static_cast<double>(mixed - begun) / 1e9,
                         static_cast<double>(copied - mixed) / 1e9);
}

// --- at exit -----------------------------------------------------------------

// Registered with atexit, so that SDL's audio thread stops and the ring is
// freed while the interpreter is still whole.
PyObject *sound_close_at_exit(PyObject *, PyObject *)
{
    return sound_quit(nullptr, nullptr);
}

// Made with no module for its self, so its signature has none.
PyMethodDef close_at_exit_method = {
    "_close_at_exit", sound_close_at_exit, METH_NOARGS,
    "_close_at_exit()\n--\n\nclose the device if open and shut SDL's audio subsystem down"};

PyDoc_STRVAR(open_doc,
             "open($module, /, frequency, channels, size=-16, buffer_seconds=0.5)\n--\n\n"
             "open SDL's audio device, every channel paused, empty and at volume 100, the\n"
             "master volume 100 and not muted, closing one already open.  size is the\n"
             "sample format: -16 signed 16-bit, 16 unsigned 16-bit (both in the machine's\n"
             "byte order), -8 signed 8-bit, 8 unsigned 8-bit.\n"
             "Returns what SDL gave, which may differ from what was asked (queue that):\n"
             "(frequency, channels, size, samples, buffer_bytes), the last two SDL's buffer\n"
             "in frames (a power of two of 20-40 ms where SDL takes it) and in bytes.  The\n"
             "ring of each channel holds buffer_seconds of sound, in whole frames.");

PyDoc_STRVAR(queue_doc,
             "queue($module, data, /)\n--\n\n"
             "copy as many whole frames of data (any C-contiguous bytes-like object, whole\n"
             "frames in the format open() returned) into channel 0's ring as fit; returns\n"
             "the bytes taken, 0 when the ring is full.  Queue the rest later.");

PyDoc_STRVAR(clock_doc,
             "clock($module, /)\n--\n\n"
             "seconds of channel 0's queued sound heard since open() or the last flush():\n"
             "the frames "
             "SDL's callback took from the ring, less those of its last callback, over the\n"
             "frequency, plus the time since that callback, up to the length of those last\n"
             "frames.  Never negative and never below what it gave before; frozen while\n"
             "paused.  Muted sound counts as heard; the silence SDL plays when the ring runs\n"
             "dry does not.");

PyDoc_STRVAR(latency_doc,
             "latency($module, /)\n--\n\n"
             "seconds between queueing a frame now and hearing it: the frames waiting in\n"
             "the ring and SDL's buffer of samples frames, over the frequency.");

PyDoc_STRVAR(underruns_doc,
             "underruns($module, /)\n--\n\n"
             "how many of SDL's callbacks since open() found channel 0's ring short while\n"
             "playing, "
             "after something was queued since the last flush (so played silence in part)");

PyObject *sound_find_channel(PyObject *, PyObject *);
PyObject *sound_get_format(PyObject *, PyObject *);
PyObject *sound_getattr(PyObject *, PyObject *);

PyMethodDef sound_methods[] = {
    {"open", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sound_open)),
     METH_VARARGS | METH_KEYWORDS, open_doc},
    {"close", sound_close, METH_NOARGS,
     "close($module, /)\n--\n\nstop and close SDL's audio device and free the ring"},
    {"quit", sound_quit, METH_NOARGS,
     "quit($module, /)\n--\n\nclose the device if open and shut SDL's audio subsystem down"},
    {"get_init", sound_get_init, METH_NOARGS,
     "get_init($module, /)\n--\n\ntrue while the device is open"},
    {"queue", sound_queue, METH_VARARGS, queue_doc},
    {"flush", sound_flush, METH_NOARGS,
     "flush($module, /)\n--\n\nempty channel 0's ring, and start its clock again at 0"},
    {"queued", sound_queued, METH_NOARGS,
     "queued($module, /)\n--\n\nthe bytes waiting in channel 0's ring"},
    {"underruns", sound_underruns, METH_NOARGS, underruns_doc},
    {"pause", sound_pause, METH_VARARGS,
     "pause($module, flag, /)\n--\n\n"
     "hold channel 0's sound while flag is true; while every channel is paused, as\n"
     "open() leaves them, SDL stops calling for sound (it plays silence)"},
    {"set_volume", sound_set_volume, METH_VARARGS,
     "set_volume($module, percent, /)\n--\n\n"
     "the master volume: scale every sample of the channels' sum by percent (0 to\n"
     "100) of itself, rounded, from the next callback on"},
    {"get_volume", sound_get_volume, METH_NOARGS,
     "get_volume($module, /)\n--\n\nthe master volume in percent"},
    {"set_mute", sound_set_mute, METH_VARARGS,
     "set_mute($module, flag, /)\n--\n\n"
     "play silence in place of the channels' sum, whose sound is still\n"
     "taken from their rings, so that their clocks run on"},
    {"get_mute", sound_get_mute, METH_NOARGS, "get_mute($module, /)\n--\n\ntrue while muted"},
    {"clock", sound_clock, METH_NOARGS, clock_doc},
    {"latency", sound_latency, METH_NOARGS, latency_doc},
    {"find_channel", sound_find_channel, METH_NOARGS,
     "find_channel($module, /)\n--\n\n"
     "the first Channel from 1 to 15 that is neither reserved nor busy, or None\n"
     "if there is none"},
    {"get_format", sound_get_format, METH_NOARGS,
     "get_format($module, /)\n--\n\nwhat open() returned, while the device is open"},
    {"__getattr__", sound_getattr, METH_O,
     "__getattr__($module, name, /)\n--\n\nSound, imported from brilox._sound_files on first use"},
    {"_mix_cost", sound_mix_cost, METH_VARARGS,
     "_mix_cost($module, calls, /)\n--\n\n"
     "for the benchmarks: seconds of SDL's callback run calls times on the same\n"
     "frames, and of copying the bytes those calls take from the rings, as many times"},
    {nullptr, nullptr, 0, nullptr},
};

PyDoc_STRVAR(channel_queue_doc,
             "queue($self, data, /)\n--\n\n"
             "copy as many whole frames of data into this channel's ring as fit, as the\n"
             "module's queue() does; returns the bytes taken");

PyDoc_STRVAR(channel_play_doc,
             "play($self, /, data, loops=0)\n--\n\n"
             "play the whole of data (any C-contiguous bytes-like object, one or more whole\n"
             "frames in the format open() returned), then loops more times (-1: until\n"
             "stopped), in place of what the channel played, its ring emptied and its clock\n"
             "started again at 0; starts the channel if paused.  SDL's audio thread plays it\n"
             "on its own: the buffer is held, not copied, until the sound ends or stops, so\n"
             "change none of it meanwhile.  What is queued meanwhile waits for its end.");

PyMethodDef channel_methods[] = {
    {"queue", channel_queue, METH_O, channel_queue_doc},
    {"play", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(channel_play)),
     METH_VARARGS | METH_KEYWORDS, channel_play_doc},
    {"playing", channel_playing, METH_O,
     "playing($self, data, /)\n--\n\ntrue while the channel plays the sound of data's buffer"},
    {"stop", channel_flush, METH_NOARGS,
     "stop($self, /)\n--\n\nstop the sound it plays and empty the ring, as flush() does"},
    {"flush", channel_flush, METH_NOARGS,
     "flush($self, /)\n--\n\nempty the ring and stop a sound it plays, and start the clock\n"
     "again at 0"},
    {"pause", channel_pause, METH_O,
     "pause($self, flag, /)\n--\n\n"
     "hold this channel's sound while flag is true; every channel starts paused"},
    {"clock", channel_clock, METH_NOARGS,
     "clock($self, /)\n--\n\nseconds of this channel's queued sound heard since\n"
     "open() or its last flush(), reckoned as the module's clock() is"},
    {"queued", channel_queued, METH_NOARGS,
     "queued($self, /)\n--\n\nthe bytes waiting in this channel's ring"},
    {"underruns", channel_underruns, METH_NOARGS,
     "underruns($self, /)\n--\n\nhow many of SDL's callbacks found this channel's ring\n"
     "short while it played, after something was queued since its last flush"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef channel_getset[] = {
    {"volume", channel_get_volume, channel_set_volume,
     "the channel's volume in percent (0 to 100), reached over 5 ms, a step a frame", nullptr},
    {"busy", channel_get_busy, nullptr,
     "true while it plays a sound, while sound waits in its ring, or while either is\n"
     "being heard", nullptr},
    {"reserved", channel_get_reserved, channel_set_reserved,
     "true while the channel is kept for one owner: find_channel() and Sound.play()\n"
     "pass it by.  A Video reserves the channel it plays on until it is closed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The record names only the slots it uses; every other slot stays empty, so
// the host's defaults apply.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

PyTypeObject channel_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "brilox.sound.Channel",
    .tp_basicsize = sizeof(ChannelObject),
    .tp_itemsize = 0,
    .tp_repr = channel_repr,
    .tp_hash = channel_hash,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "Channel(n)\n--\n\n"
              "one of the device's 16 channels (n from 0 to 15), each with a ring of its\n"
              "own; the device plays their sum.  Channel(n) made twice is the same channel,\n"
              "and channel 0 is the one the module's functions act on.",
    .tp_richcompare = channel_richcompare,
    .tp_methods = channel_methods,
    .tp_getset = channel_getset,
    .tp_new = channel_new,
};

#pragma GCC diagnostic pop

PyModuleDef sound_module = {
    PyModuleDef_HEAD_INIT,
    "sound",
    "brilox module to play sound: rings of sample frames that SDL's audio device mixes and plays",
    -1,
    sound_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_sound(void)
{
    api::import_api_table(api::base_module, api::base_capsule, api::base_slot_count,
                          api_slots + api::base_first);
    if (PyErr_Occurred())
        return nullptr;
    if (!brilox::type_ready(&channel_type))
        return nullptr;
    Ref module = Ref::steal(PyModule_Create2(&sound_module, 1013));
    if (!module)
        return nullptr;
    if (!brilox::add_to_module(module.get(), "Channel",
                               Ref::borrow(reinterpret_cast<PyObject *>(&channel_type))))
        return nullptr;
    Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    if (!atexit)
        return nullptr;
    Ref close_at_exit = Ref::steal(PyCFunction_New(&close_at_exit_method, nullptr));
    if (!close_at_exit)
        return nullptr;
    Ref registered =
        Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", close_at_exit.get()));
    if (!registered)
        return nullptr;
    return module.release();
}
