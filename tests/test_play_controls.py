"""How brilox-play is steered: real key presses, a real window close and a
real resize on SDL's X11 driver under Xvfb (xdotool presses the keys), keys
and clicks on SDL's queue against a clock the test holds, signals, and the
frame sources on their own."""

import contextlib
import ctypes
import io
import itertools
import os
import queue
import re
import signal
import subprocess
import sys
import threading
import time
from fractions import Fraction
from pathlib import Path
from types import SimpleNamespace

import pytest

import brilox.display as d
from brilox.media.frames import display_size
from brilox.play.abloop import ABLoop
from brilox.play.player import fit, open_sound
from brilox.play.player import Player as Playing
from brilox.media.sources.raw import FileFrames, Layout, StreamFrames
from brilox.play.status import Status, Summary
from play_clips import (CELLS, COLOURS, CUTSCENE, bars, bmp_pixel, bmp_size, brightness, frame,
                        grey, play_on_clock)
from support import end, sdl

# Each player's window gets a class of its own to be found by: SDL builds
# that set the window's name as UTF-8 text hide it from a search by name.
WINDOW_CLASSES = itertools.count()


class Player:
    """brilox-play in a child process, its stderr read line by line.

    Every wait on it has a hard deadline: status lines keep coming while a
    missed key leaves the player playing, so a wait is bounded across lines,
    not by the silence between them."""

    WAIT = 20

    def __init__(self, *args, env):
        self.process = subprocess.Popen([sys.executable, "-m", "brilox.play", *args], env=env,
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, text=True)
        self.lines = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stderr:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def lines_until(self, what):
        """The lines said from now on, until `WAIT` seconds have passed."""
        deadline = time.monotonic() + self.WAIT
        while True:
            left = deadline - time.monotonic()
            try:
                line = self.lines.get(timeout=max(0.0, left))
            except queue.Empty:
                pytest.fail("brilox-play did not report %s within %s s" % (what, self.WAIT))
            assert line is not None, "brilox-play ended early"
            yield line

    def status(self):
        """Waits for a status line, which shows that frames are playing."""
        for line in self.lines_until("a status line"):
            if line.startswith("frame "):
                return

    def event(self):
        """The next line that reports a key action, skipping status lines."""
        for line in self.lines_until("a key action"):
            if not line.startswith("frame "):
                return line

    def frame_of(self, pattern):
        line = self.event()
        match = re.fullmatch(pattern + r" at frame (\d+)|" + pattern + r" frame (\d+)", line)
        assert match, "expected %r, got %r" % (pattern, line)
        return int(match.group(1) or match.group(2))

    def finish(self):
        out = self.process.communicate(timeout=30)[0]
        return self.process.returncode, out

    def stop(self):
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait()


@pytest.fixture
def x11_player(x_display):  # noqa: F811
    players = []

    def start(*args, raw=("--size", "64x48", "--fps", "10")):
        window_class = "brilox-play-test-%d-%d" % (os.getpid(), next(WINDOW_CLASSES))
        env = dict(os.environ, SDL_VIDEODRIVER="x11", DISPLAY=x_display,
                   SDL_VIDEO_X11_WMCLASS=window_class)
        player = Player(*raw, *map(str, args), env=env)
        players.append(player)
        player.status()
        player.window = focus(x_display, window_class)
        return player

    yield start
    for player in players:
        player.stop()


def xdotool(display, *args):
    done = subprocess.run(["xdotool", *args], env=dict(os.environ, DISPLAY=display),
                          capture_output=True, text=True, timeout=20)
    return done.stdout.split()


def focus(display, window_class):
    """Gives the input focus to the window of that class, once it is up: its id."""
    window = xdotool(display, "search", "--sync", "--class", window_class)[0]
    give_focus(display, window)
    return int(window)


def give_focus(display, window):
    """Gives the input focus to `window`, retried: a window that is not yet
    viewable, or was just made full screen or windowed again, refuses it.
    (The query prints nothing while the focus follows the pointer.)"""
    window = str(window)
    deadline = time.monotonic() + 20
    while xdotool(display, "getwindowfocus") != [window]:
        assert time.monotonic() < deadline, "the window never got the focus"
        xdotool(display, "windowfocus", window)
        time.sleep(0.1)


@pytest.mark.parametrize("quit_key", ["q", "Escape"])
def test_keys_pause_step_and_quit(x_display, x11_player, quit_key):  # noqa: F811
    player = x11_player()
    press = lambda keysym: xdotool(x_display, "key", "--delay", "80", keysym)  # noqa: E731
    # An arrow while playing seeks 10 s (100 frames at 10 fps) on.
    press("Right")
    assert player.frame_of("jumped to") >= 100
    press("space")
    paused = player.frame_of("paused")
    press("Right")
    assert player.frame_of("stepped to") == paused + 1
    press("Left")
    assert player.frame_of("stepped to") == paused
    # A held arrow repeats; let it go once it has stepped four frames on.
    xdotool(x_display, "keydown", "Right")
    for k in range(1, 5):
        assert player.frame_of("stepped to") == paused + k
    xdotool(x_display, "keyup", "Right")
    press("space")
    last = paused + 4
    while (line := player.event()).startswith("stepped to"):
        last += 1
        assert line == "stepped to frame %d" % last
        assert last < paused + 40, "the arrow went on stepping after it was let go"
    assert line == "playing from frame %d" % last
    press("v")
    assert re.fullmatch(r"only one video stream \(frame \d+\)", player.event())
    press(quit_key)
    assert player.frame_of("quit") >= last
    status, out = player.finish()
    assert status == 0
    assert re.match(r"brilox-play: \d+ frames, ", out)


