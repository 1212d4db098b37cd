// brilox.media._subtitles: the engine's subtitle renderer.
//
// `Library` holds one ASS_Library and one ASS_Renderer: fonts are set on it,
// `Track`s are made from it, and `blend` renders a track at a time and
// blends what it draws into a frame's planes in place.  `blend_bitmap`
// blends a paletted picture subtitle (DVD, PGS, DVB) the same way.  The
// blending itself is blend.cpp's; this file checks the planes and the
// arguments, and drives libass.
#include "blend.hpp"
#include "layouts.hpp"
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
using brilox::subtitles::Frame;
using brilox::subtitles::Matrix;
namespace blend = brilox::subtitles;

constexpr int layout_luma_chroma = brilox::layout::luma_chroma;
constexpr int layout_chroma_luma = brilox::layout::chroma_luma;
constexpr int layout_planar = brilox::layout::planar;

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
        scratch.resize(static_cast<std::size_t>(blend::scratch_length(width)));
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
    for (const ASS_Image *image = ass_render_frame(self->renderer, track->track, time_ms, &changed);
         image != nullptr; image = image->next)
        drawn |= blend::blend_coverage(held.frame, m,
                                       {image->bitmap, image->stride, image->w, image->h,
                                        image->dst_x, image->dst_y, image->color},
                                       scratch.data());
    Py_END_ALLOW_THREADS
    self->busy = false;
    return PyBool_FromLong(drawn);
}

// --- paletted pictures -------------------------------------------------------------

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
    const blend::Paletted picture = {
        static_cast<const std::uint8_t *>(indices_view.view().buf),
        index_stride,
        src_w,
        src_h,
        static_cast<const std::uint8_t *>(palette_view.view().buf),
        static_cast<long>(palette_view.view().len / 4),
        dx,
        dy,
        dw,
        dh};
    bool blended = false;
    Py_BEGIN_ALLOW_THREADS
    blended = blend::blend_paletted(held.frame, m, picture);
    Py_END_ALLOW_THREADS
    if (!blended)
        return PyErr_NoMemory();
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
    "brilox.media's subtitle renderer: libass's tracks and pictures blended into frames",
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
