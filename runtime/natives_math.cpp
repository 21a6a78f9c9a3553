// The number natives: sign and special-value tests, max and min, shift,
// to-hex, trigonometry, logarithms and the coordinate and money builders.
// Each converts or replaces arguments[0], which is the result.
#include <cmath>
#include <cstring>

#include "runtime/actions.h"
#include "runtime/core_ops.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/money.h"
#include "runtime/datatypes/pair.h"
#include "runtime/datatypes/point.h"
#include "runtime/datatypes/tuple.h"
#include "runtime/datatypes/word.h"
#include "runtime/natives.h"
#include "runtime/stack.h"

namespace kez::natives {

namespace {

constexpr double PI = 3.141592653589793;
constexpr double LN2 = 0.6931471805599453;
constexpr double EPSILON = 2.220446049250313e-16;

inline cell* arg(int32_t n) { return stack::arguments + n; }

inline void result(const cell& v) { stack::set_last_keep(&v); }
inline void logic_result(bool b) { result(cell{TYPE_LOGIC, b ? 1u : 0u, 0, 0}); }
inline void float_result(double d) {
  cell v;
  float_::make_at(&v, d);
  result(v);
}

// Script Error expect-arg naming the running native, the value's type and
// its argument word.
[[noreturn]] void expect_arg(const cell* value, const char* argument) {
  cell word = *word::load(argument);  // interning may allocate: the other cells are made after it
  cell name = stack::get_call(), kind;
  datatype::make_at(&kind, type_of(value));
  error::fire(err::cat_script, err::script::expect_arg, &name, &kind, &word);
}

// The double of an integer!, float! or percent! argument.
double number_of(const cell* v) {
  return type_of(v) == TYPE_INTEGER ? double(int32_t(v->w2)) : load_double(&v->w2);
}

// A float as a 32-bit integer, truncated toward zero; type-limit naming
// integer! when it does not fit or is not finite.
int32_t truncate_checked(double d) {
  if (!(d > -2147483649.0 && d < 2147483648.0)) {
    cell kind;
    datatype::make_at(&kind, TYPE_INTEGER);
    error::fire(err::cat_script, err::script::type_limit, &kind);
  }
  return int32_t(d);
}

// ------------------------------------------------------------ sign tests

// -1, 0 or 1 for the number types of negative?, positive? and sign?; NaN
// answers 0 so that neither sign test holds for it.
int32_t sign_of(const cell* v, const char* argument) {
  switch (type_of(v)) {
    case TYPE_INTEGER: {
      int32_t n = int32_t(v->w2);
      return (n > 0) - (n < 0);
    }
    case TYPE_FLOAT: case TYPE_PERCENT: case TYPE_TIME: {
      double d = load_double(&v->w2);
      return (d > 0.0) - (d < 0.0);
    }
    case TYPE_MONEY: return money::sign_q(v);
    default: expect_arg(v, argument);
  }
}

uint32_t n_negative_q(int32_t, const int32_t*) {
  logic_result(sign_of(arg(0), "number") < 0);
  return 0;
}
uint32_t n_positive_q(int32_t, const int32_t*) {
  logic_result(sign_of(arg(0), "number") > 0);
  return 0;
}
uint32_t n_sign_q(int32_t, const int32_t*) {
  result(cell{TYPE_INTEGER, 0, uint32_t(sign_of(arg(0), "number")), 0});
  return 0;
}

uint32_t n_zero_q(int32_t, const int32_t*) {
  const cell* v = arg(0);
  bool zero;
  switch (type_of(v)) {
    case TYPE_CHAR: case TYPE_INTEGER: zero = v->w2 == 0; break;
    case TYPE_FLOAT: case TYPE_PERCENT: case TYPE_TIME: zero = load_double(&v->w2) == 0.0; break;
    case TYPE_MONEY: zero = money::zero_q(v); break;
    case TYPE_PAIR: zero = v->w2 == 0 && v->w3 == 0; break;
    case TYPE_POINT2D: zero = point::coordinate(v, 0) == 0.0f && point::coordinate(v, 1) == 0.0f; break;
    case TYPE_POINT3D:
      zero = point::coordinate(v, 0) == 0.0f && point::coordinate(v, 1) == 0.0f && point::coordinate(v, 2) == 0.0f;
      break;
    case TYPE_TUPLE: zero = tuple::zero_q(v); break;
    default: expect_arg(v, "value");
  }
  logic_result(zero);
  return 0;
}

uint32_t n_nan_q(int32_t, const int32_t*) {
  const cell* v = arg(0);
  uint32_t t = type_of(v);
  logic_result((t == TYPE_FLOAT || t == TYPE_PERCENT) && std::isnan(load_double(&v->w2)));
  return 0;
}

uint32_t n_complement_q(int32_t, const int32_t*) {
  const cell* v = arg(0);
  if (type_of(v) != TYPE_BITSET) expect_arg(v, "bits");
  logic_result(v->header & FLAG_BITSET_NOT);
  return 0;
}

// ------------------------------------------------------------ max and min

bool compound_q(uint32_t t) {
  return t == TYPE_PAIR || t == TYPE_POINT2D || t == TYPE_POINT3D || t == TYPE_TUPLE;
}
bool number_q(uint32_t t) { return t == TYPE_INTEGER || t == TYPE_FLOAT || t == TYPE_PERCENT; }

// The picked one of two doubles; a NaN on either side wins.
inline double pick_double(double a, double b, bool greater) {
  if (std::isnan(a) || std::isnan(b)) return std::nan("");
  return greater ? (b > a ? b : a) : (b < a ? b : a);
}

// The components of a compound or a scalar, as doubles (a scalar fills
// every one, a pair has z 0); answers the count, 0 for a scalar.
int32_t components(const cell* v, double out[12]) {
  switch (type_of(v)) {
    case TYPE_PAIR: out[0] = int32_t(v->w2); out[1] = int32_t(v->w3); out[2] = 0.0; return 2;
    case TYPE_POINT2D: case TYPE_POINT3D: {
      int32_t n = type_of(v) == TYPE_POINT2D ? 2 : 3;
      for (int32_t i = 0; i < n; ++i) out[i] = point::coordinate(v, i);
      return n;
    }
    case TYPE_TUPLE: {
      int32_t n = tuple::count_of(v);
      for (int32_t i = 0; i < n; ++i) out[i] = tuple::bytes_of(v)[i];
      return n;
    }
    default:
      for (int32_t i = 0; i < 12; ++i) out[i] = number_of(v);
      return 0;
  }
}

// Component by component, into the compound's type (the first's when both
// are compounds; a pair meeting a point becomes that point). Answers false
// for two values that have no common components.
bool max_min_compound(bool greater) {
  const cell* a = arg(0);
  const cell* b = arg(1);
  uint32_t ta = type_of(a), tb = type_of(b);
  uint32_t type = compound_q(ta) ? ta : tb;
  if (compound_q(ta) && compound_q(tb) && ta != tb) {
    bool pair_point = (ta == TYPE_PAIR && (tb == TYPE_POINT2D || tb == TYPE_POINT3D)) ||
                      (tb == TYPE_PAIR && (ta == TYPE_POINT2D || ta == TYPE_POINT3D));
    if (!pair_point) return false;
    type = ta == TYPE_PAIR ? tb : ta;
  }
  if (!compound_q(ta) && !number_q(ta)) return false;
  if (!compound_q(tb) && !number_q(tb)) return false;
  double x[12], y[12];
  int32_t nx = components(a, x), ny = components(b, y);
  int32_t n = type == TYPE_PAIR || type == TYPE_POINT2D ? 2 : type == TYPE_POINT3D ? 3
              : nx && ny ? (nx < ny ? nx : ny) : (nx ? nx : ny);
  double r[12];
  for (int32_t i = 0; i < n; ++i) r[i] = pick_double(x[i], y[i], greater);
  cell v;
  switch (type) {
    case TYPE_PAIR: pair::make_at(&v, truncate_checked(r[0]), truncate_checked(r[1])); break;
    case TYPE_POINT2D: point2D::make_at(&v, float(r[0]), float(r[1])); break;
    case TYPE_POINT3D: point3D::make_at(&v, float(r[0]), float(r[1]), float(r[2])); break;
    default: {
      // A tuple keeps its own length; its bytes stay within 0-255.
      v = compound_q(ta) ? *a : *b;
      for (int32_t i = 0; i < n; ++i) {
        double d = std::isnan(r[i]) || r[i] < 0.0 ? 0.0 : r[i] > 255.0 ? 255.0 : r[i];
        tuple::bytes_of(&v)[i] = uint8_t(d);
      }
    }
  }
  result(v);
  return true;
}

uint32_t max_min(bool greater) {
  cell* a = arg(0);
  cell* b = arg(1);
  uint32_t ta = type_of(a), tb = type_of(b);
  if ((compound_q(ta) || compound_q(tb)) && max_min_compound(greater)) return 0;
  if (number_q(ta) && number_q(tb)) {
    // The second value takes the first's kind.
    if (ta == TYPE_INTEGER) {
      int32_t x = int32_t(a->w2);
      int32_t y = tb == TYPE_INTEGER ? int32_t(b->w2) : truncate_checked(load_double(&b->w2));
      result(cell{TYPE_INTEGER, 0, uint32_t(greater ? (y > x ? y : x) : (y < x ? y : x)), 0});
    } else {
      cell v;
      float_::make_at(&v, pick_double(load_double(&a->w2), number_of(b), greater), ta);
      result(v);
    }
    return 0;
  }
  bool second = actions::compare(b, a, greater ? COMP_GREATER : COMP_LESSER);
  result(second ? *b : *a);
  return 0;
}

uint32_t n_max(int32_t, const int32_t*) { return max_min(true); }
uint32_t n_min(int32_t, const int32_t*) { return max_min(false); }

// ------------------------------------------------------------ bits

uint32_t n_shift(int32_t, const int32_t* r) {
  int32_t data = int32_t(arg(0)->w2);
  int32_t bits = int32_t(arg(1)->w2);
  if (bits < 0) bits = 0;
  int32_t v;
  if (r[0] >= 0) {
    v = bits > 31 ? 0 : int32_t(uint32_t(data) << bits);
  } else if (r[1] >= 0) {
    v = bits > 31 ? 0 : int32_t(uint32_t(data) >> bits);
  } else {
    v = bits > 31 ? (data < 0 ? -1 : 0) : data >> bits;
  }
  result(cell{TYPE_INTEGER, 0, uint32_t(v), 0});
  return 0;
}

uint32_t n_to_hex(int32_t, const int32_t* r) {
  static const char digits[] = "0123456789ABCDEF";
  uint32_t value = arg(0)->w2;
  int32_t length = 8;
  if (r[0] >= 0) {
    const cell* size = arg(r[0]);
    length = int32_t(size->w2);
    if (length <= 0) error::fire(err::cat_script, err::script::invalid_arg, size);
    if (length > 8) length = 8;
  }
  char text[9];
  for (int32_t i = 7; i >= 0; --i, value >>= 4) text[i] = digits[value & 0xF];
  text[8] = 0;
  cell v;
  issue::load_at(&v, text + 8 - length);
  result(v);
  return 0;
}

// ------------------------------------------------------------ floats

// The first argument as a double: integers widen, percents are read as is.
inline double float_arg(int32_t n) { return number_of(arg(n)); }

enum trig_kind : int32_t { TRIG_TANGENT = 0, TRIG_COSINE = 1, TRIG_SINE = 2 };

template <trig_kind K>
uint32_t n_trig(int32_t, const int32_t* r) {
  double a = float_arg(0);
  if (r[0] < 0) {
    a = math::normalize_angle(a, K);
  }
  double v;
  if constexpr (K == TRIG_TANGENT) {
    if (a == PI / 2) v = INFINITY;
    else if (a == -PI / 2) v = -INFINITY;
    else v = std::tan(a);
  } else {
    v = K == TRIG_SINE ? std::sin(a) : std::cos(a);
    if (std::fabs(v) < EPSILON) v = 0.0;
  }
  float_result(v);
  return 0;
}

template <double (*F)(double)>
uint32_t n_arc(int32_t, const int32_t* r) {
  double v = F(float_arg(0));
  float_result(r[0] < 0 ? v * 180.0 / PI : v);
  return 0;
}

uint32_t n_arctangent2(int32_t, const int32_t* r) {
  double v = std::atan2(float_arg(0), float_arg(1));
  float_result(r[0] < 0 ? v * 180.0 / PI : v);
  return 0;
}

double log_2(double d) { return std::log(d) / LN2; }
double log_10(double d) { return std::log10(d); }
double log_e(double d) { return std::log(d); }
double exp_e(double d) { return std::exp(d); }
double root(double d) { return std::sqrt(d); }

template <double (*F)(double)>
uint32_t n_unary(int32_t, const int32_t*) {
  float_result(F(float_arg(0)));
  return 0;
}

double asin_(double d) { return std::asin(d); }
double acos_(double d) { return std::acos(d); }
double atan_(double d) { return std::atan(d); }

// ------------------------------------------------------------ builders

// A coordinate argument as a double: a non-finite float is invalid-arg.
double coordinate_arg(int32_t n) {
  const cell* v = arg(n);
  double d = number_of(v);
  if (!std::isfinite(d)) error::fire(err::cat_script, err::script::invalid_arg, v);
  return d;
}

uint32_t n_as_pair(int32_t, const int32_t*) {
  int32_t xy[2];
  for (int32_t i = 0; i < 2; ++i) {
    double d = coordinate_arg(i);
    // Truncating a float past 32 bits would give an arbitrary coordinate.
    if (!(d > -2147483649.0 && d < 2147483648.0)) error::fire(err::cat_script, err::script::out_of_range, arg(i));
    xy[i] = int32_t(d);
  }
  cell v;
  result(*pair::make_at(&v, xy[0], xy[1]));
  return 0;
}

uint32_t n_as_point2D(int32_t, const int32_t*) {
  double x = coordinate_arg(0), y = coordinate_arg(1);
  cell v;
  result(*point2D::make_at(&v, float(x), float(y)));
  return 0;
}

uint32_t n_as_point3D(int32_t, const int32_t*) {
  double x = coordinate_arg(0), y = coordinate_arg(1), z = coordinate_arg(2);
  cell v;
  result(*point3D::make_at(&v, float(x), float(y), float(z)));
  return 0;
}

uint32_t n_as_money(int32_t, const int32_t*) {
  const cell* currency = arg(0);
  int32_t index = money::currency_index(currency);
  if (index < 0) error::fire(err::cat_script, err::script::bad_denom, currency);
  const cell* amount = arg(1);
  cell v;
  if (type_of(amount) == TYPE_INTEGER) {
    money::from_integer(&v, int32_t(amount->w2));
  } else {
    money::from_float(&v, load_double(&amount->w2), false);
  }
  money::set_currency(&v, index);
  result(v);
  return 0;
}

}  // namespace

void register_math(entry* slots) {
  slots[45] = n_complement_q;
  slots[48] = n_negative_q;
  slots[49] = n_positive_q;
  slots[50] = n_max;
  slots[51] = n_min;
  slots[52] = n_shift;
  slots[53] = n_to_hex;
  slots[54] = n_trig<TRIG_SINE>;
  slots[55] = n_trig<TRIG_COSINE>;
  slots[56] = n_trig<TRIG_TANGENT>;
  slots[57] = n_arc<asin_>;
  slots[58] = n_arc<acos_>;
  slots[59] = n_arc<atan_>;
  slots[60] = n_arctangent2;
  slots[61] = n_nan_q;
  slots[62] = n_unary<log_2>;
  slots[63] = n_unary<log_10>;
  slots[64] = n_unary<log_e>;
  slots[65] = n_unary<exp_e>;
  slots[66] = n_unary<root>;
  slots[72] = n_as_pair;
  slots[73] = n_as_point2D;
  slots[74] = n_as_point3D;
  slots[75] = n_as_money;
  slots[96] = n_sign_q;
  slots[99] = n_zero_q;
}

}  // namespace kez::natives
