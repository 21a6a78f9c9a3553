// The actions layer: the 62 polymorphic actions, the C++ signature of every
// datatype handler, and the typed dispatchers that find a handler by the
// type of the first argument and call it.
//
// Conventions shared by every handler:
// - Cells passed in live where the collector sees them (data stack or rooted
//   locals): any allocation may move series buffers, so a cell inside one
//   is only good until the handler allocates.
// - An optional argument cell is null when its refinement is absent; a /part
//   count given as an integer is -1 when absent.
// - A handler that produces a value writes it into its first cell argument
//   (the call's result slot) and returns that cell, unless its line below
//   says otherwise (copy has its own result cell; form and mold answer a
//   budget; compare answers an order; length? answers a count).
// - form and mold append to a string! buffer and answer the part budget less
//   the characters appended; a negative answer means the limit was overrun.
// - compare answers -1, 0 or 1, or -2 when the two values are not comparable
//   under that op; it never raises.
// Dispatch is one table read and one indirect call; an empty entry raises
// Script Error expect-arg.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez {

enum action : uint32_t {
  ACT_MAKE = 1, ACT_RANDOM, ACT_REFLECT, ACT_TO, ACT_FORM, ACT_MOLD, ACT_EVAL_PATH,
  ACT_SET_PATH, ACT_COMPARE, ACT_ABSOLUTE, ACT_ADD, ACT_DIVIDE, ACT_MULTIPLY, ACT_NEGATE,
  ACT_POWER, ACT_REMAINDER, ACT_ROUND, ACT_SUBTRACT, ACT_EVEN_Q, ACT_ODD_Q, ACT_AND_T,
  ACT_COMPLEMENT, ACT_OR_T, ACT_XOR_T, ACT_APPEND, ACT_AT, ACT_BACK, ACT_CHANGE, ACT_CLEAR,
  ACT_COPY, ACT_FIND, ACT_HEAD, ACT_HEAD_Q, ACT_INDEX_Q, ACT_INSERT, ACT_LENGTH_Q, ACT_MOVE,
  ACT_NEXT, ACT_PICK, ACT_POKE, ACT_PUT, ACT_REMOVE, ACT_REVERSE, ACT_SELECT, ACT_SORT,
  ACT_SKIP, ACT_SWAP, ACT_TAIL, ACT_TAIL_Q, ACT_TAKE, ACT_TRIM, ACT_CREATE, ACT_CLOSE,
  ACT_DELETE, ACT_MODIFY, ACT_OPEN, ACT_OPEN_Q, ACT_QUERY, ACT_READ, ACT_RENAME, ACT_UPDATE,
  ACT_WRITE,
};
constexpr uint32_t ACTION_COUNT = 62;

// The third argument of every compare handler.
enum compare_op : int32_t {
  COMP_EQUAL = 0,
  COMP_NOT_EQUAL = 1,
  COMP_STRICT_EQUAL = 2,       // same type, case-sensitive
  COMP_LESSER = 3,
  COMP_LESSER_EQUAL = 4,
  COMP_GREATER = 5,
  COMP_GREATER_EQUAL = 6,
  COMP_SORT = 7,
  COMP_CASE_SORT = 8,
  COMP_SAME = 9,
  COMP_STRICT_EQUAL_WORD = 10, // strict, but word! = lit-word! and path! = lit-path!
  COMP_EQUAL_WORD = 11,        // as 10 without case
  COMP_FIND = 12,              // the equality of find, select and keys
};

// The ops under which values that only know equality still answer: the
// equalities, sameness, find and the two sort orderings.
inline bool equality_or_sort_op_q(int32_t op) {
  return (op >= COMP_EQUAL && op <= COMP_STRICT_EQUAL) || op == COMP_SORT || op == COMP_CASE_SORT ||
         op == COMP_SAME || op == COMP_FIND;
}

// Refinements of find and select, in one record (select ignores tail and match).
struct find_options {
  const cell* part = nullptr;
  const cell* with = nullptr;   // /with wildcards
  const cell* skip = nullptr;   // /skip record size
  bool only = false, case_ = false, same = false, any = false;
  bool last = false, reverse = false, tail = false, match = false;
};

