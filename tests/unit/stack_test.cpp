// The data and call stacks: pushes, frames, overflow, and the collector
// seeing everything they hold.
#include <gtest/gtest.h>

#include <string>

#include "heap_values.h"
#include "values_fixture.h"

namespace kez {
namespace {

using testing::error_of;
using testing::integer;

class stack_test : public testing::values_test {};

const std::pair<int, int> overflow_error{err::cat_internal, err::internal::stack_overflow};

TEST_F(stack_test, push_pop_and_top) {
  EXPECT_EQ(stack::top_cell(), stack::bottom);  // empty: the bottom
  for (int i = 1; i <= 3; ++i) {
    cell v = integer(i);
    stack::push(&v);
  }
  EXPECT_EQ(stack::top_cell()->w2, 3u);
  EXPECT_EQ(stack::top_type(), TYPE_INTEGER);
  stack::pop(2);
  EXPECT_EQ(stack::top_cell()->w2, 1u);
  stack::pop(10);  // never below the bottom
  EXPECT_EQ(stack::top, stack::bottom);
  // A value that lies on the stack itself can be pushed again.
  cell v = integer(9);
  stack::push(stack::push(&v));
  EXPECT_EQ(stack::top - stack::bottom, 2);
  EXPECT_EQ(stack::top_cell()->w2, 9u);
}

TEST_F(stack_test, a_full_data_stack_raises_and_pulls_top_back) {
  cell v = integer(1);
  auto fill = [&] {
    for (;;) stack::push(&v);
  };
  EXPECT_EQ(error_of(fill), overflow_error);
  EXPECT_EQ(stack::end - stack::top, 5);
  // The stack is usable again after the error.
  stack::reset();
  EXPECT_EQ(stack::push(&v), stack::bottom);
}

TEST_F(stack_test, a_full_call_stack_raises_without_marking) {
  cell v = integer(1);
  for (int i = 0; i < 8; ++i) stack::push(&v);
  auto deep = [&] {
    for (;;) stack::mark_native(nullptr);
  };
  EXPECT_EQ(error_of(deep), overflow_error);
  EXPECT_EQ(stack::depth(), stack::CALL_CELLS * 16 / sizeof(stack::frame));
  // The cells of the frames below stay whole: they are still in use.
  EXPECT_EQ(stack::top - stack::bottom, 8);
  for (cell* c = stack::bottom; c < stack::top; ++c) EXPECT_EQ(c->w2, 1u);
}

// Frames: what each unwind leaves on the caller's side.
TEST_F(stack_test, unwind_variants) {
  cell a = integer(10), b = integer(20), r = integer(99);
  struct row {
    void (*unwind)();
    ptrdiff_t caller_cells;  // cells left in the caller's frame
    uint32_t caller_slot;    // the caller's arguments[0] afterwards
  };
  const row rows[] = {
      {stack::unwind, 3, 10},
      {stack::unwind_last, 3, 99},
      {stack::unwind_reset, 0, 10},  // the caller's frame restarts empty
  };
  for (const row& w : rows) {
    stack::arguments = stack::top = stack::bottom;
    stack::push(&a);
    stack::push(&b);
    cell word{TYPE_WORD, 0, 1234, 0};
    stack::mark_native(&word);
    EXPECT_EQ(stack::current_frame()->type(), stack::FRAME_NATIVE);
    EXPECT_EQ(stack::current_frame()->symbol(), 1234u);
    EXPECT_EQ(stack::arguments, stack::bottom + 2);
    stack::push(&r);  // the call's result slot
    stack::push(&a);  // and an argument
    w.unwind();
    EXPECT_EQ(stack::depth(), 0u);
    EXPECT_EQ(stack::arguments, stack::bottom);
    EXPECT_EQ(stack::top - stack::arguments, w.caller_cells);
    EXPECT_EQ(stack::arguments->w2, w.caller_slot);
    if (w.caller_cells == 3) {
      EXPECT_EQ(stack::top_cell()->w2, 99u);
    }
  }
}

TEST_F(stack_test, function_frames_put_back_the_context_values) {
  uint32_t context = memory::alloc_cells(2);
  collector::root_node hold(context);
  cell ctx{uint32_t(TYPE_CONTEXT) | FLAG_STACK_VALUES, 0, 0x1111, 0};
  testing::append(context, ctx);
  stack::mark_func(nullptr, context);
  memory::buffer_of(context)->head_cell()->w2 = 0x2222;  // the call points it at its arguments
  stack::unwind_ctx_reset();
  EXPECT_EQ(memory::buffer_of(context)->head_cell()->w2, 0x1111u);
  // The plain unwind leaves the field alone.
  stack::mark_func(nullptr, context);
  memory::buffer_of(context)->head_cell()->w2 = 0x3333;
  stack::unwind();
  EXPECT_EQ(memory::buffer_of(context)->head_cell()->w2, 0x3333u);
}

// Everything on the stacks survives collections that move buffers and nodes:
// strings pushed as values and a context reached only through a frame.
// Frames for the unroll cases: a loop, then a try/all or a plain native
// above it, each holding one cell.
struct unroll_case {
  const char* name;
  uint32_t middle;  // type of the frame between the loop and the top frame
  bool keep;
  uint32_t expected_type;  // the frame left on top
  int expected_frames;     // frames left
};

TEST_F(stack_test, unroll_stops_at_its_type_or_at_a_try_all_frame) {
  const unroll_case cases[] = {
      {"native between, keep", stack::FRAME_NATIVE, true, stack::FRAME_LOOP, 2},
      {"native between, no keep", stack::FRAME_NATIVE, false, stack::FRAME_LOOP, 2},
      {"try/all between, keep", stack::FRAME_TRY_ALL, true, stack::FRAME_TRY_ALL, 3},
  };
  for (const unroll_case& c : cases) {
    SCOPED_TRACE(c.name);
    stack::ctop = stack::ctop_bottom;
    stack::arguments = stack::top = stack::bottom;
    stack::mark(nullptr, stack::FRAME_NATIVE << 24);  // the loop's caller
    cell v = integer(1);
    stack::push(&v);
    cell* caller = stack::arguments;
    stack::mark(nullptr, stack::FRAME_LOOP << 24);
    cell* loop_cells = stack::arguments;
    v = integer(2);
    stack::push(&v);
    stack::mark(nullptr, c.middle << 24);
    cell* middle_cells = stack::arguments;
    v = integer(3);
    stack::push(&v);
    stack::mark(nullptr, stack::FRAME_NATIVE << 24);
    v = integer(4);
    stack::push(&v);
    stack::unroll(stack::FRAME_LOOP, c.keep);
    EXPECT_EQ(stack::depth(), uint32_t(c.expected_frames));
    EXPECT_EQ(stack::current_frame()->type(), c.expected_type);
    cell* expected_arguments = c.expected_type == stack::FRAME_TRY_ALL ? middle_cells : c.keep ? loop_cells : caller;
    EXPECT_EQ(stack::arguments, expected_arguments);
    EXPECT_EQ((stack::top - 1)->w2, uint32_t(4));  // the innermost result is the last cell
  }
}

TEST_F(stack_test, unroll_to_the_top_frame_itself_only_resets_top) {
  stack::mark(nullptr, stack::FRAME_LOOP << 24);
  cell v = integer(1);
  stack::push(&v);
  stack::push(&v);
  cell* arguments = stack::arguments;
  uint32_t depth = stack::depth();
  stack::unroll(stack::FRAME_LOOP, true);
  EXPECT_EQ(stack::depth(), depth);
  EXPECT_EQ(stack::arguments, arguments);
  EXPECT_EQ(stack::top, arguments + 1);
}

// The three unroll variants over one stack of frames: a caller, a function
// call (its context's values pointed at its cells), a loop, a middle frame
// (plain native or try/all) and the innermost call, each holding one cell;
// the innermost call's result is 99 and stays the last pushed cell.
struct unroll_variant {
  const char* name;
  void (*unroll)();
  uint32_t middle;
  int frames;                  // frames left
  char arguments;              // whose cells become the arguments: c(aller) f(unction) l(oop) m(iddle)
  uint32_t first;              // arguments[0] afterwards
  bool context_restored;       // the function's context got its saved values back
};

TEST_F(stack_test, unroll_variants_restore_the_stacks) {
  const unroll_variant variants[] = {
      {"unroll loop keep", [] { stack::unroll(stack::FRAME_LOOP, true); }, stack::FRAME_NATIVE, 3, 'l', 3, false},
      {"unroll-to-loop keep", [] { stack::unroll_to_loop(true); }, stack::FRAME_NATIVE, 3, 'l', 3, false},
      {"unroll-to-loop", [] { stack::unroll_to_loop(false); }, stack::FRAME_NATIVE, 3, 'f', 2, false},
      {"unroll-to-loop past try/all", [] { stack::unroll_to_loop(false); }, stack::FRAME_TRY_ALL, 4, 'l', 3, false},
      {"unroll-last function", [] { stack::unroll_last(stack::FRAME_FUNCTION); }, stack::FRAME_NATIVE, 2, 'f', 99, true},
      {"unroll-last past try/all", [] { stack::unroll_last(stack::FRAME_FUNCTION); }, stack::FRAME_TRY_ALL, 4, 'm', 99, false},
      {"unroll function", [] { stack::unroll(stack::FRAME_FUNCTION, false); }, stack::FRAME_NATIVE, 2, 'c', 1, true},
  };
  uint32_t context = memory::alloc_cells(2);
  collector::root_node hold(context);
  testing::append(context, cell{uint32_t(TYPE_CONTEXT) | FLAG_STACK_VALUES, 0, 0x1111, 0});
  for (const unroll_variant& v : variants) {
    SCOPED_TRACE(v.name);
    stack::ctop = stack::ctop_bottom;
    stack::arguments = stack::top = stack::bottom;
    auto frame_with = [](uint32_t type, int32_t value) {
      stack::mark(nullptr, type << 24);
      cell c = integer(value);
      stack::push(&c);
      return stack::arguments;
    };
    cell* caller = frame_with(stack::FRAME_NATIVE, 1);
    memory::buffer_of(context)->head_cell()->w2 = 0x1111;  // before the call
    stack::mark_func(nullptr, context);
    cell first = integer(2);
    cell* function = stack::push(&first);
    memory::buffer_of(context)->head_cell()->w2 = arena::offset_of(function);  // the call's values
    cell* loop = frame_with(stack::FRAME_LOOP, 3);
    cell* middle = frame_with(v.middle, 4);
    frame_with(stack::FRAME_NATIVE, 99);
    v.unroll();
    EXPECT_EQ(stack::depth(), uint32_t(v.frames));
    cell* expected = v.arguments == 'c' ? caller : v.arguments == 'f' ? function : v.arguments == 'l' ? loop : middle;
    EXPECT_EQ(stack::arguments, expected);
    EXPECT_EQ(stack::arguments->w2, v.first);
    EXPECT_EQ((stack::top - 1)->w2, 99u);  // the innermost result is the last cell
    if (v.first == 99) {
      EXPECT_EQ(stack::top, stack::arguments + 1);  // the found frame holds only the result
    }
    EXPECT_EQ(memory::buffer_of(context)->head_cell()->w2 == 0x1111u, v.context_restored);
  }
  stack::ctop = stack::ctop_bottom;  // no frame keeps the made-up values field
  stack::arguments = stack::top = stack::bottom;
}

TEST_F(stack_test, a_pushed_cell_never_shows_an_earlier_value) {
  cell v = integer(7);
  stack::push(&v);
  stack::pop(1);
  EXPECT_EQ(type_of(stack::push_cell()), TYPE_UNSET);
}

TEST_F(stack_test, collection_keeps_what_the_stacks_hold) {
  const int n = int(testing::scaled(400, 60));
  for (int i = 0; i < n; ++i) {
    testing::text("value " + std::to_string(i) + (i % 7 == 0 ? " \xC3\xA9" : ""));
    uint32_t garbage = memory::alloc_bytes(64);  // dead at once
    (void)garbage;
  }
  // A context that nothing but a frame names, with a values block.
  uint32_t values = memory::alloc_cells(4);
  uint32_t context = 0;
  {
    collector::root_node hold_values(values);
    for (int i = 0; i < 3; ++i) testing::append(values, integer(700 + i));
    context = memory::alloc_cells(2);
    testing::append(context, cell{TYPE_CONTEXT, 0, values, 0});
  }
  cell word{TYPE_WORD, context, 42, 0};
  stack::mark_native(&word);
  collector::do_cycle();
  collector::do_cycle();
  for (int i = 0; i < 50; ++i) memory::alloc_bytes(1000);
  collector::do_cycle();

  uint32_t named = stack::current_frame()->word_context;
  cell* ctx_cell = memory::buffer_of(named)->head_cell();
  EXPECT_EQ(type_of(ctx_cell), TYPE_CONTEXT);
  EXPECT_EQ(testing::length_of(ctx_cell->w2), 3u);
  EXPECT_EQ(testing::cell_at(ctx_cell->w2, 2)->w2, 702u);
  stack::unwind();  // the strings stay below top
  for (int i = 0; i < n; ++i)
    EXPECT_EQ(testing::utf8_of(stack::bottom + i),
              "value " + std::to_string(i) + (i % 7 == 0 ? " \xC3\xA9" : ""));
}

}  // namespace
}  // namespace kez
