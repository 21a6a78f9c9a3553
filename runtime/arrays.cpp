#include "runtime/arrays.h"

#include <cassert>
#include <cstring>

#include "runtime/collector.h"
#include "runtime/memory.h"

namespace kez::array {

namespace {

uint32_t shift_of(const series_buffer* b) { return b->unit() == 4 ? 2 : 0; }

}  // namespace

uint32_t make(uint32_t count, uint32_t unit) {
  assert(unit == 1 || unit == 4);
  uint64_t bytes = uint64_t(count) * unit;
  uint32_t node = memory::alloc_bytes(bytes > 0xFFFFFFFF ? 0xFFFFFFFF : uint32_t(bytes));
  series_buffer* b = memory::buffer_of(node);
  b->flags = (b->flags & ~SERIES_UNIT_MASK) | unit;
  return node;
}

uint32_t length_q(uint32_t node) {
  series_buffer* b = memory::buffer_of(node);
  return b->used() >> shift_of(b);
}

void clear(uint32_t node) {
  series_buffer* b = memory::buffer_of(node);
  b->tail = b->head;
}

void set_tail(uint32_t node, uint32_t position) {
  series_buffer* b = memory::buffer_of(node);
  b->tail = b->head + ((position - 1) << shift_of(b));
}

uint32_t copy(uint32_t node) { return memory::copy_series(memory::buffer_of(node)); }

uint8_t* head(uint32_t node) { return memory::buffer_of(node)->head_ptr(); }

void append_byte(uint32_t node, uint8_t byte) { *series::make_room(memory::buffer_of(node), 1) = byte; }

uint8_t pick_byte(uint32_t node, uint32_t position) { return head(node)[position - 1]; }

uint8_t* append_bytes(uint32_t node, const void* source, uint32_t count) {
  // The source may lie in this very buffer, which make_room can move.
  series_buffer* b = memory::buffer_of(node);
  int64_t inside = -1;
  auto* s = static_cast<const uint8_t*>(source);
  if (s >= b->data() && s < b->end()) inside = s - b->data();
  uint8_t* p = series::make_room(b, count);
  if (inside >= 0) s = memory::buffer_of(node)->data() + inside;
  std::memmove(p, s, count);
  return p;
}

void append_int(uint32_t node, uint32_t value) {
  std::memcpy(series::make_room(memory::buffer_of(node), 4), &value, 4);
}

int32_t find_int(uint32_t node, uint32_t value) {
  series_buffer* b = memory::buffer_of(node);
  for (uint32_t at = 0; at + 4 <= b->used(); at += 4) {
    uint32_t v;
    std::memcpy(&v, b->head_ptr() + at, 4);
    if (v == value) return int32_t(at);
  }
  return -1;
}

uint32_t pick_int(uint32_t node, uint32_t position) {
  uint32_t v;
  std::memcpy(&v, head(node) + (position - 1) * 4, 4);
  return v;
}

void poke_int(uint32_t node, uint32_t position, uint32_t value) {
  std::memcpy(head(node) + (position - 1) * 4, &value, 4);
}

void insert_int(uint32_t node, uint32_t value, uint32_t index) {
  series_buffer* b = memory::buffer_of(node);
  if (uint64_t(b->tail) + 4 > arena::offset_of(b->end())) b = memory::expand_series(b, 0);
  uint8_t* at = b->head_ptr() + index * 4;
  std::memmove(at + 4, at, b->tail_ptr() - at);
  std::memcpy(at, &value, 4);
  b->tail += 4;
}

void remove_bytes(uint32_t node, uint32_t offset, uint32_t count) {
  series_buffer* b = memory::buffer_of(node);
  uint8_t* at = b->head_ptr() + offset;
  std::memmove(at, at + count, b->tail_ptr() - (at + count));
  b->tail -= count;
}

void remove_int(uint32_t node, uint32_t value) {
  int32_t at = find_int(node, value);
  if (at >= 0) remove_bytes(node, uint32_t(at), 4);
}

}  // namespace kez::array

namespace kez::refs {

namespace {

constexpr uint32_t START_CAPACITY = 100;

cell table = {TYPE_NONE, 0, 0, 0};  // the block value
uint32_t cap = 0;
int32_t free_head = -1;

void mark_table() { collector::mark_values(&table, &table + 1); }

void chain(uint32_t from) {
  series_buffer* b = memory::buffer_of(table.w2);
  cell* cells = reinterpret_cast<cell*>(b->data());
  for (uint32_t i = from; i < cap; ++i) cells[i] = cell{TYPE_INTEGER, 0, i + 1 < cap ? i + 1 : uint32_t(-1), 0};
  free_head = int32_t(from);
  b->tail = b->head + cap * sizeof(cell);
}

}  // namespace

void init() {
  if (table.header == TYPE_BLOCK) return;
  collector::add_marker(mark_table);
  uint32_t node = memory::alloc_cells(START_CAPACITY);
  table = cell{TYPE_BLOCK, 0, node, 0};
  cap = START_CAPACITY;
  chain(0);
}

void reset() {
  if (table.header != TYPE_BLOCK) return;
  collector::remove_marker(mark_table);
  table = cell{TYPE_NONE, 0, 0, 0};
  cap = 0;
  free_head = -1;
}

uint32_t store(const cell* value) {
  // The value may lie in the table, and loses no root while the table is made or grows.
  cell copy = *value;
  collector::root_cells hold(&copy);
  init();
  if (free_head == -1) {
    uint32_t old = cap;
    cap *= 2;
    memory::expand_series(memory::buffer_of(table.w2), int64_t(cap) * sizeof(cell));
    chain(old);
  }
  cell* slot = memory::buffer_of(table.w2)->head_cell() + free_head;
  int32_t index = free_head;
  free_head = int32_t(slot->w2);
  *slot = copy;
  return uint32_t(index) + 1;
}

cell* cell_at(uint32_t reference) { return memory::buffer_of(table.w2)->head_cell() + (reference - 1); }

void free(uint32_t reference) {
  if (!reference) return;
  *cell_at(reference) = cell{TYPE_INTEGER, 0, uint32_t(free_head), 0};
  free_head = int32_t(reference - 1);
}

uint32_t capacity() { return cap; }

}  // namespace kez::refs
