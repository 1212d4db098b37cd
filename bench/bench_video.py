"""brilox.play.Video in a game's loop: what update() costs the game's thread
when a frame goes up, and how a 60 Hz loop keeps up with a 1080p30 clip
with sound.

The clip (10 s of FFmpeg's testsrc2 under moving noise at 1920x1080, 30
fps, H.264 yuv420p at 8 Mbit/s, with AAC sound at 48 kHz: real work for the
decoder on every block) is made once by ffmpeg and kept in build/bench/,
under a name that changes with the command that makes it.  Everything runs
on SDL's dummy video driver, with a 1920x1080 display, SDL's YUV-to-RGB
conversion included (the test double passes every call through).  Where
SDL converts overlays in software into the display surface (classic SDL),
the Video's frames go there straight, by the engine's own conversion of
the same pixels; the baseline is SDL's.

update(), against Overlay.display.  Two loops take turns for 2 s each, in
reverse order every other round; each calls display.poll_events(), its one
timed call and display.flip(), then sleeps 2 ms:

- a Video of the clip, silent (sound=False, so the system clock paces it),
  playing its first 2 s: the calls to update() that return True, a new
  frame up;
- an Overlay of the format the Video's overlay has (read from SDL's own
  record of the last overlay shown), given the clip's frames by the same
  clock (a new frame each 1/30 s), decoded and handed over beforehand: the
  Overlay.display calls.

A third loop takes its turn beside them in each round: the same Video
with output="surface", whose decoding thread paints each frame into an
RGB Surface, so that its update() only hands that Surface over: the calls
that return True, against the same Overlay.display.

A fourth loop does too: the same Video below a small one (a 320x180
H.264 clip, 30 fps, in the top left corner), whose update() the loop calls
first, as a picture-in-picture game does: the lower Video's calls that
return True, against the same Overlay.display.  Where SDL shows one
overlay at a flip (sdl12-compat), the lower Video's frames are painted in
RGB on its decoding thread and its update() writes them into the display
surface; elsewhere it is an overlay like the first loop's.

The frame the paused Video puts up before play(), and the baseline's first
upload, are left out: both pay the new overlay's page faults.  The median,
the 90th percentile and the worst of each loop's calls, over all its turns,
are compared: many short turns taken in alternation meet the same mix of
whatever else the machine runs, where a few long ones would not.

The 60 Hz loop.  A Video of the clip with its sound, through a PulseAudio
server with a null sink started here (SDL_AUDIODRIVER=pulse), is played to
its end in a loop that polls events, calls update(), flips and sleeps to
the next 1/60 s tick.  Frames dropped: the clip's frames never put up (by
`position` after each update() that returns True, the first frame's, put
up while paused, included) against the 300 due.  Longest iteration: the
longest time from one iteration's start to the next, against the 60 Hz
period; the longest update() call in the loop is given beside it, and,
taking turns with the Video in each round, the longest iteration of the
same loop putting up the clip's frames 30 a second with a bare
Overlay.display: what the machine alone does to the loop.  Each row shows
the round of median value.  Periods missed: the ticks whose
iteration flipped after the next tick was due (the loop reached its sleep
too late), all of them, and those "because of update()": that would have
been on time had their update() cost what the median Overlay.display
above does, in the worst round, beside those of the bare loop in that
round late because of Overlay.display.  (An iteration that merely starts
a little late, as sleep wakes late, is made up by the next one's shorter
sleep and misses nothing.)  Without pulseaudio these rows are left out.
"""

import ctypes
import hashlib
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from support import sdl

WIDTH, HEIGHT, FPS, SECONDS = 1920, 1080, 30, 10
CACHE = pathlib.Path(__file__).resolve().parent.parent / "build" / "bench"
CLIP_COMMAND = [
    "-f", "lavfi", "-i", "testsrc2=size=%dx%d:rate=%d,noise=alls=12:allf=t" % (WIDTH, HEIGHT, FPS),
    "-f", "lavfi", "-i", "sine=frequency=440:sample_rate=48000",
    "-t", str(SECONDS), "-c:v", "libx264", "-preset", "veryfast", "-b:v", "8M",
    "-pix_fmt", "yuv420p", "-c:a", "aac", "-ac", "2"]
# The small picture over the lower Video.
SMALL_COMMAND = [
    "-f", "lavfi", "-i", "testsrc2=size=320x180:rate=%d" % FPS, "-t", str(SECONDS),
    "-c:v", "libx264", "-preset", "veryfast", "-pix_fmt", "yuv420p"]

# update() against Overlay.display.
ROUNDS = 10
PASS_SECONDS = 2
POLL = 0.002
HANDED = 8
# The 60 Hz loop.
LOOP_ROUNDS = 3
PERIOD = 1 / 60
# The longest a Video may take to put up its first frame, or to finish past
# the clip's length.
WAIT = 10

