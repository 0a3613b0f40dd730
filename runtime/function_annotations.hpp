// Annotations of the shared function type: the __annotations__ and
// __annotate__ attributes and the placeholder method "__annotate_kovi__".
//
// Three forms: default (no "__annotate__" entry in the attribute dict;
// __annotate__ reads as the placeholder bound to the function), replaced (a
// callable stored there, called with 1 on the next __annotations__ read) and
// disabled (None stored there).
#ifndef KOVI_RUNTIME_FUNCTION_ANNOTATIONS_HPP
#define KOVI_RUNTIME_FUNCTION_ANNOTATIONS_HPP

#include <Python.h>

namespace kovi {

PyObject *function_get_annotations(PyObject *func, void *closure);
int function_set_annotations(PyObject *func, PyObject *value, void *closure);
PyObject *function_get_annotate(PyObject *func, void *closure);
int function_set_annotate(PyObject *func, PyObject *value, void *closure);

// "__annotate_kovi__" (METH_O): the function's annotations; the format
// argument is ignored.
PyObject *function_annotate_placeholder(PyObject *func, PyObject *format);
extern const char function_annotate_placeholder_doc[];

// The method definition of the placeholder in the function type's method
// table, from which __annotate__ reads make bound methods.
extern PyMethodDef *const function_annotate_def;

}  // namespace kovi

#endif
