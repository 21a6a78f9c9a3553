// paren! and the path! family: text forms, constructors and the actions they
// do not inherit.
#include <gtest/gtest.h>

#include "block_fixture.h"

namespace kez {
namespace {

using testing::block_of;
using testing::error_of;
using testing::form_of;
using testing::integer;
using testing::ints;
using testing::mold_of;

class path_test : public testing::block_test {};

TEST_F(path_test, paths_mold_with_their_decorations) {
  struct row {
    uint32_t type;
    const char* molded;
  };
  const row rows[] = {{TYPE_PATH, "1/2/3"}, {TYPE_LIT_PATH, "'1/2/3"}, {TYPE_GET_PATH, ":1/2/3"},
                      {TYPE_SET_PATH, "1/2/3:"}, {TYPE_PAREN, "(1 2 3)"}, {TYPE_BLOCK, "[1 2 3]"}};
  for (const row& r : rows) {
    cell* p = ints({1, 2, 3}, r.type);
    block::buffer_of(p)->head_cell()[1].header |= FLAG_NEW_LINE;  // ignored by paths, not by parens
    std::string expected = r.molded;
    if (r.type == TYPE_PAREN) expected = "(1\n2 3)";
    if (r.type == TYPE_BLOCK) expected = "[1\n2 3]";
    EXPECT_EQ(mold_of(p), expected);
  }
  cell* paren = ints({2}, TYPE_PAREN);
  cell* block = ints({3});
  cell* nested = block_of({integer(1), *paren, *block}, TYPE_PATH);
  EXPECT_EQ(mold_of(nested), "1/(2)/[3]");
  EXPECT_EQ(form_of(nested), "1/2/3");
  EXPECT_EQ(form_of(ints({1, 2}, TYPE_PAREN)), "1 2");
  EXPECT_EQ(mold_of(ints({1, 2}, TYPE_PAREN), true), "1 2");
}

TEST_F(path_test, values_containing_themselves_mold_their_cycle_text) {
  cell* paren = ints({1}, TYPE_PAREN);
  block::ks_append(paren, paren);
  EXPECT_EQ(mold_of(paren), "(1 (...))");
  cell* path = ints({1}, TYPE_PATH);
  block::ks_append(path, path);
  EXPECT_EQ(mold_of(path), "1/...");
  EXPECT_EQ(form_of(path), "1/...");
}

TEST_F(path_test, make_to_and_copy_keep_the_requested_type) {
  struct row {
    cell spec;
    uint32_t capacity;
  };
  const row rows[] = {{integer(0), 1}, {integer(3), 3}, {testing::float_value(2.9), 2}, {testing::float_value(-4.0), 1}};
  for (const row& r : rows) {
    cell* proto = stack::push_cell();
    path::make(proto, &r.spec, TYPE_GET_PATH);
    EXPECT_EQ(type_of(proto), TYPE_GET_PATH);
    EXPECT_EQ(block::ks_length_q(proto), 0);
    EXPECT_GE(block::buffer_of(proto)->size, r.capacity * sizeof(cell));
  }
  cell* proto = stack::push_cell();
  path::make(proto, ints({4, 5}), TYPE_SET_PATH);
  EXPECT_EQ(mold_of(proto), "4/5:");
  cell logic_value{TYPE_LOGIC, 1, 0, 0};
  EXPECT_EQ(error_of([&] { path::make(proto, &logic_value, TYPE_PATH); }),
            std::make_pair(int(err::cat_script), int(err::script::bad_make_arg)));
  path::to(proto, ints({1, 2}), TYPE_PATH);
  EXPECT_EQ(mold_of(proto), "1/2");
  cell object = testing::owner_object();
  collector::root_cells keep(&object);
  path::to(proto, &object, TYPE_PATH);
  EXPECT_EQ(block::ks_length_q(proto), 1);
  EXPECT_EQ(type_of(block::ks_head(proto)), TYPE_OBJECT);
  cell* set = ints({1, 2}, TYPE_SET_PATH);
  cell* copied = stack::push_cell();
  actions::copy_dispatch(set, copied, nullptr, false, nullptr);
  EXPECT_EQ(type_of(copied), TYPE_SET_PATH);
  EXPECT_NE(copied->w2, set->w2);
}

TEST_F(path_test, paths_cannot_be_sorted_trimmed_or_shuffled_but_parens_sort) {
  for (uint32_t type : {TYPE_PATH, TYPE_LIT_PATH, TYPE_SET_PATH, TYPE_GET_PATH}) {
    for (uint32_t a : {ACT_SORT, ACT_TRIM, ACT_RANDOM}) EXPECT_EQ(actions::table[type][a - 1], nullptr) << type << " " << a;
    EXPECT_NE(actions::table[type][ACT_FIND - 1], nullptr);
    EXPECT_NE(actions::table[type][ACT_MAKE - 1], nullptr);
  }
  EXPECT_EQ(actions::table[TYPE_PAREN][ACT_TRIM - 1], nullptr);
  cell* paren = ints({3, 1, 2}, TYPE_PAREN);
  actions::dispatch<ACT_SORT>(paren, false, static_cast<const cell*>(nullptr), static_cast<const cell*>(nullptr),
                              static_cast<const cell*>(nullptr), false, false, false);
  EXPECT_EQ(mold_of(paren), "(1 2 3)");
  cell* p = ints({3, 1}, TYPE_PATH);
  EXPECT_EQ(error_of([&] {
              actions::dispatch<ACT_SORT>(p, false, static_cast<const cell*>(nullptr), static_cast<const cell*>(nullptr),
                                          static_cast<const cell*>(nullptr), false, false, false);
            }),
            std::make_pair(int(err::cat_script), int(err::script::expect_arg)));
}

TEST_F(path_test, push_retypes_and_copies_onto_the_stack) {
  cell b = *ints({1, 2});
  collector::root_cells keep(&b);
  cell* pushed = path::push_get(&b);
  EXPECT_EQ(type_of(pushed), TYPE_GET_PATH);
  EXPECT_EQ(type_of(&b), TYPE_GET_PATH);
  EXPECT_EQ(type_of(paren::push(&b)), TYPE_PAREN);
  EXPECT_EQ(type_of(path::push_lit(&b)), TYPE_LIT_PATH);
  EXPECT_EQ(type_of(path::push_set(&b)), TYPE_SET_PATH);
  EXPECT_EQ(type_of(path::push(&b)), TYPE_PATH);
  cell* empty = path::make_at(stack::push_cell(), 4);
  EXPECT_EQ(type_of(empty), TYPE_PATH);
  EXPECT_EQ(block::ks_length_q(empty), 0);
}

}  // namespace
}  // namespace kez
