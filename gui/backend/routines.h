// The GUI backend's routines: the global event routines and the members of
// system/view/platform that the backend builds. Their names and specs go
// into the boot data with the library's routines.
#pragma once

#include "runtime/natives.h"

namespace kez::gui {

void register_routines(natives::routine_list& list);

}  // namespace kez::gui
