// brilox.base: the library error type and the base API table.
//
// Slot 0 of the table is the error type that every native module raises for
// faults in SDL's state.  Slots 1 and 2 keep the functions that run just
// before the display goes (api_tables.hpp); the other slots are unused and
// stay null.
#include "api_tables.hpp"

#include <iterator>

namespace {

using brilox::Ref;
namespace api = brilox::api;

void *base_api[api::base_slot_count];

// --- hooks run before the display goes -----------------------------------

// A handful of native modules at most register one hook each.
api::QuitHook quit_hooks[8];
int quit_hook_count;

int register_quit(api::QuitHook hook)
{
    for (int i = 0; i < quit_hook_count; ++i)
        if (quit_hooks[i] == hook)
            return 1;
    if (quit_hook_count == static_cast<int>(std::size(quit_hooks))) {
        PyErr_SetString(PyExc_RuntimeError, "too many display quit hooks");
        return 0;
    }
    quit_hooks[quit_hook_count++] = hook;
    return 1;
}

void run_quit_hooks(void)
{
    for (int i = quit_hook_count - 1; i >= 0; --i)
        quit_hooks[i]();
}

PyModuleDef base_module = {
    PyModuleDef_HEAD_INIT,
    "base",
    "brilox base module: the library error type",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_base(void)
{
    Ref module = Ref::steal(PyModule_Create2(&base_module, 1013));
    if (!module)
        return nullptr;
    Ref error = Ref::steal(PyErr_NewExceptionWithDoc(
        "brilox.base.error", "raised for faults in SDL's state", PyExc_RuntimeError, nullptr));
    if (!error || !brilox::add_to_module(module.get(), "error", Ref::borrow(error.get())))
        return nullptr;
    // The table keeps its own reference: importers may outlive the module.
    Py_XDECREF(static_cast<PyObject *>(base_api[api::base_error_slot]));
    base_api[api::base_error_slot] = error.release();
    base_api[api::base_register_quit_slot] = reinterpret_cast<void *>(&register_quit);
    base_api[api::base_run_quit_hooks_slot] = reinterpret_cast<void *>(&run_quit_hooks);

    Ref capsule = Ref::steal(PyCapsule_New(base_api, api::base_capsule, nullptr));
    if (!capsule || !brilox::add_to_module(module.get(), api::attribute_name, std::move(capsule)))
        return nullptr;
    return module.release();
}
