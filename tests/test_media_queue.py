"""brilox.media.queue: the FrameQueue between the decoding thread and the
game's, its serial, its capacity and its closing; and which frame it gives
up when, by a clock the test holds."""

import threading
from types import SimpleNamespace as Item

import pytest

from brilox.media.clock import Clock
from brilox.media.queue import END, FRAME, NOTE, SOUGHT, FrameQueue


def frame(at, serial=1, kind=FRAME, duration=0.25):
    return Item(kind=kind, at=at, serial=serial, duration=duration, note=None)


def test_a_request_drops_what_answered_the_one_before():
    queue = FrameQueue(4)
    assert queue.put(frame(0.0, serial=0)) and queue.head().at == 0.0
    assert queue.ask(("seek", 10, 0)) == 1 and queue.head() is None
    # What the decoding thread made for the old request is refused.
    assert not queue.put(frame(0.25, serial=0)) and queue.head() is None
    assert queue.next_job(0.0) == (("seek", 10, 0), 1, False)
    assert queue.next_job(0.0) == (None, 1, False)  # taken once
    assert queue.put(frame(0.5)) and queue.current() == [queue.head()]
    assert queue.stale(0) and not queue.stale(1)
    queue.end(frame(0.75, serial=0, kind=END))  # an old end is no end
    assert not queue.ended


def test_the_decoding_thread_waits_while_the_queue_is_full_or_ended():
    queue = FrameQueue(2)
    queue.ask(("seek", 0, 0))
    queue.next_job(0.0)
    for at in (0.0, 0.25):
        queue.put(frame(at))
    assert queue.next_job(0.0) == (None, 1, True)
    assert queue.take().at == 0.0 and queue.next_job(0.0) == (None, 1, False)
    queue.end(frame(None, kind=END))
    assert queue.ended and queue.next_job(0.0) == (None, 1, True)
    queue.go_on()
    assert queue.next_job(0.0)[2] is True  # still two items
    queue.take()
    assert queue.next_job(0.0) == (None, 1, False)


def test_close_wakes_every_waiter_on_either_side():
    queue = FrameQueue(1)
    queue.put(frame(0.0, serial=0))
    woke = {}
    waiters = [
        threading.Thread(target=lambda: woke.update(job=queue.next_job(None))),
        threading.Thread(target=lambda: woke.update(settings=queue.settings(0, 60.0))),
        threading.Thread(target=lambda: woke.update(waited=queue.wait_until(
            lambda: False, 60.0, 60.0) or "woke")),
    ]
    for waiter in waiters:
        waiter.start()
    threading.Event().wait(0.05)
    assert not woke
    queue.close()
    for waiter in waiters:
        waiter.join(5.0)
        assert not waiter.is_alive()
    assert woke == {"job": None, "settings": None, "waited": "woke"}


def test_settings_wait_for_the_probe():
    queue = FrameQueue(3)
    assert queue.settings(0, 0.0) == {}
    queue.share(shown=(320, 240))
    assert queue.settings(0, 0.0) == {}
    queue.share(probe="probe", pad=(1, 0))
    assert queue.settings(0, 0.0) == {"probe": "probe", "pad": (1, 0), "shown": (320, 240)}
    queue.ask(("step", 1, 0))
    assert queue.settings(0, 0.0) is None  # an old request's frame is not worth it


@pytest.mark.parametrize("drop, now, shown, dropped, base", [
    (True, 10.875, 0.75, 2, (0.0, 10.0)),
    # Without dropping, each goes up in turn; more than its duration late,
    # the beat starts again from it.
    (False, 10.5, 0.25, 0, (0.0, 10.0)),
    (False, 10.875, 0.25, 0, (0.25, 10.875)),
])
def test_the_frame_due_goes_up_with_those_passed_dropped(drop, now, shown, dropped, base):
    queue, clock = FrameQueue(8), Clock()
    queue.ask(("seek", 0, 0))
    for at in (0.25, 0.5, 0.75, 1.0):
        queue.put(frame(at))
    clock.play(10.0, up_at=0.0)
    what, item, count = queue.due(clock, frame(0.0), now, drop=drop)
    assert (what, item.at, count, clock.base) == ("show", shown, dropped, base)
    assert queue.head().at == shown + 0.25


def test_notes_and_the_end_come_off_the_queue_in_order():
    queue, clock = FrameQueue(4), Clock()
    queue.ask(("seek", 0, 0))
    queue.put(Item(kind=NOTE, serial=1, note="no frame"))
    queue.put(frame(0.0, kind=SOUGHT))
    queue.put(frame(0.25, kind=END))
    what, item, _ = queue.due(clock, None, 0.0)
    assert (what, item.note) == (NOTE, "no frame")
    what, item, _ = queue.due(clock, None, 0.0)
    assert (what, item.kind) == ("show", SOUGHT)
    assert queue.due(clock, item, 1.0) == (None, None, 0)  # paused: the end waits
    clock.play(1.0, up_at=0.0)
    assert queue.due(clock, item, 1.5) == (END, None, 0)
    assert queue.head().kind == END  # it stays for the next update()
