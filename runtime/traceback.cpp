#include "traceback.hpp"

#include <climits>
#include <cstring>

#include <frameobject.h>

#include "cpython_internal.hpp"
#include "owned_ref.hpp"

namespace kovi {

namespace {

// The cache grows by this many entries at a time.
constexpr int cache_growth = 64;

// Whether the str `s` holds `text`.  The callers' names are ASCII; a code
// object with any other name is taken as made for another name, which costs
// a fresh code object but never a wrong entry.
bool holds_text(PyObject *s, const char *text)
{
    if (!PyUnicode_IS_ASCII(s)) {
        return false;
    }
    std::size_t length = std::strlen(text);
    return static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)) == length &&
           std::memcmp(PyUnicode_1BYTE_DATA(s), text, length) == 0;
}

// One line may be reported under different names (module execution and the
// function share the definition line); a cached code object serves only the
// names it was made with.
bool made_for(PyCodeObject *code, const char *function_name, const char *file_name)
{
    return holds_text(code->co_name, function_name) && holds_text(code->co_filename, file_name);
}

// A new code object for the entry.  Its creation must not see the pending
// exception, so that is set aside and put back, with the traceback it had.
// On failure the creation's exception replaces the pending one.
PyCodeObject *new_entry_code(const char *function_name, int line, const char *file_name)
{
    PyObject *exc = PyErr_GetRaisedException();
    OwnedRef saved_tb(PyException_GetTraceback(exc));

    // The first line of the code object is the line the frame reports.
    PyCodeObject *code = PyCode_NewEmpty(file_name, function_name, line);
    if (code == nullptr) {
        Py_DECREF(exc);
        return nullptr;
    }
    OwnedRef tb_now(PyException_GetTraceback(exc));
    if (tb_now.get() != saved_tb.get()) {
        PyException_SetTraceback(exc, saved_tb ? saved_tb.get() : Py_None);
    }
    tb_now.reset();
    // Releases whatever was raised in the meantime.
    PyErr_SetRaisedException(exc);
    return code;
}

// Keeps `code` for `line`, replacing a code object cached for the line under
// other names.  Failing to allocate only means it is not cached.
void cache_code(PyCodeObject *code, int line)
{
    TracebackCodeCache &cache = runtime_state.code_cache;
    if (cache.entries == nullptr) {
        auto *entries = static_cast<CodeCacheEntry *>(
            PyMem_Malloc(cache_growth * sizeof(CodeCacheEntry)));
        if (entries == nullptr) {
            return;
        }
        entries[0] = {reinterpret_cast<PyCodeObject *>(Py_NewRef(code)), line};
        cache.entries = entries;
        cache.capacity = cache_growth;
        cache.count = 1;
        return;
    }
    int pos = bisect_code_cache(cache.entries, cache.count, line);
    if (pos < cache.count && cache.entries[pos].line == line) {
        PyCodeObject *old = cache.entries[pos].code;
        cache.entries[pos].code = reinterpret_cast<PyCodeObject *>(Py_NewRef(code));
        Py_DECREF(old);
        return;
    }
    if (cache.count == cache.capacity) {
        if (cache.capacity > INT_MAX - cache_growth) {
            return;
        }
        int capacity = cache.capacity + cache_growth;
        auto *entries = static_cast<CodeCacheEntry *>(
            PyMem_Realloc(cache.entries, static_cast<std::size_t>(capacity) * sizeof(CodeCacheEntry)));
        if (entries == nullptr) {
            return;
        }
        cache.entries = entries;
        cache.capacity = capacity;
    }
    std::memmove(&cache.entries[pos + 1], &cache.entries[pos],
                 static_cast<std::size_t>(cache.count - pos) * sizeof(CodeCacheEntry));
    cache.entries[pos] = {reinterpret_cast<PyCodeObject *>(Py_NewRef(code)), line};
    cache.count++;
}

}  // namespace

int bisect_code_cache(const CodeCacheEntry *entries, int count, int line)
{
    if (count <= 0) {
        return 0;
    }
    // New lines mostly come in increasing order.
    if (line > entries[count - 1].line) {
        return count;
    }
    int start = 0;
    int end = count - 1;
    int mid = 0;
    while (start < end) {
        mid = start + (end - start) / 2;
        if (line < entries[mid].line) {
            end = mid;
        }
        else if (line > entries[mid].line) {
            start = mid + 1;
        }
        else {
            return mid;
        }
    }
    return line <= entries[mid].line ? mid : mid + 1;
}

void add_traceback(const char *function_name, int line, const char *file_name)
{
    PyThreadState *tstate = cpython::thread_state_or_null();
    if (tstate == nullptr || PyErr_Occurred() == nullptr || runtime_state.module_dict == nullptr) {
        return;
    }
    // No pointer into the cache is kept past this block: making a frame can
    // run a garbage collection, and finalizers may fail and add entries.
    OwnedRef code;
    const TracebackCodeCache &cache = runtime_state.code_cache;
    if (line != 0 && cache.entries != nullptr) {
        int pos = bisect_code_cache(cache.entries, cache.count, line);
        if (pos < cache.count && cache.entries[pos].line == line &&
            made_for(cache.entries[pos].code, function_name, file_name)) {
            code = OwnedRef::borrow(reinterpret_cast<PyObject *>(cache.entries[pos].code));
        }
    }
    if (!code) {
        PyCodeObject *made = new_entry_code(function_name, line, file_name);
        if (made == nullptr) {
            return;
        }
        code.reset(reinterpret_cast<PyObject *>(made));
        // Line 0 stands for no line; it is never cached.
        if (line != 0) {
            cache_code(made, line);
        }
    }
    // The frame is made with the exception set aside: under a pending one,
    // PyFrame_New takes a missing __builtins__ or __name__ in the globals
    // (which a user may delete) for an error and silently makes nothing.
    PyObject *pending = PyErr_GetRaisedException();
    OwnedRef frame(reinterpret_cast<PyObject *>(
        PyFrame_New(tstate, reinterpret_cast<PyCodeObject *>(code.get()),
                    runtime_state.module_dict, nullptr)));
    if (!frame && PyErr_Occurred() != nullptr) {
        // The frame's own error stands.
        Py_DECREF(pending);
        return;
    }
    PyErr_SetRaisedException(pending);
    if (!frame) {
        return;
    }
    auto *f = reinterpret_cast<PyFrameObject *>(frame.get());
    cpython::set_frame_lineno(f, line);
    PyTraceBack_Here(f);
    code.reset();
    frame.reset();
}

}  // namespace kovi
