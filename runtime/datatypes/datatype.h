// The datatype registry and the datatype! value.
//
// Each datatype module registers once at start-up: its type id, its parent,
// its name (with the final "!") and one entry per action, each a handler,
// "not supported" or "inherit". Inheritance copies the parent's entry as it
// stands at that moment, so parents register before their children and a
// later change of a parent's row never reaches a child. A registration list
// of the wrong length is a build fault: the process stops.
// Only the defined type ids (1-54) are ever registered; any other id stops the
// process. After start-up the registry is only read.
//
// A datatype! cell: header type id 1, word 1 = the type id it names.
#pragma once

#include <cstdint>

#include "runtime/actions.h"
#include "runtime/cell.h"

namespace kez::datatype {

// Entries of a raw registration list besides handler addresses.
constexpr uintptr_t NOT_SUPPORTED = 0;
constexpr uintptr_t INHERIT = ~uintptr_t(0);
constexpr uint32_t LIST_COUNT = 3 + ACTION_COUNT;  // type, parent, name, actions

// The raw registration: `count` words of `list`, which are the type id, the
// parent id (0 for none), the name's address (a NUL-terminated string kept by
// the caller, never copied), then the action entries in action-number order.
// A count other than LIST_COUNT prints "*** Datatype Error: invalid actions
// count for type: " with the details and ends the process (status 98).
void register_(uint32_t count, const uintptr_t* list);

// The typed way to build a registration list:
//   datatype::registration r(TYPE_STRING, TYPE_SERIES, "string!");
//   r.inherit_all().set<ACT_FORM>(string::form);
//   r.commit();
class registration {
 public:
  // Every entry starts "not supported".
  registration(uint32_t type, uint32_t parent, const char* name);
  registration& inherit_all();
  registration& inherit(uint32_t action);
  registration& unsupported(uint32_t action);
  template <uint32_t A>
  registration& set(actions::handler_of<A> fn) {
    list_[2 + A] = reinterpret_cast<uintptr_t>(fn);
    return *this;
  }
  void commit() const;

 private:
  uintptr_t list_[LIST_COUNT];
};

// Name table. name(t) includes the "!", name_length(t) does not; an id that
// no module registered has the name "" of length -1.
const char* name(uint32_t type);
int32_t name_length(uint32_t type);
uint32_t top_id();  // highest type id registered so far
// The symbol of a type's name (its word in the global context), 0 until the
// names are interned: by make_words once the symbol table and the global
// context exist, and at registration from then on.
uint32_t name_symbol(uint32_t type);
void make_words();

// Forgets every registration (start-up and tests).
void reset();

// Registers datatype! itself (form, mold and compare).
void init();

// Constructors of datatype! values.
cell* make_at(cell* target, uint32_t type);
cell* push(uint32_t type);
cell* make_in(cell* block, uint32_t type);  // a new cell at the block's tail
inline uint32_t get(const cell* value) { return value->w1; }

// datatype!'s handlers.
int32_t form(const cell* value, cell* buffer, const cell* arg, int32_t part);
int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg,
             int32_t part, int32_t indent);
int32_t compare(const cell* value1, const cell* value2, int32_t op);

}  // namespace kez::datatype
