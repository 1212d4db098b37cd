"""A title menu over a looping video: each frame the game blits the video,
draws its menu and an emblem made with numpy over it, then flips.  Up and
Down move through the menu with a click, Enter or Escape leaves.

    python examples/title_menu.py FILE [--frames N] [--save PICTURE.bmp]
"""

import argparse
import os
import tempfile
import time
import wave

import numpy as np

import brilox.display as display
import brilox.sound as sound
from brilox.media import Video
from brilox.surface import Surface

W, H = 640, 360
ITEMS, ITEM_W, ITEM_H = 3, 220, 36
PANEL = (W // 2 - ITEM_W // 2 - 20, 150, ITEM_W + 40, ITEMS * (ITEM_H + 12) + 28)

arguments = argparse.ArgumentParser()
arguments.add_argument("file")
arguments.add_argument("--frames", type=int, help="leave after this many frames")
arguments.add_argument("--save", help="save the last frame shown as a BMP")
args = arguments.parse_args()

display.init()
display.set_mode((W, H))
display.set_caption("title menu")
screen = display.get_surface()
sound.open(48000, 2)                            # the game's device, for its sounds too

# An emblem drawn with numpy: a golden disc whose edge fades out.  The array
# is a view of the Surface's own pixels (R, G, B, A); it is let go before
# the Surface is blitted, since a view holds the Surface locked.
emblem = Surface((96, 96), alpha=True)
pixels = np.asarray(emblem)
y, x = np.mgrid[0:96, 0:96]
edge = np.clip(48 - np.hypot(x - 47.5, y - 47.5), 0, 8) / 8
pixels[..., 0], pixels[..., 1], pixels[..., 2] = 240, 190, 60
pixels[..., 3] = (edge * 255).astype(np.uint8)
del pixels

# A click, made here as a short WAV file, played on a key press.
folder = tempfile.mkdtemp(prefix="title-menu-")
click_file = os.path.join(folder, "click.wav")
with wave.open(click_file, "wb") as w:
    w.setnchannels(1), w.setsampwidth(2), w.setframerate(48000)
    t = np.arange(2400) / 48000
    w.writeframes((8000 * np.sin(2 * np.pi * 1200 * t) * np.exp(-t * 60)).astype("<i2").tobytes())
click = sound.Sound(click_file)

chosen, shown, leaving = 0, 0, False
with Video(args.file, output="surface", loop=True, surface_size=(W, H)) as video:
    video.play()
    while not leaving:
        for event in display.poll_events():
            if event.type == display.QUIT:
                leaving = True
            elif event.type == display.KEYDOWN:
                if event.key in (display.K_ESCAPE, display.K_RETURN):
                    leaving = True
                elif event.key in (display.K_UP, display.K_DOWN):
                    chosen = (chosen + (1 if event.key == display.K_DOWN else -1)) % ITEMS
                    click.play()
        video.update()                          # the frame that is due, into video.surface
        if video.surface is not None:
            screen.blit(video.surface)
        screen.fill((16, 16, 48), PANEL)
        for item in range(ITEMS):
            colour = (250, 210, 80) if item == chosen else (90, 90, 140)
            screen.fill(colour, (PANEL[0] + 20, PANEL[1] + 20 + item * (ITEM_H + 12),
                                 ITEM_W, ITEM_H))
        screen.blit(emblem, (W - 112, 16))
        display.flip()                          # nothing reaches the window before this
        shown += 1
        if args.frames is not None and shown >= args.frames:
            leaving = True
        time.sleep(1 / 60)                      # a game frame; the video keeps its own time
if args.save:
    display.save(args.save)
display.quit()
os.remove(click_file)
os.rmdir(folder)
