"""Sphinx configuration of brilox's API reference (make docs)."""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "_ext"))

import brilox  # noqa: E402

project = "brilox"
author = "The brilox core developers"
copyright = "2026, The brilox core developers"
version = release = brilox.__version__

# stubsigs: signatures of the native callables from their type stubs.
extensions = ["sphinx.ext.autodoc", "stubsigs"]

autodoc_member_order = "groupwise"
html_theme = "alabaster"
