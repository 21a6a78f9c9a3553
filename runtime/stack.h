// The evaluation stacks: the data stack of cells on which arguments, locals
// and results live, and the call stack of frame records, one per call, loop,
// try, catch or block evaluation in progress.
//
// Invariants:
// - bottom <= arguments <= top < end. The current frame's arguments are
//   arguments[0] up to the cell before top; arguments[0] is also the call's
//   result slot.
// - Both stacks are fixed series: they never move and never grow, so cell
//   addresses on the data stack stay valid until popped. Every cell from
//   bottom to top is a collector root, as are the contexts named by frames.
// - A push that would reach `end` pulls top back 5 cells (never below
//   bottom) and raises Internal Error stack-overflow; a mark with no record
//   left raises it with the data stack untouched (the cells of the frames
//   below, a try's among them, stay whole). Nothing is pushed or marked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <emmintrin.h>

#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kez::stack {

constexpr uint32_t DATA_CELLS = 20000;
constexpr uint32_t CALL_CELLS = 15000;  // buffer of 20-byte frame records (12,000 of them)

enum frame_type : uint32_t {
  FRAME_FUNCTION = 1,
  FRAME_NATIVE = 2,
  FRAME_TRY = 4,
  FRAME_TRY_ALL = 5,
  FRAME_CATCH = 6,
  FRAME_EVAL = 7,
  FRAME_LOOP = 8,
  FRAME_TYPE_9 = 9,
};

// Header bits of a frame record: bits 8-23 the symbol id of the called word,
// bits 24-27 the frame type, bit 28 the body flag, bit 31 the interpreted flag.
constexpr uint32_t FRAME_BODY = 0x10000000;
constexpr uint32_t FRAME_INTERPRETED = 0x80000000;

struct frame {
  uint32_t header;
  uint32_t prev_arguments;    // data-stack index of the caller's arguments[0]
  uint32_t word_context;      // context node of the called word, or 0
  uint32_t function_context;  // context node of a function call, or 0
  uint32_t saved_values;      // that context's values field before the call, or 0
  uint32_t type() const { return (header >> 24) & 0xF; }
  uint32_t symbol() const { return (header >> 8) & 0xFFFF; }
};
static_assert(sizeof(frame) == 20);

extern cell* bottom;
extern cell* top;        // next free cell
extern cell* end;
extern cell* arguments;  // current frame's first cell and result slot
extern frame* ctop;      // next free frame record
extern frame* ctop_bottom;
extern frame* ctop_end;

// Makes both stacks (fixed series) and registers them as collector roots.
// Safe to call again after the heap was reset: it starts from empty stacks.
void init();
// Forgets both stacks, before the heap that holds them is dropped.
void release();

[[noreturn]] void overflow();
[[noreturn]] void call_overflow();

// Reserves the next cell, typed unset! so that a collection before the
// caller fills it never reads what an earlier frame left there.
inline cell* push_cell() {
  cell* c = top;
  if (++top >= end) overflow();
  c->header = TYPE_UNSET;
  return c;
}
// Pushes a copy of the value (which may itself lie on the stack). The copy
// is one 16-byte move: built from the four words the caller may already
// hold, it takes three shuffles more, on the commonest operation there is.
inline cell* push(const cell* value) {
  __m128i copy = _mm_loadu_si128(reinterpret_cast<const __m128i*>(value));
  cell* c = top;
  if (++top >= end) overflow();
  _mm_storeu_si128(reinterpret_cast<__m128i*>(c), copy);
  return c;
}
// Drops n cells, never below bottom.
inline void pop(uint32_t n) { top = (top - bottom) > ptrdiff_t(n) ? top - n : bottom; }
// The last pushed cell (bottom when the stack is empty).
inline cell* top_cell() { return top > bottom ? top - 1 : bottom; }
inline uint32_t top_type() { return type_of(top_cell()); }
inline cell* set_last(const cell* value) {
  *arguments = *value;
  return arguments;
}
inline cell* set_last_keep(const cell* value) {
  *arguments = *value;
  top = arguments + 1;
  return arguments;
}
inline cell* reset() {
  top = arguments;
  return arguments;
}
inline void keep() { top = arguments + 1; }

// Frame marks: each pushes one record and starts an empty frame (arguments :=
// top). `word` is a word cell naming the call (symbol and context taken from
// it), or null for an anonymous frame.
inline void mark(const cell* word, uint32_t flags) {
  if (ctop >= ctop_end) call_overflow();  // nothing is marked: the record would not fit
  uint32_t symbol = word ? word->w2 & 0xFFFF : 0;
  *ctop++ = frame{symbol << 8 | flags, uint32_t(arguments - bottom), word ? word->w1 : 0, 0, 0};
  arguments = top;
}
inline void mark_native(const cell* word) { mark(word, FRAME_NATIVE << 24); }
inline void mark_interp_native(const cell* word) { mark(word, FRAME_INTERPRETED | FRAME_NATIVE << 24); }
inline void mark_try(const cell* word) { mark(word, FRAME_TRY << 24); }
inline void mark_try_all(const cell* word) { mark(word, FRAME_TRY_ALL << 24); }
inline void mark_catch(const cell* word) { mark(word, FRAME_CATCH << 24); }
inline void mark_loop(const cell* word) { mark(word, FRAME_LOOP << 24); }
inline void mark_eval(const cell* word) { mark(word, FRAME_INTERPRETED | FRAME_EVAL << 24); }
// A function call: with a context node, its values field is saved in the frame.
void mark_func(const cell* word, uint32_t context);
inline frame* current_frame() { return ctop - 1; }
inline uint32_t depth() { return uint32_t(ctop - ctop_bottom); }

