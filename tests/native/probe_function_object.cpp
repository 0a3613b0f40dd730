// Probes of the shared function type: function objects of every calling
// convention and kind, built as another module sharing the type would build
// them, whose implementations report what reached them.
#include <Python.h>

#include <cstring>
#include <vector>

#include "function_object.hpp"
#include "owned_ref.hpp"
#include "probe_tables.hpp"
#include "runtime_state.hpp"

using kovi::KoviFunction;
using kovi::OwnedRef;
using kovi::as_function;

namespace {

Py_ssize_t implementation_calls = 0;

// Every implementation answers with one record:
// (convention, receiver, defining class, positional arguments, keyword
//  names or keyword dict, keyword values, argument count as received).
PyObject *record(const char *convention, PyObject *self, PyObject *defining_class,
                 PyObject *positional, PyObject *keywords, PyObject *keyword_values,
                 Py_ssize_t count)
{
    implementation_calls++;
    auto or_none = [](PyObject *o) { return o != nullptr ? o : Py_None; };
    return Py_BuildValue("(sOOOOOn)", convention, or_none(self), or_none(defining_class),
                         positional, or_none(keywords), or_none(keyword_values), count);
}

// The vector and its keyword values as tuples; a count with a stray flag
// bit is reported without touching the vector.
PyObject *record_vector(const char *convention, PyObject *self, PyObject *defining_class,
                        PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    if (nargs < 0 || nargs > 1000) {
        return record(convention, self, defining_class, Py_None, nullptr, nullptr, nargs);
    }
    OwnedRef positional(PyTuple_New(nargs));
    if (!positional) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; i++) {
        PyTuple_SET_ITEM(positional.get(), i, Py_NewRef(args[i]));
    }
    OwnedRef values;
    if (kwnames != nullptr) {
        Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        values.reset(PyTuple_New(nkw));
        if (!values) {
            return nullptr;
        }
        for (Py_ssize_t i = 0; i < nkw; i++) {
            PyTuple_SET_ITEM(values.get(), i, Py_NewRef(args[nargs + i]));
        }
    }
    return record(convention, self, defining_class, positional.get(), kwnames, values.get(), nargs);
}

PyObject *impl_noargs(PyObject *self, PyObject *arg)
{
    // A stray argument is reported rather than ignored.
    OwnedRef positional(arg != nullptr ? PyTuple_Pack(1, arg) : PyTuple_New(0));
    if (!positional) {
        return nullptr;
    }
    return record("noargs", self, nullptr, positional.get(), nullptr, nullptr,
                  PyTuple_GET_SIZE(positional.get()));
}

PyObject *impl_one_arg(PyObject *self, PyObject *arg)
{
    OwnedRef positional(PyTuple_Pack(1, arg));
    if (!positional) {
        return nullptr;
    }
    return record("o", self, nullptr, positional.get(), nullptr, nullptr, 1);
}

PyObject *impl_varargs(PyObject *self, PyObject *args)
{
    return record("varargs", self, nullptr, args, nullptr, nullptr, PyTuple_GET_SIZE(args));
}

PyObject *impl_varargs_keywords(PyObject *self, PyObject *args, PyObject *kwargs)
{
    return record("varargs_keywords", self, nullptr, args, kwargs, nullptr,
                  PyTuple_GET_SIZE(args));
}

PyObject *impl_fast_keywords(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                             PyObject *kwnames)
{
    return record_vector("fast_keywords", self, nullptr, args, nargs, kwnames);
}

PyObject *impl_fast_method(PyObject *self, PyTypeObject *defining_class, PyObject *const *args,
                           size_t nargs, PyObject *kwnames)
{
    return record_vector("method", self, reinterpret_cast<PyObject *>(defining_class), args,
                         static_cast<Py_ssize_t>(nargs), kwnames);
}

PyObject *impl_fast(PyObject *self, PyObject *const *args, Py_ssize_t nargs)
{
    return record_vector("fast", self, nullptr, args, nargs, nullptr);
}

template <typename F>
PyCFunction as_cfunction(F f)
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

