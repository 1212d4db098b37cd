// The blend behind brilox.media._subtitles (blend.hpp).
#include "blend.hpp"

#include "layouts.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace brilox::subtitles {

namespace {

constexpr int layout_luma_chroma = brilox::layout::luma_chroma;
constexpr int layout_chroma_luma = brilox::layout::chroma_luma;
constexpr int layout_planar = brilox::layout::planar;

// (A * P + Q) / 65025 rounded, for a level P, a weight 65025 - A and a
// premultiplied level Q (both in 1/65025ths), always 0-255.
inline std::uint8_t mix(std::uint8_t level, std::uint32_t keep, std::uint32_t premultiplied)
{
    return static_cast<std::uint8_t>((level * keep + premultiplied + 32512u) / 65025u);
}

// Coverage and premultiplied colour of one pixel, in 1/65025ths.
struct Paint {
    std::uint32_t a, y, u, v;
};

// Blends `source` over the rectangle [x0, x1) x [y0, y1) of the frame, which
// lies inside it.  source(x, y) gives the Paint of a pixel in the rectangle.
template <class Source>
void blend_rect(const Frame &f, long x0, long y0, long x1, long y1, const Source &source)
{
    const bool planar = f.layout == layout_planar;
    const long luma_step = planar ? 1 : 2;
    const long luma_offset = f.layout == layout_chroma_luma ? 1 : 0;
    std::uint8_t *luma = planar ? f.y : f.packed + luma_offset;
    const long luma_stride = planar ? f.width : 2 * f.width;
    for (long r = y0; r < y1; ++r) {
        std::uint8_t *row = luma + r * luma_stride;
        for (long c = x0; c < x1; ++c) {
            const Paint p = source(c, r);
            if (p.a == 0)
                continue;
            std::uint8_t &level = row[c * luma_step];
            level = mix(level, 65025u - p.a, p.y);
        }
    }
    // Each chroma sample covers two columns, and two rows of 4:2:0: the mean
    // over those inside the frame, pixels outside the rectangle counting as
    // bare.
    const long rows_per_sample = planar ? 2 : 1;
    const long cx0 = x0 / 2, cx1 = (x1 + 1) / 2;
    const long cy0 = y0 / rows_per_sample, cy1 = (y1 + rows_per_sample - 1) / rows_per_sample;
    const long chroma_stride = planar ? (f.width + 1) / 2 : 2 * f.width;
    for (long cy = cy0; cy < cy1; ++cy) {
        const long ra = cy * rows_per_sample;
        const long rb = std::min(ra + rows_per_sample, y1);
        const long rows_in_frame = std::min(ra + rows_per_sample, f.height) - ra;
        std::uint8_t *u_row, *v_row;
        long step;
        if (planar) {
            u_row = f.u + cy * chroma_stride;
            v_row = f.v + cy * chroma_stride;
            step = 1;
        } else {
            const long u_offset = f.layout == layout_luma_chroma ? 1 : 0;
            u_row = f.packed + cy * chroma_stride + u_offset;
            v_row = u_row + 2;
            step = 4;
        }
        for (long cx = cx0; cx < cx1; ++cx) {
            const long ca = 2 * cx;
            const long cb = std::min(ca + 2, x1);
            std::uint32_t a = 0, u = 0, v = 0;
            for (long r = std::max(ra, y0); r < rb; ++r)
                for (long c = std::max(ca, x0); c < cb; ++c) {
                    const Paint p = source(c, r);
                    a += p.a;
                    u += p.u;
                    v += p.v;
                }
            if (a == 0)
                continue;
            // 1, 2 or 4 pixels: a shift.
            const int shift = (std::min(ca + 2, f.width) - ca == 2) + (rows_in_frame == 2);
            const std::uint32_t half = (1u << shift) >> 1;
            a = (a + half) >> shift;
            u = (u + half) >> shift;
            v = (v + half) >> shift;
            std::uint8_t &ul = u_row[cx * step];
            std::uint8_t &vl = v_row[cx * step];
            ul = mix(ul, 65025u - a, u);
            vl = mix(vl, 65025u - a, v);
        }
    }
}

// --- coverage bitmaps ---------------------------------------------------------------
//
// A Coverage is a bitmap of coverage and one colour.  Each row's coverage,
// bitmap * alpha / 255 rounded, goes to a scratch row first, zero outside
// the image: luma blends from it pixel by pixel, and chroma from the mean of
// the two (4:2:2) or four (4:2:0) values a sample covers.  A frame of odd
// width or height repeats its last column or row there, so that the mean
// is over the pixels inside the frame.  Every value fits 16 bits, and the
// loops are plain enough for a compiler to vectorise.

// x / 255 rounded, for x up to 65025.
inline std::uint16_t divide_255(std::uint16_t x)
{
    x = static_cast<std::uint16_t>(x + 128);
    return static_cast<std::uint16_t>((x + (x >> 8)) >> 8);
}

// P * (255 - k) / 255 + C * k / 255, rounded.
inline std::uint8_t over(std::uint8_t level, std::uint16_t colour, std::uint16_t k)
{
    return static_cast<std::uint8_t>(divide_255(
        static_cast<std::uint16_t>(level * static_cast<std::uint16_t>(255 - k) + colour * k)));
}

#if defined(__x86_64__) && defined(__GNUC__)
#define BRILOX_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define BRILOX_CLONES
#endif

BRILOX_CLONES
void coverage_row(const std::uint8_t *__restrict bitmap, std::uint8_t *__restrict out, long n,
                  std::uint16_t alpha)
{
    for (long i = 0; i < n; ++i)
        out[i] = static_cast<std::uint8_t>(divide_255(static_cast<std::uint16_t>(bitmap[i] * alpha)));
}

BRILOX_CLONES
void luma_row(std::uint8_t *__restrict luma, long step, const std::uint8_t *__restrict k, long n,
              std::uint16_t colour)
{
    if (step == 1) {
        for (long i = 0; i < n; ++i)
            luma[i] = over(luma[i], colour, k[i]);
    } else {
        for (long i = 0; i < n; ++i)
            luma[2 * i] = over(luma[2 * i], colour, k[i]);
    }
}

// Chroma samples i = 0 .. n-1 over the columns 2i, 2i+1 of rows k0 and k1.
BRILOX_CLONES
void chroma_row(std::uint8_t *__restrict u, std::uint8_t *__restrict v, long step,
                const std::uint8_t *__restrict k0, const std::uint8_t *__restrict k1, long n,
                std::uint16_t u_colour, std::uint16_t v_colour)
{
    for (long i = 0; i < n; ++i) {
        const auto mean = static_cast<std::uint16_t>(
            (k0[2 * i] + k0[2 * i + 1] + k1[2 * i] + k1[2 * i + 1] + 2) >> 2);
        u[i * step] = over(u[i * step], u_colour, mean);
        v[i * step] = over(v[i * step], v_colour, mean);
    }
}

// Fills `row` (columns base .. base + length - 1 of the frame) with the
// coverage of the image's row r, zero outside it.
void fill_row(const Coverage &image, std::uint16_t alpha, long r, long x0, long x1, long base,
              long length, long width, std::uint8_t *row)
{
    std::memset(row, 0, static_cast<std::size_t>(length));
    coverage_row(image.bitmap + (r - image.y) * static_cast<long>(image.stride) + (x0 - image.x),
                 row + (x0 - base), x1 - x0, alpha);
    if (base + length > width)  // the column past an odd width repeats the last
        row[width - base] = row[width - 1 - base];
}

// --- scaling paletted pictures -----------------------------------------------------

// Which source pixels a destination pixel covers along one side, and by how
// much: a destination pixel spans `source_size` units, a source pixel
// `size` units, so each destination pixel's weights sum to source_size.
struct Spans {
    std::vector<long> first;   // per destination pixel: index into `entries`
    std::vector<long> source;  // the source pixel of each entry
    std::vector<long> weight;  // its overlap
};

void spans_of(long source_size, long size, long from, long to, Spans *spans)
{
    for (long d = from; d < to; ++d) {
        spans->first.push_back(static_cast<long>(spans->source.size()));
        const long start = d * source_size, end = start + source_size;
        for (long s = start / size; s < source_size && s * size < end; ++s) {
            const long overlap = std::min(end, (s + 1) * size) - std::max(start, s * size);
            if (overlap > 0) {
                spans->source.push_back(s);
                spans->weight.push_back(overlap);
            }
        }
    }
    spans->first.push_back(static_cast<long>(spans->source.size()));
}

// A picture scaled into its place, as Paint per pixel of the clipped
// rectangle.
struct PaintSource {
    const Paint *paint;
    long x0, y0, columns;
    Paint operator()(long c, long r) const { return paint[(r - y0) * columns + (c - x0)]; }
};

}  // namespace

