#include "runtime_state.hpp"

namespace kovi {

RuntimeState runtime_state = {};

}  // namespace kovi
