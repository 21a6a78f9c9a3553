#include "runtime/datatypes/time.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "runtime/actions.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/date.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/string.h"
#include "runtime/stack.h"
#include "runtime/system_stub.h"

namespace kez::time {

cell* make_at(cell* target, double seconds) { return float_::make_at(target, seconds, TYPE_TIME); }
cell* make_in(cell* block, double seconds) { return make_at(block::alloc_tail(block), seconds); }
cell* push(double seconds) { return make_at(stack::push_cell(), seconds); }

// Both raise Script Error type-limit for a time without a 32-bit hour
// (beyond 2^31 hours, infinite or NaN) instead of converting out of range.
int32_t hour_of(double t) { return integer::from_double(std::trunc(t / 3600.0)); }
int32_t minute_of(double t) { return integer::from_double(std::floor(std::fmod(std::fabs(t), 3600.0) / 60.0)); }
double second_of(double t) { return std::fmod(t, 60.0); }

int32_t write_text(double t, cell* buffer, int32_t part) {
  if (!std::isfinite(t)) {
    const char* special = float_::form_float(t, float_::KIND_DOUBLE);
    string::concatenate_literal(buffer, special);
    return part - int32_t(std::strlen(special));
  }
  char text[400];  // the hours of a finite double have at most 305 digits
  int n = 0;
  if (t < 0) {
    text[n++] = '-';
    t = -t;
  }
  int minutes = int(std::floor(std::fmod(t, 3600.0) / 60.0));
  n += std::snprintf(text + n, sizeof text - size_t(n), "%.0f:%02d:", std::floor(t / 3600.0), minutes);
  double s = std::fmod(t, 60.0);
  if (s < 0.000001) {
    n += std::snprintf(text + n, sizeof text - size_t(n), "00");
  } else {
    const char* digits = float_::form_float(s, float_::KIND_TIME);
    size_t len = std::strlen(digits);
    if (len == 1 || digits[1] == '.') text[n++] = '0';
    n += std::snprintf(text + n, sizeof text - size_t(n), "%s", digits);
  }
  string::concatenate_literal(buffer, text);
  return part - n;
}

double with_field(double t, int32_t index, const cell* value) {
  uint32_t vt = type_of(value);
  if (vt != TYPE_INTEGER && !(index == 3 && vt == TYPE_FLOAT))
    error::fire(err::cat_script, err::script::invalid_arg, value);
  double v = vt == TYPE_INTEGER ? double(integer::get(value)) : float_::get(value);
  double sign = t < 0 ? -1.0 : 1.0;
  double h = double(hour_of(t)), m = double(minute_of(t)), s = second_of(t);
  if (index == 1) h = v;
  else if (index == 2) m = v;
  else s = v;
  return h * 3600.0 + sign * m * 60.0 + s;
}

namespace {

[[noreturn]] void bad_to(const cell* spec) { math::fire_with_type(err::script::bad_to_arg, TYPE_TIME, spec); }

double from_block(const cell* spec) {
  cell b = *spec;
  int32_t n = block::ks_length_q(&b);
  if (n > 3) bad_to(spec);
  const cell* v = block::ks_head(&b);
  double parts[3] = {0, 0, 0};
  bool negative = false;
  for (int32_t i = 0; i < n; ++i) {
    uint32_t t = type_of(v + i);
    if (t == TYPE_INTEGER) parts[i] = double(integer::get(v + i));
    else if (t == TYPE_FLOAT && i == 2) parts[i] = float_::get(v + i);
    else bad_to(spec);
    if (parts[i] < 0) {
      if (i > 0) bad_to(spec);
      negative = true;
      parts[i] = -parts[i];
    }
  }
  double t = parts[0] * 3600.0 + parts[1] * 60.0 + parts[2];
  return negative ? -t : t;
}

cell* eval_path(cell* parent, const cell* element, const cell* value, const cell* path,
                const cell* grand_parent, const cell* previous, int32_t index, bool, bool, bool, bool) {
  int32_t field = system_stub::accessor_index(TYPE_TIME, element);
  if (field < 1 || field > 3) error::fire(err::cat_script, err::script::invalid_path, element, path);
  double t = get(parent);
  if (value) {
    const cell old = *parent;
    make_at(parent, with_field(t, field, value));
    system_stub::scalar_changed(grand_parent, previous, index, &old, parent);
    return parent;
  }
  if (field == 3) return float_::make_at(parent, second_of(t));
  return integer::make_at(parent, field == 1 ? hour_of(t) : minute_of(t));
}

cell* pick(cell* series, int32_t index, const cell* boxed) {
  if (boxed && system_stub::word_q(boxed)) {
    int32_t field = system_stub::accessor_word_index(TYPE_TIME, boxed);
    if (!field) error::fire(err::cat_script, err::script::cannot_use, boxed, series);
    index = field;
  }
  if (index < 1 || index > 3) error::fire(err::cat_script, err::script::out_of_range, boxed);
  double t = get(series);
  if (index == 3) return float_::make_at(series, second_of(t));
  return integer::make_at(series, index == 1 ? hour_of(t) : minute_of(t));
}

int32_t mold(const cell* value, cell* buffer, bool, bool, bool, const cell* arg, int32_t part, int32_t) {
  return form(value, buffer, arg, part);
}

bool whole_seconds_even(const cell* value) {
  double t = get(value);
  if (!std::isfinite(t)) math::fire_with_type(err::script::type_limit, TYPE_INTEGER);
  double s = std::fmod(t >= 0 ? t + 0.000001 : t - 0.000001, 60.0);
  return int32_t(s) % 2 == 0;
}

}  // namespace

cell* make(cell* proto, const cell* spec, uint32_t) {
  uint32_t t = type_of(spec);
  switch (t) {
    case TYPE_TIME: *proto = *spec; return proto;
    case TYPE_INTEGER: return make_at(proto, double(integer::get(spec)));
    case TYPE_FLOAT:
    case TYPE_PERCENT: return make_at(proto, float_::get(spec));
    case TYPE_BLOCK:
    case TYPE_PAREN:
    case TYPE_HASH: return make_at(proto, from_block(spec));
    default:
      if (system_stub::load_as(spec, TYPE_TIME, proto)) return proto;
      bad_to(spec);
  }
}

int32_t form(const cell* value, cell* buffer, const cell*, int32_t part) {
  return write_text(get(value), buffer, part);
}

cell* add(cell* value1, const cell* value2) {
  if (type_of(value2) == TYPE_DATE) {
    cell t = *value1;
    *value1 = *value2;
    return date::do_math(value1, &t, OP_ADD);
  }
  return float_::do_math(value1, value2, OP_ADD);
}

cell* subtract(cell* value1, const cell* value2) {
  if (type_of(value2) == TYPE_DATE) math::not_related(TYPE_TIME);
  return float_::do_math(value1, value2, OP_SUBTRACT);
}

cell* multiply(cell* value1, const cell* value2) {
  if (type_of(value2) == TYPE_TIME) math::not_related(TYPE_TIME);
  return float_::do_math(value1, value2, OP_MULTIPLY);
}

cell* divide(cell* value1, const cell* value2) {
  bool ratio = type_of(value2) == TYPE_TIME;
  float_::do_math(value1, value2, OP_DIVIDE);
  if (ratio) value1->header = TYPE_FLOAT;  // time / time is a plain number
  return value1;
}

cell* round(cell* value, const cell* scale, bool even, bool down, bool half_down, bool floor,
            bool ceiling, bool half_ceiling) {
  if (scale && type_of(scale) == TYPE_MONEY) math::not_related(TYPE_MONEY);
  float_::round(value, scale, even, down, half_down, floor, ceiling, half_ceiling);
  double d = type_of(value) == TYPE_INTEGER ? double(integer::get(value)) : float_::get(value);
  return make_at(value, d);
}

bool even_q(const cell* value) { return whole_seconds_even(value); }
bool odd_q(const cell* value) { return !whole_seconds_even(value); }

void init() {
  datatype::registration(TYPE_TIME, TYPE_FLOAT, "time!")
      .inherit(ACT_RANDOM)
      .inherit(ACT_COMPARE)
      .inherit(ACT_ABSOLUTE)
      .inherit(ACT_NEGATE)
      .inherit(ACT_REMAINDER)
      .set<ACT_MAKE>(make)
      .set<ACT_TO>(make)
      .set<ACT_FORM>(form)
      .set<ACT_MOLD>(mold)
      .set<ACT_EVAL_PATH>(eval_path)
      .set<ACT_ADD>(add)
      .set<ACT_DIVIDE>(divide)
      .set<ACT_MULTIPLY>(multiply)
      .set<ACT_ROUND>(round)
      .set<ACT_SUBTRACT>(subtract)
      .set<ACT_EVEN_Q>(even_q)
      .set<ACT_ODD_Q>(odd_q)
      .set<ACT_PICK>(pick)
      .commit();
}

}  // namespace kez::time
