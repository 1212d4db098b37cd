"""A cut-scene in a game: plays a video in the game's window, Escape skips it.

    python examples/cutscene.py FILE
"""

import sys
import time

import brilox.display as display
import brilox.key as key
from brilox.media import Video

display.init()
display.set_mode((640, 360))
with Video(sys.argv[1]) as video:
    video.play()
    while not video.finished:
        events = display.poll_events()          # this also updates the key state
        pressed = key.get_pressed()
        # Escape held now, or tapped between two passes; or the window closed.
        tapped = {e.key for e in events if e.type == display.KEYDOWN}
        if (pressed and pressed[display.K_ESCAPE]) or display.K_ESCAPE in tapped \
                or any(e.type == display.QUIT for e in events):
            print("cut-scene skipped")
            break
        if video.update():                      # a new frame went up
            display.flip()
        time.sleep(1 / 120)                     # a game frame; the video keeps its own time
    else:
        print("cut-scene over")
display.quit()
