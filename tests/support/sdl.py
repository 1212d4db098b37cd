"""SDL 1.2 as the tests see it: its records through ctypes, and the
interposed test double.

The records are read from the very library the brilox modules use (the
same ``libSDL-1.2.so.0`` loaded once in the process), so what the tests see
is SDL's own state, not a module's account of it.  That library is either
classic SDL 1.2 or sdl12-compat (SDL 1.2 over SDL 2, put first on
LD_LIBRARY_PATH); where the two differ, the helpers here read what each
really holds.
"""

import contextlib
import ctypes
import functools
import importlib.util
import os
import pathlib
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent.parent
DOUBLE_SOURCE = HERE / "sdl_double.cpp"
DOUBLE_LIBRARY = ROOT / "build" / "test-double" / "libbrilox_sdl_double.so"

Uint8 = ctypes.c_uint8
Uint16 = ctypes.c_uint16
Uint32 = ctypes.c_uint32

SDL_INIT_VIDEO = 0x20
SDL_APPMOUSEFOCUS = 0x01
SDL_APPINPUTFOCUS = 0x02
SDL_APPACTIVE = 0x04

# YUV overlay format codes.
YV12 = 0x32315659
IYUV = 0x56555949
YUY2 = 0x32595559
UYVY = 0x59565955
YVYU = 0x55595659


class Rect(ctypes.Structure):
    _fields_ = [("x", ctypes.c_int16), ("y", ctypes.c_int16),
                ("w", Uint16), ("h", Uint16)]

    def astuple(self):
        return (self.x, self.y, self.w, self.h)


class PixelFormat(ctypes.Structure):
    _fields_ = [("palette", ctypes.c_void_p),
                ("BitsPerPixel", Uint8), ("BytesPerPixel", Uint8),
                ("Rloss", Uint8), ("Gloss", Uint8), ("Bloss", Uint8), ("Aloss", Uint8),
                ("Rshift", Uint8), ("Gshift", Uint8), ("Bshift", Uint8), ("Ashift", Uint8),
                ("Rmask", Uint32), ("Gmask", Uint32), ("Bmask", Uint32), ("Amask", Uint32),
                ("colorkey", Uint32), ("alpha", Uint8)]


class Surface(ctypes.Structure):
    _fields_ = [("flags", Uint32), ("format", ctypes.POINTER(PixelFormat)),
                ("w", ctypes.c_int), ("h", ctypes.c_int), ("pitch", Uint16),
                ("pixels", ctypes.c_void_p), ("offset", ctypes.c_int),
                ("hwdata", ctypes.c_void_p), ("clip_rect", Rect),
                ("unused1", Uint32), ("locked", Uint32), ("map", ctypes.c_void_p),
                ("format_version", ctypes.c_uint), ("refcount", ctypes.c_int)]


class Overlay(ctypes.Structure):
    _fields_ = [("format", Uint32), ("w", ctypes.c_int), ("h", ctypes.c_int),
                ("planes", ctypes.c_int), ("pitches", ctypes.POINTER(Uint16)),
                ("pixels", ctypes.POINTER(ctypes.POINTER(Uint8))),
                ("hwfuncs", ctypes.c_void_p), ("hwdata", ctypes.c_void_p),
                ("hw_overlay", Uint32, 1), ("UnusedBits", Uint32, 31)]


class DoubleState(ctypes.Structure):
    _fields_ = [(name, ctypes.c_int) for name in (
        "create_overlay_calls", "free_overlay_calls", "lock_overlay_calls",
        "unlock_overlay_calls", "display_overlay_calls", "lock_surface_calls",
        "unlock_surface_calls", "enable_key_repeat_calls", "get_key_state_calls",
        "refuse_create_overlay", "hardware_overlay", "display_is_noop",
        "refuse_lock_surface", "key_state_mode", "app_state_override")] + [
        ("last_display_rect", Rect),
        ("last_display_overlay", ctypes.c_void_p),
        ("last_lock_surface", ctypes.c_void_p),
        ("last_unlock_surface", ctypes.c_void_p),
        ("last_repeat_delay", ctypes.c_int),
        ("last_repeat_interval", ctypes.c_int),
        ("free_overlay_without_video_calls", ctypes.c_int),
        ("formatless_video_surface", ctypes.c_int)]


def _bundled_sdl():
    """The folder of the SDL a wheel of brilox ships, or None.  Found
    without importing brilox, which would load that SDL ahead of the
    double."""
    folder = os.path.join(importlib.util.find_spec("brilox").submodule_search_locations[0],
                          "_sdl")
    return folder if os.path.exists(os.path.join(folder, "libSDL-1.2.so.0")) else None


def _sdl_flags():
    """SDL's flags as brilox gives them to other native modules (the SDL
    it ships, or the system's); the double finds a shipped SDL by its path,
    since it is loaded first."""
    flags = subprocess.run([sys.executable, "-m", "brilox.config", "--cflags", "--libs"],
                           check=True, capture_output=True, text=True).stdout.split()
    bundled = _bundled_sdl()
    return flags + (["-Wl,-rpath," + bundled] if bundled else [])


