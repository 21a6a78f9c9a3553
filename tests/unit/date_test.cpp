// date! and time!: the calendar, fields, text, construction, arithmetic
// and comparison.
#include <gtest/gtest.h>

#include <cmath>

#include "scalars_fixture.h"

namespace kez {
namespace {

using testing::apply;
using testing::date_of;
using testing::date_time;
using testing::error_of;
using testing::float_value;
using testing::formed;
using testing::held;
using testing::integer;
using testing::make_value;
using testing::path_step;
using testing::time_of;
using testing::word;

class date_test : public testing::scalars_test {};

std::pair<int, int> script(int id) { return {err::cat_script, id}; }

TEST_F(date_test, day_numbers_round_trip_over_twenty_thousand_years) {
  int64_t previous = date::day_number(-10000, 12, 31);
  for (int32_t y = -9999; y <= 9999; ++y) {
    for (int32_t m = 1; m <= 12; ++m) {
      int32_t days = m == 2 ? (date::leap_year_q(y) ? 29 : 28) : (m == 4 || m == 6 || m == 9 || m == 11) ? 30 : 31;
      for (int32_t d = 1; d <= days; ++d) {
        int64_t n = date::day_number(y, m, d);
        ASSERT_EQ(n, previous + 1) << y << "-" << m << "-" << d;
        previous = n;
        uint32_t p = date::from_day_number(n, 0);
        ASSERT_EQ(date::year_of(p), y);
        ASSERT_EQ(date::month_of(p), m);
        ASSERT_EQ(date::day_of(p), d);
      }
    }
  }
  EXPECT_EQ(date::day_number(0, 3, 1), 0);
  EXPECT_EQ(date::weekday(0), 3);  // 1 March of year 0 is a Wednesday
}

TEST_F(date_test, text) {
  struct row {
    cell value;
    const char* text;
  };
  const row rows[] = {
      {date_of(2024, 3, 15), "15-Mar-2024"},
      {date_of(50, 1, 1), "1-Jan-0050"},
      {date_of(0, 6, 9), "9-Jun-0000"},
      {date_of(-5, 1, 1), "1/Jan/-5"},
      {date_time(2024, 3, 15, 10 * 3600 + 30 * 60, 1), "15-Mar-2024/10:30:00+01:00"},
      {date_time(2024, 3, 15, 0, -5, 30), "15-Mar-2024/0:00:00-05:30"},
      {date_time(1999, 12, 31, 86399.5), "31-Dec-1999/23:59:59.5"},
  };
  for (const row& r : rows) {
    EXPECT_EQ(formed(&r.value), r.text);
    EXPECT_EQ(formed(&r.value, true), r.text);
  }
  system_stub::set_month_name(3, nullptr);
  cell march = date_of(2024, 3, 1);
  EXPECT_EQ(error_of([&] { formed(&march); }), script(err::script::invalid_months));
}

TEST_F(date_test, reading_fields) {
  cell d = date_time(2021, 1, 1, 9 * 3600 + 5 * 60 + 7.25, 2);
  struct row {
    const char* field;
    const char* text;
  };
  const row rows[] = {
      {"date", "1-Jan-2021"}, {"year", "2021"},        {"month", "1"},        {"day", "1"},
      {"zone", "2:00:00"},    {"time", "9:05:07.25"},  {"hour", "9"},         {"minute", "5"},
      {"second", "7.25"},     {"weekday", "5"},        {"yearday", "1"},      {"julian", "1"},
      {"timezone", "2:00:00"}, {"week", "1"},          {"isoweek", "53"},
  };
  for (const row& r : rows) {
    cell copy = d;
    cell v = path_step(copy, word(r.field));
    EXPECT_EQ(formed(&v), r.text) << r.field;
  }
  const std::pair<cell, int32_t> isoweeks[] = {
      {date_of(2021, 1, 4), 1},  {date_of(2021, 1, 3), 53}, {date_of(2022, 1, 1), 52},
      {date_of(2021, 1, 2), 53}, {date_of(2016, 1, 2), 53},  // a Saturday after a leap year
      {date_of(2024, 12, 30), 1}, {date_of(2020, 12, 31), 53},
  };
  for (auto [value, week] : isoweeks) {
    cell v = path_step(value, integer(14));
    EXPECT_EQ(integer::get(&v), week) << formed(&value);
  }
  cell plain = date_of(2024, 1, 1);
  cell none = path_step(plain, word("time"));
  EXPECT_EQ(type_of(&none), TYPE_NONE);
  EXPECT_EQ(error_of([&] { path_step(plain = date_of(2024, 1, 1), word("fortnight")); }),
            script(err::script::invalid_path));
  EXPECT_EQ(error_of([&] { path_step(plain = date_of(2024, 1, 1), integer(15)); }),
            script(err::script::invalid_path));
}

TEST_F(date_test, setting_fields) {
  struct row {
    cell start;
    const char* field;
    cell value;
    const char* text;
  };
  const row rows[] = {
      {date_of(2024, 1, 31), "month", integer(2), "2-Mar-2024"},
      {date_of(2024, 5, 15), "month", integer(14), "15-Feb-2025"},
      {date_of(2024, 5, 15), "month", integer(0), "15-Dec-2023"},
      {date_of(2024, 5, 15), "month", integer(-11), "15-Jan-2023"},
      {date_of(2024, 5, 15), "month", integer(-12), "15-Dec-2022"},
      {date_of(2024, 5, 15), "month", integer(-23), "15-Jan-2022"},
      {date_of(2024, 3, 10), "day", integer(0), "29-Feb-2024"},
      {date_of(2024, 3, 10), "day", integer(32), "1-Apr-2024"},
      {date_of(2024, 2, 29), "year", integer(2023), "1-Mar-2023"},
      {date_of(2024, 3, 13), "weekday", integer(1), "11-Mar-2024"},
      {date_of(2024, 3, 13), "yearday", integer(60), "29-Feb-2024"},
      {date_of(2024, 3, 13), "week", integer(2), "7-Jan-2024"},
      {date_of(2024, 3, 13), "isoweek", integer(1), "1-Jan-2024"},
      {date_of(2024, 3, 13), "date", date_of(2020, 2, 2), "2-Feb-2020"},
      {date_time(2024, 3, 13, 3600, 1), "zone", integer(3), "13-Mar-2024/1:00:00+03:00"},
      {date_time(2024, 3, 13, 3600, 1), "timezone", integer(3), "13-Mar-2024/3:00:00+03:00"},
      {date_time(2024, 3, 13, 3600), "timezone", integer(-2), "12-Mar-2024/23:00:00-02:00"},
      {date_time(2024, 3, 13, 3600), "zone", time_of(-(5 * 3600 + 45 * 60)), "13-Mar-2024/1:00:00-05:45"},
      {date_time(2024, 3, 13, 3600), "zone", integer(17), "13-Mar-2024/1:00:00+01:00"},  // modulo 16
      {date_of(2024, 3, 13), "time", time_of(25 * 3600), "14-Mar-2024/1:00:00"},
      {date_time(2024, 3, 13, 3600), "time", cell{TYPE_NONE, 0, 0, 0}, "13-Mar-2024"},
      {date_time(2024, 3, 13, 3600, 2), "hour", integer(23), "13-Mar-2024/23:00:00+02:00"},
      {date_of(2024, 3, 13), "minute", integer(90), "13-Mar-2024/1:30:00"},
  };
  for (const row& r : rows) {
    cell d = r.start;
    path_step(d, word(r.field), &r.value);
    EXPECT_EQ(formed(&d), r.text) << formed(&r.start) << " " << r.field;
  }
  cell d = date_of(2024, 3, 13);
  const cell too_far = time_of(16 * 3600);
  EXPECT_EQ(error_of([&] { path_step(d, word("zone"), &too_far); }), script(err::script::invalid_arg));
  const cell text = *testing::text("x");
  EXPECT_EQ(error_of([&] { path_step(d, word("year"), &text); }), script(err::script::invalid_arg));
  EXPECT_EQ(formed(&d), "13-Mar-2024");  // a refused value changes nothing
}

TEST_F(date_test, make_and_to) {
  struct row {
    const cell* spec;
    const char* make;  // null: bad-to-arg
    const char* to;
  };
  const row rows[] = {
      {testing::ints({31, 2, 2023}), nullptr, "3-Mar-2023"},
      {testing::ints({2024, 3, 15}), "15-Mar-2024", "15-Mar-2024"},
      {testing::ints({15, 3, 2024, 10, 30, 5}), "15-Mar-2024/10:30:05", "15-Mar-2024/10:30:05"},
      {testing::block_of({integer(15), integer(3), integer(2024), integer(10), integer(30), float_value(5.5),
                           integer(-2), integer(30)}),
       "15-Mar-2024/10:30:05.5-02:30", "15-Mar-2024/10:30:05.5-02:30"},
      {testing::block_of({integer(1), integer(1), integer(2024), time_of(3600), time_of(-3600)}),
       "1-Jan-2024/1:00:00-01:00", "1-Jan-2024/1:00:00-01:00"},
      {testing::ints({1, 1, 2024, 25, 0, 0}), nullptr, "2-Jan-2024/1:00:00"},
      {testing::ints({1, 13, 2024}), nullptr, "1-Jan-2025"},
      {testing::ints({1, 1}), nullptr, nullptr},
      {testing::block_of({integer(1), integer(1), float_value(2024.0)}), nullptr, nullptr},
      {testing::ints({1, 1, 2024, 1, 2, 3, 4, 5, 6}), nullptr, nullptr},
      {held(integer(0)), "1-Jan-1970/0:00:00", "1-Jan-1970/0:00:00"},
      {held(integer(-1)), "31-Dec-1969/23:59:59", "31-Dec-1969/23:59:59"},
      {held(integer(86400 * 365)), "1-Jan-1971/0:00:00", "1-Jan-1971/0:00:00"},
      {held(float_value(1.0)), nullptr, nullptr},
  };
  for (const row& r : rows) {
    for (bool make : {true, false}) {
      const char* expected = make ? r.make : r.to;
      if (expected) {
        cell d = make_value(TYPE_DATE, *r.spec, make);
        EXPECT_EQ(formed(&d), expected) << formed(r.spec, true) << (make ? " make" : " to");
      } else {
        EXPECT_EQ(error_of([&] { make_value(TYPE_DATE, *r.spec, make); }), script(err::script::bad_to_arg))
            << formed(r.spec, true) << (make ? " make" : " to");
      }
    }
  }
  cell zone16 = *testing::ints({1, 1, 2024, 1, 0, 0, 16});
  EXPECT_EQ(error_of([&] { make_value(TYPE_DATE, zone16, false); }), script(err::script::invalid_arg));
  cell d;
  EXPECT_EQ(error_of([&] { date::make_at_fields(&d, 2024, 1, 1, 0, 20 * 60, true); }),
            script(err::script::invalid_arg));
}

TEST_F(date_test, arithmetic) {
  cell diff = apply<ACT_SUBTRACT>(date_of(2024, 3, 2), date_of(2024, 2, 28));
  ASSERT_EQ(type_of(&diff), TYPE_INTEGER);
  EXPECT_EQ(integer::get(&diff), 3);
  // An earlier time of day borrows a day.
  diff = apply<ACT_SUBTRACT>(date_time(2024, 3, 2, 3600), date_time(2024, 2, 28, 7200));
  EXPECT_EQ(integer::get(&diff), 2);

  struct row {
    cell a, b;
    bool add;
    const char* text;
  };
  const row rows[] = {
      {date_of(2024, 2, 28), integer(2), true, "1-Mar-2024"},
      {date_of(2024, 3, 1), integer(1), false, "29-Feb-2024"},
      {date_of(2024, 3, 1), time_of(-3600), true, "29-Feb-2024/23:00:00"},
      {date_time(2024, 3, 1, 0, 5), time_of(3600), false, "29-Feb-2024/23:00:00+05:00"},
  };
  for (const row& r : rows) {
    cell out = r.add ? apply<ACT_ADD>(r.a, r.b) : apply<ACT_SUBTRACT>(r.a, r.b);
    EXPECT_EQ(formed(&out), r.text) << formed(&r.a);
  }
  cell swapped = apply<ACT_ADD>(integer(1), date_of(2024, 12, 31));
  EXPECT_EQ(formed(&swapped), "1-Jan-2025");
  cell time_first = apply<ACT_ADD>(time_of(3600), date_of(2024, 12, 31));
  EXPECT_EQ(formed(&time_first), "31-Dec-2024/1:00:00");

  EXPECT_EQ(error_of([&] { apply<ACT_ADD>(date_of(2024, 1, 1), date_of(2024, 1, 1)); }),
            script(err::script::not_related));
  EXPECT_EQ(error_of([&] { apply<ACT_ADD>(date_of(2024, 1, 1), float_value(1)); }),
            script(err::script::invalid_type));
  EXPECT_EQ(error_of([&] { apply<ACT_SUBTRACT>(time_of(1), date_of(2024, 1, 1)); }),
            script(err::script::not_related));

  cell later = date_time(2024, 3, 2, 90);
  cell earlier = date_time(2024, 3, 1, 30);
  date::difference(&later, &earlier);
  EXPECT_EQ(formed(&later), "24:01:00");
}

TEST_F(date_test, epoch_seconds) {
  const std::pair<cell, int32_t> rows[] = {
      {date_time(1970, 1, 1, 0), 0},
      {date_time(1969, 12, 31, 86399), -1},
      {date_time(1969, 12, 31, 86399.2), -1},  // floored, not truncated toward zero
      {date_time(1970, 1, 1, 0.7), 1},
      {date_time(2038, 1, 19, 3 * 3600 + 14 * 60 + 7), INT32_MAX},
      {date_time(1970, 1, 1, 3600, 1), 0},
  };
  for (auto [value, seconds] : rows) EXPECT_EQ(date::to_epoch(&value), seconds) << formed(&value);
  cell beyond = date_time(2038, 1, 19, 3 * 3600 + 14 * 60 + 8);
  EXPECT_EQ(error_of([&] { date::to_epoch(&beyond); }), script(err::script::type_limit));
}

TEST_F(date_test, comparison) {
  struct row {
    cell a, b;
    int32_t op, answer;
  };
  const row rows[] = {
      {date_of(2024, 1, 1), date_of(2024, 1, 2), COMP_LESSER, -1},
      {date_of(2024, 1, 1), date_time(2024, 1, 1, 0), COMP_EQUAL, 0},
      // The same instant in two zones.
      {date_time(2024, 1, 1, 1800, 1), date_time(2023, 12, 31, 23 * 3600 + 1800), COMP_EQUAL, 0},
      {date_time(2024, 1, 1, 1800, 1), date_time(2023, 12, 31, 23 * 3600 + 1800), COMP_SAME, 1},
      {date_time(2024, 1, 1, 3600, 2), date_time(2024, 1, 1, 0), COMP_LESSER, -1},
      {date_time(2024, 1, 1, 0.1 + 0.2), date_time(2024, 1, 1, 0.3), COMP_EQUAL, 0},
      {date_of(2024, 1, 1), integer(1), COMP_EQUAL, -2},
  };
  for (const row& r : rows)
    EXPECT_EQ(date::compare(&r.a, &r.b, r.op), r.answer) << formed(&r.a) << " op " << r.op;
}

TEST_F(date_test, random_dates_stay_before_the_value) {
  const int rounds = std::getenv("KEZ_GC_STRESS") ? 20 : 200;
  cell limit = date_of(2024, 6, 1);
  for (int i = 0; i < rounds; ++i) {
    cell d = limit;
    actions::dispatch<ACT_RANDOM>(&d, false, false, false);
    EXPECT_LT(date::day_number(d.w1), date::day_number(limit.w1));
    EXPECT_GE(date::day_number(d.w1), 0);
  }
  cell timed = date_time(2024, 6, 1, 0);
  actions::dispatch<ACT_RANDOM>(&timed, false, false, false);
  double local = time::get(&timed) + date::zone_seconds(timed.w1);
  EXPECT_TRUE(local >= 0 && local < 86400) << formed(&timed);
}

// --- time! -----------------------------------------------------------------------

TEST_F(date_test, time_text_and_construction) {
  const std::pair<double, const char*> texts[] = {
      {3723, "1:02:03"}, {0, "0:00:00"}, {36003.5, "10:00:03.5"}, {-1800, "-0:30:00"},
      {360000, "100:00:00"}, {1e-7, "0:00:00"}, {-5400, "-1:30:00"}, {59.25, "0:00:59.25"},
  };
  for (auto [seconds, text] : texts) {
    cell t = time_of(seconds);
    EXPECT_EQ(formed(&t), text) << seconds;
  }
  struct row {
    const cell* spec;
    double seconds;  // NAN: bad-to-arg
  };
  const row rows[] = {
      {testing::block_of({integer(1), integer(2), float_value(3.5)}), 3723.5},
      {testing::ints({-1, 30}), -5400},
      {testing::ints({0, -1}), NAN},
      {testing::ints({1, 2, 3, 4}), NAN},
      {testing::block_of({float_value(1), integer(2)}), NAN},
      {testing::ints({2}), 7200},
      {held(integer(90)), 90},
      {held(float_value(1.5)), 1.5},
      {held(testing::number(0.5, TYPE_PERCENT)), 0.5},
      {testing::text("1:00"), NAN},  // nothing loads text yet
  };
  for (const row& r : rows) {
    if (std::isnan(r.seconds)) {
      EXPECT_EQ(error_of([&] { make_value(TYPE_TIME, *r.spec); }), script(err::script::bad_to_arg))
          << formed(r.spec, true);
    } else {
      cell t = make_value(TYPE_TIME, *r.spec);
      EXPECT_EQ(type_of(&t), TYPE_TIME);
      EXPECT_DOUBLE_EQ(time::get(&t), r.seconds) << formed(r.spec, true);
    }
  }
}

TEST_F(date_test, time_fields) {
  const double samples[] = {3723.5, -5400, -1800.25, 0, 86399.999, -7322};
  for (double s : samples) {
    for (const char* field : {"hour", "minute", "second"}) {
      cell t = time_of(s);
      cell v = path_step(t, word(field));
      cell back = time_of(s);
      path_step(back, word(field), &v);
      EXPECT_EQ(time::get(&back), s) << field << " of " << s;  // writing what was read changes nothing
    }
  }
  struct row {
    double start;
    const char* field;
    cell value;
    const char* text;
  };
  const row rows[] = {
      {3600, "minute", integer(75), "2:15:00"},
      {3600, "hour", integer(5), "5:00:00"},
      {-5400, "hour", integer(-3), "-3:30:00"},
      {3723, "second", float_value(0.5), "1:02:00.5"},
  };
  for (const row& r : rows) {
    cell t = time_of(r.start);
    path_step(t, word(r.field), &r.value);
    EXPECT_EQ(formed(&t), r.text) << r.start << " " << r.field;
  }
  cell t = time_of(3600);
  const cell half = float_value(0.5);
  EXPECT_EQ(error_of([&] { path_step(t, word("hour"), &half); }), script(err::script::invalid_arg));
  const cell day = word("day");
  EXPECT_EQ(error_of([&] { actions::dispatch<ACT_PICK>(&t, 0, &day); }), script(err::script::cannot_use));
  t = time_of(1);
  cell four = integer(4);
  EXPECT_EQ(error_of([&] { actions::dispatch<ACT_PICK>(&t, 4, static_cast<const cell*>(&four)); }),
            script(err::script::out_of_range));
}

TEST_F(date_test, time_arithmetic) {
  cell ratio = apply<ACT_DIVIDE>(time_of(3600), time_of(1800));
  ASSERT_EQ(type_of(&ratio), TYPE_FLOAT);
  EXPECT_DOUBLE_EQ(float_::get(&ratio), 2.0);
  cell doubled = apply<ACT_MULTIPLY>(time_of(1800), integer(2));
  EXPECT_EQ(formed(&doubled), "1:00:00");
  EXPECT_EQ(error_of([&] { apply<ACT_MULTIPLY>(time_of(1), time_of(1)); }), script(err::script::not_related));
  cell rounded = time_of(3723.6);
  time::round(&rounded, nullptr, false, false, false, false, false, false);
  EXPECT_EQ(type_of(&rounded), TYPE_TIME);
  EXPECT_EQ(formed(&rounded), "1:02:04");
  cell usd = testing::money_of("$1");
  EXPECT_EQ(error_of([&] { time::round(&rounded, &usd, false, false, false, false, false, false); }),
            script(err::script::not_related));
  // Times beyond a 32-bit hour print, but have no fields.
  cell endless = time_of(INFINITY);
  EXPECT_EQ(formed(&endless), "1.#INF");
  cell far = time_of(1e300);
  EXPECT_EQ(formed(&far).size(), 303u);
  EXPECT_EQ(error_of([&] { path_step(far, word("hour")); }), script(err::script::type_limit));
  EXPECT_EQ(error_of([&] { time::even_q(&endless); }), script(err::script::type_limit));
  EXPECT_EQ(error_of([&] { apply<ACT_ADD>(testing::date_of(2024, 1, 1), far); }), script(err::script::type_limit));
  const std::pair<double, bool> evens[] = {{4, true}, {5, false}, {5.9999999, true}, {-3, false}, {62, true}};
  for (auto [s, even] : evens) {
    cell t = time_of(s);
    EXPECT_EQ(time::even_q(&t), even) << s;
  }
}

}  // namespace
}  // namespace kez
