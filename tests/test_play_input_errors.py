"""brilox-play's arguments, and the input it refuses: a message on stderr,
exit status 2, and nothing opened or written."""

import os
import subprocess
import sys
import time

import pytest

from play_clips import frame, grey, play
from support.soundserver import sound_server  # noqa: F401

FRAME = 64 * 32 * 3 // 2  # one 64 x 32 i420 frame


@pytest.fixture
def clip(tmp_path):
    def make(length):
        path = tmp_path / "clip.yuv"
        path.write_bytes(b"\x80" * length)
        return path
    return make


def refused(done, *fragments):
    err = done.stderr.decode()
    assert done.returncode == 2, err
    assert done.stdout == b""
    for fragment in fragments:
        assert fragment in err
    return err


@pytest.mark.parametrize("length, message", [
    (2 * FRAME + 100, "%d bytes is not a whole number of 64x32 i420 frames of %d bytes: "
                      "100 bytes over 2 frames (%d short of 3)"
                      % (2 * FRAME + 100, FRAME, FRAME - 100)),
    (FRAME - 1, "%d bytes is not a whole number of 64x32 i420 frames of %d bytes: "
                "%d bytes over 0 frames (1 short of 1)" % (FRAME - 1, FRAME, FRAME - 1)),
    (0, "the file is empty"),
])
def test_file_that_is_not_whole_frames_is_refused_saying_by_how_much(clip, tmp_path, length,
                                                                      message):
    shot = tmp_path / "shot.bmp"
    done = play(clip(length), "--size", "64x32", "--screenshot", shot)
    refused(done, message)
    assert not shot.exists()


def test_missing_file_is_refused(tmp_path):
    shot = tmp_path / "shot.bmp"
    done = play(tmp_path / "nothing.yuv", "--size", "64x32", "--screenshot", shot)
    refused(done, "nothing.yuv: no such file")
    assert not shot.exists()


def test_folder_given_as_file_is_refused(tmp_path):
    refused(play(tmp_path, "--size", "64x32"), "%s: no media files in the folder" % tmp_path)


def test_folders_and_lists_give_their_files_in_order_and_turns_pass_over_failures(tmp_path):
    from brilox.play.playlist import Turns, gather
    for name in ("clip 10.mkv", "Clip 2.MP4", ".hidden.mp4", "notes.txt", "raw.yuv", "sub/a.webm"):
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_bytes(b"")
    (tmp_path / "empty").mkdir()
    (tmp_path / "list.m3u").write_bytes("\ufeff#EXTM3U\n# a comment\n sub/a.webm \n\n"
                                        "/x/\u00fc.mp4\nsub\n".encode())
    (tmp_path / "latin.m3u8").write_bytes(b"caf\xe9.mp4\n")
    said, t = [], str(tmp_path) + "/"
    assert gather([t, t + "list.m3u", t + "empty", t + "latin.m3u8", "-"], said.append) == [
        t + "Clip 2.MP4", t + "clip 10.mkv", t + "sub/a.webm", "/x/\u00fc.mp4", t + "sub/a.webm",
        "-"]
    assert said == [t + "empty: no media files in the folder",
                    t + "latin.m3u8: not UTF-8 text (byte 3)"]
    # a ends, b goes back, a fails: b again, on to c, whose end is the end.
    turns, at = Turns(["a", "b", "c"], loop=False), []
    for then, failed in ((None, False), ("previous", False), (None, True), ("next", False)):
        assert turns.move(then, failed)
        at.append(turns.at)
    assert at == [1, 0, 1, 2] and not turns.move(None) and not turns.has_next()
    # Looping, a whole round of failures ends it, and so does a quit.
    turns = Turns(["a", "b"], loop=True)
    assert turns.move(None) and turns.move(None) and turns.at == 0 and turns.move(None, True)
    assert not turns.move(None, True) and not Turns(["a"], True).move("remember")


