// The natives over words, contexts and callables: get and set (words,
// blocks of words, objects and paths), bind, in, context?, construct,
// extend and apply. They pick the module operation for the argument's type
// and the error to raise; the work is the context, object and map modules'.
#include "runtime/actions.h"
#include "runtime/collector.h"
#include "runtime/core_ops.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/map.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/datatypes/word.h"
#include "runtime/interpreter.h"
#include "runtime/memory.h"
#include "runtime/natives.h"
#include "runtime/stack.h"
#include "runtime/words.h"

namespace kez::natives {

namespace {

inline cell* arg(int32_t n) { return stack::arguments + n; }
inline void result(const cell& v) { stack::set_last_keep(&v); }
inline cell none_cell() { return cell{TYPE_NONE, 0, 0, 0}; }

inline cell* cell_at(uint32_t node, int32_t index) { return memory::buffer_of(node)->head_cell() + index; }
inline int32_t tail_of(uint32_t node) {
  series_buffer* b = memory::buffer_of(node);
  return int32_t((b->tail - b->head) / sizeof(cell));
}

bool path_q(uint32_t t) { return t == TYPE_PATH || t == TYPE_LIT_PATH || t == TYPE_GET_PATH || t == TYPE_SET_PATH; }
bool callable_q(uint32_t t) {
  return t == TYPE_FUNCTION || t == TYPE_ACTION || t == TYPE_NATIVE || t == TYPE_ROUTINE || t == TYPE_OP;
}

// ------------------------------------------------------------ paths

// Walks the path (rooted by the caller) from its head word through the
// eval-path action of each value reached, get-words and parens evaluated;
// with value, the last element is set to it. The value reached is pushed.
// Answers the evaluator's status (a paren may break out).
uint32_t walk_path(const cell* path, const cell* value, bool case_) {
  int32_t head = int32_t(path->w1), tail = tail_of(path->w2);
  if (head >= tail) error::fire(err::cat_script, err::script::empty_path);
  cell first = *cell_at(path->w2, head);
  if (type_of(&first) != TYPE_WORD) error::fire(err::cat_script, err::script::word_first, path);
  cell* base = stack::top;
  cell* parent = stack::push(context::get(&first));
  if (type_of(parent) == TYPE_UNSET) error::fire(err::cat_script, err::script::unset_path, path, &first);
  for (int32_t i = head + 1; i < tail; ++i) {
    cell* element = stack::push(cell_at(path->w2, i));
    if (type_of(element) == TYPE_GET_WORD) {
      *element = *context::get(element);
    } else if (type_of(element) == TYPE_PAREN) {
      cell code = *element;
      if (uint32_t s = interpreter::eval(&code, false)) return s;
      *element = *(stack::top - 1);
      stack::pop(1);
    }
    if (type_of(element) == TYPE_UNSET) error::fire(err::cat_script, err::script::invalid_path, path, element);
    bool last = i + 1 == tail;
    cell* p = stack::top - 2;
    auto handler = actions::table[type_of(p)][ACT_EVAL_PATH - 1];
    if (!handler) {
      cell kind;
      datatype::make_at(&kind, type_of(p));
      error::fire(err::cat_script, err::script::bad_path_type, path, &kind, element);
    }
    const cell* set_value = last ? value : nullptr;
    cell* reached = reinterpret_cast<actions::eval_path_fn>(handler)(p, element, set_value, path, nullptr, nullptr,
                                                                     i - head, case_, !set_value, false, true);
    cell next = *reached;
    stack::top = base;
    stack::push(&next);
  }
  return 0;
}

// ------------------------------------------------------------ get and set

uint32_t n_get(int32_t, const int32_t* r) {
  cell* word = arg(0);
  bool any = r[0] >= 0, case_ = r[1] >= 0;
  uint32_t t = type_of(word);
  if (path_q(t)) {
    if (uint32_t s = walk_path(word, nullptr, case_)) return s;
    cell v = *(stack::top - 1);
    if (!any && type_of(&v) == TYPE_UNSET) error::fire(err::cat_script, err::script::no_value, word);
    result(v);
  } else if (t == TYPE_OBJECT) {
    object::reflect(word, words::symbols[words::sym::values]);
    stack::keep();
  } else {
    cell* value = context::get(word);
    if (!any && type_of(value) == TYPE_UNSET) error::fire(err::cat_script, err::script::no_value, word);
    result(*value);
  }
  return 0;
}

inline bool settable_word_q(uint32_t t) {
  return t == TYPE_WORD || t == TYPE_SET_WORD || t == TYPE_GET_WORD || t == TYPE_LIT_WORD;
}

uint32_t n_set(int32_t, const int32_t* r) {
  cell* word = arg(0);
  cell* value = arg(1);
  bool any = r[0] >= 0, case_ = r[1] >= 0, only = r[2] >= 0, some = r[3] >= 0;
  if (!any && type_of(value) == TYPE_UNSET) error::fire(err::cat_script, err::script::need_value, word);
  uint32_t t = type_of(word);
  if (path_q(t)) {
    if (uint32_t s = walk_path(word, value, case_)) return s;
  } else if (t == TYPE_OBJECT) {
    object::set_many(word, value, any, only, some);
  } else if (t == TYPE_BLOCK) {
    int32_t n = block::ks_length_q(word);
    bool spread = block::any_block_q(type_of(value)) && !only;
    int32_t values = spread ? block::ks_length_q(value) : 0;
    // Every target is checked before the first is set: a bad item leaves
    // all the words as they were.
    for (int32_t i = 0; i < n; ++i) {
      cell* w = cell_at(word->w2, int32_t(word->w1) + i);
      if (!settable_word_q(type_of(w))) error::fire(err::cat_script, err::script::invalid_arg, w);
    }
    for (int32_t i = 0; i < n; ++i) {
      cell w = *cell_at(word->w2, int32_t(word->w1) + i);
      cell item = !spread ? *value : i < values ? *cell_at(value->w2, int32_t(value->w1) + i) : none_cell();
      if (some && type_of(&item) == TYPE_NONE) continue;
      if (!any && type_of(&item) == TYPE_UNSET) error::fire(err::cat_script, err::script::need_value, &w);
      context::set(&w, &item);
    }
  } else {
    context::set(word, value);
  }
  result(*arg(1));
  return 0;
}

// ------------------------------------------------------------ binding

// The context node a bind or in target names: an object's or error's, a
// callable's, a word's binding. 0 for an unbound word.
uint32_t context_of_target(const cell* target) {
  uint32_t t = type_of(target);
  if (any_word_q(t) || t == TYPE_OBJECT || t == TYPE_ERROR || t == TYPE_PORT || t == TYPE_FUNCTION ||
      t == TYPE_ROUTINE)
    return target->w1;
  error::fire(err::cat_script, err::script::invalid_arg, target);
}

uint32_t n_bind(int32_t, const int32_t* r) {
  uint32_t ctx = context_of_target(arg(1));
  if (!ctx) error::fire(err::cat_script, err::script::invalid_arg, arg(1));
  collector::root_node keep(ctx);
  cell* target = arg(0);
  if (any_word_q(type_of(target))) {
    cell w = *target;
    context::bind_word(ctx, &w);
    result(w);
    return 0;
  }
  if (r[0] >= 0) {
    cell* copy = stack::push_cell();
    block::clone(copy, target, true, false);
    *target = *copy;
    stack::pop(1);
  }
  context::bind(target, ctx, context::cell_of(ctx)->header & FLAG_SELF);
  stack::keep();
  return 0;
}

uint32_t n_in(int32_t, const int32_t*) {
  uint32_t ctx = context_of_target(arg(0));
  cell w = *arg(1);
  if (type_of(&w) == TYPE_REFINEMENT) set_cell_type(&w, TYPE_WORD);
  result(ctx && context::bind_word(ctx, &w) >= 0 ? w : none_cell());
  return 0;
}

uint32_t n_context_q(int32_t, const int32_t*) {
  const cell* w = arg(0);
  cell owner = none_cell();
  if (w->w1) {
    const cell* o = context::owner_of(w->w1);
    if (type_of(o) == TYPE_OBJECT || type_of(o) == TYPE_ERROR || type_of(o) == TYPE_PORT || callable_q(type_of(o)))
      owner = *o;
  }
  result(owner);
  return 0;
}

// ------------------------------------------------------------ objects and maps

uint32_t n_construct(int32_t, const int32_t* r) {
  const cell* proto = r[0] >= 0 ? arg(r[0]) : nullptr;
  cell* made = object::construct(arg(0), proto, r[1] >= 0);
  result(*made);
  return 0;
}

uint32_t n_extend(int32_t, const int32_t* r) {
  cell* target = arg(0);
  if (type_of(target) != TYPE_MAP) error::fire(err::cat_internal, err::internal::not_done);
  bool case_ = r[0] >= 0;
  cell* spec = arg(1);
  if (type_of(spec) == TYPE_MAP) {
    // A map's removed entries (value header 0) are not carried over.
    for (int32_t i = int32_t(spec->w1); i + 1 < tail_of(spec->w2); i += 2) {
      cell pair[2] = {*cell_at(spec->w2, i), *cell_at(spec->w2, i + 1)};
      if (pair[1].header == 0) continue;
      collector::root_cells keep(pair, 2);
      map::set_key(target, &pair[0], &pair[1], case_);
    }
  } else {
    map::extend(target, spec, case_);
  }
  stack::keep();
  return 0;
}

// ------------------------------------------------------------ apply

// Call modes: items for the arguments and the active refinements (the
// refinements named in a path), or with ALL one item for each entry of the spec block; with
// SAFER each argument comes from one item, and an inactive refinement's
// items are skipped unevaluated.
enum call_mode : uint32_t { MODE_ALL = 1, MODE_ACTIVE = 2, MODE_SAFER = 4 };

// One argument or refinement of a spec: its kind (the word's type;
// refinement! for a refinement), its symbol and, for an argument, the cell
// index of its type block in the spec (-1 for none).
struct spec_entry {
  uint32_t type;
  uint32_t symbol;
  int32_t types;
};

// The arguments and refinements of a spec, /local and what follows left out.
int32_t read_spec(uint32_t spec_node, spec_entry* out, int32_t room, int32_t& locals) {
  int32_t n = 0, tail = tail_of(spec_node);
  locals = -1;
  for (int32_t i = 0; i < tail; ++i) {
    const cell* c = cell_at(spec_node, i);
    uint32_t t = type_of(c);
    if (locals >= 0) {
      if (t == TYPE_WORD) ++locals;
      else if (t == TYPE_SET_WORD) break;
      continue;
    }
    if (t == TYPE_REFINEMENT && symbol::resolve(c->w2) == symbol::resolve(words::refinements[words::ref::local]->w2)) {
      locals = 0;
      continue;
    }
    if (t == TYPE_SET_WORD) {  // return: and its types
      if (i + 1 < tail && type_of(cell_at(spec_node, i + 1)) == TYPE_BLOCK) ++i;
      continue;
    }
    if (t != TYPE_WORD && t != TYPE_LIT_WORD && t != TYPE_GET_WORD && t != TYPE_REFINEMENT) continue;
    if (n == room) error::fire(err::cat_internal, err::internal::not_done);
    int32_t types = -1;
    if (t != TYPE_REFINEMENT && i + 1 < tail && type_of(cell_at(spec_node, i + 1)) == TYPE_BLOCK) types = ++i;
    out[n++] = spec_entry{t, c->w2, types};
  }
  if (locals < 0) locals = 0;
  return n;
}

// The state of one apply: the argument items and where the next one is.
struct apply_site {
  uint32_t node;
  int32_t index;
  uint32_t mode;
};

// Pushes the next argument of an entry from the items (none past their
// tail) and checks its type against the spec. Answers a status.
uint32_t fetch_argument(apply_site& site, const spec_entry& e, const cell* fn, const cell* name, bool check = true) {
  if (site.index >= tail_of(site.node)) {
    stack::push_cell()->header = TYPE_NONE;
    return 0;
  }
  cell item = *cell_at(site.node, site.index);
  uint32_t t = type_of(&item);
  bool evaluate = e.type == TYPE_WORD || (e.type == TYPE_LIT_WORD && (t == TYPE_GET_WORD || t == TYPE_PAREN || t == TYPE_GET_PATH));
  if (!evaluate) {
    ++site.index;
    stack::push(&item);
  } else if (uint32_t s = interpreter::eval_expression(site.node, site.index, true, site.mode & MODE_SAFER, false)) {
    return s;
  }
  if (check && e.types >= 0) {
    // The spec's type block as a typeset, made in a scratch block.
    cell types = *cell_at(fn->w2, e.types);
    collector::root_cells keep_types(&types);
    cell* scratch = stack::push_cell();
    block::make_at(scratch, 1);
    cell set = *typeset::make_in_from_spec(scratch, &types);
    stack::pop(1);
    cell* value = stack::top - 1;
    if (!typeset::has_q(&set, type_of(value))) {
      cell kind, fname = *name, word{TYPE_WORD, 0, e.symbol, uint32_t(-1)};
      datatype::make_at(&kind, type_of(value));
      error::fire(err::cat_script, err::script::expect_arg, &fname, &kind, &word);
    }
  }
  return 0;
}

// Skips (safer) or evaluates and drops the items of an inactive argument.
uint32_t pass_argument(apply_site& site, const spec_entry& e, const cell* fn, const cell* name) {
  if (site.mode & MODE_SAFER) {
    if (site.index < tail_of(site.node)) ++site.index;
    stack::push_cell()->header = TYPE_NONE;
    return 0;
  }
  if (uint32_t s = fetch_argument(site, e, fn, name, false)) return s;
  *(stack::top - 1) = none_cell();
  return 0;
}

// Checks the refinements a path names after its function word: each a
// word or get-word (bad-refine), one the function has (no-refine), named
// once (dup-refine).
void check_path(const cell* path, int32_t from, const spec_entry* entries, int32_t count, const cell* name) {
  for (int32_t p = from; p < tail_of(path->w2); ++p) {
    cell element = *cell_at(path->w2, p);
    uint32_t t = type_of(&element);
    if (t != TYPE_WORD && t != TYPE_GET_WORD) error::fire(err::cat_script, err::script::bad_refine, &element);
    uint32_t canon = symbol::resolve(element.w2);
    bool known = false;
    for (int32_t k = 0; k < count; ++k)
      known |= entries[k].type == TYPE_REFINEMENT && symbol::resolve(entries[k].symbol) == canon;
    if (!known) {
      cell fname = *name, ref{TYPE_REFINEMENT, 0, element.w2, uint32_t(-1)};
      error::fire(err::cat_script, err::script::no_refine, &fname, &ref);
    }
    for (int32_t q = from; q < p; ++q)
      if (symbol::resolve(cell_at(path->w2, q)->w2) == canon) error::fire(err::cat_script, err::script::dup_refine, path);
  }
}

// The state of refinement `symbol` in a checked path: 1 named, -1 named by
// a get-word whose value is false, 0 not named.
int8_t path_refinement(const cell* path, int32_t from, uint32_t symbol) {
  if (!path) return 0;
  uint32_t canon = symbol::resolve(symbol);
  for (int32_t p = from; p < tail_of(path->w2); ++p) {
    cell element = *cell_at(path->w2, p);
    if (symbol::resolve(element.w2) != canon) continue;
    return type_of(&element) == TYPE_GET_WORD && !interpreter::true_q(context::get(&element)) ? -1 : 1;
  }
  return 0;
}

constexpr int32_t MAX_ENTRIES = 64;

uint32_t n_apply(int32_t, const int32_t* r) {
  // Resolve the function and the path naming its refinements.
  cell fn = *arg(0), name = *words::word[words::w::anon], path = none_cell();
  collector::root_cells keep_fn(&fn), keep_name(&name), keep_path(&path);
  int32_t path_from = 0;
  if (type_of(&fn) == TYPE_WORD) {
    name = fn;
    fn = *context::get(&name);
  } else if (path_q(type_of(&fn))) {
    path = fn;
    int32_t head = int32_t(path.w1);
    if (head >= tail_of(path.w2)) error::fire(err::cat_script, err::script::empty_path);
    name = *cell_at(path.w2, head);
    if (type_of(&name) != TYPE_WORD) error::fire(err::cat_script, err::script::word_first, &path);
    fn = *context::get(&name);
    path_from = head + 1;
  }
  if (!callable_q(type_of(&fn))) error::fire(err::cat_script, err::script::invalid_arg, &fn);
  if (type_of(&fn) == TYPE_OP) set_cell_type(&fn, (fn.header >> 16) & 0xFF);
  uint32_t t = type_of(&fn);

  uint32_t mode = r[0] >= 0 ? MODE_ALL : MODE_ACTIVE;
  if (r[1] >= 0) mode |= MODE_SAFER;
  spec_entry entries[MAX_ENTRIES];
  int32_t locals = 0;
  int32_t count = read_spec(fn.w2, entries, MAX_ENTRIES, locals);
  const cell* named = type_of(&path) == TYPE_NONE ? nullptr : &path;
  if (named) check_path(named, path_from, entries, count, &name);

  apply_site site{arg(1)->w2, int32_t(arg(1)->w1), mode};
  collector::root_node keep_items(site.node);
  bool native = t == TYPE_NATIVE || t == TYPE_ACTION;
  cell* placeholder = stack::push(&fn);
  if (native || t == TYPE_ROUTINE) {
    stack::mark_interp_native(&name);
  } else {
    stack::mark(&name, stack::FRAME_INTERPRETED | stack::FRAME_FUNCTION << 24);
    stack::frame* f = stack::current_frame();
    f->function_context = fn.w1;
    f->saved_values = context::cell_of(fn.w1)->w2;
  }
  // The frame's cells: the fixed arguments, then per refinement its flag
  // (functions only) and arguments, then the locals.
  int32_t refinements[MAX_ENTRIES];
  int32_t refinement_count = 0;
  // How the arguments in hand are filled: from the items (1), items passed
  // over as none (-1: an inactive refinement that has items), none (0).
  int8_t state = 1;
  for (int32_t j = 0; j < count; ++j) {
    const spec_entry& e = entries[j];
    if (e.type != TYPE_REFINEMENT) {
      uint32_t s = state > 0 ? fetch_argument(site, e, &fn, &name)
                   : state < 0 ? pass_argument(site, e, &fn, &name)
                               : (stack::push_cell()->header = TYPE_NONE, 0u);
      if (s) return s;
      continue;
    }
    state = path_refinement(named, path_from, e.symbol);
    if (mode & MODE_ALL) {
      // The refinement's own item says whether it is active.
      state = -1;
      if (site.index < tail_of(site.node)) {
        if (uint32_t s = interpreter::eval_expression(site.node, site.index, true, mode & MODE_SAFER, false)) return s;
        if (interpreter::true_q(stack::top - 1)) state = 1;
        stack::pop(1);
      }
    }
    if (!native) *stack::push_cell() = cell{TYPE_LOGIC, state > 0 ? 1u : 0u, 0, 0};
    refinements[refinement_count++] = state > 0 ? int32_t(stack::top - stack::arguments) : -1;
  }
  if (native) {
    if (t == TYPE_ACTION) {
      actions::entries[fn.w1 - 1](refinements);
    } else if (uint32_t status = natives::table[fn.w1 - 1](0, refinements)) {
      return status;
    }
    stack::unwind();
  } else if (t == TYPE_ROUTINE) {
    interpreter::exec_routine(placeholder, &name);
    stack::unwind();
  } else {
    if (locals > 0) {
      *stack::push_cell() = cell{TYPE_LOGIC, 0, 0, 0};
      for (int32_t k = 0; k < locals; ++k) stack::push_cell()->header = TYPE_NONE;
    }
    if (uint32_t status = interpreter::call_function(placeholder, placeholder->w1)) return status;
    stack::unwind_ctx();
  }
  cell value = *(stack::top - 1);
  stack::top = placeholder;
  result(value);
  return 0;
}

}  // namespace

void register_words(entry* slots) {
  slots[20] = n_get;
  slots[21] = n_set;
  slots[37] = n_bind;
  slots[38] = n_in;
  slots[67] = n_construct;
  slots[82] = n_extend;
  slots[91] = n_context_q;
  slots[106] = n_apply;
}

}  // namespace kez::natives
