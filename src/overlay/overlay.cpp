// brilox.overlay: the Overlay type, a YUV video overlay on SDL's display
// surface.
//
// An Overlay owns one SDL_Overlay and the screen rectangle it is shown in.
// `display((y, u, v))` copies a frame given as byte strings straight into the
// overlay's planes and asks SDL to show it; `display()` shows it again.
//
// An SDL overlay belongs to the video session and the display depth it was
// made in.  The module keeps every live Overlay on a list, and brilox.display
// runs this module's hook just before the session ends (base slots 1 and 2):
// the hook frees each SDL overlay while SDL can still do so, and the Overlay
// is never handed to SDL again, however the next session looks.
#include "api_tables.hpp"

#include <SDL.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <iterator>

namespace {

using brilox::Ref;
namespace api = brilox::api;

// The display surface an overlay was made for.  SDL converts a software
// overlay straight into that surface, in the pixel format it had then.
struct DisplayTarget {
    SDL_Surface *surface;
    Uint8 bits_per_pixel;
    Uint32 masks[3];
};

struct OverlayObject {
    PyObject_HEAD
    // Null once the display it was made for has gone.
    SDL_Overlay *yuv_overlay;
    api::IntRect location;
    DisplayTarget target;
    // SDL's hw_overlay flag as the overlay was made, for get_hardware after
    // SDL's overlay is gone.
    bool hardware;
    // The list of live Overlays that still own an SDL overlay.
    OverlayObject *prev;
    OverlayObject *next;
};

// The copies of the base and rect tables, taken once by the module entry.
void *api_slots[api::importer_slot_count];

OverlayObject *live_overlays;

// SDL 1.2 comes in two builds: classic SDL, whose releases end at 1.2.15,
// and sdl12-compat, SDL 1.2 over SDL 2, which numbers its releases from
// 1.2.50 up.
struct SdlBuild {
    bool over_sdl2;
    // Before 1.2.62 sdl12-compat's SDL_FreeYUVOverlay walks its list of
    // overlays waiting for the next present without ever advancing, so it
    // spins forever while that list is not empty.
    bool free_waits_for_present;
};

SdlBuild sdl_build;

// Whether an overlay may be waiting for a present: one was shown since this
// module last presented the screen.
bool shown_since_present;

SdlBuild linked_sdl_build()
{
    const SDL_version *version = SDL_Linked_Version();
    const bool over_sdl2 = version->major == 1 && version->minor == 2 && version->patch >= 50;
    return {over_sdl2, over_sdl2 && version->patch < 62};
}

OverlayObject *as_overlay(PyObject *self)
{
    return reinterpret_cast<OverlayObject *>(self);
}

DisplayTarget target_of(SDL_Surface *surface)
{
    const SDL_PixelFormat *format = surface->format;
    return {surface, format->BitsPerPixel, {format->Rmask, format->Gmask, format->Bmask}};
}

// SDL keeps a display surface without a pixel format after its video
// subsystem restarts (sdl12-compat from 1.2.66 on does): no mode is set then.
SDL_Surface *current_mode()
{
    SDL_Surface *surface = SDL_GetVideoSurface();
    return surface != nullptr && surface->format != nullptr ? surface : nullptr;
}

// An overlay outlives the display surface it was made for when the mode
// changes to another pixel format outside brilox.display.  SDL would then
// write into a freed surface, or past the end of the new one, and SDL over
// SDL 2 would use a texture of a destroyed renderer.
bool shows_on_current_display(const OverlayObject *self)
{
    SDL_Surface *screen = current_mode();
    if (self->yuv_overlay == nullptr || screen == nullptr || screen != self->target.surface)
        return false;
    const DisplayTarget now = target_of(screen);
    return now.bits_per_pixel == self->target.bits_per_pixel &&
           std::equal(std::begin(now.masks), std::end(now.masks), std::begin(self->target.masks));
}

// --- the list of live overlays -------------------------------------------

void link_live(OverlayObject *overlay)
{
    overlay->prev = nullptr;
    overlay->next = live_overlays;
    if (live_overlays != nullptr)
        live_overlays->prev = overlay;
    live_overlays = overlay;
}

void unlink_live(OverlayObject *overlay)
{
    if (overlay->prev != nullptr)
        overlay->prev->next = overlay->next;
    else if (live_overlays == overlay)
        live_overlays = overlay->next;
    else
        return;  // never linked
    if (overlay->next != nullptr)
        overlay->next->prev = overlay->prev;
    overlay->prev = overlay->next = nullptr;
}

// Empties sdl12-compat's list of overlays waiting for a present, where its
// SDL_FreeYUVOverlay would spin (SdlBuild).  Presenting the whole screen
// empties it; a present of no rectangles or of a part of the screen does not.
void present_before_free()
{
    if (!sdl_build.free_waits_for_present || !shown_since_present)
        return;
    if (SDL_Surface *screen = current_mode())
        SDL_UpdateRect(screen, 0, 0, 0, 0);
    shown_since_present = false;
}

// Hands the SDL overlay back to SDL if SDL can still free it.  One that its
// display has outlived is left to SDL: freeing it would read a destroyed
// renderer over SDL 2.
void release_sdl_overlay(OverlayObject *overlay)
{
    unlink_live(overlay);
    if (overlay->yuv_overlay != nullptr && SDL_WasInit(SDL_INIT_VIDEO) &&
        shows_on_current_display(overlay)) {
        present_before_free();
        SDL_FreeYUVOverlay(overlay->yuv_overlay);
    }
    overlay->yuv_overlay = nullptr;
}

// Run by brilox.display just before the video subsystem shuts down or the
// display changes depth.
void release_overlays_before_display_goes(void)
{
    while (live_overlays != nullptr)
        release_sdl_overlay(live_overlays);
}

// --- construction and release ------------------------------------------

// SDL sizes an overlay's memory as width * height * 2 in an int.  Past the
// int range that product wraps, and SDL would hand back planes that reach
// far beyond the memory behind them.
bool sdl_can_size(int width, int height)
{
    // Two ints multiply exactly in a long long; doubling might not.
    const long long pixels = static_cast<long long>(width) * height;
    return pixels >= INT_MIN / 2 && pixels <= INT_MAX / 2;
}

PyObject *overlay_new(PyTypeObject *type, PyObject *args, PyObject *)
{
    int format = 0, width = 0, height = 0;
    if (!PyArg_ParseTuple(args, "i(ii)", &format, &width, &height))
        return nullptr;
    if (!SDL_WasInit(SDL_INIT_VIDEO))
        return api::raise_library_error(
            api_slots, "cannot create overlay without brilox.display initialized");
    SDL_Surface *screen = current_mode();
    if (screen == nullptr)
        return api::raise_library_error(api_slots, "Display mode not set");

    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self)
        return nullptr;
    OverlayObject *overlay = as_overlay(self.get());
    if (!sdl_can_size(width, height))
        return api::raise_library_error(api_slots, "Cannot create overlay");
    overlay->yuv_overlay =
        SDL_CreateYUVOverlay(width, height, static_cast<Uint32>(format), screen);
    if (overlay->yuv_overlay == nullptr)
        return api::raise_library_error(api_slots, "Cannot create overlay");
    overlay->location = {0, 0, width, height};
    overlay->target = target_of(screen);
    overlay->hardware = overlay->yuv_overlay->hw_overlay != 0;
    link_live(overlay);
    return self.release();
}

