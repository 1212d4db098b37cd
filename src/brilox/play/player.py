"""brilox-play: plays raw YUV video in a window through brilox.overlay.

Usage::

    brilox-play [FILE | -] [--size WxH] [--format FORMAT] [--fps N] [--loop]
                [--window WxH] [--headless] [--frames N] [--screenshot OUT.bmp]

    python -m brilox.play ...          # the same

FILE holds raw frames one after another, with no header: ``--size`` (required
for a file) gives their width and height, ``--format`` their layout:

    i420  planar: Y, then U, then V at half width and half height
    yv12  planar: Y, then V, then U at half width and half height
    yuy2  packed: Y0 U Y1 V for each pair of pixels
    uyvy  packed: U Y0 V Y1 for each pair of pixels

``-`` reads the frames from standard input, for example from ffmpeg::

    ffmpeg -i clip.mp4 -f rawvideo -pix_fmt yuv420p - | brilox-play - --size 1280x720

Without FILE a generated test pattern plays: colour bars, a moving block and
the frame number, at ``--size`` (default 320x240).

The video is scaled to the window (``--window WxH``, by default the video's
size) keeping its aspect ratio, at ``--fps`` frames a second (default 30).
``--loop`` starts a file again at its end.

Keys, read through brilox.key every frame and every few milliseconds
between frames:

    space          pause and resume
    right, left    one frame forward or back while paused; held, they repeat
    escape, q      quit (closing the window, or Ctrl-C, does too)

Stepping back on standard input goes back through the last few frames, which
the player keeps in memory (up to 32 frames or 64 MiB); it cannot go further.

Without an X display (no DISPLAY, or SDL_VIDEODRIVER=dummy), or with
``--headless``, the player runs on SDL's dummy video driver as fast as it
can; the endless test pattern then stops after 300 frames unless
``--frames`` says otherwise.  ``--frames N``
stops after N frames; ``--screenshot OUT.bmp`` saves the last frame shown.

While playing, a status line on standard error shows the frame number, the
frames a second achieved and the upload time per frame: the time
``Overlay.display`` takes to copy a frame in and show it, which for a
software overlay includes SDL's conversion to RGB.  A summary follows at the
end, on standard output, with the screenshot's path if one was saved.

Bad input (a missing file, a file that is not a whole number of frames, an
unknown format, a size the format cannot have) is reported on standard error
with exit status 2, before any window opens.  On standard input, a last frame
cut short is reported and skipped.
"""

import argparse
import collections
import os
import re
import stat
import sys
import time

import brilox.base
import brilox.display as display
import brilox.key as key
from brilox.overlay import Overlay

PROG = "brilox-play"

# SDL's overlay format codes.  The overlay writes the frame's second string
# into plane 2 and its third into plane 1; an IYUV overlay reads U from plane
# 1, a YV12 overlay reads V from plane 1.  So with the matching code, a
# planar file's planes in their own order go in as (first, third, second).
FORMATS = {
    "i420": (0x56555949, True),
    "yv12": (0x32315659, True),
    "yuy2": (0x32595559, False),
    "uyvy": (0x59565955, False),
}

# SDL key codes.
K_ESCAPE, K_SPACE, K_Q, K_RIGHT, K_LEFT = 27, 32, 113, 275, 276
# Held arrows: the first repeat after this many ms, then one every interval.
REPEAT_DELAY, REPEAT_INTERVAL = 300, 40
# How often the keyboard is read while waiting for a frame, in seconds.
KEY_POLL = 0.005

MAX_SIDE = 16384
HEADLESS_PATTERN_FRAMES = 300
STREAM_HISTORY_FRAMES, STREAM_HISTORY_BYTES = 32, 64 << 20


class BadInput(Exception):
    """Input refused before anything is opened: exit status 2."""


# --- frames ----------------------------------------------------------------

