// The function makers (func, function, does, has) and the natives that read
// and write words: get, set, unset, value?, not, type?.
#include "runtime/collector.h"
#include "runtime/core_ops.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/interpreter.h"
#include "runtime/memory.h"
#include "runtime/natives.h"
#include "runtime/stack.h"
#include "runtime/words.h"

namespace kez::natives {

namespace {

inline cell* arg(int32_t n) { return stack::arguments + n; }

// The function! of spec (arguments[0]) and body (arguments[1]) becomes the
// result.
uint32_t make_function() {
  // Heads past the tails are clamped, so a spec or body never reads past them.
  for (cell* c = arg(0); c <= arg(1); ++c) {
    int32_t n = int32_t(memory::buffer_of(c->w2)->used() / sizeof(cell));
    if (int32_t(c->w1) > n) c->w1 = uint32_t(n);
  }
  uint32_t flags = function::validate(arg(0));
  cell* top = stack::top;
  function::push(arg(0), arg(1), 0, 0, 0, flags);
  interpreter::make_arguments(top);
  stack::set_last_keep(top);
  return 0;
}

uint32_t n_func(int32_t, const int32_t*) { return make_function(); }

uint32_t n_function(int32_t, const int32_t*) {
  cell* copy = stack::push_cell();
  block::clone(copy, arg(0), false, false);
  arg(0)[0] = *copy;
  *copy = cell{TYPE_NONE, 0, 0, 0};
  function::collect_words(arg(0), arg(1), copy);
  stack::pop(1);
  return make_function();
}

uint32_t n_does(int32_t, const int32_t*) {
  arg(1)[0] = arg(0)[0];
  stack::top = stack::arguments + 2;  // the body's cell is a root before anything allocates
  block::make_at(arg(0), 1);
  return make_function();
}

uint32_t n_has(int32_t, const int32_t*) {
  cell* copy = stack::push_cell();
  block::clone(copy, arg(0), false, false);
  arg(0)[0] = *copy;
  stack::pop(1);
  block::insert_value(arg(0), words::refinements[words::ref::local], false, false);
  return make_function();
}

inline void result(const cell* v) { stack::set_last_keep(v); }

uint32_t n_not(int32_t, const int32_t*) {
  cell v{TYPE_LOGIC, interpreter::true_q(arg(0)) ? 0u : 1u, 0, 0};
  result(&v);
  return 0;
}

uint32_t n_type_q(int32_t, const int32_t* r) {
  uint32_t t = type_of(arg(0));
  cell v;
  if (r[0] >= 0) {
    v = cell{TYPE_WORD, context::global, datatype::name_symbol(t), uint32_t(-1)};
    v.w3 = uint32_t(context::find_word(context::global, v.w2, false));
  } else {
    datatype::make_at(&v, t);
  }
  result(&v);
  return 0;
}

uint32_t n_unset(int32_t, const int32_t*) {
  cell unset{TYPE_UNSET, 0, 0, 0};
  cell* word = arg(0);
  if (type_of(word) == TYPE_WORD) {
    context::set(word, &unset);
  } else {
    int32_t n = block::ks_length_q(word);
    for (int32_t i = 0; i < n; ++i) {
      cell w = memory::buffer_of(word->w2)->head_cell()[word->w1 + uint32_t(i)];
      if (type_of(&w) == TYPE_WORD) context::set(&w, &unset);
    }
  }
  result(&unset);
  return 0;
}

uint32_t n_value_q(int32_t, const int32_t*) {
  cell* word = arg(0);
  bool has = word->w1 && int32_t(word->w3) >= 0 && type_of(context::get(word)) != TYPE_UNSET;
  cell v{TYPE_LOGIC, has ? 1u : 0u, 0, 0};
  result(&v);
  return 0;
}

}  // namespace

void register_functions(entry* slots) {
  slots[13] = n_func;
  slots[14] = n_function;
  slots[15] = n_does;
  slots[16] = n_has;
  slots[32] = n_not;
  slots[33] = n_type_q;
  slots[68] = n_value_q;
  slots[87] = n_unset;
}

}  // namespace kez::natives
