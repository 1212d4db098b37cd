"""SurfLifeLock: a lock held for exactly as long as an object lives."""

import copy
import subprocess
import sys
import textwrap
import weakref

import pytest

import brilox.base
import brilox.surface
from brilox.surface import Surface
from lockers import Locker, Unreferenceable, locked
from sanitizer import not_under_sanitizer
from support import sdl


@pytest.fixture
def surface():
    return Surface((16, 16))


def test_a_lifetime_lock_holds_one_lock_until_it_dies(surface, sdl_double):
    locker = Locker()
    refs = sys.getrefcount(surface)
    lifetime = surface.lifetime_lock(locker)
    assert type(lifetime).__name__ == "SurfLifeLock"
    assert surface.get_locks() == (locker,)
    assert locked(surface) == 1
    assert sdl_double.lock_surface_calls == 1
    assert sys.getrefcount(surface) == refs + 1
    del lifetime
    assert surface.get_locks() == ()
    assert locked(surface) == 0
    assert sdl_double.unlock_surface_calls == 1
    assert sys.getrefcount(surface) == refs


def test_a_lifetime_lock_keeps_its_surface_but_not_its_locker():
    locker = Locker()
    locker_refs = sys.getrefcount(locker)
    surface = Surface((4, 4))
    watch = weakref.ref(surface)
    lifetime = surface.lifetime_lock(locker)
    assert sys.getrefcount(locker) == locker_refs
    del surface
    assert watch() is not None
    assert watch().get_locks() == (locker,)
    del lifetime
    assert watch() is None


def test_the_locker_dying_first_leaves_the_entry_to_the_lifetime_locks_death(surface, sdl_double):
    locker = Locker()
    lifetime = surface.lifetime_lock(locker)
    del locker
    assert surface.get_locks() == ()
    assert locked(surface) == 1
    del lifetime
    assert sdl_double.unlock_surface_calls == 1
    assert locked(surface) == 0
    assert surface.get_locked() is False


def test_another_unlock_purges_a_dead_lockers_entry_first(surface, sdl_double):
    locker = Locker()
    lifetime = surface.lifetime_lock(locker)
    del locker
    surface.unlock_by(Locker())
    assert sdl_double.unlock_surface_calls == 1
    assert locked(surface) == 0
    del lifetime
    assert sdl_double.unlock_surface_calls == 1
    assert locked(surface) == 0


def test_the_lifetime_lock_dying_first_leaves_the_lockers_other_locks(surface, sdl_double):
    locker = Locker()
    surface.lock_by(locker)
    lifetime = surface.lifetime_lock(locker)
    assert surface.get_locks() == (locker, locker)
    del lifetime
    assert surface.get_locks() == (locker,)
    assert locked(surface) == 1
    surface.unlock_by(locker)
    assert locked(surface) == 0
    assert (sdl_double.lock_surface_calls, sdl_double.unlock_surface_calls) == (2, 2)


def test_a_lifetime_lock_dying_also_purges_other_dead_entries(surface, sdl_double):
    locker, gone = Locker(), Locker()
    lifetime = surface.lifetime_lock(locker)
    surface.lock_by(gone)
    del gone
    del lifetime
    assert sdl_double.unlock_surface_calls == 2
    assert locked(surface) == 0


@not_under_sanitizer("AddressSanitizer never hands a freed address out again soon")
def test_the_object_at_a_dead_lockers_address_keeps_its_lock(surface, sdl_double):
    # Another thread (pytest -n's) may take the freed block first: tried
    # again with another Locker, from a surface unlocked and counts reset.
    for _ in range(20):
        sdl_double.reset()
        locker = Locker()
        lifetime = surface.lifetime_lock(locker)
        address = id(locker)
        del locker
        keep = []
        for _ in range(100000):
            newcomer = Locker()
            if id(newcomer) == address:
                break
            keep.append(newcomer)
        else:
            del lifetime
            assert locked(surface) == 0
            continue
        break
    else:
        pytest.fail("no object took a dead locker's address")
    surface.lock_by(newcomer)
    assert locked(surface) == 2

    del lifetime
    assert surface.get_locks() == (newcomer,)
    assert locked(surface) == 1
    assert sdl_double.unlock_surface_calls == 1
    surface.unlock_by(newcomer)
    assert locked(surface) == 0


