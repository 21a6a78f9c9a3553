// The number natives over the compound scalars (pair!, point2D!, point3D!,
// tuple!, money!), called through the natives table on a frame of their
// own argument cells.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "runtime/natives.h"
#include "scalars_fixture.h"

namespace kez::testing {
namespace {

enum native_index : uint32_t {
  COMPLEMENT_Q = 46, NEGATIVE_Q = 49, POSITIVE_Q = 50, MAX = 51, MIN = 52,
  AS_PAIR = 73, AS_POINT2D = 74, AS_POINT3D = 75, AS_MONEY = 76, SIGN_Q = 97, ZERO_Q = 100,
};

class natives_math_test : public scalars_test {
 protected:
  void SetUp() override {
    scalars_test::SetUp();
    natives::init();
  }

  // Runs the native on a frame holding args; answers its result cell.
  static cell call(uint32_t index, std::vector<cell> args) {
    cell* saved = stack::arguments;
    cell* base = stack::top;
    stack::arguments = base;
    for (const cell& a : args) stack::push(&a);
    int32_t refinements[4] = {-1, -1, -1, -1};
    struct restore {
      cell* saved;
      cell* base;
      ~restore() {
        stack::arguments = saved;
        stack::top = base;
      }
    } guard{saved, base};
    natives::table[index - 1](0, refinements);
    return *base;
  }

