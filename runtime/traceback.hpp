// Traceback entries for failures in the module's native code, so that a
// Python traceback names the module's source file, the function and the
// line of the failing step as if a Python frame had been executing there.
#ifndef KOVI_RUNTIME_TRACEBACK_HPP
#define KOVI_RUNTIME_TRACEBACK_HPP

#include <Python.h>

namespace kovi {

// Adds one entry, outside those already there, to the traceback of the
// pending exception.  Reports nothing to the caller.
void add_traceback(const char *function_name, int line, const char *file_name);

}  // namespace kovi

#endif
