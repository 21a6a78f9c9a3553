#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <new>
#include <thread>

extern char** environ;

namespace kez::platform {

namespace {

// Descriptors of one run; whatever is still open when it ends is closed.
struct descriptors {
  int null = -1;
  int child[3] = {-1, -1, -1};   // what the child gets as 0, 1 and 2
  int parent[3] = {-1, -1, -1};  // our ends of the pipes
  ~descriptors() {
    for (int fd : {null, child[0], child[1], child[2], parent[0], parent[1], parent[2]})
      if (fd >= 0) ::close(fd);
  }
};

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// The child's end of stream n (0 input, 1 output, 2 error); false when a
// file cannot be opened or a pipe cannot be made.
bool set_up(const stream& s, int n, descriptors& d) {
  switch (s.kind) {
    case STREAM_NULL:
      d.child[n] = ::dup(d.null);
      return d.child[n] >= 0;
    case STREAM_FILE:
      d.child[n] = n == 0 ? ::open(s.path.c_str(), O_RDONLY | O_CLOEXEC)
                          : ::open(s.path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
      return d.child[n] >= 0;
    case STREAM_DATA: {
      int ends[2];
      if (::pipe2(ends, O_CLOEXEC) != 0) return false;
      d.child[n] = n == 0 ? ends[0] : ends[1];
      d.parent[n] = n == 0 ? ends[1] : ends[0];
      ::fcntl(d.parent[n], F_SETFL, O_NONBLOCK);
      return true;
    }
  }
  return false;
}

// The most bytes one capture keeps: what one series holds.
constexpr size_t MOST_CAPTURED = 0x7FFFFFFF;

// Feeds the input and drains output and error at the same time, so that a
// child blocked on one full pipe never waits for us to finish another.
void pump(process_spec& spec, descriptors& d) {
  size_t written = 0;
  if (d.parent[0] >= 0 && spec.input.size == 0) close_fd(d.parent[0]);
  uint8_t chunk[65536];
  for (;;) {
    pollfd fds[3];
    int slots[3];
    nfds_t n = 0;
    for (int i = 0; i < 3; ++i) {
      if (d.parent[i] < 0) continue;
      fds[n] = {d.parent[i], short(i == 0 ? POLLOUT : POLLIN), 0};
      slots[n++] = i;
    }
    if (n == 0) return;
    if (::poll(fds, n, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    for (nfds_t k = 0; k < n; ++k) {
      if (!fds[k].revents) continue;
      int i = slots[k];
      if (i == 0) {
        ssize_t w = ::write(d.parent[0], spec.input.data + written, spec.input.size - written);
        if (w > 0) written += size_t(w);
        // A child that stops reading (EPIPE, POLLERR) gets no more input.
        if ((w < 0 && errno != EAGAIN && errno != EINTR) || written == spec.input.size) close_fd(d.parent[0]);
        continue;
      }
      ssize_t r = ::read(d.parent[i], chunk, sizeof chunk);
      if (r > 0) {
        // A child that writes without end meets a closed pipe once its
        // capture is as large as a series may be or the memory runs out.
        stream& s = i == 1 ? spec.output : spec.error;
        try {
          if (s.captured.size() + size_t(r) > MOST_CAPTURED) throw std::bad_alloc();
          s.captured.insert(s.captured.end(), chunk, chunk + r);
        } catch (const std::bad_alloc&) {
          std::vector<uint8_t>().swap(s.captured);
          s.overflowed = true;
          close_fd(d.parent[i]);
        }
      } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
        close_fd(d.parent[i]);  // end of the stream, or a failed read that must not loop
      }
    }
  }
}

int64_t wait_for(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0)
    if (errno != EINTR) return -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// SIGPIPE is blocked on this thread while the pipes are in use; one raised
// by a write to a child that has gone is taken off before unblocking.
struct sigpipe_guard {
  sigset_t pipe_set, old;
  bool was_pending = false;
  sigpipe_guard() {
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    sigset_t pending;
    sigpending(&pending);
    was_pending = sigismember(&pending, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_set, &old);
  }
  ~sigpipe_guard() {
    sigset_t pending;
    sigpending(&pending);
    if (!was_pending && sigismember(&pending, SIGPIPE)) {
      timespec zero{0, 0};
      while (sigtimedwait(&pipe_set, nullptr, &zero) < 0 && errno == EINTR) {}
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
  }
};

}  // namespace

std::vector<std::string> shell_command(const std::string& command) { return {"/bin/sh", "-c", command}; }

int64_t run_process(process_spec& spec) {
  if (spec.argv.empty()) return -1;
  descriptors d;
  d.null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  if (d.null < 0) return -1;
  if (!set_up(spec.input, 0, d) || !set_up(spec.output, 1, d) || !set_up(spec.error, 2, d)) return -1;
  bool waits = spec.wait || spec.input.kind != STREAM_NULL || spec.output.kind != STREAM_NULL ||
               spec.error.kind != STREAM_NULL;

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int n = 0; n < 3; ++n) posix_spawn_file_actions_adddup2(&actions, d.child[n], n);
  // The child starts with default signal handling and nothing blocked,
  // whatever this process has set up for itself.
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int sig : {SIGPIPE, SIGINT, SIGQUIT, SIGTERM, SIGCHLD, SIGHUP}) sigaddset(&defaults, sig);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<char*> args;
  for (std::string& a : spec.argv) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t pid = -1;
  // A child that shares our output writes after what we printed before it.
  std::fflush(nullptr);
  int failed = ::posix_spawnp(&pid, args[0], &actions, &attr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (failed) return -1;
  for (int& fd : d.child) close_fd(fd);

  if (!waits) {
    std::thread([pid] {
      int status;
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {}
    }).detach();
    return pid;
  }
  {
    sigpipe_guard guard;
    pump(spec, d);
  }
  return wait_for(pid);
}

}  // namespace kez::platform
