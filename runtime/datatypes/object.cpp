#include "runtime/datatypes/object.h"
#include "runtime/datatypes/typeset.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "runtime/collector.h"
#include "runtime/core_ops.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/word.h"
#include "runtime/interpreter.h"
#include "runtime/memory.h"
#include "runtime/ownership.h"
#include "runtime/stack.h"
#include "runtime/words.h"

namespace kez::object {

namespace {

void eval_block(cell* block) {
  if (uint32_t status = interpreter::eval(block, false)) interpreter::raise_status(status);
}
void call_hook_function(const cell* function, uint32_t ctx, const cell*) {
  if (uint32_t status = interpreter::call_function(function, ctx)) interpreter::raise_status(status);
}

}  // namespace

evaluator_services evaluator = {eval_block, call_hook_function};

namespace {

uint32_t class_counter = FIRST_CLASS_ID;
cell shared_none{TYPE_NONE, 0, 0, 0};


uint32_t values_of(uint32_t ctx) { return context::cell_of(ctx)->w2; }
uint32_t value_count(uint32_t ctx) { return memory::buffer_of(values_of(ctx))->used() / sizeof(cell); }

// Series types whose values an object's deep copy duplicates.
bool deep_copied_q(uint32_t t) {
  switch (t) {
    case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH: case TYPE_PATH: case TYPE_LIT_PATH: case TYPE_SET_PATH:
    case TYPE_GET_PATH: case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL:
    case TYPE_REF: case TYPE_VECTOR: case TYPE_BINARY: case TYPE_IMAGE:
      return true;
    default:
      return false;
  }
}
bool bindable_q(uint32_t t) {
  return t == TYPE_BLOCK || t == TYPE_PAREN || t == TYPE_HASH || (t >= TYPE_PATH && t <= TYPE_GET_PATH);
}

// Appends `n` value cells to a context's values series.
void append_values(uint32_t ctx, const cell* from, uint32_t n) {
  if (!n) return;
  std::vector<cell> copies(from, from + n);
  collector::root_cells keep(copies.data(), n);
  collector::root_node keep_ctx(ctx);
  auto* to = reinterpret_cast<cell*>(series::make_room(memory::buffer_of(values_of(ctx)), n * sizeof(cell)));
  std::copy(copies.begin(), copies.end(), to);
}

// Replaces the value at index by its deep copy, bound to ctx when bindable.
void deep_copy_value(uint32_t ctx, uint32_t index, bool bind) {
  cell v = *context::value_at(ctx, index);
  uint32_t line = v.header & FLAG_NEW_LINE;
  collector::root_cells keep(&v);
  collector::root_node keep_ctx(ctx);
  actions::copy_dispatch(&v, &v, nullptr, true, nullptr);
  if (bind && bindable_q(type_of(&v))) context::bind(&v, ctx, true);
  v.header |= line;
  *context::value_at(ctx, index) = v;
}

}  // namespace

uint32_t new_class_id() { return ++class_counter; }
void reset_class_ids() { class_counter = FIRST_CLASS_ID; }

cell* push(uint32_t ctx, uint32_t class_id, uint32_t hooks) {
  cell* o = stack::push_cell();
  *o = cell{TYPE_OBJECT, ctx, class_id, hooks};
  *context::owner_of(ctx) = *o;
  return o;
}

cell* extend(uint32_t ctx, uint32_t class_id) {
  collector::root_node keep(ctx);
  uint32_t words = context::length_of(ctx), values = value_count(ctx);
  if (values == 0 && words > 0) {
    std::vector<cell> unsets(words, cell{TYPE_UNSET, 0, 0, 0});
    append_values(ctx, unsets.data(), words);
  }
  return push(ctx, class_id, 0);
}

cell* make_empty_at(cell* target, uint32_t size) {
  uint32_t ctx = context::create(size, false, true, 0, context::KIND_OBJECT);
  *target = cell{TYPE_OBJECT, ctx, 0, 0};
  *context::owner_of(ctx) = *target;
  return target;
}

cell* get_word_at(uint32_t ctx, uint32_t index) { return context::word_at(ctx, index); }
cell* get_values(const cell* object) { return context::value_at(object->w1, 0); }
uint32_t count_words(const cell* object) { return context::length_of(object->w1); }
int32_t find_index(const cell* object, uint32_t symbol) { return context::find_word(object->w1, symbol, true); }

cell* ks_select(const cell* object, const cell* word) {
  int32_t i = find_index(object, word->w2);
  if (i < 0) return &(shared_none = cell{TYPE_NONE, 0, 0, 0});
  return context::value_at(object->w1, uint32_t(i));
}

bool word_refers_q(const cell* word, uint32_t class_id) {
  const cell* v = context::get(word);
  return type_of(v) == TYPE_OBJECT && v->w2 == class_id;
}

bool field_is_object_q(uint32_t ctx, uint32_t index, uint32_t class_id) {
  const cell* v = context::value_at(ctx, index);
  return v && type_of(v) == TYPE_OBJECT && v->w2 == class_id;
}

void clear_line_flags(uint32_t values_node) {
  series_buffer* b = memory::buffer_of(values_node);
  for (cell *c = b->head_cell(), *end = b->tail_cell(); c < end; ++c) c->header &= ~FLAG_NEW_LINE;
}

void copy_fields_by_name(const cell* source_in, cell* target) {
  cell source = *source_in;
  collector::root_cells keep(&source), keep_target(target);
  for (uint32_t i = 0, n = count_words(&source); i < n; ++i) {
    int32_t at = find_index(target, context::word_at(source.w1, i)->w2);
    if (at < 0) continue;
    cell v = *context::value_at(source.w1, i);
    collector::root_cells hold(&v);
    if (deep_copied_q(type_of(&v))) actions::copy_dispatch(&v, &v, nullptr, true, nullptr);
    *context::value_at(target->w1, uint32_t(at)) = v;
  }
}

void copy_function(cell* field, const cell* target) {
  cell f = *field;
  cell* body = function::extras_at(&f, function::EX_BODY);
  if (type_of(body) != TYPE_BLOCK) error::fire(err::cat_script, err::script::bad_func_def, &f);
  cell tgt = *target, copy = *body;
  collector::root_cells keep(&f), keep_target(&tgt), keep_copy(&copy);
  cell holder = f;
  collector::root_cells keep_holder(&holder);
  uint32_t ctx = context::clone(&holder, context::KIND_FUNCTION);
  collector::root_node keep_ctx(ctx);
  block::clone(&copy, &copy, true, true);
  context::bind(&copy, tgt.w1, true);
  context::bind(&copy, ctx, false);
  cell spec{TYPE_BLOCK, 0, f.w2, 0};
  collector::root_cells keep_spec(&spec);
  function::push(&spec, &copy, ctx, 0, 0, f.header & ~FLAG_TYPE_MASK);
  cell* made = stack::top_cell();
  // push keeps a supplied context's body unbound: the copy is bound above.
  *function::extras_at(made, function::EX_BODY) = copy;
  unset::make_at(function::extras_at(made, function::EX_ENTRY));
  // The copy takes the arguments its context was made for.
  interpreter::make_arguments(&f);
  *function::extras_at(made, function::EX_ARGUMENTS) = *function::extras_at(&f, function::EX_ARGUMENTS);
  *field = *made;
  stack::pop(1);
}

cell* copy_into(const cell* source_in, cell* target, bool deep, const cell* types_in, bool rebuild) {
  cell source = *source_in, types{};
  unset::make_at(&types);
  if (types_in) types = *types_in;
  collector::root_cells keep(&source), keep_types(&types);
  uint32_t n = count_words(&source);
  cell holder = source;
  collector::root_cells keep_holder(&holder);
  uint32_t ctx = context::clone(&holder, context::KIND_OBJECT);
  collector::root_node keep_ctx(ctx);
  std::vector<cell> values(context::value_at(source.w1, 0), context::value_at(source.w1, 0) + n);
  append_values(ctx, values.data(), n);
  *target = cell{source.header & FLAG_TYPE_MASK, ctx, source.w2, rebuild ? 0 : source.w3};
  *context::owner_of(ctx) = *target;
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t t = type_of(context::value_at(ctx, i));
    if (t == TYPE_FUNCTION) {
      cell owner = *target;
      collector::root_cells hold(&owner);
      cell field = *context::value_at(ctx, i);
      collector::root_cells hold_field(&field);
      copy_function(&field, &owner);
      *context::value_at(ctx, i) = field;
    } else if (deep && !types_in && deep_copied_q(t) && t != TYPE_HASH && t != TYPE_VECTOR && t != TYPE_BINARY &&
               t != TYPE_IMAGE) {
      deep_copy_value(ctx, i, false);
    }
  }
  if (types_in) {
    cycles::scope guard;
    if (deep) {
      if (cycles::find_q(source.w1)) {
        cycles::reset();
        error::fire(err::cat_internal, err::internal::no_cycle);
      }
      cycles::push(source.w1);
    }
    for (uint32_t i = 0; i < n; ++i) {
      cell v = *context::value_at(ctx, i);
      uint32_t t = type_of(&v);
      if (!(deep_copied_q(t) || t == TYPE_OBJECT) || !typeset::has_q(&types, t)) continue;
      collector::root_cells hold(&v);
      actions::copy_dispatch(&v, &v, nullptr, deep, &types);
      *context::value_at(ctx, i) = v;
    }
  }
  if (rebuild) rebuild_hooks(target);
  return target;
}

}  // namespace kez::object

