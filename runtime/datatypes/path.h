// paren! and the path! family (path!, lit-path!, set-path!, get-path!):
// block-shaped values that differ from block! only in their type id, their
// text forms and a few constructors; everything else is block! code reached
// through inheritance.
//
// Invariants:
// - Paths cannot be sorted, trimmed or shuffled (those entries stay empty);
//   a paren can be, like a block.
// - A path molds its elements joined by "/", ignoring line-break markers;
//   its decorations are "'" before (lit-path), ":" before (get-path) and ":"
//   after (set-path).
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez::paren {

void init();  // after block!
cell* push(cell* value);  // retypes the cell as paren! and pushes a copy
int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg,
             int32_t part, int32_t indent);

}  // namespace kez::paren

namespace kez::path {

void init();  // path!, then lit-path!, set-path! and get-path! (after block!)

// Retype the cell (path!, lit-path!, set-path!, get-path!) and push a copy.
cell* push(cell* value);
cell* push_lit(cell* value);
cell* push_set(cell* value);
cell* push_get(cell* value);
cell* make_at(cell* target, int32_t n);  // an empty path! with room for n cells

cell* make(cell* proto, const cell* spec, uint32_t type);
cell* to(cell* proto, const cell* spec, uint32_t type);
int32_t form(const cell* value, cell* buffer, const cell* arg, int32_t part);
int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg,
             int32_t part, int32_t indent);
int32_t lit_mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg,
                 int32_t part, int32_t indent);
int32_t set_mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg,
                 int32_t part, int32_t indent);
int32_t get_mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg,
                 int32_t part, int32_t indent);

}  // namespace kez::path
