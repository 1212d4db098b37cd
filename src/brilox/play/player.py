"""The player: shows a source's frames on an overlay in a window, paced by
their timestamps and steered by keys, with a status line meanwhile."""

import collections
import os
from fractions import Fraction
import signal
import sys
import time

import brilox.base
import brilox.display as display
import brilox.key as key
from brilox.overlay import Overlay
from brilox.play import colour, screenshot
from brilox.play.controls import KEY_POLL, REPEAT_DELAY, REPEAT_INTERVAL, Controls
from brilox.play.exits import Stopped
from brilox.play.frames import PROG, UYVY, YUY2, YV12, display_size, overlay_frame
from brilox.play.sound import Sound
from brilox.play.sound import cool_down as close_idle_sound
from brilox.play.status import Status, Summary

HEADLESS_PATTERN_FRAMES = 300
# The longest the first frame waits for the sound to begin, in seconds.
SOUND_START = 3.0
# Seconds of decoding on the way to a seek's frame between two reads of
# the events.
LAND_STEP = 0.02


def fit(width, height, window_width, window_height):
    """The largest rectangle of the video's shape inside the window, centred."""
    if window_width * height <= window_height * width:
        w, h = window_width, max(1, round(window_width * height / width))
    else:
        w, h = max(1, round(window_height * width / height)), window_height
    return ((window_width - w) // 2, (window_height - h) // 2, w, h)


# The layout of each overlay format's planes for _colour.transform.
LAYOUTS = {YUY2: colour.LUMA_CHROMA, UYVY: colour.CHROMA_LUMA}


def hand_over(overlay, planes, size, plan=None, overlay_format=None, pad=(0, 0)):
    """Copies a frame's planes (of a picture of `size`) into the overlay and
    shows it: the one place where frames leave the player for SDL.

    `plan` (a colour.Plan) says how the colours change on the way, into new
    planes (the source's own may still be in the decoder's hands): a level
    conversion, or a change of matrix and levels in one pass.  `pad`: the
    overlay is that many (columns, rows) larger than the picture (a picture
    of an odd size, where SDL shows those wrong)."""
    width, height = size
    if plan is not None and plan.coefficients is not None:
        planes = colour.transform(planes, LAYOUTS.get(overlay_format, colour.PLANAR), width,
                                  height, plan.coefficients)
    # The overlay's own height tells it the chroma stride.
    frame = overlay_frame(planes, height + pad[1])
    if plan is not None and plan.levels:
        frame = colour.convert_frame(frame, overlay_format, plan.levels)
    if any(pad):
        frame = (padded_luma(frame[0], width, height, pad),) + tuple(frame[1:])
    overlay.display(frame)


_padding = {}


def padded_luma(luma, width, height, pad):
    """Luma for an overlay `pad` (columns, rows) larger than the picture,
    which copies its own width from each of its own rows: rows at least as
    long, and as many.  Luma that already reaches that far goes as it is;
    other luma is copied into a buffer kept for the next frame (the extra
    column and row are never shown)."""
    source = memoryview(luma).cast("B")
    stride = len(source) // height
    wide, high = width + pad[0], height + pad[1]
    if stride >= wide and len(source) >= stride * (high - 1) + wide:
        return luma
    buffer = _padding.get((wide, high))
    if buffer is None:
        _padding.clear()
        buffer = _padding[wide, high] = bytearray(wide * high)
    if stride == wide:
        buffer[:len(source)] = source
        return buffer
    target = memoryview(buffer)
    for row in range(height):
        at = row * wide
        target[at:at + width] = source[row * stride:row * stride + width]
    return buffer


# FFmpeg's pixel format of each overlay format's planes, as sources give them.
PIXEL_FORMATS = {YUY2: "yuyv422", UYVY: "uyvy422"}


def save_screenshot(path, planes, source, placement, window, levels, probe, matrix=None):
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
                    frame=frame, source_range=levels, matrix=matrix)


