"""Raw frames, one after another with no header, from a file (any frame at
any time) or from a stream such as standard input (in order, the last few
kept so that stepping back works on them).

Four layouts are known without FFmpeg's libraries (the packed two at even
widths only); any other pixel format FFmpeg knows is read with FFmpeg's raw
video decoder and converted by its scaler.  Frames lie as FFmpeg writes
them, every row unpadded and chroma rounded up for odd sizes."""

import os
import stat
import sys

from brilox.media.frames import (UYVY, YUY2, YV12, BadInput, Frames, check_size,
                                frame_planes, history_for, load_av, overlay_target)

# name: (FFmpeg's name, overlay format, where Y, U and V are in the file)
BUILT_IN = {
    "i420": ("yuv420p", YV12, (0, 1, 2)),
    "yv12": ("yuv420p", YV12, (0, 2, 1)),
    "yuy2": ("yuyv422", YUY2, (0,)),
    "uyvy": ("uyvy422", UYVY, (0,)),
}
# FFmpeg's names for the same layouts; yuv420p is i420's order, not yv12's.
BUILT_IN.update({layout[0]: layout for name, layout in list(BUILT_IN.items()) if name != "yv12"})
BUILT_IN["yuvj420p"] = ("yuvj420p", YV12, (0, 1, 2))

# File name extensions that mean raw frames even without a size or format.
EXTENSIONS = {".yuv", ".raw", ".rgb", ".i420", ".yv12", ".yuy2", ".uyvy", ".nv12", ".nv21"}


def ffmpeg_plane_sizes(av, name, width, height):
    """The byte length of each plane of a width x height frame in FFmpeg's
    pixel format `name`, rows unpadded: what FFmpeg's raw video writes.

    A plane's row is its widest sample step times its width in samples;
    a plane holding chroma has the chroma width (rounded up), planes 1 and
    2 the chroma height.  The step comes from a frame allocated at a width
    that every row alignment divides."""
    try:
        layout = av.VideoFormat(name)
    except (ValueError, TypeError):
        raise BadInput.naming("format", "", " %s: no such pixel format" % name) from None
    if layout.is_bit_stream or layout.has_palette:
        raise BadInput.naming("format", "",
                              " %s: raw frames of this format are not supported" % name)
    wide = 4096
    try:
        probe = av.VideoFrame(wide, 16, name)
    except Exception:
        raise BadInput.naming("format", "",
                              " %s: not a layout of raw frames in memory" % name) from None
    at_wide, at_size = av.VideoFormat(name, wide, 16), av.VideoFormat(name, width, height)
    sizes = []
    for p, plane in enumerate(probe.planes):
        chroma = any(c.is_chroma for c in layout.components if c.plane == p)
        step = plane.line_size // (at_wide.chroma_width() if chroma else wide)
        row = step * (at_size.chroma_width() if chroma else width)
        sizes.append(row * (at_size.chroma_height() if p in (1, 2) else height))
    return sizes


class Layout:
    """How one raw frame lies in the input and what the overlay gets of it."""

    def __init__(self, name, width, height):
        check_size(width, height)
        self.name, self.size = name, (width, height)
        self.decoder = None
        # Packed frames of an odd width go through the scaler (overlay_target).
        if name in BUILT_IN and overlay_target(BUILT_IN[name][0], width)[1] == BUILT_IN[name][1]:
            self.pix_fmt, self.overlay_format, self.order = BUILT_IN[name]
            cw, ch = (width + 1) // 2, (height + 1) // 2
            self.sizes = ((width * height, cw * ch, cw * ch) if self.overlay_format == YV12
                          else (4 * cw * height,))
        else:
            what = "format %s" % name
            if name in BUILT_IN:
                name, what = BUILT_IN[name][0], what + " at an odd width"
            av = self.av = load_av(what, "format")
            # One packet for the decoder: the frame in one piece.
            self.sizes = (sum(ffmpeg_plane_sizes(av, name, width, height)),)
            self.decoder = av.CodecContext.create("rawvideo", "r")
            self.decoder.width, self.decoder.height = width, height
            self.decoder.pix_fmt = name
            self.pix_fmt, self.overlay_format = overlay_target(name, width)
        self.full_range = self.pix_fmt == "yuvj420p"
        self.frame_length = sum(self.sizes)

    def planes(self, read):
        """The overlay's planes of a frame read as `sizes`."""
        if self.decoder is None:
            return tuple(read[i] for i in self.order)
        frame = self.decoder.decode(self.av.Packet(read[0]))[0]
        return frame_planes(frame, self.pix_fmt, *self.size)


