// The lookup side of block!: find, select, put, path access, sorting and the
// set operations. Scans compare cells in place: element compares never
// allocate, so cell addresses hold for the length of a scan.
#include <algorithm>
#include <cstring>
#include <vector>

#include "runtime/collector.h"
#include "runtime/core_ops.h"
#include <optional>
#include <vector>

#include "runtime/datatypes/block.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/datatypes/word.h"
#include "runtime/hashtable.h"
#include "runtime/ownership.h"
#include "runtime/sort.h"
#include "runtime/stack.h"
#include "runtime/words.h"

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

// The step (/skip) and the last cell searched (/part) of a search; false
// when the search cannot match anything.
bool search_range(const cell* series, const find_options& o, int32_t& step, int32_t& last) {
  int32_t len = cells_of(buffer_of(series)), head = head_of(series);
  if (len == 0 || (head >= len && !o.reverse)) return false;
  step = 1;
  if (o.skip) {
    if (type_of(o.skip) != TYPE_INTEGER) series::bad_refine_arg(words::ref::skip, o.skip);
    step = int32_t(o.skip->w2);
    if (step < 1) error::fire(err::cat_script, err::script::out_of_range, o.skip);
  }
  last = len - 1;
  if (o.part) {
    if (type_of(o.part) == TYPE_INTEGER) {
      int32_t n = int32_t(o.part->w2);
      if (n < 1) return false;
      last = int32_t(std::min<int64_t>(int64_t(head) + n - 1, len - 1));
    } else if (type_of(o.part) == type_of(series) && o.part->w2 == series->w2) {
      last = std::min(head_of(o.part), len - 1);
    } else {
      series::bad_refine_arg(words::ref::part, o.part);
    }
  }
  return true;
}

int32_t find_op(const find_options& o) { return o.same ? COMP_SAME : o.case_ ? COMP_STRICT_EQUAL : COMP_FIND; }

// A hash! answers from its index, except for what only a scan can match:
// /match, patterns (an any-block value is looked up whole only under /only
// with /same), datatypes and typesets as classes, objects by equality.
bool index_answers_q(const cell* series, const cell* value, const find_options& o) {
  if (!series::indexed_q(series) || o.match) return false;
  uint32_t vt = type_of(value);
  if (any_block_q(vt)) return o.only && o.same;
  if ((vt == TYPE_DATATYPE || vt == TYPE_TYPESET) && !o.only) return false;
  return vt != TYPE_OBJECT || o.same;
}

// The linear search of find and select; answers false when nothing matched.
bool scan(const cell* series, const cell* value, const find_options& o, search& s) {
  int32_t step, last;
  if (!search_range(series, o, step, last)) return false;
  series_buffer* b = buffer_of(series);
  int32_t len = cells_of(b), head = head_of(series);
  if (index_answers_q(series, value, o)) {
    // Backwards the table looks before its head: the tail (or the /part
    // cell) for /last, the series' head for /reverse.
    int32_t from = o.part && (o.last || o.reverse) ? last + 1 : o.last ? len : head;
    cell* hit = hashtable::get(series->w3, value, from, step, find_op(o), o.reverse, o.last);
    if (!hit) return false;
    s.found = int32_t(hit - buffer_of(series)->head_cell());
    return !o.part || s.found <= last;
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
  int32_t op = find_op(o);
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
      case BY_TYPESET: return typeset::has_q(value, type_of(cells + at));
      case BY_PATTERN:
        for (int32_t k = 0; k < plen; ++k)
          if (at + k >= limit || !equal_q(cells + at + k, pattern + k, op)) return false;
        return true;
      default: return equal_q(cells + at, value, op);
    }
  };
  // Wide, so that a huge /skip step ends the walk instead of wrapping round.
  int64_t cursor = start;
  bool matched = false;
  do {
    matched = cursor >= 0 && cursor < len && test(int32_t(cursor));
    cursor += step;
    if (matched || o.match) break;
  } while (forward ? cursor < bound : cursor >= bound);
  if (!matched) return false;
  s.found = int32_t(cursor - step);
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
  int64_t at = s.found;
  if (options.tail) {
    if (s.pattern) at += s.length;
    else if (options.last || options.reverse || index_answers_q(series, value, options)) at += 1;
    else at += options.skip ? int32_t(options.skip->w2) : 1;
  }
  series->w1 = uint32_t(std::min<int64_t>(at, cells_of(buffer_of(series))));
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
    int32_t end = cells_of(buffer_of(series));
    series::index_cells(series, end - 2, 2);
  } else {
    slot = s.found + s.length;
    owned = ownership::notify(series, ownership::PUT, &v, slot, 1);
    series_buffer* b = buffer_of(series);
    if (slot >= cells_of(b)) {
      ks_append(series, &v);
      series::index_cells(series, slot, 1);
    }
    else if (!equal_q(b->head_cell() + slot, &v, COMP_FIND)) {
      b->head_cell()[slot] = v;
      series::index_cells(series, slot, 1);
    }
  }
  // An owner hears "put-ed" after a new key too: every change ends with its
  // after-report.
  if (owned) ownership::notify(series, ownership::PUT_ED, &v, slot, 1);
  *series = v;
  return series;
}

