// The kinematic tree's Python surface.
#include "tree_bindings.hpp"

namespace kovi::robot {

void bind_tree(nanobind::module_ &) {}

}  // namespace kovi::robot
