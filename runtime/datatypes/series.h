// series!: the abstract parent of every series type. It holds the actions
// that depend only on a series cell and its buffer's unit, which block!,
// string! and the other series types inherit.
//
// Series cell: word 1 the head index in elements (signed; it may lie past the
// tail after another value sharing the buffer removed elements, and is then
// repaired lazily by length?, take and reverse); word 2 the series node; word
// 3 belongs to the concrete type.
//
// Invariants:
// - Every index is in elements; bytes are elements shifted by log2(unit).
// - at, skip, next and back never leave 0 .. absolute length.
// - Each in-place change is reported to the ownership layer before and after.
// - The series cells passed in are where the collector sees them; handlers
//   read buffers again through nodes after anything that allocates.
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kez::series {

inline bool block_family_q(uint32_t t) {
  return t == TYPE_BLOCK || t == TYPE_PAREN || t == TYPE_HASH || (t >= TYPE_PATH && t <= TYPE_GET_PATH);
}
inline bool string_family_q(uint32_t t) {
  return (t >= TYPE_STRING && t <= TYPE_URL) || t == TYPE_TAG || t == TYPE_EMAIL || t == TYPE_REF;
}
// Every type with a series buffer behind word 2.
inline bool series_value_q(uint32_t t) {
  return block_family_q(t) || string_family_q(t) || t == TYPE_BINARY || t == TYPE_VECTOR || t == TYPE_IMAGE;
}

inline series_buffer* buffer_of(const cell* s) { return memory::buffer_of(s->w2); }
// Moves a series cell to its head. The index is stored only when it changes:
// the cell is often read back whole at once right after (an action's
// result), and a narrower store just before that read stalls it.
inline void to_head(cell* s) {
  if (s->w1) s->w1 = 0;
}
// log2 of the unit (taken as 1 when 0): 1 -> 0, 2 -> 1, 4 -> 2, 16 -> 4.
inline uint32_t shift_of(const series_buffer* b) { return 31 - uint32_t(__builtin_clz(b->unit() | 1)); }

bool ks_tail_q(const cell* s);          // head at or past the tail
// Elements in the whole buffer; inline, as the parse engine asks for its
// input's and its rule's tails at every step.
inline int32_t ks_abs_length_q(const cell* s) {
  const series_buffer* b = buffer_of(s);
  return int32_t(b->used() >> shift_of(b));
}
bool ks_skip(cell* s, int32_t n);        // moves unless that passes the tail; answers tail?
// Elements from index 0 (from_start) or from the head (a negative head counts
// as 0); a head past the tail is set to the tail and 0 is answered.
int32_t get_length(cell* s, bool from_start);
// The count that a /part argument stands for: an integer!, or a position in
// the same series (its head minus the series' head). Anything else raises
// Script Error invalid-refine-arg.
int32_t part_count(const cell* s, const cell* part);
[[noreturn]] void bad_refine_arg(const cell* value);
// The same naming the refinement: an index of words::refinements (part,
// skip, compare ...).
[[noreturn]] void bad_refine_arg(uint32_t refinement, const cell* value);

// hash! keeps an index of its cells in word 3. reindex rebuilds it over the
// whole buffer (after cells moved); index_cells enters `count` cells from
// absolute index `from` (after they were added). Other types: nothing.
// The records a sort walks as raw bytes of a series' buffer. User code (a
// comparator function) may append to the series, which replaces the buffer
// rather than moving it: `follow` points *base at the records again after
// each such call, and raises Script Error past-end when the buffer no longer
// holds them at the same unit (the series was cut short or widened).
struct sorted_records {
  const cell* series;  // a rooted cell whose address stays put
  uint32_t unit;
  uint64_t offset, span;  // bytes from the buffer's data start
  uint8_t** base;
  void follow() const;
};

void reindex(const cell* s);
// A hash!'s index kept up with an edit instead of rebuilt (no-ops for
// anything else). unindex_removed: before cells [at, at + count) leave a
// block of len cells, the rest moving down; false when the index must be
// rebuilt once they have. index_inserted: after count cells were inserted
// at `at`, the rest moved up.
bool unindex_removed(const cell* s, int32_t at, int32_t count, int32_t len);
void index_inserted(const cell* s, int32_t at, int32_t count);
void index_cells(const cell* s, int32_t from, int32_t count);
inline bool indexed_q(const cell* s) { return type_of(s) == TYPE_HASH && s->w3; }

void init();  // registers series! (type 42), before any series type

cell* at(cell* s, const cell* index);
cell* skip(cell* s, const cell* offset);
cell* head(cell* s);
cell* tail(cell* s);
cell* head_q(cell* s);
cell* tail_q(cell* s);
cell* index_q(cell* s);
int32_t length_q(cell* s);
cell* next(cell* s);
cell* back(cell* s);
cell* pick(cell* s, int32_t index, const cell* boxed_index);
cell* poke(cell* s, int32_t index, const cell* boxed_index, const cell* value, bool notify);
// /seed seeds the generator from the bytes of the series (answering unset!);
// /only answers one element picked at random; else shuffles in place.
cell* random(cell* s, bool seed, bool secure, bool only);
// reflect and modify know one field, `owned`: the owner object recorded for
// the series (or none); modify with none! drops the ownership, with a block
// [object word] sets it.
cell* reflect(cell* s, uint32_t field_symbol);
cell* modify(cell* s, const cell* field, const cell* value, bool case_);
cell* clear(cell* s);
cell* remove(cell* s, const cell* part, const cell* key);
cell* reverse(cell* s, const cell* part, const cell* skip);
cell* take(cell* s, const cell* part, bool deep, bool last);
cell* move(cell* origin, cell* target, const cell* part);
cell* copy(cell* value, cell* result, const cell* part, bool deep, const cell* types);

}  // namespace kez::series
