"""brilox: a Python game library on SDL 1.2.

The native modules live in submodules: ``brilox.overlay`` (YUV video
overlays), ``brilox.key`` (keyboard state) and ``brilox.pinhold``
(surface-locking services for other native modules), beside
``brilox.base``, ``brilox.rect``, ``brilox.display`` and ``brilox.surface``.
"""

import os as _os

__version__ = "0.2.0"

__all__ = ["get_include", "__version__"]


def get_include() -> str:
    """Return the folder holding the C headers of brilox's native tables.

    Native modules that call the surface-locking table add it to their
    include path and ``#include "pinhold.h"``.
    """
    return _os.path.join(_os.path.dirname(__file__), "include")
