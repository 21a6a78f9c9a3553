#include "runtime/handles.h"

#include <gtest/gtest.h>

#include <vector>

#include "heap_fixture.h"
#include "heap_values.h"

namespace kez {
namespace {

using testing::append;
using testing::cell_at;
using testing::heap_test;

std::vector<void*> released;
void note_release(void* p) { released.push_back(p); }

class handles_test : public heap_test {
 protected:
  void SetUp() override {
    heap_test::SetUp();
    released.clear();
    handles::init();
    image = handles::register_type("image", note_release);
    font = handles::register_type("font", note_release);
    silent = handles::register_type("com-object", nullptr);
  }
  uint32_t image = 0, font = 0, silent = 0;
};

void* ptr(uintptr_t n) { return reinterpret_cast<void*>(n); }

TEST_F(handles_test, kinds_are_numbered_from_one) {
  EXPECT_EQ(image, 1u);
  EXPECT_EQ(font, 2u);
  EXPECT_EQ(silent, 3u);
  int32_t h = handles::store(ptr(0x10), font);
  EXPECT_EQ(h, 0);
  EXPECT_EQ(handles::kind(h), font);
  EXPECT_EQ(handles::pointer(h), ptr(0x10));
}

TEST_F(handles_test, the_last_free_record_doubles_the_table_first) {
  for (int32_t i = 0; i < 999; ++i) ASSERT_EQ(handles::store(ptr(i + 1), image), i);
  EXPECT_EQ(handles::capacity(), 1000u);
  EXPECT_EQ(handles::store(ptr(1000), image), 999);
  EXPECT_EQ(handles::capacity(), 2000u);
  EXPECT_EQ(handles::store(ptr(1001), image), 1000);
  EXPECT_EQ(handles::pointer(17), ptr(18)) << "records keep their content across the move";
}

TEST_F(handles_test, replace_and_release_call_the_callback_only_when_asked) {
  int32_t h = handles::store(ptr(1), image);
  handles::replace_pointer(h, ptr(1));
  EXPECT_TRUE(released.empty()) << "same pointer: nothing released";
  handles::replace_pointer(h, ptr(2));
  EXPECT_EQ(released, std::vector<void*>{ptr(1)});
  int32_t g = handles::store(ptr(3), font);
  EXPECT_EQ(handles::release(g, false), -1);
  EXPECT_EQ(released.size(), 1u);
  EXPECT_EQ(handles::store(ptr(4), font), g) << "last freed, first reused";
  handles::release(h, true);
  EXPECT_EQ(released.back(), ptr(2));
  int32_t s = handles::store(ptr(5), silent);
  handles::release(s, true);  // a kind without a callback releases nothing
  EXPECT_EQ(released.size(), 2u);
}

TEST_F(handles_test, for_each_walks_one_kind_newest_first) {
  handles::store(ptr(1), image);
  handles::store(ptr(2), font);
  handles::store(ptr(3), image);
  static std::vector<void*> seen;
  seen.clear();
  handles::for_each_of_type(image, [](void* p) { seen.push_back(p); });
  EXPECT_EQ(seen, (std::vector<void*>{ptr(3), ptr(1)}));
}

TEST_F(handles_test, a_collection_releases_unreached_handles_and_reuses_their_index) {
  uint32_t root = memory::alloc_cells(2);
  collector::root_node keep(root);
  int32_t kept = handles::store(ptr(0xA), image);
  append(root, cell{TYPE_HANDLE, 0, 0, uint32_t(kept)});
  int32_t lost = handles::store(ptr(0xB), font);
  int32_t lost_too = handles::store(ptr(0xC), image);
  released.clear();  // allocations above may already have swept
  collector::do_cycle();
  EXPECT_EQ(released, (std::vector<void*>{ptr(0xC), ptr(0xB)}));
  EXPECT_EQ(handles::pointer(kept), ptr(0xA));
  collector::do_cycle();
  EXPECT_EQ(released.size(), 2u) << "released once; the kept mark was cleared and set again";
  EXPECT_EQ(handles::store(ptr(0xD), image), lost) << "freed in sweep order, reused last in first out";
  (void)lost_too;
}

TEST_F(handles_test, a_held_handle_survives_allocation_before_its_value_is_stored) {
  uint32_t root = memory::alloc_cells(0);
  collector::root_node keep(root);
  int32_t h = handles::store(ptr(0x77), image);
  {
    handles::hold held(h);
    for (int i = 0; i < 3; ++i) memory::alloc_bytes(16);
    collector::do_cycle();  // native code still building the value
    EXPECT_TRUE(released.empty());
    append(root, held.value);
  }
  collector::do_cycle();
  EXPECT_TRUE(released.empty());
  *cell_at(root, 0) = cell{TYPE_NONE, 0, 0, 0};
  collector::do_cycle();
  EXPECT_EQ(released, std::vector<void*>{ptr(0x77)});
}

TEST_F(handles_test, a_second_release_cannot_give_one_index_to_two_owners) {
  int32_t h = handles::store(ptr(1), image);
  handles::release(h, true);
  EXPECT_EQ(handles::release(h, true), -1);
  EXPECT_EQ(released.size(), 1u) << "the callback ran once";
  int32_t a = handles::store(ptr(2), image);
  int32_t b = handles::store(ptr(3), image);
  EXPECT_NE(a, b);
  EXPECT_EQ(handles::release(-1, true), -1);
}

TEST_F(handles_test, marking_a_free_record_does_nothing) {
  int32_t h = handles::store(ptr(1), image);
  handles::release(h, false);
  EXPECT_FALSE(handles::mark(h, nullptr));
  EXPECT_FALSE(handles::mark(-1, nullptr));
  EXPECT_FALSE(handles::mark(5000, nullptr));
  int32_t g = handles::store(ptr(2), image);
  EXPECT_TRUE(handles::mark(g, ptr(9)));
  EXPECT_FALSE(handles::mark(g, nullptr));
  EXPECT_EQ(handles::pointer(g), ptr(9)) << "a non-zero pointer replaces the record's";
}

}  // namespace
}  // namespace kez
