// typeset!: construction from specs, the bit layout shared with argument
// checks, bitwise actions, comparison, find and the printed forms.
#include <gtest/gtest.h>

#include "words_fixture.h"

namespace kez {
namespace {

using testing::block_of;
using testing::datatype_value;
using testing::error_of;
using testing::formed;
using testing::word_named;

class typeset_test : public testing::words_test {
 protected:
  cell made_of(std::initializer_list<cell> types) {
    cell proto = datatype_value(TYPE_TYPESET);
    return *actions::make_dispatch(&proto, block_of(types));
  }
};

TEST_F(typeset_test, mold_lists_types_in_id_order) {
  cell set = made_of({datatype_value(TYPE_FLOAT), datatype_value(TYPE_INTEGER)});
  EXPECT_EQ(formed(&set, true), "make typeset! [integer! float!]");
  EXPECT_EQ(formed(&set), "make typeset! [integer! float!]");
  cell empty = made_of({});
  EXPECT_EQ(formed(&empty, true), "make typeset! []");

  // /only drops the brackets and the trailing space, never earlier text.
  cell* out = testing::text("x");
  cell one = made_of({datatype_value(TYPE_INTEGER)});
  EXPECT_EQ(actions::mold_dispatch(&one, out, true, false, false, nullptr, 100, 0), 100 - 8);
  EXPECT_EQ(testing::utf8_of(out), "xinteger!");
  cell* out2 = testing::text("x");
  EXPECT_EQ(actions::mold_dispatch(&empty, out2, true, false, false, nullptr, 100, 0), 100);
  EXPECT_EQ(testing::utf8_of(out2), "x");

  // A part limit stops the listing once the budget is overrun.
  cell many = made_of({datatype_value(TYPE_LOGIC), datatype_value(TYPE_STRING), datatype_value(TYPE_INTEGER)});
  cell* out3 = testing::empty_text();
  cell limit = testing::integer(20);
  EXPECT_LT(actions::mold_dispatch(&many, out3, false, false, false, &limit, 20, 0), 0);
  EXPECT_EQ(testing::utf8_of(out3), "make typeset! [logic! ");
}

TEST_F(typeset_test, bits_follow_the_argument_check_layout) {
  cell set = made_of({datatype_value(TYPE_INTEGER)});
  const uint8_t* bytes = typeset::bytes_of(&set);
  EXPECT_EQ(bytes[1], 0x80 >> 3);
  for (int i = 0; i < 12; ++i)
    if (i != 1) {
      EXPECT_EQ(bytes[i], 0);
    }
  cell one = testing::integer(1);
  cell name = *word_named("n");
  EXPECT_EQ(args::type_check(&set, &name, &one), &one);
  cell text = logic::true_value;
  EXPECT_EQ(error_of([&] { args::type_check(&set, &name, &text); }).second, int(err::script::expect_arg));
}

TEST_F(typeset_test, words_in_specs_are_looked_up) {
  cell* integer_word = word_named("integer!");
  cell type = datatype_value(TYPE_INTEGER);
  context::set(integer_word, &type);
  cell set = made_of({*integer_word, datatype_value(TYPE_STRING)});
  EXPECT_EQ(formed(&set, true), "make typeset! [string! integer!]");
  cell proto = datatype_value(TYPE_TYPESET);
  cell* bad = block_of({testing::integer(3)});
  EXPECT_EQ(error_of([&] { actions::make_dispatch(&proto, bad); }).second, int(err::script::invalid_arg));
  cell* unset_word = block_of({*word_named("nothing-here")});
  EXPECT_EQ(error_of([&] { actions::make_dispatch(&proto, unset_word); }).second, int(err::script::no_value));
  cell number = testing::integer(3);
  EXPECT_EQ(error_of([&] { actions::make_dispatch(&proto, &number); }).second, int(err::script::bad_to_arg));

  // The spec form used for function specs: blocks skipped, a word that
  // names a word stands for object!.
  cell* other = word_named("other-word");
  cell* holder = word_named("holder");
  context::set(holder, other);
  cell* nested = block_of({});
  cell* spec = block_of({*holder, *nested, datatype_value(TYPE_LOGIC)});
  cell* host = block_of({});
  cell* made = typeset::make_in_from_spec(host, spec);
  EXPECT_TRUE(typeset::has_q(made, TYPE_LOGIC) && typeset::has_q(made, TYPE_OBJECT));
  EXPECT_FALSE(typeset::has_q(made, TYPE_BLOCK));  // the nested block added nothing
  cell* bad_spec = block_of({testing::integer(1)});
  EXPECT_EQ(error_of([&] { typeset::make_in_from_spec(host, bad_spec); }).second, int(err::script::invalid_type_spec));
  cell* full = typeset::make_in_full(host);
  EXPECT_FALSE(typeset::has_q(full, TYPE_UNSET));
  EXPECT_TRUE(typeset::has_q(full, TYPE_NONE) && typeset::has_q(full, TYPE_EVENT));
}

TEST_F(typeset_test, bitwise_complement_and_find) {
  cell a = made_of({datatype_value(TYPE_INTEGER), datatype_value(TYPE_FLOAT)});
  cell b = made_of({datatype_value(TYPE_FLOAT), datatype_value(TYPE_STRING)});
  struct row {
    int32_t op;
    const char* expected;
  };
  const row rows[] = {
      {5, "make typeset! [string! integer! float!]"}, {6, "make typeset! [float!]"},
      {7, "make typeset! [string! integer!]"},         {11, "make typeset! [integer!]"},
      {8, "make typeset! [integer! float!]"},
  };
  for (const row& r : rows) {
    cell v = a;
    EXPECT_EQ(formed(typeset::do_bitwise(&v, &b, r.op), true), r.expected) << r.op;
  }
  cell v = a;
  cell string_type = datatype_value(TYPE_STRING);
  EXPECT_EQ(formed(actions::dispatch<ACT_OR_T>(&v, &string_type), true), "make typeset! [string! integer! float!]");
  cell number = testing::integer(1);
  EXPECT_EQ(error_of([&] { actions::dispatch<ACT_AND_T>(&v, &number); }).second, int(err::script::invalid_arg));

  cell c = a;
  actions::dispatch<ACT_COMPLEMENT>(&c);
  EXPECT_FALSE(typeset::has_q(&c, TYPE_INTEGER));
  EXPECT_TRUE(typeset::has_q(&c, TYPE_BLOCK));
  EXPECT_TRUE(typeset::has_q(&c, 90));  // no type: set, but never listed
  actions::dispatch<ACT_COMPLEMENT>(&c);
  EXPECT_EQ(actions::compare_value(&c, &a, COMP_EQUAL), 0);

  find_options none_given;
  cell f = a;
  cell integer_type = datatype_value(TYPE_INTEGER);
  EXPECT_TRUE(logic::get(actions::dispatch<ACT_FIND>(&f, &integer_type, none_given)));
  f = a;
  EXPECT_FALSE(logic::get(actions::dispatch<ACT_FIND>(&f, &string_type, none_given)));
  f = a;
  EXPECT_EQ(error_of([&] { actions::dispatch<ACT_FIND>(&f, &number, none_given); }).second, int(err::script::invalid_arg));
}

TEST_F(typeset_test, compare_by_content_and_size) {
  cell a = made_of({datatype_value(TYPE_INTEGER), datatype_value(TYPE_FLOAT)});
  cell b = made_of({datatype_value(TYPE_FLOAT), datatype_value(TYPE_INTEGER)});
  cell small = made_of({datatype_value(TYPE_BLOCK)});
  EXPECT_EQ(actions::compare_value(&a, &b, COMP_STRICT_EQUAL), 0);
  EXPECT_EQ(actions::compare_value(&a, &small, COMP_EQUAL), 1);
  EXPECT_EQ(actions::compare_value(&small, &a, COMP_SORT), -1);
  EXPECT_EQ(actions::compare_value(&a, &small, COMP_SORT), 1);
  EXPECT_EQ(actions::compare_value(&a, &b, COMP_LESSER), -2);
  cell n = testing::integer(1);
  EXPECT_EQ(actions::compare_value(&a, &n, COMP_EQUAL), -2);
  EXPECT_EQ(typeset::count(&a), 2u);
}

TEST_F(typeset_test, to_block_gives_the_name_words) {
  cell a = made_of({datatype_value(TYPE_FLOAT), datatype_value(TYPE_LOGIC)});
  cell* target = stack::push(&none::value);
  typeset::to_block(&a, target);
  ASSERT_EQ(type_of(target), TYPE_BLOCK);
  series_buffer* b = memory::buffer_of(target->w2);
  ASSERT_EQ(b->used(), 2 * sizeof(cell));
  EXPECT_EQ(testing::name_of(b->head_cell()[0].w2), "logic!");
  EXPECT_EQ(testing::name_of(b->head_cell()[1].w2), "float!");
  EXPECT_EQ(b->head_cell()[0].w1, context::global);
}

}  // namespace
}  // namespace kez
