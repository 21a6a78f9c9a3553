#include "runtime/arrays.h"

#include <gtest/gtest.h>

#include <vector>

#include "heap_fixture.h"
#include "heap_values.h"

namespace kez {
namespace {

using testing::heap_test;
using testing::integer_value;

class arrays_test : public heap_test {};

std::vector<uint32_t> words(uint32_t node) {
  std::vector<uint32_t> v;
  for (uint32_t i = 1; i <= array::length_q(node); ++i) v.push_back(array::pick_int(node, i));
  return v;
}

TEST_F(arrays_test, word_arrays_grow_and_keep_order) {
  uint32_t a = array::make(2, 4);
  collector::root_node keep(a);
  EXPECT_EQ(memory::buffer_of(a)->unit(), 4u);
  for (uint32_t i = 0; i < 100; ++i) array::append_int(a, i * 3);
  EXPECT_EQ(array::length_q(a), 100u);
  EXPECT_EQ(array::pick_pointer(a, 1), 0u);
  EXPECT_EQ(array::pick_int(a, 100), 297u);
  EXPECT_EQ(array::find_int(a, 30), 40) << "byte offset of element 11";
  EXPECT_EQ(array::find_pointer(a, 31), -1);
  array::poke_pointer(a, 2, 7);
  EXPECT_EQ(array::pick_int(a, 2), 7u);
  array::set_tail(a, 4);
  EXPECT_EQ(words(a), (std::vector<uint32_t>{0, 7, 6}));
  array::clear(a);
  EXPECT_EQ(array::length_q(a), 0u);
  EXPECT_EQ(array::find_int(a, 0), -1) << "an empty array finds nothing";
}

TEST_F(arrays_test, insert_and_remove_pointers) {
  struct row {
    uint32_t index;
    std::vector<uint32_t> expect;
  };
  const row rows[] = {
      {0, {9, 1, 2, 3}},
      {1, {1, 9, 2, 3}},
      {3, {1, 2, 3, 9}},
  };
  for (const row& r : rows) {
    uint32_t a = array::make(3, 4);  // 16 bytes: the fourth word fits, the fifth doubles
    collector::root_node keep(a);
    for (uint32_t v : {1, 2, 3}) array::append_pointer(a, v);
    array::insert_pointer(a, 9, r.index);
    EXPECT_EQ(words(a), r.expect) << r.index;
    array::insert_pointer(a, 8, 0);
    EXPECT_EQ(array::length_q(a), 5u);
    EXPECT_EQ(memory::buffer_of(a)->size, 32u);
    array::remove_pointer(a, 9);
    array::remove_pointer(a, 8);
    array::remove_pointer(a, 77);  // absent: nothing changes
    EXPECT_EQ(words(a), (std::vector<uint32_t>{1, 2, 3}));
  }
}

TEST_F(arrays_test, byte_arrays_append_pick_copy_and_remove) {
  uint32_t a = array::make(0, 1);
  collector::root_node keep(a);
  for (char c : std::string("hello")) array::append_byte(a, uint8_t(c));
  uint8_t* copy = array::append_bytes(a, " world, and more than sixteen bytes", 35);
  EXPECT_EQ(copy, array::head(a) + 5);
  EXPECT_EQ(array::length_q(a), 40u);
  EXPECT_EQ(array::pick_byte(a, 7), 'w');
  // Appending a stretch of the array to itself, across a growth.
  array::append_bytes(a, array::head(a), 40);
  EXPECT_EQ(0, std::memcmp(array::head(a) + 40, array::head(a), 40));
  array::remove_bytes(a, 5, 75);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(array::head(a)), array::length_q(a)), "hello");
  uint32_t b = array::copy(a);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(array::head(b)), array::length_q(b)), "hello");
}

TEST_F(arrays_test, references_reuse_the_last_freed_cell) {
  cell v = integer_value(5);
  EXPECT_EQ(refs::store(&v), 1u);
  EXPECT_EQ(refs::store(&v), 2u);
  refs::free(1);
  refs::free(0);  // ignored
  EXPECT_EQ(refs::store(&v), 1u);
  EXPECT_EQ(refs::cell_at(2)->w2, 5u);
}

TEST_F(arrays_test, the_101st_reference_doubles_the_table) {
  for (uint32_t i = 1; i <= 100; ++i) {
    cell n = integer_value(int32_t(i));
    ASSERT_EQ(refs::store(&n), i);
  }
  EXPECT_EQ(refs::capacity(), 100u);
  cell v = integer_value(101);
  EXPECT_EQ(refs::store(&v), 101u);
  EXPECT_EQ(refs::capacity(), 200u);
  EXPECT_EQ(refs::cell_at(50)->w2, 50u);
  EXPECT_EQ(refs::store(&v), 102u);
}

TEST_F(arrays_test, parked_values_stay_alive) {
  uint32_t reference;
  {
    cell s = testing::series_value(TYPE_STRING, testing::bytes_with("parked"));
    reference = refs::store(&s);
  }
  for (int i = 0; i < 200; ++i) {  // grows the table and collects along the way
    cell filler = testing::series_value(TYPE_BINARY, memory::alloc_bytes(8));
    refs::store(&filler);
  }
  collector::do_cycle();
  EXPECT_TRUE(testing::bytes_equal(refs::cell_at(reference)->w2, "parked"));
  refs::free(reference);
  collector::do_cycle();
  EXPECT_EQ(refs::cell_at(reference)->header, TYPE_INTEGER);
}

}  // namespace
}  // namespace kez
