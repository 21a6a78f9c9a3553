// pair!, point2D!, point3D!, tuple!, percent! and triple!: construction,
// text, arithmetic, fields and comparison.
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
using testing::pair_of;
using testing::path_step;
using testing::point_of;
using testing::tuple_of;
using testing::word;

class coordinates_test : public testing::scalars_test {};

std::pair<int, int> script(int id) { return {err::cat_script, id}; }
const std::pair<int, int> malconstruct = {err::cat_syntax, err::syntax::malconstruct};

TEST_F(coordinates_test, pair_math) {
  struct row {
    cell a, b;
    int32_t op;
    const char* text;
  };
  const row rows[] = {
      {pair_of(3, 4), integer(2), OP_MULTIPLY, "6x8"},
      {pair_of(3, 4), float_value(0.5), OP_MULTIPLY, "(1.5, 2)"},
      {pair_of(3, 4), float_value(2), OP_DIVIDE, "(1.5, 2)"},
      {pair_of(3, 4), pair_of(1, 2), OP_SUBTRACT, "2x2"},
      {pair_of(7, 9), integer(2), OP_DIVIDE, "3x4"},
      {pair_of(7, 9), pair_of(4, 5), OP_REMAINDER, "3x4"},
      {pair_of(6, 5), integer(3), OP_AND, "2x1"},
      {pair_of(2147483647, 0), pair_of(1, 1), OP_ADD, "(2.147484e9, 1)"},  // a point, not a wrapped pair
      {pair_of(1, 2), point_of(0.5f, 0.5f), OP_ADD, "(1.5, 2.5)"},
      {pair_of(1, 2), float_value(2.9), OP_ADD, "3x4"},
      {point_of(1, 2), pair_of(1, 1), OP_ADD, "(2, 3)"},
      {point_of(1, 2), float_value(0.5), OP_MULTIPLY, "(0.5, 1)"},
      {point_of(1, 2, 3), integer(2), OP_SUBTRACT, "(-1, 0, 1)"},
      {point_of(1, 2, 3), point_of(1, 1, 2), OP_MULTIPLY, "(1, 2, 6)"},
  };
  for (const row& r : rows) {
    cell a = r.a;
    math::body_for(&a)(&a, &r.b, r.op);
    EXPECT_EQ(formed(&a), r.text) << formed(&r.a) << " op " << r.op << " " << formed(&r.b);
  }
  // Numbers on the left reach the same bodies.
  cell product = apply<ACT_MULTIPLY>(integer(2), pair_of(3, 4));
  EXPECT_EQ(formed(&product), "6x8");
  cell difference = apply<ACT_SUBTRACT>(integer(10), pair_of(3, 4));
  EXPECT_EQ(formed(&difference), "7x6");

  const cell nan = float_value(NAN), huge = float_value(1e10), text = *testing::text("1");
  cell p = pair_of(1, 1);
  EXPECT_EQ(error_of([&] { pair::do_math(&p, &nan, OP_MULTIPLY); }), script(err::script::invalid_arg));
  EXPECT_EQ(error_of([&] { pair::do_math(&(p = pair_of(1, 1)), &huge, OP_ADD); }), script(err::script::type_limit));
  EXPECT_EQ(error_of([&] { pair::do_math(&(p = pair_of(1, 1)), &text, OP_ADD); }), script(err::script::invalid_type));
}

