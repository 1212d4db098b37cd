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

// The object that `weakref`, a weak reference or proxy, refers to, as an
// owned reference; empty once it has died.
inline Ref weakref_target(PyObject *weakref) noexcept
{
#if PY_VERSION_HEX >= 0x030D0000
    // 3.13 deprecates the borrowed lookup, which the referent could outlive
    // only by luck.
    PyObject *target = nullptr;
    if (PyWeakref_GetRef(weakref, &target) < 0)
        PyErr_Clear();  // fails only for what is not a weak reference
    return Ref::steal(target);
#else
    PyObject *target = PyWeakref_GET_OBJECT(weakref);
    return target == Py_None ? Ref() : Ref::borrow(target);
#endif
}

// The host's pending error, held aside while other work runs.  `take()`
// moves the pending error (if any) here, `restore()` sets it again, and
// whatever is still held when the holder goes is set again then.
class HeldError {
public:
    HeldError() noexcept = default;
    HeldError(const HeldError &) = delete;
    HeldError &operator=(const HeldError &) = delete;
    ~HeldError() { restore(); }

    bool empty() const noexcept { return exception_ == nullptr; }

    // Replaces nothing: call it only while empty.
    void take() noexcept
    {
#if PY_VERSION_HEX >= 0x030C0000
        exception_ = PyErr_GetRaisedException();
#else
        PyErr_Fetch(&exception_, &value_, &traceback_);
#endif
    }

    void restore() noexcept
    {
        if (exception_ == nullptr)
            return;
#if PY_VERSION_HEX >= 0x030C0000
        PyErr_SetRaisedException(std::exchange(exception_, nullptr));
#else
        PyErr_Restore(std::exchange(exception_, nullptr), std::exchange(value_, nullptr),
                      std::exchange(traceback_, nullptr));
#endif
    }

private:
    // From 3.12 the error is one object; before, the type comes first.
    PyObject *exception_ = nullptr;
#if PY_VERSION_HEX < 0x030C0000
    PyObject *value_ = nullptr;
    PyObject *traceback_ = nullptr;
#endif
};

// A buffer view taken from an exporter, released when it goes.
class HeldBuffer {
public:
    HeldBuffer() = default;
    HeldBuffer(const HeldBuffer &) = delete;
    HeldBuffer &operator=(const HeldBuffer &) = delete;
    ~HeldBuffer()
    {
        if (held_)
            PyBuffer_Release(&view_);
    }

    // Sets the exporter's error and returns false when it refuses.
    bool take(PyObject *exporter, int flags) noexcept
    {
        held_ = PyObject_GetBuffer(exporter, &view_, flags) == 0;
        return held_;
    }
    const Py_buffer &view() const noexcept { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// Adds `value` to `module` as `name`.  On success the module owns the
// reference; on failure it is released here and the host's error is set.
inline bool add_to_module(PyObject *module, const char *name, Ref value) noexcept
{
    if (PyModule_AddObject(module, name, value.get()) < 0)
        return false;
    (void)value.release();
    return true;
}

// PyType_Ready for a static type record, failing also where the host reports
// success with an error set: CPython 3.13.0's PyDict_SetDefaultRef does that
// when filling the type's dict runs out of memory.
inline bool type_ready(PyTypeObject *type) noexcept
{
    return PyType_Ready(type) == 0 && !PyErr_Occurred();
}

}  // namespace brilox
