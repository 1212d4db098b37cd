"""The subtitle blend on its own (src/media_subtitles/blend.cpp, built with
g++ by tests/support/rooms.py): colours in each matrix and range, coverage
bitmaps and paletted pictures drawn into each layout, to the byte.

A pixel of coverage A (0-1) and colour C over a level P becomes
P * (1 - A) + C * A, rounded; a chroma sample takes the mean coverage of
the pixels of the frame it covers (two across, and two down in 4:2:0)."""

import ctypes

import pytest

from support import rooms

BT601, BT709 = (0.299, 0.114), (0.2126, 0.0722)
RED = 0xFF000000  # 0xRRGGBBTT, opaque
GUARD = 8  # bytes past each plane, which nothing may touch


@pytest.mark.parametrize("matrix, full, rgb, ycbcr", [
    (BT601, False, (1, 1, 1), (235, 128, 128)),
    (BT601, False, (1, 0, 0), (81, 90, 240)),
    (BT709, False, (1, 0, 0), (63, 102, 240)),
    (BT709, False, (0, 0, 1), (32, 240, 118)),
    (BT601, True, (1, 0, 0), (76, 85, 255)),
    (BT709, True, (1, 0, 0), (54, 99, 255)),
    (BT709, True, (0, 0, 0), (0, 128, 128)),
])
def test_colours_become_ycbcr_by_matrix_and_range(matrix, full, rgb, ycbcr):
    out = (ctypes.c_int * 3)()
    rooms.lib().blend_colour(*matrix, full, *rgb, out)
    assert tuple(out) == ycbcr


def over(level, colour, cover):
    """P * (1 - A) + C * A rounded, A in 255ths."""
    return (level * (255 - cover) + colour * cover + 127) // 255


