#include "runtime/collector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include <csignal>

#include "child_process.h"
#include "heap_fixture.h"
#include "heap_values.h"
#include "runtime/frames.h"

namespace kez {
namespace {

using memory::node_frame;
using memory::record;
using memory::series_frame;
using testing::append;
using testing::bytes_equal;
using testing::bytes_with;
using testing::cell_at;
using testing::heap_test;
using testing::integer_value;
using testing::length_of;
using testing::scaled;
using testing::series_value;

class collector_test : public heap_test {};

uint32_t used_nodes() {
  uint32_t n = 0;
  for (uint32_t f = record.node_head; f; f = arena::at<node_frame>(f)->next) n += arena::at<node_frame>(f)->used;
  return n;
}

std::vector<uint32_t> node_frames() {
  std::vector<uint32_t> v;
  for (uint32_t f = record.node_head; f; f = arena::at<node_frame>(f)->next) v.push_back(f);
  return v;
}

std::vector<uint32_t> series_frames() {
  std::vector<uint32_t> v;
  for (uint32_t f = record.series_head; f; f = arena::at<series_frame>(f)->next) v.push_back(f);
  return v;
}

bool in_frame(uint32_t frame, uint32_t node) { return arena::at<node_frame>(frame)->holds(node); }

TEST_F(collector_test, reached_series_survive_and_move_unreached_ones_go) {
  uint32_t root = memory::alloc_cells(4);
  collector::root_node keep(root);
  uint32_t garbage_before = memory::alloc_bytes(500);
  (void)garbage_before;
  append(root, series_value(TYPE_STRING, bytes_with("hello")));
  memory::alloc_bytes(300);  // garbage between live buffers
  uint32_t inner = memory::alloc_cells(2);
  collector::root_node keep_inner(inner);
  append(root, series_value(TYPE_BLOCK, inner));
  append(inner, series_value(TYPE_BINARY, bytes_with("deep")));
  append(inner, integer_value(42));
  memory::alloc_cells(10);
  uint32_t inner_node = cell_at(root, 1)->w2;
  series_buffer* inner_before = memory::buffer_of(inner_node);

  collector::do_cycle();

  EXPECT_EQ(used_nodes(), 4u) << "root, string, inner block, binary";
  ASSERT_EQ(length_of(root), 2u);
  EXPECT_TRUE(bytes_equal(cell_at(root, 0)->w2, "hello"));
  uint32_t in = cell_at(root, 1)->w2;
  ASSERT_EQ(length_of(in), 2u);
  EXPECT_TRUE(bytes_equal(cell_at(in, 0)->w2, "deep"));
  EXPECT_EQ(cell_at(in, 1)->w2, 42u);
  if (!collector::stress_q()) {
    EXPECT_EQ(in, inner_node);
    EXPECT_LT(memory::buffer_of(in), inner_before) << "compaction slid the live buffer down";
  }
  auto* frame = arena::at<series_frame>(record.series_head);
  // The frame now holds exactly the four live buffers, packed.
  uint32_t packed = 0;
  for (uint32_t b = frame->first(); b < frame->heap; b += memory::buffer_span(arena::at<series_buffer>(b))) {
    EXPECT_TRUE(arena::at<series_buffer>(b)->flags & SERIES_IN_USE);
    EXPECT_FALSE(arena::at<series_buffer>(b)->flags & SERIES_MARK);
    ++packed;
  }
  EXPECT_EQ(packed, 4u);
}

TEST_F(collector_test, cycles_of_blocks_are_marked_once) {
  uint32_t a = memory::alloc_cells(1);
  collector::root_node keep(a);
  append(a, series_value(TYPE_BLOCK, memory::alloc_cells(1)));
  uint32_t b = cell_at(a, 0)->w2;
  append(b, series_value(TYPE_PAREN, a));
  collector::do_cycle();
  collector::do_cycle();
  EXPECT_EQ(used_nodes(), 2u);
  EXPECT_EQ(cell_at(cell_at(a, 0)->w2, 0)->w2, a);
}

TEST_F(collector_test, big_series_are_freed_unless_reached) {
  uint32_t kept = memory::alloc_series(3000000, 1, 0);
  collector::root_node keep(kept);
  series_buffer* kb = memory::buffer_of(kept);
  kb->head_ptr()[2999999] = 7;
  uint64_t with_one = memory::os_bytes();
  memory::alloc_series(2500000, 1, 0);
  EXPECT_GT(memory::os_bytes(), with_one);
  collector::do_cycle();
  EXPECT_EQ(memory::os_bytes(), with_one);
  collector::do_cycle();  // the survivor's mark was cleared, so it survives again
  EXPECT_EQ(memory::buffer_of(kept), kb) << "big series never move";
  EXPECT_EQ(kb->head_ptr()[2999999], 7);
  EXPECT_EQ(used_nodes(), 1u);
}

TEST_F(collector_test, grown_big_series_leave_their_old_block) {
  uint32_t node = memory::alloc_series(2100000, 1, 0);
  collector::root_node keep(node);
  uint64_t before_growth = memory::os_bytes();
  memory::expand_series(memory::buffer_of(node), 4200000);
  uint64_t after_growth = memory::os_bytes();
  // The pages move into the new block: the old one went back at once.
  EXPECT_LT(after_growth, before_growth + 4200000) << "the abandoned block went back";
  collector::do_cycle();
  EXPECT_LE(memory::os_bytes(), after_growth);
  EXPECT_EQ(memory::buffer_of(node)->size, 4200000u);
}

// A keep block of binaries, one per node, spread over three node frames:
// the first stays full (so the second is the active frame after a cycle),
// the second keeps one binary in a hundred, the third exactly `third_used`.
// Each binary holds its own index in the block.
struct three_frames {
  uint32_t keep_block = 0;
  collector::root_node keep{keep_block};
  std::vector<uint32_t> frames;

