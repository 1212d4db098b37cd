// brilox.surface: software SDL surfaces, and subsurfaces that show part of
// another surface's pixels.
//
// The instance record begins with the leading fields that pinhold.h declares,
// and every lock goes through brilox.pinhold's lock table, imported through
// its capsule the way any native module of the library imports it.  Beside
// the plain surface methods it offers what the tests and benchmarks need: a
// lock on behalf of another object, lifetime locks, the SDL surface's
// address, and C-level loops of lock calls.
#include "api_tables.hpp"
#include "pinhold.h"

#include <cstddef>
#include <cstdint>

namespace {

using brilox::Ref;
namespace api = brilox::api;

struct SurfaceInstance {
    SurfaceObject head;  // surface_private: this module keeps nothing there
    PyObject *weakreflist;
};

struct SubsurfaceInstance {
    SubsurfaceRecord head;  // holds a strong reference to the owner
    int depth;              // 1 for a subsurface of a plain surface
};

// Deeper chains would make freeing a subsurface recurse too far.
constexpr int max_subsurface_depth = 1000;

void *api_slots[api::importer_slot_count];
void *lock_api[PINHOLD_SLOT_COUNT];

extern PyTypeObject surface_type;

SurfaceObject *as_surface(PyObject *object)
{
    return reinterpret_cast<SurfaceObject *>(object);
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
        api::raise_library_error(api_slots, "the surface's SDL surface is gone");
    return surf;
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

// ---- Surface(size) -------------------------------------------------------

PyObject *surface_new(PyTypeObject *type, PyObject *args, PyObject *kwds)
{
    static char size_keyword[] = "size";
    static char *keywords[] = {size_keyword, nullptr};
    int width = 0, height = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "(ii):Surface", keywords, &width, &height))
        return nullptr;
    if (width <= 0 || height <= 0) {
        PyErr_SetString(PyExc_ValueError, "surface size must be positive");
        return nullptr;
    }
    SDL_Surface *surf = SDL_CreateRGBSurface(SDL_SWSURFACE, width, height, 32, 0x00ff0000,
                                             0x0000ff00, 0x000000ff, 0);
    if (surf == nullptr)
        return api::raise_library_error(api_slots, SDL_GetError());
    return wrap_surface(type, surf);
}

void surface_dealloc(PyObject *object)
{
    auto *self = reinterpret_cast<SurfaceInstance *>(object);
    if (self->weakreflist != nullptr)
        PyObject_ClearWeakRefs(object);
    if (self->head.surf != nullptr)
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
    SDL_Surface *parent = sdl_surface(self);
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
    if (surf == nullptr) {
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

// ---- test and benchmark helpers ------------------------------------------

PyObject *surface_sdl_address(PyObject *self, PyObject *)
{
    return PyLong_FromVoidPtr(as_surface(self)->surf);
}

PyObject *surface_drop_sdl_surface(PyObject *self, PyObject *)
{
    SDL_Surface *surf = as_surface(self)->surf;
    as_surface(self)->surf = nullptr;
    if (surf != nullptr)
        SDL_FreeSurface(surf);
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
    "Surface(size)\n--\n\na 32-bit software SDL surface of size (width, height)";

PyMethodDef surface_methods[] = {
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
    {"_floor_cycles", surface_floor_cycles, METH_VARARGS,
     "_floor_cycles($self, locker, count, /)\n--\n\n"
     "make, append and delete a weak reference to locker and lock and unlock the SDL "
     "surface, count times"},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef module_methods[] = {
    {"_lifetime_lock_without_surface", surface_lifetime_lock_without_surface, METH_O,
     "_lifetime_lock_without_surface($module, locker, /)\n--\n\n"
     "ask for a lifetime lock on no surface"},
    {"_collect_in_first_allocation", surface_collect_in_first_allocation, METH_O,
     "_collect_in_first_allocation($module, function, /)\n--\n\n"
     "call function() with a full collection run inside the first object allocation it "
     "makes, and return what it returns"},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject surface_type;

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
    if (pinhold_import_table(lock_api) < 0)
        return nullptr;
    fill_surface_type();
    if (!brilox::type_ready(&surface_type))
        return nullptr;
    Ref module = Ref::steal(PyModule_Create2(&surface_module, 1013));
    if (!module)
        return nullptr;
    if (!brilox::add_to_module(module.get(), "Surface",
                               Ref::borrow(reinterpret_cast<PyObject *>(&surface_type))))
        return nullptr;
    return module.release();
}
