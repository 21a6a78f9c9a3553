#include "runtime/datatypes/function.h"

#include <algorithm>
#include <vector>

#include "runtime/collector.h"
#include "runtime/core_ops.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/word.h"
#include "runtime/interpreter.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/words.h"

namespace kez::function {

namespace {

using words::symbols;
namespace sym = words::sym;

bool arg_word_q(uint32_t t) { return t == TYPE_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD; }
bool entry_q(uint32_t t) { return arg_word_q(t) || t == TYPE_REFINEMENT; }
uint32_t canon(uint32_t symbol) { return symbol::resolve(symbol); }
bool named_q(const cell* c, uint32_t symbol) { return canon(c->w2) == canon(symbol); }

// The spec's cells from its head (the spec cell itself may be anywhere).
struct span {
  cell* head;
  int32_t n;
};
span cells_of(const cell* block) {
  series_buffer* b = memory::buffer_of(block->w2);
  int32_t total = int32_t(b->used() / sizeof(cell));
  int32_t from = std::clamp(int32_t(block->w1), 0, total);
  return {b->head_cell() + from, total - from};
}

[[noreturn]] void bad_def(const cell* spec) { error::fire(err::cat_script, err::script::bad_func_def, spec); }

void check_type_block(const cell* types) {
  span s = cells_of(types);
  for (int32_t i = 0; i < s.n; ++i) {
    const cell* v = s.head + i;
    if (type_of(v) == TYPE_WORD) v = word::get_checked(v);
    uint32_t t = type_of(v);
    if (t != TYPE_DATATYPE && t != TYPE_TYPESET && t != TYPE_WORD)
      error::fire(err::cat_script, err::script::invalid_type_spec, s.head + i);
  }
}

}  // namespace

cell* extras_at(const cell* f, uint32_t n) { return memory::buffer_of(f->w3)->head_cell() + n; }

uint32_t validate(const cell* spec) {
  // Nothing here allocates before an error is raised, so cell addresses hold.
  span s = cells_of(spec);
  uint32_t flags = 0;
  bool return_seen = false, local_seen = false;
  int32_t i = 0;
  auto type_at = [&](int32_t k) { return k < s.n ? type_of(s.head + k) : 0u; };
  if (type_at(0) == TYPE_BLOCK) {
    span attrs = cells_of(s.head);
    for (int32_t k = 0; k < attrs.n; ++k) {
      if (type_of(attrs.head + k) != TYPE_WORD) bad_def(spec);
      if (named_q(attrs.head + k, symbols[sym::trace])) flags |= FLAG_FUNCTION_2;
      if (named_q(attrs.head + k, symbols[sym::no_trace])) flags |= FLAG_FUNCTION_1;
    }
    i = 1;
  }
  for (; i < s.n; ++i) {
    cell* v = s.head + i;
    switch (type_of(v)) {
      case TYPE_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD:
        if (local_seen && type_of(v) != TYPE_WORD) bad_def(spec);
        if (type_at(i + 1) == TYPE_STRING && type_at(i + 2) == TYPE_BLOCK) bad_def(spec);
        if (return_seen && !local_seen) bad_def(spec);
        if (type_at(i + 1) == TYPE_BLOCK) check_type_block(s.head + ++i);
        break;
      case TYPE_SET_WORD: {
        if (!named_q(v, symbols[sym::return_]) || return_seen || local_seen) bad_def(spec);
        if (type_at(i + 1) != TYPE_BLOCK) bad_def(spec);
        uint32_t after = type_at(i + 2);
        if (after != 0 && after != TYPE_REFINEMENT && after != TYPE_STRING) bad_def(spec);
        check_type_block(s.head + i + 1);
        return_seen = true;
        ++i;
        break;
      }
      case TYPE_REFINEMENT: {
        if (named_q(v, words::refinements[words::ref::local]->w2)) local_seen = true;
        else if (local_seen || return_seen) bad_def(spec);
        uint32_t next = type_at(i + 1);
        if (next != 0 && !entry_q(next) && next != TYPE_SET_WORD && next != TYPE_STRING) bad_def(spec);
        break;
      }
      case TYPE_STRING:
        break;
      default:
        bad_def(spec);
    }
  }
  for (int32_t a = 0; a < s.n; ++a) {
    if (!entry_q(type_of(s.head + a))) continue;
    for (int32_t b = a + 1; b < s.n; ++b)
      if (entry_q(type_of(s.head + b)) && canon(s.head[a].w2) == canon(s.head[b].w2))
        error::fire(err::cat_script, err::script::dup_vars, s.head + b);
  }
  return flags;
}

int32_t count_locals(uint32_t spec_node, int32_t offset, bool require) {
  series_buffer* b = memory::buffer_of(spec_node);
  cell *c = b->head_cell() + std::max(offset, 0), *end = b->tail_cell();
  uint32_t local = words::refinements[words::ref::local]->w2;
  for (; c < end; ++c)
    if (type_of(c) == TYPE_REFINEMENT && named_q(c, local)) break;
  if (c >= end) return require ? -1 : 0;
  int32_t n = 1;
  for (++c; c < end; ++c) n += type_of(c) == TYPE_WORD;
  return n;
}

void init_locals(int32_t n) {
  logic::make_at(stack::push_cell(), false);
  for (int32_t i = 1; i < n; ++i) none::make_at(stack::push_cell());
}

namespace {

// The body walk of collect_words: candidates in order of appearance.
void collect_body(const cell* block, std::vector<cell>& out) {
  span s = cells_of(block);
  for (int32_t i = 0; i < s.n; ++i) {
    const cell* v = s.head + i;
    uint32_t t = type_of(v);
    if (t == TYPE_SET_WORD) {
      out.push_back(*v);
    } else if (t == TYPE_BLOCK || t == TYPE_PAREN) {
      collect_body(v, out);
    } else if (t == TYPE_WORD && i + 1 < s.n) {
      uint32_t name = canon(v->w2);
      bool each = name == canon(symbols[sym::foreach]) || name == canon(symbols[sym::remove_each]);
      if (!each && name != canon(symbols[sym::repeat])) continue;
      const cell* next = v + 1;
      uint32_t nt = type_of(next);
      if (nt == TYPE_WORD || nt == TYPE_SET_WORD) {
        out.push_back(*next);
      } else if (each && nt == TYPE_BLOCK) {
        span vars = cells_of(next);
        for (int32_t k = 0; k < vars.n; ++k)
          if (arg_word_q(type_of(vars.head + k))) out.push_back(vars.head[k]);
      }
    }
  }
}

}  // namespace

cell* collect_words(cell* spec, const cell* body, cell* result) {
  block::make_at(result, 8);
  uint32_t local = canon(words::refinements[words::ref::local]->w2);
  uint32_t extern_ = canon(words::refinements[words::ref::extern_]->w2);
  std::vector<uint32_t> ignore;  // canonical symbols that never become locals
  std::vector<cell> found;       // words to collect, in order
  collector::root_cells keep_spec(spec);
  {
    span s = cells_of(spec);
    int32_t at = -1;
    for (int32_t i = 0; i < s.n && at < 0; ++i)
      if (type_of(s.head + i) == TYPE_REFINEMENT && canon(s.head[i].w2) == extern_) at = i;
    for (int32_t i = 0; i < s.n; ++i) {
      uint32_t t = type_of(s.head + i);
      if (entry_q(t) || t == TYPE_SET_WORD) ignore.push_back(canon(s.head[i].w2));
      else if (at >= 0 && t != TYPE_BLOCK && t != TYPE_STRING) {
        cell from = *spec;
        from.w1 += uint32_t(at);
        error::fire(err::cat_script, err::script::bad_func_extern, &from);
      }
    }
    if (at >= 0) {
      int32_t i = at + 1;
      while (i < s.n && type_of(s.head + i) == TYPE_WORD) ++i;
      if (i < s.n && type_of(s.head + i) == TYPE_REFINEMENT && canon(s.head[i].w2) == local)
        for (++i; i < s.n; ++i)
          if (type_of(s.head + i) == TYPE_WORD) found.push_back(s.head[i]);
      block::ks_truncate_at(spec, at);
    }
  }
  // Locals declared after /extern come first; they are already in `ignore`.
  std::vector<cell> candidates;
  collect_body(body, candidates);
  std::vector<cell> collected = found;
  for (cell& c : candidates) {
    uint32_t name = canon(c.w2);
    if (std::find(ignore.begin(), ignore.end(), name) != ignore.end()) continue;
    ignore.push_back(name);
    collected.push_back(c);
  }
  for (cell& c : collected) c.header = TYPE_WORD;
  if (collected.empty()) return result;
  collector::root_cells keep(collected.data(), uint32_t(collected.size()));
  collector::root_cells keep_result(result);
  for (const cell& c : collected) block::ks_append(result, &c);
  if (count_locals(spec->w2, int32_t(spec->w1), true) < 0) {
    cell ref = *words::refinements[words::ref::local];
    ref.header = TYPE_REFINEMENT;
    block::ks_append(spec, &ref);
  }
  for (const cell& c : collected)
    if (canon(c.w2) != canon(words::word[words::w::local]->w2)) block::ks_append(spec, &c);
  // The result block drops `local` as the spec does.
  cell* r = block::ks_head(result);
  for (int32_t i = 0, n = block::ks_length_q(result); i < n; ++i)
    if (canon(r[i].w2) == canon(words::word[words::w::local]->w2)) {
      std::copy(r + i + 1, r + n, r + i);
      block::ks_remove_last(result);
      break;
    }
  return result;
}

bool library_building = false;

void mark_library(uint32_t node) {
  series_buffer* b = memory::buffer_of(node);
  if (b->flags & SERIES_LIBRARY) return;
  b->flags |= SERIES_LIBRARY;
  for (cell *c = b->head_cell(), *end = b->tail_cell(); c < end; ++c) {
    uint32_t t = type_of(c);
    if (t == TYPE_BLOCK || t == TYPE_PAREN) mark_library(c->w2);
  }
}

uint32_t push(const cell* spec_in, const cell* body_in, uint32_t ctx, uint32_t entry, uint32_t word2,
              uint32_t flags) {
  cell spec = *spec_in, body{};
  unset::make_at(&body);
  if (body_in) body = *body_in;
  collector::root_cells keep_spec(&spec), keep_body(&body);
  collector::root_node keep_ctx(ctx);
  if (int32_t(spec.w1) > 0) {
    cell copy;
    unset::make_at(&copy);
    collector::root_cells keep(&copy);
    block::clone(&copy, &spec, false, false);
    spec = copy;
  }
  if (body_in) body.w1 = uint32_t(std::clamp(int32_t(body.w1), 0, int32_t(memory::buffer_of(body.w2)->used() / sizeof(cell))));

  cell extras;
  block::make_at(&extras, int32_t(EXTRAS_CELLS));
  collector::root_cells keep_extras(&extras);
  for (uint32_t i = 0; i < EXTRAS_CELLS; ++i) block::alloc_tail(&extras);

  bool own_context = ctx == 0;
  if (own_context) ctx = context::make_from_spec(&spec, true, false, context::KIND_FUNCTION);

  cell* f = stack::push_cell();
  *f = cell{TYPE_FUNCTION | flags, ctx, spec.w2, extras.w2};
  *context::owner_of(ctx) = *f;

  if (body_in) {
    cell copy;
    unset::make_at(&copy);
    collector::root_cells keep(&copy);
    block::clone(&copy, &body, true, true);
    if (own_context) context::bind(&copy, ctx, false);
    if (library_building) mark_library(copy.w2);
    *extras_at(f, EX_BODY) = copy;
  } else {
    none::make_at(extras_at(f, EX_BODY));
  }
  if (entry) integer::make_at(extras_at(f, EX_ENTRY), int32_t(entry));
  if (word2) integer::make_at(extras_at(f, EX_WORD), int32_t(word2));
  return ctx;
}

cell* make(cell* proto, const cell* spec, uint32_t) {
  span s = type_of(spec) == TYPE_BLOCK ? cells_of(spec) : span{nullptr, 0};
  if (s.n < 2 || type_of(s.head) != TYPE_BLOCK || type_of(s.head + 1) != TYPE_BLOCK) bad_def(spec);
  uint32_t flags = validate(s.head);
  cell fspec = s.head[0], fbody = s.head[1];
  collector::root_cells keep(&fspec), keep2(&fbody);
  push(&fspec, &fbody, 0, 0, 0, flags);
  interpreter::make_arguments(stack::top_cell());
  *proto = *stack::top_cell();
  stack::pop(1);
  return proto;
}

namespace {

// reflect's answers shared by function! and routine!: spec and words.
bool reflect_common(cell* value, uint32_t field) {
  if (canon(field) == canon(symbols[sym::spec])) {
    *value = cell{TYPE_BLOCK, 0, value->w2, 0};
    return true;
  }
  if (canon(field) == canon(symbols[sym::words])) {
    uint32_t ctx = value->w1;
    collector::root_node keep(ctx);
    uint32_t n = context::length_of(ctx);
    cell result;
    block::make_at(&result, int32_t(n));
    collector::root_cells keep_result(&result);
    for (uint32_t i = 0; i < n; ++i) {
      cell w = *context::word_at(ctx, i);
      w.header = (w.header & ~FLAG_WORD_CHANGED);
      w.w1 = ctx;
      w.w3 = i;
      block::ks_append(&result, &w);
    }
    *value = result;
    return true;
  }
  return false;
}

}  // namespace

cell* reflect(cell* value, uint32_t field) {
  if (reflect_common(value, field)) return value;
  if (canon(field) == canon(symbols[sym::body])) {
    *value = *extras_at(value, EX_BODY);
    return value;
  }
  error::fire(err::cat_internal, err::internal::not_done);
}

int32_t form(const cell*, cell* buffer, const cell*, int32_t part) {
  string::concatenate_literal(buffer, "?function?");
  return part - 10;
}

int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg, int32_t part,
             int32_t indent) {
  cell f = *value;
  collector::root_cells keep(&f);
  string::concatenate_literal(buffer, "func ");
  part -= 5;
  cell spec{TYPE_BLOCK, 0, f.w2, 0};
  collector::root_cells keep_spec(&spec);
  part = block::mold(&spec, buffer, false, all, flat, arg, part, indent);
  cell body = *extras_at(&f, EX_BODY);
  collector::root_cells keep_body(&body);
  if (type_of(&body) == TYPE_NONE) {
    string::concatenate_literal(buffer, " none");
    return part - 5;
  }
  (void)only;
  return actions::mold_dispatch(&body, buffer, false, all, flat, arg, part, indent);
}

