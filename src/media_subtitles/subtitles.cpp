// brilox.media._subtitles: the engine's subtitle renderer.
//
// `Library` holds one ASS_Library and one ASS_Renderer: fonts are set on it,
// `Track`s are made from it, and `blend` renders a track at a time and
// blends what it draws into a frame's planes in place.  `blend_bitmap`
// blends a paletted picture subtitle (DVD, PGS, DVB) the same way.
//
// Blending is integer arithmetic over each image's own rectangle, clipped to
// the frame: a pixel with coverage A (0-255, in 1/65025ths below) and colour
// C becomes (P * (1 - A) + C * A); chroma takes the mean coverage, and the
// mean premultiplied colour, of the pixels each chroma sample covers.
#include "ref.hpp"

extern "C" {
#include <ass/ass.h>
}

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace {

using brilox::Ref;

// The layouts, as brilox.media._colour numbers them.
constexpr int layout_luma_chroma = 2;  // packed 4:2:2, Y0 U Y1 V
constexpr int layout_chroma_luma = 3;  // packed 4:2:2, U Y0 V Y1
constexpr int layout_planar = 4;       // Y, U, V planes of 4:2:0

// Frames beyond this on a side are refused: every offset below stays well
// inside Py_ssize_t and int.
constexpr long max_side = 32768;

// libass's lines of this level or below (fatal, error, warning) are kept.
constexpr int kept_level = 2;
// At most this many are kept between two calls of messages().
constexpr std::size_t kept_lines = 256;

// The first ReadOrder given to a "Dialogue: " line.
constexpr long long dialogue_read_order = 1000000000;

// --- the library ---------------------------------------------------------------

struct LibraryObject {
    PyObject_HEAD
    ASS_Library *library;
    ASS_Renderer *renderer;
    std::vector<std::string> *messages;
    std::size_t dropped;
    bool fonts_set;
    // Set while the library works without the interpreter lock: every other
    // call is refused meanwhile.
    bool busy;
};

struct TrackObject {
    PyObject_HEAD
    ASS_Track *track;
    PyObject *library;  // the LibraryObject the track belongs to, owned
    long long next_read_order;
};

extern PyTypeObject library_type;
extern PyTypeObject track_type;

// libass's message callback: formats the line and keeps it, never a Python
// object (it may run without the interpreter lock).
void keep_message(int level, const char *format, va_list args, void *data)
{
    if (level > kept_level)
        return;
    auto *self = static_cast<LibraryObject *>(data);
    if (self->messages == nullptr)
        return;
    if (self->messages->size() >= kept_lines) {
        ++self->dropped;
        return;
    }
    char line[512];
    std::vsnprintf(line, sizeof line, format, args);
    try {
        self->messages->emplace_back(line);
    } catch (...) {
        ++self->dropped;
    }
}

bool refuse_busy(LibraryObject *self)
{
    if (self->busy) {
        PyErr_SetString(PyExc_RuntimeError,
                        "the Library is rendering in another thread; use it from one thread");
        return true;
    }
    return false;
}

PyObject *library_new(PyTypeObject *type, PyObject *args, PyObject *kwargs)
{
    static const char *keywords[] = {nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, ":Library", const_cast<char **>(keywords)))
        return nullptr;
    Ref self_ref = Ref::steal(type->tp_alloc(type, 0));
    if (!self_ref)
        return nullptr;
    auto *self = reinterpret_cast<LibraryObject *>(self_ref.get());
    self->messages = new (std::nothrow) std::vector<std::string>();
    if (self->messages == nullptr)
        return PyErr_NoMemory();
    self->library = ass_library_init();
    if (self->library == nullptr)
        return PyErr_NoMemory();
    ass_set_message_cb(self->library, keep_message, self);
    self->renderer = ass_renderer_init(self->library);
    if (self->renderer == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "libass could not start a renderer (FreeType)");
        return nullptr;
    }
    return self_ref.release();
}

void library_dealloc(PyObject *object)
{
    auto *self = reinterpret_cast<LibraryObject *>(object);
    if (self->renderer != nullptr)
        ass_renderer_done(self->renderer);
    if (self->library != nullptr)
        ass_library_done(self->library);
    delete self->messages;
    Py_TYPE(object)->tp_free(object);
}

