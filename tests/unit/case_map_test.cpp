#include <gtest/gtest.h>

#include <algorithm>

#include "runtime/case_map.h"
#include "unit_text.h"

using namespace kez;
using test::u_plus;
using test::unit_text;
using code_points = std::vector<int32_t>;

namespace {

class CaseMap : public testing::Test {
 protected:
  static void SetUpTestSuite() { case_::init(); }
};

}  // namespace

TEST_F(CaseMap, TablesHaveTheExpectedShape) {
  struct { case_::table_kind kind; size_t count; case_::case_pair first, last; } rows[] = {
    {case_::upper_bmp, 1176, {'a', 'A'}, {0xFF5A, 0xFF3A}},
    {case_::lower_bmp, 1158, {'A', 'a'}, {0xFF3A, 0xFF5A}},
    {case_::upper_supplementary, 225, {0x10428, 0x10400}, {0x1E943, 0x1E921}},
    {case_::lower_supplementary, 225, {0x10400, 0x10428}, {0x1E921, 0x1E943}},
  };
  for (auto& r : rows) {
    auto t = case_::table(r.kind);
    ASSERT_EQ(t.size(), r.count) << r.kind;
    EXPECT_EQ(t.front().from, r.first.from);
    EXPECT_EQ(t.front().to, r.first.to);
    EXPECT_EQ(t.back().from, r.last.from);
    EXPECT_EQ(t.back().to, r.last.to);
    // Sorted with no source twice: the lookups rely on it.
    EXPECT_TRUE(std::adjacent_find(t.begin(), t.end(), [](auto& a, auto& b) {
                  return a.from >= b.from;
                }) == t.end());
  }
}

TEST_F(CaseMap, SupplementaryScriptsArePaired) {
  // Each script appears with the same number of pairs in both directions.
  struct { const char* script; uint32_t first, last; size_t pairs; } rows[] = {
    {"Deseret", 0x10400, 0x1044F, 40},       {"Osage", 0x104B0, 0x104FB, 36},
    {"Old Hungarian", 0x10C80, 0x10CFF, 51}, {"Warang Citi", 0x118A0, 0x118FF, 32},
    {"Medefaidrin", 0x16E40, 0x16E7F, 32},   {"Adlam", 0x1E900, 0x1E95F, 34},
  };
  size_t total = 0;
  for (auto kind : {case_::upper_supplementary, case_::lower_supplementary}) {
    for (auto& r : rows) {
      auto t = case_::table(kind);
      size_t n = std::count_if(t.begin(), t.end(),
                               [&](auto& p) { return p.from >= r.first && p.from <= r.last; });
      EXPECT_EQ(n, r.pairs) << r.script;
      total += n;
    }
  }
  EXPECT_EQ(total, 2u * 225);
}

