// hash!: a block whose values are indexed by a hash table (type id 36, a
// child of block!), so that find and select need no scan.
//
// Cell: a block! cell (head index, series node) whose word 3 holds the
// table, of the hash kind, over the whole buffer. The block module keeps the
// index in step on insertion and removal; sort and trim rebuild it here.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez::hash_ {

// target := an empty hash! with room for `capacity` values (at least 1).
cell* make_at(cell* target, int32_t capacity);
// Turns a block cell (a fresh copy the caller owns) into an indexed hash!.
cell* index_block(cell* block);

void init();  // after block!

}  // namespace kez::hash_
