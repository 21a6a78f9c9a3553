#include "runtime/arena.h"

#include <algorithm>

#include "platform/vmem.h"
#include "runtime/page_runs.h"
#include "runtime/runtime.h"

namespace kez::arena {

uint8_t* base = nullptr;
uint64_t size = RANGE;

namespace {

// The last page stays unused so that an end offset always fits in 32 bits.
page_runs runs(FIRST, RANGE - vmem::PAGE);
uint64_t in_use = 0;
uint64_t limit = RANGE;
uint64_t file_mapped_end = 0;  // pages below may come from the boot image's file

bool ensure_reserved() {
  if (base) return true;
  // Smaller tries when the system refuses a size the limit seemed to allow.
  for (uint64_t bytes = size_for(vmem::space_left()); !base && bytes >= FLOOR; bytes /= 2) {
    base = static_cast<uint8_t*>(vmem::reserve_at(preferred_base, bytes));
    if (!base) base = static_cast<uint8_t*>(vmem::reserve(bytes));
    if (base) size = bytes;
  }
  // Without its range the heap has nothing to give, ever: the allocation
  // failure it is, before any error value could be made.
  if (!base) runtime::quit(runtime::RT_OUT_OF_MEMORY, runtime::caller_address());
  runs = page_runs(FIRST, size - vmem::PAGE);
  return true;
}

uint64_t round_pages(uint64_t bytes) { return (bytes + vmem::PAGE - 1) & ~uint64_t(vmem::PAGE - 1); }

}  // namespace

uint32_t take(uint64_t bytes) {
  if (bytes == 0 || bytes > RANGE || !ensure_reserved()) return 0;
  bytes = round_pages(bytes);
  if (in_use + bytes > limit) return 0;
  uint64_t start = runs.take(bytes);
  if (!start) return 0;
  if (!vmem::commit(base + start, bytes)) {
    runs.give(start, bytes);
    return 0;
  }
  in_use += bytes;
  return static_cast<uint32_t>(start);
}

bool give(uint32_t offset, uint64_t bytes) {
  bytes = round_pages(bytes);
  bool released = offset < file_mapped_end ? vmem::forget(base + offset, bytes) : vmem::release(base + offset, bytes);
  if (!released) return false;
  in_use -= bytes;
  runs.give(offset, bytes);
  return true;
}

void discard(uint32_t offset, uint64_t bytes) {
  uint64_t first = round_pages(offset);
  uint64_t end = (uint64_t(offset) + bytes) & ~uint64_t(vmem::PAGE - 1);
  // A refusal only leaves the pages resident: nothing depends on it.
  if (first >= end) return;
  if (first < file_mapped_end) (void)vmem::renew(base + first, end - first);
  else (void)vmem::discard(base + first, end - first);
}

bool seal(uint32_t offset, uint64_t bytes) { return vmem::seal(base + offset, round_pages(bytes)); }
bool unseal(uint32_t offset, uint64_t bytes) { return vmem::commit(base + offset, round_pages(bytes)); }

bool move(uint32_t from, uint64_t bytes, uint32_t to) {
  bytes = round_pages(bytes);
  vmem::move_result moved = vmem::move(base + from, bytes, base + to);
  if (moved == vmem::REFUSED) return false;
  in_use -= bytes;
  if (moved == vmem::MOVED) runs.give(from, bytes);
  // Pages from the image's file keep coming from it where they land.
  if (from < file_mapped_end) file_mapped_end = std::max(file_mapped_end, uint64_t(to) + bytes);
  return true;
}

uint64_t size_for(uint64_t space_left) {
  // Room kept for what maps after the range: libraries loaded on first use,
  // malloc's arenas, the image's own mapping while it is read.
  uint64_t keep = std::clamp(space_left / 4, uint64_t(32) << 20, uint64_t(256) << 20);
  if (space_left <= keep + FLOOR) return FLOOR;
  return std::min(RANGE, (space_left - keep) & ~((uint64_t(1) << 20) - 1));
}

uint64_t committed() { return in_use; }
void set_limit(uint64_t bytes) { limit = bytes; }

runs_state save_runs() { return {runs.top(), runs.released()}; }

void restore_runs(runs_state state, uint64_t mapped_end) {
  runs.restore(state.top, std::move(state.released));
  file_mapped_end = mapped_end;
}

uint8_t* reserve() {
  ensure_reserved();
  return base;
}

}  // namespace kez::arena
