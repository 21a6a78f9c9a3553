// string! storage: unit widening, the editing actions, trim, make/to/form
// and the UTF-8/UTF-16 borders.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "heap_values.h"
#include "runtime/actions.h"
#include "values_fixture.h"

namespace kez {
namespace {

using testing::character;
using testing::error_of;
using testing::integer;
using testing::text;
using testing::unit_of;
using testing::utf8_of;

class string_test : public testing::values_test {};

const char* const E_ACUTE = "\xC3\xA9";        // U+00E9
const char* const SMILE = "\xF0\x9F\x98\x80";  // U+1F600

// The character primitives: which unit each writer leaves.
TEST_F(string_test, character_writers_widen_by_their_own_rule) {
  struct row {
    const char* start;
    int writer;  // 0 append_char, 1 insert_char_at (at 0), 2 put_char_at (at the tail)
    int32_t cp;
    uint32_t unit;
  };
  const row rows[] = {
      {"", 0, 'a', 1},       {"", 0, 0x7F, 1},     {"", 0, 0xE9, 2},   {"", 0, 0x1F600, 4},
      {"", 1, 0xE9, 1},      {"", 1, 0xFF, 1},     {"", 1, 0x100, 2},  {"ab", 1, 0x10000, 4},
      {"ab", 2, 0xE9, 1},    {"ab", 2, 0x3A9, 2},  {"ab", 2, 0x10FFFF, 4},
      {"\xE2\x82\xAC", 0, 0x1F600, 4},  // from unit 2
  };
  for (const row& r : rows) {
    stack::reset();
    cell* s = text(r.start);
    series_buffer* b = string::buffer_of(s);
    int32_t n = string::ks_length_q(s);
    int32_t first = n ? string::ks_abs_at(s, 0) : -1;
    if (r.writer == 0) string::append_char(b, r.cp);
    else if (r.writer == 1) string::insert_char_at(b, 0, r.cp);
    else string::put_char_at(b, uint32_t(n), r.cp);
    EXPECT_EQ(unit_of(s), r.unit) << r.start << " " << r.writer << " " << r.cp;
    EXPECT_EQ(string::ks_length_q(s), n + 1);
    EXPECT_EQ(string::ks_abs_at(s, r.writer == 1 ? 0 : n), r.cp);
    if (n) {
      EXPECT_EQ(string::ks_abs_at(s, r.writer == 1 ? 1 : 0), first) << r.start;
    }
  }
}

TEST_F(string_test, widening_keeps_every_character) {
  cell* s = text("abc\xC3\xBF");  // ends with U+00FF, still unit 1
  EXPECT_EQ(unit_of(s), 1u);
  string::append_char(string::buffer_of(s), 0x3A9);
  EXPECT_EQ(unit_of(s), 2u);
  string::append_char(string::buffer_of(s), 0x1F600);
  EXPECT_EQ(unit_of(s), 4u);
  EXPECT_EQ(utf8_of(s), "abc\xC3\xBF\xCE\xA9" + std::string(SMILE));
}

// Writing far past the tail grows the buffer once to cover the index and
// fills the gap with code point 0.
TEST_F(string_test, put_char_far_past_the_tail) {
  cell* s = text("ab");
  uint32_t size = string::buffer_of(s)->size;
  const uint32_t index = size * 8 + 5;
  string::put_char_at(string::buffer_of(s), index, 'z');
  series_buffer* b = string::buffer_of(s);
  EXPECT_GE(b->size, index + 1);
  EXPECT_EQ(string::ks_length_q(s), int32_t(index + 1));
  EXPECT_EQ(string::ks_abs_at(s, 1), 'b');
  for (uint32_t i = 2; i < index; ++i) ASSERT_EQ(string::ks_abs_at(s, int32_t(i)), 0) << i;
  EXPECT_EQ(string::ks_abs_at(s, int32_t(index)), 'z');
  // A wide code point past the tail widens and grows in one go.
  string::put_char_at(string::buffer_of(s), index + 3, 0x10400);
  EXPECT_EQ(unit_of(s), 4u);
  EXPECT_EQ(string::ks_abs_at(s, int32_t(index)), 'z');
  EXPECT_EQ(string::ks_abs_at(s, int32_t(index + 3)), 0x10400);
}

cell* do_append(cell* s, const cell* v, int32_t part = -1, bool only = false, int32_t dup = 1) {
  return actions::dispatch<ACT_APPEND>(s, v, part, only, dup, true);
}
cell* do_insert(cell* s, const cell* v, int32_t part = -1, bool only = false, int32_t dup = 1) {
  return actions::dispatch<ACT_INSERT>(s, v, part, only, dup, false);
}
cell* do_change(cell* s, const cell* v, int32_t part = -1, bool only = false, int32_t dup = 1) {
  return actions::dispatch<ACT_CHANGE>(s, v, part, only, dup);
}

TEST_F(string_test, append_char_and_insert_char_follow_their_units) {
  cell* s = text("abc");
  cell e = character(0xE9);
  do_append(s, &e);
  EXPECT_EQ(unit_of(s), 2u);
  EXPECT_EQ(utf8_of(s), std::string("abc") + E_ACUTE);

  cell* t = text("abc");
  do_insert(t, &e);
  EXPECT_EQ(unit_of(t), 1u);
  EXPECT_EQ(t->w1, 1u);  // just past the inserted character
  t->w1 = 0;
  EXPECT_EQ(utf8_of(t), std::string(E_ACUTE) + "abc");
}

// A block of values for the formed cases.
cell* block_of(std::initializer_list<int32_t> numbers) {
  uint32_t node = memory::alloc_cells(4);
  cell* b = stack::push_cell();
  *b = cell{TYPE_BLOCK, 0, node, 0};
  for (int32_t n : numbers) testing::append(b->w2, integer(n));
  return b;
}

cell* tag(const char* s) {
  cell* t = text(s);
  t->header = TYPE_TAG;
  return t;
}

// Result text and index of append/insert/change, from the Part's cases and
// the unit rules.
TEST_F(string_test, editing_results) {
  enum op { APPEND, INSERT, CHANGE };
  struct row {
    const char* name;
    op action;
    const char* start;
    int32_t at;
    std::function<cell*()> value;
    int32_t part, dup;
    bool only;
    const char* result;
    int32_t index;
  };
  auto str = [](const char* s) { return [s] { return text(s); }; };
  auto chr = [](int32_t c) { return [c] { cell v = character(c); return stack::push(&v); }; };
  auto num = [](int32_t n) { return [n] { cell v = integer(n); return stack::push(&v); }; };
  const row rows[] = {
      {"append answers the head", APPEND, "xy", 1, str("z"), -1, 1, false, "xyz", 0},
      {"append tag", APPEND, "", 0, [] { return tag("a"); }, -1, 1, false, "<a>", 0},
      {"append tag part 2", APPEND, "", 0, [] { return tag("ab"); }, 2, 1, false, "<a", 0},
      {"append dup", APPEND, "x", 0, str("ab"), -1, 3, false, "xababab", 0},
      {"append part", APPEND, "x", 0, str("abcd"), 2, 1, false, "xab", 0},
      {"append block", APPEND, "", 0, [] { return block_of({1, 22, 3}); }, -1, 1, false, "1223", 0},
      {"append block part counts values", APPEND, "", 0, [] { return block_of({1, 22, 3}); }, 2, 1, false, "122", 0},
      {"append/only block part counts characters", APPEND, ">", 0, [] { return block_of({1, 22, 3}); }, 2, 1, true, ">12", 0},
      {"append number dup", APPEND, "n", 0, num(42), -1, 2, false, "n4242", 0},
      {"append wide into narrow", APPEND, "a", 0, str(SMILE), -1, 1, false, "a\xF0\x9F\x98\x80", 0},
      {"insert at head", INSERT, "cd", 0, str("ab"), -1, 1, false, "abcd", 2},
      {"insert in the middle", INSERT, "ad", 1, str("bc"), -1, 1, false, "abcd", 3},
      {"insert at tail", INSERT, "ab", 2, str("cd"), -1, 1, false, "abcd", 4},
      {"insert dup", INSERT, "ab", 1, str("xy"), -1, 2, false, "axyxyb", 5},
      {"insert part", INSERT, "ab", 1, str("xyz"), 1, 1, false, "axb", 2},
      {"insert char dup", INSERT, "ab", 1, chr('-'), -1, 3, false, "a---b", 4},
      {"insert formed", INSERT, "ab", 1, num(42), -1, 1, false, "a42b", 3},
      {"insert tag", INSERT, "ab", 1, [] { return tag("i"); }, -1, 1, false, "a<i>b", 4},
      {"insert wide", INSERT, "ab", 1, str(E_ACUTE), -1, 1, false, "a\xC3\xA9" "b", 2},
      {"change same length", CHANGE, "abcdef", 1, str("XY"), -1, 1, false, "aXYdef", 3},
      {"change part", CHANGE, "abcdef", 1, str("Z"), 3, 1, false, "aZef", 2},
      {"change longer than the rest", CHANGE, "abc", 2, str("XYZ"), -1, 1, false, "abXYZ", 5},
      {"change at tail", CHANGE, "ab", 2, str("cd"), -1, 1, false, "abcd", 4},
      {"change dup", CHANGE, "abcdef", 0, str("x"), -1, 3, false, "xxxdef", 3},
      {"change char", CHANGE, "abc", 1, chr(0x3A9), -1, 1, false, "a\xCE\xA9" "c", 2},
      {"change formed", CHANGE, "abcdef", 1, num(7), 4, 1, false, "a7f", 2},
      {"change part 0 inserts", CHANGE, "abc", 1, str("X"), 0, 1, false, "aXbc", 2},
  };
  for (const row& r : rows) {
    stack::reset();
    cell* s = text(r.start);
    s->w1 = uint32_t(r.at);
    cell* v = r.value();
    cell* result = r.action == APPEND   ? do_append(s, v, r.part, r.only, r.dup)
                   : r.action == INSERT ? do_insert(s, v, r.part, r.only, r.dup)
                                        : do_change(s, v, r.part, r.only, r.dup);
    EXPECT_EQ(result, s) << r.name;
    EXPECT_EQ(int32_t(s->w1), r.index) << r.name;
    s->w1 = 0;
    EXPECT_EQ(utf8_of(s), r.result) << r.name;
  }
}

// append widens a narrower source text in place; insert and change copy it
// into the wider destination and leave it alone.
TEST_F(string_test, source_units_after_copying_into_a_wider_text) {
  for (int action = 0; action < 3; ++action) {
    stack::reset();
    cell* dst = text(std::string("w") + E_ACUTE);  // unit 1 from loading
    string::append_char(string::buffer_of(dst), 0x3A9);  // now unit 2
    cell* src = text("abc");
    if (action == 0) do_append(dst, src);
    else if (action == 1) do_insert(dst, src);
    else do_change(dst, src);
    EXPECT_EQ(unit_of(src), action == 0 ? 2u : 1u) << action;
    EXPECT_EQ(utf8_of(src), "abc");
  }
}

// The whole-text copy in its three modes, with limits, offsets and units.
TEST_F(string_test, concatenate_modes) {
  struct row {
    const char *dst, *src;
    int32_t dst_head, src_head, limit, offset;
    bool keep;
    int mode;
    const char* result;
  };
  const char* wide = "\xCE\xA9\xCE\xA9";  // two U+03A9: unit 2 once appended
  const row rows[] = {
      {"ab", "cd", 0, 0, -1, 0, false, string::CONCAT_APPEND, "abcd"},
      {"ab", "cdef", 1, 1, 2, 0, false, string::CONCAT_APPEND, "abde"},
      {"ab", "cd", 0, 0, 0, 0, false, string::CONCAT_APPEND, "ab"},
      {"abcd", "XY", 1, 0, -1, 1, false, string::CONCAT_INSERT, "abXYcd"},
      {"abcd", "XY", 0, 0, -1, 9, false, string::CONCAT_INSERT, "abcdXY"},
      {"abcd", "XY", 1, 0, -1, 0, false, string::CONCAT_OVERWRITE, "aXYd"},
      {"abcd", "XYZ", 2, 0, -1, 0, false, string::CONCAT_OVERWRITE, "abXYZ"},
      {"ab", "cd", 0, 0, -1, 0, true, string::CONCAT_APPEND, "abcd"},
      {"", "cd", 0, 0, -1, 0, false, string::CONCAT_APPEND, "cd"},
  };
  for (const row& r : rows) {
    for (bool wide_dst : {false, true}) {
      stack::reset();
      cell* d = text(r.dst);
      if (wide_dst) {  // a unit-2 destination: the source is widened unless kept
        d->w1 = 0;
        cell* w = text(wide);
        string::concatenate(d, w, -1, 0, false, string::CONCAT_APPEND);
        string::remove_part(d, uint32_t(string::ks_abs_length_q(d) - 2), 2);
        ASSERT_EQ(unit_of(d), 2u);
      }
      d->w1 = uint32_t(r.dst_head);
      cell* src = text(r.src);
      src->w1 = uint32_t(r.src_head);
      string::concatenate(d, src, r.limit, r.offset, r.keep, r.mode);
      d->w1 = 0;
      EXPECT_EQ(utf8_of(d), r.result) << r.dst << " " << r.src << " " << wide_dst;
      EXPECT_EQ(unit_of(src), wide_dst && !r.keep ? 2u : 1u) << r.dst << " " << r.src;
    }
  }
}

TEST_F(string_test, appending_a_text_to_itself) {
  cell* s = text("abc");
  cell* same = stack::push(s);
  do_append(s, same);
  EXPECT_EQ(utf8_of(s), "abcabc");
  cell* t = text("abcd");
  cell* tail_part = stack::push(t);
  tail_part->w1 = 2;
  t->w1 = 1;
  do_insert(t, tail_part);
  t->w1 = 0;
  EXPECT_EQ(utf8_of(t), "acdbcd");
}

TEST_F(string_test, append_size_overflow_raises_no_memory) {
  cell* s = text("ab");
  cell* v = text("xyz");
  EXPECT_EQ(error_of([&] { do_append(s, v, -1, false, 0x40000000); }),
            std::make_pair(int(err::cat_internal), int(err::internal::no_memory)));
  EXPECT_EQ(utf8_of(s), "ab");
  cell c = character('z');
  EXPECT_EQ(error_of([&] { do_append(s, &c, -1, false, 0x7FFFFFFF); }).second, err::internal::no_memory);
}

cell* do_trim(cell* s, bool head, bool tail, bool lines, bool all, const cell* with) {
  return actions::dispatch<ACT_TRIM>(s, head, tail, false, lines, all, with);
}

TEST_F(string_test, trim_variants) {
  struct row {
    const char* name;
    const char* start;
    bool head, tail, lines, all;
    const char* with;
    const char* result;
  };
  const row rows[] = {
      {"plain", " a \n  b  \n ", false, false, false, false, nullptr, "a\nb\n"},
      {"plain without final line feed", "  a  ", false, false, false, false, nullptr, "a"},
      {"plain keeps inner spaces", "\ta b\t", false, false, false, false, nullptr, "a b"},
      {"plain unicode spaces", "\xC2\xA0x\xE3\x80\x80\ny", false, false, false, false, nullptr, "x\ny"},
      {"head", "  a b \n", true, false, false, false, nullptr, "a b \n"},
      {"tail never adds a line feed", " a \n ", false, true, false, false, nullptr, " a"},
      {"head and tail", " \ta\t ", true, true, false, false, nullptr, "a"},
      {"lines", "  a  b ", false, false, true, false, nullptr, "a b"},
      {"lines with line feeds", "\na\n\n b\t\n", false, false, true, false, nullptr, "a b"},
      {"all", " a b\tc\r\nd ", false, false, false, true, nullptr, "abcd"},
      {"with 4 characters", "abcdefg", false, false, false, false, "bdfx", "aceg"},
      {"with 5 characters", "abcdefg", false, false, false, false, "bdfxy", "aceg"},
  };
  for (const row& r : rows) {
    stack::reset();
    cell* s = text(r.start);
    cell* with = r.with ? text(r.with) : nullptr;
    EXPECT_EQ(do_trim(s, r.head, r.tail, r.lines, r.all, with), s);
    EXPECT_EQ(utf8_of(s), r.result) << r.name;
  }
  cell* s = text("xax");
  cell x = character('x');
  do_trim(s, false, false, false, false, &x);
  EXPECT_EQ(utf8_of(s), "a");
  EXPECT_EQ(error_of([&] { actions::dispatch<ACT_TRIM>(s, false, false, true, false, false, nullptr); }),
            std::make_pair(int(err::cat_internal), int(err::internal::not_done)));
  cell n = none::value;
  EXPECT_EQ(error_of([&] { do_trim(s, false, false, false, false, &n); }).second, err::script::invalid_arg);
}

// The trim is relative to the head: text before it stays.
TEST_F(string_test, trim_from_the_head) {
  cell* s = text("  x  y  ");
  s->w1 = 4;
  do_trim(s, false, false, false, false, nullptr);
  EXPECT_EQ(s->w1, 4u);
  s->w1 = 0;
  EXPECT_EQ(utf8_of(s), "  x y");
}

TEST_F(string_test, make_to_and_form) {
  cell type = testing::datatype_value(TYPE_STRING);
  cell* result = stack::push(&type);
  cell ten = integer(10);
  actions::make_dispatch(result, &ten);
  EXPECT_EQ(type_of(result), TYPE_STRING);
  EXPECT_EQ(string::ks_length_q(result), 0);
  EXPECT_GE(string::buffer_of(result)->size, 10u);

  cell minus = integer(-1);
  cell* r2 = stack::push(&type);
  EXPECT_EQ(error_of([&] { actions::make_dispatch(r2, &minus); }),
            std::make_pair(int(err::cat_script), int(err::script::out_of_range)));
  cell nan = testing::float_value(std::nan(""));
  EXPECT_EQ(error_of([&] { actions::make_dispatch(r2, &nan); }).second, err::script::out_of_range);

  // to: texts are copied from the head, blocks formed back to back, others formed.
  cell* src = text("hello");
  src->w1 = 1;
  cell* r3 = stack::push(&type);
  actions::to_dispatch(r3, src);
  EXPECT_EQ(utf8_of(r3), "ello");
  EXPECT_NE(r3->w2, src->w2);
  cell* r4 = stack::push(&type);
  actions::to_dispatch(r4, block_of({4, 5}));
  EXPECT_EQ(utf8_of(r4), "45");
  cell* r5 = stack::push(&type);
  actions::to_dispatch(r5, &logic::true_value);
  EXPECT_EQ(utf8_of(r5), "true");
  cell* r6 = stack::push(&type);
  EXPECT_EQ(error_of([&] { actions::to_dispatch(r6, &none::value); }).second, err::script::bad_to_arg);

  // form copies the text (at most part characters) and answers the budget.
  cell* buffer = testing::empty_text();
  cell* word = text("abcdef");
  EXPECT_EQ(actions::form_dispatch(word, buffer, nullptr, 100), 94);
  cell limit = integer(3);
  EXPECT_EQ(actions::form_dispatch(word, buffer, &limit, 3), -3);
  EXPECT_EQ(utf8_of(buffer), "abcdefabc");
}

TEST_F(string_test, binary_to_string) {
  cell type = testing::datatype_value(TYPE_STRING);
  uint32_t node = testing::bytes_with("ok\xC3\xA9");
  cell* bin = stack::push_cell();
  *bin = cell{TYPE_BINARY, 0, node, 0};
  cell* r = stack::push(&type);
  actions::to_dispatch(r, bin);
  EXPECT_EQ(utf8_of(r), std::string("ok") + E_ACUTE);
  EXPECT_EQ(unit_of(r), 1u);
  // Bytes that end inside a sequence are an error carrying those bytes.
  uint32_t cut = testing::bytes_with("ab\xE2\x82");
  cell* bad = stack::push_cell();
  *bad = cell{TYPE_BINARY, 0, cut, 0};
  cell* r2 = stack::push(&type);
  EXPECT_EQ(error_of([&] { actions::to_dispatch(r2, bad); }),
            std::make_pair(int(err::cat_access), int(err::access::invalid_utf8)));
}

TEST_F(string_test, swap_first_characters) {
  cell* a = text("abc");
  cell* b = text(std::string(E_ACUTE) + "xy");
  actions::dispatch<ACT_SWAP>(a, b);
  EXPECT_EQ(utf8_of(a), std::string(E_ACUTE) + "bc");
  EXPECT_EQ(utf8_of(b), "axy");
  cell n = integer(1);
  EXPECT_EQ(error_of([&] { actions::dispatch<ACT_SWAP>(a, &n); }).second, err::script::invalid_arg);
}

// A stand-in for the generic take: the last element (or the last `part`),
// as a new series of the same type.
cell* take_last(cell* series, const cell* part, bool, bool) {
  int32_t n = part ? int32_t(part->w2) : 1;
  int32_t len = string::ks_abs_length_q(series);
  cell copy = *series;
  collector::root_cells hold(&copy);
  uint32_t node = memory::alloc_series(uint32_t(n), string::buffer_of(series)->unit(), 0);
  series_buffer* from = string::buffer_of(&copy);
  series_buffer* to = memory::buffer_of(node);
  uint32_t unit = from->unit();
  std::memcpy(to->head_ptr(), from->head_ptr() + (len - n) * unit, n * unit);
  to->tail = to->head + n * unit;
  from->tail -= n * unit;
  *series = cell{type_of(&copy), 0, node, 0};
  return series;
}

TEST_F(string_test, take_of_one_character_is_a_char) {
  datatype::registration(TYPE_SERIES, 0, "series!").set<ACT_TAKE>(take_last).commit();
  string::init();  // inherits again from the series! row that now exists
  datatype::registration(TYPE_BINARY, TYPE_STRING, "binary!").inherit_all().commit();
  cell* s = text(std::string("ab") + SMILE);
  cell* r = actions::dispatch<ACT_TAKE>(stack::push(s), static_cast<const cell*>(nullptr), false, true);
  EXPECT_EQ(type_of(r), TYPE_CHAR);
  EXPECT_EQ(r->w2, 0x1F600u);
  cell two = integer(2);
  r = actions::dispatch<ACT_TAKE>(stack::push(s), static_cast<const cell*>(&two), false, true);
  EXPECT_EQ(type_of(r), TYPE_STRING);
  EXPECT_EQ(utf8_of(r), "ab");
  cell* bin = stack::push_cell();
  *bin = cell{TYPE_BINARY, 0, testing::bytes_with("\xFF"), 0};
  r = actions::dispatch<ACT_TAKE>(bin, static_cast<const cell*>(nullptr), false, true);
  EXPECT_EQ(type_of(r), TYPE_INTEGER);
  EXPECT_EQ(r->w2, 255u);
}

TEST_F(string_test, load_utf8_edges) {
  struct row {
    std::string bytes;
    bool crlf;
    std::string text;
    size_t remainder;
    uint32_t unit;
  };
  const row rows[] = {
      {"\xEF\xBB\xBF", false, "", 0, 1},
      {"\xEF\xBB\xBF" "ab", false, "ab", 0, 1},
      {"\xC3\xA9", false, E_ACUTE, 0, 1},
      {"\xC3", false, "", 1, 1},
      {"a\xE2\x82", false, "a", 2, 1},
      {"a\r\nb\rc", true, "a\nb\nc", 0, 1},
      {"a\r\nb", false, "a\r\nb", 0, 1},
      {"\xE2\x82\xAC", false, "\xE2\x82\xAC", 0, 2},
      {SMILE, false, SMILE, 0, 4},
  };
  for (const row& r : rows) {
    stack::reset();
    size_t left = 99;
    uint32_t node = string::load_utf8(reinterpret_cast<const uint8_t*>(r.bytes.data()), r.bytes.size(), 0, &left, r.crlf);
    cell* s = stack::push_cell();
    *s = cell{TYPE_STRING, 0, node, 0};
    EXPECT_EQ(utf8_of(s), r.text) << r.bytes;
    EXPECT_EQ(left, r.remainder) << r.bytes;
    EXPECT_EQ(unit_of(s), r.unit) << r.bytes;
  }
  // Loading into a string adds after its text and widens it as needed.
  cell* s = text(E_ACUTE);
  string::load_utf8_into(reinterpret_cast<const uint8_t*>("\xE2\x82\xAC"), 3, s, nullptr);
  EXPECT_EQ(unit_of(s), 2u);
  EXPECT_EQ(utf8_of(s), std::string(E_ACUTE) + "\xE2\x82\xAC");
  const uint8_t bad[] = {0xED, 0xB0, 0x80};
  EXPECT_EQ(error_of([&] { string::make_from_utf8(bad, 3); }).second, err::access::invalid_utf8);
}

TEST_F(string_test, move_chars_between_texts) {
  cell* src = text(std::string("x") + E_ACUTE + "\xCE\xA9" + "yz");  // unit 2
  src->w1 = 1;
  cell* dst = text("ab");
  dst->w1 = 1;
  string::move_chars(src, 2, dst);
  dst->w1 = 0;
  src->w1 = 0;
  EXPECT_EQ(utf8_of(dst), std::string("a") + E_ACUTE + "\xCE\xA9" + "b");
  EXPECT_EQ(unit_of(dst), 2u);
  EXPECT_EQ(utf8_of(src), "xyz");
  src->w1 = 2;
  string::move_chars(src, 9, dst);  // no more than there is
  dst->w1 = 0;
  src->w1 = 0;
  EXPECT_EQ(utf8_of(dst), std::string("z") + "a" + E_ACUTE + "\xCE\xA9" + "b");
  EXPECT_EQ(utf8_of(src), "xy");
}

TEST_F(string_test, load_in_block) {
  cell* block = stack::push_cell();
  *block = cell{TYPE_BLOCK, 0, memory::alloc_cells(1), 0};
  for (int i = 0; i < 5; ++i) {
    std::string t = "t" + std::to_string(i);
    string::load_in_block(block, reinterpret_cast<const uint8_t*>(t.data()), t.size(), 0);
  }
  EXPECT_EQ(stack::top, block + 1);
  ASSERT_EQ(testing::length_of(block->w2), 5u);
  for (uint32_t i = 0; i < 5; ++i) {
    cell* s = stack::push(testing::cell_at(block->w2, i));
    EXPECT_EQ(utf8_of(s), "t" + std::to_string(i));
  }
}

TEST_F(string_test, load_in_encodings) {
  const uint8_t utf16[] = {'h', 0, 0xE9, 0, 0x00, 0xD8, 0x00, 0xDC};  // h, U+00E9, U+10000
  cell* s = string::load_in(utf16, sizeof utf16, nullptr, -1);
  EXPECT_EQ(utf8_of(s), "h\xC3\xA9\xF0\x90\x80\x80");
  EXPECT_EQ(unit_of(s), 4u);
  cell* t = string::load_in(reinterpret_cast<const uint8_t*>("abc"), 3, nullptr, 0);
  EXPECT_EQ(utf8_of(t), "abc");
  // An encoding nobody supports is an error, not the end of the process.
  EXPECT_EQ(error_of([] { string::load_in(reinterpret_cast<const uint8_t*>("x"), 1, nullptr, 7); }),
            std::make_pair(int(err::cat_script), int(err::script::invalid_arg)));
}

TEST_F(string_test, exports) {
  cell* s = text("a\nb" + std::string(SMILE));
  int32_t n = -1;
  const uint8_t* p = string::utf8_bytes(s, n, true);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p), size_t(n)), "a\r\nb" + std::string(SMILE));
  EXPECT_EQ(p[n], 0);
  n = 2;
  p = string::utf8_bytes(s, n);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(p), size_t(n)), "a\n");
  const uint16_t* w = string::to_cstr(s);
  const std::vector<uint16_t> expected{'a', '\r', '\n', 'b', 0xD83D, 0xDE00, 0};
  EXPECT_EQ(std::vector<uint16_t>(w, w + expected.size()), expected);
  // The scratch is reused: a shorter export does not allocate a new one.
  uint32_t scratch = s->w3;
  n = 1;
  string::utf8_bytes(s, n);
  EXPECT_EQ(s->w3, scratch);
  // Round trip through the scratch.
  cell* back = text("");
  n = -1;
  const uint16_t* units = string::to_utf16_part(s, n, false);
  string::load_utf16(units, size_t(n), back, false);
  EXPECT_EQ(utf8_of(back), utf8_of(s));
}

