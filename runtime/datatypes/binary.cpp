#include "runtime/datatypes/binary.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "runtime/actions.h"
#include "runtime/collector.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/string.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/utf.h"

namespace kez::binary {

namespace {

// Buffers never exceed what a signed 32-bit byte count can describe.
constexpr uint64_t MAX_BYTES = 0x7FFFFFF0;

using bytes_t = std::vector<uint8_t>;
using to_converter = cell* (*)(cell* proto, const cell* spec);

[[noreturn]] void no_memory() { error::fire(err::cat_internal, err::internal::no_memory); }
[[noreturn]] void invalid_arg(const cell* value) { error::fire(err::cat_script, err::script::invalid_arg, value); }
[[noreturn]] void bad_to_arg(const cell* value) {
  cell kind;
  datatype::make_at(&kind, TYPE_BINARY);
  error::fire(err::cat_script, err::script::bad_to_arg, &kind, value);
}

inline series_buffer* buffer_of(const cell* bin) { return memory::buffer_of(bin->w2); }
inline uint32_t capacity_of(series_buffer* b) { return uint32_t(b->end() - b->head_ptr()); }

inline bool any_string_q(uint32_t t) {
  return t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL || t == TYPE_TAG || t == TYPE_EMAIL ||
         t == TYPE_REF;
}
inline bool any_block_q(uint32_t t) { return t == TYPE_BLOCK || t == TYPE_PAREN || t == TYPE_HASH; }

// Head index clamped to 0 .. the used length (in units of `unit` bytes).
uint32_t head_of(const cell* value, uint32_t unit = 1) {
  series_buffer* b = memory::buffer_of(value->w2);
  int32_t h = int32_t(value->w1);
  uint32_t n = b->used() / unit;
  return h < 0 ? 0 : std::min(uint32_t(h), n);
}

// Ensures room for `bytes` bytes from the buffer's head: the default growth
// while that stays below twice the capacity, else exactly what is needed.
series_buffer* reserve(series_buffer* b, uint64_t bytes) {
  uint32_t capacity = capacity_of(b);
  if (bytes <= capacity) return b;
  if (bytes > MAX_BYTES) no_memory();
  uint64_t size = bytes < 2 * uint64_t(capacity) ? 2 * uint64_t(b->size) : bytes;
  size = std::min<uint64_t>((std::max<uint64_t>(size, bytes) + 15) & ~uint64_t(15), MAX_BYTES);
  return memory::expand_series(b, int64_t(size));
}

void put_utf8(bytes_t& out, int32_t cp) {
  uint8_t tmp[4];
  int n = utf8::encode_char(cp, tmp);
  out.insert(out.end(), tmp, tmp + n);
}

// The code points of an any-string! from its head, as UTF-8.
void text_bytes(const cell* text, bytes_t& out) {
  series_buffer* b = memory::buffer_of(text->w2);
  uint32_t unit = string::unit_of(b);
  uint32_t h = head_of(text, unit), n = b->used() / unit;
  const uint8_t* p = b->head_ptr();
  for (uint32_t i = h; i < n; ++i) put_utf8(out, string::get_char(p + i * unit, unit));
}

// The bytes of a binary! from its head.
void own_bytes(const cell* bin, bytes_t& out) {
  series_buffer* b = buffer_of(bin);
  uint32_t h = head_of(bin);
  out.insert(out.end(), b->head_ptr() + h, b->tail_ptr());
}

// A tuple keeps its length in header bits 19-22 and its bytes from word 1.
void tuple_bytes(const cell* tuple, bytes_t& out) {
  uint32_t n = (tuple->header >> 19) & 0xF;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(&tuple->w1);
  out.insert(out.end(), p, p + std::min<uint32_t>(n, 12));
}

// Nesting of blocks inside the value being converted: a block that holds
// itself would otherwise recurse without end.
constexpr int MAX_DEPTH = 512;

// The bytes that `to`, `insert` and `change` write for a value; a limit of -1
// takes everything, else it caps the bytes (or the values of a block).
// In form mode any other value writes the UTF-8 of its form.
void value_bytes(const cell* value, int32_t limit, bool form_mode, bytes_t& out, int depth = 0) {
  size_t start = out.size();
  uint32_t t = type_of(value);
  if (t == TYPE_CHAR) {
    put_utf8(out, integer::get(value));
  } else if (t == TYPE_INTEGER) {
    int32_t v = integer::get(value);
    if (v < -128 || v > 255) invalid_arg(value);
    out.push_back(uint8_t(v));
  } else if (t == TYPE_BINARY) {
    own_bytes(value, out);
  } else if (t == TYPE_TUPLE) {
    tuple_bytes(value, out);
  } else if (any_string_q(t)) {
    text_bytes(value, out);
  } else if (any_block_q(t)) {
    if (depth >= MAX_DEPTH) error::fire(err::cat_internal, err::internal::too_deep);
    // Cells are copied one by one: converting an element may allocate (form)
    // and move the block's buffer.
    uint32_t h = head_of(value, sizeof(cell));
    uint32_t n = memory::buffer_of(value->w2)->used() / sizeof(cell);
    if (limit >= 0) n = std::min(n, h + uint32_t(limit));
    cell block = *value;
    collector::root_cells hold(&block);
    for (uint32_t i = h; i < n && i < memory::buffer_of(block.w2)->used() / sizeof(cell); ++i) {
      cell item = memory::buffer_of(block.w2)->head_cell()[i];
      collector::root_cells hold_item(&item);
      value_bytes(&item, -1, form_mode, out, depth + 1);
    }
    return;
  } else if (form_mode) {
    cell text;
    string::make_at(&text, 16);
    collector::root_cells hold(&text);
    actions::form_dispatch(value, &text, nullptr, 0x7FFFFFFF);
    text_bytes(&text, out);
  } else {
    bad_to_arg(value);
  }
  if (limit >= 0 && out.size() - start > size_t(limit)) out.resize(start + size_t(limit));
}

// count * dup bytes, each copy the same pattern.
uint64_t repeated_size(size_t count, int32_t dup) {
  uint64_t total;
  if (dup < 1) return 0;
  if (__builtin_mul_overflow(uint64_t(count), uint64_t(dup), &total) || total > MAX_BYTES) no_memory();
  return total;
}

void write_repeated(uint8_t* p, const bytes_t& bytes, uint64_t total) {
  if (bytes.empty()) return;
  for (uint64_t done = 0; done < total; done += bytes.size())
    std::memcpy(p + done, bytes.data(), std::min<uint64_t>(bytes.size(), total - done));
}

// A new binary holding the bytes, written into proto.
cell* make_from(cell* proto, const bytes_t& bytes) {
  make_at(proto, uint32_t(bytes.size()));
  series_buffer* b = buffer_of(proto);
  if (!bytes.empty()) std::memcpy(b->head_ptr(), bytes.data(), bytes.size());
  b->tail = b->head + uint32_t(bytes.size());
  return proto;
}

}  // namespace

// --- Constructors ----------------------------------------------------------------

cell* make_at(cell* target, uint32_t capacity) {
  target->header = TYPE_UNSET;  // a cell under construction
  if (capacity > MAX_BYTES) no_memory();
  uint32_t node = memory::alloc_bytes(capacity ? capacity : 1);
  *target = cell{TYPE_BINARY, 0, node, 0};
  return target;
}

cell* load_at(cell* target, const uint8_t* bytes, uint32_t n) {
  bytes_t copy(bytes, bytes + n);  // the source may move when the new buffer is made
  return make_from(target, copy);
}

cell* load(const uint8_t* bytes, uint32_t n) {
  cell* c = stack::push_cell();
  *c = cell{TYPE_UNSET, 0, 0, 0};
  return load_at(c, bytes, n);
}

namespace {

// The new binary is made first (rooted): growing the block may collect.
cell* append_to_block(cell* block, cell* made) {
  collector::root_cells hold(made);
  cell* slot = reinterpret_cast<cell*>(series::make_room(memory::buffer_of(block->w2), sizeof(cell)));
  *slot = *made;
  return slot;
}

to_converter to_converters[TYPE_TABLE_ROWS];

}  // namespace

cell* load_in(const uint8_t* bytes, uint32_t n, cell* block) {
  if (!block) return load(bytes, n);
  cell made{TYPE_UNSET, 0, 0, 0};
  load_at(&made, bytes, n);
  return append_to_block(block, &made);
}

cell* make_in(cell* block, uint32_t capacity) {
  cell made{TYPE_UNSET, 0, 0, 0};
  make_at(&made, capacity);
  return append_to_block(block, &made);
}

void set_to_converter(uint32_t type, to_converter fn) { to_converters[type % TYPE_TABLE_ROWS] = fn; }

cell* push(const cell* value) { return stack::push(value); }

// --- Raw access -----------------------------------------------------------------

int32_t ks_length_q(const cell* bin) { return int32_t(buffer_of(bin)->used() - head_of(bin)); }

uint8_t* ks_head(cell* bin) {
  uint32_t h = head_of(bin);
  bin->w1 = h;
  return buffer_of(bin)->head_ptr() + h;
}

uint8_t* ks_tail(const cell* bin) { return buffer_of(bin)->tail_ptr(); }
bool ks_tail_q(const cell* bin) { return int32_t(bin->w1) >= int32_t(buffer_of(bin)->used()); }

bool ks_skip(cell* bin, int32_t n) {
  int64_t h = int64_t(head_of(bin)) + n;
  int64_t used = buffer_of(bin)->used();
  bin->w1 = uint32_t(std::clamp<int64_t>(h, 0, used));
  return int64_t(bin->w1) >= used;
}

void ks_truncate(cell* bin) {
  series_buffer* b = buffer_of(bin);
  b->tail = b->head + head_of(bin);
}

uint8_t ks_abs_byte_at(const cell* bin, uint32_t index) { return buffer_of(bin)->head_ptr()[index]; }

void ks_insert(cell* bin, uint32_t offset, const uint8_t* bytes, uint32_t n) {
  bytes_t copy(bytes, bytes + n);
  series_buffer* b = buffer_of(bin);
  uint32_t used = b->used();
  offset = std::min(offset, used);
  b = reserve(b, uint64_t(used) + n);
  uint8_t* p = b->head_ptr();
  std::memmove(p + offset + n, p + offset, used - offset);
  if (n) std::memcpy(p + offset, copy.data(), n);
  b->tail += n;
}

void ks_append(cell* bin, const uint8_t* bytes, uint32_t n) { ks_insert(bin, buffer_of(bin)->used(), bytes, n); }

void ks_write(cell* bin, uint32_t offset, const uint8_t* bytes, uint32_t n) {
  bytes_t copy(bytes, bytes + n);
  series_buffer* b = buffer_of(bin);
  uint64_t at = uint64_t(head_of(bin)) + offset, end = at + n;
  if (end > capacity_of(b)) {
    if (end > MAX_BYTES) no_memory();
    b = memory::expand_series(b, int64_t(std::min<uint64_t>((2 * uint64_t(b->size) + end + 15) & ~uint64_t(15), MAX_BYTES)));
  }
  uint8_t* p = b->head_ptr();
  if (at > b->used()) std::memset(p + b->used(), 0, at - b->used());
  if (n) std::memcpy(p + at, copy.data(), n);
  if (end > b->used()) b->tail = b->head + uint32_t(end);
}

void ks_append_int(cell* bin, uint32_t value) {
  uint8_t bytes[4] = {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8), uint8_t(value)};
  ks_append(bin, bytes, 4);
}