TEST_F(coordinates_test, construction) {
  struct row {
    uint32_t type;
    const cell* spec;
    const char* text;  // null: the error below
    std::pair<int, int> error;
  };
  const row rows[] = {
      {TYPE_PAIR, held(integer(5)), "5x5", {}},
      {TYPE_PAIR, held(float_value(-2.7)), "-2x-2", {}},
      {TYPE_PAIR, held(float_value(3e9)), nullptr, script(err::script::type_limit)},
      {TYPE_PAIR, testing::block_of({integer(1), float_value(2.9), integer(7)}), "1x2", {}},
      {TYPE_PAIR, testing::ints({1}), nullptr, malconstruct},
      {TYPE_PAIR, held(point_of(1.9f, -1.9f)), "1x-1", {}},
      {TYPE_PAIR, held(point_of(INFINITY, 1)), nullptr, script(err::script::invalid_arg)},
      {TYPE_PAIR, held(point_of(4e9f, 1)), nullptr, script(err::script::type_limit)},
      {TYPE_PAIR, testing::text("1x2"), nullptr, script(err::script::bad_to_arg)},
      {TYPE_POINT2D, held(pair_of(3, 4)), "(3, 4)", {}},
      {TYPE_POINT2D, held(float_value(1.5)), "(1.5, 1.5)", {}},
      {TYPE_POINT3D, testing::block_of({integer(1), float_value(-2), integer(0)}), "(1, -2, 0)", {}},
      {TYPE_POINT3D, testing::ints({1, 2}), nullptr, malconstruct},
      {TYPE_POINT3D, held(pair_of(1, 2)), nullptr, script(err::script::bad_to_arg)},
      {TYPE_TUPLE, testing::ints({1, 2}), "1.2.0", {}},
      {TYPE_TUPLE, testing::block_of({testing::character('A'), float_value(9.9), integer(255)}), "65.9.255", {}},
      {TYPE_TUPLE, testing::ints({1, 256}), nullptr, script(err::script::bad_to_arg)},
      {TYPE_TUPLE, testing::ints({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}), nullptr, script(err::script::bad_to_arg)},
      {TYPE_TUPLE, held(word("F80", TYPE_ISSUE)), "255.136.0", {}},
      {TYPE_TUPLE, held(word("FFF", TYPE_ISSUE)), "255.255.255", {}},
      {TYPE_TUPLE, held(word("10203040", TYPE_ISSUE)), "16.32.48.64", {}},
      {TYPE_TUPLE, held(word("12345", TYPE_ISSUE)), nullptr, script(err::script::invalid_data)},
      {TYPE_TUPLE, held(word("12G", TYPE_ISSUE)), nullptr, script(err::script::invalid_data)},
      {TYPE_TUPLE, testing::bytes_value({1, 2}), "1.2.0", {}},
      {TYPE_TUPLE, testing::bytes_value({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}), "1.2.3.4.5.6.7.8.9.10.11.12", {}},
      {TYPE_TUPLE, held(integer(1)), nullptr, script(err::script::bad_to_arg)},
  };
  for (const row& r : rows) {
    if (r.text) {
      cell v = make_value(r.type, *r.spec);
      EXPECT_EQ(type_of(&v), r.type);
      EXPECT_EQ(formed(&v), r.text) << datatype::name(r.type);
    } else {
      EXPECT_EQ(error_of([&] { make_value(r.type, *r.spec); }), r.error)
          << datatype::name(r.type) << " " << formed(r.spec, true);
    }
  }
  system_stub::hooks.load_value = [](const cell*, cell* out) {
    *out = pair_of(1, 2);
    return true;
  };
  cell loaded = make_value(TYPE_PAIR, *testing::text("1x2"), false);
  EXPECT_EQ(formed(&loaded), "1x2");
}

