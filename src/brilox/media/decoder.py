"""The decoding thread of a Video: it owns the source and the sound once it
runs, decodes frames ahead into a small queue, runs each through its
pipeline (whose native steps let go of the interpreter lock), carries out
seeks and steps exactly, and keeps the sound fed.  The game's thread only
takes what is ready."""

import collections
import threading

from brilox.media import colour, pipeline

# Frames decoded ahead: as many as fit in this many bytes, within these bounds.
AHEAD_BYTES = 32 << 20
AHEAD_MIN, AHEAD_MAX = 3, 8
# Seconds of decoding on the way to a seek's frame between two looks at
# what the game asked for meanwhile.
LAND_STEP = 0.02
# How often the decoding thread wakes to keep the sound fed, in seconds.
FEED_EVERY = 0.01
# The kinds of what the decoding thread hands over.
FRAME, GLIMPSE, SOUGHT, NOTE, END = "frame", "glimpse", "sought", "note", "end"


class Item:
    """A frame decoded ahead (or a word from the decoding thread): its
    `index` in the source, `number` within its pass, `time` (seconds into
    its pass), `at` (on the clock's time line), `duration`, and the
    `picture` at the end of its pipeline (None until the pipeline is
    known).  `gen`: the seek or step it follows; `said`: what to say when it
    shows."""

    __slots__ = ("kind", "gen", "index", "number", "time", "at", "duration", "planes",
                 "colours", "picture", "said")

    def __init__(self, kind, gen, index=None, number=None, time=0.0, at=0.0, duration=0.0,
                 planes=None, colours=None, said=None):
        self.kind, self.gen, self.index, self.number = kind, gen, index, number
        self.time, self.at, self.duration = time, at, duration
        self.planes, self.colours, self.picture, self.said = planes, colours, None, said


