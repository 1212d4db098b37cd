"""brilox.key on SDL's dummy video driver: every answer read back from SDL."""

import ctypes
import gc
import re
import sys
from pathlib import Path

import pytest

import brilox.base
import brilox.config
import brilox.display
import brilox.key as key
from support import sdl

SDLK_UNKNOWN = 0
SDLK_RETURN = 13
SDLK_a = 97
SDLK_LSHIFT = 304
SDLK_LAST = 323

KMOD_LSHIFT = 0x0001
KMOD_RCTRL = 0x0080
KMOD_LALT = 0x0100
KMOD_NUM = 0x1000
KMOD_CAPS = 0x2000

NOT_INITIALIZED = "^video system not initialized$"


def sdl_key_state():
    """SDL's own key-state array and its length."""
    lib = sdl.lib()
    lib.SDL_GetKeyState.restype = ctypes.POINTER(ctypes.c_uint8)
    count = ctypes.c_int(0)
    return lib.SDL_GetKeyState(ctypes.byref(count)), count.value


def sdl_error():
    return sdl.lib().SDL_GetError().decode()


# The module as Python sees it.

def test_module_documentation():
    assert key.__doc__ == "brilox module to work with the keyboard"


@pytest.mark.parametrize("name, doc", [
    ("set_repeat", "set_repeat() -> None\nset_repeat(delay, interval) -> None\n"
                   "control how held keys are repeated"),
    ("get_repeat", "get_repeat() -> (delay, interval)\nsee how held keys are repeated"),
    ("get_pressed", "get_pressed() -> bools\nget the state of all keyboard buttons"),
    ("name", "name(key) -> string\nget the name of a key identifier"),
    ("get_mods", "get_mods() -> int\ndetermine which modifier keys are being held"),
    ("set_mods", "set_mods(int) -> None\ntemporarily set which modifier keys are pressed"),
    ("get_focused", "get_focused() -> bool\n"
                    "true if the display is receiving keyboard input from the system"),
])
def test_function_documentation(name, doc):
    assert getattr(key, name).__doc__ == doc


# The video check, and the argument errors that come before it.

@pytest.mark.parametrize("call, args", [
    (key.set_repeat, ()), (key.set_repeat, (10,)), (key.set_repeat, (-5, 3)),
    (key.get_repeat, ()), (key.get_pressed, ()), (key.get_mods, ()),
    (key.set_mods, (KMOD_LSHIFT,)), (key.get_focused, ()),
])
def test_refuses_without_video(call, args):
    with pytest.raises(brilox.base.error, match=NOT_INITIALIZED) as caught:
        call(*args)
    assert type(caught.value) is brilox.base.error


@pytest.mark.parametrize("video_on", [False, True], ids=["video off", "video on"])
@pytest.mark.parametrize("call, args, kwargs, error", [
    (key.set_mods, ("x",), {}, TypeError),
    (key.set_mods, (), {}, TypeError),
    (key.set_mods, (1.5,), {}, TypeError),
    (key.set_mods, (2 ** 31,), {}, OverflowError),
    (key.set_repeat, ("x",), {}, TypeError),
    (key.set_repeat, (1, 2, 3), {}, TypeError),
    (key.set_repeat, (-2 ** 31 - 1,), {}, OverflowError),
    (key.set_repeat, (), {"delay": 5}, TypeError),
    (key.name, (), {}, TypeError),
    (key.name, ("a",), {}, TypeError),
    (key.name, (2 ** 31,), {}, OverflowError),
    (key.name, (), {"key": 97}, TypeError),
    (key.get_pressed, (0,), {}, TypeError),
    (key.get_mods, (0,), {}, TypeError),
    (key.get_repeat, (0,), {}, TypeError),
    (key.get_focused, (0,), {}, TypeError),
])
def test_argument_errors_are_the_hosts_own(video_on, call, args, kwargs, error):
    if video_on:
        brilox.display.init()
    try:
        with pytest.raises(error) as caught:
            call(*args, **kwargs)
        assert type(caught.value) is error
    finally:
        brilox.display.quit()


# Key repeat.

