"""The lock registry under sequences of locks, unlocks, locker deaths,
subsurface locks and lifetime locks that hypothesis chooses, checked after
every step against the model of test_lock_model: the lock lists, SDL's lock
counters and the number of SDL lock and unlock calls."""

from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from fuzzing import fuzz_settings
from lockers import Locker, locked
from support import sdl
from test_lock_model import Run

names = st.sampled_from("ST")  # S the owner, T its subsurface
picks = st.integers(0, 2 ** 16)


class Registry(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.double = sdl.load_double()
        self.double.reset()
        self.run = Run(0)
        for _ in range(3):
            self.run.new_locker()

    def pick(self, pick):
        keys = sorted(self.run.lockers)
        key = keys[pick % len(keys)]
        return key, self.run.lockers[key]

    @rule()
    def new_locker(self):
        self.run.new_locker()

    @precondition(lambda self: self.run.lockers)
    @rule(name=names, pick=picks)
    def lock_by(self, name, pick):
        key, locker = self.pick(pick)
        self.run.surfaces[name].lock_by(locker)
        self.run.model.lock(name, key)

    @precondition(lambda self: self.run.lockers)
    @rule(name=names, pick=picks)
    def unlock_by(self, name, pick):
        key, locker = self.pick(pick)
        self.run.surfaces[name].unlock_by(locker)
        self.run.model.unlock(name, key)

    @rule(name=names)
    def lock_itself(self, name):
        self.run.surfaces[name].lock()
        self.run.model.lock(name, name)

    @rule(name=names)
    def unlock_itself(self, name):
        self.run.surfaces[name].unlock()
        self.run.model.unlock(name, name)

    @rule(name=names)
    def unlock_by_a_stranger(self, name):
        self.run.surfaces[name].unlock_by(Locker(-1))
        self.run.model.unlock(name, None)

    @precondition(lambda self: self.run.lockers)
    @rule(name=names, pick=picks)
    def lifetime_lock(self, name, pick):
        key, locker = self.pick(pick)
        lifetime = self.run.surfaces[name].lifetime_lock(locker)
        self.run.lifetimes.append((lifetime, name, key))
        self.run.model.lock(name, key)

    @precondition(lambda self: self.run.lifetimes)
    @rule(pick=picks)
    def lifetime_lock_dies(self, pick):
        lifetimes = self.run.lifetimes
        lifetime, name, key = lifetimes.pop(pick % len(lifetimes))
        del lifetime
        model = self.run.model
        model.unlock(name, key if key in model.alive else None)

    @precondition(lambda self: self.run.lockers)
    @rule(pick=picks)
    def locker_dies(self, pick):
        key, _ = self.pick(pick)
        del self.run.lockers[key]
        self.run.model.alive.discard(key)

    @invariant()
    def matches_the_model(self):
        self.run.check(self.double)

    def teardown(self):
        # Everything is given back: lifetime locks, lockers, then a purge.
        run, model = self.run, self.run.model
        while run.lifetimes:
            lifetime, name, key = run.lifetimes.pop()
            del lifetime
            model.unlock(name, key if key in model.alive else None)
        run.lockers.clear()
        model.alive = {"S", "T"}
        for name in ("T", "S"):
            while model.entries[name]:
                run.surfaces[name].unlock()
                model.unlock(name, name)
        run.check(self.double)
        assert locked(run.owner) == locked(run.sub) == 0


TestRegistry = Registry.TestCase
TestRegistry.settings = fuzz_settings(300, stateful_step_count=50)
