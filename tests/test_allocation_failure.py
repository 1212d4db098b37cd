"""Allocation failure, one allocation at a time, in every module entry and
in the operations that allocate: Overlay creation and display, reading
events, the lock
registry's lists and weak references, lifetime locks, buffer views and
drawing on the display's Surface.

_testcapi.set_nomemory(n, n + 1) makes the n-th allocation from then on
fail.  Each must end in MemoryError or in success, and leave no leaked
reference and no half-made lock behind.  The work runs in child processes
(nomemory_child.py), so a crash fails one test instead of the whole run; a
crash of the interpreter's own, after a module entry returned, is a skip
that names it.
get_pressed has its own sweep in test_key_state.
"""

import os
import pathlib
import platform
import re
import shutil
import subprocess
import sys

import pytest

pytest.importorskip("_testcapi")

CHILD = pathlib.Path(__file__).resolve().parent / "nomemory_child.py"
# A fixed hash seed, so that a child run again makes the same allocations.
ENV = dict(os.environ, SDL_VIDEODRIVER="dummy", PYTHONHASHSEED="0")


def outcomes(lines):
    """{n: "ok" or "MemoryError"} from the child's lines, which end in "done"."""
    assert lines and lines[-1] == "done", lines[-20:]
    return {int(n): outcome for n, outcome in (line.split() for line in lines[:-1])}


def check(done):
    assert done.returncode == 0, (done.stdout[-2000:], done.stderr[-6000:])
    return outcomes(done.stdout.splitlines())


# Where a function's result is once it has returned, for gdb.
RESULT_REGISTER = {"x86_64": "$rax", "aarch64": "$x0"}.get(platform.machine(), "$rax")


def interpreter_fault(args, module):
    """Runs a child that died of a signal again under gdb.  Returns where the
    interpreter crashed when it did so inside its import machinery after
    PyInit_<module> had returned a module, with no frame of ours on the
    stack, or inside the interpreter's own making of a struct sequence type
    that the entry asked for; fails with what gdb saw otherwise."""
    gdb = shutil.which("gdb")
    assert gdb, "a child crashed, and gdb is needed to tell where: %s" % args
    # The crash may not come again at once: what sets it off can hang on
    # the collector's timing.
    for _ in range(3):
        seen = subprocess.run(
            [gdb, "-batch", "-nx", "-ex", "unset environment LINES",
             "-ex", "unset environment COLUMNS", "-ex", "set breakpoint pending on",
             "-ex", "break PyInit_" + module, "-ex", "run", "-ex", "finish", "-ex", "bt",
             "-ex", 'printf "<returned %%d>\\n", %s != 0' % RESULT_REGISTER,
             # On to the crash, past any later import of the module.
             "-ex", "delete", "-ex", "continue", "-ex", "bt", "--args", *args],
            env=ENV, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True,
            timeout=300).stdout
        if "Program received signal" in seen:
            break
    returned = re.search(r"<returned 1>", seen)
    failed = re.search(r"<returned 0>", seen)
    crashed = seen.find("Program received signal")
    stack = [line for line in seen[max(crashed, 0):].splitlines() if line.startswith("#")]
    names = [re.match(r"#\d+\s+(?:0x\w+ in )?(\S+) \(", line) for line in stack]
    names = [name.group(1) if name else line for name, line in zip(names, stack)]
    ours = [line for line in stack if "brilox/" in line or "PyInit_" in line]
    entry = "PyInit_" + module
    if crashed >= 0 and (not returned or crashed < returned.start()) and entry in names:
        # Crashed inside the entry.  Allowed only where the interpreter
        # itself fails under allocation failure (CPython 3.13.0): while
        # making a struct sequence type from the entry's static description,
        # or while PyType_Ready fills a type's dict, where
        # PyDict_SetDefaultRef reports success for an insertion that ran out
        # of memory and the next insertion reads the entry it never wrote.
        inside = names[:names.index(entry)]
        assert ((any(n.endswith("PyStructSequence_NewType") for n in inside)
                 or platform.python_version() == "3.13.0"
                 and "PyDict_SetDefaultRef" in inside and "type_ready" in inside)
                and not any("brilox/" in line for line in stack[:len(inside)])), seen[-6000:]
        return "CPython %s crashed in %s, called by %s" % (
            platform.python_version(), " < ".join(inside[:6]), entry)
    if failed and platform.python_version() == "3.13.0" and (
            crashed < 0 or failed.end() < crashed and "subtract_refs" in names and not ours):
        # The entry failed cleanly (PyStructSequence_NewType ran out of
        # memory and returned null), and CPython 3.13.0's garbage
        # collector later met the half-made type it left behind (or, as
        # the collector ran at other times, not under gdb).
        return "CPython 3.13.0 crashed in its garbage collector after PyInit_%s failed" % module
    assert (returned and returned.end() < crashed and not ours
            and "_imp_create_dynamic" in names), seen[-6000:]
    inside = names[:names.index("_imp_create_dynamic")]
    return "CPython %s crashed in %s, after PyInit_%s returned" % (
        platform.python_version(), " < ".join(n for n in inside if not n.startswith("_imp_")),
        module)


