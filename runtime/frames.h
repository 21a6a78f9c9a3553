// Frame layouts shared by the memory manager, the collector and the memory
// statistics; no other module includes this header.
//
// Every region taken from the arena is an "OS block": a word holding its
// rounded size, then the region. All links are arena offsets (0 = none).
// Node frames hold exactly NODES_PER_FRAME nodes; series frames are kept in
// address order; big and fixed series each own their block.
#pragma once

#include <cstdint>

#include "runtime/memory.h"

// Under AddressSanitizer the free space of series frames and the data of
// abandoned buffers are poisoned, so a buffer address kept across an
// allocation faults at its first use instead of reading moved data.
#if defined(__SANITIZE_ADDRESS__)
#define KEZ_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KEZ_ASAN 1
#endif
#endif
#if defined(KEZ_ASAN)
#include <sanitizer/asan_interface.h>
#define KEZ_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#define KEZ_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION((p), (n))
#else
#define KEZ_POISON(p, n) ((void)(p), (void)(n))
#define KEZ_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

namespace kez::memory {

constexpr uint32_t NODES_PER_FRAME = 10000;
constexpr uint32_t FIRST_SERIES_FRAME = 1048576;
constexpr uint32_t MAX_SERIES_FRAME = 2097152;  // also the big-series threshold
constexpr uint32_t FRAME_REUSE_MIN = 52428;     // 0xCCCC: less room than this is not reused
constexpr uint32_t BUFFER_SLACK = 4;            // between buffers: an end pointer never meets the next buffer

struct node_frame {
  uint32_t next, prev;
  uint32_t capacity;
  uint32_t free;  // first free node, 0 when full
  uint32_t used;
  uint32_t cycle;
  uint32_t prev_used;
  uint32_t history;  // one bit per collection: 1 = used count unchanged
  uint32_t release;  // evacuated: skipped by allocation, released after the cycle
  uint32_t* nodes() { return reinterpret_cast<uint32_t*>(this + 1); }
  uint32_t first_node() { return arena::offset_of(nodes()); }
  bool holds(uint32_t node) { return node >= first_node() && node < first_node() + capacity * 4; }
};
static_assert(sizeof(node_frame) == 36);

struct series_frame {
  uint32_t next, prev;  // by address
  uint32_t total;       // block size, header included
  uint32_t heap;        // first free byte
  uint32_t end;         // just past the block
  uint32_t first() { return arena::offset_of(this + 1); }
};
static_assert(sizeof(series_frame) == 20);

// Precedes the buffer header of a big or fixed series.
struct block_series {
  uint32_t next;
  uint32_t size;  // buffer header + data + slack
  series_buffer* buffer() { return reinterpret_cast<series_buffer*>(this + 1); }
};

struct memory_record {
  uint64_t os_bytes;
  uint32_t node_head, node_tail, node_active;
  uint32_t series_head, series_active, series_tail;
  uint32_t first_series_size, next_series_size, max_series_size;
  uint32_t big_head, big_tail;
  uint32_t fixed_head;
};
extern memory_record record;

inline uint32_t buffer_span(const series_buffer* b) { return sizeof(series_buffer) + b->size + BUFFER_SLACK; }
inline series_buffer* next_buffer(series_buffer* b) {
  return reinterpret_cast<series_buffer*>(reinterpret_cast<uint8_t*>(b) + buffer_span(b));
}

template <class T>
inline T* frame_at(uint32_t offset) { return offset ? arena::at<T>(offset) : nullptr; }

void free_node(node_frame* frame, uint32_t node);
void release_node_frame(node_frame* frame);
node_frame* new_node_frame(uint32_t count);
// One frame in the pages that the frames of NODES_PER_FRAME holding `nodes`
// would take together (a collection that moves every node fills it).
node_frame* new_node_frame_for(uint64_t nodes);
void release_series_frame(series_frame* frame);
void sweep_big();           // dead big series: node queued, block returned
void update_node_frames();  // end of every collection

}  // namespace kez::memory