// An optional str argument as UTF-8 bytes kept alive by `holder`, or null.
bool optional_text(PyObject *value, const char *role, Ref *holder, const char **text)
{
    *text = nullptr;
    if (value == Py_None)
        return true;
    if (PyUnicode_Check(value)) {
        *holder = Ref::steal(PyUnicode_EncodeFSDefault(value));
        if (!*holder)
            return false;
    } else if (PyBytes_Check(value)) {
        *holder = Ref::borrow(value);
    } else {
        PyErr_Format(PyExc_TypeError, "%s must be str, bytes or None, not %.200s", role,
                     Py_TYPE(value)->tp_name);
        return false;
    }
    if (std::strlen(PyBytes_AS_STRING(holder->get())) !=
        static_cast<std::size_t>(PyBytes_GET_SIZE(holder->get()))) {
        PyErr_Format(PyExc_ValueError, "%s holds a NUL character", role);
        return false;
    }
    *text = PyBytes_AS_STRING(holder->get());
    return true;
}

PyObject *library_fonts(PyObject *object, PyObject *args, PyObject *kwargs)
{
    auto *self = reinterpret_cast<LibraryObject *>(object);
    static const char *keywords[] = {"default_path", "family", "fontconfig", nullptr};
    PyObject *path_object = Py_None, *family_object = Py_None;
    int fontconfig = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOp:fonts", const_cast<char **>(keywords),
                                     &path_object, &family_object, &fontconfig))
        return nullptr;
    if (refuse_busy(self))
        return nullptr;
    Ref path_holder, family_holder;
    const char *path = nullptr, *family = nullptr;
    if (!optional_text(path_object, "default_path", &path_holder, &path) ||
        !optional_text(family_object, "family", &family_holder, &family))
        return nullptr;
    const int provider = fontconfig ? ASS_FONTPROVIDER_AUTODETECT : ASS_FONTPROVIDER_NONE;
    // Building fontconfig's cache can take a while: without the lock.
    self->busy = true;
    Py_BEGIN_ALLOW_THREADS
    ass_set_fonts(self->renderer, path, family, provider, nullptr, 1);
    Py_END_ALLOW_THREADS
    self->busy = false;
    self->fonts_set = true;
    return brilox::none();
}

PyObject *library_add_font(PyObject *object, PyObject *args, PyObject *kwargs)
{
    auto *self = reinterpret_cast<LibraryObject *>(object);
    static const char *keywords[] = {"name", "data", nullptr};
    const char *name = nullptr;
    Py_buffer data{};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "sy*:add_font", const_cast<char **>(keywords),
                                     &name, &data))
        return nullptr;
    Py_ssize_t length = data.len;
    if (length > INT32_MAX) {
        PyBuffer_Release(&data);
        PyErr_Format(PyExc_ValueError, "a font of %zd bytes is too large", length);
        return nullptr;
    }
    if (refuse_busy(self)) {
        PyBuffer_Release(&data);
        return nullptr;
    }
    ass_add_font(self->library, name, static_cast<const char *>(data.buf),
                 static_cast<int>(length));
    PyBuffer_Release(&data);
    return brilox::none();
}

PyObject *library_messages(PyObject *object, PyObject *)
{
    auto *self = reinterpret_cast<LibraryObject *>(object);
    if (refuse_busy(self))
        return nullptr;
    const std::size_t count = self->messages->size();
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(count + (self->dropped ? 1 : 0))));
    if (!list)
        return nullptr;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string &line = (*self->messages)[i];
        PyObject *text = PyUnicode_DecodeUTF8(line.data(), static_cast<Py_ssize_t>(line.size()),
                                              "replace");
        if (text == nullptr)
            return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), text);
    }
    if (self->dropped) {
        PyObject *text = PyUnicode_FromFormat("(%zu more lines dropped)", self->dropped);
        if (text == nullptr)
            return nullptr;
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(count), text);
    }
    self->messages->clear();
    self->dropped = 0;
    return list.release();
}

// A copy of a buffer's bytes, NUL-terminated, for libass calls that take a
// writable pointer.  Sets the error and returns false on failure.
bool copy_of(PyObject *data_object, const char *role, std::vector<char> *copy)
{
    brilox::HeldBuffer held;
    if (!held.take(data_object, PyBUF_SIMPLE))
        return false;
    const Py_buffer &view = held.view();
    if (view.len > INT32_MAX - 1) {
        PyErr_Format(PyExc_ValueError, "%s: %zd bytes are too many", role, view.len);
        return false;
    }
    try {
        const auto *start = static_cast<const char *>(view.buf);
        copy->assign(start, start + view.len);
        copy->push_back('\0');
    } catch (...) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

PyObject *track_of(LibraryObject *self, ASS_Track *track)
{
    TrackObject *result = PyObject_New(TrackObject, &track_type);
    if (result == nullptr) {
        ass_free_track(track);
        return nullptr;
    }
    result->track = track;
    Py_INCREF(reinterpret_cast<PyObject *>(self));
    result->library = reinterpret_cast<PyObject *>(self);
    result->next_read_order = 0;
    return reinterpret_cast<PyObject *>(result);
}

PyObject *library_track(PyObject *object, PyObject *args, PyObject *kwargs)
{
    auto *self = reinterpret_cast<LibraryObject *>(object);
    static const char *keywords[] = {"header", nullptr};
    PyObject *header_object = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:track", const_cast<char **>(keywords),
                                     &header_object))
        return nullptr;
    if (refuse_busy(self))
        return nullptr;
    std::vector<char> header;
    if (!copy_of(header_object, "header", &header))
        return nullptr;
    ASS_Track *track = ass_new_track(self->library);
    if (track == nullptr)
        return PyErr_NoMemory();
    if (header.size() > 1)
        ass_process_codec_private(track, header.data(), static_cast<int>(header.size() - 1));
    return track_of(self, track);
}

