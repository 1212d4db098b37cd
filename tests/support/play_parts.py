"""The player's colour and screenshot modules, installed in brilox/play/
beside the player's own brilox/play.py, which shadows that folder as a
package: they are loaded here as parts of a stand-in package over the
folder."""

import importlib
import os
import sys
import types

import brilox

PACKAGE = "_brilox_play_parts"


def load(name):
    """The module brilox/play/<name>.py (or a native one) as installed."""
    if PACKAGE not in sys.modules:
        package = types.ModuleType(PACKAGE)
        package.__path__ = [os.path.join(os.path.dirname(brilox.__file__), "play")]
        sys.modules[PACKAGE] = package
    return importlib.import_module("%s.%s" % (PACKAGE, name))
