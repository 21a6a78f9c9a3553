// Tables keyed by 32-bit values: entry tables in the collected heap and
// integer maps in tracked memory.
//
// Entry tables are hash tables of kind 3 or 4 (made by hashtable::init with
// no block) whose keys are nodes and whose entries live in a cell block of
// their own: one cell {2 when live / 0 when deleted, key} followed by the
// entry's value cells. Invariants:
// - an entry stays at its place in the block until the table is rebuilt; a
//   deleted entry's place is taken again by the next key that lands in its
//   bucket;
// - the collector marks every live key (and a key's cells when it names a
//   block), and the value cells: all of them for kind 3, the first only for
//   kind 4, whose second value cell names an owner object that the table
//   must not keep alive. purge_dead, run after marking, drops the entries
//   whose key or (kind 4) owner was not reached, and brings the node words
//   of the surviving weak cells up to date;
// - a collection that moves nodes rewrites the keys in place; the table then
//   re-indexes itself on its next operation.
//
// Integer maps (intmap) map 32-bit keys to 32-bit values with no collector
// involvement.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez::hashtable {

// The entry's first value cell, the key added when missing. Every cell of
// the entry reads unset! afterwards, for the caller to fill.
cell* put_pointer(uint32_t table, uint32_t key);
// The entry's first value cell, or null.
cell* get_pointer(uint32_t table, uint32_t key);
// Removes the key; answers its entry's first value cell, or null when absent.
cell* delete_pointer(uint32_t table, uint32_t key);
// n buckets, a compacted entry block, deleted entries dropped.
void rebuild_entries(uint32_t table, uint32_t n);
// For the collector, after marking and before sweeping.
void purge_dead(uint32_t table);

}  // namespace kez::hashtable

namespace kez::intmap {

struct map {
  uint32_t count;     // live keys
  uint32_t* flags;    // 2 bits a slot: 2 empty, 1 deleted, 0 live
  uint32_t* slots;    // key, value
  uint32_t used;      // live plus deleted
  uint32_t capacity;  // a power of two
  uint32_t bound;     // growth point
};

// A map with room for n keys (at least 4). Allocation failure ends the
// process, as for every tracked allocation.
map* make(uint32_t n);
void free(map* m);
void clear(map* m);
// 0 when the key was added, 1 when it was there (its value is replaced).
int put(map* m, uint32_t key, uint32_t value);
// The address of the key's value, or null.
uint32_t* get(map* m, uint32_t key);
// The slot number of the key, or -1.
int32_t find(const map* m, uint32_t key);
void delete_(map* m, uint32_t key);
uint32_t count(const map* m);
// The next live slot (key, then value) after the given one, from the first
// when slot is null; null at the end. Slots come in slot order.
uint32_t* next(map* m, uint32_t* slot);
// In place to n slots (a power of two, at least 4); nothing when the keys
// would not fit under the new bound.
void resize(map* m, uint32_t n);

}  // namespace kez::intmap