TEST_F(coordinates_test, fields) {
  cell p = pair_of(3, 4);
  EXPECT_EQ(integer::get(&(p = path_step(p, word("y")))), 4);
  p = pair_of(3, 4);
  const cell seven = integer(7), half = float_value(0.5);
  path_step(p, word("x"), &seven);
  EXPECT_EQ(formed(&p), "7x4");
  EXPECT_EQ(error_of([&] { path_step(p, word("x"), &half); }), script(err::script::invalid_type));
  EXPECT_EQ(error_of([&] { path_step(p, word("z")); }), script(err::script::invalid_path));
  const cell z = word("z"), three = integer(3);
  EXPECT_EQ(error_of([&] { actions::dispatch<ACT_PICK>(&p, 0, &z); }), script(err::script::cannot_use));
  EXPECT_EQ(error_of([&] { actions::dispatch<ACT_PICK>(&p, 3, &three); }), script(err::script::out_of_range));

  cell q = point_of(1, 2, 3);
  path_step(q, word("z"), &half);
  EXPECT_EQ(formed(&q), "(1, 2, 0.5)");
  const cell four = integer(4);
  EXPECT_EQ(error_of([&] { actions::dispatch<ACT_PICK>(&q, 4, &four); }), script(err::script::out_of_range));
  const cell two = integer(2);
  cell picked = q;
  actions::dispatch<ACT_PICK>(&picked, 2, &two);
  EXPECT_EQ(formed(&picked), "2.0");

  cell t = tuple_of({1, 2, 3, 4});
  path_step(t, integer(2), &(picked = integer(300)));
  EXPECT_EQ(formed(&t), "1.255.3.4");  // clamped
  const cell none = cell{TYPE_NONE, 0, 0, 0};
  path_step(t, integer(2), &none);
  EXPECT_EQ(formed(&t), "1.0.0");  // truncated, never below 3 bytes
  EXPECT_EQ(tuple::count_of(&t), 3);
  EXPECT_EQ(error_of([&] { path_step(t, integer(4), &seven); }), script(err::script::out_of_range));
  EXPECT_EQ(error_of([&] { path_step(t, word("x")); }), script(err::script::invalid_type));
  EXPECT_EQ(error_of([&] { path_step(t, integer(1), &half); }), script(err::script::invalid_type));

  // A scalar held in a series is changed where it lies.
  cell* holder = testing::block_of({pair_of(1, 1)});
  cell* inside = block::ks_head(holder);
  const cell path = cell{TYPE_NONE, 0, 0, 0}, one = integer(1);
  actions::dispatch<ACT_EVAL_PATH>(inside, &one, &seven, &path, static_cast<const cell*>(holder),
                                   static_cast<const cell*>(nullptr), 0, false, false, false, true);
  EXPECT_EQ(formed(block::ks_head(holder)), "7x1");

  // Held in an object, the object's on-set handling hears of it, after the
  // write, with the field word and both values.
  static std::string heard;
  heard.clear();
  system_stub::hooks.object_set = [](const cell*, const cell* field, const cell* old_value,
                                     const cell* new_value) {
    heard = std::string(testing::word_name(field)) + " " + formed(old_value) + " " + formed(new_value);
  };
  const cell owner = cell{TYPE_OBJECT, 0, 0, 0}, field = word("start");
  cell held_time = testing::time_of(3600);
  actions::dispatch<ACT_EVAL_PATH>(&held_time, &one, &seven, &path, &owner, &field, 0, false, false, false, true);
  EXPECT_EQ(heard, "start 1:00:00 7:00:00");
}

TEST_F(coordinates_test, comparison) {
  struct row {
    cell a, b;
    int32_t op, answer;
  };
  cell nudged = point_of(0.1f, 0.2f);
  float y = point::coordinate(&nudged, 1);
  uint32_t bits;
  std::memcpy(&bits, &y, 4);
  ++bits;
  nudged.w2 = bits;
  const row rows[] = {
      {pair_of(1, 9), pair_of(2, 0), COMP_LESSER, -1},
      {pair_of(2, 0), pair_of(1, 9), COMP_SORT, 1},
      {pair_of(1, 2), point_of(1, 2), COMP_EQUAL, 0},
      {pair_of(1, 2), integer(1), COMP_EQUAL, -2},
      {point_of(0.1f, 0.2f), nudged, COMP_EQUAL, 0},
      {point_of(0.1f, 0.2f), nudged, COMP_STRICT_EQUAL, 1},
      {point_of(0.1f, 0.2f), nudged, COMP_SAME, 1},
      {point_of(1, 2), point_of(1, 3), COMP_LESSER, -1},
      {point_of(1, 2, 3), point_of(1, 2, 2), COMP_GREATER, 1},
      {point_of(1, 2, 3), point_of(1, 2), COMP_EQUAL, -2},
      {tuple_of({1, 2, 3}), tuple_of({1, 2, 3, 0}), COMP_EQUAL, 0},
      {tuple_of({1, 2, 3}), tuple_of({1, 2, 3, 1}), COMP_LESSER, -1},
      {tuple_of({1, 3, 0}), tuple_of({1, 2, 9}), COMP_GREATER, 1},
  };
  for (const row& r : rows)
    EXPECT_EQ(actions::compare_value(&r.a, &r.b, r.op), r.answer) << formed(&r.a) << " op " << r.op << " "
                                                                   << formed(&r.b);
}

