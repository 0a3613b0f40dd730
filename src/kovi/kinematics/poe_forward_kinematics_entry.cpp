#include "poe_forward_kinematics_entry.hpp"

#include "argument_binding.hpp"
#include "forward_kinematics.hpp"
#include "module_state.hpp"
#include "owned_ref.hpp"
#include "source_lines.hpp"
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

namespace {

// Binding errors name the function plainly; traceback entries qualify it.
constexpr char plain_name[] = "poe_forward_kinematics";
constexpr Py_ssize_t parameter_count = 2;

// kb, q: a parameter's index here is its slot.  The strings are interned
// and hashed at module execution.
const ParameterName parameter_names[parameter_count + 1] = {
    &module_state.strings[str_kb],
    &module_state.strings[str_q],
    nullptr,
};

// Fills the slots from the vector: the positional values, then the value of
// each keyword name, which follow them in the same vector.  Returns false
// with a TypeError (or the error of comparing a name) set.
bool bind_arguments(PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames,
                    OwnedRef (&slots)[parameter_count])
{
    Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nkw == 0) {
        if (nargs != parameter_count) {
            raise_argument_count_error(plain_name, parameter_count, nargs);
            return false;
        }
        slots[0] = OwnedRef::borrow(args[0]);
        slots[1] = OwnedRef::borrow(args[1]);
        return true;
    }
    if (nargs > parameter_count) {
        raise_argument_count_error(plain_name, parameter_count, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nargs; i++) {
        slots[i] = OwnedRef::borrow(args[i]);
    }
    const ParameterName *first_unfilled = parameter_names + nargs;
    for (Py_ssize_t k = 0; k < nkw; k++) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t index = -1;
        // Names written in the caller's source are the interned ones.
        for (const ParameterName *name = first_unfilled; *name != nullptr; name++) {
            if (**name == key) {
                index = name - parameter_names;
                break;
            }
        }
        if (index < 0) {
            int found = match_keyword_name(plain_name, key, parameter_names, first_unfilled, &index);
            if (found < 0) {
                return false;
            }
            if (found == 0) {
                raise_unexpected_keyword_error(plain_name, key);
                return false;
            }
        }
        // The interpreter never passes a name twice, a direct vector call
        // can; the value of the first would be lost.
        if (slots[index]) {
            raise_multiple_values_error(plain_name, key);
            return false;
        }
        slots[index] = OwnedRef::borrow(args[nargs + k]);
    }
    for (Py_ssize_t p = nargs; p < parameter_count; p++) {
        if (!slots[p]) {
            raise_argument_count_error(plain_name, parameter_count, p);
            return false;
        }
    }
    return true;
}

}  // namespace

PyObject *poe_forward_kinematics_entry(PyObject * /*self*/, PyObject *const *args,
                                       Py_ssize_t nargs, PyObject *kwnames)
{
    OwnedRef slots[parameter_count];
    if (!bind_arguments(args, nargs, kwnames, slots)) {
        slots[0].reset();
        slots[1].reset();
        add_traceback(fk_function_name, line_def, module_source_path);
        return nullptr;
    }
    // The slots keep kb and q alive while the body runs.
    PyObject *result = poe_forward_kinematics_body(slots[0].get(), slots[1].get());
    if (result == nullptr) {
        // Outside the entry the body added for its own line.
        add_traceback(fk_function_name, line_def, module_source_path);
    }
    return result;
}

}  // namespace kovi
