#include "exception_matching.hpp"

namespace kovi {

namespace {

// The interpreter's own rule for a type without an MRO: walk the bases,
// and every type counts as derived from object.
int base_chain_reaches(PyTypeObject *type, PyTypeObject *target)
{
    if (target == nullptr) {
        return 0;
    }
    for (PyTypeObject *base = type->tp_base; base != nullptr; base = base->tp_base) {
        if (base == target) {
            return 1;
        }
    }
    return target == &PyBaseObject_Type;
}

}  // namespace

int is_subtype_of_either(PyTypeObject *type, PyTypeObject *a, PyTypeObject *b)
{
    if (type == a || type == b) {
        return 1;
    }
    PyObject *mro = type->tp_mro;
    if (mro != nullptr) {
        Py_ssize_t n = PyTuple_GET_SIZE(mro);
        for (Py_ssize_t i = 0; i < n; i++) {
            PyObject *entry = PyTuple_GET_ITEM(mro, i);
            if (entry == reinterpret_cast<PyObject *>(a) ||
                entry == reinterpret_cast<PyObject *>(b)) {
                return 1;
            }
        }
        return 0;
    }
    return base_chain_reaches(type, a) || base_chain_reaches(type, b);
}

int is_subtype(PyTypeObject *type, PyTypeObject *a)
{
    if (type == a) {
        return 1;
    }
    PyObject *mro = type->tp_mro;
    if (mro != nullptr) {
        Py_ssize_t n = PyTuple_GET_SIZE(mro);
        for (Py_ssize_t i = 0; i < n; i++) {
            if (PyTuple_GET_ITEM(mro, i) == reinterpret_cast<PyObject *>(a)) {
                return 1;
            }
        }
        return 0;
    }
    return base_chain_reaches(type, a);
}

int exception_matches(PyObject *err, PyObject *expected)
{
    if (err == nullptr || expected == nullptr) {
        return 0;
    }
    if (err == expected) {
        return 1;
    }
    if (PyExceptionClass_Check(err) && PyExceptionClass_Check(expected)) {
        return is_subtype(reinterpret_cast<PyTypeObject *>(err),
                          reinterpret_cast<PyTypeObject *>(expected));
    }
    // Tuples of classes, instances and anything else: the interpreter decides.
    return PyErr_GivenExceptionMatches(err, expected);
}

}  // namespace kovi
