// Object field access from outside the object (paths, `set`, `put`) and the
// two change hooks, on-change* and on-deep-change*.
#include <algorithm>
#include <vector>

#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/word.h"
#include "runtime/memory.h"
#include "runtime/ownership.h"
#include "runtime/stack.h"
#include "runtime/words.h"

namespace kez::object {

namespace {

enum hook : uint32_t { ON_CHANGE = 0, ON_DEEP_CHANGE = 1 };
constexpr uint32_t ABSENT = 0xFFFF0000;

cell path_unset{TYPE_UNSET, 0, 0, 0};

uint32_t canon(uint32_t symbol) { return symbol::resolve(symbol); }
cell* entry_of(uint32_t table, hook h) { return memory::buffer_of(table)->head_cell() + h; }
int32_t index_of(const cell* entry) { return entry->w2 >= ABSENT ? -1 : int32_t(entry->w2 >> 16); }

cell make_entry(int32_t index, int32_t count, uint32_t spec) {
  uint32_t w2 = (index < 0 ? ABSENT : uint32_t(index) << 16) | (uint32_t(count) & 0xFFFF);
  return cell{TYPE_PAIR, 0, w2, spec};
}

// The local count of the hook function now in the field, stored back in the
// entry. Counted on every call: the cached spec node is not a collector
// reference, so a dead spec's node may come back as another function's spec
// and a node comparison could keep a wrong count.
int32_t refresh_count(uint32_t table, hook h, const cell* fn) {
  cell* entry = entry_of(table, h);
  int32_t n = function::count_locals(fn->w2, 0, false);
  *entry = make_entry(index_of(entry), n, fn->w2);
  return n;
}

// Calls the hook function with the arguments already pushed after its frame.
void call_hook(const cell* fn_in, const cell* name, int32_t locals, const cell* args, uint32_t count) {
  cell fn = *fn_in;
  collector::root_cells keep(&fn);
  if (!evaluator.call_function) error::fire(err::cat_internal, err::internal::feature_na);
  stack::mark_func(name, fn.w1);
  for (uint32_t i = 0; i < count; ++i) stack::push(args + i);
  if (locals >= 1) function::init_locals(locals);
  evaluator.call_function(&fn, fn.w1, name);
  stack::unwind_ctx();
  stack::pop(1);
}

}  // namespace

void own_fields(const cell* object_in, const cell* owner_in, const cell* word_in) {
  cell object = *object_in, owner = owner_in ? *owner_in : *object_in, word{TYPE_NONE, 0, 0, 0};
  if (word_in) word = *word_in;
  collector::root_cells keep(&object), keep_owner(&owner), keep_word(&word);
  for (uint32_t i = 0, n = count_words(&object); i < n; ++i) {
    cell v = *context::value_at(object.w1, i), w = word_in ? word : *context::word_at(object.w1, i);
    if (!word_in) w.header = TYPE_WORD;
    collector::root_cells hold(&v), hold_w(&w);
    if (type_of(&v) != TYPE_OBJECT) ownership::set_owner(&v, &owner, &w);
  }
  context::cell_of(owner.w1)->header |= FLAG_OWNER;
}

uint32_t build_hooks(const cell* object) {
  uint32_t ctx = object->w1;
  int32_t found[2] = {-1, -1};
  uint32_t names[2] = {canon(words::word[words::w::on_change_star]->w2),
                       canon(words::word[words::w::on_deep_change_star]->w2)};
  for (uint32_t i = 0, n = context::length_of(ctx); i < n; ++i) {
    uint32_t s = canon(context::word_at(ctx, i)->w2);
    for (int h = 0; h < 2; ++h)
      if (s == names[h] && found[h] < 0) found[h] = int32_t(i);
  }
  if (found[0] < 0 && found[1] < 0) return 0;
  cell entries[2];
  for (int h = 0; h < 2; ++h) {
    if (found[h] < 0) {
      entries[h] = make_entry(-1, 0, 0);
      continue;
    }
    const cell* v = context::value_at(ctx, uint32_t(found[h]));
    if (type_of(v) != TYPE_FUNCTION && type_of(v) != TYPE_ROUTINE) {
      cell w = *context::word_at(ctx, uint32_t(found[h])), kind;
      datatype::make_at(&kind, type_of(v));
      error::fire(err::cat_script, err::script::bad_field_set, &w, &kind);
    }
    entries[h] = make_entry(found[h], function::count_locals(v->w2, 0, false), v->w2);
  }
  cell table;
  block::make_at(&table, 2);
  collector::root_cells keep(&table);
  block::ks_append(&table, &entries[0]);
  block::ks_append(&table, &entries[1]);
  return table.w2;
}

void rebuild_hooks(cell* object) {
  collector::root_cells keep(object);
  object->w3 = 0;
  uint32_t table = build_hooks(object);
  object->w3 = table;
  *context::owner_of(object->w1) = *object;
  if (table && index_of(entry_of(table, ON_DEEP_CHANGE)) >= 0) own_fields(object);
}

uint32_t install_hooks(uint32_t ctx, int32_t on_change, int32_t on_change_locals, int32_t on_deep_change,
                       int32_t on_deep_change_locals) {
  cell* object = stack::top_cell();
  collector::root_node keep_ctx(ctx);
  auto spec_of = [&](int32_t index) {
    const cell* v = index >= 0 ? context::value_at(ctx, uint32_t(index)) : nullptr;
    return v && (type_of(v) == TYPE_FUNCTION || type_of(v) == TYPE_ROUTINE) ? v->w2 : 0u;
  };
  cell entries[2] = {make_entry(on_change, on_change_locals, spec_of(on_change)),
                     make_entry(on_deep_change, on_deep_change_locals, spec_of(on_deep_change))};
  cell table;
  block::make_at(&table, 2);
  collector::root_cells keep(&table);
  block::ks_append(&table, &entries[0]);
  block::ks_append(&table, &entries[1]);
  object = stack::top_cell();
  object->w3 = table.w2;
  if (on_deep_change >= 0) own_fields(stack::top_cell());
  *context::owner_of(ctx) = *stack::top_cell();
  return table.w2;
}

bool has_deep_hook_q(const cell* object) {
  return object->w3 && index_of(entry_of(object->w3, ON_DEEP_CHANGE)) >= 0;
}

void fire_on_set(const cell* object_in, const cell* word_in, const cell* old_value, const cell* new_value) {
  if (!object_in->w3) return;
  int32_t index = index_of(entry_of(object_in->w3, ON_CHANGE));
  if (index < 0) return;
  cell object = *object_in, args[3] = {*word_in, *old_value, *new_value};
  collector::root_cells keep(&object), keep_args(args, 3);
  cell fn = *context::value_at(object.w1, uint32_t(index));
  if (type_of(&fn) != TYPE_FUNCTION) error::fire(err::cat_script, err::script::invalid_obj_evt, &fn);
  collector::root_cells keep_fn(&fn);
  int32_t locals = refresh_count(object.w3, ON_CHANGE, &fn);
  if (args[0].w1 != object.w1) {
    args[0].header = (args[0].header & ~FLAG_TYPE_MASK) | TYPE_WORD;
    args[0].w3 = uint32_t(-1);
    context::bind_word(object.w1, &args[0]);
  }
  call_hook(&fn, words::word[words::w::on_change_star], locals, args, 3);
}

void fire_on_set_stack(const cell* object, const cell* word) {
  fire_on_set(object, word, stack::top_cell(), stack::top_cell() - 1);
}

void fire_on_set_via_word(const cell* owner_word, const cell* word) {
  cell object = *context::get(owner_word);
  collector::root_cells keep(&object);
  fire_on_set(&object, word, stack::top_cell(), stack::top_cell() - 1);
}

void fire_on_deep_change(const cell* owner, const cell* word, const cell* target, const cell* action,
                         const cell* value, int32_t index, int32_t part) {
  if (!owner->w3) {
    cell o = *owner;
    error::fire(err::cat_script, err::script::invalid_obj_evt, &o);
  }
  int32_t at = index_of(entry_of(owner->w3, ON_DEEP_CHANGE));
  if (at < 0) return;
  cell fn = *context::value_at(owner->w1, uint32_t(at));
  if (type_of(&fn) != TYPE_FUNCTION) return;
  cell args[7] = {*owner, *word, *target, *action, cell{TYPE_NONE, 0, 0, 0}, {}, {}};
  if (value) args[4] = *value;
  integer::make_at(&args[5], index);
  integer::make_at(&args[6], part);
  collector::root_cells keep(args, 7), keep_fn(&fn);
  int32_t locals = refresh_count(args[0].w3, ON_DEEP_CHANGE, &fn);
  call_hook(&fn, words::word[words::w::on_deep_change_star], locals, args, 7);
}

cell* eval_path(cell* parent, const cell* element_in, const cell* value, const cell* path, const cell*,
                const cell*, int32_t, bool, bool, bool tail, bool notify) {
  cell* element = const_cast<cell*>(element_in);
  uint32_t t = type_of(element);
  if (t < TYPE_WORD || t > TYPE_GET_WORD) error::fire(err::cat_script, err::script::invalid_path, element, path);
  uint32_t ctx = parent->w1;
  collector::root_node keep_ctx(ctx);
  auto missing = [&]() -> cell* {
    if (tail && notify) return &(path_unset = cell{TYPE_UNSET, 0, 0, 0});
    error::fire(err::cat_script, notify ? err::script::invalid_path : err::script::unset_path, element, path);
  };
  if (value) {
    int32_t found = bind_field(ctx, element);
    if (found < 0) return missing();
    uint32_t at = uint32_t(found);
    cell object = *parent, v = *value, w = *element;
    collector::root_cells keep(&object), keep_v(&v), keep_w(&w);
    if (!object.w3) {
      context::set_in(&w, &v, ctx, false);
      return context::value_at(ctx, at);
    }
    cell* old = stack::push(context::value_at(ctx, at));
    context::set_in(&w, &v, ctx, false);
    cell saved = *old;
    collector::root_cells keep_old(&saved);
    stack::pop(1);
    fire_on_set(&object, &w, &saved, &v);
    return context::value_at(ctx, at);
  }
  cell* v = field_value(ctx, element);
  return v ? v : missing();
}

cell* set_many(cell* object_in, const cell* value_in, bool any, bool only, bool some) {
  cell object = *object_in, value = *value_in;
  collector::root_cells keep(&object), keep_value(&value);
  uint32_t ctx = object.w1, n = count_words(&object);
  collector::root_node keep_ctx(ctx);
  int32_t hooks[2] = {-1, -1};
  if (object.w3) {
    hooks[0] = index_of(entry_of(object.w3, ON_CHANGE));
    hooks[1] = index_of(entry_of(object.w3, ON_DEEP_CHANGE));
  }
  bool spread = !only && (type_of(&value) == TYPE_BLOCK || type_of(&value) == TYPE_OBJECT);
  // The source value for each field, or nothing (the field is left alone).
  std::vector<cell> sources(n, value);
  std::vector<bool> given(n, true);
  if (spread && type_of(&value) == TYPE_BLOCK) {
    int32_t len = block::ks_length_q(&value);
    for (uint32_t i = 0; i < n; ++i) {
      if (int32_t(i) < len) sources[i] = block::ks_head(&value)[i];
      else none::make_at(&sources[i]);
      sources[i].header &= ~FLAG_NEW_LINE;
    }
  } else if (spread) {
    for (uint32_t i = 0; i < n; ++i) {
      int32_t at = find_index(&value, context::word_at(ctx, i)->w2);
      given[i] = at >= 0;
      if (at >= 0) sources[i] = *context::value_at(value.w1, uint32_t(at));
    }
  }
  collector::root_cells keep_sources(sources.data(), n);
  if (!only && !some && !any)
    for (uint32_t i = 0; i < n; ++i)
      if (given[i] && type_of(&sources[i]) == TYPE_UNSET) {
        cell w = *context::word_at(ctx, i);
        error::fire(err::cat_script, err::script::need_value, &w);
      }
  for (uint32_t i = 0; i < n; ++i) {
    if (!given[i] || (some && type_of(&sources[i]) == TYPE_NONE)) continue;
    if (object.w3 && (int32_t(i) == hooks[0] || int32_t(i) == hooks[1])) continue;
    context::word_at(ctx, i)->header |= FLAG_WORD_CHANGED;
    if (!object.w3) {
      *context::value_at(ctx, i) = sources[i];
      continue;
    }
    cell old = *context::value_at(ctx, i), w = *context::word_at(ctx, i);
    collector::root_cells hold(&old), hold_w(&w);
    *context::value_at(ctx, i) = sources[i];
    fire_on_set(&object, &w, &old, &sources[i]);
  }
  *object_in = value;
  return object_in;
}

namespace {

void on_set_from_context(cell* owner, const cell* word, const cell* old_value, const cell* new_value) {
  if (type_of(owner) == TYPE_OBJECT) fire_on_set(owner, word, old_value, new_value);
}

void on_deep_change_from_ownership(const cell* owner, const cell* word, const cell* target, ownership::change action,
                                   const cell* value, int32_t index, int32_t part) {
  cell o = *owner, w = *word, t = *target, v{TYPE_NONE, 0, 0, 0};
  if (value) v = *value;
  collector::root_cells keep(&o), keep_w(&w), keep_t(&t), keep_v(&v);
  cell action_word;
  word::make_at(symbol::make(ownership::word_of(action)), &action_word);
  collector::root_cells keep_a(&action_word);
  fire_on_deep_change(&o, &w, &t, &action_word, value ? &v : nullptr, index, part);
}

}  // namespace

void install_layer_hooks() {
  context::set_on_set_hook(on_set_from_context);
  ownership::set_hook(on_deep_change_from_ownership);
}

}  // namespace kez::object