// Frame pops. unwind keeps the frame's result as the caller's last pushed
// cell; _last also copies it into the caller's result slot; _reset drops it.
// The _ctx forms put back the saved values field of a function frame.
inline void unwind() {
  --ctop;
  top = arguments + 1;
  arguments = bottom + ctop->prev_arguments;
}
inline void unwind_last() {
  unwind();
  *arguments = *(top - 1);
}
void unwind_reset();
// The function-call epilogue, inline: the interpreter pops one per call.
// A function frame puts back its context's values field (word 2 of the
// context cell at the head of its buffer).
inline void unwind_ctx() {
  const frame* f = ctop - 1;
  if (f->function_context) memory::buffer_of(f->function_context)->head_cell()->w2 = f->saved_values;
  unwind();
}
void unwind_ctx_last();
void unwind_ctx_reset();

// Pops every frame above `to` (putting back the contexts of function frames)
// and makes `args` the current frame's arguments: for a catcher of an exit
// raised past the stacks' own unwinding.
void cut_back(frame* to, cell* args);

// For the collector (after the data-stack cells): the contexts of every frame.
void gc_mark_frames();

// Frame flags.
inline void set_body_flag(bool on) {
  frame* f = current_frame();
  f->header = on ? f->header | FRAME_BODY : f->header & ~FRAME_BODY;
}
// Whether a frame with the interpreted flag lies at or below `from` (the top
// frame when null); with only_next only that one frame is looked at.
bool interpreted_q(const frame* from, bool only_next);

// Pops frames down to the nearest one of `type` (a try/all frame stops every
// unroll); the found frame stays. With keep, arguments become the found
// frame's own, else its caller's; the innermost result survives as the last
// pushed cell.
void unroll(uint32_t type, bool keep);
// unroll without keep, then the current call's result (arguments[0] when it
// began) becomes the found frame's own result, and that frame restarts with
// only it: arguments := the found frame's first cell, top := one past it (the
// result stays a root until the epilogue hands it on). Compiled return and
// exit pass FRAME_FUNCTION.
void unroll_last(uint32_t type);
// unroll to the nearest loop frame: compiled break and continue.
inline void unroll_to_loop(bool keep) { unroll(FRAME_LOOP, keep); }

// Non-local exits. break, continue, return, exit and throw answer the code to
// travel as the evaluator's status, with the stacks already cut back to the
// target frame (loop, body or catch), which stays for its owner to pop. When
// no target exists (or a try/all frame bars the way) they raise the matching
// Throw Error instead, from the frame that tried the exit.
uint32_t throw_break(bool value, bool continue_);
uint32_t throw_exit(bool return_, bool include_top);
uint32_t throw_throw(uint32_t code);
// Whether a throw made now would end anywhere but in the top-level error:
// some catch frame, or a try/all frame that takes it as an error, lies below.
bool throw_caught_q();
// Raises an error! value: fills its where and stack fields, unrolls to the
// nearest try or try/all frame (popped as well), pushes the error and throws
// kez::thrown{THROWN_ERROR}. The catcher reads it with adjust_post_try.
[[noreturn]] void throw_error(cell* error);
// The word naming the function being called: from the frame where a throw
// started when one is recorded and still on the stack (the record is then
// cleared), else from the top, skipping anonymous frames; `<not-found>` at
// the bottom.
cell get_call();
// Forgets the frame recorded by a throw: its catcher has taken it.
void clear_throw_frame();
// Makes a pushed error! the current call's result, keeping only that cell.
void adjust_post_try();

// The word a frame was marked with (bound to the called word's context, the
// global context when it had none); null for an anonymous frame (<body>,
// <anon> or no word).
bool frame_word(const frame* f, cell* out);
// Appends to the block, from the frame `skip` records below the top down to
// the one above the bottom frame, each named frame's word and the data-stack
// index of its caller's arguments (the collect-calls routine skips its own).
void collect_calls(cell* block, uint32_t skip = 0);
// Appends the words of the named frames from the bottom up to `last`
// records (at level 1 only words that refer to a function!) to the block,
// made first when `block` is not one. The records are read as they are:
// call it while the frames of an error just caught still lie above ctop,
// before anything allocates.
void collect_words(int32_t level, cell* block, uint32_t last);
// Appends the same words to a string, each followed by a space, for an error
// report; only frames still below ctop are named (a frame popped since may
// have been overwritten). Past 2 * TRACE_ENDS names only the first and last
// TRACE_ENDS are written, with "..." between: a runaway recursion would
// otherwise fill the report with thousands. Answers the part left.
constexpr size_t TRACE_ENDS = 10;
int32_t trace(int32_t level, uint32_t last, cell* buffer, int32_t part);
// Stores the current depth in the error's stack field unless it holds a block.
void set_error_frame(cell* error);

}  // namespace kez::stack
