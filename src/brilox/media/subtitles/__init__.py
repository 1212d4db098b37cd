"""Subtitles drawn into a video's frames before they are shown, so that they
show the same whatever SDL does with the overlay, in screenshots and in
rgb() too.

Text subtitles (SRT, WebVTT, ASS/SSA, mov_text) are decoded by FFmpeg's
decoders through PyAV into ASS events, with the stream's styles, and drawn
by libass (brilox.media._subtitles) with the fonts attached to the file.
Bitmap subtitles (DVD, PGS, DVB) come as paletted rectangles on a canvas of
their own, scaled from it to the frame.

Each subtitle stream is read whole, ahead of play, by a thread of its own
on an opening of the file of its own.  Everything drawn is done on the
thread that runs the frame's pipeline; the readers only hand their events
over.  What cannot be shown (a missing or broken file, a font not found) is
said once, as a line in `notes`, and the video plays on.

The package, one job a module: ``choice`` (which stream or file),
``reader`` (the reading thread), ``text`` and ``bitmap`` (the two kinds of
track, behind one draw()) and ``planes`` (a frame's planes drawn into)."""

import collections
import io
import os
import threading

from brilox.media import colour
from brilox.media.frames import BadInput
from brilox.media.subtitles.bitmap import BitmapTrack
from brilox.media.subtitles.choice import FILE_FORMATS, Choices, as_utf8, side_file
from brilox.media.subtitles.reader import Reader
from brilox.media.subtitles.text import DEFAULT_FONT_USED, TextTrack, new_library

# Seconds a frame's drawing waits for its stream's reader to reach the
# frame's time; a reader that is further behind is not waited for again
# until it catches up.
READ_WAIT = 0.5
# Seconds close() waits for each reader's thread to end.
CLOSE_WAIT = 2.0


class Shown:
    """One subtitle stream as it is drawn: its reader, and once the reader
    knows its kind, its track (text or bitmap)."""

    def __init__(self, reader, label):
        self.reader, self.label = reader, label
        self.track = None
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
        self.fonts = []
        if container is not None:
            for s in getattr(container.streams, "attachments", ()):
                data = getattr(s, "data", None)
                if data:
                    self.fonts.append((getattr(s, "name", None) or "font", bytes(data)))
        self.choice = Choices(container, path, self.name, stream, sub_file)
        if self.choice.missing is not None:
            self.note("%s: no such subtitle file" % self.choice.missing)
        self.shown = {}
        # A file's times count from the video's first frame; a stream's are
        # on the file's own time line, as the frames' are.
        self.origin = 0.0
        # Seconds each subtitle shows after its own time (set from the
        # game's side, read as a frame is drawn).
        self.delay = 0.0

    def note(self, text):
        if text not in self.said:
            self.said.add(text)
            self.notes.append(text)

    # --- the game's side ---------------------------------------------------

    @property
    def choices(self):
        return self.choice.choices

    @property
    def chosen(self):
        return self.choice.wanted

    def choose(self, choice):
        self.choice.choose(choice)

    def cycle(self):
        return self.choice.cycle()

    def label(self, choice):
        return self.choice.label(choice)

    def close(self):
        """Stops the readers; their threads have ended when this returns,
        unless one is stuck in a read for longer than CLOSE_WAIT."""
        for shown in self.shown.values():
            shown.reader.stop()
        for shown in self.shown.values():
            shown.reader.stop(CLOSE_WAIT)

    # --- the drawing side --------------------------------------------------

    def _open(self, choice):
        if isinstance(choice, int):
            reader = Reader(self.av, self.path, choice, self.name)
        else:
            extension = os.path.splitext(choice)[1].lower()
            try:
                with open(choice, "rb") as f:
                    data = f.read()
            except OSError as e:
                data = None
                failed = e.strerror or str(e)
            # A text file's bytes as UTF-8; any other (a bitmap stream's
            # file, such as PGS's .sup) as they are.
            if data is not None and extension in FILE_FORMATS:
                data, utf8 = as_utf8(data)
                if not utf8:
                    self.note("%s: not UTF-8: each byte that is not is read as Latin-1"
                              % choice)
            reader = Reader(self.av, io.BytesIO(data or b""), None, choice,
                            FILE_FORMATS.get(extension))
            if data is None:
                reader.stop()
                reader.failed = failed
        return Shown(reader, self.label(choice))

    def _library(self):
        if self.library is None:
            self.library, self.default_only = new_library(self.fonts)
        return self.library

    def draw(self, planes, layout, width, height, colours, shown, seconds):
        """The planes (as in _colour's `layout`) of a frame of width x
        height, whose colours are `colours`, shown as a picture of `shown`
        (w, h) in the window, `seconds` into the stream's time line, with
        the subtitles of that moment drawn: new planes where any are drawn,
        else the same."""
        with self.lock:
            choice = self.choice.wanted
            if choice is None:
                return planes
            current = self.shown.get(choice)
            if current is None:
                current = self.shown[choice] = self._open(choice)
            if isinstance(choice, str):
                seconds -= self.origin
            seconds -= self.delay
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
        if current.track is None:
            if reader.bitmap:
                current.track = BitmapTrack(reader)
            elif reader.header is not None:
                current.track = TextTrack(self._library(), reader.header)
            else:
                # Not open yet: nothing read.
                return planes
        current.track.add(new)
        matrix = colour.WEIGHTS.get(colours.matrix, colour.WEIGHTS[colour.BT601])
        full = colours.levels == colour.FULL
        return current.track.draw(planes, layout, width, height, matrix, full, shown, seconds)

    def _messages(self):
        """libass's warnings: the first of each drawing (the others are
        most often more words on the same trouble)."""
        if self.library is not None:
            messages = [m.strip() for m in self.library.messages()
                        if not (self.default_only and DEFAULT_FONT_USED in m)]
            if messages:
                self.note("subtitles: %s" % messages[0])


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
        raise BadInput("%s: stream %d is not a subtitle stream (it has none)" % (name, stream),
                       argument="subtitle_stream")
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


__all__ = ["Subtitles", "open_subtitles", "Reader", "side_file", "as_utf8"]
