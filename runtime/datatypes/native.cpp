#include "runtime/datatypes/native.h"

#include <cstring>

#include "runtime/actions.h"
#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/unset.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/words.h"

namespace kez::native {

namespace {

uint32_t canon(uint32_t symbol) { return symbol::resolve(symbol); }

// make native! and make action!: [spec index] with the index in 1..limit.
cell* make_from_table(cell* proto, const cell* spec, uint32_t type, int32_t limit) {
  bool ok = false;
  if (type_of(spec) == TYPE_BLOCK && block::ks_length_q(spec) == 2) {
    const cell* head = memory::buffer_of(spec->w2)->head_cell() + spec->w1;
    int32_t index = int32_t(head[1].w2);
    ok = type_of(head) == TYPE_BLOCK && type_of(head + 1) == TYPE_INTEGER && index >= 1 && index <= limit;
  }
  if (!ok) error::fire(err::cat_script, err::script::bad_make_arg, proto, spec);
  const cell* head = memory::buffer_of(spec->w2)->head_cell() + spec->w1;
  cell fspec = head[0];
  uint32_t index = head[1].w2;
  collector::root_cells keep(&fspec);
  push(type, &fspec, index);
  *proto = *stack::top_cell();
  stack::pop(1);
  return proto;
}

int32_t literal(cell* buffer, const char* text, int32_t part) {
  string::concatenate_literal(buffer, text);
  return part - int32_t(std::strlen(text));
}

int32_t mold_spec_in(const char* opening, const cell* value, cell* buffer, bool all, bool flat, const cell* arg,
                     int32_t part, int32_t indent) {
  cell spec{TYPE_BLOCK, 0, value->w2, 0};
  collector::root_cells keep(&spec);
  part = literal(buffer, opening, part);
  part = block::mold(&spec, buffer, false, all, flat, arg, part, indent);
  return literal(buffer, "]", part);
}

}  // namespace

cell* push(uint32_t type, const cell* spec_in, uint32_t index) {
  cell spec = *spec_in;
  collector::root_cells keep(&spec);
  spec.w1 = 0;
  cell extras;
  block::make_at(&extras, 2);
  collector::root_cells keep_extras(&extras);
  uint32_t ctx = context::make_from_spec(&spec, true, false, context::KIND_FUNCTION);
  block::ks_append(&extras, context::cell_of(ctx));
  none::make_at(block::alloc_tail(&extras));
  cell* n = stack::push_cell();
  *n = cell{type, index, spec.w2, extras.w2};
  return n;
}

cell* make(cell* proto, const cell* spec, uint32_t) { return make_from_table(proto, spec, TYPE_NATIVE, TABLE_SIZE); }

cell* reflect(cell* value, uint32_t field) {
  if (canon(field) == canon(words::symbols[words::sym::spec])) {
    *value = cell{TYPE_BLOCK, 0, value->w2, 0};
    return value;
  }
  if (canon(field) == canon(words::symbols[words::sym::body])) {
    uint32_t from = type_of(value) == TYPE_OP ? op::source_type(value) : type_of(value);
    if (from == TYPE_FUNCTION || from == TYPE_ROUTINE) *value = *function::extras_at(value, function::EX_BODY);
    else integer::make_at(value, int32_t(value->w1));
    return value;
  }
  error::fire(err::cat_internal, err::internal::not_done);
}

int32_t form(const cell*, cell* buffer, const cell*, int32_t part) { return literal(buffer, "?native?", part); }

int32_t mold(const cell* value, cell* buffer, bool, bool all, bool flat, const cell* arg, int32_t part,
             int32_t indent) {
  return mold_spec_in("make native! [", value, buffer, all, flat, arg, part, indent);
}

int32_t compare(const cell* value1, const cell* value2, int32_t op) {
  return function::compare_by_word(TYPE_NATIVE, value1, value2, op, 1);
}

void init() {
  datatype::registration(TYPE_NATIVE, 0, "native!")
      .set<ACT_MAKE>(make)
      .set<ACT_REFLECT>(reflect)
      .set<ACT_FORM>(form)
      .set<ACT_MOLD>(mold)
      .set<ACT_COMPARE>(compare)
      .commit();
}

}  // namespace kez::native

