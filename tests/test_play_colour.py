"""brilox-play's true colours and screenshots, on the SDL in use: the level
conversions, colour matrices and turns against their formulas, the probe's
finding against what SDL really shows, and pictures (the player's own
screenshots among them) against FFmpeg's own render of the same frame."""

import bisect
import ctypes
import itertools
import subprocess
import sys
import threading
import time

import pytest

import brilox.display
import brilox.play
import brilox.media.colour as colour
from brilox.media import _colour
import brilox.play.screenshot as screenshot
from brilox.media import frames as frames_module, pipeline
from brilox.media.pipeline import video_frame
from brilox.overlay import Overlay
from support import sdl

np = pytest.importorskip("numpy")
av = pytest.importorskip("av")

W, H = 160, 120


def luma_formula(v):
    v = int(v)
    return min(255, max(0, round((v - 16) * 255 / 219)))


def chroma_formula(v):
    return min(255, max(0, round((v - 128) * 255 / 224) + 128))


# The reverse, full range to video levels.  255 is odd: no half to round.
def luma_compressed(v):
    return round(16 + v * 219 / 255)


def chroma_compressed(v):
    return round(128 + (v - 128) * 224 / 255)


# --- the level conversions -------------------------------------------------------

@pytest.mark.parametrize("convert, luma, chroma", [
    (colour.expand, luma_formula, chroma_formula),
    (colour.compress, luma_compressed, chroma_compressed)])
@pytest.mark.parametrize("kind, even, odd", [
    (colour.LUMA, "luma", "luma"),
    (colour.CHROMA, "chroma", "chroma"),
    (colour.LUMA_CHROMA, "luma", "chroma"),
    (colour.CHROMA_LUMA, "chroma", "luma"),
])
def test_conversions_give_the_formula_for_every_level(convert, luma, chroma, kind, even, odd):
    formulas = {"luma": luma, "chroma": chroma}
    # Every level at an even and at an odd place, and rows long enough for
    # the vector blocks and a tail.
    plane = bytes(v for v in range(256) for _ in (0, 1)) + bytes(range(7))
    expected = bytes(formulas[even if i % 2 == 0 else odd](b) for i, b in enumerate(plane))
    assert convert(plane, kind) == expected
    into = bytearray(len(plane))
    assert convert(plane, kind, into) is into and into == expected
    in_place = bytearray(plane)
    convert(in_place, kind, in_place)
    assert in_place == expected


def test_expand_follows_rows_of_strided_views():
    padded = np.arange(6 * 40, dtype=np.uint8).reshape(6, 40)
    view = padded[1:5, 3:33]                # 4 rows of 30, 40 apart
    before = padded.copy()
    expected = np.vectorize(luma_formula)(view).astype(np.uint8)
    assert colour.expand(view, colour.LUMA) == expected.tobytes()
    into = np.zeros((4, 30), np.uint8)
    colour.expand(view, colour.LUMA, into[:, :])
    assert (into == expected).all()
    # Into a 1-D buffer, row after row, and nothing past it.
    flat = bytearray(b"\x07" * 130)
    colour.expand(view, colour.LUMA, memoryview(flat)[5:125])
    assert flat[5:125] == expected.tobytes() and flat[:5] + flat[125:] == b"\x07" * 10
    colour.expand(view, colour.LUMA, view)
    assert (view == expected).all()
    outside = np.ones(padded.shape, bool)
    outside[1:5, 3:33] = False
    assert (padded[outside] == before[outside]).all()
    # Packed rows start again with luma on each row, whatever their length.
    rows = np.full((2, 40), 16, np.uint8)[:, :3]
    assert colour.expand(rows, colour.LUMA_CHROMA) == bytes([0, 0, 0]) * 2


# Coefficients: the identity, which must come out exact; BT.709 video levels
# to BT.601 at full range and at video levels, as the player uses them (the
# second with a luma gain of exactly 1); and some at the edge of what
# transform takes, whose sums would pass 16 bits if anything were off.
KEEP = (1, 0, 0, 0, 1, 0, 0, 1)
BT709_TO_601 = (1.1644, 0.1156, 0.2232, -18.63, 1.1268, -0.1260, -0.0825, 1.1195)
BT709_TO_601_LIMITED = (1.0, 0.0993, 0.1917, 0.0, 0.9899, -0.1107, -0.0725, 0.9834)
EDGE = (-4, 3.9, -4, 1024, 4, -3.7, -4, 4)
FRAME = (np.zeros((4, 4), np.uint8), np.zeros((2, 2), np.uint8), np.zeros((2, 2), np.uint8))


