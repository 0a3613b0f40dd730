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

// A metatype that disallows instantiation has a null tp_new, and type() and
// type.__new__ hand the creation of a class to the metatype of its bases by
// calling that tp_new unchecked: type("X", (kovi_function_or_method,), {})
// would crash the interpreter.  Such metatypes get this tp_new instead,
// which refuses with the interpreter's own message.
static PyObject *common_metatype_new(PyTypeObject *metatype, PyObject * /*args*/,
                                     PyObject * /*kwargs*/)
{
    PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", metatype->tp_name);
    return nullptr;
}

// PyType_FromMetaclass, which never calls the metatype's tp_new but refuses
// one of its own: a refusing tp_new stands down for the creation.
static PyObject *create_shared_type(PyTypeObject *metatype, PyObject *module, PyType_Spec *spec,
                                    PyObject *bases)
{
    newfunc refusing = nullptr;
    if (metatype != nullptr && PyType_HasFeature(metatype, Py_TPFLAGS_DISALLOW_INSTANTIATION)) {
        refusing = metatype->tp_new;
        metatype->tp_new = nullptr;
    }
    PyObject *created = PyType_FromMetaclass(metatype, module, spec, bases);
    if (refusing != nullptr) {
        metatype->tp_new = refusing;
    }
    if (created != nullptr) {
        PyTypeObject *type = reinterpret_cast<PyTypeObject *>(created);
        if (PyType_HasFeature(type, Py_TPFLAGS_DISALLOW_INSTANTIATION) &&
            PyType_IsSubtype(type, &PyType_Type)) {
            type->tp_new = common_metatype_new;
        }
    }
    return created;
}

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

    OwnedRef created(create_shared_type(metatype, abi_module.get(), spec, bases));
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
