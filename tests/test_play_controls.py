"""How brilox-play is steered: real key presses and a real window close on
SDL's X11 driver under Xvfb (xdotool presses the keys), a signal, and the
per-frame key logic and frame sources on their own."""

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

import pytest

import brilox.play
import brilox.play.player
from brilox.play.controls import K_ESCAPE, K_LEFT, K_Q, K_RIGHT, K_SPACE, Keys
from brilox.play.player import fit
from brilox.play.raw import FileFrames, Layout, StreamFrames
from support import sdl

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

    def start(*args):
        window_class = "brilox-play-test-%d-%d" % (os.getpid(), next(WINDOW_CLASSES))
        env = dict(os.environ, SDL_VIDEODRIVER="x11", DISPLAY=x_display,
                   SDL_VIDEO_X11_WMCLASS=window_class)
        player = Player("--size", "64x48", "--fps", "10", *args, env=env)
        players.append(player)
        player.status()
        window = xdotool(x_display, "search", "--sync", "--class", window_class)[0]
        # Retried: a window that is not yet viewable refuses the focus.  (The
        # query prints nothing while the focus follows the pointer.)
        deadline = time.monotonic() + 20
        while xdotool(x_display, "getwindowfocus") != [window]:
            assert time.monotonic() < deadline, "the player's window never got the focus"
            xdotool(x_display, "windowfocus", window)
            time.sleep(0.1)
        player.window = int(window)
        return player

    yield start
    for player in players:
        player.stop()


def xdotool(display, *args):
    done = subprocess.run(["xdotool", *args], env=dict(os.environ, DISPLAY=display),
                          capture_output=True, text=True, timeout=20)
    return done.stdout.split()


@pytest.mark.parametrize("quit_key", ["q", "Escape"])
def test_keys_pause_step_and_quit(x_display, x11_player, quit_key):  # noqa: F811
    player = x11_player()
    press = lambda keysym: xdotool(x_display, "key", "--delay", "80", keysym)  # noqa: E731
    # Taps held for some 40 ms, well short of a frame at 10 fps, so only
    # keys read between frames see them; a tap of a few ms (xdotool's own)
    # slips between two reads on a loaded machine.  An arrow while playing
    # does nothing: the next thing reported is the pause.
    press("Right")
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
    assert player.frame_of("asked to quit") >= 0
    status, out = player.finish()
    assert status == 0
    assert re.match(r"brilox-play: \d+ frames, ", out)


# SDL turns SIGTERM into a quit request; SIGINT, for which the interpreter
# has a handler of its own, arrives as KeyboardInterrupt.
@pytest.mark.parametrize("signum, said", [(signal.SIGINT, "interrupted"),
                                          (signal.SIGTERM, "asked to quit")])
def test_signal_stops_playing_with_a_summary(signum, said):
    env = dict(os.environ, SDL_VIDEODRIVER="dummy")
    env.pop("DISPLAY", None)
    player = Player("--headless", "--frames", "100000000", env=env)
    try:
        player.status()
        player.process.send_signal(signum)
        assert player.frame_of(said) >= 0
        status, out = player.finish()
        assert status == 0
        assert re.match(r"brilox-play: \d+ frames, ", out)
    finally:
        player.stop()


# --- pacing and the summary, on a clock the test holds -----------------------

class Clock:
    """The player's clock, moved only by its own sleeps and by slow uploads.
    Keys are held over [start, end) of its time, as SDL's own key state."""

    def __init__(self, presses):
        self.now = self.start = 1000.0
        self.presses = presses

    def perf_counter(self):
        return self.now

    def sleep(self, seconds):
        assert seconds > 0
        self.now += seconds
        assert self.now < self.start + 60, "the player never stopped"
        state = sdl.lib().SDL_GetKeyState(None)
        t = self.now - self.start
        for k in {k for _, _, k in self.presses}:
            state[k] = any(begin <= t < end for begin, end, held in self.presses if held == k)