class Decoder:
    """The decoding thread's side: the source and the sound belong to it
    once it runs.  The game's side asks through `ask()` and takes what is
    ready from `ready`, both under `lock`."""

    def __init__(self, source, sound, loop, range_choice, ahead):
        self.source, self.sound, self.loop = source, sound, loop
        self.range_choice = range_choice
        self.lock = threading.Condition()
        self.ready = collections.deque()
        self.ahead = ahead
        self.request = None
        self.gen = 0
        self.closed = False
        self.error = None
        # The SDL findings the pipeline is built for (set by the game's side
        # once the display is known), and the pipeline.
        self.probe = self.pad = None
        self.pipeline = None
        # The subtitles drawn into the frames (a subtitles.Subtitles, or
        # None), and the size of the picture in the window (set by the
        # game's side), which their size follows.
        self.subtitles = None
        self.shown = None
        # Where play goes on: the next frame's index, the last item given.
        self.next = 0
        self.last = None
        self.pass_start = 0.0
        self.ended = False
        # While a seek's frame is on its way the sound waits.
        self.landing = False
        # A stream keeps its last frames for stepping back.  The frames
        # decoded ahead are kept as well, so that as many as it says are
        # kept still lie behind the frame up.
        source.spare = ahead + 2
        if getattr(source.history, "maxlen", None):
            source.history = collections.deque(source.history,
                                               maxlen=source.history.maxlen + source.spare)
        self.thread = threading.Thread(target=self.run, name="brilox-video", daemon=True)

    # --- the game's side ---------------------------------------------------

    def ask(self, request):
        """A seek, a step, another audio stream: what was queued before it
        is dropped.  The generation of the frames that answer it."""
        with self.lock:
            self.gen += 1
            self.request = request + (self.gen,)
            self.ready.clear()
            self.lock.notify_all()
            return self.gen

    def close(self):
        with self.lock:
            self.closed = True
            self.lock.notify_all()
        if self.thread.is_alive() and self.thread is not threading.current_thread():
            self.thread.join()

    # --- the thread -------------------------------------------------------

    def run(self):
        try:
            while True:
                with self.lock:
                    while (not self.closed and self.request is None
                           and (self.ended or len(self.ready) >= self.ahead)):
                        self.lock.wait(FEED_EVERY if self.sound is not None else None)
                        if self.sound is not None:
                            break
                    if self.closed:
                        return
                    request, self.request = self.request, None
                    gen = self.gen
                    full = self.ended or len(self.ready) >= self.ahead
                if request is not None:
                    self.carry_out(request)
                elif not full:
                    self.play_on(gen)
                self.feed()
        except Exception as e:  # noqa: BLE001 (said to the game, not lost)
            self.error = "decoding stopped: %s" % (e,)
            with self.lock:
                self.ready.append(Item(END, self.gen))
                self.ended = True
                self.lock.notify_all()

    def feed(self):
        if self.sound is not None and not self.landing:
            self.sound.feed()

    def give(self, item):
        """Hands an item over, unless a newer request came meanwhile."""
        with self.lock:
            if item.gen == self.gen:
                self.ready.append(item)
                self.lock.notify_all()
            return item.gen == self.gen

    def colours(self):
        source = self.source
        if self.range_choice != "auto":
            levels = self.range_choice
        else:
            levels = colour.FULL if source.full_range else colour.LIMITED
        coded = source.stored or source.size
        return pipeline.Colours(levels, colour.matrix_of(source.space, coded[1]))

    def item(self, kind, gen, index, planes, at=None, said=None):
        source = self.source
        time_of = source.time_of(index)
        item = Item(kind, gen, index, source.position(index), time_of,
                    time_of if at is None else at, source.duration(index), planes,
                    self.colours(), said)
        self.prepare(item)
        return item

    def prepare(self, item):
        """Runs the item's frame through its pipeline, where the pipeline is
        known (the game's side runs it otherwise)."""
        with self.lock:
            probe, pad = self.probe, self.pad
        if probe is None:
            return
        source = self.source
        stored = source.stored or source.size
        if self.pipeline is None or not self.pipeline.fits(source.overlay_format, stored,
                                                            source.turn, item.colours):
            self.pipeline = pipeline.Pipeline(source.overlay_format, stored, source.turn,
                                              item.colours, probe, pad,
                                              self.draw_subtitles if self.subtitles else None)
        item.picture = self.pipeline.run(item.planes, self.seconds(item))

    def seconds(self, item):
        """A frame's time on its stream's own time line, which the
        subtitles' times are on."""
        return item.time + (self.source.start or 0.0)

    def draw_subtitles(self, planes, layout, width, height, colours, seconds):
        with self.lock:
            shown = self.shown
        return self.subtitles.draw(planes, layout, width, height, colours, shown, seconds)

    def play_on(self, gen):
        """Decodes the next frame of play, or says the end."""
        source, index = self.source, self.next
        planes = source.get(index)
        if planes is None:
            with self.lock:
                if gen == self.gen:
                    self.ready.append(Item(END, gen))
                    self.ended = True
                    self.lock.notify_all()
            return
        last = self.last
        if last is None:
            at = source.time_of(index)
        elif source.position(index) < last.number:
            # A loop's next pass: on from this pass's length, as the sound
            # goes on from its own.
            self.pass_start += self.pass_length(last)
            at = self.pass_start + source.time_of(index)
        else:
            at = max(last.at + 1e-6, self.pass_start + source.time_of(index)
                     if self.sound is not None and self.loop else last.at + last.duration)
        item = self.item(FRAME, gen, index, planes, at)
        if self.give(item):
            self.last, self.next = item, index + 1

    def pass_length(self, last):
        """The length of a pass of a looping file: what the sound plays a
        pass for, where it plays one."""
        if self.sound is not None and self.sound.loop_length:
            return self.sound.loop_length
        return last.time + last.duration

    def carry_out(self, request):
        kind, gen = request[0], request[-1]
        if kind == "audio":
            self.sound.open(request[1], self.source.time_of(request[2]))
            self.source.audio_index = request[1]
            self.restart(request[2], gen)
        elif kind in ("seek", "step", "last"):
            self.go(request, gen)
        elif kind == "again":
            self.again(request[1], gen)

    def again(self, index, gen):
        """Frame `index` (up, paused) once more through its pipeline: the
        subtitles shown changed."""
        planes = self.source.get(index)
        if planes is None:
            return
        item = self.item(SOUGHT, gen, index, planes)
        self.restart(index, gen)
        self.last = item
        self.give(item)

    def restart(self, index, gen):
        """Play goes on after frame `index` (already up)."""
        with self.lock:
            self.ended = False
        self.next = index + 1
        time_of = self.source.time_of(index)
        self.last = Item(FRAME, gen, index, self.source.position(index), time_of, time_of,
                         self.source.duration(index))
        self.pass_start = time_of - self.source.time_of(index)

    def floor(self, up):
        """The oldest frame a stream keeps once frame `up` is shown: as many
        as it keeps, up to the frame it reads after it."""
        return up + self.source.reads_ahead - self.source.kept + 1

    def as_far_back(self):
        return ("frame %%d is as far back as this can go: only the last %d frames are kept"
                % self.source.kept)

    def stale(self, gen):
        with self.lock:
            return gen != self.gen or self.closed

    def go(self, request, gen):
        """A seek or step to a frame: its key frame first where the decoder
        starts well before it, then the frame itself, exactly.  Past the end
        the last frame comes instead; before the frames a stream keeps, the
        oldest of them."""
        kind, target, up = request[0], request[1], request[2]
        source = self.source
        with self.lock:
            self.ended = False
        if kind == "last":
            target = source.last(up)
            if target is None:
                self.give(Item(NOTE, gen, said="no end to go to: the length is not known "
                                               "(frame %d)"))
                return
        sound = self.sound
        if sound is not None:
            # Silent until the frame sought is up.
            self.landing = True
            sound.seek(source.time_of(max(0, target)))
        what = "stepped to" if kind == "step" else "jumped to"
        glimpse = getattr(source, "glimpse", None)
        seen = glimpse(target) if glimpse and kind != "step" and target >= 0 else None
        if seen is not None:
            index, planes = seen
            if not self.give(self.item(GLIMPSE, gen, index, planes)):
                return
            while not source.land(target, LAND_STEP):
                self.feed()
                if self.stale(gen):
                    return
        said = None
        if source.kept is not None and 0 <= target < self.floor(up):
            # No further back than a stream keeps: its last frames, up to
            # the one after the frame up (decoded for its duration).
            target, said = self.floor(up), self.as_far_back()
        planes = source.get(target) if target >= 0 else None
        if planes is None and target > up and kind != "step":
            last = source.last(up)
            if last is not None and last > up:
                target, planes = last, source.get(last)
        if planes is None and 0 <= target < up and source.kept is not None:
            # A seek refused: the file turned out to be a stream.
            oldest = source.oldest_kept()
            if oldest is not None and oldest < up:
                target = max(oldest, self.floor(up))
                planes = source.get(target)
            said = self.as_far_back()
        if planes is None:
            self.landing = False
            if sound is not None:
                sound.seek(source.time_of(up))
            self.restart(up, gen)
            self.give(Item(NOTE, gen, said=said or ("no frame after frame %d" if target > up
                                                    else "no frame before frame %d")))
            return
        if sound is not None and target != request[1]:
            sound.seek(source.time_of(target))
        item = self.item(SOUGHT, gen, target, planes, said=said or what + " frame %d")
        self.restart(target, gen)
        self.last = item
        self.landing = False
        self.give(item)
