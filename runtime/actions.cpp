#include "runtime/actions.h"

#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/runtime.h"

namespace kez::actions {

any_handler table[ACTION_ROWS][ACTION_COUNT];

void not_supported(uint32_t type, uint32_t) {
  cell kind;
  datatype::make_at(&kind, type & FLAG_TYPE_MASK);
  error::fire(err::cat_script, err::script::expect_arg, nullptr, &kind);
}

namespace {

// make and to take their target type from a datatype! or from any value.
uint32_t target_type(const cell* proto) {
  return type_of(proto) == TYPE_DATATYPE ? datatype::get(proto) : type_of(proto);
}

int32_t order(uint32_t a, uint32_t b) { return a == b ? 0 : (int32_t(a) < int32_t(b) ? -1 : 1); }

}  // namespace

cell* make_dispatch(cell* proto, const cell* spec) {
  uint32_t type = target_type(proto);
  return get_action_ptr_from<ACT_MAKE>(type)(proto, spec, type);
}

cell* to_dispatch(cell* proto, const cell* spec) {
  uint32_t type = target_type(proto);
  return get_action_ptr_from<ACT_TO>(type)(proto, spec, type);
}

int32_t form_dispatch(const cell* value, cell* buffer, const cell* arg, int32_t part) {
  return get_action_ptr_value<ACT_FORM>(value)(value, buffer, arg, part);
}

int32_t mold_dispatch(const cell* value, cell* buffer, bool only, bool all, bool flat,
                      const cell* arg, int32_t part, int32_t indent) {
  return get_action_ptr_value<ACT_MOLD>(value)(value, buffer, only, all, flat, arg, part, indent);
}

cell* copy_dispatch(cell* value, cell* result, const cell* part, bool deep, const cell* types) {
  return get_action_ptr_value<ACT_COPY>(value)(value, result, part, deep, types);
}

int32_t length_q_dispatch(cell* series) { return get_action_ptr_value<ACT_LENGTH_Q>(series)(series); }

int32_t compare_value(const cell* value1, const cell* value2, int32_t op) {
  uint32_t type = type_of(value1);
  if (type == type_of(value2)) {
    switch (type) {
      case TYPE_LOGIC: return int32_t(value1->w1) - int32_t(value2->w1);
      case TYPE_NATIVE: case TYPE_ACTION: case TYPE_OP:          // entry points
      case TYPE_FUNCTION: case TYPE_ROUTINE: return order(value1->w1, value2->w1);  // contexts
      default: break;
    }
  }
  return get_action_ptr_from<ACT_COMPARE>(type)(value1, value2, op);
}

bool compare(const cell* value1, const cell* value2, int32_t op) {
  int32_t r = get_action_ptr_value<ACT_COMPARE>(value1)(value1, value2, op);
  if (r == -2 && op >= COMP_LESSER && op <= COMP_GREATER_EQUAL)
    error::fire(err::cat_script, err::script::invalid_compare, value1, value2);
  switch (op) {
    case COMP_EQUAL: case COMP_STRICT_EQUAL: case COMP_SAME:
    case COMP_STRICT_EQUAL_WORD: case COMP_EQUAL_WORD: case COMP_FIND: return r == 0;
    case COMP_NOT_EQUAL: return r != 0;
    case COMP_LESSER: return r < 0;
    case COMP_LESSER_EQUAL: return r < 1;
    case COMP_GREATER: return r >= 1;
    case COMP_GREATER_EQUAL: return r >= 0;
    default: runtime::quit(runtime::RT_NO_SWITCH, reinterpret_cast<uintptr_t>(&compare));
  }
}

}  // namespace kez::actions
