#include "runtime/datatypes/money.h"

#include <cmath>
#include <cstring>

#include "runtime/actions.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/string.h"
#include "runtime/float_text.h"
#include "runtime/hashtable.h"
#include "runtime/random.h"
#include "runtime/stack.h"
#include "runtime/system_stub.h"

namespace kez::money {

namespace {

// An amount as a count of 0.00001 units: 22 decimal digits fit easily.
using count = unsigned __int128;

constexpr count power10(int n) {
  count p = 1;
  while (n-- > 0) p *= 10;
  return p;
}
constexpr count LIMIT = power10(22);  // first count that does not fit
constexpr count UNIT = 100000;        // 1.00000
constexpr int DIGITS = 22;

uint8_t* bytes_of(cell* c) { return reinterpret_cast<uint8_t*>(c); }
const uint8_t* bytes_of(const cell* c) { return reinterpret_cast<const uint8_t*>(c); }

count magnitude(const cell* c) {
  const uint8_t* b = bytes_of(c) + 5;
  count m = 0;
  for (int i = 0; i < 11; ++i) m = m * 100 + (b[i] >> 4) * 10 + (b[i] & 0x0F);
  return m;
}

bool flag_negative(const cell* c) { return (c->header & SIGN_FLAG) != 0; }

// A whole money cell; a zero amount is never negative.
cell* set(cell* target, bool negative, int32_t currency, count m) {
  target->header = TYPE_MONEY | (negative && m ? SIGN_FLAG : 0);
  target->w1 = target->w2 = target->w3 = 0;
  uint8_t* b = bytes_of(target);
  b[4] = uint8_t(currency);
  for (int i = 10; i >= 0; --i) {
    uint8_t low = uint8_t(m % 10);
    m /= 10;
    uint8_t high = uint8_t(m % 10);
    m /= 10;
    b[5 + i] = uint8_t(high << 4 | low);
  }
  return target;
}

// Significant digits, at least 1.
int significant(count m) {
  int n = 0;
  for (; m; m /= 10) ++n;
  return n ? n : 1;
}

[[noreturn]] void limit() { math::fire_with_type(err::script::type_limit, TYPE_MONEY); }
[[noreturn]] void bad_make(const cell* spec) { math::fire_with_type(err::script::bad_make_arg, TYPE_MONEY, spec); }
[[noreturn]] void bad_to(const cell* spec) { math::fire_with_type(err::script::bad_to_arg, TYPE_MONEY, spec); }

struct amount {
  bool negative;
  count m;
};
amount amount_of(const cell* c) { return {flag_negative(c) && magnitude(c) != 0, magnitude(c)}; }
int32_t sign_of(const amount& a) { return a.m == 0 ? 0 : a.negative ? -1 : 1; }

// Signed comparison of two amounts (currency ignored).
int32_t compare_amounts(const amount& a, const amount& b) {
  int32_t sa = sign_of(a), sb = sign_of(b);
  if (sa != sb) return sa < sb ? -1 : 1;
  int32_t r = (a.m > b.m) - (a.m < b.m);
  return sa < 0 ? -r : r;
}

amount add_amounts(amount a, amount b) {
  if (b.m == 0) return a;
  if (a.m == 0) return b;
  if (a.negative == b.negative) {
    count s = a.m + b.m;
    if (s >= LIMIT) limit();
    return {a.negative, s};
  }
  if (a.m >= b.m) return {a.negative, a.m - b.m};
  return {b.negative, b.m - a.m};
}

amount multiply_amounts(amount a, amount b) {
  if (a.m == 0) return a;
  if (b.m == 0) return b;
  // The digit-count test keeps the product below 10^28, well inside 128 bits.
  if (significant(a.m) + significant(b.m) > 28) limit();
  count p = a.m * b.m;
  if (p >= power10(27)) limit();
  count r = p / UNIT;
  if (r == 0) limit();
  return {a.negative != b.negative, r};
}

amount divide_amounts(amount a, amount b, bool remainder) {
  if (b.m == 0) error::fire(err::cat_math, err::math::zero_divide);
  if (a.m == 0) return a;
  if (significant(a.m) + 6 - significant(b.m) > DIGITS) limit();
  if (remainder) return {a.negative, a.m % b.m};
  count q = a.m * UNIT / b.m;
  if (q >= LIMIT || q == 0) limit();
  return {a.negative != b.negative, q};
}

// The text form shared by form, mold and to_float.
int32_t write_text(const cell* value, cell* buffer, int32_t part, bool all, bool grouping) {
  char text[64];
  char* w = text;
  amount a = amount_of(value);
  if (a.negative) *w++ = '-';
  if (const char* code = system_stub::currency_code(currency_of(value))) {
    std::memcpy(w, code, 3);
    w += 3;
  }
  *w++ = '$';
  count whole = a.m / UNIT;
  if (whole == 0) {
    *w++ = '0';
  } else {
    char digits[24];
    int n = 0;
    for (count x = whole; x; x /= 10) digits[n++] = char('0' + int(x % 10));
    // digits[k] is the digit k places left of the units digit.
    for (int k = n - 1; k >= 0; --k) {
      *w++ = digits[k];
      if (grouping && k > 0 && k % 3 == 0) *w++ = '\'';
    }
  }
  int32_t fraction = system_stub::has_money_digits() ? system_stub::money_digits() : 2;
  if (all || fraction > 5) fraction = 5;
  if (fraction > 0) {
    *w++ = '.';
    uint32_t f = uint32_t(a.m % UNIT);
    char five[6];
    for (int i = 4; i >= 0; --i, f /= 10) five[i] = char('0' + f % 10);
    std::memcpy(w, five, size_t(fraction));
    w += fraction;
  }
  *w = 0;
  string::concatenate_literal(buffer, text);
  return part - int32_t(w - text);
}

// A number operand of the math body or of compare, as an amount.
amount operand(const cell* value) {
  cell c;
  switch (type_of(value)) {
    case TYPE_MONEY: return amount_of(value);
    case TYPE_INTEGER: return amount_of(from_integer(&c, integer::get(value)));
    case TYPE_FLOAT:
    case TYPE_PERCENT: return amount_of(from_float(&c, float_::get(value), false));
    default: math::invalid_type(value);
  }
}

count from_digits(const char* p, const char* end, bool fraction) {
  count m = 0;
  int n = 0;
  for (; p < end && n < (fraction ? 5 : 17); ++p) {
    if (*p == '\'') continue;
    m = m * 10 + count(*p - '0');
    ++n;
  }
  if (fraction)
    for (; n < 5; ++n) m *= 10;
  return m;
}

}  // namespace

// --- Builders and conversions --------------------------------------------------

cell* make_at(cell* target, bool negative, int32_t currency, const uint8_t amount_bytes[11]) {
  target->header = TYPE_MONEY | (negative ? SIGN_FLAG : 0);
  target->w1 = target->w2 = target->w3 = 0;
  bytes_of(target)[4] = uint8_t(currency);
  std::memcpy(bytes_of(target) + 5, amount_bytes, 11);
  return target;
}

cell* make_in(cell* block, bool negative, int32_t currency, const uint8_t amount_bytes[11]) {
  return make_at(block::alloc_tail(block), negative, currency, amount_bytes);
}

cell* load_text(cell* target, bool negative, const char* currency, const char* first,
                const char* point, const char* end) {
  int32_t index = 0;
  if (currency) {
    index = system_stub::currency_index(currency, 3);
    if (index < 0) return nullptr;
  }
  const char* whole_end = point ? point : end;
  // Integer digits count from the units digit leftwards; keep the last 17.
  count whole = 0, scale = 1;
  int n = 0;
  for (const char* p = whole_end; p > first && n < 17;) {
    --p;
    if (*p == '\'') continue;
    whole += count(*p - '0') * scale;
    scale *= 10;
    ++n;
  }
  count fraction = point ? from_digits(point + 1, end, true) : 0;
  return set(target, negative, index, whole * UNIT + fraction);
}

cell* from_integer(cell* target, int32_t n) {
  count m = n < 0 ? count(-int64_t(n)) : count(n);
  return set(target, n < 0, 0, m * UNIT);
}

bool float_too_big_q(double d) { return std::fabs(d) >= 1e17; }
bool float_too_small_q(double d) { return d != 0.0 && std::fabs(d) < 1e-5; }

cell* from_float(cell* target, double d, bool strict) {
  cell culprit;
  float_::make_at(&culprit, d);
  if (!std::isfinite(d) || float_too_big_q(d) || float_too_small_q(d)) bad_make(&culprit);
  float_::digits t = float_::to_shortest(d, 0, false);
  if (t.point == float_::POINT_ZERO) return set(target, false, 0, 0);
  // value = 0.d1d2... x 10^point; digit i weighs 10^(point - 1 - i).
  if (strict && t.count - t.point > 5) bad_make(&culprit);
  count m = 0;
  for (int32_t i = 0; i < t.count; ++i) {
    int32_t units = t.point - 1 - i + 5;  // its weight in 0.00001 units
    if (units >= 0) m += count(t.text[i] - '0') * power10(units);
  }
  return set(target, t.negative, 0, m);
}

cell* push_integer(int32_t n) { return from_integer(stack::push_cell(), n); }
cell* push_float(double d, bool strict) { return from_float(stack::push_cell(), d, strict); }

double to_float(const cell* value) {
  amount a = amount_of(value);
  if (a.m == 0) return 0.0;
  char text[48];
  char* w = text + sizeof text;
  count x = a.m;
  for (int i = 0; i < 5; ++i, x /= 10) *--w = char('0' + int(x % 10));
  *--w = '.';
  do {
    *--w = char('0' + int(x % 10));
    x /= 10;
  } while (x);
  double d = float_::from_string(w, text + sizeof text, 0, nullptr);
  return a.negative ? -d : d;
}

int32_t to_integer(const cell* value) {
  amount a = amount_of(value);
  count whole = a.m / UNIT;
  if (whole > (a.negative ? count(2147483648u) : count(2147483647u)))
    math::fire_with_type(err::script::type_limit, TYPE_INTEGER);
  int64_t v = int64_t(whole);
  return int32_t(a.negative ? -v : v);
}

int32_t sign_q(const cell* value) { return sign_of(amount_of(value)); }

int32_t currency_index(const cell* word) {
  const char* name = system_stub::hooks.word_name ? system_stub::hooks.word_name(word) : nullptr;
  return name ? system_stub::currency_index(name, int32_t(std::strlen(name))) : -1;
}

void set_currency(cell* value, int32_t index) { bytes_of(value)[4] = uint8_t(index); }

// --- Arithmetic ----------------------------------------------------------------

cell* do_math(cell* left, const cell* right, int32_t op) {
  uint32_t lt = type_of(left), rt = type_of(right);
  if (op > OP_REMAINDER) math::invalid_type(lt == TYPE_MONEY ? left : right);
  if (lt == TYPE_MONEY && rt == TYPE_MONEY && op == OP_MULTIPLY) math::invalid_type(left);
  if (lt != TYPE_MONEY && (op == OP_DIVIDE || op == OP_REMAINDER)) math::invalid_type(left);
  int32_t c1 = lt == TYPE_MONEY ? currency_of(left) : 0;
  int32_t c2 = rt == TYPE_MONEY ? currency_of(right) : 0;
  amount a = operand(left), b = operand(right);
  if (c1 && c2 && c1 != c2) error::fire(err::cat_script, err::script::wrong_denom, left, right);
  int32_t currency = c2 ? c2 : c1;
  amount r;
  switch (op) {
    case OP_ADD: r = add_amounts(a, b); break;
    case OP_SUBTRACT: r = add_amounts(a, {!b.negative, b.m}); break;
    case OP_MULTIPLY: r = multiply_amounts(a, b); break;
    case OP_DIVIDE:
      r = divide_amounts(a, b, false);
      if (rt == TYPE_MONEY) {
        cell q;
        return float_::make_at(left, to_float(set(&q, r.negative, 0, r.m)));
      }
      break;
    default: r = divide_amounts(a, b, true); break;
  }
  return set(left, r.negative, currency, r.m);
}

namespace {
cell* add(cell* v1, const cell* v2) { return do_math(v1, v2, OP_ADD); }
cell* subtract(cell* v1, const cell* v2) { return do_math(v1, v2, OP_SUBTRACT); }
cell* multiply(cell* v1, const cell* v2) { return do_math(v1, v2, OP_MULTIPLY); }
cell* divide(cell* v1, const cell* v2) { return do_math(v1, v2, OP_DIVIDE); }
cell* remainder(cell* v1, const cell* v2) { return do_math(v1, v2, OP_REMAINDER); }

cell* absolute(cell* value) {
  value->header &= ~SIGN_FLAG;
  return value;
}
cell* negate(cell* value) {
  value->header ^= SIGN_FLAG;
  return value;
}
bool odd_q(const cell* value) { return (magnitude(value) / UNIT) % 2 == 1; }
bool even_q(const cell* value) { return !odd_q(value); }
}  // namespace

cell* round(cell* value, const cell* scale, bool even, bool down, bool half_down, bool floor,
            bool ceiling, bool half_ceiling) {
  amount v = amount_of(value);
  if (v.m == 0) return value;
  count s = UNIT;
  if (scale) {
    cell c;
    switch (type_of(scale)) {
      case TYPE_INTEGER: s = magnitude(from_integer(&c, integer::get(scale))); break;
      case TYPE_FLOAT: s = magnitude(from_float(&c, float_::get(scale), true)); break;
      case TYPE_MONEY: s = magnitude(scale); break;
      default: math::not_related(type_of(scale));
    }
  }
  if (s == 0) return value;
  count r = v.m % s, c = s - r;
  // A value already on the scale stays: the up-rounding rules would add a
  // whole step for a zero remainder.
  if (r == 0) return value;
  bool half = 2 * r == s;
  count lower = v.m - r, upper = v.m + c;
  auto default_rule = [&] { return r < c ? lower : upper; };
  auto ceiling_rule = [&] { return v.negative ? lower : upper; };
  count m;
  if (down) m = lower;
  else if (floor) m = v.negative ? upper : lower;
  else if (ceiling) m = ceiling_rule();
  else if (even) m = half && (lower / s) % 2 == 0 ? lower : default_rule();
  else if (half_down) m = half ? lower : default_rule();
  else if (half_ceiling) m = half ? ceiling_rule() : default_rule();
  else m = default_rule();
  if (m >= LIMIT) limit();
  return set(value, v.negative, currency_of(value), m);
}

cell* random(cell* value, bool seed, bool secure, bool) {
  if (seed) {
    kez::random::seed(value->w1 ^ value->w2 ^ value->w3 ^ (flag_negative(value) ? 1u : 0u));
    *value = cell{TYPE_UNSET, 0, 0, 0};
    return value;
  }
  auto draw = [&] { return secure ? kez::random::next_secure() : kez::random::next_uint32(); };
  amount v = amount_of(value);
  int digits[DIGITS];
  count x = v.m;
  for (int i = DIGITS - 1; i >= 0; --i, x /= 10) digits[i] = int(x % 10);
  count m = 0;
  bool free = false;  // once below the value, later digits are unconstrained
  int first = 0;      // leading zeros stay zeros
  while (first < DIGITS - 1 && digits[first] == 0) ++first;
  if (v.m == 0) return value;
  for (int i = first; i < DIGITS; ++i) {
    int d = digits[i];
    int out;
    if (free) {
      out = int(draw() % 10);
    } else {
      for (;;) {
        int r = int(draw() % uint32_t(d + 1));
        if (r < d) {
          out = r;
          free = true;
          break;
        }
        if (draw() % 1000 == draw() % 1000) {
          out = d;
          break;
        }
      }
    }
    m = m * 10 + count(out);
  }
  return set(value, v.negative, currency_of(value), m);
}

// --- Comparison ----------------------------------------------------------------

int32_t compare(const cell* value1, const cell* value2, int32_t op) {
  uint32_t t2 = type_of(value2);
  if ((op == COMP_STRICT_EQUAL || op == COMP_SAME || op == COMP_FIND) && t2 != TYPE_MONEY) return 1;
  amount a = amount_of(value1);
  switch (t2) {
    case TYPE_MONEY: {
      int32_t c1 = currency_of(value1), c2 = currency_of(value2);
      amount b = amount_of(value2);
      if (op == COMP_SORT || op == COMP_CASE_SORT) {
        if (c1 != c2) {
          if (!c1 || !c2) return c1 ? 1 : -1;
          const char* n1 = system_stub::currency_code(c1);
          const char* n2 = system_stub::currency_code(c2);
          int r = n1 && n2 ? std::strcmp(n1, n2) : (c1 > c2) - (c1 < c2);
          if (r) return r < 0 ? -1 : 1;
        }
        return compare_amounts(a, b);
      }
      if (op >= COMP_LESSER && op <= COMP_GREATER_EQUAL) {
        if (c1 && c2 && c1 != c2) error::fire(err::cat_script, err::script::wrong_denom, value1, value2);
        return compare_amounts(a, b);
      }
      bool identical = op == COMP_STRICT_EQUAL || op == COMP_SAME || (op == COMP_FIND && c2);
      if (identical ? c1 != c2 : (c1 && c2 && c1 != c2)) return 1;
      return compare_amounts(a, b);
    }
    case TYPE_INTEGER: {
      cell c;
      return compare_amounts(a, amount_of(from_integer(&c, integer::get(value2))));
    }
    case TYPE_FLOAT: {
      double d = float_::get(value2);
      if (std::isnan(d)) return -2;
      // Beyond the money range the float's sign decides; below the money
      // step a non-zero amount outweighs it, and a zero amount differs from
      // it by the float's sign.
      int32_t fs = (d > 0) - (d < 0);
      if (float_too_big_q(d)) return -fs;
      if (float_too_small_q(d)) return a.m ? sign_of(a) : -fs;
      cell c;
      return compare_amounts(a, amount_of(from_float(&c, d, true)));
    }
    default: return -2;
  }
}

// --- Construction and text -----------------------------------------------------

cell* to(cell* proto, const cell* spec, uint32_t) {
  uint32_t t = type_of(spec);
  switch (t) {
    case TYPE_MONEY: *proto = *spec; return proto;
    case TYPE_INTEGER: return from_integer(proto, integer::get(spec));
    case TYPE_FLOAT: return from_float(proto, float_::get(spec), true);
    default:
      if (string::any_string_q(t)) {
        cell out;
        if (system_stub::hooks.scan_money && system_stub::hooks.scan_money(spec, &out) &&
            type_of(&out) == TYPE_MONEY) {
          *proto = out;
          return proto;
        }
      }
      bad_to(spec);
  }
}

cell* make(cell* proto, const cell* spec, uint32_t type) {
  uint32_t t = type_of(spec);
  if (t == TYPE_WORD) {
    int32_t index = currency_index(spec);
    if (index < 0) bad_make(spec);
    return set(proto, false, index, 0);
  }
  if (t != TYPE_BLOCK) return to(proto, spec, type);
  cell block_cell = *spec;
  int32_t n = block::ks_length_q(&block_cell);
  if (n < 1 || n > 3) bad_make(spec);
  const cell* v = block::ks_head(&block_cell);
  int32_t i = 0, currency = 0;
  if (type_of(v) == TYPE_WORD) {
    currency = currency_index(v);
    if (currency < 0 || n < 2) bad_make(spec);
    i = 1;
  }
  cell c;
  bool whole = type_of(v + i) == TYPE_INTEGER;
  if (whole) from_integer(&c, integer::get(v + i));
  else if (type_of(v + i) == TYPE_FLOAT) from_float(&c, float_::get(v + i), true);
  else bad_make(spec);
  amount a = amount_of(&c);
  ++i;
  if (i < n) {
    if (!whole || type_of(v + i) != TYPE_INTEGER) bad_make(spec);
    int32_t fraction = integer::get(v + i);
    if (fraction < 0 || fraction > 99999) bad_make(spec);
    a.m += count(fraction);  // the fraction takes the amount's sign
    if (a.m >= LIMIT) limit();
    ++i;
  }
  if (i < n) bad_make(spec);
  return set(proto, a.negative, currency, a.m);
}

int32_t form(const cell* value, cell* buffer, const cell*, int32_t part) {
  return write_text(value, buffer, part, false, true);
}

int32_t mold(const cell* value, cell* buffer, bool, bool all, bool, const cell*, int32_t part, int32_t) {
  return write_text(value, buffer, part, all, false);
}

namespace {

// Reads field 1 (the currency word or none) or 2 (the amount alone) into target.
bool read_field(const cell* value, int32_t field, cell* target) {
  if (field == 1) {
    const char* code = system_stub::currency_code(currency_of(value));
    if (code && system_stub::hooks.make_word) system_stub::hooks.make_word(target, code);
    else none::make_at(target);
    return true;
  }
  if (field == 2) {
    amount a = amount_of(value);
    set(target, a.negative, 0, a.m);
    return true;
  }
  return false;
}

cell* eval_path(cell* parent, const cell* element, const cell* value, const cell* path, const cell*,
                const cell*, int32_t, bool, bool, bool, bool) {
  if (value) error::fire(err::cat_script, err::script::bad_path_set, path, element);
  cell copy = *parent;
  if (!read_field(&copy, system_stub::accessor_index(TYPE_MONEY, element), parent))
    error::fire(err::cat_script, err::script::invalid_path, element, path);
  return parent;
}

cell* pick(cell* series, int32_t index, const cell* boxed) {
  cell copy = *series;
  int32_t field = boxed ? system_stub::accessor_index(TYPE_MONEY, boxed) : index;
  if (!read_field(&copy, field, series)) error::fire(err::cat_script, err::script::out_of_range, boxed);
  return series;
}

int32_t integer_of(const cell* spec) { return to_integer(spec); }
double double_of(const cell* spec, uint32_t) { return to_float(spec); }

}  // namespace

void init() {
  datatype::registration(TYPE_MONEY, 0, "money!")
      .set<ACT_MAKE>(make)
      .set<ACT_RANDOM>(random)
      .set<ACT_TO>(to)
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
      .set<ACT_EVEN_Q>(even_q)
      .set<ACT_ODD_Q>(odd_q)
      .set<ACT_PICK>(pick)
      .commit();
  math::set_math_body(TYPE_MONEY, do_math);
  math::set_integer_converter(TYPE_MONEY, integer_of);
  math::set_float_converter(TYPE_MONEY, double_of);
  hashtable::hook.money_sign_flag = SIGN_FLAG;  // $1 and -$1 are different keys
}

}  // namespace kez::money
