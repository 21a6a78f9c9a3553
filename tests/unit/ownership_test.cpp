// The ownership table: records, deep ownership, the before/after reports of
// every in-place change, and records dropped with their owners.
#include <gtest/gtest.h>

#include <functional>

#include "block_fixture.h"

namespace kez {
namespace {

using testing::block_of;
using testing::heard;
using testing::integer;
using testing::ints;
using testing::mold_of;
using testing::owner_object;

class ownership_test : public testing::block_test {
 protected:
  void SetUp() override {
    block_test::SetUp();
    heard().clear();
    ownership::set_hook(testing::record_hook);
  }
};

using strings = std::vector<std::string>;

struct row {
  const char* name;
  std::function<void(cell*)> act;
  strings expected;  // the reports on [1 2 3 4]
};

// One row per changing action, each run on the series cell it is given.
const std::vector<row>& change_rows() {
  static cell seven = integer(7), one = integer(1), two = integer(2), three = integer(3);
  static const std::vector<row> rows = {
      {"append", [&](cell* s) { actions::dispatch<ACT_APPEND>(s, static_cast<const cell*>(&seven), -1, false, 1, true); },
       {"append 4 1", "appended 4 1"}},
      {"insert", [&](cell* s) { actions::dispatch<ACT_INSERT>(s, static_cast<const cell*>(&seven), -1, false, 2, false); },
       {"insert 0 2", "inserted 0 2"}},
      {"change", [&](cell* s) { actions::dispatch<ACT_CHANGE>(s, static_cast<const cell*>(&seven), -1, false, 1); },
       {"change 0 1", "changed 0 1"}},
      {"clear", [&](cell* s) { actions::dispatch<ACT_CLEAR>(s); }, {"clear 0 4", "cleared 0 0"}},
      {"poke", [&](cell* s) { actions::dispatch<ACT_POKE>(s, int32_t(2), static_cast<const cell*>(nullptr), static_cast<const cell*>(&seven), true); },
       {"poke 1 1", "poked 1 1"}},
      {"put found", [&](cell* s) { actions::dispatch<ACT_PUT>(s, static_cast<const cell*>(&one), static_cast<const cell*>(&seven), false); },
       {"put 1 1", "put-ed 1 1"}},
      {"put new", [&](cell* s) { actions::dispatch<ACT_PUT>(s, static_cast<const cell*>(&seven), static_cast<const cell*>(&seven), false); },
       {"put 4 1", "put-ed 4 1"}},
      {"remove", [&](cell* s) { actions::dispatch<ACT_REMOVE>(s, static_cast<const cell*>(&two), static_cast<const cell*>(nullptr)); },
       {"remove 0 2", "removed 0 0"}},
      {"reverse", [&](cell* s) { actions::dispatch<ACT_REVERSE>(s, static_cast<const cell*>(nullptr), static_cast<const cell*>(nullptr)); },
       {"reverse 0 4", "reversed 0 4"}},
      {"sort", [&](cell* s) { actions::dispatch<ACT_SORT>(s, false, static_cast<const cell*>(nullptr), static_cast<const cell*>(nullptr), static_cast<const cell*>(nullptr), false, false, false); },
       {"sort 0 0", "sorted 0 0"}},
      {"swap", [&](cell* s) { actions::dispatch<ACT_SWAP>(s, ints({9})); }, {"swap 0 1", "swaped 0 1"}},
      {"take", [&](cell* s) { actions::dispatch<ACT_TAKE>(s, static_cast<const cell*>(&two), false, true); },
       {"take 0 2", "taken 0 2"}},
      {"move", [&](cell* s) {
         cell* target = stack::push(s);
         target->w1 = 2;
         actions::dispatch<ACT_MOVE>(s, target, static_cast<const cell*>(nullptr));
       },
       {"move 0 1", "moved 1 1"}},
      {"move in", [&](cell* s) {
         cell* origin = ints({5, 6});
         actions::dispatch<ACT_MOVE>(origin, s, static_cast<const cell*>(&three));
       },
       {"move 0 2", "moved 0 2"}},
      {"trim", [&](cell* s) { actions::dispatch<ACT_TRIM>(s, false, false, false, false, false, static_cast<const cell*>(nullptr)); },
       {"trim 0 0", "trimmed 0 0"}},
  };
  return rows;
}

TEST_F(ownership_test, every_change_of_an_owned_block_is_reported_before_and_after) {
  for (const row& r : change_rows()) {
    cell object = owner_object();
    cell word = integer(0);
    collector::root_cells keep(&object), keep_word(&word);
    cell* s = ints({1, 2, 3, 4});
    ownership::set_owner(s, &object, &word);
    heard().clear();
    r.act(stack::push(s));
    EXPECT_EQ(heard(), r.expected) << r.name;
    // The same change on a block with no owner reports nothing.
    heard().clear();
    r.act(stack::push(ints({1, 2, 3, 4})));
    EXPECT_TRUE(heard().empty()) << r.name;
    ownership::init();  // a fresh table for the next row
  }
}

// A hook that empties the block when told of a change to come: the change
// must then do nothing harmful with the positions it computed before.
void emptying_hook(const cell*, const cell*, const cell* target, ownership::change action, const cell*, int32_t,
                   int32_t) {
  if (action % 2 == 0 && series::block_family_q(type_of(target))) block::ks_truncate_at(const_cast<cell*>(target), 0);
}

TEST_F(ownership_test, changes_survive_a_hook_that_empties_the_block_first) {
  ownership::set_hook(emptying_hook);
  for (const row& r : change_rows()) {
    cell object = owner_object(), word = integer(0);
    collector::root_cells keep(&object), keep_word(&word);
    cell* s = ints({1, 2, 3, 4});
    ownership::set_owner(s, &object, &word);
    r.act(stack::push(s));
    series_buffer* b = block::buffer_of(s);
    EXPECT_LE(b->used(), 6 * sizeof(cell)) << r.name;  // at most what the change itself added
    EXPECT_EQ(b->used() % sizeof(cell), 0u) << r.name;
    ownership::init();
  }
}

TEST_F(ownership_test, ownership_reaches_nested_blocks_and_unbind_ends_it) {
  cell object = owner_object(), word = integer(0);
  collector::root_cells keep(&object), keep_word(&word);
  cell* inner = ints({1});
  cell* outer = block_of({integer(0), *inner});
  ownership::set_owner(outer, &object, &word);
  EXPECT_EQ(ownership::check(inner, ownership::CLEAR, nullptr, 0, 1), 1);
  EXPECT_NE(ownership::owner_of(inner->w2), nullptr);
  ownership::unbind(outer);
  heard().clear();
  EXPECT_EQ(ownership::check(inner, ownership::CLEAR, nullptr, 0, 1), 0);
  EXPECT_EQ(ownership::check(outer, ownership::CLEAR, nullptr, 0, 1), 0);
  actions::dispatch<ACT_CLEAR>(inner);
  EXPECT_TRUE(heard().empty());
  EXPECT_FALSE(block::buffer_of(outer)->flags & SERIES_OWNED);
}

TEST_F(ownership_test, the_first_record_stays_and_cycles_end) {
  cell first = owner_object(), word = integer(0);
  collector::root_cells keep(&first), keep_word(&word);
  cell second = owner_object();
  collector::root_cells keep2(&second);
  cell* self = ints({1});
  block::ks_append(self, self);
  ownership::set_owner(self, &first, &word);
  ownership::set_owner(self, &second, &word);
  EXPECT_EQ(ownership::owner_of(self->w2)->w1, first.w1);
  ownership::unbind(self);
  EXPECT_EQ(ownership::owner_of(self->w2), nullptr);
  EXPECT_EQ(cycles::depth(), 0u);
  // An owner without change hooks hears nothing.
  cell quiet = owner_object(false);
  collector::root_cells keep3(&quiet);
  cell* s = ints({1});
  ownership::set_owner_flagged(s, &quiet, &word);
  EXPECT_TRUE(reinterpret_cast<cell*>(memory::buffer_of(quiet.w1)->data())->header & FLAG_OWNER);
  actions::dispatch<ACT_CLEAR>(s);
  EXPECT_TRUE(heard().empty());
  // unbind_range releases only the cells it covers.
  cell* a = ints({1});
  cell* b = ints({2});
  cell* holder = block_of({*a, *b});
  ownership::set_owner(holder, &first, &word);
  ownership::unbind_range(holder, 1, 1);
  EXPECT_NE(ownership::owner_of(a->w2), nullptr);
  EXPECT_EQ(ownership::owner_of(b->w2), nullptr);
}

TEST_F(ownership_test, a_record_goes_with_its_unreachable_owner) {
  cell word = integer(0);
  collector::root_cells keep_word(&word);
  cell* kept = ints({1});
  cell* dropped = ints({2});
  cell live = owner_object();
  collector::root_cells keep(&live);
  {
    cell dead = owner_object();
    ownership::set_owner(kept, &live, &word);
    ownership::set_owner(dropped, &dead, &word);
  }
  collector::do_cycle();
  ASSERT_NE(ownership::owner_of(kept->w2), nullptr);
  EXPECT_EQ(ownership::owner_of(kept->w2)->w1, live.w1);  // follows the owner if it moved
  EXPECT_EQ(ownership::owner_of(dropped->w2), nullptr);
  // The surviving record still reaches the hook after the cycle.
  heard().clear();
  actions::dispatch<ACT_CLEAR>(kept);
  EXPECT_EQ(heard(), (strings{"clear 0 1", "cleared 0 0"}));
}

}  // namespace
}  // namespace kez