@pytest.mark.parametrize("call, error, words", [
    (lambda: colour.expand(np.zeros(8, np.uint16), colour.LUMA), ValueError, "items of 1 byte"),
    (lambda: colour.expand(np.zeros((4, 8), np.uint8)[:, ::2], colour.LUMA), ValueError,
     "next to each other"),
    (lambda: colour.expand(np.zeros((4, 8), np.uint8)[::-1], colour.LUMA), ValueError,
     "positive stride"),
    # Rows that overlap: 8 long, 4 apart.
    (lambda: colour.expand(np.lib.stride_tricks.as_strided(np.zeros(32, np.uint8), (4, 8), (4, 1)),
                           colour.LUMA), ValueError, "(8 columns, row stride 4)"),
    (lambda: colour.expand(np.zeros((2, 2, 2), np.uint8), colour.LUMA), ValueError,
     "1 or 2 dimensions"),
    (lambda p=b"\x10" * 8: colour.expand(p, colour.LUMA, p), BufferError, "writable"),
    (lambda: colour.expand(b"\x10" * 8, colour.LUMA, bytearray(7)), ValueError, "7 bytes"),
    (lambda: colour.expand(np.zeros((4, 8), np.uint8)[:, :6], colour.LUMA,
                           np.zeros((6, 8), np.uint8)[:, :4]), ValueError, "shapes"),
    (lambda: _colour.transform(FRAME[:1] + (b"\0" * 3, b"\0" * 4), _colour.PLANAR, 4, 4, KEEP),
     ValueError, "planes[1]: 2 rows of 2 bytes needed, 3 bytes hold rows of 1"),
    (lambda: _colour.transform(FRAME, _colour.PLANAR, 5, 4, KEEP), ValueError,
     "planes[0]: 4 rows of 5 bytes needed, the view is 4 x 4"),
    (lambda: _colour.transform(FRAME, _colour.LUMA, 4, 4, KEEP), ValueError, "layout must be"),
    (lambda: _colour.transform(FRAME, _colour.LUMA_CHROMA, 4, 4, KEEP), ValueError,
     "takes 1 plane, not 3"),
    (lambda: _colour.transform(FRAME[:2], _colour.PLANAR, 4, 4, KEEP), ValueError,
     "takes 3 planes, not 2"),
    (lambda: _colour.transform(FRAME[:1], _colour.CHROMA_LUMA, 3, 1, KEEP), ValueError,
     "even width"),
    (lambda: _colour.transform(FRAME, _colour.PLANAR, 4, 4, KEEP[:7]), ValueError,
     "8 numbers needed"),
    (lambda: _colour.transform(FRAME, _colour.PLANAR, 4, 4, (4.5,) + KEEP[1:]), ValueError,
     "ky is 4.5"),
    (lambda: _colour.transform(FRAME, _colour.PLANAR, 4, 4, KEEP[:3] + (-1025,) + KEEP[4:]),
     ValueError, "oy is -1025"),
    (lambda: _colour.narrow((b"\0" * 32, b"\0" * 8, b"\0" * 7), 4, 4, 10, False, KEEP),
     ValueError, "planes[2]: 2 rows of 4 bytes needed"),
    (lambda: _colour.narrow((b"\0" * 32, b"\0" * 8, b"\0" * 8), 4, 4, 10, True, KEEP),
     ValueError, "planes[1]: 4 rows of 4 bytes needed"),
    (lambda: _colour.narrow((b"\0" * 32,) * 3, 4, 4, 16, False, KEEP), ValueError,
     "bits must be from 9 to 12, not 16"),
    (lambda: _colour.narrow((b"\0" * 32,) * 2, 4, 4, 10, False, KEEP), ValueError,
     "3 planes (y, u, v), not 2"),
    (lambda: _colour.narrow((b"\0" * 32,) * 3, 4, 4, 10, False, (0,) * 3 + (2000,) + KEEP[4:]),
     ValueError, "oy is 2000"),
    # Planes of the caller's: one of a frame of another size, read-only, too few.
    (lambda: _colour.narrow((b"\0" * 32,) * 3, 4, 4, 10, False, KEEP,
                            (bytearray(16), bytearray(4), bytearray(6))), ValueError,
     "into[2] holds 6 bytes, the plane 4"),
    (lambda: _colour.narrow((b"\0" * 32,) * 3, 4, 4, 10, False, KEEP,
                            (bytearray(16), b"\0" * 4, bytearray(4))), BufferError, "writable"),
    (lambda: _colour.narrow((b"\0" * 32,) * 3, 4, 4, 10, False, KEEP, (bytearray(16),) * 2),
     ValueError, "into takes 3 planes (y, u, v), not 2"),
    (lambda: _colour.show_planes((b"\0" * 15, b"\0" * 4, b"\0" * 4), 4, 4, 0, 0), ValueError,
     "planes[0]: 4 rows of 4 bytes needed"),
    (lambda: _colour.show_planes((b"\0" * 16, b"\0" * 4), 4, 4, 0, 0), ValueError,
     "(y, u, v) needed, not 2 planes"),
    (lambda: _colour.show_planes((b"\0" * 16, b"\0" * 4, b"\0" * 4), 0, 4, 0, 0), ValueError,
     "width and height must be 1 to 65535"),
    (lambda: _colour.turn(b"\0" * 11, 3, 4, 0, False), ValueError, "4 rows of 3 bytes"),
    (lambda: _colour.turn(b"\0" * 12, 3, 4, 4, False), ValueError, "quarter_turns must be"),
    (lambda: _colour.turn(b"\0" * 12, 3, 4, -1, False), ValueError, "quarter_turns must be"),
])
def test_kernels_refuse_what_they_cannot_take(call, error, words):
    with pytest.raises(error) as caught:
        call()
    assert words in str(caught.value)


@pytest.mark.parametrize("depth", [16, 24, 32])
def test_display_pixels_are_read_and_written_where_they_are(video, depth):
    # A block of pixels from x = 3 of an 8 x 4 display: SDL's memory holds
    # them there, each in the surface's own format, and nothing else moves.
    video.set_mode((8, 4), depth)
    surface = sdl.video_surface()
    f, n = surface.format.contents, depth // 8
    assert f.BytesPerPixel == n
    colours = [(255, 0, 0), (0, 255, 0), (0, 0, 255), (255, 255, 255),
               (255, 0, 255), (0, 0, 0), (0, 255, 255), (255, 255, 0)]
    raw = b"".join(((r >> f.Rloss) << f.Rshift | (g >> f.Gloss) << f.Gshift
                    | (b >> f.Bloss) << f.Bshift).to_bytes(n, "little") for r, g, b in colours)
    _colour.write_display((3, 1, 4, 2), raw)
    want = bytearray(32 * n)
    want[11 * n:15 * n], want[19 * n:23 * n] = raw[:4 * n], raw[4 * n:]
    memory = ctypes.string_at(surface.pixels, surface.pitch * 4)
    assert b"".join(memory[y * surface.pitch:][:8 * n] for y in range(4)) == want
    assert _colour.read_display((2, 1, 5, 2), raw=True) == want[10 * n:15 * n] + want[18 * n:23 * n]
    rgb = _colour.read_display((3, 1, 4, 2))
    assert all(abs(a - b) <= 8 for a, b in zip(rgb, bytes(c for rgb in colours for c in rgb)))


