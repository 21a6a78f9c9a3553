// Captures what a piece of code writes to a file descriptor (standard
// output or standard error) through a pipe.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <string>

namespace kez::test {

template <class Body>
std::string capture_fd(int fd, Body&& body) {
  std::fflush(nullptr);
  int ends[2];
  if (pipe(ends) != 0) return "<pipe failed>";
  int saved = dup(fd);
  dup2(ends[1], fd);
  close(ends[1]);
  body();
  std::fflush(nullptr);
  dup2(saved, fd);
  close(saved);
  std::string text;
  char chunk[4096];
  for (ssize_t n; (n = read(ends[0], chunk, sizeof chunk)) > 0;) text.append(chunk, size_t(n));
  close(ends[0]);
  return text;
}

template <class Body>
std::string capture_stdout(Body&& body) { return capture_fd(STDOUT_FILENO, body); }

}  // namespace kez::test