cell* select_word(cell* b, const cell* word, bool exact) {
  uint32_t symbol = exact ? word->w2 : symbol::resolve(word->w2);
  series_buffer* buf = buffer_of(b);
  int32_t len = cells_of(buf);
  for (int32_t i = std::max(head_of(b), 0); i + 1 < len; ++i) {
    const cell* c = buf->head_cell() + i;
    if (any_word_q(type_of(c)) && (exact ? c->w2 : symbol::resolve(c->w2)) == symbol) return buf->head_cell() + i + 1;
  }
  return nullptr;
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
    series::reindex(b);
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
      actions::dispatch<ACT_POKE>(&target, index, element, value, true);
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
  uint32_t et = type_of(element);
  if (get && et == TYPE_WORD && type_of(parent) != TYPE_HASH) {
    cell* found = select_word(parent, element, case_);
    return found ? found : &(path_none = none_value);
  }
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

// The two blocks that carry records to a comparison function under /all:
// made in the root block on first use, one record large, and kept.
struct scratch_blocks {
  cell* cells_of[2] = {nullptr, nullptr};  // the root block never moves

  cell* at(int i) { return cells_of[i]; }
  // Both exist, in the current root block, with room for `cells` cells.
  void ready(uint32_t cells) {
    // Made again only in a new root block (its node may move; its cells not).
    if (!cells_of[1] || !root::contains(cells_of[1])) {
      for (cell*& c : cells_of) {
        cell fresh{TYPE_NONE, 0, 0, 0};
        collector::root_cells keep(&fresh);
        make_at(&fresh, int32_t(cells));
        c = root::append(&fresh);
      }
    }
    for (int i = 0; i < 2; ++i) {
      series_buffer* b = buffer_of(at(i));
      if (b->size < cells * sizeof(cell)) memory::expand_series(b, int64_t(cells) * int64_t(sizeof(cell)));
    }
  }
  // After a sort with records past 0x1FFFFF bytes: back to one small record.
  void shrink(uint32_t cells) {
    for (int i = 0; i < 2; ++i) make_at(at(i), int32_t(cells));
  }
  cell* fill(int i, const cell* record, uint32_t cells) {
    cell* block = at(i);
    series_buffer* b = buffer_of(block);
    std::memcpy(b->head_cell(), record, cells * sizeof(cell));
    b->tail = b->head + cells * uint32_t(sizeof(cell));
    block->w1 = 0;
    return block;
  }
} scratch;

int32_t compare_by_function(const void* a, const void* b, void* arg, void* records) {
  auto* ctx = static_cast<sort_context*>(arg);
  // Copies: a and b lie in the buffer, which the call may move or replace.
  cell x = *static_cast<const cell*>(a), y = *static_cast<const cell*>(b);
  collector::root_cells keep_x(&x), keep_y(&y);
  const cell* first = &x;
  const cell* second = &y;
  if (ctx->size > 1) {  // /all: whole records, as blocks
    first = scratch.fill(0, static_cast<const cell*>(a), uint32_t(ctx->size));
    second = scratch.fill(1, static_cast<const cell*>(b), uint32_t(ctx->size));
  }
  // The function is asked about the two values in the order the sort holds
  // them reversed (unless /reverse), so "first below second" sorts ascending.
  int32_t r = ctx->flags & 1 ? compare_call(ctx->function, first, second) : compare_call(ctx->function, second, first);
  static_cast<const series::sorted_records*>(records)->follow();
  return r;
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
    if (type_of(skip) != TYPE_INTEGER) series::bad_refine_arg(words::ref::skip, skip);
    size = int32_t(skip->w2);
    if (size < 1 || count % size || count < size) series::bad_refine_arg(words::ref::skip, skip);
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
      if (all) scratch.ready(uint32_t(size));
    } else if (type_of(comparator) == TYPE_INTEGER) {
      if (!skip || all) error::fire(err::cat_script, err::script::bad_refines);
      int32_t field = int32_t(comparator->w2);
      if (field < 1 || field > size) error::fire(err::cat_script, err::script::out_of_range, comparator);
      ctx.flags |= uint32_t(field - 1) << 2;
    } else {
      series::bad_refine_arg(words::ref::compare, comparator);
    }
  }
  int32_t at = std::max(head_of(series), 0);
  bool owned = ownership::notify(series, ownership::SORT, nullptr, at, 0);
  if (int64_t(at) + int64_t(count) * size > cells_of(buffer_of(series))) return series;  // a hook shortened it
  uint8_t* base = reinterpret_cast<uint8_t*>(buffer_of(series)->head_cell() + at);
  collector::pinned_pointer keep(base);
  uint32_t width = uint32_t(size) * sizeof(cell);
  series::sorted_records records{series, uint32_t(sizeof(cell)), uint64_t(at) * sizeof(cell),
                                 uint64_t(count) * width, &base};
  // A comparator function may collect: the records that a merge parks
  // outside the series must stay reachable.
  std::vector<cell> parked;
  std::optional<collector::root_cells> keep_parked;
  if (stable && fn == compare_by_function) {
    parked.assign(size_t(count / 2) * size_t(size), cell{TYPE_NONE, 0, 0, 0});
    keep_parked.emplace(parked.data(), uint32_t(parked.size()));
  }
  if (stable) sort::mergesort(&base, uint32_t(count), width, &ctx, &records, fn,
                              parked.empty() ? nullptr : reinterpret_cast<uint8_t*>(parked.data()));
  else sort::qsort(&base, uint32_t(count), width, &ctx, &records, fn);
  series::reindex(series);  // an index of cell positions is stale once they move
  if (ctx.size > 1 && width > 0x1FFFFF) scratch.shrink(1);
  if (owned) ownership::notify(series, ownership::SORTED, nullptr, at, 0);
  return series;
}

