#include "runtime/start.h"

#include <cxxabi.h>
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cfenv>
#include <cstring>
#include <new>

#include "platform/os.h"
#include "platform/vmem.h"
#include "runtime/boot.h"
#include "runtime/hashtable.h"
#include "runtime/mem.h"
#include "runtime/runtime.h"

namespace kez::runtime {

namespace {

uintptr_t machine_stack_base = 0;
uintptr_t machine_stack_limit = 0;
void (*launch_body)() = nullptr;
void (*init_body)() = nullptr;

// Descriptors 0-2 that are closed get /dev/null, so that a file opened later
// can never become standard output and receive the program's printing.
void take_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd)
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) open("/dev/null", O_RDWR);
}

void record_stack_limit() {
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
  void* low;
  size_t size;
  if (pthread_attr_getstack(&attr, &low, &size) == 0) machine_stack_limit = reinterpret_cast<uintptr_t>(low);
  pthread_attr_destroy(&attr);
}

// The start-up body, the activation that carries the top-level catch.
void run_program() {
  // Module statics that need more than constant initialisation belong here,
  // in source order, as those modules arrive.
  machine_stack_base = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  init_body();
  launch_body();
}

void* runtime_thread(void*) {
  install_signal_stack();
  record_stack_limit();
  reset_fpu();
  ctx.top_frame = __builtin_frame_address(0);
  uint32_t code = 0;
  try {
    code = catch_region(FILTER_TOP, run_program);
  } catch (abi::__forced_unwind&) {
    throw;  // thread cancellation must finish unwinding
  } catch (const std::bad_alloc&) {
    quit(RT_OUT_OF_MEMORY, caller_address());
  } catch (...) {
    // A C++ exception that is not a thrown code has no meaning to the runtime.
    quit(RT_UNKNOWN, caller_address());
  }
  if (code) top_catch();
  quit(0, 0);
}

}  // namespace

void reset_fpu() {
  // The default environment masks every exception in both the x87 control
  // word and MXCSR; doubles are computed in SSE registers at 53 bits.
  std::fesetenv(FE_DFL_ENV);
}

void get_args(int argc, char** argv) {
  auto** vector = static_cast<char**>(mem::allocate(sizeof(char*) * (size_t(argc) + 1)));
  for (int i = 0; i < argc; ++i) {
    const auto* text = reinterpret_cast<const uint8_t*>(argv[i]);
    size_t n = std::strlen(argv[i]);
    auto* copy = static_cast<uint8_t*>(mem::allocate(n + 1));
    std::memcpy(copy, text, n + 1);
    vector[i] = reinterpret_cast<char*>(copy);
  }
  vector[argc] = nullptr;
  ctx.argc = argc;
  ctx.argv = vector;
}

void init() { boot::init(); }

void launch() {
  // Until the console takes over: the script the command line names.
  boot::run_launch(platform::get_command_line(ctx.argc, ctx.argv));
}

size_t machine_stack_for(size_t space_left) {
  return std::clamp(space_left / 8, machine_stack_floor, machine_stack_size);
}

uintptr_t stack_base() { return machine_stack_base; }
uintptr_t stack_limit() { return machine_stack_limit; }

void start(int argc, char** argv, void (*launch)(), void (*initialise)()) {
  reset_fpu();
  // One malloc arena: the runtime thread is the only one that allocates
  // (the main thread waits), and a thread arena of its own costs start-up
  // four system calls and a 64 MiB reservation.
  mallopt(M_ARENA_MAX, 1);
  install_fault_handlers();
  take_standard_descriptors();
  get_args(argc, argv);
  launch_body = launch;
  init_body = initialise;

  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, machine_stack_for(vmem::space_left()));
  pthread_t thread;
  if (pthread_create(&thread, &attr, runtime_thread, nullptr) != 0) quit(RT_OUT_OF_MEMORY, caller_address());
  pthread_attr_destroy(&attr);
  // The runtime thread ends the whole process through quit; the join only
  // keeps this thread out of the way. Getting past it means the runtime
  // thread ended some other way, which is never a success.
  pthread_join(thread, nullptr);
  quit(RT_UNKNOWN, caller_address());
}

}  // namespace kez::runtime
