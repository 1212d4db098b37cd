"""brilox-play headless: what ends up on the display surface, read back from
its screenshot, for clips of known colours in every format, from a file and
from standard input, and for the test pattern.

The screenshot holds the frame on every SDL build: where the display
surface does not receive the overlay (sdl12-compat), the player makes it
from the frame itself.
"""

import re

import pytest

from brilox.play.pattern import BARS, DIGITS, PatternFrames
from play_clips import (CELL, CELLS, COLOURS, HEIGHT, WIDTH, bars, bmp_pixel, bmp_size,
                        brightness, frame, grey, play)

FORMATS = ["i420", "yv12", "yuy2", "uyvy"]


def cell_colours(shot, left=0, top=0, scale=1):
    """The brightness of the centre of each 16 x 16 cell, as shown at
    (left, top) scaled by `scale`."""
    return [[brightness(bmp_pixel(shot, left + int(scale * (CELL * i + CELL // 2)),
                                  top + int(scale * (CELL * j + CELL // 2))))
             for i in range(len(CELLS[0]))] for j in range(len(CELLS))]


EXPECTED = [[COLOURS[name][1] for name in row] for row in CELLS]


def summary_frames(done):
    match = re.search(rb"brilox-play: (\d+) frames?, ", done.stdout)
    assert match, done.stdout
    return int(match.group(1))


@pytest.mark.parametrize("fmt", FORMATS)
def test_file_shows_its_last_frame_in_true_colours(tmp_path, fmt):
    clip = tmp_path / "clip.yuv"
    clip.write_bytes(frame(fmt, grey) + frame(fmt, bars))
    shot = tmp_path / "shot.bmp"
    done = play(clip, "--size", "%dx%d" % (WIDTH, HEIGHT), "--format", fmt, "--screenshot", shot)
    assert done.returncode == 0, done.stderr
    assert summary_frames(done) == 2
    assert done.stdout.decode().endswith("screenshot: %s\n" % shot)
    data = shot.read_bytes()
    assert bmp_size(data) == (WIDTH, HEIGHT)
    assert cell_colours(data) == EXPECTED


@pytest.mark.parametrize("fmt", FORMATS)
def test_standard_input_skips_a_last_frame_cut_short(tmp_path, fmt):
    whole = frame(fmt, bars)
    shot = tmp_path / "shot.bmp"
    done = play("-", "--size", "%dx%d" % (WIDTH, HEIGHT), "--format", fmt, "--screenshot", shot,
                stdin=frame(fmt, grey) + whole + frame(fmt, grey)[:100])
    assert done.returncode == 0, done.stderr
    assert summary_frames(done) == 2
    assert ("brilox-play: standard input: last frame cut short (100 of %d bytes), skipped"
            % len(whole)) in done.stderr.decode()
    assert cell_colours(shot.read_bytes()) == EXPECTED


def test_standard_input_that_ends_on_a_frame_reports_nothing_cut(tmp_path):
    shot = tmp_path / "shot.bmp"
    done = play("-", "--size", "%dx%d" % (WIDTH, HEIGHT), "--screenshot", shot,
                stdin=frame("i420", grey) + frame("i420", bars))
    assert done.returncode == 0, done.stderr
    assert summary_frames(done) == 2
    assert b"cut short" not in done.stderr
    assert cell_colours(shot.read_bytes()) == EXPECTED


@pytest.mark.parametrize("window, left, top, scale", [
    ((128, 128), 0, 32, 2),     # wider video: black bands above and below
    ((96, 32), 16, 0, 1),       # taller video: bands left and right
    ((32, 16), 0, 0, 0.5),      # smaller window
])
def test_video_is_scaled_to_the_window_keeping_its_shape(tmp_path, window, left, top, scale):
    clip = tmp_path / "clip.yuv"
    clip.write_bytes(frame("i420", bars))
    shot = tmp_path / "shot.bmp"
    done = play(clip, "--size", "%dx%d" % (WIDTH, HEIGHT), "--window", "%dx%d" % window,
                "--screenshot", shot)
    assert done.returncode == 0, done.stderr
    data = shot.read_bytes()
    assert bmp_size(data) == window
    if scale >= 1:
        assert cell_colours(data, left, top, scale) == EXPECTED
    if top:
        assert bmp_pixel(data, window[0] // 2, top // 2) == (0, 0, 0)
        assert bmp_pixel(data, window[0] // 2, window[1] - top // 2) == (0, 0, 0)
    if left:
        assert bmp_pixel(data, left // 2, window[1] // 2) == (0, 0, 0)
        assert bmp_pixel(data, window[0] - left // 2, window[1] // 2) == (0, 0, 0)


@pytest.mark.parametrize("frames, loop, shown, last", [
    (5, True, 5, "grey"),       # frames 0 1 0 1 0
    (4, True, 4, "bars"),
    (5, False, 2, "bars"),      # a file ends at its end
    (1, False, 1, "grey"),
])
def test_frame_limit_and_loop(tmp_path, frames, loop, shown, last):
    clip = tmp_path / "clip.yuv"
    clip.write_bytes(frame("i420", grey) + frame("i420", bars))
    shot = tmp_path / "shot.bmp"
    done = play(clip, "--size", "%dx%d" % (WIDTH, HEIGHT), "--frames", frames,
                *(["--loop"] if loop else []), "--screenshot", shot)
    assert done.returncode == 0, done.stderr
    assert summary_frames(done) == shown
    seen = cell_colours(shot.read_bytes())
    if last == "bars":
        assert seen == EXPECTED
    else:
        assert all(b == (None,) * 3 for row in seen for b in row)


def pattern_shot(tmp_path, fmt, frames, size=(320, 240)):
    shot = tmp_path / "pattern.bmp"
    done = play("--format", fmt, "--size", "%dx%d" % size, "--frames", frames,
                "--screenshot", shot)
    assert done.returncode == 0, done.stderr
    assert summary_frames(done) == frames
    return shot.read_bytes()


@pytest.mark.parametrize("fmt", FORMATS)
def test_pattern_shows_the_bars_and_the_frame_number(tmp_path, fmt):
    width, height = 320, 240
    data = pattern_shot(tmp_path, fmt, 13)
    bar = width // len(BARS)
    # Bar colours as bright channels: white, yellow, cyan, green, magenta,
    # red, blue, black.
    assert [brightness(bmp_pixel(data, bar * k + bar // 2, 40)) for k in range(len(BARS))] == [
        (1, 1, 1), (1, 1, 0), (0, 1, 1), (0, 1, 0), (1, 0, 1), (1, 0, 0), (0, 0, 1), (0, 0, 0)]
    # The number of the frame shown last, 12, in the band below the bars.
    pattern = PatternFrames(fmt, width, height, 30)
    s, top = pattern.scale, pattern.bars_height + pattern.scale
    for place, digit in enumerate("00012"):
        for cell, on in enumerate(DIGITS[int(digit)]):
            x = s + place * 4 * s + (cell % 3) * s + s // 2
            y = top + (cell // 3) * s + s // 2
            assert brightness(bmp_pixel(data, x, y)) == ((1, 1, 1) if on == "1" else (0, 0, 0))


def test_pattern_block_moves_from_frame_to_frame(tmp_path):
    first = pattern_shot(tmp_path, "i420", 1)
    later = pattern_shot(tmp_path, "i420", 20)
    band = range(0, 320 * 3 // 4)
    differs = [x for x in band if bmp_pixel(first, x, 200) != bmp_pixel(later, x, 200)]
    assert differs, "the band looks the same on frames 0 and 19"


@pytest.mark.parametrize("size", [(2, 2), (8, 2), (2, 30)])
def test_pattern_fits_tiny_sizes(tmp_path, size):
    data = pattern_shot(tmp_path, "i420", 3, size)
    assert bmp_size(data) == size


def test_headless_pattern_stops_by_itself():
    done = play()
    assert done.returncode == 0, done.stderr
    assert summary_frames(done) == 300


@pytest.mark.parametrize("width", [1, 3, 5, 7])
@pytest.mark.parametrize("kind", ["bmp", "png"])
def test_image_files_read_back_with_a_standard_reader(tmp_path, width, kind):
    """Rows of every padding BMP has: ffmpeg's reader gives the pixels back,
    and a BMP is as long as its header and padded rows."""
    import subprocess

    from brilox.play.screenshot import write
    rgb = bytes((7 * i + 1) % 256 for i in range(3 * width * 2))
    path = tmp_path / ("shot." + kind)
    write(str(path), width, 2, rgb)
    read = subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-i", str(path), "-f", "rawvideo",
                           "-pix_fmt", "rgb24", "-"], capture_output=True, timeout=60)
    assert read.stdout == rgb, read.stderr
    if kind == "bmp":
        assert path.stat().st_size == 54 + 2 * ((3 * width + 3) // 4 * 4)


def test_s_saves_the_frame_shown_as_the_first_free_png(tmp_path, monkeypatch, capsys):
    """Paused, . steps to the bars and s saves them under the first name
    not taken, as --screenshot saves them at the end."""
    import subprocess

    import brilox.display as d
    from play_clips import play_on_clock
    clip = tmp_path / "clip.yuv"
    clip.write_bytes(frame("i420", grey) + frame("i420", bars) + frame("i420", grey))
    (tmp_path / "brilox-play-0001.png").write_bytes(b"taken")
    monkeypatch.chdir(tmp_path)
    events = [(0.01, d.KEYDOWN, d.K_SPACE), (0.1, d.KEYDOWN, d.K_PERIOD),
              (0.2, d.KEYDOWN, d.K_s), (0.3, d.KEYDOWN, d.K_q)]
    status, shown = play_on_clock(monkeypatch, [clip, "--size", "%dx%d" % (WIDTH, HEIGHT),
                                                "--screenshot", tmp_path / "last.bmp"], events)
    assert status == 0 and len(shown) == 2
    assert "\nscreenshot brilox-play-0002.png at frame 1\n" in capsys.readouterr().err
    assert cell_colours((tmp_path / "last.bmp").read_bytes()) == EXPECTED
    pixels = [subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-i", str(tmp_path / name),
                              "-f", "rawvideo", "-pix_fmt", "rgb24", "-"],
                             capture_output=True, timeout=60, check=True).stdout
              for name in ("brilox-play-0002.png", "last.bmp")]
    assert pixels[0] == pixels[1] and len(pixels[0]) == WIDTH * HEIGHT * 3
