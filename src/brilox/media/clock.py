"""When a Video's frames are due: the clock's time line and where each
frame falls on it.

The line is the sound's clock where there is sound and it is heard, else
the system's: a time on the line and the moment it was read, run on at the
speed.  Nothing here reads the system clock, sleeps or takes a lock: the
caller passes `now` (seconds on a monotonic clock), and of the sound the
clock only asks what it has played, so that every number can be checked
exactly with a stand-in sound.  Loop passes: `Passes`."""

from brilox.media.queue import END, FRAME, GLIMPSE, NOTE, SHOW, SOUGHT, WAIT

# The longest the frame up is held for the sound to begin (some sound
# servers take a while), after which the picture goes on by the system clock.
SOUND_START = 3.0
# Later than this (seconds) by the system clock, the beat starts again from
# the frame due rather than drop more: at most this much is skipped at once.
LATE_LIMIT = 1.0


# The furthest (seconds) the sound may be moved against the picture.
LONGEST_DELAY = 60.0


def check_delay(delay, name):
    """`delay` (seconds, either way) as a float, or the error that names it."""
    try:
        value = float(delay)
    except (TypeError, ValueError):
        raise TypeError("%s takes a number, not %s" % (name, type(delay).__name__)) from None
    if not -LONGEST_DELAY <= value <= LONGEST_DELAY:
        raise ValueError("%s must be from %g to %g seconds, not %r"
                         % (name, -LONGEST_DELAY, LONGEST_DELAY, delay))
    return value


def check_speed(speed):
    """`speed` as a float, or the error that names it."""
    from brilox.media.sound import FASTEST, SLOWEST
    try:
        value = float(speed)
    except (TypeError, ValueError):
        raise TypeError("speed takes a number, not %s" % type(speed).__name__) from None
    if not SLOWEST <= value <= FASTEST:
        raise ValueError("speed must be from %g to %g, not %r" % (SLOWEST, FASTEST, speed))
    return value


