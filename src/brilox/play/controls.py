"""The player's controls: SDL's events, read off its queue so that no key
press is lost however long a frame takes, turned into commands."""

import brilox.display as display

# Held keys: SDL repeats their press after this many ms, then every interval.
REPEAT_DELAY, REPEAT_INTERVAL = 300, 40
# How often the queue is read while waiting for a frame, in seconds.
KEY_POLL = 0.005
# Two left clicks this close together (seconds, pixels) are a double click.
DOUBLE_CLICK, DOUBLE_CLICK_SLOP = 0.4, 4

# Seconds that a key seeks while playing.
SEEKS = {display.K_RIGHT: 10, display.K_LEFT: -10, display.K_UP: 60, display.K_DOWN: -60,
         display.K_PAGEUP: 600, display.K_PAGEDOWN: -600}


class Controls:
    """Turns events into commands, each a tuple:

        ("quit", why)            q, escape, or the window closed
        ("pause",)               space or p
        ("step", +1 or -1)       s; right or left while paused
        ("seek", seconds)        arrows and page keys while playing
        ("seek_to", fraction)    home (0), end (1), a right click (where)
        ("fullscreen",)          f or a double click
        ("resize", w, h)         the window was resized
        ("mute",)                m
        ("volume", -1 or +1)     9 and 0: the volume down and up
        ("next_audio",)          a: the next audio stream
        ("next_subtitle",)       t: the next subtitles, or none
        ("next_video",)          v: the next video stream
        ("speed", -1, +1 or 0)   [ and ]: slower and faster; backspace: 1.0
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
        k = event.key
        if k in (display.K_ESCAPE, display.K_q):
            return [("quit", "quit")]
        if k in (display.K_SPACE, display.K_p):
            return [("pause",)]
        if k == display.K_s:
            return [("step", 1)]
        if k == display.K_f:
            return [("fullscreen",)]
        if k == display.K_m:
            return [("mute",)]
        if k in (display.K_9, display.K_0):
            return [("volume", 1 if k == display.K_0 else -1)]
        if k == display.K_a:
            return [("next_audio",)]
        if k == display.K_t:
            return [("next_subtitle",)]
        if k == display.K_v:
            return [("next_video",)]
        if k in (display.K_LEFTBRACKET, display.K_RIGHTBRACKET, display.K_BACKSPACE):
            steps = {display.K_LEFTBRACKET: -1, display.K_RIGHTBRACKET: 1}
            return [("speed", steps.get(k, 0))]
        if paused and k in (display.K_RIGHT, display.K_LEFT):
            return [("step", 1 if k == display.K_RIGHT else -1)]
        if k in SEEKS:
            return [("seek", SEEKS[k])]
        if k in (display.K_HOME, display.K_END):
            return [("seek_to", 0.0 if k == display.K_HOME else 1.0)]
        return []

    def click(self, event, now, window_width):
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
