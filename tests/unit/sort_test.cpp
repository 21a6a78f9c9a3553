#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "runtime/datatypes/error.h"
#include "runtime/error_ids.h"
#include "runtime/mem.h"
#include "runtime/sort.h"
#include "runtime/thrown.h"

using namespace kez;

namespace {

// Records compare by their first byte only (for w >= 4, by the first 32-bit
// word), so that equal keys carry different payloads and order is visible.
int32_t key_of(const void* p, uint32_t w) {
  const auto* b = static_cast<const uint8_t*>(p);
  if (w < 4) return b[0];
  uint32_t k;
  std::memcpy(&k, b, 4);
  return static_cast<int32_t>(k);
}

struct counter {
  uint32_t w;
  long calls = 0;
  long throw_at = -1;  // throw kez::thrown on this call
};

int32_t by_key(const void* a, const void* b, void* arg1, void*) {
  auto* c = static_cast<counter*>(arg1);
  if (c->calls++ == c->throw_at) throw thrown{THROWN_ERROR};
  int32_t x = key_of(a, c->w), y = key_of(b, c->w);
  return x < y ? -1 : x > y ? 1 : 0;
}

enum class shape { random, few_keys, sorted, reversed, nearly_sorted, organ_pipe, sawtooth, equal };

std::vector<uint8_t> make_records(uint32_t n, uint32_t w, shape s, std::mt19937& rng) {
  std::vector<uint8_t> v(size_t{n} * w);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  for (uint32_t i = 0; i < n; ++i) {
    uint32_t key;
    switch (s) {
      case shape::random: key = rng(); break;
      case shape::few_keys: key = rng() % 5; break;
      case shape::sorted: key = i; break;
      case shape::reversed: key = n - i; break;
      case shape::nearly_sorted: key = i + (rng() % 16 == 0 ? rng() % 64 : 0); break;
      case shape::organ_pipe: key = i < n / 2 ? i : n - i; break;
      case shape::sawtooth: key = i % 37; break;
      default: key = 7; break;
    }
    if (w < 4)
      v[size_t{i} * w] = static_cast<uint8_t>(w == 1 ? key % 16 : key);
    else
      std::memcpy(&v[size_t{i} * w], &key, 4);
  }
  if (w == 1)  // a one-byte record: key in the low nibble, payload above it
    for (auto& b : v) b = static_cast<uint8_t>((b & 0x0F) | (rng() & 0xF0));
  return v;
}

template <size_t W>
std::vector<uint8_t> stable_reference(const std::vector<uint8_t>& in) {
  using rec = std::array<uint8_t, W>;
  std::vector<rec> recs(in.size() / W);
  if (in.empty()) return {};
  std::memcpy(recs.data(), in.data(), in.size());
  auto key = [](const rec& r) { return W == 1 ? r[0] & 0x0F : key_of(r.data(), W); };
  std::stable_sort(recs.begin(), recs.end(),
                   [&](const rec& a, const rec& b) { return key(a) < key(b); });
  std::vector<uint8_t> out(in.size());
  std::memcpy(out.data(), recs.data(), in.size());
  return out;
}

int32_t by_low_nibble(const void* a, const void* b, void*, void*) {
  int x = *static_cast<const uint8_t*>(a) & 0x0F, y = *static_cast<const uint8_t*>(b) & 0x0F;
  return x - y;
}

// The records as a sorted list of byte strings: equal for two permutations.
std::vector<std::string> multiset(const std::vector<uint8_t>& v, uint32_t w) {
  std::vector<std::string> out;
  for (size_t i = 0; i < v.size(); i += w) out.emplace_back(v.begin() + i, v.begin() + i + w);
  std::sort(out.begin(), out.end());
  return out;
}

bool sorted_by_key(const std::vector<uint8_t>& v, uint32_t w) {
  for (size_t i = w; i < v.size(); i += w)
    if (key_of(&v[i - w], w) > key_of(&v[i], w)) return false;
  return true;
}

constexpr shape all_shapes[] = {shape::random,        shape::few_keys,   shape::sorted,
                                shape::reversed,      shape::nearly_sorted, shape::organ_pipe,
                                shape::sawtooth,      shape::equal};
constexpr uint32_t sizes[] = {0, 1, 2, 3, 7, 8, 23, 24, 25, 49, 100, 511, 512, 1000, 5000};

}  // namespace

