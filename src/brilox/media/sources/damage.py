"""The stretches of a file skipped as damaged, said once each.

The picture and the sound each tell what they skipped, where (seconds into
the file) and how much; what they tell of one place is one stretch.  A
stretch is said once play has gone QUIET seconds past it undamaged, or the
stream ended, as one note: "skipped 2.2 s of damaged data at 0:15".  A
stretch already said (the other stream's, or the same place again on the
next pass of a loop, or after a seek back) is not said again."""

import collections
import threading

# Seconds of play undamaged that end a stretch: damage closer together than
# this is one stretch.
QUIET = 1.0
# How many stretches said are remembered, not to say them again.
REMEMBERED = 64


def clock(seconds):
    """`seconds` as m:ss, or h:mm:ss from an hour on."""
    whole = max(0, int(seconds))
    hours, minutes, seconds = whole // 3600, whole // 60 % 60, whole % 60
    if hours:
        return "%d:%02d:%02d" % (hours, minutes, seconds)
    return "%d:%02d" % (minutes, seconds)


class Damage:
    """What a file's streams skipped, from the decoding thread; `notes`, the
    lines to say, are taken from the game's."""

    def __init__(self):
        self.notes = collections.deque()
        # The stretch being skipped: [from, to, {stream: seconds skipped}].
        self._open = None
        self._said = collections.deque(maxlen=REMEMBERED)
        self._lock = threading.Lock()

    def skipped(self, stream, at, seconds):
        """`stream` ("picture", "sound") skipped `seconds` from `at` on."""
        if seconds <= 0:
            return
        end = at + seconds
        with self._lock:
            if any(start - QUIET <= end and at <= stop + QUIET for start, stop in self._said):
                return
            stretch = self._open
            if stretch is not None and at > stretch[1] + QUIET:
                self._say()
                stretch = None
            if stretch is None:
                self._open = [at, end, {stream: seconds}]
            else:
                stretch[0], stretch[1] = min(stretch[0], at), max(stretch[1], end)
                stretch[2][stream] = stretch[2].get(stream, 0.0) + seconds

    def adopt(self, other):
        """Takes on what `other` was told (before the two were one)."""
        with self._lock:
            self.notes.extend(other.notes)
            self._said.extend(other._said)
            if other._open is not None:
                self.skipped(*other._open)

    def passed(self, seconds):
        """Play reached `seconds` into the file undamaged."""
        stretch = self._open
        if stretch is not None and seconds > stretch[1] + QUIET:
            with self._lock:
                self._say()

    def end(self):
        """A stream ended: the stretch skipped is said now."""
        if self._open is not None:
            with self._lock:
                self._say()

    def _say(self):
        stretch, self._open = self._open, None
        if stretch is None:
            return
        self._said.append((stretch[0], stretch[1]))
        # Where both streams skipped, the longer gap is what was lost; a
        # frame or two, in hundredths.
        lost = max(stretch[2].values())
        self.notes.append("skipped %s s of damaged data at %s"
                          % ("%.1f" % lost if lost >= 0.1 else "%.2f" % lost, clock(stretch[0])))
