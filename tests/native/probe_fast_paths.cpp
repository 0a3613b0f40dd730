// Probe functions for the fast paths of the module's function: the direct
// element reads and the slot cache, the validated globals (set up over the
// probe's own namespace), the C library's cos and sin, and a way to run a
// call close to the interpreter's C recursion limit.
#include <Python.h>

#include "cpython_internal.hpp"
#include "direct_reads.hpp"
#include "libm_trig.hpp"
#include "owned_ref.hpp"
#include "probe_tables.hpp"
#include "validated_globals.hpp"

namespace {

using kovi::OwnedRef;

PyObject *doubles_tuple(const double *values, int count)
{
    OwnedRef tuple(PyTuple_New(count));
    for (int k = 0; tuple && k < count; k++) {
        PyObject *item = PyFloat_FromDouble(values[k]);
        if (item == nullptr) {
            return nullptr;
        }
        PyTuple_SET_ITEM(tuple.get(), k, item);
    }
    return tuple.release();
}

bool numpy_loaded()
{
    if (!kovi::load_numpy_api()) {
        PyErr_SetString(PyExc_RuntimeError, "numpy's C API is not loaded");
        return false;
    }
    return true;
}

// The three direct reads of `obj`: (obj[0:3], obj[i], rows 0-2 of obj as a
// transform), each the doubles read or None where the general read is due.
PyObject *probe_read_direct(PyObject *, PyObject *args)
{
    PyObject *obj;
    Py_ssize_t i;
    if (!PyArg_ParseTuple(args, "On:read_direct", &obj, &i) || !numpy_loaded()) {
        return nullptr;
    }
    double vector[3];
    double element;
    kovi::AffineBlock block;
    OwnedRef reads[3] = {
        OwnedRef(kovi::read_vector3_direct(obj, vector) ? doubles_tuple(vector, 3) : Py_NewRef(Py_None)),
        OwnedRef(kovi::read_vector_element_direct(obj, i, element) ? PyFloat_FromDouble(element)
                                                                   : Py_NewRef(Py_None)),
        OwnedRef(kovi::read_transform_direct(obj, block) ? doubles_tuple(&block.e[0][0], 12)
                                                         : Py_NewRef(Py_None)),
    };
    if (!reads[0] || !reads[1] || !reads[2]) {
        return nullptr;
    }
    return PyTuple_Pack(3, reads[0].get(), reads[1].get(), reads[2].get());
}

// One slot cache per probe, as the module keeps one per name.
kovi::SlotCache probe_slot_cache = {};

PyObject *probe_get_attr_cached(PyObject *, PyObject *args)
{
    PyObject *obj;
    PyObject *name;
    if (!PyArg_ParseTuple(args, "OU:get_attr_cached", &obj, &name)) {
        return nullptr;
    }
    Py_INCREF(name);
    PyUnicode_InternInPlace(&name);
    OwnedRef interned(name);
    return kovi::get_attr_cached(probe_slot_cache, obj, interned.get());
}

// The type of the entry filled last and whether it still matches that
// type, or None when the cache holds none.
PyObject *probe_slot_cache_entry(PyObject *, PyObject *)
{
    const kovi::SlotEntry &entry = probe_slot_cache.hits[0];
    if (entry.version == 0) {
        Py_RETURN_NONE;
    }
    bool current = kovi::cpython::version_tag_is(entry.type, entry.version);
    return Py_BuildValue("(OO)", reinterpret_cast<PyObject *>(entry.type),
                         current ? Py_True : Py_False);
}

// Whether an entry reads `obj`'s slot directly, as its type is now.
PyObject *probe_slot_cache_holds(PyObject *, PyObject *obj)
{
    PyTypeObject *type = Py_TYPE(obj);
    bool held = false;
    for (const kovi::SlotEntry &hit : probe_slot_cache.hits) {
        held = held || kovi::entry_holds(hit, type);
    }
    return PyBool_FromLong(held);
}

PyObject *probe_clear_slot_cache(PyObject *, PyObject *)
{
    probe_slot_cache = {};
    Py_RETURN_NONE;
}

// Captures `math` and `np` as bound in the probe's namespace and watches
// the dicts, as the module does at the end of its execution.
PyObject *probe_setup_validated_globals(PyObject *, PyObject *)
{
    kovi::setup_validated_globals();
    return PyBool_FromLong(kovi::validated_globals.watcher >= 0);
}

// (math_usable(), numpy_usable()) as a call would find them now.
PyObject *probe_usable_globals(PyObject *, PyObject *)
{
    bool math = kovi::math_usable();
    bool numpy = kovi::numpy_usable();
    return Py_BuildValue("(OO)", math ? Py_True : Py_False, numpy ? Py_True : Py_False);
}

PyObject *probe_libm_cos_sin(PyObject *, PyObject *arg)
{
    double x = PyFloat_AsDouble(arg);
    if (x == -1.0 && PyErr_Occurred()) {
        return nullptr;
    }
    double cs[2];
    kovi::libm_cos_sin(x, cs[0], cs[1]);
    return doubles_tuple(cs, 2);
}

// Takes dict watchers until the interpreter has none left; their number.
int ignore_dict_event(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *)
{
    return 0;
}

PyObject *probe_take_all_dict_watchers(PyObject *, PyObject *)
{
    long taken = 0;
    while (PyDict_AddWatcher(ignore_dict_event) >= 0) {
        taken++;
    }
    PyErr_Clear();
    return PyLong_FromLong(taken);
}

// fn(*args) with the thread's C recursion budget set to `remaining`, as if
// the call were made that close to the limit; the budget is put back after.
PyObject *probe_call_with_c_recursion_remaining(PyObject *, PyObject *args)
{
    Py_ssize_t count = PyTuple_GET_SIZE(args);
    if (count < 2) {
        PyErr_SetString(PyExc_TypeError, "call_with_c_recursion_remaining(remaining, fn, *args)");
        return nullptr;
    }
    long remaining = PyLong_AsLong(PyTuple_GET_ITEM(args, 0));
    if (remaining == -1 && PyErr_Occurred()) {
        return nullptr;
    }
    OwnedRef rest(PyTuple_GetSlice(args, 2, count));
    if (!rest) {
        return nullptr;
    }
    int &budget = kovi::cpython::c_recursion_remaining(PyThreadState_Get());
    int saved = budget;
    budget = static_cast<int>(remaining);
    PyObject *result = PyObject_Call(PyTuple_GET_ITEM(args, 1), rest.get(), nullptr);
    budget = saved;
    return result;
}

}  // namespace

