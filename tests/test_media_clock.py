"""brilox.media.clock: when a Video's frames are due, with the test holding
the clock (every `now` passed in) and the sound a stand-in whose clock the
test sets.  Exact numbers: no clips, servers or sleeps."""

from types import SimpleNamespace as Item

import pytest

from brilox.media.clock import LATE_LIMIT, SOUND_AHEAD, SOUND_START, Clock, Passes
from brilox.media.queue import END, FRAME, GLIMPSE, NOTE, SOUGHT


class Sound:
    """What the clock asks of a sound: its clock (None before it is heard),
    whether it is done, its error."""

    def __init__(self, heard=None):
        self.heard, self.finished, self.error = heard, False, None

    def clock(self):
        return self.heard

    def done(self):
        return self.finished


def frame(at, kind=FRAME, serial=1, duration=0.04):
    return Item(kind=kind, at=at, serial=serial, duration=duration)


def test_the_system_clock_runs_from_play_at_the_speed_and_stands_while_paused():
    clock = Clock()
    assert clock.read(5.0) is None  # before play, the line stands
    clock.play(10.0, up_at=2.0)
    assert clock.read(10.5) == 2.5
    clock.set_speed(2.0, 11.0)  # on from 3.0, twice as fast
    assert clock.read(11.25) == 3.5
    clock.pause(12.0, up_at=3.9)
    assert (clock.playing, clock.read(20.0), clock.noted) == (False, None, 5.0)
    clock.play(30.0, up_at=3.9)  # from where it stood at the pause, not the frame up
    assert clock.read(30.5) == 6.0
    clock.set_speed(0.5, 31.0)
    assert clock.read(33.0) == 8.0


@pytest.mark.parametrize("ahead", [2.0, -1.0])
def test_a_seek_while_paused_plays_on_from_the_frame_sought(ahead):
    """Without sound: paused at 5.0, a seek lands `ahead` seconds away, play
    goes on from it.  Resuming the line noted at the pause instead froze the
    picture for the length of a seek ahead, and dropped frames after one back."""
    clock = Clock()
    clock.play(0.0, up_at=0.0)
    clock.pause(5.0, up_at=4.75)
    up = frame(5.0 + ahead, SOUGHT, serial=2, duration=0.25)
    assert clock.verdict(up, frame(4.75), 2, 6.0) == ("show", None)
    clock.play(8.0, up_at=5.0 + ahead)
    assert clock.read(8.0) == 5.0 + ahead
    # The next frame is due a frame after the sought one, not seconds later.
    head = frame(5.25 + ahead, serial=2)
    assert clock.verdict(head, up, 2, 8.125) == ("wait", None)
    assert clock.verdict(head, up, 2, 8.25) == ("show", 5.25 + ahead)


def test_a_seek_while_playing_restarts_the_line_from_its_frame():
    clock = Clock()
    clock.play(0.0, up_at=0.0)
    clock.verdict(frame(7.0, SOUGHT, serial=3), frame(1.0), 3, 1.0)
    assert (clock.base, clock.read(1.5), clock.sound_wait) == ((7.0, 1.0), 7.5, 1.0 + SOUND_START)


def test_the_sound_leads_and_the_system_clock_takes_over_when_it_stops():
    waiting = Clock(Sound())
    waiting.play(100.0, up_at=0.0)
    # Before the sound is heard the picture waits, up to SOUND_START.
    assert waiting.read(100.0) is None and waiting.read(100.0 + SOUND_START - 1e-9) is None
    assert waiting.read(100.0 + SOUND_START) == SOUND_START
    sound = Sound()
    clock = Clock(sound)
    clock.play(100.0, up_at=None)
    assert clock.read(100.0) is None
    sound.heard = 1.25
    assert clock.read(104.0) == 1.25 and clock.heard == (1.25, 104.0)
    # Twice as fast: what was heard runs on at the new speed.
    clock.set_speed(2.0, 104.5)
    assert clock.heard == (1.75, 104.5)
    sound.finished = True
    assert clock.read(105.0) == 2.75  # on from the sound's last reading, by the system
    sound.finished, sound.error = False, "gone"
    assert clock.read(105.5) == 3.75


def test_a_glimpse_silences_the_sound_clock_until_the_frame_sought_is_up():
    sound = Sound(heard=3.0)
    clock = Clock(sound)
    clock.play(0.0, up_at=0.0)
    assert clock.verdict(frame(9.0, GLIMPSE, serial=2), frame(2.9), 2, 1.0) == ("show", None)
    assert clock.landing and clock.read(1.5) == 1.5  # the sound, silent, is no clock
    assert clock.verdict(frame(9.5, SOUGHT, serial=2), frame(9.0, GLIMPSE, serial=2), 2,
                         2.0) == ("show", None)
    assert not clock.landing and clock.heard is None and clock.base == (9.5, 2.0)
    sound.heard = 9.75
    assert clock.read(2.25) == 9.75


