"""Reference leaks: the core cases of each module's tests, run thousands of
times, must leave the reference counts of every object involved, None
included, and the interpreter's count of allocated blocks where they were.

Under the sanitizer build the interpreter allocates with malloc and keeps no
block count; there LeakSanitizer checks at exit what is never freed.
"""

import array
import collections
import ctypes
import gc
import sys

import numpy
import pytest

import brilox.base
import brilox.display as display
import brilox.key as key
import brilox.sound as sound
from brilox.overlay import Overlay
from brilox.surface import Surface
from lockers import Locker, Unreferenceable
from support import font_file, sdl

FONT = font_file()

ROUNDS = 2000


class Framed(Overlay):
    pass


def expect(error, call, *args):
    try:
        call(*args)
    except error:
        return
    raise AssertionError("%s did not raise %s" % (call, error))


def overlay_cases(w):
    frame = w["frame"]
    return {
        "create": lambda: Overlay(sdl.YV12, (16, 8)),
        "create subclass": lambda: Framed(sdl.YUY2, (8, 4)),
        "create refused by SDL": lambda: expect(brilox.base.error, Overlay, 0x1234, (16, 8)),
        "create too large": lambda: expect(brilox.base.error, Overlay, sdl.YV12, (65534, 32770)),
        "create bad arguments": lambda: expect(TypeError, Overlay, sdl.YV12, (1, 2, 3)),
        "set_location": lambda: w["overlay"].set_location(w["rect"]),
        "set_location refused": lambda: expect(TypeError, w["overlay"].set_location, "abcd"),
        "get_hardware": lambda: w["overlay"].get_hardware(),
        "display tuple": lambda: w["overlay"].display(frame),
        "display list": lambda: w["overlay"].display(w["frame list"]),
        "display sequence": lambda: w["overlay"].display(w["frame deque"]),
        "display text": lambda: w["overlay"].display(w["frame text"]),
        "display again": lambda: w["overlay"].display(),
        "display refused": lambda: expect(ValueError, w["overlay"].display, w["short"]),
        "display bad frame": lambda: expect(TypeError, w["overlay"].display, w["broken"]),
        "display buffers": lambda: w["overlay"].display(w["frame buffers"]),
        "display refused layout": lambda: expect(ValueError, w["overlay"].display, w["reversed"]),
    }


def key_cases(w):
    return {
        "set_repeat": lambda: key.set_repeat(300, 30),
        "set_repeat refused": lambda: expect(brilox.base.error, key.set_repeat, -5),
        "get_repeat": key.get_repeat,
        "get_pressed": key.get_pressed,
        "name": lambda: key.name(97),
        "name unknown": lambda: key.name(-7),
        "set_mods get_mods": lambda: (key.set_mods(0x41), key.get_mods()),
        "get_focused": key.get_focused,
        "bad argument": lambda: expect(TypeError, key.set_mods, "x"),
    }


def display_cases(w):
    def events():
        for _ in range(3):
            assert sdl.lib().SDL_PushEvent(w["quit event"]) == 0
        assert display.wait_event(0).type == display.QUIT and len(display.poll_events()) == 2
        assert display.wait_event(0) is None

    return {"events": events,
            "set_mode flags refused": lambda: expect(ValueError, display.set_mode, (8, 8), 32, 2)}


def video_off_cases(w):
    return {
        "key without video": lambda: expect(brilox.base.error, key.get_mods),
        "overlay without video": lambda: expect(brilox.base.error, Overlay, sdl.YV12, (4, 4)),
    }


def lock_cases(w):
    surface, sub, locker = w["surface"], w["sub"], w["locker"]

    def lock_by():
        surface.lock_by(locker)
        surface.unlock_by(locker)

    def lock_itself():
        surface.lock()
        surface.unlock()

    def subsurface():
        sub.lock_by(locker)
        sub.unlock_by(locker)

    def dead_locker_purged():
        gone = Locker()
        surface.lock_by(gone)
        del gone
        surface.unlock_by(locker)

    def lifetime():
        lock = surface.lifetime_lock(locker)
        del lock

    def lifetime_subsurface():
        lock = sub.lifetime_lock(locker)
        del lock

    def lifetime_outlives_locker():
        gone = Locker()
        lock = surface.lifetime_lock(gone)
        del gone, lock

    def refused_by_sdl():
        w["double"].refuse_lock_surface = 1
        try:
            expect(RuntimeError, surface.lock_by, locker)
            expect(RuntimeError, surface.lifetime_lock, locker)
        finally:
            w["double"].refuse_lock_surface = 0
        surface.unlock_by(locker)

    def foreign_list():
        entries = [1, "x", None]
        w["plain"]._set_lock_list(entries)
        w["plain"].lock_by(locker)
        w["plain"].unlock_by(locker)
        w["plain"]._set_lock_list(None)

    return {
        "lock_by": lock_by, "lock": lock_itself, "subsurface": subsurface,
        "dead locker purged": dead_locker_purged, "lifetime lock": lifetime,
        "lifetime lock on subsurface": lifetime_subsurface,
        "lifetime lock outlives locker": lifetime_outlives_locker,
        "unweakrefable locker": lambda: expect(TypeError, surface.lock_by, Unreferenceable()),
        "unweakrefable lifetime": lambda: expect(TypeError, surface.lifetime_lock, 5),
        "refused by SDL": refused_by_sdl, "foreign lock list": foreign_list,
    }


