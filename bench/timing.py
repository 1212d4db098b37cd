"""Timing shared by the benchmarks: two calls timed in alternating batches."""

import statistics
import time


def _batch(call, count):
    """Seconds per call over `count` back-to-back calls, after one untimed
    call that brings the call's own buffers back into the caches."""
    call()
    start = time.perf_counter_ns()
    for _ in range(count):
        call()
    return (time.perf_counter_ns() - start) / count / 1e9


def alternating(value, baseline, count, rounds):
    """Median seconds per call of `value` and of `baseline`, timed in batches
    of `count` calls that alternate A B B A ..., so that drift in the
    machine hits both alike."""
    times = {value: [], baseline: []}
    for r in range(rounds):
        for call in ((value, baseline) if r % 4 in (0, 3) else (baseline, value)):
            times[call].append(_batch(call, count))
    return statistics.median(times[value]), statistics.median(times[baseline])