void overlay_dealloc(PyObject *self)
{
    release_sdl_overlay(as_overlay(self));
    Py_TYPE(self)->tp_free(self);
}

// --- set_location --------------------------------------------------------

PyObject *overlay_set_location(PyObject *self, PyObject *args)
{
    auto rect_from_object = reinterpret_cast<api::RectFromObject>(
        api_slots[api::rect_first + api::rect_from_object_slot]);
    if (rect_from_object == nullptr) {
        PyErr_SetString(PyExc_SystemError, "brilox.rect publishes no rect_from_object");
        return nullptr;
    }
    api::IntRect scratch{};
    const api::IntRect *rect = rect_from_object(args, &scratch);
    if (rect == nullptr) {
        PyErr_SetString(PyExc_TypeError, "Invalid rectstyle argument");
        return nullptr;
    }
    as_overlay(self)->location = *rect;
    return brilox::none();
}

// --- display -------------------------------------------------------------

// One frame item.  A byte string, text, and any buffer that is C-contiguous
// count as `length` bytes from `bytes`.  A 2-D buffer that is not (a plane
// sliced from a larger array, a decoder's plane with padded rows) is `rows`
// rows of `columns` bytes, `row_stride` bytes apart.
struct Source {
    const char *bytes = nullptr;
    Py_ssize_t length = 0;
    Py_ssize_t rows = -1;  // -1: contiguous bytes
    Py_ssize_t columns = 0;
    Py_ssize_t row_stride = 0;