// --- set operations -----------------------------------------------------------------------

namespace {

// Keys compare by equality, case-sensitive under /case, through hash
// tables; any-block keys, which tables hold by identity, by a scan with /only.
struct set_context {
  int32_t size;
  bool case_;
  int32_t op() const { return case_ ? COMP_STRICT_EQUAL : COMP_EQUAL; }

  // Whether key starts a record of side (indexed: side itself when it is an
  // indexed hash!, else a hash! cell over the same cells).
  bool member_q(const cell* side, const cell* indexed, const cell* key) const {
    if (any_block_q(type_of(key))) {
      find_options o;
      o.only = true;
      o.case_ = case_;
      search s;
      return scan(side, key, o, s);
    }
    return hashtable::get(indexed->w3, key, head_of(side), size, op(), false, false) != nullptr;
  }
};

// A hash! cell indexing the cells of side from its head, on the data stack
// (so that the collector marks its table); side's own when it has one.
const cell* indexed_side(const cell* side) {
  if (series::indexed_q(side)) return side;
  cell* t = stack::push(side);
  t->header = TYPE_HASH;
  t->w3 = 0;
  t->w3 = hashtable::init(uint32_t(std::max(ks_length_q(side), 1)), t, hashtable::HASH, 1);
  return t;
}

}  // namespace