namespace {
int32_t compare_nodes(uint32_t type, const cell* value1, const cell* value2, int32_t op, uint32_t word) {
  if (type_of(value2) != type) return -2;
  switch (op) {
    case COMP_EQUAL: case COMP_NOT_EQUAL: case COMP_STRICT_EQUAL: case COMP_SORT: case COMP_CASE_SORT:
    case COMP_SAME: case COMP_FIND: {
      int32_t a = int32_t(word == 1 ? value1->w1 : value1->w3), b = int32_t(word == 1 ? value2->w1 : value2->w3);
      return a < b ? -1 : a > b;
    }
    default:
      return -2;
  }
}
}  // namespace

int32_t compare(const cell* value1, const cell* value2, int32_t op) {
  return compare_nodes(TYPE_FUNCTION, value1, value2, op, 3);
}

void init() {
  datatype::registration(TYPE_FUNCTION, TYPE_CONTEXT, "function!")
      .set<ACT_MAKE>(make)
      .set<ACT_REFLECT>(reflect)
      .set<ACT_FORM>(form)
      .set<ACT_MOLD>(mold)
      .set<ACT_COMPARE>(compare)
      .commit();
}

int32_t compare_by_word(uint32_t type, const cell* value1, const cell* value2, int32_t op, uint32_t word) {
  return compare_nodes(type, value1, value2, op, word);
}

}  // namespace kez::function