def matrix_formula(y, u, v, k):
    """The exact Y, U, V of the coefficients, unrounded and unclipped."""
    ky, kyu, kyv, oy, kuu, kuv, kvu, kvv = k
    y, du, dv = np.asarray(y, float), np.asarray(u, float) - 128, np.asarray(v, float) - 128
    return ky * y + kyu * du + kyv * dv + oy, 128 + kuu * du + kuv * dv, \
        128 + kvu * du + kvv * dv


def as_given(form, plane):
    """A plane as a decoder gives it: rows padded, one after another, or a 2-D
    view into wider rows."""
    rows, columns = plane.shape
    if form == "padded":
        return np.pad(plane, ((0, 0), (0, 3)), constant_values=99).tobytes()
    wide = np.full((rows, columns + 7), 99, np.uint8)
    wide[:, 4:4 + columns] = plane
    return wide[:, 4:4 + columns]


@pytest.mark.parametrize("form", ["padded", "strided"])
@pytest.mark.parametrize("k", [BT709_TO_601, BT709_TO_601_LIMITED, EDGE, KEEP])
@pytest.mark.parametrize("layout", ["PLANAR", "LUMA_CHROMA", "CHROMA_LUMA", "NARROW 10 4:2:0",
                                    "NARROW 12 4:2:2", "NARROW 10 4:2:0 LARGE"])
