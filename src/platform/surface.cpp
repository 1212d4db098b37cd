// brilox.surface: software SDL surfaces, and subsurfaces that show part of
// another surface's pixels.
//
// The instance record begins with the leading fields that pinhold.h declares,
// and every lock goes through brilox.pinhold's lock table, imported through
// its capsule the way any native module of the library imports it.  A
// surface draws through SDL (fill, blit) and lends its pixels through the
// buffer protocol; each view it lends is a locker of its own in the lock
// table while it lives.  Beside that it offers what the tests and benchmarks
// need: a lock on behalf of another object, lifetime locks, the SDL
// surface's address, and C-level loops of lock calls.
#include "api_tables.hpp"
#include "pinhold.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace {

using brilox::Ref;
namespace api = brilox::api;

struct SurfaceInstance {
    SurfaceObject head;  // surface_private: this module keeps nothing there
    PyObject *weakreflist;
    // Buffer views lent by this surface or by any subsurface of it: while
    // there are any, its pixels must stay where they are.
    Py_ssize_t views;
    // The display surface, which SDL owns: never freed here.
    bool display;
    // The display surface after set_mode() or display.quit() ended it.
    bool display_ended;
};

// The locker that a buffer view holds its lock through, with the view's
// shape and strides.
struct ViewLockObject {
    PyObject_HEAD
    PyObject *weakreflist;
    Py_ssize_t shape[3];
    Py_ssize_t strides[3];
};

struct SubsurfaceInstance {
    SubsurfaceRecord head;  // holds a strong reference to the owner
    int depth;              // 1 for a subsurface of a plain surface
};

// Deeper chains would make freeing a subsurface recurse too far.
constexpr int max_subsurface_depth = 1000;

// SDL keeps a surface's pitch in 16 bits and its rectangles' corners in
// signed 16 bits: 4 x 16383 bytes is the widest row of 32-bit pixels.
constexpr int max_surface_side = 16383;

// The byte order R, G, B, A in memory, on either byte order of the machine.
#if SDL_BYTEORDER == SDL_LIL_ENDIAN
constexpr Uint32 red_mask = 0x000000ff, green_mask = 0x0000ff00, blue_mask = 0x00ff0000,
                 alpha_mask = 0xff000000;
#else
constexpr Uint32 red_mask = 0xff000000, green_mask = 0x00ff0000, blue_mask = 0x0000ff00,
                 alpha_mask = 0x000000ff;
#endif

const char display_ended_message[] =
    "the display surface has ended (set_mode() or display.quit() replaced it): "
    "call display.get_surface() again";

void *api_slots[api::importer_slot_count];
void *lock_api[PINHOLD_SLOT_COUNT];

extern PyTypeObject surface_type;
extern PyTypeObject view_lock_type;

SurfaceObject *as_surface(PyObject *object)
{
    return reinterpret_cast<SurfaceObject *>(object);
}

SurfaceInstance *as_instance(SurfaceObject *surface)
{
    return reinterpret_cast<SurfaceInstance *>(surface);
}

SurfaceObject *owner_of(const SurfaceObject *surface)
{
    return surface->subsurface != nullptr ? surface->subsurface->owner : nullptr;
}

template <typename Function>
Function lock_slot(int position)
{
    return reinterpret_cast<Function>(lock_api[position]);
}

SDL_Surface *sdl_surface(PyObject *self)
{
    SDL_Surface *surf = as_surface(self)->surf;
    if (surf == nullptr)
        api::raise_library_error(api_slots,
                                 reinterpret_cast<SurfaceInstance *>(self)->display_ended
                                     ? display_ended_message
                                     : "the surface's SDL surface is gone");
    return surf;
}

// Whether `surface` is the display surface whose mode has ended, whether
// display.quit() or set_mode() said so or SDL's video went another way.
bool display_gone(SurfaceObject *surface)
{
    SurfaceInstance *instance = as_instance(surface);
    if (!instance->display)
        return false;
    return instance->display_ended || !SDL_WasInit(SDL_INIT_VIDEO)
        || SDL_GetVideoSurface() != surface->surf;
}

// The SDL surface to draw on: there only while the surface and every owner
// up its chain of subsurfaces still have theirs.
SDL_Surface *drawable(PyObject *self)
{
    for (SurfaceObject *surface = as_surface(self); surface != nullptr;
         surface = owner_of(surface)) {
        if (display_gone(surface)) {
            api::raise_library_error(api_slots, display_ended_message);
            return nullptr;
        }
        if (surface->surf == nullptr)
            return sdl_surface(reinterpret_cast<PyObject *>(surface));
    }
    return as_surface(self)->surf;
}

// Sets up a new instance of `type` around `surf`, which it then owns.
PyObject *wrap_surface(PyTypeObject *type, SDL_Surface *surf)
{
    PyObject *object = type->tp_alloc(type, 0);
    if (object == nullptr) {
        SDL_FreeSurface(surf);
        return nullptr;
    }
    as_surface(object)->surf = surf;
    return object;
}

// ---- Surface(size, alpha=False) ------------------------------------------

