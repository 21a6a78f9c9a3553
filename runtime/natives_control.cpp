// Control-flow, loop, evaluation and exit natives, and print/prin.
#include <cmath>
#include <cstdio>

#include "runtime/actions.h"
#include "runtime/collector.h"
#include "runtime/core_ops.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/image.h"
#include "runtime/datatypes/map.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/hooks.h"
#include "runtime/interpreter.h"
#include "runtime/lexer.h"
#include "runtime/memory.h"
#include "runtime/natives.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"
#include "runtime/thrown.h"
#include "runtime/trace.h"
#include "runtime/words.h"

namespace kez::natives {

namespace {

using interpreter::eval;

inline cell* arg(int32_t n) { return stack::arguments + n; }
inline void set_none(cell* c) { *c = cell{TYPE_NONE, 0, 0, 0}; }
inline void result_none() {
  set_none(stack::arguments);
  stack::top = stack::arguments + 1;
}
inline void result_unset() {
  *stack::arguments = cell{TYPE_UNSET, 0, 0, 0};
  stack::top = stack::arguments + 1;
}

// Evaluates a block; an exit raised as a C++ exception (by native code that
// could not carry a status) comes back as the status. Errors pass on.
uint32_t run(const cell* block, bool chain) {
  try {
    return eval(block, chain);
  } catch (const thrown& t) {
    return interpreter::caught_exit(t);
  }
}

// One loop body run; answers whether the loop goes on. `status` receives a
// code that the loop does not handle (it leaves at once with it).
enum class step { next, stop, leave };
[[gnu::always_inline]] inline step body_step(interpreter::repeated_block& body, uint32_t& status) {
  stack::reset();
  uint32_t s = body.run(true);
  switch (s) {
    case 0: return step::next;
    case THROWN_BREAK: stack::top = stack::arguments + 1; return step::stop;
    case THROWN_CONTINUE: stack::top = stack::arguments + 1; return step::next;
    default: status = s; return step::leave;
  }
}

// A loop count: a float! is truncated toward zero; beyond 32 bits it is out
// of range rather than wrapped.
int32_t loop_count(const cell* count) {
  if (type_of(count) == TYPE_FLOAT) {
    double d = load_double(&count->w2);
    if (!(d >= -2147483648.0 && d < 2147483648.0)) error::fire(err::cat_script, err::script::out_of_range, count);
    return int32_t(d);
  }
  return int32_t(count->w2);
}

const cell* body_word() { return words::word[words::w::body]; }

// The shape every counted or walking loop shares: the body runs while
// `turn` (called before each run, and free to set the loop's words) answers
// true, or until a break; any other way out leaves with its status.
template <class Turn>
uint32_t loop_turns(const cell* body, Turn turn, bool clear_answer = true) {
  stack::mark_loop(body_word());
  if (clear_answer) *stack::arguments = cell{TYPE_UNSET, 0, 0, 0};
  interpreter::repeated_block runner(body);
  while (turn()) {
    uint32_t status = 0;
    step next = body_step(runner, status);
    if (next == step::leave) return status;
    if (next == step::stop) break;
  }
  stack::unwind_last();
  return 0;
}

// A loop's word, set to the count each turn. Where setting does no more
// than store, the integer! is built in the word's value cell: a cell built
// field by field and copied whole is read back across stores of another
// width, which stalls every turn. The cell is found again only when what
// it depends on may have changed: a buffer moved (the epoch), another call
// of the word's function runs (its context's values field), its owner
// gained a hook (values off the stack only).
class loop_counter {
 public:
  explicit loop_counter(cell* word) : word_(word) {}

  void set(int32_t i) {
    if (!slot_ || epoch_ != memory::epoch || context_->w2 != values_ || (owner_may_hook_ && context_[1].w3)) find();
    if (slot_) {
      slot_->header = TYPE_INTEGER;
      slot_->w1 = 0;
      slot_->w2 = uint32_t(i);
      slot_->w3 = 0;
      return;
    }
    cell counter{TYPE_INTEGER, 0, uint32_t(i), 0};
    context::set(word_, &counter);
  }

