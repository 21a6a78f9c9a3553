// none!: the empty value (type id 3, no payload), answered by searches that
// find nothing and by series actions applied to none. The shared none cell is
// never written by callers.
#pragma once

#include <cstdint>

#include "runtime/actions.h"
#include "runtime/cell.h"

namespace kez::none {

extern const cell value;

inline cell* make_at(cell* target) {
  *target = cell{TYPE_NONE, 0, 0, 0};
  return target;
}
cell* push();
cell* push_last();

void init();
cell* make(cell* proto, const cell* spec, uint32_t type);
int32_t form(const cell* value, cell* buffer, const cell* arg, int32_t part);
int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg,
             int32_t part, int32_t indent);
int32_t compare(const cell* value1, const cell* value2, int32_t op);
// clear, find, remove, select and take of none answer none; length? -1 (none).
cell* clear(cell* value);
cell* find(cell* series, const cell* value, const find_options& options);
cell* remove(cell* series, const cell* part, const cell* key);
cell* take(cell* series, const cell* part, bool deep, bool last);
int32_t length_q(cell* series);

}  // namespace kez::none
