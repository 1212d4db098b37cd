"""The player: shows a source's frames on an overlay in a window, paced by
their timestamps and steered by keys, with a status line meanwhile."""

import os
import sys
import time

import brilox.display as display
import brilox.key as key
from brilox.overlay import Overlay
from brilox.play import colour, screenshot
from brilox.play.controls import KEY_POLL, REPEAT_DELAY, REPEAT_INTERVAL, Keys
from brilox.play.frames import PROG, UYVY, YUY2, overlay_frame
from brilox.play.status import Status, Summary

HEADLESS_PATTERN_FRAMES = 300


def fit(width, height, window_width, window_height):
    """The largest rectangle of the video's shape inside the window, centred."""
    if window_width * height <= window_height * width:
        w, h = window_width, max(1, round(window_width * height / width))
    else:
        w, h = max(1, round(window_height * width / height)), window_height
    return ((window_width - w) // 2, (window_height - h) // 2, w, h)


def hand_over(overlay, planes, height, convert=None):
    """Copies a frame's planes into the overlay and shows it: the one place
    where frames leave the player for SDL.  Given `convert`, (the overlay's
    format, colour.EXPAND or colour.COMPRESS), the levels are converted to
    the range SDL takes on the way, into new planes: the source's own may
    still be in the decoder's hands."""
    frame = overlay_frame(planes, height)
    if convert is not None:
        frame = colour.convert_frame(frame, *convert)
    overlay.display(frame)


# FFmpeg's pixel format of each overlay format's planes, as sources give them.
PIXEL_FORMATS = {YUY2: "yuyv422", UYVY: "uyvy422"}


def save_screenshot(path, planes, source, placement, window, levels, probe):
    """Saves what the window shows, once the last frame is up: `planes` of
    `source`'s frame, of `levels` ("limited" or "full"), shown at
    `placement` (x, y, w, h) in a window of size `window`.  The display
    surface where the probe found that it holds the video; elsewhere the
    frame rendered to RGB by FFmpeg's scaler, which needs PyAV: without it
    the display surface is all there is."""
    from_surface = probe.surface_holds_video
    frame = None
    if not from_surface:
        try:
            import av  # noqa: F401
        except ImportError:
            from_surface = True
            print("%s: %s: saved from the display surface, which may not hold the video on "
                  "this SDL; making it from the frame needs FFmpeg's libraries (PyAV): "
                  "pip install 'brilox[video]'" % (PROG, path), file=sys.stderr)
    if not from_surface:
        pix_fmt = PIXEL_FORMATS.get(source.overlay_format, "yuv420p")
        frame = screenshot.video_frame([memoryview(p).cast("B") for p in planes], pix_fmt,
                                       source.size)
    screenshot.save(path, window=window, placement=placement, surface_holds_video=from_surface,
                    frame=frame, source_range=levels)


class Player:
    """Shows frames from a source on an overlay, paced and steered by keys.
    Each frame stays up for the source's duration of it."""

    def __init__(self, source, overlay, keys, status, headless, range_choice="auto",
                 sdl_full_range=None):
        self.source, self.overlay, self.keys, self.status = source, overlay, keys, status
        # --range, and whether SDL takes levels as full range (the probe's
        # finding): the level conversion is decided from them and the
        # source's range once, and again only when the source's range changes.
        self.range_choice, self.sdl_full_range = range_choice, sdl_full_range
        self.source_full_range = self.convert = None
        self.height = source.size[1]
        self.headless = headless
        self.index = self.shown = 0
        self.last = None
        self.upload = 0.0
        self.paused = False
        self.started = self.due = time.perf_counter()
        self.paused_for = 0.0
        self.paused_at = None

    def playing_time(self, now):
        """Seconds since the first frame, less the time spent paused."""
        paused = self.paused_for + (now - self.paused_at if self.paused else 0.0)
        return now - self.started - paused

    def number(self):
        return self.source.position(self.index)

    def levels(self):
        """The levels of the source's frames, "limited" or "full": as
        --range says, else as the source does."""
        if self.range_choice != "auto":
            return self.range_choice
        return colour.FULL if self.source.full_range else colour.LIMITED

    def show(self, planes):
        begun = time.perf_counter()
        if self.source.full_range != self.source_full_range:
            self.source_full_range = self.source.full_range
            which = colour.conversion(self.levels(), "auto", self.sdl_full_range)
            self.convert = (self.source.overlay_format, which) if which else None
        hand_over(self.overlay, planes, self.height, self.convert)
        self.last = planes
        now = time.perf_counter()
        self.upload += now - begun
        self.shown += 1
        display.flip()
        self.status.frame(self.number(), now - begun, now, self.paused)
        # Late by more than a frame (after a pause, say): start the beat
        # again rather than rush to catch up.
        period = self.source.duration(self.index)
        self.due += period
        if self.due < now - period:
            self.due = now + period

    def event(self, text, now):
        self.status.event(text % self.number(), self.number(), now, self.paused)

    def advance(self):
        """Waits for the next frame to show and returns it: the following
        frame when it is due while playing, a step while paused.  None to
        stop.  The keys are read every few milliseconds meanwhile, so that
        a short tap between two frames is not missed."""
        while True:
            display.pump()
            now = time.perf_counter()
            if display.quit_requested():
                # The window's close button, or SIGINT or SIGTERM, which SDL
                # turns into the same request.
                self.event("asked to quit at frame %d", now)
                return None
            step = 0
            for command in self.keys.commands(key.get_pressed(), now):
                if command == "quit":
                    self.event("quit at frame %d", now)
                    return None
                if command == "pause":
                    self.paused = not self.paused
                    if self.paused:
                        self.paused_at = now
                    else:
                        self.paused_for += now - self.paused_at
                    self.event("paused at frame %d" if self.paused
                               else "playing from frame %d", now)
                elif self.paused:
                    step = 1 if command == "next" else -1
            if step:
                planes = self.source.get(self.index + step)
                if planes is not None:
                    self.index += step
                    self.event("stepped to frame %d", now)
                    return planes
            if not self.paused and (self.headless or now >= self.due):
                self.index += 1
                return self.source.get(self.index)
            wait = KEY_POLL if self.paused else min(KEY_POLL, self.due - now)
            time.sleep(wait)


def headless_wanted(options):
    return (options.headless or not os.environ.get("DISPLAY")
            or os.environ.get("SDL_VIDEODRIVER") == "dummy")


def play(options, source):
    """Plays `source` until its end, the frame limit or a quit; returns a
    Summary."""
    headless = headless_wanted(options)
    if headless:
        os.environ["SDL_VIDEODRIVER"] = "dummy"
    limit = options.frames
    if limit is None and headless and options.file is None:
        limit = HEADLESS_PATTERN_FRAMES
    width, height = source.size
    window = options.window or (width, height)
    placement = fit(width, height, *window)

    display.init()
    overlay = player = None
    try:
        display.set_mode(window)
        display.set_caption("%s: %s" % (PROG, source.name))
        # How this SDL converts levels, from what it shows of a known frame.
        probe = colour.probe(source.overlay_format, placement[:2])
        overlay = Overlay(source.overlay_format, (width, height))
        overlay.set_location(placement)
        key.set_repeat(REPEAT_DELAY, REPEAT_INTERVAL)
        player = Player(source, overlay, Keys(*key.get_repeat()), Status(sys.stderr, source.count),
                        headless, options.range, probe.full_range)
        planes = source.get(0)
        try:
            while planes is not None:
                player.show(planes)
                if limit is not None and player.shown >= limit:
                    break
                planes = player.advance()
        except KeyboardInterrupt:
            # The interrupt may come between putting a frame up and flipping
            # it.  Flip it now: some SDL builds hang freeing an overlay whose
            # frame is still waiting to be shown.
            display.flip()
            player.event("interrupted at frame %d", time.perf_counter())
        summary = Summary(player.shown, player.playing_time(time.perf_counter()), player.upload)
        player.status.close()
        if options.screenshot and player.shown:
            save_screenshot(options.screenshot, player.last, source, placement, window,
                            player.levels(), probe)
    finally:
        overlay = player = None
        display.quit()
    problem = source.problem()
    if problem:
        print("%s: %s: %s" % (PROG, source.name, problem), file=sys.stderr)
    return summary