namespace actions {

// Handler signatures, one per shape of action.
using make_fn = cell* (*)(cell* proto, const cell* spec, uint32_t type);       // make, to
using random_fn = cell* (*)(cell* value, bool seed, bool secure, bool only);
using reflect_fn = cell* (*)(cell* value, uint32_t field_symbol);
using form_fn = int32_t (*)(const cell* value, cell* buffer, const cell* arg, int32_t part);
using mold_fn = int32_t (*)(const cell* value, cell* buffer, bool only, bool all, bool flat,
                            const cell* arg, int32_t part, int32_t indent);
// element and path data of one path step; `value` is null for a get. The
// answer is the resulting value cell (which may lie inside the parent).
using eval_path_fn = cell* (*)(cell* parent, const cell* element, const cell* value,
                               const cell* path, const cell* grand_parent, const cell* previous,
                               int32_t index, bool case_, bool get, bool tail, bool notify);
using set_path_fn = void (*)();                                                 // never filled
using compare_fn = int32_t (*)(const cell* value1, const cell* value2, int32_t op);
using unary_fn = cell* (*)(cell* value);       // absolute negate complement clear head tail next back head? tail? index? create close delete open? query update
using binary_fn = cell* (*)(cell* value1, const cell* value2);  // add subtract multiply divide remainder power and~ or~ xor~ at skip rename
using round_fn = cell* (*)(cell* value, const cell* scale, bool even, bool down, bool half_down,
                           bool floor, bool ceiling, bool half_ceiling);
using predicate_fn = bool (*)(const cell* value);                               // even? odd?
// One shape serves append and insert: `append` tells them apart.
using insert_fn = cell* (*)(cell* series, const cell* value, int32_t part, bool only, int32_t dup,
                            bool append);
using change_fn = cell* (*)(cell* series, const cell* value, int32_t part, bool only, int32_t dup);
using copy_fn = cell* (*)(cell* value, cell* result, const cell* part, bool deep, const cell* types);
using find_fn = cell* (*)(cell* series, const cell* value, const find_options& options);  // find, select
using length_fn = int32_t (*)(cell* series);                                    // -1: none
using move_fn = cell* (*)(cell* origin, cell* target, const cell* part);       // answers the target
using pick_fn = cell* (*)(cell* series, int32_t index, const cell* boxed_index);
// pick and poke get the index both as read by get_index_argument and as
// given (a pair! picks from an image!); poke answers the value.
using poke_fn = cell* (*)(cell* series, int32_t index, const cell* boxed_index, const cell* value,
                          bool notify);
using put_fn = cell* (*)(cell* series, const cell* key, const cell* value, bool case_);
using remove_fn = cell* (*)(cell* series, const cell* part, const cell* key);
using reverse_fn = cell* (*)(cell* series, const cell* part, const cell* skip);
using sort_fn = cell* (*)(cell* series, bool case_, const cell* skip, const cell* comparator,
                          const cell* part, bool all, bool reverse, bool stable);
using swap_fn = cell* (*)(cell* series1, cell* series2);
using take_fn = cell* (*)(cell* series, const cell* part, bool deep, bool last);
using trim_fn = cell* (*)(cell* series, bool head, bool tail, bool auto_, bool lines, bool all,
                          const cell* with);
using modify_fn = cell* (*)(cell* target, const cell* field, const cell* value, bool case_);
using open_fn = cell* (*)(cell* port, bool new_, bool read, bool write, bool seek, const cell* allow);
using read_fn = cell* (*)(cell* source, const cell* part, const cell* seek, bool binary, bool lines,
                          bool info, const cell* as);
using write_fn = cell* (*)(cell* destination, const cell* data, bool binary, bool lines, bool info,
                           bool append, const cell* part, const cell* seek, const cell* allow,
                           const cell* as);

// The signature of action A's handlers.
template <uint32_t A> struct signature;
#define KEZ_ACTION_SIGNATURE(a, fn) template <> struct signature<a> { using type = fn; };
KEZ_ACTION_SIGNATURE(ACT_MAKE, make_fn)
KEZ_ACTION_SIGNATURE(ACT_RANDOM, random_fn)
KEZ_ACTION_SIGNATURE(ACT_REFLECT, reflect_fn)
KEZ_ACTION_SIGNATURE(ACT_TO, make_fn)
KEZ_ACTION_SIGNATURE(ACT_FORM, form_fn)
KEZ_ACTION_SIGNATURE(ACT_MOLD, mold_fn)
KEZ_ACTION_SIGNATURE(ACT_EVAL_PATH, eval_path_fn)
KEZ_ACTION_SIGNATURE(ACT_SET_PATH, set_path_fn)
KEZ_ACTION_SIGNATURE(ACT_COMPARE, compare_fn)
KEZ_ACTION_SIGNATURE(ACT_ABSOLUTE, unary_fn)
KEZ_ACTION_SIGNATURE(ACT_ADD, binary_fn)
KEZ_ACTION_SIGNATURE(ACT_DIVIDE, binary_fn)
KEZ_ACTION_SIGNATURE(ACT_MULTIPLY, binary_fn)
KEZ_ACTION_SIGNATURE(ACT_NEGATE, unary_fn)
KEZ_ACTION_SIGNATURE(ACT_POWER, binary_fn)
KEZ_ACTION_SIGNATURE(ACT_REMAINDER, binary_fn)
KEZ_ACTION_SIGNATURE(ACT_ROUND, round_fn)
KEZ_ACTION_SIGNATURE(ACT_SUBTRACT, binary_fn)
KEZ_ACTION_SIGNATURE(ACT_EVEN_Q, predicate_fn)
KEZ_ACTION_SIGNATURE(ACT_ODD_Q, predicate_fn)
KEZ_ACTION_SIGNATURE(ACT_AND_T, binary_fn)
KEZ_ACTION_SIGNATURE(ACT_COMPLEMENT, unary_fn)
KEZ_ACTION_SIGNATURE(ACT_OR_T, binary_fn)
KEZ_ACTION_SIGNATURE(ACT_XOR_T, binary_fn)
KEZ_ACTION_SIGNATURE(ACT_APPEND, insert_fn)
KEZ_ACTION_SIGNATURE(ACT_AT, binary_fn)
KEZ_ACTION_SIGNATURE(ACT_BACK, unary_fn)
KEZ_ACTION_SIGNATURE(ACT_CHANGE, change_fn)
KEZ_ACTION_SIGNATURE(ACT_CLEAR, unary_fn)
KEZ_ACTION_SIGNATURE(ACT_COPY, copy_fn)
KEZ_ACTION_SIGNATURE(ACT_FIND, find_fn)
KEZ_ACTION_SIGNATURE(ACT_HEAD, unary_fn)
KEZ_ACTION_SIGNATURE(ACT_HEAD_Q, unary_fn)
KEZ_ACTION_SIGNATURE(ACT_INDEX_Q, unary_fn)
KEZ_ACTION_SIGNATURE(ACT_INSERT, insert_fn)
KEZ_ACTION_SIGNATURE(ACT_LENGTH_Q, length_fn)
KEZ_ACTION_SIGNATURE(ACT_MOVE, move_fn)
KEZ_ACTION_SIGNATURE(ACT_NEXT, unary_fn)
KEZ_ACTION_SIGNATURE(ACT_PICK, pick_fn)
KEZ_ACTION_SIGNATURE(ACT_POKE, poke_fn)
KEZ_ACTION_SIGNATURE(ACT_PUT, put_fn)
KEZ_ACTION_SIGNATURE(ACT_REMOVE, remove_fn)
KEZ_ACTION_SIGNATURE(ACT_REVERSE, reverse_fn)
KEZ_ACTION_SIGNATURE(ACT_SELECT, find_fn)
KEZ_ACTION_SIGNATURE(ACT_SORT, sort_fn)
KEZ_ACTION_SIGNATURE(ACT_SKIP, binary_fn)
KEZ_ACTION_SIGNATURE(ACT_SWAP, swap_fn)
KEZ_ACTION_SIGNATURE(ACT_TAIL, unary_fn)
KEZ_ACTION_SIGNATURE(ACT_TAIL_Q, unary_fn)
KEZ_ACTION_SIGNATURE(ACT_TAKE, take_fn)
KEZ_ACTION_SIGNATURE(ACT_TRIM, trim_fn)
KEZ_ACTION_SIGNATURE(ACT_CREATE, unary_fn)
KEZ_ACTION_SIGNATURE(ACT_CLOSE, unary_fn)
KEZ_ACTION_SIGNATURE(ACT_DELETE, unary_fn)
KEZ_ACTION_SIGNATURE(ACT_MODIFY, modify_fn)
KEZ_ACTION_SIGNATURE(ACT_OPEN, open_fn)
KEZ_ACTION_SIGNATURE(ACT_OPEN_Q, unary_fn)
KEZ_ACTION_SIGNATURE(ACT_QUERY, unary_fn)
KEZ_ACTION_SIGNATURE(ACT_READ, read_fn)
KEZ_ACTION_SIGNATURE(ACT_RENAME, binary_fn)
KEZ_ACTION_SIGNATURE(ACT_UPDATE, unary_fn)
KEZ_ACTION_SIGNATURE(ACT_WRITE, write_fn)
#undef KEZ_ACTION_SIGNATURE
template <uint32_t A> using handler_of = typename signature<A>::type;

// A handler as the registry stores it; cast back with handler_of<A>.
using any_handler = void (*)();

// The per-type action table, filled by datatype registration: row = type id,
// column = action number - 1; null = not supported. There is a row for every
// value of the type byte, so any header indexes it without a bounds check;
// only rows 1-56 are ever filled.
constexpr uint32_t ACTION_ROWS = 256;
extern any_handler table[ACTION_ROWS][ACTION_COUNT];

// Raises Script Error expect-arg for a type without a handler for action.
[[noreturn]] void not_supported(uint32_t type, uint32_t action);

// The handler of action A for values of `type`; raises when there is none.
template <uint32_t A>
inline handler_of<A> get_action_ptr_from(uint32_t type) {
  any_handler h = table[type & FLAG_TYPE_MASK][A - 1];
  if (!h) not_supported(type, A);
  return reinterpret_cast<handler_of<A>>(h);
}
template <uint32_t A>
inline handler_of<A> get_action_ptr_value(const cell* value) {
  return get_action_ptr_from<A>(type_of(value));
}

// Calls action A on its first argument's type: dispatch<ACT_ADD>(a, b).
template <uint32_t A, class First, class... Rest>
inline auto dispatch(First* first, Rest... rest) {
  return get_action_ptr_value<A>(first)(first, rest...);
}

// The index argument of pick and poke as a number: an integer!'s value, a
// char!'s code point, 1 for true, 2 for false, 0 for anything else.
inline int32_t get_index_argument(const cell* index) {
  switch (type_of(index)) {
    case TYPE_INTEGER: case TYPE_CHAR: return int32_t(index->w2);
    case TYPE_LOGIC: return index->w1 ? 1 : 2;
    default: return 0;
  }
}

// Typed dispatchers that callers name most. make and to take the target type
// as a datatype! value or any value of that type (as the language does).
cell* make_dispatch(cell* proto, const cell* spec);
cell* to_dispatch(cell* proto, const cell* spec);
int32_t form_dispatch(const cell* value, cell* buffer, const cell* arg, int32_t part);
int32_t mold_dispatch(const cell* value, cell* buffer, bool only, bool all, bool flat,
                      const cell* arg, int32_t part, int32_t indent);
cell* copy_dispatch(cell* value, cell* result, const cell* part, bool deep, const cell* types);
int32_t length_q_dispatch(cell* series);

// The compare handler's answer for value1's type, with logic!, native!,
// action!, op!, function! and routine! compared inline.
int32_t compare_value(const cell* value1, const cell* value2, int32_t op);
// The answer as a truth value for ops 0-6 and 9-12; -2 under an ordering op
// raises Script Error invalid-compare; any other op ends the process with
// runtime error 101.
bool compare(const cell* value1, const cell* value2, int32_t op);

}  // namespace actions
}  // namespace kez
