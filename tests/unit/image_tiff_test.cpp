// TIFF layouts decoded to the stored colours: files written here by libtiff
// itself in every layout the decoder reads directly (gray+alpha, tiles,
// separate planes, 16-bit samples) and in those it leaves to libtiff's RGBA
// reader (palette, CMYK, JPEG).
#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "platform/image.h"

namespace kez {
namespace {

using namespace image_codecs;

// One file's layout; sample(x, y, s) gives the stored sample s of a pixel
// (in the sample's own bit depth).
struct layout {
  const char* name;
  uint16_t photometric, bits, samples;
  int extra;  // EXTRASAMPLE_* of the last sample, or -1 for none
  bool tiled, planar;
  uint16_t compression = COMPRESSION_NONE;
};

constexpr uint32_t W = 256, H = 4;

std::vector<uint8_t> write_tiff(const layout& l, const std::function<uint32_t(uint32_t, uint32_t, int)>& sample,
                                const std::function<void(TIFF*)>& more = nullptr) {
  std::string path = ::testing::TempDir() + "kez_tiff_" + l.name + ".tif";
  TIFF* t = TIFFOpen(path.c_str(), "w");
  EXPECT_NE(t, nullptr);
  if (!t) return {};
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, W);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, H);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, l.bits);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, l.samples);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, l.photometric);
  TIFFSetField(t, TIFFTAG_COMPRESSION, l.compression);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, l.planar ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
  if (l.extra >= 0) {
    uint16_t extra[] = {uint16_t(l.extra)};
    TIFFSetField(t, TIFFTAG_EXTRASAMPLES, 1, extra);
  }
  if (more) more(t);
  int per_pixel = l.planar ? 1 : l.samples, planes = l.planar ? l.samples : 1;
  size_t bytes = l.bits / 8;
  auto fill = [&](uint8_t* out, uint32_t x0, uint32_t y0, uint32_t cols, uint32_t rows, int plane) {
    for (uint32_t y = 0; y < rows; ++y)
      for (uint32_t x = 0; x < cols; ++x)
        for (int s = 0; s < per_pixel; ++s) {
          uint32_t v = x0 + x < W && y0 + y < H ? sample(x0 + x, y0 + y, plane + s) : 0;
          uint8_t* p = out + ((size_t(y) * cols + x) * per_pixel + s) * bytes;
          if (bytes == 2) {
            uint16_t wide = uint16_t(v);
            std::memcpy(p, &wide, 2);
          } else {
            *p = uint8_t(v);
          }
        }
  };
  if (l.tiled) {
    TIFFSetField(t, TIFFTAG_TILEWIDTH, 16);
    TIFFSetField(t, TIFFTAG_TILELENGTH, 16);
    std::vector<uint8_t> tile(16 * 16 * per_pixel * bytes);
    for (int plane = 0; plane < planes; ++plane)
      for (uint32_t y = 0; y < H; y += 16)
        for (uint32_t x = 0; x < W; x += 16) {
          fill(tile.data(), x, y, 16, 16, plane);
          EXPECT_GE(TIFFWriteTile(t, tile.data(), x, y, 0, uint16_t(plane)), 0);
        }
  } else {
    uint32_t rows = 0;
    if (!TIFFGetField(t, TIFFTAG_ROWSPERSTRIP, &rows))
      TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 3);  // two strips, the last one short
    std::vector<uint8_t> line(W * per_pixel * bytes);
    for (int plane = 0; plane < planes; ++plane)
      for (uint32_t y = 0; y < H; ++y) {
        fill(line.data(), 0, y, W, 1, plane);
        EXPECT_GE(TIFFWriteScanline(t, line.data(), y, uint16_t(plane)), 0);
      }
  }
  TIFFClose(t);
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::remove(path.c_str());
  return file;
}

struct decoded {
  bitmap b;
  ~decoded() { release_pixels(b.pixels); }
  uint32_t at(uint32_t x, uint32_t y) const { return b.pixels[y * b.width + x]; }
};

