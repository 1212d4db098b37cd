"""brilox-play's true colours and screenshots, on the SDL in use: the level
expansion against its formula, the probe's finding against what SDL really
shows, and pictures (the player's own screenshots among them) against
FFmpeg's own render of the same frame."""

import ctypes
import subprocess

import pytest

import brilox.display
import brilox.play
import brilox.play.colour as colour
import brilox.play.screenshot as screenshot
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
    colour.expand(view, colour.LUMA, view)
    assert (view == expected).all()
    outside = np.ones(padded.shape, bool)
    outside[1:5, 3:33] = False
    assert (padded[outside] == before[outside]).all()
    # Packed rows start again with luma on each row, whatever their length.
    rows = np.full((2, 40), 16, np.uint8)[:, :3]
    assert colour.expand(rows, colour.LUMA_CHROMA) == bytes([0, 0, 0]) * 2


@pytest.mark.parametrize("plane, into, error, words", [
    (np.zeros(8, np.uint16), None, ValueError, "items of 1 byte"),
    (np.zeros((4, 8), np.uint8)[:, ::2], None, ValueError, "next to each other"),
    (np.zeros((4, 8), np.uint8)[::-1], None, ValueError, "positive stride"),
    (np.zeros((2, 2, 2), np.uint8), None, ValueError, "1 or 2 dimensions"),
    (b"\x10" * 8, "in place", BufferError, "writable"),
    (b"\x10" * 8, bytearray(7), ValueError, "7 bytes"),
    (np.zeros((4, 8), np.uint8)[:, :6], np.zeros((6, 8), np.uint8)[:, :4], ValueError, "shapes"),
])
def test_expand_refuses_other_layouts(plane, into, error, words):
    with pytest.raises(error) as caught:
        colour.expand(plane, colour.LUMA, plane if isinstance(into, str) else into)
    assert words in str(caught.value)


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


def rendered(raw, pix_fmt, size=(W, H), scaler="bicubic"):
    """FFmpeg's rgb24 render of a raw W x H frame, at `size`."""
    rgb = ffmpeg("-f", "rawvideo", "-pix_fmt", pix_fmt, "-s", "%dx%d" % (W, H), "-i", "-",
                 "-vf", "scale=%d:%d:flags=%s" % (size + (scaler,)), "-pix_fmt", "rgb24",
                 "-f", "rawvideo", "-",
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
    runs to its end: PyAV leaks a packet of one left part way."""
    with av.open(str(path)) as image:
        return [f.to_ndarray(format="rgb24") for f in image.decode(video=0)][0]


FORMATS = {"yuv420p": (sdl.IYUV, lambda p: (p[0], p[2], p[1])),
           "uyvy422": (sdl.UYVY, lambda p: (p[0], b"", b""))}


@pytest.mark.parametrize("pix_fmt", FORMATS)
def test_frames_show_in_ffmpegs_colours(video, bars, pix_fmt):
    code, as_overlay = FORMATS[pix_fmt]
    raw = bars[0] if pix_fmt == "yuv420p" else ffmpeg(
        "-f", "rawvideo", "-pix_fmt", "yuv420p", "-s", "%dx%d" % (W, H), "-i", "-",
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
    frame = as_overlay(planes)
    reference = rendered(raw, pix_fmt)
    pictures = {}
    for expand in (False, True):
        overlay.display(colour.expand_frame(frame, code) if expand else frame)
        video.flip()
        pictures[expand] = off_by(shown(), reference)
    del overlay
    wanted = colour.expand_wanted(colour.LIMITED, "auto", found.full_range)
    assert (pictures[wanted] <= 3).all(), (found, pictures)
    # The test tells the two conversions apart: the other one is far off.
    assert (pictures[not wanted] > 6).any(), (found, pictures)


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
                    frame=screenshot.video_frame(bars[1], "yuv420p", (W, H)))
    del overlay
    assert path.read_bytes().startswith(magic)
    picture = picture_of(path)
    assert picture.shape == (window[1], window[0], 3)
    x, y, w, h = placement
    inside = picture[y:y + h, x:x + w]
    # SDL's software overlay scales by repeating pixels; the frame is scaled
    # by FFmpeg's scaler, here bilinear.
    reference = rendered(bars[0], "yuv420p", (w, h), "neighbor" if from_surface else "bicubic")
    assert (off_by(inside, reference) <= 3).all()
    outside = picture.copy()
    outside[y:y + h, x:x + w] = 0
    assert not outside.any()


# --- the player ---------------------------------------------------------------

@pytest.fixture(scope="module")
def clips(tmp_path_factory):
    """Two frames of FFmpeg's colour bars: limited range (yuv420p, lossless)
    and full range (yuvj420p, as JPEG frames decode)."""
    folder = tmp_path_factory.mktemp("clips")
    for name, codec in (("bars.mkv", ["ffv1", "-pix_fmt", "yuv420p"]),
                        ("barsj.mkv", ["mjpeg", "-pix_fmt", "yuvj420p", "-q:v", "2"])):
        ffmpeg("-f", "lavfi", "-i", "smptebars=size=%dx%d:rate=25" % (W, H), "-frames:v", 2,
               "-c:v", *codec, folder / name)
    return folder


@pytest.mark.timeout(120)
@pytest.mark.parametrize("clip, args, levels", [
    ("bars.mkv", [], "limited"),
    ("barsj.mkv", [], "full"),
    ("bars.mkv", ["--range", "full"], "full"),
    ("barsj.mkv", ["--range", "limited"], "limited"),
])
def test_player_shows_ffmpegs_colours(clips, tmp_path, monkeypatch, clip, args, levels):
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
    # The last frame as decoded, rendered by ffmpeg as of `levels`.
    with av.open(str(clips / clip)) as container:
        pix_fmt = container.streams.video[0].codec_context.pix_fmt
    decoded = ffmpeg("-i", clips / clip, "-f", "rawvideo", "-pix_fmt", pix_fmt, "-")
    last = decoded[len(decoded) // 2:]
    reference = rendered(last, "yuvj420p" if levels == "full" else "yuv420p")
    other = rendered(last, "yuv420p" if levels == "full" else "yuvj420p")
    for picture in (seen[0], picture_of(shot)):
        assert (off_by(picture, reference) <= 3).all()
        # The other range's render fails the same check: the test tells them apart.
        assert (off_by(picture, other) > 3).any()
