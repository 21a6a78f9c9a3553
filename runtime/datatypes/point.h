// point2D! and point3D!: points with single-precision coordinates (type ids
// 51 and 52). Cells: words 1, 2 (and 3) hold x, y (and z) as IEEE singles.
//
// The two types share one implementation parameterised by the coordinate
// count: every coordinate is computed in double precision and stored back
// as a single. Equality is tolerant (single-precision near-equality),
// strict equality exact, sameness bitwise.
#pragma once

#include <cstdint>
#include <cstring>

#include "runtime/cell.h"

namespace kez {

namespace point2D {
cell* make_at(cell* target, float x, float y);
cell* make_in(cell* block, float x, float y);
cell* push(float x, float y);
cell* do_math(cell* left, const cell* right, int32_t op);
void init();
}  // namespace point2D

namespace point3D {
cell* make_at(cell* target, float x, float y, float z);
cell* make_in(cell* block, float x, float y, float z);
cell* push(float x, float y, float z);
cell* do_math(cell* left, const cell* right, int32_t op);
void init();
}  // namespace point3D

namespace point {
inline float coordinate(const cell* p, int i) {
  float f;
  std::memcpy(&f, &p->w1 + i, sizeof f);
  return f;
}
// The comparison both types register (pair! operands are converted first).
int32_t compare(const cell* value1, const cell* value2, int32_t op);
// The math body of both types (ops 0-4); left, a point, receives the result.
cell* do_math(cell* left, const cell* right, int32_t op);
}  // namespace point

}  // namespace kez