PyObject *surface_new(PyTypeObject *type, PyObject *args, PyObject *kwds)
{
    static char size_keyword[] = "size";
    static char alpha_keyword[] = "alpha";
    static char *keywords[] = {size_keyword, alpha_keyword, nullptr};
    int width = 0, height = 0, alpha = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "(ii)|p:Surface", keywords, &width, &height,
                                     &alpha))
        return nullptr;
    if (width <= 0 || height <= 0) {
        PyErr_SetString(PyExc_ValueError, "surface size must be positive");
        return nullptr;
    }
    if (width > max_surface_side || height > max_surface_side) {
        PyErr_Format(PyExc_ValueError, "surface size must be at most %d x %d",
                     max_surface_side, max_surface_side);
        return nullptr;
    }
    SDL_Surface *surf = SDL_CreateRGBSurface(SDL_SWSURFACE, width, height, 32, red_mask,
                                             green_mask, blue_mask, alpha ? alpha_mask : 0);
    if (surf == nullptr)
        return api::raise_library_error(api_slots, SDL_GetError());
    // Blits from it blend by its alpha channel, or copy it as it is.
    if (SDL_SetAlpha(surf, alpha ? SDL_SRCALPHA : 0, SDL_ALPHA_OPAQUE) < 0) {
        SDL_FreeSurface(surf);
        return api::raise_library_error(api_slots, SDL_GetError());
    }
    return wrap_surface(type, surf);
}

void surface_dealloc(PyObject *object)
{
    auto *self = reinterpret_cast<SurfaceInstance *>(object);
    if (self->weakreflist != nullptr)
        PyObject_ClearWeakRefs(object);
    if (self->head.surf != nullptr && !self->display)
        SDL_FreeSurface(self->head.surf);
    Py_CLEAR(self->head.locklist);
    auto *record = reinterpret_cast<SubsurfaceInstance *>(self->head.subsurface);
    PyObject *owner = nullptr;
    if (record != nullptr) {
        owner = reinterpret_cast<PyObject *>(record->head.owner);
        PyMem_Free(record);
    }
    Py_TYPE(object)->tp_free(object);
    // The owner's pixels were borrowed until now.
    Py_XDECREF(owner);
}

// ---- subsurface ----------------------------------------------------------

PyObject *surface_subsurface(PyObject *self, PyObject *args)
{
    int x = 0, y = 0, width = 0, height = 0;
    if (!PyArg_ParseTuple(args, "(iiii):subsurface", &x, &y, &width, &height))
        return nullptr;
    SDL_Surface *parent = drawable(self);
    if (parent == nullptr)
        return nullptr;
    if (width <= 0 || height <= 0 || x < 0 || y < 0 || x > parent->w - width ||
        y > parent->h - height) {
        PyErr_SetString(PyExc_ValueError, "subsurface rectangle outside surface");
        return nullptr;
    }
    auto *parent_record = reinterpret_cast<SubsurfaceInstance *>(as_surface(self)->subsurface);
    int depth = parent_record != nullptr ? parent_record->depth + 1 : 1;
    if (depth > max_subsurface_depth) {
        PyErr_SetString(PyExc_ValueError, "subsurfaces nest too deeply");
        return nullptr;
    }
    const SDL_PixelFormat *format = parent->format;
    std::int64_t offset = std::int64_t{y} * parent->pitch + std::int64_t{x} * format->BytesPerPixel;
    if (offset > INT32_MAX) {
        PyErr_SetString(PyExc_ValueError, "subsurface offset too large");
        return nullptr;
    }

    auto *record = static_cast<SubsurfaceInstance *>(PyMem_Malloc(sizeof(SubsurfaceInstance)));
    if (record == nullptr)
        return PyErr_NoMemory();
    SDL_Surface *surf = SDL_CreateRGBSurfaceFrom(
        static_cast<Uint8 *>(parent->pixels) + offset, width, height, format->BitsPerPixel,
        parent->pitch, format->Rmask, format->Gmask, format->Bmask, format->Amask);
    // It blits the way its owner does.
    if (surf == nullptr
        || SDL_SetAlpha(surf, parent->flags & SDL_SRCALPHA, parent->format->alpha) < 0) {
        if (surf != nullptr)
            SDL_FreeSurface(surf);
        PyMem_Free(record);
        return api::raise_library_error(api_slots, SDL_GetError());
    }
    PyObject *child = wrap_surface(&surface_type, surf);
    if (child == nullptr) {
        PyMem_Free(record);
        return nullptr;
    }
    Py_INCREF(self);
    record->head.owner = as_surface(self);
    record->head.pixeloffset = static_cast<Sint32>(offset);
    record->depth = depth;
    as_surface(child)->subsurface = &record->head;
    return child;
}

// ---- get_size, get_parent ------------------------------------------------

PyObject *surface_get_size(PyObject *self, PyObject *)
{
    SDL_Surface *surf = sdl_surface(self);
    if (surf == nullptr)
        return nullptr;
    return Py_BuildValue("(ii)", surf->w, surf->h);
}

PyObject *surface_get_parent(PyObject *self, PyObject *)
{
    SubsurfaceRecord *record = as_surface(self)->subsurface;
    if (record == nullptr)
        return brilox::none();
    return Ref::borrow(reinterpret_cast<PyObject *>(record->owner)).release();
}

// ---- lock, unlock, lock_by, unlock_by ------------------------------------

PyObject *surface_lock(PyObject *self, PyObject *)
{
    if (!lock_slot<PinholdLockFunc>(PINHOLD_SLOT_LOCK_SURFACE)(as_surface(self)))
        return nullptr;
    return brilox::none();
}

PyObject *surface_unlock(PyObject *self, PyObject *)
{
    if (!lock_slot<PinholdLockFunc>(PINHOLD_SLOT_UNLOCK_SURFACE)(as_surface(self)))
        return nullptr;
    return brilox::none();
}

PyObject *surface_lock_by(PyObject *self, PyObject *locker)
{
    if (!lock_slot<PinholdLockByFunc>(PINHOLD_SLOT_LOCK_SURFACE_BY)(as_surface(self), locker))
        return nullptr;
    return brilox::none();
}