PyObject *library_read(PyObject *object, PyObject *args, PyObject *kwargs)
{
    auto *self = reinterpret_cast<LibraryObject *>(object);
    static const char *keywords[] = {"data", "codepage", nullptr};
    PyObject *data_object = nullptr;
    const char *codepage = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|z:read", const_cast<char **>(keywords),
                                     &data_object, &codepage))
        return nullptr;
    if (refuse_busy(self))
        return nullptr;
    std::vector<char> data;
    if (!copy_of(data_object, "data", &data))
        return nullptr;
    std::vector<char> codepage_copy;
    if (codepage != nullptr)
        try {
            codepage_copy.assign(codepage, codepage + std::strlen(codepage) + 1);
        } catch (...) {
            return PyErr_NoMemory();
        }
    ASS_Track *track =
        ass_read_memory(self->library, data.data(), data.size() - 1,
                        codepage ? codepage_copy.data() : nullptr);
    if (track == nullptr) {
        PyErr_SetString(PyExc_ValueError,
                        "libass read no subtitles from the data (see messages())");
        return nullptr;
    }
    return track_of(self, track);
}

// --- the planes ------------------------------------------------------------------

// Where blend writes: the planes of one frame, checked against its size.
struct Frame {
    int layout;
    long width, height;
    std::uint8_t *y, *u, *v;  // planar
    std::uint8_t *packed;     // packed 4:2:2
};

// One colour in Y'CbCr, each 0-255.
struct Colour {
    int y, u, v;
};

struct Matrix {
    double kr, kb;
    bool full_range;
};

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

// --- libass's images ---------------------------------------------------------------
//
// An ASS_Image is a bitmap of coverage and one colour.  Each row's coverage,
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

// The scratch rows blend_images needs for a frame `width` wide.
constexpr long scratch_length(long width) { return 2 * (width + 2); }

// Fills `row` (columns base .. base + length - 1 of the frame) with the
// coverage of the image's row r, zero outside it.
void fill_row(const ASS_Image *image, std::uint16_t alpha, long r, long x0, long x1, long base,
              long length, long width, std::uint8_t *row)
{
    std::memset(row, 0, static_cast<std::size_t>(length));
    coverage_row(image->bitmap + (r - image->dst_y) * static_cast<long>(image->stride) +
                     (x0 - image->dst_x),
                 row + (x0 - base), x1 - x0, alpha);
    if (base + length > width)  // the column past an odd width repeats the last
        row[width - base] = row[width - 1 - base];
}

bool blend_images(const Frame &f, const Matrix &m, const ASS_Image *image, std::uint8_t *scratch)
{
    const bool planar = f.layout == layout_planar;
    const long luma_stride = planar ? f.width : 2 * f.width;
    std::uint8_t *const luma = planar ? f.y : f.packed + (f.layout == layout_chroma_luma);
    const long chroma_stride = planar ? (f.width + 1) / 2 : 2 * f.width;
    std::uint8_t *const u = planar ? f.u : f.packed + (f.layout == layout_luma_chroma);
    std::uint8_t *const v = planar ? f.v : u + 2;
    const long step = planar ? 1 : 2, chroma_step = planar ? 1 : 4;
    const long rows_per_sample = planar ? 2 : 1;
    bool drawn = false;
    for (; image != nullptr; image = image->next) {
        const auto alpha = static_cast<std::uint16_t>(255u - (image->color & 0xFF));
        if (alpha == 0 || image->w <= 0 || image->h <= 0 || image->bitmap == nullptr)
            continue;
        const long x0 = std::max<long>(image->dst_x, 0);
        const long y0 = std::max<long>(image->dst_y, 0);
        const long x1 = std::min<long>(static_cast<long>(image->dst_x) + image->w, f.width);
        const long y1 = std::min<long>(static_cast<long>(image->dst_y) + image->h, f.height);
        if (x0 >= x1 || y0 >= y1)
            continue;
        const Colour c = to_ycbcr(m, (image->color >> 24) / 255.0,
                                  ((image->color >> 16) & 0xFF) / 255.0,
                                  ((image->color >> 8) & 0xFF) / 255.0);
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
        drawn = true;
    }
    return drawn;
}

