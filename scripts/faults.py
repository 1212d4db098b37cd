"""The faults scripts/plant-faults plants, one at a time: each replaces the
text `old` in `file` (a path in the installed package, or with `tree` True
in this checkout, for the native rooms the tests build from source) with
`new`, and names the tests of its room that should fail on it."""

from typing import NamedTuple, Tuple


class Fault(NamedTuple):
    name: str
    what: str
    file: str
    old: str
    new: str
    tests: Tuple[str, ...]
    tree: bool = False


FAULTS = []
