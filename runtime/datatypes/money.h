// money!: an exact decimal amount with an optional currency (type id 49).
//
// Cell: header type id 49, bit 14 the sign (1 = negative); byte 4 the
// currency (0 none, else the 1-based index in the currency list); bytes
// 5-15 twenty-two packed decimal digits, most significant first: 17 integer
// digits and 5 fraction digits. Every nibble holds 0-9.
//
// Invariants:
// - Arithmetic is exact on the amount counted in units of 0.00001: it never
//   goes through binary floating point, and a result that does not fit 22
//   digits (or a non-zero product or quotient that truncates to zero) raises
//   Script Error type-limit instead of wrapping.
// - A zero amount has no sign: sign_q answers 0 whatever the flag says, and
//   results of arithmetic are never a negative zero.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez::money {

constexpr uint32_t SIGN_FLAG = 0x4000;

// Builders.
cell* make_at(cell* target, bool negative, int32_t currency, const uint8_t amount[11]);
cell* make_in(cell* block, bool negative, int32_t currency, const uint8_t amount[11]);
// Fills a cell from source text: integer digits from `first` up to the point
// (or end), fraction digits after it; "'" skipped. A currency text names
// its code by its first three characters; an unknown code answers null.
cell* load_text(cell* target, bool negative, const char* currency, const char* first,
                const char* point, const char* end);

// Conversions.
cell* from_integer(cell* target, int32_t n);
cell* from_float(cell* target, double d, bool strict);  // bad-make-arg when out of reach
cell* push_integer(int32_t n);
cell* push_float(double d, bool strict);
double to_float(const cell* value);
int32_t to_integer(const cell* value);  // type-limit when the integer part does not fit
bool float_too_big_q(double d);
bool float_too_small_q(double d);

int32_t sign_q(const cell* value);
inline bool negative_q(const cell* value) { return sign_q(value) < 0; }
inline bool zero_q(const cell* value) { return sign_q(value) == 0; }
inline bool positive_q(const cell* value) { return sign_q(value) > 0; }

int32_t currency_index(const cell* word);  // -1 when unknown
inline int32_t currency_of(const cell* value) { return int32_t(value->w1 & 0xFF); }
void set_currency(cell* value, int32_t index);

// The shared math body (ops 0-4): left receives the result.
cell* do_math(cell* left, const cell* right, int32_t op);

void init();  // registers money! and its math body and converters

// Actions.
cell* make(cell* proto, const cell* spec, uint32_t type);
cell* to(cell* proto, const cell* spec, uint32_t type);
int32_t form(const cell* value, cell* buffer, const cell* arg, int32_t part);
int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg,
             int32_t part, int32_t indent);
int32_t compare(const cell* value1, const cell* value2, int32_t op);
cell* round(cell* value, const cell* scale, bool even, bool down, bool half_down, bool floor,
            bool ceiling, bool half_ceiling);
cell* random(cell* value, bool seed, bool secure, bool only);

}  // namespace kez::money
