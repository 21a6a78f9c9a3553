#include "runtime/sort.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstring>

#include "runtime/datatypes/error.h"
#include "runtime/error_ids.h"
#include "runtime/mem.h"

namespace kez::sort {

namespace {

// The records of one sort, addressed by index so that a moved buffer is
// picked up again through the caller's base slot.
struct records {
  uint8_t* const* base;
  size_t w;
  void* arg1;
  void* arg2;
  comparator cmp;

  uint8_t* at(size_t i) const { return *base + i * w; }
  int32_t compare(size_t i, size_t j) const { return cmp(at(i), at(j), arg1, arg2); }

  void swap(size_t i, size_t j) const {
    uint8_t* a = at(i);
    uint8_t* b = at(j);
    if (w % 4 == 0) {
      for (size_t k = 0; k < w; k += 4) {
        uint32_t x, y;
        std::memcpy(&x, a + k, 4);
        std::memcpy(&y, b + k, 4);
        std::memcpy(a + k, &y, 4);
        std::memcpy(b + k, &x, 4);
      }
    } else {
      for (size_t k = 0; k < w; ++k) std::swap(a[k], b[k]);
    }
  }

  // Moves count records from src to dst by swaps, keeping their order even
  // when the ranges overlap; the displaced records land in the vacated places.
  void swap_blocks(size_t dst, size_t src, size_t count) const {
    if (dst < src)
      for (size_t k = 0; k < count; ++k) swap(dst + k, src + k);
    else if (dst > src)
      for (size_t k = count; k-- > 0;) swap(dst + k, src + k);
  }

  void reverse(size_t from, size_t to) const {
    while (from + 1 < to) swap(from++, --to);
  }

