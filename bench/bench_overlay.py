"""Uploading a YV12 frame with Overlay.display, against one memcpy of the same
number of bytes.

SDL's YUV-to-RGB conversion is kept out of the figure: the SDL test double
makes SDL_DisplayYUVOverlay a no-op, so what is timed is the upload itself
(argument parsing, lock, copies, unlock).

Both sides are timed the same way: one Python-level call into C per
operation (``overlay.display(frame)`` and ``ctypes.memmove(dst, src, n)``),
in batches of back-to-back calls on their own preallocated, already-touched
buffers.  Each batch starts with one untimed call so that the buffers of
the other side, evicted from the caches in between, do not count; the two
sides alternate batch by batch (A B B A ...) so that drift hits both alike.
The figure is the median over the batches of the mean time per call, in
microseconds.  The fixed cost of each call (a 2 x 2 frame, a 6-byte
memmove) is reported beside them: it is under 1 % of the copy at 1080p and
4K.

The reference rows upload frames whose source rows are one byte longer
than the overlay's, which forces one block copy per row instead of one per
plane: the price of a strided source.

Frames need not be bytes.  Two more kinds are timed against the same
memcpy: the planes as memoryviews, and the planes as 2-D views of a
decoder's padded planes (numpy arrays whose rows run 64 bytes past the
picture), read row by row with their own stride.
"""

import ctypes
import os
import time

from support import sdl
from timing import alternating

SIZES = [(640, 480, None), (1920, 1080, "<= 1.10x"), (3840, 2160, "<= 1.10x")]
ROUNDS = 41
BATCH_SECONDS = 0.008


def _compare(upload, baseline, seconds_per_call):
    """Median microseconds per call of both, alternating batch by batch."""
    count = max(4, int(BATCH_SECONDS / seconds_per_call))
    return tuple(t * 1e6 for t in alternating(upload, baseline, count, ROUNDS))


def _frame(w, h, kind):
    """A w x h YV12 frame as bytes; as bytes whose rows are one byte longer
    than the overlay's ("padded"); as memoryviews; or as 2-D views of planes
    whose rows run 64 bytes past the picture ("strided").  Written, not
    merely allocated: a source of untouched pages would time the page faults
    of its first read."""
    if kind == "strided":
        import numpy
        planes = ((w, h, 0x10), (w // 2, h // 2, 0x80), (w // 2, h // 2, 0x80))
        return tuple(numpy.full((rows, columns + 64), value, numpy.uint8)[:, :columns]
                     for columns, rows, value in planes)
    pad = 1 if kind == "padded" else 0
    frame = (b"\x10" * ((w + pad) * h), b"\x80" * ((w // 2 + pad) * (h // 2)),
             b"\x80" * ((w // 2 + pad) * (h // 2)))
    return tuple(map(memoryview, frame)) if kind == "memoryviews" else frame


def _pair(overlay_class, w, h, kind="bytes"):
    """The upload of a w x h YV12 frame of the given kind (_frame) and the
    memcpy of as many bytes as the picture has."""
    luma, chroma = w * h, (w // 2) * (h // 2)
    total = luma + 2 * chroma
    overlay = overlay_class(sdl.YV12, (w, h))
    frame = _frame(w, h, kind)
    source = b"\x10" * total
    destination = ctypes.create_string_buffer(total)
    memmove = ctypes.memmove

    def upload():
        overlay.display(frame)

    def baseline():
        memmove(destination, source, total)

    # Touch the destination pages of both before anything is timed: the
    # first upload into a new overlay pays its page faults.
    upload()
    baseline()
    start = time.perf_counter()
    for _ in range(3):
        upload()
    return overlay, upload, baseline, (time.perf_counter() - start) / 3, total


def run():
    double = sdl.load_double()
    os.environ.setdefault("SDL_VIDEODRIVER", "dummy")
    import brilox.display
    from brilox.overlay import Overlay

    rows = []
    brilox.display.init()
    double.state.display_is_noop = 1
    try:
        brilox.display.set_mode((64, 48))
        overlay, upload, baseline, per_call, total = _pair(Overlay, 2, 2)
        value, base = _compare(upload, baseline, max(per_call, 1e-7))
        rows.append(("display((y, u, v)) fixed cost, YV12 2x2, us/call", value,
                     "memmove of %d B, us/call" % total, base, "(fixed cost)"))
        del overlay, upload, baseline
        for w, h, target in SIZES:
            overlay, upload, baseline, per_call, total = _pair(Overlay, w, h)
            value, base = _compare(upload, baseline, per_call)
            rows.append(("display((y, u, v)) YV12 %dx%d, us/call" % (w, h), value,
                         "memcpy of %d B, us/call" % total, base, target or "(none)"))
            del overlay, upload, baseline
        for kind, label in [("memoryviews", "planes as memoryviews"),
                            ("strided", "planes as 2-D views of padded rows")]:
            for w, h, target in SIZES:
                overlay, upload, baseline, per_call, total = _pair(Overlay, w, h, kind)
                value, base = _compare(upload, baseline, per_call)
                rows.append(("  same, %s %dx%d, us/call" % (label, w, h), value,
                             "memcpy of %d B, us/call" % total, base, target or "(none)"))
                del overlay, upload, baseline
        for w, h, _ in SIZES:
            overlay, upload, baseline, per_call, total = _pair(Overlay, w, h, "padded")
            value, base = _compare(upload, baseline, per_call)
            rows.append(("  same, row by row (strided source) %dx%d, us/call" % (w, h), value,
                         "memcpy of %d B, us/call" % total, base, "(reference)"))
            del overlay, upload, baseline
    finally:
        double.state.display_is_noop = 0
        brilox.display.quit()
    return rows
