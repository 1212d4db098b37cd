"""brilox.play.Video as a game sees it: clips whose frames show their own
numbers, read back from what SDL shows in a game's loop, against the clock,
the sound the sound server plays and the end event; and what it refuses."""

import gc
import math
import os
import threading
import time
import wave

import pytest

import brilox.base
import brilox.display as display
import brilox.sound
from brilox.play import Video, _colour, colour
from sanitizer import SANITIZED
from support import sdl
from support.soundserver import RATE, sound_server  # noqa: F401

np = pytest.importorskip("numpy")
pytest.importorskip("av")
from test_play_colour import as_sdl_shows, ffmpeg, off_by  # noqa: E402
from test_play_sound import rises  # noqa: E402

# A number's bits are blocks STRIPE wide, lowest on the left, white for 1,
# in a band BAND high at the top, and inverted at the bottom; 75% colour
# bars between them, for the colours.
W, H, FPS, BITS, STRIPE, BAND = 160, 120, 30, 10, 16, 24
BARS = np.array([[191 * (c >> i & 1) for i in (2, 1, 0)] for c in (7, 6, 3, 2, 5, 4, 1, 0)],
                np.uint8)
END = display.USEREVENT + 1


def make_clip(folder, name, count, sound=None):
    """`count` numbered frames at FPS: H.264 in yuv420p (with `sound`, mono
    samples at RATE, as AAC), or raw i420 for a name ending in .yuv."""
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
    ffmpeg("-y", *args, *(["-f", "rawvideo"] if name.endswith(".yuv") else
                          ["-c:v", "libx264", "-preset", "ultrafast", "-crf", 12]),
           "-pix_fmt", "yuv420p", folder / name)
    return folder / name


@pytest.fixture(scope="module")
def clips(tmp_path_factory):
    folder = tmp_path_factory.mktemp("video")
    for name, count in (("count.mp4", 2 * FPS), ("count.yuv", 2 * FPS), ("second.mp4", FPS)):
        make_clip(folder, name, count)
    (folder / "notes.mp4").write_text("not a video\n" * 100)
    return folder


def shown():
    """What SDL shows after a flip, (H, W, 3) RGB: the display surface, into
    which classic SDL draws overlays, or what SDL 2 presents."""
    display.flip()
    rgb = (colour.presented_rgb((0, 0, W, H), (W, H)) if sdl.over_sdl2()
           else _colour.read_display((0, 0, W, H)))
    return np.frombuffer(rgb, np.uint8).reshape(H, W, 3)