namespace kez::object {

namespace {

uint32_t canon2(uint32_t symbol) { return symbol::resolve(symbol); }
bool sym_q(uint32_t symbol, uint32_t slot) { return canon2(symbol) == canon2(words::symbols[slot]); }

// Replaces each function! value by a copy bound to the object, and with
// `series` each series value by its deep copy.
void renew_values(cell* object, bool series, bool bind) {
  uint32_t ctx = object->w1;
  collector::root_node keep(ctx);
  for (uint32_t i = 0, n = count_words(object); i < n; ++i) {
    uint32_t t = type_of(context::value_at(ctx, i));
    if (t == TYPE_FUNCTION) {
      cell field = *context::value_at(ctx, i);
      collector::root_cells hold(&field);
      copy_function(&field, object);
      *context::value_at(ctx, i) = field;
    } else if (series && deep_copied_q(t) && t != TYPE_HASH && t != TYPE_VECTOR && t != TYPE_IMAGE) {
      deep_copy_value(ctx, i, bind);
    }
  }
}

int32_t literal(cell* buffer, const char* text, int32_t part) {
  string::concatenate_literal(buffer, text);
  return part - int32_t(std::strlen(text));
}

bool word_type_q(uint32_t t) { return t >= TYPE_WORD && t <= TYPE_ISSUE; }
bool number_type_q(uint32_t t) { return t == TYPE_INTEGER || t == TYPE_FLOAT || t == TYPE_PERCENT; }

}  // namespace

cell* make(cell* proto, const cell* spec_in, uint32_t) {
  cell spec = *spec_in, source = *proto;
  collector::root_cells keep(&spec), keep_source(&source);
  cell* r = stack::push_cell();
  unset::make_at(r);
  bool from_object = type_of(&source) == TYPE_OBJECT;
  if (from_object) copy_into(&source, r, true, nullptr, false);
  else make_empty_at(r, 4);
  uint32_t class_id = from_object ? source.w2 : 0;
  bool added = false;
  if (type_of(&spec) == TYPE_OBJECT) {
    for (uint32_t i = 0, n = count_words(&spec); i < n; ++i) {
      cell w = *context::word_at(spec.w1, i);
      collector::root_cells hold(&w);
      int32_t at = find_index(r, w.w2);
      if (at < 0) {
        at = context::add_word(r->w1, &w);
        added = true;
      }
      *context::value_at(r->w1, uint32_t(at)) = *context::value_at(spec.w1, i);
    }
    renew_values(r, true, false);
    if (added || !from_object) class_id = new_class_id();
  } else if (type_of(&spec) == TYPE_BLOCK) {
    added = context::add_set_words(r->w1, &spec);
    context::bind(&spec, r->w1, true);
    if (from_object) {
      for (uint32_t i = 0, n = count_words(&source); i < n; ++i) {
        cell* v = context::value_at(r->w1, i);
        if (bindable_q(type_of(v))) {
          cell b = *v;
          collector::root_cells hold(&b);
          context::bind(&b, r->w1, true);
        }
      }
    }
    if (!evaluator.eval) error::fire(err::cat_internal, err::internal::feature_na);
    cell* saved_top = stack::top;
    evaluator.eval(&spec);
    stack::top = saved_top;
    for (uint32_t i = 0, n = count_words(r); i < n; ++i) context::word_at(r->w1, i)->header &= ~FLAG_WORD_CHANGED;
    clear_line_flags(values_of(r->w1));
    if (added || !from_object) class_id = new_class_id();
  } else {
    error::fire(err::cat_syntax, err::syntax::malconstruct, &spec);
  }
  r->w2 = class_id;
  *context::owner_of(r->w1) = *r;
  rebuild_hooks(r);
  *proto = *r;
  stack::pop(1);
  return proto;
}

cell* construct(const cell* spec_in, const cell* proto, bool only, uint32_t class_id) {
  cell spec = *spec_in;
  collector::root_cells keep(&spec);
  cell* r = stack::push_cell();
  unset::make_at(r);
  if (proto) {
    cell p = *proto;
    collector::root_cells hold(&p);
    copy_into(&p, r, true, nullptr, true);
  } else {
    make_empty_at(r, 4);
    r->w2 = class_id ? class_id : new_class_id();
    *context::owner_of(r->w1) = *r;
  }
  int32_t n = block::ks_length_q(&spec);
  for (int32_t i = 0; i < n; ++i) {
    if (type_of(block::ks_head(&spec) + i) != TYPE_SET_WORD) continue;
    int32_t j = i;
    while (j < n && type_of(block::ks_head(&spec) + j) == TYPE_SET_WORD) ++j;
    cell value;
    if (j < n) value = block::ks_head(&spec)[j];
    else none::make_at(&value);
    if (!only && type_of(&value) == TYPE_WORD) {
      uint32_t s = value.w2;
      if (sym_q(s, words::sym::true_) || sym_q(s, words::sym::yes) || sym_q(s, words::sym::on)) logic::make_at(&value, true);
      else if (sym_q(s, words::sym::false_) || sym_q(s, words::sym::no) || sym_q(s, words::sym::off)) logic::make_at(&value, false);
      else if (sym_q(s, words::sym::none)) none::make_at(&value);
    }
    value.header &= ~FLAG_NEW_LINE;
    collector::root_cells hold(&value);
    for (int32_t k = i; k < j; ++k) {
      cell w = block::ks_head(&spec)[k];
      collector::root_cells hold_word(&w);
      int32_t at = context::add_word(r->w1, &w);
      *context::value_at(r->w1, uint32_t(at)) = value;
    }
    i = j;
  }
  *context::owner_of(r->w1) = *r;
  return r;
}

cell* reflect(cell* value, uint32_t field) {
  cell o = *value;
  collector::root_cells keep(&o);
  uint32_t ctx = o.w1, n = count_words(&o);
  collector::root_node keep_ctx(ctx);
  cell result;
  unset::make_at(&result);
  collector::root_cells keep_result(&result);
  auto bound_word = [&](uint32_t i, uint32_t type) {
    cell w = *context::word_at(ctx, i);
    w.header = type;
    w.w1 = ctx;
    w.w3 = i;
    return w;
  };
  if (sym_q(field, words::sym::class_)) {
    integer::make_at(&result, int32_t(o.w2));
  } else if (sym_q(field, words::sym::owner)) {
    logic::make_at(&result, context::cell_of(ctx)->header & FLAG_OWNER);
  } else if (sym_q(field, words::sym::events_q)) {
    logic::make_at(&result, o.w3 != 0);
  } else if (canon2(field) == canon2(words::word[words::w::changed]->w2) || sym_q(field, words::sym::words)) {
    bool changed = !sym_q(field, words::sym::words);
    block::make_at(&result, int32_t(n));
    for (uint32_t i = 0; i < n; ++i) {
      if (changed && !(context::word_at(ctx, i)->header & FLAG_WORD_CHANGED)) continue;
      cell w = bound_word(i, TYPE_WORD);
      block::ks_append(&result, &w);
    }
  } else if (sym_q(field, words::sym::values)) {
    block::make_at(&result, int32_t(n));
    for (uint32_t i = 0; i < n; ++i) block::ks_append(&result, context::value_at(ctx, i));
  } else if (sym_q(field, words::sym::body)) {
    block::make_at(&result, int32_t(2 * n));
    for (uint32_t i = 0; i < n; ++i) {
      cell w = bound_word(i, uint32_t(TYPE_SET_WORD) | FLAG_NEW_LINE);
      block::ks_append(&result, &w);
      cell v = *context::value_at(ctx, i);
      if (type_of(&v) == TYPE_WORD) set_cell_type(&v, TYPE_LIT_WORD);
      else if (type_of(&v) == TYPE_PATH) set_cell_type(&v, TYPE_LIT_PATH);
      v.header &= ~FLAG_NEW_LINE;
      block::ks_append(&result, &v);
    }
  } else {
    error::fire(err::cat_internal, err::internal::not_done);
  }
  *value = result;
  return value;
}

int32_t serialize(const cell* object, cell* buffer, bool only, bool all, bool flat, bool indent, int32_t level,
                  bool newline, int32_t part) {
  cell o = *object;
  collector::root_cells keep(&o);
  uint32_t n = count_words(&o);
  if (n == 0) return part;
  if (flat) indent = false;
  const char* sep = flat ? " " : "\n";
  if (newline && !flat) {
    if (only) indent = false;
    else part = literal(buffer, "\n", part);
  }
  cycles::scope guard;
  cycles::push(o.w1);
  uint32_t on_change = canon2(words::word[words::w::on_change_star]->w2);
  uint32_t on_deep = canon2(words::word[words::w::on_deep_change_star]->w2);
  auto shown = [&](uint32_t i) {
    uint32_t s = canon2(context::word_at(o.w1, i)->w2);
    return all || (s != on_change && s != on_deep);
  };
  uint32_t last = n;  // the last pair written: no separator after it unless indenting
  while (last > 0 && !shown(last - 1)) --last;
  for (uint32_t i = 0; i < n && part > 0; ++i) {
    if (!shown(i)) continue;
    if (indent) part = mold::indent(buffer, level, part);
    cell w = *context::word_at(o.w1, i);
    w.header = TYPE_WORD;
    part = actions::mold_dispatch(&w, buffer, false, all, flat, nullptr, part, level);
    part = literal(buffer, ": ", part);
    cell v = *context::value_at(o.w1, i);
    if (v.header == 0) unset::make_at(&v);
    v.header &= ~FLAG_NEW_LINE;
    collector::root_cells hold(&v);
    if (type_of(&v) == TYPE_WORD) part = literal(buffer, "'", part);
    part = actions::mold_dispatch(&v, buffer, false, all, flat, nullptr, part, level);
    if (indent || i + 1 < last) part = literal(buffer, sep, part);
  }
  return part;
}

int32_t form(const cell* value, cell* buffer, const cell*, int32_t part) {
  if (cycles::detect_q(value, buffer, part, false)) return part;
  return serialize(value, buffer, false, false, false, false, 0, false, part);
}

int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell*, int32_t part,
             int32_t indent) {
  if (cycles::detect_q(value, buffer, part, true)) return part;
  if (!only) part = literal(buffer, "make object! [", part);
  part = serialize(value, buffer, only, all, flat, true, indent + 1, true, part);
  if (!flat && indent >= 1) part = mold::indent(buffer, indent, part);
  if (!only) part = literal(buffer, "]", part);
  return part;
}

