// Simple one-to-one case mapping of single code points (Unicode 11.0 simple
// mappings, plus sharp s upper-casing to a single S). Hashing and
// case-insensitive comparison treat two code points as the same letter when
// their upper-case forms are equal; there is no separate folding table.
//
// Invariants: the pair tables are constant data, sorted by source code point,
// with no source twice; init fills the two BMP lookup arrays once (0 = no
// mapping) and must run before convert. A mapping may need a wider text unit
// than its source (U+00FF upper-cases to U+0178), so change_case widens.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "runtime/utf.h"

namespace kez::case_ {

enum mode : int { lower = 0, upper = 1 };

struct case_pair {
  uint32_t from, to;
};

// Builds the BMP lookup arrays from the pair tables. Safe to call again.
void init();

// The code point in the given case (any nonzero mode is upper case), or cp
// itself when it has no mapping.
int32_t convert(int32_t cp, int mode);

// Upper case when that changes cp, else lower case.
int32_t swap_char(int32_t cp);

// Changes the case of `length` units of a text buffer from unit `index` on,
// in place; the buffer widens when a mapped code point needs a wider unit.
void change_case(utf::text_buffer& buffer, size_t index, size_t length, int mode);

// The pair tables, for inspection.
enum table_kind : int { upper_bmp, lower_bmp, upper_supplementary, lower_supplementary };
std::span<const case_pair> table(table_kind kind);

}  // namespace kez::case_