@pytest.mark.parametrize("args, expected", [
    ((), (0, 0)),
    ((500,), (500, 500)),
    ((500, 30), (500, 30)),
    ((0, 30), (0, 30)),
    ((7, 0), (7, 7)),
])
def test_repeat_round_trips_through_sdl(video, args, expected):
    key.set_repeat(123, 45)
    assert key.get_repeat() == (123, 45)
    assert key.set_repeat(*args) is None
    got = key.get_repeat()
    assert got == expected
    assert type(got) is tuple and all(type(v) is int for v in got)


@pytest.mark.parametrize("args", [(-5,), (10, -1), (-1, 10), (-2 ** 31,)])
def test_sdl_refusal_of_negative_repeat_carries_its_text(video, args):
    key.set_repeat(200, 20)
    with pytest.raises(brilox.base.error) as caught:
        key.set_repeat(*args)
    text = sdl_error()
    assert text and str(caught.value) == text
    assert key.get_repeat() == (200, 20)


# Modifiers.

@pytest.mark.parametrize("mods", [
    0, KMOD_LSHIFT, KMOD_RCTRL | KMOD_LALT, KMOD_NUM | KMOD_CAPS, 0xFFFF])
def test_modifiers_round_trip_through_sdl(video, mods):
    sdl.lib().SDL_SetModState(0x4000)
    assert key.get_mods() == 0x4000
    try:
        assert key.set_mods(mods) is None
        assert sdl.lib().SDL_GetModState() == mods
        got = key.get_mods()
        assert got == mods and type(got) is int
    finally:
        sdl.lib().SDL_SetModState(0)


# The pressed keys.

def test_get_pressed_reads_every_byte_of_sdls_key_state(video):
    state, count = sdl_key_state()
    assert count == SDLK_LAST
    assert key.get_pressed() == (0,) * count
    # Bytes pass through unchanged, so a byte of 7 shows as 7, not True.
    poked = {SDLK_UNKNOWN: 1, SDLK_RETURN: 7, SDLK_a: 1, SDLK_LSHIFT: 255, count - 1: 2}
    try:
        for index, value in poked.items():
            state[index] = value
        pressed = key.get_pressed()
    finally:
        for index in poked:
            state[index] = 0
    assert type(pressed) is tuple and len(pressed) == count
    assert all(type(v) is int for v in pressed)
    assert pressed == tuple(poked.get(i, 0) for i in range(count))


@pytest.mark.parametrize("mode", [1, 2], ids=["no array", "count 0"])
def test_get_pressed_gives_none_without_a_key_state(video, sdl_double, mode):
    sdl_double.state.key_state_mode = mode
    assert key.get_pressed() is None
    assert sdl_double.get_key_state_calls == 1


def test_get_pressed_survives_allocation_failure(video):
    _testcapi = pytest.importorskip("_testcapi")
    count = sdl_key_state()[1]

    def attempt(n):
        # Only the n-th allocation from here fails; the hooks go at once.
        _testcapi.set_nomemory(n, n + 1)
        try:
            return key.get_pressed()
        except MemoryError:
            return MemoryError
        finally:
            _testcapi.remove_mem_hooks()

    def sweep():
        outcomes = [attempt(n) for n in range(40)]
        for outcome in outcomes:
            assert outcome is MemoryError or outcome == (0,) * count
        return outcomes

    was_enabled = gc.isenabled()
    gc.disable()
    try:
        outcomes = sweep()
        assert MemoryError in outcomes and outcomes[-1] == (0,) * count
        del outcomes
        before = sys.getallocatedblocks()
        for _ in range(50):
            sweep()
        after = sys.getallocatedblocks()
    finally:
        if was_enabled:
            gc.enable()
    # A tuple left behind by each failure would be thousands of blocks.
    assert after - before < 20


# Key names.

@pytest.mark.parametrize("video_on", [False, True], ids=["video off", "video on"])
@pytest.mark.parametrize("k", [SDLK_UNKNOWN, SDLK_RETURN, SDLK_a, SDLK_LSHIFT, SDLK_LAST - 1])
def test_name_is_sdls_name(video_on, k):
    if video_on:
        brilox.display.init()
    try:
        got = key.name(k)
    finally:
        brilox.display.quit()
    assert type(got) is str and got == sdl.key_name(k)


