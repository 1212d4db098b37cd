"""Screenshots for brilox-play: the window as shown, in PNG or BMP by the
file's name.

Where the display surface holds the video (SDL's software overlay draws
into it), the screenshot is that surface.  Where SDL 1.2 runs over SDL 2,
which draws overlays only when it presents the screen, it is what SDL 2
presents.  Elsewhere (a hardware overlay is shown beside the surface) it
is made from the frame itself: FFmpeg's scaler renders it to RGB at the
size of the overlay's placement, put at that placement in a window-sized
image, black around.

Used by the player::

    kind = screenshot.check_name(options.screenshot)       # before playing
    ...
    screenshot.save(options.screenshot, window=(w, h), placement=(x, y, pw, ph),
                    surface_holds_video=probe_result.surface_holds_video,
                    frame=last_frame)                       # an av.VideoFrame
"""

import os
import struct
import zlib

from brilox.media import _colour
from brilox.media.pipeline import frame_rgb, video_frame

KINDS = {".png": "png", ".bmp": "bmp"}


class NameRefused(ValueError):
    """A screenshot name that ends in neither .png nor .bmp."""


def check_name(path):
    """The kind of file that `path` names, "png" or "bmp", by its ending
    (in any case); raises NameRefused for any other name."""
    name = os.fspath(path)
    for suffix, kind in KINDS.items():
        if name.lower().endswith(suffix):
            return kind
    raise NameRefused("%s: a screenshot's name must end in .png or .bmp" % name)


# --- files ------------------------------------------------------------------

def png_bytes(width, height, rgb):
    """A PNG image of `rgb`, 3 bytes a pixel row by row."""
    stride = 3 * width
    raw = b"".join(b"\x00" + rgb[r * stride:(r + 1) * stride] for r in range(height))

    def chunk(tag, data):
        return (struct.pack(">I", len(data)) + tag + data
                + struct.pack(">I", zlib.crc32(tag + data) & 0xFFFFFFFF))

    header = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header)
            + chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))


def bmp_bytes(width, height, rgb):
    """A 24-bit BMP image of `rgb`, 3 bytes a pixel row by row."""
    bgr = bytearray(len(rgb))
    bgr[0::3], bgr[1::3], bgr[2::3] = rgb[2::3], rgb[1::3], rgb[0::3]
    stride = 3 * width
    pad = b"\x00" * (-stride % 4)
    pixels = b"".join(bytes(bgr[r * stride:(r + 1) * stride]) + pad
                      for r in range(height - 1, -1, -1))
    header = struct.pack("<2sIHHI", b"BM", 54 + len(pixels), 0, 0, 54)
    info = struct.pack("<IiiHHIIiiII", 40, width, height, 1, 24, 0, len(pixels), 2835, 2835, 0, 0)
    return header + info + pixels


def write(path, width, height, rgb):
    """Writes RGB bytes as the kind of image that `path` names."""
    encode = png_bytes if check_name(path) == "png" else bmp_bytes
    data = encode(width, height, rgb)
    with open(path, "wb") as f:
        f.write(data)


# --- images -----------------------------------------------------------------

def display_rgb():
    """(width, height, RGB bytes) of the whole display surface."""
    import brilox.display as display
    w, h = display.get_size()
    return w, h, _colour.read_display((0, 0, w, h))


def placed(window, placement, rgb):
    """RGB bytes of a window of black with `rgb` (placement's w x h pixels)
    at placement's (x, y); whatever reaches past the window is cut off."""
    ww, wh = window
    x, y, w, h = placement
    image = bytearray(3 * ww * wh)
    left, right = max(0, x), min(ww, x + w)
    for r in range(max(0, y), min(wh, y + h)):
        src = 3 * ((r - y) * w + (left - x))
        dst = 3 * (r * ww + left)
        image[dst:dst + 3 * (right - left)] = rgb[src:src + 3 * (right - left)]
    return bytes(image)


def save(path, *, window, placement, surface_holds_video, frame=None, source_range=None,
         matrix=None):
    """Writes the screenshot to `path` (PNG or BMP by its name): the display
    surface where it holds the video; otherwise what SDL 2 presents, where
    SDL 1.2 runs over it; otherwise `frame` (an av.VideoFrame, or None for a
    window of black) at `placement` in a black window."""
    presented = None
    if not surface_holds_video:
        from brilox.media.colour import presented_rgb
        presented = presented_rgb((0, 0) + tuple(window), window)
    if surface_holds_video:
        width, height, rgb = display_rgb()
    elif presented is not None:
        (width, height), rgb = window, presented
    else:
        width, height = window
        x, y, w, h = placement
        shown = (frame_rgb(frame, w, h, source_range, matrix) if frame is not None and w and h
                 else b"")
        rgb = placed(window, placement, shown) if shown else bytes(3 * width * height)
    write(path, width, height, rgb)


def free_name(folder, stem="brilox-play-", suffix=".png"):
    """The path in `folder` of the first of stem0001.png, stem0002.png, ...
    that is not there."""
    number = 1
    while os.path.lexists(os.path.join(folder, "%s%04d%s" % (stem, number, suffix))):
        number += 1
    return os.path.join(folder, "%s%04d%s" % (stem, number, suffix))
