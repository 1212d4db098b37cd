"""The display over the picture on a 1080p frame: what putting a frame up
costs the game's side with the message line and the position bar shown,
against without; and what drawing it into each frame costs the decoding
thread.

The frame is 1920x1080 4:2:0 (BT.709, limited range) as the pipeline hands
it over; the display shows "Volume 80%" at the top and the bar with its
time and three chapter ticks at the bottom.  While it shows, the decoding
thread draws it into each frame as the frame leaves the pipeline
(osd.Osd.ahead), and update() puts that frame up (osd.Osd.over, which
checks that it carries what is to be shown then).  The first figure is
over() and Overlay.display of the frame drawn ahead; the next two are
ahead() alone, each call the next frame of a 60 s clip at 30 frames a
second (33 ms on), so that the bar's fill moves by a pixel about every
frame and its script is made again each time: into planes the pipeline
made for the frame (a colour step ran, as for BT.709 where SDL converts by
BT.601), which it draws into once it kept the rows it covers; and into
planes that are the decoder's own (no colour step ran), which it copies
first.  The baseline of both is Overlay.display
of the bare frame, on SDL's dummy video driver with SDL's YUV-to-RGB
conversion (the test double passes the call through).  They are timed in
alternating batches (bench/timing.py); the figures are the medians in
milliseconds.
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
    decoded = Picture(overlay_frame(planes, HEIGHT), planes, (WIDTH, HEIGHT), YV12,
                      Colours("limited", "bt709"))
    made = tuple(bytearray(p) for p in planes)
    picture = Picture(overlay_frame(made, HEIGHT), made, (WIDTH, HEIGHT), YV12,
                      Colours("limited", "bt709"), own=True)
    osd = Osd()
    osd.say("Volume 80%", 1e9, True)
    clock = [0.0]

    brilox.display.init()
    double.state.display_is_noop = 0
    try:
        brilox.display.set_mode((WIDTH, HEIGHT))
        overlay = Overlay(sdl.IYUV, (WIDTH, HEIGHT))

        up = [None]

        def drawn_ahead(into=picture):
            # As update() goes: the frame before is no longer up, and a
            # copy drawn into is drawn into again.
            clock[0] = (clock[0] + 1 / 30) % 60
            drawn = osd.ahead(into, clock[0], 60.0, CHAPTERS, (0, 0), (WIDTH, HEIGHT))
            osd.done_with(up[0])
            up[0] = drawn
            return drawn

        ahead, seconds = drawn_ahead(), clock[0]
        assert ahead.kept is not None and drawn_ahead(decoded).buffers is not None
        ahead, seconds = drawn_ahead(), clock[0]

        def shown():
            overlay.display(osd.over(picture, seconds, 60.0, CHAPTERS, (0, 0),
                                     (WIDTH, HEIGHT), 0.0, ahead))

        def bare():
            overlay.display(picture.frame)

        shown()
        # The frame drawn ahead is the one put up: the game's side draws nothing.
        assert osd.drawn == ahead.key and osd.painter.library is None
        value, base = alternating(shown, bare, 8, ROUNDS)
        thread, thread_base = alternating(drawn_ahead, bare, 8, ROUNDS)
        copied, copied_base = alternating(lambda: drawn_ahead(decoded), bare, 8, ROUNDS)
        del overlay
    finally:
        brilox.display.quit()
    return [("Overlay.display with the display shown (drawn ahead), 1920x1080, ms/frame",
             value * 1e3, "Overlay.display of that frame bare, ms/frame", base * 1e3,
             "<= 1.15x"),
            ("drawing the display into a frame on the decoding thread, ms/frame",
             thread * 1e3, "Overlay.display of that frame bare, ms/frame", thread_base * 1e3,
             "<= 0.15x"),
            ("drawing the display into a copy of the decoder's frame, ms/frame",
             copied * 1e3, "Overlay.display of that frame bare, ms/frame", copied_base * 1e3,
             "<= 0.30x")]
