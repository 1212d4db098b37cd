"""Which subtitles a video shows: its subtitle streams, and a subtitle file
(one named, or NAME.srt and so on beside the video), one of them at a time
or none."""

import codecs
import os

from brilox.media.frames import BadInput

# A subtitle file beside the video, NAME.srt and so on, found by itself.
SIDE_EXTENSIONS = (".srt", ".ass", ".ssa", ".vtt")
# FFmpeg's demuxer of each subtitle file's extension.
FILE_FORMATS = {".srt": "srt", ".ass": "ass", ".ssa": "ass", ".vtt": "webvtt"}


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


class Choices:
    """The subtitles of a video to choose from: `choices`, the streams'
    indices, then the file's path; `wanted`, the one shown (None: none).
    `container` is the video's file as PyAV opened it (None for a stream
    or raw frames), `name` how errors name it.  `missing`: the subtitle
    file named that is not there."""

    def __init__(self, container, path, name, stream=None, sub_file=None):
        self.streams, self.labels = [], {}
        if container is not None and isinstance(path, str):
            for s in container.streams.subtitles:
                self.streams.append(s.index)
                language = (s.metadata or {}).get("language")
                self.labels[s.index] = "stream %d (%s%s)" % (
                    s.index, s.codec_context.name, ", " + language if language else "")
        if stream is not None and stream not in self.streams:
            raise BadInput("%s: stream %d is not a subtitle stream (%s)" % (
                name, stream, ", ".join("%d" % i for i in self.streams) or "it has none"),
                argument="subtitle_stream")
        self.file = self.missing = None
        if sub_file is not None:
            sub_file = os.fspath(sub_file)
            if os.path.isfile(sub_file):
                self.file = sub_file
            else:
                self.missing = sub_file
        else:
            self.file = side_file(path)
        self.choices = self.streams + ([self.file] if self.file else [])
        if self.file:
            self.labels[self.file] = os.path.basename(self.file)
        # Shown at first: the stream asked for, the file named (where it is
        # there), the stream FFmpeg picks, else a file found beside the video.
        if stream is not None:
            self.wanted = stream
        elif (sub_file is not None and self.file) or not self.streams:
            self.wanted = self.file
        else:
            self.wanted = self._best(container)

    def _best(self, container):
        try:
            best = container.streams.best("subtitle")
        except (AttributeError, TypeError, ValueError):
            best = None
        return best.index if best is not None and best.index in self.streams \
            else self.streams[0]

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