class Window:
    """The display: its size and window flags, and where the video goes in
    it.  The video is placed by its display size (`video`), which has the
    shape it is shown in; the overlay holds the `stored` picture and `pad`
    (columns, rows) more, where SDL shows odd sizes wrong.  The mode keeps
    its depth through resizes and full-screen switches, which keeps the
    overlay working."""

    DEPTH = 32

    def __init__(self, video_size, size, flags, stored=None, pad=(0, 0)):
        self.video, self.size, self.flags = video_size, size, flags
        self.stored, self.pad = stored or video_size, pad
        self.windowed = size

    def set_mode(self):
        display.set_mode(self.size, self.DEPTH, self.flags)

    def placement(self):
        """Where the picture is shown: the largest rectangle of its shape
        inside the window, centred."""
        return fit(*self.video, *self.size)

    def overlay_rect(self):
        """(The overlay's rectangle, the rectangles beside the picture that a
        padded overlay's extra column and row cover).  SDL cuts those off at
        the edges of the screen; elsewhere the player blacks them out."""
        x, y, w, h = self.placement()
        (sw, sh), (pw, ph) = self.stored, self.pad
        wide = max(w + pw, round(w * (sw + pw) / sw))
        high = max(h + ph, round(h * (sh + ph) / sh))
        right, bottom = min(x + wide, self.size[0]), min(y + high, self.size[1])
        beside = [rect for rect in ((x + w, y, right - x - w, bottom - y),
                                    (x, y + h, w, bottom - y - h)) if rect[2] > 0 and rect[3] > 0]
        return (x, y, wide, high), beside

    def resize(self, width, height):
        """Whether the size changed."""
        if (width, height) == self.size or width <= 0 or height <= 0:
            return False
        self.size = self.windowed = (width, height)
        self.set_mode()
        return True

    def toggle_fullscreen(self):
        """Switches between a window and the full screen, whose mode is the
        desktop's size where SDL tells it (the window's otherwise, in place
        where SDL can); whether it is now full screen."""
        self.flags ^= display.FULLSCREEN
        full = bool(self.flags & display.FULLSCREEN)
        desktop = display.get_desktop_size()
        if full and all(desktop):
            self.size = desktop
            self.set_mode()
        elif not full and self.size != self.windowed:
            self.size = self.windowed
            self.set_mode()
        elif not display.toggle_fullscreen():
            self.set_mode()
        self.size = display.get_size()
        return full


# Later than this (seconds), the player starts the beat again from now
# rather than drop frames to catch up: at most this much video is skipped
# at a time.
LATE_LIMIT = 1.0