// Column x has alpha x: every alpha 0-255 in each row.
TEST(tiff, StraightAlphaLayoutsDecodeToTheStoredColours) {
  const layout layouts[] = {
      {"gray_alpha", PHOTOMETRIC_MINISBLACK, 8, 2, EXTRASAMPLE_UNASSALPHA, false, false},
      {"gray_alpha_tiled_planar", PHOTOMETRIC_MINISBLACK, 8, 2, EXTRASAMPLE_UNASSALPHA, true, true},
      {"rgba_tiled", PHOTOMETRIC_RGB, 8, 4, EXTRASAMPLE_UNASSALPHA, true, false},
      {"rgba_planar", PHOTOMETRIC_RGB, 8, 4, EXTRASAMPLE_UNASSALPHA, false, true},
      {"rgba_lzw", PHOTOMETRIC_RGB, 8, 4, EXTRASAMPLE_UNASSALPHA, false, false, COMPRESSION_LZW},
      {"rgb_planar", PHOTOMETRIC_RGB, 8, 3, -1, false, true},
  };
  const uint8_t colours[H][3] = {{200, 100, 50}, {124, 124, 124}, {1, 254, 37}, {255, 0, 128}};
  for (const layout& l : layouts) {
    SCOPED_TRACE(l.name);
    bool gray = l.photometric == PHOTOMETRIC_MINISBLACK;
    auto file = write_tiff(l, [&](uint32_t x, uint32_t y, int s) -> uint32_t {
      if (s == l.samples - 1 && l.extra >= 0) return x;
      return colours[y][gray ? 1 : s];
    });
    decoded d;
    ASSERT_TRUE(decode_tiff(file.data(), file.size(), d.b));
    ASSERT_EQ(d.b.width, W);
    ASSERT_EQ(d.b.height, H);
    for (uint32_t y = 0; y < H; ++y)
      for (uint32_t x = l.extra >= 0 ? 1 : 0; x < W; ++x) {
        uint32_t r = colours[y][gray ? 1 : 0], g = colours[y][1], b = colours[y][gray ? 1 : 2];
        uint32_t a = l.extra >= 0 ? x : 255;
        ASSERT_EQ(d.at(x, y), a << 24 | r << 16 | g << 8 | b) << "x " << x << " y " << y;
      }
  }
}

// 16-bit samples keep their high byte: within 1 of the sample scaled to 8 bits.
TEST(tiff, SixteenBitSamplesKeepTheirHighByte) {
  const layout layouts[] = {
      {"rgba16", PHOTOMETRIC_RGB, 16, 4, EXTRASAMPLE_UNASSALPHA, false, false},
      {"rgba16_tiled_planar", PHOTOMETRIC_RGB, 16, 4, EXTRASAMPLE_UNASSALPHA, true, true},
      {"gray_alpha16", PHOTOMETRIC_MINISBLACK, 16, 2, EXTRASAMPLE_UNASSALPHA, false, false},
  };
  for (const layout& l : layouts) {
    SCOPED_TRACE(l.name);
    bool gray = l.photometric == PHOTOMETRIC_MINISBLACK;
    // Alpha x * 257 spans the whole range; colours vary with the row.
    auto value = [&](uint32_t x, uint32_t y, int s) -> uint32_t {
      if (s == l.samples - 1) return x * 257;
      return (51234u + 7919u * (y * 3 + uint32_t(s))) & 0xFFFF;
    };
    auto file = write_tiff(l, value);
    decoded d;
    ASSERT_TRUE(decode_tiff(file.data(), file.size(), d.b));
    for (uint32_t y = 0; y < H; ++y)
      for (uint32_t x = 1; x < W; ++x) {
        uint32_t p = d.at(x, y);
        ASSERT_EQ(p >> 24, x);
        for (int c = 0; c < 3; ++c) {
          int want = int((value(x, y, gray ? 0 : c) * 255 + 32767) / 65535);
          int got = int(p >> (16 - 8 * c) & 255);
          ASSERT_LE(std::abs(got - want), 1) << "x " << x << " y " << y << " channel " << c;
        }
      }
  }
}