  explicit three_frames(uint32_t third_used) {
    constexpr uint32_t total = 29000;
    keep_block = memory::alloc_cells(total);
    for (uint32_t i = 0; i < total; ++i) {
      uint32_t n = memory::alloc_bytes(4);
      *reinterpret_cast<uint32_t*>(series::make_room(memory::buffer_of(n), 4)) = i;
      append(keep_block, series_value(TYPE_BINARY, n));
    }
    frames = node_frames();
    EXPECT_EQ(frames.size(), 3u);
    uint32_t kept = 0;
    for (uint32_t i = 0; i < total; ++i) {
      cell* c = cell_at(keep_block, i);
      bool drop = (in_frame(frames[1], c->w2) && i % 100) || (in_frame(frames[2], c->w2) && kept++ >= third_used);
      if (drop) *c = cell{TYPE_NONE, 0, 0, 0};
    }
  }

  // Cycles until node frames were evacuated (at most ten); answers the count.
  int cycles_to_evacuation() {
    uint32_t evacuations = collector::node_compaction_count();
    int cycles = 0;
    while (collector::node_compaction_count() == evacuations && cycles < 10) {
      collector::do_cycle();
      ++cycles;
    }
    return cycles;
  }

  void expect_intact() {
    for (uint32_t i = 0; i < length_of(keep_block); ++i) {
      cell* c = cell_at(keep_block, i);
      if (c->header != TYPE_BINARY) continue;
      ASSERT_EQ(*reinterpret_cast<uint32_t*>(memory::buffer_of(c->w2)->head_ptr()), i);
      ASSERT_EQ(memory::buffer_of(c->w2)->node, c->w2);
    }
  }
};

TEST_F(collector_test, only_a_less_than_half_used_stable_frame_is_evacuated) {
  struct row {
    uint32_t third_used;
    bool evacuated;
  };
  for (row r : {row{4999, true}, row{5000, false}}) {
    testing::reset_heap();
    collector::set_stress(false);
    three_frames heap(r.third_used);
    // One cycle frees the dropped nodes, six find the frame stable, the eighth moves it.
    EXPECT_EQ(heap.cycles_to_evacuation(), r.evacuated ? 8 : 10) << r.third_used;
    EXPECT_EQ(node_frames().size(), r.evacuated ? 2u : 3u);
    heap.expect_intact();
  }
}

uint32_t side_table[1];
int relocations = 0;
void relocate_side_table() {
  ++relocations;
  collector::relocate_range(side_table, side_table + 1);
}

TEST_F(collector_test, evacuation_rewrites_every_reference_to_a_moved_node) {
  collector::set_stress(false);
  three_frames heap(40);
  // Slots outside the block that name a third-frame node: a guard, a rooted
  // cell and a plain table that only a relocator rewrites.
  uint32_t probe = 0;
  while (!in_frame(heap.frames[2], cell_at(heap.keep_block, probe)->w2)) ++probe;
  uint32_t guarded = cell_at(heap.keep_block, probe)->w2;
  collector::root_node guard(guarded);
  cell held = *cell_at(heap.keep_block, probe);
  collector::root_cells hold(&held);
  side_table[0] = guarded;
  relocations = 0;
  collector::add_relocator(relocate_side_table);
  EXPECT_EQ(heap.cycles_to_evacuation(), 8);
  collector::remove_relocator(relocate_side_table);
  EXPECT_EQ(relocations, 1) << "relocators run only in cycles that moved nodes";
  std::vector<uint32_t> frames = node_frames();
  ASSERT_EQ(frames.size(), 2u) << "the emptied frame was released";
  EXPECT_EQ(record.node_active, frames[1]);
  for (uint32_t slot : {guarded, held.w2, side_table[0], cell_at(heap.keep_block, probe)->w2}) {
    EXPECT_TRUE(in_frame(frames[1], slot)) << "moved into the active frame";
    EXPECT_EQ(slot, guarded);
  }
  heap.expect_intact();
}

// Five frames: the first full, the second (active) with a hundred free
// nodes, the third sparse, the fourth over half used, the last sparse. The
// last frame's nodes overflow the active frame into the third, which is
// itself evacuated later in the same cycle: a node may move only once, or the
// slots naming it are rewritten to a node in a released frame.
TEST_F(collector_test, evacuation_never_moves_nodes_into_a_frame_it_evacuates) {
  collector::set_stress(false);
  constexpr uint32_t total = 49000;
  uint32_t keep_block = memory::alloc_cells(total);
  collector::root_node keep(keep_block);
  for (uint32_t i = 0; i < total; ++i) {
    uint32_t n = memory::alloc_bytes(4);
    *reinterpret_cast<uint32_t*>(series::make_room(memory::buffer_of(n), 4)) = i;
    append(keep_block, series_value(TYPE_BINARY, n));
  }
  std::vector<uint32_t> frames = node_frames();
  ASSERT_EQ(frames.size(), 5u);
  uint32_t kept[5] = {};
  const uint32_t keep_of[5] = {memory::NODES_PER_FRAME, memory::NODES_PER_FRAME - 100, 1000, 6000, 1000};
  for (uint32_t i = 0; i < total; ++i) {
    cell* c = cell_at(keep_block, i);
    for (uint32_t f = 1; f < 5; ++f)
      if (in_frame(frames[f], c->w2) && kept[f]++ >= keep_of[f]) *c = cell{TYPE_NONE, 0, 0, 0};
  }
  uint32_t evacuations = collector::node_compaction_count();
  for (int i = 0; i < 10 && collector::node_compaction_count() == evacuations; ++i) collector::do_cycle();
  ASSERT_GT(collector::node_compaction_count(), evacuations);
  frames = node_frames();
  for (uint32_t i = 0; i < total; ++i) {
    cell* c = cell_at(keep_block, i);
    if (c->header != TYPE_BINARY) continue;
    ASSERT_TRUE(std::any_of(frames.begin(), frames.end(), [&](uint32_t f) { return in_frame(f, c->w2); }))
        << "binary " << i << " names a node of a released frame";
    ASSERT_EQ(memory::buffer_of(c->w2)->node, c->w2);
    ASSERT_EQ(*reinterpret_cast<uint32_t*>(memory::buffer_of(c->w2)->head_ptr()), i);
  }
}

TEST_F(collector_test, more_dead_nodes_than_the_release_list_holds) {
  collector::set_enabled(false);
  for (uint32_t i = 0; i < 25000; ++i) memory::alloc_bytes(1);
  uint32_t live = bytes_with("last");
  collector::root_node keep(live);
  collector::do_cycle();
  EXPECT_EQ(used_nodes(), 1u);
  EXPECT_TRUE(bytes_equal(live, "last"));
}

TEST_F(collector_test, stress_mode_moves_every_node_each_cycle) {
  // Rows: a lone series, and a node frame with no free node left.
  for (uint32_t extra : {0u, memory::NODES_PER_FRAME - 2}) {
    testing::reset_heap();
    collector::set_stress(false);
    uint32_t block = memory::alloc_cells(extra);
    collector::root_node keep_block(block);
    for (uint32_t i = 0; i < extra; ++i) append(block, series_value(TYPE_BINARY, memory::alloc_bytes(1)));
    uint32_t node = bytes_with("moving");
    collector::root_node keep(node);
    ASSERT_EQ(used_nodes(), extra + 2);
    collector::set_stress(true);
    uint32_t before = node, frame_before = record.node_head;
    memory::alloc_bytes(8);  // collects
    EXPECT_NE(node, before);
    EXPECT_NE(record.node_head, frame_before);
    EXPECT_TRUE(bytes_equal(node, "moving"));
    EXPECT_EQ(used_nodes(), extra + 3);
    for (uint32_t i = 0; i < extra; ++i) ASSERT_EQ(memory::buffer_of(cell_at(block, i)->w2)->node, cell_at(block, i)->w2);
  }
}

// Runs of equal cells are marked once and the rest take the first one's
// rewritten nodes; cells naming one node in other ways (another index) are
// marked on their own. Every node moves here, so a cell left with its old
// node names a released frame.
TEST_F(collector_test, cells_repeating_one_value_all_follow_its_moved_node) {
  collector::set_stress(false);
  uint32_t block = memory::alloc_cells(12);
  collector::root_node keep(block);
  uint32_t a = bytes_with("a"), b = bytes_with("b");
  cell text_a = series_value(TYPE_STRING, a), text_b = series_value(TYPE_STRING, b);
  cell a_at_1 = text_a;
  a_at_1.w1 = 1;
  for (const cell& c : {text_a, text_a, a_at_1, text_a, integer_value(5), text_a, text_b, text_b, text_a, a_at_1, text_a})
    append(block, c);
  collector::set_stress(true);
  memory::alloc_bytes(8);  // collects, moving every node
  collector::set_stress(false);
  uint32_t moved_a = cell_at(block, 0)->w2, moved_b = cell_at(block, 6)->w2;
  EXPECT_NE(moved_a, a);
  EXPECT_NE(moved_b, b);
  EXPECT_TRUE(bytes_equal(moved_a, "a"));
  EXPECT_TRUE(bytes_equal(moved_b, "b"));
  for (uint32_t i = 0; i < length_of(block); ++i) {
    const cell* c = cell_at(block, i);
    if (c->header != TYPE_STRING) continue;
    EXPECT_EQ(c->w2, i == 6 || i == 7 ? moved_b : moved_a) << "cell " << i;
    EXPECT_EQ(c->w1, i == 2 || i == 9 ? 1u : 0u) << "cell " << i;
  }
  EXPECT_EQ(used_nodes(), 4u);  // the block, the two texts and the fresh bytes
}

TEST(collector_stress, a_node_kept_without_a_root_faults_at_its_next_use) {
  const std::string program = KEZ_TEST_PROGRAM_DIR "/stale_node";
  auto rooted = test::run_child(program, {"rooted"});
  EXPECT_EQ(rooted.status, 0) << rooted.err;
  EXPECT_EQ(rooted.out, "kept\n");
  auto unrooted = test::run_child(program, {"unrooted"});
#if defined(KEZ_SANITIZE)
  // The sanitizer build poisons the released frame instead of protecting its pages.
  EXPECT_NE(unrooted.status, 0);
  EXPECT_NE(unrooted.err.find("use-after-poison"), std::string::npos) << unrooted.err;
#else
  EXPECT_EQ(unrooted.status, 128 + SIGSEGV) << unrooted.err;
#endif
  EXPECT_EQ(unrooted.out, "");
}

uint32_t global_node = 0;
void mark_global() { collector::mark_block(&global_node); }

TEST_F(collector_test, marker_callbacks_keep_module_roots) {
  collector::add_marker(mark_global);
  global_node = memory::alloc_cells(1);
  append(global_node, series_value(TYPE_STRING, bytes_with("kept")));
  collector::do_cycle();
  EXPECT_EQ(used_nodes(), 2u);
  EXPECT_TRUE(bytes_equal(cell_at(global_node, 0)->w2, "kept"));
  collector::remove_marker(mark_global);
  collector::do_cycle();
  EXPECT_EQ(used_nodes(), 0u);
  global_node = 0;
}

TEST_F(collector_test, a_marker_registered_for_each_task_never_runs_out_of_slots) {
  for (int task = 0; task < 250; ++task) {
    collector::add_marker(mark_global);
    global_node = memory::alloc_cells(0);
    collector::do_cycle();
    ASSERT_EQ(used_nodes(), 1u) << task;
    collector::remove_marker(mark_global);
    global_node = 0;
  }
}

int custom_marked = 0;
void mark_custom(cell* c) {
  ++custom_marked;
  collector::mark_node(&c->w3);
}

TEST_F(collector_test, type_rows_decide_what_a_cell_keeps) {
  // A money! cell is inert by default; its row is given a procedure here
  // that keeps the node in its third payload word.
  collector::set_marker(TYPE_MONEY, mark_custom);
  uint32_t root = memory::alloc_cells(3);
  collector::root_node keep(root);
  append(root, cell{TYPE_MONEY, 0, 0, bytes_with("custom")});
  append(root, cell{TYPE_INTEGER, 0, bytes_with("not a node"), 0});
  append(root, cell{TYPE_HANDLE, 0, 0, 0xFFFFFFFF});  // no handle
  custom_marked = 0;
  collector::do_cycle();
  collector::set_marker(TYPE_MONEY, nullptr);
  EXPECT_EQ(custom_marked, 1);
  EXPECT_EQ(used_nodes(), 2u) << "the integer's payload is not a reference";
  EXPECT_TRUE(bytes_equal(cell_at(root, 0)->w3, "custom"));
}

// A context series: the context cell (word table, values) then the owner.
uint32_t context_with_values() {
  uint32_t values = memory::alloc_cells(1);
  collector::root_node hold(values);
  uint32_t context = memory::alloc_cells(2);
  append(context, cell{TYPE_CONTEXT, 0, values, 0});
  append(context, cell{TYPE_NONE, 0, 0, 0});
  return context;
}

TEST_F(collector_test, default_rows_keep_what_each_type_names) {
  struct row {
    const char* name;
    cell (*make)();
    uint32_t survivors;  // nodes kept besides the root block
  };
  const row rows[] = {
      {"string with a second node", [] { return cell{TYPE_STRING, 0, memory::alloc_bytes(1), memory::alloc_bytes(1)}; }, 2},
      {"symbol", [] { return cell{TYPE_SYMBOL, 0, memory::alloc_bytes(1), memory::alloc_bytes(1)}; }, 2},
      {"event with a block", [] { return cell{uint32_t(TYPE_EVENT) | FLAG_EVENT_BUILT, 0, memory::alloc_cells(1), 0}; }, 1},
      {"event key U+10000", [] { return cell{TYPE_EVENT, 0, memory::alloc_cells(1), 0x10000}; }, 0},
      {"event without", [] { return cell{TYPE_EVENT, 0, memory::alloc_cells(1), 0}; }, 0},
      {"context with its values", [] { return cell{TYPE_CONTEXT, 0, memory::alloc_cells(1), 0}; }, 1},
      {"context with values on the stack",
       [] { return cell{uint32_t(TYPE_CONTEXT) | FLAG_STACK_VALUES, 0, memory::alloc_cells(1), 0}; }, 0},
      {"object", [] { return cell{TYPE_OBJECT, context_with_values(), 0, 0}; }, 2},
      {"bound word", [] { return cell{TYPE_SET_WORD, context_with_values(), 0, 0}; }, 2},
      {"op made from a function", [] { return cell{TYPE_OP | (TYPE_FUNCTION << 16), context_with_values(), 0, 0}; }, 2},
      {"op made from a native", [] { return cell{TYPE_OP | (TYPE_NATIVE << 16), context_with_values(), 0, 0}; }, 0},
      {"issue", [] { return cell{TYPE_ISSUE, memory::alloc_bytes(1), memory::alloc_bytes(1), 0}; }, 0},
  };
  for (const row& r : rows) {
    testing::reset_heap();
    collector::set_enabled(false);  // the row's series are not rooted until stored
    uint32_t root = memory::alloc_cells(1);
    collector::root_node keep(root);
    append(root, r.make());
    collector::set_enabled(true);
    collector::do_cycle();
    EXPECT_EQ(used_nodes(), 1 + r.survivors) << r.name;
  }
}

TEST_F(collector_test, pinned_pointers_move_with_their_buffer) {
  collector::set_stress(false);
  memory::alloc_bytes(1000);  // garbage below: the live buffer slides down
  uint32_t node = bytes_with("0123456789");
  collector::root_node keep(node);
  uint8_t* at_five = memory::buffer_of(node)->head_ptr() + 5;
  uint8_t* at_end = memory::buffer_of(node)->end();
  series_buffer* before = memory::buffer_of(node);
  {
    collector::pinned_pointer p1(at_five), p2(at_end);
    collector::do_cycle();
  }
  series_buffer* after = memory::buffer_of(node);
  ASSERT_NE(after, before);
  EXPECT_EQ(at_five, after->head_ptr() + 5);
  EXPECT_EQ(*at_five, '5');
  EXPECT_EQ(at_end, after->end()) << "an end pointer belongs to its own buffer, not the next";
}

TEST_F(collector_test, a_block_nested_100000_deep_survives) {
  constexpr uint32_t depth = 100000;
  uint32_t outer = 0;
  collector::root_node keep(outer);
  collector::set_enabled(false);  // building is not what is measured; the cycle is
  outer = memory::alloc_cells(1);
  append(outer, integer_value(depth));
  for (uint32_t i = 1; i < depth; ++i) {
    uint32_t next = memory::alloc_cells(1);
    append(next, series_value(TYPE_BLOCK, outer));
    outer = next;
  }
  collector::set_enabled(true);
  memory::alloc_bytes(100);  // garbage
  collector::do_cycle();
  EXPECT_EQ(used_nodes(), depth);
  uint32_t n = outer, levels = 1;
  while (cell_at(n, 0)->header == TYPE_BLOCK) {
    n = cell_at(n, 0)->w2;
    ++levels;
  }
  EXPECT_EQ(levels, depth);
  EXPECT_EQ(cell_at(n, 0)->w2, depth);
}

// Three series frames: the second and third hold a few live buffers each,
// the first mostly garbage. Live buffers move down into the first frame; the
// second frame, emptied, goes back; the last frame stays, empty.
TEST_F(collector_test, series_frames_compact_into_the_previous_one) {
  uint32_t root = memory::alloc_cells(64);
  collector::root_node keep(root);
  collector::set_enabled(false);
  uint32_t label = 0;
  while (series_frames().size() < 3) {
    uint32_t n = memory::alloc_bytes(60000);
    series_buffer* b = memory::buffer_of(n);
    *reinterpret_cast<uint32_t*>(series::make_room(b, 4)) = label;
    if (series_frames().size() > 1 && label % 8 == 0) append(root, series_value(TYPE_BINARY, n));
    ++label;
  }
  uint32_t live = length_of(root);
  ASSERT_GE(live, 3u);
  std::vector<uint32_t> before = series_frames();
  collector::set_enabled(true);
  collector::do_cycle();
  std::vector<uint32_t> after = series_frames();
  ASSERT_EQ(after.size(), 2u);
  EXPECT_EQ(after[0], before[0]);
  EXPECT_EQ(after[1], before[2]);
  auto* last = arena::at<series_frame>(after[1]);
  EXPECT_EQ(last->heap, last->first()) << "the last frame keeps its block, empty";
  auto* first = arena::at<series_frame>(after[0]);
  for (uint32_t i = 0; i < live; ++i) {
    series_buffer* b = memory::buffer_of(cell_at(root, i)->w2);
    EXPECT_GE(arena::offset_of(b), first->first());
    EXPECT_LT(arena::offset_of(b), first->heap);
    EXPECT_EQ(*reinterpret_cast<uint32_t*>(b->head_ptr()) % 8, 0u);
  }
}

TEST_F(collector_test, a_nearly_full_previous_frame_takes_nothing) {
  collector::set_enabled(false);
  uint32_t root = memory::alloc_cells(64);  // never grows: no abandoned buffer below
  collector::root_node keep(root);
  // Fill the first frame to within 52,428 bytes of its end with live data.
  while (true) {
    auto* f = arena::at<series_frame>(record.series_head);
    uint32_t room = f->end - f->heap;
    if (room < 60000) break;
    uint32_t n = memory::alloc_bytes(room - 24 > 100000 ? 100000 : room - 24 - 40000);
    append(root, series_value(TYPE_BINARY, n));
  }
  uint32_t first_heap = arena::at<series_frame>(record.series_head)->heap;
  ASSERT_LE(arena::at<series_frame>(record.series_head)->end - first_heap, memory::FRAME_REUSE_MIN);
  memory::alloc_bytes(100000);  // second frame: garbage, then a live buffer
  append(root, series_value(TYPE_BINARY, bytes_with("second")));
  ASSERT_EQ(series_frames().size(), 2u);
  collector::set_enabled(true);
  collector::do_cycle();
  uint32_t moved = cell_at(root, length_of(root) - 1)->w2;
  EXPECT_EQ(arena::at<series_frame>(record.series_head)->heap, first_heap);
  auto* second = arena::at<series_frame>(record.series_tail);
  EXPECT_EQ(arena::offset_of(memory::buffer_of(moved)), second->first()) << "compacted in place";
  EXPECT_TRUE(bytes_equal(moved, "second"));
}

TEST_F(collector_test, emptied_node_frames_go_and_the_first_with_room_is_active) {
  collector::set_stress(false);
  uint32_t keep_node = 0;
  collector::root_node keep(keep_node);
  collector::set_enabled(false);
  for (uint32_t i = 0; i < memory::NODES_PER_FRAME + 10; ++i) memory::alloc_bytes(1);
  keep_node = memory::alloc_bytes(1);  // in the second frame
  ASSERT_EQ(node_frames().size(), 2u);
  collector::do_cycle();
  std::vector<uint32_t> frames = node_frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(record.node_active, frames[0]);
  EXPECT_TRUE(in_frame(frames[0], keep_node));
}

TEST_F(collector_test, a_disabled_collector_runs_only_when_asked) {
  collector::set_enabled(false);
  uint32_t cycles = collector::cycle_count();
  for (int i = 0; i < 200; ++i) memory::alloc_bytes(60000);  // several frames, no collection
  memory::alloc_series(3000000, 1, 0);
  EXPECT_EQ(collector::cycle_count(), cycles);
  uint64_t grown = memory::os_bytes();
  collector::do_cycle();
  EXPECT_EQ(collector::cycle_count(), cycles + 1);
  EXPECT_LT(memory::os_bytes(), grown);
}

// Random allocation, linking and dropping over a bounded set of slots, with
// the content of every reachable series checked against a model.
TEST_F(collector_test, churn_keeps_content_and_bounded_memory) {
  constexpr uint32_t slots = 256;
  const uint32_t steps = scaled(2000000, 4000);
  uint32_t world = memory::alloc_unset_cells(slots);
  collector::root_node keep(world);
  memory::buffer_of(world)->tail += slots * sizeof(cell);
  struct model {
    uint32_t kind = 0;  // 0 empty, 1 binary (length, seed), 2 block of integers (length, seed), 3 handle (seed)
    uint32_t length = 0, seed = 0;
  };
  std::vector<model> expect(slots);
  std::mt19937 rng(1234);
  static uint32_t resources = 0, resources_released = 0;
  resources = resources_released = 0;
  uint32_t resource = handles::register_type("resource", [](void*) { ++resources_released; });
  auto check = [&](uint32_t s) {
    cell* c = cell_at(world, s);
    const model& m = expect[s];
    if (m.kind == 0) return;
    if (m.kind == 3) {
      ASSERT_EQ(c->header, TYPE_HANDLE);
      ASSERT_EQ(handles::pointer(int32_t(c->w3)), reinterpret_cast<void*>(uintptr_t(m.seed)));
      return;
    }
    series_buffer* b = memory::buffer_of(c->w2);
    ASSERT_EQ(b->node, c->w2);
    if (m.kind == 1) {
      ASSERT_EQ(b->used(), m.length);
      for (uint32_t i = 0; i < m.length; ++i) ASSERT_EQ(b->head_ptr()[i], uint8_t(m.seed + i)) << s;
    } else {
      ASSERT_EQ(b->used(), m.length * 16);
      for (uint32_t i = 0; i < m.length; ++i) {
        cell* e = b->head_cell() + i;
        if (e->header == TYPE_INTEGER) ASSERT_EQ(e->w2, m.seed + i);
        else ASSERT_TRUE(e->header == TYPE_BLOCK || e->header == TYPE_BINARY || e->header == TYPE_HANDLE);
      }
    }
  };
  uint64_t peak_first_half = 0, peak_second_half = 0;
  for (uint32_t step = 0; step < steps; ++step) {
    uint32_t s = rng() % slots;
    uint32_t op = rng() % 16;
    cell* c = cell_at(world, s);
    if (op < 6) {  // new binary
      uint32_t length = rng() % (op == 0 ? 4000 : 200);
      uint32_t seed = rng();
      uint32_t n = memory::alloc_bytes(length);
      uint8_t* p = series::make_room(memory::buffer_of(n), length);
      for (uint32_t i = 0; i < length; ++i) p[i] = uint8_t(seed + i);
      *cell_at(world, s) = series_value(TYPE_BINARY, n);
      expect[s] = {1, length, seed};
    } else if (op < 9) {  // new block of integers
      uint32_t length = rng() % 40;
      uint32_t seed = rng();
      uint32_t n = memory::alloc_cells(rng() % 8);
      collector::root_node hold(n);
      for (uint32_t i = 0; i < length; ++i) append(n, integer_value(int32_t(seed + i)));
      *cell_at(world, s) = series_value(TYPE_BLOCK, n);
      expect[s] = {2, length, seed};
    } else if (op < 12 && expect[s].kind == 1) {  // grow a binary
      uint32_t more = rng() % 300;
      uint8_t* p = series::make_room(memory::buffer_of(c->w2), more);
      for (uint32_t i = 0; i < more; ++i) p[i] = uint8_t(expect[s].seed + expect[s].length + i);
      expect[s].length += more;
    } else if (op < 14 && expect[s].kind == 2) {  // link another slot's series into a block
      uint32_t other = rng() % slots;
      cell value = *cell_at(world, other);
      if (value.header == TYPE_UNSET) value = integer_value(int32_t(expect[s].seed + expect[s].length));
      append(c->w2, value);
      ++expect[s].length;
    } else if (op == 14) {  // drop
      *c = cell{TYPE_UNSET, 0, 0, 0};
      expect[s] = {};
    } else if (op == 15 && rng() % scaled(2000, 200) == 0) {  // a big series, dropped at once
      memory::alloc_series(2200000, 1, 0);
    } else if (op == 15) {  // a native resource behind a handle! value
      uint32_t seed = (rng() | 1) & 0xFFFFFF;
      *c = cell{TYPE_HANDLE, 0, 0, uint32_t(handles::store(reinterpret_cast<void*>(uintptr_t(seed)), resource))};
      expect[s] = {3, 0, seed};
      ++resources;
    }
    check(s);
    if (step % (steps / 20) == 0) {
      collector::do_cycle();
      for (uint32_t i = 0; i < slots; ++i) check(i);
      (step < steps / 2 ? peak_first_half : peak_second_half) =
          std::max(step < steps / 2 ? peak_first_half : peak_second_half, memory::os_bytes());
    }
  }
  for (uint32_t i = 0; i < slots; ++i) check(i);
  EXPECT_LE(peak_second_half, peak_first_half + 4 * 1024 * 1024) << "memory use is bounded, not growing";
  EXPECT_LE(peak_second_half, 32u * 1024 * 1024);
  for (uint32_t i = 0; i < slots; ++i) *cell_at(world, i) = cell{TYPE_UNSET, 0, 0, 0};
  collector::do_cycle();
  EXPECT_EQ(used_nodes(), 1u);
  EXPECT_LE(memory::os_bytes(), 4u * 1024 * 1024);
  EXPECT_GT(resources, 0u);
  EXPECT_EQ(resources_released, resources) << "every dropped handle released exactly once";
}

}  // namespace
}  // namespace kez
