// Conversion of any object to a double with the meaning of Python's float(x).
// Failure is -1.0 with an exception set; a genuine -1.0 comes back with no
// exception set.
#ifndef KOVI_RUNTIME_FLOAT_CONVERSION_HPP
#define KOVI_RUNTIME_FLOAT_CONVERSION_HPP

#include <Python.h>

namespace kovi {

double object_as_double(PyObject *obj);

}  // namespace kovi

#endif
