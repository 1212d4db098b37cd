// The mixer behind brilox.sound (mixer.hpp): the channels' rings, their
// volumes and ramps, the sum the device plays and the record their clocks
// read.
#include "mixer.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace brilox::sound {

namespace {

// Silence is the middle of the format's range: 0 for signed samples, 0x80
// and 0x8000 for unsigned ones.  (SDL's own silence byte would make unsigned
// 16-bit silence 0x0000 on classic SDL and 0x8080 on SDL over SDL 2.)
void fill_silence(std::uint8_t *bytes, std::uint64_t count, int size)
{
    if (size == 16) {
        const std::uint16_t middle = 0x8000;
        for (std::uint64_t i = 0; i + 2 <= count; i += 2)
            std::memcpy(bytes + i, &middle, 2);
    } else {
        std::memset(bytes, size == 8 ? 0x80 : 0, count);
    }
}

// --- the sum -------------------------------------------------------------------

// mix() sums the channels, block by block, in 32-bit samples taken as their
// distance from the format's middle, then clips each sum once.  Sixteen
// full-scale 16-bit channels sum to at most 2^19, which the master volume's
// scaling below keeps within 32 bits.
constexpr unsigned block_samples = 2048;
using Sum = std::int32_t;

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

// Moves a held sound on by `count` bytes, counting its passes down, and
// lets it go (for the owner to release) after its last.
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

// Empties channel `c`'s ring and starts its record again.
void drop_queued(Channel &c)
{
    c.taken.store(c.written.load(std::memory_order_relaxed), std::memory_order_relaxed);
    c.fed.store(false, std::memory_order_relaxed);
    c.frames_taken = 0;
    c.last_frames = 0;
}

}  // namespace

void ring_spans(Span (&spans)[2], const Channel &c, std::uint64_t capacity, std::uint64_t from,
                std::uint64_t count)
{
    const std::uint64_t start = from % capacity;
    const std::uint64_t first = std::min(count, capacity - start);
    spans[0] = {c.ring + start, first};
    spans[1] = {c.ring, count - first};
}

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

void held_spans(Span (&spans)[2], const Channel &c, std::uint64_t from, std::uint64_t count)
{
    const std::uint64_t start = (c.held_at + from) % c.held_length;
    const std::uint64_t first = std::min(count, c.held_length - start);
    spans[0] = {c.held + start, first};
    spans[1] = {c.held, count - first};
}

// The mix, which the compiler makes twice on x86-64: for the processors of
// AVX2, twice as wide, and for every other (the blocks' code is inlined into
// each).
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
#define BRILOX_MIX_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define BRILOX_MIX_CLONES
#endif

BRILOX_MIX_CLONES void mix(Mixer &d, std::uint8_t *stream, std::uint64_t length,
                           std::int64_t now_ns)
{
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
            mix_block<std::int16_t, 0, -32768, 32767>(stream + at, bytes, spans, d.channels,
                                                      frame_samples, percent);
            break;
        case 16:
            mix_block<std::uint16_t, 32768, -32768, 32767>(stream + at, bytes, spans,
                                                           d.channels, frame_samples, percent);
            break;
        case -8:
            mix_block<std::int8_t, 0, -128, 127>(stream + at, bytes, spans, d.channels,
                                                 frame_samples, percent);
            break;
        default:
            mix_block<std::uint8_t, 128, -128, 127>(stream + at, bytes, spans, d.channels,
                                                    frame_samples, percent);
            break;
        }
    }
    fill_silence(stream + wanted, length - wanted, d.size);

    for (int n = 0; n < channel_count; ++n) {
        if (!playing[n])
            continue;
        Channel &c = d.channels[n];
        c.frames_taken += count[n] / d.frame_bytes;
        c.last_frames = count[n] / d.frame_bytes;
        c.last_call_ns = now_ns;
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

// --- the channels ----------------------------------------------------------------

void Mixer::start(int frequency, int format_size, unsigned format_frame_bytes,
                  std::uint64_t ring_capacity)
{
    for (Channel &c : channels) {
        c.ring = nullptr;
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
    capacity = ring_capacity;
    frame_bytes = format_frame_bytes;
    size = format_size;
    ramp_frames = static_cast<unsigned>(std::max(std::lround(ramp_seconds * frequency), 1L));
    volume.store(100);
    muted.store(false);
}

std::uint64_t Mixer::queue(int n, const std::uint8_t *data, std::uint64_t length)
{
    Channel &c = channels[n];
    const std::uint64_t written = c.written.load(std::memory_order_relaxed);
    const std::uint64_t count =
        std::min(length, capacity - (written - c.taken.load(std::memory_order_acquire)));
    const std::uint64_t start = written % capacity;
    const std::uint64_t first = std::min(count, capacity - start);
    std::memcpy(c.ring + start, data, first);
    std::memcpy(c.ring, data + first, count - first);
    c.written.store(written + count, std::memory_order_release);
    if (count > 0)
        c.fed.store(true, std::memory_order_relaxed);
    return count;
}

std::uint64_t Mixer::queued(int n) const
{
    const Channel &c = channels[n];
    return c.written.load(std::memory_order_relaxed) - c.taken.load(std::memory_order_relaxed);
}

std::uint64_t Mixer::room(int n) const
{
    const Channel &c = channels[n];
    return capacity - (c.written.load(std::memory_order_relaxed) -
                       c.taken.load(std::memory_order_acquire));
}

std::uint64_t Mixer::unqueue(int n, std::uint64_t length)
{
    Channel &c = channels[n];
    const std::uint64_t written = c.written.load(std::memory_order_relaxed);
    const std::uint64_t count =
        std::min(length, written - c.taken.load(std::memory_order_relaxed));
    c.written.store(written - count, std::memory_order_release);
    return count;
}

void Mixer::requeue(int n, std::uint64_t length)
{
    Channel &c = channels[n];
    c.written.store(c.written.load(std::memory_order_relaxed) + length,
                    std::memory_order_release);
}

void Mixer::flush(int n)
{
    drop_queued(channels[n]);
    channels[n].held = nullptr;
}

void Mixer::hold(int n, const std::uint8_t *bytes, std::uint64_t length, std::int64_t loops)
{
    Channel &c = channels[n];
    drop_queued(c);
    c.held = bytes;
    c.held_length = length;
    c.held_at = 0;
    c.held_loops = loops;
}

Heard Mixer::heard(int n) const
{
    const Channel &c = channels[n];
    return {c.frames_taken, c.last_frames, c.last_call_ns};
}

// --- the clocks --------------------------------------------------------------------

double heard_seconds(const Heard &heard, int frequency, std::int64_t now_ns)
{
    const double rate = frequency;
    const double since =
        static_cast<double>(std::max<std::int64_t>(now_ns - heard.last_call_ns, 0)) / 1e9;
    return static_cast<double>(heard.frames_taken - heard.last_frames) / rate +
           std::min(since, static_cast<double>(heard.last_frames) / rate);
}

bool still_heard(const Heard &heard, int frequency, std::int64_t now_ns)
{
    const double since = static_cast<double>(now_ns - heard.last_call_ns) / 1e9;
    return heard.last_frames > 0 && since < static_cast<double>(heard.last_frames) / frequency;
}

unsigned device_samples(int frequency)
{
    const auto frames = std::bit_floor(static_cast<unsigned>(frequency / 25));
    return std::clamp(frames, 1u, 32768u);
}

}  // namespace brilox::sound
