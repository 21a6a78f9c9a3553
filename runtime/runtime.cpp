#include "runtime/runtime.h"

#include <cstdio>
#include <cstdlib>

#include "runtime/mem.h"

namespace kez::runtime {

const char* error_message(int32_t status) {
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

void quit(int32_t status, uintptr_t address) {
  if (status != 0) {
    std::fflush(stdout);
    std::fprintf(stderr, "*** Runtime Error %d: %s\n*** at: %08Xh\n", status,
                 error_message(status), unsigned(address & 0xFFFFFFFFu));
  }
  mem::free_all();
  std::fflush(stdout);
  std::_Exit(status);
}

}  // namespace kez::runtime
