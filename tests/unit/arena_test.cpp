#include "runtime/arena.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/vmem.h"
#include "runtime/page_runs.h"
#include "runtime/start.h"

namespace kez {
namespace {

constexpr uint64_t P = 4096;

TEST(page_runs, fresh_space_first_then_released_runs_first_fit) {
  page_runs runs(16 * P, 26 * P);  // ten pages
  uint64_t a = runs.take(3 * P), b = runs.take(2 * P), c = runs.take(4 * P);
  EXPECT_EQ(a, 16 * P);
  EXPECT_EQ(b, 19 * P);
  EXPECT_EQ(c, 21 * P);
  runs.give(a, 3 * P);
  EXPECT_EQ(runs.take(P), 25 * P) << "the last fresh page comes before any released one";
  EXPECT_EQ(runs.take(4 * P), 0u) << "three released pages do not hold four";
  EXPECT_EQ(runs.take(2 * P), a);
  EXPECT_EQ(runs.take(P), a + 2 * P);
  EXPECT_EQ(runs.take(P), 0u);
}

TEST(page_runs, released_neighbours_coalesce) {
  page_runs runs(P, 7 * P);  // six pages
  uint64_t r[6];
  for (uint64_t& x : r) x = runs.take(P);
  // Released out of order: 1, 3, then 2 joins both; 5 stays apart.
  runs.give(r[1], P);
  runs.give(r[3], P);
  runs.give(r[5], P);
  EXPECT_EQ(runs.released_runs(), 3u);
  runs.give(r[2], P);
  EXPECT_EQ(runs.released_runs(), 2u);
  EXPECT_EQ(runs.take(3 * P), r[1]);
  EXPECT_EQ(runs.take(P), r[5]);
  EXPECT_EQ(runs.released_runs(), 0u);
}

// Heap pages may be mapped privately from the boot image's file: giving them
// back or discarding them must leave pages that read as zeroes, not as the
// file's bytes again (which is what dropping a file page does).
TEST(vmem, pages_mapped_from_a_file_come_back_as_zeroes) {
  std::FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  std::vector<uint8_t> bytes(2 * P, 0xAB);
  ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
  std::fflush(file);
  auto* range = static_cast<uint8_t*>(vmem::reserve(2 * P));
  ASSERT_NE(range, nullptr);
  struct step {
    const char* name;
    bool (*drop)(void*, size_t);
    bool commit_after;
  };
  const step steps[] = {{"renew", vmem::renew, false}, {"forget", vmem::forget, true}};
  for (const step& s : steps) {
    void* mapped = mmap(range, 2 * P, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_FIXED, fileno(file), 0);
    ASSERT_EQ(mapped, range) << s.name;
    range[1] = 7;  // one page copied on write, the other still the file's
    ASSERT_EQ(range[P], 0xAB) << s.name;
    ASSERT_TRUE(s.drop(range, 2 * P)) << s.name;
    if (s.commit_after) ASSERT_TRUE(vmem::commit(range, 2 * P)) << s.name;
    EXPECT_EQ(range[1], 0) << s.name;
    EXPECT_EQ(range[P], 0) << s.name;
    range[P + 1] = 5;  // writable
    EXPECT_EQ(range[P + 1], 5) << s.name;
  }
  munmap(range, 2 * P);
  std::fclose(file);
}

// Under an address-space limit the range takes what leaves room for the rest
// of the process, and the runtime thread's stack shrinks with it; without a
// limit both keep their full size.
TEST(arena, range_and_stack_fit_the_space_left) {
  constexpr uint64_t MiB = uint64_t(1) << 20;
  struct row {
    uint64_t left;
    uint64_t range_low, range_high;  // bounds of the range chosen
    size_t stack;
  };
  const row rows[] = {
      {SIZE_MAX, arena::RANGE, arena::RANGE, runtime::machine_stack_size},
      {uint64_t(8) << 30, arena::RANGE, arena::RANGE, runtime::machine_stack_size},
      {250 * MiB, 150 * MiB, 200 * MiB, 31 * MiB + 256 * 1024},
      {3 * (uint64_t(1) << 30), 2 * (uint64_t(1) << 30), 3 * (uint64_t(1) << 30) - 200 * MiB,
       runtime::machine_stack_size},
      {80 * MiB, arena::FLOOR, arena::FLOOR, runtime::machine_stack_floor},
      {0, arena::FLOOR, arena::FLOOR, runtime::machine_stack_floor},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.left);
    uint64_t bytes = arena::size_for(r.left);
    EXPECT_GE(bytes, r.range_low);
    EXPECT_LE(bytes, r.range_high);
    EXPECT_EQ(bytes % vmem::PAGE, 0u);
    EXPECT_EQ(runtime::machine_stack_for(size_t(std::min<uint64_t>(r.left, SIZE_MAX))), r.stack);
  }
}

TEST(arena, runs_are_committed_zeroed_and_released) {
  uint64_t before = arena::committed();
  uint32_t a = arena::take(10000);
  ASSERT_NE(a, 0u);
  EXPECT_GE(a, arena::FIRST);
  EXPECT_EQ(a % P, 0u);
  EXPECT_EQ(arena::committed(), before + 3 * P);
  uint8_t* p = arena::at(a);
  EXPECT_EQ(p[0], 0);
  EXPECT_EQ(p[3 * P - 1], 0);
  p[5] = 9;
  EXPECT_EQ(arena::offset_of(p + 5), a + 5);
  EXPECT_TRUE(arena::contains(p));
  EXPECT_FALSE(arena::contains(arena::base));
  EXPECT_TRUE(arena::give(a, 10000));
  EXPECT_EQ(arena::committed(), before);
  arena::set_limit(before + P);
  EXPECT_EQ(arena::take(2 * P), 0u) << "over the limit";
  arena::set_limit(arena::RANGE);
  EXPECT_EQ(arena::take(0), 0u);
  EXPECT_EQ(arena::take(arena::RANGE), 0u) << "more than the range can ever hold";
}

}  // namespace
}  // namespace kez
