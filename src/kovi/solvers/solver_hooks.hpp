// Where the compiled chain meets the solvers: the work done once when a
// chain is built, and the methods the solvers add to the Chain type.
#ifndef KOVI_SOLVERS_SOLVER_HOOKS_HPP
#define KOVI_SOLVERS_SOLVER_HOOKS_HPP

#include "chain.hpp"

namespace kovi::solvers {

// Called once at the end of every construction of a chain (from a body or
// from a pickle), with its joints, names and limits in place: sets
// chain.analytic (null where no closed form applies).  False with a Python
// exception set on failure (out of memory); a chain without a closed form
// is no failure.
bool plan_chain(kovi::chain::Chain &chain) noexcept;

}  // namespace kovi::solvers

#endif