int32_t compare(const cell* value1, const cell* value2, int32_t op) {
  if (type_of(value2) != TYPE_OBJECT) return -2;
  if (value1->w1 == value2->w1) return 0;
  if (op == COMP_SAME) return -1;
  if (cycles::find_q(value1->w1)) return cycles::find_q(value2->w1) ? 0 : -1;
  uint32_t n1 = count_words(value1), n2 = count_words(value2);
  if (n1 != n2) return n1 > n2 ? 1 : -1;
  if (n1 == 0) return 0;
  cell a = *value1, b = *value2;
  collector::root_cells keep_a(&a), keep_b(&b);
  cycles::scope guard;
  cycles::push(a.w1);
  cycles::push(b.w1);
  for (uint32_t i = 0; i < n1; ++i) {
    uint32_t s1 = canon2(context::word_at(a.w1, i)->w2), s2 = canon2(context::word_at(b.w1, i)->w2);
    if (s1 != s2) return s1 < s2 ? -1 : 1;
    cell v1 = *context::value_at(a.w1, i), v2 = *context::value_at(b.w1, i);
    collector::root_cells hold1(&v1), hold2(&v2);
    uint32_t t1 = type_of(&v1), t2 = type_of(&v2);
    int32_t r;
    if (t1 == t2 || (word_type_q(t1) && word_type_q(t2)) || (number_type_q(t1) && number_type_q(t2)))
      r = actions::compare_value(&v1, &v2, op);
    else
      r = t1 < t2 ? -1 : 1;
    if (r != 0) return r;
  }
  return 0;
}