TEST_F(string_test, accessors) {
  cell* s = text("hello");
  cell* other = stack::push(s);
  other->w1 = 4;
  string::remove_part(s, 1, 3);  // "ho"
  EXPECT_TRUE(string::ks_tail_q(other));
  EXPECT_EQ(string::ks_length_q(other), 0);
  string::ks_head(other);
  EXPECT_EQ(other->w1, 2u);  // clamped to the tail
  EXPECT_EQ(string::ks_find_char(s, 'o'), 1);
  EXPECT_EQ(string::ks_find_char(s, 'z'), -1);
  EXPECT_TRUE(string::starts_with_cstr_q(s, "ho"));
  EXPECT_FALSE(string::starts_with_cstr_q(s, "hop"));
  EXPECT_TRUE(string::has_char_q(s, 'H', 1, false));
  EXPECT_FALSE(string::has_char_q(s, 'H', 1, true));
  EXPECT_FALSE(string::has_char_q(s, 'o', 2, true));  // only first characters of records
  EXPECT_FALSE(string::ks_skip(s, 1));
  EXPECT_TRUE(string::ks_skip(s, 1));
  EXPECT_TRUE(string::ks_skip(s, 5));  // past the tail: unchanged
  EXPECT_EQ(s->w1, 2u);
  string::ks_reset(s);
  EXPECT_EQ(string::ks_abs_length_q(s), 0);
  EXPECT_EQ(unit_of(s), 1u);
  series_buffer* b = string::buffer_of(text("abcdef"));
  string::truncate(b, 2);
  EXPECT_EQ(b->used(), 2u);
}

// Many edits under collections that move every buffer: the text stays right.
TEST_F(string_test, edits_survive_collections) {
  const int rounds = int(testing::scaled(300, 40));
  cell* s = text("");
  std::u32string model;
  for (int i = 0; i < rounds; ++i) {
    stack::top = s + 1;
    int32_t cp = i % 5 == 0 ? 0x3A9 : i % 11 == 0 ? 0x1F600 : 'a' + i % 26;
    cell c = character(cp);
    cell* v = stack::push(&c);
    memory::alloc_bytes(100);  // garbage between edits
    bool front = i % 3 == 0;
    s->w1 = front ? 0 : uint32_t(string::ks_abs_length_q(s));
    do_insert(s, v);
    if (front) model.insert(model.begin(), char32_t(cp));
    else model.push_back(char32_t(cp));
    if (i % 50 == 49) collector::do_cycle();
  }
  ASSERT_EQ(string::ks_abs_length_q(s), int32_t(model.size()));
  for (size_t i = 0; i < model.size(); ++i) ASSERT_EQ(string::ks_abs_at(s, int32_t(i)), int32_t(model[i])) << i;
}

}  // namespace
}  // namespace kez
