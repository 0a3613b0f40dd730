// A strong reference to a Python object that is released exactly once.
//
// Every function of the module that takes a reference holds it in an
// OwnedRef, so that each return path releases what it took.  Replacing the
// held value takes the new reference first and releases the old one after,
// the order the interpreter's own Py_SETREF keeps: the old object's
// destructor may run arbitrary code and must never see a half-updated slot.
#ifndef KOVI_RUNTIME_OWNED_REF_HPP
#define KOVI_RUNTIME_OWNED_REF_HPP

#include <Python.h>

namespace kovi {

class OwnedRef {
public:
    OwnedRef() noexcept : obj_(nullptr) {}
    // Takes over a new reference (or null).
    explicit OwnedRef(PyObject *obj) noexcept : obj_(obj) {}
    ~OwnedRef() { Py_XDECREF(obj_); }

    OwnedRef(const OwnedRef &) = delete;
    OwnedRef &operator=(const OwnedRef &) = delete;
    OwnedRef(OwnedRef &&other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    OwnedRef &operator=(OwnedRef &&other) noexcept
    {
        reset(other.obj_);
        other.obj_ = nullptr;
        return *this;
    }

    // A new reference to a borrowed object.
    static OwnedRef borrow(PyObject *obj) noexcept
    {
        Py_XINCREF(obj);
        return OwnedRef(obj);
    }

    PyObject *get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

    // Hands the reference to the caller.
    PyObject *release() noexcept
    {
        PyObject *obj = obj_;
        obj_ = nullptr;
        return obj;
    }

    // Takes over a new reference, then releases the one held before.
    void reset(PyObject *obj = nullptr) noexcept
    {
        PyObject *old = obj_;
        obj_ = obj;
        Py_XDECREF(old);
    }

private:
    PyObject *obj_;
};

// Stores a new reference (or null) into an owned field of a long-lived
// table, releasing the value it held afterwards.
inline void store_owned(PyObject *&field, PyObject *value) noexcept
{
    PyObject *old = field;
    field = value;
    Py_XDECREF(old);
}

}  // namespace kovi

#endif