PyObject *surface_unlock_by(PyObject *self, PyObject *locker)
{
    if (!lock_slot<PinholdLockByFunc>(PINHOLD_SLOT_UNLOCK_SURFACE_BY)(as_surface(self), locker))
        return nullptr;
    return brilox::none();
}

// ---- lifetime_lock -------------------------------------------------------

PyObject *surface_lifetime_lock(PyObject *self, PyObject *locker)
{
    auto lock_for_lifetime =
        lock_slot<PinholdLifetimeLockFunc>(PINHOLD_SLOT_LOCK_SURFACE_FOR_LIFETIME);
    return lock_for_lifetime(as_surface(self), locker);
}

// ---- get_locked, get_locks -----------------------------------------------

PyObject *surface_get_locked(PyObject *self, PyObject *)
{
    PyObject *list = as_surface(self)->locklist;
    return PyBool_FromLong(list != nullptr && PyList_GET_SIZE(list) > 0);
}

PyObject *surface_get_locks(PyObject *self, PyObject *)
{
    PyObject *list = as_surface(self)->locklist;
    Py_ssize_t size = list != nullptr ? PyList_GET_SIZE(list) : 0;
    Ref lockers = Ref::steal(PyList_New(0));
    if (!lockers)
        return nullptr;
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject *entry = PyList_GET_ITEM(list, i);
        if (!PyWeakref_Check(entry))
            continue;
        Ref locker = brilox::weakref_target(entry);
        if (locker && PyList_Append(lockers.get(), locker.get()) < 0)
            return nullptr;
    }
    return PyList_AsTuple(lockers.get());
}

// ---- the buffer protocol -------------------------------------------------
//
// A view is (height, width, 4) unsigned bytes, one row per pitch, so a
// subsurface's view strides through its owner's rows.  Each view locks the
// surface through the lock table on behalf of a ViewLock of its own, which
// the view keeps (in Py_buffer.internal) and gives back when it is released.
// The view also holds a reference to the surface, so the surface cannot die
// under it; freeing the SDL surface and ending the display are refused while
// any view of it, or of a subsurface of it, is out.

void count_views(PyObject *self, Py_ssize_t change)
{
    for (SurfaceObject *surface = as_surface(self); surface != nullptr;
         surface = owner_of(surface))
        as_instance(surface)->views += change;
}

bool has_views(PyObject *self)
{
    return reinterpret_cast<SurfaceInstance *>(self)->views > 0;
}

int refuse_view(const char *message)
{
    PyErr_SetString(PyExc_BufferError, message);
    return -1;
}

int surface_getbuffer(PyObject *self, Py_buffer *view, int flags)
{
    SDL_Surface *surf = drawable(self);
    if (surf == nullptr)
        return -1;
    if (surf->format->BytesPerPixel != 4) {
        PyErr_Format(PyExc_BufferError,
                     "a view of a surface needs 32-bit pixels; this one has %d bits",
                     static_cast<int>(surf->format->BitsPerPixel));
        return -1;
    }
    const Py_ssize_t width = surf->w, height = surf->h, pitch = surf->pitch;
    const bool contiguous = pitch == width * 4 || height == 1;
    constexpr int c_order = PyBUF_C_CONTIGUOUS & ~PyBUF_STRIDES;
    constexpr int f_order = PyBUF_F_CONTIGUOUS & ~PyBUF_STRIDES;
    constexpr int any_order = PyBUF_ANY_CONTIGUOUS & ~PyBUF_STRIDES;
    if (flags & f_order)
        return refuse_view("a surface's pixels lie row by row, not column by column");
    if (!contiguous && ((flags & (c_order | any_order)) != 0
                        || (flags & PyBUF_STRIDES) != PyBUF_STRIDES))
        return refuse_view("this surface's rows are not contiguous (a subsurface strides "
                           "through its owner's rows): ask for strides");

    auto *locker = PyObject_New(ViewLockObject, &view_lock_type);
    if (locker == nullptr)
        return -1;
    locker->weakreflist = nullptr;
    Ref hold_locker = Ref::steal(reinterpret_cast<PyObject *>(locker));
    if (!lock_slot<PinholdLockByFunc>(PINHOLD_SLOT_LOCK_SURFACE_BY)(as_surface(self),
                                                                    hold_locker.get())) {
        // An entry SDL refused is given back now, not at the next unlock.
        brilox::HeldError refused;
        refused.take();
        if (!lock_slot<PinholdLockByFunc>(PINHOLD_SLOT_UNLOCK_SURFACE_BY)(as_surface(self),
                                                                          hold_locker.get()))
            PyErr_Clear();
        return -1;
    }
    // Read after the lock, which points a subsurface at its owner's pixels.
    surf = as_surface(self)->surf;
    locker->shape[0] = height;
    locker->shape[1] = width;
    locker->shape[2] = 4;
    locker->strides[0] = pitch;
    locker->strides[1] = 4;
    locker->strides[2] = 1;

    view->buf = surf->pixels;
    view->obj = Ref::borrow(self).release();
    view->len = height * width * 4;
    view->readonly = 0;
    view->itemsize = 1;
    view->format = (flags & PyBUF_FORMAT) ? const_cast<char *>("B") : nullptr;
    if ((flags & PyBUF_ND) != PyBUF_ND) {
        view->ndim = 1;
        view->shape = nullptr;
    } else {
        view->ndim = 3;
        view->shape = locker->shape;
    }
    view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? locker->strides : nullptr;
    view->suboffsets = nullptr;
    view->internal = hold_locker.release();
    count_views(self, 1);
    return 0;
}

