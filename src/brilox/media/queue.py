"""The frames a Video's decoding thread has ready, and the one lock between
that thread and the game's.

Each request the game makes (a seek, a step, another stream) bumps the
queue's serial and empties it: what answers an older request is dropped,
never shown.  The game's side sets what the decoding thread builds its
pipeline for (the probe, the padding, the picture's size on the display)
through the queue too, so neither side reaches into the other."""

import collections
import threading
import time

# The kinds of item: a frame of play, a seek's key frame shown on the way
# (a glimpse), a seek's or step's frame, a note of what came of a request
# that put no frame up, the end of play.
FRAME, GLIMPSE, SOUGHT, NOTE, END = "frame", "glimpse", "sought", "note", "end"
# What update() does with the first item ready, besides taking a note or the end.
WAIT, SHOW = "wait", "show"
# The longest (seconds) the clock's reading posted runs on for the decoding
# thread: a game's loop posts it at each update().
READING_RUNS_ON = 0.25


class Condition(threading.Condition):
    """A condition whose notify survives a waiter broken off mid-wait.  An
    exception raised by a signal handler (the player's Ctrl-C) inside the
    game's side's wait can leave that wait's waiter behind in the list,
    already released; before Python 3.9 the next notify then fails with
    "release unlocked lock", and close() with it.  Such waiters are let go."""

    def notify(self, n=1):
        try:
            super().notify(n)
        except RuntimeError:
            waiters = self._waiters
            for waiter in list(waiters):
                if not waiter.locked():
                    waiters.remove(waiter)
            super().notify(n)


