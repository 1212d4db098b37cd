"""Where a Video's frames go when the game draws them itself
(Video(output="surface")): into a brilox.surface.Surface that the game
blits, draws over and flips.  Nothing reaches the screen before its flip.

The decoding thread paints each frame into a Surface of its own, taken
from a pool: RGB (alpha 255) or, where the clip has alpha, RGBA, at the
video's size or the size asked, converted by FFmpeg's scaler with the
frame's own matrix and range.  update() only makes the due frame's Surface
`Video.surface`; the one it replaces goes back to the pool.  So the thread
never writes into the Surface the game may be blitting."""

import collections
import warnings
import weakref
from typing import NamedTuple, Tuple

from brilox.media import colour, pipeline
from brilox.media.frames import BadInput, check_size, display_size
from brilox.media.notes import PictureWarning
from brilox.media.output import Output

OUTPUTS = ("overlay", "surface")
ALPHA_DROPPED = "the clip's alpha channel is dropped: an overlay has none; use output=\"surface\""
# Surfaces kept for the frames to come.  One goes back as each goes up, and
# one is taken as each is painted: a few cover the decoding thread's bursts.
POOL = 4


def check_output(output, size):
    """`output` and the surface's `size` (w, h) as ints or None, or the error
    naming what is wrong."""
    if output not in OUTPUTS:
        raise ValueError('output must be "overlay" or "surface", not %r' % (output,))
    if size is None:
        return output, None
    if output != "surface":
        raise ValueError('surface_size needs output="surface"')
    width, height = (int(v) for v in size)
    try:
        check_size(width, height)
    except BadInput as e:
        raise ValueError("surface_%s" % e) from None
    return output, (width, height)


def output_of(source, output, size):
    """The output of a source's frames: an overlay, which says once that
    it drops the clip's alpha, or a surface."""
    if output == "surface":
        return SurfaceOutput(source, size)
    if source.has_alpha:
        warnings.warn(ALPHA_DROPPED, PictureWarning, stacklevel=4)
    return Output(source)


class Painted(NamedTuple):
    """A frame painted into `frame`, a Surface of `size`, with or without `alpha`."""
    frame: object
    size: Tuple[int, int]
    alpha: bool


class Canvas:
    """The decoding thread's side: paints frames into Surfaces of `size`,
    with `alpha` or not, from a pool that the game's side fills again."""

    def __init__(self, size, alpha):
        self.size, self.alpha = size, alpha
        # Surfaces neither up nor waiting to go up (deque: either thread
        # appends or pops without a lock).
        self.free = collections.deque()
        # The Surfaces it made: only those come back to it (not another
        # clip's, of another size or alpha).
        self.made = weakref.WeakSet()

    def give_back(self, surface):
        if len(self.free) < POOL and surface in self.made:
            self.free.append(surface)

    def take(self):
        try:
            return self.free.pop()
        except IndexError:
            from brilox.surface import Surface
            surface = Surface(self.size, alpha=self.alpha)
            self.made.add(surface)
            return surface

    def paint(self, planes, source, colours, subtitles=None, seconds=None):
        """A Painted of a frame: `planes` as the source keeps them (a whole
        av.VideoFrame, or planes in the overlay's format), whose colours are
        `colours`; `subtitles` draws those of `seconds` into planar 4:2:0."""
        import numpy
        frame, turn = planes[0], source.turn
        stored = source.stored or source.size
        if not hasattr(frame, "reformat"):
            frame = pipeline.video_frame(planes, pipeline.PIXEL_FORMATS.get(
                source.overlay_format, "yuv420p"), stored)
        if subtitles is not None and frame.format.name in ("yuv420p", "yuvj420p"):
            frame, turn = self._subtitled(frame, turn, stored, colours, subtitles, seconds)
        width, height = self.size if turn[0] % 2 == 0 else self.size[::-1]
        options = {"src_colorspace": pipeline.SCALER_MATRICES.get(colours.matrix)}
        if not frame.format.is_rgb:
            options["src_color_range"] = "JPEG" if colours.levels == colour.FULL else "MPEG"
        rgba = frame.reformat(width=width, height=height, format="rgba", **options)
        plane = rgba.planes[0]
        picture = numpy.frombuffer(plane, numpy.uint8)[:plane.line_size * height].reshape(
            height, plane.line_size)[:, :4 * width].reshape(height, width, 4)
        if turn[1]:
            picture = picture[:, ::-1]
        picture = numpy.rot90(picture, -turn[0])
        # A frame without alpha comes out of the scaler with alpha 255.
        surface = self.take()
        numpy.copyto(numpy.asarray(surface), picture)
        return Painted(surface, self.size, self.alpha)

    @staticmethod
    def _subtitled(frame, turn, stored, colours, subtitles, seconds):
        """A yuv420p frame turned upright, with its subtitles drawn: a new
        frame where any are drawn (or it was turned)."""
        from brilox.media.frames import turn_planes, turned_size
        planes = tuple(frame.planes[:3])
        size = stored
        if turn != (0, False):
            planes, size = turn_planes(planes, stored, turn), turned_size(stored, turn)
        drawn = subtitles(planes, colour.PLANAR, *size, colours, seconds)
        if drawn is planes and turn == (0, False):
            return frame, turn
        return pipeline.video_frame(drawn, frame.format.name, size), (0, False)


class SurfaceOutput(Output):
    """The game's side: `surface`, the Surface of the frame up (None before
    the first), handed over as Output hands frames to its overlay.  Nothing
    is made on the display, nor drawn there."""

    # Never up on the display, so never put up again over another Video.
    up = on_display = False

    def __init__(self, source, size=None):
        self.asked = size
        super().__init__(source)

    def stream(self, source):
        """Frames of another stream from now on, at its own size unless one was asked."""
        self.shown = self.asked or display_size(source.size, source.sample_aspect)
        self.canvas = Canvas(self.shown, source.has_alpha)
        # Set (to itself) once prepared.
        self.overlay = self.probe = self.surface = self.following = None
        self.pad = (0, 0)

    def ahead(self, source, make_overlay):
        """The Canvas of the frames of `source` that follow those up, for
        switch() to take: the Surface up stays until the first of them
        replaces it."""
        shown = self.asked or display_size(source.size, source.sample_aspect)
        self.following = shown, Canvas(shown, source.has_alpha)
        return shown, {"probe": None, "pad": (0, 0), "canvas": self.following[1]}

    def switch(self):
        """Takes the Canvas ahead() made, as the first frame it painted goes up."""
        following, self.following = self.following, None
        if following is None:
            return None
        self.shown, self.canvas = following
        return self.shown

    def prepare(self, make_overlay):
        self.overlay = self
        return self.shown

    def moved(self):
        return False

    def locate(self, rect=False):
        if rect is not False:
            self.rect = rect
        return self.shown

    def placed(self, rect=False):
        # Its Canvas stays the one shared (or the one ahead() shared).
        return {"shown": self.locate(rect)}

    def frame_of(self, picture):
        return picture.frame

    def show(self, frame=None, timer=None):
        """Makes `frame` (a Surface) the one up; the one it replaces goes
        back to the pool.  The seconds that took by `timer`, where given."""
        begun = timer and timer()
        if frame is not None:
            before, self.surface = self.surface, frame
            if before is not None and before is not frame:
                self.canvas.give_back(before)
        return timer and timer() - begun

    def reshow(self):
        """The Surface up stays as it is: the game blits it again."""

    def rgb(self, picture):
        import numpy
        return numpy.array(numpy.asarray(picture.frame)[..., :3])
