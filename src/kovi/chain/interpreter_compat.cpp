#include "interpreter_compat.hpp"

#if PY_VERSION_HEX >= 0x030D0000

#include "owned_ref.hpp"

namespace kovi::cpython::detail {

namespace {

// The function, looked up once and kept for the life of the process.  Its
// answer is asked for on every call, never kept: after a fork the child's
// main thread is the one that forked, and the interpreter updates what the
// function returns.
PyObject *get_main_thread_ident = nullptr;

[[gnu::noinline, gnu::cold]] bool look_up() noexcept
{
    OwnedRef module(PyImport_ImportModule("_thread"));
    if (module) {
        get_main_thread_ident = PyObject_GetAttrString(module.get(), "_get_main_thread_ident");
    }
    if (get_main_thread_ident == nullptr) {
        PyErr_Clear();
        return false;
    }
    return true;
}

}  // namespace

bool main_thread_ident(unsigned long &ident) noexcept
{
    if (get_main_thread_ident == nullptr && !look_up()) {
        return false;
    }
    OwnedRef answer(PyObject_CallNoArgs(get_main_thread_ident));
    if (answer) {
        ident = PyLong_AsUnsignedLong(answer.get());
    }
    if (!answer || PyErr_Occurred() != nullptr) {
        PyErr_Clear();
        return false;
    }
    return true;
}

}  // namespace kovi::cpython::detail

#endif
