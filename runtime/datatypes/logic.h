// logic!: true or false (type id 4, word 1 = 1 or 0), and the truth rule of
// every conditional: a value is false only when it is none! or a false
// logic!; testing an unset! value raises a Script Error. The shared true and
// false cells are never written by callers.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez::logic {

extern const cell true_value;
extern const cell false_value;

inline cell* make_at(cell* target, bool b) {
  *target = cell{TYPE_LOGIC, b ? 1u : 0u, 0, 0};
  return target;
}
cell* push(bool b);
cell* push_last(bool b);
inline bool get(const cell* value) { return value->w1 != 0; }

// Truth tests. With check, an unset! cell raises Script Error no-value naming
// `word` (which may be null).
bool true_q(const cell* value, bool check = false, const cell* word = nullptr);
bool arg_true_q();   // the current call's first argument; unset! raises no-return
bool arg_false_q();  // 1 when that cell is none! or false
bool top_true_q();   // the value on top of the data stack
inline bool top_false_q() { return !top_true_q(); }

void init();
cell* make(cell* proto, const cell* spec, uint32_t type);
cell* to(cell* proto, const cell* spec, uint32_t type);
int32_t form(const cell* value, cell* buffer, const cell* arg, int32_t part);
int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg,
             int32_t part, int32_t indent);
int32_t compare(const cell* value1, const cell* value2, int32_t op);
cell* complement(cell* value);
cell* and_t(cell* value1, const cell* value2);
cell* or_t(cell* value1, const cell* value2);
cell* xor_t(cell* value1, const cell* value2);

}  // namespace kez::logic
