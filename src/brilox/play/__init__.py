"""brilox-play: plays video in a window through brilox.overlay.

Usage::

    brilox-play [FILE ... | -] [--size WxH] [--format FORMAT] [--fps N] [--loop]
                [--loop-file] [--start T] [--no-resume] [--fullscreen] [--window WxH]
                [--headless] [--frames N] [--no-drop] [--range {auto,limited,full}]
                [--aspect W:H | --sar W:H] [--no-autorotate] [--no-audio] [--volume N]
                [--mute] [--speed X] [--audio-delay S] [--video-stream N]
                [--audio-stream N] [--sub FILE] [--subtitle-stream N] [--sub-delay S]
                [--osd-level {0,1}] [--screenshot OUT.png | OUT.bmp] [--version]

    python -m brilox.play ...          # the same

FILE is a media file (mp4, mkv, webm, ... anything FFmpeg reads), decoded by
FFmpeg's libraries through PyAV with FFmpeg's decoding threads; they come
with the optional extra ``brilox[video]``, and without them a media file is
refused saying so.  Its frames show at their presentation timestamps, by
the clock of its sound where it has sound: the audio stream FFmpeg would
pick (``--audio-stream N`` another), resampled by PyAV and played through
brilox.sound (``--volume N``, ``--mute``, ``--no-audio``; headless runs play
none).  A file of sound alone shows its cover art, or where it has none the
waveform of the sound being heard, while it plays.

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
UYVY at even widths; every other pixel format is converted to yuv420p by FFmpeg's scaler
(full-range yuvj formats to yuvj420p).

Subtitles are drawn into the picture: the subtitle stream FFmpeg would
pick (``--subtitle-stream N`` another), else NAME.srt, NAME.ass or NAME.vtt
beside the video, or ``--sub FILE``; text by libass with the stream's
styles and the file's attached fonts, bitmaps scaled to the picture.  A
subtitle file that cannot be shown is said in one line and the video plays
on.

Without FILE a generated test pattern plays: colour bars, a moving block and
the frame number, at ``--size`` (default 320x240).

Several files play one after another: those named, a folder's media files
in name order (by the extensions ``--help`` lists), and the entries of an
.m3u or .m3u8 list (UTF-8, ``#`` lines skipped, relative to the list's
folder).  The window refits to each, the status line says its place ("2/5
name"), and one that cannot be played is said in one line and skipped.
The player ends after the last file; ``--loop`` plays the list again (a
file alone, from its start), ``--loop-file`` each file until the next is
asked for.  ``Q`` quits and keeps the place, under
$XDG_STATE_HOME/brilox/: the file's next start goes on from there, once
(``--no-resume`` starts at the beginning).  ``--start T`` starts each file
at T (seconds, or [[h:]m:]s), exactly.

The video is scaled to the window (``--window WxH``, by default the video's
size) keeping its aspect ratio.

Colours come out as FFmpeg renders them.  Once the window is open, the
player shows a small frame of known greys and reads back what SDL shows:
where SDL converts levels as full range (0-255), limited-range video
(luma 16-235) is stretched to full range on its way to the overlay, and
full-range sources (yuvj420p, or a file that says so) go in as they are;
where SDL converts levels as limited range, full-range sources are squeezed
to limited range and limited-range video goes in as it is.
``--range limited`` or ``--range full`` says what the video holds, whatever
it says itself; ``auto``, the default, follows the source.  Frames are
shown by the colour matrix their stream says (BT.709 for HD that says
none), changed in one native pass where SDL converts by another; pictures
of odd sizes are shown whole, at the display aspect the file says
(``--aspect W:H`` or ``--sar W:H`` for any source), and turned upright by
a file's display matrix (``--no-autorotate`` keeps them as stored).

Keys and clicks, read off SDL's event queue (every press is kept however
long a frame takes):

{keys}

Any frame of a file can be sought or stepped to; a media file is sought
with FFmpeg, exactly: the key frame it decodes from shows at once, and the
frame sought once decoded.  On standard input the player reads on to a later frame and
goes back only through the last few frames it keeps (up to 32 frames or
64 MiB): a seek further back goes to the oldest of them and says so.  The
window can be resized; the video is scaled to fit it, its shape kept.
Frames whose time has passed are dropped, and counted, unless
``--no-drop`` is given; where decoding falls behind, frames are dropped
before their conversion and those no other refers to are not decoded at
all (counted as skipped).

With ``--headless`` (or SDL_VIDEODRIVER=dummy) the player runs on SDL's
dummy video driver as fast as it can, silent; the endless test pattern
then stops after 300 frames unless ``--frames`` says otherwise.  Without
an X display (no DISPLAY) it says so in one line and plays at the file's
pace with its sound and the status line, with no picture.  ``--frames N`` stops after N frames;
``--screenshot OUT.png`` saves the last frame shown as the window shows
it, in PNG (BMP for a name ending in .bmp; any other name is refused).
Where the display surface does not hold the video (sdl12-compat, hardware
overlays), the screenshot is the frame rendered by FFmpeg's scaler at its
place in the window.

What a key does shows over the picture for 1.5 s: a line at the top
("Volume 80%", "Speed 1.50x", "Chapter 3/12: The Storm") and a bar at the
bottom with the time, the length, the position and a tick at each
chapter.  ``o`` shows the bar for 3 s; ``--osd-level 0`` shows nothing.
Screenshots leave it out.

An A-B loop (``l`` at A, ``l`` at B) plays from A's frame to the end of
B's and on into A again with no gap, picture and sound (``Video.span``):
the first pass ends a tenth of a second after the second ``l``, where B
is already heard, and every pass after it at B.  The status line shows the
loop while it is set; a third ``l`` clears it, and play goes on from where
it is.  A seek past B clears it too.
``--audio-delay S`` (and Ctrl with ``=``, ``+`` or ``-``, 100 ms a press)
plays the sound S seconds after the picture, as for a Bluetooth sink that
is heard late, by timing the picture at the sound's clock plus S;
``--sub-delay S`` (and ``z``, ``x``) shows the subtitles S seconds after
their times.  The status line shows each delay while it is not 0 (A-V then
tells what is off beyond it).  ``s`` saves the frame up as the window shows
it, subtitles and all, as ``brilox-play-NNNN.png`` in the current folder,
the first number not taken; ``,`` and ``.`` pause and step one frame back
and on.  ``--fullscreen`` starts in full screen.

While playing, a status line on standard error shows the frame number, the
position and length, the frames a second shown while playing (once
measured; pauses, steps and seeks start the measurement again) and the
upload time per frame: the time a frame
takes to be handed to ``Overlay.display``, copied in and shown, which for a
software overlay includes SDL's conversion to RGB.  A summary follows at the
end, on standard output, with the screenshot's path if one was saved: the
frames played, the playing time (pauses, steps and seeks left out), the
frames dropped, skipped as damaged and stepped to.

The exit status is 0 at the end or on a quit, 1 on an SDL error or a
screenshot that could not be written, 2 on bad input, 130 on SIGINT and
143 on SIGTERM (at any moment, with one line on standard error).
Standard output or error that is closed, full or a pipe whose reader has
gone is written to no more, and playing goes on.

Bad input (a missing file, a file FFmpeg cannot read, a raw file that is not
a whole number of frames, an unknown format, a size of 0 or over 16384, a
screenshot name that ends in neither .png nor .bmp) is reported on standard
error with exit status 2, before any window opens.  On standard input, a
last raw frame cut short is reported and skipped; a media file that stops
decoding part way is reported at the end.

The player stands on the engine a game uses, ``brilox.media`` (its
``Video`` is re-exported here), and adds only the desktop's part, one
concern a module: ``player`` (the shell over a Video: window, keys, status
line), ``cli`` (the command line), ``keys`` (the table of keys and clicks
that the controls and every help read), ``controls`` (events to commands),
``playlist`` (the files in turn), ``resume`` (the places kept), ``status``
(status line and summary), ``screenshot``, ``pattern`` (the test pattern)
and ``exits`` (signals and failing output).
"""

from brilox.play import keys as _keys

# The keys are said from the table the controls read them from.  (python
# -OO drops docstrings.)
if __doc__ is not None:
    __doc__ = __doc__.replace("{keys}", _keys.text(4))


def main(argv=None):
    """Runs brilox-play with `argv` (by default the command line's) and
    returns its exit status.  The rest of the player is loaded only once its
    signal handling is in place."""
    from brilox.play.exits import run

    def command_line(args):
        from brilox.play.cli import main as cli_main
        return cli_main(args)

    return run(command_line, argv)


def __getattr__(name):
    # The engine is loaded when asked for: the command line's --version and
    # the player's signal handling come first.
    if name in ("Video", "SubtitleWarning"):
        import brilox.media
        return getattr(brilox.media, name)
    raise AttributeError("module %r has no attribute %r" % (__name__, name))


__all__ = ["main", "Video", "SubtitleWarning"]
