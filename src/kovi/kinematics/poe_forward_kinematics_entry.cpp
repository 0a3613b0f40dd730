#include "poe_forward_kinematics_entry.hpp"

#include "forward_kinematics.hpp"
#include "module_state.hpp"
#include "owned_ref.hpp"
#include "traceback.hpp"

namespace kovi {

static const char fk_docstring[] =
    "POE forward kinematics for a normalized :class:`KinBody` at config ``q``.\n"
    "\n"
    "    Walks the chain joint-by-joint, applying ``T_left @ Joint(axis, q) @ T_right``\n"
    "    in order, where ``Joint`` is a rotation for revolute joints and a translation\n"
    "    along ``axis`` for prismatic joints. Returns the 4x4 base-to-end pose.\n"
    "\n"
    "    Hand-rolled scalar 4x4 matmul + inline Rodrigues. The accumulator is\n"
    "    carried as 12 scalars (the bottom row ``[0, 0, 0, 1]`` is implicit);\n"
    "    no per-call ``np.eye(4)`` allocations and no per-joint numpy ``@``\n"
    "    dispatch.\n"
    "    ";

PyMethodDef poe_forward_kinematics_method = {
    "poe_forward_kinematics",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(poe_forward_kinematics_entry)),
    METH_FASTCALL | METH_KEYWORDS,
    fk_docstring,
};

static const int def_line = 30;

static void raise_argument_count_error(Py_ssize_t given)
{
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 "poe_forward_kinematics", "exactly", static_cast<Py_ssize_t>(2), "s", given);
}

// Binds kb and q from the vector: positional values first, then the values
// of the keyword names in order.
static bool bind_arguments(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                           OwnedRef slots[2])
{
    Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0 ? nargs != 2 : nargs > 2) {
        raise_argument_count_error(nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; i++) {
        slots[i] = OwnedRef::borrow(args[i]);
    }
    PyObject *names[2] = {constant_string(str_kb), constant_string(str_q)};
    for (Py_ssize_t k = 0; k < nkw; k++) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        int found = -1;
        for (int p = 0; p < 2 && found < 0; p++) {
            int eq = PyObject_RichCompareBool(names[p], key, Py_EQ);
            if (eq < 0) {
                return false;
            }
            if (eq) {
                found = p;
            }
        }
        if (found < 0) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         "poe_forward_kinematics", key);
            return false;
        }
        if (found < nargs) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         "poe_forward_kinematics", key);
            return false;
        }
        slots[found] = OwnedRef::borrow(args[nargs + k]);
    }
    for (Py_ssize_t p = nargs; p < 2; p++) {
        if (!slots[p]) {
            raise_argument_count_error(p);
            return false;
        }
    }
    return true;
}

PyObject *poe_forward_kinematics_entry(PyObject * /*self*/, PyObject *const *args,
                                       Py_ssize_t nargs, PyObject *kwnames)
{
    OwnedRef slots[2];
    PyObject *result = nullptr;
    if (bind_arguments(args, nargs, kwnames, slots)) {
        result = poe_forward_kinematics_body(slots[0].get(), slots[1].get());
    }
    if (result == nullptr) {
        add_traceback(fk_function_name, def_line, module_source_path);
    }
    return result;
}

}  // namespace kovi
