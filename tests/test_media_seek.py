"""brilox.media.seek: seeks, steps and the last frame as a state machine
over a stand-in source, each outcome typed."""

import pytest

from brilox.media import seek
from brilox.media.seek import (AFTER, BEFORE, LAST, SEEK, STEP, WAIT, Aim, AsFarBack, Glimpse,
                               Landed, NoEnd, NoFrame, Sought, Stay)


class Source:
    """Frames "f0" to "f299", a key frame every 64 (glimpsed more than 8
    before the frame sought), reached in two slices of decoding.  A stream
    (`kept` frames kept, the oldest `oldest`) or a file (kept None), which
    may refuse seeks."""

    reads_ahead, count = 1, 300

    def __init__(self, kept=None, oldest=None, refuses=False, glimpses=True, known=True):
        self.kept, self.oldest, self.refuses, self.known = kept, oldest, refuses, known
        self.landings = 0
        if not glimpses:
            self.glimpse = None

    def glimpse(self, target):
        key = target - target % 64
        return (key, "f%d" % key) if target - key > 8 else None

    def land(self, target, step):
        assert step == seek.LAND_STEP
        self.landings += 1
        return self.landings > 2

    def get(self, index):
        if self.refuses and self.kept is None:  # found out at the first try
            self.kept = 32
            return None
        if self.oldest is not None and index < self.oldest:
            return None
        return "f%d" % index if 0 <= index < self.count else None

    def last(self, up):
        return self.count - 1 if self.known else None

    def oldest_kept(self):
        return self.oldest


@pytest.mark.parametrize("source, kind, target, up, events", [
    # A glimpse of the key frame, slices of decoding, then the frame itself.
    (Source(), SEEK, 230, 0,
     [Aim(230), Glimpse(192, "f192"), WAIT, WAIT, Sought(230, "f230", Landed(230, SEEK))]),
    (Source(), SEEK, 130, 0, [Aim(130), Sought(130, "f130", Landed(130, SEEK))]),
    # A step never glimpses; nor does a source that cannot.
    (Source(), STEP, 230, 229, [Aim(230), Sought(230, "f230", Landed(230, STEP))]),
    (Source(glimpses=False), SEEK, 230, 0, [Aim(230), Sought(230, "f230", Landed(230, SEEK))]),
    (Source(), LAST, None, 5,
     [Aim(299), Glimpse(256, "f256"), WAIT, WAIT, Sought(299, "f299", Landed(299, LAST))]),
    (Source(known=False), LAST, None, 5, [Stay(NoEnd(5), None)]),
    # Past the end, the last frame; a step past it goes nowhere.
    (Source(glimpses=False), SEEK, 400, 10, [Aim(400), Sought(299, "f299", Landed(299, SEEK))]),
    (Source(), STEP, 305, 290, [Aim(305), Stay(NoFrame(AFTER, 290), 305)]),
    (Source(glimpses=False), SEEK, 400, 299, [Aim(400), Stay(NoFrame(AFTER, 299), 400)]),
    (Source(known=False, glimpses=False), SEEK, 400, 10,
     [Aim(400), Stay(NoFrame(AFTER, 10), 400)]),
    (Source(), STEP, -1, 0, [Aim(0), Stay(NoFrame(BEFORE, 0), -1)]),
    # A stream keeps its last 32 frames: up to the one after the frame up
    # (100 + 1 - 32 + 1 = 70).
    (Source(kept=32, glimpses=False), SEEK, 10, 100,
     [Aim(10), Sought(70, "f70", AsFarBack(70, 32))]),
    (Source(kept=32, glimpses=False), STEP, 75, 100,
     [Aim(75), Sought(75, "f75", Landed(75, STEP))]),
    # A file that turns out to refuse seeks: the oldest frame it kept, or
    # none, where it kept none behind the frame up.
    (Source(refuses=True, glimpses=False), SEEK, 10, 300, [Aim(10), Stay(AsFarBack(300, 32), 10)]),
    # The oldest kept is 250, but only 270 on lie behind frame 300.
    (Source(refuses=True, glimpses=False, oldest=250), SEEK, 10, 300,
     [Aim(10), Sought(270, "f270", AsFarBack(270, 32))]),
], ids=["glimpse", "near", "step", "no glimpse", "last", "no end", "past the end",
        "step past the end", "past the end from the last", "past an unknown end", "step before 0",
        "before the kept", "step within the kept", "refused", "refused, kept"])
def test_a_request_shows_its_way_and_ends_in_a_typed_outcome(source, kind, target, up, events):
    assert list(seek.go(source, kind, target, up)) == events


@pytest.mark.parametrize("value, error", [(-1, ValueError), (float("nan"), ValueError),
                                          ("soon", TypeError)])
def test_a_time_that_is_not_in_the_video_is_refused_by_name(value, error):
    with pytest.raises(error, match="^seek"):
        seek.check_time(value, "seek")
