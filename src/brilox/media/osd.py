"""Text shown over a Video's picture for a while: one message line at the
top and, where asked, a bar at the bottom with the time, the length, the
position and a tick at each chapter's start.

It is an ASS script of its own, drawn by libass into the frame's planes
(as subtitles are drawn into the frame), so that it scales with the
picture and shows on any SDL.  The decoder's planes are never touched:
a frame whose planes are the decoder's gets a copy to draw into.  Planes
that the pipeline made for the frame alone are drawn into as they are,
the rows the display covers kept first and put back when the frame is
wanted bare: what the decoder made, a screenshot and Video.rgb() stay
bare, and a frame drawn on the decoding thread costs a copy of those rows
only.

Its script is made again only when what it shows changes: the message,
the time's text (whole seconds), or the bar's fill by a pixel of the
picture; libass keeps what it rendered of the glyphs between frames.  Its
time counts from the frame it first goes up on, by the clock the Video
keeps (`now`, given by update()): the room reads no clock of its own."""

import collections

from brilox.media import colour
from brilox.media.frames import overlay_frame
from brilox.media.pipeline import LAYOUTS, Picture, padded_luma
from brilox.media.subtitles.planes import unpack

# How long a message stays up, in seconds, where not told.
SECONDS = 1.5
# The decoding thread's planes kept for frames to come.
FREE = 4
# The display's sizes are in 288ths of the picture's height, as a
# subtitle's are in its script's PlayResY of 288.
UNIT = 288
MARGIN, FONT, BAR, GAP, TICK, OUTLINE = 8, 17, 7, 3, 1.5, 1.6

HEADER = """[Script Info]
ScriptType: v4.00+
PlayResX: %d
PlayResY: %d
WrapStyle: 2
ScaledBorderAndShadow: yes

[V4+ Styles]
Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, \
Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, \
Shadow, Alignment, MarginL, MarginR, MarginV, Encoding
Style: Text,DejaVu Sans,%d,&H00FFFFFF,&H00FFFFFF,&H00000000,&H00000000,0,0,0,0,100,100,0,0,\
1,%.2f,0,7,0,0,0,1

[Events]
Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text
"""


def clock_text(seconds):
    """Whole seconds as m:ss, or h:mm:ss from an hour."""
    whole = int(max(0.0, seconds) + 1e-6)
    minutes, secs = divmod(whole, 60)
    hours, minutes = divmod(minutes, 60)
    return "%d:%02d:%02d" % (hours, minutes, secs) if hours else "%d:%02d" % (minutes, secs)


class Layout:
    """Where the parts go on a picture of width x height (its own pixels):
    `top` and `bottom`, the rows the message line and the bar (with its
    time above it) may ink, as (first, end); `bar` (x0, y0, x1, y1)."""

    def __init__(self, width, height):
        unit = height / UNIT
        self.width, self.height, self.unit = width, height, unit
        self.margin = max(1, round(MARGIN * unit))
        self.font = max(6, round(FONT * unit))
        self.outline = OUTLINE * unit
        bar = max(2, round(BAR * unit))
        x0, x1 = self.margin, max(self.margin + 1, width - self.margin)
        self.bar = (x0, height - self.margin - bar, x1, height - self.margin)
        self.text_bottom = self.bar[1] - max(1, round(GAP * unit))
        # A line of text reaches about 1.2 of its size, its outline beyond.
        reach = round(self.font * 1.25 + 2 * self.outline) + 1
        self.top = (0, min(height, self.margin + reach))
        self.bottom = (max(0, self.text_bottom - reach), height)

    def fill(self, seconds, length):
        """The bar's filled pixels at `seconds` of `length`."""
        if not length or length <= 0:
            return 0
        span = self.bar[2] - self.bar[0]
        return max(0, min(span, round(span * seconds / length)))

    def ticks(self, chapters, length):
        """The x of each chapter's start on the bar (none at its very start)."""
        if not length or length <= 0:
            return ()
        span = self.bar[2] - self.bar[0]
        return tuple(sorted({self.bar[0] + round(span * start / length)
                             for start, _, _ in chapters if 0 < start < length}))


def escaped(text):
    """Text as one line of ASS that shows it as it is."""
    text = " ".join(str(text).split())
    return text.replace("\\", "\\\u2060").replace("{", "\\{").replace("}", "\\}")


def box(x, y, w, h, colour_tag):
    """An ASS drawing of a filled rectangle at (x, y), w x h."""
    return ("{\\an7\\pos(%d,%d)\\bord0\\shad0\\1c%s\\p1}m 0 0 l %d 0 %d %d 0 %d{\\p0}"
            % (x, y, colour_tag, w, w, h, h))


