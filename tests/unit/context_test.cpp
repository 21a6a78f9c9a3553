// Contexts: the global context's shared values for case variants, words of
// object and function contexts, binding (self, cycles), values on the stack,
// and contexts surviving collections.
#include <gtest/gtest.h>

#include "words_fixture.h"

namespace kez {
namespace {

using testing::block_of;
using testing::unbound;
using testing::error_of;
using testing::word_named;

class context_test : public testing::words_test {};

int32_t value_of(const cell* word) { return int32_t(context::get(word)->w2); }

// The text of a string! value, read from a rooted copy.
std::string text_of(const cell* value) { return testing::utf8_of(stack::push(value)); }

TEST_F(context_test, case_variants_share_a_global_value) {
  cell words[2] = {};  // rooted before they are filled: no stack garbage for the marker
  collector::root_cells keep(words, 2);
  cell& print = words[0];
  cell& Print = words[1];
  print = *context::add_global(symbol::make("print"), true, true);
  Print = *context::add_global(symbol::make("Print"), false, false);  // exact: an entry of its own
  EXPECT_NE(Print.w2, print.w2);
  EXPECT_EQ(Print.w3, print.w3);
  cell one = testing::integer(1), two = testing::integer(2);
  context::set(&Print, &one);
  EXPECT_EQ(value_of(&print), 1);
  context::set(&print, &two);
  EXPECT_EQ(value_of(&Print), 2);
  // Every word-list position has its value cell.
  series_buffer* values = memory::buffer_of(context::cell_of(context::global)->w2);
  EXPECT_EQ(values->used() / sizeof(cell), context::length_of(context::global));
}

TEST_F(context_test, spec_words_are_case_insensitive) {
  cell* spec = block_of({unbound("a"), unbound("A"), unbound("b", TYPE_REFINEMENT), unbound("c", TYPE_SET_WORD),
                         testing::integer(3), unbound("d", TYPE_GET_WORD), unbound("e", TYPE_LIT_WORD)});
  uint32_t ctx = context::make_from_spec(spec, false, false, context::KIND_FUNCTION);
  collector::root_node keep(ctx);
  EXPECT_EQ(context::length_of(ctx), 4u);  // a, b, d, e
  EXPECT_EQ(context::find_word(ctx, symbol::make("A"), true), 0);
  EXPECT_EQ(context::find_word(ctx, symbol::make("A"), false), -1);
  EXPECT_EQ(context::find_word(ctx, symbol::make("e"), true), 3);
  EXPECT_EQ(context::find_word(ctx, symbol::make("c"), true), -1);
  EXPECT_EQ(memory::buffer_of(context::cell_of(ctx)->w2)->used(), 4 * sizeof(cell));
  for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(type_of(context::value_at(ctx, i)), TYPE_UNSET);
}

TEST_F(context_test, size_zero_context_still_grows) {
  uint32_t ctx = context::create(0, false, false, 0, context::KIND_OBJECT);
  collector::root_node keep(ctx);
  for (int i = 0; i < 40; ++i) {
    cell* w = word_named(("f" + std::to_string(i)).c_str());
    cell v = testing::integer(i * 10);
    EXPECT_NE(context::add_word_value(ctx, w, &v), nullptr);
  }
  cell zero = testing::integer(0);
  // Words and symbols are made before `ctx` is read: making one can move the
  // context, and the argument order is the compiler's.
  cell* f7 = word_named("F7");
  EXPECT_EQ(context::add_word_value(ctx, f7, &zero), nullptr);
  for (int i = 0; i < 40; ++i) {
    uint32_t name = symbol::make(("F" + std::to_string(i)).c_str());
    cell* v = context::get_value_cell(ctx, name);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(int32_t(v->w2), i * 10);
  }
  cell target;
  cell* fresh = word_named("fresh");
  context::get_or_add(ctx, fresh, &target);
  EXPECT_EQ(type_of(&target), TYPE_UNSET);
  EXPECT_EQ(context::length_of(ctx), 41u);
}

TEST_F(context_test, object_words_are_marked_changed_when_set) {
  cell* spec = block_of({unbound("x"), unbound("y")});
  uint32_t ctx = context::make_from_spec(spec, false, true, context::KIND_OBJECT);
  collector::root_node keep(ctx);
  cell y = *context::word_at(ctx, 1);
  cell v = testing::integer(4);
  context::set(&y, &v);
  EXPECT_FALSE(context::word_at(ctx, 0)->header & FLAG_WORD_CHANGED);
  EXPECT_TRUE(context::word_at(ctx, 1)->header & FLAG_WORD_CHANGED);
  EXPECT_TRUE(context::cell_of(ctx)->header & FLAG_SELF);
  EXPECT_EQ(context::kind_of(ctx), uint32_t(context::KIND_OBJECT));
}

TEST_F(context_test, function_context_outside_a_call) {
  cell* spec = block_of({unbound("arg")});
  uint32_t ctx = context::make_from_spec(spec, true, false, context::KIND_FUNCTION);
  collector::root_node keep(ctx);
  cell arg = *context::word_at(ctx, 0);
  cell v = testing::integer(1);
  EXPECT_EQ(error_of([&] { context::get(&arg); }).second, int(err::script::not_in_context));
  EXPECT_EQ(error_of([&] { context::set(&arg, &v); }).second, int(err::script::not_defined));
  EXPECT_EQ(error_of([&] { context::get_local(ctx, 0); }).second, int(err::script::not_defined));
  // During a call the values are the frame's argument cells.
  stack::mark_native(nullptr);
  stack::push(&v);
  context::cell_of(ctx)->w2 = arena::offset_of(stack::arguments);
  EXPECT_EQ(value_of(&arg), 1);
  cell w = testing::integer(8);
  context::set(&arg, &w);
  EXPECT_EQ(stack::arguments->w2, 8u);
  stack::unwind_reset();
  context::cell_of(ctx)->w2 = 0;
  // Unbound words have nowhere to read from.
  cell loose{TYPE_REFINEMENT, 0, symbol::make("loose"), 0};
  EXPECT_EQ(error_of([&] { context::get(&loose); }).second, int(err::script::no_value));
}

TEST_F(context_test, bind_descends_and_stops_at_cycles) {
  uint32_t ctx = context::create(2, false, true, 0, context::KIND_OBJECT);
  collector::root_node keep(ctx);
  context::add_symbol(ctx, symbol::make("x"));
  *context::owner_of(ctx) = cell{TYPE_OBJECT, ctx, 0, 0};

  cell loose_x{TYPE_WORD, 0, symbol::make("X"), uint32_t(-1)};
  cell self{TYPE_WORD, 0, symbol::make("self"), uint32_t(-1)};
  cell other{TYPE_GET_WORD, 0, symbol::make("other"), uint32_t(-1)};
  cell* inner = block_of({loose_x, other});
  cell* outer = block_of({self, *inner, loose_x});
  // The inner block holds the outer one: binding must not loop.
  cell outer_copy = *outer;
  collector::root_cells keep_copy(&outer_copy);
  *reinterpret_cast<cell*>(series::make_room(memory::buffer_of(inner->w2), sizeof(cell))) = outer_copy;
  context::bind(outer, ctx, true);
  cell* o = memory::buffer_of(outer->w2)->head_cell();
  cell* i = memory::buffer_of(inner->w2)->head_cell();
  EXPECT_EQ(o[0].w1, ctx);
  EXPECT_EQ(int32_t(o[0].w3), -1);
  EXPECT_EQ(type_of(context::get(&o[0])), TYPE_OBJECT);  // self reads the owner
  EXPECT_EQ(o[2].w1, ctx);
  EXPECT_EQ(o[2].w3, 0u);
  EXPECT_EQ(i[0].w1, ctx);
  EXPECT_EQ(i[1].w1, 0u);  // not a word of the context: left as it was
}

TEST_F(context_test, clone_rebinds_the_word_list) {
  cell* spec = block_of({unbound("p"), unbound("q")});
  cell object{TYPE_OBJECT, context::make_from_spec(spec, false, true, context::KIND_OBJECT), 0, 0};
  collector::root_cells keep(&object);
  uint32_t source = object.w1;
  collector::root_node keep_source(source);
  uint32_t copy = context::clone(&object, context::KIND_OBJECT);
  EXPECT_EQ(object.w1, copy);
  EXPECT_NE(copy, source);
  ASSERT_EQ(context::length_of(copy), 2u);
  for (uint32_t i = 0; i < 2; ++i) {
    EXPECT_EQ(context::word_at(copy, i)->w1, copy);
    EXPECT_EQ(context::word_at(source, i)->w1, source);
  }
  uint32_t q = symbol::make("Q");  // may collect: read the copy's node from the rooted value after it
  EXPECT_EQ(context::find_word(object.w1, q, true), 1);
  EXPECT_TRUE(context::cell_of(object.w1)->header & FLAG_SELF);
}

TEST_F(context_test, set_words_from_a_block) {
  uint32_t ctx = context::create(1, false, false, 0, context::KIND_OBJECT);
  collector::root_node keep(ctx);
  cell* body = block_of({unbound("a", TYPE_SET_WORD), testing::integer(1), unbound("b", TYPE_SET_WORD),
                         unbound("A", TYPE_SET_WORD)});
  EXPECT_TRUE(context::add_set_words(ctx, body));
  EXPECT_EQ(context::length_of(ctx), 2u);
  EXPECT_FALSE(context::add_set_words(ctx, body));
}

TEST_F(context_test, slots_from_the_stack_top) {
  cell* spec = block_of({unbound("m"), unbound("n")});
  uint32_t ctx = context::make_from_spec(spec, false, false, context::KIND_OBJECT);
  collector::root_node keep(ctx);
  stack::mark_native(nullptr);
  cell unset{TYPE_UNSET, 0, 0, 0};
  stack::push(&unset);
  EXPECT_EQ(error_of([&] { context::set_local_from_top(ctx, 0); }).second, int(err::script::need_value));
  cell three = testing::integer(3);
  stack::push(&three);
  context::set_local_from_top_reset(ctx, 1);
  EXPECT_EQ(stack::top, stack::arguments);
  EXPECT_EQ(context::get_local(ctx, 1)->w2, 3u);
  stack::push(&unset);
  context::set_slot_from_top_reset(ctx, 0);  // no check for unset!
  EXPECT_TRUE(context::word_at(ctx, 0)->header & FLAG_WORD_CHANGED);
  // Compiled code's set_local leaves the old value on the stack.
  cell four = testing::integer(4);
  stack::push(&four);
  word::set_local(ctx, 1);
  EXPECT_EQ(stack::top_cell()->w2, 3u);
  EXPECT_EQ(context::get_local(ctx, 1)->w2, 4u);
  stack::unwind_reset();
}

TEST_F(context_test, collections_lose_no_context_value) {
  uint32_t n = testing::scaled(400, 40);
  cell* spec = block_of({unbound("k")});
  uint32_t ctx = context::make_from_spec(spec, false, true, context::KIND_OBJECT);
  cell object{TYPE_OBJECT, ctx, 0, 0};
  collector::root_cells keep(&object);
  for (uint32_t i = 0; i < n; ++i) {
    cell* text = testing::text("value " + std::to_string(i));
    cell* g = word_named(("global-" + std::to_string(i)).c_str());
    context::set(g, text);
    cell* field = word_named(("field-" + std::to_string(i)).c_str());
    context::add_word_value(object.w1, field, text);
    stack::pop(2);
  }
  collector::do_cycle();
  collector::do_cycle();
  for (uint32_t i = 0; i < n; ++i) {
    std::string expected = "value " + std::to_string(i);
    cell* g = word_named(("GLOBAL-" + std::to_string(i)).c_str());
    EXPECT_EQ(text_of(context::get(g)), expected);
    uint32_t name = symbol::make(("field-" + std::to_string(i)).c_str());
    cell* f = context::get_value_cell(object.w1, name);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(text_of(f), expected);
    stack::pop(2);
  }
}

}  // namespace
}  // namespace kez

