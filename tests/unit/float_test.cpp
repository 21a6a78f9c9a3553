// float!: text, tolerant equality, rounding, arithmetic and conversion.
#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>

#include "numbers_fixture.h"

namespace kez {
namespace {

using testing::bytes_value;
using testing::error_of;
using testing::formed;
using testing::integer;
using testing::number;

// percent! and time! share float!'s math until their own modules exist.
class float_test : public testing::numbers_test {
 protected:
  void SetUp() override {
    numbers_test::SetUp();
    for (uint32_t type : {TYPE_PERCENT, TYPE_TIME})
      datatype::registration(type, 0, type == TYPE_PERCENT ? "percent!" : "time!")
          .set<ACT_ADD>(float_::add)
          .set<ACT_MULTIPLY>(float_::multiply)
          .set<ACT_ROUND>(float_::round)
          .set<ACT_COMPARE>(float_::compare)
          .commit();
  }
};

double sum(double a, double b) {
  cell x = number(a), y = number(b);
  return float_::get(actions::dispatch<ACT_ADD>(&x, &y));
}

TEST_F(float_test, form_and_mold) {
  struct row {
    double value;
    const char* form;
    const char* mold;
  };
  const row rows[] = {
      {sum(0.1, 0.2), "0.3", "0.30000000000000004"},
      {sum(0.1, 0.7), "0.8", "0.7999999999999999"},
      {1e25, "1.0e25", "1.0e25"},
      {100.0, "100.0", "100.0"},
      {1e-7, "1.0e-7", "0.0000001"},
      {-0.0, "0.0", "-0.0"},
      {0.0, "0.0", "0.0"},
      {1.5, "1.5", "1.5"},
      {-2.25, "-2.25", "-2.25"},
      {INFINITY, "1.#INF", "1.#INF"},
      {-INFINITY, "-1.#INF", "-1.#INF"},
      {NAN, "1.#NaN", "1.#NaN"},
      {1e-300, "0.0", "1.0e-300"},  // form calls anything below the epsilon zero
      {123456789012.0, "123456789012.0", "123456789012.0"},
  };
  for (const row& r : rows) {
    cell v = number(r.value);
    EXPECT_EQ(formed(&v), r.form) << r.mold;
    EXPECT_EQ(formed(&v, true), r.mold) << r.form;
  }
  // The pretty rule is a switch: off, the full 16 digits stay.
  float_::pretty_q = false;
  cell v = number(sum(0.1, 0.7));
  EXPECT_EQ(formed(&v), "0.7999999999999999");
  float_::pretty_q = true;
}

TEST_F(float_test, form_float_kinds) {
  struct row {
    double value;
    int32_t kind;
    const char* text;
  };
  const row rows[] = {
      {0.5, float_::KIND_PERCENT, "0.5%"},     {0.0, float_::KIND_PERCENT, "0%"},
      {3.0, float_::KIND_SINGLE_BARE, "3"},    {0.0, float_::KIND_SINGLE_BARE, "0"},
      {3.0, float_::KIND_SINGLE, "3.0"},       {1.0 / 3, float_::KIND_SINGLE, "0.3333333"},
      {12.5, float_::KIND_TIME, "12.5"},       {59.9999999, float_::KIND_TIME, "60"},
      {1e25, float_::KIND_PERCENT, "1e25%"},   {1e-5, float_::KIND_DOUBLE, "1.0e-5"},
  };
  for (const row& r : rows) EXPECT_STREQ(float_::form_float(r.value, r.kind), r.text) << r.value << " " << r.kind;
}

TEST_F(float_test, equality_is_tolerant_strictness_is_exact) {
  struct row {
    cell a, b;
    int32_t op, want;
  };
  double third = sum(0.1, 0.2);
  double next = std::nextafter(1.0, 2.0);
  const row rows[] = {
      {number(third), number(0.3), COMP_EQUAL, 0},
      {number(third), number(0.3), COMP_STRICT_EQUAL, 1},
      {number(third), number(0.3), COMP_SAME, 1},
      {number(1.0), number(next), COMP_EQUAL, 0},
      {number(1e300), number(std::nextafter(1e300, 2e300)), COMP_EQUAL, 0},
      {number(1e300), number(1.0000001e300), COMP_EQUAL, 1},
      {number(-1.0), number(1.0), COMP_EQUAL, 1},
      {number(0.0), number(-0.0), COMP_STRICT_EQUAL, 0},
      {number(0.0), number(-0.0), COMP_SAME, 1},
      {number(NAN), number(NAN), COMP_EQUAL, 1},
      {number(NAN), number(1.0), COMP_LESSER, 1},
      {number(NAN), number(1.0), COMP_GREATER_EQUAL, -1},
      {number(1.5), integer(1), COMP_GREATER, 1},
      {number(1.0), integer(1), COMP_EQUAL, 0},
      {number(1.0), integer(1), COMP_STRICT_EQUAL, 1},
      {number(0.5), number(0.5, TYPE_PERCENT), COMP_EQUAL, 0},
      {number(0.5), number(0.5, TYPE_PERCENT), COMP_FIND, 1},
      {number(1.0), logic::true_value, COMP_EQUAL, -2},
  };
  for (const row& r : rows) EXPECT_EQ(actions::compare_value(&r.a, &r.b, r.op), r.want) << float_::get(&r.a) << " op " << r.op;
  // Keys on either side of zero: the tiny distance counts, not the sign.
  EXPECT_TRUE(float_::almost_equal_q(5e-324, -5e-324));
  double far = 1.0;
  for (int i = 0; i < 11; ++i) far = std::nextafter(far, 2.0);
  EXPECT_TRUE(float_::almost_equal_q(1e10, std::nextafter(std::nextafter(1e10, 2e10), 2e10)));
  EXPECT_FALSE(float_::almost_equal_q(1.0, far));  // 11 units apart, beyond the epsilon too
  EXPECT_FALSE(float_::almost_equal_q(1e10, 1e10 + 1e-4));
  EXPECT_TRUE(float_::almost_equal32_q(1.0f, std::nextafter(1.0f, 2.0f)));
  EXPECT_FALSE(float_::almost_equal32_q(1.0f, 1.001f));
}

TEST_F(float_test, arithmetic) {
  struct row {
    cell a;
    uint32_t action;
    cell b;
    double want;
    uint32_t type;
  };
  const row rows[] = {
      {number(5.5), ACT_REMAINDER, number(2.0), 1.5, TYPE_FLOAT},
      {number(-5.5), ACT_REMAINDER, number(2.0), -1.5, TYPE_FLOAT},
      {number(5.5), ACT_REMAINDER, number(INFINITY), 5.5, TYPE_FLOAT},
      {number(1.0), ACT_DIVIDE, number(0.0), INFINITY, TYPE_FLOAT},
      {number(-1.0), ACT_DIVIDE, number(0.0), -INFINITY, TYPE_FLOAT},
      {number(1.5), ACT_ADD, integer(2), 3.5, TYPE_FLOAT},
      {integer(3), ACT_MULTIPLY, number(0.5), 1.5, TYPE_FLOAT},
      {number(0.5, TYPE_PERCENT), ACT_MULTIPLY, integer(2), 1.0, TYPE_PERCENT},
      {number(0.5, TYPE_PERCENT), ACT_ADD, number(0.25, TYPE_PERCENT), 0.75, TYPE_PERCENT},
      {number(2.0), ACT_MULTIPLY, number(0.5, TYPE_PERCENT), 1.0, TYPE_FLOAT},
      {number(2.0), ACT_ADD, number(60.0, TYPE_TIME), 62.0, TYPE_TIME},
      {integer(2), ACT_ADD, number(60.0, TYPE_TIME), 62.0, TYPE_TIME},
      {number(2.0), ACT_POWER, integer(10), 1024.0, TYPE_FLOAT},
      {number(4.0), ACT_POWER, number(0.5), 2.0, TYPE_FLOAT},
  };
  for (const row& r : rows) {
    cell a = r.a;
    cell* result;
    switch (r.action) {
      case ACT_ADD: result = actions::dispatch<ACT_ADD>(&a, &r.b); break;
      case ACT_MULTIPLY: result = actions::dispatch<ACT_MULTIPLY>(&a, &r.b); break;
      case ACT_DIVIDE: result = actions::dispatch<ACT_DIVIDE>(&a, &r.b); break;
      case ACT_POWER: result = actions::dispatch<ACT_POWER>(&a, &r.b); break;
      default: result = actions::dispatch<ACT_REMAINDER>(&a, &r.b); break;
    }
    EXPECT_EQ(type_of(result), r.type) << r.want;
    EXPECT_EQ(float_::get(result), r.want);
  }
  cell z = number(0.0), zz = number(0.0);
  EXPECT_TRUE(std::isnan(float_::get(actions::dispatch<ACT_DIVIDE>(&z, &zz))));
  EXPECT_EQ(formed(&z), "1.#NaN");
  cell n = number(1.0), zero = number(0.0);
  actions::dispatch<ACT_REMAINDER>(&n, &zero);
  EXPECT_TRUE(std::isnan(float_::get(&n)));
  // Bitwise ops and a char! with a percent! have no float meaning.
  cell p = number(0.5, TYPE_PERCENT), c = testing::character('a');
  EXPECT_EQ(error_of([&] { actions::dispatch<ACT_ADD>(&p, &c); }),
            std::make_pair(int(err::cat_script), int(err::script::invalid_type)));
  EXPECT_EQ(error_of([&] { float_::do_math_op(1.0, 2.0, OP_AND); }),
            std::make_pair(int(err::cat_script), int(err::script::cannot_use)));
  // negate 0.0 and -0.0 give +0.0; absolute clears the sign.
  for (double d : {0.0, -0.0}) {
    cell v = number(d);
    EXPECT_FALSE(std::signbit(float_::get(actions::dispatch<ACT_NEGATE>(&v))));
  }
  cell m = number(-2.5);
  EXPECT_EQ(float_::get(actions::dispatch<ACT_ABSOLUTE>(&m)), 2.5);
}

TEST_F(float_test, rounding) {
  enum { EVEN = 1, DOWN = 2, HALF_DOWN = 4, FLOOR = 8, CEILING = 16, HALF_CEILING = 32 };
  struct row {
    double value;
    cell scale;  // unset!: no /to
    int flags;
    double want;
    uint32_t type;
  };
  const cell none_ = unset::value;
  const row rows[] = {
      {2.5, none_, 0, 3.0, TYPE_FLOAT},
      {2.5, none_, EVEN, 2.0, TYPE_FLOAT},
      {3.5, none_, EVEN, 4.0, TYPE_FLOAT},
      {-2.5, none_, 0, -3.0, TYPE_FLOAT},
      {-2.5, none_, HALF_CEILING, -2.0, TYPE_FLOAT},
      {2.5, none_, HALF_DOWN, 2.0, TYPE_FLOAT},
      {-2.7, none_, DOWN, -2.0, TYPE_FLOAT},
      {-2.2, none_, FLOOR, -3.0, TYPE_FLOAT},
      {-2.7, none_, CEILING, -2.0, TYPE_FLOAT},
      {1.2345, number(0.01), 0, 1.23, TYPE_FLOAT},
      {7.3, integer(2), 0, 8.0, TYPE_INTEGER},
      {-7.3, integer(-2), 0, -8.0, TYPE_INTEGER},
      {1e300, number(1.0), 0, 1e300, TYPE_FLOAT},
      {7.3, number(0.5, TYPE_PERCENT), 0, 7.5, TYPE_PERCENT},
      {0.0, number(0.0), 0, 0.0, TYPE_FLOAT},
      {1e-310, number(5e-324), 0, 1e-310, TYPE_FLOAT},
  };
  for (const row& r : rows) {
    cell v = number(r.value);
    const cell* scale = type_of(&r.scale) == TYPE_UNSET ? nullptr : &r.scale;
    cell* result = actions::dispatch<ACT_ROUND>(&v, scale, (r.flags & EVEN) != 0, (r.flags & DOWN) != 0,
                                                (r.flags & HALF_DOWN) != 0, (r.flags & FLOOR) != 0,
                                                (r.flags & CEILING) != 0, (r.flags & HALF_CEILING) != 0);
    ASSERT_EQ(type_of(result), r.type) << r.value;
    double got = r.type == TYPE_INTEGER ? integer::get(result) : float_::get(result);
    EXPECT_DOUBLE_EQ(got, r.want) << r.value;
  }
  // A zero result is +0.0 whichever rule gives it.
  for (int rule = 0; rule < 3; ++rule) {
    cell v = number(-0.4);
    cell* r = actions::dispatch<ACT_ROUND>(&v, nullptr, false, rule == 1, false, false, rule == 2, false);
    EXPECT_EQ(formed(r, true), "0.0") << rule;
  }
  // A percent! value steps by 1%.
  cell p = number(0.123, TYPE_PERCENT);
  EXPECT_DOUBLE_EQ(float_::get(actions::dispatch<ACT_ROUND>(&p, nullptr, false, false, false, false, false, false)), 0.12);
}

TEST_F(float_test, rounding_to_an_integer_scale_stays_in_range) {
  struct row {
    double value;
    int32_t scale;
    bool raises;
    int32_t want;
  };
  const row rows[] = {
      {2147483646.6, 1, false, INT_MAX},
      {-2147483648.4, 1, false, INT_MIN},
      {2147483647.6, 1, true, 0},
      {5e9, 10, true, 0},
      {-1e300, 2, true, 0},
      {NAN, 2, true, 0},
      {DBL_MAX, 1, true, 0},
  };
  for (const row& r : rows) {
    cell v = number(r.value), scale = integer(r.scale);
    auto e = error_of([&] { actions::dispatch<ACT_ROUND>(&v, &scale, false, false, false, false, false, false); });
    if (r.raises) {
      EXPECT_EQ(e, std::make_pair(int(err::cat_math), int(err::math::overflow))) << r.value;
    } else {
      ASSERT_EQ(e.first, -1) << r.value;
      EXPECT_EQ(type_of(&v), TYPE_INTEGER);
      EXPECT_EQ(integer::get(&v), r.want);
    }
  }
}

TEST_F(float_test, even_and_odd_of_the_whole_part) {
  struct row {
    double value;
    bool even;
  };
  const row rows[] = {
      {2.0, true}, {3.0, false}, {-3.7, false}, {2.9, true}, {-0.5, true},
      {4294967297.0, false},  // beyond 32 bits: still the true parity
      {4294967296.0, true},   {9007199254740993.0, true}, {1e300, true},
  };
  for (const row& r : rows) {
    cell v = number(r.value);
    EXPECT_EQ(actions::dispatch<ACT_EVEN_Q>(&v), r.even) << r.value;
    EXPECT_EQ(actions::dispatch<ACT_ODD_Q>(&v), !r.even) << r.value;
  }
  for (double d : {double(NAN), double(INFINITY)}) {
    cell v = number(d);
    EXPECT_EQ(error_of([&] { actions::dispatch<ACT_EVEN_Q>(&v); }),
              std::make_pair(int(err::cat_script), int(err::script::type_limit)));
  }
}

TEST_F(float_test, conversion) {
  cell type = testing::datatype_value(TYPE_FLOAT);
  cell* bin = bytes_value({0x3F, 0xF0, 0, 0, 0, 0, 0, 0, 0x99});
  EXPECT_EQ(float_::get(actions::to_dispatch(&type, bin)), 1.0);
  cell* small = bytes_value({0x01});
  EXPECT_EQ(float_::get(actions::to_dispatch(&type, small)), 5e-324);  // fewer bytes fill the low end
  cell i = integer(-7), c = testing::character(65);
  EXPECT_EQ(float_::get(actions::to_dispatch(&type, &i)), -7.0);
  EXPECT_EQ(float_::get(actions::to_dispatch(&type, &c)), 65.0);
  cell p = number(0.5, TYPE_PERCENT);
  cell* r = actions::to_dispatch(&type, &p);
  EXPECT_EQ(type_of(r), TYPE_FLOAT);
  EXPECT_EQ(float_::get(r), 0.5);
  cell* s = testing::text("abc");
  EXPECT_EQ(error_of([&] { actions::to_dispatch(&type, s); }),
            std::make_pair(int(err::cat_script), int(err::script::bad_to_arg)));
  EXPECT_EQ(error_of([&] { actions::to_dispatch(&type, &logic::true_value); }),
            std::make_pair(int(err::cat_script), int(err::script::bad_to_arg)));
}

TEST_F(float_test, mantissa_and_exponent_block) {
  // A block of two cells built by hand: [1.5 3] and its faulty variants.
  auto block_of = [](std::vector<cell> cells) {
    cell* b = stack::push_cell();
    *b = cell{TYPE_BLOCK, 0, memory::alloc_cells(uint32_t(cells.size() + 1)), 0};
    for (const cell& c : cells) *reinterpret_cast<cell*>(series::make_room(memory::buffer_of(b->w2), sizeof(cell))) = c;
    return b;
  };
  cell type = testing::datatype_value(TYPE_FLOAT);
  EXPECT_EQ(float_::get(actions::to_dispatch(&type, block_of({number(1.5), integer(3)}))), 1500.0);
  EXPECT_EQ(float_::get(actions::to_dispatch(&type, block_of({integer(2), number(-1.9)}))), 0.2);
  for (auto cells : {std::vector<cell>{integer(1)}, std::vector<cell>{integer(1), integer(2), integer(3)},
                     std::vector<cell>{integer(1), logic::true_value}}) {
    cell* b = block_of(cells);
    EXPECT_EQ(error_of([&] { actions::to_dispatch(&type, b); }),
              std::make_pair(int(err::cat_script), int(err::script::bad_to_arg)));
  }
}

TEST_F(float_test, round_to_int_clamps) {
  EXPECT_EQ(float_::round_to_int(2.5), 3);
  EXPECT_EQ(float_::round_to_int(0.49999999999999994), 0);
  EXPECT_EQ(float_::round_to_int(-2.5), -2);
  EXPECT_EQ(float_::round_to_int(1e10), INT_MAX);
  EXPECT_EQ(float_::round_to_int(-1e10), INT_MIN);
  EXPECT_EQ(float_::round_to_int(NAN), 0);
}

}  // namespace
}  // namespace kez
