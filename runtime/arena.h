// The heap arena: one reserved range of address space (4 GiB, or less under
// an address-space limit) from which every node frame, series frame, big
// series and fixed series is carved. Anything
// stored in a cell or a heap structure refers into it by a 32-bit offset from
// its base. Invariants: offset 0 is null and the first 64 KiB are never handed
// out, so no valid reference is below FIRST; the base never moves once set;
// page runs are committed when taken and decommitted when given back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "runtime/page_runs.h"

namespace kez::arena {

constexpr uint64_t RANGE = uint64_t(1) << 32;
constexpr uint32_t FIRST = 64 * 1024;

extern uint8_t* base;  // null until the first page run is taken
// The bytes reserved at base, at most RANGE: less when the process's
// address-space limit leaves no room for the whole range.
extern uint64_t size;
// The smallest range reserved: below it start-up fails with out of memory.
constexpr uint64_t FLOOR = uint64_t(64) << 20;

// Where the range is reserved when that address is free: a boot image keeps
// addresses into the heap, valid only at the same base in another process.
inline uint8_t* const preferred_base = reinterpret_cast<uint8_t*>(uintptr_t(0x3f0000000000));

template <class T = uint8_t>
inline T* at(uint32_t offset) { return reinterpret_cast<T*>(base + offset); }

inline uint32_t offset_of(const void* p) {
  return static_cast<uint32_t>(static_cast<const uint8_t*>(p) - base);
}

inline bool contains(const void* p) {
  auto* b = static_cast<const uint8_t*>(p);
  return base && b >= base + FIRST && b < base + size;
}

// Commits a run of whole pages (bytes rounded up to 4096) and answers its
// offset, or 0 when the range is exhausted or the system refuses the pages.
uint32_t take(uint64_t bytes);
// Decommits a run obtained from take; false when the system refuses.
bool give(uint32_t offset, uint64_t bytes);
// Drops the pages wholly inside [offset, offset + bytes) of a taken run: they
// stay usable and read as zeroes when next touched.
void discard(uint32_t offset, uint64_t bytes);
// Makes a taken run inaccessible while it stays taken (and committed), or
// accessible again; false when the system refuses.
bool seal(uint32_t offset, uint64_t bytes);
bool unseal(uint32_t offset, uint64_t bytes);
// Moves the pages of the taken run `from` to the start of the taken run `to`
// (at least as long) and gives `from` back (or keeps it out of use for good
// when it cannot be reserved again); false when the system refuses, with
// both runs as they were.
bool move(uint32_t from, uint64_t bytes, uint32_t to);

uint64_t committed();

// The range's size for the address space left (vmem::space_left): all of
// RANGE when that is plenty, else what leaves room for the rest of the
// process (libraries, malloc), never below FLOOR.
uint64_t size_for(uint64_t space_left);
// Reserves the range now (at preferred_base when free) and answers its base.
uint8_t* reserve();
// The bookkeeping of taken and released runs, for a boot image: the state
// this process left, and that state set in a fresh process whose range is
// reserved at the same base and whose pages were committed as they were.
// Pages below mapped_end may be mapped from the image's file: giving them
// back or discarding them replaces them by fresh pages.
struct runs_state {
  uint64_t top;
  std::vector<page_runs::run> released;
};
runs_state save_runs();
void restore_runs(runs_state state, uint64_t mapped_end);
// Caps the committed total (test hook that stands in for a system out of memory).
void set_limit(uint64_t bytes);

}  // namespace kez::arena
