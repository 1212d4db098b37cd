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


def font_file():
    """DejaVu Sans: the one the installed package brings (a wheel), else
    Debian's.  Found without importing brilox."""
    import importlib.util
    import os
    found = importlib.util.find_spec("brilox")
    for folder in found.submodule_search_locations if found else ():
        bundled = os.path.join(folder, "media", "_fonts", "DejaVuSans.ttf")
        if os.path.exists(bundled):
            return bundled
    return "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"
