"""Allocation failure, one allocation at a time, in every module entry and
in the operations that allocate: Overlay creation and display, the lock
registry's lists and weak references, and lifetime locks.

_testcapi.set_nomemory(n, n + 1) makes the n-th allocation from then on
fail.  Each must end in MemoryError or in success, and leave no leaked
reference and no half-made lock behind.  The work runs in child processes
(nomemory_child.py), so a crash fails one test instead of the whole run.
get_pressed has its own sweep in test_key_state.
"""

import os
import pathlib
import subprocess
import sys

import pytest

pytest.importorskip("_testcapi")

CHILD = pathlib.Path(__file__).resolve().parent / "nomemory_child.py"
ENV = dict(os.environ, SDL_VIDEODRIVER="dummy")


def outcomes(lines):
    """{n: "ok" or "MemoryError"} from the child's lines, which end in "done"."""
    assert lines and lines[-1] == "done", lines[-20:]
    return {int(n): outcome for n, outcome in (line.split() for line in lines[:-1])}


def check(done):
    assert done.returncode == 0, (done.stdout[-2000:], done.stderr[-6000:])
    return outcomes(done.stdout.splitlines())


@pytest.mark.parametrize("module", ["overlay", "key", "pinhold"])
def test_each_allocation_of_a_module_entry_may_fail(module):
    # One fresh process per n: an entry runs once per process.  Two at a
    # time, until ten in a row succeed.
    results, n, streak = {}, 0, 0
    while streak < 10:
        batch = [subprocess.Popen([sys.executable, str(CHILD), "entry", module, str(k)],
                                  env=ENV, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                  text=True) for k in (n, n + 1)]
        for k, child in zip((n, n + 1), batch):
            stdout, stderr = child.communicate(timeout=300)
            done = subprocess.CompletedProcess(child.args, child.returncode, stdout, stderr)
            results.update(check(done))
            streak = streak + 1 if results[k] == "ok" else 0
        n += 2
    assert list(results) == list(range(n))
    assert "MemoryError" in results.values()


SWEEPS = ["overlay_created", "subclass_created", "display_tuple", "display_list",
          "display_text", "display_sequence", "display_refused", "display_none",
          "lock_new_list", "lock_growing_list", "lock_itself", "lock_subsurface",
          "lock_subsurface_growing", "lifetime_lock", "lifetime_lock_growing",
          "lifetime_lock_subsurface", "lifetime_lock_beside_own",
          "lifetime_lock_subsurface_beside_own"]


@pytest.mark.parametrize("sweep", SWEEPS)
def test_each_allocation_of_an_operation_may_fail(sweep):
    done = subprocess.run([sys.executable, str(CHILD), "sweep", sweep], env=ENV,
                          capture_output=True, text=True, timeout=600)
    results = check(done)
    assert "MemoryError" in results.values()
    assert list(results.values())[-1] == "ok"
