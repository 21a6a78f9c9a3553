// A hash! (a block with an index of its cells in word 3) answers find and
// select from its index; every change of its cells must keep that index
// true, which is checked here against a plain scan of the same cells.
#include <gtest/gtest.h>

#include <functional>

#include "block_fixture.h"

namespace kez {
namespace {

using testing::error_of;
using testing::integer;
using testing::ints;
using testing::mold_of;

class hash_index_test : public testing::block_test {
 protected:
  void SetUp() override {
    block_test::SetUp();
    // hash! as a bare child of block!, until its own module registers it.
    datatype::registration(TYPE_HASH, TYPE_BLOCK, "hash!").inherit_all().commit();
  }
};

cell* hashed(std::initializer_list<int32_t> ns) {
  cell* h = ints(ns);
  h->header = TYPE_HASH;
  h->w3 = hashtable::init(uint32_t(std::max<size_t>(ns.size(), 1)), h, hashtable::HASH, 1);
  return h;
}

// find of each value 0-9 on the hash! (through its index) and on a block
// over the same cells (by a scan) must agree, forwards and backwards.
void expect_index_agrees(const cell* h, const char* step) {
  cell* plain = stack::push(h);  // on the stack: lookups may collect and move nodes
  plain->header = TYPE_BLOCK;
  plain->w3 = 0;
  for (int32_t v = 0; v < 10; ++v) {
    cell key = integer(v);
    for (int dir = 0; dir < 2; ++dir) {
      find_options o;
      o.last = dir == 1;
      cell* a = stack::push(h);
      a->w1 = 0;
      cell* b = stack::push(plain);
      b->w1 = 0;
      actions::dispatch<ACT_FIND>(a, static_cast<const cell*>(&key), o);
      block::find(b, &key, o);
      ASSERT_EQ(type_of(a) == TYPE_NONE, type_of(b) == TYPE_NONE) << step << " value " << v << " last " << dir;
      if (type_of(a) != TYPE_NONE) {
        EXPECT_EQ(a->w1, b->w1) << step << " value " << v << " last " << dir;
      }
      stack::pop(2);
    }
  }
}

TEST_F(hash_index_test, every_change_keeps_the_index_true) {
  cell three = integer(3), seven = integer(7), nine = integer(9), two = integer(2);
  struct row {
    const char* name;
    std::function<void(cell*)> act;
  };
  const row rows[] = {
      {"append", [&](cell* s) { actions::dispatch<ACT_APPEND>(s, static_cast<const cell*>(&seven), -1, false, 3, true); }},
      {"insert", [&](cell* s) { s->w1 = 1; actions::dispatch<ACT_INSERT>(s, static_cast<const cell*>(&seven), -1, false, 1, false); }},
      {"change", [&](cell* s) { s->w1 = 2; actions::dispatch<ACT_CHANGE>(s, static_cast<const cell*>(ints({9, 8, 7})), 1, false, 1); }},
      {"poke", [&](cell* s) { actions::dispatch<ACT_POKE>(s, int32_t(1), static_cast<const cell*>(nullptr), static_cast<const cell*>(&nine), true); }},
      {"remove", [&](cell* s) { s->w1 = 1; actions::dispatch<ACT_REMOVE>(s, static_cast<const cell*>(&two), static_cast<const cell*>(nullptr)); }},
      {"clear", [&](cell* s) { s->w1 = 3; actions::dispatch<ACT_CLEAR>(s); }},
      {"take", [&](cell* s) { s->w1 = 1; actions::dispatch<ACT_TAKE>(s, static_cast<const cell*>(&two), false, false); }},
      {"reverse", [&](cell* s) { actions::dispatch<ACT_REVERSE>(s, static_cast<const cell*>(nullptr), static_cast<const cell*>(nullptr)); }},
      {"sort", [&](cell* s) { actions::dispatch<ACT_SORT>(s, false, static_cast<const cell*>(nullptr), static_cast<const cell*>(nullptr), static_cast<const cell*>(nullptr), false, false, false); }},
      {"swap", [&](cell* s) { actions::dispatch<ACT_SWAP>(s, ints({9})); }},
      {"move", [&](cell* s) { cell* t = stack::push(s); t->w1 = 4; actions::dispatch<ACT_MOVE>(s, t, static_cast<const cell*>(&two)); }},
      {"trim", [&](cell* s) { block::buffer_of(s)->head_cell()[2] = cell{TYPE_NONE, 0, 0, 0}; actions::dispatch<ACT_TRIM>(s, false, false, false, false, false, static_cast<const cell*>(nullptr)); }},
      {"put", [&](cell* s) { actions::dispatch<ACT_PUT>(s, static_cast<const cell*>(&three), static_cast<const cell*>(&nine), false); }},
      {"put new", [&](cell* s) { actions::dispatch<ACT_PUT>(s, static_cast<const cell*>(&nine), static_cast<const cell*>(&three), false); }},
      {"remove value", [&](cell* s) { block::remove_value(s, &three, true); }},
      {"insert value", [&](cell* s) { block::insert_value(s, &seven, false, true); }},
  };
  for (const row& r : rows) {
    cell* h = hashed({5, 3, 1, 3, 4, 1});
    cell* work = stack::push(h);
    r.act(work);
    expect_index_agrees(h, r.name);
  }
}

TEST_F(hash_index_test, index_lookups_honour_skip_part_and_tail) {
  cell* h = hashed({1, 2, 2, 1, 3, 2});
  cell two = integer(2), skip2 = integer(2), part2 = integer(2);
  struct row {
    find_options o;
    int32_t index;
  };
  find_options skip, part, tail, reverse;
  skip.skip = &skip2;
  part.part = &part2;
  tail.tail = true;
  reverse.reverse = true;
  const row rows[] = {{{}, 2}, {skip, 3}, {part, 2}, {tail, 3}, {reverse, 0}};
  for (const row& r : rows) {
    cell* a = stack::push(h);
    actions::dispatch<ACT_FIND>(a, static_cast<const cell*>(&two), r.o);
    if (r.index) EXPECT_EQ(int32_t(a->w1) + 1, r.index);
    else EXPECT_EQ(type_of(a), TYPE_NONE);
  }
  // select answers the value after the key from the index too.
  cell* a = stack::push(h);
  cell three = integer(3);
  actions::dispatch<ACT_SELECT>(a, static_cast<const cell*>(&three), find_options{});
  EXPECT_EQ(int32_t(a->w2), 2);
}

TEST_F(hash_index_test, set_operations_of_hashes_answer_indexed_hashes) {
  cell* a = hashed({1, 2, 3, 2});
  hashed({3, 4});
  cell* saved = stack::arguments;
  stack::arguments = a;
  block::do_set_op(false, nullptr, block::SET_UNION);
  stack::arguments = saved;
  EXPECT_EQ(type_of(a), TYPE_HASH);
  ASSERT_NE(a->w3, 0u);
  cell* plain = stack::push(a);
  plain->header = TYPE_BLOCK;
  EXPECT_EQ(mold_of(plain), "[1 2 3 4]");
  expect_index_agrees(a, "union");
  // Block keys are compared, not hashed by identity.
  cell* inner = ints({1});
  cell* outer = ints({});  // outer and other are the two arguments, in a row
  block::ks_append(outer, inner);
  block::ks_append(outer, inner);
  cell* other = ints({});
  block::ks_append(other, inner);
  stack::arguments = outer;
  block::do_set_op(false, nullptr, block::SET_INTERSECT);
  stack::arguments = saved;
  EXPECT_EQ(block::ks_length_q(outer), 1);
}

}  // namespace
}  // namespace kez