class Clock:
    """The time line a Video's frames are due on.  `sound`: the sound that
    plays beside the picture, or None; its clock leads while it is heard.
    Of the sound the clock asks only its `clock()` (seconds of it heard,
    None before any), `done()` and `error`.

    `base` is the system clock's line, (time on the line, now) or None
    while it stands; `heard` the sound's last reading, likewise; `noted`
    the time the line stood at when paused, from which play goes on unless
    a seek's frame went up meanwhile.

    `delay`: seconds the sound is heard after the picture (before it, where
    negative).  The line is the sound's clock plus the delay: the picture
    runs that far ahead of the sound it goes with."""

    def __init__(self, sound=None):
        self.sound = sound
        self.speed = 1.0
        self.delay = 0.0
        self.playing = False
        self.base = self.heard = self.noted = None
        # Until when the frame up is held for the sound to begin.
        self.sound_wait = None
        # A seek's key frame is up while the sound, silent, waits for the
        # frame sought: the system clock alone leads meanwhile.
        self.landing = False

    def hearing(self):
        """The sound's clock (None before it is heard) and whether it plays."""
        sound = self.sound
        if sound is None or sound.error is not None or sound.done():
            return None, False
        return sound.clock(), True

    def read(self, now):
        """The time on the line at `now`: the sound's while it is heard,
        else the system clock's; None while the picture waits for the sound
        to begin, or the line stands."""
        if self.sound is not None and not self.landing:
            heard, live = self.hearing()
            if live:
                if heard is not None:
                    self.heard = (heard + self.delay, now)
                    return self.heard[0]
                if self.heard is None and self.sound_wait:
                    if now < self.sound_wait:
                        return None
                    # No sound in time: the line runs on from the frame up,
                    # held until the wait ran out.
                    if self.base is not None:
                        self.base = (self.base[0], self.sound_wait)
                    self.sound_wait = None
            if self.heard is not None and self.base is None:
                # The sound stopped: the system clock goes on from it.
                self.base = self.heard
        if self.base is None:
            return None
        return self.base[0] + (now - self.base[1]) * self.speed

    def play(self, now, up_at):
        """Play goes on from where the line stood at the pause, else from
        the frame up (at `up_at` on the line, None before any)."""
        self.playing = True
        if up_at is not None:
            self.base = (up_at if self.noted is None else self.noted, now)
        self.sound_wait = now + SOUND_START

    def pause(self, now, up_at):
        reading = self.read(now)
        self.noted = reading if reading is not None else up_at
        self.base = None
        self.playing = False

    def set_speed(self, value, now):
        """The line goes on from where it stands at `now`, at `value`
        (which it returns)."""
        if self.base is not None:
            self.base = (self.base[0] + (now - self.base[1]) * self.speed, now)
        if self.heard is not None:
            self.heard = (self.heard[0] + (now - self.heard[1]) * self.speed, now)
        self.speed = value
        return value

    @property
    def lead(self):
        """Seconds before a frame sought (or the first) that its sound is
        to start from: a positive delay's.  The line, the sound's clock plus
        the delay, then starts at the frame, and every frame after it is on
        time.  A negative delay needs none: the frame stays up until the
        sound, from it, has played the delay's length, the picture waiting."""
        return max(0.0, self.delay)

    def set_delay(self, value, now, sought=False):
        """The sound is heard `value` seconds after the picture from `now`
        on: the line moves by the change (the picture catches up, or waits
        for the sound).  Whether the sound is to start again, with the new
        lead, from the frame up: where the lead changed while the line
        stands at a start or a seek (paused, nothing heard since; or with
        a seek on its way, `sought`)."""
        if self.heard is not None:
            self.heard = (self.heard[0] + value - self.delay, self.heard[1])
        lead, self.delay = self.lead, value
        return self.lead != lead and not self.playing and (self.heard is None or sought)

    def land(self, at, now):
        """A seek's or step's frame (at `at` on the line) went up at `now`:
        the line starts from it, now or at play(); what was noted at the
        pause no longer holds."""
        self.heard = self.noted = None
        self.base = (at, now) if self.playing else None
        if self.playing:
            self.sound_wait = now + SOUND_START

    def start(self, at, now):
        """Without sound, a line that stands starts from the frame up."""
        if self.sound is None and self.base is None:
            self.base = (at, now)

    def late(self, at, reading, now, limit=LATE_LIMIT):
        """Whether a frame due at `at` is more than `limit` behind the
        system clock's `reading`: the beat then starts again from it."""
        if self.sound is not None or reading - at <= limit:
            return False
        self.base = (at, now)
        return True

    def verdict(self, head, up, serial, now, pace=True):
        """What update() does at `now` with `head`, the first item of request
        `serial` ready, while `up` is the item up (None before any): WAIT,
        SHOW or END, and the time on the line by which frames after it are
        late (None: show it alone).  A seek's frame, or the first of play,
        goes up at once, and the line starts from it (held there until the
        sound begins, where there is sound); the frames of play go up when
        due by the line."""
        if head.kind in (GLIMPSE, SOUGHT) or up is None or up.serial != serial:
            if head.kind == END:
                return END, None
            self.landing = head.kind == GLIMPSE and self.sound is not None
            if head.kind != GLIMPSE:
                self.land(head.at, now)
            return SHOW, None
        if not self.playing:
            return WAIT, None
        if not pace:
            return (END if head.kind == END else SHOW), None
        reading = self.read(now)
        if reading is None:
            self.start(up.at, now)
            return WAIT, None
        if head.kind == END:
            # Once the last frame's time is over, and the sound's.
            over = reading >= up.at + up.duration and not self.hearing()[1]
            return (END if over else WAIT), None
        if head.at > reading:
            return WAIT, None
        if self.late(head.at, reading, now):
            return SHOW, None
        return SHOW, reading

    def caught_up(self, items, full, now, pace=True, settled=False):
        """Whether `items` (those of the current request ready; `full`: as
        many as the queue holds) are what update() may want at `now`: a frame
        not yet due, the end, a note; paused, any (or none, where nothing is
        asked for: `settled`)."""
        reading = self.read(now) if self.playing and pace else None
        if full or any(item.kind in (END, NOTE) for item in items):
            return True
        if not self.playing:
            return bool(items) or (settled and not self.landing)
        if not items:
            return False
        return not pace or (reading is not None and items[-1].at > reading)

    def due_in(self, head, now, pace=True):
        """Seconds until `head` (the first item ready, or None) is due, or
        None where no frame waits."""
        if head is None or head.kind != FRAME or not self.playing:
            return None
        if not pace:
            return 0.0
        reading = self.read(now)
        return None if reading is None else head.at - reading


