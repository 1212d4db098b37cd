"""True colours for brilox-play: how the SDL in use converts YUV levels, and
the conversion of a source's levels to the range that SDL takes.

Video keeps its levels in a limited range: luma 16-235, chroma 16-240
around 128.  Some SDL builds convert an overlay to RGB as if its levels
were full range (0-255), which shows black as dark grey and white as light
grey; others convert limited range correctly.  `probe` finds out which by
showing a small frame of known levels and reading back what SDL shows.
Where SDL takes the levels as full range and the video is limited range,
`expand_frame` stretches each frame's levels before the upload:

    Y' = clip(round((Y - 16) * 255 / 219))
    C' = clip(round((C - 128) * 255 / 224) + 128)

Where SDL takes them as limited range and the video is full range (JPEG's
yuvj420p, say), `compress_frame` squeezes them the other way:

    Y' = round(16 + Y * 219 / 255)
    C' = round(128 + (C - 128) * 224 / 255)

Used by the player in this order::

    probe_result = colour.probe(overlay_format, placement)   # after set_mode, before frame 1
    which = colour.conversion(levels, options.range, probe_result.full_range)
    ...
    frame = colour.convert_frame(frame, overlay_format, which) if which else frame
    overlay.display(frame)
"""

import ctypes
import os
from typing import NamedTuple, Optional, Tuple

from . import _colour
from .frames import UYVY, YUY2, YV12

LIMITED, FULL = "limited", "full"
# The choices of the player's --range option: "auto" follows the source.
RANGE_CHOICES = ("auto", LIMITED, FULL)

# SDL's overlay format codes, besides the player's own three.
IYUV, YVYU = 0x56555949, 0x55595659

# What the bytes of each format's first plane are; the chroma planes of the
# planar formats are all chroma.
_FIRST_PLANE = {YV12: _colour.LUMA, IYUV: _colour.LUMA, YUY2: _colour.LUMA_CHROMA,
                YVYU: _colour.LUMA_CHROMA, UYVY: _colour.CHROMA_LUMA}
LUMA, CHROMA = _colour.LUMA, _colour.CHROMA
LUMA_CHROMA, CHROMA_LUMA = _colour.LUMA_CHROMA, _colour.CHROMA_LUMA
expand, compress = _colour.expand, _colour.compress
# The level conversions that `conversion` chooses.
EXPAND, COMPRESS = "expand", "compress"


def conversion(source, choice, sdl_full_range):
    """The conversion of each frame's levels before the upload: EXPAND,
    COMPRESS, or None for none.

    `source` is the range of the source's levels (LIMITED or FULL),
    `choice` the player's --range ("auto" follows the source, "limited" or
    "full" say what the source holds whatever it claims), and `sdl_full_range` the probe's
    finding: an SDL found to take levels as full range gets limited-range
    frames expanded, one found to take them as limited range gets
    full-range frames compressed; where the probe could not tell (None),
    frames go as they are.
    """
    if choice not in RANGE_CHOICES:
        raise ValueError("range must be one of %s, not %r" % (", ".join(RANGE_CHOICES), choice))
    levels = source if choice == "auto" else choice
    if levels == LIMITED and sdl_full_range is True:
        return EXPAND
    if levels == FULL and sdl_full_range is False:
        return COMPRESS
    return None


def expand_wanted(source, choice, sdl_full_range):
    """Whether to expand each frame's levels before the upload (`conversion`)."""
    return conversion(source, choice, sdl_full_range) == EXPAND


def convert_frame(frame, overlay_format, which):
    """`frame` as Overlay.display takes it, a (plane, plane, plane) tuple of
    buffers, with its levels converted (`which` is EXPAND or COMPRESS) into
    new bytes objects.  Packed formats' empty second and third strings stay
    as they are."""
    first = _FIRST_PLANE.get(overlay_format)
    if first is None:
        raise ValueError("no level conversion for overlay format 0x%08x" % overlay_format)
    convert = {EXPAND: _colour.expand, COMPRESS: _colour.compress}[which]
    return tuple(convert(plane, first if i == 0 else _colour.CHROMA) if len(plane) else plane
                 for i, plane in enumerate(frame))


def expand_frame(frame, overlay_format):
    """`frame` with its levels expanded to full range (`convert_frame`)."""
    return convert_frame(frame, overlay_format, EXPAND)


def compress_frame(frame, overlay_format):
    """`frame` with its levels compressed to limited range (`convert_frame`)."""
    return convert_frame(frame, overlay_format, COMPRESS)


# --- probing ----------------------------------------------------------------

# The probe frame: blocks of 4 x 2 pixels at these luma levels, chroma
# neutral, so each block shows one grey.
PROBE_LEVELS = (16, 128, 235)
PROBE_BLOCK = 4
PROBE_SIZE = (PROBE_BLOCK * len(PROBE_LEVELS), 2)
# How far a level read back may be from the grey that a conversion gives,
# and how much further the other conversion's grey must be.
_CLOSE, _APART = 4, 8


class Probe(NamedTuple):
    # The display surface receives what an overlay shows (so a screenshot
    # of it holds the video).
    surface_holds_video: bool
    # True: SDL takes levels as full range, so limited-range video needs
    # expanding; False: it converts limited range itself; None: unknown.
    full_range: Optional[bool]
    # The grey read back for each probe level, or None if nothing was read.
    seen: Optional[Tuple[float, ...]]


