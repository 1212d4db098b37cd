"""The player: a desktop shell over a Video, which shows a source's frames
in a window at their times; steered by keys, with a status line
meanwhile."""

import collections
import math
import os
from fractions import Fraction
import signal
import sys
import time

import brilox.base
import brilox.display as display
import brilox.key as key
from brilox.play import chapters, screenshot
from brilox.play.abloop import ABLoop
from brilox.media import pipeline
from brilox.media.clock import LONGEST_DELAY
from brilox.play.controls import KEY_POLL, REPEAT_DELAY, REPEAT_INTERVAL, Controls
from brilox.play.exits import Stopped
from brilox.media.frames import BadInput, display_size
from brilox.play.exits import PROG
from brilox.media.pipeline import fit
from brilox.media.sound import FASTEST, SLOWEST, Sound
from brilox.media.sound import cool_down as close_idle_sound
from brilox.play.status import Status, Summary
from brilox.media.seek import AFTER, AsFarBack, Landed, NoEnd, NoFrame
from brilox.media.video import Video

HEADLESS_PATTERN_FRAMES = 300
# What a speed key multiplies or divides the speed by.
SPEED_STEP = 1.1
# Seconds the on-screen display stays after an event, and after its key.
OSD_SECONDS, OSD_KEY_SECONDS = 1.5, 3.0
# Seconds a delay key moves the sound or the subtitles by.
DELAY_STEP = 0.1


def save_screenshot(path, picture, placement, window, probe):
    """Saves what the window shows, once the last frame is up: `picture`
    (the frame at the end of its pipeline) shown at `placement` (x, y, w, h)
    in a window of size `window`.  The display surface where the probe
    found that it holds the video; elsewhere the frame rendered to RGB by
    FFmpeg's scaler, which needs PyAV: without it the display surface is
    all there is."""
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
        frame = pipeline.av_frame(picture)
    screenshot.save(path, window=window, placement=placement, surface_holds_video=from_surface,
                    frame=frame, source_range=picture.reads_as.levels,
                    matrix=picture.reads_as.matrix)


class Window:
    """The display: its size and window flags, and where the video goes in
    it, by its display size (`video`), which has the shape it is shown in.
    The mode keeps its depth through resizes and full-screen switches,
    which keeps the overlay working."""

    DEPTH = 32

    def __init__(self, video_size, size, flags):
        self.video, self.size, self.flags = video_size, size, flags
        self.windowed = size

    def set_mode(self):
        display.set_mode(self.size, self.DEPTH, self.flags)

    def placement(self):
        """Where the picture is shown: the largest rectangle of its shape
        inside the window, centred."""
        return fit(*self.video, *self.size)

    def resize(self, width, height):
        """Whether the size changed."""
        if (width, height) == self.size or width <= 0 or height <= 0:
            return False
        self.size = self.windowed = (width, height)
        self.set_mode()
        return True

    def start_full(self):
        """Full screen from the first mode on, at the desktop's size where
        SDL tells it: a window put up first and then made full screen stays
        where it was put, its corner off the screen's, where no window
        manager moves it (SDL 2 on X)."""
        self.flags |= display.FULLSCREEN
        desktop = display.get_desktop_size()
        if all(desktop):
            self.size = desktop

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


