// Placeholder until the module is built.
#include "ref.hpp"

static PyModuleDef surface_module = {PyModuleDef_HEAD_INIT, "surface", nullptr, -1, nullptr};

PyMODINIT_FUNC PyInit_surface(void)
{
    return PyModule_Create2(&surface_module, 1013);
}
