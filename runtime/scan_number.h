// Text-to-number conversions: the number rules of the lexer's loaders applied
// to text of any unit (1, 2 or 4 bytes a character), reporting failure
// through a code instead of a syntax error so that the calling conversion
// raises its own error. Also the number syntax checks the loaders share.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"

namespace kez::lexer {

// Failure codes of scan_integer.
constexpr int32_t SCAN_BAD_CHAR = -1;
constexpr int32_t SCAN_OVERFLOW = -2;

// An optional sign, then digits with apostrophes skipped. err: 0, or
// SCAN_BAD_CHAR (also for text with no digit), or SCAN_OVERFLOW (result 0).
int32_t scan_integer(const void* start, int32_t count, int unit, int32_t& err);
// Float syntax (commas read as points) or a special float; err -1 and NaN on
// failure, also for texts of 313 characters or more.
double scan_float(const void* start, int32_t count, int unit, int32_t& err);
// Money text into target; target->w1 = -1 on failure.
void scan_money(cell* target, const void* start, int32_t count, int unit);

// Shared checks over ASCII bytes.
constexpr size_t FLOAT_TEXT_MAX = 312;
// Signs, digits with single apostrophes between them, an optional point with
// fraction digits, an optional exponent: at least one digit before the
// exponent.
bool float_syntax_q(const uint8_t* text, size_t n);
// The special floats 1.#NaN, 1.#INF and -1.#INF (any case) in t[from, to);
// false on anything else.
bool special_float(const uint8_t* t, uint32_t from, uint32_t to, double& out);
// Converts checked float syntax, ignoring apostrophes; false when the
// conversion fails.
bool text_to_double(const uint8_t* text, size_t n, double& out);
// Money syntax: sign, optional 3-letter code and $, digits with apostrophes
// (at most 17, leading zeros not counted), an optional fraction of 1 to 5
// digits after a point or comma. Fills the parts (offsets into the text).
struct money_parts {
  bool negative = false;
  int32_t code = -1;   // offset of the currency code, -1 for none
  int32_t first = 0;   // offset of the first digit
  int32_t point = -1;  // offset of the separator, -1 for none
};
bool money_syntax_q(const uint8_t* text, size_t n, money_parts& parts);
// The money! value of checked money text (null for an unknown currency).
cell* make_money(cell* target, const uint8_t* text, size_t n, const money_parts& parts);

}  // namespace kez::lexer
