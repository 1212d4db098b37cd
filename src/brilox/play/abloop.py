"""The player's A-B loop: the first press of its key sets A at the frame
up, the second B, and the video then loops the span from A's frame to the
end of B's (Video.span); the third press clears it.  This keeps the marks
and says them."""

from brilox.play.status import clock


class ABLoop:
    """A and B, each (the source's index of the frame, its seconds into its
    pass), or None while not set."""

    def __init__(self):
        self.a = self.b = None

    def press(self, index, seconds):
        """The key was pressed with frame `index` up, `seconds` into its
        pass: sets A, then B (the earlier of the two times is A: in a file
        that loops, B may be pressed in a later pass), then clears both.
        What the player says of it."""
        if self.a is None:
            self.a = (index, seconds)
            return "A-B loop: A set at %s" % clock(seconds)
        if self.b is None:
            self.a, self.b = sorted([self.a, (index, seconds)], key=lambda mark: mark[1])
            return "A-B loop: %s - %s" % (clock(self.a[1]), clock(self.b[1]))
        self.a = self.b = None
        return "A-B loop cleared"

    def words(self):
        """What the status line shows of it, or None while nothing is set."""
        if self.a is None:
            return None
        if self.b is None:
            return "A-B loop from %s" % clock(self.a[1])
        return "A-B loop %s - %s" % (clock(self.a[1]), clock(self.b[1]))

    def span(self):
        """The span the video loops, (A's seconds, B's), or None."""
        return None if self.b is None else (self.a[1], self.b[1])
