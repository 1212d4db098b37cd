// brilox.media._colour: the engine's native colour services.
//
// `expand` stretches video levels (luma 16-235, chroma 16-240 around 128) to
// the full 0-255 range, for an SDL that converts YUV to RGB as if the input
// were full range; `compress` does the reverse, full range to video levels,
// for an SDL that takes every input as video levels.  Both work on any
// buffer of bytes, one or two dimensions, rows apart by any positive stride,
// in place or into another buffer.
//
// `transform` applies a colour matrix and a level change to a frame's
// planes in one pass, for an SDL whose conversion knows one matrix only;
// `narrow` takes a frame of 10 or 12 bits a sample to 8 bits, 4:2:0, with
// its matrix and levels changed on the way, in one pass; `turn` mirrors and
// turns a plane by quarter turns, for video filmed on its side.
//
// `read_display` reads a rectangle of the display surface as RGB bytes,
// whatever its pixel format, or as its own pixel bytes, which
// `write_display` puts back.  `show_planes` puts a YV12 frame into the
// display surface as classic SDL's software overlay would, at a fraction of
// its cost.
#include "api_tables.hpp"
#include "layouts.hpp"

#include <SDL.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <immintrin.h>
#endif

namespace {

using brilox::Ref;
namespace api = brilox::api;

void *api_slots[api::importer_slot_count];

// --- the level conversions ---------------------------------------------------

// One byte of a conversion in 16-bit fixed point, for a compiler to
// vectorise: the byte goes to the high half of a 16-bit word with `low`
// below it, the word is scaled by `scale` / 65536 (a high-half multiply),
// rounded down to 1/128ths, and `offset` is taken off before clipping.  The
// constants give exactly, rounding halves away from zero, for every byte
// (checked below, at compile time):
//   expand luma      clip(round((Y - 16) * 255 / 219))
//   expand chroma    clip(round((C - 128) * 255 / 224) + 128)
//   compress luma    round(16 + Y * 219 / 255)
//   compress chroma  round(128 + (C - 128) * 224 / 255)
// (the compressions never reach the clip, and never meet a half: 255 is odd).
struct Scale {
    std::uint16_t scale;
    std::uint16_t low;
    std::int16_t offset;
};

constexpr Scale luma_scale{38153, 191, 19};
constexpr Scale chroma_scale{37302, 175, 18};
constexpr Scale luma_compress_scale{28142, 146, -16};
constexpr Scale chroma_compress_scale{28786, 14, -16};

constexpr std::uint8_t convert_byte(std::uint8_t value, Scale s)
{
    auto word = static_cast<std::uint16_t>((value << 8) | s.low);
    auto high = static_cast<std::uint16_t>((static_cast<std::uint32_t>(word) * s.scale) >> 16);
    int level = (static_cast<std::uint16_t>(high + 1) >> 7) - s.offset;
    return static_cast<std::uint8_t>(level < 0 ? 0 : level > 255 ? 255 : level);
}

// round(numerator / denominator), halves away from zero, in integers.
constexpr int divide_rounded(int numerator, int denominator)
{
    int twice = 2 * numerator + (numerator < 0 ? -denominator : denominator);
    return twice / (2 * denominator);
}

constexpr int clip(int level) { return level < 0 ? 0 : level > 255 ? 255 : level; }

constexpr bool matches_formula()
{
    for (int v = 0; v < 256; ++v) {
        if (convert_byte(static_cast<std::uint8_t>(v), luma_scale) !=
            clip(divide_rounded((v - 16) * 255, 219)))
            return false;
        if (convert_byte(static_cast<std::uint8_t>(v), chroma_scale) !=
            clip(divide_rounded((v - 128) * 255, 224) + 128))
            return false;
        if (convert_byte(static_cast<std::uint8_t>(v), luma_compress_scale) !=
            16 + divide_rounded(v * 219, 255))
            return false;
        if (convert_byte(static_cast<std::uint8_t>(v), chroma_compress_scale) !=
            128 + divide_rounded((v - 128) * 224, 255))
            return false;
    }
    return true;
}
static_assert(matches_formula(), "the fixed-point conversions must equal the exact formulas");

// What a plane holds: all luma, all chroma, or luma and chroma bytes in turn
// (packed 4:2:2, starting with either).
constexpr int kind_luma = brilox::layout::luma;
constexpr int kind_chroma = brilox::layout::chroma;
constexpr int kind_luma_chroma = brilox::layout::luma_chroma;
constexpr int kind_chroma_luma = brilox::layout::chroma_luma;

void convert_plain(const std::uint8_t *source, std::uint8_t *destination, Py_ssize_t count,
                  Scale s)
{
    for (Py_ssize_t i = 0; i < count; ++i)
        destination[i] = convert_byte(source[i], s);
}

// Packed 4:2:2 rows, luma and chroma bytes in turn: sixteen bytes at a
// time, with the constants of each byte's kind laid out lane by lane, so
// that the block vectorises as the plain loop does.
struct Lanes {
    std::uint16_t scale[16];
    std::uint16_t low[16];
    std::int16_t offset[16];
};

constexpr Lanes lanes_of(Scale even, Scale odd)
{
    Lanes lanes{};
    for (int j = 0; j < 16; ++j) {
        const Scale &s = j % 2 ? odd : even;
        lanes.scale[j] = s.scale;
        lanes.low[j] = s.low;
        lanes.offset[j] = s.offset;
    }
    return lanes;
}

constexpr Lanes luma_chroma_lanes = lanes_of(luma_scale, chroma_scale);
constexpr Lanes chroma_luma_lanes = lanes_of(chroma_scale, luma_scale);
constexpr Lanes luma_chroma_compress_lanes = lanes_of(luma_compress_scale, chroma_compress_scale);
constexpr Lanes chroma_luma_compress_lanes = lanes_of(chroma_compress_scale, luma_compress_scale);

template <const Lanes &lanes>
void convert_alternating(const std::uint8_t *source, std::uint8_t *destination,
                        Py_ssize_t count)
{
    Py_ssize_t i = 0;
    for (; i + 16 <= count; i += 16)
        for (int j = 0; j < 16; ++j)
            destination[i + j] = convert_byte(
                source[i + j], Scale{lanes.scale[j], lanes.low[j], lanes.offset[j]});
    for (; i < count; ++i) {
        const int j = static_cast<int>(i % 2);
        destination[i] =
            convert_byte(source[i], Scale{lanes.scale[j], lanes.low[j], lanes.offset[j]});
    }
}

// The kernels above, inlined here, are built twice on x86-64: for the
// baseline's 16-byte vectors and for AVX2's 32-byte ones, chosen when the
// module loads by what the processor has.
#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target_clones("avx2", "default")))
#endif
void convert_row(const std::uint8_t *source, std::uint8_t *destination, Py_ssize_t count,
                int kind, bool compress)
{
    switch (kind + (compress ? 4 : 0)) {
    case kind_luma:
        convert_plain(source, destination, count, luma_scale);
        break;
    case kind_chroma:
        convert_plain(source, destination, count, chroma_scale);
        break;
    case kind_luma_chroma:
        convert_alternating<luma_chroma_lanes>(source, destination, count);
        break;
    case kind_chroma_luma:
        convert_alternating<chroma_luma_lanes>(source, destination, count);
        break;
    case 4 + kind_luma:
        convert_plain(source, destination, count, luma_compress_scale);
        break;
    case 4 + kind_chroma:
        convert_plain(source, destination, count, chroma_compress_scale);
        break;
    case 4 + kind_luma_chroma:
        convert_alternating<luma_chroma_compress_lanes>(source, destination, count);
        break;
    default:
        convert_alternating<chroma_luma_compress_lanes>(source, destination, count);
        break;
    }
}

// A buffer seen as rows of bytes.
struct Plane {
    std::uint8_t *start;
    Py_ssize_t rows;
    Py_ssize_t columns;
    Py_ssize_t row_stride;
    bool contiguous() const { return rows <= 1 || row_stride == columns; }
};

// Reads a view as rows of bytes: one or two dimensions, items of one byte
// next to each other, rows a positive stride apart that does not overlap
// them.  Sets ValueError and returns false for any other layout.
bool plane_of(const Py_buffer &view, const char *role, Plane *plane)
{
    if (view.itemsize != 1) {
        PyErr_Format(PyExc_ValueError, "%s: items of 1 byte needed, not %zd", role,
                     view.itemsize);
        return false;
    }
    Py_ssize_t rows = 1, columns = view.len, row_stride = view.len, item_stride = 1;
    if (view.ndim == 1) {
        columns = view.shape[0];
        item_stride = view.strides[0];
        row_stride = columns;
    } else if (view.ndim == 2) {
        rows = view.shape[0];
        columns = view.shape[1];
        row_stride = view.strides[0];
        item_stride = view.strides[1];
    } else if (view.ndim != 0) {
        PyErr_Format(PyExc_ValueError, "%s: 1 or 2 dimensions needed, not %d", role, view.ndim);
        return false;
    }
    if (columns > 1 && item_stride != 1) {
        PyErr_Format(PyExc_ValueError, "%s: items must be next to each other (item stride %zd)",
                     role, item_stride);
        return false;
    }
    if (rows > 1 && columns > 0 && row_stride < columns) {
        PyErr_Format(PyExc_ValueError,
                     "%s: rows must be apart by a positive stride of at least their length "
                     "(%zd columns, row stride %zd)",
                     role, columns, row_stride);
        return false;
    }
    *plane = {static_cast<std::uint8_t *>(view.buf), rows, columns, row_stride};
    return true;
}

constexpr Py_ssize_t release_lock_from = 64 * 1024;

// Runs `work` over `bytes` bytes of buffers the caller holds: without the
// interpreter lock where there are enough of them to be worth the switch.
template <class Work>
void run_released(Py_ssize_t bytes, Work &&work)
{
    if (bytes >= release_lock_from) {
        Py_BEGIN_ALLOW_THREADS
        work();
        Py_END_ALLOW_THREADS
    } else {
        work();
    }
}

void convert_planes(const Plane &source, const Plane &destination, int kind, bool compress)
{
    for (Py_ssize_t r = 0; r < source.rows; ++r)
        convert_row(source.start + r * source.row_stride,
                   destination.start + r * destination.row_stride, source.columns, kind,
                   compress);
}

// expand(plane, kind, into=None) and compress(...): one body, the direction
// apart.
PyObject *convert_levels(PyObject *args, PyObject *kwargs, bool compress)
{
    static const char *keywords[] = {"plane", "kind", "into", nullptr};
    PyObject *source_object = nullptr, *into = Py_None;
    int kind = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, compress ? "Oi|O:compress" : "Oi|O:expand",
                                     const_cast<char **>(keywords), &source_object, &kind,
                                     &into))
        return nullptr;
    if (kind < kind_luma || kind > kind_chroma_luma) {
        PyErr_Format(PyExc_ValueError, "kind must be LUMA, CHROMA, LUMA_CHROMA or CHROMA_LUMA, "
                                       "not %d", kind);
        return nullptr;
    }
    const bool in_place = into == source_object;
    brilox::HeldBuffer source_view, destination_view;
    if (!source_view.take(source_object, in_place ? PyBUF_STRIDES | PyBUF_WRITABLE : PyBUF_STRIDES))
        return nullptr;
    Plane source{}, destination{};
    if (!plane_of(source_view.view(), in_place ? "plane (converted in place)" : "plane", &source))
        return nullptr;
    const Py_ssize_t size = source.rows * source.columns;

    Ref result;
    if (into == Py_None) {
        result = Ref::steal(PyByteArray_FromStringAndSize(nullptr, size));
        if (!result)
            return nullptr;
        destination = {reinterpret_cast<std::uint8_t *>(PyByteArray_AS_STRING(result.get())),
                       source.rows, source.columns, source.columns};
    } else if (in_place) {
        result = Ref::borrow(into);
        destination = source;
    } else {
        if (!destination_view.take(into, PyBUF_STRIDES | PyBUF_WRITABLE) ||
            !plane_of(destination_view.view(), "into", &destination))
            return nullptr;
        result = Ref::borrow(into);
        if (destination.rows * destination.columns != size) {
            PyErr_Format(PyExc_ValueError, "into holds %zd bytes, the plane %zd",
                         destination.rows * destination.columns, size);
            return nullptr;
        }
        // Same shape: row for row.  Otherwise one side must be one block,
        // which is then read in the other's rows.
        if (destination.rows != source.rows || destination.columns != source.columns) {
            if (destination.contiguous())
                destination = {destination.start, source.rows, source.columns, source.columns};
            else if (source.contiguous())
                source = {source.start, destination.rows, destination.columns,
                          destination.columns};
            else {
                PyErr_Format(PyExc_ValueError,
                             "into is %zd x %zd and the plane %zd x %zd: different shapes "
                             "need one of them in one block",
                             destination.rows, destination.columns, source.rows,
                             source.columns);
                return nullptr;
            }
        }
    }

    // Both buffers stay held until the views go, so the loop can run
    // without the interpreter lock.
    run_released(size, [&] { convert_planes(source, destination, kind, compress); });
    return result.release();
}

