"""The fonts subtitles are drawn with (brilox.media.fonts), as the player sets
the renderer up: ``Library.fonts(default_font(), None, fontconfig())``.

Whether the linked libass can use fontconfig is checked against what the
process loads, and a line in Latin, Arabic and Hebrew (shaping and
bidirectional text: HarfBuzz and FriBidi) must draw what FFmpeg's own render
of it draws.  Run against a wheel (scripts/test-wheel), that proves the
wheel's own libass, FreeType, FriBidi and HarfBuzz, and its default font."""

import subprocess
import sys

import numpy as np

from brilox.media import _subtitles, fonts

W, H = 320, 120
BT601 = (0.299, 0.114)
SCRIPT = """\
[Script Info]
ScriptType: v4.00+
PlayResX: %d
PlayResY: %d
WrapStyle: 0
ScaledBorderAndShadow: yes

[V4+ Styles]
Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, \
Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, \
Shadow, Alignment, MarginL, MarginR, MarginV, Encoding
Style: Default,DejaVu Sans,40,&H0000FFFF,&H000000FF,&H00400000,&H00000000,0,0,0,0,100,100,0,0,\
1,2,0,2,10,10,20,1

[Events]
Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text
Dialogue: 0,0:00:00.00,0:00:10.00,Default,,0,0,0,,AVA \u0633\u0644\u0627\u0645 \u05e9\u05dc\u05d5\u05dd
""" % (W, H)


def ffmpeg(*args):
    return subprocess.run(["ffmpeg", "-v", "error", "-nostdin", *map(str, args)],
                          capture_output=True, check=True, timeout=60).stdout


def planes(raw):
    y, c = W * H, (W // 2) * (H // 2)
    return [np.frombuffer(raw, np.uint8, n, o).astype(int)
            for n, o in ((y, 0), (c, y), (c, y + c))]


def test_fontconfig_is_what_the_linked_libass_loads():
    probe = ("import brilox.media._subtitles as s; s.Library()\n"
             "print(any('libfontconfig' in line for line in open('/proc/self/maps')))")
    loaded = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True,
                            check=True, timeout=60).stdout.split()[-1] == "True"
    assert fonts.fontconfig() == loaded
    if not loaded:
        # Then the default font is all the renderer has.
        assert fonts.default_font() is not None


def test_a_line_draws_what_ffmpeg_draws(tmp_path):
    script = tmp_path / "line.ass"
    script.write_text(SCRIPT, encoding="utf-8")
    source = ("-f", "lavfi", "-i", "color=c=gray:s=%dx%d:d=1" % (W, H))
    frame = ffmpeg(*source, "-frames:v", 1, "-pix_fmt", "yuv420p", "-f", "rawvideo", "-")
    # The ass filter, given a path, needs it free of the filter syntax's
    # special characters; pytest's tmp_path is.
    wanted = planes(ffmpeg(*source, "-vf", "format=yuv420p,ass=%s" % script, "-frames:v", 1,
                           "-pix_fmt", "yuv420p", "-f", "rawvideo", "-"))

    library = _subtitles.Library()
    library.fonts(fonts.default_font(), None, fonts.fontconfig())
    track = library.read(SCRIPT.encode("utf-8"), None)
    ours = [bytearray(p.astype(np.uint8).tobytes()) for p in planes(frame)]
    assert library.blend(track, 500, tuple(ours), _subtitles.PLANAR, W, H, BT601, False, (W, H))
    got = [np.frombuffer(p, np.uint8).astype(int) for p in ours]

    background = planes(frame)
    drawn = np.abs(wanted[0] - background[0]) > 8
    assert drawn.sum() > W * H // 20, "FFmpeg drew no line"
    # Where FFmpeg drew and where the renderer drew are the same pixels, in
    # the same colours: a wrong font, a missing glyph, unshaped Arabic or
    # Hebrew left to right would move many of them.
    ours_drawn = np.abs(got[0] - background[0]) > 8
    assert (drawn != ours_drawn).sum() < drawn.sum() // 50, library.messages()
    for plane, (a, b) in enumerate(zip(got, wanted)):
        assert np.abs(a - b).mean() < 1.0, plane
        assert np.percentile(np.abs(a - b), 99.5) <= 12, plane
