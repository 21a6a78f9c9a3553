// The interpreter: evaluates blocks expression by expression on the data
// and call stacks, looks words up through their contexts, calls natives,
// actions and functions, applies infix operators left to right and walks
// paths.
//
// Invariants:
// - Every evaluating entry answers a status: 0, or the code of a break,
//   continue, return, exit or throw already on its way (the stacks cut back
//   to the target frame by the stack's throw operations). Errors never travel
//   as a status: they unwind as kez::thrown.
// - Code is kept as a block node and an index, never a cell address, across
//   anything that evaluates: any allocation may move the buffer.
// - The position (an error's `near`) is not stored per expression: each
//   block evaluation keeps a record on its own C++ frame (the block, rooted,
//   and the index of the expression in progress), linked innermost first,
//   and the position cell is built from them only when something reads it.
//   A branch (if, unless, either), a paren or a function's body called by
//   the expression that ends a block is evaluated under that block's record,
//   which goes on with it, and back if the block grew meanwhile: nested Kez
//   calls cost fewer machine frames.
// - Every call, block and paren gets its frame. An argument or a set-word's
//   value that needs no evaluation (a literal, a word's plain value) and an
//   operator on two numbers are taken in place, with the results and errors
//   of the general route; a tracer that wants each fetch and push reported
//   must route them through it. While a do/trace run reports (trace.h),
//   those shortcuts and the in-place operators are off, so that every value
//   read, pushed and called is reported; each firing point is one test of
//   trace::active.
// - A native or action called without refinements gets its refinement slots
//   (all none, all off) from a count cached in its argument list's cell, not
//   by walking the list; the path form walks it as before.
#pragma once

#include <atomic>
#include <cstdint>

#include "runtime/cell.h"
#include "runtime/thrown.h"

namespace kez::interpreter {

// Set by a signal handler (Ctrl+C in the line console): the next block
// evaluation throws `halt-request` to the console's catch, as `halt` does.
// A block evaluation is the safe point: every loop turn and every function
// body is one, and the check there is one load.
extern std::atomic<bool> halt_requested;

// The block and index of the expression being evaluated: the innermost
// evaluation of code that reports positions (library code does not), unset
// when there is none.
cell position();
// Forgets every position record (the heap that holds their blocks is gone).
void forget_positions();

void init();

// Evaluates a whole block in a block-evaluation frame. The last value (unset
// for an empty block) is left as one cell on the caller's stack, or with
// chain copied into the caller's result slot.
uint32_t eval(const cell* block, bool chain);

// One block evaluation in progress: the block (a root, its node rewritten
// when a collection moves it) with the index of the expression it is at,
// on the evaluating function's own frame. Library code runs as compiled
// code, leaving an error's `near` to the code that called it: its records
// (and those of blocks not yet at their first expression) report nothing.
struct eval_record {
  cell code;
  eval_record* prev;
  bool reports = false;
};

// For a catch of kez::thrown around a block run by native code: an exit
// (break, continue, return, exit, throw) raised as an exception comes back
// as its status; anything else (an error) is thrown on.
uint32_t caught_exit(const thrown& t);

// A block that a loop runs turn after turn: each run is eval(block, chain),
// with the block's record linked once for the runner's life instead of at
// every run (between runs it reports nothing). Made on the loop's C++ frame,
// after any runner made before it and gone before that one.
class repeated_block {
 public:
  explicit repeated_block(const cell* block);
  ~repeated_block();
  repeated_block(const repeated_block&) = delete;
  repeated_block& operator=(const repeated_block&) = delete;
  // One run. An exit raised as kez::thrown by native code (not an error)
  // comes back as its status, as natives' block runs answer it.
  uint32_t run(bool chain);

 private:
  const cell* block_;
  eval_record r_;
};

// Reads a new function's argument list from its spec, once: the arity is
// the spec's when the function was made, whatever is done to the spec
// block later (spec-of answers that block).
void make_arguments(const cell* fn);

// One expression of the block `node` from index (updated past it). node is
// a rooted slot (a collection may rewrite it). With sub
// the value is pushed, else it becomes arguments[0] (the only cell kept).
// no_infix: no operator lookahead (an operator's right operand); passive:
// function values met literally are pushed, not called.
uint32_t eval_expression(uint32_t& node, int32_t& index, bool sub, bool no_infix, bool passive);
// eval_expression in a frame of its own, the value pushed (any, all, reduce).
uint32_t eval_next(uint32_t& node, int32_t& index);

// Runs a function! whose frame is marked and whose argument cells are
// pushed; return and exit end here, leaving the frame's result in its
// arguments[0]. Other exits travel on as the status.
uint32_t call_function(const cell* fn, uint32_t context);
// For native code that cannot carry a status: a function! called with the
// given argument cells (on the data stack) in a frame named `name` (or
// <anon>); missing arguments are none, refinements off. The result is
// pushed. Any exit other than return and exit is raised as kez::thrown.
cell* call_function_with(const cell* fn, const cell* args, uint32_t count, const cell* name = nullptr);

// call_function_with behind a barrier that no exit crosses, for native code
// that must go on whatever the function does (event handlers): an error,
// throw or other exit raised inside is dropped, and the data stack, the
// frames with their function contexts and the throw record are put back as
// they were. Answers whether the call returned; its result goes to *result.
bool call_guarded(const cell* fn, const cell* args, uint32_t count, const cell* name, cell* result);

// Runs the routine `fn` (named `name`) over the argument cells of the current
// frame: a raw routine gets their addresses and its answer (a cell, or null)
// becomes arguments[0]; any other gets them checked against the first type
// word of each argument's block and converted (logic! 1 or 0, integer!,
// float! bits, else the cell's address), and its answer becomes a logic!,
// integer! or float! when its spec declares that return type.
void exec_routine(const cell* fn, const cell* name);

// Raises stack-overflow unless the evaluator has room left for a nested
// run of handlers (machine stack, data stack and call stack), so that a
// chain of native code calling back into Kez ends in the ordinary error
// while there is still room to handle it.
void check_nesting();

// Raises the exit a status carries (for callers that cannot return one).
void raise_status(uint32_t status);

// True unless the value is none! or false.
inline bool true_q(const cell* v) {
  uint32_t t = type_of(v);
  return !(t == TYPE_NONE || (t == TYPE_LOGIC && v->w1 == 0));
}
// The same, raising Script Error for an unset! value.
bool truth_checked(const cell* v);

}  // namespace kez::interpreter