PyObject *colour_expand(PyObject *, PyObject *args, PyObject *kwargs)
{
    return convert_levels(args, kwargs, false);
}

PyObject *colour_compress(PyObject *, PyObject *args, PyObject *kwargs)
{
    return convert_levels(args, kwargs, true);
}

// --- the colour matrix -------------------------------------------------------

// Reads a view as `rows` rows of at least `columns` bytes: a 2-D view by its
// own rows, a 1-D one as rows one after another at the stride len // rows,
// as a decoder pads its planes.  Sets ValueError and returns false for
// another layout, or a view too small.
bool rows_of(const Py_buffer &view, const char *role, Py_ssize_t rows, Py_ssize_t columns,
             Plane *plane)
{
    if (!plane_of(view, role, plane))
        return false;
    if (view.ndim == 2) {
        if (plane->rows < rows || plane->columns < columns) {
            PyErr_Format(PyExc_ValueError, "%s: %zd rows of %zd bytes needed, the view is "
                                           "%zd x %zd", role, rows, columns, plane->rows,
                         plane->columns);
            return false;
        }
    } else {
        const Py_ssize_t length = plane->rows * plane->columns;
        if (length / rows < columns) {
            PyErr_Format(PyExc_ValueError, "%s: %zd rows of %zd bytes needed, %zd bytes hold "
                                           "rows of %zd", role, rows, columns, length,
                         length / rows);
            return false;
        }
        plane->row_stride = length / rows;
    }
    plane->rows = rows;
    plane->columns = columns;
    return true;
}

// How transform finds its planes: three of 4:2:0, or one of packed 4:2:2
// (LUMA_CHROMA, CHROMA_LUMA) by the first byte of each row.
constexpr int layout_planar = brilox::layout::planar;

// A colour matrix in fixed point for 16-bit lanes.  Levels are counted in
// 1/8ths.  Every byte, less 128, goes to the high byte of a 16-bit word,
// and a high-half multiply of the word by multiplier * 2048 gives the
// product in 1/8ths:  high((B - 128) << 8, k) = (B - 128) * k / 256.
// Luma is centred too, for the compiler to see a plain 16-bit high
// multiply; the 128 * ky taken off comes back in the luma offset.  With
// multipliers within +-4 and the offset within +-1024 levels no product
// passes 4096 and no sum 24600, so 16 bits hold every step.  The high
// multiplies round down; the offsets carry the mean of that back, with the
// half that turns the final shift into rounding.  That mean is each
// multiplier's own (floor_loss): a multiplier that is a whole number of
// levels loses nothing, and a constant mean of one half would lift such
// results by up to 3/16 of a level on average.  What is left, at most 1/32
// level from each constant, 1/16 from the offset and 3/16 from the rounding
// down, keeps every result within 0.35 of a level of the exact formula
// before rounding.
struct Matrix {
    std::int16_t ky, kyu, kyv, kuu, kuv, kvu, kvv;
    // oy and 128 * ky in 1/8ths, with the half and the mean of three floors.
    std::int16_t luma_offset;
    // 128 in 1/8ths, with the half and the mean of two floors.
    std::int16_t u_offset, v_offset;
};

constexpr int fraction_bits = 3;
constexpr double unit = 2048;
constexpr double multiplier_limit = 4, offset_limit = 1024;
constexpr int half = 1 << (fraction_bits - 1);

// The mean that high((B - 128) << 8, k) loses to rounding down, in 1/8ths,
// over the 256 bytes B: the products (B - 128) * k / 256 step through every
// multiple of gcd(k, 256) / 256 of an eighth alike.
double floor_loss(std::int16_t k)
{
    int g = 256, a = std::abs(int{k});
    while (a != 0) {
        const int r = g % a;
        g = a;
        a = r;
    }
    return (1 - g / 256.0) / 2;
}

constexpr std::int16_t high(std::int16_t a, std::int16_t b)
{
    return static_cast<std::int16_t>((std::int32_t{a} * b) >> 16);
}

// The level of a sum in 1/8ths, clipped; 16-bit all through, for the
// compiler to keep the lanes narrow.
constexpr std::uint8_t level_of(int sum)
{
    const auto level =
        static_cast<std::int16_t>(static_cast<std::int16_t>(sum) >> fraction_bits);
    return static_cast<std::uint8_t>(
        std::min<std::int16_t>(std::max<std::int16_t>(level, 0), 255));
}

constexpr std::int16_t word_of(std::uint8_t b)
{
    return static_cast<std::int16_t>((b - 128) * 256);
}

// One run of chroma samples: the new U and V, and each sample's share of
// the luma of the pixels it covers.
void chroma_run(const std::uint8_t *__restrict u, const std::uint8_t *__restrict v,
                std::uint8_t *__restrict u_out, std::uint8_t *__restrict v_out,
                std::int16_t *__restrict luma_terms, Py_ssize_t count, const Matrix &m)
{
    for (Py_ssize_t i = 0; i < count; ++i) {
        const std::int16_t du = word_of(u[i]), dv = word_of(v[i]);
        u_out[i] = level_of(high(du, m.kuu) + high(dv, m.kuv) + m.u_offset);
        v_out[i] = level_of(high(du, m.kvu) + high(dv, m.kvv) + m.v_offset);
        luma_terms[i] =
            static_cast<std::int16_t>(high(du, m.kyu) + high(dv, m.kyv) + m.luma_offset);
    }
}

// One run of luma, pixel i under chroma sample i / 2; by pairs, for the
// compiler to vectorise.
void luma_run(const std::uint8_t *__restrict y, const std::int16_t *__restrict luma_terms,
              std::uint8_t *__restrict y_out, Py_ssize_t count, std::int16_t ky)
{
    for (Py_ssize_t i = 0; i < count / 2; ++i) {
        y_out[2 * i] = level_of(high(word_of(y[2 * i]), ky) + luma_terms[i]);
        y_out[2 * i + 1] = level_of(high(word_of(y[2 * i + 1]), ky) + luma_terms[i]);
    }
    if (count % 2)
        y_out[count - 1] = level_of(high(word_of(y[count - 1]), ky) + luma_terms[count / 2]);
}

// The same runs with AVX2, 32 bytes a step, their tails left to the loops
// above.  A byte with its top bit flipped, unpacked above a zero byte, is
// the word (B - 128) << 8.  AVX2 unpacks and packs within each 16-byte
// half, so the words of a step come out of the pack in their order again,
// and the luma shares of 16 chroma samples, unpacked against themselves,
// line up with the 32 luma bytes they cover; only the shares' store needs
// the halves put in order.
#if defined(__x86_64__) && defined(__GNUC__)
#define COLOUR_AVX2 1

__attribute__((target("avx2"))) __m256i load(const void *p)
{
    return _mm256_loadu_si256(static_cast<const __m256i *>(p));
}

__attribute__((target("avx2"))) void store(void *p, __m256i v)
{
    _mm256_storeu_si256(static_cast<__m256i *>(p), v);
}

// A store that goes past the caches, with `past_caches` and where the
// address allows (16-byte aligned), for output of a frame too large to stay
// in them: it then neither reads the lines it fills nor pushes the input
// out.  An sfence must follow the last of them.
template <bool past_caches>
__attribute__((target("avx2"))) void store_out(void *p, __m256i v)
{
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    if (!past_caches) {
        store(p, v);
    } else if (at % 32 == 0) {
        _mm256_stream_si256(static_cast<__m256i *>(p), v);
    } else if (at % 16 == 0) {
        _mm_stream_si128(static_cast<__m128i *>(p), _mm256_castsi256_si128(v));
        _mm_stream_si128(static_cast<__m128i *>(p) + 1, _mm256_extracti128_si256(v, 1));
    } else {
        store(p, v);
    }
}

__attribute__((target("avx2"))) __m256i sum(__m256i a, __m256i ka, __m256i b, __m256i kb,
                                             __m256i offset)
{
    return _mm256_add_epi16(_mm256_add_epi16(_mm256_mulhi_epi16(a, ka),
                                             _mm256_mulhi_epi16(b, kb)), offset);
}

__attribute__((target("avx2"))) __m256i levels(__m256i low, __m256i high)
{
    return _mm256_packus_epi16(_mm256_srai_epi16(low, fraction_bits),
                               _mm256_srai_epi16(high, fraction_bits));
}

// A chroma step's multipliers and offsets, one in each 16-bit lane.
struct Kernel {
    __m256i kuu, kuv, kvu, kvv, kyu, kyv, u_offset, v_offset, luma_offset;
};

template <class Coefficients>
__attribute__((target("avx2"))) Kernel kernel(const Coefficients &c)
{
    return {_mm256_set1_epi16(c.kuu),      _mm256_set1_epi16(c.kuv),
            _mm256_set1_epi16(c.kvu),      _mm256_set1_epi16(c.kvv),
            _mm256_set1_epi16(c.kyu),      _mm256_set1_epi16(c.kyv),
            _mm256_set1_epi16(c.u_offset), _mm256_set1_epi16(c.v_offset),
            _mm256_set1_epi16(c.luma_offset)};
}

