// The interpreter interfaces the compiled chain needs that differ between
// the CPython versions it builds for (3.10 to 3.13).
//
// The chain module is built for every supported version, unlike the core
// module, whose support (runtime/cpython_internal.hpp) knows 3.12 alone; so
// it never includes that header, and takes what it needs from here: the
// public API where the version has one, else the one exported function of
// the version's own headers that does the job (no private structure is
// read, and nothing from the interpreter's internal headers).
#ifndef KOVI_CHAIN_INTERPRETER_COMPAT_HPP
#define KOVI_CHAIN_INTERPRETER_COMPAT_HPP

#include <Python.h>

#if PY_VERSION_HEX < 0x030A0000 || PY_VERSION_HEX >= 0x030E0000
#error "the compiled chain knows the interpreter interfaces of CPython 3.10 to 3.13"
#endif

namespace kovi::cpython {

// True once the interpreter has begun to shut down.  From then on a thread
// other than the one finalizing that takes the interpreter lock back is
// ended by pthread_exit up to 3.12 (3.13 blocks it forever instead).
inline bool is_finalizing() noexcept
{
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

#if PY_VERSION_HEX >= 0x030D0000
namespace detail {
// The main thread's identifier from 3.13's _thread._get_main_thread_ident
// (what threading.main_thread() asks); false, with no exception set, if it
// cannot be had.
bool main_thread_ident(unsigned long &ident) noexcept;
}  // namespace detail
#endif

// True on the main thread of the main interpreter, the one that runs the
// shutdown of a program.  Needs the interpreter lock; never fails (in
// doubt, it answers true: a main thread that parked would hang the exit,
// while 3.13 itself holds back any other thread that takes the lock during
// the shutdown).
inline bool is_main_thread() noexcept
{
#if PY_VERSION_HEX >= 0x030D0000
    if (PyThreadState_GetInterpreter(PyThreadState_Get()) != PyInterpreterState_Main()) {
        return false;
    }
    unsigned long main_ident = 0;
    if (!detail::main_thread_ident(main_ident)) {
        return true;
    }
    return PyThread_get_thread_ident() == main_ident;
#else
    // Declared by intrcheck.h up to 3.12, which every version before 3.13
    // exports for this very question.
    return _PyOS_IsMainThread() != 0;
#endif
}

}  // namespace kovi::cpython

// Exceptions as single objects (3.12's PyErr_GetRaisedException and
// PyErr_SetRaisedException), over the (type, value, traceback) triple of
// the versions before it, so that a source reads the same on all of them.
#if PY_VERSION_HEX < 0x030C0000
// The raised exception, normalized, with its traceback set, and the error
// indicator cleared; null when none is set.
inline PyObject *PyErr_GetRaisedException() noexcept
{
    PyObject *type = nullptr;
    PyObject *value = nullptr;
    PyObject *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        return nullptr;
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_DECREF(type);
    Py_XDECREF(traceback);
    return value;
}

// Raises `exception` (a reference it takes over) again, with its own
// traceback; null clears the indicator.
inline void PyErr_SetRaisedException(PyObject *exception) noexcept
{
    if (exception == nullptr) {
        PyErr_Clear();
        return;
    }
    PyObject *type = reinterpret_cast<PyObject *>(Py_TYPE(exception));
    Py_INCREF(type);
    PyErr_Restore(type, exception, PyException_GetTraceback(exception));
}
#endif

// Member descriptors (PyMemberDef, and the Py_T_ names of member types that
// 3.12 made public) come from structmember.h before 3.12.
#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define Py_T_OBJECT_EX T_OBJECT_EX
#endif

#endif
