// Core operations that natives, datatype modules and compiled high-level
// code call instead of going through the interpreter: the root block and its
// literal cells, cell and series helpers, argument checks, path evaluation
// with known elements, switch case lookup, loading a value from text, forming
// with a limit, and a few numeric and byte utilities. (The setters of words
// and context slots from the data-stack top live with their modules, in
// word.h and context.h.)
//
// The root block is a fixed series: it never moves and is never collected,
// so the address of any of its cells is valid for the life of the process.
// While the root-building flag is set, interning anchors a copy of every word
// cell it makes there. The block never needs more than CAPACITY cells; an
// append beyond that is a fault of start-up and ends the process with runtime
// error 94.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "runtime/cell.h"

namespace kez::root {

constexpr uint32_t CAPACITY = 10016;

extern bool building;  // the root-building flag

// Makes the root block and registers it as a collector root; again after a
// heap reset.
void init();
void release();  // forgets the block, before the heap that holds it is dropped
uint32_t block();  // its node
uint32_t length();
cell* append(const cell* value);  // a copy at the tail, answered
bool contains(const cell* c);     // a cell of the root block
// The boot decoder fixes cell 0 of cell_at at the root block's index `first`.
void set_base(uint32_t first);
cell* cell_at(uint32_t n);  // no bounds check
inline uint32_t node_at(uint32_t n) { return cell_at(n)->w1; }
inline uint32_t node_at_alias(uint32_t n) { return node_at(n); }

}  // namespace kez::root

namespace kez {

// Cell helpers.
inline cell* copy_cell(const cell* source, cell* target) {
  if (source != target) *target = *source;
  return target;
}
inline void set_cell_type(cell* c, uint32_t type) { c->header = (c->header & ~FLAG_TYPE_MASK) | type; }
inline void clear_new_line(cell* c) { c->header &= ~FLAG_NEW_LINE; }

}  // namespace kez

namespace kez::series {

// A new series with the same unit and flags (ownership flag cleared) holding
// count units copied from offset units past the head; answers its node.
uint32_t copy_part(uint32_t node, uint32_t offset, uint32_t count);

}  // namespace kez::series

namespace kez::args {

// The word naming the function being called (from the current call frame),
// or none.
cell call_word();
// When the value's type is not in the typeset: Script Error expect-arg with
// the called function's word, the value's datatype and the argument's name.
const cell* type_check(const cell* typeset, const cell* name, const cell* value);
void type_check_at(int32_t n, const cell* typeset, const cell* name);  // argument cell n, when n > -1
const cell* type_check_opt(const cell* refinement, const cell* typeset, const cell* name, const cell* value);
const cell* check_not_unset(const cell* name, const cell* value);
// A truthy value sets argument cell `index` to true; otherwise the count
// argument cells after it become none!.
void set_refinement(const cell* value, uint32_t index, uint32_t count);
// A float! outside the 32-bit range, or NaN, raises out-of-range; inside it
// is truncated toward zero; any other cell gives its word 2.
int32_t float_to_integer(const cell* value);

}  // namespace kez::args

namespace kez::error {

// Script Error bad-make-arg with the two arguments.
[[noreturn]] void fire_simple(const cell* arg1, const cell* arg2);
// Prints an error of that category, id and arguments (null: not given)
// through the print native, in a native frame named <body>, without raising
// it: the text is what an uncaught error of the same fields reports. The
// data stack is left as it was.
void print(int category, int id, const cell* arg1 = nullptr, const cell* arg2 = nullptr,
           const cell* arg3 = nullptr);

}  // namespace kez::error

namespace kez::actions {

// One refinement of a call by table index: its value (truthy when given),
// its position among the entry's refinements (from 0), and its argument
// cells, counted from the frame's first cell.
struct refinement_group {
  const cell* value;
  uint32_t position;
  int32_t argument;
  uint32_t count;
};
constexpr uint32_t MAX_REFINEMENTS = 64;

// Calls entry `index` (from 1) of the natives table (native set; check? is
// 1) or of the actions' stack entries, on the current frame, whose argument
// cells the caller has pushed: every refinement starts absent (-1); a group
// whose value is truthy passes its argument position, any other has its
// argument cells set to none!. refinement_count (at most MAX_REFINEMENTS)
// bounds the positions. Answers the native's status (0 for an action); the
// result is in arguments[0]. An index with no entry raises Internal Error
// not-done.
uint32_t call_with_refinements(uint32_t index, bool native, uint32_t refinement_count,
                               const refinement_group* groups, uint32_t group_count);
inline uint32_t call_with_refinements(uint32_t index, bool native, uint32_t refinement_count,
                                      std::initializer_list<refinement_group> groups) {
  return call_with_refinements(index, native, refinement_count, groups.begin(), uint32_t(groups.size()));
}

}  // namespace kez::actions

namespace kez::path {

// Evaluates a path whose elements are given: the first (a word is replaced
// by its value) then each further one through the eval-path action of the
// value reached. With set, the current call's first argument cell is the
// value assigned by the last element. The result is written into the
// current call's first argument cell and answered.
cell* eval_compiled(bool set, const cell* path, std::initializer_list<const cell*> elements);

}  // namespace kez::path

namespace kez::switch_ {

// The case of the switch value (argument cell 0) in the cases block
// (argument cell 1). Candidates are every cell with push, else every second
// one; a match has the value's type and compares equal, a block! value
// matches nothing. With skip_to_block the answer is the first block! after
// the match, or the block's tail position when there is none (a cell that is
// neither none! nor a block!); otherwise the cell after the match (the match
// itself when it is last). With push the answer is pushed (none! when nothing
// matched), else written into the first argument cell; its address is answered.
cell* find_case(bool push, bool skip_to_block);

}  // namespace kez::switch_

namespace kez::load {

// The lexer's entry: scans a text into the target block; answers false when
// characters were left unscanned. Installed by the lexer module.
using transcode_fn = bool (*)(cell* text, cell* target_block);
void set_transcode(transcode_fn fn);
// Loads the text's first value: none! when characters were left over, the
// target set to unset! when nothing was scanned, else the first value
// (written into the target block cell). Internal Error not-done while no
// lexer is installed.
cell* value_from_string(cell* text, cell* target);
cell* value_from_string_arg(cell* text);

}  // namespace kez::load

namespace kez::value {

// Forms the current call's first argument into a new string pushed on the
// data stack, passing limit as the /part budget when part is set; a positive
// limit then cuts the text to that many characters.
cell* form_limited(bool part, int32_t limit);

}  // namespace kez::value

namespace kez::mold {

// Appends level times four spaces; answers limit - 4 x level.
int32_t indent(cell* buffer, int32_t level, int32_t limit);

}  // namespace kez::mold

namespace kez::memory {

// Repeats the unit-size pattern at destination until count units are
// filled, doubling the copied stretch; answers the address past the range.
uint8_t* fill_pattern(uint8_t* destination, uint32_t unit, uint32_t count);

}  // namespace kez::memory

namespace kez::math {

// An angle in degrees brought into range for the trigonometric natives
// (kind 0 tangent-like, 2 sine-like, others only modulo 360), in radians.
double normalize_angle(double degrees, int32_t kind);
inline uint32_t round_to(uint32_t value, uint32_t alignment) { return (value + alignment - 1) & ~(alignment - 1); }
inline uint32_t round_past(uint32_t value, uint32_t alignment) { return (value + alignment) & ~(alignment - 1); }

}  // namespace kez::math

namespace kez::cstring {

bool equal_q(const char* a, const char* b);

}  // namespace kez::cstring

namespace kez {

const char* build_date();

}  // namespace kez
