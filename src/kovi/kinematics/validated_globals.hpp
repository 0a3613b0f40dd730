// The module globals whose lookups a call may skip, and when it may.
//
// Every use of `math.cos`, `math.sin`, `np.array` and `np.float64` looks
// the names up again, so a rebinding takes effect at the next use.  Where
// the lookups would find the very objects module execution imported (the
// interpreter's own cos and sin, numpy's own array and float64) and could
// not run any code on the way, a call computes cos and sin with the C
// library and builds the result with numpy's C API instead, and nobody can
// tell.  Whether that holds is validated once and kept until one of the
// dicts involved changes: a dict watcher on the module's namespace, math's
// and numpy's drops the validation at any change, made at any moment,
// including from a caller's code in the middle of a call.
#ifndef KOVI_KINEMATICS_VALIDATED_GLOBALS_HPP
#define KOVI_KINEMATICS_VALIDATED_GLOBALS_HPP

#include <Python.h>

#include "cpython_internal.hpp"

namespace kovi {

enum class Validity : unsigned char {
    invalid,  // validated and refused, or never set up: wait for a change
    unknown,  // a watched dict changed: validate at the next use
    valid,
};

struct ValidatedGlobals {
    int watcher;               // dict watcher id; -1 until set up
    PyObject *math_module;     // owned: `math` as module execution bound it
    PyObject *math_dict;       // owned
    PyObject *cos;             // owned: math's own cos and sin
    PyObject *sin;
    PyObject *numpy_module;    // owned: `np` as module execution bound it
    PyObject *numpy_dict;      // owned
    Validity math;
    Validity numpy;
};

extern ValidatedGlobals validated_globals;

// Loads numpy's C API, captures the objects module execution bound and
// watches the dicts.  Run once the module has executed; never raises and
// never runs Python code.  Whatever cannot be set up leaves its fast path
// off.
void setup_validated_globals();

bool validate_math();
bool validate_numpy();

// Whether `math.cos` and `math.sin` would be found, without running code,
// as the interpreter's own cos and sin.  The module's class is checked at
// each use: assigning `__class__` does not touch its dict.
inline bool math_usable()
{
    ValidatedGlobals &g = validated_globals;
    if (g.math != Validity::valid && !(g.math == Validity::unknown && validate_math())) {
        return false;
    }
    return Py_IS_TYPE(g.math_module, &PyModule_Type);
}

// Whether `np.array` and `np.float64` would be found, without running
// code, as numpy's own array and float64.
inline bool numpy_usable()
{
    ValidatedGlobals &g = validated_globals;
    if (g.numpy != Validity::valid && !(g.numpy == Validity::unknown && validate_numpy())) {
        return false;
    }
    return Py_IS_TYPE(g.numpy_module, &PyModule_Type);
}

// The calls a fast path skips (math.cos, math.sin, np.array) enter the
// interpreter's C recursion guard one level deep (numpy 2.5 goes no deeper
// for lists of floats; the margin leaves room for others).  Near the limit
// they would fail with RecursionError, so there the calls are made.
inline constexpr int skipped_call_depth = 50;

inline bool recursion_headroom()
{
    return cpython::c_recursion_remaining(PyThreadState_Get()) > skipped_call_depth;
}

}  // namespace kovi

#endif
