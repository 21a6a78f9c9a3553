#include "runtime/memory.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "heap_fixture.h"
#include "runtime/frames.h"

namespace kez {
namespace {

using testing::heap_test;
using testing::internal_error_of;

class memory_test : public heap_test {
 protected:
  // Layout tests look at placement, so nothing may collect under them.
  void SetUp() override {
    heap_test::SetUp();
    collector::set_enabled(false);
  }
};

uint32_t data_offset(series_buffer* b) { return arena::offset_of(b->data()); }

TEST_F(memory_test, sizes_round_up_to_sixteen_bytes) {
  struct row {
    uint32_t node;
    uint32_t size, unit;
  };
  const row rows[] = {
      {memory::alloc_bytes(0), 16, 1},          {memory::alloc_series(1, 1, 0), 16, 1},
      {memory::alloc_series(17, 1, 0), 32, 1},  {memory::alloc_codepoints(0, 2), 16, 2},
      {memory::alloc_codepoints(0, 4), 16, 4},  {memory::alloc_codepoints(5, 4), 32, 4},
      {memory::alloc_cells(3), 48, 16},         {memory::alloc_cells(0), 0, 16},
  };
  for (const row& r : rows) {
    series_buffer* b = memory::buffer_of(r.node);
    EXPECT_EQ(b->size, r.size);
    EXPECT_EQ(b->unit(), r.unit);
    EXPECT_EQ(b->flags & ~SERIES_UNIT_MASK, SERIES_IN_USE | SERIES_MADE);
    EXPECT_EQ(b->node, r.node);
    EXPECT_EQ(b->head, data_offset(b));
    EXPECT_EQ(b->tail, b->head);
    EXPECT_GE(r.node, arena::FIRST);
  }
}

TEST_F(memory_test, buffers_are_packed_with_four_bytes_between_them) {
  series_buffer* a = memory::alloc_series_buffer(1, 1, 0);
  series_buffer* b = memory::alloc_series_buffer(40, 1, 0);
  series_buffer* c = memory::alloc_series_buffer(0, 16, 0);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(b), a->data() + 16 + 4);
  EXPECT_EQ(reinterpret_cast<uint8_t*>(c), b->data() + 48 + 4);
}

TEST_F(memory_test, head_offset_places_the_head) {
  series_buffer* mid = memory::buffer_of(memory::alloc_series(32, 1, -1));
  EXPECT_EQ(mid->head, data_offset(mid) + 16);
  EXPECT_EQ(mid->tail, mid->head);
  EXPECT_TRUE(mid->flags & SERIES_MID_HEAD);
  series_buffer* at = memory::buffer_of(memory::alloc_series(4, 16, 32));
  EXPECT_EQ(at->head, data_offset(at) + 32);
  EXPECT_FALSE(at->flags & SERIES_MID_HEAD);
}

TEST_F(memory_test, unset_cells_fill_the_whole_capacity) {
  series_buffer* b = memory::buffer_of(memory::alloc_unset_cells(3));
  EXPECT_EQ(b->used(), 0u);
  ASSERT_EQ(b->size, 48u);
  auto* c = reinterpret_cast<cell*>(b->data());
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(c[i].header, TYPE_UNSET);
    EXPECT_EQ(c[i].w1 | c[i].w2 | c[i].w3, 0u);
  }
  series_buffer* f = memory::buffer_of(memory::alloc_bytes_filled(20, 0xAB));
  for (uint32_t i = 0; i < f->size; ++i) ASSERT_EQ(f->data()[i], 0xAB);
}

TEST_F(memory_test, big_series_threshold_and_collection) {
  collector::set_enabled(true);
  struct row {
    uint32_t count;
    bool big;
  };
  // Data rounded to 16 plus 24 bytes of header and slack against 2 MB.
  const row rows[] = {{2097152 - 24, true}, {2097120, false}, {2097121, true}, {3000000, true}};
  for (const row& r : rows) {
    series_buffer* b = memory::alloc_series_buffer(r.count, 1, 0);
    EXPECT_EQ(bool(b->flags & SERIES_BIG), r.big) << r.count;
  }
  if (collector::stress_q()) return;  // every allocation collects there
  // A collection runs before a big series once a frame's worth (2 MB) has
  // been allocated since the last one, in big series or in frames.
  collector::do_cycle();
  uint32_t before = collector::cycle_count();
  memory::alloc_series_buffer(3000000, 1, 0);
  EXPECT_EQ(collector::cycle_count(), before) << "just after a collection";
  memory::alloc_series_buffer(3000000, 1, 0);
  EXPECT_EQ(collector::cycle_count(), before + 1) << "after a big series";
  for (int i = 0; i < 4; ++i) memory::alloc_series_buffer(600000, 1, 0);
  memory::alloc_series_buffer(3000000, 1, 0);
  EXPECT_EQ(collector::cycle_count(), before + 2) << "after 2.4 MB in frames";
}

