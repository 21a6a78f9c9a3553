#include "runtime/ownership.h"

#include <unordered_map>
#include <vector>

#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/memory.h"

namespace kez::ownership {

namespace {

struct record {
  cell value;  // the owned value as it was when ownership was set
  cell owner;  // object! cell
  cell word;   // the owner's field
};

// Records live outside the heap: the collector reaches them through the
// marker (owned values and words, strongly), the relocator (the owner's
// context and hook nodes in words 1-3, which are not marked from here) and
// the purger (dead owners).
std::vector<record> records;
std::unordered_map<uint32_t, uint32_t> index_of;  // series node -> record
hook_fn hook = nullptr;
bool registered = false;

constexpr const char* words[] = {
    "append", "appended", "insert", "inserted", "change", "changed", "clear", "cleared",
    "poke", "poked", "put", "put-ed", "remove", "removed", "random", "randomized",
    "reverse", "reversed", "sort", "sorted", "swap", "swaped", "take", "taken",
    "move", "moved", "trim", "trimmed"};

bool block_like_q(uint32_t t) {
  return t == TYPE_BLOCK || t == TYPE_PAREN || t == TYPE_HASH || (t >= TYPE_PATH && t <= TYPE_GET_PATH);
}

bool ownable_q(uint32_t t) {
  switch (t) {
    case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH: case TYPE_PATH: case TYPE_LIT_PATH:
    case TYPE_SET_PATH: case TYPE_GET_PATH: case TYPE_STRING: case TYPE_FILE: case TYPE_URL:
    case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF: case TYPE_BINARY: case TYPE_VECTOR:
    case TYPE_BITSET:
      return true;
    default:
      return false;
  }
}

// Context node of an object cell: its first cell is the context! cell whose
// word 2 names the values block.
uint32_t values_node(const cell* object) {
  auto* context = reinterpret_cast<cell*>(memory::buffer_of(object->w1)->data());
  return context->w2;
}
bool owner_flag_q(const cell* object) {
  return reinterpret_cast<cell*>(memory::buffer_of(object->w1)->data())->header & FLAG_OWNER;
}

void erase_record(uint32_t node) {
  auto it = index_of.find(node);
  if (it == index_of.end()) return;
  uint32_t i = it->second;
  index_of.erase(it);
  if (i + 1 != records.size()) {
    records[i] = records.back();
    index_of[records[i].value.w2] = i;
  }
  records.pop_back();
}

void mark() {
  for (record& r : records) {
    collector::mark_values(&r.value, &r.value + 1);
    collector::mark_values(&r.word, &r.word + 1);
  }
}

void relocate() {
  for (record& r : records) collector::relocate_range(&r.owner.w1, &r.owner.w3 + 1);
  index_of.clear();
  for (uint32_t i = 0; i < records.size(); ++i) index_of[records[i].value.w2] = i;
}

void purge() {
  for (size_t i = records.size(); i-- > 0;)
    if (!(memory::buffer_of(records[i].owner.w1)->flags & SERIES_MARK)) erase_record(records[i].value.w2);
}

// Walks the cells of a block from its head, under the cycle stack.
template <class F>
void each_cell(const cell* block, F fn) {
  uint32_t node = block->w2;
  if (cycles::find_q(node)) return;
  cycles::scope keep;
  cycles::push(node);
  // Re-read the buffer every step: nothing here allocates today, but a
  // hook-free walk must not rely on that.
  for (uint32_t i = block->w1;; ++i) {
    series_buffer* b = memory::buffer_of(node);
    if (i >= b->used() / sizeof(cell)) break;
    cell c = b->head_cell()[i];
    fn(&c);
  }
}

}  // namespace

const char* word_of(change action) { return words[action]; }
void set_hook(hook_fn fn) { hook = fn; }

void init() {
  reset();
  records.reserve(1000);
  if (registered) return;
  collector::add_marker(mark);
  collector::add_relocator(relocate);
  collector::add_purger(purge);
  registered = true;
}

void reset() {
  records.clear();
  index_of.clear();
}

void set_owner(const cell* value, const cell* owner, const cell* word) {
  uint32_t t = type_of(value);
  if (ownable_q(t)) {
    series_buffer* b = memory::buffer_of(value->w2);
    if (!(b->flags & SERIES_OWNED)) {
      b->flags |= SERIES_OWNED;
      index_of[value->w2] = uint32_t(records.size());
      records.push_back(record{*value, *owner, *word});
    }
    if (block_like_q(t)) each_cell(value, [&](const cell* c) { set_owner(c, owner, word); });
  }
  // object! values inside owned blocks keep their fields to themselves until
  // contexts can name their words.
}

void set_owner_flagged(const cell* value, const cell* owner, const cell* word) {
  set_owner(value, owner, word);
  reinterpret_cast<cell*>(memory::buffer_of(owner->w1)->data())->header |= FLAG_OWNER;
}

void unbind(const cell* value) {
  uint32_t t = type_of(value);
  if (t == TYPE_OBJECT) {
    if (cycles::find_q(value->w1) || owner_flag_q(value)) return;
    cycles::scope keep;
    cycles::push(value->w1);
    cell values{TYPE_BLOCK, 0, values_node(value), 0};
    each_cell(&values, [](const cell* c) { unbind(c); });
    return;
  }
  if (!ownable_q(t)) return;
  memory::buffer_of(value->w2)->flags &= ~uint32_t(SERIES_OWNED);
  if (index_of.find(value->w2) == index_of.end()) return;
  erase_record(value->w2);
  if (block_like_q(t)) each_cell(value, [](const cell* c) { unbind(c); });
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
  auto it = index_of.find(node);
  return it == index_of.end() ? nullptr : &records[it->second].owner;
}

int check(const cell* target, change action, const cell* value, int32_t index, int32_t part) {
  uint32_t t = type_of(target);
  uint32_t key;
  if (t == TYPE_OBJECT) key = target->w1;
  else if (ownable_q(t)) key = target->w2;
  else return 0;
  auto it = index_of.find(key);
  if (it == index_of.end()) return 0;
  record r = records[it->second];  // the hook may change the table
  if (r.owner.w3 == 0 || !hook) return 0;
  collector::root_cells keep(&r.value, 3);
  hook(&r.owner, &r.word, target, action, value, index, part);
  return 1;
}

bool notify(const cell* series, change action, const cell* value, int32_t index, int32_t part) {
  if (!ownable_q(type_of(series)) || !(memory::buffer_of(series->w2)->flags & SERIES_OWNED)) return false;
  check(series, action, value, index, part);
  return true;
}

}  // namespace kez::ownership
