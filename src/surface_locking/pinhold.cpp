// Placeholder until the module is built.
#include "ref.hpp"

static PyModuleDef pinhold_module = {PyModuleDef_HEAD_INIT, "pinhold", nullptr, -1, nullptr};

PyMODINIT_FUNC PyInit_pinhold(void)
{
    return PyModule_Create2(&pinhold_module, 1013);
}
