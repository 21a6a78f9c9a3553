// Registers one datatype with a list of argv[1] words; a list of the wrong
// length must stop the process before this program says "registered".
#include <cstdio>
#include <cstdlib>

#include "runtime/datatypes/datatype.h"

int main(int argc, char** argv) {
  uint32_t count = argc > 1 ? uint32_t(std::atoi(argv[1])) : kez::datatype::LIST_COUNT;
  uintptr_t list[80] = {kez::TYPE_BITSET, 0, reinterpret_cast<uintptr_t>("bitset!")};
  kez::datatype::register_(count, list);
  std::puts("registered");
  return 0;
}
