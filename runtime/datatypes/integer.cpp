#include "runtime/datatypes/integer.h"

#include <cstring>

#include "runtime/actions.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/string.h"
#include "runtime/memory.h"
#include "runtime/random.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"

namespace kez {

// --- Extension points of the shared math body ------------------------------------

namespace math {

namespace {
body bodies[TYPE_TABLE_ROWS];
to_int_fn int_converters[TYPE_TABLE_ROWS];
to_double_fn double_converters[TYPE_TABLE_ROWS];
}  // namespace

void set_math_body(uint32_t type, body fn) { bodies[type % TYPE_TABLE_ROWS] = fn; }
body math_body(uint32_t type) { return type < TYPE_TABLE_ROWS ? bodies[type] : nullptr; }
body body_for(const cell* value) {
  body fn = math_body(type_of(value));
  if (!fn) invalid_type(value);
  return fn;
}
void set_integer_converter(uint32_t type, to_int_fn fn) { int_converters[type % TYPE_TABLE_ROWS] = fn; }
void set_float_converter(uint32_t type, to_double_fn fn) { double_converters[type % TYPE_TABLE_ROWS] = fn; }
to_int_fn integer_converter(uint32_t type) { return type < TYPE_TABLE_ROWS ? int_converters[type] : nullptr; }
to_double_fn float_converter(uint32_t type) { return type < TYPE_TABLE_ROWS ? double_converters[type] : nullptr; }

void invalid_type(const cell* value) {
  cell kind;
  datatype::make_at(&kind, type_of(value));
  error::fire(err::cat_script, err::script::invalid_type, &kind);
}

void fire_with_type(int id, uint32_t type, const cell* value) {
  cell kind;
  datatype::make_at(&kind, type);
  error::fire(err::cat_script, id, &kind, value);
}

void not_related(uint32_t type) {
  cell kind;
  datatype::make_at(&kind, type);
  error::fire(err::cat_script, err::script::not_related, nullptr, &kind);
}

void check_exponent(const cell* exponent) {
  uint32_t t = type_of(exponent);
  if (t == TYPE_INTEGER || t == TYPE_FLOAT) return;
  cell kind;
  datatype::make_at(&kind, t);
  error::fire(err::cat_script, err::script::expect_arg, nullptr, &kind);
}

int32_t compare_reversed(const cell* value1, const cell* value2, int32_t op) {
  if (!actions::table[type_of(value2)][ACT_COMPARE - 1]) return -2;
  int32_t swapped = op == COMP_LESSER          ? COMP_GREATER
                    : op == COMP_LESSER_EQUAL  ? COMP_GREATER_EQUAL
                    : op == COMP_GREATER       ? COMP_LESSER
                    : op == COMP_GREATER_EQUAL ? COMP_LESSER_EQUAL
                                               : op;
  int32_t r = actions::compare_value(value2, value1, swapped);
  return r == -2 ? -2 : -r;
}

}  // namespace math

namespace integer {

namespace {

[[noreturn]] void overflow() { error::fire(err::cat_math, err::math::overflow); }
[[noreturn]] void zero_divide() { error::fire(err::cat_math, err::math::zero_divide); }

// The left integer and the right compound value trade places, so that the
// compound type's body sees itself on the left.
cell* swap_and_forward(cell* left, const cell* right, int32_t op) {
  math::body fn = math::body_for(right);
  cell number = *left;
  *left = *right;
  return fn(left, &number, op);
}

}  // namespace

// --- Cell operations --------------------------------------------------------------

cell* make_in(cell* block, int32_t value) {
  series_buffer* b = memory::buffer_of(block->w2);
  return make_at(reinterpret_cast<cell*>(series::make_room(b, sizeof(cell))), value);
}
cell* push(int32_t value) { return make_at(stack::push_cell(), value); }
cell* box(int32_t value) { return make_at(stack::arguments, value); }
int32_t get_star() { return get(stack::arguments); }
int32_t get_any_star() { return type_of(stack::arguments) == TYPE_INTEGER ? get(stack::arguments) : 0; }

const char* form_signed(int32_t value, uint32_t& length) {
  // "00" to "99": two digits a division.
  static constexpr char pairs[] =
      "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
      "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
      "8081828384858687888990919293949596979899";
  static char text[12];
  char* end = text + sizeof text - 1;
  char* p = end;
  *p = 0;
  // Magnitude in 32 unsigned bits: MIN has no positive counterpart.
  uint32_t n = value < 0 ? 0u - uint32_t(value) : uint32_t(value);
  while (n >= 100) {
    uint32_t k = (n % 100) * 2;
    n /= 100;
    *--p = pairs[k + 1];
    *--p = pairs[k];
  }
  if (n >= 10) {
    *--p = pairs[n * 2 + 1];
    *--p = pairs[n * 2];
  } else {
    *--p = char('0' + n);
  }
  if (value < 0) *--p = '-';
  length = uint32_t(end - p);
  return p;
}

const char* form_signed(int32_t value) {
  uint32_t length;
  return form_signed(value, length);
}

int32_t abs(int32_t value) {
  if (value == MIN) overflow();
  return value < 0 ? -value : value;
}

bool overflow_q(double d) { return !(d >= -2147483648.0 && d <= 2147483647.0); }
bool overflow_q(const cell* value) { return overflow_q(float_::get(value)); }

int32_t from_double(double d) {
  if (overflow_q(d)) math::fire_with_type(err::script::type_limit, TYPE_INTEGER);
  return int32_t(d);
}

int32_t from_hex(const int32_t* code_points, int32_t count, const cell* culprit) {
  if (count > 8) error::fire(err::cat_script, err::script::invalid_data, culprit);
  uint32_t value = 0;
  for (int32_t i = 0; i < count; ++i) {
    int32_t cp = code_points[i];
    int32_t digit = cp >= '0' && cp <= '9' ? cp - '0'
                    : cp >= 'A' && cp <= 'F' ? cp - 'A' + 10
                    : cp >= 'a' && cp <= 'f' ? cp - 'a' + 10
                                             : -1;
    // Only ASCII digits count: reading the low 7 bits alone would take
    // letters such as U+00C1 for A.
    if (digit < 0) error::fire(err::cat_script, err::script::invalid_data, culprit);
    value = value << 4 | uint32_t(digit);
  }
  return int32_t(value);
}

// --- Arithmetic -----------------------------------------------------------------

int32_t do_math_op(int32_t left, int32_t right, int32_t op, cell* result) {
  int32_t r = 0;
  switch (op) {
    case OP_ADD:
    case OP_SUBTRACT:
    case OP_MULTIPLY: {
      bool over = op == OP_ADD        ? __builtin_add_overflow(left, right, &r)
                  : op == OP_SUBTRACT ? __builtin_sub_overflow(left, right, &r)
                                      : __builtin_mul_overflow(left, right, &r);
      if (over) {
        // Sums and differences of two 32-bit values are exact in a double.
        double a = left, b = right;
        double d = op == OP_ADD ? a + b : op == OP_SUBTRACT ? a - b : a * b;
        if (!result) return r;  // the wrapped value: only internal callers pass none
        float_::make_at(result, d);
        return 0;
      }
      break;
    }
    case OP_DIVIDE:
      if (right == 0) zero_divide();
      if (left == MIN && right == -1) overflow();
      if (result && left % right != 0) {
        float_::make_at(result, double(left) / double(right));
        return 0;
      }
      r = left / right;
      break;
    case OP_REMAINDER:
      if (right == 0) zero_divide();
      if (left == MIN && right == -1) overflow();
      r = left % right;
      break;
    case OP_OR: r = left | right; break;
    case OP_AND: r = left & right; break;
    case OP_XOR: r = left ^ right; break;
    default: runtime::quit(runtime::RT_NO_SWITCH, reinterpret_cast<uintptr_t>(&do_math_op));
  }
  if (result) result->w2 = uint32_t(r);
  return r;
}

cell* do_math(cell* left, const cell* right, int32_t op) {
  switch (type_of(right)) {
    case TYPE_INTEGER:
    case TYPE_CHAR:
      do_math_op(get(left), get(right), op, left);
      return left;
    case TYPE_FLOAT:
    case TYPE_PERCENT:
    case TYPE_TIME:
      return float_::do_math(left, right, op);
    case TYPE_MONEY:
      return math::body_for(right)(left, right, op);
    case TYPE_PAIR:
    case TYPE_POINT2D:
    case TYPE_POINT3D:
      if (op == OP_DIVIDE) math::not_related(TYPE_INTEGER);
      if (op == OP_SUBTRACT) {
        // a - p is (-p) + a: the compound value is negated and added.
        cell number = *left;
        *left = *right;
        actions::dispatch<ACT_NEGATE>(left);
        return math::body_for(left)(left, &number, OP_ADD);
      }
      return swap_and_forward(left, right, op);
    case TYPE_TUPLE:
      if (op == OP_SUBTRACT || op == OP_DIVIDE) math::not_related(TYPE_INTEGER);
      return swap_and_forward(left, right, op);
    case TYPE_DATE:
      if (op != OP_ADD) math::not_related(TYPE_INTEGER);
      return swap_and_forward(left, right, op);
    case TYPE_VECTOR:
      // The vector's scalar math keeps the vector on the left.
      return swap_and_forward(left, right, op);
    default:
      math::invalid_type(right);
  }
}

cell* add(cell* value1, const cell* value2) { return do_math(value1, value2, OP_ADD); }
cell* subtract(cell* value1, const cell* value2) { return do_math(value1, value2, OP_SUBTRACT); }
cell* multiply(cell* value1, const cell* value2) { return do_math(value1, value2, OP_MULTIPLY); }
cell* divide(cell* value1, const cell* value2) { return do_math(value1, value2, OP_DIVIDE); }
cell* remainder(cell* value1, const cell* value2) { return do_math(value1, value2, OP_REMAINDER); }
cell* and_t(cell* value1, const cell* value2) { return do_math(value1, value2, OP_AND); }
cell* or_t(cell* value1, const cell* value2) { return do_math(value1, value2, OP_OR); }
cell* xor_t(cell* value1, const cell* value2) { return do_math(value1, value2, OP_XOR); }

cell* negate(cell* value) {
  if (get(value) == MIN) overflow();
  value->w2 = uint32_t(-get(value));
  return value;
}

cell* absolute(cell* value) {
  value->w2 = uint32_t(abs(get(value)));
  return value;
}

cell* complement(cell* value) {
  value->w2 = ~value->w2;
  return value;
}

bool even_q(const cell* value) { return (value->w2 & 1) == 0; }
bool odd_q(const cell* value) { return (value->w2 & 1) != 0; }

namespace {

// base ** exponent by binary exponentiation; false when a step overflows.
bool pow_int(int32_t base, int32_t exponent, int32_t& result) {
  result = 1;
  while (exponent != 0) {
    if ((exponent & 1) && __builtin_mul_overflow(result, base, &result)) return false;
    exponent >>= 1;
    if (exponent != 0 && __builtin_mul_overflow(base, base, &base)) return false;
  }
  return true;
}

}  // namespace

cell* power(cell* base, const cell* exponent) {
  math::check_exponent(exponent);
  int32_t r;
  if (type_of(exponent) == TYPE_INTEGER && get(exponent) >= 0 && pow_int(get(base), get(exponent), r)) {
    base->w2 = uint32_t(r);
    return base;
  }
  float_::make_at(base, double(get(base)));
  return float_::power(base, exponent);
}

cell* round(cell* value, const cell* scale, bool even, bool down, bool half_down, bool floor,
            bool ceiling, bool half_ceiling) {
  if (scale && type_of(scale) == TYPE_MONEY) math::not_related(TYPE_MONEY);
  int32_t v = get(value);
  // MIN has no magnitude of its own: it stays as it is under every scale
  // and rule, rather than overflowing or moving off by a remainder.
  if (v == MIN) return value;
  int64_t s = 1;
  if (scale) {
    if (type_of(scale) != TYPE_INTEGER) {
      float_::make_at(value, double(v));
      return float_::round(value, scale, even, down, half_down, floor, ceiling, half_ceiling);
    }
    s = abs(get(scale));
  }
  // Plain rounding leaves every integer as it is; the magnitude below is
  // computed in 64 bits.
  if (s <= 1) return value;
  int64_t a = v < 0 ? -int64_t(v) : int64_t(v);
  int64_t r = a % s;
  if (r == 0) return value;
  int64_t d = s - r;
  int64_t lo = a - r, hi = a + d;
  bool negative = v < 0;
  // away: the magnitude moves away from zero (hi), else toward it (lo).
  // checked: the rule raises whenever a + d leaves the range, whatever the
  // sign, even when the rounded value itself would fit.
  bool away, checked;
  if (down) away = checked = false;
  else if (floor) away = negative, checked = true;
  else if (ceiling) away = !negative, checked = true;
  else if (r < d) away = checked = false;
  else if (r > d) away = checked = true;
  else if (even) checked = away = (a / s) % 2 != 0;
  else if (half_down) away = checked = false;
  else if (half_ceiling) away = !negative, checked = true;
  else away = checked = true;
  if (checked && hi > MAX) overflow();
  int64_t m = away ? hi : lo;
  value->w2 = uint32_t(int32_t(negative ? -m : m));
  return value;
}

cell* random(cell* value, bool seed, bool secure, bool) {
  if (seed) {
    random::seed(value->w2);
    *value = cell{TYPE_UNSET, 0, 0, 0};
  } else if (get(value) != 0) {
    value->w2 = uint32_t(random::range(secure, get(value)));
  }
  return value;
}

// --- Conversion -----------------------------------------------------------------

cell* to(cell* proto, const cell* spec, uint32_t) {
  uint32_t t = type_of(spec);
  int32_t v = 0;
  switch (t) {
    case TYPE_INTEGER: *proto = *spec; return proto;
    case TYPE_CHAR: v = get(spec); break;
    case TYPE_FLOAT:
    case TYPE_PERCENT: v = from_double(float_::get(spec)); break;
    case TYPE_TIME: v = from_double(float_::get(spec) + 0.5); break;
    case TYPE_BINARY: {
      series_buffer* b = memory::buffer_of(spec->w2);
      int32_t head = int32_t(spec->w1);
      uint32_t used = b->used();
      uint32_t h = head < 0 ? 0 : uint32_t(head) > used ? used : uint32_t(head);
      uint32_t n = used - h < 4 ? used - h : 4;
      const uint8_t* p = b->head_ptr() + h;
      uint32_t u = 0;
      for (uint32_t i = 0; i < n; ++i) u = u << 8 | p[i];
      v = int32_t(u);
      break;
    }
    default: {
      math::to_int_fn fn = math::integer_converter(t);
      if (!fn) math::fire_with_type(err::script::bad_to_arg, TYPE_INTEGER, spec);
      v = fn(spec);
    }
  }
  make_at(proto, v);
  return proto;
}

cell* make(cell* proto, const cell* spec, uint32_t type) {
  if (type_of(spec) == TYPE_LOGIC) return make_at(proto, spec->w1 ? 1 : 0);
  return to(proto, spec, type);
}

int32_t form(const cell* value, cell* buffer, const cell*, int32_t part) {
  uint32_t n;
  const char* text = form_signed(get(value), n);
  string::concatenate_bytes(buffer, reinterpret_cast<const uint8_t*>(text), n);
  return part - int32_t(n);
}

int32_t mold(const cell* value, cell* buffer, bool, bool, bool, const cell* arg, int32_t part, int32_t) {
  return form(value, buffer, arg, part);
}

int32_t compare(const cell* value1, const cell* value2, int32_t op) {
  uint32_t t = type_of(value2);
  if ((op == COMP_STRICT_EQUAL || op == COMP_FIND) && t != TYPE_INTEGER) return 1;
  switch (t) {
    case TYPE_INTEGER:
    case TYPE_CHAR: {
      int32_t a = get(value1), b = get(value2);
      return (a > b) - (a < b);
    }
    case TYPE_FLOAT:
    case TYPE_PERCENT:
    case TYPE_TIME: {
      cell widened;
      float_::make_at(&widened, double(get(value1)));
      return float_::compare(&widened, value2, op);
    }
    case TYPE_MONEY: return math::compare_reversed(value1, value2, op);
    default: return -2;
  }
}

void init() {
  datatype::registration(TYPE_INTEGER, 0, "integer!")
      .set<ACT_MAKE>(make)
      .set<ACT_RANDOM>(random)
      .set<ACT_TO>(to)
      .set<ACT_FORM>(form)
      .set<ACT_MOLD>(mold)
      .set<ACT_COMPARE>(compare)
      .set<ACT_ABSOLUTE>(absolute)
      .set<ACT_ADD>(add)
      .set<ACT_DIVIDE>(divide)
      .set<ACT_MULTIPLY>(multiply)
      .set<ACT_NEGATE>(negate)
      .set<ACT_POWER>(power)
      .set<ACT_REMAINDER>(remainder)
      .set<ACT_ROUND>(round)
      .set<ACT_SUBTRACT>(subtract)
      .set<ACT_EVEN_Q>(even_q)
      .set<ACT_ODD_Q>(odd_q)
      .set<ACT_AND_T>(and_t)
      .set<ACT_COMPLEMENT>(complement)
      .set<ACT_OR_T>(or_t)
      .set<ACT_XOR_T>(xor_t)
      .commit();
}

}  // namespace integer
}  // namespace kez
