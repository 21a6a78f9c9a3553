// The cycle stack: its bound, the cycle texts and node relocation.
#include <gtest/gtest.h>

#include "block_fixture.h"

namespace kez {
namespace {

using testing::ints;
using testing::utf8_of;

class cycles_test : public testing::block_test {};

TEST_F(cycles_test, holds_999_entries_and_empties_itself_on_the_next) {
  for (uint32_t i = 0; i < cycles::CAPACITY - 1; ++i) cycles::push(i + 1);
  EXPECT_EQ(cycles::depth(), cycles::CAPACITY - 1);
  EXPECT_EQ(testing::internal_error_of([] { cycles::push(5000); }), err::internal::too_deep);
  EXPECT_EQ(cycles::depth(), 0u);
  cycles::push(1);
  cycles::pop();
  cycles::pop();  // on an empty stack: nothing
  EXPECT_EQ(cycles::depth(), 0u);
}

TEST_F(cycles_test, detect_writes_the_text_of_each_kind) {
  struct row {
    uint32_t type;
    bool mold;
    const char* text;
  };
  const row rows[] = {{TYPE_BLOCK, true, "[...]"},  {TYPE_HASH, true, "[...]"},  {TYPE_PAREN, true, "(...)"},
                      {TYPE_MAP, true, "#[...]"},  {TYPE_PATH, true, "..."},    {TYPE_SET_PATH, true, "..."},
                      {TYPE_BLOCK, false, "..."},   {TYPE_OBJECT, true, "make object! [...]"}};
  for (const row& r : rows) {
    cell value{r.type, 0, 0, 0};
    if (r.type == TYPE_OBJECT) value.w1 = 77;
    else value.w2 = 77;
    cell* buffer = testing::empty_text();
    int32_t limit = 100;
    EXPECT_FALSE(cycles::detect_q(&value, buffer, limit, r.mold));
    cycles::scope keep;
    cycles::push(77);
    EXPECT_TRUE(cycles::detect_q(&value, buffer, limit, r.mold));
    EXPECT_EQ(utf8_of(buffer), r.text);
    EXPECT_EQ(limit, 100 - int32_t(std::strlen(r.text)));
  }
  EXPECT_EQ(cycles::depth(), 0u);
}

TEST_F(cycles_test, entries_follow_nodes_that_a_collection_moves) {
  cell* blocks[8];
  for (cell*& b : blocks) b = ints({1});
  cycles::scope keep;
  for (cell* b : blocks) cycles::push(b->w2);
  collector::set_stress(true);
  for (int i = 0; i < 4; ++i) memory::alloc_cells(4);
  collector::set_stress(false);
  for (cell* b : blocks) EXPECT_TRUE(cycles::find_q(b->w2));
}

}  // namespace
}  // namespace kez
