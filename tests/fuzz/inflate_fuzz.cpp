// The inflater and the zlib and gzip readers take outside data: any input is
// refused or decoded within exactly sized buffers; a size needed is exact
// (a retry with it succeeds, and never asks for more than 1,032 bytes per
// input byte); and whatever real zlib accepts as a raw stream, we decode to
// the same bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "runtime/compression.h"
#include "tests/unit/zlib_oracle.h"

namespace {

using codec = int (*)(uint8_t*, size_t*, const uint8_t*, size_t);

// Decodes with the capacity given, then with the size asked for.
int check(codec c, const uint8_t* data, size_t size, size_t capacity, std::vector<uint8_t>* result) {
  auto out = std::make_unique<uint8_t[]>(capacity + 1);
  size_t n = capacity;
  int r = c(capacity ? out.get() : nullptr, &n, data, size);
  if (r == kez::compression::OK) {
    if (n > capacity) std::abort();
    result->assign(out.get(), out.get() + n);
    return r;
  }
  if (r != kez::compression::TOO_SMALL) return r;
  if (n <= capacity || n > kez::compression::MAX_RATIO * size) std::abort();
  size_t need = n;
  auto retry = std::make_unique<uint8_t[]>(need);
  r = c(retry.get(), &n, data, size);
  if (r == kez::compression::TOO_SMALL) std::abort();
  if (r == kez::compression::OK) {
    if (n != need) std::abort();
    if (std::memcmp(retry.get(), out.get(), capacity) != 0) std::abort();  // the stored prefix was right
    result->assign(retry.get(), retry.get() + n);
  }
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  size_t capacity = size_t(data[0]) * 37;  // a small buffer, often too small
  std::vector<uint8_t> copy(data + 1, data + size);  // exactly sized: overreads are caught
  std::vector<uint8_t> ours, theirs;
  int r = check(kez::inflate::decompress, copy.data(), copy.size(), capacity, &ours);
  bool accepted = kez::oracle::zlib_inflate(-15, copy.data(), copy.size(), &theirs, size_t(1) << 24);
  if (accepted && (r != kez::compression::OK || ours != theirs)) std::abort();
  std::vector<uint8_t> ignored;
  check(kez::inflate::zlib, copy.data(), copy.size(), capacity, &ignored);
  check(kez::inflate::gzip, copy.data(), copy.size(), capacity, &ignored);
  return 0;
}
