// The shared function type: callables that carry a PyMethodDef and the
// introspection surface of a Python function.
//
// The type is shared between every extension module of this toolchain
// version in the process (see shared_type_registry.hpp): whichever module
// registers it first provides the slot functions that serve the function
// objects of all of them.  The layout below, the meaning of its fields and
// the bits of func_flags are therefore a fixed interface between modules;
// the compile-time checks keep it from drifting.
#ifndef KOVI_RUNTIME_FUNCTION_OBJECT_HPP
#define KOVI_RUNTIME_FUNCTION_OBJECT_HPP

#include <Python.h>

#include <cstddef>

namespace kovi {

// Function-kind bits of func_flags.  A function with FUNC_IN_CLASS set and
// FUNC_STATIC clear is a receiver-first method: its first positional
// argument is handed to the implementation as `self`.
enum : int {
    FUNC_STATIC = 1,
    FUNC_IN_CLASS = 4,
};

// Computes a function's defaults on first read: returns a new 2-tuple
// (defaults tuple, keyword-defaults dict), or null with an exception set.
using DefaultsProvider = PyObject *(*)(PyObject *func);

// The first 64 bytes are CPython's PyCMethodObject, so that the interpreter
// and the call operations find m_ml, m_self and the vector call entry at
// their standard places.  The attribute dictionary is managed by the
// interpreter and lives outside the object.
struct KoviFunction {
    PyCMethodObject method;        // m_ml, m_self (this object, uncounted), m_module,
                                   // m_weakreflist, vectorcall, mm_class
    PyObject *func_name;           // made on first read
    PyObject *func_qualname;       // set from construction until cleared
    PyObject *func_doc;            // made on first read
    PyObject *func_globals;        // set from construction until cleared
    PyObject *func_code;
    PyObject *func_closure;        // held and traversed, never exposed
    PyObject *extra_object;        // reserved for the constructing module
    int func_flags;
    PyObject *func_defaults;
    PyObject *func_kwdefaults;
    DefaultsProvider defaults_provider;
    PyObject *func_annotations;
};

static_assert(offsetof(KoviFunction, method.func.ob_base.ob_refcnt) == 0);
static_assert(offsetof(KoviFunction, method.func.ob_base.ob_type) == 8);
static_assert(offsetof(KoviFunction, method.func.m_ml) == 16);
static_assert(offsetof(KoviFunction, method.func.m_self) == 24);
static_assert(offsetof(KoviFunction, method.func.m_module) == 32);
static_assert(offsetof(KoviFunction, method.func.m_weakreflist) == 40);
static_assert(offsetof(KoviFunction, method.func.vectorcall) == 48);
static_assert(offsetof(KoviFunction, method.mm_class) == 56);
static_assert(offsetof(KoviFunction, func_name) == 64);
static_assert(offsetof(KoviFunction, func_qualname) == 72);
static_assert(offsetof(KoviFunction, func_doc) == 80);
static_assert(offsetof(KoviFunction, func_globals) == 88);
static_assert(offsetof(KoviFunction, func_code) == 96);
static_assert(offsetof(KoviFunction, func_closure) == 104);
static_assert(offsetof(KoviFunction, extra_object) == 112);
static_assert(offsetof(KoviFunction, func_flags) == 120);
static_assert(offsetof(KoviFunction, func_defaults) == 128);
static_assert(offsetof(KoviFunction, func_kwdefaults) == 136);
static_assert(offsetof(KoviFunction, defaults_provider) == 144);
static_assert(offsetof(KoviFunction, func_annotations) == 152);
static_assert(sizeof(KoviFunction) == 160);

inline KoviFunction *as_function(PyObject *op)
{
    return reinterpret_cast<KoviFunction *>(op);
}

// Whether the first positional argument is the receiver.
inline bool is_receiver_first(const KoviFunction *f)
{
    return (f->func_flags & (FUNC_IN_CLASS | FUNC_STATIC)) == FUNC_IN_CLASS;
}

// The PyType_Spec the shared function type is made from.
extern PyType_Spec function_type_spec;

// A new function object of runtime_state.function_type, or null with an
// exception set.  `qualname` and `globals` are required; `closure`, `module`
// and `code` may be null.  Present references are counted.
PyObject *new_function_object(PyMethodDef *ml, int flags, PyObject *qualname,
                              PyObject *closure, PyObject *module, PyObject *globals,
                              PyObject *code);

// Hands a reference to an annotations dict over to a function object (the
// reference is taken over, never released by the caller).
void attach_function_annotations(PyObject *func, PyObject *annotations);

}  // namespace kovi

#endif
