// Probe of the import operations, called with the probe module's
// dictionary as the globals of every import.
#include <Python.h>

#include "imports.hpp"
#include "probe_tables.hpp"

namespace {

// import_module(name, names=None): names is a tuple of strings or None.
PyObject *probe_import_module(PyObject *, PyObject *args)
{
    PyObject *name;
    PyObject *names = Py_None;
    if (!PyArg_ParseTuple(args, "U|O:import_module", &name, &names)) {
        return nullptr;
    }
    if (names == Py_None) {
        return kovi::import_module(name, nullptr, 0);
    }
    if (!PyTuple_Check(names)) {
        PyErr_SetString(PyExc_TypeError, "names must be a tuple or None");
        return nullptr;
    }
    return kovi::import_module(name, PySequence_Fast_ITEMS(names), PyTuple_GET_SIZE(names));
}

PyObject *probe_import_from(PyObject *, PyObject *args)
{
    PyObject *module;
    PyObject *name;
    if (!PyArg_ParseTuple(args, "OU:import_from", &module, &name)) {
        return nullptr;
    }
    return kovi::import_from(module, name);
}

}  // namespace

PyMethodDef probe_imports_methods[] = {
    {"import_module", probe_import_module, METH_VARARGS, nullptr},
    {"import_from", probe_import_from, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