void surface_releasebuffer(PyObject *self, Py_buffer *view)
{
    Ref locker = Ref::steal(static_cast<PyObject *>(view->internal));
    view->internal = nullptr;
    count_views(self, -1);
    brilox::HeldError pending;
    pending.take();
    // Should the entry not come out, the locker's death leaves it dead, and
    // the next unlock of the surface gives it back.
    if (!lock_slot<PinholdLockByFunc>(PINHOLD_SLOT_UNLOCK_SURFACE_BY)(as_surface(self),
                                                                      locker.get()))
        PyErr_WriteUnraisable(self);
}

void view_lock_dealloc(PyObject *object)
{
    auto *self = reinterpret_cast<ViewLockObject *>(object);
    if (self->weakreflist != nullptr)
        PyObject_ClearWeakRefs(object);
    PyObject_Free(object);
}

// ---- rectangles ----------------------------------------------------------

// Reads a rectangle through the rect table, or raises TypeError naming `what`.
bool read_rect(PyObject *object, const char *what, api::IntRect *rect)
{
    auto rect_from_object = reinterpret_cast<api::RectFromObject>(
        api_slots[api::rect_first + api::rect_from_object_slot]);
    const api::IntRect *read = rect_from_object(object, rect);
    if (read == nullptr) {
        PyErr_Format(PyExc_TypeError, "%s must be (x, y, w, h) or ((x, y), (w, h)), not %R",
                     what, object);
        return false;
    }
    *rect = *read;
    return true;
}

// A rectangle clipped to the w x h surface it names part of.
struct Clipped {
    std::int64_t x, y, w, h;
    bool empty() const { return w <= 0 || h <= 0; }
};

// Clips `rect` to a w x h surface.  A rect of negative size, or of positive
// size that shares no pixel with the surface, is refused with ValueError.
bool clip_to(const api::IntRect &rect, const char *what, int w, int h, Clipped *out)
{
    if (rect.w < 0 || rect.h < 0) {
        PyErr_Format(PyExc_ValueError, "%s (%d, %d, %d, %d) has a negative size", what,
                     static_cast<int>(rect.x), static_cast<int>(rect.y),
                     static_cast<int>(rect.w), static_cast<int>(rect.h));
        return false;
    }
    const std::int64_t x0 = std::max<std::int64_t>(rect.x, 0);
    const std::int64_t y0 = std::max<std::int64_t>(rect.y, 0);
    const std::int64_t x1 = std::min<std::int64_t>(std::int64_t{rect.x} + rect.w, w);
    const std::int64_t y1 = std::min<std::int64_t>(std::int64_t{rect.y} + rect.h, h);
    *out = {x0, y0, x1 - x0, y1 - y0};
    if (out->empty() && rect.w > 0 && rect.h > 0) {
        PyErr_Format(PyExc_ValueError, "%s (%d, %d, %d, %d) lies outside the %s (%d x %d)",
                     what, static_cast<int>(rect.x), static_cast<int>(rect.y),
                     static_cast<int>(rect.w), static_cast<int>(rect.h),
                     std::strcmp(what, "area") == 0 ? "source surface" : "surface", w, h);
        return false;
    }
    return true;
}

PyObject *rect_tuple(std::int64_t x, std::int64_t y, std::int64_t w, std::int64_t h)
{
    return Py_BuildValue("(LLLL)", static_cast<long long>(x), static_cast<long long>(y),
                         static_cast<long long>(w), static_cast<long long>(h));
}

// ---- fill ----------------------------------------------------------------

// Reads (r, g, b) or (r, g, b, a), each an integer from 0 to 255.
bool read_colour(PyObject *object, Uint8 rgba[4])
{
    rgba[3] = SDL_ALPHA_OPAQUE;
    Ref items;
    if (PySequence_Check(object) && !PyUnicode_Check(object) && !PyBytes_Check(object)
        && !PyByteArray_Check(object))
        items = Ref::steal(PySequence_Tuple(object));
    if (!items) {
        PyErr_Format(PyExc_TypeError, "colour must be (r, g, b) or (r, g, b, a), not %R",
                     object);
        return false;
    }
    const Py_ssize_t count = PyTuple_GET_SIZE(items.get());
    if (count != 3 && count != 4) {
        PyErr_Format(PyExc_ValueError, "colour must have 3 or 4 components, not %zd", count);
        return false;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *item = PyTuple_GET_ITEM(items.get(), i);
        // Any integer, numpy's among them, but no float.
        if (!PyIndex_Check(item)) {
            PyErr_Format(PyExc_TypeError, "colour components must be integers, not %R", item);
            return false;
        }
        Ref index = Ref::steal(PyNumber_Index(item));
        if (!index)
            return false;
        int overflow = 0;
        const long value = PyLong_AsLongAndOverflow(index.get(), &overflow);
        if (value == -1 && PyErr_Occurred())
            return false;
        if (overflow != 0 || value < 0 || value > 255) {
            PyErr_Format(PyExc_ValueError, "colour components must be 0 to 255, not %R", item);
            return false;
        }
        rgba[i] = static_cast<Uint8>(value);
    }
    return true;
}

