// string! comparison, find/select, sort, the set operations and the parse
// dialect's matching tests.
#include <gtest/gtest.h>

#include <string>

#include "heap_values.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/string.h"
#include "text_fixture.h"

namespace kez {
namespace {

using testing::character;
using testing::error_of;
using testing::integer;
using testing::text;
using testing::typed;
using testing::utf8_of;

class string_search_test : public testing::text_test {};

// A unit-2 copy of a Latin-1 text: same characters, wider storage.
cell* wide(const std::string& utf8) {
  cell* s = text(utf8 + "\xCE\xA9");  // ends with U+03A9, so unit 2
  string::remove_char(s, uint32_t(string::ks_length_q(s) - 1));
  return s;
}

TEST_F(string_search_test, compare_answers) {
  struct row {
    uint32_t type1;
    const char* a;
    uint32_t type2;
    const char* b;
    int32_t op;
    int32_t expected;
  };
  const row rows[] = {
      {TYPE_STRING, "abc", TYPE_FILE, "abc", COMP_EQUAL, 0},
      {TYPE_STRING, "abc", TYPE_TAG, "ABC", COMP_EQUAL, 0},
      {TYPE_STRING, "abc", TYPE_FILE, "abd", COMP_NOT_EQUAL, -1},
      {TYPE_STRING, "abc", TYPE_FILE, "abc", COMP_STRICT_EQUAL, -2},  // never strict across types
      {TYPE_STRING, "abc", TYPE_FILE, "abc", COMP_LESSER, -2},        // no order across types
      {TYPE_STRING, "abc", TYPE_INTEGER, "", COMP_EQUAL, -2},
      {TYPE_STRING, "abc", TYPE_STRING, "ABC", COMP_EQUAL, 0},
      {TYPE_STRING, "abc", TYPE_STRING, "ABC", COMP_STRICT_EQUAL, 1},
      {TYPE_STRING, "\xC3\x89", TYPE_STRING, "\xC3\xA9", COMP_EQUAL, 0},  // É = é
      {TYPE_STRING, "\xC3\x89", TYPE_STRING, "\xC3\xA9", COMP_CASE_SORT, -1},
      {TYPE_STRING, "abc", TYPE_STRING, "abd", COMP_LESSER, -1},
      {TYPE_STRING, "ab", TYPE_STRING, "abc", COMP_LESSER, -1},
      {TYPE_STRING, "abc", TYPE_STRING, "ab", COMP_GREATER, 1},
      {TYPE_STRING, "abc", TYPE_STRING, "ab", COMP_EQUAL, 1},
      {TYPE_STRING, "", TYPE_STRING, "a", COMP_LESSER, -1},
      {TYPE_STRING, "a", TYPE_STRING, "", COMP_LESSER, 1},
      {TYPE_STRING, "", TYPE_STRING, "", COMP_EQUAL, 0},
      {TYPE_STRING, "B", TYPE_STRING, "a", COMP_SORT, 1},        // folded: b > a
      {TYPE_STRING, "B", TYPE_STRING, "a", COMP_CASE_SORT, -1},  // exact: B < a
  };
  for (const row& r : rows) {
    stack::reset();
    cell* a = typed(r.type1, r.a);
    cell b = r.type2 == TYPE_INTEGER ? integer(1) : *typed(r.type2, r.b);
    EXPECT_EQ(actions::compare_value(a, &b, r.op), r.expected) << r.a << " " << r.b << " op " << r.op;
  }
}

TEST_F(string_search_test, compare_sees_through_units_and_heads) {
  cell* narrow = text("caf\xC3\xA9");
  cell* broad = wide("caf\xC3\xA9");
  ASSERT_NE(testing::unit_of(narrow), testing::unit_of(broad));
  EXPECT_EQ(actions::compare_value(narrow, broad, COMP_STRICT_EQUAL), 0);
  EXPECT_EQ(actions::compare_value(broad, narrow, COMP_LESSER_EQUAL), 0);
  // Only the text from each head counts.
  cell* x = text("xxcaf\xC3\xA9");
  x->w1 = 2;
  EXPECT_TRUE(actions::compare(x, broad, COMP_EQUAL));
  // same? asks for the same series at the same position.
  cell y = *x;
  EXPECT_TRUE(actions::compare(x, &y, COMP_SAME));
  EXPECT_FALSE(actions::compare(broad, narrow, COMP_SAME));
  // An order between different text types is an error for the caller.
  cell* f = typed(TYPE_FILE, "a");
  EXPECT_EQ(error_of([&] { actions::compare(x, f, COMP_LESSER); }),
            std::make_pair(int(err::cat_script), int(err::script::invalid_compare)));
}

TEST_F(string_search_test, prefix_mode) {
  struct row {
    const char* s;
    const char* prefix;
    int32_t op;
    int32_t expected;
  };
  const row rows[] = {
      {"abcdef", "ABC", COMP_EQUAL, 0}, {"abcdef", "ABC", COMP_STRICT_EQUAL, 1},
      {"ab", "abc", COMP_EQUAL, 1},     {"abc", "", COMP_EQUAL, 0},
      {"abc", "", COMP_FIND, 1},        {"abc", "abc", COMP_EQUAL, 0},
      {"abc", "abd", COMP_EQUAL, -1},
  };
  for (const row& r : rows) {
    stack::reset();
    EXPECT_EQ(string::equal_q(text(r.s), text(r.prefix), r.op, true), r.expected) << r.s << " " << r.prefix;
  }
}

// The result of find: -1 for none, else the head index of the answer.
struct search {
  const char* haystack;
  int32_t head;
  std::function<cell()> value;
  find_options options;
  int32_t part;  // -1: no /part
  int32_t skip;  // 0: no /skip
  int32_t expected;
};

int32_t run_find(const search& s, bool select = false) {
  cell* series = text(s.haystack);
  series->w1 = uint32_t(s.head);
  cell made = s.value();
  cell* value = stack::push(&made);  // where the collector sees it
  cell part = integer(s.part), skip = integer(s.skip);
  find_options o = s.options;
  if (s.part >= 0) o.part = &part;
  if (s.skip) o.skip = &skip;
  cell* r = select ? actions::dispatch<ACT_SELECT>(series, static_cast<const cell*>(value), o)
                   : actions::dispatch<ACT_FIND>(series, static_cast<const cell*>(value), o);
  if (type_of(r) == TYPE_NONE) return -1;
  return select ? int32_t(r->w2) : int32_t(r->w1);
}

find_options opts(std::initializer_list<const char*> flags) {
  find_options o;
  for (std::string f : flags) {
    if (f == "case") o.case_ = true;
    if (f == "last") o.last = true;
    if (f == "reverse") o.reverse = true;
    if (f == "tail") o.tail = true;
    if (f == "match") o.match = true;
    if (f == "same") o.same = true;
  }
  return o;
}

auto str(const char* s) {
  return [s] { return *text(s); };
}
auto chr(int32_t c) {
  return [c] { return character(c); };
}

TEST_F(string_search_test, find_positions) {
  const search rows[] = {
      {"xAy", 0, str("a"), opts({}), -1, 0, 1},
      {"xAy", 0, str("a"), opts({"case"}), -1, 0, -1},
      {"xAy", 0, str("A"), opts({"case"}), -1, 0, 1},
      {"xAy", 0, chr('a'), opts({}), -1, 0, 1},
      {"xAy", 0, chr('a'), opts({"same"}), -1, 0, -1},
      {"x\xC3\x89y", 0, chr(0xE9), opts({}), -1, 0, 1},  // É found by é
      {"xAy", 0, str("xa"), opts({"match"}), -1, 0, 0},
      {"xAy", 0, str("xa"), opts({"match", "tail"}), -1, 0, 2},
      {"xAy", 0, str("a"), opts({"match"}), -1, 0, -1},
      {"abcabc", 0, str("bc"), opts({"tail"}), -1, 0, 3},
      {"abcabc", 0, str("bc"), opts({"last"}), -1, 0, 4},
      {"abcabc", 0, str("bc"), opts({"last", "tail"}), -1, 0, 6},
      {"abcabc", 6, str("bc"), opts({"reverse"}), -1, 0, 4},
      {"abcabc", 4, str("bc"), opts({"reverse"}), -1, 0, 1},
      {"abcabc", 6, str("bc"), opts({"reverse", "match"}), -1, 0, -1},
      {"abcabc", 0, str("abc"), opts({"reverse"}), -1, 0, -1},
      {"abcabc", 6, str("bc"), opts({}), -1, 0, -1},  // head at the tail
      {"abcabc", 1, str("a"), opts({}), -1, 0, 3},
      {"abcd", 0, str("cd"), opts({}), 3, 0, -1},  // /part ends inside the match
      {"abcd", 0, str("cd"), opts({}), 4, 0, 2},
      {"abcd", 0, str("a"), opts({}), 0, 0, -1},
      {"abcabc", 0, chr('c'), opts({}), -1, 2, 2},
      {"abab", 0, chr('b'), opts({}), -1, 2, -1},
      {"abcd", 0, str(""), opts({}), -1, 0, -1},
      {"a<b>c", 0, [] { return *typed(TYPE_TAG, "b"); }, opts({}), -1, 0, 1},
      {"a12b", 0, [] { return integer(12); }, opts({}), -1, 0, 1},  // formed
      {"abc", 0, [] { return *typed(TYPE_FILE, "BC"); }, opts({}), -1, 0, 1},
  };
  for (const search& s : rows) {
    stack::reset();
    EXPECT_EQ(run_find(s), s.expected) << s.haystack << " head " << s.head;
  }
}

TEST_F(string_search_test, find_answer_keeps_type_and_buffer) {
  cell* f = typed(TYPE_FILE, "dir/name");
  uint32_t node = f->w2;
  cell slash = character('/');
  cell* r = actions::dispatch<ACT_FIND>(f, &slash, find_options{});
  EXPECT_EQ(type_of(r), TYPE_FILE);
  EXPECT_EQ(r->w2, node);
  EXPECT_EQ(testing::utf8_of(r), "/name");
}

TEST_F(string_search_test, select_answers_the_next_character) {
  const search rows[] = {
      {"a=b", 0, chr('='), opts({}), -1, 0, 'b'},
      {"ab=", 0, chr('='), opts({}), -1, 0, -1},
      {"key: value", 0, str("KEY:"), opts({}), -1, 0, ' '},
      {"xAyaz", 0, str("a"), opts({"case"}), -1, 0, 'z'},
      {"a<b>c", 0, [] { return *typed(TYPE_TAG, "b"); }, opts({}), -1, 0, 'c'},
  };
  for (const search& s : rows) {
    stack::reset();
    EXPECT_EQ(run_find(s, true), s.expected) << s.haystack;
  }
}

TEST_F(string_search_test, find_refusals) {
  using E = std::pair<int, int>;
  auto find_with = [&](find_options o, const cell* value) {
    cell* s = text("abc");
    return error_of([&] { actions::dispatch<ACT_FIND>(s, value, o); });
  };
  cell a = character('a');
  cell zero = integer(0);
  find_options skip0;
  skip0.skip = &zero;
  EXPECT_EQ(find_with(skip0, &a), E(err::cat_script, err::script::out_of_range));
  find_options any;
  any.any = true;
  EXPECT_EQ(find_with(any, &a), E(err::cat_internal, err::internal::not_done));
  cell* other = text("abc");
  find_options part;
  part.part = other;  // a position in another series
  EXPECT_EQ(find_with(part, &a), E(err::cat_script, err::script::invalid_refine_arg));
  cell bytes{TYPE_BINARY, 0, testing::bytes_with("a"), 0};
  EXPECT_EQ(find_with(find_options{}, &bytes), E(err::cat_script, err::script::invalid_arg));
}

// A /part given as a position in the same series.
TEST_F(string_search_test, find_part_as_position) {
  cell* s = text("abcabc");
  cell end = *s;
  end.w1 = 3;
  cell c = character('c');
  find_options o;
  o.part = &end;
  o.last = true;
  cell* r = actions::dispatch<ACT_FIND>(s, &c, o);
  ASSERT_EQ(type_of(r), TYPE_STRING);
  EXPECT_EQ(r->w1, 2u);
}

cell bitset_of(std::initializer_list<int> members, uint32_t bytes, bool complemented) {
  std::string raw(bytes, '\0');
  for (int m : members) raw[size_t(m >> 3)] = char(raw[size_t(m >> 3)] | (0x80 >> (m & 7)));
  uint32_t node = memory::alloc_bytes(bytes);
  std::memcpy(series::make_room(memory::buffer_of(node), bytes), raw.data(), bytes);
  return cell{TYPE_BITSET | (complemented ? uint32_t(FLAG_BITSET_NOT) : 0), 0, node, 0};
}

TEST_F(string_search_test, bit_sets_in_find_and_parse_tests) {
  cell digits = bitset_of({'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'}, 8, false);
  collector::root_cells hold(&digits);
  cell* s = text("ab7c");
  cell* r = actions::dispatch<ACT_FIND>(s, &digits, find_options{});
  EXPECT_EQ(r->w1, 2u);
  // Beyond the stored bits the complement flag answers.
  cell* w = text("a\xC3\xA9");
  w->w1 = 1;
  EXPECT_FALSE(string::match_bitset_q(w, &digits));
  cell not_digits = bitset_of({'0'}, 8, true);
  collector::root_cells hold2(&not_digits);
  EXPECT_TRUE(string::match_bitset_q(w, &not_digits));
  w->w1 = 2;
  EXPECT_FALSE(string::match_bitset_q(w, &digits));  // at the tail
}

TEST_F(string_search_test, parse_value_tests) {
  cell* s = text("<b>Bold");
  cell* t = typed(TYPE_TAG, "B");
  EXPECT_TRUE(string::match_tag_q(s, t));
  EXPECT_TRUE(string::match_value_q(s, t, COMP_EQUAL));
  EXPECT_FALSE(string::match_value_q(s, t, COMP_STRICT_EQUAL));
  cell* longer = typed(TYPE_TAG, "bo");
  EXPECT_FALSE(string::match_tag_q(s, longer));
  EXPECT_TRUE(string::match_value_q(s, text("<B>b"), COMP_EQUAL));
  EXPECT_FALSE(string::match_value_q(s, text("<B>b"), COMP_STRICT_EQUAL));
  cell lt = character('<');
  EXPECT_TRUE(string::match_value_q(s, &lt, COMP_STRICT_EQUAL));
  cell* at_b = text("Bold");
  cell b = character('b');
  EXPECT_TRUE(string::match_value_q(at_b, &b, COMP_EQUAL));
  EXPECT_FALSE(string::match_value_q(at_b, &b, COMP_STRICT_EQUAL));
  cell n = integer(1);
  EXPECT_FALSE(string::match_value_q(at_b, &n, COMP_EQUAL));
}

// binary! inherits find, select and sort: bytes, never folded; a text is
// looked for by its UTF-8 bytes, an integer is one byte.
TEST_F(string_search_test, binary_search_and_sort) {
  binary::init();
  auto bytes = [](const char* raw) {
    cell* b = stack::push_cell();
    *b = cell{TYPE_NONE, 0, 0, 0};
    *b = cell{TYPE_BINARY, 0, testing::bytes_with(raw), 0};
    return b;
  };
  cell* b = bytes("xAy\xC3\xA9");
  cell* a = text("a");
  EXPECT_EQ(type_of(actions::dispatch<ACT_FIND>(stack::push(b), static_cast<const cell*>(a), find_options{})), TYPE_NONE);
  cell* found = actions::dispatch<ACT_FIND>(stack::push(b), static_cast<const cell*>(text("\xC3\xA9")), find_options{});
  EXPECT_EQ(found->w1, 3u);
  cell byte = integer(0xA9);
  found = actions::dispatch<ACT_FIND>(stack::push(b), static_cast<const cell*>(&byte), find_options{});
  EXPECT_EQ(found->w1, 4u);
  cell upper = integer('A');
  cell* next = actions::dispatch<ACT_SELECT>(stack::push(b), static_cast<const cell*>(&upper), find_options{});
  EXPECT_EQ(type_of(next), TYPE_INTEGER);
  EXPECT_EQ(next->w2, uint32_t('y'));
  cell* s = bytes("bBaA");
  actions::dispatch<ACT_SORT>(s, false, static_cast<const cell*>(nullptr), static_cast<const cell*>(nullptr),
                              static_cast<const cell*>(nullptr), false, false, false);
  EXPECT_TRUE(testing::bytes_equal(s->w2, "ABab"));
}

// --- sort ------------------------------------------------------------------------------

struct sorting {
  const char* start;
  bool case_, all, reverse, stable;
  int32_t skip;     // 0: none
  int32_t compare;  // 0: none, else the offset
  int32_t part;     // 0: none
  const char* expected;
};

std::string run_sort(const sorting& r, cell* s) {
  cell skip = integer(r.skip), cmp = integer(r.compare), part = integer(r.part);
  actions::dispatch<ACT_SORT>(s, r.case_, r.skip ? &skip : nullptr, r.compare ? &cmp : nullptr,
                              r.part ? &part : nullptr, r.all, r.reverse, r.stable);
  s->w1 = 0;
  return utf8_of(s);
}

TEST_F(string_search_test, sort_orders) {
  const sorting rows[] = {
      {"bBaA", true, false, false, false, 0, 0, 0, "ABab"},
      {"cab", false, false, true, false, 0, 0, 0, "cba"},
      {"b1a2", false, false, false, false, 2, 0, 0, "a2b1"},
      {"a2b1", false, false, false, false, 2, 2, 0, "b1a2"},
      {"a2a1", false, true, false, false, 2, 0, 0, "a1a2"},
      {"dcba", false, false, false, false, 0, 0, 2, "cdba"},
      {"dcba", false, false, false, false, 0, 0, 9, "abcd"},
      // A unit-1 text folds Latin-1 capitals as a wider one would: É sorts as é.
      {"\xC3\x89\xC3\xA0", false, false, false, false, 0, 0, 0, "\xC3\xA0\xC3\x89"},
      {"\xC3\x89\xC3\xA0\xCE\xA9", false, false, false, false, 0, 0, 0, "\xC3\xA0\xC3\x89\xCE\xA9"},
      // Stable with /case keeps records with equal keys in their order.
      {"b2a1b1a2a0", true, false, false, true, 2, 0, 0, "a1a2a0b2b1"},
      {"b2a1b1a2a0", false, false, false, true, 2, 0, 0, "a1a2a0b2b1"},
  };
  for (const sorting& r : rows) {
    stack::reset();
    EXPECT_EQ(run_sort(r, text(r.start)), r.expected) << r.start;
  }
}

TEST_F(string_search_test, sort_without_case_pairs_letters) {
  std::string out = run_sort({"bBaA", false, false, false, false, 0, 0, 0, ""}, text("bBaA"));
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(std::tolower(out[0]), 'a');
  EXPECT_EQ(std::tolower(out[1]), 'a');
  EXPECT_EQ(std::tolower(out[2]), 'b');
  EXPECT_EQ(std::tolower(out[3]), 'b');
}

TEST_F(string_search_test, sort_negative_part_sorts_before_the_head) {
  cell* s = text("dcba");
  s->w1 = 3;
  cell part = integer(-2);
  actions::dispatch<ACT_SORT>(s, false, nullptr, nullptr, &part, false, false, false);
  EXPECT_EQ(s->w1, 1u);
  s->w1 = 0;
  EXPECT_EQ(utf8_of(s), "dbca");
  cell* t = text("dcba");
  t->w1 = 1;
  cell far = integer(-5);
  actions::dispatch<ACT_SORT>(t, false, nullptr, nullptr, &far, false, false, false);
  EXPECT_EQ(t->w1, 0u);
  EXPECT_EQ(utf8_of(t), "dcba");
}

TEST_F(string_search_test, sort_refusals) {
  using E = std::pair<int, int>;
  auto sort_with = [&](const char* start, const cell* skip, const cell* cmp, bool all) {
    cell* s = text(start);
    auto e = error_of([&] { actions::dispatch<ACT_SORT>(s, false, skip, cmp, nullptr, all, false, false); });
    EXPECT_EQ(utf8_of(s), start) << "left as it was";
    return e;
  };
  cell two = integer(2), three = integer(3), zero = integer(0);
  EXPECT_EQ(sort_with("abcde", &two, nullptr, false), E(err::cat_script, err::script::invalid_refine_arg));
  EXPECT_EQ(sort_with("ab", &three, nullptr, false), E(err::cat_script, err::script::invalid_refine_arg));
  EXPECT_EQ(sort_with("ab", &zero, nullptr, false), E(err::cat_script, err::script::invalid_refine_arg));
  EXPECT_EQ(sort_with("ab", nullptr, nullptr, true), E(err::cat_script, err::script::bad_refines));
  EXPECT_EQ(sort_with("ab", nullptr, &two, false), E(err::cat_script, err::script::bad_refines));
  EXPECT_EQ(sort_with("abcd", &two, &three, false), E(err::cat_script, err::script::out_of_range));
  cell* other = text("x");
  EXPECT_EQ(sort_with("abcd", &two, other, false), E(err::cat_script, err::script::invalid_refine_arg));
}

TEST_F(string_search_test, sort_long_texts_of_every_unit) {
  const uint32_t n = testing::scaled(3000, 300);
  for (int32_t top : {0x7A, 0x3A9, 0x1F600}) {
    stack::reset();
    cell* s = testing::empty_text();
    uint32_t x = 12345;
    for (uint32_t i = 0; i < n; ++i) {
      x = x * 1103515245 + 12345;
      string::append_char(string::buffer_of(s), 'a' + int32_t((x >> 16) % 26));
    }
    string::append_char(string::buffer_of(s), top);
    actions::dispatch<ACT_SORT>(s, true, nullptr, nullptr, nullptr, false, false, false);
    for (uint32_t i = 1; i <= n; ++i)
      ASSERT_LE(string::ks_abs_at(s, int32_t(i - 1)), string::ks_abs_at(s, int32_t(i))) << i;
    EXPECT_EQ(string::ks_abs_at(s, int32_t(n)), top);
  }
}

// A user comparator stands in for the interpreter: "does the first sort
// before the second?", on characters, or on the last character of two
// record strings. It allocates, as user code may, so buffers move under it.
int32_t lesser_call(const cell*, const cell* a, const cell* b, int32_t) {
  auto key = [](const cell* v) {
    if (type_of(v) == TYPE_CHAR) return int32_t(v->w2);
    return string::ks_abs_at(v, string::ks_length_q(v) - 1);
  };
  int32_t x = key(a), y = key(b);
  testing::text("churn");
  stack::pop(1);
  return x < y ? 1 : -1;
}

TEST_F(string_search_test, sort_with_a_user_function) {
  cell function{TYPE_FUNCTION, 0, 0, 0};
  cell* s = text("dbca");
  using E = std::pair<int, int>;
  EXPECT_EQ(error_of([&] {
              actions::dispatch<ACT_SORT>(s, false, static_cast<const cell*>(nullptr), static_cast<const cell*>(&function),
                                          static_cast<const cell*>(nullptr), false, false, false);
            }),
            E(err::cat_internal, err::internal::not_done));
  string::set_compare_call(lesser_call);
  struct row {
    const char* start;
    int32_t skip;
    bool all, reverse, stable;
    const char* expected;
  };
  const row rows[] = {
      {"dbca", 0, false, false, false, "abcd"},
      {"dbca", 0, false, true, false, "dcba"},
      {"dbca", 0, false, false, true, "abcd"},
      {"b1a3c2", 2, true, false, false, "b1c2a3"},  // records by their last character
      {"b1a3c2", 2, true, false, true, "b1c2a3"},
      {"b1a3c2", 2, false, false, false, "a3b1c2"},  // without /all: the first character
  };
  for (const row& r : rows) {
    stack::reset();
    cell* t = text(r.start);
    cell skip = integer(r.skip);
    actions::dispatch<ACT_SORT>(t, false, static_cast<const cell*>(r.skip ? &skip : nullptr),
                                static_cast<const cell*>(&function), static_cast<const cell*>(nullptr), r.all,
                                r.reverse, r.stable);
    EXPECT_EQ(utf8_of(t), r.expected) << r.start;
  }
  string::set_compare_call(nullptr);
}

// An owned text tells its owner before and after it is sorted; a text
// without an owner tells nobody.
TEST_F(string_search_test, sort_reports_to_the_owner) {
  ownership::set_hook(testing::record_hook);
  cell object = testing::owner_object(), field = integer(0);
  collector::root_cells keep(&object), keep_field(&field);
  cell* s = text("xdcba");
  ownership::set_owner(s, &object, &field);
  s->w1 = 1;
  testing::heard().clear();
  actions::dispatch<ACT_SORT>(s, false, static_cast<const cell*>(nullptr), static_cast<const cell*>(nullptr),
                              static_cast<const cell*>(nullptr), false, false, false);
  EXPECT_EQ(testing::heard(), (std::vector<std::string>{"sort 1 4", "sorted 1 4"}));
  EXPECT_EQ(utf8_of(s), "abcd");
  testing::heard().clear();
  actions::dispatch<ACT_SORT>(text("ba"), false, static_cast<const cell*>(nullptr), static_cast<const cell*>(nullptr),
                              static_cast<const cell*>(nullptr), false, false, false);
  EXPECT_TRUE(testing::heard().empty());
}

// --- set operations ---------------------------------------------------------------

TEST_F(string_search_test, set_operations) {
  struct row {
    int op;
    const char* a;
    const char* b;
    bool case_;
    int32_t skip;
    const char* expected;
  };
  const row rows[] = {
      {string::SET_UNION, "abc", "bcd", false, 0, "abcd"},
      {string::SET_INTERSECT, "abc", "bcd", false, 0, "bc"},
      {string::SET_EXCLUDE, "abc", "bcd", false, 0, "a"},
      {string::SET_DIFFERENCE, "abc", "bcd", false, 0, "ad"},
      {string::SET_UNIQUE, "abcabA", "", false, 0, "abc"},
      {string::SET_UNIQUE, "abcabA", "", true, 0, "abcA"},
      {string::SET_UNION, "aA", "Bb", false, 0, "aB"},
      {string::SET_UNION, "aA", "Bb", true, 0, "aABb"},
      {string::SET_INTERSECT, "\xC3\x89t\xC3\xA9", "\xC3\xA9", false, 0, "\xC3\x89"},
      {string::SET_UNION, "a1b2", "a3c4", false, 2, "a1b2c4"},
      {string::SET_DIFFERENCE, "a1b2", "a3c4", false, 2, "b2c4"},
      {string::SET_UNION, "a1b", "c", false, 2, "a1bc"},  // a short last record
      {string::SET_UNION, "ab", "\xF0\x9F\x98\x80", false, 0, "ab\xF0\x9F\x98\x80"},
  };
  for (const row& r : rows) {
    stack::reset();
    cell* a = typed(TYPE_FILE, r.a);
    cell* b = text(r.b);
    cell skip = integer(r.skip);
    string::do_set_op(a, b, r.case_, r.skip ? &skip : nullptr, r.op);
    EXPECT_EQ(type_of(a), TYPE_FILE);
    EXPECT_EQ(a->w1, 0u);
    EXPECT_EQ(utf8_of(a), r.expected) << r.op << " " << r.a << " " << r.b;
  }
  cell* a = text("abc");
  cell zero = integer(0);
  EXPECT_EQ(error_of([&] { string::do_set_op(a, text("b"), false, &zero, string::SET_UNION); }),
            std::make_pair(int(err::cat_script), int(err::script::invalid_refine_arg)));
}

// The sources stay as they were, heads included.
TEST_F(string_search_test, set_operations_leave_sources_alone) {
  cell* a = text("xxabc");
  a->w1 = 2;
  cell original = *a;
  collector::root_cells hold(&original);
  cell* b = text("bcd");
  string::do_set_op(a, b, false, nullptr, string::SET_UNION);
  EXPECT_EQ(utf8_of(a), "abcd");
  EXPECT_EQ(utf8_of(&original), "abc");
  original.w1 = 0;
  EXPECT_EQ(utf8_of(&original), "xxabc");
  EXPECT_EQ(utf8_of(b), "bcd");
}

}  // namespace
}  // namespace kez
