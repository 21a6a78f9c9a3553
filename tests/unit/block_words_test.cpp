// What blocks and series do with words and contexts: selecting by word,
// the `owned` field of series (reflect and modify) and objects owned field
// by field inside an owned block.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/cycles.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/path.h"
#include "runtime/datatypes/series.h"
#include "runtime/lexer.h"
#include "runtime/ownership.h"
#include "words_fixture.h"

namespace kez {
namespace {

using testing::error_of;
using testing::integer;
using testing::unbound;
using testing::word_named;

class block_words_test : public testing::words_test {
 protected:
  void SetUp() override {
    words_test::SetUp();
    series::init();
    string::init();
    block::init();
    paren::init();
    path::init();
    ownership::init();
    heard.clear();
    ownership::set_hook(record);
  }
  void TearDown() override {
    block::set_compare_call(nullptr);
    ownership::set_hook(nullptr);
    ownership::release();
    words_test::TearDown();
  }

  // "word-name action" per report.
  static inline std::vector<std::string> heard;
  static void record(const cell*, const cell* word, const cell*, ownership::change action, const cell*, int32_t,
                     int32_t) {
    heard.push_back(testing::name_of(word->w2) + " " + ownership::word_of(action));
  }
};

cell* ints(std::initializer_list<int32_t> ns) {
  cell* b = block::make_at(stack::push_cell(), int32_t(ns.size()));
  for (int32_t n : ns) {
    cell c = integer(n);
    block::ks_append(b, &c);
  }
  return b;
}

// An object! over a new context with the given fields (all none), with a
// change-hook series so that its owned series report to it.
cell* object_with(std::initializer_list<const char*> fields) {
  cell* spec = block::make_at(stack::push_cell(), int32_t(fields.size()));
  for (const char* f : fields) {
    cell w = unbound(f);
    block::ks_append(spec, &w);
  }
  cell* object = stack::push_cell();
  *object = cell{TYPE_NONE, 0, 0, 0};
  uint32_t ctx = context::make_from_spec(spec, false, false, context::KIND_OBJECT);
  *object = cell{TYPE_OBJECT, ctx, 0, 0};
  uint32_t hooks = memory::alloc_cells(1);
  object->w3 = hooks;
  *context::owner_of(object->w1) = *object;
  return object;
}

TEST_F(block_words_test, modify_sets_and_drops_the_owner_and_reflect_reads_it) {
  cell* owner = object_with({"data"});
  cell* b = ints({1, 2});
  cell* setting = block::make_at(stack::push_cell(), 2);
  block::ks_append(setting, owner);
  block::ks_append(setting, word_named("data"));
  cell* owned_word = word_named("OWNED");  // any case of the word
  cell* target = stack::push(b);
  actions::dispatch<ACT_MODIFY>(target, static_cast<const cell*>(owned_word), static_cast<const cell*>(setting), false);
  EXPECT_EQ(type_of(target), TYPE_BLOCK);  // the value given
  EXPECT_TRUE(context::cell_of(owner->w1)->header & FLAG_OWNER);
  cell* r = stack::push(b);
  actions::dispatch<ACT_REFLECT>(r, symbol::make("owned"));
  EXPECT_EQ(type_of(r), TYPE_OBJECT);
  EXPECT_EQ(r->w1, owner->w1);
  actions::dispatch<ACT_CLEAR>(stack::push(b));
  EXPECT_EQ(heard, (std::vector<std::string>{"data clear", "data cleared"}));

  cell none{TYPE_NONE, 0, 0, 0};
  actions::dispatch<ACT_MODIFY>(stack::push(b), static_cast<const cell*>(owned_word), static_cast<const cell*>(&none), false);
  r = stack::push(b);
  actions::dispatch<ACT_REFLECT>(r, symbol::make("owned"));
  EXPECT_EQ(type_of(r), TYPE_NONE);
  // Another field: modify does nothing, reflect is not done.
  actions::dispatch<ACT_MODIFY>(stack::push(b), static_cast<const cell*>(word_named("other")), static_cast<const cell*>(setting), false);
  EXPECT_EQ(ownership::owner_of(b->w2), nullptr);
  EXPECT_EQ(error_of([&] { actions::dispatch<ACT_REFLECT>(stack::push(b), symbol::make("other")); }),
            std::make_pair(int(err::cat_internal), int(err::internal::not_done)));
}

TEST_F(block_words_test, objects_inside_an_owned_block_own_their_fields_by_their_own_words) {
  cell* owner = object_with({"items"});
  cell* inner = object_with({"list", "back"});
  cell* list = ints({1});
  context::value_at(inner->w1, 0)[0] = *list;
  context::value_at(inner->w1, 1)[0] = *owner;  // a field holding the owner: skipped
  cell* items = block::make_at(stack::push_cell(), 1);
  block::ks_append(items, inner);
  ownership::set_owner(items, owner, word_named("items"));
  actions::dispatch<ACT_CLEAR>(stack::push(list));
  EXPECT_EQ(heard, (std::vector<std::string>{"list clear", "list cleared"}));
  EXPECT_EQ(cycles::depth(), 0u);
  // An inner object that owns series itself keeps them.
  cell* keeper = object_with({"own"});
  cell* kept = ints({2});
  context::value_at(keeper->w1, 0)[0] = *kept;
  context::cell_of(keeper->w1)->header |= FLAG_OWNER;
  cell* more = block::make_at(stack::push_cell(), 1);
  block::ks_append(more, keeper);
  ownership::set_owner(more, owner, word_named("items"));
  EXPECT_EQ(ownership::owner_of(kept->w2), nullptr);
}

// "first record below second" by the records' second fields.
int32_t second_field_below(const cell*, const cell* a, const cell* b) {
  EXPECT_EQ(type_of(a), TYPE_BLOCK);
  EXPECT_EQ(block::ks_length_q(a), 2);
  int32_t x = int32_t(block::buffer_of(a)->head_cell()[1].w2), y = int32_t(block::buffer_of(b)->head_cell()[1].w2);
  return x < y ? 1 : -1;
}

TEST_F(block_words_test, sort_all_hands_whole_records_to_the_function) {
  block::set_compare_call(second_field_below);
  cell* b = ints({7, 3, 8, 1, 9, 2});
  cell two = integer(2), function{TYPE_FUNCTION, 0, 0, 0};
  block::sort(b, false, &two, &function, nullptr, true, false, true);
  std::vector<int32_t> order;
  for (int32_t i = 0; i < 6; ++i) order.push_back(int32_t(block::ks_abs_at(b, i)->w2));
  EXPECT_EQ(order, (std::vector<int32_t>{8, 1, 9, 2, 7, 3}));
}

TEST_F(block_words_test, to_block_loads_text_and_wraps_other_values) {
  lexer::init();
  cell* proto = stack::push_cell();
  *proto = cell{TYPE_NONE, 0, 0, 0};
  block::to(proto, testing::text("1 [2 3] (4)"), TYPE_BLOCK);
  ASSERT_EQ(type_of(proto), TYPE_BLOCK);
  EXPECT_EQ(block::ks_length_q(proto), 3);
  EXPECT_EQ(type_of(block::ks_abs_at(proto, 1)), TYPE_BLOCK);
  EXPECT_EQ(type_of(block::ks_abs_at(proto, 2)), TYPE_PAREN);
  EXPECT_EQ(int32_t(block::ks_abs_at(proto, 0)->w2), 1);
  cell* paren = stack::push_cell();
  *paren = cell{TYPE_NONE, 0, 0, 0};
  block::to(paren, testing::text(""), TYPE_PAREN);
  EXPECT_EQ(type_of(paren), TYPE_PAREN);
  EXPECT_EQ(block::ks_length_q(paren), 0);
}

TEST_F(block_words_test, select_word_by_spelling_or_by_any_case) {
  cell* b = block::make_at(stack::push_cell(), 6);
  cell one = integer(1), twenty = integer(20), thirty = integer(30);
  block::ks_append(b, &one);
  block::ks_append(b, word_named("Speed", TYPE_SET_WORD));
  block::ks_append(b, &twenty);
  block::ks_append(b, word_named("size"));
  block::ks_append(b, &thirty);
  block::ks_append(b, word_named("last"));
  struct row {
    const char* name;
    bool exact;
    int32_t selected;  // 0: none
  };
  const row rows[] = {{"Speed", true, 20}, {"speed", false, 20}, {"speed", true, 0}, {"SIZE", false, 30},
                      {"last", false, 0}, {"absent", false, 0}};
  for (const row& r : rows) {
    cell* found = block::select_word(b, word_named(r.name), r.exact);
    if (r.selected) {
      ASSERT_NE(found, nullptr) << r.name;
      EXPECT_EQ(int32_t(found->w2), r.selected) << r.name;
    } else {
      EXPECT_EQ(found, nullptr) << r.name << " " << r.exact;
    }
  }
  // A path step with a word selects by word, ignoring case unless asked.
  cell* got = block::eval_path(b, word_named("SPEED"), nullptr, nullptr, nullptr, nullptr, 0, false, true, false, false);
  EXPECT_EQ(int32_t(got->w2), 20);
  got = block::eval_path(b, word_named("SPEED"), nullptr, nullptr, nullptr, nullptr, 0, true, true, false, false);
  EXPECT_EQ(type_of(got), TYPE_NONE);
}

}  // namespace
}  // namespace kez
