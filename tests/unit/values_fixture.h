// A fresh heap, fresh stacks and a registry holding the core value types,
// plus small builders for values the tests need before their own modules
// exist (integer!, float!, char!, block!).
#pragma once

#include <string>

#include "heap_fixture.h"
#include "runtime/case_map.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/unset.h"
#include "runtime/stack.h"

namespace kez::testing {

inline cell integer(int32_t n) { return cell{TYPE_INTEGER, 0, uint32_t(n), 0}; }
inline cell character(int32_t cp) { return cell{TYPE_CHAR, 0, uint32_t(cp), 0}; }
inline cell float_value(double d) {
  cell c{TYPE_FLOAT, 0, 0, 0};
  store_double(&c.w2, d);
  return c;
}
inline cell datatype_value(uint32_t type) {
  cell c;
  datatype::make_at(&c, type);
  return c;
}

// A minimal integer! form, so that formed values have something to write.
inline int32_t form_integer(const cell* value, cell* buffer, const cell*, int32_t part) {
  std::string text = std::to_string(int32_t(value->w2));
  string::concatenate_literal(buffer, text.c_str());
  return part - int32_t(text.size());
}

class values_test : public heap_test {
 protected:
  void SetUp() override {
    heap_test::SetUp();
    case_::init();
    stack::init();
    datatype::reset();
    datatype::init();
    unset::init();
    none::init();
    logic::init();
    string::init();
    datatype::registration(TYPE_INTEGER, 0, "integer!").set<ACT_FORM>(form_integer).commit();
  }
  void TearDown() override {
    stack::release();
    heap_test::TearDown();
  }
};

// A string! on the data stack holding the UTF-8 text.
inline cell* text(const std::string& utf8) {
  return string::load(reinterpret_cast<const uint8_t*>(utf8.data()), utf8.size(), nullptr);
}
inline cell* empty_text() { return string::make_at(stack::push_cell(), 16); }

// The UTF-8 form of a string from its head.
inline std::string utf8_of(cell* s) {
  int32_t n = -1;
  const uint8_t* p = string::utf8_bytes(s, n);
  return std::string(reinterpret_cast<const char*>(p), size_t(n));
}

inline uint32_t unit_of(const cell* s) { return string::buffer_of(s)->unit(); }

// Runs fn and answers {category, id} of the error it fired, or {-1, -1}.
template <class F>
std::pair<int, int> error_of(F fn) {
  try {
    fn();
  } catch (const thrown& t) {
    if (t.code == THROWN_ERROR) return {error::last_category(), error::last_id()};
    return {-2, -2};
  }
  return {-1, -1};
}

}  // namespace kez::testing