PyObject *surface_fill(PyObject *self, PyObject *args, PyObject *kwds)
{
    static char colour_keyword[] = "colour";
    static char rect_keyword[] = "rect";
    static char *keywords[] = {colour_keyword, rect_keyword, nullptr};
    PyObject *colour = nullptr, *rect_arg = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O:fill", keywords, &colour, &rect_arg))
        return nullptr;
    Uint8 rgba[4];
    if (!read_colour(colour, rgba))
        return nullptr;
    api::IntRect rect{};
    if (rect_arg != Py_None && !read_rect(rect_arg, "rect", &rect))
        return nullptr;
    SDL_Surface *surf = drawable(self);
    if (surf == nullptr)
        return nullptr;
    if (rect_arg == Py_None)
        rect = {0, 0, surf->w, surf->h};
    Clipped clipped{};
    if (!clip_to(rect, "rect", surf->w, surf->h, &clipped))
        return nullptr;
    if (clipped.empty())
        return rect_tuple(rect.x, rect.y, 0, 0);
    SDL_Rect target = {static_cast<Sint16>(clipped.x), static_cast<Sint16>(clipped.y),
                       static_cast<Uint16>(clipped.w), static_cast<Uint16>(clipped.h)};
    const Uint32 pixel = SDL_MapRGBA(surf->format, rgba[0], rgba[1], rgba[2], rgba[3]);
    if (SDL_FillRect(surf, &target, pixel) < 0)
        return api::raise_library_error(api_slots, SDL_GetError());
    return rect_tuple(clipped.x, clipped.y, clipped.w, clipped.h);
}

// ---- blit ----------------------------------------------------------------

// Reads a blit's destination: (x, y), or a rect whose size is not used.
bool read_position(PyObject *object, std::int64_t *x, std::int64_t *y)
{
    api::IntRect rect{};
    auto rect_from_object = reinterpret_cast<api::RectFromObject>(
        api_slots[api::rect_first + api::rect_from_object_slot]);
    if (rect_from_object(object, &rect) == nullptr) {
        int px = 0, py = 0;
        if (!PyTuple_Check(object) && !PyList_Check(object)) {
            PyErr_Format(PyExc_TypeError, "dest must be (x, y) or a rect, not %R", object);
            return false;
        }
        Ref pair = Ref::steal(PySequence_Tuple(object));
        if (!pair || !PyArg_ParseTuple(pair.get(), "ii", &px, &py)) {
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, "dest must be (x, y) or a rect, not %R", object);
            return false;
        }
        rect.x = px;
        rect.y = py;
    }
    *x = rect.x;
    *y = rect.y;
    return true;
}

// The surface at the top of a chain of subsurfaces, whose pixels they all share.
SurfaceObject *root_of(PyObject *object)
{
    SurfaceObject *surface = as_surface(object);
    while (owner_of(surface) != nullptr)
        surface = owner_of(surface);
    return surface;
}

// True, with the list's dead lockers purged, while anything holds a lock.
bool locked_now(PyObject *object)
{
    SurfaceObject *surface = as_surface(object);
    if (surface->locklist == nullptr)
        return false;
    if (!lock_slot<PinholdLockByFunc>(PINHOLD_SLOT_UNLOCK_SURFACE_BY)(surface, nullptr))
        PyErr_Clear();
    return surface->locklist != nullptr && PyList_Check(surface->locklist)
        && PyList_GET_SIZE(surface->locklist) > 0;
}

// A copy of `area` of `src` in a surface of its own, blitting as `src` does:
// SDL's blitter must not read pixels it is writing.
SDL_Surface *copy_area(SDL_Surface *src, const SDL_Rect &area)
{
    const SDL_PixelFormat *format = src->format;
    SDL_Surface *copy =
        SDL_CreateRGBSurface(SDL_SWSURFACE, area.w, area.h, format->BitsPerPixel,
                             format->Rmask, format->Gmask, format->Bmask, format->Amask);
    if (copy == nullptr)
        return nullptr;
    const Uint8 *from = static_cast<const Uint8 *>(src->pixels) + area.y * src->pitch
        + area.x * format->BytesPerPixel;
    auto *to = static_cast<Uint8 *>(copy->pixels);
    for (int row = 0; row < area.h; ++row)
        std::memcpy(to + row * copy->pitch, from + row * src->pitch,
                    std::size_t{area.w} * format->BytesPerPixel);
    if (SDL_SetAlpha(copy, src->flags & SDL_SRCALPHA, format->alpha) < 0
        || SDL_SetColorKey(copy, src->flags & SDL_SRCCOLORKEY, format->colorkey) < 0) {
        SDL_FreeSurface(copy);
        return nullptr;
    }
    return copy;
}

