// integer!: promotion to float!, math errors, rounding, conversion and text.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>

#include "numbers_fixture.h"
#include "runtime/random.h"

namespace kez {
namespace {

using testing::bytes_value;
using testing::error_of;
using testing::formed;
using testing::integer;
using testing::number;

class integer_test : public testing::numbers_test {};

// What an operation must give: an integer!, a float! or an error.
struct outcome {
  char kind;  // 'i', 'f' or 'e'
  double value;
  int category = -1, id = -1;
};
outcome I(double v) { return {'i', v}; }
outcome F(double v) { return {'f', v}; }
outcome E(int category, int id) { return {'e', 0, category, id}; }
const outcome OVERFLOW_ = E(err::cat_math, err::math::overflow);
const outcome ZERO_DIVIDE = E(err::cat_math, err::math::zero_divide);

template <class Fn>
void expect(const outcome& want, Fn run, const std::string& what) {
  cell result{};
  auto e = error_of([&] { result = *run(); });
  if (want.kind == 'e') {
    EXPECT_EQ(e, std::make_pair(want.category, want.id)) << what;
    return;
  }
  ASSERT_EQ(e.first, -1) << what << ": raised " << e.first << "/" << e.second;
  if (want.kind == 'i') {
    ASSERT_EQ(type_of(&result), TYPE_INTEGER) << what;
    EXPECT_EQ(integer::get(&result), int32_t(want.value)) << what;
  } else {
    ASSERT_EQ(type_of(&result), TYPE_FLOAT) << what;
    EXPECT_EQ(float_::get(&result), want.value) << what;
  }
}

TEST_F(integer_test, arithmetic_promotes_or_raises) {
  struct row {
    int32_t a;
    uint32_t action;
    int32_t b;
    outcome want;
  };
  const row rows[] = {
      {INT_MAX, ACT_ADD, 1, F(2147483648.0)},
      {INT_MIN, ACT_SUBTRACT, 1, F(-2147483649.0)},
      {INT_MIN, ACT_ADD, INT_MIN, F(-4294967296.0)},
      {65536, ACT_MULTIPLY, 65536, F(4294967296.0)},
      {INT_MIN, ACT_MULTIPLY, -1, F(2147483648.0)},
      {46341, ACT_MULTIPLY, -46341, F(-2147488281.0)},
      {-3, ACT_ADD, 5, I(2)},
      {INT_MAX, ACT_SUBTRACT, INT_MAX, I(0)},
      {7, ACT_DIVIDE, 2, F(3.5)},
      {-7, ACT_DIVIDE, 2, F(-3.5)},
      {6, ACT_DIVIDE, 2, I(3)},
      {INT_MIN, ACT_DIVIDE, 2, I(-1073741824)},
      {1, ACT_DIVIDE, 0, ZERO_DIVIDE},
      {INT_MIN, ACT_DIVIDE, -1, OVERFLOW_},
      {-7, ACT_REMAINDER, 2, I(-1)},
      {7, ACT_REMAINDER, -2, I(1)},
      {5, ACT_REMAINDER, 0, ZERO_DIVIDE},
      {INT_MIN, ACT_REMAINDER, -1, OVERFLOW_},
      {INT_MIN, ACT_REMAINDER, 3, I(-2)},
      {12, ACT_AND_T, 10, I(8)},
      {12, ACT_OR_T, 10, I(14)},
      {12, ACT_XOR_T, 10, I(6)},
      {-1, ACT_XOR_T, INT_MAX, I(INT_MIN)},
  };
  for (const row& r : rows) {
    cell a = integer(r.a), b = integer(r.b);
    expect(r.want, [&] {
      switch (r.action) {
        case ACT_ADD: return actions::dispatch<ACT_ADD>(&a, &b);
        case ACT_SUBTRACT: return actions::dispatch<ACT_SUBTRACT>(&a, &b);
        case ACT_MULTIPLY: return actions::dispatch<ACT_MULTIPLY>(&a, &b);
        case ACT_DIVIDE: return actions::dispatch<ACT_DIVIDE>(&a, &b);
        case ACT_REMAINDER: return actions::dispatch<ACT_REMAINDER>(&a, &b);
        case ACT_AND_T: return actions::dispatch<ACT_AND_T>(&a, &b);
        case ACT_OR_T: return actions::dispatch<ACT_OR_T>(&a, &b);
        default: return actions::dispatch<ACT_XOR_T>(&a, &b);
      }
    }, std::to_string(r.a) + " #" + std::to_string(r.action) + " " + std::to_string(r.b));
  }
}

TEST_F(integer_test, mixed_operands) {
  // A float! right operand turns the whole operation into float math.
  cell a = integer(3), half = number(0.5);
  expect(F(3.5), [&] { return actions::dispatch<ACT_ADD>(&a, &half); }, "3 + 0.5");
  cell b = integer(1), zero = number(0.0);
  expect(F(INFINITY), [&] { return actions::dispatch<ACT_DIVIDE>(&b, &zero); }, "1 / 0.0");
  // A char! left operand stays a char! (char! takes integer!'s math).
  datatype::registration(TYPE_CHAR, TYPE_INTEGER, "char!").inherit_all().commit();
  cell c = testing::character('a'), one = integer(1);
  cell* r = actions::dispatch<ACT_ADD>(&c, &one);
  EXPECT_EQ(type_of(r), TYPE_CHAR);
  EXPECT_EQ(integer::get(r), 'b');
  // Types without a math body are rejected, not misread.
  cell d = integer(1);
  cell* s = testing::text("x");
  expect(E(err::cat_script, err::script::invalid_type), [&] { return actions::dispatch<ACT_ADD>(&d, s); }, "1 + text");
  cell e = integer(1), pair{TYPE_PAIR, 1, 2, 0};
  expect(E(err::cat_script, err::script::not_related), [&] { return actions::dispatch<ACT_DIVIDE>(&e, &pair); }, "1 / pair");
}

TEST_F(integer_test, compound_right_operands_forward_to_their_body) {
  // A stand-in pair! body: adds the number to both coordinates.
  math::set_math_body(TYPE_PAIR, [](cell* left, const cell* right, int32_t op) {
    EXPECT_EQ(type_of(left), TYPE_PAIR);
    EXPECT_EQ(op, OP_ADD);
    left->w1 += right->w2;
    left->w2 += right->w2;
    return left;
  });
  datatype::registration(TYPE_PAIR, 0, "pair!")
      .set<ACT_NEGATE>([](cell* p) {
        p->w1 = uint32_t(-int32_t(p->w1));
        p->w2 = uint32_t(-int32_t(p->w2));
        return p;
      })
      .commit();
  cell a = integer(10), p{TYPE_PAIR, 1, 2, 0};
  cell* r = actions::dispatch<ACT_ADD>(&a, &p);
  EXPECT_EQ(type_of(r), TYPE_PAIR);
  EXPECT_EQ(int32_t(r->w1), 11);
  EXPECT_EQ(int32_t(r->w2), 12);
  // 10 - 1x2 is (-1x-2) + 10.
  cell b = integer(10);
  r = actions::dispatch<ACT_SUBTRACT>(&b, &p);
  EXPECT_EQ(int32_t(r->w1), 9);
  EXPECT_EQ(int32_t(r->w2), 8);
  math::set_math_body(TYPE_PAIR, nullptr);
}

TEST_F(integer_test, unary_actions) {
  struct row {
    uint32_t action;
    int32_t a;
    outcome want;
  };
  const row rows[] = {
      {ACT_NEGATE, 5, I(-5)},          {ACT_NEGATE, INT_MAX, I(-INT_MAX)},
      {ACT_NEGATE, INT_MIN, OVERFLOW_}, {ACT_ABSOLUTE, -5, I(5)},
      {ACT_ABSOLUTE, INT_MIN, OVERFLOW_}, {ACT_COMPLEMENT, 0, I(-1)},
      {ACT_COMPLEMENT, INT_MAX, I(INT_MIN)},
  };
  for (const row& r : rows) {
    cell a = integer(r.a);
    expect(r.want, [&] {
      return r.action == ACT_NEGATE     ? actions::dispatch<ACT_NEGATE>(&a)
             : r.action == ACT_ABSOLUTE ? actions::dispatch<ACT_ABSOLUTE>(&a)
                                        : actions::dispatch<ACT_COMPLEMENT>(&a);
    }, "#" + std::to_string(r.action) + " " + std::to_string(r.a));
  }
  for (int32_t v : {0, 1, -1, -2, INT_MIN, INT_MAX}) {
    cell a = integer(v);
    EXPECT_EQ(actions::dispatch<ACT_EVEN_Q>(&a), v % 2 == 0) << v;
    EXPECT_EQ(actions::dispatch<ACT_ODD_Q>(&a), v % 2 != 0) << v;
  }
}

TEST_F(integer_test, power) {
  struct row {
    int32_t base;
    cell exponent;
    outcome want;
  };
  const row rows[] = {
      {2, integer(10), I(1024)},    {2, integer(31), F(2147483648.0)},
      {2, integer(-1), F(0.5)},     {0, integer(0), I(1)},
      {-2, integer(31), I(INT_MIN)}, {-3, integer(3), I(-27)},
      {3, integer(20), F(3486784401.0)}, {46341, integer(2), F(2147488281.0)},
      {2, number(0.5), F(std::sqrt(2.0))}, {1, integer(INT_MAX), I(1)},
      {-1, integer(INT_MAX), I(-1)},
  };
  for (const row& r : rows) {
    cell a = integer(r.base);
    expect(r.want, [&] { return actions::dispatch<ACT_POWER>(&a, &r.exponent); }, std::to_string(r.base) + " ** ...");
  }
  cell a = integer(2);
  cell* s = testing::text("3");
  expect(E(err::cat_script, err::script::expect_arg), [&] { return actions::dispatch<ACT_POWER>(&a, s); }, "2 ** text");
}

TEST_F(integer_test, rounding) {
  enum { EVEN = 1, DOWN = 2, HALF_DOWN = 4, FLOOR = 8, CEILING = 16, HALF_CEILING = 32 };
  struct row {
    int32_t value;
    int32_t scale;  // 0: no /to
    int flags;
    outcome want;
  };
  const row rows[] = {
      {5, 0, 0, I(5)},
      {INT_MIN, 0, 0, I(INT_MIN)},
      {15, 10, 0, I(20)},
      {-15, 10, 0, I(-20)},
      {14, 10, 0, I(10)},
      {16, -10, 0, I(20)},
      {25, 10, EVEN, I(20)},
      {35, 10, EVEN, I(40)},
      {15, 10, HALF_DOWN, I(10)},
      {-15, 10, HALF_CEILING, I(-10)},
      {15, 10, HALF_CEILING, I(20)},
      {-11, 10, FLOOR, I(-20)},
      {11, 10, FLOOR, I(10)},
      {-11, 10, CEILING, I(-10)},
      {11, 10, CEILING, I(20)},
      {19, 10, DOWN, I(10)},
      {-19, 10, DOWN, I(-10)},
      {20, 10, FLOOR, I(20)},
      {7, 1, 0, I(7)},
      {INT_MAX, 10, 0, OVERFLOW_},
      {-2147483647, 10, CEILING, OVERFLOW_},  // raises whatever the sign
      {INT_MAX, 10, DOWN, I(2147483640)},
      {-2147483647, 10, HALF_DOWN, OVERFLOW_},  // r > d comes first
      {-2147483645, 10, HALF_DOWN, I(-2147483640)},  // an exact half never raises
      // MIN stays as it is under every scale and rule.
      {INT_MIN, 10, 0, I(INT_MIN)},
      {INT_MIN, 10, DOWN, I(INT_MIN)},
      {INT_MIN, 10, EVEN, I(INT_MIN)},
      {INT_MIN, 10, CEILING, I(INT_MIN)},
      {INT_MIN, 2, 0, I(INT_MIN)},
      {5, INT_MIN, 0, OVERFLOW_},
  };
  for (const row& r : rows) {
    cell a = integer(r.value), scale = integer(r.scale);
    expect(r.want, [&] {
      return actions::dispatch<ACT_ROUND>(&a, r.scale ? &scale : nullptr, (r.flags & EVEN) != 0, (r.flags & DOWN) != 0,
                                          (r.flags & HALF_DOWN) != 0, (r.flags & FLOOR) != 0,
                                          (r.flags & CEILING) != 0, (r.flags & HALF_CEILING) != 0);
    }, "round " + std::to_string(r.value) + " to " + std::to_string(r.scale) + " flags " + std::to_string(r.flags));
  }
  // A float! scale hands the value over to float rounding.
  cell a = integer(7), step = number(0.5);
  expect(F(7.0), [&] { return actions::dispatch<ACT_ROUND>(&a, &step, false, false, false, false, false, false); }, "round/to 7 0.5");
}

TEST_F(integer_test, conversion) {
  struct row {
    cell spec;
    outcome want;
  };
  const outcome TYPE_LIMIT = E(err::cat_script, err::script::type_limit);
  const row rows[] = {
      {number(2147483647.9), TYPE_LIMIT},
      {number(2147483647.0), I(INT_MAX)},
      {number(-2147483648.0), I(INT_MIN)},
      {number(-2147483648.5), TYPE_LIMIT},
      {number(-2147483649.0), TYPE_LIMIT},
      {number(-1.9), I(-1)},
      {number(NAN), TYPE_LIMIT},
      {number(INFINITY), TYPE_LIMIT},
      {number(0.5, TYPE_PERCENT), I(0)},
      {number(59.5, TYPE_TIME), I(60)},
      {testing::character(0x20AC), I(0x20AC)},
      {integer(-4), I(-4)},
      {logic::true_value, E(err::cat_script, err::script::bad_to_arg)},
      {none::value, E(err::cat_script, err::script::bad_to_arg)},
  };
  for (const row& r : rows) {
    cell type = testing::datatype_value(TYPE_INTEGER);
    expect(r.want, [&] { return actions::to_dispatch(&type, &r.spec); }, "to integer! #" + std::to_string(type_of(&r.spec)));
  }
  struct bytes_row {
    std::vector<uint8_t> bytes;
    int32_t skip;
    int32_t want;
  };
  const bytes_row byte_rows[] = {
      {{0x01, 0x02}, 0, 258},          {{0xFF}, 0, 255}, {{}, 0, 0},
      {{0x80, 0, 0, 0, 9}, 0, INT_MIN}, {{0, 1, 2, 3, 4}, 1, 0x01020304},
  };
  for (const bytes_row& r : byte_rows) {
    cell* bin = bytes_value(r.bytes);
    bin->w1 = uint32_t(r.skip);
    cell type = testing::datatype_value(TYPE_INTEGER);
    EXPECT_EQ(integer::get(actions::to_dispatch(&type, bin)), r.want);
  }
  // make takes logic!; to does not.
  cell type = testing::datatype_value(TYPE_INTEGER);
  EXPECT_EQ(integer::get(actions::make_dispatch(&type, &logic::true_value)), 1);
  EXPECT_EQ(integer::get(actions::make_dispatch(&type, &logic::false_value)), 0);
}

TEST_F(integer_test, converters_registered_by_other_modules) {
  cell money{TYPE_MONEY, 0, 0, 0};
  cell type = testing::datatype_value(TYPE_INTEGER);
  EXPECT_EQ(error_of([&] { actions::to_dispatch(&type, &money); }),
            std::make_pair(int(err::cat_script), int(err::script::bad_to_arg)));
  math::set_integer_converter(TYPE_MONEY, [](const cell*) { return int32_t(42); });
  EXPECT_EQ(integer::get(actions::to_dispatch(&type, &money)), 42);
  math::set_integer_converter(TYPE_MONEY, nullptr);
}

TEST_F(integer_test, hexadecimal_text) {
  auto hex = [](const std::u32string& s) {
    std::vector<int32_t> cps(s.begin(), s.end());
    cell culprit = integer(0);
    return integer::from_hex(cps.data(), int32_t(cps.size()), &culprit);
  };
  EXPECT_EQ(hex(U"FF"), 255);
  EXPECT_EQ(hex(U"ffffffff"), -1);
  EXPECT_EQ(hex(U"7FFFFFFF"), INT_MAX);
  EXPECT_EQ(hex(U""), 0);
  for (const std::u32string& bad : {std::u32string(U"123456789"), std::u32string(U"12G"), std::u32string(U"\x1"),
                                    std::u32string(U"-1"), std::u32string(U"\u00C1")}) {
    EXPECT_EQ(error_of([&] { hex(bad); }), std::make_pair(int(err::cat_script), int(err::script::invalid_data)));
  }
}

TEST_F(integer_test, text) {
  for (int32_t v : {0, 7, -7, 10, INT_MAX, INT_MIN, -1000000}) {
    cell a = integer(v);
    EXPECT_EQ(formed(&a), std::to_string(v));
    EXPECT_EQ(formed(&a, true), std::to_string(v));
  }
  // form answers the budget less what it wrote.
  cell a = integer(-123);
  cell* out = testing::empty_text();
  EXPECT_EQ(actions::form_dispatch(&a, out, nullptr, 10), 6);
}

TEST_F(integer_test, cells_appended_to_a_block) {
  cell* block = stack::push_cell();
  *block = cell{TYPE_BLOCK, 0, memory::alloc_cells(1), 0};
  uint32_t n = testing::scaled(40, 10);
  for (uint32_t i = 0; i < n; ++i) {
    if (i % 2) integer::make_in(block, int32_t(i));
    else float_::make_in64(block, i, 0x3FF00000);  // 1.0 with low bits i
  }
  series_buffer* b = memory::buffer_of(block->w2);
  ASSERT_EQ(b->used(), n * sizeof(cell));
  for (uint32_t i = 0; i < n; ++i) {
    const cell* c = b->head_cell() + i;
    EXPECT_EQ(type_of(c), i % 2 ? TYPE_INTEGER : TYPE_FLOAT);
    EXPECT_EQ(c->w2, i);
  }
}

// Draws are the generator's own: reseeding replays them.
TEST_F(integer_test, random_goes_through_the_generator) {
  const int32_t tops[] = {6, -6, 1, INT_MAX, INT_MIN};
  for (int32_t top : tops) {
    random::seed(77);
    int32_t want = random::range(false, top);
    random::seed(77);
    cell v = integer(top);
    EXPECT_EQ(integer::get(actions::dispatch<ACT_RANDOM>(&v, false, false, false)), want) << top;
  }
  cell zero = integer(0);
  EXPECT_EQ(integer::get(actions::dispatch<ACT_RANDOM>(&zero, false, true, false)), 0);
  // /seed answers unset! and fixes what follows: for an integer the value
  // itself, for a float! its two halves combined.
  cell s = integer(-5);
  EXPECT_EQ(type_of(actions::dispatch<ACT_RANDOM>(&s, true, false, false)), TYPE_UNSET);
  uint32_t after_integer = random::next_uint32();
  random::seed(uint32_t(-5));
  EXPECT_EQ(random::next_uint32(), after_integer);
  cell f = number(1.0);
  actions::dispatch<ACT_RANDOM>(&f, true, false, false);
  uint32_t after_float = random::next_uint32();
  random::seed(0x3FF00000u);
  EXPECT_EQ(random::next_uint32(), after_float);
  // A float! draw lies between 0 and the value, secure or not.
  for (bool secure : {false, true}) {
    for (int i = 0; i < 50; ++i) {
      cell g = number(-8.0);
      double d = float_::get(actions::dispatch<ACT_RANDOM>(&g, false, secure, false));
      EXPECT_LE(d, 0.0);
      EXPECT_GE(d, -8.0);
    }
  }
  random::seed(12);
  double want = 10.0 * (int32_t(random::next_uint32()) / 2147483647.0);
  random::seed(12);
  cell g = number(10.0);
  EXPECT_EQ(float_::get(actions::dispatch<ACT_RANDOM>(&g, false, false, false)), want);
}

TEST_F(integer_test, comparison) {
  struct row {
    cell a, b;
    int32_t op, want;
  };
  const row rows[] = {
      {integer(1), integer(2), COMP_LESSER, -1},
      {integer(INT_MIN), integer(INT_MAX), COMP_SORT, -1},
      {integer(97), testing::character('a'), COMP_EQUAL, 0},
      {integer(97), testing::character('a'), COMP_STRICT_EQUAL, 1},
      {integer(1), number(1.0), COMP_EQUAL, 0},
      {integer(1), number(1.0), COMP_FIND, 1},
      {integer(2), number(1.5), COMP_GREATER, 1},
      {integer(1), number(NAN), COMP_LESSER, 1},
      {integer(1), logic::true_value, COMP_EQUAL, -2},
  };
  for (const row& r : rows) EXPECT_EQ(actions::compare_value(&r.a, &r.b, r.op), r.want) << r.op;
}

}  // namespace
}  // namespace kez
