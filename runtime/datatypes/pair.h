// pair!: two signed 32-bit integers written XxY (type id 37). Cell: word 2
// x, word 3 y.
//
// Pair arithmetic never wraps: an integer result outside 32 bits, any math
// with a point2D!, and scaling by a fraction give a point2D! instead.
// Conversions from floats range-check before truncating.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez::pair {

inline cell* make_at(cell* target, int32_t x, int32_t y) {
  *target = cell{TYPE_PAIR, 0, uint32_t(x), uint32_t(y)};
  return target;
}
cell* make_in(cell* block, int32_t x, int32_t y);
cell* push(int32_t x, int32_t y);
inline int32_t x_of(const cell* p) { return int32_t(p->w2); }
inline int32_t y_of(const cell* p) { return int32_t(p->w3); }

// The shared math body (ops 0-7): left, a pair, receives the result.
cell* do_math(cell* left, const cell* right, int32_t op);

void init();

}  // namespace kez::pair
