// money!: exact decimal text, arithmetic limits, currencies, rounding and
// comparison with other numbers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "scalars_fixture.h"

namespace kez {
namespace {

using testing::apply;
using testing::error_of;
using testing::float_value;
using testing::formed;
using testing::held;
using testing::integer;
using testing::make_value;
using testing::molded_all;
using testing::money_of;
using testing::word;

class money_test : public testing::scalars_test {};

std::pair<int, int> script(int id) { return {err::cat_script, id}; }

TEST_F(money_test, text_forms) {
  struct row {
    const char* literal;
    const char* form;
    const char* mold;
    const char* mold_all;
  };
  const row rows[] = {
      {"$1234567", "$1'234'567.00", "$1234567.00", "$1234567.00000"},
      {"USD$1234.5", "USD$1'234.50", "USD$1234.50", "USD$1234.50000"},
      {"-$0.5", "-$0.50", "-$0.50", "-$0.50000"},
      {"$0", "$0.00", "$0.00", "$0.00000"},
      {"$123", "$123.00", "$123.00", "$123.00000"},
      {"$1000", "$1'000.00", "$1000.00", "$1000.00000"},
      {"$0.00001", "$0.00", "$0.00", "$0.00001"},
      {"$99999999999999999.99999", "$99'999'999'999'999'999.99", "$99999999999999999.99",
       "$99999999999999999.99999"},
  };
  for (const row& r : rows) {
    cell m = money_of(r.literal);
    EXPECT_EQ(formed(&m), r.form) << r.literal;
    EXPECT_EQ(formed(&m, true), r.mold) << r.literal;
    EXPECT_EQ(molded_all(&m), r.mold_all) << r.literal;
  }
}

TEST_F(money_test, fraction_digits_follow_the_option) {
  cell m = money_of("$1.23456");
  const std::pair<int32_t, const char*> rows[] = {{0, "$1"}, {3, "$1.234"}, {9, "$1.23456"}, {-1, "$1"}};
  for (auto [digits, text] : rows) {
    system_stub::set_money_digits(true, digits);
    EXPECT_EQ(formed(&m, true), text) << digits;
  }
  system_stub::set_money_digits(false, 0);  // not an integer: 2 digits
  EXPECT_EQ(formed(&m, true), "$1.23");
}

TEST_F(money_test, arithmetic) {
  cell third = apply<ACT_DIVIDE>(money_of("USD$1"), integer(3));
  EXPECT_EQ(molded_all(&third), "USD$0.33333");
  EXPECT_EQ(formed(&third, true), "USD$0.33");

  struct row {
    const char* a;
    cell b;
    uint32_t action;
    const char* mold_all;
  };
  const row rows[] = {
      {"USD$1", money_of("$1"), ACT_ADD, "USD$2.00000"},
      {"$1", money_of("EUR$1"), ACT_ADD, "EUR$2.00000"},
      {"$1.5", money_of("$2.25"), ACT_SUBTRACT, "-$0.75000"},
      {"-$1.5", money_of("-$2.25"), ACT_SUBTRACT, "$0.75000"},
      {"$2.5", integer(-4), ACT_MULTIPLY, "-$10.00000"},
      {"$1.5", float_value(0.25), ACT_MULTIPLY, "$0.37500"},
      {"$7", integer(2), ACT_REMAINDER, "$1.00000"},
      {"-$7.5", money_of("$2"), ACT_REMAINDER, "-$1.50000"},
      {"$10", float_value(1e-5), ACT_ADD, "$10.00001"},
      {"$0", money_of("-$3"), ACT_SUBTRACT, "$3.00000"},
      {"$1", float_value(0.1234567), ACT_ADD, "$1.12345"},  // extra digits truncated
  };
  for (const row& r : rows) {
    cell m = money_of(r.a);
    cell* out = nullptr;
    switch (r.action) {
      case ACT_ADD: out = actions::dispatch<ACT_ADD>(&m, &r.b); break;
      case ACT_SUBTRACT: out = actions::dispatch<ACT_SUBTRACT>(&m, &r.b); break;
      case ACT_MULTIPLY: out = actions::dispatch<ACT_MULTIPLY>(&m, &r.b); break;
      case ACT_REMAINDER: out = actions::dispatch<ACT_REMAINDER>(&m, &r.b); break;
    }
    EXPECT_EQ(molded_all(out), r.mold_all) << r.a << " action " << r.action;
  }

  // A number on the left meets money through the number's own body.
  cell sum = apply<ACT_ADD>(integer(2), money_of("USD$0.5"));
  EXPECT_EQ(molded_all(&sum), "USD$2.50000");
  cell ratio = apply<ACT_DIVIDE>(money_of("$1"), money_of("$3"));
  ASSERT_EQ(type_of(&ratio), TYPE_FLOAT);
  EXPECT_DOUBLE_EQ(float_::get(&ratio), 0.33333);
}

TEST_F(money_test, arithmetic_failures) {
  struct row {
    const char* a;
    cell b;
    uint32_t action;
    std::pair<int, int> error;
  };
  const row rows[] = {
      {"USD$1", money_of("EUR$1"), ACT_ADD, script(err::script::wrong_denom)},
      {"$99999999999999999", integer(1), ACT_ADD, script(err::script::type_limit)},
      {"$90000000000000000", money_of("$10000000000000000"), ACT_ADD, script(err::script::type_limit)},
      {"-$99999999999999999", integer(1), ACT_SUBTRACT, script(err::script::type_limit)},
      {"$1", money_of("$1"), ACT_MULTIPLY, script(err::script::invalid_type)},
      {"$0.00001", float_value(0.1), ACT_MULTIPLY, script(err::script::type_limit)},  // underflow
      {"$10000000000", integer(100000000), ACT_MULTIPLY, script(err::script::type_limit)},
      {"$1", integer(0), ACT_DIVIDE, {err::cat_math, err::math::zero_divide}},
      {"$0.00001", integer(3), ACT_DIVIDE, script(err::script::type_limit)},  // underflow
      {"$1", testing::character('a'), ACT_ADD, script(err::script::invalid_type)},
      {"$1", float_value(1e17), ACT_ADD, script(err::script::bad_make_arg)},
  };
  for (const row& r : rows) {
    cell m = money_of(r.a);
    auto e = error_of([&] {
      switch (r.action) {
        case ACT_ADD: actions::dispatch<ACT_ADD>(&m, &r.b); break;
        case ACT_SUBTRACT: actions::dispatch<ACT_SUBTRACT>(&m, &r.b); break;
        case ACT_MULTIPLY: actions::dispatch<ACT_MULTIPLY>(&m, &r.b); break;
        case ACT_DIVIDE: actions::dispatch<ACT_DIVIDE>(&m, &r.b); break;
      }
    });
    EXPECT_EQ(e, r.error) << r.a << " action " << r.action;
  }
  // A number divided by money has no meaning.
  EXPECT_EQ(error_of([&] { apply<ACT_DIVIDE>(integer(1), money_of("$2")); }), script(err::script::invalid_type));
}

TEST_F(money_test, conversions) {
  cell m;
  money::from_integer(&m, INT32_MIN);
  EXPECT_EQ(molded_all(&m), "-$2147483648.00000");
  EXPECT_EQ(money::to_integer(&m), INT32_MIN);

  cell big = money_of("-$2147483648.5");
  EXPECT_EQ(money::to_integer(&big), INT32_MIN);
  cell big_positive = money_of("$2147483648.5");
  EXPECT_EQ(error_of([&] { money::to_integer(&big_positive); }), script(err::script::type_limit));
  cell top = money_of("$2147483647.99999");
  EXPECT_EQ(money::to_integer(&top), INT32_MAX);  // the fraction is dropped

  EXPECT_DOUBLE_EQ(money::to_float(&big), -2147483648.5);
  cell tiny = money_of("$0.00001");
  EXPECT_DOUBLE_EQ(money::to_float(&tiny), 1e-5);

  const double refused[] = {1e17, -1e17, 1e-6, INFINITY, NAN};
  for (double d : refused)
    EXPECT_EQ(error_of([&] { money::from_float(&m, d, false); }), script(err::script::bad_make_arg)) << d;
  EXPECT_EQ(error_of([&] { money::from_float(&m, 0.123456, true); }), script(err::script::bad_make_arg));
  money::from_float(&m, -0.123456, false);
  EXPECT_EQ(molded_all(&m), "-$0.12345");
  money::from_float(&m, 12345678901234567.0 / 10, true);
  EXPECT_EQ(molded_all(&m), "$1234567890123456.80000");
}

TEST_F(money_test, make_and_to) {
  cell usd = word("usd"), zzz = word("ZZZ");
  struct row {
    const cell* spec;
    const char* mold_all;  // null: bad-make-arg
  };
  const row rows[] = {
      {testing::block_of({word("USD"), integer(1), integer(50)}), "USD$1.00050"},
      {testing::ints({1, 50000}), "$1.50000"},
      {testing::ints({-1, 50000}), "-$1.50000"},
      {testing::block_of({usd, float_value(2.5)}), "USD$2.50000"},
      {testing::block_of({float_value(2.5), integer(1)}), nullptr},
      {testing::ints({1, 100000}), nullptr},
      {testing::ints({1, -1}), nullptr},
      {testing::ints({1, 2, 3}), nullptr},
      {testing::block_of({usd}), nullptr},
      {testing::block_of({zzz, integer(1)}), nullptr},
      {testing::ints({}), nullptr},
      {held(usd), "USD$0.00000"},
      {held(zzz), nullptr},
      {held(integer(-7)), "-$7.00000"},
      {held(float_value(0.123456)), nullptr},
  };
  for (const row& r : rows) {
    if (r.mold_all) {
      cell m = make_value(TYPE_MONEY, *r.spec);
      EXPECT_EQ(molded_all(&m), r.mold_all);
    } else {
      EXPECT_EQ(error_of([&] { make_value(TYPE_MONEY, *r.spec); }), script(err::script::bad_make_arg))
          << formed(r.spec, true);
    }
  }
  EXPECT_EQ(error_of([&] { make_value(TYPE_MONEY, *testing::text("$1"), false); }),
            script(err::script::bad_to_arg));
  system_stub::hooks.scan_money = [](const cell*, cell* out) {
    *out = money_of("EUR$3.25");
    return true;
  };
  cell scanned = make_value(TYPE_MONEY, *testing::text("EUR$3.25"), false);
  EXPECT_EQ(molded_all(&scanned), "EUR$3.25000");
}

TEST_F(money_test, rounding) {
  struct row {
    const char* value;
    cell scale;  // none: no /to
    const char* mode;
    const char* mold_all;
  };
  cell none = cell{TYPE_NONE, 0, 0, 0};
  const row rows[] = {
      {"$1.25", float_value(0.1), "", "$1.30000"},
      {"$2.5", none, "even", "$2.00000"},
      {"$3.5", none, "even", "$4.00000"},
      {"$16.50", integer(10), "even", "$20.00000"},
      {"$25", integer(10), "even", "$20.00000"},
      {"$35", integer(10), "even", "$40.00000"},
      {"$25", integer(10), "half-down", "$20.00000"},
      {"$25", integer(10), "", "$30.00000"},
      {"-$25", integer(10), "half-ceiling", "-$20.00000"},
      {"-$2.5", none, "", "-$3.00000"},
      {"-$2.4", none, "floor", "-$3.00000"},
      {"$2.4", none, "ceiling", "$3.00000"},
      {"$2", none, "ceiling", "$2.00000"},  // already whole: unchanged
      {"-$2", none, "floor", "-$2.00000"},
      {"$2.9", none, "down", "$2.00000"},
      {"USD$7.77", money_of("$0.05"), "", "USD$7.75000"},
      {"$0", integer(10), "", "$0.00000"},
      {"$5.5", integer(0), "", "$5.50000"},
  };
  for (const row& r : rows) {
    cell m = money_of(r.value);
    std::string mode = r.mode;
    const cell* scale = type_of(&r.scale) == TYPE_NONE ? nullptr : &r.scale;
    cell* out = actions::dispatch<ACT_ROUND>(&m, scale, mode == "even", mode == "down", mode == "half-down",
                                             mode == "floor", mode == "ceiling", mode == "half-ceiling");
    EXPECT_EQ(molded_all(out), r.mold_all) << r.value << " " << r.mode;
  }
  cell m = money_of("$99999999999999999.5");
  EXPECT_EQ(error_of([&] { money::round(&m, nullptr, false, false, false, false, false, false); }),
            script(err::script::type_limit));
  cell pair = testing::pair_of(1, 1);
  EXPECT_EQ(error_of([&] { money::round(&m, &pair, false, false, false, false, false, false); }),
            script(err::script::not_related));
}

TEST_F(money_test, comparison) {
  struct row {
    cell a, b;
    int32_t op, answer;
  };
  const row rows[] = {
      {money_of("$1"), money_of("$2"), COMP_LESSER, -1},
      {money_of("-$1"), money_of("-$2"), COMP_LESSER, 1},
      {money_of("-$1"), money_of("$0"), COMP_LESSER, -1},
      {money_of("USD$1"), money_of("$1"), COMP_EQUAL, 0},
      {money_of("USD$1"), money_of("EUR$1"), COMP_EQUAL, 1},
      {money_of("USD$1"), money_of("$1"), COMP_STRICT_EQUAL, 1},
      {money_of("$1"), money_of("USD$1"), COMP_FIND, 1},
      {money_of("USD$1"), money_of("$1"), COMP_FIND, 0},
      {money_of("$5"), money_of("USD$1"), COMP_SORT, -1},  // no currency sorts first
      {money_of("EUR$5"), money_of("USD$1"), COMP_SORT, -1},
      {money_of("$1"), integer(1), COMP_EQUAL, 0},
      {money_of("$1"), integer(1), COMP_STRICT_EQUAL, 1},
      {money_of("$1.5"), float_value(1.5), COMP_EQUAL, 0},
      {money_of("$0"), float_value(0.000001), COMP_EQUAL, -1},  // unequal
      {money_of("$0"), float_value(0.000001), COMP_LESSER, -1},
      {money_of("$0"), float_value(-0.000001), COMP_GREATER, 1},
      {money_of("-$1"), float_value(0.000001), COMP_LESSER, -1},
      {money_of("$1"), float_value(-0.000001), COMP_GREATER, 1},
      {money_of("$5"), float_value(1e20), COMP_LESSER, -1},
      {money_of("$5"), float_value(-1e20), COMP_GREATER, 1},
      {money_of("$5"), float_value(INFINITY), COMP_LESSER, -1},
      {money_of("$5"), *testing::text("5"), COMP_EQUAL, -2},
  };
  for (const row& r : rows)
    EXPECT_EQ(money::compare(&r.a, &r.b, r.op), r.answer) << formed(&r.a, true) << " op " << r.op;

  cell usd = money_of("USD$1"), eur = money_of("EUR$1"), six = float_value(0.123456);
  EXPECT_EQ(error_of([&] { money::compare(&usd, &eur, COMP_LESSER); }), script(err::script::wrong_denom));
  EXPECT_EQ(error_of([&] { money::compare(&usd, &six, COMP_EQUAL); }), script(err::script::bad_make_arg));
  // Through the float side too: the number's compare defers to money's.
  cell one = integer(1);
  EXPECT_TRUE(actions::compare(&one, &usd, COMP_EQUAL));
  const row from_float[] = {
      {float_value(0.000001), money_of("$0"), COMP_GREATER, 1},
      {float_value(-0.000001), money_of("$0"), COMP_LESSER, -1},
      {float_value(0.000001), money_of("-$1"), COMP_GREATER, 1},
      {float_value(1e20), money_of("$5"), COMP_GREATER, 1},
  };
  for (const row& r : from_float)
    EXPECT_EQ(actions::compare_value(&r.a, &r.b, r.op), r.answer) << formed(&r.a, true);
}

TEST_F(money_test, paths_and_unary_actions) {
  cell m = money_of("-USD$2.5");
  cell code = testing::path_step(m = money_of("-USD$2.5"), integer(1));
  ASSERT_EQ(type_of(&code), TYPE_WORD);
  EXPECT_STREQ(testing::word_name(&code), "USD");
  cell amount = testing::path_step(m = money_of("-USD$2.5"), word("amount"));
  EXPECT_EQ(molded_all(&amount), "-$2.50000");
  cell plain = money_of("$1");
  EXPECT_EQ(type_of(&(code = testing::path_step(plain, word("code")))), TYPE_NONE);
  EXPECT_EQ(error_of([&] { testing::path_step(m = money_of("$1"), word("cents")); }),
            script(err::script::invalid_path));
  cell one = integer(1);
  EXPECT_EQ(error_of([&] { testing::path_step(m = money_of("$1"), word("amount"), &one); }),
            script(err::script::bad_path_set));
  EXPECT_EQ(error_of([&] {
              m = money_of("$1");
              actions::dispatch<ACT_PICK>(&m, 3, static_cast<const cell*>(nullptr));
            }),
            script(err::script::out_of_range));

  m = money_of("-$2.5");
  EXPECT_EQ(molded_all(actions::dispatch<ACT_ABSOLUTE>(&m)), "$2.50000");
  EXPECT_EQ(molded_all(actions::dispatch<ACT_NEGATE>(&m)), "-$2.50000");
  EXPECT_TRUE(money::negative_q(&m));
  cell zero = money_of("$0");
  actions::dispatch<ACT_NEGATE>(&zero);
  EXPECT_EQ(money::sign_q(&zero), 0);  // a flagged zero is still zero
  cell odd = money_of("$3.8"), even = money_of("$4.1");
  EXPECT_TRUE(actions::dispatch<ACT_ODD_Q>(static_cast<const cell*>(&odd)));
  EXPECT_TRUE(actions::dispatch<ACT_EVEN_Q>(static_cast<const cell*>(&even)));
}

TEST_F(money_test, currency_list) {
  EXPECT_EQ(system_stub::currency_count(), 170);
  EXPECT_STREQ(system_stub::currency_code(1), "AED");
  EXPECT_STREQ(system_stub::currency_code(170), "ZMW");
  EXPECT_EQ(system_stub::currency_code(171), nullptr);
  EXPECT_EQ(system_stub::currency_index("usd", 3), system_stub::currency_index("USD", 3));
  EXPECT_EQ(system_stub::currency_index("US", 2), -1);
  // Appending stops where the index would no longer fit the currency byte.
  EXPECT_FALSE(system_stub::add_currency("A1C"));
  char code[4] = "QAA";
  int added = 0;
  for (; system_stub::add_currency(code); ++added) code[2] = char(code[2] == 'Z' ? (++code[1], 'A') : code[2] + 1);
  EXPECT_EQ(added, 85);
  EXPECT_EQ(system_stub::currency_count(), 255);
  cell last = money_of("$1");
  money::set_currency(&last, 255);
  EXPECT_EQ(formed(&last, true).substr(0, 3), system_stub::currency_code(255));
}

TEST_F(money_test, random_stays_within_the_value) {
  const int rounds = std::getenv("KEZ_GC_STRESS") ? 20 : 200;
  cell limit = money_of("EUR$12.34");
  for (int i = 0; i < rounds; ++i) {
    cell m = limit;
    actions::dispatch<ACT_RANDOM>(&m, false, false, false);
    EXPECT_EQ(money::currency_of(&m), money::currency_of(&limit));
    EXPECT_LE(money::compare(&m, &limit, COMP_SORT), 0) << molded_all(&m);
    EXPECT_GE(money::sign_q(&m), 0);
  }
  cell zero = money_of("USD$0");
  EXPECT_EQ(molded_all(actions::dispatch<ACT_RANDOM>(&zero, false, true, false)), "USD$0.00000");
  cell a = limit, b = limit;
  actions::dispatch<ACT_RANDOM>(&a, true, false, false);
  EXPECT_EQ(type_of(&a), TYPE_UNSET);
  actions::dispatch<ACT_RANDOM>(&b, true, false, false);
  cell x = limit, y = limit;
  actions::dispatch<ACT_RANDOM>(&x, false, false, false);
  random::seed(0);
  b = limit;
  actions::dispatch<ACT_RANDOM>(&b, true, false, false);
  actions::dispatch<ACT_RANDOM>(&y, false, false, false);
  EXPECT_EQ(molded_all(&x), molded_all(&y));  // the same seed, the same draw
}

}  // namespace
}  // namespace kez
