#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "runtime/datatypes/error.h"
#include "runtime/thrown.h"
#include "runtime/utf.h"
#include "unit_text.h"

using namespace kez;
using test::unit_text;
using test::units_of;
using bytes = std::vector<uint8_t>;
using code_points = std::vector<int32_t>;

namespace {

constexpr int32_t INVALID_UTF8 = -100;  // expectation: Access Error invalid-utf8
constexpr int32_t INVALID_CHAR = -101;  // expectation: Script Error invalid-char

// Runs f; answers INVALID_UTF8 / INVALID_CHAR when it raised that error, 0
// when it returned. Any other error fails the test.
template <typename F>
int32_t raised(F&& f) {
  try {
    f();
    return 0;
  } catch (const thrown& t) {
    EXPECT_EQ(t.code, THROWN_ERROR);
    if (error::last_category() == err::cat_access && error::last_id() == err::access::invalid_utf8)
      return INVALID_UTF8;
    if (error::last_category() == err::cat_script && error::last_id() == err::script::invalid_char)
      return INVALID_CHAR;
    ADD_FAILURE() << "unexpected error " << error::last_category() << "/" << error::last_id();
    return -1;
  }
}

std::string hex(const bytes& b) {
  std::string s;
  char buf[4];
  for (uint8_t x : b) {
    std::snprintf(buf, sizeof buf, "%02X ", x);
    s += buf;
  }
  return s;
}

}  // namespace

TEST(Utf8, ValidatingDecoderAcceptsAndRejectsSequences) {
  // cp: expected code point, -1 for "incomplete", INVALID_UTF8 for an error.
  struct { bytes in; int32_t cp; int len; } rows[] = {
    {{0x41}, 0x41, 1},
    {{0x00}, 0, 1},
    {{0xC3, 0xA9}, 0xE9, 2},
    {{0xC0, 0x80}, 0, 2},                   // overlong 2-byte form accepted
    {{0xC1, 0xBF}, 0x7F, 2},
    {{0xE2, 0x82, 0xAC}, 0x20AC, 3},
    {{0xE0, 0x80, 0x80}, 0, 3},             // overlong 3-byte form accepted
    {{0xED, 0xA0, 0x80}, 0xD800, 3},        // surrogate outside DC00-DCFF passes
    {{0xED, 0xB4, 0x80}, 0xDD00, 3},
    {{0xED, 0xB0, 0x80}, INVALID_UTF8, 0},  // 0xDC00
    {{0xED, 0xB3, 0xBF}, INVALID_UTF8, 0},  // 0xDCFF
    {{0xF0, 0x9F, 0x98, 0x80}, 0x1F600, 4},
    {{0xF4, 0x8F, 0xBF, 0xBF}, 0x10FFFF, 4},
    {{0xF4, 0x90, 0x80, 0x80}, INVALID_UTF8, 0},  // 0x110000
    {{0xF7, 0xBF, 0xBF, 0xBF}, INVALID_UTF8, 0},
    {{0xF8, 0x88, 0x80, 0x80}, INVALID_UTF8, 0},
    {{0xFF}, INVALID_UTF8, 0},
    {{0x80}, INVALID_UTF8, 0},              // continuation byte as lead
    {{0xBF, 0x41}, INVALID_UTF8, 0},
    {{0xC3, 0x41}, INVALID_UTF8, 0},        // bad continuation
    {{0xE2, 0x82, 0x41}, INVALID_UTF8, 0},
    {{0xF0, 0x9F, 0xC0, 0x80}, INVALID_UTF8, 0},
    {{0xE2, 0x28}, INVALID_UTF8, 0},        // already invalid before it is complete
    {{0xC3}, -1, 0},                        // input ends inside the sequence
    {{0xE2, 0x82}, -1, 0},
    {{0xF0, 0x9F, 0x98}, -1, 0},
  };
  for (auto& r : rows) {
    int32_t quiet_avail = static_cast<int32_t>(r.in.size());
    int32_t quiet = utf8::try_decode_sequence(r.in.data(), quiet_avail);
    int32_t avail = static_cast<int32_t>(r.in.size());
    int32_t cp = 0;
    int32_t err = raised([&] { cp = utf8::decode_sequence(r.in.data(), avail); });
    if (r.cp == INVALID_UTF8) {
      EXPECT_EQ(err, INVALID_UTF8) << hex(r.in);
      EXPECT_EQ(quiet, -2) << hex(r.in);
      continue;
    }
    EXPECT_EQ(quiet, cp) << hex(r.in);
    EXPECT_EQ(quiet_avail, avail) << hex(r.in);
    EXPECT_EQ(err, 0) << hex(r.in);
    EXPECT_EQ(cp, r.cp) << hex(r.in);
    if (r.cp >= 0) {
      EXPECT_EQ(avail, r.len) << hex(r.in);
    }
  }
}

