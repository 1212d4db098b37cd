"""brilox-play's sound, as a PulseAudio server plays it into a null sink:
what plays against ffmpeg's decode of the same stream, on the SDL build in
use."""

import os
import re
import subprocess
import sys
import time

import pytest

from support.soundserver import (CHANNELS, RATE, across, inserted_silences,  # noqa: F401
                                 sound_server, without)
from support.xserver import x_display  # noqa: F401

np = pytest.importorskip("numpy")
pytest.importorskip("av")


def ffmpeg(*args, data=None, timeout=60):
    return subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", *map(str, args)],
                          input=data, capture_output=True, check=True, timeout=timeout).stdout


def wait_for_sound(listener, seconds=20):
    """Waits, at most `seconds`, until the sink is heard playing something."""
    deadline = time.monotonic() + seconds
    while not any(listener.data[-4000:]):
        assert time.monotonic() < deadline, "no sound was heard"
        time.sleep(0.01)


def player(x_display, sound_server, *args, env=None):  # noqa: F811
    """brilox-play in a window on the X server, its sound to the sound
    server; `started` is when it was started (time.monotonic)."""
    environment = dict(os.environ, SDL_VIDEODRIVER="x11", DISPLAY=x_display,
                       **sound_server.env, **(env or {}))
    environment.pop("SDL_AUDIODRIVER", None)
    if x_display is None:
        # No X server at all, as over ssh or on a console.
        del environment["SDL_VIDEODRIVER"], environment["DISPLAY"]
    run = subprocess.Popen([sys.executable, "-m", "brilox.play", *map(str, args)],
                           env=environment, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                           stderr=subprocess.PIPE, text=True)
    run.started = time.monotonic()
    return run


