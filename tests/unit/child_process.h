// Runs a program as a child process and collects what it wrote and how it
// ended, for tests of behaviour that ends the process.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

extern char** environ;

namespace kez::test {

struct child_result {
  int status;  // the exit status, or 128 + the signal that killed the child
  std::string out;
  std::string err;
};

// A path in the test programs' directory that no other test process uses:
// ctest runs each test alone and all of them in one process at the same time,
// and a file rewritten while another process runs or reads it breaks that one.
inline std::string private_path(const std::string& name) {
  return std::string(KEZ_TEST_PROGRAM_DIR) + "/" + std::to_string(getpid()) + "-" + name;
}

// Writes a script into the test programs' directory; answers its path.
inline std::string script_file(const std::string& name, const std::string& text) {
  std::string path = private_path(name);
  FILE* f = std::fopen(path.c_str(), "wb");
  std::fwrite(text.data(), 1, text.size(), f);
  std::fclose(f);
  return path;
}

// env entries ("NAME=value") are added to this process's environment,
// replacing a variable of the same name.
inline child_result run_child(const std::string& program, const std::vector<std::string>& args,
                              const std::vector<std::string>& env = {}) {
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (char** e = environ; *e; ++e) {
    bool replaced = false;
    for (const std::string& given : env) {
      size_t name = given.find('=') + 1;
      replaced |= std::string(*e).compare(0, name, given, 0, name) == 0;
    }
    if (!replaced) envp.push_back(*e);
  }
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  int out[2], err[2];
  if (pipe(out) != 0 || pipe(err) != 0) return {-1, "", "pipe failed"};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  // A child that reads its input (kez alone does) meets its end at once
  // instead of waiting on whatever the test runner's input is.
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  posix_spawn_file_actions_addclose(&actions, err[0]);
  pid_t pid;
  int failed = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  child_result result{-1, "", ""};
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_pipes = 2;
  while (!failed && open_pipes) {
    poll(fds, 2, -1);
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !fds[i].revents) continue;
      char chunk[4096];
      ssize_t n = read(fds[i].fd, chunk, sizeof chunk);
      if (n > 0) {
        sinks[i]->append(chunk, size_t(n));
      } else {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_pipes;
      }
    }
  }
  if (failed) {
    close(out[0]);
    close(err[0]);
    result.err = "spawn failed";
    return result;
  }
  int status;
  waitpid(pid, &status, 0);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

}  // namespace kez::test
