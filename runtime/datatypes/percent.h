// percent!: a float! that reads and prints as a percentage (type id 38, a
// child of float!). Cell: words 2-3 the fraction itself (50% holds 0.5).
// Every action but form and mold is float!'s.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez::percent {

cell* make_at(cell* target, double fraction);
cell* make_at64(cell* target, uint32_t low, uint32_t high);
cell* make_in(cell* block, uint32_t low, uint32_t high);
cell* push(double fraction);
cell* push64(uint32_t low, uint32_t high);
cell* box(double fraction);  // turns the current call's first argument into a percent
inline double get(const cell* value) { return load_double(&value->w2); }

int32_t form(const cell* value, cell* buffer, const cell* arg, int32_t part);

void init();  // after float!

}  // namespace kez::percent
