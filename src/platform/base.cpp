// brilox.base: the library error type and the base API table.
//
// Slot 0 of the table is the error type that every native module raises for
// faults in SDL's state; the other slots are unused and stay null.
#include "api_tables.hpp"

namespace {

using brilox::Ref;
namespace api = brilox::api;

void *base_api[api::base_slot_count];

PyModuleDef base_module = {
    PyModuleDef_HEAD_INIT,
    "base",
    "brilox base module: the library error type",
    -1,
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

    Ref capsule = Ref::steal(PyCapsule_New(base_api, api::base_capsule, nullptr));
    if (!capsule || !brilox::add_to_module(module.get(), api::attribute_name, std::move(capsule)))
        return nullptr;
    return module.release();
}
