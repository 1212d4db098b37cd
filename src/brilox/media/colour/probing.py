"""The probe: shows small frames of known levels and colours through an
overlay, reads back what SDL shows (the display surface, or what SDL 2
presents where SDL 1.2 runs over it) and finds how SDL converts levels,
which matrix it converts by, and whether it shows a frame of an odd size
right.  Call `probe` after the display mode is set and before the first
frame; the display surface is put back as it was."""

import ctypes
import os
from typing import NamedTuple, Optional, Tuple

from brilox.media import _colour
from brilox.media.colour.convert import IYUV, YVYU
from brilox.media.colour.maths import BT601, BT709, FULL, LIMITED, rgb_of
from brilox.media.frames import UYVY, YUY2, YV12


def black_out(rect):
    """Fills the rectangle (x, y, w, h) of the display surface with black."""
    pixel = len(_colour.read_display(rect[:2] + (1, 1), raw=True))
    _colour.write_display(rect, bytes(pixel * rect[2] * rect[3]))


# The probe frame: blocks of 4 x 2 pixels, three greys at these luma levels
# (chroma neutral) and a colour, whose chroma tells BT.601 from BT.709.
PROBE_LEVELS = (16, 128, 235)
PROBE_COLOUR = (110, 100, 200)
PROBE_BLOCKS = [(level, 128, 128) for level in PROBE_LEVELS] + [PROBE_COLOUR]
PROBE_BLOCK = 4
PROBE_SIZE = (PROBE_BLOCK * len(PROBE_BLOCKS), 2)
# The matrices the probe tells apart.
PROBE_MATRICES = (BT601, BT709)
# The odd-size probe: a white frame this size.
ODD_SIZE = (5, 3)
# How far a level read back may be from what a conversion gives, and how
# much further the other conversion's must be.
_CLOSE, _APART = 4, 8
_COLOUR_CLOSE, _COLOUR_APART = 6, 9


class Probe(NamedTuple):
    # The display surface receives what an overlay shows (so a screenshot
    # of it holds the video).
    surface_holds_video: bool
    # True: SDL takes levels as full range, so limited-range video needs
    # expanding; False: it converts limited range itself; None: unknown.
    full_range: Optional[bool]
    # The grey read back for each probe level, or None if nothing was read.
    seen: Optional[Tuple[float, ...]]
    # The matrix SDL converts by (BT601 or BT709), or None: unknown.
    matrix: Optional[str] = None
    # False where SDL shows an overlay of an odd size wrong (classic SDL's
    # software converter steps one pixel short on every pair of rows, and
    # leaves the last column and an odd last row out).
    odd_size_ok: bool = True
    # True where _colour.show_planes puts a YV12 frame into the display
    # surface byte for byte as SDL shows the overlay at its own size: SDL's
    # software converter, which show_planes does at a fraction of its cost.
    converts_here: bool = False


