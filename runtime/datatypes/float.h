// float!: the IEEE 754 double (type id 12; words 2-3 hold the double, low
// half in word 2). percent! (the fraction: 50% is 0.5) and time! (seconds)
// share the layout and are handled here whenever they meet a float! or an
// integer!.
//
// Arithmetic never raises: infinities and NaN propagate (the runtime runs
// with every floating-point exception masked). Only rounding raises math
// overflow, and only conversions to integer! range-check. Equality is
// tolerant (almost_equal_q); strict equality and sameness are exact.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez::float_ {

// The style codes of form_float.
enum text_kind : int32_t {
  KIND_SINGLE = 0,          // 7 significant digits
  KIND_DOUBLE = 1,          // 16
  KIND_PERCENT_SINGLE = 2,  // 7, with "%"
  KIND_PERCENT = 3,         // 13, with "%"
  KIND_TIME = 4,            // seconds of a time!: 6 significant digits
  KIND_SINGLE_BARE = 5,     // 7, no ".0" added
};

// system/options/float/pretty?: form drops the noise of a last digit.
extern bool pretty_q;

inline double get(const cell* value) { return load_double(&value->w2); }
inline cell* make_at(cell* target, double d, uint32_t type = TYPE_FLOAT) {
  target->header = type;
  target->w1 = 0;
  store_double(&target->w2, d);
  return target;
}
cell* make_in64(cell* block, uint32_t low, uint32_t high);  // a new cell at the block's tail
cell* push(double d);
cell* push64(uint32_t low, uint32_t high);
cell* box(double d);  // into the current call's result slot

inline double abs(double d) { return __builtin_fabs(d); }
bool special_q(double d);      // a NaN (not an infinity)
bool non_finite_q(double d);   // an infinity or a NaN
bool nan32_q(float f);
bool almost_equal_q(double a, double b);
bool almost_equal32_q(float a, float b);
// (value + 0.49999999999999994) truncated toward zero, clamped to the
// integer range (NaN gives 0): pixel coordinates of the GUI layer.
int32_t round_to_int(double d);

// Text in a static buffer, valid until the next call.
const char* form_float(double value, int32_t kind);

// A random double from 0 to max: from two secure draws with `secure`, else
// from the generator's next output.
double random_double(double max, bool secure);

// left op right on doubles; and~, or~ and xor~ raise Script Error cannot-use.
double do_math_op(double left, double right, int32_t op);
// The math body on two cells whose right operand is a number: left becomes
// the float! (or percent!, time!) result.
cell* do_math(cell* left, const cell* right, int32_t op);

// Actions (registered by init).
void init();
cell* make(cell* proto, const cell* spec, uint32_t type);  // make and to
int32_t form(const cell* value, cell* buffer, const cell* arg, int32_t part);
int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg,
             int32_t part, int32_t indent);
int32_t compare(const cell* value1, const cell* value2, int32_t op);
cell* absolute(cell* value);
cell* negate(cell* value);
cell* add(cell* value1, const cell* value2);
cell* subtract(cell* value1, const cell* value2);
cell* multiply(cell* value1, const cell* value2);
cell* divide(cell* value1, const cell* value2);
cell* remainder(cell* value1, const cell* value2);
cell* power(cell* base, const cell* exponent);
cell* round(cell* value, const cell* scale, bool even, bool down, bool half_down, bool floor,
            bool ceiling, bool half_ceiling);
bool even_q(const cell* value);
bool odd_q(const cell* value);
cell* random(cell* value, bool seed, bool secure, bool only);  // /seed answers unset!

}  // namespace kez::float_
