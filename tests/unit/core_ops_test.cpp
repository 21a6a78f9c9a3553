// Core operations: argument checks, switch case lookup, the root block, the
// runtime's own words, and the numeric and byte utilities.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "words_fixture.h"

namespace kez {
namespace {

using testing::block_of;
using testing::error_of;
using testing::integer;
using testing::number;
using testing::word_named;

class core_ops_test : public testing::words_test {};

TEST_F(core_ops_test, float_to_integer) {
  struct row {
    cell value;
    int32_t expected;
    bool raises;
  };
  const row rows[] = {
      {number(2147483647.0), 2147483647, false}, {number(-2147483648.0), INT32_MIN, false},
      {number(-2.7), -2, false},                 {number(2.7), 2, false},
      {number(2147483648.0), 0, true},           {number(-2147483649.0), 0, true},
      {number(NAN), 0, true},                    {number(INFINITY), 0, true},
      {integer(-5), -5, false},                  {testing::character('a'), 97, false},
  };
  for (const row& r : rows) {
    int32_t got = 0;
    auto e = error_of([&] { got = args::float_to_integer(&r.value); });
    if (r.raises) {
      EXPECT_EQ(e, std::make_pair(int(err::cat_script), int(err::script::out_of_range)));
    } else {
      EXPECT_EQ(e.first, -1);
      EXPECT_EQ(got, r.expected);
    }
  }
}

TEST_F(core_ops_test, argument_checks_and_refinements) {
  cell set{TYPE_TYPESET, 0, 0, 0};
  typeset::bytes_of(&set)[1] = 0x80 >> 3;  // integer! alone
  cell name = *word_named("arg");
  stack::mark_native(word_named("fn"));
  stack::push(&set);  // argument 0: a typeset!, not an integer!
  cell one = integer(1);
  stack::push(&one);  // argument 1
  EXPECT_EQ(error_of([&] { args::type_check_at(0, &set, &name); }).second, int(err::script::expect_arg));
  args::type_check_at(1, &set, &name);
  args::type_check_at(-1, &set, &name);  // absent argument: nothing checked
  cell off = logic::false_value, on = logic::true_value;
  EXPECT_EQ(args::type_check_opt(&off, &set, &name, stack::arguments), stack::arguments);
  EXPECT_EQ(error_of([&] { args::type_check_opt(&on, &set, &name, stack::arguments); }).second,
            int(err::script::expect_arg));
  cell unset{TYPE_UNSET, 0, 0, 0};
  EXPECT_EQ(error_of([&] { args::check_not_unset(&name, &unset); }).second, int(err::script::expect_arg));
  EXPECT_EQ(args::call_word().w2, symbol::make("fn"));

  // A refinement given sets its cell; one absent clears its arguments.
  stack::push(&one);
  stack::push(&one);
  args::set_refinement(&on, 1, 2);
  EXPECT_TRUE(logic::get(stack::arguments + 1));
  EXPECT_EQ(stack::arguments[2].w2, 1u);
  args::set_refinement(&off, 1, 2);
  EXPECT_EQ(type_of(stack::arguments + 2), TYPE_NONE);
  EXPECT_EQ(type_of(stack::arguments + 3), TYPE_NONE);
  stack::unwind_reset();
}

TEST_F(core_ops_test, switch_find_case) {
  // Values the cases are built from, rooted: words hold the global context's node.
  cell v[5] = {testing::unbound("a"), testing::unbound("b"), testing::unbound("c"), *block_of({testing::unbound("x")}),
               integer(1)};
  collector::root_cells keep(v, 5);
  enum { A, B, C, BODY, ONE };
  struct row {
    int value;
    bool push, skip;
    const char* expected;  // molded
  };
  const row rows[] = {
      {B, false, false, "2"},       {ONE, false, false, "none"},  // values are not candidates
      {A, false, false, "1"},       {ONE, true, false, "b"},
      {A, true, true, "body"},       {C, true, true, "unset"},     // matched, no block after it
      {BODY, true, false, "none"},  // a block! matches nothing
  };
  for (const row& r : rows) {
    stack::mark_native(nullptr);
    stack::push(&v[r.value]);
    if (r.push) block_of({v[A], v[ONE], v[B], v[BODY], v[C]});
    else block_of({v[A], v[ONE], v[B], integer(2)});
    cell* found = switch_::find_case(r.push, r.skip);
    EXPECT_EQ(found, r.push ? stack::top_cell() : stack::arguments);
    if (r.expected == std::string("body")) EXPECT_TRUE(type_of(found) == TYPE_BLOCK && found->w2 == v[BODY].w2);
    else EXPECT_EQ(testing::formed(found, true), r.expected) << r.expected;
    stack::unwind_reset();
  }
}

TEST_F(core_ops_test, normalize_angle) {
  struct row {
    double degrees;
    int32_t kind;
    double expected_degrees;
  };
  const row rows[] = {
      {190, 0, 10}, {100, 2, 80}, {-100, 2, -80}, {720.0, 1, 0},
      {-190, 0, -10}, {100, 0, -80}, {100, 1, 100}, {450, 1, 90},
  };
  for (const row& r : rows)
    EXPECT_DOUBLE_EQ(math::normalize_angle(r.degrees, r.kind), r.expected_degrees * 3.141592653589793 / 180.0)
        << r.degrees << " " << r.kind;
}

TEST_F(core_ops_test, byte_and_text_utilities) {
  uint8_t bytes[15] = {1, 2, 3};
  EXPECT_EQ(memory::fill_pattern(bytes, 3, 5), bytes + 15);
  for (int i = 0; i < 15; ++i) EXPECT_EQ(bytes[i], i % 3 + 1);
  EXPECT_EQ(memory::fill_pattern(bytes, 3, 0), bytes);
  EXPECT_EQ(math::round_to(17, 16), 32u);
  EXPECT_EQ(math::round_to(16, 16), 16u);
  EXPECT_EQ(math::round_past(16, 16), 32u);
  EXPECT_TRUE(cstring::equal_q("abc", "abc"));
  EXPECT_FALSE(cstring::equal_q("abc", "abcd"));

  cell* out = testing::text("x");
  EXPECT_EQ(mold::indent(out, 0, 7), 7);
  EXPECT_EQ(mold::indent(out, 2, 7), -1);
  EXPECT_EQ(testing::utf8_of(out), "x        ");

  uint32_t source = testing::text("hello world")->w2;
  uint32_t part = series::copy_part(source, 6, 5);
  cell copy{TYPE_STRING, 0, part, 0};
  EXPECT_EQ(testing::utf8_of(stack::push(&copy)), "world");

  stack::mark_native(nullptr);
  cell w = *word_named("limited");
  stack::push(&w);
  EXPECT_EQ(testing::utf8_of(value::form_limited(true, 3)), "lim");
  EXPECT_EQ(testing::utf8_of(value::form_limited(false, 0)), "limited");
  stack::unwind_reset();
}

TEST_F(core_ops_test, root_block_cells) {
  uint32_t before = root::length();
  cell seven = integer(7);
  cell* c = root::append(&seven);
  EXPECT_TRUE(root::contains(c));
  EXPECT_EQ(root::length(), before + 1);
  root::set_base(before);
  EXPECT_EQ(root::cell_at(0), c);
  cell object{TYPE_OBJECT, 1234, 0, 0};
  root::append(&object);
  EXPECT_EQ(root::node_at(1), 1234u);
  cell local = integer(1);
  EXPECT_FALSE(root::contains(&local));
}

TEST_F(core_ops_test, runtime_words_are_interned) {
  for (uint32_t s : words::symbols) EXPECT_NE(s, 0u);
  for (cell* w : words::word) {
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(root::contains(w));
    EXPECT_EQ(w->w1, context::global);
  }
  // Windows: a symbol first, then a global word of the same symbol.
  EXPECT_EQ(words::global_word[words::global::windows]->w2, words::symbols[words::sym::windows]);
  EXPECT_EQ(testing::name_of(words::symbols[words::sym::windows]), "Windows");
  // The two `code` slots and the two `throw` slots name one symbol each.
  EXPECT_EQ(words::symbols[words::sym::code], words::symbols[words::sym::code_2]);
  EXPECT_EQ(words::word[words::w::throw_]->w3, words::word[words::w::throw_2]->w3);
  // head is a runtime word and can be loaded again: one global entry.
  cell* head = word::load("head");
  EXPECT_EQ(head->w3, words::word[words::w::head]->w3);
  cell* local = words::refinements[words::ref::local];
  EXPECT_EQ(type_of(local), TYPE_REFINEMENT);
  EXPECT_EQ(local->w1, 0u);
  EXPECT_EQ(testing::formed(local, true), "/local");
  EXPECT_EQ(testing::formed(words::issue_ooo, true), "#ooo");
  EXPECT_EQ(testing::formed(words::word[words::w::anon], true), "<anon>");
  // Type names are words of the global context.
  EXPECT_EQ(testing::name_of(datatype::name_symbol(TYPE_TYPESET)), "typeset!");
  EXPECT_GE(context::find_word(context::global, datatype::name_symbol(TYPE_CHAR), false), 0);
}

TEST_F(core_ops_test, runtime_words_survive_collections) {
  cell value = integer(77);
  context::set(words::word[words::w::append], &value);
  collector::do_cycle();
  collector::do_cycle();
  EXPECT_EQ(context::get(words::word[words::w::append])->w2, 77u);
  EXPECT_EQ(testing::formed(words::word[words::w::on_change_star], true), "on-change*");
  EXPECT_EQ(testing::name_of(words::symbols[words::sym::no_trace]), "no-trace");
}

}  // namespace
}  // namespace kez

