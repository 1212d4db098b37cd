"""brilox: a Python game library on SDL 1.2.

The native modules live in submodules: ``brilox.overlay`` (YUV video
overlays), ``brilox.key`` (keyboard state) and ``brilox.pinhold``
(surface-locking services for other native modules), beside
``brilox.base``, ``brilox.rect``, ``brilox.display``, ``brilox.surface`` and
``brilox.sound``.
"""

import os as _os

__version__ = "0.2.0"


def _load_bundled_sdl() -> None:
    # A wheel ships its own SDL 1.2 in _sdl/.  It is loaded here, before any
    # module that links it, and into the global scope: every later library
    # that needs libSDL-1.2.so.0 (brilox's modules, other native modules
    # built with brilox-config) gets this one, so a process has one SDL.
    path = _os.path.join(_os.path.dirname(__file__), "_sdl", "libSDL-1.2.so.0")
    if _os.path.exists(path):
        import ctypes

        ctypes.CDLL(path, mode=ctypes.RTLD_GLOBAL)


_load_bundled_sdl()

__all__ = ["get_include", "__version__"]


def get_include() -> str:
    """Return the folder holding the C headers of brilox's native tables.

    Native modules that call the surface-locking table add it to their
    include path and ``#include "pinhold.h"``.
    """
    return _os.path.join(_os.path.dirname(__file__), "include")
