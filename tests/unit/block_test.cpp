// block!: insertion and change, copying, take, swap, trim, make/to, the text
// forms with line markers and cycles, and comparison.
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

class block_test : public testing::block_test {};

std::pair<int, int> script(int id) { return {err::cat_script, id}; }
std::pair<int, int> internal(int id) { return {err::cat_internal, id}; }

TEST_F(block_test, append_and_insert_place_repeat_and_position) {
  struct row {
    int32_t head;
    bool append;
    bool spread;  // value is the block [7 8 9], else the integer 7
    bool only;
    int32_t part, dup;
    const char* after;
    int32_t index;  // head index of the result
  };
  const row rows[] = {
      {1, true, false, false, -1, 3, "[1 2 7 7 7]", 0},      // append/dup
      {1, true, true, false, -1, 1, "[1 2 7 8 9]", 0},
      {0, true, true, true, -1, 1, "[1 2 [7 8 9]]", 0},      // append/only
      {0, true, false, false, -1, 0, "[1 2]", 0},             // /dup 0 inserts nothing
      {0, true, false, false, -1, -3, "[1 2]", 0},            // nor does a negative /dup
      {1, false, true, false, 2, 1, "[1 7 8 2]", 3},          // insert/part
      {1, false, true, false, 9, 1, "[1 7 8 9 2]", 4},
      {0, false, true, false, -1, 2, "[7 8 9 7 8 9 1 2]", 6}, // insert/dup of a run
      {2, false, false, false, -1, 1, "[1 2 7]", 3},          // insert at the tail
      {9, false, false, false, -1, 1, "[1 2 7]", 3},          // a head past the tail is clamped
  };
  for (const row& r : rows) {
    cell* s = ints({1, 2});
    cell* value = r.spread ? ints({7, 8, 9}) : testing::push_value(integer(7));
    cell* h = stack::push(s);
    h->w1 = uint32_t(r.head);
    actions::dispatch<ACT_INSERT>(h, static_cast<const cell*>(value), r.part, r.only, r.dup, r.append);
    EXPECT_EQ(mold_of(s), r.after) << r.head << " " << r.append << " " << r.part << " " << r.dup;
    EXPECT_EQ(int32_t(h->w1), r.index) << r.after;
  }
  // An empty block appended changes nothing and leaves the head where it stood.
  cell* s = ints({1, 2});
  s->w1 = 1;
  cell* empty = ints({});
  actions::dispatch<ACT_APPEND>(s, static_cast<const cell*>(empty), -1, false, 1, true);
  EXPECT_EQ(int32_t(s->w1), 1);
}

TEST_F(block_test, inserting_a_block_into_itself_copies_its_cells_as_they_were) {
  cell* s = ints({1, 2, 3});
  cell* h = stack::push(s);
  h->w1 = 1;
  actions::dispatch<ACT_INSERT>(h, static_cast<const cell*>(s), -1, false, 1, false);
  EXPECT_EQ(mold_of(s), "[1 1 2 3 2 3]");
  cell* t = ints({1, 2});
  cell* u = stack::push(t);
  u->w1 = 1;
  actions::dispatch<ACT_CHANGE>(t, static_cast<const cell*>(u), -1, false, 1);
  t->w1 = 0;
  EXPECT_EQ(mold_of(t), "[2 2]");
}

TEST_F(block_test, change_replaces_what_it_writes_unless_part_says) {
  struct row {
    int32_t head;
    bool spread;
    int32_t part, dup;
    const char* after;
    int32_t index;
  };
  const row rows[] = {
      {0, false, 0, 1, "[7 1 2 3]", 1},      // change/part 0 inserts
      {0, false, -1, 1, "[7 2 3]", 1},
      {1, true, -1, 1, "[1 7 8]", 3},        // runs past the tail
      {0, true, 1, 1, "[7 8 2 3]", 2},
      {0, true, 3, 1, "[7 8]", 2},
      {1, false, 2, 3, "[1 7 7 7]", 4},
      {3, false, -1, 1, "[1 2 3 7]", 4},     // at the tail: appends
  };
  for (const row& r : rows) {
    cell* s = ints({1, 2, 3});
    cell* value = r.spread ? ints({7, 8}) : testing::push_value(integer(7));
    cell* h = stack::push(s);
    h->w1 = uint32_t(r.head);
    actions::dispatch<ACT_CHANGE>(h, static_cast<const cell*>(value), r.part, false, r.dup);
    EXPECT_EQ(mold_of(s), r.after) << r.head << " " << r.part;
    EXPECT_EQ(int32_t(h->w1), r.index) << r.after;
  }
  // head change/part [1 2 3] 7 0 gives [7 1 2 3].
  cell* s = ints({1, 2, 3});
  cell x = integer(7);
  actions::dispatch<ACT_CHANGE>(s, static_cast<const cell*>(&x), 0, false, 1);
  actions::dispatch<ACT_HEAD>(s);
  EXPECT_EQ(mold_of(s), "[7 1 2 3]");
}

