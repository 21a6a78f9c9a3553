// typeset!: a set of datatypes held as bits in the cell itself.
//
// Cell: header type id 33; words 1-3 hold 96 bits read as 12 bytes in memory
// order. Type id n is bit 0x80 >> (n & 7) of byte n >> 3 (most significant
// bit first in each byte). Only ids 1 up to the registry's top id name
// types; other bits ride along through the bitwise operations but are never
// listed.
#pragma once

#include <cstdint>

#include "runtime/actions.h"
#include "runtime/cell.h"

namespace kez::typeset {

inline uint8_t* bytes_of(cell* set) { return reinterpret_cast<uint8_t*>(&set->w1); }
inline const uint8_t* bytes_of(const cell* set) { return reinterpret_cast<const uint8_t*>(&set->w1); }
inline bool has_q(const cell* set, uint32_t type) {
  return (type >> 3) < 12 && (bytes_of(set)[type >> 3] & (0x80 >> (type & 7)));
}
inline void add_type(cell* set, uint32_t type) {
  if ((type >> 3) < 12) bytes_of(set)[type >> 3] |= uint8_t(0x80 >> (type & 7));
}

inline cell* make_at(cell* target, uint32_t w1, uint32_t w2, uint32_t w3) {
  *target = cell{TYPE_TYPESET, w1, w2, w3};
  return target;
}
cell* make_in(cell* block, uint32_t w1, uint32_t w2, uint32_t w3);
cell* make_in_full(cell* block);  // every type but unset!
// Filled from the spec's values: a word! by its value, datatype!s and
// typeset!s added, a word still a word! after lookup adds object!, blocks
// skipped, anything else invalid-type-spec.
cell* make_in_from_spec(cell* block, const cell* spec);
// Adds a word!'s value, a typeset!'s bits or a datatype!'s id; anything
// else raises invalid-arg.
void set_type(cell* set, const cell* value);
inline void clear(cell* set) { set->w1 = set->w2 = set->w3 = 0; }
uint32_t count(const cell* set);  // types named, ids 1 to the top id
// target receives a new block of the type names (words) in id order.
void to_block(const cell* set, cell* target);
cell* push(const cell* set);
cell* push_last(const cell* set);  // into the current call's result slot

// Actions.
void init();
cell* make(cell* proto, const cell* spec, uint32_t type);
int32_t form(const cell* value, cell* buffer, const cell* arg, int32_t part);
int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg, int32_t part,
             int32_t indent);
int32_t compare(const cell* value1, const cell* value2, int32_t op);
// The shared body of and~, or~, xor~ and the set natives: 5, 9 or; 6, 10
// and; 7, 12 xor; 11 and-not; 8 value1 unchanged.
cell* do_bitwise(cell* value1, const cell* value2, int32_t op);
cell* and_t(cell* value1, const cell* value2);
cell* or_t(cell* value1, const cell* value2);
cell* xor_t(cell* value1, const cell* value2);
cell* complement(cell* value);
cell* find(cell* series, const cell* value, const find_options& options);

}  // namespace kez::typeset
