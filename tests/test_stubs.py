"""The type stubs match the modules: mypy's stubtest imports each module and
compares every name, signature and class in it with its .pyi stub."""

import subprocess
import sys

MODULES = ["brilox.base", "brilox.rect", "brilox.display", "brilox.overlay", "brilox.key",
           "brilox.pinhold", "brilox.surface", "brilox.play._colour", "brilox.sound"]


def test_the_stubs_match_the_modules(tmp_path):
    # Run from an empty folder, so the installed package is what is checked.
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", *MODULES],
                            cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
