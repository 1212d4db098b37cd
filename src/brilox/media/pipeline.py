"""A frame's way from its source to the overlay, in one place: turned
upright, its matrix and levels changed to what SDL shows, padded where SDL
shows odd sizes wrong, and handed over as Overlay.display takes it.

A Pipeline is built once per stream and again only when the stream's
colours or size change.  It runs on the thread that decodes (its native
steps let go of the interpreter lock); the thread that shows frames only
hands the result to the overlay.  What comes out (a Picture) also gives the
frame as SDL shows it, for screenshots and for games that draw video into
their own surfaces."""

import sys
from typing import NamedTuple, Tuple

from brilox.media import colour
from brilox.media.frames import UYVY, YUY2, YV12, overlay_frame, turn_planes, turned_size

# The layout of each overlay format's planes for _colour.transform.
LAYOUTS = {YUY2: colour.LUMA_CHROMA, UYVY: colour.CHROMA_LUMA}
# FFmpeg's pixel format of each overlay format's planes.
PIXEL_FORMATS = {YUY2: "yuyv422", UYVY: "uyvy422", YV12: "yuv420p"}


class Colours(NamedTuple):
    """What a frame's samples mean: its levels ("limited" or "full") and
    its matrix ("bt601", "bt709", ...)."""
    levels: str
    matrix: str


class Picture(NamedTuple):
    """A frame at the end of the pipeline: `frame` for Overlay.display, and
    `planes` (before padding) of a picture of `size` in `overlay_format`,
    whose colours SDL reads as `reads_as`.  `own`: its planes were made for
    it alone by a step of the pipeline (no decoder reads them, nor keeps
    them for stepping back), writable, and `frame` holds them as they are:
    what is drawn over the picture may be drawn into them."""
    frame: tuple
    planes: tuple
    size: Tuple[int, int]
    overlay_format: int
    reads_as: Colours
    own: bool = False


def padded_luma(luma, width, height, pad):
    """Luma for an overlay `pad` (columns, rows) larger than the picture,
    which copies its own width from each of its own rows: rows at least as
    long, and as many.  Luma that already reaches that far goes as it is;
    other luma is copied into a new buffer (the extra column and row are
    never shown).  Each frame gets its own: frames wait in a queue."""
    source = memoryview(luma).cast("B")
    stride = len(source) // height
    wide, high = width + pad[0], height + pad[1]
    if stride >= wide and len(source) >= stride * (high - 1) + wide:
        return luma
    buffer = bytearray(wide * high)
    if stride == wide:
        buffer[:len(source)] = source
        return buffer
    target = memoryview(buffer)
    for row in range(height):
        at = row * wide
        target[at:at + width] = source[row * stride:row * stride + width]
    return buffer


