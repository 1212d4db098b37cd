"""A frame's planes copied for drawing into, and handed back as the
pipeline carries them."""

from brilox.media import colour


def _rows(plane, row_bytes, rows):
    """A plane's rows, `row_bytes` each, one after another, in a new buffer."""
    view = memoryview(plane).cast("B")
    stride = len(view) // rows if rows else row_bytes
    if stride == row_bytes:
        return bytearray(view[:row_bytes * rows])
    out = bytearray(row_bytes * rows)
    for row in range(rows):
        out[row * row_bytes:(row + 1) * row_bytes] = view[row * stride:row * stride + row_bytes]
    return out


def writable(planes, layout, width, height):
    """A copy of a frame's planes for drawing into, at the strides the
    drawing takes: the planes shown may be the decoder's own, kept for
    showing again bare."""
    if layout == colour.PLANAR:
        cw, ch = (width + 1) // 2, (height + 1) // 2
        return (_rows(planes[0], width, height), _rows(planes[1], cw, ch),
                _rows(planes[2], cw, ch))
    return (_rows(planes[0], 2 * width, height), b"", b"")


def unpack(planes, layout):
    """Drawn planes as the pipeline carries them on."""
    return planes if layout == colour.PLANAR else planes[:1]
