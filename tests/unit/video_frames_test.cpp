#include "platform/video_frames.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace kez {
namespace {

using namespace video;

TEST(VideoFrames, FormatChoicePrefersYuyvThenMjpeg) {
  const uint32_t other = fourcc('N', 'V', '1', '2');
  struct {
    std::vector<uint32_t> offered;
    uint32_t chosen;
  } cases[] = {
      {{}, 0},
      {{other}, 0},
      {{FORMAT_MJPEG}, FORMAT_MJPEG},
      {{other, FORMAT_MJPEG}, FORMAT_MJPEG},
      {{FORMAT_MJPEG, FORMAT_YUYV}, FORMAT_YUYV},
      {{FORMAT_YUYV, other}, FORMAT_YUYV},
  };
  for (auto& c : cases) EXPECT_EQ(choose_format(c.offered), c.chosen) << c.offered.size();
}

bool near(uint32_t got, uint32_t want, int tolerance) {
  for (int shift : {0, 8, 16, 24})
    if (std::abs(int(got >> shift & 0xFF) - int(want >> shift & 0xFF)) > tolerance) return false;
  return true;
}

TEST(VideoFrames, YuyvPairsShareTheirChroma) {
  // Y0 U Y1 V: white and black under grey chroma, then red's luma and chroma.
  std::vector<uint8_t> frame = {255, 128, 0, 128, 76, 85, 76, 255};
  std::vector<uint32_t> px;
  ASSERT_TRUE(to_pixels(FORMAT_YUYV, frame.data(), frame.size(), 4, 2, px));
  ASSERT_EQ(px.size(), 8u);
  EXPECT_EQ(px[0], 0xFFFFFFFFu);
  EXPECT_EQ(px[1], 0xFF000000u);
  EXPECT_TRUE(near(px[2], 0xFFFF0000u, 2)) << std::hex << px[2];
  EXPECT_TRUE(near(px[3], 0xFFFF0000u, 2)) << std::hex << px[3];
  // The frame ended after one row: the second is black, not stale.
  for (size_t i = 4; i < 8; ++i) EXPECT_EQ(px[i], 0xFF000000u);
}

// Four quadrants: red, green / blue, white; 32 pixels a side, so that every
// quadrant holds whole blocks of the JPEG's chroma.
std::vector<uint32_t> quadrants(int side) {
  std::vector<uint32_t> px(size_t(side) * size_t(side));
  for (int y = 0; y < side; ++y)
    for (int x = 0; x < side; ++x)
      px[size_t(y * side + x)] = y < side / 2 ? (x < side / 2 ? 0xFFFF0000u : 0xFF00FF00u)
                                              : (x < side / 2 ? 0xFF0000FFu : 0xFFFFFFFFu);
  return px;
}

TEST(VideoFrames, CameraFramesComeBackWithTheirColours) {
  const int side = 32;
  std::vector<uint32_t> sent = quadrants(side);
  for (auto [format, tolerance] : {std::pair{FORMAT_YUYV, 3}, std::pair{FORMAT_MJPEG, 12}}) {
    std::vector<uint8_t> frame = from_pixels(format, side, side, sent);
    ASSERT_FALSE(frame.empty());
    std::vector<uint32_t> got;
    ASSERT_TRUE(to_pixels(format, frame.data(), frame.size(), side, side, got)) << format;
    ASSERT_EQ(got.size(), sent.size());
    for (auto [x, y] : {std::pair{8, 8}, std::pair{24, 8}, std::pair{8, 24}, std::pair{24, 24}}) {
      size_t i = size_t(y * side + x);
      EXPECT_TRUE(near(got[i], sent[i], tolerance)) << format << " at " << x << "," << y << ": " << std::hex << got[i];
    }
  }
}

TEST(VideoFrames, MjpegFramesLackHuffmanTablesAsACamerasDo) {
  std::vector<uint8_t> frame = from_pixels(FORMAT_MJPEG, 32, 32, quadrants(32));
  ASSERT_GT(frame.size(), 4u);
  EXPECT_EQ(frame[0], 0xFF);
  EXPECT_EQ(frame[1], 0xD8);
  // Walks the segments up to the scan: no DHT among them.
  size_t at = 2;
  while (at + 4 <= frame.size() && frame[at] == 0xFF && frame[at + 1] != 0xDA) {
    EXPECT_NE(frame[at + 1], 0xC4) << "at " << at;
    at += 2 + (size_t(frame[at + 2]) << 8 | frame[at + 3]);
  }
  ASSERT_LT(at + 1, frame.size());
  EXPECT_EQ(frame[at + 1], 0xDA);
}

TEST(VideoFrames, FramesThatCannotBeShownAreRefused) {
  std::vector<uint8_t> mjpeg = from_pixels(FORMAT_MJPEG, 32, 32, quadrants(32));
  std::vector<uint8_t> garbage(600, 0x5A);
  std::vector<uint32_t> px;
  struct {
    const char* what;
    uint32_t format;
    const std::vector<uint8_t>* frame;
    int width, height;
  } cases[] = {
      {"not a JPEG picture", FORMAT_MJPEG, &garbage, 32, 32},
      {"a picture of another size", FORMAT_MJPEG, &mjpeg, 64, 48},
      {"an unknown format", fourcc('N', 'V', '1', '2'), &garbage, 10, 10},
      {"no size", FORMAT_YUYV, &garbage, 0, 10},
  };
  for (auto& c : cases) EXPECT_FALSE(to_pixels(c.format, c.frame->data(), c.frame->size(), c.width, c.height, px)) << c.what;
  EXPECT_TRUE(from_pixels(FORMAT_MJPEG, 4, 4, std::vector<uint32_t>(15)).empty());
}

}  // namespace
}  // namespace kez
