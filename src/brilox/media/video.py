"""Video with sound inside a game's own loop.

A `Video` plays a file on the display the game set up.  A thread of its
own decodes ahead into a small queue: frames go through their pipeline
(turned upright, colours made right for SDL, padded) on that thread, which
also keeps the sound fed.  The game calls `update()` once per frame of its
loop; it puts up the frame that is due by the clock (the sound's where
there is sound, else the system's) and never waits on the decoder::

    display.init()
    display.set_mode((1280, 720))
    with Video("intro.mp4") as video:
        video.play()
        while not video.finished:
            if video.update():
                display.flip()
            ...                       # the game's own work, events, a frame cap

Seeks are exact, to the frame, and show while paused too; a looping video
goes on from its start with no gap; `speed` plays it faster or slower, the
sound's pitch kept; `rgb()` gives the frame up as a numpy
array for games that draw video into their own surfaces.
"""

import atexit
import collections
import errno
import math
import os
import time
import warnings
import weakref

import brilox.base
import brilox.display as display
from brilox.overlay import Overlay
from brilox.media import colour, pipeline
from brilox.media.decoder import AHEAD_BYTES, AHEAD_MAX, AHEAD_MIN, END, FEED_EVERY, FRAME, \
    GLIMPSE, NOTE, SOUGHT, Decoder
from brilox.media.frames import BadInput, display_size
from brilox.media.notes import SubtitleWarning
from brilox.media.subtitles import open_subtitles

# The longest the picture waits for the sound to begin (some sound servers
# take a while), after which it goes on by the system clock.
SOUND_START = 3.0
# How far ahead of the sound the first frame may go up, in seconds.
SOUND_AHEAD = 0.02
# Later than this (seconds) by the system clock, the beat starts again from
# the frame due rather than drop more: at most this much is skipped at once.
LATE_LIMIT = 1.0
# Waits for the decoder in real time, whatever clock paces the frames.
_monotonic = time.monotonic
_open_videos = weakref.WeakSet()
# What each overlay format and picture shape showed of SDL's conversion, by
# (overlay format, odd size asked, display size).
_probes = {}


