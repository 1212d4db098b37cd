"""The picture of a file that is sound alone: its waveform around the time
being heard, in yuv420p planes for the overlay.

Each channel has a band of its own, one above the other, the first at the
top, with a blue line between bands.  Across the band each column is one
sample, at the stream's own rate, drawn white from the band's middle to its
value: full scale reaches 0.45 of the band's height from the middle, and a
positive sample goes below the middle, as FFmpeg's player draws its own.
Silence is a flat line along the middle.

The samples shown are those around the time asked for.  To keep a steady
tone still from one picture to the next, the middle column is put on the
steepest fall through zero of the first channel within a little of that
time, as an oscilloscope's trigger does; where there is none, on the time
itself.

The sound is decoded from an opening of the file of its own, so that the
picture needs nothing from the sound device and follows any time asked for
(seeks, and frames shown headless without sound).  Drawing takes numpy;
without it the picture is black."""

import warnings

from brilox.media.notes import PictureWarning
from brilox.media.sources.reader import Reader

SIZE = (640, 480)
# Pictures a second: each covers 40 ms of sound.
FPS = 25
# Levels of black, of the trace (white), and of the blue line between bands.
BLACK = (16, 128, 128)
WHITE = 235
BLUE = (41, 240, 110)
# The share of a band's height that full scale reaches from its middle.
REACH = 0.45
# Samples either side of the time asked for where the trigger may fall.
TRIGGER_SPAN = 512
# The fall through zero is measured over this many samples each side.
SLOPE = 4
# Sound kept decoded behind the time asked for, and how far ahead of what
# was decoded a time is sought rather than decoded to, in seconds.
KEEP, SEEK_AHEAD = 0.5, 2.0