def samples(data):
    """Raw s16le stereo as a float array of (frames, 2)."""
    return np.frombuffer(data[:len(data) // 4 * 4], "<i2").reshape(-1, CHANNELS).astype(float)


def lag_of(recorded, wanted):
    """The frame of `recorded` where `wanted` starts, by cross-correlation."""
    size = 1 << int(np.ceil(np.log2(len(recorded) + len(wanted))))
    a, b = recorded[:, 0], wanted[:, 0]
    spectrum = np.fft.rfft(a, size) * np.conj(np.fft.rfft(b, size))
    correlation = np.fft.irfft(spectrum, size)[:len(a)]
    return int(np.argmax(correlation))


# Sound to make, and what else goes in the file.
SWEEP = "aevalsrc=0.4*sin(2*PI*(200+300*t)*t):s=44100:d=3"
CLIPS = {
    # Resampled to the device, its one channel spread to two.
    "sweep.mkv": (["-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25"],
                  ["-t", 3, "-c:v", "ffv1", "-c:a", "flac"]),
    # Sound alone, at the device's rate.
    "sweep.opus": ([], ["-ar", 48000, "-c:a", "libopus", "-b:a", "256k"]),
    # Sound with its cover art, which stays up while it plays.
    "sweep.mp3": (["-f", "lavfi", "-i", "testsrc=size=96x96:duration=0.04"],
                  ["-frames:v", 1, "-map", 0, "-map", 1, "-c:a", "libmp3lame", "-q:a", 0,
                   "-c:v", "mjpeg", "-disposition:v", "attached_pic"]),
    # 96 kHz in six channels, mixed down to the device's two.
    "six.mkv": (["-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25"],
                ["-t", 3, "-af", "aresample=96000,pan=5.1|c0=c0|c1=0.8*c0|c2=0.5*c0|c3=0.2*c0|"
                 "c4=0.6*c0|c5=0.4*c0", "-c:v", "ffv1", "-c:a", "flac"]),
    # Both streams start at 1.4 s.
    "late.mkv": (["-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25"],
                 ["-t", 3, "-output_ts_offset", 1.4, "-c:v", "ffv1", "-c:a", "flac"]),
}


def make_clip(folder, name):
    before, after = CLIPS[name]
    ffmpeg("-f", "lavfi", "-i", SWEEP, *before, *after, folder / name)
    return folder / name


@pytest.mark.timeout(120)
@pytest.mark.parametrize("name, args, volume, shown", [(name, [], 1.0, True) for name in CLIPS]
                         + [("sweep.mkv", ["--volume", "50"], 0.5, True),
                            ("sweep.mkv", [], 1.0, False),
                            ("sweep.mkv", ["--speed", "1.5"], 1.0, True),
                            ("sweep.mkv", ["--speed", "0.5"], 1.0, True)])
def test_what_plays_is_what_ffmpeg_decodes(tmp_path, x_display, sound_server, name,  # noqa: F811
                                           args, volume, shown):
    """Also without a display: the file plays at its own pace, with its
    sound, said in one line.  Faster, as FFmpeg's atempo filter plays it."""
    clip = make_clip(tmp_path, name)
    tempo = ["-af", "aresample=%d,atempo=%s" % (RATE, args[1])] if "--speed" in args else []
    wanted = volume * samples(ffmpeg("-i", clip, "-vn", *tempo, "-f", "s16le", "-ar", RATE,
                                     "-ac", CHANNELS, "-"))
    recording = tmp_path / "heard.raw"
    dry = sound_server.ran_dry()
    recorder = sound_server.record(recording)
    time.sleep(0.3)
    run = player(x_display if shown else None, sound_server, clip, *args)
    if shown:
        focused(x_display)  # found by its class, the program's name
    out, err = run.communicate(timeout=60)
    assert ("no display (DISPLAY is not set): playing at the file's pace" in err) != shown, err
    sound_server.stop(recorder)
    assert run.returncode == 0, err
    assert "no sound device" not in err
    heard = samples(recording.read_bytes())
    # The silences the server put in where the player's stream ran dry,
    # out (the recording's own, then, with what the player wrote).
    dry = sound_server.ran_dry() - dry
    inserted = inserted_silences(heard, dry)
    heard = without(heard, inserted)
    # Each quarter second found where it plays in the recording, and each
    # as ffmpeg decodes it (the signal against what differs).  Over SDL 2
    # the sound server's connection slips a few milliseconds in or out on a
    # busy machine, now and then: such steps between quarters may pass, and
    # the quarters beside them are not compared.  A player that loses or
    # repeats a decoded frame or a device buffer steps by 20 ms or more;
    # one that drifts steps in all.  Where the server says the player's
    # stream ran dry, it may have lost what it was sent then: as many steps
    # as that, each of less than a quarter, pass too.
    quarter = RATE // 4
    starts = range(RATE // 20, len(wanted) - quarter - RATE // 20, quarter)
    lags = [lag_of(heard, wanted[k:k + quarter]) - k for k in starts]
    steps = sorted((abs(b - a) for a, b in zip(lags, lags[1:])), reverse=True)
    excused, steps = steps[:dry], steps[dry:]
    assert max(excused, default=0) < quarter, lags
    assert max(steps, default=0) < RATE // 100 and sum(steps) <= RATE // 20, lags
    steady = [i for i in range(len(lags))
              if all(abs(lags[j] - lags[i]) <= 1 for j in (i - 1, i + 1) if 0 <= j < len(lags))
              and not across(starts[i] + lags[i], starts[i] + lags[i] + quarter, inserted)]
    assert len(steady) >= len(lags) // 2 - 2 * dry, lags
    for i in steady:
        k, lag = starts[i], lags[i]
        played, expected = heard[k + lag:k + lag + quarter], wanted[k:k + quarter]
        assert len(played) == quarter
        noise = max(np.mean((played - expected) ** 2), 1e-9)
        assert 10 * np.log10(np.mean(expected ** 2) / noise) > 40, (i, lags)
    assert "largest A-V" in out


@pytest.mark.parametrize("name, size", [("sweep.mp3", (96, 96))])
def test_sound_without_video_shows_a_still_for_its_length(tmp_path, name, size):
    """Headless, as fast as it can: a still picture, 10 frames a second of
    sound (the file's cover)."""
    from play_clips import bmp_pixel, bmp_size, play
    shot = tmp_path / "shot.bmp"
    done = play(make_clip(tmp_path, name), "--screenshot", shot)
    assert done.returncode == 0, done.stderr
    assert done.stdout.decode().startswith("brilox-play: 30 frames, ")
    data = shot.read_bytes()
    assert bmp_size(data) == size
    # The cover (testsrc) is bright in the middle.
    middle = bmp_pixel(data, size[0] // 2, size[1] // 2)
    assert max(middle) > 20, middle
    # A stream that is not sound is refused in one line.
    done = play(tmp_path / name, "--audio-stream", 5)
    assert done.returncode == 2
    assert done.stderr.decode() == "brilox-play: %s: stream 5 is not an audio stream (0)\n" % (
        tmp_path / name)



@pytest.mark.parametrize("frames", [13, None])
def test_sound_alone_shows_its_waveform_at_the_frames_time(tmp_path, frames):
    """A stereo file with no picture shows 640x480: in each half a channel's
    samples as ffmpeg decodes them, positive down, full scale 108 rows from
    the middle, around the last frame's middle time (25 a second), moved
    onto a fall through zero of the left (every 50 ms) within 512 samples."""
    from play_clips import bmp_size, play
    clip, shot, rate = tmp_path / "tones.flac", tmp_path / "shot.bmp", 44100
    ffmpeg("-f", "lavfi", "-i", "aevalsrc=0.7*sin(2*PI*20*t)|-0.35*sin(2*PI*(30+60*t)*t):"
           "s=%d:d=3" % rate, clip)
    done = play(clip, "--screenshot", shot, *(["--frames", frames] if frames else []))
    shown = frames or 75
    assert done.stdout.decode().startswith("brilox-play: %d frames, " % shown), done.stderr
    assert bmp_size(shot.read_bytes()) == (640, 480)
    # Bright pixels, rows top down, in two bands: each column's bright row
    # furthest from its band's middle, as rows below it.
    rgb = ffmpeg("-i", shot, "-f", "rawvideo", "-pix_fmt", "rgb24", "-")
    bright = (np.frombuffer(rgb, np.uint8).reshape(480, 640, 3) > 128).all(2).reshape(2, 240, 640)
    assert bright[:, 120].all()
    trace = np.where(bright[:, 121:].any(axis=1), 119 - np.argmax(bright[:, ::-1], axis=1),
                     np.argmax(bright, axis=1) - 120)
    decoded = np.frombuffer(ffmpeg("-i", clip, "-f", "f32le", "-"), "<f4").reshape(-1, 2).T
    wanted = np.rint(decoded * 108)
    # The trace against ffmpeg's samples from each start within 0.25 s: one
    # fits (the right is a chirp), where the fall nearby, if any, puts it.
    middle = round(((shown - 1) / 25 + 0.02) * rate)
    starts = range(middle - rate // 4, min(middle + rate // 4, len(decoded[0]) - 640))
    errors = [np.abs(wanted[:, start:start + 640] - trace).max() for start in starts]
    left = decoded[0, middle - 512:middle + 513]
    falls = np.flatnonzero((left[:-1] > 0) & (left[1:] <= 0))
    assert len(falls) == (frames is None) and min(errors) <= 1, min(errors)
    centre = middle - 512 + falls[0] if len(falls) else middle
    assert starts[int(np.argmin(errors))] == centre - 320


def focused(x_display):  # noqa: F811
    """Waits for the player's window to have the focus; xdotool on the X
    server, and the window."""
    def xdotool(*args):
        return subprocess.run(["xdotool", *map(str, args)], env=dict(os.environ, DISPLAY=x_display),
                              capture_output=True, text=True, timeout=20).stdout.split()
    window = xdotool("search", "--sync", "--class", "brilox-play")[0]
    deadline = time.monotonic() + 20
    # Retried: a window not yet viewable refuses the focus.
    while xdotool("getwindowfocus") != [window]:
        assert time.monotonic() < deadline, "the player's window never got the focus"
        xdotool("windowfocus", window)
        time.sleep(0.1)
    return xdotool, window


def press(xdotool, run, *schedule):
    """Presses each key (at, key) `at` seconds from now; when each was
    pressed, and what the player printed by its end."""
    start, pressed = time.monotonic(), []
    for at, key in schedule:
        time.sleep(max(0.0, start + at - time.monotonic()))
        pressed.append(time.monotonic())
        xdotool("key", key)
    return pressed, run.communicate(timeout=60)


def stopped(run, listener):
    """Ends the player if it still runs; what the sound server played."""
    if run.poll() is None:
        run.kill()
        run.wait()
    return listener.stop()


# When flashes and beeps start together, in seconds, repeating every 4,
# from QUIET on: the start is dark and silent, so that the window is
# watched before the first flash however soon the player starts.
PATTERN, LENGTH, FPS, QUIET = (0.5, 1.6, 2.5, 3.8), 22, 50, 2.0
# Where each SDL build puts a flash against its beep, in ms (support/sync.py).
SYNC_OFFSETS = (-7, 9)


def rises(times, levels, threshold, quiet):
    """The times the levels rise past `threshold` after `quiet` below it."""
    above = np.asarray(times)[np.asarray(levels) > threshold]
    return above[np.diff(above, prepend=-np.inf) > quiet]


@pytest.mark.timeout(120)
@pytest.mark.parametrize("delay", [0.0, 0.3])
def test_picture_and_sound_keep_together(tmp_path, x_display, sound_server, delay):  # noqa: F811
    """A clip (H.264 and AAC in MP4) that flashes white and beeps together:
    each flash, as the X server shows it, against each beep, as the sound
    server plays it, before and after a pause and a seek; with the sound
    moved `delay` later, each beep that much after its flash (the median: a
    server's stall in that time, unforeseeable, moves a beep after it)."""
    from support.sync import out_of_step
    from support.xserver import Watcher
    picture = np.zeros((LENGTH * FPS, 48, 64), np.uint8)
    sound = np.zeros(LENGTH * RATE, "<i2")
    beep = (16000 * np.sin(2 * np.pi * 1000 * np.arange(RATE // 10) / RATE)).astype("<i2")
    for t in (t + 4 * k for k in range(LENGTH // 4 + 1) for t in PATTERN
              if QUIET < t + 4 * k < LENGTH - 0.2):
        picture[round(t * FPS):round((t + 0.2) * FPS)] = 255
        sound[round(t * RATE):round(t * RATE) + len(beep)] = beep
    (tmp_path / "picture").write_bytes(picture.tobytes())
    (tmp_path / "sound").write_bytes(sound.tobytes())
    clip = tmp_path / "sync.mp4"
    ffmpeg("-f", "rawvideo", "-pix_fmt", "gray", "-s", "64x48", "-r", FPS, "-i",
           tmp_path / "picture", "-f", "s16le", "-ar", RATE, "-ac", 1, "-i", tmp_path / "sound",
           "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", "-c:a", "aac", clip)
    listener = sound_server.listen()
    time.sleep(0.3)
    run, watcher = player(x_display, sound_server, clip, "--audio-delay", delay), None
    try:
        xdotool, window = focused(x_display)
        deadline = time.monotonic() + 20
        where = dict(f.split("=") for f in xdotool("getwindowgeometry", "--shell", window))
        watcher = Watcher(x_display, int(where["X"]) + 32, int(where["Y"]) + 24)
        while not any(level > 128 for *_, level in watcher.seen[-20:]):
            assert time.monotonic() < deadline, "no flash was seen"
            time.sleep(0.002)
        # Keys half way between flashes: a pause of a second at 5.15 s, and a
        # seek of 10 s at 9.15 s, to 19.15 s.
        keys, (out, err) = press(xdotool, run, (2.65, "space"), (3.65, "space"), (7.65, "Right"))
    finally:
        try:
            heard, played_at = stopped(run, listener)
        finally:
            # Stopped before the X server is, whatever failed: Xlib ends the
            # process that loses its server.
            seen = watcher.stop() if watcher else []
    assert run.returncode == 0, err
    # Each flash went up after the last dark reading was asked for and
    # before the first bright one came back. The two are half a millisecond
    # apart unless the watcher itself was kept waiting, on a busy machine;
    # then the flash is known only to within that window.
    asked, read, levels = map(np.asarray, zip(*seen))
    bright = np.flatnonzero(levels > 128)
    ups = bright[np.diff(read[bright], prepend=-np.inf) > 0.3]
    flashes, windows = read[ups], list(zip(asked[np.maximum(ups - 1, 0)], read[ups]))
    beeps = played_at[rises(np.arange(len(heard)), np.abs(heard), 8000, RATE * 0.3)]
    assert len(beeps) == len(flashes), (flashes, beeps)
    gaps = [1000 * float(min(up - a, 0) + max(down - a, 0))
            for (down, up), a in zip(windows, beeps)]
    wrong = out_of_step(gaps, [offset - 1000 * delay for offset in SYNC_OFFSETS],
                        each_within=200 if delay else 15)
    assert wrong is None, (wrong, [round(1000 * (up - down)) for down, up in windows])
    # Three flashes before the pause, four between it and the seek, and
    # three after it, from 19.8 s to the end.
    assert [sum(a < t < b for t in flashes) for a, b in zip([0] + keys, keys + [1e9])] == [
        3, 0, 4, 3], (keys, flashes)


@pytest.mark.timeout(120)
def test_sound_keys_change_what_plays(tmp_path, x_display, sound_server):  # noqa: F811
    """9 and 0 step the volume, m mutes and unmutes, a goes to the next
    audio stream: each heard from the sound server, and said.  The clip
    loops, its sound too, just after the second m (where the sound is not
    measured)."""
    clip = tmp_path / "two.mkv"
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25:duration=3.72", "-f", "lavfi", "-i",
           "sine=frequency=500:duration=3.72", "-f", "lavfi", "-i",
           "sine=frequency=1000:duration=3.72",
           "-map", 0, "-map", 1, "-map", 2, "-c:v", "ffv1", "-c:a", "flac", clip)
    dry = sound_server.ran_dry()
    listener = sound_server.listen()
    run = player(x_display, sound_server, clip, "--loop")
    try:
        xdotool, _ = focused(x_display)
        wait_for_sound(listener)
        keys, (out, err) = press(xdotool, run, *((1.2 * k, key) for k, key in enumerate(
            ("9", "m", "m", "a", "0", "q"), 1)))
        keys.insert(0, keys[0] - 1.2)
    finally:
        heard, played_at = stopped(run, listener)
    assert run.returncode == 0, err
    # A volume step is 0.75 dB: 91.7%, shown rounded.
    for said in ("volume 92%", "muted", "sound on", "audio stream 2", "volume 100%"):
        assert said + " at frame" in err, err
    # The picture went on into the next pass as it played, dropping nothing.
    assert ", 0 dropped, " in out, out
    # Between keys, the last half second before the next (the sound before
    # the key on its way out, and a busy machine's player slow to read the
    # key): the level against the first stretch's, and the pitch.
    # Not the silences the server put in where the player's stream ran dry
    # (the muted stretch is longer).
    played = np.ones(len(heard), bool)
    for a, b in inserted_silences(heard, sound_server.ran_dry() - dry, longest=RATE // 2):
        played[a:b] = False
    first = None
    for (start, end), (level, pitch) in zip(zip(keys, keys[1:]), (
            (1.0, 500), (0.92, 500), (0.0, None), (0.92, 500), (0.92, 1000), (1.0, 1000))):
        part = heard[(played_at > max(start + 0.3, end - 0.5)) & (played_at < end)
                     & played].astype(float)
        assert len(part) > RATE * 2 // 5
        rms = np.sqrt(np.mean(part ** 2))
        first = first or rms
        assert abs(rms / first - level) < 0.02, (level, rms / first)
        if pitch:
            spectrum = np.abs(np.fft.rfft(part))
            assert abs(np.argmax(spectrum) * RATE / len(part) - pitch) < 5, pitch


@pytest.mark.timeout(120)
def test_an_a_b_loop_plays_its_span_of_sound_again_and_again(tmp_path, x_display,
                                                              sound_server):  # noqa: F811
    """The sweep rises 600 Hz a second: each 40 ms heard tells by its pitch
    where in the file it is from.  After l twice, 0.8 s apart, it is all
    from A to B, going back from B to A again and again, with no gap: each
    wrap goes from the end of a frame (25 a second) straight on into A's
    sample, every pass after the first as long as the next.  (Ctrl+= and
    Ctrl+- first, as X sends them.)"""
    clip = make_clip(tmp_path, "sweep.mkv")
    wanted = np.frombuffer(ffmpeg("-i", clip, "-vn", "-f", "s16le", "-ar", RATE, "-ac", 1, "-"),
                           "<i2").astype(float)
    dry = sound_server.ran_dry()
    listener = sound_server.listen()
    run = player(x_display, sound_server, clip)
    try:
        xdotool, _ = focused(x_display)
        wait_for_sound(listener)
        keys, (out, err) = press(xdotool, run, (0.1, "ctrl+equal"), (0.2, "ctrl+minus"),
                                 (0.5, "l"), (1.3, "l"), (4.5, "q"))
        keys = keys[2:]
    finally:
        heard, played_at = stopped(run, listener)
    assert run.returncode == 0, err
    assert "\nAudio delay 100 ms\n" in err and "\nAudio delay 0 ms\n" in err, err
    marks = re.search(r"\nA-B loop: 0:0(\d\.\d) - 0:0(\d\.\d)\n", err)
    assert marks, err
    a, b = map(float, marks.groups())
    inserted = inserted_silences(heard, sound_server.ran_dry() - dry)
    heard, played_at = without(heard, inserted).astype(float), without(played_at, inserted)
    # From the second press to the quit.  A and B are said in tenths, cut
    # off; B's frame lasts 40 ms, and the loop takes over a tenth after
    # what is heard at the press.
    size, frame = RATE // 25, RATE // 25
    looped = np.flatnonzero((played_at > keys[1]) & (played_at < keys[2] - 0.1))
    windows = []
    for k in looped[::size]:
        part = heard[k:k + size]
        if len(part) == size and np.sqrt(np.mean(part ** 2)) > 3000:
            spectrum = np.abs(np.fft.rfft(part * np.hanning(size), 16 * size))
            windows.append((k, (np.argmax(spectrum) * RATE / (16 * size) - 200) / 600))
    starts, times = zip(*windows)
    assert len(times) > 25, times
    later = [t for k, t in windows if played_at[k] > keys[1] + 0.3]
    assert a - 0.05 < min(later) < a + 0.15 and b - 0.05 < max(later) < b + 0.3, (a, b, times)
    wraps = [i for i in range(1, len(times)) if times[i] - times[i - 1] < -0.3]
    assert len(wraps) >= 3, times
    # Never silent: no 5 ms without the sweep.
    span = heard[looped[0]:looped[-1]]
    level = np.sqrt(np.mean(span[:len(span) // 240 * 240].reshape(-1, 240) ** 2, 1))
    assert level.min() > 2000, np.flatnonzero(level <= 2000) * 240 / RATE

    def found(k, guess):
        """Where in ffmpeg's decode 20 ms heard from `k` come from, near
        `guess` seconds into it."""
        part = heard[k:k + size // 2]
        near = max(0, int((guess - 0.1) * RATE))
        pool = wanted[near:near + int(0.2 * RATE) + len(part)]
        match = np.correlate(pool, part, "valid") / np.sqrt(
            np.convolve(pool ** 2, np.ones(len(part)), "valid") + 1)
        return near + int(np.argmax(match))

    # Across each wrap: what is heard 60 ms before its first window of A and
    # 40 ms into it, found in the decode: the heard samples between them are
    # what the decode has from the earlier to B's end and from A to the
    # later, the pass's length more than the decode has between them.
    lengths = []
    for i in wraps:
        before, after = starts[i - 1] - size // 2, starts[i] + size
        if across(before, after + size // 2, inserted):
            continue
        lengths.append(after - before - (found(after, times[i] + 0.04)
                                         - found(before, times[i - 1] - 0.02)))
    # Each pass lasts whole frames, but that A's sample is where the file's
    # timestamps put it, which Matroska tells in whole milliseconds; the
    # first pass, cut where the sound then queued ran out, may end up to a
    # millisecond more off a frame's end.  Every pass from A on is the same.
    off = [abs(n - round(n / frame) * frame) for n in lengths]
    assert lengths and off[0] <= 2 * RATE // 1000 and max(off[1:], default=0) <= RATE // 1000, \
        lengths
    assert max(lengths[1:], default=0) - min(lengths[1:], default=0) <= 2, lengths


@pytest.mark.timeout(120)
def test_the_first_frame_is_up_at_once_while_the_sound_server_wakes(
        tmp_path, x_display, sound_server):  # noqa: F811
    """A clip whose first frame is white and the rest grey, with sound,
    played while the sound server sleeps (its sound starts nearly 2 s
    late): the X server shows the white frame as soon as it does with
    --no-audio (timed alike, in the same run), and nothing else, never
    black, until the sound begins; the summary counts the playing time from
    that frame, 30 frames a second."""
    from support.xserver import Watcher
    clip = tmp_path / "first.mp4"
    ffmpeg("-f", "lavfi", "-i", "color=white:size=160x120:rate=30:duration=0.03", "-f", "lavfi",
           "-i", "color=gray:size=160x120:rate=30:duration=2.5", "-f", "lavfi", "-i",
           "sine=frequency=440:duration=2.5", "-filter_complex", "[0][1]concat=n=2:v=1:a=0[v]",
           "-map", "[v]", "-map", 2, "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt",
           "yuv420p", "-c:a", "aac", clip)

    def watched(*args):
        """What the middle of the window showed, as (seconds since the start,
        level) at each change; and the summary."""
        watcher = Watcher(x_display, 80, 60)
        # Both SDL builds put the window there, where no window manager does.
        run = player(x_display, sound_server, clip, *args, env={"SDL_VIDEO_WINDOW_POS": "0,0"})
        try:
            out, err = run.communicate(timeout=60)
        finally:
            if run.poll() is None:
                run.kill()
                run.wait()
            seen = watcher.stop()
        assert run.returncode == 0, err
        changes = []
        for asked, read, level in seen:
            if asked > run.started and (not changes or abs(level - changes[-1][1]) > 16):
                changes.append((read - run.started, level))
        return changes, out

    alone, _ = watched("--no-audio")
    with sound_server.asleep():
        changes, out = watched()
    # Dark (the screen, then the window), the white frame, the grey ones,
    # and dark again once the window closes.
    levels = [level for _, level in changes]
    assert [round(level / 128) for level in levels] == [0, 2, 1, 0], changes
    (white, _), (grey, _) = changes[1], changes[2]
    # Up as soon as without sound, less what opening the sound takes on a
    # busy machine, and held while the sound server woke.
    assert white < alone[1][0] + 0.5 and grey - white > 0.5, (changes, alone)
    frames, seconds, dropped = re.search(r": (\d+) frames, ([\d.]+) s playing, [\d.]+ fps, "
                                         r"(\d+) dropped", out).groups()
    assert (int(frames) + int(dropped)) / float(seconds) == pytest.approx(30, abs=1.5), out


# Each way out, in each state it may come in: playing with sound, paused,
# stepping while paused, just after a seek, and the tail of the sound after
# the last frame (a clip whose picture ends long before its sound).  Every
# one ends the player at once, with its own exit status; waiting for the
# sound to play out takes seconds, and a paused player never ends.
@pytest.mark.timeout(60)
@pytest.mark.parametrize("state, way", [
    ("playing", "q"), ("paused", "Escape"), ("paused", "q"), ("stepping", "close"),
    ("seeking", "SIGINT"), ("tail", "SIGTERM"), ("tail", "q")])
def test_every_way_out_ends_the_player_at_once(tmp_path, x_display, sound_server, state,  # noqa: F811
                                               way):
    import signal
    from test_play_controls import Player, send_window_close
    clip = tmp_path / "long.mkv"
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25:duration=%d" % (
        1 if state == "tail" else 20), "-f", "lavfi", "-i", "sine=frequency=440:duration=20",
        "-c:v", "ffv1", "-c:a", "flac", clip)
    env = dict(os.environ, SDL_VIDEODRIVER="x11", DISPLAY=x_display, **sound_server.env)
    env.pop("SDL_AUDIODRIVER", None)
    listener = sound_server.listen()
    run = Player(str(clip), env=env)
    try:
        xdotool, window = focused(x_display)
        run.status()
        wait_for_sound(listener)
        for key in {"paused": ["space"], "stepping": ["space", "period"],
                    "seeking": ["Right"]}.get(state, []):
            xdotool("key", key)
            run.frame_of({"space": "paused", "period": "stepped to", "Right": "jumped to"}[key])
        if state == "tail":
            time.sleep(1.5)  # the picture's second is over; the sound plays on
        asked = time.monotonic()
        if way in ("SIGINT", "SIGTERM"):
            run.process.send_signal(getattr(signal, way))
        elif way == "close":
            send_window_close(x_display, int(window))
        else:
            xdotool("key", way)
        run.process.wait(timeout=30)
        took = time.monotonic() - asked
    finally:
        run.stop()
        listener.stop()
    out = run.process.communicate()[0]
    assert run.process.returncode == {"SIGINT": 130, "SIGTERM": 143}.get(way, 0)
    assert out.startswith("brilox-play: "), out
    # The player itself takes under 0.3 s (make bench); a busy or sanitized
    # run is given more, far from the seconds of a player that waits.
    assert took < 1.5, took