def _double_library():
    # A wheel's SDL and the system's each have their own build of the double.
    return DOUBLE_LIBRARY.with_name(DOUBLE_LIBRARY.stem + ("-bundled" if _bundled_sdl() else "")
                                    + DOUBLE_LIBRARY.suffix)


def build_double():
    """Compile the test double if its library is missing or stale."""
    library = _double_library()
    if library.exists() and library.stat().st_mtime >= DOUBLE_SOURCE.stat().st_mtime:
        return library
    library.parent.mkdir(parents=True, exist_ok=True)
    tmp = library.with_suffix(".tmp%d" % os.getpid())
    subprocess.run(["g++", "-std=c++20", "-O2", "-shared", "-fPIC", str(DOUBLE_SOURCE),
                    "-o", str(tmp), *_sdl_flags(), "-ldl"], check=True)
    os.replace(tmp, library)
    return library


class Double:
    """The interposed SDL calls: their counters and switches."""

    def __init__(self, lib):
        self._lib = lib
        self.state = DoubleState.in_dll(lib, "brilox_sdl_double")

    def reset(self):
        self._lib.brilox_sdl_double_reset()

    def __getattr__(self, name):
        return getattr(self.state, name)

    def __setattr__(self, name, value):
        # Switches and counters live in the double's own record.
        if name in dict(DoubleState._fields_):
            setattr(self.state, name, value)
        else:
            object.__setattr__(self, name, value)


_double = None
_sdl = None


def load_double():
    """Load the double ahead of every brilox module (idempotent).

    It must be loaded before the first brilox module is imported: calls that
    a module has already bound to real SDL would bypass it.
    """
    global _double
    if _double is None:
        assert "brilox" not in sys.modules, \
            "the SDL test double must be loaded before brilox"
        lib = ctypes.CDLL(str(build_double()), mode=ctypes.RTLD_GLOBAL)
        lib.brilox_sdl_double_reset.restype = None
        _double = Double(lib)
    return _double


def lib():
    """Real SDL, for reading its state."""
    global _sdl
    if _sdl is None:
        _sdl = ctypes.CDLL("libSDL-1.2.so.0")
        _sdl.SDL_GetVideoSurface.restype = ctypes.POINTER(Surface)
        _sdl.SDL_WasInit.restype = Uint32
        _sdl.SDL_WasInit.argtypes = [Uint32]
        _sdl.SDL_GetError.restype = ctypes.c_char_p
        _sdl.SDL_Linked_Version.restype = ctypes.POINTER(Uint8 * 3)
        for name in ("SDL_LockYUVOverlay", "SDL_UnlockYUVOverlay"):
            getattr(_sdl, name).argtypes = [ctypes.POINTER(Overlay)]
    return _sdl


def over_sdl2():
    """Whether SDL 1.2 is sdl12-compat, whose releases count from 1.2.50;
    classic SDL 1.2 ends at 1.2.15."""
    return tuple(lib().SDL_Linked_Version().contents) >= (1, 2, 50)


def shows_placement(w, h, screen_w, screen_h, record=None):
    """Whether an Overlay (its SDL record) hands a placement of w x h (the
    16-bit values) to SDL on a screen of screen_w x screen_h.  Over SDL 2,
    whose software renderer allocates a buffer of the whole placement when it
    reaches past the screen, nothing far larger than the screen is shown,
    and no packed overlay of odd width, whose last row SDL 2 would read past
    its end."""
    if w == 0 or h == 0:
        return False
    if over_sdl2() and record is not None and record.planes == 1 and record.w % 2:
        return False
    return not over_sdl2() or w * h <= max(16 * screen_w * screen_h, 4096 * 4096)


def key_name(key):
    """SDL's own name for a key code."""
    fn = lib().SDL_GetKeyName
    fn.restype = ctypes.c_char_p
    fn.argtypes = [ctypes.c_int]
    return fn(key).decode()


def key_repeat():
    """SDL's key-repeat setting as (delay, interval)."""
    delay, interval = ctypes.c_int(), ctypes.c_int()
    lib().SDL_GetKeyRepeat(ctypes.byref(delay), ctypes.byref(interval))
    return delay.value, interval.value


