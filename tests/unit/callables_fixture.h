// The word, block and lexer layers with the callables, object! and error!
// registered and the error catalogue built, plus a stand-in for the two
// evaluator services these modules call: a block evaluator that knows only
// runs of set-words followed by a literal or a word, and a function caller
// that records the arguments of each hook call instead of running the body.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "runtime/cycles.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/path.h"
#include "runtime/datatypes/series.h"
#include "runtime/lexer.h"
#include "runtime/ownership.h"
#include "words_fixture.h"

namespace kez::testing {

// The error catalogue's source, for fixtures that build the catalogue
// without the boot data.
inline const char errors_source[] =
#include "errors_kez.inc"
    ;


inline std::vector<std::string>& calls() {
  static std::vector<std::string> log;
  return log;
}

inline std::string form_text(const cell* value) {
  cell v = *value;
  collector::root_cells keep(&v);
  cell* buffer = empty_text();
  actions::form_dispatch(&v, buffer, nullptr, 0x7FFFFFFF);
  std::string s = utf8_of(buffer);
  stack::pop(1);
  return s;
}
inline std::string mold_text(const cell* value, bool all = false) {
  cell v = *value;
  collector::root_cells keep(&v);
  cell* buffer = empty_text();
  actions::mold_dispatch(&v, buffer, false, all, false, nullptr, 0x7FFFFFFF, 0);
  std::string s = utf8_of(buffer);
  stack::pop(1);
  return s;
}

// Evaluates `a: b: value` runs; a word value is read, a lit-word gives its
// word, anything else is taken as it is.
inline void eval_set_words(cell* block) {
  for (int32_t i = 0, n = block::ks_length_q(block); i < n; ++i) {
    int32_t j = i;
    while (j < n && type_of(block::ks_head(block) + j) == TYPE_SET_WORD) ++j;
    if (j == i || j == n) continue;
    cell v = block::ks_head(block)[j];
    if (type_of(&v) == TYPE_WORD) v = *context::get(&v);
    else if (type_of(&v) == TYPE_LIT_WORD) set_cell_type(&v, TYPE_WORD);
    collector::root_cells keep(&v);
    for (int32_t k = i; k < j; ++k) {
      cell w = block::ks_head(block)[k];
      context::set(&w, &v);
    }
    i = j;
  }
  none::make_at(stack::push_cell());
}

// Records "word old new ..." (each argument formed) and answers unset.
inline void record_call(const cell*, uint32_t, const cell*) {
  std::string line;
  for (cell* c = stack::arguments; c < stack::top; ++c) {
    if (c != stack::arguments) line += ' ';
    line += form_text(c);
  }
  calls().push_back(line);
  unset::make_at(stack::arguments);
  stack::top = stack::arguments + 1;
}

class callables_test : public words_test {
 protected:
  void SetUp() override {
    words_test::SetUp();
    series::init();
    block::init();
    paren::init();
    path::init();
    ownership::init();
    lexer::init();
    cycles::reset();
    function::init();
    routine::init();
    native::init();
    action_::init();
    op::init();
    object::init();
    object::reset_class_ids();
    saved_evaluator = object::evaluator;
    object::evaluator = {eval_set_words, record_call};
    root::building = true;
    try {
      // As at start-up: the catalogue is built before the collector runs.
      bool was_enabled = collector::enabled();
      collector::set_enabled(false);
      cell catalogue{TYPE_NONE, 0, 0, 0};
      lexer::load_utf8(&catalogue, reinterpret_cast<const uint8_t*>(errors_source), std::strlen(errors_source));
      error::init(&catalogue);
      collector::set_enabled(was_enabled);
    } catch (const thrown&) {
      root::building = false;
      FAIL() << "building the catalogue raised " << err::category_name(error::last_category()) << "/"
             << err::id_name(error::last_category(), error::last_id());
    }
    root::building = false;
    calls().clear();
  }
  void TearDown() override {
    error::release();
    ownership::reset();
    object::evaluator = saved_evaluator;
    words_test::TearDown();
  }
  object::evaluator_services saved_evaluator;


 public:
  // The values of a text, as a block on the data stack.
  static cell* load(const std::string& text) {
    cell* b = stack::push_cell();
    unset::make_at(b);
    return lexer::load_utf8(b, reinterpret_cast<const uint8_t*>(text.data()), text.size());
  }
  static cell* first_of(cell* block) { return block::ks_head(block); }

  // The thrown error's id as "category/id", or "none" when nothing was
  // raised (what f pushed then stays on the stack, where it is rooted).
  template <class F>
  static std::string raised(F&& f) {
    cell* saved = stack::top;
    try {
      f();
    } catch (const thrown&) {
      stack::top = saved;
      return std::string(err::category_name(error::last_category())) + "/" +
             err::id_name(error::last_category(), error::last_id());
    }
    return "none";
  }
};

}  // namespace kez::testing