Colour to_ycbcr(const Matrix &m, double r, double g, double b)
{
    const double kg = 1.0 - m.kr - m.kb;
    const double luma = m.kr * r + kg * g + m.kb * b;  // 0-1
    const double cb = (b - luma) / (2.0 * (1.0 - m.kb));  // -0.5..0.5
    const double cr = (r - luma) / (2.0 * (1.0 - m.kr));
    auto level = [](double x) {
        const long n = std::lround(x);
        return static_cast<int>(n < 0 ? 0 : n > 255 ? 255 : n);
    };
    if (m.full_range)
        return {level(luma * 255.0), level(128.0 + cb * 255.0), level(128.0 + cr * 255.0)};
    return {level(16.0 + luma * 219.0), level(128.0 + cb * 224.0), level(128.0 + cr * 224.0)};
}

bool blend_coverage(const Frame &f, const Matrix &m, const Coverage &image, std::uint8_t *scratch)
{
    const auto alpha = static_cast<std::uint16_t>(255u - (image.colour & 0xFF));
    if (alpha == 0 || image.w <= 0 || image.h <= 0 || image.bitmap == nullptr)
        return false;
    const long x0 = std::max<long>(image.x, 0);
    const long y0 = std::max<long>(image.y, 0);
    const long x1 = std::min<long>(static_cast<long>(image.x) + image.w, f.width);
    const long y1 = std::min<long>(static_cast<long>(image.y) + image.h, f.height);
    if (x0 >= x1 || y0 >= y1)
        return false;
    const bool planar = f.layout == layout_planar;
    const long luma_stride = planar ? f.width : 2 * f.width;
    std::uint8_t *const luma = planar ? f.y : f.packed + (f.layout == layout_chroma_luma);
    const long chroma_stride = planar ? (f.width + 1) / 2 : 2 * f.width;
    std::uint8_t *const u = planar ? f.u : f.packed + (f.layout == layout_luma_chroma);
    std::uint8_t *const v = planar ? f.v : u + 2;
    const long step = planar ? 1 : 2, chroma_step = planar ? 1 : 4;
    const long rows_per_sample = planar ? 2 : 1;
    const Colour c = to_ycbcr(m, (image.colour >> 24) / 255.0,
                              ((image.colour >> 16) & 0xFF) / 255.0,
                              ((image.colour >> 8) & 0xFF) / 255.0);
    // Whole chroma samples: columns base .. base + length - 1.
    const long base = x0 & ~1L, length = ((x1 + 1) & ~1L) - base;
    std::uint8_t *rows[2] = {scratch, scratch + scratch_length(f.width) / 2};
    for (long cy = y0 / rows_per_sample; cy * rows_per_sample < y1; ++cy) {
        // The rows of this sample inside the frame; a missing second row
        // (odd height) repeats the first.
        for (long j = 0; j < rows_per_sample; ++j) {
            const long r = cy * rows_per_sample + j;
            if (r >= f.height)
                rows[1] = rows[0];
            else if (r < y0 || r >= y1)
                std::memset(rows[j], 0, static_cast<std::size_t>(length));
            else {
                fill_row(image, alpha, r, x0, x1, base, length, f.width, rows[j]);
                luma_row(luma + r * luma_stride + x0 * step, step, rows[j] + (x0 - base),
                         x1 - x0, static_cast<std::uint16_t>(c.y));
            }
        }
        const long second = planar ? 1 : 0;
        chroma_row(u + cy * chroma_stride + (base / 2) * chroma_step,
                   v + cy * chroma_stride + (base / 2) * chroma_step, chroma_step, rows[0],
                   rows[second], length / 2, static_cast<std::uint16_t>(c.u),
                   static_cast<std::uint16_t>(c.v));
        rows[1] = scratch + scratch_length(f.width) / 2;
    }
    return true;
}

