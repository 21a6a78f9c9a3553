// Files for the peer check of tests/images/peer_check.py, through the image
// codec layer (the language cannot write files yet):
//   image_files write DIR   our encoders' files of two known images
//   image_files check DIR   decodes the peer's files and compares their
//                           pixels with the raw dumps beside them
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/image.h"

using namespace kez::image_codecs;

namespace {

constexpr uint32_t W = 13, H = 7;

// Every alpha from opaque to clear and colours in every channel; the GIF
// and JPEG forms keep what their formats can hold.
uint32_t pixel(uint32_t x, uint32_t y, int32_t format) {
  uint32_t r = x * 19, g = y * 36, b = (x * y * 7) & 255, a = 255 - (x + y * W) * 2;
  if (format == FORMAT_GIF) {
    a = (x + y) % 5 == 0 ? 0 : 255;
    if (!a) r = g = b = 0;
  }
  if (format == FORMAT_JPEG) {
    a = 255;
    r = 40 + x * 12;
    g = 200 - y * 20;
    b = 128;
  }
  return a << 24 | r << 16 | g << 8 | b;
}

bool write_file(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

bool read_file(const std::string& path, std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return false;
  int c;
  while ((c = std::fgetc(f)) != EOF) bytes.push_back(uint8_t(c));
  std::fclose(f);
  return true;
}

const char* const suffixes[] = {"bmp", "png", "gif", "jpg", "tif"};

int write_all(const std::string& dir) {
  for (int32_t format = 0; format <= FORMAT_TIFF; ++format) {
    std::vector<uint32_t> pixels(W * H);
    for (uint32_t y = 0; y < H; ++y)
      for (uint32_t x = 0; x < W; ++x) pixels[y * W + x] = pixel(x, y, format);
    std::vector<uint8_t> file, raw;
    if (!encode(format, W, H, pixels.data(), file)) return std::fprintf(stderr, "encode %d failed\n", format), 1;
    // The raw dump: R, G, B, A (opacity) per pixel, for the peer to compare.
    for (uint32_t p : pixels) raw.insert(raw.end(), {uint8_t(p >> 16), uint8_t(p >> 8), uint8_t(p), uint8_t(p >> 24)});
    std::string base = dir + "/ours." + suffixes[format];
    if (!write_file(base, file) || !write_file(base + ".rgba", raw)) return 1;
  }
  return 0;
}

// The peer's files: NAME.EXT with NAME.EXT.rgba (R, G, B, A) and
// NAME.EXT.size ("W H"); JPEG within a tolerance, the others exactly.
int check_all(const std::string& dir, int argc, char** argv) {
  int failures = 0;
  for (int i = 3; i < argc; ++i) {
    std::string name = argv[i], path = dir + "/" + name;
    std::vector<uint8_t> file, raw, size_text;
    if (!read_file(path, file) || !read_file(path + ".rgba", raw) || !read_file(path + ".size", size_text)) {
      std::fprintf(stderr, "%s: missing\n", name.c_str());
      ++failures;
      continue;
    }
    unsigned w = 0, h = 0;
    std::sscanf(std::string(size_text.begin(), size_text.end()).c_str(), "%u %u", &w, &h);
    bitmap b;
    if (!decode(file.data(), file.size(), b) || b.width != w || b.height != h || raw.size() != size_t(w) * h * 4) {
      std::fprintf(stderr, "%s: not decoded as %ux%u\n", name.c_str(), w, h);
      ++failures;
      release_pixels(b.pixels);
      continue;
    }
    bool lossy = name.find(".jpg") != std::string::npos;
    for (size_t p = 0; p < size_t(w) * h; ++p) {
      uint32_t got = b.pixels[p];
      uint8_t channels[4] = {uint8_t(got >> 16), uint8_t(got >> 8), uint8_t(got), uint8_t(got >> 24)};
      for (int c = 0; c < 4; ++c) {
        int d = std::abs(int(channels[c]) - int(raw[p * 4 + size_t(c)]));
        if (d > (lossy ? 12 : 0)) {
          std::fprintf(stderr, "%s: pixel %zu channel %d is %d, peer has %d\n", name.c_str(), p, c, channels[c],
                       raw[p * 4 + size_t(c)]);
          ++failures;
          p = size_t(w) * h;
          break;
        }
      }
    }
    release_pixels(b.pixels);
  }
  return failures ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 3 && std::string(argv[1]) == "write") return write_all(argv[2]);
  if (argc >= 3 && std::string(argv[1]) == "check") return check_all(argv[2], argc, argv);
  std::fprintf(stderr, "usage: image_files write|check DIR [files]\n");
  return 2;
}
