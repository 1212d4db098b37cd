"""Subtitles drawn into a video's frames before they are shown, so that they
show the same whatever SDL does with the overlay, in screenshots and in
rgb() too.

Text subtitles (SRT, WebVTT, ASS/SSA, mov_text) are decoded by FFmpeg's
decoders through PyAV into ASS events, with the stream's styles, and drawn
by libass (brilox.media._subtitles) with the fonts attached to the file.
Bitmap subtitles (DVD, PGS, DVB) come as paletted rectangles on a canvas of
their own, scaled from it to the frame.

Each subtitle stream is read whole, ahead of play, by a thread of its own on
a second demuxer: a seek then finds the lines of its moment already there,
however the streams of the file are interleaved.  Everything drawn is done
on the thread that runs the frame's pipeline; the readers only hand their
events over.  What cannot be shown (a missing or broken file, a font not
found) is said once, as a line in `notes`, and the video plays on."""

import bisect
import codecs
import collections
import ctypes
import io
import os
import re
import struct
import threading

from brilox.media import colour
from brilox.media.frames import BadInput

# A subtitle file beside the video, NAME.srt and so on, found by itself.
SIDE_EXTENSIONS = (".srt", ".ass", ".ssa", ".vtt")
# FFmpeg's demuxer of each subtitle file's extension.
FILE_FORMATS = {".srt": "srt", ".ass": "ass", ".ssa": "ass", ".vtt": "webvtt"}
# FFmpeg's subtitles that are paletted pictures, by their codecs' and their
# decoders' names, and those of them whose packets say their canvas.
PGS_CODECS = {"hdmv_pgs_subtitle", "pgssub"}
BITMAP_CODECS = {"dvd_subtitle", "dvdsub", "dvb_subtitle", "dvbsub", "xsub",
                 "dvb_teletext", "libzvbi_teletextdec"} | PGS_CODECS
# Seconds a frame's drawing waits for its stream's reader to reach the
# frame's time; a reader that is further behind is not waited for again
# until it catches up.
READ_WAIT = 0.5
# A frame waited for further than this many seconds ahead of where its
# reader stands (or in what a jump skipped) is read from a seek to this
# many seconds before it (the lines still showing then); what is skipped is
# read after the end.
JUMP_AHEAD, READ_BACK = 60.0, 20.0
# FFmpeg's "no end" of a subtitle's display time.
NO_END = 0xFFFFFFFF
# The ASS header FFmpeg's decoders give streams with no styles of their own
# (SRT, WebVTT, mov_text).
DEFAULT_HEADER = (
    b"[Script Info]\n"
    b"ScriptType: v4.00+\n"
    b"PlayResX: 384\n"
    b"PlayResY: 288\n"
    b"ScaledBorderAndShadow: yes\n"
    b"YCbCr Matrix: None\n"
    b"\n"
    b"[V4+ Styles]\n"
    b"Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, "
    b"BackColour, Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, "
    b"BorderStyle, Outline, Shadow, Alignment, MarginL, MarginR, MarginV, Encoding\n"
    b"Style: Default,Arial,16,&Hffffff,&Hffffff,&H0,&H0,0,0,0,0,100,100,0,0,1,1,0,2,10,10,10,0\n"
    b"\n"
    b"[Events]\n"
    b"Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n")


def _latin1(error):
    """Each byte that is not UTF-8 read as Latin-1."""
    bad = error.object[error.start:error.end]
    return "".join(chr(b) for b in bad), error.end


codecs.register_error("brilox-latin1", _latin1)


def as_utf8(data):
    """A subtitle file's bytes as UTF-8: read as UTF-8 (a byte-order mark
    dropped), each byte that is not read as Latin-1; and whether all of it
    was UTF-8."""
    if data.startswith(codecs.BOM_UTF8):
        data = data[len(codecs.BOM_UTF8):]
    try:
        return data.decode("utf-8").encode("utf-8"), True
    except UnicodeDecodeError:
        return data.decode("utf-8", "brilox-latin1").encode("utf-8"), False


def side_file(path):
    """NAME.srt, NAME.ass, NAME.ssa or NAME.vtt beside the video NAME.ext,
    or None."""
    if not isinstance(path, str):
        return None
    root = os.path.splitext(path)[0]
    for extension in SIDE_EXTENSIONS:
        for candidate in (root + extension, root + extension.upper()):
            if candidate != path and os.path.isfile(candidate):
                return candidate
    return None