@pytest.mark.parametrize("presses, slow_at, playing", [
    # Paused from 1 s to 6 s; an upload at 6.5 s takes a whole second; quit at 8 s.
    ([(1, 1.05, K_SPACE), (6, 6.05, K_SPACE), (8, 8.05, K_Q)], 6.5, 3.0),
    # Paused at 1 s, quit at 6 s while still paused.
    ([(1, 1.05, K_SPACE), (6, 6.05, K_Q)], None, 1.0),
], ids=["resumed", "quit while paused"])
def test_pauses_and_slow_frames_neither_count_nor_bring_a_burst(monkeypatch, capsys, presses,
                                                                 slow_at, playing):
    clock = Clock(presses)
    shown = []

    class TimedOverlay(brilox.play.player.Overlay):
        def display(self, *frame):
            shown.append(clock.now - clock.start)
            if slow_at is not None and clock.now - clock.start >= slow_at > shown[-2]:
                clock.now += 1.0
            return super().display(*frame)

    monkeypatch.setattr(brilox.play.player, "time", clock)
    monkeypatch.setattr(brilox.play.player, "Overlay", TimedOverlay)
    monkeypatch.setattr(brilox.play.player, "headless_wanted", lambda options: False)
    sdl.lib().SDL_GetKeyState.restype = ctypes.POINTER(ctypes.c_uint8)
    try:
        assert brilox.play.main(["--size", "64x48", "--fps", "10"]) == 0
    finally:
        state = sdl.lib().SDL_GetKeyState(None)
        for k in (K_SPACE, K_Q):
            state[k] = 0
    summary = re.match(r"brilox-play: (\d+) frames, ([\d.]+) s playing, ([\d.]+) fps",
                       capsys.readouterr().out)
    frames, seconds, fps = int(summary[1]), float(summary[2]), float(summary[3])
    assert frames == len(shown)
    # The time paused is not playing time, whether or not play resumed.
    assert abs(seconds - playing) <= 0.02
    assert abs(fps - frames / playing) <= 0.1
    # At 10 fps throughout: no frames rushed out to catch up after the
    # pause or the slow upload.
    assert len(shown) <= 10 * playing + 2
    gaps = [b - a for a, b in zip(shown, shown[1:])]
    assert min(gaps) >= 0.1 - 1e-6, gaps


# --- the logic on its own ---------------------------------------------------

def pressed(*keys):
    state = [0] * 323
    for k in keys:
        state[k] = 1
    return tuple(state)


def test_keys_act_on_the_press_not_while_held():
    keys = Keys(300, 40)
    assert keys.commands(pressed(K_SPACE), 0.0) == ["pause"]
    assert keys.commands(pressed(K_SPACE), 0.1) == []
    assert keys.commands(pressed(), 0.2) == []
    assert keys.commands(pressed(K_SPACE), 0.3) == ["pause"]
    assert keys.commands(pressed(K_Q), 0.4) == ["quit"]
    assert keys.commands(pressed(K_Q, K_ESCAPE), 0.5) == ["quit"]


def test_held_arrow_repeats_after_the_delay_at_the_interval():
    keys = Keys(300, 40)
    seen = [(t, keys.commands(pressed(K_RIGHT), t / 1000)) for t in range(0, 500, 10)]
    assert [t for t, c in seen if c] == [0, 300, 340, 380, 420, 460]
    assert all(c in ([], ["next"]) for t, c in seen)
    # Released and pressed again: a step at once, and the delay again.
    assert keys.commands(pressed(), 0.5) == []
    assert keys.commands(pressed(K_LEFT), 0.51) == ["back"]
    assert keys.commands(pressed(K_LEFT), 0.7) == []


def test_late_polls_repeat_once_each_rather_than_in_a_burst():
    keys = Keys(300, 40)
    keys.commands(pressed(K_RIGHT), 0.0)
    assert keys.commands(pressed(K_RIGHT), 1.0) == ["next"]
    assert keys.commands(pressed(K_RIGHT), 1.01) == []
    assert keys.commands(pressed(K_RIGHT), 1.04) == ["next"]


def test_no_repeat_when_repeat_is_off():
    keys = Keys(0, 0)
    assert keys.commands(pressed(K_RIGHT), 0.0) == ["next"]
    assert keys.commands(pressed(K_RIGHT), 5.0) == []


@pytest.mark.parametrize("state", [None, (), (1,) * 10])
def test_missing_or_short_key_state_means_nothing_pressed(state):
    assert Keys(300, 40).commands(state, 0.0) == []


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
])
def test_fit_keeps_the_shape_and_centres(video, window, rect):
    assert fit(*video, *window) == rect
