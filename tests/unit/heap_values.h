// Small builders of language values over raw series, for tests that need a
// heap of linked blocks without the datatype modules.
#pragma once

#include <cstring>

#include "runtime/cell.h"
#include "runtime/collector.h"
#include "runtime/memory.h"

namespace kez::testing {

inline cell series_value(uint32_t type, uint32_t node) { return cell{type, 0, node, 0}; }
inline cell integer_value(int32_t n) { return cell{TYPE_INTEGER, 0, uint32_t(n), 0}; }

// Appends a cell at the block's tail. The block is taken by reference so that
// it is read after the value's own allocations; the value is rooted while the
// block grows.
inline void append(const uint32_t& block, const cell& value) {
  cell copy = value;  // value may live in the block that moves
  collector::root_cells hold(&copy);
  void* p = series::make_room(memory::buffer_of(block), sizeof(cell));
  std::memcpy(p, &copy, sizeof copy);
}

inline cell* cell_at(uint32_t block, uint32_t i) { return memory::buffer_of(block)->head_cell() + i; }
inline uint32_t length_of(uint32_t block) { return memory::buffer_of(block)->used() / sizeof(cell); }

inline uint32_t bytes_with(const char* text) {
  uint32_t n = uint32_t(std::strlen(text));
  uint32_t node = memory::alloc_bytes(n);
  std::memcpy(series::make_room(memory::buffer_of(node), n), text, n);
  return node;
}

inline bool bytes_equal(uint32_t node, const char* text) {
  series_buffer* b = memory::buffer_of(node);
  return b->used() == std::strlen(text) && std::memcmp(b->head_ptr(), text, b->used()) == 0;
}

}  // namespace kez::testing