// A mid-buffer series of "abcdefghijkl" at the top of its frame, or with a
// buffer allocated after it.
uint32_t twelve_letters(bool blocked) {
  uint32_t node = memory::alloc_series(8, 4, -1);
  std::memcpy(series::make_room(memory::buffer_of(node), 12), "abcdefghijkl", 12);
  if (blocked) memory::alloc_series_buffer(1, 1, 0);
  return node;
}

TEST_F(memory_test, growth_doubles_keeps_used_part_content_and_flags_in_place_or_moved) {
  for (bool blocked : {false, true}) {
    SCOPED_TRACE(blocked ? "moved" : "in place");
    uint32_t node = twelve_letters(blocked);
    series_buffer* old = memory::buffer_of(node);
    uint32_t old_size = old->size, old_used = old->used();
    uint32_t epoch = memory::epoch;
    series_buffer* nb = memory::expand_series(old, 0);
    EXPECT_EQ(nb, memory::buffer_of(node));
    EXPECT_EQ(nb == old, !blocked) << "grown where it was only when its frame's free room follows it";
    EXPECT_NE(memory::epoch, epoch);
    EXPECT_EQ(nb->size, 2 * old_size);
    EXPECT_EQ(nb->used(), old_used);
    EXPECT_EQ(nb->head, data_offset(nb)) << "the head moves to the data start either way";
    EXPECT_EQ(0, std::memcmp(nb->head_ptr(), "abcdefghijkl", 12));
    EXPECT_TRUE(nb->flags & SERIES_MID_HEAD) << "flags travel with the series";
    EXPECT_TRUE(nb->flags & SERIES_IN_USE);
    EXPECT_EQ(nb->node, node);
    if (blocked) {
      EXPECT_EQ(old->node, 0u);
      EXPECT_FALSE(old->flags & SERIES_IN_USE);
    }
  }
}

TEST_F(memory_test, growth_in_place_takes_the_frames_free_room_and_leaves_nothing_behind) {
  uint32_t node = memory::alloc_series(16, 1, 0);
  series_buffer* b = memory::buffer_of(node);
  ASSERT_NE(memory::record.series_active, 0u);
  auto* f = arena::at<memory::series_frame>(memory::record.series_active);
  ASSERT_EQ(arena::offset_of(memory::next_buffer(b)), f->heap);
  b = memory::expand_series(b, 4096);
  EXPECT_EQ(b, memory::buffer_of(node));
  EXPECT_EQ(arena::offset_of(memory::next_buffer(b)), f->heap) << "still the top of its frame";
  // The next buffer goes after the grown one.
  series_buffer* next = memory::alloc_series_buffer(1, 1, 0);
  EXPECT_EQ(next, memory::next_buffer(b));
}

TEST_F(memory_test, a_moved_buffer_at_its_frames_top_gives_its_room_back_at_once) {
  // Fill the active frame with one series, so that its growth must move to
  // another frame: its old place becomes the frame's free room again.
  memory::alloc_series_buffer(1, 1, 0);  // a frame to start with
  auto* f = arena::at<memory::series_frame>(memory::record.series_active);
  uint32_t room = f->end - f->heap - sizeof(series_buffer) - memory::BUFFER_SLACK - 16;
  uint32_t node = memory::alloc_series(room, 1, 0);
  series_buffer* old = memory::buffer_of(node);
  std::memset(series::make_room(old, 1000), 'x', 1000);
  old = memory::buffer_of(node);
  uint32_t old_at = arena::offset_of(old);
  ASSERT_EQ(memory::record.series_active, arena::offset_of(f));
  series_buffer* nb = memory::expand_series(old, int64_t(old->size) * 2);
  EXPECT_NE(nb, old);
  uint32_t at = arena::offset_of(nb);
  EXPECT_FALSE(at >= f->first() && at < f->end) << "twice the frame's room lies elsewhere";
  EXPECT_EQ(f->heap, old_at) << "the abandoned buffer's room is free again";
  EXPECT_EQ(nb->used(), 1000u);
  for (uint32_t i = 0; i < 1000; ++i) ASSERT_EQ(nb->head_ptr()[i], 'x') << i;
}

