// The module definition's Py_mod_exec slot.
#ifndef KOVI_KINEMATICS_MODULE_EXEC_HPP
#define KOVI_KINEMATICS_MODULE_EXEC_HPP

#include <Python.h>

namespace kovi {

// 0 on success, -1 with an exception set.
int module_exec(PyObject *module);

}  // namespace kovi

#endif
