#include "api_tables.hpp"

#include <cstring>

namespace brilox::api {

void import_api_table(const char *module_name, const char *capsule_name, int slot_count,
                      void **destination)
{
    Ref attribute;
    {
        Ref module = Ref::steal(PyImport_ImportModule(module_name));
        if (!module)
            return;
        attribute = Ref::steal(PyObject_GetAttrString(module.get(), attribute_name));
    }
    if (!attribute)
        return;
    // Exactly a capsule, not a subclass.  Anything else would leave the slots
    // empty for the life of the process, so the import fails here instead.
    if (Py_TYPE(attribute.get()) != &PyCapsule_Type) {
        PyErr_Format(PyExc_ImportError, "%s.%s is not a capsule", module_name, attribute_name);
        return;
    }
    void *table = PyCapsule_GetPointer(attribute.get(), capsule_name);
    if (table == nullptr)
        return;
    std::memcpy(destination, table, sizeof(void *) * static_cast<std::size_t>(slot_count));
}

PyObject *raise_library_error(void *const *slots, const char *message)
{
    auto *type = static_cast<PyObject *>(slots[base_first + base_error_slot]);
    PyErr_SetString(type != nullptr ? type : PyExc_RuntimeError, message);
    return nullptr;
}

}  // namespace brilox::api