# What libass says when it draws with the default font in place of one asked for.
DEFAULT_FONT_USED = "fontselect: Using default font"


def font_settings():
    """(default font file or None, whether to ask fontconfig) as this
    install of brilox has them."""
    try:
        from brilox.media.fonts import default_font, fontconfig
    except ImportError:
        return None, True
    return default_font(), fontconfig()


class Reader:
    """A subtitle stream read whole on a thread of its own: its events
    (start, end or None, what) in the order read, its ASS header, and the
    times it has read (`spans`, [from, to] seconds, from -inf at the start
    to inf at the end).  A time far ahead that a frame waits for is read
    first (want), the rest after; events read twice are given twice."""

    def __init__(self, av, open_args, stream_index, name):
        self.av, self.open_args, self.stream_index, self.name = av, open_args, stream_index, name
        self.cond = threading.Condition()
        self.events = []
        self.taken = 0
        self.header = None
        self.bitmap = self.pgs = False
        self.canvas = None
        self.spans = []
        self.jump = None
        self.done = False
        self.failed = None
        self.stopped = False
        self.thread = threading.Thread(target=self.run, name="brilox-subtitles", daemon=True)
        self.thread.start()

    def run(self):
        container = None
        try:
            container = self.av.open(*self.open_args[0], **self.open_args[1])
            streams = container.streams.subtitles
            stream = next((s for s in streams if self.stream_index in (None, s.index)), None)
            if stream is None:
                raise BadInput("no subtitle stream")
            context = stream.codec_context
            self.bitmap = context.name in BITMAP_CODECS
            self.pgs = context.name in PGS_CODECS
            if self.bitmap:
                self.canvas = dvd_canvas(context.extradata)
            else:
                self.header = self._header(context)
            began = float("-inf")
            while began is not None and not self.stopped:
                packets = container.demux(stream)
                try:
                    following = self._read_on(stream, packets, began)
                finally:
                    packets.close()
                if following is not None:
                    try:
                        container.seek(int(following * 1e6), backward=True)
                    except self.av.FFmpegError:
                        # A container that cannot seek is read on as it
                        # stands, and what it skipped is left.
                        self.can_jump = False
                        if following < began:
                            break
                        continue
                began = following
        except Exception as e:  # noqa: BLE001 (said once, the video plays on)
            self.failed = getattr(e, "strerror", None) or str(e) or type(e).__name__
        finally:
            if container is not None:
                container.close()
            with self.cond:
                if self.failed is None and not self.events:
                    self.failed = "no subtitles in it"
                self.done = True
                self.cond.notify_all()

    can_jump = True

    def _read_on(self, stream, packets, began):
        """Reads from `began` (seconds) on: to the end, to what was read
        before, or until a time far ahead is wanted.  Where to read from
        next, or None once the whole stream is read."""
        with self.cond:
            span = next((s for s in self.spans if s[0] <= began <= s[1]), None)
            if span is None:
                span = [began, began]
                self.spans.append(span)
                self.spans.sort()
        for packet in packets:
            if self.stopped:
                return None
            at = self._read(stream, packet)
            if at is None:
                continue
            with self.cond:
                span[1] = max(span[1], at)
                after = [s for s in self.spans if s[0] > span[0]]
                if after and after[0][0] <= span[1]:
                    # What was read before: the two are one.
                    span[1] = max(span[1], after[0][1])
                    self.spans.remove(after[0])
                    self.cond.notify_all()
                    return self._gap()
                wanted, self.jump = self.jump, None
                self.cond.notify_all()
            # Far ahead, or behind where this read began (skipped by a jump).
            if wanted is not None and self.can_jump and not self.covers(wanted) \
                    and (wanted - READ_BACK > at + JUMP_AHEAD or wanted < span[0]):
                return wanted - READ_BACK
        with self.cond:
            span[1] = float("inf")
            self.cond.notify_all()
            return self._gap()

    def _gap(self):
        """The end of the first part read, where more was read after it; or
        None once all is read."""
        first = self.spans[0]
        return None if first[1] == float("inf") else first[1]

    def covers(self, seconds):
        return any(a <= seconds <= b for a, b in self.spans)

    def want(self, seconds):
        """A frame waits for the lines at `seconds`."""
        with self.cond:
            if not self.done and not self.covers(seconds):
                self.jump = seconds

    def _header(self, context):
        """The ASS header: an ASS/SSA stream's own (its extradata), else
        FFmpeg's default for the decoders that give ASS events."""
        if context.name in ("ass", "ssa") and context.extradata:
            return bytes(context.extradata)
        return DEFAULT_HEADER

    def _read(self, stream, packet):
        if packet.pts is None and packet.dts is None:
            return
        base = stream.time_base
        at = float((packet.pts if packet.pts is not None else packet.dts) * base)
        if self.pgs:
            self.canvas = pgs_canvas(bytes(packet)) or self.canvas
        decoded = list(self._decode(stream.codec_context, packet))
        found = []
        for start, end, rects in decoded:
            if start is None:
                start = at
            if end is None and packet.duration:
                end = at + float(packet.duration * base)
            found.append((start, end, self._what(rects)))
        with self.cond:
            self.events.extend(found)
        return at

    @staticmethod
    def _decode(context, packet):
        """(start, end, rects) of what a packet decodes to (the times None
        where the decoder does not say them)."""
        decode2 = getattr(context, "decode2", None)
        if decode2 is not None:
            sets = [decode2(packet)]
        else:
            sets = context.decode(packet)
        for subtitle in sets:
            if subtitle is None:
                continue
            rects = getattr(subtitle, "rects", None)
            if rects is None:
                # A PyAV that gives the rectangles alone.
                yield None, None, [subtitle]
                continue
            start = end = None
            if subtitle.pts is not None:
                origin = subtitle.pts / 1e6
                start = origin + subtitle.start_display_time / 1000
                if subtitle.start_display_time < subtitle.end_display_time < NO_END:
                    end = origin + subtitle.end_display_time / 1000
            yield start, end, list(rects)

    def _what(self, rects):
        """An event's ASS lines, or its bitmaps: (x, y, w, h, indices,
        stride, palette) each, copied out of the decoder's memory."""
        if not self.bitmap:
            return [bytes(r.ass) for r in rects if getattr(r, "ass", None)]
        pictures = []
        for r in rects:
            if getattr(r, "type", b"bitmap") != b"bitmap" or r.width <= 0 or r.height <= 0:
                continue
            found = bitmap_of(r)
            if found is None:
                raise BadInput("this PyAV does not give bitmap subtitles' colours")
            pictures.append((r.x, r.y, r.width, r.height) + found)
        return pictures

    def wait_for(self, seconds, timeout):
        """Waits up to `timeout` for the reader to read past `seconds`;
        whether it has."""
        with self.cond:
            self.cond.wait_for(lambda: self.done or self.covers(seconds), timeout)
            return self.done or self.covers(seconds)

    def take(self):
        """The events read since the last call."""
        with self.cond:
            new, self.taken = self.events[self.taken:], len(self.events)
            return new

    def stop(self):
        self.stopped = True


