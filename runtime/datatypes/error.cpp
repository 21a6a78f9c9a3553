#include "runtime/datatypes/error.h"

#include "runtime/thrown.h"

namespace kez::error {

namespace {
int fired_category = -1;
int fired_id = -1;
}  // namespace

void fire(int category, int id, const cell*, const cell*, const cell*) {
  fired_category = category;
  fired_id = id;
  throw thrown{THROWN_ERROR};
}

int last_category() { return fired_category; }
int last_id() { return fired_id; }

}  // namespace kez::error
