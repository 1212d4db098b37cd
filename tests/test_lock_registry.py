"""The lock registry, driven through brilox.surface, the client of the lock
table.  SDL's own lock counter of each surface is the oracle; the SDL double
counts calls and refuses locks."""

import gc
import sys

import pytest

from brilox.surface import Surface
from lockers import (Locker, Unreferenceable, corrupt_pixels, lock_list_address, locked,
                     pixels, sdl_build, sdl_record, subsurface_record)


@pytest.fixture
def surface():
    return Surface((32, 24))


def test_plain_lock_is_held_by_the_surface_itself(surface):
    surface.lock()
    assert surface.get_locks() == (surface,)
    assert surface.get_locked() is True
    assert locked(surface) == 1
    surface.unlock()
    assert surface.get_locks() == ()
    assert surface.get_locked() is False
    assert locked(surface) == 0


def test_nested_locks_by_one_locker_are_given_back_one_at_a_time(surface, sdl_double):
    a = Locker()
    surface.lock_by(a)
    surface.lock_by(a)
    assert locked(surface) == 2
    surface.unlock_by(a)
    assert (sdl_double.lock_surface_calls, sdl_double.unlock_surface_calls) == (2, 1)
    assert surface.get_locks() == (a,)
    assert locked(surface) == 1
    surface.unlock_by(a)
    assert surface.get_locks() == ()
    assert locked(surface) == 0


def test_unlock_takes_the_newest_entry_of_its_locker(surface):
    a, b = Locker("a"), Locker("b")
    for locker in (a, b, a, b):
        surface.lock_by(locker)
    surface.unlock_by(a)
    assert surface.get_locks() == (a, b, b)


def test_a_locker_that_dies_is_purged_by_the_next_unlock(surface, sdl_double):
    a, b = Locker(), Locker()
    surface.lock_by(a)
    surface.lock_by(b)
    del b
    assert surface.get_locks() == (a,)
    assert surface.get_locked() is True
    assert locked(surface) == 2
    surface.unlock_by(a)
    assert sdl_double.unlock_surface_calls == 2
    assert locked(surface) == 0
    assert surface.get_locked() is False


def test_an_unlock_by_a_stranger_releases_only_dead_entries(surface, sdl_double):
    a, gone = Locker(), Locker()
    surface.lock_by(a)
    surface.unlock_by(Locker())
    assert sdl_double.unlock_surface_calls == 0
    assert surface.get_locks() == (a,)
    assert locked(surface) == 1

    surface.lock_by(gone)
    del gone
    surface.unlock_by(Locker())
    assert sdl_double.unlock_surface_calls == 1
    assert surface.get_locks() == (a,)
    assert locked(surface) == 1


def test_a_surface_never_locked_unlocks_without_making_a_list(surface, sdl_double):
    surface.unlock()
    surface.unlock_by(Locker())
    assert lock_list_address(surface) == 0
    assert sdl_double.unlock_surface_calls == 0
    surface.lock()
    assert lock_list_address(surface) != 0


@pytest.mark.parametrize("locker", [Unreferenceable(), 7, None], ids=repr)
def test_a_locker_that_cannot_be_weakly_referenced_is_refused(surface, sdl_double, locker):
    with pytest.raises(TypeError, match="weak reference"):
        surface.lock_by(locker)
    assert surface.get_locked() is False
    assert locked(surface) == 0
    assert sdl_double.lock_surface_calls == 0


def test_a_lock_that_sdl_refuses_keeps_its_entry_for_the_unlock(surface, sdl_double):
    a = Locker()
    sdl_double.state.refuse_lock_surface = 1
    with pytest.raises(RuntimeError, match="^error locking surface$"):
        surface.lock_by(a)
    sdl_double.state.refuse_lock_surface = 0
    assert surface.get_locks() == (a,)
    assert locked(surface) == 0
    surface.unlock_by(a)
    assert surface.get_locks() == ()
    assert (sdl_double.lock_surface_calls, sdl_double.unlock_surface_calls) == (1, 1)


def test_a_surface_without_sdl_surface_is_refused_before_anything(surface, sdl_double):
    surface._drop_sdl_surface()
    for lock in (surface.lock, lambda: surface.lock_by(Locker())):
        with pytest.raises(RuntimeError, match="^error locking surface$"):
            lock()
    assert lock_list_address(surface) == 0
    assert sdl_double.lock_surface_calls == 0
    surface.unlock()


def test_an_unlock_after_the_sdl_surface_is_gone_only_drops_entries(surface, sdl_double):
    a = Locker()
    surface.lock_by(a)
    surface._drop_sdl_surface()  # SDL unlocks a surface it frees
    calls = sdl_double.unlock_surface_calls
    surface.unlock_by(a)
    assert surface.get_locks() == ()
    assert sdl_double.unlock_surface_calls == calls


# ---- subsurfaces -------------------------------------------------------------


def test_a_subsurface_records_its_owner_and_pixel_offset(surface):
    sub = surface.subsurface((3, 2, 10, 8))
    assert sub.get_parent() is surface
    assert surface.get_parent() is None
    assert sub.get_size() == (10, 8)
    record = subsurface_record(sub)
    assert record.owner == id(surface)
    assert record.pixeloffset == 2 * sdl_record(surface).pitch + 3 * 4
    assert pixels(sub) == pixels(surface) + record.pixeloffset


