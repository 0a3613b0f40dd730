// The native function behind poe_forward_kinematics(kb, q): binds the two
// parameters from a vector call and runs the body.
#ifndef KOVI_KINEMATICS_POE_FORWARD_KINEMATICS_ENTRY_HPP
#define KOVI_KINEMATICS_POE_FORWARD_KINEMATICS_ENTRY_HPP

#include <Python.h>

namespace kovi {

// METH_FASTCALL | METH_KEYWORDS; `self` is ignored.
PyObject *poe_forward_kinematics_entry(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                       PyObject *kwnames);

// The method definition the module's function object is made from.
extern PyMethodDef poe_forward_kinematics_method;

}  // namespace kovi

#endif
