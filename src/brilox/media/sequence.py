"""Clips a Video plays one after another, with no seam: the files queued
with `Video.queue()`, and the passes of the last, where the Video loops
(the Video's own file from `loop_start` after its first pass, a file
queued from its start).

The line of clips is kept here, shared by the decoding thread's two
consumers, the picture and the sound, which reach each clip's end at
different times (the sound is queued further ahead): whichever reaches the
end of a clip first decides what follows it, and the other finds that
clip in the line.  A clip's frames are opened (its first frame decoded)
on the decoding thread as soon as it is queued; its sound's reader when
the sound gets there, half a second of sound ahead of the seam.

A looping file's pass that starts from its start again is "plain": its
frames source opens itself again at its end, as it always did, and its
sound seeks back; a pass from `loop_start`, or a clip queued, is a source
of its own.  So is each pass of a span (see span), from its start to its
`end`, which comes before the clips queued."""

import collections
import threading


class Clip:
    """A file played in turn: its `path`, the seconds into it play starts
    from, whether it is a plain pass of the clip before, whether it was
    queued (not a pass of a loop), where its loops start, and once opened,
    its frames `source`."""

    def __init__(self, path, start=0.0, plain=False, queued=False, source=None,
                 loop_start=0.0, end=None):
        self.path, self.start, self.plain, self.queued = path, start, plain, queued
        self.source, self.loop_start = source, loop_start
        # Where its pass ends, in seconds of its own time, where not at
        # the end of its frames: a pass of a span.
        self.end = end
        # Why opening it ahead failed (it fails again when its turn comes).
        self.failed = None


