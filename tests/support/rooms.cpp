// The native rooms that need no device, no interpreter and no libass (the
// mixer of brilox.sound and the blend of brilox.media._subtitles), behind a
// C interface for ctypes, for their unit tests and the sound benchmark.
// Built from the same sources as the modules by tests/support/rooms.py.
#include "blend.hpp"
#include "mixer.hpp"

#include <chrono>
#include <cstring>
#include <new>
#include <vector>

using namespace brilox;

#define EXPORT extern "C" __attribute__((visibility("default")))

// --- the mixer ---------------------------------------------------------------

// A mixer set up as brilox.sound.open() leaves it, every channel with a ring.
EXPORT sound::Mixer *mixer_new(int frequency, int size, unsigned frame_bytes,
                               std::uint64_t capacity)
{
    auto *m = new (std::nothrow) sound::Mixer;
    if (m == nullptr)
        return nullptr;
    m->start(frequency, size, frame_bytes, capacity);
    for (sound::Channel &c : m->channels)
        c.ring = new std::uint8_t[capacity];
    return m;
}

EXPORT void mixer_free(sound::Mixer *m)
{
    for (sound::Channel &c : m->channels)
        delete[] c.ring;
    delete m;
}

EXPORT void mixer_channel(sound::Mixer *m, int n, int volume, int playing)
{
    m->channels[n].volume.store(volume);
    m->channels[n].playing.store(playing != 0);
}

EXPORT void mixer_master(sound::Mixer *m, int volume, int muted)
{
    m->volume.store(volume);
    m->muted.store(muted != 0);
}

EXPORT std::uint64_t mixer_queue(sound::Mixer *m, int n, const std::uint8_t *data,
                                 std::uint64_t length)
{
    return m->queue(n, data, length);
}

EXPORT std::uint64_t mixer_queued(sound::Mixer *m, int n) { return m->queued(n); }
EXPORT void mixer_flush(sound::Mixer *m, int n) { m->flush(n); }
EXPORT int mixer_holds(sound::Mixer *m, int n) { return m->channels[n].held != nullptr; }
EXPORT std::uint64_t mixer_underruns(sound::Mixer *m, int n) { return m->channels[n].underruns; }

EXPORT void mixer_hold(sound::Mixer *m, int n, const std::uint8_t *bytes, std::uint64_t length,
                       std::int64_t loops)
{
    m->hold(n, bytes, length, loops);
}

EXPORT void mixer_mix(sound::Mixer *m, std::uint8_t *stream, std::uint64_t length,
                      std::int64_t now_ns)
{
    sound::mix(*m, stream, length, now_ns);
}

EXPORT double mixer_heard_seconds(sound::Mixer *m, int n, int frequency, std::int64_t now_ns)
{
    return sound::heard_seconds(m->heard(n), frequency, now_ns);
}

EXPORT int mixer_still_heard(sound::Mixer *m, int n, int frequency, std::int64_t now_ns)
{
    return sound::still_heard(m->heard(n), frequency, now_ns);
}

EXPORT unsigned mixer_device_samples(int frequency) { return sound::device_samples(frequency); }

// A channel's clock read at `heard` seconds, after pausing or resuming it.
EXPORT double clock_read(sound::ChannelClock *clock, int paused, double heard)
{
    clock->paused = paused != 0;
    return clock->read(heard);
}

// For the benchmark: seconds of `calls` mixes of `length` bytes on the same
// frames (each channel's ring and held sound set back before each), and of
// copying the bytes those calls take from the rings, as many times.
EXPORT int mixer_cost(sound::Mixer *m, std::uint64_t length, int calls, double *mixing,
                      double *copying)
{
    std::vector<std::uint8_t> stream;
    try {
        stream.resize(length * (sound::channel_count + 1));
    } catch (...) {
        return -1;
    }
    struct Saved {
        std::uint64_t taken;
        const std::uint8_t *held;
        std::uint64_t held_at;
        std::int64_t held_loops;
    } saved[sound::channel_count];
    for (int n = 0; n < sound::channel_count; ++n) {
        const sound::Channel &c = m->channels[n];
        saved[n] = {c.taken.load(), c.held, c.held_at, c.held_loops};
    }
    const auto restore = [&] {
        for (int n = 0; n < sound::channel_count; ++n) {
            sound::Channel &c = m->channels[n];
            c.taken.store(saved[n].taken);
            c.held = saved[n].held;
            c.held_at = saved[n].held_at;
            c.held_loops = saved[n].held_loops;
        }
    };
    using clock = std::chrono::steady_clock;
    const auto begun = clock::now();
    for (int k = 0; k < calls; ++k) {
        restore();
        sound::mix(*m, stream.data(), length, 0);
    }
    const auto mixed = clock::now();
    for (int k = 0; k < calls; ++k)
        for (int n = 0; n < sound::channel_count; ++n) {
            const sound::Channel &c = m->channels[n];
            if (!c.playing.load())
                continue;
            std::uint8_t *to = stream.data() + length * (n + 1);
            sound::Span spans[2];
            if (c.held != nullptr) {
                const std::uint64_t count = sound::held_count(c, length);
                for (std::uint64_t at = 0; at < count; at += c.held_length) {
                    sound::held_spans(spans, c, at, std::min(count - at, c.held_length));
                    std::memcpy(to + at, spans[0].bytes, spans[0].count);
                    std::memcpy(to + at + spans[0].count, spans[1].bytes, spans[1].count);
                }
                continue;
            }
            const std::uint64_t count = std::min(c.written.load() - saved[n].taken, length);
            sound::ring_spans(spans, c, m->capacity, saved[n].taken, count);
            std::memcpy(to, spans[0].bytes, spans[0].count);
            std::memcpy(to + spans[0].count, spans[1].bytes, spans[1].count);
        }
    const auto copied = clock::now();
    restore();
    *mixing = std::chrono::duration<double>(mixed - begun).count();
    *copying = std::chrono::duration<double>(copied - mixed).count();
    return 0;
}

// --- the blend ---------------------------------------------------------------

EXPORT void blend_colour(double kr, double kb, int full_range, double r, double g, double b,
                         int *out)
{
    const subtitles::Colour c = subtitles::to_ycbcr({kr, kb, full_range != 0}, r, g, b);
    out[0] = c.y;
    out[1] = c.u;
    out[2] = c.v;
}

EXPORT int blend_coverage(int layout, long width, long height, std::uint8_t *y, std::uint8_t *u,
                          std::uint8_t *v, double kr, double kb, int full_range,
                          const std::uint8_t *bitmap, int stride, int w, int h, int x, int top,
                          std::uint32_t colour)
{
    const subtitles::Frame frame{layout, width, height, y, u, v, y};
    std::vector<std::uint8_t> scratch(static_cast<std::size_t>(subtitles::scratch_length(width)));
    return subtitles::blend_coverage(frame, {kr, kb, full_range != 0},
                                     {bitmap, stride, w, h, x, top, colour}, scratch.data());
}

EXPORT int blend_paletted(int layout, long width, long height, std::uint8_t *y, std::uint8_t *u,
                          std::uint8_t *v, double kr, double kb, int full_range,
                          const std::uint8_t *indices, long index_stride, long src_w, long src_h,
                          const std::uint8_t *palette, long entries, long dx, long dy, long dw,
                          long dh)
{
    const subtitles::Frame frame{layout, width, height, y, u, v, y};
    return subtitles::blend_paletted(
        frame, {kr, kb, full_range != 0},
        {indices, index_stride, src_w, src_h, palette, entries, dx, dy, dw, dh});
}
