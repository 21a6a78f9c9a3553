// The natives: built-in functions whose bodies are runtime routines, reached
// through one table of 120 entry slots (107 used, fixed indexes). Each entry
// takes check? (validate the argument cells itself) and one integer per
// refinement: -1 when absent, else the position of the refinement's first
// argument cell from arguments[0]. Arguments are the current frame's cells;
// the result is left in arguments[0]; the answer is the evaluator's status.
//
// The actions' stack entries follow the same convention without check? and
// without a status: they never evaluate code.
#pragma once

#include <cstdint>
#include <cstdio>

#include "runtime/cell.h"

namespace kez::natives {

constexpr uint32_t TABLE_SLOTS = 120;
constexpr uint32_t COUNT = 107;
constexpr uint32_t INDEX_PRINT = 23;  // the print native's entry number (from 1)

using entry = uint32_t (*)(int32_t check, const int32_t* refinements);
extern entry table[TABLE_SLOTS];

// Fills the table in index order and makes the print buffer.
void init();
// Kez source text of the native and action specs: `name: [spec]` pairs in
// index order, natives first.
extern const char* const native_specs;
extern const char* const action_specs;

// Defines a global word holding a native! that takes the first free table
// slot past the built-in natives (the functions the library reaches through
// native code: register-scheme, the routines of the file layer). Runs once
// the natives and the global context exist; answers the slot.
uint32_t define_extra(const char* name, const char* spec, entry fn);
// The routines create-dir, exists?, write-stdout and os-info.
void define_system_routines();

// A native not built yet: Internal Error not-done.
uint32_t not_done(int32_t check, const int32_t* refinements);

// What print writes for a value, on the given stream: a string! as it is,
// anything else formed; then a newline when asked. Both print and the report
// of an error that nothing caught write through it.
void write_formed(const cell* value, std::FILE* out, bool newline);

// Identity: what same? answers.
bool same_q(const cell* a, const cell* b);

// The entries, by family (one file each).
void register_control(entry* slots);
void register_compare(entry* slots);
void register_functions(entry* slots);
void register_math(entry* slots);
void register_words(entry* slots);
void register_series(entry* slots);
void register_system(entry* slots);
void register_parse(entry* slots);  // runtime/parse.cpp

}  // namespace kez::natives

namespace kez::actions {
using stack_entry = void (*)(const int32_t* refinements);
extern stack_entry entries[62];
void init_entries();
}  // namespace kez::actions
