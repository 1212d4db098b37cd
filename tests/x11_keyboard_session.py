"""A keyboard session on SDL's X11 driver, run as a child of test_key_x11.

Opens a small window on $DISPLAY, moves the input focus with xdotool, holds
and releases the keys named in argv[1] (a JSON list of [keysym, SDL key
code] pairs) and a left shift, and prints what brilox.key reported as one
JSON object on stdout.
"""

import json
import os
import subprocess
import sys
import time

import brilox.display
import brilox.key as key

CAPTION = "brilox key session"
# The window is found by its class, which every SDL build sets from this
# variable; its name is not found on builds that set it as UTF-8 text.
WINDOW_CLASS = "brilox-key-session-%d" % os.getpid()
SDLK_LSHIFT = 304
KMOD_LSHIFT = 0x0001
KMOD_SHIFT = 0x0003


def xdotool(*args):
    # Without the sanitizer runtime that a sanitizer run preloads into the
    # interpreter: its leak check would report xdotool's own allocations.
    env = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    done = subprocess.run(["xdotool", *args], check=True, timeout=20,
                          capture_output=True, text=True, env=env)
    return done.stdout.split()


def settle(read, wanted, timeout=5.0):
    """Pumps SDL's events until read() gives `wanted` or time runs out.

    Returns the last value read, so the parent sees what was there instead.
    """
    deadline = time.monotonic() + timeout
    while True:
        brilox.display.pump()
        value = read()
        if value == wanted or time.monotonic() > deadline:
            return value
        time.sleep(0.005)


def pressed_at(code):
    return lambda: key.get_pressed()[code]


def main(plan):
    seen = {}
    os.environ["SDL_VIDEO_X11_WMCLASS"] = WINDOW_CLASS
    brilox.display.init()
    try:
        brilox.display.set_mode((64, 48))
        brilox.display.set_caption(CAPTION)
        window = xdotool("search", "--sync", "--class", WINDOW_CLASS)[0]
        # The focus goes to the window, away from it and back.  Window 0 is
        # X's "no focus": keystrokes go nowhere.
        xdotool("windowfocus", "--sync", window)
        seen["focus_first"] = settle(key.get_focused, 1)
        xdotool("windowfocus", "--sync", "0")
        seen["focus_nowhere"] = settle(key.get_focused, 0)
        xdotool("windowfocus", "--sync", window)
        seen["focus_here"] = settle(key.get_focused, 1)
        seen["focus_type"] = type(key.get_focused()).__name__

        seen["keys"] = {}
        for keysym, code in plan:
            result = seen["keys"][keysym] = {}
            xdotool("keydown", keysym)
            result["down"] = settle(pressed_at(code), 1)
            result["held"] = [i for i, v in enumerate(key.get_pressed()) if v]
            xdotool("keyup", keysym)
            result["up"] = settle(pressed_at(code), 0)

        xdotool("keydown", "Shift_L")
        seen["mods_shift_held"] = settle(lambda: key.get_mods() & KMOD_SHIFT, KMOD_LSHIFT)
        seen["lshift_pressed"] = key.get_pressed()[SDLK_LSHIFT]
        xdotool("keyup", "Shift_L")
        seen["mods_shift_released"] = settle(lambda: key.get_mods() & KMOD_SHIFT, 0)
    finally:
        brilox.display.quit()
    json.dump(seen, sys.stdout)


if __name__ == "__main__":
    main(json.loads(sys.argv[1]))
