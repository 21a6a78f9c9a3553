// handle!: an opaque native value with a kind code (type id 46, a child of
// integer! that inherits nothing). The value is a 32-bit index or word (a
// handle-table record, a window or font id); Kez code only holds and
// passes it.
//
// Cell: word 1 the kind code; word 2 the value; word 3 always -1.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez::handle {

enum kind : uint32_t { KIND_NULL = 0, KIND_FD = 1, KIND_MONITOR = 2, KIND_WINDOW = 3, KIND_FONT = 4, KIND_RICH_TEXT = 5 };

cell* make_at(cell* target, uint32_t value, uint32_t kind);
cell* box(uint32_t value, uint32_t kind);  // into the current call's result slot
cell* make_in_block(cell* block, uint32_t value, uint32_t kind);
cell* push(uint32_t value, uint32_t kind);
cell* push_null();

void init();  // after integer!

}  // namespace kez::handle
