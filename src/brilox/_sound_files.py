"""Sounds a game plays: a file decoded once by FFmpeg's libraries (through
PyAV), resampled to the sound device's format, and played on a channel of
brilox.sound by the device's own thread, however many times over, with no
Python work while it plays.  brilox.sound.Sound is this module's Sound."""

import os
import sys

import brilox.base
import brilox.sound as device

# FFmpeg's sample format for each of the device's sample sizes
# (brilox.sound.open), and the bytes of each sample whose top bit flips to
# make the other sign of it (FFmpeg has no signed 8-bit nor unsigned 16-bit
# samples).
_FORMATS = {8: ("u8", None), -8: ("u8", slice(0, None)), -16: ("s16", None),
            16: ("s16", slice(1 if sys.byteorder == "little" else 0, None, 2))}
_LAYOUTS = {1: "mono", 2: "stereo"}
_FLIP = bytes(b ^ 0x80 for b in range(256))


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
        if not isinstance(path, str):
            path = os.fsdecode(path)
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
            # Decoded once, as FFmpeg gives it; resampled for the device's
            # format when first played (the device may open later).
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
        self._format = self._data = None
        self._channels = []

    def __repr__(self):
        return "<Sound %r, %.3f s>" % (self.path, self.length)

    def _samples(self, device_format):
        """The samples as the device takes them, for what brilox.sound.open
        returned; made once for each format the device opens in."""
        device_format = device_format[:3]
        if device_format != self._format:
            frequency, channels, size = device_format
            layout = _LAYOUTS.get(channels)
            if layout is None:
                raise brilox.base.error("a Sound plays on a device of 1 or 2 channels, "
                                        "not %d" % channels)
            fmt, flipped = _FORMATS[size]
            av = _load_av(self.path)
            resampler = av.AudioResampler(format=fmt, layout=layout, rate=frequency)
            frame_bytes = channels * abs(size) // 8
            parts = []
            for frame in self._frames + [None]:
                for out in resampler.resample(frame):
                    parts.append(bytes(out.planes[0])[:out.samples * frame_bytes])
            data = b"".join(parts) or bytes(frame_bytes)
            if flipped is not None:
                data = bytearray(data)
                data[flipped] = data[flipped].translate(_FLIP)
                data = bytes(data)
            # The channels still playing the old samples hold them.
            self._format, self._data = device_format, data
        return self._data

    def play(self, loops=0, volume=100, channel=None):
        """Plays the sound, then `loops` more times (-1: until stopped), at
        `volume` (0 to 100) on a free channel (see brilox.sound.find_channel),
        or on `channel` (a number or a brilox.sound.Channel) in place of what
        it plays; returns the Channel.  The device's own thread plays it."""
        if not device.get_init():
            raise brilox.base.error("play before open: open the sound device "
                                    "(brilox.sound.open) first")
        if channel is None:
            channel = device.find_channel()
            if channel is None:
                raise brilox.base.error("every channel from 1 to 15 is busy or reserved")
        elif not isinstance(channel, device.Channel):
            channel = device.Channel(channel)
        data = self._samples(device.get_format())
        channel.volume = volume
        channel.play(data, loops)
        self._channels = [c for c in self._channels if c != channel and c.playing(data)]
        self._channels.append(channel)
        return channel

    def stop(self):
        """Stops it on every channel it still plays on."""
        if self._data is not None and device.get_init():
            for channel in self._channels:
                if channel.playing(self._data):
                    channel.stop()
        self._channels = []
