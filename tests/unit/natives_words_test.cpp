// extend over map! values, called through the natives table on a frame of
// its own argument cells.
#include <gtest/gtest.h>

#include <string>

#include "runtime/cycles.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/hash.h"
#include "runtime/datatypes/map.h"
#include "runtime/datatypes/path.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/lexer.h"
#include "runtime/natives.h"
#include "runtime/ownership.h"
#include "runtime/system_stub.h"
#include "runtime/thrown.h"
#include "words_fixture.h"

namespace kez::testing {
namespace {

constexpr uint32_t EXTEND = 83;

class natives_words_test : public words_test {
 protected:
  void SetUp() override {
    words_test::SetUp();
    series::init();
    block::init();
    paren::init();
    path::init();
    ownership::init();
    ownership::set_hook(nullptr);
    cycles::reset();
    string::init();
    map::init();
    hash_::init();
    saved_ = hashtable::hook;
    hashtable::hook.compare = [](const cell* a, const cell* b, int op) { return actions::compare_value(a, b, op) == 0; };
    system_stub::reset();
    system_stub::hooks = {};
    system_stub::hooks.make_word = [](cell* target, const char* name) {
      *target = cell{TYPE_WORD, 0, 0, 0};
      word::make_at(symbol::make(name), target);
    };
    lexer::init();
    natives::init();
  }
  void TearDown() override {
    hashtable::hook = saved_;
    system_stub::reset();
    system_stub::hooks = {};
    ownership::release();
    words_test::TearDown();
  }
  hashtable::hooks saved_;

  // The first value of a source text, on the data stack.
  static cell* load(const std::string& text) {
    cell* b = stack::push_cell();
    *b = cell{TYPE_NONE, 0, 0, 0};
    lexer::load_utf8(b, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    return stack::push(block::ks_abs_at(b, 0));
  }
  // extend target spec (/case when asked), the map's cell left in target.
  static void extend(cell* target, const cell* spec, bool case_ = false) {
    cell* saved = stack::arguments;
    cell* base = stack::top;
    stack::arguments = base;
    stack::push(target);
    stack::push(spec);
    int32_t refinements[1] = {case_ ? 2 : -1};
    struct restore {
      cell* saved;
      cell* base;
      ~restore() {
        stack::arguments = saved;
        stack::top = base;
      }
    } guard{saved, base};
    natives::table[EXTEND - 1](0, refinements);
  }
  static int32_t value_of(const cell* m, const char* key_text) {
    cell* key = load(key_text);
    cell* v = map::get_value(m, key, false, false);
    return v && type_of(v) == TYPE_INTEGER ? int32_t(v->w2) : -1;
  }
};

TEST_F(natives_words_test, extend_adds_and_replaces_the_pairs_of_a_block) {
  cell* m = load("#[a 1 b 2]");
  extend(m, load("[b 20 c 3]"));
  EXPECT_EQ(actions::length_q_dispatch(m), 3);
  EXPECT_EQ(value_of(m, "a"), 1);
  EXPECT_EQ(value_of(m, "b"), 20);
  EXPECT_EQ(value_of(m, "c"), 3);
  try {
    extend(m, load("[d]"));
    ADD_FAILURE() << "an odd block was taken";
  } catch (const thrown& t) {
    EXPECT_EQ(error::last_id(), err::script::invalid_arg);
  }
}

TEST_F(natives_words_test, extend_from_a_map_skips_its_removed_entries) {
  cell* source = load("#[x 1 y 2 z 3]");
  cell* key = load("y");
  actions::get_action_ptr_value<ACT_REMOVE>(source)(source, nullptr, key);
  ASSERT_EQ(actions::length_q_dispatch(source), 2);
  cell* m = load("#[y 9]");
  extend(m, source);
  EXPECT_EQ(actions::length_q_dispatch(m), 3);
  EXPECT_EQ(value_of(m, "x"), 1);
  EXPECT_EQ(value_of(m, "y"), 9);
  EXPECT_EQ(value_of(m, "z"), 3);
}

TEST_F(natives_words_test, extend_with_case_keeps_keys_that_differ_in_case_apart) {
  cell* m = load("#[\"k\" 1]");
  extend(m, load("[\"K\" 2]"));
  EXPECT_EQ(actions::length_q_dispatch(m), 1);
  extend(m, load("[\"K\" 3]"), true);
  EXPECT_EQ(actions::length_q_dispatch(m), 2);
}

}  // namespace
}  // namespace kez::testing