class Pipeline:
    """The steps of one stream's frames: decode (the source's planes, of
    `stored` size), turn (`turn`: quarter turns clockwise, mirrored first),
    matrix and levels (by `colours` and what `probe` found of SDL),
    subtitles (`subtitles`: a function that draws those of a frame's time
    into its planes), pad (`pad` columns and rows more) and hand over."""

    def __init__(self, overlay_format, stored, turn, colours, probe, pad=(0, 0),
                 subtitles=None, deep=None):
        self.overlay_format, self.stored, self.turn = overlay_format, stored, turn
        self.colours, self.pad, self.subtitles, self.deep = colours, pad, subtitles, deep
        self.size = turned_size(stored, turn)
        plan = self.plan = colour.plan(colours.levels, colours.matrix, probe)
        # Planes of 10 or 12 bits (`deep`: (bits, whether 4:2:2), frames.DEEP)
        # go to 8 bits and to the colours SDL shows in one native pass.
        self.narrowing = None
        if deep is not None:
            self.narrowing = plan.coefficients or colour.level_coefficients(colours, plan.levels)
        # The 8-bit planes the pass writes, each (y, u, v) used again once
        # nothing but this list holds it: frames wait in a queue and the one
        # up stays held, so the list grows to as many as are out at once.
        self.narrowed = []
        # How SDL reads the planes that come out: changed to its own matrix
        # and range, or with only their levels changed, or as they are.
        if plan.coefficients is not None:
            self.reads_as = Colours(colour.FULL if probe.full_range else colour.LIMITED,
                                    probe.matrix)
        elif plan.levels == colour.EXPAND:
            self.reads_as = Colours(colour.FULL, colours.matrix)
        elif plan.levels == colour.COMPRESS:
            self.reads_as = Colours(colour.LIMITED, colours.matrix)
        else:
            self.reads_as = colours

    def fits(self, overlay_format, stored, turn, colours, deep=None):
        return (overlay_format, stored, turn, colours, deep) == (
            self.overlay_format, self.stored, self.turn, self.colours, self.deep)

    def free_planes(self):
        """8-bit (y, u, v) 4:2:0 planes of the picture's size that nothing
        else holds, made where none is free."""
        for planes in self.narrowed:
            # Held by the list's tuple, the loop and getrefcount's argument.
            if all(sys.getrefcount(p) == 3 for p in planes):
                return planes
        width, height = self.size
        chroma = ((width + 1) // 2) * ((height + 1) // 2)
        planes = (bytearray(width * height), bytearray(chroma), bytearray(chroma))
        self.narrowed.append(planes)
        return planes

    def run(self, planes, seconds=None):
        """The Picture of a frame's planes; `seconds`: its time, for the
        subtitles."""
        given = planes
        if self.turn != (0, False):
            planes = turn_planes(planes, self.stored, self.turn)
        width, height = self.size
        plan = self.plan
        if self.narrowing is not None:
            planes = colour.narrow(planes, width, height, *self.deep, self.narrowing,
                                   into=self.free_planes())
        elif plan.coefficients is not None:
            planes = colour.transform(planes, LAYOUTS.get(self.overlay_format, colour.PLANAR),
                                      width, height, plan.coefficients)
        elif plan.levels:
            planes = colour.convert_frame(tuple(memoryview(p).cast("B") for p in planes),
                                          self.overlay_format, plan.levels)
        if self.subtitles is not None and seconds is not None:
            planes = self.subtitles(planes, LAYOUTS.get(self.overlay_format, colour.PLANAR),
                                    width, height, self.reads_as, seconds)
        shown = tuple(planes)
        own = not any(self.pad) and all(
            p == b"" if isinstance(p, bytes) else
            isinstance(p, bytearray) and all(p is not q for q in given) for p in shown)
        if any(self.pad):
            planes = (padded_luma(planes[0], width, height, self.pad),) + tuple(planes[1:])
        # The overlay's own height tells it the chroma stride.
        frame = overlay_frame(planes, height + self.pad[1])
        return Picture(frame, shown, self.size, self.overlay_format, self.reads_as, own)


def av_frame(picture):
    """An av.VideoFrame of a Picture's planes (needs PyAV), and the colours
    it is to be read in."""
    planes = [memoryview(p).cast("B") for p in picture.planes]
    return video_frame(planes, PIXEL_FORMATS.get(picture.overlay_format, "yuv420p"),
                                  picture.size)


def rgb(picture, size=None):
    """RGB bytes of a Picture as SDL shows it, scaled to `size` (its own by
    default) by FFmpeg's scaler."""
    width, height = size or picture.size
    return frame_rgb(av_frame(picture), width, height, picture.reads_as.levels,
                                picture.reads_as.matrix)


# FFmpeg's scaler's names of the colour matrices.
SCALER_MATRICES = {"bt601": "ITU601", "bt709": "ITU709", "bt2020": "BT2020", "fcc": "FCC",
                   "smpte240m": "SMPTE240M"}


def rgb_array(picture):
    """A Picture as a numpy array (height, width, 3) of its pixels, in the
    colours SDL shows them."""
    import numpy
    width, height = picture.size
    return numpy.frombuffer(rgb(picture), numpy.uint8).reshape(height, width, 3)


def frame_rgb(frame, width, height, source_range=None, matrix=None):
    """RGB bytes of an av.VideoFrame scaled to width x height by FFmpeg's
    scaler.  `source_range` ("limited" or "full") overrides the range the
    frame states (a Video's range_choice); `matrix` ("bt709", ...) is
    the one it is converted by (the scaler's own choice, BT.601, without)."""
    options = {}
    if matrix in SCALER_MATRICES:
        options["src_colorspace"] = SCALER_MATRICES[matrix]
    if source_range is not None:
        options["src_color_range"] = "JPEG" if source_range == "full" else "MPEG"
    try:
        rgb = frame.reformat(width=width, height=height, format="rgb24", **options)
    except TypeError:
        # PyAV before src_color_range: the frame's own tag then says it.
        if source_range is not None:
            frame.color_range = 2 if source_range == "full" else 1
        rgb = frame.reformat(width=width, height=height, format="rgb24",
                             src_colorspace=options.get("src_colorspace"))
    plane = rgb.planes[0]
    data, stride, row = bytes(plane), plane.line_size, 3 * width
    if stride == row:
        return data[:row * height]
    return b"".join(data[r * stride:r * stride + row] for r in range(height))


def video_frame(planes, pix_fmt, size):
    """An av.VideoFrame of FFmpeg pixel format `pix_fmt` and size (w, h) made
    from raw planes in the format's own order, each h rows (of its own
    height) one after another: a raw source's frame, or a decoder's planes."""
    import av
    import numpy
    w, h = size
    frame = av.VideoFrame(w, h, pix_fmt)
    for data, plane in zip(planes, frame.planes):
        # Any buffer: bytes, or a decoder's plane (rows at its own stride).
        data = numpy.frombuffer(memoryview(data).cast("B"), numpy.uint8)
        rows, stride = plane.height, plane.line_size
        row = len(data) // rows
        width = min(row, stride)
        target = numpy.asarray(memoryview(plane).cast("B"))
        target[:rows * stride].reshape(rows, stride)[:, :width] = \
            data[:rows * row].reshape(rows, row)[:, :width]
    return frame


def pad_of(probe, overlay_format, size) -> Tuple[int, int]:
    """How many (columns, rows) the overlay is made larger than a picture of
    `size`: one of each that is odd, where SDL shows odd sizes wrong."""
    if probe.odd_size_ok or overlay_format != YV12:
        return (0, 0)
    return (size[0] % 2, size[1] % 2)


def overlay_rect(rect, size, pad, screen):
    """(The overlay's rectangle, the rectangles beside the picture that a
    padded overlay's extra column and row cover) for a picture of `size`
    shown at `rect` (x, y, w, h) on a screen of `screen` (w, h).  SDL cuts
    those off at the edges of the screen; elsewhere they are blacked out."""
    x, y, w, h = rect
    (sw, sh), (pw, ph) = size, pad
    if not pw and not ph:
        return tuple(rect), []
    wide = max(w + pw, round(w * (sw + pw) / sw))
    high = max(h + ph, round(h * (sh + ph) / sh))
    right, bottom = min(x + wide, screen[0]), min(y + high, screen[1])
    beside = [r for r in ((x + w, y, right - x - w, bottom - y), (x, y + h, w, bottom - y - h))
              if r[2] > 0 and r[3] > 0]
    return (x, y, wide, high), beside


def fit(width, height, window_width, window_height):
    """The largest rectangle of the video's shape inside the window, centred."""
    if window_width * height <= window_height * width:
        w, h = window_width, max(1, round(window_width * height / width))
    else:
        w, h = max(1, round(window_height * width / height)), window_height
    return ((window_width - w) // 2, (window_height - h) // 2, w, h)

