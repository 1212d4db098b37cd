"""One counted lock and unlock of a surface, at the C level.

`Surface._lock_cycles` runs lock_surface_by and unlock_surface_by for one
locker through the lock table in a C loop, so Python's call overhead stays
out of the figure.  It is timed with 0, 10, 100 and 1000 other lockers
holding a lock on the same surface, against a floor measured in the same
run by `Surface._floor_cycles`: one weak-reference creation, one list
append, one list deletion and one SDL lock and unlock.

The unlock finds its locker's entry from the end of the list at once (it is
the newest), but the purge of dead entries that follows visits every entry,
so the pair costs the floor plus a small constant per other locker.
"""

import time

from brilox.surface import Surface

SIZES = (0, 10, 100, 1000)
REPEATS = 7


class Locker:
    pass


def time_ns(loop, locker, cycles):
    start = time.perf_counter_ns()
    loop(locker, cycles)
    return (time.perf_counter_ns() - start) / cycles


def run():
    surface = Surface((64, 64))
    locker = Locker()
    floor_cycles = 100_000
    surface._floor_cycles(locker, floor_cycles)  # warm up
    surface._lock_cycles(locker, floor_cycles)

    # Floor and pair samples alternate, so both see the same machine state;
    # each figure is the best of its samples.
    floor = float("inf")
    pair = {}
    for others in SIZES:
        holders = [Locker() for _ in range(others)]
        for holder in holders:
            surface.lock_by(holder)
        cycles = 200_000 // (1 + others // 10)
        best = float("inf")
        for _ in range(REPEATS):
            floor = min(floor, time_ns(surface._floor_cycles, locker, floor_cycles))
            best = min(best, time_ns(surface._lock_cycles, locker, cycles))
        pair[others] = best
        for holder in holders:
            surface.unlock_by(holder)
    assert not surface.get_locked()

    rows = [("pinhold lock+unlock, 0 other lockers (ns)", pair[0], "floor (ns)", floor,
             "<= 2x")]
    for others in SIZES[1:]:
        rows.append(("pinhold lock+unlock, %d other lockers (ns)" % others, pair[others],
                     "floor (ns)", floor, "linear in lockers"))
    for small, large in zip(SIZES[1:], SIZES[2:]):
        rows.append(("pinhold lock+unlock, %d other lockers (ns)" % large, pair[large],
                     "same, %d other lockers (ns)" % small, pair[small],
                     "<= %dx" % (large // small)))
    return rows