TEST(Utf8, StrictDecoderRejectsWhatTheValidatingOneTolerates) {
  // used: bytes consumed; a bad sequence consumes the byte that broke it.
  struct { bytes in; int32_t cp; size_t used; } rows[] = {
    {{0x41, 0x42}, 0x41, 1},
    {{0xC3, 0xA9}, 0xE9, 2},
    {{0xE2, 0x82, 0xAC}, 0x20AC, 3},
    {{0xF0, 0x9F, 0x98, 0x80}, 0x1F600, 4},
    {{0xF4, 0x8F, 0xBF, 0xBF}, 0x10FFFF, 4},
    {{0xC0, 0x80}, -1, 1},               // C0 can never start a sequence
    {{0xE0, 0x80, 0x80}, -1, 2},         // overlong
    {{0xED, 0xA0, 0x80}, -1, 2},         // surrogate
    {{0xF0, 0x80, 0x80, 0x80}, -1, 2},   // overlong
    {{0xF4, 0x90, 0x80, 0x80}, -1, 2},   // above 0x10FFFF
    {{0xF5, 0x80}, -1, 1},
    {{0x80, 0x41}, -1, 1},
    {{0xC3, 0x41}, -1, 2},
    {{0xE2, 0x82}, -1, 2},               // cut by the end: never reads past it
    {{0xF0}, -1, 1},
  };
  for (auto& r : rows) {
    int32_t cp = 0;
    const uint8_t* after = utf8::decode_char(r.in.data(), r.in.data() + r.in.size(), cp);
    EXPECT_EQ(cp, r.cp) << hex(r.in);
    EXPECT_EQ(static_cast<size_t>(after - r.in.data()), r.used) << hex(r.in);
  }
}

TEST(Utf8, SequenceLengthFromLeadByte) {
  struct { uint8_t lead; int len; } rows[] = {
    {0x00, 0}, {0x41, 0}, {0x7F, 0}, {0x80, 0}, {0xBF, 0}, {0xC0, 2}, {0xDF, 2},
    {0xE0, 3}, {0xEF, 3}, {0xF0, 4}, {0xF7, 4}, {0xFF, 4},
  };
  for (auto& r : rows) EXPECT_EQ(utf8::seq_length(r.lead), r.len) << int(r.lead);
}