class Sequence:
    """The line of clips of one Video, from the first (`path`, whose frames
    `source` is open) on.  `looping()` tells whether the last clip loops;
    `opener(path)` opens a clip's frames source.  Used from both threads:
    the game's queues, the decoding thread takes."""

    def __init__(self, path, source, looping, opener, loop_start=0.0):
        self._lock = threading.Lock()
        self.line = [Clip(path, source=source, loop_start=loop_start)]
        # Where the picture and the sound are in the line.
        self.at = {"picture": 0, "sound": 0}
        self.queued = collections.deque()
        self.looping, self.opener = looping, opener
        # The Sound whose passes this follows, or None; how a clip's sound
        # is read (path, stream index -> reader, stream).
        self.sound = self.open_reader = None
        # Files of clips whose end went up, for the game to read.
        self.ended = collections.deque()
        # A clip whose picture needs an overlay of its own (another format
        # or size), made by the game's side while the frames before it show.
        self.restream = None
        # The span played again and again, (start, end) in seconds of its
        # clip's time, its end the end of its last frame; or None.  What
        # the game asked for last, (start, end) in seconds or None, and
        # whether the decoding thread has yet to see to it.
        self.span = None
        self.asked, self.unseen = None, False

    # --- the game's side ---------------------------------------------------

    def add(self, path):
        with self._lock:
            self.queued.append(Clip(path, queued=True))
            sound = self.sound
            if sound is not None and sound.loop_length is None:
                # The sound's clip now ends a pass, at its length.
                sound.loop_length = self.line[self.at["sound"]].source.length

    def ask_span(self, span):
        with self._lock:
            self.asked, self.unseen = span, True

    def take_span(self):
        """(whether the game asked for another span since, the span asked)."""
        with self._lock:
            return self.unseen, self.asked

    def span_seen(self, asked):
        """The decoding thread plays span `asked` now (unless asked anew since)."""
        with self._lock:
            if self.asked is asked:
                self.unseen = False

    def seam(self, old, new):
        """The first frame of clip `new` goes up after clip `old`'s: the
        file of `old` where it was queued or is the first (not a loop's
        pass), else None."""
        if new.queued:
            self.ended.append(old.path)
            return old.path
        return None

    # --- the decoding thread's side ----------------------------------------

    def _following(self, who):
        """The clip after `who`'s (picture or sound), decided now where it
        is not yet; None where none follows.  Lock held."""
        i = self.at[who]
        if i + 1 < len(self.line):
            return self.line[i + 1]
        last = self.line[i]
        if self.span is not None:
            clip = Clip(last.path, self.span[0], loop_start=last.loop_start, end=self.span[1])
        elif self.queued:
            clip = self.queued.popleft()
        elif self.looping():
            clip = Clip(last.path, last.loop_start, plain=not last.loop_start,
                        loop_start=last.loop_start)
        else:
            return None
        self.line.append(clip)
        return clip

    def _move(self, who):
        self.at[who] += 1
        if self.sound is None:
            self.at["sound"] = self.at["picture"]
        drop = min(self.at.values())
        if drop:
            passed, self.line = self.line[:drop], self.line[drop:]
            for key in self.at:
                self.at[key] -= drop
            # Neither the picture nor the sound is in them any more.
            kept = [clip.source for clip in self.line]
            for clip in passed:
                if clip.source is not None and all(clip.source is not s for s in kept):
                    clip.source.close()

    def current(self):
        with self._lock:
            return self.line[self.at["picture"]]

    def picture_ends(self):
        """Whether the picture's looping source ends here rather than
        opening itself again: it does unless a plain pass follows (which
        it then is in)."""
        with self._lock:
            clip = self._following("picture")
            if clip is None or not clip.plain:
                return True
            clip.source = self.line[self.at["picture"]].source
            self._move("picture")
            return False

    def open_ahead(self):
        """Opens the frames of the clip after the picture's, where one is
        queued (on the decoding thread, between its jobs)."""
        with self._lock:
            if self.span is not None and self.at["picture"] + 1 == len(self.line):
                self._following("picture")
            clip = self.line[self.at["picture"] + 1] if self.at["picture"] + 1 < len(
                self.line) else (self.queued[0] if self.queued else None)
        if clip is not None and clip.source is None and clip.failed is None:
            try:
                clip.source = self.opener(clip.path)
                if clip.start:
                    # Its first frame decoded too, for no seek at the seam.
                    clip.source.get(clip.source.index_at(clip.start, 0))
            except Exception as e:  # noqa: BLE001 (said when its turn comes)
                clip.failed = e

    def take_picture(self):
        """The clip the picture goes on with at its source's end (its
        source open), or None at the end of the line."""
        with self._lock:
            clip = self._following("picture")
            if clip is None:
                return None
            self._move("picture")
        if clip.source is None:
            clip.source = self.opener(clip.path)
        return clip

    def take_sound(self, open_reader, no_sound):
        """What the sound goes on with at its clip's end (see Sound._wrap):
        None for a plain pass; else the next clip's reader and stream (or
        `no_sound`, where it has none), its first timestamp, where it
        starts, and its pass length where another clip or pass follows it."""
        with self._lock:
            clip = self._following("sound")
            if clip is None:
                self.sound = None
                return no_sound, None, 0.0, 0.0, None
            before = self.line[self.at["sound"]].source
            self._move("sound")
            more = bool(self.queued) or self.looping()
            if clip.plain and getattr(before, "loop", False):
                # The picture's source opens itself again: the sound seeks back.
                clip.source = clip.source or before
                return None
        if clip.source is None:
            clip.source = self.opener(clip.path)
        source = clip.source
        reader, stream = no_sound, None
        if getattr(source, "audio_index", None) is not None:
            try:
                reader, stream = open_reader(source.path, source.audio_index)
            except Exception:  # noqa: BLE001 (the picture plays on alone)
                reader = no_sound
        if reader is no_sound:
            self.sound_ends()
        return reader, stream, source.start or 0.0, clip.start, self._length(clip, more)

    def _length(self, clip, more):
        """What a pass of `clip` lasts for the sound (seconds of its time,
        from its start), where something follows it (`more`); else None."""
        if clip.end is not None:
            return clip.end
        return clip.source.length if more or self.span is not None else None

    def go_back(self, passed, start, end):
        """The picture goes back into clip `passed` (gone by), at `start`
        seconds of its time: a clip of its own from there, opened now, in
        place of those from the picture's on."""
        clip = Clip(passed.path, start, loop_start=passed.loop_start, end=end)
        clip.source = self.opener(clip.path)
        with self._lock:
            at = self.at["picture"]
            gone, self.line = self.line[at:], self.line[:at] + [clip]
            self.at["sound"] = min(self.at["sound"], at)
            kept = [kept.source for kept in self.line]
        for old in gone:
            if old.source is not None and all(old.source is not s for s in kept):
                old.source.close()
        return clip

    def natural_length(self, clip):
        """What a pass of `clip` lasts for the sound once no span is set."""
        with self._lock:
            at = self.line.index(clip)
            return self._length(clip, at + 1 < len(self.line) or bool(self.queued)
                                or self.looping())

    def replan(self):
        """The clips after the picture's were decided for a span now
        changed: they go (their sources closed), to be decided again."""
        with self._lock:
            at = self.at["picture"]
            gone, self.line = self.line[at + 1:], self.line[:at + 1]
            self.at["sound"] = min(self.at["sound"], at)
            kept = [clip.source for clip in self.line]
        for clip in gone:
            if clip.source is not None and all(clip.source is not s for s in kept):
                clip.source.close()

    def sound_back(self, open_reader, again=False):
        """A seek in the picture's clip: a sound gone on into the clip after
        it comes back to it (a reader of its own again), to seek there;
        `again`: even where it is in that clip (its clip was replaced)."""
        with self._lock:
            sound, at = self.sound, self.at["picture"]
            if sound is None or self.at["sound"] == at and not again:
                return
            self.at["sound"] = at
            clip = self.line[at]
            source = clip.source
            more = at + 1 < len(self.line) or bool(self.queued) or self.looping()
        sound.rejoin(open_reader(source.path, source.audio_index), source.start or 0.0,
                     self._length(clip, more))

    def back_to(self, clip, old, new):
        """The picture plays another video stream of `clip`'s file (the clip
        up): its frames source `new` takes the place of `old`, and the
        picture is in `clip` again, where the decoding thread had gone on
        into a clip after it, which then comes after it again.  The rest of
        the line stays."""
        with self._lock:
            if all(c is not clip for c in self.line):
                self.line.insert(0, clip)
                for key in self.at:
                    self.at[key] += 1
            self.at["picture"] = next(i for i, c in enumerate(self.line) if c is clip)
            if self.sound is None:
                self.at["sound"] = self.at["picture"]
            for each in self.line:
                if each.source is old:
                    each.source = new
            self.restream = None
        new.followed = self.picture_ends

    def sound_ends(self):
        """The sound plays no more: the line follows the picture alone."""
        with self._lock:
            self.sound = None
            self.at["sound"] = self.at["picture"]

    def switched(self, queue, old, new):
        """The picture went on from source `old` to `new`: where the overlay
        must change (another format or size), the decoding thread waits for
        the game's side to make it ready at its next update(), while the
        frames before still show (the settings are forgotten first, so that
        the new ones cannot come before)."""
        if (old.overlay_format, old.size, getattr(old, "sample_aspect", None),
                getattr(old, "has_alpha", False)) != (
                new.overlay_format, new.size, getattr(new, "sample_aspect", None),
                getattr(new, "has_alpha", False)):
            queue.forget("probe")
            self.restream = new

    def close(self):
        """Closes the sources of the clips opened ahead or passed."""
        with self._lock:
            clips = list(self.line) + list(self.queued)
            self.queued.clear()
        for clip in clips:
            if clip.source is not None:
                clip.source.close()


