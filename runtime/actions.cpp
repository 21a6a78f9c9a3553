#include "runtime/actions.h"

#include <utility>

#include "runtime/core_ops.h"

#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/natives.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"
#include "runtime/words.h"

namespace kez::actions {

any_handler table[ACTION_ROWS][ACTION_COUNT];

// Names the call, the type and the called function's first argument, so the
// message reads "reflect does not allow integer! for its value argument".
// Before the runtime's words exist (a bare registry) only the type is given.
void not_supported(uint32_t type, uint32_t) {
  cell kind;
  datatype::make_at(&kind, type & FLAG_TYPE_MASK);
  if (!words::word[words::w::anon]) error::fire(err::cat_script, err::script::expect_arg, nullptr, &kind);
  cell name = stack::get_call();
  cell argument = error::get_call_name(0);
  error::fire(err::cat_script, err::script::expect_arg, &name, &kind, &argument);
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

// ------------------------------------------------------------ stack entries
// Each reads its arguments from the current frame (fixed arguments first,
// then the refinements' arguments in spec order) and leaves its result in
// arguments[0]. A refinement's integer is -1 when absent, else the position
// of its first argument cell.

namespace kez::actions {

stack_entry entries[62];

namespace {

inline cell* arg(int32_t n) { return stack::arguments + n; }
inline const cell* opt(const int32_t* r, int k) { return r[k] >= 0 ? arg(r[k]) : nullptr; }
inline bool flag(const int32_t* r, int k) { return r[k] >= 0; }
inline void result(const cell* value) {
  copy_fresh(stack::arguments, value);  // even onto itself: a word of it may have just changed
  stack::top = stack::arguments + 1;
}
inline void logic_result(bool b) {
  *stack::arguments = cell{TYPE_LOGIC, b ? 1u : 0u, 0, 0};
  stack::top = stack::arguments + 1;
}

template <uint32_t A>
void unary(const int32_t*) { result(get_action_ptr_value<A>(arg(0))(arg(0))); }
template <uint32_t A>
void binary(const int32_t*) { result(get_action_ptr_value<A>(arg(0))(arg(0), arg(1))); }

// form and mold: a new buffer above the frame's first cell, cut to the
// /part limit.
void form_or_mold(const int32_t* r, bool mold, int part_ref) {
  const cell* limit_cell = opt(r, part_ref);
  int32_t limit = limit_cell ? int32_t(limit_cell->w2) : 0x7FFFFFFF;
  cell limit_copy = limit_cell ? *limit_cell : cell{TYPE_NONE, 0, 0, 0};
  stack::top = stack::arguments + 1;
  cell* buffer = stack::push_cell();
  string::make_at(buffer, 16);
  if (limit > 0) {
    if (mold) {
      mold_dispatch(arg(0), buffer, flag(r, 0), flag(r, 1), flag(r, 2), limit_cell ? &limit_copy : nullptr,
                    limit, 0);
    } else {
      form_dispatch(arg(0), buffer, limit_cell ? &limit_copy : nullptr, limit);
    }
    if (limit_cell) {
      series_buffer* b = memory::buffer_of(buffer->w2);
      if (int32_t((b->tail - b->head) >> (b->unit() >> 1)) > limit) string::truncate(b, limit);
    }
  }
  result(buffer);
}

// The checks that append, insert and change share; false: nothing to do.
// The /part limit is measured in `measured`: the inserted value for append
// and insert, the changed series for change. A count of 0 leaves append and
// insert with nothing to do, while change then inserts (replaces nothing).
bool part_and_dup(const int32_t* r, int part_ref, int dup_ref, int32_t& part, int32_t& dup, cell* measured,
                  bool zero_inserts = false) {
  part = -1;
  dup = 1;
  if (const cell* limit = opt(r, part_ref)) {
    cell* value = measured;
    if (type_of(limit) == TYPE_INTEGER) {
      part = int32_t(limit->w2);
    } else if (type_of(limit) == TYPE_FLOAT) {
      part = args::float_to_integer(limit);
    } else if (type_of(limit) == type_of(value) && limit->w2 == value->w2) {
      part = int32_t(limit->w1) - int32_t(value->w1);
    } else {
      cell word = *words::refinements[words::ref::part];
      set_cell_type(&word, TYPE_WORD);
      error::fire(err::cat_script, err::script::invalid_refine_arg, &word, limit);
    }
    if (part == 0 && !zero_inserts) return false;
    if (part < 0) {
      // Only a series has a head to move back (word 1 of anything else is
      // not an index: an object's is its context).
      if (!series::series_value_q(type_of(value))) error::fire(err::cat_script, err::script::invalid_part, limit);
      int32_t moved = int32_t(value->w1) + part < 0 ? int32_t(value->w1) : -part;
      value->w1 -= uint32_t(moved);
      part = moved;
    }
  }
  if (const cell* count = opt(r, dup_ref)) {
    dup = int32_t(count->w2);
    if (dup <= 0) return false;
  }
  return true;
}

[[gnu::noinline]] void insert_limited(const int32_t* r, bool append) {
  int32_t part, dup;
  // /part counts values of the inserted series: anything else has no count.
  // A port takes what it is given and measures it itself.
  const cell* limit = opt(r, 0);
  uint32_t t = type_of(arg(1));
  if (limit && type_of(arg(0)) != TYPE_PORT && !series::series_value_q(t) && t != TYPE_MAP)
    error::fire(err::cat_script, err::script::invalid_part, limit);
  if (!part_and_dup(r, 0, 2, part, dup, arg(1))) return result(arg(0));
  result(get_action_ptr_value<ACT_INSERT>(arg(0))(arg(0), arg(1), part, flag(r, 1), dup, append));
}

void insert_entry(const int32_t* r, bool append) {
  // Without /part and /dup (the commonest call) there is nothing to check;
  // the checks are apart, so that this call keeps nothing on the C stack.
  if (r[0] >= 0 || r[2] >= 0) return insert_limited(r, append);
  result(get_action_ptr_value<ACT_INSERT>(arg(0))(arg(0), arg(1), -1, flag(r, 1), 1, append));
}

// Whether the first n refinement slots are all off (negative): their AND is
// negative too.
template <size_t... k>
[[gnu::always_inline]] inline bool slots_off(const int32_t* r, std::index_sequence<k...>) {
  return (r[k] & ...) < 0;
}

template <size_t n>
[[gnu::always_inline]] inline bool refinements_off(const int32_t* r) {
  return slots_off(r, std::make_index_sequence<n>());
}

// The options of find (eleven refinements) or select (the first nine).
find_options find_refinements(const int32_t* r, bool find) {
  find_options o;
  o.part = opt(r, 0);
  o.only = flag(r, 1);
  o.case_ = flag(r, 2);
  o.same = flag(r, 3);
  o.any = flag(r, 4);
  o.with = opt(r, 5);
  o.skip = opt(r, 6);
  o.last = flag(r, 7);
  o.reverse = flag(r, 8);
  if (find) {
    o.tail = flag(r, 9);
    o.match = flag(r, 10);
  }
  return o;
}

}  // namespace

void init_entries() {
  entries[ACT_MAKE - 1] = [](const int32_t*) { result(make_dispatch(arg(0), arg(1))); };
  entries[ACT_RANDOM - 1] = [](const int32_t* r) {
    result(get_action_ptr_value<ACT_RANDOM>(arg(0))(arg(0), flag(r, 0), flag(r, 1), flag(r, 2)));
  };
  entries[ACT_REFLECT - 1] = [](const int32_t*) {
    result(get_action_ptr_value<ACT_REFLECT>(arg(0))(arg(0), arg(1)->w2));
  };
  entries[ACT_TO - 1] = [](const int32_t*) { result(to_dispatch(arg(0), arg(1))); };
  entries[ACT_FORM - 1] = [](const int32_t* r) { form_or_mold(r, false, 0); };
  entries[ACT_MOLD - 1] = [](const int32_t* r) { form_or_mold(r, true, 3); };
  entries[ACT_EVAL_PATH - 1] = [](const int32_t*) {
    result(get_action_ptr_value<ACT_EVAL_PATH>(arg(0))(arg(0), arg(1), nullptr, nullptr, nullptr, nullptr, -1,
                                                       false, true, false, false));
  };
  entries[ACT_SET_PATH - 1] = [](const int32_t*) { not_supported(type_of(arg(0)), ACT_SET_PATH); };
  entries[ACT_COMPARE - 1] = [](const int32_t*) {
    cell n{TYPE_INTEGER, 0, uint32_t(compare_value(arg(0), arg(1), int32_t(arg(2)->w2))), 0};
    result(&n);
  };
  entries[ACT_ABSOLUTE - 1] = unary<ACT_ABSOLUTE>;
  entries[ACT_ADD - 1] = binary<ACT_ADD>;
  entries[ACT_DIVIDE - 1] = binary<ACT_DIVIDE>;
  entries[ACT_MULTIPLY - 1] = binary<ACT_MULTIPLY>;
  entries[ACT_NEGATE - 1] = unary<ACT_NEGATE>;
  entries[ACT_POWER - 1] = binary<ACT_POWER>;
  entries[ACT_REMAINDER - 1] = binary<ACT_REMAINDER>;
  entries[ACT_ROUND - 1] = [](const int32_t* r) {
    result(get_action_ptr_value<ACT_ROUND>(arg(0))(arg(0), opt(r, 0), flag(r, 1), flag(r, 2), flag(r, 3),
                                                   flag(r, 4), flag(r, 5), flag(r, 6)));
  };
  entries[ACT_SUBTRACT - 1] = binary<ACT_SUBTRACT>;
  entries[ACT_EVEN_Q - 1] = [](const int32_t*) { logic_result(get_action_ptr_value<ACT_EVEN_Q>(arg(0))(arg(0))); };
  entries[ACT_ODD_Q - 1] = [](const int32_t*) { logic_result(get_action_ptr_value<ACT_ODD_Q>(arg(0))(arg(0))); };
  entries[ACT_AND_T - 1] = binary<ACT_AND_T>;
  entries[ACT_COMPLEMENT - 1] = unary<ACT_COMPLEMENT>;
  entries[ACT_OR_T - 1] = binary<ACT_OR_T>;
  entries[ACT_XOR_T - 1] = binary<ACT_XOR_T>;
  entries[ACT_APPEND - 1] = [](const int32_t* r) { insert_entry(r, true); };
  entries[ACT_AT - 1] = binary<ACT_AT>;
  entries[ACT_BACK - 1] = unary<ACT_BACK>;
  entries[ACT_CHANGE - 1] = [](const int32_t* r) {
    int32_t part, dup;
    if (!part_and_dup(r, 0, 2, part, dup, arg(0), true)) return result(arg(0));
    result(get_action_ptr_value<ACT_CHANGE>(arg(0))(arg(0), arg(1), part, flag(r, 1), dup));
  };
  entries[ACT_CLEAR - 1] = unary<ACT_CLEAR>;
  entries[ACT_COPY - 1] = [](const int32_t* r) {
    const cell* types = opt(r, 2);
    if (types && type_of(types) != TYPE_DATATYPE && type_of(types) != TYPE_TYPESET) {
      cell fn = stack::get_call(), kind, name{TYPE_WORD, 0, 0, uint32_t(-1)};
      datatype::make_at(&kind, type_of(types));
      error::fire(err::cat_script, err::script::expect_arg, &fn, &kind, &name);
    }
    cell* target = stack::push_cell();
    *target = cell{TYPE_NONE, 0, 0, 0};
    cell* made = copy_dispatch(arg(0), target, opt(r, 0), flag(r, 1), types);
    result(made);
  };
  entries[ACT_FIND - 1] = [](const int32_t* r) {
    static constexpr find_options plain;  // the commonest call: no refinement
    find_options o = refinements_off<11>(r) ? plain : find_refinements(r, true);
    result(get_action_ptr_value<ACT_FIND>(arg(0))(arg(0), arg(1), o));
  };
  entries[ACT_HEAD - 1] = unary<ACT_HEAD>;
  entries[ACT_HEAD_Q - 1] = unary<ACT_HEAD_Q>;
  entries[ACT_INDEX_Q - 1] = unary<ACT_INDEX_Q>;
  entries[ACT_INSERT - 1] = [](const int32_t* r) { insert_entry(r, false); };
  entries[ACT_LENGTH_Q - 1] = [](const int32_t*) {
    int32_t n = length_q_dispatch(arg(0));
    cell v = n < 0 ? cell{TYPE_NONE, 0, 0, 0} : cell{TYPE_INTEGER, 0, uint32_t(n), 0};
    result(&v);
  };
  entries[ACT_MOVE - 1] = [](const int32_t* r) {
    result(get_action_ptr_value<ACT_MOVE>(arg(0))(arg(0), arg(1), opt(r, 0)));
  };
  entries[ACT_NEXT - 1] = unary<ACT_NEXT>;
  entries[ACT_PICK - 1] = [](const int32_t*) {
    result(get_action_ptr_value<ACT_PICK>(arg(0))(arg(0), get_index_argument(arg(1)), arg(1)));
  };
  entries[ACT_POKE - 1] = [](const int32_t*) {
    result(get_action_ptr_value<ACT_POKE>(arg(0))(arg(0), get_index_argument(arg(1)), arg(1), arg(2), true));
  };
  entries[ACT_PUT - 1] = [](const int32_t* r) {
    result(get_action_ptr_value<ACT_PUT>(arg(0))(arg(0), arg(1), arg(2), flag(r, 0)));
  };
  entries[ACT_REMOVE - 1] = [](const int32_t* r) {
    result(get_action_ptr_value<ACT_REMOVE>(arg(0))(arg(0), opt(r, 0), opt(r, 1)));
  };
  entries[ACT_REVERSE - 1] = [](const int32_t* r) {
    result(get_action_ptr_value<ACT_REVERSE>(arg(0))(arg(0), opt(r, 0), opt(r, 1)));
  };
  entries[ACT_SELECT - 1] = [](const int32_t* r) {
    static constexpr find_options plain;
    find_options o = refinements_off<9>(r) ? plain : find_refinements(r, false);
    result(get_action_ptr_value<ACT_SELECT>(arg(0))(arg(0), arg(1), o));
  };
  entries[ACT_SORT - 1] = [](const int32_t* r) {
    result(get_action_ptr_value<ACT_SORT>(arg(0))(arg(0), flag(r, 0), opt(r, 1), opt(r, 2), opt(r, 3), flag(r, 4),
                                                  flag(r, 5), flag(r, 6)));
  };
  entries[ACT_SKIP - 1] = binary<ACT_SKIP>;
  entries[ACT_SWAP - 1] = [](const int32_t*) { result(get_action_ptr_value<ACT_SWAP>(arg(0))(arg(0), arg(1))); };
  entries[ACT_TAIL - 1] = unary<ACT_TAIL>;
  entries[ACT_TAIL_Q - 1] = unary<ACT_TAIL_Q>;
  entries[ACT_TAKE - 1] = [](const int32_t* r) {
    result(get_action_ptr_value<ACT_TAKE>(arg(0))(arg(0), opt(r, 0), flag(r, 1), flag(r, 2)));
  };
  entries[ACT_TRIM - 1] = [](const int32_t* r) {
    result(get_action_ptr_value<ACT_TRIM>(arg(0))(arg(0), flag(r, 0), flag(r, 1), flag(r, 2), flag(r, 3),
                                                  flag(r, 4), opt(r, 5)));
  };
  entries[ACT_CREATE - 1] = unary<ACT_CREATE>;
  entries[ACT_CLOSE - 1] = unary<ACT_CLOSE>;
  entries[ACT_DELETE - 1] = unary<ACT_DELETE>;
  entries[ACT_MODIFY - 1] = [](const int32_t* r) {
    result(get_action_ptr_value<ACT_MODIFY>(arg(0))(arg(0), arg(1), arg(2), flag(r, 0)));
  };
  entries[ACT_OPEN - 1] = [](const int32_t* r) {
    result(get_action_ptr_value<ACT_OPEN>(arg(0))(arg(0), flag(r, 0), flag(r, 1), flag(r, 2), flag(r, 3),
                                                  opt(r, 4)));
  };
  entries[ACT_OPEN_Q - 1] = unary<ACT_OPEN_Q>;
  entries[ACT_QUERY - 1] = unary<ACT_QUERY>;
  entries[ACT_READ - 1] = [](const int32_t* r) {
    result(get_action_ptr_value<ACT_READ>(arg(0))(arg(0), opt(r, 0), opt(r, 1), flag(r, 2), flag(r, 3),
                                                  flag(r, 4), opt(r, 5)));
  };
  entries[ACT_RENAME - 1] = binary<ACT_RENAME>;
  entries[ACT_UPDATE - 1] = unary<ACT_UPDATE>;
  entries[ACT_WRITE - 1] = [](const int32_t* r) {
    result(get_action_ptr_value<ACT_WRITE>(arg(0))(arg(0), arg(1), flag(r, 0), flag(r, 1), flag(r, 2), flag(r, 3),
                                                   opt(r, 4), opt(r, 5), opt(r, 6), opt(r, 7)));
  };
}

}  // namespace kez::actions
