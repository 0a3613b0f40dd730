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

namespace {

// The flags that decide where an instance keeps what the module reads: its
// dictionary (outside the object), its weak references, its
// garbage-collection header and its vector call entry.
constexpr unsigned long layout_flags = Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_MANAGED_WEAKREF |
                                       Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;

// The offset a PyType_Spec gives the interpreter through the member
// `name` of its Py_tp_members slot, or 0 when it gives none.
Py_ssize_t spec_member_offset(const PyType_Spec *spec, const char *name)
{
    for (const PyType_Slot *slot = spec->slots; slot->slot != 0; slot++) {
        if (slot->slot != Py_tp_members) {
            continue;
        }
        for (auto *member = static_cast<const PyMemberDef *>(slot->pfunc); member->name != nullptr;
             member++) {
            if (std::strcmp(member->name, name) == 0) {
                return member->offset;
            }
        }
    }
    return 0;
}

// Whether instances of `type` are laid out as those of a type made from
// `spec` (beyond their size): the item size, the layout flags and the
// offsets of the vector call entry, the weak-reference list and the
// dictionary.
bool has_spec_layout(const PyTypeObject *type, const PyType_Spec *spec)
{
    return type->tp_itemsize == spec->itemsize &&
           (type->tp_flags & layout_flags) == (spec->flags & layout_flags) &&
           type->tp_vectorcall_offset == spec_member_offset(spec, "__vectorcalloffset__") &&
           type->tp_weaklistoffset == spec_member_offset(spec, "__weaklistoffset__") &&
           ((spec->flags & Py_TPFLAGS_MANAGED_DICT) != 0 ||
            type->tp_dictoffset == spec_member_offset(spec, "__dictoffset__"));
}

}  // namespace

int check_shared_type(PyObject *candidate, const char *short_name, const PyType_Spec *spec)
{
    if (!PyType_Check(candidate)) {
        PyErr_Format(PyExc_TypeError, "Shared kovi type %.200s is not a type object", short_name);
        return -1;
    }
    if (spec->basicsize == 0) {
        return 0;
    }
    auto *type = reinterpret_cast<PyTypeObject *>(candidate);
    if (type->tp_basicsize != spec->basicsize) {
        PyErr_Format(PyExc_TypeError, "Shared kovi type %.200s has the wrong size, try recompiling",
                     short_name);
        return -1;
    }
    if (!has_spec_layout(type, spec)) {
        PyErr_Format(PyExc_TypeError,
                     "Shared kovi type %.200s has the wrong layout, try recompiling", short_name);
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
        if (check_shared_type(type.get(), short_name, spec) < 0) {
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
    if (check_shared_type(type.get(), short_name, spec) < 0) {
        return nullptr;
    }
    return type.release();
}

}  // namespace kovi
