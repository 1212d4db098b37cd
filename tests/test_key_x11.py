"""brilox.key on real key presses: SDL's X11 driver on an Xvfb server,
driven by xdotool.

The session runs in a child process (x11_keyboard_session.py), because this
process runs SDL on the dummy driver with the test double in front of it.
Where no X server can be started the test is skipped, except in CI, where
that is a failure.
"""

import json
import os
import pathlib
import select
import shutil
import subprocess
import sys
import tempfile

import pytest

from sanitizer import tool_env

SESSION = pathlib.Path(__file__).resolve().parent / "x11_keyboard_session.py"

# X keysyms and the SDL key codes they arrive as.
KEYS = [("a", 97), ("z", 122), ("space", 32), ("Return", 13), ("Escape", 27),
        ("F1", 282), ("Left", 276), ("KP_Enter", 271)]


def no_x_server(reason):
    if os.environ.get("CI"):
        pytest.fail("CI must run the X11 keyboard test: " + reason)
    pytest.skip(reason)


@pytest.fixture(scope="module")
def x_display():
    """A fresh Xvfb server on a free display, stopped after the module."""
    xvfb = shutil.which("Xvfb")
    if xvfb is None or shutil.which("xdotool") is None:
        no_x_server("Xvfb or xdotool is not installed")
    read_end, write_end = os.pipe()
    log = tempfile.TemporaryFile()
    try:
        # -displayfd picks a free display and writes its number once the
        # server accepts connections; -noreset keeps it from resetting, and
        # refusing connections meanwhile, each time its last client leaves.
        server = subprocess.Popen(
            [xvfb, "-displayfd", str(write_end), "-screen", "0", "640x480x24",
             "-nolisten", "tcp", "-ac", "-noreset"],
            pass_fds=(write_end,), stdin=subprocess.DEVNULL, env=tool_env(),
            stdout=log, stderr=log)
    except OSError as e:
        os.close(read_end)
        os.close(write_end)
        no_x_server("Xvfb cannot be run: %s" % e)
    os.close(write_end)
    try:
        number = b""
        while not number.endswith(b"\n"):
            if not select.select([read_end], [], [], 20)[0]:
                break
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_end)
        if not number.strip().isdigit():
            server.kill()
            server.wait()
            log.seek(0)
            no_x_server("Xvfb did not start: %s" % log.read().decode(errors="replace")[-500:])
        yield ":" + number.strip().decode()
    finally:
        if server.poll() is None:
            server.terminate()
            try:
                server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()
        log.close()


@pytest.fixture(scope="module")
def session(x_display):
    """What brilox.key reported while xdotool drove the keyboard."""
    env = dict(os.environ, SDL_VIDEODRIVER="x11", DISPLAY=x_display)
    done = subprocess.run([sys.executable, str(SESSION), json.dumps(KEYS)], env=env,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def test_focused_window_reports_focus(session):
    assert session["focus_first"] == 1
    assert session["focus_nowhere"] == 0
    assert session["focus_here"] == 1
    assert session["focus_type"] == "int"


@pytest.mark.parametrize("keysym, code", KEYS)
def test_held_key_shows_at_its_sdl_code_until_released(session, keysym, code):
    seen = session["keys"][keysym]
    assert seen["down"] == 1
    assert seen["held"] == [code]
    assert seen["up"] == 0


def test_held_shift_shows_in_modifiers(session):
    assert session["mods_shift_held"] == 0x0001
    assert session["lshift_pressed"] == 1
    assert session["mods_shift_released"] == 0
