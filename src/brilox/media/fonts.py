"""The fonts subtitles are drawn with.

A wheel brings a default font (DejaVu Sans, its license beside it) in
``_fonts/``, for its libass finds fonts only there and in the fonts a file
attaches: it has no fontconfig.  A build against the system's libass (on
Debian, with fontconfig) has no default font and asks fontconfig instead.
The build says which: it writes ``_fonts/no-fontconfig`` when the libass it
links cannot use fontconfig.  The subtitle renderer is set up with
``Library.fonts(default_font(), None, fontconfig())``.
"""

import os
from typing import Optional

__all__ = ["default_font", "fontconfig"]

_FOLDER = os.path.join(os.path.dirname(__file__), "_fonts")


def default_font() -> Optional[str]:
    """Return the path of the default font that brilox brings, else None."""
    try:
        names = sorted(os.listdir(_FOLDER))
    except OSError:
        return None
    for name in names:
        if name.lower().endswith((".ttf", ".otf")):
            return os.path.join(_FOLDER, name)
    return None


def fontconfig() -> bool:
    """Return whether the linked libass can ask fontconfig for fonts."""
    return not os.path.exists(os.path.join(_FOLDER, "no-fontconfig"))
