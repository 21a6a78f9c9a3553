// The core value types plus integer!, float! and binary!, with helpers that
// run actions through dispatch and read results back.
#pragma once

#include <string>
#include <vector>

#include "runtime/actions.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "values_fixture.h"

namespace kez::testing {

class numbers_test : public values_test {
 protected:
  void SetUp() override {
    values_test::SetUp();
    integer::init();  // replaces the fixture's minimal integer!
    float_::init();
    binary::init();
    float_::pretty_q = true;
  }
};

inline cell number(double d, uint32_t type = TYPE_FLOAT) {
  cell c;
  float_::make_at(&c, d, type);
  return c;
}

// form or mold of a value, as UTF-8.
inline std::string formed(const cell* value, bool mold = false) {
  cell* out = empty_text();
  if (mold) actions::mold_dispatch(value, out, false, false, false, nullptr, 0x7FFFFFFF, 0);
  else actions::form_dispatch(value, out, nullptr, 0x7FFFFFFF);
  return utf8_of(out);
}

// A binary! on the data stack holding the bytes.
inline cell* bytes_value(const std::vector<uint8_t>& bytes) {
  return binary::load(bytes.data(), uint32_t(bytes.size()));
}

// The bytes of a binary! from its head.
inline std::vector<uint8_t> bytes_of(cell* bin) {
  const uint8_t* p = binary::ks_head(bin);
  return std::vector<uint8_t>(p, p + binary::ks_length_q(bin));
}

}  // namespace kez::testing
