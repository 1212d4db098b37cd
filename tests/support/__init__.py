"""What the tests share: SDL's records and its test double (sdl), and the real
X and sound servers that tests run beside them (xserver, soundserver)."""

import signal
import subprocess


def end(process, how=signal.SIGTERM):
    """Ends a child process by `how`, or by a kill when it has not ended
    10 s later."""
    if process.poll() is None:
        process.send_signal(how)
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()