def plane_sizes(fmt, width, height):
    """The byte length of each plane of one frame, in file order."""
    if FORMATS[fmt][1]:
        chroma = (width // 2) * (height // 2)
        return (width * height, chroma, chroma)
    return (2 * width * height,)


def check_size(fmt, width, height):
    if width <= 0 or height <= 0:
        raise BadInput("size %dx%d: width and height must be at least 1" % (width, height))
    if width > MAX_SIDE or height > MAX_SIDE:
        raise BadInput("size %dx%d: at most %d a side" % (width, height, MAX_SIDE))
    if FORMATS[fmt][1] and (width % 2 or height % 2):
        raise BadInput("size %dx%d: %s needs an even width and height" % (width, height, fmt))
    if width % 2:
        raise BadInput("size %dx%d: %s needs an even width" % (width, height, fmt))


def overlay_frame(planes):
    """The argument of Overlay.display for a frame's planes in file order."""
    if len(planes) == 1:
        return (planes[0], b"", b"")
    return (planes[0], planes[2], planes[1])


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


class FileFrames:
    """The frames of a raw file, any of which can be read at any time."""

    def __init__(self, stream, name, sizes, count, loop):
        self.stream, self.name, self.sizes = stream, name, sizes
        self.count, self.loop = count, loop
        self.truncated = None

    def position(self, index):
        return index % self.count if self.loop else index

    def get(self, index):
        index = self.position(index)
        if not 0 <= index < self.count:
            return None
        self.stream.seek(index * sum(self.sizes))
        return read_planes(self.stream, self.sizes)[0]


class StreamFrames:
    """Frames read in order from a stream.  The last few are kept, so that
    stepping back works on them."""

    def __init__(self, stream, name, sizes):
        self.stream, self.name, self.sizes = stream, name, sizes
        self.count = None
        self.read = 0
        self.truncated = None
        keep = max(2, min(STREAM_HISTORY_FRAMES, STREAM_HISTORY_BYTES // sum(sizes)))
        self.history = collections.deque(maxlen=keep)

    def position(self, index):
        return index

    def get(self, index):
        while self.read <= index and self.truncated is None:
            planes, got = read_planes(self.stream, self.sizes)
            if planes is None:
                # A clean end leaves nothing over; anything else is a frame
                # cut short.
                if got:
                    self.truncated = got
                break
            self.history.append((self.read, planes))
            self.read += 1
        for number, planes in self.history:
            if number == index:
                return planes
        return None


# Digits 0-9 on a grid of 3 x 5 cells, row by row.
DIGITS = ["111101101101111", "010110010010111", "111001111100111", "111001111001111",
          "101101111001001", "111100111001111", "111100111101111", "111001001001001",
          "111101111101111", "111101111001111"]
# Y, U, V of the bars: white, yellow, cyan, green, magenta, red, blue, black.
BARS = [(235, 128, 128), (210, 16, 146), (170, 166, 16), (145, 54, 34),
        (106, 202, 222), (81, 90, 240), (41, 240, 110), (16, 128, 128)]
BLACK, WHITE = 16, 235


class PatternFrames:
    """The test pattern: colour bars over a black band that holds the frame
    number and a block moving sideways.  Endless."""

    count = None
    truncated = None

    def __init__(self, fmt, width, height):
        self.fmt, self.width, self.height = fmt, width, height
        w = width
        self.bars_height = (height * 2 // 3) & ~1
        band = height - self.bars_height
        self.scale = max(1, min(band // 7, w // 40))
        bar_of = [x * len(BARS) // w for x in range(w)]
        self.bars_luma = bytes(BARS[b][0] for b in bar_of) * self.bars_height
        # Chroma rows, half width: planar formats have one for every two
        # rows, packed ones one for every row.
        planar = FORMATS[fmt][1]
        rows = height // 2 if planar else height
        bars_rows = self.bars_height // 2 if planar else self.bars_height
        neutral = bytes([128]) * (w // 2)
        u, v = (bytes(BARS[b][c] for b in bar_of[0::2]) * bars_rows
                + neutral * (rows - bars_rows) for c in (1, 2))
        self.chroma = (v, u) if fmt == "yv12" else (u, v)

    def position(self, index):
        return index

    def luma(self, index):
        """The luma plane of frame `index`.  The band's rows come in runs of
        identical rows, each made once and repeated."""
        w, s = self.width, self.scale
        band = self.height - self.bars_height
        on, off = bytes([WHITE]) * s, bytes([BLACK]) * s
        text = "%05d" % index
        side = 5 * s
        start = s + 4 * s * 7
        span = w - start - side

        def row(r):
            line = bytearray([BLACK]) * w
            if r is not None:
                cells = [on if DIGITS[int(c)][3 * r + k] == "1" else off
                         for c in text for k in range(3)]
                digits = b"".join(b"".join(cells[i:i + 3]) + off
                                  for i in range(0, len(cells), 3))[:max(0, w - s)]
                line[s:s + len(digits)] = digits
                if span > 0:
                    x = start + (4 * index) % span
                    line[x:x + side] = bytes([WHITE]) * side
            return bytes(line)

        # Black above the digits and block, five runs of s rows through
        # them, and black below.
        runs = [(s, None)] + [(s, r) for r in range(5)] + [(band - 6 * s, None)]
        rows, lines = 0, [self.bars_luma]
        for count, r in runs:
            count = max(0, min(count, band - rows))
            lines.append(row(r) * count)
            rows += count
        return b"".join(lines)

    def get(self, index):
        if index < 0:
            return None
        luma = self.luma(index)
        if FORMATS[self.fmt][1]:
            return (luma,) + self.chroma
        packed = bytearray(2 * len(luma))
        u, v = self.chroma
        if self.fmt == "yuy2":
            packed[0::2], packed[1::4], packed[3::4] = luma, u, v
        else:
            packed[1::2], packed[0::4], packed[2::4] = luma, u, v
        return (bytes(packed),)


def open_source(options):
    """The frames to play; refuses bad input with BadInput before any window
    opens (a stream's first frame is read here for that reason)."""
    fmt, (width, height) = options.format, options.size
    check_size(fmt, width, height)
    if options.file is None:
        return PatternFrames(fmt, width, height), "test pattern"
    sizes = plane_sizes(fmt, width, height)
    frame = sum(sizes)
    if options.file == "-":
        name, stream = "standard input", sys.stdin.buffer
    else:
        name = options.file
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
            return FileFrames(stream, name, sizes, count, options.loop), name
    if options.loop:
        raise BadInput("%s: --loop needs a file; a stream cannot be played again" % name)
    source = StreamFrames(stream, name, sizes)
    if source.get(0) is None:
        got = source.truncated or 0
        raise BadInput("%s: no whole %dx%d %s frame (%d of %d bytes)"
                       % (name, width, height, fmt, got, frame))
    return source, name


# --- playing ---------------------------------------------------------------

def fit(width, height, window_width, window_height):
    """The largest rectangle of the video's shape inside the window, centred."""
    if window_width * height <= window_height * width:
        w, h = window_width, max(1, round(window_width * height / width))
    else:
        w, h = max(1, round(window_height * width / height)), window_height
    return ((window_width - w) // 2, (window_height - h) // 2, w, h)


class Keys:
    """Turns the keyboard state, read each time the player looks, into
    commands: "quit", "pause", and while a right or left arrow is held,
    "next" or "back" on the press and then at the key-repeat pace."""

    def __init__(self, delay_ms, interval_ms):
        self.delay, self.interval = delay_ms / 1000, interval_ms / 1000
        self.before = ()
        self.due = {}

    def commands(self, pressed, now):
        pressed = pressed or ()
        before, self.before = self.before, pressed

        def down(k, state=pressed):
            return k < len(state) and state[k]

        def struck(k):
            return down(k) and not down(k, before)

        out = []
        if struck(K_ESCAPE) or struck(K_Q):
            out.append("quit")
        if struck(K_SPACE):
            out.append("pause")
        for k, command in ((K_RIGHT, "next"), (K_LEFT, "back")):
            if not down(k):
                self.due.pop(k, None)
            elif struck(k):
                out.append(command)
                self.due[k] = now + self.delay if self.delay > 0 else None
            elif self.due.get(k) is not None and now >= self.due[k]:
                out.append(command)
                # A late look at the keys steps once, not once per interval
                # missed.
                self.due[k] += self.interval
                if self.due[k] <= now:
                    self.due[k] = now + self.interval
        return out


class Status:
    """The status line on a terminal, rewritten in place a few times a second;
    elsewhere a line a second, and a line for each key action."""

    def __init__(self, stream, count):
        self.stream, self.count = stream, count
        self.tty = stream.isatty()
        self.every = 0.2 if self.tty else 1.0
        self.shown_at = collections.deque(maxlen=30)
        self.uploads = collections.deque(maxlen=30)
        self.next_at = 0.0
        self.text = ""

    def frame(self, number, upload, now, paused=False):
        self.shown_at.append(now)
        self.uploads.append(upload)
        self.update(number, now, paused)

    def update(self, number, now, paused, force=False):
        times = self.shown_at
        span = times[-1] - times[0] if times else 0.0
        fps = (len(times) - 1) / span if span > 0 else 0.0
        upload = sum(self.uploads) / len(self.uploads) * 1000 if self.uploads else 0.0
        total = "/%d" % self.count if self.count else ""
        self.text = "frame %d%s  %.1f fps  upload %.2f ms%s" % (
            number, total, fps, upload, "  paused" if paused else "")
        if self.tty and (force or now >= self.next_at):
            self.stream.write("\r" + self.text + "\x1b[K")
            self.stream.flush()
            self.next_at = now + self.every
        elif not self.tty and now >= self.next_at:
            self.line(self.text)
            self.next_at = now + self.every

    def event(self, text, number, now, paused):
        if self.tty:
            self.update(number, now, paused, force=True)
        else:
            self.line(text)

    def line(self, text):
        self.stream.write(("\r\x1b[K" if self.tty else "") + text + "\n")
        self.stream.flush()

    def close(self):
        if self.tty and self.text:
            self.stream.write("\n")
            self.stream.flush()


class Summary:
    def __init__(self, frames, seconds, upload_seconds):
        self.frames, self.seconds, self.upload_seconds = frames, seconds, upload_seconds

    @property
    def fps(self):
        return self.frames / self.seconds if self.seconds > 0 else 0.0

    def __str__(self):
        per_frame = self.upload_seconds / self.frames * 1000 if self.frames else 0.0
        share = self.upload_seconds / self.seconds * 100 if self.seconds > 0 else 0.0
        return ("%s: %d frames, %.2f s playing, %.1f fps, upload %.2f ms per frame "
                "(%.0f%% of the time)"
                % (PROG, self.frames, self.seconds, self.fps, per_frame, share))


class Player:
    """Shows frames from a source on an overlay, paced and steered by keys."""

    def __init__(self, source, overlay, keys, status, period, headless):
        self.source, self.overlay, self.keys, self.status = source, overlay, keys, status
        self.period, self.headless = period, headless
        self.index = self.shown = 0
        self.upload = 0.0
        self.paused = False
        self.started = self.due = time.perf_counter()
        self.paused_for = 0.0
        self.paused_at = None

    def playing_time(self, now):
        """Seconds since the first frame, less the time spent paused."""
        paused = self.paused_for + (now - self.paused_at if self.paused else 0.0)
        return now - self.started - paused

    def number(self):
        return self.source.position(self.index)

    def show(self, planes):
        begun = time.perf_counter()
        self.overlay.display(overlay_frame(planes))
        now = time.perf_counter()
        self.upload += now - begun
        self.shown += 1
        display.flip()
        self.status.frame(self.number(), now - begun, now, self.paused)
        # Late by more than a frame (after a pause, say): start the beat
        # again rather than rush to catch up.
        self.due += self.period
        if self.due < now - self.period:
            self.due = now + self.period

    def event(self, text, now):
        self.status.event(text % self.number(), self.number(), now, self.paused)

    def advance(self):
        """Waits for the next frame to show and returns it: the following
        frame when it is due while playing, a step while paused.  None to
        stop.  The keys are read every few milliseconds meanwhile, so that
        a short tap between two frames is not missed."""
        while True:
            display.pump()
            now = time.perf_counter()
            if display.quit_requested():
                # The window's close button, or SIGINT or SIGTERM, which SDL
                # turns into the same request.
                self.event("asked to quit at frame %d", now)
                return None
            step = 0
            for command in self.keys.commands(key.get_pressed(), now):
                if command == "quit":
                    self.event("quit at frame %d", now)
                    return None
                if command == "pause":
                    self.paused = not self.paused
                    if self.paused:
                        self.paused_at = now
                    else:
                        self.paused_for += now - self.paused_at
                    self.event("paused at frame %d" if self.paused
                               else "playing from frame %d", now)
                elif self.paused:
                    step = 1 if command == "next" else -1
            if step:
                planes = self.source.get(self.index + step)
                if planes is not None:
                    self.index += step
                    self.event("stepped to frame %d", now)
                    return planes
            if not self.paused and (self.headless or now >= self.due):
                self.index += 1
                return self.source.get(self.index)
            wait = KEY_POLL if self.paused else min(KEY_POLL, self.due - now)
            time.sleep(wait)


def headless_wanted(options):
    return (options.headless or not os.environ.get("DISPLAY")
            or os.environ.get("SDL_VIDEODRIVER") == "dummy")


def play(options, source, label):
    """Plays `source` until its end, the frame limit or a quit; returns a
    Summary."""
    headless = headless_wanted(options)
    if headless:
        os.environ["SDL_VIDEODRIVER"] = "dummy"
    if options.screenshot:
        # A hardware overlay is shown beside the display surface, not in it.
        os.environ["SDL_VIDEO_YUV_HWACCEL"] = "0"
    limit = options.frames
    if limit is None and headless and options.file is None:
        limit = HEADLESS_PATTERN_FRAMES
    width, height = options.size
    window = options.window or (width, height)

    display.init()
    overlay = player = None
    try:
        display.set_mode(window)
        display.set_caption("%s: %s" % (PROG, label))
        overlay = Overlay(FORMATS[options.format][0], (width, height))
        overlay.set_location(fit(width, height, *window))
        key.set_repeat(REPEAT_DELAY, REPEAT_INTERVAL)
        player = Player(source, overlay, Keys(*key.get_repeat()), Status(sys.stderr, source.count),
                        1.0 / options.fps, headless)
        planes = source.get(0)
        try:
            while planes is not None:
                player.show(planes)
                if limit is not None and player.shown >= limit:
                    break
                planes = player.advance()
        except KeyboardInterrupt:
            # The interrupt may come between putting a frame up and flipping
            # it.  Flip it now: some SDL builds hang freeing an overlay whose
            # frame is still waiting to be shown.
            display.flip()
            player.event("interrupted at frame %d", time.perf_counter())
        summary = Summary(player.shown, player.playing_time(time.perf_counter()), player.upload)
        player.status.close()
        if options.screenshot and player.shown:
            display.save(options.screenshot)
    finally:
        overlay = player = None
        display.quit()
    if source.truncated is not None:
        print("%s: %s: last frame cut short (%d of %d bytes), skipped"
              % (PROG, source.name, source.truncated, sum(source.sizes)), file=sys.stderr)
    return summary


# --- command line -----------------------------------------------------------

def size_argument(text):
    match = re.fullmatch(r"\s*(\d+)\s*[xX]\s*(\d+)\s*", text)
    if not match:
        raise argparse.ArgumentTypeError("%r is not WxH, for example 640x480" % text)
    return int(match.group(1)), int(match.group(2))


def positive(kind):
    def parse(text):
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError("%r is not a number" % text) from None
        if not value > 0:
            raise argparse.ArgumentTypeError("%r must be more than 0" % text)
        return value
    return parse


def parse_options(argv=None):
    parser = argparse.ArgumentParser(
        prog=PROG, description="Play raw YUV video through a brilox Overlay.",
        epilog="Keys: space pauses, right/left step while paused, escape or q quits.")
    parser.add_argument("file", nargs="?", metavar="FILE",
                        help="raw YUV frames, or - for standard input "
                             "(default: a generated test pattern)")
    parser.add_argument("--size", type=size_argument, metavar="WxH",
                        help="frame size (required for a file; the pattern's default is 320x240)")
    parser.add_argument("--format", type=str.lower, choices=list(FORMATS), default="i420",
                        help="frame layout (default i420)")
    parser.add_argument("--fps", type=positive(float), default=30.0,
                        help="frames a second (default 30)")
    parser.add_argument("--loop", action="store_true", help="start a file again at its end")
    parser.add_argument("--window", type=size_argument, metavar="WxH",
                        help="window size (default: the frame size)")
    parser.add_argument("--headless", action="store_true",
                        help="no window: SDL's dummy driver, as fast as it can")
    parser.add_argument("--frames", type=positive(int), metavar="N", help="stop after N frames")
    parser.add_argument("--screenshot", metavar="OUT.bmp",
                        help="save the last frame shown as a BMP file")
    options = parser.parse_args(argv)
    if options.size is None:
        if options.file is not None:
            parser.error("a raw file needs --size WxH")
        options.size = (320, 240)
    if options.window is not None:
        w, h = options.window
        if not (0 < w <= MAX_SIDE and 0 < h <= MAX_SIDE):
            parser.error("--window %dx%d: each side must be 1 to %d" % (w, h, MAX_SIDE))
    return options


def main(argv=None):
    options = parse_options(argv)
    source = None
    try:
        if options.screenshot:
            folder = os.path.dirname(os.path.abspath(options.screenshot))
            if not os.path.isdir(folder):
                raise BadInput("%s: no such folder %s" % (options.screenshot, folder))
        source, label = open_source(options)
        summary = play(options, source, label)
    except BadInput as e:
        print("%s: %s" % (PROG, e), file=sys.stderr)
        return 2
    except brilox.base.error as e:
        print("%s: %s" % (PROG, e), file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    finally:
        if isinstance(source, FileFrames):
            source.stream.close()
    print(summary)
    if options.screenshot and summary.frames:
        print("screenshot: %s" % options.screenshot)
    return 0


if __name__ == "__main__":
    sys.exit(main())
