// The numerical solver's methods on kovi.Chain.
#include "solver_bindings.hpp"

namespace kovi::solvers {

void bind_numeric(nanobind::module_ &, ChainClass &) {}

}  // namespace kovi::solvers
