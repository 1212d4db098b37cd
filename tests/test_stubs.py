"""The type stubs match the modules: mypy's stubtest imports each module and
compares every name, signature and class in it with its .pyi stub; the
signature that inspect and help() read off each native callable is its
stub's; and mypy takes the calls the modules take, and refuses those they
refuse."""

import ast
import importlib
import inspect
import subprocess
import sys
import types
from pathlib import Path

import pytest

import brilox

MODULES = ["brilox.base", "brilox.rect", "brilox.display", "brilox.overlay", "brilox.key",
           "brilox.pinhold", "brilox.surface", "brilox.media._colour", "brilox.sound",
           "brilox.media._subtitles"]


def test_the_stubs_match_the_modules(tmp_path):
    # Run from an empty folder, so the installed package is what is checked.
    result = subprocess.run([sys.executable, "-m", "mypy.stubtest", *MODULES],
                            cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr


P = inspect.Parameter


def stub_signatures(module):
    """(name, kind, has a default) of each parameter of every function in the
    module's stub, and of its classes' methods, a constructor by the class's
    name."""
    def parameters(function, bound):
        a = function.args
        named = [(p.arg, P.POSITIONAL_ONLY) for p in a.posonlyargs] + \
                [(p.arg, P.POSITIONAL_OR_KEYWORD) for p in a.args]
        first_default = len(named) - len(a.defaults)
        found = [(name, kind, i >= first_default) for i, (name, kind) in enumerate(named)]
        found += [(a.vararg.arg, P.VAR_POSITIONAL, False)] if a.vararg else []
        found += [(p.arg, P.KEYWORD_ONLY, d is not None)
                  for p, d in zip(a.kwonlyargs, a.kw_defaults)]
        found += [(a.kwarg.arg, P.VAR_KEYWORD, False)] if a.kwarg else []
        return found[1:] if bound else found

    path = Path(module.__file__).parent / (module.__name__.split(".")[-1] + ".pyi")
    signatures = {}
    for node in ast.parse(path.read_text()).body:
        if isinstance(node, ast.FunctionDef):
            signatures[node.name] = parameters(node, False)
        for method in node.body if isinstance(node, ast.ClassDef) else []:
            if isinstance(method, ast.FunctionDef) and not method.decorator_list:
                key = node.name if method.name == "__new__" else f"{node.name}.{method.name}"
                signatures[key] = parameters(method, True)
    return signatures


def runtime_signatures(module):
    """The same, as inspect reads them off the module's functions, the methods
    of its types and the constructors those types define."""
    callables = {}  # name: (callable, whether its first parameter is self)
    for name, value in vars(module).items():
        if isinstance(value, types.BuiltinFunctionType):
            callables[name] = value, False
        elif isinstance(value, type) and value.__module__ == module.__name__:
            if "__new__" in vars(value):
                callables[name] = value, False
            callables.update((f"{name}.{attr}", (member, True))
                             for attr, member in vars(value).items()
                             if isinstance(member, types.MethodDescriptorType)
                             and not attr.startswith("__"))
    return {name: [(p.name, p.kind, p.default is not p.empty)
                   for p in list(inspect.signature(function).parameters.values())[bound:]]
            for name, (function, bound) in callables.items()}


@pytest.mark.parametrize("name", ["brilox.base", "brilox.rect", "brilox.display",
                                  "brilox.surface", "brilox.sound", "brilox.media._subtitles"])
def test_every_native_signature_is_its_stubs(name):
    module = importlib.import_module(name)
    assert runtime_signatures(module) == stub_signatures(module)


# Calls the modules take, which mypy must take too.
TAKEN = """\
import array
from brilox import display, surface
from brilox.media import _colour

display.set_mode([64, 48])
display.set_mode(array.array("i", [40, 30]), 32, display.RESIZABLE)
assert display.get_size() == (40, 30)
whole = surface.Surface(size=[8, 6])
assert whole.subsurface([2, 1, 4, 3]).get_size() == (4, 3)
assert len(_colour.read_display(range(4), raw=True)) == 2 * 3 * 4
"""

# Calls both refuse, each on a line of its own.
REFUSED = """\
display.set_mode("ab")
display.wait_event(0.5)
surface.Surface((8, 6.0))
whole.subsurface(((2, 1), (4, 3)))
"""


def test_mypy_takes_the_calls_the_modules_take(video, tmp_path):
    scope = {}
    exec(TAKEN, scope)
    for call in REFUSED.splitlines():
        with pytest.raises(TypeError):
            exec(call, dict(scope))
    # A refusal mypy does not make leaves its "ignore" unused, an error here.
    script = tmp_path / "calls.py"
    script.write_text(TAKEN + REFUSED.replace("\n", "  # type: ignore[arg-type]\n"))
    result = subprocess.run([sys.executable, "-m", "mypy", "--warn-unused-ignores", script.name],
                            cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stdout + result.stderr
