"""The one reader under every source (open, stream choice, seek with its
fallback, decode, close), and the sound decoded over it against FFmpeg's
own decode: streams that start late, compressed sound sought into, 96 kHz
in six channels, and the passes of a loop."""

import os
import subprocess

import pytest

from brilox.media.frames import BadInput

np = pytest.importorskip("numpy")
av = pytest.importorskip("av")

RATE = 48000
SWEEP = "aevalsrc=0.4*sin(2*PI*(200+300*t)*t):s=%d:d=3"
SIX = ("aevalsrc=0.4*sin(2*PI*(200+300*t)*t)|0.3*sin(2*PI*300*t)|0.2*sin(2*PI*500*t)|"
       "0.1*sin(2*PI*70*t)|0.2*sin(2*PI*700*t)|0.3*sin(2*PI*(900-100*t)*t):s=96000:d=3:c=5.1")


def ffmpeg(*args):
    return subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", *map(str, args)],
                          capture_output=True, check=True, timeout=60).stdout


@pytest.fixture(scope="module")
def clips(tmp_path_factory):
    folder = tmp_path_factory.mktemp("reader")
    picture = ["-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25:duration=3"]
    # Every stream starts at 1.4 s; FFmpeg picks the second sound, the default.
    ffmpeg(*picture, "-f", "lavfi", "-i", SWEEP % RATE, "-output_ts_offset", 1.4, "-map", 0,
           "-map", 1, "-map", 1, "-disposition:a:1", "default", "-disposition:a:0", 0,
           "-c:v", "ffv1", "-c:a", "flac", folder / "late.mkv")
    ffmpeg("-f", "lavfi", "-i", SWEEP % RATE, "-c:a", "libmp3lame", "-q:a", 0, folder / "s.mp3")
    ffmpeg("-f", "lavfi", "-i", SWEEP % RATE, "-c:a", "aac", "-b:a", "192k", folder / "s.m4a")
    ffmpeg("-f", "lavfi", "-i", SIX, "-c:a", "flac", folder / "six.mka")
    # Key frames a second apart, with B-frames that no frame refers to.
    ffmpeg(*picture, "-c:v", "libx264", "-g", 25, "-bf", 2, "-b-pyramid", "none",
           folder / "keys.mp4")
    # An elementary stream: the container cannot seek in it.
    ffmpeg(*picture, "-c:v", "libx264", "-g", 10, folder / "raw.h264")
    return folder


@pytest.mark.parametrize("kind, index, found", [
    ("video", None, 0), ("audio", None, 2), ("audio", 1, 1),
    ("audio", 0, "late.mkv: stream 0 is not an audio stream (1, 2)"),
    ("video", 7, "late.mkv: stream 7 is not a video stream (0)"),
    ("subtitle", 0, "late.mkv: stream 0 is not a subtitle stream (it has none)"),
    ("subtitle", None, "late.mkv: no subtitle stream"),
])
def test_a_stream_is_ffmpegs_pick_or_the_one_asked_for(clips, kind, index, found):
    from brilox.media.sources.reader import Reader
    os.chdir(clips)
    reader = Reader(av, "late.mkv", "late.mkv")
    try:
        if (kind == "audio" and index is None and not hasattr(reader.container.streams, "best")
                and not hasattr(reader.container.streams[0], "disposition")):
            pytest.skip("this PyAV tells neither FFmpeg's pick nor which stream is the default")
        if isinstance(found, int):
            assert reader.choose(kind, index, "stream").index == found
        else:
            with pytest.raises(BadInput) as refused:
                reader.choose(kind, index, kind + "_stream")
            assert str(refused.value) == found
            assert refused.value.argument == (kind + "_stream" if index is not None else None)
    finally:
        reader.close()
    assert reader.container is None
    reader.close()
    with pytest.raises(BadInput, match="^gone.mkv: No such file or directory$"):
        Reader(av, "gone.mkv", "gone.mkv")


