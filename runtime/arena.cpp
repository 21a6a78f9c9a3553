#include "runtime/arena.h"

#include <vector>

#include "platform/vmem.h"

namespace kez::arena {

uint8_t* base = nullptr;

namespace {

struct run {
  uint64_t start, bytes;
};

// Free page runs below `top`, sorted by start and coalesced. The runs are
// few (frames are large and long-lived), so a sorted vector is enough.
std::vector<run> free_runs;
uint64_t top = FIRST;
uint64_t in_use = 0;
uint64_t limit = RANGE;

bool ensure_reserved() {
  if (base) return true;
  base = static_cast<uint8_t*>(vmem::reserve(RANGE));
  return base != nullptr;
}

uint64_t round_pages(uint64_t bytes) { return (bytes + vmem::PAGE - 1) & ~uint64_t(vmem::PAGE - 1); }

}  // namespace

uint32_t take(uint64_t bytes) {
  if (bytes == 0 || bytes > RANGE || !ensure_reserved()) return 0;
  bytes = round_pages(bytes);
  if (in_use + bytes > limit) return 0;
  uint64_t start = 0;
  size_t i = 0;
  for (; i < free_runs.size(); ++i)
    if (free_runs[i].bytes >= bytes) break;
  if (i < free_runs.size()) {
    start = free_runs[i].start;
  } else {
    // The last page stays unused so that an end offset always fits in 32 bits.
    if (top + bytes > RANGE - vmem::PAGE) return 0;
    start = top;
  }
  if (!vmem::commit(base + start, bytes)) return 0;
  if (i < free_runs.size()) {
    free_runs[i].start += bytes;
    free_runs[i].bytes -= bytes;
    if (free_runs[i].bytes == 0) free_runs.erase(free_runs.begin() + i);
  } else {
    top += bytes;
  }
  in_use += bytes;
  return static_cast<uint32_t>(start);
}

bool give(uint32_t offset, uint64_t bytes) {
  bytes = round_pages(bytes);
  if (!vmem::release(base + offset, bytes)) return false;
  in_use -= bytes;
  size_t i = 0;
  while (i < free_runs.size() && free_runs[i].start < offset) ++i;
  free_runs.insert(free_runs.begin() + i, run{offset, bytes});
  if (i + 1 < free_runs.size() && free_runs[i].start + free_runs[i].bytes == free_runs[i + 1].start) {
    free_runs[i].bytes += free_runs[i + 1].bytes;
    free_runs.erase(free_runs.begin() + i + 1);
  }
  if (i > 0 && free_runs[i - 1].start + free_runs[i - 1].bytes == free_runs[i].start) {
    free_runs[i - 1].bytes += free_runs[i].bytes;
    free_runs.erase(free_runs.begin() + i);
    --i;
  }
  // A run that reaches the top shrinks the bumped area instead of staying listed.
  if (!free_runs.empty() && free_runs.back().start + free_runs.back().bytes == top) {
    top = free_runs.back().start;
    free_runs.pop_back();
  }
  return true;
}

uint64_t committed() { return in_use; }
void set_limit(uint64_t bytes) { limit = bytes; }

}  // namespace kez::arena
