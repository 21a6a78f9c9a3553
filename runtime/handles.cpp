#include "runtime/handles.h"

#include <cassert>
#include <cstring>

#include "runtime/mem.h"

namespace kez::handles {

namespace {

struct kind_entry {
  const char* name;
  release_fn release;
};

struct record {
  uint32_t type;  // kind in bits 0-7, RECORD_MARK, RECORD_FREE
  void* pointer;
  int32_t next;
};

kind_entry* kinds = nullptr;
uint32_t kind_count = 0;
record* records = nullptr;
uint32_t record_count = 0;
int32_t in_use_head = -1;
int32_t free_head = -1;

void chain_free(uint32_t from, uint32_t to) {
  for (uint32_t i = from; i < to; ++i)
    records[i] = record{RECORD_FREE, nullptr, i + 1 < to ? int32_t(i + 1) : -1};
}

void call_release(const record& r) {
  uint32_t k = r.type & 0xFF;
  if (k && k <= kind_count && kinds[k - 1].release) kinds[k - 1].release(r.pointer);
}

void push_free(int32_t h) {
  records[h] = record{RECORD_FREE, nullptr, free_head};
  free_head = h;
}

}  // namespace

void init() {
  if (records) return;
  kinds = static_cast<kind_entry*>(mem::allocate_zeroed(sizeof(kind_entry) * MAX_KINDS));
  kind_count = 0;
  record_count = 1000;
  records = static_cast<record*>(mem::allocate(sizeof(record) * record_count));
  chain_free(0, record_count);
  free_head = 0;
  in_use_head = -1;
}

void free() {
  mem::free(kinds);
  mem::free(records);
  kinds = nullptr;
  records = nullptr;
  kind_count = record_count = 0;
  in_use_head = free_head = -1;
}

uint32_t register_type(const char* name, release_fn release) {
  init();
  assert(kind_count < MAX_KINDS);
  kinds[kind_count] = kind_entry{name, release};
  return ++kind_count;
}

uint32_t kind_named(const char* name) {
  for (uint32_t k = 0; k < kind_count; ++k)
    if (std::strcmp(kinds[k].name, name) == 0) return k + 1;
  return 0;
}

int32_t store(void* pointer, uint32_t kind) {
  init();
  if (records[free_head].next == -1) {
    // Doubling before the last free record is taken keeps the free list non-empty.
    uint32_t old = record_count;
    record_count *= 2;
    records = static_cast<record*>(mem::realloc(records, sizeof(record) * record_count));
    chain_free(old, record_count);
    records[free_head].next = int32_t(old);
  }
  int32_t h = free_head;
  free_head = records[h].next;
  records[h] = record{kind & 0xFF, pointer, in_use_head};
  in_use_head = h;
  return h;
}

void replace_pointer(int32_t h, void* pointer) {
  record old = records[h];
  records[h].pointer = pointer;
  if (old.pointer != pointer) call_release(old);
}

int32_t release(int32_t h, bool release_it) {
  // Releasing a record twice would put it on the free list twice and hand
  // the same index out to two owners: a free record is left alone.
  if (h < 0 || uint32_t(h) >= record_count || (records[h].type & RECORD_FREE)) return -1;
  if (release_it) call_release(records[h]);
  if (in_use_head == h) {
    in_use_head = records[h].next;
  } else {
    int32_t p = in_use_head;
    while (records[p].next != h) p = records[p].next;  // h is in use, so on the list
    records[p].next = records[h].next;
  }
  push_free(h);
  return -1;
}

bool mark(int32_t h, void* pointer) {
  if (h < 0 || uint32_t(h) >= record_count || (records[h].type & RECORD_FREE)) return false;
  if (pointer) records[h].pointer = pointer;
  if (records[h].type & RECORD_MARK) return false;
  records[h].type |= RECORD_MARK;
  return true;
}

void for_each_of_type(uint32_t kind, void (*fn)(void* pointer)) {
  for (int32_t h = in_use_head; h != -1;) {
    int32_t next = records[h].next;
    if ((records[h].type & 0xFF) == kind) fn(records[h].pointer);
    h = next;
  }
}

void sweep() {
  int32_t kept = -1;
  for (int32_t h = in_use_head; h != -1;) {
    int32_t next = records[h].next;
    if (records[h].type & RECORD_MARK) {
      records[h].type &= ~RECORD_MARK;
      kept = h;
    } else {
      call_release(records[h]);
      (kept == -1 ? in_use_head : records[kept].next) = next;
      push_free(h);
    }
    h = next;
  }
}

void release_all() {
  if (!records) return;
  while (in_use_head != -1) {
    int32_t h = in_use_head;
    in_use_head = records[h].next;
    record r = records[h];
    push_free(h);  // before the callback, which may look the table up
    call_release(r);
  }
}

void* pointer(int32_t h) { return records[h].pointer; }
uint32_t kind(int32_t h) { return records[h].type & 0xFF; }
uint32_t capacity() { return record_count; }

}  // namespace kez::handles
