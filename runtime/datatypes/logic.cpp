#include "runtime/datatypes/logic.h"

#include "runtime/actions.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/string.h"
#include "runtime/stack.h"

namespace kez::logic {

const cell true_value{TYPE_LOGIC, 1, 0, 0};
const cell false_value{TYPE_LOGIC, 0, 0, 0};

cell* push(bool b) { return make_at(stack::push_cell(), b); }
cell* push_last(bool b) { return make_at(stack::arguments, b); }

namespace {

inline bool falsy(const cell* value) {
  uint32_t t = type_of(value);
  return t == TYPE_NONE || (t == TYPE_LOGIC && value->w1 == 0);
}

}  // namespace

bool true_q(const cell* value, bool check, const cell* word) {
  if (check && type_of(value) == TYPE_UNSET) error::fire(err::cat_script, err::script::no_value, word);
  return !falsy(value);
}

bool arg_true_q() {
  if (type_of(stack::arguments) == TYPE_UNSET) error::fire(err::cat_script, err::script::no_return);
  return !falsy(stack::arguments);
}

bool arg_false_q() { return falsy(stack::arguments); }

bool top_true_q() { return !falsy(stack::top_cell()); }

cell* to(cell* proto, const cell* spec, uint32_t) {
  uint32_t t = type_of(spec);
  if (t == TYPE_LOGIC) *proto = *spec;
  else make_at(proto, t != TYPE_NONE);
  return proto;
}

cell* make(cell* proto, const cell* spec, uint32_t type) {
  switch (type_of(spec)) {
    case TYPE_INTEGER: return make_at(proto, spec->w2 != 0);
    case TYPE_FLOAT:
    case TYPE_PERCENT: return make_at(proto, load_double(&spec->w2) != 0.0);  // NaN is true
    default: return to(proto, spec, type);
  }
}

int32_t form(const cell* value, cell* buffer, const cell*, int32_t part) {
  bool b = get(value);
  string::concatenate_literal(buffer, b ? "true" : "false");
  return part - (b ? 4 : 5);
}

int32_t mold(const cell* value, cell* buffer, bool, bool all, bool, const cell* arg, int32_t part, int32_t) {
  if (!all) return form(value, buffer, arg, part);
  string::concatenate_literal(buffer, "#(");
  part = form(value, buffer, arg, part);
  string::concatenate_literal(buffer, ")");
  return part - 3;
}

int32_t compare(const cell* value1, const cell* value2, int32_t op) {
  if (type_of(value2) != TYPE_LOGIC || !equality_or_sort_op_q(op)) return -2;
  return int32_t(value1->w1) - int32_t(value2->w1);  // false sorts first
}

cell* complement(cell* value) {
  value->w1 ^= 1;
  return value;
}

namespace {

enum bit_op { BIT_AND, BIT_OR, BIT_XOR };

cell* bitwise(cell* value1, const cell* value2, bit_op op) {
  if (type_of(value2) != TYPE_LOGIC) {
    cell kind;
    datatype::make_at(&kind, type_of(value2));
    error::fire(err::cat_script, err::script::expect_arg, nullptr, &kind, value2);
  }
  uint32_t a = value1->w1, b = value2->w1;
  value1->w1 = op == BIT_AND ? a & b : op == BIT_OR ? a | b : a ^ b;
  return value1;
}

}  // namespace

cell* and_t(cell* value1, const cell* value2) { return bitwise(value1, value2, BIT_AND); }
cell* or_t(cell* value1, const cell* value2) { return bitwise(value1, value2, BIT_OR); }
cell* xor_t(cell* value1, const cell* value2) { return bitwise(value1, value2, BIT_XOR); }

void init() {
  datatype::registration(TYPE_LOGIC, 0, "logic!")
      .set<ACT_MAKE>(make)
      .set<ACT_TO>(to)
      .set<ACT_FORM>(form)
      .set<ACT_MOLD>(mold)
      .set<ACT_COMPARE>(compare)
      .set<ACT_AND_T>(and_t)
      .set<ACT_COMPLEMENT>(complement)
      .set<ACT_OR_T>(or_t)
      .set<ACT_XOR_T>(xor_t)
      .commit();
}

}  // namespace kez::logic
