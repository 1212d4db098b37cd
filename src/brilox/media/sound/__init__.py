"""The sound of a media file: decoded by FFmpeg's libraries through PyAV from
an opening of the file of its own, resampled by PyAV's resampler to what
the sound device takes, and queued to brilox.sound.  Its clock, the time
of the sample being heard, is the player's master clock.

Used by the player::

    warm_up()                    # optional, early: starts the device on silence
    sound = Sound(av, path, stream_index, volume=100, mute=False)
    sound.seek(seconds)          # after a seek or step: flushes what is queued
    sound.feed()                 # often: keeps a little sound queued ahead
    sound.clock()                # the time heard now, or None before any
    sound.pause(True)            # and False
    sound.speed = 1.5            # from the next samples decoded, pitch kept
    sound.close()
"""

import math
import time
import weakref
from fractions import Fraction

import brilox.base
import brilox.sound as device

# What the device is asked for: what nearly all sound is made at.
RATE, CHANNELS = 48000, 2
# Seconds of sound held by the device's queue, and kept queued ahead.
BUFFER, AHEAD = 1.0, 0.5
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
# The speeds sound plays at, pitch kept; and the tempo one atempo filter
# reaches on every FFmpeg (older ones go no further): beyond it, two are
# chained.  A change of speed drains the filters and starts new ones: told
# a new tempo instead, FFmpeg's atempo drops or plays again some of what it
# holds, which the clock would not know of.
SLOWEST, FASTEST = 0.25, 4.0
TEMPO_RANGE = (0.5, 2.0)
# Slowed down, the filters play overlapping stretches of the sound more
# than once: a sound that starts is heard from the first stretch that holds
# it, ahead of its place by this many seconds of the stream times
# (1 - speed), as measured of tones' onsets through FFmpeg's atempo.  The
# clock counts them in, so that the picture keeps to when a sound is first
# heard.
ONSET_LEAD = 0.018
# Samples of each frame pushed into the tempo filters.
TEMPO_CHUNK = 1024

# The device warm_up() started for the next Sound: (what open() returned,
# when it started), or None.
_warm = None
# The Sounds of Videos that play on channels of their own, and whether the
# first of them opened the device (which the last then closes).
_channel_sounds = weakref.WeakSet()
_video_device = set()


def warm_up():
    """Opens the sound device and starts it on silence, for the next Sound
    to take over: its start-up and the silence it needs ahead of the sound
    then pass while the file and the window are opened.  Where there is no
    device, nothing happens (the Sound says why).  cool_down() closes a
    device that no Sound took."""
    global _warm
    cool_down()
    try:
        got = device.open(RATE, CHANNELS, -16, BUFFER)
    except brilox.base.error:
        return
    device.pause(False)
    _warm = got, time.perf_counter()


def cool_down():
    """Closes the device that warm_up() started, if no Sound took it."""
    global _warm
    if _warm is not None:
        _warm = None
        if device.get_init():
            device.close()


