#include "direct_reads.hpp"

#include "dict_scan.hpp"
#include "owned_ref.hpp"

namespace kovi {

namespace {

// What the generic lookup finds for `name` on the type's MRO, the way
// _PyType_Lookup finds it: the first class dict that holds the name.  Null
// when a dict has a key that is not an exact str (looking up there could
// run that key's __eq__) or when no class holds the name.  Borrowed; the
// class dict that holds it keeps it alive while nothing runs.
PyObject *find_on_mro(PyTypeObject *type, PyObject *name)
{
    PyObject *mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) {
        return nullptr;
    }
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(mro); k++) {
        OwnedRef dict(PyType_GetDict(reinterpret_cast<PyTypeObject *>(PyTuple_GET_ITEM(mro, k))));
        PyObject *found;
        if (!dict || !PyDict_Check(dict.get()) || !scan_str_key(dict.get(), name, found)) {
            return nullptr;
        }
        if (found != nullptr) {
            return found;
        }
    }
    return nullptr;
}

// The offset of the slot that `name` reads on objects of `type`, or -1.
// Only a member descriptor of a `__slots__` entry qualifies: an object
// reference that raises AttributeError when empty, without an audit event
// or a relative offset, declared by a class of the type's MRO (else the
// descriptor refuses the object).
Py_ssize_t slot_offset(PyTypeObject *type, PyObject *name)
{
    if (type->tp_getattro != PyObject_GenericGetAttr) {
        return -1;
    }
    PyObject *descr = find_on_mro(type, name);
    if (descr == nullptr || !Py_IS_TYPE(descr, &PyMemberDescr_Type)) {
        return -1;
    }
    PyMemberDescrObject *member = reinterpret_cast<PyMemberDescrObject *>(descr);
    const PyMemberDef *def = member->d_member;
    if (def->type != Py_T_OBJECT_EX || (def->flags & (Py_AUDIT_READ | Py_RELATIVE_OFFSET)) != 0 ||
        !PyType_IsSubtype(type, PyDescr_TYPE(descr))) {
        return -1;
    }
    return def->offset;
}

}  // namespace

PyObject *get_attr_filling(SlotCache &cache, PyObject *obj, PyObject *name)
{
    if (entry_holds(cache.hits[1], Py_TYPE(obj))) {
        PyObject *value = slot_value(obj, cache.hits[1]);
        if (value != nullptr) {
            return Py_NewRef(value);
        }
    }
    PyObject *value = get_attr(obj, name);
    if (value == nullptr) {
        return nullptr;
    }
    // The read may have run code; what is cached is the type as it is now.
    PyTypeObject *type = Py_TYPE(obj);
    unsigned int version = cpython::valid_version_tag(type);
    if (version == 0 || (type == cache.miss_type && version == cache.miss_version)) {
        return value;
    }
    for (const SlotEntry &hit : cache.hits) {
        if (type == hit.type && version == hit.version) {
            return value;
        }
    }
    // Nothing below runs code, so the tag read above still holds.
    Py_ssize_t offset = slot_offset(type, name);
    if (offset < 0) {
        cache.miss_type = type;
        cache.miss_version = version;
        return value;
    }
    // The new entry goes first.  A stale entry of the same type is dropped
    // rather than kept in place of the other type's.
    if (cache.hits[0].type != type) {
        cache.hits[1] = cache.hits[0];
    }
    cache.hits[0] = {type, version, offset};
    return value;
}

}  // namespace kovi