__attribute__((target("avx2")))
void chroma_run_avx2(const std::uint8_t *u, const std::uint8_t *v, std::uint8_t *u_out,
                     std::uint8_t *v_out, std::int16_t *luma_terms, Py_ssize_t count,
                     const Matrix &m)
{
    const __m256i flip = _mm256_set1_epi8(-128), zero = _mm256_setzero_si256();
    const Kernel k = kernel(m);
    Py_ssize_t i = 0;
    for (; i + 32 <= count; i += 32) {
        const __m256i a = _mm256_xor_si256(load(u + i), flip);
        const __m256i b = _mm256_xor_si256(load(v + i), flip);
        const __m256i ul = _mm256_unpacklo_epi8(zero, a), uh = _mm256_unpackhi_epi8(zero, a);
        const __m256i vl = _mm256_unpacklo_epi8(zero, b), vh = _mm256_unpackhi_epi8(zero, b);
        store(u_out + i, levels(sum(ul, k.kuu, vl, k.kuv, k.u_offset),
                                sum(uh, k.kuu, vh, k.kuv, k.u_offset)));
        store(v_out + i, levels(sum(ul, k.kvu, vl, k.kvv, k.v_offset),
                                sum(uh, k.kvu, vh, k.kvv, k.v_offset)));
        const __m256i tl = sum(ul, k.kyu, vl, k.kyv, k.luma_offset);
        const __m256i th = sum(uh, k.kyu, vh, k.kyv, k.luma_offset);
        store(luma_terms + i, _mm256_permute2x128_si256(tl, th, 0x20));
        store(luma_terms + i + 16, _mm256_permute2x128_si256(tl, th, 0x31));
    }
    chroma_run(u + i, v + i, u_out + i, v_out + i, luma_terms + i, count - i, m);
}

__attribute__((target("avx2")))
void luma_run_avx2(const std::uint8_t *y, const std::int16_t *luma_terms, std::uint8_t *y_out,
                   Py_ssize_t count, std::int16_t ky)
{
    const __m256i flip = _mm256_set1_epi8(-128), zero = _mm256_setzero_si256();
    const __m256i k = _mm256_set1_epi16(ky);
    Py_ssize_t i = 0;
    for (; i + 32 <= count; i += 32) {
        const __m256i a = _mm256_xor_si256(load(y + i), flip);
        const __m256i t = load(luma_terms + i / 2);
        const __m256i low = _mm256_add_epi16(
            _mm256_mulhi_epi16(_mm256_unpacklo_epi8(zero, a), k), _mm256_unpacklo_epi16(t, t));
        const __m256i high = _mm256_add_epi16(
            _mm256_mulhi_epi16(_mm256_unpackhi_epi8(zero, a), k), _mm256_unpackhi_epi16(t, t));
        store(y_out + i, levels(low, high));
    }
    luma_run(y + i, luma_terms + i / 2, y_out + i, count - i, ky);
}
#endif

// The runs above by what the processor has.
void chroma_terms(const std::uint8_t *u, const std::uint8_t *v, std::uint8_t *u_out,
                  std::uint8_t *v_out, std::int16_t *luma_terms, Py_ssize_t count,
                  const Matrix &m)
{
#ifdef COLOUR_AVX2
    if (__builtin_cpu_supports("avx2"))
        return chroma_run_avx2(u, v, u_out, v_out, luma_terms, count, m);
#endif
    chroma_run(u, v, u_out, v_out, luma_terms, count, m);
}

void luma_levels(const std::uint8_t *y, const std::int16_t *luma_terms, std::uint8_t *y_out,
                 Py_ssize_t count, std::int16_t ky)
{
#ifdef COLOUR_AVX2
    if (__builtin_cpu_supports("avx2"))
        return luma_run_avx2(y, luma_terms, y_out, count, ky);
#endif
    luma_run(y, luma_terms, y_out, count, ky);
}

// Rows are taken in runs of this many chroma samples, whose luma shares fit
// on the stack beside them.
constexpr Py_ssize_t run_length = 1024;

// 4:2:0: each row of chroma, then the one or two rows of luma under it.
void transform_planar(const Plane (&in)[3], std::uint8_t *const (&out)[3], const Matrix &m)
{
    const Py_ssize_t width = in[0].columns, height = in[0].rows;
    const Py_ssize_t chroma_width = in[1].columns;
    std::int16_t luma_terms[run_length];
    for (Py_ssize_t r = 0; r < in[1].rows; ++r) {
        for (Py_ssize_t x = 0; x < chroma_width; x += run_length) {
            const Py_ssize_t count = std::min(run_length, chroma_width - x);
            chroma_terms(in[1].start + r * in[1].row_stride + x,
                         in[2].start + r * in[2].row_stride + x, out[1] + r * chroma_width + x,
                         out[2] + r * chroma_width + x, luma_terms, count, m);
            const Py_ssize_t luma_count = std::min(2 * count, width - 2 * x);
            for (Py_ssize_t row = 2 * r; row < std::min(2 * r + 2, height); ++row)
                luma_levels(in[0].start + row * in[0].row_stride + 2 * x, luma_terms,
                            out[0] + row * width + 2 * x, luma_count, m.ky);
        }
    }
}

// Packed 4:2:2: each run of pairs taken apart into luma, U and V, turned
// as the planar ones are, and put together again.  The places of luma and
// chroma in a pair are constants, for the compiler to see whole pairs.
template <int luma_at>
void transform_packed(const Plane &in, std::uint8_t *out, const Matrix &m)
{
    constexpr int chroma_at = 1 - luma_at;
    const Py_ssize_t pairs = in.columns / 4;
    std::uint8_t y[2 * run_length], u[run_length], v[run_length];
    std::uint8_t y_out[2 * run_length], u_out[run_length], v_out[run_length];
    std::int16_t luma_terms[run_length];
    for (Py_ssize_t r = 0; r < in.rows; ++r) {
        const std::uint8_t *row = in.start + r * in.row_stride;
        std::uint8_t *row_out = out + r * in.columns;
        for (Py_ssize_t p = 0; p < pairs; p += run_length) {
            const Py_ssize_t count = std::min(run_length, pairs - p);
            const std::uint8_t *from = row + 4 * p;
            for (Py_ssize_t i = 0; i < count; ++i) {
                y[2 * i] = from[4 * i + luma_at];
                y[2 * i + 1] = from[4 * i + 2 + luma_at];
                u[i] = from[4 * i + chroma_at];
                v[i] = from[4 * i + 2 + chroma_at];
            }
            chroma_terms(u, v, u_out, v_out, luma_terms, count, m);
            luma_levels(y, luma_terms, y_out, 2 * count, m.ky);
            std::uint8_t *to = row_out + 4 * p;
            for (Py_ssize_t i = 0; i < count; ++i) {
                to[4 * i + luma_at] = y_out[2 * i];
                to[4 * i + 2 + luma_at] = y_out[2 * i + 1];
                to[4 * i + chroma_at] = u_out[i];
                to[4 * i + 2 + chroma_at] = v_out[i];
            }
        }
    }
}

// The eight coefficients as they are given, each checked.
struct Matrix8 {
    double ky, kyu, kyv, oy, kuu, kuv, kvu, kvv;
};

// Reads the eight numbers; sets an error and returns false for anything
// else.
bool coefficients_of(PyObject *coefficients, Matrix8 *m)
{
    static const char *names[] = {"ky", "kyu", "kyv", "oy", "kuu", "kuv", "kvu", "kvv"};
    Ref items = Ref::steal(PySequence_Fast(coefficients, "coefficients must be a sequence of "
                                                         "8 numbers"));
    if (!items)
        return false;
    if (PySequence_Fast_GET_SIZE(items.get()) != 8) {
        PyErr_Format(PyExc_ValueError, "coefficients: 8 numbers needed (ky, kyu, kyv, oy, kuu, "
                                       "kuv, kvu, kvv), not %zd",
                     PySequence_Fast_GET_SIZE(items.get()));
        return false;
    }
    double k[8];
    for (int i = 0; i < 8; ++i) {
        PyObject *item = PySequence_Fast_GET_ITEM(items.get(), i);
        k[i] = PyFloat_AsDouble(item);
        if (k[i] == -1.0 && PyErr_Occurred())
            return false;
        const double limit = i == 3 ? offset_limit : multiplier_limit;
        if (!(std::fabs(k[i]) <= limit)) {
            PyErr_Format(PyExc_ValueError, "coefficients: %s is %R; the multipliers must lie "
                                           "within -4..4 and the offset within -1024..1024",
                         names[i], item);
            return false;
        }
    }
    *m = {k[0], k[1], k[2], k[3], k[4], k[5], k[6], k[7]};
    return true;
}

// The eight numbers as a Matrix; sets an error and returns false for
// anything else.
bool matrix_of(PyObject *coefficients, Matrix *m)
{
    Matrix8 k{};
    if (!coefficients_of(coefficients, &k))
        return false;
    const auto at = [](double value) {
        return static_cast<std::int16_t>(std::lround(value * unit));
    };
    const double eighths = 1 << fraction_bits;
    const auto offset = [](double value) { return static_cast<std::int16_t>(std::lround(value)); };
    *m = {at(k.ky), at(k.kyu), at(k.kyv), at(k.kuu), at(k.kuv), at(k.kvu), at(k.kvv), 0, 0, 0};
    m->luma_offset = offset((k.oy + 128 * k.ky) * eighths + half + floor_loss(m->ky) +
                            floor_loss(m->kyu) + floor_loss(m->kyv));
    m->u_offset = offset((128 << fraction_bits) + half + floor_loss(m->kuu) + floor_loss(m->kuv));
    m->v_offset = offset((128 << fraction_bits) + half + floor_loss(m->kvu) + floor_loss(m->kvv));
    return true;
}

