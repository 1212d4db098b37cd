"""A subtitle stream read whole, ahead of play, by a thread of its own on an
opening of the file of its own (the one reader under every source): a seek
then finds the lines of its moment already there, however the streams of
the file are interleaved.  The thread only hands its events over; the
drawing is done on the thread that runs the frame's pipeline."""

import ctypes
import re
import struct
import threading

from brilox.media.frames import BadInput
from brilox.media.sources.reader import Reader as FileReader

# FFmpeg's subtitles that are paletted pictures, by their codecs' and their
# decoders' names, and those of them whose packets say their canvas.
PGS_CODECS = {"hdmv_pgs_subtitle", "pgssub"}
BITMAP_CODECS = {"dvd_subtitle", "dvdsub", "dvb_subtitle", "dvbsub", "xsub",
                 "dvb_teletext", "libzvbi_teletextdec"} | PGS_CODECS
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


class Reader:
    """A subtitle stream read whole on a thread of its own: its events
    (start, end or None, what) in the order read, its ASS header, and the
    times it has read (`spans`, [from, to] seconds, from -inf at the start
    to inf at the end).  A time far ahead that a frame waits for is read
    first (want), the rest after; events read twice are given twice.

    `source` is the file's path, or a file object of a subtitle file whose
    demuxer is `format`; `stream_index` None reads its first stream."""

    def __init__(self, av, source, stream_index, name, format=None):
        self.av, self.source, self.format = av, source, format
        self.stream_index, self.name = stream_index, name
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
        reader = None
        try:
            # FFmpeg's own words where the file cannot be read: said after
            # the file's name.
            reader = FileReader(self.av, self.source, self.name, self.format, refuse=False)
            if not reader.streams("subtitle"):
                raise BadInput("no subtitle stream")
            stream = (reader.streams("subtitle")[0] if self.stream_index is None
                      else reader.choose("subtitle", self.stream_index, "subtitle_stream"))
            context = stream.codec_context
            self.bitmap = context.name in BITMAP_CODECS
            self.pgs = context.name in PGS_CODECS
            if self.bitmap:
                self.canvas = dvd_canvas(context.extradata)
            else:
                self.header = self._header(context)
            began = float("-inf")
            reader.read(stream)
            while began is not None and not self.stopped:
                following = self._read_on(stream, reader.packets, began)
                if following is not None and not reader.seek(following, file_time=True):
                    # A container that cannot seek is read on as it stands,
                    # and what it skipped is left.
                    self.can_jump = False
                    if following < began:
                        break
                    continue
                began = following
        except Exception as e:  # noqa: BLE001 (said once, the video plays on)
            self.failed = getattr(e, "strerror", None) or str(e) or type(e).__name__
        finally:
            if reader is not None:
                reader.close()
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

    def stop(self, wait=0.0):
        """Stops reading; waits up to `wait` seconds for the thread to end
        (it ends at the next packet).  Whether it has."""
        self.stopped = True
        if wait and self.thread.is_alive() and self.thread is not threading.current_thread():
            self.thread.join(wait)
        return not self.thread.is_alive()


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