namespace kez {
namespace {

struct change_seen {
  int calls = 0;
  int32_t old_value = 0, new_value = 0;
  uint32_t word = 0;
} seen;

void on_set(cell*, const cell* word, const cell* old_value, const cell* new_value) {
  ++seen.calls;
  seen.word = word->w2;
  seen.old_value = int32_t(old_value->w2);
  seen.new_value = int32_t(new_value->w2);
}

class context_hook_test : public testing::words_test {
 protected:
  void SetUp() override {
    words_test::SetUp();
    seen = change_seen{};
    context::set_on_set_hook(on_set);
  }
  void TearDown() override {
    context::set_on_set_hook(nullptr);
    words_test::TearDown();
  }
};

TEST_F(context_hook_test, owner_with_hooks_hears_each_set) {
  cell* spec = block_of({unbound("speed")});
  uint32_t ctx = context::make_from_spec(spec, false, true, context::KIND_OBJECT);
  collector::root_node keep(ctx);
  cell w = *context::word_at(ctx, 0);
  cell one = testing::integer(1), two = testing::integer(2);
  context::set(&w, &one);
  EXPECT_EQ(seen.calls, 0);  // no hook table: nothing to tell
  *context::owner_of(ctx) = cell{TYPE_OBJECT, ctx, 0, 1};
  cell* top = stack::top;
  context::set(&w, &two);
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(seen.old_value, 1);
  EXPECT_EQ(seen.new_value, 2);
  EXPECT_EQ(seen.word, symbol::make("speed"));
  EXPECT_EQ(stack::top, top);
  EXPECT_EQ(context::value_at(ctx, 0)->w2, 2u);
  context::set_in(&w, &one, ctx, false);  // hooks off
  EXPECT_EQ(seen.calls, 1);
}

TEST_F(context_hook_test, lookups_that_fall_back_on_the_global_context) {
  cell* g = word_named("shared-name");
  cell v = testing::integer(5);
  context::set(g, &v);
  cell* spec = block_of({unbound("arg")});
  uint32_t ctx = context::make_from_spec(spec, true, false, context::KIND_FUNCTION);
  collector::root_node keep(ctx);
  // A function context on the stack answers from the global context.
  uint32_t shared = symbol::make("SHARED-NAME");
  cell* found = context::get_value_cell(ctx, shared);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->w2, 5u);
  uint32_t arg = symbol::make("arg");
  EXPECT_EQ(context::find_or_add_global(ctx, arg)->w1, ctx);
  uint32_t other = symbol::make("not-an-arg");
  cell* added = context::find_or_add_global(ctx, other);
  EXPECT_EQ(added->w1, context::global);
  EXPECT_EQ(added->w2, other);
}

TEST_F(context_hook_test, words_keep_their_contexts_alive) {
  // Nothing but a word bound to it (and a `self` word) holds each context.
  cell held[2] = {};
  collector::root_cells keep(held, 2);
  {
    cell* spec = block_of({unbound("field")});
    uint32_t ctx = context::make_from_spec(spec, false, true, context::KIND_OBJECT);
    collector::root_node keep_ctx(ctx);
    cell* text = testing::text("kept");
    cell w = *context::word_at(ctx, 0);
    context::set(&w, text);
    held[0] = *context::word_at(ctx, 0);
    *context::owner_of(ctx) = cell{TYPE_OBJECT, ctx, 0, 0};
    cell self{TYPE_WORD, 0, symbol::make("self"), uint32_t(-1)};
    cell* body = block_of({self});
    context::bind(body, ctx, true);
    held[1] = *memory::buffer_of(body->w2)->head_cell();
    stack::pop(3);
  }
  collector::do_cycle();
  collector::do_cycle();
  EXPECT_EQ(testing::utf8_of(stack::push(context::get(&held[0]))), "kept");
  const cell* owner = context::get(&held[1]);
  EXPECT_EQ(type_of(owner), TYPE_OBJECT);
  EXPECT_EQ(owner->w1, held[1].w1);
}

TEST_F(context_hook_test, types_registered_late_are_named_at_once) {
  datatype::registration(TYPE_EVENT, 0, "event!").commit();
  uint32_t s = datatype::name_symbol(TYPE_EVENT);
  ASSERT_NE(s, 0u);
  EXPECT_EQ(testing::name_of(s), "event!");
  EXPECT_GE(context::find_word(context::global, s, false), 0);
}

}  // namespace
}  // namespace kez
