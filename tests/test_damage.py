"""Damaged files: a seeded campaign of hundreds of damaged variants of tiny
clips, none of which may crash or hang `Video` or the player; a file
damaged in its middle, whose picture and sound play on past the damage as
ffmpeg decodes them; and the stretches of damage, said once each.

scripts/soak-damage runs the campaign longer, on a seed of its own."""

import os
import random
import re
import subprocess
import time

import pytest

from sanitizer import tool_env
from support import damage
from support.soundserver import (CHANNELS, RATE, across, inserted_silences,  # noqa: F401
                                 sound_server, without)

np = pytest.importorskip("numpy")
pytest.importorskip("av")

# The campaign CI runs: the seed, and how many variants.  Every variant goes
# through Video, one in EVERY_PACED paced by its sound at 4x (the others as
# fast as they decode); one in EVERY_PLAYED through the player as well.
SEED, COUNT, EVERY_PACED, EVERY_PLAYED = 31, 240, 4, 6


@pytest.fixture(scope="session")
def clips(tmp_path_factory):
    folder = tmp_path_factory.mktemp("damage-clips")
    return damage.make_clips(str(folder), env=tool_env())


@pytest.fixture(scope="session")
def variants(clips, tmp_path_factory):
    folder = tmp_path_factory.mktemp("damaged")
    return damage.variants(clips, str(folder), SEED, COUNT)


@pytest.mark.timeout(600)
def test_no_damaged_file_crashes_or_hangs_video(variants, tmp_path):
    faults = damage.walk_all(variants, str(tmp_path), paced_every=EVERY_PACED)
    assert not faults, "seed %d: %s" % (SEED, faults)


@pytest.mark.timeout(600)
def test_no_damaged_file_crashes_or_hangs_the_player(variants):
    faults = {os.path.basename(path): fault for path, subtitles in variants[::EVERY_PLAYED]
              for fault in [damage.play(path, subtitles)] if fault}
    assert not faults, "seed %d: %s" % (SEED, faults)


@pytest.mark.timeout(60)
def test_a_sound_whose_rate_changes_part_way_plays_on(clips, tmp_path, video, sound_server,
                                                      monkeypatch):  # noqa: F811
    from brilox.media import Video
    for name, value in sound_server.env.items():
        monkeypatch.setenv(name, value)
    monkeypatch.delenv("SDL_AUDIODRIVER", raising=False)
    (path, _), _ = damage.known(clips, str(tmp_path))
    video.set_mode((64, 48))
    with Video(path, speed=4.0) as played:
        assert played.has_sound
        played.play()
        deadline = time.monotonic() + damage.deadline()
        while not played.finished and time.monotonic() < deadline:
            played.update()
            played.wait(0.01)
        assert played.finished and played.sound.error is None and played.sound.ended


# --- a file damaged in its middle ---------------------------------------------

LENGTH, FPS, SIZE = 10, 25, (320, 240)
SWEEP = "aevalsrc=0.4*sin(2*PI*(200+100*t)*t):s=48000:d=%d" % LENGTH


@pytest.fixture(scope="module")
def broken(tmp_path_factory):
    """A 10 s H.264 and AAC clip, 320x240 with a key frame every 2 s,
    with 40 kB of garbage at its middle byte: both streams lose about 0.9 s
    from 5 s on."""
    folder = tmp_path_factory.mktemp("broken")
    whole, path = folder / "whole.mp4", folder / "broken.mp4"
    subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "lavfi", "-i",
                    "testsrc2=size=%dx%d:rate=%d:duration=%d" % (*SIZE, FPS, LENGTH), "-f",
                    "lavfi", "-i", SWEEP, "-c:v", "libx264", "-preset", "veryfast", "-g",
                    str(2 * FPS), "-c:a", "aac", "-b:a", "128k", str(whole)],
                   check=True, timeout=120, env=tool_env(), capture_output=True)
    data = bytearray(whole.read_bytes())
    middle = len(data) // 2
    data[middle:middle + 40000] = damage.randbytes(random.Random(31), 40000)
    path.write_bytes(bytes(data))
    return path


def decoded(path, *args):
    return subprocess.run(["ffmpeg", "-v", "quiet", "-nostdin", "-i", str(path),
                           *map(str, args), "-"],
                          capture_output=True, timeout=120, env=tool_env()).stdout


