// brilox.rect: the rect API table, whose slot 3 reads a host object as a
// rectangle.
//
// Accepted shapes: (x, y, w, h) and ((x, y), (w, h)), as any sequences of
// integers, and either of them wrapped in a one-element tuple, which is the
// shape of a method's argument tuple.
#include "api_tables.hpp"

#include <cstdint>
#include <limits>

namespace {

using brilox::Ref;
namespace api = brilox::api;

// Reads item `index` of `sequence` as a signed 32-bit integer.
bool read_int32(PyObject *sequence, Py_ssize_t index, std::int32_t *out)
{
    Ref item = Ref::steal(PySequence_GetItem(sequence, index));
    if (!item || !PyLong_Check(item.get()))
        return false;
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(item.get(), &overflow);
    if (overflow != 0 || (value == -1 && PyErr_Occurred()) ||
        value < std::numeric_limits<std::int32_t>::min() ||
        value > std::numeric_limits<std::int32_t>::max())
        return false;
    *out = static_cast<std::int32_t>(value);
    return true;
}

bool read_pair(PyObject *object, std::int32_t *first, std::int32_t *second)
{
    return PySequence_Check(object) && PySequence_Size(object) == 2 &&
           read_int32(object, 0, first) && read_int32(object, 1, second);
}

bool read_rect(PyObject *object, api::IntRect *rect)
{
    if (!PySequence_Check(object) || PyUnicode_Check(object) || PyBytes_Check(object))
        return false;
    Py_ssize_t length = PySequence_Size(object);
    if (length == 4)
        return read_int32(object, 0, &rect->x) && read_int32(object, 1, &rect->y) &&
               read_int32(object, 2, &rect->w) && read_int32(object, 3, &rect->h);
    if (length != 2)
        return false;
    Ref position = Ref::steal(PySequence_GetItem(object, 0));
    Ref size = Ref::steal(PySequence_GetItem(object, 1));
    return position && size && read_pair(position.get(), &rect->x, &rect->y) &&
           read_pair(size.get(), &rect->w, &rect->h);
}

api::IntRect *rect_from_object(PyObject *object, api::IntRect *scratch)
{
    api::IntRect rect{};
    bool ok = read_rect(object, &rect);
    if (!ok && PyTuple_Check(object) && PyTuple_GET_SIZE(object) == 1)
        ok = read_rect(PyTuple_GET_ITEM(object, 0), &rect);
    // A refusal leaves no exception behind: the caller raises its own.
    PyErr_Clear();
    if (!ok)
        return nullptr;
    *scratch = rect;
    return scratch;
}

void *rect_api[api::rect_slot_count];

PyModuleDef rect_module = {
    PyModuleDef_HEAD_INIT,
    "rect",
    "brilox rect module: reads objects as rectangles",
    -1,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_rect(void)
{
    Ref module = Ref::steal(PyModule_Create2(&rect_module, 1013));
    if (!module)
        return nullptr;
    rect_api[api::rect_from_object_slot] = reinterpret_cast<void *>(&rect_from_object);
    Ref capsule = Ref::steal(PyCapsule_New(rect_api, api::rect_capsule, nullptr));
    if (!capsule || !brilox::add_to_module(module.get(), api::attribute_name, std::move(capsule)))
        return nullptr;
    return module.release();
}
