// One owned reference to a host object.
//
// `Ref::steal` takes over a new reference, `Ref::borrow` adds one to a
// borrowed pointer, and `release()` hands the reference back to the caller
// (usually as a result returned to Python).  Whatever a `Ref` still holds when
// it goes out of scope is released, so early returns cannot leak.
#pragma once

#ifndef PY_SSIZE_T_CLEAN
#define PY_SSIZE_T_CLEAN
#endif
#include <Python.h>

#include <utility>

// The build hides every symbol but the module entries.  Before 3.9 the
// host's PyMODINIT_FUNC carries no visibility of its own, so the entry
// would be hidden too and the host could not find it.
#if PY_VERSION_HEX < 0x03090000
#undef PyMODINIT_FUNC
#define PyMODINIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject *
#endif

namespace brilox {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    Ref &operator=(Ref &&other) noexcept
    {
        reset(other.ptr_);
        other.ptr_ = nullptr;
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    static Ref steal(PyObject *p) noexcept { return Ref(p); }
    static Ref borrow(PyObject *p) noexcept
    {
        Py_XINCREF(p);
        return Ref(p);
    }

    PyObject *get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

    // Gives up ownership without releasing.
    [[nodiscard]] PyObject *release() noexcept { return std::exchange(ptr_, nullptr); }

    // Stores the new pointer before dropping the old one, so a destructor that
    // runs during the release never sees a half-updated Ref.
    void reset(PyObject *p = nullptr) noexcept
    {
        PyObject *old = std::exchange(ptr_, p);
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject *p) noexcept : ptr_(p) {}
    PyObject *ptr_ = nullptr;
};

// A new reference to None, for functions that return nothing.
inline PyObject *none() noexcept
{
    Py_INCREF(Py_None);
    return Py_None;
}

// Adds `value` to `module` as `name`.  On success the module owns the
// reference; on failure it is released here and the host's error is set.
inline bool add_to_module(PyObject *module, const char *name, Ref value) noexcept
{
    if (PyModule_AddObject(module, name, value.get()) < 0)
        return false;
    (void)value.release();
    return true;
}

}  // namespace brilox
