"""What the surface-locking tests share: lockers, and the records of a
``brilox.surface.Surface`` read the way a native module reads them.

The offsets follow the leading fields that ``pinhold.h`` declares: the
host's object header, then ``surf``, ``subsurface``, one private pointer and
``locklist``.
"""

import ctypes

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


class SubsurfaceRecord(ctypes.Structure):
    _fields_ = [("owner", ctypes.c_void_p), ("pixeloffset", ctypes.c_int32)]


def sdl_record(surface):
    """The SDL_Surface of a Surface, as SDL itself holds it."""
    address = surface._sdl_address()
    assert address, "the surface has no SDL surface"
    return sdl.Surface.from_address(address)


def locked(surface):
    """SDL's lock counter of the surface."""
    return sdl_record(surface).locked


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
