/*
 * The surface-locking table of brilox.pinhold, for the library's other
 * native modules.
 *
 * brilox.pinhold publishes an eight-slot table of pointer-sized slots in a
 * capsule named "brilox.pinhold._BRILOX_C_API", stored as its module
 * attribute "_BRILOX_C_API".  A module copies the table once, when it is
 * initialised (pinhold_import_table below does that), and calls through its
 * copy:
 *
 *     static void *lock_api[PINHOLD_SLOT_COUNT];
 *     ...in PyInit_yourmodule:
 *     if (pinhold_import_table(lock_api) < 0)
 *         return NULL;
 *     ...
 *     PinholdLockByFunc lock_by =
 *         (PinholdLockByFunc)lock_api[PINHOLD_SLOT_LOCK_SURFACE_BY];
 *     if (!lock_by(surface, view))
 *         return NULL;
 *
 * Each surface keeps a list of weak references to the objects ("lockers") on
 * whose behalf it is locked, one entry per lock.  A lock is given back by one
 * unlock with the same locker, or, once its locker has died, by the next
 * unlock of that surface by anyone.  Every call needs the interpreter lock.
 *
 * Include Python.h (after defining PY_SSIZE_T_CLEAN, if you use it) before
 * this header, or let this header include it.  brilox.get_include() returns
 * the folder that holds this file.
 */
#ifndef BRILOX_PINHOLD_H
#define BRILOX_PINHOLD_H

#include <Python.h>
#include <SDL.h>

#ifdef __cplusplus
extern "C" {
#endif

#define PINHOLD_MODULE_NAME "brilox.pinhold"
#define PINHOLD_ATTRIBUTE_NAME "_BRILOX_C_API"
#define PINHOLD_CAPSULE_NAME "brilox.pinhold._BRILOX_C_API"

/* Slot positions of the lock table. */
enum {
    PINHOLD_SLOT_SURFLIFELOCK_TYPE = 0,         /* PyTypeObject *: SurfLifeLock */
    PINHOLD_SLOT_PREPARE_SUBSURFACE = 1,        /* PinholdSubsurfaceFunc */
    PINHOLD_SLOT_RELEASE_SUBSURFACE = 2,        /* PinholdSubsurfaceFunc */
    PINHOLD_SLOT_LOCK_SURFACE = 3,              /* PinholdLockFunc */
    PINHOLD_SLOT_UNLOCK_SURFACE = 4,            /* PinholdLockFunc */
    PINHOLD_SLOT_LOCK_SURFACE_BY = 5,           /* PinholdLockByFunc */
    PINHOLD_SLOT_UNLOCK_SURFACE_BY = 6,         /* PinholdLockByFunc */
    PINHOLD_SLOT_LOCK_SURFACE_FOR_LIFETIME = 7, /* PinholdLifetimeLockFunc */
    PINHOLD_SLOT_COUNT = 8
};

typedef struct SubsurfaceRecord SubsurfaceRecord;

/*
 * The leading fields of the surface module's instance record.  The surface
 * module owns the instances; its record begins with these fields, in this
 * order, and may go on with fields of its own.  The surface type must support
 * weak references: a surface is the locker of its own plain locks, and a
 * subsurface is the locker of its owner.
 */
typedef struct SurfaceObject {
    PyObject_HEAD
    SDL_Surface *surf;             /* may be NULL once the SDL surface is gone */
    SubsurfaceRecord *subsurface;  /* NULL unless a subsurface of another */
    void *surface_private;         /* the surface module's; never touched here */
    PyObject *locklist;            /* list of weak references; NULL until locked */
} SurfaceObject;

/*
 * The leading fields of a subsurface's record, owned by the surface module.
 * The subsurface keeps `owner` alive for as long as it lives.
 */
struct SubsurfaceRecord {
    SurfaceObject *owner;  /* the surface whose pixels this one shows */
    Sint32 pixeloffset;    /* byte offset of the first pixel in owner's pixels */
};

/*
 * Slots 1 and 2.
 * prepare_subsurface: locks the owner on the subsurface's behalf and points
 * the subsurface's pixels at the owner's pixels plus `pixeloffset`; does
 * nothing for a surface that is not a subsurface.
 * release_subsurface: gives back one owner lock taken by prepare_subsurface.
 * Neither returns a result: when the owner cannot be locked or unlocked, the
 * host's error is left set (check PyErr_Occurred).
 */
typedef void (*PinholdSubsurfaceFunc)(SurfaceObject *surface);

/*
 * Slots 3 and 4: lock_surface and unlock_surface, with the surface itself as
 * the locker.  Same results as slots 5 and 6.
 */
typedef int (*PinholdLockFunc)(SurfaceObject *surface);

/*
 * Slot 5, lock_surface_by: adds an entry for `locker` and locks the SDL
 * surface (and, for a subsurface, its owner first).  Returns 1, or 0 with the
 * host's error set: TypeError for a locker that cannot be weakly referenced
 * (nothing is locked then); RuntimeError "error locking surface" when the
 * surface, or an owner up its chain, has no SDL surface (nothing is locked
 * then) or SDL refuses the lock.  When SDL refuses, here or for the owner of
 * a subsurface, the entry stays and is given back by an unlock like any
 * other.  When the owner cannot record the lock at all (memory runs out, or
 * the chain of subsurfaces is too deep), the lock is taken back whole and
 * leaves nothing.
 *
 * Slot 6, unlock_surface_by: removes the newest entry for `locker`, if any,
 * then every entry whose locker has died, and gives back one SDL lock (and,
 * for a subsurface, one owner lock) per entry removed.  Returns 1, or 0 with
 * the host's error set when a list deletion failed: when the locker's own
 * entry could not be removed, nothing is given back; when a dead entry, or
 * the owner of a subsurface, could not be unlocked, the rest is still done.
 * A NULL `locker` removes only the entries of dead lockers.
 */
typedef int (*PinholdLockByFunc)(SurfaceObject *surface, PyObject *locker);

/*
 * Slot 7, lock_surface_for_lifetime: a new SurfLifeLock that holds one lock
 * on `surface` for `locker` until it dies, or NULL with the host's error set.
 * It keeps the surface alive and does not keep the locker alive.
 */
typedef PyObject *(*PinholdLifetimeLockFunc)(SurfaceObject *surface, PyObject *locker);

/*
 * Imports brilox.pinhold and copies its lock table into `slots`, an array of
 * PINHOLD_SLOT_COUNT pointers.  Returns 0, or -1 with the host's error set.
 */
static inline int pinhold_import_table(void **slots)
{
    PyObject *module;
    PyObject *capsule;
    void **table;
    int i;

    module = PyImport_ImportModule(PINHOLD_MODULE_NAME);
    if (module == NULL)
        return -1;
    capsule = PyObject_GetAttrString(module, PINHOLD_ATTRIBUTE_NAME);
    Py_DECREF(module);
    if (capsule == NULL)
        return -1;
    if (!PyCapsule_CheckExact(capsule)) {
        Py_DECREF(capsule);
        PyErr_SetString(PyExc_ImportError, PINHOLD_CAPSULE_NAME " is not a capsule");
        return -1;
    }
    /* The table itself lives as long as the process, not the capsule. */
    table = (void **)PyCapsule_GetPointer(capsule, PINHOLD_CAPSULE_NAME);
    Py_DECREF(capsule);
    if (table == NULL)
        return -1;
    for (i = 0; i < PINHOLD_SLOT_COUNT; ++i)
        slots[i] = table[i];
    return 0;
}

#ifdef __cplusplus
}
#endif

#endif /* BRILOX_PINHOLD_H */
