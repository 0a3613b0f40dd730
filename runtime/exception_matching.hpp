// Type and exception-class tests by method resolution order.
//
// They never call back into the interpreter and never raise: the entries of
// the type's MRO tuple are compared by identity, and a type not yet made
// ready is tested along its tp_base chain instead.  A null target never
// matches.
#ifndef KOVI_RUNTIME_EXCEPTION_MATCHING_HPP
#define KOVI_RUNTIME_EXCEPTION_MATCHING_HPP

#include <Python.h>

namespace kovi {

// 1 if `type` is `a` or `b` or derives from either, otherwise 0.
int is_subtype_of_either(PyTypeObject *type, PyTypeObject *a, PyTypeObject *b);

// 1 if `type` is `a` or derives from it, otherwise 0.
int is_subtype(PyTypeObject *type, PyTypeObject *a);

// Whether the raised exception type `err` matches `expected` as an except
// clause would: 1 for a match, otherwise 0.
int exception_matches(PyObject *err, PyObject *expected);

}  // namespace kovi

#endif