class FrameQueue:
    """Items (anything with a `serial`) handed from the decoding thread to
    the game's, at most `capacity` ahead."""

    def __init__(self, capacity):
        self.capacity = capacity
        self._lock = Condition()
        self._items = collections.deque()
        self.serial = 0
        self._request = None
        self.closed = False
        # Play reached the end (or stopped): nothing more comes unasked.
        self.ended = False
        self._settings = {}
        # Room taken by due() that the decoding thread has not been told of.
        self._owed = False
        # The clock's reading, as the game's side last posted it: (serial,
        # time on the line, when it was posted, speed), or None.
        self._reading = None
        # Frames the decoding thread skipped (never decoded) to keep time,
        # as told by the frames of play taken.
        self.skipped = 0
        # Whether the decoding thread is asked to look at what else it has
        # to do (a clip to open ahead) while it has no room.
        self._poked = False

    # --- the game's side ----------------------------------------------------

    def ask(self, request):
        """A new request: what was queued is dropped.  The serial of the
        items that answer it."""
        with self._lock:
            self.serial += 1
            self._request = request
            self._items.clear()
            self._lock.notify_all()
            return self.serial

    def head(self):
        """The first item, or None.  (Only the current serial's are queued:
        a request empties the queue, and put() refuses older ones.)"""
        with self._lock:
            return self._items[0] if self._items else None

    def take(self, wake=True):
        """Takes the first item: the decoding thread has room for another,
        and is told so now, or with `wake` False at the next wake()."""
        with self._lock:
            if wake:
                self._lock.notify_all()
            else:
                self._owed = True
            return self._items.popleft()

    def wake(self):
        """Tells the decoding thread of the room due() took.  The game's
        side calls it once the frame taken is up: the thread, woken, wants
        the interpreter lock, and would take it from the game's thread at
        its next switch, in the middle of update(), were it told before the
        upload, which holds that lock."""
        with self._lock:
            if self._owed:
                self._owed = False
                self._lock.notify_all()

    def current(self):
        """The items of the current serial."""
        with self._lock:
            return list(self._items)

    def due(self, clock, up, now, pace=True, drop=True):
        """What goes up now, while `up` is the item up, by `clock` (a
        clock.Clock): (what, item, dropped).  `what` is NOTE (the note's
        item taken), END, SHOW (the item taken, with `dropped` frames whose
        time passed meanwhile, where `drop`, and those the decoding thread
        dropped before them) or None (nothing yet).  The decoding thread
        hears of the room taken at wake()."""
        self.wake()
        self._post(clock, up, now, pace and drop)
        head = self.head()
        if head is None or head.kind == NOTE:
            return (None, None, 0) if head is None else (NOTE, self.take(), 0)
        what, reading = clock.verdict(head, up, self.serial, now, pace)
        if what != SHOW:
            return what if what == END else None, None, 0
        item = self.take(False)
        dropped = self._told(item)
        while reading is not None and drop:
            following = self.head()
            if following is None or following.kind != FRAME or following.at > reading:
                break
            item = self.take(False)
            dropped += 1 + self._told(item)
        if reading is not None and not drop:
            clock.late(item.at, reading, now, item.duration)
        return SHOW, item, dropped

    def _told(self, item):
        """The frames the decoding thread dropped before `item`; those it
        skipped are counted."""
        self.skipped += getattr(item, "skipped", 0)
        return getattr(item, "dropped", 0)

    def _post(self, clock, up, now, judged):
        """The clock's reading for the decoding thread to judge its frames
        by: while frames of play are up and paced (`judged`), of the line
        of the current request."""
        reading = None
        if judged and clock.playing and up is not None and up.serial == self.serial \
                and up.kind != GLIMPSE:
            reading = clock.read(now)
        with self._lock:
            self._reading = None if reading is None else (self.serial, reading,
                                                          time.perf_counter(), clock.speed)

    def caught_up(self, clock, now, pace=True, settled=False):
        """Whether the items of the current request are what update() may
        want at `now`, by `clock` (a clock.Clock).  Before the game's side
        has shared its probe (at the first update()) no frame can be
        ready: there is nothing to wait for."""
        with self._lock:
            if "probe" not in self._settings:
                return True
        items = self.current()
        return clock.caught_up(items, len(items) >= self.capacity, now, pace, settled)

    def poke(self):
        """Wakes the decoding thread for its other work, room or not."""
        with self._lock:
            self._poked = True
            self._lock.notify_all()

    def forget(self, name):
        """The decoding thread waits for setting `name` to be shared anew."""
        with self._lock:
            self._settings.pop(name, None)

    def share(self, **settings):
        with self._lock:
            self._settings.update(settings)
            self._lock.notify_all()

    def wait_until(self, done, timeout, poll):
        """Waits up to `timeout` seconds (in real time) until `done()`,
        looking again at each change, and every `poll` seconds; not once
        closed."""
        deadline = time.monotonic() + timeout
        while not done():
            left = deadline - time.monotonic()
            with self._lock:
                if left <= 0 or self.closed:
                    return
                self._lock.wait(min(left, poll))

    def close(self):
        """Every waiter on either side wakes, and finds it closed."""
        with self._lock:
            self.closed = True
            self._lock.notify_all()

    # --- the decoding thread's side -----------------------------------------

    def next_job(self, poll=None):
        """Waits until there is a request or room (or `poll` seconds, where
        given): (request or None, its serial, whether the queue is full), or
        None once closed."""
        with self._lock:
            while not self.closed and self._request is None and self._full() \
                    and not self._poked:
                self._lock.wait(poll)
                if poll is not None:
                    break
            if self.closed:
                return None
            self._poked = False
            request, self._request = self._request, None
            return request, self.serial, self._full()

    def _full(self):
        return self.ended or len(self._items) >= self.capacity

    def put(self, item):
        """Hands an item over, unless a newer request came meanwhile."""
        with self._lock:
            if item.serial != self.serial:
                return False
            self._items.append(item)
            self._lock.notify_all()
            return True

    def end(self, item):
        """Hands over the end (an item that says so): nothing more comes
        until the next request."""
        with self._lock:
            if item.serial == self.serial:
                self._items.append(item)
                self.ended = True
                self._lock.notify_all()

    def go_on(self):
        with self._lock:
            self.ended = False

    def retract(self, first):
        """Drops the items from the first for which `first(item)` is true
        on, the end too (the decoding thread makes them again, otherwise);
        whether any went."""
        with self._lock:
            items = list(self._items)
            at = next((i for i, item in enumerate(items) if first(item)), len(items))
            if at == len(items):
                return False
            self._items = collections.deque(items[:at])
            self.ended = False
            self._lock.notify_all()
            return True

    def stale(self, serial):
        with self._lock:
            return serial != self.serial or self.closed

    def reading(self, serial, now=None):
        """The clock's time on the line by the reading the game's side
        posted last for request `serial`, run on at its speed to `now`
        (seconds on this module's clock, time.perf_counter, which the
        posting was stamped with), by at most READING_RUNS_ON; None
        without one."""
        with self._lock:
            posted = self._reading
        if posted is None or posted[0] != serial:
            return None
        now = time.perf_counter() if now is None else now
        return posted[1] + min(max(0.0, now - posted[2]), READING_RUNS_ON) * posted[3]

    def settings(self, serial, timeout):
        """The game's side's settings, once it has given `probe`; {} after
        `timeout` seconds without; None for an old serial, or once closed."""
        with self._lock:
            if serial == self.serial and not self.closed and "probe" not in self._settings:
                self._lock.wait(timeout)
            if serial != self.serial or self.closed:
                return None
            return dict(self._settings) if "probe" in self._settings else {}