def pgs_canvas(packet):
    """The canvas (w, h) a PGS packet's presentation segment gives, or None.
    A packet holds segments: kind (1 byte), length (2), what it says."""
    at = 0
    while at + 3 <= len(packet):
        kind, length = packet[at], struct.unpack_from(">H", packet, at + 1)[0]
        if kind == 0x16 and length >= 4:
            size = struct.unpack_from(">HH", packet, at + 3)
            return size if all(size) else None
        at += 3 + length
    return None


def dvd_canvas(extradata):
    """The canvas a DVD subtitle stream's header says ("size: WxH"), or None."""
    match = re.search(rb"size:\s*(\d+)x(\d+)", bytes(extradata or b""))
    return (int(match.group(1)), int(match.group(2))) if match and int(match.group(1)) \
        and int(match.group(2)) else None


# FFmpeg's AVSubtitleRect, as far as its planes and their strides.
class _Rect(ctypes.Structure):
    _fields_ = [("x", ctypes.c_int), ("y", ctypes.c_int), ("w", ctypes.c_int),
                ("h", ctypes.c_int), ("nb_colors", ctypes.c_int),
                ("data", ctypes.c_void_p * 4), ("linesize", ctypes.c_int * 4)]


def bitmap_of(rect):
    """(indices, stride, palette) of a PyAV bitmap subtitle rectangle, or
    None.  PyAV gives the indices but not the palette: the rectangle's own
    FFmpeg record is found among the first fields of the PyAV object (the
    one whose place, size and indices are the rectangle's) and the palette
    read from it."""
    indices = bytes(rect.planes[0])
    wanted = (rect.x, rect.y, rect.width, rect.height, rect.nb_colors)
    pointer = ctypes.sizeof(ctypes.c_void_p)
    # Only the object's own fields past its header are read, and only a
    # value that can be an address is followed: nothing past the object, so
    # nothing that is not mapped.
    end = min(type(rect).__basicsize__, 8 * pointer)
    for offset in range(2 * pointer, end - pointer + 1, pointer):
        address = ctypes.c_void_p.from_address(id(rect) + offset).value
        if not address or address % pointer or address < 1 << 16:
            continue
        record = _Rect.from_address(address)
        if (record.x, record.y, record.w, record.h, record.nb_colors) != wanted:
            continue
        stride = record.linesize[0]
        if not record.data[0] or not record.data[1] or stride < rect.width \
                or ctypes.string_at(record.data[0], len(indices)) != indices:
            continue
        return (indices, stride, ctypes.string_at(record.data[1], 4 * rect.nb_colors))
    return None


