"""brilox.media.queue: the FrameQueue between the decoding thread and the
game's: its serial, its capacity, its closing, and which frame it gives up
by a clock the test holds."""

import threading
from types import SimpleNamespace as Item

import pytest

from brilox.media.clock import Clock
from brilox.media.queue import END, FRAME, NOTE, READING_RUNS_ON, SOUGHT, FrameQueue


def frame(at, serial=1, kind=FRAME, note=None):
    return Item(kind=kind, at=at, serial=serial, duration=0.25, note=note)


def test_a_request_drops_what_answered_the_one_before_and_room_wakes_the_thread():
    queue = FrameQueue(2)
    assert queue.put(frame(0.0, serial=0)) and queue.put(frame(0.25, serial=0))
    assert queue.ask(("seek", 10, 0)) == 1 and queue.next_job(0.0) == (("seek", 10, 0), 1, False)
    assert queue.head() is None and not queue.put(frame(0.25, serial=0))
    queue.end(frame(0.5, serial=0, kind=END))  # an old request's end is no end
    assert not queue.ended and queue.stale(0) and not queue.stale(1)
    for at in (0.0, 0.25):
        queue.put(frame(at))
    assert queue.current() == [frame(0.0), frame(0.25)] and queue.next_job(0.0) == (None, 1, True)
    assert queue.take().at == 0.0 and queue.next_job(0.0) == (None, 1, False)
    queue.take()
    queue.end(frame(None, kind=END))
    assert queue.ended and queue.next_job(0.0) == (None, 1, True)  # one item, the end
    queue.go_on()
    assert queue.next_job(0.0) == (None, 1, False)
    # Full, the thread waits for room, unless poked for its other work (once).
    queue.put(frame(0.0))
    queue.poke()
    assert queue.next_job(None) == (None, 1, True) and queue.next_job(0.0) == (None, 1, True)


def test_settings_wait_for_the_probe_and_close_wakes_every_waiter():
    queue = FrameQueue(1)
    queue.share(shown=(320, 240))
    assert queue.settings(0, 0.0) == {}
    queue.share(probe="probe", pad=(1, 0))
    assert queue.settings(0, 0.0) == {"probe": "probe", "pad": (1, 0), "shown": (320, 240)}
    queue.ask(("step", 1, 0))
    assert queue.settings(0, 0.0) is None  # for an old request's frame
    queue = FrameQueue(1)
    queue.put(frame(0.0, serial=0))
    woke = {}
    # Daemons, closed whatever fails: a broken queue fails the test, not hangs it.
    waiters = [threading.Thread(target=target, daemon=True) for target in (
        lambda: woke.update(job=queue.next_job(None)),
        lambda: woke.update(settings=queue.settings(0, 60.0)),
        lambda: woke.update(waited=queue.wait_until(lambda: False, 60.0, 60.0) or "woke"))]
    try:
        for waiter in waiters:
            waiter.start()
        threading.Event().wait(0.05)
        assert not woke
        # What a wait broken off by Ctrl-C's exception can leave behind in
        # the list of waiters: its waiter, released.
        queue._lock._waiters.appendleft(threading.Lock())
    finally:
        queue.close()
    for waiter in waiters:
        waiter.join(5.0)
    assert woke == {"job": None, "settings": None, "waited": "woke"}


@pytest.mark.parametrize("drop, now, shown, dropped, base", [
    # The one due now is shown; the decoding thread dropped one frame and
    # skipped two before the second.
    (True, 10.75, 0.75, 3, (0.0, 10.0)),
    # Without dropping, each in turn; more than its duration late, the beat
    # starts again from it.
    (False, 10.5, 0.25, 0, (0.0, 10.0)), (False, 10.875, 0.25, 0, (0.25, 10.875))])
def test_the_frame_due_goes_up_with_those_passed_dropped(drop, now, shown, dropped, base):
    queue, clock = FrameQueue(8), Clock()
    assert queue.caught_up(clock, 0.0)  # before update() has shared the probe
    queue.share(probe="probe", pad=(0, 0))
    queue.ask(("seek", 0, 0))
    for at in (0.25, 0.5, 0.75, 1.0):
        queue.put(frame(at))
    queue.current()[1].dropped, queue.current()[1].skipped = 1, 2
    clock.play(10.0, up_at=0.0)
    what, item, count = queue.due(clock, frame(0.0), now, drop=drop)
    assert (what, item.at, count, clock.base, queue.head().at) == \
        ("show", shown, dropped, base, shown + 0.25)
    assert queue.skipped == (2 if drop else 0)
    # The clock's reading, for the decoding thread to judge its frames by,
    # run on (stamped by the queue's own clock) up to READING_RUNS_ON; none
    # for an older request's frames, nor where every frame is shown.
    posted = queue._reading[2] if drop else 0.0
    assert (queue.reading(1, posted + 0.01), queue.reading(1, posted + 1.0),
            queue.reading(0, posted)) == (
        (pytest.approx(now - 10.0 + 0.01), now - 10.0 + READING_RUNS_ON, None) if drop
        else (None, None, None))


def test_the_decoding_thread_hears_of_the_room_a_frame_left_once_it_is_up():
    # Woken before, it would want the interpreter lock during the upload.
    queue, clock = FrameQueue(2), Clock()
    queue.share(probe="probe", pad=(0, 0))
    for at in (0.0, 0.25):
        queue.put(frame(at, serial=0))
    clock.play(0.0, up_at=0.0)
    woke = threading.Event()
    waiter = threading.Thread(target=lambda: queue.next_job(None) and woke.set(), daemon=True)
    waiter.start()
    try:
        assert queue.due(clock, None, 0.3)[1].at == 0.0 and not woke.wait(0.05)
        queue.wake()
        assert woke.wait(5.0)
    finally:
        queue.close()
    # A wake the game's side missed comes at its next due().
    queue = FrameQueue(1)
    queue.put(frame(0.0, serial=0))
    woke.clear()
    waiter = threading.Thread(target=lambda: queue.next_job(None) and woke.set(), daemon=True)
    waiter.start()
    try:
        assert queue.due(clock, None, 0.3)[1].at == 0.0 and not woke.wait(0.05)
        assert queue.due(clock, None, 0.3) == (None, None, 0) and woke.wait(5.0)
    finally:
        queue.close()


def test_notes_and_the_end_come_off_the_queue_in_order():
    queue, clock = FrameQueue(4), Clock()
    queue.ask(("seek", 0, 0))
    for item in (frame(None, kind=NOTE, note="no frame"), frame(0.0, kind=SOUGHT),
                 frame(0.25, kind=END)):
        queue.put(item)
    what, item, _ = queue.due(clock, None, 0.0)
    assert (what, item.note) == (NOTE, "no frame")
    what, item, _ = queue.due(clock, None, 0.0)
    assert (what, item.kind) == ("show", SOUGHT)
    assert queue.due(clock, item, 1.0) == (None, None, 0)  # paused: the end waits
    clock.play(1.0, up_at=0.0)
    assert queue.due(clock, item, 1.5) == (END, None, 0) and queue.head().kind == END
    # A frame due goes up alone where the end follows it: the end is no frame to drop.
    queue.ask(("seek", 0, 0))
    for item in (frame(0.25, serial=2), frame(0.0, serial=2, kind=END)):
        queue.put(item)
    what, item, dropped = queue.due(clock, frame(0.0, serial=2), 1.5)
    assert (what, item.kind, dropped, queue.head().kind) == ("show", FRAME, 0, END)
