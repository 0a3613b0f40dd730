#include "imports.hpp"

#include "owned_ref.hpp"
#include "runtime_state.hpp"

namespace kovi {

namespace {

// The entry of sys.modules under `name` (a new reference), or null, with an
// exception set only if the lookup failed.  An entry of None (an import
// blocked on purpose) counts as absent, so that the import system reports
// it instead of None being bound as the module.
PyObject *loaded_module(PyObject *name)
{
    PyObject *module = PyImport_GetModule(name);
    if (module == Py_None) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

// Goes through the import system: __import__(name, globals, {}, names, 0).
PyObject *import_through_machinery(PyObject *name, PyObject *const *names, Py_ssize_t count)
{
    OwnedRef locals(PyDict_New());
    if (!locals) {
        return nullptr;
    }
    OwnedRef from_list;
    if (names != nullptr) {
        from_list.reset(build_name_list(names, count));
        if (!from_list) {
            return nullptr;
        }
    }
    return PyImport_ImportModuleLevelObject(name, runtime_state.module_dict, locals.get(),
                                            from_list.get(), 0);
}

}  // namespace

PyObject *build_name_list(PyObject *const *names, Py_ssize_t count)
{
    PyObject *list = PyList_New(count);
    if (list == nullptr) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < count; i++) {
        PyList_SET_ITEM(list, i, Py_NewRef(names[i]));
    }
    return list;
}

PyObject *import_module(PyObject *name, PyObject *const *names, Py_ssize_t count)
{
    OwnedRef module(loaded_module(name));
    if (!module) {
        if (PyErr_Occurred()) {
            return nullptr;
        }
        return import_through_machinery(name, names, count);
    }
    if (names != nullptr) {
        // A from-import can use the loaded module only if it already has
        // every name; otherwise the import system may still load them as
        // submodules.
        for (Py_ssize_t i = 0; i < count; i++) {
            if (!PyObject_HasAttr(module.get(), names[i])) {
                module.reset();
                return import_through_machinery(name, names, count);
            }
        }
        return module.release();
    }
    Py_ssize_t dot = PyUnicode_FindChar(name, '.', 0, PyUnicode_GET_LENGTH(name), 1);
    if (dot == -1) {
        return module.release();
    }
    if (dot == -2) {
        return nullptr;
    }
    // `import a.b` binds the top-level package `a`.
    OwnedRef top_name(PyUnicode_Substring(name, 0, dot));
    if (!top_name) {
        return nullptr;
    }
    module.reset();
    OwnedRef top(loaded_module(top_name.get()));
    top_name.reset();
    if (top) {
        return top.release();
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }
    return import_through_machinery(name, names, count);
}

PyObject *import_from(PyObject *module, PyObject *name)
{
    getattrofunc getattro = Py_TYPE(module)->tp_getattro;
    PyObject *value = getattro != nullptr ? getattro(module, name) : PyObject_GetAttr(module, name);
    if (value != nullptr) {
        return value;
    }
    if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        // A submodule imported but not yet bound in its package (as while
        // the package itself is still initialising).
        PyErr_Clear();
        const char *module_name = PyModule_GetName(module);
        if (module_name != nullptr) {
            OwnedRef package(PyUnicode_FromString(module_name));
            OwnedRef prefix(package ? PyUnicode_Concat(package.get(), runtime_state.str_dot)
                                    : nullptr);
            package.reset();
            OwnedRef full_name(prefix ? PyUnicode_Concat(prefix.get(), name) : nullptr);
            prefix.reset();
            if (full_name) {
                value = PyImport_GetModule(full_name.get());
            }
        }
    }
    if (value == nullptr) {
        // Replaces whatever exception is still pending.
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    }
    return value;
}

}  // namespace kovi