def draw_cases(w):
    surface, sub, alpha = w["surface"], w["sub"], w["alpha"]

    def views():
        with memoryview(sub) as view:
            view.tobytes()
        numpy.asarray(surface)[0, 0] = (1, 2, 3, 4)
        expect(BufferError, array.array("B").frombytes, sub)

    def refused():
        for error, call, *args in [(ValueError, surface.fill, (1, 2, 300)),
                                   (TypeError, surface.fill, "red"), (TypeError, surface.blit, 5),
                                   (ValueError, surface.fill, (0, 0, 0), (99, 99, 1, 1)),
                                   (TypeError, surface.blit, alpha, "xy")]:
            expect(error, call, *args)
        with memoryview(alpha):
            expect(brilox.base.error, surface.blit, alpha)

    return {
        "views": views, "refused": refused,
        "fill": lambda: (surface.fill((1, 2, 3)), sub.fill((1, 2, 3, 4), ((1, 1), (2, 2)))),
        "blit": lambda: (surface.blit(alpha, (3, 3)), surface.blit(sub, w["rect"], (0, 0, 2, 2)),
                         w["plain"].blit(alpha, (-1, -1))),
        "display surface": lambda: (display.get_surface().blit(alpha, (1, 1)),
                                    memoryview(display.get_surface()).release()),
    }


def sound_cases(w):
    return {
        # Opening starts SDL's audio thread: 10 ms a time over SDL 2.
        "open": lambda: sound.open(8000, 2, -16, 0.01),
        "queue": lambda: (sound.queue(w["samples"]), sound.queue(memoryview(w["samples"])),
                          sound.flush()),
        "queue refused": lambda: expect(ValueError, sound.queue, w["samples"][:3]),
        "state": lambda: (sound.pause(True), sound.set_volume(50), sound.set_mute(False),
                          sound.clock(), sound.latency(), sound.queued(), sound.underruns(),
                          sound.get_volume(), sound.get_mute()),
        "channel": lambda: (w["channel"].queue(w["samples"]), w["channel"].pause(False),
                            setattr(w["channel"], "volume", 40), w["channel"].volume,
                            w["channel"].busy, w["channel"].clock(), w["channel"].underruns(),
                            w["channel"].queued(), repr(sound.Channel(3)),
                            sound.Channel(3) == sound.Channel(4), w["channel"].pause(True),
                            w["channel"].flush()),
        "play": lambda: (w["channel"].play(w["samples"], 2), w["channel"].busy,
                         w["channel"].playing(w["samples"]), sound.find_channel(),
                         sound.get_format(), w["channel"].stop(), sound.Channel(4).play(
                             w["samples"], -1), sound.Channel(4).play(w["samples"])),
        "play refused": lambda: (expect(ValueError, w["channel"].play, w["samples"][:3]),
                                 expect(ValueError, w["channel"].play, w["samples"], -2),
                                 expect(AttributeError, getattr, sound, "Nothing")),
        "channel refused": lambda: (expect(ValueError, sound.Channel, 16),
                                    expect(TypeError, sound.Channel, "3"),
                                    expect(ValueError, w["channel"].queue, w["samples"][:3]),
                                    expect(TypeError, setattr, w["channel"], "volume", 1.5)),
    }


def subtitle_cases(w):
    from brilox.media import _subtitles as subtitles
    planes, library, track = w["planes"], w["library"], w["track"]
    blend = (lambda *a: library.blend(track, 500, *a, (0.299, 0.114), False, (64, 48)))
    return {
        "library": lambda: subtitles.Library().track(w["header"]),
        "blend": lambda: (blend(planes, subtitles.PLANAR, 64, 48),
                          blend((w["packed"], b"", b""), subtitles.LUMA_CHROMA, 64, 48)),
        "blend refused": lambda: (expect(ValueError, blend, planes, 9, 64, 48),
                                  expect(ValueError, blend, (b"", b"", b""), 4, 64, 48),
                                  expect(TypeError, blend, planes[:2], 4, 64, 48)),
        "blend_bitmap": lambda: subtitles.blend_bitmap(
            planes, subtitles.PLANAR, 64, 48, (0.299, 0.114), True, w["indices"], 4, 4, 4,
            w["palette"], (-2, 40, 30, 20)),
        "track": lambda: (track.add(w["line"], 0, 1000), track.add(w["dialogue"], 0, 1000),
                          track.events, track.play_res, track.library, library.messages(),
                          expect(ValueError, track.add, b"Dialogue: 0", 0, 1)),
        "read": lambda: (library.read(w["header"]),
                         expect(ValueError, library.read, b"no script")),
    }


