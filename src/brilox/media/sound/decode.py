"""A file's sound decoded over the reader, resampled by PyAV's resampler to
what the device takes, through the tempo filters at a speed other than 1,
and queued to the device; its clock is the clock map of what was queued,
read at what the device has played."""

import math
import time

import brilox.sound as device
from brilox.media.sound.clock_map import ClockMap
from brilox.media.sound.device import Hold
from brilox.media.sound.tempo import LAYOUTS, Tempo
from brilox.media.sources.damage import QUIET, Damage
from brilox.media.sources.reader import Reader

# Seconds of sound kept queued ahead.
AHEAD = 0.5
# Decibels of a volume key: every press changes the loudness alike, where
# steps of so many percent are large near silence and small near full.
VOLUME_STEP = 0.75
# The amplitude's ratio of one step.
VOLUME_RATIO = 10 ** (VOLUME_STEP / 20)
# The quietest volume (percent) on the ladder of steps down from 100 that
# the device still plays (rounds to 1%): the first step up from silence.
QUIETEST = 100 / VOLUME_RATIO ** math.floor(math.log(200, VOLUME_RATIO))
# Seconds of silence played before the sound, while the device gets going:
# some sound servers take the first few milliseconds of sound, then nothing
# for a while.  Some silence is queued right ahead of the sound however long
# the device has run: on PulseAudio, sound queued into a device that has run
# dry loses its first tens of milliseconds now and then.
PREROLL, LEAD_IN = 0.1, 0.03
# Seconds before a time sought that the sound is read from (see _from).
SEEK_LEAD = 0.1
# Seconds of silence given at a time where a seek's lead reaches back before
# the video's start (see seek).
SILENCE_STEP = 0.1
# Reads that give nothing to queue (a seek's lead trimmed away, a filter
# filling) that a switch of streams goes past before the device's queue
# goes: a stream that gives nothing at all does not hold it up.
EMPTY_READS = 8