TEST_F(coordinates_test, unary_actions) {
  cell p = pair_of(-3, 4);
  EXPECT_EQ(formed(actions::dispatch<ACT_ABSOLUTE>(&p)), "3x4");
  EXPECT_EQ(formed(actions::dispatch<ACT_NEGATE>(&p)), "-3x-4");
  EXPECT_EQ(formed(actions::dispatch<ACT_REVERSE>(&p, static_cast<const cell*>(nullptr),
                                                  static_cast<const cell*>(nullptr))),
            "-4x-3");
  p = pair_of(INT32_MIN, 0);
  EXPECT_EQ(error_of([&] { actions::dispatch<ACT_ABSOLUTE>(&p); }), std::make_pair(int(err::cat_math), int(err::math::overflow)));
  cell q = point_of(1, -2, 3);
  EXPECT_EQ(formed(actions::dispatch<ACT_REVERSE>(&q, static_cast<const cell*>(nullptr),
                                                  static_cast<const cell*>(nullptr))),
            "(3, -2, 1)");
  EXPECT_EQ(formed(actions::dispatch<ACT_ABSOLUTE>(&q)), "(3, 2, 1)");

  cell r = pair_of(17, 24);
  const cell ten = integer(10), scale = pair_of(10, 5);
  EXPECT_EQ(formed(actions::dispatch<ACT_ROUND>(&r, &ten, false, false, false, false, false, false)), "20x20");
  r = pair_of(17, 24);
  EXPECT_EQ(formed(actions::dispatch<ACT_ROUND>(&r, &scale, false, false, false, false, false, false)), "20x25");
  cell pt = point_of(1.26f, 3.5f);
  const cell tenth = float_value(0.1);
  EXPECT_EQ(formed(actions::dispatch<ACT_ROUND>(&pt, &tenth, false, false, false, false, false, false)),
            "(1.3, 3.5)");

  cell t = tuple_of({1, 2, 3, 4, 5, 6});
  EXPECT_EQ(formed(actions::dispatch<ACT_COMPLEMENT>(&(t = tuple_of({0, 255, 10})))), "255.0.245");
  EXPECT_EQ(actions::length_q_dispatch(&t), 3);
  struct reverse_row {
    cell part, skip;
    const char* text;
    std::pair<int, int> error;
  };
  const cell none = cell{TYPE_NONE, 0, 0, 0};
  const reverse_row reversals[] = {
      {none, none, "6.5.4.3.2.1", {}},
      {integer(3), none, "3.2.1.4.5.6", {}},
      {none, integer(2), "5.6.3.4.1.2", {}},
      {none, integer(6), "1.2.3.4.5.6", {}},
      {integer(4), integer(2), "3.4.1.2.5.6", {}},
      {integer(-1), none, nullptr, script(err::script::out_of_range)},
      {float_value(2), none, nullptr, script(err::script::invalid_refine_arg)},
      {none, integer(0), nullptr, script(err::script::out_of_range)},
      {none, integer(4), nullptr, script(err::script::invalid_refine_arg)},
      {none, integer(7), nullptr, script(err::script::invalid_refine_arg)},
  };
  for (const reverse_row& rr : reversals) {
    t = tuple_of({1, 2, 3, 4, 5, 6});
    const cell* part = type_of(&rr.part) == TYPE_NONE ? nullptr : &rr.part;
    const cell* skip = type_of(&rr.skip) == TYPE_NONE ? nullptr : &rr.skip;
    if (rr.text) EXPECT_EQ(formed(actions::dispatch<ACT_REVERSE>(&t, part, skip)), rr.text);
    else EXPECT_EQ(error_of([&] { actions::dispatch<ACT_REVERSE>(&t, part, skip); }), rr.error);
  }
}

