"""Seeks, steps and the last frame, carried out on a source as a state
machine: what it shows on the way, and what came of it, as typed notes a
program words as it likes.

`go()` yields a Glimpse where a key frame well before the frame sought can
show meanwhile, WAIT between slices of decoding towards it (the caller
looks at what else was asked, and keeps the sound fed), and last an
outcome: Sought (a frame goes up) or Stay (the frame up stays)."""

import math
from typing import NamedTuple, Optional

# Seconds of decoding on the way to a seek's frame between two looks at
# what the game asked for meanwhile.
LAND_STEP = 0.02
# The kinds of request.
SEEK, STEP, LAST = "seek", "step", "last"
AFTER, BEFORE = 1, -1


class Landed(NamedTuple):
    """Frame `index` is up, as asked: `kind` "seek", "step" or "last"."""
    index: int
    kind: str


class AsFarBack(NamedTuple):
    """No further back than the stream keeps (its last `kept` frames):
    frame `index` is up, the oldest of them (or still the frame up)."""
    index: int
    kept: int


class NoFrame(NamedTuple):
    """No frame `direction` (AFTER or BEFORE) frame `index`, which stays up."""
    direction: int
    index: int


class NoEnd(NamedTuple):
    """The length is not known: no last frame to go to from frame `index`."""
    index: int


class Glimpse(NamedTuple):
    index: int
    planes: tuple


class Aim(NamedTuple):
    """The frame the request goes to: the sound seeks there, silent."""
    index: int


class Sought(NamedTuple):
    index: int
    planes: tuple
    note: object


class Stay(NamedTuple):
    note: object
    aimed: Optional[int]


WAIT = "wait"


def check_time(seconds, what):
    """`seconds` as a float, or the error that names `what`."""
    try:
        seconds = float(seconds)
    except (TypeError, ValueError):
        raise TypeError("%s takes seconds (a number), not %s"
                        % (what, type(seconds).__name__)) from None
    if math.isnan(seconds) or seconds < 0:
        raise ValueError("%s: %r is not a time in the video (seconds from 0)" % (what, seconds))
    return seconds


def floor(source, up):
    """The oldest frame a stream keeps once frame `up` is shown: as many as
    it keeps, up to the frame it reads after it."""
    return up + source.reads_ahead - source.kept + 1


def go(source, kind, target, up, step=LAND_STEP):
    """Goes from frame `up` to frame `target` (for LAST, the last frame):
    its key frame first where decoding starts well before it, then the
    frame itself, exactly.  Past the end the last frame comes instead;
    before the frames a stream keeps, the oldest of them."""
    if kind == LAST:
        target = source.last(up)
        if target is None:
            yield Stay(NoEnd(up), None)
            return
    asked = target
    yield Aim(max(0, target))
    glimpse = getattr(source, "glimpse", None)
    seen = glimpse(target) if glimpse and kind != STEP and target >= 0 else None
    if seen is not None:
        yield Glimpse(*seen)
        while not source.land(target, step):
            yield WAIT
    note = None
    if source.kept is not None and 0 <= target < floor(source, up):
        # No further back than a stream keeps: its last frames, up to the
        # one after the frame up (decoded for its duration).
        target = floor(source, up)
        note = AsFarBack(target, source.kept)
    planes = source.get(target) if target >= 0 else None
    following = getattr(source, "following", None)
    if planes is None and following and target >= 0 and (target > up or kind != STEP):
        # A frame skipped as damaged: the first after it.
        after = following(target)
        if after is not None:
            target, planes = after, source.get(after)
    if planes is None and target > up and kind != STEP:
        last = source.last(up)
        if last is not None and last > up:
            target, planes = last, source.get(last)
    if planes is None and 0 <= target < up and source.kept is not None:
        # A seek refused: the file turned out to be a stream.
        oldest = source.oldest_kept()
        if oldest is not None and oldest < up:
            target = max(oldest, floor(source, up))
            planes = source.get(target)
        note = AsFarBack(target if planes is not None else up, source.kept)
    if planes is None:
        yield Stay(note or NoFrame(AFTER if target > up else BEFORE, up), asked)
        return
    yield Sought(target, planes, note or Landed(target, kind))
