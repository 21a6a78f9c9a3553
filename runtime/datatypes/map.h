// map!: an associative array (type id 40, no parent). Keys and values
// alternate in a block; a hash table of the map kind indexes the keys.
//
// Cell: word 1 the block's head index (0); word 2 the block's node; word 3
// the hash table.
//
// Invariants:
// - Keys sit at even cells, each value in the cell after its key. Word keys
//   are stored as set-word!; string-like and binary! keys are private copies,
//   so changing the source later never moves a key.
// - A removed entry keeps its key (still indexed) and its value cell's header
//   becomes 0; setting the key again revives it. The table's count is the
//   number of live entries, which is the map's length.
// - Lookups go through the table, which re-indexes itself after a collection
//   moved nodes, so they hold across collections.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez::map {

// target := a map over a copy of `block`'s values from its head (null: an
// empty map with room for `size` cells). The block must hold valid keys.
cell* make_at(cell* target, const cell* block, int32_t size);
cell* push(const cell* map);
int32_t ks_length_q(const cell* map);
bool valid_key_q(uint32_t type);
// Normalises a key cell in place: word keys become set-word!, string-like
// and binary keys are replaced by copies; an invalid key raises Script Error
// invalid-path with the path and the key's datatype.
void preprocess_key(cell* key, const cell* path);
// Sets a key to a value (set-path, put): an absent key is added, a removed
// one revived. Answers the value cell (valid until the next allocation).
cell* set_key(cell* map, const cell* key, const cell* value, bool case_);
// The value cell of a live entry of key, or null.
cell* get_value(const cell* map, const cell* key, bool case_, bool same);
// Adds or updates the pairs of a block (odd length: Script Error invalid-arg).
void extend(cell* map, const cell* block, bool case_);
// One step of foreach: the words of the block (word!, set-word!, get-word!
// or lit-word!, else Script Error invalid-arg) take the next keys and values
// from cell `position` on, removed entries skipped, word keys as word!;
// words left over when the map runs out are set to none. Answers whether
// any word took an entry's cell.
bool foreach_step(const cell* map, const cell* words, int32_t& position);

void init();  // after block!

}  // namespace kez::map
