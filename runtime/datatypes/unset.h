// unset!: the value of a word that has none and of expressions that return
// nothing; its header (type id 2, no payload) also marks every cell under
// construction. The shared unset cell is never written by callers.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez::unset {

extern const cell value;

inline cell* make_at(cell* target) {
  *target = cell{TYPE_UNSET, 0, 0, 0};
  return target;
}
cell* push();
cell* push_last();  // into the current call's result slot

void init();
cell* make(cell* proto, const cell* spec, uint32_t type);
int32_t form(const cell* value, cell* buffer, const cell* arg, int32_t part);
int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg,
             int32_t part, int32_t indent);
int32_t compare(const cell* value1, const cell* value2, int32_t op);

}  // namespace kez::unset
