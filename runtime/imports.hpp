// The module's import statements: `import X` and `from X import a, b`.
//
// Both consult sys.modules first, so that a module already loaded is used
// without going through the import system; all imports are absolute and
// take the module's dictionary (runtime_state.module_dict) as globals.
#ifndef KOVI_RUNTIME_IMPORTS_HPP
#define KOVI_RUNTIME_IMPORTS_HPP

#include <Python.h>

namespace kovi {

// With no names (null): what `import name` binds, the top-level package of
// a dotted name.  With names: the named module itself, ready for
// import_from.  Returns a new reference, or null with an exception set.
PyObject *import_module(PyObject *name, PyObject *const *names, Py_ssize_t count);
// The value that `from module import name` binds: the attribute, or a
// submodule loaded but not (yet) bound in its package.  Otherwise
// ImportError "cannot import name ...".
PyObject *import_from(PyObject *module, PyObject *name);
// A new list of the names, in order.
PyObject *build_name_list(PyObject *const *names, Py_ssize_t count);

}  // namespace kovi

#endif