TEST(Utf8, EncoderBoundariesRoundTripThroughBothDecoders) {
  struct { int32_t cp; bytes out; } rows[] = {
    {0x00, {0x00}}, {0x7F, {0x7F}}, {0x80, {0xC2, 0x80}}, {0x7FF, {0xDF, 0xBF}},
    {0x800, {0xE0, 0xA0, 0x80}}, {0xFFFF, {0xEF, 0xBF, 0xBF}},
    {0x10000, {0xF0, 0x90, 0x80, 0x80}}, {0x10FFFF, {0xF4, 0x8F, 0xBF, 0xBF}},
  };
  for (auto& r : rows) {
    uint8_t buf[4] = {};
    int n = utf8::encode_char(r.cp, buf);
    EXPECT_EQ(utf8::encoded_length(r.cp), n);
    EXPECT_EQ(bytes(buf, buf + n), r.out) << std::hex << r.cp;
    int32_t back = -2;
    utf8::decode_char(buf, buf + n, back);
    EXPECT_EQ(back, r.cp);
    int32_t avail = n;
    EXPECT_EQ(utf8::decode_sequence(buf, avail), r.cp);
    EXPECT_EQ(avail, n);
  }
  for (int32_t bad : {0x110000, 0x7FFFFFFF, -1}) {
    uint8_t buf[4];
    EXPECT_EQ(raised([&] { utf8::encode_char(bad, buf); }), INVALID_CHAR) << bad;
    EXPECT_EQ(raised([&] { utf8::encoded_length(bad); }), INVALID_CHAR) << bad;
    EXPECT_EQ(raised([&] { utf8::encode_char_bounded(bad, buf, 4); }), INVALID_CHAR) << bad;
  }
}

TEST(Utf8, BoundedEncoderWritesAPrefix) {
  struct { int room; int written; } rows[] = {{-1, 0}, {0, 0}, {1, 1}, {2, 2}, {3, 3}, {8, 3}};
  for (auto& r : rows) {
    uint8_t buf[4] = {0x55, 0x55, 0x55, 0x55};
    EXPECT_EQ(utf8::encode_char_bounded(0x20AC, buf, r.room), r.written);
    const uint8_t euro[] = {0xE2, 0x82, 0xAC};
    EXPECT_EQ(std::memcmp(buf, euro, r.written), 0);
    EXPECT_EQ(buf[r.written], 0x55) << "wrote past the room";
  }
}

TEST(Utf8, CountAndSkipStayWithinTheRun) {
  const bytes text = {'a', 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 0xF0, 0x9F, 0x98, 0x80, 'z'};
  const uint8_t* s = text.data();
  const uint8_t* e = s + text.size();
  EXPECT_EQ(utf8::count_chars(s, e), 5u);
  EXPECT_EQ(utf8::count_chars(s, s), 0u);
  EXPECT_EQ(utf8::count_chars(s, s + 5), 3u);  // a, é, then the cut euro sign
  EXPECT_EQ(utf8::skip_chars(s, e, 0), s);
  EXPECT_EQ(utf8::skip_chars(s, e, 3), s + 6);
  EXPECT_EQ(utf8::skip_chars(s, e, 99), e);
  EXPECT_EQ(utf8::skip_chars(s, s + 8, 4), s + 8);  // stops at the end inside a sequence

  const code_points cps = {'a', 0xE9, 0x20AC, 0x1F600, '\n'};
  EXPECT_EQ(utf8::count_bytes(units_of(cps, 4).data(), cps.size(), 4), 1u + 2 + 3 + 4 + 1);
  const code_points latin = {'a', 0xFF};
  EXPECT_EQ(utf8::count_bytes(units_of(latin, 1).data(), 2, 1), 3u);
  const code_points bad = {0x110000};
  EXPECT_EQ(raised([&] { utf8::count_bytes(units_of(bad, 4).data(), 1, 4); }), INVALID_CHAR);
}

