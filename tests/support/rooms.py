"""The native rooms that need no device, no interpreter and no libass,
built from the modules' own sources with g++ into one library for ctypes
(tests/support/rooms.cpp): brilox.sound's mixer and the subtitle blend.

Built as the modules are (C++20, -O3), sanitized under the sanitizer build,
into build/test-rooms/ once and again whenever a source changes.
"""

import ctypes
import functools
import os
import subprocess

from sanitizer import SANITIZED, tool_env
from support.sdl import HERE, ROOT

SOURCES = [HERE / "rooms.cpp", ROOT / "src" / "sound" / "mixer.cpp",
           ROOT / "src" / "media_subtitles" / "blend.cpp"]
HEADERS = [ROOT / "src" / "sound" / "mixer.hpp", ROOT / "src" / "media_subtitles" / "blend.hpp",
           ROOT / "src" / "common" / "layouts.hpp"]
LIBRARY = ROOT / "build" / "test-rooms" / ("librooms%s.so" % ("-sanitized" if SANITIZED else ""))

# The layouts, as src/common/layouts.hpp numbers them.
LUMA_CHROMA, CHROMA_LUMA, PLANAR = 2, 3, 4


def build():
    """Compile the library if it is missing or older than a source."""
    newest = max(p.stat().st_mtime for p in SOURCES + HEADERS)
    if LIBRARY.exists() and LIBRARY.stat().st_mtime >= newest:
        return LIBRARY
    LIBRARY.parent.mkdir(parents=True, exist_ok=True)
    tmp = LIBRARY.with_suffix(".tmp%d" % os.getpid())
    flags = (["-O1", "-g", "-fsanitize=address,undefined", "-fno-omit-frame-pointer",
              "-fno-sanitize-recover=all"] if SANITIZED else ["-O3", "-DNDEBUG"])
    subprocess.run(["g++", "-std=c++20", "-shared", "-fPIC", "-fvisibility=hidden", "-Wall",
                    "-Wextra", *flags, *("-I" + str(h.parent) for h in HEADERS),
                    *map(str, SOURCES), "-o", str(tmp)],
                   check=True, env=tool_env(), timeout=300)
    os.replace(tmp, LIBRARY)
    return LIBRARY


@functools.lru_cache(maxsize=None)
def lib():
    rooms = ctypes.CDLL(str(build()))
    p, u64, i64, c_int, c_long = (ctypes.c_void_p, ctypes.c_uint64, ctypes.c_int64,
                                  ctypes.c_int, ctypes.c_long)
    dbl, dp = ctypes.c_double, ctypes.POINTER(ctypes.c_double)
    signatures = {
        "mixer_new": (p, [c_int, c_int, ctypes.c_uint, u64]),
        "mixer_free": (None, [p]),
        "mixer_channel": (None, [p, c_int, c_int, c_int]),
        "mixer_master": (None, [p, c_int, c_int]),
        "mixer_queue": (u64, [p, c_int, p, u64]),
        "mixer_queued": (u64, [p, c_int]),
        "mixer_flush": (None, [p, c_int]),
        "mixer_holds": (c_int, [p, c_int]),
        "mixer_underruns": (u64, [p, c_int]),
        "mixer_hold": (None, [p, c_int, p, u64, i64]),
        "mixer_mix": (None, [p, p, u64, i64]),
        "mixer_heard_seconds": (dbl, [p, c_int, c_int, i64]),
        "mixer_still_heard": (c_int, [p, c_int, c_int, i64]),
        "mixer_device_samples": (ctypes.c_uint, [c_int]),
        "clock_read": (dbl, [p, c_int, dbl]),
        "mixer_cost": (c_int, [p, u64, c_int, dp, dp]),
        "blend_colour": (None, [dbl, dbl, c_int, dbl, dbl, dbl, ctypes.POINTER(c_int)]),
        "blend_coverage": (c_int, [c_int, c_long, c_long, p, p, p, dbl, dbl, c_int, p, c_int,
                                   c_int, c_int, c_int, c_int, ctypes.c_uint32]),
        "blend_paletted": (c_int, [c_int, c_long, c_long, p, p, p, dbl, dbl, c_int, p, c_long,
                                   c_long, c_long, p, c_long, c_long, c_long, c_long, c_long]),
    }
    for name, (restype, argtypes) in signatures.items():
        function = getattr(rooms, name)
        function.restype, function.argtypes = restype, argtypes
    return rooms


def address(buffer):
    """A bytearray's bytes, for a pointer argument."""
    return (ctypes.c_char * len(buffer)).from_buffer(buffer) if buffer else None


class Mixer:
    """A mixer of `frequency` frames a second in format `size` (-16, 16,
    -8 or 8) with `channels` samples a frame, each ring `ring_frames` long;
    channels paused at volume 100, as brilox.sound.open() leaves them."""

    def __init__(self, frequency=8000, size=-16, channels=1, ring_frames=1024):
        self.lib, self.frequency = lib(), frequency
        self.frame_bytes = channels * abs(size) // 8
        self.handle = self.lib.mixer_new(frequency, size, self.frame_bytes,
                                         ring_frames * self.frame_bytes)
        self.held = {}  # the bytes a channel holds, kept alive here

    def close(self):
        self.lib.mixer_free(self.handle)

    def channel(self, n, volume=100, playing=True):
        self.lib.mixer_channel(self.handle, n, volume, playing)

    def master(self, volume=100, muted=False):
        self.lib.mixer_master(self.handle, volume, muted)

    def queue(self, n, data):
        data = bytearray(data)
        return self.lib.mixer_queue(self.handle, n, address(data), len(data))

    def hold(self, n, data, loops=0):
        self.held[n] = bytearray(data)
        self.lib.mixer_hold(self.handle, n, address(self.held[n]), len(self.held[n]), loops)

    def mix(self, frames, now=0.0):
        """The bytes of one callback of `frames` frames at `now` seconds."""
        stream = bytearray(frames * self.frame_bytes)
        self.lib.mixer_mix(self.handle, address(stream), len(stream), round(now * 1e9))
        return bytes(stream)

    def heard(self, n, now):
        return self.lib.mixer_heard_seconds(self.handle, n, self.frequency, round(now * 1e9))

    def still_heard(self, n, now):
        return self.lib.mixer_still_heard(self.handle, n, self.frequency, round(now * 1e9))

    def __getattr__(self, name):
        # queued, flush, holds, underruns: the library's, on this mixer.
        function = getattr(self.lib, "mixer_" + name)
        return lambda *args: function(self.handle, *args)
