// integer!: the 32-bit signed integer (type id 11, word 2 = the value).
//
// Integer arithmetic never wraps: add, subtract, multiply, power and a
// division that leaves a remainder promote their result to float! when the
// exact answer is not a 32-bit whole number; negate, absolute, rounding past
// the range and -2147483648 / -1 raise math overflow; a zero divisor raises
// math zero-divide. Every overflow is found with checked arithmetic before
// it happens, and every double is range-checked before it becomes an
// integer.
//
// The shared math body: every scalar datatype's arithmetic takes a math_op.
// Right operands that this module does not know itself (money!, pair!,
// tuple!, vector!, date! ...) forward to the math body that their module
// registers with set_math_body; until one is registered they are rejected
// as invalid types.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez {

enum math_op : int32_t {
  OP_ADD = 0, OP_SUBTRACT = 1, OP_MULTIPLY = 2, OP_DIVIDE = 3,
  OP_REMAINDER = 4, OP_OR = 5, OP_AND = 6, OP_XOR = 7,
};

namespace math {

// A datatype's math body: left (also the result cell) op right.
using body = cell* (*)(cell* left, const cell* right, int32_t op);
void set_math_body(uint32_t type, body fn);
body math_body(uint32_t type);  // null when none is registered
body body_for(const cell* value);  // value's type's body; invalid-type when none

// Conversions that other modules provide (money!, date!, the lexer's number
// scanners for text): one per source type, null until registered.
using to_int_fn = int32_t (*)(const cell* spec);
using to_double_fn = double (*)(const cell* spec, uint32_t target_type);
void set_integer_converter(uint32_t type, to_int_fn fn);
void set_float_converter(uint32_t type, to_double_fn fn);
to_int_fn integer_converter(uint32_t type);
to_double_fn float_converter(uint32_t type);

// The Script Errors of the math bodies: invalid-type naming value's
// datatype; id with the datatype `type` and a value (bad-to-arg, type-limit);
// not-related naming `type`; expect-arg for a power exponent that is neither
// integer! nor float!.
[[noreturn]] void invalid_type(const cell* value);
[[noreturn]] void fire_with_type(int id, uint32_t type, const cell* value = nullptr);
[[noreturn]] void not_related(uint32_t type);
void check_exponent(const cell* exponent);

// value1 compared with value2 by value2's own compare handler (money! and
// the other types that know how to meet a plain number), the order turned
// back; -2 when that type has no handler or no answer.
int32_t compare_reversed(const cell* value1, const cell* value2, int32_t op);

}  // namespace math

namespace integer {

constexpr int32_t MIN = INT32_MIN;
constexpr int32_t MAX = INT32_MAX;

inline cell* make_at(cell* target, int32_t value) {
  *target = cell{TYPE_INTEGER, 0, uint32_t(value), 0};
  return target;
}
cell* make_in(cell* block, int32_t value);  // a new cell at the block's tail
cell* push(int32_t value);
cell* box(int32_t value);  // into the current call's result slot
inline int32_t get(const cell* value) { return int32_t(value->w2); }
int32_t get_star();      // the current call's first argument
int32_t get_any_star();  // the same when it is an integer!, else 0

// Decimal text in a static buffer, valid until the next call; the second
// form also gives its length, which the hot appends need.
const char* form_signed(int32_t value);
const char* form_signed(int32_t value, uint32_t& length);
int32_t abs(int32_t value);  // math overflow for MIN
inline int32_t sign_of(int32_t value) { return (value > 0) - (value < 0); }
// True when the double of a float!-layout cell lies beyond
// -2147483648.0 .. 2147483647.0 (fractions past either end included), or is
// NaN or infinite.
bool overflow_q(const cell* value);
bool overflow_q(double d);
// The double truncated toward zero; Script Error type-limit (integer!) when
// overflow_q holds.
int32_t from_double(double d);
// Hexadecimal text of at most 8 ASCII digits; anything else raises Script
// Error invalid-data with `culprit`.
int32_t from_hex(const int32_t* code_points, int32_t count, const cell* culprit);

// The 32-bit result of left op right. When result is given, an add,
// subtract or multiply that overflows and a division that leaves a remainder
// turn it into a float! holding the exact (or nearest) answer, and 0 is
// answered; otherwise the 32-bit answer is written into its word 2 (header
// kept, so a char! stays a char!). Without a result cell a division
// truncates. Math errors as described above; an unknown op ends the process
// with runtime error 101.
int32_t do_math_op(int32_t left, int32_t right, int32_t op, cell* result);
// The math body on two cells: left receives the result.
cell* do_math(cell* left, const cell* right, int32_t op);

// Actions (registered by init).
void init();
cell* make(cell* proto, const cell* spec, uint32_t type);
cell* to(cell* proto, const cell* spec, uint32_t type);
int32_t form(const cell* value, cell* buffer, const cell* arg, int32_t part);
int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg,
             int32_t part, int32_t indent);
int32_t compare(const cell* value1, const cell* value2, int32_t op);
cell* absolute(cell* value);
cell* negate(cell* value);
cell* complement(cell* value);
cell* add(cell* value1, const cell* value2);
cell* subtract(cell* value1, const cell* value2);
cell* multiply(cell* value1, const cell* value2);
cell* divide(cell* value1, const cell* value2);
cell* remainder(cell* value1, const cell* value2);
cell* and_t(cell* value1, const cell* value2);
cell* or_t(cell* value1, const cell* value2);
cell* xor_t(cell* value1, const cell* value2);
cell* power(cell* base, const cell* exponent);
cell* round(cell* value, const cell* scale, bool even, bool down, bool half_down, bool floor,
            bool ceiling, bool half_ceiling);
bool even_q(const cell* value);
bool odd_q(const cell* value);
cell* random(cell* value, bool seed, bool secure, bool only);  // /seed answers unset!

}  // namespace integer
}  // namespace kez