void do_set_op(bool case_, const cell* skip, int32_t op) {
  set_context ctx{1, case_};
  if (skip) {
    ctx.size = type_of(skip) == TYPE_INTEGER ? int32_t(skip->w2) : 0;
    if (ctx.size < 1) series::bad_refine_arg(words::ref::skip, skip);
  }
  cell* base = stack::top;
  cell* first = stack::arguments;
  cell* second = op == SET_UNIQUE ? nullptr : stack::arguments + 1;
  for (cell* c : {first, second})
    if (c) c->w1 = uint32_t(std::clamp(head_of(c), 0, cells_of(buffer_of(c))));
  int32_t capacity = std::max(ks_length_q(first) + (op == SET_UNION ? ks_length_q(second) : 0), 1);
  // The result takes the first set's type.
  bool stays_hash = type_of(first) == TYPE_HASH;
  // Built as a hash! so that its table is marked; a block in the end unless
  // the first set is a hash!.
  cell* result = make_at(stack::push_cell(), capacity);
  result->header = TYPE_HASH;
  result->w3 = hashtable::init(uint32_t(capacity), result, hashtable::HASH, 1);
  bool against_second = op == SET_INTERSECT || op == SET_EXCLUDE || op == SET_DIFFERENCE;
  const cell* second_index = against_second ? indexed_side(second) : nullptr;
  const cell* first_index = op == SET_DIFFERENCE ? indexed_side(first) : nullptr;
  // One pass over `from`, keeping the records whose key is (or, with
  // keep_members false, is not) a key of `other`.
  auto pass = [&](const cell* from, const cell* other, const cell* other_index, bool keep_members) {
    for (int32_t i = head_of(from);; i += ctx.size) {
      series_buffer* b = buffer_of(from);
      int32_t len = cells_of(b);
      if (i >= len) break;
      std::vector<cell> record(b->head_cell() + i, b->head_cell() + i + std::min(ctx.size, len - i));
      collector::root_cells keep(record.data(), uint32_t(record.size()));
      if (other && ctx.member_q(other, other_index, &record[0]) != keep_members) continue;
      cell from_head = *result;
      from_head.w1 = 0;
      if (ctx.member_q(&from_head, result, &record[0])) continue;
      for (size_t k = 0; k < record.size(); ++k) {
        ks_append(result, &record[k]);
        // Only keys are looked up while building; a hash! keeps them all.
        if (k == 0 || stays_hash) series::index_cells(result, cells_of(buffer_of(result)) - 1, 1);
      }
    }
  };
  switch (op) {
    case SET_UNIQUE: pass(first, nullptr, nullptr, true); break;
    case SET_UNION: pass(first, nullptr, nullptr, true); pass(second, nullptr, nullptr, true); break;
    case SET_INTERSECT: pass(first, second, second_index, true); break;
    case SET_EXCLUDE: pass(first, second, second_index, false); break;
    case SET_DIFFERENCE: pass(first, second, second_index, false); pass(second, first, first_index, false); break;
    default: break;
  }
  if (!stays_hash) {
    result->header = TYPE_BLOCK;
    result->w3 = 0;
  }
  *first = *result;
  stack::top = base;
}

}  // namespace kez::block
