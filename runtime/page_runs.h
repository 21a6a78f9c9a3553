// Bookkeeping of page runs inside one address range, with no system calls:
// the arena commits and releases what this hands out. Fresh address space is
// handed out first and released runs only once it is used up, so that a
// reference kept into a released run faults instead of silently reading
// whatever was placed there next. Released runs are kept sorted and
// coalesced; they are mostly neighbours, so they stay few.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace kez {

class page_runs {
 public:
  page_runs(uint64_t first, uint64_t end) : top_(first), end_(end) {}

  // Start of a run of `bytes` (a page multiple), or 0 when none is left.
  uint64_t take(uint64_t bytes) {
    if (bytes <= end_ - top_) {
      top_ += bytes;
      return top_ - bytes;
    }
    for (size_t i = 0; i < free_.size(); ++i)
      if (free_[i].bytes >= bytes) {
        uint64_t start = free_[i].start;
        free_[i].start += bytes;
        free_[i].bytes -= bytes;
        if (free_[i].bytes == 0) free_.erase(free_.begin() + i);
        return start;
      }
    return 0;
  }

  void give(uint64_t start, uint64_t bytes) {
    size_t i = 0;
    while (i < free_.size() && free_[i].start < start) ++i;
    free_.insert(free_.begin() + i, run{start, bytes});
    if (i + 1 < free_.size() && start + bytes == free_[i + 1].start) {
      free_[i].bytes += free_[i + 1].bytes;
      free_.erase(free_.begin() + i + 1);
    }
    if (i > 0 && free_[i - 1].start + free_[i - 1].bytes == start) {
      free_[i - 1].bytes += free_[i].bytes;
      free_.erase(free_.begin() + i);
    }
  }

  size_t released_runs() const { return free_.size(); }

  struct run {
    uint64_t start, bytes;
  };
  // The whole bookkeeping, to be carried to another process whose range
  // has the same layout (a boot image).
  uint64_t top() const { return top_; }
  const std::vector<run>& released() const { return free_; }
  void restore(uint64_t top, std::vector<run> released) {
    top_ = top;
    free_ = std::move(released);
  }

 private:
  std::vector<run> free_;
  uint64_t top_, end_;
};

}  // namespace kez
