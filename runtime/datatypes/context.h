// context!: the binding of words to values, behind the global context,
// every object! and error!, and the argument lists of functions and natives.
//
// A context is a node of two cells: the context cell and its owner (the
// object!, function! or other value it belongs to; unset! until the owner's
// constructor stores itself there). The context cell: header type id 14 with
// the kind in bits 11-12 (0 global, 1 functions and natives, 2 objects, whose
// word cells get the changed flag when set), FLAG_STACK_VALUES when the
// values live on the data stack and FLAG_SELF when it has a `self` word;
// word 1 the node of its word table (a kind 2 hash table over the word list,
// a block of word! cells bound to this context); word 2 the node of the
// values series, or, with FLAG_STACK_VALUES, the arena offset of the running
// call's first argument cell (0 while no call runs).
//
// Invariants:
// - Entry n of the values is the value of word n; words are never removed,
//   so an index never changes once given, and a new word gets an unset
//   value unless the values are on the stack.
// - Lookups are by symbol id: case-insensitive ones compare canonical ids.
//   In every context but the global one a second spelling of a word is the
//   same word. In the global context each spelling has its own word cell, but
//   all of them carry the first spelling's index: they share one value.
// - Contexts are named by their node. Operations that allocate keep the
//   context alive themselves; cell addresses they answer are valid until the
//   next allocation.
#pragma once

#include <cstdint>

#include "runtime/arena.h"
#include "runtime/cell.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"

