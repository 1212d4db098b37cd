"""The test suite on every installed CPython from 3.8 to 3.13, against
classic SDL 1.2 and against sdl12-compat, and a table of the results.  The
oldest and the newest interpreter run the whole suite; those between run
the tests of the native modules, and leave the player's and the engine's,
which reach the native modules through the same Python code everywhere
("-- every": the whole suite on each).

    nox                   every interpreter and SDL pair, then the table
    nox -s table          the table of the latest results
    nox -l                the sessions

The interpreters are the newest patch release of each version that pyenv
has (without pyenv, the interpreter that runs nox).  Each gets one build, in
build/matrix/<version>/: a virtual environment with the build and test
requirements, and the package built there with -Werror.  A build with
warnings is made again without -Werror, so that the suite still runs on it,
and its sessions fail.  Both SDL sessions of an interpreter run on its one
install: the SDL build is chosen at run time, by the dynamic linker's
search path alone.  Each session leaves its pytest output (<sdl>.log), its
JUnit XML (<sdl>.xml) and a record of the run (<sdl>.json) beside the build.
"""

import json
import os
import pathlib
import re
import subprocess
import sys
import time
import xml.etree.ElementTree as ElementTree

import nox
import nox.command

ROOT = pathlib.Path(__file__).resolve().parent
MATRIX = ROOT / "build" / "matrix"
VERSIONS = ["3.%d" % minor for minor in range(8, 14)]
SDL_BUILDS = ["classic", "sdl12-compat"]
REQUIREMENTS = ["pip", "scikit-build-core>=0.10"]
# A test stuck in native code is stopped well before the suite's own deadline:
# a hang on one SDL build should not hold up the others.
TEST_TIMEOUT = 120
# How many times a run that died is taken up again.
MAX_RESUMES = 2
# Each suite runs in TEST_JOBS processes (pytest-xdist), the real-time tests
# one after another in one of them (tests/conftest.py).
JOBS = os.environ.get("TEST_JOBS", "4")
# Tests that listen to the sound server in real time: they hang on the SDL
# build, not on the interpreter, so they run once on each SDL build. `make
# test` hears them on classic SDL, so the matrix hears them with the newest
# interpreter on sdl12-compat alone ("-- every": with the oldest on classic
# SDL too), to keep a CI run short.  The real-time tests are marked so by
# tests/conftest.py; the player's sound tests all listen.
LEAVE_REAL_TIME = ["-m", "not real_time"]
LISTENING_FILES = ["tests/test_play_sound.py"]
# Tests that run once a CI run, in `make test` alone: 200 starts of X11
# video against a server that resets after each.
ONCE_TESTS = ["tests/test_display_start.py"]
# The tests of the player and of the engine drive the native modules only
# through Python code that is the same on every interpreter: the interpreters
# between the oldest and the newest leave them out ("-- every": not), and run
# the tests of the native modules, whose C API use is what differs.
PYTHON_LEVEL_FILES = sorted(str(path.relative_to(ROOT)) for path in
                            (ROOT / "tests").glob("test_play_*.py")) + ["tests/test_video.py"]

RUN_BY_MAKE_TEST = "passed in make test"

nox.options.sessions = ["tests"]
nox.options.default_venv_backend = "none"

# What SDL_Linked_Version reports: the SDL library that the loaded modules
# were bound to, whichever file the dynamic linker found.
LINKED_VERSION = """
import ctypes
import brilox.display
class Version(ctypes.Structure):
    _fields_ = [("major", ctypes.c_uint8), ("minor", ctypes.c_uint8), ("patch", ctypes.c_uint8)]
linked = ctypes.CDLL("libSDL-1.2.so.0").SDL_Linked_Version
linked.restype = ctypes.POINTER(Version)
v = linked().contents
print("%d.%d.%d" % (v.major, v.minor, v.patch))
"""


