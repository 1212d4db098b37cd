"""The published lock table: the capsule, its eight slots in order, and the
public header that other native modules compile against."""

import ctypes
import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap
import zipfile

import pytest

import brilox
import brilox.pinhold
from brilox.surface import Surface
from lockers import (LOCKLIST_OFFSET, POINTER, SUBSURFACE_OFFSET, SURF_OFFSET,
                     Locker, Unreferenceable, field, locked, pixels, sdl_record)
from sanitizer import tool_env

CAPSULE_NAME = b"brilox.pinhold._BRILOX_C_API"

SUBSURFACE_FUNC = ctypes.PYFUNCTYPE(None, ctypes.py_object)
LOCK_FUNC = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)
LOCK_BY_FUNC = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.py_object)
LIFETIME_FUNC = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.py_object)


def table_slots():
    """The eight slots, read through the capsule the way an importer does."""
    get_pointer = ctypes.pythonapi.PyCapsule_GetPointer
    get_pointer.restype = ctypes.c_void_p
    get_pointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    table = get_pointer(brilox.pinhold._BRILOX_C_API, CAPSULE_NAME)
    return list((ctypes.c_void_p * 8).from_address(table))


def test_the_module_publishes_only_its_capsule():
    module = brilox.pinhold
    assert module.__name__ == "brilox.pinhold"
    assert module.__doc__ == "Surface locking support"
    assert [name for name in dir(module) if not name.startswith("__")] == ["_BRILOX_C_API"]
    capsule = module._BRILOX_C_API
    assert type(capsule).__name__ == "PyCapsule"
    is_valid = ctypes.pythonapi.PyCapsule_IsValid
    is_valid.argtypes = [ctypes.py_object, ctypes.c_char_p]
    assert is_valid(capsule, CAPSULE_NAME) == 1


def test_slot_zero_is_the_surf_life_lock_type():
    surface = Surface((4, 4))
    lifetime = surface.lifetime_lock(Locker())
    assert table_slots()[0] == id(type(lifetime))
    assert type(lifetime).__name__ == "SurfLifeLock"


def test_each_slot_does_its_own_job():
    slots = table_slots()
    assert all(slots) and len(set(slots)) == 8
    prepare, release = SUBSURFACE_FUNC(slots[1]), SUBSURFACE_FUNC(slots[2])
    lock, unlock = LOCK_FUNC(slots[3]), LOCK_FUNC(slots[4])
    lock_by, unlock_by = LOCK_BY_FUNC(slots[5]), LOCK_BY_FUNC(slots[6])
    lock_for_lifetime = LIFETIME_FUNC(slots[7])

    owner = Surface((8, 8))
    sub = owner.subsurface((1, 1, 4, 4))
    offset = sdl_record(owner).pitch + 4
    prepare(sub)
    assert owner.get_locks() == (sub,)
    assert sub.get_locks() == ()
    assert pixels(sub) == pixels(owner) + offset
    release(sub)
    assert owner.get_locks() == ()
    assert locked(owner) == 0

    assert lock(owner) == 1
    assert owner.get_locks() == (owner,)
    assert unlock(owner) == 1
    assert owner.get_locks() == ()

    a = Locker()
    assert lock_by(owner, a) == 1
    assert owner.get_locks() == (a,)
    assert unlock_by(owner, a) == 1
    assert locked(owner) == 0
    with pytest.raises(TypeError):
        lock_by(owner, Unreferenceable())

    lifetime = lock_for_lifetime(owner, a)
    assert type(lifetime).__name__ == "SurfLifeLock"
    assert owner.get_locks() == (a,)
    del lifetime
    assert locked(owner) == 0


def test_prepare_refuses_an_owner_without_sdl_surface():
    prepare = SUBSURFACE_FUNC(table_slots()[1])
    owner = Surface((8, 8))
    sub = owner.subsurface((0, 0, 2, 2))
    owner._drop_sdl_surface()
    with pytest.raises(RuntimeError, match="^error locking surface$"):
        prepare(sub)
    assert owner.get_locks() == ()
    prepare(owner)  # not a subsurface: nothing to do