TEST_F(block_test, mold_follows_line_markers_and_cuts_cycles) {
  cell* s = ints({1, 2});
  block::buffer_of(s)->head_cell()[0].header |= FLAG_NEW_LINE;
  EXPECT_EQ(mold_of(s), "[\n    1 2\n]");
  EXPECT_EQ(mold_of(s, false, true), "[1 2]");
  EXPECT_EQ(mold_of(s, true), "1 2");
  // A marker on a later element only starts a line at the current level.
  cell* t = ints({1, 2, 3});
  block::buffer_of(t)->head_cell()[2].header |= FLAG_NEW_LINE;
  EXPECT_EQ(mold_of(t), "[1 2\n3]");
  // Nested: the inner block's first value on its own line, one level deeper.
  cell* inner = ints({5});
  block::buffer_of(inner)->head_cell()[0].header |= FLAG_NEW_LINE;
  cell* outer = block_of({*s, *inner});
  EXPECT_EQ(mold_of(outer), "[[\n    1 2\n] [\n    5\n]]");
  block::buffer_of(outer)->head_cell()[0].header |= FLAG_NEW_LINE;
  EXPECT_EQ(mold_of(outer), "[\n    [\n        1 2\n    ] [\n        5\n    ]\n]");

  cell* self = ints({1});
  block::ks_append(self, self);
  EXPECT_EQ(mold_of(self), "[1 [...]]");
  EXPECT_EQ(form_of(self), "1 ...");
  EXPECT_EQ(cycles::depth(), 0u);
}

TEST_F(block_test, mold_and_form_with_a_part_limit_stop_early) {
  cell* s = ints({1, 2, 3, 4, 5});
  cell* buffer = testing::empty_text();
  cell limit = integer(3);
  int32_t left = actions::mold_dispatch(s, buffer, false, false, false, &limit, 3, 0);
  EXPECT_EQ(testing::utf8_of(buffer), "[1 2]");
  EXPECT_LT(left, 1);
  cell* nested = block_of({*ints({1, 2}), integer(3)});
  EXPECT_EQ(form_of(nested), "1 2 3");
}

TEST_F(block_test, copy_deep_copies_nested_series_and_refuses_cycles) {
  cell* inner = ints({1, 2});
  cell* outer = block_of({*inner, integer(3)});
  cell* shallow = stack::push_cell();
  actions::copy_dispatch(outer, shallow, nullptr, false, nullptr);
  cell* deep = stack::push_cell();
  actions::copy_dispatch(outer, deep, nullptr, true, nullptr);
  EXPECT_EQ(block::buffer_of(shallow)->head_cell()[0].w2, inner->w2);
  EXPECT_NE(block::buffer_of(deep)->head_cell()[0].w2, inner->w2);
  EXPECT_EQ(mold_of(deep), "[[1 2] 3]");
  // /types with a datatype: only values of that type are copied.
  cell kind = testing::datatype_value(TYPE_BLOCK);
  cell* typed = stack::push_cell();
  actions::copy_dispatch(outer, typed, nullptr, false, &kind);
  EXPECT_NE(block::buffer_of(typed)->head_cell()[0].w2, inner->w2);

  cell* self = ints({1});
  block::ks_append(self, self);
  cell* plain = stack::push_cell();
  actions::copy_dispatch(self, plain, nullptr, false, nullptr);
  EXPECT_EQ(mold_of(plain), "[1 [1 [...]]]");
  EXPECT_EQ(error_of([&] { actions::copy_dispatch(self, stack::push_cell(), nullptr, true, nullptr); }),
            internal(err::internal::no_cycle));
  EXPECT_EQ(cycles::depth(), 0u);
}

TEST_F(block_test, take_answers_the_element_or_a_block) {
  cell* s = ints({1, 2, 3});
  cell* h = stack::push(s);
  actions::dispatch<ACT_TAKE>(h, static_cast<const cell*>(nullptr), false, false);
  EXPECT_EQ(type_of(h), TYPE_INTEGER);
  EXPECT_EQ(int32_t(h->w2), 1);
  cell one = integer(1);
  h = stack::push(s);
  actions::dispatch<ACT_TAKE>(h, static_cast<const cell*>(&one), false, false);
  EXPECT_EQ(mold_of(h), "[2]");
  // /deep copies the series values it takes.
  cell* inner = ints({5});
  cell* outer = block_of({*inner});
  cell* part = testing::push_value(integer(1));
  h = stack::push(outer);
  actions::dispatch<ACT_TAKE>(h, static_cast<const cell*>(part), true, false);
  EXPECT_NE(block::buffer_of(h)->head_cell()[0].w2, inner->w2);
}

