"""brilox.display's event reading against SDL's own event queue."""

import ctypes
import signal
import struct
import threading
import time

import pytest

import brilox.base
import brilox.display
from support import sdl

SDL_QUIT, SDL_USEREVENT = 12, 24


def push(kind, layout="=B", *fields):
    """SDL_PushEvent's result: 0, or -1 when the queue is full.  The event's
    fields follow its type as SDL_Event lays them out (`layout`)."""
    event = ctypes.create_string_buffer(64)  # larger than any SDL_Event
    struct.pack_into(layout, event, 0, kind, *fields)
    return sdl.lib().SDL_PushEvent(event)


d = brilox.display
FIELDS = ("type", "key", "mod", "button", "x", "y", "w", "h", "gain", "state")
# Each kind as SDL_Event lays it out, and the fields read back that are not 0.
EVENTS = [
    ("=BBBxBxxxiiH", (d.KEYDOWN, 0, 1, 24, d.K_q, 0x4041, 113), dict(key=d.K_q, mod=0x4041)),
    ("=BBBxBxxxiiH", (d.KEYUP, 0, 0, 111, d.K_PAGEDOWN, 0, 0), dict(key=d.K_PAGEDOWN)),
    ("=BBBBHH", (d.MOUSEBUTTONDOWN, 0, 3, 1, 65535, 7), dict(button=3, x=65535, y=7)),
    ("=BBBBHH", (d.MOUSEBUTTONUP, 0, 1, 0, 3, 4), dict(button=1, x=3, y=4)),
    ("=BBBxHHhh", (d.MOUSEMOTION, 0, 0, 9, 10, -1, 1), dict(x=9, y=10)),
    ("=Bxxxii", (d.VIDEORESIZE, 1920, 1080), dict(w=1920, h=1080)),
    ("=BBB", (d.ACTIVEEVENT, 1, 6), dict(gain=1, state=6)),
    ("=B", (d.VIDEOEXPOSE,), {}), ("=B", (d.QUIT,), {}), ("=B", (d.USEREVENT,), {}),
]


def test_events_are_read_in_order_with_their_fields(screen):
    d.poll_events()
    expected = [dict(type=fields[0], **read) for _, fields, read in EVENTS]
    for layout, fields, _ in EVENTS:
        assert push(fields[0], layout, *fields[1:]) == 0
    events = d.poll_events()
    assert [{f: getattr(e, f) for f in FIELDS if getattr(e, f)} for e in events] == expected
    assert d.poll_events() == []
    # One at a time, the same.
    for layout, fields, _ in EVENTS:
        push(fields[0], layout, *fields[1:])
    assert [d.wait_event(0) for _ in EVENTS] == events and d.wait_event(0) is None


def test_posted_events_come_back_in_order_with_their_type(screen):
    d.poll_events()
    blank = (0,) * (len(FIELDS) - 1)
    d.post_event(d.USEREVENT + 7)
    assert push(SDL_QUIT) == 0
    d.post_event(d.USEREVENT)
    assert d.poll_events() == [(t,) + blank for t in (d.USEREVENT + 7, SDL_QUIT, d.USEREVENT)]
    # Other types are refused and leave the queue as it was.
    d.post_event(d.USEREVENT + 1)
    for bad in (d.USEREVENT - 1, d.USEREVENT + 8, 1 << 64):
        with pytest.raises(ValueError, match=r"^event type must be from USEREVENT \(24\) to 31$"):
            d.post_event(bad)
    with pytest.raises(TypeError):
        d.post_event(24.0)
    assert d.poll_events() == [(d.USEREVENT + 1,) + blank]
    # Another thread's event ends a wait.
    threading.Timer(0.05, d.post_event, (d.USEREVENT + 2,)).start()
    assert d.wait_event(5000) == (d.USEREVENT + 2,) + blank
    sdl.lib().SDL_SetError(b"an older error")  # not to be given as the reason
    with pytest.raises(brilox.base.error, match="^SDL's event queue is full$"):
        for posted in range(1000):
            d.post_event(d.USEREVENT)
    assert 100 < posted < 1000 and d.poll_events() == [(d.USEREVENT,) + blank] * posted


def test_wait_event_waits_out_its_deadline_and_lets_signals_in(screen):
    d.poll_events()
    start = time.monotonic()
    assert d.wait_event(60) is None
    assert time.monotonic() - start >= 0.055

    # The timer's thread runs only while the wait has let the interpreter
    # go, and its signal ends the wait with the handler's exception.
    class Interrupted(Exception):
        pass

    def handler(signum, frame):
        raise Interrupted

    previous = signal.signal(signal.SIGUSR1, handler)
    timer = threading.Timer(0.1, signal.pthread_kill, (threading.main_thread().ident,
                                                      signal.SIGUSR1))
    try:
        timer.start()
        start = time.monotonic()
        with pytest.raises(Interrupted):
            d.wait_event(20000)
        # Soon after the signal, not at the end of the wait.
        assert time.monotonic() - start < 2.0
    finally:
        timer.cancel()
        signal.signal(signal.SIGUSR1, previous)
    with pytest.raises(ValueError):
        d.wait_event(-1)


def test_window_close_is_reported_once(screen):
    assert brilox.display.quit_requested() is False
    assert push(SDL_QUIT) == 0
    assert brilox.display.quit_requested() is True
    assert brilox.display.quit_requested() is False


def test_queue_is_emptied_so_a_later_close_still_arrives(screen):
    pushed = 0
    while push(SDL_USEREVENT) == 0 and pushed < 10000:
        pushed += 1
    assert 0 < pushed < 10000
    # A full queue drops a close.
    assert push(SDL_QUIT) == -1
    assert brilox.display.quit_requested() is False
    assert push(SDL_QUIT) == 0
    assert brilox.display.quit_requested() is True


def test_quit_request_needs_video():
    with pytest.raises(brilox.base.error, match="video system not initialized"):
        brilox.display.quit_requested()
