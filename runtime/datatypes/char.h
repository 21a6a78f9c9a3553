// char!: one Unicode code point (type id 10, word 2 = the code point,
// 0 to 0x10FFFF). A child of integer!: word 2 is the word that holds an
// integer!'s value, so the inherited handlers (random, absolute, even?,
// odd?) read it unchanged, and its arithmetic goes through the integer core
// with a range check that keeps every result a valid code point.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez::char_ {

constexpr int32_t MAX = 0x10FFFF;

inline cell* make_at(cell* target, int32_t cp) {
  *target = cell{TYPE_CHAR, 0, uint32_t(cp), 0};
  return target;
}
cell* make_in(cell* block, int32_t cp);
cell* push(int32_t cp);
cell* box(int32_t cp);  // into the current call's result slot
inline cell* push_last(int32_t cp) { return box(cp); }
inline int32_t get(const cell* value) { return int32_t(value->w2); }

// Appends cp as mold writes it inside quotes: caret escapes for control
// characters, "^~" for 127, "^(HH)" for 30 and 0x80-0x9F (and, with all, for
// everything above 127).
void append_escaped(cell* buffer, int32_t cp, bool all);

// Actions (registered by init, after integer!).
void init();
cell* make(cell* proto, const cell* spec, uint32_t type);
int32_t form(const cell* value, cell* buffer, const cell* arg, int32_t part);
int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg, int32_t part,
             int32_t indent);
int32_t compare(const cell* value1, const cell* value2, int32_t op);
// value1 op value2 (a char!, integer!, float! truncated, or vector!); math
// overflow when the result leaves 0..0x10FFFF.
cell* do_math(cell* value1, const cell* value2, int32_t op);
cell* add(cell* value1, const cell* value2);
cell* subtract(cell* value1, const cell* value2);
cell* multiply(cell* value1, const cell* value2);
cell* divide(cell* value1, const cell* value2);
cell* remainder(cell* value1, const cell* value2);
cell* and_t(cell* value1, const cell* value2);
cell* or_t(cell* value1, const cell* value2);
cell* xor_t(cell* value1, const cell* value2);

}  // namespace kez::char_