def unpadded(planes, width, height):
    """yuv420p planes' rows, without the padding at their ends."""
    out = b""
    for plane, (w, h) in zip(planes, ((width, height), (width // 2, height // 2))
                             + ((width // 2, height // 2),)):
        data = bytes(memoryview(plane).cast("B"))
        stride = len(data) // h
        out += b"".join(data[row * stride:row * stride + w] for row in range(h))
    return out


def planes_of(frame):
    return frame.to_ndarray(format="yuv420p")


@pytest.mark.parametrize("reopen, after", [(True, 0), (False, 12)])
def test_where_the_container_cannot_seek_the_file_reads_on_or_again(clips, reopen, after):
    from brilox.media.sources.reader import Reader
    reader = Reader(av, str(clips / "raw.h264"), "raw.h264")
    reader.read(reader.choose("video"))
    frames = [planes_of(reader.next_frame()) for _ in range(12)]
    assert reader.seek(1.0, reopen=reopen) is False
    frame = planes_of(reader.next_frame())
    reader.close()
    if after < len(frames):
        assert (frame == frames[after]).all()
    else:
        assert not any((frame == f).all() for f in frames)


def test_a_file_that_starts_at_1_4_s_is_numbered_and_sought_from_its_start(clips):
    from brilox.media.sources.media import open_media
    decoded = np.frombuffer(ffmpeg("-i", clips / "late.mkv", "-f", "rawvideo", "-pix_fmt",
                                   "yuv420p", "-"), np.uint8).reshape(75, -1)
    source = open_media(str(clips / "late.mkv"), True)
    try:
        assert (source.start, source.time_of(50), source.last(0)) == (1.4, 2.0, 74)
        # A time within half a frame of the end is the last frame's, in any pass.
        assert [source.index_at(2.99, base) for base in (0, 75, 150)] == [74, 149, 224]
        for index in (50, 3, 74, 49):
            planes = source.get(index)
            assert unpadded(planes, 64, 48) == decoded[index].tobytes(), index
    finally:
        source.close()
    assert source.container is None


@pytest.fixture
def device(monkeypatch, tmp_path):
    monkeypatch.setenv("SDL_AUDIODRIVER", "disk")
    monkeypatch.setenv("SDL_DISKAUDIOFILE", str(tmp_path / "out.raw"))
    monkeypatch.setenv("SDL_DISKAUDIODELAY", "0")


def decoded(path, start=0.0, rate=RATE, channels=2):
    """FFmpeg's decode of a file's sound as the device takes it, from the
    stream's time `start` on (its first sample is the stream's start)."""
    data = ffmpeg("-i", path, "-vn", "-f", "s16le", "-ar", rate, "-ac", channels, "-")
    return np.frombuffer(data, "<i2").reshape(-1, channels).astype(float)[round(start * rate):]


def made(sound, seconds):
    """What a Sound queues next, `seconds` of it."""
    wanted, data = round(seconds * sound.rate) * sound.frame_bytes, b""
    while len(data) < wanted:
        more = sound._next_bytes()
        if more is None:
            break
        data += more
    return np.frombuffer(data[:wanted], "<i2").reshape(-1, sound.channels).astype(float)


def lag_and_snr(got, wanted):
    """The shift of `got` against `wanted` (samples, within 1200), and the
    ratio of signal to what differs there, in dB."""
    fits = []
    for lag in range(-1200, 1201):
        w = wanted[max(0, lag):][:min(len(got) - 1200, 9600)]
        g = got[max(0, -lag):][:len(w)]
        fits.append((np.mean((w - g) ** 2), lag, np.mean(w ** 2)))
    noise, lag, power = min(fits)
    return lag, 10 * np.log10(power / max(noise, 1e-9))


@pytest.mark.timeout(120)
@pytest.mark.parametrize("name, index, origin, at, lags, snr, device_format", [
    # From 1.0 s into a video whose streams start at 1.4 s.
    ("late.mkv", 1, 1.4, 1.0, (0,), 100, None),
    # Compressed sound sought into: the samples sought are the first heard.
    ("s.m4a", 0, 0.0, 1.0, (0,), 40, None),
    ("s.mp3", 0, 0.0, 2.0, (0,), 12, None),
    # 96 kHz in six channels, to the device's 48 kHz stereo: FFmpeg's own
    # seek starts its resampler 16 samples early too.
    ("six.mka", 0, 0.0, 1.0, (0, -16), 40, None),
    ("six.mka", 0, 0.0, 0.0, (0,), 40, None),
    # A game's device of 96 kHz in six channels, the sound on a channel of it.
    ("late.mkv", 1, 1.4, 0.5, (0,), 40, (96000, 6)),
    ("six.mka", 0, 0.0, 0.0, (0,), 40, (96000, 6)),
])
def test_the_sound_sought_is_what_ffmpeg_decodes_there(clips, device, name, index, origin,
                                                       at, lags, snr, device_format):
    import brilox.sound
    from brilox.media.sound import Sound
    channel = None
    if device_format is not None:
        assert brilox.sound.open(*device_format, -16, 1.0)[:2] == device_format
        channel = brilox.sound.Channel(1)
    sound = Sound(av, str(clips / name), index, origin=origin, channel=channel)
    try:
        start = float(sound.stream.start_time * sound.stream.time_base) - origin
        sound.seek(at)
        got = made(sound, 0.6)
        # The clock starts at the first sample kept: the time sought, or the
        # stream's start after it, also where the decoder drops the first
        # frame it decodes after a seek (FFmpeg's AAC decoder in PyAV 19).
        first = sound.map.time(0)
        assert first - max(at, start) == pytest.approx(0, abs=1e-9)
    finally:
        sound.close()
        brilox.sound.quit()
    # The first 0.1 s of sound sought in compressed sound may differ.
    rate, channels = device_format or (RATE, 2)
    wanted = decoded(clips / name, first - start, rate, channels)
    found = lag_and_snr(got[rate // 10:], wanted[rate // 10:])
    assert found[0] in lags and found[1] > snr, found


@pytest.mark.timeout(120)
@pytest.mark.parametrize("length", [1.5, 3.25])
def test_a_loops_passes_are_the_sound_cut_or_filled_to_their_length(clips, device, length):
    """Passes longer than the device's one-second buffer, looped: each is
    the stream from its start, cut to the pass or followed by silence."""
    from brilox.media.sound import Sound
    sound = Sound(av, str(clips / "late.mkv"), 1, origin=1.4)
    try:
        sound.loop_length = length
        sound.seek(0.5)
        got = made(sound, 2 * length - 0.5)
        assert sound.map.time(len(got)) == pytest.approx(2 * length, abs=1e-9)
    finally:
        sound.close()
    wanted = decoded(clips / "late.mkv")
    wanted = np.concatenate([wanted, np.zeros((max(0, round(length * RATE) - len(wanted)), 2))])
    wanted = wanted[:round(length * RATE)]
    assert len(got) == 2 * len(wanted) - RATE // 2
    assert (got == np.concatenate([wanted[RATE // 2:], wanted])).all()


def test_play_behind_skips_unreferenced_frames_and_jumps_to_a_key_frame(clips):
    """While play is behind the decoder skips the frames no other refers
    to: each frame it keeps is numbered by its timestamp, and is FFmpeg's
    frame of that number.  A jump goes on from the key frame at or before
    the frame asked for, never back to frames already decoded."""
    from brilox.media.sources.media import open_media
    decoded = np.frombuffer(ffmpeg("-i", clips / "keys.mp4", "-f", "rawvideo", "-pix_fmt",
                                   "yuv420p", "-"), np.uint8).reshape(75, -1)
    source = open_media(str(clips / "keys.mp4"), False)
    try:
        kept, index = [], 0
        while index < 40:
            if index == 5:
                source.hurry(True)
            planes = source.get(index)
            if planes is None:
                index = source.following(index)
                planes = source.get(index)
            assert unpadded(planes, 64, 48) == decoded[index].tobytes(), index
            kept.append(index)
            index += 1
        assert kept[:6] == list(range(6)) and 20 <= len(kept) <= 30, kept
        source.hurry(False)
        assert source.key_interval == 1.0
        assert source.jump(60) == 50 and source.jump(45) is None
        for index in (50, 51, 52):
            assert unpadded(source.get(index), 64, 48) == decoded[index].tobytes(), index
    finally:
        source.close()
