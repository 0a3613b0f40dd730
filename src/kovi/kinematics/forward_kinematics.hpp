// The body of poe_forward_kinematics(kb, q) at the level of Python objects.
#ifndef KOVI_KINEMATICS_FORWARD_KINEMATICS_HPP
#define KOVI_KINEMATICS_FORWARD_KINEMATICS_HPP

#include <Python.h>

namespace kovi {

// Qualified name of the function in its traceback entries.
inline constexpr char fk_function_name[] = "kovi.kinematics.poe_fk.poe_forward_kinematics";

// `kb` and `q` are borrowed.  Returns the new 4x4 float64 pose, or null with
// the failing read's exception pending and a traceback entry at its line.
PyObject *poe_forward_kinematics_body(PyObject *kb, PyObject *q);

}  // namespace kovi

#endif