// transform(planes, layout, width, height, coefficients)
PyObject *colour_transform(PyObject *, PyObject *args, PyObject *kwargs)
{
    static const char *keywords[] = {"planes", "layout", "width", "height", "coefficients",
                                     nullptr};
    PyObject *planes_object = nullptr, *coefficients = nullptr;
    int layout = 0;
    Py_ssize_t width = 0, height = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OinnO:transform",
                                     const_cast<char **>(keywords), &planes_object, &layout,
                                     &width, &height, &coefficients))
        return nullptr;
    const bool planar = layout == layout_planar;
    if (!planar && layout != kind_luma_chroma && layout != kind_chroma_luma) {
        PyErr_Format(PyExc_ValueError, "layout must be PLANAR, LUMA_CHROMA or CHROMA_LUMA, "
                                       "not %d", layout);
        return nullptr;
    }
    if (width < 1 || height < 1) {
        PyErr_Format(PyExc_ValueError, "width and height must be positive, not %zd x %zd",
                     width, height);
        return nullptr;
    }
    if (width > PY_SSIZE_T_MAX / 2) {
        PyErr_Format(PyExc_ValueError, "a width of %zd is wider than any buffer", width);
        return nullptr;
    }
    if (!planar && width % 2) {
        PyErr_Format(PyExc_ValueError, "packed 4:2:2 rows need an even width, not %zd", width);
        return nullptr;
    }
    Matrix m{};
    if (!matrix_of(coefficients, &m))
        return nullptr;
    Ref planes = Ref::steal(PySequence_Fast(planes_object, "planes must be a sequence"));
    if (!planes)
        return nullptr;
    const Py_ssize_t count = planar ? 3 : 1;
    if (PySequence_Fast_GET_SIZE(planes.get()) != count) {
        PyErr_Format(PyExc_ValueError, "%s takes %zd plane%s, not %zd",
                     planar ? "PLANAR" : "packed 4:2:2", count, planar ? "s" : "",
                     PySequence_Fast_GET_SIZE(planes.get()));
        return nullptr;
    }

    static const char *roles[] = {"planes[0]", "planes[1]", "planes[2]"};
    const Py_ssize_t chroma_width = (width + 1) / 2, chroma_height = (height + 1) / 2;
    brilox::HeldBuffer views[3];
    Plane in[3]{};
    Ref out[3];
    std::uint8_t *to[3]{};
    Py_ssize_t total = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        const Py_ssize_t rows = i ? chroma_height : height;
        const Py_ssize_t columns = i ? chroma_width : planar ? width : 2 * width;
        if (!views[i].take(PySequence_Fast_GET_ITEM(planes.get(), i), PyBUF_STRIDES) ||
            !rows_of(views[i].view(), roles[i], rows, columns, &in[i]))
            return nullptr;
        out[i] = Ref::steal(PyByteArray_FromStringAndSize(nullptr, rows * columns));
        if (!out[i])
            return nullptr;
        to[i] = reinterpret_cast<std::uint8_t *>(PyByteArray_AS_STRING(out[i].get()));
        total += rows * columns;
    }

    // The views hold every buffer until they go, so the work can run
    // without the interpreter lock.
    const auto work = [&] {
        if (planar)
            transform_planar(in, to, m);
        else if (layout == kind_luma_chroma)
            transform_packed<0>(in[0], to[0], m);
        else
            transform_packed<1>(in[0], to[0], m);
    };
    run_released(total, work);
    Ref result = Ref::steal(PyTuple_New(count));
    if (!result)
        return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i)
        PyTuple_SET_ITEM(result.get(), i, out[i].release());
    return result.release();
}

// --- deep frames to 8 bits ---------------------------------------------------

// Deep rows are taken in runs of this many chroma samples: a whole row of
// 4K video, so that each plane is read straight through.
constexpr Py_ssize_t narrow_run_length = 2048;

// A frame of 9 to 12 bits a sample (little-endian 16-bit words, 4:2:0 or
// 4:2:2) becomes 8-bit 4:2:0 in one pass, its matrix and levels changed on
// the way by transform's coefficients, in the same 16-bit lanes and 1/8ths
// of a level as transform's Matrix.  A sample of `bits` shifted up to the
// top of 15 bits is its 8-bit level times 128, so that a high-half multiply
// by k * 4096 gives k times the level in 1/8ths; chroma less 128 * 128 is
// centred the same way.  4:2:2 chroma goes to 4:2:0 as the mean of each pair
// of rows: the pair's sum, shifted up one bit less.
struct Narrowing {
    std::int16_t ky, kyu, kyv, kuu, kuv, kvu, kvv;
    // How far each luma and each chroma word is shifted up.
    int luma_shift, chroma_shift;
    std::int16_t luma_offset, u_offset, v_offset;
    // Whether the 8-bit planes are stored past the caches.
    bool past_caches;
};

// 8-bit planes of at least this many bytes are stored past the caches: the
// frame waits in a queue while the next ones are decoded, and would not
// stay in the last level of cache anyway.
constexpr Py_ssize_t past_caches_from = 8 << 20;

// The mean that a high-half multiply by k loses to rounding down, in
// 1/8ths, over words that are multiples of 2^shift.
double narrow_floor_loss(std::int16_t k, int shift)
{
    std::int64_t g = 65536, a = std::abs(std::int64_t{k}) << shift;
    while (a != 0) {
        const std::int64_t r = g % a;
        g = a;
        a = r;
    }
    return (1 - static_cast<double>(std::min<std::int64_t>(g, 65536)) / 65536) / 2;
}

Narrowing narrowing_of(const Matrix8 &k, int bits, bool chroma_422, Py_ssize_t total)
{
    constexpr double one = 4096;
    const auto at = [](double value) {
        return static_cast<std::int16_t>(std::lround(value * one));
    };
    const auto offset = [](double value) { return static_cast<std::int16_t>(std::lround(value)); };
    Narrowing n{at(k.ky), at(k.kyu), at(k.kyv), at(k.kuu), at(k.kuv), at(k.kvu), at(k.kvv),
                15 - bits, 15 - bits - (chroma_422 ? 1 : 0), 0, 0, 0,
                total >= past_caches_from};
    const int ls = n.luma_shift, cs = n.chroma_shift;
    n.luma_offset = offset(k.oy * (1 << fraction_bits) + half + narrow_floor_loss(n.ky, ls) +
                           narrow_floor_loss(n.kyu, cs) + narrow_floor_loss(n.kyv, cs));
    n.u_offset = offset((128 << fraction_bits) + half + narrow_floor_loss(n.kuu, cs) +
                        narrow_floor_loss(n.kuv, cs));
    n.v_offset = offset((128 << fraction_bits) + half + narrow_floor_loss(n.kvu, cs) +
                        narrow_floor_loss(n.kvv, cs));
    return n;
}

// One run of chroma: `count` samples of one row, or of two rows summed
// (u2, v2 not null); the new U and V, and each pixel's share of them in
// its luma (two pixels a sample).
[[gnu::always_inline]] inline void narrow_chroma_run(
    const std::uint16_t *__restrict u, const std::uint16_t *__restrict v,
    const std::uint16_t *__restrict u2, const std::uint16_t *__restrict v2,
    std::uint8_t *__restrict u_out, std::uint8_t *__restrict v_out,
    std::int16_t *__restrict luma_terms, Py_ssize_t count, const Narrowing &n)
{
    std::int16_t du[narrow_run_length], dv[narrow_run_length];
    const int shift = n.chroma_shift;
    if (u2 != nullptr) {
        for (Py_ssize_t i = 0; i < count; ++i) {
            du[i] = static_cast<std::int16_t>(((u[i] + u2[i]) << shift) - 16384);
            dv[i] = static_cast<std::int16_t>(((v[i] + v2[i]) << shift) - 16384);
        }
    } else {
        for (Py_ssize_t i = 0; i < count; ++i) {
            du[i] = static_cast<std::int16_t>((u[i] << shift) - 16384);
            dv[i] = static_cast<std::int16_t>((v[i] << shift) - 16384);
        }
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        u_out[i] = level_of(high(du[i], n.kuu) + high(dv[i], n.kuv) + n.u_offset);
        v_out[i] = level_of(high(du[i], n.kvu) + high(dv[i], n.kvv) + n.v_offset);
        luma_terms[i] =
            static_cast<std::int16_t>(high(du[i], n.kyu) + high(dv[i], n.kyv) + n.luma_offset);
    }
}

// One run of luma, pixel i under chroma sample i / 2.
[[gnu::always_inline]] inline void narrow_luma_run(const std::uint16_t *__restrict y,
                                                   const std::int16_t *__restrict luma_terms,
                                                   std::uint8_t *__restrict y_out,
                                                   Py_ssize_t count, const Narrowing &n)
{
    const int shift = n.luma_shift;
    const std::int16_t ky = n.ky;
    for (Py_ssize_t i = 0; i < count; ++i)
        y_out[i] = level_of(high(static_cast<std::int16_t>(y[i] << shift), ky) +
                            luma_terms[i / 2]);
}

#ifdef COLOUR_AVX2
// 16 chroma samples (the sum of two rows' where `b` is not null) shifted
// up and centred.
__attribute__((target("avx2"))) __m256i centred_words(const std::uint16_t *a,
                                                      const std::uint16_t *b, __m128i shift,
                                                      __m256i zero)
{
    __m256i words = load(a);
    if (b != nullptr)
        words = _mm256_add_epi16(words, load(b));
    return _mm256_sub_epi16(_mm256_sll_epi16(words, shift), zero);
}

// The chroma run with AVX2, 32 samples a step (two halves of 16), the tail
// left to the loops above.  The pack of two halves comes out with its
// 64-bit quarters in the order 0, 2, 1, 3, which the permutation undoes.
template <bool past_caches>
__attribute__((target("avx2"))) void narrow_chroma_run_avx2(
    const std::uint16_t *u, const std::uint16_t *v, const std::uint16_t *u2,
    const std::uint16_t *v2, std::uint8_t *u_out, std::uint8_t *v_out, std::int16_t *luma_terms,
    Py_ssize_t count, const Narrowing &n)
{
    const __m128i shift = _mm_cvtsi32_si128(n.chroma_shift);
    const __m256i zero = _mm256_set1_epi16(16384);
    const Kernel k = kernel(n);
    // (No lambda here: a lambda does not take on its function's target,
    // and clang refuses AVX2 vectors across it.)
    Py_ssize_t i = 0;
    for (; i + 32 <= count; i += 32) {
        const __m256i ul = centred_words(u + i, u2 ? u2 + i : nullptr, shift, zero);
        const __m256i uh = centred_words(u + i + 16, u2 ? u2 + i + 16 : nullptr, shift, zero);
        const __m256i vl = centred_words(v + i, v2 ? v2 + i : nullptr, shift, zero);
        const __m256i vh = centred_words(v + i + 16, v2 ? v2 + i + 16 : nullptr, shift, zero);
        const __m256i u_levels = levels(sum(ul, k.kuu, vl, k.kuv, k.u_offset),
                                        sum(uh, k.kuu, vh, k.kuv, k.u_offset));
        const __m256i v_levels = levels(sum(ul, k.kvu, vl, k.kvv, k.v_offset),
                                        sum(uh, k.kvu, vh, k.kvv, k.v_offset));
        store_out<past_caches>(u_out + i, _mm256_permute4x64_epi64(u_levels, 0xd8));
        store_out<past_caches>(v_out + i, _mm256_permute4x64_epi64(v_levels, 0xd8));
        store(luma_terms + i, sum(ul, k.kyu, vl, k.kyv, k.luma_offset));
        store(luma_terms + i + 16, sum(uh, k.kyu, vh, k.kyv, k.luma_offset));
    }
    narrow_chroma_run(u + i, v + i, u2 ? u2 + i : nullptr, v2 ? v2 + i : nullptr, u_out + i,
                      v_out + i, luma_terms + i, count - i, n);
}

// The same with AVX2, 32 pixels a step, the tail left to the loop above.
// The 16 luma shares of a step, their 64-bit quarters put in the order
// 0, 2, 1, 3, unpack against themselves into the shares of pixels 0-15 and
// 16-31; the pack of the two halves of levels comes out in the same order,
// which the last permutation undoes.
template <bool past_caches>
__attribute__((target("avx2"))) void narrow_luma_run_avx2(const std::uint16_t *y,
                                                          const std::int16_t *luma_terms,
                                                          std::uint8_t *y_out, Py_ssize_t count,
                                                          const Narrowing &n)
{
    const __m128i shift = _mm_cvtsi32_si128(n.luma_shift);
    const __m256i k = _mm256_set1_epi16(n.ky);
    Py_ssize_t i = 0;
    for (; i + 32 <= count; i += 32) {
        const __m256i t = _mm256_permute4x64_epi64(load(luma_terms + i / 2), 0xd8);
        const __m256i low = _mm256_add_epi16(
            _mm256_mulhi_epi16(_mm256_sll_epi16(load(y + i), shift), k),
            _mm256_unpacklo_epi16(t, t));
        const __m256i high = _mm256_add_epi16(
            _mm256_mulhi_epi16(_mm256_sll_epi16(load(y + i + 16), shift), k),
            _mm256_unpackhi_epi16(t, t));
        store_out<past_caches>(y_out + i, _mm256_permute4x64_epi64(levels(low, high), 0xd8));
    }
    narrow_luma_run(y + i, luma_terms + i / 2, y_out + i, count - i, n);
}
#endif

