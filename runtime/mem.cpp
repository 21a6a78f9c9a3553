#include "runtime/mem.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "runtime/console.h"
#include "runtime/runtime.h"

namespace kez::mem {

// A multiple of 16 bytes, so that the caller's block keeps malloc's alignment.
struct block {
  block* prev;
  block* next;
  size_t asked;
  size_t unused;
};
static_assert(sizeof(block) % 16 == 0);

list_record tracked = {nullptr, nullptr};

namespace {

// Reports the allocator's own address, the place of the failed request.
[[noreturn]] void out_of_memory() {
  runtime::quit(runtime::RT_OUT_OF_MEMORY, runtime::caller_address());
}

bool on_list(const block* h) {
  for (block* b = tracked.first; b; b = b->next)
    if (b == h) return true;
  return false;
}

void unlink(block* h) {
  (h->prev ? h->prev->next : tracked.first) = h->next;
  (h->next ? h->next->prev : tracked.last) = h->prev;
}

}  // namespace

void* allocate(size_t size) {
  if (size > SIZE_MAX - sizeof(block)) out_of_memory();
  auto* h = static_cast<block*>(std::malloc(size + sizeof(block)));
  if (!h) out_of_memory();
  h->prev = tracked.last;
  h->next = nullptr;
  h->asked = size;
  h->unused = 0;
  (tracked.last ? tracked.last->next : tracked.first) = h;
  tracked.last = h;
  return h + 1;
}

size_t size_of(const void* address) {
  if (!address) return 0;
  const block* h = static_cast<const block*>(address) - 1;
  return on_list(h) ? h->asked : 0;
}

void* allocate_zeroed(size_t size) {
  void* p = allocate(size);
  std::memset(p, 0, size);
  return p;
}

void free(void* address) {
  if (!address) return;
  block* h = static_cast<block*>(address) - 1;
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
  if (size > SIZE_MAX - sizeof(block)) out_of_memory();
  block* h = static_cast<block*>(address) - 1;
  block* prev = h->prev;
  block* next = h->next;
  auto* n = static_cast<block*>(std::realloc(h, size + sizeof(block)));
  if (!n) out_of_memory();
  n->asked = size;
  (next ? next->prev : tracked.last) = n;
  (prev ? prev->next : tracked.first) = n;
  return n + 1;
}

void free_all() {
  for (block* b = tracked.first; b;) {
    block* next = b->next;
    std::free(b);
    b = next;
  }
  tracked.first = tracked.last = nullptr;
}

void report() {
  stdout_::print_line("-- Heap-allocations --");
  stdout_::print_line("Asked   Real");
  int64_t sum = 0;
  for (block* b = tracked.first; b; b = b->next) {
    int64_t real = int64_t(b->asked + sizeof(block));
    stdout_::print_line(int64_t(b->asked), "\t", real);
    sum += real;
  }
  stdout_::print_line("-- Sum: ", sum, " --");
}

size_t count() {
  size_t n = 0;
  for (block* b = tracked.first; b; b = b->next) ++n;
  return n;
}

size_t asked_total() {
  size_t n = 0;
  for (block* b = tracked.first; b; b = b->next) n += b->asked;
  return n;
}

}  // namespace kez::mem
