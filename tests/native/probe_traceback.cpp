// Probe of the traceback synthesis: add_traceback with any names and line,
// the probe's own code cache, and bisect_code_cache over any sorted lines.
#include <Python.h>

#include <vector>

#include "owned_ref.hpp"
#include "probe_tables.hpp"
#include "runtime_state.hpp"
#include "traceback.hpp"

namespace {

// add_traceback(exc, function_name, line, file_name): raises `exc` (unless
// None), adds the entry and returns what is pending afterwards, taken out of
// the thread, or None.  The names are bytes, so invalid UTF-8 can make the
// code-object creation fail.
PyObject *probe_add_traceback(PyObject * /*self*/, PyObject *args)
{
    PyObject *exc;
    const char *function_name;
    int line;
    const char *file_name;
    if (!PyArg_ParseTuple(args, "Oyiy", &exc, &function_name, &line, &file_name)) {
        return nullptr;
    }
    if (exc != Py_None) {
        if (!PyExceptionInstance_Check(exc)) {
            PyErr_SetString(PyExc_TypeError, "exc must be an exception instance or None");
            return nullptr;
        }
        PyErr_SetRaisedException(Py_NewRef(exc));
    }
    kovi::add_traceback(function_name, line, file_name);
    PyObject *pending = PyErr_GetRaisedException();
    return pending != nullptr ? pending : Py_NewRef(Py_None);
}

// traceback_cache_state() -> (count, capacity, [line, ...])
PyObject *probe_traceback_cache_state(PyObject * /*self*/, PyObject * /*unused*/)
{
    const kovi::TracebackCodeCache &cache = kovi::runtime_state.code_cache;
    kovi::OwnedRef lines(PyList_New(cache.count));
    if (!lines) {
        return nullptr;
    }
    for (int k = 0; k < cache.count; k++) {
        PyObject *line = PyLong_FromLong(cache.entries[k].line);
        if (line == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(lines.get(), k, line);
    }
    return Py_BuildValue("iiO", cache.count, cache.capacity, lines.get());
}

// traceback_cache_code(line) -> the code object cached for `line`, found as
// add_traceback finds it, or None.
PyObject *probe_traceback_cache_code(PyObject * /*self*/, PyObject *arg)
{
    int line;
    if (!PyArg_Parse(arg, "i", &line)) {
        return nullptr;
    }
    const kovi::TracebackCodeCache &cache = kovi::runtime_state.code_cache;
    if (cache.entries != nullptr) {
        int pos = kovi::bisect_code_cache(cache.entries, cache.count, line);
        if (pos < cache.count && cache.entries[pos].line == line) {
            return Py_NewRef(reinterpret_cast<PyObject *>(cache.entries[pos].code));
        }
    }
    Py_RETURN_NONE;
}

// bisect_code_cache(lines, line): the position of `line` in the sorted
// `lines`, through entries that hold no code object.
PyObject *probe_bisect_code_cache(PyObject * /*self*/, PyObject *args)
{
    PyObject *lines;
    int line;
    if (!PyArg_ParseTuple(args, "O!i", &PyList_Type, &lines, &line)) {
        return nullptr;
    }
    std::vector<kovi::CodeCacheEntry> entries(static_cast<std::size_t>(PyList_GET_SIZE(lines)) + 1);
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(lines); k++) {
        int value;
        if (!PyArg_Parse(PyList_GET_ITEM(lines, k), "i", &value)) {
            return nullptr;
        }
        entries[k] = {nullptr, value};
    }
    return PyLong_FromLong(kovi::bisect_code_cache(
        entries.data(), static_cast<int>(PyList_GET_SIZE(lines)), line));
}

}  // namespace

PyMethodDef probe_traceback_methods[] = {
    {"add_traceback", probe_add_traceback, METH_VARARGS, nullptr},
    {"traceback_cache_state", probe_traceback_cache_state, METH_NOARGS, nullptr},
    {"traceback_cache_code", probe_traceback_cache_code, METH_O, nullptr},
    {"bisect_code_cache", probe_bisect_code_cache, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};
