#include "runtime/datatypes/point.h"

#include <cmath>
#include <cstring>
#include <string>

#include "runtime/actions.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/pair.h"
#include "runtime/datatypes/string.h"
#include "runtime/murmur.h"
#include "runtime/random.h"
#include "runtime/stack.h"
#include "runtime/system_stub.h"

namespace kez {

namespace point {

namespace {

int count_of(uint32_t type) { return type == TYPE_POINT3D ? 3 : 2; }

void put(cell* p, int i, double d) {
  float f = float(d);
  std::memcpy(&p->w1 + i, &f, sizeof f);
}

cell* fill(cell* target, uint32_t type, const float* c) {
  *target = cell{type, 0, 0, 0};
  for (int i = 0; i < count_of(type); ++i) put(target, i, c[i]);
  return target;
}

// A pair! as a point2D!.
cell* from_pair(cell* target, const cell* p) {
  float c[2] = {float(int32_t(p->w2)), float(int32_t(p->w3))};
  return fill(target, TYPE_POINT2D, c);
}

double number_of(const cell* v) {
  return type_of(v) == TYPE_INTEGER ? double(integer::get(v)) : float_::get(v);
}
bool number_q(const cell* v) { return type_of(v) == TYPE_INTEGER || type_of(v) == TYPE_FLOAT; }

cell* make(cell* proto, const cell* spec, uint32_t type) {
  uint32_t t = type_of(spec);
  int n = count_of(type);
  float c[3] = {0, 0, 0};
  if (t == type) {
    *proto = *spec;
    return proto;
  }
  if (number_q(spec)) {
    for (int i = 0; i < n; ++i) c[i] = float(number_of(spec));
    return fill(proto, type, c);
  }
  if (t == TYPE_PAIR && type == TYPE_POINT2D) return from_pair(proto, spec);
  if (t == TYPE_BLOCK || t == TYPE_PAREN || t == TYPE_HASH) {
    cell b = *spec;
    const cell* v = block::ks_head(&b);
    if (block::ks_length_q(&b) < n) error::fire(err::cat_syntax, err::syntax::malconstruct, spec);
    for (int i = 0; i < n; ++i) {
      if (!number_q(v + i)) error::fire(err::cat_syntax, err::syntax::malconstruct, spec);
      c[i] = float(number_of(v + i));
    }
    return fill(proto, type, c);
  }
  if (system_stub::load_as(spec, type, proto)) return proto;
  math::fire_with_type(err::script::bad_to_arg, type, spec);
}

int32_t form(const cell* value, cell* buffer, const cell*, int32_t part) {
  std::string text = "(";
  for (int i = 0; i < count_of(type_of(value)); ++i) {
    if (i) text += ", ";
    text += float_::form_float(coordinate(value, i), float_::KIND_SINGLE_BARE);
  }
  text += ")";
  string::concatenate_literal(buffer, text.c_str());
  return part - int32_t(text.size());
}

int32_t mold(const cell* value, cell* buffer, bool, bool, bool, const cell* arg, int32_t part, int32_t) {
  return form(value, buffer, arg, part);
}

int field_of(const cell* value, const cell* element, bool pick_rules) {
  uint32_t type = type_of(value);
  int n = count_of(type);
  if (type_of(element) == TYPE_INTEGER) {
    int32_t i = integer::get(element);
    return i >= 1 && i <= n ? i : 0;
  }
  int32_t i = system_stub::accessor_word_index(type, element);
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
    if (!number_q(value)) math::invalid_type(value);
    put(parent, i - 1, number_of(value));
    system_stub::scalar_changed(grand_parent, previous, index, &old, parent);
    return parent;
  }
  return float_::make_at(parent, coordinate(parent, i - 1));
}

cell* pick(cell* series, int32_t index, const cell* boxed) {
  int i = boxed ? field_of(series, boxed, true) : index;
  if (i < 1 || i > count_of(type_of(series))) error::fire(err::cat_script, err::script::out_of_range, boxed);
  return float_::make_at(series, coordinate(series, i - 1));
}

cell* absolute(cell* value) {
  for (int i = 0; i < count_of(type_of(value)); ++i) put(value, i, std::fabs(coordinate(value, i)));
  return value;
}

cell* negate(cell* value) {
  for (int i = 0; i < count_of(type_of(value)); ++i) put(value, i, 0.0 - coordinate(value, i));
  return value;
}

cell* reverse(cell* value, const cell*, const cell*) {
  int last = count_of(type_of(value)) - 1;
  std::swap(value->w1, (&value->w1)[last]);
  return value;
}

cell* round(cell* value, const cell* scale, bool even, bool down, bool half_down, bool floor,
            bool ceiling, bool half_ceiling) {
  if (scale && type_of(scale) == TYPE_MONEY) math::not_related(TYPE_MONEY);
  cell per_coordinate;
  bool planar = scale && (type_of(scale) == TYPE_PAIR || type_of(scale) == TYPE_POINT2D ||
                          type_of(scale) == TYPE_POINT3D);
  if (scale && type_of(scale) == TYPE_PAIR) from_pair(&per_coordinate, scale);
  else if (planar) per_coordinate = *scale;
  for (int i = 0; i < count_of(type_of(value)); ++i) {
    cell c, s;
    float_::make_at(&c, coordinate(value, i));
    const cell* sc = scale;
    if (planar) {
      int last = count_of(type_of(&per_coordinate)) - 1;
      sc = float_::make_at(&s, coordinate(&per_coordinate, i < last ? i : last));
    }
    float_::round(&c, sc, even, down, half_down, floor, ceiling, half_ceiling);
    put(value, i, float_::get(&c));
  }
  return value;
}

cell* random(cell* value, bool seed, bool secure, bool) {
  int n = count_of(type_of(value));
  if (seed) {
    kez::random::seed(murmur::hash32(&value->w1, size_t(n) * 4, 0));
    *value = cell{TYPE_UNSET, 0, 0, 0};
    return value;
  }
  for (int i = 0; i < n; ++i) {
    float c = coordinate(value, i);
    if (c != 0.0f) put(value, i, float_::random_double(c, secure));
  }
  return value;
}

}  // namespace

int32_t compare(const cell* value1, const cell* value2, int32_t op) {
  uint32_t t1 = type_of(value1);
  cell converted;
  if (t1 == TYPE_POINT2D && type_of(value2) == TYPE_PAIR) value2 = from_pair(&converted, value2);
  if (type_of(value2) != t1) return -2;
  int n = count_of(t1);
  switch (op) {
    case COMP_EQUAL:
    case COMP_NOT_EQUAL:
    case COMP_FIND:
      for (int i = 0; i < n; ++i)
        if (!float_::almost_equal32_q(coordinate(value1, i), coordinate(value2, i))) return 1;
      return 0;
    case COMP_STRICT_EQUAL:
      for (int i = 0; i < n; ++i)
        if (coordinate(value1, i) != coordinate(value2, i)) return 1;
      return 0;
    case COMP_SAME: return std::memcmp(&value1->w1, &value2->w1, size_t(n) * 4) == 0 ? 0 : 1;
    default:
      for (int i = 0; i < n; ++i) {
        float a = coordinate(value1, i), b = coordinate(value2, i);
        if (float_::almost_equal32_q(a, b)) continue;
        return a < b ? -1 : 1;
      }
      return 0;
  }
}

// The math body of both types; left is a point.
cell* do_math(cell* left, const cell* right, int32_t op) {
  uint32_t type = type_of(left), rt = type_of(right);
  int n = count_of(type);
  double r[3];
  cell converted;
  if (rt == TYPE_PAIR && type == TYPE_POINT2D) right = from_pair(&converted, right), rt = TYPE_POINT2D;
  if (rt == type) {
    for (int i = 0; i < n; ++i) r[i] = coordinate(right, i);
  } else if (rt == TYPE_INTEGER || rt == TYPE_FLOAT || rt == TYPE_PERCENT) {
    double d = rt == TYPE_INTEGER ? double(integer::get(right)) : float_::get(right);
    for (int i = 0; i < n; ++i) r[i] = d;
  } else {
    math::invalid_type(right);
  }
  for (int i = 0; i < n; ++i) put(left, i, float_::do_math_op(coordinate(left, i), r[i], op));
  return left;
}

namespace {
cell* add(cell* a, const cell* b) { return do_math(a, b, OP_ADD); }
cell* subtract(cell* a, const cell* b) { return do_math(a, b, OP_SUBTRACT); }
cell* multiply(cell* a, const cell* b) { return do_math(a, b, OP_MULTIPLY); }
cell* divide(cell* a, const cell* b) { return do_math(a, b, OP_DIVIDE); }
cell* remainder(cell* a, const cell* b) { return do_math(a, b, OP_REMAINDER); }

void register_type(uint32_t type, const char* name) {
  datatype::registration(type, 0, name)
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
      .set<ACT_PICK>(pick)
      .set<ACT_REVERSE>(reverse)
      .commit();
  math::set_math_body(type, do_math);
}
}  // namespace

}  // namespace point