TEST(MergeSort, MatchesStableSortAtEveryWidth) {
  std::mt19937 rng(1);
  for (uint32_t n : sizes) {
    for (shape s : all_shapes) {
      for (uint32_t w : {1u, 2u, 16u, 48u}) {
        std::vector<uint8_t> v = make_records(n, w, s, rng);
        std::vector<uint8_t> want;
        switch (w) {
          case 1: want = stable_reference<1>(v); break;
          case 2: want = stable_reference<2>(v); break;
          case 16: want = stable_reference<16>(v); break;
          default: want = stable_reference<48>(v); break;
        }
        counter c{w};
        uint8_t* base = v.data();
        // Every other run in the caller's working storage, sized exactly.
        std::vector<uint8_t> work(size_t{n / 2} * w);
        uint8_t* given = (n + w) % 2 && !work.empty() ? work.data() : nullptr;
        if (w == 1)
          sort::mergesort(&base, n, w, nullptr, nullptr, by_low_nibble, given);
        else
          sort::mergesort(&base, n, w, &c, nullptr, by_key, given);
        ASSERT_EQ(v, want) << "n=" << n << " w=" << w << " shape=" << int(s);
      }
    }
  }
}

TEST(QuickSort, SortsEveryShapeAndKeepsEveryRecord) {
  std::mt19937 rng(2);
  std::vector<uint32_t> ns(std::begin(sizes), std::end(sizes));
  ns.push_back(20000);  // large enough for the growing-window rounds
  for (uint32_t n : ns) {
    for (shape s : all_shapes) {
      for (uint32_t w : {3u, 4u, 16u}) {
        std::vector<uint8_t> v = make_records(n, w, s, rng);
        auto before = multiset(v, w);
        counter c{w};
        uint8_t* base = v.data();
        sort::qsort(&base, n, w, &c, nullptr, by_key);
        ASSERT_TRUE(sorted_by_key(v, w)) << "n=" << n << " w=" << w << " shape=" << int(s);
        ASSERT_EQ(multiset(v, w), before);
      }
    }
  }
}

// Sorted and strictly descending input is settled by the run scan alone;
// nearly sorted input costs little more than one pass.
TEST(QuickSort, PresortedInputIsCheap) {
  std::mt19937 rng(3);
  const uint32_t n = 10000;
  struct { shape s; long most; } cases[] = {
      {shape::sorted, n - 1},
      {shape::reversed, n - 1},
      {shape::equal, n - 1},
  };
  for (auto& k : cases) {
    std::vector<uint8_t> v = make_records(n, 4, k.s, rng);
    counter c{4};
    uint8_t* base = v.data();
    sort::qsort(&base, n, 4, &c, nullptr, by_key);
    EXPECT_TRUE(sorted_by_key(v, 4));
    EXPECT_LE(c.calls, k.most) << int(k.s);
  }
  // A sorted array with a few records moved far: far from a full sort's cost.
  std::vector<uint8_t> v = make_records(n, 4, shape::sorted, rng);
  for (int i = 0; i < 20; ++i) std::swap(v[4 * (rng() % n)], v[4 * (rng() % n)]);
  std::vector<uint8_t> shuffled = make_records(n, 4, shape::random, rng);
  counter near{4}, full{4};
  uint8_t* base = v.data();
  sort::qsort(&base, n, 4, &near, nullptr, by_key);
  base = shuffled.data();
  sort::qsort(&base, n, 4, &full, nullptr, by_key);
  EXPECT_TRUE(sorted_by_key(v, 4));
  EXPECT_LT(near.calls * 3, full.calls);
}

TEST(QuickSort, SmallArraysAreInsertionSortedAndSoStable) {
  std::mt19937 rng(4);
  for (uint32_t n = 2; n <= 7; ++n) {
    std::vector<uint8_t> v = make_records(n, 16, shape::few_keys, rng);
    std::vector<uint8_t> want = stable_reference<16>(v);
    counter c{16};
    uint8_t* base = v.data();
    sort::qsort(&base, n, 16, &c, nullptr, by_key);
    EXPECT_EQ(v, want) << n;
  }
}

TEST(Sort, NothingToDoForFewerThanTwoRecords) {
  counter c{16};
  c.throw_at = 0;  // any comparison would throw
  uint8_t* none = nullptr;
  size_t blocks = mem::count();
  for (uint32_t n : {0u, 1u}) {
    sort::qsort(&none, n, 16, &c, nullptr, by_key);
    sort::mergesort(&none, n, 16, &c, nullptr, by_key);
  }
  EXPECT_EQ(c.calls, 0);
  EXPECT_EQ(mem::count(), blocks);
}

