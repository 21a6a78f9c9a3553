// vector!: a packed numeric series (type id 35, a child of string!). Every
// element has one datatype and one width, stored back to back in a series
// buffer whose unit is the element width in bytes.
//
// Cell: word 1 the head index in elements; word 2 the buffer's node; word 3
// the element datatype (char!, integer!, float! or percent!).
//
// Invariants:
// - integer! elements are 1, 2 or 4 bytes, sign-extended when read; char!
//   elements are as wide but zero-extended (a code point is never negative);
//   float! elements are 4 or 8 bytes; percent! elements always 8.
// - Writing truncates an integer to the width and rounds a float written to
//   a 4-byte element to single precision.
// - Math with a scalar changes the vector in place; math with a vector
//   points the left cell at a new buffer.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez::vector {

// Fills target with `count` zero elements of `type`, `width` bytes each;
// count x width beyond 32 bits raises Internal Error no-memory.
cell* make_at(cell* target, int32_t count, uint32_t type, uint32_t width);
int32_t ks_length_q(const cell* v);
void ks_clear(cell* v);
void ks_append_int(cell* v, int32_t value);  // a raw 4-byte integer at the tail
// Pushes the element at p (width bytes of a `type` vector) as a value.
cell* get_value(const uint8_t* p, uint32_t width, uint32_t type);
// The element at p as a number (exact for every integer and float width).
double number_at(const uint8_t* p, uint32_t width, uint32_t type);
// Writes value at p; a value that is neither integer!/char! nor
// float!/percent! raises Script Error invalid-type.
void set_value(uint8_t* p, const cell* value, uint32_t width, uint32_t type);
void to_block(const cell* v, cell* block);
// v op scalar in place, from v's head.
cell* do_math_scalar(int32_t op, cell* v, const cell* scalar);

void init();  // after string!

}  // namespace kez::vector