cell* copy(cell* value, cell* result, const cell* part, bool deep, const cell* types) {
  if (part) {
    cell p = *part;
    error::fire(err::cat_script, err::script::invalid_refine_arg, words::refinements[words::ref::part], &p);
  }
  cell source = *value;
  collector::root_cells keep(&source);
  cell target;
  unset::make_at(&target);
  collector::root_cells keep_target(&target);
  copy_into(&source, &target, deep, types, true);
  *result = target;
  return result;
}

cell* select(cell* object, const cell* value, const find_options&) {
  if (!(type_of(value) >= TYPE_WORD && type_of(value) <= TYPE_GET_WORD)) {
    cell kind;
    datatype::make_at(&kind, type_of(value));
    error::fire(err::cat_script, err::script::invalid_type, &kind);
  }
  *object = *ks_select(object, value);
  return object;
}

cell* put(cell* object, const cell* key, const cell* value, bool) {
  if (type_of(key) != TYPE_WORD) {
    cell kind;
    datatype::make_at(&kind, type_of(key));
    error::fire(err::cat_script, err::script::invalid_key_type, &kind);
  }
  cell k = *key, v = *value, o = *object;
  collector::root_cells keep(&k), keep_v(&v), keep_o(&o);
  eval_path(&o, &k, &v, &k, nullptr, nullptr, 0, false, false, false, false);
  *object = v;
  return object;
}

