"""brilox-play's subtitle renderer: a styled, positioned line blended into a
frame and put up by SDL against FFmpeg's own render of the same frame and
script through the same libass and font, and the calls it refuses."""

import os
import types

import pytest

import brilox.media.colour as colour
from brilox.overlay import Overlay
from brilox.media import _subtitles as subtitles
from support import font_file, sdl
from test_play_colour import ffmpeg, shown

np = pytest.importorskip("numpy")

W, H = 320, 240
FONT = font_file()
FONTS = os.path.dirname(FONT)
BT601 = (0.299, 0.114)


def script(x, y):
    """Green text with a blue outline at (x, y) in pixels: green's Y'CbCr
    moves most between BT.601 and BT.709, and blue's chroma is far from its
    swap."""
    return ("""[Script Info]
ScriptType: v4.00+
PlayResX: %d
PlayResY: %d

[V4+ Styles]
Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, \
Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, \
Shadow, Alignment, MarginL, MarginR, MarginV, Encoding
Style: Sign,DejaVu Sans,44,&H0000FF00,&H000000FF,&H00FF2000,&H00000000,0,0,0,0,100,100,0,0,\
1,3,0,7,0,0,0,1

[Events]
Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text
Dialogue: 0,0:00:00.00,0:00:10.00,Sign,,0,0,0,,{\\pos(%d,%d)}Brilox QW
""" % (W, H, x, y)).encode()


