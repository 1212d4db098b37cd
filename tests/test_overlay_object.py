"""The Overlay type: module contents, creation, placement, the hardware
query and release."""

import gc

import pytest

import brilox.base
import brilox.display
import brilox.overlay
from brilox.overlay import Overlay
from support import sdl


@pytest.fixture
def frees(sdl_double):
    """The double, counting from zero once overlays that earlier tests left
    in reference cycles are gone; no overlay may reach SDL_FreeYUVOverlay
    once SDL's video is shut down."""
    gc.collect()
    sdl_double.reset()
    yield sdl_double
    assert sdl_double.free_overlay_without_video_calls == 0


def test_module_holds_only_the_overlay_type():
    public = [name for name in dir(brilox.overlay) if not name.startswith("_")]
    assert public == ["Overlay"]
    assert brilox.overlay.__doc__ is None
    assert Overlay.__name__ == "overlay" and Overlay.__module__ == "brilox"
    assert Overlay.__doc__ == (
        "Overlay(format, (width, height)) -> Overlay\n"
        "brilox object for video overlay graphics")


@pytest.mark.parametrize("method, doc", [
    ("set_location", "set_location(rect) -> None\ncontrol where the overlay is displayed"),
    ("display", "display((y, u, v)) -> None\ndisplay() -> None\nset the overlay pixel data"),
    ("get_hardware", "get_hardware(rect) -> int\ntest if the Overlay is hardware accelerated"),
])
def test_method_documentation(method, doc):
    assert getattr(Overlay, method).__doc__ == doc


def test_creation_needs_initialised_video(sdl_double):
    with pytest.raises(brilox.base.error) as caught:
        Overlay(sdl.YV12, (16, 8))
    assert str(caught.value) == "cannot create overlay without brilox.display initialized"
    assert sdl_double.create_overlay_calls == 0


@pytest.mark.parametrize("formatless", [0, 1], ids=["no surface", "surface without format"])
def test_creation_needs_a_display_mode(video, sdl_double, formatless):
    # SDL over SDL 2 (1.2.66 on) keeps a surface without a format after a
    # restart of its video subsystem.
    sdl_double.formatless_video_surface = formatless
    with pytest.raises(brilox.base.error) as caught:
        Overlay(sdl.YV12, (16, 8))
    assert str(caught.value) == "Display mode not set"
    assert sdl_double.create_overlay_calls == 0


@pytest.mark.parametrize("args", [
    (), (sdl.YV12,), (sdl.YV12, (16,)), (sdl.YV12, (16, 8, 1)), ("YV12", (16, 8)),
    (sdl.YV12, 16, 8), (sdl.YV12, (16.0, 8)), (sdl.YV12, (2 ** 31, 8)),
])
def test_creation_arguments_are_one_int_and_a_pair(screen, sdl_double, args):
    with pytest.raises((TypeError, OverflowError)):
        Overlay(*args)
    assert sdl_double.create_overlay_calls == 0


def test_creation_asks_sdl_for_an_overlay_on_the_display(screen):
    overlay = Overlay(sdl.IYUV, (17, 9))
    record = sdl.overlay_record(overlay)
    assert (record.format, record.w, record.h, record.planes) == (sdl.IYUV, 17, 9, 3)


@pytest.mark.parametrize("refusal", ["double", "unknown format"])
def test_refused_overlay_raises_and_frees_nothing(screen, frees, refusal):
    fmt = sdl.YV12
    if refusal == "double":
        frees.state.refuse_create_overlay = 1
    else:
        fmt = 0x12345678
    with pytest.raises(brilox.base.error) as caught:
        Overlay(fmt, (16, 8))
    assert str(caught.value) == "Cannot create overlay"
    assert frees.create_overlay_calls == 1
    assert frees.free_overlay_calls == 0


@pytest.mark.parametrize("fmt, size", [
    (sdl.YV12, (65534, 32770)), (sdl.YUY2, (65534, 32770)), (sdl.IYUV, (46341, 46341)),
    (sdl.YV12, (2 ** 31 - 1, 2)), (sdl.YV12, (-65536, 32768)), (sdl.YV12, (-2 ** 31, -2 ** 31)),
], ids=str)
def test_sizes_whose_memory_sdl_cannot_count_are_refused(screen, frees, fmt, size):
    # SDL counts the bytes as width * height * 2 in an int; past its range the
    # count wraps and the planes would reach beyond the memory behind them.
    with pytest.raises(brilox.base.error) as caught:
        Overlay(fmt, size)
    assert str(caught.value) == "Cannot create overlay"
    assert frees.create_overlay_calls == 0


def test_new_overlay_is_shown_at_origin_with_its_size(screen, sdl_double):
    overlay = Overlay(sdl.YV12, (16, 8))
    overlay.display()
    assert sdl_double.last_display_rect.astuple() == (0, 0, 16, 8)


@pytest.mark.parametrize("args", [
    ((3, 4, 32, 16),), (3, 4, 32, 16), ([3, 4, 32, 16],), ((3, 4), (32, 16)),
    (((3, 4), (32, 16)),),
])
def test_set_location_accepts_rect_styles(screen, sdl_double, args):
    overlay = Overlay(sdl.YV12, (16, 8))
    assert overlay.set_location(*args) is None
    assert sdl_double.display_overlay_calls == 0, "the new place waits for display"
    overlay.display()
    assert sdl_double.last_display_rect.astuple() == (3, 4, 32, 16)


