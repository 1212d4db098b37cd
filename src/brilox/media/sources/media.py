"""Media files (anything FFmpeg reads: mp4, mkv, webm, ...) decoded by
FFmpeg's libraries through PyAV, with FFmpeg's own decoding threads.

Frames come in order; the last few are kept, so that stepping back works on
them.  In a file, a frame that is not kept is sought: FFmpeg seeks to the
key frame before it and decodes from there; where the container lands
after the frame (as in MPEG-TS), it seeks again further back.  A file the
container cannot seek in is decoded on from where it stands.  Each frame
lasts until the next one's presentation timestamp, and after a seek is
numbered by it.  A looping file is opened again at its end.

A seek lands exactly on its frame, and fast: from the key frame up to a few
frames before it, the frames are decoded (by FFmpeg's threads) but neither
converted nor kept, and those no other frame refers to are not decoded at
all.  The key frame the decoder starts from can be had first (glimpse), to
be shown while the decoder runs on to the frame sought (land).

Damage is skipped (the reader's): the frames after it are numbered on
from their timestamps, so that the frames skipped leave a gap in the
numbers, which `following` steps over; their count is `skipped`, and each
stretch is said once through `damage`."""

import collections
import sys
import time
import warnings

from brilox.media.notes import PictureWarning
from brilox.media.sources import waveform
from brilox.media.sources.damage import QUIET, Damage
from brilox.media.sources.reader import Reader, attached_picture, chapters, tagged_alpha
from brilox.media.frames import DEEP, FILE_KEPT_BYTES, FULL_RANGE, STREAM_KEPT_BYTES, BadInput, \
    Frames, check_size, frame_planes, history_for, load_av, overlay_target, rotation_of, \
    turn_of, turned_size

# A frame's time when the file tells none: its frame rate, or else this.
FALLBACK_FPS = 30.0
# A frame further ahead than this (in seconds) is sought rather than decoded to.
SEEK_AHEAD = 2.0
# How many times a seek that lands after its frame is made again, each time
# twice as far back as the last, from SEEK_AHEAD on.
SEEK_RETRIES = 4
# After a seek, this many frames before the one sought are decoded in full
# and kept, for stepping back; those before them are decoded only as far as
# the frames after them need.
SEEK_KEEP = 8


class StillPicture(Exception):
    """The file's picture is a still held for its sound (cover art)."""