TEST_F(block_test, swap_and_trim) {
  cell* a = ints({1, 2});
  cell* b = ints({8, 9});
  b->w1 = 1;
  actions::dispatch<ACT_SWAP>(a, b);
  EXPECT_EQ(mold_of(a), "[9 2]");
  b->w1 = 0;
  EXPECT_EQ(mold_of(b), "[8 1]");
  cell one = integer(1);
  EXPECT_EQ(error_of([&] { actions::dispatch<ACT_SWAP>(a, &one); }), script(err::script::invalid_arg));
  cell none{TYPE_NONE, 0, 0, 0};
  cell* t = block_of({integer(1), none, integer(2), none});
  actions::dispatch<ACT_TRIM>(t, false, false, false, false, true, static_cast<const cell*>(nullptr));
  EXPECT_EQ(mold_of(t), "[1 2]");
}

TEST_F(block_test, compare_orders_by_elements_then_length) {
  struct row {
    std::initializer_list<int32_t> a, b;
    int32_t op;
    bool expected;
  };
  const row rows[] = {
      {{1, 2}, {1, 2}, COMP_EQUAL, true},   {{1, 2}, {1, 2, 3}, COMP_EQUAL, false},
      {{1, 2}, {1, 2, 3}, COMP_LESSER, true}, {{}, {1}, COMP_LESSER, true},
      {{1, 3}, {1, 2, 9}, COMP_GREATER, true}, {{1, 2}, {1, 2}, COMP_SAME, false},
  };
  for (const row& r : rows) {
    cell* a = ints(r.a);
    cell* b = ints(r.b);
    EXPECT_EQ(actions::compare(a, b, r.op), r.expected) << mold_of(a) << " " << r.op << " " << mold_of(b);
  }
  cell* a = ints({1});
  EXPECT_TRUE(actions::compare(a, a, COMP_SAME));
  // Mixed element types order by type id; a block is never equal to a paren.
  cell* with_none = block_of({cell{TYPE_NONE, 0, 0, 0}});
  EXPECT_TRUE(actions::compare(with_none, ints({5}), COMP_LESSER));
  cell* paren = ints({1}, TYPE_PAREN);
  EXPECT_EQ(block::compare(a, paren, COMP_EQUAL), -2);
  // Self-containing blocks compare without recursing forever: two blocks
  // met again at the same depth count as equal there.
  cell* s1 = ints({1});
  block::ks_append(s1, s1);
  cell* s2 = ints({1});
  block::ks_append(s2, s2);
  EXPECT_TRUE(actions::compare(s1, s2, COMP_EQUAL));
  cell* s3 = ints({2});
  block::ks_append(s3, s3);
  EXPECT_TRUE(actions::compare(s1, s3, COMP_LESSER));
  EXPECT_EQ(cycles::depth(), 0u);
}

TEST_F(block_test, make_and_to) {
  cell* proto = testing::push_value(testing::datatype_value(TYPE_BLOCK));
  cell n = integer(5);
  actions::make_dispatch(proto, &n);
  EXPECT_EQ(type_of(proto), TYPE_BLOCK);
  EXPECT_EQ(block::ks_length_q(proto), 0);
  EXPECT_GE(block::buffer_of(proto)->size, 5 * sizeof(cell));
  cell* src = ints({1, 2, 3});
  src->w1 = 1;
  block::make(proto, src, TYPE_PAREN);
  EXPECT_EQ(mold_of(proto), "(2 3)");
  cell logic_value{TYPE_LOGIC, 1, 0, 0};
  EXPECT_EQ(error_of([&] { block::make(proto, &logic_value, TYPE_BLOCK); }), script(err::script::bad_make_arg));
  block::to(proto, &n, TYPE_BLOCK);
  EXPECT_EQ(mold_of(proto), "[5]");
  cell set{TYPE_TYPESET, 0, 0, 0};
  reinterpret_cast<uint8_t*>(&set.w1)[TYPE_INTEGER >> 3] |= 0x80 >> (TYPE_INTEGER & 7);
  reinterpret_cast<uint8_t*>(&set.w1)[TYPE_NONE >> 3] |= 0x80 >> (TYPE_NONE & 7);
  block::to(proto, &set, TYPE_BLOCK);
  EXPECT_EQ(block::ks_length_q(proto), 2);
  EXPECT_EQ(datatype::get(block::buffer_of(proto)->head_cell() + 1), TYPE_INTEGER);
}

