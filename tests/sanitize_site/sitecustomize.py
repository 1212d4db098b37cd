"""Loaded by every interpreter of the sanitized test run (make test-sanitize
puts this folder on PYTHONPATH), the players the tests start included:
numpy leaks objects while it initialises, so its import runs with
LeakSanitizer looking away, as tests/sanitizer.py's import_leaking does in
the test process.  What is done with numpy afterwards is still checked."""

import ctypes
import sys


class _NumpyLooksAway:
    """Finds numpy as the other finders do, and runs its import with leak
    detection off on this thread."""

    def find_spec(self, name, path=None, target=None):
        if name != "numpy":
            return None
        for finder in sys.meta_path:
            find = getattr(finder, "find_spec", None)
            found = find(name, path, target) if finder is not self and find else None
            if found is not None:
                break
        else:
            return None
        # By getattr: a name with two leading underscores in a class is
        # the class's own.
        runtime, execute = ctypes.CDLL(None), found.loader.exec_module
        disable, enable = getattr(runtime, "__lsan_disable"), getattr(runtime, "__lsan_enable")

        def exec_module(module):
            disable()
            try:
                execute(module)
            finally:
                enable()

        found.loader.exec_module = exec_module
        return found


sys.meta_path.insert(0, _NumpyLooksAway())
