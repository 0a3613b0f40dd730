// A compiled chain: the numbers of a KinBody's joints, copied once into
// contiguous storage, and the operations on it.  Every operation takes and
// returns Python objects at the C API level: a new reference, or null with
// an exception set; none throws.
#ifndef KOVI_CHAIN_CHAIN_HPP
#define KOVI_CHAIN_CHAIN_HPP

#include <Python.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "chain_kernels.hpp"

namespace kovi::solvers {
// What the analytical solvers work out of a chain's geometry once, when it
// is built (defined by the solvers; null when no closed form applies).
struct AnalyticPlan;
}  // namespace kovi::solvers

namespace kovi::chain {

// A joint's range of values, radians or metres; -inf and inf for a joint
// without limits (a continuous revolute joint, say).
struct JointLimit {
    double lower;
    double upper;

    bool bounded() const noexcept { return lower > -HUGE_VAL || upper < HUGE_VAL; }
};

struct Chain {
    std::string name;
    std::vector<std::string> joint_names;
    std::vector<JointRecord> joints;
    std::vector<JointLimit> limits;
    // The names of link_poses' dof + 1 rows; empty for the default ones.
    std::vector<std::string> link_names;
    // Shared, immutable once the chain is built: copies of a chain (none
    // are made today) could share it.
    std::shared_ptr<const kovi::solvers::AnalyticPlan> analytic;

    Py_ssize_t dof() const noexcept { return static_cast<Py_ssize_t>(joints.size()); }
};

// Fills `chain` from a kovi KinBody; anything else is a TypeError.  The
// numbers read are held to the same checks as a state's (a subclass of
// KinBody may answer anything for its joints).
bool chain_from_body(PyObject *kb, Chain &chain) noexcept;

// Pickle state: (name, joint names, kinds as a string of 'R' and 'P', the
// numbers as little-endian float64 bytes, 27 per joint: T_left rows 0-2,
// axis, T_right rows 0-2, and the limits as little-endian float64 bytes,
// lower and upper per joint, -inf and inf for none, and the link names),
// and the chain rebuilt from it, held to the checks a body's joints pass.
// A state of the first four alone (written before chains kept limits)
// gives a chain without limits, one of the first five the default link
// names.
//
// Fills `chain` only when the whole state is sound.
PyObject *chain_state(const Chain &chain) noexcept;
bool chain_from_state(PyObject *state, Chain &chain) noexcept;

PyObject *chain_repr(const Chain &chain) noexcept;
PyObject *chain_name(const Chain &chain) noexcept;
PyObject *chain_joint_names(const Chain &chain) noexcept;
// The limits as a read-only float64 (dof, 2) array: lower, upper.
PyObject *chain_limits(const Chain &chain) noexcept;

// A Jacobian's frame: the str "world" or "local"; false with ValueError
// set for anything else.
bool read_jacobian_frame(PyObject *frame, JacobianFrame &out) noexcept;

// A batch's thread count: a positive int (not a bool), capped at the
// processors the machine has; false with the exception set otherwise.
bool read_threads(PyObject *value, int &threads) noexcept;

PyObject *chain_pose(const Chain &chain, PyObject *q) noexcept;
PyObject *chain_poses(const Chain &chain, PyObject *Q, PyObject *out, PyObject *threads) noexcept;
PyObject *chain_link_poses(const Chain &chain, PyObject *q) noexcept;
PyObject *chain_jacobian(const Chain &chain, PyObject *q, PyObject *frame) noexcept;
PyObject *chain_jacobians(const Chain &chain, PyObject *Q, PyObject *frame,
                          PyObject *threads) noexcept;

// kovi.forward_kinematics(kb, q): checks q against len(kb.joints), then
// returns poe_forward_kinematics(kb, q) unchanged (of the float64 array
// that the check read when q is not exactly an array, a list or a tuple:
// a subclass of one is read as numpy reads it).
PyObject *checked_forward_kinematics(PyObject *kb, PyObject *q) noexcept;

}  // namespace kovi::chain

#endif
