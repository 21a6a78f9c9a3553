#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <cstring>
#include <string>

#include "capture.h"
#include "gui/backend/message.h"
#include "runtime/datatypes/error.h"
#include "runtime/mem.h"
#include "runtime/runtime.h"
#include "runtime/start.h"

using namespace kez;
using runtime::ctx;

namespace {

TEST(RuntimeErrors, MessagesByNumber) {
  const std::pair<int32_t, const char*> cases[] = {
      {1, "access violation"},        {6, "float denormal operan"}, {19, "stack error or overflow"},
      {22, "invalid handle"},         {23, "illegal operand"},      {29, "hardware memory error consumed AR"},
      {34, "Bus error"},              {94, "out of memory"},        {95, "no CATCH for THROW"},
      {98, "assertion failed"},       {99, "unknown error"},        {100, "no value matched in CASE"},
      {101, "no value matched in SWITCH"},
      {0, "unknown error code!"},     {35, "unknown error code!"},  {42, "unknown error code!"},
      {93, "unknown error code!"},    {96, "unknown error code!"},  {102, "unknown error code!"},
      {-2, "unknown error code!"},
  };
  for (auto [status, message] : cases) EXPECT_STREQ(runtime::error_message(status), message) << status;
}

enum class caught_by { inner, outer, nobody };

struct region_case {
  uint32_t code;
  uint32_t outer, inner;
  caught_by expected;
};

// Which of two nested regions stops a code: the innermost whose filter is
// at least the code, compared unsigned.
TEST(CatchRegions, InnermostAdmittingRegionStopsTheCode) {
  using namespace runtime;
  const region_case cases[] = {
      {THROWN_ERROR, FILTER_LANGUAGE, FILTER_LOOP, caught_by::outer},
      {THROWN_BREAK, FILTER_LANGUAGE, FILTER_LOOP, caught_by::inner},
      {THROWN_CONTINUE, FILTER_LANGUAGE, FILTER_CATCH, caught_by::outer},
      {THROWN_THROW, FILTER_LOOP, FILTER_CATCH, caught_by::inner},
      {THROWN_VM_COMMIT, FILTER_LANGUAGE, FILTER_VM, caught_by::inner},
      {THROWN_VM_RELEASE, FILTER_LANGUAGE, FILTER_VM, caught_by::inner},
      {THROWN_POWER_OVERFLOW, FILTER_LANGUAGE, FILTER_VM, caught_by::outer},
      {5, FILTER_LOOP, FILTER_LEXER, caught_by::inner},
      {10, FILTER_LOOP, FILTER_LEXER, caught_by::inner},
      {11, FILTER_LOOP, FILTER_LEXER, caught_by::outer},
      {1, FILTER_LOOP, FILTER_NOTHING, caught_by::outer},
      {0x80000000u, FILTER_LANGUAGE, FILTER_LOOP, caught_by::nobody},  // not negative
      {0xFFFFFFFFu, FILTER_LANGUAGE, FILTER_LOOP, caught_by::nobody},
      {0xFFFFFFFFu, FILTER_TOP, FILTER_LANGUAGE, caught_by::outer},
  };
  for (const region_case& c : cases) {
    SCOPED_TRACE(c.code);
    ctx.thrown = 0;
    uint32_t inner = 0, outer = 0;
    bool escaped = false;
    try {
      outer = catch_region(c.outer, [&] { inner = catch_region(c.inner, [&] { throw_(c.code); }); });
    } catch (const thrown& t) {
      escaped = true;
      EXPECT_EQ(t.code, c.code);
    }
    caught_by got = inner ? caught_by::inner : outer ? caught_by::outer : caught_by::nobody;
    EXPECT_EQ(got, c.expected);
    EXPECT_EQ(escaped, c.expected == caught_by::nobody);
    if (!escaped) {
      EXPECT_EQ(ctx.thrown, c.code);  // left for the handler to consume
    }
  }
  ctx.thrown = 0;
}

TEST(CatchRegions, PassingOnReachesTheNextRegionWithTheSameCode) {
  using namespace runtime;
  ctx.thrown = 0;
  int inner_handled = 0;
  uint32_t outer = catch_region(FILTER_LANGUAGE, [&] {
    uint32_t code = catch_region(FILTER_LOOP, [] { throw_(THROWN_RETURN); });
    if (code == THROWN_RETURN) ++inner_handled;
    throw_();  // not this region's to handle: on outward
  });
  EXPECT_EQ(inner_handled, 1);
  EXPECT_EQ(outer, THROWN_RETURN);
  ctx.thrown = 0;
}

TEST(CatchRegions, CompletedRegionsAndThrowingNothing) {
  using namespace runtime;
  ctx.thrown = 0;
  int ran = 0;
  EXPECT_EQ(catch_region(FILTER_NOTHING, [&] { ++ran; }), 0u);
  EXPECT_EQ(ran, 1);
  // Throwing 0 does nothing, so a caller may pass on unconditionally.
  EXPECT_NO_THROW(throw_());
  EXPECT_NO_THROW(throw_(0));
  EXPECT_EQ(catch_region(FILTER_NOTHING, [] { throw_(0); }), 0u);
}

TEST(CatchRegions, FiredErrorsArriveAsTheErrorCode) {
  using namespace runtime;
  ctx.thrown = 0;
  uint32_t code = catch_region(FILTER_LANGUAGE, [] {
    catch_region(FILTER_LOOP, [] { error::fire(err::cat_math, err::math::zero_divide); });
  });
  EXPECT_EQ(code, THROWN_ERROR);
  EXPECT_EQ(error::last_category(), err::cat_math);
  EXPECT_EQ(error::last_id(), err::math::zero_divide);
  ctx.thrown = 0;
}

uintptr_t frame_of_caller = 0;

[[gnu::noinline]] uintptr_t ask_caller_address() {
  frame_of_caller = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  volatile uintptr_t address = runtime::caller_address();  // a real call, not a jump
  return address;
}

TEST(CallerAddress, PointsIntoTheCallerAndRecordsItsPlace) {
  ctx.fault = nullptr;
  uintptr_t address = ask_caller_address();
  auto caller = reinterpret_cast<uintptr_t>(&ask_caller_address);
  EXPECT_GT(address, caller);
  EXPECT_LT(address, caller + 1024);
  ASSERT_NE(ctx.fault, nullptr);
  // The caller's stack pointer after the call lies within its own frame.
  EXPECT_LE(ctx.fault->stack_pointer, frame_of_caller);
  EXPECT_GT(ctx.fault->stack_pointer, frame_of_caller - 1024);
}

TEST(StartUp, FloatingPointExceptionsAreMasked) {
  feenableexcept(FE_DIVBYZERO | FE_INVALID | FE_OVERFLOW);
  runtime::reset_fpu();
  EXPECT_EQ(fegetexcept(), 0);
  volatile double zero = 0.0;
  EXPECT_TRUE(std::isinf(1.0 / zero));
  EXPECT_TRUE(std::isnan(zero / zero));
  EXPECT_EQ(fegetround(), FE_TONEAREST);
}

// Arguments are names as the system gave them: bytes that are not UTF-8
// are kept, so a file named by them can still be opened.
TEST(StartUp, ArgumentsBecomeTrackedCopiesOfTheirBytes) {
  const char* args[] = {"kez", "h\xC3\xA9", "\xF0\x9F\x98\x80", "\xFF", "\xE2\x82", "\xF4\x90\x80\x80", "x\xE0\x80\x80", ""};
  const char* const* expected = args;
  constexpr int n = int(std::size(args));
  size_t before = mem::count();
  runtime::get_args(n, const_cast<char**>(args));
  ASSERT_EQ(ctx.argc, n);
  for (int i = 0; i < n; ++i) EXPECT_STREQ(ctx.argv[i], expected[i]) << i;
  EXPECT_EQ(ctx.argv[n], nullptr);
  EXPECT_EQ(mem::count(), before + n + 1);
  for (int i = 0; i < n; ++i) mem::free(ctx.argv[i]);
  mem::free(ctx.argv);
  ctx.argc = 0;
  ctx.argv = nullptr;
}

TEST(ShowMessage, CaptionAndTextGoToStandardError) {
  std::string err = test::capture_fd(2, [] { gui::show_message("Kez App Error", "first\nsecond"); });
  EXPECT_EQ(err, "Kez App Error\nfirst\nsecond\n");
}

}  // namespace
