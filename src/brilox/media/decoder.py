"""The decoding thread of a Video: it owns the source and the sound once it
runs, decodes frames ahead, runs each through its pipeline (whose native
steps let go of the interpreter lock) and hands them over through a
FrameQueue; it carries out seeks and steps (the seek machine's) and keeps
the sound fed.  It never reaches into the Video: the game's side asks and
takes through the queue alone."""

import collections
import threading
import time

from brilox.media import colour, pipeline, seek
from brilox.media.clock import DROP, JUMP, Overload, Passes
from brilox.media.queue import END, FRAME, GLIMPSE, NOTE, SOUGHT, FrameQueue
from brilox.media.span import respan

# Frames decoded ahead: as many as fit in this many bytes, within these bounds.
# Each may be held twice (decoded, and where its colours change, converted):
# four of 1080p.
AHEAD_BYTES = 16 << 20
AHEAD_MIN, AHEAD_MAX = 3, 8
# How often the decoding thread wakes to keep the sound fed, in seconds.
FEED_EVERY = 0.01


class Item:
    """A frame decoded ahead (or a note from the decoding thread): its
    `index` in the source, `number` within its pass, `time` (seconds into
    its pass), `at` (on the clock's time line), `duration`, and the
    `picture` at the end of its pipeline.  `serial`: the request it
    answers; `note`: the seek machine's outcome it tells of, if any;
    `dropped` and `skipped`: the frames of play before it that the thread
    dropped before their pipeline, or never decoded, to keep time."""

    __slots__ = ("kind", "serial", "index", "number", "time", "at", "duration", "planes",
                 "picture", "note", "dropped", "skipped", "clip", "drawn")

    def __init__(self, kind, serial, index=None, number=None, time=0.0, at=0.0, duration=0.0,
                 planes=None, note=None):
        self.kind, self.serial, self.index, self.number = kind, serial, index, number
        self.time, self.at, self.duration = time, at, duration
        self.planes, self.picture, self.note = planes, None, note
        self.dropped = self.skipped = 0
        # The clip it is of (a sequence.Clip), where the Video strings clips.
        self.clip = None
        # (what, the frame with it) of the display over the picture drawn into it.
        self.drawn = None