namespace kez::routine {

uint32_t count_arity(const cell* spec) {
  series_buffer* b = memory::buffer_of(spec->w2);
  uint32_t n = 0;
  for (cell *c = b->head_cell() + spec->w1, *end = b->tail_cell(); c < end; ++c) n += type_of(c) == TYPE_WORD;
  return n;
}

cell* push(const cell* spec_in, const cell* value, uint32_t entry, int32_t result_type, bool raw) {
  cell spec = *spec_in, body;
  none::make_at(&body);
  if (value) body = *value;
  collector::root_cells keep_spec(&spec), keep_body(&body);
  cell extras;
  block::make_at(&extras, int32_t(function::EXTRAS_CELLS));
  collector::root_cells keep_extras(&extras);
  for (uint32_t i = 0; i < function::EXTRAS_CELLS; ++i) block::alloc_tail(&extras);
  uint32_t ctx = context::make_from_spec(&spec, true, false, context::KIND_FUNCTION);
  uint32_t arity = std::min(count_arity(&spec), 31u);
  cell* r = stack::push_cell();
  *r = cell{TYPE_ROUTINE | (raw ? uint32_t(FLAG_ROUTINE) : 0u) | (arity << ARGS_SHIFT), ctx, spec.w2, extras.w2};
  *function::extras_at(r, function::EX_BODY) = body;
  integer::make_at(function::extras_at(r, function::EX_ENTRY), int32_t(entry));
  integer::make_at(function::extras_at(r, function::EX_WORD), result_type);
  return r;
}

int32_t form(const cell*, cell* buffer, const cell*, int32_t part) {
  string::concatenate_literal(buffer, "?routine?");
  return part - 9;
}

int32_t mold(const cell* value, cell* buffer, bool, bool all, bool flat, const cell* arg, int32_t part,
             int32_t indent) {
  cell r = *value;
  collector::root_cells keep(&r);
  string::concatenate_literal(buffer, "routine ");
  part -= 8;
  cell spec{TYPE_BLOCK, 0, r.w2, 0};
  collector::root_cells keep_spec(&spec);
  part = block::mold(&spec, buffer, false, all, flat, arg, part, indent);
  cell body = *function::extras_at(&r, function::EX_BODY);
  collector::root_cells keep_body(&body);
  if (type_of(&body) != TYPE_BLOCK) {
    string::concatenate_literal(buffer, " ");
    --part;
  }
  return actions::mold_dispatch(&body, buffer, false, all, flat, arg, part, indent);
}

int32_t compare(const cell* value1, const cell* value2, int32_t op) {
  return function::compare_by_word(TYPE_ROUTINE, value1, value2, op, 3);
}

void init() {
  datatype::registration(TYPE_ROUTINE, TYPE_FUNCTION, "routine!")
      .inherit(ACT_REFLECT)
      .set<ACT_FORM>(form)
      .set<ACT_MOLD>(mold)
      .set<ACT_COMPARE>(compare)
      .commit();
}

}  // namespace kez::routine
