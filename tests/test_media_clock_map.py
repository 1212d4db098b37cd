"""The sound's clock map: from the samples the device has played to the
video's time, across seeks, preroll, speed changes and the passes of a
loop.  Exact numbers, in milliseconds, at 48 kHz; no device."""

import math

import pytest

from brilox.media.sound.clock_map import ONSET_LEAD, ClockMap
from brilox.media.sound.tempo import tempo_factors

RATE = 48000


def ms(seconds):
    return round(seconds * 1000, 6)


def at(clock, *heard):
    return [ms(clock.time(h)) for h in heard]


@pytest.mark.parametrize("origin, sought, stream_start, ahead, expected", [
    # A seek lands where it asked; 4800 samples are 100 ms on.
    (0.0, 2.0, 2.0, 0.0, [2000.0, 2100.0, 3000.0]),
    # The stream starts after the time sought: the first sample kept is
    # the stream's first, and the clock starts there.
    (0.0, 0.0, 0.25, 0.0, [250.0, 350.0, 1250.0]),
    # Streams that start at 1.4 s: times are told from there.
    (1.4, 0.5, 1.9, 0.0, [500.0, 600.0, 1500.0]),
    (1.4, 0.0, 1.4, 0.0, [0.0, 100.0, 1000.0]),
    # 0.3 s of silence before the video's start: the clock starts that
    # much before it, and stays ahead of a stream that starts later.
    (1.4, 0.0, 1.4, 0.3, [-300.0, -200.0, 700.0]),
    (0.0, 0.0, 0.25, 0.3, [-50.0, 50.0, 950.0]),
])
def test_a_seek_starts_the_clock_where_the_first_sample_kept_plays(origin, sought,
                                                                   stream_start, ahead, expected):
    clock = ClockMap(RATE, origin)
    clock.seek(sought, 1.0, ahead)
    clock.started_at(stream_start)
    clock.queued(RATE)
    assert at(clock, 0, 4800, RATE) == expected


@pytest.mark.parametrize("origin, stream_start, expected", [
    # The silence at speed 1, then the sound at twice its pace.
    (0.0, 1.0, [900.0, 950.0, 1000.0, 1200.0]),
    # The first sample kept is later than the time sought: the silence
    # stays ahead of it.
    (0.25, 1.5, [1150.0, 1200.0, 1250.0, 1450.0]),
])
def test_preroll_is_heard_before_the_sound_at_its_own_pace(origin, stream_start, expected):
    clock = ClockMap(RATE, origin)
    clock.seek(1.0, 2.0)
    assert clock.preroll(4800) == 0.1
    clock.started_at(stream_start)
    assert at(clock, 0, 2400, 4800, 9600) == expected


@pytest.mark.parametrize("speeds, expected", [
    # A second queued at each speed: 1 s, then 2 s, then 0.5 s of the
    # stream; a slowed stretch is heard ONSET_LEAD * (1 - speed) early.
    ([1.0, 2.0, 0.5], [0.0, 1000.0, 3009.0, 3509.0]),
    ([0.25, 4.0], [13.5, 250.0, 4250.0]),
])
def test_speed_changes_map_each_stretch_at_its_own_speed(speeds, expected):
    clock = ClockMap(RATE)
    clock.seek(0.0, speeds[0])
    for speed in speeds[1:]:
        clock.queued(RATE)
        clock.change(speed)
    clock.queued(RATE)
    assert at(clock, *range(0, len(expected) * RATE, RATE)) == expected
    # The tempo filters chained for each speed, beyond one's reach too, make it.
    assert [math.prod(tempo_factors(speed)) for speed in speeds] == speeds


