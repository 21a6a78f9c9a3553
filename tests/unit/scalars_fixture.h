// The scalar datatypes (money!, date!, time!, pair!, point2D!, point3D!,
// tuple!, percent!, triple!) over blocks and numbers, with stand-in words
// that need no symbol table: a word cell's word 2 indexes a table of names,
// installed as the system stand-in's word services.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "block_fixture.h"
#include "numbers_fixture.h"
#include "runtime/datatypes/date.h"
#include "runtime/datatypes/money.h"
#include "runtime/datatypes/pair.h"
#include "runtime/datatypes/percent.h"
#include "runtime/datatypes/point.h"
#include "runtime/datatypes/time.h"
#include "runtime/datatypes/triple.h"
#include "runtime/datatypes/tuple.h"
#include "runtime/random.h"
#include "runtime/system_stub.h"

namespace kez::testing {

inline std::vector<std::string>& word_names() {
  static std::vector<std::string> names;
  return names;
}
inline cell word(const char* name, uint32_t type = TYPE_WORD) {
  auto& names = word_names();
  for (size_t i = 0; i < names.size(); ++i)
    if (names[i] == name) return cell{type, 0, uint32_t(i), 0};
  names.push_back(name);
  return cell{type, 0, uint32_t(names.size() - 1), 0};
}
inline const char* word_name(const cell* w) {
  uint32_t t = type_of(w);
  bool wordish = (t >= TYPE_WORD && t <= TYPE_GET_WORD) || t == TYPE_ISSUE;
  return wordish && w->w2 < word_names().size() ? word_names()[w->w2].c_str() : nullptr;
}

class scalars_test : public block_test {
 protected:
  void SetUp() override {
    block_test::SetUp();
    integer::init();
    float_::init();
    binary::init();
    float_::pretty_q = true;
    money::init();
    time::init();
    percent::init();
    date::init();
    pair::init();
    point2D::init();
    point3D::init();
    tuple::init();
    triple::init();
    system_stub::reset();
    system_stub::hooks.word_name = word_name;
    system_stub::hooks.make_word = [](cell* target, const char* name) { *target = word(name); };
    random::init();
  }
  void TearDown() override {
    system_stub::reset();
    block_test::TearDown();
  }
};

// A money literal: [-][CUR]$digits[.digits], with "'" allowed in the digits.
inline cell money_of(const char* text) {
  cell c;
  bool negative = *text == '-';
  if (negative) ++text;
  const char* dollar = std::strchr(text, '$');
  const char* currency = dollar - text == 3 ? text : nullptr;
  const char* end = text + std::strlen(text);
  const char* point = std::strchr(dollar, '.');
  if (!money::load_text(&c, negative, currency, dollar + 1, point, end)) c = cell{TYPE_NONE, 0, 0, 0};
  return c;
}

// A copy of the value on the data stack, where the collector sees (and,
// when nodes move, rewrites) it: rows of test tables that hold series
// point at such cells, never at copies in C++ locals.
inline const cell* held(cell value) { return stack::push(&value); }

inline cell time_of(double seconds) {
  cell c;
  return *time::make_at(&c, seconds);
}
inline cell date_of(int32_t y, int32_t m, int32_t d) {
  cell c;
  return *date::make_at_fields(&c, y, m, d, 0, 0, false);
}
// The zone's hours carry its sign.
inline cell date_time(int32_t y, int32_t m, int32_t d, double local, int32_t zone_h = 0, int32_t zone_m = 0) {
  cell c;
  return *date::make_at_fields(&c, y, m, d, local, zone_h * 60 + (zone_h < 0 ? -zone_m : zone_m), true);
}
inline cell pair_of(int32_t x, int32_t y) {
  cell c;
  return *pair::make_at(&c, x, y);
}
inline cell point_of(float x, float y) {
  cell c;
  return *point2D::make_at(&c, x, y);
}
inline cell point_of(float x, float y, float z) {
  cell c;
  return *point3D::make_at(&c, x, y, z);
}
inline cell tuple_of(std::initializer_list<int32_t> bytes) {
  cell c;
  std::vector<int32_t> v(bytes);
  return *tuple::make_at(&c, v.data(), int32_t(v.size()));
}

inline std::string molded_all(const cell* value) {
  cell* out = empty_text();
  actions::mold_dispatch(value, out, false, true, false, nullptr, 0x7FFFFFFF, 0);
  return utf8_of(out);
}

// a op b through typed dispatch, on copies; the result cell.
template <uint32_t A>
cell apply(cell a, cell b) {
  return *actions::dispatch<A>(&a, static_cast<const cell*>(&b));
}

// Reads (value null) or writes a path element of a scalar; answers the cell.
inline cell path_step(cell& target, const cell& element, const cell* value = nullptr) {
  cell path = cell{TYPE_NONE, 0, 0, 0};
  cell* r = actions::get_action_ptr_value<ACT_EVAL_PATH>(&target)(&target, &element, value, &path, nullptr,
                                                                    nullptr, 0, false, value == nullptr, false,
                                                                    true);
  return *r;
}

inline cell make_value(uint32_t type, const cell& spec, bool make = true) {
  cell proto = datatype_value(type);
  return make ? *actions::make_dispatch(&proto, &spec) : *actions::to_dispatch(&proto, &spec);
}

}  // namespace kez::testing
