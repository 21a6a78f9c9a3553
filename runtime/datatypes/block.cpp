#include "runtime/datatypes/block.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "runtime/collector.h"
#include "runtime/core_ops.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/datatypes/word.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/vector.h"
#include "runtime/lexer.h"
#include "runtime/ownership.h"
#include "runtime/words.h"
#include "runtime/stack.h"

namespace kez::block {

namespace {

constexpr uint64_t MAX_BYTES = 0x7FFFFFF0;

inline int32_t head_of(const cell* b) { return int32_t(b->w1); }
inline int32_t cells_of(const series_buffer* b) { return int32_t(b->used() / sizeof(cell)); }
inline int32_t clamped_head(const cell* b) { return std::clamp(head_of(b), 0, cells_of(buffer_of(b))); }

[[noreturn]] void no_memory() { error::fire(err::cat_internal, err::internal::no_memory); }

// Makes room for `extra` more cells; the buffer grows to the size needed, or
// twice that with `doubling`. Answers the buffer to use.
series_buffer* reserve(cell* b, uint64_t extra, bool doubling) {
  series_buffer* buf = buffer_of(b);
  uint64_t need = uint64_t(buf->used()) + extra * sizeof(cell);
  if (need > MAX_BYTES) no_memory();
  if (buf->head + need <= arena::offset_of(buf->end())) return buf;
  uint64_t size = doubling ? std::min(need * 2, MAX_BYTES & ~uint64_t(15)) : need;
  return memory::expand_series(buf, int64_t(size));
}

// The cells an insert or change writes: the value's cells from its head when
// it is spread, else the value itself. The cells are read where they are
// (after the target has grown), except when they lie in the target's own
// buffer, which the write moves: those are copied out first. A run lives as
// a local and stays rooted for its scope.
class source_run {
 public:
  source_run(const cell* value, bool only, int32_t part, const cell* target) : value_(value), one_(*value) {
    if (!only && any_block_q(type_of(value))) {
      series_buffer* b = buffer_of(value);
      from_ = std::clamp(head_of(value), 0, cells_of(b));
      count_ = cells_of(b) - from_;
    }
    if (part >= 0 && part < count_) count_ = part;
    if (from_ >= 0 && value->w2 == target->w2) {
      cell* first = buffer_of(value)->head_cell() + from_;
      copy_.assign(first, first + count_);
    }
    keep_.emplace(copy_.empty() ? &one_ : copy_.data(), copy_.empty() ? 1 : uint32_t(copy_.size()));
  }
  int32_t size() const { return count_; }
  // Valid until the next allocation.
  const cell* data() const {
    if (from_ < 0) return &one_;
    if (!copy_.empty()) return copy_.data();
    return buffer_of(value_)->head_cell() + from_;
  }

