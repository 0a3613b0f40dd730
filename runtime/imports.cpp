#include "imports.hpp"

#include "owned_ref.hpp"
#include "runtime_state.hpp"

namespace kovi {

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

PyObject *import_from(PyObject *module, PyObject *name)
{
    PyObject *value = PyObject_GetAttr(module, name);
    if (value == nullptr) {
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
    }
    return value;
}

}  // namespace kovi