class Shown:
    """One subtitle stream as it is drawn: its reader, and its libass track
    or its bitmap events by start."""

    def __init__(self, reader, label):
        self.reader, self.label = reader, label
        self.track = None
        # Bitmaps: the events by start.  Text: each line's start and end
        # (ms) by start, and the longest, to tell whether any shows.
        self.starts, self.sets = [], []
        self.ends, self.longest = [], 0
        # What was added, to add nothing twice (a part of the stream read
        # again after a jump): each line's times and all but its ReadOrder.
        self.seen = set()
        self.behind = False
        self.said = False
        # Drawing them failed: they are not drawn again.
        self.broken = False


class Subtitles:
    """The subtitles of a video: its subtitle streams and a file beside it,
    one of them shown (or none).  `choices`: the streams' indices, then the
    file's path.  The game's side chooses (choose, cycle); the thread that
    runs the pipeline draws (draw).  `notes` holds what could not be shown,
    a line each, for the game's side to say."""

    def __init__(self, av, path, container=None, stream=None, sub_file=None, name=None):
        self.av, self.path, self.name = av, path, name or str(path)
        self.lock = threading.Lock()
        self.notes = collections.deque()
        self.said = set()
        self.library = None
        self.streams, labels = [], {}
        if container is not None and isinstance(path, str):
            for s in container.streams.subtitles:
                self.streams.append(s.index)
                language = (s.metadata or {}).get("language")
                labels[s.index] = "stream %d (%s%s)" % (
                    s.index, s.codec_context.name, ", " + language if language else "")
        self.fonts = []
        if container is not None:
            for s in getattr(container.streams, "attachments", ()):
                data = getattr(s, "data", None)
                if data:
                    self.fonts.append((getattr(s, "name", None) or "font", bytes(data)))
        if stream is not None and stream not in self.streams:
            raise BadInput("%s: stream %d is not a subtitle stream (%s)" % (
                self.name, stream, ", ".join("%d" % i for i in self.streams) or "it has none"))
        self.file = None
        if sub_file is not None:
            sub_file = os.fspath(sub_file)
            if os.path.isfile(sub_file):
                self.file = sub_file
            else:
                self.note("%s: no such subtitle file" % sub_file)
        else:
            self.file = side_file(path)
        self.choices = self.streams + ([self.file] if self.file else [])
        self.labels = labels
        if self.file:
            self.labels[self.file] = os.path.basename(self.file)
        # Shown at first: the stream asked for, the file named (where it is
        # there), the stream FFmpeg picks, else a file found beside the video.
        if stream is not None:
            first = stream
        elif (sub_file is not None and self.file) or not self.streams:
            first = self.file
        else:
            first = self._best(container)
        self.wanted = first
        self.shown = {}
        # A file's times count from the video's first frame; a stream's are
        # on the file's own time line, as the frames' are.
        self.origin = 0.0

    def _best(self, container):
        try:
            best = container.streams.best("subtitle")
        except (AttributeError, TypeError, ValueError):
            best = None
        return best.index if best is not None and best.index in self.streams \
            else self.streams[0]

    def note(self, text):
        if text not in self.said:
            self.said.add(text)
            self.notes.append(text)

    # --- the game's side ---------------------------------------------------

    @property
    def chosen(self):
        return self.wanted

    def choose(self, choice):
        if isinstance(choice, os.PathLike):
            choice = os.fspath(choice)
        if choice is not None and choice not in self.choices:
            raise ValueError("%r is none of this video's subtitles (%s)" % (
                choice, ", ".join(map(repr, self.choices)) or "it has none"))
        self.wanted = choice

    def cycle(self):
        """The next choice: the streams, the file, then none."""
        order = self.choices + [None]
        at = order.index(self.wanted) if self.wanted in order else -1
        self.wanted = order[(at + 1) % len(order)]
        return self.wanted

    def label(self, choice):
        return "off" if choice is None else self.labels.get(choice, str(choice))

    def close(self):
        for shown in self.shown.values():
            shown.reader.stop()

    # --- the drawing side --------------------------------------------------

    def _open(self, choice):
        if isinstance(choice, int):
            reader = Reader(self.av, ((self.path,), {}), choice, self.name)
        else:
            try:
                with open(choice, "rb") as f:
                    data, utf8 = as_utf8(f.read())
                if not utf8:
                    self.note("%s: not UTF-8: each byte that is not is read as Latin-1"
                              % choice)
            except OSError as e:
                data = None
                failed = e.strerror or str(e)
            extension = os.path.splitext(choice)[1].lower()
            args = {"format": FILE_FORMATS[extension]} if extension in FILE_FORMATS else {}
            reader = Reader(self.av, ((io.BytesIO(data or b""),), args), None, choice)
            if data is None:
                reader.stop()
                reader.failed = failed
        return Shown(reader, self.label(choice))

    def _library(self):
        if self.library is None:
            from brilox.media import _subtitles
            library = _subtitles.Library()
            for name, data in self.fonts:
                library.add_font(name, data)
            default, use_fontconfig = font_settings()
            library.fonts(default, None, use_fontconfig)
            # Without fontconfig (a wheel's libass), every font a file does
            # not bring is the default font by design: no warning for that.
            self.default_only = default is not None and not use_fontconfig
            self.library = library
        return self.library

    def draw(self, planes, layout, width, height, colours, shown, seconds):
        """The planes (as in _colour's `layout`) of a frame of width x
        height, whose colours are `colours`, shown as a picture of `shown`
        (w, h) in the window, `seconds` into the stream's time line, with
        the subtitles of that moment drawn: new planes where any are drawn,
        else the same."""
        with self.lock:
            choice = self.wanted
            if choice is None:
                return planes
            current = self.shown.get(choice)
            if current is None:
                current = self.shown[choice] = self._open(choice)
            if isinstance(choice, str):
                seconds -= self.origin
            if current.broken:
                return planes
            try:
                return self._draw(current, planes, layout, width, height, colours,
                                  shown or (width, height), seconds)
            except Exception as e:  # noqa: BLE001 (said once, the video plays on)
                current.broken = True
                self.note("%s: subtitles not shown: %s" % (current.reader.name, e))
                return planes
            finally:
                self._messages()

    def _draw(self, current, planes, layout, width, height, colours, shown, seconds):
        reader = current.reader
        if not current.behind or reader.covers(seconds):
            reader.want(seconds)
            current.behind = not reader.wait_for(seconds, READ_WAIT)
        if reader.failed is not None and reader.done:
            if not current.said:
                current.said = True
                self.note("%s: subtitles not shown: %s" % (reader.name, reader.failed))
            return planes
        new = reader.take()
        matrix = colour.WEIGHTS.get(colours.matrix, colour.WEIGHTS[colour.BT601])
        full = colours.levels == colour.FULL
        if not reader.bitmap:
            if reader.header is None:
                return planes
            if current.track is None:
                current.track = self._library().track(reader.header)
            for start, end, lines in new:
                begin = round(start * 1000)
                length = max(1, round(((end if end is not None else start + 5) - start) * 1000))
                lines = [line for line in lines
                         if (begin, length, line.split(b",", 1)[-1]) not in current.seen]
                if not lines:
                    continue
                for line in lines:
                    current.seen.add((begin, length, line.split(b",", 1)[-1]))
                    current.track.add(numbered(line, len(current.seen)), begin, length)
                at = bisect.bisect_right(current.starts, begin)
                current.starts.insert(at, begin)
                current.ends.insert(at, begin + length)
                current.longest = max(current.longest, length)
            now = round(seconds * 1000)
            if not showing(current, now):
                return planes
            drawn = writable(planes, layout, width, height)
            if self.library.blend(current.track, now, drawn, layout, width, height, matrix,
                                  full, tuple(shown)):
                return unpack(drawn, layout)
            return planes
        for event in new:
            at = bisect.bisect_left(current.starts, event[0])
            if at < len(current.starts) and current.starts[at] == event[0]:
                continue
            current.starts.insert(at, event[0])
            current.sets.insert(at, event)
        at = bisect.bisect_right(current.starts, seconds + 1e-6) - 1
        if at < 0:
            return planes
        start, end, pictures = current.sets[at]
        if not pictures or (end is not None and seconds >= end):
            return planes
        from brilox.media import _subtitles
        canvas = reader.canvas or (width, height)
        sx, sy = width / canvas[0], height / canvas[1]
        drawn = writable(planes, layout, width, height)
        for x, y, w, h, indices, stride, palette in pictures:
            box = (round(x * sx), round(y * sy), max(1, round(w * sx)), max(1, round(h * sy)))
            _subtitles.blend_bitmap(drawn, layout, width, height, matrix, full, indices,
                                    stride, w, h, palette, box)
        return unpack(drawn, layout)

    def _messages(self):
        """libass's warnings: the first of each drawing (the others are
        most often more words on the same trouble)."""
        if self.library is not None:
            messages = [m.strip() for m in self.library.messages()
                        if not (self.default_only and DEFAULT_FONT_USED in m)]
            if messages:
                self.note("subtitles: %s" % messages[0])


