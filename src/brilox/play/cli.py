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


def is_raw(options):
    """Whether FILE holds raw frames: --size or --format says so, or a raw
    file name extension does.  Anything else is a media file."""
    return (options.size is not None or options.format is not None
            or os.path.splitext(options.file)[1].lower() in EXTENSIONS)


def parse_options(argv=None):
    parser = argparse.ArgumentParser(
        prog=PROG, description="Play video through a brilox Overlay: any file FFmpeg reads "
                               "(with brilox[video] installed), or raw frames.",
        epilog="Keys: space pauses, right/left step while paused, escape or q quits.")
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
    parser.add_argument("--frames", type=positive(int), metavar="N", help="stop after N frames")
    parser.add_argument("--range", choices=RANGE_CHOICES, default="auto",
                        help="the levels the video holds: limited (16-235) or full (0-255); "
                             "auto (the default) takes what the source says, limited when "
                             "it says nothing")
    parser.add_argument("--screenshot", metavar="OUT.png",
                        help="save the last frame shown as the window shows it: PNG for a "
                             "name ending in .png, BMP for .bmp")
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
    if options.format is None and extension in EXTENSIONS and extension[1:] in FORMAT_NAMES:
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
        source = open_source(options)
        summary = play(options, source)
    except BadInput as e:
        print("%s: %s" % (PROG, e), file=sys.stderr)
        return 2
    except brilox.base.error as e:
        print("%s: %s" % (PROG, e), file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 130
    finally:
        if source is not None:
            source.close()
    print(summary)
    if options.screenshot and summary.frames:
        print("screenshot: %s" % options.screenshot)
    return 0
