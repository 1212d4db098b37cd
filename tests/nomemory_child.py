"""The child process of test_allocation_failure: makes one allocation fail
inside one brilox operation and checks what is left afterwards.

    python nomemory_child.py entry MODULE N   one module entry, allocation N failing
    python nomemory_child.py entries MODULE   the entry with N = 0, 1, 2, ..., each in
                                              a process forked from this one, until
                                              ten in a row succeed
    python nomemory_child.py sweep NAME       one operation, with N = 0, 1, 2, ...

Prints one line per attempt, "N ok" or "N MemoryError", and "done" at the
end.  Any other exception, a failed check or a crash ends the process
otherwise, and the parent reports it.
"""

import array
import collections
import ctypes
import gc
import os
import struct
import sys
import traceback

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
os.environ.setdefault("SDL_VIDEODRIVER", "dummy")
os.environ.setdefault("SDL_AUDIODRIVER", "dummy")

from support import font_file, sdl  # noqa: E402

FONT = font_file()

DOUBLE = sdl.load_double()

import _testcapi  # noqa: E402
# brilox.sound registers with atexit; that import is the interpreter's, not ours to sweep.
import atexit  # noqa: E402,F401


def attempt(n, operation):
    """Runs `operation` with the n-th allocation from here on failing.
    Returns what it returned, or MemoryError."""
    _testcapi.set_nomemory(n, n + 1)
    try:
        return operation()
    except MemoryError:
        return MemoryError
    finally:
        _testcapi.remove_mem_hooks()


def report(n, outcome):
    print(n, "MemoryError" if outcome is MemoryError else "ok", flush=True)


# ---- module entries ------------------------------------------------------------

DEPENDENCIES = {"overlay": ["brilox.base", "brilox.rect"], "key": ["brilox.base"],
                "pinhold": [], "display": ["brilox.base"],
                "sound": ["brilox.base"], "media._subtitles": [],
                "surface": ["brilox.base", "brilox.rect", "brilox.pinhold"]}


def entry(name, n):
    import importlib
    import importlib.util
    import _imp

    for dependency in DEPENDENCIES[name]:
        importlib.import_module(dependency)
    full = "brilox." + name
    found = importlib.util.find_spec(full)
    watched = [sys.modules[d] for d in DEPENDENCIES[name]]
    watched += [getattr(m, "_BRILOX_C_API") for m in watched]
    counts = [sys.getrefcount(o) for o in watched]

    outcome = attempt(n, lambda: _imp.create_dynamic(found))
    report(n, outcome)
    refused = outcome is MemoryError
    # (A failure after the entry, in the interpreter's own bookkeeping, may
    # leave the module in sys.modules; either way it must work below.)
    del outcome
    gc.collect()
    # A failed entry holds on to nothing of its imports.
    assert [sys.getrefcount(o) for o in watched] == counts, (counts, watched)

    # Whatever happened, the module imports and works now.
    module = importlib.import_module(full)
    import brilox.display
    if name == "overlay":
        brilox.display.init()
        brilox.display.set_mode((32, 24))
        overlay = module.Overlay(sdl.YV12, (4, 4))
        overlay.display((b"y" * 16, b"u" * 4, b"v" * 4))
        del overlay
        brilox.display.quit()
    elif name == "display":
        module.init()
        module.set_mode((8, 8), 32, module.RESIZABLE)
        assert type(module.poll_events()) is list
        module.quit()
    elif name == "sound":
        assert module.open(8000, 2)[0] == 8000 and module.queue(b"\0" * 8) == 8
        assert module.Channel(15).queue(b"\0" * 8) == 8 and module.Channel(15).busy
        module.quit()
    elif name == "media._subtitles":
        assert subtitle_blend(module) is True
    elif name == "surface":
        surface = module.Surface((4, 4), alpha=True)
        assert surface.fill((1, 2, 3, 4)) == (0, 0, 4, 4) and bytes(surface)[:4] == b"\1\2\3\4"
        assert module.Surface((4, 4)).blit(surface, (2, 2)) == (2, 2, 2, 2)
    elif name == "key":
        assert type(module.name(97)) is str
        brilox.display.init()
        assert len(module.get_pressed()) > 0
        brilox.display.quit()
    else:
        pointer = ctypes.pythonapi.PyCapsule_GetPointer
        pointer.restype = ctypes.c_void_p
        pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
        table = (ctypes.c_void_p * 8).from_address(
            pointer(module._BRILOX_C_API, b"brilox.pinhold._BRILOX_C_API"))
        assert all(table)
        import brilox.surface
        surface = brilox.surface.Surface((4, 4))
        surface.lock()
        surface.unlock()
    print("done", flush=True)
    return refused


# ---- operations ----------------------------------------------------------------


