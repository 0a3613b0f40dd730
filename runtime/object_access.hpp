// Attribute, item and module-global reads with the results of the
// corresponding Python operations.  Every function returns a new reference,
// or null with an exception set; get_attr_no_error may also return null
// with no exception set, meaning "no such attribute".  Arguments are
// borrowed.
#ifndef KOVI_RUNTIME_OBJECT_ACCESS_HPP
#define KOVI_RUNTIME_OBJECT_ACCESS_HPP

#include <Python.h>

namespace kovi {

PyObject *get_attr(PyObject *obj, PyObject *name);
PyObject *get_attr_no_error(PyObject *obj, PyObject *name);
PyObject *get_module_global(PyObject *name);
PyObject *get_item_int(PyObject *obj, Py_ssize_t i, bool wraparound);
PyObject *get_item(PyObject *obj, PyObject *key);

}  // namespace kovi

#endif
