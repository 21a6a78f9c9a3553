#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>

#include <string>

#include "child_process.h"

using kez::test::run_child;

namespace {

const std::string probe = KEZ_TEST_PROGRAM_DIR "/runtime_probe";

// The report is the last thing on standard error: the caption, the error
// line, and the address in eight upper-case hexadecimal digits.
bool ends_with_report(const std::string& err, int status, const std::string& message) {
  std::string head = "Kez App Error\n*** Runtime Error " + std::to_string(status) + ": " + message + "\n*** at: ";
  size_t tail = head.size() + 10;  // 8 digits, "h", newline
  if (err.size() < tail || err.compare(err.size() - tail, head.size(), head) != 0) return false;
  std::string address = err.substr(err.size() - 10);
  return address.find_first_not_of("0123456789ABCDEF") == 8 && address.substr(8) == "h\n";
}

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
    EXPECT_TRUE(ends_with_report(result.err, c.status, c.message)) << result.err;
    EXPECT_EQ(result.out, "");
  }
}

// Output still buffered when a processor fault ends the process is written
// before the report, whether standard output is a terminal, a pipe or a file.
TEST(ProcessExit, AFaultFlushesWhatWasPrinted) {
  auto result = run_child(probe, {"print-segv"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "printed before the fault\n");
  EXPECT_TRUE(ends_with_report(result.err, 1, "access violation")) << result.err;
}

TEST(ProcessExit, ReportShowsTheLow32BitsOfTheAddress) {
  auto result = run_child(probe, {"quit42"});
  EXPECT_EQ(result.err, "Kez App Error\n*** Runtime Error 42: unknown error code!\n*** at: 1234ABCDh\n");
}

// A clean run: the state start-up promises, the arguments as their own
// bytes (UTF-8 or not), status 0 and nothing on standard error.
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
            "arg a\xFF" "b\n"
            "arg \xC0\xAF\n"
            "arg \xED\xA0\x80\n"
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

// Without a script, kez is the console's loop; the end of its input ends it
// as quit does.
TEST(ProcessExit, KezRunsTheEntryPathAndQuitsWithZero) {
  auto result = run_child(KEZ_EXE, {});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out.rfind("--== Kez ", 0), 0u) << result.out;
  EXPECT_TRUE(result.out.ends_with("\n>> ")) << result.out;
  EXPECT_EQ(result.err, "");
}

}  // namespace

namespace {

// What the probe's console mode writes, whatever it writes to.
std::string console_text(bool terminal) {
  std::string text = std::string("terminal ") + (terminal ? "true" : "false") + "\n";
  text += "\x1B[1;31mred\x1B[0m \xF0\x9F\x98\x80 caf\xC3\xA9\n";
  for (int i = 0; i < 1200; ++i) text += i % 100 < 4 ? std::string(1, "\x1B[2K"[i % 100]) : "\xC3\xA9";
  text += "\n\x1B[12";
  return text;
}

TEST(ConsoleOutput, PipeGetsTheTextAsUtf8) {
  auto result = run_child(probe, {"console"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, console_text(false));
}

// On a terminal the same bytes arrive, escape sequences untouched.
TEST(ConsoleOutput, TerminalGetsTheSameBytes) {
  int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  int terminal = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(terminal, 0);
  termios raw;
  tcgetattr(terminal, &raw);
  cfmakeraw(&raw);  // no LF to CR LF translation on the way
  tcsetattr(terminal, TCSANOW, &raw);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, terminal, 1);
  posix_spawn_file_actions_addclose(&actions, master);
  std::string program = probe;
  char* argv[] = {program.data(), const_cast<char*>("console"), nullptr};
  pid_t pid;
  ASSERT_EQ(posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(terminal);

  std::string out;
  char chunk[4096];
  for (ssize_t n; (n = read(master, chunk, sizeof chunk)) > 0;) out.append(chunk, size_t(n));
  close(master);  // read ends with EIO once the child has closed its side
  int status;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(out, console_text(true));
}

}  // namespace
