// native!, action! and op!: built-in behaviour as values. A native's or an
// action's entry point is its 1-based index in the evaluator's natives table
// or action entry table; an op! is an infix operator made from any callable
// of two arguments.
//
// native! cell: header type id 21 (22 for action!); word 1 the entry index;
// word 2 the spec block's node; word 3 the node of a 2-cell extras block (a
// copy of the context cell made from the spec, then none!).
// op! cell: header 23 | (source type id << 16); words 1-3 those of its
// source, so it shares its source's extras block; a function! or routine!
// source is also stored in cell 3 of that block.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez::native {

constexpr int32_t TABLE_SIZE = 120;  // entries of the natives table

// Pushes a native! (or, with type TYPE_ACTION, an action!) of that entry index.
cell* push(uint32_t type, const cell* spec, uint32_t index);

void init();  // registers native!
cell* make(cell* proto, const cell* spec, uint32_t type);
cell* reflect(cell* value, uint32_t field);  // also action! and op!
int32_t form(const cell* value, cell* buffer, const cell* arg, int32_t part);
int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg,
             int32_t part, int32_t indent);
int32_t compare(const cell* value1, const cell* value2, int32_t op);

}  // namespace kez::native

namespace kez::action_ {

void init();  // registers action! (after native!)
cell* make(cell* proto, const cell* spec, uint32_t type);
int32_t form(const cell* value, cell* buffer, const cell* arg, int32_t part);
int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg,
             int32_t part, int32_t indent);
int32_t compare(const cell* value1, const cell* value2, int32_t op);

}  // namespace kez::action_

namespace kez::op {

// The type a value of op! was made from (21, 22, 24 or 29).
inline uint32_t source_type(const cell* op) { return (op->header >> 16) & 0xFF; }
// Whether a spec describes exactly two arguments, the left one a plain word.
bool two_args_q(const cell* spec);

void init();  // registers op! (after native!)
cell* make(cell* proto, const cell* source, uint32_t type);
int32_t form(const cell* value, cell* buffer, const cell* arg, int32_t part);
int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg,
             int32_t part, int32_t indent);
int32_t compare(const cell* value1, const cell* value2, int32_t op);

}  // namespace kez::op
