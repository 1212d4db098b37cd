"""Plays YUV video through an Overlay.

For now it plays one thing: ``python -m brilox.play --demo`` shows a
generated, moving test pattern (colour bars scrolling sideways and a white
line sweeping down) and saves the last screen as a BMP file, whose path it
prints.  Without an X display it runs on SDL's dummy video driver.
"""

import argparse
import os
import sys
import time

WIDTH, HEIGHT = 320, 240
YV12 = 0x32315659

# Y, U, V of the eight classic bars: white, yellow, cyan, green, magenta,
# red, blue, black.
BARS = [(235, 128, 128), (210, 16, 146), (170, 166, 16), (145, 54, 34),
        (106, 202, 222), (81, 90, 240), (41, 240, 110), (16, 128, 128)]


def bar_rows(width):
    """One luma row and one chroma row of each plane, twice over, so that any
    window of `width` (or `width // 2`) bytes is the bars scrolled."""
    bar = width // len(BARS)
    y = b"".join(bytes([c[0]]) * bar for c in BARS) * 2
    u = b"".join(bytes([c[1]]) * (bar // 2) for c in BARS) * 2
    v = b"".join(bytes([c[2]]) * (bar // 2) for c in BARS) * 2
    return y, u, v


def pattern_frame(frame, width=WIDTH, height=HEIGHT):
    """Frame number `frame` of the pattern, as the (y, u, v) planes of YV12."""
    y_row, u_row, v_row = bar_rows(width)
    shift = (4 * frame) % width
    y_line = y_row[shift:shift + width]
    chroma = shift // 2
    u = u_row[chroma:chroma + width // 2] * (height // 2)
    v = v_row[chroma:chroma + width // 2] * (height // 2)
    sweep = (2 * frame) % height
    rows = [y_line] * height
    rows[sweep] = b"\xeb" * width
    return b"".join(rows), u, v


def demo(frames, output):
    """Shows `frames` frames of the pattern and saves the last screen."""
    if "DISPLAY" not in os.environ:
        os.environ.setdefault("SDL_VIDEODRIVER", "dummy")
    import brilox.display
    from brilox.overlay import Overlay

    brilox.display.init()
    try:
        brilox.display.set_mode((WIDTH, HEIGHT))
        brilox.display.set_caption("brilox test pattern")
        overlay = Overlay(YV12, (WIDTH, HEIGHT))
        for frame in range(frames):
            started = time.perf_counter()
            overlay.display(pattern_frame(frame))
            brilox.display.flip()
            brilox.display.pump()
            time.sleep(max(0.0, 1 / 60 - (time.perf_counter() - started)))
        os.makedirs(os.path.dirname(os.path.abspath(output)), exist_ok=True)
        brilox.display.save(output)
        del overlay
    finally:
        brilox.display.quit()
    return output


def main(argv=None):
    parser = argparse.ArgumentParser(prog="python -m brilox.play", description=__doc__.split("\n")[0])
    parser.add_argument("--demo", action="store_true", help="play the generated test pattern")
    parser.add_argument("--frames", type=int, default=60, help="frames to show (default 60)")
    parser.add_argument("--output", default=os.path.join("build", "demo.bmp"),
                        help="where to save the last screen (default build/demo.bmp)")
    args = parser.parse_args(argv)
    if not args.demo:
        parser.error("nothing to play yet: use --demo")
    if args.frames < 1:
        parser.error("--frames must be at least 1")
    print(demo(args.frames, args.output))
    return 0


if __name__ == "__main__":
    sys.exit(main())