def number(picture):
    """The number shown; None where the two bands disagree (no whole frame)."""
    top, bottom = (picture[y, STRIPE // 2::STRIPE].mean(1) > 128 for y in (12, H - 12))
    return None if (top == bottom).any() else sum(1 << k for k in range(BITS) if top[k])


def run(video, seconds, until=lambda: False, pictures=None, others=()):
    """A game's loop: update() 60 times a second for `seconds` or until
    `until()`, reading what SDL shows after each that put a frame up (into
    `pictures` if given).  (time.monotonic(), number, position) of each.
    The `others` are updated too, before, their frames unread."""
    seen, tick = [], time.monotonic()
    deadline = tick + seconds
    while time.monotonic() < deadline and not until():
        for other in others:
            other.update()
        if video.update():
            at, picture = time.monotonic(), shown()
            seen.append((at, number(picture), video.position))
            if pictures is not None:
                pictures.append(picture)
        tick += 1 / 60
        time.sleep(max(0.0, tick - time.monotonic()))
    return seen


def first_frame(video):
    deadline = time.monotonic() + 5
    while not video.update():
        assert time.monotonic() < deadline, "no frame went up"
        time.sleep(0.005)
    return number(shown())


@pytest.mark.timeout(60)
@pytest.mark.parametrize("name, raw, speed", [
    ("count.mp4", {}, 1.0), ("count.yuv", {"size": (W, H), "format": "i420", "fps": FPS}, 1.0),
    ("count.mp4", {}, 2.0)])
def test_frames_show_at_their_times(video, clips, name, raw, speed):
    video.set_mode((W, H))
    with Video(clips / name, speed=speed, **raw) as v:
        assert (v.size, v.frame_rate, v.has_sound, v.playing) == ((W, H), FPS, False, False)
        assert v.duration == pytest.approx(2, abs=0.5 / FPS) or (raw and v.duration is None)
        started = time.monotonic()
        v.play()
        pictures = []
        seen = run(v, 5, lambda: v.finished, pictures)
        assert v.finished and time.monotonic() - started < 2.3 / speed
        last, rgb = pictures[-1], v.rgb()
    numbers = [n for _, n, _ in seen]
    assert None not in numbers and numbers == sorted(numbers), numbers
    assert numbers[-1] == 2 * FPS - 1, numbers
    # A few dropped at most (more at 2x, as often due as the loop updates).
    assert len(set(numbers)) >= (2 * FPS - 4 if speed == 1 else FPS), numbers
    for at, n, position in seen:
        # Frame n is due n / FPS after play(): never early, at most 2 late.
        assert -0.005 < at - started - n / FPS / speed < 2 / FPS, (at - started, n)
        assert abs(position - n / FPS) < 0.5 / FPS, (position, n)
    # The last frame as FFmpeg renders it, and rgb() as SDL shows it.
    reference = as_sdl_shows(clips / name, (W, H), "limited", "bt601",
                             raw=["-f", "rawvideo", "-video_size", "%dx%d" % (W, H)] * bool(raw))
    assert (off_by(last, reference) <= 2).all(), off_by(last, reference)
    assert rgb.shape == (H, W, 3) and (off_by(rgb, last) <= 2).all(), off_by(rgb, last)


@pytest.mark.timeout(60)
def test_seek_while_paused_shows_the_frame_sought(video, clips):
    video.set_mode((W, H))
    with Video(clips / "count.mp4") as v:
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
        assert (numbers[i - 1], numbers[i]) == (FPS - 1, 0), numbers[i - 3:i + 3]
        assert 0 <= times[i] - started - k < 2 / FPS, (k, times[i] - started)
    # How long each number stays up, to the update that replaced it.
    changes = [i for i in range(1, len(seen)) if numbers[i] != numbers[i - 1]]
    held = [(numbers[a], times[b] - times[a]) for a, b in zip([0] + changes, changes)]
    assert max(t for _, t in held) < 3 / FPS, held


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


@pytest.mark.timeout(90)
@pytest.mark.parametrize("speed", [1.0, 1.5, 0.5])
def test_the_picture_keeps_to_the_sound(video, tmp_path, sound_server, monkeypatch,  # noqa: F811
                                        speed):
    """Beeps at frames 20, 50, 80 and 110: each frame goes up within 50 ms
    (1.5 frames) of when the sound server plays its beep.  At another
    speed the beeps come that much sooner or later after each other, and
    every tone keeps its pitch.  A frame goes up
    at the first update after its time (up to 17 ms); the sink's clock is
    read from the recording's arrivals (some 10 ms); sdl12-compat puts the
    picture 10-30 ms after the sound here, classic SDL within 6 ms.
    Meanwhile a second Video, a second into a steady tone, and a game's
    looping Sound play on channels of their own: all three are heard, and
    each Video keeps its own time."""
    for name, value in sound_server.env.items():
        monkeypatch.setenv(name, value)
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
    listener = sound_server.listen()
    try:
        time.sleep(0.3)
        with Video(clip, speed=speed) as v, Video(tone, start=1.0, speed=speed) as other:
            assert v.has_sound and other.has_sound
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
    heard_at = played_at[rises(np.arange(len(heard)), np.abs(heard), 8000, RATE * 0.3)]
    assert len(heard_at) == len(beeps), heard_at
    # The clip's time between the first beep and the last, played in that
    # time over the speed (within 2%), and each beep still at 1 kHz.
    assert heard_at[-1] - heard_at[0] == pytest.approx(3 / speed, rel=0.02), heard_at
    heard_beeps = [heard[played_at.searchsorted(at):][:RATE // 20] for at in heard_at]
    assert all(abs(np.argmax(np.abs(np.fft.rfft(b))) * 20 - 1000) <= 20 for b in heard_beeps)
    # The steady tone and the game's, each at its own level between beeps
    # (FFmpeg's resampler spreads a mono stream over two at -3 dB).
    quiet = heard[played_at.searchsorted(heard_at[0] + 0.3):][:RATE // 2]
    spectrum = np.abs(np.fft.rfft(quiet * np.hanning(len(quiet)))) * 4 / len(quiet)
    bins = np.fft.rfftfreq(len(quiet), 1 / RATE)
    assert [spectrum[np.argmin(np.abs(bins - hz))] for hz in (600, 2500)] == pytest.approx(
        [3000 / 2 ** 0.5, 2000 / 2 ** 0.5], rel=0.1)
    # When each beep's frame went up, against when the beep played.
    gaps = [1000 * (min(t for t, n, _ in seen if n >= b) - at) for b, at in zip(beeps, heard_at)]
    assert all(abs(g) <= 50 for g in gaps), str(gaps)


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
    heard_at = played_at[rises(np.arange(len(heard)), np.abs(heard), 6000, RATE * 0.1)]
    assert len(heard_at) >= 8, heard_at
    shown = [min((t for t, n, _ in seen if n >= f), default=np.inf) for f in loud]
    gaps = [round(1000 * (min(shown, key=lambda t: abs(t - at)) - at)) for at in heard_at]
    assert all(abs(g) <= 50 for g in gaps), str(gaps)
    # From the first loud stretch to the last: every 5 ms heard, 50 ms at 1 kHz.
    steady = heard[played_at.searchsorted(heard_at[0]):played_at.searchsorted(heard_at[-1])]
    level = np.sqrt(np.mean(steady[:len(steady) // 240 * 240].reshape(-1, 240) ** 2.0, 1))
    # A busy machine's sound server drops a few ms now and then; the filters none.
    assert (level < 4000 / 2 ** 0.5 / 2 ** 0.5 / 2).sum() <= 4, level.min()
    pitch = np.abs(np.fft.rfft(steady[:len(steady) // 2400 * 2400].reshape(-1, 2400), axis=1))
    assert (pitch.argmax(1) * 20 == 1000).all(), pitch.argmax(1) * 20


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
    "off the display": (lambda v, new: v.set_location((W, 0, 10, 10)), ValueError, None),
    "rgb before a frame": (lambda v, new: v.rgb(), ValueError, None),
    "end event 32": (lambda v, new: new("second.mp4", end_event=32), ValueError, None),
    "no display mode": (lambda v, new: v.update(), brilox.base.error, "Display mode not set"),
    "a missing file": (lambda v, new: new("gone.mp4"), OSError, "No such file"),
    "a text file": (lambda v, new: new("notes.mp4"), brilox.base.error, "Invalid data found"),
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

    grown = -resident_after(10, video_opened) + resident_after(100, video_opened)
    kept = -resident_after(10, decoder_opened) + resident_after(100, decoder_opened)
    deadline = time.monotonic() + 2     # for threads that end just after close()
    while set(threading.enumerate()) - threads:
        assert time.monotonic() < deadline, set(threading.enumerate()) - threads
        time.sleep(0.05)
    # AddressSanitizer holds freed memory back for a while.
    assert SANITIZED or grown < max(kept, 0) + (10 << 20), (grown, kept)
