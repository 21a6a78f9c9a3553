// Image codecs: our own layer over libpng, libjpeg-turbo, giflib and libtiff,
// and our own BMP codec. It knows nothing of the language heap: it turns
// file bytes into an owned pixel buffer and back.
//
// Pixels are 32-bit words A << 24 | R << 16 | G << 8 | B (in memory B, G, R,
// A), straight alpha, 255 opaque, rows top to bottom with no padding.
//
// Invariants:
// - Every decoder reads only inside the bytes it is given, whatever they
//   hold, and refuses (answers false) rather than guess: a width or height of
//   0 or above 65,535, or more pixels than the pixel limit.
// - A decoder that answers true has filled every pixel of the buffer it
//   hands over; one that answers false has freed whatever it took.
// - Pixel buffers come from malloc and are released with release_pixels.
// - Decoders do no colour management and no gamma transform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kez::image_codecs {

// Encoder format codes, also the answers of detect.
enum format : int32_t { FORMAT_NONE = -1, FORMAT_BMP = 0, FORMAT_PNG = 1, FORMAT_GIF = 2, FORMAT_JPEG = 3, FORMAT_TIFF = 4 };

constexpr uint32_t MAX_SIDE = 65535;  // the image record keeps each side in 16 bits

struct bitmap {
  uint32_t width = 0, height = 0;
  uint32_t* pixels = nullptr;  // width x height words, owned
};

// The most pixels a decoder will allocate (a memory bound for untrusted
// files); the default allows what an image! can hold.
uint64_t pixel_limit();
void set_pixel_limit(uint64_t pixels);

// A zero-filled buffer of w x h pixels, or null when it cannot be had
// (sides out of range, over the pixel limit when `limited`, no memory).
uint32_t* allocate_pixels(uint32_t width, uint32_t height, bool limited);
void release_pixels(uint32_t* pixels);

// The format by signature of the first bytes, FORMAT_NONE for anything else.
int32_t detect(const uint8_t* bytes, size_t length);

// Each fills out (out.pixels null on entry) and answers true, or answers false.
bool decode_bmp(const uint8_t* bytes, size_t length, bitmap& out);
bool decode_png(const uint8_t* bytes, size_t length, bitmap& out);
bool decode_jpeg(const uint8_t* bytes, size_t length, bitmap& out);
bool decode_gif(const uint8_t* bytes, size_t length, bitmap& out);
bool decode_tiff(const uint8_t* bytes, size_t length, bitmap& out);
// By signature.
bool decode(const uint8_t* bytes, size_t length, bitmap& out);
// The whole file at a local path, decoded by signature. Nothing past its
// first bytes is read unless they start a known format (with a size, where
// the header gives one, within the limits), and never more than a binary!
// holds (MOST_FILE_BYTES): past it the answer is LOAD_TOO_LARGE.
constexpr size_t MOST_FILE_BYTES = 0x7FFFFFFF;
enum load_status { LOAD_OK, LOAD_FAILED, LOAD_TOO_LARGE };
load_status load_file(const std::string& path, bitmap& out);

// Appends the encoded file to out; false when the encoder failed (out is
// then left as it was). width and height are at least 1.
bool encode_bmp(uint32_t width, uint32_t height, const uint32_t* pixels, std::vector<uint8_t>& out);
bool encode_png(uint32_t width, uint32_t height, const uint32_t* pixels, std::vector<uint8_t>& out);
bool encode_jpeg(uint32_t width, uint32_t height, const uint32_t* pixels, std::vector<uint8_t>& out);
bool encode_gif(uint32_t width, uint32_t height, const uint32_t* pixels, std::vector<uint8_t>& out);
bool encode_tiff(uint32_t width, uint32_t height, const uint32_t* pixels, std::vector<uint8_t>& out);
bool encode(int32_t format, uint32_t width, uint32_t height, const uint32_t* pixels, std::vector<uint8_t>& out);

}  // namespace kez::image_codecs
