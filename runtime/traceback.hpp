// Traceback entries for failures in the module's native code, so that a
// Python traceback names the module's source file, the function and the
// line of the failing step as if a Python frame had been executing there.
//
// The code objects behind the entries are cached in
// runtime_state.code_cache, one per source line, sorted by line: repeated
// failures at a line make no new code object.
#ifndef KOVI_RUNTIME_TRACEBACK_HPP
#define KOVI_RUNTIME_TRACEBACK_HPP

#include <Python.h>

#include "runtime_state.hpp"

namespace kovi {

// Adds one entry for `line` of `function_name` in `file_name`, outside those
// already there, to the traceback of the pending exception, which stays the
// same object.  Does nothing when no exception is pending.  Reports nothing
// to the caller: when the entry cannot be made, the error of that stands.
void add_traceback(const char *function_name, int line, const char *file_name);

// Index of the entry with `line` in the first `count` entries, or the index
// at which one would be inserted to keep them sorted (0 to count).
int bisect_code_cache(const CodeCacheEntry *entries, int count, int line);

}  // namespace kovi

#endif
