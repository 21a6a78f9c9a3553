#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture.h"
#include "runtime/console.h"
#include "runtime/hooks.h"

using namespace kez;

namespace {

std::vector<std::string> calls;

template <int N>
void value_hook(const cell* value, bool newline) {
  calls.push_back("v" + std::to_string(N) + ":" + std::to_string(value->w1) + (newline ? "/" : ""));
}

template <int N>
void text_hook(const char* text, int32_t length, int32_t flag) {
  calls.push_back("t" + std::to_string(N) + ":" + std::string(text, size_t(length)) + ":" + std::to_string(flag));
}

class OutputHooks : public ::testing::Test {
 protected:
  void SetUp() override {
    hooks::init();
    calls.clear();
  }
  void TearDown() override { hooks::init(); }
};

// Past the first capacity of five, the list grows and keeps every hook in
// registration order.
TEST_F(OutputHooks, FireInRegistrationOrderAcrossGrowth) {
  hooks::register_(value_hook<1>, nullptr);
  hooks::register_(value_hook<2>, nullptr);
  hooks::register_(value_hook<3>, nullptr);
  hooks::register_(value_hook<4>, nullptr);
  hooks::register_(value_hook<5>, nullptr);
  hooks::register_(value_hook<6>, text_hook<1>);
  hooks::register_(value_hook<1>, nullptr);  // twice: called twice
  cell value{TYPE_INTEGER, 7, 0, 0};
  hooks::fire_list1(&value, true);
  EXPECT_EQ(calls, (std::vector<std::string>{"v1:7/", "v2:7/", "v3:7/", "v4:7/", "v5:7/", "v6:7/", "v1:7/"}));
  calls.clear();
  hooks::fire_list2("abc", 2, 5);
  EXPECT_EQ(calls, (std::vector<std::string>{"t1:ab:5"}));
}

TEST_F(OutputHooks, NullHooksAreSkipped) {
  hooks::register_(nullptr, text_hook<1>);
  cell value{TYPE_INTEGER, 1, 0, 0};
  hooks::fire_list1(&value, false);
  EXPECT_TRUE(calls.empty());
  hooks::fire_list2("x", 1, 0);
  EXPECT_EQ(calls, (std::vector<std::string>{"t1:x:0"}));
}

TEST_F(OutputHooks, UnregisterRemovesTheFirstOccurrenceOnly) {
  hooks::register_(value_hook<1>, text_hook<1>);
  hooks::register_(value_hook<2>, text_hook<2>);
  hooks::register_(value_hook<1>, text_hook<1>);
  hooks::unregister(value_hook<1>, nullptr);
  hooks::unregister(value_hook<3>, text_hook<3>);  // not there: nothing changes
  cell value{TYPE_INTEGER, 4, 0, 0};
  hooks::fire_list1(&value, false);
  hooks::fire_list2("y", 1, 0);
  EXPECT_EQ(calls, (std::vector<std::string>{"v2:4", "v1:4", "t1:y:0", "t2:y:0", "t1:y:0"}));
}

// The console's C-string and number writers hand each piece of text to
// list 2 as they write it.
TEST_F(OutputHooks, ConsoleWritersFireListTwo) {
  hooks::register_(nullptr, text_hook<1>);
  std::string out = kez::test::capture_stdout([] {
    console::write_cstring("abc");
    console::print_int(-42);
    console::print_hex(0xABCDEF);
    stdout_::print_char_literal(200);
    stdout_::print_line(true);
  });
  EXPECT_EQ(out, "abc-4200ABCDEF#\"^(C8)\"true\n");
  EXPECT_EQ(calls, (std::vector<std::string>{"t1:abc:0", "t1:-42:0", "t1:00ABCDEF:0", "t1:#\"^(C8)\":0",
                                             "t1:true:0", "t1:\n:0"}));
}

}  // namespace