@pytest.mark.timeout(120)
def test_bad_media_is_said_at_once_while_the_sound_server_sleeps(tmp_path,
                                                                 sound_server):  # noqa: F811
    """With a window to open and sound to play, and a sound server that takes
    2 s to wake: a file that is not there, a folder, an empty file and a text
    file named .mp4 are each said as soon as they are with --no-audio, which
    opens no sound device (timed alike, in the same run)."""
    (tmp_path / "folder").mkdir()
    (tmp_path / "empty.mp4").write_bytes(b"")
    (tmp_path / "text.mp4").write_text("no video here\n")
    said = {"nothing.mp4": "No such file or directory", "folder": "no media files in the folder",
            "empty.mp4": "Invalid data found when processing input",
            "text.mp4": "Invalid data found when processing input"}
    # Not SDL's dummy video driver (which plays headless, silent), nor a
    # display: the file plays at its pace, with its sound, without a picture.
    env = {k: v for k, v in os.environ.items()
           if k not in ("DISPLAY", "SDL_VIDEODRIVER", "SDL_AUDIODRIVER")}
    env.update(sound_server.env)

    # Each with and without sound in turn, twice: a busy machine may stall
    # any one run, and stalls both alike.
    took = {name: ([], []) for name in said}
    with sound_server.asleep():
        for _ in range(2):
            for name in said:
                for args, times in ((["--no-audio"], took[name][0]), ([], took[name][1])):
                    started = time.monotonic()
                    done = subprocess.run([sys.executable, "-m", "brilox.play", *args,
                                           str(tmp_path / name)], env=env, capture_output=True,
                                          timeout=60)
                    times.append(time.monotonic() - started)
                    assert refused(done) == "brilox-play: %s: %s\n" % (tmp_path / name,
                                                                         said[name])
    for name, (alone, heard) in took.items():
        assert min(heard) < min(alone) + 0.2, (name, took)


@pytest.mark.parametrize("size, fmt, message", [
    ("0x32", "i420", "size 0x32: width and height must be at least 1"),
    ("64x0", "yuy2", "size 64x0: width and height must be at least 1"),
    ("20000x2", "yuy2", "size 20000x2: at most 16384 a side"),
])
def test_size_the_format_cannot_have_is_refused(clip, size, fmt, message):
    refused(play(clip(FRAME), "--size", size, "--format", fmt), message)
    # The test pattern is held to the same rules.
    refused(play("--size", size, "--format", fmt), message)


@pytest.mark.parametrize("fmt, width, height", [
    ("yuy2", 8, 3), ("uyvy", 7, 3), ("i420", 7, 5), ("yv12", 1, 1)])
def test_odd_sizes_play_with_chroma_rounded_up(tmp_path, fmt, width, height):
    path = tmp_path / "clip.yuv"
    path.write_bytes(frame(fmt, grey, width, height) * 2)
    done = play(path, "--size", "%dx%d" % (width, height), "--format", fmt)
    assert done.returncode == 0, done.stderr
    assert done.stdout.startswith(b"brilox-play: 2 frames, ")
    done = play("--size", "%dx%d" % (width, height), "--format", fmt, "--frames", 2)
    assert done.returncode == 0, done.stderr


@pytest.mark.parametrize("args, message", [
    (["--format", "nosuch"], "--format nosuch: no such pixel format"),
    (["--format", "monob"], "--format monob: raw frames of this format are not supported"),
    (["--format", "pal8"], "--format pal8: raw frames of this format are not supported"),
])
def test_unknown_raw_format_is_refused(clip, args, message):
    refused(play(clip(FRAME), "--size", "64x32", *args), message)
    # The engine names its own argument, which the player says as its flag.
    from brilox.media.frames import BadInput
    from brilox.media.sources.raw import Layout
    with pytest.raises(BadInput) as engine:
        Layout(args[1], 64, 32)
    assert (str(engine.value), engine.value.argument) == (message[2:], "format")


@pytest.mark.parametrize("args, message", [
    (["--size", "64"], "argument --size: '64' is not WxH"),
    (["--size", "axb"], "argument --size: 'axb' is not WxH"),
    (["--window", "0x10"], "--window 0x10: each side must be 1 to 16384"),
    (["--fps", "0"], "argument --fps: '0' must be more than 0"),
    (["--fps", "fast"], "argument --fps: 'fast' is not a number"),
    (["--frames", "0"], "argument --frames: '0' must be more than 0"),
    (["--frames", "1.5"], "argument --frames: '1.5' is not a number"),
    (["--aspect", "16:0"], "argument --aspect: '16:0' is not W:H of two positive numbers"),
    (["--aspect", "4:-3"], "argument --aspect: '4:-3' is not W:H of two positive numbers"),
    (["--sar", "wide"], "argument --sar: 'wide' is not W:H of two positive numbers"),
    (["--aspect", "4:3", "--sar", "1:1"], "--aspect and --sar say the same thing"),
    (["--volume", "101"], "argument --volume: '101' is not 0 to 100"),
    (["--speed", "0"], "argument --speed: '0' is not 0.25 to 4"),
    (["--speed", "100"], "argument --speed: '100' is not 0.25 to 4"),
    (["--speed", "nan"], "argument --speed: 'nan' is not 0.25 to 4"),
    (["--audio-stream", "-1"], "argument --audio-stream: '-1' is not a stream's index"),
    (["a.mp4", "clip.yuv"], "a raw file needs --size WxH"),
    (["a", "--no-such"], "unrecognized arguments: --no-such"),
    (["a", "--start", "1:60"], "argument --start: '1:60' is not a time: seconds, or [[h:]m:]s"),
    (["a", "--start", "-1"], "argument --start: '-1' is not a time"),
])
def test_bad_arguments_are_refused_with_usage(args, message):
    err = refused(play(*args), message)
    assert err.startswith("usage: brilox-play")


