"""How soon brilox-play shows its first frame and plays its first sound,
against ffplay on the same file in the same run: whole processes, timed
from the moment each is started, as a user meets them.

The clip (3 s of FFmpeg's testsrc2 at 1280x720, 30 fps, H.264, with AAC
sound at 48 kHz) is made here.  Both players run on an Xvfb server of the
clip's size, so that either window covers the screen, their sound going to
a PulseAudio server's null sink, both started here.

- First frame: a thread reads a pixel of the screen through Xlib every half
  millisecond; the frame is up when that pixel first comes close to the
  first frame's, as FFmpeg renders it.
- First sound: the sink's monitor is recorded (tests/support/soundserver.py's
  listener, which notes when each read arrives); the sound is heard at the
  first sample that is not silence.

Each player is ended once both are seen.  They take turns, the order
reversed every other round; each row shows the round of median ratio.
"""

import ctypes
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

ROUNDS = 7
WIDTH, HEIGHT = 1280, 720
# The pixel watched: in the middle of the yellow bar, clear of anything
# that moves.
SPOT = (WIDTH * 3 // 8, HEIGHT * 3 // 4)
# How far each channel of the pixel may be from FFmpeg's render: the two
# players convert by their own matrices and rounding.
CLOSE = 24
# Samples of this size or more are sound, not silence.
LOUD = 300


class PixelWatch(threading.Thread):
    """Notes the time.monotonic() at which a pixel of the screen first comes
    within CLOSE of `rgb`."""

    def __init__(self, display, x, y, rgb):
        super().__init__(daemon=True)
        from support.xserver import xlib
        x11 = self.x11 = xlib()
        self.free = ctypes.CDLL(None).free
        self.free.argtypes = [ctypes.c_void_p]
        self.connection = x11.XOpenDisplay(display.encode())
        self.root = x11.XDefaultRootWindow(self.connection)
        self.x, self.y, self.rgb = x, y, rgb
        self.seen, self.running = None, True
        self.start()

    def run(self):
        while self.running and self.seen is None:
            image = self.x11.XGetImage(self.connection, self.root, self.x, self.y, 1, 1,
                                       0xFFFFFFFF, 2)  # ZPixmap
            now = time.monotonic()
            # An XImage begins with four ints, then its data.
            data = image[2]
            value = ctypes.cast(data, ctypes.POINTER(ctypes.c_uint32))[0]
            self.free(data)
            self.free(image)
            pixel = (value >> 16 & 255, value >> 8 & 255, value & 255)
            if all(abs(a - b) <= CLOSE for a, b in zip(pixel, self.rgb)):
                self.seen = now
            time.sleep(0.0005)

    def stop(self):
        self.running = False
        self.join(10)
        self.x11.XCloseDisplay(self.connection)
        return self.seen


def _first_sound(listener):
    """The time the first sample that is not silence played, or None."""
    import numpy as np
    heard, times = listener.stop()
    loud = np.flatnonzero(np.abs(heard.astype(np.int32)) >= LOUD)
    return float(times[loud[0]]) if len(loud) else None


def _start_servers(folder):
    """(X display, the sound server, the processes to stop)."""
    from support.soundserver import start_sound_server
    from support.xserver import start_xvfb
    xvfb, display = start_xvfb("%dx%dx24" % (WIDTH, HEIGHT), "-br")
    server, pulse = start_sound_server(folder)
    return display, server, (pulse, xvfb)


def _once(command, env, display, centre):
    """(Seconds to the first frame, seconds to the first sound) of one run
    of `command`, from its start."""
    watch = PixelWatch(display, *SPOT, centre)
    listener = env["listen"]()
    # The recorder is reading before the player starts.
    deadline = time.monotonic() + 10
    while not listener.arrivals and time.monotonic() < deadline:
        time.sleep(0.01)
    start = time.monotonic()
    player = subprocess.Popen(command, env=env["env"], stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = start + 10
    while watch.seen is None and time.monotonic() < deadline:
        time.sleep(0.01)
    # The sound follows within the sink's own latency.
    time.sleep(0.6)
    player.send_signal(signal.SIGTERM)
    try:
        player.wait(timeout=10)
    except subprocess.TimeoutExpired:
        player.kill()
        player.wait()
    frame, sound = watch.stop(), _first_sound(listener)
    if frame is None or sound is None:
        raise RuntimeError("%s: no %s seen" % (command[0], "frame" if frame is None else "sound"))
    return frame - start, sound - start


def run():
    if not all(shutil.which(p) for p in ("Xvfb", "pulseaudio", "parec", "ffplay", "ffmpeg")):
        return []
    folder = tempfile.mkdtemp(prefix="brilox-bench-start-")
    os.chmod(folder, 0o700)
    clip = os.path.join(folder, "clip.mp4")
    subprocess.run(["ffmpeg", "-v", "error", "-nostdin", "-y", "-f", "lavfi", "-i",
                    "testsrc2=size=%dx%d:rate=30" % (WIDTH, HEIGHT), "-f", "lavfi", "-i",
                    "sine=frequency=440:sample_rate=48000", "-t", "3",
                    "-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac", clip],
                   check=True, timeout=120)
    centre = tuple(subprocess.run(
        ["ffmpeg", "-v", "error", "-nostdin", "-i", clip, "-frames:v", "1", "-vf",
         "crop=2:2:%d:%d" % SPOT, "-f", "rawvideo", "-pix_fmt", "rgb24",
         "-"], check=True, capture_output=True, timeout=60).stdout[:3])
    display, server, processes = _start_servers(folder)
    env = {"env": dict(os.environ, DISPLAY=display, SDL_VIDEODRIVER="x11", **server.env),
           "listen": server.listen}
    env["env"].pop("SDL_AUDIODRIVER", None)
    ours = [sys.executable, "-m", "brilox.play", clip]
    theirs = ["ffplay", "-v", "error", "-autoexit", clip]
    rounds = []
    try:
        for r in range(ROUNDS):
            order = [ours, theirs] if r % 2 == 0 else [theirs, ours]
            got = {tuple(c): _once(c, env, display, centre) for c in order}
            rounds.append((got[tuple(ours)], got[tuple(theirs)]))
    finally:
        for process in processes:
            process.terminate()
            process.wait(timeout=10)
        shutil.rmtree(folder, ignore_errors=True)

    def median_round(which):
        return sorted(rounds, key=lambda r: r[0][which] / r[1][which])[len(rounds) // 2]

    frame, sound = median_round(0), median_round(1)
    return [("brilox-play 720p H.264 with sound, first frame from start, s", frame[0][0],
             "ffplay, the same file, first frame, s", frame[1][0], "<= 1.00x"),
            ("brilox-play 720p H.264 with sound, first sound in the sink from start, s",
             sound[0][1], "ffplay, the same file, first sound, s", sound[1][1], "<= 1.00x")]


if __name__ == "__main__":
    sys.path[:0] = [os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests")]
    for row in run():
        print("%s: %.3f | %s: %.3f | %.2fx" % (row[0], row[1], row[2], row[3], row[1] / row[3]))
