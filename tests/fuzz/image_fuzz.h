// Shared body of the image decoder targets. Half of the inputs go to the
// decoder as they are; the other half patch a valid file of the format (made
// by our encoder) at the positions they name, so the run reaches deep into
// the decoder without a seed corpus. A decoder must refuse or hand over a
// buffer whose every pixel can be read.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "platform/image.h"

namespace kez::fuzz {

using decoder = bool (*)(const uint8_t*, size_t, image_codecs::bitmap&);

inline const std::vector<uint8_t>& template_file(int32_t format) {
  static std::vector<uint8_t> files[5];
  std::vector<uint8_t>& f = files[format];
  if (f.empty()) {
    uint32_t pixels[7 * 5];
    for (uint32_t i = 0; i < 7 * 5; ++i) pixels[i] = (i % 3 ? 0xFF000000u : 0x40000000u) | (i * 0x070513u & 0xFFFFFF);
    if (!image_codecs::encode(format, 7, 5, pixels, f)) std::abort();
  }
  return f;
}

inline int run(int32_t format, decoder decode, const uint8_t* data, size_t size) {
  image_codecs::set_pixel_limit(1u << 22);  // 16 MiB of pixels at most per input
  std::vector<uint8_t> input;
  if (size > 0 && (data[0] & 1)) {
    input = template_file(format);
    for (size_t i = 1; i + 2 < size; i += 3) {
      size_t at = (size_t(data[i]) << 8 | data[i + 1]) % input.size();
      input[at] = data[i + 2];
    }
  } else {
    input.assign(data + (size > 0), data + size);  // exactly sized: overreads are caught
  }
  image_codecs::bitmap b;
  if (!decode(input.data(), input.size(), b)) {
    if (b.pixels) std::abort();
    return 0;
  }
  if (!b.pixels || b.width == 0 || b.height == 0 || b.width > 65535 || b.height > 65535) std::abort();
  uint32_t sum = 0;
  for (size_t i = 0, n = size_t(b.width) * b.height; i < n; ++i) sum += b.pixels[i];
  image_codecs::release_pixels(b.pixels);
  volatile uint32_t sink = sum;  // the reads above must happen
  (void)sink;
  return 0;
}

}  // namespace kez::fuzz
