#include "runtime/float_text.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace kez::float_ {

namespace {

// Longest text: "-0.000000" then 17 digits, and its NUL (27 bytes).
// Byte 0 is a permanent "-": a negative number's text starts one byte
// earlier, without a copy.
char buffer[32] = "-";
char* const text_start = buffer + 1;

// Digits of a value in to_chars' scientific form "d.ddde+XX": the digits go
// to out (NUL-terminated), the answer is the decimal-point position.
int32_t scientific_digits(const char* first, const char* last, char* out,
                          int32_t* count) {
  int32_t n = 0;
  const char* p = first;
  for (; p < last && *p != 'e'; ++p)
    if (*p != '.') out[n++] = *p;
  while (n > 1 && out[n - 1] == '0') --n;  // fixed precision pads with zeros
  out[n] = '\0';
  *count = n;
  int exponent = 0;
  if (p < last) {
    ++p;
    if (*p == '+') ++p;  // from_chars takes "-" but not "+"
    std::from_chars(p, last, exponent);
  }
  return exponent + 1;
}

}  // namespace

digits to_shortest(double value, int32_t ndigits, bool dot_zero) {
  uint64_t bits = std::bit_cast<uint64_t>(value);
  bool negative = bits >> 63;
  if ((bits & 0x7FF0000000000000ull) == 0x7FF0000000000000ull) {
    if (bits & 0x000FFFFFFFFFFFFFull) return {"1.#NaN", POINT_SPECIAL, negative, 0};
    return {negative ? "-1.#INF" : "1.#INF", POINT_SPECIAL, negative, 0};
  }
  if (value == 0.0) {
    const char* text = dot_zero ? (negative ? "-0.0" : "0.0") : (negative ? "-0" : "0");
    return {text, POINT_ZERO, negative, 0};
  }
  double magnitude = std::fabs(value);
  char scratch[64];
  auto r = std::to_chars(scratch, scratch + sizeof scratch, magnitude,
                         std::chars_format::scientific);
  int32_t count;
  int32_t point = scientific_digits(scratch, r.ptr, text_start, &count);
  if (ndigits > 0 && count > ndigits) {
    r = std::to_chars(scratch, scratch + sizeof scratch, magnitude,
                      std::chars_format::scientific, ndigits - 1);
    point = scientific_digits(scratch, r.ptr, text_start, &count);
  }
  return {text_start, point, negative, count};
}

const char* format_text(double value, int32_t ndigits, bool dot_zero) {
  digits d = to_shortest(value, ndigits, dot_zero);
  if (d.point > POINT_ZERO - 1) return d.text;
  char digit[20];
  std::memcpy(digit, d.text, d.count);
  const int32_t n = d.count, p = d.point;
  char* out = text_start;
  auto zeros = [&out](int32_t k) { while (k-- > 0) *out++ = '0'; };
  auto copy = [&out, &digit](int32_t from, int32_t to) {
    for (int32_t i = from; i < to; ++i) *out++ = digit[i];
  };
  char* mantissa_end;
  if (p >= -6 && p <= 17) {
    if (p > 0) {
      copy(0, std::min(p, n));
      zeros(p - n);
      *out++ = '.';
      copy(p, n);
    } else {
      *out++ = '0';
      *out++ = '.';
      zeros(-p);
      copy(0, n);
    }
    mantissa_end = out;
  } else {
    copy(0, 1);
    *out++ = '.';
    copy(1, n);
    mantissa_end = out;
  }
  if (mantissa_end[-1] == '.') {
    if (dot_zero)
      *out++ = '0';
    else
      --out;
  }
  if (p < -6 || p > 17) {
    *out++ = 'e';
    out = std::to_chars(out, buffer + sizeof buffer, p - 1).ptr;
  }
  *out = '\0';
  return d.negative ? buffer : text_start;
}

namespace {

// More significant digits than any double needs to settle its rounding (the
// exact halfway point between two doubles has at most 767): further digits
// only matter as "something nonzero follows", kept as one sticky digit.
constexpr int32_t KEPT_DIGITS = 800;

// Decimal exponents beyond these give infinity or zero for any digit string.
constexpr int64_t POINT_OVERFLOW = 310;
constexpr int64_t POINT_UNDERFLOW = -330;

// Saturation bound of the written exponent: no 32-bit extra exponent can
// bring it back into range, and it stays far from overflowing 64 bits once the
// point position and the extra exponent are added.
constexpr int64_t EXPONENT_CAP = 1'000'000'000'000'000;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

double from_string(const char* start, const char* end, int32_t extra_exponent,
                   int32_t* rest) {
  const char* p = start;
  if (rest) *rest = 0;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  while (p < end && *p == '0') ++p;

  char digit[KEPT_DIGITS + 24];  // digits, a sticky digit, "e" and the exponent
  int32_t n = 0;
  bool sticky = false;
  auto take = [&](char c) {
    if (n < KEPT_DIGITS)
      digit[n++] = c;
    else if (c != '0')
      sticky = true;
  };
  int64_t point = 0;  // digits before the point, after leading zeros
  for (; p < end && is_digit(*p); ++p) {
    take(*p);
    ++point;
  }
  bool has_point = false;
  if (p < end && *p == '.') {
    has_point = true;
    ++p;
    if (point == 1 && end - p > 1 && *p == '#') {
      char kind = p[1];
      if (kind == 'I' || kind == 'i')
        return negative ? -std::numeric_limits<double>::infinity()
                        : std::numeric_limits<double>::infinity();
      if (kind == 'N' || kind == 'n') return std::numeric_limits<double>::quiet_NaN();
    }
    if (n == 0)
      for (; p < end && *p == '0'; ++p) --point;
    for (; p < end && is_digit(*p); ++p) take(*p);
  }
  int64_t exponent = 0;
  if (end - p > 1 && (*p == 'e' || *p == 'E')) {
    ++p;
    bool negative_exponent = false;
    if (*p == '+' || *p == '-') negative_exponent = *p++ == '-';
    // The caller has checked the syntax; a stray character still ends the
    // exponent and is counted as unread rather than taken for a digit.
    for (; p < end && is_digit(*p); ++p)
      exponent = std::min(exponent * 10 + (*p - '0'), EXPONENT_CAP);
    if (negative_exponent) exponent = -exponent;
  }
  if (rest) *rest = static_cast<int32_t>(end - p);

  while (n > 0 && digit[n - 1] == '0') --n;
  if (n == 0) {
    // A sign and zeros alone read as +0.0; a point keeps the sign (-0.0).
    return has_point && negative ? -0.0 : 0.0;
  }
  if (sticky) digit[n++] = '1';
  // value = 0.d1d2... x 10^point10
  int64_t point10 = point + exponent + extra_exponent;
  double magnitude;
  if (point10 > POINT_OVERFLOW) {
    magnitude = std::numeric_limits<double>::infinity();
  } else if (point10 < POINT_UNDERFLOW) {
    magnitude = 0.0;
  } else {
    char* out = digit + n;
    *out++ = 'e';
    char* stop = std::to_chars(out, out + 16, point10 - n).ptr;
    auto r = std::from_chars(digit, stop, magnitude, std::chars_format::scientific);
    if (r.ec == std::errc::result_out_of_range)
      magnitude = point10 > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  }
  return negative ? -magnitude : magnitude;
}

}  // namespace kez::float_