def pyenv_root():
    try:
        return subprocess.run(["pyenv", "root"], capture_output=True, text=True,
                              check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")


def installed_interpreters():
    """{"3.x": path} for the newest patch release of each version that pyenv
    has; without pyenv, the interpreter that runs nox, if it is one of them."""
    releases = []
    for folder in pathlib.Path(pyenv_root(), "versions").glob("3.*"):
        match = re.fullmatch(r"(3\.\d+)\.(\d+)", folder.name)
        python = folder / "bin" / "python"
        if match and match.group(1) in VERSIONS and python.exists():
            releases.append((int(match.group(2)), match.group(1), str(python)))
    found = {version: python for _, version, python in sorted(releases)}
    if not found and "%d.%d" % sys.version_info[:2] in VERSIONS:
        found["%d.%d" % sys.version_info[:2]] = sys.executable
    return {version: found[version] for version in VERSIONS if version in found}


INTERPRETERS = installed_interpreters()
_built = {}


def build(session, version):
    """The interpreter of `version`'s build, made once per nox run, and
    whether it compiled without a warning.  A build with warnings fails
    its sessions, yet is made again without -Werror so that the suite still
    runs on it."""
    if version in _built:
        return _built[version]
    folder = MATRIX / version
    python = str(folder / "venv" / "bin" / "python")
    if not os.path.exists(python):
        session.run(INTERPRETERS[version], "-m", "venv", "--clear", str(folder / "venv"))
    session.run(python, "-m", "pip", "install", "-q", "--upgrade", *REQUIREMENTS)
    install = [python, "-m", "pip", "install", "-q", "--no-build-isolation",
               "-Cbuild-dir=%s" % (folder / "cmake"), ".[test,video]"]
    try:
        session.run(*install, "-Ccmake.define.CMAKE_COMPILE_WARNING_AS_ERROR=ON")
        clean = True
    except nox.command.CommandFailed:
        session.warn("the build on %s failed with -Werror (see above); building it again "
                     "without" % version)
        session.run(*install, "-Ccmake.define.CMAKE_COMPILE_WARNING_AS_ERROR=OFF")
        clean = False
    _built[version] = python, clean
    return _built[version]


def make_test_interpreter():
    """The interpreter that `make test` runs the suite with (the base of the
    project's .venv), or None."""
    python = ROOT / ".venv" / "bin" / "python"
    if not python.exists():
        return None
    found = subprocess.run([str(python), "-c", "import sys; print(sys._base_executable)"],
                           capture_output=True, text=True)
    return os.path.realpath(found.stdout.strip()) if found.returncode == 0 else None


def sdl_environment(session, sdl):
    if sdl == "classic":
        return {}
    folder = session.run(str(ROOT / "scripts" / "fetch-sdl12-compat"), silent=True,
                         external=True).strip().splitlines()[-1]
    outer = os.environ.get("LD_LIBRARY_PATH")
    return {"LD_LIBRARY_PATH": folder + (":" + outer if outer else "")}


def run_pytest(session, python, env, junit, log, deselected, ignored, options):
    """Runs the suite but the `deselected` tests and `ignored` files and
    tests (a test given by its node id, a file by its path), with pytest's
    `options` besides, its output both shown and added to `log`.  Returns
    the exit status (negative for a signal) and the output."""
    command = [python, "-m", "pytest", "-v", "-rfEs", "-p", "no:cacheprovider", "-n", JOBS,
               "--dist", "loadgroup", *options, "--timeout=%d" % TEST_TIMEOUT,
               "--junitxml=%s" % junit, "tests"]
    command += ["--deselect=" + path if "::" in path else "--ignore=" + path
                for path in ignored]
    session.log(" ".join(command) + (" (less %d tests)" % len(deselected) if deselected else ""))
    output = []
    with open(log, "a") as kept, subprocess.Popen(
            command + ["--deselect=" + test for test in deselected], cwd=ROOT,
            env=dict(os.environ, **env), text=True, errors="replace",
            stdout=subprocess.PIPE, stderr=subprocess.STDOUT) as child:
        for line in child.stdout:
            sys.stdout.write(line)
            kept.write(line)
            output.append(line)
        return child.wait(), output


def counts(junit):
    """[passed, failed, skipped] from a JUnit XML report."""
    root = ElementTree.parse(junit).getroot()
    suites = [root] if root.tag == "testsuite" else root.findall("testsuite")
    total = {key: sum(int(s.get(key, 0)) for s in suites)
             for key in ("tests", "failures", "errors", "skipped")}
    failed = total["failures"] + total["errors"]
    return [total["tests"] - failed - total["skipped"], failed, total["skipped"]]


def failures(junit):
    """The tests that failed or erred in a JUnit XML report, by node id."""
    found = []
    for case in ElementTree.parse(junit).getroot().iter("testcase"):
        if case.find("failure") is not None or case.find("error") is not None:
            found.append("%s::%s" % (case.get("classname", "").replace(".", "/") + ".py",
                                     case.get("name")))
    return found


def progress(output):
    """The tests that a run which ended before pytest could write its report
    got through, and the one it was in: [passed, failed, skipped], the
    tests, and the last test started.  A parallel run says only what ended,
    as "[gw0] [ 5%] PASSED tests/...", and no test it was in."""
    tally = {"PASSED": 0, "XPASS": 0, "FAILED": 0, "ERROR": 0, "SKIPPED": 0, "XFAIL": 0}
    tests, last = [], None
    for line in output:
        match = re.match(r"(tests/\S+::\S+) (\w+)?", line)
        ended = re.match(r"\[gw\d+\] \[ *\d+%\] (\w+) (tests/\S+::\S+)", line)
        if ended and ended.group(1) in tally:
            tally[ended.group(1)] += 1
            tests.append(ended.group(2))
        elif match:
            last = match.group(1)
            if match.group(2) in tally:
                tally[match.group(2)] += 1
                tests.append(last)
    return ([tally["PASSED"] + tally["XPASS"], tally["FAILED"] + tally["ERROR"],
             tally["SKIPPED"] + tally["XFAIL"]], tests, last)


def run_suite(session, python, env, folder, sdl, ignored, options):
    """Runs the whole suite.  A run that crashes or hangs (a test past its
    deadline stops the whole run) is taken up again without the tests it got
    through and the one it died in, which counts as failed.  Returns the
    counts, the tests that the runs died in, and the last exit status."""
    tally, died_in, deselected = [0, 0, 0], [], []
    log = folder / (sdl + ".log")
    for attempt in range(1 + MAX_RESUMES):
        junit = folder / ("%s.%d.xml" % (sdl, attempt))
        status, output = run_pytest(session, python, env, junit, log, deselected, ignored,
                                    options)
        if status >= 0 and junit.exists():
            return ([a + b for a, b in zip(tally, counts(junit))], died_in, status,
                    failures(junit))
        done, tests, last = progress(output)
        tally = [a + b for a, b in zip(tally, done)]
        if last is None or last in tests:
            break  # it died outside any test
        tally[1] += 1
        died_in.append(last)
        deselected += tests + [last]
    return tally, died_in, status, []


@nox.session
@nox.parametrize("version", list(INTERPRETERS))
@nox.parametrize("sdl", SDL_BUILDS)
def tests(session, version, sdl):
    """The whole suite on one interpreter and one SDL build."""
    session.notify("table")
    folder = MATRIX / version
    folder.mkdir(parents=True, exist_ok=True)
    for stale in folder.glob(sdl + ".*"):
        stale.unlink()
    # sdl12-compat differs from classic SDL in how SDL shows video and plays
    # sound, not by interpreter: it runs with the oldest and the newest
    # interpreter, classic SDL with every one, to keep CI within its time.
    # "-- every" runs the pairs between too.
    ends = (list(INTERPRETERS)[0], list(INTERPRETERS)[-1])
    if sdl != "classic" and version not in ends and "every" not in session.posargs:
        session.skip("sdl12-compat runs with the oldest and the newest interpreter only")
    record = folder / (sdl + ".json")
    result = {"outcome": "not built", "status": None}
    try:
        python, clean = build(session, version)
        result["build"] = "clean" if clean else "warnings"
        env = sdl_environment(session, sdl)
        result["interpreter"] = session.run(
            python, "-c", "import platform; print(platform.python_version())",
            silent=True, log=False).strip()
        result["linked"] = session.run(python, "-c", LINKED_VERSION, env=env, silent=True,
                                       log=False).strip()
        # "-- after-make-test" (CI): `make test` has just run the whole suite
        # with this interpreter on classic SDL, so that pair is only built,
        # to see that it builds free of warnings.
        if ("after-make-test" in session.posargs and sdl == "classic"
                and os.path.realpath(INTERPRETERS[version]) == make_test_interpreter()):
            result["outcome"] = RUN_BY_MAKE_TEST
        else:
            start = time.monotonic()
            listening = ((ends[-1], "sdl12-compat"),) + (
                ((ends[0], "classic"),) if "every" in session.posargs else ())
            ignored = ONCE_TESTS + ([] if (version, sdl) in listening else LISTENING_FILES)
            if version not in ends and "every" not in session.posargs:
                ignored += [f for f in PYTHON_LEVEL_FILES if f not in ignored]
            (result["counts"], result["died_in"], result["status"],
             result["failed_tests"]) = run_suite(
                session, python, env, folder, sdl, ignored,
                [] if (version, sdl) in listening else LEAVE_REAL_TIME)
            result["seconds"] = round(time.monotonic() - start)
            died_in = [test.split("::")[-1] for test in result["died_in"]]
            result["outcome"] = ("died in %d: %s" % (len(died_in), ", ".join(died_in))
                                 if died_in else "passed" if result["status"] == 0 else "failed")
    finally:
        record.write_text(json.dumps(result))
    if result["outcome"] not in ("passed", RUN_BY_MAKE_TEST):
        session.error("the suite %s (exit status %s)" % (result["outcome"], result["status"]))
    if not clean:
        session.error("the build is not free of warnings")


@nox.session
def table(session):
    """The latest result of every interpreter and SDL pair."""
    header = ["interpreter", "build", "SDL build", "SDL linked", "passed", "failed", "skipped",
              "seconds", "outcome"]
    rows = []
    for version in INTERPRETERS:
        for sdl in SDL_BUILDS:
            record = MATRIX / version / (sdl + ".json")
            result = json.loads(record.read_text()) if record.exists() else {
                "outcome": "not run"}
            rows.append([result.get("interpreter", version), result.get("build", ""), sdl,
                         result.get("linked", ""),
                         *(str(n) for n in result.get("counts", ["", "", ""])),
                         str(result.get("seconds", "")), result["outcome"]])
    widths = [max(len(row[i]) for row in [header] + rows) for i in range(len(header))]
    print()
    for row in [header, ["-" * w for w in widths]] + rows:
        print("| " + " | ".join(cell.ljust(w) for cell, w in zip(row, widths)) + " |")
    print()
    # The tests that failed, under the table, so that the end of a CI log
    # names them.
    for version in INTERPRETERS:
        for sdl in SDL_BUILDS:
            record = MATRIX / version / (sdl + ".json")
            result = json.loads(record.read_text()) if record.exists() else {}
            for test in result.get("failed_tests", [])[:10] + result.get("died_in", []):
                print("%s %s: %s" % (version, sdl, test))
    print(flush=True)