bool blend_paletted(const Frame &f, const Matrix &m, const Paletted &picture)
{
    const long x0 = std::max(picture.dx, 0L), y0 = std::max(picture.dy, 0L);
    const long x1 = std::min(picture.dx + picture.dw, f.width);
    const long y1 = std::min(picture.dy + picture.dh, f.height);
    if (x0 >= x1 || y0 >= y1)
        return true;

    // Each index's Paint: entries past the palette are transparent.
    const long entries = std::min<long>(picture.entries, 256);
    Paint colours[256] = {};
    for (long i = 0; i < entries; ++i) {
        std::uint32_t argb;
        std::memcpy(&argb, picture.palette + 4 * i, 4);
        const std::uint32_t a = (argb >> 24) * 255u;
        const Colour c = to_ycbcr(m, ((argb >> 16) & 0xFF) / 255.0, ((argb >> 8) & 0xFF) / 255.0,
                                  (argb & 0xFF) / 255.0);
        colours[i] = {a, a * static_cast<std::uint32_t>(c.y), a * static_cast<std::uint32_t>(c.u),
                      a * static_cast<std::uint32_t>(c.v)};
    }

    Spans across, down;
    std::vector<Paint> paint;
    try {
        spans_of(picture.src_w, picture.dw, x0 - picture.dx, x1 - picture.dx, &across);
        spans_of(picture.src_h, picture.dh, y0 - picture.dy, y1 - picture.dy, &down);
        paint.resize(static_cast<std::size_t>((x1 - x0) * (y1 - y0)));
    } catch (...) {
        return false;
    }
    const long columns = x1 - x0;
    // Area averaging: each destination pixel's colour is the weighted mean of
    // the source pixels it covers, weights summing to src_w * src_h.
    const std::uint64_t total = std::uint64_t(picture.src_w) * std::uint64_t(picture.src_h);
    for (long r = 0; r < y1 - y0; ++r)
        for (long c = 0; c < columns; ++c) {
            std::uint64_t a = 0, y = 0, u = 0, v = 0;
            for (long i = down.first[r]; i < down.first[r + 1]; ++i) {
                const std::uint8_t *row = picture.indices + down.source[i] * picture.index_stride;
                for (long j = across.first[c]; j < across.first[c + 1]; ++j) {
                    const Paint &p = colours[row[across.source[j]]];
                    const std::uint64_t w =
                        std::uint64_t(down.weight[i]) * std::uint64_t(across.weight[j]);
                    a += w * p.a;
                    y += w * p.y;
                    u += w * p.u;
                    v += w * p.v;
                }
            }
            paint[r * columns + c] = {
                static_cast<std::uint32_t>((a + total / 2) / total),
                static_cast<std::uint32_t>((y + total / 2) / total),
                static_cast<std::uint32_t>((u + total / 2) / total),
                static_cast<std::uint32_t>((v + total / 2) / total)};
        }
    blend_rect(f, x0, y0, x1, y1, PaintSource{paint.data(), x0, y0, columns});
    return true;
}

}  // namespace brilox::subtitles