@pytest.mark.timeout(120)
def test_a_damaged_file_plays_on_to_its_end_as_ffmpeg_decodes_it(broken, monkeypatch, capsys):
    import brilox.media.colour
    import brilox.media.video
    import brilox.play
    from support import sdl
    shown = []

    class Recorder(brilox.media.video.Overlay):
        def display(self, *frame):
            super().display(*frame)
            w, h = SIZE
            planes = [sdl.overlay_plane(self, plane)[:2] for plane in (0, 2, 1)]
            shown.append(b"".join(data[r * pitch:r * pitch + width] for (data, pitch), width,
                                  rows in zip(planes, (w, w // 2, w // 2), (h, h // 2, h // 2))
                                  for r in range(rows)))

    monkeypatch.setattr(brilox.media.video, "Overlay", Recorder)
    # The levels go into the overlay as they are, on any SDL.
    monkeypatch.setattr(brilox.media.colour.maths, "conversion", lambda *args: None)
    assert brilox.play.main([str(broken), "--headless", "--range", "full"]) == 0
    out, err = capsys.readouterr()
    frame = SIZE[0] * SIZE[1] * 3 // 2
    data = decoded(broken, "-fps_mode", "passthrough", "-f", "rawvideo", "-pix_fmt", "yuv420p")
    wanted = [data[at:at + frame] for at in range(0, len(data), frame)]
    # One line for the damage, where it was and how much; nothing said of
    # the file ending early; the frames skipped counted.
    said = re.findall(r"brilox-play: skipped (\d+\.\d+) s of damaged data at (\d+:\d\d)\n", err)
    assert said and said[0][1] == "0:05" and 0.5 <= float(said[0][0]) <= 2.5, err
    assert len(said) == 1 and "ended early" not in err, err
    skipped = int(re.search(r", (\d+) skipped, ", out).group(1))
    assert len(shown) >= 0.95 * len(wanted) and len(shown) + skipped == LENGTH * FPS, out
    # The frames before the damage, and those from the key frame after it to
    # the end, are ffmpeg's.
    before, after = 5 * FPS - FPS // 2, 3 * FPS
    shown, wanted = [np.frombuffer(f, np.uint8).astype(int) for f in shown], \
        [np.frombuffer(f, np.uint8).astype(int) for f in wanted]
    pairs = list(zip(shown[:before] + shown[-after:], wanted[:before] + wanted[-after:]))
    assert [n for n, (a, b) in enumerate(pairs) if np.abs(a - b).max() > 1] == []
    # Frames tell each other apart: the comparison sees a frame out of place.
    assert np.abs(shown[-1] - wanted[-2]).max() > 16
    # Frames are numbered by their times: those skipped leave a gap, which
    # play and a seek into it step over, to the first frame after it.
    from brilox.media import seek
    from brilox.media.sources.media import open_media
    source = open_media(str(broken), False)
    try:
        gap = [n for n in range(LENGTH * FPS) if source.get(n) is None]
        assert len(gap) == skipped and 4 * FPS < gap[0] < gap[-1] < 7 * FPS, gap
        assert source.following(gap[-1]) == gap[-1] + 1 and source.following(gap[0] - 1) is None
    finally:
        source.close()
    source = open_media(str(broken), False)
    try:
        landed = list(seek.go(source, seek.SEEK, gap[-1], 0))[-1]
        assert landed.index == gap[-1] + 1 and landed.note == seek.Landed(gap[-1] + 1, "seek")
    finally:
        source.close()


@pytest.mark.timeout(60)
def test_a_game_is_warned_of_the_damage_once(broken, video):
    import warnings
    from brilox.media import DamageWarning, MediaWarning, Video
    from brilox.media.sources.media import open_media
    video.set_mode(SIZE)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with Video.over(open_media(str(broken), False), None, pace=False) as played:
            played.play()
            for _ in range(4 * LENGTH * FPS):
                if played.finished:
                    break
                played.update()
                played.wait(0.05)
            assert played.finished
    said = [(w.category, str(w.message)) for w in caught]
    assert len(said) == 1 and said[0][0] is DamageWarning and issubclass(DamageWarning,
                                                                         MediaWarning), said
    assert re.fullmatch(r"skipped 0\.\d s of damaged data at 0:05", said[0][1]), said


@pytest.mark.timeout(120)
def test_the_sound_is_heard_on_both_sides_of_the_damage(broken, tmp_path,
                                                        sound_server):  # noqa: F811
    """Without a display the player plays at the file's pace, with its
    sound: quarter seconds of ffmpeg's decode, before the damage and after
    it, are heard as decoded, as far apart as they are in the file."""
    from test_play_sound import lag_of, player, samples
    wanted = samples(decoded(broken, "-vn", "-f", "s16le", "-ar", RATE, "-ac", CHANNELS))
    # Where ffmpeg's decode has each time of the file: it runs on through
    # the gap (its frames by their times, and samples).
    info = subprocess.run(["ffmpeg", "-v", "info", "-nostdin", "-i", str(broken), "-vn", "-af",
                           "ashowinfo", "-f", "null", "-"], capture_output=True, timeout=120,
                          env=tool_env()).stderr.decode()
    frames = [(float(t), int(n)) for t, n in
              re.findall(r"pts_time:([\d.]+).*?nb_samples:(\d+)", info)]
    starts = np.cumsum([0] + [n for _, n in frames])

    def offset(seconds):
        i = max(i for i, (t, _) in enumerate(frames) if t <= seconds)
        return int(starts[i] + (seconds - frames[i][0]) * RATE)

    recording = tmp_path / "heard.raw"
    dry = sound_server.ran_dry()
    recorder = sound_server.record(recording)
    run = player(None, sound_server, broken)
    out, err = run.communicate(timeout=60)
    sound_server.stop(recorder)
    assert run.returncode == 0, err
    heard = samples(recording.read_bytes())
    # Out, the silences the server put in where the player's stream ran
    # dry; not the damage's own, which is longer.
    inserted = inserted_silences(heard, sound_server.ran_dry() - dry, longest=RATE // 4)
    heard = without(heard, inserted)
    quarter = RATE // 4
    lags = {}
    for seconds in (1.0, 4.5, 6.25, 8.5):
        # The quarter, or one 0.3 s on where the quarter spans a seam.
        for at in (seconds, seconds + 0.3):
            k = offset(at)
            piece = wanted[k:k + quarter]
            lag = lag_of(heard, piece)
            if not across(lag, lag + quarter, inserted):
                break
        played = heard[lag:lag + quarter]
        noise = max(np.mean((played - piece) ** 2), 1e-9)
        assert 10 * np.log10(np.mean(piece ** 2) / noise) > 30, (at, lag)
        lags[seconds] = lag / RATE - at
    # Heard in the file's own time across the damage: the time lost is
    # silent, not cut out (which would bring the sound after it 0.9 s
    # early).  A loaded machine may slip the sound a little either way.
    assert abs(lags[6.25] - lags[4.5]) < 0.3, lags


# --- the stretches said --------------------------------------------------------

def test_each_stretch_of_damage_is_said_once_with_where_and_how_much():
    from brilox.media.sources.damage import Damage
    told = Damage()
    # The picture and the sound skip at one place, in two pieces closer
    # than a second: one stretch, said once play is a second past it, with
    # the longer of the two streams' losses.
    told.skipped("picture", 15.04, 0.08)
    told.skipped("sound", 15.0, 0.9)
    told.skipped("picture", 15.2, 0.8)
    told.passed(16.9)
    assert list(told.notes) == []
    told.passed(17.1)
    # The same place again (a seek back, a loop's next pass): not said again.
    told.skipped("picture", 15.1, 0.5)
    told.passed(30.0)
    # A stretch past an hour, said when the stream ends.
    told.skipped("sound", 3725.5, 2.24)
    told.skipped("sound", 3725.5, 0.0)
    assert len(told.notes) == 1
    told.end()
    assert list(told.notes) == ["skipped 0.9 s of damaged data at 0:15",
                                "skipped 2.2 s of damaged data at 1:02:05"]
    # What the sound was told before it shared the picture's: kept.
    shared = Damage()
    shared.adopt(told)
    shared.skipped("picture", 15.5, 1.0)
    shared.skipped("picture", 100.0, 0.04)
    shared.end()
    assert list(shared.notes) == list(told.notes) + ["skipped 0.04 s of damaged data at 1:40"]