class MediaFrames(Frames):
    """The video frames of a media file or stream."""

    truncated = None
    # A frame's duration is the time to the next: that one is decoded too.
    reads_ahead = 1
    # Where set, whether another pass follows this one's end (another clip,
    # or this file from a later start): a looping file then ends there.
    followed = None

    def __init__(self, av, path, name, loop, autorotate=True, video_stream=None,
                 audio_stream=None, alpha=False):
        self.av, self.path, self.name, self.loop = av, path, name, loop
        # Each frame kept whole, as decoded, alpha and all (a surface's
        # frames), rather than as the overlay's planes.
        self.alpha = alpha
        self.autorotate = autorotate
        self.video_stream, self.audio_stream = video_stream, audio_stream
        self.seekable = isinstance(path, str)
        self.error = None
        # (frames read, frames promised) where the stream ended early.
        self.short = None
        self.read = 0
        self.passes, self.pass_length = 0, 0.0
        self.ended = False
        # The frames skipped as damaged, and the stretches to say.
        self.skipped, self.damage = 0, Damage()
        self._open()
        try:
            first = self._next()
            if first is None:
                raise BadInput("%s: no video frame%s" % (
                    name, ": " + self.error if self.error else ""))
            check_size(first.width, first.height)
        except BaseException:
            self.close()
            raise
        self.stored = (first.width, first.height)
        self.has_alpha = tagged_alpha(self.stream) or has_alpha(first.format)
        # Turned upright as the stream's display matrix says, in yuv420p.
        self.turn = self._turn(first) if autorotate else (0, False)
        self.size = turned_size(self.stored, self.turn)
        self.pix_fmt, self.overlay_format = overlay_target(
            "yuv420p" if self.turn != (0, False) and not first.format.name.startswith("yuvj")
            else first.format.name, first.width)
        # Frames of 10 or 12 bits go to the pipeline as they are, upright.
        self.deep = DEEP.get(first.format.name) if self.turn == (0, False) else None
        if self.deep:
            self.pix_fmt = first.format.name
        sample_aspect = self.stream.sample_aspect_ratio
        if sample_aspect and sample_aspect > 0:
            self.sample_aspect = 1 / sample_aspect if self.turn[0] % 2 else sample_aspect
        if self.stream.frames > 0 and not loop:
            self.count = self.stream.frames
        rate = self.stream.average_rate or self.stream.guessed_rate
        self.period = 1.0 / float(rate) if rate else 1.0 / FALLBACK_FPS
        # A file seeks back to a frame it no longer keeps: it keeps fewer.
        # (Deep frames' samples take two bytes each.)
        self.history = history_for((4 if self.deep else 2) * first.width * first.height,
                                   FILE_KEPT_BYTES if self.seekable else STREAM_KEPT_BYTES)
        self.kept = None if self.seekable else self.history.maxlen
        self.length = self._length()
        self._keep(first)
        self.good = first.time
        self.chapters = chapters(self.container, self.start or 0.0)

    def _turn(self, frame):
        """How to turn frames upright, by the first frame's display matrix:
        (quarter turns clockwise, mirrored first).  A matrix that is no
        quarter turn is said, and the video shown unturned."""
        try:
            matrix = bytes(frame.side_data["DISPLAYMATRIX"])
        except (AttributeError, KeyError, TypeError, ValueError):
            return (0, False)
        if len(matrix) < 36:
            return (0, False)
        turn = turn_of(matrix)
        if turn is None:
            warnings.warn("%s: the display matrix turns the video by %.0f degrees, not a "
                          "quarter turn: shown unturned" % (self.name, rotation_of(matrix)),
                          PictureWarning, stacklevel=2)
            return (0, False)
        return turn

    def _length(self):
        if self.stream.duration and self.stream.time_base:
            return float(self.stream.duration * self.stream.time_base)
        if self.container.duration:
            return self.container.duration / 1e6
        return None

    @property
    def container(self):
        """The file as PyAV opened it (the subtitles find their streams there)."""
        return self.reader.container

    def _open(self):
        self.reader = Reader(self.av, self.path, self.name, alpha=self.alpha)
        try:
            self.stream = self.reader.choose("video", self.video_stream, "video_stream")
            if attached_picture(self.stream) and self.video_stream is None:
                raise StillPicture()
            # The pictures that can be played instead (not cover art), where
            # the file can be opened again for them.
            self.video_streams = [s.index for s in self.reader.streams("video")
                                  if not attached_picture(s) and self.seekable] \
                or [self.stream.index]
            # The sound: its streams where the file can be opened again for it.
            self.audio_streams = [s.index for s in self.reader.streams("audio")]
            self.audio_index = (
                self.reader.choose("audio", self.audio_stream, "audio_stream").index
                if self.audio_streams and self.seekable else None)
        except (BadInput, StillPicture):
            self.reader.close()
            raise
        self.stream.thread_type = "AUTO"
        self.line = self.reader.skip_below = None
        self.reader.read(self.stream)
        self.start = self.good = None
        # Frames are numbered by their timestamps once the decoder skipped
        # some to keep time; the times of the last key frames decoded.
        self.timed = False
        self.keys = collections.deque(maxlen=2)

    def _shut(self):
        self.reader.close()

    def _next(self):
        """The next decoded frame, or None at the end or on an error, which
        is kept for the report."""
        try:
            return self.reader.next_frame()
        except self.av.FFmpegError as e:
            self.error = "decoding stopped: %s" % (e.strerror or e)
            return None

    def _take(self, frame):
        """Keeps a decoded frame, or below the line of a seek only counts
        it, by its timestamp (the frames before it may have been skipped)."""
        self._mend(frame)
        if self.line is not None and frame.time is not None and self.start is not None:
            number = self._base() + max(0, round((frame.time - self.start) / self.period))
            if number < self.line:
                self.read = number + 1
                return False
            # Kept from here on, numbered on from this frame's timestamp.
            self.line = self.read = None
        self._keep(frame)
        return True

    def _mend(self, frame):
        """After frames skipped as damaged (the reader's `hurt`), numbers on
        from this frame's timestamp, and counts and tells the gap."""
        time, good, self.good = frame.time, self.good, frame.time
        if time is None or self.start is None:
            return
        hurt = self.reader.hurt
        if hurt is None:
            self.damage.passed(time - self.start)
            return
        if time > hurt + QUIET:
            self.reader.hurt = None
        if good is None or self.read is None:
            return
        frames = round((time - good) / self.period) - 1
        if frames > 0:
            self.read = max(self.read, self._base() + round((time - self.start) / self.period))
            self.skipped += frames
            self.damage.skipped("picture", good + self.period - self.start, frames * self.period)

    def _keep(self, frame):
        time = frame.time
        if time is not None:
            if self.start is None:
                self.start = time
            if self.timed and self.read is not None:
                self.read = max(self.read,
                                self._base() + round((time - self.start) / self.period))
            if getattr(frame, "key_frame", False):
                self.keys.append(time)
            # After a seek, the number follows from the timestamp.
            if self.read is None:
                self.read = self._base() + max(0, round((time - self.start) / self.period))
            # Each pass through a looping file comes after the one before.
            time += self.passes * self.pass_length - self.start
        elif self.read is None:
            self.read = self.sought
        planes, full_range, space = self._planes(frame)
        if not self.history:
            self.full_range, self.space = full_range, space
        self.history.append((self.read, planes, time, full_range, space))
        self.read += 1

    def _planes(self, frame):
        """A frame's planes in the overlay's pixel format, as stored (the
        pipeline turns them upright), and its range and colour space (a
        stream may change them part way; each frame keeps its own)."""
        full_range = (frame.format.name if self.alpha else self.pix_fmt).startswith("yuvj") \
            or getattr(frame, "color_range", 0) == FULL_RANGE
        planes = (frame,) if self.alpha else frame_planes(frame, self.pix_fmt, *self.stored)
        return planes, full_range, getattr(frame, "colorspace", None)

    def _check_end(self):
        """At the end of the stream: where the file promised more frames than
        came (a file cut short, or broken), it ended early, and its frame
        count and length become what came."""
        if self.loop or self.short or not self.history or self.history[-1][0] != self.read - 1:
            return
        got = self.read - self._base()
        last = self.history[-1][2]
        end = last + self.period if last is not None else got * self.period
        promised = self.count
        # A length is a promise only where it is the video's own: another
        # stream of the file may well go on longer.
        own_length = self.stream.duration or len(self.container.streams) == 1
        if not promised and self.length and own_length:
            promised = round(self.length / self.period)
        if promised and got < promised - max(2, 0.5 / self.period):
            self.short = (got, promised)
            self.count = got
            self.length = end

    def _wrap(self):
        """Opens a looping file again; whether there is more to play."""
        if not self.loop or self.error or self.read == 0 or (self.followed and self.followed()):
            return False
        if not self.count:
            self.count = self.read
            last = self.history[-1][2]
            self.pass_length = (last + self.period if last is not None
                                else self.count * self.period)
        self._shut()
        self.passes += 1
        self._open()
        return True

    def position(self, index):
        return index % self.count if self.loop and self.count else index

    def _base(self):
        """The number of the first frame of the current pass."""
        return self.passes * (self.count or 0) if self.loop else 0

    def _seek(self, index, back=0.0, hurry=True):
        """Decodes on from the key frame at or before the time of frame
        `index`, less `back` seconds.  Returns how far back to seek again
        should it land after the frame: None once it went before the start
        of the stream or SEEK_RETRIES times, or where the container refused
        to seek.  `hurry`: the frames well before frame `index` are neither
        kept nor, where no other frame needs them, decoded."""
        # Each pass through a looping file is the same file: a frame is
        # sought in its own pass.
        passes = index // self.count if self.loop and self.count else self.passes
        start = self.start or 0.0
        seconds = (index - passes * (self.count or 0)) * self.period + start - back
        if not self.reader.seek(seconds):
            self._refused()
            return None
        self.passes, self.back, self.aim = passes, back, index
        # The frames from SEEK_KEEP before the one sought are kept (the
        # line: their first number, and its timestamp less half a frame).
        self.line = self.reader.skip_below = None
        if hurry:
            self.line = max(index - SEEK_KEEP, index - self.history.maxlen + 1)
            at = seconds + back - (index - self.line + 0.5) * self.period
            self.reader.skip_below = int(at / self.stream.time_base)
        self.history.clear()
        self.ended = False
        self.read, self.sought, self.good = None, index, None
        further = max(SEEK_AHEAD, 2 * back)
        return further if seconds >= start and further <= SEEK_AHEAD * 2 ** SEEK_RETRIES else None

    def _refused(self):
        """After a seek that the container refused (as in a raw elementary
        stream), only the frames kept can be had again.  The refusal may
        have read the file on: it is opened again and decoded back to where
        it stood."""
        # Those frames are all there is to step back through now: as many
        # as a stream keeps.
        stream = history_for((4 if self.deep else 2) * self.stored[0] * self.stored[1],
                             STREAM_KEPT_BYTES).maxlen
        if stream + self.spare > self.history.maxlen:
            self.history = collections.deque(self.history, maxlen=stream + self.spare)
        self.seekable, self.kept = False, self.history.maxlen - self.spare
        start, stood = self.start, self.read
        self._shut()
        self._open()
        self.start, self.read = start, self._base()
        while stood is not None and self.read < stood and self._next() is not None:
            self.read += 1

    def _must_seek(self, index):
        """Whether frame `index` is had only by a seek: a file's frame that
        is not kept, and not a little way ahead of the frames decoded (nor,
        on the way to a seek's frame, between the line and that frame)."""
        if not self.seekable or self._kept(index) is not None:
            return False
        if self.read is None:
            return True
        ahead = max(1, int(SEEK_AHEAD / self.period))
        if self.line is not None:
            return not self.line <= index <= self.aim + ahead
        return index < (self.history[0][0] if self.history else self.read) \
            or index > self.read + ahead

    def _find(self, index, seconds=None, glimpse=False):
        """Decodes on to frame `index`, seeking where it must, and gives it
        as kept, or None where there is no such frame.  Decoding stops
        short after `seconds`, or for a glimpse once the first frame after
        the seek is decoded (self.glimpsed); the next call goes on."""
        deadline = None if seconds is None else time.perf_counter() + seconds
        back = None
        if self._must_seek(index):
            back = self._seek(index)
        while (self.read is None or self.read <= index) and not self.ended:
            sought = self.read is None
            frame = self._next()
            if frame is None and not sought and self.line is not None:
                # The file ended before the frames to keep: it is shorter
                # than it said.  Its last frame may be one that was skipped:
                # every frame is decoded and kept, from the key frame on.
                back = self._seek(index, self.back, hurry=False)
                continue
            # A seek that finds nothing is not taken for the end of a pass.
            if frame is None and not sought and self._wrap():
                frame = self._next()
            if frame is None:
                self.ended = True
                self.damage.end()
                if not sought:
                    self._check_end()
            elif not self._take(frame) and glimpse:
                self.glimpsed = frame
            # A seek that landed after the frame, or at the end, is made
            # again further back.
            if sought and back and (frame is None or self.read - 1 > index):
                back = self._seek(index, back)
            elif glimpse or (deadline is not None and time.perf_counter() > deadline):
                break
        return self._kept(index)

    def glimpse(self, index):
        """For a seek to frame `index` that decodes from a key frame well
        before it: seeks, and gives (number, planes) of that key frame, to
        be shown while land() decodes on to frame `index`.  None where
        frame `index` is had at once: kept, a little way ahead, or the seek
        landed near it."""
        if index < 0 or not self._must_seek(index):
            return None
        self.glimpsed = None
        self._find(index, glimpse=True)
        frame, self.glimpsed = self.glimpsed, None
        if frame is None:
            return None
        planes, self.full_range, self.space = self._planes(frame)
        return self.read - 1, planes

    def land(self, index, seconds):
        """Decodes on towards frame `index` for about `seconds`; whether
        decoding got there (or to the end): get() then has it at once."""
        self._find(index, seconds)
        return self.ended or (self.read is not None and self.read > index)

    def hurry(self, on):
        """While play is behind the clock, the decoder skips the frames no
        other refers to (get() then has no such frame: following() tells
        the next there is)."""
        self.reader.hurry = on
        self.timed = self.timed or on

    @property
    def key_interval(self):
        """Seconds between the last two key frames decoded, or None."""
        if len(self.keys) < 2 or self.keys[1] <= self.keys[0]:
            return None
        return self.keys[1] - self.keys[0]

    def jump(self, index):
        """Play goes on from the key frame at or before frame `index`,
        decoded with none after it: the index of that key frame, or None
        where the file cannot seek, or the key frame is no further on than
        the frames decoded."""
        if not self.seekable or self.read is None or self.ended:
            return None
        stood = self.read
        if self._seek(index, hurry=False) is None and not self.seekable:
            return None
        self.timed = True
        while self.read is None or not self.history:
            frame = self._next()
            if frame is None:
                self.ended = True
                return None
            self._take(frame)
        landed = self.history[0][0]
        return landed if landed >= stood else None

    def following(self, index):
        """Where frame `index` was skipped (as damaged, or to keep time),
        the first frame kept after it (decoded on to it), else None."""
        if self._find(index) is not None or self.read is None or self.read <= index:
            return None
        return next((kept[0] for kept in self.history if kept[0] > index), None)

    def _kept(self, index):
        for kept in self.history:
            if kept[0] == index:
                return kept
        return None

    def time_of(self, index):
        kept = self._kept(index)
        if kept is None or kept[2] is None:
            return super().time_of(index)
        base = index - self.position(index)
        return kept[2] - (base // self.count * self.pass_length if base else 0)

    def index_at(self, seconds, index):
        base = index - self.position(index)
        local = max(0, round(seconds / self.period))
        if self.count:
            local = min(local, self.count - 1)
        return base + local

    def last(self, index):
        """The last frame of the pass that frame `index` is in, or None if
        the length is not known: found by decoding to the end from a little
        before where it should be."""
        base = index - self.position(index)
        if self.loop and self.count:
            return base + self.count - 1
        if self.length is None and not self.count:
            return None
        guess = self.index_at(self.length or self.count * self.period, index)

        def wrapped():
            """Whether a looping file's first pass wrapped, telling its count."""
            return self.loop and self.count

        if self._find(guess) is None and not wrapped():
            return self.history[-1][0] if self.history else None
        # The guess may fall short of the real end: read on to it.
        while not wrapped() and not self.ended and self._find(guess + 1) is not None:
            guess += 1
        return base + self.count - 1 if wrapped() else guess

    def get(self, index):
        """Frame `index`'s planes, or None; `full_range` then tells the
        frame's range."""
        kept = self._find(index) if index >= 0 else None
        if not kept:
            return None
        self.full_range, self.space = kept[3], kept[4]
        return kept[1]

    def duration(self, index):
        """Seconds from frame `index` to the next, by their timestamps (the
        frame's period for a frame that would have to be sought again, as
        a glimpse is)."""
        if self._must_seek(index):
            return self.period
        this, following = self._find(index), self._find(index + 1)
        if this and not following:
            after = self.following(index + 1)
            following = self._kept(after) if after is not None else None
        if this and following and this[2] is not None and following[2] is not None:
            gap = following[2] - this[2]
            if gap > 0:
                return gap
        return self.period

    def other_stream(self, video_stream):
        """The same file's frames of another video stream, with the same
        sound and settings."""
        return MediaFrames(self.av, self.path, self.name, self.loop, self.autorotate,
                           video_stream, self.audio_index, self.alpha)

    def problem(self):
        said = [self.error] if self.error else []
        if self.short:
            said.append("the file ended early: %d of its %d frames read" % self.short)
        return "; ".join(said) or None

    def close(self):
        self._shut()


# Frames a second of a picture held while the sound plays.
STILL_FPS = 10


class StillFrames(Frames):
    """A file's sound with a picture for its length: its cover art held,
    or where it has none, the waveform of the sound at each frame's time.
    Any frame can be had again."""

    truncated = None
    full_range = False

    def __init__(self, av, path, name, audio_stream):
        self.av, self.path, self.name = av, path, name
        self.period = 1.0 / STILL_FPS
        self.waveform = None
        reader = Reader(av, path, name)
        try:
            self.audio_streams = [st.index for st in reader.streams("audio")]
            audio = reader.choose("audio", audio_stream, "audio_stream")
            self.audio_index = audio.index
            self.start = float(audio.start_time * audio.time_base) \
                if audio.start_time is not None else 0.0
            if audio.duration:
                self.length = float(audio.duration * audio.time_base)
            elif reader.container.duration:
                self.length = reader.container.duration / 1e6
            self.planes = self._cover(reader)
            self.chapters = chapters(reader.container, self.start)
        finally:
            reader.close()
        if self.planes is None:
            self.size = waveform.SIZE
            self.period = 1.0 / waveform.FPS
            self.waveform = waveform.Waveform(av, path, self.audio_index)
        self.pix_fmt, self.overlay_format = overlay_target("yuv420p", self.size[0])
        if self.length:
            self.count = max(1, round(self.length / self.period))

    def _cover(self, reader):
        """The planes of the attached picture, in yuv420p, or None."""
        for stream in reader.streams("video"):
            if not attached_picture(stream):
                continue
            reader.read(stream)
            frame = reader.next_frame()
            if frame is None:
                continue
            check_size(frame.width, frame.height)
            self.size = (frame.width, frame.height)
            self.full_range = frame.format.name.startswith("yuvj")
            fmt = "yuvj420p" if self.full_range else "yuv420p"
            return tuple(bytes(p) for p in frame_planes(frame, fmt, *self.size))
        return None

    def get(self, index):
        if index < 0 or (self.count is not None and index >= self.count):
            return None
        if self.waveform is None:
            return self.planes
        # The sound played may have changed to another of the file's streams.
        if self.waveform.stream_index not in (None, self.audio_index):
            self.waveform.show_stream(self.audio_index)
        # The sound around the middle of the frame's time.
        return self.waveform.planes(self.start + self.time_of(index) + self.period / 2)

    def problem(self):
        return None

    def close(self):
        if self.waveform is not None:
            self.waveform.close()


def has_alpha(pixel_format):
    """Whether frames of an av.VideoFormat carry alpha (yuva420p, rgba, ya8...)."""
    return any(getattr(c, "is_alpha", False) for c in pixel_format.components)


def open_media(path, loop, autorotate=True, video_stream=None, audio_stream=None, alpha=False):
    """The frames of a media file, or of standard input for "-"; refuses bad
    input with BadInput before any window opens (the first frame is decoded
    here for that reason).  `alpha`: each frame is kept whole, its alpha
    too, for a surface (MediaFrames.alpha)."""
    if path == "-":
        if loop:
            raise BadInput.naming("loop", "standard input: ",
                                  " needs a file; a stream cannot be played again")
        return MediaFrames(load_av("standard input"), sys.stdin.buffer, "standard input",
                           False, autorotate, video_stream, audio_stream, alpha)
    av = load_av(path)
    try:
        return MediaFrames(av, path, path, loop, autorotate, video_stream, audio_stream, alpha)
    except StillPicture:
        pass
    except BadInput as e:
        # A file of sound alone: its waveform while it plays.
        if video_stream is not None or not str(e).endswith(": no video stream"):
            raise
    return StillFrames(av, path, path, audio_stream)