@pytest.mark.parametrize("args", [
    (), ((1, 2, 3),), (1, 2, 3), ("abcd",), ((1, 2, 3, "x"),), (None,), ((1, 2, 3, 2 ** 31),),
])
def test_set_location_refusal_keeps_the_old_place(screen, sdl_double, args):
    overlay = Overlay(sdl.YV12, (16, 8))
    overlay.set_location(5, 6, 16, 8)
    with pytest.raises(TypeError) as caught:
        overlay.set_location(*args)
    assert str(caught.value) == "Invalid rectstyle argument"
    overlay.display()
    assert sdl_double.last_display_rect.astuple() == (5, 6, 16, 8)


@pytest.mark.parametrize("location, shown", [
    ((70000, 2, 16, 8), (4464, 2, 16, 8)),
    ((-70000, 40000, 16, 8), (-4464, -25536, 16, 8)),
    ((0, 0, 65537, 65544), (0, 0, 1, 8)),
    ((-1, -32768, 2 ** 31 - 1, 70000), (-1, -32768, 65535, 4464)),
    # Far larger than the 160 x 120 screen: over SDL 2, never handed to SDL.
    ((0, 0, 16000, 16000), (0, 0, 16000, 16000)),
    ((-32768, -32768, 65535, 65535), (-32768, -32768, 65535, 65535)),
    ((0, 0, 4096, 4097), (0, 0, 4096, 4097)),
    ((0, 0, 4096, 4096), (0, 0, 4096, 4096)),
    ((-1000, -1000, 2000, 2000), (-1000, -1000, 2000, 2000)),
])
def test_location_is_narrowed_to_sdl_rect(screen, sdl_double, location, shown):
    sdl_double.state.display_is_noop = 1
    overlay = Overlay(sdl.YV12, (16, 8))
    overlay.set_location(location)
    overlay.display((b"y" * 128, b"u" * 32, b"v" * 32))
    handed = sdl.shows_placement(shown[2], shown[3], screen.w, screen.h)
    assert sdl_double.display_overlay_calls == handed
    if handed:
        assert sdl_double.last_display_rect.astuple() == shown
    # The frame is copied in either way.
    assert sdl.overlay_plane(overlay, 0)[0][:16] == b"y" * 16


@pytest.mark.parametrize("hardware", [0, 1])
def test_set_location_and_get_hardware_do_not_consult_sdl(video, sdl_double, hardware):
    sdl_double.state.hardware_overlay = hardware
    video.set_mode((64, 48))
    overlay = Overlay(sdl.YV12, (16, 8))
    flag = sdl.overlay_record(overlay).hw_overlay
    video.quit()
    overlay.set_location(1, 2, 3, 4)
    assert overlay.get_hardware() == flag


@pytest.mark.parametrize("hardware", [0, 1])
def test_get_hardware_reports_the_overlay_flag(screen, sdl_double, hardware):
    # Hardware by the double's switch; otherwise what SDL says (sdl12-compat
    # reports every overlay as hardware, classic SDL none on the dummy driver).
    sdl_double.state.hardware_overlay = hardware
    overlay = Overlay(sdl.YV12, (16, 8))
    flag = sdl.overlay_record(overlay).hw_overlay
    assert flag == (1 if hardware else int(sdl.over_sdl2()))
    result = overlay.get_hardware()
    assert type(result) is int and result == flag


def test_get_hardware_takes_no_arguments(screen):
    overlay = Overlay(sdl.YV12, (16, 8))
    with pytest.raises(TypeError, match="takes no arguments"):
        overlay.get_hardware((0, 0, 1, 1))


def test_release_frees_the_sdl_overlay_once(screen, frees):
    overlay = Overlay(sdl.YV12, (16, 8))
    overlay.display()
    del overlay
    assert frees.free_overlay_calls == 1


# Overlays released from the ends and the middle of those alive, in turn
# with new ones: each is freed once, by its release or by the display's
# shutdown, and never again.
@pytest.mark.parametrize("order", [[0], [5], [2], [1, 3, 0], [4, 10, 2, 11, 0], [5, 0, 11, 12]])
def test_overlays_outliving_video_are_freed_once_before_video_goes(video, frees, order):
    video.set_mode((64, 48))
    overlays = {n: Overlay(sdl.YV12, (16, 8)) for n in range(6)}
    overlays[1].display((b"y" * 128, b"u" * 32, b"v" * 32))
    for turn, n in enumerate(order):
        del overlays[n]
        assert frees.free_overlay_calls == turn + 1
        overlays[10 + turn] = Overlay(sdl.YV12, (16, 8))
    overlays[20] = Overlay(sdl.YUY2, (16, 8))
    video.quit()
    assert frees.free_overlay_calls == 7 + len(order)
    del overlays
    gc.collect()
    assert frees.free_overlay_calls == 7 + len(order)


def test_subclasses_create_and_release_overlays(screen, frees):
    class Framed(Overlay):
        pass

    overlay = Framed(sdl.YUY2, (8, 4))
    overlay.extra = "subclasses may carry their own attributes"
    assert sdl.overlay_record(overlay).planes == 1
    overlay.display((b"\x80" * 64, b"", b""))
    del overlay
    gc.collect()
    assert frees.free_overlay_calls == 1