// The samples of a row from `start`: a word-aligned row is read in place,
// another is copied into `copy`.
const std::uint16_t *words_at(const std::uint8_t *start, Py_ssize_t count, std::uint16_t *copy)
{
    if (reinterpret_cast<std::uintptr_t>(start) % alignof(std::uint16_t) == 0)
        return reinterpret_cast<const std::uint16_t *>(start);
    std::memcpy(copy, start, static_cast<std::size_t>(count) * sizeof(std::uint16_t));
    return copy;
}

// Each output chroma row, then the one or two rows of luma under it, each
// run of luma by `luma_run`.
template <class ChromaRun, class LumaRun>
[[gnu::always_inline]] inline void narrow_frame_body(const Plane (&in)[3],
                                                     std::uint8_t *const (&out)[3],
                                                     const Narrowing &n, bool chroma_422,
                                                     ChromaRun chroma_run, LumaRun luma_run)
{
    const Py_ssize_t width = in[0].columns / 2, height = in[0].rows;
    const Py_ssize_t chroma_width = in[1].columns / 2, chroma_height = (height + 1) / 2;
    std::int16_t luma_terms[narrow_run_length];
    std::uint16_t copies[4][narrow_run_length], luma_copy[2 * narrow_run_length];
    for (Py_ssize_t r = 0; r < chroma_height; ++r) {
        const Py_ssize_t first = chroma_422 ? 2 * r : r;
        const Py_ssize_t second = chroma_422 ? std::min(2 * r + 1, in[1].rows - 1) : -1;
        for (Py_ssize_t x = 0; x < chroma_width; x += narrow_run_length) {
            const Py_ssize_t count = std::min(narrow_run_length, chroma_width - x);
            const auto row = [&](int plane, Py_ssize_t at, int copy) -> const std::uint16_t * {
                if (at < 0)
                    return nullptr;
                return words_at(in[plane].start + at * in[plane].row_stride + 2 * x, count,
                                copies[copy]);
            };
            chroma_run(row(1, first, 0), row(2, first, 1), row(1, second, 2), row(2, second, 3),
                       out[1] + r * chroma_width + x, out[2] + r * chroma_width + x, luma_terms,
                       count, n);
            const Py_ssize_t luma_count = std::min(2 * count, width - 2 * x);
            for (Py_ssize_t y = 2 * r; y < std::min(2 * r + 2, height); ++y)
                luma_run(words_at(in[0].start + y * in[0].row_stride + 4 * x, luma_count,
                                  luma_copy),
                         luma_terms, out[0] + y * width + 2 * x, luma_count, n);
        }
    }
}

void narrow_frame_plain(const Plane (&in)[3], std::uint8_t *const (&out)[3], const Narrowing &n,
                        bool chroma_422)
{
    narrow_frame_body(
        in, out, n, chroma_422,
        [](const std::uint16_t *u, const std::uint16_t *v, const std::uint16_t *u2,
           const std::uint16_t *v2, std::uint8_t *u_out, std::uint8_t *v_out,
           std::int16_t *luma_terms, Py_ssize_t count, const Narrowing &m) {
            narrow_chroma_run(u, v, u2, v2, u_out, v_out, luma_terms, count, m);
        },
        [](const std::uint16_t *y, const std::int16_t *t, std::uint8_t *y_out, Py_ssize_t count,
           const Narrowing &m) { narrow_luma_run(y, t, y_out, count, m); });
}

#ifdef COLOUR_AVX2
__attribute__((target("avx2"))) void narrow_frame_avx2(const Plane (&in)[3],
                                                       std::uint8_t *const (&out)[3],
                                                       const Narrowing &n, bool chroma_422)
{
    if (!n.past_caches)
        return narrow_frame_body(in, out, n, chroma_422, narrow_chroma_run_avx2<false>,
                                 narrow_luma_run_avx2<false>);
    narrow_frame_body(in, out, n, chroma_422, narrow_chroma_run_avx2<true>,
                      narrow_luma_run_avx2<true>);
    _mm_sfence();
}
#endif

void narrow_frame(const Plane (&in)[3], std::uint8_t *const (&out)[3], const Narrowing &n,
                  bool chroma_422)
{
#ifdef COLOUR_AVX2
    if (__builtin_cpu_supports("avx2"))
        return narrow_frame_avx2(in, out, n, chroma_422);
#endif
    narrow_frame_plain(in, out, n, chroma_422);
}

// narrow(planes, width, height, bits, chroma_422, coefficients, into=None)
// `object` as a fast sequence of exactly three planes (y, u, v), or null
// with the error: `not_sequence` where it is no sequence, else what `taker`
// takes.
Ref three_planes(PyObject *object, const char *not_sequence, const char *taker)
{
    Ref planes = Ref::steal(PySequence_Fast(object, not_sequence));
    if (planes && PySequence_Fast_GET_SIZE(planes.get()) != 3) {
        PyErr_Format(PyExc_ValueError, "%s takes 3 planes (y, u, v), not %zd", taker,
                     PySequence_Fast_GET_SIZE(planes.get()));
        return Ref();
    }
    return planes;
}

PyObject *colour_narrow(PyObject *, PyObject *args, PyObject *kwargs)
{
    static const char *keywords[] = {"planes", "width", "height", "bits", "chroma_422",
                                     "coefficients", "into", nullptr};
    PyObject *planes_object = nullptr, *coefficients = nullptr, *into = Py_None;
    Py_ssize_t width = 0, height = 0;
    int bits = 0, chroma_422 = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OnnipO|O:narrow",
                                     const_cast<char **>(keywords), &planes_object, &width,
                                     &height, &bits, &chroma_422, &coefficients, &into))
        return nullptr;
    if (bits < 9 || bits > 12) {
        PyErr_Format(PyExc_ValueError, "bits must be from 9 to 12, not %d", bits);
        return nullptr;
    }
    if (width < 1 || height < 1 || width > PY_SSIZE_T_MAX / 4) {
        PyErr_Format(PyExc_ValueError, "width and height must be positive, not %zd x %zd",
                     width, height);
        return nullptr;
    }
    Matrix8 k{};
    if (!coefficients_of(coefficients, &k))
        return nullptr;
    Ref planes = three_planes(planes_object, "planes must be a sequence", "narrow");
    if (!planes)
        return nullptr;
    Ref targets;
    if (into != Py_None && !(targets = three_planes(into, "into must be a sequence", "into")))
        return nullptr;
    static const char *roles[] = {"planes[0]", "planes[1]", "planes[2]"};
    static const char *target_roles[] = {"into[0]", "into[1]", "into[2]"};
    const Py_ssize_t chroma_width = (width + 1) / 2, chroma_height = (height + 1) / 2;
    brilox::HeldBuffer views[3], target_views[3];
    Plane in[3]{};
    Ref out[3];
    std::uint8_t *to[3]{};
    Py_ssize_t total = 0;
    for (Py_ssize_t i = 0; i < 3; ++i) {
        const Py_ssize_t rows = i == 0 ? height : chroma_422 ? height : chroma_height;
        const Py_ssize_t columns = 2 * (i ? chroma_width : width);
        if (!views[i].take(PySequence_Fast_GET_ITEM(planes.get(), i), PyBUF_STRIDES) ||
            !rows_of(views[i].view(), roles[i], rows, columns, &in[i]))
            return nullptr;
        const Py_ssize_t size = (i ? chroma_height : height) * columns / 2;
        if (targets) {
            // A plane of the caller's, one block of exactly the 8-bit plane.
            out[i] = Ref::borrow(PySequence_Fast_GET_ITEM(targets.get(), i));
            if (!target_views[i].take(out[i].get(), PyBUF_CONTIG))
                return nullptr;
            if (target_views[i].view().len != size) {
                PyErr_Format(PyExc_ValueError, "%s holds %zd bytes, the plane %zd",
                             target_roles[i], target_views[i].view().len, size);
                return nullptr;
            }
            to[i] = static_cast<std::uint8_t *>(target_views[i].view().buf);
        } else {
            out[i] = Ref::steal(PyByteArray_FromStringAndSize(nullptr, size));
            if (!out[i])
                return nullptr;
            to[i] = reinterpret_cast<std::uint8_t *>(PyByteArray_AS_STRING(out[i].get()));
        }
        total += size;
    }
    const Narrowing n = narrowing_of(k, bits, chroma_422 != 0, total);
    // The views hold every buffer until they go, so the work can run
    // without the interpreter lock.
    run_released(total, [&] { narrow_frame(in, to, n, chroma_422 != 0); });
    Ref result = Ref::steal(PyTuple_New(3));
    if (!result)
        return nullptr;
    for (Py_ssize_t i = 0; i < 3; ++i)
        PyTuple_SET_ITEM(result.get(), i, out[i].release());
    return result.release();
}

// --- turning planes ----------------------------------------------------------

// to[c][r] = from[r][c] over a block of 16 x 16 bytes, the rows of each
// side any stride apart, backwards too.  On x86-64 the block goes through
// sixteen registers: four rounds of interleaving row i with row i + 8
// move each byte's row number into its place in the register and its
// column number into the register's, which is a transposition.
constexpr Py_ssize_t block = 16;

#if defined(__SSE2__)
void transpose_block(const std::uint8_t *from, Py_ssize_t from_stride, std::uint8_t *to,
                     Py_ssize_t to_stride)
{
    __m128i a[block], b[block];
    for (int i = 0; i < block; ++i)
        a[i] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(from + i * from_stride));
    for (int round = 0; round < 4; ++round) {
        for (int i = 0; i < block / 2; ++i) {
            b[2 * i] = _mm_unpacklo_epi8(a[i], a[i + block / 2]);
            b[2 * i + 1] = _mm_unpackhi_epi8(a[i], a[i + block / 2]);
        }
        for (int i = 0; i < block; ++i)
            a[i] = b[i];
    }
    for (int i = 0; i < block; ++i)
        _mm_storeu_si128(reinterpret_cast<__m128i *>(to + i * to_stride), a[i]);
}
#else
void transpose_block(const std::uint8_t *from, Py_ssize_t from_stride, std::uint8_t *to,
                     Py_ssize_t to_stride)
{
    for (Py_ssize_t c = 0; c < block; ++c)
        for (Py_ssize_t r = 0; r < block; ++r)
            to[c * to_stride + r] = from[r * from_stride + c];
}
#endif

