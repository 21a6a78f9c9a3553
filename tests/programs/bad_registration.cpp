// Registers one datatype with a list of argv[1] words (and the type id
// argv[2], 30 by default); a wrong list must stop the process before this
// program says "registered".
#include <cstdio>
#include <cstdlib>

#include "runtime/datatypes/datatype.h"

int main(int argc, char** argv) {
  uint32_t count = argc > 1 ? uint32_t(std::atoi(argv[1])) : kez::datatype::LIST_COUNT;
  uintptr_t type = argc > 2 ? uintptr_t(std::atoi(argv[2])) : uintptr_t(kez::TYPE_BITSET);
  uintptr_t list[80] = {type, 0, reinterpret_cast<uintptr_t>("bitset!")};
  kez::datatype::register_(count, list);
  std::puts("registered");
  return 0;
}
