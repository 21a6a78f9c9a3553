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
// if, unless and either: a condition, then only block arguments.
constexpr uint32_t INDEX_IF = 1, INDEX_UNLESS = 2, INDEX_EITHER = 3;

using entry = uint32_t (*)(int32_t check, const int32_t* refinements);
extern entry table[TABLE_SLOTS];

// Fills the table in index order and makes the print buffer.
void init();
// Kez source text of the native and action specs: `name: [spec]` pairs in
// index order, natives first.
extern const char* const native_specs;
extern const char* const action_specs;

// The natives past the built-in ones, in the table slots from COUNT on: the
// functions the library reaches through native code (register-scheme, the
// routines of the file layer). Their names and specs go into the boot data,
// which defines them; start-up only fills their slots.
struct extra {
  const char* name;
  const char* spec;  // Kez source of the spec block
  entry fn;
};
// A fixed list (no heap: the process ends without running destructors);
// pushing past its room raises internal limit-hit.
[[noreturn]] void limit_hit();
template <class T, uint32_t N>
struct fixed_list {
  T items[N];
  uint32_t count = 0;
  void push_back(const T& e) {
    if (count == N) limit_hit();
    items[count++] = e;
  }
  const T* begin() const { return items; }
  const T* end() const { return items + count; }
  uint32_t size() const { return count; }
};

using extra_list = fixed_list<extra, TABLE_SLOTS - COUNT>;
const extra_list& extras();

// Routine entry points, by index: called with the converted arguments (or,
// for a raw routine, the argument cells' addresses); the answer is the plain
// result word (or, raw, the address of the result cell, 0 for none).
using routine_entry = uint64_t (*)(const uint64_t* params);
constexpr uint32_t ROUTINE_SLOTS = 96;
extern routine_entry routines[ROUTINE_SLOTS];

// The global routines, each in the entry slot of its position in the list:
// their names and specs go into the boot data, start-up pairs them with
// their entries (define_routines).
struct routine_def {
  const char* name;
  const char* spec;  // Kez source of the spec block
  routine_entry fn;
  bool raw;  // gets and answers cells
};
using routine_list = fixed_list<routine_def, ROUTINE_SLOTS>;
// A raw routine's argument cell, and its answer from a result cell.
inline cell* raw_param(uint64_t p) { return reinterpret_cast<cell*>(uintptr_t(p)); }
inline uint64_t raw_answer(const cell* c) { return reinterpret_cast<uintptr_t>(c); }
const routine_list& routine_defs();
void register_system_routines(routine_list& list);
// Sets each routine's global word to a routine! made from its spec block;
// specs holds `name [spec]` pairs in list order (from the boot data).
void define_routines(const cell* specs);

// A native not built yet: Internal Error not-done.
uint32_t not_done(int32_t check, const int32_t* refinements);

// What print writes for a value, on the given stream: a string! as it is,
// anything else formed; then a newline when asked. Both print and the report
// of an error that nothing caught write through it.
void write_formed(const cell* value, std::FILE* out, bool newline);

// Calls the global library function `name` with the argument cells (on the
// data stack); the result is pushed. Script Error no-value when the word holds
// no function.
cell* call_library(const char* name, const cell* args, uint32_t count);

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
