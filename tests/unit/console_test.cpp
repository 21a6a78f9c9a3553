#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "capture.h"
#include "runtime/console.h"

using namespace kez;
using kez::test::capture_stdout;

namespace {

struct write_case {
  int unit;
  std::vector<uint32_t> units;
  bool newline;
  std::string expected;
};

// Writes units of the given width from exactly sized storage.
void write_units(int unit, const std::vector<uint32_t>& units, bool newline) {
  std::vector<uint8_t> bytes;
  for (uint32_t u : units)
    for (int i = 0; i < unit; ++i) bytes.push_back(uint8_t(u >> (8 * i)));
  console::write(bytes.data(), bytes.size(), unit, newline);
}

TEST(ConsoleOutput, PipeGetsUtf8WithLfLineEnds) {
  const write_case cases[] = {
      {1, {'c', 'a', 'f', 0xE9}, false, "caf\xC3\xA9"},
      {1, {'o', 'k'}, true, "ok\n"},
      {1, {}, true, "\n"},
      // A surrogate pair is one character: one 4-byte sequence.
      {2, {'H', 0xD83D, 0xDE00}, false, "H\xF0\x9F\x98\x80"},
      // Halves without their partner are no character.
      {2, {0xD83D}, false, "\xEF\xBF\xBD"},
      {2, {0xD83D, 'a'}, false, "\xEF\xBF\xBD" "a"},
      {2, {0xDE00, 0xD83D}, true, "\xEF\xBF\xBD\xEF\xBF\xBD\n"},
      {2, {0x7FF, 0x800, 0xFFFF}, false, "\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF"},
      {4, {0x1F600, 0x10FFFF, 0x110000, 0xDC00, 0x41}, true,
       "\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF\xEF\xBF\xBD\xEF\xBF\xBD" "A\n"},
      // Escape sequences go out as they are.
      {1, {27, '[', '3', '1', 'm', 'r', 27, '[', '0', 'm'}, false, "\x1B[31mr\x1B[0m"},
  };
  for (const write_case& c : cases) {
    SCOPED_TRACE(c.expected);
    EXPECT_EQ(capture_stdout([&] { write_units(c.unit, c.units, c.newline); }), c.expected);
  }
}

// Text longer than the output buffer, with multi-byte sequences and pairs
// falling across every buffer boundary.
TEST(ConsoleOutput, LongTextSurvivesBufferBoundaries) {
  std::vector<uint32_t> units;
  std::string expected;
  for (int i = 0; i < 1500; ++i) {
    units.push_back(0xE9);
    expected += "\xC3\xA9";
    if (i % 7 == 0) {
      units.push_back(0xD83D);
      units.push_back(0xDE00);
      expected += "\xF0\x9F\x98\x80";
    }
  }
  expected += "\n";
  EXPECT_EQ(capture_stdout([&] { write_units(2, units, true); }), expected);
}

TEST(ConsoleOutput, OddTrailingBytesAreNoUnit) {
  const char16_t text[] = u"ab";
  EXPECT_EQ(capture_stdout([&] { console::write(text, 3, 2, false); }), "a");
}

TEST(ConsoleOutput, EscapeSequenceLengthIsBoundedByTheText) {
  struct escape_case {
    std::string text;
    int unit;
    size_t expected;  // in bytes
  };
  auto wide = [](const std::string& s, int unit) {
    std::string out;
    for (char c : s) {
      out += c;
      out.append(size_t(unit - 1), '\0');
    }
    return out;
  };
  const escape_case cases[] = {
      {"\x1B[31m", 1, 5},
      {"\x1B[1;31;44mX", 1, 10},
      {"\x1B[K", 1, 3},
      {"\x1B[?", 1, 3},
      {"\x1B[5;10Hrest", 1, 7},
      {"\x1B[12", 1, 4},  // unterminated: ends with the text
      {"\x1B[", 1, 2},
      {"\x1B" "X", 1, 0},
      {"\x1B", 1, 0},
      {"a\x1B[m", 1, 0},
      {wide("\x1B[2J", 2), 2, 8},
      {wide("\x1B[33", 4), 4, 16},
  };
  for (const escape_case& c : cases) {
    SCOPED_TRACE(c.text);
    // Exactly sized, so that reading past the text is caught.
    auto copy = std::make_unique<char[]>(c.text.size());
    std::copy(c.text.begin(), c.text.end(), copy.get());
    EXPECT_EQ(console::parse_escape(copy.get(), c.text.size(), c.unit), c.expected);
  }
}

TEST(TypedPrinters, ItemsPrintInTheirForms) {
  std::string out = capture_stdout([] {
    stdout_::print_line(true, " ", false, " ", int32_t(-42), " ", stdout_::hex{0xBEEF}, " ", 0.1, " ",
                        1.0 / 3.0, " ", 1.5f, " ", 0.1f, " ", stdout_::byte{'Z'}, " ", int64_t(1) << 40);
    stdout_::prin("no line end");
    console::print_byte_hex(0xA);
  });
  EXPECT_EQ(out, "true false -42 0000BEEF 0.1 0.3333333333333333 1.5 0.1 Z 1099511627776\nno line end0A");
}

TEST(TypedPrinters, PrintPartStopsAtTheCountOrTheNul) {
  EXPECT_EQ(capture_stdout([] { stdout_::print_part("abcdef", 3); }), "abc");
  EXPECT_EQ(capture_stdout([] { stdout_::print_part("ab", 10); }), "ab");
  EXPECT_EQ(capture_stdout([] { stdout_::print_part("ab", 0); }), "");
}

TEST(TypedPrinters, CharLiteralsUseCaretForms) {
  const std::pair<uint8_t, const char*> cases[] = {
      {0, "#\"^@\""},    {9, "#\"^-\""},    {10, "#\"^/\""},      {1, "#\"^A\""},
      {27, "#\"^[\""},   {31, "#\"^_\""},   {32, "#\" \""},       {'A', "#\"A\""},
      {127, "#\"\x7F\""}, {128, "#\"^(80)\""}, {200, "#\"^(C8)\""}, {255, "#\"^(FF)\""},
  };
  for (const auto& [code, expected] : cases) {
    uint8_t byte = code;  // a lambda may not capture a structured binding before C++20 in every compiler
    SCOPED_TRACE(int(byte));
    EXPECT_EQ(capture_stdout([&] { stdout_::print_char_literal(byte); }), expected);
  }
}

}  // namespace
