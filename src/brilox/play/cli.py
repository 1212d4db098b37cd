"""brilox-play's command line: its options, the source they choose, and
the exit status."""

import argparse
import copy
import os
import re
import sys
import textwrap
import warnings

import brilox.base
import brilox.display
from brilox.play import keys, playlist, resume, screenshot
from brilox.media.clock import LONGEST_DELAY, check_delay
from brilox.media.colour import RANGE_CHOICES
from brilox.media.frames import MAX_SIDE, BadInput, parse_aspect
from brilox.media.notes import MediaWarning
from brilox.play.exits import PROG
from brilox.media.sources.media import open_media
from brilox.play.pattern import PatternFrames
from brilox.play.player import headless_wanted, play
from brilox.media.sound import FASTEST, SLOWEST, cool_down, warm_up
from brilox.media.sources.raw import EXTENSIONS, open_raw

DEFAULT_FORMAT, PATTERN_SIZE = "i420", (320, 240)
# The flag of each of the engine's arguments that its errors name: the
# player says its own words to a person.
FLAGS = {"format": "--format", "loop": "--loop"}
# Raw file name extensions that name the frames' layout.
FORMAT_NAMES = {"i420", "yv12", "yuy2", "uyvy", "nv12", "nv21"}


def size_argument(text):
    match = re.fullmatch(r"\s*(\d+)\s*[xX]\s*(\d+)\s*", text)
    if not match:
        raise argparse.ArgumentTypeError("%r is not WxH, for example 640x480" % text)
    return int(match.group(1)), int(match.group(2))


def aspect_argument(text):
    try:
        return parse_aspect(text)
    except (ValueError, ZeroDivisionError):
        raise argparse.ArgumentTypeError("%r is not W:H of two positive numbers, for example "
                                         "16:9" % text) from None