class Player:
    """Shows frames from a source on an overlay, paced and steered by the
    controls.  Each frame stays up for the source's duration of it; frames
    whose time has passed are dropped unless `drop` is off."""

    def __init__(self, source, overlay, controls, status, headless, window, drop=True,
                 range_choice="auto", probe=None, sound=None):
        self.source, self.overlay, self.controls, self.status = source, overlay, controls, status
        self.window, self.drop = window, drop and not headless
        # --range, and whether SDL takes levels as full range (the probe's
        # finding): the level conversion is decided from them and the
        # source's range once, and again only when the source's range changes.
        self.range_choice = range_choice
        self.probe = probe or colour.Probe(False, None, None)
        # The colours of the source's frames (range, matrix) that the plan
        # was made for, and the plan.
        self.colours = self.plan = None
        # The strips beside the picture that a padded overlay covers.
        self.beside = []
        # The file's sound, whose clock paces the picture while it plays;
        # the largest gap between picture and sound seen while playing on.
        self.sound = sound
        self.largest_gap = None
        # Whether the last frame was played on from the one before (not the
        # first after a start, pause, step or seek), and whether a sound
        # error has been said.
        self.playing_on = False
        self.sound_said = False
        self.headless = headless
        self.index = self.played = self.stepped = self.dropped = 0
        self.last = None
        self.upload = 0.0
        self.paused = False
        self.started = self.due = time.perf_counter()
        self.paused_for = 0.0
        self.paused_at = None
        # Whether a quit was asked for (q, escape, the window closed): the
        # player then ends at once, with no sound left to play.
        self.quitting = False
        # Events read off SDL's queue and not yet acted on: a step or a seek
        # shows its frame before the events after it are seen to.
        self.pending = collections.deque()
        # The frame a seek goes to, while the decoder runs on to it from the
        # key frame shown meanwhile.
        self.landing = None

    @property
    def shown(self):
        return self.played + self.stepped

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

    def matrix(self):
        """The matrix of the source's frames: as it says, else by the height
        it is coded at (before any turn), as FFmpeg decides."""
        coded = getattr(self.source, "stored", self.source.size)
        return colour.matrix_of(self.source.space, coded[1])

    def locate(self):
        """Puts the overlay where the window shows the video."""
        rect, self.beside = self.window.overlay_rect()
        self.overlay.set_location(rect)

    def show(self, planes, playing=True):
        begun = time.perf_counter()
        colours = (self.levels(), self.matrix())
        if colours != self.colours:
            self.colours = colours
            self.plan = colour.plan(*colours, self.probe)
        source = self.source
        hand_over(self.overlay, planes, source.size, self.plan, source.overlay_format,
                  self.window.pad)
        self.black_beside()
        if self.sound is not None and playing and self.index and not source.position(self.index):
            # A looping file starts again: so does its sound.
            self.sound.seek(0.0)
            self.playing_on = False
        self.last = planes
        now = time.perf_counter()
        self.upload += now - begun
        if playing:
            self.played += 1
        else:
            self.stepped += 1
        display.flip()
        self.status.dropped = self.dropped
        # A file that ends early tells its true total and length then.
        if getattr(source, "short", None):
            self.status.count, self.status.length = source.count, source.length
        self.status.sound = self.sound_words(playing)
        self.status.frame(self.number(), self.source.time_of(self.index), now - begun, now,
                          self.paused, playing)
        period = self.source.duration(self.index)
        if not playing:
            self.due = now + period
            return
        self.due += period
        # Late by more than LATE_LIMIT while dropping: start the beat again
        # rather than rush.  Without dropping, later than a frame: the next
        # frame is shown as soon as it can be, and the beat goes on from it.
        if self.drop and self.due < now - LATE_LIMIT:
            self.due = now + period
        elif not self.drop and self.due < now - period:
            self.due = now

    def heard(self):
        """The time of the sound heard now, where the sound is the clock: it
        plays, and has not run out.  Sound that stops on an error is said
        once, and the picture plays on by the system clock."""
        if self.sound is None:
            return None
        if self.sound.error and not self.sound_said:
            self.sound_said = True
            self.status.line("%s: %s: %s" % (PROG, self.source.name, self.sound.error))
        if self.sound.done():
            return None
        return self.sound.clock()

    def sound_words(self, playing):
        """The status line's words on the sound: the picture's time less the
        sound's (A-V), the volume or mute.  A-V is counted towards the
        largest seen from the second frame played on after a start, pause,
        step or seek."""
        if self.sound is None:
            return None
        heard = self.heard()
        words = []
        if heard is not None:
            gap = self.source.time_of(self.index) - heard
            words.append("A-V %+.3f" % gap)
            if playing and self.playing_on and (self.largest_gap is None
                                             or abs(gap) > abs(self.largest_gap)):
                self.largest_gap = gap
            self.playing_on = playing
        words.append("muted" if self.sound.muted() else "vol %d%%" % self.sound.volume())
        return "  ".join(words)

    def black_beside(self):
        """Blacks out a padded overlay's extra column and row where they show
        beside the picture, in the display surface that holds the video."""
        if self.probe.surface_holds_video:
            for rect in self.beside:
                colour.black_out(rect)

    def event(self, text, now):
        self.status.event(text % self.number(), self.number(),
                          self.source.time_of(self.index), now, self.paused)

    def pause(self, now):
        self.paused = not self.paused
        self.status.restart()
        if self.paused:
            self.paused_at = now
        else:
            self.paused_for += now - self.paused_at
            self.due = now
        if self.sound is not None:
            self.sound.pause(self.paused)
            self.playing_on = False
        self.event("paused at frame %d" if self.paused else "playing from frame %d", now)

    def go(self, target, now, what):
        """Frame `target` (a step or a seek), or None with the reason said.
        A seek that decodes from a key frame well before its frame gives
        that key frame first, and its frame later (advance)."""
        source = self.source
        self.landing = None
        glimpse = getattr(source, "glimpse", None)
        seen = glimpse(target) if glimpse and what == "jumped to" else None
        if seen is not None:
            # The sound is silent until the frame sought is up.
            (self.index, planes), self.landing = seen, target
            self.moved(target, now)
            return planes
        planes = source.get(target) if target >= 0 else None
        if planes is None and target > self.index and what != "stepped to":
            # Past the end: the last frame instead.
            last = source.last(self.index)
            if last is not None and last > self.index:
                target, planes = last, source.get(last)
        limit = None
        if planes is None and 0 <= target < self.index and source.kept is not None:
            # Before the frames a stream keeps: the oldest of them instead.
            oldest = source.oldest_kept()
            if oldest is not None and oldest < self.index:
                target, planes = oldest, source.get(oldest)
            limit = ("frame %%d is as far back as this can go: only the last %d frames are "
                     "kept" % source.kept)
        if planes is None:
            if target > self.index:
                self.event("no frame after frame %d", now)
            else:
                self.event(limit or "no frame before frame %d", now)
            return None
        self.index = target
        self.moved(target, now)
        self.event(limit or what + " frame %d", now)
        return planes

    def moved(self, target, now):
        """After a step or a seek to frame `target`, begun at `now`: the
        sound goes on from that frame (heard once playing), and the time
        the move took is not playing time."""
        self.status.restart()
        if self.sound is not None:
            self.sound.seek(self.source.time_of(target))
            self.playing_on = False
        if not self.paused:
            self.paused_for += time.perf_counter() - now

    def act(self, command, now):
        """Carries out a command: None to go on, False to quit, or the
        planes of a frame to show now."""
        kind, source = command[0], self.source
        if kind == "quit":
            self.quitting = True
            self.event(("window closed at frame %d" if command[1] == "window closed"
                        else "quit at frame %d"), now)
            return False
        if kind == "pause":
            self.pause(now)
        elif kind == "step":
            if not self.paused:
                self.pause(now)
            return self.go(self.index + command[1], now, "stepped to")
        elif kind == "seek":
            # Seeks made one after another go on from the frame sought last.
            base = self.index if self.landing is None else self.landing
            seconds = max(0.0, source.time_of(base) + command[1])
            if source.length is not None:
                seconds = min(seconds, source.length)
            target = source.index_at(seconds, base)
            if command[1] > 0 and target <= base:
                target = base + 1
            return self.go(target, now, "jumped to")
        elif kind == "seek_to":
            # The start is always there; any other fraction needs the length.
            target = None
            if command[1] == 0:
                target = source.index_at(0.0, self.index)
            elif source.length is not None:
                target = (source.index_at(command[1] * source.length, self.index)
                          if command[1] < 1 else source.last(self.index))
            if target is None:
                self.event("no end to go to: the length is not known (frame %d)", now)
                return None
            return self.go(target, now, "jumped to")
        elif kind in ("mute", "volume", "next_audio"):
            self.sound_command(kind, command, now)
        elif kind in ("fullscreen", "resize"):
            if kind == "resize" and not self.window.resize(*command[1:]):
                return None
            if kind == "fullscreen":
                said = ("full screen" if self.window.toggle_fullscreen() else "windowed")
            else:
                said = "resized to %dx%d" % self.window.size
            self.locate()
            # The new mode's surface is blank until the frame is shown again.
            self.overlay.display()
            self.black_beside()
            display.flip()
            self.event(said + " at frame %d", now)
        return None

    def sound_command(self, kind, command, now):
        if self.sound is None:
            self.event("no sound (frame %d)", now)
            return
        if kind == "mute":
            said = "muted" if self.sound.toggle_mute() else "sound on"
        elif kind == "volume":
            said = "volume %d%%" % self.sound.step_volume(command[1])
        else:
            streams = self.source.audio_streams
            following = streams[(streams.index(self.sound.index) + 1) % len(streams)]
            self.sound.open(following, self.source.time_of(self.index))
            # A picture drawn from the sound follows it.
            self.source.audio_index = following
            said = "audio stream %d" % following
            self.playing_on = False
        # The event's text is a format for the frame's number.
        self.event(said.replace("%", "%%") + " at frame %d", now)

    def advance(self):
        """Waits for the next frame to show and returns it with whether it
        is played (rather than stepped to or sought): the following frame
        when it is due while playing, a step, a seek.  None to stop.  The
        events are read every few milliseconds meanwhile; SDL's queue keeps
        every press however long a frame took."""
        while True:
            if not self.pending:
                self.pending.extend(display.poll_events())
            now = time.perf_counter()
            heard = None
            if self.sound is not None and self.landing is None:
                self.sound.feed()
                heard = self.heard()
            if heard is not None and not self.paused:
                # The sound is the clock: the next frame is due when the
                # sound reaches its time.  The first frame of a loop's next
                # pass is due when this pass's sound has played this frame
                # (the sound starts again with it).
                source, following = self.source, self.index + 1
                if source.position(following) > source.position(self.index):
                    due_at = source.time_of(following)
                else:
                    due_at = source.time_of(self.index) + source.duration(self.index)
                self.due = now + due_at - heard
            resumed = False
            while self.pending:
                event = self.pending.popleft()
                for command in self.controls.commands(event, self.paused, now,
                                                      self.window.size[0]):
                    result = self.act(command, now)
                    if result is False:
                        return None
                    if result is not None:
                        return result, False
                    resumed = (resumed or command[0] == "pause") and not self.paused
            if resumed and heard is not None:
                # Playing again: the next frame is due by the sound's clock,
                # read again, not at once.
                continue
            if self.landing is not None:
                # On the way to a seek's frame, a little at a time: the
                # events are read between, and a new seek goes on from it.
                if self.source.land(self.landing, LAND_STEP):
                    planes = self.go(self.landing, now, "jumped to")
                    if planes is not None:
                        return planes, False
                elif not self.paused:
                    self.paused_for += time.perf_counter() - now
                continue
            if not self.paused and (self.headless or now >= self.due):
                skipped = self.skip_late(now) if self.drop else 0
                self.index += 1
                planes = self.source.get(self.index)
                # Frames dropped past the end were never there: the last
                # one that is, is shown instead.
                while planes is None and skipped:
                    skipped -= 1
                    self.dropped -= 1
                    self.index -= 1
                    planes = self.source.get(self.index)
                return (planes, True) if planes is not None else None
            wait = KEY_POLL if self.paused else min(KEY_POLL, self.due - now)
            time.sleep(max(wait, 0.0005))

    def start_sound(self):
        """Waits, up to SOUND_START seconds, until the sound queued nearly
        reaches the first frame: some sound servers take a while to begin,
        and the first frame is the sound's to wait for."""
        sound = self.sound
        sound.feed()
        deadline = time.perf_counter() + SOUND_START
        first = self.source.time_of(self.index)
        while sound.clock() < first - KEY_POLL * 4 and time.perf_counter() < deadline:
            sound.feed()
            time.sleep(KEY_POLL)
        self.started = self.due = time.perf_counter()

    def finish_sound(self):
        """After the last frame, lets the sound play to its end, the keys
        read meanwhile: q or escape end it at once."""
        sound = self.sound
        while not sound.done():
            sound.feed()
            for event in display.poll_events():
                now = time.perf_counter()
                for command in self.controls.commands(event, self.paused, now,
                                                      self.window.size[0]):
                    if command[0] == "quit":
                        self.act(command, now)
                        return
                    if command[0] == "pause":
                        self.pause(now)
            time.sleep(KEY_POLL)

    def skip_late(self, now):
        """Drops the frames whose whole time has passed, up to LATE_LIMIT
        of them; how many."""
        most = max(1, int(LATE_LIMIT / self.source.period))
        for skipped in range(most):
            if now < self.due + self.source.duration(self.index + 1):
                return skipped
            self.index += 1
            self.dropped += 1
            self.due += self.source.duration(self.index)
            now = time.perf_counter()
        return most


