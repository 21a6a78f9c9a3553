#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "capture.h"

#include "runtime/mem.h"

using namespace kez;

TEST(TrackedMemory, ListFollowsAllocateReallocFree) {
  size_t base = mem::count();
  void* a = mem::allocate(10);
  void* b = mem::allocate_zeroed(100);
  void* c = mem::allocate(0);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 16, 0u);
  EXPECT_EQ(static_cast<unsigned char*>(b)[99], 0);
  EXPECT_EQ(mem::count(), base + 3);

  std::memset(b, 7, 100);
  b = mem::realloc(b, 100000);  // moves, keeps its place and contents
  EXPECT_EQ(static_cast<unsigned char*>(b)[99], 7);
  EXPECT_EQ(mem::count(), base + 3);

  alignas(16) static char stray[64];
  mem::free(stray + 32);  // not ours: ignored
  EXPECT_EQ(mem::count(), base + 3);

  EXPECT_EQ(mem::realloc(c, 0), nullptr);
  mem::free(a);
  mem::free(b);
  EXPECT_EQ(mem::count(), base);
  void* d = mem::realloc(nullptr, 5);
  EXPECT_EQ(mem::count(), base + 1);
  mem::free(d);
}

// The listing: a heading, one "asked<TAB>real" line per live block in
// allocation order, and the sum of the real sizes.
TEST(TrackedMemory, ReportListsLiveBlocksAndTheirSum) {
  void* a = mem::allocate(40);
  void* b = mem::allocate(1000);
  std::string out = kez::test::capture_stdout([] { mem::report(); });
  mem::free(a);
  mem::free(b);

  std::istringstream lines(out);
  std::string line;
  std::getline(lines, line);
  EXPECT_EQ(line, "-- Heap-allocations --");
  std::getline(lines, line);
  EXPECT_EQ(line, "Asked   Real");
  std::vector<std::pair<long, long>> blocks;
  long sum = 0;
  while (std::getline(lines, line) && line.rfind("-- Sum: ", 0) != 0) {
    size_t tab = line.find('\t');
    ASSERT_NE(tab, std::string::npos) << line;
    blocks.emplace_back(std::stol(line.substr(0, tab)), std::stol(line.substr(tab + 1)));
    sum += blocks.back().second;
  }
  EXPECT_EQ(line, "-- Sum: " + std::to_string(sum) + " --");
  ASSERT_GE(blocks.size(), 2u);
  EXPECT_EQ(blocks[blocks.size() - 2].first, 40);
  EXPECT_EQ(blocks.back().first, 1000);
  long header = blocks.back().second - 1000;
  EXPECT_EQ(header % 16, 0);
  EXPECT_EQ(blocks[blocks.size() - 2].second, 40 + header);
}
