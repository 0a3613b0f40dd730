// Probe functions for the float conversion.
#include <Python.h>

#include "float_conversion.hpp"
#include "probe_tables.hpp"

namespace {

PyObject *double_result(double value)
{
    if (value == -1.0 && PyErr_Occurred()) {
        return nullptr;
    }
    return PyFloat_FromDouble(value);
}

// float(x) as the module's body converts its elements.
PyObject *probe_as_double(PyObject *, PyObject *arg)
{
    return double_result(kovi::as_double(arg));
}

PyObject *probe_object_as_double(PyObject *, PyObject *arg)
{
    return double_result(kovi::object_as_double(arg));
}

}  // namespace

PyMethodDef probe_float_conversion_methods[] = {
    {"as_double", probe_as_double, METH_O, "as_double(x): float(x) as the body converts it"},
    {"object_as_double", probe_object_as_double, METH_O, "object_as_double(x)"},
    {nullptr, nullptr, 0, nullptr},
};