def test_filters_that_kept_time_otherwise_set_the_last_stretchs_speed():
    # At 2x, 24000 samples queued and 2400 drained from the filters, which
    # took 1.2 s of the stream in all: that stretch ran at 1.2 s / 0.55 s.
    clock = ClockMap(RATE)
    clock.seek(3.0, 2.0)
    clock.queued(24000)
    assert clock.change(1.0, drained=2400, took=1.2) == 1.2
    assert clock.changes == [(0, 0.0, 1.2 * RATE / 26400), (26400, 1.2, 1.0)]
    assert at(clock, 13200, 26400, 26400 + 4800) == [3600.0, 4200.0, 4300.0]
    # Filters that gave nothing more on draining: the stretch ran at 1.8.
    clock = ClockMap(RATE)
    clock.seek(0.0, 2.0)
    clock.queued(24000)
    assert clock.change(1.0, drained=0, took=0.9) == 0.9
    assert at(clock, 12000, 24000) == [450.0, 900.0]
    # No filters: the new speed starts where the old one reached.
    clock = ClockMap(RATE)
    clock.seek(0.0, 1.0)
    clock.queued(24000)
    assert clock.change(2.0) == 0.5
    clock.queued(24000)
    assert at(clock, 24000, 48000) == [500.0, 1500.0]


def test_changes_before_the_one_heard_are_forgotten_and_the_map_holds():
    clock = ClockMap(RATE)
    clock.seek(0.0, 1.0)
    for speed in (2.0, 0.5, 1.5):
        clock.queued(RATE)
        clock.change(speed)
    clock.queued(RATE)
    before = at(clock, 2 * RATE + 100, 3 * RATE + 2400)
    clock.forget(2 * RATE + 100)
    assert [c[0] for c in clock.changes] == [2 * RATE, 3 * RATE]
    assert at(clock, 2 * RATE + 100, 3 * RATE + 2400) == before == [
        ms(3.0 + 100 * 0.5 / RATE + ONSET_LEAD * 0.5), 3575.0]


def test_a_loops_passes_keep_to_their_length_and_the_time_goes_on():
    clock = ClockMap(RATE)
    clock.seek(0.25, 1.0)
    # A 1 s pass entered at 0.25 s: 36000 samples of it left.
    assert clock.room(1.0) == 36000
    clock.decoded(30000)
    assert clock.room(1.0) == 6000
    clock.queued(36000)
    clock.next_pass()
    assert clock.room(1.0) == RATE
    # The next pass's first sample is the stream's first: the time goes on.
    clock.started_at(0.0)
    clock.queued(RATE)
    assert at(clock, 36000, 36000 + 2 * RATE // 3) == [1000.0, ms(1 + 2 / 3)]
    # A pass from 0.25 s in (a loop's start further on) is that much shorter.
    clock.next_pass(0.25)
    assert clock.room(1.0) == 36000
    # A seek starts the time again.
    clock.seek(0.5, 1.0)
    clock.started_at(0.5)
    assert at(clock, 0) == [500.0] and clock.room(1.0) == RATE // 2


@pytest.mark.parametrize("speeds, cut, expected", [
    # At speed 1 the sample that plays at 1.25 s (after 100 ms of preroll).
    ([1.0], 1.25, 64800),
    # Past a change to twice the pace: a second queued at 1, then 1.25 s of
    # the stream in 30000 samples.
    ([1.0, 2.0], 2.25, RATE + 4800 + 30000),
])
def test_what_was_made_for_a_time_on_is_taken_back_and_the_pass_goes_on(speeds, cut,
                                                                         expected):
    clock = ClockMap(RATE)
    clock.seek(0.0, speeds[0])
    clock.preroll(4800)
    for speed in speeds[1:]:
        clock.queued(RATE)
        clock.change(speed)
    clock.queued(2 * RATE)
    assert clock.samples_at(cut) == expected
    before = at(clock, expected - 4800)
    clock.cut(expected, 0.75)
    # Where the samples kept play is as it was; the pass goes on from 0.75 s.
    assert clock.produced == expected and at(clock, expected - 4800) == before
    assert clock.room(1.0) == RATE // 4 and ms(clock.base + clock.seconds_of(expected)) == ms(cut)