 private:
  const cell* value_;  // the caller's cell: rooted, so its node stays current
  cell one_;
  int32_t from_ = -1, count_ = 1;
  std::vector<cell> copy_;
  std::optional<collector::root_cells> keep_;
};

// Writes the run, repeated until `total` cells (a multiple of the run) are
// filled, by doubling copies of what is already written.
void fill_repeated(cell* at, const source_run& run, uint64_t total) {
  if (total == 0) return;
  uint32_t bytes = uint32_t(run.size()) * sizeof(cell);
  std::memcpy(at, run.data(), bytes);
  if (total > uint64_t(run.size())) memory::fill_pattern(reinterpret_cast<uint8_t*>(at), bytes, uint32_t(total / uint64_t(run.size())));
}

uint64_t checked_product(size_t count, int32_t dup) {
  uint64_t cells = uint64_t(count) * uint64_t(std::max(dup, 0));
  if (cells * sizeof(cell) > MAX_BYTES) no_memory();
  return cells;
}

}  // namespace

// --- raw accessors -----------------------------------------------------------------

int32_t ks_length_q(const cell* b) { return cells_of(buffer_of(b)) - head_of(b); }
bool ks_next(cell* b) { return series::ks_skip(b, 1); }
cell* ks_head(cell* b) {
  series_buffer* buf = buffer_of(b);
  if (head_of(b) > cells_of(buf)) b->w1 = uint32_t(cells_of(buf));
  return buf->head_cell() + head_of(b);
}
cell* ks_tail(const cell* b) { return buffer_of(b)->tail_cell(); }
bool ks_tail_q(cell* b) { return ks_head(b) == ks_tail(b); }
void ks_clear(cell* b) {
  series_buffer* buf = buffer_of(b);
  buf->tail = arena::offset_of(ks_head(b));
}
void ks_truncate_at(cell* b, int32_t n) {
  series_buffer* buf = buffer_of(b);
  buf->tail = buf->head + uint32_t(n) * sizeof(cell);
}
cell* alloc_tail(cell* b) {
  cell* c = reinterpret_cast<cell*>(series::make_room(buffer_of(b), sizeof(cell)));
  return unset::make_at(c);
}
cell* ks_append(cell* b, const cell* value) {
  cell v = *value;  // value may lie in the buffer that moves
  collector::root_cells keep(&v);
  cell* c = alloc_tail(b);
  *c = v;
  return c;
}
void ks_remove_last(cell* b) {
  series_buffer* buf = buffer_of(b);
  if (!buf->used()) return;
  buf->tail -= sizeof(cell);
  if (head_of(b) > cells_of(buf)) b->w1 = uint32_t(cells_of(buf));
}
void ks_append_block(cell* target, const cell* source) {
  source_run run(source, false, -1, target);
  series_buffer* buf = reserve(target, uint64_t(run.size()), true);
  fill_repeated(buf->tail_cell(), run, uint64_t(run.size()));
  buf->tail += uint32_t(run.size()) * sizeof(cell);
}

// --- builders -----------------------------------------------------------------------

cell* make_at(cell* target, int32_t n) {
  unset::make_at(target);  // nothing half-made is seen if the allocation collects
  uint32_t node = memory::alloc_cells(uint32_t(std::max(n, 1)));
  *target = cell{TYPE_BLOCK, 0, node, 0};
  return target;
}

cell* make_in(cell* parent, int32_t n) {
  cell fresh;
  unset::make_at(&fresh);
  collector::root_cells keep(&fresh);
  make_at(&fresh, n);
  return ks_append(parent, &fresh);
}

cell* make_fixed(cell* target, int32_t n, bool fixed) {
  if (!fixed) return make_at(target, n);
  unset::make_at(target);
  uint32_t node = memory::alloc_fixed_series(uint32_t(std::max(n, 1)), sizeof(cell), 0);
  *target = cell{TYPE_BLOCK, 0, node, 0};
  return target;
}

namespace {

// The runtime's holder of a parentless root block: a collector root, so its
// cells are marked and its node follows node compaction.
cell holder{TYPE_UNSET, 0, 0, 0};
void mark_holder() { collector::mark_values(&holder, &holder + 1); }

}  // namespace

cell* make_root(cell* parent, int32_t n) {
  if (!parent) {
    static bool registered = false;
    if (!registered) collector::add_marker(mark_holder);
    registered = true;
    return make_fixed(&holder, n, true);
  }
  cell fresh;
  make_fixed(&fresh, n, true);  // a fixed buffer needs no root while the parent grows
  return ks_append(parent, &fresh);
}

void release_root() { holder = cell{TYPE_UNSET, 0, 0, 0}; }

cell* push(const cell* value) { return stack::push(value); }
cell* push_empty(int32_t n) { return make_at(stack::push_cell(), n == 0 ? 1 : n); }

cell* clone(cell* target, const cell* source, bool deep, bool all) {
  cell src = *source;
  collector::root_cells keep(&src);
  int32_t from = clamped_head(&src);
  int32_t n = cells_of(buffer_of(&src)) - from;
  make_at(target, n);
  series_buffer* to = buffer_of(target);
  std::memcpy(to->head_cell(), buffer_of(&src)->head_cell() + from, size_t(n) * sizeof(cell));
  to->tail = to->head + uint32_t(n) * sizeof(cell);
  target->header = type_of(&src);
  if (!deep) return target;
  for (int32_t i = 0; i < n; ++i) {
    cell c = buffer_of(target)->head_cell()[i];
    uint32_t t = type_of(&c);
    if (t != TYPE_BLOCK && !(all && (t == TYPE_PAREN || (t >= TYPE_PATH && t <= TYPE_GET_PATH)))) continue;
    collector::root_cells hold(&c);
    uint32_t line = c.header & FLAG_NEW_LINE;
    clone(&c, &c, deep, all);
    c.header |= line;
    buffer_of(target)->head_cell()[i] = c;
  }
  return target;
}

cell* insert_value(cell* b, const cell* value, bool advance, bool at_start) {
  cell v = *value;
  collector::root_cells keep(&v);
  series_buffer* buf = reserve(b, 1, true);
  int32_t at = at_start ? 0 : clamped_head(b);
  cell* p = buf->head_cell() + at;
  std::memmove(p + 1, p, size_t(cells_of(buf) - at) * sizeof(cell));
  buf->tail += sizeof(cell);
  *p = v;
  series::index_inserted(b, at, 1);
  if (advance) ++b->w1;
  return b;
}

void append_block(cell* target, const cell* source) {
  source_run run(source, false, -1, target);
  for (int32_t i = 0; i < run.size(); ++i) {
    cell c = run.data()[i];
    insert_value(target, &c, true, false);
  }
}

void append_star() {
  cell* target = stack::arguments - 1;
  insert_value(target, stack::arguments, true, false);
}

void append_arg() {
  ks_append(stack::arguments, stack::arguments + 1);
  series::index_cells(stack::arguments, cells_of(buffer_of(stack::arguments)) - 1, 1);
}
void append_last() {
  ks_append(stack::arguments - 1, stack::arguments);
  series::index_cells(stack::arguments - 1, cells_of(buffer_of(stack::arguments - 1)) - 1, 1);
}

// --- make and to ----------------------------------------------------------------------

namespace {

[[noreturn]] void bad_make_arg(uint32_t type, const cell* spec) {
  cell t;
  datatype::make_at(&t, type);
  error::fire(err::cat_script, err::script::bad_make_arg, &t, spec);
}

// An object's or a map's body, or a vector's elements, as a new block in
// proto; false for any other spec.
bool from_container(cell* proto, const cell* spec) {
  uint32_t t = type_of(spec);
  if (t != TYPE_OBJECT && t != TYPE_MAP && t != TYPE_VECTOR) return false;
  cell source = *spec;
  collector::root_cells keep(&source);
  if (t == TYPE_VECTOR) {
    make_at(proto, std::max(actions::length_q_dispatch(&source), 1));
    vector::to_block(&source, proto);
  } else {
    *proto = *actions::dispatch<ACT_REFLECT>(&source, words::symbols[words::sym::body]);
  }
  return true;
}

}  // namespace

cell* make(cell* proto, const cell* spec, uint32_t type) {
  uint32_t t = type_of(spec);
  if (any_block_q(t)) {
    clone(proto, spec, false, false);
  } else if (t == TYPE_INTEGER) {
    make_at(proto, int32_t(spec->w2));
  } else if (t == TYPE_FLOAT) {
    make_at(proto, args::float_to_integer(spec));
  } else if (!from_container(proto, spec)) {
    bad_make_arg(type, spec);
  }
  proto->header = type;
  return proto;
}

cell* to(cell* proto, const cell* spec, uint32_t type) {
  uint32_t t = type_of(spec);
  if (any_block_q(t)) {
    clone(proto, spec, false, false);
  } else if (t == TYPE_TYPESET) {
    cell set = *spec;
    make_at(proto, 8);
    for (uint32_t id = 1; id <= TYPE_LAST; ++id)
      if (typeset::has_q(&set, id)) {
        cell d;
        datatype::make_at(&d, id);
        ks_append(proto, &d);
      }
  } else if (t == TYPE_STRING) {
    cell text = *spec;  // the source text, loaded as code
    collector::root_cells keep(&text);
    lexer::scan_alt(proto, &text, -1, false, true, true, true, nullptr, nullptr, nullptr);
  } else if (!from_container(proto, spec)) {
    cell v = *spec;
    collector::root_cells keep(&v);
    make_at(proto, 1);
    ks_append(proto, &v);
  }
  proto->header = type;
  return proto;
}

// --- form and mold ----------------------------------------------------------------------

namespace {

bool ends_with_space_char(cell* buffer) {
  series_buffer* b = string::buffer_of(buffer);
  uint32_t unit = string::unit_of(b);
  if (b->used() < unit) return false;
  int32_t c = string::get_char(b->tail_ptr() - unit, unit);
  return c == '\t' || c == '\n' || c == '\r';
}

}  // namespace

int32_t form(const cell* value, cell* buffer, const cell* arg, int32_t part) {
  if (cycles::detect_q(value, buffer, part, false)) return part;
  cycles::scope keep;
  cycles::push(value->w2);
  for (int32_t i = std::max(head_of(value), 0);; ++i) {
    series_buffer* b = buffer_of(value);
    if (i >= cells_of(b)) break;
    if (arg && part < 1) break;
    cell c = b->head_cell()[i];
    collector::root_cells hold(&c);
    part = actions::form_dispatch(&c, buffer, arg, part);
    if (i + 1 < cells_of(buffer_of(value)) && !ends_with_space_char(buffer)) {
      string::concatenate_literal(buffer, " ");
      --part;
    }
  }
  return part;
}

int32_t mold_each(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg,
                  int32_t part, int32_t indent) {
  cycles::scope keep;
  cycles::push(value->w2);
  bool first_on_new_line = false;
  int32_t first = std::max(head_of(value), 0);
  for (int32_t i = first;; ++i) {
    series_buffer* b = buffer_of(value);
    if (i >= cells_of(b)) break;
    if (arg && part < 1) break;
    cell c = b->head_cell()[i];
    collector::root_cells hold(&c);
    if (!flat && (c.header & FLAG_NEW_LINE)) {
      if (!only && i == first) {
        ++indent;
        first_on_new_line = true;
      }
      if (!(only && i == first)) {
        string::concatenate_literal(buffer, "\n");
        --part;
      }
      part = mold::indent(buffer, indent, part);
    } else if (i > first) {
      string::concatenate_literal(buffer, " ");
      --part;
    }
    part = actions::mold_dispatch(&c, buffer, false, all, flat, arg, part, indent);
  }
  if (first_on_new_line) {
    --indent;
    string::concatenate_literal(buffer, "\n");
    part = mold::indent(buffer, indent, part - 1);
  }
  return part;
}

int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg,
             int32_t part, int32_t indent) {
  if (cycles::detect_q(value, buffer, part, true)) return part;
  if (!only) {
    string::concatenate_literal(buffer, "[");
    --part;
  }
  part = mold_each(value, buffer, only, all, flat, arg, part, indent);
  if (!only) {
    string::concatenate_literal(buffer, "]");
    --part;
  }
  return part;
}

