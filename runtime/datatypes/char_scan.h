// Scanning a text for one character at the text's own unit width: the
// characters a search character matches (its case forms, unless the search
// is exact) are worked out once, and a scan of 1-byte units for one or two
// members is done by memchr. PARSE and find/select of string! share it.
#pragma once

#include <cstdint>
#include <cstring>

#include "runtime/datatypes/string_text.h"

namespace kez::string {

// The characters a one-character search matches: itself, and unless the
// match is exact every code point of the same lower case (a letter has a
// few, 'k' also KELVIN SIGN). A set too large to list is not `listed`: the
// scan folds each character instead.
struct char_set {
  static constexpr int32_t CAPACITY = 6;
  int32_t c[CAPACITY] = {};  // ascending
  int32_t fits[3] = {};      // members that fit a unit of 1, 2 and 4 bytes
  bool listed = true;
};

// ch is a code point (never negative).
char_set make_char_set(int32_t ch, bool exact);

// The set of a character, found once and kept (by the low byte of the
// character): a search looks for the same few characters again and again.
// Good until the next call.
[[gnu::always_inline]] inline const char_set& char_set_of(int32_t ch, bool exact) {
  struct memo {
    uint32_t key;  // 0 when empty
    char_set set;
  };
  static memo memos[512];
  uint32_t key = (uint32_t(ch) << 1 | uint32_t(exact)) + 1;
  memo& m = memos[key & 511];
  if (m.key != key) [[unlikely]]
    m = memo{key, make_char_set(ch, exact)};
  return m.set;
}

template <class T>
[[gnu::always_inline]] inline int32_t unit_at(const uint8_t* p, int32_t i) {
  T v;
  std::memcpy(&v, p + size_t(i) * sizeof(T), sizeof(T));
  return int32_t(v);
}

// The first index from i before stop of byte a or b, else stop: memchr
// for each, a window at a time, so that a far hit of one never costs more
// than a window past a near hit of the other. Out of line, so that the
// scans that may call it stay small where they are inlined.
[[gnu::noinline]] inline int32_t memchr_either(const uint8_t* p, int32_t i, int32_t stop, uint8_t a, uint8_t b) {
  constexpr int32_t WINDOW = 256;
  while (i < stop) {
    int32_t end = stop - i > WINDOW ? i + WINDOW : stop;
    const void* x = std::memchr(p + i, a, size_t(end - i));
    if (x) end = int32_t(static_cast<const uint8_t*>(x) - p);
    const void* y = std::memchr(p + i, b, size_t(end - i));
    if (y) return int32_t(static_cast<const uint8_t*>(y) - p);
    if (x) return end;
    i = end;
  }
  return stop;
}

// The first index from i before stop whose character is in the set (or,
// with the set not listed, folds as ch does), else stop. in: false looks
// for the first character outside it.
template <class T, bool in>
static int32_t scan_units(const uint8_t* p, int32_t i, int32_t stop, const char_set& set, int32_t ch) {
  if (!set.listed) [[unlikely]] {
    int32_t folded = fold(ch);
    for (; i < stop; ++i) {
      int32_t c = unit_at<T>(p, i);
      if ((c == ch || fold(c) == folded) == in) break;
    }
    return i;
  }
  // Members too wide for the unit cannot occur.
  int32_t n = set.fits[sizeof(T) == 1 ? 0 : sizeof(T) == 2 ? 1 : 2];
  if (n == 0) return in ? stop : i;
  if (n == 1) {
    int32_t only = set.c[0];
    if constexpr (sizeof(T) == 1 && in) {
      const void* hit = std::memchr(p + i, only, size_t(stop - i));
      return hit ? int32_t(static_cast<const uint8_t*>(hit) - p) : stop;
    }
    for (; i < stop; ++i)
      if ((unit_at<T>(p, i) == only) == in) break;
    return i;
  }
  if (n == 2) {  // a letter and its other case, the commonest set
    int32_t a = set.c[0], b = set.c[1];
    if constexpr (sizeof(T) == 1 && in)
      if (stop - i >= 32) return memchr_either(p, i, stop, uint8_t(a), uint8_t(b));
    for (; i < stop; ++i) {
      int32_t c = unit_at<T>(p, i);
      if ((c == a || c == b) == in) break;
    }
    return i;
  }
  for (; i < stop; ++i) {
    int32_t c = unit_at<T>(p, i);
    bool member = false;
    for (int32_t k = 0; k < n; ++k) member |= set.c[k] == c;
    if (member == in) break;
  }
  return i;
}

// scan_units over a text of units of 1, 2 or 4 bytes; i and stop index
// from text.p. Both are static: each user gets its own copy, which the
// compiler may split and specialise for its callers (PARSE's keywords
// rely on that for their speed).
template <bool in>
static int32_t scan_text(const text_view& text, int32_t i, int32_t stop, const char_set& set, int32_t ch) {
  if (i >= stop) return stop;
  switch (text.unit) {
    case 1: return scan_units<uint8_t, in>(text.p, i, stop, set, ch);
    case 2: return scan_units<uint16_t, in>(text.p, i, stop, set, ch);
    default: return scan_units<int32_t, in>(text.p, i, stop, set, ch);
  }
}

}  // namespace kez::string