TEST_F(memory_test, growth_without_copy_and_with_fill) {
  uint32_t node = memory::alloc_bytes(16);
  series_buffer* b = memory::buffer_of(node);
  std::memcpy(series::make_room(b, 4), "wxyz", 4);
  b = memory::expand_series_buffer(memory::buffer_of(node), 64);
  EXPECT_EQ(b->size, 64u);
  EXPECT_EQ(b->used(), 4u);
  b = memory::expand_series_filled(b, 100, 0x5A);
  EXPECT_EQ(b->size, 112u);
  for (uint32_t i = 64; i < 100; ++i) ASSERT_EQ(b->data()[i], 0x5A) << i;
  // A size that is not a whole number of cells still stops at the buffer's end.
  uint32_t cells = memory::alloc_cells(1);
  series_buffer* c = memory::expand_series_filled(memory::buffer_of(cells), 40, 0xFF);
  EXPECT_EQ(c->size, 32u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(c->end()[i], 0) << "nothing written past the buffer";
  // Doubling nothing would give nothing: an empty buffer grows to 16 bytes.
  series_buffer* e = memory::expand_series(memory::buffer_of(memory::alloc_cells(0)), 0);
  EXPECT_EQ(e->size, 16u);
}

TEST_F(memory_test, placement_flags_belong_to_the_new_buffer) {
  uint32_t fixed = memory::alloc_fixed_series(2, 16, 0);
  series::set_flags(fixed, SERIES_OWNED);
  series_buffer* grown = memory::expand_series(memory::buffer_of(fixed), 0);
  EXPECT_EQ(grown->flags & (SERIES_FIXED | SERIES_OWNED), SERIES_OWNED) << "a grown fixed series lives in a frame";
  uint32_t copy = memory::copy_series(memory::buffer_of(memory::alloc_fixed_series(2, 16, 0)));
  EXPECT_FALSE(memory::buffer_of(copy)->flags & SERIES_FIXED);
  uint32_t big = memory::alloc_series(2200000, 1, 0);
  EXPECT_TRUE(memory::buffer_of(big)->flags & SERIES_BIG);
  series_buffer* shrunk = memory::expand_series(memory::buffer_of(big), 1000);
  EXPECT_FALSE(shrunk->flags & SERIES_BIG);
  EXPECT_TRUE(memory::expand_series(shrunk, 2200000)->flags & SERIES_BIG);
}

// A big series grows into a new block that takes over its pages: content,
// head and tail come along, the old block goes back to the system at once
// (the heap holds only the new one), and the list of big series names the
// new block, so collections and the heap's end find it.
TEST_F(memory_test, a_big_series_grows_by_moving_its_pages) {
  auto block_bytes = [](uint32_t size) {  // size word, list header, buffer header, data, slack; whole pages
    return (uint64_t(size) + sizeof(series_buffer) + 4 + 8 + 4 + 4095) & ~uint64_t(4095);
  };
  uint32_t before = memory::alloc_series(2200000, 1, 0);  // big neighbours on both sides in the list
  uint32_t node = memory::alloc_series(2200000, 4, 0);
  uint32_t after = memory::alloc_series(2200000, 1, 0);
  for (uint32_t kept : {before, after}) std::memcpy(series::make_room(memory::buffer_of(kept), 4), "kept", 4);
  series_buffer* b = memory::buffer_of(node);
  ASSERT_TRUE(b->flags & SERIES_BIG);
  uint32_t old_size = b->size;
  auto* room = reinterpret_cast<uint32_t*>(series::make_room(b, 8000000));
  for (uint32_t i = 0; i < 2000000; ++i) room[i] = i * 2654435761u;
  b = memory::buffer_of(node);
  uint64_t held = memory::os_bytes();
  series_buffer* nb = memory::expand_series(b, 0);
  ASSERT_EQ(nb, memory::buffer_of(node));
  EXPECT_TRUE(nb->flags & SERIES_BIG);
  EXPECT_EQ(nb->node, node);
  EXPECT_EQ(nb->size, 2 * old_size);
  EXPECT_EQ(nb->head, data_offset(nb));
  EXPECT_EQ(nb->used(), 8000000u);
  auto* moved = reinterpret_cast<uint32_t*>(nb->head_ptr());
  for (uint32_t i = 0; i < 2000000; ++i) ASSERT_EQ(moved[i], i * 2654435761u) << i;
  EXPECT_EQ(memory::os_bytes(), held - block_bytes(old_size) + block_bytes(2 * old_size));
  // Grown again, then a collection that keeps the series and one neighbour.
  nb = memory::expand_series(nb, 3 * old_size);
  EXPECT_EQ(reinterpret_cast<uint32_t*>(nb->head_ptr())[1999999], 1999999u * 2654435761u);
  {
    collector::root_node keep(node), keep_after(after);
    collector::do_cycle();
    EXPECT_EQ(memory::buffer_of(node)->used(), 8000000u);
    EXPECT_EQ(0, std::memcmp(memory::buffer_of(after)->head_ptr(), "kept", 4));
  }
  memory::free_all_frames();
  EXPECT_EQ(memory::os_bytes(), 0u);
  EXPECT_EQ(arena::committed(), 0u);
}

TEST_F(memory_test, a_big_series_grows_without_a_collection_and_a_new_one_after_one) {
  if (collector::stress_q()) GTEST_SKIP() << "the stress mode collects at every growth";
  collector::set_enabled(true);
  uint32_t node = memory::alloc_series(2200000, 1, 0);
  collector::root_node keep(node);
  uint32_t before = collector::cycle_count();
  memory::expand_series(memory::buffer_of(node), 0);
  memory::expand_series(memory::buffer_of(node), 0);
  EXPECT_EQ(collector::cycle_count(), before) << "moving pages adds nothing for a collection to win back";
  memory::alloc_series(2200000, 1, 0);
  EXPECT_EQ(collector::cycle_count(), before + 1);
}

TEST_F(memory_test, shrinking_growth_never_copies_past_the_new_buffer) {
  uint32_t node = memory::alloc_bytes(256);
  series_buffer* b = memory::buffer_of(node);
  uint8_t* room = series::make_room(b, 200);
  memory::fill(room, room + 200, 'q');
  uint32_t guard = memory::alloc_bytes_filled(16, 0x11);  // next to the new buffer
  series_buffer* small = memory::expand_series(memory::buffer_of(node), 32);
  EXPECT_EQ(small->size, 32u);
  EXPECT_EQ(small->used(), 32u) << "tail stays inside the new buffer";
  EXPECT_EQ(small->data()[31], 'q');
  series_buffer* g = memory::buffer_of(guard);
  for (uint32_t i = 0; i < 16; ++i) EXPECT_EQ(g->data()[i], 0x11);
}

TEST_F(memory_test, impossible_sizes_raise_no_memory) {
  const int no_memory = err::internal::no_memory;
  EXPECT_EQ(internal_error_of([] { memory::alloc_series(0xFFFFFFFF, 16, 0); }), no_memory);
  EXPECT_EQ(internal_error_of([] { memory::alloc_series(0x10000000, 16, 0); }), no_memory);
  EXPECT_EQ(internal_error_of([] { memory::alloc_fixed_series(0xFFFFFFFF, 4, 0); }), no_memory);
  uint32_t node = memory::alloc_bytes(16);
  EXPECT_EQ(internal_error_of([&] { memory::expand_series(memory::buffer_of(node), -1); }), no_memory);
  EXPECT_EQ(internal_error_of([&] { memory::expand_series(memory::buffer_of(node), int64_t(1) << 33); }),
            no_memory);
  EXPECT_EQ(internal_error_of([&] { series::make_room(memory::buffer_of(node), 0xFFFFFFF0); }), no_memory);
  EXPECT_EQ(memory::buffer_of(node)->size, 16u) << "a refused growth leaves the series alone";
}

TEST_F(memory_test, refused_pages_raise_no_memory_without_counting_them) {
  memory::alloc_bytes(16);
  uint64_t counted = memory::os_bytes();
  arena::set_limit(arena::committed() + 64 * 1024);
  EXPECT_EQ(internal_error_of([] { memory::alloc_series_buffer(3000000, 1, 0); }), err::internal::no_memory);
  EXPECT_EQ(memory::os_bytes(), counted);
  EXPECT_EQ(internal_error_of([] { memory::alloc_series_buffer(1500000, 1, 0); }), err::internal::no_memory);
  EXPECT_EQ(memory::os_bytes(), counted);
  arena::set_limit(arena::RANGE);
  EXPECT_TRUE(memory::alloc_series_buffer(1500000, 1, 0) != nullptr);
}

TEST_F(memory_test, series_frames_are_one_then_two_megabytes) {
  using memory::record;
  using memory::series_frame;
  // Fill the first frame with 100 KB buffers until a second frame appears.
  while (record.series_head == record.series_tail) memory::alloc_series_buffer(100000, 1, 0);
  auto* first = arena::at<series_frame>(record.series_head);
  auto* second = arena::at<series_frame>(record.series_tail);
  EXPECT_EQ(first->total, memory::FIRST_SERIES_FRAME + sizeof(series_frame));
  EXPECT_EQ(second->total, memory::MAX_SERIES_FRAME + sizeof(series_frame));
  EXPECT_LT(record.series_head, record.series_tail);
  EXPECT_EQ(first->next, record.series_tail);
  EXPECT_EQ(second->prev, record.series_head);
  while (arena::at<series_frame>(record.series_tail)->prev == record.series_head)
    memory::alloc_series_buffer(100000, 1, 0);
  EXPECT_EQ(arena::at<series_frame>(record.series_tail)->total, memory::MAX_SERIES_FRAME + sizeof(series_frame));
}

std::vector<uint32_t> live_nodes;
void mark_live_nodes() {
  for (uint32_t& node : live_nodes) collector::mark_node(&node);
}

TEST_F(memory_test, a_mostly_live_heap_keeps_free_room_after_a_collection) {
  using memory::record;
  using memory::series_frame;
  collector::set_enabled(true);
  bool stress = collector::stress_q();
  collector::set_stress(false);  // a collection at every allocation never grows the heap
  collector::add_marker(mark_live_nodes);
  // About 8 MB that stays live, then garbage until a collection runs: the
  // heap must come out of it with room for a quarter as much again, or the
  // next collection would follow after a few buffers, marking all 8 MB anew.
  live_nodes.clear();
  for (int i = 0; i < 80; ++i) live_nodes.push_back(memory::alloc_series(100000, 1, 0));
  uint32_t before = collector::cycle_count();
  while (collector::cycle_count() == before) memory::alloc_series(100000, 1, 0);
  uint64_t used = 0, room = 0;
  for (uint32_t at = record.series_head; at; at = arena::at<series_frame>(at)->next) {
    auto* f = arena::at<series_frame>(at);
    used += f->heap - f->first();
    if (f->end - f->heap > memory::FRAME_REUSE_MIN) room += f->end - f->heap;
  }
  EXPECT_GE(used, 80u * 100000);
  EXPECT_GE(room, used / 4);
  collector::remove_marker(mark_live_nodes);
  collector::set_stress(stress);
  live_nodes.clear();
}

TEST_F(memory_test, growth_across_frames_keeps_content) {
  uint32_t node = memory::alloc_bytes(16);
  for (uint32_t i = 0; i < 16; ++i) *series::make_room(memory::buffer_of(node), 1) = uint8_t(i);
  uint32_t frame_before = memory::record.series_active;
  // Each step at least doubles, so the buffer soon outgrows the first frame.
  for (int step = 0; step < 17; ++step) {
    uint32_t n = memory::buffer_of(node)->size;
    uint8_t* room = series::make_room(memory::buffer_of(node), n);
    memory::fill(room, room + n, uint8_t(step));
  }
  series_buffer* b = memory::buffer_of(node);
  EXPECT_NE(memory::record.series_active, frame_before);
  EXPECT_TRUE(b->flags & SERIES_BIG);
  for (uint32_t i = 0; i < 16; ++i) ASSERT_EQ(b->head_ptr()[i], i);
  EXPECT_EQ(b->head_ptr()[16], 0);
  EXPECT_EQ(b->tail_ptr()[-1], 16);
  EXPECT_EQ(b->used(), 16u << 17);
}

TEST_F(memory_test, make_room_grows_by_default_or_by_twice_the_request) {
  uint32_t node = memory::alloc_bytes(16);
  series_buffer* b = memory::buffer_of(node);
  uint8_t* p = series::make_room(b, 10);
  EXPECT_EQ(p, b->data());
  EXPECT_EQ(memory::buffer_of(node), b) << "fits: no move";
  series::make_room(b, 10);
  EXPECT_EQ(memory::buffer_of(node)->size, 32u) << "default growth doubles";
  series::make_room(memory::buffer_of(node), 100);
  EXPECT_EQ(memory::buffer_of(node)->size, 240u) << "32 + 2 x 100, rounded to 16";
  EXPECT_EQ(memory::buffer_of(node)->used(), 120u);
  // A zero-capacity cell series still gets room for a cell.
  uint32_t cells = memory::alloc_cells(0);
  series::make_room(memory::buffer_of(cells), 16);
  EXPECT_EQ(memory::buffer_of(cells)->used(), 16u);
  EXPECT_GE(memory::buffer_of(cells)->size, 16u);
}

TEST_F(memory_test, copy_series_keeps_flags_used_part_and_content) {
  uint32_t node = memory::alloc_codepoints(8, 2);
  series::set_flags(node, SERIES_OWNED);
  series_buffer* b = memory::buffer_of(node);
  std::memcpy(series::make_room(b, 6), "a\0b\0c\0", 6);
  b = memory::buffer_of(node);
  b->head += 2;
  uint32_t copy = memory::copy_series(b);
  series_buffer* c = memory::buffer_of(copy);
  b = memory::buffer_of(node);
  EXPECT_EQ(c->flags, b->flags);
  EXPECT_EQ(c->unit(), 2u);
  EXPECT_EQ(c->size, b->size);
  EXPECT_EQ(c->used(), 4u);
  EXPECT_EQ(0, std::memcmp(c->head_ptr(), "b\0c\0", 4));
  EXPECT_EQ(c->head, data_offset(c));
}

TEST_F(memory_test, fixed_series_live_outside_frames) {
  uint32_t node = memory::alloc_fixed_series(10, 16, 0);
  collector::root_node keep(node);
  series_buffer* b = memory::buffer_of(node);
  EXPECT_EQ(b->flags & ~SERIES_UNIT_MASK, SERIES_IN_USE | SERIES_MADE | SERIES_FIXED);
  EXPECT_EQ(b->size, 160u);
  EXPECT_EQ(memory::record.series_head, 0u) << "no series frame was needed";
  collector::do_cycle();
  EXPECT_EQ(memory::buffer_of(node), b);
  EXPECT_TRUE(b->flags & SERIES_IN_USE);
}

TEST_F(memory_test, node_frames_hold_ten_thousand_nodes) {
  using memory::node_frame;
  uint32_t first = memory::alloc_node();
  for (uint32_t i = 1; i < memory::NODES_PER_FRAME; ++i) memory::alloc_node();
  auto* f = arena::at<node_frame>(memory::record.node_head);
  EXPECT_EQ(f->used, memory::NODES_PER_FRAME);
  EXPECT_EQ(f->free, 0u);
  EXPECT_EQ(first, f->first_node());
  uint32_t next = memory::alloc_node();
  EXPECT_NE(memory::record.node_head, memory::record.node_tail);
  EXPECT_EQ(next, arena::at<node_frame>(memory::record.node_tail)->first_node());
  EXPECT_EQ(*arena::at<uint32_t>(next), 0u) << "a fresh node is 0 until linked";
}

TEST_F(memory_test, os_bytes_follow_blocks) {
  EXPECT_EQ(memory::os_bytes(), 0u);
  memory::alloc_bytes(16);
  // One node frame (36 + 40000 bytes + size word) and one 1 MB series frame.
  EXPECT_EQ(memory::os_bytes(), 40960u + 1052672u);
  memory::free_all_frames();
  EXPECT_EQ(memory::os_bytes(), 0u);
  EXPECT_EQ(arena::committed(), 0u);
}

}  // namespace
}  // namespace kez