namespace point2D {
cell* make_at(cell* target, float x, float y) {
  float c[2] = {x, y};
  *target = cell{TYPE_POINT2D, 0, 0, 0};
  std::memcpy(&target->w1, c, sizeof c);
  return target;
}
cell* make_in(cell* block, float x, float y) { return make_at(block::alloc_tail(block), x, y); }
cell* push(float x, float y) { return make_at(stack::push_cell(), x, y); }
cell* do_math(cell* left, const cell* right, int32_t op) { return point::do_math(left, right, op); }
void init() { point::register_type(TYPE_POINT2D, "point2D!"); }
}  // namespace point2D

namespace point3D {
cell* make_at(cell* target, float x, float y, float z) {
  float c[3] = {x, y, z};
  *target = cell{TYPE_POINT3D, 0, 0, 0};
  std::memcpy(&target->w1, c, sizeof c);
  return target;
}
cell* make_in(cell* block, float x, float y, float z) { return make_at(block::alloc_tail(block), x, y, z); }
cell* push(float x, float y, float z) { return make_at(stack::push_cell(), x, y, z); }
cell* do_math(cell* left, const cell* right, int32_t op) { return point::do_math(left, right, op); }
void init() { point::register_type(TYPE_POINT3D, "point3D!"); }
}  // namespace point3D

}  // namespace kez
