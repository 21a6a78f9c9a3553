#include "runtime/datatypes/none.h"

#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/string.h"
#include "runtime/stack.h"

namespace kez::none {

const cell value{TYPE_NONE, 0, 0, 0};

cell* push() { return make_at(stack::push_cell()); }
cell* push_last() { return make_at(stack::arguments); }

cell* make(cell* proto, const cell*, uint32_t) { return make_at(proto); }

int32_t form(const cell*, cell* buffer, const cell*, int32_t part) {
  string::concatenate_literal(buffer, "none");
  return part - 4;
}

int32_t mold(const cell*, cell* buffer, bool, bool all, bool, const cell*, int32_t part, int32_t) {
  string::concatenate_literal(buffer, all ? "#(none)" : "none");
  return part - (all ? 7 : 4);
}

int32_t compare(const cell*, const cell* value2, int32_t op) {
  return type_of(value2) == TYPE_NONE && equality_or_sort_op_q(op) ? 0 : -2;
}

cell* clear(cell* value) { return make_at(value); }
cell* find(cell* series, const cell*, const find_options&) { return make_at(series); }
cell* remove(cell* series, const cell*, const cell*) { return make_at(series); }
cell* take(cell* series, const cell*, bool, bool) { return make_at(series); }
int32_t length_q(cell*) { return -1; }

void init() {
  datatype::registration(TYPE_NONE, 0, "none!")
      .set<ACT_MAKE>(make)
      .set<ACT_TO>(make)
      .set<ACT_FORM>(form)
      .set<ACT_MOLD>(mold)
      .set<ACT_COMPARE>(compare)
      .set<ACT_CLEAR>(clear)
      .set<ACT_FIND>(find)
      .set<ACT_LENGTH_Q>(length_q)
      .set<ACT_REMOVE>(remove)
      .set<ACT_SELECT>(find)
      .set<ACT_TAKE>(take)
      .commit();
}

}  // namespace kez::none
