// Display width of a code point on a fixed-width grid: 0, 1 or 2 columns
// (Unicode 14.0 properties). Combining marks and invisible format characters
// take 0, East Asian Wide and Fullwidth characters 2, everything else 1;
// controls count 1 and NUL 0. The CJK variant counts East Asian Ambiguous
// characters as 2.
//
// Invariant: each range table is constant data, closed (first, last) pairs of
// 32-bit values sorted ascending, never overlapping, and no code point lies in
// two tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace kez::char_ {

// 1 when cp lies in one of the ranges of `table` (`words` 32-bit values, two
// per range), else 0.
int in_ranges_q(int32_t cp, const uint32_t* table, size_t words);

int width(int32_t cp);
int width_cjk(int32_t cp);

// The range tables, as flat (first, last) word runs.
enum width_table : int { zero_width, wide, ambiguous };
std::span<const uint32_t> ranges(width_table which);

}  // namespace kez::char_
