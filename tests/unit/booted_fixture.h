// A fully started runtime (the library booted) on a fresh heap for every
// test, and source text evaluated in it.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "heap_fixture.h"
#include "runtime/boot.h"
#include "runtime/datatypes/none.h"
#include "runtime/error_ids.h"

namespace kez::testing {

class booted_test : public heap_test {
 protected:
  void SetUp() override {
    heap_test::SetUp();
    boot::init();
  }

  // Evaluates source text; the last value is left on the data stack (none
  // after an error, which fails the test).
  cell* run(const std::string& source) {
    cell* code = stack::push_cell();
    lexer::load_utf8(code, reinterpret_cast<const uint8_t*>(source.data()), source.size());
    cell block = *code;
    collector::root_cells keep(&block);
    stack::pop(1);
    try {
      EXPECT_EQ(interpreter::eval(&block, false), 0u) << source;
    } catch (const thrown&) {
      ADD_FAILURE() << source << ": " << err::id_name(error::last_category(), error::last_id());
      none::make_at(stack::push_cell());
    }
    return stack::top - 1;
  }
};

}  // namespace kez::testing
