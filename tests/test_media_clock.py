"""brilox.media.clock: when a Video's frames are due, the test holding the
clock (every `now` passed in) and the sound a stand-in whose clock it sets."""

from types import SimpleNamespace as Item

import pytest

from brilox.media.clock import CONVERT, DROP, HOLD_LIMIT, JUMP, JUMP_LEAD, LATE_LIMIT, \
    SOUND_START, Clock, Overload, Passes
from brilox.media.queue import END, FRAME, GLIMPSE, NOTE, SOUGHT


class Sound:
    def __init__(self, heard=None):
        self.heard, self.finished, self.error = heard, False, None

    def clock(self):
        return self.heard

    def done(self):
        return self.finished


def frame(at, kind=FRAME, serial=1, duration=0.25):
    return Item(kind=kind, at=at, serial=serial, duration=duration)


def test_the_system_clock_runs_from_play_at_the_speed_and_stands_while_paused():
    clock = Clock()
    assert clock.read(5.0) is None
    clock.play(10.0, up_at=2.0)
    assert clock.read(10.5) == 2.5
    assert clock.set_speed(2.0, 11.0) == 2.0  # on from 3.0, twice as fast
    assert clock.read(11.25) == 3.5
    clock.pause(12.0, up_at=3.75)
    assert (clock.playing, clock.read(20.0), clock.noted) == (False, None, 5.0)
    clock.play(30.0, up_at=3.75)  # from where it stood, not the frame up
    assert clock.read(30.5) == 6.0
    clock.set_speed(0.5, 31.0)
    assert clock.read(33.0) == 8.0


@pytest.mark.parametrize("ahead", [2.0, -1.0])
def test_a_seek_while_paused_plays_on_from_the_frame_sought(ahead):
    """Without sound, paused at 5.0, a seek `ahead`: play goes on from the
    frame sought, not from the time noted at the pause (which held the
    picture for the length of a seek ahead, and dropped frames after one back)."""
    clock = Clock()
    clock.play(0.0, up_at=0.0)
    clock.pause(5.0, up_at=4.75)
    up = frame(5.0 + ahead, SOUGHT, serial=2)
    assert clock.verdict(up, frame(4.75), 2, 6.0) == ("show", None)
    clock.play(8.0, up_at=5.0 + ahead)
    assert clock.read(8.0) == 5.0 + ahead
    head = frame(5.25 + ahead, serial=2)
    assert clock.verdict(head, up, 2, 8.125) == ("wait", None)
    assert clock.verdict(head, up, 2, 8.25) == ("show", 5.25 + ahead)
    # Playing, a seek's frame restarts the line at once.
    assert clock.verdict(frame(7.0, SOUGHT, serial=3), head, 3, 9.0) == ("show", None)
    assert (clock.base, clock.read(9.5), clock.sound_wait) == ((7.0, 9.0), 7.5, 9.0 + SOUND_START)


def test_the_sound_leads_and_the_system_clock_takes_over_when_it_stops():
    waiting = Clock(Sound())
    waiting.play(100.0, up_at=0.0)
    # Before the sound is heard the picture waits, up to SOUND_START; then
    # the line runs on from where it was held.
    assert waiting.read(100.0) is None and waiting.read(100.0 + SOUND_START - 1e-9) is None
    assert waiting.read(100.0 + SOUND_START + 0.5) == 0.5
    sound = Sound()
    clock = Clock(sound)
    clock.play(100.0, up_at=None)
    sound.heard = 1.25
    assert clock.read(104.0) == 1.25 and clock.heard == (1.25, 104.0)
    clock.set_speed(2.0, 104.5)
    assert clock.heard == (1.75, 104.5)
    sound.finished = True
    assert clock.read(105.0) == 2.75  # on from its last reading, twice as fast
    sound.finished, sound.error = False, "gone"
    assert clock.read(105.5) == 3.75
    # A seek's key frame up, the silent sound is no clock until the frame sought is.
    sound.error, sound.heard = None, 3.0
    assert clock.verdict(frame(9.0, GLIMPSE, serial=2), frame(2.75), 2, 106.0) == ("show", None)
    assert clock.landing and clock.read(106.5) == 5.75  # the system clock, twice as fast
    assert clock.verdict(frame(9.5, SOUGHT, serial=2), frame(9.0, GLIMPSE, serial=2), 2,
                         107.0) == ("show", None)
    assert (clock.landing, clock.heard, clock.base, clock.read(107.25)) == \
        (False, None, (9.5, 107.0), 3.0)