TEST_F(CaseMap, ConvertSingleCodePoints) {
  struct { int32_t cp; int mode; int32_t want; } rows[] = {
    {'a', case_::upper, 'A'}, {'A', case_::upper, 'A'}, {'A', case_::lower, 'a'},
    {'1', case_::upper, '1'}, {0, case_::upper, 0},
    {0xFF, case_::upper, 0x178},     // y with diaeresis needs a 2-byte unit
    {0x178, case_::lower, 0xFF},
    {0xDF, case_::upper, 0x53},      // sharp s upper-cases to a single S
    {0xDF, case_::lower, 0xDF},
    {0x130, case_::lower, 'i'},      // I with dot above
    {0x130, case_::upper, 0x130},
    {0x131, case_::upper, 'I'},      // dotless i
    {0x1C5, case_::upper, 0x1C4},    // title-case digraph Dz with caron
    {0x1C5, case_::lower, 0x1C6},
    {0x3C2, case_::upper, 0x3A3},    // final sigma
    {0x10D0, case_::upper, 0x1C90},  // Georgian Mtavruli pairs are 11.0
    {0x1C90, case_::lower, 0x10D0},
    {0xA7B9, case_::upper, 0xA7B8},
    {0xFB01, case_::upper, 0xFB01},  // ligatures have no single upper-case form
    {0x1FBC, case_::upper, 0x1FBC},
    {0x7, 2, 0x7},                   // any nonzero mode is upper case
    {'q', -1, 'Q'},
    // Added after 11.0: left unchanged.
    {0xA7C3, case_::upper, 0xA7C3}, {0xA7C2, case_::lower, 0xA7C2},
    {0xA794, case_::upper, 0xA794},  // its upper-case partner U+A7C4 is 12.0
    {0xA7C4, case_::lower, 0xA7C4},
    {0x2C5F, case_::upper, 0x2C5F},  // Glagolitic, 14.0
    {0x1E922, case_::lower, 0x1E922},
    // Above the BMP.
    {0x10428, case_::upper, 0x10400}, {0x10400, case_::lower, 0x10428},
    {0x1E943, case_::upper, 0x1E921}, {0x1E921, case_::lower, 0x1E943},
    {0x1E944, case_::upper, 0x1E944},   // past the last pair
    {0x10450, case_::upper, 0x10450},   // between two scripts
    {0x10427, case_::upper, 0x10427},   // before the first pair
    {0x10FFFF, case_::lower, 0x10FFFF},
    {0x16E7F, case_::upper, 0x16E5F}, {0x104D8, case_::upper, 0x104B0},
    {-5, case_::upper, -5}, {0x7FFFFFFF, case_::lower, 0x7FFFFFFF},
  };
  for (auto& r : rows) EXPECT_EQ(case_::convert(r.cp, r.mode), r.want) << u_plus(r.cp) << " mode " << r.mode;
}

TEST_F(CaseMap, SwapChar) {
  struct { int32_t cp, want; } rows[] = {{'a', 'A'}, {'A', 'a'}, {'5', '5'}, {0xDF, 'S'}, {0x1E921, 0x1E943}};
  for (auto& r : rows) EXPECT_EQ(case_::swap_char(r.cp), r.want) << u_plus(r.cp);
}

TEST_F(CaseMap, ChangeCaseInPlaceWidens) {
  struct { int unit; code_points text; size_t index, length; int mode; code_points want; int unit_after; } rows[] = {
    {1, {'a', 'b', 'c'}, 0, 3, case_::upper, {'A', 'B', 'C'}, 1},
    {1, {'a', 0xFF, 'z'}, 0, 3, case_::upper, {'A', 0x178, 'Z'}, 2},   // widened mid-walk
    {1, {'a', 'b', 'c', 'd'}, 1, 2, case_::upper, {'a', 'B', 'C', 'd'}, 1},
    {1, {'a', 'b'}, 1, 99, case_::upper, {'a', 'B'}, 1},                 // length cut to the tail
    {1, {'a', 'b'}, 5, 1, case_::upper, {'a', 'b'}, 1},                  // start past the tail
    {1, {'A', 0xC9}, 0, 2, case_::lower, {'a', 0xE9}, 1},
    {1, {0xDF, 0xE0}, 0, 2, case_::upper, {'S', 0xC0}, 1},
    {2, {0x3B1, 0x3B2}, 0, 1, case_::upper, {0x391, 0x3B2}, 2},
    {4, {0x1E922, 0x10428, 'x'}, 0, 3, case_::upper, {0x1E900, 0x10400, 'X'}, 4},
    {1, {0xFF, 0xFF}, 0, 0, case_::upper, {0xFF, 0xFF}, 1},
  };
  for (auto& r : rows) {
    unit_text t(r.unit);
    t.assign(r.text);
    case_::change_case(t.buffer, r.index, r.length, r.mode);
    EXPECT_EQ(t.code_points(), r.want);
    EXPECT_EQ(t.buffer.unit, r.unit_after);
  }
}

TEST_F(CaseMap, UpperFormsAgreeAcrossTheBmp) {
  // Lower-casing then upper-casing a letter that has an upper-case form gives
  // that form back; case-insensitive hashing relies on it.
  for (auto& p : case_::table(case_::upper_bmp)) {
    int32_t up = static_cast<int32_t>(p.to);
    EXPECT_EQ(case_::convert(case_::convert(up, case_::lower), case_::upper), up) << u_plus(p.from);
  }
}
