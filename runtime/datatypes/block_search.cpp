// The lookup side of block!: find, select, put, path access, sorting and the
// set operations. Scans compare cells in place: element compares never
// allocate, so cell addresses hold for the length of a scan.
#include <algorithm>
#include <cstring>
#include <vector>

#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/none.h"
#include "runtime/ownership.h"
#include "runtime/sort.h"
#include "runtime/stack.h"

namespace kez::block {

namespace {

inline int32_t head_of(const cell* b) { return int32_t(b->w1); }
inline int32_t cells_of(const series_buffer* b) { return int32_t(b->used() / sizeof(cell)); }

bool equal_q(const cell* a, const cell* b, int32_t op) { return actions::compare_value(a, b, op) == 0; }

// What a search looks for and how it steps.
struct search {
  int32_t found = -1;    // absolute index of the matched cell
  int32_t length = 1;    // cells matched (pattern length, else 1)
  bool pattern = false;
};

// The linear search of find and select; answers false when nothing matched.
bool scan(const cell* series, const cell* value, const find_options& o, search& s) {
  series_buffer* b = buffer_of(series);
  int32_t len = cells_of(b), head = head_of(series);
  if (len == 0 || (head >= len && !o.reverse)) return false;
  int32_t step = 1;
  if (o.skip) {
    if (type_of(o.skip) != TYPE_INTEGER) series::bad_refine_arg(o.skip);
    step = int32_t(o.skip->w2);
    if (step < 1) error::fire(err::cat_script, err::script::out_of_range, o.skip);
  }
  int32_t last = len - 1;
  if (o.part) {
    if (type_of(o.part) == TYPE_INTEGER) {
      int32_t n = int32_t(o.part->w2);
      if (n < 1) return false;
      last = int32_t(std::min<int64_t>(int64_t(head) + n - 1, len - 1));
    } else if (type_of(o.part) == type_of(series) && o.part->w2 == series->w2) {
      last = std::min(head_of(o.part), len - 1);
    } else {
      series::bad_refine_arg(o.part);
    }
  }
  uint32_t vt = type_of(value);
  enum { BY_VALUE, BY_TYPE, BY_TYPESET, BY_PATTERN } kind = BY_VALUE;
  const cell* pattern = nullptr;
  int32_t plen = 1;
  if (!o.only) {
    if (vt == TYPE_DATATYPE) kind = BY_TYPE;
    else if (vt == TYPE_TYPESET) kind = BY_TYPESET;
    else if (any_block_q(vt)) {
      kind = BY_PATTERN;
      series_buffer* pb = buffer_of(value);
      int32_t from = std::clamp(head_of(value), 0, cells_of(pb));
      pattern = pb->head_cell() + from;
      plen = cells_of(pb) - from;
    }
  }
  int32_t op = o.same ? COMP_SAME : o.case_ ? COMP_STRICT_EQUAL : COMP_FIND;
  int32_t start, bound;
  bool forward = !o.last && !o.reverse;
  if (forward) {
    start = std::max(head, 0);
    bound = o.part ? last + 1 : len;
  } else {
    step = -step;
    int32_t back = kind == BY_PATTERN ? plen : 1;
    start = o.part ? last : (o.last ? len : head) - back;
    bound = 0;
    if (start < 0) return false;
  }
  const cell* cells = b->head_cell();
  int32_t limit = forward ? bound : len;  // a pattern may not run past this
  auto test = [&](int32_t at) {
    switch (kind) {
      case BY_TYPE: return type_of(cells + at) == datatype::get(value);
      case BY_TYPESET: return typeset_has_q(value, type_of(cells + at));
      case BY_PATTERN:
        for (int32_t k = 0; k < plen; ++k)
          if (at + k >= limit || !equal_q(cells + at + k, pattern + k, op)) return false;
        return true;
      default: return equal_q(cells + at, value, op);
    }
  };
  int32_t cursor = start;
  bool matched = false;
  do {
    matched = cursor >= 0 && cursor < len && test(cursor);
    cursor += step;
    if (matched || o.match) break;
  } while (forward ? cursor < bound : cursor >= bound);
  if (!matched) return false;
  s.found = cursor - step;
  s.length = kind == BY_PATTERN ? plen : 1;
  s.pattern = kind == BY_PATTERN;
  return true;
}

const cell none_value{TYPE_NONE, 0, 0, 0};
cell path_none;  // the answer of a path step that finds nothing

}  // namespace

cell* find(cell* series, const cell* value, const find_options& options) {
  search s;
  if (!scan(series, value, options, s)) return none::make_at(series);
  int32_t at = s.found;
  if (options.tail) {
    if (s.pattern) at += s.length;
    else if (options.last || options.reverse) at += 1;
    else at += options.skip ? int32_t(options.skip->w2) : 1;
  }
  series->w1 = uint32_t(at);
  return series;
}

cell* select(cell* series, const cell* value, const find_options& options) {
  find_options o = options;
  o.tail = o.match = false;
  search s;
  if (!scan(series, value, o, s)) return none::make_at(series);
  int32_t after = s.found + (s.pattern ? s.length : 1);
  series_buffer* b = buffer_of(series);
  if (after >= cells_of(b)) return none::make_at(series);
  *series = b->head_cell()[after];
  return series;
}

cell* put(cell* series, const cell* key, const cell* value, bool case_) {
  cell v = *value, k = *key;
  collector::root_cells keep_v(&v), keep_k(&k);
  find_options o;
  o.case_ = case_;
  cell from_head = *series;
  from_head.w1 = 0;
  search s;
  bool found = scan(&from_head, &k, o, s);
  int32_t slot;
  bool owned;
  if (!found) {
    slot = series::get_length(series, false);
    owned = ownership::notify(series, ownership::PUT, &v, slot, 1);
    ks_append(series, &k);
    ks_append(series, &v);
  } else {
    slot = s.found + s.length;
    owned = ownership::notify(series, ownership::PUT, &v, slot, 1);
    series_buffer* b = buffer_of(series);
    if (slot >= cells_of(b)) ks_append(series, &v);
    else if (!equal_q(b->head_cell() + slot, &v, COMP_FIND)) b->head_cell()[slot] = v;
  }
  // An owner hears "put-ed" after a new key too: every change ends with its
  // after-report.
  if (owned) ownership::notify(series, ownership::PUT_ED, &v, slot, 1);
  *series = v;
  return series;
}

cell* select_value(cell* b, const cell* value) {
  series_buffer* buf = buffer_of(b);
  int32_t len = cells_of(buf);
  for (int32_t i = std::max(head_of(b), 0); i + 1 < len; ++i)
    if (equal_q(buf->head_cell() + i, value, COMP_FIND)) return buf->head_cell() + i + 1;
  return nullptr;
}

bool remove_value(cell* b, const cell* value, bool from_start) {
  series_buffer* buf = buffer_of(b);
  int32_t len = cells_of(buf);
  for (int32_t i = from_start ? 0 : std::max(head_of(b), 0); i < len; ++i) {
    cell* c = buf->head_cell() + i;
    if (!equal_q(c, value, COMP_FIND)) continue;
    std::memmove(c, c + 1, size_t(len - i - 1) * sizeof(cell));
    buf->tail -= sizeof(cell);
    return i <= head_of(b);
  }
  return false;
}

cell* eval_path(cell* parent, const cell* element, const cell* value, const cell* path, const cell*,
                const cell*, int32_t, bool case_, bool get, bool, bool) {
  if (type_of(element) == TYPE_INTEGER) {
    int32_t index = int32_t(element->w2);
    cell target = *parent;
    collector::root_cells keep(&target);
    if (!get) {
      series::poke(&target, index, element, value, true);
      return const_cast<cell*>(value);
    }
    int64_t at = index == 0 ? -1 : int64_t(head_of(parent)) + (index > 0 ? index - 1 : index);
    series_buffer* b = buffer_of(parent);
    if (at < 0 || at >= cells_of(b)) return &(path_none = none_value);
    return b->head_cell() + at;
  }
  find_options o;
  o.case_ = case_;
  search s;
  if (get) {
    o.only = true;
    if (!scan(parent, element, o, s)) return &(path_none = none_value);
    series_buffer* b = buffer_of(parent);
    if (s.found + 1 >= cells_of(b)) return &(path_none = none_value);
    return b->head_cell() + s.found + 1;
  }
  if (!scan(parent, element, o, s)) error::fire(err::cat_script, err::script::bad_path_set, path, element);
  cell target = *parent;
  collector::root_cells keep(&target);
  target.w1 = uint32_t(s.found);
  cell two{TYPE_INTEGER, 0, 2, 0};
  actions::dispatch<ACT_POKE>(&target, int32_t(2), static_cast<const cell*>(&two), value, true);
  return const_cast<cell*>(value);
}

// --- sort -----------------------------------------------------------------------------

namespace {

compare_call_fn compare_call = nullptr;

// Sort flags: bit 0 reverse; bit 1 all fields; bits 2 and up the field
// count (all fields) or the 0-based offset of the one field compared.
struct sort_context {
  int32_t op;
  uint32_t flags;
  const cell* function;
  int32_t size;
};

int32_t compare_records(const void* a, const void* b, void* arg, void*) {
  auto* ctx = static_cast<sort_context*>(arg);
  auto* x = static_cast<const cell*>(a);
  auto* y = static_cast<const cell*>(b);
  if (ctx->flags & 1) std::swap(x, y);
  uint32_t first = ctx->flags & 2 ? 0 : ctx->flags >> 2;
  uint32_t end = ctx->flags & 2 ? ctx->flags >> 2 : first + 1;
  for (uint32_t i = first; i < end; ++i) {
    int32_t r = actions::compare_value(x + i, y + i, ctx->op);
    if (r == -2) r = int32_t(type_of(x + i)) - int32_t(type_of(y + i));
    if (r) return r;
  }
  return 0;
}

int32_t compare_by_function(const void* a, const void* b, void* arg, void*) {
  auto* ctx = static_cast<sort_context*>(arg);
  auto* x = static_cast<const cell*>(a);
  auto* y = static_cast<const cell*>(b);
  // The function is asked "does the first sort before the second?" with the
  // values in the order the sort holds them reversed.
  return ctx->flags & 1 ? compare_call(ctx->function, x, y, ctx->size) : compare_call(ctx->function, y, x, ctx->size);
}

}  // namespace

void set_compare_call(compare_call_fn fn) { compare_call = fn; }

cell* sort(cell* series, bool case_, const cell* skip, const cell* comparator, const cell* part, bool all,
           bool reverse, bool stable) {
  int32_t count = series::get_length(series, false);
  if (count <= 0) return series;
  if (part) {
    int32_t n = series::part_count(series, part);
    if (n < 0) {
      if (head_of(series) + n < 0) {
        series->w1 = 0;
        return series;
      }
      series->w1 = uint32_t(head_of(series) + n);
      count = -n;
    } else if (n < count) {
      count = n;
    }
  }
  int32_t size = 1;
  if (skip) {
    if (type_of(skip) != TYPE_INTEGER) series::bad_refine_arg(skip);
    size = int32_t(skip->w2);
    if (size < 1 || count % size || count < size) series::bad_refine_arg(skip);
    count /= size;
  } else if (all) {
    error::fire(err::cat_script, err::script::bad_refines);
  }
  sort_context ctx{case_ ? COMP_CASE_SORT : COMP_SORT, reverse ? 1u : 0u, nullptr, 1};
  if (all) ctx.flags |= 2 | uint32_t(size) << 2;
  sort::comparator fn = compare_records;
  if (comparator) {
    if (type_of(comparator) == TYPE_FUNCTION) {
      if (!compare_call) error::fire(err::cat_internal, err::internal::not_done);
      fn = compare_by_function;
      ctx.function = comparator;
      ctx.size = all ? size : 1;
    } else if (type_of(comparator) == TYPE_INTEGER) {
      if (!skip || all) error::fire(err::cat_script, err::script::bad_refines);
      int32_t field = int32_t(comparator->w2);
      if (field < 1 || field > size) error::fire(err::cat_script, err::script::out_of_range, comparator);
      ctx.flags |= uint32_t(field - 1) << 2;
    } else {
      series::bad_refine_arg(comparator);
    }
  }
  int32_t at = head_of(series);
  bool owned = ownership::notify(series, ownership::SORT, nullptr, at, 0);
  uint8_t* base = reinterpret_cast<uint8_t*>(buffer_of(series)->head_cell() + at);
  collector::pinned_pointer keep(base);
  uint32_t width = uint32_t(size) * sizeof(cell);
  if (stable) sort::mergesort(&base, uint32_t(count), width, &ctx, nullptr, fn);
  else sort::qsort(&base, uint32_t(count), width, &ctx, nullptr, fn);
  if (owned) ownership::notify(series, ownership::SORTED, nullptr, at, 0);
  return series;
}

// --- set operations -----------------------------------------------------------------------

namespace {

// A record's key is its first cell; keys match when of one type and equal
// (case-sensitive under /case).
bool key_equal(const cell* a, const cell* b, bool case_) {
  return type_of(a) == type_of(b) && equal_q(a, b, case_ ? COMP_STRICT_EQUAL : COMP_EQUAL);
}

// Whether the key starts a record of the block (from its head, in steps).
bool has_key(const cell* block, const cell* key, int32_t size, bool case_) {
  series_buffer* b = buffer_of(block);
  int32_t len = cells_of(b);
  const cell* cells = b->head_cell();
  for (int32_t i = std::max(head_of(block), 0); i < len; i += size)
    if (key_equal(cells + i, key, case_)) return true;
  return false;
}

}  // namespace

void do_set_op(bool case_, const cell* skip, int32_t op) {
  int32_t size = 1;
  if (skip) {
    size = type_of(skip) == TYPE_INTEGER ? int32_t(skip->w2) : 0;
    if (size < 1) series::bad_refine_arg(skip);
  }
  cell* first = stack::arguments;
  cell* second = op == SET_UNIQUE ? nullptr : stack::arguments + 1;
  for (cell* c : {first, second})
    if (c) c->w1 = uint32_t(std::clamp(head_of(c), 0, cells_of(buffer_of(c))));
  int32_t capacity = ks_length_q(first) + (op == SET_UNION ? ks_length_q(second) : 0);
  cell* result = make_at(stack::push_cell(), std::max(capacity, 1));
  // One pass over `from`, testing membership in `other` (when given).
  auto pass = [&](const cell* from, const cell* other, bool keep_members) {
    for (int32_t i = head_of(from);; i += size) {
      series_buffer* b = buffer_of(from);
      int32_t len = cells_of(b);
      if (i >= len) break;
      const cell* key = b->head_cell() + i;
      if (other && has_key(other, key, size, case_) != keep_members) continue;
      if (has_key(result, key, size, case_)) continue;
      std::vector<cell> record(key, key + std::min(size, len - i));
      collector::root_cells keep(record.data(), uint32_t(record.size()));
      for (const cell& c : record) ks_append(result, &c);
    }
  };
  switch (op) {
    case SET_UNIQUE: pass(first, nullptr, true); break;
    case SET_UNION: pass(first, nullptr, true); pass(second, nullptr, true); break;
    case SET_INTERSECT: pass(first, second, true); break;
    case SET_EXCLUDE: pass(first, second, false); break;
    case SET_DIFFERENCE: pass(first, second, false); pass(second, first, false); break;
    default: break;
  }
  *first = *result;
  stack::pop(1);
}

}  // namespace kez::block
