// Frames as capture devices hand them over, turned into pixels
// (0xAARRGGBB, rows top to bottom): packed 4:2:2 YUV, and motion JPEG, one
// JPEG picture a frame that often leaves out its Huffman tables (the
// standard ones are meant then).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kez::video {

constexpr uint32_t fourcc(char a, char b, char c, char d) {
  return uint32_t(uint8_t(a)) | uint32_t(uint8_t(b)) << 8 | uint32_t(uint8_t(c)) << 16 | uint32_t(uint8_t(d)) << 24;
}
constexpr uint32_t FORMAT_YUYV = fourcc('Y', 'U', 'Y', 'V');
constexpr uint32_t FORMAT_MJPEG = fourcc('M', 'J', 'P', 'G');

// Of the formats a device offers, the one we stream: YUYV, which costs
// nothing to convert, else MJPEG; 0 when neither is offered.
uint32_t choose_format(const std::vector<uint32_t>& offered);

// One frame of `length` bytes to width x height pixels in out. False for a
// frame that cannot be shown (not a picture, or one of another size):
// cameras send such frames now and then, and they are dropped. A short
// frame is shown as far as it goes (YUYV: the rest black).
bool to_pixels(uint32_t format, const uint8_t* in, size_t length, int width, int height, std::vector<uint32_t>& out);

// The frame a device streaming `format` would hand over for these pixels;
// for MJPEG without Huffman tables, as cameras send it. Empty when the
// format is not one of ours.
std::vector<uint8_t> from_pixels(uint32_t format, int width, int height, const std::vector<uint32_t>& pixels);

}  // namespace kez::video
