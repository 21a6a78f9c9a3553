// Non-local exits that cross native code. The evaluator's own exits (break,
// continue, return, exit, throw) travel as returned statuses; anything raised
// from deep inside native code (errors above all) unwinds as one C++
// exception type, `kez::thrown`, carrying the thrown code. The thrown value
// itself stays in the runtime context record, never in the exception.
#pragma once

#include <cstdint>

namespace kez {

enum thrown_code : uint32_t {
  THROWN_NOTHING = 0,
  THROWN_LEXER_MAX = 10,              // the lexer's own codes are 10 and lower
  THROWN_VM_RELEASE = 0x7FFFFFF6,     // platform refused to release virtual memory
  THROWN_VM_COMMIT = 0x7FFFFFF7,      // platform refused to commit virtual memory
  THROWN_POWER_OVERFLOW = 0x7FFFFFF9, // integer power overflow, caught inside integer/power
  THROWN_THROW = 0x7FFFFFFA,
  THROWN_EXIT = 0x7FFFFFFB,
  THROWN_RETURN = 0x7FFFFFFC,
  THROWN_CONTINUE = 0x7FFFFFFD,
  THROWN_BREAK = 0x7FFFFFFE,
  THROWN_ERROR = 0x7FFFFFFF,
};

struct thrown {
  uint32_t code;
};

}  // namespace kez