// --- compare ----------------------------------------------------------------------------

namespace {

bool number_type_q(uint32_t t) { return t == TYPE_INTEGER || t == TYPE_FLOAT || t == TYPE_PERCENT; }
bool path_pair_q(uint32_t a, uint32_t b) {
  return (a == TYPE_PATH || a == TYPE_LIT_PATH) && (b == TYPE_PATH || b == TYPE_LIT_PATH);
}

}  // namespace

int32_t compare(const cell* value1, const cell* value2, int32_t op) {
  uint32_t t1 = type_of(value1), t2 = type_of(value2);
  if (t1 != t2 && !((op == COMP_STRICT_EQUAL_WORD || op == COMP_EQUAL_WORD) && path_pair_q(t1, t2))) return -2;
  if (value1->w2 == value2->w2 && value1->w1 == value2->w1) return 0;
  if (op == COMP_SAME) return -1;
  if (cycles::find_q(value1->w2)) return cycles::find_q(value2->w2) ? 0 : -1;
  int32_t n1 = std::max(ks_length_q(value1), 0), n2 = std::max(ks_length_q(value2), 0);
  if (n1 != n2) {
    switch (op) {
      case COMP_EQUAL: case COMP_NOT_EQUAL: case COMP_STRICT_EQUAL: case COMP_STRICT_EQUAL_WORD:
      case COMP_EQUAL_WORD: case COMP_FIND:
        return 1;
      default:
        break;
    }
  }
  cycles::scope keep;
  cycles::push(value1->w2);
  cycles::push(value2->w2);
  int32_t h1 = std::max(head_of(value1), 0), h2 = std::max(head_of(value2), 0);
  for (int32_t i = 0; i < std::min(n1, n2); ++i) {
    // Element compares never allocate, so the addresses stay put.
    const cell* a = buffer_of(value1)->head_cell() + h1 + i;
    const cell* b = buffer_of(value2)->head_cell() + h2 + i;
    uint32_t ta = type_of(a), tb = type_of(b);
    if (ta != tb && !(any_word_q(ta) && any_word_q(tb)) && !(number_type_q(ta) && number_type_q(tb)))
      return ta < tb ? -1 : 1;
    int32_t r = actions::compare_value(a, b, op);
    if (r) return r;
  }
  return n1 == n2 ? 0 : (n1 < n2 ? -1 : 1);
}

