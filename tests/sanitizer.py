"""What the tests need to know when they run against the sanitizer build.

``make test-sanitize`` sets BRILOX_SANITIZED=1 and preloads the AddressSanitizer
and UndefinedBehaviorSanitizer runtimes into the interpreter (LD_PRELOAD),
which every child process inherits.
"""

import ctypes
import importlib
import os

import pytest

SANITIZED = os.environ.get("BRILOX_SANITIZED") == "1"


def not_under_sanitizer(reason):
    """Skips a test that cannot work under the sanitizer runtime, and only then."""
    return pytest.mark.skipif(SANITIZED, reason="cannot run under the sanitizer build: " + reason)


def tool_env(**extra):
    """The environment for a program other than the interpreter (a compiler, an
    X server): without the preloaded sanitizer runtime, whose leak check
    would report that program's own allocations."""
    env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    env.update(extra)
    return env


def import_leaking(name):
    """Imports a module that leaks objects while it initialises (numpy
    does), with LeakSanitizer looking away for the import only: what the
    tests then do with the module is still checked."""
    if not SANITIZED:
        return importlib.import_module(name)
    runtime = ctypes.CDLL(None)
    runtime.__lsan_disable()
    try:
        return importlib.import_module(name)
    finally:
        runtime.__lsan_enable()