@pytest.mark.parametrize("heard, now, waits", [
    (None, 10.0, True), (0.5 - SOUND_AHEAD - 1e-6, 10.0, True), (0.5 - SOUND_AHEAD, 10.0, False),
    (None, 10.0 + SOUND_START, False)])
def test_the_first_frame_of_play_waits_for_the_sound_to_reach_it(heard, now, waits):
    sound = Sound(heard)
    clock = Clock(sound)
    clock.play(10.0, up_at=0.0)
    up, head = frame(0.0, SOUGHT, serial=1), frame(0.5, serial=2)
    assert clock.waits_for_sound(0.5, now) is waits
    assert clock.verdict(head, up, 2, now) == (("wait" if waits else "show"), None)
    sound.error = "broken"
    assert not clock.waits_for_sound(0.5, 10.0)


def test_late_frames_are_dropped_up_to_the_late_limit_then_the_beat_starts_again():
    clock = Clock()
    clock.play(0.0, up_at=0.0)
    up = frame(0.0)
    assert clock.verdict(frame(0.04), up, 1, 0.039) == ("wait", None)
    # Due: shown, with those due by 0.5 after it dropped.
    assert clock.verdict(frame(0.04), up, 1, 0.5) == ("show", 0.5)
    # Later than LATE_LIMIT: shown alone, the line starting again from it.
    assert clock.verdict(frame(0.04), up, 1, 0.04 + LATE_LIMIT + 1e-3) == ("show", None)
    assert clock.base == (0.04, 0.04 + LATE_LIMIT + 1e-3)
    # Without dropping, a frame more than its duration late restarts the beat.
    assert not clock.late(1.0, 1.25, 5.0, limit=0.25) and clock.late(1.0, 1.5, 5.0, limit=0.25)
    assert clock.base == (1.0, 5.0)
    # With sound the sound leads: never a new beat.
    assert not Clock(Sound()).late(0.0, 100.0, 5.0)


def test_the_end_comes_after_the_last_frames_time_and_the_sounds():
    sound = Sound(heard=1.0)
    clock = Clock(sound)
    clock.play(0.0, up_at=0.96)
    up, end = frame(0.96), Item(kind=END, serial=1)
    assert clock.verdict(end, up, 1, 0.0) == ("wait", None)
    sound.heard = 1.5
    assert clock.verdict(end, up, 1, 1.0) == ("wait", None)  # the sound plays on
    sound.finished = True
    assert clock.verdict(end, up, 1, 1.1) == (END, None)
    # Paused, nothing goes on; unpaced, frames go up as they come.
    clock.playing = False
    assert clock.verdict(frame(2.0), up, 1, 9.0) == ("wait", None)
    clock.playing = True
    assert clock.verdict(frame(99.0), up, 1, 9.0, pace=False) == ("show", None)


def test_caught_up_and_due_in():
    clock = Clock()
    assert clock.caught_up([], False, 0.0, settled=True)  # paused, nothing asked
    assert not clock.caught_up([], False, 0.0, settled=False)
    assert clock.caught_up([Item(kind=NOTE)], False, 0.0)
    clock.play(10.0, up_at=1.0)
    assert clock.caught_up([frame(1.25)], False, 10.125)
    assert not clock.caught_up([frame(1.25)], False, 10.25)
    assert clock.caught_up([frame(1.25)], True, 10.5)
    assert clock.due_in(frame(1.25), 10.0) == 0.25 and clock.due_in(None, 10.0) is None
    assert clock.due_in(frame(1.25), 10.0, pace=False) == 0.0


@pytest.mark.parametrize("timed_by_pass, loop_length, second_pass", [
    (False, None, [1.0, 1.04]), (True, 1.02, [1.02, 1.06])])
def test_a_loops_next_pass_goes_on_from_the_last_ones_length(timed_by_pass, loop_length,
                                                              second_pass):
    """A one-second pass of 25 frames (the last 0.04 long); with sound that
    loops, frames fall at the pass's start (the sound's pass length) plus
    their time; else one after another."""
    passes = Passes()
    passes.restart(23, 0.92, 0.04)
    for number, time, want in ((24, 0.96, 0.96), (0, 0.0, second_pass[0]),
                               (1, 0.04, second_pass[1])):
        at = passes.at(number, time, timed_by_pass, loop_length)
        assert at == pytest.approx(want, abs=1e-12), number
        passes.given(number, time, at, 0.04)
    # A frame whose time comes before the last one's stays after it.
    assert passes.at(2, 0.0, True) == pytest.approx(second_pass[1] + 1e-6)