// The planes as held views.  Sets ValueError or TypeError and returns false
// when they do not fit the layout and size.
struct HeldPlanes {
    brilox::HeldBuffer views[3];
    Frame frame{};
};

bool writable_plane(PyObject *object, int index, Py_ssize_t needed, brilox::HeldBuffer *held,
                    std::uint8_t **start)
{
    static const char *names[] = {"planes[0]", "planes[1]", "planes[2]"};
    if (!held->take(object, PyBUF_STRIDES))
        return false;
    const Py_buffer &view = held->view();
    if (view.readonly) {
        PyErr_Format(PyExc_ValueError, "%s is read-only: blend writes into it", names[index]);
        return false;
    }
    if (!PyBuffer_IsContiguous(&view, 'C')) {
        PyErr_Format(PyExc_ValueError, "%s must be one contiguous block of bytes", names[index]);
        return false;
    }
    if (view.len < needed) {
        PyErr_Format(PyExc_ValueError, "%s holds %zd bytes, the frame needs %zd", names[index],
                     view.len, needed);
        return false;
    }
    *start = static_cast<std::uint8_t *>(view.buf);
    return true;
}

bool take_planes(PyObject *planes, int layout, long width, long height, HeldPlanes *held)
{
    if (width < 1 || height < 1 || width > max_side || height > max_side) {
        PyErr_Format(PyExc_ValueError, "width and height must be 1 to %ld, not %ld x %ld",
                     max_side, width, height);
        return false;
    }
    if (!PyTuple_Check(planes) || PyTuple_GET_SIZE(planes) != 3) {
        PyErr_SetString(PyExc_TypeError, "planes must be a tuple of three buffers: (Y, U, V), "
                                         "or (packed, b'', b'')");
        return false;
    }
    Frame &f = held->frame;
    f = {layout, width, height, nullptr, nullptr, nullptr, nullptr};
    if (layout == layout_planar) {
        const Py_ssize_t chroma = Py_ssize_t{(width + 1) / 2} * ((height + 1) / 2);
        return writable_plane(PyTuple_GET_ITEM(planes, 0), 0, Py_ssize_t{width} * height,
                              &held->views[0], &f.y) &&
               writable_plane(PyTuple_GET_ITEM(planes, 1), 1, chroma, &held->views[1], &f.u) &&
               writable_plane(PyTuple_GET_ITEM(planes, 2), 2, chroma, &held->views[2], &f.v);
    }
    if (layout != layout_luma_chroma && layout != layout_chroma_luma) {
        PyErr_Format(PyExc_ValueError, "layout must be PLANAR, LUMA_CHROMA or CHROMA_LUMA, "
                                       "not %d", layout);
        return false;
    }
    if (width % 2) {
        PyErr_Format(PyExc_ValueError, "packed 4:2:2 needs an even width, not %ld", width);
        return false;
    }
    for (int i = 1; i < 3; ++i) {
        Py_ssize_t length = PyObject_Length(PyTuple_GET_ITEM(planes, i));
        if (length < 0)
            return false;
        if (length != 0) {
            PyErr_Format(PyExc_ValueError, "packed 4:2:2 takes one plane: planes[%d] must be "
                                           "empty, not %zd bytes", i, length);
            return false;
        }
    }
    return writable_plane(PyTuple_GET_ITEM(planes, 0), 0, Py_ssize_t{2 * width} * height,
                          &held->views[0], &f.packed);
}

// Two numbers from any sequence of two.
bool pair_of(PyObject *sequence, const char *message, double *first, double *second)
{
    Ref items = Ref::steal(PySequence_Tuple(sequence));
    if (!items || !PyArg_ParseTuple(items.get(), message, first, second)) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError, message + 3);
        }
        return false;
    }
    return true;
}

bool read_matrix(PyObject *matrix, int full_range, Matrix *m)
{
    if (!pair_of(matrix, "dd;matrix must be a pair of numbers (kr, kb)", &m->kr, &m->kb))
        return false;
    if (!(m->kr > 0.0 && m->kb > 0.0 && m->kr + m->kb < 1.0)) {
        PyErr_Format(PyExc_ValueError, "matrix (kr, kb) must be positive with kr + kb < 1");
        return false;
    }
    m->full_range = full_range != 0;
    return true;
}

