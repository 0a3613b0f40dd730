// The closed-form solvers' methods on kovi.Chain.
#include "solver_bindings.hpp"
#include "solver_hooks.hpp"

namespace kovi::solvers {

struct AnalyticPlan {};

bool plan_chain(kovi::chain::Chain &chain) noexcept
{
    chain.analytic.reset();
    return true;
}

void bind_analytic(nanobind::module_ &, ChainClass &) {}

}  // namespace kovi::solvers
