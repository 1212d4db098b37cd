"""brilox-play's command line: its options, the source they choose, and
the exit status."""

import argparse
import os
import re
import sys

import brilox.base
from brilox.play import screenshot
from brilox.play.colour import RANGE_CHOICES
from brilox.play.frames import MAX_SIDE, PROG, BadInput
from brilox.play.media import open_media
from brilox.play.pattern import PatternFrames
from brilox.play.player import play
from brilox.play.raw import EXTENSIONS, open_raw

DEFAULT_FORMAT, PATTERN_SIZE = "i420", (320, 240)
# Raw file name extensions that name the frames' layout.
FORMAT_NAMES = {"i420", "yv12", "yuy2", "uyvy", "nv12", "nv21"}


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


def version():
    """brilox's version as installed, or a word on why it is not known."""
    from importlib.metadata import PackageNotFoundError, version as installed
    try:
        return installed("brilox")
    except PackageNotFoundError:
        return "unknown (brilox is not installed)"


KEYS = """keys:
  space, p         pause and resume
  right, left      while playing: 10 s on or back; while paused: one frame
                   on or back (held, they repeat)
  s                pause, then one frame on
  up, down         1 minute on or back
  page up/down     10 minutes on or back
  home, end        the first frame, the last frame
  right click      go to that fraction of the length (click x / window width)
  f, double click  full screen and back
  q, escape        quit (closing the window does too)

Seeking works in files; on standard input the player reads on to a later
frame and goes back only through the last frames it keeps (up to 32, or
64 MiB; further back goes to the oldest of them), and the pattern has no
end.  The window can be resized: the video is scaled to fit, its shape
kept.

A status line on standard error shows the frame, the time and length, the
frames a second shown while playing and the upload time per frame; the
summary goes to standard output at the end.  Frames whose time has passed
are dropped to keep time (--no-drop shows every frame, late).

exit status: 0 at the end or on a quit, 1 on an SDL error or a screenshot
that could not be written, 2 on bad input, 130 on SIGINT (Ctrl-C), 143 on
SIGTERM."""


def is_raw(options):
    """Whether FILE holds raw frames: --size or --format says so, or a raw
    file name extension does.  Anything else is a media file."""
    return (options.size is not None or options.format is not None
            or os.path.splitext(options.file)[1].lower() in EXTENSIONS)


def parse_options(argv=None):
    parser = argparse.ArgumentParser(
        prog=PROG, description="Play video through a brilox Overlay: any file FFmpeg reads "
                               "(with brilox[video] installed), or raw frames.",
        epilog=KEYS, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("file", nargs="?", metavar="FILE",
                        help="a media file, raw frames, or - for standard input "
                             "(default: a generated test pattern)")
    parser.add_argument("--size", type=size_argument, metavar="WxH",
                        help="raw frame size (required for raw frames; the pattern's "
                             "default is 320x240)")
    parser.add_argument("--format", type=str.lower, metavar="FORMAT",
                        help="raw frame layout: i420, yv12, yuy2, uyvy, or any FFmpeg pixel "
                             "format such as nv12, yuv444p, yuv420p10le, rgb24 (default: "
                             "the file's extension where it names one, else i420)")
    parser.add_argument("--fps", type=positive(float), default=30.0,
                        help="frames a second of raw frames and the pattern (default 30); "
                             "media files play at their own timestamps")
    parser.add_argument("--loop", action="store_true", help="start a file again at its end")
    parser.add_argument("--window", type=size_argument, metavar="WxH",
                        help="window size (default: the frame size)")
    parser.add_argument("--headless", action="store_true",
                        help="no window: SDL's dummy driver, as fast as it can")
    parser.add_argument("--frames", type=positive(int), metavar="N",
                        help="stop after N frames shown")
    parser.add_argument("--no-drop", action="store_true",
                        help="show every frame, late if need be, rather than drop the frames "
                             "whose time has passed")
    parser.add_argument("--range", choices=RANGE_CHOICES, default="auto",
                        help="the levels the video holds: limited (16-235) or full (0-255); "
                             "auto (the default) takes what the source says, limited when "
                             "it says nothing")
    parser.add_argument("--screenshot", metavar="OUT.png",
                        help="save the last frame shown as the window shows it: PNG for a "
                             "name ending in .png, BMP for .bmp")
    parser.add_argument("--version", action="version", version="%s %s" % (PROG, version()))
    options = parser.parse_args(argv)
    if options.file is not None and options.size is None and is_raw(options):
        parser.error("a raw file needs --size WxH")
    if options.window is not None:
        w, h = options.window
        if not (0 < w <= MAX_SIDE and 0 < h <= MAX_SIDE):
            parser.error("--window %dx%d: each side must be 1 to %d" % (w, h, MAX_SIDE))
    return options


def open_source(options):
    """The frames to play; refuses bad input with BadInput before any window
    opens."""
    fmt = options.format or DEFAULT_FORMAT
    extension = os.path.splitext(options.file or "")[1].lower()
    if options.format is None and extension[1:] in FORMAT_NAMES:
        fmt = extension[1:]
    if options.file is None:
        return PatternFrames(fmt, *(options.size or PATTERN_SIZE), options.fps)
    if is_raw(options):
        return open_raw(options.file, fmt, options.size, options.fps, options.loop)
    return open_media(options.file, options.loop)


def main(argv=None):
    options = parse_options(argv)
    source = None
    try:
        if options.screenshot:
            try:
                screenshot.check_name(options.screenshot)
            except screenshot.NameRefused as e:
                raise BadInput(str(e)) from None
            folder = os.path.dirname(os.path.abspath(options.screenshot))
            if not os.path.isdir(folder):
                raise BadInput("%s: no such folder %s" % (options.screenshot, folder))
            if os.path.isdir(options.screenshot):
                raise BadInput("%s: is a folder" % options.screenshot)
        source = open_source(options)
        summary = play(options, source)
    except BadInput as e:
        print("%s: %s" % (PROG, e), file=sys.stderr)
        return 2
    except brilox.base.error as e:
        print("%s: %s" % (PROG, e), file=sys.stderr)
        return 1
    finally:
        if source is not None:
            source.close()
    print(summary)
    if summary.screenshot_error:
        print("%s: %s: not saved: %s" % (PROG, options.screenshot, summary.screenshot_error),
              file=sys.stderr)
    elif options.screenshot and summary.frames + summary.stepped:
        print("screenshot: %s" % options.screenshot)
    if summary.stopped:
        print("%s: stopped by %s at frame %d" % (PROG, summary.stopped.name,
                                                 summary.stopped.frame), file=sys.stderr)
        return summary.stopped.status
    return 1 if summary.screenshot_error else 0