namespace kez {
namespace {

// A stand-in path step over blocks: an integer element picks (or, with a
// value, pokes) that 1-based cell. Records what each step was given.
struct step_record {
  int32_t index;
  bool tail, notify, had_parent;
};
std::vector<step_record> steps;

cell* pick_step(cell* parent, const cell* element, const cell* value, const cell*, const cell* grand_parent,
                const cell*, int32_t index, bool, bool, bool tail, bool notify) {
  steps.push_back({index, tail, notify, grand_parent != nullptr});
  cell* c = memory::buffer_of(parent->w2)->head_cell() + parent->w1 + (element->w2 - 1);
  if (value) *c = *value;
  return c;
}

class path_test : public testing::words_test {
 protected:
  void SetUp() override {
    words_test::SetUp();
    steps.clear();
    datatype::registration(TYPE_BLOCK, 0, "block!").set<ACT_EVAL_PATH>(pick_step).commit();
  }
};

TEST_F(path_test, eval_compiled_walks_each_element) {
  cell* inner = testing::block_of({integer(10), integer(20)});
  cell* outer = testing::block_of({integer(1), *inner});
  cell* data = word_named("data");
  context::set(data, outer);
  cell two = integer(2), one = integer(1);
  cell path{TYPE_PATH, 0, 0, 0};

  stack::mark_native(nullptr);
  stack::push(&two);  // a result slot the walk overwrites
  path::eval_compiled(false, &path, {data, &two, &two});
  EXPECT_EQ(stack::arguments->w2, 20u);
  ASSERT_EQ(steps.size(), 2u);
  EXPECT_EQ(steps[0].index, 0);
  EXPECT_FALSE(steps[0].tail);
  EXPECT_FALSE(steps[0].had_parent);  // a global word gives no parent
  EXPECT_TRUE(steps[1].tail && steps[1].had_parent);
  EXPECT_FALSE(steps[1].notify);

  // A set-path: the first argument is the value assigned by the last step,
  // and the owner of a block that changes through a longer path is told.
  steps.clear();
  cell nine = integer(9);
  *stack::arguments = nine;
  path::eval_compiled(true, &path, {data, &two, &one});
  EXPECT_EQ(stack::arguments->w2, 9u);
  EXPECT_EQ(memory::buffer_of(inner->w2)->head_cell()->w2, 9u);
  EXPECT_TRUE(steps[1].notify);
  stack::unwind_reset();
}

}  // namespace
}  // namespace kez
