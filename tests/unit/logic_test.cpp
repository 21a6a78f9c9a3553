// unset!, none! and logic!: construction, the truth rule and their actions.
#include <gtest/gtest.h>

#include <cmath>

#include "runtime/actions.h"
#include "values_fixture.h"

namespace kez {
namespace {

using testing::datatype_value;
using testing::error_of;
using testing::float_value;
using testing::integer;

class logic_test : public testing::values_test {};

cell percent(double d) {
  cell c = float_value(d);
  c.header = TYPE_PERCENT;
  return c;
}

TEST_F(logic_test, make_and_to_logic) {
  struct row {
    cell spec;
    int make, to;  // 1 true, 0 false
  };
  const row rows[] = {
      {integer(0), 0, 1},          {integer(-5), 1, 1},        {float_value(0.0), 0, 1},
      {float_value(-0.0), 0, 1},   {float_value(std::nan("")), 1, 1},
      {float_value(0.25), 1, 1},   {percent(0.0), 0, 1},       {percent(0.5), 1, 1},
      {none::value, 0, 0},         {logic::false_value, 0, 0}, {logic::true_value, 1, 1},
      {unset::value, 1, 1},        {datatype_value(TYPE_NONE), 1, 1},
  };
  for (const row& r : rows) {
    for (int how = 0; how < 2; ++how) {
      cell type = datatype_value(TYPE_LOGIC);
      cell* result = how == 0 ? actions::make_dispatch(&type, &r.spec) : actions::to_dispatch(&type, &r.spec);
      EXPECT_EQ(type_of(result), TYPE_LOGIC);
      EXPECT_EQ(logic::get(result), (how == 0 ? r.make : r.to) == 1) << type_of(&r.spec) << " " << how;
    }
  }
  // A logic! prototype names its type as a datatype! does.
  cell proto = logic::true_value;
  cell zero = integer(0);
  EXPECT_FALSE(logic::get(actions::make_dispatch(&proto, &zero)));
}

TEST_F(logic_test, make_unset_and_none_from_anything) {
  for (cell spec : {integer(3), logic::true_value, none::value}) {
    cell u = datatype_value(TYPE_UNSET), n = datatype_value(TYPE_NONE);
    EXPECT_EQ(type_of(actions::make_dispatch(&u, &spec)), TYPE_UNSET);
    EXPECT_EQ(type_of(actions::to_dispatch(&n, &spec)), TYPE_NONE);
  }
}

TEST_F(logic_test, truth_rule) {
  struct row {
    cell value;
    bool truth;
  };
  const row rows[] = {
      {none::value, false}, {logic::false_value, false}, {logic::true_value, true},
      {integer(0), true},   {float_value(0.0), true},    {datatype_value(TYPE_NONE), true},
      {unset::value, true},  // without the check
  };
  for (const row& r : rows) {
    EXPECT_EQ(logic::true_q(&r.value), r.truth) << type_of(&r.value);
    stack::reset();
    stack::push(&r.value);
    EXPECT_EQ(logic::top_true_q(), r.truth);
    EXPECT_EQ(logic::top_false_q(), !r.truth);
    if (type_of(&r.value) != TYPE_UNSET) {
      EXPECT_EQ(logic::arg_true_q(), r.truth);
      EXPECT_EQ(logic::arg_false_q(), !r.truth);
    }
  }
  EXPECT_EQ(error_of([] { logic::true_q(&unset::value, true); }),
            std::make_pair(int(err::cat_script), int(err::script::no_value)));
  stack::reset();
  unset::push();
  EXPECT_EQ(error_of([] { logic::arg_true_q(); }),
            std::make_pair(int(err::cat_script), int(err::script::no_return)));
  EXPECT_FALSE(logic::arg_false_q());
}

TEST_F(logic_test, bitwise_and_complement) {
  struct row {
    bool a, b, and_, or_, xor_;
  };
  const row rows[] = {{false, false, false, false, false},
                      {false, true, false, true, true},
                      {true, false, false, true, true},
                      {true, true, true, true, false}};
  for (const row& r : rows) {
    cell b;
    logic::make_at(&b, r.b);
    cell x;
    EXPECT_EQ(logic::get(actions::dispatch<ACT_AND_T>(logic::make_at(&x, r.a), &b)), r.and_);
    EXPECT_EQ(logic::get(actions::dispatch<ACT_OR_T>(logic::make_at(&x, r.a), &b)), r.or_);
    EXPECT_EQ(logic::get(actions::dispatch<ACT_XOR_T>(logic::make_at(&x, r.a), &b)), r.xor_);
    EXPECT_EQ(logic::get(actions::dispatch<ACT_COMPLEMENT>(logic::make_at(&x, r.a))), !r.a);
  }
  cell t = logic::true_value, one = integer(1);
  EXPECT_EQ(error_of([&] { actions::dispatch<ACT_AND_T>(&t, &one); }),
            std::make_pair(int(err::cat_script), int(err::script::expect_arg)));
  EXPECT_EQ(t.w1, 1u);  // unchanged by the failed operation
}

TEST_F(logic_test, compare_of_the_simple_types) {
  cell u1 = unset::value, u2 = unset::value, n1 = none::value, n2 = none::value;
  cell f = logic::false_value, t = logic::true_value;
  EXPECT_TRUE(actions::compare(&u1, &u2, COMP_EQUAL));
  EXPECT_TRUE(actions::compare(&n1, &n2, COMP_STRICT_EQUAL));
  EXPECT_FALSE(actions::compare(&n1, &u1, COMP_EQUAL));
  EXPECT_TRUE(actions::compare(&n1, &u1, COMP_NOT_EQUAL));
  EXPECT_FALSE(actions::compare(&n1, &f, COMP_EQUAL));  // none is not false
  EXPECT_EQ(actions::compare_value(&n1, &n2, COMP_SORT), 0);
  EXPECT_EQ(actions::compare_value(&u1, &u2, COMP_SAME), 0);
  EXPECT_EQ(logic::compare(&f, &t, COMP_SORT), -1);  // false sorts first
  EXPECT_EQ(logic::compare(&t, &f, COMP_SORT), 1);
  EXPECT_EQ(logic::compare(&t, &t, COMP_STRICT_EQUAL_WORD), -2);
  for (const cell* v : {&u1, &n1, &f})
    for (int32_t op : {COMP_LESSER, COMP_LESSER_EQUAL, COMP_GREATER, COMP_GREATER_EQUAL})
      EXPECT_EQ(error_of([&] { actions::compare(v, v, op); }).second, err::script::invalid_compare);
}

TEST_F(logic_test, series_actions_on_none) {
  cell n = none::value;
  EXPECT_EQ(actions::length_q_dispatch(&n), -1);
  cell v = integer(1);
  const cell* absent = nullptr;
  find_options options;
  // Each of these leaves none in its first argument.
  for (int i = 0; i < 5; ++i) {
    cell x = none::value;
    cell* r = i == 0   ? actions::dispatch<ACT_CLEAR>(&x)
              : i == 1 ? actions::dispatch<ACT_FIND>(&x, static_cast<const cell*>(&v), options)
              : i == 2 ? actions::dispatch<ACT_SELECT>(&x, static_cast<const cell*>(&v), options)
              : i == 3 ? actions::dispatch<ACT_REMOVE>(&x, absent, absent)
                       : actions::dispatch<ACT_TAKE>(&x, absent, false, true);
    EXPECT_EQ(r, &x) << i;
    EXPECT_EQ(type_of(r), TYPE_NONE) << i;
  }
  // Actions none! does not have stay unsupported.
  EXPECT_EQ(error_of([&] { actions::dispatch<ACT_HEAD>(&n); }).second, err::script::expect_arg);
}

}  // namespace
}  // namespace kez
