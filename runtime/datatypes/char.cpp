#include "runtime/datatypes/char.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "runtime/actions.h"
#include "runtime/collector.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/string.h"
#include "runtime/stack.h"
#include "runtime/utf.h"

namespace kez::char_ {

namespace {

// The letter written after a caret for code points 0-94, or 0 for none.
constexpr char escape_letter(int32_t cp) {
  if (cp < 32) return "@ABCDEFGH-/KLMNOPQRSTUVWXYZ[\\]^_"[cp];
  if (cp == '"') return '"';
  if (cp == '^') return '^';
  return 0;
}

bool text_type_q(uint32_t t) {
  return t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL || t == TYPE_TAG || t == TYPE_EMAIL || t == TYPE_REF;
}

[[noreturn]] void bad_to(const cell* value) {
  cell target;
  datatype::make_at(&target, TYPE_CHAR);
  error::fire(err::cat_script, err::script::bad_to_arg, &target, value);
}

int32_t checked(int64_t cp, const cell* value) {
  if (cp < 0 || cp > MAX) error::fire(err::cat_script, err::script::out_of_range, value);
  return int32_t(cp);
}

int32_t from_binary(const cell* spec) {
  cell b = *spec;
  int32_t n = binary::ks_length_q(&b);
  if (n <= 0) bad_to(spec);
  const uint8_t* p = binary::ks_head(&b);
  int32_t avail = std::min(std::max(utf8::seq_length(p[0]), 1), n);
  int32_t cp = utf8::try_decode_sequence(p, avail);
  return cp < 0 ? 0xFFFE : cp;
}

}  // namespace

cell* make_in(cell* block, int32_t cp) {
  auto* c = reinterpret_cast<cell*>(series::make_room(memory::buffer_of(block->w2), sizeof(cell)));
  return make_at(c, cp);
}

cell* push(int32_t cp) { return make_at(stack::push_cell(), cp); }
cell* box(int32_t cp) { return make_at(stack::arguments, cp); }

void append_escaped(cell* buffer, int32_t cp, bool all) {
  if (cp == 0x1E || (cp >= 0x80 && cp <= 0x9F) || (all && cp > 127)) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "^(%X)", unsigned(cp));
    string::concatenate_literal(buffer, hex);
  } else if (cp < 95 && escape_letter(cp)) {
    const char text[] = {'^', escape_letter(cp), 0};
    string::concatenate_literal(buffer, text);
  } else if (cp == 127) {
    string::concatenate_literal(buffer, "^~");
  } else {
    string::append_char(string::buffer_of(buffer), cp);
  }
}

cell* make(cell* proto, const cell* spec, uint32_t) {
  uint32_t t = type_of(spec);
  int32_t cp;
  if (text_type_q(t)) {
    cell s = *spec;
    if (string::ks_length_q(&s) <= 0) bad_to(spec);
    cp = string::get_char(string::ks_head(&s), string::buffer_of(&s)->unit());
  } else if (t == TYPE_CHAR || t == TYPE_INTEGER) {
    cp = checked(int32_t(spec->w2), spec);
  } else if (t == TYPE_FLOAT || t == TYPE_PERCENT) {
    double d = float_::get(spec);
    if (!(d > -1.0 && d < double(MAX) + 1.0)) error::fire(err::cat_script, err::script::out_of_range, spec);
    cp = checked(int64_t(std::trunc(d)), spec);
  } else if (t == TYPE_BINARY) {
    cp = from_binary(spec);
  } else {
    bad_to(spec);
  }
  return make_at(proto, cp);
}

int32_t form(const cell* value, cell* buffer, const cell*, int32_t part) {
  string::append_char(string::buffer_of(buffer), get(value));
  return part - 1;
}

int32_t mold(const cell* value, cell* buffer, bool, bool all, bool, const cell*, int32_t part, int32_t) {
  int32_t cp = get(value);
  string::concatenate_literal(buffer, "#\"");
  append_escaped(buffer, cp, all);
  string::concatenate_literal(buffer, "\"");
  return part - 4;
}

int32_t compare(const cell* value1, const cell* value2, int32_t op) {
  uint32_t t2 = type_of(value2);
  if ((op == COMP_STRICT_EQUAL || op == COMP_FIND) && t2 != TYPE_CHAR) return 1;
  if (t2 != TYPE_CHAR && t2 != TYPE_INTEGER) return -2;
  int32_t a = get(value1), b = int32_t(value2->w2);
  return a < b ? -1 : a > b ? 1 : 0;
}

cell* do_math(cell* value1, const cell* value2, int32_t op) {
  int32_t right;
  switch (type_of(value2)) {
    case TYPE_CHAR: case TYPE_INTEGER: right = int32_t(value2->w2); break;
    case TYPE_FLOAT: {
      double d = float_::get(value2);
      if (integer::overflow_q(d)) error::fire(err::cat_math, err::math::overflow);
      right = int32_t(std::trunc(d));
      break;
    }
    case TYPE_VECTOR: {
      math::body vector_math = math::math_body(TYPE_VECTOR);
      if (!vector_math) math::invalid_type(value2);
      return vector_math(value1, value2, op);
    }
    default: math::invalid_type(value2);
  }
  int32_t left = get(value1);
  int32_t result;
  if (op == OP_DIVIDE) {
    result = integer::do_math_op(left, right, op, nullptr);
  } else {
    // Given a result cell, the core turns an overflowing answer into a float!.
    cell r = *value1;
    result = integer::do_math_op(left, right, op, &r);
    if (type_of(&r) != TYPE_CHAR) error::fire(err::cat_math, err::math::overflow);
  }
  if (result < 0 || result > MAX) error::fire(err::cat_math, err::math::overflow);
  value1->w2 = uint32_t(result);
  return value1;
}

cell* add(cell* value1, const cell* value2) { return do_math(value1, value2, OP_ADD); }
cell* subtract(cell* value1, const cell* value2) { return do_math(value1, value2, OP_SUBTRACT); }
cell* multiply(cell* value1, const cell* value2) { return do_math(value1, value2, OP_MULTIPLY); }
cell* divide(cell* value1, const cell* value2) { return do_math(value1, value2, OP_DIVIDE); }
cell* remainder(cell* value1, const cell* value2) { return do_math(value1, value2, OP_REMAINDER); }
cell* and_t(cell* value1, const cell* value2) { return do_math(value1, value2, OP_AND); }
cell* or_t(cell* value1, const cell* value2) { return do_math(value1, value2, OP_OR); }
cell* xor_t(cell* value1, const cell* value2) { return do_math(value1, value2, OP_XOR); }

void init() {
  datatype::registration(TYPE_CHAR, TYPE_INTEGER, "char!")
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
      .inherit(ACT_RANDOM)
      .inherit(ACT_ABSOLUTE)
      .inherit(ACT_EVEN_Q)
      .inherit(ACT_ODD_Q)
      .commit();
}

}  // namespace kez::char_
