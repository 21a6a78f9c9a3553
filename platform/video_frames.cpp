#include "platform/video_frames.h"

#include <algorithm>
#include <cstring>

#include "platform/image.h"

namespace kez::video {

namespace {

uint32_t clamp8(int v) { return uint32_t(v < 0 ? 0 : v > 255 ? 255 : v); }

void yuyv_to_pixels(const uint8_t* in, size_t length, int width, int height, std::vector<uint32_t>& out) {
  out.assign(size_t(width) * size_t(height), 0xFF000000u);
  size_t pairs = std::min(length / 4, out.size() / 2);
  for (size_t i = 0; i < pairs; ++i) {
    int y0 = in[4 * i], u = in[4 * i + 1] - 128, y1 = in[4 * i + 2], v = in[4 * i + 3] - 128;
    for (int k = 0; k < 2; ++k) {
      int y = k ? y1 : y0;
      int r = y + ((359 * v) >> 8), g = y - ((88 * u + 183 * v) >> 8), b = y + ((454 * u) >> 8);
      out[2 * i + size_t(k)] = 0xFF000000u | clamp8(r) << 16 | clamp8(g) << 8 | clamp8(b);
    }
  }
}

bool mjpeg_to_pixels(const uint8_t* in, size_t length, int width, int height, std::vector<uint32_t>& out) {
  image_codecs::bitmap b;
  if (!image_codecs::decode_jpeg(in, length, b)) return false;
  bool fits = int(b.width) == width && int(b.height) == height;
  if (fits) out.assign(b.pixels, b.pixels + size_t(width) * size_t(height));
  image_codecs::release_pixels(b.pixels);
  return fits;
}

std::vector<uint8_t> pixels_to_yuyv(int width, int height, const std::vector<uint32_t>& px) {
  std::vector<uint8_t> out;
  out.reserve(size_t(width) * size_t(height) * 2);
  auto luma = [](uint32_t p) { return (77 * int(p >> 16 & 0xFF) + 150 * int(p >> 8 & 0xFF) + 29 * int(p & 0xFF)) >> 8; };
  for (size_t i = 0; i + 1 < px.size(); i += 2) {
    // The pair shares the chroma of its mean colour.
    int r = (int(px[i] >> 16 & 0xFF) + int(px[i + 1] >> 16 & 0xFF)) / 2;
    int g = (int(px[i] >> 8 & 0xFF) + int(px[i + 1] >> 8 & 0xFF)) / 2;
    int b = (int(px[i] & 0xFF) + int(px[i + 1] & 0xFF)) / 2;
    int u = ((-43 * r - 85 * g + 128 * b) >> 8) + 128, v = ((128 * r - 107 * g - 21 * b) >> 8) + 128;
    out.insert(out.end(), {uint8_t(luma(px[i])), uint8_t(clamp8(u)), uint8_t(luma(px[i + 1])), uint8_t(clamp8(v))});
  }
  return out;
}

// Drops the DHT segments of a JPEG file (a camera's frame leaves them out
// when its tables are the standard ones, which an encoder's are).
std::vector<uint8_t> without_huffman_tables(const std::vector<uint8_t>& in) {
  std::vector<uint8_t> out(in.begin(), in.begin() + std::min<size_t>(2, in.size()));
  size_t at = 2;
  while (at + 4 <= in.size() && in[at] == 0xFF) {
    uint8_t marker = in[at + 1];
    if (marker == 0xDA) break;  // the scan and all after it stay as they are
    size_t segment = 2 + (size_t(in[at + 2]) << 8 | in[at + 3]);
    if (marker != 0xC4) out.insert(out.end(), in.begin() + long(at), in.begin() + long(std::min(at + segment, in.size())));
    at += segment;
  }
  if (at < in.size()) out.insert(out.end(), in.begin() + long(at), in.end());
  return out;
}

}  // namespace

uint32_t choose_format(const std::vector<uint32_t>& offered) {
  for (uint32_t f : {FORMAT_YUYV, FORMAT_MJPEG})
    if (std::find(offered.begin(), offered.end(), f) != offered.end()) return f;
  return 0;
}

bool to_pixels(uint32_t format, const uint8_t* in, size_t length, int width, int height, std::vector<uint32_t>& out) {
  if (width <= 0 || height <= 0) return false;
  switch (format) {
    case FORMAT_YUYV: yuyv_to_pixels(in, length, width, height, out); return true;
    case FORMAT_MJPEG: return mjpeg_to_pixels(in, length, width, height, out);
    default: return false;
  }
}

std::vector<uint8_t> from_pixels(uint32_t format, int width, int height, const std::vector<uint32_t>& pixels) {
  if (width <= 0 || height <= 0 || pixels.size() != size_t(width) * size_t(height)) return {};
  if (format == FORMAT_YUYV) return pixels_to_yuyv(width, height, pixels);
  if (format != FORMAT_MJPEG) return {};
  std::vector<uint8_t> file;
  if (!image_codecs::encode_jpeg(uint32_t(width), uint32_t(height), pixels.data(), file)) return {};
  return without_huffman_tables(file);
}

}  // namespace kez::video