    bool has_rows() const { return rows >= 0; }
};

// Rows of one source bound for one plane.  `row` bytes are copied per row;
// the source advances by `stride` and the plane by its pitch.
struct PlaneCopy {
    int plane = 0;
    const char *source = nullptr;
    Py_ssize_t stride = 0;
    Py_ssize_t row = 0;
    Py_ssize_t rows = 0;
};

// Everything the copy needs, worked out before the overlay is locked.
struct Upload {
    PlaneCopy planes[3];
    int count = 0;
};

// Rows longer than the plane's pitch would run into the next plane.
Py_ssize_t clip_to_pitch(Py_ssize_t row, const SDL_Overlay *overlay, int plane)
{
    return std::clamp<Py_ssize_t>(row, 0, overlay->pitches[plane]);
}

// Refuses a string shorter than `rows` rows of `row` bytes.  Only then could
// the stride `length / rows` fall short of the row copied.
bool check_length(const char *plane, const Source &source, Py_ssize_t row, Py_ssize_t rows)
{
    // Rows and row lengths come from int fields of SDL's record.
    const long long needed = static_cast<long long>(std::max<Py_ssize_t>(row, 0)) * rows;
    if (source.length >= needed)
        return true;
    PyErr_Format(PyExc_ValueError, "%s plane too short: %lld bytes needed, %zd given", plane,
                 needed, source.length);
    return false;
}

// Refuses a plane of rows with fewer than `rows` rows, or, where every row
// is copied whole (`row` above 0), rows shorter than `row` bytes.
bool check_rows(const char *plane, const Source &source, Py_ssize_t row, Py_ssize_t rows)
{
    if (source.rows < rows) {
        PyErr_Format(PyExc_ValueError, "%s plane too short: %zd rows needed, %zd given", plane,
                     rows, source.rows);
        return false;
    }
    if (rows > 0 && source.columns < row) {
        PyErr_Format(PyExc_ValueError, "%s plane rows too short: %zd bytes needed, %zd given",
                     plane, row, source.columns);
        return false;
    }
    return true;
}

// Rows of `row` bytes for `plane`, clipped to its pitch.  Contiguous bytes
// advance by `length / rows`; a plane of rows by its own row stride.
PlaneCopy rows_of(const Source &source, const SDL_Overlay *overlay, int plane, Py_ssize_t row,
                  Py_ssize_t rows)
{
    const Py_ssize_t stride = source.has_rows() ? source.row_stride : source.length / rows;
    return {plane, source.bytes, stride, clip_to_pitch(row, overlay, plane), rows};
}

