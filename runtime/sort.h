// Sorting of arrays of fixed-size records with a caller-supplied comparator:
// an adaptive quicksort (not stable) and a run-based merge sort (stable).
// Invariants:
// - The records are read through *base, fetched again after every comparator
//   call: a comparator that runs user code may let a collection move the
//   buffer, and the caller keeps *base up to date (a registered root).
// - A comparator may throw (kez::thrown): the array is then left a
//   permutation of its input, every record present exactly once.
// - The quicksort needs no heap memory; its stack depth is logarithmic.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kez::sort {

// Negative when a sorts before b, 0 when equal, positive when after.
using comparator = int32_t (*)(const void* a, const void* b, void* arg1, void* arg2);

// Sorts n records of w bytes ascending; arg1 and arg2 go to every comparator call.
void qsort(uint8_t* const* base, uint32_t n, uint32_t w, void* arg1, void* arg2,
           comparator compare);

// Stable: records that compare 0 keep their order. Needs (n / 2) * w bytes of
// working storage: the caller's work buffer when given (cells parked there
// during a comparator call are the caller's to keep reachable), else one
// tracked allocation. Script Error too-long when that size passes 32 bits.
void mergesort(uint8_t* const* base, uint32_t n, uint32_t w, void* arg1, void* arg2,
               comparator compare, uint8_t* work = nullptr);

}  // namespace kez::sort
