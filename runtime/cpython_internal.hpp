// The interpreter's private interfaces, in one place.
//
// Everything of CPython that is not public API (functions and constants
// whose names start with an underscore, and the layout of 3.12's frame
// object) is reached through this header and nowhere else.  Where 3.12 has
// a public equivalent the code uses that instead.  Each of these may change
// in any minor release, so the header builds for 3.12 alone: another
// version must be looked at again, entry by entry, before it is admitted.
#ifndef KOVI_RUNTIME_CPYTHON_INTERNAL_HPP
#define KOVI_RUNTIME_CPYTHON_INTERNAL_HPP

#include <Python.h>

#if PY_MAJOR_VERSION != 3 || PY_MINOR_VERSION != 12
#error "cpython_internal.hpp knows the private interfaces of CPython 3.12 only"
#endif

namespace kovi::cpython {

// The hash a str caches once it is computed; -1 until then.
inline Py_hash_t str_cached_hash(PyObject *s)
{
    return _PyASCIIObject_CAST(s)->hash;
}

// A type's version tag stands for the attribute lookups on it as they are:
// 3.12 takes the tag away (zeroes it and clears the valid flag) on every
// change that could alter one (an attribute written on the class or a base,
// __bases__ assigned), and never hands the same tag out twice, so a type
// and a tag read together still match only while nothing has changed.

// The type's tag, or 0 when it has no valid one.
inline unsigned int valid_version_tag(PyTypeObject *type)
{
    return (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) != 0 ? type->tp_version_tag : 0;
}

// Whether the type still carries `version`, a tag valid_version_tag gave.
inline bool version_tag_is(PyTypeObject *type, unsigned int version)
{
    return type->tp_version_tag == version && (type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG) != 0;
}

// The calling thread's state, or null when it has none (the public
// PyThreadState_Get aborts the process instead).
inline PyThreadState *thread_state_or_null()
{
    return _PyThreadState_UncheckedGet();
}

// True once the interpreter has begun to shut down.  From then on a thread
// other than the one finalizing that takes the interpreter lock back is
// ended by pthread_exit (3.13 blocks it forever instead, and has this as
// Py_IsFinalizing).
inline bool is_finalizing()
{
    return _Py_IsFinalizing() != 0;
}

// True on the main thread of the main interpreter, the one that runs the
// shutdown of a program.  Needs the interpreter lock.
inline bool is_main_thread()
{
    return _PyOS_IsMainThread() != 0;
}

// obj.name by the generic lookup, or null with no exception set when the
// attribute is missing: the miss costs no AttributeError.  (3.13 has this as
// PyObject_GetOptionalAttr.)
inline PyObject *generic_getattr_or_null(PyObject *obj, PyObject *name)
{
    return _PyObject_GenericGetAttrWithDict(obj, name, nullptr, 1);
}

// The slot of an object's attribute dictionary (the managed one included),
// or null when its type has none; the slot itself may hold null.
inline PyObject **dict_slot(PyObject *obj)
{
    return _PyObject_GetDictPtr(obj);
}

// Garbage-collection support of a type with Py_TPFLAGS_MANAGED_DICT (public
// from 3.13 as PyObject_VisitManagedDict and PyObject_ClearManagedDict).
inline int visit_managed_dict(PyObject *obj, visitproc visit, void *arg)
{
    return _PyObject_VisitManagedDict(obj, visit, arg);
}

inline void clear_managed_dict(PyObject *obj)
{
    _PyObject_ClearManagedDict(obj);
}

// The member type that reads a null field as None (T_OBJECT, which 3.12
// spells only through this name or the deprecated structmember.h);
// Py_T_OBJECT_EX would raise AttributeError instead.
inline constexpr int member_object_or_none = _Py_T_OBJECT;

// The levels the thread may still enter the interpreter's C recursion guard
// (Py_EnterRecursiveCall) before it raises RecursionError: a field of 3.12's
// thread state, renamed in 3.13.
inline int &c_recursion_remaining(PyThreadState *tstate)
{
    return tstate->c_recursion_remaining;
}

// The inline cache units that follow a CALL instruction in 3.12 bytecode
// (opcode._inline_cache_entries[CALL]).
inline constexpr int call_cache_units = 3;

// The head of 3.12's frame object, as far as traceback entries need it.  The
// line field is not in the public headers, and the internal ones cannot be
// included outside the interpreter's own build, so it is restated here.
struct FrameLayout {
    PyObject_HEAD
    PyFrameObject *f_back;
    void *f_frame;           // struct _PyInterpreterFrame *
    PyObject *f_trace;
    int f_lineno;            // the frame's line when not zero
    char f_trace_lines;
    char f_trace_opcodes;
    char f_fast_as_locals;
};

// Makes a frame that is not executing report `line`.
inline void set_frame_lineno(PyFrameObject *frame, int line)
{
    reinterpret_cast<FrameLayout *>(frame)->f_lineno = line;
}

}  // namespace kovi::cpython

#endif
