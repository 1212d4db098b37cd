"""The player's controls: SDL's events, read off its queue so that no key
press is lost however long a frame takes, turned into commands."""

import brilox.display as display
from brilox.play.keys import LINES

# Held keys: SDL repeats their press after this many ms, then every interval.
REPEAT_DELAY, REPEAT_INTERVAL = 300, 40
# How often the queue is read while waiting for a frame, in seconds.
KEY_POLL = 0.005
# Two left clicks this close together (seconds, pixels) are a double click.
DOUBLE_CLICK, DOUBLE_CLICK_SLOP = 0.4, 4

# Each key of the table (brilox.play.keys) by SDL's code for it, whether it
# wants shift (where the table tells keys apart by it) and whether Ctrl.
KEYS = {(getattr(display, key.constant), key.shifted, key.ctrl): key
        for line in LINES for key in line.keys}
# The mouse wheel turns the volume, as 9 and 0 do.
WHEEL = {display.BUTTON_WHEELUP: ("volume", 1), display.BUTTON_WHEELDOWN: ("volume", -1)}


class Controls:
    """Turns events into commands, each a tuple:

        ("quit", why)            the quit keys, or the window closed;
                                 why "remember" keeps the place
        ("file", +1 or -1)       the next file of the list, or the previous
        ("pause",)
        ("step", +1 or -1)
        ("seek", seconds)
        ("chapter", +1 or -1)    the next chapter's start, or back
        ("seek_to", fraction)    0 the start, 1 the end, or a right click's
        ("fullscreen",)          its key or a double click
        ("resize", w, h)         the window was resized
        ("mute",)
        ("volume", -1 or +1)     down or up a step
        ("next_audio",), ("next_subtitle",), ("next_video",)
        ("speed", -1, +1 or 0)   slower, faster, or the file's own
        ("osd",)                 the position bar over the picture, for a while
        ("audio_delay", -1 or +1), ("sub_delay", -1 or +1)   100 ms earlier, later
        ("ab_loop",)             set A, set B, clear
        ("screenshot",)          save the frame as shown

    Which key gives which is brilox.play.keys's table.
    """

    def __init__(self):
        self.last_click = None

    def commands(self, event, paused, now, window_width):
        kind = event.type
        if kind == display.QUIT:
            return [("quit", "window closed")]
        if kind == display.VIDEORESIZE:
            return [("resize", event.w, event.h)]
        if kind == display.MOUSEBUTTONDOWN:
            return self.click(event, now, window_width)
        if kind != display.KEYDOWN:
            return []
        # A key with shift or Ctrl held is its command with them where the
        # table has one, else its own.
        shift, ctrl = bool(event.mod & display.KMOD_SHIFT), bool(event.mod & display.KMOD_CTRL)
        key = (KEYS.get((event.key, shift, ctrl)) or KEYS.get((event.key, False, ctrl))
               or KEYS.get((event.key, shift, False)) or KEYS.get((event.key, False, False)))
        if key is None:
            return []
        return [key.paused if paused and key.paused is not None else key.command]

    def click(self, event, now, window_width):
        if event.button in WHEEL:
            return [WHEEL[event.button]]
        if event.button == display.BUTTON_RIGHT:
            return [("seek_to", min(1.0, max(0.0, event.x / max(1, window_width - 1))))]
        if event.button != display.BUTTON_LEFT:
            return []
        last, self.last_click = self.last_click, (now, event.x, event.y)
        if (last is not None and now - last[0] <= DOUBLE_CLICK
                and abs(event.x - last[1]) <= DOUBLE_CLICK_SLOP
                and abs(event.y - last[2]) <= DOUBLE_CLICK_SLOP):
            self.last_click = None
            return [("fullscreen",)]
        return []
