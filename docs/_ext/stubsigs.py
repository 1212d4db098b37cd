"""Signatures of brilox's native callables, read from the type stubs.

A native function without a ``__text_signature__`` tells autodoc no more
than its docstring's first line ("name(args) -> result", not Python), and
one with it gives names and defaults but no types.  The stub installed
beside each native module (``display.pyi`` beside ``display.*.so``) holds
the true signatures, overloads included.  This extension:

- imports every native module of the package before autodoc does, so that
  autodoc documents the module and its docstrings (Sphinx 8.2 and later
  would otherwise load a native module's stub in its place);
- replaces the signature autodoc found for a native function, method or
  class by the stub's (``autodoc-process-signature``): the stub's private
  aliases written out, and the defaults it leaves as ``...`` taken from the
  signature autodoc found, where that names them;
- drops the further signature lines autodoc read off a docstring, which the
  stub's overloads stand in for, and the "-> result" line of a signature
  that a docstring wraps;
- ``.. nativeclass:: module.Class`` documents a native class from its
  docstring and its stub, with its public methods, for classes that autodoc
  cannot document under their own name (a type whose ``__name__`` is not the
  name it is published under, or one Python code never sees);
- ``.. nativeconstants:: module`` lists the constants a native module's stub
  declares, with their values (autodoc takes an int's docstring for theirs);
- ``.. command-help:: module`` shows the output of ``python -m module --help``;
- shows standard-library names and the stubs' private helper types without
  a link, as no inventory of other projects is fetched (the build runs
  offline); every other reference that does not resolve stays an error.
"""

import ast
import copy
import importlib
import importlib.machinery
import importlib.util
import inspect
import os
import re
import subprocess
import sys
import typing

import sphinx
from docutils import nodes
from docutils.statemachine import StringList
from sphinx import addnodes
from sphinx.util import logging
from sphinx.util.docstrings import prepare_docstring
from sphinx.util.docutils import SphinxDirective
from sphinx.util.nodes import nested_parse_with_titles

PACKAGE = "brilox"

logger = logging.getLogger(__name__)

# Sphinx before 9 splits a signature autodoc hands it at line breaks and puts
# the object's name before each line; Sphinx 9 writes the lines as they are.
_NAME_ADDED_PER_LINE = sphinx.version_info < (9,)

_CALLABLES = ("function", "method", "class", "exception")


