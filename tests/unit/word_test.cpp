// The word types: comparison under every op, form and mold, conversions
// between word types, index?, and the value operations through words.
#include <gtest/gtest.h>

#include "words_fixture.h"

namespace kez {
namespace {

using testing::error_of;
using testing::formed;
using testing::word_named;

class word_test : public testing::words_test {};

TEST_F(word_test, equality_ignores_case_where_the_op_says) {
  struct row {
    const char* a;
    uint32_t ta;
    const char* b;
    uint32_t tb;
    int32_t op, expected;
  };
  const row rows[] = {
      {"print", TYPE_WORD, "Print", TYPE_WORD, COMP_EQUAL, 0},
      {"print", TYPE_WORD, "Print", TYPE_WORD, COMP_STRICT_EQUAL, 1},
      {"print", TYPE_WORD, "print", TYPE_WORD, COMP_STRICT_EQUAL, 0},
      {"print", TYPE_WORD, "print", TYPE_LIT_WORD, COMP_EQUAL, 0},
      {"print", TYPE_WORD, "print", TYPE_LIT_WORD, COMP_STRICT_EQUAL, 1},
      {"print", TYPE_WORD, "print", TYPE_LIT_WORD, COMP_STRICT_EQUAL_WORD, 0},
      {"print", TYPE_LIT_WORD, "Print", TYPE_WORD, COMP_STRICT_EQUAL_WORD, 1},
      {"print", TYPE_LIT_WORD, "Print", TYPE_WORD, COMP_EQUAL_WORD, 0},
      {"print", TYPE_SET_WORD, "Print", TYPE_WORD, COMP_EQUAL_WORD, 1},
      {"print", TYPE_SET_WORD, "PRINT", TYPE_SET_WORD, COMP_EQUAL_WORD, 0},
      {"print", TYPE_WORD, "probe", TYPE_WORD, COMP_FIND, 1},
      {"print", TYPE_WORD, "print", TYPE_WORD, COMP_SAME, 0},
      {"print", TYPE_WORD, "print", TYPE_GET_WORD, COMP_SAME, 1},
      {"alpha", TYPE_WORD, "Beta", TYPE_WORD, COMP_SORT, -1},
      {"Alpha", TYPE_WORD, "alpha", TYPE_WORD, COMP_CASE_SORT, -1},
      {"print", TYPE_ISSUE, "print", TYPE_ISSUE, COMP_EQUAL, 0},
      {"print", TYPE_WORD, "print", TYPE_ISSUE, COMP_EQUAL, -2},
      {"print", TYPE_ISSUE, "print", TYPE_WORD, COMP_EQUAL, -2},
  };
  for (const row& r : rows) {
    cell a = *word_named(r.a, r.ta), b = *word_named(r.b, r.tb);
    EXPECT_EQ(actions::compare_value(&a, &b, r.op), r.expected) << r.a << "/" << r.ta << " " << r.b << "/" << r.tb
                                                                 << " op " << r.op;
  }
  cell w = *word_named("print");
  cell n = testing::integer(3);
  EXPECT_EQ(actions::compare_value(&w, &n, COMP_EQUAL), -2);
}

TEST_F(word_test, make_at_leaves_no_flag_of_the_old_cell) {
  // A cell left with a new-line mark (and any other bit): the word made in
  // it molds without a line break.
  cell c{TYPE_STRING | FLAG_NEW_LINE | FLAG_OWNER, 7, 7, 7};
  word::make_at(symbol::make("fresh"), &c);
  EXPECT_EQ(c.header, uint32_t(TYPE_WORD));
  EXPECT_EQ(formed(&c), "fresh");
}

TEST_F(word_test, form_and_mold_of_each_type) {
  struct row {
    uint32_t type;
    const char *form, *mold;
  };
  const row rows[] = {
      {TYPE_WORD, "foo", "foo"},      {TYPE_SET_WORD, "foo", "foo:"},   {TYPE_LIT_WORD, "foo", "'foo"},
      {TYPE_GET_WORD, "foo", ":foo"},  {TYPE_REFINEMENT, "foo", "/foo"}, {TYPE_ISSUE, "foo", "#foo"},
  };
  for (const row& r : rows) {
    cell* w = word_named("foo", r.type);
    EXPECT_EQ(formed(w), r.form) << r.type;
    EXPECT_EQ(formed(w, true), r.mold) << r.type;
  }
  // Budgets: mold answers part less the name and its one affix.
  cell* out = testing::empty_text();
  EXPECT_EQ(actions::mold_dispatch(word_named("foo", TYPE_SET_WORD), out, false, false, false, nullptr, 10, 0), 6);
  EXPECT_EQ(actions::form_dispatch(word_named("caf\xC3\xA9"), out, nullptr, 10), 6);
  EXPECT_EQ(testing::utf8_of(out), "foo:caf\xC3\xA9");
}

TEST_F(word_test, to_set_word_keeps_binding_and_molds_with_colon) {
  cell* w = word_named("counter");
  cell proto = testing::datatype_value(TYPE_SET_WORD);
  collector::root_cells keep(&proto);
  cell* set_word = actions::to_dispatch(&proto, w);
  EXPECT_EQ(type_of(set_word), TYPE_SET_WORD);
  EXPECT_EQ(formed(set_word, true), "counter:");
  // Setting through the converted word sets the word it was made from.
  cell value = testing::integer(42);
  cell sw = *set_word;
  context::set(&sw, &value);
  EXPECT_EQ(context::get(w)->w2, 42u);
}

TEST_F(word_test, make_from_datatype_logic_and_refusals) {
  cell proto = testing::datatype_value(TYPE_WORD);
  collector::root_cells keep(&proto);
  cell type = testing::datatype_value(TYPE_INTEGER);
  EXPECT_EQ(formed(actions::make_dispatch(&proto, &type)), "integer!");
  proto = testing::datatype_value(TYPE_LIT_WORD);
  cell truth = logic::true_value;
  cell* t = actions::make_dispatch(&proto, &truth);
  EXPECT_EQ(formed(t, true), "'true");
  EXPECT_EQ(t->w1, context::global);
  cell number = testing::integer(7);
  proto = testing::datatype_value(TYPE_WORD);
  EXPECT_EQ(error_of([&] { actions::make_dispatch(&proto, &number); }),
            std::make_pair(int(err::cat_script), int(err::script::bad_to_arg)));
}

TEST_F(word_test, issue_from_text_and_words) {
  cell proto = testing::datatype_value(TYPE_ISSUE);
  cell* text = testing::text("abc");
  cell* issue = actions::make_dispatch(&proto, text);
  EXPECT_EQ(type_of(issue), TYPE_ISSUE);
  EXPECT_EQ(formed(issue, true), "#abc");
  EXPECT_EQ(int32_t(issue->w3), -1);
  cell c = testing::character('x');
  proto = testing::datatype_value(TYPE_ISSUE);
  EXPECT_EQ(formed(actions::to_dispatch(&proto, &c), true), "#x");
  proto = testing::datatype_value(TYPE_ISSUE);
  EXPECT_EQ(formed(actions::to_dispatch(&proto, word_named("Zed")), true), "#Zed");
}

TEST_F(word_test, index_of_words) {
  cell unbound{TYPE_WORD, 0, symbol::make("loose"), uint32_t(-1)};
  EXPECT_EQ(type_of(actions::dispatch<ACT_INDEX_Q>(&unbound)), TYPE_NONE);
  cell* spec = testing::block_of({testing::unbound("first"), testing::unbound("second")});
  uint32_t ctx = context::make_from_spec(spec, false, false, context::KIND_FUNCTION);
  collector::root_node keep(ctx);
  cell w = *context::word_at(ctx, 0);
  EXPECT_EQ(actions::dispatch<ACT_INDEX_Q>(&w)->w2, 1u);
  cell r = *context::word_at(ctx, 1);
  set_cell_type(&r, TYPE_REFINEMENT);
  EXPECT_EQ(error_of([&] { actions::dispatch<ACT_INDEX_Q>(&r); }).second, int(err::script::expect_arg));
}

TEST_F(word_test, values_through_words) {
  // Frames below are popped down to where they started: keep the word off the stack.
  cell word = *word_named("answer");
  collector::root_cells keep(&word);
  cell* w = &word;
  EXPECT_EQ(error_of([&] { word::get(w); }), std::make_pair(int(err::cat_script), int(err::script::no_value)));
  // set-from-stack: the word and its value are the call's arguments.
  stack::mark_native(nullptr);
  stack::push(w);
  cell unset{TYPE_UNSET, 0, 0, 0};
  stack::push(&unset);
  EXPECT_EQ(error_of([] { word::set_from_stack(); }).second, int(err::script::need_value));
  stack::arguments[1] = testing::integer(5);
  EXPECT_EQ(word::set_from_stack()->w2, 5u);
  stack::unwind_reset();
  EXPECT_EQ(word::get(w)->w2, 5u);
  // A variant spelling reads the same value.
  EXPECT_EQ(word::get(word_named("ANSWER"))->w2, 5u);

  // From the top of the stack: set_from_top keeps it, the reset form drops it.
  stack::mark_native(nullptr);
  cell six = testing::integer(6);
  stack::push(&six);
  word::set_from_top_reset(w);
  EXPECT_EQ(stack::top, stack::arguments);
  stack::unwind_reset();
  EXPECT_EQ(word::get_checked(w)->w2, 6u);

  cell* name = word::push_name_string(w);
  string::concatenate_literal(name, "!!");
  EXPECT_EQ(formed(w), "answer");  // the symbol's own text is untouched
}

TEST_F(word_test, load_keeps_the_spelling_and_shares_the_value) {
  root::building = true;
  cell* head = word::load("head");
  cell* head_again = word::load("head");
  cell* Head = word::load("Head");
  root::building = false;
  EXPECT_TRUE(root::contains(head) && root::contains(Head));
  EXPECT_EQ(head->w3, head_again->w3);
  EXPECT_EQ(Head->w3, head->w3);
  EXPECT_EQ(testing::name_of(Head->w2), "Head");
  cell value = testing::integer(9);
  cell h = *Head;
  context::set(&h, &value);
  EXPECT_EQ(context::get(head)->w2, 9u);
}

}  // namespace
}  // namespace kez