class Decoder:
    """The decoding thread's side: the source and the sound belong to it
    once it runs.  The game's side asks and takes through `queue`."""

    def __init__(self, source, sound, loop, range_choice):
        self.source, self.sound, self.loop = source, sound, loop
        self.range_choice = range_choice
        frame_bytes = 2 * source.size[0] * source.size[1]
        ahead = max(AHEAD_MIN, min(AHEAD_MAX, AHEAD_BYTES // frame_bytes))
        self.queue = FrameQueue(ahead)
        self.error = None
        # Whether the sound failed to decode: the picture plays on alone.
        self.sound_failed = False
        # The pipeline, built for the settings the game's side shares (the
        # probe, the padding) and the stream's colours and size.
        self.pipeline = None
        # The subtitles drawn into the frames (a subtitles.Subtitles, or
        # None), and the size of the picture in the window, which their
        # size follows.
        self.subtitles = None
        self.shown = None
        # The display over the picture (an osd.Osd) drawn into the frames
        # while it shows, or None.
        self.osd = None
        # Where play goes on: the next frame's index; where frames fall on
        # the clock's line.
        self.next = 0
        self.passes = Passes()
        # Whether play keeps up with the clock; the frames dropped and
        # skipped since the last frame handed over.
        self.overload = Overload()
        self.dropped = self.skipped = 0
        # While a seek's frame is on its way the sound waits.
        self.landing = False
        # The clips played one after another (a sequence.Sequence), or None.
        self.sequence = None
        self.adopt(source)
        self.thread = threading.Thread(target=self.run, name="brilox-video", daemon=True)

    def adopt(self, source):
        """A stream keeps its last frames for stepping back.  The frames
        decoded ahead are kept as well, so that as many as it says are
        kept still lie behind the frame up."""
        source.spare = self.queue.capacity + 2
        if getattr(source.history, "maxlen", None):
            source.history = collections.deque(source.history,
                                               maxlen=source.history.maxlen + source.spare)

    def close(self):
        """Ends the thread (mid-decode too): it is gone when this returns,
        unless called on the thread itself."""
        self.queue.close()
        if self.thread.is_alive() and self.thread is not threading.current_thread():
            self.thread.join()

    # --- the thread -------------------------------------------------------

    def run(self):
        queue = self.queue
        try:
            while True:
                job = queue.next_job(FEED_EVERY if self.sound is not None else None)
                if job is None:
                    return
                request, serial, full = job
                if self.sequence is not None:
                    changed, span = self.sequence.take_span()
                    if changed:
                        respan(self, span)
                        self.sequence.span_seen(span)
                if request is not None:
                    self.carry_out(request, serial)
                elif not full:
                    self.play_on(serial)
                self.feed()
                if self.sequence is not None:
                    self.sequence.open_ahead()
        except Exception as e:  # noqa: BLE001 (said to the game, not lost)
            self.error = "decoding stopped: %s" % (e,)
            if self.sound is not None and self.sound.error is None:
                # Nothing feeds the sound now: the clock goes on without it.
                self.sound.error = self.error
            queue.end(Item(END, queue.serial))

    def feed(self):
        sound = self.sound
        if sound is not None and not self.landing and not self.sound_failed:
            try:
                sound.feed()
            except Exception as e:  # noqa: BLE001 (the picture plays on alone)
                self.sound_failed, sound.error = True, "sound stopped: %s" % (e,)
                if self.sequence is not None:
                    self.sequence.sound_ends()

    def colours(self):
        source = self.source
        if self.range_choice != "auto":
            levels = self.range_choice
        else:
            levels = colour.FULL if source.full_range else colour.LIMITED
        coded = source.stored or source.size
        return pipeline.Colours(levels, colour.matrix_of(source.space, coded[1]))

    def item(self, kind, serial, index, planes, at=None, note=None):
        """Frame `index` through its pipeline, once the game's side has
        said what SDL shows; None where a newer request came meanwhile."""
        source = self.source
        time_of = source.time_of(index)
        item = Item(kind, serial, index, source.position(index), time_of,
                    time_of if at is None else at, source.duration(index), planes, note)
        while True:
            settings = self.queue.settings(serial, FEED_EVERY)
            if settings is None:
                return None
            if settings:
                break
            self.feed()
        colours, stored = self.colours(), source.stored or source.size
        deep = getattr(source, "deep", None)
        self.shown = settings.get("shown")
        if self.sequence is not None:
            item.clip = self.sequence.current()
        if settings.get("canvas") is not None:
            # A surface's frame: painted here, in RGB(A), for update() to hand over.
            item.picture = settings["canvas"].paint(
                planes, source, colours, self.draw_subtitles if self.subtitles else None,
                time_of + (source.start or 0.0))
            item.planes = None
            return item
        if self.pipeline is None or not self.pipeline.fits(source.overlay_format, stored,
                                                            source.turn, colours, deep) \
                or self.pipeline.pad != settings["pad"]:
            self.pipeline = pipeline.Pipeline(source.overlay_format, stored, source.turn, colours,
                                              settings["probe"], settings["pad"],
                                              self.draw_subtitles if self.subtitles else None,
                                              deep)
        item.picture = self.pipeline.run(planes, time_of + (source.start or 0.0))
        item.planes = None
        if self.osd is not None:
            item.drawn = self.osd.ahead(item.picture, time_of, source.length,
                                        getattr(source, "chapters", ()), settings["pad"],
                                        self.shown)
        return item

    def draw_subtitles(self, planes, layout, width, height, colours, seconds):
        return self.subtitles.draw(planes, layout, width, height, colours, self.shown, seconds)

    def play_on(self, serial):
        """Decodes the next frame of play and hands it over, or drops it
        (or jumps on) where it would come too late; or says the end."""
        source, index, queue = self.source, self.next, self.queue
        clip = self.sequence.current() if self.sequence is not None else None
        over = clip is not None and clip.end is not None \
            and source.time_of(index) >= clip.end - source.period / 2
        planes = None if over else source.get(index)
        if planes is None and not over and getattr(source, "following", None):
            # The frame was skipped, as damaged or to keep time (see
            # Overload): play goes on after it.
            index = source.following(index)
            planes = None if index is None else source.get(index)
        if planes is None:
            if self.sequence is None or not self.follow_on():
                queue.end(Item(END, serial))
            return
        if self.overload.skipping:
            # Skipped to keep time (those skipped as damaged, the source
            # counts itself).
            self.skipped += index - self.next
        sound = self.sound
        pass_length = getattr(sound, "loop_length", None)
        number, time_of = source.position(index), source.time_of(index)
        at = self.passes.at(number, time_of, sound is not None and self.loop, pass_length)
        duration = source.duration(index)
        reading = queue.reading(serial)
        overload = self.overload
        verdict = overload.judge(at, duration, reading, getattr(source, "key_interval", None))
        if getattr(source, "hurry", None):
            source.hurry(overload.skipping)
        if verdict == JUMP:
            landed = source.jump(source.index_at(time_of + overload.jump_to(at, reading),
                                                 index))
            if landed is not None and landed > index:
                self.skipped += landed - index - 1
                self.dropped += 1
                self.passes.given(number, time_of, at, duration)
                self.next = landed
                return
            verdict = DROP
        if verdict == DROP:
            self.dropped += 1
            self.passes.given(number, time_of, at, duration)
            self.next = index + 1
            return
        began = time.perf_counter()
        item = self.item(FRAME, serial, index, planes, at)
        if reading is not None:
            overload.took(time.perf_counter() - began)
        if item is None:
            return
        item.dropped, item.skipped = self.dropped, self.skipped
        if queue.put(item):
            self.passes.given(item.number, item.time, item.at, item.duration)
            self.next = index + 1
            self.dropped = self.skipped = 0

    def follow_on(self):
        """At the end of a clip's frames, the first frame of the clip (or
        the pass) that follows falls where the clip ends on the line, the
        sound's where there is sound; whether one follows."""
        old, end = self.source, self.sequence.current().end
        clip = self.sequence.take_picture()
        if clip is None:
            return False
        source = self.source = clip.source
        self.adopt(source)
        self.next = index = source.index_at(clip.start, 0) if clip.start else 0
        timed = self.sound is not None and not self.sound_failed
        self.passes.follow((old.length if end is None else end) if timed else None,
                           source.position(index),
                           source.time_of(index))
        self.sequence.switched(self.queue, old, source)
        return True

    def carry_out(self, request, serial):
        # A seek decodes every frame it may land on.
        if getattr(self.source, "hurry", None):
            self.source.hurry(False)
        self.overload = Overload()
        kind = request[0]
        if kind == "audio":
            self.sound.switch(request[1], self.source.time_of(request[2]))
            self.source.audio_index = request[1]
            self.restart(request[2])
        elif kind == "again":
            self.again(request[1], serial)
        else:
            self.go(request, serial)

    def again(self, index, serial):
        """Frame `index` (up, paused) once more through its pipeline: the
        subtitles shown changed."""
        planes = self.source.get(index)
        if planes is None:
            return
        item = self.item(SOUGHT, serial, index, planes)
        self.restart(index)
        if item is not None:
            self.queue.put(item)

    def restart(self, index):
        """Play goes on after frame `index` (already up)."""
        self.queue.go_on()
        self.dropped = self.skipped = 0
        self.next = index + 1
        source = self.source
        self.passes.restart(source.position(index), source.time_of(index),
                            source.duration(index))

    def go(self, request, serial):
        """A seek, a step or the last frame, by the seek machine: the sound
        silent from the aim until the frame sought is up."""
        kind, target, up = request
        source, sound, queue = self.source, self.sound, self.queue
        queue.go_on()
        for event in seek.go(source, kind, target, up):
            if isinstance(event, seek.Aim):
                aim = event.index
                if sound is not None:
                    self.landing = True
                    if self.sequence is not None and self.sequence.sound is not None:
                        self.sequence.sound_back(self.sequence.open_reader)
                    sound.seek(source.time_of(aim))
            elif isinstance(event, seek.Glimpse):
                glimpse = self.item(GLIMPSE, serial, event.index, event.planes)
                if glimpse is None or not queue.put(glimpse):
                    return
            elif event is seek.WAIT:
                self.feed()
                if queue.stale(serial):
                    return
            elif isinstance(event, seek.Stay):
                self.landing = False
                if event.aimed is not None:
                    if sound is not None:
                        sound.seek(source.time_of(up))
                    self.restart(up)
                queue.put(Item(NOTE, serial, note=event.note))
            else:
                if sound is not None and event.index != aim:
                    sound.seek(source.time_of(event.index))
                item = self.item(SOUGHT, serial, event.index, event.planes, note=event.note)
                self.restart(event.index)
                self.landing = False
                if item is not None:
                    queue.put(item)
