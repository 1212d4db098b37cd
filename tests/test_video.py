"""brilox.play.Video as a game sees it: clips whose frames show their own
numbers, read back from what SDL shows in a game's loop, against the clock,
the sound the sound server plays and the end event; and what it refuses."""

import ctypes
import gc
import math
import os
import struct
import subprocess
import sys
import threading
import time
import warnings
import wave

import pytest

import brilox.base
import brilox.display as display
import brilox.sound
from brilox.play import SubtitleWarning, Video
from brilox.media import PictureWarning, _colour, colour, pipeline, subtitles
from sanitizer import SANITIZED
from support import sdl
from support.soundserver import (RATE, across, inserted_silences,  # noqa: F401
                                 sound_server, spliced, without)
from support import sync
from support.xserver import xlib

np = pytest.importorskip("numpy")
av = pytest.importorskip("av")
from test_play_colour import as_sdl_shows, ffmpeg, off_by  # noqa: E402
from test_play_sound import rises  # noqa: E402
from play_clips import play, play_on_clock  # noqa: E402

KEY, CLICK = display.KEYDOWN, display.MOUSEBUTTONDOWN

# A number's bits are blocks STRIPE wide, lowest on the left, white for 1,
# in a band BAND high at the top, and inverted at the bottom; 75% colour
# bars between them, for the colours.
W, H, FPS, BITS, STRIPE, BAND = 160, 120, 30, 10, 16, 24
BARS = np.array([[191 * (c >> i & 1) for i in (2, 1, 0)] for c in (7, 6, 3, 2, 5, 4, 1, 0)],
                np.uint8)
END = display.USEREVENT + 7  # the last a Video may post
# The sanitizers slow decoding and the native modules unevenly, so against
# their build the bounds on when a frame goes up are three times as loose;
# which frames go up, and in what order, is checked the same.
LATE = 3 if SANITIZED else 1
# When (ms after its sound) the SDL build in use puts a picture up in a
# game's loop, from the earliest to the latest: (classic SDL's,
# sdl12-compat's).  Within a run the gaps spread over the loop's tick and
# the sound clock's steps; classic SDL reads its device's clock some 10 ms
# early, sdl12-compat some 10 ms late.
STEP_WINDOWS = ((-15, 20), (0, 35))


