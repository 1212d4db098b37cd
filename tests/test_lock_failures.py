"""Locks that fail, or run other code, partway through taking a lock."""

import gc

from brilox.surface import Surface
from lockers import Locker, lock_list_address, locked


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
