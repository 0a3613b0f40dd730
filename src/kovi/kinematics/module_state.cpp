#include "module_state.hpp"

namespace kovi {

ModuleState module_state = {};

}  // namespace kovi