class Stub:
    """What one .pyi file declares."""

    def __init__(self, path):
        with open(path, encoding="utf-8") as f:
            tree = ast.parse(f.read(), path)
        self.functions = {}  # name: [FunctionDef, ...] (the overloads, or one)
        self.classes = {}  # name: (ClassDef, {method name: [FunctionDef, ...]})
        self.aliases = {}  # private name: the expression it stands for
        self.imports = {}  # local name: "module.name"
        self.constants = {}  # public module-level name: its value as written
        self._read(tree.body, self.functions, top=True)

    def _read(self, body, functions, top=False):
        # Of two branches of a version test the first is read first, and the
        # first definition of a name stands.
        for node in body:
            if isinstance(node, ast.If):
                self._read(node.body, functions, top)
                self._read(node.orelse, functions, top)
            elif isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
                defs = functions.setdefault(node.name, [])
                if not defs or (_is_overload(node) and _is_overload(defs[0])):
                    defs.append(node)
            elif not top:
                continue
            elif isinstance(node, ast.ClassDef) and node.name not in self.classes:
                methods = {}
                self._read(node.body, methods)
                self.classes[node.name] = (node, methods)
            elif isinstance(node, ast.ImportFrom) and node.module:
                for alias in node.names:
                    self.imports.setdefault(alias.asname or alias.name,
                                            "%s.%s" % (node.module, alias.name))
            elif (isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name)
                  and not node.target.id.startswith("_") and node.value is not None):
                self.constants.setdefault(node.target.id, node.value)
            elif (isinstance(node, ast.Assign) and len(node.targets) == 1
                  and isinstance(node.targets[0], ast.Name)
                  and node.targets[0].id.startswith("_")
                  and not isinstance(node.value, ast.Call)):
                self.aliases.setdefault(node.targets[0].id, node.value)

    def annotation(self, node):
        return ast.unparse(_Names(self).visit(copy.deepcopy(node)))

    def signatures(self, path, known_defaults):
        """[(args, return annotation), ...] for the object at `path` inside
        the module, or None where the stub declares none."""
        if len(path) == 1 and path[0] in self.functions:
            return [self._signature(fn, False, known_defaults)
                    for fn in self.functions[path[0]]]
        node_methods = self.classes.get(path[0])
        if node_methods is None or len(path) > 2:
            return None
        methods = node_methods[1]
        if len(path) == 1:
            for constructor in ("__new__", "__init__"):
                if constructor in methods:
                    return [(self._signature(fn, True, known_defaults)[0], "")
                            for fn in methods[constructor]]
            return None
        if path[1] not in methods:
            return None
        return [self._signature(fn, not _has_decorator(fn, "staticmethod"), known_defaults)
                for fn in methods[path[1]]]

    def _signature(self, fn, drop_first, known_defaults):
        a = fn.args
        positional = a.posonlyargs + a.args
        defaults = [None] * (len(positional) - len(a.defaults)) + list(a.defaults)
        parts = []
        for i, (arg, default) in enumerate(zip(positional, defaults)):
            if not (i == 0 and drop_first):
                parts.append(self._parameter(arg, default, known_defaults))
            if i == len(a.posonlyargs) - 1 and parts:
                parts.append("/")
        if a.vararg:
            parts.append("*" + self._parameter(a.vararg, None, known_defaults))
        elif a.kwonlyargs:
            parts.append("*")
        for arg, default in zip(a.kwonlyargs, a.kw_defaults):
            parts.append(self._parameter(arg, default, known_defaults))
        if a.kwarg:
            parts.append("**" + self._parameter(a.kwarg, None, known_defaults))
        returns = self.annotation(fn.returns) if fn.returns is not None else ""
        return "(%s)" % ", ".join(parts), returns

    def _parameter(self, arg, default, known_defaults):
        text = arg.arg
        if arg.annotation is not None:
            text += ": " + self.annotation(arg.annotation)
        if default is not None:
            if isinstance(default, ast.Constant) and default.value is Ellipsis:
                value = known_defaults.get(arg.arg, "...")
            else:
                value = ast.unparse(default)
            text += (" = " if arg.annotation is not None else "=") + value
        return text

    def private_classes(self):
        return {name for name in self.classes if name.startswith("_")}


class _Names(ast.NodeTransformer):
    """Writes a stub's private aliases out and qualifies imported names."""

    def __init__(self, stub, depth=0):
        self.stub = stub
        self.depth = depth

    def visit_Name(self, node):
        if node.id in self.stub.aliases and self.depth < 20:
            alias = copy.deepcopy(self.stub.aliases[node.id])
            return _Names(self.stub, self.depth + 1).visit(alias)
        origin = self.stub.imports.get(node.id)
        if origin is None:
            return node
        module, _, name = origin.rpartition(".")
        if module in ("typing", "typing_extensions") and name in typing.__all__:
            return ast.Name(id=name, ctx=node.ctx)  # Sphinx knows typing's names
        return ast.Name(id=origin, ctx=node.ctx)

    def visit_Constant(self, node):
        if not isinstance(node.value, str):
            return node
        try:  # a forward reference
            expression = ast.parse(node.value, mode="eval").body
        except SyntaxError:
            return node
        return self.visit(expression)

    def visit_Subscript(self, node):
        if isinstance(node.value, ast.Name) and node.value.id == "Literal":
            return node
        return self.generic_visit(node)


def _has_decorator(fn, name):
    return any((isinstance(d, ast.Name) and d.id == name)
               or (isinstance(d, ast.Attribute) and d.attr == name)
               for d in fn.decorator_list)


def _is_overload(fn):
    return _has_decorator(fn, "overload")


_stubs = {}


def stub_for(module):
    """The Stub of a native module, or None for a module that is not native
    or has no stub beside it."""
    path = getattr(module, "__file__", None) or ""
    for suffix in importlib.machinery.EXTENSION_SUFFIXES:
        if path.endswith(suffix):
            stub = path[: -len(suffix)] + ".pyi"
            if not os.path.isfile(stub):
                return None
            key = (stub, os.stat(stub).st_mtime_ns)
            if key not in _stubs:
                _stubs[key] = Stub(stub)
            return _stubs[key]
    return None


def _lookup(fullname):
    """(stub, path inside the module) for the native object `fullname`."""
    parts = fullname.split(".")
    for i in range(len(parts) - 1, 0, -1):
        module = sys.modules.get(".".join(parts[:i]))
        if module is not None:
            stub = stub_for(module)
            return (stub, parts[i:]) if stub is not None else None
    return None


