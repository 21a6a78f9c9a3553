// Child processes: start a program with its standard streams redirected,
// feed it input and capture its output and error without dead-locking on
// full pipes, and wait for it or leave it running.
//
// Invariants: every descriptor made here is close-on-exec except the three
// the child receives as 0, 1 and 2; a child that is not waited for is reaped
// by a detached thread, so none is left a zombie; SIGPIPE from a child that
// stops reading never reaches this process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kez::platform {

enum stream_kind : int {
  STREAM_NULL,     // the null device
  STREAM_FILE,     // input: read from path; output: appended to path
  STREAM_DATA,     // input: the bytes given; output: captured
};

struct stream {
  stream_kind kind = STREAM_NULL;
  std::string path;
  // Input data: read during run_process only, so it may point into a buffer
  // that nothing moves meanwhile.
  const uint8_t* data = nullptr;
  size_t size = 0;
  std::vector<uint8_t> captured;  // output and error captures
  // Set when a capture outgrew what one series holds or what the system
  // would give: the rest was refused (the pipe closed) and captured emptied.
  bool overflowed = false;
};

struct process_spec {
  std::vector<std::string> argv;  // argv[0] is looked up on PATH when it holds no "/"
  stream input, output, error;
  bool wait = false;
};

// Runs the program. With wait set, or with any stream not the null device:
// waits and answers the exit status (128 + the signal when a signal ended
// it). Otherwise answers the process id. -1 when a stream cannot be opened
// or the program cannot be started.
int64_t run_process(process_spec& spec);

// The argument vector that runs a command line through the shell.
std::vector<std::string> shell_command(const std::string& command);

}  // namespace kez::platform
