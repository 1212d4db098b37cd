"""brilox.media: video with sound inside a game's own loop.

`Video` plays a file on the display the game set up, decoding ahead on a
thread of its own, and puts up the frame that is due each time the game
calls `update()`::

    from brilox.media import Video

    with Video("intro.mp4") as video:
        video.play()
        while not video.finished:
            if video.update():
                display.flip()

With ``output="surface"`` the Video draws nothing itself: each frame (its
alpha too, where the clip has any) is painted on the decoding thread into
`video.surface`, which the game blits, draws over and flips::

    screen = display.get_surface()
    with Video("intro.webm", output="surface") as video:
        video.play()
        while not video.finished:
            video.update()
            if video.surface is not None:
                screen.blit(video.surface)
            screen.fill((200, 40, 40), (20, 20, 120, 30))
            display.flip()

The engine prints nothing.  What it did anyway (a turn it could not make,
subtitles it could not show, damaged data skipped) it says as a warning, a `MediaWarning`, which
a game can filter by its categories; input it refuses raises an exception
that names what was wrong.

The package, one job a module: ``video`` (the `Video` a game drives),
``streams`` (which of a file's streams it plays), ``sequence`` (clips
played one after another, and a Video's layer among others), ``span`` (a
span played again and again, as passes of those clips), ``decoder`` (the
decoding thread), ``seek`` (seeks and steps, and their typed notes),
``pipeline`` (a frame's way from its source to the overlay: turn, matrix
and levels, subtitles, pad), ``queue`` (the frames ready, between the two
threads), ``clock`` (when each is due), ``output`` (the overlay),
``surface_output`` (a Surface the game blits instead, its alpha kept),
``frames`` (overlay formats, sizes and turns), ``sources`` (media files,
raw frames, waveforms), ``sound`` (a file's sound on a channel of the
device), ``subtitles``, ``colour`` (the colour maths and the probe of
SDL's conversion), ``fonts`` and ``notes`` (its warnings).
"""

from brilox.media.notes import DamageWarning, MediaWarning, PictureWarning, SubtitleWarning


def __getattr__(name):
    # Video is loaded when asked for: it brings in the display and overlay
    # modules, which a program that only reads a file's frames needs not.
    if name == "Video":
        from brilox.media.video import Video
        return Video
    raise AttributeError("module %r has no attribute %r" % (__name__, name))


__all__ = ["Video", "MediaWarning", "PictureWarning", "SubtitleWarning", "DamageWarning"]
