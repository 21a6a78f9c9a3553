#include "runtime/datatypes/triple.h"

#include <cstdio>

#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/string.h"

namespace kez::triple {

int32_t form(const cell* value, cell* buffer, const cell*, int32_t part) {
  char text[64];
  int n = std::snprintf(text, sizeof text, "make triple! [%d %d %d]", int32_t(value->w1), int32_t(value->w2),
                        int32_t(value->w3));
  string::concatenate_literal(buffer, text);
  return part - n;
}

namespace {
int32_t mold(const cell* value, cell* buffer, bool, bool, bool, const cell* arg, int32_t part, int32_t) {
  return form(value, buffer, arg, part);
}
}  // namespace

void init() { datatype::registration(TYPE_TRIPLE, 0, "triple!").set<ACT_FORM>(form).set<ACT_MOLD>(mold).commit(); }

}  // namespace kez::triple