PyObject *surface_blit(PyObject *self, PyObject *args, PyObject *kwds)
{
    static char source_keyword[] = "source";
    static char dest_keyword[] = "dest";
    static char area_keyword[] = "area";
    static char *keywords[] = {source_keyword, dest_keyword, area_keyword, nullptr};
    PyObject *source = nullptr, *dest = nullptr, *area_arg = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O!|OO:blit", keywords, &surface_type,
                                     &source, &dest, &area_arg))
        return nullptr;
    std::int64_t x = 0, y = 0;
    if (dest != nullptr && !read_position(dest, &x, &y))
        return nullptr;
    api::IntRect area{};
    if (area_arg != Py_None && !read_rect(area_arg, "area", &area))
        return nullptr;
    SDL_Surface *dst = drawable(self);
    if (dst == nullptr)
        return nullptr;
    SDL_Surface *src = drawable(source);
    if (src == nullptr)
        return nullptr;
    // Refused wherever the blit would land, so that a game learns of it the
    // first time, not when a sprite comes on screen.
    if (locked_now(self) || locked_now(source))
        return api::raise_library_error(
            api_slots, "cannot blit while either surface is locked (by lock(), lock_by(), "
                       "lifetime_lock() or a buffer view such as a memoryview or a numpy "
                       "array of it): SDL's blitter refuses locked surfaces");
    if (area_arg == Py_None)
        area = {0, 0, src->w, src->h};
    Clipped from{};
    if (!clip_to(area, "area", src->w, src->h, &from))
        return nullptr;
    // Where the part of the area inside the source lands, then that clipped
    // to the destination, the area following.
    x += from.x - area.x;
    y += from.y - area.y;
    const std::int64_t x0 = std::max<std::int64_t>(x, 0), y0 = std::max<std::int64_t>(y, 0);
    const std::int64_t x1 = std::min<std::int64_t>(x + from.w, dst->w);
    const std::int64_t y1 = std::min<std::int64_t>(y + from.h, dst->h);
    if (from.empty() || x1 <= x0 || y1 <= y0)
        return rect_tuple(x, y, 0, 0);
    SDL_Rect src_rect = {static_cast<Sint16>(from.x + (x0 - x)),
                         static_cast<Sint16>(from.y + (y0 - y)), static_cast<Uint16>(x1 - x0),
                         static_cast<Uint16>(y1 - y0)};
    SDL_Rect dst_rect = {static_cast<Sint16>(x0), static_cast<Sint16>(y0), 0, 0};

    // A surface blitted onto itself, or onto a surface that shares its
    // pixels, is blitted from a copy of the area.
    SDL_Surface *copy = nullptr;
    if (root_of(self) == root_of(source) || root_of(self)->surf == root_of(source)->surf) {
        if (src->format->BitsPerPixel == 8)
            return api::raise_library_error(
                api_slots, "cannot blit an 8-bit surface onto pixels it shares: SDL's "
                           "blitter does not allow the two to overlap");
        copy = copy_area(src, src_rect);
        if (copy == nullptr)
            return api::raise_library_error(api_slots, SDL_GetError());
        src_rect = {0, 0, static_cast<Uint16>(copy->w), static_cast<Uint16>(copy->h)};
    }
    const int blitted = SDL_BlitSurface(copy != nullptr ? copy : src, &src_rect, dst, &dst_rect);
    if (copy != nullptr)
        SDL_FreeSurface(copy);
    if (blitted < 0)
        return api::raise_library_error(api_slots, SDL_GetError());
    return rect_tuple(dst_rect.x, dst_rect.y, dst_rect.w, dst_rect.h);
}

// ---- test and benchmark helpers ------------------------------------------

PyObject *surface_sdl_address(PyObject *self, PyObject *)
{
    return PyLong_FromVoidPtr(as_surface(self)->surf);
}

PyObject *surface_drop_sdl_surface(PyObject *self, PyObject *)
{
    if (has_views(self))
        return api::raise_library_error(api_slots,
                                        "cannot free a surface while buffer views of it are out");
    SDL_Surface *surf = as_surface(self)->surf;
    as_surface(self)->surf = nullptr;
    if (surf != nullptr && !reinterpret_cast<SurfaceInstance *>(self)->display)
        SDL_FreeSurface(surf);
    return brilox::none();
}

// ---- the display surface -------------------------------------------------
//
// brilox.display hands out the display surface through these two: one
// Surface per mode, which it ends before the mode goes.

PyObject *surface_display_surface(PyObject *, PyObject *)
{
    SDL_Surface *surf = SDL_WasInit(SDL_INIT_VIDEO) ? SDL_GetVideoSurface() : nullptr;
    if (surf == nullptr || surf->format == nullptr)
        return api::raise_library_error(api_slots, "Display mode not set");
    PyObject *object = surface_type.tp_alloc(&surface_type, 0);
    if (object == nullptr)
        return nullptr;
    as_surface(object)->surf = surf;
    reinterpret_cast<SurfaceInstance *>(object)->display = true;
    return object;
}

PyObject *surface_end_display(PyObject *self, PyObject *)
{
    auto *instance = reinterpret_cast<SurfaceInstance *>(self);
    if (!instance->display) {
        PyErr_SetString(PyExc_TypeError, "not the display surface");
        return nullptr;
    }
    if (has_views(self))
        return api::raise_library_error(
            api_slots, "the display surface has buffer views out (a memoryview or a numpy "
                       "array of it, or of a subsurface of it): release them before "
                       "set_mode() or quit()");
    instance->display_ended = true;
    as_surface(self)->surf = nullptr;
    return brilox::none();
}

PyObject *surface_set_lock_list(PyObject *self, PyObject *list)
{
    if (list != Py_None && !PyList_Check(list)) {
        PyErr_SetString(PyExc_TypeError, "lock list must be a list or None");
        return nullptr;
    }
    PyObject *old = as_surface(self)->locklist;
    as_surface(self)->locklist = list != Py_None ? Ref::borrow(list).release() : nullptr;
    Py_XDECREF(old);
    return brilox::none();
}

PyObject *surface_lock_cycles(PyObject *self, PyObject *args)
{
    PyObject *locker = nullptr;
    Py_ssize_t count = 0;
    if (!PyArg_ParseTuple(args, "On:_lock_cycles", &locker, &count))
        return nullptr;
    auto lock_by = lock_slot<PinholdLockByFunc>(PINHOLD_SLOT_LOCK_SURFACE_BY);
    auto unlock_by = lock_slot<PinholdLockByFunc>(PINHOLD_SLOT_UNLOCK_SURFACE_BY);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!lock_by(as_surface(self), locker) || !unlock_by(as_surface(self), locker))
            return nullptr;
    }
    return brilox::none();
}

