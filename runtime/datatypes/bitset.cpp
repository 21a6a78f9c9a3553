#include "runtime/datatypes/bitset.h"

#include <algorithm>
#include <cstring>

#include "runtime/collector.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/memory.h"
#include "runtime/ownership.h"
#include "runtime/stack.h"
#include "runtime/words.h"

namespace kez::bitset {

namespace {

enum mode : int { MEASURE = 0, SET = 1, TEST = 2, CLEAR = 3 };
// Which action a bad spec value is reported for.
enum origin : int { FROM_MAKE, FROM_TO, FROM_OTHER };

series_buffer* buf(const cell* b) { return memory::buffer_of(b->w2); }
uint32_t bytes_of(const cell* b) { return buf(b)->used(); }

[[noreturn]] void out_of_range(int32_t n) {
  cell c = *integer::make_at(stack::push_cell(), n);
  error::fire(err::cat_script, err::script::out_of_range, &c);
}

// Grows the stored bytes to cover bit n, filling as the flag says.
void cover(cell* b, int32_t n) {
  uint32_t need = uint32_t(n) / 8 + 1, have = bytes_of(b);
  if (need <= have) return;
  uint8_t* p = series::make_room(buf(b), need - have);
  std::memset(p, complemented_q(b) ? 0xFF : 0x00, need - have);
}

void set_bit(cell* b, int32_t n, bool on) {
  bool beyond = uint32_t(n) / 8 >= bytes_of(b);
  if (beyond && on == complemented_q(b)) return;  // already as asked
  cover(b, n);
  uint8_t& byte = buf(b)->head_ptr()[n >> 3];
  uint8_t mask = uint8_t(0x80 >> (n & 7));
  byte = on ? uint8_t(byte | mask) : uint8_t(byte & ~mask);
}

// One bit in a mode; answers the highest bit (MEASURE) or the test result.
int32_t one_bit(cell* b, int32_t n, int m, int32_t acc) {
  if (n < 0) {
    if (m == TEST) return 0;
    out_of_range(n);
  }
  switch (m) {
    case MEASURE: return std::max(acc, n);
    case SET: set_bit(b, n, true); return 1;
    case CLEAR: set_bit(b, n, false); return 1;
    default: return test_bit(b, n) ? 1 : 0;
  }
}

int32_t number_of(const cell* v) {
  switch (type_of(v)) {
    case TYPE_CHAR: case TYPE_INTEGER: return int32_t(v->w2);
    default: return int32_t(float_::get(v));
  }
}

bool minus_q(const cell* c) {
  return type_of(c) == TYPE_WORD && symbol::resolve(c->w2) == symbol::resolve(words::symbols[words::sym::minus]);
}

[[noreturn]] void bad_spec(const cell* spec, int from) {
  if (from == FROM_OTHER) error::fire(err::cat_script, err::script::invalid_arg, spec);
  cell t = *datatype::make_at(stack::push_cell(), TYPE_BITSET);
  error::fire(err::cat_script, from == FROM_MAKE ? err::script::bad_make_arg : err::script::bad_to_arg, &t, spec);
}

// Walks a spec in a mode. MEASURE answers the highest bit (-1: none);
// TEST answers 1 when every bit is a member; the others answer 1.
int32_t process(cell* b, const cell* spec, int m, int from) {
  int32_t acc = m == MEASURE ? -1 : 1;
  switch (type_of(spec)) {
    case TYPE_CHAR: case TYPE_INTEGER: case TYPE_FLOAT:
      return one_bit(b, number_of(spec), m, acc);
    case TYPE_STRING: {
      cell s = *spec;
      collector::root_cells keep(&s);
      int32_t n = string::ks_length_q(&s);
      for (int32_t i = 0; i < n; ++i) {
        int32_t cp = string::ks_abs_at(&s, int32_t(string::head_index(&s)) + i);
        acc = one_bit(b, cp, m, acc);
        if (m == TEST && !acc) return 0;
      }
      return acc;
    }
    case TYPE_BLOCK: {
      cell blk = *spec;
      collector::root_cells keep(&blk);
      int32_t n = block::ks_length_q(&blk);
      int32_t head = std::max(int32_t(blk.w1), 0);
      for (int32_t i = 0; i < n; ++i) {
        cell v = *block::ks_abs_at(&blk, head + i);
        uint32_t t = type_of(&v);
        if ((t == TYPE_CHAR || t == TYPE_INTEGER) && i + 1 < n && minus_q(block::ks_abs_at(&blk, head + i + 1))) {
          if (i + 2 >= n) error::fire(err::cat_script, err::script::past_end);
          cell end = *block::ks_abs_at(&blk, head + i + 2);
          if (type_of(&end) != t) error::fire(err::cat_script, err::script::invalid_arg, &end);
          int32_t lo = int32_t(v.w2), hi = int32_t(end.w2);
          if (hi < lo) error::fire(err::cat_script, err::script::past_end);
          if (m == MEASURE) {
            if (lo < 0) out_of_range(lo);
            acc = std::max(acc, hi);
          } else {
            for (int32_t k = lo; k <= hi; ++k) {
              acc = one_bit(b, k, m, acc);
              if (m == TEST && !acc) return 0;
            }
          }
          i += 2;
          continue;
        }
        if (t == TYPE_BINARY) error::fire(err::cat_internal, err::internal::not_done);
        int32_t r = process(b, &v, m, from);
        if (m == MEASURE) acc = std::max(acc, r);
        else if (m == TEST && !r) return 0;
      }
      return acc;
    }
    case TYPE_BINARY: error::fire(err::cat_internal, err::internal::not_done);
    default: bad_spec(spec, from);
  }
}

// Copy of the bytes of a bitset with the flag.
cell* copy_into(cell* target, const cell* source) {
  cell src = *source;
  collector::root_cells keep(&src);
  uint32_t n = bytes_of(&src);
  make_at(target, n, 0, complemented_q(&src));
  std::memcpy(buf(target)->head_ptr(), buf(&src)->head_ptr(), n);
  return target;
}

cell* make_from(cell* proto, const cell* spec, int from) {
  cell sp = *spec;
  collector::root_cells keep(&sp);
  bool negated = false;
  if (type_of(&sp) == TYPE_BLOCK && block::ks_length_q(&sp) > 0) {
    const cell* first = block::ks_abs_at(&sp, int32_t(sp.w1));
    if (type_of(first) == TYPE_WORD && symbol::resolve(first->w2) == symbol::resolve(words::symbols[words::sym::not_])) {
      negated = true;
      ++sp.w1;
      if (block::ks_length_q(&sp) == 1 && type_of(block::ks_abs_at(&sp, int32_t(sp.w1))) == TYPE_BINARY)
        sp = *block::ks_abs_at(&sp, int32_t(sp.w1));
    }
  }
  switch (type_of(&sp)) {
    case TYPE_INTEGER: case TYPE_FLOAT: {
      if (from == FROM_TO) bad_spec(&sp, from);
      int32_t n = number_of(&sp);
      if (n < 0) out_of_range(n);
      uint32_t bytes = (uint32_t(n) + 7) / 8;
      return make_at(proto, bytes, 0, false);
    }
    case TYPE_BITSET: return copy_into(proto, &sp);
    case TYPE_BINARY: {
      uint32_t n = series::buffer_of(&sp)->used() - std::min<uint32_t>(sp.w1, series::buffer_of(&sp)->used());
      make_at(proto, n, 0, negated);
      uint8_t* p = buf(proto)->head_ptr();
      const uint8_t* from_bytes = series::buffer_of(&sp)->head_ptr() + sp.w1;
      for (uint32_t i = 0; i < n; ++i) p[i] = negated ? uint8_t(~from_bytes[i]) : from_bytes[i];
      return proto;
    }
    default: break;
  }
  cell scratch{TYPE_NONE, 0, 0, 0};
  int32_t highest = process(&scratch, &sp, MEASURE, from);
  uint32_t bytes = uint32_t(std::max(highest, 0)) / 8 + 1;
  make_at(proto, bytes, negated ? 0xFF : 0x00, negated);
  process(proto, &sp, negated ? CLEAR : SET, from);
  return proto;
}

cell* make(cell* proto, const cell* spec, uint32_t) { return make_from(proto, spec, FROM_MAKE); }
cell* to(cell* proto, const cell* spec, uint32_t) { return make_from(proto, spec, FROM_TO); }

int32_t emit(cell* buffer, const char* text) {
  string::concatenate_literal(buffer, text);
  return int32_t(std::strlen(text));
}

int32_t form(const cell* value, cell* buffer, const cell*, int32_t part) {
  bool neg = complemented_q(value);
  part -= emit(buffer, "make bitset! ");
  if (neg) part -= emit(buffer, "[not ");
  part -= emit(buffer, "#{");
  uint32_t n = bytes_of(value);
  for (uint32_t i = 0; i < n && part > 0; ++i) {
    uint8_t byte = buf(value)->head_ptr()[i];
    part -= emit(buffer, string::byte_to_hex(neg ? uint8_t(~byte) : byte));
  }
  part -= emit(buffer, "}");
  if (neg) part -= emit(buffer, "]");
  return part;
}
int32_t mold(const cell* value, cell* buffer, bool, bool, bool, const cell* arg, int32_t part, int32_t) {
  return form(value, buffer, arg, part);
}

int32_t compare(const cell* a, const cell* b, int32_t op) {
  if (type_of(b) != TYPE_BITSET) return -2;
  if (op == COMP_SAME) return a->w2 == b->w2 ? 0 : 1;
  uint32_t la = bytes_of(a), lb = bytes_of(b);
  if (la != lb) return la < lb ? -1 : 1;
  bool fa = complemented_q(a), fb = complemented_q(b);
  if (fa != fb) return fa ? 1 : -1;
  const uint8_t *pa = buf(a)->head_ptr(), *pb = buf(b)->head_ptr();
  for (uint32_t i = la; i-- > 0;)
    if (pa[i] != pb[i]) return pa[i] < pb[i] ? -1 : 1;
  return 0;
}

cell* negate(cell* value) {
  cell out{TYPE_NONE, 0, 0, 0};
  collector::root_cells keep(&out);
  copy_into(&out, value);
  out.header ^= FLAG_BITSET_NOT;
  series_buffer* b = buf(&out);
  for (uint8_t* p = b->head_ptr(); p < b->tail_ptr(); ++p) *p = uint8_t(~*p);
  *value = out;
  return value;
}

cell* and_t(cell* a, const cell* b) { return do_bitwise(OP_AND, a, b); }
cell* or_t(cell* a, const cell* b) { return do_bitwise(OP_OR, a, b); }
cell* xor_t(cell* a, const cell* b) { return do_bitwise(OP_XOR, a, b); }

bool changed(cell* b, ownership::change before, const cell* value) {
  return ownership::notify(b, before, value, 0, 0);
}

cell* insert(cell* series, const cell* value, int32_t, bool, int32_t, bool append) {
  cell v = *value;
  collector::root_cells keep(&v);
  bool owned = changed(series, append ? ownership::APPEND : ownership::INSERT, &v);
  process(series, &v, SET, FROM_OTHER);
  if (owned) changed(series, append ? ownership::APPENDED : ownership::INSERTED, &v);
  return series;
}

cell* clear(cell* series) {
  bool owned = changed(series, ownership::CLEAR, nullptr);
  series_buffer* b = buf(series);
  std::memset(b->head_ptr(), complemented_q(series) ? 0xFF : 0x00, b->used());
  if (owned) changed(series, ownership::CLEARED, nullptr);
  return series;
}

cell* copy(cell* value, cell* result, const cell*, bool, const cell*) { return copy_into(result, value); }

cell* find(cell* series, const cell* value, const find_options&) {
  if (process(series, value, TEST, FROM_OTHER)) return logic::make_at(series, true);
  return none::make_at(series);
}

int32_t length_q(cell* series) {
  // 2^28 bytes or more hold more bits than an integer! counts.
  uint64_t bits = uint64_t(bytes_of(series)) * 8;
  if (bits > uint64_t(INT32_MAX)) error::fire(err::cat_math, err::math::overflow);
  return int32_t(bits);
}

const cell* index_value(int32_t index, const cell* boxed, cell& scratch) {
  if (boxed) return boxed;
  scratch = cell{TYPE_INTEGER, 0, uint32_t(index), 0};
  return &scratch;
}

cell* pick(cell* series, int32_t index, const cell* boxed) {
  cell scratch;
  bool r = process(series, index_value(index, boxed, scratch), TEST, FROM_OTHER) != 0;
  return logic::make_at(series, r);
}

bool clears_q(const cell* v) {
  switch (type_of(v)) {
    case TYPE_NONE: return true;
    case TYPE_LOGIC: return v->w1 == 0;
    case TYPE_INTEGER: return v->w2 == 0;
    case TYPE_FLOAT: return float_::get(v) == 0.0;
    default: return false;
  }
}

cell* poke(cell* series, int32_t index, const cell* boxed, const cell* value, bool notify) {
  cell scratch;
  cell idx = *index_value(index, boxed, scratch);
  cell v = *value;
  collector::root_cells keep(&idx), keep_v(&v);
  bool owned = notify && changed(series, ownership::POKE, &v);
  process(series, &idx, clears_q(&v) ? CLEAR : SET, FROM_OTHER);
  if (owned) changed(series, ownership::POKED, &v);
  *series = v;
  return series;
}

cell* remove(cell* series, const cell* part, const cell*) {
  if (!part) error::fire(err::cat_script, err::script::missing_arg);
  cell p = *part;
  collector::root_cells keep(&p);
  bool owned = changed(series, ownership::REMOVE, &p);
  // Removing takes the bits out of the set, complemented or not.
  process(series, &p, CLEAR, FROM_OTHER);
  if (owned) changed(series, ownership::REMOVED, &p);
  return series;
}

cell* eval_path(cell* parent, const cell* element, const cell* value, const cell*, const cell*, const cell*,
                int32_t, bool, bool, bool, bool notify) {
  uint32_t t = type_of(element);
  if (t != TYPE_INTEGER && t != TYPE_CHAR) error::fire(err::cat_script, err::script::invalid_type, element);
  if (!value) return logic::push(test_bit(parent, int32_t(element->w2)));
  cell p = *parent;
  collector::root_cells keep(&p);
  poke(&p, int32_t(element->w2), element, value, notify);
  return stack::push(value);
}

}  // namespace

cell* make_at(cell* target, uint32_t bytes, uint8_t fill, bool complemented) {
  uint32_t node = memory::alloc_series(std::max<uint32_t>(bytes, 1), 1, 0);
  *target = cell{TYPE_BITSET | (complemented ? FLAG_BITSET_NOT : 0u), 0, node, 0};
  std::memset(series::make_room(buf(target), bytes), fill, bytes);
  return target;
}

bool test_bit(const cell* b, int32_t n) {
  if (n < 0) return false;
  if (uint32_t(n) / 8 >= bytes_of(b)) return complemented_q(b);
  return (buf(b)->head_ptr()[n >> 3] & (0x80 >> (n & 7))) != 0;
}

cell* do_bitwise(int32_t op, cell* a, const cell* b) {
  if (type_of(b) != TYPE_BITSET) error::fire(err::cat_script, err::script::invalid_type, b);
  if (op == 8) return a;
  cell x = *a, y = *b;
  collector::root_cells keep_x(&x), keep_y(&y);
  bool fx = complemented_q(&x), fy = complemented_q(&y);
  uint32_t lx = bytes_of(&x), ly = bytes_of(&y);
  // Bytes past a shorter operand's end read as its members beyond: set
  // when it is complemented, clear otherwise.
  uint8_t ex = fx ? 0xFF : 0x00, ey = fy ? 0xFF : 0x00;
  bool shorter_complemented = (lx < ly && fx) || (ly < lx && fy);
  uint32_t n = std::max(lx, ly);
  if (op == OP_AND && !shorter_complemented) n = std::min(lx, ly);
  auto combine = [op](uint32_t p, uint32_t q) -> uint32_t {
    switch (op) {
      case OP_OR: case 9: return p | q;
      case OP_AND: case 10: return p & q;
      case OP_XOR: case 12: return p ^ q;
      case 11: return p & ~q;
      default: error::fire(err::cat_script, err::script::invalid_type);
    }
  };
  bool flag = combine(fx, fy) & 1;
  cell out{TYPE_NONE, 0, 0, 0};
  collector::root_cells keep_out(&out);
  make_at(&out, n, 0, flag);
  uint8_t* po = buf(&out)->head_ptr();
  const uint8_t *px = buf(&x)->head_ptr(), *py = buf(&y)->head_ptr();
  for (uint32_t i = 0; i < n; ++i) po[i] = uint8_t(combine(i < lx ? px[i] : ex, i < ly ? py[i] : ey));
  *a = out;
  return a;
}

// to binary!: the stored bytes as they are (a complemented set's bytes
// already hold membership).
namespace {
cell* to_binary(cell* proto, const cell* spec) {
  series_buffer* b = buf(spec);
  return binary::load_at(proto, b->head_ptr(), b->used());
}
}  // namespace

void init() {
  datatype::registration(TYPE_BITSET, 0, "bitset!")
      .set<ACT_MAKE>(make)
      .set<ACT_TO>(to)
      .set<ACT_REFLECT>(series::reflect)
      .set<ACT_FORM>(form)
      .set<ACT_MOLD>(mold)
      .set<ACT_EVAL_PATH>(eval_path)
      .set<ACT_COMPARE>(compare)
      .set<ACT_NEGATE>(negate)
      .set<ACT_COMPLEMENT>(negate)
      .set<ACT_AND_T>(and_t)
      .set<ACT_OR_T>(or_t)
      .set<ACT_XOR_T>(xor_t)
      .set<ACT_APPEND>(insert)
      .set<ACT_INSERT>(insert)
      .set<ACT_CLEAR>(clear)
      .set<ACT_COPY>(copy)
      .set<ACT_FIND>(find)
      .set<ACT_LENGTH_Q>(length_q)
      .set<ACT_PICK>(pick)
      .set<ACT_POKE>(poke)
      .set<ACT_REMOVE>(remove)
      .set<ACT_MODIFY>(series::modify)
      .commit();
  binary::set_to_converter(TYPE_BITSET, to_binary);
}

}  // namespace kez::bitset
