"""brilox.sound on real SDL, whose disk driver writes what would be heard
(waiting SDL_DISKAUDIODELAY ms between buffers), and as a PulseAudio
server's null sink plays it.  16-bit stereo at 48 kHz reaches both
unconverted on both SDL builds."""

import array
import ctypes
import time
import wave

import pytest

import brilox.base
import brilox.sound
from support import sdl
from support.soundserver import inserted_silences, sound_server, without  # noqa: F401

RATE, CHANNELS, SAMPLES = 48000, 2, 1024
FRAME = 4  # bytes of a 16-bit stereo frame
CODES = {-16: "h", 16: "H", -8: "b", 8: "B"}
ZERO = {-16: 0, 16: 0x8000, -8: 0, 8: 0x80}
libc = ctypes.CDLL(None)


@pytest.fixture
def sound(monkeypatch, tmp_path):
    """use(driver, delay_ms) -> brilox.sound on that driver; the disk driver
    writes to tmp_path / "out.raw".  Shut down after the test."""
    def use(driver="disk", delay=5):
        monkeypatch.setenv("SDL_AUDIODRIVER", driver)
        monkeypatch.setenv("SDL_DISKAUDIOFILE", str(tmp_path / "out.raw"))
        monkeypatch.setenv("SDL_DISKAUDIODELAY", str(delay))
        return brilox.sound
    yield use
    brilox.sound.quit()
    assert not sdl.lib().SDL_WasInit(0x10)


def written(tmp_path):
    libc.fflush(None)  # SDL writes its file through stdio, in this process
    return (tmp_path / "out.raw").read_bytes()


def wait_until(condition, seconds=5):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.002)


def samples(size, centred):
    return array.array(CODES[size], [v + ZERO[size] for v in centred])


def test_refusals(sound):
    s = sound("no-such-driver")
    args = {"queue": (b"",), "pause": (1,), "set_volume": (5,), "set_mute": (1,),
            "unqueue": (4,)}
    channel = s.Channel(15)
    for name in ("close", "flush", "queued", "underruns", "get_volume", "get_mute", "clock",
                 "latency", *args):
        with pytest.raises(brilox.base.error, match="^sound not open$"):
            getattr(s, name)(*args.get(name, ()))
        if hasattr(channel, name):
            with pytest.raises(brilox.base.error, match="^sound not open$"):
                getattr(channel, name)(*args.get(name, ()))
    for get in (lambda: channel.volume, lambda: channel.busy,
                lambda: setattr(channel, "volume", 5)):
        with pytest.raises(brilox.base.error, match="^sound not open$"):
            get()
    for n, error in ((16, ValueError), (-1, ValueError), ("1", TypeError), (1.0, TypeError)):
        with pytest.raises(error, match="channel must be from 0 to 15|integer"):
            s.Channel(n)
    for refused in ((0, 2), (RATE, 0), (RATE, 2, 24), (RATE, 2, -16, 0), (RATE, 2, -16, 1e999)):
        with pytest.raises(ValueError):
            s.open(*refused)
    # No such device: SDL's own words, and its audio left as it was.
    with pytest.raises(brilox.base.error, match="."):
        s.open(RATE, CHANNELS)
    assert not s.get_init() and not sdl.lib().SDL_WasInit(0x10)

    s = sound("disk")
    assert s.open(8000, 1, -16, 0.1) == (8000, 1, -16, 256, 512)
    assert s.queue(b"\1\0" * 10) == 20
    # A second open replaces the first, ring and all.
    assert s.open(RATE, CHANNELS) == (RATE, CHANNELS, -16, SAMPLES, SAMPLES * FRAME)
    assert s.queued() == 0 and s.get_init()
    for call, bad, error in ((s.queue, b"\1\0", ValueError), (s.queue, "abcd", TypeError),
                             (s.queue, memoryview(b"\1" * 16)[::2], BufferError),
                             (s.set_volume, -1, ValueError), (s.set_volume, 101, ValueError),
                             (s.Channel(3).queue, b"\1\0" * 3, ValueError),
                             (s.unqueue, 6, ValueError), (s.unqueue, -4, OverflowError),
                             (s.Channel(3).unqueue, "4", TypeError),
                             (lambda v: setattr(s.Channel(3), "volume", v), 101, ValueError),
                             (lambda v: setattr(s.Channel(3), "volume", v), 2.0, TypeError)):
        with pytest.raises(error):
            call(bad)
    assert s.get_volume() == 100 and s.queued() == 0
    assert (s.Channel(3).volume, s.Channel(3).queued(), s.Channel(3).busy) == (100, 0, False)
    s.close()
    assert not s.get_init()


