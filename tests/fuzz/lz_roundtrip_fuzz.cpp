// The LZ compressor's output decodes to its input, and the decoder survives
// that output once damaged: well-formed streams are where the decoder's deep
// paths are, and random bytes rarely reach them.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "runtime/lz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool damage = data[0] & 1;
  ++data;
  --size;
  // The input, repeated up to the shortest length that compresses.
  std::vector<uint8_t> in(data, data + size);
  for (size_t i = size; i < 128; ++i) in.push_back(size ? data[i % size] : 0);
  std::vector<uint8_t> packed(in.size() - 8);
  int32_t n = kez::lz::compress(in.data(), static_cast<uint32_t>(in.size()), packed.data());
  if (n < 0) return 0;
  packed.resize(n);
  if (damage) {
    // At places and with values taken from the input.
    for (size_t i = 0; i + 1 < size && i < 16; i += 2)
      packed[(data[i] * 2654435761u) % packed.size()] ^= data[i + 1];
  }
  uint32_t out_size = 0;
  uint8_t* out = kez::lz::decompress(packed.data(), packed.size(), &out_size);
  if (!damage && (!out || out_size != in.size() || std::memcmp(out, in.data(), in.size()) != 0))
    std::abort();
  kez::lz::free_output(out);
  return 0;
}
