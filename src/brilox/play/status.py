"""What the player says while it plays: a status line on standard error,
and a summary at the end."""

import collections

from brilox.play.exits import PROG


def clock(seconds):
    """Seconds as h:mm:ss.s, or m:ss.s under an hour, tenths cut off."""
    tenths = int(max(0.0, seconds) * 10 + 1e-6)
    minutes, tenths = divmod(tenths, 600)
    hours, minutes = divmod(minutes, 60)
    text = "%d:%02d:%04.1f" % (hours, minutes, tenths / 10) if hours else \
        "%d:%04.1f" % (minutes, tenths / 10)
    return text


class Status:
    """The status line on a terminal, rewritten in place a few times a second;
    elsewhere a line a second, and a line for each key action.

    The frames a second are measured over the last frames shown while
    playing: a pause, a step or a seek starts the measurement again, and
    until there is one (two frames shown in a row) no periodic line is
    written."""

    def __init__(self, stream, count, length=None):
        self.stream, self.count, self.length = stream, count, length
        self.tty = stream.isatty()
        self.every = 0.2 if self.tty else 1.0
        self.shown_at = collections.deque(maxlen=30)
        self.uploads = collections.deque(maxlen=30)
        self.next_at = 0.0
        self.text = ""
        self.dropped = self.skipped_late = 0
        # The player's words on the sound (A-V, the volume), or None.
        self.sound = None
        # How fast it plays, said while it is not 1.
        self.speed = 1.0
        # The chapter of the frame up ("chapter 3/12: The Storm"), or None.
        self.chapter = None
        # The file's place in a list of several ("2/5 name"), or None.
        self.item = None
        # The A-B loop set ("A-B loop 0:12.4 - 0:15.0"), or None; the
        # sound's and the subtitles' delays (seconds), said while not 0.
        self.loop = None
        self.audio_delay = self.subtitle_delay = 0.0

    def restart(self):
        """A pause, step or seek: the next frames say nothing of the last."""
        self.shown_at.clear()

    def frame(self, number, position, upload, now, paused=False, playing=True):
        if playing:
            self.shown_at.append(now)
        self.uploads.append(upload)
        self.update(number, position, now, paused)

    def fps(self):
        times = self.shown_at
        span = times[-1] - times[0] if len(times) > 1 else 0.0
        return (len(times) - 1) / span if span > 0 else None

    def update(self, number, position, now, paused, force=False):
        fps = self.fps()
        upload = sum(self.uploads) / len(self.uploads) * 1000 if self.uploads else 0.0
        total = "/%d" % self.count if self.count else ""
        when = clock(position) if position is not None else "?"
        if self.length:
            when += " / " + clock(self.length)
        parts = ["frame %d%s" % (number, total), when]
        if self.item:
            parts.append(self.item)
        if self.chapter:
            parts.append(self.chapter)
        if self.loop:
            parts.append(self.loop)
        if paused:
            parts.append("paused")
        elif fps is not None:
            parts.append("%.1f fps" % fps)
        if self.speed != 1.0:
            parts.append("speed %.2fx" % self.speed)
        for name, delay in (("audio", self.audio_delay), ("subtitle", self.subtitle_delay)):
            if delay:
                parts.append("%s delay %+d ms" % (name, round(delay * 1000)))
        parts.append("upload %.2f ms" % upload)
        if self.dropped:
            parts.append("%d dropped" % self.dropped)
        if self.skipped_late:
            parts.append("%d skipped" % self.skipped_late)
        if self.sound:
            parts.append(self.sound)
        self.text = "  ".join(parts)
        due = now >= self.next_at and (fps is not None or paused)
        if self.tty and (force or due):
            self.stream.write("\r" + self.text + "\x1b[K")
            self.stream.flush()
            self.next_at = now + self.every
        elif not self.tty and due:
            self.line(self.text)
            self.next_at = now + self.every

    def event(self, text, number, position, now, paused):
        """A key action's words, on a line of their own; on a terminal the
        status line is written again below them."""
        self.line(text)
        if self.tty:
            self.update(number, position, now, paused, force=True)

    def line(self, text):
        self.stream.write(("\r\x1b[K" if self.tty else "") + text + "\n")
        self.stream.flush()

    def close(self):
        if self.tty and self.text:
            self.stream.write("\n")
            self.stream.flush()


class Summary:
    """The figures of a run.  `frames` were shown while playing, over
    `seconds` of playing time (pauses left out); `stepped` were shown by
    steps and seeks, and `dropped` skipped to keep time (`skipped_late` of
    them never decoded)."""

    # Why the screenshot asked for could not be written, if it could not.
    screenshot_error = None
    # The largest gap, in seconds, between the picture's time and the
    # sound's seen while playing, where there was sound.
    largest_gap = None
    # Frames skipped as damaged (never decoded whole), and frames the
    # decoder skipped to keep time (never decoded).
    skipped = skipped_late = 0
    # How play ended where not at the file's end (Player.then), the time
    # of the frame up then, and whether the file was played to its end.
    then, position, finished = None, None, False
    # Whether the window was full screen at the end.
    fullscreen = False

    def __init__(self, frames, seconds, upload_seconds, stepped=0, dropped=0, stopped=None):
        self.frames, self.seconds, self.upload_seconds = frames, seconds, upload_seconds
        self.stepped, self.dropped, self.stopped = stepped, dropped, stopped

    @property
    def fps(self):
        return self.frames / self.seconds if self.seconds > 0 else 0.0

    def __str__(self):
        shown = self.frames + self.stepped
        per_frame = self.upload_seconds / shown * 1000 if shown else 0.0
        # The share of playing time: the uploads of the frames played.
        share = per_frame / 10 * self.frames / self.seconds if self.seconds > 0 else 0.0
        text = ("%s: %d frame%s, %.2f s playing, %.1f fps, %d dropped, %d skipped, %d stepped, "
                "upload %.2f ms per frame (%.0f%% of the time)"
                % (PROG, self.frames, "" if self.frames == 1 else "s", self.seconds, self.fps,
                   self.dropped, self.skipped + self.skipped_late, self.stepped, per_frame,
                   share))
        if self.skipped_late:
            # Of those skipped, the ones skipped to keep time, not as damaged.
            text += ", %d skipped to keep time" % self.skipped_late
        if self.largest_gap is not None:
            text += ", largest A-V %+.3f s" % self.largest_gap
        return text