uint8_t byte_from_value(const cell* value) {
  uint32_t t = type_of(value);
  int32_t v = integer::get(value);
  // Keeping only the low 8 bits of a larger number would store a different value.
  if (t == TYPE_INTEGER && v >= -128 && v <= 255) return uint8_t(v);
  if (t == TYPE_CHAR && v >= 0 && v <= 255) return uint8_t(v);
  invalid_arg(value);
}

// --- Conversion -----------------------------------------------------------------

cell* to(cell* proto, const cell* spec, uint32_t) {
  bytes_t bytes;
  switch (type_of(spec)) {
    case TYPE_INTEGER: {
      uint32_t v = spec->w2;
      bytes = {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
      break;
    }
    case TYPE_FLOAT:
    case TYPE_PERCENT: {
      uint64_t u = uint64_t(spec->w3) << 32 | spec->w2;
      for (int i = 7; i >= 0; --i) bytes.push_back(uint8_t(u >> (8 * i)));
      break;
    }
    case TYPE_CHAR:
    case TYPE_TUPLE:
    case TYPE_BINARY:
    case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF:
    case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH:
      value_bytes(spec, -1, false, bytes);
      break;
    default:
      if (type_of(spec) < TYPE_TABLE_ROWS && to_converters[type_of(spec)]) return to_converters[type_of(spec)](proto, spec);
      bad_to_arg(spec);
  }
  return make_from(proto, bytes);
}

// --- insert, append, change, poke ----------------------------------------------------

cell* insert(cell* series, const cell* value, int32_t part, bool, int32_t dup, bool append) {
  uint32_t h = head_of(series);
  series->w1 = h;
  bytes_t bytes;
  value_bytes(value, part, false, bytes);
  series_buffer* b = buffer_of(series);
  uint32_t at = append ? b->used() : h;
  uint64_t total = repeated_size(bytes.size(), dup);
  if (total) {
    uint32_t used = b->used();
    b = reserve(b, used + total);
    uint8_t* p = b->head_ptr();
    std::memmove(p + at + total, p + at, used - at);
    write_repeated(p + at, bytes, total);
    b->tail += uint32_t(total);
  }
  series->w1 = append ? 0 : uint32_t(at + total);
  return series;
}

cell* change(cell* series, const cell* value, int32_t part, bool, int32_t dup) {
  uint32_t h = head_of(series);
  bytes_t bytes;
  value_bytes(value, -1, true, bytes);
  series_buffer* b = buffer_of(series);
  uint32_t used = b->used(), available = used - h;
  uint64_t total = repeated_size(bytes.size(), dup);
  uint32_t replaced = part >= 0 ? std::min(uint32_t(part), available) : uint32_t(std::min<uint64_t>(total, available));
  uint64_t new_used = uint64_t(used) - replaced + total;
  b = reserve(b, new_used);
  uint8_t* p = b->head_ptr();
  std::memmove(p + h + total, p + h + replaced, used - h - replaced);
  write_repeated(p + h, bytes, total);
  b->tail = b->head + uint32_t(new_used);
  series->w1 = uint32_t(std::min<uint64_t>(h + total, new_used));
  return series;
}

cell* poke(cell* series, int32_t index, const cell* boxed_index, const cell* value, bool) {
  uint32_t h = head_of(series);
  int64_t at = index > 0 ? int64_t(h) + index - 1 : int64_t(h) + index;
  if (index == 0 || at < 0 || at >= int64_t(buffer_of(series)->used()))
    error::fire(err::cat_script, err::script::out_of_range, boxed_index);
  uint8_t byte = byte_from_value(value);
  buffer_of(series)->head_ptr()[at] = byte;
  return const_cast<cell*>(value);
}

// --- trim --------------------------------------------------------------------------

cell* trim(cell* series, bool head, bool tail, bool auto_, bool lines, bool all, const cell* with) {
  if (auto_ || lines) error::fire(err::cat_internal, err::internal::not_done);
  bool drop[256] = {};
  if (with) {
    uint32_t t = type_of(with);
    if (t == TYPE_CHAR || t == TYPE_INTEGER) {
      drop[byte_from_value(with)] = true;
    } else if (t == TYPE_BINARY || any_string_q(t)) {
      series_buffer* wb = memory::buffer_of(with->w2);
      uint32_t unit = t == TYPE_BINARY ? 1 : string::unit_of(wb);
      for (uint32_t i = head_of(with, unit), n = wb->used() / unit; i < n; ++i) {
        int32_t cp = unit == 1 ? wb->head_ptr()[i] : string::get_char(wb->head_ptr() + i * unit, unit);
        if (cp >= 0 && cp < 256) drop[cp] = true;
      }
    } else {
      invalid_arg(with);
    }
  } else {
    drop[0] = true;
  }
  uint32_t h = head_of(series);
  series_buffer* b = buffer_of(series);
  uint8_t* p = b->head_ptr();
  uint32_t start = h, end = b->used(), w = h;
  if (all || with) {
    for (uint32_t i = h; i < end; ++i)
      if (!drop[p[i]]) p[w++] = p[i];
  } else {
    if (head || !tail)
      while (start < end && drop[p[start]]) ++start;
    if (tail || !head)
      while (end > start && drop[p[end - 1]]) --end;
    std::memmove(p + h, p + start, end - start);
    w = h + (end - start);
  }
  b->tail = b->head + w;
  return series;
}

// --- Bitwise -------------------------------------------------------------------------

namespace {

cell* bitwise(cell* value1, const cell* value2, int32_t op) {
  if (type_of(value2) != TYPE_BINARY) invalid_arg(value2);
  bytes_t a, b;
  own_bytes(value1, a);
  own_bytes(value2, b);
  const bytes_t& longer = a.size() >= b.size() ? a : b;
  size_t common = std::min(a.size(), b.size());
  bytes_t out(longer.size(), 0);
  for (size_t i = 0; i < common; ++i)
    out[i] = op == OP_AND ? a[i] & b[i] : op == OP_OR ? a[i] | b[i] : a[i] ^ b[i];
  if (op != OP_AND) std::copy(longer.begin() + common, longer.end(), out.begin() + common);
  return make_from(value1, out);
}

}  // namespace

cell* and_t(cell* value1, const cell* value2) { return bitwise(value1, value2, OP_AND); }
cell* or_t(cell* value1, const cell* value2) { return bitwise(value1, value2, OP_OR); }
cell* xor_t(cell* value1, const cell* value2) { return bitwise(value1, value2, OP_XOR); }

cell* complement(cell* value) {
  series_buffer* b = buffer_of(value);
  for (uint8_t *p = b->head_ptr() + head_of(value), *e = b->tail_ptr(); p < e; ++p) *p = uint8_t(~*p);
  return value;
}

// --- Comparison -------------------------------------------------------------------------

int32_t compare_bytes(const cell* bin, const cell* other, int32_t op, bool prefix) {
  uint32_t t = type_of(other);
  if (t != TYPE_BINARY && !any_string_q(t)) return -2;
  bool same = bin->w2 == other->w2 && head_of(bin) == head_of(other, t == TYPE_BINARY ? 1 : string::unit_of(memory::buffer_of(other->w2)));
  if (op == COMP_SAME) return same ? 0 : -1;
  bool equality = op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_STRICT_EQUAL || op == COMP_FIND;
  if (equality && same) return 0;
  // A wide string is compared unit by unit as raw bytes from its head.
  series_buffer* ob = memory::buffer_of(other->w2);
  uint32_t unit = t == TYPE_BINARY ? 1 : string::unit_of(ob);
  const uint8_t* q = ob->head_ptr() + head_of(other, unit) * unit;
  uint32_t lb = uint32_t(ob->tail_ptr() - q);
  series_buffer* ab = buffer_of(bin);
  const uint8_t* p = ab->head_ptr() + head_of(bin);
  uint32_t la = uint32_t(ab->tail_ptr() - p);
  uint32_t n;
  if (prefix) {
    if (lb == 0) return op == COMP_EQUAL || op == COMP_STRICT_EQUAL || op == COMP_FIND ? 0 : 1;
    if (la < lb) return 1;  // cannot start with a longer value
    n = lb;
  } else {
    if (la != lb && equality) return 1;
    if (la == 0 && lb == 0) return 0;
    n = std::min(la, lb);
  }
  for (uint32_t i = 0; i < n; ++i)
    if (p[i] != q[i]) return p[i] < q[i] ? -1 : 1;
  if (prefix) return 0;
  return (la > lb) - (la < lb);
}

int32_t compare(const cell* value1, const cell* value2, int32_t op) { return compare_bytes(value1, value2, op, false); }

bool match_value_q(const cell* bin, const cell* value, int32_t op) {
  uint32_t t = type_of(value);
  if (t == TYPE_BINARY || any_string_q(t)) return compare_bytes(bin, value, op, true) == 0;
  if (t == TYPE_CHAR) {
    series_buffer* b = buffer_of(bin);
    uint32_t h = head_of(bin);
    return h < b->used() && b->head_ptr()[h] == uint32_t(integer::get(value));
  }
  return false;
}

bool match_bitset_q(const cell* bin, const cell* bitset) {
  series_buffer* b = buffer_of(bin);
  uint32_t h = head_of(bin);
  if (h >= b->used()) return false;
  uint8_t byte = b->head_ptr()[h];
  series_buffer* bits = memory::buffer_of(bitset->w2);
  if (uint32_t(byte >> 3) >= bits->used()) return (bitset->header & FLAG_BITSET_NOT) != 0;
  return (bits->head_ptr()[byte >> 3] & (0x80 >> (byte & 7))) != 0;
}

// --- form and mold ----------------------------------------------------------------------

int32_t mold(const cell* value, cell* buffer, bool only, bool, bool flat, const cell* arg, int32_t part,
             int32_t indent) {
  // The bytes are copied out first: appending to the output may move them.
  bytes_t bytes;
  own_bytes(value, bytes);
  std::string text;
  auto new_line = [&](int32_t level) {
    text += '\n';
    text.append(size_t(std::max(level, 0)) * 4, ' ');
  };
  if (!only) text += "#{";
  if (bytes.size() > 30 && !flat) new_line(indent + 1);
  static const char hex[] = "0123456789ABCDEF";
  size_t written = 0;
  for (uint8_t byte : bytes) {
    if (arg && part - int32_t(text.size()) < 3) break;  // each byte costs 2 of the budget
    text += hex[byte >> 4];
    text += hex[byte & 15];
    ++written;
    if (!flat && written % 32 == 0) new_line(indent + 1);
  }
  // After a full line the brace already sits behind the deeper indentation.
  if (written > 30 && !flat && written % 32 != 0) new_line(indent);
  if (!only) text += '}';
  string::concatenate_literal(buffer, text.c_str());
  return part - int32_t(text.size());
}

int32_t form(const cell* value, cell* buffer, const cell* arg, int32_t part) {
  return mold(value, buffer, false, false, false, arg, part, 0);
}

void init() {
  datatype::registration r(TYPE_BINARY, TYPE_STRING, "binary!");
  r.inherit_all();
  // No arithmetic, no put, no port actions but modify.
  for (uint32_t a = ACT_ABSOLUTE; a <= ACT_ODD_Q; ++a) r.unsupported(a);
  for (uint32_t a : {ACT_PUT, ACT_CREATE, ACT_CLOSE, ACT_DELETE}) r.unsupported(a);
  for (uint32_t a = ACT_OPEN; a <= ACT_WRITE; ++a) r.unsupported(a);
  r
      .set<ACT_TO>(to)
      .set<ACT_FORM>(form)
      .set<ACT_MOLD>(mold)
      .set<ACT_COMPARE>(compare)
      .set<ACT_AND_T>(and_t)
      .set<ACT_COMPLEMENT>(complement)
      .set<ACT_OR_T>(or_t)
      .set<ACT_XOR_T>(xor_t)
      .set<ACT_APPEND>(insert)
      .set<ACT_INSERT>(insert)
      .set<ACT_CHANGE>(change)
      .set<ACT_POKE>(poke)
      .set<ACT_TRIM>(trim)
      .commit();
}

}  // namespace kez::binary
