"""brilox-play headless on its 1080p test pattern, 300 frames a run.

Three things are measured in each round, in turn and in reverse order every
other round, so that drift hits all alike:

- the player as it runs, with SDL's software YUV-to-RGB conversion
  (SDL_DisplayYUVOverlay on the dummy driver) included;
- the player again with the SDL test double making SDL_DisplayYUVOverlay a
  no-op: its upload time is then the copy into the overlay alone;
- the baseline: a bare loop of Overlay.display((y, u, v)) on a 1080p
  overlay, over two frames of the pattern made beforehand, taken in turn
  so that each upload brings new data as in the player: the upload and
  SDL's conversion with nothing of the player around them.

The player's frames are timed through its status line, which is told the
moment each frame is shown and how long its upload took: a frame's time is
the gap to the next.  Within a round each figure is the median over its
frames, which a busy neighbour on the machine moves far less than a mean
(the frames it slows come in bursts).  Each row then shows the round whose
ratio is the median of the rounds' ratios, value and baseline both from
that round, so that slow drift between rounds cancels.

The first row compares the player's frame rate with the bare loop's: the
share of the module's pace that the player keeps while it makes the
pattern, reads the keys and keeps its status.  The second gives the
upload's share of the player's frame time.
"""

import contextlib
import io
import os
import statistics
import time

from support import sdl

WIDTH, HEIGHT, FRAMES = 1920, 1080, 300
ROUNDS = 9


def _player_frames(play):
    """(frame seconds, upload seconds) of each frame of one player run."""
    shown = []

    class Recorder(play.Status):
        def frame(self, number, upload, now, paused=False):
            shown.append((now, upload))
            super().frame(number, upload, now, paused)

    options = play.parse_options(["--headless", "--size", "%dx%d" % (WIDTH, HEIGHT),
                                  "--frames", str(FRAMES)])
    source, label = play.open_source(options)
    status = play.Status
    play.Status = Recorder
    try:
        with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
            summary = play.play(options, source, label)
    finally:
        play.Status = status
    assert summary.frames == len(shown) == FRAMES
    return [(b[0] - a[0], a[1]) for a, b in zip(shown, shown[1:])]


def _bare_calls(display, Overlay, play):
    """Seconds of each Overlay.display((y, u, v)) call on a 1080p overlay."""
    display.init()
    try:
        display.set_mode((WIDTH, HEIGHT))
        overlay = Overlay(play.FORMATS["i420"][0], (WIDTH, HEIGHT))
        pattern = play.PatternFrames("i420", WIDTH, HEIGHT)
        frames = [play.overlay_frame(pattern.get(n)) for n in (0, 1)]
        overlay.display(frames[1])
        times = []
        for n in range(FRAMES):
            start = time.perf_counter()
            overlay.display(frames[n % 2])
            times.append(time.perf_counter() - start)
        del overlay
    finally:
        display.quit()
    return times


def run():
    double = sdl.load_double()
    os.environ.setdefault("SDL_VIDEODRIVER", "dummy")
    import brilox.display as display
    from brilox import play
    from brilox.overlay import Overlay

    median = statistics.median
    rounds = []
    for r in range(ROUNDS):
        measured = {}

        def player():
            measured["full"] = _player_frames(play)

        def player_without_display():
            double.state.display_is_noop = 1
            try:
                measured["noop"] = _player_frames(play)
            finally:
                double.state.display_is_noop = 0

        def bare_loop():
            measured["bare"] = _bare_calls(display, Overlay, play)

        steps = [player, bare_loop, player_without_display]
        for step in (steps if r % 2 == 0 else steps[::-1]):
            step()
        rounds.append({
            "frame": median(t for t, _ in measured["full"]),
            "noop_frame": median(t for t, _ in measured["noop"]),
            "copy": median(u for _, u in measured["noop"]),
            "bare": median(measured["bare"]),
        })

    def median_round(ratio):
        return sorted(rounds, key=ratio)[len(rounds) // 2]

    pace = median_round(lambda m: m["bare"] / m["frame"])
    share = median_round(lambda m: m["copy"] / m["frame"])
    conversion = median_round(lambda m: m["frame"] / m["noop_frame"])
    return [
        ("brilox-play 1080p pattern, headless, fps (SDL conversion included)", 1 / pace["frame"],
         "bare Overlay.display((y, u, v)) loop, 1080p, calls/s", 1 / pace["bare"],
         ">= 0.80x"),
        ("  upload (frame copy into the overlay), ms/frame", 1000 * share["copy"],
         "player frame time, 1080p, conversion included, ms/frame", 1000 * share["frame"],
         "<= 0.25x"),
        ("  brilox-play 1080p, fps with SDL's display a no-op", 1 / conversion["noop_frame"],
         "brilox-play 1080p fps, conversion included", 1 / conversion["frame"], "(reference)"),
    ]
