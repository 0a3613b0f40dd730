// The whole-robot model's native part (kinematic trees with named frames),
// bound into kovi._chain beside the Chain type so that both share the pose
// arithmetic and its bits.
#ifndef KOVI_ROBOT_TREE_BINDINGS_HPP
#define KOVI_ROBOT_TREE_BINDINGS_HPP

#include <nanobind/nanobind.h>

namespace kovi::robot {

void bind_tree(nanobind::module_ &module);

}  // namespace kovi::robot

#endif
