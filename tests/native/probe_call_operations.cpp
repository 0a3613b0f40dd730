// Probe functions for the call and exception-matching operations.
#include <Python.h>

#include "call_operations.hpp"
#include "exception_matching.hpp"
#include "probe_tables.hpp"
#include "runtime_state.hpp"

namespace {

constexpr Py_ssize_t max_call_args = 4;

// fast_call(callable, args, offset): `args` a tuple of up to four values;
// with `offset` the callee may use the slot in front of them.
PyObject *probe_fast_call(PyObject *, PyObject *args)
{
    PyObject *callable;
    PyObject *call_args;
    int offset = 0;
    if (!PyArg_ParseTuple(args, "OO!|p:fast_call", &callable, &PyTuple_Type, &call_args,
                          &offset)) {
        return nullptr;
    }
    Py_ssize_t n = PyTuple_GET_SIZE(call_args);
    if (n > max_call_args) {
        PyErr_SetString(PyExc_ValueError, "fast_call takes at most four arguments");
        return nullptr;
    }
    PyObject *vector[max_call_args + 1] = {};
    for (Py_ssize_t k = 0; k < n; k++) {
        vector[k + 1] = PyTuple_GET_ITEM(call_args, k);
    }
    size_t nargsf = static_cast<size_t>(n) | (offset ? PY_VECTORCALL_ARGUMENTS_OFFSET : 0);
    return kovi::fast_call(callable, vector + 1, nargsf);
}

bool is_direct_callable(PyObject *function)
{
    PyTypeObject *function_type = reinterpret_cast<PyTypeObject *>(kovi::runtime_state.function_type);
    return kovi::is_subtype_of_either(Py_TYPE(function), function_type, &PyCFunction_Type) &&
           (reinterpret_cast<PyCFunctionObject *>(function)->m_ml->ml_flags & METH_O);
}

PyObject *probe_call_c_function_direct(PyObject *, PyObject *args)
{
    PyObject *function;
    PyObject *arg;
    if (!PyArg_ParseTuple(args, "OO:call_c_function_direct", &function, &arg)) {
        return nullptr;
    }
    if (!is_direct_callable(function)) {
        PyErr_SetString(PyExc_TypeError, "a built-in function taking one argument is required");
        return nullptr;
    }
    return kovi::call_c_function_direct(function, arg);
}

// A faulty native function: no result and no exception.
PyObject *probe_null_without_error(PyObject *, PyObject *)
{
    return nullptr;
}

PyObject *probe_is_subtype(PyObject *, PyObject *args)
{
    PyObject *type;
    PyObject *a;
    if (!PyArg_ParseTuple(args, "O!O!:is_subtype", &PyType_Type, &type, &PyType_Type, &a)) {
        return nullptr;
    }
    return PyBool_FromLong(kovi::is_subtype(reinterpret_cast<PyTypeObject *>(type),
                                            reinterpret_cast<PyTypeObject *>(a)));
}

// None as a target stands for a type not made yet (a null pointer).
PyTypeObject *optional_type(PyObject *obj)
{
    return obj == Py_None ? nullptr : reinterpret_cast<PyTypeObject *>(obj);
}

PyObject *probe_is_subtype_of_either(PyObject *, PyObject *args)
{
    PyObject *type;
    PyObject *a;
    PyObject *b;
    if (!PyArg_ParseTuple(args, "O!OO:is_subtype_of_either", &PyType_Type, &type, &a, &b)) {
        return nullptr;
    }
    if ((a != Py_None && !PyType_Check(a)) || (b != Py_None && !PyType_Check(b))) {
        PyErr_SetString(PyExc_TypeError, "targets must be types or None");
        return nullptr;
    }
    return PyBool_FromLong(kovi::is_subtype_of_either(reinterpret_cast<PyTypeObject *>(type),
                                                      optional_type(a), optional_type(b)));
}

PyObject *probe_exception_matches(PyObject *, PyObject *args)
{
    PyObject *err;
    PyObject *expected;
    if (!PyArg_ParseTuple(args, "OO:exception_matches", &err, &expected)) {
        return nullptr;
    }
    return PyBool_FromLong(kovi::exception_matches(err, expected));
}

// Two types that are never made ready, so they have no MRO tuple: an
// exception class derived from KeyError and a class without a base.  They
// never leave this file.
PyTypeObject unready_key_error;
PyTypeObject unready_plain;

void set_up_unready_types()
{
    if (unready_key_error.tp_name != nullptr) {
        return;
    }
    Py_SET_TYPE(reinterpret_cast<PyObject *>(&unready_key_error), &PyType_Type);
    unready_key_error.tp_name = "_kovi_probe.UnreadyKeyError";
    unready_key_error.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASE_EXC_SUBCLASS;
    unready_key_error.tp_base = reinterpret_cast<PyTypeObject *>(PyExc_KeyError);
    Py_SET_TYPE(reinterpret_cast<PyObject *>(&unready_plain), &PyType_Type);
    unready_plain.tp_name = "_kovi_probe.UnreadyPlain";
    unready_plain.tp_flags = Py_TPFLAGS_DEFAULT;
}

// For a target type T: (is_subtype(UnreadyKeyError, T),
// exception_matches(UnreadyKeyError, T), is_subtype(UnreadyPlain, T),
// is_subtype_of_either(UnreadyPlain, T, T)).
PyObject *probe_unready_type_tests(PyObject *, PyObject *arg)
{
    if (!PyType_Check(arg)) {
        PyErr_SetString(PyExc_TypeError, "a type is required");
        return nullptr;
    }
    set_up_unready_types();
    PyTypeObject *target = reinterpret_cast<PyTypeObject *>(arg);
    PyObject *key_error = reinterpret_cast<PyObject *>(&unready_key_error);
    if (unready_key_error.tp_mro != nullptr || unready_plain.tp_mro != nullptr) {
        PyErr_SetString(PyExc_SystemError, "the unready types have an MRO");
        return nullptr;
    }
    return Py_BuildValue("(NNNN)", PyBool_FromLong(kovi::is_subtype(&unready_key_error, target)),
                         PyBool_FromLong(kovi::exception_matches(key_error, arg)),
                         PyBool_FromLong(kovi::is_subtype(&unready_plain, target)),
                         PyBool_FromLong(kovi::is_subtype_of_either(&unready_plain, target, target)));
}

}  // namespace

PyMethodDef probe_call_operations_methods[] = {
    {"fast_call", probe_fast_call, METH_VARARGS, "fast_call(callable, args, offset=False)"},
    {"call_c_function_direct", probe_call_c_function_direct, METH_VARARGS,
     "call_c_function_direct(function, arg)"},
    {"null_without_error", probe_null_without_error, METH_O,
     "Returns NULL without setting an exception."},
    {"is_subtype", probe_is_subtype, METH_VARARGS, "is_subtype(type, a)"},
    {"is_subtype_of_either", probe_is_subtype_of_either, METH_VARARGS,
     "is_subtype_of_either(type, a, b); None stands for a null target"},
    {"exception_matches", probe_exception_matches, METH_VARARGS, "exception_matches(err, expected)"},
    {"unready_type_tests", probe_unready_type_tests, METH_O,
     "unready_type_tests(T) -> the type tests of two never-readied types against T"},
    {nullptr, nullptr, 0, nullptr},
};
