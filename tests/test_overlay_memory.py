"""Memory safety of Overlay.display: frames that do not fit stay inside
their strings and the overlay's planes, and no call leaks or drops a
reference."""

import os
import pathlib
import shutil
import subprocess
import sys
import textwrap

import pytest

from brilox.overlay import Overlay
from sanitizer import not_under_sanitizer
from support import sdl

HERE = pathlib.Path(__file__).resolve().parent

UNFIT_FRAMES = textwrap.dedent("""
    import ctypes
    import brilox.base
    import brilox.display
    import brilox.overlay

    SDL = ctypes.CDLL("libSDL-1.2.so.0")
    SDL.SDL_Linked_Version.restype = ctypes.POINTER(ctypes.c_uint8 * 3)
    OVER_SDL2 = tuple(SDL.SDL_Linked_Version().contents) >= (1, 2, 50)

    YV12, IYUV = 0x32315659, 0x56555949
    YUY2, UYVY, YVYU = 0x32595559, 0x59565955, 0x55595659

    CASES = [
        # (format, (w, h), (y, u, v), refused)
        (YV12, (17, 8), (b"y" * 136, bytes(range(36)), bytes(range(36))), False),
        (YV12, (16, 8), (b"y" * 128, b"u" * 100000, b"v" * 100000), False),
        (IYUV, (16, 8), (b"y" * 128, b"u" * 4097, b"v" * 65), False),
        (YV12, (16, 8), (b"y" * 128, b"u", b""), False),
        (YV12, (16, 8), (b"y" * 10007, b"u" * 32, b"v" * 32), False),
        (YV12, (17, 9), (b"y" * 153, b"u" * 45, b"v" * 45), False),
        (YV12, (1, 1), (b"y", b"u" * 5, b"v" * 5), False),
        (YV12, (8, 0), (b"", b"u" * 10, b"v" * 10), False),
        (YV12, (0, 8), (b"", b"u" * 10, b"v" * 10), False),
        (YV12, (16, 8), (b"y" * 127, b"u" * 32, b"v" * 32), True),
        (YV12, (16, 8), (b"", b"u" * 100000, b"v" * 100000), True),
        (YUY2, (16, 8), (b"p" * 256, b"", b""), False),
        (YUY2, (16, 8), (b"p" * 9999, b"", b""), False),
        (UYVY, (17, 9), (b"p" * 306, b"", b""), False),
        (YVYU, (3, 1), (b"p" * 6, b"", b""), False),
        (YUY2, (16, 8), (b"p" * 255, b"", b""), True),
        (YUY2, (16, 8), (b"p" * 256, b"u", b""), True),
        (YUY2, (16, 8), (b"p" * 256, b"", b"v" * 99999), True),
    ]
    PLACEMENTS = [(0, 0, 0, 10), (-1, 0, 0, 10), (0, 0, 65536, 10), (3, 4, 10, 65536),
                  (70000, -70000, 65535, 65535), (-32768, -32768, 65535, 65535),
                  (-5, -5, 1, 1), (63, 47, 100, 100)]

    brilox.display.init()
    brilox.display.set_mode((64, 48))
    for fmt, (w, h), frame, refused in CASES:
        try:
            overlay = brilox.overlay.Overlay(fmt, (w, h))
        except brilox.base.error:
            # sdl12-compat makes no overlay 0 pixels wide or high.
            assert 0 in (w, h), (fmt, (w, h))
            continue
        # SDL 2 reads packed rows of odd width as whole pixel pairs, past the
        # end of the overlay's own memory: over SDL 2 such an overlay is
        # filled but never shown.
        hidden = OVER_SDL2 and fmt not in (YV12, IYUV) and w % 2
        if hidden:
            overlay.set_location((0, 0, 0, 0))
        # SDL leaves new planes uninitialised; fill them so that showing them
        # reads only defined bytes.
        if fmt in (YV12, IYUV):
            overlay.display((b"\\x10" * (w * h), b"\\x80" * (w * h), b"\\x80" * (w * h)))
        else:
            overlay.display((b"\\x10" * (2 * w * h), b"", b""))
        try:
            overlay.display(frame)
        except ValueError:
            assert refused, (fmt, (w, h))
        else:
            assert not refused, (fmt, (w, h))
        for rect in [] if hidden else PLACEMENTS:
            overlay.set_location(rect)
            overlay.display()
            # Over SDL 2 overlays are drawn when the screen is presented.
            brilox.display.flip()
        del overlay

    class MadeOnTheFly:
        # Each read makes a new string that nothing else holds.
        def __len__(self):
            return 3

        def __getitem__(self, index):
            if index >= 3:
                raise IndexError(index)
            return bytes([0x10 + index]) * (4096, 1024, 1024)[index]

    overlay = brilox.overlay.Overlay(YV12, (64, 64))
    overlay.display(MadeOnTheFly())
    del overlay
    brilox.display.quit()
    print("unfit frames done")
""")


