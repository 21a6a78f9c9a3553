// mold of string!: delimiters, caret escapes, braces, /all and /part; the
// hexadecimal helpers.
#include <gtest/gtest.h>

#include <string>

#include "runtime/datatypes/string.h"
#include "text_fixture.h"

namespace kez {
namespace {

using testing::mold_text;
using testing::text;

class string_mold_test : public testing::text_test {};

TEST_F(string_mold_test, molds) {
  struct row {
    std::string text;
    bool all;
    const char* expected;
  };
  const row rows[] = {
      {"abc", false, "\"abc\""},
      {"", false, "\"\""},
      {std::string(49, 'a'), false, nullptr},  // quotes: checked below
      {std::string(50, 'a'), false, nullptr},  // braces
      {"a\"b", false, "{a\"b}"},
      {"a\nb", false, "\"a^/b\""},
      {"a\n\nb", false, "\"a^/^/b\""},
      {"\n\n\n", false, "{^/^/^/}"},
      {"\t\x1F", false, "\"^-^_\""},
      {std::string(1, '\0'), false, "\"^@\""},
      {"\x1B", false, "\"^[\""},
      {"^", false, "\"^^\""},
      {"\"^", false, "{\"^^}"},
      {"\x1E", false, "\"^(1E)\""},
      {"\x7F", false, "\"^~\""},
      {"\xC2\x85", false, "\"^(85)\""},
      {"\xC3\xA9", false, "\"\xC3\xA9\""},
      {"\xC3\xA9", true, "\"^(E9)\""},
      {"\xE2\x82\xAC", true, "\"^(20AC)\""},
      {"\xF0\x9F\x98\x80", true, "\"^(1F600)\""},
      {"a{b}c", false, "\"a{b}c\""},       // braces need no escape between quotes
      {"\"{x}", false, "{\"{x}}"},
      {"\"{x", false, "{\"^{x}"},
      {"\"{{x}", false, "{\"^{^{x^}}"},     // an unclosed brace escapes every later one
      {"\"}{", false, "{\"^}^{}"},
      {"\"{a}}", false, "{\"{a}^}}"},
      {"\"\t", false, "{\"^-}"},
  };
  for (const row& r : rows) {
    stack::reset();
    std::string expected = r.expected ? r.expected
                           : r.text.size() < 50 ? "\"" + r.text + "\""
                                                : "{" + r.text + "}";
    auto m = mold_text(text(r.text), r.all);
    EXPECT_EQ(m.text, expected) << r.text;
    int32_t chars = 0;
    for (unsigned char c : m.text) chars += (c & 0xC0) != 0x80;
    EXPECT_EQ(m.left, 1000 - chars) << r.text;
  }
}

// The budget answer is what is left after everything appended, escapes
// included; /part cuts the text but not the delimiters.
TEST_F(string_mold_test, part_budget) {
  struct row {
    const char* text;
    int32_t part;
    const char* expected;
    int32_t left;
  };
  const row rows[] = {
      {"abcdef", 2, "\"ab\"", -2},
      {"abcdef", 0, "\"\"", -2},
      {"a\nbcd", 3, "\"a^/b\"", -3},
      {"abc", 10, "\"abc\"", 5},
  };
  for (const row& r : rows) {
    stack::reset();
    auto m = mold_text(text(r.text), false, r.part);
    EXPECT_EQ(m.text, r.expected) << r.text;
    EXPECT_EQ(m.left, r.left) << r.text;
  }
  // Quotes and line feeds count within the part; the length is the whole text's.
  auto m = mold_text(text("ab\"c"), false, 2);
  EXPECT_EQ(m.text, "\"ab\"");
  auto n = mold_text(text(std::string(60, 'x')), false, 3);
  EXPECT_EQ(n.text, "{xxx}");
}

// The molded text lands after what the buffer held, at the buffer's unit.
TEST_F(string_mold_test, appends_to_a_wide_buffer) {
  cell* out = text("\xCE\xA9:");
  actions::mold_dispatch(text("a\xC3\xA9"), out, false, false, false, nullptr, 100, 0);
  EXPECT_EQ(testing::utf8_of(out), "\xCE\xA9:\"a\xC3\xA9\"");
}

TEST_F(string_mold_test, hexadecimal_helpers) {
  struct row {
    int32_t value;
    bool trim;
    const char* expected;
  };
  const row rows[] = {
      {255, false, "000000FF"}, {255, true, "FF"},        {-2, false, "FFFFFFFE"},
      {0, false, "00000000"},   {0, true, "00"},          {-1, true, ""},
      {0x1E, true, "1E"},       {0x10FFFF, true, "10FFFF"}, {0x7FFFFFFF, false, "7FFFFFFF"},
      {int32_t(0x80000000), false, "80000000"},           {8, true, "8"},
  };
  for (const row& r : rows) EXPECT_STREQ(string::to_hex(r.value, r.trim), r.expected) << r.value;
  EXPECT_STREQ(string::byte_to_hex(0xA9), "A9");
  EXPECT_STREQ(string::byte_to_hex(0x0F), "0F");
  EXPECT_EQ(string::to_float("1.5e3xyz", 5), 1500.0);
}

TEST_F(string_mold_test, brace_and_quote_counters) {
  const uint8_t t[] = {'{', 'a', '{', '}', '"', '\n', '}', '"'};
  EXPECT_TRUE(string::brace_closes_q(t, t + 8, 1));
  EXPECT_TRUE(string::brace_closes_q(t + 2, t + 8, 1));
  EXPECT_FALSE(string::brace_closes_q(t, t + 6, 1));
  int32_t quotes = 0, line_feeds = 0;
  string::count_quotes(t, t + 8, 1, quotes, line_feeds);
  EXPECT_EQ(quotes, 2);
  EXPECT_EQ(line_feeds, 1);
  const uint16_t wide[] = {'{', 0x3A9, '}'};
  EXPECT_TRUE(string::brace_closes_q(reinterpret_cast<const uint8_t*>(wide),
                                     reinterpret_cast<const uint8_t*>(wide + 3), 2));
}

}  // namespace
}  // namespace kez
