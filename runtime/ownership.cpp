#include "runtime/ownership.h"

#include <algorithm>

#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/unset.h"
#include "runtime/entry_table.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"

namespace kez::ownership {

namespace {

// node of the owned series -> {owned value, owner object, field word}: an
// entry table of the kind that keeps its keys alive but not the owners (the
// collector drops the entries of owners it did not reach).
uint32_t table = 0;
hook_fn hook = nullptr;
bool registered = false;

constexpr const char* words[] = {
    "append", "appended", "insert", "inserted", "change", "changed", "clear", "cleared",
    "poke", "poked", "put", "put-ed", "remove", "removed", "random", "randomized",
    "reverse", "reversed", "sort", "sorted", "swap", "swaped", "take", "taken",
    "move", "moved", "trim", "trimmed", "uppercase", "lowercase"};

// An image! is owned through its record's buffer, which every copy of the
// cell shares (a flag in the cell itself would stay behind in the copy that
// the object layer hands over); an image without pixels has none.
bool ownable_q(const cell* v) {
  uint32_t t = type_of(v);
  return series::block_family_q(t) || series::string_family_q(t) || t == TYPE_BINARY || t == TYPE_VECTOR ||
         t == TYPE_BITSET || (t == TYPE_IMAGE && v->w2);
}

// The context! cell of an object: word 2 names its values block.
cell* context_cell(const cell* object) { return context::cell_of(object->w1); }

void mark() {
  if (table) hashtable::mark(&table);
}
void purge() {
  if (table) hashtable::purge_dead(table);
}

// Walks the cells of a block from its head, under the cycle stack. Setting
// an owner allocates table entries, so nodes are read again from the rooted
// block cell at every step and each cell handed out is rooted.
template <class F>
void each_cell(const cell* block, F fn) {
  if (cycles::find_q(block->w2)) return;
  cycles::scope keep;
  cycles::push(block->w2);
  for (uint32_t i = block->w1;; ++i) {
    series_buffer* b = memory::buffer_of(block->w2);
    if (i >= b->used() / sizeof(cell)) break;
    cell c = b->head_cell()[i];
    collector::root_cells hold(&c);
    fn(&c);
  }
}

}  // namespace

const char* word_of(change action) { return words[action]; }
void set_hook(hook_fn fn) { hook = fn; }

void init() {
  if (!registered) {
    collector::add_marker(mark);
    collector::add_purger(purge);
    registered = true;
  }
  table = 0;
  table = hashtable::init(1000, nullptr, hashtable::OWNERS, 3);
}

void reset() {
  if (table) table = hashtable::init(1000, nullptr, hashtable::OWNERS, 3);
}

void release() { table = 0; }

void set_owner(const cell* value, const cell* owner, const cell* word) {
  uint32_t t = type_of(value);
  if (ownable_q(value)) {
    series_buffer* b = memory::buffer_of(value->w2);
    if (!(b->flags & SERIES_OWNED)) {
      b->flags |= SERIES_OWNED;
      cell entry[3] = {*value, *owner, *word};
      collector::root_cells keep(entry, 3);
      cell* record = hashtable::put_pointer(table, entry[0].w2);
      std::copy(entry, entry + 3, record);
    }
    if (series::block_family_q(t)) each_cell(value, [&](const cell* c) { set_owner(c, owner, word); });
  }
  if (t == TYPE_OBJECT) {
    // An object inside is owned field by field, each by its own word, unless
    // it is an owner itself; a field holding the owner object is skipped.
    if (context_cell(value)->header & FLAG_OWNER) return;
    uint32_t values = context_cell(value)->w2;
    if (cycles::find_q(values)) return;
    cycles::scope keep;
    cycles::push(values);
    for (uint32_t i = 0; i < context::length_of(value->w1); ++i) {
      cell field[2] = {*context::value_at(value->w1, i), *context::word_at(value->w1, i)};
      collector::root_cells hold(field, 2);
      if (type_of(&field[0]) == TYPE_OBJECT && field[0].w1 == owner->w1) continue;
      set_owner(&field[0], owner, &field[1]);
    }
  }
}

void set_owner_flagged(const cell* value, const cell* owner, const cell* word) {
  set_owner(value, owner, word);
  context_cell(owner)->header |= FLAG_OWNER;
}

void unbind(const cell* value) {
  uint32_t t = type_of(value);
  if (t == TYPE_OBJECT) {
    if (cycles::find_q(value->w1) || (context_cell(value)->header & FLAG_OWNER)) return;
    cycles::scope keep;
    cycles::push(value->w1);
    cell values{TYPE_BLOCK, 0, context_cell(value)->w2, 0};
    collector::root_cells hold(&values);
    each_cell(&values, [](const cell* c) { unbind(c); });
    return;
  }
  if (!ownable_q(value)) return;
  memory::buffer_of(value->w2)->flags &= ~uint32_t(SERIES_OWNED);
  cell* record = hashtable::delete_pointer(table, value->w2);
  if (!record) return;
  for (int i = 0; i < 3; ++i) unset::make_at(record + i);
  if (series::block_family_q(t)) each_cell(value, [](const cell* c) { unbind(c); });
}

void unbind_range(const cell* block, int32_t index, int32_t count) {
  uint32_t node = block->w2;
  for (int32_t i = 0; i < count; ++i) {
    series_buffer* b = memory::buffer_of(node);
    uint32_t at = block->w1 + uint32_t(index + i);
    if (at >= b->used() / sizeof(cell)) break;
    cell c = b->head_cell()[at];
    unbind(&c);
  }
}

const cell* owner_of(uint32_t node) {
  cell* record = hashtable::get_pointer(table, node);
  return record ? record + 1 : nullptr;
}

int check(const cell* target, change action, const cell* value, int32_t index, int32_t part) {
  uint32_t t = type_of(target);
  uint32_t key;
  if (t == TYPE_OBJECT) key = target->w1;
  else if (ownable_q(target)) key = target->w2;
  else return 0;
  cell* found = hashtable::get_pointer(table, key);
  if (!found || found[1].w3 == 0 || !hook) return 0;
  cell record[3] = {found[0], found[1], found[2]};  // the hook may change the table
  collector::root_cells keep(record, 3);
  hook(&record[1], &record[2], target, action, value, index, part);
  return 1;
}

bool notify(const cell* series, change action, const cell* value, int32_t index, int32_t part) {
  if (!ownable_q(series) || !(memory::buffer_of(series->w2)->flags & SERIES_OWNED)) return false;
  check(series, action, value, index, part);
  return true;
}

}  // namespace kez::ownership
