"""What the surface-locking tests share: lockers, the records of a
``brilox.surface.Surface`` read the way a native module reads them, and the
number of SDL locks a surface holds.

The offsets follow the leading fields that ``pinhold.h`` declares: the
host's object header, then ``surf``, ``subsurface``, one private pointer and
``locklist``.
"""

import collections
import ctypes
import functools

from support import sdl

POINTER = ctypes.sizeof(ctypes.c_void_p)
OBJECT_HEADER = ctypes.sizeof(ctypes.c_ssize_t) + POINTER
SURF_OFFSET = OBJECT_HEADER
SUBSURFACE_OFFSET = OBJECT_HEADER + POINTER
LOCKLIST_OFFSET = OBJECT_HEADER + 3 * POINTER


class Locker:
    """An object that can be weakly referenced."""

    def __init__(self, key=None):
        self.key = key

    def __repr__(self):
        return "Locker(%r)" % (self.key,)


class Unreferenceable:
    """An object that cannot be weakly referenced."""

    __slots__ = ()

    def __repr__(self):  # the same in every process of a parallel run
        return "Unreferenceable()"


class SubsurfaceRecord(ctypes.Structure):
    _fields_ = [("owner", ctypes.c_void_p), ("pixeloffset", ctypes.c_int32)]


def sdl_record(surface):
    """The SDL_Surface of a Surface, as SDL itself holds it."""
    address = surface._sdl_address()
    assert address, "the surface has no SDL surface"
    return sdl.Surface.from_address(address)


class SdlBuild(collections.namedtuple("SdlBuild", "counts_locks restores_pixels")):
    """What this SDL 1.2 build does with a surface record's own fields.

    counts_locks: SDL_LockSurface and SDL_UnlockSurface keep the record's
    ``locked`` counter (classic SDL does; sdl12-compat leaves it at 0, while
    its locks work all the same).
    restores_pixels: they point the record's ``pixels`` back at the surface's
    own buffer (sdl12-compat does; classic SDL leaves the pointer alone).
    """


@functools.lru_cache(maxsize=None)
def sdl_build():
    """Asks SDL itself, past the test double, on a surface of its own."""
    lib = ctypes.CDLL("libSDL-1.2.so.0")  # its own function prototypes
    lib.SDL_CreateRGBSurface.restype = ctypes.POINTER(sdl.Surface)
    lib.SDL_LockSurface.argtypes = lib.SDL_UnlockSurface.argtypes = \
        lib.SDL_FreeSurface.argtypes = [ctypes.POINTER(sdl.Surface)]
    probe = lib.SDL_CreateRGBSurface(0, 2, 2, 32, 0xff0000, 0xff00, 0xff, 0)
    assert probe, "SDL could not make a surface"
    record = probe.contents
    own = record.pixels
    try:
        record.pixels = 0x1000
        assert lib.SDL_LockSurface(probe) == 0
        build = SdlBuild(counts_locks=record.locked == 1, restores_pixels=record.pixels == own)
        lib.SDL_UnlockSurface(probe)
    finally:
        record.pixels = own
        lib.SDL_FreeSurface(probe)
    return build


@functools.lru_cache(maxsize=None)
def _double_locks_of():
    """The double's per-surface lock count, if the double is in the process."""
    try:
        fn = ctypes.CDLL(None).brilox_sdl_double_locks_of
    except AttributeError:
        return None
    fn.restype = ctypes.c_int
    fn.argtypes = [ctypes.c_void_p]
    return fn


def locked(surface):
    """How many SDL locks the surface holds.

    The test double counts them on every SDL build: SDL_LockSurface calls that
    succeeded less the SDL_UnlockSurface calls that gave one back.  Where SDL
    keeps the record's own counter, the two must agree.
    """
    record = sdl_record(surface)
    locks_of = _double_locks_of()
    if locks_of is None:
        # A process that runs without the double (a child that imported
        # brilox first) has only the record's counter to go by.
        assert sdl_build().counts_locks, \
            "this SDL does not count locks in its records: load the SDL test double first"
        return record.locked
    count = locks_of(surface._sdl_address())
    assert count >= 0, "the test double lost count of the surface locks"
    if sdl_build().counts_locks:
        assert record.locked == count, (record.locked, count)
    return count


def pixels(surface):
    return sdl_record(surface).pixels


def field(surface, offset):
    return ctypes.c_void_p.from_address(id(surface) + offset).value


def lock_list_address(surface):
    """The surface's ``locklist`` field: 0 until the first lock."""
    return field(surface, LOCKLIST_OFFSET) or 0


def subsurface_record(surface):
    address = field(surface, SUBSURFACE_OFFSET)
    assert address, "not a subsurface"
    return SubsurfaceRecord.from_address(address)


def corrupt_pixels(surface, value=0x1000):
    """Points the surface's pixels somewhere else; returns the old value."""
    record = sdl_record(surface)
    old = record.pixels
    record.pixels = value
    return old