# Each overlay is shown and not presented, so over SDL 2 (sdl12-compat) it
# waits for a present when the display changes or the overlay dies.
OUTLIVED_DISPLAYS = textwrap.dedent("""
    import brilox.base
    import brilox.display as display
    import brilox.overlay

    FRAME = (b"\\x10" * 256, b"\\x80" * 64, b"\\x80" * 64)
    CHANGES = {
        "restart": lambda: (display.quit(), display.init(), display.set_mode((64, 48))),
        "depth": lambda: display.set_mode((64, 48), 16),
        "depth and back": lambda: (display.set_mode((64, 48), 16), display.set_mode((64, 48))),
        "size": lambda: display.set_mode((80, 60)),
        "resizable": lambda: display.set_mode((200, 150), 32, display.RESIZABLE),
        "full screen": lambda: display.set_mode((20, 10), 32, display.FULLSCREEN),
        "toggled": display.toggle_fullscreen,
        "placement far past the screen": lambda: overlay.set_location((0, 0, 65535, 65535)),
    }
    display.init()
    for change, make in CHANGES.items():
        display.set_mode((64, 48))
        overlay = brilox.overlay.Overlay(0x32315659, (16, 16))
        overlay.display(FRAME)
        make()
        try:
            overlay.display(FRAME)
            display.flip()
        except brilox.base.error:
            assert change.startswith(("restart", "depth")), change
        del overlay
    overlay = brilox.overlay.Overlay(0x32315659, (16, 16))
    overlay.display(FRAME)
    display.quit()
    display.init()
    for call in (display.flip, display.get_size, lambda: display.save("/dev/null"),
                 lambda: brilox.overlay.Overlay(0x32315659, (4, 4)), overlay.display):
        try:
            call()
        except brilox.base.error:
            pass
    del overlay
    display.quit()
    print("outlived displays done")
""")


@pytest.mark.timeout(120)
@pytest.mark.skipif(shutil.which("valgrind") is None, reason="valgrind is not installed")
@not_under_sanitizer("valgrind cannot run a process that AddressSanitizer instruments")
@pytest.mark.parametrize("name, script", [("unfit frames", UNFIT_FRAMES),
                                          ("outlived displays", OUTLIVED_DISPLAYS)])
def test_overlays_stay_inside_their_memory_under_valgrind(name, script):
    env = dict(os.environ, SDL_VIDEODRIVER="dummy", PYTHONMALLOC="malloc")
    done = subprocess.run(
        ["valgrind", "-q", "--error-exitcode=99",
         "--suppressions=%s" % (HERE / "valgrind-cpython.supp"),
         sys.executable, "-c", script],
        env=env, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-6000:]
    assert done.stdout.strip() == name + " done"


STRINGS_MADE_ON_THE_FLY = textwrap.dedent("""
    import brilox.display, brilox.overlay

    class MadeOnTheFly:
        # Large strings go back to the system as soon as they are dropped.
        def __len__(self):
            return 3

        def __getitem__(self, index):
            if index >= 3:
                raise IndexError(index)
            return b"\\x10" * (1 << 23)

    brilox.display.init()
    brilox.display.set_mode((64, 48))
    overlay = brilox.overlay.Overlay(0x32315659, (256, 256))
    for _ in range(3):
        overlay.display(MadeOnTheFly())
    del overlay
    brilox.display.quit()
    print("strings held")
""")


def test_strings_made_on_the_fly_cannot_be_freed_under_the_copy():
    sdl.run_child(STRINGS_MADE_ON_THE_FLY, "strings held")


def test_frame_strings_keep_their_reference_counts(screen, sdl_double):
    sdl_double.state.display_is_noop = 1
    overlay = Overlay(sdl.YV12, (16, 8))
    y, u, v = b"y" * 128, b"u" * 32, b"v" * 32
    frame = (y, u, v)
    short = (y[:100], u, v)
    broken = [y, u, None]
    watched = (y, u, v, frame, short, broken, overlay)
    counts = [sys.getrefcount(o) for o in watched]
    blocks = sys.getallocatedblocks()
    for _ in range(5000):
        overlay.display(frame)
        overlay.display()
        try:
            overlay.display(short)
        except ValueError:
            pass
        try:
            overlay.display(broken)
        except TypeError:
            pass
    assert [sys.getrefcount(o) for o in watched] == counts
    assert sys.getallocatedblocks() - blocks < 50
    assert sdl_double.display_overlay_calls == 10000
