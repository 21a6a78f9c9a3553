#include "runtime/stats.h"

#include <gtest/gtest.h>

#include "heap_fixture.h"
#include "heap_values.h"
#include "runtime/frames.h"
#include "runtime/mem.h"

namespace kez {
namespace {

using testing::append;
using testing::cell_at;
using testing::heap_test;
using testing::length_of;

class stats_test : public heap_test {};

int64_t int_at(uint32_t block, uint32_t i) { return int32_t(cell_at(block, i)->w2); }

TEST_F(stats_test, detail_identities_hold_in_every_frame) {
  uint32_t root = memory::alloc_cells(4);
  collector::root_node keep(root);
  append(root, testing::series_value(TYPE_BINARY, memory::alloc_series(2500000, 1, 0)));
  for (int i = 0; i < 30; ++i) append(root, testing::series_value(TYPE_BINARY, memory::alloc_bytes(50000)));
  uint32_t report = memory::alloc_cells(8);
  collector::root_node keep_report(report);
  double in_use = memory::stats(0, 1);
  uint32_t cycles = collector::cycle_count();
  EXPECT_EQ(memory::stats(report, 2), 0.0);
  EXPECT_EQ(collector::cycle_count(), cycles);
  EXPECT_TRUE(collector::enabled()) << "restored after the report";
  ASSERT_EQ(length_of(report), 5u);
  for (uint32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(cell_at(report, i)->header, uint32_t(TYPE_BLOCK) | FLAG_NEW_LINE);
    EXPECT_GE(memory::buffer_of(cell_at(report, i)->w2)->size, 8 * sizeof(cell)) << "room for 8 values";
  }
  int64_t used = 0;
  uint32_t nodes = cell_at(report, 0)->w2;
  ASSERT_GE(length_of(nodes), 1u);
  for (uint32_t i = 0; i < length_of(nodes); ++i) {
    uint32_t frame = cell_at(nodes, i)->w2;
    EXPECT_EQ(int_at(frame, 0) + int_at(frame, 1), int_at(frame, 2)) << "free + used = total";
    // Under collection stress the frame that a collection moves every node
    // into is sized for all of them, rounded up to whole pages.
    if (collector::stress_q())
      EXPECT_GE(int_at(frame, 2), int64_t(memory::NODES_PER_FRAME));
    else
      EXPECT_EQ(int_at(frame, 2), int64_t(memory::NODES_PER_FRAME));
    used += int_at(frame, 1) * 4;
  }
  uint32_t series = cell_at(report, 1)->w2;
  ASSERT_GE(length_of(series), 1u);
  for (uint32_t i = 0; i < length_of(series); ++i) {
    uint32_t frame = cell_at(series, i)->w2;
    EXPECT_EQ(int_at(frame, 0) + int_at(frame, 1), int_at(frame, 2));
    used += int_at(frame, 1);
  }
  uint32_t bigs = cell_at(report, 2)->w2;
  ASSERT_EQ(length_of(bigs), 1u);
  EXPECT_EQ(cell_at(bigs, 0)->header, uint32_t(TYPE_INTEGER) | FLAG_NEW_LINE);
  EXPECT_EQ(int_at(bigs, 0), 2500000 + 24);
  used += int_at(bigs, 0);
  // Each figure is read as the report reaches it, and building the report
  // takes nodes and buffers of its own: the sum lies between plain stats
  // asked before and after.
  EXPECT_GT(used, int64_t(in_use));
  EXPECT_LE(used, int64_t(memory::stats(0, 1)));
  int64_t heap = int_at(report, 4);
  EXPECT_EQ(heap, int64_t(mem::asked_total() + mem::count() * 32));
  EXPECT_EQ(int_at(report, 3), int64_t(memory::os_bytes()) + heap);
}

TEST_F(stats_test, plain_stats_sum_used_nodes_filled_frames_and_big_series) {
  collector::set_enabled(false);
  memory::alloc_bytes(100);   // 20 + 112 + 4
  memory::alloc_cells(2);     // 20 + 32 + 4
  memory::alloc_series(2200000, 1, 0);
  EXPECT_EQ(memory::stats(0, 1), double(3 * 4 + 136 + 56 + 2200000 + 24));
}

TEST_F(stats_test, the_report_never_collects_even_when_it_needs_a_frame) {
  uint32_t report = memory::alloc_cells(8);
  collector::root_node keep(report);
  collector::set_enabled(false);
  // Leave the only frame with almost no room, so the report needs a new one.
  auto* f = arena::at<memory::series_frame>(memory::record.series_head);
  memory::alloc_bytes(f->end - f->heap - 24 - 16);
  collector::set_enabled(true);
  uint32_t cycles = collector::cycle_count();
  memory::stats(report, 2);
  EXPECT_EQ(collector::cycle_count(), cycles);
  EXPECT_EQ(length_of(cell_at(report, 1)->w2), 2u) << "the frame made for the report is listed";
}

TEST_F(stats_test, totals_past_two_gigabytes_are_floats) {
  uint32_t report = memory::alloc_cells(8);
  collector::root_node keep(report);
  uint32_t huge = 0;
  collector::root_node keep_huge(huge);
  try {
    huge = memory::alloc_series(0x80000000u, 1, 0);  // pages are committed, never touched
  } catch (const thrown&) {
    GTEST_SKIP() << "the system refused 2 GiB of address space";
  }
  memory::stats(report, 2);
  cell* total = cell_at(report, 3);
  EXPECT_EQ(total->header, TYPE_FLOAT);
  EXPECT_GT(load_double(&total->w2), 2147483647.0);
  EXPECT_EQ(cell_at(report, 4)->header, TYPE_INTEGER);
}

}  // namespace
}  // namespace kez
