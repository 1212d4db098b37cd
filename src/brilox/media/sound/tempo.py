"""The sound's speed, its pitch kept: FFmpeg's atempo filters between the
samples decoded and the device's format.

A change of speed drains the filters and starts new ones: told a new tempo
instead, FFmpeg's atempo drops or plays again some of what it holds, which
the clock would not know of."""

from fractions import Fraction

# The speeds sound plays at, pitch kept; and the tempo one atempo filter
# reaches on every FFmpeg (older ones go no further): beyond it, two are
# chained.
SLOWEST, FASTEST = 0.25, 4.0
TEMPO_RANGE = (0.5, 2.0)
# Samples of each frame pushed into the tempo filters.
TEMPO_CHUNK = 1024
# FFmpeg's channel layout of each count of channels SDL 1.2 plays, its
# channels in the order WAVE files and SDL 2 keep them.
LAYOUTS = {1: "mono", 2: "stereo", 4: "quad", 6: "5.1"}


def tempo_factors(speed):
    """The tempos of the atempo filters chained for `speed`: one where it
    reaches, else two alike."""
    low, high = TEMPO_RANGE
    if low <= speed <= high:
        return [speed]
    return [speed ** 0.5] * 2


class Tempo:
    """The filters for `speed` over 16-bit samples of `channels` (a count
    in LAYOUTS) at `rate`, taking the stream from `seconds` (on the clock's
    map) on."""

    def __init__(self, av, speed, rate, channels, seconds):
        self.av, self.rate = av, rate
        self.layout = LAYOUTS[channels]
        self.frame_bytes = 2 * channels
        # Samples pushed in so far, and the stream's seconds they start at.
        self.pushed, self.seconds = 0, seconds
        graph = self.graph = av.filter.Graph()
        self.source = graph.add_abuffer(format="s16", layout=self.layout, sample_rate=rate,
                                        time_base=Fraction(1, rate))
        last = self.source
        for factor in tempo_factors(speed):
            stage = graph.add("atempo", "tempo=%r" % factor)
            last.link_to(stage)
            last = stage
        kept = graph.add("aformat", "sample_fmts=s16:channel_layouts=%s" % self.layout)
        last.link_to(kept)
        self.sink = graph.add("abuffersink")
        kept.link_to(self.sink)
        graph.configure()

    def took(self):
        """The stream's seconds at the end of what was pushed in."""
        return self.seconds + self.pushed / self.rate

    def push(self, data):
        """Pushes samples (None: the end) into the filters; what comes out."""
        if data is None:
            self.source.push(None)
        else:
            step = TEMPO_CHUNK * self.frame_bytes
            for start in range(0, len(data), step):
                part = data[start:start + step]
                frame = self.av.AudioFrame(format="s16", layout=self.layout,
                                           samples=len(part) // self.frame_bytes)
                frame.planes[0].update(part)
                frame.rate, frame.pts = self.rate, self.pushed
                frame.time_base = Fraction(1, self.rate)
                self.pushed += frame.samples
                self.source.push(frame)
        out = []
        while True:
            try:
                frame = self.sink.pull()
            except (EOFError, BlockingIOError, self.av.FFmpegError):
                break
            out.append(bytes(frame.planes[0])[:frame.samples * self.frame_bytes])
        return b"".join(out)

    def drain(self):
        """What the filters still hold, once the samples pushed end."""
        return self.push(None)