TEST_F(coordinates_test, tuple_math) {
  struct row {
    cell a, b;
    int32_t op;
    const char* text;
  };
  const row rows[] = {
      {tuple_of({200, 200, 200}), integer(100), OP_ADD, "255.255.255"},
      {tuple_of({10, 10, 10}), integer(20), OP_SUBTRACT, "0.0.0"},
      {tuple_of({1, 2, 3}), tuple_of({1, 1, 1, 1}), OP_ADD, "2.3.4.1"},
      {tuple_of({1, 2, 3}), float_value(1.5), OP_MULTIPLY, "1.3.4"},
      {tuple_of({100, 2, 3}), float_value(1e300), OP_MULTIPLY, "255.255.255"},
      {tuple_of({100, 2, 3}), float_value(NAN), OP_ADD, "0.0.0"},
      {tuple_of({100, 2, 3}), float_value(-1e300), OP_MULTIPLY, "0.0.0"},
      {tuple_of({100, 2, 3}), testing::number(0.5, TYPE_PERCENT), OP_MULTIPLY, "50.1.1"},
      {tuple_of({1, 2, 3}), integer(2147483647), OP_ADD, "255.255.255"},
      {tuple_of({9, 9, 9}), integer(4), OP_DIVIDE, "2.2.2"},
      {tuple_of({9, 9, 9}), integer(4), OP_REMAINDER, "1.1.1"},
      {tuple_of({12, 10, 6}), tuple_of({10, 3, 5}), OP_XOR, "6.9.3"},
  };
  for (const row& r : rows) {
    cell a = r.a;
    tuple::do_math(&a, &r.b, r.op);
    EXPECT_EQ(formed(&a), r.text) << formed(&r.a) << " op " << r.op << " " << formed(&r.b);
  }
  cell swapped = apply<ACT_ADD>(integer(1), tuple_of({1, 2, 3}));
  EXPECT_EQ(formed(&swapped), "2.3.4");
  EXPECT_EQ(error_of([&] { apply<ACT_SUBTRACT>(integer(1), tuple_of({1, 2, 3})); }),
            script(err::script::not_related));
  EXPECT_EQ(error_of([&] { apply<ACT_ADD>(tuple_of({1, 2, 3}), pair_of(1, 1)); }),
            script(err::script::invalid_type));
  EXPECT_EQ(error_of([&] { apply<ACT_DIVIDE>(tuple_of({1, 2, 3}), integer(0)); }),
            std::make_pair(int(err::cat_math), int(err::math::zero_divide)));
  cell zero = tuple_of({0, 0, 0, 0});
  EXPECT_TRUE(tuple::zero_q(&zero));
  cell rgba;
  tuple::make_rgba(&rgba, 1, 2, 3, -1);
  EXPECT_EQ(formed(&rgba), "1.2.3");
  tuple::make_rgba(&rgba, 1, 2, 3, 4);
  EXPECT_EQ(formed(&rgba), "1.2.3.4");
}

TEST_F(coordinates_test, random_values_stay_within_bounds) {
  const int rounds = std::getenv("KEZ_GC_STRESS") ? 10 : 100;
  for (int i = 0; i < rounds; ++i) {
    cell p = pair_of(5, -5);
    actions::dispatch<ACT_RANDOM>(&p, false, false, false);
    EXPECT_TRUE(pair::x_of(&p) >= 1 && pair::x_of(&p) <= 5 && pair::y_of(&p) <= -1 && pair::y_of(&p) >= -5);
    cell t = tuple_of({0, 7, 255});
    actions::dispatch<ACT_RANDOM>(&t, false, false, false);
    EXPECT_TRUE(tuple::bytes_of(&t)[0] == 0 && tuple::bytes_of(&t)[1] <= 7);
    cell q = point_of(0, 2);
    actions::dispatch<ACT_RANDOM>(&q, false, false, false);
    EXPECT_TRUE(point::coordinate(&q, 0) == 0 && point::coordinate(&q, 1) >= 0 && point::coordinate(&q, 1) <= 2);
  }
}

TEST_F(coordinates_test, percent_and_triple_text) {
  const std::pair<double, const char*> percents[] = {
      {0.5, "50%"}, {0.125, "12.5%"}, {-0.03, "-3%"}, {INFINITY, "1.#INF%"}, {NAN, "1.#NaN%"},
  };
  for (auto [fraction, text] : percents) {
    cell p;
    percent::make_at(&p, fraction);
    EXPECT_EQ(formed(&p), text);
    EXPECT_EQ(formed(&p, true), text);
  }
  cell sum = apply<ACT_ADD>(testing::number(0.5, TYPE_PERCENT), testing::number(0.25, TYPE_PERCENT));
  EXPECT_EQ(formed(&sum), "75%");
  cell tr;
  triple::make_at(&tr, 1, -2, 3);
  EXPECT_EQ(formed(&tr), "make triple! [1 -2 3]");
  EXPECT_EQ(formed(&tr, true), "make triple! [1 -2 3]");
}

}  // namespace
}  // namespace kez
