"""brilox.key, and brilox.display's events and window, on real key presses
and window changes: SDL's X11 driver on an Xvfb server, driven by xdotool.

The session runs in a child process (x11_keyboard_session.py), because this
process runs SDL on the dummy driver with the test double in front of it.
Where no X server can be started the test is skipped, except in CI, where
that is a failure.
"""

import json
import os
import pathlib
import subprocess
import sys

import pytest


SESSION = pathlib.Path(__file__).resolve().parent / "x11_keyboard_session.py"

# X keysyms and the SDL key codes they arrive as.
KEYS = [("a", 97), ("z", 122), ("space", 32), ("Return", 13), ("Escape", 27),
        ("F1", 282), ("Left", 276), ("KP_Enter", 271)]


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


KEYDOWN, KEYUP, SDLK_SPACE, SDLK_LSHIFT = 2, 3, 32, 304


def test_every_press_and_release_is_read_from_the_queue_in_order(session):
    assert session["key_events"] == [
        [kind, code] for _, code in KEYS + [("Shift_L", SDLK_LSHIFT)] for kind in (KEYDOWN, KEYUP)]
    # Tapped while the session was busy elsewhere, none lost.
    assert session["taps"] == [[KEYDOWN, SDLK_SPACE], [KEYUP, SDLK_SPACE]] * 20


def test_window_resize_full_screen_and_close_arrive_as_events(session):
    assert session["resize"] == [[200, 150]]
    assert session["resized_size"] == [200, 150]
    # Another size and full screen at the same depth keep the overlay.
    assert session["resized_overlay"] == "shown"
    assert session["toggled"] == [True, "shown", True, "shown"]
    (w, h), modes, screen = session["desktop"]
    assert [w, h] == [int(v) for v in screen] and modes == [[w, h]]
    assert session["full_screen"] == [[w, h], [w - 1, h - 1], [[255, 255, 255]]]
    assert session["window_again"] == [[200, 150], ["WIDTH=200", "HEIGHT=150"]]
    assert session["quit"] is True
