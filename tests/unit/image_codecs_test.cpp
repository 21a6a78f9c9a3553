#include "platform/image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace kez {
namespace {

using namespace image_codecs;

void put16(std::vector<uint8_t>& v, uint32_t x) {
  v.push_back(uint8_t(x));
  v.push_back(uint8_t(x >> 8));
}
void put32(std::vector<uint8_t>& v, uint32_t x) {
  put16(v, x & 0xFFFF);
  put16(v, x >> 16);
}

// A BMP file: a 40-byte header (or the 12-byte core one), masks after it
// for bit fields, the palette, then the pixel bytes as given.
std::vector<uint8_t> bmp(int32_t w, int32_t h, uint32_t bpp, uint32_t compression, const std::vector<uint32_t>& palette,
                         const std::vector<uint8_t>& data, const std::vector<uint32_t>& masks = {}, bool core = false) {
  std::vector<uint8_t> v = {'B', 'M'};
  uint32_t header = core ? 12 : 40;
  uint32_t offset = 14 + header + uint32_t(masks.size()) * 4 + uint32_t(palette.size()) * (core ? 3 : 4);
  put32(v, offset + uint32_t(data.size()));
  put32(v, 0);
  put32(v, offset);
  put32(v, header);
  if (core) {
    put16(v, uint32_t(w));
    put16(v, uint32_t(h));
    put16(v, 1);
    put16(v, bpp);
  } else {
    put32(v, uint32_t(w));
    put32(v, uint32_t(h));
    put16(v, 1);
    put16(v, bpp);
    put32(v, compression);
    put32(v, uint32_t(data.size()));
    put32(v, 2835);
    put32(v, 2835);
    put32(v, uint32_t(palette.size()));
    put32(v, 0);
  }
  for (uint32_t m : masks) put32(v, m);
  for (uint32_t c : palette) {
    v.push_back(uint8_t(c));
    v.push_back(uint8_t(c >> 8));
    v.push_back(uint8_t(c >> 16));
    if (!core) v.push_back(0);
  }
  v.insert(v.end(), data.begin(), data.end());
  return v;
}

std::vector<uint32_t> decoded(const std::vector<uint8_t>& file, uint32_t w, uint32_t h) {
  bitmap b;
  EXPECT_TRUE(decode(file.data(), file.size(), b));
  EXPECT_EQ(b.width, w);
  EXPECT_EQ(b.height, h);
  std::vector<uint32_t> out;
  if (b.pixels) out.assign(b.pixels, b.pixels + size_t(b.width) * b.height);
  release_pixels(b.pixels);
  return out;
}

constexpr uint32_t R = 0xFFFF0000, G = 0xFF00FF00, B = 0xFF0000FF, K = 0xFF000000, Wh = 0xFFFFFFFF;

TEST(image_codecs, bmp_bit_depths_and_row_orders) {
  // 1 bit, bottom up, rows padded to 4 bytes.
  EXPECT_EQ(decoded(bmp(3, 2, 1, 0, {0x000000, 0xFFFFFF}, {0xA0, 0, 0, 0, 0x40, 0, 0, 0}), 3, 2),
            (std::vector<uint32_t>{K, Wh, K, Wh, K, Wh}));
  // 4 bits, top down (negative height).
  EXPECT_EQ(decoded(bmp(3, -1, 4, 0, {0xFF0000, 0x00FF00, 0x0000FF}, {0x01, 0x20, 0, 0}), 3, 1),
            (std::vector<uint32_t>{R, G, B}));
  // 8 bits, core header (3-byte palette entries).
  EXPECT_EQ(decoded(bmp(2, 1, 8, 0, {0x00FF00, 0x0000FF}, {1, 0, 0, 0}, {}, true), 2, 1),
            (std::vector<uint32_t>{B, G}));
  // 16 bits: 5-5-5 by default, 5-6-5 through bit fields.
  EXPECT_EQ(decoded(bmp(2, 1, 16, 0, {}, {0x00, 0x7C, 0x1F, 0x00}), 2, 1), (std::vector<uint32_t>{R, B}));
  EXPECT_EQ(decoded(bmp(2, 1, 16, 3, {}, {0xE0, 0x07, 0x1F, 0x00}, {0xF800, 0x07E0, 0x001F}), 2, 1),
            (std::vector<uint32_t>{G, B}));
  // 24 bits, B G R, padded rows.
  EXPECT_EQ(decoded(bmp(1, 2, 24, 0, {}, {0, 0, 255, 0, 0, 255, 0, 0}), 1, 2), (std::vector<uint32_t>{G, R}));
  // 32 bits without an alpha mask: an all-zero fourth byte is padding ...
  EXPECT_EQ(decoded(bmp(1, 1, 32, 0, {}, {1, 2, 3, 0}), 1, 1), (std::vector<uint32_t>{0xFF030201}));
  // ... any other makes it alpha; with bit fields the alpha mask says.
  EXPECT_EQ(decoded(bmp(2, 1, 32, 0, {}, {1, 2, 3, 0, 4, 5, 6, 0x80}), 2, 1),
            (std::vector<uint32_t>{0x00030201, 0x80060504}));
  EXPECT_EQ(decoded(bmp(1, 1, 32, 6, {}, {0x11, 0x22, 0x33, 0x44}, {0xFF00, 0xFF0000, 0xFF000000, 0xFF}), 1, 1),
            (std::vector<uint32_t>{0x11223344}));
}

TEST(image_codecs, bmp_rle4_runs_spans_and_delta) {
  // Bottom up, 4x2: row 1 (bottom) = run of 3 alternating 1,2 then EOL;
  // row 0 = literal span 3 pixels [2,1,2] (2 bytes, padded), end of bitmap.
  std::vector<uint8_t> data = {0x03, 0x12, 0x00, 0x00, 0x00, 0x03, 0x21, 0x20, 0x00, 0x01};
  EXPECT_EQ(decoded(bmp(4, 2, 4, 2, {0x000000, 0xFF0000, 0x00FF00}, data), 4, 2),
            (std::vector<uint32_t>{G, R, G, K, R, G, R, K}));
  // A delta past the picture and runs longer than a row stay inside it.
  std::vector<uint8_t> wild = {0x00, 0x02, 0xFF, 0xFF, 0xFF, 0x11, 0x00, 0x00, 0xFF, 0x22};
  EXPECT_EQ(decoded(bmp(4, 2, 4, 2, {0x000000, 0xFF0000, 0x00FF00}, wild), 4, 2).size(), 8u);
}

TEST(image_codecs, bmp_refuses_what_it_cannot_read_safely) {
  bitmap b;
  auto refused = [&](const std::vector<uint8_t>& file) {
    bool ok = decode_bmp(file.data(), file.size(), b);
    release_pixels(b.pixels);
    b = bitmap{};
    return !ok;
  };
  EXPECT_TRUE(refused(bmp(3, 2, 24, 0, {}, {0, 0, 0})));                   // pixels cut short
  EXPECT_TRUE(refused(bmp(70000, 1, 24, 0, {}, std::vector<uint8_t>(210000))));  // side above 65,535
  EXPECT_TRUE(refused(bmp(0, 1, 24, 0, {}, {0, 0, 0, 0})));
  EXPECT_TRUE(refused(bmp(1, 1, 7, 0, {}, {0, 0, 0, 0})));                 // no such depth
  EXPECT_TRUE(refused(bmp(1, 1, 24, 1, {}, {0, 0, 0, 0})));                // RLE8 needs 8 bits
  std::vector<uint8_t> cut = bmp(1, 1, 24, 0, {}, {0, 0, 0, 0});
  cut.resize(20);
  EXPECT_TRUE(refused(cut));
  // The pixel limit holds before anything is allocated.
  set_pixel_limit(100);
  EXPECT_TRUE(refused(bmp(11, 10, 8, 1, {0}, {0x00, 0x01})));
  set_pixel_limit(~uint64_t(0));
  EXPECT_FALSE(refused(bmp(11, 10, 8, 1, {0}, {0x00, 0x01})));
}

// Every pixel kept: PNG, BMP and TIFF with any alpha, GIF for opaque
// colours and clear pixels; JPEG drops alpha and comes close.
TEST(image_codecs, round_trips) {
  const uint32_t w = 23, h = 9;
  std::vector<uint32_t> px(w * h), gif(w * h);
  for (uint32_t i = 0; i < w * h; ++i) {
    px[i] = (i * 0x9E3779B9u) ^ (i << 3);
    gif[i] = i % 7 == 0 ? 0 : 0xFF000000u | (i * 0x010203u & 0xFFFFFF);
  }
  for (int32_t format : {FORMAT_PNG, FORMAT_BMP, FORMAT_TIFF, FORMAT_GIF}) {
    const std::vector<uint32_t>& source = format == FORMAT_GIF ? gif : px;
    std::vector<uint8_t> file;
    ASSERT_TRUE(encode(format, w, h, source.data(), file)) << format;
    EXPECT_EQ(detect(file.data(), file.size()), format);
    EXPECT_EQ(decoded(file, w, h), source) << format;
  }
  std::vector<uint32_t> smooth(w * h);
  for (uint32_t i = 0; i < w * h; ++i) smooth[i] = 0x80000000u | (i % w * 8) << 16 | (i / w * 20) << 8 | 100;
  std::vector<uint8_t> file;
  ASSERT_TRUE(encode(FORMAT_JPEG, w, h, smooth.data(), file));
  std::vector<uint32_t> back = decoded(file, w, h);
  ASSERT_EQ(back.size(), smooth.size());
  for (size_t i = 0; i < back.size(); ++i) {
    EXPECT_EQ(back[i] >> 24, 255u);
    for (int s = 0; s < 24; s += 8) EXPECT_NEAR(int(back[i] >> s & 255), int(smooth[i] >> s & 255), 12) << i;
  }
}

TEST(image_codecs, gif_with_many_colours_is_quantised) {
  const uint32_t w = 40, h = 40;
  std::vector<uint32_t> px(w * h);
  for (uint32_t i = 0; i < w * h; ++i) px[i] = 0xFF000000u | (i * 2654435761u & 0xFFFFFF);
  std::vector<uint8_t> file;
  ASSERT_TRUE(encode(FORMAT_GIF, w, h, px.data(), file));
  std::vector<uint32_t> back = decoded(file, w, h);
  ASSERT_EQ(back.size(), px.size());
  std::vector<uint32_t> colours(back);
  std::sort(colours.begin(), colours.end());
  EXPECT_LE(std::unique(colours.begin(), colours.end()) - colours.begin(), 256);
  for (uint32_t p : back) EXPECT_EQ(p >> 24, 255u);
}

TEST(image_codecs, detect_and_refuse_garbage) {
  const uint8_t png[] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0};
  const uint8_t jpeg[] = {0xFF, 0xD8, 0xFF, 0xE0, 0};
  const uint8_t tiff[] = {'I', 'I', 0x2A, 0, 8, 0, 0, 0};
  const uint8_t gif[] = {'G', 'I', 'F', '8', '9', 'a', 1, 0};
  EXPECT_EQ(detect(png, sizeof png), FORMAT_PNG);
  EXPECT_EQ(detect(jpeg, sizeof jpeg), FORMAT_JPEG);
  EXPECT_EQ(detect(tiff, sizeof tiff), FORMAT_TIFF);
  EXPECT_EQ(detect(gif, sizeof gif), FORMAT_GIF);
  EXPECT_EQ(detect(png, 3), FORMAT_NONE);
  bitmap b;
  EXPECT_FALSE(decode(png, sizeof png, b));
  EXPECT_FALSE(decode(jpeg, sizeof jpeg, b));
  EXPECT_FALSE(decode(tiff, sizeof tiff, b));
  EXPECT_FALSE(decode(gif, sizeof gif, b));
  EXPECT_EQ(b.pixels, nullptr);
  // An empty input (no buffer at all) is refused by every reader.
  for (auto reader : {decode_bmp, decode_png, decode_jpeg, decode_gif, decode_tiff})
    EXPECT_FALSE(reader(nullptr, 0, b));
}

}  // namespace
}  // namespace kez