class Video:
    """A video file (or raw frames) played on the display the game set up,
    through an overlay of its own.  See the module's documentation."""

    def __init__(self, file, *, sound=True, loop=False, start=0.0, end_event=None, size=None,
                 format=None, fps=None, channel=None, speed=1.0, sub_file=None,
                 subtitle_stream=None):
        path = os.fspath(file)
        if not isinstance(path, str):
            path = os.fsdecode(path)
        if not os.path.exists(path):
            raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), path)
        check_end_event(end_event)
        start = check_time(start, "start")
        speed = check_speed(speed)
        from brilox.media.sources.media import open_media
        from brilox.media.sources.raw import open_raw
        try:
            if size is not None or format is not None:
                if size is None:
                    raise BadInput("%s: raw frames need a size" % path)
                source = open_raw(path, format or "i420", tuple(size), fps or 30.0, loop)
            else:
                source = open_media(path, loop)
        except BadInput as e:
            raise brilox.base.error(str(e)) from None
        heard = None
        try:
            subtitles = open_subtitles(source, path, sub_file, subtitle_stream)
        except BadInput as e:
            source.close()
            raise brilox.base.error(str(e)) from None
        try:
            heard = self._open_sound(source, path, channel) if sound else None
            if heard is not None:
                heard.speed = speed
                # A little silence ahead of the sound, while the device gets
                # going.
                heard.preroll()
            self._setup(source, heard, loop=loop, end_event=end_event, subtitles=subtitles)
        except BaseException:
            if heard is not None and getattr(self, "sound", None) is None:
                heard.close()
            source.close()
            raise
        self.speed = speed
        if start:
            self.seek(start)

    @classmethod
    def over(cls, source, sound=None, *, loop=False, pace=True, drop=True, range_choice="auto",
             reshow=True, speed=1.0, sub_file=None, subtitle_stream=None):
        """A Video of frames from a source already open (a frames
        source), with its Sound (which the Video then owns) or none.
        `pace` False shows each frame as soon as it is decoded; `drop`
        False shows every frame, late if need be; `reshow` False leaves the
        frame up alone when no new one goes up (for a program that flips
        only after new frames).  `sub_file` and `subtitle_stream` as for a
        Video of a file; BadInput for a stream that is no subtitle stream."""
        subtitles = open_subtitles(source, getattr(source, "path", None), sub_file,
                                   subtitle_stream)
        video = cls.__new__(cls)
        video._setup(source, sound, loop=loop, pace=pace, drop=drop, range_choice=range_choice,
                     subtitles=subtitles)
        video._reshow = reshow
        video.speed = speed
        return video

    def _open_sound(self, source, path, channel):
        """The file's sound on a channel of the sound device of its own (the
        one given, else a free one), where it has sound; None otherwise."""
        import brilox.sound as device
        index = getattr(source, "audio_index", None)
        if index is None:
            return None
        if channel is None:
            if device.get_init():
                channel = device.find_channel()
            else:
                channel = next((device.Channel(n) for n in range(1, 16)
                                if not device.Channel(n).reserved), None)
            if channel is None:
                return None
        elif not isinstance(channel, device.Channel):
            channel = device.Channel(channel)
        from brilox.media.sound import Sound
        try:
            sound = Sound(source.av, path, index, origin=source.start or 0.0, channel=channel)
        except brilox.base.error:
            return None
        except (source.av.FFmpegError, OSError):
            return None
        return sound

    def _setup(self, source, sound, *, loop=False, end_event=None, pace=True, drop=True,
               range_choice="auto", subtitles=None):
        self._closed = True
        self.source, self.sound = source, sound
        self._subtitles = subtitles
        # Where subtitles that cannot be shown are said, a line each: a
        # SubtitleWarning where this is None.
        self.on_warning = None
        if sound is not None:
            sound.pause(True)
            if loop and source.length:
                sound.loop_length = source.length
        self._end_event = end_event
        self._pace, self._drop = pace, drop
        self._reshow = True
        frame_bytes = 2 * source.size[0] * source.size[1]
        self._decoder = Decoder(source, sound, loop, range_choice,
                                max(AHEAD_MIN, min(AHEAD_MAX, AHEAD_BYTES // frame_bytes)))
        self._decoder.subtitles = subtitles
        self._loop = loop
        self._overlay = None
        self._rect = None
        self._placed = None
        self._beside = []
        self._probe = None
        self._up = None
        self._gen = 0
        self._aim = None
        self._playing = False
        self._finished = False
        self._landing = False
        self._clock_base = self._paused_clock = None
        self._speed = 1.0
        self._sound_wait = None
        self._heard = None
        self.said = collections.deque()
        self.played = self.stepped = self.dropped = 0
        self.upload = 0.0
        self._closed = False
        _open_videos.add(self)
        self._decoder.thread.start()

    # --- state ------------------------------------------------------------

    def _check(self):
        if self._closed:
            raise ValueError("the video is closed")

    @property
    def size(self):
        """(width, height) as shown: display aspect and rotation applied."""
        self._check()
        return display_size(self.source.size, self.source.sample_aspect)

    @property
    def duration(self):
        """Seconds, or None where the file does not tell."""
        self._check()
        return self.source.length

    @property
    def frame_rate(self):
        """Frames a second."""
        self._check()
        return 1.0 / self.source.period

    @property
    def has_sound(self):
        """Whether its sound plays (a file with sound, sound=True, and a
        channel of the sound device free for it)."""
        self._check()
        return self.sound is not None

    @property
    def position(self):
        """The time (seconds into its pass) of the frame up; before any,
        where play starts."""
        self._check()
        if self._up is None:
            return self.source.time_of(self._aim or 0)
        return self._up.time

    @property
    def frame(self):
        """The number of the frame up (within its pass), or None."""
        return None if self._up is None else self._up.number

    @property
    def index(self):
        """The source's index of the frame up (counting on through a loop)."""
        return 0 if self._up is None else self._up.index

    @property
    def playing(self):
        """Whether it plays: after play(), until pause() or the end."""
        self._check()
        return self._playing

    @property
    def finished(self):
        """Whether it played to its end (never, while it loops)."""
        self._check()
        return self._finished

    @property
    def loop(self):
        """Whether it goes on from the start at its end, with no gap."""
        self._check()
        return self._loop

    @loop.setter
    def loop(self, value):
        self._check()
        if bool(value) != self._loop:
            if not hasattr(self.source, "loop") or not getattr(self.source, "seekable", True):
                raise ValueError("this video cannot loop: it cannot be played again")
            self._loop = self.source.loop = self._decoder.loop = bool(value)
            if self.sound is not None:
                self.sound.loop_length = self.source.length if value else None

    @property
    def speed(self):
        """How fast it plays: 1.0 at its own pace, from 0.25 to 4.0.  The
        sound keeps its pitch; a change is heard once the sound already
        queued (half a second) has played."""
        self._check()
        return self._speed

    @speed.setter
    def speed(self, value):
        self._check()
        value = check_speed(value)
        now = time.perf_counter()
        if self._clock_base is not None:
            # The system clock's line goes on from where it stands.
            self._clock_base = (self._clock_base[0] + (now - self._clock_base[1]) * self._speed,
                                now)
        if self._heard is not None:
            self._heard = (self._heard[0] + (now - self._heard[1]) * self._speed, now)
        self._speed = value
        if self.sound is not None:
            self.sound.speed = value

    @property
    def volume(self):
        """The sound's volume, 0 to 100 (kept within them)."""
        self._check()
        return 0 if self.sound is None else self.sound.level

    @volume.setter
    def volume(self, percent):
        self._check()
        percent = float(percent)
        if math.isnan(percent):
            raise ValueError("volume must be a number from 0 to 100")
        if self.sound is not None:
            self.sound.set_volume(percent)

    @property
    def muted(self):
        """Whether the sound is muted."""
        self._check()
        return self.sound is not None and self.sound.muted()

    @muted.setter
    def muted(self, flag):
        self._check()
        if self.sound is not None and bool(flag) != self.sound.muted():
            self.sound.toggle_mute()

    @property
    def problem(self):
        """Why decoding stopped early, or None."""
        return self._decoder.error or self.source.problem()

    # --- control ----------------------------------------------------------

    def play(self):
        """Plays from the frame up (from the start after the end)."""
        self._check()
        if self._playing:
            return
        if self._finished:
            self._finished = False
            self.seek(0.0)
        self._playing = True
        now = time.perf_counter()
        if self._up is not None:
            paused_at = self._up.at if self._paused_clock is None else self._paused_clock
            self._clock_base = (paused_at, now)
        self._sound_wait = now + SOUND_START
        if self.sound is not None:
            self.sound.pause(False)

    def pause(self):
        """Pauses; the frame up stays up."""
        self._check()
        if not self._playing:
            return
        clock = self._clock(time.perf_counter())
        self._paused_clock = clock if clock is not None else (
            self._up.at if self._up is not None else None)
        self._clock_base = None
        self._playing = False
        if self.sound is not None:
            self.sound.pause(True)

    def seek(self, seconds):
        """Goes to the frame shown `seconds` into the video (within the pass
        playing): exactly, and shown at the first update() once decoded,
        while paused too.  Past the end, the last frame."""
        self._check()
        seconds = check_time(seconds, "seek")
        source = self.source
        base = self._aim if self._aim is not None else self.index
        if source.length is not None and seconds >= source.length:
            self._go("last", base)
            return
        self._go("seek", source.index_at(seconds, base))

    def step(self, frames=1):
        """Pauses and goes `frames` frames on (back, for a negative number)
        from the frame up."""
        self._check()
        self.pause()
        self._go("step", self.index + int(frames))

    def _go(self, kind, target):
        self._finished = False
        self._aim = target
        self._landing = False
        self._gen = self._decoder.ask((kind, target, self.index))

    def seek_frame(self, target):
        """Goes to frame `target` (an index in the source), as seek() does."""
        self._check()
        self._go("seek", target)

    def seek_last(self):
        """Goes to the last frame, found by decoding where the length is not
        known."""
        self._check()
        self._go("last", self.index)

    @property
    def aim(self):
        """The index of the frame sought last, on its way; else of the
        frame up."""
        return self.index if self._aim is None else self._aim

    def next_audio(self, stream_index):
        """Plays the source's audio stream `stream_index` from the frame up."""
        self._check()
        self._gen = self._decoder.ask(("audio", stream_index, self.index))

    @property
    def subtitles(self):
        """What subtitles can be shown: the indices of the file's subtitle
        streams, then the path of a subtitle file (sub_file, or NAME.srt,
        NAME.ass or NAME.vtt beside the video)."""
        self._check()
        return list(self._subtitles.choices) if self._subtitles else []

    @property
    def subtitle(self):
        """The subtitles shown: one of `subtitles`, or None for none."""
        self._check()
        return self._subtitles.chosen if self._subtitles else None

    @subtitle.setter
    def subtitle(self, choice):
        self._check()
        if self._subtitles is None:
            if choice is not None:
                raise ValueError("%r: this video has no subtitles" % (choice,))
            return
        if choice != self._subtitles.chosen:
            self._subtitles.choose(choice)
            self._again()

    def next_subtitle(self):
        """Shows the next of `subtitles`, or after the last none; the
        choice and its name ("stream 2 (srt, eng)", a file's name, or
        "off")."""
        self._check()
        if self._subtitles is None:
            return None, "no subtitles"
        choice = self._subtitles.cycle()
        self._again()
        return choice, self._subtitles.label(choice)

    def _again(self):
        """The frame up, paused, shown again with the subtitles chosen now;
        while playing, the frames to come show them."""
        if not self._playing and self._up is not None and self._aim is None:
            self._go("again", self.index)

    def next_video(self, stream_index):
        """Plays the source's video stream `stream_index` from the time up
        (its sound goes on), shown through an overlay and pipeline made
        for that stream's size and colours at the next update()."""
        self._check()
        seconds = self.position
        source = self.source.other_stream(stream_index)
        subtitles = self._decoder.subtitles
        self._decoder.close()
        old, self.source = self.source, source
        sound = self.sound
        if sound is not None and self._loop and source.length:
            sound.loop_length = source.length
        frame_bytes = 2 * source.size[0] * source.size[1]
        self._decoder = Decoder(source, sound, self._loop, self._decoder.range_choice,
                                max(AHEAD_MIN, min(AHEAD_MAX, AHEAD_BYTES // frame_bytes)))
        self._decoder.subtitles = subtitles
        old.close()
        if self._overlay is not None:
            # The old picture goes from the display: the new one may not
            # cover all of it.
            x, y, w, h = self._where(self._screen)
            left, top = max(0, x), max(0, y)
            right, bottom = min(self._screen[0], x + w), min(self._screen[1], y + h)
            if right > left and bottom > top:
                colour.black_out((left, top, right - left, bottom - top))
        self._overlay = self._probe = self._up = None
        self._heard = None
        self._decoder.thread.start()
        self._go("seek", source.index_at(seconds, 0))

    def set_location(self, rect):
        """Shows the picture at `rect` (x, y, w, h) on the display; None
        fits it to the display, aspect kept, centred."""
        self._check()
        if rect is not None:
            x, y, w, h = (int(v) for v in rect)
            if w <= 0 or h <= 0:
                raise ValueError("the rectangle %r is empty" % (tuple(rect),))
            if display.get_init():
                try:
                    screen = display.get_size()
                except brilox.base.error:
                    screen = None
                if screen and (x >= screen[0] or y >= screen[1] or x + w <= 0 or y + h <= 0):
                    raise ValueError("the rectangle %r is off the display (%dx%d)"
                                     % (((x, y, w, h),) + tuple(screen)))
            rect = (x, y, w, h)
        self._rect = rect
        if self._overlay is not None:
            self._locate()

    def close(self):
        """Ends the decoding thread (mid-decode too) and lets go of the
        file, the sound and the overlay.  Closing again does nothing."""
        self._close(keep_source=False)

    def _close(self, keep_source):
        """close(); `keep_source`: the source is the caller's to close."""
        if getattr(self, "_closed", True):
            return
        self._closed = True
        _open_videos.discard(self)
        self._decoder.close()
        self._overlay = None
        if self.sound is not None:
            self.sound.close()
        if self._subtitles is not None:
            self._subtitles.close()
        if not keep_source:
            self.source.close()

    def __enter__(self):
        self._check()
        return self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:  # noqa: BLE001 (nothing to tell at collection)
            pass

    # --- showing ------------------------------------------------------------

    def _prepare(self):
        """The overlay, once the display is there: how SDL shows this
        video's frames (probed once per format and display size), and the
        pipeline's padding."""
        # Raises brilox.base.error before display.init() or set_mode().
        screen = display.get_size()
        source = self.source
        width, height = source.size
        odd = bool(width % 2 or height % 2)
        key = (source.overlay_format, odd, screen)
        probe = _probes.get(key)
        if probe is None:
            where = self._where(screen)
            probe = _probes[key] = colour.probe(source.overlay_format, where[:2], odd=odd)
        pad = pipeline.pad_of(probe, source.overlay_format, source.size)
        self._overlay = Overlay(source.overlay_format, (width + pad[0], height + pad[1]))
        self._probe, self._pad, self._screen = probe, pad, screen
        with self._decoder.lock:
            self._decoder.probe, self._decoder.pad = probe, pad
        self._locate()

    def _where(self, screen):
        if self._rect is not None:
            return self._rect
        return pipeline.fit(*self.size, *screen)

    def _locate(self):
        screen = display.get_size()
        self._screen = screen
        where = self._where(screen)
        with self._decoder.lock:
            self._decoder.shown = tuple(where[2:])
        rect, self._beside = pipeline.overlay_rect(where, self.source.size, self._pad, screen)
        self._overlay.set_location(rect)

    def _ready(self):
        """The first item of the current request, dropping older ones."""
        ready = self._decoder.ready
        with self._decoder.lock:
            while ready and ready[0].gen != self._gen:
                ready.popleft()
            return ready[0] if ready else None

    def _take(self):
        """Takes the first item; the decoding thread then has room for more."""
        with self._decoder.lock:
            self._decoder.lock.notify_all()
            return self._decoder.ready.popleft()

    def _clock(self, now):
        """The time on the clock's line now: the sound's while it is heard,
        else the system clock's; None while the picture waits for the
        sound to begin."""
        sound = self.sound
        if sound is not None and not self._landing:
            if sound.error is None and not sound.done():
                heard = sound.clock()
                if heard is not None:
                    self._heard = (heard, now)
                    return heard
                if self._heard is None and self._sound_wait and now < self._sound_wait:
                    return None
            if self._heard is not None and self._clock_base is None:
                self._clock_base = self._heard
        if self._clock_base is None:
            return None
        return self._clock_base[0] + (now - self._clock_base[1]) * self._speed

    def update(self):
        """Puts up the frame due now, dropping those whose time has passed;
        whether a new frame went up.  Call it once per frame of the game's
        loop, after display.set_mode; it never waits on decoding.  Where SDL
        draws an overlay only at the next flip (SDL 1.2 over SDL 2, hardware
        overlays), the frame up is shown again when no new one went up, so
        that it stays on the screen however often the game flips.  Where the
        overlay draws into the display surface, a game that draws over the
        picture calls redraw()."""
        self._check()
        shown = self._update()
        if not shown and self._reshow and self._up is not None \
                and not self._probe.surface_holds_video:
            self._overlay.display()
        return shown

    def _warn(self):
        """Says what subtitles could not be shown."""
        notes = self._subtitles.notes
        while notes:
            text = notes.popleft()
            if self.on_warning is not None:
                self.on_warning(text)
            else:
                warnings.warn(text, SubtitleWarning, stacklevel=4)

    def _update(self):
        if self._subtitles is not None and self._subtitles.notes:
            self._warn()
        if self._overlay is None:
            self._prepare()
        elif self._rect is None and display.get_size() != self._screen:
            self._locate()
        if self._decoder.error is not None and self._up is None and self._ready() is None:
            raise brilox.base.error(self._decoder.error)
        now = time.perf_counter()
        head = self._ready()
        if head is None:
            return False
        if head.kind == NOTE:
            self.said.append(self._take().said)
            self._aim = None
            return False
        if head.kind in (GLIMPSE, SOUGHT) or self._up is None or self._up.gen != self._gen:
            if head.kind == END:
                return self._end(now)
            if head.kind == FRAME and self._playing and self._pace and self._waits_for_sound(
                    head, now):
                return False
            self._landing = head.kind == GLIMPSE and self.sound is not None
            item = self._take()
            if item.kind != GLIMPSE:
                self._aim = None
                self._heard = None
                self._clock_base = (item.at, now) if self._playing else None
                if self._playing:
                    self._sound_wait = now + SOUND_START
            return self._show(item)
        if not self._playing:
            return False
        if not self._pace:
            if head.kind == END:
                return self._end(now)
            return self._show(self._take())
        clock = self._clock(now)
        if clock is None:
            if self.sound is None and self._clock_base is None:
                self._clock_base = (self._up.at, now)
            return False
        if head.kind == END:
            if clock >= self._up.at + self._up.duration and (
                    self.sound is None or self.sound.done() or self.sound.error):
                return self._end(now)
            return False
        if head.at > clock:
            return False
        if self.sound is None and clock - head.at > LATE_LIMIT:
            # Far behind: the beat starts again from this frame.
            self._clock_base = (head.at, now)
            return self._show(self._take())
        item = self._take()
        if self._drop:
            while True:
                following = self._ready()
                if following is None or following.kind != FRAME or following.at > clock:
                    break
                self.dropped += 1
                item = self._take()
        elif self.sound is None and clock - item.at > item.duration:
            self._clock_base = (item.at, now)
        return self._show(item)

    def _waits_for_sound(self, head, now):
        """Whether the first frame of play waits for the sound to reach it
        (some sound servers take a while to begin), up to SOUND_START."""
        sound = self.sound
        if sound is None or sound.error or now >= (self._sound_wait or 0.0):
            return False
        heard = sound.clock()
        return heard is None or heard < head.at - SOUND_AHEAD

    def _end(self, now):
        if not self._finished:
            self._finished = True
            self._playing = False
            if self._end_event is not None:
                display.post_event(self._end_event)
        return False

    def _show(self, item):
        begun = time.perf_counter()
        picture = item.picture
        if picture is None:
            source = self.source
            decoder = self._decoder
            picture = item.picture = pipeline.Pipeline(
                source.overlay_format, source.stored or source.size, source.turn, item.colours,
                self._probe, self._pad, decoder.draw_subtitles if decoder.subtitles else None
            ).run(item.planes, decoder.seconds(item))
        self._overlay.display(picture.frame)
        self._black_beside()
        self.upload += time.perf_counter() - begun
        if item.kind == FRAME:
            self.played += 1
        else:
            self.stepped += 1
        if item.said:
            self.said.append(item.said)
        item.planes = None
        self._up = item
        return True

    def _black_beside(self):
        if self._beside and self._probe.surface_holds_video:
            for rect in self._beside:
                colour.black_out(rect)

    def redraw(self):
        """Puts the frame up again: after the display mode changed, or the
        game drew over it."""
        self._check()
        if self._overlay is None:
            return
        if self._rect is None:
            self._locate()
        # The overlay still holds the frame up.
        self._overlay.display()
        self._black_beside()

    @property
    def last_kind(self):
        """What the frame up is: "frame" played on, "glimpse" (a seek's
        key frame, shown while the decoder runs on to the frame sought) or
        "sought" (a seek's or step's frame); None before any."""
        return None if self._up is None else self._up.kind

    @property
    def shown_at(self):
        """The frame up's time on the clock's line (which runs on through
        loops, as the sound's clock does)."""
        return 0.0 if self._up is None else self._up.at

    @property
    def probe(self):
        """What SDL was found to show of this video's frames (a colour.Probe),
        once update() has run."""
        return self._probe

    def time_of(self, index):
        """Seconds into its pass of frame `index`: the frame up's own time,
        else by the frame rate."""
        if self._up is not None and index == self._up.index:
            return self._up.time
        return self.source.position(index) * self.source.period

    def caught_up(self):
        """Whether the decoder has what update() may want now: a frame not
        yet due, the end, a full queue, or (paused) nothing asked for."""
        decoder = self._decoder
        clock = None
        if self._playing and self._pace:
            clock = self._clock(time.perf_counter())
        with decoder.lock:
            items = [item for item in decoder.ready if item.gen == self._gen]
            if self._gen != decoder.gen:
                return False
            if any(item.kind in (END, NOTE) for item in items) or len(items) >= decoder.ahead:
                return True
            if not self._playing:
                return bool(items) or (self._aim is None and not self._landing
                                       and self._up is not None)
            if not items:
                return False
            if not self._pace:
                return True
            return clock is not None and items[-1].at > clock

    def due_in(self):
        """Seconds until the next frame is due, or None where none waits."""
        head = self._ready()
        if head is None or head.kind != FRAME or not self._playing:
            return None
        if not self._pace:
            return 0.0
        clock = self._clock(time.perf_counter())
        return None if clock is None else head.at - clock

    @property
    def picture(self):
        """The frame up at the end of its pipeline (a pipeline.Picture), or
        None."""
        return None if self._up is None else self._up.picture

    def rgb(self):
        """The frame up as a numpy array (height, width, 3) of its pixels,
        in the colours SDL shows them."""
        self._check()
        if self._up is None:
            raise ValueError("no frame is up yet: call update() first")
        import numpy
        picture = self._up.picture
        width, height = picture.size
        data = pipeline.rgb(picture)
        return numpy.frombuffer(data, numpy.uint8).reshape(height, width, 3)

    def wait(self, timeout):
        """Waits up to `timeout` seconds for the decoder to catch up
        (caught_up()); for programs with nothing else to do meanwhile."""
        deadline = _monotonic() + timeout
        while not self.caught_up():
            left = deadline - _monotonic()
            if left <= 0:
                return
            with self._decoder.lock:
                self._decoder.lock.wait(min(left, FEED_EVERY))


def check_end_event(end_event):
    if end_event is None:
        return
    if isinstance(end_event, bool) or not isinstance(end_event, int):
        raise TypeError("end_event must be an event type (int), not %s"
                        % type(end_event).__name__)
    if not display.USEREVENT <= end_event < display.USEREVENT + 8:
        raise ValueError("end_event must be from USEREVENT (%d) to %d, not %d"
                         % (display.USEREVENT, display.USEREVENT + 7, end_event))


def check_speed(speed):
    from brilox.media.sound import FASTEST, SLOWEST
    try:
        value = float(speed)
    except (TypeError, ValueError):
        raise TypeError("speed takes a number, not %s" % type(speed).__name__) from None
    if not SLOWEST <= value <= FASTEST:
        raise ValueError("speed must be from %g to %g, not %r" % (SLOWEST, FASTEST, speed))
    return value


def check_time(seconds, what):
    try:
        seconds = float(seconds)
    except (TypeError, ValueError):
        raise TypeError("%s takes seconds (a number), not %s"
                        % (what, type(seconds).__name__)) from None
    if math.isnan(seconds) or seconds < 0:
        raise ValueError("%s: %r is not a time in the video (seconds from 0)" % (what, seconds))
    return seconds


@atexit.register
def _close_all():
    """The decoding threads end before the interpreter does."""
    for video in list(_open_videos):
        video.close()
