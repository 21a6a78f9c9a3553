// error!: the one fire operation through which every language-level failure
// is raised. fire never returns: it records the error in the runtime context
// and unwinds with kez::thrown{THROWN_ERROR}.
#pragma once

#include "runtime/cell.h"
#include "runtime/error_ids.h"

namespace kez::error {

[[noreturn]] void fire(int category, int id, const cell* arg1 = nullptr,
                       const cell* arg2 = nullptr, const cell* arg3 = nullptr);

// Category and id of the error most recently fired (until error! values
// exist, this is all that an error carries).
int last_category();
int last_id();
// Argument n (1 to 3) of that error, or null when it was not given. A copy of
// the cell: the value it refers to lives only as long as its raiser keeps it
// rooted (the lexer leaves its arguments on the data stack).
const cell* last_arg(int n);

}  // namespace kez::error
