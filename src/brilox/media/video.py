"""The `Video` a game drives, put together of brilox.media's rooms: streams,
decoder (and seek), pipeline, queue, clock and output, a frame passing each
once.  What came of a seek or a step is in `notes` (seek's typed notes)."""

import atexit
import contextlib
import collections
import time
import weakref

import brilox.base
from brilox.media.clock import Clock, check_speed
from brilox.media.timing import Timed
from brilox.media.decoder import FEED_EVERY, Decoder
from brilox.media.osd import Overlaid
from brilox.media.output import check_end_event, check_rect
from brilox.media.queue import END, FRAME, GLIMPSE, NOTE
from brilox.media.seek import LAST, SEEK, STEP, check_time
from brilox.media.sequence import Sequenced
from brilox.media.span import Spanned
from brilox.media.streams import Streams
from brilox.media.surface_output import check_output, output_of
from brilox.overlay import Overlay  # noqa: F401 (the sequence room makes it through here)

_open_videos = weakref.WeakSet()


class Video(Sequenced, Spanned, Timed, Overlaid):
    """A video file (or raw frames) played on the display the game set up, through an
    overlay of its own, or into `surface` (output="surface").  See the module's documentation."""

    def __init__(self, file, *, sound=True, loop=False, start=0.0, end_event=None, size=None,
                 format=None, fps=None, channel=None, speed=1.0, sub_file=None,
                 subtitle_stream=None, loop_start=0.0, output="overlay", surface_size=None):
        check_end_event(end_event)
        output = check_output(output, surface_size)
        start, speed = check_time(start, "start"), check_speed(speed)
        streams = Streams.open(file, sound=sound, loop=loop or check_time(loop_start, "loop_start")
                               > 0, size=size, format=format, fps=fps, channel=channel,
                               speed=speed, sub_file=sub_file, subtitle_stream=subtitle_stream,
                               alpha=output[0] == "surface")
        try:
            self._setup(streams, end_event=end_event, loop_start=loop_start, output=output)
        except BaseException:
            streams.close()
            raise
        self.speed = speed
        if start:
            self.seek(start)

    @classmethod
    def over(cls, source, sound=None, *, loop=False, pace=True, drop=True, range_choice="auto",
             reshow=True, speed=1.0, sub_file=None, subtitle_stream=None):
        """A Video of a frames source already open, with its Sound (which it
        then owns) or none.  `pace` False shows each frame once decoded;
        `drop` False shows every frame, late if need be; `reshow` False
        leaves the frame up alone when no new one goes up."""
        video = cls.__new__(cls)
        video._setup(Streams.over(source, sound, loop, sub_file, subtitle_stream), pace=pace,
                     drop=drop, range_choice=range_choice)
        video._reshow, video.speed = reshow, speed
        return video

    def _setup(self, streams, *, end_event=None, pace=True, drop=True, range_choice="auto",
               loop_start=0.0, output=("overlay", None)):
        self._closed, self._streams, source = True, streams, streams.source
        self.on_warning = None  # called with each warning's text, else warnings.warn
        self._end_event, self._pace, self._drop, self._reshow = end_event, pace, drop, True
        self._range_choice, self._finished = range_choice, False
        self._clock, self._up, self._aim = Clock(streams.sound), None, None
        self._output = output_of(source, *output)
        self.notes = collections.deque()  # what came of seeks and steps, oldest first
        self.played = self.stepped = self.dropped = self.upload = 0
        self._sequenced(loop_start)
        self._decode(source)
        self._closed = False
        _open_videos.add(self)
        with contextlib.suppress(brilox.base.error):  # no display yet: update() makes it
            self._prepare_output()  # the first frame is ready by the first update()

    def _decode(self, source):
        self._decoder = Decoder(source, self.sound, self._streams.loop, self._range_choice)
        self._decoder.subtitles, self._queue = self._streams.subtitles, self._decoder.queue
        self._decoder.sequence = self._sequence
        self._decoder.thread.start()

    def _check(self):
        if self._closed:
            raise ValueError("the video is closed")

    def _face(get, doc, put=None):  # noqa: N805 (makes the properties below)
        return property(lambda self: self._check() or get(self),
                        put and (lambda self, value: self._check() or put(self, value)), doc=doc)

    source = property(lambda self: self._streams.source, doc="The frames source played.")
    sound = property(lambda self: self._streams.sound, doc="Its media.sound.Sound, or None.")
    size = _face(lambda self: self._output.shown, "(width, height) as shown.")
    duration = _face(lambda self: self.source.length, "Seconds, or None where not told.")
    frame_rate = _face(lambda self: 1.0 / self.source.period, "Frames a second.")
    has_sound = _face(lambda self: self.sound is not None, "Whether its sound plays (a file "
                      "with sound, sound=True, and a channel of the sound device free for it).")
    playing = _face(lambda self: self._clock.playing, "After play(), until pause() or the end.")
    finished = _face(lambda self: self._finished, "Whether it played to its end (never, looping).")
    position = _face(lambda self: self.source.time_of(self._aim or 0) if self._up is None
                     else self._up.time, "Seconds into its pass of the frame up.")
    loop = _face(lambda self: self._streams.loop, "Whether it goes on from the start at its "
                 "end, with no gap.", lambda self, on: self._streams.set_loop(on, self._decoder))
    volume = _face(lambda self: self._streams.volume, "The sound's volume, 0 to 100 (kept "
                   "within them).", lambda self, percent: self._streams.set_volume(percent))
    muted = _face(lambda self: self._streams.muted, "Whether the sound is muted.",
                  lambda self, flag: self._streams.set_muted(flag))
    subtitles = _face(lambda self: self._streams.choices, "What subtitles can be shown: "
                      "subtitle streams' indices, then subtitle files' paths.")
    subtitle = _face(lambda self: self._streams.chosen, "The subtitles shown: one of "
                     "`subtitles`, or None.", lambda self, choice: self._streams.choose(choice)
                     and self._again())
    frame = property(lambda self: None if self._up is None else self._up.number,
                     doc="The number of the frame up (within its pass), or None.")
    index = property(lambda self: 0 if self._up is None else self._up.index,
                     doc="The source's index of the frame up (on through loops).")
    last_kind = property(lambda self: None if self._up is None else self._up.kind, doc="The "
                         'frame up\'s kind: "frame", "glimpse" or "sought"; None before any.')
    shown_at = property(lambda self: 0.0 if self._up is None else self._up.at,
                        doc="The frame up's time on the clock's line (on through loops).")
    picture = property(lambda self: self._bare(), doc="The frame up's pipeline.Picture, "
                       "bare of text shown over it, or None.")
    surface = property(lambda self: self._output.surface, doc="The frame up's Surface, or None.")
    has_alpha = _face(lambda self: self.source.has_alpha, "Whether its frames carry alpha.")
    chapters = _face(lambda self: list(self.source.chapters), "Its chapters, [(start, end, "
                     "title)]: seconds as `position` counts them; [] where it has none.")
    probe = property(lambda self: self._output.probe, doc="What SDL was found to show (a "
                     "colour.Probe), once update() has run.")
    aim = property(lambda self: self.index if self._aim is None else self._aim,
                   doc="The index of the frame sought last (on its way), else of the frame up.")
    problem = property(lambda self: self._decoder.error or self.source.problem(),
                       doc="Why decoding stopped early, or None.")
    skipped_late = property(lambda self: self._queue.skipped, doc="Frames skipped to keep time.")
    del _face

    def play(self):
        """Plays from the frame up (from the start after the end)."""
        self._check()
        if not self._clock.playing:
            if self._finished:
                self._finished = False
                self.seek(0.0)
            self._clock.play(time.perf_counter(), None if self._up is None else self._up.at)
            self._streams.pause(False)

    def pause(self):
        """Pauses; the frame up stays up."""
        self._check()
        if self._clock.playing:
            self._clock.pause(time.perf_counter(), None if self._up is None else self._up.at)
            self._streams.pause(True)

    def seek(self, seconds):
        """Goes to the frame shown `seconds` into the pass playing, exactly (past
        the end, the last): up at the first update() once decoded, paused too."""
        self._check()
        seconds, base = check_time(seconds, "seek"), self.aim
        if self.source.length is not None and seconds >= self.source.length:
            return self._go(LAST, base)
        self._go(SEEK, self.source.index_at(seconds, base))

    def seek_frame(self, target):
        """Goes to frame `target` (an index in the source), as seek() does."""
        self._go(SEEK, target)

    def seek_last(self):
        """Goes to the last frame (found by decoding where the length is not known)."""
        self._go(LAST, self.index)

    def step(self, frames=1):
        """Pauses and goes `frames` frames on (back, if negative) from the frame up."""
        self.pause()
        self._go(STEP, self.index + int(frames))

    def _go(self, kind, target):
        self._check()
        if kind in (SEEK, LAST):
            self._past_span(None if kind == LAST else target)
        self._finished, self._aim, self._clock.landing = False, target, False
        self._queue.ask((kind, target, self.index))

    def next_audio(self, stream_index):
        """Plays the source's audio stream `stream_index` from the frame up."""
        self._check()
        self._queue.ask(("audio", stream_index, self.index))

    def next_subtitle(self):
        """Shows the next of `subtitles` (after the last, none): the choice and
        its name ("stream 2 (srt, eng)", a file's name, or "off")."""
        self._check()
        choice, label = self._streams.cycle()
        return self._again() or (choice, label)

    def _again(self):
        """The frame up, paused, again with the subtitles chosen now."""
        if not self._clock.playing and self._up is not None and self._aim is None:
            self._go("again", self.index)

    def next_video(self, stream_index):
        """Plays the source's video stream `stream_index` from the time up (its
        sound goes on), through an overlay and pipeline made for it; the
        clips queued after it still follow."""
        self._check()
        seconds, old = self.position, self.source
        self._decoder.close()
        source = self._streams.other_video(stream_index)
        self._sequence.back_to(self._clip, old, source)
        self._up, self._clock.heard = None, None
        self._output.stream(source)
        self._decode(source)
        self._go(SEEK, source.index_at(seconds, 0))

    def set_location(self, rect):
        """Shows the picture at `rect` (x, y, w, h) on the display; None fits
        it to the display, aspect kept, centred."""
        self._check()
        self._queue.share(**self._output.placed(check_rect(rect)))

    def close(self, keep_source=False):
        """Ends the decoding thread (gone when this returns) and lets go of the
        file (unless `keep_source`), the sound and the overlay; once."""
        if getattr(self, "_closed", True):
            return
        self._closed = True
        _open_videos.discard(self)
        self._decoder.close()
        self._sequence.close()
        self._output.overlay = None
        self._streams.close(keep_source)

    def __enter__(self):
        return self._check() or self

    def __exit__(self, *exc):
        self.close()

    def __del__(self):
        with contextlib.suppress(Exception):  # nothing to tell at collection
            self.close()

    def update(self):
        """Puts up the frame due now, dropping those whose time passed; whether
        a new frame went up.  Call it once per frame of the game's loop, after
        display.set_mode; it never waits on decoding.  Where SDL shows an
        overlay only until the next flip, the frame up goes up again."""
        self._check()
        self._streams.warn(self.on_warning, stacklevel=2)
        output, queue, clock = self._output, self._queue, self._clock
        if output.overlay is None:
            self._prepare_output()
        elif output.moved():
            queue.share(**output.placed())
        self._ahead()
        if self._decoder.error is not None and self._up is None and queue.head() is None:
            raise brilox.base.error(self._decoder.error)
        what, item, dropped = queue.due(clock, self._up, time.perf_counter(), self._pace,
                                        self._drop)
        self._arrived(what, item)
        if what == END and not self._finished:
            self._finished, clock.playing = True, output.end(self._end_event)
        if item is not None and item.note is not None:
            self.notes.append(item.note)
        if item is not None and item.kind != GLIMPSE:
            self._aim = None
        if item is None or what == NOTE:
            if not self._text_again(time.perf_counter()) and self._reshow and self._up is not None:
                output.reshow()
            return False
        self.upload += output.show(self._over(item, time.perf_counter()), time.perf_counter)
        queue.wake()  # the decoding thread goes on once the frame is up, not during it
        self.dropped, self.played = self.dropped + dropped, self.played + (item.kind == FRAME)
        self.stepped, self._up = self.stepped + (item.kind != FRAME), item
        return True

    def time_of(self, index):
        """Seconds into its pass of frame `index`: the frame up's, else by the frame rate."""
        if self._up is not None and index == self._up.index:
            return self._up.time
        return self.source.position(index) * self.source.period

    def caught_up(self):
        """Whether the decoder has what update() may want now, the span asked for included."""
        up = self._aim is None and self._up is not None
        return not self._sequence.unseen and self._queue.caught_up(
            self._clock, time.perf_counter(), self._pace, up)

    def due_in(self):
        """Seconds until the next frame is due, or None where none waits."""
        return self._clock.due_in(self._queue.head(), time.perf_counter(), self._pace)

    def wait(self, timeout):
        """Waits up to `timeout` seconds until caught_up() (when nothing else is to do)."""
        self._queue.wait_until(self.caught_up, timeout, FEED_EVERY)


atexit.register(lambda: [video.close() for video in list(_open_videos)])  # threads end first