// The least a counted lock and unlock must do: make a weak reference, append
// it to a list, delete it again, and lock and unlock the SDL surface.
PyObject *surface_floor_cycles(PyObject *self, PyObject *args)
{
    PyObject *locker = nullptr;
    Py_ssize_t count = 0;
    if (!PyArg_ParseTuple(args, "On:_floor_cycles", &locker, &count))
        return nullptr;
    SDL_Surface *surf = sdl_surface(self);
    if (surf == nullptr)
        return nullptr;
    Ref list = Ref::steal(PyList_New(0));
    if (!list)
        return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref entry = Ref::steal(PyWeakref_NewRef(locker, nullptr));
        if (!entry || PyList_Append(list.get(), entry.get()) < 0)
            return nullptr;
        entry.reset();
        if (PySequence_DelItem(list.get(), PyList_GET_SIZE(list.get()) - 1) < 0)
            return nullptr;
        if (SDL_LockSurface(surf) < 0)
            return api::raise_library_error(api_slots, SDL_GetError());
        SDL_UnlockSurface(surf);
    }
    return brilox::none();
}

PyObject *surface_lifetime_lock_without_surface(PyObject *, PyObject *locker)
{
    auto lock_for_lifetime =
        lock_slot<PinholdLifetimeLockFunc>(PINHOLD_SLOT_LOCK_SURFACE_FOR_LIFETIME);
    return lock_for_lifetime(nullptr, locker);
}

// A full collection run inside an allocation, as the collector itself ran
// them before 3.12 (since then it waits for the next check of the eval
// loop).  The hook wraps the host's object allocator for the first
// allocation only.
PyMemAllocatorEx host_object_allocator;
bool collection_armed = false;

void collect_once()
{
    if (!collection_armed)
        return;
    collection_armed = false;
    PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &host_object_allocator);
    // Whatever error is pending stays so; one that the collection raises
    // cannot be reported from inside an allocation.
    brilox::HeldError pending;
    pending.take();
    Ref gc = Ref::steal(PyImport_ImportModule("gc"));
    if (gc)
        Py_XDECREF(PyObject_CallMethod(gc.get(), "collect", nullptr));
    PyErr_Clear();
}

void *collecting_malloc(void *, std::size_t size)
{
    collect_once();
    return host_object_allocator.malloc(host_object_allocator.ctx, size);
}

void *collecting_calloc(void *, std::size_t count, std::size_t size)
{
    collect_once();
    return host_object_allocator.calloc(host_object_allocator.ctx, count, size);
}

void *collecting_realloc(void *, void *block, std::size_t size)
{
    collect_once();
    return host_object_allocator.realloc(host_object_allocator.ctx, block, size);
}

void collecting_free(void *, void *block)
{
    host_object_allocator.free(host_object_allocator.ctx, block);
}

PyObject *surface_collect_in_first_allocation(PyObject *, PyObject *function)
{
    if (collection_armed) {
        PyErr_SetString(PyExc_RuntimeError, "a collection is armed already");
        return nullptr;
    }
    PyMem_GetAllocator(PYMEM_DOMAIN_OBJ, &host_object_allocator);
    PyMemAllocatorEx collecting = {nullptr, collecting_malloc, collecting_calloc,
                                   collecting_realloc, collecting_free};
    collection_armed = true;
    PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &collecting);
    Ref result = Ref::steal(PyObject_CallObject(function, nullptr));
    if (collection_armed) {
        collection_armed = false;
        PyMem_SetAllocator(PYMEM_DOMAIN_OBJ, &host_object_allocator);
    }
    return result.release();
}

const char surface_doc[] =
    "Surface(size, alpha=False)\n--\n\n"
    "a 32-bit software SDL surface of size (width, height), its pixels' bytes\n"
    "R, G, B, A in memory; with alpha, blits from it blend by its alpha channel,\n"
    "without, the fourth byte is unused.  memoryview(surface) is a writable\n"
    "(height, width, 4) view of its bytes, rows one pitch apart, that locks the\n"
    "surface while it lives";

