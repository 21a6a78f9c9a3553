#include "runtime/datatypes/word.h"

#include <algorithm>

#include "runtime/actions.h"
#include "runtime/collector.h"
#include "runtime/core_ops.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/stack.h"
#include "runtime/words.h"

namespace kez {

namespace {

// A bound word keeps its context alive; `self` (bound with index -1 to read
// the owner) keeps the whole context node, owner cell included.
void mark_word(cell* c) {
  if (!c->w1) return;
  if (c->w2 == words::symbols[words::sym::self]) collector::mark_block(&c->w1);
  else collector::mark_context(&c->w1);
}

cell* retyped(cell* c, uint32_t type) {
  set_cell_type(c, type);
  return c;
}

// A word loaded and retyped: the root copy itself while the root block is
// built, else a retyped copy on the data stack (the global word list's own
// cell stays a word!).
cell* load_as(const char* name, uint32_t type) {
  cell* w = word::load(name);
  if (root::building) return retyped(w, type);
  return retyped(stack::push(w), type);
}

cell* push_local_as(uint32_t ctx, uint32_t index, uint32_t type) {
  return retyped(word::push_local(ctx, index), type);
}

// A mold with a one-character prefix or suffix around the name.
int32_t mold_affixed(const cell* value, cell* buffer, const char* prefix, const char* suffix, int32_t part) {
  string::concatenate_literal(buffer, prefix);
  int32_t n = word::append_name(buffer, value->w2);
  string::concatenate_literal(buffer, suffix);
  return part - n - 1;
}

[[noreturn]] void bad_to(uint32_t type, const cell* value) {
  cell target;
  datatype::make_at(&target, type);
  error::fire(err::cat_script, err::script::bad_to_arg, &target, value);
}

bool word_or_kin_q(uint32_t t) { return t >= TYPE_WORD && t <= TYPE_GET_WORD; }

// A one-character string! on the data stack.
cell* char_text(int32_t cp) {
  cell* s = string::make_at(stack::push_cell(), 4);
  string::append_char(string::buffer_of(s), cp);
  return s;
}

}  // namespace

namespace word {

cell* load(const char* name) {
  uint32_t symbol = symbol::make(name);
  cell* w = context::add_global(symbol, true, true);
  if (root::building && !root::contains(w)) return root::append(w);
  return w;
}

cell* make_at(uint32_t symbol, cell* target) {
  int32_t index = context::add_symbol(context::global, symbol);
  target->header = TYPE_WORD;
  target->w1 = context::global;
  target->w2 = symbol;
  target->w3 = uint32_t(index);
  return target;
}

cell* make_in(cell* block, uint32_t symbol) {
  cell w{TYPE_WORD, 0, 0, 0};
  make_at(symbol, &w);
  collector::root_cells keep(&w);
  auto* c = reinterpret_cast<cell*>(series::make_room(memory::buffer_of(block->w2), sizeof(cell)));
  *c = w;
  return c;
}

cell* push_from_symbol(uint32_t symbol) {
  cell w{TYPE_WORD, 0, 0, 0};
  make_at(symbol, &w);
  return stack::push(&w);
}

cell* load_in(cell* block, const char* name) { return make_in(block, symbol::make(name)); }
cell* push(const cell* word) { return stack::push(word); }
cell* push_last(const cell* word) { return stack::set_last(word); }
cell* push_local(uint32_t ctx, uint32_t index) { return stack::push(context::word_at(ctx, index)); }
cell* at_index(uint32_t ctx, uint32_t index) { return context::word_at(ctx, index); }
cell* get_local_at(uint32_t ctx, uint32_t index) { return context::value_at(ctx, index); }

cell* get(const cell* word) {
  const cell* v = context::get(word);
  if (type_of(v) == TYPE_UNSET) error::fire(err::cat_script, err::script::no_value, word);
  return stack::push(v);
}

cell* get_local(uint32_t ctx, uint32_t index) { return stack::push(context::get_local(ctx, index)); }

cell* set_from_stack() {
  cell* args = stack::arguments;
  if (type_of(args + 1) == TYPE_UNSET) error::fire(err::cat_script, err::script::need_value, args);
  context::set(args, args + 1);
  return stack::set_last(args + 1);
}

namespace {

void mark_changed(uint32_t ctx, uint32_t index) {
  if (context::kind_of(ctx) == context::KIND_OBJECT) context::word_at(ctx, index)->header |= FLAG_WORD_CHANGED;
}

}  // namespace

void set_local(uint32_t ctx, uint32_t index) {
  cell taken = *stack::top_cell();
  stack::push(context::get_local(ctx, index));
  *context::get_local(ctx, index) = taken;
  mark_changed(ctx, index);
}

void set_in_from_top(uint32_t ctx, uint32_t index) {
  *context::get_local(ctx, index) = *stack::top_cell();
  mark_changed(ctx, index);
}

void set_from_top(const cell* word) {
  const cell* top = stack::top_cell();
  if (type_of(top) == TYPE_UNSET) error::fire(err::cat_script, err::script::need_value, word);
  cell w = *word;
  context::set(&w, top);
}

void set_from_top_reset(const cell* word) {
  set_from_top(word);
  stack::reset();
}

cell* get_checked(const cell* word) {
  cell* v = context::get(word);
  if (type_of(v) == TYPE_UNSET) error::fire(err::cat_script, err::script::no_value, word);
  return v;
}

cell* symbol_cell(const cell* word) { return symbol::get(word->w2); }

cell* push_name_string(const cell* word) {
  // A copy: the symbol's cached string is shared by every form of the word
  // and must not change under a caller that edits the result.
  uint32_t node = memory::copy_series(memory::buffer_of(symbol::get_string(word->w2)));
  cell s{TYPE_STRING, 0, node, 0};
  return stack::push(&s);
}

int32_t append_name(cell* buffer, uint32_t symbol) {
  cell name{TYPE_STRING, 0, symbol::get_string(symbol), 0};
  collector::root_cells keep(&name);
  string::concatenate(buffer, &name, -1, 0, true, string::CONCAT_APPEND);
  return string::ks_length_q(&name);
}

cell* make(cell* proto, const cell* spec, uint32_t type) {
  cell result;
  switch (type_of(spec)) {
    case TYPE_DATATYPE: {
      uint32_t symbol = datatype::name_symbol(datatype::get(spec));
      if (!symbol) bad_to(type, spec);
      make_at(symbol, &result);
      break;
    }
    case TYPE_LOGIC:
      make_at(words::symbols[spec->w1 ? words::sym::true_ : words::sym::false_], &result);
      break;
    case TYPE_STRING:
    case TYPE_CHAR: {
      cell* base = stack::top;
      cell* text = type_of(spec) == TYPE_CHAR ? char_text(int32_t(spec->w2)) : stack::push(spec);
      cell* loaded = load::value_from_string(text, stack::push(&none::value));
      if (!any_word_q(type_of(loaded))) error::fire(err::cat_script, err::script::invalid_chars, spec);
      result = *loaded;
      stack::top = base;
      break;
    }
    case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD:
      result = *spec;
      break;
    case TYPE_REFINEMENT:
    case TYPE_ISSUE: {
      cell* base = stack::top;
      cell* text = push_name_string(spec);
      cell* loaded = load::value_from_string(text, stack::push(&none::value));
      if (!word_or_kin_q(type_of(loaded))) bad_to(type, spec);
      result = *spec;
      context::bind_word(context::global, &result);
      stack::top = base;
      break;
    }
    default:
      bad_to(type, spec);
  }
  *proto = result;
  return retyped(proto, type);
}

int32_t form(const cell* value, cell* buffer, const cell*, int32_t part) { return part - append_name(buffer, value->w2); }

int32_t mold(const cell* value, cell* buffer, bool, bool, bool, const cell* arg, int32_t part, int32_t) {
  return form(value, buffer, arg, part);
}

int32_t compare(const cell* value1, const cell* value2, int32_t op) {
  uint32_t t1 = type_of(value1), t2 = type_of(value2);
  if (!any_word_q(t2) || (t2 == TYPE_ISSUE && t1 != TYPE_ISSUE)) return -2;
  uint32_t s1 = value1->w2, s2 = value2->w2;
  bool canonical = symbol::resolve(s1) == symbol::resolve(s2);
  bool word_and_lit = (t1 == TYPE_WORD && t2 == TYPE_LIT_WORD) || (t1 == TYPE_LIT_WORD && t2 == TYPE_WORD);
  switch (op) {
    case COMP_EQUAL: case COMP_NOT_EQUAL: case COMP_FIND: return canonical ? 0 : 1;
    case COMP_STRICT_EQUAL: return t1 == t2 && s1 == s2 ? 0 : 1;
    case COMP_SAME: return t1 == t2 && s1 == s2 && value1->w1 == value2->w1 ? 0 : 1;
    case COMP_STRICT_EQUAL_WORD: return (word_and_lit || t1 == t2) && s1 == s2 ? 0 : 1;
    case COMP_EQUAL_WORD: return (word_and_lit || t1 == t2) && canonical ? 0 : 1;
    default: return symbol::compare_names(s1, s2, op);
  }
}

cell* index_q(cell* value) {
  int32_t index = int32_t(value->w3);
  if (index < 0) *value = none::value;
  else *value = cell{TYPE_INTEGER, 0, uint32_t(index + 1), 0};
  return value;
}

void init() {
  for (uint32_t t = TYPE_WORD; t <= TYPE_REFINEMENT; ++t) collector::set_marker(t, mark_word);
  datatype::registration(TYPE_WORD, TYPE_SYMBOL, "word!")
      .set<ACT_MAKE>(make)
      .set<ACT_TO>(make)
      .set<ACT_FORM>(form)
      .set<ACT_MOLD>(mold)
      .set<ACT_COMPARE>(compare)
      .set<ACT_INDEX_Q>(index_q)
      .commit();
  datatype::registration(TYPE_LIT_WORD, TYPE_WORD, "lit-word!").inherit_all().set<ACT_MOLD>(lit_word::mold).commit();
  datatype::registration(TYPE_SET_WORD, TYPE_WORD, "set-word!").inherit_all().set<ACT_MOLD>(set_word::mold).commit();
  datatype::registration(TYPE_GET_WORD, TYPE_WORD, "get-word!").inherit_all().set<ACT_MOLD>(get_word::mold).commit();
  datatype::registration(TYPE_REFINEMENT, TYPE_WORD, "refinement!")
      .inherit_all()
      .set<ACT_MOLD>(refinement::mold)
      .unsupported(ACT_INDEX_Q)
      .commit();
  datatype::registration(TYPE_ISSUE, TYPE_WORD, "issue!")
      .inherit_all()
      .set<ACT_MAKE>(issue::make)
      .set<ACT_TO>(issue::make)
      .set<ACT_MOLD>(issue::mold)
      .set<ACT_COMPARE>(issue::compare)
      .unsupported(ACT_INDEX_Q)
      .commit();
  math::set_integer_converter(TYPE_ISSUE, issue::integer_of);
  binary::set_to_converter(TYPE_ISSUE, issue::to_binary);
}

}  // namespace word

namespace get_word {

cell* push_get(const cell* word) { return stack::push(context::get(word)); }

}  // namespace get_word

#define KEZ_WORD_TYPE_BODY(ns, type, prefix, suffix)                                                          \
  namespace ns {                                                                                             \
  cell* load(const char* name) { return load_as(name, type); }                                               \
  cell* push(const cell* word) { return retyped(stack::push(word), type); }                                  \
  cell* push_local(uint32_t ctx, uint32_t index) { return push_local_as(ctx, index, type); }                 \
  int32_t mold(const cell* value, cell* buffer, bool, bool, bool, const cell*, int32_t part, int32_t) {     \
    return mold_affixed(value, buffer, prefix, suffix, part);                                                \
  }                                                                                                          \
  }
KEZ_WORD_TYPE_BODY(set_word, TYPE_SET_WORD, "", ":")
KEZ_WORD_TYPE_BODY(lit_word, TYPE_LIT_WORD, "'", "")
KEZ_WORD_TYPE_BODY(get_word, TYPE_GET_WORD, ":", "")
KEZ_WORD_TYPE_BODY(refinement, TYPE_REFINEMENT, "/", "")
#undef KEZ_WORD_TYPE_BODY

namespace refinement {

cell* load_in(const char* name) {
  cell r{TYPE_REFINEMENT, 0, symbol::make(name), 0};
  return root::append(&r);
}

}  // namespace refinement

namespace issue {

cell* load_at(cell* target, const char* name) {
  uint32_t symbol = symbol::make(name);
  *target = cell{TYPE_ISSUE, context::global, symbol, uint32_t(-1)};
  return target;
}

cell* load_in(cell* block, const char* name) {
  cell i;
  load_at(&i, name);
  collector::root_cells keep(&i);
  auto* c = reinterpret_cast<cell*>(series::make_room(memory::buffer_of(block->w2), sizeof(cell)));
  *c = i;
  return c;
}

cell* load(const char* name) {
  cell i;
  load_at(&i, name);
  return root::building ? root::append(&i) : stack::push(&i);
}

cell* push(const cell* word) { return retyped(stack::push(word), TYPE_ISSUE); }

int32_t mold(const cell* value, cell* buffer, bool, bool, bool, const cell*, int32_t part, int32_t) {
  return mold_affixed(value, buffer, "#", "", part);
}

cell* make(cell* proto, const cell* spec, uint32_t type) {
  uint32_t t = type_of(spec);
  if (t == TYPE_STRING || t == TYPE_CHAR) {
    cell* base = stack::top;
    cell* text = t == TYPE_CHAR ? char_text(int32_t(spec->w2)) : stack::push(spec);
    uint32_t symbol = symbol::make_from_string(text);
    stack::top = base;
    *proto = cell{TYPE_ISSUE, context::global, symbol, uint32_t(-1)};
    return proto;
  }
  if (any_word_q(t)) {
    *proto = *spec;
    return retyped(proto, TYPE_ISSUE);
  }
  word::make(proto, spec, type);
  return retyped(proto, TYPE_ISSUE);
}

int32_t integer_of(const cell* issue) {
  uint32_t symbol = issue->w2;
  // The name's UTF-8 bytes are copied out before anything allocates; a byte
  // of a longer sequence is no digit. More than 8 digits is refused
  // whatever they are, so 9 are enough to tell.
  const char* name = symbol::get_c_string(symbol);
  int32_t n = std::min<int32_t>(int32_t(symbol::name_length(symbol)), 9);
  int32_t digits[9];
  for (int32_t i = 0; i < n; ++i) digits[i] = uint8_t(name[i]);
  cell culprit = *issue;
  return integer::from_hex(digits, n, &culprit);
}

int32_t compare(const cell* value1, const cell* value2, int32_t op) {
  if (type_of(value2) != TYPE_ISSUE) return -2;
  return word::compare(value1, value2, op);
}

cell* to_binary(cell* proto, const cell* spec) {
  uint32_t symbol = spec->w2;
  // The decoder reads the whole name before it allocates, so the name may
  // lie in the symbol table's movable buffer.
  const auto* name = reinterpret_cast<const uint8_t*>(symbol::get_c_string(symbol));
  if (!binary::decode_16(name, symbol::name_length(symbol), 1, proto)) {
    cell issue = *spec;
    error::fire(err::cat_script, err::script::invalid_data, &issue);
  }
  return proto;
}

}  // namespace issue

}  // namespace kez