// to[c][r] = from[r][c] for `rows` rows of `columns` bytes: whole blocks,
// then the columns right of them, then the rows below.
void transpose(const std::uint8_t *from, Py_ssize_t from_stride, std::uint8_t *to,
               Py_ssize_t to_stride, Py_ssize_t rows, Py_ssize_t columns)
{
    // Whole blocks go by tiles of 128 rows of 256 bytes, each tile column
    // by column: the rows a tile reads and writes stay in the caches, and
    // each row written gets whole cache lines of 64 bytes at a time.
    constexpr Py_ssize_t tile_r = 8 * block, tile_c = 16 * block;
    const Py_ssize_t whole_rows = rows / block * block, whole_columns = columns / block * block;
    for (Py_ssize_t tr = 0; tr < whole_rows; tr += tile_r)
        for (Py_ssize_t tc = 0; tc < whole_columns; tc += tile_c)
            for (Py_ssize_t c = tc; c < std::min(tc + tile_c, whole_columns); c += block)
                for (Py_ssize_t r = tr; r < std::min(tr + tile_r, whole_rows); r += block)
                    transpose_block(from + r * from_stride + c, from_stride,
                                    to + c * to_stride + r, to_stride);
    for (Py_ssize_t c = whole_columns; c < columns; ++c)
        for (Py_ssize_t r = 0; r < whole_rows; ++r)
            to[c * to_stride + r] = from[r * from_stride + c];
    for (Py_ssize_t c = 0; c < columns; ++c)
        for (Py_ssize_t r = whole_rows; r < rows; ++r)
            to[c * to_stride + r] = from[r * from_stride + c];
}

// A row's bytes backwards, built for AVX2 too, as convert_row is.
#if defined(__x86_64__) && defined(__GNUC__)
__attribute__((target_clones("avx2", "default")))
#endif
void reverse_row(const std::uint8_t *__restrict from, std::uint8_t *__restrict to,
                 Py_ssize_t count)
{
    for (Py_ssize_t i = 0; i < count; ++i)
        to[i] = from[count - 1 - i];
}

// A mirror and then quarter turns clockwise come down to three choices:
// rows read bottom up or top down, each row's bytes reversed or not, and
// rows made columns for an odd number of turns.  Columns that end up
// reversed are written from the last row of the result up.
void turn_plane(const Plane &in, std::uint8_t *out, int quarter_turns, bool mirror)
{
    const bool bottom_up = quarter_turns == 1 || quarter_turns == 2;
    const bool reversed = mirror != (quarter_turns >= 2);
    const Py_ssize_t width = in.columns, height = in.rows;
    const std::uint8_t *from = bottom_up ? in.start + (height - 1) * in.row_stride : in.start;
    const Py_ssize_t from_stride = bottom_up ? -in.row_stride : in.row_stride;
    if (quarter_turns % 2) {
        if (reversed)
            transpose(from, from_stride, out + (width - 1) * height, -height, height, width);
        else
            transpose(from, from_stride, out, height, height, width);
        return;
    }
    for (Py_ssize_t r = 0; r < height; ++r) {
        if (reversed)
            reverse_row(from + r * from_stride, out + r * width, width);
        else
            std::memcpy(out + r * width, from + r * from_stride, width);
    }
}

// turn(plane, width, height, quarter_turns, mirror)
PyObject *colour_turn(PyObject *, PyObject *args, PyObject *kwargs)
{
    static const char *keywords[] = {"plane", "width", "height", "quarter_turns", "mirror",
                                     nullptr};
    PyObject *plane_object = nullptr;
    Py_ssize_t width = 0, height = 0;
    int quarter_turns = 0, mirror = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Onnip:turn", const_cast<char **>(keywords),
                                     &plane_object, &width, &height, &quarter_turns, &mirror))
        return nullptr;
    if (quarter_turns < 0 || quarter_turns > 3) {
        PyErr_Format(PyExc_ValueError, "quarter_turns must be 0, 1, 2 or 3, not %d",
                     quarter_turns);
        return nullptr;
    }
    if (width < 1 || height < 1) {
        PyErr_Format(PyExc_ValueError, "width and height must be positive, not %zd x %zd",
                     width, height);
        return nullptr;
    }
    brilox::HeldBuffer view;
    Plane in{};
    if (!view.take(plane_object, PyBUF_STRIDES) ||
        !rows_of(view.view(), "plane", height, width, &in))
        return nullptr;
    Ref out = Ref::steal(PyByteArray_FromStringAndSize(nullptr, width * height));
    if (!out)
        return nullptr;
    auto *to = reinterpret_cast<std::uint8_t *>(PyByteArray_AS_STRING(out.get()));
    run_released(width * height, [&] { turn_plane(in, to, quarter_turns, mirror); });
    return out.release();
}

// --- the display surface -----------------------------------------------------

SDL_Surface *current_mode()
{
    if (!SDL_WasInit(SDL_INIT_VIDEO)) {
        api::raise_library_error(api_slots, "video system not initialized");
        return nullptr;
    }
    SDL_Surface *surface = SDL_GetVideoSurface();
    if (surface == nullptr || surface->format == nullptr) {
        api::raise_library_error(api_slots, "Display mode not set");
        return nullptr;
    }
    return surface;
}

// The display surface, locked for as long as the holder lives.
class LockedDisplay {
public:
    LockedDisplay(const LockedDisplay &) = delete;
    LockedDisplay &operator=(const LockedDisplay &) = delete;
    LockedDisplay() = default;
    ~LockedDisplay() { unlock(); }
    // Also checks that x, y, w, h lie inside it.
    SDL_Surface *lock(int x, int y, int w, int h)
    {
        surface_ = current_mode();
        if (surface_ == nullptr)
            return nullptr;
        if (x < 0 || y < 0 || w < 0 || h < 0 || x > surface_->w - w || y > surface_->h - h) {
            PyErr_Format(PyExc_ValueError, "rectangle (%d, %d, %d, %d) is not inside the "
                                           "%d x %d display", x, y, w, h, surface_->w,
                         surface_->h);
            return nullptr;
        }
        if (SDL_LockSurface(surface_) < 0) {
            api::raise_library_error(api_slots, SDL_GetError());
            return nullptr;
        }
        locked_ = true;
        return surface_;
    }

    void unlock()
    {
        if (locked_)
            SDL_UnlockSurface(surface_);
        locked_ = false;
    }

private:
    SDL_Surface *surface_ = nullptr;
    bool locked_ = false;
};

std::uint8_t *pixel_address(SDL_Surface *surface, int x, int y)
{
    return static_cast<std::uint8_t *>(surface->pixels) + y * surface->pitch +
           x * surface->format->BytesPerPixel;
}

Uint32 read_pixel(const std::uint8_t *p, int bytes)
{
    switch (bytes) {
    case 1:
        return *p;
    case 2: {
        Uint16 v;
        std::memcpy(&v, p, 2);
        return v;
    }
    case 3:
        return SDL_BYTEORDER == SDL_LIL_ENDIAN ? p[0] | p[1] << 8 | p[2] << 16
                                               : p[2] | p[1] << 8 | p[0] << 16;
    default: {
        Uint32 v;
        std::memcpy(&v, p, 4);
        return v;
    }
    }
}

PyObject *colour_read_display(PyObject *, PyObject *args, PyObject *kwargs)
{
    static const char *keywords[] = {"rect", "raw", nullptr};
    int x = 0, y = 0, w = 0, h = 0, raw = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "(iiii)|p:read_display",
                                     const_cast<char **>(keywords), &x, &y, &w, &h, &raw))
        return nullptr;
    LockedDisplay display;
    SDL_Surface *surface = display.lock(x, y, w, h);
    if (surface == nullptr)
        return nullptr;
    const int bytes = surface->format->BytesPerPixel;
    const Py_ssize_t row_length = Py_ssize_t{raw ? bytes : 3} * w;
    Ref out = Ref::steal(PyBytes_FromStringAndSize(nullptr, row_length * h));
    if (!out)
        return nullptr;
    auto *to = reinterpret_cast<std::uint8_t *>(PyBytes_AS_STRING(out.get()));
    for (int row = 0; row < h; ++row, to += row_length) {
        const std::uint8_t *p = pixel_address(surface, x, y + row);
        if (raw) {
            std::memcpy(to, p, row_length);
            continue;
        }
        std::uint8_t *rgb = to;
        for (int column = 0; column < w; ++column, p += bytes, rgb += 3)
            SDL_GetRGB(read_pixel(p, bytes), surface->format, rgb, rgb + 1, rgb + 2);
    }
    return out.release();
}

PyObject *colour_write_display(PyObject *, PyObject *args)
{
    int x = 0, y = 0, w = 0, h = 0;
    PyObject *data = nullptr;
    if (!PyArg_ParseTuple(args, "(iiii)O:write_display", &x, &y, &w, &h, &data))
        return nullptr;
    brilox::HeldBuffer held;
    if (!held.take(data, PyBUF_SIMPLE))
        return nullptr;
    LockedDisplay display;
    SDL_Surface *surface = display.lock(x, y, w, h);
    if (surface == nullptr)
        return nullptr;
    const Py_ssize_t row_length = Py_ssize_t{surface->format->BytesPerPixel} * w;
    if (held.view().len != row_length * h) {
        PyErr_Format(PyExc_ValueError, "%d x %d pixels of the display take %zd bytes, not %zd",
                     w, h, row_length * h, held.view().len);
        return nullptr;
    }
    const auto *from = static_cast<const std::uint8_t *>(held.view().buf);
    for (int row = 0; row < h; ++row, from += row_length)
        std::memcpy(pixel_address(surface, x, y + row), from, row_length);
    return brilox::none();
}

// --- frames straight into the display surface --------------------------------

// Classic SDL shows a software YV12 overlay by converting it into the display
// surface, by lookup tables: each pixel's R = Y + r(V), G = Y - g(U) - g(V),
// B = Y + b(U), clipped to 0-255, where each term is the chroma's distance
// from 128 times a factor, truncated towards zero (full-range BT.601, luma
// as it is).  `show_planes` gives the same pixels, byte for byte, at a
// fraction of the cost, sixteen or (with AVX2) thirty-two pixels at a time.
struct ChromaFactor {
    int numerator, denominator;
    // The same in 16-bit fixed point: a whole part and a fraction of 65536,
    // giving |c| * whole + (|c| * fraction >> 16) = |c| * n / d, rounded
    // down, for every distance |c| up to 128 (checked below).
    int whole, fraction;
};

constexpr ChromaFactor red_factor{1401, 1000, 1, 26266};       // from V
constexpr ChromaFactor blue_factor{17734, 10000, 1, 50684};    // from U
constexpr ChromaFactor green_u_factor{6887, 20000, 0, 22567};  // taken from G
constexpr ChromaFactor green_v_factor{7137, 10000, 0, 46773};  // taken from G

// The term a chroma sample adds, truncated towards zero.
constexpr int chroma_term(int sample, const ChromaFactor &f)
{
    return (sample - 128) * f.numerator / f.denominator;
}

constexpr bool fixed_point_matches(const ChromaFactor &f)
{
    for (int sample = 0; sample < 256; ++sample) {
        const int distance = sample < 128 ? 128 - sample : sample - 128;
        const int term = distance * f.whole + ((distance * f.fraction) >> 16);
        if ((sample < 128 ? -term : term) != chroma_term(sample, f))
            return false;
    }
    return true;
}
static_assert(fixed_point_matches(red_factor) && fixed_point_matches(blue_factor) &&
                  fixed_point_matches(green_u_factor) && fixed_point_matches(green_v_factor),
              "the fixed-point chroma terms must equal the truncated products");