class Player:
    """The desktop shell over a Video: its window, keys, status line and
    screenshots.  The Video decodes, keeps time and puts frames up; the
    player steers it by the controls and says what happens."""

    def __init__(self, video, controls, status, window, headless=False):
        self.video, self.controls, self.status, self.window = video, controls, status, window
        self.source = video.source
        self.headless = headless
        # The largest gap between picture and sound seen while playing on,
        # and whether the last frame was played on from the one before (not
        # the first after a start, pause, step or seek).
        self.largest_gap = None
        self.playing_on = False
        self.sound_said = False
        self.paused = False
        # When the first frame of play went up, with its time on the clock's
        # line; and when play began, the moment the line reached that frame
        # (told by the next frame played on from it).  A first frame held
        # while the sound server wakes is not playing.
        self.first = self.started = None
        self.paused_for = 0.0
        self.paused_at = None
        # Whether a quit was asked for (q, escape, the window closed): the
        # player then ends at once, with no sound left to play.
        self.quitting = False
        # Events read off SDL's queue and not yet acted on: a step or a seek
        # shows its frame before the events after it are seen to.
        self.pending = collections.deque()
        self.moving = False
        self.moved_at = 0.0
        self.uploaded = 0.0
        # What the next landing of a seek is said as, where not "jumped to
        # frame %d" (a chapter's name).
        self.landing = None
        # Whether a key went to the last frame: the end it reaches then is
        # held, not the end of play, until the next key moves on.
        self.held = False
        # The file's place among those played (a playlist.Turn), and how
        # play ended where not at the end: "next" or "previous" (file),
        # "quit", or "remember" (quit, the place kept).
        self.turn, self.then = None, None
        # 0: nothing is shown over the picture; 1: what a key did, for a while.
        self.osd_level = 1
        self.abloop = ABLoop()

    @property
    def played(self):
        return self.video.played

    @property
    def stepped(self):
        return self.video.stepped

    @property
    def dropped(self):
        return self.video.dropped

    @property
    def shown(self):
        return self.played + self.stepped

    def playing_time(self, now):
        """Seconds since play began at the first frame, less the time spent
        paused."""
        self.begin()
        if self.started is None:
            return 0.0
        paused = self.paused_for + (now - self.paused_at if self.paused else 0.0)
        return max(0.0, now - self.started - paused)

    def begin(self, at=None):
        """Play began at `at`; else, where a pause, a seek or the end comes
        before a second frame of play, when the first went up."""
        if self.started is None and self.first is not None:
            self.started = self.first[0] if at is None else max(self.first[0], at)

    def number(self):
        return self.video.frame or 0

    def locate(self):
        """Puts the video where the window shows it."""
        self.video.set_location(self.window.placement())

    def shown_frame(self, now):
        """Says a frame just put up, and shows the window."""
        video, source = self.video, self.source
        playing = video.playing and video.last_kind == "frame"
        display.flip()
        if playing and self.first is None:
            self.first, self.paused_for = (now, video.shown_at), 0.0
        elif playing and self.started is None:
            # The line reached the first frame as long before this one as
            # their times on it are apart.
            self.begin(now - (video.shown_at - self.first[1]) / video.speed)
            self.status.restart()
        upload, self.uploaded = video.upload - self.uploaded, video.upload
        self.status.dropped, self.status.skipped_late = video.dropped, video.skipped_late
        # A file that ends early tells its true total and length then.
        if getattr(source, "short", None):
            self.status.count, self.status.length = source.count, source.length
        self.status.sound = self.sound_words(playing)
        marks = source.chapters
        here = chapters.chapter_at(marks, video.position) if marks else -1
        self.status.chapter = chapters.name(marks, here) if here >= 0 else None
        self.status.frame(self.number(), video.position, upload, now, self.paused, playing)

    def heard(self):
        """The time of the sound heard now, where the sound is the clock: it
        plays, and has not run out.  Sound that stops on an error is said
        once, and the picture plays on by the system clock."""
        sound = self.video.sound
        if sound is None:
            return None
        if sound.error and not self.sound_said:
            self.sound_said = True
            self.status.line("%s: %s: %s" % (PROG, self.source.name, sound.error))
        if sound.done():
            return None
        return sound.clock()

    def sound_words(self, playing):
        """The status line's words on the sound: the picture's time less the
        sound's (A-V), the volume or mute.  A-V is counted towards the
        largest seen from the second frame played on after a start, pause,
        step or seek."""
        sound = self.video.sound
        if sound is None:
            return None
        heard = self.heard()
        words = []
        if heard is not None:
            # Less the delay asked for: what is off beyond it.
            gap = self.video.shown_at - heard - self.video.audio_delay
            words.append("A-V %+.3f" % gap)
            if playing and self.playing_on and (self.largest_gap is None
                                             or abs(gap) > abs(self.largest_gap)):
                self.largest_gap = gap
            self.playing_on = playing
        words.append("muted" if sound.muted() else "vol %d%%" % sound.volume())
        return "  ".join(words)

    def event(self, text, now, shown=None):
        """Says what a key did: `text` (a format for the frame's number,
        where it has "%d") on the status line, and `shown` (where not None)
        over the picture."""
        self.say(text % self.number() if "%d" in text else text, now)
        if shown is not None:
            self.osd_say(shown)

    def say(self, text, now):
        """Says what happened, on a line of its own: every word the player
        says while it plays comes through here."""
        self.status.event(text, self.number(), self.video.position, now, self.paused)

    def osd_say(self, message, seconds=OSD_SECONDS):
        """Shows `message` over the top of the picture (None: the one shown
        while it is), and the position bar, for `seconds`; nothing at
        --osd-level 0 or headless."""
        if self.osd_level > 0 and not self.headless:
            self.video.show_text(message, seconds, bar=True)

    def pause(self, now):
        self.begin()
        self.paused = not self.paused
        self.status.restart()
        if self.paused:
            self.paused_at = now
            self.video.pause()
        else:
            self.paused_for += now - self.paused_at
            self.video.play()
        self.playing_on = False
        self.event("paused at frame %d" if self.paused else "playing from frame %d", now,
                   "Paused" if self.paused else "Playing")

    def go(self, kind, target, now):
        """Asks the video for a step or a seek; its frame shows before the
        events after it are seen to."""
        video = self.video
        self.begin()
        self.landing, held, self.held = None, video.finished and self.held, kind == "last"
        if kind == "step":
            video.step(target - video.index)
        elif kind == "last":
            video.seek_last()
        else:
            video.seek_frame(target)
        if held and not self.paused:
            # Play went on to the held end and stopped there: on again.
            video.play()
        self.status.restart()
        self.playing_on = False
        self.moving = True
        self.moved_at = now
        # The bar shows where it goes; the message line stays while it shows.
        self.osd_say(None)

    def arrived(self, now):
        """A step's or a seek's frame is up (or said not to be there): the
        time it took is not playing time."""
        if self.moving and not self.paused:
            self.paused_for += max(0.0, time.perf_counter() - self.moved_at)
        self.moving = False

    def act(self, command, now):
        """Carries out a command; False to quit."""
        kind, source, video = command[0], self.source, self.video
        if kind == "quit":
            self.quitting = True
            self.then = "remember" if command[1] == "remember" else "quit"
            self.event("window closed at frame %d" if command[1] == "window closed" else
                       "quit at frame %d, the place kept" if self.then == "remember" else
                       "quit at frame %d", now)
            return False
        if kind == "file":
            return self.other_file(command[1], now)
        if kind == "pause":
            self.pause(now)
        elif kind == "step":
            if not self.paused:
                self.pause(now)
            self.go("step", video.index + command[1], now)
        elif kind == "seek":
            # Seeks made one after another go on from the frame sought last.
            base = video.aim
            seconds = max(0.0, video.time_of(base) + command[1])
            if source.length is not None:
                seconds = min(seconds, source.length)
            target = source.index_at(seconds, base)
            if command[1] > 0 and target <= base:
                target = base + 1
            # A jump at or past the end lands on the last frame, and holds
            # there; in a list, it goes on to the next file (not a chapter
            # key's, which holds).
            past = command[1] > 0 and (
                source.length is not None and seconds > source.length - source.period / 2
                or source.count is not None and target >= base - source.position(base)
                + source.count - 1)
            if past and len(command) == 2 and self.turn is not None and self.turn.onward \
                    and not video.loop:
                return self.other_file(1, now)
            self.go("seek", target, now)
            self.held = past
        elif kind == "chapter":
            self.chapter(command[1], now)
        elif kind == "seek_to":
            # The start is always there; any other fraction needs the length.
            if command[1] == 0:
                self.go("seek", source.index_at(0.0, video.index), now)
            elif source.length is None:
                self.event("no end to go to: the length is not known (frame %d)", now)
            elif command[1] < 1:
                self.go("seek", source.index_at(command[1] * source.length, video.index), now)
            else:
                self.go("last", None, now)
        elif kind in ("mute", "volume", "next_audio"):
            self.sound_command(kind, command, now)
        elif kind == "next_subtitle":
            label = video.next_subtitle()[1]
            said = "subtitles " + label if video.subtitles else "no subtitles"
            self.event(said.replace("%", "%%") + " at frame %d", now, subtitle_words(video))
        elif kind == "speed":
            speed = 1.0 if command[1] == 0 else video.speed * SPEED_STEP ** command[1]
            # Rounded, so that steps up and down come back to 1 exactly.
            video.speed = self.status.speed = min(FASTEST, max(SLOWEST, round(speed, 6)))
            self.playing_on = False
            self.event("speed %.2fx at frame %%d" % video.speed, now, "Speed %.2fx" % video.speed)
        elif kind == "osd":
            here = chapters.chapter_at(source.chapters, video.position) if source.chapters else -1
            self.osd_say(capital(chapters.name(source.chapters, here)) if here >= 0
                         else source.name, OSD_KEY_SECONDS)
        elif kind == "next_video":
            self.next_video(now)
        elif kind in ("audio_delay", "sub_delay"):
            self.delay(kind, command[1], now)
        elif kind == "ab_loop":
            said = self.abloop.press(video.index, video.position)
            self.status.loop = self.abloop.words()
            video.span = self.abloop.span()
            self.event(said, now, said)
        elif kind == "screenshot":
            self.screenshot(now)
        elif kind in ("fullscreen", "resize"):
            if kind == "resize" and not self.window.resize(*command[1:]):
                return None
            if kind == "fullscreen":
                said = ("full screen" if self.window.toggle_fullscreen() else "windowed")
            else:
                said = "resized to %dx%d" % self.window.size
            self.locate()
            # The new mode's surface is blank until the frame is shown again.
            video.redraw()
            display.flip()
            self.event(said + " at frame %d", now)
        return None

    def delay(self, kind, steps, now):
        """Moves the sound or the subtitles a step later (`steps` 1) or
        earlier (-1) against the picture, and says where they are now."""
        video = self.video
        if kind == "audio_delay" and video.sound is None:
            self.event("no sound (frame %d)", now)
            return
        if kind == "sub_delay" and not video.subtitles:
            self.event("no subtitles (frame %d)", now)
            return
        name = "audio_delay" if kind == "audio_delay" else "subtitle_delay"
        # Rounded, so that steps back and forth come back to 0 exactly.
        moved = round(getattr(video, name) + steps * DELAY_STEP, 6)
        setattr(video, name, min(LONGEST_DELAY, max(-LONGEST_DELAY, moved)))
        self.status.audio_delay, self.status.subtitle_delay = (video.audio_delay,
                                                               video.subtitle_delay)
        self.playing_on = False
        said = "%s delay %d ms" % ("Audio" if kind == "audio_delay" else "Subtitle",
                                   round(getattr(video, name) * 1000))
        self.event(said, now, said)

    def span_left(self):
        """The marks go where a seek past B cleared the video's span."""
        if self.abloop.b is not None and self.video.span is None:
            self.abloop.a = self.abloop.b = None
            self.status.loop = None

    def screenshot(self, now):
        """Saves the frame up as the window shows it, with its subtitles,
        as the first free brilox-play-NNNN.png in the current folder."""
        video = self.video
        if video.picture is None:
            return
        path = screenshot.free_name(os.getcwd())
        try:
            save_screenshot(path, video.picture, self.window.placement(), self.window.size,
                            video.probe)
        except OSError as e:
            said = "screenshot %s not saved: %s" % (path, e.strerror or e)
        else:
            said = "screenshot %s" % os.path.basename(path)
        self.event(said.replace("%", "%%") + " at frame %d", now)

    def chapter(self, direction, now):
        """Goes to the first frame at or after the next chapter's start, or
        back (see brilox.play.chapters); with no chapters, 10 minutes on or
        back, held at the start and the end."""
        marks, video, source = self.source.chapters, self.video, self.source
        if not marks:
            self.act(("seek", 600 * direction, "held"), now)
            return
        base = video.aim
        to = chapters.chapter_to(marks, video.time_of(base), direction)
        if to is None:
            here = chapters.name(marks, len(marks) - 1)
            self.event("no chapter after " + here.replace("%", "%%") + " (frame %d)", now,
                       "No chapter after " + here)
            return
        start = marks[to][0] if to >= 0 else 0.0
        # The first frame at or after the start: a frame's time is its
        # number's periods from the first frame's.
        local = max(0, math.ceil(start / source.period - 1e-3))
        if source.count:
            local = min(local, source.count - 1)
        self.go("seek", base - source.position(base) + local, now)
        self.landing = chapters.name(marks, to).replace("%", "%%") if to >= 0 else None
        self.osd_say(capital(chapters.name(marks, to)) if to >= 0 else "Start")

    def other_file(self, direction, now):
        """Ends play of this file for the next of the list, or the one
        before, where there is one; False to end."""
        turn = self.turn
        if turn is None or not (turn.onward if direction > 0 else turn.back):
            self.event("no file after this one (frame %d)" if direction > 0 else
                       "no file before this one (frame %d)", now)
            return None
        self.then = "next" if direction > 0 else "previous"
        return False

    def next_video(self, now):
        """Plays the file's next video stream from the time up, in the
        window's place for its own shape."""
        source = self.source
        streams = getattr(source, "video_streams", None) or []
        if len(streams) < 2:
            self.event("only one video stream (frame %d)", now)
            return
        following = streams[(streams.index(source.stream.index) + 1) % len(streams)]
        number, position = self.number(), self.video.position
        try:
            self.video.next_video(following)
        except BadInput as e:
            self.event(("video stream %d: %s" % (following, e)).replace("%", "%%")
                       + " (frame %d)", now)
            return
        self.source = source = self.video.source
        self.status.count, self.status.length = source.count, source.length
        self.window.video = self.video.size
        self.locate()
        self.playing_on = False
        self.status.restart()
        # Said at the frame it switched from.
        self.status.event("video stream %d at frame %d" % (following, number), number,
                          position, now, self.paused)
        self.osd_say("Video: %d/%d" % (streams.index(following) + 1, len(streams)))

    def sound_command(self, kind, command, now):
        sound = self.video.sound
        if sound is None:
            self.event("no sound (frame %d)", now, "No sound")
            return
        if kind == "mute":
            said = "muted" if sound.toggle_mute() else "sound on"
        elif kind == "volume":
            said = "volume %d%%" % sound.step_volume(command[1])
        else:
            streams = self.source.audio_streams
            following = streams[(streams.index(sound.index) + 1) % len(streams)]
            self.video.next_audio(following)
            said = "audio stream %d" % following
            shown = "Audio: %d/%d" % (streams.index(following) + 1, len(streams))
            self.playing_on = False
        # The event's text is a format for the frame's number.
        self.event(said.replace("%", "%%") + " at frame %d", now,
                   shown if kind == "next_audio" else capital(said))

    def run(self, limit=None):
        """Plays until the end, the frame limit or a quit.  The events are
        read every few milliseconds; SDL's queue keeps every press however
        long a frame took."""
        video = self.video
        while True:
            if not self.pending:
                self.pending.extend(display.poll_events())
            now = time.perf_counter()
            while self.pending and not self.moving:
                event = self.pending.popleft()
                for command in self.controls.commands(event, self.paused, now,
                                                      self.window.size[0]):
                    if self.act(command, now) is False:
                        return
            self.span_left()
            if video.update():
                self.arrived(now)
                self.shown_frame(now)
                if limit is not None and self.shown >= limit:
                    return
            elif video.redrawn:
                # The text over the picture came, changed or went.
                video.redrawn = False
                display.flip()
            while video.notes:
                self.arrived(now)
                note, landing, self.landing = video.notes.popleft(), self.landing, None
                self.event(landing + " at frame %d" if landing and isinstance(note, Landed)
                           else note_text(note), now)
            if video.finished and not self.held:
                return
            if not video.caught_up():
                # The decoder is behind: wait for it, not for the clock.
                video.wait(KEY_POLL)
                continue
            due = video.due_in()
            wait = KEY_POLL if self.paused or due is None else min(KEY_POLL, due)
            time.sleep(max(wait, 0.0005))


