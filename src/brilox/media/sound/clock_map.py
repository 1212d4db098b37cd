"""The map from what the device has played to the stream's time.

Samples go to the device in order; each was made at some speed (through
the tempo filters, or as decoded at speed 1) from some stretch of the
stream.  The map keeps, since the last seek, where the speed changed among
the samples queued: (samples queued before, seconds of the stream they
played, speed from there on).  Told how many samples have been heard, it
gives the stream's time of the one heard now.

A looping video's sound goes on into the next pass with no gap, each pass
cut or filled with silence to the pass's length: the stream's time keeps
counting on through the passes, as the frames' times do.  The map counts
the samples of the pass decoded so far to say where a pass ends.

Pure arithmetic: no device, no decoder, no clock of its own."""

import math

# Slowed down, the tempo filters play overlapping stretches of the sound
# more than once: a sound that starts is heard from the first stretch that
# holds it, ahead of its place by this many seconds of the stream times
# (1 - speed), as measured of tones' onsets through FFmpeg's atempo.  The
# clock counts them in, so that the picture keeps to when a sound is first
# heard.
ONSET_LEAD = 0.018


class ClockMap:
    """The time of each sample queued since the last seek, at `rate`
    samples a second.  Times are the video's: the stream's own less
    `origin`, the video's first timestamp."""

    def __init__(self, rate, origin=0.0):
        self.rate, self.origin = rate, origin
        self.seek(0.0, 1.0)

    def seek(self, seconds, speed, ahead=0.0):
        """Nothing queued: the next sample queued plays from `seconds` at
        `speed`, after `ahead` seconds of the stream's time in silence (the
        time before the video's start that a sound led in is sought from)."""
        self.sought = seconds
        self.base = seconds - ahead
        self.produced = 0
        self.changes = [(0, 0.0, speed)]
        # The stream's samples of the current pass of a loop decoded so far.
        self.pass_samples = int(round(seconds * self.rate))
        self.rebase = True

    def started_at(self, seconds):
        """The first sample that stays after a seek plays the stream from
        `seconds` (its own time), later than the time sought where the
        stream starts after it: the clock moves on by as much (any silence
        queued ahead of the sound stays ahead of it).  At a loop's next pass
        the time goes on as it was."""
        if self.rebase:
            self.base += seconds - self.origin - self.sought
            self.sought = seconds - self.origin

    def queued(self, samples):
        """`samples` more have been queued, at the speed of the last change."""
        self.produced += samples

    def preroll(self, samples):
        """Silence queued ahead of the sound, at its own pace: the sound's
        first sample is heard that much later, and the speed starts after
        it."""
        self.produced += samples
        self.base -= samples / self.rate
        speed = self.changes[-1][2]
        self.changes = [(0, 0.0, 1.0), (samples, samples / self.rate, speed)]
        return samples / self.rate

    def forget(self, heard):
        """Drops the changes of speed before the one being heard, after
        `heard` samples (a held key makes many)."""
        changes = self.changes
        while len(changes) > 1 and changes[1][0] <= heard:
            changes = changes[1:]
        self.changes = changes

    def change(self, speed, drained=0, took=None):
        """The speed changes to `speed` from the next sample queued.
        `drained`: samples the old filters gave as they were drained, not
        counted yet; `took`: the stream's seconds of the input those filters
        took (None where there were none).  The filters may keep time a
        little differently from their speed: where they gave samples, the
        last stretch's speed becomes the one they kept.  The stream's
        seconds the new speed starts at."""
        begun = self.produced
        self.produced += drained
        seam = self.seconds_of(self.produced) if took is None else took
        changes = self.changes
        if took is not None:
            at, seconds, _ = changes[-1]
            if self.produced > at and seam > seconds:
                changes = changes[:-1] + [(at, seconds, (seam - seconds) * self.rate
                                           / (self.produced - at))]
            elif begun == self.produced:
                seam = self.seconds_of(self.produced)
        self.changes = changes + [(self.produced, seam, speed)]
        return seam

    def seconds_of(self, heard, lead=False):
        """Seconds of the stream played by the first `heard` samples queued
        since the seek, through the changes of speed among them; `lead`:
        as far on as what is heard sounds (see ONSET_LEAD)."""
        for at, seconds, speed in reversed(self.changes):
            if at <= heard:
                break
        else:
            at, seconds, speed = self.changes[0]
        seconds += (heard - at) * speed / self.rate
        return seconds + ONSET_LEAD * max(0.0, 1.0 - speed) if lead else seconds

    def time(self, heard):
        """The time of the sample heard after `heard` samples."""
        return self.base + self.seconds_of(heard, lead=True)

    def samples_at(self, seconds):
        """How many of the samples queued since the seek play before the
        time `seconds` (as the time of what is made, not as heard: no
        onset lead), whole samples rounded up."""
        wanted = seconds - self.base
        for at, played, speed in reversed(self.changes):
            if played <= wanted:
                break
        else:
            at, played, speed = self.changes[0]
        return at + max(0, int(math.ceil((wanted - played) * self.rate / speed - 1e-6)))

    def cut(self, samples, pass_seconds):
        """The samples queued from `samples` on were taken back: the pass
        goes on from `pass_seconds` of the stream, the time going on."""
        self.produced = min(self.produced, samples)
        self.changes = [change for change in self.changes if change[0] <= samples] \
            or self.changes[:1]
        self.pass_samples = int(round(pass_seconds * self.rate))
        self.rebase = False

    # --- the passes of a loop ------------------------------------------------

    def room(self, loop_length):
        """The stream's samples left in this pass of `loop_length` seconds."""
        return int(round(loop_length * self.rate)) - self.pass_samples

    def decoded(self, samples):
        """`samples` of the stream were decoded into this pass."""
        self.pass_samples += samples

    def next_pass(self, start=0.0):
        """A pass ended: the next starts `start` seconds into the stream,
        the time going on."""
        self.pass_samples = int(round(start * self.rate))
        self.rebase = False
