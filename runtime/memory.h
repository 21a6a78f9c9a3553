// Memory manager: nodes and series buffers in the heap arena.
//
// A series value never holds its buffer's address. It holds a node: a 32-bit
// word in a node frame whose content is the arena offset of the buffer. The
// buffer may move (growth, compaction by the collector) and only the node is
// updated, so:
//   - any allocation may run a collection that moves buffers and, when node
//     frames are evacuated, nodes; native code keeps nodes in rooted slots
//     (collector.h) and reads buffer addresses again after allocating;
//   - growth answers the buffer: the same one when the free room of its frame
//     follows it (it grows in place), else a new one, and the old one is
//     abandoned (node 0, in use bit clear): its room is free again at once at
//     the top of its frame, else when compaction reclaims it;
//   - fixed series never move and are never freed by the collector.
// The memory manager never frees a single buffer: the collector does.
// Sizes are bytes, counts are units; every size computation is checked and an
// impossible size raises internal error no-memory rather than wrapping.
#pragma once

#include <cstdint>

#include "runtime/arena.h"
#include "runtime/cell.h"

namespace kez {

// Series buffer flags; bits 0-4 hold the unit (1, 2, 4, 8 or 16 bytes; 8 only
// for vector! elements of 64 bits).
enum series_flag : uint32_t {
  SERIES_UNIT_MASK = 0x1F,
  SERIES_IN_USE = 0x80000000,
  SERIES_MADE = 0x20000000,      // set on every buffer; read by nobody
  SERIES_MID_HEAD = 0x10000000,  // head placed mid-buffer at creation
  SERIES_MARK = 0x08000000,      // collector mark
  SERIES_BIG = 0x01000000,       // lives in its own block
  SERIES_FIXED = 0x00100000,     // never moves, never freed by the collector
  SERIES_OWNED = 0x00020000,     // owned by a reactive object
  SERIES_LIBRARY = 0x00040000,   // a block of a library function's body: runs as compiled code
};

// The 20-byte header that starts every series buffer; data follows it.
// node, head and tail are arena offsets; [head, tail) is the used part and
// lies within [data, data + size). size is a multiple of 16.
struct series_buffer {
  uint32_t flags;
  uint32_t node;
  uint32_t size;
  uint32_t head;
  uint32_t tail;

  uint8_t* data() { return reinterpret_cast<uint8_t*>(this + 1); }
  uint8_t* end() { return data() + size; }
  uint8_t* head_ptr() { return arena::at(head); }
  uint8_t* tail_ptr() { return arena::at(tail); }
  cell* head_cell() { return arena::at<cell>(head); }
  cell* tail_cell() { return arena::at<cell>(tail); }
  uint32_t unit() const { return flags & SERIES_UNIT_MASK; }
  uint32_t used() const { return tail - head; }  // bytes
};
static_assert(sizeof(series_buffer) == 20);

namespace memory {

// Bumped whenever a buffer may have moved (growth, a collection, a heap
// reset): an address cached with the value it had stays good while it holds.
extern uint32_t epoch;

// The buffer a node currently names.
inline series_buffer* buffer_of(uint32_t node) {
  return arena::at<series_buffer>(*arena::at<uint32_t>(node));
}

void init();

// head_offset: bytes from the data start, or -1 to start mid-buffer.
uint32_t alloc_series(uint32_t count, uint32_t unit, int32_t head_offset);
series_buffer* alloc_series_buffer(uint32_t count, uint32_t unit, int32_t head_offset);
uint32_t alloc_fixed_series(uint32_t count, uint32_t unit, int32_t head_offset);
uint32_t alloc_cells(uint32_t count);
uint32_t alloc_unset_cells(uint32_t count);  // whole capacity unset!, series empty
uint32_t alloc_bytes(uint32_t count);        // count 0 gives 16 bytes
uint32_t alloc_codepoints(uint32_t count, uint32_t unit);
uint32_t alloc_bytes_filled(uint32_t count, uint8_t byte);

// Growth: new_size 0 doubles (an empty buffer gets 16 bytes); below 0 raises
// no-memory. The series grows in place or moves to a new buffer (which may be
// big); either way its head is then at the data start, the tail at the same
// distance (capped at the new size), and the buffer is answered. The series
// is kept alive across the allocation.
series_buffer* expand_series_buffer(series_buffer* buffer, int64_t new_size);
// As above, copying the old data from its head to the end of its data area,
// never more than the new buffer holds.
series_buffer* expand_series(series_buffer* buffer, int64_t new_size);
series_buffer* expand_series_filled(series_buffer* buffer, int64_t new_size, uint8_t byte);
// A new series with the buffer's size, flags, used length and content.
uint32_t copy_series(series_buffer* buffer);
void fill(uint8_t* start, uint8_t* end, uint8_t byte);

// A node holds 0 until linked; take it after the buffer, since a buffer
// allocation may collect and an unlinked node does not survive evacuation.
uint32_t alloc_node();
void free_all_frames();  // shutdown: every frame, big and fixed series

uint64_t os_bytes();  // bytes of frames and big/fixed series held from the system

}  // namespace memory

namespace series {

inline series_buffer* buffer_of(uint32_t node) { return memory::buffer_of(node); }
void set_flags(uint32_t node, uint32_t bits);
// Reserves n bytes at the tail and answers their address; the buffer may move
// first (read it again through its node).
uint8_t* make_room(series_buffer* buffer, uint32_t n);

}  // namespace series

}  // namespace kez
