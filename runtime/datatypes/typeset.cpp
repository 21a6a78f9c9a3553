#include "runtime/datatypes/typeset.h"

#include <bit>

#include "runtime/collector.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/word.h"
#include "runtime/stack.h"

namespace kez::typeset {

namespace {

cell* append_to(cell* block, const cell& value) {
  cell copy = value;
  collector::root_cells keep(&copy);
  auto* c = reinterpret_cast<cell*>(series::make_room(memory::buffer_of(block->w2), sizeof(cell)));
  *c = copy;
  return c;
}

// The types named by the typeset, in id order.
template <class F>
void each_type(const cell* set, F f) {
  for (uint32_t t = 1, top = datatype::top_id(); t <= top && t < 96; ++t)
    if (has_q(set, t) && datatype::name_length(t) >= 0) f(t);
}

int32_t write(const cell* value, cell* buffer, bool only, const cell* arg, int32_t part) {
  if (!only) {
    string::concatenate_literal(buffer, "make typeset! [");
    part -= 15;
  }
  cell set = *value;  // the value may lie in a buffer that appending moves
  bool wrote = false;
  for (uint32_t t = 1, top = datatype::top_id(); t <= top && t < 96; ++t) {
    if (!has_q(&set, t) || datatype::name_length(t) < 0) continue;
    if (arg && part < 0) return part;
    string::concatenate_literal(buffer, datatype::name(t));
    string::concatenate_literal(buffer, " ");
    part -= datatype::name_length(t) + 2;
    wrote = true;
  }
  // Only a space written here is taken back: the buffer may hold earlier text.
  if (wrote) string::buffer_of(buffer)->tail -= string::buffer_of(buffer)->unit();
  if (only) return wrote ? part + 1 : part;
  string::concatenate_literal(buffer, "]");
  return part;
}

[[noreturn]] void invalid_arg(const cell* value) { error::fire(err::cat_script, err::script::invalid_arg, value); }

}  // namespace

cell* make_in(cell* block, uint32_t w1, uint32_t w2, uint32_t w3) {
  return append_to(block, cell{TYPE_TYPESET, w1, w2, w3});
}

cell* make_in_full(cell* block) {
  cell set{TYPE_TYPESET, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
  bytes_of(&set)[TYPE_UNSET >> 3] &= uint8_t(~(0x80 >> (TYPE_UNSET & 7)));
  return append_to(block, set);
}

cell* make_in_from_spec(cell* block, const cell* spec) {
  cell set{TYPE_TYPESET, 0, 0, 0};
  cell s = *spec;
  collector::root_cells keep(&s);
  for (int32_t i = int32_t(s.w1);; ++i) {
    series_buffer* b = memory::buffer_of(s.w2);
    cell* c = b->head_cell() + i;
    if (c >= b->tail_cell()) break;
    cell v = *c;
    if (type_of(&v) == TYPE_WORD) {
      cell* base = stack::top;
      v = *word::get(&v);
      stack::top = base;
    }
    switch (type_of(&v)) {
      case TYPE_DATATYPE: add_type(&set, datatype::get(&v)); break;
      case TYPE_TYPESET: set.w1 |= v.w1, set.w2 |= v.w2, set.w3 |= v.w3; break;
      case TYPE_WORD: add_type(&set, TYPE_OBJECT); break;
      case TYPE_BLOCK: break;
      default: error::fire(err::cat_script, err::script::invalid_type_spec, &v);
    }
  }
  return append_to(block, set);
}

void set_type(cell* set, const cell* value) {
  cell v = *value;
  if (type_of(&v) == TYPE_WORD) {
    cell* base = stack::top;
    v = *word::get(&v);
    stack::top = base;
  }
  switch (type_of(&v)) {
    case TYPE_TYPESET: set->w1 |= v.w1, set->w2 |= v.w2, set->w3 |= v.w3; break;
    case TYPE_DATATYPE: add_type(set, datatype::get(&v)); break;
    default: invalid_arg(&v);
  }
}

uint32_t count(const cell* set) {
  uint32_t n = 0;
  each_type(set, [&](uint32_t) { ++n; });
  return n;
}

void to_block(const cell* set, cell* target) {
  cell s = *set;
  cell block{TYPE_BLOCK, 0, memory::alloc_cells(count(&s)), 0};
  collector::root_cells keep(&block);
  each_type(&s, [&](uint32_t t) { word::make_in(&block, datatype::name_symbol(t)); });
  *target = block;
}

cell* push(const cell* set) { return stack::push(set); }
cell* push_last(const cell* set) { return stack::set_last(set); }

cell* make(cell* proto, const cell* spec, uint32_t) {
  switch (type_of(spec)) {
    case TYPE_TYPESET: *proto = *spec; return proto;
    case TYPE_BLOCK: {
      cell set{TYPE_TYPESET, 0, 0, 0};
      cell s = *spec;
      collector::root_cells keep(&s);
      for (int32_t i = int32_t(s.w1);; ++i) {
        series_buffer* b = memory::buffer_of(s.w2);
        cell* c = b->head_cell() + i;
        if (c >= b->tail_cell()) break;
        cell v = *c;
        set_type(&set, &v);
      }
      *proto = set;
      return proto;
    }
    default: {
      cell target;
      datatype::make_at(&target, TYPE_TYPESET);
      error::fire(err::cat_script, err::script::bad_to_arg, &target, spec);
    }
  }
}

int32_t form(const cell* value, cell* buffer, const cell* arg, int32_t part) {
  return write(value, buffer, false, arg, part);
}

int32_t mold(const cell* value, cell* buffer, bool only, bool, bool, const cell* arg, int32_t part, int32_t) {
  return write(value, buffer, only, arg, part);
}

int32_t compare(const cell* value1, const cell* value2, int32_t op) {
  if (type_of(value2) != TYPE_TYPESET) return -2;
  switch (op) {
    case COMP_EQUAL: case COMP_NOT_EQUAL: case COMP_STRICT_EQUAL: case COMP_SAME: case COMP_FIND:
      return value1->w1 == value2->w1 && value1->w2 == value2->w2 && value1->w3 == value2->w3 ? 0 : 1;
    case COMP_SORT: case COMP_CASE_SORT: {
      uint32_t a = count(value1), b = count(value2);
      return a == b ? 0 : a < b ? -1 : 1;
    }
    default: return -2;
  }
}

cell* do_bitwise(cell* value1, const cell* value2, int32_t op) {
  if (op == 8) return value1;
  cell other{TYPE_TYPESET, 0, 0, 0};
  switch (type_of(value2)) {
    case TYPE_TYPESET: other = *value2; break;
    case TYPE_DATATYPE: add_type(&other, datatype::get(value2)); break;
    default: invalid_arg(value2);
  }
  uint32_t* a = &value1->w1;
  const uint32_t* b = &other.w1;
  cell result{TYPE_TYPESET, 0, 0, 0};
  uint32_t* r = &result.w1;
  for (int i = 0; i < 3; ++i) {
    switch (op) {
      case 5: case 9: r[i] = a[i] | b[i]; break;
      case 6: case 10: r[i] = a[i] & b[i]; break;
      case 7: case 12: r[i] = a[i] ^ b[i]; break;
      case 11: r[i] = a[i] & ~b[i]; break;
      default: invalid_arg(value2);
    }
  }
  *value1 = result;
  return value1;
}

cell* and_t(cell* value1, const cell* value2) { return do_bitwise(value1, value2, 6); }
cell* or_t(cell* value1, const cell* value2) { return do_bitwise(value1, value2, 5); }
cell* xor_t(cell* value1, const cell* value2) { return do_bitwise(value1, value2, 7); }

cell* complement(cell* value) {
  value->w1 = ~value->w1;
  value->w2 = ~value->w2;
  value->w3 = ~value->w3;
  return value;
}

cell* find(cell* series, const cell* value, const find_options&) {
  if (type_of(value) != TYPE_DATATYPE) invalid_arg(value);
  bool found = has_q(series, datatype::get(value));
  *series = found ? logic::true_value : logic::false_value;
  return series;
}

void init() {
  datatype::registration(TYPE_TYPESET, 0, "typeset!")
      .set<ACT_MAKE>(make)
      .set<ACT_TO>(make)
      .set<ACT_FORM>(form)
      .set<ACT_MOLD>(mold)
      .set<ACT_COMPARE>(compare)
      .set<ACT_AND_T>(and_t)
      .set<ACT_COMPLEMENT>(complement)
      .set<ACT_OR_T>(or_t)
      .set<ACT_XOR_T>(xor_t)
      .set<ACT_FIND>(find)
      .commit();
}

}  // namespace kez::typeset
