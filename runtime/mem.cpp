#include "runtime/mem.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/runtime.h"

namespace kez::mem {

namespace {

// A multiple of 16 bytes, so that the caller's block keeps malloc's alignment.
struct header {
  header* prev;
  header* next;
  size_t asked;
  size_t unused;
};
static_assert(sizeof(header) % 16 == 0);

header* first = nullptr;
header* last = nullptr;

[[noreturn]] void out_of_memory() {
  runtime::quit(runtime::RT_OUT_OF_MEMORY,
                reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
}

bool on_list(const header* h) {
  for (header* b = first; b; b = b->next)
    if (b == h) return true;
  return false;
}

void unlink(header* h) {
  (h->prev ? h->prev->next : first) = h->next;
  (h->next ? h->next->prev : last) = h->prev;
}

}  // namespace

void* allocate(size_t size) {
  if (size > SIZE_MAX - sizeof(header)) out_of_memory();
  auto* h = static_cast<header*>(std::malloc(size + sizeof(header)));
  if (!h) out_of_memory();
  h->prev = last;
  h->next = nullptr;
  h->asked = size;
  h->unused = 0;
  (last ? last->next : first) = h;
  last = h;
  return h + 1;
}

void* allocate_zeroed(size_t size) {
  void* p = allocate(size);
  std::memset(p, 0, size);
  return p;
}

void free(void* address) {
  if (!address) return;
  header* h = static_cast<header*>(address) - 1;
  // Only blocks on the list are ours to free; the walk is what makes a stray
  // address harmless.
  if (!on_list(h)) return;
  unlink(h);
  std::free(h);
}

void* realloc(void* address, size_t size) {
  if (!address) return allocate(size);
  if (size == 0) {
    free(address);
    return nullptr;
  }
  if (size > SIZE_MAX - sizeof(header)) out_of_memory();
  header* h = static_cast<header*>(address) - 1;
  header* prev = h->prev;
  header* next = h->next;
  auto* n = static_cast<header*>(std::realloc(h, size + sizeof(header)));
  if (!n) out_of_memory();
  n->asked = size;
  (next ? next->prev : last) = n;
  (prev ? prev->next : first) = n;
  return n + 1;
}

void free_all() {
  for (header* b = first; b;) {
    header* next = b->next;
    std::free(b);
    b = next;
  }
  first = last = nullptr;
}

void report() {
  std::printf("-- Heap-allocations --\nAsked   Real\n");
  size_t sum = 0;
  for (header* b = first; b; b = b->next) {
    std::printf("%zu\t%zu\n", b->asked, b->asked + sizeof(header));
    sum += b->asked + sizeof(header);
  }
  std::printf("-- Sum: %zu --\n", sum);
  std::fflush(stdout);
}

size_t count() {
  size_t n = 0;
  for (header* b = first; b; b = b->next) ++n;
  return n;
}

size_t asked_total() {
  size_t n = 0;
  for (header* b = first; b; b = b->next) n += b->asked;
  return n;
}

}  // namespace kez::mem
