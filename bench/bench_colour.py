"""Expanding a 1080p yuv420p frame from video levels to full range, as
brilox-play does before the upload where SDL takes levels as full range,
and compressing one from full range to video levels, as it does where SDL
takes levels as limited range and the video is full range.

The expansion (brilox/play's native `expand`, over the three planes of a
1920 x 1080 frame, 3110400 bytes) is measured three ways:

- into new bytes objects, as the player uploads them, against one memcpy
  of as many bytes into a buffer made beforehand;
- into buffers made beforehand, against the same memcpy;
- into new bytes objects again, against the frame time it must fit in:
  one Overlay.display((y, u, v)) of a 1080p frame with SDL's conversion to
  RGB, the bulk of the player's frame time (the player's whole frame is
  longer still, so the ratio is an upper bound of the expansion's share).

The compression (`compress`, into new bytes objects) is measured against
the expansion and against the same Overlay.display.

Against the same Overlay.display too: `transform` of the frame from BT.709
video levels to BT.601 full range in one pass, as the player shows BT.709
video on an SDL that converts as BT.601 and takes levels as full range; and
`turn` of its three planes by a quarter, as for video filmed on its side.

Against a memcpy of its 8-bit frame: `narrow` of a 3840 x 2160 frame of
10 bits (yuv420p10le) to 8-bit yuv420p, with the levels expanded on the way
(one pass), into planes made beforehand as the player's pipeline uses its
own again, and into new bytes objects.  The 8-bit frame's memcpy reads
and writes 25 MB, which a last-level cache of 32 MB or more holds from one
call to the next; `narrow` reads 25 MB and writes 12 MB past the caches,
which no such cache holds.  So the same call is measured against a memcpy
of the 10-bit frame it reads, whose 50 MB goes to memory too: how near
memory speed the pass runs.

Each pair alternates batch by batch (A B B A ...) so that drift hits both
alike; a figure is the median over the batches of the mean per call.
"""

import ctypes
import os
import time

from support import sdl
from timing import alternating

WIDTH, HEIGHT = 1920, 1080
ROUNDS = 31
BATCH_SECONDS = 0.02


def _compare(value, baseline):
    """Median milliseconds per call of both."""
    once = time.perf_counter()
    value()
    count = max(3, int(BATCH_SECONDS / max(time.perf_counter() - once, 1e-6)))
    return tuple(t * 1e3 for t in alternating(value, baseline, count, ROUNDS))


