"""Where a Video's frames go up: an overlay on the display the game set up,
placed (fitted, or where the game asked), padded where SDL shows odd sizes
wrong, with the display black beside a padded overlay where the overlay
draws into the display surface; put up again where SDL shows an overlay
only until the next flip.

Several Videos' overlays share the display: each output is in a registry
of the live ones, ordered by `layer` (higher is above) and then by when it
was made.  Where one puts a frame up, it draws over the pictures of those
above it, so each of those is put up again after it, at no upload: the
overlays keep their frames.

Where SDL draws overlays only at the flip and loses those put up before
one put up again (colour.overlays_stack), only the top overlay is shown
as an overlay: the frames of each one below it are painted in RGB on the
decoding thread (as a surface output's are) and written into the display
surface, over which SDL draws the top one at the flip."""

import itertools
import weakref

import brilox.base
import brilox.display as display
from brilox.overlay import Overlay
from brilox.surface import Surface
from brilox.media import _colour, colour, pipeline
from brilox.media.frames import YV12, display_size

# What each overlay format and picture shape showed of SDL's conversion, by
# (overlay format, odd size asked, display size).
_probes = {}
# Whether SDL shows every overlay put up between two flips, by display size.
_stacking = {}
# The live outputs, and the order they were made in (below those made after
# them at the same layer).
_live = weakref.WeakSet()
_made = itertools.count()


def check_rect(rect):
    """`rect` (x, y, w, h) as ints, refused where it is empty or off the
    display; None stays None (fitted to the display)."""
    if rect is None:
        return None
    x, y, w, h = (int(v) for v in rect)
    if w <= 0 or h <= 0:
        raise ValueError("the rectangle %r is empty" % (tuple(rect),))
    if display.get_init():
        try:
            screen = display.get_size()
        except brilox.base.error:
            screen = None
        if screen and (x >= screen[0] or y >= screen[1] or x + w <= 0 or y + h <= 0):
            raise ValueError("the rectangle %r is off the display (%dx%d)"
                             % (((x, y, w, h),) + tuple(screen)))
    return (x, y, w, h)


def check_end_event(end_event):
    """`end_event`, the event type posted at the end, or the error naming it."""
    if end_event is None:
        return
    if isinstance(end_event, bool) or not isinstance(end_event, int):
        raise TypeError("end_event must be an event type (int), not %s"
                        % type(end_event).__name__)
    if not display.USEREVENT <= end_event < display.USEREVENT + 8:
        raise ValueError("end_event must be from USEREVENT (%d) to %d, not %d"
                         % (display.USEREVENT, display.USEREVENT + 7, end_event))


class Converted:
    """An overlay whose frames SDL converts in software into the display
    surface (colour.probe's converts_here): where its place is its own size,
    wholly on the display, each frame is put there by _colour.show_planes,
    the same pixels at a fraction of SDL's cost, and held to be put up again;
    elsewhere the overlay shows it."""

    def __init__(self, overlay, size):
        self.overlay, self.size = overlay, tuple(size)
        self.location = (0, 0) + self.size
        # The frame up where the overlay does not hold it, else None.
        self.frame = None

    def set_location(self, rect):
        self.overlay.set_location(rect)
        self.location = tuple(int(v) for v in rect)

    def display(self, frame=None):
        if frame is None:
            if self.frame is None:
                return self.overlay.display()
            frame = self.frame
        x, y, w, h = self.location
        if (w, h) == self.size and _colour.show_planes(frame, w, h, x, y):
            self.frame = frame
        else:
            self.frame = None
            self.overlay.display(frame)

    def __getattr__(self, name):
        return getattr(self.overlay, name)