def events(layout, message, bar):
    """The script's events (Text of each) for a message line and, where
    `bar` is (time text, fill, ticks), the bar."""
    out = []
    if message:
        out.append("{\\an7\\pos(%d,%d)}%s" % (layout.margin, layout.margin, escaped(message)))
    if bar is not None:
        text, fill, ticks = bar
        x0, y0, x1, y1 = layout.bar
        out.append("{\\an1\\pos(%d,%d)}%s" % (x0, layout.text_bottom, escaped(text)))
        out.append(box(x0, y0, x1 - x0, y1 - y0, "&H000000&\\1a&H60&"))
        if fill:
            out.append(box(x0, y0, fill, y1 - y0, "&HFFFFFF&"))
        tick = max(1, round(TICK * layout.unit))
        for x in ticks:
            out.append(box(x - tick // 2, y0 - tick, tick, y1 - y0 + 2 * tick, "&H00C0FF&"))
    return out


class Drawn:
    """What the display drawn into a frame is: `key` (what it shows; None
    once put back), `frame` (Overlay.display's argument), `buffers` (the
    copy drawn into, to be drawn into again), or `kept` (rows the display
    covers in the frame's own planes: (plane, start, bytes) of each)."""

    __slots__ = ("key", "frame", "buffers", "kept")

    def __init__(self, key, frame, buffers=None, kept=None):
        self.key, self.frame, self.buffers, self.kept = key, frame, buffers, kept

    def put_back(self):
        """The frame's own planes as they were (where drawn into)."""
        if self.kept is not None:
            for plane, start, rows in self.kept:
                memoryview(plane)[start:start + len(rows)] = rows
            self.kept = None
        self.key = None


def covered(layout, kind):
    """(plane, first byte, end) of the rows the display may ink in each of
    a frame's planes as the blend takes them (rows without padding)."""
    width, height = layout.width, layout.height
    bands = (layout.top, layout.bottom)
    if kind != colour.PLANAR:
        return [(0, first * 2 * width, end * 2 * width) for first, end in bands]
    cw = (width + 1) // 2
    return [(0, first * width, end * width) for first, end in bands] + [
        (i, first // 2 * cw, (end + 1) // 2 * cw) for i in (1, 2) for first, end in bands]


def drawable(picture, pad):
    """Whether the display can be drawn into `picture`'s own planes: made
    for it alone, unpadded, and as the blend takes them."""
    if not picture.own or any(pad):
        return False
    width, height = picture.size
    if LAYOUTS.get(picture.overlay_format, colour.PLANAR) != colour.PLANAR:
        return [len(p) for p in picture.planes[:1]] == [2 * width * height]
    cw, ch = (width + 1) // 2, (height + 1) // 2
    return [len(p) for p in picture.planes] == [width * height, cw * ch, cw * ch]


class Painter:
    """One thread's libass, track and planes for drawing the display into
    frames.  `keep`: the planes are kept from frame to frame (the game's
    side, where the overlay takes a copy at once); else each frame gets its
    own (the decoding thread's, whose frames wait in the queue), from
    `free`, the planes of frames the game's side is done with."""

    def __init__(self, keep):
        self.keep = keep
        self.library = self.track = self.script = self.size = self.buffers = None
        self.order = 0
        # A deque: the game's side appends, the decoding thread pops.
        self.free = collections.deque(maxlen=FREE)

    def frame(self, picture, key, pad, shown):
        """Overlay.display's argument: `picture` with what `key` says drawn
        into a copy of its planes."""
        width, height = picture.size
        kind = LAYOUTS.get(picture.overlay_format, colour.PLANAR)
        planes = self.copy(picture.planes, kind, width, height)
        self.blend(picture, key, planes, kind, shown)
        planes = unpack(planes, kind)
        if any(pad):
            planes = (padded_luma(planes[0], width, height, pad),) + tuple(planes[1:])
        return overlay_frame(planes, height + pad[1])

    def into(self, picture, key, shown):
        """What `key` says drawn into `picture`'s own planes (see
        drawable()): the Drawn, which keeps the rows it covers."""
        kind = LAYOUTS.get(picture.overlay_format, colour.PLANAR)
        planes = picture.planes if kind == colour.PLANAR else (picture.planes[0], b"", b"")
        kept = [(planes[i], first, bytes(memoryview(planes[i])[first:end]))
                for i, first, end in covered(Layout(*picture.size), kind) if end > first]
        drawn = Drawn(key, picture.frame, kept=kept)
        try:
            self.blend(picture, key, planes, kind, shown)
        except BaseException:
            drawn.put_back()
            raise
        return drawn

    def blend(self, picture, key, planes, kind, shown):
        """Draws what `key` says into `planes` (rows without padding)."""
        from brilox.media.subtitles.text import new_library
        size, message, bar = key
        width, height = size
        if self.library is None:
            self.library = new_library(())[0]
        layout = Layout(width, height)
        if self.size != size:
            self.track = self.library.track((HEADER % (width, height, layout.font,
                                                       layout.outline)).encode())
            self.size, self.script = size, None
        script = events(layout, message, bar)
        if script != self.script:
            self.track.clear()
            for text in script:
                self.order += 1
                self.track.add(("%d,0,Text,,0,0,0,,%s" % (self.order, text)).encode(), 0,
                               1 << 40)
            self.script = script
        matrix = colour.WEIGHTS.get(picture.reads_as.matrix, colour.WEIGHTS[colour.BT601])
        self.library.blend(self.track, 0, planes, kind, width, height, matrix,
                           picture.reads_as.levels == colour.FULL, tuple(shown or size))

    def copy(self, planes, kind, width, height):
        """The frame's planes copied, rows without padding, as the blend
        takes them: into the planes kept (a new buffer costs more than the
        copy: its pages are new), or new ones."""
        if kind == colour.PLANAR:
            cw, ch = (width + 1) // 2, (height + 1) // 2
            rows = ((width, height), (cw, ch), (cw, ch))
        else:
            rows = ((2 * width, height),)
        buffers = self.buffers
        if not self.keep:
            try:
                buffers = self.free.pop()
            except IndexError:
                buffers = None
        if buffers is None or [len(b) for b in buffers] != [r * n for r, n in rows]:
            buffers = [bytearray(r * n) for r, n in rows]
            if self.keep:
                self.buffers = buffers
        for buffer, plane, (row, count) in zip(buffers, planes, rows):
            source, target = memoryview(plane).cast("B"), memoryview(buffer)
            stride = len(source) // count
            if stride == row:
                target[:] = source[:row * count]
                continue
            for r in range(count):
                target[r * row:(r + 1) * row] = source[r * stride:r * stride + row]
        self.copied = buffers
        return tuple(buffers) if kind == colour.PLANAR else (buffers[0], b"", b"")


class Osd:
    """What is to be shown over the picture, and what the frame up carries.

    say() sets the text; its time runs from the next frame it goes up on.
    While it shows, the decoding thread draws it into each frame as it
    comes out of the pipeline (ahead()), as subtitles are; over() gives the
    frame to put up: that one where it carries what is to be shown then,
    the bare frame where nothing is, else one drawn there and then (a frame
    decoded before the text changed).  again() gives the frame up drawn
    anew where what it is to carry changed since."""

    def __init__(self):
        # (message, bar, seconds): set whole, as the decoding thread reads it.
        self.state = ("", False, 0.0)
        self.until = None
        # What the frame up carries (a key of what was drawn), None for nothing.
        self.drawn = None
        # Whether the decoding thread draws it into the frames it makes.
        self.live = False
        self.painter, self.ahead_painter = Painter(True), Painter(False)

    def say(self, message, seconds=SECONDS, bar=False):
        """Shows `message` (None: the one shown, while it is) and the bar
        where `bar`, for `seconds` from the next frame up; 0 takes it off."""
        if message is None:
            # The one said last, unless its time is over.
            message = self.state[0] if self.live else ""
        self.until = None
        self.state = (message, bar, seconds)
        self.live = seconds > 0 and bool(message or bar)

    def showing(self, now):
        message, bar, seconds = self.state
        if seconds <= 0 or not (message or bar):
            return False
        if self.until is None:
            self.until = now + seconds
        return now < self.until

    def content(self, picture, seconds, length, chapters):
        """What a frame of `picture` at `seconds` carries while the text shows."""
        message, bar, _ = self.state
        layout = Layout(*picture.size)
        drawn = None
        if bar:
            text = clock_text(seconds) + (" / " + clock_text(length) if length else "")
            drawn = (text, layout.fill(seconds, length), layout.ticks(chapters or (), length))
        return (picture.size, message, drawn)

    def key(self, picture, seconds, length, chapters, now):
        """What a frame of `picture` at `seconds` carries now, or None."""
        if not self.showing(now):
            return None
        return self.content(picture, seconds, length, chapters)

    def ahead(self, picture, seconds, length, chapters, pad, shown):
        """On the decoding thread: the Drawn of a frame of the pipeline,
        while the text shows (into its own planes where it can); else None."""
        if not self.live:
            return None
        key = self.content(picture, seconds, length, chapters)
        painter = self.ahead_painter
        try:
            if drawable(picture, pad):
                return painter.into(picture, key, shown)
            return Drawn(key, painter.frame(picture, key, pad, shown), painter.copied)
        except Exception:  # noqa: BLE001 (the game's side draws it, and says what fails)
            return None

    def done_with(self, drawn):
        """The frame drawn ahead is no longer up: a copy drawn into is drawn
        into again."""
        if drawn is not None and drawn.buffers is not None:
            self.ahead_painter.free.append(drawn.buffers)

    def over(self, picture, seconds, length, chapters, pad, shown, now, drawn=None):
        """Overlay.display's argument for `picture`, at `seconds` into its
        pass, with what is to be shown drawn over it; `drawn`: what ahead()
        gave for it."""
        key = self.key(picture, seconds, length, chapters, now)
        self.drawn, self.live = key, key is not None
        if drawn is not None and drawn.key == key is not None:
            return drawn.frame
        if drawn is not None:
            # Drawn into the frame's own planes: bare again, to show so or
            # to draw anew into a copy.
            drawn.put_back()
        if key is None:
            return picture.frame
        return self.painter.frame(picture, key, pad, shown)

    def again(self, picture, seconds, length, chapters, pad, shown, now, drawn=None):
        """The frame up drawn anew where what it is to carry changed (the
        text went, came or changed), else None."""
        key = self.key(picture, seconds, length, chapters, now)
        if key == self.drawn:
            return None
        return self.over(picture, seconds, length, chapters, pad, shown, now, drawn)


class Overlaid:
    """The part of a Video that shows text over its picture (show_text), and
    gives the picture without it (rgb, bare); Video derives from it."""

    _osd = None
    # Set when update() put the frame up again because the text over it
    # came, changed or went (no new frame): a game that flips only after a
    # new frame flips then too, and sets it back to False.
    redrawn = False

    def show_text(self, text, seconds=SECONDS, bar=False):
        """Shows `text` in a line over the top of the picture, and where
        `bar`, a bar over its bottom with the position, the time, the length
        and a tick at each chapter, for `seconds` from the next update()
        (0 takes it off there).  Drawn into the frame as subtitles are, it
        scales with the picture; not on output="surface", which the game
        draws over itself."""
        self._check()
        if self._osd is None:
            self._osd = Osd()
        self._decoder.osd = self._osd
        self._osd.say(text, float(seconds), bool(bar))

    def _over(self, item, now, again=False):
        """The frame to put up for `item` with the text drawn (again: None
        where the frame up already carries what it should)."""
        osd, output = self._osd, self._output
        if osd is None or output.canvas is not None or not isinstance(item.picture, Picture):
            return None if again else output.frame_of(item.picture)
        self._decoder.osd = osd  # a decoder made since (another video stream) draws it too
        up = self._up
        if not again and up is not None and up is not item and getattr(up, "drawn", None):
            # The frame that was up goes: the overlay holds its own copy.
            osd.done_with(up.drawn)
            up.drawn = None
        shown = output.where(output.screen)[2:] if output.screen else None
        source = self.source
        draw = osd.again if again else osd.over
        return draw(item.picture, item.time, source.length, getattr(source, "chapters", ()),
                    output.pad, shown, now, getattr(item, "drawn", None))

    def _text_again(self, now):
        """Puts the frame up again where the text over it changed (paused
        too); whether it did."""
        if self._up is None or self._output.overlay is None:
            return False
        frame = self._over(self._up, now, again=True)
        if frame is None:
            return False
        self._output.show(frame)
        self.redrawn = True
        return True

    def bare(self):
        """Puts the frame up again without the text over it, for a grab of
        the display (flip first where SDL shows overlays only then); whether
        it did (the text was up).  The text comes back at the next update()
        while its time lasts."""
        self._check()
        if self._osd is None or self._osd.drawn is None or self._up is None:
            return False
        self._output.show(self._bare().frame)
        self._osd.drawn = None
        return True

    def _bare(self):
        """The frame up's Picture, the text drawn into its planes (if any)
        taken out; None before any."""
        up = self._up
        drawn = getattr(up, "drawn", None)
        if drawn is not None and drawn.kept is not None:
            drawn.put_back()
        return None if up is None else up.picture

    def rgb(self):
        """The frame up as a numpy array (height, width, 3), as SDL shows
        it (without the text shown over it)."""
        self._check()
        if self._up is None:
            raise ValueError("no frame is up yet: call update() first")
        return self._output.rgb(self._bare())