// Associated alpha is divided out as before; a white-is-zero gray is turned.
TEST(tiff, AssociatedAlphaAndInvertedGray) {
  layout assoc{"rgba_assoc", PHOTOMETRIC_RGB, 8, 4, EXTRASAMPLE_ASSOCALPHA, false, false};
  auto file = write_tiff(assoc, [](uint32_t x, uint32_t, int s) -> uint32_t {
    uint32_t straight[] = {200, 100, 50};
    return s == 3 ? x : (straight[s] * x + 127) / 255;
  });
  decoded d;
  ASSERT_TRUE(decode_tiff(file.data(), file.size(), d.b));
  EXPECT_EQ(d.at(255, 0), 0xFFC86432u);
  EXPECT_EQ(d.at(128, 0) >> 24, 128u);
  EXPECT_NEAR(int(d.at(128, 0) >> 16 & 255), 200, 2);

  layout white{"gray_white", PHOTOMETRIC_MINISWHITE, 8, 1, -1, false, false};
  file = write_tiff(white, [](uint32_t x, uint32_t, int) -> uint32_t { return x; });
  decoded w;
  ASSERT_TRUE(decode_tiff(file.data(), file.size(), w.b));
  EXPECT_EQ(w.at(0, 0), 0xFFFFFFFFu);
  EXPECT_EQ(w.at(200, 3), 0xFF373737u);
}

// Palette and CMYK still go through libtiff's RGBA reader.
TEST(tiff, PaletteAndCmyk) {
  layout palette{"palette", PHOTOMETRIC_PALETTE, 8, 1, -1, false, false};
  std::vector<uint16_t> red(256, 0), green(256, 0), blue(256, 0);
  red[1] = 0xFFFF, green[2] = 0x8080, blue[2] = 0x4040;
  auto file = write_tiff(palette, [](uint32_t x, uint32_t, int) -> uint32_t { return x % 3; },
                         [&](TIFF* t) { TIFFSetField(t, TIFFTAG_COLORMAP, red.data(), green.data(), blue.data()); });
  decoded p;
  ASSERT_TRUE(decode_tiff(file.data(), file.size(), p.b));
  EXPECT_EQ(p.at(0, 0), 0xFF000000u);
  EXPECT_EQ(p.at(1, 0), 0xFFFF0000u);
  EXPECT_EQ(p.at(2, 1), 0xFF008040u);

  layout cmyk{"cmyk", PHOTOMETRIC_SEPARATED, 8, 4, -1, false, false};
  file = write_tiff(cmyk, [](uint32_t x, uint32_t, int s) -> uint32_t { return x % 2 && s == 0 ? 255 : 0; },
                    [](TIFF* t) { TIFFSetField(t, TIFFTAG_INKSET, INKSET_CMYK); });
  decoded c;
  ASSERT_TRUE(decode_tiff(file.data(), file.size(), c.b));
  EXPECT_EQ(c.at(0, 0), 0xFFFFFFFFu);
  EXPECT_EQ(c.at(1, 0), 0xFF00FFFFu);
}

// JPEG inside TIFF (YCbCr): near the stored colour, as before.
TEST(tiff, JpegCompressed) {
  if (!TIFFIsCODECConfigured(COMPRESSION_JPEG)) GTEST_SKIP() << "libtiff without JPEG";
  layout jpeg{"jpeg", PHOTOMETRIC_YCBCR, 8, 3, -1, false, false, COMPRESSION_JPEG};
  auto file = write_tiff(jpeg, [](uint32_t, uint32_t, int s) -> uint32_t { return s == 0 ? 200 : s == 1 ? 100 : 50; },
                         [](TIFF* t) {
                           TIFFSetField(t, TIFFTAG_YCBCRSUBSAMPLING, 1, 1);
                           TIFFSetField(t, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
                           TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 16);
                         });
  decoded j;
  ASSERT_TRUE(decode_tiff(file.data(), file.size(), j.b));
  uint32_t p = j.at(100, 2);
  EXPECT_EQ(p >> 24, 255u);
  EXPECT_NEAR(int(p >> 16 & 255), 200, 6);
  EXPECT_NEAR(int(p >> 8 & 255), 100, 6);
  EXPECT_NEAR(int(p & 255), 50, 6);
}

}  // namespace
}  // namespace kez
