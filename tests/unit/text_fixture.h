// The values fixture plus every text type, and small helpers to build texts
// of a given type and read mold and form results.
#pragma once

#include <string>

#include "runtime/actions.h"
#include "runtime/datatypes/email.h"
#include "runtime/datatypes/file.h"
#include "runtime/datatypes/ref.h"
#include "runtime/datatypes/tag.h"
#include "runtime/datatypes/url.h"
#include "block_fixture.h"

namespace kez::testing {

// word! stand-ins before the word module exists: payload word 2 indexes
// these names, which is all that forming a word needs.
inline const char* const WORD_NAMES[] = {"user", "host", "HOST", "other", "port"};
inline int32_t form_word(const cell* value, cell* buffer, const cell*, int32_t part) {
  const char* name = WORD_NAMES[value->w2];
  string::concatenate_literal(buffer, name);
  return part - int32_t(std::char_traits<char>::length(name));
}
inline cell word(uint32_t index) { return cell{TYPE_WORD, 0, index, 0}; }

class text_test : public block_test {
 protected:
  void SetUp() override {
    block_test::SetUp();
    string::init();  // again, now that series! is there to inherit from
    url::init();
    file::init();
    tag::init();
    email::init();
    ref::init();
    datatype::registration(TYPE_WORD, 0, "word!").set<ACT_FORM>(form_word).commit();
  }
};

// A text of the given type on the data stack.
inline cell* typed(uint32_t type, const std::string& utf8) {
  cell* t = text(utf8);
  t->header = type;
  return t;
}

// The molded (or formed) text of a value, and the budget left.
struct written {
  std::string text;
  int32_t left;
};
inline written mold_text(const cell* value, bool all = false, int32_t part = -1) {
  cell* out = empty_text();
  int32_t left = actions::mold_dispatch(value, out, false, all, false, part >= 0 ? value : nullptr,
                                        part >= 0 ? part : 1000, 0);
  std::string s = utf8_of(out);
  stack::pop(1);
  return {s, left};
}
inline written form_text(const cell* value, int32_t part = -1) {
  cell* out = empty_text();
  int32_t left = actions::form_dispatch(value, out, part >= 0 ? value : nullptr, part >= 0 ? part : 1000);
  std::string s = utf8_of(out);
  stack::pop(1);
  return {s, left};
}

}  // namespace kez::testing