def sweep(prepare, operation, check, misses=12):
    """Attempts operation(state) for n = 0, 1, ... on a fresh state from
    prepare(), checking each outcome with check(state, outcome), until
    `misses` attempts in a row succeed."""
    gc.disable()
    n, streak = 0, 0
    while streak < misses:
        state = prepare()
        outcome = attempt(n, lambda: operation(state))
        report(n, outcome)
        check(state, outcome)
        streak = streak + 1 if outcome is not MemoryError else 0
        del state, outcome
        gc.collect()
        n += 1
    print("done", flush=True)


def overlay_sweeps():
    import brilox.display
    from brilox.overlay import Overlay

    brilox.display.init()
    brilox.display.set_mode((64, 48))

    class Framed(Overlay):
        pass

    def created(kind):
        def prepare():
            DOUBLE.reset()
            return {}

        def operation(state):
            state["overlay"] = kind(sdl.YV12, (16, 8))

        def check(state, outcome):
            made = 1 if outcome is not MemoryError else 0
            assert ("overlay" in state) == bool(made)
            state.clear()
            gc.collect()
            assert DOUBLE.create_overlay_calls <= 1
            assert DOUBLE.create_overlay_calls == DOUBLE.free_overlay_calls
        return prepare, operation, check

    def planes(overlay):
        record = sdl.overlay_record(overlay)
        return [sdl.overlay_plane(overlay, p)[0] for p in range(record.planes)]

    frames = {
        "tuple": lambda: (b"\x11" * 128, b"\x22" * 32, b"\x33" * 32),
        "list": lambda: [b"\x11" * 128, b"\x22" * 32, b"\x33" * 32],
        "text": lambda: ("\u00e9" * 64, "u\u00e9" * 11, "v" * 32),
        # A sequence that is not a tuple or list is first copied into a
        # tuple.  (A Python-level sequence would do too, but the interpreter
        # itself turns some allocation failures in its calls into
        # SystemError.)
        "sequence": lambda: collections.deque([b"\x11" * 128, b"\x22" * 32, b"\x33" * 32]),
        "refused": lambda: (b"\x11" * 127, b"\x22" * 32, b"\x33" * 32),
        "buffers": lambda: collections.deque([bytearray(b"\x11" * 128),
                                              memoryview(b"\x22" * 32), array.array("B", b"\x33" * 32)]),
        # Refused by the parser, with buffers standing in as empty bytes.
        "no_bytes": lambda: (bytearray(b"\x11" * 128), memoryview(b"\x22" * 32), None),
        "none": None,
    }

    def displayed(kind):
        def prepare():
            overlay = Overlay(sdl.YV12, (16, 8))
            overlay.display((b"\x00" * 128, b"\x00" * 32, b"\x00" * 32))
            frame = frames[kind]() if frames[kind] is not None else None
            DOUBLE.reset()
            return {"overlay": overlay, "frame": frame, "before": planes(overlay)}

        def operation(state):
            args = () if state["frame"] is None else (state["frame"],)
            try:
                state["overlay"].display(*args)
            except ValueError:
                assert kind == "refused"
            except TypeError:
                assert kind == "no_bytes"

        def check(state, outcome):
            assert DOUBLE.lock_overlay_calls == DOUBLE.unlock_overlay_calls <= 1
            if outcome is MemoryError:
                # Refused by memory: nothing copied, nothing shown.
                assert planes(state["overlay"]) == state["before"]
                assert DOUBLE.display_overlay_calls == 0
            elif kind not in ("refused", "no_bytes", "none"):
                assert planes(state["overlay"]) != state["before"]
        return prepare, operation, check

    def polled():
        # More events than one would think fit in a batch, none lost.
        def prepare():
            brilox.display.poll_events()
            for k in range(100):
                event = ctypes.create_string_buffer(64)
                struct.pack_into("=BBBxBxxxiiH", event, 0, 2, 0, 1, 0, k, 0, 0)
                assert sdl.lib().SDL_PushEvent(event) == 0
            return {}

        def operation(state):
            state["events"] = brilox.display.poll_events()

        def check(state, outcome):
            # Refused by memory: every event is still queued.
            events = brilox.display.poll_events() if outcome is MemoryError else state["events"]
            assert [e.key for e in events] == list(range(100))
            assert brilox.display.poll_events() == []
        return prepare, operation, check

    def drawn():
        # The display's Surface made anew (set_mode ends the last) and drawn on.
        def prepare():
            brilox.display.set_mode((64, 48))
            return {"sprite": Surface((4, 4), alpha=True)}

        def operation(state):
            shown = brilox.display.get_surface()
            shown.fill((0, 0, 255))
            state["blitted"] = (shown.blit(state["sprite"]),
                                shown.blit(shown, (8, 8), (0, 0, 8, 8)))

        def check(state, outcome):
            assert brilox.display.get_surface().get_locks() == ()
            assert outcome is MemoryError or state["blitted"] == ((0, 0, 4, 4), (8, 8, 8, 8))
        return prepare, operation, check

    from brilox.surface import Surface
    return {"overlay_created": created(Overlay), "subclass_created": created(Framed),
            "events_polled": polled(), "surface_drawn": drawn(),
            **{"display_" + kind: displayed(kind) for kind in frames}}


