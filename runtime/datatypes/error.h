// error!: every language-level failure is an error! value, made from a
// category and an id of the error catalogue and raised by the one fire
// operation. fire never returns: it makes the error, hands it to the
// evaluator's thrower (which unwinds to the nearest frame that catches
// errors) and otherwise unwinds with kez::thrown{THROWN_ERROR}.
//
// Cell: the object! layout with type id 34, class id 1 and no hooks. Its
// context is a copy of the prototype's ten fields, in order: code, type,
// id, arg1, arg2, arg3, near, where, stack, files.
//
// Invariants:
// - code = category index * 100 + the id's position in its category; type
//   is the category word (bound to the catalogue), id the id word (bound to
//   its category object).
// - The catalogue is built once by init from the Kez source of the
//   catalogue; until init has run (and after release), fire only records
//   the category, id and arguments and unwinds.
// - Forming never fails: an unknown category or id is reported as Internal
//   Error invalid-error naming the bad value.
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/error_ids.h"

namespace kez::error {

enum field : uint32_t {
  F_CODE, F_TYPE, F_ID, F_ARG1, F_ARG2, F_ARG3, F_NEAR, F_WHERE, F_STACK, F_FILES, FIELD_COUNT
};

[[noreturn]] void fire(int category, int id, const cell* arg1 = nullptr, const cell* arg2 = nullptr,
                       const cell* arg3 = nullptr);
// The access error of a library loaded on first use that cannot be loaded
// (or lacks a function): it names the library or the function.
[[noreturn]] void fire_cannot_load(const char* what);

// Category and id of the error most recently fired, and its argument n (1
// to 3), null when not given: the error value's field once the catalogue is
// built, else a copy of the cell, whose references stay good only until
// the next allocation.
int last_category();
int last_id();
const cell* last_arg(int n);
// The error value most recently fired (none! before the first, or when the
// catalogue is not built).
const cell* last_value();

// The evaluator's services (null until installed). throw_error fills an
// error's where and stack and unwinds to the catching frame; it never
// returns. fire_event reports the error to the trace callback (code 4096).
struct evaluator_services {
  void (*throw_error)(cell* error) = nullptr;
  void (*fire_event)(int32_t code, cell* error) = nullptr;
  bool (*tracing)() = nullptr;
};
extern evaluator_services evaluator;

// Builds the catalogue from its source block (library/errors.kez, loaded:
// category names and their spec blocks) and the error prototype, anchored in
// the root block, and registers error!. Needs object! registered.
void init(const cell* catalogue_source);
void release();  // forgets them, before the heap that holds them is dropped
bool ready_q();

// The catalogue (system/catalog/errors) and the stand-ins for the parts of
// the system object that errors read: system/standard/error,
// system/state/stack-trace and system/state/source-files. The library's
// system object takes these over.
cell* catalog();
cell* standard();
cell* stack_trace();
cell* source_files();

// Pushes a new error of that category and id with the given arguments.
cell* create(int category, int id, const cell* arg1 = nullptr, const cell* arg2 = nullptr,
             const cell* arg3 = nullptr);
void set_where(cell* error, const cell* value);
// When `stack` holds a call-stack depth: replaces it by a block of the words
// of the calls active up to that depth (function calls only, unless
// system/state/stack-trace is above 1) and copies system/state/source-files
// into `files` when that is not empty. error must be rooted.
void set_stack(cell* error);
cell* field_of(const cell* error, field f);
uint32_t get_type(const cell* error);  // symbol ids
uint32_t get_id(const cell* error);
// The n-th argument word (0-based, over the spec's word!, lit-word!,
// get-word! and refinement! entries) of the callable being called: the
// nearest call frame not named <body> or <anon>. The word <anon> when that
// frame's word does not name a callable or n is past its arguments.
cell get_call_name(int32_t n);
// What the interpreter's error path calls; answers 8.
inline int32_t nop() { return 8; }

// Actions.
cell* make(cell* proto, const cell* spec, uint32_t type);
int32_t form(const cell* value, cell* buffer, const cell* arg, int32_t part);
int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg,
             int32_t part, int32_t indent);
cell* eval_path(cell* parent, const cell* element, const cell* value, const cell* path,
                const cell* grand_parent, const cell* previous, int32_t index, bool case_, bool get,
                bool tail, bool notify);
int32_t compare(const cell* value1, const cell* value2, int32_t op);

}  // namespace kez::error