TEST(TextLoad, Utf8PicksTheNarrowestUnit) {
  struct { bytes in; bool crlf; code_points out; int unit; size_t left; } rows[] = {
    {{}, false, {}, 1, 0},
    {{0xEF, 0xBB, 0xBF}, false, {}, 1, 0},                     // byte order mark alone
    {{0xEF, 0xBB, 0xBF, 'h', 'i'}, false, {'h', 'i'}, 1, 0},
    {{0xEF, 0xBB}, false, {}, 1, 2},                           // too short to be a mark
    {{0xC3, 0xA9}, false, {0xE9}, 1, 0},                       // Latin-1 stays unit 1
    {{0xC3, 0xA9, 0xE2, 0x82, 0xAC}, false, {0xE9, 0x20AC}, 2, 0},
    {{0xC3, 0xA9, 0xF0, 0x9F, 0x98, 0x80}, false, {0xE9, 0x1F600}, 4, 0},
    {{'a', 0xE2, 0x82, 0xAC, 'b', 0xF0, 0x9F, 0x98, 0x80, 'c'}, false,
     {'a', 0x20AC, 'b', 0x1F600, 'c'}, 4, 0},                  // 1 -> 2 -> 4
    {{0xC3}, false, {}, 1, 1},                                 // incomplete: left over
    {{'a', 'b', 0xF0, 0x9F, 0x98}, false, {'a', 'b'}, 1, 3},
    {{0xC0, 0x80}, false, {0}, 1, 0},
    {{0xED, 0xA0, 0x80}, false, {0xD800}, 2, 0},
    {{'a', '\r', '\n', 'b'}, true, {'a', '\n', 'b'}, 1, 0},
    {{'a', '\r', 'b', '\r'}, true, {'a', '\n', 'b', '\n'}, 1, 0},
    {{'\r', '\r', '\n'}, true, {'\n', '\n'}, 1, 0},
    {{'a', '\r', '\n', 'b'}, false, {'a', '\r', '\n', 'b'}, 1, 0},
  };
  for (auto& r : rows) {
    unit_text t;
    size_t left = utf::load_utf8(t.buffer, r.in.data(), r.in.size(), r.crlf);
    EXPECT_EQ(t.code_points(), r.out) << hex(r.in);
    EXPECT_EQ(t.buffer.unit, r.unit) << hex(r.in);
    EXPECT_EQ(left, r.left) << hex(r.in);
  }
}

TEST(TextLoad, Utf8AppendsAfterExistingTextAndKeepsItsUnit) {
  unit_text t(2);
  t.assign({0x3042});
  const bytes more = {'x', 0xF0, 0x9F, 0x98, 0x80};
  EXPECT_EQ(utf::load_utf8(t.buffer, more.data(), more.size(), false), 0u);
  EXPECT_EQ(t.code_points(), (code_points{0x3042, 'x', 0x1F600}));
  EXPECT_EQ(t.buffer.unit, 4);
  EXPECT_GE(t.growths, 1);  // the buffer moved while loading

  // A reader that works in chunks carries the undecoded tail over.
  unit_text chunked;
  const bytes part1 = {'a', 0xE2, 0x82};
  const bytes part2 = {0xE2, 0x82, 0xAC, 'b'};
  size_t left = utf::load_utf8(chunked.buffer, part1.data(), part1.size(), false);
  EXPECT_EQ(left, 2u);
  EXPECT_EQ(utf::load_utf8(chunked.buffer, part2.data(), part2.size(), false), 0u);
  EXPECT_EQ(chunked.code_points(), (code_points{'a', 0x20AC, 'b'}));
}

TEST(TextLoad, Utf8InvalidInputRaises) {
  const bytes rows[] = {
    {0xED, 0xB0, 0x80}, {'o', 'k', 0x80}, {'a', 0xC3, 0x28}, {0xF8, 0x80, 0x80, 0x80, 0x80},
  };
  for (auto& in : rows) {
    unit_text t;
    EXPECT_EQ(raised([&] { utf::load_utf8(t.buffer, in.data(), in.size(), false); }), INVALID_UTF8)
        << hex(in);
  }
}

TEST(TextLoad, WideningKeepsEveryUnit) {
  const code_points latin = {'a', 0xE9, 0xFF, 0};
  struct { int from, to; code_points text; } rows[] = {
    {1, 2, latin}, {1, 4, latin}, {2, 4, {0x20AC, 'b', 0xFFFF}}, {2, 2, {0x20AC}}, {4, 2, {0x1F600}},
  };
  for (auto& r : rows) {
    unit_text t(r.from);
    t.assign(r.text);
    utf::widen(t.buffer, r.to, 0);
    EXPECT_EQ(t.buffer.unit, std::max(r.from, r.to));
    EXPECT_EQ(t.code_points(), r.text);
    if (r.to > r.from) {
      EXPECT_GE(t.buffer.capacity, (r.text.size() + 1) * r.to);
    }
  }
}

