// Probe of argument binding: calls any callable through the vector calling
// convention with a keyword-name tuple of the test's choosing, which the
// interpreter's own call syntax would check or refuse (non-str names,
// repeated names), and makes keyword names that are equal to the
// parameter names without being the same objects.
#include <Python.h>

#include "probe_tables.hpp"

namespace {

// object_vectorcall(callable, values, kwnames): `values` holds the positional
// values followed by one value per keyword name; `kwnames` is a tuple of any
// objects, or None.
PyObject *probe_object_vectorcall(PyObject * /*self*/, PyObject *args)
{
    PyObject *callable;
    PyObject *values;
    PyObject *kwnames;
    if (!PyArg_ParseTuple(args, "OO!O", &callable, &PyTuple_Type, &values, &kwnames)) {
        return nullptr;
    }
    if (kwnames == Py_None) {
        kwnames = nullptr;
    }
    else if (!PyTuple_CheckExact(kwnames)) {
        PyErr_SetString(PyExc_TypeError, "kwnames must be a tuple or None");
        return nullptr;
    }
    Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    Py_ssize_t nargs = PyTuple_GET_SIZE(values) - nkw;
    if (nargs < 0) {
        PyErr_SetString(PyExc_ValueError, "fewer values than keyword names");
        return nullptr;
    }
    return PyObject_Vectorcall(callable, &PyTuple_GET_ITEM(values, 0), nargs, kwnames);
}

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
    {"object_vectorcall", probe_object_vectorcall, METH_VARARGS, nullptr},
    {"fresh_str", probe_fresh_str, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
