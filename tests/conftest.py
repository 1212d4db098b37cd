import faulthandler
import os

# SDL reads its video driver when the video subsystem starts.
os.environ.setdefault("SDL_VIDEODRIVER", "dummy")

from support import sdl  # noqa: E402
from support.xserver import x_display  # noqa: E402,F401  (a fixture)

# Interposes the SDL test double before any brilox module binds to SDL.
DOUBLE = sdl.load_double()

import pytest  # noqa: E402
from _pytest.runner import runtestprotocol  # noqa: E402
from sanitizer import import_leaking  # noqa: E402

import_leaking("numpy")

import brilox.base  # noqa: E402
import brilox.display  # noqa: E402


def _uncaptured_stderr(config):
    """The run's own stderr, which pytest's capture keeps aside (when it
    captures at the descriptor level), so the stacks are seen."""
    capture = config.pluginmanager.getplugin("capturemanager")
    saved = getattr(getattr(getattr(capture, "_global_capturing", None), "err", None),
                    "targetfd_save", None)
    return saved if isinstance(saved, int) else 2


# The native modules' own calls take milliseconds: a test of them that runs
# far longer is stuck (SDL may spin inside a call), and is given a deadline
# of its own rather than the suite's.
NATIVE_DEADLINE = 30
NATIVE_FILES = ("test_api_table_import.py", "test_display_quit_request.py", "test_key_state.py",
                "test_lifetime_lock.py", "test_lock_", "test_overlay_", "test_refleaks.py",
                "test_sound.py")
# The tests that play media through the decoding thread against the clock.
PLAYING_FILES = ("test_video.py", "test_damage.py", "test_play_")
# How long past its deadline a test stuck in native code ends the run.
STUCK_GRACE = 10

# Tests that hold what the sound server plays against the clock, or against
# what the X server shows, as it happens.  A parallel run (pytest -n) gives
# them all to one of its processes, one after another: each holds under
# load, and the other process's tests are load enough; two of them at once,
# each with a watcher or a listener reading every few milliseconds, are
# more than two cores.  `-m "not real_time"` leaves them out (the sanitizer
# and wheel runs do: make test and the matrix hear them).
REAL_TIME = (
    "test_play_sound.py::test_picture_and_sound_keep_together",
    "test_play_sound.py::test_sound_keys_change_what_plays",
    "test_play_sound.py::test_the_first_frame_is_up_at_once_while_the_sound_server_wakes",
    "test_play_input_errors.py::test_bad_media_is_said_at_once_while_the_sound_server_sleeps",
    "test_video.py::test_the_picture_keeps_to_the_sound",
    "test_video.py::test_speed_changes_while_playing_leave_no_gap",
    "test_damage.py::test_the_sound_is_heard_on_both_sides_of_the_damage",
    "test_play_sound.py::test_an_a_b_loop_plays_its_span_of_sound_again_and_again",
    "test_sound.py::test_channels_are_heard_as_their_sum_which_saturates",
    "test_sound.py::test_a_channels_volume_ramps_to_each_new_value",
    "test_sound.py::test_a_flushed_channel_stops_at_once_and_bad_calls_disturb_no_other",
    "test_sound.py::test_sounds_loop_on_eight_channels_with_no_python_work",
)


def pytest_addoption(parser):
    parser.addoption("--shard", metavar="K/N",
                     help="run every Nth test from the Kth (from 0): N processes run the "
                          "suite between them, each its own process to the end (the "
                          "sanitizers' leak check at its exit included), as pytest -n's "
                          "are not")


def pytest_configure(config):
    config.addinivalue_line("markers", "real_time: holds sound or picture against the clock "
                                       "as it plays (tests/conftest.py's REAL_TIME)")
    config.addinivalue_line("markers", "rerun(times): runs a test that fails up to `times` "
                                       "more times; it fails if every run does")


@pytest.hookimpl(tryfirst=True)
def pytest_runtest_protocol(item, nextitem):
    """Runs a test marked `rerun` again where it fails, up to its times.
    Each run is a whole one, torn down as far as the next test needs, so
    that every fixture set up for it (a sound or X server of the module)
    is ended by its own teardown before it is made again: none outlives its
    run (a plugin that drops pytest's record of what is set up would
    leave them running)."""
    marker = item.get_closest_marker("rerun")
    if marker is None:
        return None
    times = marker.kwargs.get("times", 2)
    item.ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
    for attempt in range(times + 1):
        reports = runtestprotocol(item, nextitem=nextitem, log=False)
        failed = [report for report in reports if report.failed]
        if failed and attempt < times:
            # One line for the run that failed; the test is reported once.
            failed[0].outcome = "rerun"
            item.ihook.pytest_runtest_logreport(report=failed[0])
            continue
        for report in reports:
            item.ihook.pytest_runtest_logreport(report=report)
        break
    item.ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
    return True


