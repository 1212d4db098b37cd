"""How brilox-play ends: the exit status for a signal, and standard output
and standard error that may be closed, full or a pipe whose reader has gone.

This module is loaded before the rest of the player, so that a signal during
start-up (the imports, opening a file, waiting for the first frame of a
pipe) ends the player as one later would: SIGINT with status 130, SIGTERM
with 143, and one line on standard error saying so."""

import errno
import os
import signal
import sys

# The program's name, as it signs what it says.
PROG = "brilox-play"

SIGNALS = {signal.SIGINT: "SIGINT", signal.SIGTERM: "SIGTERM"}


class Stopped(BaseException):
    """Raised by the handler of SIGINT or SIGTERM, wherever the player is."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum

    @property
    def status(self):
        return 128 + self.signum

    @property
    def name(self):
        return SIGNALS.get(self.signum, "signal %d" % self.signum)


class Forgiving:
    """A text stream that goes quiet for good at its first failed write: a
    pipe whose reader is gone, a full disk, a closed descriptor.  Its
    descriptor then points at the null device, so that the interpreter's own
    flush at exit has nowhere to fail either.  Anything but a closed pipe is
    said once on `other` (the other stream), if that still works."""

    def __init__(self, stream, what):
        self.stream, self.what = stream, what
        self.other = None
        self.failed = stream is None

    def write(self, text):
        if self.failed:
            return len(text)
        try:
            self.stream.write(text)
            self.stream.flush()
        except (OSError, ValueError) as e:
            self._give_up(e)
        return len(text)

    def flush(self):
        if not self.failed:
            try:
                self.stream.flush()
            except (OSError, ValueError) as e:
                self._give_up(e)

    def isatty(self):
        try:
            return not self.failed and self.stream.isatty()
        except (OSError, ValueError):
            return False

    def _give_up(self, error):
        self.failed = True
        try:
            null = os.open(os.devnull, os.O_WRONLY)
            os.dup2(null, self.stream.fileno())
            os.close(null)
        except (OSError, ValueError):
            pass
        if getattr(error, "errno", None) != errno.EPIPE and self.other is not None:
            self.other.write("%s: cannot write to %s: %s\n"
                             % (PROG, self.what, getattr(error, "strerror", None) or error))

    def __getattr__(self, name):
        return getattr(self.stream, name)


def fill_closed_descriptors():
    """Opens the null device on descriptors 0-2 where they are closed.  Left
    closed, the next file or socket opened (the X server's, say) would take
    the number, and whatever a library writes to standard error would go
    into it."""
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            null = os.open(os.devnull, os.O_RDWR)
            if null != fd:
                os.dup2(null, fd)
                os.close(null)


def on_signal(signum, frame):
    """The first SIGINT or SIGTERM stops the player where it is; the player
    then shuts SDL down and says so.  Another one while it does ends the
    process at once."""
    if on_signal.stopping:
        os._exit(128 + signum)
    on_signal.stopping = True
    raise Stopped(signum)


on_signal.stopping = False


def run(main, argv=None):
    """Runs `main(argv)`, the player's command line, once the signals are
    handled and the output is made forgiving, and returns its exit status.
    `main` loads the rest of the player when it is called."""
    handlers = {}
    for signum in SIGNALS:
        handlers[signum] = signal.signal(signum, on_signal)
    on_signal.stopping = False
    saved = sys.stdout, sys.stderr
    fill_closed_descriptors()
    out = sys.stdout = Forgiving(sys.stdout, "standard output")
    err = sys.stderr = Forgiving(sys.stderr, "standard error")
    out.other = err
    try:
        try:
            return main(argv)
        except Stopped as e:
            err.write("%s: stopped by %s\n" % (PROG, e.name))
            return e.status
        except SystemExit as e:
            # argparse's --help, --version and refusals.
            return e.code if isinstance(e.code, int) else (0 if e.code is None else 2)
    finally:
        sys.stdout, sys.stderr = saved
        for signum, handler in handlers.items():
            signal.signal(signum, handler)
