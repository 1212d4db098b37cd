"""The sound of a media file: decoded by FFmpeg's libraries through PyAV from
an opening of the file of its own, resampled to what the sound device
takes, and queued to brilox.sound.  Its clock, the time of the sample being
heard, is the master clock where there is sound.

Used by a Video::

    warm_up()                    # optional, early: starts the device on silence
    sound = Sound(av, path, stream_index, volume=100, mute=False)
    sound.seek(seconds)          # after a seek or step: flushes what is queued
    sound.feed()                 # often: keeps a little sound queued ahead
    sound.clock()                # the time heard now, or None before any
    sound.pause(True)            # and False
    sound.speed = 1.5            # from the next samples decoded, pitch kept
    sound.close()

The package, one job a module: ``device`` (who owns the device, and on
which channel a sound plays), ``tempo`` (the atempo filters of a speed),
``clock_map`` (from what the device has played to the stream's time) and
``decode`` (the Sound: the stream decoded over the reader and queued).
"""

from brilox.media.sound.clock_map import ONSET_LEAD
from brilox.media.sound.decode import (AHEAD, LEAD_IN, PREROLL, QUIETEST, VOLUME_RATIO,
                                       VOLUME_STEP, Sound)
from brilox.media.sound.device import BUFFER, CHANNELS, RATE, cool_down, warm_up
from brilox.media.sound.tempo import FASTEST, SLOWEST, TEMPO_RANGE, tempo_factors

__all__ = ["Sound", "warm_up", "cool_down", "tempo_factors", "FASTEST", "SLOWEST",
           "RATE", "CHANNELS", "BUFFER", "AHEAD", "PREROLL", "LEAD_IN", "QUIETEST",
           "VOLUME_STEP", "VOLUME_RATIO", "TEMPO_RANGE", "ONSET_LEAD"]
