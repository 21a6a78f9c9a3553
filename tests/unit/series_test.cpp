// series!: navigation, access and the generic changing actions, reached
// through the action dispatchers on blocks of integers.
#include <gtest/gtest.h>

#include "block_fixture.h"

namespace kez {
namespace {

using testing::error_of;
using testing::integer;
using testing::ints;
using testing::mold_of;

class series_test : public testing::block_test {};

int32_t index_of(const cell* s) {
  cell c = *s;
  return int32_t(actions::dispatch<ACT_INDEX_Q>(&c)->w2);
}
bool tail_q(const cell* s) {
  cell c = *s;
  return logic::get(actions::dispatch<ACT_TAIL_Q>(&c));
}
std::pair<int, int> script(int id) { return {err::cat_script, id}; }

TEST_F(series_test, head_left_past_tail_by_a_removal_is_repaired_by_length) {
  cell* a = ints({1, 2, 3, 4});
  cell* b = stack::push(a);
  cell four = integer(4), two = integer(2);
  actions::dispatch<ACT_AT>(b, static_cast<const cell*>(&four));
  cell* r = stack::push(a);
  actions::dispatch<ACT_REMOVE>(r, static_cast<const cell*>(&two), static_cast<const cell*>(nullptr));
  EXPECT_EQ(mold_of(a), "[3 4]");
  EXPECT_EQ(index_of(b), 4);
  EXPECT_TRUE(tail_q(b));
  cell h = *b;
  EXPECT_FALSE(logic::get(actions::dispatch<ACT_HEAD_Q>(&h)));
  EXPECT_EQ(actions::length_q_dispatch(b), 0);
  EXPECT_EQ(index_of(b), 3);
}

TEST_F(series_test, at_skip_next_back_stay_within_the_buffer) {
  struct row {
    int32_t start;
    uint32_t action;  // ACT_AT, ACT_SKIP, ACT_NEXT, ACT_BACK
    int32_t arg;
    int32_t index;  // index? after
  };
  const row rows[] = {
      {0, ACT_AT, 1, 1},  {0, ACT_AT, 0, 1},   {2, ACT_AT, 0, 3},  {2, ACT_AT, -1, 2}, {2, ACT_AT, 2, 4},
      {0, ACT_AT, 99, 5}, {3, ACT_AT, -99, 1}, {1, ACT_SKIP, 2, 4}, {1, ACT_SKIP, -5, 1},
      {4, ACT_NEXT, 0, 5}, {3, ACT_NEXT, 0, 5}, {0, ACT_BACK, 0, 1}, {2, ACT_BACK, 0, 2},
  };
  for (const row& r : rows) {
    cell* s = ints({1, 2, 3, 4});
    s->w1 = uint32_t(r.start);
    cell arg = integer(r.arg);
    if (r.action == ACT_AT) actions::dispatch<ACT_AT>(s, static_cast<const cell*>(&arg));
    else if (r.action == ACT_SKIP) actions::dispatch<ACT_SKIP>(s, static_cast<const cell*>(&arg));
    else if (r.action == ACT_NEXT) actions::dispatch<ACT_NEXT>(s);
    else actions::dispatch<ACT_BACK>(s);
    EXPECT_EQ(index_of(s), r.index) << r.start << " " << r.action << " " << r.arg;
  }
  cell* s = ints({1});
  cell* not_int = testing::text("x");
  EXPECT_EQ(error_of([&] { actions::dispatch<ACT_AT>(s, static_cast<const cell*>(not_int)); }),
            script(err::script::invalid_arg));
}

TEST_F(series_test, pick_and_poke_count_from_the_head_both_ways) {
  struct row {
    int32_t head, index, picked;  // picked 0: none
  };
  const row rows[] = {{0, 1, 10}, {0, 4, 40}, {0, 5, 0}, {0, 0, 0}, {2, -1, 20}, {2, -2, 10}, {2, -3, 0}, {1, 3, 40}};
  for (const row& r : rows) {
    cell* s = ints({10, 20, 30, 40});
    s->w1 = uint32_t(r.head);
    cell* p = stack::push(s);
    actions::dispatch<ACT_PICK>(p, r.index, static_cast<const cell*>(nullptr));
    if (r.picked) EXPECT_EQ(int32_t(p->w2), r.picked) << r.head << " " << r.index;
    else EXPECT_EQ(type_of(p), TYPE_NONE) << r.head << " " << r.index;
  }
  cell* s = ints({10, 20, 30});
  s->w1 = 1;
  cell v = integer(99);
  cell* p = stack::push(s);
  actions::dispatch<ACT_POKE>(p, int32_t(-1), static_cast<const cell*>(nullptr), static_cast<const cell*>(&v), true);
  EXPECT_EQ(int32_t(p->w2), 99);
  s->w1 = 0;
  EXPECT_EQ(mold_of(s), "[99 20 30]");
  for (int32_t bad : {0, 4, -1}) {
    cell* q = stack::push(s);
    EXPECT_EQ(error_of([&] {
                actions::dispatch<ACT_POKE>(q, bad, static_cast<const cell*>(nullptr), static_cast<const cell*>(&v),
                                            true);
              }),
              script(err::script::out_of_range))
        << bad;
  }
}

TEST_F(series_test, remove_counts_and_positions) {
  struct row {
    int32_t head;
    bool part;
    int32_t count;
    const char* after;
  };
  const row rows[] = {
      {0, false, 0, "[2 3 4]"}, {3, false, 0, "[1 2 3]"}, {4, false, 0, "[1 2 3 4]"}, {1, true, 2, "[1 4]"},
      {1, true, 9, "[1]"},      {0, true, 0, "[1 2 3 4]"}, {0, true, -1, "[1 2 3 4]"},
  };
  for (const row& r : rows) {
    cell* s = ints({1, 2, 3, 4});
    cell* h = stack::push(s);
    h->w1 = uint32_t(r.head);
    cell part = integer(r.count);
    actions::dispatch<ACT_REMOVE>(h, static_cast<const cell*>(r.part ? &part : nullptr),
                                  static_cast<const cell*>(nullptr));
    EXPECT_EQ(mold_of(s), r.after) << r.head << " " << r.count;
  }
  // /part as a position in the same series.
  cell* s = ints({1, 2, 3, 4, 5});
  cell* from = stack::push(s);
  from->w1 = 1;
  cell* to = stack::push(s);
  to->w1 = 3;
  actions::dispatch<ACT_REMOVE>(from, static_cast<const cell*>(to), static_cast<const cell*>(nullptr));
  EXPECT_EQ(mold_of(s), "[1 4 5]");
  cell* other = ints({9});
  EXPECT_EQ(error_of([&] { actions::dispatch<ACT_REMOVE>(s, static_cast<const cell*>(other), static_cast<const cell*>(nullptr)); }),
            script(err::script::invalid_refine_arg));
  // /key removes the key and its value; a missing key answers none.
  cell* kv = ints({1, 10, 2, 20});
  cell key = integer(2);
  cell* k = stack::push(kv);
  actions::dispatch<ACT_REMOVE>(k, static_cast<const cell*>(nullptr), static_cast<const cell*>(&key));
  EXPECT_EQ(mold_of(kv), "[1 10]");
  cell missing = integer(7);
  k = stack::push(kv);
  actions::dispatch<ACT_REMOVE>(k, static_cast<const cell*>(nullptr), static_cast<const cell*>(&missing));
  EXPECT_EQ(type_of(k), TYPE_NONE);
}

TEST_F(series_test, reverse_with_part_and_records) {
  struct row {
    int32_t part, skip;  // 0: absent
    const char* after;
  };
  const row rows[] = {{0, 0, "[6 5 4 3 2 1]"}, {3, 0, "[3 2 1 4 5 6]"}, {9, 0, "[6 5 4 3 2 1]"},
                      {0, 2, "[5 6 3 4 1 2]"}, {0, 3, "[4 5 6 1 2 3]"}, {0, 6, "[1 2 3 4 5 6]"},
                      {4, 2, "[3 4 1 2 5 6]"}, {-1, 0, "[1 2 3 4 5 6]"}};
  for (const row& r : rows) {
    cell* s = ints({1, 2, 3, 4, 5, 6});
    cell part = integer(r.part), skip = integer(r.skip);
    cell* h = stack::push(s);
    actions::dispatch<ACT_REVERSE>(h, static_cast<const cell*>(r.part ? &part : nullptr),
                                   static_cast<const cell*>(r.skip ? &skip : nullptr));
    EXPECT_EQ(mold_of(s), r.after) << r.part << " " << r.skip;
  }
  cell* s = ints({1, 2, 3, 4, 5});
  cell four = integer(4), zero = integer(0);
  EXPECT_EQ(error_of([&] { actions::dispatch<ACT_REVERSE>(s, static_cast<const cell*>(nullptr), static_cast<const cell*>(&four)); }),
            script(err::script::invalid_refine_arg));
  EXPECT_EQ(error_of([&] { actions::dispatch<ACT_REVERSE>(s, static_cast<const cell*>(nullptr), static_cast<const cell*>(&zero)); }),
            script(err::script::out_of_range));
}

TEST_F(series_test, take_from_head_tail_and_before_the_head) {
  struct row {
    int32_t head;
    bool has_part;
    int32_t part;
    bool last;
    const char* taken;
    const char* left;
  };
  const row rows[] = {
      {0, true, 2, true, "[3 4]", "[1 2]"},      {0, false, 0, false, "1", "[2 3 4]"},
      {0, false, 0, true, "4", "[1 2 3]"},       {1, true, 2, false, "[2 3]", "[1 4]"},
      {0, true, 9, false, "[1 2 3 4]", "[]"},    {0, true, 0, false, "[]", "[1 2 3 4]"},
      {2, true, 0, false, "[2]", "[1 3 4]"},     {3, true, -2, false, "[2 3]", "[1 4]"},
      {1, true, -2, false, "[]", "[1 2 3 4]"},   {2, true, -1, true, "[]", "[1 2 3 4]"},
      {0, true, 1, false, "[1]", "[2 3 4]"},
  };
  for (const row& r : rows) {
    cell* s = ints({1, 2, 3, 4});
    cell* h = stack::push(s);
    h->w1 = uint32_t(r.head);
    cell part = integer(r.part);
    actions::dispatch<ACT_TAKE>(h, static_cast<const cell*>(r.has_part ? &part : nullptr), false, r.last);
    EXPECT_EQ(mold_of(h), r.taken) << r.head << " " << r.part << " " << r.last;
    EXPECT_EQ(mold_of(s), r.left) << r.head << " " << r.part << " " << r.last;
  }
  cell* empty = ints({});
  actions::dispatch<ACT_TAKE>(empty, static_cast<const cell*>(nullptr), false, false);
  EXPECT_EQ(type_of(empty), TYPE_NONE);
}

TEST_F(series_test, copy_parts_counts_positions_pairs_and_backwards) {
  struct row {
    int32_t head;
    cell part;  // none! for absent
    const char* copied;
  };
  cell pair_2_4{TYPE_PAIR, 0, 2, 4}, pair_4_2{TYPE_PAIR, 0, 4, 2};
  const row rows[] = {
      {0, cell{TYPE_NONE, 0, 0, 0}, "[1 2 3 4 5]"}, {1, integer(2), "[2 3]"}, {1, integer(99), "[2 3 4 5]"},
      {3, integer(-2), "[2 3]"},  {1, integer(-4), "[1]"}, {0, pair_2_4, "[2 3]"}, {1, pair_4_2, "[]"},
      {5, integer(3), "[]"},
  };
  for (const row& r : rows) {
    cell* s = ints({1, 2, 3, 4, 5});
    s->w1 = uint32_t(r.head);
    cell* result = stack::push_cell();
    actions::copy_dispatch(s, result, type_of(&r.part) == TYPE_NONE ? nullptr : &r.part, false, nullptr);
    EXPECT_EQ(mold_of(result), r.copied) << r.head;
    EXPECT_NE(result->w2, s->w2);
  }
}

TEST_F(series_test, move_within_one_series_and_between_two) {
  struct row {
    int32_t from, to, part;  // part 0: absent
    const char* after;
  };
  const row rows[] = {
      {0, 2, 0, "[2 3 1 4 5]"}, {0, 5, 0, "[2 3 4 5 1]"}, {3, 1, 0, "[1 4 2 3 5]"}, {3, 0, 2, "[4 5 1 2 3]"},
      {1, 1, 0, "[1 2 3 4 5]"},  // onto itself
      {0, 1, 3, "[1 2 3 4 5]"},  // into the moved run
      {0, 4, 2, "[1 2 3 4 5]"},  // fewer than count after the target
      {0, 3, 2, "[3 4 1 2 5]"},
  };
  for (const row& r : rows) {
    cell* s = ints({1, 2, 3, 4, 5});
    cell* origin = stack::push(s);
    origin->w1 = uint32_t(r.from);
    cell* target = stack::push(s);
    target->w1 = uint32_t(r.to);
    cell part = integer(r.part);
    actions::dispatch<ACT_MOVE>(origin, target, static_cast<const cell*>(r.part ? &part : nullptr));
    EXPECT_EQ(mold_of(s), r.after) << r.from << " -> " << r.to << " /part " << r.part;
  }
  cell* a = ints({1, 2, 3});
  cell* b = ints({7, 8});
  cell* origin = stack::push(a);
  cell* target = stack::push(b);
  target->w1 = 1;
  cell two = integer(2);
  actions::dispatch<ACT_MOVE>(origin, target, static_cast<const cell*>(&two));
  EXPECT_EQ(mold_of(a), "[3]");
  EXPECT_EQ(mold_of(b), "[7 1 2 8]");
  cell* text = testing::text("ab");
  EXPECT_EQ(error_of([&] { actions::dispatch<ACT_MOVE>(b, text, static_cast<const cell*>(nullptr)); }),
            script(err::script::move_bad));
  cell one = integer(1);
  EXPECT_EQ(error_of([&] { actions::dispatch<ACT_MOVE>(b, &one, static_cast<const cell*>(nullptr)); }),
            script(err::script::expect_arg));
}

TEST_F(series_test, clear_cuts_at_the_head) {
  cell* s = ints({1, 2, 3});
  cell* h = stack::push(s);
  h->w1 = 1;
  actions::dispatch<ACT_CLEAR>(h);
  EXPECT_EQ(mold_of(s), "[1]");
  h->w1 = 5;  // past the tail: untouched
  actions::dispatch<ACT_CLEAR>(h);
  EXPECT_EQ(mold_of(s), "[1]");
}

}  // namespace
}  // namespace kez
