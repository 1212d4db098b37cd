import faulthandler
import os

# SDL reads its video driver when the video subsystem starts.
os.environ.setdefault("SDL_VIDEODRIVER", "dummy")

from support import sdl  # noqa: E402
from support.xserver import x_display  # noqa: E402,F401  (a fixture)

# Interposes the SDL test double before any brilox module binds to SDL.
DOUBLE = sdl.load_double()

import pytest  # noqa: E402
from sanitizer import import_leaking  # noqa: E402

import_leaking("numpy")

import brilox.base  # noqa: E402
import brilox.display  # noqa: E402


def _uncaptured_stderr(config):
    """The run's own stderr, which pytest's capture keeps aside (when it
    captures at the descriptor level), so the stacks are seen."""
    capture = config.pluginmanager.getplugin("capturemanager")
    saved = getattr(getattr(getattr(capture, "_global_capturing", None), "err", None),
                    "targetfd_save", None)
    return saved if isinstance(saved, int) else 2


@pytest.fixture(autouse=True)
def _hard_deadline(request):
    """Ends the whole run, with every thread's stack, when a test outlives
    pytest-timeout's deadline by a minute.  pytest-timeout's own watchdog
    needs the interpreter lock, which a test stuck in native code holds;
    faulthandler's runs without it."""
    limit = request.config.getoption("timeout", None) or request.config.getini("timeout")
    faulthandler.dump_traceback_later(float(limit or 600) + 60, exit=True,
                                      file=_uncaptured_stderr(request.config))
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture
def sdl_double():
    """The interposed SDL calls, reset before and after the test."""
    DOUBLE.reset()
    yield DOUBLE
    DOUBLE.reset()


@pytest.fixture
def video():
    """SDL's video subsystem, initialised for the test and shut down after."""
    brilox.display.init()
    yield brilox.display
    brilox.display.quit()


@pytest.fixture
def screen(video):
    """A 32-bit software display surface of 160 x 120 pixels."""
    video.set_mode((160, 120))
    return sdl.video_surface()


@pytest.fixture(autouse=True)
def _video_left_off():
    """Every test starts and ends with SDL's video subsystem shut down."""
    yield
    if brilox.display.get_init():
        brilox.display.quit()
        pytest.fail("test left SDL's video subsystem running")


def _nested(inner, depth):
    for _ in range(depth):
        inner = [inner]
    return inner


def _nesting_fits(depth):
    try:
        repr(_nested(0, depth))
    except RecursionError:
        return False
    return True


class _CallsOnRepr:
    def __init__(self, action):
        self.action = action

    def __repr__(self):
        self.action()
        return ""


@pytest.fixture
def near_recursion_limit():
    """run(action, headroom) calls action() with about `headroom` levels of
    recursion left before the limit that guards C code (sys's recursion
    limit before 3.12, a fixed limit of the interpreter's own since).  Nested
    reprs use the levels up: each counts against that limit everywhere."""
    def run(action, headroom):
        low, high = 0, 1 << 17  # the deepest nesting that fits, from here
        while low + 1 < high:
            middle = (low + high) // 2
            low, high = (middle, high) if _nesting_fits(middle) else (low, middle)
        repr(_nested(_CallsOnRepr(action), low - headroom))
    return run
