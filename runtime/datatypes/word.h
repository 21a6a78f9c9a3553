// The word types: word!, set-word!, lit-word!, get-word!, refinement! and
// issue! (type ids 15-20), each a symbol and a binding.
//
// Word cell: word 1 the context node it is bound to (0 for none); word 2 the
// symbol id of its own spelling; word 3 its index in that context (signed,
// -1 when not resolved). Changing a word's type only rewrites the type byte:
// spelling and binding stay. Words compare by canonical symbol unless the
// op asks for strictness.
//
// Word cells answered by load while the root block is being built are
// anchored there and never move; other answered cell addresses are valid
// until the next allocation.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez {

inline bool any_word_q(uint32_t type) { return type >= TYPE_WORD && type <= TYPE_ISSUE; }

namespace word {

// Interns the name and answers its word in the global context (a case
// variant keeps its own spelling, bound to the shared entry).
cell* load(const char* name);
// Fills target (no flags) with the symbol's word bound in the global
// context, adding it there when absent.
cell* make_at(uint32_t symbol, cell* target);
cell* make_in(cell* block, uint32_t symbol);
cell* push_from_symbol(uint32_t symbol);
cell* load_in(cell* block, const char* name);  // a new cell at the block's tail
cell* push(const cell* word);
cell* push_last(const cell* word);  // into the current call's result slot
cell* push_local(uint32_t ctx, uint32_t index);  // a copy of the context's word at index
cell* at_index(uint32_t ctx, uint32_t index);
cell* get_local_at(uint32_t ctx, uint32_t index);  // the value cell at index

// Values. get pushes the value (no-value when unset!); get_local pushes the
// value at index (not-defined when the context has no values).
cell* get(const cell* word);
cell* get_local(uint32_t ctx, uint32_t index);
// The current call's arguments: word, value. need-value when the value is
// unset!; the value is the result.
cell* set_from_stack();
// Compiled code: set_local stores the top in the slot after pushing the
// slot's old value; set_in_from_top stores it without pushing.
void set_local(uint32_t ctx, uint32_t index);
void set_in_from_top(uint32_t ctx, uint32_t index);
// From the data-stack top: need-value when unset!.
void set_from_top(const cell* word);
void set_from_top_reset(const cell* word);
cell* get_checked(const cell* word);  // the value cell; no-value when unset!

cell* symbol_cell(const cell* word);  // with its cached string
cell* push_name_string(const cell* word);

// The name appended to a string! buffer; answers its length in characters.
int32_t append_name(cell* buffer, uint32_t symbol);

// Actions.
void init();  // registers word! and its five children, parents first
cell* make(cell* proto, const cell* spec, uint32_t type);
int32_t form(const cell* value, cell* buffer, const cell* arg, int32_t part);
int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg, int32_t part,
             int32_t indent);
int32_t compare(const cell* value1, const cell* value2, int32_t op);
cell* index_q(cell* value);

}  // namespace word

namespace get_word {
cell* push_get(const cell* word);  // the value, unset! allowed
}

namespace refinement {
cell* load_in(const char* name);  // at the root block's tail: no context, index 0
}

namespace issue {
cell* load_at(cell* target, const char* name);  // bound to the global context, index -1
cell* load_in(cell* block, const char* name);
cell* load(const char* name);  // root block while it is built, else the data stack
cell* make(cell* proto, const cell* spec, uint32_t type);
int32_t compare(const cell* value1, const cell* value2, int32_t op);
// to integer!: the name read as hexadecimal (at most 8 digits); Script
// Error invalid-data for other text.
int32_t integer_of(const cell* issue);
// to binary!: the name read as base-16 digits (a final odd digit dropped);
// Script Error invalid-data with the issue when a character is not one.
cell* to_binary(cell* proto, const cell* spec);
}

// The entry points that the other word types share, retyped.
#define KEZ_WORD_TYPE_ENTRIES(ns)                                          \
  namespace ns {                                                           \
  cell* load(const char* name);                                            \
  cell* push(const cell* word);                                            \
  cell* push_local(uint32_t ctx, uint32_t index);                          \
  int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg, \
               int32_t part, int32_t indent);                              \
  }
KEZ_WORD_TYPE_ENTRIES(set_word)
KEZ_WORD_TYPE_ENTRIES(lit_word)
KEZ_WORD_TYPE_ENTRIES(get_word)
KEZ_WORD_TYPE_ENTRIES(refinement)
#undef KEZ_WORD_TYPE_ENTRIES
namespace issue {
cell* push(const cell* word);
int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg, int32_t part,
             int32_t indent);
}

}  // namespace kez