def test_a_delay_puts_the_picture_that_far_from_the_sound_both_ways():
    """Sound heard 0.5 s late: the line is the sound's clock plus 0.5;
    moved back while playing, it holds through a pause."""
    sound = Sound(1.0)
    clock = Clock(sound)
    # Standing at the start, the sound is to start again 0.5 s earlier.
    assert clock.set_delay(0.5, 0.0) is True and clock.lead == 0.5
    clock.play(10.0, up_at=0.0)
    assert clock.read(10.0) == 1.5 and clock.heard == (1.5, 10.0)
    # Playing, the line moves; the sound plays on.
    assert clock.set_delay(-0.25, 10.0) is False and clock.lead == 0.0
    assert clock.heard == (0.75, 10.0) and clock.read(10.0) == 0.75
    assert clock.verdict(frame(1.0), frame(0.75), 1, 10.0) == ("wait", None)
    clock.pause(10.0, up_at=0.75)
    assert clock.noted == 0.75
    # Paused after play, only with a seek on its way.
    assert (clock.set_delay(0.1, 10.0), clock.set_delay(0.2, 10.0, sought=True)) == (False, True)
    clock.set_delay(-0.25, 10.0)
    sound.heard = 2.0
    clock.play(11.0, up_at=0.75)
    assert clock.read(11.0) == 1.75
    # Without sound a delay moves nothing.
    alone = Clock()
    alone.set_delay(1.0, 0.0)
    alone.play(0.0, up_at=3.0)
    assert alone.read(0.5) == 3.5


@pytest.mark.parametrize("delay", [0.3, -0.3])
def test_after_a_seek_every_frame_goes_up_in_turn_with_either_delay(delay):
    """Sound heard late starts its `lead` before the frame sought, and each
    frame after it goes up at its time, none passed over; sound heard early
    starts at the frame, which stays up until the sound has played 0.3 s."""
    sound, held = Sound(None), max(0.0, -delay)
    clock = Clock(sound)
    clock.set_delay(delay, 0.0)
    clock.play(0.0, up_at=1.0)
    up = frame(5.0, SOUGHT, serial=2)
    assert clock.verdict(up, frame(1.0), 2, 1.0) == ("show", None)
    for k in range(1, 12):
        head, sound.heard = frame(5.0 + 0.04 * k, serial=2), 4.999 - clock.lead + held + 0.04 * k
        assert clock.verdict(head, up, 2, 9.0) == ("wait", None)
        sound.heard += 0.001
        assert clock.verdict(head, up, 2, 9.0) == ("show", head.at)
        up = head


@pytest.mark.parametrize("heard", [None, -0.1, 0.4])
def test_the_first_frame_of_play_goes_up_at_once_and_is_held_until_the_sound_begins(heard):
    """A slow sound server: the first frame (at 0.5) goes up at once
    whatever the sound says, and the next (at 0.75) waits for the sound to
    reach it; a sound that never begins holds it SOUND_START at most."""
    sound = Sound(heard)
    clock = Clock(sound)
    clock.play(10.0, up_at=0.0)
    first, second = frame(0.5, serial=2), frame(0.75, serial=2)
    assert clock.verdict(first, frame(0.0, SOUGHT), 2, 10.0) == ("show", None)
    held = 10.0 + SOUND_START - 1e-6
    assert clock.verdict(second, first, 2, held) == ("wait", None)
    if heard is not None:
        sound.heard = 0.75
        assert clock.verdict(second, first, 2, held) == ("show", 0.75)
        return
    # No sound in time: the line runs on from the first frame, held till then.
    assert clock.verdict(second, first, 2, 10.0 + SOUND_START + 0.125) == ("wait", None)
    assert clock.verdict(second, first, 2, 10.0 + SOUND_START + 0.25) == ("show", 0.75)


def test_late_frames_are_dropped_up_to_the_late_limit_then_the_beat_starts_again():
    clock = Clock()
    clock.play(0.0, up_at=0.0)
    up = frame(0.0)
    assert clock.verdict(frame(0.25), up, 1, 0.125) == ("wait", None)
    assert clock.verdict(frame(0.25), up, 1, 0.5) == ("show", 0.5)  # those due by 0.5 dropped
    assert clock.verdict(frame(0.25), up, 1, 0.25 + LATE_LIMIT + 0.125) == ("show", None)
    assert clock.base == (0.25, 0.25 + LATE_LIMIT + 0.125)
    # Without dropping, a frame more than its duration late restarts the beat.
    assert not clock.late(1.0, 1.25, 5.0, limit=0.25) and clock.late(1.0, 1.5, 5.0, limit=0.25)
    assert clock.base == (1.0, 5.0) and not Clock(Sound()).late(0.0, 100.0, 5.0)


def test_the_end_comes_after_the_last_frames_time_and_the_sounds():
    sound = Sound(heard=1.0)
    clock = Clock(sound)
    clock.play(0.0, up_at=0.75)
    up, end = frame(0.75), Item(kind=END, serial=1)
    assert clock.verdict(end, up, 1, 0.0) == ("wait", None)
    sound.heard = 1.5
    assert clock.verdict(end, up, 1, 1.0) == ("wait", None)  # the sound plays on
    sound.finished = True
    assert clock.verdict(end, up, 1, 1.0) == (END, None)
    quiet = Clock()  # without sound, once the last frame's duration is over
    quiet.play(0.0, up_at=0.75)
    assert [quiet.verdict(end, up, 1, now)[0] for now in (0.125, 0.25)] == ["wait", END]
    clock.playing = False
    assert clock.verdict(frame(2.0), up, 1, 9.0) == ("wait", None)
    clock.playing = True
    assert clock.verdict(frame(99.0), up, 1, 9.0, pace=False) == ("show", None)


