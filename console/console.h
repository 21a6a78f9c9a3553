// The console's C++ routines (print hooks, title, standard-input lines).
#pragma once

#include "runtime/natives.h"

namespace kez::console_engine {

void register_routines(natives::routine_list& list);

}  // namespace kez::console_engine
