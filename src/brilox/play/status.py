"""What the player says while it plays: a status line on standard error,
and a summary at the end."""

import collections

from brilox.play.frames import PROG


class Status:
    """The status line on a terminal, rewritten in place a few times a second;
    elsewhere a line a second, and a line for each key action."""

    def __init__(self, stream, count):
        self.stream, self.count = stream, count
        self.tty = stream.isatty()
        self.every = 0.2 if self.tty else 1.0
        self.shown_at = collections.deque(maxlen=30)
        self.uploads = collections.deque(maxlen=30)
        self.next_at = 0.0
        self.text = ""

    def frame(self, number, upload, now, paused=False):
        self.shown_at.append(now)
        self.uploads.append(upload)
        self.update(number, now, paused)

    def update(self, number, now, paused, force=False):
        times = self.shown_at
        span = times[-1] - times[0] if times else 0.0
        fps = (len(times) - 1) / span if span > 0 else 0.0
        upload = sum(self.uploads) / len(self.uploads) * 1000 if self.uploads else 0.0
        total = "/%d" % self.count if self.count else ""
        self.text = "frame %d%s  %.1f fps  upload %.2f ms%s" % (
            number, total, fps, upload, "  paused" if paused else "")
        if self.tty and (force or now >= self.next_at):
            self.stream.write("\r" + self.text + "\x1b[K")
            self.stream.flush()
            self.next_at = now + self.every
        elif not self.tty and now >= self.next_at:
            self.line(self.text)
            self.next_at = now + self.every

    def event(self, text, number, now, paused):
        if self.tty:
            self.update(number, now, paused, force=True)
        else:
            self.line(text)

    def line(self, text):
        self.stream.write(("\r\x1b[K" if self.tty else "") + text + "\n")
        self.stream.flush()

    def close(self):
        if self.tty and self.text:
            self.stream.write("\n")
            self.stream.flush()


class Summary:
    def __init__(self, frames, seconds, upload_seconds):
        self.frames, self.seconds, self.upload_seconds = frames, seconds, upload_seconds

    @property
    def fps(self):
        return self.frames / self.seconds if self.seconds > 0 else 0.0

    def __str__(self):
        per_frame = self.upload_seconds / self.frames * 1000 if self.frames else 0.0
        share = self.upload_seconds / self.seconds * 100 if self.seconds > 0 else 0.0
        return ("%s: %d frames, %.2f s playing, %.1f fps, upload %.2f ms per frame "
                "(%.0f%% of the time)"
                % (PROG, self.frames, self.seconds, self.fps, per_frame, share))