def _split_top_level(text):
    items, depth, start = [], 0, 0
    for i, char in enumerate(text):
        if char in "([{":
            depth += 1
        elif char in ")]}":
            depth -= 1
        elif char == "," and depth == 0:
            items.append(text[start:i])
            start = i + 1
    items.append(text[start:])
    return items


def known_defaults(args):
    """{name: default} from a signature's argument list as autodoc gives it,
    from a __text_signature__ or a docstring's first line."""
    if not args or not args.startswith("("):
        return {}
    depth = 0
    for end, char in enumerate(args):
        depth += char in "([{"
        depth -= char in ")]}"
        if depth == 0:
            break
    defaults = {}
    for item in _split_top_level(args[1:end]):
        match = re.match(r"\s*(\w+)\s*(?::[^=]*)?=\s*(.+?)\s*$", item, re.S)
        if match:
            defaults[match.group(1)] = match.group(2)
    return defaults


def stub_signatures(fullname, found_args):
    found = _lookup(fullname)
    if found is None:
        return None
    stub, path = found
    return stub.signatures(path, known_defaults(found_args))


def _joined(signatures, prefix):
    lines = [args + (" -> " + returns if returns else "") for args, returns in signatures]
    return "\n".join(lines[:1] + [prefix + line for line in lines[1:]])


def process_signature(app, what, name, obj, options, signature, return_annotation):
    if what not in _CALLABLES:
        return None
    found = _lookup(name)
    if found is None:
        return None
    stub, path = found
    signatures = stub.signatures(path, known_defaults(signature))
    if not signatures:
        if what in ("function", "method"):
            logger.warning("%s is not in its module's stub", name, type="stubsigs")
        return None
    if signature is None:
        # Sphinx 9 cannot take a signature for an object it found none for.
        logger.warning("%s has neither a __text_signature__ nor a signature as its "
                       "docstring's first line, to put its stub's signature in place of",
                       name, type="stubsigs")
        return None
    prefix = "" if _NAME_ADDED_PER_LINE else ".".join(path)
    return _joined(signatures, prefix), ""


def process_docstring(app, what, name, obj, options, lines):
    # The rest of a signature that a docstring wraps onto a second line.
    if what in _CALLABLES and stub_signatures(name, None):
        while lines and lines[0].lstrip().startswith("->"):
            del lines[0]


def drop_docstring_signatures(app, doctree):
    """Keeps the stub's signatures of an object, and drops the signatures that
    autodoc read off further lines of its docstring, after them."""
    for desc in doctree.findall(addnodes.desc):
        if desc.get("domain") != "py" or desc.get("objtype") not in _CALLABLES:
            continue
        signodes = [child for child in desc.children
                    if isinstance(child, addnodes.desc_signature)]
        if len(signodes) < 2 or not signodes[0].get("module"):
            continue
        signatures = stub_signatures(
            "%s.%s" % (signodes[0]["module"], signodes[0].get("fullname", "")), None)
        if signatures:
            for extra in signodes[len(signatures):]:
                desc.remove(extra)


def _without_signature_lines(lines, name):
    lines = list(lines)
    while lines and re.match(r"\s*%s\s*\(" % re.escape(name), lines[0]):
        del lines[0]
    while lines and (not lines[0].strip() or lines[0].lstrip().startswith("->")):
        del lines[0]
    return lines


class NativeClass(SphinxDirective):
    """``.. nativeclass:: module.Class``: a native class, its constructor's
    signature and its methods from the stub, its text from its docstring (or
    from the stub, for a class Python code never sees)."""

    required_arguments = 1

    def run(self):
        modname, _, classname = self.arguments[0].rpartition(".")
        module = importlib.import_module(modname)
        stub = stub_for(module)
        if stub is None or classname not in stub.classes:
            raise self.error("%s declares no class %s" % (modname, classname))
        node, methods = stub.classes[classname]
        cls = getattr(module, classname, None)
        try:
            runtime = str(inspect.signature(cls)) if cls is not None else None
        except (TypeError, ValueError):
            runtime = None
        signatures = stub.signatures([classname], known_defaults(runtime)) or [("", "")]
        doc = (cls.__doc__ if cls is not None else None) or ast.get_docstring(node) or ""
        header = ".. py:class:: "
        lines = [header + classname + _joined(signatures, classname).replace(
                     "\n", "\n" + " " * len(header)),
                 "   :module: " + modname, ""]
        lines += ["   " + line if line else ""
                  for line in _without_signature_lines(prepare_docstring(doc), classname)]
        for method in methods:
            if not method.startswith("_") and hasattr(cls, method):
                lines += ["", "   .. automethod:: %s.%s.%s" % (modname, classname, method)]
        source = "<nativeclass %s>" % self.arguments[0]
        content = StringList([line for text in lines for line in text.split("\n")],
                             source=source)
        holder = nodes.Element()
        nested_parse_with_titles(self.state, content, holder)
        return holder.children


