"""Which streams a Video plays, and what a game may change of them: its
frames (a source; another video stream of the file), its sound (a channel
of the sound device of its own; its volume, mute and loop) and its
subtitles (the choice, and what could not be shown)."""

import errno
import math
import os
import warnings

import brilox.base
from brilox.media.frames import BadInput
from brilox.media.notes import DamageWarning, SubtitleWarning
from brilox.media.sources.damage import Damage
from brilox.media.subtitles import open_subtitles


class Streams:
    """A Video's `source`, its `sound` (or None) and its `subtitles` (or
    None), which it owns and closes; `loop` whether it loops."""

    def __init__(self, source, sound, subtitles, loop):
        self.source, self.sound, self.subtitles, self.loop = source, sound, subtitles, loop
        # Whether clips are queued after the one playing (its sound then
        # ends a pass at its length, looping or not).
        self.queued = lambda: False
        # The damage the picture and the sound skip, said as one.
        self.damage = getattr(source, "damage", None) or Damage()
        if sound is not None:
            if getattr(sound, "damage", None) is not None:
                self.damage.adopt(sound.damage)
            sound.damage = self.damage
            sound.pause(True)
            if loop and source.length:
                sound.loop_length = source.length

    @classmethod
    def over(cls, source, sound, loop, sub_file, subtitle_stream):
        """The streams of a source already open, with its Sound or None."""
        subtitles = open_subtitles(source, getattr(source, "path", None), sub_file,
                                   subtitle_stream)
        return cls(source, sound, subtitles, loop)

    @classmethod
    def open(cls, file, *, sound, loop, size, format, fps, channel, speed, sub_file,
             subtitle_stream, alpha=False):
        """A file's source (media, or raw frames where `size` or `format` is
        given), its sound (where `sound`, and a channel is free) and its
        subtitles; brilox.base.error for what cannot be read.  `alpha`: a
        media file's frames are kept whole, alpha and all, for a surface."""
        from brilox.media.sources.media import open_media
        from brilox.media.sources.raw import open_raw
        path = check_file(file)
        try:
            if size is not None or format is not None:
                if size is None:
                    raise BadInput("%s: raw frames need a size" % path)
                source = open_raw(path, format or "i420", tuple(size), fps or 30.0, loop)
            else:
                source = open_media(path, loop, alpha=alpha)
        except BadInput as e:
            raise brilox.base.error(str(e)) from None
        heard = None
        try:
            subtitles = open_subtitles(source, path, sub_file, subtitle_stream)
            heard = open_sound(source, path, channel) if sound else None
            if heard is not None:
                heard.speed = speed
                heard.preroll()  # a little silence ahead, while the device gets going
            return cls(source, heard, subtitles, loop)
        except BaseException as e:
            if heard is not None:
                heard.close()
            source.close()
            if isinstance(e, BadInput):
                raise brilox.base.error(str(e)) from None
            raise

    def set_loop(self, value, decoder):
        if bool(value) != self.loop:
            if not hasattr(self.source, "loop") or not getattr(self.source, "seekable", True):
                raise ValueError("this video cannot loop: it cannot be played again")
            self.loop = self.source.loop = decoder.loop = bool(value)
            if self.sound is not None and (value or not self.queued()):
                self.sound.loop_length = self.source.length if value else None

    def pause(self, flag):
        if self.sound is not None:
            self.sound.pause(flag)

    def set_lead(self, seconds, again):
        """The sound starts `seconds` before the time sought from the next
        seek on; from the time last sought at once, where `again`."""
        if self.sound is not None:
            self.sound.lead = seconds
            if again:
                self.sound.again = True

    def set_speed(self, value):
        if self.sound is not None:
            self.sound.speed = value

    @property
    def volume(self):
        return 0 if self.sound is None else self.sound.level

    def set_volume(self, percent):
        if math.isnan(float(percent)):
            raise ValueError("volume must be a number from 0 to 100")
        if self.sound is not None:
            self.sound.set_volume(float(percent))

    @property
    def muted(self):
        return self.sound is not None and self.sound.muted()

    def set_muted(self, flag):
        if self.sound is not None and bool(flag) != self.sound.muted():
            self.sound.toggle_mute()

    @property
    def choices(self):
        return list(self.subtitles.choices) if self.subtitles else []

    @property
    def chosen(self):
        return self.subtitles.chosen if self.subtitles else None

    def choose(self, choice):
        """Whether the subtitles shown changed to `choice`."""
        if self.subtitles is None and choice is not None:
            raise ValueError("%r: this video has no subtitles" % (choice,))
        if self.subtitles is None or choice == self.subtitles.chosen:
            return False
        self.subtitles.choose(choice)
        return True

    @property
    def subtitle_delay(self):
        return self.subtitles.delay if self.subtitles else 0.0

    def set_subtitle_delay(self, seconds):
        """Whether the subtitles' delay changed (there are none to move:
        it stays 0)."""
        if self.subtitles is None or seconds == self.subtitles.delay:
            return False
        self.subtitles.delay = seconds
        return True

    def cycle(self):
        """The next subtitles (after the last, none): the choice and its name
        ("stream 2 (srt, eng)", a file's name, or "off")."""
        if self.subtitles is None:
            return None, "no subtitles"
        choice = self.subtitles.cycle()
        return choice, self.subtitles.label(choice)

    def warn(self, on_warning, stacklevel):
        """Says what subtitles could not be shown (a SubtitleWarning) and the
        damage skipped (a DamageWarning): to `on_warning`, or as warnings."""
        for notes, category in ((self.subtitles.notes if self.subtitles is not None else (),
                                 SubtitleWarning),
                                (self.damage.notes, DamageWarning)):
            while notes:
                if on_warning is not None:
                    on_warning(notes.popleft())
                else:
                    warnings.warn(notes.popleft(), category, stacklevel=stacklevel + 1)

    def other_video(self, stream_index):
        """The source of the file's video stream `stream_index` takes the
        place of the one open, which closes (its sound goes on)."""
        source = self.source.other_stream(stream_index)
        self.source.close()
        self.source = source
        source.damage = self.damage
        if self.sound is not None and self.loop and source.length:
            self.sound.loop_length = source.length
        return source

    def close(self, keep_source=False):
        for owned in (self.sound, self.subtitles, None if keep_source else self.source):
            if owned is not None:
                owned.close()


def check_file(file):
    """`file` (a path) as a str, or FileNotFoundError where there is none."""
    path = os.fsdecode(os.fspath(file))
    if not os.path.exists(path):
        raise FileNotFoundError(errno.ENOENT, os.strerror(errno.ENOENT), path)
    return path


def open_sound(source, path, channel):
    """The file's sound on a channel of the sound device of its own (the one
    given, else a free one), where it has sound; None otherwise."""
    import brilox.sound as device
    if getattr(source, "audio_index", None) is None:
        return None
    if channel is None:
        channel = device.find_channel() if device.get_init() else next(
            (device.Channel(n) for n in range(1, 16) if not device.Channel(n).reserved), None)
        if channel is None:
            return None
    elif not isinstance(channel, device.Channel):
        channel = device.Channel(channel)
    from brilox.media.sound import Sound
    try:
        return Sound(source.av, path, source.audio_index, origin=source.start or 0.0,
                     channel=channel)
    except (brilox.base.error, source.av.FFmpegError, OSError):
        return None
