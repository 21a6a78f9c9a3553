// Every in-place edit of an owned text reaches its owner, before and after,
// with the index and the count of characters concerned.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "text_fixture.h"

namespace kez {
namespace {

using testing::character;
using testing::integer;
using testing::text;
using testing::utf8_of;

class string_ownership_test : public testing::text_test {
 protected:
  void SetUp() override {
    text_test::SetUp();
    ownership::set_hook(testing::record_hook);
  }
};

using strings = std::vector<std::string>;

TEST_F(string_ownership_test, edits_report_before_and_after) {
  const cell* none = nullptr;
  struct row {
    const char* name;
    std::function<void(cell*)> act;
    strings expected;
    const char* result;
  };
  const row rows[] = {
      {"append", [&](cell* s) { actions::dispatch<ACT_APPEND>(s, static_cast<const cell*>(text("xy")), -1, false, 1, true); },
       {"append 4 2", "appended 4 2"}, "abcdxy"},
      {"append formed", [&](cell* s) { cell n = integer(42); actions::dispatch<ACT_APPEND>(s, static_cast<const cell*>(&n), -1, false, 1, true); },
       {"append 4 0", "appended 4 2"}, "abcd42"},
      {"insert", [&](cell* s) { cell c = character('z'); s->w1 = 1; actions::dispatch<ACT_INSERT>(s, static_cast<const cell*>(&c), -1, false, 2, false); },
       {"insert 1 2", "inserted 1 2"}, "azzbcd"},
      {"change", [&](cell* s) { s->w1 = 2; actions::dispatch<ACT_CHANGE>(s, static_cast<const cell*>(text("XYZ")), 1, false, 1); },
       {"change 2 1", "changed 2 3"}, "abXYZd"},
      {"trim", [&](cell* s) { actions::dispatch<ACT_TRIM>(s, false, false, false, false, false, static_cast<const cell*>(text("bc"))); },
       {"trim 0 0", "trimmed 0 0"}, "ad"},
      {"swap", [&](cell* s) { actions::dispatch<ACT_SWAP>(s, text("q")); }, {"swap 0 1", "swaped 0 1"}, "qbcd"},
      {"sort", [&](cell* s) { actions::dispatch<ACT_SORT>(s, false, none, none, none, false, true, false); },
       {"sort 0 4", "sorted 0 4"}, "dcba"},
  };
  for (const row& r : rows) {
    stack::reset();
    cell object = testing::owner_object(), field = integer(0);
    collector::root_cells keep(&object), keep_field(&field);
    cell* s = text("abcd");
    ownership::set_owner(s, &object, &field);
    testing::heard().clear();
    r.act(stack::push(s));
    EXPECT_EQ(testing::heard(), r.expected) << r.name;
    EXPECT_EQ(utf8_of(s), r.result) << r.name;
    // The same edit of a text without an owner reports nothing.
    testing::heard().clear();
    r.act(stack::push(text("abcd")));
    EXPECT_TRUE(testing::heard().empty()) << r.name;
    ownership::reset();
  }
}

}  // namespace
}  // namespace kez
