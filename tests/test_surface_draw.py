"""Drawing on surfaces: the buffer protocol, fill, blit and the display's
Surface, read back through SDL's own records and what SDL shows."""

import array
import ctypes

import numpy
import pytest

import brilox.base
import brilox.display as display
from brilox.surface import Surface, ViewLock
from lockers import locked, sdl_record
from support import sdl


def sdl_rgba(surface):
    """Each pixel's (R, G, B, A) as SDL decodes it with the surface's own masks."""
    r, f = sdl_record(surface), sdl_record(surface).format.contents
    words = numpy.ctypeslib.as_array((ctypes.c_uint32 * (r.pitch // 4 * r.h)).from_address(
        r.pixels)).reshape(r.h, -1)[:, :r.w]
    return numpy.stack([(words & m) >> s for m, s in ((f.Rmask, f.Rshift), (f.Gmask, f.Gshift),
                        (f.Bmask, f.Bshift), (f.Amask, f.Ashift))], axis=-1).astype(int)


def blend(src, alpha, dst):
    """The blend in whole levels; classic SDL's blitter, which divides by
    256, comes within one level of it."""
    return (numpy.asarray(src) * alpha + numpy.asarray(dst) * (255 - alpha)) // 255


@pytest.mark.parametrize("alpha", [False, True])
def test_a_view_is_the_pixels_sdl_holds_in_rgba_order_and_locks_them(sdl_double, alpha):
    surface = Surface((5, 3), alpha=alpha)
    sub = surface.subsurface((1, 1, 3, 2))
    pixels = numpy.asarray(surface)
    assert pixels.shape == (3, 5, 4) and pixels.dtype == numpy.uint8
    assert pixels.ctypes.data == sdl_record(surface).pixels
    view = memoryview(sub)
    assert (view.shape, view.strides, view.format, view.readonly) == ((2, 3, 4), (20, 4, 1),
                                                                       "B", False)
    assert numpy.asarray(sub).ctypes.data == sdl_record(surface).pixels + 20 + 4
    expected = numpy.arange(60).reshape(3, 5, 4)
    pixels[...] = expected
    numpy.asarray(sub)[1, 2] = expected[2, 3] = (200, 201, 202, 203)
    channels = 4 if alpha else 3
    assert (sdl_rgba(surface)[..., :channels] == expected[..., :channels]).all()
    # A contiguous surface is one run of bytes, a subsurface is not.
    assert array.array("B", bytes(surface)).tolist() == expected.ravel().tolist()
    with pytest.raises(BufferError, match="not contiguous"):
        array.array("B").frombytes(sub)
    # Each view locks through the table while it lives; the subsurface's
    # view holds its owner for it.
    assert [type(k) for k in surface.get_locks()] == [ViewLock, Surface]
    assert [type(k) for k in sub.get_locks()] == [ViewLock]
    assert (locked(surface), locked(sub)) == (2, 1)
    # fill draws under a view (SDL's blitter alone refuses locked surfaces).
    assert surface.fill(numpy.uint8([9, 8, 7]), (4, 2, 1, 1)) == (4, 2, 1, 1)
    assert pixels[2, 4, :3].tolist() == [9, 8, 7]
    del pixels, view
    assert surface.get_locks() == sub.get_locks() == () and locked(surface) == 0


def test_fill_and_blit_clip_blend_and_never_smear_an_overlap(sdl_double):
    dst = Surface((6, 4))
    assert dst.fill((10, 20, 30)) == (0, 0, 6, 4)
    assert dst.fill((1, 2, 3, 4), ((4, -1), (5, 3))) == (4, 0, 2, 2)
    assert dst.fill((9, 9, 9), (2, 2, 0, 5)) == (2, 2, 0, 0)
    expected = numpy.full((4, 6, 3), (10, 20, 30))
    expected[0:2, 4:6] = (1, 2, 3)
    src = Surface((3, 3))
    numpy.asarray(src)[...] = numpy.arange(36).reshape(3, 3, 4)
    # The area is clipped to the source, then its landing to the destination.
    assert dst.blit(src, (-1, 3), (1, 0, 5, 2)) == (0, 3, 1, 1)
    expected[3, 0] = numpy.asarray(src)[0, 2, :3]
    assert dst.blit(src, (6, 0)) == (6, 0, 0, 0)
    assert (sdl_rgba(dst)[..., :3] == expected).all()

    alphas = numpy.array([0, 1, 64, 128, 200, 254, 255])
    under, over = Surface((7, 1)), Surface((7, 1), alpha=True)
    numpy.asarray(under)[0, :, :3] = (40, 200, 255)
    numpy.asarray(over)[0] = [(250, 10, 128, a) for a in alphas]
    assert under.blit(over) == (0, 0, 7, 1)
    exact = blend((250, 10, 128), alphas[:, None], (40, 200, 255))
    assert abs(sdl_rgba(under)[0, :, :3] - exact).max() <= 1

    # Onto itself and onto pixels it shares: as from a copy of the area.
    scroll = Surface((5, 4))
    numpy.asarray(scroll)[...] = numpy.arange(80).reshape(4, 5, 4) * 3
    before = sdl_rgba(scroll)
    assert scroll.blit(scroll, (1, 1)) == (1, 1, 4, 3)
    before[1:, 1:] = before[:3, :4].copy()
    assert scroll.subsurface((0, 0, 4, 4)).blit(scroll, (1, 0), (0, 0, 2, 4)) == (1, 0, 2, 4)
    before[:, 1:3] = before[:, 0:2].copy()
    assert (sdl_rgba(scroll)[..., :3] == before[..., :3]).all()


def test_a_blit_onto_the_display_surface_shows_blended(screen):
    shown = display.get_surface()
    assert shown is display.get_surface() and shown.get_size() == (160, 120)
    shown.fill((0, 0, 255))
    sprite = Surface((4, 4), alpha=True)
    assert sprite.fill((255, 255, 0, 64)) and shown.blit(sprite, (10, 20)) == (10, 20, 4, 4)
    display.flip()
    seen = sdl.shown_pixels()
    assert abs(numpy.array(seen[(11, 21)]) - blend((255, 255, 0), 64, (0, 0, 255))).max() <= 1
    assert seen[(9, 20)] == seen[(14, 23)] == (0, 0, 255)


def test_the_display_surface_ends_with_its_mode_but_never_under_a_view(video):
    video.set_mode((16, 16))
    shown = display.get_surface()
    corner = shown.subsurface((0, 0, 2, 2))
    pixels = numpy.asarray(corner)
    for end in (lambda: video.set_mode((16, 16)), video.quit):
        with pytest.raises(brilox.base.error, match="views out"):
            end()
    pixels[...] = 7
    assert shown.get_size() == (16, 16)
    del pixels
    video.set_mode((16, 16))
    for use in (shown.get_size, lambda: shown.fill((1, 2, 3)), lambda: memoryview(shown),
                lambda: memoryview(corner), lambda: corner.fill((1, 2, 3)),
                lambda: Surface((2, 2)).blit(corner)):
        with pytest.raises(brilox.base.error, match="display surface has ended"):
            use()
    assert display.get_surface() is not shown
    video.set_mode((16, 16), 16)
    with pytest.raises(BufferError, match="32-bit"):
        memoryview(display.get_surface())
    assert display.get_surface().fill((255, 255, 255), (0, 0, 2, 2)) == (0, 0, 2, 2)


def freed():
    surface = Surface((4, 4))
    surface._drop_sdl_surface()
    return surface


KEPT = []  # holds taken by a case, let go after it

REFUSALS = {
    "colour not a sequence": (lambda s: s.fill("red"), TypeError, "colour must be"),
    "colour of 2": (lambda s: s.fill((1, 2)), ValueError, "3 or 4 components"),
    "colour past 255": (lambda s: s.fill((1, 2, 256)), ValueError, "0 to 255"),
    "rect outside": (lambda s: s.fill((1, 2, 3), (8, 0, 2, 2)), ValueError,
                     r"rect \(8, 0, 2, 2\) lies outside the surface \(8 x 6\)"),
    "rect of negative size": (lambda s: s.fill((1, 2, 3), (0, 0, -1, 2)), ValueError,
                              "negative size"),
    "area outside": (lambda s: s.blit(s, area=(-3, 0, 3, 3)), ValueError,
                     r"area \(-3, 0, 3, 3\) lies outside the source surface \(8 x 6\)"),
    "fill a freed surface": (lambda s: freed().fill((1, 2, 3)), brilox.base.error, "is gone"),
    "blit a freed surface": (lambda s: s.blit(freed()), brilox.base.error, "is gone"),
    "view a freed surface": (lambda s: memoryview(freed()), brilox.base.error, "is gone"),
    "free under a view": (lambda s: KEPT.append(memoryview(s)) or s._drop_sdl_surface(),
                          brilox.base.error, "views of it are out"),
    "blit a locked surface": (lambda s: KEPT.append(numpy.asarray(s)) or Surface((2, 2)).blit(s),
                              brilox.base.error, "locked"),
    "too wide": (lambda s: Surface((16384, 1)), ValueError, "at most 16383"),
}


@pytest.mark.parametrize("case", list(REFUSALS))
def test_bad_input_is_refused_clearly(sdl_double, case):
    call, error, message = REFUSALS[case]
    surface = Surface((8, 6))
    surface.fill((5, 6, 7))
    with pytest.raises(error, match=message):
        call(surface)
    KEPT.clear()
    assert (sdl_rgba(surface)[..., :3] == (5, 6, 7)).all() and not surface.get_locked()
