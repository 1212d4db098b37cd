// The blend behind brilox.media._subtitles: subtitles drawn into a frame's
// planes in place, from coverage bitmaps of one colour each (what libass
// renders) or from paletted pictures (DVD, PGS, DVB).
//
// Blending is integer arithmetic over each image's own rectangle, clipped to
// the frame: a pixel with coverage A and colour C becomes P * (1 - A) + C * A;
// chroma takes the mean coverage, and the mean premultiplied colour, of the
// pixels each chroma sample covers.  Nothing here allocates but
// blend_paletted, which says when it could not, and nothing calls out.
#pragma once

#include <cstdint>

namespace brilox::subtitles {

// Where the blend writes: the planes of one frame of a layout of
// layouts.hpp (planar 4:2:0, or packed 4:2:2 either way round), rows
// without padding: Y `width` bytes apart, U and V (width + 1) / 2 apart,
// the packed plane 2 * width apart.
struct Frame {
    int layout;
    long width, height;
    std::uint8_t *y, *u, *v;  // planar
    std::uint8_t *packed;     // packed 4:2:2
};

// How RGB becomes Y'CbCr: the matrix's (kr, kb) and the range, full
// (0-255) or limited (luma 16-235, chroma 16-240).
struct Matrix {
    double kr, kb;
    bool full_range;
};

// One colour in Y'CbCr, each 0-255.
struct Colour {
    int y, u, v;
};

// r, g and b from 0 to 1 as Y'CbCr levels, rounded.
Colour to_ycbcr(const Matrix &m, double r, double g, double b);

// A bitmap of coverage (0-255 a byte, rows `stride` apart) of one colour,
// 0xRRGGBBTT with TT its transparency, placed at (x, y) of the frame, as
// libass draws a glyph, an outline or a shadow.
struct Coverage {
    const std::uint8_t *bitmap;
    int stride;
    int w, h;
    int x, y;
    std::uint32_t colour;
};

// The scratch bytes blend_coverage needs for a frame `width` wide.
constexpr long scratch_length(long width) { return 2 * (width + 2); }

// Blends one bitmap into the frame; returns whether it drew anything (a
// bitmap wholly transparent, empty or outside the frame does not).
bool blend_coverage(const Frame &f, const Matrix &m, const Coverage &image,
                    std::uint8_t *scratch);

// A paletted picture: src_w x src_h bytes of palette indices, rows
// `index_stride` apart, and `entries` 32-bit native-endian ARGB entries
// (alpha straight), an index past them transparent; scaled by area to the
// rectangle (dx, dy, dw, dh) of the frame.
struct Paletted {
    const std::uint8_t *indices;
    long index_stride;
    long src_w, src_h;
    const std::uint8_t *palette;
    long entries;
    long dx, dy, dw, dh;
};

// Blends the picture into the frame, clipped to it.  Returns false, having
// drawn nothing, when memory for the scaling could not be had.
bool blend_paletted(const Frame &f, const Matrix &m, const Paletted &picture);

}  // namespace brilox::subtitles