 private:
  void find() {
    epoch_ = memory::epoch;
    slot_ = context::plain_slot(word_);
    if (!slot_) return;
    context_ = context::cell_of(word_->w1);
    values_ = context_->w2;
    owner_may_hook_ = !(context_->header & FLAG_STACK_VALUES);
  }

  cell* word_;
  cell* slot_ = nullptr;
  const cell* context_ = nullptr;
  uint32_t epoch_ = 0, values_ = 0;
  bool owner_may_hook_ = false;
};

// ------------------------------------------------------------ conditionals

uint32_t n_if(int32_t, const int32_t*) {
  if (!interpreter::true_q(arg(0))) return result_none(), 0;
  return run(arg(1), true);
}

uint32_t n_unless(int32_t, const int32_t*) {
  if (interpreter::true_q(arg(0))) return result_none(), 0;
  return run(arg(1), true);
}

uint32_t n_either(int32_t, const int32_t*) {
  return run(arg(interpreter::truth_checked(arg(0)) ? 1 : 2), true);
}

// any and all: expression by expression over the block.
uint32_t any_all(bool any) {
  cell code = *arg(0);
  uint32_t node = code.w2;
  collector::root_node keep(node);
  int32_t index = int32_t(code.w1);
  cell* base = stack::top;
  auto tail = [&] { series_buffer* b = memory::buffer_of(node); return int32_t((b->tail - b->head) / sizeof(cell)); };
  if (index >= tail()) return result_none(), 0;
  while (index < tail()) {
    stack::top = base;
    if (uint32_t s = interpreter::eval_next(node, index)) return s;
    bool truth = interpreter::true_q(base);
    if (any && truth) return stack::set_last_keep(base), 0;
    if (!any && !truth) return result_none(), 0;
  }
  if (any) return result_none(), 0;
  stack::set_last_keep(base);
  return 0;
}
uint32_t n_any(int32_t, const int32_t*) { return any_all(true); }
uint32_t n_all(int32_t, const int32_t*) { return any_all(false); }

uint32_t n_case(int32_t, const int32_t* r) {
  bool all = r[0] >= 0;
  cell code = *arg(0);
  uint32_t node = code.w2;
  collector::root_node keep(node);
  int32_t index = int32_t(code.w1);
  auto tail = [&] { series_buffer* b = memory::buffer_of(node); return int32_t((b->tail - b->head) / sizeof(cell)); };
  cell* base = stack::top;
  bool matched = false;
  *base = cell{TYPE_NONE, 0, 0, 0};
  cell last{TYPE_NONE, 0, 0, 0};
  collector::root_cells keep_last(&last);
  while (index < tail()) {
    stack::top = base;
    if (uint32_t s = interpreter::eval_next(node, index)) return s;
    if (index >= tail()) {
      cell word{TYPE_WORD, 0, words::symbols[words::sym::case_], uint32_t(-1)};
      error::fire(err::cat_script, err::script::need_value, &word);
    }
    if (!interpreter::truth_checked(base)) {
      ++index;
      continue;
    }
    matched = true;
    cell* body = memory::buffer_of(node)->head_cell() + index;
    stack::top = base;
    if (type_of(body) == TYPE_BLOCK) {
      cell b = *body;
      ++index;
      if (uint32_t s = run(&b, false)) return s;
    } else {
      if (uint32_t s = interpreter::eval_next(node, index)) return s;
    }
    last = *(stack::top - 1);
    if (!all) break;
  }
  if (!matched) return result_none(), 0;
  stack::set_last_keep(&last);
  return 0;
}

uint32_t n_switch(int32_t, const int32_t* r) {
  cell* found = switch_::find_case(true, true);
  if (type_of(found) == TYPE_BLOCK) {
    cell b = *found;
    return run(&b, true);
  }
  if (r[0] >= 0) return run(arg(r[0]), true);
  return result_none(), 0;
}

// ------------------------------------------------------------------- loops

uint32_t n_while(int32_t, const int32_t*) {
  cell* args = stack::arguments;
  stack::mark_loop(body_word());
  interpreter::repeated_block condition(args + 0), body(args + 1);
  for (;;) {
    stack::reset();
    uint32_t s = condition.run(false);
    if (s == THROWN_BREAK || s == THROWN_CONTINUE)
      error::fire(err::cat_throw, err::throw_::while_cond);
    if (s) return s;
    if (!interpreter::truth_checked(stack::top - 1)) break;
    uint32_t status = 0;
    step next = body_step(body, status);
    if (next == step::leave) return status;
    if (next == step::stop) break;
  }
  stack::reset();
  *stack::arguments = cell{TYPE_UNSET, 0, 0, 0};
  stack::top = stack::arguments + 1;
  stack::unwind_last();
  return 0;
}

uint32_t n_until(int32_t, const int32_t*) {
  cell* args = stack::arguments;
  stack::mark_loop(body_word());
  interpreter::repeated_block body(args);
  for (;;) {
    stack::reset();
    uint32_t s = body.run(true);
    if (s == THROWN_BREAK) {
      stack::top = stack::arguments + 1;
      break;
    }
    if (s == THROWN_CONTINUE) continue;
    if (s) return s;
    if (interpreter::truth_checked(stack::arguments)) break;
  }
  stack::unwind_last();
  return 0;
}

uint32_t n_loop(int32_t, const int32_t*) {
  int32_t n = loop_count(arg(0));
  if (n <= 0) return result_none(), 0;
  int32_t i = 0;
  return loop_turns(stack::arguments + 1, [&] { return i++ < n; });
}

uint32_t n_repeat(int32_t, const int32_t*) {
  int32_t n = loop_count(arg(1));
  if (n <= 0) return result_none(), 0;
  cell* args = stack::arguments;
  loop_counter counter(args + 0);
  int32_t i = 0;
  return loop_turns(args + 2, [&] {
    if (i >= n) return false;
    counter.set(++i);
    return true;
  });
}

uint32_t n_forever(int32_t, const int32_t*) {
  // The body is the first argument, where the others keep their answer.
  return loop_turns(stack::arguments, [] { return true; }, false);
}

// The number of items from a series' position to its tail (series-more?
// while it is above 0). An image's length is its whole pixel count, so its
// pixels left are counted from the head here.
int32_t items_left(cell* series) {
  if (type_of(series) == TYPE_IMAGE) return image::pixels_left(series);
  cell copy = *series;
  collector::root_cells keep(&copy);
  return actions::length_q_dispatch(&copy);
}

// Item n (from 1) past the series' position, or none past its tail.
void item_at(const cell* series, int32_t n, cell* target) {
  cell copy = *series;
  collector::root_cells keep(&copy);
  cell index{TYPE_INTEGER, 0, uint32_t(n), 0};
  cell* v = actions::get_action_ptr_value<ACT_PICK>(&copy)(&copy, n, &index);
  *target = *v;
}

// Sets the iteration words (one word, or a block of words) from the items
// at the series' position; answers the number of words.
int32_t set_iteration_words(cell* words_cell, cell* series) {
  cell item{TYPE_NONE, 0, 0, 0};
  collector::root_cells keep(&item);
  if (type_of(words_cell) == TYPE_WORD) {
    item_at(series, 1, &item);
    context::set(words_cell, &item);
    return 1;
  }
  int32_t first = int32_t(words_cell->w1);
  series_buffer* b = memory::buffer_of(words_cell->w2);
  int32_t count = int32_t((b->tail - b->head) / sizeof(cell)) - first;
  if (count <= 0) error::fire(err::cat_script, err::script::invalid_arg, words_cell);
  int32_t left = items_left(series);
  for (int32_t i = 0; i < count; ++i) {
    if (i < left) item_at(series, i + 1, &item); else item = cell{TYPE_NONE, 0, 0, 0};
    cell word = memory::buffer_of(words_cell->w2)->head_cell()[first + i];
    context::set(&word, &item);
  }
  return count;
}

// foreach over a map: the words take keys and values pair by pair, removed
// entries skipped. The map cell stays in the frame; `position` counts its
// cells, so entries added by the body are still reached.
uint32_t foreach_map(cell* args) {
  if (type_of(args) == TYPE_WORD || block::ks_length_q(args) <= 0)
    error::fire(err::cat_script, err::script::invalid_arg, args);
  int32_t position = 0;
  return loop_turns(args + 2, [&] { return map::foreach_step(args + 1, args, position); });
}

uint32_t n_foreach(int32_t, const int32_t*) {
  cell* args = stack::arguments;
  if (type_of(args + 1) == TYPE_MAP) return foreach_map(args);
  // The series cell advances as the loop goes, past the items of the turn
  // before; it is a frame cell (a root).
  int32_t step_by = 0;
  return loop_turns(args + 2, [&] {
    args[1].w1 += uint32_t(step_by);
    if (items_left(args + 1) <= 0) return false;
    step_by = set_iteration_words(args, args + 1);
    return true;
  });
}

uint32_t n_forall(int32_t, const int32_t*) {
  cell* args = stack::arguments;
  cell* value = context::get(args);
  if (!series::series_value_q(type_of(value))) {
    cell fn = stack::get_call(), kind;
    datatype::make_at(&kind, type_of(value));
    error::fire(err::cat_script, err::script::expect_arg, &fn, &kind, args);
  }
  cell start = *value;
  stack::push(&start);  // the series at its start: the frame roots it
  cell* saved = stack::top - 1;
  stack::mark_loop(body_word());
  *stack::arguments = cell{TYPE_UNSET, 0, 0, 0};
  bool broke = false;
  interpreter::repeated_block body(args + 1);
  for (;;) {
    cell now = *context::get(args);
    if (items_left(&now) <= 0) break;
    uint32_t status = 0;
    step next = body_step(body, status);
    if (next == step::leave) return status;
    cell after = *context::get(args);
    if (type_of(&after) != type_of(saved) || after.w2 != saved->w2)
      error::fire(err::cat_script, err::script::bad_loop_series, &after);
    if (next == step::stop) {
      broke = true;
      break;
    }
    after.w1 += 1;
    context::set(args, &after);
  }
  if (!broke) context::set(args, saved);
  stack::unwind_last();
  return 0;
}

uint32_t n_remove_each(int32_t, const int32_t*) {
  cell* args = stack::arguments;
  cell start = args[1];
  stack::push(&start);
  cell* saved = stack::top - 1;
  stack::mark_loop(body_word());
  *stack::arguments = cell{TYPE_UNSET, 0, 0, 0};
  while (items_left(args + 1) > 0) {
    int32_t count = set_iteration_words(args, args + 1);
    uint32_t status = 0;
    stack::reset();
    uint32_t s = run(args + 2, true);
    if (s == THROWN_BREAK) break;
    if (s == THROWN_CONTINUE) {
      args[1].w1 += uint32_t(count);
      continue;
    }
    if (s) return status = s;
    if (interpreter::true_q(stack::arguments)) {
      cell at = args[1];
      collector::root_cells keep(&at);
      cell part{TYPE_INTEGER, 0, uint32_t(count), 0};
      actions::get_action_ptr_value<ACT_REMOVE>(&at)(&at, &part, nullptr);
    } else {
      args[1].w1 += uint32_t(count);
    }
  }
  stack::unwind_reset();
  *stack::arguments = *saved;
  stack::top = stack::arguments + 1;
  return 0;
}

// -------------------------------------------------------------- evaluation

// A script file or URL runs through the library's do-file, which keeps
// system/script, the current folder and the source-file list balanced; the
// /trace callback goes with it. Refinements: 1 /args, 3 /trace.
uint32_t do_script(const int32_t* r) {
  cell* args = stack::push(arg(0));
  if (r[3] >= 0) stack::push(arg(r[3]));
  else none::push();
  if (r[1] >= 0) stack::push(arg(r[1]));
  else none::push();
  cell* result = call_library("do-file", args, 3);
  *stack::arguments = *result;
  stack::top = stack::arguments + 1;
  return 0;
}

uint32_t n_do(int32_t, const int32_t* r) {
  cell* value = arg(0);
  if (type_of(value) == TYPE_FILE || type_of(value) == TYPE_URL) return do_script(r);
  // With /expand the library's preprocessor rewrites the block in place first.
  if (r[0] >= 0 && (type_of(value) == TYPE_BLOCK || type_of(value) == TYPE_PAREN)) {
    call_library("expand-directives", value, 1);
    stack::pop(1);
  }
  if (r[3] >= 0 && r[2] < 0) {
    if (type_of(value) != TYPE_BLOCK && type_of(value) != TYPE_PAREN && type_of(value) != TYPE_HASH) {
      // One expression: the value as the only item of a block.
      cell* code = stack::push_cell();
      block::make_at(code, 1);
      block::ks_append(code, arg(0));
      value = code;
    }
    return trace::run(value, arg(r[3]));
  }
  switch (type_of(value)) {
    case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH: {
      if (r[2] >= 0) {
        cell code = *value;
        collector::root_cells keep(&code);
        int32_t index = int32_t(code.w1);
        series_buffer* b = memory::buffer_of(code.w2);
        if (index >= int32_t((b->tail - b->head) / sizeof(cell))) {
          result_unset();
        } else {
          // Pushed above this frame's cells: the word for the position is
          // still one of them, and an operator or a tracer uses the room
          // above the result.
          if (uint32_t s = interpreter::eval_expression(code.w2, index, true, false, false)) return s;
          if (trace::active) trace::fire_at(trace::EXPR, code.w2, index, stack::top - 1, nullptr);
        }
        cell after = code;
        after.w1 = uint32_t(index);
        context::set(arg(r[2]), &after);
        stack::set_last_keep(stack::top - 1);
        return 0;
      }
      return eval(value, true);
    }
    case TYPE_STRING: {
      cell* code = stack::push_cell();
      *code = cell{TYPE_NONE, 0, 0, 0};
      lexer::scan_alt(code, value, -1, false, true, true, true, nullptr, nullptr, nullptr);
      if (type_of(code) != TYPE_BLOCK) return result_none(), 0;
      context::bind(code, context::global, false);
      return eval(code, true);
    }
    case TYPE_ERROR:
      stack::throw_error(value);
    default: {
      // One expression: the value as the only item of a block.
      cell* code = stack::push_cell();
      block::make_at(code, 1);
      block::ks_append(code, arg(0));
      return eval(code, true);
    }
  }
}

uint32_t n_reduce(int32_t, const int32_t* r) {
  cell* value = arg(0);
  cell* base = stack::top;
  if (block::any_block_q(type_of(value)) && type_of(value) != TYPE_PATH && type_of(value) != TYPE_LIT_PATH &&
      type_of(value) != TYPE_SET_PATH && type_of(value) != TYPE_GET_PATH) {
    cell code = *value;
    uint32_t node = code.w2;
    collector::root_node keep(node);
    int32_t index = int32_t(code.w1);
    auto tail = [&] { series_buffer* b = memory::buffer_of(node); return int32_t((b->tail - b->head) / sizeof(cell)); };
    while (index < tail())
      if (uint32_t s = interpreter::eval_next(node, index)) return s;
  } else {
    uint32_t t = type_of(value);
    if (t == TYPE_FUNCTION || t == TYPE_NATIVE || t == TYPE_ACTION || t == TYPE_OP || t == TYPE_ROUTINE) {
      stack::push(value);
    } else {
      cell* code = stack::push_cell();
      block::make_at(code, 1);
      block::ks_append(code, value);
      cell c = *code;
      stack::top = base;
      collector::root_cells keep(&c);
      if (uint32_t s = eval(&c, false)) return s;
    }
    if (r[0] < 0) {
      stack::set_last_keep(base);
      return 0;
    }
  }
  int32_t n = int32_t(stack::top - base);
  cell* made = stack::push_cell();
  block::make_at(made, n);
  for (int32_t i = 0; i < n; ++i) block::ks_append(made, base + i);
  if (r[0] >= 0) {
    cell* out = arg(r[0]);
    bool at_tail = block::ks_tail_q(out);
    actions::get_action_ptr_value<ACT_INSERT>(out)(out, made, -1, false, 1, at_tail);
    stack::set_last_keep(out);
    return 0;
  }
  stack::set_last_keep(made);
  return 0;
}

// Composes the block `source` into `target` (a block cell on the stack).
uint32_t compose_into(cell* target, const cell* source, bool deep, bool only) {
  uint32_t node = source->w2;
  collector::root_node keep(node);
  int32_t index = int32_t(source->w1);
  auto tail = [&] { series_buffer* b = memory::buffer_of(node); return int32_t((b->tail - b->head) / sizeof(cell)); };
  for (; index < tail(); ++index) {
    cell item = *(memory::buffer_of(node)->head_cell() + index);
    if (type_of(&item) == TYPE_PAREN) {
      collector::root_cells keep_item(&item);
      if (uint32_t s = eval(&item, false)) return s;
      cell* v = stack::top - 1;
      if (type_of(v) == TYPE_UNSET) {
      } else if (type_of(v) == TYPE_BLOCK && !only) {
        block::ks_append_block(target, v);
      } else {
        block::ks_append(target, v);
      }
      stack::pop(1);
    } else if (deep && type_of(&item) == TYPE_BLOCK) {
      cell* held = stack::push(&item);  // rooted before the new block is allocated
      cell* inner = stack::push_cell();
      block::make_at(inner, block::ks_length_q(held));
      if (uint32_t s = compose_into(inner, held, deep, only)) return s;
      block::ks_append(target, inner);
      stack::pop(2);
    } else {
      block::ks_append(target, &item);
    }
  }
  return 0;
}

uint32_t n_compose(int32_t, const int32_t* r) {
  if (type_of(arg(0)) != TYPE_BLOCK) error::fire(err::cat_script, err::script::expect_val, arg(0));
  cell* made = stack::push_cell();
  block::make_at(made, block::ks_length_q(arg(0)));
  if (uint32_t s = compose_into(made, arg(0), r[0] >= 0, r[1] >= 0)) return s;
  if (r[2] >= 0) {
    cell* out = arg(r[2]);
    bool at_tail = block::ks_tail_q(out);
    actions::get_action_ptr_value<ACT_INSERT>(out)(out, made, -1, false, 1, at_tail);
    stack::set_last_keep(out);
    return 0;
  }
  stack::set_last_keep(made);
  return 0;
}

// ------------------------------------------------------------------- exits

uint32_t n_break(int32_t, const int32_t* r) { return stack::throw_break(r[0] >= 0, false); }
uint32_t n_continue(int32_t, const int32_t*) { return stack::throw_break(false, true); }
uint32_t n_exit(int32_t, const int32_t*) { return stack::throw_exit(false, false); }
uint32_t n_return(int32_t, const int32_t*) { return stack::throw_exit(true, false); }
uint32_t n_throw(int32_t, const int32_t*) {
  if (trace::active) trace::fire(trace::THROW, nullptr, arg(0), nullptr);
  return stack::throw_throw(THROWN_THROW);
}

// Whether the thrown name matches the catch's name (a word or block of words).
bool name_matches(const cell* name, const cell* wanted) {
  if (type_of(name) != TYPE_WORD) return false;
  uint32_t canon = symbol::resolve(name->w2);
  if (type_of(wanted) == TYPE_WORD) return symbol::resolve(wanted->w2) == canon;
  int32_t n = block::ks_length_q(wanted);
  for (int32_t i = 0; i < n; ++i) {
    cell* w = memory::buffer_of(wanted->w2)->head_cell() + wanted->w1 + i;
    if (type_of(w) != TYPE_WORD) {
      cell word = *words::word[words::w::name];
      error::fire(err::cat_script, err::script::invalid_refine_arg, &word, w);
    }
    if (symbol::resolve(w->w2) == canon) return true;
  }
  return false;
}

uint32_t n_catch(int32_t, const int32_t* r) {
  cell* args = stack::arguments;
  stack::mark_catch(words::word[words::w::catch_]);
  uint32_t s = run(args, true);
  if (s == THROWN_THROW) {
    // The catch frame holds the thrown value and name.
    cell value = stack::arguments[0], name = stack::arguments[1];
    stack::unwind_reset();
    if (r[0] >= 0 && !name_matches(&name, args + r[0])) {
      args[0] = value;
      args[1] = name;
      stack::top = args + 2;
      return stack::throw_throw(THROWN_THROW);
    }
    stack::clear_throw_frame();
    stack::set_last_keep(&value);
    if (trace::active) trace::fire(trace::CATCH, nullptr, stack::arguments, nullptr);
    return 0;
  }
  if (s) return s;
  stack::unwind_last();
  return 0;
}

uint32_t n_try(int32_t, const int32_t* r) {
  bool all = r[0] >= 0;
  cell* args = stack::arguments;
  stack::frame* mark = stack::ctop;
  stack::mark(words::word[words::w::try_], (all ? stack::FRAME_TRY_ALL : stack::FRAME_TRY) << 24);
  try {
    uint32_t s = eval(args, true);
    if (s) return s;  // a try/all frame is a barrier: only plain try lets exits pass
    stack::unwind_last();
    return 0;
  } catch (const thrown& t) {
    if (t.code != THROWN_ERROR && !all) throw;
    runtime::ctx.thrown = 0;
    cell* error_top = stack::top;
    stack::cut_back(mark, args);
    stack::clear_throw_frame();
    if (t.code == THROWN_ERROR && error_top > args && type_of(error_top - 1) == TYPE_ERROR) {
      stack::top = error_top;
      stack::adjust_post_try();
      // The frames the error left lie just above ctop, untouched since.
      if (r[1] >= 0) error::set_stack(stack::arguments);
    } else if (t.code == THROWN_ERROR && type_of(error::last_value()) == TYPE_ERROR) {
      // An overflowing data stack gave up cells below this frame: the error
      // is not on the stack, but fire kept it.
      *args = *error::last_value();
      stack::top = args + 1;
    } else {
      result_none();
    }
    return 0;
  }
}

// ------------------------------------------------------------------- print

void print_text(cell* text, std::FILE* out, bool newline) {
  int32_t length = -1;
  const uint8_t* bytes = string::utf8_bytes(text, length);
  std::fwrite(bytes, 1, size_t(length), out);
  if (newline) std::fputc('\n', out);
}

uint32_t print_form(bool newline) {
  cell* value = arg(0);
  if (type_of(value) == TYPE_BLOCK) {
    int32_t none_refs[1] = {-1};
    if (uint32_t s = n_reduce(0, none_refs)) return s;
    value = arg(0);
  }
  hooks::fire_list1(value, newline);
  write_formed(value, stdout, newline);
  result_unset();
  return 0;
}
uint32_t n_print(int32_t, const int32_t*) { return print_form(true); }
uint32_t n_prin(int32_t, const int32_t*) { return print_form(false); }

}  // namespace

void write_formed(const cell* value, std::FILE* out, bool newline) {
  cell* base = stack::top;
  if (type_of(value) == TYPE_STRING) {
    print_text(stack::push(value), out, newline);
  } else {
    cell* copy = stack::push(value);  // the buffer's growth may move what value lies in
    cell* buffer = stack::push_cell();
    string::make_at(buffer, 16);
    actions::form_dispatch(copy, buffer, nullptr, 0x7FFFFFFF);
    print_text(buffer, out, newline);
  }
  stack::top = base;
}

void register_control(entry* slots) {
  slots[0] = n_if;
  slots[1] = n_unless;
  slots[2] = n_either;
  slots[3] = n_any;
  slots[4] = n_all;
  slots[5] = n_while;
  slots[6] = n_until;
  slots[7] = n_loop;
  slots[8] = n_repeat;
  slots[9] = n_forever;
  slots[10] = n_foreach;
  slots[11] = n_forall;
  slots[12] = n_remove_each;
  slots[17] = n_switch;
  slots[18] = n_case;
  slots[19] = n_do;
  slots[22] = n_print;
  slots[23] = n_prin;
  slots[34] = n_reduce;
  slots[35] = n_compose;
  slots[69] = n_try;
  slots[76] = n_break;
  slots[77] = n_continue;
  slots[78] = n_exit;
  slots[79] = n_return;
  slots[80] = n_throw;
  slots[81] = n_catch;
}

}  // namespace kez::natives