def test_the_surface_record_begins_with_the_headers_fields():
    surface = Surface((4, 4))
    assert field(surface, SURF_OFFSET) == surface._sdl_address()
    assert field(surface, SUBSURFACE_OFFSET) is None
    assert field(surface, LOCKLIST_OFFSET) is None
    entries = []
    surface._set_lock_list(entries)
    assert field(surface, LOCKLIST_OFFSET) == id(entries)
    surface.lock()
    assert len(entries) == 1 and entries[0]() is surface


def test_importers_fail_when_the_lock_table_cannot_be_imported():
    script = textwrap.dedent("""
        import sys
        sys.modules["brilox.pinhold"] = None
        try:
            import brilox.surface
        except ImportError as e:
            print("ImportError", "brilox.surface" in sys.modules)
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         check=True).stdout
    assert out == "ImportError False\n"


# ---- the public header -------------------------------------------------------------

HEADER_CHECK = """
#include "pinhold.h"
#include <stddef.h>

#define EXPECT(name, condition) typedef char name[(condition) ? 1 : -1]

EXPECT(slot_count, PINHOLD_SLOT_COUNT == 8);
EXPECT(slot_order, PINHOLD_SLOT_SURFLIFELOCK_TYPE == 0 && PINHOLD_SLOT_PREPARE_SUBSURFACE == 1
       && PINHOLD_SLOT_RELEASE_SUBSURFACE == 2 && PINHOLD_SLOT_LOCK_SURFACE == 3
       && PINHOLD_SLOT_UNLOCK_SURFACE == 4 && PINHOLD_SLOT_LOCK_SURFACE_BY == 5
       && PINHOLD_SLOT_UNLOCK_SURFACE_BY == 6 && PINHOLD_SLOT_LOCK_SURFACE_FOR_LIFETIME == 7);
EXPECT(surf_at, offsetof(SurfaceObject, surf) == SURF_AT);
EXPECT(subsurface_at, offsetof(SurfaceObject, subsurface) == SUBSURFACE_AT);
EXPECT(locklist_at, offsetof(SurfaceObject, locklist) == LOCKLIST_AT);
EXPECT(owner_at, offsetof(SubsurfaceRecord, owner) == 0);
EXPECT(pixeloffset_at, offsetof(SubsurfaceRecord, pixeloffset) == POINTER_SIZE);
EXPECT(pixeloffset_size, sizeof(((SubsurfaceRecord *)0)->pixeloffset) == 4);

static const char capsule_name[] = PINHOLD_CAPSULE_NAME;
EXPECT(capsule_name_size, sizeof capsule_name == sizeof "brilox.pinhold._BRILOX_C_API");

static void prepare(SurfaceObject *surface) { (void)surface; }
static int lock(SurfaceObject *surface) { (void)surface; return 1; }
static int lock_by(SurfaceObject *surface, PyObject *locker)
{
    (void)surface;
    (void)locker;
    return 1;
}
static PyObject *lock_for_lifetime(SurfaceObject *surface, PyObject *locker)
{
    (void)surface;
    return locker;
}

PinholdSubsurfaceFunc use_prepare = prepare;
PinholdLockFunc use_lock = lock;
PinholdLockByFunc use_lock_by = lock_by;
PinholdLifetimeLockFunc use_lock_for_lifetime = lock_for_lifetime;

static void *lock_api[PINHOLD_SLOT_COUNT];

int import_lock_table(void)
{
    return pinhold_import_table(lock_api);
}
"""


def _system_flags():
    import brilox.config
    python = sysconfig.get_paths()["include"]
    flags = ["-isystem", python]
    for flag in brilox.config.cflags():
        flags += ["-isystem", flag[2:]] if flag.startswith("-I") else [flag]
    return flags


@pytest.mark.parametrize("compiler, standard, suffix", [
    ("gcc", "-std=c99", ".c"), ("gcc", "-std=c11", ".c"),
    ("g++", "-std=c++11", ".cpp"), ("g++", "-std=c++20", ".cpp")])
def test_the_installed_header_compiles_as_c_and_cpp(tmp_path, compiler, standard, suffix):
    include = brilox.get_include()
    assert os.path.isfile(os.path.join(include, "pinhold.h"))
    source = tmp_path / ("check" + suffix)
    source.write_text(HEADER_CHECK)
    layout = ["-DSURF_AT=%d" % SURF_OFFSET, "-DSUBSURFACE_AT=%d" % SUBSURFACE_OFFSET,
              "-DLOCKLIST_AT=%d" % LOCKLIST_OFFSET, "-DPOINTER_SIZE=%d" % POINTER]
    result = subprocess.run(
        [compiler, standard, "-fsyntax-only", "-Wall", "-Wextra", "-Werror", "-pedantic",
         "-I", include, *_system_flags(), *layout, str(source)],
        capture_output=True, text=True, env=tool_env())
    assert result.returncode == 0, result.stderr


PEEK = textwrap.dedent("""
    import ctypes, brilox.display, brilox.surface, peek
    brilox.display.init()
    brilox.display.set_mode((16, 12))
    shown = peek.video_surface()
    sdl = ctypes.CDLL("libSDL-1.2.so.0")
    sdl.SDL_GetVideoSurface.restype = ctypes.c_void_p
    # SDL_Surface: flags, format, then w and h.
    assert shown and shown == sdl.SDL_GetVideoSurface(), shown
    assert (ctypes.c_int * 2).from_address(shown + 16)[:] == [16, 12]
    class Locker: pass
    surface, locker = brilox.surface.Surface((8, 8)), Locker()
    # (sdl12-compat keeps no count in the surface record: brilox's is read.)
    locked, pixels = peek.lock_by(surface, locker)
    assert pixels and surface.get_locked(), (locked, pixels)
    peek.unlock_by(surface, locker)
    assert not surface.get_locked()
    print("one SDL")
""")


# Building the module may mean building it in an isolated environment.
@pytest.mark.timeout(300)
def test_another_projects_module_shares_brilox_sdl(tmp_path):
    """A module of another project, built by the README's recipe against the
    installed brilox, sees brilox's display and locks brilox's surfaces:
    there is one SDL in the process, the wheel's where brilox is a wheel."""
    source = tmp_path / "peek"
    shutil.copytree(os.path.join(os.path.dirname(__file__), "thirdparty"), source)
    wheels = os.environ.get("BRILOX_WHEELS")
    if wheels:
        # As pip builds it: isolated, with brilox from the wheels.
        subprocess.run([sys.executable, "-m", "pip", "wheel", "-q", "--no-deps", "--find-links",
                        wheels, "-w", str(tmp_path), str(source)], check=True, timeout=600)
        with zipfile.ZipFile(next(tmp_path.glob("peek-*.whl"))) as wheel:
            wheel.extractall(tmp_path / "site")
    else:
        flags = subprocess.run([sys.executable, "-m", "brilox.config", "--cflags", "--libs"],
                               check=True, capture_output=True, text=True).stdout.split()
        (tmp_path / "site").mkdir()
        subprocess.run(["gcc", "-shared", "-fPIC", str(source / "peek.c"), "-I",
                        sysconfig.get_paths()["include"], *flags, "-o",
                        str(tmp_path / "site" / ("peek" + sysconfig.get_config_var("EXT_SUFFIX")))],
                       check=True, env=tool_env(), timeout=120)
    done = subprocess.run([sys.executable, "-c", PEEK], capture_output=True, text=True, timeout=60,
                          env=dict(os.environ, SDL_VIDEODRIVER="dummy",
                                   PYTHONPATH=str(tmp_path / "site")))
    assert done.stdout == "one SDL\n", done.stderr
