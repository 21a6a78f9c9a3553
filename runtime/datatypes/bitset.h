// bitset!: a set of non-negative integers (code points and plain integers)
// kept as a bit array (type id 30, no parent).
//
// Cell: word 1 the head index; word 2 the node of a byte series. Bit n lives
// in byte n / 8 under the mask 0x80 >> (n % 8). FLAG_BITSET_NOT in the cell
// header marks a complemented set: every bit beyond the stored bytes is a
// member, and growing fills with 0xFF. The stored bytes always hold
// membership directly; only mold shows them inverted.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez::bitset {

inline bool complemented_q(const cell* b) { return (b->header & FLAG_BITSET_NOT) != 0; }
// target := a bitset of `bytes` stored bytes, each `fill`.
cell* make_at(cell* target, uint32_t bytes, uint8_t fill, bool complemented);
// Membership of bit n (beyond the stored bytes: the complement flag).
bool test_bit(const cell* b, int32_t n);

// a op b into a: math ops or~ 5, and~ 6, xor~ 7, set operations union 9,
// intersect 10, exclude 11, difference 12 (8 leaves a as it is). b must be a
// bitset!, else Script Error invalid-type. The result's flag is the
// operation applied to both flags; a complemented shorter operand counts as
// extended with set bits.
cell* do_bitwise(int32_t op, cell* a, const cell* b);

void init();

}  // namespace kez::bitset