def run_child(script, done_marker, **env):
    """Runs `script` in a fresh interpreter on the dummy driver.

    A crash there cannot take the test process down; the child must exit 0
    and print `done_marker` and nothing else.
    """
    full_env = dict(os.environ, SDL_VIDEODRIVER="dummy", **env)
    done = subprocess.run([sys.executable, "-c", script], env=full_env,
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == done_marker


def video_surface():
    """The display surface's record, or None when no mode is set.  A record
    without a pixel format (sdl12-compat keeps one from 1.2.66 on, once its
    video subsystem has restarted) is no mode either."""
    ptr = lib().SDL_GetVideoSurface()
    return ptr.contents if ptr and ptr.contents.format else None


def surface_pixel(surface, x, y):
    """The (r, g, b) of one pixel of an SDL surface of 32 bits per pixel."""
    fmt = surface.format.contents
    assert fmt.BytesPerPixel == 4, "tests use 32-bit display surfaces"
    value = Uint32.from_address(surface.pixels + y * surface.pitch + 4 * x).value
    return tuple(((value & mask) >> shift) << loss for mask, shift, loss in (
        (fmt.Rmask, fmt.Rshift, fmt.Rloss),
        (fmt.Gmask, fmt.Gshift, fmt.Gloss),
        (fmt.Bmask, fmt.Bshift, fmt.Bloss)))


def overlay_record(overlay_object):
    """The SDL_Overlay that a brilox Overlay owns.

    The instance record is the host's object header followed by the pointer
    to the SDL overlay.
    """
    header = ctypes.sizeof(ctypes.c_ssize_t) + ctypes.sizeof(ctypes.c_void_p)
    address = ctypes.c_void_p.from_address(id(overlay_object) + header).value
    assert address, "an Overlay always owns an SDL overlay"
    return Overlay.from_address(address)


@contextlib.contextmanager
def overlay_planes(overlay_object):
    """(address, pitch, rows) of each plane of an Overlay, locked in SDL for
    the block: only then do the addresses hold (sdl12-compat clears them on
    unlock).  Plane 0 has h rows, planes 1 and 2 of the three-plane formats
    h / 2; packed formats have one plane."""
    record = overlay_record(overlay_object)
    assert lib().SDL_LockYUVOverlay(record) == 0, lib().SDL_GetError()
    try:
        yield [(ctypes.addressof(record.pixels[p].contents), record.pitches[p],
                record.h if p == 0 else record.h // 2) for p in range(record.planes)]
    finally:
        lib().SDL_UnlockYUVOverlay(record)


def overlay_plane(overlay_object, plane):
    """The bytes of one plane of an Overlay, row by row with SDL's pitch.
    Returns (bytes, pitch, rows)."""
    with overlay_planes(overlay_object) as planes:
        address, pitch, rows = planes[plane]
        return ctypes.string_at(address, pitch * rows), pitch, rows


def fill_overlay(overlay_object, value):
    """Sets every byte of every plane of an Overlay to `value`."""
    with overlay_planes(overlay_object) as planes:
        for address, pitch, rows in planes:
            ctypes.memset(address, value, pitch * rows)


def shown_pixels():
    """{(x, y): (r, g, b)} of what the screen shows after a flip.

    Classic SDL draws overlays into the display surface itself; sdl12-compat
    draws them when the screen is presented, through SDL 2's renderer into
    its window, whose output is read back here.
    """
    if not over_sdl2():
        surface = video_surface()
        return {(x, y): surface_pixel(surface, x, y)
                for y in range(surface.h) for x in range(surface.w)}
    sdl2 = ctypes.CDLL("libSDL2-2.0.so.0")
    sdl2.SDL_GetWindowFromID.restype = sdl2.SDL_GetRenderer.restype = ctypes.c_void_p
    sdl2.SDL_GetRenderer.argtypes = [ctypes.c_void_p]
    # SDL 2 numbers windows from 1 again after each restart of its video.
    windows = [w for w in map(sdl2.SDL_GetWindowFromID, range(1, 256)) if w]
    assert len(windows) == 1, windows
    renderer = ctypes.c_void_p(sdl2.SDL_GetRenderer(windows[0]))
    w, h = ctypes.c_int(), ctypes.c_int()
    assert sdl2.SDL_GetRendererOutputSize(renderer, ctypes.byref(w), ctypes.byref(h)) == 0
    w, h = w.value, h.value
    pixels = (Uint32 * (w * h))()
    argb8888 = 0x16362004
    assert sdl2.SDL_RenderReadPixels(renderer, None, argb8888, pixels, 4 * w) == 0
    return {(i % w, i // w): ((v >> 16) & 0xff, (v >> 8) & 0xff, v & 0xff)
            for i, v in enumerate(pixels)}


OVERLAY_PROBE = """
import ctypes
import brilox.display, brilox.overlay
from support import sdl
brilox.display.init()
brilox.display.set_mode((8, 8))
screen = sdl.video_surface()
ctypes.memset(screen.pixels, 0, screen.pitch * screen.h)
overlay = brilox.overlay.Overlay(sdl.YV12, (8, 8))
overlay.display((b"\\xeb" * 64, b"\\x80" * 16, b"\\x80" * 16))
brilox.display.flip()
print(sdl.surface_pixel(screen, 4, 4) != (0, 0, 0))
del overlay
brilox.display.quit()
"""


@functools.lru_cache(maxsize=None)
def overlays_drawn_into_surface():
    """Whether this build draws a shown overlay into the display surface, as
    a screenshot of that surface needs: found by showing a white frame in a
    fresh interpreter and reading the surface back."""
    path = os.pathsep.join(filter(None, [str(HERE.parent), os.environ.get("PYTHONPATH")]))
    done = subprocess.run([sys.executable, "-c", OVERLAY_PROBE],
                          env=dict(os.environ, SDL_VIDEODRIVER="dummy", PYTHONPATH=path),
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip() == "True"
