// triple!: three signed 32-bit integers (type id 31) in the three payload
// words. Only its text form exists; values come from deserialisation.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez::triple {

inline cell* make_at(cell* target, int32_t a, int32_t b, int32_t c) {
  *target = cell{TYPE_TRIPLE, uint32_t(a), uint32_t(b), uint32_t(c)};
  return target;
}
int32_t form(const cell* value, cell* buffer, const cell* arg, int32_t part);
void init();

}  // namespace kez::triple
