// tuple!: 3 to 12 bytes written with dots (type id 39).
//
// Cell: header bits 0-7 the type id, bits 19-22 the byte count (3-12);
// the bytes from cell byte 4 onwards. Bytes beyond the count are 0.
// Byte arithmetic saturates at 0 and 255; no result ever wraps.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez::tuple {

constexpr int COUNT_SHIFT = 19;
inline int32_t count_of(const cell* t) { return int32_t(t->header >> COUNT_SHIFT & 0xF); }
inline uint8_t* bytes_of(cell* t) { return reinterpret_cast<uint8_t*>(t) + 4; }
inline const uint8_t* bytes_of(const cell* t) { return reinterpret_cast<const uint8_t*>(t) + 4; }

cell* push(int32_t count, uint32_t w1, uint32_t w2, uint32_t w3);
// From up to 12 integers (fewer than 3 give 3 with zero bytes).
cell* make_at(cell* target, const int32_t* values, int32_t count);
// An RGB or RGBA colour: alpha -1 means none.
cell* make_rgba(cell* target, int32_t r, int32_t g, int32_t b, int32_t alpha);
bool zero_q(const cell* value);

cell* do_math(cell* left, const cell* right, int32_t op);

void init();

}  // namespace kez::tuple