// Luma rows are w bytes.  Each chroma source holds h / 2 rows: a plane of
// rows as many bytes a row as it has columns, a string (len * 2) / h bytes
// a row, the same length being its stride.
bool plan_planar(const SDL_Overlay *overlay, const Source (&frame)[3], Upload *upload)
{
    const Py_ssize_t w = overlay->w, h = overlay->h;
    const Source &y = frame[0], &u = frame[1], &v = frame[2];
    const Py_ssize_t chroma_rows = std::max<Py_ssize_t>(h / 2, 0);
    if (y.has_rows() ? !check_rows("y", y, w, std::max<Py_ssize_t>(h, 0))
                     : !check_length("y", y, w, h))
        return false;
    if ((u.has_rows() && !check_rows("u", u, 0, chroma_rows)) ||
        (v.has_rows() && !check_rows("v", v, 0, chroma_rows)))
        return false;
    if (h <= 0)
        return true;
    const auto chroma = [&](const Source &source, int plane) -> PlaneCopy {
        if (source.has_rows())
            return rows_of(source, overlay, plane, source.columns, chroma_rows);
        // Lengths are at most PY_SSIZE_T_MAX, so doubling them fits unsigned.
        const auto row = static_cast<Py_ssize_t>(static_cast<std::size_t>(source.length) * 2u /
                                                 static_cast<std::size_t>(h));
        return {plane, source.bytes, row, clip_to_pitch(row, overlay, plane), chroma_rows};
    };
    upload->planes[0] = rows_of(y, overlay, 0, w, h);
    upload->planes[1] = chroma(v, 1);
    upload->planes[2] = chroma(u, 2);
    upload->count = 3;
    return true;
}

// Packed formats hold the whole frame in plane 0, 2 * w bytes per row.
bool plan_packed(const SDL_Overlay *overlay, const Source (&frame)[3], Upload *upload)
{
    if (frame[1].length != 0 || frame[2].length != 0) {
        PyErr_SetString(PyExc_ValueError,
                        "a packed overlay takes its frame in the first string; "
                        "the other two must be empty");
        return false;
    }
    const Py_ssize_t w = overlay->w, h = overlay->h;
    const Source &packed = frame[0];
    if (packed.has_rows() ? !check_rows("packed", packed, 2 * w, std::max<Py_ssize_t>(h, 0))
                          : !check_length("packed", packed, 2 * w, h))
        return false;
    if (h <= 0)
        return true;
    upload->planes[0] = rows_of(packed, overlay, 0, 2 * w, h);
    upload->count = 1;
    return true;
}

bool plan_upload(const SDL_Overlay *overlay, const Source (&frame)[3], Upload *upload)
{
    if (overlay->planes == 3)
        return plan_planar(overlay, frame, upload);
    if (overlay->planes == 1)
        return plan_packed(overlay, frame, upload);
    PyErr_Format(PyExc_ValueError, "cannot upload a frame to an overlay of %d planes",
                 overlay->planes);
    return false;
}

// Copies one row in blocks of a fixed size, which the compiler turns into
// plain vector moves: a video row is a few kilobytes, where the library's
// memcpy spends a measurable share of each call choosing its method.
void copy_row(Uint8 *destination, const char *source, std::size_t length)
{
    constexpr std::size_t block = 64;
    std::size_t done = 0;
    for (; done + block <= length; done += block)
        std::memcpy(destination + done, source + done, block);
    std::memcpy(destination + done, source + done, length - done);
}

// One block copy per row, or one per plane where rows are contiguous on both
// sides: the bytes written are the same either way.
void copy_plane(const PlaneCopy &copy, Uint8 *destination, Py_ssize_t pitch)
{
    if (copy.row <= 0 || copy.rows <= 0)
        return;
    if (copy.row == copy.stride && copy.row == pitch) {
        std::memcpy(destination, copy.source, static_cast<std::size_t>(copy.row * copy.rows));
        return;
    }
    const char *source = copy.source;
    for (Py_ssize_t r = 0; r < copy.rows; ++r) {
        copy_row(destination, source, static_cast<std::size_t>(copy.row));
        source += copy.stride;
        destination += pitch;
    }
}

void copy_frame(SDL_Overlay *overlay, const Upload &upload)
{
    SDL_LockYUVOverlay(overlay);
    // The plane addresses hold only while the overlay is locked.
    for (int i = 0; i < upload.count; ++i) {
        const PlaneCopy &copy = upload.planes[i];
        copy_plane(copy, overlay->pixels[copy.plane], overlay->pitches[copy.plane]);
    }
    SDL_UnlockYUVOverlay(overlay);
}

