"""brilox-play headless at 1080p: on its test pattern, and on an H.264
clip that the benchmark encodes itself (media rows, below).

The test pattern, 300 frames a run.

Three things are measured in each round, in turn and in reverse order every
other round, so that drift hits all alike:

- the player as it runs, with the YUV-to-RGB conversion included: on
  classic SDL's dummy driver the engine's own conversion straight into the
  display surface (the same pixels as SDL_DisplayYUVOverlay's), elsewhere
  SDL's;
- the player again with the SDL test double making SDL_DisplayYUVOverlay a
  no-op: its upload time is then the copy into the overlay alone (its
  colour probe sees nothing shown, so it neither stretches levels nor
  converts the frames itself);
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
share of the player's frame time that a copy into the overlay would take
(where the player converts the frames itself it makes no such copy).

The media rows play a 1080p H.264 clip (4 s at 30 fps, 8 Mbit/s, encoded
here by PyAV from two layers of noise panning against each other, so that
the decoder has real work on every block).  Each round measures, in turn:

- PyAV decoding the clip alone, with FFmpeg's decoding threads;
- a bare Overlay.display loop over the clip's frames, decoded and handed
  over beforehand: the upload and SDL's conversion alone;
- the player on the clip, headless, over every frame: frames / playing time;
- the player and ``ffmpeg -i clip -vf format=rgb24 -f null -``, each as a
  whole process from start to exit (start-up included on both sides, as a
  user times them): frames / wall time;
- the stretch of the clip's frames from video levels to full range, alone,
  as the player does before each upload where SDL takes levels as full
  range (classic SDL's software overlay does; the rows say whether the
  player stretched): its share of the player's frame time.

Done one after the other with nothing between, decoding and display would
take 1/decode + 1/display seconds a frame: the player's throughput is
reported against that rate (it can beat it, as FFmpeg's decoding threads
run on while SDL converts).  Each row is the round of median ratio.
"""

import contextlib
import io
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from support import sdl

WIDTH, HEIGHT, FRAMES = 1920, 1080, 300
ROUNDS = 9
CLIP_FPS, CLIP_FRAMES, CLIP_BITRATE = 30, 120, 8_000_000
MEDIA_ROUNDS = 5


def _player_frames(play, cli):
    """(frame seconds, upload seconds) of each frame of one player run."""
    shown = []

    class Recorder(play.Status):
        def frame(self, number, position, upload, now, *args, **kwargs):
            shown.append((now, upload))
            super().frame(number, position, upload, now, *args, **kwargs)

    options = cli.parse_options(["--headless", "--size", "%dx%d" % (WIDTH, HEIGHT),
                                 "--frames", str(FRAMES)])
    source = cli.open_source(options)
    status = play.Status
    play.Status = Recorder
    try:
        with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
            summary = play.play(options, source)
    finally:
        play.Status = status
    assert summary.frames == len(shown) == FRAMES
    return [(b[0] - a[0], a[1]) for a, b in zip(shown, shown[1:])]


def _bare_calls(display, Overlay, frames_module, pattern_module):
    """Seconds of each Overlay.display((y, u, v)) call on a 1080p overlay."""
    display.init()
    try:
        display.set_mode((WIDTH, HEIGHT))
        overlay = Overlay(frames_module.YV12, (WIDTH, HEIGHT))
        pattern = pattern_module.PatternFrames("i420", WIDTH, HEIGHT, 30)
        frames = [frames_module.overlay_frame(pattern.get(n), HEIGHT) for n in (0, 1)]
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
    from brilox.overlay import Overlay
    from brilox.play import cli, pattern
    from brilox.media import frames
    from brilox.play import player as play

    median = statistics.median
    rounds = []
    for r in range(ROUNDS):
        measured = {}

        def player():
            measured["full"] = _player_frames(play, cli)

        def player_without_display():
            double.state.display_is_noop = 1
            try:
                measured["noop"] = _player_frames(play, cli)
            finally:
                double.state.display_is_noop = 0

        def bare_loop():
            measured["bare"] = _bare_calls(display, Overlay, frames, pattern)

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
        *_media_rows(display, Overlay, play, cli, frames),
        ("brilox-play 1080p pattern, headless, fps (conversion included)", 1 / pace["frame"],
         "bare Overlay.display((y, u, v)) loop, 1080p, calls/s", 1 / pace["bare"],
         ">= 0.80x"),
        ("  upload (frame copy into the overlay), ms/frame", 1000 * share["copy"],
         "player frame time, 1080p, conversion included, ms/frame", 1000 * share["frame"],
         "<= 0.25x"),
        ("  brilox-play 1080p, fps with SDL's display a no-op", 1 / conversion["noop_frame"],
         "brilox-play 1080p fps, conversion included", 1 / conversion["frame"], "(reference)"),
    ]


