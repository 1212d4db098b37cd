"""An Xvfb server for the tests that need real X input.

Where no X server can be started the tests are skipped, except in CI, where
that is a failure.
"""

import contextlib
import ctypes
import ctypes.util
import os
import select
import shutil
import subprocess
import tempfile
import threading
import time

import pytest

from sanitizer import tool_env
from support import end


def no_x_server(reason):
    if os.environ.get("CI"):
        pytest.fail("CI must run the X11 tests: " + reason)
    pytest.skip(reason)


def start_xvfb(screen="640x480x24", *options, reset=False, log=subprocess.DEVNULL):
    """Starts Xvfb on a free display: (its process, the display's name).
    Without `reset` it keeps running as it is when its last client leaves;
    with it, it resets then, as a server started by hand does, and refuses
    connections meanwhile.  OSError where it cannot be run, RuntimeError
    where it does not start within 20 s."""
    read_end, write_end = os.pipe()
    try:
        # -displayfd picks a free display and writes its number once the
        # server accepts connections.
        server = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0", screen, "-nolisten", "tcp",
             "-ac", *options] + ([] if reset else ["-noreset"]),
            pass_fds=(write_end,), stdin=subprocess.DEVNULL, env=tool_env(), stdout=log,
            stderr=log)
    except OSError:
        os.close(read_end)
        raise
    finally:
        os.close(write_end)
    number = b""
    while not number.endswith(b"\n") and select.select([read_end], [], [], 20)[0]:
        chunk = os.read(read_end, 16)
        if not chunk:
            break
        number += chunk
    os.close(read_end)
    if not number.strip().isdigit():
        end(server)
        raise RuntimeError("Xvfb did not start")
    return server, ":" + number.strip().decode()


@contextlib.contextmanager
def xvfb(reset=False):
    """A fresh Xvfb server on a free display (start_xvfb), stopped on
    leaving; its display's name."""
    if shutil.which("Xvfb") is None or shutil.which("xdotool") is None:
        no_x_server("Xvfb or xdotool is not installed")
    with tempfile.TemporaryFile() as log:
        try:
            server, display = start_xvfb(reset=reset, log=log)
        except OSError as e:
            no_x_server("Xvfb cannot be run: %s" % e)
        except RuntimeError:
            log.seek(0)
            no_x_server("Xvfb did not start: %s" % log.read().decode(errors="replace")[-500:])
        try:
            yield display
        finally:
            end(server)


@pytest.fixture(scope="module")
def x_display():
    """A fresh Xvfb server on a free display, stopped after the module."""
    with xvfb() as display:
        yield display


def xlib():
    """Xlib, through ctypes, with the calls that read the screen typed."""
    x11 = ctypes.CDLL(ctypes.util.find_library("X11"))
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XDefaultRootWindow.restype = ctypes.c_ulong
    x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
    x11.XGetImage.restype = ctypes.POINTER(ctypes.c_void_p)
    x11.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                              ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
    x11.XFlush.argtypes = x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
    return x11


class Watcher(threading.Thread):
    """Reads one pixel of the screen every half millisecond (through Xlib,
    as a compositor would) and notes its brightness, with the times just
    before the read was asked for and just after it came back: a reading
    shows the screen at some moment between the two."""

    def __init__(self, display, x, y):
        super().__init__(daemon=True)
        x11 = self.x11 = xlib()
        self.free = ctypes.CDLL(None).free
        self.free.argtypes = [ctypes.c_void_p]
        self.connection = x11.XOpenDisplay(display.encode())
        self.root, self.x, self.y = x11.XDefaultRootWindow(self.connection), x, y
        self.seen, self.running = [], True
        self.start()

    def run(self):
        while self.running:
            asked = time.monotonic()
            image = self.x11.XGetImage(self.connection, self.root, self.x, self.y, 1, 1,
                                       0xFFFFFFFF, 2)  # ZPixmap
            # An XImage begins with four ints, then its data; both are
            # Xlib's malloc'd blocks.
            data = image[2]
            self.seen.append((asked, time.monotonic(), ctypes.cast(data, ctypes.POINTER(
                ctypes.c_uint32))[0] >> 8 & 0xFF))
            self.free(data)
            self.free(image)
            time.sleep(0.0005)

    def stop(self):
        """The times asked, the times read and the green levels."""
        self.running = False
        self.join(10)
        self.x11.XCloseDisplay(self.connection)
        return self.seen
