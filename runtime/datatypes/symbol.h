// symbol!: the interned spellings of words, and the symbol table that holds
// them.
//
// Every distinct spelling is interned once and known by its symbol id, its
// 1-based cell position in the symbol block; symbols are never removed, so
// an id is valid for the life of the process. A spelling that differs from
// an earlier one only in ASCII letter case is a symbol of its own whose
// alias is the first spelling's id (its canonical symbol); a canonical
// symbol's alias is -1. Resolving is therefore always one step, and words
// compare by their canonical ids.
//
// Symbol cell: header type id 13; word 1 the alias; word 2 the node of the
// name as a cached string! (0 until first asked for); word 3 the node of the
// UTF-8 name followed by a NUL byte (tail before the NUL).
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kez::symbol {

constexpr uint32_t TABLE_SIZE = 4000;

// Makes the symbol block and its hash index and roots them; call again after
// the heap was reset to start from an empty table.
void init_table();
void release_table();  // forgets the table, before the heap that holds it is dropped
uint32_t count();  // symbols interned so far

uint32_t make(const char* name);
uint32_t make_any_case(const char* name);  // an existing case variant is answered as it is
uint32_t make_from_buffer(const uint8_t* name, uint32_t length);  // name may lie in a movable buffer
uint32_t make_from_string(cell* string);  // the text's UTF-8 bytes from its head

namespace detail {
extern uint32_t block;  // node of the symbol block
}
// The symbol cell of an id, valid until the next allocation.
inline cell* at(uint32_t id) {
  return reinterpret_cast<cell*>(memory::buffer_of(detail::block)->data()) + (id - 1);
}
inline int32_t get_alias(uint32_t id) { return int32_t(at(id)->w1); }
inline uint32_t resolve(uint32_t id) {
  int32_t alias = get_alias(id);
  return alias > 0 ? uint32_t(alias) : id;
}
// The UTF-8 name and its length in bytes (valid until the next allocation).
const char* get_c_string(uint32_t id);
uint32_t name_length(uint32_t id);

// The cached string! node of the name, made on first use.
uint32_t get_string(uint32_t id);
// The symbol cell with its cached string made (valid until the next allocation).
cell* get(uint32_t id);

// The names of two symbols compared as texts under a compare op: code points
// in order, folded to lower case unless the op is 2 or 8; -1, 0 or 1.
int32_t compare_names(uint32_t id1, uint32_t id2, int32_t op);

void init();  // registers symbol! (compare only)
int32_t compare(const cell* value1, const cell* value2, int32_t op);

}  // namespace kez::symbol
