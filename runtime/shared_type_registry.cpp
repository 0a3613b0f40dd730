#include "shared_type_registry.hpp"

#include <cstring>

#include "owned_ref.hpp"

namespace kovi {

static const char shared_abi_module_name[] = "_kovi_rt_1_0_0";

// Every shared type reports the registry module as its __module__; the
// getter lives on the metatype so that the attribute cannot be set.
static PyObject *common_metatype_get_module(PyObject * /*self*/, void * /*closure*/)
{
    return PyUnicode_FromString(shared_abi_module_name);
}

static PyGetSetDef common_metatype_getset[] = {
    {"__module__", common_metatype_get_module, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PyType_Slot common_metatype_slots[] = {
    {Py_tp_getset, common_metatype_getset},
    {0, nullptr},
};

PyType_Spec common_metatype_spec = {
    "_kovi_rt_1_0_0._common_types_metatype",
    0,
    0,
    Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    common_metatype_slots,
};

int check_shared_type(PyObject *candidate, const char *short_name, Py_ssize_t expected_basicsize)
{
    if (!PyType_Check(candidate)) {
        PyErr_Format(PyExc_TypeError, "Shared kovi type %.200s is not a type object", short_name);
        return -1;
    }
    if (expected_basicsize == 0) {
        return 0;
    }
    if (reinterpret_cast<PyTypeObject *>(candidate)->tp_basicsize != expected_basicsize) {
        PyErr_Format(PyExc_TypeError, "Shared kovi type %.200s has the wrong size, try recompiling",
                     short_name);
        return -1;
    }
    return 0;
}

PyObject *fetch_shared_type(PyTypeObject *metatype, PyType_Spec *spec, PyObject *bases)
{
    const char *dot = std::strrchr(spec->name, '.');
    const char *short_name = dot != nullptr ? dot + 1 : spec->name;
    OwnedRef key(PyUnicode_FromString(short_name));
    if (!key) {
        return nullptr;
    }
    OwnedRef abi_module = OwnedRef::borrow(PyImport_AddModule(shared_abi_module_name));
    if (!abi_module) {
        return nullptr;
    }
    PyObject *registry = PyModule_GetDict(abi_module.get());
    if (registry == nullptr) {
        return nullptr;
    }

    PyObject *found = PyDict_GetItemWithError(registry, key.get());
    if (found != nullptr) {
        OwnedRef type = OwnedRef::borrow(found);
        if (check_shared_type(type.get(), short_name, spec->basicsize) < 0) {
            return nullptr;
        }
        return type.release();
    }
    if (PyErr_Occurred()) {
        return nullptr;
    }

    OwnedRef created(PyType_FromMetaclass(metatype, abi_module.get(), spec, bases));
    if (!created) {
        return nullptr;
    }
    // Whoever published first wins; a type made meanwhile is discarded.
    PyObject *published = PyDict_SetDefault(registry, key.get(), created.get());
    if (published == nullptr) {
        return nullptr;
    }
    if (published == created.get()) {
        return created.release();
    }
    OwnedRef type = OwnedRef::borrow(published);
    created.reset();
    if (check_shared_type(type.get(), short_name, spec->basicsize) < 0) {
        return nullptr;
    }
    return type.release();
}

}  // namespace kovi
