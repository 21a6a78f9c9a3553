// The runtime floor: the one process-wide context record, native catch
// regions and the throw operation, the numbered runtime errors and the quit
// operation through which every way out of the process passes.
//
// Invariants:
// - `ctx.thrown` is 0 whenever no unwinding is in progress and no handler is
//   examining a code. A catch region that stops a code leaves it there; the
//   handler either consumes it (sets it to 0) or passes it on with throw_().
// - A region admits a code when code <= its filter, compared unsigned; a
//   thrown 0 does nothing.
// - quit never returns; a status of 0 exits silently, any other status first
//   reports "*** Runtime Error %d: %s\n*** at: %08Xh" and exits with it.
#pragma once

#include <cstdint>

#include "runtime/thrown.h"

namespace kez::mem { struct list_record; }

namespace kez::runtime {

// Runtime error numbers. 1-34 are processor and system faults, mapped from
// the signal that reports them.
enum runtime_error : int32_t {
  RT_ACCESS_VIOLATION = 1,
  RT_INVALID_ALIGNMENT = 2,
  RT_BREAKPOINT = 3,
  RT_SINGLE_STEP = 4,
  RT_BOUNDS_EXCEEDED = 5,
  RT_FLOAT_DENORMAL = 6,
  RT_FLOAT_DIVIDE_BY_ZERO = 7,
  RT_FLOAT_INEXACT = 8,
  RT_FLOAT_INVALID = 9,
  RT_FLOAT_OVERFLOW = 10,
  RT_FLOAT_STACK_CHECK = 11,
  RT_FLOAT_UNDERFLOW = 12,
  RT_INTEGER_DIVIDE_BY_ZERO = 13,
  RT_INTEGER_OVERFLOW = 14,
  RT_PRIVILEGED_INSTRUCTION = 15,
  RT_INVALID_VIRTUAL_ADDRESS = 16,
  RT_ILLEGAL_INSTRUCTION = 17,
  RT_NON_CONTINUABLE = 18,
  RT_STACK_OVERFLOW = 19,
  RT_INVALID_DISPOSITION = 20,
  RT_GUARD_PAGE = 21,
  RT_INVALID_HANDLE = 22,
  RT_ILLEGAL_OPERAND = 23,
  RT_ILLEGAL_ADDRESSING_MODE = 24,
  RT_ILLEGAL_TRAP = 25,
  RT_COPROCESSOR_ERROR = 26,
  RT_NON_EXISTENT_PHYSICAL_ADDRESS = 27,
  RT_OBJECT_SPECIFIC_HARDWARE_ERROR = 28,
  RT_HARDWARE_MEMORY_ERROR_AR = 29,
  RT_HARDWARE_MEMORY_ERROR_AO = 30,
  RT_PRIVILEGED_REGISTER = 31,
  RT_SEGMENTATION_FAULT = 32,
  RT_FPU_ERROR = 33,
  RT_BUS_ERROR = 34,
  RT_OUT_OF_MEMORY = 94,
  RT_NO_CATCH = 95,
  RT_ASSERTION = 98,
  RT_UNKNOWN = 99,
  RT_NO_CASE = 100,
  RT_NO_SWITCH = 101,
};

// Catch filters in use across the system: a region admits every code up to
// and including its filter.
enum catch_filter : uint32_t {
  FILTER_NOTHING = 0,
  FILTER_LEXER = THROWN_LEXER_MAX,
  FILTER_VM = 0x7FFFFFF8,         // the platform's refusals to commit or release
  FILTER_POWER = THROWN_POWER_OVERFLOW,
  FILTER_CATCH = THROWN_THROW,    // the catch native
  FILTER_LOOP = THROWN_BREAK,     // loops and PARSE
  FILTER_LANGUAGE = THROWN_ERROR, // try, attempt, load, calls from native code
  FILTER_TOP = 0xFFFFFFFF,        // the start-up body: everything
};

// Where the last processor fault or allocation failure happened.
struct fault_record {
  uintptr_t stack_pointer;
  uintptr_t frame_pointer;
};

// The one record that the runtime and native high-level code share.
struct context_record {
  int32_t argc;
  char** argv;              // NULL-terminated; the system's bytes; array and strings are tracked
  uint32_t thrown;          // code in flight, 0 when none
  const uint8_t* boot_data; // the boot literal image, read by runtime initialisation
  fault_record* fault;      // null until a fault or allocation failure
  mem::list_record* tracked;
  void* top_frame;          // the start-up body's activation while its catch is open
};

extern context_record ctx;

// The message of a runtime error number ("unknown error code!" for unlisted ones).
const char* error_message(int32_t status);

// Ends the process. Status 0 exits silently; any other status first reports
// the error through gui::show_message. Frees every tracked allocation.
[[noreturn]] void quit(int32_t status, uintptr_t address);

// quit's clean-up: flushes the output streams, hands what the process owns
// on the X clipboard to a clipboard manager, and frees every tracked block.
void on_quit();

// Maps processor and system faults (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP,
// and SIGABRT for failed assertions) to runtime errors 1-34 and 98. The fault
// path reports like quit but frees nothing, since the heap may be what
// faulted. Process-wide; call once at start-up.
void install_fault_handlers();
// Gives the calling thread the alternate signal stack, so that a machine-stack
// overflow is still reported. There is one such stack: call it on the one
// thread that runs the runtime.
void install_signal_stack();

// The code address in the caller just after its call of this function; also
// records the caller's place as the context's fault record.
[[gnu::noinline]] uintptr_t caller_address();

// Throws the code in ctx.thrown; returns (doing nothing) when it is 0.
void throw_();
// Stores code in ctx.thrown and throws it; a code of 0 does nothing.
void throw_(uint32_t code);

// Runs body() inside a catch region with the given filter. Answers 0 when
// body completes. A kez::thrown whose code the filter admits stops here: the
// region answers the code and leaves it in ctx.thrown for the caller to
// consume (set ctx.thrown to 0) or pass on (throw_()). Any other code goes on
// outward untouched. Regions nest: the innermost admitting region wins.
template <class Body>
uint32_t catch_region(uint32_t filter, Body&& body) {
  try {
    body();
    return 0;
  } catch (const thrown& t) {
    if (t.code > filter) throw;
    ctx.thrown = t.code;
    return t.code;
  }
}

// The top frame's handler: runtime error 95, "no CATCH for THROW".
[[noreturn]] void top_catch();

}  // namespace kez::runtime
