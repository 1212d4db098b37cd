"""Who owns the sound device: the desktop player's Sound plays on the
module's own channel 0 and opens and closes the device itself (or takes the
one warm_up() started); a Video's Sound plays on a channel of the device
the game opened, or of one the first Video opened.  Either way the device
is the game's from then on: it stays open until brilox.sound.close() (or
quit(), or the end of the process), whatever the Videos do, so that the
game's own Sounds play after the last Video closed, and a second Video
starts on a device already running rather than waiting for a sound server
to wake again."""

import time
import weakref

import brilox.base
import brilox.sound as device

# What the device is asked for: what nearly all sound is made at.
RATE, CHANNELS = 48000, 2
# Seconds of sound held by the device's queue.
BUFFER = 1.0

# The device warm_up() started for the next Sound: (what open() returned,
# when it started), or None.
_warm = None
# The Sounds of Videos that play on channels of their own.
_channel_sounds = weakref.WeakSet()


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


class Hold:
    """A Sound's hold on the device: where its samples go (`out`: the
    module, or a channel), what the device plays (`got`: rate, channels,
    sample size, buffer in samples), and when it started.  Raises
    brilox.base.error with SDL's words where there is no device."""

    def __init__(self, sound, channel=None):
        global _warm
        self.sound, self.channel = weakref.ref(sound), channel
        self.out = device if channel is None else channel
        self.opened_here = False
        if channel is not None:
            if not device.get_init():
                # Opened for this Video, and the game's from now on: no
                # Video closes it.
                device.open(RATE, CHANNELS, -16, BUFFER)
                device.pause(False)
            self.got = device.get_format()
            if self.got[2] != -16:
                raise brilox.base.error("a video's sound plays on a device of 16-bit "
                                        "signed samples, not of size %d" % self.got[2])
            _channel_sounds.add(sound)
            # Kept for this sound until it closes, so that the game's Sounds
            # and other Videos pass it by while this one is paused or between
            # its sound's packets; a reservation the game made stays.
            self.kept_reserved = channel.reserved
            channel.reserved = True
            self.started = time.perf_counter()
        elif _warm is not None:
            (self.got, self.started), _warm = _warm, None
        else:
            # The device starts at once, on the silence SDL plays while
            # nothing is queued, so that it gets going while the file is
            # opened and the player's window comes up.
            self.got = device.open(RATE, CHANNELS, -16, BUFFER)
            device.pause(False)
            self.started = time.perf_counter()
            self.opened_here = True

    def release(self):
        """Gives the device back: the player's closes where this opened it;
        a channel's reservation is as the game left it, and the device
        stays open for the game."""
        sound = self.sound()
        if self.channel is not None and sound in _channel_sounds:
            self.channel.reserved = self.kept_reserved
            _channel_sounds.discard(sound)
        if not device.get_init():
            return
        if self.channel is None:
            if self.opened_here:
                self.opened_here = False
                device.close()
            return
        # The device stays open for the game's channels and the next Video.
        self.out.flush()
