#include "runtime/datatypes/error.h"

#include "runtime/thrown.h"

namespace kez::error {

namespace {
int fired_category = -1;
int fired_id = -1;
cell fired_args[3];
bool fired_given[3];
}  // namespace

void fire(int category, int id, const cell* arg1, const cell* arg2, const cell* arg3) {
  fired_category = category;
  fired_id = id;
  const cell* args[3] = {arg1, arg2, arg3};
  for (int i = 0; i < 3; ++i) {
    fired_given[i] = args[i] != nullptr;
    if (args[i]) fired_args[i] = *args[i];
  }
  throw thrown{THROWN_ERROR};
}

int last_category() { return fired_category; }
int last_id() { return fired_id; }
const cell* last_arg(int n) {
  return n >= 1 && n <= 3 && fired_given[n - 1] ? &fired_args[n - 1] : nullptr;
}

}  // namespace kez::error
