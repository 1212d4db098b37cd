"""brilox.sound's mixer on its own (src/sound/mixer.cpp, built with g++ by
tests/support/rooms.py): the sum the device plays, the volumes and their
ramp, flushes, held sounds, underruns and the clocks, to the sample and the
nanosecond, with no device and no sleeps: each call is handed its time."""

import array
import ctypes

import numpy as np
import pytest

from support import rooms

CODES = {-16: "h", 16: "H", -8: "b", 8: "B"}
ZERO = {-16: 0, 16: 0x8000, -8: 0, 8: 0x80}


@pytest.fixture
def mixer():
    made = []

    def make(*args, **kwargs):
        made.append(rooms.Mixer(*args, **kwargs))
        return made[-1]
    yield make
    for m in made:
        m.close()


def frames(size, *centred):
    return array.array(CODES[size], [v + ZERO[size] for v in centred]).tobytes()


def centred(size, data):
    return [v - ZERO[size] for v in array.array(CODES[size], data)]


@pytest.mark.parametrize("size", [-16, 16, -8, 8])
def test_channels_are_summed_and_saturate_instead_of_wrapping(mixer, size):
    top = 2 ** (abs(size) - 1) - 1
    m = mixer(size=size)
    m.queue(0, frames(size, top // 2, top, -top - 1, 5))
    m.queue(1, frames(size, top // 2, 1, -1, -7))
    m.queue(2, frames(size, 3, 3, 3, 3))  # paused: not heard
    for n in (0, 1, 3):  # 3 plays, with nothing queued
        m.channel(n)
    assert centred(size, m.mix(6)) == [top - 1, top, -top - 1, -2, 0, 0]
    assert m.queued(2) == 4 * abs(size) // 8


# Each format's extremes and small values of both signs, 1001 and -1001
# on 16 bits, halved: rounded to the nearest, halves up, never wrapped.
EDGES = {16: ([-32768, 32767, -32767, 32766, -1, 1, -3, 3, -101, 101, -10923, 10922, 1001, -1001],
              [-16384, 16384, -16383, 16383, 0, 1, -1, 2, -50, 51, -5461, 5461, 501, -500]),
         8: ([-128, 127, -127, 126, -1, 1, -3, 3, -101, 101, -43, 42],
             [-64, 64, -63, 63, 0, 1, -1, 2, -50, 51, -21, 21])}


@pytest.mark.parametrize("size", [-16, 16, -8, 8])
def test_the_master_volume_rounds_halves_up_and_mute_plays_silence_that_is_taken(mixer, size):
    edges, halved = EDGES[abs(size)]
    m = mixer(size=size)
    m.channel(0)
    m.queue(0, frames(size, *edges))
    m.master(50)
    # The rest of the device's buffer: silence, at the middle of the range.
    assert centred(size, m.mix(len(edges) + 4)) == halved + [0] * 4
    m.queue(0, frames(size, *edges))
    m.master(100)
    assert centred(size, m.mix(len(edges))) == edges
    m.queue(0, frames(size, *edges))
    m.master(37, muted=True)
    assert centred(size, m.mix(len(edges) + 2)) == [0] * (len(edges) + 2) and m.queued(0) == 0


@pytest.mark.parametrize("frequency, ramp", [(8000, 40), (48000, 240), (96000, 480)])
def test_a_channels_volume_ramps_a_step_a_frame_over_5_ms(mixer, frequency, ramp):
    m = mixer(frequency, ring_frames=4 * ramp)
    m.channel(0)
    m.queue(0, frames(-16, *[9600] * (3 * ramp)))
    assert centred(-16, m.mix(10)) == [9600] * 10
    m.channel(0, volume=0)
    step = 9600 // ramp
    assert centred(-16, m.mix(ramp + 10)) == [9600 - step * k for k in range(1, ramp)] + [0] * 11
    m.channel(0, volume=50)  # halfway up, in half steps, then 15-bit gain
    assert centred(-16, m.mix(ramp + 5)) == [step * k // 2 for k in range(1, ramp + 1)] + [4800] * 5
    # A channel with nothing to play takes a new volume at once: no click
    # to smooth.  7% of full scale, rounded: 2293.69 and -2293.76.
    m.flush(0)
    m.channel(0, volume=7)
    m.mix(4)
    m.queue(0, frames(-16, 32767, -32768))
    assert centred(-16, m.mix(2)) == [2294, -2294]


def test_a_flush_drops_the_ring_and_the_held_sound_and_counts_underruns_anew(mixer):
    m = mixer()
    m.channel(0)
    m.mix(8)
    assert m.underruns(0) == 0  # nothing was queued since the last flush
    m.queue(0, frames(-16, *range(1, 101)))
    assert centred(-16, m.mix(10, now=1.0)) == list(range(1, 11))
    assert m.queued(0) == 180
    m.flush(0)
    assert m.queued(0) == 0 and m.heard(0, 2.0) == 0
    assert centred(-16, m.mix(10, now=1.01)) == [0] * 10 and m.underruns(0) == 0
    m.queue(0, frames(-16, 7, 8))
    assert centred(-16, m.mix(3)) == [7, 8, 0] and m.underruns(0) == 1
    m.mix(3)
    assert m.underruns(0) == 2  # still dry, after something was queued
    m.queue(0, frames(-16, 1, 2, 3))
    m.mix(3)
    m.channel(0, playing=False)
    m.mix(3)
    assert m.underruns(0) == 2  # a full call, then a paused one
    m.hold(0, frames(-16, 5, 6), loops=-1)
    m.channel(0)
    assert centred(-16, m.mix(3)) == [5, 6, 5]
    m.flush(0)
    assert not m.holds(0) and centred(-16, m.mix(3)) == [0, 0, 0]


@pytest.mark.parametrize("call", [7, 50, 64])
@pytest.mark.parametrize("loops", [0, 1, -1])
def test_a_held_sound_plays_its_passes_then_lets_go(mixer, call, loops):
    m = mixer()
    sound = list(range(1, 51))
    m.hold(0, frames(-16, *sound), loops)
    m.channel(0)
    out = []
    while len(out) < 200:
        out += centred(-16, m.mix(call))
    passes = len(out) // 50 + 1 if loops < 0 else loops + 1
    heard = (sound * passes)[:len(out)]
    assert out == heard + [0] * (len(out) - len(heard))
    assert m.holds(0) == (loops < 0)


def test_each_channels_clock_counts_what_it_took_and_its_last_call_in_real_time(mixer):
    m = mixer(frequency=8000)
    m.queue(0, frames(-16, *[1] * 400))
    m.queue(1, frames(-16, *[1] * 40))
    for n in (0, 1, 2):
        m.channel(n, playing=n < 2)
    m.mix(80, now=1.0)  # 10 ms from channel 0, 5 from channel 1
    assert [m.heard(0, t) for t in (1.0, 1.004, 1.5)] == pytest.approx([0, 0.004, 0.01],
                                                                       abs=1e-12)
    assert m.heard(1, 1.5) == pytest.approx(0.005, abs=1e-12) and m.heard(2, 1.5) == 0
    m.mix(80, now=1.01)  # channel 1 is dry: none of its frames are in SDL's buffer
    assert m.heard(0, 1.012) == pytest.approx(0.012, abs=1e-12)
    assert m.heard(1, 1.02) == pytest.approx(0.005, abs=1e-12)
    still = [m.still_heard(n, t) for n, t in ((0, 1.0199), (0, 1.02), (1, 1.011))]
    assert still == [1, 0, 0]


def test_a_channels_clock_freezes_while_paused_and_never_goes_back():
    clock = ctypes.create_string_buffer(16)  # a ChannelClock: paused, seconds
    readings = [rooms.lib().clock_read(clock, paused, heard)
                for paused, heard in ((0, 0.5), (0, 0.4), (1, 0.9), (0, 0.9))]
    assert readings == [0.5, 0.5, 0.5, 0.9]


@pytest.mark.parametrize("frequency, channels", [(48000, 2), (96000, 6)])
def test_sixteen_channels_sum_sample_by_sample_across_blocks_and_ring_ends(
        mixer, frequency, channels):
    m = mixer(frequency, -16, channels, ring_frames=1500)
    noise = np.random.default_rng(6)
    queued = noise.integers(-4000, 4000, size=(16, 1200 * channels)).astype("<i2")
    for n in range(16):
        m.channel(n)
        m.queue(n, bytes(1000 * m.frame_bytes))
    m.mix(1000)  # the rings' next frames are 1000 into 1500
    for n in range(16):
        assert m.queue(n, queued[n].tobytes()) == 1200 * m.frame_bytes
    out = np.frombuffer(m.mix(1200), "<i2")
    assert np.array_equal(out, np.clip(queued.astype(int).sum(0), -32768, 32767))


@pytest.mark.parametrize("frequency, samples", [(20, 1), (8000, 256), (22050, 512),
                                                (44100, 1024), (48000, 1024), (96000, 2048)])
def test_the_device_buffer_is_the_most_frames_of_a_power_of_two_within_40_ms(frequency, samples):
    assert rooms.lib().mixer_device_samples(frequency) == samples