TEST_F(block_test, builders_and_raw_accessors) {
  cell* b = block::push_empty(0);
  for (int32_t i = 0; i < 40; ++i) {
    cell v = integer(i);
    block::insert_value(b, &v, true, false);
  }
  EXPECT_EQ(block::ks_length_q(b), 0);
  EXPECT_TRUE(block::ks_tail_q(b));
  b->w1 = 0;
  cell v = integer(-1);
  block::insert_value(b, &v, false, true);
  EXPECT_EQ(int32_t(block::ks_abs_at(b, 0)->w2), -1);
  EXPECT_EQ(int32_t(block::ks_abs_at(b, 40)->w2), 39);
  block::ks_remove_last(b);
  EXPECT_EQ(block::ks_length_q(b), 40);
  cell* c = ints({7});
  block::append_block(c, ints({8, 9}));
  EXPECT_EQ(int32_t(c->w1), 2);  // advanced past what it inserted
  c->w1 = 0;
  EXPECT_EQ(mold_of(c), "[8 9 7]");
  block::ks_append_block(c, ints({1}));
  EXPECT_EQ(mold_of(c), "[8 9 7 1]");
  block::ks_truncate_at(c, 1);
  EXPECT_EQ(mold_of(c), "[8]");
  cell* inner = ints({1});
  cell* paren = ints({2}, TYPE_PAREN);  // made before any copy is taken: allocation moves nodes
  cell* outer = block_of({*inner, *paren});
  cell* cl = stack::push_cell();
  block::clone(cl, outer, true, false);
  EXPECT_NE(block::buffer_of(cl)->head_cell()[0].w2, inner->w2);
  EXPECT_EQ(block::buffer_of(cl)->head_cell()[1].w2, block::buffer_of(outer)->head_cell()[1].w2);
  block::clone(cl, outer, true, true);
  EXPECT_NE(block::buffer_of(cl)->head_cell()[1].w2, block::buffer_of(outer)->head_cell()[1].w2);
}

}  // namespace
}  // namespace kez

namespace kez {
namespace {

class block_frame_test : public testing::block_test {};

TEST_F(block_frame_test, compiled_code_appends_through_the_frame) {
  using testing::integer;
  using testing::ints;
  using testing::mold_of;
  cell* target = ints({1});
  cell* saved = stack::arguments;
  stack::arguments = testing::push_value(integer(5));
  block::append_star();  // inserts at the head of the block below, advancing it
  block::append_last();
  EXPECT_EQ(int32_t(target->w1), 1);
  target->w1 = 0;
  EXPECT_EQ(mold_of(target), "[5 1 5]");
  stack::arguments = stack::push(target);
  testing::push_value(integer(9));
  block::append_arg();
  stack::arguments = saved;
  EXPECT_EQ(mold_of(target), "[5 1 5 9]");

  // Root blocks are fixed: their buffers stay put across collections.
  cell* parent = ints({});
  cell* root = block::make_root(parent, 4);
  uint32_t node = root->w2;
  series_buffer* before = memory::buffer_of(node);
  collector::do_cycle();
  EXPECT_EQ(memory::buffer_of(block::ks_head(parent)->w2), before);
  cell* held = block::make_root(nullptr, 2);
  cell v = integer(3);
  block::ks_append(held, &v);
  collector::do_cycle();
  EXPECT_EQ(mold_of(held), "[3]");
}

}  // namespace
}  // namespace kez

namespace kez {
namespace {

class block_churn_test : public testing::block_test {};

// Growth with nested series while collections move buffers and nodes: every
// nested block must still be reachable and intact afterwards.
TEST_F(block_churn_test, appends_and_inserts_keep_nested_blocks_intact) {
  using testing::integer;
  using testing::ints;
  uint32_t n = testing::scaled(300, 40);
  cell* outer = ints({});
  std::string expected = "[";
  for (uint32_t i = 0; i < n; ++i) {
    cell* inner = ints({int32_t(i)});
    cell* h = stack::push(outer);
    if (i % 3 == 0) {
      h->w1 = 0;
      actions::dispatch<ACT_INSERT>(h, static_cast<const cell*>(inner), -1, true, 1, false);
      expected.insert(1, "[" + std::to_string(i) + "]" + (i ? " " : ""));
    } else {
      actions::dispatch<ACT_APPEND>(h, static_cast<const cell*>(inner), -1, true, 2, true);
      std::string two = "[" + std::to_string(i) + "] [" + std::to_string(i) + "]";
      expected += (expected.size() > 1 ? " " : "") + two;
    }
    stack::pop(2);
  }
  expected += "]";
  cell* copy = stack::push_cell();
  actions::copy_dispatch(outer, copy, nullptr, true, nullptr);
  EXPECT_EQ(testing::mold_of(outer), expected);
  EXPECT_EQ(testing::mold_of(copy), expected);
}

}  // namespace
}  // namespace kez
