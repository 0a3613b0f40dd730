// Probe of argument binding: keyword names that are equal to the parameter
// names without being the same objects.  (Calls with keyword-name tuples of
// the test's choosing go through the function-object probe's vectorcall.)
#include <Python.h>

#include "probe_tables.hpp"

namespace {

// fresh_str(s): a new, uninterned str equal to `s`, with no hash computed;
// one-character strings from Python code are always the cached singletons.
PyObject *probe_fresh_str(PyObject * /*self*/, PyObject *arg)
{
    if (!PyUnicode_CheckExact(arg)) {
        PyErr_SetString(PyExc_TypeError, "fresh_str() needs a str");
        return nullptr;
    }
    Py_ssize_t length = PyUnicode_GET_LENGTH(arg);
    PyObject *copy = PyUnicode_New(length, PyUnicode_MAX_CHAR_VALUE(arg));
    if (copy == nullptr) {
        return nullptr;
    }
    if (PyUnicode_CopyCharacters(copy, 0, arg, 0, length) < 0) {
        Py_DECREF(copy);
        return nullptr;
    }
    return copy;
}

}  // namespace

PyMethodDef probe_argument_binding_methods[] = {
    {"fresh_str", probe_fresh_str, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
