"""brilox.key under random integers for every integer argument.

Integers that fit a C int reach SDL unchanged and what SDL then holds is read
back from SDL itself; the others are refused by the argument parser before
SDL is asked.
"""

import pytest
from hypothesis import given
from hypothesis import strategies as st

import brilox.base
import brilox.key as key
from fuzzing import fuzz_settings
from support import sdl

INT_MIN, INT_MAX = -2 ** 31, 2 ** 31 - 1
SDLK_LAST = 323

# Mostly C ints, with their edges, and now and then one past them.
ints = st.one_of(st.integers(INT_MIN, INT_MAX),
                 st.sampled_from([0, 1, -1, INT_MIN, INT_MAX, SDLK_LAST, 0xFFFF, 0x10000]),
                 st.integers(-2 ** 70, 2 ** 70))


def fits(value):
    return INT_MIN <= value <= INT_MAX


@fuzz_settings(500)
@given(args=st.lists(ints, max_size=2))
def test_set_repeat_with_any_integers(video, sdl_double, args):
    key.set_repeat(11, 22)
    if not all(fits(a) for a in args):
        with pytest.raises(OverflowError):
            key.set_repeat(*args)
        assert sdl.key_repeat() == (11, 22)
        return
    delay, interval = (list(args) + [0, 0])[:2]
    if delay != 0 and interval == 0:
        interval = delay
    calls = sdl_double.enable_key_repeat_calls
    if delay < 0 or interval < 0:
        with pytest.raises(brilox.base.error) as caught:
            key.set_repeat(*args)
        assert str(caught.value) == sdl.lib().SDL_GetError().decode()
        assert sdl.key_repeat() == (11, 22)
    else:
        assert key.set_repeat(*args) is None
        assert sdl.key_repeat() == key.get_repeat() == (delay, interval)
    assert sdl_double.enable_key_repeat_calls == calls + 1
    assert (sdl_double.last_repeat_delay, sdl_double.last_repeat_interval) == (delay, interval)


@fuzz_settings(500)
@given(k=ints)
def test_name_of_any_integer(k):
    if not fits(k):
        with pytest.raises(OverflowError):
            key.name(k)
        return
    expected = sdl.key_name(k if 0 <= k < SDLK_LAST else 0)
    assert key.name(k) == expected


def kept_mods():
    """The modulus of what SDL keeps of a modifier state: its modifier type is
    an unsigned 32-bit value, of which SDL over SDL 2 keeps only the low 16
    bits, where the modifiers are.  Asked of SDL directly."""
    sdl.lib().SDL_SetModState(0x12345)
    return 2 ** 32 if sdl.lib().SDL_GetModState() == 0x12345 else 2 ** 16


@fuzz_settings(500)
@given(mods=ints)
def test_set_mods_with_any_integer(video, mods):
    sdl.lib().SDL_SetModState(0x4000)
    try:
        if not fits(mods):
            with pytest.raises(OverflowError):
                key.set_mods(mods)
            assert key.get_mods() == 0x4000
            return
        assert key.set_mods(mods) is None
        assert key.get_mods() == sdl.lib().SDL_GetModState() % 2 ** 32 == mods % kept_mods()
    finally:
        sdl.lib().SDL_SetModState(0)