def test_format_names_ignore_case(clip):
    # Not the default layout: a YUY2 frame is no whole number of I420 frames.
    done = play(clip(64 * 32 * 2), "--size", "64x32", "--format", "YUY2")
    assert done.returncode == 0, done.stderr


@pytest.mark.parametrize("name, message", [
    ("no/shot.bmp", "no such folder %s"),
    ("shot.jpg", "shot.jpg: a screenshot's name must end in .png or .bmp"),
    ("shot.png.txt", "shot.png.txt: a screenshot's name must end in .png or .bmp"),
    ("folder.png", "folder.png: is a folder"),
])
def test_screenshot_name_is_checked_before_playing(tmp_path, name, message):
    shot = tmp_path / name
    if name == "folder.png":
        shot.mkdir()
    err = refused(play("--frames", "1", "--screenshot", shot),
                  message.replace("%s", str(tmp_path / "no")))
    assert err.count("\n") == 1 and shot.exists() == (name == "folder.png")


def test_a_screenshot_that_cannot_be_written_is_said_after_the_summary():
    done = play("--frames", "1", "--screenshot", "/proc/shot.bmp")
    assert done.returncode == 1
    assert done.stdout.startswith(b"brilox-play: 1 frame, ") and b"screenshot:" not in done.stdout
    assert done.stderr == b"brilox-play: /proc/shot.bmp: not saved: No such file or directory\n"


@pytest.mark.parametrize("stdin, message", [
    (b"", "standard input: no whole 64x32 i420 frame (0 of %d bytes)" % FRAME),
    (b"\x80" * 100, "standard input: no whole 64x32 i420 frame (100 of %d bytes)" % FRAME),
])
def test_standard_input_without_a_whole_frame_is_refused(stdin, message):
    refused(play("-", "--size", "64x32", stdin=stdin), message)


@pytest.mark.parametrize("args", [["--size", "64x32"], []])
def test_loop_on_standard_input_is_refused(args):
    refused(play("-", *args, "--loop", stdin=b"\x80" * FRAME),
            "brilox-play: standard input: --loop needs a file; a stream cannot be played again")
    from brilox.media.frames import BadInput
    from brilox.media.sources.media import open_media
    from brilox.media.sources.raw import open_raw
    with pytest.raises(BadInput) as engine:
        open_raw("-", "i420", (64, 32), 30.0, True) if args else open_media("-", True)
    assert (str(engine.value), engine.value.argument) == (
        "standard input: loop needs a file; a stream cannot be played again", "loop")


def test_help_and_version():
    done = play("--help")
    assert done.returncode == 0
    out = done.stdout.decode()
    assert out.startswith("usage: brilox-play")
    assert "--range {auto,limited,full}" in out
    for said in ("q, escape", "home, end", "f, double click", "130 on SIGINT"):
        assert said in out
    from importlib.metadata import version
    done = play("--version")
    assert (done.returncode, done.stdout) == (0, b"brilox-play %s\n" % version("brilox").encode())
    # Only --version reads the package's metadata: the import alone would
    # slow every start.
    start = ("import sys; from brilox.play import main; main(['--headless', '--frames', '1']); "
             "print('importlib.metadata' in sys.modules)")
    done = subprocess.run([sys.executable, "-c", start], capture_output=True, timeout=60)
    assert done.stdout.endswith(b"False\n"), done.stderr


# Standard output or error closed, full, or a pipe nobody reads: the player
# plays on (the screenshot is there), says nothing or one line, and no
# traceback.
@pytest.mark.parametrize("redirect, status, err", [
    ("| head -c0", 0, ""),
    (">/dev/full", 0, "brilox-play: cannot write to standard output: No space left on device\n"),
    (">&-", 0, ""),
    ("2>&-", 0, None),
    ("2>/dev/full", 0, None),
    ("--help | head -c0", 0, ""),
    ("--size 0x1 2>/dev/full", 2, None),
])
def test_closed_or_full_output_is_no_failure(tmp_path, redirect, status, err):
    shot = tmp_path / "shot.bmp"
    command = "%s -m brilox.play --frames 3 --screenshot %s 2>%s %s; echo ${PIPESTATUS[0]}" % (
        sys.executable, shot, tmp_path / "err", redirect)
    done = subprocess.run(["bash", "-c", command], env=dict(os.environ, SDL_VIDEODRIVER="dummy"),
                          capture_output=True, timeout=60)
    said = (tmp_path / "err").read_text()
    assert int(done.stdout.split()[-1]) == status, said
    assert shot.exists() == (status == 0 and "--help" not in redirect)
    if err is not None:
        assert [line for line in said.splitlines(True) if not line.startswith("frame ")] == \
            ([err] if err else [])
