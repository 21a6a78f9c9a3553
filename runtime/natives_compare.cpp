// The comparison natives: the seven compare predicates over the typed
// compare, and same? (identity).
#include "runtime/actions.h"
#include "runtime/datatypes/block.h"
#include "runtime/natives.h"
#include "runtime/stack.h"

namespace kez::natives {

namespace {

inline void logic_result(bool b) {
  *stack::arguments = cell{TYPE_LOGIC, b ? 1u : 0u, 0, 0};
  stack::top = stack::arguments + 1;
}

template <int32_t Op>
uint32_t compare_native(int32_t, const int32_t*) {
  logic_result(actions::compare(stack::arguments, stack::arguments + 1, Op));
  return 0;
}

}  // namespace

bool same_q(const cell* a, const cell* b) {
  uint32_t t = type_of(a);
  if (t != type_of(b)) return false;
  switch (t) {
    case TYPE_DATATYPE: case TYPE_LOGIC: case TYPE_OBJECT: return a->w1 == b->w1;
    case TYPE_CHAR: case TYPE_INTEGER: case TYPE_BITSET: return a->w2 == b->w2;
    case TYPE_FLOAT: case TYPE_PERCENT: case TYPE_PAIR: case TYPE_TIME: return a->w2 == b->w2 && a->w3 == b->w3;
    case TYPE_NONE: case TYPE_UNSET: return true;
    case TYPE_ACTION: case TYPE_NATIVE: case TYPE_POINT2D: return a->w1 == b->w1 && a->w2 == b->w2;
    case TYPE_OP: return a->w2 == b->w2 && a->w3 == b->w3;
    case TYPE_TUPLE: return a->header == b->header && a->w1 == b->w1 && a->w2 == b->w2 && a->w3 == b->w3;
    case TYPE_MONEY: return actions::compare_value(a, b, COMP_EQUAL) == 0;
    default:
      if (series::series_value_q(t)) return a->w1 == b->w1 && a->w2 == b->w2;
      return a->w1 == b->w1 && a->w2 == b->w2 && a->w3 == b->w3;
  }
}

void register_compare(entry* slots) {
  slots[24] = compare_native<COMP_EQUAL>;
  slots[25] = compare_native<COMP_NOT_EQUAL>;
  slots[26] = compare_native<COMP_STRICT_EQUAL>;
  slots[27] = compare_native<COMP_LESSER>;
  slots[28] = compare_native<COMP_GREATER>;
  slots[29] = compare_native<COMP_LESSER_EQUAL>;
  slots[30] = compare_native<COMP_GREATER_EQUAL>;
  slots[31] = [](int32_t, const int32_t*) -> uint32_t {
    logic_result(same_q(stack::arguments, stack::arguments + 1));
    return 0;
  };
}

}  // namespace kez::natives
