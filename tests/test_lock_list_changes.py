"""Lock lists that change, or refuse to change, while an unlock walks them.

A deletion from a lock list may run Python code.  These lists are lists whose
``__delitem__`` runs code of the test's choosing, installed in a surface in
place of its own list."""

import weakref

import pytest

from brilox.surface import Surface
from lockers import Locker, locked


class Refused(Exception):
    pass


class WatchedList(list):
    """A lock list that runs `action(self, index)` after each deletion, and
    raises instead of deleting when `refuse(entry)` says so."""

    def __init__(self, action=None, refuse=None):
        super().__init__()
        self.action = action
        self.refuse = refuse
        self.deletions = 0

    def __delitem__(self, index):
        if self.refuse is not None:
            reason = self.refuse(self[index])
            if reason:
                raise Refused(reason)
        super().__delitem__(index)
        self.deletions += 1
        if self.action is not None:
            action, self.action = self.action, None  # once, and not when nested
            action(self, index)


def dead_reference():
    return weakref.ref(Locker())


@pytest.fixture
def surface():
    return Surface((8, 8))


def watched(surface, **kw):
    entries = WatchedList(**kw)
    surface._set_lock_list(entries)
    return entries


def test_a_found_entry_that_cannot_be_deleted_fails_the_unlock_with_nothing_released(
        surface, sdl_double):
    a = Locker()
    watched(surface, refuse=lambda entry: entry() is a and "no")
    surface.lock_by(a)
    with pytest.raises(Refused, match="^no$"):
        surface.unlock_by(a)
    assert sdl_double.unlock_surface_calls == 0
    assert surface.get_locks() == (a,)
    assert locked(surface) == 1


def test_a_dead_entry_that_cannot_be_deleted_fails_the_unlock_after_the_rest(
        surface, sdl_double):
    a = Locker()
    reasons = iter(["first", "second"])
    entries = watched(surface, refuse=lambda entry: entry() is None and next(reasons, None))
    lockers = [Locker() for _ in range(5)]
    surface.lock_by(lockers[0])
    surface.lock_by(a)
    for locker in lockers[1:]:
        surface.lock_by(locker)
    del lockers, locker
    assert locked(surface) == 6

    with pytest.raises(Refused, match="^first$"):
        surface.unlock_by(a)
    # a's entry and three of the five dead ones were given back.
    assert sdl_double.unlock_surface_calls == 4
    assert len(entries) == 2
    assert locked(surface) == 2
    surface.unlock_by(Locker())
    assert len(entries) == 0
    assert locked(surface) == 0


def test_a_deletion_that_empties_the_list_ends_the_purge(surface, sdl_double):
    entries = watched(surface, action=lambda entries, index: entries.clear())
    for _ in range(6):
        surface.lock_by(Locker())
    assert len(entries) == 6
    surface.unlock_by(Locker())
    assert entries.deletions == 1
    assert sdl_double.unlock_surface_calls == 1
    assert entries == []


def test_a_deletion_that_adds_dead_entries_leaves_them_for_the_next_unlock(surface, sdl_double):
    def add_dead(entries, index):
        entries.extend([dead_reference(), dead_reference()])
        entries.insert(0, dead_reference())

    entries = watched(surface, action=add_dead)
    for _ in range(3):
        surface.lock_by(Locker())
    surface.unlock_by(Locker())
    assert sdl_double.unlock_surface_calls == entries.deletions
    assert all(entry() is None for entry in entries)
    surface.unlock_by(Locker())
    assert entries == []
    assert sdl_double.unlock_surface_calls == entries.deletions


@pytest.mark.parametrize("nested", ["unlock", "lock", "lifetime"])
def test_a_deletion_that_reenters_the_registry(surface, sdl_double, nested):
    keeper = Locker()
    held = []

    def reenter(entries, index):
        if nested == "unlock":
            surface.unlock_by(keeper)
        elif nested == "lock":
            surface.lock_by(keeper)
        else:
            held.append(surface.lifetime_lock(keeper))

    entries = watched(surface, action=reenter)
    surface.lock_by(keeper)
    for _ in range(8):
        surface.lock_by(Locker())
    surface.unlock_by(Locker())
    # Whatever the walk met, every entry it removed was unlocked once.
    assert sdl_double.unlock_surface_calls == entries.deletions
    assert all(entry() is keeper for entry in entries)
    assert locked(surface) == len(entries)
    held.clear()
    while surface.get_locks():
        surface.unlock_by(keeper)
    assert locked(surface) == 0


def test_a_subsurface_unlock_fails_when_its_owner_cannot_be_unlocked(surface, sdl_double):
    sub = surface.subsurface((0, 0, 4, 4))
    watched(surface, refuse=lambda entry: entry() is sub and "owner refused")
    sub.lock()
    with pytest.raises(Refused, match="^owner refused$"):
        sub.unlock()
    assert sub.get_locks() == ()
    assert locked(sub) == 0
    assert surface.get_locks() == (sub,)


def test_a_lock_list_of_foreign_objects_is_walked_safely(surface):
    entries = [1, "x", None]
    surface._set_lock_list(entries)
    a = Locker()
    surface.lock_by(a)
    assert surface.get_locks() == (a,)
    surface.unlock_by(a)
    assert entries == [1, "x", None]
    assert locked(surface) == 0


def test_an_owner_chain_deeper_than_the_recursion_limit_fails_cleanly(near_recursion_limit):
    chain = [Surface((4, 4))]
    for _ in range(200):
        chain.append(chain[-1].subsurface((0, 0, 4, 4)))
    with pytest.raises(RecursionError):
        near_recursion_limit(chain[-1].lock, headroom=50)
    chain[-1].unlock()
    assert not any(s.get_locked() for s in chain)
    chain[-1].lock()
    assert len(chain[0].get_locks()) == 1
    chain[-1].unlock()