PIX_FMT = {0x32315659: "yuv420p", 0x32595559: "yuyv422", 0x59565955: "uyvy422"}


def _clip(command=CLIP_COMMAND, name="video-1080p30-aac"):
    """The clip's path, made by ffmpeg unless an earlier run left it."""
    tag = hashlib.sha1(" ".join(command).encode()).hexdigest()[:12]
    path = CACHE / ("%s-%s.mp4" % (name, tag))
    if not path.exists():
        CACHE.mkdir(parents=True, exist_ok=True)
        partial = path.with_suffix(".partial.mp4")
        subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", *command, str(partial)],
                       check=True, timeout=600)
        os.replace(partial, path)
    return str(path)


def _frame_count(path):
    """The clip's video frames, by ffprobe."""
    out = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-count_packets",
                          "-show_entries", "stream=nb_read_packets", "-of", "csv=p=0", path],
                         check=True, capture_output=True, text=True, timeout=120).stdout
    return int(out.strip())


def _shown_overlay(double):
    """(format, w, h) of the last overlay SDL was asked to show, and the
    rectangle it was shown in."""
    record = ctypes.cast(double.state.last_display_overlay, ctypes.POINTER(sdl.Overlay)).contents
    return (record.format, record.w, record.h), double.state.last_display_rect.astuple()


def _video_shown(video, double):
    """(format, w, h) of the Video's overlay and the rectangle it shows in:
    where its frames go straight into the display surface (classic SDL's
    software overlays), from its output, as SDL is not asked to show them."""
    from brilox.media.output import Converted
    overlay = video._output.overlay
    if isinstance(overlay, Converted):
        return (video._output.overlay_format,) + overlay.size, overlay.location
    return _shown_overlay(double)


def _first_frame(video):
    """Calls update() on the paused Video until its first frame is up."""
    deadline = time.perf_counter() + WAIT
    while not video.update():
        if time.perf_counter() > deadline:
            raise RuntimeError("the Video put up no frame in %d s" % WAIT)
        time.sleep(POLL)
    return video.position


def _p90(times):
    return statistics.quantiles(times, n=10, method="inclusive")[-1]


# --- update() against Overlay.display ----------------------------------------

def _update_pass(Video, display, double, path, output="overlay", above=None):
    """(seconds of each update() that put up a frame, the Video overlay's
    (format, w, h) and the rectangle it shows in, or None for a surface or
    a Video below the one of `above`, a small clip's path)."""
    display.init()
    try:
        display.set_mode((WIDTH, HEIGHT))
        with Video(path, sound=False, output=output) as video:
            small = above and Video(above, sound=False)
            _first_frame(video)
            shown = _video_shown(video, double) if output == "overlay" and not above else None
            if small:
                small.set_location((0, 0, 320, 180))
                _first_frame(small)
                small.play()
            video.play()
            times = []
            clock = time.perf_counter
            end = clock() + PASS_SECONDS
            while clock() < end:
                display.poll_events()
                if small:
                    small.update()
                start = clock()
                up = video.update()
                took = clock() - start
                if up:
                    times.append(took)
                display.flip()
                time.sleep(POLL)
            if small:
                small.close()
    finally:
        display.quit()
    return times, shown


def _handed_frames(frames_module, path, pix_fmt):
    """The clip's first HANDED frames, ready for Overlay.display in `pix_fmt`."""
    import av
    handed = []
    with av.open(path) as container:
        for frame in container.decode(video=0):
            planes = frames_module.frame_planes(frame, pix_fmt, WIDTH, HEIGHT)
            handed.append(frames_module.overlay_frame(planes, HEIGHT))
            if len(handed) == HANDED:
                break
    return handed


def _display_pass(display, Overlay, double, overlay_format, handed):
    """(seconds of each Overlay.display of a new frame, 30 a second, in the
    same loop as _update_pass's; the rectangle it shows in)."""
    display.init()
    try:
        display.set_mode((WIDTH, HEIGHT))
        overlay = Overlay(overlay_format, (WIDTH, HEIGHT))
        overlay.display(handed[-1])
        times = []
        clock = time.perf_counter
        begin = clock()
        end = begin + PASS_SECONDS
        due = 0
        while clock() < end:
            display.poll_events()
            now = clock()
            if int((now - begin) * FPS) >= due:
                start = clock()
                overlay.display(handed[due % len(handed)])
                times.append(clock() - start)
                due += 1
            display.flip()
            time.sleep(POLL)
        rect = _shown_overlay(double)[1]
        del overlay
    finally:
        display.quit()
    return times, rect


