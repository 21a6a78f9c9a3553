#include "runtime/hooks.h"

#include <cstring>

#include "runtime/mem.h"

namespace kez::hooks {

namespace {

constexpr int growth = 5;

template <class Hook>
struct list {
  Hook* entries = nullptr;
  int count = 0;
  int capacity = 0;

  void reserve(int n) {
    entries = static_cast<Hook*>(mem::realloc(entries, sizeof(Hook) * n));
    capacity = n;
  }
  void add(Hook hook) {
    if (count == capacity) reserve(capacity + growth);
    entries[count++] = hook;
  }
  void remove(Hook hook) {
    for (int i = 0; i < count; ++i)
      if (entries[i] == hook) {
        std::memmove(entries + i, entries + i + 1, sizeof(Hook) * (count - i - 1));
        --count;
        return;
      }
  }
};

list<value_hook> list1;
list<text_hook> list2;

}  // namespace

void init() {
  mem::free(list1.entries);
  mem::free(list2.entries);
  list1 = {};
  list2 = {};
  list1.reserve(growth);
  list2.reserve(growth);
}

void register_(value_hook h1, text_hook h2) {
  if (h1) list1.add(h1);
  if (h2) list2.add(h2);
}

void unregister(value_hook h1, text_hook h2) {
  if (h1) list1.remove(h1);
  if (h2) list2.remove(h2);
}

void fire_list1(const cell* value, bool newline) {
  for (int i = 0; i < list1.count; ++i) list1.entries[i](value, newline);
}

void fire_list2(const char* text, int32_t length, int32_t flag) {
  for (int i = 0; i < list2.count; ++i) list2.entries[i](text, length, flag);
}

}  // namespace kez::hooks