PyObject *library_blend(PyObject *object, PyObject *args, PyObject *kwargs)
{
    auto *self = reinterpret_cast<LibraryObject *>(object);
    static const char *keywords[] = {"track", "time_ms", "planes", "layout", "width", "height",
                                     "matrix", "full_range", "shown", nullptr};
    PyObject *track_object = nullptr, *planes = nullptr, *matrix = nullptr, *shown = nullptr;
    long long time_ms = 0;
    int layout = 0, full_range = 0;
    long width = 0, height = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!LOillOpO:blend",
                                     const_cast<char **>(keywords), &track_type, &track_object,
                                     &time_ms, &planes, &layout, &width, &height, &matrix,
                                     &full_range, &shown))
        return nullptr;
    auto *track = reinterpret_cast<TrackObject *>(track_object);
    if (track->library != object) {
        PyErr_SetString(PyExc_ValueError, "the track belongs to another Library");
        return nullptr;
    }
    if (refuse_busy(self))
        return nullptr;
    if (!self->fonts_set) {
        PyErr_SetString(PyExc_RuntimeError, "call fonts() before blend(): libass has no fonts");
        return nullptr;
    }
    Matrix m{};
    if (!read_matrix(matrix, full_range, &m))
        return nullptr;
    double shown_w = 0, shown_h = 0;
    if (!pair_of(shown, "dd;shown must be a pair of numbers (w, h)", &shown_w, &shown_h))
        return nullptr;
    if (!(shown_w > 0 && shown_h > 0 && std::isfinite(shown_w) && std::isfinite(shown_h))) {
        PyErr_SetString(PyExc_ValueError, "shown (w, h) must be positive");
        return nullptr;
    }
    HeldPlanes held;
    if (!take_planes(planes, layout, width, height, &held))
        return nullptr;
    std::vector<std::uint8_t> scratch;
    try {
        scratch.resize(static_cast<std::size_t>(scratch_length(width)));
    } catch (...) {
        return PyErr_NoMemory();
    }
    const double aspect = (shown_w / shown_h) / (static_cast<double>(width) / height);

    // The views stay held, and the track and library are marked busy, until
    // the lock is back.
    bool drawn = false;
    self->busy = true;
    Py_BEGIN_ALLOW_THREADS
    ass_set_frame_size(self->renderer, static_cast<int>(width), static_cast<int>(height));
    ass_set_storage_size(self->renderer, static_cast<int>(width), static_cast<int>(height));
    ass_set_pixel_aspect(self->renderer, aspect);
    int changed = 0;
    const ASS_Image *images = ass_render_frame(self->renderer, track->track, time_ms, &changed);
    drawn = blend_images(held.frame, m, images, scratch.data());
    Py_END_ALLOW_THREADS
    self->busy = false;
    return PyBool_FromLong(drawn);
}

// --- paletted pictures -------------------------------------------------------------

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