// --- insert and change ---------------------------------------------------------------------

namespace {

// Every insert but the in-place append: apart, so that one saves no registers.
[[gnu::noinline]] cell* insert_general(cell* series, const cell* value, int32_t part, bool only, int32_t dup,
                                       bool append) {
  source_run run(value, only, part, series);
  if (run.size() == 0 || dup <= 0) return series;
  series->w1 = uint32_t(clamped_head(series));
  int32_t len = cells_of(buffer_of(series));
  int32_t at = append ? len : head_of(series);
  uint64_t n = checked_product(run.size(), dup);
  bool owned = ownership::notify(series, append ? ownership::APPEND : ownership::INSERT, value, at, int32_t(n));
  // An owner's hook may have shortened the block meanwhile.
  at = std::min(at, cells_of(buffer_of(series)));
  series_buffer* b = reserve(series, n, dup <= 4);
  cell* p = b->head_cell() + at;
  if (at < cells_of(b)) std::memmove(p + n, p, size_t(cells_of(b) - at) * sizeof(cell));
  b->tail += uint32_t(n * sizeof(cell));
  fill_repeated(p, run, n);
  series::index_inserted(series, at, int32_t(n));
  if (owned)
    ownership::notify(series, append ? ownership::APPENDED : ownership::INSERTED, value, at, int32_t(n));
  series->w1 = append ? 0 : uint32_t(std::min<int64_t>(at + int64_t(n), cells_of(buffer_of(series))));
  return series;
}

}  // namespace