def _update_rows(Video, display, Overlay, double, frames_module, path, small):
    updates, displays, surfaces, lowers = [], [], [], []
    # Known from the first Video played.
    handed = overlay_format = shown_in = None
    for r in range(ROUNDS):
        measured = {}

        def video_loop():
            measured["update"], measured["overlay"] = _update_pass(Video, display, double, path)

        def surface_loop():
            measured["surface"] = _update_pass(Video, display, double, path, "surface")[0]

        def lower_loop():
            measured["lower"] = _update_pass(Video, display, double, path, above=small)[0]

        def overlay_loop():
            measured["display"], rect = _display_pass(display, Overlay, double, overlay_format,
                                                      handed)
            assert rect == shown_in, "the Video shows in %s, the Overlay in %s" % (shown_in, rect)

        if handed is None:
            # The baseline needs the Video overlay's format first.
            video_loop()
            (overlay_format, w, h), shown_in = measured["overlay"]
            assert (w, h) == (WIDTH, HEIGHT), "the Video's overlay is %dx%d" % (w, h)
            handed = _handed_frames(frames_module, path, PIX_FMT[overlay_format])
            overlay_loop()
            surface_loop()
            lower_loop()
        else:
            steps = (video_loop, overlay_loop, surface_loop, lower_loop)
            for step in (steps if r % 2 == 0 else steps[::-1]):
                step()
        for which in ("update", "surface", "lower"):
            assert len(measured[which]) >= PASS_SECONDS * FPS // 2, (
                "%s: only %d frames went up in %d s" % (which, len(measured[which]), PASS_SECONDS))
        updates += measured["update"]
        displays += measured["display"]
        surfaces += measured["surface"]
        lowers += measured["lower"]

    median, display_median = statistics.median(updates), statistics.median(displays)
    p90, display_p90 = _p90(updates), _p90(displays)
    return overlay_format, handed, display_median, [
        ("Video.update() putting up a 1080p H.264 frame, median, ms", 1000 * median,
         "Overlay.display, 1080p, same format and display, median, ms",
         1000 * display_median, "<= 1.15x"),
        ("  same, 90th percentile, ms", 1000 * p90,
         "Overlay.display, the same, 90th percentile, ms", 1000 * display_p90, "<= 1.25x"),
        ("  same, worst, ms", 1000 * max(updates),
         "Overlay.display, the same, worst, ms", 1000 * max(displays), "< 2.00x"),
        ('Video.update() with output="surface", 1080p, median, ms',
         1000 * statistics.median(surfaces), "Overlay.display, 1080p, median, ms",
         1000 * display_median, "<= 1.5x"),
        ("  same, 90th percentile, ms", 1000 * _p90(surfaces),
         "Overlay.display, the same, 90th percentile, ms", 1000 * display_p90, "<= 1.5x"),
        ("Video.update() below a small Video, 1080p, median, ms",
         1000 * statistics.median(lowers), "Overlay.display, 1080p, median, ms",
         1000 * display_median, "<= 1.5x"),
        ("  same, 90th percentile, ms", 1000 * _p90(lowers),
         "Overlay.display, the same, 90th percentile, ms", 1000 * display_p90, "<= 1.5x"),
    ]


# --- a 60 Hz loop ------------------------------------------------------------

def _sixty_hertz(Video, display, path, due, display_median):
    """(frames never put up, longest iteration, longest update(), periods
    missed because of update(), periods, periods missed) of one play of
    the clip with sound in a 60 Hz loop, in seconds.  A period is missed
    where its iteration flipped after the next tick, and because of
    update() where it would not have with update() costing what
    Overlay.display does (`display_median`)."""
    display.init()
    try:
        display.set_mode((WIDTH, HEIGHT))
        with Video(path) as video:
            if not video.has_sound:
                raise RuntimeError("the Video has no sound")
            rate = video.frame_rate
            # The frame put up while paused counts as put up.
            shown = {round(_first_frame(video) * rate)}
            longest = longest_update = took = 0.0
            missed = periods = late = 0
            clock = time.perf_counter
            video.play()
            begin = tick = last = clock()
            while not video.finished:
                now = clock()
                longest = max(longest, now - last)
                periods += 1
                last = now
                if now - begin > due / rate + WAIT:
                    raise RuntimeError("the Video did not finish %d s past its end" % WAIT)
                display.poll_events()
                start = clock()
                if video.update():
                    shown.add(round(video.position * rate))
                took = clock() - start
                longest_update = max(longest_update, took)
                display.flip()
                tick, over = _next_tick(tick, clock)
                late += over > 0
                missed += 0 < over <= took - display_median
    finally:
        display.quit()
    return (due - len(shown & set(range(due))), longest, longest_update, missed, periods,
            late)


