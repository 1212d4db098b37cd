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
# What is pushed (type, layout, fields) and the Event read back, as a tuple:
# (type, key, mod, button, x, y, w, h, gain, state).
EVENTS = [
    # type, which, state, keysym (scancode, sym, mod, unicode)
    ((d.KEYDOWN, "=BBBxBxxxiiH", 0, 1, 24, d.K_q, 0x4041, 113),
     (d.KEYDOWN, d.K_q, 0x4041, 0, 0, 0, 0, 0, 0, 0)),
    ((d.KEYUP, "=BBBxBxxxiiH", 0, 0, 111, d.K_PAGEDOWN, 0, 0),
     (d.KEYUP, d.K_PAGEDOWN, 0, 0, 0, 0, 0, 0, 0, 0)),
    # type, which, button, state, x, y
    ((d.MOUSEBUTTONDOWN, "=BBBBHH", 0, d.BUTTON_RIGHT, 1, 65535, 7),
     (d.MOUSEBUTTONDOWN, 0, 0, d.BUTTON_RIGHT, 65535, 7, 0, 0, 0, 0)),
    ((d.MOUSEBUTTONUP, "=BBBBHH", 0, d.BUTTON_LEFT, 0, 3, 4),
     (d.MOUSEBUTTONUP, 0, 0, d.BUTTON_LEFT, 3, 4, 0, 0, 0, 0)),
    # type, which, state, x, y, xrel, yrel
    ((d.MOUSEMOTION, "=BBBxHHhh", 0, 0, 9, 10, -1, 1), (d.MOUSEMOTION, 0, 0, 0, 9, 10, 0, 0, 0, 0)),
    # type, w, h
    ((d.VIDEORESIZE, "=Bxxxii", 1920, 1080), (d.VIDEORESIZE, 0, 0, 0, 0, 0, 1920, 1080, 0, 0)),
    # type, gain, state
    ((d.ACTIVEEVENT, "=BBB", 0, d.APPINPUTFOCUS | d.APPACTIVE),
     (d.ACTIVEEVENT, 0, 0, 0, 0, 0, 0, 0, 0, d.APPINPUTFOCUS | d.APPACTIVE)),
    ((d.VIDEOEXPOSE,), (d.VIDEOEXPOSE,) + (0,) * 9),
    ((d.QUIT,), (d.QUIT,) + (0,) * 9),
    ((d.USEREVENT,), (d.USEREVENT,) + (0,) * 9),
]


def test_events_are_read_in_order_with_their_fields(screen):
    d.poll_events()
    for pushed, _ in EVENTS:
        assert push(*pushed) == 0
    events = d.poll_events()
    assert [tuple(e) for e in events] == [read for _, read in EVENTS]
    assert (events[0].key, events[5].w, events[5].h, events[2].x) == (d.K_q, 1920, 1080, 65535)
    assert d.poll_events() == []
    # One at a time, the same.
    for pushed, _ in EVENTS:
        push(*pushed)
    assert [tuple(d.wait_event(0)) for _ in EVENTS] == [read for _, read in EVENTS]
    assert d.wait_event(0) is None


def test_a_full_queue_is_read_in_one_call(screen):
    pushed = 0
    while push(d.KEYDOWN, "=BBBxBxxxiiH", 0, 1, 0, pushed % 300, 0, 0) == 0 and pushed < 10000:
        pushed += 1
    assert [e.key for e in d.poll_events()] == [k % 300 for k in range(pushed)]
    assert push(d.QUIT) == 0


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
        with pytest.raises(Interrupted):
            d.wait_event(20000)
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