def numbered(line, order):
    """An ASS event with a ReadOrder of our own: FFmpeg's decoders count
    from 0 again after a seek, and libass drops an event whose ReadOrder it
    has seen."""
    if line.startswith(b"Dialogue:"):
        return line
    return b"%d,%s" % (order, line.split(b",", 1)[-1])


def showing(current, now):
    """Whether any text line shows at `now` (ms): a line shows from its
    start up to, not at, its end."""
    at = bisect.bisect_right(current.starts, now) - 1
    while at >= 0 and current.starts[at] > now - current.longest:
        if current.ends[at] > now:
            return True
        at -= 1
    return False


def _rows(plane, row_bytes, rows):
    """A plane's rows, `row_bytes` each, one after another, in a new buffer."""
    view = memoryview(plane).cast("B")
    stride = len(view) // rows if rows else row_bytes
    if stride == row_bytes:
        return bytearray(view[:row_bytes * rows])
    out = bytearray(row_bytes * rows)
    for row in range(rows):
        out[row * row_bytes:(row + 1) * row_bytes] = view[row * stride:row * stride + row_bytes]
    return out


def writable(planes, layout, width, height):
    """A copy of a frame's planes for drawing into, at the strides the
    drawing takes: the planes shown may be the decoder's own, kept for
    showing again bare."""
    if layout == colour.PLANAR:
        cw, ch = (width + 1) // 2, (height + 1) // 2
        return (_rows(planes[0], width, height), _rows(planes[1], cw, ch),
                _rows(planes[2], cw, ch))
    return (_rows(planes[0], 2 * width, height), b"", b"")


def unpack(planes, layout):
    """Drawn planes as the pipeline carries them on."""
    return planes if layout == colour.PLANAR else planes[:1]


def open_subtitles(source, path, sub_file=None, stream=None):
    """The subtitles of a source (a media file's streams, a file beside it,
    `sub_file`), or None where it has none and there is nothing to say.
    BadInput for a `stream` that is no subtitle stream of the file."""
    container = getattr(source, "container", None)
    av = getattr(source, "av", None)
    name = getattr(source, "name", path)
    has_streams = container is not None and isinstance(path, str) and \
        len(container.streams.subtitles) > 0
    if stream is not None and not has_streams:
        raise BadInput("%s: stream %d is not a subtitle stream (it has none)" % (name, stream))
    if sub_file is None and not has_streams and side_file(path) is None:
        return None
    if av is None:
        from brilox.media.frames import load_av
        try:
            av = load_av(sub_file or path)
        except BadInput as e:
            subtitles = Subtitles(None, None, name=name)
            subtitles.note(str(e))
            return subtitles
    subtitles = Subtitles(av, path, container if isinstance(path, str) else None, stream,
                          sub_file, name)
    subtitles.origin = getattr(source, "start", None) or 0.0
    return subtitles if subtitles.choices or subtitles.notes else None
