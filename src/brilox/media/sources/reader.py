"""The one way into a file through FFmpeg's libraries (PyAV): open it,
choose a stream, seek, demux, decode and close.  Every source of pictures,
the sound, the waveform and the subtitle reader stand on it, each on an
opening of the file of its own.

A Reader reads one stream at a time.  Its packets (`packets`) and the
frames decoded from them (`frames`) are generators over PyAV's demuxer,
started again by each seek; both are closed, not dropped, when they go:
PyAV's demuxer frees the packet it reads into only when it runs to its end
or is closed, and a paused decoding generator holds its last frames until
the collector finds it.

A packet that fails to decode is skipped, and so is a frame its decoder
marks as corrupt (one that needs a frame lost to damage, up to the next
key frame where the codec needs one): the stream reads on.  So does the
demuxer after an error mid-file, from a fresh demuxing of the same
opening, until DEMUX_RETRIES errors come with no packet between them.
`hurt` tells the reader's user where frames were skipped last, until it
clears it.

A VP8 or VP9 stream whose alpha travels beside the picture (tagged
alpha_mode 1) is decoded, where the reader is asked for `alpha`, by
libvpx: FFmpeg's own decoders of those codecs drop the alpha."""

from brilox.media.frames import BadInput

# The container's attribute holding the streams of each kind.
KINDS = {"video": "video", "audio": "audio", "subtitle": "subtitles"}
# A stream's disposition flags: the default stream of its kind, and a
# picture attached to the sound (cover art).
DEFAULT, ATTACHED_PIC = 0x1, 0x400
# Demuxing errors in a row, with no packet read between them, after which
# the file is taken to end there (the last error is the caller's).
DEMUX_RETRIES = 32


def attached_picture(stream):
    """Whether a video stream is a picture attached to the sound (cover
    art).  PyAV before stream dispositions: a still image codec without a
    frame rate."""
    disposition = getattr(stream, "disposition", None)
    try:
        # A flag enumeration in some PyAV versions, a number in others.
        return bool(int(getattr(disposition, "value", disposition)) & ATTACHED_PIC)
    except (TypeError, ValueError):
        return (stream.codec_context.name in ("mjpeg", "png", "bmp", "gif", "webp")
                and not stream.average_rate)


# FFmpeg's libvpx decoder of each codec that carries alpha beside the picture.
ALPHA_DECODERS = {"vp8": "libvpx", "vp9": "libvpx-vp9"}


def tagged_alpha(stream):
    """Whether a VP8 or VP9 stream says its alpha travels beside the picture."""
    metadata = getattr(stream, "metadata", None) or {}
    return (stream.codec_context.name in ALPHA_DECODERS
            and str(metadata.get("alpha_mode", metadata.get("ALPHA_MODE", ""))) == "1")


def marked_default(stream):
    """Whether the file marks a stream as the default of its kind."""
    disposition = getattr(stream, "disposition", None)
    try:
        return bool(int(getattr(disposition, "value", disposition)) & DEFAULT)
    except (TypeError, ValueError):
        return False


def chapters(container, origin=0.0):
    """The file's chapters as (start, end, title) in seconds, counted from
    `origin` (the time of the stream's first frame), title "" where it has
    none; [] where it has none, or where PyAV cannot tell them."""
    try:
        told = container.chapters()
    except (AttributeError, TypeError, ValueError):
        # A PyAV with no reading of chapters.
        return []
    out = []
    for chapter in told:
        try:
            base = chapter["time_base"]
            start, end = float(chapter["start"] * base), float(chapter["end"] * base)
        except (KeyError, TypeError, ValueError, ZeroDivisionError):
            continue
        title = (chapter.get("metadata") or {}).get("title") or ""
        out.append((max(0.0, start - origin), max(0.0, end - origin), str(title)))
    return sorted(out, key=lambda chapter: chapter[0])


