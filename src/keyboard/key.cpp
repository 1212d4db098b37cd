// Placeholder until the module is built.
#include "ref.hpp"

static PyModuleDef key_module = {PyModuleDef_HEAD_INIT, "key", nullptr, -1, nullptr};

PyMODINIT_FUNC PyInit_key(void)
{
    return PyModule_Create2(&key_module, 1013);
}