#define TEN_CHARS "abcdefghij"
#define FIFTY_CHARS TEN_CHARS TEN_CHARS TEN_CHARS TEN_CHARS TEN_CHARS
// 250 characters, cut to 200 in call messages.
#define LONG_NAME FIFTY_CHARS FIFTY_CHARS FIFTY_CHARS FIFTY_CHARS FIFTY_CHARS

struct Convention {
    const char *key;
    PyMethodDef plain;
    PyMethodDef long_named;  // no docstring
};

// Method definitions must outlive the function objects: static storage.
Convention conventions[] = {
    {"noargs",
     {"probe_noargs", impl_noargs, METH_NOARGS, "probe noargs doc"},
     {LONG_NAME, impl_noargs, METH_NOARGS, nullptr}},
    {"o",
     {"probe_o", impl_one_arg, METH_O, "probe o doc"},
     {LONG_NAME, impl_one_arg, METH_O, nullptr}},
    // Bits outside the calling convention take no part in the choice.
    {"o_coexist",
     {"probe_o_coexist", impl_one_arg, METH_O | METH_COEXIST, "probe o doc"},
     {LONG_NAME, impl_one_arg, METH_O | METH_COEXIST, nullptr}},
    {"varargs_keywords",
     {"probe_varargs_keywords", as_cfunction(impl_varargs_keywords), METH_VARARGS | METH_KEYWORDS,
      "probe varargs_keywords doc"},
     {LONG_NAME, as_cfunction(impl_varargs_keywords), METH_VARARGS | METH_KEYWORDS, nullptr}},
    {"fast_keywords",
     {"probe_fast_keywords", as_cfunction(impl_fast_keywords), METH_FASTCALL | METH_KEYWORDS,
      "probe fast_keywords doc"},
     {LONG_NAME, as_cfunction(impl_fast_keywords), METH_FASTCALL | METH_KEYWORDS, nullptr}},
    {"method",
     {"probe_method", as_cfunction(impl_fast_method), METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
      "probe method doc"},
     {LONG_NAME, as_cfunction(impl_fast_method), METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
      nullptr}},
    // Not constructible with a vector call entry of their own.
    {"varargs",
     {"probe_varargs", impl_varargs, METH_VARARGS, "probe varargs doc"},
     {LONG_NAME, impl_varargs, METH_VARARGS, nullptr}},
    {"fast",
     {"probe_fast", as_cfunction(impl_fast), METH_FASTCALL, "probe fast doc"},
     {LONG_NAME, as_cfunction(impl_fast), METH_FASTCALL, nullptr}},
};

Convention *find_convention(const char *key)
{
    for (Convention &c : conventions) {
        if (std::strcmp(c.key, key) == 0) {
            return &c;
        }
    }
    PyErr_Format(PyExc_ValueError, "unknown calling convention '%s'", key);
    return nullptr;
}

int kind_flags(const char *kind)
{
    if (std::strcmp(kind, "plain") == 0) {
        return 0;
    }
    if (std::strcmp(kind, "receiver_first") == 0) {
        return kovi::FUNC_IN_CLASS;
    }
    if (std::strcmp(kind, "static") == 0) {
        return kovi::FUNC_IN_CLASS | kovi::FUNC_STATIC;
    }
    PyErr_Format(PyExc_ValueError, "unknown function kind '%s'", kind);
    return -1;
}

// Calls the callable kept in extra_object with the function object.
PyObject *probe_defaults_provider(PyObject *func)
{
    PyObject *provider = as_function(func)->extra_object;
    if (provider == nullptr) {
        PyErr_SetString(PyExc_SystemError, "probe defaults provider was cleared");
        return nullptr;
    }
    return PyObject_CallOneArg(provider, func);
}

PyObject *none_to_null(PyObject *o)
{
    return o == Py_None ? nullptr : o;
}

