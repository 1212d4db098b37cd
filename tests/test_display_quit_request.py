"""brilox.display.quit_requested against SDL's own event queue."""

import ctypes

import pytest

import brilox.base
import brilox.display
from support import sdl

SDL_QUIT, SDL_USEREVENT = 12, 24


def push(kind):
    """SDL_PushEvent's result: 0, or -1 when the queue is full."""
    event = ctypes.create_string_buffer(64)  # larger than any SDL_Event
    event[0] = kind
    return sdl.lib().SDL_PushEvent(event)


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
