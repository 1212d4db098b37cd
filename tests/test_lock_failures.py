"""Locks that fail, or run other code, partway through taking a lock.

A lock that fails before its owner could record anything leaves no trace;
code that a collection runs while a lock list is made keeps the locks it
took."""

import gc
import subprocess
import sys
import textwrap

from brilox.surface import Surface
from lockers import Locker, lock_list_address, locked


def test_a_subsurface_lock_whose_owner_recorded_nothing_leaves_nothing():
    # Too deep a chain for the recursion limit: the owner lock far down the
    # chain fails before it records anything, and so does every lock above.
    script = textwrap.dedent("""
        import sys
        sys.path.insert(0, %r)
        from brilox.surface import Surface
        from lockers import locked
        chain = [Surface((4, 4))]
        for _ in range(200):
            chain.append(chain[-1].subsurface((0, 0, 4, 4)))
        sys.setrecursionlimit(60)
        try:
            chain[-1].lock()
        except RecursionError:
            print("refused")
        sys.setrecursionlimit(1000)
        print(sum(len(s.get_locks()) for s in chain), sum(locked(s) for s in chain))
    """ % sys.path[0])
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout == "refused\n0 0\n"


def test_a_collection_while_the_lock_list_is_made_keeps_the_locks_it_took(sdl_double):
    surface = Surface((4, 4))
    keeper = Locker("keeper")

    class LocksWhenCollected:
        def __del__(self):
            surface.lock_by(keeper)

    was_enabled = gc.isenabled()
    threshold = gc.get_threshold()
    gc.collect()
    gc.disable()
    try:
        cycle = LocksWhenCollected()
        cycle.self = cycle
        del cycle
        # The next tracked object made, the surface's lock list, starts a
        # collection, and the finalizer locks the surface meanwhile.
        assert lock_list_address(surface) == 0
        gc.set_threshold(1)
        gc.enable()
        surface.lock()
    finally:
        gc.set_threshold(*threshold)
        if not was_enabled:
            gc.disable()
    assert sdl_double.lock_surface_calls == 2
    assert surface.get_locks() == (keeper, surface)
    assert locked(surface) == 2
    surface.unlock_by(keeper)
    surface.unlock()
    assert locked(surface) == 0 and surface.get_locks() == ()