def pytest_report_teststatus(report):
    if report.outcome == "rerun":
        return "rerun", "R", ("RERUN", {"yellow": True})
    return None


def pytest_terminal_summary(terminalreporter):
    """Names each test that was run again, and where its failed run failed
    (the first line of its message, long enough for what a player said),
    so that a run's log tells which passed only on a later try, and why."""
    reruns = terminalreporter.stats.get("rerun", [])
    if reruns:
        terminalreporter.section("run again")
        for report in reruns:
            crash = getattr(report.longrepr, "reprcrash", None)
            why = crash.message.splitlines()[0][:1000] if crash and crash.message else "failed"
            terminalreporter.line("%s (%s: %s)" % (report.nodeid, report.when, why))


def pytest_collection_modifyitems(config, items):
    shard = config.getoption("shard")
    if shard:
        k, n = map(int, shard.split("/"))
        config.hook.pytest_deselected(items=[t for i, t in enumerate(items) if i % n != k])
        items[:] = items[k::n]
    for item in items:
        name = os.path.basename(str(item.fspath))
        if item.get_closest_marker("timeout") is None and name.startswith(NATIVE_FILES):
            item.add_marker(pytest.mark.timeout(NATIVE_DEADLINE))
        if (name + "::" + item.originalname).endswith(REAL_TIME):
            item.add_marker(pytest.mark.real_time)
            item.add_marker(pytest.mark.xdist_group("real_time"))
        if (item.get_closest_marker("real_time") or "sound_server" in item.fixturenames
                or name.startswith(PLAYING_FILES)):
            # What the sound server plays, as it happens, on a machine that
            # is now and then kept from running for 80 ms or more even when
            # idle (a virtual machine's host), and whose server then plays
            # silence and may lose what it was sent: where what a test
            # measures of its own does not cover a hold-up, a second and
            # third run are its window.  So too for the tests that play
            # through the decoding thread against the clock, which a busy
            # machine can starve for longer than their bounds.  A fault
            # fails every run.
            item.add_marker(pytest.mark.rerun(times=2))



@pytest.fixture(autouse=True)
def _hard_deadline(request):
    """Ends the whole run, with every thread's stack, when a test outlives
    its pytest-timeout deadline by STUCK_GRACE seconds.  pytest-timeout's own
    watchdog needs the interpreter lock, which a test stuck in native code
    holds; faulthandler's runs without it."""
    marker = request.node.get_closest_marker("timeout")
    limit = (marker.args[0] if marker is not None and marker.args
             else request.config.getoption("timeout", None) or request.config.getini("timeout"))
    faulthandler.dump_traceback_later(float(limit or 180) + STUCK_GRACE, exit=True,
                                      file=_uncaptured_stderr(request.config))
    yield
    faulthandler.cancel_dump_traceback_later()


@pytest.fixture
def sdl_double():
    """The interposed SDL calls, reset before and after the test."""
    DOUBLE.reset()
    yield DOUBLE
    DOUBLE.reset()


@pytest.fixture
def video():
    """SDL's video subsystem, initialised for the test and shut down after."""
    brilox.display.init()
    yield brilox.display
    brilox.display.quit()


@pytest.fixture
def screen(video):
    """A 32-bit software display surface of 160 x 120 pixels."""
    video.set_mode((160, 120))
    return sdl.video_surface()


@pytest.fixture(autouse=True)
def _video_left_off():
    """Every test starts and ends with SDL's video subsystem shut down."""
    yield
    if brilox.display.get_init():
        brilox.display.quit()
        pytest.fail("test left SDL's video subsystem running")


@pytest.fixture(autouse=True)
def _sound_device_closed():
    """The sound device a test's Videos opened stays open for the game until
    it closes it: closed after each test, before its sound server goes."""
    yield
    import sys
    sound = sys.modules.get("brilox.sound")
    if sound is not None and sound.get_init():
        sound.close()


def _nested(inner, depth):
    for _ in range(depth):
        inner = [inner]
    return inner


def _nesting_fits(depth):
    try:
        repr(_nested(0, depth))
    except RecursionError:
        return False
    return True


class _CallsOnRepr:
    def __init__(self, action):
        self.action = action

    def __repr__(self):
        self.action()
        return ""


@pytest.fixture
def near_recursion_limit():
    """run(action, headroom) calls action() with about `headroom` levels of
    recursion left before the limit that guards C code (sys's recursion
    limit before 3.12, a fixed limit of the interpreter's own since).  Nested
    reprs use the levels up: each counts against that limit everywhere."""
    def run(action, headroom):
        low, high = 0, 1 << 17  # the deepest nesting that fits, from here
        while low + 1 < high:
            middle = (low + high) // 2
            low, high = (middle, high) if _nesting_fits(middle) else (low, middle)
        repr(_nested(_CallsOnRepr(action), low - headroom))
    return run
