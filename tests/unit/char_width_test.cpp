#include <gtest/gtest.h>

#include "runtime/char_width.h"
#include "unit_text.h"

using namespace kez;
using test::u_plus;

TEST(CharWidth, TablesAreSortedDisjointRanges) {
  struct { char_::width_table which; size_t ranges; uint32_t first0, last1; } rows[] = {
    {char_::zero_width, 339, 0x0300, 0xE01EF},
    {char_::wide, 122, 0x1100, 0x3FFFD},
    {char_::ambiguous, 176, 0x00A1, 0x10FFFD},
  };
  for (auto& r : rows) {
    auto t = char_::ranges(r.which);
    ASSERT_EQ(t.size(), 2 * r.ranges) << r.which;
    EXPECT_EQ(t.front(), r.first0);
    EXPECT_EQ(t.back(), r.last1);
    for (size_t i = 0; i < t.size(); i += 2) {
      EXPECT_LE(t[i], t[i + 1]) << r.which << " range " << i / 2;
      if (i + 2 < t.size()) {
        EXPECT_LT(t[i + 1] + 1, t[i + 2]) << "ranges touch or overlap";
      }
    }
  }
  // No code point sits in two tables.
  for (auto a : {char_::zero_width, char_::wide, char_::ambiguous}) {
    for (auto b : {char_::zero_width, char_::wide, char_::ambiguous}) {
      if (a >= b) continue;
      auto ta = char_::ranges(a);
      auto tb = char_::ranges(b);
      for (size_t i = 0; i < ta.size(); i += 2) {
        EXPECT_EQ(char_::in_ranges_q(ta[i], tb.data(), tb.size()), 0) << u_plus(ta[i]);
        EXPECT_EQ(char_::in_ranges_q(ta[i + 1], tb.data(), tb.size()), 0) << u_plus(ta[i + 1]);
      }
    }
  }
}

TEST(CharWidth, InRangesEdges) {
  const uint32_t table[] = {10, 20, 30, 30, 40, 50};
  struct { int32_t cp; int in; } rows[] = {
    {9, 0}, {10, 1}, {15, 1}, {20, 1}, {21, 0}, {29, 0}, {30, 1}, {31, 0},
    {40, 1}, {50, 1}, {51, 0}, {-1, 0}, {0x7FFFFFFF, 0},
  };
  for (auto& r : rows) EXPECT_EQ(char_::in_ranges_q(r.cp, table, 6), r.in) << r.cp;
  EXPECT_EQ(char_::in_ranges_q(15, table, 0), 0);
}

TEST(CharWidth, Columns) {
  struct { int32_t cp; int width, cjk; } rows[] = {
    {0x0000, 0, 0}, {0x0009, 1, 1}, {0x001B, 1, 1}, {0x007F, 1, 1}, {0x0085, 1, 1},
    {'A', 1, 1}, {0x00A0, 1, 1},
    {0x00A1, 1, 2},                  // ambiguous
    {0x00B1, 1, 2}, {0x03B1, 1, 2}, {0x2500, 1, 2}, {0xE000, 1, 2}, {0xFFFD, 1, 2},
    {0x10FFFD, 1, 2}, {0x10FFFE, 1, 1},
    {0x0301, 0, 0},                  // combining acute: ambiguous, still no column
    {0x0300, 0, 0}, {0x036F, 0, 0}, {0x0488, 0, 0},  // Me
    {0x1160, 0, 0}, {0x11FF, 0, 0},  // Jamo medial vowels and finals
    {0x200B, 0, 0}, {0x200D, 0, 0}, {0xFEFF, 0, 0}, {0x2060, 0, 0},
    {0x00AD, 1, 2},                  // soft hyphen shows
    {0x302A, 0, 0}, {0x3099, 0, 0},  // wide-block combining marks
    {0xE0100, 0, 0}, {0xE01EF, 0, 0},
    {0x1100, 2, 2}, {0x115F, 2, 2}, {0x3000, 2, 2}, {0x4E00, 2, 2}, {0x9FFF, 2, 2},
    {0xAC00, 2, 2}, {0xD7A3, 2, 2}, {0xD7A4, 1, 1}, {0xFF01, 2, 2}, {0x1F600, 2, 2},
    {0x20000, 2, 2}, {0x2FFFD, 2, 2}, {0x2FFFE, 1, 1}, {0x30000, 2, 2}, {0x3FFFD, 2, 2},
    {0x1FAE8, 1, 1},                 // emoji added in 15.0: not wide here
    {0x1FAE0, 2, 2},                 // emoji of 14.0
    {0x11F00, 1, 1},                 // Kawi sign, 15.0: not zero width here
    {0x1E08F, 1, 1},                 // 15.0 combining mark
    {0x0898, 0, 0},                  // 14.0 combining mark
    {0x110000, 1, 1}, {0x7FFFFFFF, 1, 1}, {-1, 1, 1},
  };
  for (auto& r : rows) {
    EXPECT_EQ(char_::width(r.cp), r.width) << u_plus(r.cp);
    EXPECT_EQ(char_::width_cjk(r.cp), r.cjk) << u_plus(r.cp);
  }
}