# Under the sanitizers the display's entry alone takes 75 s on a quiet
# machine, a child per allocation: a busy one may take three times that.
@pytest.mark.timeout(600)
@pytest.mark.parametrize("module", ["overlay", "key", "pinhold", "display", "sound",
                                    "media._subtitles", "surface"])
def test_each_allocation_of_a_module_entry_may_fail(module):
    # A fresh process per n, forked from one that has done the imports
    # (an entry runs once per process), until ten in a row succeed.
    done = subprocess.run([sys.executable, str(CHILD), "entries", module], env=ENV,
                          capture_output=True, text=True, timeout=500)
    assert done.returncode == 0, (done.stdout[-2000:], done.stderr[-6000:])
    lines = done.stdout.splitlines()
    assert lines and lines[-1].startswith("all "), (lines[-20:], done.stderr[-6000:])
    n = int(lines[-1].split()[1])
    results, faults = {}, {}
    for line in lines[:-1]:
        if line == "done":
            continue
        k, outcome = line.split(None, 1)
        if outcome.startswith("signal"):
            # Run again on its own, under gdb, to tell whose fault it was.
            faults[int(k)] = interpreter_fault(
                [sys.executable, str(CHILD), "entry", module, k], module.split(".")[-1])
            outcome = "interpreter fault"
        results[int(k)] = outcome
    assert list(results) == list(range(n))
    assert "MemoryError" in results.values()
    if faults:
        pytest.skip("a fault of the interpreter's, not ours, under allocation failure: %s"
                    % "; ".join("%s (allocation %s)" % (reason, ", ".join(
                        str(k) for k in faults if faults[k] == reason))
                        for reason in sorted(set(faults.values()))))


SWEEPS = ["overlay_created", "subclass_created", "display_tuple", "display_list",
          "display_text", "display_sequence", "display_refused", "display_buffers",
          "display_no_bytes", "display_none", "events_polled",
          "lock_new_list", "lock_growing_list", "lock_itself", "lock_subsurface",
          "lock_subsurface_growing", "lifetime_lock", "lifetime_lock_growing",
          "lifetime_lock_subsurface", "lifetime_lock_beside_own",
          "lifetime_lock_subsurface_beside_own", "lock_view", "lock_view_growing",
          "surface_drawn", "sound_open", "sound_open_audio_up",
          "sound_channel", "subtitles_blend"]


@pytest.mark.parametrize("sweep", SWEEPS)
def test_each_allocation_of_an_operation_may_fail(sweep):
    done = subprocess.run([sys.executable, str(CHILD), "sweep", sweep], env=ENV,
                          capture_output=True, text=True, timeout=600)
    results = check(done)
    assert "MemoryError" in results.values()
    assert list(results.values())[-1] == "ok"