class Waveform:
    """The waveform pictures of one audio stream of a file."""

    def __init__(self, av, path, stream_index):
        self.av, self.path = av, path
        self.reader = None
        self.stream_index = None
        try:
            import numpy
        except ImportError:
            numpy = None
            warnings.warn("drawing the waveform needs numpy (pip install numpy): the picture "
                          "stays black", PictureWarning, stacklevel=2)
        self.np = numpy
        # The chroma planes of the last count of channels drawn: the same
        # for every picture of as many channels.
        self.chroma = (None, b"", b"")
        w, h = SIZE
        self.black = (bytes([BLACK[0]]) * (w * h), bytes([BLACK[1]]) * (w * h // 4),
                      bytes([BLACK[2]]) * (w * h // 4))
        if numpy is not None:
            self.show_stream(stream_index)

    def show_stream(self, stream_index):
        """Shows the stream with this index from now on."""
        self.close()
        self.reader = Reader(self.av, self.path, self.path, refuse=False, pictures=False)
        stream = self.reader.choose("audio", stream_index, "audio_stream")
        self.stream, self.stream_index = stream, stream_index
        context = stream.codec_context
        self.rate = context.sample_rate
        # PyAV tells the channels by the layout, or (before 14) as a count.
        layout = getattr(context, "layout", None)
        self.channels = max(1, len(layout.channels) if layout is not None
                            else getattr(context, "channels", 1))
        start = stream.start_time * stream.time_base if stream.start_time is not None else 0
        # The stream's first sample, and the sample last sought.
        self.floor = self.sought = round(start * self.rate)
        self.reader.read(stream)
        self._restart()

    def _restart(self):
        """Nothing held: decoding starts again from where the reader stands."""
        self.samples = self.np.zeros((self.channels, 0), self.np.float32)
        # The stream's sample number of the first sample held (None before
        # any), and whether the stream has ended after the last.
        self.first, self.ended = None, False

    def _seek(self, position):
        """Decodes on from the key point at or before sample `position`; a
        stream that cannot seek is read again from its start."""
        self.reader.seek(max(0.0, position / self.rate - 0.1), reopen=True)
        self.sought = position
        self._restart()

    def _decoded(self, frame):
        """A decoded frame's samples as floats, full scale 1, channels by rows."""
        np = self.np
        data = frame.to_ndarray()
        channels = data.shape[0] if frame.format.is_planar else self.channels
        data = data.reshape(channels, -1) if frame.format.is_planar else \
            data.reshape(-1, channels).T
        data = data[:, :frame.samples]
        if data.dtype.kind in "iu":
            half = float(1 << (8 * data.dtype.itemsize - 1))
            data = (data.astype(np.float32) - (half if data.dtype.kind == "u" else 0.0)) / half
        data = data.astype(np.float32, copy=False)
        if data.shape[0] != self.channels:
            # A stream that changes its channels part way: the new count
            # from here on.
            self.channels = data.shape[0]
            self.samples = np.zeros((self.channels, 0), np.float32)
            self.first = None
        return data

    def _reach(self, end):
        """Decodes until the samples held reach sample `end`, or the stream
        ends (a decoding error ends it too)."""
        np = self.np
        while not self.ended and (self.first is None
                                  or self.first + self.samples.shape[1] < end):
            try:
                frame = self.reader.next_frame()
            except self.av.FFmpegError:
                frame = None
            if frame is None:
                self.ended = True
                break
            data = self._decoded(frame)
            at = round(frame.time * self.rate) if frame.time is not None else None
            held_end = None if self.first is None else self.first + self.samples.shape[1]
            if held_end is None or (at is not None and abs(at - held_end) > data.shape[1]):
                # The first samples after a seek, or after a gap: the held
                # samples start again here.
                self.samples, self.first = data, at if at is not None else (held_end or 0)
            else:
                self.samples = np.concatenate((self.samples, data), axis=1)

    def _window(self, start, length):
        """Samples start to start + length of each channel, silence where
        the stream has none."""
        np = self.np
        if self.first is not None:
            # Sought for where what is held starts after it (unless the last
            # seek was there and landed later), or ends far before it.
            held_end = self.first + self.samples.shape[1]
            wanted = max(start, self.floor)
            if (wanted < self.first and wanted < self.sought) or (
                    not self.ended and start > held_end + SEEK_AHEAD * self.rate):
                self._seek(wanted)
        self._reach(start + length)
        if self.first is None:
            return np.zeros((self.channels, length), np.float32)
        # Sound long behind the time asked for goes.
        drop = start - self.first - int(KEEP * self.rate)
        if drop > 0:
            self.samples, self.first = self.samples[:, drop:], self.first + drop
            # What went can be had again only by a seek.
            self.sought = float("inf")
        out = np.zeros((self.channels, length), np.float32)
        lo, hi = max(start, self.first), min(start + length, self.first + self.samples.shape[1])
        if hi > lo:
            out[:, lo - start:hi - start] = self.samples[:, lo - self.first:hi - self.first]
        return out

    def planes(self, seconds):
        """The (Y, U, V) planes of the waveform around `seconds`, the
        stream's own time."""
        if self.np is None:
            return self.black
        np = self.np
        width, height = SIZE
        middle = round(seconds * self.rate)
        span = TRIGGER_SPAN + SLOPE + 1
        around = self._window(middle - width // 2 - span, width + 2 * span)
        # The trigger: where the first channel falls from above zero to zero
        # or below, the steepest such fall within TRIGGER_SPAN of the middle.
        lead = around[0]
        at = np.arange(span - TRIGGER_SPAN, span + TRIGGER_SPAN + 1) + width // 2
        falls = (lead[at] > 0) & (lead[at + 1] <= 0)
        shift = 0
        if falls.any():
            steepness = np.where(falls, lead[at - SLOPE] - lead[at + 1 + SLOPE], -np.inf)
            shift = int(at[np.argmax(steepness)]) - (span + width // 2)
        shown = around[:, span + shift:span + shift + width]
        return self._draw(np.clip(shown, -1.0, 1.0))

    def _draw(self, shown):
        np = self.np
        width, height = SIZE
        channels = min(shown.shape[0], height // 4)
        band = height // channels
        y = np.full((height, width), BLACK[0], np.uint8)
        rows = np.arange(band, dtype=np.int16)[:, None]
        reach = int(band * REACH)
        # The blue lines between bands: two rows each, a whole row of
        # chroma, which keeps their colour.
        lines = [channel * band & ~1 for channel in range(1, channels)]
        for channel in range(channels):
            top = channel * band
            centre = band // 2
            # Positive samples go down, from the middle row to their own.
            end = centre + np.rint(shown[channel] * reach).astype(np.int16)
            lo = np.minimum(centre, end)
            # Rows lo to lo + length: those whose distance past lo, taken
            # unsigned (rows above lo wrap round to large), is at most length.
            length = (np.maximum(centre, end) - lo).astype(np.uint16)
            lit = (rows - lo).view(np.uint16) <= length
            np.copyto(y[top:top + band], WHITE, where=lit)
        for line in lines:
            y[line:line + 2] = BLUE[0]
        if self.chroma[0] != channels:
            u = np.full((height // 2, width // 2), BLACK[1], np.uint8)
            v = np.full((height // 2, width // 2), BLACK[2], np.uint8)
            for line in lines:
                u[line // 2], v[line // 2] = BLUE[1], BLUE[2]
            self.chroma = (channels, u.tobytes(), v.tobytes())
        return (y.tobytes(),) + self.chroma[1:]

    def close(self):
        if self.reader is not None:
            self.reader.close()
            self.reader = None