TEST(TextLoad, Utf16PairsAndUnits) {
  struct { std::vector<uint16_t> in; bool crlf; code_points out; int unit; } rows[] = {
    {{}, false, {}, 1},
    {{'A', 'B'}, false, {'A', 'B'}, 1},
    {{'A', 0xFF}, false, {'A', 0xFF}, 1},
    {{'A', 0x20AC}, false, {'A', 0x20AC}, 2},
    {{0xD800, 0xDC00}, false, {0x10000}, 4},
    {{'x', 0xD83D, 0xDE00, 'y'}, false, {'x', 0x1F600, 'y'}, 4},
    {{0xDBFF, 0xDFFF}, false, {0x10FFFF}, 4},
    {{'a', '\r', '\n', 'b', '\r'}, true, {'a', '\n', 'b'}, 1},  // every CR dropped
    {{0x20AC, '\r', '\n'}, true, {0x20AC, '\n'}, 2},
    {{0xD83D, 0xDE00, '\r', '\n'}, true, {0x1F600, '\n'}, 4},
    {{'a', '\r', '\n'}, false, {'a', '\r', '\n'}, 1},
  };
  for (auto& r : rows) {
    unit_text t(4);
    t.assign({1, 2, 3, 4, 5, 6, 7, 8});  // replaced, whatever its unit was
    utf::load_utf16(t.buffer, r.in.data(), r.in.size(), r.crlf);
    EXPECT_EQ(t.code_points(), r.out);
    EXPECT_EQ(t.buffer.unit, r.unit);
  }
}

TEST(TextLoad, Utf16LoneSurrogateRaisesOrIsReplaced) {
  const std::vector<uint16_t> rows[] = {
    {0xD800},                  // high surrogate as the last unit
    {'a', 0xD83D, 'b'},        // high surrogate followed by a non-surrogate
    {0xD83D, 0xD83D, 0xDE00},  // high followed by another high
    {0xDC00, 'a'},             // low surrogate with no high before it
  };
  for (auto& in : rows) {
    unit_text t;
    EXPECT_EQ(raised([&] { utf::load_utf16(t.buffer, in.data(), in.size(), false); }), INVALID_UTF8);
  }
  const code_points shown[] = {{0xFFFD}, {'a', 0xFFFD, 'b'}, {0xFFFD, 0x1F600}, {0xFFFD, 'a'}};
  for (size_t i = 0; i < std::size(rows); ++i) {
    unit_text t;
    utf::load_utf16(t.buffer, rows[i].data(), rows[i].size(), false, utf::lone_surrogate::replace);
    EXPECT_EQ(t.code_points(), shown[i]);
  }
}

TEST(TextExport, Utf8FromEachUnit) {
  struct { code_points text; int unit; bool crlf; bytes out; } rows[] = {
    {{}, 1, false, {}},
    {{'a', 0xE9}, 1, false, {'a', 0xC3, 0xA9}},
    {{'a', '\n', 'b'}, 1, true, {'a', '\r', '\n', 'b'}},
    {{'a', '\n'}, 1, false, {'a', '\n'}},
    {{0x20AC, '\n'}, 2, true, {0xE2, 0x82, 0xAC, '\r', '\n'}},
    {{0x1F600, 'x'}, 4, false, {0xF0, 0x9F, 0x98, 0x80, 'x'}},
    {{0, 'a'}, 1, false, {0, 'a'}},
  };
  for (auto& r : rows) {
    bytes units = units_of(r.text, r.unit);
    bytes out(utf::utf8_export_size(r.text.size(), r.unit), 0x55);
    size_t n = utf::export_utf8(units.data(), r.text.size(), r.unit, out.data(), r.crlf);
    EXPECT_EQ(bytes(out.begin(), out.begin() + n), r.out);
    EXPECT_EQ(out[n], 0) << "NUL-terminated";
  }
  const code_points bad = {'a', 0x110000};
  bytes units = units_of(bad, 4);
  bytes out(utf::utf8_export_size(2, 4));
  EXPECT_EQ(raised([&] { utf::export_utf8(units.data(), 2, 4, out.data(), false); }), INVALID_CHAR);
}

