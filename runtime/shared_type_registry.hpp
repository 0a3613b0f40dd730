// One function type and one metatype per toolchain version and process.
//
// The types live in the dictionary of the module "_kovi_rt_1_0_0" in
// sys.modules, keyed by their short names.  The first module that needs a
// type creates and publishes it; every later one finds, checks and uses it.
#ifndef KOVI_RUNTIME_SHARED_TYPE_REGISTRY_HPP
#define KOVI_RUNTIME_SHARED_TYPE_REGISTRY_HPP

#include <Python.h>

namespace kovi {

// The PyType_Spec the common metatype of the shared types is made from.
extern PyType_Spec common_metatype_spec;

// A new reference to the shared type made from `spec`, or null with an
// exception set.  `metatype` and `bases` may be null.
PyObject *fetch_shared_type(PyTypeObject *metatype, PyType_Spec *spec, PyObject *bases);

// 0 when `candidate` may serve as the shared type `short_name` made from
// `spec`, -1 with a TypeError set when not.  Its instances must have the
// layout the module relies on: the type spec's size, item size and
// layout flags, and its offsets of the vector call entry, the weak-reference
// list and the dictionary.  A type spec of size 0 asks for a type only.
int check_shared_type(PyObject *candidate, const char *short_name, const PyType_Spec *spec);

}  // namespace kovi

#endif
