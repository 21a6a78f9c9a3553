#include "platform/vmem.h"

#include <sys/mman.h>
#include <sys/resource.h>

#include <cstdint>
#include <cstdio>

namespace kez::vmem {

size_t space_left() {
  rlimit limit;
  if (getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
  // What is mapped now, in kB: the same count the limit is checked against.
  size_t mapped_kb = 0;
  if (std::FILE* f = std::fopen("/proc/self/status", "re")) {
    char line[128];
    while (std::fgets(line, sizeof line, f))
      if (std::sscanf(line, "VmSize: %zu kB", &mapped_kb) == 1) break;
    std::fclose(f);
  }
  size_t mapped = mapped_kb * 1024;
  return limit.rlim_cur > mapped ? size_t(limit.rlim_cur - mapped) : 0;
}

void* reserve(size_t bytes) {
  void* p = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}

void* reserve_at(void* address, size_t bytes) {
  void* p = mmap(address, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  // A kernel without the flag takes the address as a hint only.
  if (p != address) {
    munmap(p, bytes);
    return nullptr;
  }
  return p;
}

bool commit(void* address, size_t bytes) {
  return mprotect(address, bytes, PROT_READ | PROT_WRITE) == 0;
}

bool release(void* address, size_t bytes) {
  // The pages are dropped first so that a later commit sees zeroes and the
  // process gives the memory back; PROT_NONE then turns stale uses into faults.
  if (madvise(address, bytes, MADV_DONTNEED) != 0) return false;
  return mprotect(address, bytes, PROT_NONE) == 0;
}

bool discard(void* address, size_t bytes) { return madvise(address, bytes, MADV_DONTNEED) == 0; }

bool forget(void* address, size_t bytes) {
  return mmap(address, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0) == address;
}

bool renew(void* address, size_t bytes) {
  return mmap(address, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0) ==
         address;
}

bool seal(void* address, size_t bytes) { return mprotect(address, bytes, PROT_NONE) == 0; }

move_result move(void* from, size_t bytes, void* to) {
  if (mremap(from, bytes, bytes, MREMAP_MAYMOVE | MREMAP_FIXED, to) == MAP_FAILED) return REFUSED;
  // The range the pages left is unmapped: reserved again at once, so that
  // nothing else is placed inside the heap's range.
  void* again = mmap(from, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0);
  return again == from ? MOVED : MOVED_UNRESERVED;
}

}  // namespace kez::vmem
