// Whatever we compress, in each container, real zlib and our own inflater
// both give back exactly; a buffer one byte short gets the exact size.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "runtime/compression.h"
#include "tests/unit/zlib_oracle.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using codec = int (*)(uint8_t*, size_t*, const uint8_t*, size_t);
  static constexpr codec encoders[] = {kez::deflate::compress, kez::deflate::zlib, kez::deflate::gzip};
  static constexpr codec decoders[] = {kez::inflate::decompress, kez::inflate::zlib, kez::inflate::gzip};
  static constexpr int window_bits[] = {-15, 15, 31};
  std::vector<uint8_t> input(data, data + size);
  for (int k = 0; k < 3; ++k) {
    std::vector<uint8_t> packed(kez::deflate::bound(size) + 18);
    size_t n = packed.size();
    if (encoders[k](packed.data(), &n, input.data(), size) != kez::compression::OK) std::abort();
    packed.resize(n);
    std::vector<uint8_t> shorter(n - 1 + 1);
    size_t need = n - 1;
    if (n - 1 >= (k == 0 ? 0 : k == 1 ? 6 : 18) &&
        (encoders[k](shorter.data(), &need, input.data(), size) != kez::compression::TOO_SMALL || need != n))
      std::abort();
    std::vector<uint8_t> theirs, ours(size);
    if (!kez::oracle::zlib_inflate(window_bits[k], packed.data(), packed.size(), &theirs) || theirs != input)
      std::abort();
    size_t m = size;
    if (decoders[k](ours.data(), &m, packed.data(), packed.size()) != kez::compression::OK || m != size ||
        ours != input)
      std::abort();
  }
  return 0;
}