// SDL_Rect keeps the low 16 bits of each stored value.
SDL_Rect narrowed(const api::IntRect &location)
{
    return SDL_Rect{static_cast<Sint16>(location.x), static_cast<Sint16>(location.y),
                    static_cast<Uint16>(location.w), static_cast<Uint16>(location.h)};
}

// Whether SDL can be asked to show the overlay in `rect`.  SDL divides by the
// rectangle's width and height: with either at zero there is nothing to
// show, and asking SDL would kill the process.  SDL 2's software renderer
// allocates a buffer of the whole rectangle when a scaled copy reaches past
// the screen (17 GB for 65535 x 65535), where classic SDL clips to the
// screen first; over SDL 2 a rectangle far larger than the screen can show
// is not handed over.
//
// SDL 2 reads a packed row of odd width as one pair of pixels longer than
// the row sdl12-compat allocated, past the end of the overlay's memory on
// the last row; over SDL 2 such an overlay takes frames but is not shown.
bool worth_showing(const SDL_Rect &rect, const SDL_Overlay *overlay, const SDL_Surface *screen)
{
    if (rect.w == 0 || rect.h == 0)
        return false;
    if (!sdl_build.over_sdl2)
        return true;
    if (overlay->planes == 1 && overlay->w % 2 != 0)
        return false;
    const long long area = static_cast<long long>(rect.w) * rect.h;
    const long long screen_area = static_cast<long long>(screen->w) * screen->h;
    return area <= std::max(16 * screen_area, 4096LL * 4096);
}

// The parser lets go of each item it takes from a sequence at once, so the
// items it hands back stay alive only while the sequence itself holds them.
// Exact tuples and lists do; any other sequence might make them on the fly,
// so its items are first gathered into a tuple that holds them.  Bytes, and
// what is no sequence at all, are left for the parser to refuse with its
// own message.
Ref frame_arguments(PyObject *args)
{
    if (PyTuple_GET_SIZE(args) != 1)
        return Ref::borrow(args);
    PyObject *frame = PyTuple_GET_ITEM(args, 0);
    if (PyTuple_CheckExact(frame) || PyList_CheckExact(frame) || PyBytes_Check(frame) ||
        !PySequence_Check(frame))
        return Ref::borrow(args);
    Ref items = Ref::steal(PySequence_Tuple(frame));
    if (!items)
        return items;
    return Ref::steal(PyTuple_Pack(1, items.get()));
}

// The three items of a frame, held until the copy is done.
struct Frame {
    Ref items[3];
    brilox::HeldBuffer buffers[3];
    Source sources[3];
};

const char *const item_names[3] = {"y", "u", "v"};

// Refuses a layout that cannot be read as rows of bytes front to back.
bool refuse_layout(const char *plane, const Py_buffer &view)
{
    const auto spans = [&view](int dimension) { return view.shape[dimension] > 1; };
    if (view.ndim > 2) {
        PyErr_Format(PyExc_ValueError, "%s plane has %d dimensions and is not contiguous",
                     plane, view.ndim);
        return false;
    }
    if (view.ndim < 1 || view.shape == nullptr || view.strides == nullptr ||
        view.suboffsets != nullptr) {
        PyErr_Format(PyExc_ValueError, "%s plane is not a plain buffer of bytes", plane);
        return false;
    }
    for (int d = 0; d < view.ndim; ++d) {
        if (spans(d) && view.strides[d] < 0) {
            PyErr_Format(PyExc_ValueError, "%s plane has a negative stride", plane);
            return false;
        }
    }
    const int last = view.ndim - 1;
    if (spans(last) && view.strides[last] != 1) {
        if (view.ndim == 2 && PyBuffer_IsContiguous(&view, 'F'))
            PyErr_Format(PyExc_ValueError,
                         "%s plane is in Fortran order; its rows must be contiguous", plane);
        else
            PyErr_Format(PyExc_ValueError,
                         "%s plane has an item stride of %zd bytes; its rows must be contiguous",
                         plane, view.strides[last]);
        return false;
    }
    if (view.ndim == 2 && spans(0) && view.strides[0] == 0) {
        PyErr_Format(PyExc_ValueError, "%s plane repeats its rows (a row stride of 0)", plane);
        return false;
    }
    return true;
}

