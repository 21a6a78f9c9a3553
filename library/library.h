// The standard library: its Kez sources (in the boot data, in source order)
// and the C++ routines they reach. boot creates the library in start-up
// phase 5: the global routines first, then every source's top level in
// order, evaluated in the global context, each function made from them
// flagged to run as compiled code.
#pragma once

#include "runtime/natives.h"

namespace kez::library {

// Start-up phase 5: the routines, then the library sources in order. A
// library that fails to load reports its error on standard error and ends
// the process with status 254.
void boot();

// The launch prelude, like the boot, runs without collection stress unless
// KEZ_GC_STRESS_BOOT asks for it: every test process runs it, one test
// checks it under stress. hold_stress switches stress off for it;
// resume_stress switches it back on just before user code runs.
void hold_stress();
void resume_stress();

// The global routines (quit-return, set-quiet, as-color, ...) and the
// members the system object takes from C++, added to the routine list.
void register_routines(natives::routine_list& list);

// The data codecs' routines (the JSON decoder's unescape), added the same way.
void register_codec_routines(natives::routine_list& list);

}  // namespace kez::library
