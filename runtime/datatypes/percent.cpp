#include "runtime/datatypes/percent.h"

#include <cstring>

#include "runtime/datatypes/block.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/string.h"
#include "runtime/stack.h"

namespace kez::percent {

cell* make_at(cell* target, double fraction) { return float_::make_at(target, fraction, TYPE_PERCENT); }
cell* make_at64(cell* target, uint32_t low, uint32_t high) {
  *target = cell{TYPE_PERCENT, 0, low, high};
  return target;
}
cell* make_in(cell* block, uint32_t low, uint32_t high) { return make_at64(block::alloc_tail(block), low, high); }
cell* push(double fraction) { return make_at(stack::push_cell(), fraction); }
cell* push64(uint32_t low, uint32_t high) { return make_at64(stack::push_cell(), low, high); }
cell* box(double fraction) { return make_at(stack::arguments, fraction); }

int32_t form(const cell* value, cell* buffer, const cell*, int32_t part) {
  const char* text = float_::form_float(get(value) * 100.0, float_::KIND_PERCENT);
  string::concatenate_literal(buffer, text);
  int32_t n = int32_t(std::strlen(text));
  // The infinity and NaN texts come without the sign: it is added here.
  if (text[n - 1] != '%') {
    string::concatenate_literal(buffer, "%");
    ++n;
  }
  return part - n;
}

namespace {
int32_t mold(const cell* value, cell* buffer, bool, bool, bool, const cell* arg, int32_t part, int32_t) {
  return form(value, buffer, arg, part);
}
}  // namespace

void init() {
  datatype::registration(TYPE_PERCENT, TYPE_FLOAT, "percent!")
      .inherit_all()
      .set<ACT_FORM>(form)
      .set<ACT_MOLD>(mold)
      .commit();
}

}  // namespace kez::percent
