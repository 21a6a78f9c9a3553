#include "runtime/trace.h"

#include "runtime/collector.h"
#include "runtime/core_ops.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/interpreter.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/thrown.h"
#include "runtime/words.h"

namespace kez::trace {

bool active = false;
bool session = false;
bool wanted = false;
bool library = false;

namespace {

cell tracer{TYPE_NONE, 0, 0, 0};
uint32_t mask = 0;

void mark_tracer() { collector::mark_values(&tracer, &tracer + 1); }

// The event words, by bit.
const cell* event_word(uint32_t event) {
  switch (event) {
    case INIT: return words::word[words::w::init];
    case END: return words::global_word[words::global::end];
    case PROLOG: return words::word[words::w::prolog];
    case EPILOG: return words::word[words::w::epilog];
    case ENTER: return words::word[words::w::enter];
    case EXIT: return words::word[words::w::exit];
    case OPEN: return words::word[words::w::open];
    case RETURN: return words::word[words::w::return_];
    case FETCH: return words::word[words::w::fetch];
    case PUSH: return words::word[words::w::push];
    case SET: return words::global_word[words::global::set];
    case CALL: return words::word[words::w::call];
    case ERROR: return words::word[words::w::error];
    case THROW: return words::word[words::w::throw_];
    case CATCH: return words::word[words::w::catch_];
    default: return words::word[words::w::expr];
  }
}

// The events a tracer wants: the words of the block that opens its body,
// or every event.
uint32_t event_mask(const cell* fn) {
  const cell* body = memory::buffer_of(fn->w3)->head_cell();
  if (type_of(body) != TYPE_BLOCK) return 0x1FFFF;
  series_buffer* b = memory::buffer_of(body->w2);
  const cell* first = b->head_cell() + body->w1;
  if (first >= b->tail_cell() || type_of(first) != TYPE_BLOCK) return 0x1FFFF;
  series_buffer* wb = memory::buffer_of(first->w2);
  uint32_t m = 0;
  for (const cell* w = wb->head_cell() + first->w1; w < wb->tail_cell(); ++w) {
    if (type_of(w) != TYPE_WORD) continue;
    uint32_t canon = symbol::resolve(w->w2);
    for (uint32_t bit = 1; bit <= EXPR; bit <<= 1)
      if (symbol::resolve(event_word(bit)->w2) == canon) m |= bit;
  }
  return m;
}

}  // namespace

void init() {
  static bool marker_added = false;
  if (!marker_added) {
    collector::add_marker(mark_tracer);
    marker_added = true;
  }
  tracer = cell{TYPE_NONE, 0, 0, 0};
  mask = 0;
  active = session = wanted = library = false;
}

void fire(uint32_t event, const cell* code, const cell* value, const cell* ref) {
  if (!(mask & event)) return;
  cell* saved_top = stack::top;
  cell* saved_arguments = stack::arguments;
  stack::frame* saved_ctop = stack::ctop;
  cell args[6];
  args[0] = *event_word(event);
  args[1] = code ? *code : cell{TYPE_NONE, 0, 0, 0};
  if (code) set_cell_type(&args[1], type_of(code));
  int32_t offset = -1;
  if (code && block::any_block_q(type_of(code))) {
    series_buffer* b = memory::buffer_of(code->w2);
    if (int32_t(code->w1) <= int32_t((b->tail - b->head) / sizeof(cell))) offset = int32_t(code->w1);
  }
  args[2] = cell{TYPE_INTEGER, 0, uint32_t(offset), 0};
  args[3] = value ? *value : cell{TYPE_NONE, 0, 0, 0};
  args[4] = ref ? *ref : cell{TYPE_NONE, 0, 0, 0};
  args[5] = cell{TYPE_PAIR, 0, uint32_t(stack::arguments - stack::bottom), uint32_t(stack::top - stack::bottom)};
  if (type_of(&args[3]) == TYPE_UNSET) args[3] = cell{TYPE_UNSET, 0, 0, 0};
  collector::root_cells keep(args, 6);
  // The reported code's head is the block's own head: offset says where.
  if (offset >= 0) args[1].w1 = 0;
  wanted = false;
  refresh();
  try {
    interpreter::call_function_with(&tracer, args, 6, words::word[words::w::interp_callback]);
  } catch (...) {
    wanted = true;
    refresh();
    throw;
  }
  wanted = true;
  refresh();
  stack::top = saved_top;
  stack::arguments = saved_arguments;
  stack::ctop = saved_ctop;
}

void fire_at(uint32_t event, uint32_t node, int32_t index, const cell* value, const cell* ref) {
  cell at = interpreter::position();
  uint32_t type = at.w2 == node ? type_of(&at) : TYPE_BLOCK;
  if (!block::any_block_q(type)) type = TYPE_BLOCK;
  cell code{type, uint32_t(index), node, 0};
  collector::root_cells keep(&code);
  fire(event, &code, value, ref);
}

namespace {

// Ends a run on every way out.
struct run_guard {
  ~run_guard() {
    session = wanted = false;
    refresh();
    tracer = cell{TYPE_NONE, 0, 0, 0};
    mask = 0;
  }
};

}  // namespace

uint32_t run(const cell* code, const cell* fn) {
  if (session) return interpreter::eval(code, true);
  run_guard guard;
  tracer = *fn;
  mask = event_mask(fn);
  session = wanted = true;
  library = false;
  refresh();
  cell at = *code;
  collector::root_cells keep(&at);
  fire(INIT, &at, nullptr, nullptr);
  // A return or exit ends the traced evaluation: the run's own frame, a
  // body, is where they stop (else they would leave through the frames of
  // the natives and functions that called do/trace, which still return).
  stack::mark_eval(words::word[words::w::body]);
  stack::set_body_flag(true);
  uint32_t status = interpreter::eval(&at, true);
  if (status == THROWN_RETURN || status == THROWN_EXIT) {
    stack::top = stack::arguments + 1;
    status = 0;
  }
  // Any other thrown code left through frames below this one.
  if (status) return status;
  stack::unwind_last();
  cell result = *stack::arguments;
  collector::root_cells keep_result(&result);
  fire(END, &at, &result, nullptr);
  stack::set_last_keep(&result);
  return 0;
}

void set_switch(bool on) {
  wanted = on && session;
  refresh();
}

}  // namespace kez::trace
