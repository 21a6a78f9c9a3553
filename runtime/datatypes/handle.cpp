#include "runtime/datatypes/handle.h"

#include <cstring>

#include "runtime/datatypes/block.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/string.h"
#include "runtime/stack.h"

namespace kez::handle {

namespace {

const char* kind_name(uint32_t kind) {
  static const char* const names[] = {"", "fd", "monitor", "window", "font", "rich-text"};
  return kind < 6 ? names[kind] : "";
}

int32_t form(const cell* value, cell* buffer, const cell*, int32_t part) {
  string::concatenate_literal(buffer, string::to_hex(int32_t(value->w2), false));
  string::concatenate_literal(buffer, "h");
  return part - 9;
}

int32_t mold(const cell* value, cell* buffer, bool, bool all, bool, const cell* arg, int32_t part, int32_t) {
  if (!all) {
    string::concatenate_literal(buffer, "handle!");
    return part - 7;
  }
  string::concatenate_literal(buffer, "#[handle! ");
  part = form(value, buffer, arg, part - 10);
  const char* name = kind_name(value->w1);
  if (value->w1 > 0 && *name) {
    string::concatenate_literal(buffer, " ");
    string::concatenate_literal(buffer, name);
    part -= 1 + int32_t(std::strlen(name));
  }
  string::concatenate_literal(buffer, "]");
  return part - 1;
}

int32_t compare(const cell* a, const cell* b, int32_t) {
  if (type_of(b) != TYPE_HANDLE) return 1;
  int32_t x = int32_t(a->w2), y = int32_t(b->w2);
  return (x > y) - (x < y);
}

}  // namespace

cell* make_at(cell* target, uint32_t value, uint32_t kind) {
  *target = cell{TYPE_HANDLE, kind, value, 0xFFFFFFFFu};
  return target;
}
cell* box(uint32_t value, uint32_t kind) { return make_at(stack::arguments, value, kind); }
cell* make_in_block(cell* block, uint32_t value, uint32_t kind) { return make_at(block::alloc_tail(block), value, kind); }
cell* push(uint32_t value, uint32_t kind) { return make_at(stack::push_cell(), value, kind); }
cell* push_null() { return push(0, KIND_NULL); }

void init() {
  datatype::registration(TYPE_HANDLE, TYPE_INTEGER, "handle!")
      .set<ACT_FORM>(form)
      .set<ACT_MOLD>(mold)
      .set<ACT_COMPARE>(compare)
      .commit();
}

}  // namespace kez::handle
