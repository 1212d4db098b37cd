"""What a Video adds to play among other Videos and to string clips
together: its `layer` among the overlays on the display."""


class Sequenced:
    """The part of a Video that places it among others and strings clips
    together; Video derives from it."""

    @property
    def layer(self):
        """Where its picture lies among other Videos' overlays: a higher
        layer is above; at one layer, the Video opened later is above.  When
        a Video puts a frame up, those above it are put up again over it."""
        self._check()
        return self._output.layer

    @layer.setter
    def layer(self, value):
        self._check()
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError("layer must be an int, not %s" % type(value).__name__)
        self._output.layer = value
