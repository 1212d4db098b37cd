"""brilox-play's sound, as a PulseAudio server plays it into a null sink:
what plays against ffmpeg's decode of the same stream, on the SDL build in
use."""

import os
import subprocess
import sys
import time

import pytest

from support.soundserver import CHANNELS, RATE, sound_server  # noqa: F401
from support.xserver import x_display  # noqa: F401

np = pytest.importorskip("numpy")
pytest.importorskip("av")


def ffmpeg(*args, data=None, timeout=60):
    return subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", *map(str, args)],
                          input=data, capture_output=True, check=True, timeout=timeout).stdout


def player(x_display, sound_server, *args, env=None):  # noqa: F811
    """brilox-play in a window on the X server, its sound to the sound
    server; `started` is when it was started (time.monotonic)."""
    environment = dict(os.environ, SDL_VIDEODRIVER="x11", DISPLAY=x_display,
                       **sound_server.env, **(env or {}))
    environment.pop("SDL_AUDIODRIVER", None)
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
}


def make_clip(folder, name):
    before, after = CLIPS[name]
    ffmpeg("-f", "lavfi", "-i", SWEEP, *before, *after, folder / name)
    return folder / name


@pytest.mark.timeout(120)
@pytest.mark.parametrize("name, args, volume", [(name, [], 1.0) for name in CLIPS]
                         + [("sweep.mkv", ["--volume", "50"], 0.5)])
def test_what_plays_is_what_ffmpeg_decodes(tmp_path, x_display, sound_server, name,  # noqa: F811
                                           args, volume):
    clip = make_clip(tmp_path, name)
    wanted = volume * samples(ffmpeg("-i", clip, "-vn", "-f", "s16le", "-ar", RATE, "-ac",
                                     CHANNELS, "-"))
    recording = tmp_path / "heard.raw"
    recorder = sound_server.record(recording)
    time.sleep(0.3)
    run = player(x_display, sound_server, clip, *args)
    # The window's class is the program's name.
    found = subprocess.run(["xdotool", "search", "--sync", "--class", "brilox-play"],
                           env=dict(os.environ, DISPLAY=x_display), capture_output=True,
                           text=True, timeout=20)
    assert found.stdout.split(), found.stderr
    out, err = run.communicate(timeout=60)
    sound_server.stop(recorder)
    assert run.returncode == 0, err
    assert "no sound device" not in err
    heard = samples(recording.read_bytes())
    # Each quarter second found where it plays in the recording, and each
    # as ffmpeg decodes it (the signal against what differs).  Over SDL 2
    # the sound server's connection slips a few milliseconds in or out on a
    # busy machine, now and then: such steps between quarters may pass, and
    # the quarters beside them are not compared.  A player that loses or
    # repeats a decoded frame or a device buffer steps by 20 ms or more;
    # one that drifts steps in all.
    quarter = RATE // 4
    starts = range(RATE // 20, len(wanted) - quarter - RATE // 20, quarter)
    lags = [lag_of(heard, wanted[k:k + quarter]) - k for k in starts]
    steps = [b - a for a, b in zip(lags, lags[1:])]
    assert max(map(abs, steps)) < RATE // 100 and sum(map(abs, steps)) <= RATE // 20, lags
    steady = [i for i in range(len(lags))
              if all(abs(lags[j] - lags[i]) <= 1 for j in (i - 1, i + 1) if 0 <= j < len(lags))]
    assert len(steady) >= len(lags) // 2, lags
    for i in steady:
        k, lag = starts[i], lags[i]
        played, expected = heard[k + lag:k + lag + quarter], wanted[k:k + quarter]
        assert len(played) == quarter
        noise = max(np.mean((played - expected) ** 2), 1e-9)
        assert 10 * np.log10(np.mean(expected ** 2) / noise) > 40, (i, lags)
    assert "largest A-V" in out


@pytest.mark.parametrize("name, size", [("sweep.opus", (320, 180)), ("sweep.mp3", (96, 96))])
def test_sound_without_video_shows_a_still_for_its_length(tmp_path, name, size):
    """Headless, as fast as it can: a still picture, 10 frames a second of
    sound (black where the file has no picture, else its cover)."""
    from play_clips import bmp_pixel, bmp_size, play
    shot = tmp_path / "shot.bmp"
    done = play(make_clip(tmp_path, name), "--screenshot", shot)
    assert done.returncode == 0, done.stderr
    assert done.stdout.decode().startswith("brilox-play: 30 frames, ")
    data = shot.read_bytes()
    assert bmp_size(data) == size
    # The cover (testsrc) is bright in the middle; black is black.
    middle = bmp_pixel(data, size[0] // 2, size[1] // 2)
    assert (max(middle) < 20) == (name == "sweep.opus"), middle
    # A stream that is not sound is refused in one line.
    done = play(tmp_path / name, "--audio-stream", 5)
    assert done.returncode == 2
    assert done.stderr.decode() == "brilox-play: %s: stream 5 is not an audio stream (0)\n" % (
        tmp_path / name)

