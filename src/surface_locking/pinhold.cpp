// brilox.pinhold: the surface lock registry, lifetime locks, and the lock
// table through which the library's other native modules reach them.
//
// Every surface keeps a list of weak references to the objects on whose
// behalf it is locked, one entry per lock.  An unlock removes the newest entry
// of its locker, purges the entries whose lockers have died, and gives back
// one SDL lock for each entry it removed, so every lock is given back exactly
// once.  A subsurface's lock also holds one lock on its owner, taken on the
// subsurface's behalf.
//
// Deleting a list entry or dropping a reference may run Python code (a
// destructor, a weak-reference callback, a list subclass), and that code may
// lock and unlock the same surfaces.  So the walks hold their own reference to
// the list, re-check its length at every step, and re-read a surface's fields
// after any step that may have run code.
#include "api_tables.hpp"
#include "pinhold.h"

#include <cstddef>
#include <cstdio>
#include <type_traits>

namespace {

using brilox::Ref;
namespace api = brilox::api;

struct SurfLifeLockObject {
    PyObject_HEAD
    SurfaceObject *surface;  // strong reference
    // A weak reference to the locker, so that the unlock at death can never
    // mistake another object at the locker's old address for the locker.
    // Null when the registry holds no entry for this lock.
    PyObject *locker_ref;
    PyObject *weakrefs;
};

const char lock_failed_message[] = "error locking surface";

// SDL's error texts fit its own buffer of this size.
constexpr std::size_t sdl_error_size = 1024;

void *lock_api[PINHOLD_SLOT_COUNT];

// The base table, imported the first time a lifetime lock is asked for
// without a surface: the only error of this module that needs the library
// error type.
void *base_api[api::base_slot_count];

extern PyTypeObject surf_life_lock_type;

int refuse_lock()
{
    PyErr_SetString(PyExc_RuntimeError, lock_failed_message);
    return 0;
}

// True when the surface and every owner up its chain of subsurfaces have an
// SDL surface: a lock reaches all of them.
bool lockable(const SurfaceObject *surface)
{
    for (;;) {
        if (surface == nullptr || surface->surf == nullptr)
            return false;
        if (surface->subsurface == nullptr)
            return true;
        surface = surface->subsurface->owner;
    }
}

// Whether a list entry stands for a lock by `locker`, or for a lock whose
// locker has died when `locker` is null.  Anything that is not a weak
// reference stands for no lock: it never matches and is never purged.
bool entry_of(PyObject *entry, PyObject *locker)
{
    return PyWeakref_Check(entry) && brilox::weakref_target(entry).get() == locker;
}

// Keeps the first error of a walk that goes on after failures.
void keep_first(brilox::HeldError &error)
{
    if (error.empty())
        error.take();
    else
        PyErr_Clear();
}

int unlock_surface_by(SurfaceObject *surface, PyObject *locker);
int lock_surface_unchecked(SurfaceObject *surface, PyObject *locker, bool &entry_added);

// ---- prepare_subsurface ----------------------------------------------------

// Locks the owner on the subsurface's behalf, then points the subsurface's
// pixels at the owner's plus the offset.  The caller has checked that the
// whole chain has SDL surfaces.  Returns the result of the owner lock;
// `entry_added` tells whether the owner's list got an entry for it.
int lock_owner(SurfaceObject *surface, bool &entry_added)
{
    SubsurfaceRecord *record = surface->subsurface;
    Ref hold_owner = Ref::borrow(reinterpret_cast<PyObject *>(record->owner));
    if (Py_EnterRecursiveCall(" while locking the owner of a subsurface"))
        return 0;
    int locked = lock_surface_unchecked(record->owner, reinterpret_cast<PyObject *>(surface),
                                        entry_added);
    Py_LeaveRecursiveCall();

    // The owner's pixels are read after the owner is locked.  Both SDL
    // surfaces are looked up again: the lock may have run code.
    SDL_Surface *owner_surf = record->owner->surf;
    if (owner_surf != nullptr && surface->surf != nullptr)
        surface->surf->pixels = static_cast<Uint8 *>(owner_surf->pixels) + record->pixeloffset;
    return locked;
}

void prepare_subsurface(SurfaceObject *surface)
{
    if (surface == nullptr || surface->subsurface == nullptr)
        return;
    if (!lockable(surface)) {
        refuse_lock();
        return;
    }
    bool entry_added = false;
    lock_owner(surface, entry_added);
}

// ---- release_subsurface ----------------------------------------------------

// Gives back one owner lock that lock_owner took.
int unlock_owner(SurfaceObject *surface)
{
    SubsurfaceRecord *record = surface->subsurface;
    if (record == nullptr || record->owner == nullptr)
        return 1;
    Ref hold_owner = Ref::borrow(reinterpret_cast<PyObject *>(record->owner));
    if (Py_EnterRecursiveCall(" while unlocking the owner of a subsurface"))
        return 0;
    int result = unlock_surface_by(record->owner, reinterpret_cast<PyObject *>(surface));
    Py_LeaveRecursiveCall();
    return result;
}

void release_subsurface(SurfaceObject *surface)
{
    if (surface != nullptr)
        unlock_owner(surface);
}

// ---- lock_surface_by -------------------------------------------------------

// Deletes the newest occurrence of `entry` from `list`.  Returns false, with
// the host's error set, when it is not there or cannot be deleted.
bool remove_entry(PyObject *list, PyObject *entry)
{
    for (Py_ssize_t i = PyList_GET_SIZE(list) - 1; i >= 0; --i) {
        if (PyList_GET_ITEM(list, i) == entry)
            return PySequence_DelItem(list, i) == 0;
    }
    PyErr_SetString(PyExc_RuntimeError, "lock list entry vanished");
    return false;
}

// Adds the entry, locks the owner of a subsurface, locks the SDL surface.
// `entry_added` tells whether the list got an entry, which must then be
// given back by an unlock even when the lock as a whole failed.
int lock_surface_unchecked(SurfaceObject *surface, PyObject *locker, bool &entry_added)
{
    if (surface->locklist == nullptr) {
        PyObject *created = PyList_New(0);
        if (created == nullptr)
            return 0;
        // Making the list may have run a collection whose finalizers locked
        // this surface and gave it a list already: that one holds their
        // entries and stays.
        if (surface->locklist == nullptr)
            surface->locklist = created;
        else
            Py_DECREF(created);
    }
    Ref list = Ref::borrow(surface->locklist);
    Ref entry = Ref::steal(PyWeakref_NewRef(locker, nullptr));
    if (!entry)
        return 0;
    if (PyList_Append(list.get(), entry.get()) < 0)
        return 0;
    entry_added = true;

    int owner_locked = 1;
    if (surface->subsurface != nullptr) {
        bool owner_entry = false;
        owner_locked = lock_owner(surface, owner_entry);
        // The owner could not even record the lock (no memory, too deep a
        // chain): this lock is taken back whole, so no lock of a subsurface
        // is ever left without its owner lock.  Should the entry not come
        // out again, the lock goes on as one whose owner refused.
        if (!owner_locked && !owner_entry) {
            brilox::HeldError owner_error;
            owner_error.take();
            const bool removed = remove_entry(list.get(), entry.get());
            // The owner's error is the one reported.
            PyErr_Clear();
            owner_error.restore();
            if (removed) {
                entry_added = false;
                return 0;
            }
        }
    }

    // Looked up again: the steps above may have run code.
    SDL_Surface *surf = surface->surf;
    if (surf == nullptr || SDL_LockSurface(surf) < 0)
        return refuse_lock();
    // The owner's failure, if any, is this lock's failure too: its error is
    // still set.
    return owner_locked;
}

int lock_surface_by(SurfaceObject *surface, PyObject *locker)
{
    if (locker == nullptr) {
        PyErr_BadInternalCall();
        return 0;
    }
    // A lock that could not reach SDL is refused before it leaves a trace.
    if (!lockable(surface))
        return refuse_lock();
    bool entry_added = false;
    return lock_surface_unchecked(surface, locker, entry_added);
}

// ---- unlock_surface_by -----------------------------------------------------

int unlock_surface_by(SurfaceObject *surface, PyObject *locker)
{
    if (surface == nullptr || surface->locklist == nullptr)
        return 1;
    if (!PyList_Check(surface->locklist)) {
        PyErr_SetString(PyExc_TypeError, "a surface's lock list must be a list");
        return 0;
    }
    Ref list = Ref::borrow(surface->locklist);
    PyObject *entries = list.get();
    Py_ssize_t released = 0;

    // The newest entry of the locker.  Nothing runs code before the deletion,
    // after which the walk stops.  A null locker matches nothing.
    if (locker != nullptr) {
        for (Py_ssize_t i = PyList_GET_SIZE(entries) - 1; i >= 0; --i) {
            if (!entry_of(PyList_GET_ITEM(entries, i), locker))
                continue;
            if (PySequence_DelItem(entries, i) < 0)
                return 0;
            released = 1;
            break;
        }
    }

    // The entries of dead lockers.  A deletion may run code that changes the
    // list, so the index is brought back inside it at every step; it still
    // falls at every step, so the walk ends.
    brilox::HeldError error;
    int result = 1;
    for (Py_ssize_t i = PyList_GET_SIZE(entries) - 1; i >= 0; --i) {
        Py_ssize_t size = PyList_GET_SIZE(entries);
        if (i >= size) {
            i = size - 1;
            if (i < 0)
                break;
        }
        if (!entry_of(PyList_GET_ITEM(entries, i), nullptr))
            continue;
        if (PySequence_DelItem(entries, i) == 0) {
            ++released;
        } else {
            keep_first(error);
            result = 0;
        }
    }

    // One SDL unlock, and for a subsurface one owner unlock, per entry
    // removed.  The surface's fields are read afresh each time.
    for (; released > 0; --released) {
        if (surface->surf != nullptr)
            SDL_UnlockSurface(surface->surf);
        if (surface->subsurface != nullptr && !unlock_owner(surface)) {
            keep_first(error);
            result = 0;
        }
    }
    return result;
}

// ---- lock_surface / unlock_surface ---------------------------------------

int lock_surface(SurfaceObject *surface)
{
    return lock_surface_by(surface, reinterpret_cast<PyObject *>(surface));
}

int unlock_surface(SurfaceObject *surface)
{
    return unlock_surface_by(surface, reinterpret_cast<PyObject *>(surface));
}

// ---- lock_surface_for_lifetime ---------------------------------------------

PyObject *raise_missing_surface()
{
    // Copied first: importing the base module may run code that sets
    // another SDL error.
    char message[sdl_error_size];
    std::snprintf(message, sizeof message, "%s", SDL_GetError());
    if (base_api[api::base_error_slot] == nullptr) {
        api::import_api_table(api::base_module, api::base_capsule, api::base_slot_count,
                              base_api);
        if (PyErr_Occurred())
            return nullptr;
    }
    return api::raise_library_error(base_api, message);
}

PyObject *lock_surface_for_lifetime(SurfaceObject *surface, PyObject *locker)
{
    if (surface == nullptr)
        return raise_missing_surface();
    if (locker == nullptr) {
        PyErr_BadInternalCall();
        return nullptr;
    }
    auto *self = static_cast<SurfLifeLockObject *>(
        PyObject_Malloc(static_cast<std::size_t>(surf_life_lock_type.tp_basicsize)));
    if (self == nullptr)
        return PyErr_NoMemory();
    PyObject_Init(reinterpret_cast<PyObject *>(self), &surf_life_lock_type);
    Py_INCREF(surface);
    self->surface = surface;
    self->locker_ref = nullptr;
    self->weakrefs = nullptr;

    // From here on a failure releases the lifetime lock normally: its
    // deallocation gives back the entry it holds, if any, and purges the
    // entries of dead lockers.
    Ref lock = Ref::steal(reinterpret_cast<PyObject *>(self));
    self->locker_ref = PyWeakref_NewRef(locker, nullptr);
    if (self->locker_ref == nullptr)
        return nullptr;
    if (!lockable(surface)) {
        Py_CLEAR(self->locker_ref);
        refuse_lock();
        return nullptr;
    }
    bool entry_added = false;
    if (!lock_surface_unchecked(surface, locker, entry_added)) {
        // Without an entry of its own, the unlock at death must not take
        // one of the locker's other locks.
        if (!entry_added)
            Py_CLEAR(self->locker_ref);
        return nullptr;
    }
    return lock.release();
}

void lifetime_lock_dealloc(PyObject *object)
{
    auto *self = reinterpret_cast<SurfLifeLockObject *>(object);
    if (self->weakrefs != nullptr)
        PyObject_ClearWeakRefs(object);

    // An error may be pending (the lock was refused, or it dies while an
    // exception unwinds): the unlock runs without it and leaves it as it was.
    brilox::HeldError pending;
    pending.take();
    if (self->surface != nullptr) {
        // A locker that has died is never looked for: only the dead entries
        // go, whatever object now lives at the locker's old address.
        Ref locker;
        if (self->locker_ref != nullptr)
            locker = brilox::weakref_target(self->locker_ref);
        unlock_surface_by(self->surface, locker.get());
    }
    PyErr_Clear();
    pending.restore();

    Py_CLEAR(self->locker_ref);
    Py_CLEAR(self->surface);
    PyObject_Free(object);
}

// A table slot holding a function.
template <typename Function>
void *slot(Function *function)
{
    return reinterpret_cast<void *>(function);
}

// The table's slots keep the signatures that pinhold.h gives them.
static_assert(std::is_same_v<decltype(&prepare_subsurface), PinholdSubsurfaceFunc>);
static_assert(std::is_same_v<decltype(&release_subsurface), PinholdSubsurfaceFunc>);
static_assert(std::is_same_v<decltype(&lock_surface), PinholdLockFunc>);
static_assert(std::is_same_v<decltype(&unlock_surface), PinholdLockFunc>);
static_assert(std::is_same_v<decltype(&lock_surface_by), PinholdLockByFunc>);
static_assert(std::is_same_v<decltype(&unlock_surface_by), PinholdLockByFunc>);
static_assert(std::is_same_v<decltype(&lock_surface_for_lifetime), PinholdLifetimeLockFunc>);

// ---- type, module ------------------------------------------------------------

PyTypeObject surf_life_lock_type;

// Fills the type record before it is readied; once is enough.
void fill_surf_life_lock_type()
{
    PyTypeObject &type = surf_life_lock_type;
    if (type.tp_name != nullptr)
        return;
    // A static type holds a reference to itself, so it is never freed.
    Py_INCREF(&type);
    type.tp_name = "SurfLifeLock";
    type.tp_basicsize = sizeof(SurfLifeLockObject);
    type.tp_itemsize = 0;
    type.tp_dealloc = lifetime_lock_dealloc;
    type.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    type.tp_weaklistoffset = offsetof(SurfLifeLockObject, weakrefs);
}

PyMethodDef pinhold_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef pinhold_module = {
    PyModuleDef_HEAD_INIT,
    "pinhold",
    "Surface locking support",
    -1,
    pinhold_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_pinhold(void)
{
    fill_surf_life_lock_type();
    if (!brilox::type_ready(&surf_life_lock_type))
        return nullptr;
    Ref module = Ref::steal(PyModule_Create2(&pinhold_module, 1013));
    if (!module)
        return nullptr;
    PyObject *dict = PyModule_GetDict(module.get());

    lock_api[PINHOLD_SLOT_SURFLIFELOCK_TYPE] = &surf_life_lock_type;
    lock_api[PINHOLD_SLOT_PREPARE_SUBSURFACE] = slot(prepare_subsurface);
    lock_api[PINHOLD_SLOT_RELEASE_SUBSURFACE] = slot(release_subsurface);
    lock_api[PINHOLD_SLOT_LOCK_SURFACE] = slot(lock_surface);
    lock_api[PINHOLD_SLOT_UNLOCK_SURFACE] = slot(unlock_surface);
    lock_api[PINHOLD_SLOT_LOCK_SURFACE_BY] = slot(lock_surface_by);
    lock_api[PINHOLD_SLOT_UNLOCK_SURFACE_BY] = slot(unlock_surface_by);
    lock_api[PINHOLD_SLOT_LOCK_SURFACE_FOR_LIFETIME] = slot(lock_surface_for_lifetime);

    Ref capsule = Ref::steal(PyCapsule_New(lock_api, PINHOLD_CAPSULE_NAME, nullptr));
    if (!capsule)
        return nullptr;
    if (PyDict_SetItemString(dict, PINHOLD_ATTRIBUTE_NAME, capsule.get()) < 0)
        return nullptr;
    return module.release();
}
