"""The stand-ins for the library modules the core modules sit beside."""

import ctypes

import pytest

import brilox
import brilox.base
import brilox.display
from support import sdl


def test_base_error_is_a_runtime_error_published_in_slot_0():
    assert issubclass(brilox.base.error, RuntimeError)
    capsule = brilox.base._BRILOX_C_API
    assert type(capsule).__name__ == "PyCapsule"
    assert "brilox.base._BRILOX_C_API" in repr(capsule)


@pytest.mark.parametrize("formatless", [0, 1], ids=["no surface", "surface without format"])
def test_display_lifecycle_follows_sdl(video, sdl_double, tmp_path, formatless):
    assert sdl.lib().SDL_WasInit(sdl.SDL_INIT_VIDEO)
    assert video.get_init() is True
    # SDL over SDL 2 (1.2.66 on) keeps a surface without a format after a
    # restart of its video subsystem: no mode is set either.
    sdl_double.formatless_video_surface = formatless
    for call, args in ((video.get_size, ()), (video.flip, ()),
                       (video.save, (str(tmp_path / "screen.bmp"),))):
        with pytest.raises(brilox.base.error, match="^Display mode not set$"):
            call(*args)
    sdl_double.formatless_video_surface = 0
    # The dummy driver takes any size; classic SDL's tells no desktop size.
    desktop = (1024, 768) if sdl.over_sdl2() else (0, 0)
    assert video.list_modes() is None and video.get_desktop_size() == desktop
    video.set_mode((40, 30))
    surface = sdl.video_surface()
    assert (surface.w, surface.h, surface.format.contents.BitsPerPixel) == (40, 30, 32)
    assert video.get_size() == (40, 30)
    # Every mode starts black, even where SDL reuses the last mode's pixels.
    for size in ((40, 30), (40, 30), (90, 70), (20, 10)):
        video.set_mode(size, 32, video.RESIZABLE)
        surface = sdl.video_surface()
        assert ctypes.string_at(surface.pixels, surface.pitch * surface.h).count(0) == \
            surface.pitch * surface.h, size
        ctypes.memset(surface.pixels, 0xFF, surface.pitch * surface.h)
    video.init()  # classic SDL now reports the last mode's size
    assert video.get_desktop_size() == desktop


def test_display_refuses_work_without_video():
    d = brilox.display
    for call, args in ((d.set_mode, ((10, 10),)), (d.flip, ()), (d.pump, ()),
                       (d.poll_events, ()), (d.wait_event, (0,)), (d.toggle_fullscreen, ()),
                       (d.get_desktop_size, ()), (d.list_modes, ()),
                       (d.post_event, (d.USEREVENT,))):
        with pytest.raises(brilox.base.error, match="^video system not initialized$"):
            call(*args)


def test_display_save_writes_the_surface_as_bmp(screen, tmp_path):
    path = tmp_path / "screen.bmp"
    brilox.display.save(str(path))
    data = path.read_bytes()
    assert data[:2] == b"BM"
    assert int.from_bytes(data[18:22], "little") == 160


def test_get_include_holds_the_lock_table_header():
    import os
    assert os.path.isfile(os.path.join(brilox.get_include(), "pinhold.h"))


@pytest.mark.parametrize("size, depth, flags", [
    ((0, 10), 32, 0), ((10, -1), 32, 0), ((10, 10), 15, 0), ((10, 10), 0, 0),
    ((10, 10), 64, 0), ((10, 10), 32, 0x2), ((10, 10), 32, 0x40000000 | 0x10),
    ((10, 10), 32, 1 << 32)], ids=lambda v: str(v))
def test_display_refuses_sizes_depths_and_flags_sdl_cannot_serve(video, size, depth, flags):
    # Flags other than RESIZABLE, FULLSCREEN and NOFRAME (here OPENGL and
    # DOUBLEBUF) would take the software surface from the overlays.
    with pytest.raises(ValueError, match="^display (size|depth|flags) "):
        video.set_mode(size, depth, flags)
    assert sdl.video_surface() is None