# --- a 1080p H.264 clip ------------------------------------------------------

def _make_clip(av, path):
    """Encodes the clip: even rows from one layer of noise panning right,
    odd rows from another panning left, over a slow gradient in chroma."""
    pan = 4 * CLIP_FRAMES
    levels = bytes(range(40, 216, 11)) * 16
    layers = [os.urandom((WIDTH + pan) * (HEIGHT // 2)).translate(levels[:256]) for _ in (0, 1)]
    stride = WIDTH + pan
    with av.open(path, "w") as out:
        stream = out.add_stream("libx264", rate=CLIP_FPS)
        stream.width, stream.height, stream.pix_fmt = WIDTH, HEIGHT, "yuv420p"
        stream.bit_rate = CLIP_BITRATE
        stream.options = {"preset": "veryfast"}
        for n in range(CLIP_FRAMES):
            frame = av.VideoFrame(WIDTH, HEIGHT, "yuv420p")
            rows = []
            for r in range(HEIGHT // 2):
                for layer, x in ((0, 4 * n), (1, pan - 4 * n)):
                    rows.append(layers[layer][r * stride + x:r * stride + x + WIDTH])
            luma = b"".join(rows)
            cw, ch = WIDTH // 2, HEIGHT // 2
            shade = bytes((64 + (x + 2 * n) // 8) & 255 for x in range(cw))
            planes = [luma, shade * ch, shade[::-1] * ch]
            for plane, data in zip(frame.planes, planes):
                plane.update(data)
            frame.pts = n
            for packet in stream.encode(frame):
                out.mux(packet)
        for packet in stream.encode():
            out.mux(packet)


def _decode_alone(av, path):
    """Seconds to decode the whole clip, and its frame count."""
    start = time.perf_counter()
    with av.open(path) as container:
        stream = container.streams.video[0]
        stream.thread_type = "AUTO"
        count = sum(1 for _ in container.decode(stream))
    return time.perf_counter() - start, count


def _display_alone(display, Overlay, frames_module, handed):
    """Seconds of a bare Overlay.display loop over the clip's frames."""
    display.init()
    try:
        display.set_mode((WIDTH, HEIGHT))
        overlay = Overlay(frames_module.YV12, (WIDTH, HEIGHT))
        overlay.display(handed[-1])
        start = time.perf_counter()
        for frame in handed:
            overlay.display(frame)
        seconds = time.perf_counter() - start
        del overlay
    finally:
        display.quit()
    return seconds


def _player_on(play, cli, path):
    """The player's summary, headless over the whole clip."""
    options = cli.parse_options([path, "--headless"])
    source = cli.open_source(options)
    try:
        with contextlib.redirect_stdout(io.StringIO()), contextlib.redirect_stderr(io.StringIO()):
            return play.play(options, source)
    finally:
        source.close()


def _player_process(path):
    """Seconds of `brilox-play clip --headless` as a process of its own."""
    start = time.perf_counter()
    subprocess.run([sys.executable, "-m", "brilox.play", path, "--headless"],
                   env=dict(os.environ, SDL_VIDEODRIVER="dummy"), stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True, timeout=600)
    return time.perf_counter() - start


def _ffmpeg_alone(path):
    start = time.perf_counter()
    subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-i", path, "-vf", "format=rgb24",
                    "-f", "null", "-"], check=True, timeout=600)
    return time.perf_counter() - start


def _expand_alone(colour, frames_module, handed):
    """Seconds to stretch the levels of every frame of the clip."""
    start = time.perf_counter()
    for frame in handed:
        colour.expand_frame(frame, frames_module.YV12)
    return time.perf_counter() - start


def _player_expands(display, colour, frames_module):
    """Whether the player stretches a limited-range clip's levels on this
    SDL, by the colour probe it runs."""
    display.init()
    try:
        display.set_mode((WIDTH, HEIGHT))
        found = colour.probe(frames_module.YV12).full_range
    finally:
        display.quit()
    return colour.expand_wanted(colour.LIMITED, "auto", found)


def _media_rows(display, Overlay, play, cli, frames_module):
    import av
    from brilox.media import colour
    folder = tempfile.mkdtemp(prefix="bench-play-")
    try:
        path = os.path.join(folder, "clip.mp4")
        _make_clip(av, path)
        with av.open(path) as container:
            handed = [frames_module.overlay_frame(frames_module.frame_planes(
                f, "yuv420p", WIDTH, HEIGHT), HEIGHT) for f in container.decode(video=0)]
        assert len(handed) == CLIP_FRAMES
        has_ffmpeg = shutil.which("ffmpeg") is not None
        rounds = []
        for r in range(MEDIA_ROUNDS):
            measured = {}
            steps = [("decode", lambda: _decode_alone(av, path)[0]),
                     ("display", lambda: _display_alone(display, Overlay, frames_module, handed)),
                     ("player", lambda: _player_on(play, cli, path)),
                     ("process", lambda: _player_process(path)),
                     ("ffmpeg", lambda: _ffmpeg_alone(path) if has_ffmpeg else None),
                     ("expand", lambda: _expand_alone(colour, frames_module, handed))]
            for name, step in (steps if r % 2 == 0 else steps[::-1]):
                measured[name] = step()
            summary = measured["player"]
            assert summary.frames == CLIP_FRAMES
            decode_fps = CLIP_FRAMES / measured["decode"]
            display_fps = CLIP_FRAMES / measured["display"]
            rounds.append({
                "player": summary.fps,
                "parts": 1 / (1 / decode_fps + 1 / display_fps),
                "decode": decode_fps, "display": display_fps,
                "upload": summary.upload_seconds / summary.frames,
                "frame": summary.seconds / summary.frames,
                "process": CLIP_FRAMES / measured["process"],
                "ffmpeg": CLIP_FRAMES / measured["ffmpeg"] if has_ffmpeg else None,
                "expand": measured["expand"] / CLIP_FRAMES,
            })
        expands = _player_expands(display, colour, frames_module)
    finally:
        shutil.rmtree(folder, ignore_errors=True)

    def median_round(ratio):
        return sorted(rounds, key=ratio)[len(rounds) // 2]

    pace = median_round(lambda m: m["player"] / m["parts"])
    share = median_round(lambda m: m["upload"] / m["frame"])
    stretch = median_round(lambda m: m["expand"] / m["frame"])
    stretched = "levels stretched" if expands else "levels not stretched on this SDL"
    rows = [
        ("brilox-play 1080p H.264 clip, headless, %s, fps" % stretched, pace["player"],
         "its parts alone, 1/(1/decode + 1/display), fps", pace["parts"], ">= 0.90x"),
        ("  PyAV decoding the clip alone, fps", pace["decode"],
         "bare Overlay.display loop over its frames, fps", pace["display"], "(reference)"),
        ("  hand-over + upload + conversion, ms/frame", 1000 * share["upload"],
         "player frame time on the clip, ms/frame", 1000 * share["frame"], "(reference)"),
        ("  level stretch to full range alone, ms/frame", 1000 * stretch["expand"],
         "player frame time on the clip, ms/frame", 1000 * stretch["frame"], "<= 0.10x"),
    ]
    if pace["ffmpeg"] is not None:
        # Like for like: both whole processes, start-up included.
        versus = median_round(lambda m: m["process"] / m["ffmpeg"])
        rows.append(("brilox-play clip --headless, whole process, fps", versus["process"],
                     "ffmpeg -i clip -vf format=rgb24 -f null -, whole process, fps",
                     versus["ffmpeg"], "(reference)"))
    return rows
