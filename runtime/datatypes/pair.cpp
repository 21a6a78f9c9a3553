#include "runtime/datatypes/pair.h"

#include <cmath>
#include <cstdio>
#include <utility>

#include "runtime/actions.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/point.h"
#include "runtime/datatypes/string.h"
#include "runtime/random.h"
#include "runtime/stack.h"
#include "runtime/system_stub.h"

namespace kez::pair {

cell* make_in(cell* block, int32_t x, int32_t y) { return make_at(block::alloc_tail(block), x, y); }
cell* push(int32_t x, int32_t y) { return make_at(stack::push_cell(), x, y); }

namespace {

bool number_q(const cell* v) { return type_of(v) == TYPE_INTEGER || type_of(v) == TYPE_FLOAT; }
int32_t truncated(const cell* v) {
  return type_of(v) == TYPE_INTEGER ? integer::get(v) : integer::from_double(float_::get(v));
}

cell* as_point(cell* p) { return point2D::make_at(p, float(x_of(p)), float(y_of(p))); }

cell* make(cell* proto, const cell* spec, uint32_t) {
  uint32_t t = type_of(spec);
  switch (t) {
    case TYPE_PAIR: *proto = *spec; return proto;
    case TYPE_INTEGER:
    case TYPE_FLOAT: {
      int32_t n = truncated(spec);
      return make_at(proto, n, n);
    }
    case TYPE_POINT2D: {
      double x = point::coordinate(spec, 0), y = point::coordinate(spec, 1);
      if (!std::isfinite(x) || !std::isfinite(y)) error::fire(err::cat_script, err::script::invalid_arg, spec);
      return make_at(proto, integer::from_double(x), integer::from_double(y));
    }
    case TYPE_BLOCK:
    case TYPE_PAREN:
    case TYPE_HASH: {
      cell b = *spec;
      const cell* v = block::ks_head(&b);
      if (block::ks_length_q(&b) < 2 || !number_q(v) || !number_q(v + 1))
        error::fire(err::cat_syntax, err::syntax::malconstruct, spec);
      return make_at(proto, truncated(v), truncated(v + 1));
    }
    default:
      if (system_stub::load_as(spec, TYPE_PAIR, proto)) return proto;
      math::fire_with_type(err::script::bad_to_arg, TYPE_PAIR, spec);
  }
}

int32_t form(const cell* value, cell* buffer, const cell*, int32_t part) {
  char text[32];
  int n = std::snprintf(text, sizeof text, "%dx%d", x_of(value), y_of(value));
  string::concatenate_literal(buffer, text);
  return part - n;
}

int32_t mold(const cell* value, cell* buffer, bool, bool, bool, const cell* arg, int32_t part, int32_t) {
  return form(value, buffer, arg, part);
}

// One coordinate through integer arithmetic; false when add, subtract or
// multiply leave the 32-bit range.
bool coordinate_op(int32_t a, int32_t b, int32_t op, int32_t& out) {
  int64_t r;
  switch (op) {
    case OP_ADD: r = int64_t(a) + b; break;
    case OP_SUBTRACT: r = int64_t(a) - b; break;
    case OP_MULTIPLY: r = int64_t(a) * b; break;
    default: out = integer::do_math_op(a, b, op, nullptr); return true;
  }
  if (r < INT32_MIN || r > INT32_MAX) return false;
  out = int32_t(r);
  return true;
}

int field_of(const cell* value, const cell* element, bool pick_rules) {
  if (type_of(element) == TYPE_INTEGER) {
    int32_t i = integer::get(element);
    return i == 1 || i == 2 ? i : 0;
  }
  int32_t i = system_stub::accessor_word_index(TYPE_PAIR, element);
  if (!i && pick_rules && system_stub::word_q(element))
    error::fire(err::cat_script, err::script::cannot_use, element, value);
  return i;
}

cell* eval_path(cell* parent, const cell* element, const cell* value, const cell* path,
                const cell* grand_parent, const cell* previous, int32_t index, bool, bool, bool, bool) {
  int i = field_of(parent, element, false);
  if (!i) error::fire(err::cat_script, err::script::invalid_path, element, path);
  if (value) {
    const cell old = *parent;
    if (type_of(value) != TYPE_INTEGER) math::invalid_type(value);
    (i == 1 ? parent->w2 : parent->w3) = value->w2;
    system_stub::scalar_changed(grand_parent, previous, index, &old, parent);
    return parent;
  }
  return integer::make_at(parent, i == 1 ? x_of(parent) : y_of(parent));
}

cell* pick(cell* series, int32_t index, const cell* boxed) {
  int i = boxed ? field_of(series, boxed, true) : index;
  if (i != 1 && i != 2) error::fire(err::cat_script, err::script::out_of_range, boxed);
  return integer::make_at(series, i == 1 ? x_of(series) : y_of(series));
}

int32_t compare(const cell* value1, const cell* value2, int32_t op) {
  if (type_of(value2) == TYPE_POINT2D) {
    cell p = *value1;
    return point::compare(as_point(&p), value2, op);
  }
  if (type_of(value2) != TYPE_PAIR) return -2;
  int32_t a = x_of(value1), b = x_of(value2);
  if (a == b) a = y_of(value1), b = y_of(value2);
  return (a > b) - (a < b);
}

cell* round(cell* value, const cell* scale, bool even, bool down, bool half_down, bool floor,
            bool ceiling, bool half_ceiling) {
  if (scale && type_of(scale) == TYPE_MONEY) math::not_related(TYPE_MONEY);
  int32_t out[2];
  for (int i = 0; i < 2; ++i) {
    cell c, s;
    integer::make_at(&c, i == 0 ? x_of(value) : y_of(value));
    const cell* sc = scale;
    if (scale && type_of(scale) == TYPE_PAIR) sc = integer::make_at(&s, i == 0 ? x_of(scale) : y_of(scale));
    integer::round(&c, sc, even, down, half_down, floor, ceiling, half_ceiling);
    out[i] = type_of(&c) == TYPE_INTEGER ? integer::get(&c) : integer::from_double(float_::get(&c));
  }
  return make_at(value, out[0], out[1]);
}

cell* absolute(cell* value) { return make_at(value, integer::abs(x_of(value)), integer::abs(y_of(value))); }
cell* negate(cell* value) {
  return make_at(value, int32_t(0u - value->w2), int32_t(0u - value->w3));
}
cell* reverse(cell* value, const cell*, const cell*) {
  std::swap(value->w2, value->w3);
  return value;
}

cell* random(cell* value, bool seed, bool secure, bool) {
  if (seed) {
    kez::random::seed(value->w2 ^ value->w3);
    *value = cell{TYPE_UNSET, 0, 0, 0};
    return value;
  }
  return make_at(value, kez::random::range(secure, x_of(value)), kez::random::range(secure, y_of(value)));
}

cell* add(cell* a, const cell* b) { return do_math(a, b, OP_ADD); }
cell* subtract(cell* a, const cell* b) { return do_math(a, b, OP_SUBTRACT); }
cell* multiply(cell* a, const cell* b) { return do_math(a, b, OP_MULTIPLY); }
cell* divide(cell* a, const cell* b) { return do_math(a, b, OP_DIVIDE); }
cell* remainder(cell* a, const cell* b) { return do_math(a, b, OP_REMAINDER); }
cell* and_t(cell* a, const cell* b) { return do_math(a, b, OP_AND); }
cell* or_t(cell* a, const cell* b) { return do_math(a, b, OP_OR); }
cell* xor_t(cell* a, const cell* b) { return do_math(a, b, OP_XOR); }

}  // namespace

cell* do_math(cell* left, const cell* right, int32_t op) {
  int32_t bx, by;
  switch (type_of(right)) {
    case TYPE_PAIR: bx = x_of(right), by = y_of(right); break;
    case TYPE_INTEGER: bx = by = integer::get(right); break;
    case TYPE_POINT2D: return point::do_math(as_point(left), right, op);
    case TYPE_FLOAT:
    case TYPE_PERCENT: {
      double f = float_::get(right);
      if (op == OP_MULTIPLY || op == OP_DIVIDE) {
        if (!std::isfinite(f)) error::fire(err::cat_script, err::script::invalid_arg, right);
        float s = float(f);
        float x = float(x_of(left)), y = float(y_of(left));
        return op == OP_MULTIPLY ? point2D::make_at(left, x * s, y * s) : point2D::make_at(left, x / s, y / s);
      }
      if (!std::isfinite(f)) error::fire(err::cat_script, err::script::invalid_arg, right);
      bx = by = integer::from_double(f);
      break;
    }
    default: math::invalid_type(right);
  }
  int32_t x, y;
  if (coordinate_op(x_of(left), bx, op, x) && coordinate_op(y_of(left), by, op, y)) return make_at(left, x, y);
  // Beyond 32 bits the whole operation is redone on points.
  cell r;
  if (type_of(right) == TYPE_PAIR) as_point(&(r = *right));
  else float_::make_at(&r, double(bx));
  return point::do_math(as_point(left), &r, op);
}

void init() {
  datatype::registration(TYPE_PAIR, 0, "pair!")
      .set<ACT_MAKE>(make)
      .set<ACT_TO>(make)
      .set<ACT_RANDOM>(random)
      .set<ACT_FORM>(form)
      .set<ACT_MOLD>(mold)
      .set<ACT_EVAL_PATH>(eval_path)
      .set<ACT_COMPARE>(compare)
      .set<ACT_ABSOLUTE>(absolute)
      .set<ACT_ADD>(add)
      .set<ACT_DIVIDE>(divide)
      .set<ACT_MULTIPLY>(multiply)
      .set<ACT_NEGATE>(negate)
      .set<ACT_REMAINDER>(remainder)
      .set<ACT_ROUND>(round)
      .set<ACT_SUBTRACT>(subtract)
      .set<ACT_AND_T>(and_t)
      .set<ACT_OR_T>(or_t)
      .set<ACT_XOR_T>(xor_t)
      .set<ACT_PICK>(pick)
      .set<ACT_REVERSE>(reverse)
      .commit();
  math::set_math_body(TYPE_PAIR, do_math);
}

}  // namespace kez::pair