def test_locking_a_subsurface_locks_its_owner_and_points_into_its_pixels(surface, sdl_double):
    sub = surface.subsurface((5, 4, 8, 8))
    offset = 4 * sdl_record(surface).pitch + 5 * 4
    corrupt_pixels(sub)
    a = Locker()
    sub.lock_by(a)
    assert surface.get_locks() == (sub,)
    assert sub.get_locks() == (a,)
    assert (locked(surface), locked(sub)) == (1, 1)
    assert pixels(sub) == pixels(surface) + offset
    assert sdl_double.lock_surface_calls == 2

    corrupt_pixels(sub, 0x2000)
    sub.unlock_by(a)
    # The registry never touches it; some SDL builds point it back at the
    # pixels the SDL surface was made with.
    left = pixels(surface) + offset if sdl_build().restores_pixels else 0x2000
    assert pixels(sub) == left, "unlocking leaves the pixel pointer alone"
    assert surface.get_locks() == sub.get_locks() == ()
    assert (locked(surface), locked(sub)) == (0, 0)
    assert sdl_double.unlock_surface_calls == 2


def test_subsurfaces_two_deep_lock_every_owner_once(surface, sdl_double):
    middle = surface.subsurface((4, 4, 20, 16))
    inner = middle.subsurface((2, 3, 6, 6))
    pitch = sdl_record(surface).pitch
    corrupt_pixels(middle)
    corrupt_pixels(inner)
    inner.lock()
    assert inner.get_locks() == (inner,)
    assert middle.get_locks() == (inner,)
    assert surface.get_locks() == (middle,)
    assert [locked(s) for s in (surface, middle, inner)] == [1, 1, 1]
    assert pixels(middle) == pixels(surface) + 4 * pitch + 16
    assert pixels(inner) == pixels(middle) + 3 * pitch + 8
    assert sdl_double.lock_surface_calls == 3

    inner.lock()
    assert [locked(s) for s in (surface, middle, inner)] == [2, 2, 2]
    inner.unlock()
    inner.unlock()
    assert [locked(s) for s in (surface, middle, inner)] == [0, 0, 0]
    assert surface.get_locks() == middle.get_locks() == inner.get_locks() == ()
    assert sdl_double.unlock_surface_calls == 6


@pytest.mark.parametrize("dropped", ["owner", "grandowner"])
def test_a_subsurface_whose_owner_lost_its_sdl_surface_is_refused(surface, sdl_double, dropped):
    middle = surface.subsurface((0, 0, 16, 16))
    inner = middle.subsurface((1, 1, 4, 4))
    (middle if dropped == "owner" else surface)._drop_sdl_surface()
    sentinel = 0x3000
    corrupt_pixels(inner, sentinel)
    with pytest.raises(RuntimeError, match="^error locking surface$"):
        inner.lock()
    assert pixels(inner) == sentinel
    assert sdl_double.lock_surface_calls == 0
    for s in (surface, middle, inner):
        assert lock_list_address(s) == 0


def test_a_refused_subsurface_lock_still_holds_its_owner_until_unlocked(surface, sdl_double):
    sub = surface.subsurface((1, 2, 4, 4))
    corrupt_pixels(sub)
    sdl_double.state.refuse_lock_surface = 1
    with pytest.raises(RuntimeError, match="^error locking surface$"):
        sub.lock()
    sdl_double.state.refuse_lock_surface = 0
    assert sdl_double.lock_surface_calls == 2
    # SDL never saw the lock, so the pointer is the registry's own doing.
    assert pixels(sub) == pixels(surface) + subsurface_record(sub).pixeloffset
    assert surface.get_locks() == (sub,)
    assert sub.get_locks() == (sub,)
    sub.unlock()
    assert surface.get_locks() == sub.get_locks() == ()
    assert sdl_double.unlock_surface_calls == 2


def test_a_subsurface_that_dies_locked_leaves_its_owner_lock_to_the_next_unlock(surface):
    sub = surface.subsurface((0, 0, 4, 4))
    sub.lock()
    del sub
    gc.collect()
    assert surface.get_locks() == ()
    assert surface.get_locked() is True
    assert locked(surface) == 1
    surface.unlock()
    assert locked(surface) == 0
    assert surface.get_locked() is False


@pytest.mark.parametrize("rect", [(-1, 0, 4, 4), (0, 0, 0, 4), (30, 0, 4, 4), (0, 21, 4, 4)])
def test_a_subsurface_outside_its_owner_is_refused(surface, rect):
    with pytest.raises(ValueError, match="^subsurface rectangle outside surface$"):
        surface.subsurface(rect)


def test_subsurfaces_nest_at_most_a_thousand_deep():
    top = Surface((4, 4))
    chain = [top]
    for _ in range(1000):
        chain.append(chain[-1].subsurface((0, 0, 4, 4)))
    with pytest.raises(ValueError, match="^subsurfaces nest too deeply$"):
        chain[-1].subsurface((0, 0, 4, 4))
    chain[10].lock()
    assert locked(top) == 1
    chain[10].unlock()
    assert locked(top) == 0
    del chain


# ---- reference counts ----------------------------------------------------------


def test_reference_counts_stay_put_across_thousands_of_cycles(surface):
    sub = surface.subsurface((1, 1, 8, 8))
    a = Locker()
    before = [sys.getrefcount(o) for o in (surface, sub, a)]
    for _ in range(3000):
        surface.lock()
        surface.lock_by(a)
        sub.lock_by(a)
        sub.unlock_by(a)
        surface.unlock_by(a)
        surface.unlock()
        surface.lifetime_lock(a)
        lifetime = sub.lifetime_lock(a)
        del lifetime
    surface._lock_cycles(a, 3000)
    sub._lock_cycles(sub, 3000)
    assert [sys.getrefcount(o) for o in (surface, sub, a)] == before
    assert [locked(s) for s in (surface, sub)] == [0, 0]


def test_a_dead_subsurface_frees_its_owner():
    owner = Surface((4, 4))
    before = sys.getrefcount(owner)
    sub = owner.subsurface((0, 0, 2, 2))
    assert sys.getrefcount(owner) == before + 1
    del sub
    assert sys.getrefcount(owner) == before