class Sound:
    """The sound of one audio stream of a file, played from a time on."""

    def __init__(self, av, path, stream_index, volume=100, mute=False, origin=0.0,
                 channel=None):
        self.av, self.path = av, path
        self.container = None
        # Where the samples go: the module's own channel 0 with the master
        # volume and mute (as the desktop player plays), or a channel of the device
        # the game opened, with that channel's volume.
        self.channel = channel
        self.out = device if channel is None else channel
        self.opened_here = False
        self.muted_level = None
        global _warm
        if channel is not None:
            if not device.get_init():
                # Opened for the Videos, and closed when the last of them
                # is, unless the game plays on it then.
                device.open(RATE, CHANNELS, -16, BUFFER)
                device.pause(False)
                _video_device.add(True)
            got = device.get_format()
            if got[2] != -16:
                raise brilox.base.error("a video's sound plays on a device of 16-bit "
                                        "signed samples, not of size %d" % got[2])
            _channel_sounds.add(self)
            # Kept for this sound until it closes, so that the game's Sounds
            # and other Videos pass it by while this one is paused or between
            # its sound's packets; a reservation the game made stays.
            self.kept_reserved = channel.reserved
            channel.reserved = True
            self.started = time.perf_counter()
        elif _warm is not None:
            (got, self.started), _warm = _warm, None
        else:
            # Raises brilox.base.error with SDL's words where there is no
            # device.  The device starts at once, on the silence SDL plays
            # while nothing is queued, so that it gets going while the file
            # is opened here and the player's window comes up.
            got = device.open(RATE, CHANNELS, -16, BUFFER)
            device.pause(False)
            self.started = time.perf_counter()
            self.opened_here = True
        self.rate, self.channels = got[0], got[1]
        # The device's clock tells what has left SDL's buffer; one buffer
        # more waits beyond it on its way out (as FFmpeg's player reckons).
        self.beyond = got[3] / self.rate
        self.frame_bytes = 2 * self.channels
        self.set_volume(volume)
        if mute != self.muted():
            self.toggle_mute()
        self.error = None
        self.packets = None
        # The speed asked for (set from any thread), and the one the samples
        # now being decoded play at; the filter graph that changes their
        # tempo, from the first speed other than 1 until the next seek.
        self.speed = self.playing_speed = 1.0
        self.tempo = None
        # Seconds of each pass of a looping video, which the sound keeps to
        # (cut, or filled with silence), going on into the next pass with no
        # gap; None: the sound ends with its stream.
        self.loop_length = None
        # The video's first timestamp: times are told from it.
        self.origin = origin
        try:
            self.open(stream_index)
        except BaseException:
            self.close()
            raise

    def open(self, stream_index, seconds=0.0):
        """Plays the stream with this index from `seconds` on."""
        if self.container is not None:
            self.packets.close()
            self.packets = None
            self.container.close()
        self.container = self.av.open(self.path)
        self.stream = next(s for s in self.container.streams if s.index == stream_index)
        self.index = stream_index
        self.seek(seconds)

    def seek(self, seconds):
        """Drops what is queued; plays on from `seconds` into the stream
        (its time less `origin`, the video's first timestamp)."""
        self.out.flush()
        self.base = seconds + self.origin
        self.pending = b""
        self.ended = False
        self.queued_any = False
        self.pass_samples = int(round(seconds * self.rate))
        # Fresh filters: what the old ones hold belongs before the seek.
        self.playing_speed = speed = self.speed
        self.tempo = self._tempo_graph(speed, 0.0) if speed != 1.0 else None
        # Samples queued since the seek, and where the speed changed among
        # them: (samples queued before, seconds of the stream they played,
        # speed from there on).  The clock maps what has been heard back
        # to the stream's time through them.
        self.produced = 0
        self.speeds = [(0, 0.0, self.playing_speed)]
        self._from(self.base)
        self.rebase = True

    def _from(self, seconds):
        """Decodes on from `seconds` (the stream's own time)."""
        self.trim = seconds
        try:
            self.container.seek(int(self.trim / self.stream.time_base), backward=True,
                                any_frame=False, stream=self.stream)
        except self.av.FFmpegError:
            # A stream that cannot seek plays on from where it stands.
            self.trim = None
        # The demuxer is closed, not dropped: PyAV frees the packet it reads
        # into only then.
        if self.packets is not None:
            self.packets.close()
        self.packets = self.container.demux(self.stream)
        self.resampler = self.av.AudioResampler(
            format="s16", layout="stereo" if self.channels == 2 else "mono", rate=self.rate)
        self.frames = (frame for packet in self.packets for frame in packet.decode())

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
            self.produced += len(data) // self.frame_bytes
        return data

    def _decoded(self):
        """The next decoded frame's samples as the device takes them, less
        those before the time sought; None at the end."""
        try:
            frame = next(self.frames, None)
        except self.av.FFmpegError as e:
            self.error = "sound stopped: %s" % (e.strerror or e)
            frame = None
        resampled = self.resampler.resample(frame)
        data = b"".join(bytes(f.planes[0])[:f.samples * self.frame_bytes] for f in resampled)
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
            if self.rebase:
                self.base += (self.trim if skip > 0 else frame.time) - self.trim
            data = data[max(0, skip):]
            self.trim = None
        if self.loop_length:
            left = int(round(self.loop_length * self.rate)) - self.pass_samples
            if len(data) >= left * self.frame_bytes:
                return self._wrap(data[:max(0, left) * self.frame_bytes])
        # Counted whether or not the video loops yet: it may be told later.
        self.pass_samples += len(data) // self.frame_bytes
        return data

    def _wrap(self, data):
        """The last of a pass's samples, filled with silence to the pass's
        length; decoding goes on from the stream's start."""
        left = int(round(self.loop_length * self.rate)) - self.pass_samples
        data += bytes(max(0, left * self.frame_bytes - len(data)))
        if self.packets is not None:
            self.packets.close()
        self._from(self.origin)
        self.rebase = False
        self.pass_samples = 0
        return data

    # --- the speed ---------------------------------------------------------

    def _retune(self, speed):
        """Plays the samples decoded from now on at `speed`: the filters
        pass on what they hold at the old speed, and new ones take over
        from the next sample decoded, with no gap.  Samples already queued
        play on at the speed they were made at: the clock's map says where
        the new speed begins (where the input to the old filters ended, as
        they may keep time a little differently).  What the old filters
        held: b"" where none."""
        # The changes before the one being heard are done with (a held key
        # makes many).
        heard = (self.out.clock() - self.beyond) * self.rate
        speeds = self.speeds
        while len(speeds) > 1 and speeds[1][0] <= heard:
            speeds = speeds[1:]
        old, self.playing_speed = self.tempo, speed
        tail = b""
        if old is None:
            seam = self._stream_seconds(self.produced)
        else:
            tail = self._tempo_drain()
            begun = self.produced
            self.produced += len(tail) // self.frame_bytes
            seam = old[5] + old[4] / self.rate
            at, seconds, _ = speeds[-1]
            if self.produced > at and seam > seconds:
                speeds = speeds[:-1] + [(at, seconds, (seam - seconds) * self.rate
                                         / (self.produced - at))]
            elif begun == self.produced:
                seam = self._stream_seconds(self.produced)
        self.speeds = speeds + [(self.produced, seam, speed)]
        self.tempo = self._tempo_graph(speed, seam) if speed != 1.0 or old is not None \
            else None
        return tail

    def _tempo_graph(self, speed, seconds):
        """FFmpeg's atempo filters for `speed` between the samples decoded
        and the device's format, taking the stream from `seconds` (on the
        clock's map) on: [graph, source, stages, sink, samples pushed,
        seconds]."""
        layout = "stereo" if self.channels == 2 else "mono"
        graph = self.av.filter.Graph()
        source = graph.add_abuffer(format="s16", layout=layout, sample_rate=self.rate,
                                   time_base=Fraction(1, self.rate))
        last, stages = source, []
        for factor in tempo_factors(speed):
            stage = graph.add("atempo", "tempo=%r" % factor)
            last.link_to(stage)
            last = stage
            stages.append(stage)
        kept = graph.add("aformat", "sample_fmts=s16:channel_layouts=%s" % layout)
        last.link_to(kept)
        sink = graph.add("abuffersink")
        kept.link_to(sink)
        graph.configure()
        return [graph, source, stages, sink, 0, seconds]

    def _tempo_push(self, data):
        """Pushes samples (None: the end) into the filters; what comes out."""
        graph, source, _, sink, pts, _ = self.tempo
        if data is None:
            source.push(None)
        else:
            for start in range(0, len(data), TEMPO_CHUNK * self.frame_bytes):
                part = data[start:start + TEMPO_CHUNK * self.frame_bytes]
                frame = self.av.AudioFrame(format="s16", layout="stereo" if self.channels == 2
                                           else "mono", samples=len(part) // self.frame_bytes)
                frame.planes[0].update(part)
                frame.rate, frame.pts = self.rate, pts
                frame.time_base = Fraction(1, self.rate)
                pts += frame.samples
                source.push(frame)
            self.tempo[4] = pts
        out = []
        while True:
            try:
                frame = sink.pull()
            except (EOFError, BlockingIOError, self.av.FFmpegError):
                break
            out.append(bytes(frame.planes[0])[:frame.samples * self.frame_bytes])
        return b"".join(out)

    def _tempo_drain(self):
        """What the filters still hold, once the samples pushed end."""
        if self.tempo is None:
            return b""
        data = self._tempo_push(None)
        self.tempo = None
        return data

    def _tempo_bytes(self):
        """Decoded samples through the filters, until some come out or the
        stream ends (then all they hold); None at the end."""
        while True:
            data = self._decoded()
            if data is None:
                data = self._tempo_drain()
                self.ended = True
                return data or None
            data = self._tempo_push(data)
            if self.ended:
                data += self._tempo_drain()
                return data or None
            if data:
                return data

    def _stream_seconds(self, heard, lead=False):
        """Seconds of the stream played by the first `heard` samples queued
        since the seek, through the changes of speed among them; `lead`:
        as far on as what is heard sounds (see ONSET_LEAD)."""
        speeds = self.speeds
        for at, seconds, speed in reversed(speeds):
            if at <= heard:
                break
        else:
            at, seconds, speed = speeds[0]
        seconds += (heard - at) * speed / self.rate
        return seconds + ONSET_LEAD * max(0.0, 1.0 - speed) if lead else seconds

    def feed(self):
        """Queues decoded sound until AHEAD seconds wait to be heard or the
        stream ends."""
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
        self.base -= frames / self.rate
        self.queued_any = True
        # Silence at its own pace: the speed starts after it.
        self.produced += frames
        speed = self.speeds[-1][2]
        self.speeds = [(0, 0.0, 1.0), (frames, frames / self.rate, speed)]
        if self.tempo is not None:
            self.tempo[5] += frames / self.rate

    def done(self):
        """Whether every sample has been heard."""
        return self.ended and not self.pending and self.out.queued() == 0

    def clock(self):
        """The stream's time of the sample heard now, or None while nothing
        queued since the last seek has been heard."""
        if not self.queued_any:
            return None
        heard = (self.out.clock() - self.beyond) * self.rate
        return self.base - self.origin + self._stream_seconds(heard, lead=True)

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
        if self.container is not None:
            if self.packets is not None:
                self.frames.close()
                self.packets.close()
            self.container.close()
            self.container = None
        if self.channel is not None and self in _channel_sounds:
            self.channel.reserved = self.kept_reserved
            _channel_sounds.discard(self)
        if not device.get_init():
            return
        if self.channel is None:
            if self.opened_here:
                device.close()
            return
        # The device stays open for the game's other channels.
        self.out.flush()
        _channel_sounds.discard(self)
        if _video_device and not _channel_sounds and not any(
                device.Channel(n).busy for n in range(1, 16)):
            _video_device.clear()
            device.close()


def tempo_factors(speed):
    """The tempos of the atempo filters chained for `speed`: one where it
    reaches, else two alike."""
    low, high = TEMPO_RANGE
    if low <= speed <= high:
        return [speed]
    return [speed ** 0.5] * 2
