"""brilox.key.get_pressed() against building the same tuple in CPython.

The baseline is tuple(b) for a bytes object b as long as SDL's key-state
array: the host's own way of turning bytes into a tuple of small integers.
Both run in the same process, interleaved, and the figures are the medians
over the repeats, in microseconds per call.
"""

import statistics
import timeit

import brilox.display
import brilox.key

REPEATS = 41
CALLS = 10000


def run():
    brilox.display.init()
    try:
        pressed = brilox.key.get_pressed()
        b = bytes(len(pressed))
        assert tuple(b) == pressed and len(b) == 323
        ours = timeit.Timer("get_pressed()", globals={"get_pressed": brilox.key.get_pressed})
        base = timeit.Timer("tuple(b)", globals={"b": b})
        ours_times, base_times = [], []
        # Interleaved, so drift in the machine's speed hits both alike.
        for _ in range(REPEATS):
            ours_times.append(ours.timeit(CALLS) / CALLS * 1e6)
            base_times.append(base.timeit(CALLS) / CALLS * 1e6)
        value = statistics.median(ours_times)
        baseline = statistics.median(base_times)
    finally:
        brilox.display.quit()
    return [("key.get_pressed() (us/call)", value,
             "tuple(323-byte bytes)", baseline, "<= 1.30x")]
