#include "runtime/runtime.h"

#include <signal.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>

#include "gui/backend/message.h"
#include "platform/clipboard.h"
#include "platform/gfx/text.h"
#include "runtime/console.h"
#include "runtime/handles.h"
#include "runtime/mem.h"
#include "runtime/start.h"

#ifdef KEZ_SANITIZE
#include <sanitizer/lsan_interface.h>
#endif

namespace kez::runtime {

namespace {

// [0] is filled by the fault handler, [1] by caller_address.
fault_record faults[2]{};

const char* const fault_messages[] = {
    nullptr,
    "access violation",
    "invalid alignment",
    "breakpoint",
    "single step",
    "bounds exceeded",
    "float denormal operan",
    "float divide by zero",
    "float inexact result",
    "float invalid operation",
    "float overflow",
    "float stack check",
    "float underflow",
    "integer divide by zero",
    "integer overflow",
    "privileged instruction",
    "invalid virtual address",
    "illegal instruction",
    "non-continuable exception",
    "stack error or overflow",
    "invalid disposition",
    "guard page",
    "invalid handle",
    "illegal operand",
    "illegal addressing mode",
    "illegal trap",
    "coprocessor error",
    "non-existent physical address",
    "object specific hardware error",
    "hardware memory error consumed AR",
    "hardware memory error consumed AO",
    "privileged register",
    "segmentation fault",
    "FPU error",
    "Bus error",
};

// Appends s at *p, never past end.
void put(char*& p, const char* end, const char* s) {
  while (*s && p < end) *p++ = *s++;
}

// The report text, formatted without stdio so that the fault path may use it:
// "*** Runtime Error %d: %s\n*** at: %08Xh".
void format_report(char* out, size_t size, int32_t status, uintptr_t address) {
  char* p = out;
  const char* end = out + size - 1;
  put(p, end, "*** Runtime Error ");
  char digits[12];
  char* d = digits + sizeof digits;
  *--d = 0;
  uint32_t magnitude = status < 0 ? 0u - uint32_t(status) : uint32_t(status);
  do *--d = char('0' + magnitude % 10); while (magnitude /= 10);
  if (status < 0) *--d = '-';
  put(p, end, d);
  put(p, end, ": ");
  put(p, end, error_message(status));
  put(p, end, "\n*** at: ");
  uint32_t low = uint32_t(address);
  for (int shift = 28; shift >= 0; shift -= 4) {
    char hex[2] = {"0123456789ABCDEF"[(low >> shift) & 15], 0};
    put(p, end, hex);
  }
  put(p, end, "h");
  *p = 0;
}

constexpr const char* caption = "Kez App Error";

[[noreturn]] void quit_from_signal(int32_t status, uintptr_t address) {
  // What was printed before the fault comes first, as on every other way
  // out. Only when no one holds the stream: a fault inside stdio must not
  // wait on its own lock.
  if (ftrylockfile(stdout) == 0) {
    fflush_unlocked(stdout);
    funlockfile(stdout);
  }
  char text[512];
  format_report(text, sizeof text, status, address);
  gui::show_message(caption, text);
  _exit(status);
}

// A fault at or just below the runtime thread's lowest stack address, or
// with the stack pointer there, is the machine stack running out (a large
// frame may skip past the guard page).
bool is_stack_overflow(uintptr_t fault_address, uintptr_t stack_pointer) {
  uintptr_t limit = stack_limit();
  if (!limit) return false;
  constexpr uintptr_t page = 4096, reach = uintptr_t(1) << 20;
  auto near_limit = [&](uintptr_t a) { return a + reach >= limit && a < limit + page; };
  return near_limit(stack_pointer) || near_limit(fault_address);
}

int32_t error_of_signal(int signo, int code, uintptr_t fault_address, uintptr_t stack_pointer) {
  switch (signo) {
    case SIGSEGV:
      if (is_stack_overflow(fault_address, stack_pointer)) return RT_STACK_OVERFLOW;
      switch (code) {
        case SEGV_MAPERR: case SEGV_ACCERR: case SEGV_PKUERR:
        case SI_KERNEL:  // a general protection fault: a non-canonical address
          return RT_ACCESS_VIOLATION;
        case SEGV_BNDERR: return RT_BOUNDS_EXCEEDED;
        default: return RT_SEGMENTATION_FAULT;
      }
    case SIGBUS:
      switch (code) {
        case BUS_ADRALN: return RT_INVALID_ALIGNMENT;
        case BUS_ADRERR: return RT_NON_EXISTENT_PHYSICAL_ADDRESS;
        case BUS_OBJERR: return RT_OBJECT_SPECIFIC_HARDWARE_ERROR;
        case BUS_MCEERR_AR: return RT_HARDWARE_MEMORY_ERROR_AR;
        case BUS_MCEERR_AO: return RT_HARDWARE_MEMORY_ERROR_AO;
        default: return RT_BUS_ERROR;
      }
    case SIGFPE:
      switch (code) {
        case FPE_INTDIV: return RT_INTEGER_DIVIDE_BY_ZERO;
        case FPE_INTOVF: return RT_INTEGER_OVERFLOW;
        case FPE_FLTDIV: return RT_FLOAT_DIVIDE_BY_ZERO;
        case FPE_FLTOVF: return RT_FLOAT_OVERFLOW;
        case FPE_FLTUND: return RT_FLOAT_UNDERFLOW;
        case FPE_FLTRES: return RT_FLOAT_INEXACT;
        case FPE_FLTINV: return RT_FLOAT_INVALID;
        case FPE_FLTSUB: return RT_BOUNDS_EXCEEDED;
        default: return RT_FPU_ERROR;
      }
    case SIGILL:
      switch (code) {
        case ILL_ILLOPN:  // what x86 reports for an undefined opcode
        case ILL_ILLOPC: return RT_ILLEGAL_INSTRUCTION;
        case ILL_ILLADR: return RT_ILLEGAL_ADDRESSING_MODE;
        case ILL_ILLTRP: return RT_ILLEGAL_TRAP;
        case ILL_PRVOPC: return RT_PRIVILEGED_INSTRUCTION;
        case ILL_PRVREG: return RT_PRIVILEGED_REGISTER;
        case ILL_COPROC: return RT_COPROCESSOR_ERROR;
        case ILL_BADSTK: return RT_STACK_OVERFLOW;
        default: return RT_ILLEGAL_INSTRUCTION;
      }
    case SIGTRAP: return code == TRAP_TRACE ? RT_SINGLE_STEP : RT_BREAKPOINT;
    case SIGABRT: return RT_ASSERTION;
    default: return RT_UNKNOWN;
  }
}

// The unhandled-fault filter: records where the fault happened and quits
// with the mapped runtime error at the faulting instruction.
void on_fault(int signo, siginfo_t* info, void* context) {
  const auto& regs = static_cast<ucontext_t*>(context)->uc_mcontext.gregs;
  faults[0].stack_pointer = uintptr_t(regs[REG_RSP]);
  faults[0].frame_pointer = uintptr_t(regs[REG_RBP]);
  ctx.fault = &faults[0];
  int32_t status = error_of_signal(signo, info->si_code, reinterpret_cast<uintptr_t>(info->si_addr),
                                   faults[0].stack_pointer);
  quit_from_signal(status, uintptr_t(regs[REG_RIP]));
}

constexpr size_t signal_stack_size = 64 * 1024;
alignas(16) char signal_stack[signal_stack_size];

}  // namespace

context_record ctx = {0, nullptr, 0, nullptr, nullptr, &mem::tracked, nullptr};

const char* error_message(int32_t status) {
  if (status >= 1 && status <= RT_BUS_ERROR) return fault_messages[status];
  switch (status) {
    case RT_OUT_OF_MEMORY: return "out of memory";
    case RT_NO_CATCH: return "no CATCH for THROW";
    case RT_ASSERTION: return "assertion failed";
    case RT_UNKNOWN: return "unknown error";
    case RT_NO_CASE: return "no value matched in CASE";
    case RT_NO_SWITCH: return "no value matched in SWITCH";
    default: return "unknown error code!";
  }
}

void on_quit() {
  std::fflush(nullptr);
  // Text copied from the process stays on the clipboard after it.
  platform::hand_over_clipboard();
  handles::release_all();
  // Text layouts went with their handles: the font map can go too.
  gfx::release_font_map();
  mem::free_all();
}

void quit(int32_t status, uintptr_t address) {
  if (status != 0) {
    std::fflush(nullptr);  // what was printed before the error comes first
    char text[512];
    format_report(text, sizeof text, status, address);
    gui::show_message(caption, text);
  }
  on_quit();
#ifdef KEZ_SANITIZE
  // _Exit skips the leak checker's exit hook: run it here, so that a clean
  // exit also proves that quit left nothing allocated.
  if (status == 0) __lsan_do_leak_check();
#endif
  std::_Exit(status);
}

uintptr_t caller_address() {
  // This function keeps a frame (it takes its own frame address), so the
  // caller's stack pointer after the return sits just above the saved frame
  // pointer and the return address.
  auto* frame = static_cast<uintptr_t*>(__builtin_frame_address(0));
  faults[1].frame_pointer = frame[0];
  faults[1].stack_pointer = reinterpret_cast<uintptr_t>(frame + 2);
  ctx.fault = &faults[1];
  return reinterpret_cast<uintptr_t>(__builtin_return_address(0));
}

void install_fault_handlers() {
  struct sigaction action {};
  action.sa_sigaction = on_fault;
  // On the alternate stack, so that an overflowed machine stack can still be
  // reported; reset to the default, so that a fault in the handler ends it.
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
  sigfillset(&action.sa_mask);
  for (int signo : std::initializer_list<int>{SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT})
    sigaction(signo, &action, nullptr);
}

void install_signal_stack() {
  stack_t stack{};
  stack.ss_sp = signal_stack;
  stack.ss_size = signal_stack_size;
  sigaltstack(&stack, nullptr);
}

void throw_() {
  if (ctx.thrown) throw thrown{ctx.thrown};
}

void throw_(uint32_t code) {
  ctx.thrown = code;
  throw_();
}

void top_catch() {
  quit(RT_NO_CATCH, caller_address());
}

}  // namespace kez::runtime
