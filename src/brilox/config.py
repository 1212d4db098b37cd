"""Compiler and linker flags for native modules that use brilox's C tables
and the SDL that brilox runs on.

From a shell (``brilox-config --cflags --libs``)::

    g++ -shared -fPIC mymodule.cpp $(brilox-config --cflags --libs) -o mymodule.so

From a build script, for a setuptools ``Extension``::

    import brilox.config
    Extension("mymodule", ["mymodule.c"], **brilox.config.extension_args())

A wheel of brilox brings its own SDL; a module built with these flags links
that SDL by its name, ``libSDL-1.2.so.0``, and finds it loaded once
``import brilox`` has run: import brilox before the module.  Where brilox
was built from source, the flags are those of the system's SDL 1.2.
"""

import argparse
import os
import shlex
import subprocess
import sys
from typing import Dict, List, Optional

import brilox

HERE = os.path.dirname(os.path.abspath(brilox.__file__))
BUNDLED_SDL = os.path.join(HERE, "_sdl")


def bundled() -> bool:
    """Whether this brilox brings its own SDL."""
    return os.path.exists(os.path.join(BUNDLED_SDL, "libSDL-1.2.so.0"))


def _system_sdl(*what: str) -> List[str]:
    try:
        found = subprocess.run(["pkg-config", *what, "sdl"], capture_output=True, text=True,
                               check=True)
    except (OSError, subprocess.CalledProcessError) as e:
        raise RuntimeError("SDL 1.2's pkg-config file (sdl.pc) was not found: install SDL 1.2's "
                           "development files (Debian: libsdl1.2-dev)") from e
    return shlex.split(found.stdout)


def cflags() -> List[str]:
    """The include folders (brilox's headers, SDL's) and SDL's defines."""
    if bundled():
        return ["-I" + brilox.get_include(), "-I" + os.path.join(brilox.get_include(), "SDL"),
                "-D_GNU_SOURCE=1", "-D_REENTRANT"]
    return ["-I" + brilox.get_include()] + _system_sdl("--cflags")


def libs() -> List[str]:
    """What links SDL: the bundled library by its name, or the system's."""
    if bundled():
        return ["-L" + BUNDLED_SDL, "-l:libSDL-1.2.so.0"]
    return _system_sdl("--libs")


def extension_args() -> Dict[str, List[str]]:
    """cflags() and libs() as setuptools.Extension's keyword arguments."""
    args: Dict[str, List[str]] = {"include_dirs": [], "define_macros": [], "library_dirs": [],
                                  "libraries": [], "extra_compile_args": [],
                                  "extra_link_args": []}
    for flag in cflags():
        if flag.startswith("-I"):
            args["include_dirs"].append(flag[2:])
        elif flag.startswith("-D"):
            name, _, value = flag[2:].partition("=")
            args["define_macros"].append((name, value or None))  # type: ignore[arg-type]
        else:
            args["extra_compile_args"].append(flag)
    for flag in libs():
        if flag.startswith("-L"):
            args["library_dirs"].append(flag[2:])
        elif flag.startswith("-l"):
            args["libraries"].append(flag[2:])
        else:
            args["extra_link_args"].append(flag)
    return args


def main(argv: Optional[List[str]] = None) -> int:
    parser = argparse.ArgumentParser(
        prog="brilox-config",
        description="Print the flags that compile and link a native module against brilox's "
                    "C tables and its SDL 1.2.")
    parser.add_argument("--cflags", action="store_true", help="the compiler's flags")
    parser.add_argument("--libs", action="store_true", help="the linker's flags")
    parser.add_argument("--version", action="store_true", help="brilox's version")
    options = parser.parse_args(argv)
    if not (options.cflags or options.libs or options.version):
        parser.print_usage(sys.stderr)
        return 2
    out: List[str] = []
    try:
        if options.version:
            out.append(brilox.__version__)
        if options.cflags:
            out += cflags()
        if options.libs:
            out += libs()
    except RuntimeError as e:
        print("brilox-config: %s" % e, file=sys.stderr)
        return 1
    print(" ".join(shlex.quote(flag) for flag in out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
