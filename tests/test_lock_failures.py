"""Locks that fail, or run other code, partway through taking a lock.

A lock that fails before its owner could record anything leaves no trace;
code that a collection runs while a lock list is made keeps the locks it
took."""

import gc

import pytest

import brilox.surface
from brilox.surface import Surface
from lockers import Locker, lock_list_address, locked


def test_a_subsurface_lock_whose_owner_recorded_nothing_leaves_nothing(near_recursion_limit):
    # The recursion limit stops an owner lock far down the chain before it
    # records anything, and every lock above it is then taken back.
    chain = [Surface((4, 4))]
    for _ in range(200):
        chain.append(chain[-1].subsurface((0, 0, 4, 4)))
    with pytest.raises(RecursionError, match="while locking the owner of a subsurface$"):
        near_recursion_limit(chain[-1].lock, headroom=50)
    assert sum(len(s.get_locks()) for s in chain) == 0
    assert sum(locked(s) for s in chain) == 0


def test_a_collection_while_the_lock_list_is_made_keeps_the_locks_it_took(sdl_double):
    surface = Surface((4, 4))
    keeper = Locker("keeper")
    lists_seen = []

    class LocksWhenCollected:
        def __del__(self):
            lists_seen.append(lock_list_address(surface))
            surface.lock_by(keeper)

    was_enabled = gc.isenabled()
    gc.collect()
    gc.disable()  # no collection but the one inside the allocation
    # Takes every list the interpreter keeps for reuse, so that making the
    # lock list allocates.
    spare = [[] for _ in range(100)]
    try:
        cycle = LocksWhenCollected()
        cycle.self = cycle
        del cycle
        brilox.surface._collect_in_first_allocation(surface.lock)
    finally:
        if was_enabled:
            gc.enable()
    del spare
    # The finalizer ran while the surface had no lock list yet, inside the
    # allocation of the one that surface.lock() was making.
    assert lists_seen == [0]
    assert sdl_double.lock_surface_calls == 2
    assert surface.get_locks() == (keeper, surface)
    assert locked(surface) == 2
    surface.unlock_by(keeper)
    surface.unlock()
    assert locked(surface) == 0 and surface.get_locks() == ()
