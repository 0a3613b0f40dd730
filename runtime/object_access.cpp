#include "object_access.hpp"

#include "owned_ref.hpp"
#include "runtime_state.hpp"

namespace kovi {

PyObject *get_attr(PyObject *obj, PyObject *name)
{
    return PyObject_GetAttr(obj, name);
}

PyObject *get_attr_no_error(PyObject *obj, PyObject *name)
{
    PyObject *value = PyObject_GetAttr(obj, name);
    if (value == nullptr && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
    }
    return value;
}

PyObject *get_module_global(PyObject *name)
{
    PyObject *value = PyDict_GetItemWithError(runtime_state.module_dict, name);
    if (value != nullptr) {
        return Py_NewRef(value);
    }
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_Exception)) {
            return nullptr;
        }
        PyErr_Clear();
    }
    value = get_attr_no_error(runtime_state.builtins_module, name);
    if (value == nullptr && !PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return value;
}

PyObject *get_item_int(PyObject *obj, Py_ssize_t i, bool wraparound)
{
    if (PyList_CheckExact(obj) || PyTuple_CheckExact(obj)) {
        Py_ssize_t length = Py_SIZE(obj);
        Py_ssize_t k = (wraparound && i < 0) ? i + length : i;
        if (static_cast<size_t>(k) < static_cast<size_t>(length)) {
            PyObject *item = PyList_CheckExact(obj) ? PyList_GET_ITEM(obj, k)
                                                    : PyTuple_GET_ITEM(obj, k);
            return Py_NewRef(item);
        }
    }
    OwnedRef index(PyLong_FromSsize_t(i));
    if (!index) {
        return nullptr;
    }
    return PyObject_GetItem(obj, index.get());
}

PyObject *get_item(PyObject *obj, PyObject *key)
{
    return PyObject_GetItem(obj, key);
}

}  // namespace kovi
