// function! and routine!: user-defined callables. A function is a spec block
// (the argument dialect), a function context with one entry per argument,
// refinement and local, and an extras block holding the body.
//
// Cell: header type id 24 (29 for a routine!) with FLAG_FUNCTION_2 (0x400,
// `trace`) and FLAG_FUNCTION_1 (0x200, `no-trace`) from the spec's attribute
// block; word 1 the context node; word 2 the spec block's node (the spec
// is read from its buffer's head); word 3 the extras block's node.
//
// Invariants:
// - The extras block has exactly EXTRAS_CELLS cells: the body (a deep copy,
//   bound to the context when the function made its own context; none! when
//   there is no body), a reserved unset!, the compiled entry point (integer!)
//   or unset!, the op! made from this value (unset! until then) and a
//   creator's word (integer!) or unset!.
// - A function's context has its values on the data stack (the call's
//   argument cells) and knows the function: its owner slot holds the cell.
//   A routine's context does not.
// - A function value never changes after push, but for extras cell 3.
// - A routine's header carries its argument count in bits 25-29 and
//   FLAG_ROUTINE when it takes its argument cells unconverted.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez::function {

constexpr uint32_t EXTRAS_CELLS = 5;
// The reserved cell holds the argument list the evaluator reads from the spec.
enum extras_index : uint32_t { EX_BODY = 0, EX_RESERVED = 1, EX_ARGUMENTS = 1, EX_ENTRY = 2, EX_OP = 3, EX_WORD = 4 };

inline uint32_t context_of(const cell* f) { return f->w1; }
// Cell n of a callable's extras block (function!, routine!, native!,
// action! or op!); valid until the next allocation.
cell* extras_at(const cell* f, uint32_t n);

// Checks the spec dialect (raising bad-func-def, invalid-type-spec or
// dup-vars) and answers the attribute flags: 0, 0x200, 0x400 or both.
uint32_t validate(const cell* spec);
// For the `function` native: collects the body's set-words and loop words
// that the spec does not name, appends them after /local (adding /local
// when missing; an /extern section is cut from the spec) and answers the
// block of collected words in result. spec is a block the caller owns.
cell* collect_words(cell* spec, const cell* body, cell* result);
// 1 + the word!s after the first /local from `offset` (cells from the
// buffer's head); 0 without /local, -1 then when `require` is set.
int32_t count_locals(uint32_t spec_node, int32_t offset, bool require);
// Pushes false (the /local flag) and n - 1 none! cells.
void init_locals(int32_t n);

// While the library is being created: the bodies of the functions made get
// SERIES_LIBRARY on every block and paren (mark_library), so that they run as
// compiled code does (an error's `near` stays the caller's code).
extern bool library_building;
void mark_library(uint32_t block_node);

// Pushes a new function! and answers its context node. body may be null;
// ctx 0 makes the context from the spec and binds the body to it.
uint32_t push(const cell* spec, const cell* body, uint32_t ctx, uint32_t entry, uint32_t word2,
              uint32_t flags);

// The compare of every callable type: two values of `type` compared by
// payload word 1 (entry point or context) or 3 (extras node) under the
// equality and sort ops; -2 otherwise.
int32_t compare_by_word(uint32_t type, const cell* value1, const cell* value2, int32_t op, uint32_t word);

void init();  // registers function!
cell* make(cell* proto, const cell* spec, uint32_t type);
cell* reflect(cell* value, uint32_t field);
int32_t form(const cell* value, cell* buffer, const cell* arg, int32_t part);
int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg,
             int32_t part, int32_t indent);
int32_t compare(const cell* value1, const cell* value2, int32_t op);

}  // namespace kez::function

namespace kez::routine {

// Pushes a new routine!: value is its body (null gives none!), entry the
// index of its C++ entry point, result_type the type id it answers (-1 none).
cell* push(const cell* spec, const cell* value, uint32_t entry, int32_t result_type, bool raw);
inline uint32_t get_arity(const cell* r) { return (r->header & FLAG_ARGS_MASK) >> ARGS_SHIFT; }
// Word!s of the whole spec.
uint32_t count_arity(const cell* spec);

void init();  // registers routine! (after function!)
int32_t form(const cell* value, cell* buffer, const cell* arg, int32_t part);
int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg,
             int32_t part, int32_t indent);
int32_t compare(const cell* value1, const cell* value2, int32_t op);

}  // namespace kez::routine
