// Raw arrays and the reference table.
//
// A raw array is a series of bytes or 32-bit words (unit 1 or 4) that native
// code uses as a growable array; it is named by its node, so it moves and
// grows like any series, and the addresses these operations answer are valid
// only until the next allocation. Positions are 1-based elements; offsets
// answered by the find operations are bytes from the head. What native code
// stores in a word array is a 32-bit value: an offset or a table index.
//
// The reference table is one block of cells in which native code parks a
// value and names it by a small integer (its 0-based cell index + 1; 0 is no
// reference). Parked values stay alive: the block is a collector root. The
// block's tail is always its capacity; a free cell is an integer! holding the
// index of the next free cell (-1 ends the list), last freed first reused.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez::array {

uint32_t make(uint32_t count, uint32_t unit);
uint32_t length_q(uint32_t node);
void clear(uint32_t node);
void set_tail(uint32_t node, uint32_t position);
uint32_t copy(uint32_t node);
uint8_t* head(uint32_t node);
void append_byte(uint32_t node, uint8_t byte);
uint8_t pick_byte(uint32_t node, uint32_t position);
uint8_t* append_bytes(uint32_t node, const void* source, uint32_t count);
void append_int(uint32_t node, uint32_t value);
int32_t find_int(uint32_t node, uint32_t value);  // byte offset or -1
uint32_t pick_int(uint32_t node, uint32_t position);
void poke_int(uint32_t node, uint32_t position, uint32_t value);
void insert_int(uint32_t node, uint32_t value, uint32_t index);  // 0-based index
void remove_bytes(uint32_t node, uint32_t offset, uint32_t count);
void remove_int(uint32_t node, uint32_t value);

// The same operations under the names native code uses for stored references.
inline void append_pointer(uint32_t node, uint32_t value) { append_int(node, value); }
inline int32_t find_pointer(uint32_t node, uint32_t value) { return find_int(node, value); }
inline uint32_t pick_pointer(uint32_t node, uint32_t position) { return pick_int(node, position); }
inline void poke_pointer(uint32_t node, uint32_t position, uint32_t value) { poke_int(node, position, value); }
inline void insert_pointer(uint32_t node, uint32_t value, uint32_t index) { insert_int(node, value, index); }
inline void remove_pointer(uint32_t node, uint32_t value) { remove_int(node, value); }

}  // namespace kez::array

namespace kez::refs {

void init();  // also on first store
void reset();  // drops the table
uint32_t store(const cell* value);
cell* cell_at(uint32_t reference);  // no check; valid until the next allocation
void free(uint32_t reference);
uint32_t capacity();

}  // namespace kez::refs
