// The table record and the bucket mechanics shared by the block-backed
// tables (hashtable.cpp) and the entry tables (entry_table.cpp); no other
// module includes this header.
//
// Invariants of a record, kept at every point where an allocation can run a
// collection (the marker and the purge read the record then):
// - every node word is 0 or a live node; new buffers are made first, held in
//   rooted locals, and swapped in together with the sizes that describe them;
// - capacity is a power of two >= 4 and the flag and index buffers hold at
//   least capacity buckets; used counts live plus deleted buckets and stays
//   below capacity, so every probe meets an empty or a deleted bucket.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/collector.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"

namespace kez::hashtable::detail {

struct record {
  int32_t count;      // live entries; a hash! chain counts once
  uint32_t cells;     // kind 0: cell-to-bucket array; kinds 3-4: entry size in bytes
  uint32_t chains;    // kind 0: chain store (slot k = chain k, 0 when cleared)
  uint32_t flags;     // 2 bits a bucket
  uint32_t index;     // one word a bucket (a map: two, see index_step)
  uint32_t block;     // kinds 0-2: the indexed block; kinds 3-4: the entry block
  uint32_t used;
  uint32_t capacity;
  uint32_t bound;
  uint32_t kind;
  uint32_t stamp;     // 0: nothing address-keyed indexed; else the epoch indexed at + 1
  uint32_t visited;   // collector cycle + 1 in which mark last walked the table
  uint32_t bias;      // kind 0: cell i is entry i + bias (in the index, the chains
                      // and the cell-to-bucket array), so a shift at the head
                      // of the block is a change of bias
};
static_assert(sizeof(record) == 52);
static_assert(offsetof(record, block) == RECORD_BLOCK_OFFSET);

enum bucket_state : uint32_t { LIVE = 0, DELETED = 1, EMPTY = 2 };
constexpr uint8_t ALL_EMPTY = 0xAA;
constexpr double LOAD = 0.77;

inline uint8_t fold_ascii(uint8_t c) { return c >= 'A' && c <= 'Z' ? uint8_t(c + 0x20) : c; }

inline record* rec(uint32_t table) { return reinterpret_cast<record*>(memory::buffer_of(table)->head_ptr()); }
template <class T = uint32_t>
inline T* words(uint32_t node) { return reinterpret_cast<T*>(memory::buffer_of(node)->head_ptr()); }

// A map's index buffer holds two words a bucket: the key's cell index and,
// in the same cache line, the key's hash, checked before the key is read.
// Other kinds hold the one word. For kinds 1-2, bucket b's cell index is
// word b * index_step.
inline uint32_t index_step(const record* r) { return r->kind == MAP ? 2 : 1; }

inline uint32_t state(const uint32_t* flags, uint32_t b) { return (flags[b >> 4] >> ((b & 15) * 2)) & 3; }
inline void set_state(uint32_t* flags, uint32_t b, uint32_t s) {
  uint32_t shift = (b & 15) * 2;
  flags[b >> 4] = (flags[b >> 4] & ~(3u << shift)) | (s << shift);
}

// Result of a probe for a key: the matching live bucket, else the bucket an
// insertion takes (the first deleted one met, else the empty one that ended
// the probe); -1 where there is none.
struct slot {
  int32_t match;
  int32_t free;
};

// Triangular probing from h: b, b+1, b+1+2, ... modulo the capacity, which
// visits every bucket once in `capacity` steps.
template <class Match>
slot locate(const uint32_t* flags, uint32_t capacity, uint32_t h, Match match) {
  uint32_t mask = capacity - 1, b = h & mask;
  int32_t deleted = -1;
  for (uint32_t step = 0; step < capacity;) {
    uint32_t s = state(flags, b);
    if (s == EMPTY) return {-1, deleted >= 0 ? deleted : int32_t(b)};
    if (s == DELETED) {
      if (deleted < 0) deleted = int32_t(b);
    } else if (match(b)) {
      return {int32_t(b), -1};
    }
    b = (b + ++step) & mask;
  }
  return {-1, deleted};
}

// The first empty bucket of h's probe sequence.
inline uint32_t first_empty(const uint32_t* flags, uint32_t capacity, uint32_t h) {
  uint32_t mask = capacity - 1, b = h & mask;
  for (uint32_t step = 0; state(flags, b) != EMPTY;) b = (b + ++step) & mask;
  return b;
}

// Re-places in place every live item of the old flags under the new flags,
// over storage that holds both capacities: an item whose new bucket still
// holds an item not yet carried swaps with it and carries that one on.
// Answers the items placed; the old flags are left all deleted.
template <class Item, class Hash>
uint32_t kick_out(uint32_t* old_flags, uint32_t old_capacity, uint32_t* new_flags, uint32_t capacity, Item* items,
                  Hash hash) {
  uint32_t placed = 0;
  for (uint32_t j = 0; j < old_capacity; ++j) {
    if (state(old_flags, j) != LIVE) continue;
    Item carried = items[j];
    set_state(old_flags, j, DELETED);
    for (;;) {
      uint32_t b = first_empty(new_flags, capacity, hash(carried));
      set_state(new_flags, b, LIVE);
      ++placed;
      if (b < old_capacity && state(old_flags, b) == LIVE) {
        Item displaced = items[b];
        items[b] = carried;
        carried = displaced;
        set_state(old_flags, b, DELETED);
        continue;
      }
      items[b] = carried;
      break;
    }
  }
  return placed;
}

// Capacity and bound of an in-place resize to n buckets.
inline uint32_t in_place_capacity(uint32_t n) {
  uint32_t c = hash::round_pow2(n);
  return c < 4 ? 4 : c;
}
inline uint32_t in_place_bound(uint32_t capacity) { return uint32_t(0.5 + LOAD * capacity); }

uint32_t new_flags(uint32_t capacity);  // every bucket empty
uint32_t new_index(uint32_t capacity);  // zeroed

// The stamp of a table indexed now. A collection changes the hash of an
// address-keyed value only when it moves nodes, so stamps follow the
// collector's count of node-moving cycles.
inline uint32_t epoch() { return collector::node_compaction_count() + 1; }

// Keeps a table alive for a scope, marked through hashtable::mark, with its
// node rewritten when a collection moves it. Roots nest as C++ locals do.
class root {
 public:
  explicit root(uint32_t table) : node_(table), prev_(top) { top = this; }
  ~root() { top = prev_; }
  root(const root&) = delete;
  root& operator=(const root&) = delete;
  uint32_t node() const { return node_; }
  record* rec() const { return detail::rec(node_); }
  static void mark_all();  // the module's collector marker

 private:
  static inline root* top = nullptr;
  uint32_t node_;
  root* prev_;
};

// No node moves while it lives: a table being re-indexed stays consistent
// with the nodes that its keys hold.
class nodes_pinned {
 public:
  nodes_pinned() : saved_(collector::node_compaction()) { collector::set_node_compaction(false); }
  ~nodes_pinned() { collector::set_node_compaction(saved_); }
  nodes_pinned(const nodes_pinned&) = delete;
  nodes_pinned& operator=(const nodes_pinned&) = delete;

 private:
  bool saved_;
};

// The hash of what a bucket of kinds 1-4 stores: the indexed cell (kinds
// 1-2) or the key of the entry at that byte offset (kinds 3-4).
uint32_t stored_hash(const record* r, uint32_t stored);
// Marks the entries of a kind 3-4 table: keys, and the value cells that the
// kind holds strongly.
void mark_entries(record* r);

}  // namespace kez::hashtable::detail
