"""The native passes over a frame's planes: its levels expanded or
compressed (the formulas in `maths`), or its matrix and levels changed at
once by the numbers `maths.coefficients` gives."""

from brilox.media import _colour
from brilox.media.colour.maths import COMPRESS, EXPAND
from brilox.media.frames import UYVY, YUY2, YV12

# SDL's overlay format codes, besides the three that frames are shown in.
IYUV, YVYU = 0x56555949, 0x55595659

# What the bytes of each format's first plane are; the chroma planes of the
# planar formats are all chroma.
_FIRST_PLANE = {YV12: _colour.LUMA, IYUV: _colour.LUMA, YUY2: _colour.LUMA_CHROMA,
                YVYU: _colour.LUMA_CHROMA, UYVY: _colour.CHROMA_LUMA}
LUMA, CHROMA = _colour.LUMA, _colour.CHROMA
LUMA_CHROMA, CHROMA_LUMA = _colour.LUMA_CHROMA, _colour.CHROMA_LUMA
expand, compress = _colour.expand, _colour.compress
# The layout of planar 4:2:0 frames for `transform`.
PLANAR = _colour.PLANAR


def transform(planes, layout, width, height, coefficients):
    """New planes of a frame with its matrix and levels changed in one pass,
    by the numbers that `coefficients()` gives; `layout` is PLANAR for
    (Y, U, V) 4:2:0 planes, LUMA_CHROMA or CHROMA_LUMA for one packed 4:2:2
    plane."""
    return _colour.transform(tuple(planes), layout, width, height, coefficients)


def narrow(planes, width, height, bits, chroma_422, coefficients, into=None):
    """8-bit (Y, U, V) 4:2:0 planes of a frame whose planes hold samples of
    `bits` (10 or 12) in 16-bit words, 4:2:0 or (`chroma_422`) 4:2:2, with
    its matrix and levels changed on the way as `transform` does: new bytes,
    or the writable buffers `into` (each exactly its plane's size)."""
    return _colour.narrow(tuple(planes), width, height, bits, chroma_422, coefficients, into)


def convert_frame(frame, overlay_format, which):
    """`frame` as Overlay.display takes it, a (plane, plane, plane) tuple of
    buffers, with its levels converted (`which` is EXPAND or COMPRESS) into
    new bytearrays.  Packed formats' empty second and third strings stay
    as they are."""
    first = _FIRST_PLANE.get(overlay_format)
    if first is None:
        raise ValueError("no level conversion for overlay format 0x%08x" % overlay_format)
    convert = {EXPAND: _colour.expand, COMPRESS: _colour.compress}[which]
    return tuple(convert(plane, first if i == 0 else _colour.CHROMA) if len(plane) else plane
                 for i, plane in enumerate(frame))


def expand_frame(frame, overlay_format):
    """`frame` with its levels expanded to full range (`convert_frame`)."""
    return convert_frame(frame, overlay_format, EXPAND)


def compress_frame(frame, overlay_format):
    """`frame` with its levels compressed to limited range (`convert_frame`)."""
    return convert_frame(frame, overlay_format, COMPRESS)
