// Calls of Python objects with a short vector of positional arguments.
#ifndef KOVI_RUNTIME_CALL_OPERATIONS_HPP
#define KOVI_RUNTIME_CALL_OPERATIONS_HPP

#include <Python.h>

namespace kovi {

// `nargsf` may carry PY_VECTORCALL_ARGUMENTS_OFFSET, in which case args[-1]
// is a spare slot the callee may overwrite.  Returns a new reference, or
// null with an exception set.
PyObject *fast_call(PyObject *callable, PyObject *const *args, size_t nargsf);

}  // namespace kovi

#endif