def _probe_frame(overlay_format, blocks=None, size=PROBE_SIZE):
    """The probe's frame in `overlay_format`: `blocks` (Y, U, V), each
    PROBE_BLOCK pixels wide, side by side, `size` pixels in all."""
    w, h = size
    blocks = blocks or PROBE_BLOCKS
    pixel = [blocks[min(x // PROBE_BLOCK, len(blocks) - 1)] for x in range(w)]
    luma = bytes(p[0] for p in pixel)
    if overlay_format in (YV12, IYUV):
        cw, ch = (w + 1) // 2, (h + 1) // 2
        u, v = (bytes(pixel[2 * x][c] for x in range(cw)) * ch for c in (1, 2))
        return (luma * h, u, v)
    pairs = {YUY2: lambda y0, y1, u, v: (y0, u, y1, v), YVYU: lambda y0, y1, u, v: (y0, v, y1, u),
             UYVY: lambda y0, y1, u, v: (u, y0, v, y1)}.get(overlay_format)
    if pairs is None:
        raise ValueError("cannot probe overlay format 0x%08x" % overlay_format)
    packed = bytes(b for x in range(0, w, 2)
                   for b in pairs(luma[x], luma[x + 1], pixel[x][1], pixel[x][2]))
    return (packed * h, b"", b"")


def _block_colours(rgb, width):
    """The mean (r, g, b) of the middle of each probe block in RGB bytes of
    a rectangle `width` pixels wide and 2 rows high."""
    colours = []
    for block in range(len(PROBE_BLOCKS)):
        x0 = block * PROBE_BLOCK + 1
        colours.append(tuple(
            sum(rgb[3 * (row * width + x) + c] for row in range(2) for x in (x0, x0 + 1)) / 4
            for c in range(3)))
    return colours


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


def matrix_from(colour, full_range):
    """The matrix whose conversion at the range found shows PROBE_COLOUR as
    `colour` (r, g, b) read back, when only one of PROBE_MATRICES comes
    close; else None."""
    if colour is None or full_range is None:
        return None
    levels = FULL if full_range else LIMITED
    off = {m: max(abs(a - b) for a, b in zip(colour, rgb_of(PROBE_COLOUR, m, levels)))
           for m in PROBE_MATRICES}
    close = [m for m in PROBE_MATRICES if off[m] <= _COLOUR_CLOSE]
    if len(close) == 1 and all(off[m] >= _COLOUR_APART for m in PROBE_MATRICES if m != close[0]):
        return close[0]
    return None


def _sdl2_renderer():
    """(SDL 2's library, its renderer, output width, height) where SDL 1.2
    runs over SDL 2 and draws overlays only when it presents the screen;
    None if SDL 2 is not what runs, or its output cannot be read."""
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
    return sdl2, renderer, out_w.value, out_h.value


class _Rect(ctypes.Structure):
    _fields_ = [(n, ctypes.c_int) for n in "xywh"]


def presented_rgb(rect, screen_size):
    """RGB bytes of the rectangle (x, y, w, h) of the screen as SDL 2
    presents it, where SDL 1.2 runs over SDL 2: read in one go where SDL 2's
    output is the screen's size, else each pixel where it lands in the
    scaled output.  None where that cannot be read."""
    found = _sdl2_renderer()
    if found is None:
        return None
    sdl2, renderer, out_w, out_h = found
    x, y, w, h = rect
    argb8888, rgb24 = 0x16362004, 0x17101803
    if (out_w, out_h) == tuple(screen_size):
        pixels = ctypes.create_string_buffer(3 * w * h)
        if sdl2.SDL_RenderReadPixels(renderer, ctypes.byref(_Rect(x, y, w, h)), rgb24,
                                     pixels, 3 * w) != 0:
            return None
        return pixels.raw
    sx, sy = out_w / screen_size[0], out_h / screen_size[1]
    rgb = bytearray()
    pixel = ctypes.c_uint32()
    for row in range(y, y + h):
        for column in range(x, x + w):
            px, py = int((column + 0.5) * sx), int((row + 0.5) * sy)
            if not (0 <= px < out_w and 0 <= py < out_h):
                return None
            if sdl2.SDL_RenderReadPixels(renderer, ctypes.byref(_Rect(px, py, 1, 1)), argb8888,
                                         ctypes.byref(pixel), 4) != 0:
                return None
            v = pixel.value
            rgb += bytes((v >> 16 & 255, v >> 8 & 255, v & 255))
    return bytes(rgb)


def _shown(overlay_format, size, frame, rect, screen, area=None):
    """Shows `frame` through an overlay of `overlay_format` and `size` at
    `rect` on black and reads back what SDL shows in `area` (the rectangle
    by default): (whether the display surface held it, RGB bytes of `area`
    or None).  The display surface is put back as it was; where it does not
    receive the overlay, the screen is presented once to read what SDL
    draws, which the first frame shown replaces."""
    import brilox.display as display
    from brilox.overlay import Overlay

    area = area or rect
    before = _colour.read_display(area, raw=True)
    black = bytes(len(before))
    _colour.write_display(area, black)
    overlay = Overlay(overlay_format, size)
    try:
        overlay.set_location(rect)
        overlay.display(frame)
        held = _colour.read_display(area, raw=True) != black
        if held:
            rgb = _colour.read_display(area)
        else:
            display.flip()
            rgb = presented_rgb(area, screen)
    finally:
        del overlay
        _colour.write_display(area, before)
    return held, rgb


# The frame that tells show_planes' conversion from another: luma, and
# chroma on both sides of 128, from end to end of their ranges.
CONVERT_SIZE = PROBE_SIZE  # 16 x 2
CONVERT_FRAME = (bytes(range(0, 256, 17)) + bytes(range(255, -1, -17)),
                 bytes((0, 40, 90, 127, 129, 170, 220, 255)),
                 bytes((255, 200, 150, 128, 100, 60, 20, 0)))


def _converts_here(rect):
    """Whether show_planes shows the YV12 frame CONVERT_FRAME at `rect`
    (x, y) + CONVERT_SIZE exactly as SDL shows it through an overlay there.
    The display surface is put back as it was."""
    from brilox.overlay import Overlay

    before = _colour.read_display(rect, raw=True)
    black = bytes(len(before))
    try:
        _colour.write_display(rect, black)
        overlay = Overlay(YV12, CONVERT_SIZE)
        overlay.set_location(rect)
        overlay.display(CONVERT_FRAME)
        del overlay
        by_sdl = _colour.read_display(rect, raw=True)
        _colour.write_display(rect, black)
        if not _colour.show_planes(CONVERT_FRAME, *CONVERT_SIZE, *rect[:2]):
            return False
        return by_sdl != black and _colour.read_display(rect, raw=True) == by_sdl
    finally:
        _colour.write_display(rect, before)


def overlays_stack():
    """Whether SDL shows, at the flip after them, each overlay put up since
    the flip before, each over those put up before it, even where one of
    them is put up again over another: True where the display surface
    receives each overlay at once (each then lies over those before it).
    Two small overlays side by side are put up, the second, the first and
    the second again (as an overlay put up again over a Video below it
    is); the place of the first is read back after a flip.  The display
    surface is put back as it was; where it does not receive overlays the
    screen is presented once.  True where nothing can be read."""
    import brilox.display as display
    from brilox.overlay import Overlay

    screen = display.get_size()
    w, h = PROBE_BLOCK, 2
    if screen[0] < 2 * w or screen[1] < h:
        return True
    area = (0, 0, 2 * w, h)
    before = _colour.read_display(area, raw=True)
    black = bytes(len(before))
    _colour.write_display(area, black)
    frame = _probe_frame(YV12, [(235, 128, 128)], (w, h))
    lower, upper = Overlay(YV12, (w, h)), Overlay(YV12, (w, h))
    try:
        lower.set_location((0, 0, w, h))
        upper.set_location((w, 0, w, h))
        upper.display(frame)
        lower.display(frame)
        upper.display()
        if _colour.read_display(area, raw=True) != black:
            return True
        display.flip()
        rgb = presented_rgb(area, screen)
    finally:
        del lower, upper
        _colour.write_display(area, before)
    if rgb is None:
        return True

    def white(x):  # the middle two pixels of both rows, from column x on
        return min(rgb[3 * x:3 * (x + 2)] + rgb[3 * (2 * w + x):3 * (2 * w + x + 2)]) > 160
    # Where the second, put up last, is not read back either, nothing is known.
    return white(1) or not white(w + 1)


def probe(overlay_format, where=(0, 0), odd=True):
    """Shows small frames of known levels and colours through overlays of
    `overlay_format` at `where` (x, y) on the current display, reads back
    what SDL shows and returns a Probe: how SDL converts levels and which
    matrix it converts by, and, where `odd` asks, whether it shows a frame
    of an odd size right (each look costs a presentation of the screen on
    SDL over SDL 2).

    Call it after the display mode is set and before the first frame.  The
    display surface is put back as it was.
    """
    import brilox.display as display

    screen = display.get_size()
    w, h = PROBE_SIZE
    if screen[0] < w or screen[1] < h:
        return Probe(False, None, None, None)
    x = min(max(0, where[0]), screen[0] - w)
    y = min(max(0, where[1]), screen[1] - h)
    held, rgb = _shown(overlay_format, PROBE_SIZE, _probe_frame(overlay_format), (x, y, w, h),
                       screen)
    colours = _block_colours(rgb, w) if rgb is not None else None
    seen = tuple(sum(c) / 3 for c in colours[:len(PROBE_LEVELS)]) if colours else None
    full_range = full_range_from(seen)
    matrix = matrix_from(colours[-1] if colours else None, full_range)
    # Only the planar overlays are shown at odd sizes (frames.overlay_target).
    odd_ok = True
    ow, oh = ODD_SIZE
    if odd and overlay_format in (YV12, IYUV) and screen[0] >= ow + 1 and screen[1] >= oh:
        ox, oy = min(max(1, x), screen[0] - ow), min(y, screen[1] - oh)
        # A white frame, read with the column before it.  A converter that
        # steps short draws the second pair of rows one pixel to the left,
        # before the frame, and one that works by pairs of rows leaves the
        # last row black.  (The last column is left out of the test:
        # sdl12-compat tints it a little.)
        _, odd = _shown(overlay_format, ODD_SIZE,
                        _probe_frame(overlay_format, [(235, 128, 128)], ODD_SIZE),
                        (ox, oy, ow, oh), screen, (ox - 1, oy, ow + 1, oh))
        if odd is not None:
            rows = [[odd[3 * (r * (ow + 1) + i):3 * (r * (ow + 1) + i) + 3] for i in range(ow + 1)]
                    for r in range(oh)]
            odd_ok = all(max(row[0]) < 96 and all(max(p) > 160 for p in row[1:ow])
                         for row in rows)
    converts = held and overlay_format == YV12 and _converts_here((x, y) + CONVERT_SIZE)
    return Probe(held, full_range, seen, matrix, odd_ok, converts)