PyObject *module_blend_bitmap(PyObject *, PyObject *args, PyObject *kwargs)
{
    static const char *keywords[] = {"planes", "layout", "width", "height", "matrix",
                                     "full_range", "indices", "index_stride", "src_w", "src_h",
                                     "palette", "dst", nullptr};
    PyObject *planes = nullptr, *matrix = nullptr, *indices_object = nullptr,
             *palette_object = nullptr;
    int layout = 0, full_range = 0;
    long width = 0, height = 0, index_stride = 0, src_w = 0, src_h = 0, dx = 0, dy = 0, dw = 0,
         dh = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OillOpOlllO(llll):blend_bitmap",
                                     const_cast<char **>(keywords), &planes, &layout, &width,
                                     &height, &matrix, &full_range, &indices_object,
                                     &index_stride, &src_w, &src_h, &palette_object, &dx, &dy,
                                     &dw, &dh))
        return nullptr;
    Matrix m{};
    if (!read_matrix(matrix, full_range, &m))
        return nullptr;
    if (src_w < 1 || src_h < 1 || src_w > max_side || src_h > max_side) {
        PyErr_Format(PyExc_ValueError, "src_w and src_h must be 1 to %ld, not %ld x %ld",
                     max_side, src_w, src_h);
        return nullptr;
    }
    if (index_stride < src_w) {
        PyErr_Format(PyExc_ValueError, "index_stride %ld is less than src_w %ld", index_stride,
                     src_w);
        return nullptr;
    }
    if (dw < 1 || dh < 1 || dw > max_side || dh > max_side || std::labs(dx) > 4 * max_side ||
        std::labs(dy) > 4 * max_side) {
        PyErr_Format(PyExc_ValueError, "dst (%ld, %ld, %ld, %ld) must have a size of 1 to %ld",
                     dx, dy, dw, dh, max_side);
        return nullptr;
    }
    brilox::HeldBuffer indices_view, palette_view;
    if (!indices_view.take(indices_object, PyBUF_SIMPLE) ||
        !palette_view.take(palette_object, PyBUF_SIMPLE))
        return nullptr;
    const Py_ssize_t needed = Py_ssize_t{index_stride} * (src_h - 1) + src_w;
    if (indices_view.view().len < needed) {
        PyErr_Format(PyExc_ValueError, "indices hold %zd bytes, %ld rows of stride %ld need %zd",
                     indices_view.view().len, src_h, index_stride, needed);
        return nullptr;
    }
    if (palette_view.view().len % 4) {
        PyErr_Format(PyExc_ValueError, "palette holds %zd bytes, not whole 32-bit entries",
                     palette_view.view().len);
        return nullptr;
    }
    HeldPlanes held;
    if (!take_planes(planes, layout, width, height, &held))
        return nullptr;

    const long x0 = std::max(dx, 0L), y0 = std::max(dy, 0L);
    const long x1 = std::min(dx + dw, width), y1 = std::min(dy + dh, height);
    if (x0 >= x1 || y0 >= y1)
        return brilox::none();

    // Each index's Paint: entries past the palette are transparent.
    const long entries = std::min<long>(palette_view.view().len / 4, 256);
    Paint colours[256] = {};
    const auto *palette = static_cast<const std::uint8_t *>(palette_view.view().buf);
    for (long i = 0; i < entries; ++i) {
        std::uint32_t argb;
        std::memcpy(&argb, palette + 4 * i, 4);
        const std::uint32_t a = (argb >> 24) * 255u;
        const Colour c = to_ycbcr(m, ((argb >> 16) & 0xFF) / 255.0, ((argb >> 8) & 0xFF) / 255.0,
                                  (argb & 0xFF) / 255.0);
        colours[i] = {a, a * static_cast<std::uint32_t>(c.y), a * static_cast<std::uint32_t>(c.u),
                      a * static_cast<std::uint32_t>(c.v)};
    }

    Spans across, down;
    std::vector<Paint> paint;
    try {
        spans_of(src_w, dw, x0 - dx, x1 - dx, &across);
        spans_of(src_h, dh, y0 - dy, y1 - dy, &down);
        paint.resize(static_cast<std::size_t>((x1 - x0) * (y1 - y0)));
    } catch (...) {
        return PyErr_NoMemory();
    }
    const auto *indices = static_cast<const std::uint8_t *>(indices_view.view().buf);
    const long columns = x1 - x0;
    Py_BEGIN_ALLOW_THREADS
    // Area averaging: each destination pixel's colour is the weighted mean of
    // the source pixels it covers, weights summing to src_w * src_h.
    const std::uint64_t total = std::uint64_t(src_w) * std::uint64_t(src_h);
    for (long r = 0; r < y1 - y0; ++r)
        for (long c = 0; c < columns; ++c) {
            std::uint64_t a = 0, y = 0, u = 0, v = 0;
            for (long i = down.first[r]; i < down.first[r + 1]; ++i) {
                const std::uint8_t *row = indices + down.source[i] * index_stride;
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
    blend_rect(held.frame, x0, y0, x1, y1, PaintSource{paint.data(), x0, y0, columns});
    Py_END_ALLOW_THREADS
    return brilox::none();
}

// --- the track ---------------------------------------------------------------------

bool refuse_track_busy(TrackObject *self)
{
    return refuse_busy(reinterpret_cast<LibraryObject *>(self->library));
}

void track_dealloc(PyObject *object)
{
    auto *self = reinterpret_cast<TrackObject *>(object);
    if (self->track != nullptr)
        ass_free_track(self->track);
    Py_XDECREF(self->library);
    PyObject_Free(object);
}

// Turns "Dialogue: Layer,Start,End,Style,..." into the chunk form
// "ReadOrder,Layer,Style,...", numbering lines in the order given.
bool chunk_of(TrackObject *self, const char *line, Py_ssize_t length, std::vector<char> *chunk)
{
    static const char prefix[] = "Dialogue:";
    const Py_ssize_t prefix_length = sizeof prefix - 1;
    try {
        if (length >= prefix_length && std::memcmp(line, prefix, prefix_length) == 0) {
            const char *p = line + prefix_length, *end = line + length;
            while (p < end && *p == ' ')
                ++p;
            // Layer, then Start and End, which the chunk leaves out.
            const char *layer_end = static_cast<const char *>(std::memchr(p, ',', end - p));
            const char *start_end =
                layer_end ? static_cast<const char *>(std::memchr(layer_end + 1, ',',
                                                                  end - layer_end - 1))
                          : nullptr;
            const char *times_end =
                start_end ? static_cast<const char *>(std::memchr(start_end + 1, ',',
                                                                  end - start_end - 1))
                          : nullptr;
            if (times_end == nullptr) {
                PyErr_SetString(PyExc_ValueError,
                                "a Dialogue line needs Layer, Start, End and the rest");
                return false;
            }
            // Numbered far from a decoder's own ReadOrders, which count from 0.
            const std::string order =
                std::to_string(dialogue_read_order + self->next_read_order++) + ",";
            chunk->assign(order.begin(), order.end());
            chunk->insert(chunk->end(), p, layer_end);
            chunk->insert(chunk->end(), times_end, end);
        } else {
            chunk->assign(line, line + length);
        }
        chunk->push_back('\0');
    } catch (...) {
        PyErr_NoMemory();
        return false;
    }
    return true;
}

PyObject *track_add(PyObject *object, PyObject *args, PyObject *kwargs)
{
    auto *self = reinterpret_cast<TrackObject *>(object);
    static const char *keywords[] = {"line", "start_ms", "duration_ms", nullptr};
    Py_buffer line{};
    long long start_ms = 0, duration_ms = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "y*LL:add", const_cast<char **>(keywords),
                                     &line, &start_ms, &duration_ms))
        return nullptr;
    std::vector<char> chunk;
    bool ok = !refuse_track_busy(self);
    if (ok && line.len > INT32_MAX / 2) {
        PyErr_Format(PyExc_ValueError, "a line of %zd bytes is too long", line.len);
        ok = false;
    }
    if (ok)
        ok = chunk_of(self, static_cast<const char *>(line.buf), line.len, &chunk);
    PyBuffer_Release(&line);
    if (!ok)
        return nullptr;
    ass_process_chunk(self->track, chunk.data(), static_cast<int>(chunk.size() - 1), start_ms,
                      duration_ms);
    return brilox::none();
}