class Sound:
    """The sound of one audio stream of a file, played from a time on."""

    def __init__(self, av, path, stream_index, volume=100, mute=False, origin=0.0,
                 channel=None):
        self.av, self.path = av, path
        self.reader = self.hold = None
        self.tempo = None
        # Where the samples go: the module's own channel 0 with the master
        # volume and mute (as the desktop player plays), or a channel of the
        # device the game opened, with that channel's volume.
        self.channel = channel
        self.muted_level = None
        self.hold = Hold(self, channel)
        self.out, self.started = self.hold.out, self.hold.started
        got = self.hold.got
        self.rate, self.channels = got[0], got[1]
        # The device's clock tells what has left SDL's buffer; one buffer
        # more waits beyond it on its way out (as FFmpeg's player reckons).
        self.beyond = got[3] / self.rate
        self.frame_bytes = 2 * self.channels
        self.set_volume(volume)
        if mute != self.muted():
            self.toggle_mute()
        self.error = None
        # The stretches of damaged data skipped (shared with the picture's
        # where a Video plays both), and the stream's time where the last
        # frame decoded ends (None after a seek).
        self.damage, self.expected = Damage(), None
        # The speed asked for (set from any thread), and the one the samples
        # now being decoded play at.
        self.speed = self.playing_speed = 1.0
        # Seconds of each pass of a looping video, which the sound keeps to
        # (cut, or filled with silence), going on into the next pass with no
        # gap; None: the sound ends with its stream.
        self.loop_length = None
        # Where set, what follows a pass (see _wrap): called on the decoding
        # thread at each pass's end.
        self.follow = None
        # The video's first timestamp: times are told from it.
        self.origin = origin
        # Seconds before a time sought that the sound starts (set from any
        # thread; see seek); `again`: whether it starts again from the time
        # last sought with the lead asked for now, at the next feed().
        self.lead, self.again, self.sought, self.silent = 0.0, False, 0.0, 0
        self.map = ClockMap(self.rate, origin)
        try:
            self.open(stream_index)
        except BaseException:
            self.close()
            raise

    def open(self, stream_index, seconds=0.0, flush=True):
        """Plays the stream with this index from `seconds` on (see seek)."""
        if self.reader is not None:
            self.reader.close()
        # An error opening the file a second time is FFmpeg's own: the
        # caller says the sound cannot be read, and plays the picture alone.
        self.reader, self.stream = open_sound_reader(self.av, self.path, stream_index)
        self.index = stream_index
        self.fresh = True
        self.seek(seconds, flush)

    def switch(self, stream_index, seconds):
        """Plays the stream with this index from `seconds` on, its first
        sound made before what the device has queued goes: the device
        never runs dry between the two streams."""
        self.open(stream_index, seconds, flush=False)
        for _ in range(EMPTY_READS):
            self.pending = self._next_bytes()
            if self.pending is None:
                self.pending, self.ended = b"", True
            if self.pending or self.ended:
                break
        self.queued_any = bool(self.pending)
        self.out.flush()
        self.feed()

    def seek(self, seconds, flush=True):
        """Drops what is queued (unless `flush` is false: the caller does,
        and what waits to be queued); plays on from `seconds` into the
        stream (its time less `origin`, the video's first timestamp), less
        `lead`.

        With the sound heard `lead` after the picture, the sound starts
        that far before the frame sought: it is heard as it would have
        been had play run on to the frame, the frame's own sound `lead`
        after it, and the clock (the sound's, plus the delay) starts at
        the frame, so that no frame after it is late.  Before the video's
        start, where there is no sound, it is silence."""
        # Nothing is its clock until the sound from here on is queued: not
        # what was, while a start again is asked for.
        self.queued_any = False
        self.again, lead = False, self.lead
        self.sought = seconds
        self.pending = b""
        self.ended = False
        # Fresh filters: what the old ones hold belongs before the seek.
        self.playing_speed = speed = self.speed
        start = seconds - lead
        self.silent = int(round(max(0.0, -start) * self.rate))
        start = max(0.0, start)
        self.map.seek(start, speed, self.silent / self.rate)
        self.tempo = self._tempo(speed, 0.0) if speed != 1.0 else None
        self._from(start + self.origin)
        if flush:
            self.out.flush()

    def _from(self, seconds):
        """Decodes on from `seconds` (the stream's own time)."""
        # Reading starts SEEK_LEAD before the time: a sound decoder may drop
        # the first frame it decodes after a seek (FFmpeg's AAC decoder
        # does, from the FFmpeg that PyAV 19 brings), which would start the
        # sound a frame late.  What comes before the time is trimmed.  A
        # stream that cannot seek plays on from where it stands.  A reader
        # fresh at the stream's start is not sought to it at all: the seek
        # would cost the first frame, with nothing before it to read.
        fresh, self.fresh = self.fresh, False
        lead = max(seconds - SEEK_LEAD, min(seconds, 0.0))
        if fresh and seconds <= self._stream_start() + 1e-6:
            self.trim = seconds
        else:
            self.trim = seconds if self.reader.seek(lead) else None
        self.expected = None
        self.resampler, self.shape = self._resampler(), None

    def _stream_start(self):
        """The stream's first timestamp in seconds (0 where it tells none)."""
        start, base = self.stream.start_time, self.stream.time_base
        return float(start * base) if start is not None and base else 0.0

    def _resampler(self):
        return self.av.AudioResampler(format="s16", layout=LAYOUTS[self.channels],
                                      rate=self.rate)

    def _changed(self, frame):
        """Whether `frame` is of another layout, format or rate than the
        frames before it since the resampler was made."""
        shape = (frame.format.name, frame.layout.name, frame.sample_rate)
        changed = self.shape is not None and shape != self.shape
        self.shape = shape
        return changed

    def _tempo(self, speed, seconds):
        return Tempo(self.av, speed, self.rate, self.channels, seconds)

    def _next_bytes(self):
        """The next samples to queue, at the speed asked for; None at the
        end.  Counted for the clock."""
        if self.speed != self.playing_speed:
            # What the filters held at the old speed comes first (counted).
            data = self._retune(self.speed)
            if data:
                return data
        if self.tempo is None:
            data = self._decoded()
        else:
            data = self._tempo_bytes()
        if data:
            self.map.queued(len(data) // self.frame_bytes)
        return data

    def _frame(self):
        """The next decoded frame, or None at the end or on an error."""
        try:
            return self.reader.next_frame()
        except self.av.FFmpegError as e:
            self.error = "sound stopped: %s" % (e.strerror or e)
            return None

    def _decoded(self):
        """The next decoded frame's samples as the device takes them, less
        those before the time sought; None at the end."""
        if self.silent:
            # Before the video's start (see seek), a little at a time.
            samples = min(self.silent, int(SILENCE_STEP * self.rate))
            self.silent -= samples
            return bytes(samples * self.frame_bytes)
        frame = self._frame()
        while (frame is not None and self.trim is not None and frame.time is not None
               and frame.time + frame.samples / (frame.sample_rate or self.rate)
               <= self.trim):
            # Read ahead of a time sought (see _from): it goes before the
            # resampler, which starts on the frame that holds the time, as
            # it would where the seek had landed on that frame.
            frame = self._frame()
        if frame is not None and self._changed(frame):
            # A stream whose layout or rate changes part way (damage can
            # make it so): what the resampler holds, then a new one.
            tail = self.resampler.resample(None)
            self.resampler = self._resampler()
            resampled = tail + self.resampler.resample(frame)
        else:
            resampled = self.resampler.resample(frame)
        data = b"".join(bytes(f.planes[0])[:f.samples * self.frame_bytes] for f in resampled)
        if frame is not None:
            data = self._mend(frame, data)
        else:
            self.damage.end()
        if frame is None:
            if self.loop_length:
                return self._wrap(data)
            self.ended = True
            return data or None
        if self.trim is not None and frame.time is not None:
            # The first samples queued after a seek: those before the time
            # sought go, and the clock starts at the first that stays (after
            # any silence queued ahead of it).  At a loop's next pass the
            # clock goes on as it was.
            skip = int(round((self.trim - frame.time) * self.rate)) * self.frame_bytes
            if skip >= len(data):
                return b""
            self.map.started_at(self.trim if skip > 0 else frame.time)
            data = data[max(0, skip):]
            self.trim = None
        if self.loop_length:
            left = self.map.room(self.loop_length)
            if len(data) >= left * self.frame_bytes:
                return self._wrap(data[:max(0, left) * self.frame_bytes])
        # Counted whether or not the video loops yet: it may be told later.
        self.map.decoded(len(data) // self.frame_bytes)
        return data

    def _mend(self, frame, data):
        """After sound skipped as damaged (the reader's `hurt`), silence
        for the time lost, so that the clock and the picture stay on the
        stream's time; the stretch is told."""
        expected, time = self.expected, frame.time
        if time is None:
            return data
        self.expected = time + frame.samples / (frame.sample_rate or self.rate)
        hurt = self.reader.hurt
        if hurt is None:
            self.damage.passed(time - self.origin)
            return data
        if time > hurt + QUIET:
            self.reader.hurt = None
        if expected is None or self.trim is not None:
            return data
        lost = int(round((time - expected) * self.rate))
        # Less than half a frame is the timestamps' rounding (a millisecond,
        # in Matroska), not sound lost.
        if lost < frame.samples * self.rate // (2 * (frame.sample_rate or self.rate)):
            return data
        self.damage.skipped("sound", expected - self.origin, lost / self.rate)
        return bytes(lost * self.frame_bytes) + data

    def _wrap(self, data):
        """The last of a pass's samples, filled with silence to the pass's
        length; decoding goes on from the stream's start, or as `follow()`
        says: (reader and stream of the next clip's sound, or None for this
        one's; its first timestamp; the seconds into it the pass starts
        from; its pass length, or None where it is the last)."""
        left = self.map.room(self.loop_length)
        data += bytes(max(0, left * self.frame_bytes - len(data)))
        following = self.follow() if self.follow is not None else None
        if following is None:
            following = self._reopened()
        reader, stream, self.origin, start, self.loop_length = following
        if reader is not None:
            self.reader.close()
            self.reader, self.stream = reader, stream
        self.map.origin = self.origin
        if start or reader is None:
            self._from(self.origin + start)
        else:
            # A reader fresh at the stream's start: a seek there would give
            # the decoder's first samples unprimed, some ms of silence.
            self.trim, self.expected = self.origin, None
            self.resampler, self.shape = self._resampler(), None
        self.map.next_pass(start)
        return data

    def waiting(self):
        """The time (of its clock's map) of the first sample still waiting
        in the device's queue, or of the next to be made where none waits:
        what can still be taken back starts there."""
        made = self.map.produced - (len(self.pending) + self.out.queued()) // self.frame_bytes
        return self.map.base + self.map.seconds_of(max(0, made))

    def cut(self, at):
        """Takes back what was made for the time `at` on (the time of its
        clock's map): from the device's queue, and what waits to go in.
        The time it was cut at (later than `at` where the device played
        some meanwhile), or None where nothing was made from there on."""
        wanted = self.map.samples_at(at)
        made = self.map.produced
        if wanted >= made:
            return None
        waiting = len(self.pending) // self.frame_bytes
        if wanted >= made - waiting:
            self.pending = self.pending[:(wanted - made + waiting) * self.frame_bytes]
        else:
            self.pending = b""
            asked = made - waiting - wanted
            wanted = made - waiting - self.out.unqueue(asked * self.frame_bytes) \
                // self.frame_bytes
        self.map.produced = wanted
        return self.map.base + self.map.seconds_of(wanted)

    def resume(self, seconds, loop_length):
        """After cut(): goes on from `seconds` into the stream (of the
        pass), with no gap, its passes `loop_length` long (None: to its
        end)."""
        self.loop_length, self.ended, self.expected = loop_length, False, None
        self.silent = 0
        self.map.cut(self.map.produced, seconds)
        self.playing_speed = self.speed
        if self.tempo is not None or self.speed != 1.0:
            self.tempo = self._tempo(self.speed, self.map.change(self.speed))
        self._from(self.origin + seconds)

    def rejoin(self, opened, origin, loop_length):
        """Reads another clip's sound (`opened`: its reader and stream),
        whose first timestamp is `origin`, from the next seek on."""
        self.reader.close()
        (self.reader, self.stream), self.origin, self.loop_length = opened, origin, loop_length
        self.map.origin = origin

    def _reopened(self):
        """The next pass of this stream from its start, by a reader of its
        own (or, where the file cannot be opened again, this one)."""
        try:
            reader, stream = open_sound_reader(self.av, self.path, self.index)
        except Exception:  # noqa: BLE001 (it seeks back instead)
            reader = stream = None
        return reader, stream, self.origin, 0.0, self.loop_length

    # --- the speed ---------------------------------------------------------

    def _retune(self, speed):
        """Plays the samples decoded from now on at `speed`: the filters
        pass on what they hold at the old speed, and new ones take over
        from the next sample decoded, with no gap.  Samples already queued
        play on at the speed they were made at: the clock's map says where
        the new speed begins.  What the old filters held: b"" where none."""
        self.map.forget((self.out.clock() - self.beyond) * self.rate)
        old, self.playing_speed = self.tempo, speed
        tail, took = b"", None
        if old is not None:
            tail, took = old.drain(), old.took()
            self.tempo = None
        seam = self.map.change(speed, len(tail) // self.frame_bytes, took)
        self.tempo = self._tempo(speed, seam) if speed != 1.0 or old is not None else None
        return tail

    def _tempo_bytes(self):
        """Decoded samples through the filters, until some come out or the
        stream ends (then all they hold); None at the end."""
        while True:
            data = self._decoded()
            if data is None:
                data = self._drain()
                self.ended = True
                return data or None
            data = self.tempo.push(data)
            if self.ended:
                data += self._drain()
                return data or None
            if data:
                return data

    def _drain(self):
        if self.tempo is None:
            return b""
        data, self.tempo = self.tempo.drain(), None
        return data

    def feed(self):
        """Queues decoded sound until AHEAD seconds wait to be heard or the
        stream ends; first, where asked (`again`), starts again from the
        time last sought, with silence ahead as at the start."""
        if self.again:
            self.seek(self.sought)
            self.preroll()
        want = int(AHEAD * self.rate) * self.frame_bytes
        while self.out.queued() < want:
            if not self.pending:
                if self.ended:
                    return
                data = self._next_bytes()
                if data is None:
                    self.ended = True
                    return
                self.pending = data
                self.queued_any = self.queued_any or bool(data)
            taken = self.out.queue(self.pending)
            self.pending = self.pending[taken:]
            if not taken:
                return

    def preroll(self):
        """Queues silence ahead of the sound, which the clock counts before
        its start: what is left of PREROLL seconds since the device started,
        and LEAD_IN seconds at least."""
        left = PREROLL - (time.perf_counter() - self.started)
        frames = int(max(LEAD_IN, left) * self.rate)
        self.out.queue(bytes(frames * self.frame_bytes))
        self.queued_any = True
        seconds = self.map.preroll(frames)
        if self.tempo is not None:
            self.tempo.seconds += seconds

    def done(self):
        """Whether every sample has been heard."""
        return self.ended and not self.pending and self.out.queued() == 0

    def clock(self):
        """The stream's time of the sample heard now, or None while nothing
        queued since the last seek has been heard (or a start again is
        asked for)."""
        if not self.queued_any or self.again:
            return None
        return self.map.time((self.out.clock() - self.beyond) * self.rate)

    def pause(self, paused):
        self.out.pause(paused)

    def volume(self):
        if self.channel is not None:
            return 0 if self.muted_level is not None else self.channel.volume
        return device.get_volume()

    def set_volume(self, percent):
        """Sets the volume, kept within 0-100; the device's volume now, in
        whole percent.  The level asked for is kept as it is, for the steps
        from it."""
        self.level = max(0.0, min(100.0, float(percent)))
        # Halves round up, as the device rounds the samples it scales.
        if self.channel is None:
            device.set_volume(int(self.level + 0.5))
        elif self.muted_level is None:
            self.channel.volume = int(self.level + 0.5)
        return self.volume()

    def step_volume(self, steps):
        """Turns the volume up (steps > 0) or down by VOLUME_STEP dB a step,
        from the level last set, not the device's rounded percent (which
        would stall steps near silence): 100 at most, and down to silence
        once the level rounds to 0%; up from silence starts at QUIETEST.
        The device's volume now."""
        level = self.level
        if level <= 0:
            level = QUIETEST * VOLUME_RATIO ** (steps - 1) if steps > 0 else 0.0
        else:
            level *= VOLUME_RATIO ** steps
        return self.set_volume(level if level >= 0.5 else 0.0)

    def toggle_mute(self):
        if self.channel is None:
            device.set_mute(not device.get_mute())
        elif self.muted_level is None:
            # A channel has no mute of its own: silent, its level kept.
            self.muted_level = self.level
            self.channel.volume = 0
        else:
            self.muted_level = None
            self.set_volume(self.level)
        return self.muted()

    def muted(self):
        if self.channel is not None:
            return self.muted_level is not None
        return device.get_mute()

    def close(self):
        self.tempo = None
        if self.reader is not None:
            self.reader.close()
            self.reader = None
        if self.hold is not None:
            self.hold.release()


class NoSound:
    """The reader of a clip without sound that follows one with: the sound
    ends where that clip starts."""

    hurt = None

    def next_frame(self):
        return None

    def seek(self, seconds):
        return False

    def close(self):
        pass


def open_sound_reader(av, path, stream_index):
    """A reader of the file's audio stream `stream_index` (None: FFmpeg's
    pick), and the stream; brilox's BadInput or FFmpeg's error where it
    cannot be read."""
    reader = Reader(av, path, path, refuse=False, pictures=False)
    try:
        stream = reader.choose("audio", stream_index, "audio_stream")
        reader.read(stream)
    except BaseException:
        reader.close()
        raise
    return reader, stream
