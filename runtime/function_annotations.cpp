#include "function_annotations.hpp"

#include "call_operations.hpp"
#include "cpython_internal.hpp"
#include "function_object.hpp"
#include "owned_ref.hpp"
#include "runtime_state.hpp"

namespace kovi {

const char function_annotate_placeholder_doc[] =
    "Placeholder __annotate__ function to allow 'functools.wraps' to work on kovi functions.";

namespace {

// The attribute dictionary of `func` (borrowed), or null when none has been
// made yet; reads treat a missing dictionary like a missing entry.
PyObject *existing_dict(PyObject *func)
{
    PyObject **slot = cpython::dict_slot(func);
    return slot != nullptr ? *slot : nullptr;
}

// Calls an installed annotate callable with the format 1; it must give a
// dict, which becomes the function's annotations.
PyObject *annotations_from_callable(KoviFunction *f, PyObject *annotate)
{
    OwnedRef callable = OwnedRef::borrow(annotate);
    if (Py_EnterRecursiveCall(" kovi_function __annotations__.__get__")) {
        return nullptr;
    }
    OwnedRef format(PyLong_FromLong(1));
    // A spare slot in front lets a bound callable prepend its receiver.
    PyObject *argv[2] = {nullptr, format.get()};
    OwnedRef result(format ? fast_call(callable.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET)
                           : nullptr);
    Py_LeaveRecursiveCall();
    if (!result) {
        return nullptr;
    }
    if (!PyDict_Check(result.get())) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ must return a dict");
        return nullptr;
    }
    Py_XSETREF(f->func_annotations, Py_NewRef(result.get()));
    return result.release();
}

}  // namespace

PyObject *function_get_annotations(PyObject *func, void * /*closure*/)
{
    KoviFunction *f = as_function(func);
    if (f->func_annotations != nullptr) {
        return Py_NewRef(f->func_annotations);
    }
    if (PyObject *dict = existing_dict(func)) {
        PyObject *annotate = PyDict_GetItemWithError(dict, runtime_state.str_annotate);
        if (annotate == nullptr && PyErr_Occurred()) {
            return nullptr;
        }
        if (annotate != nullptr && annotate != Py_None) {
            return annotations_from_callable(f, annotate);
        }
    }
    if (f->func_annotations == nullptr) {
        f->func_annotations = PyDict_New();
        if (f->func_annotations == nullptr) {
            return nullptr;
        }
    }
    return Py_NewRef(f->func_annotations);
}

int function_set_annotations(PyObject *func, PyObject *value, void * /*closure*/)
{
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Py_XSETREF(as_function(func)->func_annotations, Py_XNewRef(value));
    // Explicit annotations disable an annotate callable.
    if (PyObject *dict = existing_dict(func)) {
        return PyDict_SetItem(dict, runtime_state.str_annotate, Py_None);
    }
    return 0;
}

PyObject *function_get_annotate(PyObject *func, void * /*closure*/)
{
    if (PyObject *dict = existing_dict(func)) {
        PyObject *annotate = PyDict_GetItemWithError(dict, runtime_state.str_annotate);
        if (annotate != nullptr) {
            return Py_NewRef(annotate);
        }
        if (PyErr_Occurred()) {
            return nullptr;
        }
    }
    return PyCMethod_New(function_annotate_def, func, nullptr, nullptr);
}

int function_set_annotate(PyObject *func, PyObject *value, void * /*closure*/)
{
    if (value == nullptr) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ cannot be deleted");
        return -1;
    }
    if (value != Py_None && !PyCallable_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotate__ must be callable or None");
        return -1;
    }
    // The placeholder bound to this very function: back to the default form.
    if (PyCFunction_Check(value) &&
        PyCFunction_GET_FUNCTION(value) == function_annotate_def->ml_meth &&
        PyCFunction_GET_SELF(value) == func) {
        PyObject *dict = existing_dict(func);
        if (dict == nullptr) {
            return 0;
        }
        int present = PyDict_Contains(dict, runtime_state.str_annotate);
        if (present <= 0) {
            return present;
        }
        return PyDict_DelItem(dict, runtime_state.str_annotate);
    }
    if (value != Py_None) {
        // The next __annotations__ read calls the new callable.
        Py_CLEAR(as_function(func)->func_annotations);
    }
    OwnedRef dict(PyObject_GenericGetDict(func, nullptr));
    if (!dict) {
        return -1;
    }
    return PyDict_SetItem(dict.get(), runtime_state.str_annotate, value);
}

PyObject *function_annotate_placeholder(PyObject *func, PyObject * /*format*/)
{
    if (func == nullptr) {
        PyErr_SetString(PyExc_SystemError, "kovi __annotate__ called without 'self' argument");
        return nullptr;
    }
    if (Py_EnterRecursiveCall(" in kovi_function annotate")) {
        return nullptr;
    }
    PyObject *annotations = function_get_annotations(func, nullptr);
    Py_LeaveRecursiveCall();
    return annotations;
}

}  // namespace kovi