// A C-contiguous buffer counts as its bytes.  A 2-D buffer with contiguous
// rows (a slice of a larger array, a decoder's padded plane) is read by rows.
bool source_from_view(const char *plane, const Py_buffer &view, Source *source)
{
    if (view.itemsize != 1) {
        PyErr_Format(PyExc_TypeError, "%s plane has items of %zd bytes; a frame takes bytes",
                     plane, view.itemsize);
        return false;
    }
    if (view.suboffsets == nullptr && PyBuffer_IsContiguous(&view, 'C')) {
        *source = {static_cast<const char *>(view.buf), view.len};
        return true;
    }
    if (!refuse_layout(plane, view))
        return false;
    // What passes those checks in one dimension is contiguous; only a 2-D
    // buffer with rows apart is left, unless its exporter says otherwise.
    if (view.ndim != 2) {
        PyErr_Format(PyExc_ValueError, "%s plane is not a plain buffer of bytes", plane);
        return false;
    }
    *source = {static_cast<const char *>(view.buf), view.len, view.shape[0], view.shape[1],
               view.strides[0]};
    return true;
}

// Text is taken in its UTF-8 encoding and any buffer as its bytes.  For
// anything else the "s#" parser, given the frame with its buffers standing
// in as empty bytes, raises the error it always has.
bool refuse_items_without_bytes(const Frame &frame)
{
    Ref stand_in[3];
    for (int i = 0; i < 3; ++i) {
        PyObject *item = frame.items[i].get();
        stand_in[i] = PyUnicode_Check(item) || !PyObject_CheckBuffer(item)
                          ? Ref::borrow(item)
                          : Ref::steal(PyBytes_FromStringAndSize("", 0));
        if (!stand_in[i])
            return false;
    }
    Ref items = Ref::steal(PyTuple_Pack(3, stand_in[0].get(), stand_in[1].get(), stand_in[2].get()));
    if (!items)
        return false;
    Ref wrapped = Ref::steal(PyTuple_Pack(1, items.get()));
    if (!wrapped)
        return false;
    const char *bytes[3];
    Py_ssize_t lengths[3];
    if (PyArg_ParseTuple(wrapped.get(), "(s#s#s#)", &bytes[0], &lengths[0], &bytes[1],
                         &lengths[1], &bytes[2], &lengths[2]))
        PyErr_SetString(PyExc_TypeError, "frame items must be text or buffers");
    return false;
}

bool parse_frame(PyObject *args, Frame *frame)
{
    Ref held = frame_arguments(args);
    PyObject *items[3];
    if (!held || !PyArg_ParseTuple(held.get(), "(OOO)", &items[0], &items[1], &items[2]))
        return false;
    // An exporter may run code that empties a list frame.
    bool has_bytes = true;
    for (int i = 0; i < 3; ++i) {
        frame->items[i] = Ref::borrow(items[i]);
        has_bytes = has_bytes && (PyUnicode_Check(items[i]) || PyObject_CheckBuffer(items[i]));
    }
    if (!has_bytes)
        return refuse_items_without_bytes(*frame);
    for (int i = 0; i < 3; ++i) {
        PyObject *item = frame->items[i].get();
        Source &source = frame->sources[i];
        if (PyUnicode_Check(item)) {
            source.bytes = PyUnicode_AsUTF8AndSize(item, &source.length);
            if (source.bytes == nullptr)
                return false;
        } else if (!frame->buffers[i].take(item, PyBUF_RECORDS_RO) ||
                   !source_from_view(item_names[i], frame->buffers[i].view(), &source)) {
            return false;
        }
    }
    return true;
}

