"""Surface locking support.

The module's services are for native modules: they reach them through the
lock table in the capsule ``_BRILOX_C_API`` and the C header in
``brilox.get_include()``.
"""

from typing import final, type_check_only

# A capsule named "brilox.pinhold._BRILOX_C_API" holding the lock table.
_BRILOX_C_API: object

@final
@type_check_only
class SurfLifeLock:
    """Holds one lock on a surface for as long as it lives.

    Made only by the lock table (slot 0 holds the type); it offers no
    methods, cannot be created from Python, and can be weakly referenced.
    """
