// The names of a compiled chain's link frames (the rows of link_poses),
// taken from a body's link_names and kept through pickling.
#ifndef KOVI_ROBOT_CHAIN_LINKS_HPP
#define KOVI_ROBOT_CHAIN_LINKS_HPP

#include <Python.h>

#include "chain.hpp"

namespace kovi::robot {

// chain.link_names from kb.link_names: dof + 1 str, or none (the default
// names) when kb has no such attribute.  False with an exception set.
bool read_link_names(PyObject *kb, kovi::chain::Chain &chain) noexcept;

// The names as a tuple for the pickle state, and back (a tuple of dof + 1
// str; null state: the default names).
PyObject *link_names_state(const kovi::chain::Chain &chain) noexcept;
bool link_names_from_state(PyObject *names, kovi::chain::Chain &chain) noexcept;

}  // namespace kovi::robot

#endif