def lock_sweeps():
    import brilox.surface
    from lockers import Locker, locked, lock_list_address

    Surface = brilox.surface.Surface

    def entries(surface):
        """The surface's lock list as (referent, ...) and SDL's counter."""
        address = lock_list_address(surface)
        items = ctypes.cast(address, ctypes.py_object).value if address else []
        return [entry() for entry in items], locked(surface)

    def snapshot(state):
        return {name: entries(s) for name, s in state["surfaces"].items()}

    def registry(action, existing=0, own=False):
        """`existing` lockers lock both surfaces first, and with `own` so does
        the operation's locker: its locks must outlive a refused one."""
        def prepare():
            owner = Surface((16, 16))
            sub = owner.subsurface((2, 2, 8, 8))
            locker = Locker("L")
            keep = [Locker(i) for i in range(existing)] + ([locker] if own else [])
            for k in keep:
                owner.lock_by(k)
                sub.lock_by(k)
            state = {"surfaces": {"owner": owner, "sub": sub}, "locker": locker,
                     "keep": keep, "held": []}
            state["before"] = snapshot(state)
            return state

        def operation(state):
            action(state)

        def check(state, outcome):
            after = snapshot(state)
            sub = state["surfaces"]["sub"]
            for name, (items, count) in after.items():
                # Every entry stands for one SDL lock.
                assert len(items) == count, (name, items, count)
            # Every lock of the subsurface holds one lock on its owner.
            owner_items, sub_items = after["owner"][0], after["sub"][0]
            assert sum(1 for item in owner_items if item is sub) == len(sub_items), after
            if outcome is MemoryError:
                # A refused lock leaves nothing behind.
                assert after == state["before"], (after, state["before"])
            state["held"].clear()
        return prepare, operation, check

    def owner_lock_by(state):
        state["surfaces"]["owner"].lock_by(state["locker"])

    def sub_lock_by(state):
        state["surfaces"]["sub"].lock_by(state["locker"])

    def owner_lock(state):
        state["surfaces"]["owner"].lock()

    def sub_lifetime(state):
        state["held"].append(state["surfaces"]["sub"].lifetime_lock(state["locker"]))

    def owner_lifetime(state):
        state["held"].append(state["surfaces"]["owner"].lifetime_lock(state["locker"]))

    def sub_view(state):
        state["held"].append(memoryview(state["surfaces"]["sub"]))

    return {
        "lock_new_list": registry(owner_lock_by),
        "lock_growing_list": registry(owner_lock_by, existing=4),
        "lock_itself": registry(owner_lock, existing=1),
        "lock_subsurface": registry(sub_lock_by),
        "lock_subsurface_growing": registry(sub_lock_by, existing=4),
        "lifetime_lock": registry(owner_lifetime),
        "lifetime_lock_growing": registry(owner_lifetime, existing=4),
        "lifetime_lock_subsurface": registry(sub_lifetime, existing=4),
        # Lock lists just full, so that recording the entry needs memory.
        "lifetime_lock_beside_own": registry(owner_lifetime, existing=3, own=True),
        "lifetime_lock_subsurface_beside_own": registry(sub_lifetime, existing=3, own=True),
        # A buffer view locks through a ViewLock of its own.
        "lock_view": registry(sub_view),
        "lock_view_growing": registry(sub_view, existing=4),
    }


