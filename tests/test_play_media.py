"""brilox-play on clips made at run time by ffmpeg: media files and raw
frames in FFmpeg's layouts, odd sizes among them.  What the overlay holds
after each frame, read under a lock, is compared with ffmpeg's own yuv420p
output of the same frames: stretched to full range where the video is
limited range and the SDL in use, by the colour probe's finding, takes
levels as full range; squeezed to limited range where the video is full
range and SDL takes levels as limited range; as it is otherwise.

Frames that FFmpeg's scaler converts (4:4:4 to 4:2:0) are held to a PSNR,
not to equality: the player's FFmpeg (PyAV's) and the ffmpeg program may
be of different versions, whose chroma filters differ in the last levels."""

import math
import os
import re
import subprocess
import sys
import time

import pytest

import brilox.display
import brilox.play
import brilox.media.colour as colour
import brilox.play.player
import brilox.media.video
from brilox.media import seek
from play_clips import CUTSCENE, TITLE_MENU, play
from support import sdl

W, H = 641, 361
FRAMES = 10


def ffmpeg(*args, stdout=subprocess.DEVNULL):
    return subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", *map(str, args)],
                          stdout=stdout, check=True, timeout=60).stdout


@pytest.fixture(scope="module")
def clips(tmp_path_factory):
    folder = tmp_path_factory.mktemp("clips")
    made = {}

    def make(name, width, height, *args, times=""):
        made[name] = folder / name
        # testsrc2 keeps to even sizes: it is scaled to odd ones.
        ffmpeg("-f", "lavfi", "-i", "testsrc2=size=640x360:rate=25", "-frames:v", FRAMES,
               "-vf", "scale=%d:%d%s" % (width, height, times), *args, made[name])

    # Gaps of 40 ms, then of 80 ms from the sixth frame: shown by timestamp.
    make("odd.mkv", W, H, "-fps_mode", "passthrough", "-c:v", "ffv1", "-pix_fmt", "yuv420p",
         times=",settb=1/1000,setpts=N*40+max(N-5\\,0)*40")
    make("full.mkv", W, H, "-c:v", "ffv1", "-pix_fmt", "yuv420p", "-color_range", "pc")
    make("444.mp4", 320, 240, "-c:v", "libx264", "-pix_fmt", "yuv444p")
    make("odd.nv12", W, H, "-f", "rawvideo", "-pix_fmt", "nv12")
    make("odd.yuv", W, H, "-f", "rawvideo", "-pix_fmt", "yuv420p")
    make("10bit.raw", 320, 240, "-f", "rawvideo", "-pix_fmt", "yuv420p10le")
    # Packed 4:2:2 of an odd width, which no packed overlay shows.
    make("odd.uyvy", W, H, "-f", "rawvideo", "-pix_fmt", "uyvy422")
    make("odd422.nut", W, H, "-c:v", "rawvideo", "-pix_fmt", "yuyv422")
    # Two video streams: the one FFmpeg picks is the second, the default.
    made["two.mkv"] = folder / "two.mkv"
    ffmpeg("-f", "lavfi", "-i", "testsrc=size=64x48:rate=25", "-f", "lavfi", "-i",
           "testsrc2=size=640x360:rate=25", "-t", FRAMES / 25, "-filter_complex",
           "[1]scale=%d:%d[big]" % (W, H), "-map", "0", "-map", "[big]", "-c:v", "ffv1",
           "-pix_fmt", "yuv420p", "-disposition:v:0", "0", "-disposition:v:1", "default",
           made["two.mkv"])
    # Video of 1 s beside sound of 3 s.  Matroska tells only the file's
    # length, which is the sound's; MP4 tells the video's own too.
    for name in ("sound3s.mkv", "sound3s.mp4"):
        made[name] = folder / name
        ffmpeg("-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25:duration=1", "-f", "lavfi",
               "-i", "sine=duration=3", "-c:v", "libx264", "-pix_fmt", "yuv420p", made[name])
    # 2 s of video alone, for the cut-scene example.
    made["2s.mp4"] = folder / "2s.mp4"
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25:duration=2", "-pix_fmt", "yuv420p",
           made["2s.mp4"])
    # 12 s at 25 fps, a key frame every 2 s.
    made["long.mp4"] = folder / "long.mp4"
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25", "-frames:v", 300, "-c:v",
           "libx264", "-g", 50, "-pix_fmt", "yuv420p", made["long.mp4"])
    # 10 s at 29.97 fps, whose frames' times are no whole number of
    # milliseconds: a frame's number follows from its time by rounding.
    made["long2997.mp4"] = folder / "long2997.mp4"
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=64x48:rate=30000/1001", "-frames:v", 300,
           "-c:v", "libx264", "-g", 50, "-pix_fmt", "yuv420p", made["long2997.mp4"])
    # 30 s at 25 fps, each frame's number in its bits (columns 8 pixels
    # wide, light for 1), in I, P and B frames (only some of them referred
    # to), a key frame every 64 frames.
    made["numbered.mp4"] = folder / "numbered.mp4"
    ffmpeg("-f", "lavfi", "-i", "color=size=128x16:rate=25", "-frames:v", 750, "-vf",
           "geq=lum='if(bitand(N\\,pow(2\\,floor(X/8)))\\,235\\,16)':cb=128:cr=128",
           "-c:v", "libx264", "-g", 64, "-x264-params", "b-adapt=0:bframes=3",
           "-pix_fmt", "yuv420p", made["numbered.mp4"])
    # 8 frames each, numbered on from 100, 200 and 300 (the second twice as
    # tall), in a list beside a file that is no video.
    for k, height in ((1, 16), (2, 32), (3, 16)):
        made["n%d.mp4" % k] = folder / ("n%d.mp4" % k)
        ffmpeg("-f", "lavfi", "-i", "color=size=128x%d:rate=25" % height, "-frames:v", 8,
               "-vf", "geq=lum='if(bitand(N+%d\\,pow(2\\,floor(X/8)))\\,235\\,16)'"
               ":cb=128:cr=128" % (100 * k), "-c:v", "libx264", "-pix_fmt", "yuv420p",
               made["n%d.mp4" % k])
    (folder / "broken.mp4").write_bytes(b"no video here\n" * 4)
    made["list.m3u8"] = folder / "list.m3u8"
    made["list.m3u8"].write_text("#EXTM3U\n# made by the tests\nn1.mp4\n\nbroken.mp4\n%s\n"
                                 "n3.mp4\n" % made["n2.mp4"], encoding="utf-8")
    for name in ("long.ts", "long.h264"):  # in a transport stream, and elementary
        made[name] = folder / name
        ffmpeg("-i", made["long.mp4"], "-c", "copy", made[name])
    # Cut to their first halves; their headers promise 300 frames (the MP4's
    # in its index, the Matroska's in its duration).
    for name, args in (("cut.mp4", ["-movflags", "+faststart"]), ("cut.mkv", [])):
        made[name] = folder / name
        ffmpeg("-i", made["long.mp4"], "-c", "copy", *args, made[name])
        made[name].write_bytes(made[name].read_bytes()[:made[name].stat().st_size // 2])
    return made


def reference(path, *raw, pick=()):
    """ffmpeg's yuv420p output of a clip, frame after frame."""
    return ffmpeg(*raw, "-i", path, *pick, "-fps_mode", "passthrough", "-f", "rawvideo",
                  "-pix_fmt", "yuv420p", "-",
                  stdout=subprocess.PIPE)


def planes_of(data, width, height):
    cw, ch = (width + 1) // 2, (height + 1) // 2
    frame = width * height + 2 * cw * ch
    out = []
    for at in range(0, len(data), frame):
        y = data[at:at + width * height]
        u = data[at + width * height:at + width * height + cw * ch]
        v = data[at + width * height + cw * ch:at + frame]
        # What an overlay of this size holds: h // 2 rows of w // 2 chroma.
        out.append((y, b"".join(u[r * cw:r * cw + width // 2] for r in range(height // 2)),
                    b"".join(v[r * cw:r * cw + width // 2] for r in range(height // 2))))
    return out


def cropped(frame, width, height):
    """A recorded frame's planes as an overlay of width x height holds them:
    h rows of w luma, h // 2 rows of w // 2 chroma."""
    return tuple(b"".join(data[r * pitch:r * pitch + w] for r in range(rows))
                 for (data, pitch), w, rows in zip(frame, (width, width // 2, width // 2),
                                                   (height, height // 2, height // 2)))


def psnr(shown, wanted):
    error = sum((a - b) ** 2 for a, b in zip(shown, wanted))
    return math.inf if error == 0 else 10 * math.log10(255 ** 2 * len(wanted) / error)


@pytest.fixture(scope="module")
def sdl_full_range():
    """Whether the SDL in use takes levels as full range, by the colour
    probe."""
    brilox.display.init()
    try:
        brilox.display.set_mode((64, 64))
        return colour.probe(sdl.IYUV).full_range
    finally:
        brilox.display.quit()


@pytest.fixture
def shown(monkeypatch):
    """The planes (Y, U, V) each frame left in the player's overlay, as
    (bytes, pitch): cropped(frame, w, h) gives a w x h picture's part (an
    overlay may be larger where SDL shows odd sizes wrong)."""
    frames = []

    class Recorder(brilox.media.video.Overlay):
        def display(self, *frame):
            super().display(*frame)
            frames.append(tuple(sdl.overlay_plane(self, plane)[:2] for plane in (0, 2, 1)))

    monkeypatch.setattr(brilox.media.video, "Overlay", Recorder)
    return frames


@pytest.mark.timeout(120)
@pytest.mark.parametrize("clip, args, raw, size, least, levels", [
    ("odd.mkv", [], [], (W, H), math.inf, "limited"),
    ("444.mp4", [], [], (320, 240), 28, "limited"),
    ("odd.nv12", ["--size", "641x361"], ["-f", "rawvideo", "-pix_fmt", "nv12", "-s", "641x361"],
     (W, H), math.inf, "limited"),
    ("odd.yuv", ["--size", "641x361"], ["-f", "rawvideo", "-pix_fmt", "yuv420p", "-s", "641x361"],
     (W, H), math.inf, "limited"),
    ("10bit.raw", ["--size", "320x240", "--format", "yuv420p10le"],
     ["-f", "rawvideo", "-pix_fmt", "yuv420p10le", "-s", "320x240"], (320, 240), 28, "limited"),
    ("odd.uyvy", ["--size", "641x361"], ["-f", "rawvideo", "-pix_fmt", "uyvy422", "-s", "641x361"],
     (W, H), 28, "limited"),
    ("odd422.nut", [], [], (W, H), 28, "limited"),
    ("two.mkv", [], [], (W, H), math.inf, "limited"),
    ("two.mkv", ["--video-stream", "0"], [], (64, 48), math.inf, "limited"),
    # Full-range video goes in as it is, unless --range says otherwise.
    ("full.mkv", [], [], (W, H), math.inf, "full"),
    ("full.mkv", ["--range", "limited"], [], (W, H), math.inf, "limited"),
    ("odd.yuv", ["--size", "641x361", "--range", "full", "--format", "yuv420p"],
     ["-f", "rawvideo", "-pix_fmt", "yuv420p", "-s", "641x361"], (W, H), math.inf, "full"),
])
def test_each_frame_shows_what_ffmpeg_renders(clips, shown, capsys, sdl_full_range, clip, args,
                                              raw, size, least, levels):
    assert brilox.play.main([str(clips[clip]), "--headless", *args]) == 0
    assert capsys.readouterr().out.startswith("brilox-play: %d frames, " % FRAMES)
    shown = [cropped(frame, *size) for frame in shown]
    # A stream chosen by its index: that one of the file.
    pick = ["-map", "0:" + args[-1]] if "--video-stream" in args else []
    wanted = planes_of(reference(clips[clip], *raw, pick=pick), *size)
    convert = {colour.EXPAND: colour.expand, colour.COMPRESS: colour.compress}.get(
        colour.conversion(levels, "auto", sdl_full_range))
    if convert:
        wanted = [(convert(y, colour.LUMA), convert(u, colour.CHROMA),
                   convert(v, colour.CHROMA)) for y, u, v in wanted]
    assert len(shown) == len(wanted) == FRAMES
    for n in (0, FRAMES // 2, FRAMES - 1):
        scores = [psnr(a, b) for a, b in zip(shown[n], wanted[n])]
        assert min(scores) >= least, (n, scores)
    # A frame against the next scores low: the check tells frames apart
    # (the small stream's frames differ too little: the other stream's
    # frames, larger, would fail it by far).
    assert pick or psnr(shown[1][0], wanted[0][0]) < 30


@pytest.mark.timeout(120)
def test_media_plays_by_timestamps_and_loops(clips, shown, capsys):
    from brilox.media.sources.media import open_media
    source = open_media(str(clips["odd.mkv"]), False)
    try:
        gaps = [round(source.duration(n), 6) for n in range(FRAMES - 1)]
    finally:
        source.close()
    assert gaps == [0.04] * 5 + [0.08] * 4
    assert brilox.play.main([str(clips["odd.mkv"]), "--headless", "--loop", "--frames", "13"]) == 0
    assert len(shown) == 13 and shown[FRAMES:] == shown[:3]
    # Each of three passes, kept, is timed from its own start.
    source = open_media(str(clips["odd.mkv"]), True)
    try:
        assert all(source.get(n) for n in range(3 * FRAMES))
        times = [round(source.time_of(n), 6) for n in range(3 * FRAMES)]
    finally:
        source.close()
    assert times == times[:FRAMES] * 3 and times[FRAMES - 1] == 0.52


@pytest.mark.timeout(120)
@pytest.mark.parametrize("clip", ["cut.mp4", "cut.mkv"])
def test_a_file_cut_short_plays_what_it_has_and_says_so(clips, monkeypatch, capsys, clip):
    import brilox.display as d
    from play_clips import play_on_clock
    # Paused at the start, then to the end: the last frame there is.
    status, shown = play_on_clock(monkeypatch, [clips[clip]], [
        (0.01, d.KEYDOWN, d.K_SPACE), (0.2, d.KEYDOWN, d.K_END), (0.3, d.KEYDOWN, d.K_q)])
    assert status == 0
    err = capsys.readouterr().err
    # One line, after what the decoder said of the broken end where it did.
    said = re.search(r"brilox-play: (.*?): (decoding stopped: [^;\n]*; )?the file ended early: "
                     r"(\d+) of its 300 frames read\n$", err)
    assert said and said.group(1) == str(clips[clip]), err
    # FFmpeg's own tool gets a few frames more out of the broken end.
    wanted, count = planes_of(reference(clips[clip]), 64, 48), int(said.group(3))
    assert 0 < count <= len(wanted) <= count + 5 and len(shown) == 2
    # The last frame's data may be cut part way: decoders hide the loss
    # each their own way.
    assert min(psnr(a, b) for a, b in zip(shown[0][1], wanted[0])) >= 40
    assert min(psnr(a, b) for a, b in zip(shown[1][1], wanted[count - 1])) >= 30
    # The status line's total is what came.
    assert "frame %d/%d  0:%04.1f / 0:%04.1f  paused" % (
        count - 1, count, (count - 1) // 2.5 / 10, count // 2.5 / 10) in err, err


@pytest.mark.parametrize("clip, length", [("sound3s.mkv", 3.0), ("sound3s.mp4", 1.0)])
def test_a_file_whose_sound_runs_on_past_the_video_is_not_cut_short(clips, capsys, clip, length):
    from brilox.media.sources.media import open_media
    source = open_media(str(clips[clip]), False)
    told = source.length
    source.close()
    assert told == pytest.approx(length, abs=0.05)
    assert brilox.play.main([str(clips[clip]), "--headless"]) == 0
    said = capsys.readouterr()
    assert said.out.startswith("brilox-play: 25 frames, ") and "ended early" not in said.err


@pytest.mark.timeout(60)
@pytest.mark.parametrize("args", [["clip.mkv"], ["clip.yuv", "--size", "64x32", "--format",
                                                  "nv12"]])
def test_without_pyav_media_is_refused_saying_what_to_install(tmp_path, args):
    (tmp_path / "av").mkdir()
    (tmp_path / "av" / "__init__.py").write_text("raise ImportError('no av here')\n")
    (tmp_path / "clip.mkv").write_bytes(b"\0" * 100)
    (tmp_path / "clip.yuv").write_bytes(b"\0" * 64 * 32 * 3)
    env = dict(os.environ, PYTHONPATH=str(tmp_path), SDL_VIDEODRIVER="dummy")
    done = subprocess.run([sys.executable, "-m", "brilox.play", *args], cwd=tmp_path, env=env,
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 2
    assert done.stderr.count("\n") == 1
    assert "pip install 'brilox[video]'" in done.stderr


@pytest.mark.timeout(120)
@pytest.mark.parametrize("clip, args, said", [
    ("long.mp4", [], "frame 299/300  0:11.9 / 0:12.0  paused"),
    # The end of a looping file's first pass is its last frame.
    ("long.mp4", ["--loop"], "frame 299  0:11.9 / 0:12.0  paused"),
    ("long2997.mp4", [], "frame 299/300  0:09.9 / 0:10.0  paused"),
    # A transport stream's seeks may land after their frame.
    ("long.ts", [], "frame 299  0:11.9 / 0:12.0  paused"),
    ("long.h264", [], "\nframe 10 is as far back as this can go: only the last 32 frames"),
])
def test_seeks_in_a_media_file_land_on_their_frames(clips, monkeypatch, capsys, clip, args,
                                                     said):
    import brilox.display as d
    from play_clips import play_on_clock
    K = d.KEYDOWN
    # Paused at frame 0: the end, the start, the middle by a right click in
    # a window 101 pixels wide, a step back across a key frame, 1 minute on
    # (past the end: the last frame, after the key frame before it), a step
    # back again.
    events = [(0.01, K, d.K_SPACE), (0.2, K, d.K_END), (0.3, K, d.K_HOME),
              (0.4, d.MOUSEBUTTONDOWN, d.BUTTON_RIGHT, 50, 5), (0.5, K, d.K_LEFT),
              (0.6, K, d.K_UP), (0.7, K, d.K_LEFT), (0.8, K, d.K_q)]
    expected = [0, 299, 0, 150, 149, 250, 299, 298]
    if clip == "long.h264":
        # It refuses seeks, and keeps the last 32 frames, once each.
        # Playing: 1 minute back goes to the oldest of them, and again once
        # past the frame the seek was refused at; 10 s on is decoded to, and
        # plays on; 1 minute back again.
        events = [(1.61, K, d.K_DOWN), (3.05, K, d.K_DOWN), (3.13, K, d.K_RIGHT),
                  (3.29, K, d.K_DOWN), (3.3, K, d.K_q)]
        expected = [*range(41), *range(10, 46), 15, 16, *range(266, 270), 239]
    status, shown = play_on_clock(monkeypatch, [clips[clip], "--window", "101x40", *args],
                                  events)
    assert status == 0
    wanted = planes_of(reference(clips[clip]), 64, 48)
    assert len(shown) == len(expected)
    for (_, planes), n in zip(shown, expected):
        assert min(psnr(a, b) for a, b in zip(planes, wanted[n])) >= 40, n
    assert said in capsys.readouterr().err


def test_the_waveform_follows_seeks_both_ways(tmp_path, monkeypatch):
    """A file of sound alone (16-bit, packed) shows the same picture at a
    frame reached in order as by a seek 2.3 s on, or back; without numpy,
    black."""
    pytest.importorskip("numpy")
    from brilox.media.sources.media import open_media
    clip = str(tmp_path / "tones.wav")
    ffmpeg("-f", "lavfi", "-i", "aevalsrc=0.7*sin(2*PI*(30+60*t)*t)|0.3*sin(2*PI*90*t):d=3",
           "-c:a", "pcm_s16le", clip)
    first, second = open_media(clip, False), open_media(clip, False)
    in_order = [first.get(n) for n in range(14)] + [first.get(70)]
    assert first.size == (640, 480) and first.count == 75 and len(set(in_order)) == 15
    assert [second.get(n) for n in (70, 12, 13, 3)] == [in_order[n] for n in (14, 12, 13, 3)]
    monkeypatch.setitem(sys.modules, "numpy", None)
    black = open_media(clip, False)
    assert black.get(5) == (b"\x10" * 640 * 480, b"\x80" * 320 * 240, b"\x80" * 320 * 240)
    for source in (first, second, black):
        source.close()


def number_of(luma, width=128):
    """The frame number a frame of numbered.mp4 shows."""
    return sum(1 << k for k in range(16) if luma[8 * width + 8 * k + 4] > 128)


@pytest.mark.timeout(120)
def test_a_seek_shows_its_key_frame_then_lands_exactly_decoding_only_what_it_needs(
        clips, monkeypatch):
    import brilox.display as d
    import brilox.media.sources.media as media
    from play_clips import play_on_clock
    taken, converted = [], []
    take, convert = media.MediaFrames._take, media.frame_planes
    monkeypatch.setattr(media.MediaFrames, "_take",
                        lambda self, frame: taken.append(frame.time) or take(self, frame))
    monkeypatch.setattr(media, "frame_planes", lambda *a: converted.append(1) or convert(*a))
    wanted = planes_of(reference(clips["numbered.mp4"]), 128, 16)
    source = media.open_media(str(clips["numbered.mp4"]), False)
    try:
        del taken[:], converted[:]
        number, planes = source.glimpse(230)
        assert number == 192 and bytes(planes[0])[:128 * 16] == wanted[192][0]
        while not source.land(230, 0.001):
            pass
        # Of the 38 frames after the key frame, those no other frame refers
        # to are not decoded, and only the last few are converted.
        assert len(taken) < 30 and len(converted) <= media.SEEK_KEEP + 2
        for n in (230, 229, 231):
            assert tuple(bytes(p) for p in source.get(n)) == wanted[n], n
    finally:
        source.close()
    # Playing, two seeks queued up: each key frame shows, then the frame the
    # second goes to.
    events = [(0.1, d.KEYDOWN, d.K_RIGHT)] * 2 + [(0.2, d.KEYDOWN, d.K_q)]
    status, shown = play_on_clock(monkeypatch, [clips["numbered.mp4"]], events)
    numbers = [number_of(planes[0]) for _, planes in shown]
    at = numbers.index(192)
    assert status == 0 and numbers[at - 1] < 5 and numbers[at:at + 4] == [192, 448, 502, 503], numbers
    assert shown[at + 2][1] == wanted[502]


@pytest.mark.timeout(150)
def test_the_cutscene_example_plays_to_the_end_by_itself(clips):
    start = time.monotonic()
    done = play(clips["2s.mp4"], program=[CUTSCENE])
    assert (done.returncode, done.stdout) == (0, b"cut-scene over\n"), done.stderr
    assert time.monotonic() - start >= 2.0  # not before the video's last frame


@pytest.mark.timeout(150)
def test_the_title_menu_example_draws_over_its_looping_video(tmp_path):
    """Headless, 90 frames (past the 1 s clip's end, so it has looped): the
    saved frame has the clip's green where nothing is drawn, the menu's
    panel and bars over it, and the emblem's gold in its middle and the
    clip at its clear corners."""
    from play_clips import bmp_pixel
    clip, shot = tmp_path / "green.mp4", tmp_path / "menu.bmp"
    ffmpeg("-f", "lavfi", "-i", "color=0x208040:size=64x36:rate=25:duration=1",
           "-pix_fmt", "yuv420p", clip)
    done = play(clip, "--frames", 90, "--save", shot, program=[TITLE_MENU],
                env={"SDL_AUDIODRIVER": "dummy"})
    assert done.returncode == 0, done.stderr
    data = shot.read_bytes()
    near = lambda got, want: all(abs(a - b) <= 8 for a, b in zip(got, want))  # noqa: E731
    green = (0x20, 0x80, 0x40)
    assert near(bmp_pixel(data, 20, 340), green) and near(bmp_pixel(data, 530, 20), green)
    assert bmp_pixel(data, 210, 160) == (16, 16, 48)            # the panel
    assert bmp_pixel(data, 320, 180) == (250, 210, 80)          # the chosen item
    assert bmp_pixel(data, 320, 228) == (90, 90, 140)           # the next
    assert near(bmp_pixel(data, 576, 64), (240, 190, 60))       # the emblem's middle
    assert near(bmp_pixel(data, 530, 18), green)                # its clear corner


@pytest.mark.parametrize("note, words", [
    (seek.Landed(7, seek.SEEK), "jumped to frame 7"),
    (seek.Landed(7, seek.LAST), "jumped to frame 7"),
    (seek.Landed(7, seek.STEP), "stepped to frame 7"),
    (seek.AsFarBack(7, 32),
     "frame 7 is as far back as this can go: only the last 32 frames are kept"),
    (seek.NoFrame(seek.AFTER, 7), "no frame after frame 7"),
    (seek.NoFrame(seek.BEFORE, 7), "no frame before frame 7"),
    (seek.NoEnd(7), "no end to go to: the length is not known (frame 7)"),
])
def test_the_player_words_what_came_of_a_seek(note, words):
    """The engine's typed notes, in the player's words (of the frame up)."""
    from brilox.play.player import note_text
    assert note_text(note) % 7 == words


def runs_of(numbers):
    """Frame numbers as runs of one after another: [first, count] each."""
    runs = []
    for n in numbers:
        if runs and n == runs[-1][0] + runs[-1][1]:
            runs[-1][1] += 1
        else:
            runs.append([n, 1])
    return runs


@pytest.mark.timeout(120)
def test_a_list_plays_in_order_skipping_what_cannot_play(clips, monkeypatch, capsys):
    import brilox.display as d
    from play_clips import play_on_clock
    sizes = []
    set_mode = brilox.play.player.Window.set_mode
    monkeypatch.setattr(brilox.play.player.Window, "set_mode",
                        lambda self: sizes.append(self.size) or set_mode(self))
    K, SHIFT = d.KEYDOWN, d.KMOD_LSHIFT
    # A minute on from the first goes on into the next that plays; > (shift
    # and .) to the third, < back, Enter on again; the third plays out, > there
    # going nowhere.
    events = [(0.1, K, d.K_UP), (0.3, K, d.K_PERIOD, SHIFT), (0.42, K, d.K_LESS),
              (0.5, K, d.K_RETURN), (0.6, K, d.K_GREATER)]
    status, shown = play_on_clock(monkeypatch, [clips["list.m3u8"]], events)
    runs = runs_of([number_of(planes[0]) for _, planes in shown])
    assert status == 0 and [first for first, _ in runs] == [100, 200, 300, 200, 300], runs
    assert runs[0][1] < 8 and runs[-1][1] == 8, runs
    assert sizes == [(128, 16), (128, 32), (128, 16), (128, 32), (128, 16)]
    err = capsys.readouterr().err
    assert err.count("broken.mp4") == 1 and "frame 2/8  0:00.0 / 0:00.3  3/4 n2.mp4  " in err
    assert "\nno file after this one (frame " in err
    assert re.findall(r"^\d/4 .*", err, re.M) == ["1/4 n1.mp4", "3/4 n2.mp4", "4/4 n3.mp4",
                                                  "3/4 n2.mp4", "4/4 n3.mp4"]
    # --loop-file: each file again at its end, until > goes on to the next.
    status, shown = play_on_clock(monkeypatch, [clips["list.m3u8"], "--loop-file"],
                                  [(0.7, K, d.K_GREATER), (0.8, K, d.K_q)])
    firsts = [first for first, _ in runs_of([number_of(planes[0]) for _, planes in shown])]
    assert status == 0 and firsts[:3] == [100, 100, 100] and firsts[-1] == 200, firsts
    capsys.readouterr()
    broken = clips["n1.mp4"].parent / "broken.mp4"
    assert brilox.play.main([str(broken), str(broken), "--headless"]) == 2
    assert capsys.readouterr().err.endswith("\nbrilox-play: none of the 2 files could be played\n")


@pytest.mark.timeout(120)
def test_q_keeps_the_place_for_the_next_start_and_start_lands_exactly(
        clips, monkeypatch, capsys, tmp_path):
    import brilox.display as d
    from play_clips import play_on_clock
    monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path))
    kept = tmp_path / "brilox" / "resume"
    clip = clips["numbered.mp4"]

    def run(*args, quit=(d.K_q, 0), at=0.3, clip=clip):
        status, shown = play_on_clock(monkeypatch, [clip, *args], [(at, d.KEYDOWN, *quit)])
        assert status == 0
        return [number_of(planes[0]) for _, planes in shown], capsys.readouterr().err

    def landed(numbers, frame):
        """Whether play went on from `frame`, after at most a key frame."""
        at = numbers.index(frame)
        return numbers[at:at + 3] == [frame, frame + 1, frame + 2] and all(
            n % 64 == 0 and n < frame for n in numbers[:at])

    left = run(quit=(d.K_q, d.KMOD_RSHIFT), at=3.0)[0][-1]
    assert left > 64 and len(list(kept.iterdir())) == 1
    assert run("--no-resume")[0][0] == 0 and len(list(kept.iterdir())) == 1
    numbers, err = run()
    assert landed(numbers, left), (left, numbers)
    assert "\nresuming at %s\n" % brilox.play.status.clock(left / 25) in err
    # Once used, the place is forgotten; plain q keeps none.
    assert run()[0][0] == 0 and not list(kept.iterdir())
    for start, frame in (("4.4", 110), ("0:7.2", 180), ("0:00:06.04", 151)):
        assert landed(run("--start", start)[0], frame), start
    # Played to its end, a file's place is forgotten too.
    run(quit=(d.K_q, d.KMOD_LSHIFT), at=0.1, clip=clips["n1.mp4"])
    assert len(list(kept.iterdir())) == 1
    assert run("--no-resume", clip=clips["n1.mp4"], at=5)[0] == list(range(100, 108))
    assert not list(kept.iterdir())
    assert brilox.play.main([str(clip), "--start", "0:30", "--headless"]) == 2
    assert capsys.readouterr().err == ("brilox-play: --start 0:30.0 is past the end of %s "
                                       "(0:30.0)\n" % clip)