def headless_wanted(options):
    """Whether to decode as fast as possible, silent: --headless, or SDL's
    dummy video driver chosen outright (as tests and scripts choose it)."""
    return options.headless or os.environ.get("SDL_VIDEODRIVER") == "dummy"


def no_display():
    """Why no window can open, or None: SDL 1.2 shows video through an X
    server, and DISPLAY names none."""
    if os.environ.get("DISPLAY"):
        return None
    return "no display (DISPLAY is not set)"


def open_sound(options, source, headless):
    """The sound of a media file, where it has some and the player is to
    play it (not headless, not --no-audio); None otherwise.  Without a
    sound device, or with sound that cannot be read, it says so in one line
    and the picture plays alone."""
    index = getattr(source, "audio_index", None)
    if headless or options.no_audio or index is None:
        close_idle_sound()
        return None
    try:
        sound = Sound(source.av, source.path, index, options.volume, options.mute,
                      source.start or 0.0)
    except brilox.base.error as e:
        print("%s: no sound device: %s; playing the picture alone" % (PROG, e),
              file=sys.stderr)
        return None
    except (source.av.FFmpegError, OSError) as e:
        print("%s: %s: the sound cannot be read (%s); playing the picture alone"
              % (PROG, source.name, getattr(e, "strerror", None) or e), file=sys.stderr)
        return None
    return sound


