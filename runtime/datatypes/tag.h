// tag!: a markup tag (type 44, a child of string!) held without its angle
// brackets; forms and molds with them, each bracket counted in the budget.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez::tag {

cell* push(const cell* value);

void init();
int32_t form(const cell* value, cell* buffer, const cell* arg, int32_t part);
int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg,
             int32_t part, int32_t indent);

}  // namespace kez::tag
