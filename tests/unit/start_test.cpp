#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "child_process.h"

using kez::test::run_child;

namespace {

const std::string probe = KEZ_TEST_PROGRAM_DIR "/runtime_probe";

struct fatal_case {
  const char* mode;
  int status;
  const char* message;
};

// Each way a process can fail ends with its runtime error number as the exit
// status and the report as the last lines of standard error.
TEST(ProcessExit, FailuresEndWithTheirRuntimeError) {
  const fatal_case cases[] = {
      {"segv", 1, "access violation"},
      {"fpe", 13, "integer divide by zero"},
      {"ill", 17, "illegal instruction"},
      {"trap", 3, "breakpoint"},
      {"overflow", 19, "stack error or overflow"},
      {"assert", 98, "assertion failed"},
      {"throw", 95, "no CATCH for THROW"},
      {"fire", 95, "no CATCH for THROW"},
      {"oom", 94, "out of memory"},
      {"bad-alloc", 94, "out of memory"},
      {"exception", 99, "unknown error"},
      {"quit42", 42, "unknown error code!"},
  };
  for (const fatal_case& c : cases) {
    SCOPED_TRACE(c.mode);
    auto result = run_child(probe, {c.mode});
    EXPECT_EQ(result.status, c.status);
    std::regex report("Kez App Error\n\\*\\*\\* Runtime Error " + std::to_string(c.status) + ": " +
                      std::regex_replace(c.message, std::regex("[!]"), "\\$&") +
                      "\n\\*\\*\\* at: [0-9A-F]{8}h\n$");
    EXPECT_TRUE(std::regex_search(result.err, report)) << result.err;
    EXPECT_EQ(result.out, "");
  }
}

TEST(ProcessExit, ReportShowsTheLow32BitsOfTheAddress) {
  auto result = run_child(probe, {"quit42"});
  EXPECT_EQ(result.err, "Kez App Error\n*** Runtime Error 42: unknown error code!\n*** at: 1234ABCDh\n");
}

// A clean run: the state start-up promises, the arguments as UTF-8 (a stray
// byte becomes U+FFFD), status 0 and nothing on standard error.
TEST(ProcessExit, StartUpPreparesTheProcess) {
  auto result = run_child(probe, {"report", "h\xC3\xA9", "\xF0\x9F\x98\x80", "a\xFF" "b", "\xC0\xAF", "\xED\xA0\x80", ""});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(result.out,
            "argc 8\n"
            "arg " + probe + "\n"
            "arg report\n"
            "arg h\xC3\xA9\n"
            "arg \xF0\x9F\x98\x80\n"
            "arg a\xEF\xBF\xBD" "b\n"
            "arg \xEF\xBF\xBD\xEF\xBF\xBD\n"
            "arg \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\n"
            "arg \n"
            "terminated true\n"
            "machine-stack true\n"
            "stack-base true\n"
            "fault-handlers true\n"
            "signal-stack true\n"
            "fpu-masked true\n"
            "top-frame true\n");
}

// Codes that a region admits never reach the top frame; tracked blocks left
// at quit are freed (in the sanitizer build the leak checker runs at quit
// and would fail the exit status).
TEST(ProcessExit, CleanExitsAreSilent) {
  for (const char* mode : {"caught", "allocate"}) {
    SCOPED_TRACE(mode);
    auto result = run_child(probe, {mode});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
  }
  EXPECT_EQ(run_child(probe, {"caught"}).out, "caught 7FFFFFFE\n");
}

TEST(ProcessExit, KezRunsTheEntryPathAndQuitsWithZero) {
  auto result = run_child(KEZ_EXE, {"--some", "arguments"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");
}

}  // namespace