def play(options, source):
    """Plays `source` until its end, the frame limit, a quit or a signal;
    returns a Summary."""
    headless = headless_wanted(options)
    missing = None if headless else no_display()
    if missing:
        # No window, but the file still plays at its own pace, with its
        # sound and the status line, until it ends or Ctrl-C.
        print("%s: %s: playing at the file's pace without a picture; --headless plays as "
              "fast as it can, silent" % (PROG, missing), file=sys.stderr)
    if headless or missing:
        os.environ["SDL_VIDEODRIVER"] = "dummy"
    # Window managers, and xdotool search --class, know the window by the
    # program's name rather than the interpreter's.
    os.environ.setdefault("SDL_VIDEO_X11_WMCLASS", PROG)
    limit = options.frames
    if limit is None and headless and options.file is None:
        limit = HEADLESS_PATTERN_FRAMES
    width, height = source.size
    sample_aspect = source.sample_aspect
    if options.aspect:
        sample_aspect = options.aspect / Fraction(width, height)
    shown = display_size(source.size, sample_aspect)
    window = Window(shown, options.window or shown, 0 if headless else display.RESIZABLE,
                    source.size)

    # The sound is queued before the window opens, behind a little silence,
    # to be heard as the window comes up; the first frame then waits for it
    # (start_sound).
    sound = open_sound(options, source, headless)
    overlay = player = None
    try:
        if sound is not None:
            sound.preroll()
            sound.feed()
        display.init()
        window.set_mode()
        display.set_caption("%s: %s" % (PROG, source.name))
        # How this SDL converts colours, from what it shows of known frames.
        probe = colour.probe(source.overlay_format, window.placement()[:2],
                             odd=bool(width % 2 or height % 2))
        # Where SDL shows a picture of an odd size wrong, the overlay is one
        # column or row larger, kept out of sight.
        if not probe.odd_size_ok and source.overlay_format == YV12:
            window.pad = (width % 2, height % 2)
        overlay = Overlay(source.overlay_format, (width + window.pad[0], height + window.pad[1]))
        key.set_repeat(REPEAT_DELAY, REPEAT_INTERVAL)
        player = Player(source, overlay, Controls(),
                        Status(sys.stderr, source.count, source.length), headless, window,
                        not options.no_drop, options.range, probe, sound)
        player.locate()
        stopped = None
        try:
            step = source.get(0), True
            if sound is not None:
                player.start_sound()
            while step is not None and step[0] is not None:
                player.show(*step)
                if limit is not None and player.shown >= limit:
                    break
                step = player.advance()
                if step is None and sound is not None and not player.quitting:
                    player.finish_sound()
        except (Stopped, KeyboardInterrupt) as e:
            # The signal may come between putting a frame up and flipping
            # it.  Flip it now: some SDL builds hang freeing an overlay whose
            # frame is still waiting to be shown.
            display.flip()
            stopped = e if isinstance(e, Stopped) else Stopped(signal.SIGINT)
            stopped.frame = player.number()
        summary = Summary(player.played, player.playing_time(time.perf_counter()),
                          player.upload, player.stepped, player.dropped, stopped)
        summary.largest_gap = player.largest_gap
        player.status.close()
        if options.screenshot and player.shown:
            try:
                save_screenshot(options.screenshot, player.last, source, window.placement(),
                                window.size, player.levels(), probe, player.matrix())
            except OSError as e:
                summary.screenshot_error = e.strerror or str(e)
    finally:
        overlay = player = None
        if sound is not None:
            sound.close()
        display.quit()
    problem = source.problem()
    if problem:
        print("%s: %s: %s" % (PROG, source.name, problem), file=sys.stderr)
    return summary
