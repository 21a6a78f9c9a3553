// The ownership table: ties a series held in a field of a reactive object to
// that object, so that changing the series in place (append, remove, sort ...)
// reaches the object's deep-change hook, not only setting the field.
//
// Invariants:
// - An owned series carries SERIES_OWNED on its buffer and has exactly one
//   record {owned value, owner object, field word}, keyed by its node. The
//   first record set for a series stays until the series is unbound.
// - Block-like values are owned deeply: every value inside gets the same
//   owner and field. Walks use the cycle stack, so self-containing values end.
// - The table keeps owned series alive but not their owners: a record whose
//   owner was not reached by a collection is dropped by that collection.
// - Series actions report each in-place change twice, before and after, with
//   one of the pairs below; `notify` answers whether the series is owned, and
//   the "after" report is made only when it was.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez::ownership {

// The words of the before/after notification pairs, in pairs; the case
// changes of text report once, after the change.
enum change : uint32_t {
  APPEND, APPENDED, INSERT, INSERTED, CHANGE, CHANGED, CLEAR, CLEARED, POKE, POKED,
  PUT, PUT_ED, REMOVE, REMOVED, RANDOM, RANDOMIZED, REVERSE, REVERSED, SORT, SORTED,
  SWAP, SWAPED, TAKE, TAKEN, MOVE, MOVED, TRIM, TRIMMED, UPPERCASE, LOWERCASE,
};
const char* word_of(change action);  // "append", "appended", ... "put-ed", "swaped"

// The owner's deep-change hook (set by the object layer): owner object cell,
// field word cell, changed series, action, new value (or null), element index,
// element count.
using hook_fn = void (*)(const cell* owner, const cell* word, const cell* target, change action,
                         const cell* value, int32_t index, int32_t part);
void set_hook(hook_fn fn);

void init();   // an empty table (after hashtable::init); registers with the collector once
void reset();  // forgets every record: a fresh table when there is one
void release();  // forgets the table, before the heap that holds it is dropped

void set_owner(const cell* value, const cell* owner, const cell* word);
void set_owner_flagged(const cell* value, const cell* owner, const cell* word);
void unbind(const cell* value);
void unbind_range(const cell* block, int32_t index, int32_t count);
// The owner cell recorded for a node, or null (valid until the next change
// of the table or collection).
const cell* owner_of(uint32_t node);
// Fires the owner's hook when the target has a record whose owner has change
// hooks (word 3 of the object cell non-zero); answers 1 when fired, else 0.
int check(const cell* target, change action, const cell* value, int32_t index, int32_t part);

// What series actions call around each in-place change: nothing but a flag
// test for a series that is not owned. Answers whether it is owned.
bool notify(const cell* series, change action, const cell* value, int32_t index, int32_t part);

}  // namespace kez::ownership