class Reader:
    """One opening of a file (a path, or a binary file object) through
    PyAV.  `name` is how errors name the input; `format` forces FFmpeg's
    demuxer.  BadInput where the file cannot be opened, or with `refuse`
    False FFmpeg's own error (for a second opening of a file that opened
    once, whose failure the caller says as its own).  `pictures` False: the
    opening reads no picture, and FFmpeg's look at the file on opening
    decodes none either (which at 1080p H.264 costs a tenth of a second)."""

    def __init__(self, av, source, name, format=None, refuse=True, pictures=True, alpha=False):
        self.av, self.source, self.name, self.format = av, source, name, format
        self.refuse, self.pictures, self.alpha = refuse, pictures, alpha
        self.container = self.stream = None
        # The decoder of the stream read where it is not the stream's own
        # (libvpx, for its alpha), else None.
        self.decoder = None
        self.packets = self.frames = None
        # Packets of the stream read whose timestamp is below this (in its
        # time base) decode only as far as other frames need them.
        self.skip_below = None
        # Every packet so decoded, while play is behind the clock.
        self.hurry = False
        self._skipping = False
        # Seconds into the stream where decoding last failed (None: never
        # since the reader's user last looked), and the last packet's time.
        # Decoding threads give frames some packets late: frames given
        # after a failure may still come from before it.
        self.hurt = self._reached = None
        self._open()

    def _open(self):
        options = {"format": self.format} if self.format else {}
        if not self.pictures:
            # Only the probe of the pictures is cut short: sound decoders
            # heed no skip_frame.
            options["options"] = {"skip_frame": "all"}
        try:
            try:
                # Metadata that is not UTF-8 (a damaged header's) is read
                # with its bad bytes replaced, not refused.
                self.container = self.av.open(self.source, metadata_errors="replace",
                                              **options)
            except TypeError:
                # A PyAV that takes no such option.
                self.container = self.av.open(self.source, **options)
        except (self.av.FFmpegError, OSError, UnicodeDecodeError) as e:
            if not self.refuse:
                raise
            raise BadInput("%s: %s" % (self.name, getattr(e, "strerror", None) or e)) from None

    def streams(self, kind):
        """The file's streams of `kind`: "video", "audio" or "subtitle"."""
        return list(getattr(self.container.streams, KINDS[kind]))

    def choose(self, kind, index=None, argument=None):
        """The stream of `kind` with this index, or where `index` is None the
        one FFmpeg picks.  BadInput naming `argument` (the caller's name for
        the index) where the file has no such stream."""
        streams = self.streams(kind)
        if index is not None:
            for stream in streams:
                if stream.index == index:
                    return stream
            raise BadInput("%s: stream %d is not %s %s stream (%s)" % (
                self.name, index, "an" if kind == "audio" else "a", kind,
                ", ".join("%d" % s.index for s in streams) or "it has none"),
                argument=argument)
        if not streams:
            raise BadInput("%s: no %s stream" % (self.name, kind))
        try:
            return self.container.streams.best(kind) or streams[0]
        except (AttributeError, TypeError, ValueError):
            # PyAV before best(): a stream the file marks as its default
            # first, as FFmpeg picks; then as FFmpeg's own tool picks, the
            # largest picture that is not cover art, or the most channels.
            if kind == "video":
                return max(streams, key=lambda s: (marked_default(s), not attached_picture(s),
                                                   s.codec_context.width
                                                   * s.codec_context.height))
            if kind == "audio":
                return max(streams, key=lambda s: (marked_default(s), getattr(
                    s.codec_context, "channels", 0) or 0))
            return max(streams, key=marked_default)

    def read(self, stream):
        """Reads `stream` on from where the file stands."""
        self._stop()
        if stream is not self.stream:
            self.decoder = self._alpha_decoder(stream) if self.alpha else None
        self.stream = stream
        self.packets = self.container.demux(stream)
        self.frames = self._decoded()
        self.hurt = self._reached = None
        # The decoder may still skip from the last read: the first packet
        # sets it either way.
        self._skipping = None

    def _alpha_decoder(self, stream):
        """libvpx's decoder for a stream with alpha beside its picture, on
        the stream's threads; None for any other stream, or where the
        libraries have no libvpx."""
        if not tagged_alpha(stream):
            return None
        try:
            decoder = self.av.CodecContext.create(ALPHA_DECODERS[stream.codec_context.name], "r")
        except (self.av.FFmpegError, ValueError):
            return None
        decoder.thread_type = stream.codec_context.thread_type
        return decoder

    def _decoded(self):
        """The frames of the packets read.  Below `skip_below` (a timestamp,
        the line of a seek) the decoder skips the frames that no other frame
        refers to: the caller neither shows nor keeps any frame below it.
        Frames come in the order they are shown, so none below the line
        follows one above it."""
        context = self.stream.codec_context if self.decoder is None else self.decoder
        for packet in self._demuxed():
            if packet.pts is not None:
                self._reached = packet.pts
            skip = self.hurry or (self.skip_below is not None and packet.pts is not None
                                  and packet.pts < self.skip_below)
            if skip != self._skipping:
                try:
                    context.skip_frame = "NONREF" if skip else "DEFAULT"
                except (AttributeError, TypeError, ValueError):
                    # A PyAV that cannot tell the decoder to skip: every
                    # frame is decoded.
                    pass
                self._skipping = skip
            try:
                frames = packet.decode() if self.decoder is None else context.decode(packet)
            except self.av.FFmpegError:
                self._hurt(packet.pts)
                continue
            for frame in frames:
                if getattr(frame, "is_corrupt", False):
                    self._hurt(frame.pts)
                    continue
                yield frame

    def _demuxed(self):
        """The packets of the stream read, demuxed on past errors."""
        failed = 0
        while True:
            try:
                for packet in self.packets:
                    failed = 0
                    yield packet
                return
            except EOFError:
                return
            except self.av.FFmpegError:
                failed += 1
                if failed > DEMUX_RETRIES:
                    raise
                self._hurt(self._reached)
                self.packets = self.container.demux(self.stream)

    def _hurt(self, pts):
        pts = self._reached if pts is None else pts
        time_base = self.stream.time_base
        at = float(pts * time_base) if pts is not None and time_base else 0.0
        self.hurt = at if self.hurt is None else max(self.hurt, at)

    def next_frame(self):
        """The next decoded frame of the stream read, or None at its end.
        FFmpeg's errors are the caller's to judge (av.FFmpegError)."""
        return next(self.frames, None)

    def seek(self, seconds, reopen=False, file_time=False):
        """Reads on from the key frame at or before `seconds` of the stream
        read (of the file's own time line with `file_time`).  Where the
        container refuses to seek (as a raw elementary stream does), the
        file is read on from where it stands, or with `reopen` from its
        start, opened again.  Whether it sought."""
        stream = self.stream
        self._stop()
        try:
            if file_time:
                self.container.seek(int(seconds * 1e6), backward=True)
            else:
                self.container.seek(int(seconds / stream.time_base), backward=True,
                                    any_frame=False, stream=stream)
            sought = True
            if self.decoder is not None:
                self.decoder.flush_buffers()
        except self.av.FFmpegError:
            sought = False
            if reopen:
                self.reopen()
                return False
        self.read(stream)
        return sought

    def reopen(self):
        """Opens the file again and reads the same stream from its start."""
        index = self.stream.index if self.stream is not None else None
        self.close()
        self._open()
        if index is not None:
            self.read(next(s for s in self.container.streams if s.index == index))

    def _stop(self):
        if self.frames is not None:
            self.frames.close()
        if self.packets is not None:
            self.packets.close()
        self.packets = self.frames = None

    def close(self):
        self._stop()
        if self.container is not None:
            self.container.close()
            self.container = None
        self.stream = self.decoder = None
