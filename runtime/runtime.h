// The runtime floor: the quit operation through which every way out of the
// process passes, and the numbered runtime errors it reports.
#pragma once

#include <cstdint>

namespace kez::runtime {

// Runtime error numbers raised by the runtime itself.
enum runtime_error : int32_t {
  RT_OUT_OF_MEMORY = 94,
  RT_NO_CATCH = 95,
  RT_ASSERTION = 98,
  RT_UNKNOWN = 99,
  RT_NO_CASE = 100,
  RT_NO_SWITCH = 101,
};

// The message of a runtime error number ("unknown error code!" for unlisted ones).
const char* error_message(int32_t status);

// Ends the process. Status 0 exits silently; any other status first reports
// "*** Runtime Error %d: %s\n*** at: %08Xh". Frees every tracked allocation.
[[noreturn]] void quit(int32_t status, uintptr_t address);

}  // namespace kez::runtime
