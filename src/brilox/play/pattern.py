"""The test pattern: colour bars over a black band that holds the frame
number and a block moving sideways.  Endless."""

from brilox.media.frames import SPACE_BT601, YUY2, YV12, BadInput, Frames, check_size
from brilox.media.sources.raw import BUILT_IN

# Digits 0-9 on a grid of 3 x 5 cells, row by row.
DIGITS = ["111101101101111", "010110010010111", "111001111100111", "111001111001111",
          "101101111001001", "111100111001111", "111100111101111", "111001001001001",
          "111101111101111", "111101111001111"]
# Y, U, V of the bars: white, yellow, cyan, green, magenta, red, blue, black.
BARS = [(235, 128, 128), (210, 16, 146), (170, 166, 16), (145, 54, 34),
        (106, 202, 222), (81, 90, 240), (41, 240, 110), (16, 128, 128)]
BLACK, WHITE = 16, 235


class PatternFrames(Frames):
    """The test pattern: colour bars over a black band that holds the frame
    number and a block moving sideways.  Endless."""

    count = None
    truncated = None
    full_range = False
    # The bars' levels are BT.601's, whatever the size.
    space = SPACE_BT601

    def __init__(self, fmt, width, height, fps):
        if BUILT_IN.get(fmt, (None, None))[0] not in ("yuv420p", "yuyv422", "uyvy422"):
            raise BadInput("--format %s: the test pattern comes in i420, yv12, yuy2 or uyvy"
                           % fmt)
        check_size(width, height)
        self.fmt, self.size, self.period = fmt, (width, height), 1.0 / fps
        self.name = "test pattern"
        # No packed overlay of an odd width (overlay_target): the pattern is
        # drawn planar then.
        self.overlay_format = BUILT_IN[fmt][1] if width % 2 == 0 else YV12
        planar = self.overlay_format == YV12
        w = width
        self.width, self.height = w, height
        self.bars_height = (height * 2 // 3) & ~1
        band = height - self.bars_height
        self.scale = max(1, min(band // 7, w // 40))
        bar_of = [x * len(BARS) // w for x in range(w)]
        self.bars_luma = bytes(BARS[b][0] for b in bar_of) * self.bars_height
        # Chroma rows, half width rounded up: planar formats have one for
        # every two rows (rounded up), packed ones one for every row.
        rows = (height + 1) // 2 if planar else height
        bars_rows = self.bars_height // 2 if planar else self.bars_height
        neutral = bytes([128]) * ((w + 1) // 2)
        self.chroma = tuple(bytes(BARS[b][c] for b in bar_of[0::2]) * bars_rows
                            + neutral * (rows - bars_rows) for c in (1, 2))

    def problem(self):
        return None

    def close(self):
        pass

    def luma(self, index):
        """The luma plane of frame `index`.  The band's rows come in runs of
        identical rows, each made once and repeated."""
        w, s = self.width, self.scale
        band = self.height - self.bars_height
        on, off = bytes([WHITE]) * s, bytes([BLACK]) * s
        text = "%05d" % index
        side = 5 * s
        start = s + 4 * s * 7
        span = w - start - side

        def row(r):
            line = bytearray([BLACK]) * w
            if r is not None:
                cells = [on if DIGITS[int(c)][3 * r + k] == "1" else off
                         for c in text for k in range(3)]
                digits = b"".join(b"".join(cells[i:i + 3]) + off
                                  for i in range(0, len(cells), 3))[:max(0, w - s)]
                line[s:s + len(digits)] = digits
                if span > 0:
                    x = start + (4 * index) % span
                    line[x:x + side] = bytes([WHITE]) * side
            return bytes(line)

        # Black above the digits and block, five runs of s rows through
        # them, and black below.
        runs = [(s, None)] + [(s, r) for r in range(5)] + [(band - 6 * s, None)]
        rows, lines = 0, [self.bars_luma]
        for count, r in runs:
            count = max(0, min(count, band - rows))
            lines.append(row(r) * count)
            rows += count
        return b"".join(lines)

    def get(self, index):
        if index < 0:
            return None
        luma = self.luma(index)
        if self.overlay_format == YV12:
            return (luma,) + self.chroma
        packed = bytearray(2 * len(luma))
        u, v = self.chroma
        if self.overlay_format == YUY2:
            packed[0::2], packed[1::4], packed[3::4] = luma, u, v
        else:
            packed[1::2], packed[0::4], packed[2::4] = luma, u, v
        return (bytes(packed),)


