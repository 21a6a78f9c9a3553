// The parse dialect: matches an input series (block-like, text or binary)
// against a block of grammar rules and acts on the input while it matches.
//
// Invariants:
// - The engine is one loop over explicit states; nesting, repetition and
//   alternatives live on the rule stack, never on the machine stack, so the
//   depth of a grammar costs stack cells and is bounded by the stack limit
//   (more than 10000 cells in either stack raises parse-stack). A to, thru
//   or repetition over a literal is matched in one step; it takes an entry
//   only when a trace callback is there to see it.
// - Input and rule positions are kept as series plus index: rules run user
//   code, which may allocate, move buffers or modify the series.
// - The two stacks are shared by every run; a run started from inside
//   another (a paren, a trace callback, a keep expression) works above the
//   outer run's cells and leaves them as it found them, on every way out.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez::parser {

// Comparison modes passed to every value comparison.
constexpr int32_t MODE_EQUAL = 0;
constexpr int32_t MODE_STRICT = 2;
// Cells either stack may hold in all before a push raises parse-stack.
constexpr uint32_t STACK_LIMIT = 10000;

// Interns the keywords and event words and empties the stacks; runtime
// initialisation calls it once the natives exist.
void init();

// Runs the rules over the input. limit is an absolute input index (0 or
// less: none), callback a function! or null. The result (logic! or the block
// of a top-level collect) is written to result, which the caller roots. The
// answer is 0, or the status of a break, continue, return, exit or throw
// raised inside a paren, already on its way.
uint32_t process(const cell* input, const cell* rules, int32_t mode, int32_t limit,
                 const cell* callback, cell* result);

// Cells in use on the rule and value stacks (every run included): what the
// stacks hold after a run must equal what they held before it.
uint32_t rule_stack_cells();
uint32_t value_stack_cells();

}  // namespace kez::parser
