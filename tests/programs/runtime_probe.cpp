// Runs the real start-up path, then does what its first argument names, so
// that tests can watch how the process ends: faults, uncaught throws, quit
// with a status, or a report of the state start-up left behind.
#include <signal.h>

#include <cassert>
#include <cfenv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>

#include "runtime/console.h"
#include "runtime/datatypes/error.h"
#include "runtime/mem.h"
#include "runtime/runtime.h"
#include "runtime/start.h"

// The faults below are the runtime's to report, not the sanitizer's.
extern "C" const char* __asan_default_options() {
  return "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0:"
         "allocator_may_return_null=1";
}

// Memory that only a global still points to counts as leaked: the tracked
// list is such a global, so a block that quit failed to free shows up. The
// suppressed block is the C++ runtime's exception pool, kept for the life of
// the process, and so are the containers of the collector's and the arena's
// own bookkeeping, which start-up grows and which live as long as the heap,
// and the lexer's shared text buffer, which loading the library grows.
// The drawing libraries that images and text link (X11's thread locks,
// pixman's implementation tables, GLib's type system under pango) set up
// process-lifetime state when they load, and so does the window system that
// the draw backend links (its handle table and message queue).
extern "C" const char* __lsan_default_options() { return "use_globals=0:print_suppressions=0"; }
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libstdc++.so\nleak:kez::collector::\nleak:kez::page_runs::\nleak:kez::lexer::\nleak:libX11.so\n"
         "leak:libpixman-1.so\nleak:libglib-2.0.so\nleak:libgobject-2.0.so\nleak:/platform/win/\n";
}

using namespace kez;
using runtime::ctx;

namespace {

const char* mode = "";

[[gnu::noinline]] int recurse(int depth) {
  if (depth < 0) return 0;  // never: depth only grows
  volatile char frame[1024];
  frame[0] = char(depth);
  return recurse(depth + 1) + frame[0];
}

bool signal_stack_installed() {
  stack_t current;
  return sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE);
}

bool fault_handler_installed(int signo) {
  struct sigaction current;
  return sigaction(signo, nullptr, &current) == 0 && (current.sa_flags & SA_ONSTACK) &&
         (current.sa_flags & SA_SIGINFO);
}

void report() {
  stdout_::print_line("argc ", ctx.argc);
  for (int i = 0; i < ctx.argc; ++i) stdout_::print_line("arg ", ctx.argv[i]);
  stdout_::print_line("terminated ", ctx.argv[ctx.argc] == nullptr);
  auto here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  stdout_::print_line("machine-stack ", here - runtime::stack_limit() > (255u << 20));
  stdout_::print_line("stack-base ", runtime::stack_base() > here);
  bool handlers = true;
  for (int signo : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) handlers &= fault_handler_installed(signo);
  stdout_::print_line("fault-handlers ", handlers);
  stdout_::print_line("signal-stack ", signal_stack_installed());
  stdout_::print_line("fpu-masked ", fegetexcept() == 0);
  stdout_::print_line("top-frame ", ctx.top_frame != nullptr);
}

void act() {
  auto is = [](const char* name) { return std::strcmp(mode, name) == 0; };
  if (is("report")) {
    report();
  } else if (is("print-segv")) {
    // Buffered output (standard output is a pipe here) must survive a fault.
    std::fputs("printed before the fault\n", stdout);
    int* volatile bad = reinterpret_cast<int*>(uintptr_t{8});
    *bad = 1;
  } else if (is("segv")) {
    int* volatile bad = reinterpret_cast<int*>(uintptr_t{8});
    *bad = 1;
  } else if (is("fpe")) {
    asm volatile("xor %%ecx, %%ecx\n\tdiv %%ecx" ::: "eax", "ecx", "edx");
  } else if (is("ill")) {
    asm volatile("ud2");
  } else if (is("trap")) {
    asm volatile("int3");
  } else if (is("overflow")) {
    recurse(0);
  } else if (is("assert")) {
    assert(std::strcmp(mode, "assert") != 0);
  } else if (is("throw")) {
    runtime::throw_(THROWN_THROW);
  } else if (is("fire")) {
    error::fire(err::cat_script, err::script::out_of_range);
  } else if (is("caught")) {
    uint32_t code = runtime::catch_region(runtime::FILTER_LANGUAGE, [] { runtime::throw_(THROWN_BREAK); });
    ctx.thrown = 0;
    stdout_::print_line("caught ", stdout_::hex{code});
  } else if (is("quit42")) {
    runtime::quit(42, uintptr_t{0xDEADBEEF1234ABCD});
  } else if (is("oom")) {
    mem::allocate(uint64_t{1} << 60);
  } else if (is("bad-alloc")) {
    throw std::bad_alloc();
  } else if (is("exception")) {
    throw std::runtime_error("not a thrown code");
  } else if (is("console")) {
    // Escape sequences, a surrogate pair and text longer than the output
    // buffer, with escape sequences across its boundaries.
    stdout_::print_line("terminal ", console::terminal_q());
    const char16_t wide[] = u"\x1b[1;31mred\x1b[0m \U0001F600 caf\u00E9";
    console::write_utf16_line(wide, sizeof wide - 2);
    char32_t long_text[1200];
    for (int i = 0; i < 1200; ++i) long_text[i] = i % 100 < 4 ? U"\x1b[2K"[i % 100] : U'\u00E9';
    console::write_ucs4_line(long_text, sizeof long_text);
    console::write_cstring("\x1b[12");  // unterminated, at the very end
  } else if (is("allocate")) {
    // Tracked blocks still live at quit: quit must free them.
    for (int i = 1; i <= 100; ++i) mem::allocate(size_t(i) * 40);
    mem::realloc(mem::allocate(8), 5000);
  } else {
    stdout_::print_line("unknown mode ", mode);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) mode = argv[1];
  runtime::start(argc, argv, act);
}