def read_planes(stream, sizes):
    """The next frame of a stream as its planes, and how many bytes were read
    (short of a whole frame only at the end)."""
    planes, got = [], 0
    for size in sizes:
        data = stream.read(size)
        got += len(data)
        if len(data) < size:
            return None, got
        planes.append(data)
    return tuple(planes), got


class RawFrames(Frames):
    """What raw files and streams have in common."""

    count = None
    truncated = None

    def __init__(self, stream, name, layout, period):
        self.stream, self.name, self.layout, self.period = stream, name, layout, period
        self.size, self.overlay_format = layout.size, layout.overlay_format
        self.full_range = layout.full_range

    def problem(self):
        if self.truncated is None:
            return None
        return "last frame cut short (%d of %d bytes), skipped" % (
            self.truncated, self.layout.frame_length)

    def close(self):
        if self.stream is not sys.stdin.buffer:
            self.stream.close()


class FileFrames(RawFrames):
    """The frames of a raw file, any of which can be read at any time."""

    seekable = True

    def __init__(self, stream, name, layout, period, count, loop):
        super().__init__(stream, name, layout, period)
        self.count, self.loop = count, loop
        self.length = count * period
        self.path = name

    def again(self):
        """The same file's frames, opened once more, played once."""
        return FileFrames(open(self.name, "rb"), self.name, self.layout, self.period,
                          self.count, False)

    def position(self, index):
        return index % self.count if self.loop else index

    def get(self, index):
        index = self.position(index)
        if not 0 <= index < self.count:
            return None
        self.stream.seek(index * self.layout.frame_length)
        return self.layout.planes(read_planes(self.stream, self.layout.sizes)[0])


class StreamFrames(RawFrames):
    """Frames read in order from a stream.  The last few are kept, so that
    stepping back works on them."""

    def __init__(self, stream, name, layout, period):
        super().__init__(stream, name, layout, period)
        self.read = 0
        self.ended = False
        self.history = history_for(layout.frame_length)
        self.kept = self.history.maxlen

    def get(self, index):
        while self.read <= index and not self.ended:
            planes, got = read_planes(self.stream, self.layout.sizes)
            if planes is None:
                # A clean end leaves nothing over; anything else is a frame
                # cut short.
                if got:
                    self.truncated = got
                self.ended = True
                break
            self.history.append((self.read, self.layout.planes(planes)))
            self.read += 1
        for number, planes in self.history:
            if number == index:
                return planes
        return None

    def last(self, index):
        """The last frame, once the stream has been read to its end."""
        return self.history[-1][0] if self.ended and self.history else None


def open_raw(path, fmt, size, fps, loop):
    """The raw frames of a file, or of standard input for "-"; refuses bad
    input with BadInput before any window opens (a stream's first frame is
    read here for that reason)."""
    layout = Layout(fmt, *size)
    width, height = size
    frame, period = layout.frame_length, 1.0 / fps
    if path == "-":
        name, stream = "standard input", sys.stdin.buffer
    else:
        name = path
        try:
            stream = open(name, "rb")
        except FileNotFoundError:
            raise BadInput("%s: no such file" % name) from None
        except OSError as e:
            raise BadInput("%s: %s" % (name, e.strerror)) from None
        info = os.fstat(stream.fileno())
        if stat.S_ISREG(info.st_mode):
            count, over = divmod(info.st_size, frame)
            if over:
                stream.close()
                raise BadInput(
                    "%s: %d bytes is not a whole number of %dx%d %s frames of %d bytes: "
                    "%d bytes over %d frames (%d short of %d)"
                    % (name, info.st_size, width, height, fmt, frame, over, count,
                       frame - over, count + 1))
            if count == 0:
                stream.close()
                raise BadInput("%s: the file is empty" % name)
            return FileFrames(stream, name, layout, period, count, loop)
    if loop:
        if stream is not sys.stdin.buffer:
            stream.close()
        raise BadInput.naming("loop", "%s: " % name,
                              " needs a file; a stream cannot be played again")
    source = StreamFrames(stream, name, layout, period)
    if source.get(0) is None:
        got = source.truncated or 0
        source.close()
        raise BadInput("%s: no whole %dx%d %s frame (%d of %d bytes)"
                       % (name, width, height, fmt, got, frame))
    return source
