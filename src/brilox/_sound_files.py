"""Sounds a game plays: a file decoded once by FFmpeg's libraries (through
PyAV), resampled to the sound device's format, and played on a channel of
brilox.sound by the device's own thread, however many times over, with no
Python work while it plays.  brilox.sound.Sound is this module's Sound."""

import os

import brilox.base
import brilox.sound as device

# FFmpeg's sample formats for the device's sample sizes (brilox.sound.open).
_FORMATS = {8: "u8", -8: None, 16: None, -16: "s16", -32: "s32"}
_LAYOUTS = {1: "mono", 2: "stereo"}


def _load_av(path):
    try:
        import av
    except ImportError:
        raise brilox.base.error("%s: a Sound needs FFmpeg's libraries (PyAV): "
                                "pip install 'brilox[video]'" % path) from None
    return av


class Sound:
    """The sound of a file, decoded once.  `length` is in seconds."""

    def __init__(self, path):
        path = os.fspath(path)
        if not os.path.exists(path):
            raise FileNotFoundError(2, os.strerror(2), path)
        av = _load_av(path)
        try:
            container = av.open(path)
        except (av.FFmpegError, OSError) as e:
            raise brilox.base.error("%s: %s" % (path, getattr(e, "strerror", None) or e)) \
                from None
        try:
            if not container.streams.audio:
                raise brilox.base.error("%s: no audio stream" % path)
            stream = container.streams.audio[0]
            # Decoded once, as FFmpeg gives it; resampled once for the
            # device's format when first played (the device may open later).
            self._frames = []
            for frame in container.decode(stream):
                frame.pts = None
                self._frames.append(frame)
        except av.FFmpegError as e:
            raise brilox.base.error("%s: %s" % (path, e.strerror or e)) from None
        finally:
            container.close()
        if not self._frames:
            raise brilox.base.error("%s: no sound in its audio stream" % path)
        self.path = path
        self.length = sum(f.samples for f in self._frames) / self._frames[0].sample_rate
        self._data = {}
        self._channels = []

    def _samples(self, spec):
        """The samples as the device takes them: (frequency, channels, size)."""
        data = self._data.get(spec)
        if data is None:
            frequency, channels, size = spec
            fmt, layout = _FORMATS.get(size), _LAYOUTS.get(channels)
            if fmt is None or layout is None:
                raise brilox.base.error("a Sound cannot be played on a device of %d channels "
                                        "of %d-bit samples" % (channels, abs(size)))
            av = _load_av(self.path)
            resampler = av.AudioResampler(format=fmt, layout=layout, rate=frequency)
            frame_bytes = channels * abs(size) // 8
            parts = []
            for frame in self._frames + [None]:
                for out in resampler.resample(frame):
                    parts.append(bytes(out.planes[0])[:out.samples * frame_bytes])
            self._data = {spec: b"".join(parts)}
            data = self._data[spec]
        return data

    def play(self, loops=0, volume=100, channel=None):
        """Plays the sound `loops` more times after the first (-1: until
        stopped) on a free channel, or on `channel` (a number or a
        brilox.sound.Channel); returns the Channel."""
        if not device.get_init():
            raise brilox.base.error("play before open: open the sound device "
                                    "(brilox.sound.open) first")
        if channel is None:
            channel = device.find_channel()
            if channel is None:
                raise brilox.base.error("every channel is busy")
        elif not isinstance(channel, device.Channel):
            channel = device.Channel(channel)
        data = self._samples(device.get_format())
        channel.volume = volume
        channel.play(data, loops)
        self._channels = [c for c in self._channels if c.busy and c.playing(data)] + [channel]
        self._playing_data = data
        return channel

    def stop(self):
        """Stops it on every channel it plays on."""
        data = self._data and next(iter(self._data.values()))
        for channel in self._channels:
            if data is not None and channel.playing(data):
                channel.flush()
        self._channels = []
