"""brilox-play: plays video in a window through brilox.overlay.

Usage::

    brilox-play [FILE | -] [--size WxH] [--format FORMAT] [--fps N] [--loop]
                [--window WxH] [--headless] [--frames N] [--range {auto,limited,full}]
                [--screenshot OUT.png | OUT.bmp]

    python -m brilox.play ...          # the same

FILE is a media file (mp4, mkv, webm, ... anything FFmpeg reads), decoded by
FFmpeg's libraries through PyAV with FFmpeg's decoding threads; they come
with the optional extra ``brilox[video]``, and without them a media file is
refused saying so.  Its frames show at their presentation timestamps.

FILE holds raw frames instead, one after another with no header, when
``--size`` or ``--format`` is given or its name ends in a raw extension
(.yuv, .raw, .rgb, .i420, .yv12, .yuy2, .uyvy, .nv12, .nv21).  ``--size``
(required) gives their width and height, ``--format`` their layout, by
default i420, at ``--fps`` frames a second (default 30):

    i420  planar: Y, then U, then V at half width and half height
    yv12  planar: Y, then V, then U at half width and half height
    yuy2  packed: Y0 U Y1 V for each pair of pixels
    uyvy  packed: U Y0 V Y1 for each pair of pixels

or any pixel format FFmpeg names (nv12, nv21, yuv422p, yuv444p,
yuv420p10le, rgb24, ...; these need ``brilox[video]``), laid out as FFmpeg
writes raw video.  Chroma of odd sizes is rounded up, as FFmpeg writes it.

``-`` reads standard input: raw frames given ``--size``, else a media stream
(for example Matroska, MPEG-TS or YUV4MPEG from a pipe)::

    ffmpeg -i clip.mp4 -f rawvideo -pix_fmt yuv420p - | brilox-play - --size 1280x720

yuv420p goes to a YV12 overlay as it is, yuyv422 to YUY2 and uyvy422 to
UYVY; every other pixel format is converted to yuv420p by FFmpeg's scaler
(full-range yuvj formats to yuvj420p).

Without FILE a generated test pattern plays: colour bars, a moving block and
the frame number, at ``--size`` (default 320x240).

The video is scaled to the window (``--window WxH``, by default the video's
size) keeping its aspect ratio.  ``--loop`` starts a file again at its end.

Colours come out as FFmpeg renders them.  Once the window is open, the
player shows a small frame of known greys and reads back what SDL shows:
where SDL converts levels as full range (0-255), limited-range video
(luma 16-235) is stretched to full range on its way to the overlay.
Full-range sources (yuvj420p, or a file that says so) go in as they are.
``--range limited`` or ``--range full`` says what the video holds, whatever
it says itself; ``auto``, the default, follows the source.

Keys, read through brilox.key every frame and every few milliseconds
between frames:

    space          pause and resume
    right, left    one frame forward or back while paused; held, they repeat
    escape, q      quit (closing the window, or Ctrl-C, does too)

Stepping back in a media file or on standard input goes back through the
last few frames, which the player keeps in memory (up to 32 frames or
64 MiB); it cannot go further.

Without an X display (no DISPLAY, or SDL_VIDEODRIVER=dummy), or with
``--headless``, the player runs on SDL's dummy video driver as fast as it
can; the endless test pattern then stops after 300 frames unless
``--frames`` says otherwise.  ``--frames N`` stops after N frames;
``--screenshot OUT.png`` saves the last frame shown as the window shows
it, in PNG (BMP for a name ending in .bmp; any other name is refused).
Where the display surface does not hold the video (sdl12-compat, hardware
overlays), the screenshot is the frame rendered by FFmpeg's scaler at its
place in the window.

While playing, a status line on standard error shows the frame number, the
frames a second achieved and the upload time per frame: the time a frame
takes to be handed to ``Overlay.display``, copied in and shown, which for a
software overlay includes SDL's conversion to RGB.  A summary follows at the
end, on standard output, with the screenshot's path if one was saved.

Bad input (a missing file, a file FFmpeg cannot read, a raw file that is not
a whole number of frames, an unknown format, a size of 0 or over 16384, a
screenshot name that ends in neither .png nor .bmp) is reported on standard
error with exit status 2, before any window opens.  On standard input, a
last raw frame cut short is reported and skipped; a media file that stops
decoding part way is reported at the end.

The package, one concern a module: ``frames`` (overlay formats and the
hand-over of planes to the overlay), ``raw``, ``media`` and ``pattern`` (the
sources), ``colour`` (the probe of SDL's conversion and the level
stretch), ``screenshot``, ``controls`` (keys), ``status`` (status line and
summary), ``player`` (the playing loop) and ``cli`` (the command line).
"""



def main(argv=None):
    """Runs brilox-play with `argv` (by default the command line's) and
    returns its exit status.  The rest of the player is loaded only once its
    signal handling is in place."""
    from brilox.play.exits import run
    return run(argv)


__all__ = ["main"]
