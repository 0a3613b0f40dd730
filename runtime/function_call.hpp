// Call dispatch of the shared function type: the per-object vector call
// entries, one per calling convention, and the type's tp_call.
#ifndef KOVI_RUNTIME_FUNCTION_CALL_HPP
#define KOVI_RUNTIME_FUNCTION_CALL_HPP

#include <Python.h>

namespace kovi {

// The vector call entry for the calling convention of `ml`.  Returns 0 and
// sets `*entry` (null for METH_VARARGS | METH_KEYWORDS, which calls through
// tp_call), or -1 with SystemError set for an unsupported convention.
int select_function_vectorcall(const PyMethodDef *ml, vectorcallfunc *entry);

// tp_call of the function type.
PyObject *function_call(PyObject *func, PyObject *args, PyObject *kwargs);

}  // namespace kovi

#endif
