"""brilox.overlay's entry: it copies the base and rect tables once and fails
cleanly when either cannot be had.

A module's entry runs once per process, so each case runs in a fresh
interpreter, with stand-ins for brilox.base or brilox.rect put in
sys.modules (or the real ones out of reach) before brilox.overlay is
imported.
"""

import importlib.util
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

PRELUDE = textwrap.dedent("""
    import ctypes, sys, types

    api = ctypes.pythonapi
    api.PyCapsule_New.restype = ctypes.py_object
    api.PyCapsule_New.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    api.PyCapsule_GetPointer.restype = ctypes.c_void_p
    api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
    KEEP = []

    def table(count):
        slots = (ctypes.c_void_p * count)()
        KEEP.append(slots)
        return slots

    def publish(name, attribute):
        module = types.ModuleType(name)
        if attribute is not None:
            module._BRILOX_C_API = attribute
        sys.modules[name] = module

    def capsule(slots, name):
        name = ctypes.create_string_buffer(name.encode())
        KEEP.append(name)
        return api.PyCapsule_New(ctypes.addressof(slots), name, None)

    def real_rect_from_object():
        import brilox.rect
        address = api.PyCapsule_GetPointer(brilox.rect._BRILOX_C_API,
                                           b"brilox.rect._BRILOX_C_API")
        return (ctypes.c_void_p * 4).from_address(address)[3]

    class FirstError(Exception):
        pass

    class SecondError(Exception):
        pass

    def base_table(error):
        slots = table(19)
        slots[0] = id(error)
        return slots

    def import_overlay():
        try:
            import brilox.overlay
        except Exception as error:
            print(type(error).__name__ + ": " + str(error))
        else:
            print("imported")
        print("left behind:", "brilox.overlay" in sys.modules)
""")


def run(script, pythonpath=None):
    env = dict(os.environ, SDL_VIDEODRIVER="dummy")
    if pythonpath is not None:
        env["PYTHONPATH"] = str(pythonpath)
    done = subprocess.run([sys.executable, "-c", PRELUDE + textwrap.dedent(script)],
                          env=env, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout.splitlines()


def test_import_fails_without_base(tmp_path):
    # A brilox package that holds the overlay module and nothing else (but
    # the SDL that a wheel ships, which its __init__ loads).
    package = tmp_path / "brilox"
    real = os.path.dirname(importlib.util.find_spec("brilox").origin)
    shutil.copytree(real, package, ignore=lambda folder, names: [
        name for name in names if folder == real and name not in ("__init__.py", "_sdl")])
    shutil.copy(importlib.util.find_spec("brilox.overlay").origin, package)
    assert run("import_overlay()", pythonpath=tmp_path) == [
        "ModuleNotFoundError: No module named 'brilox.base'", "left behind: False"]


REAL_RECT = "publish('brilox.rect', capsule(rect, 'brilox.rect._BRILOX_C_API'))"


@pytest.mark.parametrize("setup, error", [
    ("publish('brilox.base', capsule(base_table(FirstError), 'brilox.bass._BRILOX_C_API'))",
     "ValueError: PyCapsule_GetPointer called with incorrect name"),
    ("publish('brilox.base', 42)",
     "ImportError: brilox.base._BRILOX_C_API is not a capsule"),
    ("publish('brilox.base', None)",
     "AttributeError: module 'brilox.base' has no attribute '_BRILOX_C_API'"),
    ("publish('brilox.base', capsule(base_table(FirstError), 'brilox.base._BRILOX_C_API'));"
     "publish('brilox.rect', capsule(rect, 'brilox.base._BRILOX_C_API'))",
     "ValueError: PyCapsule_GetPointer called with incorrect name"),
    ("publish('brilox.base', capsule(base_table(FirstError), 'brilox.base._BRILOX_C_API'));"
     "publish('brilox.rect', b'brilox.rect._BRILOX_C_API')",
     "ImportError: brilox.rect._BRILOX_C_API is not a capsule"),
    ("sys.modules['brilox.rect'] = None",
     "ModuleNotFoundError: import of brilox.rect halted; None in sys.modules"),
    ("sys.modules['brilox.base'] = None; sys.modules['brilox.rect'] = None",
     "ModuleNotFoundError: import of brilox.base halted; None in sys.modules"),
], ids=["base misnamed", "base not a capsule", "base without table", "rect misnamed",
        "rect not a capsule", "rect missing", "base before rect"])
def test_unusable_table_fails_the_import(setup, error):
    script = "rect = table(4)\nrect[3] = real_rect_from_object()\n" + setup + "\nimport_overlay()"
    assert run(script) == [error, "left behind: False"]


def test_tables_are_copied_once_at_import():
    lines = run("""
        base = base_table(FirstError)
        rect = table(4)
        rect[3] = real_rect_from_object()
        publish('brilox.base', capsule(base, 'brilox.base._BRILOX_C_API'))
        publish('brilox.rect', capsule(rect, 'brilox.rect._BRILOX_C_API'))
        import brilox.overlay, brilox.display
        base[0] = id(SecondError)
        rect[3] = None
        try:
            brilox.overlay.Overlay(0x32315659, (16, 8))
        except Exception as error:
            print(type(error).__name__ + ": " + str(error))
        brilox.display.init()
        brilox.display.set_mode((64, 48))
        overlay = brilox.overlay.Overlay(0x32315659, (16, 8))
        print(overlay.set_location(1, 2, 3, 4))
        del overlay
        brilox.display.quit()
    """)
    assert lines == ["FirstError: cannot create overlay without brilox.display initialized",
                     "None"]


def test_empty_slots_are_never_called():
    lines = run("""
        publish('brilox.base', capsule(table(19), 'brilox.base._BRILOX_C_API'))
        publish('brilox.rect', capsule(table(4), 'brilox.rect._BRILOX_C_API'))
        import brilox.overlay, brilox.display
        for attempt in ("create", "place"):
            try:
                if attempt == "create":
                    brilox.overlay.Overlay(0x32315659, (16, 8))
                else:
                    brilox.display.init()
                    brilox.display.set_mode((64, 48))
                    overlay = brilox.overlay.Overlay(0x32315659, (16, 8))
                    overlay.set_location(1, 2, 3, 4)
            except Exception as error:
                print(type(error).__name__ + ": " + str(error))
        del overlay
        brilox.display.quit()
    """)
    assert lines == ["RuntimeError: cannot create overlay without brilox.display initialized",
                     "SystemError: brilox.rect publishes no rect_from_object"]
