"""Raw YUV clips of known colours, the player run in a child process, and
its screenshots read back."""

import os
import struct
import subprocess
import sys

# The cut-scene example, a game's own loop over brilox.play.Video.
CUTSCENE = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "examples",
                        "cutscene.py")
TITLE_MENU = os.path.join(os.path.dirname(CUTSCENE), "title_menu.py")

# Y, U, V of full red, green, blue and white, and which of red, green and
# blue each shows bright.
COLOURS = {
    "red": ((81, 90, 240), (1, 0, 0)),
    "green": ((145, 54, 34), (0, 1, 0)),
    "blue": ((41, 240, 110), (0, 0, 1)),
    "white": ((235, 128, 128), (1, 1, 1)),
    "grey": ((126, 128, 128), None),
}
# A 64 x 32 frame of 16 x 16 cells: red, green, blue, white above; blue,
# white, red, green below.  Swapped U and V, or chroma rows out of place,
# show as other colours.
CELLS = [["red", "green", "blue", "white"], ["blue", "white", "red", "green"]]
WIDTH, HEIGHT, CELL = 64, 32, 16


def bars(x, y):
    return COLOURS[CELLS[y // CELL][x // CELL]][0]


def grey(x, y):
    return COLOURS["grey"][0]


def frame(fmt, pixel, width=WIDTH, height=HEIGHT):
    """One raw frame in `fmt` whose pixel (x, y) has the (Y, U, V) that
    `pixel(x, y)` gives; chroma is taken from the pair's left pixel."""
    luma = bytes(pixel(x, y)[0] for y in range(height) for x in range(width))
    if fmt in ("i420", "yv12"):
        u, v = (bytes(pixel(x, y)[c] for y in range(0, height, 2) for x in range(0, width, 2))
                for c in (1, 2))
        return luma + (u + v if fmt == "i420" else v + u)
    out = bytearray()
    for y in range(height):
        for x in range(0, width, 2):
            y0, u, v = pixel(x, y)
            y1 = pixel(x + 1, y)[0]
            out += bytes((y0, u, y1, v) if fmt == "yuy2" else (u, y0, v, y1))
    return bytes(out)


def bmp_pixel(data, x, y):
    """The (r, g, b) of pixel (x, y) of a 24- or 32-bit BMP file."""
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height = struct.unpack_from("<ii", data, 18)
    step = struct.unpack_from("<H", data, 28)[0] // 8
    assert step in (3, 4)
    stride = (step * width + 3) & ~3
    row = height - 1 - y if height > 0 else y
    b, g, r = data[offset + row * stride + step * x:][:3]
    return r, g, b


def bmp_size(data):
    assert data[:2] == b"BM"
    width, height = struct.unpack_from("<ii", data, 18)
    return width, abs(height)


def brightness(rgb):
    """Which channels are bright (1) or dark (0); None for one in between."""
    return tuple(1 if c > 160 else 0 if c < 96 else None for c in rgb)


def play(*args, stdin=None, env=None, program=("-m", "brilox.play")):
    """Runs the player (or another `program` of the interpreter's, a script)
    headless (SDL's dummy driver) and waits for it."""
    environment = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
    environment["SDL_VIDEODRIVER"] = "dummy"
    environment.update(env or {})
    return subprocess.run([sys.executable, *map(str, program), *map(str, args)],
                          input=stdin, env=environment, capture_output=True, timeout=120)


# --- the player in this process, on a clock the test holds ------------------

KEY_EVENT, CLICK_EVENT = "=BBBxBxxxiiH", "=BBBBHH"


def push_event(kind, *fields):
    """Puts an event on SDL's queue: a key press (KEYDOWN, key[, modifiers])
    or a mouse click (MOUSEBUTTONDOWN, button, x, y)."""
    import ctypes
    import brilox.display as d
    from support import sdl
    event = ctypes.create_string_buffer(64)  # larger than any SDL_Event
    if kind == d.KEYDOWN:
        struct.pack_into(KEY_EVENT, event, 0, kind, 0, 1, 0, fields[0], (*fields, 0)[1], 0)
    else:
        struct.pack_into(CLICK_EVENT, event, 0, kind, 0, fields[0], 1, fields[1], fields[2])
    assert sdl.lib().SDL_PushEvent(event) == 0


class Clock:
    """The player's clock, moved only by its own sleeps and by slow uploads.
    Each event goes onto SDL's queue once the clock passes its time."""

    def __init__(self, events):
        self.now = self.start = 1000.0
        self.events = sorted(events, key=lambda e: e[0])

    def perf_counter(self):
        while self.events and self.events[0][0] <= self.now - self.start:
            push_event(*self.events.pop(0)[1:])
        return self.now

    def sleep(self, seconds):
        assert seconds > 0
        self.now += seconds
        assert self.now < self.start + 60, "the player never stopped"


def play_on_clock(monkeypatch, args, events, upload=0.0, seek=0.0):
    """brilox-play's exit status and what it showed: (seconds, overlay) for
    each frame, the overlay's planes as SDL holds them, the source's bytes.  Every upload takes
    `upload` seconds of the clock (or upload(n) for the n-th frame shown, from 0), and every
    step or seek made while playing `seek` seconds."""
    import brilox.play
    import brilox.play.player
    import brilox.media.video
    from support import sdl
    clock = Clock(events)
    shown = []

    class Recorder(brilox.media.video.Overlay):
        def display(self, *frame):
            super().display(*frame)
            if frame:
                clock.now += upload(len(shown)) if callable(upload) else upload
                w = sdl.overlay_record(self).w
                planes = []
                for plane, width in ((0, w), (2, w // 2), (1, w // 2)):
                    data, pitch, rows = sdl.overlay_plane(self, plane)
                    planes.append(b"".join(data[r * pitch:r * pitch + width]
                                           for r in range(rows)))
                shown.append((clock.now - clock.start, tuple(planes)))

    go = brilox.play.player.Player.go

    def slow_go(player, *args):
        if not player.paused:
            clock.now += seek
        return go(player, *args)

    monkeypatch.setattr(brilox.play.player.Player, "go", slow_go)
    monkeypatch.setattr(brilox.play.player, "time", clock)
    monkeypatch.setattr(brilox.media.video, "time", clock)
    monkeypatch.setattr(brilox.media.video, "Overlay", Recorder)
    monkeypatch.setattr(brilox.play.player, "headless_wanted", lambda options: False)
    # The levels go into the overlay as they are, on any SDL.
    monkeypatch.setattr(brilox.media.colour.maths, "conversion", lambda *args: None)
    # The display over the picture stays off unless asked for: the tests
    # read frames' numbers and colours off the whole picture.
    osd = [] if "--osd-level" in map(str, args) else ["--osd-level", "0"]
    return brilox.play.main([*map(str, args), "--range", "full", *osd]), shown
