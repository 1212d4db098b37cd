// Placeholder until the module is built.
#include "ref.hpp"

static PyModuleDef overlay_module = {PyModuleDef_HEAD_INIT, "overlay", nullptr, -1, nullptr};

PyMODINIT_FUNC PyInit_overlay(void)
{
    return PyModule_Create2(&overlay_module, 1013);
}
