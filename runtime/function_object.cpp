// The shared function type: its attributes, representation, pickling,
// binding, garbage-collection support and construction.  Calls are in
// function_call.cpp, annotations in function_annotations.cpp.
#include "function_object.hpp"

#include "cpython_internal.hpp"
#include "function_annotations.hpp"
#include "function_call.hpp"
#include "owned_ref.hpp"
#include "runtime_state.hpp"

namespace kovi {

namespace {

// ---- introspection ---------------------------------------------------------

PyObject *function_get_doc(PyObject *func, void * /*closure*/)
{
    KoviFunction *f = as_function(func);
    if (f->func_doc == nullptr) {
        const char *doc = f->method.func.m_ml->ml_doc;
        if (doc == nullptr) {
            Py_RETURN_NONE;
        }
        f->func_doc = PyUnicode_FromString(doc);
        if (f->func_doc == nullptr) {
            return nullptr;
        }
    }
    return Py_NewRef(f->func_doc);
}

int function_set_doc(PyObject *func, PyObject *value, void * /*closure*/)
{
    Py_XSETREF(as_function(func)->func_doc, Py_NewRef(value != nullptr ? value : Py_None));
    return 0;
}

PyObject *function_get_name(PyObject *func, void * /*closure*/)
{
    KoviFunction *f = as_function(func);
    if (f->func_name == nullptr) {
        f->func_name = PyUnicode_InternFromString(f->method.func.m_ml->ml_name);
        if (f->func_name == nullptr) {
            return nullptr;
        }
    }
    return Py_NewRef(f->func_name);
}

int function_set_name(PyObject *func, PyObject *value, void * /*closure*/)
{
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_function(func)->func_name, Py_NewRef(value));
    return 0;
}

// The fields below are set from construction until the object is cleared;
// a cleared object, still reachable from a finalizer, reads None.
PyObject *new_ref_or_none(PyObject *field)
{
    return Py_NewRef(field != nullptr ? field : Py_None);
}

PyObject *function_get_qualname(PyObject *func, void * /*closure*/)
{
    return new_ref_or_none(as_function(func)->func_qualname);
}

int function_set_qualname(PyObject *func, PyObject *value, void * /*closure*/)
{
    if (value == nullptr || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
        return -1;
    }
    Py_XSETREF(as_function(func)->func_qualname, Py_NewRef(value));
    return 0;
}

PyObject *function_get_globals(PyObject *func, void * /*closure*/)
{
    return new_ref_or_none(as_function(func)->func_globals);
}

// The closure is the constructing module's business; Python sees none.
PyObject *function_get_closure(PyObject * /*func*/, void * /*closure*/)
{
    Py_RETURN_NONE;
}

PyObject *function_get_code(PyObject *func, void * /*closure*/)
{
    return new_ref_or_none(as_function(func)->func_code);
}

// ---- defaults --------------------------------------------------------------

// Fills func_defaults and func_kwdefaults from the defaults provider.  A
// field that already holds a value (a stored None included) keeps it: a
// value written through the setter is never lost to the provider.
int function_provide_defaults(PyObject *func)
{
    KoviFunction *f = as_function(func);
    OwnedRef provided(f->defaults_provider(func));
    if (!provided) {
        return -1;
    }
    if (!PyTuple_Check(provided.get()) || PyTuple_GET_SIZE(provided.get()) != 2) {
        PyErr_Format(PyExc_SystemError, "defaults provider of %.200s() did not return a 2-tuple",
                     f->method.func.m_ml->ml_name);
        return -1;
    }
    if (f->func_defaults == nullptr) {
        f->func_defaults = Py_NewRef(PyTuple_GET_ITEM(provided.get(), 0));
    }
    if (f->func_kwdefaults == nullptr) {
        f->func_kwdefaults = Py_NewRef(PyTuple_GET_ITEM(provided.get(), 1));
    }
    return 0;
}

PyObject *get_defaults_field(PyObject *func, PyObject *KoviFunction::*field)
{
    KoviFunction *f = as_function(func);
    if (f->*field == nullptr && f->defaults_provider != nullptr &&
        function_provide_defaults(func) < 0) {
        return nullptr;
    }
    return new_ref_or_none(f->*field);
}

// Stored values only read back: argument binding keeps its own defaults,
// hence the warning.  A stored None stays None and is never replaced by
// the provider.
int set_defaults_field(PyObject *func, PyObject *value, PyObject *KoviFunction::*field,
                       bool accepted, const char *type_error, const char *warning)
{
    if (value == nullptr) {
        value = Py_None;
    }
    if (value != Py_None && !accepted) {
        PyErr_SetString(PyExc_TypeError, type_error);
        return -1;
    }
    if (PyErr_WarnEx(PyExc_RuntimeWarning, warning, 1) < 0) {
        return -1;
    }
    Py_XSETREF(as_function(func)->*field, Py_NewRef(value));
    return 0;
}

PyObject *function_get_defaults(PyObject *func, void * /*closure*/)
{
    return get_defaults_field(func, &KoviFunction::func_defaults);
}

int function_set_defaults(PyObject *func, PyObject *value, void * /*closure*/)
{
    return set_defaults_field(
        func, value, &KoviFunction::func_defaults, value != nullptr && PyTuple_Check(value),
        "__defaults__ must be set to a tuple object",
        "changes to kovi_function.__defaults__ will not currently affect the values used in "
        "function calls");
}

PyObject *function_get_kwdefaults(PyObject *func, void * /*closure*/)
{
    return get_defaults_field(func, &KoviFunction::func_kwdefaults);
}

int function_set_kwdefaults(PyObject *func, PyObject *value, void * /*closure*/)
{
    return set_defaults_field(
        func, value, &KoviFunction::func_kwdefaults, value != nullptr && PyDict_Check(value),
        "__kwdefaults__ must be set to a dict object",
        "changes to kovi_function.__kwdefaults__ will not currently affect the values used in "
        "function calls");
}

// ---- representation, pickling, binding ------------------------------------

PyObject *function_repr(PyObject *func)
{
    // %V stands in "None" for the qualified name of a cleared object.
    return PyUnicode_FromFormat("<kovi_function %V at %p>", as_function(func)->func_qualname,
                                "None", func);
}

// A str result pickles the function as a global: its __module__ and name.
PyObject *function_reduce(PyObject *func, PyObject * /*unused*/)
{
    return new_ref_or_none(as_function(func)->func_qualname);
}

PyObject *function_descr_get(PyObject *func, PyObject *obj, PyObject * /*type*/)
{
    if (obj == nullptr || obj == Py_None) {
        return Py_NewRef(func);
    }
    return PyMethod_New(func, obj);
}

// ---- garbage collection ----------------------------------------------------

// m_self is the object itself and a code object cannot form cycles.  The
// names are visited too: a str subclass with a __dict__ can hold the
// function, and such a cycle would otherwise never be collected.
int function_traverse(PyObject *func, visitproc visit, void *arg)
{
    KoviFunction *f = as_function(func);
    Py_VISIT(f->func_closure);
    Py_VISIT(f->method.func.m_module);
    int result = cpython::visit_managed_dict(func, visit, arg);
    if (result != 0) {
        return result;
    }
    Py_VISIT(f->func_doc);
    Py_VISIT(f->func_globals);
    Py_VISIT(f->method.mm_class);
    Py_VISIT(f->func_defaults);
    Py_VISIT(f->func_kwdefaults);
    Py_VISIT(f->func_annotations);
    Py_VISIT(f->extra_object);
    Py_VISIT(f->func_name);
    Py_VISIT(f->func_qualname);
    // Instances of heap types keep their type alive.
    Py_VISIT(Py_TYPE(func));
    return 0;
}

int function_clear(PyObject *func)
{
    KoviFunction *f = as_function(func);
    Py_CLEAR(f->func_closure);
    Py_CLEAR(f->method.func.m_module);
    cpython::clear_managed_dict(func);
    Py_CLEAR(f->func_name);
    Py_CLEAR(f->func_qualname);
    Py_CLEAR(f->func_doc);
    Py_CLEAR(f->func_globals);
    Py_CLEAR(f->func_code);
    Py_CLEAR(f->method.mm_class);
    Py_CLEAR(f->func_defaults);
    Py_CLEAR(f->func_kwdefaults);
    Py_CLEAR(f->func_annotations);
    Py_CLEAR(f->extra_object);
    return 0;
}

void function_dealloc(PyObject *func)
{
    PyObject_GC_UnTrack(func);
    if (as_function(func)->method.func.m_weakreflist != nullptr) {
        PyObject_ClearWeakRefs(func);
    }
    function_clear(func);
    PyTypeObject *type = Py_TYPE(func);
    PyObject_GC_Del(func);
    // Allocation took a reference to the (heap) type.
    Py_DECREF(type);
}

// ---- tables ----------------------------------------------------------------

PyMethodDef function_methods[] = {
    {"__annotate_kovi__", function_annotate_placeholder, METH_O, function_annotate_placeholder_doc},
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// The last two entries give the interpreter the type's vector call and
// weak-list offsets when it creates the type.
PyMemberDef function_members[] = {
    {"__module__", cpython::member_object_or_none, offsetof(KoviFunction, method.func.m_module), 0, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(KoviFunction, method.func.vectorcall),
     Py_READONLY, nullptr},
    {"__weaklistoffset__", Py_T_PYSSIZET, offsetof(KoviFunction, method.func.m_weakreflist),
     Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"func_doc", function_get_doc, function_set_doc, nullptr, nullptr},
    {"__doc__", function_get_doc, function_set_doc, nullptr, nullptr},
    {"func_name", function_get_name, function_set_name, nullptr, nullptr},
    {"__name__", function_get_name, function_set_name, nullptr, nullptr},
    {"__qualname__", function_get_qualname, function_set_qualname, nullptr, nullptr},
    {"func_dict", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"func_globals", function_get_globals, nullptr, nullptr, nullptr},
    {"__globals__", function_get_globals, nullptr, nullptr, nullptr},
    {"func_closure", function_get_closure, nullptr, nullptr, nullptr},
    {"__closure__", function_get_closure, nullptr, nullptr, nullptr},
    {"func_code", function_get_code, nullptr, nullptr, nullptr},
    {"__code__", function_get_code, nullptr, nullptr, nullptr},
    {"func_defaults", function_get_defaults, function_set_defaults, nullptr, nullptr},
    {"__defaults__", function_get_defaults, function_set_defaults, nullptr, nullptr},
    {"__kwdefaults__", function_get_kwdefaults, function_set_kwdefaults, nullptr, nullptr},
    {"__annotations__", function_get_annotations, function_set_annotations, nullptr, nullptr},
    {"__annotate__", function_get_annotate, function_set_annotate, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot function_type_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void *>(function_dealloc)},
    {Py_tp_repr, reinterpret_cast<void *>(function_repr)},
    {Py_tp_call, reinterpret_cast<void *>(function_call)},
    {Py_tp_traverse, reinterpret_cast<void *>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void *>(function_clear)},
    {Py_tp_methods, function_methods},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {Py_tp_descr_get, reinterpret_cast<void *>(function_descr_get)},
    {0, nullptr},
};

constexpr unsigned long function_type_flags =
    Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE |
    Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_HAVE_GC |
    Py_TPFLAGS_METHOD_DESCRIPTOR;
static_assert(function_type_flags == 0x24D90);

}  // namespace

PyMethodDef *const function_annotate_def = &function_methods[0];

PyType_Spec function_type_spec = {
    "_kovi_rt_1_0_0.kovi_function_or_method",
    sizeof(KoviFunction),
    0,
    function_type_flags,
    function_type_slots,
};

PyObject *new_function_object(PyMethodDef *ml, int flags, PyObject *qualname,
                              PyObject *closure, PyObject *module, PyObject *globals,
                              PyObject *code)
{
    PyObject *func =
        PyObject_GC_New(PyObject, reinterpret_cast<PyTypeObject *>(runtime_state.function_type));
    if (func == nullptr) {
        return nullptr;
    }
    KoviFunction *f = as_function(func);
    f->method.func.m_self = func;
    f->func_flags = flags;
    f->method.func.m_weakreflist = nullptr;
    f->method.func.m_ml = ml;
    f->func_closure = Py_XNewRef(closure);
    f->method.func.m_module = Py_XNewRef(module);
    f->func_name = nullptr;
    f->func_qualname = Py_NewRef(qualname);
    f->func_doc = nullptr;
    f->method.mm_class = nullptr;
    f->func_globals = Py_NewRef(globals);
    f->func_code = Py_XNewRef(code);
    f->extra_object = nullptr;
    f->func_defaults = nullptr;
    f->func_kwdefaults = nullptr;
    f->defaults_provider = nullptr;
    f->func_annotations = nullptr;
    f->method.func.vectorcall = nullptr;
    if (select_function_vectorcall(ml, &f->method.func.vectorcall) < 0) {
        Py_DECREF(func);
        return nullptr;
    }
    PyObject_GC_Track(func);
    return func;
}

void attach_function_annotations(PyObject *func, PyObject *annotations)
{
    Py_XSETREF(as_function(func)->func_annotations, annotations);
}

}  // namespace kovi