def percent(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not a whole number" % text) from None
    if not 0 <= value <= 100:
        raise argparse.ArgumentTypeError("%r is not 0 to 100" % text)
    return value


def speed_argument(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError("%r is not a number" % text) from None
    if not SLOWEST <= value <= FASTEST:
        raise argparse.ArgumentTypeError("%r is not %g to %g" % (text, SLOWEST, FASTEST))
    return value


def delay_argument(text):
    try:
        return check_delay(text, "delay")
    except (TypeError, ValueError):
        raise argparse.ArgumentTypeError("%r is not a number of seconds from %g to %g"
                                         % (text, -LONGEST_DELAY, LONGEST_DELAY)) from None


def stream_number(text):
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError("%r is not a stream's index (0, 1, ...)" % text)
    return value


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


def start_argument(text):
    """Seconds, or [[h:]m:]s: "75", "1:15", "0:01:15.5"."""
    match = re.fullmatch(r"\s*(?:(?:(\d+):)?(\d+):)?(\d+(?:\.\d*)?|\.\d+)\s*", text)
    if match:
        hours, minutes, seconds = (float(part or 0) for part in match.groups())
        if match.group(2) is None or (seconds < 60 and (match.group(1) is None or minutes < 60)):
            return hours * 3600 + minutes * 60 + seconds
    raise argparse.ArgumentTypeError("%r is not a time: seconds, or [[h:]m:]s such as 1:02.5"
                                     % text)


def version():
    """brilox's version as installed, or a word on why it is not known."""
    from importlib.metadata import PackageNotFoundError, version as installed
    try:
        return installed("brilox")
    except PackageNotFoundError:
        return "unknown (brilox is not installed)"


class VersionAction(argparse.Action):
    """Prints the version and exits.  The version is looked up only when
    asked for: importing importlib.metadata to read it would add some 50 ms
    to every start."""

    def __call__(self, parser, namespace, values, option_string=None):
        sys.stdout.write("%s %s\n" % (PROG, version()))
        parser.exit()


EPILOG = "keys:\n" + keys.text(2) + """

Seeking works in files; on standard input the player reads on to a later
frame and goes back only through the last frames it keeps (up to 32, or
64 MiB; further back goes to the oldest of them), and the pattern has no
end.  The window can be resized: the video is scaled to fit, its shape
kept (its display aspect: the sample aspect ratio a file says, or --aspect),
and full screen fills the screen with it.  A file whose display matrix
turns its picture is shown upright (--no-autorotate: as stored), and each
frame by the colour matrix its stream says (BT.709 for HD that says none).

A status line on standard error shows the frame, the time and length, the
frames a second shown while playing and the upload time per frame; the
summary goes to standard output at the end.  Frames whose time has passed
are dropped to keep time (--no-drop shows every frame, late).

%s

exit status: 0 at the end or on a quit, 1 on an SDL error or a screenshot
that could not be written, 2 on bad input (of a list, when no file could
be played), 130 on SIGINT (Ctrl-C), 143 on SIGTERM.""" % textwrap.fill(
    "Several files play one after another, as do a folder's media files in name order "
    "and the entries of an .m3u or .m3u8 list (UTF-8; # starts a comment; relative to the "
    "list's folder).  A file that cannot be played is said in one line and skipped.  Q "
    "keeps the place in the file playing, under $XDG_STATE_HOME/brilox/ (by default "
    "~/.local/state/brilox/), keyed by its path, size and time: its next start goes on "
    "from there, once (--no-resume starts at the beginning).  A folder's media files are "
    "those named " + ", ".join("." + e for e in sorted(playlist.MEDIA_EXTENSIONS)) + ".",
    78)


def is_raw(options):
    """Whether FILE holds raw frames: --size or --format says so, or a raw
    file name extension does.  Anything else is a media file."""
    return (options.size is not None or options.format is not None
            or os.path.splitext(options.file)[1].lower() in EXTENSIONS)


def is_listed(path):
    """Whether `path` names more files: a folder, or a list."""
    return os.path.isdir(path) or playlist.is_list(path)


def parse_options(argv=None):
    parser = argparse.ArgumentParser(
        prog=PROG, description="Play video through a brilox Overlay: any file FFmpeg reads "
                               "(with brilox[video] installed), or raw frames.",
        epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("files", nargs="*", metavar="FILE",
                        help="a media file, raw frames, or - for standard input; several, a "
                             "folder or an .m3u list play in turn (default: a generated test "
                             "pattern)")
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
    parser.add_argument("--loop", action="store_true",
                        help="start again at the end: a file alone, or the list from its first "
                             "file")
    parser.add_argument("--loop-file", action="store_true",
                        help="start each file again at its end (> goes on to the next)")
    parser.add_argument("--start", type=start_argument, metavar="T",
                        help="start each file at T, exactly: seconds, or [[h:]m:]s such as "
                             "1:02.5")
    parser.add_argument("--no-resume", action="store_true",
                        help="start at the beginning, not where Q left a file")
    parser.add_argument("--fullscreen", action="store_true", help="start in full screen")
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
    parser.add_argument("--aspect", type=aspect_argument, metavar="W:H",
                        help="show the picture in this display aspect ratio, such as 16:9 or "
                             "4:3, whatever the source says (media files say their own "
                             "sample aspect ratio; raw frames are square unless given this)")
    parser.add_argument("--sar", type=aspect_argument, metavar="W:H",
                        help="the shape of the picture's samples (pixels), width to height, "
                             "such as 32:27 for 16:9 DVD video: the display aspect ratio is "
                             "this times the frame's width over its height")
    parser.add_argument("--no-autorotate", action="store_true",
                        help="show a media file's picture as stored, not turned upright as "
                             "its display matrix says")
    parser.add_argument("--no-audio", action="store_true",
                        help="play no sound (headless runs play none either)")
    parser.add_argument("--volume", type=percent, default=100, metavar="N",
                        help="the sound's volume, 0 to 100 (default 100)")
    parser.add_argument("--mute", action="store_true", help="start with the sound muted")
    parser.add_argument("--speed", type=speed_argument, default=1.0, metavar="X",
                        help="play X times as fast, 0.25 to 4 (default 1), the sound's "
                             "pitch kept")
    parser.add_argument("--audio-delay", type=delay_argument, default=0.0, metavar="S",
                        help="play the sound S seconds after the picture (before it, where "
                             "negative), as for a sound device heard late (default 0)")
    parser.add_argument("--video-stream", type=stream_number, metavar="N",
                        help="play the video stream with this index in the file (as ffprobe "
                             "numbers them; default: the one FFmpeg picks)")
    parser.add_argument("--audio-stream", type=stream_number, metavar="N",
                        help="play the audio stream with this index in the file (default: "
                             "the one FFmpeg picks)")
    parser.add_argument("--sub", metavar="FILE",
                        help="show the subtitles of this file (.srt, .ass, .vtt); by default "
                             "the file's own subtitle stream that FFmpeg picks, else "
                             "NAME.srt, NAME.ass or NAME.vtt beside the video")
    parser.add_argument("--subtitle-stream", type=stream_number, metavar="N",
                        help="show the subtitle stream with this index in the file (as "
                             "--audio-stream counts)")
    parser.add_argument("--osd-level", type=int, choices=(0, 1), default=1, metavar="N",
                        help="1 (the default): what a key did shows over the picture for "
                             "1.5 s, with the position bar; 0: nothing shows over it")
    parser.add_argument("--sub-delay", type=delay_argument, default=0.0, metavar="S",
                        help="show the subtitles S seconds after their times (before them, "
                             "where negative; default 0)")
    parser.add_argument("--screenshot", metavar="OUT.png",
                        help="save the last frame shown as the window shows it: PNG for a "
                             "name ending in .png, BMP for .bmp")
    parser.add_argument("--version", action=VersionAction, nargs=0,
                        help="show program's version number and exit")
    # Files may come among the options: FILE --loop FILE.
    options = parser.parse_intermixed_args(argv)
    options.file = options.files[0] if options.files else None
    if options.aspect is not None and options.sar is not None:
        parser.error("--aspect and --sar say the same thing: give one of them")
    for name in options.files:
        if options.size is None and not is_listed(name) and is_raw(
                argparse.Namespace(file=name, size=None, format=options.format)):
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
        source = PatternFrames(fmt, *(options.size or PATTERN_SIZE), options.fps)
    elif is_raw(options):
        source = open_raw(options.file, fmt, options.size, options.fps, options.loop)
    else:
        source = open_media(options.file, options.loop, not options.no_autorotate,
                            options.video_stream, options.audio_stream)
    if options.sar is not None:
        source.sample_aspect = options.sar
    return source


def say_warnings(showwarning=warnings.showwarning):
    """The engine's warnings said as the player says things: one line,
    signed with its name."""
    def show(message, category, filename, lineno, file=None, line=None):
        if issubclass(category, MediaWarning):
            print("%s: %s" % (PROG, message), file=sys.stderr)
        else:
            showwarning(message, category, filename, lineno, file, line)
    warnings.showwarning = show


def check_screenshot(options):
    """Refuses a screenshot name that cannot be written, before anything plays."""
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


def say(text):
    print("%s: %s" % (PROG, text), file=sys.stderr)


def play_turn(options, turns, first):
    """Plays the file `turns` is at (`first`: before any other): its
    Summary, or None and the exit status where it could not be played (2:
    bad input, the list goes on; 1: SDL failed, it ends)."""
    options = copy.copy(options)
    options.file = turns.file
    options.loop = options.loop_file or (options.loop and len(turns) == 1)
    source = None
    try:
        # The file is checked before the sound device opens: bad input is
        # said at once, and never waits on a slow sound server.
        source = open_source(options)
        turn = playlist.turn_of(options, source, turns, first)
        if (getattr(source, "audio_index", None) is not None and not options.no_audio
                and not headless_wanted(options)):
            # The device starts now, on silence, while the window opens: the
            # sound can then begin soon after the first frame goes up.
            warm_up()
        return play(options, source, turn), None
    except BadInput as e:
        say(e.words(FLAGS))
        return None, 2
    except brilox.base.error as e:
        say(e)
        return None, 1
    finally:
        cool_down()
        if source is not None:
            source.close()


def report(options, summary, path):
    """Says how the play of file `path` went, and keeps or forgets its
    place; the exit status it calls for."""
    print(summary)
    if summary.screenshot_error:
        say("%s: not saved: %s" % (options.screenshot, summary.screenshot_error))
    elif options.screenshot and summary.frames + summary.stepped:
        print("screenshot: %s" % options.screenshot)
    if summary.stopped:
        say("stopped by %s at frame %d" % (summary.stopped.name, summary.stopped.frame))
        return summary.stopped.status
    if summary.then == "remember":
        failed = resume.save(path, summary.position or 0.0)
        if failed:
            say("the place was not kept: %s" % failed)
    elif summary.finished:
        resume.drop(path)
    return 1 if summary.screenshot_error else 0


def main(argv=None):
    options = parse_options(argv)
    say_warnings()
    try:
        check_screenshot(options)
    except BadInput as e:
        say(e)
        return 2
    files = playlist.gather(options.files or [None], say)
    if not files:
        return 2
    turns = playlist.Turns(files, options.loop and len(files) > 1)
    played, status = 0, 0
    try:
        while True:
            summary, failed = play_turn(options, turns, not played)
            if failed == 1:
                return 1
            if summary is not None:
                played += 1
                # The next file opens as this one was left: full screen or not.
                options.fullscreen = summary.fullscreen
                done = report(options, summary, turns.file)
                if summary.stopped:
                    return done
                status = max(status, done)
            if not turns.move(summary and summary.then, failed=summary is None):
                break
    finally:
        brilox.display.quit()
    if not played:
        if len(files) > 1:
            say("none of the %d files could be played" % len(files))
        return 2
    return status