TEST(TextExport, SizesCoverTheWidestContent) {
  // The exports never check room: the sizes must hold the worst case of each
  // unit, with every LF doubled and the terminator.
  struct { int unit; int32_t widest; } rows[] = {{1, 0xFF}, {2, 0xFFFF}, {4, 0x10FFFF}};
  for (auto& r : rows) {
    for (int32_t cp : {r.widest, int32_t('\n')}) {
      code_points text(50, cp);
      bytes units = units_of(text, r.unit);
      size_t size8 = utf::utf8_export_size(text.size(), r.unit);
      bytes out8(size8 + 8, 0x55);
      size_t n = utf::export_utf8(units.data(), text.size(), r.unit, out8.data(), true);
      EXPECT_LT(n, size8);
      EXPECT_EQ(out8[size8], 0x55);
      size_t size16 = utf::utf16_export_size(units.data(), text.size(), r.unit);
      std::vector<uint16_t> out16(size16 + 8, 0x5555);
      ptrdiff_t m = utf::export_utf16(units.data(), text.size(), r.unit, out16.data(), true);
      EXPECT_EQ(static_cast<size_t>(m) + 1, size16) << "exact for the worst case";
      EXPECT_EQ(out16[size16], 0x5555);
    }
  }
}

TEST(TextExport, Utf8BoundedNeverCutsASequence) {
  const code_points text = {'a', 0xE9, 0x20AC, 'z'};
  bytes units = units_of(text, 2);
  struct { size_t room; bytes out; } rows[] = {
    {0, {}}, {1, {'a'}}, {2, {'a'}}, {3, {'a', 0xC3, 0xA9}}, {5, {'a', 0xC3, 0xA9}},
    {6, {'a', 0xC3, 0xA9, 0xE2, 0x82, 0xAC}}, {64, {'a', 0xC3, 0xA9, 0xE2, 0x82, 0xAC, 'z'}},
  };
  for (auto& r : rows) {
    bytes out(r.room + 2, 0x55);
    size_t n = utf::export_utf8_bounded(units.data(), text.size(), 2, out.data(), r.room, true);
    EXPECT_EQ(bytes(out.begin(), out.begin() + n), r.out) << r.room;
    EXPECT_EQ(out[n], 0);
    EXPECT_EQ(out[r.room + 1], 0x55) << "wrote past room + NUL";
  }
  bytes out(4, 0x55);
  EXPECT_EQ(utf::export_utf8_bounded(units.data(), text.size(), 2, out.data(), 2, false), 1u);
  EXPECT_EQ(out[1], 0x55) << "no NUL unless asked";
}

