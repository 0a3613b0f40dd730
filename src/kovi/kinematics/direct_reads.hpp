// Reads that skip the generic protocols where nobody can tell the
// difference: elements of float64 ndarrays straight from their data, and
// slot attributes straight from the object.
//
// Each function either does its whole read without running any code, or
// reports that it cannot (false, or the general operation's own result),
// so that the caller takes the general read with its errors and messages.
#ifndef KOVI_KINEMATICS_DIRECT_READS_HPP
#define KOVI_KINEMATICS_DIRECT_READS_HPP

#include <Python.h>

#include <cstring>

#include "cpython_internal.hpp"
#include "numpy_api.hpp"
#include "object_access.hpp"
#include "pose_accumulator.hpp"

namespace kovi {

// ---- ndarray elements

// `obj` as an array whose elements indexing would return as numpy.float64
// scalars holding exactly the stored doubles: the type numpy.ndarray itself
// (a subclass may override indexing), dtype float64 in native byte order,
// data aligned.  Null for anything else.
inline PyArrayObject *as_float64_array(PyObject *obj)
{
    if (Py_TYPE(obj) != numpy_types.ndarray) {
        return nullptr;
    }
    PyArrayObject *array = reinterpret_cast<PyArrayObject *>(obj);
    const PyArray_Descr *descr = PyArray_DESCR(array);
    if (descr->type_num != NPY_DOUBLE || descr->typeobj != numpy_types.float64 ||
        !PyArray_ISNBO(descr->byteorder) || !PyArray_CHKFLAGS(array, NPY_ARRAY_ALIGNED)) {
        return nullptr;
    }
    return array;
}

inline double element_at(const char *data, npy_intp offset)
{
    double value;
    std::memcpy(&value, data + offset, sizeof value);
    return value;
}

// obj[0], obj[1], obj[2] of a one-dimensional float64 array at least three
// long.
inline bool read_vector3_direct(PyObject *obj, double (&out)[3])
{
    PyArrayObject *array = as_float64_array(obj);
    if (array == nullptr || PyArray_NDIM(array) != 1 || PyArray_DIM(array, 0) < 3) {
        return false;
    }
    const char *data = PyArray_BYTES(array);
    npy_intp stride = PyArray_STRIDE(array, 0);
    for (int k = 0; k < 3; k++) {
        out[k] = element_at(data, k * stride);
    }
    return true;
}

// obj[i], 0 <= i, of a one-dimensional float64 array longer than i.
inline bool read_vector_element_direct(PyObject *obj, Py_ssize_t i, double &out)
{
    PyArrayObject *array = as_float64_array(obj);
    if (array == nullptr || PyArray_NDIM(array) != 1 || i >= PyArray_DIM(array, 0)) {
        return false;
    }
    out = element_at(PyArray_BYTES(array), i * PyArray_STRIDE(array, 0));
    return true;
}

// obj[row, column] for rows 0-2 and columns 0-3 of a two-dimensional
// float64 array with at least that many rows and columns.
inline bool read_transform_direct(PyObject *obj, AffineBlock &out)
{
    PyArrayObject *array = as_float64_array(obj);
    if (array == nullptr || PyArray_NDIM(array) != 2 || PyArray_DIM(array, 0) < 3 ||
        PyArray_DIM(array, 1) < 4) {
        return false;
    }
    const char *data = PyArray_BYTES(array);
    npy_intp row_stride = PyArray_STRIDE(array, 0);
    npy_intp column_stride = PyArray_STRIDE(array, 1);
    for (int j = 0; j < 3; j++) {
        for (int k = 0; k < 4; k++) {
            out.e[j][k] = element_at(data, j * row_stride + k * column_stride);
        }
    }
    return true;
}

// ---- slot attributes

// The interpreter's own inline cache for a slot attribute, for one name:
// while an object's type is `type` and the type still carries `version`,
// the name resolves to the member descriptor of a `__slots__` entry at
// `offset`.  The tag goes whenever the lookup could change
// (cpython_internal.hpp), so a stale entry never matches; `__class__`
// assignment changes the object's type.  The type is not kept alive and
// never looked at through the entry: only compared with a live object's.
struct SlotEntry {
    PyTypeObject *type;
    unsigned int version;  // 0: empty
    Py_ssize_t offset;
};

// Two hit entries, so that a chain whose joints alternate between two
// record types reads both directly: the entry filled last first, the one
// before it second, and a third type pushes the second out.  `miss_type`
// and `miss_version` remember the last type seen not to hold such a slot,
// so that objects of it cost one comparison on the general path, not a
// search.
struct SlotCache {
    SlotEntry hits[2];
    PyTypeObject *miss_type;
    unsigned int miss_version;
};

// Whether `entry` reads the slot of objects of `type` as it is now.
inline bool entry_holds(const SlotEntry &entry, PyTypeObject *type)
{
    return type == entry.type && cpython::version_tag_is(type, entry.version);
}

inline PyObject *slot_value(PyObject *obj, const SlotEntry &entry)
{
    return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(obj) + entry.offset);
}

// The read for an object whose type the first entry does not hold, or whose
// slot is empty: through the second entry, or get_attr, which fills `cache`
// if the value came from a cacheable slot.
PyObject *get_attr_filling(SlotCache &cache, PyObject *obj, PyObject *name);

// getattr(obj, name): the slot read directly when the cache holds the
// object's type and the slot is filled, the general read otherwise (which
// raises the type's own AttributeError for an empty slot).  Only the first
// entry is tested here, so that a chain of one record type costs what it
// would with one entry.
inline PyObject *get_attr_cached(SlotCache &cache, PyObject *obj, PyObject *name)
{
    PyTypeObject *type = Py_TYPE(obj);
    if (entry_holds(cache.hits[0], type)) {
        PyObject *value = slot_value(obj, cache.hits[0]);
        if (value != nullptr) {
            return Py_NewRef(value);
        }
    }
    else if (type == cache.miss_type && cpython::version_tag_is(type, cache.miss_version)) {
        return get_attr(obj, name);
    }
    return get_attr_filling(cache, obj, name);
}

}  // namespace kovi

#endif
