"""The demo player: python -m brilox.play --demo."""

import os
import struct
import subprocess
import sys

# The colour of each bar, as which of red, green and blue are bright.
BARS = [(1, 1, 1), (1, 1, 0), (0, 1, 1), (0, 1, 0), (1, 0, 1), (1, 0, 0), (0, 0, 1), (0, 0, 0)]


def bmp_pixel(data, x, y):
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height = struct.unpack_from("<ii", data, 18)
    assert struct.unpack_from("<H", data, 28)[0] == 24
    stride = (3 * width + 3) & ~3
    b, g, r = data[offset + (height - 1 - y) * stride + 3 * x:][:3]
    return r, g, b


def play(*args):
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "SDL_VIDEODRIVER")}
    return subprocess.run([sys.executable, "-m", "brilox.play", *args], env=env,
                          capture_output=True, text=True, timeout=60)


def test_demo_shows_the_pattern_and_saves_the_last_screen(tmp_path):
    output = tmp_path / "shots" / "last.bmp"
    done = play("--demo", "--frames", "11", "--output", str(output))
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == str(output)
    data = output.read_bytes()
    assert data[:2] == b"BM" and struct.unpack_from("<ii", data, 18) == (320, 240)
    # Frame 10 has scrolled the 40-pixel bars 40 pixels to the left.
    seen = [tuple(int(c > 128) for c in bmp_pixel(data, 40 * k + 20, 120)) for k in range(8)]
    assert seen == BARS[1:] + BARS[:1]


def test_player_without_demo_has_nothing_to_play():
    done = play()
    assert done.returncode == 2
    assert "use --demo" in done.stderr