PyObject *track_clear(PyObject *object, PyObject *)
{
    auto *self = reinterpret_cast<TrackObject *>(object);
    if (refuse_track_busy(self))
        return nullptr;
    ass_flush_events(self->track);
    return brilox::none();
}

PyObject *track_events(PyObject *object, void *)
{
    return PyLong_FromLong(reinterpret_cast<TrackObject *>(object)->track->n_events);
}

PyObject *track_play_res(PyObject *object, void *)
{
    // What libass renders with: a script that gives one side has the other
    // in 4:3 (1280 x 1024 for either of those), one that gives neither 384
    // x 288.
    const ASS_Track *track = reinterpret_cast<TrackObject *>(object)->track;
    long x = track->PlayResX, y = track->PlayResY;
    if (x <= 0 && y <= 0) {
        x = 384;
        y = 288;
    } else if (y <= 0) {
        y = x == 1280 ? 1024 : std::max(1L, x * 3 / 4);
    } else if (x <= 0) {
        x = y == 1024 ? 1280 : std::max(1L, y * 4 / 3);
    }
    return Py_BuildValue("(ll)", x, y);
}

PyObject *track_library(PyObject *object, void *)
{
    PyObject *library = reinterpret_cast<TrackObject *>(object)->library;
    Py_INCREF(library);
    return library;
}

// --- the records -----------------------------------------------------------------

