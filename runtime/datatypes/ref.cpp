#include "runtime/datatypes/ref.h"

#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/string.h"
#include "runtime/stack.h"

namespace kez::ref {

cell* push(const cell* value) { return stack::push(value); }

// The "@" counts in the budget like every character appended.
int32_t mold(const cell* value, cell* buffer, bool, bool, bool, const cell* arg, int32_t part, int32_t) {
  string::append_char(string::buffer_of(buffer), '@');
  return string::form(value, buffer, arg, part - 1);
}

void init() {
  datatype::registration(TYPE_REF, TYPE_STRING, "ref!").inherit_all().set<ACT_MOLD>(mold).commit();
}

}  // namespace kez::ref
