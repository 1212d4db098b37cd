"""The display over the picture on a 1080p frame: what putting a frame up
costs with the message line and the position bar shown, against without.

The frame is 1920x1080 4:2:0 (BT.709, limited range) as the pipeline hands
it over; the display shows "Volume 80%" at the top and the bar with its
time and three chapter ticks at the bottom.  Each call is the next frame of
a 60 s clip at 30 frames a second (33 ms on), so the bar's fill moves by a
pixel about every frame and its script is made again each time: the most
it is rendered.  The value is the display drawn into a copy of the frame
(osd.Osd.over) and Overlay.display of the result; the baseline
Overlay.display of the bare frame, on SDL's dummy video driver with SDL's
YUV-to-RGB conversion (the test double passes the call through).  Both are
timed in alternating batches (bench/timing.py); the figures are the
medians in milliseconds.
"""

import os

from support import sdl
from timing import alternating

WIDTH, HEIGHT = 1920, 1080
ROUNDS = 21
CHAPTERS = [(0.0, 20.0, "One"), (20.0, 40.0, "Two"), (40.0, 60.0, "Three")]


def run():
    double = sdl.load_double()
    os.environ.setdefault("SDL_VIDEODRIVER", "dummy")
    import brilox.display
    from brilox.overlay import Overlay
    from brilox.media.frames import YV12, overlay_frame
    from brilox.media.osd import Osd
    from brilox.media.pipeline import Colours, Picture

    y = bytes(b"\x40" * (WIDTH * HEIGHT))
    u = bytes(b"\x80" * (WIDTH * HEIGHT // 4))
    planes = (y, u, bytes(u))
    picture = Picture(overlay_frame(planes, HEIGHT), planes, (WIDTH, HEIGHT), YV12,
                      Colours("limited", "bt709"))
    osd = Osd()
    osd.say("Volume 80%", 1e9, True)
    clock = [0.0]

    brilox.display.init()
    double.state.display_is_noop = 0
    try:
        brilox.display.set_mode((WIDTH, HEIGHT))
        overlay = Overlay(sdl.IYUV, (WIDTH, HEIGHT))

        def shown():
            clock[0] = (clock[0] + 1 / 30) % 60
            overlay.display(osd.over(picture, clock[0], 60.0, CHAPTERS, (0, 0),
                                     (WIDTH, HEIGHT), 0.0))

        def bare():
            overlay.display(picture.frame)

        shown()
        assert osd.drawn is not None
        value, base = alternating(shown, bare, 8, ROUNDS)
        del overlay
    finally:
        brilox.display.quit()
    return [("Overlay.display with the display shown (message and bar), 1920x1080, ms/frame",
             value * 1e3, "Overlay.display of that frame bare, ms/frame", base * 1e3,
             "<= 1.15x")]