cell* insert(cell* series, const cell* value, int32_t part, bool only, int32_t dup, bool append) {
  // The commonest edit, one value appended to a plain block nobody owns,
  // with room at the tail: nothing allocates, nothing is told.
  if (append && dup == 1 && part < 0 && (only || !any_block_q(type_of(value))) &&
      (type_of(series) == TYPE_BLOCK || type_of(series) == TYPE_PAREN)) {
    series_buffer* b = buffer_of(series);
    if (!(b->flags & SERIES_OWNED) && b->tail + sizeof(cell) <= arena::offset_of(b->end())) {
      *b->tail_cell() = *value;
      b->tail += sizeof(cell);
      series::to_head(series);
      return series;
    }
  }
  return insert_general(series, value, part, only, dup, append);
}

cell* change(cell* series, const cell* value, int32_t part, bool only, int32_t dup) {
  source_run run(value, only, -1, series);
  int32_t at = clamped_head(series);
  series->w1 = uint32_t(at);
  int32_t available = cells_of(buffer_of(series)) - at;
  uint64_t written = checked_product(run.size(), dup);
  int32_t replaced = int32_t(std::min<uint64_t>(part >= 0 ? uint64_t(part) : written, uint64_t(available)));
  bool owned = ownership::notify(series, ownership::CHANGE, value, at, replaced);
  at = std::min(at, cells_of(buffer_of(series)));  // the owner's hook may have shortened it
  replaced = std::min(replaced, cells_of(buffer_of(series)) - at);
  series_buffer* b = buffer_of(series);
  if (written > uint64_t(replaced)) b = reserve(series, written - uint64_t(replaced), false);
  cell* p = b->head_cell() + at;
  std::memmove(p + written, p + replaced, size_t(cells_of(b) - at - replaced) * sizeof(cell));
  b->tail = uint32_t(int64_t(b->tail) + (int64_t(written) - replaced) * int64_t(sizeof(cell)));
  fill_repeated(p, run, written);
  series::reindex(series);
  if (owned) ownership::notify(series, ownership::CHANGED, value, at, int32_t(written));
  series->w1 = uint32_t(at + int64_t(written));
  return series;
}

// --- copy and take ----------------------------------------------------------------------------