class NativeConstants(SphinxDirective):
    """``.. nativeconstants:: module``: the constants that a native module's
    stub declares, with their values, written as the stub writes them."""

    required_arguments = 1

    def run(self):
        module = importlib.import_module(self.arguments[0])
        stub = stub_for(module)
        if stub is None:
            raise self.error("%s is no native module with a stub" % self.arguments[0])
        lines = []
        for name, written in stub.constants.items():
            if not hasattr(module, name):
                continue
            value = getattr(module, name)
            try:
                text = ast.unparse(written) if ast.literal_eval(written) == value else repr(value)
            except ValueError:
                text = repr(value)
            lines += [".. py:data:: " + name, "   :module: " + module.__name__,
                      "   :value: " + text, "   :no-contents-entry:", ""]
        holder = nodes.Element()
        nested_parse_with_titles(
            self.state, StringList(lines, source="<nativeconstants %s>" % module.__name__),
            holder)
        return holder.children


class CommandHelp(SphinxDirective):
    """``.. command-help:: module``: the help that ``python -m module --help``
    prints, 80 columns wide."""

    required_arguments = 1

    def run(self):
        command = [sys.executable, "-m", self.arguments[0], "--help"]
        try:
            result = subprocess.run(command, capture_output=True, text=True, timeout=60,
                                    env=dict(os.environ, COLUMNS="80"), check=False)
        except subprocess.TimeoutExpired:
            raise self.error("%s took over 60 s" % " ".join(command)) from None
        if result.returncode != 0:
            raise self.error("%s exited with status %d:\n%s"
                             % (" ".join(command), result.returncode, result.stderr))
        block = nodes.literal_block(result.stdout, result.stdout)
        block["language"] = "text"
        return [block]


def _is_standard_library(target):
    # The name itself may be newer than the interpreter that builds the docs
    # (collections.abc.Buffer is 3.12's), so only its module is checked.
    module = target.rpartition(".")[0]
    if module.split(".")[0] not in getattr(sys, "stdlib_module_names", ()):
        return False
    try:
        importlib.import_module(module)
    except ImportError:
        return False
    return True


def keep_unlinked(app, env, node, contnode):
    """Shows a standard-library name, or a private helper type that a stub
    declares, as it is, without a link."""
    if node.get("refdomain") != "py":
        return None
    target = node.get("reftarget", "")
    if _is_standard_library(target):
        return contnode
    module = sys.modules.get(node.get("py:module") or "")
    stub = stub_for(module) if module is not None else None
    if stub is not None and target in stub.private_classes():
        return contnode
    return None


def import_native_modules(app):
    package = importlib.import_module(PACKAGE)
    for folder in package.__path__:
        for entry in sorted(os.listdir(folder)):
            name, suffix = os.path.splitext(entry)
            if suffix != ".pyi":
                continue
            modname = "%s.%s" % (PACKAGE, name)
            found = importlib.util.find_spec(modname)
            if found is not None and found.origin and found.origin.endswith(
                    tuple(importlib.machinery.EXTENSION_SUFFIXES)):
                importlib.import_module(modname)


def setup(app):
    app.setup_extension("sphinx.ext.autodoc")
    app.connect("builder-inited", import_native_modules)
    app.connect("autodoc-process-signature", process_signature)
    app.connect("autodoc-process-docstring", process_docstring)
    app.connect("doctree-read", drop_docstring_signatures)
    app.connect("missing-reference", keep_unlinked)
    app.add_directive("nativeclass", NativeClass)
    app.add_directive("nativeconstants", NativeConstants)
    app.add_directive("command-help", CommandHelp)
    return {"version": "1", "parallel_read_safe": True, "parallel_write_safe": True}
