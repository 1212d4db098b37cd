"""Frames on their way into the overlay: the overlay formats the engine
uses, the sizes it takes, FFmpeg's libraries (loaded only when needed), and
the hand-over of a frame's planes to Overlay.display.

Every source gives its frames as a tuple of planes: (Y, U, V) for the
planar 4:2:0 layout, shown through a YV12 overlay, or one packed plane for
YUY2 and UYVY.  A plane is bytes, or a decoder's plane (any object with the
buffer protocol).  Its rows may be padded: a plane holds its rows one
after another at a fixed stride, the length of the plane divided by its
rows.  Chroma planes have (height + 1) // 2 rows of (width + 1) // 2
samples, rounded up as FFmpeg writes them.
"""

import collections
import math
import struct
from fractions import Fraction

# SDL's overlay format codes.  The overlay writes the frame's second string
# into plane 2 and its third into plane 1, and a YV12 overlay reads U from
# plane 2 and V from plane 1: (Y, U, V) go in as they are.
YV12, YUY2, UYVY = 0x32315659, 0x32595559, 0x59565955

# FFmpeg's pixel formats that an overlay takes as they are.  Every other one
# is converted by FFmpeg's scaler to yuv420p, or to yuvj420p for full-range
# sources, which keeps their range.
STRAIGHT = {"yuv420p": YV12, "yuvj420p": YV12, "yuyv422": YUY2, "uyvy422": UYVY}
# FFmpeg's pixel formats of 10 and 12 bits that a file's frames keep up to
# the pipeline, whose native pass takes them to 8-bit 4:2:0 along with the
# colour change: (bits, whether the chroma is 4:2:2).
DEEP = {"yuv420p10le": (10, False), "yuv422p10le": (10, True), "yuv420p12le": (12, False),
        "yuv422p12le": (12, True)}

MAX_SIDE = 16384

# FFmpeg's code for full-range ("JPEG") video in a frame's colour range.
FULL_RANGE = 2
# FFmpeg's colour-space code of BT.601 video (SMPTE 170M).
SPACE_BT601 = 6


class BadInput(Exception):
    """Input refused before anything is opened.  `argument`: the name of
    the argument that was wrong, where the message names one, and `at`
    where in the message it does."""

    def __init__(self, message, argument=None, at=None):
        super().__init__(message)
        self.argument, self.at = argument, at

    @classmethod
    def naming(cls, argument, before, after):
        """BadInput whose message is `before`, the argument's name, `after`."""
        return cls(before + argument + after, argument, len(before))

    def words(self, names):
        """The message, with the argument named as `names` (a dict from the
        engine's names of arguments) calls it, where it has a name there."""
        text = str(self)
        name = names.get(self.argument)
        if self.at is None or name is None:
            return text
        return text[:self.at] + name + text[self.at + len(self.argument):]


def check_size(width, height):
    if width <= 0 or height <= 0:
        raise BadInput("size %dx%d: width and height must be at least 1" % (width, height))
    if width > MAX_SIDE or height > MAX_SIDE:
        raise BadInput("size %dx%d: at most %d a side" % (width, height, MAX_SIDE))


def load_av(what, argument=None):
    """FFmpeg's libraries through PyAV, or BadInput saying how to get them
    (`what` needs them; it begins with the name of `argument` where an
    argument asked for them)."""
    try:
        import av
    except ImportError:
        rest = ": playing this needs FFmpeg's libraries (PyAV): pip install 'brilox[video]'"
        if argument is not None:
            raise BadInput.naming(argument, "", what[len(argument):] + rest) from None
        raise BadInput(what + rest) from None
    return av


def overlay_target(pix_fmt, width):
    """(FFmpeg's pixel format that the overlay gets, SDL's overlay format)
    for frames in `pix_fmt`, `width` pixels wide.  Packed frames of an odd
    width are converted too: SDL 1.2 over SDL 2 reads past the end of a
    packed overlay of odd width, so the overlay refuses to show one there."""
    if pix_fmt in STRAIGHT and not (width % 2 and STRAIGHT[pix_fmt] != YV12):
        return pix_fmt, STRAIGHT[pix_fmt]
    return ("yuvj420p" if pix_fmt.startswith("yuvj") else "yuv420p"), YV12


