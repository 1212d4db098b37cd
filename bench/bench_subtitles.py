"""Subtitles on a 1080p frame: what blending a two-line subtitle costs the
decoding thread, against what putting the frame up costs.

The subtitle is a full-width event of two lines in the style FFmpeg's
decoders give SRT subtitles (PlayRes 384 x 288, 16-point sans serif, white
with a black outline of 1), rendered by libass with DejaVu Sans for a
1920x1080 frame: text about 60 pixels tall across nearly the whole width.
Each blend call renders the track at the next frame's time (33 ms on, inside
the event, as a player asks) and blends every image into the frame's 4:2:0
planes in place.

The baseline is Overlay.display of the same 1920x1080 frame on SDL's dummy
video driver, SDL's YUV-to-RGB conversion included (the test double passes
the call through): the cost of showing a frame, which a blend adds to.  Both
are timed in alternating batches (bench/timing.py); the figures are the
medians in milliseconds.
"""

import os

from support import sdl
from timing import alternating

WIDTH, HEIGHT = 1920, 1080
FONT = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
HEADER = b"""[Script Info]
ScriptType: v4.00+
PlayResX: 384
PlayResY: 288
ScaledBorderAndShadow: yes

[V4+ Styles]
Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, \
Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, \
Shadow, Alignment, MarginL, MarginR, MarginV, Encoding
Style: Default,DejaVu Sans,16,&Hffffff,&Hffffff,&H0,&H0,0,0,0,0,100,100,0,0,1,1,0,2,10,10,10,0

[Events]
Format: Layer, ReadOrder, Style, Name, MarginL, MarginR, MarginV, Effect, Text
"""
LINE = (b"0,0,Default,,0,0,0,,Subtitles blended into every frame, full width and two lines "
        b"tall,\\Nas a film's dialogue is shown, over the picture's lower part at 1080p")
ROUNDS = 21


def run():
    double = sdl.load_double()
    os.environ.setdefault("SDL_VIDEODRIVER", "dummy")
    import brilox.display
    from brilox.overlay import Overlay
    from brilox.media import _subtitles

    library = _subtitles.Library()
    library.fonts(FONT, "DejaVu Sans", False)
    track = library.track(HEADER)
    track.add(LINE, 0, 3_600_000)
    y = bytearray(b"\x40" * (WIDTH * HEIGHT))
    u = bytearray(b"\x80" * (WIDTH * HEIGHT // 4))
    v = bytearray(u)
    frame = (y, u, v)
    clock = [0]

    def blend():
        clock[0] = (clock[0] + 33) % 3_000_000
        library.blend(track, clock[0], frame, _subtitles.PLANAR, WIDTH, HEIGHT,
                      (0.2126, 0.0722), False, (WIDTH, HEIGHT))

    brilox.display.init()
    double.state.display_is_noop = 0
    try:
        brilox.display.set_mode((WIDTH, HEIGHT))
        overlay = Overlay(sdl.IYUV, (WIDTH, HEIGHT))
        shown = (y, v, u)

        def display():
            overlay.display(shown)

        blend()
        display()
        assert library.blend(track, 1000, frame, _subtitles.PLANAR, WIDTH, HEIGHT,
                             (0.2126, 0.0722), False, (WIDTH, HEIGHT))
        value, base = alternating(blend, display, 8, ROUNDS)
        del overlay
    finally:
        brilox.display.quit()
    return [("blend of a two-line subtitle, 1920x1080 4:2:0, ms/call", value * 1e3,
             "Overlay.display of that frame (SDL converting), ms/call", base * 1e3,
             "<= 0.15x")]