def begin_turn(player, turn):
    """Says the file's place in the list, and goes to its start."""
    player.status.item = turn.label
    now = time.perf_counter()
    for text in turn.said:
        player.say(text, now)
    if turn.label:
        player.osd_say(turn.label)
    if turn.start:
        player.video.seek(turn.start)


def capital(words):
    """Words as they begin a line over the picture."""
    return words[:1].upper() + words[1:]


def subtitle_words(video):
    """What the display says of the subtitles chosen: "Subtitles: 2/3 eng",
    a file's name, or "Subtitles: off"."""
    choices, chosen = video.subtitles, video.subtitle
    if not choices:
        return "No subtitles"
    if chosen is None:
        return "Subtitles: off"
    name = os.path.basename(chosen) if isinstance(chosen, str) else ""
    container = getattr(video.source, "container", None)
    if isinstance(chosen, int) and container is not None:
        metadata = container.streams[chosen].metadata or {}
        name = metadata.get("title") or metadata.get("language") or ""
    return ("Subtitles: %d/%d %s" % (choices.index(chosen) + 1, len(choices), name)).rstrip()


def note_text(note):
    """What the status line says of a seek machine's note; "%d" is the frame up."""
    if isinstance(note, Landed):
        return "stepped to frame %d" if note.kind == "step" else "jumped to frame %d"
    if isinstance(note, AsFarBack):
        return ("frame %%d is as far back as this can go: only the last %d frames are kept"
                % note.kept)
    if isinstance(note, NoFrame):
        return "no frame after frame %d" if note.direction == AFTER else "no frame before frame %d"
    if isinstance(note, NoEnd):
        return "no end to go to: the length is not known (frame %d)"
    raise TypeError("not a seek note: %r" % (note,))


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


