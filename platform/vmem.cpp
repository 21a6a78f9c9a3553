#include "platform/vmem.h"

#include <sys/mman.h>

namespace kez::vmem {

void* reserve(size_t bytes) {
  void* p = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  return p == MAP_FAILED ? nullptr : p;
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

bool seal(void* address, size_t bytes) { return mprotect(address, bytes, PROT_NONE) == 0; }

}  // namespace kez::vmem
