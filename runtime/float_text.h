// Float text: a double to the fewest decimal digits that read back to the
// same double, those digits laid out as the language's float syntax, and
// decimal text to the nearest double (ties to even). Nothing here depends on
// the C locale. Texts live in one static buffer and stay valid until the next
// conversion (the runtime is single-threaded).
#pragma once

#include <cstdint>

namespace kez::float_ {

// Reserved decimal-point positions: the text is already final.
constexpr int32_t POINT_SPECIAL = 9999;  // "1.#INF", "-1.#INF", "1.#NaN"
constexpr int32_t POINT_ZERO = 9998;     // "0.0", "-0.0", "0", "-0"

struct digits {
  const char* text;  // NUL-terminated digits without sign (final text when point > 9997)
  int32_t point;     // value = 0.d1d2d3... x 10^point
  bool negative;     // the sign bit (also for -0.0 and negative infinity)
  int32_t count;     // number of digits; 0 for the reserved positions
};

// ndigits <= 0: the shortest round-trip digits. ndigits > 0: those digits when
// there are at most ndigits of them, else the value correctly rounded to
// ndigits significant digits (an exact half rounds to an even digit).
// Trailing zeros are dropped. dot_zero only shapes the text of zero.
digits to_shortest(double value, int32_t ndigits, bool dot_zero);

// The digits of to_shortest laid out as 1.5, 12300.0, 0.00123, 1.5e-8, 1.0e18;
// without dot_zero a point that would end the mantissa is left out (12300, 1e18).
const char* format_text(double value, int32_t ndigits, bool dot_zero);

// Reads [start, end) (not NUL-terminated), adding extra_exponent to the decimal
// exponent. *rest (when given) receives the number of characters left unread.
// The caller has checked the syntax; nothing here raises an error.
double from_string(const char* start, const char* end, int32_t extra_exponent,
                   int32_t* rest);

}  // namespace kez::float_