namespace kez::context {

enum kind : uint32_t { KIND_GLOBAL = 0, KIND_FUNCTION = 1, KIND_OBJECT = 2, KIND_OTHER = 3 };
constexpr uint32_t GLOBAL_SIZE = 4000;

// The global context's node.
extern uint32_t global;
// Makes the global context and roots it; again after a heap reset.
void init_global();
void release_global();  // forgets it, before the heap that holds it is dropped

inline cell* cell_of(uint32_t ctx) { return memory::buffer_of(ctx)->head_cell(); }

// The global context's values, kept while no buffer moved: most words a
// program reads are global, and the path through two nodes is a chain of
// dependent loads.
struct values_cache {
  uint32_t epoch;
  cell* values;
  const cell* context;  // the context cell, whose owner may gain a hook at any time
};
extern values_cache global_cache;
cell* refresh_global_values();
inline cell* global_values() {
  return global_cache.epoch == memory::epoch ? global_cache.values : refresh_global_values();
}

// The object context whose fields were last reached through a path or set,
// with its context cell and values, kept while no buffer moved: a method's
// body reads and sets its object's fields on every call, each a chain of
// dependent loads through two nodes otherwise. Only an object's context is
// kept: a function's values move between calls with no epoch bump. A node
// names another context only after a collection, which bumps the epoch.
struct object_cache {
  uint32_t ctx, epoch;
  const cell* context;
  cell* values;
};
extern object_cache last_object;
cell* refresh_object_values(uint32_t ctx);  // the values (null when none); kept when an object's
inline bool object_cached_q(uint32_t ctx) { return last_object.ctx == ctx && last_object.epoch == memory::epoch; }
// The values of an object's context (or any context's, uncached), null when it has none.
inline cell* object_values(uint32_t ctx) {
  return object_cached_q(ctx) ? last_object.values : refresh_object_values(ctx);
}

// The value cell of a bound word with a resolved index, read in place; null
// when its context has no values (a function context outside of a call).
inline cell* bound_value(const cell* w) {
  if (w->w1 == global) return global_values() + w->w3;
  if (object_cached_q(w->w1)) return last_object.values + w->w3;
  const cell* c = cell_of(w->w1);
  if (!c->w2) return nullptr;
  if (c->header & FLAG_STACK_VALUES) return arena::at<cell>(c->w2) + w->w3;
  return memory::buffer_of(c->w2)->head_cell() + w->w3;
}
inline cell* owner_of(uint32_t ctx) { return cell_of(ctx) + 1; }
inline uint32_t kind_of(uint32_t ctx) { return (cell_of(ctx)->header & FLAG_CONTEXT_KIND) >> CONTEXT_KIND_SHIFT; }
inline bool on_stack_q(uint32_t ctx) { return cell_of(ctx)->header & FLAG_STACK_VALUES; }
inline uint32_t words_of(uint32_t ctx) { return hashtable::block_of(cell_of(ctx)->w1); }  // node of the word list
uint32_t length_of(uint32_t ctx);              // cells in the word list
cell* word_at(uint32_t ctx, uint32_t position);  // a cell of the word list
// The value cell at index, on the stack or in the values series; null when
// the context has no values (a function context outside of a call).
inline cell* value_at(uint32_t ctx, uint32_t index) {
  const cell* c = cell_of(ctx);
  if (!c->w2) return nullptr;
  if (c->header & FLAG_STACK_VALUES) return arena::at<cell>(c->w2) + index;
  return memory::buffer_of(c->w2)->head_cell() + index;
}

// Creation. source: a context to copy the word table and word list of, or 0.
uint32_t create(uint32_t size, bool on_stack, bool self, uint32_t source, uint32_t kind);
// Words of a function spec: every word!, get-word!, lit-word! and refinement!
// in order (a second spelling adds nothing), the rest skipped.
uint32_t make_from_spec(const cell* spec, bool on_stack, bool self, uint32_t kind);
// A new context with the source's words rebound to it (values not copied);
// stored into the value's word 1 and answered.
uint32_t clone(cell* value, uint32_t kind);
// Adds the set-words of the block from its head; answers whether any was new.
bool add_set_words(uint32_t ctx, const cell* block);

// Lookup: the index of the symbol's word, or -1.
int32_t find_word(uint32_t ctx, uint32_t symbol, bool case_insensitive);
// As find_word; an absent symbol is added to the word list (values untouched),
// its index written to `added` and -1 answered.
int32_t find_word_any(uint32_t ctx, uint32_t symbol, bool case_insensitive, int32_t& added);
// The index of the symbol (case-insensitive), added with an unset value when absent.
int32_t add_symbol(uint32_t ctx, uint32_t symbol);
inline int32_t add_word(uint32_t ctx, const cell* word) { return add_symbol(ctx, word->w2); }
// The value cell of the symbol in the context (the global context when the
// context's values are on the stack); null when absent.
cell* get_value_cell(uint32_t ctx, uint32_t symbol);
// Adds an absent word with a copy of the value and answers its value cell;
// null, changing nothing, when the word is there.
cell* add_word_value(uint32_t ctx, const cell* word, const cell* value);
// Copies the word's value (unset! for a word it had to add) into target.
void get_or_add(uint32_t ctx, const cell* word, cell* target);

// The global context. add_global answers the word cell of the symbol, adding
// it when absent; with both flags a different spelling found is answered as a
// copy carrying the asked spelling (in the root block while it is being
// built, else on the data stack).
cell* add_global(uint32_t symbol, bool case_insensitive, bool keep_spelling);
// Exact lookup; while the root block is being built the answer is a copy
// appended to it.
cell* add_global_word(uint32_t symbol);
cell* find_or_add_global(uint32_t ctx, uint32_t symbol);

// Values through word cells (context node, symbol, index).
// The value cell of a bound word; `self` unresolved answers the owner cell.
// Raises no-value (unbound) or not-in-context (function outside a call).
cell* get(const cell* word);
// The value cell that setting the word may overwrite in place, or null when
// setting has more to do (an object marks the word changed, an owner may have
// a hook, an unbound or unresolved word): `set` does those.
inline cell* plain_slot(const cell* w) {
  int32_t index = int32_t(w->w3);
  if (!w->w1 || index < 0) return nullptr;
  // The global context has values, no stack frame and is no object: only its
  // owner's hook is left to check, on the cell kept with its values.
  if (w->w1 == global && global_cache.epoch == memory::epoch)
    return global_cache.context[1].w3 ? nullptr : global_cache.values + index;
  const cell* c = cell_of(w->w1);
  if (!c->w2) return nullptr;
  if (c->header & FLAG_STACK_VALUES) return arena::at<cell>(c->w2) + index;
  if (((c->header & FLAG_CONTEXT_KIND) >> CONTEXT_KIND_SHIFT) == KIND_OBJECT || c[1].w3) return nullptr;
  if (w->w1 == global) return global_values() + index;
  return memory::buffer_of(c->w2)->head_cell() + index;
}
cell* set(cell* word, const cell* value);
// Resolves and stores an unresolved index (adding the word when absent),
// raises not-defined when the context has no values, marks the word changed
// in an object context and runs the owner's change hook when asked.
cell* set_in(cell* word, const cell* value, uint32_t ctx, bool hooks);

// The change hook of objects: (owner, word, old value, new value).
using on_set_fn = void (*)(cell* owner, const cell* word, const cell* old_value, const cell* new_value);
void set_on_set_hook(on_set_fn fn);

// Binding. bind_word answers the index (the word unchanged when -1).
int32_t bind_word(uint32_t ctx, cell* word);
// Binds every word of the block and of the blocks, parens, paths and hash!es
// in it; a block met inside itself is bound once. With self, a word!
// spelled exactly `self` is bound with index -1 (it reads as the owner).
cell* bind(cell* block, uint32_t ctx, bool self);

// Context slots from the top of the data stack (compiled code). The _reset
// forms drop the current frame's cells afterwards.
void set_local_from_top(uint32_t ctx, uint32_t index);        // need-value on unset!
void set_local_from_top_reset(uint32_t ctx, uint32_t index);
void set_slot_from_top_reset(uint32_t ctx, uint32_t index);   // values series, no check
cell* get_local(uint32_t ctx, uint32_t index);                // not-defined without values

}  // namespace kez::context