// Where a 32-bit display pixel keeps its channels: each a whole byte.
struct PixelLayout {
    int red_shift, green_shift, blue_shift;
};

constexpr std::uint8_t clip_byte(int level)
{
    return static_cast<std::uint8_t>(level < 0 ? 0 : level > 255 ? 255 : level);
}

// One row of pixels, luma[x] with chroma u[x / 2], v[x / 2], from `from` on.
void pixels_plain(const std::uint8_t *luma, const std::uint8_t *u, const std::uint8_t *v,
                  Py_ssize_t from, Py_ssize_t to, std::uint8_t *out, const PixelLayout &layout)
{
    for (Py_ssize_t x = from; x < to; ++x) {
        const int y = luma[x], cu = u[x / 2], cv = v[x / 2];
        const int green = y - chroma_term(cu, green_u_factor) - chroma_term(cv, green_v_factor);
        const std::uint32_t pixel =
            static_cast<std::uint32_t>(clip_byte(y + chroma_term(cv, red_factor)))
                << layout.red_shift |
            static_cast<std::uint32_t>(clip_byte(green)) << layout.green_shift |
            static_cast<std::uint32_t>(clip_byte(y + chroma_term(cu, blue_factor)))
                << layout.blue_shift;
        std::memcpy(out + 4 * x, &pixel, 4);
    }
}

#if defined(__SSE2__)
// Eight chroma terms of eight samples' distances from 128 (`distance`,
// with `sign` all ones where the sample is below 128).
inline __m128i chroma_terms(__m128i distance, __m128i sign, const ChromaFactor &f)
{
    __m128i term = _mm_mulhi_epu16(distance, _mm_set1_epi16(static_cast<short>(f.fraction)));
    if (f.whole != 0)
        term = _mm_add_epi16(term, distance);
    return _mm_sub_epi16(_mm_xor_si128(term, sign), sign);
}

// Sixteen pixels at a time, each channel's bytes laid into the byte of the
// pixel that holds it (byte 0 the lowest, the pixel being little-endian).
// Returns how many pixels it did.
template <int RedByte, int GreenByte, int BlueByte>
Py_ssize_t pixels_sse2(const std::uint8_t *luma, const std::uint8_t *u, const std::uint8_t *v,
                       Py_ssize_t width, std::uint8_t *out)
{
    static_assert(red_factor.whole == 1 && blue_factor.whole == 1 && green_u_factor.whole == 0 &&
                  green_v_factor.whole == 0);
    const __m128i zero = _mm_setzero_si128();
    const __m128i middle = _mm_set1_epi16(128);
    Py_ssize_t x = 0;
    for (; x + 16 <= width; x += 16) {
        const auto distance = [&](const std::uint8_t *plane, __m128i *sign) {
            const __m128i samples = _mm_unpacklo_epi8(
                _mm_loadl_epi64(reinterpret_cast<const __m128i *>(plane + x / 2)), zero);
            const __m128i centred = _mm_sub_epi16(samples, middle);
            *sign = _mm_srai_epi16(centred, 15);
            return _mm_sub_epi16(_mm_xor_si128(centred, *sign), *sign);
        };
        __m128i u_sign, v_sign;
        const __m128i u_distance = distance(u, &u_sign), v_distance = distance(v, &v_sign);
        const __m128i red = chroma_terms(v_distance, v_sign, red_factor);
        const __m128i blue = chroma_terms(u_distance, u_sign, blue_factor);
        const __m128i green = _mm_add_epi16(chroma_terms(u_distance, u_sign, green_u_factor),
                                            chroma_terms(v_distance, v_sign, green_v_factor));
        const __m128i y = _mm_loadu_si128(reinterpret_cast<const __m128i *>(luma + x));
        const __m128i y_low = _mm_unpacklo_epi8(y, zero), y_high = _mm_unpackhi_epi8(y, zero);
        // Each chroma term serves two pixels side by side.
        const auto add = [&](__m128i terms) {
            return _mm_packus_epi16(_mm_add_epi16(y_low, _mm_unpacklo_epi16(terms, terms)),
                                    _mm_add_epi16(y_high, _mm_unpackhi_epi16(terms, terms)));
        };
        __m128i bytes[4] = {zero, zero, zero, zero};
        bytes[RedByte] = add(red);
        bytes[BlueByte] = add(blue);
        bytes[GreenByte] = _mm_packus_epi16(
            _mm_sub_epi16(y_low, _mm_unpacklo_epi16(green, green)),
            _mm_sub_epi16(y_high, _mm_unpackhi_epi16(green, green)));
        const __m128i first_low = _mm_unpacklo_epi8(bytes[0], bytes[1]);
        const __m128i first_high = _mm_unpackhi_epi8(bytes[0], bytes[1]);
        const __m128i second_low = _mm_unpacklo_epi8(bytes[2], bytes[3]);
        const __m128i second_high = _mm_unpackhi_epi8(bytes[2], bytes[3]);
        auto *to = reinterpret_cast<__m128i *>(out + 4 * x);
        _mm_storeu_si128(to, _mm_unpacklo_epi16(first_low, second_low));
        _mm_storeu_si128(to + 1, _mm_unpackhi_epi16(first_low, second_low));
        _mm_storeu_si128(to + 2, _mm_unpacklo_epi16(first_high, second_high));
        _mm_storeu_si128(to + 3, _mm_unpackhi_epi16(first_high, second_high));
    }
    return x;
}
#endif

#ifdef COLOUR_AVX2
__attribute__((target("avx2"))) inline __m256i chroma_terms_avx2(__m256i distance, __m256i sign,
                                                                const ChromaFactor &f)
{
    __m256i term =
        _mm256_mulhi_epu16(distance, _mm256_set1_epi16(static_cast<short>(f.fraction)));
    if (f.whole != 0)
        term = _mm256_add_epi16(term, distance);
    return _mm256_sub_epi16(_mm256_xor_si256(term, sign), sign);
}

// Sixteen chroma samples' distances from 128, `sign` all ones where below.
__attribute__((target("avx2"))) inline __m256i distances_avx2(const std::uint8_t *samples,
                                                             __m256i *sign)
{
    const __m256i centred =
        _mm256_sub_epi16(_mm256_cvtepu8_epi16(
                             _mm_loadu_si128(reinterpret_cast<const __m128i *>(samples))),
                         _mm256_set1_epi16(128));
    *sign = _mm256_srai_epi16(centred, 15);
    return _mm256_sub_epi16(_mm256_xor_si256(centred, *sign), *sign);
}

// Luma words plus (or minus) each chroma term twice over, clipped to bytes.
template <bool Minus>
__attribute__((target("avx2"))) inline __m256i with_terms_avx2(__m256i y_low, __m256i y_high,
                                                              __m256i terms)
{
    const __m256i low = _mm256_unpacklo_epi16(terms, terms);
    const __m256i high = _mm256_unpackhi_epi16(terms, terms);
    if constexpr (Minus)
        return _mm256_packus_epi16(_mm256_sub_epi16(y_low, low), _mm256_sub_epi16(y_high, high));
    else
        return _mm256_packus_epi16(_mm256_add_epi16(y_low, low), _mm256_add_epi16(y_high, high));
}

// pixels_sse2's work 32 pixels at a time.  Unpacks and packs work within
// each 16-byte half: the 16 chroma samples' terms, unpacked against
// themselves, line up with the luma bytes unpacked from the 32 they cover,
// and the pixels come out of the interleave with the halves to put in order.
template <int RedByte, int GreenByte, int BlueByte>
__attribute__((target("avx2"))) Py_ssize_t
pixels_avx2(const std::uint8_t *luma, const std::uint8_t *u, const std::uint8_t *v,
            Py_ssize_t width, std::uint8_t *out)
{
    const __m256i zero = _mm256_setzero_si256();
    Py_ssize_t x = 0;
    for (; x + 32 <= width; x += 32) {
        __m256i u_sign, v_sign;
        const __m256i u_distance = distances_avx2(u + x / 2, &u_sign);
        const __m256i v_distance = distances_avx2(v + x / 2, &v_sign);
        const __m256i green =
            _mm256_add_epi16(chroma_terms_avx2(u_distance, u_sign, green_u_factor),
                             chroma_terms_avx2(v_distance, v_sign, green_v_factor));
        const __m256i y = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(luma + x));
        const __m256i y_low = _mm256_unpacklo_epi8(y, zero), y_high = _mm256_unpackhi_epi8(y, zero);
        __m256i bytes[4] = {zero, zero, zero, zero};
        bytes[RedByte] =
            with_terms_avx2<false>(y_low, y_high, chroma_terms_avx2(v_distance, v_sign, red_factor));
        bytes[BlueByte] = with_terms_avx2<false>(
            y_low, y_high, chroma_terms_avx2(u_distance, u_sign, blue_factor));
        bytes[GreenByte] = with_terms_avx2<true>(y_low, y_high, green);
        const __m256i first_low = _mm256_unpacklo_epi8(bytes[0], bytes[1]);
        const __m256i first_high = _mm256_unpackhi_epi8(bytes[0], bytes[1]);
        const __m256i second_low = _mm256_unpacklo_epi8(bytes[2], bytes[3]);
        const __m256i second_high = _mm256_unpackhi_epi8(bytes[2], bytes[3]);
        // Pixels 0-3 | 16-19, 4-7 | 20-23, 8-11 | 24-27, 12-15 | 28-31.
        const __m256i a = _mm256_unpacklo_epi16(first_low, second_low);
        const __m256i b = _mm256_unpackhi_epi16(first_low, second_low);
        const __m256i c = _mm256_unpacklo_epi16(first_high, second_high);
        const __m256i d = _mm256_unpackhi_epi16(first_high, second_high);
        auto *to = reinterpret_cast<__m256i *>(out + 4 * x);
        _mm256_storeu_si256(to, _mm256_permute2x128_si256(a, b, 0x20));
        _mm256_storeu_si256(to + 1, _mm256_permute2x128_si256(c, d, 0x20));
        _mm256_storeu_si256(to + 2, _mm256_permute2x128_si256(a, b, 0x31));
        _mm256_storeu_si256(to + 3, _mm256_permute2x128_si256(c, d, 0x31));
    }
    // The rest, sixteen at a time where they can.
    return x + pixels_sse2<RedByte, GreenByte, BlueByte>(luma + x, u + x / 2, v + x / 2,
                                                          width - x, out + 4 * x);
}
#endif

using RowKernel = Py_ssize_t (*)(const std::uint8_t *, const std::uint8_t *,
                                 const std::uint8_t *, Py_ssize_t, std::uint8_t *);

