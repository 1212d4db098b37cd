"""Overlay under random formats, sizes, frames and placements.

Whatever it is given, the process lives on.  A frame the copy rules accept
lands in SDL's planes byte for byte where those rules put it; a frame they
refuse changes nothing and never reaches SDL.  The expected planes are worked
out here from SDL's own record of the overlay (width, height, planes,
pitches), never from the module.
"""

import random

import pytest
from hypothesis import given, note
from hypothesis import strategies as st

import brilox.base
from brilox.overlay import Overlay
from fuzzing import fuzz_settings
from support import sdl
from test_overlay_display import all_rows, expected_after

PLANAR = (sdl.YV12, sdl.IYUV)
PACKED = (sdl.YUY2, sdl.UYVY, sdl.YVYU)
INT_MIN, INT_MAX = -2 ** 31, 2 ** 31 - 1

formats = st.one_of(st.sampled_from(PLANAR + PACKED), st.integers(INT_MIN, INT_MAX))

# Small sizes, odd ones included, and the edges of SDL's 16-bit pitches and
# of its int byte count.  Two large sides never make a valid overlay.
sides = st.one_of(st.integers(-3, 40),
                  st.sampled_from([65535, 65536, 65537, INT_MAX, INT_MIN, -65536]))

coordinates = st.one_of(st.integers(-200, 200),
                        st.sampled_from([INT_MIN, INT_MAX, -70000, 70000, -32769, 32767,
                                         65535, 65536, 0]))
placements = st.tuples(coordinates, coordinates, coordinates, coordinates)


def created_by_sdl(fmt, w, h):
    """Whether SDL makes the overlay: a format it knows, and a byte count
    w * h * 2 that fits an int and that malloc can give.  sdl12-compat makes
    none without a positive width and height."""
    if sdl.over_sdl2() and (w <= 0 or h <= 0):
        return False
    return fmt in PLANAR + PACKED and 0 <= 2 * w * h <= INT_MAX


def readable(overlay):
    """Planes can be read back: the record's rows describe real memory, and
    not too many of them (an overlay 0 pixels wide may be 2**31 - 1 high)."""
    record = sdl.overlay_record(overlay)
    return record.w >= 0 and 0 < record.h <= 4096


def refused(record, frame):
    """What the copy rules refuse: a luma (or packed) string shorter than h
    rows of its row length, and chroma strings given to a packed overlay."""
    y, u, v = frame
    w, h = record.w, record.h
    if record.planes == 1:
        return bool(u or v) or max(2 * w, 0) * h > len(y)
    return max(w, 0) * h > len(y)


@st.composite
def lengths(draw, fit):
    """A string length near `fit`: exact, a little off, or anywhere."""
    fit = max(fit, 0)
    return draw(st.one_of(st.just(fit), st.integers(max(fit - 3, 0), fit + 3),
                          st.integers(0, 2 * fit + 16)))


@st.composite
def frames(draw, record):
    w, h = max(record.w, 0), max(record.h, 0)
    if record.planes == 1:
        packed_length = draw(lengths(2 * w * h))
        u_len, v_len = draw(st.sampled_from([(0, 0)] * 6 + [(1, 0), (0, 3), (5, 5)]))
        sizes = (packed_length, u_len, v_len)
    else:
        chroma = (w // 2) * (h // 2)
        sizes = (draw(lengths(w * h)), draw(lengths(chroma)), draw(lengths(chroma)))
    rng = random.Random(draw(st.integers(0, 2 ** 32)))
    # What Random.randbytes(n) gives from 3.9 on.
    frame = tuple(rng.getrandbits(8 * n).to_bytes(n, "little") if n else b"" for n in sizes)
    # Any buffer is a plane.
    frame = tuple(draw(st.sampled_from([bytes, bytearray, memoryview]))(p) for p in frame)
    # Any sequence of three strings is a frame.
    if draw(st.booleans()):
        frame = list(frame)
    return frame


def shown(location, overlay):
    """Whether SDL is asked to show the overlay at `location` on the 160 x 120
    screen, given the width and height it gets, the low 16 bits."""
    _, _, w, h = location
    return sdl.shows_placement(w % 65536, h % 65536, 160, 120, sdl.overlay_record(overlay))


def check_frame(overlay, frame, location, double):
    record = sdl.overlay_record(overlay)
    before = all_rows(overlay) if readable(overlay) else None
    locks, shows = double.lock_overlay_calls, double.display_overlay_calls
    if refused(record, frame):
        with pytest.raises(ValueError):
            overlay.display(frame)
        assert (double.lock_overlay_calls, double.display_overlay_calls) == (locks, shows)
        if before is not None:
            assert all_rows(overlay) == before
        return
    assert overlay.display(frame) is None
    assert double.lock_overlay_calls == double.unlock_overlay_calls == locks + 1
    assert double.display_overlay_calls == shows + shown(location, overlay)
    if before is not None:
        assert all_rows(overlay) == expected_after(overlay, before, tuple(frame))


def check_show(overlay, location, double):
    shows = double.display_overlay_calls
    assert overlay.display() is None
    assert double.display_overlay_calls == shows + shown(location, overlay)
    if shown(location, overlay):
        x, y, w, h = (v % 65536 for v in location)
        narrowed = (x - 65536 * (x >= 32768), y - 65536 * (y >= 32768), w, h)
        assert double.last_display_rect.astuple() == narrowed


@fuzz_settings(1500)
@given(depth=st.sampled_from([32, 16]), fmt=formats, w=sides, h=sides, data=st.data())
def test_any_overlay_frame_and_placement(video, sdl_double, depth, fmt, w, h, data):
    video.set_mode((160, 120), depth)
    sdl_double.reset()
    if not created_by_sdl(fmt, w, h):
        with pytest.raises(brilox.base.error, match="^Cannot create overlay$"):
            Overlay(fmt, (w, h))
        return
    overlay = Overlay(fmt, (w, h))
    record = sdl.overlay_record(overlay)
    assert (record.format, record.w, record.h) == (fmt % 2 ** 32, w, h)
    # SDL leaves new planes uninitialised; what is shown must be defined.
    if readable(overlay):
        sdl.fill_overlay(overlay, 0x80)
    location = (0, 0, w, h)
    # Showing a large overlay converts all of it; once is enough.
    large = abs(w * h) > 1 << 16
    steps = data.draw(st.lists(st.sampled_from(["frame", "show", "place"]),
                               min_size=1, max_size=3 if large else 6), label="steps")
    for step in steps:
        if step == "frame":
            frame = data.draw(frames(record), label="frame")
            note("frame lengths %s" % [len(s) for s in frame])
            check_frame(overlay, frame, location, sdl_double)
        elif step == "show":
            check_show(overlay, location, sdl_double)
        else:
            location = data.draw(placements, label="placement")
            assert overlay.set_location(location) is None
    del overlay
    assert sdl_double.free_overlay_calls == 1
