#include "runtime/cycles.h"

#include <cstring>

#include "runtime/collector.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/string.h"

namespace kez::cycles {

namespace {

uint32_t entries[CAPACITY];
uint32_t top = 0;
bool registered = false;

void relocate() { collector::relocate_range(entries, entries + top); }

}  // namespace

void push(uint32_t node) {
  if (!registered) {
    collector::add_relocator(relocate);
    registered = true;
  }
  entries[top++] = node;
  if (top == CAPACITY) {
    reset();
    error::fire(err::cat_internal, err::internal::too_deep);
  }
}

void pop() {
  if (top) --top;
}
void pop_n(uint32_t n) { top = n > top ? 0 : top - n; }
void reset() { top = 0; }
uint32_t depth() { return top; }

bool find_q(uint32_t node) {
  for (uint32_t i = 0; i < top; ++i)
    if (entries[i] == node) return true;
  return false;
}

bool detect_q(const cell* value, cell* buffer, int32_t& limit, bool mold) {
  if (!find_q(node_of(value))) return false;
  const char* text = "...";
  if (mold) {
    switch (type_of(value)) {
      case TYPE_BLOCK: case TYPE_HASH: text = "[...]"; break;
      case TYPE_PAREN: text = "(...)"; break;
      case TYPE_MAP: text = "#[...]"; break;
      case TYPE_OBJECT: text = "make object! [...]"; break;
      default: break;
    }
  }
  string::concatenate_literal(buffer, text);
  limit -= int32_t(std::strlen(text));
  return true;
}

scope::~scope() {
  if (top > depth_) top = depth_;
}

}  // namespace kez::cycles
