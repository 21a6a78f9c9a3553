// Hashing and the one open-addressing hash table behind every keyed lookup
// of the runtime: the symbol table, context word lists, the index of a hash!,
// the keys of a map!, and the tables keyed by 32-bit values (entry_table.h).
//
// A table is a small record series referred to by its node; it never owns
// what it indexes. Kinds 0-2 index the cells of a block that belongs to the
// indexed value, by cell index from the start of the block's buffer:
//   0  hash! index: equal cells share a bucket through a duplicate chain;
//   1  map! keys: keys at even cells, each value in the cell after its key;
//   2  symbol table and context word lists: one bucket a distinct key.
// Kinds 3-4 keep entries in a block of their own (entry_table.h).
//
// Invariants:
// - Hashes are reproducible: one fixed seed, no addresses of the process.
//   Text hashes by upper-cased code point, so texts that differ only in case
//   (or only in unit width) hash alike; the compare at lookup tells them
//   apart when asked to.
// - Any operation that may allocate can move every buffer (and, in a
//   collection that compacts node frames, every node). Operations root the
//   table themselves; cell addresses they answer are valid only until the
//   next allocation. Cell arguments are read before anything is allocated.
// - A table indexing address-keyed values (blocks, objects ...) carries a
//   stamp; after a collection that moved nodes the next lookup re-indexes it
//   first. Nothing is re-indexed during a collection.
// - The collector reaches tables through hashtable::mark, installed by init,
//   which also registers the tables that operations in progress hold.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kez::hash {

// MurmurHash3_x86_32 of n bytes with the process-wide seed.
uint32_t bytes(const void* data, size_t n);
// The MurmurHash3 finaliser alone, for ids and nodes.
uint32_t int32(uint32_t v);
// An any-string value from its head to its tail, by code point (upper-cased
// unless case_sensitive), as if stored in 4-byte units.
uint32_t string(const cell* value, bool case_sensitive);
// bytes() of a UTF-8 name with A-Z folded to a-z (and nothing else folded).
uint32_t symbol_name(const uint8_t* name, size_t n);
// The hash of any value, chosen by its type.
uint32_t value(const cell* value, bool case_sensitive);
// Types whose hash depends on a node, which a collection may move.
bool address_keyed_q(uint32_t type);
// The next power of two at or above n; 0 for 0.
uint32_t round_pow2(uint32_t n);

}  // namespace kez::hash