def test_caught_up_and_due_in():
    clock = Clock()
    assert clock.caught_up([], False, 0.0, settled=True)  # paused, nothing asked
    assert not clock.caught_up([], False, 0.0) and clock.caught_up([Item(kind=NOTE)], False, 0.0)
    clock.play(10.0, up_at=1.0)
    assert clock.caught_up([frame(1.0), Item(kind=NOTE, at=0.0)], False, 10.5)
    assert [clock.caught_up([frame(1.25)], full, now) for full, now in
            ((False, 10.125), (False, 10.25), (True, 10.5))] == [True, False, True]
    assert (clock.due_in(frame(1.25), 10.0), clock.due_in(None, 10.0),
            clock.due_in(frame(1.25), 10.0, pace=False)) == (0.25, None, 0.0)


@pytest.mark.parametrize("timed_by_pass, loop_length, second_pass", [
    (False, None, [1.0, 1.25]), (True, 1.125, [1.125, 1.375])])
def test_a_loops_next_pass_goes_on_from_the_last_ones_length(timed_by_pass, loop_length,
                                                              second_pass):
    """A one-second pass of quarters; with sound that loops, a frame falls at
    its pass's start (the sound's pass length) plus its time."""
    passes = Passes()
    passes.restart(2, 0.5, 0.25)
    for number, time, want in ((3, 0.75, 0.75), (0, 0.0, second_pass[0]),
                               (1, 0.25, second_pass[1])):
        at = passes.at(number, time, timed_by_pass, loop_length)
        assert at == want, number
        passes.given(number, time, at, 0.25)
    assert passes.at(2, 0.0, True) == second_pass[1] + 1e-6  # never before the last
    passes.restart(1, 0.25, 0.25)  # after a seek, in the pass of the file's start
    assert passes.at(2, 0.5, timed_by_pass, loop_length) == 0.5
    # Frames 3 to 5 skipped: frame 6 falls as far after frame 2 as its time.
    passes.given(2, 0.5, 0.5, 0.25)
    assert passes.at(6, 1.5, timed_by_pass, loop_length) == 1.5


@pytest.mark.parametrize("end, seam", [(1.125, 1.125), (None, 1.0)])
def test_a_following_pass_starts_where_the_last_one_ends(end, seam):
    """A clip of quarters, then a pass from 0.5 s in (of a loop that goes
    back there, or the next clip from its frame 2): its first frame falls at
    the end of the pass before, by its length (the sound's, with sound) or
    by its last frame's end; the frames after it by their time in the pass;
    a seek starts the line at its frame's own time again."""
    passes = Passes()
    passes.restart(2, 0.5, 0.25)
    passes.given(3, 0.75, 0.75, 0.25)
    passes.follow(end, 2, 0.5)
    for number, time, want in ((2, 0.5, seam), (3, 0.75, seam + 0.25), (5, 1.25, seam + 0.75)):
        at = passes.at(number, time)
        assert at == pytest.approx(want), number
        passes.given(number, time, at, 0.25)
    passes.follow(1.5, 0, 0.0)  # the next clip, from its start
    assert passes.at(0, 0.0) == pytest.approx(seam + 1.0)
    passes.restart(1, 0.25, 0.25)
    assert passes.at(2, 0.5) == 0.5 and not passes.followed


def test_a_frame_that_would_come_after_its_time_is_dropped_and_a_late_interval_jumps():
    """Frames of a quarter second; each pipeline takes 0.125 s.  A frame
    goes through while it would be ready before its time is over; after a
    drop the decoder skips unreferenced frames until one is on time again;
    a key-frame interval late, it jumps once, aiming past the clock."""
    overload = Overload()
    assert overload.judge(0.0, 0.25, None) == CONVERT and not overload.skipping
    overload.took(0.125)
    assert [overload.judge(at, 0.25, 1.0, key_interval=2.0) for at in (1.0, 0.9, 0.875)] \
        == [CONVERT, CONVERT, DROP]  # ready at 1.125: the last one's time is over
    assert overload.skipping
    assert overload.judge(1.1, 0.25, 1.0) == CONVERT and overload.skipping  # not yet ahead
    assert overload.judge(1.25, 0.25, 1.0) == CONVERT and not overload.skipping
    overload.took(0.375)  # smoothed: a quarter of each new time
    assert overload.cost == 0.1875
    # Late by more than the key frames' interval: one jump, then drops.
    assert [overload.judge(at, 0.25, 5.0, key_interval=2.0) for at in (1.5, 1.625)] \
        == [JUMP, DROP]
    assert overload.jump_to(1.5, 5.0) == pytest.approx(3.5 + 0.1875 + JUMP_LEAD)
    # Without a key-frame interval known, never a jump; a frame goes
    # through at least every HOLD_LIMIT however late.
    overload = Overload()
    verdicts = [overload.judge(at, 0.25, 10.0) for at in (1.0, 1.25, 1.0 + HOLD_LIMIT, 1.75)]
    assert verdicts == [DROP, DROP, CONVERT, DROP]
