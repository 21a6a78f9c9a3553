#include "runtime/datatypes/tag.h"

#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/string.h"
#include "runtime/stack.h"

namespace kez::tag {

cell* push(const cell* value) { return stack::push(value); }

int32_t form(const cell* value, cell* buffer, const cell* arg, int32_t part) {
  string::append_char(string::buffer_of(buffer), '<');
  int32_t left = string::form(value, buffer, arg, part - 1);
  string::append_char(string::buffer_of(buffer), '>');
  return left - 1;
}

int32_t mold(const cell* value, cell* buffer, bool, bool, bool, const cell* arg, int32_t part, int32_t) {
  return form(value, buffer, arg, part);
}

void init() {
  datatype::registration(TYPE_TAG, TYPE_STRING, "tag!")
      .inherit_all()
      .set<ACT_FORM>(form)
      .set<ACT_MOLD>(mold)
      .commit();
}

}  // namespace kez::tag
