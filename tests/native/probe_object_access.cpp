// Probe functions for the object access operations.
#include <Python.h>

#include "object_access.hpp"
#include "owned_ref.hpp"
#include "probe_tables.hpp"

namespace {

using kovi::OwnedRef;

// The operations take interned names, as the module's constant strings are.
OwnedRef interned_name(PyObject *name)
{
    if (!PyUnicode_CheckExact(name)) {
        PyErr_SetString(PyExc_TypeError, "name must be a str");
        return OwnedRef();
    }
    Py_INCREF(name);
    PyUnicode_InternInPlace(&name);
    return OwnedRef(name);
}

PyObject *probe_get_attr(PyObject *, PyObject *args)
{
    PyObject *obj;
    PyObject *name_arg;
    if (!PyArg_ParseTuple(args, "OO:get_attr", &obj, &name_arg)) {
        return nullptr;
    }
    OwnedRef name = interned_name(name_arg);
    return name ? kovi::get_attr(obj, name.get()) : nullptr;
}

// (value,) when found, () when missing with no exception.
PyObject *probe_get_attr_no_error(PyObject *, PyObject *args)
{
    PyObject *obj;
    PyObject *name_arg;
    if (!PyArg_ParseTuple(args, "OO:get_attr_no_error", &obj, &name_arg)) {
        return nullptr;
    }
    OwnedRef name = interned_name(name_arg);
    if (!name) {
        return nullptr;
    }
    OwnedRef value(kovi::get_attr_no_error(obj, name.get()));
    if (!value) {
        return PyErr_Occurred() ? nullptr : PyTuple_New(0);
    }
    return PyTuple_Pack(1, value.get());
}

PyObject *probe_get_module_global(PyObject *, PyObject *arg)
{
    OwnedRef name = interned_name(arg);
    return name ? kovi::get_module_global(name.get()) : nullptr;
}

PyObject *probe_get_item_int(PyObject *, PyObject *args)
{
    PyObject *obj;
    Py_ssize_t i;
    int wraparound;
    if (!PyArg_ParseTuple(args, "Onp:get_item_int", &obj, &i, &wraparound)) {
        return nullptr;
    }
    return kovi::get_item_int(obj, i, wraparound != 0);
}

PyObject *probe_get_item(PyObject *, PyObject *args)
{
    PyObject *obj;
    PyObject *key;
    if (!PyArg_ParseTuple(args, "OO:get_item", &obj, &key)) {
        return nullptr;
    }
    return kovi::get_item(obj, key);
}

}  // namespace

PyMethodDef probe_object_access_methods[] = {
    {"get_attr", probe_get_attr, METH_VARARGS, "get_attr(obj, name)"},
    {"get_attr_no_error", probe_get_attr_no_error, METH_VARARGS,
     "get_attr_no_error(obj, name) -> (value,) or () when missing"},
    {"get_module_global", probe_get_module_global, METH_O,
     "get_module_global(name), looked up in this probe module and the builtins"},
    {"get_item_int", probe_get_item_int, METH_VARARGS, "get_item_int(obj, i, wraparound)"},
    {"get_item", probe_get_item, METH_VARARGS, "get_item(obj, key)"},
    {nullptr, nullptr, 0, nullptr},
};