def test_ring_takes_what_fits_and_plays_every_frame_in_order(sound, tmp_path):
    s = sound("disk", delay=5)
    s.open(RATE, CHANNELS, -16, 0.05)  # 2400 frames
    # Never 0, so that the silence of underruns and pauses can be told apart.
    data = array.array("h", [(i % 20000 + 1) * (-1) ** (i // 3) for i in range(2 * 9001)])
    raw = data.tobytes()
    assert s.queue(raw) == 2400 * FRAME and s.queue(raw) == 0
    assert s.latency() == pytest.approx((2400 + SAMPLES) / RATE)
    # The newest frames waiting are taken back, to be queued again.
    assert s.unqueue(400 * FRAME) == 400 * FRAME and s.queued() == 2000 * FRAME
    sent = 2000 * FRAME
    s.pause(False)
    deadline = time.monotonic() + 10
    while sent < len(raw):  # odd chunks, so that the copies wrap anywhere
        sent += s.queue(raw[sent:sent + 333 * FRAME])
        assert sent % FRAME == 0 and time.monotonic() < deadline
        time.sleep(0.001)
    wait_until(lambda: s.queued() == 0)
    # No more than waits: what was played stays played.
    assert s.unqueue(FRAME) == 0
    s.close()
    played = array.array("h", written(tmp_path))
    assert array.array("h", (v for v in played if v)) == data


@pytest.mark.parametrize("size", [-16, 16, -8, 8])
def test_volume_rounds_each_sample_and_mute_plays_silence(sound, tmp_path, size):
    """The rounding in every format is the mixer's (tests/test_mixer.py);
    here, what the mixer writes in each format is what SDL plays, and the
    master volume and mute reach the mixer."""
    if abs(size) == 8 and sdl.over_sdl2():
        pytest.skip("SDL 2 converts 8-bit samples before its disk driver writes them")
    s = sound("disk", delay=2)
    assert s.open(RATE, CHANNELS, size)[2] == size
    low, high = (-32768, 32767) if abs(size) == 16 else (-128, 127)
    centred = [low, high, low + 1, high - 1, -1, 1, -3, 3, -101, 101, low // 3, high // 3] * 4
    volumes = ((50, False), (100, False), (37, True)) if size == -16 else ((100, False),)
    for volume, mute in volumes:
        s.set_volume(volume)
        s.set_mute(mute)
        s.queue(samples(size, centred))
        s.pause(False)
        wait_until(lambda: s.queued() == 0 and s.clock() == 24 / RATE)
        s.pause(True)
        s.flush()
    s.close()
    played = written(tmp_path)
    silence = samples(size, [0]).tobytes()
    end = 0
    for volume, mute in volumes[:2]:
        # Each sample rounded to the nearest, halves up, and never wrapped.
        expected = samples(size, [(v * volume + 50) // 100 for v in centred]).tobytes()
        start = played.find(expected, end)
        assert start >= 0, volume
        end = start + len(expected)
        # The rest of SDL's buffer: silence at the middle of the range.
        assert played[end:start + SAMPLES * CHANNELS * abs(size) // 8] == \
            silence * (SAMPLES * CHANNELS - len(centred))
    # Muted: nothing but silence, ours or SDL's own while paused.
    assert not set(array.array(CODES[size], played[end:])) - {ZERO[size], 0, 0x8080}


def test_clock_and_underruns_follow_what_the_driver_wrote(sound, tmp_path):
    s = sound("disk", delay=21)  # about SDL's buffer, so about real time
    s.open(RATE, CHANNELS, -16, 2.0)
    s.pause(False)
    time.sleep(0.1)  # nothing queued yet: empty by design
    assert s.underruns() == 0 and s.clock() == 0
    raw = array.array("h", [i // 2 % 1000 + 1 for i in range(2 * RATE)]).tobytes()
    assert s.queue(raw) == len(raw)
    wait_until(lambda: b"\1\0\1\0" in written(tmp_path))
    start = written(tmp_path).index(b"\1\0\1\0")
    readings, deadline = [], time.monotonic() + 0.4
    while time.monotonic() < deadline:
        before = (len(written(tmp_path)) - start) // FRAME
        clock, left = s.clock(), s.queued()
        # Heard: what SDL has taken from the ring, less at most the buffer of
        # its last call; all but that buffer is in the file.
        taken = (len(raw) - left) // FRAME
        assert (before - SAMPLES) / RATE - 1e-9 <= clock <= taken / RATE + 1e-9
        readings.append((left, clock))
        time.sleep(0.003)
    clocks = [c for _, c in readings]
    assert clocks == sorted(clocks) and clocks[-1] > 0.2 and s.underruns() == 0
    # Between two of SDL's calls the clock runs on.
    assert any(c2 > c1 for (q1, c1), (q2, c2) in zip(readings, readings[1:]) if q1 == q2)
    time.sleep(0.1)  # the clock not read meanwhile
    before = (len(written(tmp_path)) - start) // FRAME
    s.pause(True)
    frozen = s.clock()
    # It stops where the sound stood at the pause, not where it was last read.
    assert (before - SAMPLES) / RATE - 1e-9 <= frozen
    time.sleep(0.1)
    assert s.clock() == frozen
    # It goes on from there: at most SDL's buffer (or two, for a call under
    # way at the pause) of what was heard meanwhile is added at once.
    s.pause(False)
    assert frozen <= s.clock() <= frozen + 2 * SAMPLES / RATE + 1e-9
    wait_until(lambda: s.clock() > frozen + 0.05)
    s.pause(True)
    s.flush()
    assert s.clock() == 0 and s.queued() == 0
    # A buffer and a half: SDL's second call finds the ring short, and each
    # after it dry, each counted (call by call in tests/test_mixer.py).
    s.queue(raw[:SAMPLES * FRAME * 3 // 2])
    s.pause(False)
    wait_until(lambda: s.underruns() >= 2)
    s.pause(True)
    time.sleep(0.05)  # a call under way when pausing may still count
    count = s.underruns()
    time.sleep(0.1)
    s.flush()
    s.pause(False)
    time.sleep(0.1)  # flushed: empty by design again
    assert s.underruns() == count and s.clock() == 0


def test_a_files_sound_starts_where_sought_and_its_clock_counts_sdls_buffer(sound, tmp_path):
    """brilox.play's Sound on the disk driver: the samples after a seek are
    the file's from that time on, after the preroll's silence, and its
    clock is the stream's time of what is heard: the device's clock, less
    the preroll and the one buffer of SDL's still on its way out."""
    av = pytest.importorskip("av")
    from brilox.media.sound import LEAD_IN, PREROLL, Sound
    # 2 s of 48 kHz stereo whose every frame says its number.
    numbered = array.array("h", (c for n in range(2 * RATE) for c in (n % 30000 + 1,
                                                                      n // 30000 + 1)))
    with wave.open(str(tmp_path / "clip.wav"), "wb") as clip:
        clip.setparams((CHANNELS, 2, RATE, 0, "NONE", None))
        clip.writeframes(numbered)
    s = sound("disk", delay=2)
    # The video starts 0.25 s into the stream: times are told from there.
    played = Sound(av, str(tmp_path / "clip.wav"), 0, volume=40, mute=True, origin=0.25)
    try:
        assert (s.get_volume(), s.get_mute(), played.clock()) == (40, True, None)
        s.set_volume(100)
        s.set_mute(False)
        # The device runs on silence from its opening; held still here.
        played.pause(True)
        played.seek(1.0)
        queued = s.queued()
        played.preroll()
        # What is left of the preroll since the device started, at least
        # the lead-in, counted by the clock.
        silence = (s.queued() - queued) // FRAME
        assert int(LEAD_IN * RATE) <= silence <= int(PREROLL * RATE)
        ahead = 1.0 - silence / RATE - SAMPLES / RATE
        assert played.clock() == pytest.approx(ahead + s.clock(), abs=1e-9)
        offset = len(written(tmp_path))
        played.feed()
        played.pause(False)
        deadline, begun = time.monotonic() + 10, s.clock()
        while s.clock() < begun + 0.3:
            played.feed()
            before, at, after = s.clock(), played.clock(), s.clock()
            assert before - 1e-9 <= at - ahead <= after + 1e-9
            assert time.monotonic() < deadline, "timed out"
            time.sleep(0.002)
        played.pause(True)
    finally:
        played.close()
    heard = written(tmp_path)[offset:]
    # The first frame after the preroll is the one at 1.25 s, and on in order.
    wanted = numbered[2 * int(1.25 * RATE):].tobytes()
    start = heard.find(wanted[:40])
    # Before it, the preroll's silence, after whole buffers of SDL's own.
    assert (start - silence * FRAME) % (SAMPLES * FRAME) == 0 and not any(heard[:start])
    assert heard[start:start + RATE // 5 * FRAME] == wanted[:RATE // 5 * FRAME]


# ---- channels, as the sound server plays them -----------------------------------------


def stereo(left, right):
    return array.array("h", (v for pair in zip(left, right) for v in pair)).tobytes()


def heard_on_the_sink(sound_server, monkeypatch, tmp_path, play):  # noqa: F811
    """What the sink played, as (frames, 2) ints, while play(brilox.sound)
    ran on a device opened on the sound server, channel 0 playing silence;
    and how many times the server ran dry meanwhile."""
    np = pytest.importorskip("numpy")
    monkeypatch.delenv("SDL_AUDIODRIVER", raising=False)
    for name, value in sound_server.env.items():
        monkeypatch.setenv(name, value)
    recording = tmp_path / "heard.raw"
    dry = sound_server.ran_dry()
    recorder = sound_server.record(recording)
    try:
        s = brilox.sound
        assert s.open(RATE, CHANNELS, -16, 1.0)[:3] == (RATE, CHANNELS, -16)
        s.pause(False)
        # The recorder has started: it has written two of its reads.
        wait_until(lambda: recording.exists() and recording.stat().st_size >= RATE * FRAME // 3,
                   seconds=15)
        play(s)
        time.sleep(0.4)
    finally:
        sound_server.stop(recorder)
        brilox.sound.quit()
    data = recording.read_bytes()
    return (np.frombuffer(data[:len(data) // 4 * 4], "<i2").reshape(-1, 2).astype(int),
            sound_server.ran_dry() - dry)


def play_out(*channels):
    for channel in channels:
        channel.pause(False)
    wait_until(lambda: not any(c.busy for c in channels))


@pytest.mark.timeout(60)
def test_channels_are_heard_as_their_sum_which_saturates(sound_server, monkeypatch,  # noqa: F811
                                                         tmp_path):
    import numpy as np
    tones = {440: 8000, 1250: 6000}
    second = np.arange(RATE) / RATE

    def play(s):
        one, two = s.Channel(1), s.Channel(2)
        for channel, (hz, amplitude) in zip((one, two), tones.items()):
            wave_ = np.rint(amplitude * np.sin(2 * np.pi * hz * second)).astype("<i2")
            assert channel.queue(np.repeat(wave_, 2).tobytes()) == RATE * FRAME
        play_out(one, two)
        # Two loud channels: their sum clipped to the range, never wrapped.
        for channel in (one, two):
            channel.queue(stereo([30000] * 9600, [-30000] * 9600))
        play_out(one, two)

    heard, dry = heard_on_the_sink(sound_server, monkeypatch, tmp_path, play)
    sounding = np.flatnonzero(np.abs(heard[:, 0]) > 100)
    # Half a second of the tones from their middle, or, where the server
    # ran dry among them, 0.3 s from the longest stretch between its
    # silences (a run dry may lose a few frames, which breaks the phase).
    loud_from = np.flatnonzero(np.abs(heard[:, 0]) > 29000)[0]
    tones_end = sounding[sounding < loud_from][-1] + 1
    runs = inserted_silences(heard[sounding[0]:tones_end], dry)
    bounds = [0, *(edge for run in runs for edge in run), tones_end - sounding[0]]
    start, end = max(zip(bounds[::2], bounds[1::2]), key=lambda run: run[1] - run[0])
    size = RATE // 2 if end - start >= 3 * RATE // 4 else 3 * RATE // 10
    assert end - start >= size + RATE // 10, (start, end)
    middle = heard[sounding[0]:][(start + end - size) // 2:(start + end + size) // 2, 0]
    spectrum = np.abs(np.fft.rfft(middle * np.hanning(len(middle)))) * 4 / len(middle)
    bins = np.fft.rfftfreq(len(middle), 1 / RATE)
    peaks = {hz: spectrum[np.argmin(np.abs(bins - hz))] for hz in tones}
    assert peaks == pytest.approx(tones, rel=0.03)
    assert spectrum[np.all([np.abs(bins - hz) > 10 for hz in tones], axis=0)].max() < 20
    loud = heard[(heard[:, 0] > 30000) | (heard[:, 0] < -30000)]
    # Most of the 9600 loud frames (sdl12-compat's sink may miss one 1024-frame
    # device buffer of them), each clipped to the range.
    assert len(loud) >= 8000 and (loud == [32767, -32768]).all()


@pytest.mark.timeout(60)
def test_a_channels_volume_ramps_to_each_new_value(sound_server, monkeypatch,  # noqa: F811
                                                   tmp_path):
    def play(s):
        channel = s.Channel(5)
        channel.queue(stereo([16000] * RATE, [16000] * RATE))
        channel.pause(False)
        time.sleep(0.25)
        channel.volume = 0
        time.sleep(0.2)
        channel.volume = 60
        play_out(channel)
        assert channel.volume == 60 and s.get_volume() == 100

    import numpy as np
    heard, dry = heard_on_the_sink(sound_server, monkeypatch, tmp_path, play)
    left = without(heard, inserted_silences(heard, dry, plateau=True))[:, 0]
    played = left[np.flatnonzero(left > 15900)[0]:np.flatnonzero(left)[-1] + 1]
    # 5 ms at 48 kHz: 240 steps of 16000 / 240 down, of 9600 / 240 up,
    # so 239 samples between each ramp's ends.
    assert np.abs(np.diff(played)).max() <= 16000 / 240 + 2
    silent = np.flatnonzero(played == 0)
    down, up = played[:silent[0]], played[silent[-1] + 1:]
    assert len(silent) > RATE // 10 and (up == 9600).sum() > 1000
    assert [((0 < down) & (down < 16000)).sum(), ((0 < up) & (up < 9600)).sum()] == [239] * 2


@pytest.mark.timeout(60)
def test_a_flushed_channel_stops_at_once_and_bad_calls_disturb_no_other(
        sound_server, monkeypatch, tmp_path):  # noqa: F811
    import numpy as np
    count = 28800  # 0.6 s: the right's every frame says its number
    right = list(range(1, count + 1))
    state = {}

    def play(s):
        one, two = s.Channel(1), s.Channel(2)
        one.queue(stereo([5000 + k % 100 * 10 for k in range(count)], [0] * count))
        two.queue(stereo([0] * count, right))
        one.pause(False)
        two.pause(False)
        time.sleep(0.25)
        for bad in (lambda: s.Channel(16), lambda: s.Channel(7).queue(b"\1\0" * 3)):
            with pytest.raises(ValueError):
                bad()
        one.flush()
        state["flushed"] = two.clock() * RATE
        assert not one.busy and one.queued() == 0 and two.busy
        play_out(two)
        assert one.underruns() == 0  # flushed: its empty ring is no underrun

    heard, dry = heard_on_the_sink(sound_server, monkeypatch, tmp_path, play)
    # The other channel played every frame, in order; but where the server
    # ran dry it may have lost a few ms of what it was sent.
    numbers = heard[:, 1][heard[:, 1] != 0]
    steps = np.diff(numbers)
    lost = steps[steps != 1]
    assert numbers[0] == 1 and numbers[-1] == count and len(lost) <= dry, lost
    assert ((1 < lost) & (lost < 256)).all(), lost
    last = int(heard[:, 1][heard[:, 0] != 0][-1])  # the right's number where the left stops
    assert state["flushed"] - 2 * SAMPLES <= last <= state["flushed"] + 2 * SAMPLES


def test_each_channels_clock_follows_its_own_samples(sound, tmp_path):
    s = sound("disk", delay=21)  # about SDL's buffer, so about real time
    s.open(RATE, CHANNELS, -16, 2.0)
    one, two = s.Channel(1), s.Channel(9)
    # What each channel's clock counts is the mixer's test, to the frame;
    # what SDL wrote bounds channel 0's in the test above.  Here each
    # channel's clock is its own.
    one.queue(stereo([1] * RATE, [0] * RATE))
    two.queue(stereo([0] * RATE, [1] * RATE))
    one.pause(False)
    deadline = time.monotonic() + 5
    while one.clock() < 0.1:
        assert time.monotonic() < deadline, "channel 1's clock did not run"
        time.sleep(0.005)
    # Channel 2 starts between these two readings of channel 1's clock: from
    # then on the two run together, 1 ahead by what it played alone.
    before = one.clock()
    two.pause(False)
    after = one.clock()
    time.sleep(0.1)
    readings, deadline, paused = [], time.monotonic() + 0.4, None
    while time.monotonic() < deadline:
        if paused is None and time.monotonic() > deadline - 0.2:
            one.pause(True)
            paused = len(readings)
        readings.append((one.clock(), two.clock()))
        time.sleep(0.005)
    # Each ran from its own start; channel 1 stopped at its pause, and
    # channel 0, given nothing, never moved.
    assert readings[-1][0] == readings[paused][0] and readings[-1][1] > readings[paused][1]
    # (Within a buffer of SDL's: a clock moves a buffer at a time.)
    assert before - 0.03 <= readings[0][0] - readings[0][1] <= after + 0.03 and s.clock() == 0


@pytest.mark.timeout(60)
def test_sounds_loop_on_eight_channels_with_no_python_work(sound_server, monkeypatch,  # noqa: F811
                                                           tmp_path):
    """Channel k's Sound, 300 frames (shorter than SDL's buffer) of 2^k then
    silence, played 20 times: each bit of what the sink heard rises 20 times
    and holds 150 frames each time.  Bad input meanwhile disturbs none."""
    import numpy as np
    (tmp_path / "notes.txt").write_text("not a sound\n" * 100)
    files = []
    for k in range(8):
        files.append(tmp_path / ("%d.wav" % k))
        with wave.open(str(files[-1]), "wb") as w:
            w.setnchannels(2), w.setsampwidth(2), w.setframerate(RATE)
            w.writeframes(stereo([1 << k] * 150 + [0] * 150, [0] * 300))
    sounds = [brilox.sound.Sound(f) for f in files]
    assert sounds[0].length == 300 / RATE
    with pytest.raises(brilox.base.error, match="play before open"):
        sounds[0].play()

    def play(s):
        playing = [sound.play(loops=19) for sound in sounds]
        assert playing == [s.Channel(n) for n in range(1, 9)] and s.find_channel() == s.Channel(9)
        for bad, error in ((lambda: s.Channel(9).play(b"\1\0" * 3), ValueError),
                           (lambda: s.Channel(9).play(b"\0" * 4, -2), ValueError),
                           (lambda: s.Sound(tmp_path / "notes.txt"), brilox.base.error),
                           (lambda: sounds[0].play(channel=16), ValueError)):
            with pytest.raises(error):
                bad()
        # 125 ms of sound, played by SDL's thread alone: Python only looks
        # (as long as a busy machine keeps that thread waiting).
        wait_until(lambda: not any(c.busy for c in playing))
        assert not any(c.playing(sounds[0]._data) for c in playing)
        sounds[1].play(loops=-1, channel=2)
        time.sleep(0.05)
        sounds[1].stop()
        assert not s.Channel(2).busy and s.find_channel() == s.Channel(1)
        # A reserved channel is passed by until it is let go.
        s.Channel(1).reserved = True
        assert s.find_channel() == s.Channel(2) and sounds[1].play() == s.Channel(2)
        sounds[1].stop()
        s.Channel(1).reserved = False
        assert s.find_channel() == s.Channel(1)

    left = heard_on_the_sink(sound_server, monkeypatch, tmp_path, play)[0][:, 0]
    for k in range(8):
        on = np.concatenate([[0], (left >> k) & 1, [0]])
        rises, falls = np.flatnonzero(np.diff(on) == 1), np.flatnonzero(np.diff(on) == -1)
        # Channel 2 played its sound again, looping, until stopped, and
        # once more beside a reserved channel.
        assert len(rises) == 20 or k == 1 and len(rises) > 20, k
        assert (falls - rises)[:20 if k == 1 else None].tolist() == [150] * 20, k
    assert (left >= 0).all() and (left < 256).all()


@pytest.mark.timeout(60)
def test_a_sound_of_a_file_with_no_sound_is_refused(tmp_path):
    av = pytest.importorskip("av")
    with av.open(str(tmp_path / "still.mp4"), "w") as out:
        stream = out.add_stream("mpeg4", rate=25)
        stream.width = stream.height = 16
        for packet in [*stream.encode(av.VideoFrame(16, 16, "yuv420p")), *stream.encode()]:
            out.mux(packet)
    with pytest.raises(brilox.base.error, match="no audio stream"):
        brilox.sound.Sound(tmp_path / "still.mp4")
    with pytest.raises(FileNotFoundError):
        brilox.sound.Sound(tmp_path / "gone.wav")
