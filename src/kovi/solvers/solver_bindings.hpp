// The Python methods of the solvers, bound onto kovi.Chain by the module
// that defines it (kovi._chain), each family of solvers from its own file.
#ifndef KOVI_SOLVERS_SOLVER_BINDINGS_HPP
#define KOVI_SOLVERS_SOLVER_BINDINGS_HPP

#include <nanobind/nanobind.h>

#include "chain.hpp"

namespace kovi::solvers {

using ChainClass = nanobind::class_<kovi::chain::Chain>;

// Closed-form inverse kinematics: kinematic_family, ik_all, ik_all_batch, ...
void bind_analytic(nanobind::module_ &module, ChainClass &chain);

// Numerical inverse kinematics: ik, ik_batch, ...
void bind_numeric(nanobind::module_ &module, ChainClass &chain);

}  // namespace kovi::solvers

#endif
