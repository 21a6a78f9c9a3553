// Trace events: while a `do/trace` run is in progress, the interpreter
// reports what it does (blocks entered and left, values fetched and pushed,
// calls opened, made and returned, words set, errors, throws and catches)
// to a language function, the tracer.
//
// Invariants:
// - `active` is the one flag every firing point tests; it is true only while
//   a run is in progress, the user's switch (`trace true`/`false`) is on, no
//   tracer call is running and the code being evaluated is not a library
//   function's body. Nothing else is read or written when it is false.
// - A tracer call runs with reporting off; the stacks are put back as they
//   were after it, and an exit it leaves is raised again.
// - The tracer cell is a collector root for the whole run.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez::trace {

enum event : uint32_t {
  INIT = 1, END = 2, PROLOG = 4, EPILOG = 8, ENTER = 16, EXIT = 32, OPEN = 64, RETURN = 128,
  FETCH = 256, PUSH = 512, SET = 1024, CALL = 2048, ERROR = 4096, THROW = 8192, CATCH = 16384, EXPR = 32768,
};

extern bool active;   // events are reported now
extern bool session;  // a do/trace run is in progress
extern bool wanted;   // the user's switch and the tracer's own exclusion
extern bool library;  // the code being evaluated is library code

inline void refresh() { active = session && wanted && !library; }

void init();

// Reports one event when the tracer's mask holds it. code is the block (any
// block type) with its index at the reported position, or null; value and
// ref may be null (none).
void fire(uint32_t event, const cell* code, const cell* value, const cell* ref);
// The same with the code given as a node and index (its type taken from the
// interpreter's position cell when it names that node).
void fire_at(uint32_t event, uint32_t node, int32_t index, const cell* value, const cell* ref);

// do/trace: evaluates `code` (rooted) with `tracer` as the tracer when no run
// is in progress (else plainly), firing init before and end after. The result
// is left as the current frame's result. Answers the evaluator's status.
uint32_t run(const cell* code, const cell* tracer);

// `trace` with a logic! argument: the switch, and-ed with a run in progress.
void set_switch(bool on);

// A block evaluation during a run: library code is not reported, the
// user's blocks it evaluates are. Put back on every way out.
struct block_scope {
  bool saved;
  explicit block_scope(bool library_code) : saved(library) {
    library = library_code;
    refresh();
  }
  ~block_scope() {
    library = saved;
    refresh();
  }
};

}  // namespace kez::trace
