#include "runtime/datatypes/unset.h"

#include "runtime/actions.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/string.h"
#include "runtime/stack.h"

namespace kez::unset {

const cell value{TYPE_UNSET, 0, 0, 0};

cell* push() { return make_at(stack::push_cell()); }
cell* push_last() { return make_at(stack::arguments); }

cell* make(cell* proto, const cell*, uint32_t) { return make_at(proto); }

int32_t form(const cell*, cell*, const cell*, int32_t part) { return part; }

int32_t mold(const cell*, cell* buffer, bool, bool all, bool, const cell*, int32_t part, int32_t) {
  const char* text = all ? "#(unset)" : "unset";
  string::concatenate_literal(buffer, text);
  return part - (all ? 8 : 5);
}

int32_t compare(const cell*, const cell* value2, int32_t op) {
  return type_of(value2) == TYPE_UNSET && equality_or_sort_op_q(op) ? 0 : -2;
}

void init() {
  datatype::registration(TYPE_UNSET, 0, "unset!")
      .set<ACT_MAKE>(make)
      .set<ACT_TO>(make)
      .set<ACT_FORM>(form)
      .set<ACT_MOLD>(mold)
      .set<ACT_COMPARE>(compare)
      .commit();
}

}  // namespace kez::unset
