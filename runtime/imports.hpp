// The module's import statements: `import X` and `from X import a, b`.
#ifndef KOVI_RUNTIME_IMPORTS_HPP
#define KOVI_RUNTIME_IMPORTS_HPP

#include <Python.h>

namespace kovi {

// With no names: what `import name` binds (the top-level package of a
// dotted name).  With names: the named module itself, for import_from.
PyObject *import_module(PyObject *name, PyObject *const *names, Py_ssize_t count);
// The value that `from module import name` binds.
PyObject *import_from(PyObject *module, PyObject *name);
// A new list of the names, in order.
PyObject *build_name_list(PyObject *const *names, Py_ssize_t count);

}  // namespace kovi

#endif