def send_window_close(display, window):
    """What a window manager sends when the window's close button is hit."""
    x11 = ctypes.CDLL("libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                               ctypes.c_void_p]
    x11.XFlush.argtypes = x11.XCloseDisplay.argtypes = [ctypes.c_void_p]

    class ClientMessage(ctypes.Structure):
        _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong),
                    ("send_event", ctypes.c_int), ("display", ctypes.c_void_p),
                    ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                    ("format", ctypes.c_int), ("data", ctypes.c_long * 5)]

    class Event(ctypes.Union):
        _fields_ = [("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]

    connection = x11.XOpenDisplay(display.encode())
    assert connection
    event = Event()
    event.xclient.type = 33  # ClientMessage
    event.xclient.window = window
    event.xclient.message_type = x11.XInternAtom(connection, b"WM_PROTOCOLS", 0)
    event.xclient.format = 32
    event.xclient.data[0] = x11.XInternAtom(connection, b"WM_DELETE_WINDOW", 0)
    assert x11.XSendEvent(connection, window, 0, 0, ctypes.byref(event))
    x11.XFlush(connection)
    x11.XCloseDisplay(connection)


def test_closing_the_window_quits(x_display, x11_player):  # noqa: F811
    player = x11_player()
    send_window_close(x_display, player.window)
    assert player.frame_of("window closed") >= 0
    status, out = player.finish()
    assert status == 0
    assert re.match(r"brilox-play: \d+ frames, ", out)


def test_taps_during_4k_frames_are_all_seen(x_display, x11_player):  # noqa: F811
    # Each frame of the 4K pattern takes longer to make and show than a tap
    # lasts: only a queue of events sees every one.
    player = x11_player("--size", "3840x2160", "--fps", "30")
    for _ in range(10):
        xdotool(x_display, "key", "space")
        time.sleep(0.35)
    said = [player.event() for _ in range(10)]
    assert [re.sub(r" (at )?frame \d+$", "", line) for line in said] == \
        ["paused", "playing from"] * 5
    xdotool(x_display, "key", "q")
    assert player.finish()[0] == 0


def test_list_keys_and_q_as_x_sends_them(x_display, x11_player, tmp_path,  # noqa: F811
                                         monkeypatch):
    """>, < and Q are shift and a key on most keyboards: SDL tells the key."""
    monkeypatch.setenv("XDG_STATE_HOME", str(tmp_path))
    for name in ("a.yuv", "b.yuv"):
        (tmp_path / name).write_bytes(frame("i420", grey, 64, 48) * 300)
    player = x11_player(tmp_path / "a.yuv", tmp_path / "b.yuv")
    width, height = map(int, xdotool(x_display, "getdisplaygeometry"))
    for key, said in (("greater", "2/2 b.yuv"), ("less", "1/2 a.yuv"), ("f", "full screen"),
                      ("Return", "2/2 b.yuv"), ("f", "windowed")):
        xdotool(x_display, "key", key)
        assert re.sub(r" at frame \d+$", "", player.event()) == said
        if key == "Return" and not sdl.over_sdl2():
            # The next file shows as the one before was left: full screen
            # (where SDL 1.2 itself draws the whole screen; on both builds,
            # f then goes back to a window).
            player.status()
            deadline = time.monotonic() + 10
            while not screen_filled(x_display, width, height):
                assert time.monotonic() < deadline, "the next file is not full screen"
                time.sleep(0.1)
        elif key != "f":
            player.status()
        if key == "f":
            give_focus(x_display, player.window)
    xdotool(x_display, "key", "Q")
    left = int(re.fullmatch(r"quit at frame (\d+), the place kept", player.event()).group(1))
    assert player.finish()[0] == 0
    [kept] = [p.read_text().split("\n") for p in (tmp_path / "brilox" / "resume").iterdir()]
    assert abs(float(kept[0]) - left / 10) < 1e-9 and kept[1] == str(tmp_path / "b.yuv")


def window_pixels(display, window):
    """{(x, y): (r, g, b)} of what the X server shows of a window."""
    geometry = dict(line.split("=") for line in xdotool(display, "getwindowgeometry", "--shell",
                                                         str(window)))
    w, h, x, y = (int(geometry[k]) for k in ("WIDTH", "HEIGHT", "X", "Y"))
    rgb = subprocess.run(["ffmpeg", "-v", "error", "-f", "x11grab", "-video_size", "%dx%d" % (w, h),
                          "-i", "%s+%d,%d" % (display, x, y), "-frames:v", "1", "-f", "rawvideo",
                          "-pix_fmt", "rgb24", "-"], capture_output=True, timeout=30,
                         check=True).stdout
    return {(i % w, i // w): tuple(rgb[3 * i:3 * i + 3]) for i in range(w * h)}


def screen_filled(display, width, height):
    """Whether the screen shows one colour, not black, at its middle and at
    the middle of its left edge: a grey video full screen does."""
    pixels = [subprocess.run(["ffmpeg", "-v", "error", "-f", "x11grab", "-draw_mouse", "0",
                              "-video_size", "1x1",
                              "-i", "%s+%d,%d" % (display, x, height // 2), "-frames:v", "1",
                              "-f", "rawvideo", "-pix_fmt", "rgb24", "-"], capture_output=True,
                             timeout=30, check=True).stdout for x in (1, width // 2)]
    return pixels[0] == pixels[1] and max(pixels[0]) > 32


def test_resized_window_shows_the_whole_video_in_its_shape(x_display, x11_player, tmp_path):
    clip = tmp_path / "bars.yuv"
    clip.write_bytes(frame("i420", bars))
    shot = tmp_path / "shot.bmp"
    player = x11_player(clip, "--size", "64x32", "--window", "128x128", "--loop",
                        "--screenshot", shot)
    xdotool(x_display, "windowsize", str(player.window), "200", "50")
    assert player.event() == "resized to 200x50 at frame 0"
    # 100 x 50 of video in the middle, black on either side (not whatever
    # was in the new mode's memory).  The looping frame is shown again every
    # 0.1 s and the X server may show the new mode a little after the player
    # reports it, so the window is read until it shows it, within a deadline.
    cells = [(x, y, COLOURS[CELLS[y][x]][1]) for y in range(2) for x in range(4)]
    deadline = time.monotonic() + 10
    while True:
        pixels = window_pixels(x_display, player.window)
        seen = ([brightness(pixels[50 + 25 * x + 12, 25 * y + 12]) for x, y, _ in cells],
                pixels[20, 25], pixels[180, 25])
        if seen == ([want for _, _, want in cells], (0, 0, 0), (0, 0, 0)):
            break
        assert time.monotonic() < deadline, "the resized window shows %r" % (seen,)
        time.sleep(0.1)
    for key, said in (("f", "full screen"), ("f", "windowed"), ("f", "full screen"),
                      ("q", "quit")):
        if said == "full screen":
            # While windowed (full screen grabs the keyboard), the focus
            # may not be back on the window after it left full screen: a
            # key pressed meanwhile reaches no window.
            give_focus(x_display, player.window)
        xdotool(x_display, "key", key)
        assert player.event() == said + " at frame 0"
        # Windowed: back at the size it was resized to, once the X server shows it.
        deadline = time.monotonic() + 10
        while said == "windowed" and not {"WIDTH=200", "HEIGHT=50"} <= set(
                xdotool(x_display, "getwindowgeometry", "--shell", str(player.window))):
            assert time.monotonic() < deadline, "the window did not get its size back"
            time.sleep(0.1)
    assert player.finish()[0] == 0
    # The screenshot is the screen as it was last shown: full screen, the
    # video as wide as the screen, its shape kept, black above and below.
    width, height = map(int, xdotool(x_display, "getdisplaygeometry"))
    data = shot.read_bytes()
    assert bmp_size(data) == (width, height)
    scale = width / 64
    top = (height - 32 * scale) / 2
    for x, y, want in cells:
        assert brightness(bmp_pixel(data, int(scale * (16 * x + 8)),
                                    int(top + scale * (16 * y + 8)))) == want, (x, y)
    assert bmp_pixel(data, width // 2, int(top / 2)) == (0, 0, 0)
    assert bmp_pixel(data, width // 2, int(height - top / 2)) == (0, 0, 0)


def test_fullscreen_starts_full_screen(x_display, x11_player, tmp_path):  # noqa: F811
    # What the X server shows, on both builds: a window first put up at the
    # video's size and then made full screen stays where it was put under
    # SDL 2, where no window manager moves it.
    clip, shot = tmp_path / "grey.yuv", tmp_path / "shot.bmp"
    clip.write_bytes(frame("i420", grey, 64, 48) * 300)
    player = x11_player(clip, "--fullscreen", "--screenshot", shot)
    width, height = map(int, xdotool(x_display, "getdisplaygeometry"))
    deadline = time.monotonic() + 10
    while not screen_filled(x_display, width, height):
        assert time.monotonic() < deadline, "the video is not full screen"
        time.sleep(0.1)
    xdotool(x_display, "key", "q")
    assert player.finish()[0] == 0
    assert bmp_size(shot.read_bytes()) == (width, height)


# SIGINT and SIGTERM end the player with their statuses: while it waits for
# the first frame on a pipe, before any window, and while it plays.  Another
# one while it shuts down (here stuck saving a screenshot into a pipe that
# nobody reads) ends it at once.
@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM], ids=["INT", "TERM"])
@pytest.mark.parametrize("when", ["starting", "playing", "shutting down"])
def test_signal_ends_with_its_status_and_one_line(tmp_path, signum, when):
    env = dict(os.environ, SDL_VIDEODRIVER="dummy")
    env.pop("DISPLAY", None)
    args = ["-", "--size", "64x48"] if when == "starting" else ["--frames", "100000000"]
    if when == "shutting down":
        os.mkfifo(tmp_path / "shot.bmp")
        args += ["--screenshot", str(tmp_path / "shot.bmp")]
    process = subprocess.Popen([sys.executable, "-m", "brilox.play", *args], env=env,
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    try:
        # Once the player handles the signal; then it is importing, opening
        # or playing.
        deadline = time.monotonic() + 20
        while not int(re.search(r"SigCgt:\s*(\w+)", open("/proc/%d/status" % process.pid)
                                .read()).group(1), 16) >> (signal.SIGTERM - 1) & 1:
            assert time.monotonic() < deadline, "the player never handled SIGTERM"
            time.sleep(0.01)
        time.sleep(1.0)
        process.send_signal(signum)
        if when == "shutting down":
            time.sleep(1.0)
            process.send_signal(signum)
        out, err = process.communicate(timeout=10 if when == "shutting down" else 30)
    finally:
        process.kill()
        process.wait()
    assert process.returncode == 128 + signum
    assert "Traceback" not in err
    name = "SIGINT" if signum == signal.SIGINT else "SIGTERM"
    if when == "starting":
        assert (out, err) == ("", "brilox-play: stopped by %s\n" % name)
    elif when == "playing":
        assert re.fullmatch(r"brilox-play: \d+ frames, .*\n", out)
        assert re.search(r"\nbrilox-play: stopped by %s at frame \d+\n$" % name, err)


# --- keys on SDL's queue, on a clock the test holds -------------------------

def numbers(shown):
    """The frame number each frame shown carries in its first two bytes."""
    return [planes[0][0] + 256 * planes[0][1] for _, planes in shown]


def numbered_clip(path, count):
    """`count` 16 x 16 i420 frames, each numbered in its first two bytes."""
    path.write_bytes(b"".join(bytes([n % 256, n // 256]) + bytes(382) for n in range(count)))
    return path


K, CLICK = d.KEYDOWN, d.MOUSEBUTTONDOWN


def test_seeks_and_steps_land_on_their_frames(monkeypatch, capsys, tmp_path):
    # 200 s at 10 fps in a window 101 pixels wide: a right click at x = 50
    # is the middle.  Paused at frame 0, every move is exact (60 s on from
    # frame 3 is frame 603, however 60.3 s rounds).
    clip = numbered_clip(tmp_path / "clip.yuv", 2000)
    events = [(0.05, K, d.K_SPACE), (0.2, K, d.K_RIGHT), (0.22, K, d.K_RIGHT),
              (0.24, K, d.K_RIGHT), (0.3, K, d.K_UP), (0.4, K, d.K_LEFT), (0.5, K, d.K_END),
              (0.6, K, d.K_HOME), (0.65, CLICK, d.BUTTON_RIGHT, 50, 5), (0.7, K, d.K_PAGEUP),
              (0.8, K, d.K_DOWN), (0.85, K, d.K_PERIOD), (0.86, K, d.K_COMMA),
              (0.87, K, d.K_PERIOD), (0.9, K, d.K_SPACE), (1.25, K, d.K_RIGHT),
              (2.0, K, d.K_SPACE), (2.4, K, d.K_q),
              # A double click; then clicks far apart, and half a second apart.
              (0.66, CLICK, d.BUTTON_LEFT, 10, 5), (0.68, CLICK, d.BUTTON_LEFT, 12, 6),
              (0.71, CLICK, d.BUTTON_LEFT, 10, 5), (0.72, CLICK, d.BUTTON_LEFT, 60, 5),
              (1.21, CLICK, d.BUTTON_LEFT, 60, 5)]
    # A seek while playing takes half a second.
    status, shown = play_on_clock(monkeypatch, [clip, "--size", "16x16", "--fps", 10,
                                                "--window", "101x20"], events, seek=0.5)
    assert status == 0
    got = numbers(shown)
    assert got[:14] == [0, 1, 2, 3, 603, 602, 1999, 0, 1000, 1999, 1399, 1400, 1399, 1400]
    # Playing again, then 10 s on from the frame shown last.
    jump = next(i for i in range(14, len(got)) if got[i] != got[i - 1] + 1)
    assert got[jump] == got[jump - 1] + 100
    said = capsys.readouterr()
    assert "\njumped to frame %d\n" % got[jump] in said.err
    assert said.err.count("\nfull screen at frame 1000\n") == 1 and "windowed" not in said.err
    # Steps and seeks are not frames played, nor the time paused (0.85 s,
    # and the 0.4 s paused before quitting), nor the time the seek took.
    summary = re.match(r"brilox-play: (\d+) frames, ([\d.]+) s playing, ", said.out)
    assert int(summary[1]) == len(got) - 14
    assert float(summary[2]) == pytest.approx(0.05 + 0.35 + 0.25, abs=0.03)
    assert ", 0 dropped, 0 skipped, 14 stepped, " in said.out


def test_an_ab_loop_repeats_its_frames_until_cleared(monkeypatch, capsys, tmp_path):
    # l at frames 3 and 7 (10 fps), cleared in the fourth pass, which plays
    # on past B.  The wheel and the delay keys have nothing to move.
    clip = numbered_clip(tmp_path / "clip.yuv", 100)
    events = [(0.35, K, d.K_l), (0.75, K, d.K_l), (1.0, CLICK, d.BUTTON_WHEELUP, 5, 5),
              (1.1, K, d.K_EQUALS, d.KMOD_LCTRL), (1.2, K, d.K_z), (2.4, K, d.K_l),
              (3.35, K, d.K_q)]
    status, shown = play_on_clock(monkeypatch, [clip, "--size", "16x16", "--fps", 10], events)
    assert status == 0
    got = numbers(shown)
    err = capsys.readouterr().err
    assert ("\nA-B loop: A set at 0:00.3\nA-B loop: 0:00.3 - 0:00.7\n" in err
            and "\nA-B loop cleared\n" in err and "  A-B loop 0:00.3 - 0:00.7  " in err)
    assert got == list(range(8)) + list(range(3, 8)) * 3 + list(range(3, 14))
    assert err.count("no sound (frame ") == 2 and "no subtitles (frame " in err
    # Marks in two passes of a file that loops: the span is between their times.
    marks = ABLoop()
    marks.press(15, 0.6), marks.press(30, 0.2)
    assert marks.span() == (0.2, 0.6)


def test_stepping_back_on_a_pipe_says_where_the_kept_frames_end(monkeypatch, capsys):
    frames = b"".join(bytes([n % 256, n // 256]) + bytes(382) for n in range(800))
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(frames)))
    # Back past the kept frames goes to the oldest of them; on past the end,
    # to the last frame; Home, with no length known, to the oldest again.
    events = [(0.05, K, d.K_SPACE), (0.2, K, d.K_UP), (0.3, K, d.K_DOWN), (0.4, K, d.K_PAGEUP),
              (0.5, K, d.K_HOME), (0.6, K, d.K_q)]
    status, shown = play_on_clock(monkeypatch, ["-", "--size", "16x16", "--fps", 10], events)
    assert status == 0 and numbers(shown) == [0, 600, 569, 799, 768]
    err = capsys.readouterr().err
    for frame in (569, 768):
        assert ("\nframe %d is as far back as this can go: only the last 32 frames are kept\n"
                % frame) in err
    # Larger frames: as many as 64 MiB holds (21 of 1080p i420), 2 at least.
    from brilox.media.frames import history_for
    assert [history_for(n).maxlen for n in (384, 1920 * 1080 * 3 // 2, 1 << 30)] == [32, 21, 2]


@pytest.mark.parametrize("args, dropped, count, upload", [
    ([], True, 100, 0.22), (["--no-drop"], False, 100, 0.22), ([], True, 11, 0.35),
    # One frame late by half a period.
    (["--no-drop"], False, 30, {5: 0.15})])
def test_late_frames_are_dropped_and_counted(monkeypatch, capsys, tmp_path, args, dropped,
                                             count, upload):
    # Each upload takes 0.22 s (or 0.35 s, up to the clip's end) at 10 fps:
    # frames cannot all be shown in their time.
    clip = numbered_clip(tmp_path / "clip.yuv", count)
    cost = (lambda n: upload.get(n, 0.0)) if isinstance(upload, dict) else (lambda n: upload)
    status, shown = play_on_clock(monkeypatch, [clip, "--size", "16x16", "--fps", 10, *args],
                                  [(4.0, K, d.K_q)], upload=cost)
    assert status == 0
    got = numbers(shown)
    # No frame goes up before its time.  Dropping keeps the frames shown on
    # time, up to the last; without, every frame shows, one upload after
    # the one before.
    assert all(t - cost(i) >= n * 0.1 - 1e-6 for i, ((t, _), n) in enumerate(zip(shown, got)))
    last_at = shown[-1][0] - cost(len(shown) - 1)
    if dropped:
        assert got == sorted(set(got)) and got[-1] >= min(10 * last_at - 1.5, count - 1)
    elif isinstance(upload, dict):
        # The frame after the late one goes up at once, and the rest on the beat.
        assert got == list(range(count))
        assert [round(t, 3) for t, _ in shown[5:8]] == [0.65, 0.65, 0.7]
        assert all(abs(t - n * 0.1) < 0.001 for t, n in zip((t for t, _ in shown[7:]), got[7:]))
    else:
        assert got == list(range(len(got)))
        assert max(b[0] - a[0] for a, b in zip(shown, shown[1:])) < upload + 0.01
    summary = re.match(r"brilox-play: (\d+) frames, ([\d.]+) s playing, ([\d.]+) fps, "
                       r"(\d+) dropped", capsys.readouterr().out)
    assert int(summary[1]) == len(got)
    assert int(summary[4]) == (got[-1] + 1 - len(got) if dropped else 0)
    assert abs(float(summary[3]) - len(got) / float(summary[2])) <= 0.1


# --- the logic on its own ---------------------------------------------------

class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_a_terminal_sees_key_actions_and_the_summary_counts_played_frames():
    terminal = Terminal()
    Status(terminal, 100, 10.0).event("paused at frame 3", 3, 0.3, 1.0, True)
    assert terminal.getvalue() == ("\r\x1b[Kpaused at frame 3\n"
                                   "\rframe 3/100  0:00.3 / 0:10.0  paused  upload 0.00 ms\x1b[K")
    # Frames every 0.1 s: the status line reads 10.0 fps.
    status = Status(io.StringIO(), 100, 10.0)
    for n in range(40):
        status.frame(n, n / 10, 0.001, 5 + n / 10)
    assert status.fps() == pytest.approx(10.0) and " 10.0 fps " in status.text
    # 18 uploads of 0.1 s, 8 of them in 0.8 s of play and 10 of steps.
    assert str(Summary(8, 0.8, 1.8, stepped=10)).endswith(
        "upload 100.00 ms per frame (100% of the time)")


def test_a_v_is_the_pictures_time_less_the_sounds_and_a_sound_error_is_said_once():
    # The picture at 1.35 s, the sound heard at 1.0 s and meant to be
    # heard 0.1 s after the picture: A-V +0.250, as ffplay shows it; the
    # summary keeps its sign.
    sound = SimpleNamespace(error=None, done=lambda: False, clock=lambda: 1.0,
                            muted=lambda: False, volume=lambda: 80)
    said = io.StringIO()
    player = Playing(SimpleNamespace(source=SimpleNamespace(name="clip.mkv"), sound=sound,
                                     shown_at=1.35, audio_delay=0.1), None,
                     Status(said, 100, 10.0), None)
    player.playing_on = True
    assert player.sound_words(True) == "A-V +0.250  vol 80%"
    assert player.largest_gap == pytest.approx(0.25)
    summary = Summary(8, 0.8, 0.1)
    summary.largest_gap = -0.25
    assert ", largest A-V -0.250 s" in str(summary)
    sound.error = "sound stopped: Invalid data found when processing input"
    for _ in range(3):
        player.sound_words(True)
    assert said.getvalue().count(sound.error) == 1
    # --no-audio opens none.
    assert open_sound(SimpleNamespace(no_audio=True), SimpleNamespace(audio_index=1), False) is None


def test_stream_steps_back_only_through_the_frames_it_kept():
    frames = b"".join(bytes([n]) * 6 for n in range(40))
    source = StreamFrames(io.BytesIO(frames), "standard input", Layout("i420", 2, 2), 0.1)
    keep = source.history.maxlen
    assert source.get(0) == (b"\x00" * 4, b"\x00", b"\x00")
    assert source.get(39)[0] == b"\x27" * 4
    assert source.get(39 - keep + 1)[0] == bytes([40 - keep]) * 4
    assert source.get(39 - keep) is None
    assert source.get(40) is None and source.truncated is None


def test_file_loops_both_ways(tmp_path):
    path = tmp_path / "clip.yuv"
    path.write_bytes(b"".join(bytes([n]) * 6 for n in range(3)))
    with open(path, "rb") as stream:
        looping = FileFrames(stream, str(path), Layout("i420", 2, 2), 0.1, 3, True)
        assert [looping.get(i)[0][0] for i in (-1, 0, 1, 2, 3, 7)] == [2, 0, 1, 2, 0, 1]
        once = FileFrames(stream, str(path), Layout("i420", 2, 2), 0.1, 3, False)
        assert once.get(-1) is None and once.get(3) is None and once.get(2)[0][0] == 2


@pytest.mark.parametrize("video, window, rect", [
    ((64, 32), (64, 32), (0, 0, 64, 32)),
    ((64, 32), (128, 128), (0, 32, 128, 64)),
    ((64, 32), (96, 32), (16, 0, 64, 32)),
    ((1920, 1080), (640, 480), (0, 60, 640, 360)),
    ((2, 1000), (100, 10), (49, 0, 1, 10)),   # never narrower than a pixel
    ((3, 2), (100, 100), (0, 16, 100, 67)),   # 66.7 rows, rounded
])
def test_fit_keeps_the_shape_and_centres(video, window, rect):
    assert fit(*video, *window) == rect
    # Where SDL shows odd sizes wrong, a YV12 overlay is a column and a row larger.
    from brilox.media.frames import YUY2, YV12
    from brilox.media.pipeline import pad_of
    wrong = SimpleNamespace(odd_size_ok=False)
    assert [pad_of(wrong, YV12, (4, 5)), pad_of(wrong, YV12, (5, 4)), pad_of(wrong, YUY2, (5, 5))] \
        == [(0, 1), (1, 0), (0, 0)]
    # The display width, by the sample aspect, rounded to an even number.
    assert display_size((100, 100), Fraction(307, 200)) == (154, 100)
    # A Video fits the picture by that width.
    from brilox.media.output import Output
    square = Output(SimpleNamespace(overlay_format=YV12, size=(100, 100), sample_aspect=Fraction(2)))
    assert square.where((400, 100)) == (100, 0, 200, 100)


def test_volume_keys_step_by_equal_decibels_to_silence_and_back(tmp_path, monkeypatch):
    """After k presses of 9 from 100% the device is at 100% less k * 0.75 dB,
    rounded, to silence, and 0 climbs the same steps back; from a level off
    them (50%), up to 100% too.  Each said in whole percent."""
    av = pytest.importorskip("av")
    import brilox.sound as device
    from brilox.media.sound import Sound
    from test_play_media import ffmpeg
    ffmpeg("-f", "lavfi", "-i", "sine=d=0.1", tmp_path / "a.wav")
    monkeypatch.setenv("SDL_AUDIODRIVER", "disk")
    monkeypatch.setenv("SDL_DISKAUDIOFILE", str(tmp_path / "out.raw"))
    said, sound, shown = io.StringIO(), Sound(av, str(tmp_path / "a.wav"), 0), []
    player = Playing(SimpleNamespace(source=None, sound=sound, frame=0, position=0.0,
                                     show_text=lambda *words, bar: shown.append(words)), None,
                     Status(said, 100, 10.0), None)

    def press(step, times):
        for _ in range(times):
            player.sound_command("volume", ("volume", step), 0.0)
            yield device.get_volume()
            assert said.getvalue().endswith("volume %d%% at frame 0\n" % device.get_volume())
            # Over the picture too, for 1.5 s.
            assert shown[-1] == ("Volume %d%%" % device.get_volume(), 1.5)

    try:
        steps = [int(100 * 10 ** (-0.75 * k / 20) + 0.5) for k in range(1, 62)]
        assert steps[-1] == 1 and list(press(-1, 63)) == steps + [0, 0]
        assert list(press(1, 63)) == steps[::-1] + [100, 100]
        sound.set_volume(50)
        assert list(press(1, 9)) == [55, 59, 65, 71, 77, 84, 92, 100, 100]
    finally:
        sound.close()
        device.quit()


class HeldSound:
    """A file's sound on the clock the test holds, which real sound cannot
    keep: it is first heard 0.4 s before its start (a slow sound server),
    then runs at 0.9 of the clock's pace (a slow sound card), and stands
    while paused.  It notes how it was made, sought and paused."""

    made = []

    def __init__(self, av, path, index, volume=100, mute=False, origin=0.0):
        self.index, self.made_with, self.error = index, (index, volume, mute), None
        self.calls, self.segments = [], []
        HeldSound.made.append(self)
        self._set(0.0, 0.9)  # the device runs from the moment it is opened

    def now(self):
        import brilox.play.player
        return brilox.play.player.time.perf_counter() - brilox.play.player.time.start

    def _set(self, at, pace):
        self.pace = pace
        self.segments.append((self.now(), at, pace))

    def heard_at(self, when):
        since, at, pace = [s for s in self.segments if s[0] <= when][-1]
        return at + pace * (when - since)

    def seek(self, seconds):
        self.calls.append(("seek", seconds))
        self._set(seconds, self.pace)

    def pause(self, paused):
        self.calls.append(("pause", paused))
        self._set(self.clock(), 0.0 if paused else 0.9)

    feed = close = lambda self: None
    clock = lambda self: self.heard_at(self.now())  # noqa: E731
    preroll = lambda self: self._set(self.clock() - 0.4, self.pace)  # noqa: E731
    done = lambda self: self.clock() >= 4.0  # noqa: E731
    muted = lambda self: self.made_with[2]  # noqa: E731
    volume = lambda self: self.made_with[1]  # noqa: E731


def test_frames_go_up_as_the_sound_reaches_them(monkeypatch, capsys, tmp_path):
    import brilox.play.player
    from test_play_media import ffmpeg
    clip = tmp_path / "clip.mkv"
    ffmpeg("-f", "lavfi", "-i", "testsrc2=size=64x48:rate=25:duration=4", "-f", "lavfi", "-i",
           "sine=d=4", "-f", "lavfi", "-i", "sine=d=4", "-map", 0, "-map", 1, "-map", 2,
           "-c:v", "ffv1", "-c:a", "flac", clip)
    monkeypatch.setattr(brilox.play.player, "Sound", HeldSound)
    HeldSound.made.clear()
    # A pause from 1.0 s to 1.5 s, a right click three quarters along (to
    # 3 s, frame 75), and q.
    events = [(1.0, K, d.K_SPACE), (1.5, K, d.K_SPACE), (2.0, CLICK, d.BUTTON_RIGHT, 48, 5),
              (2.6, K, d.K_q)]
    status, shown = play_on_clock(monkeypatch, [clip, "--volume", 30, "--mute",
                                                "--audio-stream", 2], events)
    (sound,) = HeldSound.made
    assert (status, sound.made_with) == (0, (2, 30, True))
    heard = [sound.heard_at(t) for t, _ in shown]
    # The first frame goes up at once, while the sound server is yet to
    # start, and is held until the sound reaches the next.
    assert shown[0][0] < 0.05 and heard[0] == pytest.approx(-0.4, abs=0.05), shown[0][0]
    # Every other frame goes up when the sound reaches its time (the first
    # after the pause too), none dropped, none while paused, and the sound
    # is sought to the frame sought.
    assert all(abs(h - 0.04 * round(h / 0.04)) < 1e-3 for h in heard[1:]), heard
    assert ("pause", True) in sound.calls and ("pause", False) in sound.calls
    assert not any(1.0 < t < 1.5 for t, _ in shown)
    (_, sought), = [c for c in sound.calls if c[0] == "seek"]
    numbers = [round(h / 0.04) for h in heard[1:]]
    seek = numbers.index(round(sought / 0.04))
    assert numbers == list(range(1, seek + 1)) + list(range(numbers[seek],
                                                           numbers[seek] + len(numbers) - seek))
    assert 72 <= numbers[seek] <= 78
    # A-V counts from the second frame played on: every one was on time.
    out = capsys.readouterr().out
    assert re.search(r", largest A-V [+-]0\.000 s\n", out)
    # Playing time counts from the first frame's time on the sound's clock,
    # not from when it went up: the frames a second are the sound's pace.
    frames, seconds = re.search(r": (\d+) frames, ([\d.]+) s playing", out).groups()
    assert int(frames) / float(seconds) == pytest.approx(25 * 0.9, abs=0.4), out


@pytest.mark.timeout(120)
def test_escape_skips_the_cutscene_example(x_display, tmp_path):  # noqa: F811
    # SDL's dummy driver takes no key presses: Escape is pressed for real, on X11.
    clip = tmp_path / "long.mp4"
    subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-f", "lavfi", "-i",
                    "testsrc2=size=64x48:rate=25:duration=60", str(clip)], check=True, timeout=60)
    window_class = "brilox-cutscene-test-%d" % os.getpid()
    env = dict(os.environ, SDL_VIDEODRIVER="x11", DISPLAY=x_display,
               SDL_VIDEO_X11_WMCLASS=window_class)
    child = subprocess.Popen([sys.executable, CUTSCENE, str(clip)], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        focus(x_display, window_class)
        xdotool(x_display, "key", "Escape")  # a tap, quicker than a pass of the loop
        out, err = child.communicate(timeout=30)  # of the 60 s of video
    except subprocess.TimeoutExpired:
        end(child)
        pytest.fail("no window, or Escape did not end it: " + child.stderr.read())
    finally:
        end(child)
    assert (child.returncode, out) == (0, "cut-scene skipped\n"), err


def test_speed_keys_and_the_next_video_stream(x_display, x11_player, tmp_path):  # noqa: F811
    """[ and ] step the speed by 10% within 0.25-4, backspace puts it back to 1, said
    and on the status line; v plays the next video stream, shown in its own shape."""
    clip = tmp_path / "two.mkv"
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "color=red:size=64x48:d=30",
                    "-f", "lavfi", "-i", "color=blue:size=96x32:d=30", "-map", "0", "-map", "1",
                    "-c:v", "ffv1", clip], check=True, timeout=60)
    player = x11_player(clip, "--speed", "3.7", "--window", "128x128", raw=())
    for key, said in (("bracketright", "4.00"), ("bracketright", "4.00"), ("bracketleft", "3.64"),
                      ("BackSpace", "1.00"), ("bracketleft", "0.91"), ("bracketright", "1.00"),
                      ("bracketleft", "0.91")):
        xdotool(x_display, "key", key)
        player.frame_of("speed %sx" % said)
    assert any(line.startswith("frame ") and "speed 0.91x" in line
               for line in player.lines_until("the speed on the status line"))
    # Red 4:3 fills 128x96, blue 3:1 128x43, black around; off the middle (X's pointer).
    for said, colour, edge in (("video stream 1", (0, 0, 255), 40),
                               ("video stream 0", (255, 0, 0), 18)):
        xdotool(x_display, "key", "v")
        assert abs(player.frame_of(said) - player.frame_of("jumped to")) <= 5  # on from there
        deadline = time.monotonic() + 10
        while True:
            pixels = window_pixels(x_display, player.window)
            seen = [pixels[16, y] for y in (edge - 6, edge + 4, 64, 127 - edge - 4)]
            if all(abs(a - b) < 40 for c, w in zip(seen, [(0, 0, 0)] + [colour] * 3)
                   for a, b in zip(c, w)):
                break
            assert time.monotonic() < deadline, (said, seen)
            time.sleep(0.1)
    xdotool(x_display, "key", "q")
    assert player.frame_of("quit") > 0 and player.finish()[0] == 0


# The key table: what each key does, and the help that says it.

# SDL's name for each key the player takes: its command while playing, and
# while paused where that is another.
KEY_COMMANDS = {
    "space": ("pause",), "p": ("pause",), ",": ("step", -1), ".": ("step", 1),
    "right": (("seek", 10), ("step", 1)), "left": (("seek", -10), ("step", -1)),
    "up": ("seek", 60), "down": ("seek", -60), "page up": ("chapter", 1),
    "page down": ("chapter", -1), "home": ("seek_to", 0.0), "end": ("seek_to", 1.0),
    "f": ("fullscreen",), "m": ("mute",), "9": ("volume", -1), "0": ("volume", 1),
    "a": ("next_audio",), "t": ("next_subtitle",), "v": ("next_video",),
    "[": ("speed", -1), "]": ("speed", 1), "backspace": ("speed", 0), "o": ("osd",),
    "q": ("quit", "quit"), "escape": ("quit", "quit"), "Q": ("quit", "remember"),
    ">": ("file", 1), "return": ("file", 1), "enter": ("file", 1), "<": ("file", -1),
    "ctrl+-": ("audio_delay", -1), "ctrl+[-]": ("audio_delay", -1),
    "ctrl+=": ("audio_delay", 1), "ctrl++": ("audio_delay", 1), "ctrl+[+]": ("audio_delay", 1),
    "z": ("sub_delay", -1), "x": ("sub_delay", 1), "l": ("ab_loop",), "s": ("screenshot",),
}
# What a key types with shift, for the keys the player tells apart by it.
SHIFTED = {"q": "Q", ".": ">", ",": "<"}


def commands_of_every_key(paused):
    """Every key of SDL's set pressed, alone, with shift and with Ctrl:
    SDL's name for each that gives a command (SDL names keys once its video
    is up), where a modifier gives another, with shift the character it
    types on a US keyboard, with Ctrl "ctrl+" before the name; and its
    commands."""
    from brilox.key import name
    from brilox.play.controls import Controls
    codes = {getattr(d, n) for n in vars(d) if n.startswith("K_")}
    mods = (0, d.KMOD_LSHIFT, d.KMOD_LCTRL, d.KMOD_RCTRL)
    given = {(code, mod): Controls().commands(SimpleNamespace(type=d.KEYDOWN, key=code, mod=mod),
                                              paused, 0.0, 640)
             for code in codes for mod in mods}
    named = {name(code): said for (code, mod), said in given.items() if said and not mod}
    for (code, mod), said in given.items():
        if mod and said and said != given[code, 0]:
            named[SHIFTED.get(name(code), "shift+" + name(code)) if mod == d.KMOD_LSHIFT
                  else "ctrl+" + name(code)] = said
    return named


@pytest.mark.parametrize("paused", [False, True], ids=["playing", "paused"])
def test_each_key_gives_its_command_and_no_other_key_any(video, paused):
    expected = {key: [said[paused] if isinstance(said[0], tuple) else said]
                for key, said in KEY_COMMANDS.items()}
    assert commands_of_every_key(paused) == expected


def key_block(where):
    """The list of keys that `where` shows, cut from the text it is in."""
    if where == "--help":
        from brilox.play.cli import parse_options
        out = io.StringIO()
        with pytest.raises(SystemExit), contextlib.redirect_stdout(out):
            parse_options(["--help"])
        text, start = out.getvalue(), "\nkeys:\n"
    elif where == "docstring":
        import brilox.play
        text, start = brilox.play.__doc__, "long a frame takes):\n\n"
    else:
        text = (Path(__file__).parents[1] / "README.md").read_text()
        start = "\n| Keys | |\n|---|---|\n"
    return text.split(start, 1)[1].split("\n\n", 1)[0]


@pytest.mark.parametrize("where, drawn, row", [
    ("--help", lambda keys: keys.text(2), r" *(\S.*?)  +\S"),
    ("docstring", lambda keys: keys.text(4), r" *(\S.*?)  +\S"),
    ("README", lambda keys: keys.markdown().split("\n", 2)[2], r"\| (.*?) \|"),
], ids=["--help", "docstring", "README"])
def test_every_help_is_the_key_table_and_names_every_key(video, where, drawn, row):
    from brilox.play import keys
    block = key_block(where)
    assert block == drawn(keys)
    names = [re.match(row, line) for line in block.splitlines()]
    named = {n.strip("*") for found in names if found for n in found.group(1).split(", ")}
    assert named == set(commands_of_every_key(False)) | {"right click", "double click",
                                                          "wheel down", "wheel up"}
