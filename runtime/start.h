// Process entry and the start-up sequence. start prepares the process (the
// floating-point environment, the fault handlers, the standard descriptors,
// the arguments as UTF-8 in the context record), then runs the program on a
// thread with a large machine stack under the top-level catch: runtime
// initialisation, the launch body, and quit with status 0. Nothing follows
// the quit; the process never ends any other way.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kez::runtime {

// The runtime thread's machine stack: deep recursion in the evaluator stops
// at its depth guard long before this runs out. Under an address-space
// limit it takes an eighth of what is left, not less than the floor, so the
// heap's range still fits beside it.
constexpr size_t machine_stack_size = size_t{256} << 20;
constexpr size_t machine_stack_floor = size_t{16} << 20;
size_t machine_stack_for(size_t space_left);

// The entry point; launch runs once initialise (the whole start-up, or only
// the part a build tool needs) has.
void init();
[[noreturn]] void start(int argc, char** argv, void (*launch)(), void (*initialise)() = init);

// Every floating-point exception masked, round to nearest, no flush to zero:
// float arithmetic yields infinities and NaN instead of faults.
void reset_fpu();

// Copies argv into ctx.argc / ctx.argv as tracked strings of the system's
// own bytes: an argument naming a file that is not UTF-8 keeps its bytes.
void get_args(int argc, char** argv);

// Hands over to the console once it exists.
void launch();

// The runtime thread's stack pointer just before runtime initialisation, and
// the lowest address of its stack (0 until start runs).
uintptr_t stack_base();
uintptr_t stack_limit();

}  // namespace kez::runtime
