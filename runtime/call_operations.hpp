// Calls of Python objects with a short vector of positional arguments,
// taking the cheapest route the callee offers.
#ifndef KOVI_RUNTIME_CALL_OPERATIONS_HPP
#define KOVI_RUNTIME_CALL_OPERATIONS_HPP

#include <Python.h>

namespace kovi {

// `nargsf` may carry PY_VECTORCALL_ARGUMENTS_OFFSET, in which case args[-1]
// is a spare slot the callee may overwrite.  No keywords.  Returns a new
// reference, or null with an exception set.
PyObject *fast_call(PyObject *callable, PyObject *const *args, size_t nargsf);

// Calls the native function of a METH_O built-in function (of
// PyCFunction_Type or of the module's function type, or derived from one)
// straight through its PyMethodDef, with no argument tuple or vector.
PyObject *call_c_function_direct(PyObject *function, PyObject *arg);

}  // namespace kovi

#endif
