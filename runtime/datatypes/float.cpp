#include "runtime/datatypes/float.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "runtime/actions.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/string.h"
#include "runtime/float_text.h"
#include "runtime/memory.h"
#include "runtime/random.h"
#include "runtime/stack.h"

namespace kez::float_ {

bool pretty_q = true;

namespace {

constexpr double EPSILON = 2.220446049250313e-16;

inline uint64_t bits_of(double d) {
  uint64_t u;
  std::memcpy(&u, &d, sizeof u);
  return u;
}

// The series bytes of a cell from its head index (clamped to the tail).
const uint8_t* series_head(const cell* value, uint32_t& bytes, uint32_t unit_bytes) {
  series_buffer* b = memory::buffer_of(value->w2);
  int32_t head = int32_t(value->w1);
  uint32_t count = b->used() / unit_bytes;
  uint32_t h = head < 0 ? 0 : uint32_t(head) > count ? count : uint32_t(head);
  bytes = (count - h) * unit_bytes;
  return b->head_ptr() + h * unit_bytes;
}

}  // namespace

// --- Cell operations --------------------------------------------------------------

cell* make_in64(cell* block, uint32_t low, uint32_t high) {
  series_buffer* b = memory::buffer_of(block->w2);
  cell* c = reinterpret_cast<cell*>(series::make_room(b, sizeof(cell)));
  *c = cell{TYPE_FLOAT, 0, low, high};
  return c;
}
cell* push(double d) { return make_at(stack::push_cell(), d); }
cell* push64(uint32_t low, uint32_t high) {
  cell* c = stack::push_cell();
  *c = cell{TYPE_FLOAT, 0, low, high};
  return c;
}
cell* box(double d) { return make_at(stack::arguments, d); }

bool special_q(double d) { return std::isnan(d); }
bool non_finite_q(double d) { return !std::isfinite(d); }
bool nan32_q(float f) { return f != f; }

bool almost_equal_q(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return false;
  if (a == b || abs(a - b) < EPSILON) return true;
  // Doubles mapped to keys that order as the values do; neighbours differ by 1.
  auto key = [](double d) {
    uint64_t u = bits_of(d);
    return (u >> 63) ? ~u + 1 : u | (uint64_t(1) << 63);
  };
  uint64_t ka = key(a), kb = key(b);
  return (ka > kb ? ka - kb : kb - ka) <= 10;
}

bool almost_equal32_q(float a, float b) {
  if (a != a || b != b) return false;
  if (a == b) return true;
  auto key = [](float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return (u >> 31) ? ~u + 1 : u | 0x80000000u;
  };
  uint32_t ka = key(a), kb = key(b);
  return (ka > kb ? ka - kb : kb - ka) <= 10;
}

int32_t round_to_int(double d) {
  double r = std::trunc(d + 0.49999999999999994);
  if (!(r == r)) return 0;
  return r <= -2147483648.0 ? INT32_MIN : r >= 2147483647.0 ? INT32_MAX : int32_t(r);
}

// --- Text -------------------------------------------------------------------------

const char* form_float(double value, int32_t kind) {
  static char text[40];
  if (std::isinf(value)) return value < 0 ? "-1.#INF" : "1.#INF";
  if (std::isnan(value)) return "1.#NaN";
  bool percent = kind == KIND_PERCENT_SINGLE || kind == KIND_PERCENT;
  if (pretty_q && abs(value) < EPSILON) return percent ? "0%" : kind == KIND_SINGLE_BARE ? "0" : "0.0";

  bool single = kind == KIND_SINGLE || kind == KIND_PERCENT_SINGLE || kind == KIND_SINGLE_BARE;
  if (kind == KIND_TIME) std::snprintf(text, sizeof text, "%s", format_text(value, 6, false));
  else std::snprintf(text, sizeof text, single ? "%.7g" : kind == KIND_PERCENT ? "%.13g" : "%.16g", value);

  if (pretty_q) {
    // A last pair of digits "01" or "99" at full width is noise of the
    // binary value (0.1 + 0.7 prints 0.7999999999999999): print fewer digits.
    const char* e = std::strchr(text, 'e');
    size_t mantissa = e ? size_t(e - text) : std::strlen(text);
    size_t limit = (text[0] == '0' || (text[0] == '-' && text[1] == '0')) && !e ? 17 : 16;
    if (mantissa > limit) {
      const char* last = text + mantissa - 2;
      if (std::strncmp(last, "01", 2) == 0 || std::strncmp(last, "99", 2) == 0)
        std::snprintf(text, sizeof text, kind == KIND_SINGLE || kind == KIND_TIME || kind == KIND_SINGLE_BARE ? "%.5g" : "%.14g", value);
    }
  }

  // Exponent without "+" and leading zeros: 1e+25 -> 1e25, 1e-07 -> 1e-7.
  if (char* e = std::strchr(text, 'e')) {
    char* w = e + 1;
    const char* r = w;
    if (*r == '+') ++r;
    else if (*r == '-') *w++ = *r++;
    while (*r == '0' && r[1]) ++r;
    std::memmove(w, r, std::strlen(r) + 1);
  }

  size_t n = std::strlen(text);
  if (percent) {
    text[n] = '%';
    text[n + 1] = 0;
  } else if (kind != KIND_TIME && kind != KIND_SINGLE_BARE && !std::strchr(text, '.')) {
    char* e = std::strchr(text, 'e');
    size_t at = e ? size_t(e - text) : n;
    std::memmove(text + at + 2, text + at, n - at + 1);
    text[at] = '.';
    text[at + 1] = '0';
  }
  return text;
}

int32_t form(const cell* value, cell* buffer, const cell*, int32_t part) {
  const char* text = form_float(get(value), KIND_DOUBLE);
  string::concatenate_literal(buffer, text);
  return part - int32_t(std::strlen(text));
}

int32_t mold(const cell* value, cell* buffer, bool, bool, bool, const cell*, int32_t part, int32_t) {
  const char* text = format_text(get(value), 0, true);
  string::concatenate_literal(buffer, text);
  return part - int32_t(std::strlen(text));
}

// --- Arithmetic -----------------------------------------------------------------

double do_math_op(double left, double right, int32_t op) {
  switch (op) {
    case OP_ADD: return left + right;
    case OP_SUBTRACT: return left - right;
    case OP_MULTIPLY: return left * right;
    case OP_DIVIDE: return left / right;
    case OP_REMAINDER:
      if (std::isnan(right)) return right;
      if (std::isinf(right)) return std::isfinite(left) ? left : NAN;
      return std::fmod(left, right);  // the dividend's sign; a zero divisor gives NaN
    default: {
      cell kind;
      datatype::make_at(&kind, TYPE_FLOAT);
      error::fire(err::cat_script, err::script::cannot_use, nullptr, &kind);
    }
  }
}

namespace {

double number_of(const cell* value) {
  uint32_t t = type_of(value);
  return t == TYPE_INTEGER || t == TYPE_CHAR ? double(integer::get(value)) : get(value);
}

}  // namespace

cell* do_math(cell* left, const cell* right, int32_t op) {
  uint32_t lt = type_of(left), rt = type_of(right);
  switch (rt) {
    case TYPE_TUPLE:
    case TYPE_MONEY:
      return math::body_for(right)(left, right, op);
    case TYPE_PAIR:
    case TYPE_POINT2D:
    case TYPE_POINT3D:
    case TYPE_VECTOR: {
      if (lt == TYPE_TIME && rt != TYPE_VECTOR) math::invalid_type(right);
      if (rt != TYPE_VECTOR && (op == OP_SUBTRACT || op == OP_DIVIDE)) math::not_related(rt);
      math::body fn = math::body_for(right);
      // The compound value goes left; the number keeps the left operand's type.
      cell number = *left;
      if (lt == TYPE_INTEGER) make_at(&number, double(integer::get(left)));
      *left = *right;
      return fn(left, &number, op);
    }
    case TYPE_INTEGER:
    case TYPE_CHAR:
    case TYPE_FLOAT:
    case TYPE_PERCENT:
    case TYPE_TIME:
      break;
    default:
      math::invalid_type(right);
  }
  if (rt == TYPE_CHAR && (lt == TYPE_TIME || lt == TYPE_PERCENT)) math::invalid_type(right);
  uint32_t type = lt == TYPE_TIME || rt == TYPE_TIME            ? TYPE_TIME
                  : lt == TYPE_PERCENT                          ? TYPE_PERCENT
                                                                : TYPE_FLOAT;
  return make_at(left, do_math_op(number_of(left), number_of(right), op), type);
}

cell* add(cell* value1, const cell* value2) { return do_math(value1, value2, OP_ADD); }
cell* subtract(cell* value1, const cell* value2) { return do_math(value1, value2, OP_SUBTRACT); }
cell* multiply(cell* value1, const cell* value2) { return do_math(value1, value2, OP_MULTIPLY); }
cell* divide(cell* value1, const cell* value2) { return do_math(value1, value2, OP_DIVIDE); }
cell* remainder(cell* value1, const cell* value2) { return do_math(value1, value2, OP_REMAINDER); }

cell* negate(cell* value) {
  store_double(&value->w2, 0.0 - get(value));
  return value;
}

cell* absolute(cell* value) {
  store_double(&value->w2, abs(get(value)));
  return value;
}

cell* power(cell* base, const cell* exponent) {
  math::check_exponent(exponent);
  store_double(&base->w2, std::pow(get(base), number_of(exponent)));
  return base;
}

// Evenness of the whole part, exact for every finite double (all doubles of
// 2^53 and above are even); a NaN or an infinity has none.
namespace {
bool whole_part_even(const cell* value) {
  double d = get(value);
  if (!std::isfinite(d)) math::fire_with_type(err::script::type_limit, TYPE_INTEGER);
  return std::fmod(std::trunc(d), 2.0) == 0.0;
}
}  // namespace

bool even_q(const cell* value) { return whole_part_even(value); }
bool odd_q(const cell* value) { return !whole_part_even(value); }

cell* round(cell* value, const cell* scale, bool even, bool down, bool half_down, bool floor,
            bool ceiling, bool half_ceiling) {
  if (scale && type_of(scale) == TYPE_MONEY) math::not_related(TYPE_MONEY);
  bool percent = type_of(value) == TYPE_PERCENT;
  double v = get(value);
  double s = percent ? 0.01 : 1.0;
  if (scale) s = abs(number_of(scale)) / (percent ? 100.0 : 1.0);

  double result = v;
  if (s != 0.0 && !(s < abs(v) * 0x1p-53)) {
    int e = 0;
    double x;
    if (s >= 1.0) {
      x = v / s;
    } else {
      // A subnormal step would overflow 1 / s: scale by its exponent instead.
      double m = std::frexp(s, &e);
      if (e <= -1022) {
        s = m;
        v = std::ldexp(v, -e);
      } else {
        e = 0;
      }
      x = v * (1.0 / s);
    }
    double a = abs(x), f = std::floor(a), h = f + 0.5;
    bool neg = x < 0;
    double mag;  // magnitude, signed below
    double r;
    if (down) r = neg ? 0.0 - f : f;
    else if (floor) r = std::floor(x) + 0.0;  // + 0.0: a zero result is +0.0
    else if (ceiling) r = std::ceil(x) + 0.0;
    else {
      if (a > h) mag = std::ceil(a);
      else if (a < h) mag = f;
      else if (even) mag = std::fmod(a, 2.0) < 1.0 ? f : std::ceil(a);
      else if (half_down) mag = f;
      else if (half_ceiling) mag = neg ? f : std::ceil(a);
      else mag = std::ceil(a);
      r = neg ? 0.0 - mag : mag;
    }
    if (s >= 1.0) {
      result = r * s;
      if (abs(result) >= DBL_MAX) error::fire(err::cat_math, err::math::overflow);
    } else {
      result = std::ldexp(r / (1.0 / s), e);
    }
  }

  if (scale && type_of(scale) == TYPE_INTEGER) {
    // The answer must be a whole integer!: one beyond the range cannot be.
    if (integer::overflow_q(result)) error::fire(err::cat_math, err::math::overflow);
    return integer::make_at(value, int32_t(result));
  }
  return make_at(value, result, scale ? type_of(scale) : type_of(value));
}

double random_double(double max, bool secure) {
  if (secure) {
    double r1 = random::next_secure(), r2 = random::next_secure();
    return max * (r2 + r1 / 2147483647.0) / 2147483648.0;
  }
  // Generator outputs are 31-bit, so the signed reading is never negative.
  return max * (int32_t(random::next_uint32()) / 2147483647.0);
}

cell* random(cell* value, bool seed, bool secure, bool) {
  if (seed) {
    random::seed(value->w2 ^ value->w3);
    *value = cell{TYPE_UNSET, 0, 0, 0};
    return value;
  }
  store_double(&value->w2, random_double(get(value), secure));
  return value;
}

// --- Comparison -------------------------------------------------------------------

int32_t compare(const cell* value1, const cell* value2, int32_t op) {
  uint32_t t1 = type_of(value1), t2 = type_of(value2);
  if ((op == COMP_STRICT_EQUAL || op == COMP_SAME || op == COMP_FIND) && t1 != t2) return 1;
  double a = get(value1), b;
  switch (t2) {
    case TYPE_INTEGER: b = double(integer::get(value2)); break;
    case TYPE_FLOAT:
    case TYPE_PERCENT:
    case TYPE_TIME: b = get(value2); break;
    case TYPE_MONEY:
      // money! owns the rules for floats beyond its step and range.
      return math::compare_reversed(value1, value2, op);
    default: return -2;
  }
  switch (op) {
    case COMP_EQUAL:
    case COMP_NOT_EQUAL: return almost_equal_q(a, b) ? 0 : 1;
    case COMP_STRICT_EQUAL: return a == b ? 0 : 1;
    case COMP_SAME: return bits_of(a) == bits_of(b) ? 0 : 1;
    default:
      if (std::isnan(a) || std::isnan(b)) {
        // Every ordered test involving NaN fails.
        if (op == COMP_LESSER || op == COMP_LESSER_EQUAL) return 1;
        if (op == COMP_GREATER || op == COMP_GREATER_EQUAL) return -1;
      }
      return (a > b) - (a < b);
  }
}

// --- Conversion -----------------------------------------------------------------

cell* make(cell* proto, const cell* spec, uint32_t type) {
  uint32_t t = type_of(spec);
  double d;
  switch (t) {
    case TYPE_INTEGER:
    case TYPE_CHAR: d = double(integer::get(spec)); break;
    case TYPE_FLOAT:
    case TYPE_PERCENT:
    case TYPE_TIME: d = get(spec); break;
    case TYPE_BINARY: {
      uint32_t n;
      const uint8_t* p = series_head(spec, n, 1);
      uint64_t u = 0;
      for (uint32_t i = 0; i < n && i < 8; ++i) u = u << 8 | p[i];
      std::memcpy(&d, &u, sizeof d);
      break;
    }
    case TYPE_BLOCK:
    case TYPE_PAREN:
    case TYPE_HASH: {
      uint32_t n;
      const cell* c = reinterpret_cast<const cell*>(series_head(spec, n, sizeof(cell)));
      auto numeric = [](const cell* x) { return type_of(x) == TYPE_INTEGER || type_of(x) == TYPE_FLOAT; };
      if (n != 2 * sizeof(cell) || !numeric(c) || !numeric(c + 1)) math::fire_with_type(err::script::bad_to_arg, type, spec);
      // [mantissa exponent]: the exponent counts whole powers of ten.
      d = number_of(c) * std::pow(10.0, std::trunc(number_of(c + 1)));
      break;
    }
    default: {
      math::to_double_fn fn = math::float_converter(t);
      if (!fn) math::fire_with_type(err::script::bad_to_arg, type, spec);
      d = fn(spec, type);
    }
  }
  return make_at(proto, d, type);
}

void init() {
  datatype::registration(TYPE_FLOAT, 0, "float!")
      .set<ACT_MAKE>(make)
      .set<ACT_RANDOM>(random)
      .set<ACT_TO>(make)
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
      .commit();
}

}  // namespace kez::float_
