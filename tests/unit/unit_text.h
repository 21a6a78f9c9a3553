// Test helpers: a unit buffer owned by the test. Every growth moves the text
// to a fresh allocation and frees the old one, so code that keeps a stale
// data pointer across a growth reads freed memory (caught under ASan).
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "runtime/utf.h"

namespace kez::test {

struct unit_text {
  std::unique_ptr<uint8_t[]> storage;
  utf::text_buffer buffer{};
  int growths = 0;

  explicit unit_text(int unit = 1, size_t capacity = 0) {
    buffer.unit = unit;
    buffer.grow = &grow;
    buffer.owner = this;
    resize(capacity);
  }

  static void grow(utf::text_buffer& b, size_t bytes) {
    auto* self = static_cast<unit_text*>(b.owner);
    self->growths++;
    self->resize(bytes);
  }

  void resize(size_t bytes) {
    std::unique_ptr<uint8_t[]> fresh(new uint8_t[bytes ? bytes : 1]);
    if (buffer.data) std::memcpy(fresh.get(), buffer.data, buffer.used * buffer.unit);
    storage = std::move(fresh);
    buffer.data = storage.get();
    buffer.capacity = bytes;
  }

  // Sets the content (code points stored at the buffer's unit).
  void assign(const std::vector<int32_t>& cps) {
    if (buffer.capacity < cps.size() * buffer.unit) resize(cps.size() * buffer.unit);
    for (size_t i = 0; i < cps.size(); ++i) utf::put(buffer.data, buffer.unit, i, cps[i]);
    buffer.used = cps.size();
  }

  std::vector<int32_t> code_points() const {
    std::vector<int32_t> out;
    for (size_t i = 0; i < buffer.used; ++i) out.push_back(utf::get(buffer.data, buffer.unit, i));
    return out;
  }
};

// Units of width `unit` holding the code points, little-endian.
inline std::vector<uint8_t> units_of(const std::vector<int32_t>& cps, int unit) {
  std::vector<uint8_t> out(cps.size() * unit + 1);
  for (size_t i = 0; i < cps.size(); ++i) utf::put(out.data(), unit, i, cps[i]);
  return out;
}

// "U+XXXX", for failure messages.
inline std::string u_plus(int32_t cp) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "U+%04X", static_cast<unsigned>(cp));
  return buf;
}

}  // namespace kez::test
