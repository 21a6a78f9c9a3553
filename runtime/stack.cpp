#include "runtime/stack.h"

#include <algorithm>
#include <vector>

#include "runtime/actions.h"
#include "runtime/collector.h"
#include "runtime/datatypes/error.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/word.h"
#include "runtime/interpreter.h"
#include "runtime/memory.h"
#include "runtime/thrown.h"
#include "runtime/words.h"

namespace kez::stack {

cell* bottom;
cell* top;
cell* end;
cell* arguments;
frame* ctop;
frame* ctop_bottom;
frame* ctop_end;

namespace {
// The end of the call stack's buffer. ctop_end lies below it by the records
// that frameless block evaluations hold (see interpreter::eval): they mark
// nothing but keep the room, so the stack overflows at the depth it would
// with their frames, and an error's recorded depth counts them.
frame* ctop_room_end;
}  // namespace

namespace {

uint32_t data_node;  // the two fixed series; their buffers never move,
uint32_t call_node;  // but node-frame evacuation may move the nodes

// The values field of a context (word 2 of the context cell at the head of
// its buffer); for a running function it holds the arena offset of its
// argument cells on the data stack.
uint32_t& values_field(uint32_t context) {
  return memory::buffer_of(context)->head_cell()->w2;
}

bool on_data_stack(uint32_t offset) {
  return offset >= arena::offset_of(bottom) && offset < arena::offset_of(end);
}

void mark_stacks() {
  if (!data_node) return;
  collector::mark_node(&data_node);
  collector::mark_node(&call_node);
  collector::mark_values(bottom, top);
  gc_mark_frames();
}

void restore_context(const frame* f) {
  if (f->function_context) values_field(f->function_context) = f->saved_values;
}

// Pops one frame, dropping its result.
void pop_frame_reset() {
  --ctop;
  arguments = bottom + ctop->prev_arguments;
  top = arguments;
}

void copy_result_to_caller() { *arguments = *(top - 1); }

}  // namespace

void init() {
  static bool marker_added = false;
  if (!marker_added) {
    collector::add_marker(mark_stacks);
    marker_added = true;
  }
  data_node = call_node = 0;  // no stale nodes while allocating
  uint32_t data = memory::alloc_fixed_series(DATA_CELLS, 16, 0);
  collector::root_node hold(data);
  uint32_t call = memory::alloc_fixed_series(CALL_CELLS, 16, 0);
  series_buffer* d = memory::buffer_of(data);
  series_buffer* c = memory::buffer_of(call);
  bottom = top = arguments = reinterpret_cast<cell*>(d->data());
  end = bottom + d->size / sizeof(cell);
  ctop = ctop_bottom = reinterpret_cast<frame*>(c->data());
  ctop_end = ctop_room_end = ctop_bottom + c->size / sizeof(frame);
  for (cell* p = bottom; p < end; ++p) *p = cell{TYPE_UNSET, 0, 0, 0};
  data_node = data;
  call_node = call;
}

void release() {
  data_node = call_node = 0;
  bottom = top = end = arguments = nullptr;
  ctop = ctop_bottom = ctop_end = ctop_room_end = nullptr;
}

void overflow() {
  top = top - bottom > 5 ? top - 5 : bottom;
  call_overflow();
}

void call_overflow() {
  cycles::reset();
  error::fire(err::cat_internal, err::internal::stack_overflow);
}

void mark_func(const cell* word, uint32_t context) {
  mark(word, FRAME_FUNCTION << 24);
  if (context) {
    frame* f = current_frame();
    f->function_context = context;
    f->saved_values = values_field(context);
  }
}

void unwind_reset() { pop_frame_reset(); }

void cut_back(frame* to, cell* args) {
  while (ctop > to) {
    --ctop;
    if (ctop->type() == FRAME_FUNCTION) restore_context(ctop);
  }
  arguments = args;
}

void unwind_ctx_last() {
  unwind_ctx();
  copy_result_to_caller();
}

void unwind_ctx_reset() {
  restore_context(current_frame());
  pop_frame_reset();
}

void gc_mark_frames() {
  for (frame* f = ctop_bottom; f < ctop; ++f) {
    if (f->word_context) collector::mark_context(&f->word_context);
    if (f->function_context) collector::mark_context(&f->function_context);
    if (f->saved_values && !on_data_stack(f->saved_values)) collector::mark_block(&f->saved_values);
  }
}

namespace {

// The frame where a throw started, as a record count (0: none). Only valid
// while it lies within the stack: a frame above ctop was popped.
uint32_t throw_frame = 0;

bool anonymous_q(const frame* f) {
  uint32_t symbol = f->symbol();
  return symbol == (words::word[words::w::body]->w2 & 0xFFFF) ||
         symbol == (words::word[words::w::anon]->w2 & 0xFFFF) || symbol == 0;
}

// Walks down from the record just below `from` to the nearest frame that
// `target` accepts. Answers it, or null when a try/all frame bars the way or
// the bottom is reached first.
template <class Target>
frame* find_target(frame* from, Target target) {
  for (frame* f = from - 1; f >= ctop_bottom; --f) {
    if (target(f)) return f;
    if (f->type() == FRAME_TRY_ALL) return nullptr;
  }
  return nullptr;
}

}  // namespace

bool interpreted_q(const frame* from, bool only_next) {
  for (const frame* f = from ? from : ctop - 1; f >= ctop_bottom; --f) {
    if (f->header & FRAME_INTERPRETED) return true;
    if (only_next) break;
  }
  return false;
}

void unroll(uint32_t type, bool keep) {
  frame* start = ctop;
  while (ctop > ctop_bottom) {
    --ctop;
    if (ctop->type() == FRAME_FUNCTION) restore_context(ctop);
    if (ctop->type() == type || ctop->type() == FRAME_TRY_ALL) break;
  }
  if (keep) ++ctop;
  if (ctop == start) {
    top = arguments + 1;
  } else if (ctop == ctop_bottom) {
    arguments = top = bottom;
  } else {
    top = arguments + 1;  // the innermost result cell survives as the last cell
    arguments = bottom + ctop->prev_arguments;
  }
  if (!keep && ctop < start) ++ctop;
}

void unroll_last(uint32_t type) {
  frame* start = ctop;
  cell* start_arguments = arguments;
  cell result = *arguments;
  unroll(type, false);
  // The found frame's first cell: where the frame above it saved the
  // arguments, or the current ones when it was the top frame itself.
  cell* own = ctop < start ? bottom + ctop->prev_arguments : start_arguments;
  *own = result;
  // The result stays pushed (top one past it) so that it remains a root
  // until the epilogue hands it to the caller.
  arguments = own;
  top = own + 1;
}

// The cells of a frame record f start where the record above it saved them.
static cell* frame_cells(frame* f) { return f + 1 < ctop ? bottom + (f + 1)->prev_arguments : arguments; }

uint32_t throw_break(bool value, bool continue_) {
  frame* from = ctop > ctop_bottom ? ctop - 1 : ctop;
  frame* loop = find_target(from, [](frame* f) { return f->type() == FRAME_LOOP; });
  if (!loop)
    error::fire(err::cat_throw, continue_ ? err::throw_::continue_ : err::throw_::break_);
  cell result = value && !continue_ ? *arguments : cell{TYPE_UNSET, 0, 0, 0};
  cell* cells = frame_cells(loop);
  for (frame* f = ctop - 1; f > loop; --f)
    if (f->type() == FRAME_FUNCTION) restore_context(f);
  ctop = loop + 1;
  arguments = cells;
  top = cells;
  *arguments = result;
  return continue_ ? THROWN_CONTINUE : THROWN_BREAK;
}

uint32_t throw_exit(bool return_, bool include_top) {
  frame* from = include_top || ctop == ctop_bottom ? ctop : ctop - 1;
  frame* body = find_target(from, [](frame* f) { return (f->header & FRAME_BODY) != 0; });
  if (!body) error::fire(err::cat_throw, err::throw_::return_);
  cell result = return_ ? *arguments : cell{TYPE_UNSET, 0, 0, 0};
  cell* cells = frame_cells(body);
  for (frame* f = ctop - 1; f > body; --f)
    if (f->type() == FRAME_FUNCTION) restore_context(f);
  ctop = body + 1;
  arguments = cells;
  top = cells;
  *arguments = result;
  return return_ ? THROWN_RETURN : THROWN_EXIT;
}

bool throw_caught_q() {
  for (frame* f = ctop - 1; f >= ctop_bottom; --f)
    if (f->type() == FRAME_CATCH || f->type() == FRAME_TRY_ALL) return true;
  return false;
}

uint32_t throw_throw(uint32_t code) {
  frame* from = ctop > ctop_bottom ? ctop - 1 : ctop;
  if (!throw_frame) throw_frame = uint32_t(ctop - ctop_bottom);
  frame* catcher = find_target(from, [](frame* f) { return f->type() == FRAME_CATCH; });
  if (!catcher) {
    cell thrown_value = *arguments;
    error::fire(err::cat_throw, err::throw_::throw_, &thrown_value);
  }
  cell value = *arguments;
  cell name = top > arguments + 1 ? arguments[1] : cell{TYPE_NONE, 0, 0, 0};
  cell* cells = frame_cells(catcher);
  for (frame* f = ctop - 1; f > catcher; --f)
    if (f->type() == FRAME_FUNCTION) restore_context(f);
  ctop = catcher + 1;
  arguments = top = cells;
  *push_cell() = value;
  *push_cell() = name;
  return code;
}

void throw_error(cell* error) {
  if (ctop > ctop_bottom) {
    cell where = get_call();
    error::set_where(error, &where);
    set_error_frame(error);
    cell* near = error::field_of(error, error::F_NEAR);
    if (type_of(near) == TYPE_NONE) {
      cell at = interpreter::position();
      if (block::any_block_q(type_of(&at))) *near = at;
    }
    cell* saved_top = top;
    unroll(FRAME_TRY, false);
    if (ctop > ctop_bottom) --ctop;  // the try frame itself
    top = saved_top;
  }
  *push_cell() = *error;
  throw thrown{THROWN_ERROR};
}

void clear_throw_frame() { throw_frame = 0; }

cell get_call() {
  frame* f = ctop - 1;
  if (throw_frame) {
    // A record above the current top belongs to a popped frame.
    if (throw_frame <= uint32_t(ctop - ctop_bottom)) f = ctop_bottom + throw_frame - 1;
    throw_frame = 0;
  }
  for (; f >= ctop_bottom; --f) {
    if (anonymous_q(f)) continue;
    cell w = *words::word[words::w::anon];
    w.header = TYPE_WORD;
    w.w1 = f->word_context;
    w.w2 = f->symbol();
    w.w3 = uint32_t(-1);
    if (w.w1) w.w3 = uint32_t(context::find_word(w.w1, w.w2, true));
    return w;
  }
  return *words::word[words::w::not_found];
}

bool frame_word(const frame* f, cell* out) {
  if (anonymous_q(f)) return false;
  uint32_t ctx = f->word_context ? f->word_context : context::global;
  *out = cell{TYPE_WORD, ctx, f->symbol(), uint32_t(-1)};
  out->w3 = uint32_t(context::find_word(ctx, f->symbol(), true));
  if (int32_t(out->w3) < 0) out->w1 = 0;
  return true;
}

void collect_calls(cell* block, uint32_t skip) {
  cell w;
  collector::root_cells keep(&w);
  for (frame* f = ctop - 1 - skip; f > ctop_bottom; --f) {
    if (!frame_word(f, &w)) continue;
    cell index{TYPE_INTEGER, 0, f->prev_arguments, 0};
    block::ks_append(block, &w);
    block::ks_append(block, &index);
  }
}

namespace {

// Calls fn with the word of each named frame of the first `last` records,
// bottom up (at level 1, only function calls and words that refer to a
// function!).
template <class F>
void each_call(int32_t level, uint32_t last, F fn) {
  uint32_t n = std::min(last, uint32_t(ctop_room_end - ctop_bottom));
  cell w;
  collector::root_cells keep(&w);
  for (uint32_t i = 0; i < n; ++i) {
    if (!frame_word(ctop_bottom + i, &w)) continue;
    if (level <= 1 && ctop_bottom[i].type() != FRAME_FUNCTION) {
      const cell* v = w.w1 ? context::bound_value(&w) : nullptr;
      if (!v || type_of(v) != TYPE_FUNCTION) continue;
    }
    fn(&w);
  }
}

}  // namespace

void collect_words(int32_t level, cell* block, uint32_t last) {
  // The words are read before anything allocates: records above ctop are
  // no roots, so a collection would leave their contexts stale.
  std::vector<cell> calls;
  each_call(level, last, [&](cell* w) { calls.push_back(*w); });
  collector::root_cells keep(calls.data(), uint32_t(calls.size()));
  if (type_of(block) != TYPE_BLOCK) block::make_at(block, int32_t(calls.size()) + 1);
  for (cell& w : calls) block::ks_append(block, &w);
}

int32_t trace(int32_t level, uint32_t last, cell* buffer, int32_t part) {
  // Read before anything allocates, as in collect_words.
  std::vector<cell> calls;
  each_call(level, std::min(last, depth()), [&](cell* w) { calls.push_back(*w); });
  collector::root_cells keep(calls.data(), uint32_t(calls.size()));
  size_t n = calls.size();
  for (size_t i = 0; i < n; ++i) {
    if (n > 2 * TRACE_ENDS && i == TRACE_ENDS) {
      string::concatenate_literal(buffer, "... ");
      part -= 4;
      i = n - TRACE_ENDS;
    }
    part = actions::form_dispatch(&calls[i], buffer, nullptr, part);
    string::concatenate_literal(buffer, " ");
    --part;
  }
  return part;
}

void set_error_frame(cell* error) {
  cell* stack_field = error::field_of(error, error::F_STACK);
  // Word 2, the depth a script sees, counts the frameless block evaluations
  // as the frames they stand for; word 3 keeps the records to name, plus 1.
  uint32_t records = depth();
  uint32_t held = uint32_t(ctop_room_end - ctop_end);
  if (type_of(stack_field) != TYPE_BLOCK) *stack_field = cell{TYPE_INTEGER, 0, records + held, records + 1};
}

void adjust_post_try() {
  if (top > arguments && type_of(top - 1) == TYPE_ERROR) *arguments = *(top - 1);
  top = arguments + 1;
}

}  // namespace kez::stack