def _next_tick(tick, clock):
    """Sleeps until the loop's next tick, PERIOD after `tick`: (that tick,
    0), or where the loop comes to it late, (now, how late), a late loop
    counting its next tick from now, as a game's would."""
    tick += PERIOD
    now = clock()
    if tick > now:
        time.sleep(tick - now)
        return tick, 0.0
    return now, now - tick


def _sixty_hertz_bare(display, Overlay, overlay_format, handed, due, display_median):
    """(The longest iteration, in seconds, periods missed because of
    Overlay.display, as _sixty_hertz counts them) of the same loop putting
    up `due` frames 30 a second with Overlay.display, with no Video: what
    the machine itself does to the loop meanwhile."""
    display.init()
    try:
        display.set_mode((WIDTH, HEIGHT))
        overlay = Overlay(overlay_format, (WIDTH, HEIGHT))
        overlay.display(handed[-1])
        longest = took = 0.0
        clock = time.perf_counter
        begin = tick = last = clock()
        shown = missed = 0
        while shown < due:
            now = clock()
            longest = max(longest, now - last)
            last, took = now, 0.0
            display.poll_events()
            if int((now - begin) * FPS) >= shown:
                start = clock()
                overlay.display(handed[shown % len(handed)])
                took = clock() - start
                shown += 1
            display.flip()
            tick, over = _next_tick(tick, clock)
            missed += 0 < over <= took - display_median
        del overlay
    finally:
        display.quit()
    return longest, missed


def _loop_rows(Video, display, Overlay, path, due, overlay_format, handed, display_median):
    if not all(shutil.which(p) for p in ("pulseaudio", "pactl")):
        print("bench_video: 60 Hz rows skipped, needs pulseaudio", file=sys.stderr)
        return []
    from support import end
    from support.soundserver import start_sound_server
    folder = tempfile.mkdtemp(prefix="brilox-bench-video-")
    os.chmod(folder, 0o700)
    saved = dict(os.environ)
    pulse = None
    try:
        server, pulse = start_sound_server(folder)
        os.environ.update(server.env, SDL_AUDIODRIVER="pulse")
        rounds = []
        for r in range(LOOP_ROUNDS):
            if r % 2 == 0:
                video = _sixty_hertz(Video, display, path, due, display_median)
            bare = _sixty_hertz_bare(display, Overlay, overlay_format, handed, due,
                                     display_median)
            if r % 2 == 1:
                video = _sixty_hertz(Video, display, path, due, display_median)
            rounds.append(video + bare)
    finally:
        os.environ.clear()
        os.environ.update(saved)
        if pulse is not None:
            end(pulse)
        shutil.rmtree(folder, ignore_errors=True)

    def median_round(which):
        return sorted(rounds, key=lambda r: r[which])[len(rounds) // 2]

    # (Each round: the Video's six figures, then the bare loop's two.)
    dropped, longest, bare = median_round(0), median_round(1), median_round(6)
    missed = max(rounds, key=lambda r: (r[3], r[5]))
    return [
        ("Video 1080p30 H.264 with sound in a 60 Hz loop, 10 s, frames dropped", dropped[0],
         "frames due", due, "(reference)"),
        ("  same, the loop's longest iteration, ms", 1000 * longest[1],
         "60 Hz period, ms", 1000 * PERIOD, "(reference)"),
        ("  same, the longest update() in that loop, ms", 1000 * longest[2],
         "60 Hz period, ms", 1000 * PERIOD, "(reference)"),
        ("  same, 60 Hz periods missed because of update(), the worst round", missed[3],
         "the same loop, no Video: missed because of Overlay.display", missed[7], "0 missed"),
        ("  same round, 60 Hz periods missed for any cause", missed[5],
         "periods in that round", missed[4], "(reference)"),
        ("  same loop, no Video: Overlay.display 30 a second, longest iteration, ms",
         1000 * bare[6], "60 Hz period, ms", 1000 * PERIOD, "(reference)"),
    ]


def run():
    if not all(shutil.which(p) for p in ("ffmpeg", "ffprobe")):
        print("bench_video: skipped, needs ffmpeg and ffprobe", file=sys.stderr)
        return []
    double = sdl.load_double()
    os.environ.setdefault("SDL_VIDEODRIVER", "dummy")
    import brilox.display as display
    from brilox.overlay import Overlay
    from brilox.play import Video
    from brilox.media import frames

    path = _clip()
    due = _frame_count(path)
    assert due == FPS * SECONDS, "the clip has %d frames" % due
    small = _clip(SMALL_COMMAND, "video-320x180")
    overlay_format, handed, display_median, rows = _update_rows(Video, display, Overlay, double,
                                                                frames, path, small)
    return rows + _loop_rows(Video, display, Overlay, path, due, overlay_format, handed,
                             display_median)