class Output:
    """The overlay of a frames source's pictures."""

    # What paints frames on the decoding thread (for an overlay, only while
    # its frames go through the display surface), and the game's Surface up.
    canvas = surface = painted = None
    # Whether its pictures are on the display (a surface output's are the game's).
    on_display = True
    # What belongs to the stream whose frames it shows: made anew for another.
    STREAM = ("overlay_format", "size", "shown", "overlay", "probe", "pad", "beside", "up",
              "canvas", "painted")

    def __init__(self, source):
        self.rect = self.screen = None
        # Where it lies among the others: higher layers above, and at one
        # layer, those made later above.
        self.layer, self.made = 0, next(_made)
        self.stream(source)
        _live.add(self)

    def above(self):
        """The live outputs with a picture up above this one, lowest first."""
        mine = (self.layer, self.made)
        return sorted((o for o in list(_live) if o.overlay is not None and o.up
                       and (o.layer, o.made) > mine), key=lambda o: (o.layer, o.made))

    def cover(self):
        """Puts the pictures above this one up again over it: where it went
        through the display surface, only those that do too (SDL draws the
        overlay above over the display surface at the flip, and each
        update() of its Video puts it up again)."""
        for other in self.above():
            if self.painted is None or other.painted is not None:
                other.again()

    def again(self):
        """Puts the picture up again: the overlay's, or where its frames go
        through the display surface, the last painted."""
        if self.painted is not None:
            x, y = self.where(self.screen)[:2]
            display.get_surface().blit(self.painted, (x, y))
        else:
            self.overlay.display()
            self.black_beside()

    def lower(self):
        """Whether its frames go through the display surface: where SDL
        shows one overlay alone at a flip, and another is above this one."""
        if self.probe is None or self.probe.surface_holds_video:
            return False
        mine = (self.layer, self.made)
        if not any(o.on_display and o.overlay is not None and (o.layer, o.made) > mine
                   for o in list(_live)):
            return False
        screen = display.get_size()
        if screen not in _stacking:
            _stacking[screen] = colour.overlays_stack()
        return not _stacking[screen]

    def stream(self, source):
        """Frames of another stream from now on: the place of the old
        picture goes black (the new one may not cover it all), and the
        overlay is made anew at the next prepare()."""
        if getattr(self, "overlay", None) is not None:
            self.clear(self.where(self.screen))
        # What ahead() made ready for the stream that follows, or None.
        self.following = None
        self.overlay_format, self.size = source.overlay_format, source.size
        # The picture's size as shown: display aspect and rotation applied.
        self.shown = display_size(source.size, source.sample_aspect)
        self.overlay = self.probe = self.canvas = None
        # The Surface last written into the display surface (its frames going
        # through it), or None.
        self.painted = None
        self.pad = (0, 0)
        self.beside = []
        # Whether the overlay holds a frame put up.
        self.up = False

    def where(self, screen):
        """(x, y, w, h) of the picture on a display of size `screen`."""
        if self.rect is not None:
            return self.rect
        return pipeline.fit(*self.shown, *screen)

    def prepare(self, make_overlay):
        """The overlay (by `make_overlay(format, size)`), once the display is
        there: how SDL shows these frames (probed once per format and
        display size), and the padding.  Raises brilox.base.error before
        display.init() or set_mode()."""
        screen = display.get_size()
        width, height = self.size
        odd = bool(width % 2 or height % 2)
        key = (self.overlay_format, odd, screen)
        probe = _probes.get(key)
        if probe is None:
            probe = _probes[key] = colour.probe(self.overlay_format, self.where(screen)[:2],
                                                odd=odd)
        self.probe, self.pad = probe, pipeline.pad_of(probe, self.overlay_format, self.size)
        size = (width + self.pad[0], height + self.pad[1])
        self.overlay = make_overlay(self.overlay_format, size)
        # An overlay of a class of its own keeps its own display().  An odd
        # height's chroma goes in cut to the overlay's reading of it.
        if probe.converts_here and self.overlay_format == YV12 and size[1] % 2 == 0 and \
                type(self.overlay) is Overlay and not self.overlay.get_hardware():
            self.overlay = Converted(self.overlay, size)
        return self.locate()

    def ahead(self, source, make_overlay):
        """Makes ready, while the frames up still show, the overlay of the
        frames of `source` that follow them (probed where its format or
        display is new, then the frame up shown again over the probe's), for
        switch() to put in place when the first of them goes up.  The
        picture's size on the display and the decoding thread's settings,
        as prepare() gives them."""
        kept = {name: getattr(self, name) for name in self.STREAM}
        probes = len(_probes)
        self.overlay = None
        self.stream(source)
        try:
            shown, settings = self.prepare(make_overlay), self.settings
            self.following = {name: getattr(self, name) for name in self.STREAM}
        finally:
            for name, value in kept.items():
                setattr(self, name, value)
        if len(_probes) != probes and self.overlay is not None and self.up:
            self.show()
        return shown, settings

    def switch(self):
        """Puts in place the overlay ahead() made, as the first frame of its
        stream goes up, in the same update(): where the new picture leaves
        part of the old one's place, that goes black.  The picture's size
        on the display, or None where there was nothing to switch to."""
        following, self.following = self.following, None
        if following is None:
            return None
        old = self.where(self.screen) if self.overlay is not None and self.up else None
        for name, value in following.items():
            setattr(self, name, value)
        shown = self.locate()
        if old is not None:
            x, y, w, h = self.where(self.screen)
            if not (x <= old[0] and y <= old[1] and x + w >= old[0] + old[2]
                    and y + h >= old[1] + old[3]):
                self.clear(old)
        return shown

    def moved(self):
        """Whether the picture must be placed again: fitted to a display
        whose size changed, or its frames to go through the display
        surface, or no longer."""
        return (self.rect is None and display.get_size() != self.screen) \
            or self.lower() != (self.canvas is not None)

    def placed(self, rect=False):
        """locate(), and what the decoding thread is told of it: the
        picture's size on the display, and the Canvas that paints its
        frames where they go through the display surface (else None)."""
        return {"shown": self.locate(rect), "canvas": self.canvas}

    def locate(self, rect=False):
        """Places the overlay (at `rect`, where given); the picture's size
        on the display."""
        if rect is not False:
            self.rect = rect
        if self.overlay is None:
            return None
        screen = self.screen = display.get_size()
        where = self.where(screen)
        placed, self.beside = pipeline.overlay_rect(where, self.size, self.pad, screen)
        self.overlay.set_location(placed)
        if not self.lower():
            self.canvas = None
        elif self.canvas is None or self.canvas.size != tuple(where[2:]):
            from brilox.media.surface_output import Canvas
            self.canvas = Canvas(tuple(where[2:]), False)
        return tuple(where[2:])

    def show(self, frame=None, timer=None):
        """Puts `frame` up (or the one up again), black beside it; the
        seconds that took by `timer`, where given."""
        begun = timer and timer()
        if isinstance(frame, Surface):
            if self.painted is not None and self.painted is not frame and self.canvas is not None:
                self.canvas.give_back(self.painted)
            self.painted = frame
            self.again()
        elif frame is None:
            self.again()
        else:
            self.painted = None
            self.overlay.display(frame)
            self.black_beside()
        self.up = True
        took = timer and timer() - begun
        self.cover()
        return took

    @property
    def settings(self):
        """What the decoding thread builds its pipeline for, once prepared."""
        return {"probe": self.probe, "pad": self.pad, "canvas": self.canvas}

    def frame_of(self, picture):
        """What show() takes for `picture`: its frame, but where frames go
        through the display surface and this one was made for the overlay
        before they did, the frame converted here, into a Surface."""
        if self.canvas is None or not isinstance(picture, pipeline.Picture):
            return picture.frame
        import av
        import numpy
        (w, h), surface = self.canvas.size, self.canvas.take()
        rgb = numpy.ascontiguousarray(pipeline.rgb_array(picture))
        numpy.copyto(numpy.asarray(surface), av.VideoFrame.from_ndarray(rgb, format="rgb24")
                     .reformat(width=w, height=h, format="rgba").to_ndarray().reshape(h, w, 4))
        return surface

    def rgb(self, picture):
        """The Picture up as a numpy array (height, width, 3), as SDL shows it."""
        if not isinstance(picture, pipeline.Picture):
            import numpy
            return numpy.array(numpy.asarray(picture.frame)[..., :3])
        return pipeline.rgb_array(picture)

    def end(self, event):
        """Posts `event` (where not None) on the display's queue: play ended."""
        if event is not None:
            display.post_event(event)
        return False

    def reshow(self):
        """Where SDL draws an overlay only at the next flip, the frame up
        again so that it stays on the screen however often the game flips."""
        if not self.probe.surface_holds_video:
            self.again()
            self.cover()

    def black_beside(self):
        if self.beside and self.probe.surface_holds_video:
            for rect in self.beside:
                colour.black_out(rect)

    def clear(self, rect):
        """Blacks out the display at `rect` (x, y, w, h), within the screen."""
        x, y, w, h = rect
        left, top = max(0, x), max(0, y)
        right, bottom = min(self.screen[0], x + w), min(self.screen[1], y + h)
        if right > left and bottom > top:
            colour.black_out((left, top, right - left, bottom - top))