def make_clip(folder, name, count, sound=None, scale=1, pix_fmt="yuv420p"):
    """`count` numbered frames at FPS, `scale` times W x H: H.264 in yuv420p
    (with `sound`, mono samples at RATE, as AAC), raw frames in `pix_fmt`
    in a name ending in .mkv, or raw i420 for a name ending in .yuv."""
    frames = np.zeros((count, H, W, 3), np.uint8)
    frames[:, BAND:H - BAND] = BARS.repeat(W // len(BARS), 0)
    for n in range(count):
        ones = np.repeat([n >> k & 1 for k in range(BITS)], STRIPE).astype(bool)
        frames[n, :BAND, ones] = frames[n, H - BAND:, ~ones] = 255
    (folder / "frames").write_bytes(frames.tobytes())
    args = ["-f", "rawvideo", "-pix_fmt", "rgb24", "-s", "%dx%d" % (W, H), "-r", FPS,
            "-i", folder / "frames"]
    if sound is not None:
        (folder / "sound").write_bytes(sound.astype("<i2").tobytes())
        args += ["-f", "s16le", "-ar", RATE, "-ac", 1, "-i", folder / "sound", "-c:a", "aac"]
    coding = {".yuv": ["-f", "rawvideo"], ".mkv": ["-c:v", "rawvideo"]}.get(
        os.path.splitext(name)[1], ["-c:v", "libx264", "-preset", "ultrafast", "-crf", 12])
    ffmpeg("-y", *args, "-vf", "scale=iw*%d:ih*%d:flags=neighbor" % (scale, scale), *coding,
           "-pix_fmt", pix_fmt, folder / name)
    return folder / name


@pytest.fixture(scope="module")
def clips(tmp_path_factory):
    folder = tmp_path_factory.mktemp("video")
    for name, count in (("count.mp4", 2 * FPS), ("count.yuv", 2 * FPS), ("second.mp4", FPS)):
        make_clip(folder, name, count)
    # Its streams start 1.4 s in: times in it count from there.
    ffmpeg("-y", "-i", folder / "count.mp4", "-c", "copy", "-output_ts_offset", 1.4,
           folder / "late.mp4")
    (folder / "notes.mp4").write_text("not a video\n" * 100)
    # Alpha beside the picture (VP8's and VP9's, which only libvpx decodes)
    # or in it (ARGB): opaque on the left, clear in the middle, rising on
    # the right.
    for name, codec in ALPHA_CLIPS.items():
        ffmpeg("-f", "lavfi", "-i", "testsrc2=size=%dx%d:rate=%d:duration=1" % (W, H, FPS),
               "-vf", "format=yuva420p,geq=lum='lum(X,Y)':cb='cb(X,Y)':cr='cr(X,Y)':a='%s'"
               % ALPHA, "-c:v", *codec[0], folder / name)
    return folder


# Clips with alpha: (how ffmpeg codes them, the decoder that keeps the alpha).
ALPHA_CLIPS = {"vp9.webm": (["libvpx-vp9", "-pix_fmt", "yuva420p"], "libvpx-vp9"),
               "vp8.webm": (["libvpx", "-pix_fmt", "yuva420p", "-auto-alt-ref", 0], "libvpx"),
               "argb.mov": (["qtrle", "-pix_fmt", "argb"], None)}
# Their alpha by column; the game's background behind it, and
# the rectangle it draws over the video.
ALPHA = "if(lt(X,%d),255,if(lt(X,%d),0,(X-%d)*2))" % (W // 3, W // 2, W // 2)
BACKGROUND, MENU, MENU_RECT = (40, 90, 160), (250, 20, 200), (60, 50, 40, 20)


def put_up(video):
    """What a game does with a surface's frame: blits it onto the display."""
    if video.surface is not None:
        display.get_surface().blit(video.surface)


def shown(size=(W, H)):
    """What SDL shows after a flip, (H, W, 3) RGB: the display surface, into
    which classic SDL draws overlays, or what SDL 2 presents."""
    display.flip()
    w, h = size
    rgb = (colour.presented_rgb((0, 0, w, h), (w, h)) if sdl.over_sdl2()
           else _colour.read_display((0, 0, w, h)))
    return np.frombuffer(rgb, np.uint8).reshape(h, w, 3)


def number(picture):
    """The number shown; None where the two bands disagree (no whole frame)."""
    top, bottom = (picture[y, STRIPE // 2::STRIPE].mean(1) > 128 for y in (12, H - 12))
    return None if (top == bottom).any() else sum(1 << k for k in range(BITS) if top[k])


class Seen(list):
    """(time.monotonic(), number, position) of each frame that went up, and
    in `stalls`, for each, how long the loop was held up since the one
    before: beyond its tick between two passes, and inside the update() and
    the read that put it up.  On a machine busy with other work the loop
    cannot look for a frame while it is held up; a bound on when frames go
    up, or on how many are dropped, allows for what the loop measured.
    `blank`: the numbers up before each update() that put no frame up and
    left the screen without a whole frame, where run() looked."""

    def __init__(self):
        super().__init__()
        self.stalls, self.blank = [], []
        # The longest any thread of the process was kept from running while
        # the loop ran (a 5 ms sleep's overshoot): a machine whose host
        # holds it up now and then holds the decoding thread up too.
        self.hiccup = 0.0

    def missed(self, rate):
        """How many frames, due `rate` a second, the stalls may have cost."""
        return sum(math.ceil(stall * rate) for stall in self.stalls if stall > 0.002)


def run(video, seconds, until=lambda: False, pictures=None, others=(), since=None,
        between=False):
    """A game's loop: update() 60 times a second for `seconds` or until
    `until()`, reading what SDL shows after each that put a frame up (into
    `pictures` if given), and with `between`, after the others too: a Seen,
    its stalls counted from `since` (a time the caller read before play(),
    say).  The `others` are updated too, before, their frames unread."""
    seen, tick = Seen(), time.monotonic()
    deadline, last, held = tick + seconds, since or tick, 0.0
    # A process of its own watches, so that the watching takes no turn at
    # this interpreter's lock from the loop or the decoding thread.
    watcher = subprocess.Popen([sys.executable, "-c", WATCH], stdin=subprocess.PIPE,
                               stdout=subprocess.PIPE, text=True)
    try:
        while time.monotonic() < deadline and not until():
            for other in others:
                other.update()
            begun = time.monotonic()
            held += max(0.0, begun - last - 1 / 60)
            last = begun
            if video.update():
                put_up(video)
                at, picture = time.monotonic(), shown()
                seen.append((at, number(picture), video.position))
                seen.stalls.append(held + max(0.0, at - begun - 0.005))
                held = 0.0
                if pictures is not None:
                    pictures.append(picture)
            elif between and seen:
                put_up(video)
                if number(shown()) is None:
                    seen.blank.append(seen[-1][1])
            tick += 1 / 60
            time.sleep(max(0.0, tick - time.monotonic()))
    finally:
        seen.hiccup = float(watcher.communicate("", timeout=10)[0] or 0.0)
    return seen


# Sleeps 5 ms at a time until its stdin closes; prints the longest overshoot.
WATCH = """
import sys, threading, time
done, worst = threading.Event(), 0.0
threading.Thread(target=lambda: (sys.stdin.read(), done.set()), daemon=True).start()
while not done.is_set():
    begun = time.monotonic()
    time.sleep(0.005)
    worst = max(worst, time.monotonic() - begun - 0.005)
print(worst)
"""


class Recorded:
    """A Video for run() that notes, at each update() that put a frame up,
    (frame, last_kind, shown_at, the sound's clock) in `seen`."""

    def __init__(self, video):
        self.video, self.seen = video, []

    def update(self):
        v = self.video
        if not v.update():
            return False
        self.seen.append((v.frame, v.last_kind, v.shown_at, v.sound.clock()))
        return True

    def __getattr__(self, name):
        return getattr(self.video, name)


def first_frame(video, size=(W, H), read=number):
    deadline = time.monotonic() + 5
    while not video.update():
        assert time.monotonic() < deadline, "no frame went up"
        time.sleep(0.005)
    put_up(video)
    return read(shown(size))


@pytest.mark.timeout(60)
@pytest.mark.parametrize("name, raw, speed, output", [
    ("count.mp4", {}, 1.0, "overlay"), ("count.mp4", {}, 1.0, "surface"),
    ("count.yuv", {"size": (W, H), "format": "i420", "fps": FPS}, 1.0, "overlay"),
    ("count.mp4", {}, 2.0, "overlay"), ("late.mp4", {}, 1.0, "overlay")])
def test_frames_show_at_their_times(video, clips, name, raw, speed, output):
    """Through an overlay, or through a surface the game blits (which puts
    nothing on the display itself)."""
    video.set_mode((W, H))
    video.get_surface().fill((0, 0, 0))
    with Video(clips / name, speed=speed, output=output, **raw) as v:
        assert (v.size, v.frame_rate, v.has_sound, v.playing) == ((W, H), FPS, False, False)
        assert not v.has_alpha
        assert v.duration == pytest.approx(2, abs=0.5 / FPS) or (raw and v.duration is None)
        started = time.monotonic()
        v.play()
        pictures = []
        seen = run(v, 5, lambda: v.finished, pictures, since=started)
        held = sum(seen.stalls)
        assert v.finished and time.monotonic() - started < (2 + 0.3 * LATE) / speed + held
        last, rgb = pictures[-1], v.rgb()
        assert (v.surface is None) == (output == "overlay")
    numbers = [n for _, n, _ in seen]
    assert None not in numbers and numbers == sorted(numbers), numbers
    assert numbers[-1] == 2 * FPS - 1, numbers
    # A few dropped at most (more at 2x, as often due as the loop updates),
    # and those due while the loop was held up.
    assert len(set(numbers)) >= (2 * FPS - 4 if speed == 1 else FPS) - seen.missed(FPS * speed), \
        (numbers, seen.stalls)
    for i, (at, n, position) in enumerate(seen):
        # Frame n is due n / FPS after play(): never early, at most 2 late
        # (and as late as the loop was held up before it).
        assert -0.005 < at - started - n / FPS / speed < 2 * LATE / FPS + seen.stalls[i], \
            (at - started, n, seen.stalls[i])
        assert abs(position - n / FPS) < 0.5 / FPS, (position, n)
    # The last frame as FFmpeg renders it, and rgb() as SDL shows it.
    reference = as_sdl_shows(clips / name, (W, H), "limited", "bt601",
                             raw=["-f", "rawvideo", "-video_size", "%dx%d" % (W, H)] * bool(raw))
    assert (off_by(last, reference) <= 2).all(), off_by(last, reference)
    assert rgb.shape == (H, W, 3) and (off_by(rgb, last) <= 2).all(), off_by(rgb, last)


@pytest.mark.timeout(60)
@pytest.mark.parametrize("name", ["count.mp4", "late.mp4"])
def test_seek_while_paused_shows_the_frame_sought(video, clips, name):
    video.set_mode((W, H))
    with Video(clips / name) as v:
        # The first frame; forward, back, inside a frame, past the end.
        for sought, frame in ((None, 0), (45 / FPS, 45), (1 / FPS, 1), (10.5 / FPS, 10),
                              (100.0, 2 * FPS - 1)):
            if sought is not None:
                v.seek(sought)
            assert first_frame(v) == frame, sought
            assert abs(v.position - frame / FPS) < 0.5 / FPS, (sought, v.position)
            time.sleep(0.05)
            assert not v.update() and not v.playing
            # A game flips when it draws, whether a new frame went up or not.
            assert number(shown()) == frame, "the frame is gone at the next flip"


@pytest.mark.timeout(60)
@pytest.mark.parametrize("change", ["seek 1.5", "seek 0.2", "speed 2"])
def test_play_goes_on_from_the_frame_up_after_a_paused_seek_or_a_speed_change(video, clips,
                                                                              change):
    """Without sound, half a second in: paused, a second on (or 0.3 s back)
    and played; or twice as fast.  The frames after go up at their times from
    then: none held for the length of a seek, none dropped for the time before."""
    video.set_mode((W, H))
    what, value = change.split()
    with Video(clips / "count.mp4") as v:
        v.play()
        started, speed = run(v, 0.5)[0][0], float(value) if what == "speed" else 1.0
        if what == "seek":
            v.pause()
            v.seek(float(value))
            assert first_frame(v) == round(float(value) * FPS)
            time.sleep(0.2)
        changed = time.monotonic()
        up = round(float(value) * FPS) if what == "seek" else (changed - started) * FPS
        v.speed = speed
        v.play()
        seen = run(v, 0.3, since=changed)
    numbers = [n for _, n, _ in seen]
    # From the frame after the one up, each in turn but for those due while
    # the loop was held up.
    assert numbers == sorted(set(numbers)) and (speed > 1 or numbers[0] == up + 1 or (
        0 <= numbers[0] - up - 1 <= seen.missed(FPS))), (numbers, seen.stalls)
    assert speed > 1 or numbers[-1] - numbers[0] + 1 - len(seen) <= seen.missed(FPS), \
        (numbers, seen.stalls)
    assert len(seen) >= 0.3 * FPS - 2 * LATE - seen.missed(FPS * speed), seen
    for i, (at, n, _) in enumerate(seen):
        assert -0.01 < at - changed - (n - up) / FPS / speed < 2 * LATE / FPS + seen.stalls[i], \
            (at - changed, n, seen.stalls[i])


@pytest.mark.timeout(60)
@pytest.mark.rerun(times=2)  # held against the system clock as it plays
def test_a_looped_clip_runs_on_without_a_held_frame(video, clips):
    video.set_mode((W, H))
    with Video(clips / "second.mp4", loop=True, end_event=END) as v:
        started = time.monotonic()
        v.play()
        seen = run(v, 2.7)
        assert v.playing and not v.finished
    assert not [e for e in display.poll_events() if e.type == END]
    times, numbers, _ = zip(*seen)
    wraps = [i for i in range(1, len(seen)) if numbers[i] < numbers[i - 1]]
    assert len(wraps) == 2 and None not in numbers, numbers
    for k, i in enumerate(wraps, 1):
        # (A frame the loop missed while held up may be the last before it.)
        assert (numbers[i - 1], numbers[i]) == (FPS - 1, 0) or numbers[i] == 0 and max(
            seen.stalls[i - 1:i + 1]) > 0.005, (numbers[i - 3:i + 3], seen.stalls[i - 3:i + 3])
        assert 0 <= times[i] - started - k < 2 * LATE / FPS, (k, times[i] - started)
    # How long each number stays up, to the update that replaced it.
    changes = [i for i in range(1, len(seen)) if numbers[i] != numbers[i - 1]]
    held = [(numbers[a], times[b] - times[a]) for a, b in zip([0] + changes, changes)]
    assert max(t for _, t in held) < 3 * LATE / FPS + seen.hiccup, (seen.hiccup, held)


@pytest.mark.timeout(60)
@pytest.mark.parametrize("above", ["opened later", "by layer", "two above", "own size"])
def test_a_picture_in_a_picture_stays_in_every_grab(video, clips, tmp_path, above):
    """A small red picture over a numbered one, the game updating the small
    one first: where the big one puts a frame up after it, the small one
    is put up again over it, and both show in every one of 50 grabs of
    what SDL shows, the big one as FFmpeg renders its frame (on
    sdl12-compat, which shows one overlay at a flip, the big one through
    the display surface).
    Above by opening order, or opened first and put above by its layer; or
    a green picture between them, partly under the red one (on sdl12-compat
    through the display surface too, written again over the big one's); or
    the red one at its own size (on classic SDL converted straight into the
    display surface, and put up again from the frame it holds)."""
    places = {"red": (100, 44, 32, 24) if above == "own size" else (100, 44, 40, 30),
              "green": (70, 30, 40, 30)}
    for name in ("red", "green"):
        ffmpeg("-y", "-f", "lavfi", "-i", "color=%s:size=32x24:rate=24:duration=3" % name,
               "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
               tmp_path / (name + ".mp4"))
    with av.open(str(clips / "count.mp4")) as container:
        rendered = [f.to_ndarray(format="rgb24") for f in container.decode(video=0)]
    video.set_mode((W, H))
    names = {"opened later": ["count", "red"], "by layer": ["red", "count"],
             "two above": ["count", "green", "red"], "own size": ["count", "red"]}[above]
    opened = {name: Video(clips / "count.mp4" if name == "count" else tmp_path / (name + ".mp4"))
              for name in names}
    big, pictures = opened["count"], [n for n in ("red", "green") if n in opened]
    try:
        if above == "by layer":
            assert big.layer == opened["red"].layer == 0
            opened["red"].layer = 1
        for name in pictures:
            opened[name].set_location(places[name])
        for v in opened.values():
            v.play()
            first_frame(v)
        if above == "own size":
            # The case exists for the direct path: on classic SDL it is taken.
            from brilox.media.output import Converted
            assert isinstance(opened["red"]._output.overlay, Converted) \
                == sdl.overlays_drawn_into_surface()
        grabs, deadline = [], time.monotonic() + 20
        while len(grabs) < 50 and time.monotonic() < deadline:
            for name in pictures:
                opened[name].update()
            if big.update():
                picture, n = shown(), big.frame
                # The big picture left of the others, against FFmpeg's render.
                off = tuple(off_by(picture[:, :64], rendered[n][:, :64]).round(1))
                grabs.append((number(picture), n, off, tuple(picture[59, 120]),
                              tuple(picture[40, 80])))
            time.sleep(1 / 60)
    finally:
        for v in opened.values():
            v.close()
    assert len(grabs) == 50
    lost = [g for g in grabs if g[0] != g[1] or max(g[2]) > 2
            or not (g[3][0] > 180 and max(g[3][1:]) < 70)
            or "green" in opened and not (g[4][1] > 100 and max(g[4][::2]) < 70)]
    assert not lost, grabs


@pytest.mark.timeout(60)
@pytest.mark.parametrize("delay", [0.0, 0.3, -0.3])
def test_a_seek_inside_a_looping_video_with_sound_keeps_to_the_sound(
        video, tmp_path, sound_server, monkeypatch, delay):  # noqa: F811
    """One second with sound, looping; in its second pass a seek to 0.5 s:
    from the start and from the frame sought the frames go on in order
    through the next loop, each up once the sound's clock (plus `delay`)
    reaches it, the clock's line running on.  Heard `delay` late, the sound
    starts that much before the frame (the frames of that time are not
    dropped); heard early, the frame waits for it."""
    for name, value in sound_server.env.items():
        monkeypatch.setenv(name, value)
    monkeypatch.delenv("SDL_AUDIODRIVER", raising=False)
    clip = make_clip(tmp_path, "loop.mp4", FPS, 3000 * np.sin(np.arange(RATE) * 2 * np.pi
                                                               * 440 / RATE))
    video.set_mode((W, H))
    # The null sink sleeps while no stream asks for a short latency (a first
    # sound may start 2 s late): a stream of zeros keeps it awake.
    with open("/dev/zero", "rb") as zeros:
        awake = subprocess.Popen(["pacat", "--raw", "--channels=1", "--latency-msec=10"],
                                 stdin=zeros, env=dict(os.environ, **sound_server.env))
    try:
        with Video(clip, loop=True) as v:
            assert v.has_sound and first_frame(v) == 0
            v.step(-1)  # refused: the sound plays on all the same
            v.audio_delay = delay  # before play: the sound starts again for it
            v.play()
            began = Recorded(v)
            first = run(began, 8, lambda: v.shown_at > 1.3)
            assert v.shown_at > 1.3 and v.sound.clock() is not None
            v.seek(0.5)
            looked = Recorded(v)
            loop = run(looked, 8, lambda: len(looked.seen) >= 2 * FPS)
    finally:
        awake.kill()
        awake.wait()
    for seen, played, start in ((began.seen, first, 1), (looked.seen, loop, 15)):
        numbers = [n for n, _, _, _ in seen]
        start = numbers.index(start) if start in numbers else pytest.fail(str(seen))
        # In order from the frame sought on through the wrap; a frame is
        # dropped only where the loop, or the whole machine, was held up.
        steps = [(b - a) % FPS for a, b in zip(numbers[start:], numbers[start + 1:])]
        assert seen[start][1] in ("frame", "sought") and min(steps) == 1, seen
        assert sum(steps) - len(steps) <= played.missed(FPS) + math.ceil(played.hiccup * FPS), \
            (seen, played.stalls, played.hiccup)
        lines = [at for _, _, at, _ in seen[start:]]
        assert all(b - a == pytest.approx(step / FPS, abs=1e-3)
                   for a, b, step in zip(lines, lines[1:], steps)), seen
        # Up no sooner than its time, and (but for a few late updates on a
        # busy machine) within the update after the next frame's.
        late = [heard + delay - at for _, _, at, heard in seen[start + 1:]]
        assert min(late) >= -1e-3 and sum(x > 1 / FPS + 1 / 60 for x in late) <= 2 * LATE, late


@pytest.mark.timeout(90)
@pytest.mark.parametrize("strung, then, output, prepared", [
    ("queue", "then.mp4", "overlay", True), ("queue", "larger.mp4", "overlay", False),
    ("queue", "packed.mkv", "overlay", False), ("queue", "larger.mp4", "surface", False),
    ("loop_start", None, "overlay", False), ("span", None, "overlay", True)])
def test_clips_strung_together_run_on_without_a_seam(video, tmp_path, sound_server,  # noqa: F811
                                                     monkeypatch, strung, then, output, prepared):
    """A second of numbered frames over a 440 Hz tone, then (queued) a
    second over 660 Hz, the same, twice as large, or in packed 4:2:2 (an
    overlay of another format); or the first alone from 0.5 s on after its
    first pass; or its frames 6 to 15 three times, a span set while frame 9
    is up (what was made ahead is made again), then cleared while 9 is up
    again: play goes on to the end.  Prepared or opened once the display is
    set, it is up at the first update() after play(); across each seam the
    numbers run on, none held past the next frame's time nor repeated, nor
    a frame without one (black) between, and the sound server plays the
    tones with no gap (but where it says it ran dry).  Each clip that ends
    posts the end event, its file in `ended`."""
    for name, value in sound_server.env.items():
        monkeypatch.setenv(name, value)
    monkeypatch.delenv("SDL_AUDIODRIVER", raising=False)
    tone = lambda hz: 3000 * np.sin(np.arange(RATE) * 2 * np.pi * hz / RATE)  # noqa: E731
    first = make_clip(tmp_path, "first.mp4", FPS, tone(440))
    if then is not None:
        then = make_clip(tmp_path, then, FPS, tone(660), scale=1 + then.startswith("larger"),
                         pix_fmt="yuyv422" if then.endswith(".mkv") else "yuv420p")
    video.set_mode((W, H))
    # The game's device, running before the clips open (SDL's first start
    # over PulseAudio can take a second or more).
    brilox.sound.open(RATE, 2, -16, 1.0)
    brilox.sound.pause(False)
    # Heard on past its first few milliseconds: the server may play those,
    # then nothing for a second or two.
    brilox.sound.queue(bytes(RATE // 2 * 4))
    deadline = time.monotonic() + 10
    while brilox.sound.clock() <= 0.2:
        assert time.monotonic() < deadline, "the sound device did not start"
        time.sleep(0.01)
    dry = sound_server.ran_dry()
    listener = sound_server.listen()
    ends = []
    try:
        with Video(first, end_event=END, loop_start=0.5 if strung == "loop_start" else 0.0,
                   output=output, surface_size=(W, H) if output == "surface" else None) as v:
            if strung == "queue":
                v.queue(then)
            if prepared:
                v.prepare()
            deadline = time.monotonic() + 5
            while not v.ready:
                assert time.monotonic() < deadline, "the first frame was not decoded"
                time.sleep(0.005)
            v.play()
            assert v.update() and put_up(v) is None and number(shown()) == 0
            started = time.monotonic()
            passes = [0]

            def until():
                if strung == "span":
                    passes.append(v.frame)
                    wraps = sum(b < a for a, b in zip(passes, passes[1:]))
                    if wraps in (0, 3) and (v.span is None) == (wraps == 0) and v.frame >= 9:
                        assert v.frame <= 11, "the game loop was held up past frame 11"
                        v.span = (6 / FPS, 15 / FPS) if wraps == 0 else None
                ends.extend(list(v.ended) for e in display.poll_events() if e.type == END)
                return v.finished
            seen = run(v, 2.8 if strung == "loop_start" else 4, until, since=started,
                       between=True)
            assert v.finished == (strung != "loop_start")
    finally:
        heard, played_at = listener.stop()
    times, numbers, _ = zip(*seen)
    want = list(range(1, FPS)) + list(range(FPS)) if strung == "queue" else \
        list(range(1, FPS)) + list(range(FPS // 2, FPS)) * 5 if strung == "loop_start" else \
        list(range(1, 16)) + list(range(6, 16)) * 2 + list(range(6, FPS))
    # In order, once each: only frames the game's loop missed, held up, are
    # dropped.
    assert None not in numbers and all(a != b for a, b in zip(numbers, numbers[1:])), numbers
    assert seen.blank == [], seen.blank
    order, passed = iter(want), 0
    for n in numbers:
        while next(order, n) != n:
            passed += 1
    assert passed <= seen.missed(FPS) and numbers[-1] == want[len(numbers) + passed - 1], \
        (numbers, seen.stalls)
    seams = [i for i in range(1, len(seen)) if numbers[i] < numbers[i - 1]]
    assert len(seams) >= 3 if strung == "loop_start" else \
        len(seams) == {"queue": 1, "span": 3}[strung], numbers
    last, following = {"queue": (FPS - 1, 0), "span": (15, 6)}.get(strung, (FPS - 1, FPS // 2))
    for i in seams:
        # The last frame before the seam is up, but where the loop was held
        # up for as long as the frames passed over.
        assert numbers[i] == following and (
            numbers[i - 1] == last or math.ceil(seen.stalls[i] * FPS) >= last - numbers[i - 1]), \
            (numbers[i - 1:i + 1], seen.stalls[i])
        assert times[i] - times[i - 1] < 2 * LATE / FPS or seen.stalls[i] > 0.005, \
            (i, times[i] - times[i - 1])
    if strung == "queue":
        assert ends == [[str(first)], [str(first), str(then)]], ends
    else:
        assert ends == ([[str(first)]] if strung == "span" else []), ends
        assert strung == "span" or list(v.ended) == []
    # The sound: from its start to near its end (the queued clip's sound
    # fades out; a loop's is cut by close()), every 5 ms heard.
    inserted = inserted_silences(heard, sound_server.ran_dry() - dry)
    heard, played_at = without(heard, inserted), without(played_at, inserted)
    sounding = np.flatnonzero(np.abs(heard) > 1000)
    span = heard[sounding[0]:sounding[0] + int(RATE * (2.5 if strung == "loop_start" else 1.9))]
    level = np.sqrt(np.mean(span[:len(span) // 240 * 240].reshape(-1, 240) ** 2.0, 1))
    assert (level < 500).sum() <= 2, np.flatnonzero(level < 500)


@pytest.mark.timeout(60)
def test_the_end_event_arrives_once(video, clips):
    video.set_mode((W, H))
    ends = []

    def events():
        ends.extend((v.finished, v.position) for e in display.poll_events() if e.type == END)

    with Video(clips / "second.mp4", end_event=END) as v:
        v.play()
        seen = run(v, 3, lambda: events() or ends)
        assert seen[-1][1] == FPS - 1, seen
        assert ends == [(True, pytest.approx(1 - 1 / FPS, abs=0.5 / FPS))], ends
        run(v, 1, events)
        assert v.finished and len(ends) == 1, ends


@pytest.mark.timeout(120)
def test_the_sound_device_stays_open_for_the_game_and_the_next_video(
        video, tmp_path, sound_server, monkeypatch):  # noqa: F811
    """50 Videos with sound, each played until its sound is heard and then
    dropped without close(), while the sound server sleeps (a device it
    starts starts 2 s late): the device opens once, so only the first waits.
    After the last, the game's own sound plays on a channel, and is heard."""
    for name, value in sound_server.env.items():
        monkeypatch.setenv(name, value)
    monkeypatch.delenv("SDL_AUDIODRIVER", raising=False)
    hum = 3000 * np.sin(np.arange(RATE // 2) * 2 * np.pi * 440 / RATE)
    clip = make_clip(tmp_path, "hum.mp4", FPS // 2, hum)
    video.set_mode((W, H))
    with sound_server.asleep():
        began, took = time.monotonic(), []
        for _ in range(50):
            v, opened = Video(clip), time.monotonic()
            v.play()
            while v.sound.clock() is None:
                assert time.monotonic() < opened + 10, "no sound was heard"
                v.update()
                time.sleep(0.005)
            took.append(time.monotonic() - opened)
            del v
        total = time.monotonic() - began
    assert total < 25 and sorted(took)[-2] < 0.5, (total, took)
    gc.collect()
    listener = sound_server.listen()
    try:
        brilox.sound.Channel(1).play(np.repeat(hum * 3, 2).astype("<i2"))
        deadline = time.monotonic() + 5
        while not (np.abs(np.frombuffer(bytes(listener.data[-4000:]), "<i2")) > 4000).any():
            assert time.monotonic() < deadline, "the game's sound was not heard"
            time.sleep(0.01)
    finally:
        listener.stop()


@pytest.mark.timeout(90)
@pytest.mark.parametrize("speed, slow", [(1.0, False), (1.5, False), (0.5, False), (1.0, True)])
def test_the_picture_keeps_to_the_sound(video, tmp_path, sound_server, monkeypatch,  # noqa: F811
                                        speed, slow):
    """Beeps at frames 20, 50, 80 and 110: each frame goes up within 50 ms
    (1.5 frames) of when the sound server plays its beep.  At another
    speed the beeps come that much sooner or later after each other, and
    every tone keeps its pitch.  A frame goes up
    at the first update after its time (up to 17 ms); the sink's clock is
    read from the recording's arrivals (some 10 ms); sdl12-compat puts the
    picture 10-30 ms after the sound here, classic SDL within 6 ms.
    Meanwhile a second Video, a second into a steady tone, and a game's
    looping Sound play on channels of their own: all three are heard, and
    each Video keeps its own time.  `slow`: each frame's way through its
    pipeline takes 1.5 frames, as on a machine that cannot keep up; frames
    are dropped, and each frame shown still goes up within 100 ms of its
    time by the beeps heard."""
    for name, value in sound_server.env.items():
        monkeypatch.setenv(name, value)
    if slow:
        run_pipeline = pipeline.Pipeline.run

        def slow_run(self, *args):
            time.sleep(1.5 / FPS)
            return run_pipeline(self, *args)
        monkeypatch.setattr(pipeline.Pipeline, "run", slow_run)
    monkeypatch.delenv("SDL_AUDIODRIVER", raising=False)
    # Over a faint hum: slowed down, a beep after digital silence sounds ~20 ms early.
    beeps, sound = (20, 50, 80, 110), 200 * np.sin(np.arange(4 * RATE) * 2 * np.pi * 1000 / RATE)
    for frame in beeps:
        at = round(frame * RATE / FPS)
        sound[at:at + RATE // 10] = 16000 * np.sin(np.arange(RATE // 10) * 2 * np.pi * 1000 / RATE)
    clip = make_clip(tmp_path, "beeps.mp4", 4 * FPS, sound)
    tone = make_clip(tmp_path, "tone.mp4", 6 * FPS, 3000 * np.sin(np.arange(6 * RATE) * 2 * np.pi
                                                                   * 600 / RATE))
    with wave.open(str(tmp_path / "game.wav"), "wb") as w:
        w.setnchannels(1), w.setsampwidth(2), w.setframerate(RATE)
        w.writeframes((2000 * np.sin(np.arange(RATE // 10) * 2 * np.pi * 2500 / RATE))
                      .astype("<i2").tobytes())
    video.set_mode((W, H))
    dry = sound_server.ran_dry()
    listener = sound_server.listen()
    try:
        time.sleep(0.3)
        with Video(clip, speed=speed) as v, Video(tone, start=1.0, speed=speed) as other:
            assert v.has_sound and other.has_sound
            v.layer = 1  # both fill the display: the one read is above
            game = brilox.sound.Sound(tmp_path / "game.wav").play(loops=-1)
            assert game == brilox.sound.Channel(3)
            v.play()
            other.play()
            seen = run(v, 4 / speed + 3, lambda: v.finished, others=[other])
            assert v.finished and other.position == pytest.approx(  # 0.2 s apart at any speed
                v.position + 1, abs=0.2 * max(1, speed))
            game.stop()
        # The Videos' channels are free again for the game's sounds.
        assert not any(brilox.sound.Channel(n).reserved for n in (1, 2))
    finally:
        heard, played_at = listener.stop()
    found = rises(np.arange(len(heard)), np.abs(heard), 8000, RATE * 0.3)
    heard_at = played_at[found]
    assert len(heard_at) == len(beeps), heard_at
    # The clip's time between the first beep and the last, played in that
    # time over the speed (within 2%), and each beep still at 1 kHz.  Where
    # the server says the Videos' stream ran dry (the clock stood with it)
    # the silence it put in is not counted.
    found = spliced(found, inserted_silences(heard, sound_server.ran_dry() - dry))
    assert (found[-1] - found[0]) / RATE == pytest.approx(3 / speed, rel=0.02), heard_at
    heard_beeps = [heard[played_at.searchsorted(at):][:RATE // 20] for at in heard_at]
    assert all(abs(np.argmax(np.abs(np.fft.rfft(b))) * 20 - 1000) <= 20 for b in heard_beeps)
    # The steady tone and the game's, each at its own level between beeps
    # (FFmpeg's resampler spreads a mono stream over two at -3 dB).
    # (Where the server ran dry, what played, without the silence it put in.)
    inserted = inserted_silences(heard, sound_server.ran_dry() - dry)
    first = spliced(played_at.searchsorted(heard_at[0] + 0.3), inserted)
    quiet = without(heard, inserted)[first:][:RATE // 2]
    spectrum = np.abs(np.fft.rfft(quiet * np.hanning(len(quiet)))) * 4 / len(quiet)
    bins = np.fft.rfftfreq(len(quiet), 1 / RATE)
    assert [spectrum[np.argmin(np.abs(bins - hz))] for hz in (600, 2500)] == pytest.approx(
        [3000 / 2 ** 0.5, 2000 / 2 ** 0.5], rel=0.1)
    # When each beep's frame went up, against when the beep played: within
    # the SDL build's window, of the beeps the game's loop was not held up
    # before.
    low, high = sync.offset_ms(STEP_WINDOWS)
    if slow:
        # Every frame shown between the first beep and the last, against its
        # time by the beeps heard on either side of it.
        assert v.dropped >= len(seen) // 4, (v.dropped, len(seen))
        ups = [i for i, (_, n, _) in enumerate(seen) if n is not None and beeps[0] <= n
               <= beeps[-1] and seen.stalls[i] < 0.005]
        gaps = [1000 * (seen[i][0] - np.interp(seen[i][1], beeps, heard_at)) for i in ups]
        assert len(ups) >= 30 and all(low <= g <= 100 for g in gaps), (low, gaps)
        return
    ups = [min(i for i, (_, n, _) in enumerate(seen) if n >= b) for b in beeps]
    gaps = [1000 * (seen[i][0] - at) for i, at in zip(ups, heard_at)]
    steady = [g for g, i in zip(gaps, ups) if seen.stalls[i] < 0.005]
    assert len(steady) * 2 >= len(gaps), (gaps, seen.stalls)
    assert all(low <= g <= high for g in steady), (low, high, gaps)


@pytest.mark.timeout(60)
def test_speed_changes_while_playing_leave_no_gap(video, tmp_path, sound_server,  # noqa: F811
                                                  monkeypatch):
    """A 1 kHz tone, louder for 0.1 s every half second, sped up (past one
    filter's reach) and slowed down while it plays: it goes on unbroken at
    its pitch, each loud stretch's frame up within 50 ms of its sound."""
    for name, value in sound_server.env.items():
        monkeypatch.setenv(name, value)
    monkeypatch.delenv("SDL_AUDIODRIVER", raising=False)
    tone = 4000 * np.sin(np.arange(10 * RATE) * 2 * np.pi * 1000 / RATE)
    for frame in (loud := [15 * k + 3 for k in range(20)]):
        tone[round(frame * RATE / FPS):][:RATE // 10] *= 3
    clip = make_clip(tmp_path, "loud.mp4", 10 * FPS, tone)
    video.set_mode((W, H))
    dry = sound_server.ran_dry()
    listener = sound_server.listen()
    try:
        with Video(clip) as v:
            v.play()
            started, speeds = time.monotonic(), [1.5, 3.0, 0.5, 1.0]
            changes = lambda: speeds and time.monotonic() > started + 1.2 * (5 - len(speeds)) \
                and setattr(v, "speed", speeds.pop(0))  # noqa: E731
            seen = run(v, 6.5, changes)
    finally:
        heard, played_at = listener.stop()
    inserted = inserted_silences(heard, sound_server.ran_dry() - dry)
    heard_at = played_at[rises(np.arange(len(heard)), np.abs(heard), 6000, RATE * 0.1)]
    # The sound plays on while the Video closes, after the last update(): a
    # stretch heard then, or within 50 ms of it, has no frame to meet.
    heard_at = heard_at[heard_at < seen[-1][0] - 0.05]
    assert len(heard_at) >= 8, heard_at
    shown = [min((t for t, n, _ in seen if n >= f), default=np.inf) for f in loud]
    gaps = [round(1000 * (min(shown, key=lambda t: abs(t - at)) - at)) for at in heard_at]
    assert all(abs(g) <= 50 for g in gaps), str(gaps)
    # From the first loud stretch to the last: every 5 ms heard, 50 ms at 1 kHz.
    # (Where the server says the Video's stream ran dry, the silence it put
    # in is no gap of the Video's.)
    first, last = played_at.searchsorted(heard_at[0]), played_at.searchsorted(heard_at[-1])
    steady = without(heard, inserted)[spliced(first, inserted):spliced(last, inserted)]
    level = np.sqrt(np.mean(steady[:len(steady) // 240 * 240].reshape(-1, 240) ** 2.0, 1))
    # A busy machine's sound server drops a few ms now and then; the filters none.
    assert (level < 4000 / 2 ** 0.5 / 2 ** 0.5 / 2).sum() <= 4, level.min()
    pitch = np.abs(np.fft.rfft(steady[:len(steady) // 2400 * 2400].reshape(-1, 2400), axis=1))
    # (Not where a silence the server put in came out: it may have lost a
    # few ms there, which breaks the tone's phase.)
    start = spliced(first, inserted)
    seamless = [not across(start + k * 2400, start + (k + 1) * 2400, inserted)
                for k in range(len(pitch))]
    assert (pitch.argmax(1) * 20 == 1000)[seamless].all(), pitch.argmax(1) * 20


def grabs(count):
    """`count` grabs of the window, (H, W, 3) RGB from the X server's screen,
    each 5 to 40 ms after the one before, whenever the grabber likes (none
    waits for the game's flip), on a thread: (the thread, the grabs)."""
    x11, free, pictures = xlib(), ctypes.CDLL(None).free, []
    free.argtypes = [ctypes.c_void_p]
    connection = x11.XOpenDisplay(os.environ["DISPLAY"].encode())

    def grab():
        for pause in np.random.default_rng(7).uniform(0.005, 0.04, count):
            time.sleep(pause)
            image = x11.XGetImage(connection, x11.XDefaultRootWindow(connection), 0, 0, W, H,
                                  0xFFFFFFFF, 2)  # ZPixmap: B, G, R, unused on Xvfb's screen
            pictures.append(np.ctypeslib.as_array(ctypes.cast(image[2], ctypes.POINTER(
                ctypes.c_uint8)), (H, W, 4))[..., 2::-1].copy())
            free(image[2]), free(image)
        x11.XCloseDisplay(connection)

    thread = threading.Thread(target=grab, daemon=True)
    thread.start()
    return thread, pictures


@pytest.fixture
def x_video(x_display, monkeypatch):
    """SDL's video on the X server, its window at the screen's corner, for
    the test and shut down after."""
    for name, value in (("SDL_VIDEODRIVER", "x11"), ("DISPLAY", x_display),
                        ("SDL_VIDEO_WINDOW_POS", "0,0")):
        monkeypatch.setenv(name, value)
    display.init()
    yield display
    display.quit()


def over_background(clip, frame):
    """ffmpeg's own blend of frame `frame` of a clip with alpha over BACKGROUND,
    in RGB, of the clip's RGBA (as a surface has it)."""
    decoder = ALPHA_CLIPS[clip.name][1]
    rgb = ffmpeg("-f", "lavfi", "-i", "color=c=0x%02x%02x%02x:size=%dx%d:rate=%d,format=gbrp"
                 % (BACKGROUND + (W, H, FPS)), *["-c:v", decoder] * bool(decoder), "-i", clip,
                 "-filter_complex", "[1]format=rgba[clip];[0][clip]overlay=format=rgb:shortest=1",
                 "-f", "rawvideo", "-pix_fmt", "rgb24", "-")
    return np.frombuffer(rgb, np.uint8).reshape(-1, H, W, 3)[frame]


@pytest.mark.timeout(60)
@pytest.mark.parametrize("name, driver", [("vp9.webm", "dummy"), ("vp9.webm", "x11"),
                                          ("vp8.webm", "dummy"), ("argb.mov", "x11")])
def test_a_clip_with_alpha_shows_the_background_where_it_is_clear(request, clips, name, driver):
    """Blitted over the game's background, within 2 levels of ffmpeg's blend
    (SDL's own is a level off at most), on SDL's display surface or in the X
    server's window; the Video itself puts nothing on the display.  Through
    an overlay the clip has alpha all the same, and says once it drops it."""
    video = request.getfixturevalue("video" if driver == "dummy" else "x_video")
    video.set_mode((W, H))
    screen = video.get_surface()
    screen.fill(BACKGROUND)
    with Video(clips / name, output="surface") as v:
        assert v.has_alpha and v.size == (W, H)
        v.seek(10 / FPS)
        deadline = time.monotonic() + 5
        while not v.update():
            assert time.monotonic() < deadline, "no frame went up"
            time.sleep(0.005)
        assert (shown() == BACKGROUND).all(), "the Video drew on the display"
        # (VP9 codes alpha with loss: a few levels off at its edges.)
        assert np.asarray(v.surface)[:, W // 3 + 4:W // 2 - 4, 3].max() <= 1
        put_up(v)
        picture = shown()
        if driver == "x11":
            grabbing, grabbed = grabs(1)
            grabbing.join(10)
            picture = grabbed[0]
    expected = over_background(clips / name, 10)
    apart = np.abs(picture.astype(int) - expected).max(axis=2)
    assert apart.max() <= 2, np.bincount(apart.ravel())
    with warnings.catch_warnings(record=True) as said:
        warnings.simplefilter("always")
        with Video(clips / name) as v, Video(clips / "second.mp4") as opaque:
            assert v.has_alpha and not opaque.has_alpha
    assert [(w.category, str(w.message), os.path.basename(w.filename)) for w in said] == [
        (PictureWarning, "the clip's alpha channel is dropped: an overlay has none; use "
         'output="surface"', "test_video.py")]
    # At half the size asked, its alpha is where it was.
    with Video(clips / name, output="surface", surface_size=(W // 2, H // 2)) as v:
        assert first_frame(v, read=lambda picture: v.surface.get_size()) == (W // 2, H // 2)
        alpha = np.asarray(v.surface)[..., 3]
        assert alpha[:, :W // 6 - 2].min() >= 254 and alpha[:, W // 6 + 2:W // 4 - 2].max() <= 1


@pytest.mark.timeout(60)
def test_the_games_drawing_is_over_the_video_in_every_grab(x_video, clips):
    """A game's loop on classic SDL's X11 driver (or SDL 2's): the video
    blitted, a rectangle drawn over it, a flip; 50 grabs of the window,
    each at a moment the game does not choose, all show both."""
    x_video.set_mode((W, H))
    screen, grabbing = x_video.get_surface(), None
    with Video(clips / "count.mp4", output="surface", loop=True) as v:
        v.play()
        deadline = time.monotonic() + 30
        while grabbing is None or grabbing.is_alive():
            assert time.monotonic() < deadline, "the grabs took too long"
            if v.update() or v.surface is not None:
                put_up(v)
                screen.fill(MENU, MENU_RECT)
                x_video.flip()
                if grabbing is None:
                    grabbing, grabbed = grabs(50)
            time.sleep(1 / 60)
    x, y, w, h = MENU_RECT
    menu = [(np.abs(p[y:y + h, x:x + w].astype(int) - MENU).max() <= 2) for p in grabbed]
    numbers = [number(p) for p in grabbed]
    assert all(menu) and None not in numbers, (menu, numbers)
    assert len(set(numbers)) > 10, numbers


# Each call gets an open Video of second.mp4 (closed twice first for the
# cases named so), and opens others by name.
BAD = {
    "update when closed": (lambda v, new: v.update(), ValueError, "the video is closed"),
    "seek when closed": (lambda v, new: v.seek(0), ValueError, "the video is closed"),
    "play when closed": (lambda v, new: v.play(), ValueError, "the video is closed"),
    "seek -1": (lambda v, new: v.seek(-1), ValueError, None),
    "seek nan": (lambda v, new: v.seek(math.nan), ValueError, None),
    "speed 5": (lambda v, new: setattr(v, "speed", 5), ValueError, "0.25 to 4"),
    "speed nan": (lambda v, new: new("second.mp4", speed=math.nan), ValueError, "0.25 to 4"),
    "audio delay nan": (lambda v, new: setattr(v, "audio_delay", math.nan), ValueError,
                        "audio_delay must be from -60 to 60 seconds"),
    "subtitle delay None": (lambda v, new: setattr(v, "subtitle_delay", None), TypeError,
                            "subtitle_delay takes a number"),
    "off the display": (lambda v, new: v.set_location((W, 0, 10, 10)), ValueError, None),
    "rgb before a frame": (lambda v, new: v.rgb(), ValueError, None),
    "end event 32": (lambda v, new: new("second.mp4", end_event=32), ValueError, None),
    "no display mode": (lambda v, new: v.update(), brilox.base.error, "Display mode not set"),
    "a missing file": (lambda v, new: new("gone.mp4"), OSError, "No such file"),
    "a text file": (lambda v, new: new("notes.mp4"), brilox.base.error, "Invalid data found"),
    "no such subtitle stream": (lambda v, new: new("second.mp4", subtitle_stream=0),
                                brilox.base.error, "stream 0 is not a subtitle stream"),
    "output window": (lambda v, new: new("second.mp4", output="window"), ValueError,
                      'output must be "overlay" or "surface"'),
}


@pytest.mark.timeout(60)
@pytest.mark.parametrize("case", BAD)
def test_bad_use_is_refused(video, clips, case):
    if case != "no display mode":
        video.set_mode((W, H))
    call, error, words = BAD[case]
    opened = [Video(clips / "second.mp4")]
    if case.endswith("closed"):
        opened[0].close()
    try:
        with pytest.raises(error, match=words):
            call(opened[0], lambda name, **kw: opened.append(Video(clips / name, **kw)))
    finally:
        for v in opened:
            v.close()


@pytest.mark.timeout(120)
def test_open_and_close_leave_nothing(video, clips):
    video.set_mode((W, H))
    threads = set(threading.enumerate())

    def resident_after(cycles, opening):
        for _ in range(cycles):
            opening()
        gc.collect()
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    def video_opened():
        with Video(clips / "second.mp4") as v:
            v.play()
            assert first_frame(v) is not None
        # The decoding thread (mid-decode: it reads ahead) is gone at once.
        assert "brilox-video" not in [thread.name for thread in threading.enumerate()]
        with pytest.raises(ValueError, match="closed"):
            v.position

    def decoder_opened():
        # What FFmpeg's libraries keep by themselves (PyAV before 13 keeps
        # some of each file opened on decoding threads): the baseline.
        import av
        container = av.open(str(clips / "second.mp4"))
        container.streams.video[0].thread_type = "AUTO"
        packets = container.demux(container.streams.video[0])
        frames = (frame for packet in packets for frame in packet.decode())
        next(frames)
        frames.close(), packets.close(), container.close()

    # A leak grows in every round; memory the process gives back meanwhile
    # (what the tests before left) in one round at the most.
    grown = min(-resident_after(10, video_opened) + resident_after(100, video_opened)
                for _ in range(2))
    kept = -resident_after(10, decoder_opened) + resident_after(100, decoder_opened)
    deadline = time.monotonic() + 2     # for threads that end just after close()
    while set(threading.enumerate()) - threads:
        assert time.monotonic() < deadline, set(threading.enumerate()) - threads
        time.sleep(0.05)
    # AddressSanitizer holds freed memory back for a while.
    assert SANITIZED or grown < max(kept, 0) + (10 << 20), (grown, kept)


# --- subtitles ----------------------------------------------------------------

# Subtitles need room: the default style's text is 16/288 of the height.
SW, SH = 320, 240
# One line, from frame 30 to frame 59 (1 s to 2 s at FPS).
LINE = "1\n00:00:01,000 --> 00:00:02,000\nSome words %s\n"


def pgs(canvas, box, ycrcb, start, end):
    """A PGS stream of a box (x, y, w, h) in one opaque colour (Y, Cr, Cb)
    on a canvas (w, h), shown from `start` to `end` seconds."""
    (cw, ch), (x, y, w, h) = canvas, box

    def segment(at, kind, data):
        return b"PG" + struct.pack(">IIBH", round(at * 90000), 0, kind, len(data)) + data

    def composition(at, number, objects):
        return segment(at, 0x16, struct.pack(">HHBHBBBB", cw, ch, 0x10, number,
                                             0x80 if objects else 0, 0, 0, objects)
                       + struct.pack(">HBBHH", 0, 0, 0, x, y) * objects)

    window = struct.pack(">BBHHHH", 1, 0, x, y, w, h)
    # Each row: w pixels of colour 1 (a 14-bit run), then the end of the row.
    rows = (struct.pack(">BBBB", 0, 0xC0 | w >> 8, w & 0xFF, 1) + b"\0\0") * h
    picture = (struct.pack(">HBB", 0, 0, 0xC0) + (len(rows) + 4).to_bytes(3, "big")
               + struct.pack(">HH", w, h) + rows)
    return b"".join([composition(start, 0, 1), segment(start, 0x17, window),
                     segment(start, 0x14, bytes([0, 0, 1, *ycrcb, 255])),
                     segment(start, 0x15, picture), segment(start, 0x80, b""),
                     composition(end, 1, 0), segment(end, 0x17, window),
                     segment(end, 0x80, b"")])


@pytest.fixture(scope="module")
def subbed(tmp_path_factory):
    """A still clip, 4 s: with LINE as an SRT stream (lines.mkv, and a
    second stream whose line is from 2.5 s to 3 s) and as a file beside it
    (still.srt); with a PGS box from 1 s to 2 s drawn on a
    canvas twice its size (box.mkv); as ffmpeg renders the box on a canvas
    of its own size (boxed.mkv); and bad subtitle files."""
    folder = tmp_path_factory.mktemp("subtitles")
    ffmpeg("-f", "lavfi", "-i", "color=c=0x406080:size=%dx%d:rate=%d:duration=4" % (SW, SH, FPS),
           "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", folder / "still.mp4")
    (folder / "words.srt").write_text(LINE % "in a stream")
    (folder / "still.srt").write_text(LINE % "beside")
    (folder / "later.srt").write_text("1\n00:00:02,500 --> 00:00:03,000\nLater words\n")
    ffmpeg("-i", folder / "still.mp4", "-i", folder / "words.srt", "-i", folder / "later.srt",
           "-map", "0", "-map", "1", "-map", "2", "-c:v", "copy", "-c:s", "srt",
           folder / "lines.mkv")
    ffmpeg("-i", folder / "lines.mkv", "-map", "0", "-c", "copy", "-output_ts_offset", 1.4,
           folder / "late.mkv")
    red = (81, 240, 90)
    (folder / "big.sup").write_bytes(pgs((2 * SW, 2 * SH), (200, 300, 240, 80), red, 1, 2))
    (folder / "own.sup").write_bytes(pgs((SW, SH), (100, 150, 120, 40), red, 1, 2))
    for sup, name in (("big.sup", "box.mkv"), ("own.sup", "own.mkv")):
        ffmpeg("-i", folder / "still.mp4", "-i", folder / sup, "-copyts", "-map", "0:v",
               "-map", "1:s", "-c", "copy", folder / name)
    ffmpeg("-i", folder / "own.mkv", "-filter_complex", "[0:v][0:s]overlay", "-ss", 1.5,
           "-frames:v", 1, "-c:v", "ffv1", "-pix_fmt", "yuv420p", folder / "boxed.mkv")
    (folder / "latin.srt").write_bytes((LINE % "caf\xe9").encode("latin-1"))
    (folder / "broken.srt").write_text("1\nno times here\n" * 50)
    return folder


def lit(picture, bare):
    """Whether a line shows in the lower part of the picture: nothing else
    differs from the bare frame."""
    assert (off_by(picture[:SH // 2], bare[:SH // 2]) <= 2).all(), "the upper half changed"
    changed = np.abs(picture[SH * 3 // 4:].astype(int) - bare[SH * 3 // 4:]).max(axis=2) > 64
    assert changed.mean() > 0.005 or (off_by(picture, bare) <= 2).all(), off_by(picture, bare)
    return changed.mean() > 0.005


@pytest.mark.timeout(60)
@pytest.mark.parametrize("name, choices, output, delay", [
    ("lines.mkv", [1, 2], "overlay", 0), ("late.mkv", [1, 2], "overlay", 0),
    ("still.mp4", ["still.srt"], "overlay", 0), ("lines.mkv", [1, 2], "surface", 0),
    ("lines.mkv", [1, 2], "overlay", 0.2), ("still.mp4", ["still.srt"], "overlay", -0.2)])
def test_a_line_shows_from_its_first_frame_to_its_last(video, subbed, name, choices, output,
                                                       delay):
    """`delay`: the subtitles moved that far later (earlier), their first
    and last frames with them."""
    video.set_mode((SW, SH))
    bare = as_sdl_shows(subbed / "still.mp4", (SW, SH), "limited", "bt601")
    moved = round(delay * FPS)

    def lit_at(frame):
        v.seek(frame / FPS)
        return first_frame(v, (SW, SH), lambda picture: lit(picture, bare))

    with Video(subbed / name, output=output) as v:
        assert [os.path.basename(str(c)) if isinstance(c, str) else c
                for c in v.subtitles] == choices
        v.subtitle_delay = delay
        assert v.subtitle_delay == delay
        assert [lit_at(n) for n in (29 + moved, 30 + moved, 45, 59 + moved, 60 + moved, 10,
                                    45)] == [0, 1, 1, 1, 0, 0, 1]
        # Paused, it stays at the next flips, and in rgb(); stepped on too.
        time.sleep(0.05)
        assert not v.update()
        picture = shown((SW, SH))
        assert lit(picture, bare) and (off_by(v.rgb(), picture) <= 2).all()
        v.step(1)
        assert first_frame(v, (SW, SH), lambda picture: lit(picture, bare)) and v.frame == 46
        # The next subtitles (none here) show on the frame up at once.
        v.subtitle = v.subtitles[-1]
        assert v.next_subtitle() == (None, "off")
        assert not first_frame(v, (SW, SH), lambda picture: lit(picture, bare))
        assert v.frame == 46


@pytest.mark.timeout(60)
def test_a_bitmap_stream_shows_where_and_in_the_colour_it_says(video, subbed):
    video.set_mode((SW, SH))
    bare = as_sdl_shows(subbed / "still.mp4", (SW, SH), "limited", "bt601")
    boxed = as_sdl_shows(subbed / "boxed.mkv", (SW, SH), "limited", "bt601")
    inside = (slice(152, 188), slice(102, 218))
    assert (np.abs(boxed[inside].astype(int) - bare[inside]).max(axis=2) > 64).all()
    with Video(subbed / "box.mkv") as v:
        for seconds, expected in ((0.9, bare), (1.5, boxed), (2.0, bare)):
            v.seek(seconds)
            picture = first_frame(v, (SW, SH), lambda picture: picture)
            assert (off_by(picture, expected) <= 2).all(), (seconds, off_by(picture, expected))
            assert np.abs(picture[inside].astype(int) - expected[inside]).max() <= 8, seconds


@pytest.mark.timeout(60)
def test_the_subtitle_stream_asked_for_shows_rather_than_ffmpegs_pick(video, subbed):
    video.set_mode((SW, SH))
    bare = as_sdl_shows(subbed / "still.mp4", (SW, SH), "limited", "bt601")
    with Video(subbed / "lines.mkv", subtitle_stream=2) as v:
        assert v.subtitle == 2
        for seconds, shows in ((1.5, False), (2.7, True)):
            v.seek(seconds)
            assert first_frame(v, (SW, SH), lambda picture: lit(picture, bare)) == shows


BAD_SUBTITLES = {
    "missing": ("gone.srt", "gone.srt: no such subtitle file", False),
    "broken": ("broken.srt", "broken.srt: subtitles not shown: ", False),
    "not UTF-8": ("latin.srt", "latin.srt: not UTF-8: ", True),
    "no font": ("still.srt", "subtitles: fontselect: ", False),
}


@pytest.mark.timeout(60)
@pytest.mark.parametrize("case", BAD_SUBTITLES)
def test_subtitles_that_cannot_be_shown_are_said_once(video, subbed, monkeypatch, case):
    name, said, shows = BAD_SUBTITLES[case]
    if case == "no font":
        monkeypatch.setattr(subtitles.text, "font_settings", lambda: (None, False))
    video.set_mode((SW, SH))
    bare = as_sdl_shows(subbed / "still.mp4", (SW, SH), "limited", "bt601")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with Video(subbed / "still.mp4", sub_file=subbed / name, start=1.5) as v:
            assert first_frame(v, (SW, SH), lambda picture: lit(picture, bare)) == shows
            v.seek(3.8)
            v.play()
            run(v, 3, lambda: v.finished)
            assert v.finished and v.frame == 4 * FPS - 1
    said_here = [(w.category, str(w.message).replace("%s%s" % (subbed, os.sep), "")[:len(said)])
                 for w in caught]
    assert said_here == [(SubtitleWarning, said)], [str(w.message) for w in caught]


@pytest.mark.timeout(60)
def test_t_turns_subtitles_off_and_on_and_bad_ones_are_said_once(monkeypatch, capsys, subbed):
    # Paused, then a right click seeks into the line (1.5 s of 4, in a
    # window 320 pixels wide); t goes to the second stream (no line then),
    # off, and back to the first; z moves it 100 ms earlier than the
    # --sub-delay's 100 ms (still shown).
    events = [(0.05, KEY, display.K_SPACE), (0.1, CLICK, display.BUTTON_RIGHT, 120, 5),
              (0.3, KEY, display.K_t), (0.4, KEY, display.K_t), (0.5, KEY, display.K_t),
              (0.6, KEY, display.K_z), (0.7, KEY, display.K_q)]
    status, shown = play_on_clock(monkeypatch, [subbed / "lines.mkv", "--sub", "gone.srt",
                                                "--sub-delay", "-0.1"], events)
    assert status == 0
    # The clip is of one colour: where the line shows, many lower pixels are not.
    lower = [planes[0][len(planes[0]) * 3 // 4:] for _, planes in shown[-5:]]
    assert [sum(abs(a - plane[0]) > 64 for a in plane) > 100 for plane in lower] \
        == [True, False, False, True, True]
    err = capsys.readouterr().err
    assert err.count("gone.srt") == 1 and "brilox-play: gone.srt: no such subtitle file\n" in err
    assert ("\nsubtitles stream 2 (srt) at frame 45\nsubtitles off at frame 45\n"
            "subtitles stream 1 (srt) at frame 45\nSubtitle delay -200 ms\n") in err
    # A stream that is no subtitle stream is refused.
    done = play(subbed / "lines.mkv", "--subtitle-stream", "0")
    assert done.returncode == 2 and b"stream 0 is not a subtitle stream (1, 2)" in done.stderr


@pytest.mark.timeout(60)
def test_a_seek_far_ahead_of_the_subtitles_read_shows_its_line_at_once(video, tmp_path,
                                                                       monkeypatch):
    # A two-minute clip with the same line every other second; its reader
    # takes 30 ms a line, 1.8 s to read them all in order.
    ffmpeg("-f", "lavfi", "-i", "color=c=0x406080:size=%dx%d:rate=5:duration=120" % (SW, SH),
           "-c:v", "libx264", "-preset", "ultrafast", "-g", 5, "-pix_fmt", "yuv420p",
           tmp_path / "long.mp4")
    (tmp_path / "long.srt").write_text("".join(
        "%d\n00:%02d:%02d,000 --> 00:%02d:%02d,000\nThe same line\n\n"
        % (k, *divmod(2 * k, 60), *divmod(2 * k + 1, 60)) for k in range(60)))
    read = subtitles.Reader._read

    def slowly(reader, stream, packet):
        time.sleep(0.03)
        return read(reader, stream, packet)

    monkeypatch.setattr(subtitles.Reader, "_read", slowly)
    monkeypatch.setattr(subtitles.reader, "JUMP_AHEAD", 5.0)
    monkeypatch.setattr(subtitles.reader, "READ_BACK", 2.0)
    video.set_mode((SW, SH))
    bare = as_sdl_shows(tmp_path / "long.mp4", (SW, SH), "limited", "bt601")
    with Video(tmp_path / "long.mp4") as v:
        seen = []
        for seconds in (100.4, 101.4, 10.4, 10.6):
            if seconds == 10.6:
                # Once all is read, some lines twice (where the parts read
                # meet), each still shows once.
                time.sleep(2.5)
            v.seek(seconds)
            seen.append(first_frame(v, (SW, SH), lambda picture: picture))
    assert [lit(picture, bare) for picture in seen] == [True, False, True, True]
    inked = [(np.abs(picture.astype(int) - bare).max(axis=2) > 64).sum() for picture in seen]
    assert inked[2] == inked[3] == pytest.approx(inked[0], rel=0.05), inked


# Three chapters in a 6 s clip: the second starts between frames 60 and 61,
# the third on frame 135; the last has no title.
CHAPTERS = [(0.0, 2.01, "One"), (2.01, 4.5, "The Storm"), (4.5, 6.0, "")]
PU, PD, SPACE = display.K_PAGEUP, display.K_PAGEDOWN, display.K_SPACE


@pytest.fixture(scope="module")
def chaptered(tmp_path_factory):
    folder = tmp_path_factory.mktemp("chapters")
    (folder / "chapters.txt").write_text(";FFMETADATA1\n" + "".join(
        "[CHAPTER]\nTIMEBASE=1/1000\nSTART=%d\nEND=%d\ntitle=%s\n" % (round(a * 1e3),
                                                                      round(b * 1e3), t)
        for a, b, t in CHAPTERS))
    # Every frame a key frame: each move shows one picture, none glimpsed on
    # the way.  Matroska tells no frame count: the end is the length's.
    ffmpeg("-i", make_clip(folder, "coded.mp4", 6 * FPS), "-i", folder / "chapters.txt",
           "-map", "0", "-map_chapters", 1, "-c:v", "libx264", "-crf", 12, "-g", 1,
           folder / "chapters.mkv")
    ffmpeg("-i", folder / "chapters.mkv", "-map_chapters", -1, "-c", "copy", folder / "plain.mkv")
    return folder


@pytest.mark.timeout(60)
@pytest.mark.parametrize("name, moves, frames, said", [
    pytest.param(*case, marks=pytest.mark.skipif(
        case[3] and not hasattr(av.container.InputContainer, "chapters"),
        reason="this PyAV reads no chapters")) for case in [
    # 1 to 2's first frame, back within 2 s to 1; on to 3, nothing past it;
    # back from 0 s into 3 to 2, from 1.6 s into 2 (a right click at 3.6 s)
    # to 1, from 2.2 s into 2 (4.2 s) to 2's start.
    ("chapters.mkv", [SPACE, PU, PD, PU, PU, PU, PD, 60, PD, 70, PD],
     [61, 0, 61, 135, 61, 108, 0, 126, 61],
     ["chapter 2/3: The Storm at frame 61", "chapter 1/3: One at frame 0",
      "chapter 3/3 at frame 135", "no chapter after chapter 3/3 (frame 135)"]),
    # No chapters: 10 minutes on from near the end lands on the last frame
    # and the player goes on, paused or playing; back from near the start, 0.
    ("plain.mkv", [SPACE, 95, PU, 3, PD, PU, PD], [171, 179, 5, 0, 179, 0], []),
    ("plain.mkv", [PU, PD], [179, 0, 1], []),
]])
def test_page_keys_go_to_chapters_and_hold_at_the_ends(video, monkeypatch, capsys, chaptered,
                                                      name, moves, frames, said):
    video.set_mode((W, H))
    with Video(chaptered / name, sound=False) as v:
        assert v.chapters == (CHAPTERS if said else [])
    # Each move a key, or a right click at that x (a hundredth of the length).
    events = [(0.05 + 0.1 * n, KEY, move) if move in (PU, PD, SPACE) else
              (0.05 + 0.1 * n, CLICK, display.BUTTON_RIGHT, move, 5)
              for n, move in enumerate(moves)] + [(0.2 + 0.1 * len(moves), KEY, display.K_q)]
    status, shown = play_on_clock(monkeypatch, [chaptered / name, "--window", "101x20"],
                                  events)
    got = [number(np.frombuffer(planes[0], np.uint8).reshape(H, W, 1)) for _, planes in shown]
    # Those played from the start, then one for each landing (and, playing, on).
    played = next(i for i, n in enumerate(got) if n != i)
    assert status == 0 and got[played:played + len(frames)] == frames
    assert moves[0] != SPACE or len(got) == played + len(frames)
    err = capsys.readouterr().err
    assert all("\n" + words + "\n" in err for words in said) and "quit at frame" in err
    # The status line names the chapter of the frame up.
    assert bool(said) == ("  chapter 2/3: The Storm  " in err)


@pytest.mark.timeout(60)
@pytest.mark.parametrize("level", [1, 0])
def test_the_display_over_the_picture_comes_with_a_key_and_goes_after_its_time(
        video, monkeypatch, tmp_path, chaptered, level):
    """Paused at once ("Paused" for 1.5 s), then o (the bar for 3 s), then a
    speed key just before quitting with a screenshot: what SDL shows at each
    flip, in a window twice the picture's size."""
    from brilox.media.osd import Layout
    from play_clips import bmp_pixel
    import brilox.play.player
    flips, flip = [], display.flip

    def flip_and_look():
        flip()
        clock = brilox.play.player.time
        rgb = (colour.presented_rgb((0, 0, 2 * W, 2 * H), (2 * W, 2 * H)) if sdl.over_sdl2()
               else _colour.read_display((0, 0, 2 * W, 2 * H)))
        flips.append((clock.now - clock.start,
                      np.frombuffer(rgb, np.uint8).reshape(2 * H, 2 * W, 3).astype(int)))

    monkeypatch.setattr(display, "flip", flip_and_look)
    shot = tmp_path / "shot.bmp"
    events = [(0.05, KEY, SPACE), (2.0, KEY, display.K_o), (5.2, KEY, display.K_RIGHTBRACKET),
              (5.5, KEY, display.K_q)]
    status, shown = play_on_clock(monkeypatch, [chaptered / "chapters.mkv", "--window",
                                                "%dx%d" % (2 * W, 2 * H), "--osd-level",
                                                level, "--screenshot", shot], events)
    assert status == 0
    paused = sum(t < 0.05 for t, _ in flips)
    bare = flips[paused - 1][1]
    # After the pause, nothing new but the display coming and going.
    times = [t for t, _ in flips[paused:]]
    if level == 0:
        assert times == [] and len(shown) == paused
    else:
        # Each comes within two reads of the keys (5 ms) of its key, and goes
        # within one of its time (1.5 s, 3 s for o) after it came; the last
        # goes for the screenshot.
        assert len(times) == 6 and all(0 <= t - due < 0.011 for t, due in zip(
            times[::2] + times[5:], [0.05, 2.0, 5.2, 5.5])), times
        assert all(0 <= gone - came - seconds < 0.006 for came, gone, seconds in zip(
            times[::2], times[1::2], [1.5, 3.0])), times
        layout = Layout(W, H)
        for n, (_, rgb) in enumerate(flips[paused:]):
            rows = np.flatnonzero((abs(rgb - bare) > 2).any(axis=(1, 2)))
            if n % 2:
                assert len(rows) == 0
                continue
            top, bottom = rows[rows < H], rows[rows >= H]
            # The message line's rows, and the bar's with its time above it:
            # nowhere else does the picture change.
            assert len(top) and 2 * layout.top[0] <= top.min() and top.max() < 2 * layout.top[1]
            assert len(bottom) and bottom.min() >= 2 * layout.bottom[0]
        # The chapters' ticks (2.01 s and 4.5 s of 6): bright across the bar,
        # past its fill (a pixel at the first frame).
        x0, y0, x1, y1 = layout.bar
        across = flips[paused + 2][1][y0 + y1].sum(axis=1)[::2]
        ticks = [x for x in range(x0 + 2, x1) if across[x] > np.median(across[x0:x1]) + 150]
        assert ticks == [x0 + round((x1 - x0) * t / 6) for t in (2.01, 4.5)
                         if hasattr(av.container.InputContainer, "chapters")]
    # The screenshot is the picture without the display over it.
    data = shot.read_bytes()
    assert all(abs(np.array(bmp_pixel(data, x, y)) - bare[y, x]).max() <= 2
               for y in range(0, 2 * H, 7) for x in range(0, 2 * W, 5))


@pytest.mark.timeout(60)
def test_the_display_is_drawn_into_frames_as_they_play_and_its_bar_moves(
        video, monkeypatch, chaptered):
    """o while playing: for 3 s each frame SDL shows carries the bar, filled
    to the frame's time, and the bars of the picture between the bands
    untouched; then bare frames.  The decoding thread draws it into the
    frames; the game's side only into those decoded before the key."""
    from brilox.media import osd
    from brilox.media.decoder import AHEAD_MAX
    import brilox.play.player
    flips, flip, painted = [], display.flip, []
    paint = osd.Painter.frame

    def flip_and_look():
        flip()
        clock = brilox.play.player.time
        rgb = (colour.presented_rgb((0, 0, W, H), (W, H)) if sdl.over_sdl2()
               else _colour.read_display((0, 0, W, H)))
        flips.append((clock.now - clock.start, np.frombuffer(rgb, np.uint8).reshape(H, W, 3)))

    monkeypatch.setattr(display, "flip", flip_and_look)
    monkeypatch.setattr(osd.Painter, "frame",
                        lambda self, *args: painted.append(self.keep) or paint(self, *args))
    status, _ = play_on_clock(monkeypatch, [chaptered / "chapters.mkv", "--osd-level", 1],
                              [(0.05, KEY, display.K_o), (3.5, KEY, display.K_q)])
    assert status == 0
    layout = osd.Layout(W, H)
    x0, y0, x1, y1 = layout.bar
    # The colour bars, the same in every frame but for the coding's noise
    # (each frame is coded alone), between the number's bands.
    middle = slice(max(layout.top[1], BAND + 2), min(layout.bottom[0], H - BAND - 2))
    with_bar = []
    for t, rgb in flips:
        row = rgb[(y0 + y1) // 2, x0:x1].astype(int).sum(axis=1)
        # The bar's ground: the number's black or white darkened, never either.
        ground = ((row > 3 * 40) & (row < 3 * 160)).any()
        assert abs(rgb[middle].astype(int) - flips[0][1][middle]).max() <= 16
        if ground:
            with_bar.append(t)
            white = np.flatnonzero(row > 3 * 200)
            fill = white[-1] + 1 if len(white) else 0
            # The frame up is the last due: its time, a frame at most before t.
            assert layout.fill(t - 1 / 30, 6.0) - 1 <= fill <= layout.fill(t, 6.0) + 1, t
    assert with_bar and with_bar[0] < 0.05 + 2 / 30 and 3.0 <= with_bar[-1] < 3.1
    assert [t for t, _ in flips if with_bar[0] <= t <= with_bar[-1]] == with_bar
    assert painted.count(True) <= AHEAD_MAX + 2 and painted.count(False) >= 80
