// Running a script from the command line: the header rules, the exit
// status of a clean run and of an error nothing catches.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "child_process.h"
#include "runtime/boot.h"

namespace {

using kez::test::script_file;

TEST(Launch, ScriptsRunAndReportUncaughtErrors) {
  struct row {
    const char* text;
    int status;
    const char* out;
    const char* err_part;  // a part of standard error, "" for none at all
  };
  const row rows[] = {
      {"Kez []\nprint \"hello\"\n", 0, "hello\n", ""},
      {"#!/usr/bin/env kez\nnoise before\nKez [Title: \"t\"]\nprint 1 + 2\n", 0, "3\n", ""},
      {"Kez\n\t [] prin \"a\" prin \"b\"", 0, "ab", ""},
      {"Kez [] print 1 zork print 2\n", 254, "1\n", "zork has no value"},
      {"Kez [] f: func [a [integer!]][a] f \"x\"\n", 254, "", "f does not allow string! for its a argument"},
      {"print \"no header\"\n", 254, "", "script is missing a Kez header: /"},
      {"kez [] print 1\n", 254, "", "script is missing a Kez header: /"},
      {"Kez/System [] print 1\n", 254, "", "Kez/System"},
      {"Kez [] f: func [][f] try [f] print \"after\"\n", 0, "after\n", ""},
      // An argument nested too deep to form costs the report only itself.
      {"Kez [] b: [] loop 1100 [b: reduce [b]] do make error! [type: 'user id: 'message arg1: b]\n", 254, "",
       "*** User Error: \n*** Where: do"},
  };
  int n = 0;
  for (const row& r : rows) {
    SCOPED_TRACE(r.text);
    auto result = kez::test::run_child(KEZ_EXE, {script_file("launch_" + std::to_string(n++) + ".kez", r.text)});
    EXPECT_EQ(result.status, r.status);
    EXPECT_EQ(result.out, r.out);
    if (*r.err_part) {
      EXPECT_NE(result.err.find(r.err_part), std::string::npos) << result.err;
    } else {
      EXPECT_EQ(result.err, "");
    }
  }
}

// Code nested deeper than the call stack: the uncaught stack-overflow gets
// the normal report and status 254, with what was printed before it, even
// when the nesting is too deep for the report to show it whole.
TEST(Launch, DeepNestingEndsWithTheNormalReport) {
  int n = 0;
  for (int depth : {12000, 100000}) {
    SCOPED_TRACE(depth);
    // Loaded as the script runs: do-file's preprocessing of the script's own
    // code would stop at its parse depth before anything ran.
    std::string text = "Kez []\nprint \"before\"\ndo load {" + std::string(size_t(depth), '(') + "1" +
                       std::string(size_t(depth), ')') + "}\n";
    // Without collector stress: loading the nesting would take minutes.
    auto result = kez::test::run_child(KEZ_EXE, {script_file("deep_" + std::to_string(n++) + ".kez", text)},
                                       {"KEZ_GC_STRESS=0"});
    EXPECT_EQ(result.status, 254);
    EXPECT_EQ(result.out, "before\n");
    EXPECT_EQ(result.err.rfind("*** Internal Error: stack overflow\n", 0), 0u) << result.err;
    EXPECT_NE(result.err.find("*** Near : (("), std::string::npos) << result.err;
  }
}

TEST(Launch, HeaderIsKezThenBlanksThenABracket) {
  struct row {
    const char* text;
    long start;
  };
  const row rows[] = {
      {"Kez []", 0},
      {"junk\nKez [", 5},
      {"Kez\n[", 0},
      {"Kez/System [", -2},
      {"xKez [", -1},
      {"Kez x [", -1},
      {"KEZ [", -1},
      {"Kez", -1},
      {"", -1},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(kez::boot::find_header(r.text, std::string(r.text).size()), r.start);
  }
}

}  // namespace