  static cell integer(int32_t n) { return cell{TYPE_INTEGER, 0, uint32_t(n), 0}; }
  static cell number(double d) {
    cell c;
    return *float_::make_at(&c, d);
  }
  static bool logic(const cell& c) { return type_of(&c) == TYPE_LOGIC && c.w1; }
  // Same type, and strictly equal under that type's compare.
  static bool same_value(const cell& a, const cell& b) {
    return type_of(&a) == type_of(&b) && actions::compare_value(&a, &b, COMP_STRICT_EQUAL) == 0;
  }
};

const double NaN = std::numeric_limits<double>::quiet_NaN();
const double INF = std::numeric_limits<double>::infinity();

TEST_F(natives_math_test, as_pair_truncates_toward_zero_and_refuses_what_does_not_fit) {
  EXPECT_TRUE(same_value(call(AS_PAIR, {number(2.9), number(-2.9)}), pair_of(2, -2)));
  EXPECT_TRUE(same_value(call(AS_PAIR, {integer(3), number(4.0)}), pair_of(3, 4)));
  EXPECT_TRUE(same_value(call(AS_PAIR, {number(2147483647.9), number(-2147483648.5)}),
                         pair_of(2147483647, -2147483647 - 1)));
  struct row {
    double x;
    int id;
  } rows[] = {
      {NaN, err::script::invalid_arg},      {INF, err::script::invalid_arg},
      {-INF, err::script::invalid_arg},     {3e9, err::script::out_of_range},
      {-2147483649.0, err::script::out_of_range}, {2147483648.0, err::script::out_of_range},
  };
  for (const row& r : rows) {
    auto e = error_of([&] { call(AS_PAIR, {integer(1), number(r.x)}); });
    EXPECT_EQ(e.first, err::cat_script) << r.x;
    EXPECT_EQ(e.second, r.id) << r.x;
  }
}

TEST_F(natives_math_test, as_points_take_coordinates_as_floats) {
  EXPECT_TRUE(same_value(call(AS_POINT2D, {integer(1), number(2.5)}), point_of(1.0f, 2.5f)));
  EXPECT_TRUE(same_value(call(AS_POINT3D, {integer(1), number(-2.5), integer(7)}), point_of(1.0f, -2.5f, 7.0f)));
  for (double bad : {NaN, INF}) {
    EXPECT_EQ(error_of([&] { call(AS_POINT2D, {number(bad), integer(1)}); }).second, err::script::invalid_arg);
    EXPECT_EQ(error_of([&] { call(AS_POINT3D, {integer(1), integer(1), number(bad)}); }).second,
              err::script::invalid_arg);
  }
}

TEST_F(natives_math_test, as_money_looks_the_currency_up_without_case) {
  EXPECT_TRUE(same_value(call(AS_MONEY, {word("usd"), integer(12)}), money_of("USD$12")));
  EXPECT_TRUE(same_value(call(AS_MONEY, {word("EUR"), number(-1.25)}), money_of("-EUR$1.25")));
  auto e = error_of([&] { call(AS_MONEY, {word("xyz"), integer(1)}); });
  EXPECT_EQ(e.first, err::cat_script);
  EXPECT_EQ(e.second, err::script::bad_denom);
}

TEST_F(natives_math_test, zero_and_sign_tests_over_compound_values) {
  struct row {
    cell value;
    bool zero;
  } rows[] = {
      {pair_of(0, 0), true},          {pair_of(0, 1), false},          {point_of(0.0f, -0.0f), true},
      {point_of(0.0f, 0.5f), false},  {point_of(0.0f, 0.0f, 0.0f), true}, {point_of(0.0f, 0.0f, 1.0f), false},
      {tuple_of({0, 0, 0}), true},    {tuple_of({0, 0, 1}), false},    {money_of("$0"), true},
      {money_of("-$0.00001"), false},
  };
  for (const row& r : rows) EXPECT_EQ(logic(call(ZERO_Q, {r.value})), r.zero) << molded_all(&r.value);

  EXPECT_TRUE(logic(call(NEGATIVE_Q, {money_of("-USD$3")})));
  EXPECT_FALSE(logic(call(POSITIVE_Q, {money_of("$0")})));
  EXPECT_EQ(int32_t(call(SIGN_Q, {money_of("-$0.5")}).w2), -1);
  EXPECT_EQ(int32_t(call(SIGN_Q, {money_of("$7")}).w2), 1);
}

TEST_F(natives_math_test, max_and_min_work_component_by_component) {
  struct row {
    uint32_t native;
    cell a, b, expected;
  } rows[] = {
      {MAX, pair_of(1, 5), pair_of(3, 2), pair_of(3, 5)},
      {MIN, pair_of(1, 5), integer(3), pair_of(1, 3)},
      {MAX, integer(3), pair_of(1, 5), pair_of(3, 5)},
      {MAX, pair_of(1, 5), number(2.5), pair_of(2, 5)},
      {MAX, point_of(1.0f, 5.0f), pair_of(3, 2), point_of(3.0f, 5.0f)},
      {MIN, pair_of(3, 2), point_of(1.5f, 5.0f), point_of(1.5f, 2.0f)},
      {MIN, point_of(1.0f, 2.0f, 3.0f), number(2.0), point_of(1.0f, 2.0f, 2.0f)},
      {MAX, tuple_of({1, 2, 3}), tuple_of({2, 0, 9}), tuple_of({2, 2, 9})},
      {MAX, tuple_of({10, 20, 30}), integer(300), tuple_of({255, 255, 255})},
      {MIN, tuple_of({10, 20, 30}), integer(15), tuple_of({10, 15, 15})},
      {MAX, money_of("$1"), money_of("$2"), money_of("$2")},
      {MIN, money_of("$1"), money_of("$2"), money_of("$1")},
  };
  for (const row& r : rows) {
    cell got = call(r.native, {r.a, r.b});
    EXPECT_TRUE(same_value(got, r.expected)) << molded_all(&r.a) << " " << molded_all(&r.b) << " gave "
                                             << molded_all(&got);
  }
  // A NaN operand makes that component NaN; a pair cannot hold one.
  cell p = call(MAX, {point_of(1.0f, 2.0f), number(NaN)});
  EXPECT_TRUE(std::isnan(point::coordinate(&p, 0)));
  EXPECT_EQ(error_of([&] { call(MAX, {pair_of(1, 2), number(NaN)}); }).second, err::script::type_limit);
  EXPECT_EQ(error_of([&] { call(MAX, {pair_of(1, 2), number(1e12)}); }).second, err::script::type_limit);
}

TEST_F(natives_math_test, complement_q_reads_the_bitset_flag) {
  cell plain{TYPE_BITSET, 0, 0, 0}, complemented{uint32_t(TYPE_BITSET) | FLAG_BITSET_NOT, 0, 0, 0};
  EXPECT_FALSE(logic(call(COMPLEMENT_Q, {plain})));
  EXPECT_TRUE(logic(call(COMPLEMENT_Q, {complemented})));
}

}  // namespace
}  // namespace kez::testing