PyMethodDef surface_methods[] = {
    {"fill", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(surface_fill)),
     METH_VARARGS | METH_KEYWORDS,
     "fill($self, /, colour, rect=None)\n--\n\n"
     "fill rect (the whole surface when None), clipped to the surface, with\n"
     "colour, (r, g, b) or (r, g, b, a), written as it is, without blending;\n"
     "returns the rectangle filled, (x, y, w, h)"},
    {"blit", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(surface_blit)),
     METH_VARARGS | METH_KEYWORDS,
     "blit($self, /, source, dest=(0, 0), area=None)\n--\n\n"
     "draw area of source (all of it when None) with its corner at dest, (x, y)\n"
     "or a rect, through SDL's blitter: a source with alpha blends by it; returns\n"
     "the rectangle changed, (x, y, w, h), of size 0 where nothing was.  Neither\n"
     "surface may be locked (a buffer view locks it); a source that shares pixels\n"
     "with this surface is blitted from a copy of the area"},
    {"subsurface", surface_subsurface, METH_VARARGS,
     "subsurface($self, rect, /)\n--\n\n"
     "a surface that shows this one's pixels inside the rectangle (x, y, width, height)"},
    {"get_size", surface_get_size, METH_NOARGS,
     "get_size($self, /)\n--\n\nthe surface's size, (width, height)"},
    {"get_parent", surface_get_parent, METH_NOARGS,
     "get_parent($self, /)\n--\n\nthe surface a subsurface shows part of; None for one that\n"
     "is no subsurface"},
    {"lock", surface_lock, METH_NOARGS,
     "lock($self, /)\n--\n\nlock the surface on its own behalf"},
    {"unlock", surface_unlock, METH_NOARGS,
     "unlock($self, /)\n--\n\ngive back a lock taken by lock()"},
    {"lock_by", surface_lock_by, METH_O,
     "lock_by($self, locker, /)\n--\n\nlock the surface on behalf of locker"},
    {"unlock_by", surface_unlock_by, METH_O,
     "unlock_by($self, locker, /)\n--\n\ngive back a lock taken on behalf of locker"},
    {"lifetime_lock", surface_lifetime_lock, METH_O,
     "lifetime_lock($self, locker, /)\n--\n\n"
     "a lock on behalf of locker, a SurfLifeLock, that is given back when it dies"},
    {"get_locked", surface_get_locked, METH_NOARGS,
     "get_locked($self, /)\n--\n\ntrue while any lock on the surface is outstanding"},
    {"get_locks", surface_get_locks, METH_NOARGS,
     "get_locks($self, /)\n--\n\nthe living lockers as a tuple, one item per lock, oldest first"},
    {"_sdl_address", surface_sdl_address, METH_NOARGS,
     "_sdl_address($self, /)\n--\n\nthe address of the SDL_Surface, 0 when it is gone"},
    {"_drop_sdl_surface", surface_drop_sdl_surface, METH_NOARGS,
     "_drop_sdl_surface($self, /)\n--\n\n"
     "free the SDL surface now, leaving the object without one"},
    {"_set_lock_list", surface_set_lock_list, METH_O,
     "_set_lock_list($self, entries, /)\n--\n\nreplace the lock list with entries, a list or None"},
    {"_lock_cycles", surface_lock_cycles, METH_VARARGS,
     "_lock_cycles($self, locker, count, /)\n--\n\n"
     "lock and unlock on behalf of locker, count times"},
    {"_end_display", surface_end_display, METH_NOARGS,
     "_end_display($self, /)\n--\n\n"
     "end the display surface before its mode goes; refused while views are out"},
    {"_floor_cycles", surface_floor_cycles, METH_VARARGS,
     "_floor_cycles($self, locker, count, /)\n--\n\n"
     "make, append and delete a weak reference to locker and lock and unlock the SDL "
     "surface, count times"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef module_methods[] = {
    {"_display_surface", surface_display_surface, METH_NOARGS,
     "_display_surface($module, /)\n--\n\n"
     "a new Surface of the display surface, which SDL keeps; display.get_surface()\n"
     "gives the one that set_mode() and quit() end"},
    {"_lifetime_lock_without_surface", surface_lifetime_lock_without_surface, METH_O,
     "_lifetime_lock_without_surface($module, locker, /)\n--\n\n"
     "ask for a lifetime lock on no surface"},
    {"_collect_in_first_allocation", surface_collect_in_first_allocation, METH_O,
     "_collect_in_first_allocation($module, function, /)\n--\n\n"
     "call function() with a full collection run inside the first object allocation it "
     "makes, and return what it returns"},
    {nullptr, nullptr, 0, nullptr},
};

PyBufferProcs surface_as_buffer = {surface_getbuffer, surface_releasebuffer};

PyTypeObject surface_type;
PyTypeObject view_lock_type;

const char view_lock_doc[] =
    "the locker through which a buffer view of a Surface holds its lock; it\n"
    "shows in the surface's get_locks() while the view lives";

void fill_view_lock_type()
{
    PyTypeObject &type = view_lock_type;
    if (type.tp_name != nullptr)
        return;
    Py_INCREF(&type);
    type.tp_name = "brilox.surface.ViewLock";
    type.tp_basicsize = sizeof(ViewLockObject);
    type.tp_dealloc = view_lock_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_doc = view_lock_doc;
    type.tp_weaklistoffset = offsetof(ViewLockObject, weakreflist);
}

// Fills the type record before it is readied; once is enough.
void fill_surface_type()
{
    PyTypeObject &type = surface_type;
    if (type.tp_name != nullptr)
        return;
    // A static type holds a reference to itself, so it is never freed.
    Py_INCREF(&type);
    type.tp_name = "brilox.surface.Surface";
    type.tp_basicsize = sizeof(SurfaceInstance);
    type.tp_itemsize = 0;
    type.tp_dealloc = surface_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT;
    type.tp_doc = surface_doc;
    type.tp_weaklistoffset = offsetof(SurfaceInstance, weakreflist);
    type.tp_as_buffer = &surface_as_buffer;
    type.tp_methods = surface_methods;
    type.tp_new = surface_new;
}

PyModuleDef surface_module = {
    PyModuleDef_HEAD_INIT,
    "surface",
    "brilox module for software surfaces",
    -1,
    module_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_surface(void)
{
    api::import_api_table(api::base_module, api::base_capsule, api::base_slot_count,
                          api_slots + api::base_first);
    if (PyErr_Occurred())
        return nullptr;
    api::import_api_table(api::rect_module, api::rect_capsule, api::rect_slot_count,
                          api_slots + api::rect_first);
    if (PyErr_Occurred())
        return nullptr;
    if (api_slots[api::rect_first + api::rect_from_object_slot] == nullptr) {
        PyErr_SetString(PyExc_ImportError, "brilox.rect publishes no rect_from_object");
        return nullptr;
    }
    if (pinhold_import_table(lock_api) < 0)
        return nullptr;
    fill_surface_type();
    fill_view_lock_type();
    if (!brilox::type_ready(&surface_type) || !brilox::type_ready(&view_lock_type))
        return nullptr;
    Ref module = Ref::steal(PyModule_Create2(&surface_module, 1013));
    if (!module)
        return nullptr;
    if (!brilox::add_to_module(module.get(), "Surface",
                               Ref::borrow(reinterpret_cast<PyObject *>(&surface_type))))
        return nullptr;
    if (!brilox::add_to_module(module.get(), "ViewLock",
                               Ref::borrow(reinterpret_cast<PyObject *>(&view_lock_type))))
        return nullptr;
    return module.release();
}
