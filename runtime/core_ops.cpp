#include "runtime/core_ops.h"

#include <cmath>
#include <cstring>

#include "runtime/actions.h"
#include "runtime/collector.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/memory.h"
#include "runtime/natives.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"
#include "runtime/words.h"

namespace kez {

namespace root {

bool building = false;

namespace {

uint32_t node = 0;
uint32_t base_index = 0;

void mark_root() {
  if (!node) return;
  collector::mark_node(&node);
  series_buffer* b = memory::buffer_of(node);
  collector::mark_values(b->head_cell(), b->tail_cell());
}

}  // namespace

void init() {
  static bool marker_added = false;
  if (!marker_added) {
    collector::add_marker(mark_root);
    marker_added = true;
  }
  node = 0;
  base_index = 0;
  node = memory::alloc_fixed_series(CAPACITY, 16, 0);
}

void release() { node = 0; }

uint32_t block() { return node; }

uint32_t length() { return memory::buffer_of(node)->used() / sizeof(cell); }

cell* append(const cell* value) {
  series_buffer* b = memory::buffer_of(node);
  // Growing would move the block and every cell address handed out.
  if (b->tail_ptr() + sizeof(cell) > b->end()) runtime::quit(runtime::RT_OUT_OF_MEMORY, reinterpret_cast<uintptr_t>(&append));
  cell* c = b->tail_cell();
  *c = *value;
  b->tail += sizeof(cell);
  return c;
}

bool contains(const cell* c) {
  if (!node) return false;
  series_buffer* b = memory::buffer_of(node);
  return c >= b->head_cell() && c < b->tail_cell();
}

void set_base(uint32_t first) { base_index = first; }

cell* cell_at(uint32_t n) { return memory::buffer_of(node)->head_cell() + base_index + n; }

}  // namespace root

namespace series {

uint32_t copy_part(uint32_t node, uint32_t offset, uint32_t count) {
  constexpr uint32_t MANAGER_BITS =
      SERIES_UNIT_MASK | SERIES_IN_USE | SERIES_MADE | SERIES_MID_HEAD | SERIES_MARK | SERIES_BIG | SERIES_FIXED;
  collector::root_node keep(node);
  uint32_t unit = memory::buffer_of(node)->unit();
  uint32_t copy = memory::alloc_series(count, unit, 0);
  series_buffer* from = memory::buffer_of(node);
  series_buffer* to = memory::buffer_of(copy);
  std::memcpy(to->head_ptr(), from->head_ptr() + size_t(offset) * unit, size_t(count) * unit);
  to->tail = to->head + count * unit;
  to->flags = (to->flags & MANAGER_BITS) | (from->flags & ~MANAGER_BITS & ~SERIES_OWNED);
  return copy;
}

}  // namespace series

namespace args {

cell call_word() {
  if (stack::depth() == 0) return none::value;
  const stack::frame* f = stack::current_frame();
  if (!f->symbol()) return none::value;
  return cell{TYPE_WORD, f->word_context, f->symbol(), uint32_t(-1)};
}

const cell* type_check(const cell* typeset, const cell* name, const cell* value) {
  if (typeset::has_q(typeset, type_of(value))) return value;
  cell function = call_word();
  cell kind;
  datatype::make_at(&kind, type_of(value));
  error::fire(err::cat_script, err::script::expect_arg, &function, &kind, name);
}

void type_check_at(int32_t n, const cell* typeset, const cell* name) {
  if (n > -1) type_check(typeset, name, stack::arguments + n);
}

const cell* type_check_opt(const cell* refinement, const cell* typeset, const cell* name, const cell* value) {
  if (logic::get(refinement)) type_check(typeset, name, value);
  return value;
}

const cell* check_not_unset(const cell* name, const cell* value) {
  if (type_of(value) != TYPE_UNSET) return value;
  cell function = call_word();
  cell kind;
  datatype::make_at(&kind, TYPE_UNSET);
  error::fire(err::cat_script, err::script::expect_arg, &function, &kind, name);
}

void set_refinement(const cell* value, uint32_t index, uint32_t count) {
  if (logic::true_q(value)) {
    logic::make_at(stack::arguments + index, true);
    return;
  }
  for (uint32_t i = 1; i <= count; ++i) stack::arguments[index + i] = none::value;
}

int32_t float_to_integer(const cell* value) {
  if (type_of(value) != TYPE_FLOAT) return int32_t(value->w2);
  double d = load_double(&value->w2);
  if (!(d >= -2147483648.0 && d <= 2147483647.0)) error::fire(err::cat_script, err::script::out_of_range, value);
  return int32_t(d);  // truncates toward zero
}

}  // namespace args

namespace error {

void fire_simple(const cell* arg1, const cell* arg2) { fire(err::cat_script, err::script::bad_make_arg, arg1, arg2); }

void print(int category, int id, const cell* arg1, const cell* arg2, const cell* arg3) {
  stack::mark_native(words::word[words::w::body]);
  cell* made = create(category, id, arg1, arg2, arg3);
  stack::set_last_keep(made);  // the frame's result, which print reads as its argument
  actions::call_with_refinements(natives::INDEX_PRINT, true, 0, nullptr, 0);
  *stack::arguments = cell{TYPE_UNSET, 0, 0, 0};
  stack::unwind_reset();
}

}  // namespace error

namespace actions {

uint32_t call_with_refinements(uint32_t index, bool native, uint32_t refinement_count,
                               const refinement_group* groups, uint32_t group_count) {
  int32_t refinements[MAX_REFINEMENTS];
  for (int32_t& r : refinements) r = -1;  // entries read only their own, but never garbage
  if (refinement_count > MAX_REFINEMENTS) refinement_count = MAX_REFINEMENTS;
  for (uint32_t g = 0; g < group_count; ++g) {
    const refinement_group& group = groups[g];
    if (group.position >= refinement_count) continue;
    if (logic::true_q(group.value)) {
      refinements[group.position] = group.argument;
    } else {
      for (uint32_t k = 0; k < group.count; ++k) none::make_at(stack::arguments + group.argument + k);
    }
  }
  if (native) {
    natives::entry e = index >= 1 && index <= natives::TABLE_SLOTS ? natives::table[index - 1] : nullptr;
    if (!e) error::fire(err::cat_internal, err::internal::not_done);
    return e(1, refinements);
  }
  if (index < 1 || index > ACTION_COUNT || !entries[index - 1]) error::fire(err::cat_internal, err::internal::not_done);
  entries[index - 1](refinements);
  return 0;
}

}  // namespace actions

namespace path {

cell* eval_compiled(bool set, const cell* path, std::initializer_list<const cell*> elements) {
  // Every cell the walk holds lives on the data stack: a step may allocate.
  cell* base = stack::top;
  cell* assigned = set ? stack::push(stack::arguments) : nullptr;
  const cell* const* element = elements.begin();
  size_t n = elements.size();
  cell* current = stack::push(*element);
  cell* parent = nullptr;
  bool began_with_word = type_of(*element) == TYPE_WORD;
  if (began_with_word) {
    const cell* word = *element;
    *current = *context::get(word);
    if (word->w1 && word->w1 != context::global && type_of(context::owner_of(word->w1)) != TYPE_OBJECT)
      parent = stack::push(context::owner_of(word->w1));
  }
  cell* previous = stack::push(*element);
  for (size_t p = 1; p < n; ++p) {
    bool last = p + 1 == n;
    const cell* el = element[p];
    bool notify = false;
    if (set && last && n > 2 && parent) {
      uint32_t t = type_of(parent);
      notify = (t == TYPE_OBJECT && parent->w3 && began_with_word) || t == TYPE_BLOCK || t == TYPE_PAREN ||
               t == TYPE_HASH || (t >= TYPE_PATH && t <= TYPE_GET_PATH);
    }
    auto step = actions::get_action_ptr_value<ACT_EVAL_PATH>(current);
    cell* result = step(current, el, set && last ? assigned : nullptr, path, parent, previous, int32_t(p - 1),
                        false, false, last, notify);
    cell next = *result;
    if (!parent) parent = stack::push(current);
    else *parent = *current;
    *current = next;
    *previous = *el;
  }
  *stack::arguments = *current;
  stack::top = base;
  return stack::arguments;
}

}  // namespace path

namespace switch_ {

cell* find_case(bool push, bool skip_to_block) {
  const cell* value = stack::arguments;
  const cell* cases = stack::arguments + 1;
  cell result = none::value;
  if (type_of(value) != TYPE_BLOCK) {
    series_buffer* b = memory::buffer_of(cases->w2);
    cell *head = b->head_cell() + cases->w1, *tail = b->tail_cell();
    uint32_t step = push ? 1 : 2;
    for (cell* c = head; c < tail; c += step) {
      if (type_of(c) != type_of(value) || actions::compare_value(value, c, COMP_EQUAL) != 0) continue;
      if (!skip_to_block) {
        result = c + 1 < tail ? c[1] : *c;
      } else {
        // Nothing after the match: an unset! stands for the tail position,
        // neither none! nor a block!.
        result = cell{TYPE_UNSET, 0, 0, 0};
        for (cell* d = c + 1; d < tail; ++d)
          if (type_of(d) == TYPE_BLOCK) {
            result = *d;
            break;
          }
      }
      break;
    }
  }
  if (push) return stack::push(&result);
  *stack::arguments = result;
  return stack::arguments;
}

}  // namespace switch_

namespace load {

namespace {
transcode_fn transcode = nullptr;
}

void set_transcode(transcode_fn fn) { transcode = fn; }

cell* value_from_string(cell* text, cell* target) {
  if (!transcode) error::fire(err::cat_internal, err::internal::not_done);
  cell block{TYPE_BLOCK, 0, memory::alloc_cells(4), 0};
  collector::root_cells keep(&block);
  bool whole = transcode(text, &block);
  series_buffer* b = memory::buffer_of(block.w2);
  if (!whole) *target = none::value;
  else if (b->used() == 0) *target = cell{TYPE_UNSET, 0, 0, 0};
  else *target = *b->head_cell();
  return target;
}

cell* value_from_string_arg(cell* text) { return value_from_string(text, stack::arguments); }

}  // namespace load

namespace value {

cell* form_limited(bool part, int32_t limit) {
  cell* s = string::make_at(stack::push_cell(), 16);
  cell budget{TYPE_INTEGER, 0, uint32_t(limit), 0};
  actions::form_dispatch(stack::arguments, s, part ? &budget : nullptr, limit);
  if (limit > 0) string::truncate(string::buffer_of(s), limit);
  return s;
}

}  // namespace value

namespace mold {

int32_t indent(cell* buffer, int32_t level, int32_t limit) {
  for (int32_t i = 0; i < level; ++i) string::concatenate_literal(buffer, "    ");
  return limit - 4 * level;
}

}  // namespace mold

namespace memory {

uint8_t* fill_pattern(uint8_t* destination, uint32_t unit, uint32_t count) {
  size_t total = size_t(unit) * count;
  if (!total) return destination;
  size_t have = unit;
  for (; have * 2 <= total; have *= 2) std::memcpy(destination + have, destination, have);
  std::memcpy(destination + have, destination, total - have);
  return destination + total;
}

}  // namespace memory

namespace math {

double normalize_angle(double a, int32_t kind) {
  a = std::fmod(a, 360.0);
  if (a > 180.0 || a < -180.0) a += a < 0 ? 360.0 : -360.0;
  if (a > 90.0 || a < -90.0) {
    if (kind == 0) a += a < 0 ? 180.0 : -180.0;
    else if (kind == 2) a = a < 0 ? -180.0 - a : 180.0 - a;
  }
  return a * 3.141592653589793 / 180.0;
}

}  // namespace math

namespace cstring {

bool equal_q(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

}  // namespace cstring

const char* build_date() { return "6-Nov-2026/16:48:17"; }

}  // namespace kez