def mean(values):
    return (sum(values) + len(values) // 2) // len(values)


class Frame:
    """A frame of one layout filled with black of the range, its planes as
    grids, with guard bytes past each."""

    def __init__(self, layout, width, height, full):
        self.layout, self.width, self.height = layout, width, height
        self.black = 0 if full else 16
        if layout == rooms.PLANAR:
            chroma = ((width + 1) // 2) * ((height + 1) // 2)
            self.planes = [bytearray([self.black] * (width * height) + [0xAA] * GUARD),
                           bytearray([128] * chroma + [0xAA] * GUARD),
                           bytearray([128] * chroma + [0xAA] * GUARD)]
        else:
            pair = [self.black, 128] if layout == rooms.LUMA_CHROMA else [128, self.black]
            self.planes = [bytearray(pair * (width * height) + [0xAA] * GUARD)]
        self.pointers = [rooms.address(p) for p in self.planes] + [None] * (3 - len(self.planes))

    def grids(self):
        """(Y, U, V) as lists of rows; the guards checked."""
        assert all(p[-GUARD:] == bytearray([0xAA] * GUARD) for p in self.planes)
        w, h = self.width, self.height
        if self.layout == rooms.PLANAR:
            shapes = [(w, h), ((w + 1) // 2, (h + 1) // 2), ((w + 1) // 2, (h + 1) // 2)]
            return [[list(p[r * width:(r + 1) * width]) for r in range(rows)]
                    for p, (width, rows) in zip(self.planes, shapes)]
        packed = self.planes[0]
        luma, u = (0, 1) if self.layout == rooms.LUMA_CHROMA else (1, 0)
        return [[[packed[r * 2 * w + 2 * c + luma] for c in range(w)] for r in range(h)],
                [[packed[r * 2 * w + 4 * c + u] for c in range(w // 2)] for r in range(h)],
                [[packed[r * 2 * w + 4 * c + u + 2] for c in range(w // 2)] for r in range(h)]]


def expected(frame, cover, colour):
    """The planes after blending `colour` (Y, U, V) at the coverage grid
    `cover` (255ths, the frame's size)."""
    w, h = frame.width, frame.height
    down = 2 if frame.layout == rooms.PLANAR else 1
    luma = [[over(frame.black, colour[0], cover[r][c]) for c in range(w)] for r in range(h)]
    means = [[mean([cover[r][c] for r in range(cy * down, min(cy * down + down, h))
                    for c in range(2 * cx, min(2 * cx + 2, w))])
              for cx in range((w + 1) // 2)] for cy in range((h + down - 1) // down)]
    return [luma, [[over(128, colour[1], k) for k in row] for row in means],
            [[over(128, colour[2], k) for k in row] for row in means]]


@pytest.mark.parametrize("layout, matrix, full, size, at, bitmap", [
    # A glyph's corner: whole, half and no coverage.
    (rooms.PLANAR, BT601, False, (6, 4), (1, 1), [[255, 255, 255], [255, 128, 0]]),
    (rooms.PLANAR, BT709, True, (6, 4), (1, 1), [[255, 255, 255], [255, 128, 0]]),
    (rooms.LUMA_CHROMA, BT709, False, (6, 4), (1, 1), [[255, 255, 255], [255, 128, 0]]),
    (rooms.CHROMA_LUMA, BT601, True, (6, 4), (1, 1), [[255, 255, 255], [255, 128, 0]]),
    # An odd frame covered whole, past its edges: the chroma of its last
    # column and row is the mean of the pixels inside it.
    (rooms.PLANAR, BT601, False, (5, 3), (-1, -1), [[255] * 7] * 5),
    (rooms.LUMA_CHROMA, BT601, False, (4, 3), (-2, 1), [[40, 255, 255, 9, 100, 7]] * 3),
])
def test_a_coverage_bitmap_blends_into_each_layout_to_the_byte(layout, matrix, full, size, at,
                                                               bitmap):
    frame = Frame(layout, *size, full)
    colour = (ctypes.c_int * 3)()
    rooms.lib().blend_colour(*matrix, full, 1, 0, 0, colour)
    h, w = len(bitmap), len(bitmap[0])
    source = bytearray(sum(bitmap, []))
    assert rooms.lib().blend_coverage(layout, *size, *frame.pointers, *matrix, full,
                                      rooms.address(source), w, w, h, *at, RED) == 1
    cover = [[bitmap[r - at[1]][c - at[0]] if 0 <= r - at[1] < h and 0 <= c - at[0] < w else 0
              for c in range(size[0])] for r in range(size[1])]
    assert frame.grids() == expected(frame, cover, tuple(colour))


@pytest.mark.parametrize("colour, at", [(RED | 0xFF, (1, 1)), (RED, (6, 0)), (RED, (-3, 0))])
def test_a_transparent_bitmap_or_one_off_the_frame_draws_nothing(colour, at):
    frame = Frame(rooms.PLANAR, 6, 4, False)
    before = frame.grids()
    source = bytearray([255] * 9)
    assert rooms.lib().blend_coverage(rooms.PLANAR, 6, 4, *frame.pointers, *BT601, False,
                                      rooms.address(source), 3, 3, 3, *at, colour) == 0
    assert frame.grids() == before


def test_a_paletted_picture_is_scaled_by_area_and_blended_by_its_alpha():
    # Red opaque, white at alpha 128, an index past the palette transparent;
    # 3 x 2 pixels shown as 2 x 4 from (1, 0): across, the first shown
    # pixel takes two thirds of the first source pixel and a third of the
    # second, the next a third of the second and two thirds of the third.
    palette = bytearray((0xFFFF0000).to_bytes(4, "little") + (0x80FFFFFF).to_bytes(4, "little"))
    indices = bytearray([0, 1, 1, 9,
                         1, 2, 0, 9])  # rows 4 apart
    frame = Frame(rooms.PLANAR, 4, 4, False)
    assert rooms.lib().blend_paletted(rooms.PLANAR, 4, 4, *frame.pointers, *BT601, False,
                                      rooms.address(indices), 4, 3, 2, rooms.address(palette),
                                      2, 1, 0, 2, 4) == 1
    y, u, v = frame.grids()
    # Coverage and premultiplied colour are averaged: 2/3 red and 1/3 half
    # white cover 0.834 (Y 96); half white alone (126); 2/3 of half white
    # (89); 2/3 red (59).  Chroma averages the four pixels of each sample,
    # the bare ones counting as nothing.
    assert y == [[16, 96, 126, 16]] * 2 + [[16, 89, 59, 16]] * 2
    assert (u, v) == ([[115, 128], [128, 115]], [[165, 128], [128, 165]])
    # One opaque pixel over the whole of an odd frame: its last chroma
    # samples are the mean of the pixels inside it.
    frame = Frame(rooms.PLANAR, 3, 3, False)
    assert rooms.lib().blend_paletted(rooms.PLANAR, 3, 3, *frame.pointers, *BT601, False,
                                      rooms.address(indices), 4, 1, 1, rooms.address(palette),
                                      2, -1, 0, 5, 3) == 1
    assert frame.grids() == [[[81] * 3] * 3, [[90] * 2] * 2, [[240] * 2] * 2]
