// ref!: a reference (type 50, a child of string!) written with a leading
// "@"; it forms as its bare text.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez::ref {

cell* push(const cell* value);

void init();
int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg,
             int32_t part, int32_t indent);

}  // namespace kez::ref