TEST(TextExport, Utf16SurrogatePairsAndCrLf) {
  struct { code_points text; int unit; bool crlf; std::vector<uint16_t> out; size_t extra; } rows[] = {
    {{0x10000}, 4, false, {0xD800, 0xDC00}, 2},
    {{0x10FFFF}, 4, false, {0xDBFF, 0xDFFF}, 2},
    {{0x1F600, 'a'}, 4, false, {0xD83D, 0xDE00, 'a'}, 2},
    {{'a', '\n'}, 1, true, {'a', '\r', '\n'}, 2},
    {{'a', '\n'}, 1, false, {'a', '\n'}, 2},
    {{0x20AC, '\n', 'b'}, 2, true, {0x20AC, '\r', '\n', 'b'}, 2},
    {{0x20AC, 'b'}, 2, false, {0x20AC, 'b'}, 0},
    {{0xFFFF, '\n'}, 4, true, {0xFFFF, '\r', '\n'}, 2},
  };
  for (auto& r : rows) {
    bytes units = units_of(r.text, r.unit);
    EXPECT_EQ(utf16::extra_bytes(units.data(), r.text.size(), r.unit), r.extra);
    std::vector<uint16_t> out(utf::utf16_export_size(units.data(), r.text.size(), r.unit));
    ptrdiff_t n = utf::export_utf16(units.data(), r.text.size(), r.unit, out.data(), r.crlf);
    ASSERT_GE(n, 0);
    EXPECT_EQ(std::vector<uint16_t>(out.begin(), out.begin() + n), r.out);
    EXPECT_EQ(out[n], 0);
  }
  const code_points bad = {'a', 0x110000};
  bytes units = units_of(bad, 4);
  std::vector<uint16_t> out(8, 0x5555);
  EXPECT_EQ(utf::export_utf16(units.data(), 2, 4, out.data(), false), -1);
  EXPECT_EQ(out[0], 0) << "no text";

  uint16_t pair[2];
  EXPECT_EQ(utf16::encode_char(0x41, pair), 1);
  EXPECT_EQ(utf16::encode_char(0x110000, pair), 0);
  EXPECT_EQ(utf16::encode_char(0x10000, pair), 2);
  EXPECT_EQ(pair[0], 0xD800);
  EXPECT_EQ(pair[1], 0xDC00);
}

TEST(TextExport, Utf16ScanUnit) {
  struct { std::vector<uint16_t> in; int unit; } rows[] = {
    {{}, 1}, {{'a', 0xFF}, 1}, {{'a', 0x100}, 2}, {{0xFFFF}, 2}, {{0x100, 0xD800}, 4},
    {{0xDFFF}, 4}, {{0xE000}, 2},
  };
  for (auto& r : rows) EXPECT_EQ(utf16::scan_unit(r.in.data(), r.in.size()), r.unit);
}

TEST(TextExport, RoundTripsBetweenAllForms) {
  const code_points text = {'K', 0, 0xE9, 0x3B1, 0x20AC, 0xFFFD, 0xFFFF, 0x10000, 0x1F600, 0x10FFFF};
  bytes units = units_of(text, 4);
  bytes u8(utf::utf8_export_size(text.size(), 4));
  size_t n8 = utf::export_utf8(units.data(), text.size(), 4, u8.data(), false);
  EXPECT_EQ(utf8::count_chars(u8.data(), u8.data() + n8), text.size());
  unit_text from8;
  EXPECT_EQ(utf::load_utf8(from8.buffer, u8.data(), n8, false), 0u);
  EXPECT_EQ(from8.code_points(), text);

  std::vector<uint16_t> u16(utf::utf16_export_size(units.data(), text.size(), 4));
  ptrdiff_t n16 = utf::export_utf16(units.data(), text.size(), 4, u16.data(), false);
  unit_text from16;
  utf::load_utf16(from16.buffer, u16.data(), n16, false);
  EXPECT_EQ(from16.code_points(), text);
}

TEST(TextExport, OsPathRefusesNul) {
  std::string path;
  const code_points good = {'/', 't', 'm', 'p', '/', 0xE9};
  bytes units = units_of(good, 1);
  ASSERT_TRUE(utf::to_os_path(units.data(), good.size(), 1, path));
  EXPECT_EQ(path, "/tmp/\xC3\xA9");
  const code_points bad = {'/', 'e', 't', 'c', 0, 'x'};
  for (int unit : {1, 2, 4}) {
    bytes b = units_of(bad, unit);
    EXPECT_FALSE(utf::to_os_path(b.data(), bad.size(), unit, path)) << unit;
  }
  bytes empty = units_of({}, 2);
  ASSERT_TRUE(utf::to_os_path(empty.data(), 0, 2, path));
  EXPECT_EQ(path, "");
}