class Passes:
    """Where each frame of play falls on the line, pass after pass of a
    looping file: a loop's next pass goes on from the last one's length
    (what the sound plays a pass for, where it plays them), so that the
    line runs on as the sound's clock does."""

    def __init__(self):
        self.start = 0.0
        # The last frame given: (number in its pass, time, at, duration).
        self.last = None
        # Whether a pass of another clip (or of this one from a later start)
        # follows: the frames are then timed by their pass, as the sound's.
        self.followed = False

    def restart(self, number, time, duration):
        """Play goes on after this frame, up at its own time."""
        self.start, self.followed = 0.0, False
        self.last = (number, time, time, duration)

    def follow(self, end, number, time):
        """Another pass, of another clip or of this one from a later start,
        follows the pass playing, which ends at `end` seconds of its own
        time (None where not known: at the last frame's end).  Its first
        frame (`number` and `time` in it) falls there on the line."""
        if self.last is None:
            ends_at = self.start + (end or 0.0)
        else:
            _, last_time, last_at, last_duration = self.last
            ends_at = last_at + last_duration if end is None else self.start + end
        self.start = ends_at - time
        self.last = (number - 1, time, ends_at, 0.0)
        self.followed = True

    def at(self, number, time, timed_by_pass=False, pass_length=None):
        """Where the next frame (`number` and `time` in its pass) falls:
        `timed_by_pass` (sound that loops) at its pass's start plus its
        time, else after the last frame's duration; never before it."""
        if self.last is None:
            return time
        last_number, last_time, last_at, last_duration = self.last
        if number < last_number:
            self.start += pass_length or last_time + last_duration
            return self.start + time
        if timed_by_pass or self.followed:
            return max(last_at + 1e-6, self.start + time)
        if number > last_number + 1:
            # Frames between were skipped: this one falls as far after the
            # last as its time.
            return max(last_at + 1e-6, last_at + time - last_time)
        return max(last_at + 1e-6, last_at + last_duration)

    def given(self, number, time, at, duration):
        self.last = (number, time, at, duration)


# What the decoding thread does with a frame of play, by Overload.judge:
# through its pipeline, dropped before it, or a jump on to the key frame
# at the clock.
CONVERT, DROP, JUMP = "convert", "drop", "jump"
# However late the frames, one goes through at least this often (seconds
# on the line), so that the picture never stands still for good where the
# decoder cannot keep up at all.  (A frame that goes through so is shown
# late: the longer this, the fewer.)
HOLD_LIMIT = 2.0
# A jump aims this far (seconds) past where the clock will be.
JUMP_LEAD = 0.1


class Overload:
    """Whether the decoding thread keeps up with the clock, from one frame
    to the next.  A frame that would be ready only after its time is over
    (the clock's reading, plus what a frame's pipeline takes, past its time
    and duration) is dropped before its pipeline; while frames are dropped
    the decoder skips the frames no other refers to (`skipping`) until one
    is on time again; when a whole key-frame interval is late, the decoding
    thread jumps on to the key frame at the clock.  Pure: the caller gives
    the clock's reading and how long each pipeline took."""

    def __init__(self):
        # Seconds a frame's pipeline takes, smoothed.
        self.cost = None
        self.skipping = False
        # A jump was made and no frame was on time since.
        self.jumped = False
        # Where on the line the last frame that went through falls.
        self.last = None

    def took(self, seconds):
        self.cost = seconds if self.cost is None else 0.75 * self.cost + 0.25 * seconds

    def judge(self, at, duration, reading, key_interval=None):
        """CONVERT, DROP or JUMP for the frame at `at` on the line, lasting
        `duration`, with the clock at `reading` (None: not running, every
        frame goes through); `key_interval`: seconds between the stream's
        key frames, where known."""
        if reading is None:
            self.skipping = self.jumped = False
            self.last = None
            return CONVERT
        behind = reading + (self.cost or 0.0) - at
        if behind < duration:
            if behind <= 0:
                self.skipping = self.jumped = False
            self.last = at
            return CONVERT
        self.skipping = True
        if key_interval and behind > key_interval + duration and not self.jumped:
            self.jumped = True
            return JUMP
        if self.last is None:
            self.last = at
        elif at - self.last >= HOLD_LIMIT:
            self.last = at
            return CONVERT
        return DROP

    def jump_to(self, at, reading):
        """How far on (seconds) from the frame at `at` a jump aims."""
        return reading + (self.cost or 0.0) + JUMP_LEAD - at