# Lines the player says once a run, however many files meet what they say.
SAID_ONCE = set()


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
        line = "%s: no sound device: %s; playing the picture alone" % (PROG, e)
        if line not in SAID_ONCE:
            # Each file of a list meets the same missing device: said once.
            SAID_ONCE.add(line)
            print(line, file=sys.stderr)
        return None
    except (source.av.FFmpegError, OSError) as e:
        print("%s: %s: the sound cannot be read (%s); playing the picture alone"
              % (PROG, source.name, getattr(e, "strerror", None) or e), file=sys.stderr)
        return None
    return sound


def play(options, source, turn=None):
    """Plays `source` until its end, the frame limit, a quit or a signal;
    returns a Summary.  As one `turn` of a list (a playlist.Turn), the
    display stays up for the next file, and its window refits to it."""
    headless = headless_wanted(options)
    missing = None if headless else no_display()
    if missing and (turn is None or turn.first):
        # No window, but the file still plays at its own pace, with its
        # sound and the status line, until it ends or Ctrl-C.
        print("%s: %s: playing at the file's pace without a picture; --headless plays as "
              "fast as it can, silent" % (PROG, missing), file=sys.stderr)
    driver = os.environ.get("SDL_VIDEODRIVER")
    if headless or missing:
        os.environ["SDL_VIDEODRIVER"] = "dummy"
    # Window managers, and xdotool search --class, know the window by the
    # program's name rather than the interpreter's.
    os.environ.setdefault("SDL_VIDEO_X11_WMCLASS", PROG)
    limit = options.frames
    if limit is None and headless and options.file is None:
        limit = HEADLESS_PATTERN_FRAMES
    if options.aspect:
        source.sample_aspect = options.aspect / Fraction(*source.size)
    shown = display_size(source.size, source.sample_aspect)
    window = Window(shown, options.window or shown, 0 if headless else display.RESIZABLE)

    # The sound is queued before the window opens, behind a little silence,
    # to be heard as the window comes up; the first frame shows as soon as
    # it is decoded, and the next ones when the sound reaches them.
    sound = open_sound(options, source, headless)
    video = problem = None
    try:
        if sound is not None:
            sound.speed = options.speed
            sound.preroll()
            sound.feed()
        video = Video.over(source, sound, loop=options.loop,
                           pace=not headless, drop=not options.no_drop and not headless,
                           range_choice=options.range, reshow=False, speed=options.speed,
                           sub_file=getattr(options, "sub", None),
                           subtitle_stream=getattr(options, "subtitle_stream", None))
        display.init()
        if getattr(options, "fullscreen", False) and not headless:
            window.start_full()
        window.set_mode()
        display.set_caption("%s: %s" % (PROG, source.name))
        key.set_repeat(REPEAT_DELAY, REPEAT_INTERVAL)
        player = Player(video, Controls(), Status(sys.stderr, source.count, source.length),
                        window, headless)
        player.turn = turn
        # Subtitles that cannot be shown are said a line each, as the
        # player says other such things.
        video.on_warning = lambda text: player.status.line("%s: %s" % (PROG, text))
        player.status.speed = options.speed
        player.osd_level = getattr(options, "osd_level", 1)
        if getattr(options, "audio_delay", 0.0) or getattr(options, "sub_delay", 0.0):
            video.audio_delay, video.subtitle_delay = options.audio_delay, options.sub_delay
            player.status.audio_delay = video.audio_delay
            player.status.subtitle_delay = video.subtitle_delay
        player.locate()
        if turn is not None:
            begin_turn(player, turn)
        video.play()
        stopped = None
        try:
            player.run(limit)
        except (Stopped, KeyboardInterrupt) as e:
            # The signal may come between putting a frame up and flipping
            # it.  Flip it now: some SDL builds hang freeing an overlay whose
            # frame is still waiting to be shown.
            display.flip()
            stopped = e if isinstance(e, Stopped) else Stopped(signal.SIGINT)
            stopped.frame = player.number()
        summary = Summary(player.played, player.playing_time(time.perf_counter()),
                          video.upload, player.stepped, player.dropped, stopped)
        summary.largest_gap, summary.skipped_late = player.largest_gap, video.skipped_late
        summary.skipped = getattr(video.source, "skipped", 0)
        summary.then, summary.position = player.then, video.position
        summary.finished = video.finished
        summary.fullscreen = bool(window.flags & display.FULLSCREEN)
        player.status.close()
        if options.screenshot and player.shown:
            # What the window shows of the video, without the display over it
            # (presented again, where SDL shows overlays only when it presents).
            if video.bare():
                display.flip()
            try:
                save_screenshot(options.screenshot, video.picture, window.placement(),
                                window.size, video.probe)
            except OSError as e:
                summary.screenshot_error = e.strerror or str(e)
    finally:
        if video is not None:
            problem = video.problem
            video.close(keep_source=True)
        elif sound is not None:
            sound.close()
        if turn is None:
            display.quit()
        elif missing and driver is None:
            # The next file is not headless for it.
            del os.environ["SDL_VIDEODRIVER"]
        elif missing:
            os.environ["SDL_VIDEODRIVER"] = driver
    if problem:
        print("%s: %s: %s" % (PROG, source.name, problem), file=sys.stderr)
    return summary
