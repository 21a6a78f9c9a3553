// block!: the array of value cells on which code and data are built. paren!,
// the path types and hash! share its layout and reach its code through
// inheritance.
//
// Cell: header type id 5 (or another block-shaped id); word 1 the head index
// in cells (it may lie past the tail after a removal through another value;
// every accessor that answers a cell address clamps it first); word 2 the
// node of a buffer of unit 16; word 3 unused (hash! keeps its index there).
//
// Invariants:
// - Element cells may carry FLAG_NEW_LINE: mold starts a line before them.
// - Cell addresses answered here are valid only until the next allocation;
//   the block cells passed in are where the collector sees them.
// - Every in-place change is reported to the ownership layer before and after.
// - mold, form, compare and copy/deep walk under the cycle stack: a block met
//   inside itself molds as "[...]", compares as unequal, and cannot be
//   deep-copied (Internal Error no-cycle).
// - A /dup count is 1 when the refinement is absent; 0 or below inserts
//   nothing. A /part count below 0 means absent for insert and change.
#pragma once

#include <cstdint>

#include "runtime/actions.h"
#include "runtime/cell.h"
#include "runtime/datatypes/series.h"

namespace kez::block {

inline bool any_block_q(uint32_t t) { return series::block_family_q(t); }
inline series_buffer* buffer_of(const cell* b) { return memory::buffer_of(b->w2); }

// Raw accessors (no dispatch, no notification).
int32_t ks_length_q(const cell* b);  // cells from head to tail, unclamped
bool ks_next(cell* b);
cell* ks_head(cell* b);
cell* ks_tail(const cell* b);
bool ks_tail_q(cell* b);
inline cell* ks_abs_at(const cell* b, int32_t n) { return buffer_of(b)->head_cell() + n; }
void ks_clear(cell* b);
void ks_truncate_at(cell* b, int32_t n);
cell* ks_append(cell* b, const cell* value);  // answers the new cell
void ks_remove_last(cell* b);
void ks_append_block(cell* target, const cell* source);
cell* alloc_tail(cell* b);  // a new unset! cell at the tail

// Builders. Capacities below 0 become 1.
cell* make_at(cell* target, int32_t n);
cell* make_in(cell* parent, int32_t n);  // new cell at the parent's tail
// With `fixed` the buffer is a fixed series: it never moves and is never
// collected. make_root puts such a block in a new cell at the parent's tail,
// or in the runtime's holder cell when parent is null.
cell* make_fixed(cell* target, int32_t n, bool fixed);
cell* make_root(cell* parent, int32_t n);
void release_root();  // forgets the holder's block, before the heap that holds it is dropped
cell* push(const cell* value);
cell* push_empty(int32_t n);
// Copies the cells from the source's head into a new block of exactly that
// many cells, typed as the source; deep clones nested block!s, all also
// parens and paths.
cell* clone(cell* target, const cell* source, bool deep, bool all);
// One cell at the head (or at index 0 with at_start); with advance the head
// moves past it.
cell* insert_value(cell* b, const cell* value, bool advance, bool at_start);
void append_block(cell* target, const cell* source);
// For compiled code and natives, over the current frame's cells:
// append_star inserts arguments[0] at the head of the block just below it and
// advances that head; append_arg appends arguments[1] to the block in
// arguments[0]; append_last appends arguments[0] to the block just below it.
void append_star();
void append_arg();
void append_last();

void init();  // registers block! (after series!)

cell* make(cell* proto, const cell* spec, uint32_t type);
cell* to(cell* proto, const cell* spec, uint32_t type);
int32_t form(const cell* value, cell* buffer, const cell* arg, int32_t part);
int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg,
             int32_t part, int32_t indent);
// The element loop of block and paren mold, without the brackets.
int32_t mold_each(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg,
                  int32_t part, int32_t indent);
int32_t compare(const cell* value1, const cell* value2, int32_t op);
cell* insert(cell* series, const cell* value, int32_t part, bool only, int32_t dup, bool append);
cell* change(cell* series, const cell* value, int32_t part, bool only, int32_t dup);
cell* copy(cell* value, cell* result, const cell* part, bool deep, const cell* types);
cell* take(cell* series, const cell* part, bool deep, bool last);
cell* swap(cell* series1, cell* series2);
cell* trim(cell* series, bool head, bool tail, bool auto_, bool lines, bool all, const cell* with);

// Searching, selection, put, path access and sorting (block_search.cpp).
cell* find(cell* series, const cell* value, const find_options& options);
cell* select(cell* series, const cell* value, const find_options& options);
cell* put(cell* series, const cell* key, const cell* value, bool case_);
cell* eval_path(cell* parent, const cell* element, const cell* value, const cell* path,
                const cell* grand_parent, const cell* previous, int32_t index, bool case_, bool get,
                bool tail, bool notify);
// The cell after the first word-family cell (types 15-20) from the head that
// names the same symbol (exact: the same spelling; else the same canonical
// symbol), or null when there is none or it is the last cell.
cell* select_word(cell* b, const cell* word, bool exact);
// The cell after the first cell equal to value (op 12) from the head, or null.
cell* select_value(cell* b, const cell* value);
// Removes the first cell equal to value (from the head, or from index 0);
// answers whether its index was at most the head index. False when absent.
bool remove_value(cell* b, const cell* value, bool from_start);
cell* sort(cell* series, bool case_, const cell* skip, const cell* comparator, const cell* part,
           bool all, bool reverse, bool stable);
// Calls a user comparison function with two values, in the order given, and
// answers its verdict as -1, 0 or 1 (true 1, false -1 ...). Filled in by the
// interpreter; until then a /compare function raises Internal Error not-done.
// a and b are valid only until the next allocation: the call copies them
// before it runs anything. Under /all with /skip they are two scratch blocks
// (kept in the root block) holding the two records.
using compare_call_fn = int32_t (*)(const cell* function, const cell* a, const cell* b);
void set_compare_call(compare_call_fn fn);

// Set operations over the current frame's first two argument cells; the
// result replaces the first. skip is null when /skip is absent.
enum set_op : int32_t { SET_UNIQUE = 8, SET_UNION = 9, SET_INTERSECT = 10, SET_EXCLUDE = 11, SET_DIFFERENCE = 12 };
void do_set_op(bool case_, const cell* skip, int32_t op);

}  // namespace kez::block