# pix_fmt: (overlay code, layout, planes of a raw frame as the module takes
# them, the same planes in the overlay's order)
FORMATS = {
    "yuv420p": (sdl.IYUV, subtitles.PLANAR,
                lambda raw: (bytearray(raw[:W * H]), bytearray(raw[W * H:W * H * 5 // 4]),
                             bytearray(raw[W * H * 5 // 4:])),
                lambda p: (p[0], p[2], p[1])),
    "uyvy422": (sdl.UYVY, subtitles.CHROMA_LUMA,
                lambda raw: (bytearray(raw), b"", b""), lambda p: (p[0], b"", b"")),
}


@pytest.fixture(scope="module")
def library():
    library = subtitles.Library()
    library.fonts(FONT, "DejaVu Sans", False)
    return library


def faults(planes, layout):
    """What a broken blend would give instead, each named."""
    swapped = (dict(planes=(planes[0], planes[2], planes[1])) if layout == subtitles.PLANAR
               else dict(layout=subtitles.LUMA_CHROMA))
    return {"swapped chroma, or luma for chroma": swapped,
            "BT.709": dict(matrix=(0.2126, 0.0722)),
            "full range": dict(full_range=True),
            "2 px right": dict(at=(26, 90)),
            "1 px down": dict(at=(24, 91))}


@pytest.mark.parametrize("pix_fmt", FORMATS)
def test_subtitles_show_as_ffmpeg_renders_them(video, library, tmp_path, pix_fmt):
    code, layout, planes_of, in_overlay_order = FORMATS[pix_fmt]
    raw = ffmpeg("-f", "lavfi", "-i", "smptebars=size=%dx%d" % (W, H), "-frames:v", "1",
                 "-pix_fmt", pix_fmt, "-f", "rawvideo", "-")
    path = tmp_path / "sign.ass"
    path.write_bytes(script(24, 90))
    # FFmpeg's filter blends into the frame's samples (in 4:2:2 planar for
    # UYVY), which go back to the frame's format before FFmpeg converts
    # them to RGB, as it converts the bare frame.
    reference = np.frombuffer(ffmpeg(
        "-f", "rawvideo", "-pix_fmt", pix_fmt, "-s", "%dx%d" % (W, H), "-i", "-",
        "-vf", "ass=%s:fontsdir=%s,format=%s" % (path, FONTS, pix_fmt), "-pix_fmt", "rgb24",
        "-f", "rawvideo", "-", data=raw), np.uint8).reshape(H, W, 3).astype(int)
    bare = np.frombuffer(ffmpeg(
        "-f", "rawvideo", "-pix_fmt", pix_fmt, "-s", "%dx%d" % (W, H), "-i", "-",
        "-pix_fmt", "rgb24", "-f", "rawvideo", "-", data=raw), np.uint8).reshape(H, W, 3)
    text = (reference != bare).any(axis=2)
    assert text.sum() > 3000  # the line is there, in FFmpeg's render

    video.set_mode((W, H))
    found = colour.probe(code, (40, 20))
    overlay = Overlay(code, (W, H))

    def shown_off(planes=None, layout=layout, matrix=BT601, full_range=False, at=(24, 90)):
        """How far what SDL shows is from FFmpeg's render, per pixel: the
        largest difference of the three channels."""
        planes = planes_of(raw) if planes is None else planes
        track = library.read(script(*at))
        assert library.blend(track, 0, planes, layout, W, H, matrix, full_range, (W, H))
        frame = in_overlay_order(planes)
        if colour.expand_wanted(colour.LIMITED, "auto", found.full_range):
            frame = colour.expand_frame(frame, code)
        overlay.display(frame)
        video.flip()
        return np.abs(shown().astype(int) - reference).max(axis=2)

    # 8 levels a channel: SDL's converter is within 3 of FFmpeg's on the bare
    # frame, and the two blends round the chroma of text edges apart, each
    # chroma sample the mean of the coverage of two or four pixels; seen
    # within 5 on classic SDL and on sdl12-compat.
    off = shown_off()
    assert off.max() <= 8, np.argwhere(off > 8)[:10]
    # Each fault, on its own, is seen at the text.
    for name, fault in faults(planes_of(raw), layout).items():
        off = shown_off(**fault)
        assert (off[text] > 8).sum() > 1000, name
    assert library.messages() == [] or all("fontselect" in m for m in library.messages())


def planar(width=4, height=4):
    c = ((width + 1) // 2) * ((height + 1) // 2)
    return bytearray(width * height), bytearray(c), bytearray(c)


LIB = subtitles.Library()
LIB.fonts(FONT, None, False)
TRACK = LIB.track(script(0, 0))
OTHER = subtitles.Library().track(b"")
P, LC = subtitles.PLANAR, subtitles.LUMA_CHROMA


def blend(planes=None, layout=P, width=4, height=4, matrix=BT601, shown_size=(4, 4),
          track=TRACK):
    return LIB.blend(track, 0, planar() if planes is None else planes, layout, width, height,
                     matrix, False, shown_size)


def bitmap(planes=None, indices=b"\1" * 4, stride=2, size=(2, 2), palette=b"\0" * 8,
           dst=(0, 0, 2, 2)):
    return subtitles.blend_bitmap(planar() if planes is None else planes, P, 4, 4, BT601,
                                  False, indices, stride, size[0], size[1], palette, dst)


@pytest.mark.parametrize("call, error, words", [
    (lambda: blend(planes=(bytes(16), bytearray(4), bytearray(4))), ValueError, "read-only"),
    (lambda: blend(planes=(bytearray(15), bytearray(4), bytearray(4))), ValueError, "15 bytes"),
    (lambda: blend(planes=(bytearray(16), bytearray(2), bytearray(4))), ValueError,
     "planes[1] holds 2 bytes"),
    (lambda: blend(planes=(memoryview(bytearray(32))[::2], bytearray(4), bytearray(4))),
     ValueError, "contiguous"),
    (lambda: blend(planes=planar()[:2]), TypeError, "three"),
    (lambda: blend(planes=(bytearray(32), b"", b"x"), layout=LC), ValueError, "empty"),
    (lambda: blend(planes=(bytearray(30), b"", b""), width=3, height=5, layout=LC),
     ValueError, "even width"),
    (lambda: blend(layout=9), ValueError, "layout"),
    (lambda: blend(width=0), ValueError, "width and height"),
    (lambda: blend(matrix=(0.7, 0.4)), ValueError, "kr + kb"),
    (lambda: blend(shown_size=(4, 0)), ValueError, "shown"),
    (lambda: blend(track=OTHER), ValueError, "another Library"),
    (lambda: subtitles.Library().blend(OTHER, 0, planar(), P, 4, 4, BT601, False, (4, 4)),
     ValueError, "another Library"),
    (lambda: bitmap(indices=b"\1" * 3), ValueError, "indices hold 3 bytes"),
    (lambda: bitmap(stride=1), ValueError, "index_stride"),
    (lambda: bitmap(palette=b"\0" * 7), ValueError, "32-bit"),
    (lambda: bitmap(dst=(0, 0, 0, 2)), ValueError, "dst"),
    (lambda: LIB.read(b"not a script"), ValueError, "no subtitles"),
    (lambda: TRACK.add(b"Dialogue: 0,0:00:00.00", 0, 10), ValueError, "Dialogue"),
    (lambda: subtitles.Track(), TypeError, "cannot create"),
])
def test_refusals(call, error, words):
    with pytest.raises(error) as raised:
        call()
    assert words in str(raised.value)


def test_fonts_come_before_blending():
    library = subtitles.Library()
    with pytest.raises(RuntimeError, match="fonts"):
        library.blend(library.track(b""), 0, planar(), P, 4, 4, BT601, False, (4, 4))


def test_pictures_and_text_off_the_frame_touch_nothing_outside_it():
    # Rows and columns past the frame are guards: an image partly off any
    # side, on an odd-sized frame, must leave them alone.
    width, height = 7, 5
    track = LIB.track(script(0, 0))
    for x, y in [(-20, -30), (2, 1), (5, 3), (6, 4)]:
        track.add(b"Dialogue: 0,0:00:00.00,0:00:01.00,Sign,,0,0,0,,{\\pos(%d,%d)}W" % (x, y),
                  0, 1000)
    c = ((width + 1) // 2) * ((height + 1) // 2)
    guarded = [bytearray(b"\x10" * (width * height) + b"\xee" * 8),
               bytearray(b"\x80" * c + b"\xee" * 8), bytearray(b"\x80" * c + b"\xee" * 8)]
    assert LIB.blend(track, 0, tuple(guarded), P, width, height, BT601, False, (width, height))
    green = (0xFF00FF00).to_bytes(4, "little")
    subtitles.blend_bitmap(tuple(guarded), P, width, height, BT601, False, b"\1" * 9, 3, 3, 3,
                           b"\0" * 4 + green, (-2, 3, 20, 9))
    assert all(g.endswith(b"\xee" * 8) for g in guarded)
    # The picture covers the frame from its row 3 down, opaque green.
    assert guarded[0][3 * width:5 * width] == bytes([145]) * (2 * width)
    # Scaled down, a pixel takes the mean of what it covers: half opaque
    # white over black is mid grey; the chroma sample, over four pixels,
    # is an eighth covered.
    y, u, v = planar(2, 2)
    y[:] = b"\x10" * 4
    subtitles.blend_bitmap((y, u, v), P, 2, 2, BT601, False, b"\1\0", 2, 2, 1,
                           b"\0" * 4 + b"\xff" * 4, (0, 0, 1, 1))
    assert y[0] in (125, 126) and y[1:] == b"\x10" * 3 and u[0] == v[0] in (16, 17)


def test_tracks_keep_events_once_and_tell_their_play_res():
    # A side the script leaves out is what libass takes for it.
    for header, play_res in [(b"", (384, 288)), (b"[Script Info]\nPlayResX: 100\n", (100, 75)),
                             (b"[Script Info]\nPlayResY: 1024\n", (1280, 1024)),
                             (script(0, 0), (W, H))]:
        assert LIB.track(header).play_res == play_res
    track = LIB.track(script(0, 0))
    assert track.library is LIB and track.events == 1
    line = b"7,0,Sign,,0,0,0,,{\\pos(1,1)}W"
    track.add(line, 0, 1000)
    track.add(line, 0, 1000)  # the same ReadOrder: dropped
    track.add(b"Dialogue: 0,0:00:00.00,0:00:01.00,Sign,,0,0,0,,W", 0, 1000)
    assert track.events == 3
    track.clear()
    assert track.events == 0
    track.add(line, 0, 1000)
    assert track.events == 1
    # A bitmap set shows from its start until, not at, its end; a second
    # set of the same start is dropped.
    from brilox.media.subtitles.bitmap import BitmapTrack
    bitmaps = BitmapTrack(types.SimpleNamespace(canvas=None))
    bitmaps.add([(1.0, 2.0, [(0, 0, 2, 2, b"\0" * 4, 2, b"\xff" * 4)]), (1.0, 9.0, [])])
    bare = planar()
    assert [bitmaps.draw(bare, P, 4, 4, BT601, False, (4, 4), t) is bare
            for t in (0.5, 1.0, 1.99, 2.0)] == [True, False, False, True]


@pytest.mark.timeout(60)
@pytest.mark.parametrize("matrix, levels, luma", [
    # Opaque red, as the frame's own matrix and levels hold it.
    (colour.BT601, colour.LIMITED, 16 + 219 * 0.299), (colour.BT601, colour.FULL, 255 * 0.299),
    (colour.BT709, colour.LIMITED, 16 + 219 * 0.2126), (colour.BT709, colour.FULL, 255 * 0.2126),
])
def test_a_bitmap_on_a_4_3_canvas_lands_scaled_on_16_9_video(tmp_path, matrix, levels, luma):
    """A box on a PGS canvas of 720x576 (a DVD's) drawn into a 1024x576
    frame: stretched across, in the colour the frame's matrix and levels
    give red."""
    from types import SimpleNamespace
    from brilox.media.subtitles import Subtitles
    from brilox.media.subtitles.reader import dvd_canvas
    from test_video import pgs
    av = pytest.importorskip("av")
    width, height = 1024, 576
    sup = tmp_path / "box.sup"
    sup.write_bytes(pgs((720, 576), (180, 144, 360, 288), (81, 240, 90), 1, 2))
    shown = Subtitles(av, None, sub_file=str(sup), name="box.sup")
    grey = (bytes([100]) * (width * height), bytes([128]) * (width * height // 4),
            bytes([128]) * (width * height // 4))
    colours = SimpleNamespace(matrix=matrix, levels=levels)
    try:
        # Before the box; the stream then read whole, however busy the machine.
        before = shown.draw(grey, subtitles.PLANAR, width, height, colours, None, 0.5)
        for each in shown.shown.values():
            each.reader.thread.join(30)
        drawn, after = (shown.draw(grey, subtitles.PLANAR, width, height, colours, None, t)
                        for t in (1.5, 2.0))
    finally:
        shown.close()
    assert list(shown.notes) == [] and before is grey and after is grey
    assert all(not s.reader.thread.is_alive() for s in shown.shown.values())
    y = np.frombuffer(bytes(drawn[0]), np.uint8).reshape(height, width).astype(int)
    # The box: x 180-540 of 720 is 256-768 of 1024; y 144-432 stays.
    box = np.zeros_like(y, bool)
    box[144:432, 256:768] = True
    assert (np.abs(y[box] - luma) <= 2).all(), (y[box].min(), y[box].max(), luma)
    assert (y[~box] == 100).all(), np.argwhere(y[~box] != 100)[:5]
    assert dvd_canvas(b"# VobSub index file, v7\nsize: 720x576\norg: 0, 0\n") == (720, 576)
