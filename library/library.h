// The standard library: its Kez sources, compiled into the executable as
// text, and the C++ routines they reach. boot creates the library at the end
// of start-up: the global routines first, then every source in order,
// evaluated in the global context, each function made from them flagged to
// run as compiled code. Until the boot data carries the library, the sources
// are loaded with the lexer here; this is the one entry point that changes
// when they are decoded from Kezbin instead.
#pragma once

namespace kez::library {

// Start-up phase 5: the routines, then the library sources in order. A
// library that fails to load reports its error on standard error and ends
// the process with status 254.
void boot();

// The global routines (quit-return, set-quiet, as-color, ...) and the
// members the system object takes from C++, as global words.
void define_routines();

}  // namespace kez::library