PyObject *overlay_display(PyObject *self, PyObject *args)
{
    Frame frame;
    const bool has_frame = PyTuple_GET_SIZE(args) != 0;
    if (has_frame && !parse_frame(args, &frame))
        return nullptr;
    if (!SDL_WasInit(SDL_INIT_VIDEO))
        return api::raise_library_error(api_slots, "video system not initialized");
    if (!shows_on_current_display(as_overlay(self)))
        return api::raise_library_error(api_slots, "overlay was made for another display mode");

    SDL_Overlay *overlay = as_overlay(self)->yuv_overlay;
    if (has_frame) {
        Upload upload;
        if (!plan_upload(overlay, frame.sources, &upload))
            return nullptr;
        copy_frame(overlay, upload);
    }
    SDL_Rect rect = narrowed(as_overlay(self)->location);
    if (worth_showing(rect, overlay, as_overlay(self)->target.surface)) {
        SDL_DisplayYUVOverlay(overlay, &rect);
        shown_since_present = true;
    }
    return brilox::none();
}

// --- get_hardware --------------------------------------------------------

PyObject *overlay_get_hardware(PyObject *self, PyObject *)
{
    const OverlayObject *overlay = as_overlay(self);
    if (overlay->yuv_overlay == nullptr)
        return PyLong_FromLong(overlay->hardware);
    return PyLong_FromLong(overlay->yuv_overlay->hw_overlay);
}

// --- tables --------------------------------------------------------------

const char set_location_doc[] =
    "set_location(rect) -> None\ncontrol where the overlay is displayed";
const char display_doc[] =
    "display((y, u, v)) -> None\ndisplay() -> None\nset the overlay pixel data";
const char get_hardware_doc[] =
    "get_hardware(rect) -> int\ntest if the Overlay is hardware accelerated";

PyMethodDef overlay_methods[] = {
    {"set_location", overlay_set_location, METH_VARARGS, set_location_doc},
    {"display", overlay_display, METH_VARARGS, display_doc},
    {"get_hardware", overlay_get_hardware, METH_NOARGS, get_hardware_doc},
    {nullptr, nullptr, 0, nullptr},
};

const char overlay_doc[] =
    "Overlay(format, (width, height)) -> Overlay\nbrilox object for video overlay graphics";

// The records name only the slots they use; every other slot stays empty, so
// the host's defaults apply.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

PyTypeObject overlay_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "brilox.overlay",
    .tp_basicsize = sizeof(OverlayObject),
    .tp_itemsize = 0,
    .tp_dealloc = overlay_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    .tp_doc = overlay_doc,
    .tp_methods = overlay_methods,
    .tp_new = overlay_new,
};

PyMethodDef overlay_module_functions[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef overlay_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "overlay",
    .m_doc = nullptr,
    .m_size = -1,
    .m_methods = overlay_module_functions,
};

#pragma GCC diagnostic pop

}  // namespace

PyMODINIT_FUNC PyInit_overlay(void)
{
    api::import_api_table(api::base_module, api::base_capsule, api::base_slot_count,
                          api_slots + api::base_first);
    if (PyErr_Occurred())
        return nullptr;
    api::import_api_table(api::rect_module, api::rect_capsule, api::rect_slot_count,
                          api_slots + api::rect_first);
    if (PyErr_Occurred())
        return nullptr;
    // Without base slot 1 the module goes on, and its overlays are released
    // only when they die.
    auto register_quit = reinterpret_cast<api::RegisterQuit>(
        api_slots[api::base_first + api::base_register_quit_slot]);
    if (register_quit != nullptr && !register_quit(release_overlays_before_display_goes))
        return nullptr;
    sdl_build = linked_sdl_build();
    if (!brilox::type_ready(&overlay_type))
        return nullptr;
    Ref module = Ref::steal(PyModule_Create2(&overlay_module, 1013));
    if (!module)
        return nullptr;
    if (!brilox::add_to_module(module.get(), "Overlay",
                               Ref::borrow(reinterpret_cast<PyObject *>(&overlay_type))))
        return nullptr;
    return module.release();
}
