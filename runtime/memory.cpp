#include "runtime/memory.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "runtime/collector.h"
#include "runtime/datatypes/error.h"
#include "runtime/frames.h"

namespace kez::memory {

uint32_t epoch = 0;

memory_record record = {0, 0, 0, 0, 0, 0, 0, FIRST_SERIES_FRAME, FIRST_SERIES_FRAME, MAX_SERIES_FRAME, 0, 0, 0};

namespace {

// Bytes of series buffers allocated since the last collection.
uint64_t allocated_since = 0;

series_buffer* alloc_buffer(uint32_t count, uint32_t unit, int32_t head_offset, bool collected);

constexpr uint64_t OS_BLOCK_HEADER = 4;
// No buffer may come near the 32-bit limit of an offset; anything larger
// than the arena could ever hold is refused before arithmetic can wrap.
constexpr uint64_t MAX_DATA = (uint64_t(1) << 32) - (uint64_t(1) << 20);

[[noreturn]] void no_memory() { error::fire(err::cat_internal, err::internal::no_memory); }

uint64_t round16(uint64_t n) { return (n + 15) & ~uint64_t(15); }

// A block of at least `asked` bytes; answers the offset just past its size word.
uint32_t os_allocate(uint64_t asked) {
  uint64_t rounded = (asked + OS_BLOCK_HEADER + 4095) & ~uint64_t(4095);
  uint32_t block = arena::take(rounded);
  if (!block) no_memory();
  KEZ_UNPOISON(arena::at(block), rounded);  // pages may be reused from a poisoned frame
  *arena::at<uint32_t>(block) = static_cast<uint32_t>(rounded);
  record.os_bytes += rounded;  // only once the block is really ours
  return block + OS_BLOCK_HEADER;
}

void os_free(uint32_t offset) {
  uint32_t block = offset - OS_BLOCK_HEADER;
  uint32_t rounded = *arena::at<uint32_t>(block);
  if (!arena::give(block, rounded)) error::fire(err::cat_internal, err::internal::wrong_mem);
  record.os_bytes -= rounded;
}

// Data size of a buffer of count units, rounded to 16 and checked.
uint32_t data_size(uint32_t count, uint32_t unit) {
  uint64_t size = round16(uint64_t(count) * unit);
  if (size > MAX_DATA) no_memory();
  return static_cast<uint32_t>(size);
}

series_frame* find_series_frame(uint32_t needed) {
  for (auto* f = frame_at<series_frame>(record.series_head); f; f = frame_at<series_frame>(f->next))
    if (uint64_t(f->heap) + needed < f->end) return f;
  return nullptr;
}

series_frame* new_series_frame() {
  uint32_t size = record.next_series_size;
  if (size < record.max_series_size) record.next_series_size = std::min(size * 2, record.max_series_size);
  uint32_t at = os_allocate(uint64_t(size) + sizeof(series_frame));
  auto* f = arena::at<series_frame>(at);
  f->total = size + sizeof(series_frame);
  f->heap = f->first();
  f->end = at + f->total;
  f->next = f->prev = 0;
  KEZ_POISON(arena::at(f->heap), f->end - f->heap);
  // Keep the list sorted by address: compaction moves buffers only downwards.
  if (!record.series_head) {
    record.series_head = record.series_tail = record.series_active = at;
    return f;
  }
  auto* cur = arena::at<series_frame>(record.series_head);
  if (at < record.series_head) {
    f->next = record.series_head;
    cur->prev = at;
    record.series_head = at;
    return f;
  }
  while (cur->next && arena::offset_of(cur) < at) cur = arena::at<series_frame>(cur->next);
  uint32_t cur_at = arena::offset_of(cur);
  if (!cur->next && cur_at < at) {
    cur->next = at;
    f->prev = cur_at;
    record.series_tail = at;
  } else {
    f->next = cur_at;
    f->prev = cur->prev;
    arena::at<series_frame>(cur->prev)->next = at;  // cur is not the head here
    cur->prev = at;
  }
  return f;
}

block_series* alloc_block_series(uint32_t needed, uint32_t& head, uint32_t& tail) {
  uint32_t at = os_allocate(uint64_t(needed) + sizeof(block_series));
  auto* bs = arena::at<block_series>(at);
  bs->next = 0;
  bs->size = needed;
  if (tail) arena::at<block_series>(tail)->next = at;
  else head = at;
  tail = at;
  return bs;
}

// Inline: every allocation runs it.
[[gnu::always_inline]] inline void init_header(series_buffer* b, uint32_t size, uint32_t unit, int32_t head_offset, uint32_t placement) {
  b->flags = unit | SERIES_IN_USE | SERIES_MADE | placement;
  b->node = 0;
  b->size = size;
  uint32_t data = arena::offset_of(b->data());
  if (head_offset == -1) {
    b->head = data + (size >> 1);
    b->flags |= SERIES_MID_HEAD;
  } else {
    assert(head_offset >= 0 && uint32_t(head_offset) <= size);
    b->head = data + head_offset;
  }
  b->tail = b->head;
}

void link(series_buffer* b, uint32_t node) {
  b->node = node;
  *arena::at<uint32_t>(node) = arena::offset_of(b);
}

// The flags that say where a buffer lives belong to the buffer, not to the
// series: they never travel with growth or copying.
constexpr uint32_t PLACEMENT = SERIES_BIG | SERIES_FIXED | SERIES_MARK;

// A big series grows by moving its pages into a larger block: nothing is
// copied, and the old and the new buffer are never resident together (a
// block of a million values grew through twice its size before). Null when
// the series is not big, starts past its data's start, or the system
// refuses: it then grows by copying.
series_buffer* grow_big(uint32_t node, int64_t new_size, uint32_t unit) {
  series_buffer* old = buffer_of(node);
  if (!(old->flags & SERIES_BIG) || old->head != arena::offset_of(old->data())) return nullptr;
  uint32_t size = data_size(static_cast<uint32_t>(new_size / unit), unit);
  uint32_t needed = size + sizeof(series_buffer) + BUFFER_SLACK;
  if (needed < record.max_series_size || size <= old->size) return nullptr;
  // No collection first (unlike a new big series): the pages move, so the
  // process holds no more than the series itself now uses, and a collection
  // here would mark a large live series at every doubling.
  uint32_t old_at = arena::offset_of(old) - sizeof(block_series);
  uint32_t old_block = old_at - OS_BLOCK_HEADER;
  uint32_t old_bytes = *arena::at<uint32_t>(old_block);
  uint32_t at = os_allocate(uint64_t(needed) + sizeof(block_series));
  uint32_t block = at - OS_BLOCK_HEADER;
  uint32_t bytes = *arena::at<uint32_t>(block);
  if (!arena::move(old_block, old_bytes, block)) {
    os_free(at);
    return nullptr;
  }
  record.os_bytes -= old_bytes;
  *arena::at<uint32_t>(block) = bytes;  // the size word came over with the pages
  auto* bs = arena::at<block_series>(at);
  bs->size = needed;
  // The new block takes the old one's place in the list (its link came over too).
  for (uint32_t* slot = &record.big_head; *slot; slot = &arena::at<block_series>(*slot)->next)
    if (*slot == old_at) {
      *slot = at;
      break;
    }
  if (record.big_tail == old_at) record.big_tail = at;
  series_buffer* nb = bs->buffer();
  uint32_t delta = at - old_at;  // modulo 2^32, as offsets are
  nb->size = size;
  nb->head += delta;
  nb->tail += delta;
  link(nb, node);
  ++epoch;
  return nb;
}

// Abandoned buffers at least this large give their whole pages back at once
// rather than holding them resident until compaction reuses their space.
constexpr uint32_t DISCARD_MIN = 64 * 1024;

// The frame a buffer ends the used part of (nothing allocated after it), if
// that frame is the active one: the only place where growth finds free room
// next to a buffer.
series_frame* active_frame_ending(series_buffer* b) {
  auto* f = frame_at<series_frame>(record.series_active);
  if (!f || arena::offset_of(next_buffer(b)) != f->heap) return nullptr;
  return f;
}

// Growth in place: a buffer that ends where its frame's free room starts
// takes the room it needs from there: nothing is copied and nothing is left
// behind. Null when it does not end there, the room is short, or the new size
// makes it a big series. The contract is that of a move: head at the data
// start (the used part slides down when it started further on).
series_buffer* grow_in_place(series_buffer* b, int64_t new_size, uint32_t unit, bool copy) {
  if (b->flags & (SERIES_BIG | SERIES_FIXED)) return nullptr;
  series_frame* f = active_frame_ending(b);
  if (!f) return nullptr;
  uint32_t size = data_size(static_cast<uint32_t>(new_size / unit), unit);
  uint32_t needed = size + sizeof(series_buffer) + BUFFER_SLACK;
  uint32_t at = arena::offset_of(b);
  if (size <= b->size || needed >= record.max_series_size || uint64_t(at) + needed >= f->end) return nullptr;
  KEZ_UNPOISON(arena::at(f->heap), at + needed - f->heap);
  allocated_since += at + needed - f->heap;
  f->heap = at + needed;
  uint32_t data = arena::offset_of(b->data());
  uint32_t used = std::min(b->used(), size);
  if (copy && b->head != data) std::memmove(b->data(), b->head_ptr(), b->end() - b->head_ptr());
  b->size = size;
  b->head = data;
  b->tail = data + used;
  ++epoch;  // not moved, but what was cached of it (its end) has changed
  return b;
}

// A buffer just left by its series: nothing refers to it any more. At the
// top of its frame its room is taken back at once; a large one gives its
// pages back either way (compaction would otherwise keep them resident).
void abandon(series_buffer* old, series_frame* top) {
  old->node = 0;
  old->flags &= ~SERIES_IN_USE;
  if (old->flags & (SERIES_BIG | SERIES_FIXED)) return;
  uint32_t at = arena::offset_of(old);
  if (old->size >= DISCARD_MIN) arena::discard(arena::offset_of(old->data()), old->size);
  if (top && arena::offset_of(next_buffer(old)) == top->heap) {
    top->heap = at;
    KEZ_POISON(old, top->end - at);
    return;
  }
  KEZ_POISON(old->data(), old->size);
}

series_buffer* grow(series_buffer* old, int64_t new_size, bool copy) {
  if (new_size == 0) new_size = old->size ? int64_t(old->size) * 2 : 16;
  if (new_size < 1 || uint64_t(new_size) > MAX_DATA) no_memory();
  uint32_t unit = old->unit();
  uint32_t node = old->node;
  assert(node);
  bool collected = collector::stress_q();
  if (collected) {
    // Growth is an allocation point even when it finds room in place: the
    // stress mode collects there all the same, once.
    collector::root_node keep(node);
    collector::auto_collect();
    old = buffer_of(node);
  }
  if (series_buffer* same = grow_in_place(old, new_size, unit, copy)) return same;
  if (copy)
    if (series_buffer* moved = grow_big(node, new_size, unit)) return moved;
  series_frame* top = active_frame_ending(old);
  uint32_t cycle = collector::cycle_count();
  series_buffer* nb;
  {
    // The allocation may collect: the series stays alive and is found again
    // through its node, which evacuation may itself have moved.
    collector::root_node keep(node);
    nb = alloc_buffer(static_cast<uint32_t>(new_size / unit), unit, 0, collected);
    old = buffer_of(node);
  }
  if (collector::cycle_count() != cycle) top = nullptr;  // compaction may have moved it
  uint32_t used = std::min(old->used(), nb->size);
  if (copy) {
    uint32_t n = std::min<uint32_t>(static_cast<uint32_t>(old->end() - old->head_ptr()), nb->size);
    std::memcpy(nb->data(), old->head_ptr(), n);
  }
  nb->flags = (old->flags & ~PLACEMENT) | (nb->flags & PLACEMENT);
  nb->tail = nb->head + used;
  link(nb, node);
  ++epoch;
  abandon(old, top);
  return nb;
}

// After a collection: a heap that is mostly live would be collected again
// after little allocation, each cycle marking all of it. Frames are added
// until the free room is at least a quarter of the room in use, so that the
// work of collecting stays in proportion to what is allocated, while the
// garbage a program leaves between two collections (all of it resident
// memory) stays a small part of the heap.
void keep_free_room() {
  uint64_t used = 0, room = 0;
  for (auto* f = frame_at<series_frame>(record.series_head); f; f = frame_at<series_frame>(f->next)) {
    used += f->heap - f->first();
    if (f->end - f->heap > FRAME_REUSE_MIN) room += f->end - f->heap;
  }
  while (room < used / 4) {
    series_frame* f = new_series_frame();
    room += f->end - f->heap;
  }
}

}  // namespace

void init() {
  if (record.node_head || record.series_head || record.big_head || record.fixed_head) return;  // already running
  record = memory_record{};
  allocated_since = 0;
  record.first_series_size = record.next_series_size = FIRST_SERIES_FRAME;
  record.max_series_size = MAX_SERIES_FRAME;
}

series_buffer* alloc_series_buffer(uint32_t count, uint32_t unit, int32_t head_offset) {
  return alloc_buffer(count, unit, head_offset, false);
}

namespace {

// collected: the caller has just run the stress mode's collection.
series_buffer* alloc_buffer(uint32_t count, uint32_t unit, int32_t head_offset, bool collected) {
  assert(unit == 1 || unit == 2 || unit == 4 || unit == 8 || unit == 16);
  uint32_t size = data_size(count, unit);
  uint32_t needed = size + sizeof(series_buffer) + BUFFER_SLACK;
  if (!collected && collector::stress_q()) {
    collector::auto_collect();
    collected = true;
  }
  series_buffer* b;
  uint32_t placement = 0;
  if (needed >= record.max_series_size) {
    // A big series collects first once a frame's worth has been allocated
    // since the last collection: garbage stays bounded without a cycle at
    // each of several big series made in a row.
    if (!collected && allocated_since >= record.max_series_size) collector::auto_collect();
    allocated_since += needed;
    b = alloc_block_series(needed, record.big_head, record.big_tail)->buffer();
    placement = SERIES_BIG;
  } else {
    auto* f = frame_at<series_frame>(record.series_active);
    if (!f || uint64_t(f->heap) + needed >= f->end) {
      // A frame with less room than FRAME_REUSE_MIN is not taken up again;
      // were it to count as room here, a heap of many nearly full frames
      // would grow by a new frame each time instead of collecting.
      uint32_t wanted = std::max(needed, FRAME_REUSE_MIN);
      f = find_series_frame(wanted);
      if (!f && !collected) {
        collector::auto_collect();
        keep_free_room();
        f = find_series_frame(wanted);
      }
      if (!f) {
        if (needed >= record.next_series_size) record.next_series_size = record.max_series_size;
        f = new_series_frame();
      }
      record.series_active = arena::offset_of(f);
    }
    b = arena::at<series_buffer>(f->heap);
    KEZ_UNPOISON(b, needed);
    f->heap += needed;
    allocated_since += needed;
  }
  init_header(b, size, unit, head_offset, placement);
  return b;
}

}  // namespace

uint32_t alloc_series(uint32_t count, uint32_t unit, int32_t head_offset) {
  series_buffer* b = alloc_series_buffer(count, unit, head_offset);
  uint32_t node = alloc_node();  // never collects: the fresh buffer is safe
  link(b, node);
  return node;
}

uint32_t alloc_fixed_series(uint32_t count, uint32_t unit, int32_t head_offset) {
  assert(unit == 1 || unit == 2 || unit == 4 || unit == 8 || unit == 16);
  uint32_t size = data_size(count, unit);
  if (collector::stress_q()) collector::auto_collect();
  uint32_t tail = 0;
  for (uint32_t f = record.fixed_head; f; f = arena::at<block_series>(f)->next) tail = f;
  block_series* bs = alloc_block_series(size + sizeof(series_buffer), record.fixed_head, tail);
  init_header(bs->buffer(), size, unit, head_offset, SERIES_FIXED);
  uint32_t node = alloc_node();
  link(bs->buffer(), node);
  return node;
}

uint32_t alloc_cells(uint32_t count) { return alloc_series(count, 16, 0); }

uint32_t alloc_unset_cells(uint32_t count) {
  uint32_t node = alloc_cells(count);
  series_buffer* b = buffer_of(node);
  auto* c = reinterpret_cast<cell*>(b->data());
  for (uint32_t i = 0; i < b->size / 16; ++i) c[i] = cell{TYPE_UNSET, 0, 0, 0};
  return node;
}

uint32_t alloc_bytes(uint32_t count) { return alloc_series(count ? count : 16, 1, 0); }

uint32_t alloc_codepoints(uint32_t count, uint32_t unit) {
  return alloc_series(count ? count : 16 / unit, unit, 0);
}

uint32_t alloc_bytes_filled(uint32_t count, uint8_t byte) {
  uint32_t node = alloc_bytes(count);
  series_buffer* b = buffer_of(node);
  fill(b->head_ptr(), b->head_ptr() + b->size, byte);
  return node;
}

series_buffer* expand_series_buffer(series_buffer* buffer, int64_t new_size) {
  return grow(buffer, new_size, false);
}

series_buffer* expand_series(series_buffer* buffer, int64_t new_size) {
  return grow(buffer, new_size, true);
}

series_buffer* expand_series_filled(series_buffer* buffer, int64_t new_size, uint8_t byte) {
  uint32_t old_size = buffer->size;
  series_buffer* nb = grow(buffer, new_size, true);
  // The fill stops at the new buffer's end even when the size asked for is
  // not a whole number of units.
  uint64_t asked = new_size ? uint64_t(new_size) : nb->size;
  fill(nb->head_ptr() + old_size, nb->head_ptr() + std::min<uint64_t>(asked, nb->size), byte);
  return nb;
}

uint32_t copy_series(series_buffer* buffer) {
  uint32_t node = buffer->node;
  assert(node);
  uint32_t copy;
  {
    collector::root_node keep(node);
    copy = alloc_bytes(buffer->size);
    buffer = buffer_of(node);
  }
  series_buffer* nb = buffer_of(copy);
  nb->flags = (buffer->flags & ~PLACEMENT) | (nb->flags & PLACEMENT);
  nb->tail = nb->head + buffer->used();
  if (buffer->size) std::memcpy(nb->data(), buffer->head_ptr(), buffer->end() - buffer->head_ptr());
  return copy;
}

void fill(uint8_t* start, uint8_t* end, uint8_t byte) {
  if (start < end) std::memset(start, byte, end - start);
}

namespace {
// Under collection stress every collection moves every node into a fresh
// frame and releases the old ones. Giving pages back and faulting fresh ones
// in at each allocation would cost more than the collection itself, so the
// last released frame's block is kept, inaccessible (a stale node still
// faults at once), and taken up again by the next frame that fits in it.
uint32_t spare_block = 0;  // offset just past the size word, or 0
uint32_t spare_bytes = 0;  // the block's page-rounded size

uint32_t block_size(uint32_t offset) { return *arena::at<uint32_t>(offset - OS_BLOCK_HEADER); }

// Under AddressSanitizer the spare is poisoned instead: a stale node then
// faults at its first use all the same, with the sanitizer's report, and
// the collection at every allocation does not pay two page-protection
// changes (and the faults of the pages touched again) each time.
bool close_block(uint32_t block, uint32_t bytes) {
#if defined(KEZ_ASAN)
  KEZ_POISON(arena::at(block), bytes);
  return true;
#else
  return arena::seal(block, bytes);
#endif
}

bool open_block(uint32_t block, uint32_t bytes) {
#if defined(KEZ_ASAN)
  KEZ_UNPOISON(arena::at(block), bytes);
  return true;
#else
  return arena::unseal(block, bytes);
#endif
}

void drop_spare() {
  if (!spare_block) return;
  uint32_t block = spare_block;
  spare_block = 0;
  record.os_bytes += spare_bytes;  // os_free takes it off again
  open_block(block - OS_BLOCK_HEADER, spare_bytes);  // os_free reads the size word
  os_free(block);
}

uint32_t node_frame_block(uint64_t bytes) {
  if (spare_block) {
    uint64_t rounded = (bytes + OS_BLOCK_HEADER + 4095) & ~uint64_t(4095);
    if (rounded <= spare_bytes && open_block(spare_block - OS_BLOCK_HEADER, spare_bytes)) {
      uint32_t at = spare_block;
      spare_block = 0;
      record.os_bytes += spare_bytes;
      KEZ_UNPOISON(arena::at(at), spare_bytes - OS_BLOCK_HEADER);
      return at;
    }
    drop_spare();
  }
  return os_allocate(bytes);
}

// The spare is taken up only by the frame that a collection moves every
// node into, so that between two collections a stale node always faults.
node_frame* make_node_frame(uint32_t count, bool spare_ok) {
  uint64_t bytes = sizeof(node_frame) + uint64_t(count) * 4;
  uint32_t at = spare_ok ? node_frame_block(bytes) : os_allocate(bytes);
  auto* f = arena::at<node_frame>(at);
  *f = node_frame{0, record.node_tail, count, 0, 0, collector::cycle_count(), 0, 0, 0};
  uint32_t* nodes = f->nodes();
  uint32_t first = f->first_node();
  for (uint32_t i = 0; i + 1 < count; ++i) nodes[i] = first + (i + 1) * 4;
  if (count) nodes[count - 1] = 0;
  f->free = count ? first : 0;
  if (record.node_tail) arena::at<node_frame>(record.node_tail)->next = at;
  else record.node_head = record.node_active = at;
  record.node_tail = at;
  return f;
}
}  // namespace

node_frame* new_node_frame(uint32_t count) { return make_node_frame(count, false); }

node_frame* new_node_frame_for(uint64_t nodes) {
  uint64_t frames = (nodes + NODES_PER_FRAME - 1) / NODES_PER_FRAME;
  uint64_t frame_block = (OS_BLOCK_HEADER + sizeof(node_frame) + uint64_t(NODES_PER_FRAME) * 4 + 4095) & ~uint64_t(4095);
  return make_node_frame(uint32_t((frames * frame_block - OS_BLOCK_HEADER - sizeof(node_frame)) / 4), true);
}

void release_node_frame(node_frame* f) {
  uint32_t at = arena::offset_of(f);
  (f->prev ? arena::at<node_frame>(f->prev)->next : record.node_head) = f->next;
  (f->next ? arena::at<node_frame>(f->next)->prev : record.node_tail) = f->prev;
  if (record.node_active == at) record.node_active = record.node_tail;
  if (collector::stress_q()) {
    uint32_t bytes = block_size(at);
    if (bytes > spare_bytes || !spare_block) {
      drop_spare();
      if (close_block(at - OS_BLOCK_HEADER, bytes)) {
        spare_block = at;
        spare_bytes = bytes;
        record.os_bytes -= bytes;  // not the heap's any more
        return;
      }
    }
  }
  os_free(at);
}

uint32_t alloc_node() {
  auto* f = frame_at<node_frame>(record.node_active);
  if (!f || !f->free || f->release) {
    f = nullptr;
    for (auto* g = frame_at<node_frame>(record.node_head); g; g = frame_at<node_frame>(g->next))
      if (g->free && !g->release) {
        f = g;
        break;
      }
    if (!f) f = new_node_frame(NODES_PER_FRAME);
    record.node_active = arena::offset_of(f);
  }
  uint32_t node = f->free;
  uint32_t* slot = arena::at<uint32_t>(node);
  f->free = *slot;
  *slot = 0;
  ++f->used;
  return node;
}

void free_node(node_frame* f, uint32_t node) {
  *arena::at<uint32_t>(node) = f->free;
  f->free = node;
  --f->used;
}

void update_node_frames() {
  allocated_since = 0;  // the end of every collection
  bool active_set = false;
  for (auto* f = frame_at<node_frame>(record.node_head); f;) {
    auto* next = frame_at<node_frame>(f->next);
    if (f->used == 0 || f->release) {
      release_node_frame(f);
    } else {
      if (!active_set && f->used < f->capacity) {
        record.node_active = arena::offset_of(f);
        active_set = true;
      }
      f->history = (f->history << 1) | (f->used == f->prev_used ? 1 : 0);
      f->prev_used = f->used;
    }
    f = next;
  }
  if (!active_set) record.node_active = record.node_tail;
}

void release_series_frame(series_frame* f) {
  uint32_t at = arena::offset_of(f);
  (f->prev ? arena::at<series_frame>(f->prev)->next : record.series_head) = f->next;
  (f->next ? arena::at<series_frame>(f->next)->prev : record.series_tail) = f->prev;
  if (record.series_active == at) record.series_active = record.series_tail;
  os_free(at);
}

void sweep_big() {
  uint32_t prev = 0;
  for (uint32_t at = record.big_head; at;) {
    auto* bs = arena::at<block_series>(at);
    uint32_t next = bs->next;
    series_buffer* b = bs->buffer();
    if (b->flags & SERIES_MARK) {
      b->flags &= ~SERIES_MARK;
      prev = at;
    } else {
      collector::queue_release(b->node);
      (prev ? arena::at<block_series>(prev)->next : record.big_head) = next;
      if (record.big_tail == at) record.big_tail = prev;
      os_free(at);
    }
    at = next;
  }
}

void free_all_frames() {
  ++epoch;
  while (record.node_head) release_node_frame(arena::at<node_frame>(record.node_head));
  drop_spare();
  while (record.series_head) release_series_frame(arena::at<series_frame>(record.series_head));
  for (uint32_t* list : {&record.big_head, &record.fixed_head})
    while (*list) {
      uint32_t next = arena::at<block_series>(*list)->next;
      os_free(*list);
      *list = next;
    }
  record.big_tail = 0;
  init();
}

uint64_t os_bytes() { return record.os_bytes; }

}  // namespace kez::memory

namespace kez::series {

void set_flags(uint32_t node, uint32_t bits) { buffer_of(node)->flags |= bits; }

uint8_t* make_room(series_buffer* b, uint32_t n) {
  if (uint64_t(b->tail) + n > arena::offset_of(b->end()))
    b = memory::expand_series(b, n > b->size ? int64_t(b->size) + 2 * int64_t(n) : 0);
  uint8_t* p = b->tail_ptr();
  b->tail += n;
  return p;
}

}  // namespace kez::series
