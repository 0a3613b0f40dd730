// The module's process-wide state: owned references made once by module
// execution and kept for the life of the process.  The part that the
// runtime support reads (the module dict, builtins, the shared types, the
// traceback code cache) lives in kovi::runtime_state.
#ifndef KOVI_KINEMATICS_MODULE_STATE_HPP
#define KOVI_KINEMATICS_MODULE_STATE_HPP

#include <Python.h>

#include "constant_table.hpp"

namespace kovi {

struct ModuleState {
    PyObject *runtime_module;      // "kovi_runtime" in sys.modules
    PyObject *empty_bytes;
    PyObject *empty_str;
    PyObject *index_tuples[12];    // (row, column) for rows 0-2, columns 0-3, row-major
    PyObject *dtype_kwnames;       // ("dtype",)
    PyObject *function_code;       // code object of poe_forward_kinematics
    PyObject *strings[string_count];
    PyObject *line_table;
    PyObject *float_consts[2];     // 0.0, 1.0
    PyObject *int_consts[4];       // 0, 1, 2, 3
    PyObject *module;              // the executed module; null until execution succeeds
};

// Zero-filled at load.
extern ModuleState module_state;

inline PyObject *constant_string(StringIndex index)
{
    return module_state.strings[index];
}

// File name of the function's code object and of every traceback entry.
inline constexpr char module_source_path[] = "src/kovi/kinematics/poe_fk.py";

}  // namespace kovi

#endif