namespace {

bool copyable_by_kind_q(uint32_t t) {
  return series::series_value_q(t) || t == TYPE_BITSET || t == TYPE_OBJECT || t == TYPE_ERROR || t == TYPE_MAP;
}

bool kind_matches(const cell* kind, uint32_t t) {
  if (type_of(kind) == TYPE_TYPESET) return typeset::has_q(kind, t);
  return type_of(kind) == TYPE_DATATYPE && datatype::get(kind) == t;
}

// Replaces nested values of the block from its head by their copies: every
// series value (deep), or only those of the kind given.
void copy_nested(cell* b, bool deep, const cell* types) {
  for (int32_t i = std::max(head_of(b), 0);; ++i) {
    series_buffer* buf = buffer_of(b);
    if (i >= cells_of(buf)) break;
    cell c = buf->head_cell()[i];
    uint32_t t = type_of(&c);
    bool wanted = types ? kind_matches(types, t) && copyable_by_kind_q(t) : series::series_value_q(t);
    if (!wanted) continue;
    collector::root_cells hold(&c);
    uint32_t line = c.header & FLAG_NEW_LINE;
    actions::copy_dispatch(&c, &c, nullptr, deep, deep ? types : nullptr);
    c.header = (c.header & ~uint32_t(FLAG_NEW_LINE)) | line;
    buffer_of(b)->head_cell()[i] = c;
  }
}

}  // namespace

cell* copy(cell* value, cell* result, const cell* part, bool deep, const cell* types) {
  cell source = *value;
  collector::root_cells keep(&source);
  series::copy(&source, result, part, deep, types);
  if (!deep && !types) return result;
  if (type_of(&source) == TYPE_HASH) result->header = (result->header & ~FLAG_TYPE_MASK) | TYPE_BLOCK;
  if (cycles::find_q(source.w2)) {
    cycles::reset();
    error::fire(err::cat_internal, err::internal::no_cycle);
  }
  cycles::scope walking;
  cycles::push(source.w2);
  copy_nested(result, deep, types);
  return result;
}

cell* take(cell* series, const cell* part, bool deep, bool last) {
  series::take(series, part, deep, last);
  if (!any_block_q(type_of(series))) return series;
  if (deep) copy_nested(series, true, nullptr);
  if (!part && cells_of(buffer_of(series)) == 1) *series = *buffer_of(series)->head_cell();
  return series;
}

cell* swap(cell* series1, cell* series2) {
  if (!any_block_q(type_of(series2))) error::fire(err::cat_script, err::script::invalid_arg, series2);
  if (series::ks_tail_q(series1) || series::ks_tail_q(series2)) return series1;
  int32_t h1 = head_of(series1), h2 = head_of(series2);
  bool owned1 = ownership::notify(series1, ownership::SWAP, nullptr, h1, 1);
  bool owned2 = ownership::notify(series2, ownership::SWAP, nullptr, h2, 1);
  if (h1 >= cells_of(buffer_of(series1)) || h2 >= cells_of(buffer_of(series2))) return series1;  // a hook cut them
  std::swap(buffer_of(series1)->head_cell()[h1], buffer_of(series2)->head_cell()[h2]);
  series::index_cells(series1, h1, 1);
  series::index_cells(series2, h2, 1);
  if (owned1) ownership::notify(series1, ownership::SWAPED, nullptr, h1, 1);
  if (owned2) ownership::notify(series2, ownership::SWAPED, nullptr, h2, 1);
  return series1;
}

cell* trim(cell* series, bool, bool, bool, bool, bool, const cell*) {
  int32_t at = clamped_head(series);
  bool owned = ownership::notify(series, ownership::TRIM, nullptr, at, 0);
  series_buffer* b = buffer_of(series);
  cell* first = b->head_cell() + std::min(at, cells_of(b));  // after the owner's hook
  cell* kept = std::remove_if(first, b->tail_cell(), [](const cell& c) { return type_of(&c) == TYPE_NONE; });
  b->tail = arena::offset_of(kept);
  series::reindex(series);
  if (owned) ownership::notify(series, ownership::TRIMMED, nullptr, at, 0);
  return series;
}

void init() {
  datatype::registration(TYPE_BLOCK, TYPE_SERIES, "block!")
      .inherit_all()
      .set<ACT_MAKE>(make)
      .set<ACT_TO>(to)
      .set<ACT_FORM>(form)
      .set<ACT_MOLD>(mold)
      .set<ACT_EVAL_PATH>(eval_path)
      .set<ACT_COMPARE>(compare)
      .set<ACT_APPEND>(insert)
      .set<ACT_INSERT>(insert)
      .set<ACT_CHANGE>(change)
      .set<ACT_COPY>(copy)
      .set<ACT_FIND>(find)
      .set<ACT_PUT>(put)
      .set<ACT_SELECT>(select)
      .set<ACT_SORT>(sort)
      .set<ACT_SWAP>(swap)
      .set<ACT_TAKE>(take)
      .set<ACT_TRIM>(trim)
      .commit();
}

}  // namespace kez::block
