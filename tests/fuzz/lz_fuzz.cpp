// The LZ decoder takes outside data: any input is refused, or decoded within
// its declared size into an output that is wholly its own.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "runtime/lz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> copy(data, data + size);  // exactly sized: overreads are caught
  uint32_t out_size = 0;
  uint8_t* out = kez::lz::decompress(copy.data(), copy.size(), &out_size);
  if (!out) return 0;
  uint32_t declared;
  std::memcpy(&declared, copy.data() + 4, 4);
  if (out_size > declared) std::abort();
  std::memset(out, 0, declared + 8);
  kez::lz::free_output(out);
  return 0;
}
