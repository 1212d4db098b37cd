"""An Xvfb server for the tests that need real X input.

Where no X server can be started the tests are skipped, except in CI, where
that is a failure.
"""

import os
import select
import shutil
import subprocess
import tempfile

import pytest

from sanitizer import tool_env


def no_x_server(reason):
    if os.environ.get("CI"):
        pytest.fail("CI must run the X11 tests: " + reason)
    pytest.skip(reason)


@pytest.fixture(scope="module")
def x_display():
    """A fresh Xvfb server on a free display, stopped after the module."""
    xvfb = shutil.which("Xvfb")
    if xvfb is None or shutil.which("xdotool") is None:
        no_x_server("Xvfb or xdotool is not installed")
    read_end, write_end = os.pipe()
    log = tempfile.TemporaryFile()
    try:
        # -displayfd picks a free display and writes its number once the
        # server accepts connections; -noreset keeps it from resetting, and
        # refusing connections meanwhile, each time its last client leaves.
        server = subprocess.Popen(
            [xvfb, "-displayfd", str(write_end), "-screen", "0", "640x480x24",
             "-nolisten", "tcp", "-ac", "-noreset"],
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
        if server.poll() is None:
            server.terminate()
            try:
                server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                server.kill()
                server.wait()
        log.close()
