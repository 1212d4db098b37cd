"""The display opens every time: starts of SDL's X11 video, one after
another, on an X server that resets, refusing connections meanwhile,
whenever its last client leaves (as one started by hand does).  Each start
shuts video down again, so the next meets a server just begun to reset, the
hardest case.  Run once a CI run (noxfile.py and scripts/test-wheel leave it
out), not under the sanitizer, where its 200 starts would take minutes.
"""

import os
import subprocess
import sys

import pytest

from sanitizer import SANITIZED
from support.xserver import xvfb

STARTS = 200

STARTER = """
import sys, brilox.base, brilox.display as display
failed = []
for _ in range(%d):
    try:
        display.init()
        display.set_mode((16, 16))
    except brilox.base.error as e:
        failed.append(str(e))
    display.quit()
print(len(failed), failed[:1])
sys.exit(1 if failed else 0)
""" % STARTS


@pytest.mark.skipif(SANITIZED, reason="once a CI run, in the plain build")
@pytest.mark.timeout(120)
def test_the_display_opens_on_every_start_on_a_server_that_resets():
    with xvfb(reset=True) as name:
        env = dict(os.environ, DISPLAY=name, SDL_VIDEODRIVER="x11")
        run = subprocess.run([sys.executable, "-c", STARTER], env=env, capture_output=True,
                             text=True, timeout=100)
    assert run.returncode == 0, "failed starts of %d: %s%s" % (STARTS, run.stdout, run.stderr)