TEST(TextExport, AsciiWidening) {
  uint16_t out[8];
  EXPECT_EQ(utf16::from_ascii("Kez!", out), out);
  const uint16_t want[] = {'K', 'e', 'z', '!', 0};
  EXPECT_EQ(std::memcmp(out, want, sizeof want), 0);
}

TEST(TextUnitsDeathTest, UnknownUnitIsRuntimeError101) {
  uint8_t units[8] = {};
  EXPECT_EXIT(utf::get(units, 3, 0), testing::ExitedWithCode(101), "Runtime Error 101");
}

TEST(TextLoad, RandomInputAgreesWithTheStrictDecoder) {
  // Random short byte strings, each in an allocation of its exact size so an
  // over-read shows under the sanitizers. Whatever the strict decoder accepts
  // whole, the lenient loader must load to the same code points.
  uint32_t seed = 12345;
  auto next = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
  const uint8_t interesting[] = {0x00, 0x0A, 0x0D, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF,
                                 0xC0, 0xC2, 0xDF, 0xE0, 0xED, 0xEF, 0xF0, 0xF4, 0xF5, 0xFF};
  for (int round = 0; round < 3000; ++round) {
    size_t n = next() % 9;
    std::unique_ptr<uint8_t[]> in(new uint8_t[n ? n : 1]);
    for (size_t i = 0; i < n; ++i)
      in[i] = next() % 2 ? interesting[next() % std::size(interesting)] : uint8_t(next());
    const uint8_t* end = in.get() + n;

    code_points strict;
    bool whole = true;
    for (const uint8_t* p = in.get(); p < end;) {
      int32_t cp;
      p = utf8::decode_char(p, end, cp);
      whole = whole && cp >= 0;
      strict.push_back(cp);
    }
    EXPECT_EQ(utf8::count_chars(in.get(), end), strict.size());
    bool bom = n >= 3 && in[0] == 0xEF && in[1] == 0xBB && in[2] == 0xBF;

    unit_text t;
    size_t left = 0;
    int32_t err = raised([&] { left = utf::load_utf8(t.buffer, in.get(), n, false); });
    if (whole && !bom) {
      EXPECT_EQ(err, 0);
      EXPECT_EQ(left, 0u);
      EXPECT_EQ(t.code_points(), strict);
    }
    if (err == 0) {
      EXPECT_LE(left, 3u);
    }
  }
}

TEST(TextExport, RandomTextRoundTrips) {
  uint32_t seed = 777;
  auto next = [&] { return seed = seed * 1103515245u + 12345u, (seed >> 8) & 0xFFFFFF; };
  for (int round = 0; round < 500; ++round) {
    code_points text(next() % 12);
    for (auto& cp : text) {
      int32_t limit = std::array<int32_t, 4>{0x80, 0x100, 0x10000, 0x110000}[next() % 4];
      do cp = static_cast<int32_t>(next() % limit);
      while ((cp >= 0xD800 && cp <= 0xDFFF) || cp == '\r');  // CR does not survive CR LF mode
    }
    int unit = 1;
    for (int32_t cp : text) unit = std::max(unit, cp < 0x100 ? 1 : cp < 0x10000 ? 2 : 4);
    bytes units = units_of(text, unit);

    bytes u8(utf::utf8_export_size(text.size(), unit));
    size_t n8 = utf::export_utf8(units.data(), text.size(), unit, u8.data(), true);
    unit_text from8;
    EXPECT_EQ(utf::load_utf8(from8.buffer, u8.data(), n8, true), 0u);
    EXPECT_EQ(from8.code_points(), text);
    EXPECT_EQ(from8.buffer.unit, unit);

    std::vector<uint16_t> u16(utf::utf16_export_size(units.data(), text.size(), unit));
    ptrdiff_t n16 = utf::export_utf16(units.data(), text.size(), unit, u16.data(), true);
    unit_text from16;
    utf::load_utf16(from16.buffer, u16.data(), n16, true);
    EXPECT_EQ(from16.code_points(), text);
  }
}
