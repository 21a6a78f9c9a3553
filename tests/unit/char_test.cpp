// char!: conversions with their range checks, arithmetic through the
// integer core, comparison with integers, and the escapes of mold.
#include <gtest/gtest.h>

#include <cmath>

#include "words_fixture.h"

namespace kez {
namespace {

using testing::character;
using testing::error_of;
using testing::formed;
using testing::integer;
using testing::number;

class char_test : public testing::words_test {};

const std::pair<int, int> no_error{-1, -1};
std::pair<int, int> script(int id) { return {err::cat_script, id}; }
std::pair<int, int> math_error(int id) { return {err::cat_math, id}; }

TEST_F(char_test, make_and_to) {
  struct row {
    cell spec;
    int32_t expected;
    std::pair<int, int> error;
  };
  const row rows[] = {
      {integer(97), 97, no_error},
      {integer(0x10FFFF), 0x10FFFF, no_error},
      {integer(1114112), 0, script(err::script::out_of_range)},
      {integer(-1), 0, script(err::script::out_of_range)},
      {character(0x263A), 0x263A, no_error},
      {number(98.9), 98, no_error},
      {number(-0.5), 0, no_error},
      {number(1114112.0), 0, script(err::script::out_of_range)},
      {number(NAN), 0, script(err::script::out_of_range)},
      {number(65.2, TYPE_PERCENT), 65, no_error},
      {logic::true_value, 0, script(err::script::bad_to_arg)},
  };
  for (const row& r : rows) {
    for (int how = 0; how < 2; ++how) {
      cell proto = testing::datatype_value(TYPE_CHAR);
      cell* result = nullptr;
      auto e = error_of([&] { result = how ? actions::to_dispatch(&proto, &r.spec) : actions::make_dispatch(&proto, &r.spec); });
      EXPECT_EQ(e, r.error) << type_of(&r.spec) << " " << r.spec.w2;
      if (e == no_error) {
        EXPECT_EQ(type_of(result), TYPE_CHAR);
        EXPECT_EQ(char_::get(result), r.expected);
      }
    }
  }
  cell proto = testing::datatype_value(TYPE_CHAR);
  EXPECT_EQ(char_::get(actions::to_dispatch(&proto, testing::text("\xE2\x82\xAC" "x"))), 0x20AC);
  EXPECT_EQ(error_of([&] { actions::to_dispatch(&proto, testing::text("")); }), script(err::script::bad_to_arg));
}

TEST_F(char_test, from_binary) {
  struct row {
    std::vector<uint8_t> bytes;
    int32_t expected;
  };
  const row rows[] = {
      {{'A', 'B'}, 'A'},
      {{0xC3, 0xA9}, 0xE9},
      {{0xF0, 0x9F, 0x98, 0x80}, 0x1F600},
      {{0xC3}, 0xFFFE},        // cut short
      {{0xFF, 0x41}, 0xFFFE},  // not a sequence
  };
  for (const row& r : rows) {
    cell* b = binary::load(r.bytes.data(), uint32_t(r.bytes.size()));
    cell proto = testing::datatype_value(TYPE_CHAR);
    EXPECT_EQ(char_::get(actions::to_dispatch(&proto, b)), r.expected);
  }
}

TEST_F(char_test, arithmetic_stays_within_code_points) {
  struct row {
    int32_t cp;
    uint32_t action;
    cell operand;
    int32_t expected;
    std::pair<int, int> error;
  };
  const row rows[] = {
      {'a', ACT_ADD, integer(1), 'b', no_error},
      {'a', ACT_ADD, number(1.9), 'b', no_error},
      {'a', ACT_ADD, character(1), 'b', no_error},
      {'a', ACT_SUBTRACT, integer(98), 0, math_error(err::math::overflow)},
      {0x10FFFF, ACT_ADD, integer(1), 0, math_error(err::math::overflow)},
      {0x10000, ACT_MULTIPLY, integer(0x10000), 0, math_error(err::math::overflow)},
      {'a', ACT_MULTIPLY, integer(2), 194, no_error},
      {'c', ACT_DIVIDE, integer(2), 49, no_error},  // truncates, stays a char!
      {'c', ACT_REMAINDER, integer(10), 9, no_error},
      {'a', ACT_OR_T, integer(0x20), 'a', no_error},
      {'a', ACT_AND_T, integer(0xDF), 'A', no_error},
      {'a', ACT_XOR_T, integer(0x20), 'A', no_error},
      {'a', ACT_DIVIDE, integer(0), 0, math_error(err::math::zero_divide)},
      {'a', ACT_ADD, number(1e12), 0, math_error(err::math::overflow)},
      {'a', ACT_ADD, logic::true_value, 0, script(err::script::invalid_type)},
  };
  for (const row& r : rows) {
    cell* c = stack::push_cell();
    char_::make_at(c, r.cp);
    cell operand = r.operand;
    cell* result = nullptr;
    auto e = error_of([&] {
      switch (r.action) {
        case ACT_ADD: result = actions::dispatch<ACT_ADD>(c, &operand); break;
        case ACT_SUBTRACT: result = actions::dispatch<ACT_SUBTRACT>(c, &operand); break;
        case ACT_MULTIPLY: result = actions::dispatch<ACT_MULTIPLY>(c, &operand); break;
        case ACT_DIVIDE: result = actions::dispatch<ACT_DIVIDE>(c, &operand); break;
        case ACT_REMAINDER: result = actions::dispatch<ACT_REMAINDER>(c, &operand); break;
        case ACT_OR_T: result = actions::dispatch<ACT_OR_T>(c, &operand); break;
        case ACT_AND_T: result = actions::dispatch<ACT_AND_T>(c, &operand); break;
        case ACT_XOR_T: result = actions::dispatch<ACT_XOR_T>(c, &operand); break;
      }
    });
    EXPECT_EQ(e, r.error) << r.cp << " action " << r.action;
    if (e == no_error) {
      EXPECT_EQ(type_of(result), TYPE_CHAR);
      EXPECT_EQ(char_::get(result), r.expected) << r.cp << " action " << r.action;
    }
  }
}

TEST_F(char_test, inherited_integer_actions) {
  cell c = character('b');
  EXPECT_TRUE(actions::dispatch<ACT_EVEN_Q>(&c));
  EXPECT_FALSE(actions::dispatch<ACT_ODD_Q>(&c));
  EXPECT_EQ(char_::get(actions::dispatch<ACT_ABSOLUTE>(&c)), 'b');
}

TEST_F(char_test, compare_with_integers) {
  struct row {
    cell other;
    int32_t op, expected;
  };
  const row rows[] = {
      {integer(97), COMP_EQUAL, 0},          {integer(97), COMP_STRICT_EQUAL, 1},
      {character('a'), COMP_STRICT_EQUAL, 0}, {integer(98), COMP_LESSER, -1},
      {character('A'), COMP_SORT, 1},         {integer(97), COMP_FIND, 1},
      {number(97.0), COMP_EQUAL, -2},         {logic::true_value, COMP_EQUAL, -2},
  };
  for (const row& r : rows) {
    cell a = character('a');
    EXPECT_EQ(actions::compare_value(&a, &r.other, r.op), r.expected) << r.op << " " << type_of(&r.other);
  }
}

TEST_F(char_test, form_and_mold) {
  struct row {
    int32_t cp;
    const char *mold, *mold_all;
  };
  const row rows[] = {
      {'a', "#\"a\"", "#\"a\""},
      {'\n', "#\"^/\"", "#\"^/\""},
      {'\t', "#\"^-\"", "#\"^-\""},
      {0, "#\"^@\"", "#\"^@\""},
      {27, "#\"^[\"", "#\"^[\""},
      {30, "#\"^(1E)\"", "#\"^(1E)\""},
      {'"', "#\"^\"\"", "#\"^\"\""},
      {'^', "#\"^^\"", "#\"^^\""},
      {127, "#\"^~\"", "#\"^~\""},
      {133, "#\"^(85)\"", "#\"^(85)\""},
      {0xE9, "#\"\xC3\xA9\"", "#\"^(E9)\""},
      {0x1F600, "#\"\xF0\x9F\x98\x80\"", "#\"^(1F600)\""},
  };
  for (const row& r : rows) {
    cell c = character(r.cp);
    EXPECT_EQ(formed(&c, true), r.mold) << r.cp;
    cell* out = testing::empty_text();
    EXPECT_EQ(actions::mold_dispatch(&c, out, false, true, false, nullptr, 100, 0), 96);
    EXPECT_EQ(testing::utf8_of(out), r.mold_all) << r.cp;
  }
  cell c = character(0x263A);
  cell* out = testing::empty_text();
  EXPECT_EQ(actions::form_dispatch(&c, out, nullptr, 5), 4);
  EXPECT_EQ(testing::utf8_of(out), "\xE2\x98\xBA");
  EXPECT_EQ(testing::unit_of(out), 2u);
}

}  // namespace
}  // namespace kez
