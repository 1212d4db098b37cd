"""A span of a Video played again and again: each pass of it is a clip of
the Video's line (see sequence), from the span's start to the end of its
last frame, opened and decoded ahead, so that the picture and the sound
go on from its end into its start with no seam, as they go on into a
clip queued.

A span set or cleared while playing changes what follows the clip
playing.  What the decoding thread made ahead for the old plan (frames
queued, sound queued to the device) is taken back from the first frame
that can still change: the frame after those up or due, and no sooner
than CHANGE_LEAD seconds after the first sound still waiting in the
device's queue, which the device plays while the sound is made again.  A span whose end is before
that point ends its pass there, and goes back to its start."""

import math

from brilox.media.queue import END

# Seconds of the sound waiting in the device's queue kept, to play while
# the sound after them is made again.
CHANGE_LEAD = 0.1
# Times closer than this (seconds) are the same.
NEAR = 1e-6


def check_span(span, length):
    """`span` as (start, end) floats, or None; the error that says what is wrong."""
    if span is None:
        return None
    try:
        start, end = (float(x) for x in span)
    except (TypeError, ValueError):
        raise TypeError("span takes (start, end) in seconds, or None") from None
    if not 0 <= start <= end or math.isinf(end):
        raise ValueError("span must have 0 <= start <= end, not %r" % (span,))
    if length is not None and end > length:
        raise ValueError("span: %g is past the end of the video (%g s)" % (end, length))
    return start, end


def change_point(floor, waiting, frames):
    """Where on the line a change of plan can take effect: the first of
    `frames` (times on the line of the frames made ahead of those up, in
    order) at or after both `floor` (where the next frame not up falls)
    and `waiting` + CHANGE_LEAD (`waiting`: the time of the first sound
    waiting to go to the device, or None); its place in `frames`
    (len(frames) where none is).  Pure."""
    earliest = floor if waiting is None else max(floor, waiting + CHANGE_LEAD)
    for i, at in enumerate(frames):
        if at >= earliest - NEAR:
            return i, at
    return len(frames), earliest


class Spanned:
    """The part of a Video that plays a span again and again; Video
    derives from it."""

    @property
    def span(self):
        """(start, end) in seconds, or None: the frames from the one shown
        at `start` to the one shown at `end` play again and again, the
        picture and the sound going on from the end of the last into the
        first with no gap.  Set while playing, it applies from the next
        moment the sound can change (a tenth of a second after the sound
        already on its way to the device): play goes back to `start` there if it is already past
        `end`.  None plays on from where play is.  A seek to `end` or
        after clears it; a seek before `start` plays on into it."""
        self._check()
        return self._sequence.asked

    @span.setter
    def span(self, value):
        self._check()
        value = check_span(value, self.source.length)
        if value is not None and not (isinstance(getattr(self.source, "path", None), str)
                                      and getattr(self.source, "seekable", False)):
            raise ValueError("this video cannot loop a span: it cannot be played again")
        self._sequence.ask_span(value)
        self._queue.poke()

    def _past_span(self, target):
        """A seek to frame `target` (None: the last) at or after the
        span's end clears it."""
        asked = self._sequence.asked
        if asked is not None and (target is None or self.source.time_of(target)
                                  >= asked[1] - self.source.period / 2):
            self._sequence.ask_span(None)


def respan(decoder, asked):
    """On the decoding thread: plays span `asked` ((start, end) in seconds,
    or None) from the first frame that can still change."""
    sequence, queue, passes = decoder.sequence, decoder.queue, decoder.passes
    playing, source = sequence.current(), decoder.source
    span = None
    if asked is not None:
        base = max(0, decoder.next - 1)
        first, last = source.index_at(asked[0], base), source.index_at(asked[1], base)
        span = (source.time_of(first), source.time_of(last) + source.duration(last))
    items = [item for item in queue.current() if item.kind != END]
    made = passes.last
    floor = items[0].at if items else made[2] + made[3] if made is not None else 0.0
    sound = decoder.sound if sequence.sound is not None and not decoder.sound_failed else None
    waiting = sound.waiting() if sound is not None else None
    at, line = change_point(floor, waiting, [item.at for item in items])
    if at < len(items):
        # A frame made ahead: where its clip's times fall on the line.
        target = items[at]
        clip, index, seconds = target.clip, target.index, target.time
        offset = target.at - target.time
    else:
        target, clip = None, playing
        offset = made[2] - made[1] if made is not None else 0.0
        index = source.index_at(line - offset, max(0, decoder.next - 1))
        if offset + source.time_of(index) < line - NEAR:
            index += 1
        seconds = source.time_of(index)
    line = offset + seconds
    old_end, new_end = clip.end, None if span is None else max(span[1], seconds)
    sequence.span = span
    # Whether the picture or the sound made anything past where the old
    # plan or the new one ends this pass: it is made again, from the line.
    ends = [end for end in (old_end, new_end) if end is not None]
    cut = offset + min(ends) - NEAR if ends else math.inf
    sound_on = sound is not None and sequence.at["sound"] > sequence.at["picture"]
    ahead = math.inf if clip is not playing else made[2] if made is not None else -math.inf
    if sound is not None and not sound_on:
        ahead = max(ahead, sound.map.base + sound.map.seconds_of(sound.map.produced) - NEAR)
    if not sound_on and ahead < cut:
        clip.end = new_end
        sequence.replan()
    else:
        if target is not None:
            queue.retract(lambda item: item is target)
        back = clip is not playing
        if back:
            # Its clip passed: a pass of its own goes on from there.
            clip = sequence.go_back(clip, seconds, new_end)
            decoder.source = source = clip.source
            decoder.adopt(source)
            index = source.index_at(seconds, 0)
            passes.start = offset
        else:
            clip.end = new_end
            sequence.replan()
        if target is not None or back or made is not None and made[2] >= line - NEAR:
            decoder.next = index
            passes.last = (source.position(index) - 1, seconds, line, 0.0)
        if sound is not None:
            if sound_on or back:
                sequence.sound_back(sequence.open_reader, again=True)
            cut_at = sound.cut(line)
            if cut_at is None and (sound_on or back):
                # Made up to a time after the line: it goes on from there.
                cut_at = sound.map.base + sound.map.seconds_of(sound.map.produced)
            if cut_at is not None:
                sound.resume(seconds + cut_at - line, new_end if new_end is not None
                             else sequence.natural_length(clip))
                return
    if sound is not None:
        sound.loop_length = new_end if new_end is not None else sequence.natural_length(clip)
