"""Runs every benchmark in bench/ and prints one table.

Each ``bench_*.py`` module has a ``run()`` that returns rows of
``(figure, value, baseline, baseline_value, target)``: the value measured,
the baseline measured in the same run, and the target for their ratio as
text (for example ``"<= 1.10x"``).  Values are in the unit the module
states in the figure's name.  Only ratios are claims: the absolute values
depend on the machine.
"""

import importlib
import os
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tests")]
os.environ.setdefault("SDL_VIDEODRIVER", "dummy")


def main(argv):
    # The SDL double goes in before any brilox module binds to SDL.
    from support import sdl
    sdl.load_double()

    names = argv or sorted(p.stem for p in HERE.glob("bench_*.py"))
    rows = []
    for name in names:
        module = importlib.import_module(name)
        rows.extend(module.run())

    header = ("figure", "value", "baseline", "baseline value", "ratio", "target")
    table = [header] + [
        (figure, "%.4g" % value, base, "%.4g" % base_value,
         "%.2fx" % (value / base_value) if base_value else "-", target)
        for figure, value, base, base_value, target in rows]
    widths = [max(len(r[i]) for r in table) for i in range(len(header))]
    lines = ["| " + " | ".join(c.ljust(w) for c, w in zip(r, widths)) + " |" for r in table]
    lines.insert(1, "|" + "|".join("-" * (w + 2) for w in widths) + "|")
    print("\n".join(lines))


if __name__ == "__main__":
    main(sys.argv[1:])