def world(double):
    y, u, v = b"y" * 128, b"u" * 32, b"v" * 32
    surface = Surface((16, 16))
    return {
        "double": double, "frame": (y, u, v), "frame list": [y, u, v],
        "frame deque": collections.deque([y, u, v]), "frame text": ("\u00e9" * 64, "u" * 32, "v" * 32),
        "short": (y[:100], u, v), "broken": (y, u, None), "rect": (1, 2, 3, 4),
        "surface": surface, "sub": surface.subsurface((2, 2, 8, 8)), "plain": Surface((4, 4)),
        "alpha": Surface((4, 4), alpha=True),
        "locker": Locker(), "frame buffers": (bytearray(y), memoryview(u), array.array("B", v)),
        "reversed": (y, u, memoryview(v)[::-1]), "quit event": ctypes.create_string_buffer(b"\x0c", 64),
    }


def run(case, watched, rounds=ROUNDS):
    for _ in range(50):  # caches and free lists settle
        case()
    gc.collect()
    counts = [sys.getrefcount(o) for o in watched]
    blocks = sys.getallocatedblocks()
    for _ in range(rounds):
        case()
    gc.collect()
    grown = sys.getallocatedblocks() - blocks
    assert [sys.getrefcount(o) for o in watched] == counts
    # One block kept per round would be thousands.
    assert grown < rounds // 20, grown


def watched_objects(w):
    objects = [None, Overlay, Framed, brilox.base.error, Surface, Locker, display.Event]
    for name in ("overlay", "frame", "frame buffers", "reversed", "frame list", "frame deque",
                 "frame text", "short",
                 "broken", "rect", "surface", "sub", "plain", "alpha", "locker"):
        if name in w:
            objects.append(w[name])
    objects += list(w["frame"]) + list(w["frame text"]) + list(w["frame buffers"])
    return objects


CASES = ([("overlay", name) for name in overlay_cases(collections.defaultdict(dict))]
         + [("key", name) for name in key_cases({})]
         + [("display", name) for name in display_cases({})]
         + [("locks", name) for name in lock_cases(collections.defaultdict(dict))]
         + [("draw", name) for name in draw_cases(collections.defaultdict(dict))])


@pytest.mark.parametrize("group, name", CASES, ids=lambda v: v)
def test_repeated_calls_leak_nothing(screen, sdl_double, group, name):
    w = world(sdl_double)
    w["overlay"] = Overlay(sdl.YV12, (16, 8))
    cases = {"overlay": overlay_cases, "key": key_cases, "display": display_cases,
             "locks": lock_cases, "draw": draw_cases}[group](w)
    sdl_double.display_is_noop = 1
    run(cases[name], watched_objects(w))
    del cases
    w.clear()
    gc.collect()
    # Every SDL overlay made was freed (SDL makes none when it refuses).
    if name != "create refused by SDL":
        assert sdl_double.create_overlay_calls == sdl_double.free_overlay_calls


@pytest.mark.parametrize("name", list(video_off_cases({})))
def test_repeated_refusals_without_video_leak_nothing(sdl_double, name):
    w = world(sdl_double)
    run(video_off_cases(w)[name], watched_objects(w))


@pytest.mark.parametrize("name", list(sound_cases({})))
def test_repeated_sound_calls_leak_nothing(monkeypatch, name):
    monkeypatch.setenv("SDL_AUDIODRIVER", "dummy")
    w = {"samples": bytearray(b"\1\0" * 64), "channel": sound.Channel(3)}
    sound.open(8000, 2, -16, 0.01)
    try:
        run(sound_cases(w)[name], [None, brilox.base.error, w["samples"], w["channel"]],
            200 if name == "open" else ROUNDS)
    finally:
        sound.quit()


@pytest.mark.parametrize("name", list(subtitle_cases(collections.defaultdict(tuple))))
def test_repeated_subtitle_calls_leak_nothing(name):
    from brilox.media import _subtitles as subtitles
    header = (b"[Script Info]\nPlayResX: 64\nPlayResY: 48\n\n[V4+ Styles]\n"
              b"Format: Name, Fontname, Fontsize, PrimaryColour\n"
              b"Style: Default,DejaVu Sans,20,&H0000FF00\n")
    library = subtitles.Library()
    library.fonts(FONT, None, False)
    w = {"header": header, "library": library, "track": library.track(header),
         "planes": (bytearray(64 * 48), bytearray(32 * 24), bytearray(32 * 24)),
         "packed": bytearray(128 * 48), "indices": bytes(range(16)), "palette": b"\xff" * 32,
         "line": b"0,0,Default,,0,0,0,,Wq", "dialogue": b"Dialogue: 0,0:00:00.00,0:00:01.00,"
         b"Default,,0,0,0,,{\\pos(3,2)}Wq"}
    w["track"].add(w["line"], 0, 1000)
    run(subtitle_cases(w)[name], [None, subtitles.Library, subtitles.Track, *w.values(),
                                  *w["planes"]], 200 if name in ("library", "read") else ROUNDS)
