#include "runtime/datatypes/series.h"

#include <algorithm>
#include <cstring>

#include "runtime/collector.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/datatypes/unset.h"
#include "runtime/hashtable.h"
#include "runtime/ownership.h"
#include "runtime/random.h"
#include "runtime/words.h"

namespace kez::series {

namespace {

using ownership::notify;

inline cell integer(int32_t n) { return cell{TYPE_INTEGER, 0, uint32_t(n), 0}; }
inline int32_t head_of(const cell* s) { return int32_t(s->w1); }
// Where changes start: the head, a negative one counting as 0.
inline int32_t start_of(const cell* s) { return std::max(head_of(s), 0); }
inline int32_t abs_length(const series_buffer* b) { return int32_t(b->used() >> shift_of(b)); }
inline int32_t block_length(const cell* b) { return abs_length(buffer_of(b)) - std::max(head_of(b), 0); }
inline uint8_t* element(series_buffer* b, int32_t i) { return b->head_ptr() + (size_t(i) << shift_of(b)); }

// Moves the bytes of elements [from, old tail) to start at element `to` and
// sets the tail accordingly (to < from closes a gap).
void shift_down(series_buffer* b, int32_t to, int32_t from) {
  uint32_t sh = shift_of(b);
  uint8_t* dst = b->head_ptr() + (size_t(to) << sh);
  uint8_t* src = b->head_ptr() + (size_t(from) << sh);
  size_t n = size_t(b->tail_ptr() - src);
  std::memmove(dst, src, n);
  b->tail = arena::offset_of(dst + n);
}

// A new buffer of `count` elements of the source's unit, filled from the
// source's element `start`, with the source's flags but the owned one. The
// source cell must be rooted; answers the new node.
uint32_t copy_elements(const cell* source, int32_t start, int32_t count) {
  uint32_t node = source->w2;
  uint32_t unit = buffer_of(source)->unit();
  uint32_t copy;
  {
    collector::root_node keep(node);
    copy = memory::alloc_series(uint32_t(std::max(count, 1)), unit, 0);
  }
  series_buffer* from = memory::buffer_of(node);
  series_buffer* to = memory::buffer_of(copy);
  uint32_t sh = shift_of(from);
  size_t bytes = size_t(count) << sh;
  std::memcpy(to->head_ptr(), from->head_ptr() + (size_t(start) << sh), bytes);
  to->tail = to->head + uint32_t(bytes);
  to->flags = (from->flags & ~uint32_t(SERIES_OWNED | SERIES_FIXED | SERIES_BIG | SERIES_MARK)) |
              (to->flags & (SERIES_BIG | SERIES_FIXED));
  return copy;
}

[[noreturn]] void move_bad(const cell* a, const cell* b) {
  cell ta, tb;
  datatype::make_at(&ta, type_of(a));
  datatype::make_at(&tb, type_of(b));
  error::fire(err::cat_script, err::script::move_bad, &ta, &tb);
}

// The element at i as pick answers it.
cell element_value(const cell* s, series_buffer* b, int32_t i) {
  uint32_t t = type_of(s);
  if (block_family_q(t) || t == TYPE_MAP) return b->head_cell()[i];
  uint8_t* p = element(b, i);
  if (t == TYPE_BINARY) return integer(*p);
  if (t == TYPE_VECTOR) {
    // The vector module reads its element type; until then the raw unit.
    int32_t v = 0;
    std::memcpy(&v, p, std::min<uint32_t>(b->unit(), 4));
    return integer(v);
  }
  return cell{TYPE_CHAR, 0, uint32_t(string::get_char(p, b->unit())), 0};
}

}  // namespace

// --- accessors -------------------------------------------------------------------

bool ks_tail_q(const cell* s) {
  series_buffer* b = buffer_of(s);
  return int64_t(head_of(s)) >= int64_t(abs_length(b));
}

bool ks_skip(cell* s, int32_t n) {
  int64_t len = abs_length(buffer_of(s));
  int64_t to = int64_t(head_of(s)) + n;
  if (to <= len) s->w1 = uint32_t(to);
  return to >= len;
}

int32_t get_length(cell* s, bool from_start) {
  int32_t len = abs_length(buffer_of(s));
  if (head_of(s) > len) {
    s->w1 = uint32_t(len);
    return 0;
  }
  return from_start ? len : len - std::max(head_of(s), 0);
}

void bad_refine_arg(const cell* value) { error::fire(err::cat_script, err::script::invalid_refine_arg, nullptr, value); }

void bad_refine_arg(uint32_t refinement, const cell* value) {
  error::fire(err::cat_script, err::script::invalid_refine_arg, words::refinements[refinement], value);
}

int32_t part_count(const cell* s, const cell* part) {
  if (type_of(part) == TYPE_INTEGER) return int32_t(part->w2);
  if (type_of(part) == type_of(s) && part->w2 == s->w2) return head_of(part) - head_of(s);
  bad_refine_arg(words::ref::part, part);
}

void sorted_records::follow() const {
  series_buffer* b = buffer_of(series);
  if (b->unit() != unit || b->used() < offset + span) error::fire(err::cat_script, err::script::past_end);
  *base = b->head_ptr() + offset;
}

void reindex(const cell* s) {
  if (indexed_q(s)) hashtable::rebuild(s->w3, uint32_t(ks_abs_length_q(s)));
}

bool unindex_removed(const cell* s, int32_t at, int32_t count, int32_t len) {
  if (!indexed_q(s) || count <= 0 || at >= len) return true;
  if (int64_t(at) + count >= len) {
    hashtable::delete_range(s->w3, uint32_t(at), uint32_t(len - at));
    return true;
  }
  return !hashtable::shift_indexes(s->w3, -count, uint32_t(at + count), uint32_t(len - at - count), true);
}

void index_inserted(const cell* s, int32_t at, int32_t count) {
  if (!indexed_q(s)) return;
  int32_t after = ks_abs_length_q(s) - at - count;
  if (after > 0 && hashtable::shift_indexes(s->w3, count, uint32_t(at), uint32_t(after), true)) return reindex(s);
  index_cells(s, at, count);
}

void index_cells(const cell* s, int32_t from, int32_t count) {
  if (!indexed_q(s)) return;
  for (int32_t i = from; i < from + count; ++i) {
    // Entering may collect: the nodes are read again from the rooted cell.
    int status;
    hashtable::insert_cell(s->w3, buffer_of(s)->head_cell() + i, status);
    if (status == 2) return;  // rebuilt over the whole block, these cells included
  }
}

// --- navigation ------------------------------------------------------------------

namespace {

cell* move_to(cell* s, const cell* arg, bool is_at) {
  if (type_of(arg) != TYPE_INTEGER) error::fire(err::cat_script, err::script::invalid_arg, arg);
  int64_t n = int32_t(arg->w2);
  if (is_at && n >= 1) --n;
  int64_t to = std::clamp<int64_t>(int64_t(head_of(s)) + n, 0, abs_length(buffer_of(s)));
  s->w1 = uint32_t(to);
  return s;
}

}  // namespace

cell* at(cell* s, const cell* index) { return move_to(s, index, true); }
cell* skip(cell* s, const cell* offset) { return move_to(s, offset, false); }

cell* head(cell* s) {
  s->w1 = 0;
  return s;
}
cell* tail(cell* s) {
  s->w1 = uint32_t(abs_length(buffer_of(s)));
  return s;
}
cell* head_q(cell* s) { return logic::make_at(s, head_of(s) == 0); }
cell* tail_q(cell* s) { return logic::make_at(s, ks_tail_q(s)); }
cell* index_q(cell* s) {
  *s = integer(head_of(s) + 1);
  return s;
}
int32_t length_q(cell* s) { return get_length(s, false); }
cell* next(cell* s) {
  ks_skip(s, 1);
  return s;
}
cell* back(cell* s) {
  if (head_of(s) > 0) --s->w1;
  return s;
}

// --- access ----------------------------------------------------------------------

namespace {

// The absolute element pick and poke address, or -1 for index 0.
int64_t position(const cell* s, int32_t index) {
  if (index == 0) return -1;
  return int64_t(head_of(s)) + (index > 0 ? int64_t(index) - 1 : int64_t(index));
}

}  // namespace

cell* pick(cell* s, int32_t index, const cell*) {
  series_buffer* b = buffer_of(s);
  int64_t at = position(s, index);
  if (at < 0 || at >= abs_length(b)) return none::make_at(s);
  *s = element_value(s, b, int32_t(at));
  return s;
}

cell* poke(cell* s, int32_t index, const cell*, const cell* value, bool notify_owner) {
  int64_t at = position(s, index);
  if (at < 0 || at >= abs_length(buffer_of(s))) {
    cell i = integer(index);
    error::fire(err::cat_script, err::script::out_of_range, &i);
  }
  uint32_t t = type_of(s);
  cell v = *value;
  collector::root_cells keep(&v);
  if (string_family_q(t) && type_of(&v) != TYPE_CHAR) error::fire(err::cat_script, err::script::invalid_arg, &v);
  if (t == TYPE_BINARY && type_of(&v) != TYPE_INTEGER && type_of(&v) != TYPE_CHAR)
    error::fire(err::cat_script, err::script::invalid_arg, &v);
  bool owned = notify_owner && notify(s, ownership::POKE, &v, int32_t(at), 1);
  series_buffer* b = buffer_of(s);
  bool still_there = at < abs_length(b);  // unless the owner's hook cut the series short
  if (still_there && block_family_q(t)) {
    b->head_cell()[at] = v;
    index_cells(s, int32_t(at), 1);  // the cell leaves its old bucket
  } else if (still_there && string_family_q(t)) {
    string::put_char_at(b, uint32_t(at), int32_t(v.w2));
  } else if (still_there) {
    *element(b, int32_t(at)) = uint8_t(v.w2);
  }
  if (owned) notify(s, ownership::POKED, &v, int32_t(at), 1);
  *s = v;
  return s;
}

cell* random(cell* s, bool seed, bool secure, bool only) {
  if (seed) {
    series_buffer* b = buffer_of(s);
    uint8_t* from = element(b, std::clamp(head_of(s), 0, abs_length(b)));
    random::seed(hash::bytes(from, size_t(b->tail_ptr() - from)));
    return unset::make_at(s);
  }
  int32_t len = get_length(s, false);
  int32_t at = start_of(s);
  notify(s, ownership::RANDOM, nullptr, at, len);
  len = std::min(len, std::max(abs_length(buffer_of(s)) - at, 0));  // after the owner's hook
  if (only) {
    if (len < 1) return none::make_at(s);
    return pick(s, random::range(secure, len), nullptr);
  }
  series_buffer* b = buffer_of(s);
  size_t unit = size_t(1) << shift_of(b);
  for (int32_t i = at, c = len; c > 0; ++i, --c) {
    int32_t k = random::range(secure, c);
    if (k > 1) std::swap_ranges(element(b, i), element(b, i) + unit, element(b, i + k - 1));
  }
  reindex(s);
  if (len > 0) notify(s, ownership::RANDOMIZED, nullptr, at, len);
  return s;
}

namespace {

bool owned_field_q(uint32_t symbol) {
  uint32_t owned = words::symbols[words::sym::owned];  // 0 before the runtime words are interned
  return owned && symbol && symbol::resolve(symbol) == symbol::resolve(owned);
}

}  // namespace

cell* reflect(cell* s, uint32_t field_symbol) {
  if (!owned_field_q(field_symbol)) error::fire(err::cat_internal, err::internal::not_done);
  const cell* owner = ownership::owner_of(s->w2);
  if (!owner) return none::make_at(s);
  *s = *owner;
  return s;
}

cell* modify(cell* s, const cell* field, const cell* value, bool) {
  cell v = *value;
  collector::root_cells keep(&v);
  if (any_word_q(type_of(field)) && owned_field_q(field->w2)) {
    if (type_of(&v) == TYPE_NONE) {
      ownership::unbind(s);
    } else if (type_of(&v) == TYPE_BLOCK && block_length(&v) >= 2) {
      const cell* first = buffer_of(&v)->head_cell() + std::max(head_of(&v), 0);
      cell pair[2] = {first[0], first[1]};
      collector::root_cells hold(pair, 2);
      if (type_of(&pair[0]) == TYPE_OBJECT) ownership::set_owner_flagged(s, &pair[0], &pair[1]);
    }
  }
  *s = v;
  return s;
}

// --- changes ---------------------------------------------------------------------

cell* clear(cell* s) {
  int32_t len = get_length(s, false);
  if (len < 1) return s;
  int32_t at = start_of(s);
  notify(s, ownership::CLEAR, nullptr, at, len);
  if (indexed_q(s)) hashtable::delete_range(s->w3, uint32_t(at), uint32_t(len));
  series_buffer* b = buffer_of(s);
  if (at < abs_length(b)) b->tail = arena::offset_of(element(b, at));  // unless a hook cut it already
  notify(s, ownership::CLEARED, nullptr, at, 0);
  return s;
}

cell* remove(cell* s, const cell* part, const cell* key) {
  int32_t count = 1;
  if (part) {
    count = part_count(s, part);
    if (count < 1) return s;
  }
  if (key) {
    cell found = *s;
    collector::root_cells keep(&found);
    find_options options;
    options.case_ = true;
    actions::dispatch<ACT_FIND>(&found, key, options);
    if (type_of(&found) == TYPE_NONE) return none::make_at(s);
    *s = found;
    ++count;
  }
  series_buffer* b = buffer_of(s);
  int32_t at = head_of(s), len = abs_length(b);
  if (at < 0 || at >= len) return s;
  bool owned = notify(s, ownership::REMOVE, nullptr, at, count);
  b = buffer_of(s);
  len = abs_length(b);
  bool indexed = unindex_removed(s, at, count, len);
  if (int64_t(at) + count >= len) b->tail = arena::offset_of(element(b, std::min(at, len)));
  else shift_down(b, at, at + count);
  if (!indexed) reindex(s);
  if (owned) notify(s, ownership::REMOVED, nullptr, at, 0);
  return s;
}

cell* reverse(cell* s, const cell* part, const cell* skip_arg) {
  if (ks_tail_q(s)) return s;
  int32_t at = start_of(s);
  int32_t count = get_length(s, false);
  if (part) {
    count = std::min(part_count(s, part), count);  // the end never passes the tail
    if (count < 1) return s;
  }
  int32_t size = 1;
  if (skip_arg) {
    if (type_of(skip_arg) != TYPE_INTEGER) bad_refine_arg(words::ref::skip, skip_arg);
    size = int32_t(skip_arg->w2);
    if (size == count) return s;
    if (size < 1) error::fire(err::cat_script, err::script::out_of_range, skip_arg);
    if (count < size || count % size) bad_refine_arg(words::ref::skip, skip_arg);
  }
  bool owned = notify(s, ownership::REVERSE, nullptr, at, count);
  series_buffer* b = buffer_of(s);
  if (at + count > abs_length(b)) return s;  // the owner's hook shortened it
  size_t record = size_t(size) << shift_of(b);
  uint8_t* lo = element(b, at);
  uint8_t* hi = element(b, at + count) - record;
  // Records swap as units, so the order inside each record is kept.
  for (; lo < hi; lo += record, hi -= record) std::swap_ranges(lo, lo + record, hi);
  reindex(s);
  if (owned) notify(s, ownership::REVERSED, nullptr, at, count);
  return s;
}

cell* take(cell* s, const cell* part, bool, bool last) {
  int32_t len = get_length(s, false);
  if (len < 1) return none::make_at(s);
  int32_t at = start_of(s);
  int32_t abs = abs_length(buffer_of(s));
  int32_t count = 1, start = at;
  if (part) {
    if (type_of(part) == type_of(s) && part->w2 == s->w2)
      count = last ? abs - head_of(part) : std::max(head_of(part) - at, 0);
    else
      count = part_count(s, part);
    if (count <= 0) {
      // Widened: negating the most negative count overflows 32 bits.
      int64_t back = count == 0 ? 1 : -int64_t(count);
      count = last || back > at ? 0 : int32_t(back);
      start = at - count;
    } else {
      count = std::min(count, len);
      if (last) start = abs - count;
    }
  } else if (last) {
    start = abs - 1;
  }
  int32_t requested = count;
  bool owned = notify(s, ownership::TAKE, nullptr, at, requested);
  abs = abs_length(buffer_of(s));  // the owner's hook may have shortened it
  start = std::min(start, abs);
  count = std::min(count, abs - start);
  uint32_t node = copy_elements(s, start, count);
  collector::root_node keep(node);  // reindexing and the owner's hook may collect
  series_buffer* b = buffer_of(s);
  bool indexed = unindex_removed(s, start, count, abs_length(b));
  if (count) {
    if (start + count >= abs_length(b)) b->tail = arena::offset_of(element(b, start));
    else shift_down(b, start, start + count);
  }
  if (!indexed) reindex(s);
  uint32_t t = type_of(s);
  cell result{t, 0, node, t == TYPE_VECTOR ? s->w3 : 0};
  if (owned) notify(s, ownership::TAKEN, nullptr, at, requested);
  *s = result;
  if (t == TYPE_HASH) s->w3 = hashtable::init(uint32_t(count), s, hashtable::HASH, 1);
  return s;
}

cell* move(cell* origin, cell* target, const cell* part) {
  uint32_t to = type_of(target), from = type_of(origin);
  if (!series_value_q(to)) {
    cell t;
    datatype::make_at(&t, to);
    error::fire(err::cat_script, err::script::expect_arg, nullptr, &t);
  }
  if (ks_tail_q(origin)) return target;
  int32_t count = 1;
  if (part) {
    count = std::min(part_count(origin, part), get_length(origin, false));
    if (count < 1) return target;
  }
  int32_t src = head_of(origin);
  if (origin->w2 != target->w2) {
    if (block_family_q(from) != block_family_q(to)) move_bad(origin, target);
    series_buffer* ob = buffer_of(origin);
    series_buffer* tb = buffer_of(target);
    bool units_differ = ob->unit() != tb->unit();
    if (units_differ && (from == TYPE_BINARY || to == TYPE_BINARY || from == TYPE_VECTOR || to == TYPE_VECTOR))
      move_bad(origin, target);
    bool owned = notify(target, ownership::MOVE, origin, src, count);
    count = std::min(count, std::max(abs_length(buffer_of(origin)) - src, 0));  // after the owner's hook
    int32_t dst = std::min(std::max(head_of(target), 0), abs_length(buffer_of(target)));
    if (units_differ) {
      // Text of another width: the string layer converts while inserting.
      cell piece = *origin;
      collector::root_cells keep(&piece);
      string::concatenate(target, &piece, count, dst - head_of(target), true, string::CONCAT_INSERT);
      string::remove_part(origin, uint32_t(src), uint32_t(count));
    } else {
      uint32_t sh = shift_of(tb);
      uint64_t need = uint64_t(tb->used()) + (uint64_t(count) << sh);
      if (tb->head + need > arena::offset_of(tb->end())) {
        collector::root_cells keep(origin);
        tb = memory::expand_series(tb, int64_t(need * 2));
        ob = buffer_of(origin);
      }
      uint8_t* gap = element(tb, dst);
      size_t bytes = size_t(count) << sh;
      std::memmove(gap + bytes, gap, size_t(tb->tail_ptr() - gap));
      tb->tail += uint32_t(bytes);
      std::memcpy(gap, element(ob, src), bytes);
      shift_down(ob, src, src + count);
      reindex(origin);
      reindex(target);
    }
    if (owned) notify(target, ownership::MOVED, nullptr, dst, count);
    return target;
  }
  // Within one buffer.
  series_buffer* b = buffer_of(origin);
  int32_t len = abs_length(b);
  int32_t dst = head_of(target);
  if (dst == src) return target;
  if (dst > src && dst < len && (dst - src < count || len - dst < count)) return origin;
  dst = std::min(dst, len);
  bool owned = notify(target, ownership::MOVE, origin, src, count);
  b = buffer_of(origin);
  if (src + count > abs_length(b) || dst > abs_length(b)) return target;  // the owner's hook shortened it
  uint32_t sh = shift_of(b);
  uint8_t* base = b->head_ptr();
  auto range = [&](int32_t i) { return base + (size_t(i) << sh); };
  // Rotations in place: the same result as copying the run out and back.
  if (dst > src) std::rotate(range(src), range(src + count), range(dst == len ? len : dst + 1));
  else std::rotate(range(dst), range(src), range(src + count));
  reindex(target);
  if (owned) notify(target, ownership::MOVED, nullptr, head_of(target) - count, count);
  return target;
}

cell* copy(cell* value, cell* result, const cell* part, bool, const cell*) {
  series_buffer* b = buffer_of(value);
  int32_t abs = abs_length(b);
  int32_t start = std::max(head_of(value), 0);
  int32_t count = std::max(abs - start, 0);
  if (part) {
    if (type_of(part) == TYPE_PAIR) {
      // Wide: the corners may lie anywhere in the 32-bit range.
      int64_t x = int32_t(part->w2), y = int32_t(part->w3);
      start = int32_t(std::clamp<int64_t>(head_of(value) + (x > 0 ? x - 1 : x), 0, abs));
      count = int32_t(std::clamp<int64_t>(y - x, 0, abs));
    } else {
      count = part_count(value, part);
    }
    if (count < 0) {
      if (start + count < 0) {
        count = start;
        start = 0;
      } else {
        start += count;
        count = -count;
      }
    }
  }
  if (start > abs) {
    start = abs;
    count = 0;
  }
  count = std::min(count, abs - start);
  cell source = *value;
  collector::root_cells keep(&source);
  uint32_t node = copy_elements(&source, start, count);
  uint32_t t = type_of(&source);
  *result = cell{source.header & (FLAG_TYPE_MASK | FLAG_NEW_LINE), 0, node, t == TYPE_VECTOR ? source.w3 : 0};
  return result;
}

void init() {
  datatype::registration(TYPE_SERIES, 0, "series!")
      .set<ACT_RANDOM>(random)
      .set<ACT_AT>(at)
      .set<ACT_BACK>(back)
      .set<ACT_CLEAR>(clear)
      .set<ACT_COPY>(copy)
      .set<ACT_HEAD>(head)
      .set<ACT_HEAD_Q>(head_q)
      .set<ACT_INDEX_Q>(index_q)
      .set<ACT_LENGTH_Q>(length_q)
      .set<ACT_MOVE>(move)
      .set<ACT_NEXT>(next)
      .set<ACT_PICK>(pick)
      .set<ACT_POKE>(poke)
      .set<ACT_REMOVE>(remove)
      .set<ACT_REVERSE>(reverse)
      .set<ACT_SKIP>(skip)
      .set<ACT_TAIL>(tail)
      .set<ACT_TAIL_Q>(tail_q)
      .set<ACT_TAKE>(take)
      .set<ACT_REFLECT>(reflect)
      .set<ACT_MODIFY>(modify)
      .commit();
}

}  // namespace kez::series
