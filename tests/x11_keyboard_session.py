"""A keyboard session on SDL's X11 driver, run as a child of test_key_x11.

Opens a small resizable window on $DISPLAY, moves the input focus with
xdotool, holds and releases the keys named in argv[1] (a JSON list of
[keysym, SDL key code] pairs) and a left shift, and taps a key while busy.
Then resizes the window, switches it to full screen and back, and closes
it.  Prints what brilox.key and brilox.display reported as one JSON object
on stdout.
"""

import ctypes
import json
import os
import subprocess
import sys
import time

import brilox.base
import brilox.display
import brilox.display as d
import brilox.key as key
from brilox.overlay import Overlay
from support import sdl

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


def events_until(done, timeout=5.0):
    """The events read until done(events) holds or time runs out."""
    deadline = time.monotonic() + timeout
    events = []
    while not done(events) and time.monotonic() < deadline:
        event = d.wait_event(50)
        if event is not None:
            events.append(event)
    return events


def keys_of(events):
    return [[e.type, e.key] for e in events if e.type in (d.KEYDOWN, d.KEYUP)]


def ask_to_close(window):
    """Sends the window WM_DELETE_WINDOW, as a window manager's close button does."""
    x11 = ctypes.CDLL("libX11.so.6")
    x11.XOpenDisplay.restype = x11.XInternAtom.restype = ctypes.c_void_p
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long,
                               ctypes.c_void_p]
    x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    x = x11.XOpenDisplay(None)
    # An XClientMessageEvent, one long per field on LP64: type (ClientMessage),
    # serial, send_event, display, window, message_type, format, data.l[0].
    message = (ctypes.c_long * 24)(33, 0, 1, x, window, x11.XInternAtom(x, b"WM_PROTOCOLS", 0),
                                   32, x11.XInternAtom(x, b"WM_DELETE_WINDOW", 0))
    x11.XSendEvent(x, window, 0, 0, message)
    x11.XCloseDisplay(x)


def shown(overlay):
    try:
        overlay.display((b"\x10" * 256, b"\x80" * 64, b"\x80" * 64))
        return "shown"
    except brilox.base.error as e:
        return str(e)


def window_events(window, seen):
    seen["key_events"] = keys_of(d.poll_events())
    # Busy, not reading events, for longer than the taps take.
    xdotool("key", "--delay", "25", *["space"] * 20)
    time.sleep(0.3)
    seen["taps"] = keys_of(events_until(lambda events: len(keys_of(events)) >= 40))

    overlay = Overlay(0x32315659, (16, 16))
    xdotool("windowsize", "--sync", window, "200", "150")
    resized = events_until(lambda events: any(e.type == d.VIDEORESIZE for e in events))
    seen["resize"] = [[e.w, e.h] for e in resized if e.type == d.VIDEORESIZE][-1:]
    d.set_mode((200, 150), 32, d.RESIZABLE)
    seen["resized_size"] = d.get_size()
    seen["resized_overlay"] = shown(overlay)
    seen["toggled"] = [d.toggle_fullscreen(), shown(overlay),
                       d.toggle_fullscreen(), shown(overlay)]
    # Full screen at the desktop's size (classic SDL reports the window's by
    # now) with a white frame over all of it, then the window again.
    desktop = d.get_desktop_size()
    seen["desktop"] = [desktop, d.list_modes(), xdotool("getdisplaygeometry")]
    d.set_mode(desktop, 32, d.FULLSCREEN)
    overlay.set_location((0, 0) + desktop)
    overlay.display((b"\xff" * 256, b"\x80" * 64, b"\x80" * 64))
    d.flip()
    pixels = sdl.shown_pixels()
    seen["full_screen"] = [d.get_size(), max(pixels), sorted(set(pixels.values()))]
    d.set_mode((200, 150), 32, d.RESIZABLE)
    seen["window_again"] = [d.get_size(), xdotool("getwindowgeometry", "--shell", window)[3:5]]
    del overlay

    ask_to_close(int(window))
    seen["quit"] = any(e.type == d.QUIT for e in events_until(
        lambda events: any(e.type == d.QUIT for e in events)))


def main(plan):
    seen = {}
    os.environ["SDL_VIDEO_X11_WMCLASS"] = WINDOW_CLASS
    brilox.display.init()
    try:
        brilox.display.set_mode((64, 48), 32, d.RESIZABLE)
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
        window_events(window, seen)
    finally:
        brilox.display.quit()
    json.dump(seen, sys.stdout)


if __name__ == "__main__":
    main(json.loads(sys.argv[1]))