cell* modify(cell* target, const cell* field, const cell* value, bool) {
  cell o = *target, v = *value;
  collector::root_cells keep(&o), keep_v(&v);
  uint32_t f = canon2(field->w2);
  if (f == canon2(words::word[words::w::changed]->w2)) {
    if (type_of(&v) != TYPE_NONE) error::fire(err::cat_script, err::script::invalid_arg, &v);
    for (uint32_t i = 0, n = count_words(&o); i < n; ++i) context::word_at(o.w1, i)->header &= ~FLAG_WORD_CHANGED;
  } else if (f == canon2(words::symbols[words::sym::owner])) {
    own_fields(&o);
  } else if (f == canon2(words::symbols[words::sym::owned])) {
    if (type_of(&v) == TYPE_NONE) {
      ownership::unbind(&o);
    } else if (type_of(&v) == TYPE_BLOCK && block::ks_length_q(&v) >= 2) {
      cell owner = block::ks_head(&v)[0], word = block::ks_head(&v)[1];
      collector::root_cells hold(&owner), hold_word(&word);
      if (type_of(&owner) == TYPE_OBJECT) own_fields(&o, &owner, &word);
    }
  }
  *target = v;
  return target;
}

void init() {
  datatype::registration(TYPE_OBJECT, 0, "object!")
      .set<ACT_MAKE>(make)
      .set<ACT_REFLECT>(reflect)
      .set<ACT_FORM>(form)
      .set<ACT_MOLD>(mold)
      .set<ACT_EVAL_PATH>(eval_path)
      .set<ACT_COMPARE>(compare)
      .set<ACT_COPY>(copy)
      .set<ACT_PUT>(put)
      .set<ACT_SELECT>(select)
      .set<ACT_MODIFY>(modify)
      .commit();
  install_layer_hooks();
}

}  // namespace kez::object
