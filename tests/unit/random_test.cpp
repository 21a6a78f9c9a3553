#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <vector>

#include "runtime/random.h"

using namespace kez;

namespace {

std::vector<int32_t> draws(uint32_t seed, int32_t n, int count) {
  random::seed(seed);
  std::vector<int32_t> v;
  for (int i = 0; i < count; ++i) v.push_back(random::range(false, n));
  return v;
}

}  // namespace

// These sequences are the generator's own: a twister with logical shifts, or
// one that regenerates right after seeding, gives other numbers.
TEST(Random, SeededSequences) {
  struct row {
    uint32_t seed;
    int32_t n;
    std::vector<int32_t> expected;
  } rows[] = {
      {42, 100, {8, 26, 47, 29, 90, 17, 84, 82, 82, 52}},
      {1, 10, {10, 7, 4, 4, 3, 3, 2, 8, 7, 4}},
  };
  for (const row& r : rows) EXPECT_EQ(draws(r.seed, r.n, 10), r.expected) << r.seed;
}

// A thousand draws pass the 624th output, so the regeneration is covered too.
TEST(Random, SumOfThousandDrawsAfterSeed42) {
  int64_t sum = 0;
  for (int32_t v : draws(42, 100, 1000)) sum += v;
  EXPECT_EQ(sum, 50615);
}

TEST(Random, ReseedingRestartsTheSequence) {
  std::vector<int32_t> first = draws(42, 100, 10);
  draws(7, 1000, 700);  // leave the generator past a regeneration
  EXPECT_EQ(draws(42, 100, 10), first);
  random::init();
  std::vector<int32_t> start = {random::range(false, 1000), random::range(false, 1000)};
  EXPECT_EQ(draws(19650218, 1000, 2), start);
}

TEST(Random, SecureDrawsLeaveTheSequenceAlone) {
  random::seed(42);
  std::vector<int32_t> got;
  for (int i = 0; i < 10; ++i) {
    random::next_secure();
    random::range(true, 100);
    got.push_back(random::range(false, 100));
  }
  EXPECT_EQ(got, (std::vector<int32_t>{8, 26, 47, 29, 90, 17, 84, 82, 82, 52}));
}

// Seeds with the top bit set make the seeding and the tempering shift ones
// into the vacated bits; the outputs must still stay below 2^31.
TEST(Random, OutputsStayBelowTwoToThe31) {
  for (uint32_t seed : {0u, 1u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu, 0xDEADBEEFu}) {
    random::seed(seed);
    std::set<uint32_t> seen;
    for (int i = 0; i < 2000; ++i) {
      uint32_t r = random::next_uint32();
      ASSERT_LT(r, 0x80000000u) << "seed " << seed << " draw " << i;
      seen.insert(r);
    }
    EXPECT_GT(seen.size(), 1900u) << seed;
  }
  for (int i = 0; i < 1000; ++i) ASSERT_LT(random::next_secure(), 0x80000000u);
}

TEST(Random, RangeBoundsForEverySource) {
  for (bool secure : {false, true}) {
    random::seed(5);
    EXPECT_EQ(random::range(secure, 0), 0);
    struct row {
      int32_t n, low, high;
      int distinct;  // values that 600 draws must all reach
    } rows[] = {
        {1, 1, 1, 1},
        {-1, -1, -1, 1},
        {6, 1, 6, 6},
        {-3, -3, -1, 3},
        {INT32_MAX, 1, INT32_MAX, 0},
        {INT32_MIN, INT32_MIN, -1, 0},
        {INT32_MIN + 1, INT32_MIN + 1, -1, 0},
        {(1 << 30) + 1, 1, (1 << 30) + 1, 0},  // half of all draws are rejected
    };
    for (const row& r : rows) {
      std::set<int32_t> seen;
      for (int i = 0; i < 600; ++i) {
        int32_t v = random::range(secure, r.n);
        ASSERT_GE(v, r.low) << r.n << (secure ? " secure" : "");
        ASSERT_LE(v, r.high) << r.n << (secure ? " secure" : "");
        seen.insert(v);
      }
      if (r.distinct) EXPECT_EQ(int(seen.size()), r.distinct) << r.n << (secure ? " secure" : "");
      else EXPECT_GT(seen.size(), 590u) << r.n << (secure ? " secure" : "");
    }
  }
}
