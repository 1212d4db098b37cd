"""The files brilox-play plays in turn: those named on the command line,
a folder's media files in name order, the entries of an .m3u or .m3u8
list; which one plays after each, by how the one before ended; and where
each starts."""

import os
import re

from brilox.media.frames import BadInput
from brilox.play import resume
from brilox.play.status import clock

# What counts as a media file in a folder, by its name's extension (any
# case): video containers and sound files FFmpeg reads.  Raw frames and
# subtitle files beside the video are left out.
MEDIA_EXTENSIONS = frozenset("""
    3g2 3gp asf avi divx dv f4v flv m2t m2ts m2v m4v mjpeg mkv mov mp4 mpeg mpg mts mxf
    nut ogm ogv qt rm rmvb ts vob webm wmv y4m
    aac ac3 aif aiff alac amr ape au dts eac3 flac m4a mka mp2 mp3 mpc oga ogg opus ra
    spx tta voc w64 wav wma wv
""".split())
LIST_EXTENSIONS = (".m3u", ".m3u8")
# How deep lists and folders may name other lists and folders.
NESTING = 8


def is_list(path):
    return os.path.splitext(path)[1].lower() in LIST_EXTENSIONS


def name_order(name):
    """Names in the order a person reads them: runs of digits by their
    number ("clip 2" before "clip 10"), letters without regard to case."""
    return [(0, int(part), part) if part.isascii() and part.isdigit()
            else (1, 0, part.casefold()) for part in re.split(r"([0-9]+)", name)] + [(2, 0, name)]


def folder_files(folder):
    """The media files in `folder` (not in folders inside it), in name
    order; hidden ones are left out."""
    try:
        names = os.listdir(folder)
    except OSError as e:
        raise BadInput("%s: cannot read the folder: %s" % (folder, e.strerror or e)) from None
    return [os.path.join(folder, name) for name in sorted(names, key=name_order)
            if not name.startswith(".")
            and os.path.splitext(name)[1][1:].lower() in MEDIA_EXTENSIONS
            and os.path.isfile(os.path.join(folder, name))]


def list_entries(path):
    """The entries of an .m3u or .m3u8 list (UTF-8; lines starting with #
    are comments), relative paths taken from the list's folder."""
    try:
        with open(path, "rb") as f:
            text = f.read().decode("utf-8-sig")
    except OSError as e:
        raise BadInput("%s: cannot read the list: %s" % (path, e.strerror or e)) from None
    except UnicodeDecodeError as e:
        raise BadInput("%s: not UTF-8 text (byte %d)" % (path, e.start)) from None
    folder = os.path.dirname(path)
    entries = []
    for line in text.splitlines():
        line = line.strip()
        if line and not line.startswith("#"):
            entries.append(line if "://" in line else os.path.join(folder, line))
    return entries


def gather(arguments, say, depth=0):
    """The files to play, from the command line's `arguments` (None for the
    test pattern): folders and lists opened, each in its place.  A folder
    or list that cannot be read, or holds nothing, is said through `say`
    and left out."""
    files = []
    for argument in arguments:
        try:
            if argument is None or argument == "-" or depth > NESTING:
                found = [argument]
            elif os.path.isdir(argument):
                found = folder_files(argument)
                if not found:
                    raise BadInput("%s: no media files in the folder" % argument)
            elif is_list(argument) and os.path.isfile(argument):
                found = gather(list_entries(argument), say, depth + 1)
                if not found:
                    raise BadInput("%s: the list names no files" % argument)
            else:
                found = [argument]
        except BadInput as e:
            say(str(e))
            continue
        files += found
    return files


class Turns:
    """Where the player is in its files: which plays now (`at`), and which
    next, by how the one before ended.  With `loop`, the first follows the
    last and the last the first.  Files that cannot be played are passed
    over in the direction of travel; a whole round of them ends it."""

    def __init__(self, files, loop):
        self.files, self.loop = files, loop
        self.at, self.direction, self.failed_in_a_row = 0, 1, 0

    def __len__(self):
        return len(self.files)

    @property
    def file(self):
        return self.files[self.at]

    def label(self):
        """"2/5 name": where the file is in the list, and its name."""
        name = os.path.basename(self.file) if self.file not in (None, "-") else (
            self.file or "the test pattern")
        return "%d/%d %s" % (self.at + 1, len(self.files), name)

    def has_next(self):
        return self.loop or self.at + 1 < len(self.files)

    def has_previous(self):
        return self.loop or self.at > 0

    def move(self, then, failed=False):
        """Goes on from the file playing, which ended by `then` (None at its
        end, "next", "previous", "quit" or "remember") or could not be
        played (`failed`); False where nothing follows."""
        if then in ("quit", "remember"):
            return False
        if failed:
            self.failed_in_a_row += 1
            if self.failed_in_a_row >= len(self.files):
                return False
        else:
            self.failed_in_a_row = 0
            self.direction = -1 if then == "previous" else 1
        following = self.at + self.direction
        if self.loop:
            following %= len(self.files)
        elif following < 0:
            # Back past the first, over files that failed: on again from there.
            self.direction, following = 1, self.at + 1
        if following >= len(self.files):
            return False
        self.at = following
        return True


class Turn:
    """What the player is told of the file it plays: its place ("2/5 name",
    or None for a file alone), whether a file follows and precedes it, the
    second to start from (or None), lines to say once it shows, and
    whether it is the first file played (what is said once is said then)."""

    def __init__(self, label=None, onward=False, back=False, start=None, said=(), first=True):
        self.label, self.onward, self.back = label, onward, back
        self.start, self.said, self.first = start, list(said), first


def turn_of(options, source, turns, first):
    """How the file `turns` is at plays (a Turn; `first`: before any
    other): from --start, else from the place Q kept (then forgotten, see
    brilox.play.resume), else from its start.  A --start past its end is
    bad input."""
    start, said, length = options.start, [], source.length
    label = turns.label() if len(turns) > 1 else None
    if label:
        said.append(label)
    if start is not None:
        if length is not None and start >= length:
            raise BadInput("--start %s is past the end of %s (%s)"
                           % (clock(start), source.name, clock(length)))
    elif not options.no_resume:
        kept = resume.load(options.file)
        if kept is not None:
            resume.drop(options.file)
            if length is None or kept < length:
                start = kept
                said.append("resuming at %s" % clock(kept))
    return Turn(label, turns.has_next(), turns.has_previous(), start, said, first)
