#include "runtime/datatypes/vector.h"

#include <algorithm>
#include <cstring>

#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/char.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/memory.h"
#include "runtime/ownership.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"
#include "runtime/words.h"

namespace kez::vector {

namespace {

bool int_kind_q(uint32_t t) { return t == TYPE_INTEGER || t == TYPE_CHAR; }
bool float_kind_q(uint32_t t) { return t == TYPE_FLOAT || t == TYPE_PERCENT; }
uint32_t default_width(uint32_t t) { return int_kind_q(t) ? 4 : 8; }

series_buffer* buf(const cell* v) { return memory::buffer_of(v->w2); }
int32_t head_of(const cell* v) { return std::max(int32_t(v->w1), 0); }
uint8_t* element(series_buffer* b, int32_t i) { return b->head_ptr() + size_t(i) * b->unit(); }
int32_t abs_length(series_buffer* b) { return int32_t((b->tail - (b->head)) / b->unit()); }

[[noreturn]] void no_memory() { error::fire(err::cat_internal, err::internal::no_memory); }
[[noreturn]] void invalid_arg(const cell* v) { error::fire(err::cat_script, err::script::invalid_arg, v); }

uint32_t checked_bytes(int64_t count, uint32_t width) {
  int64_t n = count * int64_t(width);
  if (count < 0 || n > int64_t(UINT32_MAX)) no_memory();
  return uint32_t(n);
}

int64_t read_int(const uint8_t* p, uint32_t width, uint32_t type) {
  bool zero_extend = type == TYPE_CHAR;
  switch (width) {
    case 1: return zero_extend ? int64_t(p[0]) : int64_t(int8_t(p[0]));
    case 2: {
      uint16_t u;
      std::memcpy(&u, p, 2);
      return zero_extend ? int64_t(u) : int64_t(int16_t(u));
    }
    default: {
      uint32_t u;
      std::memcpy(&u, p, 4);
      return zero_extend ? int64_t(u) : int64_t(int32_t(u));
    }
  }
}
double read_float(const uint8_t* p, uint32_t width) {
  if (width == 4) {
    float f;
    std::memcpy(&f, p, 4);
    return f;
  }
  return load_double(p);
}
void write_int(uint8_t* p, int64_t v, uint32_t width) {
  uint32_t u = uint32_t(v);
  std::memcpy(p, &u, std::min<uint32_t>(width, 4));  // little-endian: the low bytes
}
void write_float(uint8_t* p, double d, uint32_t width) {
  if (width == 4) {
    float f = float(d);
    std::memcpy(p, &f, 4);
  } else {
    store_double(p, d);
  }
}

// The kind a value must have to be an element of a `type` vector.
bool fits_q(const cell* value, uint32_t type) { return type_of(value) == type; }

// Text of one element; its character count is answered.
int32_t emit(cell* buffer, const char* text) {
  string::concatenate_literal(buffer, text);
  return int32_t(std::strlen(text));
}
int32_t emit_element(cell* buffer, const uint8_t* p, uint32_t width, uint32_t type, bool mold) {
  switch (type) {
    case TYPE_INTEGER: return emit(buffer, integer::form_signed(int32_t(read_int(p, width, type))));
    case TYPE_CHAR: {
      int32_t before = string::ks_length_q(buffer);
      if (mold) string::concatenate_literal(buffer, "#\"");
      string::append_escaped_char(buffer, int32_t(read_int(p, width, type)), false);
      if (mold) string::concatenate_literal(buffer, "\"");
      return string::ks_length_q(buffer) - before;
    }
    case TYPE_FLOAT:
      return emit(buffer, float_::form_float(read_float(p, width), width == 4 ? float_::KIND_SINGLE : float_::KIND_DOUBLE));
    case TYPE_PERCENT: {
      int32_t n = emit(buffer, float_::form_float(read_float(p, 8) * 100.0, float_::KIND_PERCENT));
      return n;
    }
    default: runtime::quit(101, 0);
  }
}

int32_t mold_elements(const cell* v, cell* buffer, int32_t part, bool mold) {
  series_buffer* b = buf(v);
  int32_t n = abs_length(b);
  uint32_t w = b->unit(), t = v->w3;
  for (int32_t i = head_of(v); i < n; ++i) {
    if (i > head_of(v)) part -= emit(buffer, " ");
    part -= emit_element(buffer, element(buf(v), i), w, t, mold);
    if (part <= 0) break;
  }
  return part;
}

int32_t form(const cell* value, cell* buffer, const cell*, int32_t part) {
  return mold_elements(value, buffer, part, false);
}

int32_t mold(const cell* value, cell* buffer, bool only, bool, bool, const cell*, int32_t part, int32_t) {
  if (!only) part -= emit(buffer, "make vector! [");
  uint32_t t = value->w3, w = buf(value)->unit();
  bool plain = ks_length_q(value) > 0 && w == default_width(t);
  if (!plain) {
    part -= emit(buffer, datatype::name(t));
    part -= emit(buffer, " ");
    part -= emit(buffer, integer::form_signed(int32_t(w * 8)));
    part -= emit(buffer, " [");
  }
  part = mold_elements(value, buffer, part, true);
  if (!plain) part -= emit(buffer, "]");
  if (!only) part -= emit(buffer, "]");
  return part;
}

// Appends one value of the element type at the tail.
void append_one(cell* v, const cell* value) {
  if (!fits_q(value, v->w3)) invalid_arg(value);
  series_buffer* b = buf(v);
  uint32_t w = b->unit();
  uint8_t* p = series::make_room(b, w);
  set_value(p, value, w, v->w3);
}


uint32_t element_type_of_word(const cell* w) {
  static const uint32_t types[] = {TYPE_INTEGER, TYPE_CHAR, TYPE_FLOAT, TYPE_PERCENT};
  for (uint32_t t : types)
    if (symbol::resolve(w->w2) == symbol::resolve(datatype::name_symbol(t))) return t;
  return 0;
}

cell* make(cell* proto, const cell* spec, uint32_t) {
  uint32_t st = type_of(spec);
  if (st == TYPE_INTEGER || st == TYPE_FLOAT) {
    int32_t n = st == TYPE_INTEGER ? integer::get(spec) : int32_t(float_::get(spec));
    if (n < 0) {
      cell c = *integer::make_at(stack::push_cell(), n);
      error::fire(err::cat_script, err::script::out_of_range, &c);
    }
    make_at(proto, n, TYPE_INTEGER, 4);
    series_buffer* b = buf(proto);
    std::memset(b->tail_ptr(), 0, size_t(n) * 4);
    b->tail += uint32_t(n) * 4;
    return proto;
  }
  if (st != TYPE_BLOCK) error::fire(err::cat_internal, err::internal::not_done);
  cell sp = *spec;
  collector::root_cells keep_spec(&sp);
  int32_t len = block::ks_length_q(&sp);
  if (len == 0) return make_at(proto, 0, TYPE_INTEGER, 4);
  auto at = [&](int32_t i) -> const cell* { return i < len ? block::ks_abs_at(&sp, head_of(&sp) + i) : nullptr; };
  uint32_t type = 0, width = 0;
  int32_t count = 0, i = 0;
  cell values{TYPE_NONE, 0, 0, 0};
  collector::root_cells keep_values(&values);
  const cell* first = at(0);
  if (type_of(first) == TYPE_WORD) {
    type = element_type_of_word(first);
    if (!type || len < 2) error::fire(err::cat_script, err::script::bad_make_arg, proto, spec);
    i = 1;
    const cell* c = at(i);
    if (type_of(c) == TYPE_INTEGER && (type == TYPE_PERCENT || at(i + 1))) {
      int32_t bits = integer::get(c);
      bool ok = type == TYPE_PERCENT || (int_kind_q(type) && (bits == 8 || bits == 16 || bits == 32)) ||
                (type == TYPE_FLOAT && (bits == 32 || bits == 64));
      if (!ok) error::fire(err::cat_script, err::script::bad_make_arg, proto, spec);
      width = type == TYPE_PERCENT ? 8 : uint32_t(bits) / 8;
      ++i;
    } else if (type == TYPE_PERCENT) {
      width = 8;
    } else {
      error::fire(err::cat_script, err::script::invalid_spec_field, spec);
    }
    c = at(i);
    if (c && type_of(c) == TYPE_INTEGER) {
      count = integer::get(c);
      if (count < 0) error::fire(err::cat_script, err::script::out_of_range, c);  // never a huge allocation
      c = at(++i);
      if (c && type_of(c) == TYPE_BLOCK) values = *c, c = at(++i);
    } else if (c && type_of(c) == TYPE_BLOCK) {
      values = *c;
      c = at(++i);
    } else {
      error::fire(err::cat_script, err::script::invalid_spec_field, spec);
    }
    if (c) error::fire(err::cat_script, err::script::invalid_spec_field, spec);
  } else {
    type = type_of(first);
    if (!int_kind_q(type) && !float_kind_q(type)) error::fire(err::cat_script, err::script::invalid_type, first);
    width = default_width(type);
    values = sp;
  }
  int32_t n = type_of(&values) == TYPE_BLOCK ? block::ks_length_q(&values) : 0;
  make_at(proto, std::max({count, n, 1}), type, width);
  for (int32_t k = 0; k < n; ++k) {
    cell v = *block::ks_abs_at(&values, head_of(&values) + k);
    append_one(proto, &v);
  }
  if (count > n) {
    series_buffer* b = buf(proto);
    std::memset(b->tail_ptr(), 0, size_t(count - n) * width);
    b->tail += uint32_t(count - n) * width;
  }
  return proto;
}

int32_t compare(const cell* v1, const cell* v2, int32_t op) {
  if (type_of(v2) != TYPE_VECTOR) return -2;
  if (v1->w3 != v2->w3) error::fire(err::cat_script, err::script::not_same_type);
  bool same = v1->w2 == v2->w2 && v1->w1 == v2->w1;
  if (op == COMP_SAME) return same ? 0 : -1;
  bool equality = op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_STRICT_EQUAL || op == COMP_FIND;
  if (same && equality) return 0;
  int32_t l1 = ks_length_q(v1), l2 = ks_length_q(v2);
  if (l1 == 0 && l2 == 0) return 0;
  if (l1 != l2 && equality) return 1;
  series_buffer *b1 = buf(v1), *b2 = buf(v2);
  uint32_t t = v1->w3;
  for (int32_t i = 0; i < std::min(l1, l2); ++i) {
    const uint8_t* p1 = element(b1, head_of(v1) + i);
    const uint8_t* p2 = element(b2, head_of(v2) + i);
    if (int_kind_q(t)) {
      int64_t a = read_int(p1, b1->unit(), t), b = read_int(p2, b2->unit(), t);
      if (a != b) return a < b ? -1 : 1;
    } else {
      double a = read_float(p1, b1->unit()), b = read_float(p2, b2->unit());
      if (a != b) return a < b ? -1 : 1;
    }
  }
  return l1 == l2 ? 0 : (l1 < l2 ? -1 : 1);
}

// Integer element math: overflow wraps to 32 bits instead of turning float.
int32_t int_op(int32_t a, int32_t b, int32_t op) {
  switch (op) {
    case OP_ADD: return int32_t(uint32_t(a) + uint32_t(b));
    case OP_SUBTRACT: return int32_t(uint32_t(a) - uint32_t(b));
    case OP_MULTIPLY: return int32_t(uint32_t(a) * uint32_t(b));
    case OP_OR: return a | b;
    case OP_AND: return a & b;
    case OP_XOR: return a ^ b;
    default: return integer::do_math_op(a, b, op, nullptr);
  }
}

cell* math(cell* left, const cell* right, int32_t op) {
  if (type_of(left) != TYPE_VECTOR) {
    // scalar op vector reaches here with the vector on the left already.
    math::invalid_type(left);
  }
  if (type_of(right) != TYPE_VECTOR) return do_math_scalar(op, left, right);
  if (left->w3 != right->w3) error::fire(err::cat_script, err::script::not_same_type);
  cell r = *right;
  collector::root_cells keep(&r);
  int32_t n = std::min(ks_length_q(left), ks_length_q(&r));
  uint32_t t = left->w3;
  uint32_t w = std::max(buf(left)->unit(), buf(&r)->unit());
  cell out{TYPE_UNSET, 0, 0, 0};
  collector::root_cells keep_out(&out);
  make_at(&out, n, t, w);
  series_buffer *b1 = buf(left), *b2 = buf(&r), *bo = buf(&out);
  for (int32_t i = 0; i < n; ++i) {
    const uint8_t* p1 = element(b1, head_of(left) + i);
    const uint8_t* p2 = element(b2, head_of(&r) + i);
    uint8_t* po = element(bo, i);
    if (int_kind_q(t))
      write_int(po, int_op(int32_t(read_int(p1, b1->unit(), t)), int32_t(read_int(p2, b2->unit(), t)), op), w);
    else
      write_float(po, float_::do_math_op(read_float(p1, b1->unit()), read_float(p2, b2->unit()), op), w);
  }
  bo->tail += uint32_t(n) * w;
  left->w1 = 0;
  left->w2 = out.w2;
  left->w3 = t;
  return left;
}

cell* add(cell* a, const cell* b) { return math(a, b, OP_ADD); }
cell* subtract(cell* a, const cell* b) { return math(a, b, OP_SUBTRACT); }
cell* multiply(cell* a, const cell* b) { return math(a, b, OP_MULTIPLY); }
cell* divide(cell* a, const cell* b) { return math(a, b, OP_DIVIDE); }
cell* remainder(cell* a, const cell* b) { return math(a, b, OP_REMAINDER); }
cell* and_t(cell* a, const cell* b) { return math(a, b, OP_AND); }
cell* or_t(cell* a, const cell* b) { return math(a, b, OP_OR); }
cell* xor_t(cell* a, const cell* b) { return math(a, b, OP_XOR); }

// The values that append, insert and change write: a block's (paren's,
// hash's) from its head, or the one value.
struct source {
  cell holder;
  int32_t count;
  bool many;
};
source values_of(const cell* value, bool only, bool paths, bool vectors) {
  uint32_t t = type_of(value);
  bool listy = t == TYPE_BLOCK || t == TYPE_PAREN || t == TYPE_HASH || (paths && t >= TYPE_PATH && t <= TYPE_GET_PATH);
  if (!only && listy) return {*value, block::ks_length_q(value), true};
  if (vectors && t == TYPE_VECTOR) return {*value, ks_length_q(value), true};
  return {*value, 1, false};
}
cell value_at(const source& s, int32_t i) {
  if (!s.many) return s.holder;
  if (type_of(&s.holder) == TYPE_VECTOR) {
    series_buffer* b = buf(&s.holder);
    cell* c = get_value(element(b, head_of(&s.holder) + i), b->unit(), s.holder.w3);
    cell v = *c;
    stack::pop(1);
    return v;
  }
  return *block::ks_abs_at(&s.holder, head_of(&s.holder) + i);
}

// Opens `gap` elements at element index `at` (moving what follows) and
// answers the buffer.
series_buffer* open_gap(cell* v, int32_t at, int64_t gap) {
  series_buffer* b = buf(v);
  uint32_t w = b->unit();
  int64_t needed = (int64_t(abs_length(b)) + gap) * w;
  if (needed > int64_t(UINT32_MAX)) no_memory();
  int64_t room = int64_t(b->end() - b->head_ptr());
  if (needed > room) {
    b = memory::expand_series(b, std::max<int64_t>(needed, int64_t(b->size) * 2));
  }
  uint8_t* p = element(b, at);
  std::memmove(p + gap * w, p, size_t(b->tail_ptr() - p));
  b->tail += uint32_t(gap * w);
  return b;
}

cell* insert(cell* series, const cell* value, int32_t part, bool only, int32_t dup, bool append) {
  cell val = *value;
  collector::root_cells keep(&val);
  source src = values_of(&val, only, false, false);
  collector::root_cells keep_src(&src.holder);
  int32_t n = src.many && part >= 0 ? std::min(part, src.count) : src.count;
  int64_t total = int64_t(n) * std::max(dup, 0);
  uint32_t t = series->w3;
  for (int32_t i = 0; i < n; ++i) {
    cell v = value_at(src, i);
    if (!fits_q(&v, t)) invalid_arg(&v);
  }
  series_buffer* b = buf(series);
  checked_bytes(total + abs_length(b), b->unit());
  int32_t at = append ? abs_length(b) : std::min(head_of(series), abs_length(b));
  bool owned = ownership::notify(series, append ? ownership::APPEND : ownership::INSERT, &val, at, int32_t(total));
  b = open_gap(series, at, total);
  uint32_t w = b->unit();
  int32_t k = at;
  for (int32_t d = 0; d < dup; ++d)
    for (int32_t i = 0; i < n; ++i) {
      cell v = value_at(src, i);
      set_value(element(buf(series), k++), &v, w, t);
    }
  if (owned) ownership::notify(series, append ? ownership::APPENDED : ownership::INSERTED, &val, at, int32_t(total));
  if (!append) series->w1 = uint32_t(k);
  return series;
}

cell* change(cell* series, const cell* value, int32_t part, bool only, int32_t dup) {
  cell val = *value;
  collector::root_cells keep(&val);
  source src = values_of(&val, only, true, true);
  collector::root_cells keep_src(&src.holder);
  series_buffer* b = buf(series);
  int32_t at = std::min(head_of(series), abs_length(b));
  int32_t left = abs_length(b) - at;
  int32_t reps = std::max(dup, 1);
  int64_t written = int64_t(src.count) * reps;
  int64_t replaced = std::min<int64_t>(part >= 0 ? part : written, left);
  checked_bytes(abs_length(b) + written, b->unit());
  uint32_t t = series->w3;
  for (int32_t i = 0; i < src.count; ++i) {
    cell v = value_at(src, i);
    if (!fits_q(&v, t)) invalid_arg(&v);
  }
  bool owned = ownership::notify(series, ownership::CHANGE, &val, at, int32_t(replaced));
  if (written > replaced) {
    b = open_gap(series, at + int32_t(replaced), written - replaced);
  } else if (written < replaced) {
    uint32_t w = b->unit();
    uint8_t* to = element(b, at + int32_t(written));
    uint8_t* from = element(b, at + int32_t(replaced));
    std::memmove(to, from, size_t(b->tail_ptr() - from));
    b->tail -= uint32_t((replaced - written) * w);
  }
  int32_t k = at;
  for (int32_t d = 0; d < reps; ++d)
    for (int32_t i = 0; i < src.count; ++i) {
      cell v = value_at(src, i);
      series_buffer* bb = buf(series);
      set_value(element(bb, k++), &v, bb->unit(), t);
    }
  if (owned) ownership::notify(series, ownership::CHANGED, &val, at, int32_t(written));
  series->w1 = uint32_t(std::min(k, abs_length(buf(series))));
  return series;
}

int64_t position(const cell* v, int32_t index) {
  if (index == 0) return -1;
  return int64_t(head_of(v)) + (index > 0 ? int64_t(index) - 1 : int64_t(index));
}

cell* pick(cell* v, int32_t index, const cell*) {
  series_buffer* b = buf(v);
  int64_t at = position(v, index);
  if (at < 0 || at >= abs_length(b)) return none::make_at(v);
  cell* c = get_value(element(b, int32_t(at)), b->unit(), v->w3);
  *v = *c;
  stack::pop(1);
  return v;
}

cell* poke(cell* v, int32_t index, const cell*, const cell* value, bool notify) {
  int64_t at = position(v, index);
  if (at < 0 || at >= abs_length(buf(v))) {
    cell i = *integer::make_at(stack::push_cell(), index);
    error::fire(err::cat_script, err::script::out_of_range, &i);
  }
  cell val = *value;
  collector::root_cells keep(&val);
  if (!fits_q(&val, v->w3)) invalid_arg(&val);
  bool owned = notify && ownership::notify(v, ownership::POKE, &val, int32_t(at), 1);
  series_buffer* b = buf(v);
  if (at < abs_length(b)) set_value(element(b, int32_t(at)), &val, b->unit(), v->w3);
  if (owned) ownership::notify(v, ownership::POKED, &val, int32_t(at), 1);
  *v = val;
  return v;
}

}  // namespace

cell* make_at(cell* target, int32_t count, uint32_t type, uint32_t width) {
  if (count < 0) {
    // A negative count would wrap to a huge allocation: it is refused.
    cell c = *integer::make_at(stack::push_cell(), count);
    error::fire(err::cat_script, err::script::out_of_range, &c);
  }
  uint32_t bytes = checked_bytes(count, width);
  uint32_t node = memory::alloc_series(std::max<uint32_t>(bytes / width, 1), width, 0);
  *target = cell{TYPE_VECTOR, 0, node, type};
  return target;
}

int32_t ks_length_q(const cell* v) { return std::max(abs_length(buf(v)) - head_of(v), 0); }

void ks_clear(cell* v) {
  series_buffer* b = buf(v);
  b->tail = b->head + uint32_t(std::min(head_of(v), abs_length(b))) * b->unit();
}

void ks_append_int(cell* v, int32_t value) {
  uint8_t* p = series::make_room(buf(v), 4);
  std::memcpy(p, &value, 4);
}

cell* get_value(const uint8_t* p, uint32_t width, uint32_t type) {
  switch (type) {
    case TYPE_INTEGER: return integer::push(int32_t(read_int(p, width, type)));
    case TYPE_CHAR: return char_::push(int32_t(read_int(p, width, type)));
    case TYPE_FLOAT: return float_::push(read_float(p, width));
    case TYPE_PERCENT: return float_::make_at(stack::push_cell(), read_float(p, 8), TYPE_PERCENT);
    default: runtime::quit(101, 0);
  }
}

double number_at(const uint8_t* p, uint32_t width, uint32_t type) {
  return int_kind_q(type) ? double(read_int(p, width, type)) : read_float(p, type == TYPE_PERCENT ? 8 : width);
}

void set_value(uint8_t* p, const cell* value, uint32_t width, uint32_t type) {
  uint32_t vt = type_of(value);
  if (!int_kind_q(vt) && !float_kind_q(vt)) error::fire(err::cat_script, err::script::invalid_type, value);
  if (int_kind_q(type))
    write_int(p, int_kind_q(vt) ? int32_t(value->w2) : int64_t(float_::get(value)), width);
  else
    write_float(p, int_kind_q(vt) ? double(int32_t(value->w2)) : float_::get(value), width);
}

void to_block(const cell* v, cell* block) {
  cell vec = *v;
  collector::root_cells keep(&vec);
  int32_t n = ks_length_q(&vec);
  for (int32_t i = 0; i < n; ++i) {
    series_buffer* b = buf(&vec);
    cell* c = get_value(element(b, head_of(&vec) + i), b->unit(), vec.w3);
    block::ks_append(block, c);
    stack::pop(1);
  }
}

cell* do_math_scalar(int32_t op, cell* v, const cell* scalar) {
  uint32_t st = type_of(scalar);
  if (st != TYPE_INTEGER && st != TYPE_FLOAT && st != TYPE_PERCENT) error::fire(err::cat_script, err::script::invalid_type, scalar);
  uint32_t t = v->w3;
  double d = st == TYPE_INTEGER ? double(integer::get(scalar)) : float_::get(scalar);
  int32_t k = st == TYPE_INTEGER ? integer::get(scalar) : int32_t(d);
  if (((op == OP_ADD || op == OP_SUBTRACT) && d == 0) || ((op == OP_MULTIPLY || op == OP_DIVIDE) && d == 1)) return v;
  series_buffer* b = buf(v);
  uint32_t w = b->unit();
  for (int32_t i = head_of(v); i < abs_length(b); ++i) {
    uint8_t* p = element(b, i);
    if (int_kind_q(t))
      write_int(p, int_op(int32_t(read_int(p, w, t)), k, op), w);
    else
      write_float(p, float_::do_math_op(read_float(p, w), d, op), w);
  }
  return v;
}

void init() {
  datatype::registration(TYPE_VECTOR, TYPE_STRING, "vector!")
      .inherit_all()
      .set<ACT_MAKE>(make)
      .set<ACT_TO>(make)
      .set<ACT_FORM>(form)
      .set<ACT_MOLD>(mold)
      .set<ACT_COMPARE>(compare)
      .set<ACT_ADD>(add)
      .set<ACT_DIVIDE>(divide)
      .set<ACT_MULTIPLY>(multiply)
      .set<ACT_REMAINDER>(remainder)
      .set<ACT_SUBTRACT>(subtract)
      .set<ACT_AND_T>(and_t)
      .set<ACT_OR_T>(or_t)
      .set<ACT_XOR_T>(xor_t)
      .set<ACT_APPEND>(insert)
      .set<ACT_INSERT>(insert)
      .set<ACT_CHANGE>(change)
      .set<ACT_PICK>(pick)
      .set<ACT_POKE>(poke)
      .commit();
  math::set_math_body(TYPE_VECTOR, math);
}

}  // namespace kez::vector
