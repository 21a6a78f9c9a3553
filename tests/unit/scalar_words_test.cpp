// The scalar types with real words: accessor words, currency codes and
// colour issues resolved through the symbol table.
#include <gtest/gtest.h>

#include "runtime/datatypes/date.h"
#include "runtime/datatypes/money.h"
#include "runtime/datatypes/pair.h"
#include "runtime/datatypes/time.h"
#include "runtime/datatypes/tuple.h"
#include "runtime/system_stub.h"
#include "words_fixture.h"

namespace kez {
namespace {

using testing::error_of;
using testing::formed;
using testing::unbound;

class scalar_words_test : public testing::words_test {
 protected:
  void SetUp() override {
    words_test::SetUp();
    money::init();
    time::init();
    date::init();
    pair::init();
    tuple::init();
    system_stub::reset();
  }
};

cell step(cell& target, const cell& element, const cell* value = nullptr) {
  const cell path = cell{TYPE_NONE, 0, 0, 0};
  return *actions::get_action_ptr_value<ACT_EVAL_PATH>(&target)(&target, &element, value, &path, nullptr,
                                                                  nullptr, 0, false, !value, false, true);
}

TEST_F(scalar_words_test, accessors_by_word_in_any_case) {
  cell p;
  pair::make_at(&p, 3, 4);
  cell y = step(p, unbound("Y"));
  EXPECT_EQ(integer::get(&y), 4);
  cell t;
  time::make_at(&t, 3723);
  cell minute = step(t, unbound("minute"));
  EXPECT_EQ(integer::get(&minute), 2);
  cell d;
  date::make_at_fields(&d, 2024, 3, 15, 0, 0, false);
  cell reader = d;  // a read leaves its answer in the cell it reads
  cell julian = step(reader, unbound("julian"));
  EXPECT_EQ(integer::get(&julian), 75);
  EXPECT_EQ(error_of([&] { step(d, unbound("nope")); }),
            std::make_pair(int(err::cat_script), int(err::script::invalid_path)));
}

TEST_F(scalar_words_test, currency_words) {
  cell usd = unbound("usd");
  cell proto = testing::datatype_value(TYPE_MONEY);
  cell m = *actions::make_dispatch(&proto, &usd);
  EXPECT_EQ(formed(&m, true), "USD$0.00");
  cell code = step(m, unbound("code"));
  ASSERT_EQ(type_of(&code), TYPE_WORD);
  EXPECT_EQ(formed(&code), "USD");
  EXPECT_EQ(code.header, uint32_t(TYPE_WORD));  // no money flags carried over
}

TEST_F(scalar_words_test, colour_issues) {
  const std::pair<const char*, const char*> rows[] = {{"F80", "255.136.0"}, {"0a0B0c", "10.11.12"}};
  for (auto [name, text] : rows) {
    cell issue = unbound(name, TYPE_ISSUE);
    cell proto = testing::datatype_value(TYPE_TUPLE);
    cell t = *actions::make_dispatch(&proto, &issue);
    EXPECT_EQ(formed(&t), text);
  }
}

}  // namespace
}  // namespace kez