@pytest.mark.parametrize("k", [-1, -2 ** 31, SDLK_LAST, 2 ** 31 - 1])
def test_name_of_a_key_outside_sdls_table_is_sdls_unknown_name(video, k):
    assert key.name(k) == sdl.key_name(SDLK_UNKNOWN)


def test_names_come_from_sdls_table(video):
    names = [key.name(k) for k in (SDLK_UNKNOWN, SDLK_RETURN, SDLK_a, SDLK_LSHIFT)]
    assert all(names) and len(set(names)) == len(names)


def sdl_keysym_header():
    """SDL_keysym.h of the SDL brilox was built on, every key symbol and
    modifier it names and its value, read as C reads its enums: a name with
    no value written is one more than the name before."""
    folders = [flag[2:] for flag in brilox.config.cflags() if flag.startswith("-I")]
    path = next(Path(f, "SDL_keysym.h") for f in folders if Path(f, "SDL_keysym.h").exists())
    text = re.sub(r"/\*.*?\*/", "", path.read_text(), flags=re.S)
    values = {}
    for body in re.findall(r"typedef\s+enum\s*\{(.*?)\}\s*SDL(?:Key|Mod)\s*;", text, re.S):
        value = -1
        for entry in filter(None, (e.strip() for e in body.split(","))):
            name, _, written = (part.strip() for part in entry.partition("="))
            value = int(written, 0) if written else value + 1
            values[name] = value
    for name, joined in re.findall(r"^#define\s+(KMOD_\w+)\s+\(([\w|\s]+)\)", text, re.M):
        values[name] = 0
        for part in joined.split("|"):
            values[name] |= values[part.strip()]
    return values


SDL_KEYSYMS = sdl_keysym_header()


def test_display_gives_sdls_key_symbols_and_modifiers_and_no_other():
    # 233 keys and SDLK_LAST, whose value is written nowhere; 13 modifiers
    # and the 4 masks that join a left and a right key.
    assert (len(SDL_KEYSYMS), SDL_KEYSYMS["SDLK_LAST"], SDL_KEYSYMS["KMOD_META"]) == \
        (234 + 17, SDLK_LAST, 0x0C00)
    exported = {n for n in vars(brilox.display) if n.startswith(("K_", "KMOD_"))}
    assert exported == {n.replace("SDLK_", "K_", 1) for n in SDL_KEYSYMS}


@pytest.mark.parametrize("name, value", sorted(SDL_KEYSYMS.items()))
def test_every_key_symbol_and_modifier_has_its_value_in_sdls_header(name, value):
    assert getattr(brilox.display, name.replace("SDLK_", "K_", 1)) == value


# Focus.

@pytest.mark.parametrize("state, focused", [
    (None, None),  # SDL's own state, whatever its video driver says
    (sdl.SDL_APPINPUTFOCUS, 1),
    (0xFF, 1),
    (0, 0),
    (sdl.SDL_APPMOUSEFOCUS | sdl.SDL_APPACTIVE, 0),
    (0xFF & ~sdl.SDL_APPINPUTFOCUS, 0),
], ids=["sdl", "input", "all", "none", "mouse+active", "all but input"])
def test_get_focused_is_sdls_input_focus_bit(video, sdl_double, state, focused):
    if state is None:
        focused = 1 if sdl.lib().SDL_GetAppState() & sdl.SDL_APPINPUTFOCUS else 0
    else:
        sdl_double.state.app_state_override = state
    got = key.get_focused()
    assert got == focused and type(got) is int


def test_stubs_describe_every_function():
    import ast
    import pathlib
    stub = pathlib.Path(key.__file__).with_name("key.pyi")
    tree = ast.parse(stub.read_text())
    docs = {node.name: ast.get_docstring(node, clean=False).replace("\n    ", "\n")
            for node in tree.body if isinstance(node, ast.FunctionDef)}
    public = {name for name in dir(key) if not name.startswith("_")}
    assert set(docs) == public
    assert all(getattr(key, name).__doc__ == doc for name, doc in docs.items())
