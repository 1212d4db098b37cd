/* A native module of another project, built as brilox's README says: it
 * reads the display through its own SDL calls and locks brilox's surfaces
 * through the lock table.  The tests build it against the installed brilox. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <SDL.h>

#include "pinhold.h"

static void *lock_api[PINHOLD_SLOT_COUNT];

static PyObject *video_surface(PyObject *self, PyObject *unused)
{
    return PyLong_FromVoidPtr(SDL_GetVideoSurface());
}

/* Locks `surface` for `locker`; SDL's lock count and pixels as this
 * module's SDL sees them. */
static PyObject *lock_by(PyObject *self, PyObject *args)
{
    PyObject *surface, *locker;
    if (!PyArg_ParseTuple(args, "OO", &surface, &locker))
        return NULL;
    PinholdLockByFunc lock = (PinholdLockByFunc)lock_api[PINHOLD_SLOT_LOCK_SURFACE_BY];
    if (!lock((SurfaceObject *)surface, locker))
        return NULL;
    SDL_Surface *surf = ((SurfaceObject *)surface)->surf;
    return Py_BuildValue("(iN)", surf->locked, PyLong_FromVoidPtr(surf->pixels));
}

static PyObject *unlock_by(PyObject *self, PyObject *args)
{
    PyObject *surface, *locker;
    if (!PyArg_ParseTuple(args, "OO", &surface, &locker))
        return NULL;
    PinholdLockByFunc unlock = (PinholdLockByFunc)lock_api[PINHOLD_SLOT_UNLOCK_SURFACE_BY];
    if (!unlock((SurfaceObject *)surface, locker))
        return NULL;
    return PyLong_FromLong(((SurfaceObject *)surface)->surf->locked);
}

static PyMethodDef peek_methods[] = {
    {"video_surface", video_surface, METH_NOARGS, NULL},
    {"lock_by", lock_by, METH_VARARGS, NULL},
    {"unlock_by", unlock_by, METH_VARARGS, NULL},
    {NULL, NULL, 0, NULL}};

static struct PyModuleDef peek_module = {PyModuleDef_HEAD_INIT, "peek", NULL, -1, peek_methods};

PyMODINIT_FUNC PyInit_peek(void)
{
    if (pinhold_import_table(lock_api) < 0)
        return NULL;
    return PyModule_Create(&peek_module);
}
