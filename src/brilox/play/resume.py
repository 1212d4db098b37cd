"""Where brilox-play was left in a file, for its next start there: one small
file per media file under $XDG_STATE_HOME/brilox/resume/ (by default
~/.local/state/brilox/resume/), named by a hash of the file's absolute
path, size and modification time, so that a file changed or moved since
starts from its beginning.  Each holds the second to go on from, then the
file's path for a person reading it."""

import hashlib
import math
import os
import tempfile


def folder():
    state = os.environ.get("XDG_STATE_HOME")
    if not state or not os.path.isabs(state):
        state = os.path.join(os.path.expanduser("~"), ".local", "state")
    return os.path.join(state, "brilox", "resume")


def entry(path):
    """The file that keeps the place in `path`; None where `path` is not a
    file that can be told again (standard input, the pattern, a URL)."""
    if path in (None, "-"):
        return None
    try:
        full = os.path.abspath(path)
        info = os.stat(full)
    except (OSError, ValueError):
        return None
    if not os.path.isfile(full):
        return None
    key = "%s\0%d\0%d" % (full, info.st_size, info.st_mtime_ns)
    digest = hashlib.sha256(key.encode("utf-8", "surrogateescape")).hexdigest()
    return os.path.join(folder(), digest[:32])


def load(path):
    """The second kept for `path`, or None."""
    where = entry(path)
    if where is None:
        return None
    try:
        with open(where, encoding="utf-8", errors="replace") as f:
            seconds = float(f.readline())
    except (OSError, ValueError):
        return None
    # A file edited by hand may say anything: only a time is taken.
    return seconds if math.isfinite(seconds) and seconds >= 0 else None


def save(path, seconds):
    """Keeps `seconds` for `path`, written whole or not at all (a new file
    renamed over the old); the error's words where it cannot be."""
    where = entry(path)
    if where is None:
        return "not a file whose place can be kept"
    try:
        os.makedirs(os.path.dirname(where), exist_ok=True)
        fd, temporary = tempfile.mkstemp(dir=os.path.dirname(where), prefix=".new-")
        try:
            with os.fdopen(fd, "w", encoding="utf-8", errors="surrogateescape") as f:
                f.write("%r\n%s\n" % (float(seconds), os.path.abspath(path)))
            os.replace(temporary, where)
        except BaseException:
            os.unlink(temporary)
            raise
    except OSError as e:
        return "%s: %s" % (e.filename or where, e.strerror or e)
    return None


def drop(path):
    where = entry(path)
    if where is not None:
        try:
            os.unlink(where)
        except OSError:
            pass
