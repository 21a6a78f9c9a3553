#include "runtime/stats.h"

#include <cstring>

#include "runtime/collector.h"
#include "runtime/frames.h"
#include "runtime/mem.h"

namespace kez::memory {

namespace {

// The tracked allocator's per-block header (runtime/mem.cpp): four words of
// 8 bytes, so that callers keep 16-byte alignment.
constexpr uint64_t TRACKED_HEADER = 32;
constexpr uint32_t ROOM = 8;  // every new block has room for 8 values
constexpr uint32_t NEW_LINE = FLAG_NEW_LINE;

void append(uint32_t block, const cell& value) {
  std::memcpy(series::make_room(buffer_of(block), sizeof(cell)), &value, sizeof(cell));
}

cell integer(int64_t n, uint32_t flags = 0) { return cell{TYPE_INTEGER | flags, 0, uint32_t(int32_t(n)), 0}; }

cell number(uint64_t n) {
  if (n <= 2147483647) return integer(int64_t(n));
  cell c{TYPE_FLOAT, 0, 0, 0};
  store_double(&c.w2, double(n));
  return c;
}

uint32_t new_block(uint32_t parent) {
  uint32_t block = alloc_cells(ROOM);
  append(parent, cell{TYPE_BLOCK | NEW_LINE, 0, block, 0});
  return block;
}

void triple(uint32_t parent, int64_t free, int64_t used, int64_t total) {
  uint32_t b = new_block(parent);
  append(b, integer(free));
  append(b, integer(used));
  append(b, integer(total));
}

uint64_t bytes_in_use() {
  uint64_t n = 0;
  for (auto* f = frame_at<node_frame>(record.node_head); f; f = frame_at<node_frame>(f->next)) n += uint64_t(f->used) * 4;
  for (auto* f = frame_at<series_frame>(record.series_head); f; f = frame_at<series_frame>(f->next))
    n += f->heap - f->first();
  for (uint32_t b = record.big_head; b; b = arena::at<block_series>(b)->next) n += arena::at<block_series>(b)->size;
  return n;
}

void detail(uint32_t block) {
  uint32_t nodes = new_block(block);
  for (auto* f = frame_at<node_frame>(record.node_head); f; f = frame_at<node_frame>(f->next))
    triple(nodes, f->capacity - f->used, f->used, f->capacity);
  // Frames made while building the report are listed too: they are read as
  // the walk reaches them.
  uint32_t series = new_block(block);
  for (auto* f = frame_at<series_frame>(record.series_head); f; f = frame_at<series_frame>(f->next))
    triple(series, f->end - f->heap, f->heap - f->first(), f->end - f->first());
  uint32_t bigs = new_block(block);
  for (uint32_t b = record.big_head; b; b = arena::at<block_series>(b)->next)
    append(bigs, integer(arena::at<block_series>(b)->size, NEW_LINE));
  uint64_t heap = mem::asked_total() + mem::count() * TRACKED_HEADER;
  append(block, number(os_bytes() + heap));
  append(block, number(heap));
}

}  // namespace

double stats(uint32_t block, int mode) {
  bool was_enabled = collector::enabled();
  collector::set_enabled(false);
  double result = 0.0;
  try {
    if (mode == 1) result = double(bytes_in_use());
    else detail(block);
  } catch (...) {
    collector::set_enabled(was_enabled);
    throw;
  }
  collector::set_enabled(was_enabled);
  return result;
}

}  // namespace kez::memory
