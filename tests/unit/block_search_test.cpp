// block! lookups: find with its refinements, select, put, path steps,
// sorting and the set operations.
#include <gtest/gtest.h>

#include "block_fixture.h"

namespace kez {
namespace {

using testing::block_of;
using testing::error_of;
using testing::integer;
using testing::ints;
using testing::mold_of;

class block_search_test : public testing::block_test {};

std::pair<int, int> script(int id) { return {err::cat_script, id}; }

// find's answer as the index? of the position, or 0 for none.
int32_t find_index(const cell* series, const cell* value, const find_options& o) {
  cell* r = stack::push(series);
  actions::dispatch<ACT_FIND>(r, value, o);
  return type_of(r) == TYPE_NONE ? 0 : int32_t(r->w1) + 1;
}

TEST_F(block_search_test, find_refinements) {
  cell two = integer(2), one = integer(1), four = integer(4);
  cell skip2 = integer(2), part2 = integer(2);
  struct row {
    const char* name;
    const cell* value;
    find_options o;
    int32_t head;
    int32_t index;  // 0: none
  };
  find_options plain, tail, match, last, reverse, skip, part, last_tail;
  tail.tail = true;
  match.match = true;
  last.last = true;
  reverse.reverse = true;
  skip.skip = &skip2;
  part.part = &part2;
  last_tail.last = last_tail.tail = true;
  // Series: [1 2 3 2 4]
  const row rows[] = {
      {"plain", &two, plain, 0, 2},        {"tail", &two, tail, 0, 3},
      {"match miss", &two, match, 0, 0},   {"match hit", &one, match, 0, 1},
      {"match hit tail", &one, [] { find_options o; o.match = o.tail = true; return o; }(), 0, 2},
      {"absent", &four, part, 0, 0},       {"part hit", &two, part, 0, 2},
      {"last", &two, last, 0, 4},          {"last before head", &one, last, 3, 1},
      {"last tail", &two, last_tail, 0, 5},
      {"reverse", &two, reverse, 3, 2},    {"reverse from head", &two, reverse, 1, 0},
      {"skip odd position", &two, skip, 0, 0}, {"skip", &four, skip, 0, 5},
      {"at tail", &two, plain, 5, 0},
  };
  cell* s = ints({1, 2, 3, 2, 4});
  for (const row& r : rows) {
    cell* h = stack::push(s);
    h->w1 = uint32_t(r.head);
    EXPECT_EQ(find_index(h, r.value, r.o), r.index) << r.name;
  }
  // [a 1 b 2] with /skip 2 finds a key in a key position only.
  cell* kv = ints({7, 1, 8, 2});
  cell eight = integer(8);
  EXPECT_EQ(find_index(kv, &eight, skip), 3);
  cell bad = integer(0);
  find_options zero_skip;
  zero_skip.skip = &bad;
  EXPECT_EQ(error_of([&] { find_index(kv, &eight, zero_skip); }), script(err::script::out_of_range));
  find_options wrong_part;
  wrong_part.part = testing::text("x");
  EXPECT_EQ(error_of([&] { find_index(kv, &eight, wrong_part); }), script(err::script::invalid_refine_arg));
}

TEST_F(block_search_test, find_patterns_types_and_only) {
  cell* s = ints({1, 2, 3, 2});
  EXPECT_EQ(find_index(s, ints({3, 2}), {}), 3);
  find_options tail;
  tail.tail = true;
  EXPECT_EQ(find_index(s, ints({3, 2}), tail), 5);
  EXPECT_EQ(find_index(s, ints({2, 9}), {}), 0);
  EXPECT_EQ(find_index(s, ints({2, 3, 2, 1}), {}), 0);  // runs past the tail
  find_options only;
  only.only = true;
  EXPECT_EQ(find_index(s, ints({3, 2}), only), 0);
  cell* nested = block_of({integer(1), *ints({3, 2})});
  EXPECT_EQ(find_index(nested, ints({3, 2}), only), 2);
  cell* mixed = block_of({integer(1), cell{TYPE_NONE, 0, 0, 0}});
  cell none_type = testing::datatype_value(TYPE_NONE);
  EXPECT_EQ(find_index(mixed, &none_type, {}), 2);
  cell set{TYPE_TYPESET, 0, 0, 0};
  reinterpret_cast<uint8_t*>(&set.w1)[TYPE_INTEGER >> 3] |= 0x80 >> (TYPE_INTEGER & 7);
  EXPECT_EQ(find_index(mixed, &set, {}), 1);
}

TEST_F(block_search_test, select_answers_the_value_after_the_match) {
  struct row {
    std::initializer_list<int32_t> series;
    bool pattern;
    std::initializer_list<int32_t> key;
    int32_t selected;  // -1: none
  };
  const row rows[] = {
      {{1, 10, 2, 20}, false, {2}, 20},
      {{1, 10, 2}, false, {2}, -1},
      {{5, 6, 7, 8}, true, {6, 7}, 8},
      {{5, 6, 7}, true, {6, 7}, -1},
  };
  for (const row& r : rows) {
    cell* s = ints(r.series);
    cell* key = r.pattern ? ints(r.key) : testing::push_value(integer(*r.key.begin()));
    cell* h = stack::push(s);
    actions::dispatch<ACT_SELECT>(h, static_cast<const cell*>(key), find_options{});
    if (r.selected < 0) EXPECT_EQ(type_of(h), TYPE_NONE) << mold_of(s);
    else EXPECT_EQ(int32_t(h->w2), r.selected) << mold_of(s);
  }
}

TEST_F(block_search_test, put_sets_or_adds) {
  struct row {
    std::initializer_list<int32_t> series;
    const char* after;
  };
  // put series 1 99
  const row rows[] = {{{1, 5}, "[1 99]"}, {{2, 5}, "[2 5 1 99]"}, {{1}, "[1 99]"}, {{3, 1, 5}, "[3 1 99]"}};
  for (const row& r : rows) {
    cell* s = ints(r.series);
    cell key = integer(1), value = integer(99);
    cell* h = stack::push(s);
    actions::dispatch<ACT_PUT>(h, static_cast<const cell*>(&key), static_cast<const cell*>(&value), false);
    EXPECT_EQ(int32_t(h->w2), 99);
    EXPECT_EQ(mold_of(s), r.after);
  }
}

TEST_F(block_search_test, path_steps_get_and_set) {
  cell* s = ints({1, 10, 2, 20});
  cell two = integer(2), five = integer(5), value = integer(77);
  cell* got = block::eval_path(s, &two, nullptr, nullptr, nullptr, nullptr, 0, false, true, false, false);
  EXPECT_EQ(int32_t(got->w2), 10);  // integer: pick
  got = block::eval_path(s, &five, nullptr, nullptr, nullptr, nullptr, 0, false, true, false, false);
  EXPECT_EQ(type_of(got), TYPE_NONE);
  cell key = integer(2);
  // A non-integer-like key: selected. Integers pick, so select by a block key.
  cell* pattern = ints({2});
  got = block::eval_path(s, pattern, nullptr, nullptr, nullptr, nullptr, 0, false, true, false, false);
  EXPECT_EQ(type_of(got), TYPE_NONE);  // /only: the block [2] itself is not there
  block::eval_path(s, &key, &value, nullptr, nullptr, nullptr, 0, false, false, false, false);
  EXPECT_EQ(mold_of(s), "[1 77 2 20]");
  block::eval_path(s, pattern, &value, nullptr, nullptr, nullptr, 0, false, false, false, false);
  EXPECT_EQ(mold_of(s), "[1 77 2 77]");
  cell* missing = ints({9});
  EXPECT_EQ(error_of([&] { block::eval_path(s, missing, &value, nullptr, nullptr, nullptr, 0, false, false, false, false); }),
            script(err::script::bad_path_set));
}

TEST_F(block_search_test, select_value_and_remove_value) {
  cell* s = ints({1, 2, 3, 4});
  cell three = integer(3), four = integer(4), one = integer(1);
  EXPECT_EQ(int32_t(block::select_value(s, &three)->w2), 4);
  EXPECT_EQ(block::select_value(s, &four), nullptr);
  s->w1 = 2;
  EXPECT_FALSE(block::remove_value(s, &one, false));  // before the head: not looked at
  EXPECT_TRUE(block::remove_value(s, &one, true));
  EXPECT_TRUE(block::remove_value(s, &four, false));  // it sat at the head
  s->w1 = 0;
  EXPECT_EQ(mold_of(s), "[2 3]");
}

TEST_F(block_search_test, sort_orders_records_and_checks_refinements) {
  cell two = integer(2), three = integer(3), field2 = integer(2), part3 = integer(3);
  struct row {
    std::initializer_list<int32_t> series;
    const cell* skip;
    const cell* compare;
    const cell* part;
    bool all, reverse, stable;
    const char* after;
  };
  const row rows[] = {
      {{3, 1, 2}, nullptr, nullptr, nullptr, false, false, false, "[1 2 3]"},
      {{3, 1, 2}, nullptr, nullptr, nullptr, false, true, false, "[3 2 1]"},
      {{2, 20, 1, 10}, &two, nullptr, nullptr, false, false, false, "[1 10 2 20]"},
      {{2, 1, 1, 2}, &two, &field2, nullptr, false, false, true, "[2 1 1 2]"},
      {{1, 2, 1, 1}, &two, nullptr, nullptr, true, false, true, "[1 1 1 2]"},
      {{5, 4, 3, 2, 1}, nullptr, nullptr, &part3, false, false, false, "[3 4 5 2 1]"},
      {{9, 8, 7, 6, 5, 4}, &three, &field2, nullptr, false, false, false, "[6 5 4 9 8 7]"},
  };
  for (const row& r : rows) {
    cell* s = ints(r.series);
    actions::dispatch<ACT_SORT>(s, false, r.skip, r.compare, r.part, r.all, r.reverse, r.stable);
    EXPECT_EQ(mold_of(s), r.after);
  }
  cell* s = ints({3, 1, 2, 4});
  EXPECT_EQ(error_of([&] { block::sort(s, false, nullptr, nullptr, nullptr, true, false, false); }),
            script(err::script::bad_refines));
  EXPECT_EQ(error_of([&] { block::sort(s, false, &three, nullptr, nullptr, false, false, false); }),
            script(err::script::invalid_refine_arg));
  EXPECT_EQ(error_of([&] { block::sort(s, false, nullptr, &field2, nullptr, false, false, false); }),
            script(err::script::bad_refines));
  EXPECT_EQ(error_of([&] { block::sort(s, false, &two, &three, nullptr, false, false, false); }),
            script(err::script::out_of_range));
  // A negative /part sorts the cells before the head.
  cell* t = ints({4, 3, 2, 1});
  t->w1 = 2;
  cell back2 = integer(-2);
  block::sort(t, false, nullptr, nullptr, &back2, false, false, false);
  EXPECT_EQ(int32_t(t->w1), 0);
  EXPECT_EQ(mold_of(t), "[3 4 2 1]");
}

// A function testing "first below second", its true/false mapped to 1/-1.
int32_t below(const cell*, const cell* a, const cell* b) {
  return int32_t(a->w2) < int32_t(b->w2) ? 1 : -1;
}

TEST_F(block_search_test, sort_with_a_function_goes_through_the_interpreter_hook) {
  cell function{TYPE_FUNCTION, 0, 0, 0};
  cell* s = ints({2, 3, 1});
  block::set_compare_call(nullptr);
  EXPECT_EQ(error_of([&] { block::sort(s, false, nullptr, &function, nullptr, false, false, false); }),
            std::make_pair(int(err::cat_internal), int(err::internal::not_done)));
  block::set_compare_call(below);
  block::sort(s, false, nullptr, &function, nullptr, false, false, true);
  EXPECT_EQ(mold_of(s), "[1 2 3]");
  block::sort(s, false, nullptr, &function, nullptr, false, true, false);
  EXPECT_EQ(mold_of(s), "[3 2 1]");
  block::set_compare_call(nullptr);
}

std::string set_op(std::initializer_list<int32_t> a, std::initializer_list<int32_t> b, int32_t op, int32_t skip = 0) {
  cell* first = ints(a);
  ints(b);
  cell* saved = stack::arguments;
  stack::arguments = first;
  cell size = integer(skip);
  block::do_set_op(false, skip ? &size : nullptr, op);
  stack::arguments = saved;
  return mold_of(first);
}

TEST_F(block_search_test, set_operations) {
  EXPECT_EQ(set_op({1, 2, 1, 3, 2}, {}, block::SET_UNIQUE), "[1 2 3]");
  EXPECT_EQ(set_op({1, 10, 2, 20, 1, 30}, {}, block::SET_UNIQUE, 2), "[1 10 2 20]");
  EXPECT_EQ(set_op({1, 2}, {2, 3, 3}, block::SET_UNION), "[1 2 3]");
  EXPECT_EQ(set_op({1, 2, 3, 2}, {2, 3, 4}, block::SET_INTERSECT), "[2 3]");
  EXPECT_EQ(set_op({1, 2, 3, 1}, {2}, block::SET_EXCLUDE), "[1 3]");
  EXPECT_EQ(set_op({1, 2, 3}, {3, 4}, block::SET_DIFFERENCE), "[1 2 4]");
  EXPECT_EQ(set_op({}, {}, block::SET_UNION), "[]");
  EXPECT_EQ(error_of([&] { set_op({1}, {}, block::SET_UNIQUE, -1); }), script(err::script::invalid_refine_arg));
}

}  // namespace
}  // namespace kez
