// brilox.play._colour: the player's native colour services.
//
// `expand` stretches video levels (luma 16-235, chroma 16-240 around 128) to
// the full 0-255 range, for an SDL that converts YUV to RGB as if the input
// were full range; `compress` does the reverse, full range to video levels,
// for an SDL that takes every input as video levels.  Both work on any
// buffer of bytes, one or two dimensions, rows apart by any positive stride,
// in place or into another buffer.
//
// `read_display` reads a rectangle of the display surface as RGB bytes,
// whatever its pixel format, or as its own pixel bytes, which
// `write_display` puts back.
#include "api_tables.hpp"

#include <SDL.h>

#include <cstdint>
#include <cstring>

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
enum Kind { kind_luma = 0, kind_chroma = 1, kind_luma_chroma = 2, kind_chroma_luma = 3 };

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
        result = Ref::steal(PyBytes_FromStringAndSize(nullptr, size));
        if (!result)
            return nullptr;
        destination = {reinterpret_cast<std::uint8_t *>(PyBytes_AS_STRING(result.get())),
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
    // without the interpreter lock; tiny planes are not worth the switch.
    if (size >= release_lock_from) {
        Py_BEGIN_ALLOW_THREADS
        convert_planes(source, destination, kind, compress);
        Py_END_ALLOW_THREADS
    } else {
        convert_planes(source, destination, kind, compress);
    }
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
    ~LockedDisplay()
    {
        if (locked_)
            SDL_UnlockSurface(surface_);
    }
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

PyDoc_STRVAR(expand_doc,
             "expand(plane, kind, into=None) -> into, or new bytes\n"
             "stretch video levels to the full range: luma 16-235 and chroma 16-240 to 0-255.\n"
             "plane is any buffer of bytes, 1-D or 2-D with rows a positive stride apart;\n"
             "kind is LUMA, CHROMA, LUMA_CHROMA or CHROMA_LUMA (packed 4:2:2, by the first\n"
             "byte of each row).  into is a writable buffer of as many bytes (the plane\n"
             "itself to expand it in place); without it the result is new bytes.");

PyDoc_STRVAR(compress_doc,
             "compress(plane, kind, into=None) -> into, or new bytes\n"
             "squeeze full-range levels into video levels: 0-255 to luma 16-235 and chroma\n"
             "16-240, the reverse of expand; the arguments are expand's.");

PyMethodDef colour_methods[] = {
    {"expand", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(colour_expand)),
     METH_VARARGS | METH_KEYWORDS, expand_doc},
    {"compress", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(colour_compress)),
     METH_VARARGS | METH_KEYWORDS, compress_doc},
    {"read_display",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(colour_read_display)),
     METH_VARARGS | METH_KEYWORDS,
     "read_display((x, y, w, h), raw=False) -> bytes\nthe pixels of a rectangle of the display "
     "surface, row by row: as RGB bytes,\nor with raw as the surface's own pixel bytes"},
    {"write_display", colour_write_display, METH_VARARGS,
     "write_display((x, y, w, h), pixels) -> None\nput pixels read with read_display(..., "
     "raw=True) back into a rectangle of the display surface"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef colour_module = {
    PyModuleDef_HEAD_INIT,
    "_colour",
    "brilox-play's colour services: level conversions and the display surface's pixels",
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
    } kinds[] = {{"LUMA", kind_luma},
                 {"CHROMA", kind_chroma},
                 {"LUMA_CHROMA", kind_luma_chroma},
                 {"CHROMA_LUMA", kind_chroma_luma}};
    for (const auto &k : kinds)
        if (PyModule_AddIntConstant(module.get(), k.name, k.value) < 0)
            return nullptr;
    return module.release();
}