def _frame():
    """A 1080p frame of varied levels, as a decoder hands them over."""
    luma = bytes((x * 7 + y) & 255 for y in range(8) for x in range(WIDTH)) * (HEIGHT // 8)
    chroma = bytes((x * 5 + 3 * y) & 255 for y in range(4) for x in range(WIDTH // 2)) \
        * (HEIGHT // 8)
    return (luma, chroma, chroma)


def run():
    sdl.load_double()
    os.environ.setdefault("SDL_VIDEODRIVER", "dummy")
    import brilox.display
    from brilox.overlay import Overlay
    import brilox.media.colour as colour
    from brilox.media import _colour

    frame = _frame()
    total = sum(map(len, frame))
    source = b"".join(frame)
    destination = ctypes.create_string_buffer(total)
    targets = [bytearray(len(p)) for p in frame]
    memmove = ctypes.memmove

    def memcpy():
        memmove(destination, source, total)

    def into_new():
        colour.expand_frame(frame, colour.YV12)

    def compress_into_new():
        colour.compress_frame(frame, colour.YV12)

    # The player's own coefficients from BT.709 video levels to BT.601 full range.
    coefficients = colour.coefficients(colour.BT709, colour.LIMITED, colour.BT601, colour.FULL)

    def transform():
        _colour.transform(frame, _colour.PLANAR, WIDTH, HEIGHT, coefficients)

    def turn():
        _colour.turn(frame[0], WIDTH, HEIGHT, 1, False)
        _colour.turn(frame[1], WIDTH // 2, HEIGHT // 2, 1, False)
        _colour.turn(frame[2], WIDTH // 2, HEIGHT // 2, 1, False)

    def into_made():
        for plane, target, kind in zip(frame, targets, (colour.LUMA, colour.CHROMA, colour.CHROMA)):
            colour.expand(plane, kind, target)

    # A 4K frame of 10 bits (each level of the 1080p frame's, four times
    # over, in little-endian words), and a memcpy of it at 8 bits.
    deep_width, deep_height = 3840, 2160
    low = bytes.maketrans(bytes(range(256)), bytes((b << 2) & 255 for b in range(256)))
    high = bytes.maketrans(bytes(range(256)), bytes(b >> 6 for b in range(256)))

    def words(plane):
        deep_plane = bytearray(2 * len(plane))
        deep_plane[0::2], deep_plane[1::2] = plane.translate(low), plane.translate(high)
        return bytes(deep_plane)

    eight = [p * 4 for p in frame]
    deep = tuple(words(p) for p in eight)
    try:
        # In the planes of a frame as the decoder hands it over (aligned as
        # FFmpeg aligns them).
        import av
        decoded = av.VideoFrame(deep_width, deep_height, "yuv420p10le")
        for plane, data in zip(decoded.planes, deep):
            memoryview(plane)[:len(data)] = data
        deep = tuple(decoded.planes)
    except ImportError:
        pass
    deep_words = b"".join(bytes(p) for p in deep)
    deep_copy = ctypes.create_string_buffer(len(deep_words))
    deep_source = b"".join(eight)
    deep_eight = len(deep_source)
    deep_destination = ctypes.create_string_buffer(deep_eight)
    expand_levels = colour.coefficients(colour.BT709, colour.LIMITED, colour.BT709, colour.FULL)

    narrowed = tuple(bytearray(len(p)) for p in eight)

    def narrow():
        colour.narrow(deep, deep_width, deep_height, 10, False, expand_levels, narrowed)

    def narrow_into_new():
        colour.narrow(deep, deep_width, deep_height, 10, False, expand_levels)

    def deep_memcpy():
        memmove(deep_destination, deep_source, deep_eight)

    def words_memcpy():
        memmove(deep_copy, deep_words, len(deep_words))

    rows = []
    value, base = _compare(narrow, deep_memcpy)
    rows.append(("narrow yuv420p10le 3840x2160 to 8 bits, levels expanded, into planes made "
                 "beforehand, ms/frame", value, "memcpy of its 8-bit frame, %d B, ms" % deep_eight,
                 base, "<= 1.5x"))
    value, base = _compare(narrow, words_memcpy)
    rows.append(("  same, ms/frame", value, "memcpy of the 10-bit frame it reads, %d B, ms"
                 % len(deep_words), base, "(reference)"))
    value, base = _compare(narrow_into_new, deep_memcpy)
    rows.append(("  same, into new bytes, ms/frame", value,
                 "memcpy of its 8-bit frame, %d B, ms" % deep_eight, base, "(reference)"))
    value, base = _compare(into_new, memcpy)
    rows.append(("expand yuv420p 1920x1080 into new bytes, ms/frame", value,
                 "memcpy of %d B, ms" % total, base, "(reference)"))
    value, base = _compare(into_made, memcpy)
    rows.append(("  same, into buffers made beforehand, ms/frame", value,
                 "memcpy of %d B, ms" % total, base, "(reference)"))
    value, base = _compare(compress_into_new, into_new)
    rows.append(("compress yuv420p 1920x1080 into new bytes, ms/frame", value,
                 "expand, the same, ms/frame", base, "~1.0x"))

    brilox.display.init()
    try:
        brilox.display.set_mode((WIDTH, HEIGHT))
        overlay = Overlay(colour.YV12, (WIDTH, HEIGHT))
        expanded = colour.expand_frame(frame, colour.YV12)

        def show():
            overlay.display(expanded)

        value, base = _compare(into_new, show)
        rows.append(("expand yuv420p 1920x1080 into new bytes, ms/frame", value,
                     "Overlay.display 1080p with SDL's conversion, ms/frame", base, "<= 0.10x"))
        value, base = _compare(compress_into_new, show)
        rows.append(("compress yuv420p 1920x1080 into new bytes, ms/frame", value,
                     "Overlay.display 1080p with SDL's conversion, ms/frame", base, "<= 0.10x"))
        value, base = _compare(transform, show)
        rows.append(("transform yuv420p 1920x1080 BT.709 limited to BT.601 full (one pass), "
                     "ms/frame", value,
                     "Overlay.display 1080p with SDL's conversion, ms/frame", base, "<= 0.10x"))
        value, base = _compare(turn, show)
        rows.append(("turn yuv420p 1920x1080 a quarter turn (3 planes), ms/frame", value,
                     "Overlay.display 1080p with SDL's conversion, ms/frame", base, "<= 0.15x"))
        del overlay
    finally:
        brilox.display.quit()
    return rows
