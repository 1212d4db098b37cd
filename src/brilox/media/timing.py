"""How a Video's streams are timed against one another: how fast it plays,
and how far the sound and the subtitles are moved against the picture (for
a sound device that is heard late, or subtitles timed badly)."""

import time

from brilox.media.clock import check_delay, check_speed


class Timed:
    """The part of a Video that times its streams; Video derives from it."""

    @property
    def speed(self):
        """How fast it plays, from 0.25 to 4.0; the sound keeps its pitch."""
        self._check()
        return self._clock.speed

    @speed.setter
    def speed(self, value):
        self._check()
        self._streams.set_speed(self._clock.set_speed(check_speed(value), time.perf_counter()))

    @property
    def audio_delay(self):
        """Seconds the sound is heard after the picture (before it, where
        negative), 0 at first: the picture is timed by the sound's clock
        plus this.  After a start or a seek the picture plays from the
        frame sought, every frame shown: the sound starts this much before
        it (silence before the video's start), or, negative, the frame
        waits for the sound.  A change while playing shows at once, the
        picture going on from the sound's new place on its line; set before
        play() (or paused at a seek), the sound starts again for it."""
        self._check()
        return self._clock.delay

    @audio_delay.setter
    def audio_delay(self, seconds):
        self._check()
        clock = self._clock
        again = clock.set_delay(check_delay(seconds, "audio_delay"), time.perf_counter(),
                                self._aim is not None)
        self._streams.set_lead(clock.lead, again)

    @property
    def subtitle_delay(self):
        """Seconds the subtitles show after their own times (before them,
        where negative), 0 at first (and for good without subtitles);
        paused, the frame up shows the change at the next update()."""
        self._check()
        return self._streams.subtitle_delay

    @subtitle_delay.setter
    def subtitle_delay(self, seconds):
        self._check()
        if self._streams.set_subtitle_delay(check_delay(seconds, "subtitle_delay")):
            self._again()