class Sequenced:
    """The part of a Video that places it among others and strings clips
    together; Video derives from it."""

    @property
    def layer(self):
        """Where its picture lies among other Videos' overlays: a higher
        layer is above; at one layer, the Video opened later is above.  When
        a Video puts a frame up, those above it are put up again over it."""
        self._check()
        return self._output.layer

    @layer.setter
    def layer(self, value):
        self._check()
        if isinstance(value, bool) or not isinstance(value, int):
            raise TypeError("layer must be an int, not %s" % type(value).__name__)
        self._output.layer = value

    def redraw(self):
        """Puts the frame up again (and those of the Videos above it): after
        the display mode changed, or the game drew over it."""
        self._check()
        if self._output.overlay is not None:
            self._queue.share(**self._output.placed())
            self._output.show()  # the overlay still holds the frame up

    @property
    def ended(self):
        """The files of the clips that played to their end, oldest first (a
        collections.deque the game may read and empty): one for each end
        event posted."""
        return self._sequence.ended

    def queue(self, file):
        """Plays `file` when the clip playing (and any queued before) ends,
        with no gap in picture or sound: it is opened, and its first frame
        decoded, ahead.  Where the Video loops, the last clip queued loops."""
        self._check()
        from brilox.media.streams import check_file
        self._sequence.add(check_file(file))
        self._queue.poke()

    def prepare(self):
        """Opens the overlay and has the first frame decoded, so that play()
        puts it up at the next update(); `ready` tells when it is.  Needs the
        display mode set, as update() does.  A Video made once the display
        mode is set (or with surface output) has done this as it opened."""
        self._check()
        self._prepare_output()

    @property
    def ready(self):
        """Whether the frame update() puts up next is decoded (once prepared,
        or once play goes on); it never waits."""
        self._check()
        return self._up is not None or self._queue.head() is not None \
            or self._decoder.error is not None

    def _sequenced(self, loop_start):
        """Its line of clips, from the one open; the picture's and the
        sound's ends of a clip ask it what follows."""
        from brilox.media.seek import check_time
        from brilox.media.sound.decode import NoSound, open_sound_reader
        from brilox.media.sources.media import open_media
        loop_start, streams, source = check_time(loop_start, "loop_start"), self._streams, \
            self._streams.source
        if loop_start and source.length is not None and loop_start >= source.length:
            raise ValueError("loop_start: %r is past the end of the video (%g s)"
                             % (loop_start, source.length))
        again = getattr(source, "again", None)

        def opener(path):
            # A raw file's own frames opened again; any other file's as media.
            return again() if again is not None and path == source.path \
                else open_media(path, False, alpha=getattr(source, "alpha", False))
        sequence = self._sequence = Sequence(getattr(source, "path", None), source,
                                             lambda: streams.loop, opener, loop_start)
        self._clip = sequence.line[0]
        source.followed, streams.queued = sequence.picture_ends, lambda: bool(sequence.queued)
        if self.sound is not None:
            sequence.sound = sound = self.sound
            sequence.open_reader = lambda path, index: open_sound_reader(sound.av, path, index)
            sound.follow = lambda: sequence.take_sound(sequence.open_reader, NoSound())

    def _prepare_output(self):
        from brilox.media import video  # its Overlay, which a test may stand in for
        output, queue = self._output, self._queue
        if output.overlay is None:
            queue.share(shown=output.prepare(video.Overlay), **output.settings)

    def _ahead(self):
        """Where the decoding thread went on to a clip of another format or
        size, the overlay of its frames, made now while those before still
        show: the thread builds their pipeline once it has its settings."""
        restream, self._sequence.restream = self._sequence.restream, None
        if restream is not None:
            from brilox.media import video  # its Overlay, which a test may stand in for
            shown, settings = self._output.ahead(restream, video.Overlay)
            self._queue.share(shown=shown, **settings)

    def _arrived(self, what, item):
        """What update() took: a frame of the next clip (the clip before
        ended: its end event, and its file in `ended`; the overlay made
        ahead for it takes the old one's place), the end of the last (its
        file too)."""
        sequence = self._sequence
        if item is not None and getattr(item, "clip", None) is not None \
                and item.clip is not self._clip:
            old, self._clip = self._clip, item.clip
            self._streams.source = item.clip.source
            self._output.switch()
            if sequence.seam(old, item.clip) is not None:
                self._output.end(self._end_event)
        elif what == "end" and not self._finished:
            sequence.ended.append(self._clip.path)