namespace kez {
namespace {

// A stand-in scanner: digits give an integer!, anything else an unbound
// word!; a space ends the scan with text left over.
bool scan_one(cell* text, cell* block) {
  std::string s = testing::utf8_of(text);
  size_t space = s.find(' ');
  std::string first = s.substr(0, space);
  cell value = !first.empty() && first.find_first_not_of("0123456789") == std::string::npos
                   ? testing::integer(std::stoi(first))
                   : cell{TYPE_WORD, 0, symbol::make(first.c_str()), uint32_t(-1)};
  *reinterpret_cast<cell*>(series::make_room(memory::buffer_of(block->w2), sizeof(cell))) = value;
  return space == std::string::npos;
}

class word_make_test : public testing::words_test {
 protected:
  void SetUp() override {
    words_test::SetUp();
    load::set_transcode(scan_one);
  }
  void TearDown() override {
    load::set_transcode(nullptr);
    words_test::TearDown();
  }
};

TEST_F(word_make_test, from_text_chars_and_other_words) {
  struct row {
    uint32_t target;
    cell spec;  // a char!, or none! for the text below
    const char* text;
    const char* mold;
    int error;  // script error id, or -1
  };
  const row rows[] = {
      {TYPE_WORD, none::value, "hello", "hello", -1},
      {TYPE_SET_WORD, none::value, "hello", "hello:", -1},
      {TYPE_WORD, none::value, "12", nullptr, err::script::invalid_chars},
      {TYPE_WORD, none::value, "two words", nullptr, err::script::invalid_chars},
      {TYPE_GET_WORD, testing::character('x'), nullptr, ":x", -1},
      {TYPE_WORD, testing::unbound("ref", TYPE_REFINEMENT), nullptr, "ref", -1},
      {TYPE_WORD, testing::unbound("12", TYPE_ISSUE), nullptr, nullptr, err::script::bad_to_arg},
  };
  for (const row& r : rows) {
    cell* spec = r.text ? testing::text(r.text) : stack::push(&r.spec);
    cell* proto = stack::push(&none::value);
    datatype::make_at(proto, r.target);
    auto e = error_of([&] { actions::to_dispatch(proto, spec); });
    if (r.error >= 0) {
      EXPECT_EQ(e, std::make_pair(int(err::cat_script), r.error)) << (r.text ? r.text : r.mold);
      continue;
    }
    EXPECT_EQ(e.first, -1);
    EXPECT_EQ(type_of(proto), r.target);
    EXPECT_EQ(formed(proto, true), r.mold);
  }
  // A refinement's name that scans as a word is bound in the global context
  // when the word is there (and left unbound otherwise).
  word_named("ref");
  cell* ref = stack::push(&rows[5].spec);
  cell* proto = stack::push(&none::value);
  datatype::make_at(proto, TYPE_WORD);
  actions::to_dispatch(proto, ref);
  EXPECT_EQ(proto->w1, context::global);
}

TEST_F(word_make_test, value_from_string) {
  cell* target = stack::push(&none::value);
  EXPECT_EQ(type_of(load::value_from_string(testing::text("7"), target)), TYPE_INTEGER);
  EXPECT_EQ(type_of(load::value_from_string(testing::text("7 8"), target)), TYPE_NONE);
  load::set_transcode(nullptr);
  EXPECT_EQ(error_of([&] { load::value_from_string(testing::text("7"), target); }),
            std::make_pair(int(err::cat_internal), int(err::internal::not_done)));
}

}  // namespace
}  // namespace kez