TEST(MergeSort, WorkingStorageBeyond32BitsIsTooLong) {
  counter c{4};
  uint8_t* none = nullptr;
  EXPECT_THROW(sort::mergesort(&none, 0x80000000u, 4, &c, nullptr, by_key), thrown);
  EXPECT_EQ(error::last_category(), err::cat_script);
  EXPECT_EQ(error::last_id(), err::script::too_long);
  EXPECT_EQ(c.calls, 0);
}

// A comparator that throws part-way leaves every record in the array exactly
// once, and the merge buffer is released.
TEST(Sort, ThrowingComparatorLeavesAPermutation) {
  std::mt19937 rng(5);
  using sorter = void (*)(uint8_t* const*, uint32_t, uint32_t, void*, void*, sort::comparator);
  sorter sorters[] = {
      sort::qsort,
      [](uint8_t* const* b, uint32_t n, uint32_t w, void* a1, void* a2, sort::comparator f) {
        sort::mergesort(b, n, w, a1, a2, f);
      },
  };
  for (sorter run : sorters) {
    for (shape s : {shape::random, shape::few_keys, shape::nearly_sorted, shape::organ_pipe}) {
      for (long at : {0L, 1L, 30L, 100L, 500L, 2000L, 6000L}) {
        const uint32_t n = 700, w = 16;
        std::vector<uint8_t> v = make_records(n, w, s, rng);
        for (uint32_t i = 0; i < n; ++i) std::memcpy(&v[i * w + 4], &i, 4);  // records all distinct
        auto before = multiset(v, w);
        counter c{w};
        c.throw_at = at;
        size_t blocks = mem::count();
        uint8_t* base = v.data();
        try {
          run(&base, n, w, &c, nullptr, by_key);
        } catch (const thrown&) {
        }
        ASSERT_EQ(multiset(v, w), before) << "throw at " << at;
        ASSERT_EQ(mem::count(), blocks);
      }
    }
  }
}

// A comparator whose answers contradict each other still gives a permutation
// and never reaches outside the array.
TEST(Sort, InconsistentComparatorStaysInBounds) {
  std::mt19937 rng(6);
  static std::mt19937 coin(7);
  auto chaos = [](const void*, const void*, void*, void*) -> int32_t {
    return static_cast<int32_t>(coin() % 3) - 1;
  };
  for (uint32_t n : {8u, 100u, 600u, 20000u}) {
    std::vector<uint8_t> v = make_records(n, 4, shape::random, rng);
    auto before = multiset(v, 4);
    uint8_t* base = v.data();
    sort::qsort(&base, n, 4, nullptr, nullptr, chaos);
    EXPECT_EQ(multiset(v, 4), before);
    sort::mergesort(&base, n, 4, nullptr, nullptr, chaos);
    EXPECT_EQ(multiset(v, 4), before);
  }
}

// The comparator may move the records (as a collection does when it runs
// user code): the sorts follow the base slot.
namespace {
struct mover {
  uint8_t** slot;
  std::vector<std::vector<uint8_t>>* buffers;
  uint32_t w;
  long calls = 0;
};
int32_t moving_compare(const void* a, const void* b, void* arg1, void* arg2) {
  auto* m = static_cast<mover*>(arg1);
  int32_t x = key_of(a, m->w), y = key_of(b, m->w);
  if (++m->calls % 7 == 0) {
    auto& bufs = *m->buffers;
    size_t bytes = *static_cast<size_t*>(arg2);
    bufs.emplace_back(*m->slot, *m->slot + bytes);
    std::memset(*m->slot, 0xEE, bytes);  // the old place is garbage now
    *m->slot = bufs.back().data();
  }
  return x < y ? -1 : x > y ? 1 : 0;
}
}  // namespace

TEST(Sort, FollowsTheBaseWhenTheBufferMoves) {
  std::mt19937 rng(8);
  const uint32_t n = 3000, w = 16;
  for (bool stable : {false, true}) {
    std::vector<std::vector<uint8_t>> buffers;
    buffers.reserve(100000);  // earlier buffers stay where they are
    buffers.push_back(make_records(n, w, shape::few_keys, rng));
    std::vector<uint8_t> want = stable_reference<16>(buffers.back());
    auto before = multiset(buffers.back(), w);
    uint8_t* base = buffers.back().data();
    size_t bytes = size_t{n} * w;
    mover m{&base, &buffers, w};
    if (stable)
      sort::mergesort(&base, n, w, &m, &bytes, moving_compare);
    else
      sort::qsort(&base, n, w, &m, &bytes, moving_compare);
    std::vector<uint8_t> got(base, base + bytes);
    ASSERT_TRUE(sorted_by_key(got, w));
    ASSERT_EQ(multiset(got, w), before);
    if (stable) {
      EXPECT_EQ(got, want);
    }
  }
}
