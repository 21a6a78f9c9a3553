#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

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