def _probe_frame(overlay_format):
    w, h = PROBE_SIZE
    row = bytes(level for level in PROBE_LEVELS for _ in range(PROBE_BLOCK))
    if overlay_format in (YV12, IYUV):
        chroma = b"\x80" * ((w // 2) * (h // 2))
        return (row * h, chroma, chroma)
    pairs = {YUY2: lambda y: (y, 128, y, 128), YVYU: lambda y: (y, 128, y, 128),
             UYVY: lambda y: (128, y, 128, y)}.get(overlay_format)
    if pairs is None:
        raise ValueError("cannot probe overlay format 0x%08x" % overlay_format)
    packed = bytes(b for x in range(0, w, 2) for b in pairs(row[x]))
    return (packed * h, b"", b"")


def _block_greys(rgb, width):
    """The mean grey of the middle of each probe block in RGB bytes of a
    rectangle `width` pixels wide and 2 rows high."""
    greys = []
    for block in range(len(PROBE_LEVELS)):
        x0 = block * PROBE_BLOCK + 1
        values = [rgb[3 * (row * width + x) + c]
                  for row in range(2) for x in (x0, x0 + 1) for c in range(3)]
        greys.append(sum(values) / len(values))
    return tuple(greys)


def _limited_grey(level):
    return min(255, max(0, round((level - 16) * 255 / 219)))


def full_range_from(seen):
    """True when the greys read back are what a full-range conversion of the
    probe levels shows, False for a limited-range one, None for neither."""
    if seen is None:
        return None
    off_full = max(abs(s - level) for s, level in zip(seen, PROBE_LEVELS))
    off_limited = max(abs(s - _limited_grey(level)) for s, level in zip(seen, PROBE_LEVELS))
    if off_full <= _CLOSE and off_limited >= _APART:
        return True
    if off_limited <= _CLOSE and off_full >= _APART:
        return False
    return None


def _presented_greys(x, y, screen_size):
    """The greys of the probe as the screen presents it, where SDL 1.2 runs
    over SDL 2 and draws overlays only when it presents the screen: read
    from SDL 2's renderer.  None if SDL 2 is not what runs, or its output
    cannot be read."""
    try:
        sdl2 = ctypes.CDLL("libSDL2-2.0.so.0", mode=os.RTLD_NOLOAD | ctypes.RTLD_GLOBAL)
    except (OSError, AttributeError):
        return None
    try:
        get_window = sdl2.SDL_GetWindowFromID
        get_window.restype, get_window.argtypes = ctypes.c_void_p, [ctypes.c_uint32]
        sdl2.SDL_GetRenderer.restype = ctypes.c_void_p
        sdl2.SDL_GetRenderer.argtypes = [ctypes.c_void_p]
        sdl2.SDL_GetRendererOutputSize.argtypes = [ctypes.c_void_p] + [ctypes.c_void_p] * 2
        sdl2.SDL_RenderReadPixels.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_uint32,
                                              ctypes.c_void_p, ctypes.c_int]
    except AttributeError:
        return None
    windows = [w for w in map(get_window, range(1, 64)) if w]
    if len(windows) != 1:
        return None
    renderer = sdl2.SDL_GetRenderer(windows[0])
    if not renderer:
        return None
    out_w, out_h = ctypes.c_int(), ctypes.c_int()
    if sdl2.SDL_GetRendererOutputSize(renderer, ctypes.byref(out_w), ctypes.byref(out_h)) != 0:
        return None
    sx, sy = out_w.value / screen_size[0], out_h.value / screen_size[1]
    argb8888 = 0x16362004

    class Rect(ctypes.Structure):
        _fields_ = [(n, ctypes.c_int) for n in "xywh"]

    greys = []
    for block in range(len(PROBE_LEVELS)):
        px = int((x + block * PROBE_BLOCK + PROBE_BLOCK / 2) * sx)
        py = int((y + 1) * sy)
        if not (0 <= px < out_w.value and 0 <= py < out_h.value):
            return None
        pixel = ctypes.c_uint32()
        if sdl2.SDL_RenderReadPixels(renderer, ctypes.byref(Rect(px, py, 1, 1)), argb8888,
                                     ctypes.byref(pixel), 4) != 0:
            return None
        v = pixel.value
        greys.append(((v >> 16 & 255) + (v >> 8 & 255) + (v & 255)) / 3)
    return tuple(greys)


def probe(overlay_format, where=(0, 0)):
    """Shows a small frame of known grey levels through an overlay of
    `overlay_format` at `where` (x, y) on the current display, reads back
    what SDL shows and returns a Probe.

    Call it after the display mode is set and before the first frame.  The
    display surface is put back as it was.  Where the display surface does
    not receive the overlay, the screen is presented once to read what SDL
    draws there; the player's first frame replaces it.
    """
    import brilox.display as display
    from brilox.overlay import Overlay

    screen_w, screen_h = display.get_size()
    w, h = PROBE_SIZE
    if screen_w < w or screen_h < h:
        return Probe(False, None, None)
    x = min(max(0, where[0]), screen_w - w)
    y = min(max(0, where[1]), screen_h - h)
    rect = (x, y, w, h)
    before = _colour.read_display(rect, raw=True)
    overlay = Overlay(overlay_format, PROBE_SIZE)
    try:
        overlay.set_location(rect)
        overlay.display(_probe_frame(overlay_format))
        held = _colour.read_display(rect, raw=True) != before
        if held:
            seen = _block_greys(_colour.read_display(rect), w)
            _colour.write_display(rect, before)
        else:
            display.flip()
            seen = _presented_greys(x, y, (screen_w, screen_h))
    finally:
        del overlay
    return Probe(held, full_range_from(seen), seen)