def sound_sweeps():
    import brilox.sound as sound

    def opened(audio_up):
        def prepare():
            if audio_up:
                assert sdl.lib().SDL_InitSubSystem(0x10) == 0
            return {}

        def operation(state):
            state["given"] = sound.open(16000, 1, buffer_seconds=0.5)

        def check(state, outcome):
            if outcome is MemoryError:
                # Nothing half open: no device, nor SDL's audio brought up for it.
                assert not sound.get_init() and sdl.lib().SDL_GetAudioStatus() == 0
                assert audio_up or not sdl.lib().SDL_WasInit(0x10)
            else:
                assert state["given"] == (16000, 1, -16, 512, 1024) and sound.queued() == 0
            sound.quit()
        return prepare, operation, check

    def channel_prepare():
        sound.open(16000, 1, buffer_seconds=0.5)
        return {}

    def channel_operation(state):
        channel = sound.Channel(4)
        state["taken"] = channel.queue(b"\1\0" * 4)
        state["back"] = (channel.unqueue(4), channel.queued())
        channel.volume = 50
        channel.pause(False)
        state["seen"] = (repr(channel), channel.clock(), channel.busy, channel.underruns())
        channel.play(b"\2\0" * 6, -1)
        state["found"] = (sound.find_channel(), sound.get_format(), channel.playing(b""))

    def channel_check(state, outcome):
        # A ring made or not, never half: all of what was queued is taken, or
        # nothing (the channel plays only once queued to).
        assert state["taken"] == 8 if "taken" in state else sound.Channel(4).queued() == 0
        # Taken back, or (told of no memory) left queued.
        assert state["back"] == (4, 4) if "back" in state else "taken" not in state \
            or sound.Channel(4).queued() == 8
        assert outcome is MemoryError or state["seen"][0] == "Channel(4)"
        assert outcome is MemoryError or state["found"][:2] == (
            sound.Channel(1), (16000, 1, -16, 512, 1024))
        assert sound.queued() == 0
        sound.quit()

    return {"sound_open": opened(False), "sound_open_audio_up": opened(True),
            "sound_channel": (channel_prepare, channel_operation, channel_check)}


SUBTITLE_HEADER = b"""[Script Info]
PlayResX: 64
PlayResY: 48

[V4+ Styles]
Format: Name, Fontname, Fontsize, PrimaryColour, OutlineColour, Outline, Alignment
Style: Default,DejaVu Sans,20,&H0000FF00,&H00FF0000,2,7
"""


def subtitle_blend(module, planes=None):
    """A line blended into a 64 x 48 frame by a new Library."""
    library = module.Library()
    library.fonts(FONT, None, False)
    track = library.track(SUBTITLE_HEADER)
    track.add(b"Dialogue: 0,0:00:00.00,0:00:01.00,Default,,0,0,0,,{\\pos(3,2)}Wq", 0, 1000)
    planes = planes or (bytearray(64 * 48), bytearray(32 * 24), bytearray(32 * 24))
    return library.blend(track, 500, planes, module.PLANAR, 64, 48, (0.299, 0.114), False,
                         (64, 48))


def subtitle_sweeps():
    from brilox.media import _subtitles

    frame = (b"\x10" * (64 * 48), b"\x80" * (32 * 24), b"\x80" * (32 * 24))

    def prepare():
        return {"planes": tuple(map(bytearray, frame))}

    def operation(state):
        state["drawn"] = subtitle_blend(_subtitles, state["planes"])
        _subtitles.blend_bitmap(state["planes"], _subtitles.PLANAR, 64, 48, (0.299, 0.114),
                                True, b"\1" * 16, 4, 4, 4, b"\0" * 4 + b"\xff" * 4,
                                (40, 30, 30, 20))
        state["messages"] = _subtitles.Library().messages()

    def check(state, outcome):
        # Refused by memory before the blend: the frame untouched.
        if "drawn" not in state:
            assert tuple(state["planes"]) == frame
        else:
            assert state["drawn"] is True and tuple(state["planes"]) != frame
        assert outcome is MemoryError or state["messages"] == []

    return {"subtitles_blend": (prepare, operation, check)}


def entries(name):
    """entry(name, n) for n = 0, 1, ..., each in a fresh process forked from
    this one (its imports done once, here, rather than once per n), until
    ten in a row succeed.  A child killed by a signal is said as "N signal
    S", for the parent to look into; one that fails otherwise ends this."""
    n, streak = 0, 0
    while streak < 10:
        sys.stdout.flush()
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                code = 3 if entry(name, n) else 0
            except BaseException:
                traceback.print_exc()
            finally:
                sys.stdout.flush()
                sys.stderr.flush()
                os._exit(code)
        _, status = os.waitpid(pid, 0)
        if os.WIFSIGNALED(status):
            print(n, "signal", os.WTERMSIG(status), flush=True)
            streak = 0
        elif os.WEXITSTATUS(status) in (0, 3):
            streak = streak + 1 if os.WEXITSTATUS(status) == 0 else 0
        else:
            sys.exit("the entry with allocation %d failing ended with status %d"
                     % (n, os.WEXITSTATUS(status)))
        n += 1
        # The child printed "N ok" or "N MemoryError", then "done".
    print("all", n, flush=True)


def main():
    if sys.argv[1] == "entry":
        entry(sys.argv[2], int(sys.argv[3]))
        return
    if sys.argv[1] == "entries":
        entries(sys.argv[2])
        return
    name = sys.argv[2]
    sweeps = (lock_sweeps() if name.startswith(("lock", "lifetime"))
              else sound_sweeps() if name.startswith("sound")
              else subtitle_sweeps() if name.startswith("subtitles") else overlay_sweeps())
    sweep(*sweeps[name])


if __name__ == "__main__":
    main()
