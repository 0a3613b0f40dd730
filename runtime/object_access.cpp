#include "object_access.hpp"

#include "call_operations.hpp"
#include "cpython_internal.hpp"
#include "exception_matching.hpp"
#include "owned_ref.hpp"
#include "runtime_state.hpp"

namespace kovi {

namespace {

// A subscript function called with `i` as an integer object.
PyObject *subscript_with_int(binaryfunc subscript, PyObject *obj, Py_ssize_t i)
{
    OwnedRef key(PyLong_FromSsize_t(i));
    if (!key) {
        return nullptr;
    }
    return subscript(obj, key.get());
}

// obj[i] through the generic protocol; out-of-range indices of lists and
// tuples end here and raise the container's own IndexError.
PyObject *get_item_int_generic(PyObject *obj, Py_ssize_t i)
{
    OwnedRef key(PyLong_FromSsize_t(i));
    if (!key) {
        return nullptr;
    }
    return PyObject_GetItem(obj, key.get());
}

// An index from an int (or int subclass): a value of one digit is read in
// place, larger ones by the interpreter.  -1 with an exception set on
// overflow.
Py_ssize_t int_as_index(PyObject *key)
{
    const PyLongObject *v = reinterpret_cast<const PyLongObject *>(key);
    if (PyUnstable_Long_IsCompact(v)) {
        return PyUnstable_Long_CompactValue(v);
    }
    return PyLong_AsSsize_t(key);
}

}  // namespace

PyObject *get_attr(PyObject *obj, PyObject *name)
{
    getattrofunc getattro = Py_TYPE(obj)->tp_getattro;
    if (getattro != nullptr) {
        return getattro(obj, name);
    }
    return PyObject_GetAttr(obj, name);
}

PyObject *get_attr_no_error(PyObject *obj, PyObject *name)
{
    getattrofunc getattro = Py_TYPE(obj)->tp_getattro;
    if (getattro == PyObject_GenericGetAttr) {
        // The generic lookup can report a miss without making an exception.
        return cpython::generic_getattr_or_null(obj, name);
    }
    PyObject *value = getattro != nullptr ? getattro(obj, name) : PyObject_GetAttr(obj, name);
    if (value == nullptr && exception_matches(PyErr_Occurred(), PyExc_AttributeError)) {
        PyErr_Clear();
    }
    return value;
}

PyObject *get_module_global(PyObject *name)
{
    // A constant name carries its hash: the lookup computes none.
    PyObject *value = PyDict_GetItemWithError(runtime_state.module_dict, name);
    if (value != nullptr) {
        return Py_NewRef(value);
    }
    // A key of the same hash whose comparison raised: the interpreter's
    // global lookup passes that error on, and so does this one.
    if (PyErr_Occurred()) {
        return nullptr;
    }
    value = get_attr_no_error(runtime_state.builtins_module, name);
    if (value == nullptr && !PyErr_Occurred()) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    return value;
}

PyObject *get_item_int(PyObject *obj, Py_ssize_t i, bool wraparound)
{
    PyTypeObject *type = Py_TYPE(obj);
    if (type == &PyList_Type || type == &PyTuple_Type) {
        Py_ssize_t length = Py_SIZE(obj);
        Py_ssize_t k = (wraparound && i < 0) ? i + length : i;
        // One unsigned comparison tests both ends.
        if (static_cast<size_t>(k) < static_cast<size_t>(length)) {
            return Py_NewRef(PySequence_Fast_ITEMS(obj)[k]);
        }
        return get_item_int_generic(obj, i);
    }
    if (type == &PyDict_Type) {
        return subscript_with_int(PyDict_Type.tp_as_mapping->mp_subscript, obj, i);
    }

    PyMappingMethods *mapping = type->tp_as_mapping;
    PySequenceMethods *sequence = type->tp_as_sequence;
    binaryfunc subscript = mapping != nullptr ? mapping->mp_subscript : nullptr;
    bool sequence_only = (type->tp_flags & (Py_TPFLAGS_SEQUENCE | Py_TPFLAGS_MAPPING)) ==
                         Py_TPFLAGS_SEQUENCE;
    if (!sequence_only && subscript != nullptr) {
        return subscript_with_int(subscript, obj, i);
    }
    if (sequence != nullptr && sequence->sq_item != nullptr) {
        if (wraparound && i < 0 && sequence->sq_length != nullptr) {
            Py_ssize_t length = sequence->sq_length(obj);
            if (length >= 0) {
                i += length;
            }
            else if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
                // Too long to measure: the item slot sees the index as given.
                PyErr_Clear();
            }
            else {
                return nullptr;
            }
        }
        return sequence->sq_item(obj, i);
    }
    if (sequence_only && subscript != nullptr) {
        return subscript_with_int(subscript, obj, i);
    }
    return get_item_int_generic(obj, i);
}

PyObject *get_item(PyObject *obj, PyObject *key)
{
    PyTypeObject *type = Py_TYPE(obj);
    PyMappingMethods *mapping = type->tp_as_mapping;
    if (mapping != nullptr && mapping->mp_subscript != nullptr) {
        return mapping->mp_subscript(obj, key);
    }

    PySequenceMethods *sequence = type->tp_as_sequence;
    if (sequence != nullptr && sequence->sq_item != nullptr) {
        Py_ssize_t index;
        if (PyLong_Check(key)) {
            index = int_as_index(key);
        }
        else {
            OwnedRef index_object(PyNumber_Index(key));
            if (!index_object) {
                return nullptr;
            }
            index = PyLong_AsSsize_t(index_object.get());
        }
        if (index == -1 && PyErr_Occurred()) {
            if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_IndexError, "cannot fit '%.200s' into an index-sized integer",
                             Py_TYPE(key)->tp_name);
            }
            return nullptr;
        }
        return get_item_int(obj, index, true);
    }

    if (PyType_Check(obj)) {
        // type[...] is a generic alias; other classes subscript through
        // __class_getitem__.
        if (obj == reinterpret_cast<PyObject *>(&PyType_Type)) {
            return Py_GenericAlias(obj, key);
        }
        OwnedRef class_getitem(get_attr_no_error(obj, runtime_state.str_class_getitem));
        if (class_getitem) {
            PyObject *args[2] = {nullptr, key};
            return fast_call(class_getitem.get(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET);
        }
        if (PyErr_Occurred()) {
            return nullptr;
        }
    }
    PyErr_Format(PyExc_TypeError, "'%.200s' object is not subscriptable", type->tp_name);
    return nullptr;
}

}  // namespace kovi
