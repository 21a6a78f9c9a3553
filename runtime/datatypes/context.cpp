#include "runtime/datatypes/context.h"

#include <algorithm>
#include <iterator>
#include <unordered_set>
#include <vector>

#include "runtime/collector.h"
#include "runtime/core_ops.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/hashtable.h"
#include "runtime/stack.h"
#include "runtime/words.h"

namespace kez::context {

uint32_t global = 0;
values_cache global_cache{~0u, nullptr, nullptr};

object_cache last_object{0, ~0u, nullptr, nullptr};  // no epoch yet: never a hit

cell* refresh_object_values(uint32_t ctx) {
  const cell* c = cell_of(ctx);
  if (!c->w2) return nullptr;
  if (c->header & FLAG_STACK_VALUES) return arena::at<cell>(c->w2);
  cell* values = memory::buffer_of(c->w2)->head_cell();
  if (((c->header & FLAG_CONTEXT_KIND) >> CONTEXT_KIND_SHIFT) == KIND_OBJECT)
    last_object = object_cache{ctx, memory::epoch, c, values};
  return values;
}

cell* refresh_global_values() {
  const cell* c = cell_of(global);
  global_cache = values_cache{memory::epoch, memory::buffer_of(c->w2)->head_cell(), c};
  return global_cache.values;
}

namespace {

on_set_fn on_set = nullptr;

void mark_global() {
  if (global) collector::mark_context(&global);
}

uint32_t table_of(uint32_t ctx) { return cell_of(ctx)->w1; }

cell* list_cells(uint32_t ctx) { return reinterpret_cast<cell*>(memory::buffer_of(words_of(ctx))->data()); }

// Appends an unset! cell to the values series (the context is rooted by the caller).
void append_unset_value(uint32_t ctx) {
  if (on_stack_q(ctx)) return;
  auto* v = reinterpret_cast<cell*>(series::make_room(memory::buffer_of(cell_of(ctx)->w2), sizeof(cell)));
  *v = cell{TYPE_UNSET, 0, 0, 0};
}

void append_value(uint32_t ctx, const cell* value) {
  cell copy = *value;
  collector::root_cells keep(&copy);
  auto* v = reinterpret_cast<cell*>(series::make_room(memory::buffer_of(cell_of(ctx)->w2), sizeof(cell)));
  *v = copy;
}

bool word_type_q(uint32_t t) { return t >= TYPE_WORD && t <= TYPE_REFINEMENT; }
bool block_type_q(uint32_t t) {
  return t == TYPE_BLOCK || t == TYPE_PAREN || (t >= TYPE_PATH && t <= TYPE_GET_PATH) || t == TYPE_HASH;
}

uint32_t self_symbol() { return words::symbols[words::sym::self]; }

[[noreturn]] void fire_with_word_at(int id, uint32_t ctx, uint32_t index) {
  cell w = *word_at(ctx, index);
  error::fire(err::cat_script, id, &w);
}

}  // namespace

void init_global() {
  static bool marker_added = false;
  if (!marker_added) {
    collector::add_marker(mark_global);
    marker_added = true;
  }
  global = 0;
  global = create(GLOBAL_SIZE, false, false, 0, KIND_GLOBAL);
  global_cache.epoch = memory::epoch - 1;
}

void release_global() {
  global = 0;
  global_cache.epoch = memory::epoch - 1;
}

uint32_t length_of(uint32_t ctx) { return memory::buffer_of(words_of(ctx))->used() / sizeof(cell); }

namespace {
// The word list of the context last reached here, while no buffer moved:
// setting an object's word marks its word cell changed on every set, and the
// list lies several dependent loads away from the context's node. A node
// names another context only after a collection, which bumps the epoch too.
struct words_cache {
  uint32_t ctx, epoch;
  cell* words;
};
words_cache last_words{0, ~0u, nullptr};  // no epoch yet: never a hit
}  // namespace

cell* word_at(uint32_t ctx, uint32_t position) {
  if (last_words.ctx != ctx || last_words.epoch != memory::epoch) last_words = words_cache{ctx, memory::epoch, list_cells(ctx)};
  return last_words.words + position;
}

uint32_t create(uint32_t size, bool on_stack, bool self, uint32_t source, uint32_t kind) {
  if (size == 0) size = 1;
  collector::root_node keep_source(source);
  uint32_t node = memory::alloc_cells(2);
  collector::root_node keep(node);
  auto* cells = reinterpret_cast<cell*>(series::make_room(memory::buffer_of(node), 2 * sizeof(cell)));
  cells[0] = cells[1] = cell{TYPE_UNSET, 0, 0, 0};
  // The context cell reads unset! until complete, so the collector does not
  // reach its parts through it: they stay rooted here.
  uint32_t table = source ? hashtable::init(size, cell_of(source), hashtable::WORDS, 2)
                          : hashtable::init(size, nullptr, hashtable::WORDS, 1);
  cell held{TYPE_HASH, 0, 0, table};  // a hash! cell is how the collector walks a whole table
  collector::root_cells keep_table(&held);
  uint32_t values = on_stack ? 0 : memory::alloc_cells(size);
  cell* c = cell_of(node);
  c->w1 = held.w3;
  c->w2 = values;
  uint32_t header = TYPE_CONTEXT | ((kind << CONTEXT_KIND_SHIFT) & FLAG_CONTEXT_KIND);
  if (on_stack) header |= FLAG_STACK_VALUES;
  if (self) header |= FLAG_SELF;
  c->header = header;
  return node;
}

namespace {

// Words found lately, by context and symbol: a path like obj/name looks its
// element up on every evaluation. A word once in a context keeps its index,
// and a context's node is freed (and may name another context) only by a
// collection, which bumps the memory epoch that every entry holds.
struct found_word {
  uint32_t ctx, key, epoch;
  int32_t index;
};
found_word found_words[256];

}  // namespace

int32_t find_word(uint32_t ctx, uint32_t symbol, bool case_insensitive) {
  uint32_t key = symbol << 1 | (case_insensitive ? 1 : 0);
  found_word& f = found_words[((ctx >> 2) ^ (symbol * 0x9E3779B1u)) >> 24];
  if (f.ctx == ctx && f.key == key && f.epoch == memory::epoch) return f.index;
  int32_t position = -1;
  if (hashtable::find_symbol(table_of(ctx), symbol, case_insensitive, 0, position) < 0) return -1;
  int32_t index = int32_t(word_at(ctx, uint32_t(position))->w3);
  f = found_word{ctx, key, memory::epoch, index};
  return index;
}

int32_t find_word_any(uint32_t ctx, uint32_t symbol, bool case_insensitive, int32_t& added) {
  collector::root_node keep(ctx);
  int32_t position = -1;
  if (hashtable::find_symbol(table_of(ctx), symbol, case_insensitive, ctx, position) >= 0)
    return int32_t(word_at(ctx, uint32_t(position))->w3);
  added = position;
  return -1;
}

int32_t add_symbol(uint32_t ctx, uint32_t symbol) {
  collector::root_node keep(ctx);
  int32_t added = -1;
  int32_t index = find_word_any(ctx, symbol, true, added);
  if (index >= 0) return index;
  append_unset_value(ctx);
  return added;
}

uint32_t make_from_spec(const cell* spec, bool on_stack, bool self, uint32_t kind) {
  // The spec's words are read first: nothing of the spec is touched while allocating.
  std::vector<uint32_t> symbols;
  {
    series_buffer* b = memory::buffer_of(spec->w2);
    for (cell *c = b->head_cell() + spec->w1, *end = b->tail_cell(); c < end; ++c) {
      uint32_t t = type_of(c);
      if (t == TYPE_WORD || t == TYPE_GET_WORD || t == TYPE_LIT_WORD || t == TYPE_REFINEMENT) symbols.push_back(c->w2);
    }
  }
  uint32_t ctx = create(uint32_t(symbols.size()), on_stack, self, 0, kind);
  collector::root_node keep(ctx);
  uint32_t added_count = 0;
  for (uint32_t s : symbols) {
    int32_t added;
    if (find_word_any(ctx, s, true, added) < 0) ++added_count;
  }
  for (uint32_t i = 0; i < added_count && !on_stack; ++i) append_unset_value(ctx);
  return ctx;
}

uint32_t clone(cell* value, uint32_t kind) {
  uint32_t source = value->w1;
  const cell* s = cell_of(source);
  uint32_t fresh = create(length_of(source), s->header & FLAG_STACK_VALUES, s->header & FLAG_SELF, source, kind);
  for (uint32_t i = 0, n = length_of(fresh); i < n; ++i) word_at(fresh, i)->w1 = fresh;
  value->w1 = fresh;
  return fresh;
}

bool add_set_words(uint32_t ctx, const cell* block) {
  std::vector<uint32_t> symbols;
  {
    series_buffer* b = memory::buffer_of(block->w2);
    cell *head = b->head_cell() + block->w1, *end = b->tail_cell();
    for (cell* c = head < end ? head : end; c < end; ++c)
      if (type_of(c) == TYPE_SET_WORD) symbols.push_back(c->w2);
  }
  collector::root_node keep(ctx);
  uint32_t before = length_of(ctx);
  for (uint32_t s : symbols) add_symbol(ctx, s);
  return length_of(ctx) > before;
}

cell* get_value_cell(uint32_t ctx, uint32_t symbol) {
  if (on_stack_q(ctx)) ctx = global;
  int32_t index = find_word(ctx, symbol, true);
  return index < 0 ? nullptr : value_at(ctx, uint32_t(index));
}

cell* add_word_value(uint32_t ctx, const cell* word, const cell* value) {
  cell v = *value;
  collector::root_cells keep_value(&v);
  collector::root_node keep(ctx);
  int32_t added;
  if (find_word_any(ctx, word->w2, true, added) >= 0) return nullptr;
  if (on_stack_q(ctx)) return nullptr;
  append_value(ctx, &v);
  return value_at(ctx, uint32_t(added));
}

void get_or_add(uint32_t ctx, const cell* word, cell* target) {
  collector::root_node keep(ctx);
  int32_t index = add_word(ctx, word);
  const cell* v = value_at(ctx, uint32_t(index));
  *target = v ? *v : cell{TYPE_UNSET, 0, 0, 0};
}

cell* add_global(uint32_t symbol, bool case_insensitive, bool keep_spelling) {
  int32_t position = -1;
  if (hashtable::find_symbol(table_of(global), symbol, case_insensitive, 0, position) >= 0) {
    cell* found = word_at(global, uint32_t(position));
    if (!(case_insensitive && keep_spelling) || found->w2 == symbol) return found;
    cell copy = *found;
    copy.w2 = symbol;
    // The copy must live where the collector sees it.
    return root::building ? root::append(&copy) : stack::push(&copy);
  }
  hashtable::find_symbol(table_of(global), symbol, case_insensitive, global, position);
  if (symbol::get_alias(symbol) > 0) {
    // A case variant shares the value of the first spelling.
    int32_t first = find_word(global, symbol::resolve(symbol), true);
    if (first >= 0) word_at(global, uint32_t(position))->w3 = uint32_t(first);
  }
  // Every word-list position has a value cell, variants included.
  append_unset_value(global);
  return word_at(global, uint32_t(position));
}

cell* add_global_word(uint32_t symbol) {
  cell* w = add_global(symbol, false, false);
  return root::building ? root::append(w) : w;
}

cell* find_or_add_global(uint32_t ctx, uint32_t symbol) {
  int32_t position = -1;
  if (hashtable::find_symbol(table_of(ctx), symbol, false, 0, position) >= 0) return word_at(ctx, uint32_t(position));
  return add_global_word(symbol);
}

cell* get(const cell* word) {
  int32_t index = int32_t(word->w3);
  uint32_t ctx = word->w1;
  if (index < 0) {
    if (ctx && word->w2 == self_symbol()) return owner_of(ctx);
    error::fire(err::cat_script, err::script::no_value, word);
  }
  // An unbound word (a refinement made at start-up) has nowhere to read from.
  if (!ctx) error::fire(err::cat_script, err::script::no_value, word);
  cell* v = value_at(ctx, uint32_t(index));
  if (!v) error::fire(err::cat_script, err::script::not_in_context, word);
  return v;
}

cell* set(cell* word, const cell* value) {
  // A field of the object last reached, with no change hook to run: marked
  // changed and set in place, as set_in does.
  if (object_cached_q(word->w1) && int32_t(word->w3) >= 0 && !(on_set && last_object.context[1].w3)) {
    uint32_t index = word->w3;
    word_at(word->w1, index)->header |= FLAG_WORD_CHANGED;
    cell* slot = last_object.values + index;
    copy_fresh(slot, value);
    return slot;
  }
  if (cell* slot = plain_slot(word)) {
    copy_fresh(slot, value);  // a value mostly just answered
    return slot;
  }
  if (!word->w1) error::fire(err::cat_script, err::script::not_defined, word);
  return set_in(word, value, word->w1, true);
}

namespace {
[[gnu::noinline]] cell* set_slow(cell* word, const cell* value, uint32_t ctx, bool hooks);
}

cell* set_in(cell* word, const cell* value, uint32_t ctx, bool hooks) {
  // A resolved word with no hook to run is set in place, allocating nothing.
  if (int32_t(word->w3) >= 0) {
    uint32_t index = word->w3;
    const cell* c = cell_of(ctx);
    if (c->w2) {
      if (c->header & FLAG_STACK_VALUES) {
        cell* slot = arena::at<cell>(c->w2) + index;
        copy_fresh(slot, value);
        return slot;
      }
      if (!(hooks && on_set && c[1].w3)) {
        cell* slot;
        if (((c->header & FLAG_CONTEXT_KIND) >> CONTEXT_KIND_SHIFT) == KIND_OBJECT) {
          word_at(ctx, index)->header |= FLAG_WORD_CHANGED;
          slot = object_values(ctx) + index;  // kept for the next set or read of its fields
        } else {
          slot = memory::buffer_of(c->w2)->head_cell() + index;
        }
        copy_fresh(slot, value);
        return slot;
      }
    }
  }
  return set_slow(word, value, ctx, hooks);
}

namespace {
cell* set_slow(cell* word, const cell* value, uint32_t ctx, bool hooks) {
  cell v = *value;
  collector::root_cells keep_value(&v);
  collector::root_node keep(ctx);
  if (int32_t(word->w3) < 0) {
    int32_t index = find_word(ctx, word->w2, false);
    if (index < 0) index = add_word(ctx, word);
    word->w3 = uint32_t(index);
  }
  uint32_t index = word->w3;
  cell* slot = value_at(ctx, index);
  if (!slot) error::fire(err::cat_script, err::script::not_defined, word);
  if (on_stack_q(ctx)) {
    *slot = v;
    return slot;
  }
  if (kind_of(ctx) == KIND_OBJECT) word_at(ctx, index)->header |= FLAG_WORD_CHANGED;
  if (hooks && on_set && owner_of(ctx)->w3) {
    // Everything the hook gets lies on the data stack: the hook may allocate.
    cell* saved_top = stack::top;
    cell* old = stack::push(slot);
    *value_at(ctx, index) = v;
    cell* owner = stack::push(owner_of(ctx));
    cell* w = stack::push(word);
    cell* new_value = stack::push(&v);
    on_set(owner, w, old, new_value);
    stack::top = saved_top;
    return value_at(ctx, index);
  }
  *slot = v;
  return slot;
}
}  // namespace

void set_on_set_hook(on_set_fn fn) { on_set = fn; }

int32_t bind_word(uint32_t ctx, cell* word) {
  int32_t index = find_word(ctx, word->w2, true);
  if (index >= 0) {
    word->w1 = ctx;
    word->w3 = uint32_t(index);
  }
  return index;
}

cell* bind(cell* block, uint32_t ctx, bool self) {
  // Binding allocates nothing, so buffers stay put; the walk keeps its own
  // path of open blocks instead of recursing.
  struct open_block {
    uint32_t node, next, end;
  };
  // Start-up binds thousands of small, shallow bodies: the first levels of
  // the path live here and are searched in place; only nodes below them go
  // into a set, so that a block met inside itself is still found in
  // constant time however deep the nesting.
  constexpr size_t SHALLOW = 16;
  open_block shallow[SHALLOW];
  size_t depth = 0;
  std::vector<open_block> deep;
  std::unordered_set<uint32_t> open;
  auto at = [&](size_t i) -> open_block& { return i < SHALLOW ? shallow[i] : deep[i - SHALLOW]; };
  auto enter = [&](const cell* b) {
    uint32_t node = b->w2;
    if (!node) return;
    for (size_t i = 0; i < std::min(depth, SHALLOW); ++i)
      if (shallow[i].node == node) return;  // met inside itself
    if (depth >= SHALLOW && !open.insert(node).second) return;
    series_buffer* buf = memory::buffer_of(node);
    uint32_t first = (buf->head - arena::offset_of(buf->data())) / sizeof(cell) + b->w1;
    uint32_t end = uint32_t((buf->tail - arena::offset_of(buf->data())) / sizeof(cell));
    if (depth < SHALLOW) shallow[depth] = {node, first, end};
    else deep.push_back({node, first, end});
    ++depth;
  };
  uint32_t self_sym = self ? self_symbol() : 0;
  // A function's context has a handful of words: comparing each word of the
  // body with them in place costs less than a hash probe per word.
  constexpr uint32_t FEW = 8;
  uint32_t few = length_of(ctx);
  uint32_t few_symbols[FEW], few_indexes[FEW];
  auto canonical = [](uint32_t symbol) { return hashtable::hook.resolve ? hashtable::hook.resolve(symbol) : symbol; };
  if (few <= FEW) {
    const cell* words = list_cells(ctx);
    for (uint32_t i = 0; i < few; ++i) {
      few_symbols[i] = canonical(words[i].w2);
      few_indexes[i] = words[i].w3;
    }
  }
  // A larger one (an object's): each symbol is looked up once per bind,
  // however often the body names it.
  struct seen_symbol {
    uint32_t symbol;
    int32_t index;
  };
  constexpr uint32_t SEEN = 512;
  seen_symbol seen[SEEN];
  if (few > FEW) std::fill(std::begin(seen), std::end(seen), seen_symbol{0, -1});
  enter(block);
  while (depth) {
    open_block& o = at(depth - 1);
    if (o.next >= o.end) {
      if (--depth >= SHALLOW) {
        open.erase(o.node);
        deep.pop_back();
      }
      continue;
    }
    cell* c = reinterpret_cast<cell*>(memory::buffer_of(o.node)->data()) + o.next++;
    uint32_t t = type_of(c);
    if (word_type_q(t)) {
      if (self && t == TYPE_WORD && c->w2 == self_sym) {
        c->w1 = ctx;
        c->w3 = uint32_t(-1);
      } else if (few <= FEW) {
        uint32_t symbol = canonical(c->w2);
        for (uint32_t i = 0; i < few; ++i)
          if (few_symbols[i] == symbol) {
            c->w1 = ctx;
            c->w3 = few_indexes[i];
            break;
          }
      } else {
        seen_symbol& k = seen[(c->w2 * 0x9E3779B1u) >> 23];
        if (k.symbol != c->w2) k = seen_symbol{c->w2, find_word(ctx, c->w2, true)};
        if (k.index >= 0) {
          c->w1 = ctx;
          c->w3 = uint32_t(k.index);
        }
      }
    } else if (block_type_q(t)) {
      enter(c);
    }
  }
  return block;
}

void set_local_from_top(uint32_t ctx, uint32_t index) {
  const cell* top = stack::top_cell();
  if (type_of(top) == TYPE_UNSET) fire_with_word_at(err::script::need_value, ctx, index);
  cell* slot = value_at(ctx, index);
  if (!slot) fire_with_word_at(err::script::not_defined, ctx, index);
  *slot = *top;
}

void set_local_from_top_reset(uint32_t ctx, uint32_t index) {
  set_local_from_top(ctx, index);
  stack::reset();
}

void set_slot_from_top_reset(uint32_t ctx, uint32_t index) {
  if (kind_of(ctx) == KIND_OBJECT) word_at(ctx, index)->header |= FLAG_WORD_CHANGED;
  cell* slot = value_at(ctx, index);
  if (!slot) fire_with_word_at(err::script::not_defined, ctx, index);
  *slot = *stack::top_cell();
  stack::reset();
}

cell* get_local(uint32_t ctx, uint32_t index) {
  cell* slot = value_at(ctx, index);
  if (!slot) fire_with_word_at(err::script::not_defined, ctx, index);
  return slot;
}

}  // namespace kez::context