// make_function(convention, kind="plain", *, long_name=False, qualname=None,
//               module=None, globals=None, code=None, closure=None,
//               defining_class=None, defaults=None, entry=True)
//
// `defaults` is a callable behind the defaults provider; `entry=False`
// builds the object without a vector call entry, as a module whose
// constructor calls through tp_call would.
PyObject *probe_make_function(PyObject * /*module*/, PyObject *args, PyObject *kwargs)
{
    static const char *keywords[] = {"convention", "kind", "long_name", "qualname", "module",
                                     "globals", "code", "closure", "defining_class", "defaults",
                                     "entry", nullptr};
    const char *convention_key;
    const char *kind = "plain";
    int long_name = 0;
    PyObject *qualname = Py_None;
    PyObject *module_name = Py_None;
    PyObject *globals = Py_None;
    PyObject *code = Py_None;
    PyObject *closure = Py_None;
    PyObject *defining_class = Py_None;
    PyObject *defaults = Py_None;
    int entry = 1;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "s|s$pOOOOOOOp", const_cast<char **>(keywords),
                                     &convention_key, &kind, &long_name, &qualname, &module_name,
                                     &globals, &code, &closure, &defining_class, &defaults,
                                     &entry)) {
        return nullptr;
    }
    Convention *convention = find_convention(convention_key);
    int flags = kind_flags(kind);
    if (convention == nullptr || flags < 0) {
        return nullptr;
    }
    if (defining_class != Py_None && !PyType_Check(defining_class)) {
        PyErr_SetString(PyExc_TypeError, "defining_class must be a type");
        return nullptr;
    }
    PyMethodDef *ml = long_name ? &convention->long_named : &convention->plain;
    OwnedRef name;
    if (qualname == Py_None) {
        name.reset(PyUnicode_FromString(ml->ml_name));
        if (!name) {
            return nullptr;
        }
        qualname = name.get();
    }
    if (globals == Py_None) {
        globals = kovi::runtime_state.module_dict;
    }
    // Without an entry: built as varargs-with-keywords, then given the
    // requested definition.
    PyMethodDef *construct_with = ml;
    if (!entry) {
        Convention *varargs_keywords = find_convention("varargs_keywords");
        construct_with = long_name ? &varargs_keywords->long_named : &varargs_keywords->plain;
    }
    OwnedRef func(kovi::new_function_object(construct_with, flags, qualname, none_to_null(closure),
                                            none_to_null(module_name), globals,
                                            none_to_null(code)));
    if (!func) {
        return nullptr;
    }
    KoviFunction *f = as_function(func.get());
    f->method.func.m_ml = ml;
    if (defining_class != Py_None) {
        Py_XSETREF(f->method.mm_class,
                   reinterpret_cast<PyTypeObject *>(Py_NewRef(defining_class)));
    }
    if (defaults != Py_None) {
        Py_XSETREF(f->extra_object, Py_NewRef(defaults));
        f->defaults_provider = probe_defaults_provider;
    }
    return func.release();
}

PyObject *probe_implementation_calls(PyObject * /*module*/, PyObject * /*unused*/)
{
    return PyLong_FromSsize_t(implementation_calls);
}

// vectorcall(f, args, kwnames=None, offset=False): calls the object's vector
// call entry with `args` (positional arguments, then keyword values), with
// PY_VECTORCALL_ARGUMENTS_OFFSET and a spare slot when `offset` is true.
PyObject *probe_vectorcall(PyObject * /*module*/, PyObject *args, PyObject *kwargs)
{
    static const char *keywords[] = {"func", "args", "kwnames", "offset", nullptr};
    PyObject *func;
    PyObject *vector;
    PyObject *kwnames = Py_None;
    int offset = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO!|Op", const_cast<char **>(keywords), &func,
                                     &PyTuple_Type, &vector, &kwnames, &offset)) {
        return nullptr;
    }
    if (kwnames != Py_None && !PyTuple_Check(kwnames)) {
        PyErr_SetString(PyExc_TypeError, "kwnames must be a tuple or None");
        return nullptr;
    }
    vectorcallfunc entry = PyVectorcall_Function(func);
    if (entry == nullptr) {
        PyErr_SetString(PyExc_TypeError, "no vector call entry");
        return nullptr;
    }
    Py_ssize_t total = PyTuple_GET_SIZE(vector);
    Py_ssize_t nkw = kwnames != Py_None ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw > total) {
        PyErr_SetString(PyExc_ValueError, "more keyword names than values");
        return nullptr;
    }
    std::vector<PyObject *> stack(static_cast<size_t>(total) + 1, nullptr);
    for (Py_ssize_t i = 0; i < total; i++) {
        stack[static_cast<size_t>(i) + 1] = PyTuple_GET_ITEM(vector, i);
    }
    size_t nargsf = static_cast<size_t>(total - nkw);
    if (offset) {
        nargsf |= PY_VECTORCALL_ARGUMENTS_OFFSET;
    }
    return entry(func, stack.data() + 1, nargsf, kwnames != Py_None ? kwnames : nullptr);
}

