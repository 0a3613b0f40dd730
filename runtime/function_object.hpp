// The module's function objects: callables that carry a PyMethodDef and the
// introspection surface of a Python function.
#ifndef KOVI_RUNTIME_FUNCTION_OBJECT_HPP
#define KOVI_RUNTIME_FUNCTION_OBJECT_HPP

#include <Python.h>

namespace kovi {

// Specification of the shared function type.
extern PyType_Spec function_type_spec;

// A new function object, or null with an exception set.  `qualname` and
// `globals` are required; `closure`, `module` and `code` may be null.
PyObject *new_function_object(PyMethodDef *ml, int flags, PyObject *qualname,
                              PyObject *closure, PyObject *module, PyObject *globals,
                              PyObject *code);

// Hands a reference to an annotations dict over to a function object.
void attach_function_annotations(PyObject *func, PyObject *annotations);

}  // namespace kovi

#endif