def test_a_lifetime_lock_on_a_subsurface_holds_its_owner(surface):
    sub = surface.subsurface((2, 2, 4, 4))
    locker = Locker()
    lifetime = sub.lifetime_lock(locker)
    assert surface.get_locks() == (sub,)
    assert (locked(surface), locked(sub)) == (1, 1)
    del lifetime
    assert surface.get_locks() == sub.get_locks() == ()
    assert (locked(surface), locked(sub)) == (0, 0)


@pytest.mark.parametrize("locker", [Unreferenceable(), 3], ids=repr)
def test_a_locker_that_cannot_be_weakly_referenced_gets_no_lifetime_lock(surface, sdl_double,
                                                                         locker):
    gone = Locker()
    surface.lock_by(gone)
    del gone
    with pytest.raises(TypeError, match="weak reference"):
        surface.lifetime_lock(locker)
    # The refused lifetime lock is released like any other, purging on its way.
    assert sdl_double.lock_surface_calls == 1
    assert sdl_double.unlock_surface_calls == 1
    assert locked(surface) == 0


def test_a_lifetime_lock_that_sdl_refuses_gives_its_entry_back_at_once(surface, sdl_double):
    locker = Locker()
    surface.lock_by(locker)
    sdl_double.state.refuse_lock_surface = 1
    with pytest.raises(RuntimeError, match="^error locking surface$"):
        surface.lifetime_lock(locker)
    sdl_double.state.refuse_lock_surface = 0
    assert surface.get_locks() == (locker,)
    assert (sdl_double.lock_surface_calls, sdl_double.unlock_surface_calls) == (2, 1)


def test_a_lifetime_lock_refused_without_an_entry_leaves_the_lockers_locks(surface, sdl_double):
    locker = Locker()
    surface.lock_by(locker)
    surface._drop_sdl_surface()
    with pytest.raises(RuntimeError, match="^error locking surface$"):
        surface.lifetime_lock(locker)
    assert surface.get_locks() == (locker,)
    assert sdl_double.lock_surface_calls == 1


def test_a_lifetime_lock_without_a_surface_raises_sdls_error():
    sdl.lib().SDL_SetError(b"%s", b"the surface went away")
    with pytest.raises(brilox.base.error, match="^the surface went away$"):
        brilox.surface._lifetime_lock_without_surface(Locker())


def test_a_lifetime_lock_without_a_surface_lets_a_failed_base_import_stand():
    script = textwrap.dedent("""
        import ctypes, sys
        import brilox.surface
        base = sys.modules["brilox.base"]
        ctypes.CDLL("libSDL-1.2.so.0").SDL_SetError(b"%s", b"no surface here")
        class Locker: pass
        sys.modules["brilox.base"] = None
        try:
            brilox.surface._lifetime_lock_without_surface(Locker())
        except ImportError:
            print("import error")
        sys.modules["brilox.base"] = base
        try:
            brilox.surface._lifetime_lock_without_surface(Locker())
        except base.error as e:
            print("library error:", e)
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         check=True).stdout
    assert out == "import error\nlibrary error: no surface here\n"


# ---- the object itself -------------------------------------------------------------


def test_a_lifetime_lock_offers_nothing_to_python(surface):
    lifetime = surface.lifetime_lock(Locker())
    kind = type(lifetime)
    assert kind.__name__ == "SurfLifeLock"
    assert [name for name in dir(lifetime) if not name.startswith("__")] == []
    with pytest.raises(TypeError):
        kind()
    with pytest.raises(TypeError):
        copy.copy(lifetime)

    class Derived(kind):
        pass

    with pytest.raises(TypeError):
        Derived()
    assert surface.get_locked() is True


def test_lifetime_locks_can_be_weakly_referenced(surface):
    locker = Locker()
    seen = []
    lifetime = surface.lifetime_lock(locker)
    watch = weakref.ref(lifetime, lambda ref: seen.append((surface.get_locks(), locked(surface))))
    assert watch() is lifetime
    del lifetime
    assert watch() is None
    # Weak references are cleared while the lock is still held.
    assert seen == [((locker,), 1)]
    assert locked(surface) == 0


def test_a_weak_reference_callback_that_unlocks_does_not_release_twice(surface, sdl_double):
    locker = Locker()
    lifetime = surface.lifetime_lock(locker)
    watch = weakref.ref(lifetime, lambda ref: surface.unlock_by(locker))
    del lifetime
    assert watch() is None
    assert sdl_double.unlock_surface_calls == 1
    assert surface.get_locks() == ()
    assert locked(surface) == 0