def frame_planes(frame, pix_fmt, width, height):
    """The planes of a decoded frame for the overlay, which takes frames in
    `pix_fmt` at width x height: as they are when the frame is so already,
    else as FFmpeg's scaler converts them.  The planes keep the frame alive."""
    if frame.format.name != pix_fmt or frame.width != width or frame.height != height:
        frame = frame.reformat(width=width, height=height, format=pix_fmt)
    planes = frame.planes
    return (planes[0],) if STRAIGHT.get(pix_fmt, YV12) != YV12 else tuple(planes[:3])


def _view(plane, length=None):
    """The first `length` bytes of a plane (all of them by default), without
    a copy: bytes are handed on as they are when whole, anything else as a
    view of the plane's own memory, which keeps the plane alive."""
    if type(plane) is bytes and (length is None or length == len(plane)):
        return plane
    view = memoryview(plane).cast("B")
    return view if length is None else view[:length]


def overlay_frame(planes, height):
    """The argument of Overlay.display for a frame's planes.

    Overlay.display reads h rows of luma at the stride len(y) // h, and
    h // 2 rows of chroma at the stride 2 * len(c) // h, clipping each row to
    its plane.  A chroma plane of an odd height h has (h + 1) // 2 rows; its
    first ceil(stride * h / 2) bytes are handed over, the length from which
    the overlay works out the plane's own stride.

    Overlay.display takes any buffer, so a decoder's planes go in as views
    of its own memory: the upload is the only copy between the decoder and
    the overlay."""
    if len(planes) == 1:
        return (_view(planes[0]), b"", b"")
    y, u, v = planes
    chroma_rows = (height + 1) // 2

    def chroma(plane):
        stride = len(memoryview(plane).cast("B")) // chroma_rows
        return _view(plane, (stride * height + 1) // 2)

    return (_view(y), chroma(u), chroma(v))


def display_size(size, sample_aspect):
    """The size a picture of `size` (w, h) is shown at, by its sample
    aspect ratio: its own where the samples are square (or the ratio is not
    known), else its height, and the width that gives the display aspect,
    rounded to an even number as FFmpeg's player does."""
    width, height = size
    if not sample_aspect or sample_aspect <= 0 or sample_aspect == 1:
        return width, height
    aspect = Fraction(sample_aspect) * Fraction(width, height)
    return max(1, int(height * aspect + Fraction(1, 2)) & ~1), height


def parse_aspect(text):
    """A ratio "W:H" (or "W/H", or one number) of two positive numbers, as a
    Fraction; ValueError otherwise."""
    parts = text.replace("/", ":").split(":")
    if len(parts) > 2:
        raise ValueError(text)
    numbers = [Fraction(p.strip()) for p in parts]
    if any(n <= 0 for n in numbers):
        raise ValueError(text)
    return numbers[0] / (numbers[1] if len(numbers) == 2 else 1)


# --- turns ------------------------------------------------------------------

# (quarter turns clockwise, mirrored first) by the signs of a display
# matrix's 2 x 2 part (a, b, c, d), which moves a stored pixel (x, y) to
# (a x + c y, b x + d y) on the screen, y pointing down.
def _turns():
    found = {}
    for mirror in (False, True):
        a, b, c, d = (-1 if mirror else 1), 0, 0, 1
        for quarter in range(4):
            found[(a, b, c, d)] = (quarter, mirror)
            # A clockwise quarter turn moves (x, y) to (-y, x).
            a, b, c, d = -b, a, -d, c
    return found


TURNS = _turns()


def turn_of(matrix):
    """(quarter turns clockwise, mirrored) that show a picture upright by
    FFmpeg's display matrix (nine 32-bit integers, or their bytes); None for
    a matrix that is no quarter turn (a turn by another angle, a skew)."""
    if isinstance(matrix, (bytes, bytearray, memoryview)):
        matrix = struct.unpack("<9i", bytes(matrix)[:36])
    a, b, c, d = matrix[0], matrix[1], matrix[3], matrix[4]

    def sign(v):
        return (v > 0) - (v < 0)

    if (a == 0) == (b == 0) or (c == 0) == (d == 0):
        return None
    return TURNS.get((sign(a), sign(b), sign(c), sign(d)))


def rotation_of(matrix):
    """The degrees, anticlockwise, that a display matrix (its bytes) turns a
    picture by, as FFmpeg reckons them."""
    a, b = struct.unpack("<2i", bytes(matrix)[:8])
    return -math.degrees(math.atan2(b, a)) % 360


def turned_size(size, turn):
    """The size of a picture of `size` once turned by `turn`."""
    return (size[1], size[0]) if turn[0] % 2 else size


def turn_planes(planes, size, turn):
    """A yuv420p frame's planes turned by `turn` (quarter turns clockwise,
    mirrored first), as new bytes."""
    from brilox.media import _colour
    w, h = size
    cw, ch = (w + 1) // 2, (h + 1) // 2
    return tuple(_colour.turn(plane, pw, ph, turn[0], turn[1])
                 for plane, (pw, ph) in zip(planes, ((w, h), (cw, ch), (cw, ch))))


# What a stream keeps of its last frames for stepping back, and what a file
# that can seek back to any frame keeps of them to step back without a seek.
STREAM_KEPT_BYTES = 64 << 20
FILE_KEPT_BYTES = 16 << 20


def history_for(frame_bytes, budget=STREAM_KEPT_BYTES):
    """An empty record of the last frames kept for stepping back: up to 32
    of them, and `budget` bytes of frames of `frame_bytes`, but at least 2."""
    return collections.deque(maxlen=max(2, min(32, budget // frame_bytes)))


class Frames:
    """What every source of frames has: frames numbered from 0, each
    lasting `period` seconds unless the source says otherwise, `count` of
    them and `length` seconds in all where that is known.  Frame numbers go
    on counting through a looping file; `position` is a number within its
    pass.  `kept`, for a stream, is how many of the last frames are kept for
    stepping back (None where any frame can be had again)."""

    count = None
    length = None
    kept = None
    period = 1.0
    # The size frames are stored at where the pipeline turns them upright
    # (None: `size`), and the turn: (quarter turns clockwise, mirrored).
    stored = None
    turn = (0, False)
    start = None
    # FFmpeg's colour-space code of the frame got last (None: not said),
    # and the shape of its samples, width over height.
    space = None
    sample_aspect = Fraction(1)
    # (number, ...) of each kept frame, oldest first, where `kept` is set.
    history = ()
    # How many frames more than `kept` a stream keeps: those decoded ahead
    # of the frame shown.
    spare = 0
    # How many frames after the one asked for a stream reads to tell it.
    reads_ahead = 0
    # Whether its frames carry alpha.
    has_alpha = False
    # The file's chapters: (start, end, title), in seconds from its first frame.
    chapters = ()

    def position(self, index):
        return index

    def duration(self, index):
        return self.period

    def time_of(self, index):
        """Seconds from the start of its pass to frame `index`."""
        return self.position(index) * self.period

    def index_at(self, seconds, index):
        """The frame shown `seconds` into the pass that frame `index` is
        in, within the frames there are."""
        base = index - self.position(index)
        local = max(0, int(seconds / self.period + 1e-6))
        if self.count:
            local = min(local, self.count - 1)
        return base + local

    def oldest_kept(self):
        """The first of the frames kept for stepping back, or None."""
        return self.history[0][0] if self.history else None

    def last(self, index):
        """The last frame of the pass that frame `index` is in, or None
        where there is no end."""
        return index - self.position(index) + self.count - 1 if self.count else None
