#include "runtime/datatypes/string.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <vector>

#include "runtime/actions.h"
#include "runtime/case_map.h"
#include "runtime/collector.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/series.h"
#include "runtime/ownership.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"
#include "runtime/utf.h"

namespace kez::string {

namespace {

// Buffers never exceed what a signed 32-bit byte count can describe.
constexpr uint64_t MAX_BYTES = 0x7FFFFFF0;

[[noreturn]] void no_memory() { error::fire(err::cat_internal, err::internal::no_memory); }

inline uint32_t shift_of(uint32_t unit) { return unit >> 1; }  // 1 -> 0, 2 -> 1, 4 -> 2
inline uint32_t chars_of(const series_buffer* b) { return b->used() >> shift_of(b->unit()); }
inline uint8_t* at(series_buffer* b, uint32_t index) { return b->head_ptr() + (index << shift_of(b->unit())); }
inline uint32_t capacity_of(series_buffer* b) { return uint32_t(b->end() - b->head_ptr()); }

inline bool any_block_q(uint32_t type) { return type == TYPE_BLOCK || type == TYPE_PAREN || type == TYPE_HASH; }

// The unit a code point needs: appending keeps unit 1 for ASCII only, the
// other writers for all of Latin-1.
inline uint32_t unit_to_append(int32_t cp) { return cp <= 0x7F ? 1 : cp <= 0xFFFF ? 2 : 4; }
inline uint32_t unit_to_insert(int32_t cp) { return cp <= 0xFF ? 1 : cp <= 0xFFFF ? 2 : 4; }

// Head index clamped to 0 .. the text length.
uint32_t head_of(const cell* s, const series_buffer* b) {
  int32_t h = int32_t(s->w1);
  uint32_t n = chars_of(b);
  return h < 0 ? 0 : std::min(uint32_t(h), n);
}

// Ensures room for `bytes` bytes from the buffer's head: grows to the larger
// of twice the size and the need (so repeated growth stays linear).
series_buffer* reserve(series_buffer* b, uint64_t bytes) {
  if (bytes <= capacity_of(b)) return b;
  if (bytes > MAX_BYTES) no_memory();
  uint64_t size = std::max<uint64_t>(uint64_t(b->size) * 2, bytes);
  size = std::min<uint64_t>((size + 15) & ~uint64_t(15), MAX_BYTES);  // a multiple of 16, >= bytes
  return memory::expand_series(b, int64_t(size));
}

// A unit buffer view of a series buffer for the routines of runtime/utf.h;
// `owner` is the series_buffer* variable that follows growth.
void grow_text(utf::text_buffer& t, size_t bytes) {
  auto& b = *static_cast<series_buffer**>(t.owner);
  b->tail = b->head + uint32_t(t.used * t.unit);
  b = reserve(b, bytes);
  t.data = b->head_ptr();
  t.capacity = capacity_of(b);
}

utf::text_buffer text_of(series_buffer*& b) {
  uint32_t unit = unit_of(b);
  return utf::text_buffer{b->head_ptr(), chars_of(b), capacity_of(b), int(unit), grow_text, &b};
}

void sync(series_buffer* b, const utf::text_buffer& t) {
  b->flags = (b->flags & ~SERIES_UNIT_MASK) | uint32_t(t.unit);
  b->tail = b->head + uint32_t(t.used * t.unit);
}

void set_unit(series_buffer* b, uint32_t unit) { b->flags = (b->flags & ~SERIES_UNIT_MASK) | unit; }

// Bytes held by the arena may move at the next allocation: loaders that
// allocate work from a private copy of them.
struct stable_bytes {
  std::vector<uint8_t> copy;
  const uint8_t* p;
  stable_bytes(const void* bytes, size_t n) : p(static_cast<const uint8_t*>(bytes)) {
    if (n && arena::contains(bytes)) {
      copy.assign(p, p + n);
      p = copy.data();
    }
  }
};

}  // namespace

uint32_t head_index(const cell* s) { return head_of(s, buffer_of(s)); }

void bad_unit() { runtime::quit(runtime::RT_NO_SWITCH, reinterpret_cast<uintptr_t>(&bad_unit)); }

// --- Constructors ------------------------------------------------------------

cell* make_at_unit(cell* target, uint32_t chars, uint32_t unit) {
  target->header = TYPE_UNSET;  // a cell under construction
  uint32_t node = memory::alloc_codepoints(chars ? chars : 1, unit);
  *target = cell{TYPE_STRING, 0, node, 0};
  return target;
}

cell* make_at(cell* target, uint32_t size) { return make_at_unit(target, size ? size : 1, 1); }

cell* push(const cell* value) { return stack::push(value); }

// --- Raw accessors -------------------------------------------------------------

uint8_t* ks_head(cell* s) {
  series_buffer* b = buffer_of(s);
  uint32_t n = chars_of(b);
  if (int32_t(s->w1) > int32_t(n)) s->w1 = n;
  return at(b, head_of(s, b));
}

uint8_t* ks_tail(const cell* s) { return buffer_of(s)->tail_ptr(); }

bool ks_tail_q(const cell* s) { return int32_t(s->w1) >= int32_t(chars_of(buffer_of(s))); }

int32_t ks_length_q(const cell* s) {
  series_buffer* b = buffer_of(s);
  return int32_t(chars_of(b) - head_of(s, b));
}

int32_t ks_abs_length_q(const cell* s) { return int32_t(chars_of(buffer_of(s))); }

bool ks_skip(cell* s, int32_t n) {
  int64_t h = int64_t(int32_t(s->w1)) + n;
  int64_t len = chars_of(buffer_of(s));
  if (h <= len) s->w1 = uint32_t(int32_t(std::max<int64_t>(h, 0)));
  return int32_t(s->w1) >= len;
}

int32_t ks_abs_at(const cell* s, int32_t index) {
  series_buffer* b = buffer_of(s);
  return utf::get(b->head_ptr(), int(unit_of(b)), uint32_t(index));
}

void ks_reset(cell* s) {
  series_buffer* b = buffer_of(s);
  set_unit(b, 1);
  b->tail = b->head;
  s->w1 = 0;
}

int32_t ks_find_char(const cell* s, int32_t cp) {
  series_buffer* b = buffer_of(s);
  int unit = int(unit_of(b));
  for (uint32_t i = head_of(s, b), n = chars_of(b), h = i; i < n; ++i)
    if (utf::get(b->head_ptr(), unit, i) == cp) return int32_t(i - h);
  return -1;
}

int32_t get_char(const uint8_t* p, uint32_t unit) { return utf::get(p, int(unit), 0); }

void truncate(series_buffer* b, int32_t n) {
  if (n < 0) return;
  uint64_t bytes = uint64_t(n) << shift_of(unit_of(b));
  if (bytes <= b->size && b->head + bytes < b->tail) b->tail = b->head + uint32_t(bytes);
}

bool has_char_q(const cell* s, int32_t cp, int32_t record, bool strict) {
  series_buffer* b = buffer_of(s);
  int unit = int(unit_of(b));
  if (record < 1) record = 1;
  if (!strict) cp = case_::convert(cp, case_::lower);
  for (uint32_t i = head_of(s, b), n = chars_of(b); i < n; i += uint32_t(record)) {
    int32_t c = utf::get(b->head_ptr(), unit, i);
    if ((strict ? c : case_::convert(c, case_::lower)) == cp) return true;
  }
  return false;
}

bool starts_with_cstr_q(const cell* s, const char* text) {
  series_buffer* b = buffer_of(s);
  int unit = int(unit_of(b));
  uint32_t i = head_of(s, b), n = chars_of(b);
  for (; *text; ++text, ++i)
    if (i >= n || utf::get(b->head_ptr(), unit, i) != uint8_t(*text)) return false;
  return true;
}

// --- Character primitives -------------------------------------------------------

series_buffer* widen_to(series_buffer* b, uint32_t unit) {
  if (unit <= unit_of(b)) return b;
  utf::text_buffer t = text_of(b);
  utf::widen(t, int(unit), t.used + 1);
  sync(b, t);
  return b;
}

series_buffer* append_char(series_buffer* b, int32_t cp) {
  b = widen_to(b, unit_to_append(cp));
  uint32_t unit = b->unit();
  b = reserve(b, uint64_t(b->used()) + unit);
  utf::put(b->tail_ptr(), int(unit), 0, cp);
  b->tail += unit;
  return b;
}

series_buffer* insert_char_at(series_buffer* b, uint32_t index, int32_t cp) {
  b = widen_to(b, unit_to_insert(cp));
  uint32_t unit = b->unit();
  b = reserve(b, uint64_t(b->used()) + unit);
  index = std::min(index, chars_of(b));
  uint8_t* p = at(b, index);
  std::memmove(p + unit, p, b->tail_ptr() - p);
  b->tail += unit;
  utf::put(p, int(unit), 0, cp);
  return b;
}

series_buffer* put_char_at(series_buffer* b, uint32_t index, int32_t cp) {
  b = widen_to(b, unit_to_insert(cp));
  uint32_t unit = b->unit();
  b = reserve(b, (uint64_t(index) + 1) * unit);
  uint8_t* p = at(b, index);
  if (p >= b->tail_ptr()) {
    memory::fill(b->tail_ptr(), p, 0);
    b->tail = arena::offset_of(p) + unit;
  }
  utf::put(p, int(unit), 0, cp);
  return b;
}

void remove_part(cell* s, uint32_t index, uint32_t n) {
  series_buffer* b = buffer_of(s);
  uint32_t len = chars_of(b);
  if (index >= len) return;
  n = std::min(n, len - index);
  uint8_t* p = at(b, index);
  uint8_t* q = at(b, index + n);
  std::memmove(p, q, b->tail_ptr() - q);
  b->tail -= n << shift_of(b->unit());
}

void remove_char(cell* s, uint32_t index) { remove_part(s, index, 1); }

void concatenate_bytes(cell* s, const uint8_t* bytes, size_t n) {
  stable_bytes src(bytes, n);
  // One widening and one reservation for the whole run (as many appends of
  // one character would end), then a plain copy.
  int32_t widest = 0;
  for (size_t i = 0; i < n; ++i) widest = std::max<int32_t>(widest, src.p[i]);
  series_buffer* b = widen_to(buffer_of(s), unit_to_append(widest));
  uint32_t unit = b->unit();
  b = reserve(b, uint64_t(b->used()) + uint64_t(n) * unit);
  uint8_t* tail = b->tail_ptr();
  if (unit == 1) {
    std::memcpy(tail, src.p, n);
  } else {
    for (size_t i = 0; i < n; ++i) utf::put(tail, int(unit), uint32_t(i), src.p[i]);
  }
  b->tail += uint32_t(n * unit);
}

void concatenate_literal(cell* s, const char* latin1) {
  concatenate_bytes(s, reinterpret_cast<const uint8_t*>(latin1), std::strlen(latin1));
}

void concatenate(cell* dst, cell* src, int32_t limit, int32_t offset, bool keep, int mode) {
  uint32_t ud = unit_of(buffer_of(dst));
  uint32_t us = unit_of(buffer_of(src));
  if (ud < us) {
    widen_to(buffer_of(dst), us);
    ud = us;
  } else if (us < ud && !keep) {
    widen_to(buffer_of(src), ud);
    us = ud;
  }
  series_buffer* s = buffer_of(src);
  uint32_t start = head_of(src, s);
  uint32_t count = chars_of(s) - start;
  if (limit >= 0 && uint32_t(limit) < count) count = uint32_t(limit);
  if (count == 0) return;
  uint64_t bytes = uint64_t(count) * ud;
  series_buffer* d = buffer_of(dst);
  if (uint64_t(d->used()) + bytes > capacity_of(d)) d = reserve(d, 2 * (uint64_t(d->used()) + bytes));
  s = buffer_of(src);  // the growth may have moved it (or it is the same buffer)
  // A source in the destination's own buffer is read from a copy, since
  // opening the gap may shift it.
  std::vector<uint8_t> own;
  const uint8_t* from = at(s, start);
  if (s == d) {
    own.assign(from, from + (uint64_t(count) << shift_of(us)));
    from = own.data();
  }
  uint8_t* to;
  if (mode == CONCAT_APPEND) {
    to = d->tail_ptr();
  } else {
    to = at(d, std::min(head_of(dst, d) + uint32_t(std::max(offset, 0)), chars_of(d)));
    if (mode == CONCAT_INSERT) std::memmove(to + bytes, to, d->tail_ptr() - to);
  }
  if (us == ud) {
    std::memmove(to, from, bytes);
  } else {
    for (uint32_t i = 0; i < count; ++i) utf::put(to, int(ud), i, utf::get(from, int(us), i));
  }
  if (mode == CONCAT_OVERWRITE) d->tail = std::max(d->tail, arena::offset_of(to) + uint32_t(bytes));
  else d->tail += uint32_t(bytes);
}

void move_chars(cell* src, uint32_t count, cell* dst) {
  series_buffer* s = buffer_of(src);
  uint32_t from = head_of(src, s);
  count = std::min(count, chars_of(s) - from);
  uint32_t to = head_of(dst, buffer_of(dst));
  for (uint32_t i = 0; i < count; ++i) {
    int32_t cp = ks_abs_at(src, int32_t(from + i));  // read again: inserting may move src
    insert_char_at(buffer_of(dst), to + i, cp);
  }
  remove_part(src, from, count);
}

// --- UTF-8 and UTF-16 borders -----------------------------------------------------

uint32_t load_utf8(const uint8_t* bytes, size_t n, uint32_t target, size_t* remainder, bool crlf) {
  stable_bytes src(bytes, n);
  uint32_t node = target;
  collector::root_node hold(node);
  if (!node) node = memory::alloc_codepoints(uint32_t(std::max<size_t>(n, 1)), 1);
  series_buffer* b = memory::buffer_of(node);
  if (target && n) b = reserve(b, uint64_t(b->used()) + uint64_t(n) * unit_of(b));
  utf::text_buffer t = text_of(b);
  size_t left = utf::load_utf8(t, src.p, n, crlf);
  sync(b, t);
  if (remainder) *remainder = left;
  return b->node;
}

void load_utf8_into(const uint8_t* bytes, size_t n, cell* s, size_t* remainder) {
  s->w2 = load_utf8(bytes, n, s->w2, remainder, false);
}

uint32_t make_from_utf8(const uint8_t* bytes, size_t n) { return load_utf8(bytes, n, 0, nullptr, false); }

uint32_t load_utf16(const uint16_t* units, size_t count, cell* s, bool crlf, bool lenient) {
  uint32_t node = s ? s->w2 : 0;
  std::vector<uint16_t> scratch_copy;
  if (!units) {  // the text an outside writer left in s's export scratch
    assert(s && s->w3);
    units = reinterpret_cast<const uint16_t*>(memory::buffer_of(s->w3)->head_ptr());
  }
  if (count && arena::contains(units)) {
    scratch_copy.assign(units, units + count);
    units = scratch_copy.data();
  }
  collector::root_node hold(node);
  if (!node) node = memory::alloc_codepoints(uint32_t(std::max<size_t>(count, 1)), 2);
  series_buffer* b = memory::buffer_of(node);
  utf::text_buffer t = text_of(b);
  utf::load_utf16(t, units, count, crlf, lenient ? utf::lone_surrogate::replace : utf::lone_surrogate::raise);
  sync(b, t);
  if (s) s->w2 = b->node;
  return b->node;
}

cell* load_in(const uint8_t* bytes, size_t size, cell* target, int encoding) {
  if (!target) target = stack::push_cell();
  *target = cell{TYPE_UNSET, 0, 0, 0};
  uint32_t node;
  switch (encoding) {
    case 0: node = make_from_utf8(bytes, size); break;
    case -1: {
      std::vector<uint16_t> units(size / 2);
      if (!units.empty()) std::memcpy(units.data(), bytes, units.size() * 2);
      // No units is an empty text, not the null that names the export scratch.
      static const uint16_t no_units = 0;
      node = load_utf16(units.empty() ? &no_units : units.data(), units.size(), nullptr, false);
      break;
    }
    default: {
      cell code{TYPE_INTEGER, 0, uint32_t(encoding), 0};
      error::fire(err::cat_script, err::script::invalid_arg, &code);
    }
  }
  *target = cell{TYPE_STRING, 0, node, 0};
  return target;
}

cell* load_in_block(cell* block, const uint8_t* bytes, size_t size, int encoding) {
  cell* made = load_in(bytes, size, nullptr, encoding);  // rooted on the stack meanwhile
  auto* c = reinterpret_cast<cell*>(series::make_room(memory::buffer_of(block->w2), sizeof(cell)));
  *c = *made;
  stack::pop(1);
  return c;
}

uint8_t* utf8_scratch(cell* s, uint32_t n) {
  if (!s->w3 || memory::buffer_of(s->w3)->size < n) {
    uint32_t node = memory::alloc_bytes(n);
    s->w3 = node;
  }
  return memory::buffer_of(s->w3)->head_ptr();
}

namespace {

// The text to export: from the head, at most `length` characters (-1: all).
uint32_t export_count(const cell* s, int32_t length) {
  uint32_t n = uint32_t(ks_length_q(s));
  return length >= 0 && uint32_t(length) < n ? uint32_t(length) : n;
}

}  // namespace

const uint8_t* utf8_bytes(cell* s, int32_t& length, bool crlf) {
  uint32_t count = export_count(s, length);
  uint64_t size = utf::utf8_export_size(count, int(unit_of(buffer_of(s))));
  if (size > MAX_BYTES) no_memory();
  uint8_t* out = utf8_scratch(s, uint32_t(size));
  series_buffer* b = buffer_of(s);  // read after the scratch's allocation
  length = int32_t(utf::export_utf8(at(b, head_of(s, b)), count, int(unit_of(b)), out, crlf));
  return out;
}

const uint16_t* to_utf16_part(cell* s, int32_t& length, bool crlf) {
  uint32_t count = export_count(s, length);
  series_buffer* b = buffer_of(s);
  uint64_t size = uint64_t(utf::utf16_export_size(at(b, head_of(s, b)), count, int(unit_of(b)))) * 2;
  if (size > MAX_BYTES) no_memory();
  auto* out = reinterpret_cast<uint16_t*>(utf8_scratch(s, uint32_t(size)));
  b = buffer_of(s);
  ptrdiff_t n = utf::export_utf16(at(b, head_of(s, b)), count, int(unit_of(b)), out, crlf);
  if (n < 0) {
    length = 0;
    return nullptr;
  }
  length = int32_t(n);
  return out;
}

const uint16_t* to_cstr(cell* s) {
  int32_t length = -1;
  return to_utf16_part(s, length, true);
}

// --- Editing actions ----------------------------------------------------------------

namespace {

enum add_rules : int {
  ADD_APPEND,  // chars widen past ASCII; a narrower source text is widened in place
  ADD_INSERT,  // chars keep unit 1 up to 255; the source text is left as it is
};

[[noreturn]] void fire_with_type(int category, int id, const cell* value, uint32_t type) {
  cell kind;
  datatype::make_at(&kind, type);
  error::fire(category, id, &kind, value);
}

// Forms every value of a block from its head into dst: /only makes part a
// budget of characters, otherwise it counts values.
void form_block(cell* dst, const cell* block, int32_t part, bool only) {
  uint32_t start = std::max<int32_t>(int32_t(block->w1), 0);
  uint32_t start_chars = chars_of(buffer_of(dst));
  for (uint32_t i = start;; ++i) {
    series_buffer* b = memory::buffer_of(block->w2);  // forming may move it
    if (i >= b->used() / sizeof(cell)) break;
    if (!only && part >= 0 && i - start >= uint32_t(part)) break;
    cell item = b->head_cell()[i];
    collector::root_cells hold(&item);
    actions::form_dispatch(&item, dst, nullptr, 0x7FFFFFFF);
  }
  if (only && part >= 0) truncate(buffer_of(dst), int32_t(start_chars) + part);
}

// Repeats the text [from, tail) until it has been written `dup` times in all,
// doubling the copied run each step.
void repeat_tail(cell* dst, uint32_t from, int32_t dup) {
  series_buffer* b = buffer_of(dst);
  uint64_t run = b->tail - arena::offset_of(at(b, from));
  uint64_t total = run * uint64_t(dup);
  if (dup < 2 || run == 0) return;
  if (total / uint64_t(dup) != run) no_memory();
  b = reserve(b, uint64_t(at(b, from) - b->head_ptr()) + total);
  uint8_t* start = at(b, from);
  for (uint64_t done = run; done < total;) {
    uint64_t n = std::min(done, total - done);
    std::memcpy(start + done, start, n);
    done += n;
  }
  b->tail = arena::offset_of(start) + uint32_t(total);
}

// Adds the value's text (dup times) at dst's tail and answers the characters
// added. Strings and chars are copied; any other value is formed.
uint32_t add_at_tail(cell* dst, const cell* value, int32_t part, bool only, int32_t dup, add_rules rules) {
  uint32_t type = type_of(value);
  uint32_t before = chars_of(buffer_of(dst));
  if (type == TYPE_CHAR || any_string_q(type)) {
    uint64_t count = type == TYPE_CHAR ? 1 : uint64_t(ks_length_q(value)) + (type == TYPE_TAG ? 2 : 0);
    if (part >= 0 && uint64_t(part) < count) count = uint64_t(part);
    uint32_t need = type == TYPE_CHAR ? unit_to_append(int32_t(value->w2)) : unit_of(buffer_of(value));
    series_buffer* b = buffer_of(dst);
    uint32_t unit = std::max(unit_of(b), need);
    uint64_t bytes = (count * uint64_t(std::max(dup, 1)) + before) * unit;
    if (bytes > MAX_BYTES) no_memory();
    b = reserve(b, b->used() + count * unit);
    if (type == TYPE_CHAR) {
      if (count) {
        int32_t cp = int32_t(value->w2);
        if (rules == ADD_APPEND) append_char(b, cp);
        else insert_char_at(b, before, cp);
      }
    } else {
      cell text = *value;  // the source; its head is clamped here, not in its owner
      collector::root_cells hold(&text);
      int64_t budget = int64_t(count);
      if (type == TYPE_TAG && budget > 0) {
        append_char(buffer_of(dst), '<');
        --budget;
      }
      if (budget > 0) {
        int32_t n = int32_t(std::min<int64_t>(budget, ks_length_q(&text)));
        concatenate(dst, &text, n, 0, rules == ADD_INSERT, CONCAT_APPEND);
        budget -= n;
      }
      if (type == TYPE_TAG && budget > 0) append_char(buffer_of(dst), '>');
    }
  } else if (any_block_q(type)) {
    form_block(dst, value, part, only);
  } else {
    actions::form_dispatch(value, dst, nullptr, 0x7FFFFFFF);
    if (part >= 0) truncate(buffer_of(dst), int32_t(before) + part);
  }
  repeat_tail(dst, before, dup);
  return chars_of(buffer_of(dst)) - before;
}

// Brings the text added at the tail (from `old_tail` on) to index h.
void rotate_into_place(cell* s, uint32_t h, uint32_t old_tail) {
  series_buffer* b = buffer_of(s);
  std::rotate(at(b, h), at(b, old_tail), b->tail_ptr());
}

}  // namespace

namespace {

// The characters an edit is about to add, as far as they are known before
// it (a formed value counts 0 until it is formed).
int32_t expected_count(const cell* value, int32_t part, int32_t dup) {
  uint32_t type = type_of(value);
  int64_t n = type == TYPE_CHAR ? 1 : any_string_q(type) ? ks_length_q(value) + (type == TYPE_TAG ? 2 : 0) : 0;
  if (part >= 0 && part < n) n = part;
  return int32_t(std::min<int64_t>(n * std::max(dup, 1), INT32_MAX));
}

}  // namespace

namespace {

// Bytes of one unit added at the tail of a text nobody owns, when they fit
// without growth: nothing allocates and no hook runs. False: nothing done.
[[gnu::always_inline]] inline bool append_in_place(cell* series, const uint8_t* bytes, uint32_t count, uint32_t unit) {
  series_buffer* d = buffer_of(series);
  if (d->unit() != unit || (d->flags & SERIES_OWNED)) return false;
  if (uint64_t(d->used()) + count > capacity_of(d)) return false;
  uint8_t* to = d->tail_ptr();
  if (count <= 16) {
    // Two copies of a fixed width that may overlap, rather than a loop.
    if (count >= 8) {
      std::memcpy(to, bytes, 8);
      std::memcpy(to + count - 8, bytes + count - 8, 8);
    } else if (count >= 4) {
      std::memcpy(to, bytes, 4);
      std::memcpy(to + count - 4, bytes + count - 4, 4);
    } else if (count) {
      to[0] = bytes[0];
      to[count >> 1] = bytes[count >> 1];
      to[count - 1] = bytes[count - 1];
    }
  } else {
    std::memcpy(to, bytes, count);
  }
  d->tail += count;
  series::to_head(series);
  return true;
}

}  // namespace

namespace {

// Any append but the in-place ones: apart, so that those save no registers.
[[gnu::noinline]] cell* append_general(cell* series, const cell* value, int32_t part, bool only, int32_t dup) {
  int32_t at = int32_t(chars_of(buffer_of(series)));
  bool owned = ownership::notify(series, ownership::APPEND, value, at, expected_count(value, part, dup));
  uint32_t added = add_at_tail(series, value, part, only, dup, ADD_APPEND);
  series->w1 = 0;
  if (owned) ownership::notify(series, ownership::APPENDED, value, at, int32_t(added));
  return series;
}

// The digits of an integer!, once and whole: apart for the same reason (the
// forming is a call).
[[gnu::noinline]] cell* append_integer(cell* series, const cell* value) {
  uint32_t length;
  const char* digits = integer::form_signed(int32_t(value->w2), length);
  if (append_in_place(series, reinterpret_cast<const uint8_t*>(digits), length, 1)) return series;
  return append_general(series, value, -1, false, 1);
}

[[gnu::noinline]] cell* insert_general(cell* series, const cell* value, int32_t part, bool only, int32_t dup) {
  series_buffer* b = buffer_of(series);
  uint32_t h = head_of(series, b);
  uint32_t old_tail = chars_of(b);
  bool at_tail = h == old_tail;
  bool owned = ownership::notify(series, ownership::INSERT, value, int32_t(h), expected_count(value, part, dup));
  uint32_t added = add_at_tail(series, value, part, only, dup, at_tail ? ADD_APPEND : ADD_INSERT);
  if (!at_tail) rotate_into_place(series, h, old_tail);
  series->w1 = std::min(h + added, uint32_t(chars_of(buffer_of(series))));
  if (owned) ownership::notify(series, ownership::INSERTED, value, int32_t(h), int32_t(added));
  return series;
}

}  // namespace

cell* append(cell* series, const cell* value, int32_t part, bool only, int32_t dup, bool) {
  // The commonest appends, once and whole: a string! of the same unit and
  // the digits of an integer!.
  if (part < 0 && dup == 1) {
    if (type_of(value) == TYPE_STRING) {
      series_buffer* s = buffer_of(value);
      uint32_t unit = s->unit();
      if (s != buffer_of(series) && (unit == 1 || unit == 2 || unit == 4)) {
        uint32_t start = head_of(value, s);
        if (append_in_place(series, at(s, start), (chars_of(s) - start) << shift_of(unit), unit)) return series;
      }
      // Only the known arguments go on (/only means nothing for a text), so
      // that the others need not be kept in registers above.
      return append_general(series, value, -1, false, 1);
    }
    if (type_of(value) == TYPE_INTEGER) return append_integer(series, value);
  }
  return append_general(series, value, part, only, dup);
}

cell* insert(cell* series, const cell* value, int32_t part, bool only, int32_t dup, bool append_q) {
  if (append_q) return append(series, value, part, only, dup, true);
  return insert_general(series, value, part, only, dup);
}

cell* change(cell* series, const cell* value, int32_t part, bool only, int32_t dup) {
  series_buffer* b = buffer_of(series);
  uint32_t h = head_of(series, b);
  series->w1 = h;
  uint32_t old_tail = chars_of(b);
  uint32_t left = old_tail - h;
  int32_t expected = part >= 0 ? int32_t(std::min(uint32_t(part), left)) : expected_count(value, -1, dup);
  bool owned = ownership::notify(series, ownership::CHANGE, value, int32_t(h), expected);
  uint32_t added;
  if (h == old_tail) {
    added = add_at_tail(series, value, -1, only, dup, ADD_APPEND);
    series->w1 = chars_of(buffer_of(series));
  } else {
    added = add_at_tail(series, value, -1, only, dup, ADD_INSERT);
    uint32_t replaced = std::min(part >= 0 ? uint32_t(part) : added, left);
    rotate_into_place(series, h, old_tail);
    remove_part(series, h + added, replaced);
    series->w1 = std::min(h + added, uint32_t(chars_of(buffer_of(series))));
  }
  if (owned) ownership::notify(series, ownership::CHANGED, value, int32_t(h), int32_t(added));
  return series;
}

cell* swap(cell* series1, cell* series2) {
  uint32_t t2 = type_of(series2);
  if (!any_string_q(t2) && t2 != TYPE_BINARY) error::fire(err::cat_script, err::script::invalid_arg, series2);
  if (ks_length_q(series1) < 1 || ks_length_q(series2) < 1) return series1;
  uint32_t h1 = head_of(series1, buffer_of(series1));
  uint32_t h2 = head_of(series2, buffer_of(series2));
  int32_t c1 = ks_abs_at(series1, int32_t(h1));
  int32_t c2 = ks_abs_at(series2, int32_t(h2));
  if (t2 == TYPE_BINARY && c1 > 0xFF) error::fire(err::cat_script, err::script::invalid_arg, series1);
  bool owned1 = ownership::notify(series1, ownership::SWAP, nullptr, int32_t(h1), 1);
  bool owned2 = ownership::notify(series2, ownership::SWAP, nullptr, int32_t(h2), 1);
  put_char_at(buffer_of(series1), h1, c2);
  put_char_at(buffer_of(series2), h2, c1);
  if (owned1) ownership::notify(series1, ownership::SWAPED, nullptr, int32_t(h1), 1);
  if (owned2) ownership::notify(series2, ownership::SWAPED, nullptr, int32_t(h2), 1);
  return series1;
}

// The generic series take does the work; one character taken without /part
// comes back as a char! (a byte of a binary! as an integer!).
cell* take(cell* series, const cell* part, bool deep, bool last) {
  uint32_t type = type_of(series);
  cell* r = actions::get_action_ptr_from<ACT_TAKE>(TYPE_SERIES)(series, part, deep, last);
  if (part || type_of(r) != type || (!any_string_q(type) && type != TYPE_BINARY)) return r;
  series_buffer* b = memory::buffer_of(r->w2);
  uint32_t unit = type == TYPE_BINARY ? 1 : unit_of(b);
  if (b->used() != unit) return r;
  int32_t cp = utf::get(b->head_ptr(), int(unit), 0);
  *r = cell{type == TYPE_BINARY ? TYPE_INTEGER : TYPE_CHAR, 0, uint32_t(cp), 0};
  return r;
}

// --- trim ----------------------------------------------------------------------------

namespace {

// Whitespace of trim/lines and of the ends that plain trim cuts.
bool white_q(int32_t c) {
  return (c >= 1 && c <= 32) || c == 133 || c == 160 || c == 5760 || c == 6158 ||
         (c >= 8192 && c <= 8202) || c == 8232 || c == 8233 || c == 8239 || c == 8287 || c == 12288;
}
// What plain trim drops beside line feeds inside the text: spaces, tabs and
// the Unicode spaces of the set, not the other controls.
bool blank_q(int32_t c) { return c == 9 || c == 32 || (c > 32 && white_q(c) && c != 133); }

// The text from the head, read and rewritten in place (writes never pass reads).
struct text_run {
  series_buffer* b;
  int unit;
  uint32_t head, end;
  explicit text_run(cell* s) : b(buffer_of(s)), unit(int(unit_of(b))), head(head_of(s, b)), end(chars_of(b)) {}
  int32_t get(uint32_t i) const { return utf::get(b->head_ptr(), unit, i); }
  void put(uint32_t i, int32_t c) { utf::put(b->head_ptr(), unit, i, c); }
  void finish(uint32_t w) { b->tail = arena::offset_of(at(b, w)); }
};

void trim_with(cell* s, const cell* with) {
  std::vector<int32_t> set{9, 10, 13, 32};
  if (with) {
    set.clear();
    uint32_t t = type_of(with);
    if (t == TYPE_CHAR || t == TYPE_INTEGER) {
      set.push_back(int32_t(with->w2));
    } else if (any_string_q(t) || t == TYPE_BINARY) {
      series_buffer* wb = memory::buffer_of(with->w2);
      int unit = t == TYPE_BINARY ? 1 : int(unit_of(wb));
      uint32_t n = wb->used() / uint32_t(unit);
      for (uint32_t i = std::max<int32_t>(int32_t(with->w1), 0); i < n; ++i) set.push_back(utf::get(wb->head_ptr(), unit, i));
    } else {
      error::fire(err::cat_script, err::script::invalid_arg, with);
    }
  }
  text_run r(s);
  uint32_t w = r.head;
  for (uint32_t i = r.head; i < r.end; ++i) {
    int32_t c = r.get(i);
    if (std::find(set.begin(), set.end(), c) == set.end()) r.put(w++, c);
  }
  r.finish(w);
}

void trim_lines(cell* s) {
  text_run r(s);
  uint32_t w = r.head;
  bool pending_space = false;
  for (uint32_t i = r.head; i < r.end; ++i) {
    int32_t c = r.get(i);
    if (white_q(c)) {
      pending_space = w > r.head;
      continue;
    }
    if (pending_space) r.put(w++, ' ');
    pending_space = false;
    r.put(w++, c);
  }
  r.finish(w);
}

void trim_spaces(cell* s, bool head, bool tail) {
  text_run r(s);
  uint32_t start = r.head, end = r.end;
  if (!(tail && !head))
    while (start < end && white_q(r.get(start))) ++start;
  bool cut_line_feed = false;
  if (!(head && !tail))
    while (end > start && white_q(r.get(end - 1))) cut_line_feed |= r.get(--end) == 10;
  uint32_t w = r.head;
  if (head || tail) {
    for (uint32_t i = start; i < end; ++i) r.put(w++, r.get(i));
  } else {
    for (uint32_t i = start; i < end;) {
      uint32_t line_end = i;
      while (line_end < end && r.get(line_end) != 10) ++line_end;
      uint32_t a = i, z = line_end;
      while (a < z && blank_q(r.get(a))) ++a;
      if (line_end < end)
        while (z > a && blank_q(r.get(z - 1))) --z;
      for (uint32_t k = a; k < z; ++k) r.put(w++, r.get(k));
      if (line_end < end) r.put(w++, 10);
      i = line_end < end ? line_end + 1 : line_end;
    }
    if (cut_line_feed) r.put(w++, 10);
  }
  r.finish(w);
}

}  // namespace

cell* trim(cell* series, bool head, bool tail, bool auto_, bool lines, bool all, const cell* with) {
  if (auto_ && !all && !with) error::fire(err::cat_internal, err::internal::not_done);
  int32_t at = int32_t(head_of(series, buffer_of(series)));
  bool owned = ownership::notify(series, ownership::TRIM, nullptr, at, 0);
  if (all || with) trim_with(series, with);
  else if (lines) trim_lines(series);
  else trim_spaces(series, head, tail);
  if (owned) ownership::notify(series, ownership::TRIMMED, nullptr, at, 0);
  return series;
}

// --- make, to, form ----------------------------------------------------------------

cell* make(cell* proto, const cell* spec, uint32_t type) {
  uint32_t t = type_of(spec);
  if (t == TYPE_INTEGER || t == TYPE_FLOAT) {
    double size = t == TYPE_INTEGER ? double(int32_t(spec->w2)) : load_double(&spec->w2);
    if (!(size >= 0) || size > double(MAX_BYTES)) error::fire(err::cat_script, err::script::out_of_range, spec);
    make_at(proto, size < 1 ? 16 : uint32_t(size));
    proto->header = type;
    return proto;
  }
  if (type == TYPE_BINARY) {
    if (t == TYPE_MONEY) error::fire(err::cat_script, err::script::bad_make_arg, spec);
    return actions::get_action_ptr_from<ACT_TO>(TYPE_BINARY)(proto, spec, type);
  }
  return to(proto, spec, type);
}

cell* to(cell* proto, const cell* spec, uint32_t type) {
  uint32_t t = type_of(spec);
  if (t == TYPE_NONE) fire_with_type(err::cat_script, err::script::bad_to_arg, spec, type);
  if (any_string_q(t)) {
    series_buffer* b = buffer_of(spec);
    make_at_unit(proto, uint32_t(ks_length_q(spec)), unit_of(b));
    b = buffer_of(spec);
    series_buffer* nb = buffer_of(proto);
    uint32_t bytes = b->tail - arena::offset_of(at(b, head_of(spec, b)));
    std::memcpy(nb->head_ptr(), at(b, head_of(spec, b)), bytes);
    nb->tail = nb->head + bytes;
  } else if (t == TYPE_BINARY) {
    series_buffer* b = memory::buffer_of(spec->w2);
    uint32_t h = std::min<uint32_t>(std::max<int32_t>(int32_t(spec->w1), 0), b->used());
    size_t left = 0;
    *proto = cell{TYPE_UNSET, 0, 0, 0};
    proto->w2 = load_utf8(b->head_ptr() + h, b->used() - h, 0, &left, false);
    proto->header = TYPE_STRING;
    if (left) {
      // The bytes the reader left undecoded start the bad sequence.
      b = memory::buffer_of(spec->w2);
      utf8::fire_invalid(b->tail_ptr() - left, left);
    }
  } else {
    make_at(proto, 16);
    if (any_block_q(t)) add_at_tail(proto, spec, -1, false, 1, ADD_APPEND);
    else if (t == TYPE_REFINEMENT && type != TYPE_STRING)
      actions::mold_dispatch(spec, proto, false, false, false, nullptr, 0x7FFFFFFF, 0);
    else
      actions::form_dispatch(spec, proto, nullptr, 0x7FFFFFFF);
  }
  proto->header = type;
  return proto;
}

int32_t form(const cell* value, cell* buffer, const cell* arg, int32_t part) {
  cell text = *value;
  collector::root_cells hold(&text);
  // With a part argument a spent budget appends nothing (a negative limit
  // would mean no limit).
  concatenate(buffer, &text, arg ? std::max(part, 0) : -1, 0, true, CONCAT_APPEND);
  return part - ks_length_q(&text);
}

void init() {
  datatype::registration(TYPE_STRING, TYPE_SERIES, "string!")
      .inherit_all()
      .set<ACT_MAKE>(make)
      .set<ACT_TO>(to)
      .set<ACT_FORM>(form)
      .set<ACT_MOLD>(mold)
      .set<ACT_EVAL_PATH>(eval_path)
      .set<ACT_COMPARE>(compare)
      .set<ACT_FIND>(find)
      .set<ACT_SELECT>(select)
      .set<ACT_SORT>(sort)
      .set<ACT_APPEND>(append)
      .set<ACT_INSERT>(insert)
      .set<ACT_CHANGE>(change)
      .set<ACT_SWAP>(swap)
      .set<ACT_TAKE>(take)
      .set<ACT_TRIM>(trim)
      .commit();
}

}  // namespace kez::string
