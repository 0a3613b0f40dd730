// numpy's C API, taken from the numpy the interpreter has already loaded.
//
// The one place that includes numpy's headers.  The API table is read from
// the `_ARRAY_API` capsule of numpy's `_multiarray_umath` module as found in
// sys.modules, without importing anything: numpy's own import_array() goes
// through __import__, which a caller may have replaced and could observe.
// Until the table is loaded (and if it never is) `numpy_types.ndarray` is
// null, no object has that type, and every numpy fast path stays off.
#ifndef KOVI_KINEMATICS_NUMPY_API_HPP
#define KOVI_KINEMATICS_NUMPY_API_HPP

#include <Python.h>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL kovi_numpy_array_api
#ifndef KOVI_NUMPY_API_DEFINITION
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include "pose_accumulator.hpp"

namespace kovi {

struct NumpyTypes {
    PyTypeObject *ndarray;  // numpy.ndarray; null while the API is not loaded
    PyTypeObject *float64;  // numpy.float64, the scalar type of float64 arrays
    PyObject *array;        // numpy's own `array` function (owned)
};

extern NumpyTypes numpy_types;

// Loads the API table from the numpy module in sys.modules.  Never raises
// and never runs Python code; returns whether the table is usable.
bool load_numpy_api();

// A new float64 array of shape (4, 4), C order, owning its data, holding
// the pose and the row [0, 0, 0, 1]: what numpy.array makes of the rows.
// Null with numpy's MemoryError set on failure.  The API must be loaded.
PyObject *new_pose_array(const AffineBlock &pose);

}  // namespace kovi

#endif