template <class F>
PyCFunction with_keywords(F *function)
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef library_methods[] = {
    {"fonts", with_keywords(library_fonts), METH_VARARGS | METH_KEYWORDS,
     "fonts($self, /, default_path=None, family=None, fontconfig=False)\n--\n\n"
     "where fonts come from: the font file default_path and the family to fall back on,\n"
     "and the system's fonts when fontconfig is true.  Must come before blend()."},
    {"add_font", with_keywords(library_add_font), METH_VARARGS | METH_KEYWORDS,
     "add_font($self, /, name, data)\n--\n\n"
     "a font attached to the subtitles, by its file name and bytes; before fonts()."},
    {"messages", library_messages, METH_NOARGS,
     "messages($self, /)\n--\n\n"
     "libass's errors and warnings since the last call, as lines of text"},
    {"track", with_keywords(library_track), METH_VARARGS | METH_KEYWORDS,
     "track($self, /, header)\n--\n\n"
     "a new Track from the script's header ([Script Info] and [V4+ Styles]), whose\n"
     "events come by Track.add()"},
    {"read", with_keywords(library_read), METH_VARARGS | METH_KEYWORDS,
     "read($self, /, data, codepage=None)\n--\n\n"
     "a new Track of a whole script, its bytes in codepage (None: as they are);\n"
     "ValueError when libass reads no script from them"},
    {"blend", with_keywords(library_blend), METH_VARARGS | METH_KEYWORDS,
     "blend($self, /, track, time_ms, planes, layout, width, height, matrix, full_range, "
     "shown)\n--\n\n"
     "render track at time_ms for a frame of width x height shown as a shown=(w, h)\n"
     "rectangle, and blend it into the frame's planes in place: (Y, U, V) for PLANAR,\n"
     "(packed, b'', b'') for LUMA_CHROMA and CHROMA_LUMA.  The colours become Y'CbCr by\n"
     "matrix=(kr, kb) and full_range.  Returns whether anything was drawn."},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef track_methods[] = {
    {"add", with_keywords(track_add), METH_VARARGS | METH_KEYWORDS,
     "add($self, /, line, start_ms, duration_ms)\n--\n\n"
     "one event, as a decoder gives it: 'ReadOrder,Layer,Style,Name,MarginL,MarginR,\n"
     "MarginV,Effect,Text', or a 'Dialogue: ' line; an event whose ReadOrder came before\n"
     "is dropped"},
    {"clear", track_clear, METH_NOARGS, "clear($self, /)\n--\n\nforget every event"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef track_getset[] = {
    {"events", track_events, nullptr, "the number of events held", nullptr},
    {"play_res", track_play_res, nullptr,
     "the script's (PlayResX, PlayResY), a side it leaves out as libass takes it", nullptr},
    {"library", track_library, nullptr, "the Library the track belongs to", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef module_methods[] = {
    {"blend_bitmap", with_keywords(module_blend_bitmap), METH_VARARGS | METH_KEYWORDS,
     "blend_bitmap($module, /, planes, layout, width, height, matrix, full_range, indices,\n"
     "             index_stride, src_w, src_h, palette, dst)\n--\n\n"
     "blend a paletted picture into the frame's planes in place, as Library.blend does:\n"
     "indices are src_w x src_h bytes, rows index_stride apart, palette native-endian\n"
     "32-bit ARGB entries (alpha straight), and the picture is scaled, by area, to\n"
     "dst=(x, y, w, h) and clipped to the frame."},
    {nullptr, nullptr, 0, nullptr},
};

// The records name only the slots they use; every other slot stays empty, so
// the host's defaults apply.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

PyTypeObject library_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "brilox.media._subtitles.Library",
    .tp_basicsize = sizeof(LibraryObject),
    .tp_itemsize = 0,
    .tp_dealloc = library_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "Library()\n--\n\n"
              "libass with one renderer: fonts, tracks made from it, and blending them into\n"
              "frames.  Use it, and its tracks, from one thread.",
    .tp_methods = library_methods,
    .tp_new = library_new,
};

PyTypeObject track_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "brilox.media._subtitles.Track",
    .tp_basicsize = sizeof(TrackObject),
    .tp_itemsize = 0,
    .tp_dealloc = track_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "a subtitle track of a Library, made by Library.track() or Library.read()",
    .tp_methods = track_methods,
    .tp_getset = track_getset,
};

#pragma GCC diagnostic pop

PyModuleDef subtitles_module = {
    PyModuleDef_HEAD_INIT,
    "_subtitles",
    "brilox-play's subtitle renderer: libass's tracks and pictures blended into frames",
    -1,
    module_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__subtitles(void)
{
    if (!brilox::type_ready(&library_type) || !brilox::type_ready(&track_type))
        return nullptr;
    Ref module = Ref::steal(PyModule_Create2(&subtitles_module, 1013));
    if (!module)
        return nullptr;
    if (!brilox::add_to_module(module.get(), "Library",
                               Ref::borrow(reinterpret_cast<PyObject *>(&library_type))) ||
        !brilox::add_to_module(module.get(), "Track",
                               Ref::borrow(reinterpret_cast<PyObject *>(&track_type))))
        return nullptr;
    static const struct {
        const char *name;
        int value;
    } constants[] = {{"LUMA_CHROMA", layout_luma_chroma},
                     {"CHROMA_LUMA", layout_chroma_luma},
                     {"PLANAR", layout_planar}};
    for (const auto &k : constants)
        if (PyModule_AddIntConstant(module.get(), k.name, k.value) < 0)
            return nullptr;
    return module.release();
}