// tp_call(f, args, kwargs=None): the type's call slot, with any dict.
PyObject *probe_tp_call(PyObject * /*module*/, PyObject *args)
{
    PyObject *func;
    PyObject *call_args;
    PyObject *call_kwargs = Py_None;
    if (!PyArg_ParseTuple(args, "OO!|O", &func, &PyTuple_Type, &call_args, &call_kwargs)) {
        return nullptr;
    }
    if (call_kwargs != Py_None && !PyDict_Check(call_kwargs)) {
        PyErr_SetString(PyExc_TypeError, "kwargs must be a dict or None");
        return nullptr;
    }
    ternaryfunc call = Py_TYPE(func)->tp_call;
    if (call == nullptr) {
        PyErr_SetString(PyExc_TypeError, "no tp_call");
        return nullptr;
    }
    return call(func, call_args, call_kwargs != Py_None ? call_kwargs : nullptr);
}

// (tp_vectorcall_offset of the type, whether the interpreter's lookup of
// the entry finds the field at offset 48, whether that field is set).
PyObject *probe_vectorcall_layout(PyObject * /*module*/, PyObject *func)
{
    vectorcallfunc at_48;
    std::memcpy(&at_48, reinterpret_cast<char *>(func) + 48, sizeof at_48);
    return Py_BuildValue("(nOO)", Py_TYPE(func)->tp_vectorcall_offset,
                         PyVectorcall_Function(func) == at_48 ? Py_True : Py_False,
                         at_48 != nullptr ? Py_True : Py_False);
}

// The function type's "__annotate_kovi__" as a built-in function without a
// receiver.
PyObject *probe_unbound_placeholder(PyObject * /*module*/, PyObject * /*unused*/)
{
    OwnedRef descriptor(
        PyObject_GetAttrString(kovi::runtime_state.function_type, "__annotate_kovi__"));
    if (!descriptor) {
        return nullptr;
    }
    if (!PyObject_TypeCheck(descriptor.get(), &PyMethodDescr_Type)) {
        PyErr_SetString(PyExc_TypeError, "__annotate_kovi__ is not a method descriptor");
        return nullptr;
    }
    PyMethodDef *ml = reinterpret_cast<PyMethodDescrObject *>(descriptor.get())->d_method;
    return PyCFunction_New(ml, nullptr);
}

}  // namespace

PyMethodDef probe_function_object_methods[] = {
    {"make_function", as_cfunction(probe_make_function), METH_VARARGS | METH_KEYWORDS,
     "A function object of the shared type with the given calling convention and kind."},
    {"implementation_calls", probe_implementation_calls, METH_NOARGS,
     "How often the probe implementations have been entered."},
    {"vectorcall", as_cfunction(probe_vectorcall), METH_VARARGS | METH_KEYWORDS,
     "Calls an object's vector call entry directly."},
    {"tp_call", probe_tp_call, METH_VARARGS, "Calls an object's tp_call slot directly."},
    {"vectorcall_layout", probe_vectorcall_layout, METH_O,
     "The type's vector call offset and what sits at offset 48."},
    {"unbound_placeholder", probe_unbound_placeholder, METH_NOARGS,
     "The __annotate_kovi__ implementation as a function without a receiver."},
    {nullptr, nullptr, 0, nullptr},
};