namespace kez::hashtable {

enum kind : uint32_t { HASH = 0, MAP = 1, WORDS = 2, ENTRIES = 3, OWNERS = 4 };

// Hook points into the datatypes, which exist above this module: compare
// starts out as actions::compare, the typed compare (it must not allocate);
// the symbol module sets resolve, the money and map modules theirs.
struct hooks {
  bool (*compare)(const cell* value1, const cell* value2, int op) = nullptr;
  uint32_t (*resolve)(uint32_t symbol) = nullptr;  // canonical symbol id; none: the id itself
  void (*map_key)(cell* key) = nullptr;            // checks and normalises a new map key
  uint32_t money_sign_flag = 0;                    // the money! header bit kept when hashing
};
extern hooks hook;

// Module start-up: installs the collector's table marker. Runs before the
// first table is made.
void init();

// A new table for `size` entries. block: the cell of the block to index
// (kinds 0-2), or null for a new empty block. values: the value cells of an
// entry for kinds 3-4; for kind 2, 2 together with a context cell as block
// asks for a copy of that context's table; 1 otherwise.
uint32_t init(uint32_t size, const cell* block, uint32_t kind, uint32_t values);
// A copy of a block-backed table pointing at another block (0: a copy of
// its block); shares no buffer with the original.
uint32_t copy(uint32_t table, uint32_t block_node);
// No entries, every bucket empty, the indexed block emptied.
void clear(uint32_t table);
// Tables are reclaimed by the collector; callers that are done with a
// temporary table say so here.
inline void destroy(uint32_t) {}

struct shape {
  int32_t count;
  uint32_t used, capacity, bound, kind, stamp;
  uint32_t block;  // node of the indexed or entry block
};
shape shape_of(uint32_t table);
// The node of the indexed (or entry) block, read in place: a context's word
// list is reached through it on every set of an object's word.
constexpr uint32_t RECORD_BLOCK_OFFSET = 20;
inline uint32_t block_of(uint32_t table) {
  return *reinterpret_cast<const uint32_t*>(memory::buffer_of(table)->head_ptr() + RECORD_BLOCK_OFFSET);
}
int32_t count(uint32_t table);

// Enters the block's cells from cell `start` with `step`. For a map, a key
// met again takes the later value and the later pair leaves the block.
void index_block(uint32_t table, uint32_t start, uint32_t step);

// Enters a cell that already lies in the indexed block (a hash! cell whose
// content changed leaves its old bucket). status 2: the table was rebuilt
// from its whole block, this cell included, so a caller entering a run of
// cells stops there. Answers the cell's address now.
cell* insert_cell(uint32_t table, const cell* value, int& status);
void put(uint32_t table, const cell* value);
// put of a kind 1-2 key known to match no key of the table under a strict
// compare (a lookup just failed), with its hash: neither is done again.
void put_new(uint32_t table, const cell* value, uint32_t hash);

// The indexed cell matching key under compare op, or null.
// Kinds 1-2: the first entry of the key's type that compares true.
// Kind 0: among the cells equal to key that compare true under op and whose
// distance from head is a multiple of skip, the first at or after head
// (forward) or the last before head (reverse, or last); head and the answer
// are cell indexes from the buffer start.
cell* get(uint32_t table, const cell* key, int32_t head, int32_t skip, int op, bool reverse, bool last);
// get of a kind 1-2 table with the key's hash::value(key, false) given.
cell* get_keyed(uint32_t table, const cell* key, int op, uint32_t hash);

// A resumable walk over the entries equal to a key (op 0) of the key's type.
struct walk {
  int32_t bucket = -1;  // -1 before the first call
  uint32_t step = 0;
};
cell* find_next(uint32_t table, const cell* key, walk& state);

// Removing cells. Kind 0: the cell leaves its bucket (a chain that keeps
// members keeps the bucket). Kinds 1-2: the value cell after the given cell
// gets header 0 and the key stays indexed.
void delete_cell(uint32_t table, const cell* value);
// Kind 1: a removed entry is set again; it counts as live once more.
void revive(uint32_t table);
void delete_range(uint32_t table, uint32_t start, uint32_t n);

// Kind 0, after cells moved in the block. shift_indexes: the n cells from
// start moved by delta (with move: the cell-to-bucket words move too, and for
// delta < 0 the cells overwritten are removed first); answers 1, doing
// nothing, for more than 30000 cells (the caller rebuilds). move_range: the n
// cells from start moved as a block move does: forward, they land after the
// target cell (the cells after the run up to it move down); backward, they
// land at the target (the cells from it up to the run move up).
int shift_indexes(uint32_t table, int32_t delta, uint32_t start, uint32_t n, bool move);
void move_range(uint32_t table, uint32_t target, uint32_t start, uint32_t n);

// Re-indexing. rebuild (kind 0): new buckets sized for n cells, the whole
// block entered again. refresh: rebuild (kind 0) or rebuild_entries (kinds
// 3-4) with node moves suspended. resize (kinds 1-4): in place to n buckets.
// rehash_entries (kinds 1-4): every entry placed again at the same capacity.
// check_stamp: re-indexes when nodes moved since the table was indexed.
void rebuild(uint32_t table, uint32_t n);
void refresh(uint32_t table, uint32_t n);
void resize(uint32_t table, uint32_t n);
void rehash_entries(uint32_t table);
void check_stamp(uint32_t table);

// Context word lists (kind 2): the index of a symbol's word, -1 when absent.
// With context_node, an absent symbol is added as a new word cell bound to
// that context (index receives its index, and -1 is still answered).
int32_t find_symbol(uint32_t table, uint32_t symbol, bool resolve, uint32_t context_node, int32_t& index);

// For the collector: marks the table at *slot, every buffer it holds and
// what it indexes (weak parts of kind 4 excepted, see entry_table.h).
void mark(uint32_t* slot);

}  // namespace kez::hashtable

namespace kez::symbol {

// Interns a UTF-8 name in the symbol table (a kind 2 table over the symbol
// block) and answers its symbol id, the 1-based cell index of its symbol.
// A spelling that differs from an interned one only in ASCII case becomes a
// new symbol whose alias is the canonical id; with any_case the existing
// symbol is answered instead. name may lie in a movable buffer.
uint32_t table_get(uint32_t table, const uint8_t* name, uint32_t length, bool any_case);

}  // namespace kez::symbol