// The vector kernel for the display's layout, where there is one: X11's
// usual 32-bit layouts, on a little-endian processor.
RowKernel row_kernel(const PixelLayout &layout)
{
#if defined(__SSE2__) && SDL_BYTEORDER == SDL_LIL_ENDIAN
#ifdef COLOUR_AVX2
    const bool avx2 = __builtin_cpu_supports("avx2");
#else
    const bool avx2 = false;
#endif
    if (layout.red_shift == 16 && layout.green_shift == 8 && layout.blue_shift == 0)
        return avx2 ? pixels_avx2<2, 1, 0> : pixels_sse2<2, 1, 0>;
    if (layout.red_shift == 0 && layout.green_shift == 8 && layout.blue_shift == 16)
        return avx2 ? pixels_avx2<0, 1, 2> : pixels_sse2<0, 1, 2>;
#endif
    (void)layout;
    return nullptr;
}

// The layout of a display surface of 32 bits a pixel with each of its
// three channels a whole byte, or false.
bool byte_channels(const SDL_PixelFormat *format, PixelLayout *layout)
{
    if (format->BytesPerPixel != 4 || format->Rloss || format->Gloss || format->Bloss ||
        format->Rmask != 0xFFu << format->Rshift || format->Gmask != 0xFFu << format->Gshift ||
        format->Bmask != 0xFFu << format->Bshift)
        return false;
    *layout = {format->Rshift, format->Gshift, format->Bshift};
    return true;
}

void convert_frame(const Plane (&in)[3], Py_ssize_t width, Py_ssize_t height, SDL_Surface *surface,
                   int x, int y, const PixelLayout &layout)
{
    const RowKernel kernel = row_kernel(layout);
    for (Py_ssize_t r = 0; r < height; ++r) {
        const std::uint8_t *luma = in[0].start + r * in[0].row_stride;
        const std::uint8_t *u = in[1].start + r / 2 * in[1].row_stride;
        const std::uint8_t *v = in[2].start + r / 2 * in[2].row_stride;
        std::uint8_t *out = pixel_address(surface, x, y + static_cast<int>(r));
        const Py_ssize_t done = kernel != nullptr ? kernel(luma, u, v, width, out) : 0;
        pixels_plain(luma, u, v, done, width, out, layout);
    }
}

// show_planes(planes, width, height, x, y)
PyObject *colour_show_planes(PyObject *, PyObject *args, PyObject *kwargs)
{
    static const char *keywords[] = {"planes", "width", "height", "x", "y", nullptr};
    PyObject *planes_object = nullptr;
    Py_ssize_t width = 0, height = 0;
    int x = 0, y = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Onnii:show_planes",
                                     const_cast<char **>(keywords), &planes_object, &width,
                                     &height, &x, &y))
        return nullptr;
    if (width < 1 || height < 1 || width > 65535 || height > 65535) {
        PyErr_Format(PyExc_ValueError, "width and height must be 1 to 65535, not %zd x %zd",
                     width, height);
        return nullptr;
    }
    Ref planes = Ref::steal(PySequence_Fast(planes_object, "planes must be a sequence"));
    if (!planes)
        return nullptr;
    if (PySequence_Fast_GET_SIZE(planes.get()) != 3) {
        PyErr_Format(PyExc_ValueError, "planes: (y, u, v) needed, not %zd planes",
                     PySequence_Fast_GET_SIZE(planes.get()));
        return nullptr;
    }
    static const char *roles[] = {"planes[0]", "planes[1]", "planes[2]"};
    brilox::HeldBuffer views[3];
    Plane in[3]{};
    for (int i = 0; i < 3; ++i) {
        if (!views[i].take(PySequence_Fast_GET_ITEM(planes.get(), i), PyBUF_STRIDES) ||
            !rows_of(views[i].view(), roles[i], i ? (height + 1) / 2 : height,
                     i ? (width + 1) / 2 : width, &in[i]))
            return nullptr;
    }
    SDL_Surface *surface = current_mode();
    if (surface == nullptr)
        return nullptr;
    PixelLayout layout{};
    // Elsewhere SDL shows the frame: another pixel format, a surface SDL
    // shows at the flip, or a place not wholly on the display.
    if (!byte_channels(surface->format, &layout) ||
        (surface->flags & (SDL_HWSURFACE | SDL_DOUBLEBUF | SDL_OPENGL)) != 0 || x < 0 ||
        y < 0 || width > surface->w - x || height > surface->h - y)
        Py_RETURN_FALSE;
    LockedDisplay display;
    if (display.lock(x, y, static_cast<int>(width), static_cast<int>(height)) == nullptr)
        return nullptr;
    // SDL is called under the interpreter lock, and the display surface is
    // SDL's: the conversion keeps the lock.
    convert_frame(in, width, height, surface, x, y, layout);
    display.unlock();
    SDL_UpdateRect(surface, x, y, static_cast<Uint32>(width), static_cast<Uint32>(height));
    Py_RETURN_TRUE;
}

PyDoc_STRVAR(expand_doc,
             "expand($module, /, plane, kind, into=None)\n--\n\n"
             "stretch video levels to the full range: luma 16-235 and chroma 16-240 to 0-255.\n"
             "plane is any buffer of bytes, 1-D or 2-D with rows a positive stride apart;\n"
             "kind is LUMA, CHROMA, LUMA_CHROMA or CHROMA_LUMA (packed 4:2:2, by the first\n"
             "byte of each row).  into is a writable buffer of as many bytes (the plane\n"
             "itself to expand it in place), which is returned; without it the result is a\n"
             "new bytearray, for the caller to draw into.");

PyDoc_STRVAR(compress_doc,
             "compress($module, /, plane, kind, into=None)\n--\n\n"
             "squeeze full-range levels into video levels: 0-255 to luma 16-235 and chroma\n"
             "16-240, the reverse of expand; the arguments and result are expand's.");

PyDoc_STRVAR(transform_doc,
             "transform($module, /, planes, layout, width, height, coefficients)\n--\n\n"
             "a new colour matrix and levels for a frame of width x height pixels, in one pass.\n"
             "layout is PLANAR, with planes (y, u, v) of 4:2:0 (chroma (width+1)//2 x\n"
             "(height+1)//2), or LUMA_CHROMA or CHROMA_LUMA, with planes (packed,) of 4:2:2\n"
             "(rows of 2*width bytes, width even).  A plane is any buffer of bytes, 2-D with\n"
             "rows a positive stride apart, or 1-D with its rows len // rows apart.\n"
             "coefficients are (ky, kyu, kyv, oy, kuu, kuv, kvu, kvv): each pixel's luma Y,\n"
             "with the chroma sample U, V over it, and each chroma sample become, rounded\n"
             "and clipped to 0-255, to within one level,\n"
             "  Y' = ky*Y + kyu*(U-128) + kyv*(V-128) + oy\n"
             "  U' = 128 + kuu*(U-128) + kuv*(V-128)\n"
             "  V' = 128 + kvu*(U-128) + kvv*(V-128)\n"
             "(exactly for the identity (1, 0, 0, 0, 1, 0, 0, 1)).  The multipliers must lie\n"
             "within -4..4 and oy within -1024..1024.  The result is a tuple of new\n"
             "bytearrays, the planes contiguous, in the order given.");

PyDoc_STRVAR(narrow_doc,
             "narrow($module, /, planes, width, height, bits, chroma_422, coefficients, "
             "into=None)\n--\n\n"
             "8-bit planes (y, u, v) of 4:2:0 of a frame of width x height pixels whose\n"
             "planes (y, u, v) hold samples of `bits` (9-12) bits in 16-bit little-endian\n"
             "words, its chroma 4:2:0, or with chroma_422 4:2:2 (each pair of chroma rows\n"
             "then averaged), with its matrix and levels changed on the way by coefficients,\n"
             "as transform's, on samples scaled to 8 bits, rounded and clipped once.  A\n"
             "plane is any buffer, 2-D with rows a positive stride apart, or 1-D with its\n"
             "rows len // rows apart.  The planes are new bytearrays, or the three writable\n"
             "buffers of `into`, each one block of exactly its plane's size, which are\n"
             "written and returned.");

PyDoc_STRVAR(show_planes_doc,
             "show_planes($module, /, planes, width, height, x, y)\n--\n\n"
             "puts a frame of width x height pixels, planes (y, u, v) of 4:2:0 as transform\n"
             "takes them, into the display surface at (x, y) and updates that rectangle of\n"
             "the screen, converted as classic SDL converts a software YV12 overlay shown at\n"
             "its own size, byte for byte.  True; False, with nothing done, where the display\n"
             "surface is not of 32 bits a pixel with a byte for each channel, is shown at the\n"
             "flip (hardware, double-buffered or OpenGL), or does not hold the whole rectangle.");

PyDoc_STRVAR(turn_doc,
             "turn($module, /, plane, width, height, quarter_turns, mirror)\n--\n\n"
             "a plane of height rows of width bytes mirrored left to right if mirror is true,\n"
             "then turned clockwise by quarter_turns (0-3) times 90 degrees, as a contiguous\n"
             "bytearray: width rows of height bytes for an odd number of turns.  plane is any\n"
             "buffer of bytes, 2-D with rows a positive stride apart, or 1-D with its rows\n"
             "len // height apart.");

PyMethodDef colour_methods[] = {
    {"expand", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(colour_expand)),
     METH_VARARGS | METH_KEYWORDS, expand_doc},
    {"compress", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(colour_compress)),
     METH_VARARGS | METH_KEYWORDS, compress_doc},
    {"transform", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(colour_transform)),
     METH_VARARGS | METH_KEYWORDS, transform_doc},
    {"narrow", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(colour_narrow)),
     METH_VARARGS | METH_KEYWORDS, narrow_doc},
    {"turn", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(colour_turn)),
     METH_VARARGS | METH_KEYWORDS, turn_doc},
    {"read_display",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(colour_read_display)),
     METH_VARARGS | METH_KEYWORDS,
     "read_display($module, /, rect, raw=False)\n--\n\n"
     "the pixels of the rectangle (x, y, w, h) of the display surface, row by row:\n"
     "as RGB bytes, or with raw as the surface's own pixel bytes"},
    {"show_planes",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(colour_show_planes)),
     METH_VARARGS | METH_KEYWORDS, show_planes_doc},
    {"write_display", colour_write_display, METH_VARARGS,
     "write_display($module, rect, pixels, /)\n--\n\n"
     "put pixels read with read_display(..., raw=True) back into the rectangle\n"
     "(x, y, w, h) of the display surface"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef colour_module = {
    PyModuleDef_HEAD_INIT,
    "_colour",
    "brilox.media's colour services: level conversions, colour matrices, turns and the "
    "display surface's pixels",
    -1,
    colour_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__colour(void)
{
    api::import_api_table(api::base_module, api::base_capsule, api::base_slot_count,
                          api_slots + api::base_first);
    if (PyErr_Occurred())
        return nullptr;
    Ref module = Ref::steal(PyModule_Create2(&colour_module, 1013));
    if (!module)
        return nullptr;
    static const struct {
        const char *name;
        int value;
    } constants[] = {{"LUMA", kind_luma},
                     {"CHROMA", kind_chroma},
                     {"LUMA_CHROMA", kind_luma_chroma},
                     {"CHROMA_LUMA", kind_chroma_luma},
                     {"PLANAR", layout_planar}};
    for (const auto &k : constants)
        if (PyModule_AddIntConstant(module.get(), k.name, k.value) < 0)
            return nullptr;
    return module.release();
}
