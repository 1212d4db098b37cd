"""Overlay.display: the frame copied into SDL's planes, and the overlay shown
in its stored rectangle.

The overlay's own planes, read through ctypes under a lock, are the oracle
for the copy; what the screen shows after a flip is the oracle for what is
shown.
"""

import array
import ctypes
import mmap
import textwrap

import numpy as np
import pytest

import brilox.base
import brilox.display
from brilox.overlay import Overlay
from support import sdl

PLANAR = (sdl.YV12, sdl.IYUV)
PACKED = (sdl.YUY2, sdl.UYVY, sdl.YVYU)


def pattern(length, seed):
    """Bytes in which every position of a plane is recognisable."""
    return bytes((seed + 7 * i + i // 251) % 256 for i in range(length))


def plane_rows(overlay, plane):
    data, pitch, rows = sdl.overlay_plane(overlay, plane)
    return [data[r * pitch:(r + 1) * pitch] for r in range(rows)]


def all_rows(overlay):
    return [plane_rows(overlay, p) for p in range(sdl.overlay_record(overlay).planes)]


def overlay_or_refusal(fmt, size):
    """A new Overlay, or None where SDL refuses the size: sdl12-compat makes
    no overlay 0 pixels wide or high, classic SDL does."""
    try:
        return Overlay(fmt, size)
    except brilox.base.error as refusal:
        assert str(refusal) == "Cannot create overlay"
        assert 0 in size and sdl.over_sdl2(), size
        return None


def copied_rows(rows, source, stride, row, count):
    """Rows after copying `count` rows of `row` bytes, clipped to the pitch,
    from `source` advancing by `stride`."""
    rows = [bytearray(r) for r in rows]
    for r in range(count):
        pitch = len(rows[r])
        length = max(0, min(row, pitch))
        chunk = source[r * stride:r * stride + length]
        assert len(chunk) == length, "the copy must never read past its string"
        rows[r][:length] = chunk
    return [bytes(r) for r in rows]


def expected_after(overlay, before, frame):
    """What the planes hold after display(frame): luma rows of w bytes with
    stride y_len / h, chroma rows of (len * 2) / h bytes clipped to the pitch,
    u into plane 2 and v into plane 1; packed rows of 2 * w bytes."""
    record = sdl.overlay_record(overlay)
    w, h = record.w, record.h
    y, u, v = frame
    if h <= 0:
        return before
    if record.planes == 1:
        return [copied_rows(before[0], y, len(y) // h, 2 * w, h)]
    u_row, v_row = len(u) * 2 // h, len(v) * 2 // h
    return [copied_rows(before[0], y, len(y) // h, w, h),
            copied_rows(before[1], v, v_row, v_row, h // 2),
            copied_rows(before[2], u, u_row, u_row, h // 2)]


def test_four_by_four_frame_lands_row_by_row(screen):
    overlay = Overlay(sdl.YV12, (4, 4))
    y = bytes(range(16))
    u, v = b"\xa0\xa1\xa2\xa3", b"\xb0\xb1\xb2\xb3"
    assert overlay.display((y, u, v)) is None
    assert plane_rows(overlay, 0) == [y[0:4], y[4:8], y[8:12], y[12:16]]
    assert plane_rows(overlay, 2) == [b"\xa0\xa1", b"\xa2\xa3"]
    assert plane_rows(overlay, 1) == [b"\xb0\xb1", b"\xb2\xb3"]


def test_luma_stride_skips_the_surplus_of_each_source_row(screen):
    overlay = Overlay(sdl.YV12, (4, 4))
    y = bytes(range(24))
    overlay.display((y, b"\0" * 4, b"\0" * 4))
    assert plane_rows(overlay, 0) == [y[0:4], y[6:10], y[12:16], y[18:22]]


def test_odd_width_chroma_rounded_up_stays_in_its_plane(screen):
    # 17 x 8 with 9-byte chroma rows: each row is clipped to the 8-byte pitch
    # while the source advances by 9, so V never runs into U.
    overlay = Overlay(sdl.YV12, (17, 8))
    u, v = pattern(36, 1), pattern(36, 101)
    overlay.display((pattern(136, 0), u, v))
    assert plane_rows(overlay, 2) == [u[0:8], u[9:17], u[18:26], u[27:35]]
    assert plane_rows(overlay, 1) == [v[0:8], v[9:17], v[18:26], v[27:35]]


@pytest.mark.parametrize("fmt, size, lengths", [
    (sdl.YV12, (16, 8), (128, 32, 32)),
    (sdl.IYUV, (16, 8), (128, 32, 32)),
    (sdl.YV12, (160, 120), (19200, 4800, 4800)),
    (sdl.YV12, (16, 8), (500, 32, 32)),
    (sdl.YV12, (17, 9), (153, 45, 45)),
    (sdl.YV12, (17, 8), (136, 36, 36)),
    (sdl.YV12, (16, 8), (128, 5000, 70)),
    (sdl.YV12, (16, 8), (128, 3, 0)),
    (sdl.YV12, (16, 8), (128, 0, 31)),
    (sdl.YV12, (1, 1), (1, 9, 9)),
    (sdl.YV12, (2, 2), (4, 1, 1)),
    (sdl.YV12, (8, 0), (0, 9, 9)),
    (sdl.YUY2, (16, 8), (256, 0, 0)),
    (sdl.UYVY, (17, 9), (306, 0, 0)),
    (sdl.YVYU, (16, 8), (1000, 0, 0)),
    # Rows copied one by one, a few bytes past whole 64-byte blocks.
    (sdl.YV12, (67, 4), (280, 68, 68)),
    (sdl.YUY2, (65, 2), (280, 0, 0)),
], ids=str)
def test_frame_copy_fills_each_plane(screen, sdl_double, fmt, size, lengths):
    overlay = overlay_or_refusal(fmt, size)
    if overlay is None:
        return
    sdl.fill_overlay(overlay, 0x55)
    before = all_rows(overlay)
    frame = tuple(pattern(n, seed) for n, seed in zip(lengths, (0, 60, 120)))
    overlay.display(frame)
    assert all_rows(overlay) == expected_after(overlay, before, frame)
    assert sdl_double.display_overlay_calls == sdl.shows_placement(
        *size, 160, 120, sdl.overlay_record(overlay))


def mapped(data):
    memory = mmap.mmap(-1, max(len(data), 1))
    memory.write(data)
    return memoryview(memory)[:len(data)]


BUFFER_KINDS = {
    "bytearray": bytearray, "memoryview": memoryview, "array": lambda b: array.array("B", b),
    "mmap": mapped, "numpy": lambda b: np.frombuffer(b, np.uint8),
    "numpy 2-D writable": lambda b: np.frombuffer(b, np.uint8).reshape(2, -1).copy(),
}


@pytest.mark.parametrize("kind", BUFFER_KINDS)
@pytest.mark.parametrize("fmt, lengths", [(sdl.YV12, (136, 36, 36)), (sdl.YUY2, (306, 0, 0))])
def test_each_kind_of_buffer_gives_the_planes_of_its_bytes(screen, kind, fmt, lengths):
    frame = tuple(pattern(n, seed) for n, seed in zip(lengths, (0, 60, 120)))
    by_bytes, by_buffers = Overlay(fmt, (17, 8)), Overlay(fmt, (17, 8))
    by_bytes.display(frame)
    sdl.fill_overlay(by_buffers, 0x55)
    by_buffers.display(tuple(BUFFER_KINDS[kind](plane) for plane in frame))
    assert all_rows(by_buffers) == all_rows(by_bytes)


@pytest.mark.parametrize("view", [np.asarray, memoryview])
def test_rows_of_a_two_dimensional_plane_are_read_with_its_own_stride(screen, view):
    # Luma 16 x 8 and chroma 8 x 4 pitches; every plane is cut from a wider
    # picture, with rows to spare.  U rows are clipped to the pitch, and V
    # rows, shorter than it, leave the rest of each plane row alone.
    overlay = Overlay(sdl.YV12, (16, 8))
    sdl.fill_overlay(overlay, 0x55)
    picture = np.frombuffer(pattern(12 * 40, 3), np.uint8).reshape(12, 40)
    y, u, v = picture[1:10, 3:19], picture[:5, 20:30], picture[2:6, :6]
    overlay.display((view(y), view(u), view(v)))
    assert plane_rows(overlay, 0) == [y[r].tobytes() for r in range(8)]
    assert plane_rows(overlay, 2) == [u[r, :8].tobytes() for r in range(4)]
    assert plane_rows(overlay, 1) == [v[r].tobytes() + b"\x55" * 2 for r in range(4)]


# Rows cut from a wider picture are not contiguous.
WIDE = np.zeros((12, 40), np.uint8)
# An exporter that raises.
RELEASED = memoryview(b"v" * 32)
RELEASED.release()


@pytest.mark.parametrize("fmt, frame, message", [
    (sdl.YV12, (b"y" * 127, b"u" * 32, b"v" * 32), "y plane too short: 128 bytes needed, 127 given"),
    (sdl.YV12, (b"", b"u" * 9999, b"v" * 9999), "y plane too short: 128 bytes needed, 0 given"),
    (sdl.YUY2, (b"p" * 255, b"", b""), "packed plane too short: 256 bytes needed, 255 given"),
    (sdl.YUY2, (b"p" * 256, b"u", b""),
     "a packed overlay takes its frame in the first string; the other two must be empty"),
    (sdl.UYVY, (b"p" * 256, b"", b"v" * 64),
     "a packed overlay takes its frame in the first string; the other two must be empty"),
    (sdl.YV12, (WIDE[:7, :16], b"u" * 32, b"v" * 32), "y plane too short: 8 rows needed, 7 given"),
    (sdl.YV12, (WIDE[:8, :15], b"u" * 32, b"v" * 32),
     "y plane rows too short: 16 bytes needed, 15 given"),
    (sdl.YV12, (b"y" * 128, WIDE[:3, :8], b"v" * 32), "u plane too short: 4 rows needed, 3 given"),
    (sdl.YUY2, (WIDE[:8, :31], b"", b""), "packed plane rows too short: 32 bytes needed, 31 given"),
    (sdl.YV12, (b"y" * 128, b"u" * 32, WIDE[3::-1, :8]), "v plane has a negative stride"),
    (sdl.YV12, (np.asfortranarray(WIDE[:8, :16]), b"u" * 32, b"v" * 32),
     "y plane is in Fortran order; its rows must be contiguous"),
    (sdl.YV12, (WIDE[:8, ::2], b"u" * 32, b"v" * 32),
     "y plane has an item stride of 2 bytes; its rows must be contiguous"),
    (sdl.YV12, (np.zeros((8, 16, 2), np.uint8)[..., :1], b"u" * 32, b"v" * 32),
     "y plane has 3 dimensions and is not contiguous"),
    (sdl.YV12, (np.zeros(64, np.uint16), b"u" * 32, b"v" * 32),
     "y plane has items of 2 bytes; a frame takes bytes"),
    (sdl.YV12, (b"y" * 128, np.broadcast_to(WIDE[0, :8], (4, 8)), b"v" * 32),
     "u plane repeats its rows (a row stride of 0)"),
    (sdl.YV12, (b"y" * 128, b"u" * 32, RELEASED), "operation forbidden on released memoryview object"),
])
def test_unfit_frame_is_refused_before_locking(screen, sdl_double, fmt, frame, message):
    overlay = Overlay(fmt, (16, 8))
    sdl.fill_overlay(overlay, 0x55)
    before = all_rows(overlay)
    frame = tuple(bytearray(p) if isinstance(p, bytes) else p for p in frame)
    with pytest.raises(TypeError if "items of" in message else ValueError) as caught:
        overlay.display(frame)
    assert str(caught.value) == message
    assert all_rows(overlay) == before
    assert (sdl_double.lock_overlay_calls, sdl_double.display_overlay_calls) == (0, 0)
    for plane in frame:  # refused while anything still holds its buffer
        if isinstance(plane, bytearray):
            plane.extend(b"x")


def test_frame_for_an_unknown_plane_count_is_refused(screen, sdl_double):
    overlay = Overlay(sdl.YV12, (16, 8))
    record = sdl.overlay_record(overlay)
    record.planes = 2
    try:
        with pytest.raises(ValueError, match="^cannot upload a frame to an overlay of 2 planes$"):
            overlay.display((b"y" * 128, b"u" * 32, b"v" * 32))
    finally:
        record.planes = 3
    assert sdl_double.lock_overlay_calls == 0


def test_display_with_a_frame_locks_copies_unlocks_and_shows(screen, sdl_double):
    overlay = Overlay(sdl.YV12, (16, 8))
    overlay.set_location(8, 4, 32, 16)
    overlay.display((b"y" * 128, b"u" * 32, b"v" * 32))
    assert (sdl_double.lock_overlay_calls, sdl_double.unlock_overlay_calls) == (1, 1)
    assert sdl_double.display_overlay_calls == 1
    assert sdl_double.last_display_overlay == ctypes.addressof(sdl.overlay_record(overlay))
    assert sdl_double.last_display_rect.astuple() == (8, 4, 32, 16)


def test_display_without_a_frame_shows_without_locking(screen, sdl_double):
    overlay = Overlay(sdl.YV12, (16, 8))
    overlay.display((b"y" * 128, b"u" * 32, b"v" * 32))
    before = all_rows(overlay)
    sdl_double.reset()
    assert overlay.display() is None
    assert sdl_double.lock_overlay_calls == 0
    assert sdl_double.display_overlay_calls == 1
    assert all_rows(overlay) == before


@pytest.mark.parametrize("frame_type", [tuple, list])
def test_any_sequence_of_three_strings_is_a_frame(screen, frame_type):
    overlay = Overlay(sdl.YV12, (4, 2))
    overlay.display(frame_type([b"abcdefgh", b"uu", "v\u00e9"]))
    assert plane_rows(overlay, 0) == [b"abcd", b"efgh"]
    assert plane_rows(overlay, 2) == [b"uu"]
    assert plane_rows(overlay, 1) == ["v\u00e9".encode()[:2]]


class MadeOnTheFly:
    """A sequence that makes a new string each time an item is read."""

    def __init__(self, *lengths):
        self.lengths = lengths

    def __len__(self):
        return len(self.lengths)

    def __getitem__(self, index):
        return pattern(self.lengths[index], 60 * index)


def test_strings_made_on_the_fly_are_held_while_copied(screen):
    overlay = Overlay(sdl.YV12, (16, 8))
    overlay.display(MadeOnTheFly(128, 32, 32))
    assert all_rows(overlay) == expected_after(
        overlay, all_rows(overlay), (pattern(128, 0), pattern(32, 60), pattern(32, 120)))


Y, U, V = b"y" * 128, b"u" * 32, b"v" * 32


def parser_error(args):
    """The error the interpreter's own "(s#s#s#)" conversion gives `args`."""
    parse = getattr(ctypes.pythonapi, "_PyArg_ParseTuple_SizeT", ctypes.pythonapi.PyArg_ParseTuple)
    slots = [ctypes.c_void_p() for _ in range(6)]
    with pytest.raises(Exception) as caught:
        parse(ctypes.py_object(args), b"(s#s#s#)", *map(ctypes.byref, slots))
    return type(caught.value), str(caught.value)


# Buffers are frame items now, so the parser is asked about the frame with
# each buffer given as bytes.
@pytest.mark.parametrize("args", [
    (Y, U, V), ((Y, U),), ((Y, U, V, V),), ((Y, U, None),), ((bytearray(Y), 2.5, V),),
    ((memoryview(Y), U, [V]),), (("\udc80", bytearray(U), None),), (None,), (Y,), ((Y, U, 3),),
], ids=["three args", "two strings", "four strings", "None string", "float after bytearray",
        "list after memoryview", "unencodable text", "None", "one string", "int"])
def test_display_arguments_that_fail_parsing(screen, sdl_double, args):
    overlay = Overlay(sdl.YV12, (16, 8))
    with pytest.raises(Exception) as caught:
        overlay.display(*args)
    as_bytes = tuple(tuple(bytes(i) if isinstance(i, (bytearray, memoryview)) else i for i in a)
                     if isinstance(a, tuple) else a for a in args)
    assert (type(caught.value), str(caught.value)) == parser_error(as_bytes)
    assert (sdl_double.lock_overlay_calls, sdl_double.display_overlay_calls) == (0, 0)


@pytest.mark.parametrize("args", [(), ((Y, U, V),)], ids=["no frame", "frame"])
def test_display_after_video_shutdown_calls_nothing_in_sdl(video, sdl_double, args):
    video.set_mode((64, 48))
    overlay = Overlay(sdl.YV12, (16, 8))
    video.quit()
    with pytest.raises(brilox.base.error) as caught:
        overlay.display(*args)
    assert str(caught.value) == "video system not initialized"
    assert (sdl_double.lock_overlay_calls, sdl_double.display_overlay_calls) == (0, 0)


DISPLAY_CHANGES = {
    "depth": lambda video, double: video.set_mode((64, 48), 16),
    # Over SDL 2 the renderer that held the overlay is gone, though the
    # surface and its format are the old ones again.
    "depth and back": lambda video, double: (video.set_mode((64, 48), 16),
                                             video.set_mode((64, 48))),
    "restart": lambda video, double: (video.quit(), video.init()),
    "restart, same mode": lambda video, double: (video.quit(), video.init(),
                                                 video.set_mode((64, 48))),
    # Changed behind brilox.display's back: the overlay is left to SDL.
    "depth through SDL": lambda video, double: sdl.lib().SDL_SetVideoMode(64, 48, 16, 0),
    "format gone": lambda video, double: setattr(double, "formatless_video_surface", 1),
}


@pytest.mark.parametrize("change", list(DISPLAY_CHANGES))
def test_display_refuses_an_overlay_its_display_has_outlived(video, sdl_double, change):
    video.set_mode((64, 48))
    overlay = Overlay(sdl.YV12, (16, 8))
    overlay.display((Y, U, V))
    sdl_double.reset()
    DISPLAY_CHANGES[change](video, sdl_double)
    # brilox.display has SDL free the overlay while its display is still up.
    freed = 0 if change in ("depth through SDL", "format gone") else 1
    assert sdl_double.free_overlay_calls == freed
    for args in ((), ((Y, U, V),)):
        with pytest.raises(brilox.base.error) as caught:
            overlay.display(*args)
        assert str(caught.value) == "overlay was made for another display mode"
    assert (sdl_double.lock_overlay_calls, sdl_double.display_overlay_calls) == (0, 0)
    del overlay
    sdl_double.formatless_video_surface = 0
    assert sdl_double.free_overlay_calls == freed
    assert sdl_double.free_overlay_without_video_calls == 0


@pytest.mark.parametrize("change", [
    lambda video: video.set_mode((32, 24)),
    lambda video: video.set_mode((200, 150), 32, video.RESIZABLE),
    lambda video: video.set_mode((64, 48), 32, video.FULLSCREEN | video.NOFRAME),
    lambda video: video.toggle_fullscreen()], ids=["size", "resizable", "fullscreen", "toggle"])
def test_display_follows_a_resize_of_the_same_format(video, sdl_double, change):
    video.set_mode((64, 48))
    overlay = Overlay(sdl.YV12, (16, 8))
    change(video)
    overlay.display((Y, U, V))
    assert sdl_double.display_overlay_calls == 1
    assert sdl_double.free_overlay_calls == 0


@pytest.mark.parametrize("location", [
    (0, 0, 0, 10), (-1, 0, 0, 10), (0, 0, 65536, 10), (5, 5, 10, 0), (5, 5, 10, 65536),
    (0, 0, 0, 0), (0, 0, -65536, 3), (0, 0, 3, 2 ** 31 - 65536),
])
def test_zero_sized_placement_copies_the_frame_and_shows_nothing(
        screen, sdl_double, location):
    # SDL divides by the rectangle's width and height; the double's no-op
    # keeps a regression from killing the test run.
    sdl_double.state.display_is_noop = 1
    overlay = Overlay(sdl.YV12, (4, 4))
    overlay.set_location(location)
    y = bytes(range(16))
    assert overlay.display((y, b"uuuu", b"vvvv")) is None
    assert overlay.display() is None
    assert plane_rows(overlay, 0) == [y[0:4], y[4:8], y[8:12], y[12:16]]
    assert sdl_double.lock_overlay_calls == 1
    assert sdl_double.display_overlay_calls == 0


DEGENERATE_PLACEMENTS = textwrap.dedent("""
    import brilox.display, brilox.overlay
    brilox.display.init()
    brilox.display.set_mode((64, 48))
    edges = [-70000, -32768, -65, -1, 0, 1, 47, 63, 64, 32767, 70000]
    sizes = [-1, 0, 1, 2, 7, 64, 65535, 65536, 65537, 2 ** 31 - 1]
    for fmt, (w, h) in [(0x32315659, (16, 8)), (0x32315659, (1, 1)),
                        (0x56555949, (17, 9)), (0x32595559, (3, 5))]:
        overlay = brilox.overlay.Overlay(fmt, (w, h))
        planar = fmt != 0x32595559
        overlay.display((b"\\x80" * (w * h * (1 if planar else 2)),
                         b"\\x80" * (w * h if planar else 0),
                         b"\\x80" * (w * h if planar else 0)))
        for x in edges:
            for y in edges[::3]:
                for rw in sizes:
                    for rh in sizes[::2]:
                        overlay.set_location(x, y, rw, rh)
                        overlay.display()
    del overlay
    brilox.display.quit()
    print("placements done")
""")


def test_no_placement_takes_the_process_down():
    sdl.run_child(DEGENERATE_PLACEMENTS, "placements done")


def clear(surface):
    ctypes.memset(surface.pixels, 0, surface.pitch * surface.h)


@pytest.mark.parametrize("location", [
    (40, 30, 16, 8), (40, 30, 32, 16), (7, 9, 20, 10), (-5, -3, 16, 8), (150, 115, 16, 8),
])
def test_white_frame_lights_exactly_the_stored_rectangle(screen, location):
    clear(screen)
    overlay = Overlay(sdl.YV12, (16, 8))
    overlay.set_location(location)
    overlay.display((b"\xeb" * 128, b"\x80" * 32, b"\x80" * 32))
    brilox.display.flip()
    x, y, w, h = location
    inside = {(i, j) for i in range(max(x, 0), min(x + w, screen.w))
              for j in range(max(y, 0), min(y + h, screen.h))}
    lit = {place: pixel for place, pixel in sdl.shown_pixels().items() if pixel != (0, 0, 0)}
    assert set(lit) == inside
    assert all(min(p) >= 230 and max(p) - min(p) <= 4 for p in lit.values()), set(lit.values())
