"""brilox.sound on real SDL, whose disk driver writes what would be heard
(waiting SDL_DISKAUDIODELAY ms between buffers).  16-bit stereo at 48 kHz
reaches its file unconverted on both SDL builds."""

import array
import ctypes
import time
import wave

import pytest

import brilox.base
import brilox.sound
from support import sdl

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
    args = {"queue": (b"",), "pause": (1,), "set_volume": (5,), "set_mute": (1,)}
    for name in ("close", "flush", "queued", "underruns", "get_volume", "get_mute", "clock",
                 "latency", *args):
        with pytest.raises(brilox.base.error, match="^sound not open$"):
            getattr(s, name)(*args.get(name, ()))
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
                             (s.set_volume, -1, ValueError), (s.set_volume, 101, ValueError)):
        with pytest.raises(error):
            call(bad)
    assert s.get_volume() == 100 and s.queued() == 0
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
    sent = 2400 * FRAME
    s.pause(False)
    deadline = time.monotonic() + 10
    while sent < len(raw):  # odd chunks, so that the copies wrap anywhere
        sent += s.queue(raw[sent:sent + 333 * FRAME])
        assert sent % FRAME == 0 and time.monotonic() < deadline
        time.sleep(0.001)
    wait_until(lambda: s.queued() == 0)
    s.close()
    played = array.array("h", written(tmp_path))
    assert array.array("h", (v for v in played if v)) == data


@pytest.mark.parametrize("size", [-16, 16, -8, 8])
def test_volume_rounds_each_sample_and_mute_plays_silence(sound, tmp_path, size):
    if abs(size) == 8 and sdl.over_sdl2():
        pytest.skip("SDL 2 converts 8-bit samples before its disk driver writes them")
    s = sound("disk", delay=2)
    assert s.open(RATE, CHANNELS, size)[2] == size
    low, high = (-32768, 32767) if abs(size) == 16 else (-128, 127)
    centred = [low, high, low + 1, high - 1, -1, 1, -3, 3, -101, 101, low // 3, high // 3] * 4
    width = abs(size) // 8
    for volume, mute in ((50, False), (100, False), (37, True)):
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
    for volume in (50, 100):
        # Each sample rounded to the nearest, halves up, and never wrapped.
        expected = samples(size, [(v * volume + 50) // 100 for v in centred]).tobytes()
        start = played.find(expected, end)
        assert start >= 0, volume
        end = start + len(expected)
        # The rest of SDL's buffer: silence at the middle of the range.
        assert played[end:start + SAMPLES * CHANNELS * width] == \
            silence * (SAMPLES * CHANNELS - len(centred))
    # Muted: nothing but silence, ours or SDL's own while paused.
    heard = set(array.array(CODES[size], played[end:])) - {ZERO[size], 0, 0x8080}
    assert not heard


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
    # A buffer and a half: SDL's first call takes a whole buffer, and every
    # call after it finds the ring short (the second part way).  Each call is
    # counted as it comes: SDL writes each buffer after its call, so the
    # calls made lie between the buffers written before and after a reading.
    offset = len(written(tmp_path))
    s.queue(raw[:SAMPLES * FRAME * 3 // 2])
    s.pause(False)

    def calls():
        data = written(tmp_path)
        at = data.find(raw[:8], offset)
        return 0 if at < 0 else (len(data) - at) // (SAMPLES * FRAME)
    readings = []
    while not readings or readings[-1][0] < 4:
        done, runs, later = calls(), s.underruns(), calls()
        assert max(0, done - 1) <= runs <= later, (done, runs, later)
        readings.append((done, runs))
        assert len(readings) < 5000, "SDL stopped calling"
        time.sleep(0.001)
    assert {(2, 1), (3, 2)} <= set(readings)
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
    from brilox.play.sound import LEAD_IN, PREROLL, Sound
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
