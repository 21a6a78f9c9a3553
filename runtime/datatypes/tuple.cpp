#include "runtime/datatypes/tuple.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "runtime/actions.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/string.h"
#include "runtime/random.h"
#include "runtime/stack.h"
#include "runtime/system_stub.h"

namespace kez::tuple {

namespace {

cell* set(cell* target, const uint8_t* bytes, int32_t count) {
  *target = cell{TYPE_TUPLE | uint32_t(std::max(count, 3)) << COUNT_SHIFT, 0, 0, 0};
  std::copy(bytes, bytes + count, bytes_of(target));
  return target;
}

[[noreturn]] void bad_to(const cell* spec) { math::fire_with_type(err::script::bad_to_arg, TYPE_TUPLE, spec); }

// A double into a byte: saturating, and NaN counts as 0.
uint8_t byte_of(double d) {
  if (!(d > 0)) return 0;
  if (d >= 255) return 255;
  return uint8_t(d);
}
uint8_t byte_of(int64_t n) { return uint8_t(std::clamp<int64_t>(n, 0, 255)); }

int hex_digit(int32_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

cell* from_issue(cell* proto, const cell* spec) {
  const char* name = system_stub::hooks.word_name ? system_stub::hooks.word_name(spec) : nullptr;
  if (!name) bad_to(spec);
  int32_t n = int32_t(std::char_traits<char>::length(name));
  if (n != 3 && n != 6 && n != 8) error::fire(err::cat_script, err::script::invalid_data, spec);
  uint8_t digits[8];
  for (int32_t i = 0; i < n; ++i) {
    int d = uint8_t(name[i]) < 32 ? -1 : hex_digit(name[i]);
    if (d < 0) error::fire(err::cat_script, err::script::invalid_data, spec);
    digits[i] = uint8_t(d);
  }
  uint8_t out[4];
  int32_t count = n == 3 ? 3 : n / 2;
  for (int32_t i = 0; i < count; ++i)
    out[i] = n == 3 ? uint8_t(digits[i] * 17) : uint8_t(digits[2 * i] << 4 | digits[2 * i + 1]);
  return set(proto, out, count);
}

cell* make(cell* proto, const cell* spec, uint32_t) {
  uint32_t t = type_of(spec);
  uint8_t out[12] = {};
  switch (t) {
    case TYPE_TUPLE: *proto = *spec; return proto;
    case TYPE_BLOCK:
    case TYPE_PAREN:
    case TYPE_HASH: {
      cell b = *spec;
      int32_t n = block::ks_length_q(&b);
      if (n > 12) bad_to(spec);
      const cell* v = block::ks_head(&b);
      for (int32_t i = 0; i < n; ++i) {
        uint32_t vt = type_of(v + i);
        double d;
        if (vt == TYPE_INTEGER || vt == TYPE_CHAR) d = double(integer::get(v + i));
        else if (vt == TYPE_FLOAT) d = std::trunc(float_::get(v + i));
        else bad_to(spec);
        if (!(d >= 0 && d <= 255)) bad_to(spec);
        out[i] = uint8_t(d);
      }
      return set(proto, out, std::max(n, 3));
    }
    case TYPE_BINARY: {
      int32_t n = std::min(binary::ks_length_q(spec), 12);
      const uint8_t* p = binary::ks_head(const_cast<cell*>(spec));
      std::copy(p, p + n, out);
      return set(proto, out, std::max(n, 3));
    }
    case TYPE_ISSUE: return from_issue(proto, spec);
    default:
      if (system_stub::load_as(spec, TYPE_TUPLE, proto)) return proto;
      bad_to(spec);
  }
}

int32_t form(const cell* value, cell* buffer, const cell*, int32_t part) {
  std::string text;
  for (int32_t i = 0; i < count_of(value); ++i) {
    if (i) text += '.';
    text += std::to_string(bytes_of(value)[i]);
  }
  string::concatenate_literal(buffer, text.c_str());
  return part - int32_t(text.size());
}

int32_t mold(const cell* value, cell* buffer, bool, bool, bool, const cell* arg, int32_t part, int32_t) {
  return form(value, buffer, arg, part);
}

cell* pick(cell* series, int32_t index, const cell* boxed) {
  if (index < 1 || index > count_of(series)) error::fire(err::cat_script, err::script::out_of_range, boxed);
  return integer::make_at(series, bytes_of(series)[index - 1]);
}

cell* eval_path(cell* parent, const cell* element, const cell* value, const cell*,
                const cell* grand_parent, const cell* previous, int32_t index, bool, bool, bool, bool) {
  if (type_of(element) != TYPE_INTEGER) math::invalid_type(element);
  int32_t i = integer::get(element);
  if (!value) return pick(parent, i, element);
  uint32_t vt = type_of(value);
  if (vt != TYPE_INTEGER && vt != TYPE_NONE) math::invalid_type(value);
  if (i < 1 || i > count_of(parent)) error::fire(err::cat_script, err::script::out_of_range, element);
  const cell old = *parent;
  uint8_t* b = bytes_of(parent);
  if (vt == TYPE_INTEGER) {
    b[i - 1] = byte_of(int64_t(integer::get(value)));
  } else {
    int32_t keep = std::max(i - 1, 3);
    std::fill(b + (i - 1), b + 12, 0);
    parent->header = (parent->header & ~(0xFu << COUNT_SHIFT)) | uint32_t(keep) << COUNT_SHIFT;
  }
  system_stub::scalar_changed(grand_parent, previous, index, &old, parent);
  return parent;
}

int32_t compare(const cell* value1, const cell* value2, int32_t) {
  if (type_of(value2) != TYPE_TUPLE) return -2;
  // Bytes past a count are kept 0, so one walk over all 12 covers both.
  const uint8_t *a = bytes_of(value1), *b = bytes_of(value2);
  int32_t n = std::max(count_of(value1), count_of(value2));
  for (int32_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
  return 0;
}

cell* complement(cell* value) {
  for (int32_t i = 0; i < count_of(value); ++i) bytes_of(value)[i] = uint8_t(255 - bytes_of(value)[i]);
  return value;
}

int32_t length_q(cell* value) { return count_of(value); }

cell* reverse(cell* value, const cell* part, const cell* skip) {
  int32_t range = count_of(value);
  if (part) {
    if (type_of(part) != TYPE_INTEGER) error::fire(err::cat_script, err::script::invalid_refine_arg, part);
    if (integer::get(part) < 0) error::fire(err::cat_script, err::script::out_of_range, part);
    range = std::min(range, integer::get(part));
  }
  int32_t size = 1;
  if (skip) {
    if (type_of(skip) != TYPE_INTEGER) error::fire(err::cat_script, err::script::invalid_refine_arg, skip);
    size = integer::get(skip);
    if (size < 1) error::fire(err::cat_script, err::script::out_of_range, skip);
    if (size > range || range % size) error::fire(err::cat_script, err::script::invalid_refine_arg, skip);
  }
  uint8_t* b = bytes_of(value);
  // Records of `size` bytes in reverse order: reverse all, then each record back.
  std::reverse(b, b + range);
  if (size > 1)
    for (int32_t i = 0; i < range; i += size) std::reverse(b + i, b + i + size);
  return value;
}

cell* random(cell* value, bool seed, bool secure, bool) {
  if (seed) {
    kez::random::seed(value->w1 ^ value->w2 ^ value->w3);
    *value = cell{TYPE_UNSET, 0, 0, 0};
    return value;
  }
  for (int32_t i = 0; i < count_of(value); ++i) {
    uint8_t& b = bytes_of(value)[i];
    b = uint8_t((secure ? kez::random::next_secure() : kez::random::next_uint32()) % (uint32_t(b) + 1));
  }
  return value;
}

cell* add(cell* a, const cell* b) { return do_math(a, b, OP_ADD); }
cell* subtract(cell* a, const cell* b) { return do_math(a, b, OP_SUBTRACT); }
cell* multiply(cell* a, const cell* b) { return do_math(a, b, OP_MULTIPLY); }
cell* divide(cell* a, const cell* b) { return do_math(a, b, OP_DIVIDE); }
cell* remainder(cell* a, const cell* b) { return do_math(a, b, OP_REMAINDER); }
cell* and_t(cell* a, const cell* b) { return do_math(a, b, OP_AND); }
cell* or_t(cell* a, const cell* b) { return do_math(a, b, OP_OR); }
cell* xor_t(cell* a, const cell* b) { return do_math(a, b, OP_XOR); }

}  // namespace

cell* push(int32_t count, uint32_t w1, uint32_t w2, uint32_t w3) {
  return &(*stack::push_cell() = cell{uint32_t(count) << COUNT_SHIFT | TYPE_TUPLE, w1, w2, w3});
}

cell* make_at(cell* target, const int32_t* values, int32_t count) {
  uint8_t out[12] = {};
  count = std::min(count, 12);
  for (int32_t i = 0; i < count; ++i) out[i] = uint8_t(values[i]);
  return set(target, out, std::max(count, 3));
}

cell* make_rgba(cell* target, int32_t r, int32_t g, int32_t b, int32_t alpha) {
  int32_t v[4] = {r, g, b, alpha};
  return make_at(target, v, alpha < 0 ? 3 : 4);
}

bool zero_q(const cell* value) {
  for (int32_t i = 0; i < count_of(value); ++i)
    if (bytes_of(value)[i]) return false;
  return true;
}

cell* do_math(cell* left, const cell* right, int32_t op) {
  uint32_t rt = type_of(right);
  uint8_t* a = bytes_of(left);
  int32_t n = count_of(left);
  uint8_t out[12] = {};
  if (rt == TYPE_FLOAT || rt == TYPE_PERCENT) {
    double f = float_::get(right);
    for (int32_t i = 0; i < n; ++i) out[i] = byte_of(float_::do_math_op(a[i], f, op));
    return set(left, out, n);
  }
  if (rt != TYPE_TUPLE && rt != TYPE_INTEGER) math::invalid_type(right);
  bool bytes = rt == TYPE_TUPLE;
  if (bytes) n = std::max(n, count_of(right));
  for (int32_t i = 0; i < n; ++i) {
    int64_t x = a[i], y = bytes ? bytes_of(right)[i] : integer::get(right);
    int64_t r;
    switch (op) {
      case OP_ADD: r = x + y; break;
      case OP_SUBTRACT: r = x - y; break;
      case OP_MULTIPLY: r = x * y; break;
      default: r = integer::do_math_op(int32_t(x), int32_t(y), op, nullptr); break;
    }
    out[i] = byte_of(r);
  }
  return set(left, out, n);
}

void init() {
  datatype::registration(TYPE_TUPLE, 0, "tuple!")
      .set<ACT_MAKE>(make)
      .set<ACT_TO>(make)
      .set<ACT_RANDOM>(random)
      .set<ACT_FORM>(form)
      .set<ACT_MOLD>(mold)
      .set<ACT_EVAL_PATH>(eval_path)
      .set<ACT_COMPARE>(compare)
      .set<ACT_ADD>(add)
      .set<ACT_DIVIDE>(divide)
      .set<ACT_MULTIPLY>(multiply)
      .set<ACT_REMAINDER>(remainder)
      .set<ACT_SUBTRACT>(subtract)
      .set<ACT_AND_T>(and_t)
      .set<ACT_COMPLEMENT>(complement)
      .set<ACT_OR_T>(or_t)
      .set<ACT_XOR_T>(xor_t)
      .set<ACT_LENGTH_Q>(length_q)
      .set<ACT_PICK>(pick)
      .set<ACT_REVERSE>(reverse)
      .commit();
  math::set_math_body(TYPE_TUPLE, do_math);
}

}  // namespace kez::tuple
