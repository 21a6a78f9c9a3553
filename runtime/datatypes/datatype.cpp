#include "runtime/datatypes/datatype.h"

#include <algorithm>
#include <cstring>

#include "runtime/console.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/word.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"

namespace kez::datatype {

namespace {

struct name_row {
  const char* name;  // with the "!", owned by the registering module
  int32_t length;    // without the "!"
  uint32_t symbol;   // of the name word, 0 until interned
};

name_row names[TYPE_TABLE_ROWS];
const name_row unnamed{"", -1, 0};  // for ids that no module registered
bool words_ready = false;  // the global context exists: names are interned at registration

void make_word(uint32_t type) { names[type].symbol = word::load(names[type].name)->w2; }

// The name row of the type a datatype! names; values made from outside data
// may name any id.
const name_row& row_of(const cell* value) {
  uint32_t t = get(value);
  return t < TYPE_TABLE_ROWS && names[t].name ? names[t] : unnamed;
}
uint32_t top = 0;

[[noreturn]] void bad_count(uintptr_t type, uint32_t found) {
  stdout_::print_line("*** Datatype Error: invalid actions count for type: ", int32_t(type));
  stdout_::print_line("*** Found: ", int32_t(found));
  stdout_::print_line("*** Expected: ", int32_t(ACTION_COUNT));
  // A malformed registration is a fault of the build itself: never a success.
  runtime::quit(runtime::RT_ASSERTION, reinterpret_cast<uintptr_t>(&register_));
}

[[noreturn]] void bad_type(uintptr_t type, uintptr_t parent) {
  stdout_::print_line("*** Datatype Error: invalid type id: ", int64_t(type), " parent: ", int64_t(parent));
  runtime::quit(runtime::RT_ASSERTION, reinterpret_cast<uintptr_t>(&register_));
}

}  // namespace

void register_(uint32_t count, const uintptr_t* list) {
  // Only the defined ids name types: the rows above them (and any larger id,
  // which would write past the tables) are never registered.
  if (list[0] > TYPE_LAST || list[1] > TYPE_LAST) bad_type(list[0], list[1]);
  uint32_t type = uint32_t(list[0]);
  if (type > top) top = type;
  uint32_t parent = uint32_t(list[1]);
  const char* name = reinterpret_cast<const char*>(list[2]);
  names[type] = name_row{name, int32_t(std::strlen(name)) - 1, 0};
  if (words_ready) make_word(type);
  if (count < 3 || count - 3 != ACTION_COUNT) bad_count(list[0], count < 3 ? 0 : count - 3);
  for (uint32_t a = 1; a <= ACTION_COUNT; ++a) {
    uintptr_t entry = list[2 + a];
    actions::any_handler h;
    if (entry == INHERIT)  // with no parent there is nothing to inherit: unsupported
      h = parent ? actions::table[parent][a - 1] : nullptr;
    else
      h = reinterpret_cast<actions::any_handler>(entry);
    actions::table[type][a - 1] = h;
  }
}

registration::registration(uint32_t type, uint32_t parent, const char* name) {
  list_[0] = type;
  list_[1] = parent;
  list_[2] = reinterpret_cast<uintptr_t>(name);
  for (uint32_t a = 1; a <= ACTION_COUNT; ++a) list_[2 + a] = NOT_SUPPORTED;
}

registration& registration::inherit_all() {
  for (uint32_t a = 1; a <= ACTION_COUNT; ++a) list_[2 + a] = INHERIT;
  return *this;
}

registration& registration::inherit(uint32_t action) {
  list_[2 + action] = INHERIT;
  return *this;
}

registration& registration::unsupported(uint32_t action) {
  list_[2 + action] = NOT_SUPPORTED;
  return *this;
}

void registration::commit() const { register_(LIST_COUNT, list_); }

const char* name(uint32_t type) { return type < TYPE_TABLE_ROWS && names[type].name ? names[type].name : unnamed.name; }
int32_t name_length(uint32_t type) { return type < TYPE_TABLE_ROWS && names[type].name ? names[type].length : unnamed.length; }
uint32_t top_id() { return top; }
uint32_t name_symbol(uint32_t type) { return type < TYPE_TABLE_ROWS ? names[type].symbol : 0; }

void make_words() {
  for (uint32_t t = 1; t <= top; ++t)
    if (names[t].name) make_word(t);
  words_ready = true;
}

void reset() {
  std::memset(actions::table, 0, sizeof actions::table);
  std::memset(names, 0, sizeof names);
  top = 0;
  words_ready = false;
}

void init() {
  registration(TYPE_DATATYPE, 0, "datatype!")
      .set<ACT_FORM>(form)
      .set<ACT_MOLD>(mold)
      .set<ACT_COMPARE>(compare)
      .commit();
}

cell* make_at(cell* target, uint32_t type) {
  *target = cell{TYPE_DATATYPE, type, 0, 0};
  return target;
}

cell* push(uint32_t type) { return make_at(stack::push_cell(), type); }

cell* make_in(cell* block, uint32_t type) {
  auto* c = reinterpret_cast<cell*>(series::make_room(memory::buffer_of(block->w2), sizeof(cell)));
  return make_at(c, type);
}

int32_t form(const cell* value, cell* buffer, const cell*, int32_t part) {
  const name_row& row = row_of(value);
  int32_t n = std::max(row.length, 0);
  string::concatenate_bytes(buffer, reinterpret_cast<const uint8_t*>(row.name), size_t(n));
  return part - n;
}

int32_t mold(const cell* value, cell* buffer, bool, bool all, bool, const cell*, int32_t part, int32_t) {
  const name_row& row = row_of(value);
  int32_t n = row.length + 1;
  if (all) string::concatenate_literal(buffer, "#(");
  string::concatenate_bytes(buffer, reinterpret_cast<const uint8_t*>(row.name), size_t(n));
  if (all) string::concatenate_literal(buffer, ")");
  return part - n - (all ? 3 : 0);
}

int32_t compare(const cell* value1, const cell* value2, int32_t op) {
  switch (op) {
    case COMP_EQUAL: case COMP_NOT_EQUAL: case COMP_STRICT_EQUAL: case COMP_SAME: case COMP_FIND:
      return type_of(value2) == TYPE_DATATYPE && get(value1) == get(value2) ? 0 : 1;
    default: return -2;
  }
}

}  // namespace kez::datatype
