"""Hundreds of lockers on a surface and its subsurface, against a model.

A seeded random sequence of locks, unlocks, lifetime locks and deaths runs
through brilox.surface; after every step the lock lists, SDL's lock
counters and the number of SDL calls must match a plain model of the
registry: one entry per lock, newest entry first to go, dead entries purged
by any unlock, one SDL unlock per entry removed."""

import random

import pytest

from brilox.surface import Surface
from lockers import Locker, locked


class Model:
    """The registry as lists of locker keys, one list per surface name."""

    def __init__(self):
        self.entries = {"S": [], "T": []}
        self.alive = {"S", "T"}
        self.lock_calls = 0
        self.unlock_calls = 0

    def lock(self, name, key):
        self.entries[name].append(key)
        if name == "T":  # the subsurface locks its owner first
            self.lock("S", "T")
        self.lock_calls += 1

    def unlock(self, name, key):
        entries = self.entries[name]
        released = 0
        if key is not None:
            for i in range(len(entries) - 1, -1, -1):
                if entries[i] == key:
                    del entries[i]
                    released = 1
                    break
        for i in range(len(entries) - 1, -1, -1):
            if entries[i] not in self.alive:
                del entries[i]
                released += 1
        for _ in range(released):
            self.unlock_calls += 1
            if name == "T":
                self.unlock("S", "T")


class Run:
    def __init__(self, seed):
        self.rng = random.Random(seed)
        self.model = Model()
        self.owner = Surface((64, 64))
        self.sub = self.owner.subsurface((8, 8, 32, 32))
        self.surfaces = {"S": self.owner, "T": self.sub}
        self.lockers = {}
        self.lifetimes = []
        self.next_key = 0

    def key_of(self, obj):
        if obj is self.owner:
            return "S"
        if obj is self.sub:
            return "T"
        return obj.key

    def new_locker(self):
        key = self.next_key
        self.next_key += 1
        self.lockers[key] = Locker(key)
        self.model.alive.add(key)

    def pick_locker(self):
        key = self.rng.choice(list(self.lockers))
        return key, self.lockers[key]

    def step(self):
        rng, model = self.rng, self.model
        name = rng.choice("SSST")
        surface = self.surfaces[name]
        action = rng.random()
        if action < 0.30 and self.lockers:
            key, locker = self.pick_locker()
            surface.lock_by(locker)
            model.lock(name, key)
        elif action < 0.50 and self.lockers:
            key, locker = self.pick_locker()
            surface.unlock_by(locker)
            model.unlock(name, key)
        elif action < 0.55:
            surface.lock()
            model.lock(name, name)
        elif action < 0.60:
            surface.unlock()
            model.unlock(name, name)
        elif action < 0.70 and self.lockers:
            key, locker = self.pick_locker()
            self.lifetimes.append((surface.lifetime_lock(locker), name, key))
            model.lock(name, key)
        elif action < 0.80 and self.lifetimes:
            lifetime, held_name, key = self.lifetimes.pop(rng.randrange(len(self.lifetimes)))
            del lifetime
            model.unlock(held_name, key if key in model.alive else None)
        elif action < 0.90 and self.lockers:
            key, _ = self.pick_locker()
            del self.lockers[key]
            model.alive.discard(key)
        elif action < 0.95:
            stranger = Locker(-1)
            surface.unlock_by(stranger)
            model.unlock(name, None)
        else:
            self.new_locker()

    def check(self, double):
        model = self.model
        for name, surface in self.surfaces.items():
            expected = [k for k in model.entries[name] if k in model.alive]
            assert [self.key_of(o) for o in surface.get_locks()] == expected
            assert locked(surface) == len(model.entries[name])
            assert surface.get_locked() is bool(model.entries[name])
        assert double.lock_surface_calls == model.lock_calls
        assert double.unlock_surface_calls == model.unlock_calls


@pytest.mark.parametrize("seed", [1, 2, 3, 4])
def test_random_lock_sequences_match_the_model(sdl_double, seed):
    run = Run(seed)
    for _ in range(300):
        run.new_locker()
    for _ in range(2500):
        run.step()
        run.check(sdl_double)

    # Give everything back: lifetime locks, then every locker, then a purge.
    while run.lifetimes:
        lifetime, name, key = run.lifetimes.pop()
        del lifetime
        run.model.unlock(name, key if key in run.model.alive else None)
    run.lockers.clear()
    run.model.alive = {"S", "T"}
    for name in ("T", "S"):
        while run.model.entries[name]:
            run.surfaces[name].unlock()
            run.model.unlock(name, name)
    run.check(sdl_double)
    assert locked(run.owner) == locked(run.sub) == 0
