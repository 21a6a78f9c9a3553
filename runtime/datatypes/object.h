// object!: a context with an identity. error! and port! are its children and
// reuse its construction, copy, mold and comparison.
//
// Cell: header type id 32 (a child keeps its own id in copies); word 1 the
// context node (kind 2, with `self`); word 2 the class id; word 3 the node
// of the hook table (0 when the object has neither `on-change*` nor
// `on-deep-change*`).
//
// Invariants:
// - Every constructor stores the finished cell in its context's owner slot.
// - Objects made from one another without gaining words share a class id;
//   new ids come from one counter that starts at 1,000,000 and only grows.
// - The hook table is a block of two pair!-typed entries: word 2 holds
//   (index of the hook's word << 16) | the hook function's local count
//   (index -1: the hook is absent), word 3 the spec node the count was taken
//   from. The hooks themselves are ordinary fields, so a copy rebuilds its
//   table from its own (rebound) fields.
// - A field set from outside (path, set, put) marks its word changed and
//   calls on-change*; copying and construct fire nothing.
#pragma once

#include <cstdint>

#include "runtime/actions.h"
#include "runtime/cell.h"
#include "runtime/datatypes/context.h"

namespace kez::object {

constexpr uint32_t FIRST_CLASS_ID = 1000000;

// The evaluator's services this module calls, the interpreter's by default
// (tests put stand-ins here). eval evaluates a whole block and leaves the
// last value on the stack top; call_function calls a function! whose
// arguments are already pushed after a mark_func frame, leaving its result
// in the frame's first cell. Both raise any exit other than return/exit.
struct evaluator_services {
  void (*eval)(cell* block) = nullptr;
  void (*call_function)(const cell* function, uint32_t ctx, const cell* word) = nullptr;
};
extern evaluator_services evaluator;

// Cell makers.
cell* push(uint32_t ctx, uint32_t class_id, uint32_t hooks);
cell* extend(uint32_t ctx, uint32_t class_id);
cell* make_empty_at(cell* target, uint32_t size);
uint32_t new_class_id();
void reset_class_ids();  // start-up and tests
uint32_t install_hooks(uint32_t ctx, int32_t on_change, int32_t on_change_locals, int32_t on_deep_change,
                       int32_t on_deep_change_locals);

// Queries.
cell* get_word_at(uint32_t ctx, uint32_t index);
cell* get_values(const cell* object);
cell* ks_select(const cell* object, const cell* word);  // the shared none! when absent
bool word_refers_q(const cell* word, uint32_t class_id);
bool field_is_object_q(uint32_t ctx, uint32_t index, uint32_t class_id);
uint32_t count_words(const cell* object);
int32_t find_index(const cell* object, uint32_t symbol);  // -1 when not a field
void clear_line_flags(uint32_t values_node);
void copy_fields_by_name(const cell* source, cell* target);

// Construction.
cell* copy_into(const cell* source, cell* target, bool deep, const cell* types, bool rebuild_hooks);
// Pushes an object of the spec's set-words and their unevaluated values;
// without a prototype it gets class_id, or a new class id when that is 0.
cell* construct(const cell* spec, const cell* proto, bool only, uint32_t class_id = 0);
void copy_function(cell* field, const cell* target);

// Field access and hooks.
uint32_t build_hooks(const cell* object);
void rebuild_hooks(cell* object);
bool has_deep_hook_q(const cell* object);
// Makes the series in the object's fields owned: by the object itself, each
// under its own field's word, or by `owner` under `word`; flags the owner's
// context as an owner.
void own_fields(const cell* object, const cell* owner = nullptr, const cell* word = nullptr);
void fire_on_set(const cell* object, const cell* word, const cell* old_value, const cell* new_value);
void fire_on_set_stack(const cell* object, const cell* word);
void fire_on_set_via_word(const cell* owner_word, const cell* word);
void fire_on_deep_change(const cell* owner, const cell* word, const cell* target, const cell* action,
                         const cell* value, int32_t index, int32_t part);
cell* set_many(cell* object, const cell* value, bool any, bool only, bool some);
// Connects the context layer's change hook and the ownership layer's
// deep-change hook to the two calls above (done by init).
void install_layer_hooks();

// Serialisation, shared with error!.
int32_t serialize(const cell* object, cell* buffer, bool only, bool all, bool flat, bool indent, int32_t level,
                  bool newline, int32_t part);

// Actions.
void init();  // registers object! and installs the context and ownership hooks
cell* make(cell* proto, const cell* spec, uint32_t type);
cell* reflect(cell* value, uint32_t field);
int32_t form(const cell* value, cell* buffer, const cell* arg, int32_t part);
int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg,
             int32_t part, int32_t indent);
// The index of the field a path element word names in the object's context,
// or -1. A word not yet bound there is looked up (case-insensitively) and
// the context and index written into it, so that the path finds the field
// directly the next time.
inline int32_t bind_field(uint32_t ctx, cell* element) {
  if (element->w1 == ctx && int32_t(element->w3) >= 0) return int32_t(element->w3);
  int32_t at = context::find_word(ctx, element->w2, true);
  if (at >= 0) {
    element->w1 = ctx;
    element->w3 = uint32_t(at);
  }
  return at;
}
// The value cell of the field a path element word reads; null when the
// object has no such field or the field is unset (both are missing to a
// path).
inline cell* field_value(uint32_t ctx, cell* element) {
  int32_t at = bind_field(ctx, element);
  if (at < 0) return nullptr;
  cell* v = context::object_values(ctx) + at;
  return type_of(v) == TYPE_UNSET ? nullptr : v;
}
cell* eval_path(cell* parent, const cell* element, const cell* value, const cell* path,
                const cell* grand_parent, const cell* previous, int32_t index, bool case_, bool get,
                bool tail, bool notify);
int32_t compare(const cell* value1, const cell* value2, int32_t op);
cell* copy(cell* value, cell* result, const cell* part, bool deep, const cell* types);
cell* put(cell* object, const cell* key, const cell* value, bool case_);
cell* select(cell* object, const cell* value, const find_options& options);
cell* modify(cell* target, const cell* field, const cell* value, bool case_);

}  // namespace kez::object
