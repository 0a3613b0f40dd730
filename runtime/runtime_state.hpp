// The part of the module's process-wide state that the runtime support reads.
//
// The runtime operations (globals lookup, imports, tracebacks, calls, the
// function type) know nothing of the module they serve; the module fills
// this table once at execution and every operation reads it from here.
// Object fields are strong references, owned for the life of the process;
// the three name strings are borrowed from the module's constant table,
// which outlives them.
#ifndef KOVI_RUNTIME_RUNTIME_STATE_HPP
#define KOVI_RUNTIME_RUNTIME_STATE_HPP

#include <Python.h>

namespace kovi {

// One cached code object of the traceback synthesis, keyed by source line;
// it serves the function and file names it was made with.
struct CodeCacheEntry {
    PyCodeObject *code;  // owned
    int line;            // never 0
};

// Sorted by line, strictly increasing; grown in steps of 64 entries and
// never freed.  `entries` is null until the first insertion.
struct TracebackCodeCache {
    int count;
    int capacity;
    CodeCacheEntry *entries;
};

struct RuntimeState {
    PyObject *module_dict;      // globals of the module's code, imports and frames
    PyObject *builtins_module;  // fallback of global lookups
    PyObject *empty_tuple;
    PyObject *common_metatype;  // shared metatype of the function type
    PyObject *function_type;    // shared type of the module's function objects
    TracebackCodeCache code_cache;

    // Borrowed interned names.
    PyObject *str_dot;               // "."
    PyObject *str_class_getitem;     // "__class_getitem__"
    PyObject *str_annotate;          // "__annotate__"
};

// Zero-filled at load; filled by the module's execution.
extern RuntimeState runtime_state;

}  // namespace kovi

#endif
