// A compiled chain: the numbers of a KinBody's joints, copied once into
// contiguous storage, and the operations on it.  Every operation takes and
// returns Python objects at the C API level: a new reference, or null with
// an exception set; none throws.
#ifndef KOVI_CHAIN_CHAIN_HPP
#define KOVI_CHAIN_CHAIN_HPP

#include <Python.h>

#include <string>
#include <vector>

#include "chain_kernels.hpp"

namespace kovi::chain {

struct Chain {
    std::string name;
    std::vector<std::string> joint_names;
    std::vector<JointRecord> joints;

    Py_ssize_t dof() const noexcept { return static_cast<Py_ssize_t>(joints.size()); }
};

// Fills `chain` from a kovi KinBody; anything else is a TypeError.
bool chain_from_body(PyObject *kb, Chain &chain) noexcept;

// Pickle state: (name, joint names, kinds as a string of 'R' and 'P', the
// numbers as float64 bytes, 27 per joint: T_left rows 0-2, axis, T_right
// rows 0-2), and the chain rebuilt from it.
PyObject *chain_state(const Chain &chain) noexcept;
bool chain_from_state(PyObject *state, Chain &chain) noexcept;

PyObject *chain_repr(const Chain &chain) noexcept;
PyObject *chain_name(const Chain &chain) noexcept;
PyObject *chain_joint_names(const Chain &chain) noexcept;

PyObject *chain_pose(const Chain &chain, PyObject *q) noexcept;
PyObject *chain_poses(const Chain &chain, PyObject *Q, PyObject *out, int threads) noexcept;
PyObject *chain_link_poses(const Chain &chain, PyObject *q) noexcept;
PyObject *chain_jacobian(const Chain &chain, PyObject *q, PyObject *frame) noexcept;
PyObject *chain_jacobians(const Chain &chain, PyObject *Q, PyObject *frame, int threads) noexcept;

// kovi.forward_kinematics(kb, q): checks q against len(kb.joints), then
// returns poe_forward_kinematics(kb, q) unchanged (of the float64 array
// that the check read when q is not exactly an array, a list or a tuple:
// a subclass of one is read as numpy reads it).
PyObject *checked_forward_kinematics(PyObject *kb, PyObject *q) noexcept;

}  // namespace kovi::chain

#endif
