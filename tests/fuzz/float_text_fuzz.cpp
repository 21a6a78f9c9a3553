// Float text reads outside text (through the lexer): any bytes are read
// without fault, and any double written reads back bit-exactly.
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/float_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<char> text(data, data + size);  // exactly sized, no NUL after it
  int32_t rest = -1;
  int32_t extra = 0;
  if (size >= 4) std::memcpy(&extra, data, 4);
  kez::float_::from_string(text.data(), text.data() + text.size(), extra, &rest);
  if (rest < 0 || static_cast<size_t>(rest) > size) std::abort();

  if (size >= 8) {
    uint64_t bits;
    std::memcpy(&bits, data, 8);
    double value = std::bit_cast<double>(bits);
    if (value != value) return 0;  // every NaN reads back as the one quiet NaN
    std::string shown = kez::float_::format_text(value, 0, true);
    double back = kez::float_::from_string(shown.data(), shown.data() + shown.size(), 0, nullptr);
    if (std::bit_cast<uint64_t>(back) != bits) std::abort();
    int32_t digits = static_cast<int32_t>(data[size - 1] % 24);
    kez::float_::format_text(value, digits, digits & 1);
  }
  return 0;
}
