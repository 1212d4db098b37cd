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


@contextlib.contextmanager
def xvfb(reset=False):
    """A fresh Xvfb server on a free display, stopped on leaving; its
    display's name.  Without `reset` it keeps running as it is when its last
    client leaves; with it, it resets then, as a server started by hand
    does, and refuses connections meanwhile."""
    xvfb = shutil.which("Xvfb")
    if xvfb is None or shutil.which("xdotool") is None:
        no_x_server("Xvfb or xdotool is not installed")
    read_end, write_end = os.pipe()
    log = tempfile.TemporaryFile()
    try:
        # -displayfd picks a free display and writes its number once the
        # server accepts connections.
        server = subprocess.Popen(
            [xvfb, "-displayfd", str(write_end), "-screen", "0", "640x480x24",
             "-nolisten", "tcp", "-ac"] + ([] if reset else ["-noreset"]),
            pass_fds=(write_end,), stdin=subprocess.DEVNULL, env=tool_env(),
            stdout=log, stderr=log)
    except OSError as e:
        os.close(read_end)
        os.close(write_end)
        no_x_server("Xvfb cannot be run: %s" % e)
    os.close(write_end)
    try:
        number = b""
        while not number.endswith(b"\n"):
            if not select.select([read_end], [], [], 20)[0]:
                break
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_end)
        if not number.strip().isdigit():
            server.kill()
            server.wait()
            log.seek(0)
            no_x_server("Xvfb did not start: %s" % log.read().decode(errors="replace")[-500:])
        yield ":" + number.strip().decode()
    finally:
        end(server)
        log.close()


@pytest.fixture(scope="module")
def x_display():
    """A fresh Xvfb server on a free display, stopped after the module."""
    with xvfb() as display:
        yield display


class Watcher(threading.Thread):
    """Reads one pixel of the screen every half millisecond (through Xlib,
    as a compositor would) and notes when it changes brightness."""

    def __init__(self, display, x, y):
        super().__init__(daemon=True)
        x11 = self.x11 = ctypes.CDLL(ctypes.util.find_library("X11"))
        x11.XOpenDisplay.restype = ctypes.c_void_p
        x11.XDefaultRootWindow.restype = ctypes.c_ulong
        x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        x11.XGetImage.restype = ctypes.POINTER(ctypes.c_void_p)
        x11.XGetImage.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                                  ctypes.c_uint, ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
        self.free = ctypes.CDLL(None).free
        self.free.argtypes = [ctypes.c_void_p]
        self.connection = x11.XOpenDisplay(display.encode())
        self.root, self.x, self.y = x11.XDefaultRootWindow(self.connection), x, y
        self.seen, self.running = [], True
        self.start()

    def run(self):
        while self.running:
            image = self.x11.XGetImage(self.connection, self.root, self.x, self.y, 1, 1,
                                       0xFFFFFFFF, 2)  # ZPixmap
            # An XImage begins with four ints, then its data; both are
            # Xlib's malloc'd blocks.
            data = image[2]
            self.seen.append((time.monotonic(), ctypes.cast(data, ctypes.POINTER(
                ctypes.c_uint32))[0] >> 8 & 0xFF))
            self.free(data)
            self.free(image)
            time.sleep(0.0005)

    def stop(self):
        """The times and green levels read."""
        self.running = False
        self.join(10)
        self.x11.XCloseDisplay(ctypes.c_void_p(self.connection))
        return self.seen