  // Insertion by adjacent swaps: [from, sorted_end) is sorted, [sorted_end,
  // to) joins it. Stable: a record passes only predecessors greater than it.
  void insertion(size_t from, size_t sorted_end, size_t to) const {
    for (size_t i = std::max(sorted_end, from + 1); i < to; ++i)
      for (size_t j = i; j > from && compare(j - 1, j) > 0; --j) swap(j - 1, j);
  }
};

// Runs on the destructor, also when a comparator throws.
template <class F>
struct at_exit {
  F f;
  ~at_exit() { f(); }
};
template <class F>
at_exit(F) -> at_exit<F>;

// ---- merge sort ----

constexpr size_t MIN_RUN = 24;

// End of the run starting at start: non-descending, or strictly descending
// and then reversed (no equal neighbours in it, so stability holds).
size_t find_run(const records& r, size_t start, size_t end) {
  if (end - start < 2) return end;
  size_t i = start + 1;
  if (r.compare(start, i) <= 0) {
    while (i + 1 < end && r.compare(i, i + 1) <= 0) ++i;
  } else {
    while (i + 1 < end && r.compare(i, i + 1) > 0) ++i;
    r.reverse(start, i + 1);
  }
  return i + 1;
}

size_t next_run(const records& r, size_t start, size_t n) {
  size_t end = find_run(r, start, n);
  size_t want = std::min(start + MIN_RUN, n);
  if (end < want) {
    r.insertion(start, end, want);
    end = want;
  }
  return end;
}

// Merges the sorted runs [start, middle) and [middle, end), copying the
// shorter one out to buf. Until the merge ends, the array lacks exactly the
// records still in buf, and the gap they leave is where they go: filling it
// on every exit keeps the array a permutation when a comparator throws.
void merge(const records& r, size_t start, size_t middle, size_t end, uint8_t* buf) {
  const size_t w = r.w;
  auto in_buf = [buf, w](size_t k) { return buf + k * w; };
  if (end - middle < middle - start) {
    size_t j = end - middle;  // buffer records left, taken from the back
    size_t i = middle, out = end;
    std::memcpy(buf, r.at(middle), j * w);
    at_exit fill{[&] { std::memcpy(r.at(i), buf, j * w); }};
    while (i > start && j > 0) {
      if (r.cmp(r.at(i - 1), in_buf(j - 1), r.arg1, r.arg2) > 0) {
        std::memcpy(r.at(out - 1), r.at(i - 1), w);
        --i;
      } else {
        std::memcpy(r.at(out - 1), in_buf(j - 1), w);
        --j;
      }
      --out;
    }
  } else {
    const size_t count = middle - start;
    size_t b = 0, right = middle, out = start;
    std::memcpy(buf, r.at(start), count * w);
    at_exit fill{[&] { std::memcpy(r.at(out), in_buf(b), (count - b) * w); }};
    while (b < count && right < end) {
      if (r.cmp(in_buf(b), r.at(right), r.arg1, r.arg2) <= 0)
        std::memcpy(r.at(out), in_buf(b++), w);
      else
        std::memcpy(r.at(out), r.at(right++), w);
      ++out;
    }
  }
}

// The power of the boundary between runs [s1, e1) and [e1, e2): the number
// of leading bits that the two run midpoints, as fractions of n, share, plus 1.
uint32_t boundary_power(uint64_t s1, uint64_t e1, uint64_t e2, uint64_t n) {
  uint64_t a = s1 + e1, b = e1 + e2;
  uint32_t p = 0;
  for (;;) {
    bool x = n <= a, y = n <= b;
    if (x != y) return p + 1;
    ++p;
    if (x) {
      a -= n;
      b -= n;
    }
    a *= 2;
    b *= 2;
  }
}

// ---- quicksort ----

constexpr size_t INSERTION_MAX = 7;

// Sorts [off, off + n). k > 0: the first k records are sorted; k < 0: the
// last -k are. Recursion goes to the smaller side, so its depth is logarithmic.
void qsort_core(const records& r, size_t off, int64_t k, size_t n) {
  auto cmp = [&r, &off](size_t i, size_t j) { return r.compare(off + i, off + j); };
  auto swap = [&r, &off](size_t i, size_t j) { r.swap(off + i, off + j); };
  auto swap_blocks = [&r, &off](size_t d, size_t s, size_t c) {
    r.swap_blocks(off + d, off + s, c);
  };
  while (n > INSERTION_MAX) {
    const size_t a = static_cast<size_t>(k < 0 ? -k : k);
    size_t s = n;         // window: the records this round partitions
    size_t lower, upper;  // sample halves below and above the pivot
    if (a < 3) {
      if (n > 511) s = 63;
      swap(s / 2, 1);
      if (cmp(0, 1) > 0) swap(0, 1);
      if (cmp(1, s - 1) > 0) {
        swap(1, s - 1);
        if (cmp(0, 1) > 0) swap(0, 1);
      }
      lower = upper = 1;
    } else {
      if (a <= n / 256) s = 16 * a - 1;
      lower = (a - 1) / 2;
      upper = a / 2;
      if (k < 0) {
        if (s < n) {
          swap_blocks(0, n - a, a);
          k = static_cast<int64_t>(a);
        } else {
          swap_blocks(0, n - a, lower + 1);  // the upper half stays at the end
        }
      }
      if (k > 0) {
        if (s < n) {
          const size_t stride = n / s;
          for (size_t i = a; i < s; ++i) swap(i, i * stride);
        }
        swap_blocks(s - upper, lower + 1, upper);
      }
    }

    // Three-way partition of [lower + 1, s - upper) around the pivot at
    // lower: [lower, e) equal, [e, i) lesser, [i, ...) greater.
    const size_t pivot = lower;
    int64_t i = static_cast<int64_t>(lower + 1);
    int64_t j = static_cast<int64_t>(s - upper) - 1;
    int64_t e = i;
    for (;;) {
      while (i <= j) {
        int32_t c = cmp(i, pivot);
        if (c > 0) break;
        if (c == 0) swap(i, e++);
        ++i;
      }
      int32_t cj = 1;
      while (i < j && (cj = cmp(j, pivot)) > 0) --j;
      if (i >= j) break;
      swap(i, j);
      if (cj == 0) swap(i, e++);
      ++i;
      --j;
    }
    const size_t lesser = static_cast<size_t>(i - e);
    const size_t equal = static_cast<size_t>(e) - pivot;
    const size_t m = std::min(lesser, equal);
    swap_blocks(pivot, static_cast<size_t>(i) - m, m);

    const size_t low_n = lower + lesser;  // lower sample half, then the lesser records
    const size_t high_off = static_cast<size_t>(i);
    const size_t high_n = s - high_off;  // greater records, then the upper sample half
    const bool low_todo = low_n > lower, high_todo = high_n > upper;
    if (s < n) {
      // The window gets sorted whole and becomes the next round's sample.
      if (high_todo) qsort_core(r, off + high_off, -static_cast<int64_t>(upper), high_n);
      if (low_todo) qsort_core(r, off, static_cast<int64_t>(lower), low_n);
      k = static_cast<int64_t>(s);
      continue;
    }
    if (high_todo && low_todo) {
      if (high_n < low_n) {
        qsort_core(r, off + high_off, -static_cast<int64_t>(upper), high_n);
      } else {
        qsort_core(r, off, static_cast<int64_t>(lower), low_n);
        off += high_off;
        k = -static_cast<int64_t>(upper);
        n = high_n;
        continue;
      }
    }
    if (low_todo) {
      k = static_cast<int64_t>(lower);
      n = low_n;
    } else if (high_todo) {
      off += high_off;
      k = -static_cast<int64_t>(upper);
      n = high_n;
    } else {
      return;
    }
  }
  r.insertion(off, off + 1, off + n);
}

}  // namespace

void mergesort(uint8_t* const* base, uint32_t n, uint32_t w, void* arg1, void* arg2,
               comparator compare, uint8_t* work) {
  assert(w > 0);
  if (n < 2) return;
  const uint64_t bytes = uint64_t{n / 2} * w;
  if (bytes > UINT32_MAX) error::fire(err::cat_script, err::script::too_long);
  uint8_t* buf = work ? work : static_cast<uint8_t*>(mem::allocate(bytes));
  at_exit release{[&] {
    if (!work) mem::free(buf);
  }};

  const records r{base, w, arg1, arg2, compare};
  struct entry {
    size_t start;
    uint32_t power;
  };
  std::array<entry, 34> stack;  // bit length of n (at most 32), plus 1
  size_t depth = 0;
  size_t start = 0;
  size_t end = next_run(r, 0, n);
  while (end < n) {
    size_t next_end = next_run(r, end, n);
    uint32_t power = boundary_power(start, end, next_end, n);
    while (depth > 0 && stack[depth - 1].power > power) {
      size_t s = stack[--depth].start;
      merge(r, s, start, end, buf);
      start = s;
    }
    assert(depth < stack.size());
    stack[depth++] = {start, power};
    start = end;
    end = next_end;
  }
  while (depth > 0) {
    size_t s = stack[--depth].start;
    merge(r, s, start, n, buf);
    start = s;
  }
}

void qsort(uint8_t* const* base, uint32_t n, uint32_t w, void* arg1, void* arg2,
           comparator compare) {
  assert(w > 0);
  if (n < 2) return;
  const records r{base, w, arg1, arg2, compare};
  if (n <= INSERTION_MAX) {
    r.insertion(0, 1, n);
    return;
  }

  // The leading monotone run, equal neighbours not breaking it.
  int dir = 0;  // 1 ascending, -1 descending
  size_t run = n;
  for (size_t i = 0; i + 1 < n; ++i) {
    int32_t c = r.compare(i, i + 1);
    if (c == 0) continue;
    int d = c < 0 ? 1 : -1;
    if (dir == 0) {
      dir = d;
    } else if (d != dir) {
      run = i + 1;
      break;
    }
  }
  if (dir == 0) return;  // all equal
  if (run == n) {
    if (dir < 0) r.reverse(0, n);
    return;
  }

  // Presortedness: the run, and one neighbour pair in every 97 records after it.
  int64_t score = dir > 0 ? static_cast<int64_t>(run) : -static_cast<int64_t>(run);
  for (size_t i = run + 1; i + 1 < n; i += 97) {
    int32_t c = r.compare(i, i + 1);
    score += c < 0 ? 1 : c > 0 ? -1 : 0;
  }

  size_t prefix = run;
  if (static_cast<uint64_t>(score < 0 ? -score : score) > n / 512) {
    if ((score > 0) != (dir > 0)) {
      prefix = 1;
      dir = -dir;
    }
    auto in_order = [&r, dir](size_t a, size_t b) {
      int32_t c = r.compare(a, b);
      return dir > 0 ? c <= 0 : c >= 0;
    };
    // Probe every 10 records for stretches in order and join the long ones
    // to the sorted prefix.
    for (size_t pos = prefix - 1; (pos += 10) < n;) {
      size_t lo = pos, hi = pos;
      while (hi + 1 < n && in_order(hi, hi + 1)) ++hi;
      while (lo > prefix && in_order(lo - 1, lo)) --lo;
      size_t len = hi - lo + 1;
      if (len < 4) continue;
      size_t kept = 0, from = lo, count = len;
      if (prefix > 1) {
        // Drop records at the seam while the prefix's end and the stretch's
        // start are out of order; too many means the stretch does not fit.
        size_t m = std::min(len / 2, prefix / 4);
        size_t j = 0;
        while (j < m && !in_order(prefix - 1 - j, lo + j)) ++j;
        if (j == m) continue;
        kept = prefix - j;
        from = lo + j;
        count = len - j;
      }
      r.swap_blocks(kept, from, count);
      prefix = kept + count;
      pos = hi;
    }
  }
  if (dir < 0) r.reverse(0, prefix);
  if (prefix < n) qsort_core(r, 0, static_cast<int64_t>(prefix), n);
}

}  // namespace kez::sort