def test_transform_gives_the_formula_within_a_level(layout, k, form):
    """transform, and narrow of frames of 10 and 12 bits (scaled to 8 bits,
    4:2:2 chroma the mean of each pair of rows) to 8-bit 4:2:0, into new
    bytes and into planes of the caller's."""
    # Levels at random from end to end, in frames wide enough for the
    # vector steps and a tail; planar odd both ways.  A large frame's
    # 8-bit planes go past the caches, its rows 8 bytes off 16 every other
    # row, and its chroma's 4 off.
    w, h = (131, 9) if layout[0] in "PN" else (130, 9)
    if layout.endswith("LARGE"):
        w, h = 4104, 1367
    rng = np.random.default_rng(7)
    y = rng.integers(0, 256, (h, w), np.uint8)
    cw = (w + 1) // 2
    if layout.startswith("NARROW"):
        bits, chroma_422 = int(layout.split()[1]), layout.endswith("4:2:2")
        ch = (h + 1) // 2
        deep_y = rng.integers(0, 1 << bits, (h, w), np.uint16)
        deep_u, deep_v = rng.integers(0, 1 << bits, (2, h if chroma_422 else ch, cw), np.uint16)
        given = [as_given(form, p.view(np.uint8)) for p in (deep_y, deep_u, deep_v)]
        out = _colour.narrow(given, w, h, bits, chroma_422, k)
        # The same into planes that held another frame: every byte
        # written, none past its plane.
        ch_size = cw * ((h + 1) // 2)
        into = (bytearray(b"\x5a" * (w * h + 64)), bytearray(b"\xa5" * ch_size),
                bytearray(ch_size))
        before = _colour.narrow(given, w, h, bits, chroma_422, KEEP,
                                (memoryview(into[0])[32:-32],) + into[1:])
        assert before[0].obj is into[0] and before[1:] == into[1:]
        _colour.narrow(given, w, h, bits, chroma_422, k, before)
        assert into[0][:32] == into[0][-32:] == b"\x5a" * 32
        assert [bytes(p) for p in before] == list(out)
        scale = 2.0 ** (bits - 8)
        if chroma_422:
            second = np.minimum(np.arange(1, h + 1, 2), h - 1)
            u, v = ((p[::2] + p[second].astype(float)) / 2 / scale for p in (deep_u, deep_v))
        else:
            u, v = deep_u / scale, deep_v / scale
        under = np.ix_(np.arange(h) // 2, np.arange(w) // 2)
        wanted = matrix_formula(deep_y / scale, u[under], v[under], k)[0], \
            *matrix_formula(u, u, v, k)[1:]
        got = [np.frombuffer(p, np.uint8).reshape(q.shape) for p, q in zip(out, wanted)]
    elif layout == "PLANAR":
        ch = (h + 1) // 2
        u, v = rng.integers(0, 256, (2, ch, cw), np.uint8)
        out = _colour.transform([as_given(form, p) for p in (y, u, v)], _colour.PLANAR, w, h, k)
        got = [np.frombuffer(p, np.uint8) for p in out]
        assert [p.size for p in got] == [w * h, cw * ch, cw * ch]
        under = np.ix_(np.arange(h) // 2, np.arange(w) // 2)     # the chroma over each pixel
        wanted = matrix_formula(y, u[under], v[under], k)[0], *matrix_formula(u, u, v, k)[1:]
        got = [p.reshape(q.shape) for p, q in zip(got, wanted)]
    else:
        u, v = rng.integers(0, 256, (2, h, cw), np.uint8)
        luma, chroma = (0, 1) if layout == "LUMA_CHROMA" else (1, 0)
        packed = np.empty((h, cw, 4), np.uint8)
        packed[..., luma], packed[..., luma + 2] = y[:, 0::2], y[:, 1::2]
        packed[..., chroma], packed[..., chroma + 2] = u, v
        (out,) = _colour.transform((as_given(form, packed.reshape(h, 4 * cw)),),
                                   getattr(_colour, layout), w, h, k)
        got = np.frombuffer(out, np.uint8).reshape(h, cw, 4)
        y_wanted, u_wanted, v_wanted = matrix_formula(y, u.repeat(2, 1), v.repeat(2, 1), k)
        wanted = [y_wanted, u_wanted[:, ::2], v_wanted[:, ::2]]
        got = [np.stack([got[..., luma], got[..., luma + 2]], -1).reshape(h, w),
               got[..., chroma], got[..., chroma + 2]]
    for g, exact in zip(got, wanted):
        error, inside = g - exact, (exact >= 0) & (exact <= 255)
        # Rounded to the nearest level, or where the exact value is close to
        # a half, to the other side of it; never biased one way: the mean
        # signed error of a pass that rounds right is within an eighth.
        # (Deep samples kept as they are round to the nearest level.)
        assert np.abs(error[inside]).max() <= (0.85 if k != KEEP else 0.5 if layout[0] == "N"
                                               else 0)
        # Deep samples kept as they are meet a half at 10 bits one time in
        # four, which goes up: an eighth on the mean, give or take.
        bias = 0.15 if k == KEEP and layout[0] == "N" else 0.125
        assert abs(error[inside].mean()) <= bias, error[inside].mean()
        assert (g[~inside] == np.where(exact[~inside] < 0, 0, 255)).all()


# Each matrix's luma weights of red and blue (Kr, Kb), as its standard gives
# them, and the colour spaces FFmpeg tags frames with.
STANDARD = {"bt601": (0.299, 0.114), "bt709": (0.2126, 0.0722), "bt2020": (0.2627, 0.0593),
            "fcc": (0.30, 0.11), "smpte240m": (0.212, 0.087)}
TAGS = {1: "bt709", 4: "fcc", 5: "bt601", 6: "bt601", 7: "smpte240m", 9: "bt2020", 10: "bt2020"}


def standard_rgb(y, u, v, matrix, levels):
    """R, G, B (0-255, unclipped) of Y, U, V by the matrix's own equations."""
    kr, kb = STANDARD[matrix]
    if levels == "limited":
        y, u, v = (y - 16) * 255 / 219, (u - 128) * 255 / 224 + 128, (v - 128) * 255 / 224 + 128
    r, b = y + 2 * (1 - kr) * (v - 128), y + 2 * (1 - kb) * (u - 128)
    return np.array([r, (y - kr * r - kb * b) / (1 - kr - kb), b])


@pytest.mark.parametrize("source", STANDARD)
def test_coefficients_keep_every_colour_by_the_standards_equations(source):
    y, u, v = np.random.default_rng(3).uniform(0, 255, (3, 200))
    for shown, (source_levels, shown_levels) in itertools.product(
            STANDARD, itertools.product(("limited", "full"), repeat=2)):
        k = colour.coefficients(source, source_levels, shown, shown_levels)
        assert np.allclose(standard_rgb(*matrix_formula(y, u, v, k), shown, shown_levels),
                           standard_rgb(y, u, v, source, source_levels), rtol=0, atol=1e-9)
    # What the probe reads SDL's matrix by: the same, clipped.
    for levels in ("limited", "full"):
        got = [colour.rgb_of(yuv, source, levels) for yuv in zip(y, u, v)]
        assert np.allclose(np.transpose(got), np.clip(standard_rgb(y, u, v, source, levels), 0,
                                                      255), rtol=0, atol=1e-9)
    # The matrix a frame is shown by: its tag, else BT.709 above 576 rows.
    for tag, height in itertools.product([None, 0, 2, 3, *TAGS], (576, 577)):
        assert colour.matrix_of(tag, height) == TAGS.get(tag, "bt709" if height > 576
                                                          else "bt601")


@pytest.mark.parametrize("turns", range(4))
@pytest.mark.parametrize("mirror", [False, True])
def test_turn_is_a_mirror_and_quarter_turns(turns, mirror):
    # Past whole 16 x 16 blocks both ways, and past tiles of them, with
    # tails of odd lengths.
    for rows, columns in ((37, 21), (301, 283)):
        plane = np.random.default_rng(turns).integers(0, 256, (rows, columns), np.uint8)
        wanted = np.rot90(np.fliplr(plane) if mirror else plane, k=-turns)
        for form in ("padded", "strided"):
            out = _colour.turn(as_given(form, plane), columns, rows, turns, mirror)
            assert out == wanted.tobytes()


@pytest.mark.timeout(60)
@pytest.mark.parametrize("call", [
    lambda big: colour.expand(big, colour.LUMA), lambda big: colour.compress(big, colour.LUMA),
    lambda big: _colour.transform((big, big[:2048, :4096], big[:2048, :4096]), _colour.PLANAR,
                                  8192, 4096, BT709_TO_601),
    lambda big: _colour.turn(big, 8192, 4096, 1, False),
    lambda big: _colour.narrow((big[:, :8192], big[:2048, :4096], big[:2048, :4096]), 4096, 4096,
                               10, False, BT709_TO_601)],
    ids=["expand", "compress", "transform", "turn", "narrow"])
def test_large_planes_let_other_threads_run(call):
    # Another thread counts while a large plane converts.  Holding the
    # interpreter lock, the conversion would let it in only at the switches
    # just before and after (every 0.1 ms here), never in the middle.  A
    # busy machine may keep the counter off both cores for the whole of a
    # conversion of a few ms, so it has five conversions to get in.
    big = np.full((4096, 8192), 100, np.uint8)
    stamps, done = [], threading.Event()

    def count():
        while not done.is_set():
            stamps.append(time.perf_counter())
    switching = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)
    counter = threading.Thread(target=count)
    counter.start()
    calls = []

    def counted_in_the_middle(start, end):
        # (The counter's stamps are in time order.)
        quarter = (end - start) / 4
        return bisect.bisect_left(stamps, end - quarter) > bisect.bisect_right(
            stamps, start + quarter)
    try:
        for _ in range(5):
            start = time.perf_counter()
            call(big)
            calls.append((start, time.perf_counter()))
            if counted_in_the_middle(*calls[-1]):
                break
    finally:
        done.set()
        counter.join(10)
        sys.setswitchinterval(switching)
    assert any(counted_in_the_middle(*c) for c in calls), calls


L, F = colour.LIMITED, colour.FULL


@pytest.mark.parametrize("source, choice, sdl_full, wanted", [
    (L, "auto", True, colour.EXPAND),
    (L, "auto", False, None),       # SDL converts limited range itself
    (L, "auto", None, None),        # the probe could not tell
    (F, "auto", True, None),
    (F, "auto", False, colour.COMPRESS),
    (F, "auto", None, None),
    (F, "limited", True, colour.EXPAND),
    (L, "full", True, None),
    (L, "full", False, colour.COMPRESS),
])
def test_conversion_follows_the_source_range(source, choice, sdl_full, wanted):
    assert colour.conversion(source, choice, sdl_full) == wanted


B601, B709 = colour.BT601, colour.BT709


@pytest.mark.parametrize("levels, matrix, sdl_full, sdl_matrix, wanted", [
    (L, B709, True, None, colour.Plan(levels=colour.EXPAND)),     # SDL's matrix unknown
    (F, B709, False, B709, colour.Plan(levels=colour.COMPRESS)),  # the source's own
    (L, B709, None, B601, colour.Plan()),                         # SDL's range unknown
    (L, B709, True, B601, colour.Plan(coefficients=colour.coefficients(B709, L, B601, F))),
    (F, B601, False, B709, colour.Plan(coefficients=colour.coefficients(B601, F, B709, L))),
])
def test_plan_changes_the_matrix_only_where_the_probe_found_sdls(levels, matrix, sdl_full,
                                                                sdl_matrix, wanted):
    assert colour.plan(levels, matrix, colour.Probe(True, sdl_full, None, sdl_matrix)) == wanted


# The greys read back for the probe's levels 16, 128 and 235: as they are
# (full range), stretched to 0-255 (limited), within 4 and at least 8 apart.
@pytest.mark.parametrize("seen, full_range", [
    (None, None), ((16, 128, 235), True), ((20, 128, 235), True), ((21, 128, 235), None),
    ((0, 130, 255), False), ((0, 134, 255), False), ((0, 135, 255), None),
    ((8, 129, 245), None),
])
def test_the_probe_tells_sdls_range_by_its_greys(seen, full_range):
    assert colour.full_range_from(seen) is full_range


@pytest.mark.parametrize("matrix, levels, off, full_range, found", [
    (B601, F, 0, True, B601), (B709, F, 6, True, B709), (B709, F, 7, True, None),
    (B709, L, 0, False, B709), (B709, L, 0, True, None), (B601, F, 0, None, None),
])
def test_the_probe_tells_sdls_matrix_by_its_colour_at_the_range_found(matrix, levels, off,
                                                                     full_range, found):
    r, g, b = colour.rgb_of(colour.PROBE_COLOUR, matrix, levels)
    assert colour.matrix_from((r + off, g, b), full_range) == found


# --- what SDL shows -------------------------------------------------------------

def ffmpeg(*args, data=None):
    return subprocess.run(["ffmpeg", "-v", "error", "-nostdin", *map(str, args)], input=data,
                          capture_output=True, check=True, timeout=60).stdout


@pytest.fixture(scope="module")
def bars():
    """(raw yuv420p frame, its planes) of FFmpeg's colour bars."""
    raw = ffmpeg("-f", "lavfi", "-i", "smptebars=size=%dx%d" % (W, H), "-frames:v", "1",
                 "-pix_fmt", "yuv420p", "-f", "rawvideo", "-")
    return raw, (raw[:W * H], raw[W * H:W * H * 5 // 4], raw[W * H * 5 // 4:])


def rendered(raw, pix_fmt, size=(W, H), scaler="bicubic", colours=""):
    """FFmpeg's rgb24 render of a raw W x H frame, at `size`; `colours`: the
    scaler's options that say the frame's range and matrix."""
    rgb = ffmpeg("-f", "rawvideo", "-pix_fmt", pix_fmt, "-s", "%dx%d" % (W, H), "-i", "-",
                 "-vf", "scale=%d:%d:flags=%s%s" % (size + (scaler, colours)), "-pix_fmt",
                 "rgb24", "-f", "rawvideo", "-",
                 data=raw)
    return np.frombuffer(rgb, np.uint8).reshape(size[1], size[0], 3)


def shown():
    pixels = sdl.shown_pixels()
    w, h = max(pixels)[0] + 1, max(p[1] for p in pixels) + 1
    return np.array([[pixels[x, y] for x in range(w)] for y in range(h)], np.uint8)


def off_by(a, b):
    """The mean absolute difference of each channel."""
    return np.abs(a.astype(int) - b.astype(int)).mean(axis=(0, 1))


def picture_of(path):
    """The RGB pixels of an image file, as FFmpeg decodes it.  The decode
    runs to its end: PyAV leaks a packet of one left part way.  The image
    demuxer is named: FFmpeg 8's probe takes a small PNG for no file."""
    with av.open(str(path), format="image2") as image:
        return [f.to_ndarray(format="rgb24") for f in image.decode(video=0)][0]


FORMATS = {"yuv420p": (sdl.IYUV, lambda p: (p[0], p[2], p[1])),
           "uyvy422": (sdl.UYVY, lambda p: (p[0], b"", b""))}
# Frames of 10 and 12 bits, 4:2:0 and 4:2:2: the chroma planes' rows.
DEEP = {"yuv420p10le": H // 2, "yuv422p10le": H, "yuv420p12le": H // 2, "yuv422p12le": H}


@pytest.mark.parametrize("pix_fmt, levels, matrix", [
    ("yuv420p", "limited", "bt601"), ("uyvy422", "limited", "bt601"),
    *itertools.product(DEEP, ("limited", "full"), ("bt601", "bt709"))])
def test_frames_show_in_ffmpegs_colours(video, bars, pix_fmt, levels, matrix):
    """8-bit frames as they are or with their levels expanded; frames of
    10 and 12 bits through the pipeline's one native pass to 8 bits, in
    each range and matrix, against FFmpeg's render of the deep frame."""
    deep = pix_fmt in DEEP
    code, as_overlay = FORMATS.get(pix_fmt, (sdl.YV12, None))
    # The bars, in the format, range and matrix (the same colours).
    raw = bars[0] if pix_fmt == "yuv420p" else ffmpeg(
        "-f", "rawvideo", "-pix_fmt", "yuv420p", "-s", "%dx%d" % (W, H), "-i", "-",
        "-vf", "scale=out_range=%s:out_color_matrix=%s" % ("pc" if levels == "full" else "tv",
                                                            matrix),
        "-pix_fmt", pix_fmt, "-f", "rawvideo", "-", data=bars[0])
    planes = bars[1] if pix_fmt == "yuv420p" else (raw,)
    video.set_mode((W, H))
    surface = sdl.video_surface()
    ctypes.memset(surface.pixels + 20 * surface.pitch, 0x5a, 2 * surface.pitch)
    before = ctypes.string_at(surface.pixels, surface.pitch * surface.h)
    found = colour.probe(code, (40, 20))
    assert ctypes.string_at(surface.pixels, surface.pitch * surface.h) == before
    assert found.surface_holds_video == sdl.overlays_drawn_into_surface()
    overlay = Overlay(code, (W, H))
    reference = rendered(raw, pix_fmt, colours=":in_range=%s:in_color_matrix=%s" % (
        "pc" if levels == "full" else "tv", matrix))
    if deep:
        # Right: the frame's own colours.  Wrong: its range and matrix taken
        # for the others.
        size, chroma = 2 * W * H, W * DEEP[pix_fmt]
        planes = (raw[:size], raw[size:size + chroma], raw[size + chroma:])
        wrong = pipeline.Colours("limited" if levels == "full" else "full",
                                 "bt709" if matrix == "bt601" else "bt601")
        passes = {right: pipeline.Pipeline(
            code, (W, H), (0, False), pipeline.Colours(levels, matrix) if right else wrong,
            found, deep=frames_module.DEEP[pix_fmt]) for right in (True, False)}
        frames = {right: p.run(planes).frame for right, p in passes.items()}
        # A frame after it, while it waits, goes into planes of its own.
        after = passes[True].run(tuple(bytes(len(p)) for p in planes))
        wanted = True
    else:
        frame = as_overlay(planes)
        frames = {expand: colour.expand_frame(frame, code) if expand else frame
                  for expand in (False, True)}
        wanted = colour.expand_wanted(colour.LIMITED, "auto", found.full_range)
    pictures = {}
    for key, frame in frames.items():
        overlay.display(frame)
        video.flip()
        pictures[key] = off_by(shown(), reference)
    del overlay
    assert (pictures[wanted] <= 3).all(), (found, pictures)
    # The test tells the two conversions apart: the other one is far off.
    assert (pictures[not wanted] > 6).any(), (found, pictures)
    if deep:
        # Planes let go of are used again.
        del after
        passes[True].run(planes)
        assert len(passes[True].narrowed) == 2


def test_frames_put_straight_into_the_display_show_as_sdl_shows_them(video):
    """Where the probe finds SDL converting overlays in software into the
    display surface (classic SDL), show_planes puts every Y, U and V there
    byte for byte as SDL shows them, from planes of any row stride, at any
    place and width; elsewhere (sdl12-compat) the probe says it does not,
    and frames stay with the overlay.  A place off the display, or a display
    of another depth, is left to the overlay: nothing is written."""
    video.set_mode((300, 280))
    found = colour.probe(sdl.YV12, (0, 0))
    assert found.converts_here == sdl.overlays_drawn_into_surface()
    if not found.converts_here:
        return
    black = bytes(300 * 280 * 4)

    def by_sdl(frame, place):
        _colour.write_display((0, 0, 300, 280), black)
        overlay = Overlay(sdl.YV12, place[2:])
        overlay.set_location(place)
        overlay.display(tuple(bytes(p) for p in frame))
        del overlay
        return _colour.read_display((0, 0, 300, 280), raw=True)

    def by_planes(frame, place):
        _colour.write_display((0, 0, 300, 280), black)
        assert _colour.show_planes(frame, *place[2:], *place[:2])
        return _colour.read_display((0, 0, 300, 280), raw=True)

    # Every luma level with every chroma pair: a row of all 256 levels over
    # each U (by pairs of rows), with each V.
    luma = np.tile(np.arange(256, dtype=np.uint8), (256, 1))
    for v in range(256):
        for odd in (0, 1):
            u = np.repeat((np.arange(0, 256, 2) + odd).astype(np.uint8)[:, None], 128, 1)
            frame = (luma, u, np.full((128, 128), v, np.uint8))
            assert by_planes(frame, (0, 0, 256, 256)) == by_sdl(frame, (0, 0, 256, 256)), v
    # Random frames, a decoder's padded rows and a slice of a wider array,
    # at widths that leave pixels past the last block of sixteen.
    rng = np.random.default_rng(7)
    for w, h, x, y in [(250, 246, 3, 1), (256, 8, 44, 271), (18, 2, 282, 0)]:
        planes = [rng.integers(0, 256, (rows, columns), np.uint8)
                  for rows, columns in ((h, w), (h // 2, w // 2), (h // 2, w // 2))]
        wide = np.zeros((h, w + 13), np.uint8)
        wide[:, :w] = planes[0]
        padded = np.zeros((h // 2, w // 2 + 5), np.uint8)
        padded[:, :w // 2] = planes[1]
        frame = (wide[:, :w], padded.tobytes(), planes[2])
        assert by_planes(frame, (x, y, w, h)) == by_sdl(planes, (x, y, w, h)), (w, h)
    # Past the display's edge, or at 16 bits: not shown.
    _colour.write_display((0, 0, 300, 280), black)
    frame = (bytes(64), bytes(16), bytes(16))
    assert not _colour.show_planes(frame, 8, 8, 293, 0)
    assert not _colour.show_planes(frame, 8, 8, 0, -1)
    assert _colour.read_display((0, 0, 300, 280), raw=True) == black
    video.set_mode((300, 280), 16)
    _colour.write_display((0, 0, 300, 280), bytes(300 * 280 * 2))
    assert not _colour.show_planes(frame, 8, 8, 0, 0)
    assert _colour.read_display((0, 0, 300, 280), raw=True) == bytes(300 * 280 * 2)


# --- screenshots ------------------------------------------------------------------

# The kind follows the name's ending, in any case.
@pytest.mark.parametrize("name, magic", [("SHOT.PNG", b"\x89PNG\r\n\x1a\n"), ("shot.bmp", b"BM")])
@pytest.mark.parametrize("from_surface", [True, False])
def test_screenshot_holds_the_frame(video, bars, tmp_path, name, magic, from_surface):
    window, placement = (400, 260), (40, 10, 2 * W, 2 * H)
    video.set_mode(window)
    surface = sdl.video_surface()   # the dummy driver leaves it uncleared
    ctypes.memset(surface.pixels, 0, surface.pitch * surface.h)
    found = colour.probe(FORMATS["yuv420p"][0], placement[:2])
    if from_surface and not found.surface_holds_video:
        pytest.skip("the display surface does not hold the video on this SDL")
    overlay = Overlay(FORMATS["yuv420p"][0], (W, H))
    overlay.set_location(placement)
    frame = FORMATS["yuv420p"][1](bars[1])
    if colour.expand_wanted(colour.LIMITED, "auto", found.full_range):
        frame = colour.expand_frame(frame, FORMATS["yuv420p"][0])
    overlay.display(frame)
    video.flip()
    path = tmp_path / name
    screenshot.save(path, window=window, placement=placement, surface_holds_video=from_surface,
                    frame=video_frame(bars[1], "yuv420p", (W, H)))
    del overlay
    assert path.read_bytes().startswith(magic)
    picture = picture_of(path)
    assert picture.shape == (window[1], window[0], 3)
    x, y, w, h = placement
    inside = picture[y:y + h, x:x + w]
    # SDL scales by repeating pixels: the screenshot is what it shows where
    # the surface holds the video or SDL 2 presents it; elsewhere the frame
    # is scaled by FFmpeg's scaler, here bicubic.
    shown_by_sdl = from_surface or sdl.over_sdl2()
    reference = rendered(bars[0], "yuv420p", (w, h), "neighbor" if shown_by_sdl else "bicubic")
    assert (off_by(inside, reference) <= 3).all()
    outside = picture.copy()
    outside[y:y + h, x:x + w] = 0
    assert not outside.any()


# --- the player ---------------------------------------------------------------

@pytest.fixture(scope="module")
def clips(tmp_path_factory):
    """Two frames of each clip: FFmpeg's colour bars at limited range
    (yuv420p, lossless) and full range (yuvj420p, as JPEG frames decode);
    HD bars tagged BT.709 and BT.2020, and untagged at an HD height; bars
    of 32:27 samples; a test picture of an odd size as raw i420; and a
    phone clip stored on its side with a display matrix that turns it."""
    folder = tmp_path_factory.mktemp("clips")

    def make(name, source, *args):
        ffmpeg("-f", "lavfi", "-i", source + ":rate=25", "-frames:v", 2, *args, folder / name)

    ffv1 = ["-c:v", "ffv1", "-pix_fmt", "yuv420p"]
    make("bars.mkv", "smptebars=size=%dx%d" % (W, H), *ffv1)
    make("barsj.mkv", "smptebars=size=%dx%d" % (W, H), "-c:v", "mjpeg", "-pix_fmt", "yuvj420p",
         "-q:v", 2)
    make("hd709.mkv", "smptehdbars=size=256x144", *ffv1, "-colorspace", "bt709")
    make("hd2020.mkv", "smptehdbars=size=256x144", *ffv1, "-colorspace", "bt2020nc")
    make("tall.mkv", "smptehdbars=size=64x580", *ffv1)
    make("sd.mkv", "smptehdbars=size=64x576", *ffv1)
    make("sar.mkv", "smptebars=size=576x384", "-vf", "setsar=32/27", *ffv1)
    make("odd.yuv", "testsrc=size=641x361", "-pix_fmt", "yuv420p", "-f", "rawvideo")
    make("upright.mp4", "testsrc2=size=64x36", "-c:v", "libx264", "-pix_fmt", "yuv420p")
    make("wide.mp4", "smptehdbars=size=580x64", "-c:v", "libx264", "-pix_fmt", "yuv420p")
    # ffmpeg writes a display matrix from the rotate tag when it copies.
    for name, degrees, upright in (("turned", 90, "upright"), ("upside", 180, "upright"),
                                   ("askew", 45, "upright"), ("sideways", 90, "wide")):
        ffmpeg("-i", folder / (upright + ".mp4"), "-c", "copy", "-metadata:s:v:0",
               "rotate=%d" % degrees, folder / (name + ".mp4"))
    return folder


def as_sdl_shows(clip, size, levels, matrix, shown_size=None, raw=()):
    """ffmpeg's rgb24 render of a clip's last frame, decoded and turned
    upright by ffmpeg, converted by `matrix` at `levels` and scaled to
    `shown_size` by repeating pixels.  Each chroma sample is repeated over
    its pixels first, as SDL's converters do (FFmpeg's scaler interpolates
    chroma, which differs at sharp colour edges)."""
    w, h = size
    cw, ch = (w + 1) // 2, (h + 1) // 2
    with av.open(str(clip), **({"format": "rawvideo", "options": {
            "video_size": "%dx%d" % size}} if raw else {})) as container:
        pix_fmt = container.streams.video[0].codec_context.pix_fmt
    decoded = ffmpeg(*raw, "-i", clip, "-f", "rawvideo", "-pix_fmt", pix_fmt, "-")
    last = decoded[len(decoded) - (w * h + 2 * cw * ch):]
    y = np.frombuffer(last, np.uint8, w * h).reshape(h, w)
    u, v = (np.frombuffer(last, np.uint8, cw * ch, w * h + i * cw * ch).reshape(ch, cw)
            .repeat(2, 0).repeat(2, 1)[:h, :w] for i in (0, 1))
    sw, sh = shown_size or size
    rgb = ffmpeg("-f", "rawvideo", "-pix_fmt", "yuv444p", "-s", "%dx%d" % size, "-i", "-",
                 "-vf", "scale=%d:%d:flags=neighbor:in_color_matrix=%s:in_range=%s"
                 % (sw, sh, matrix, "pc" if levels == "full" else "tv"),
                 "-pix_fmt", "rgb24", "-f", "rawvideo", "-",
                 data=y.tobytes() + u.tobytes() + v.tobytes())
    return np.frombuffer(rgb, np.uint8).reshape(sh, sw, 3)


RANGES = ("limited", "full")


@pytest.mark.timeout(120)
@pytest.mark.parametrize("clip, args, size, levels, matrix, shown_size, other", [
    ("bars.mkv", [], (W, H), "limited", "bt601", None, "full"),
    ("barsj.mkv", [], (W, H), "full", "bt601", None, "limited"),
    ("bars.mkv", ["--range", "full"], (W, H), "full", "bt601", None, "limited"),
    ("barsj.mkv", ["--range", "limited"], (W, H), "limited", "bt601", None, "full"),
    # The matrix the stream says, and BT.709 for HD heights where it says none.
    ("hd709.mkv", [], (256, 144), "limited", "bt709", None, "bt601"),
    ("hd2020.mkv", [], (256, 144), "limited", "bt2020", None, "bt601"),
    ("tall.mkv", [], (64, 580), "limited", "bt709", None, "bt601"),
    ("sd.mkv", [], (64, 576), "limited", "bt601", None, "bt709"),
    # An odd size, which classic SDL's converter shears.
    ("odd.yuv", ["--size", "641x361"], (641, 361), "limited", "bt601", None, None),
    # The display aspect: the samples', or --aspect's.
    ("sar.mkv", [], (576, 384), "limited", "bt601", (682, 384), None),
    ("sar.mkv", ["--aspect", "2:1"], (576, 384), "limited", "bt601", (768, 384), None),
    ("sar.mkv", ["--sar", "1:1"], (576, 384), "limited", "bt601", None, None),
    # Turned upright by the display matrix; --no-autorotate leaves it.
    ("turned.mp4", [], (36, 64), "limited", "bt601", None, None),
    ("upside.mp4", [], (64, 36), "limited", "bt601", None, None),
    ("turned.mp4", ["--no-autorotate"], (64, 36), "limited", "bt601", None, None),
    # Untagged, its matrix goes by the height it is coded at, before the
    # turn: 64 rows, shown 580 high.
    ("sideways.mp4", [], (64, 580), "limited", "bt601", None, "bt709"),
    # A turn by another angle is said, and the picture shown as stored.
    ("askew.mp4", [], (64, 36), "limited", "bt601", None, None),
])
def test_player_shows_what_ffmpeg_renders(clips, tmp_path, monkeypatch, capsys, clip, args, size,
                                          levels, matrix, shown_size, other):
    # What the window shows after each flip (the last one kept), and the
    # player's screenshot of it.
    seen, flip = [], brilox.display.flip

    def flip_and_look():
        flip()
        seen[:] = [shown()]

    monkeypatch.setattr(brilox.display, "flip", flip_and_look)
    shot = tmp_path / "shot.png"
    assert brilox.play.main([str(clips / clip), "--headless", "--screenshot", str(shot),
                             *args]) == 0
    assert shot.read_bytes().startswith(b"\x89PNG\r\n\x1a\n")
    said = [line for line in capsys.readouterr().err.splitlines() if "display matrix" in line]
    assert said == (["brilox-play: %s: the display matrix turns the video by 45 degrees, not a "
                     "quarter turn: shown unturned" % (clips / clip)] if clip == "askew.mp4"
                    else [])
    raw = ["-f", "rawvideo", "-video_size", "%dx%d" % size] if clip.endswith(".yuv") else []
    if "--no-autorotate" in args or clip == "askew.mp4":
        raw = ["-noautorotate"]
    reference = as_sdl_shows(clips / clip, size, levels, matrix, shown_size, raw)
    for picture in (seen[0], picture_of(shot)):
        assert picture.shape == reference.shape
        assert (off_by(picture, reference) <= 2).all(), off_by(picture, reference)
    # The test tells right from wrong: the other range or matrix fails the
    # same check (shapes and shears fail it by far).
    if other is not None:
        wrong = as_sdl_shows(clips / clip, size, *((other, matrix) if other in RANGES
                                                   else (levels, other)), shown_size, raw)
        assert (off_by(seen[0], wrong) > 2).any()