PyMethodDef probe_fast_paths_methods[] = {
    {"read_direct", probe_read_direct, METH_VARARGS,
     "(obj[0:3], obj[i], rows 0-2 of obj), each read directly or None"},
    {"get_attr_cached", probe_get_attr_cached, METH_VARARGS, "getattr through the slot cache"},
    {"slot_cache_entry", probe_slot_cache_entry, METH_NOARGS, "(type, current) or None"},
    {"slot_cache_holds", probe_slot_cache_holds, METH_O, "whether an entry holds type(obj)"},
    {"clear_slot_cache", probe_clear_slot_cache, METH_NOARGS, "empties the slot cache"},
    {"setup_validated_globals", probe_setup_validated_globals, METH_NOARGS,
     "captures math and np of the probe's namespace; whether a watcher was found"},
    {"usable_globals", probe_usable_globals, METH_NOARGS, "(math usable, numpy usable)"},
    {"libm_cos_sin", probe_libm_cos_sin, METH_O, "(cos(x), sin(x)) of the C library"},
    {"take_all_dict_watchers", probe_take_all_dict_watchers, METH_NOARGS,
     "takes every free dict watcher; how many"},
    {"call_with_c_recursion_remaining", probe_call_with_c_recursion_remaining, METH_VARARGS,
     "fn(*args) with the C recursion budget set to `remaining`"},
    {nullptr, nullptr, 0, nullptr},
};
