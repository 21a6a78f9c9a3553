#include "runtime/scan_number.h"

#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "runtime/datatypes/error.h"
#include "runtime/datatypes/money.h"
#include "runtime/float_text.h"
#include "runtime/utf.h"

namespace kez::lexer {

namespace {

bool digit_q(uint8_t c) { return c >= '0' && c <= '9'; }

// Reads character i of a text of any unit.
int32_t char_at(const void* start, int unit, size_t i) { return utf::get(start, unit, i); }

// Copies a narrow text into bytes; a character above 0x7F cannot belong to a
// number and becomes a byte that fails every syntax check.
std::string narrow(const void* start, int32_t count, int unit) {
  std::string out(size_t(count), '\0');
  for (int32_t i = 0; i < count; ++i) {
    int32_t c = char_at(start, unit, size_t(i));
    out[size_t(i)] = c > 0x7F ? char(0xFF) : char(c);
  }
  return out;
}

}  // namespace

int32_t scan_integer(const void* start, int32_t count, int unit, int32_t& err) {
  err = 0;
  int32_t i = 0;
  bool negative = false;
  if (count > 0) {
    int32_t c = char_at(start, unit, 0);
    if (c == '-' || c == '+') {
      negative = c == '-';
      i = 1;
    }
  }
  // An empty text or a sign alone is not a number.
  uint32_t value = 0;
  bool any = false;
  for (; i < count; ++i) {
    int32_t c = char_at(start, unit, size_t(i));
    if (c == '\'') continue;
    if (c < '0' || c > '9') {
      err = SCAN_BAD_CHAR;
      return 0;
    }
    any = true;
    uint32_t d = uint32_t(c - '0');
    // 2147483648 fits only as the magnitude of the last digit of a negative number.
    uint64_t next = uint64_t(value) * 10 + d;
    bool last = true;
    for (int32_t j = i + 1; j < count; ++j)
      if (char_at(start, unit, size_t(j)) != '\'') { last = false; break; }
    if (next > 0x7FFFFFFFu && !(negative && last && next == 0x80000000u)) {
      err = SCAN_OVERFLOW;
      return 0;
    }
    value = uint32_t(next);
  }
  if (!any) {
    err = SCAN_BAD_CHAR;
    return 0;
  }
  return negative ? int32_t(0u - value) : int32_t(value);
}

bool float_syntax_q(const uint8_t* t, size_t n) {
  if (n == 0 || n > FLOAT_TEXT_MAX) return false;
  size_t i = 0;
  if (t[i] == '+' || t[i] == '-') ++i;
  int digits = 0;
  auto run = [&](bool apostrophes) {
    int count = 0;
    while (i < n) {
      if (digit_q(t[i])) {
        ++count;
        ++i;
      } else if (apostrophes && t[i] == '\'' && count > 0 && i + 1 < n && digit_q(t[i + 1])) {
        ++i;
      } else {
        break;
      }
    }
    return count;
  };
  digits += run(true);
  if (i < n && t[i] == '.') {
    ++i;
    digits += run(true);
  }
  if (!digits) return false;
  if (i < n && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < n && (t[i] == '+' || t[i] == '-')) ++i;
    if (!run(false)) return false;
  }
  return i == n;
}

bool text_to_double(const uint8_t* t, size_t n, double& out) {
  char buffer[FLOAT_TEXT_MAX + 1];
  size_t k = 0;
  for (size_t i = 0; i < n && k < FLOAT_TEXT_MAX; ++i)
    if (t[i] != '\'') buffer[k++] = char(t[i]);
  int32_t rest = 0;
  out = float_::from_string(buffer, buffer + k, 0, &rest);
  return rest == 0;
}

bool special_float(const uint8_t* t, uint32_t from, uint32_t to, double& out) {
  bool negative = false;
  if (from < to && (t[from] == '-' || t[from] == '+')) negative = t[from++] == '-';
  if (to - from != 6 || t[from] != '1' || t[from + 1] != '.' || t[from + 2] != '#') return false;
  auto up = [&](uint32_t k) { return char(t[k] >= 'a' && t[k] <= 'z' ? t[k] - 32 : t[k]); };
  std::string word{up(from + 3), up(from + 4), up(from + 5)};
  if (word == "NAN") {
    uint64_t bits = 0x7FF8000000000000ull;
    std::memcpy(&out, &bits, sizeof out);
    return true;
  }
  if (word == "INF") {
    out = negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
    return true;
  }
  return false;
}

double scan_float(const void* start, int32_t count, int unit, int32_t& err) {
  err = 0;
  double nan = std::numeric_limits<double>::quiet_NaN();
  if (count < 0 || size_t(count) > FLOAT_TEXT_MAX) {
    err = -1;
    return nan;
  }
  std::string text = narrow(start, count, unit);
  for (char& c : text)
    if (c == ',') c = '.';
  auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  double value;
  bool special = special_float(bytes, 0, uint32_t(text.size()), value);
  if (!special && (!float_syntax_q(bytes, text.size()) || !text_to_double(bytes, text.size(), value))) {
    err = -1;
    return nan;
  }
  return value;
}

bool money_syntax_q(const uint8_t* t, size_t n, money_parts& parts) {
  parts = money_parts{};
  size_t i = 0;
  if (i < n && (t[i] == '+' || t[i] == '-')) parts.negative = t[i++] == '-';
  auto letter = [](uint8_t c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
  if (i < n && letter(t[i])) {
    if (i + 3 >= n || !letter(t[i + 1]) || !letter(t[i + 2]) || t[i + 3] != '$') return false;
    parts.code = int32_t(i);
    i += 4;
  } else if (i < n && t[i] == '$') {
    ++i;
  }
  if (i >= n) return false;
  parts.first = int32_t(i);
  int32_t count = 0;
  bool seen_digit = false;
  // integer part: digits, apostrophes only between digits
  for (; i < n && (digit_q(t[i]) || t[i] == '\''); ++i) {
    if (t[i] == '\'') {
      if (!seen_digit || i + 1 >= n || !digit_q(t[i + 1])) return false;
      continue;
    }
    if (count || t[i] != '0') ++count;  // leading zeros are skipped
    seen_digit = true;
  }
  if (count > 17) return false;
  if (i < n && (t[i] == '.' || t[i] == ',')) {
    parts.point = int32_t(i++);
    int32_t fraction = 0;
    for (; i < n && digit_q(t[i]); ++i) ++fraction;
    if (fraction == 0 || fraction > 5) return false;  // also a separator at the end
  } else if (!seen_digit) {
    return false;
  }
  return i == n;
}

cell* make_money(cell* target, const uint8_t* text, size_t n, const money_parts& parts) {
  auto* t = reinterpret_cast<const char*>(text);
  return money::load_text(target, parts.negative, parts.code >= 0 ? t + parts.code : nullptr,
                          t + parts.first, parts.point >= 0 ? t + parts.point : nullptr, t + n);
}

void scan_money(cell* target, const void* start, int32_t count, int unit) {
  cell failed{TYPE_NONE, uint32_t(-1), 0, 0};
  if (count < 0 || count > 64) {
    *target = failed;
    return;
  }
  std::string text = narrow(start, count, unit);
  auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  money_parts parts;
  // here a point must have digits on both sides, and the $ may be left out
  if (!money_syntax_q(bytes, text.size(), parts) ||
      (parts.code >= 0 && text.size() < 5) ||
      !make_money(target, bytes, text.size(), parts))
    *target = failed;
}

}  // namespace kez::lexer
