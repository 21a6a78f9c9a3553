#include "runtime/entry_table.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <unordered_map>
#include <vector>

#include "runtime/mem.h"
#include "table_fixture.h"

namespace kez {
namespace {

using testing::append_cell;
using testing::cell_count;
using testing::cells_at;
using testing::dirty_heap;
using testing::held_table;
using testing::integer_cell;
using testing::moving_cycle;
using testing::scaled;
using testing::table_test;

// Keys of entry tables are nodes. The pool keeps a set of series alive (as
// binary! values, so the collector rewrites their nodes when they move) to
// draw keys from.
class entry_test : public table_test {
 protected:
  void make_pool(int n) {
    pool = cell{TYPE_BLOCK, 0, memory::alloc_cells(uint32_t(n)), 0};
    for (int i = 0; i < n; ++i) {
      uint32_t node = memory::alloc_bytes(8);
      append_cell(pool.w2, cell{TYPE_BINARY, 0, node, 0});
    }
  }
  uint32_t key(int i) { return cells_at(pool.w2)[i].w2; }
  cell pool{TYPE_NONE, 0, 0, 0};
};

TEST_F(entry_test, entries_agree_with_a_model_through_collections) {
  collector::root_cells hold(&pool);
  const int keys = 40;
  make_pool(keys);
  for (uint32_t seed : {5u, 6u, 17u}) {
    SCOPED_TRACE(seed);
    dirty_heap();
    held_table t(hashtable::init(4, nullptr, hashtable::ENTRIES, 1));
    std::mt19937 rng(seed);
    std::map<int, int32_t> model;
    uint32_t moves = collector::node_compaction_count();
    const int steps = int(scaled(3000, 1000));
    for (int step = 0; step < steps; ++step) {
      int op = int(rng() % 100), k = int(rng() % keys);
      if (op < 40) {
        int32_t v = int32_t(rng() % 100000);
        cell* value = hashtable::put_pointer(t.node(), key(k));
        ASSERT_EQ(value->header, uint32_t(TYPE_UNSET));
        *value = integer_cell(v);
        model[k] = v;
      } else if (op < 60) {
        cell* gone = hashtable::delete_pointer(t.node(), key(k));
        ASSERT_EQ(gone != nullptr, model.erase(k) == 1) << step;
      } else if (op < 62) {
        collector::do_cycle();
      } else if (op < 65) {
        moving_cycle();
      } else if (op < 66) {
        hashtable::clear(t.node());
        model.clear();
      } else {
        cell* value = hashtable::get_pointer(t.node(), key(k));
        auto it = model.find(k);
        ASSERT_EQ(value != nullptr, it != model.end()) << step;
        if (value) {
          ASSERT_EQ(value->header, uint32_t(TYPE_INTEGER));
          ASSERT_EQ(int32_t(value->w2), it->second) << step;
          ASSERT_EQ(value[-1].w1, key(k));  // the entry's key, rewritten as its node moved
        }
      }
      ASSERT_EQ(t.shape().count, int32_t(model.size())) << step;
    }
    EXPECT_GT(collector::node_compaction_count(), moves);
  }
}

TEST_F(entry_test, a_deleted_entry_gives_its_place_to_the_next_key_of_its_bucket) {
  collector::root_cells hold(&pool);
  make_pool(64);
  held_table t(hashtable::init(4, nullptr, hashtable::ENTRIES, 1));
  ASSERT_EQ(t.shape().capacity, 8u);
  uint32_t a = key(0);
  int other = 1;
  while ((hash::int32(key(other)) & 7) != (hash::int32(a) & 7)) ++other;
  ASSERT_LT(other, 64);
  cell* first = hashtable::put_pointer(t.node(), a);
  *first = integer_cell(1);
  uint32_t offset = uint32_t(reinterpret_cast<uint8_t*>(first) - memory::buffer_of(t.block())->data());
  uint32_t tail = memory::buffer_of(t.block())->used();
  ASSERT_EQ(hashtable::delete_pointer(t.node(), a), first);
  EXPECT_EQ(first[-1].header, 0u);
  EXPECT_EQ(hashtable::get_pointer(t.node(), a), nullptr);
  cell* second = hashtable::put_pointer(t.node(), key(other));
  EXPECT_EQ(uint32_t(reinterpret_cast<uint8_t*>(second) - memory::buffer_of(t.block())->data()), offset);
  EXPECT_EQ(memory::buffer_of(t.block())->used(), tail);
  EXPECT_EQ(t.shape().used, 1u);
  // Putting a key that is there answers its entry with the value reset.
  *second = integer_cell(2);
  EXPECT_EQ(hashtable::put_pointer(t.node(), key(other)), second);
  EXPECT_EQ(second->header, uint32_t(TYPE_UNSET));
  EXPECT_EQ(t.shape().count, 1);
}

TEST_F(entry_test, growth_rebuilds_the_entry_block_without_its_deleted_entries) {
  collector::root_cells hold(&pool);
  make_pool(40);
  held_table t(hashtable::init(4, nullptr, hashtable::ENTRIES, 2));
  for (int i = 0; i < 40; ++i) {
    cell* v = hashtable::put_pointer(t.node(), key(i));
    v[0] = integer_cell(i);
    v[1] = integer_cell(-i);
    if (i % 3 == 0) hashtable::delete_pointer(t.node(), key(i));
  }
  hashtable::shape s = t.shape();
  EXPECT_EQ(s.count, 26);
  EXPECT_LT(s.used, s.bound);
  // Entries are three cells; only live ones were carried by the rebuilds.
  EXPECT_LT(cell_count(t.block()), 40u * 3);
  for (int i = 0; i < 40; ++i) {
    cell* v = hashtable::get_pointer(t.node(), key(i));
    ASSERT_EQ(v != nullptr, i % 3 != 0) << i;
    if (v) {
      EXPECT_EQ(int32_t(v[1].w2), -i);
    }
  }
  hashtable::rebuild_entries(t.node(), 4);  // too small for 26 keys: still correct
  for (int i = 0; i < 40; ++i) ASSERT_EQ(hashtable::get_pointer(t.node(), key(i)) != nullptr, i % 3 != 0);
  EXPECT_EQ(cell_count(t.block()), 26u * 3);
}

TEST_F(entry_test, the_table_keeps_its_keys_and_their_cells_alive) {
  held_table t(hashtable::init(4, nullptr, hashtable::ENTRIES, 1));
  uint32_t inner = memory::alloc_bytes(4);
  std::memcpy(series::make_room(memory::buffer_of(inner), 4), "keep", 4);
  uint32_t block = 0;
  {
    collector::root_node keep(inner);
    block = memory::alloc_cells(2);
    collector::root_node keep_block(block);
    append_cell(block, cell{TYPE_BINARY, 0, inner, 0});
    *hashtable::put_pointer(t.node(), block) = integer_cell(7);
  }
  moving_cycle();
  collector::do_cycle();
  ASSERT_EQ(t.shape().count, 1);
  // The only reference to the block is the entry's key.
  series_buffer* b = memory::buffer_of(reinterpret_cast<cell*>(memory::buffer_of(t.block())->data())->w1);
  cell* held = b->head_cell();
  EXPECT_EQ(type_of(held), uint32_t(TYPE_BINARY));
  EXPECT_EQ(std::memcmp(memory::buffer_of(held->w2)->head_ptr(), "keep", 4), 0);
}

// A context buffer as the collector reads one: the context cell, then the
// owner value.
uint32_t make_context() {
  uint32_t node = memory::alloc_cells(2);
  series_buffer* b = memory::buffer_of(node);
  b->head_cell()[0] = cell{TYPE_CONTEXT, 0, 0, 0};
  b->head_cell()[1] = cell{TYPE_NONE, 0, 0, 0};
  b->tail = b->head + 2 * sizeof(cell);
  return node;
}

// Owner tables hold their owners weakly: an entry goes at the first
// collection after its owner became unreachable.
held_table* owners_under_test = nullptr;  // its node is rewritten when it moves

TEST_F(entry_test, owner_entries_go_with_their_owners) {
  collector::root_cells hold(&pool);
  make_pool(8);
  held_table t(hashtable::init(4, nullptr, hashtable::OWNERS, 3));
  owners_under_test = &t;
  collector::add_purger([] {
    if (owners_under_test) hashtable::purge_dead(owners_under_test->node());
  });
  cell kept_owner{TYPE_OBJECT, make_context(), 1000001, 0};
  collector::root_cells keep_owner(&kept_owner);
  for (int i = 0; i < 8; ++i) {
    uint32_t context = i % 2 ? kept_owner.w1 : make_context();
    collector::root_node keep(context);
    cell* v = hashtable::put_pointer(t.node(), key(i));
    v[0] = cell{TYPE_BINARY, 0, key(i), 0};
    v[1] = cell{TYPE_OBJECT, context, 1000001, 0};
    v[2] = cell{TYPE_WORD, context, 5, 0};
  }
  moving_cycle();  // the owners of even keys are reached by nothing else
  EXPECT_EQ(t.shape().count, 4);
  for (int i = 0; i < 8; ++i) {
    cell* v = hashtable::get_pointer(t.node(), key(i));
    ASSERT_EQ(v != nullptr, i % 2 == 1) << i;
    if (!v) continue;
    EXPECT_EQ(v[0].w2, key(i));
    EXPECT_EQ(v[1].w1, kept_owner.w1);  // weak cells follow their nodes too
    EXPECT_EQ(v[2].w1, kept_owner.w1);
  }
  owners_under_test = nullptr;
}

// --- Integer maps -----------------------------------------------------------------

TEST(intmap, sizes) {
  const uint32_t rows[][3] = {{0, 8, 6}, {4, 8, 6}, {6, 8, 6}, {7, 16, 12}, {20000, 32768, 25231}};
  for (auto& r : rows) {
    intmap::map* m = intmap::make(r[0]);
    EXPECT_EQ(m->capacity, r[1]) << r[0];
    EXPECT_EQ(m->bound, r[2]) << r[0];
    EXPECT_EQ(intmap::count(m), 0u);
    intmap::free(m);
  }
}

TEST(intmap, agrees_with_a_model) {
  intmap::map* m = intmap::make(0);
  std::unordered_map<uint32_t, uint32_t> model;
  std::mt19937 rng(11);
  for (int step = 0; step < 20000; ++step) {
    uint32_t key = rng() % 300 * 65537;  // spread, some keys above 2^31
    int op = int(rng() % 100);
    if (op < 45) {
      uint32_t value = rng();
      ASSERT_EQ(intmap::put(m, key, value), model.count(key) ? 1 : 0);
      model[key] = value;
    } else if (op < 75) {
      intmap::delete_(m, key);
      model.erase(key);
    } else if (op < 77) {
      // Shrinking below the keys does nothing; otherwise the keys stay.
      intmap::resize(m, 1u << (rng() % 10));
      ASSERT_LT(m->used, m->capacity);
    } else if (op < 78) {
      intmap::clear(m);
      model.clear();
    } else {
      uint32_t* value = intmap::get(m, key);
      ASSERT_EQ(value != nullptr, model.count(key) == 1) << step;
      if (value) {
        ASSERT_EQ(*value, model[key]);
      }
      ASSERT_EQ(intmap::find(m, key) >= 0, model.count(key) == 1);
    }
    ASSERT_EQ(intmap::count(m), model.size());
  }
  std::set<uint32_t> seen;
  uint32_t* previous = nullptr;
  for (uint32_t* slot = intmap::next(m, nullptr); slot; slot = intmap::next(m, slot)) {
    ASSERT_TRUE(previous == nullptr || slot > previous);  // slot order
    ASSERT_TRUE(seen.insert(slot[0]).second);
    ASSERT_EQ(model.at(slot[0]), slot[1]);
    previous = slot;
  }
  EXPECT_EQ(seen.size(), model.size());
  size_t blocks = mem::count();
  intmap::free(m);
  EXPECT_EQ(mem::count(), blocks - 3);  // record, flags and slots
}

}  // namespace
}  // namespace kez
