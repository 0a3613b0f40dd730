#define KOVI_NUMPY_API_DEFINITION
#include "numpy_api.hpp"

#include "dict_scan.hpp"

namespace kovi {

NumpyTypes numpy_types = {};

namespace {

// Where numpy 2 and numpy 1 keep the module that exports the API table.
const char *const multiarray_names[] = {
    "numpy._core._multiarray_umath",
    "numpy.core._multiarray_umath",
};

// The loaded module that holds the API table, or null.  sys.modules is
// read entry by entry: nothing is imported and no key's code runs.
PyObject *loaded_multiarray_module()
{
    PyObject *modules = PyImport_GetModuleDict();
    if (modules == nullptr || !PyDict_Check(modules)) {
        return nullptr;
    }
    for (const char *name : multiarray_names) {
        PyObject *module = item_by_str_key(modules, name);
        if (module != nullptr) {
            return PyModule_CheckExact(module) ? module : nullptr;
        }
    }
    return nullptr;
}

// The checks of numpy's own import_array(), without its messages: a table
// this build cannot use leaves the fast paths off.
bool api_table_usable()
{
    if (NPY_VERSION < PyArray_GetNDArrayCVersion()) {
        return false;
    }
    PyArray_RUNTIME_VERSION = static_cast<int>(PyArray_GetNDArrayCFeatureVersion());
    if (NPY_FEATURE_VERSION > PyArray_RUNTIME_VERSION) {
        return false;
    }
#if NPY_BYTE_ORDER == NPY_BIG_ENDIAN
    return PyArray_GetEndianness() == NPY_CPU_BIG;
#else
    return PyArray_GetEndianness() == NPY_CPU_LITTLE;
#endif
}

// numpy's `array`: the built-in function of the module that holds the table.
PyObject *own_array_function(PyObject *multiarray)
{
    PyObject *array = item_by_str_key(PyModule_GetDict(multiarray), "array");
    if (array == nullptr || !PyCFunction_CheckExact(array) ||
        PyCFunction_GET_SELF(array) != multiarray) {
        return nullptr;
    }
    return array;
}

}  // namespace

bool load_numpy_api()
{
    if (numpy_types.ndarray != nullptr) {
        return true;
    }
    PyObject *multiarray = loaded_multiarray_module();
    if (multiarray == nullptr) {
        return false;
    }
    PyObject *capsule = item_by_str_key(PyModule_GetDict(multiarray), "_ARRAY_API");
    if (capsule == nullptr || !PyCapsule_CheckExact(capsule) || !PyCapsule_IsValid(capsule, nullptr)) {
        return false;
    }
    PyArray_API = static_cast<void **>(PyCapsule_GetPointer(capsule, nullptr));
    PyObject *array = own_array_function(multiarray);
    if (PyArray_API == nullptr || !api_table_usable() || array == nullptr) {
        PyArray_API = nullptr;
        return false;
    }
    numpy_types.array = Py_NewRef(array);
    numpy_types.float64 = &PyDoubleArrType_Type;
    numpy_types.ndarray = &PyArray_Type;
    return true;
}

PyObject *new_pose_array(const AffineBlock &pose)
{
    npy_intp dims[2] = {4, 4};
    PyObject *result = PyArray_SimpleNew(2, dims, NPY_DOUBLE);
    if (result == nullptr) {
        return nullptr;
    }
    double *out = static_cast<double *>(PyArray_DATA(reinterpret_cast<PyArrayObject *>(result)));
    for (int j = 0; j < 3; j++) {
        for (int k = 0; k < 4; k++) {
            out[4 * j + k] = pose.e[j][k];
        }
    }
    out[12] = 0.0;
    out[13] = 0.0;
    out[14] = 0.0;
    out[15] = 1.0;
    return result;
}

}  // namespace kovi