namespace kez::action_ {

cell* make(cell* proto, const cell* spec, uint32_t) {
  return native::make_from_table(proto, spec, TYPE_ACTION, int32_t(ACTION_COUNT));
}

int32_t form(const cell*, cell* buffer, const cell*, int32_t part) {
  return native::literal(buffer, "?action?", part);
}

int32_t mold(const cell* value, cell* buffer, bool, bool all, bool flat, const cell* arg, int32_t part,
             int32_t indent) {
  return native::mold_spec_in("make action! [", value, buffer, all, flat, arg, part, indent);
}

int32_t compare(const cell* value1, const cell* value2, int32_t op) {
  return function::compare_by_word(TYPE_ACTION, value1, value2, op, 1);
}

void init() {
  datatype::registration(TYPE_ACTION, TYPE_NATIVE, "action!")
      .set<ACT_MAKE>(make)
      .inherit(ACT_REFLECT)
      .set<ACT_FORM>(form)
      .set<ACT_MOLD>(mold)
      .set<ACT_COMPARE>(compare)
      .commit();
}

}  // namespace kez::action_

namespace kez::op {

bool two_args_q(const cell* spec) {
  series_buffer* b = memory::buffer_of(spec->w2);
  uint32_t local = symbol::resolve(words::refinements[words::ref::local]->w2);
  uint32_t extern_ = symbol::resolve(words::refinements[words::ref::extern_]->w2);
  int32_t count = 0;
  bool word_seen = false;
  for (cell *c = b->head_cell() + spec->w1, *end = b->tail_cell(); c < end; ++c) {
    switch (type_of(c)) {
      case TYPE_WORD:
        ++count;
        word_seen = true;
        break;
      case TYPE_LIT_WORD: case TYPE_GET_WORD:
        if (!word_seen) return false;
        ++count;
        break;
      case TYPE_SET_WORD:
        return count == 2;
      case TYPE_REFINEMENT: {
        uint32_t name = symbol::resolve(c->w2);
        return (name == local || name == extern_) && count == 2;
      }
      default:
        break;
    }
  }
  return count == 2;
}

cell* make(cell* proto, const cell* source, uint32_t) {
  uint32_t from = type_of(source);
  if (from != TYPE_NATIVE && from != TYPE_ACTION && from != TYPE_FUNCTION && from != TYPE_ROUTINE) {
    cell kind;
    datatype::make_at(&kind, from);
    error::fire(err::cat_script, err::script::invalid_type, &kind);
  }
  cell spec{TYPE_BLOCK, 0, source->w2, 0};
  if (!two_args_q(&spec)) error::fire(err::cat_script, err::script::bad_op_spec);
  cell result = *source;
  result.header = TYPE_OP | (from << 16);
  if (from == TYPE_FUNCTION || from == TYPE_ROUTINE) *function::extras_at(source, function::EX_OP) = *source;
  *proto = result;
  return proto;
}

int32_t form(const cell*, cell* buffer, const cell*, int32_t part) { return native::literal(buffer, "?op?", part); }

int32_t mold(const cell* value, cell* buffer, bool, bool all, bool flat, const cell* arg, int32_t part,
             int32_t indent) {
  cell v = *value;
  collector::root_cells keep(&v);
  bool func = source_type(&v) == TYPE_FUNCTION;
  part = native::literal(buffer, func ? "make op! func " : "make op! [", part);
  cell spec{TYPE_BLOCK, 0, v.w2, 0};
  collector::root_cells keep_spec(&spec);
  part = block::mold(&spec, buffer, false, all, flat, arg, part, indent);
  if (!func) return native::literal(buffer, "]", part);
  cell body = *function::extras_at(&v, function::EX_BODY);
  collector::root_cells keep_body(&body);
  if (type_of(&body) != TYPE_BLOCK) return part;
  return block::mold(&body, buffer, false, all, flat, arg, part, indent);
}

int32_t compare(const cell* value1, const cell* value2, int32_t op) {
  return function::compare_by_word(TYPE_OP, value1, value2, op, 1);
}

void init() {
  datatype::registration(TYPE_OP, TYPE_NATIVE, "op!")
      .set<ACT_MAKE>(make)
      .inherit(ACT_REFLECT)
      .set<ACT_FORM>(form)
      .set<ACT_MOLD>(mold)
      .set<ACT_COMPARE>(compare)
      .commit();
}

}  // namespace kez::op
