// Compression: the system's own DEFLATE compressor and inflater (RFC 1951)
// and the zlib (RFC 1950) and gzip (RFC 1952) containers around them.
//
// Every entry point works on caller-supplied buffers and never allocates:
// (output, output size in/out, input, input length) -> result code. On entry
// *out_size is the output's capacity; on return it is the bytes produced or,
// with TOO_SMALL, the exact bytes needed (a retry with that capacity
// succeeds).
//
// Invariants:
// - Nothing is read outside [in, in + length) and nothing written outside
//   [out, out + capacity), whatever the input holds.
// - An overflowing output only counts: a back-reference past the buffer's
//   end never reads a byte that was not stored.
// - Decoding never loops without consuming input or producing output, and a
//   size needed is never larger than 1,032 bytes per input byte (the most
//   DEFLATE can expand), so callers can bound their buffers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kez::compression {

enum result : int {
  OK = 0,
  TOO_SMALL = 1,        // *out_size is the size needed
  CORRUPT = 2,          // bad header or trailer, checksum or size mismatch, bad codes
  STORED_PAST_END = 3,  // a stored block runs past the end of the input
  RESERVED_BLOCK = 4,   // block type 3
  FAR_DISTANCE = 5,     // a distance reaches back before the output's start
  TRUNCATED = 6,        // the input ends before the final block does
};

// The most output one input byte can give.
constexpr uint64_t MAX_RATIO = 1032;

// The smallest buffers the containers accept.
constexpr size_t ZLIB_MINIMUM = 6;
constexpr size_t GZIP_MINIMUM = 18;

}  // namespace kez::compression

namespace kez::deflate {

// A capacity that always holds the raw stream of `length` input bytes.
inline uint64_t bound(uint64_t length) { return length + (length >> 3) + 8; }

// Raw DEFLATE.
int compress(uint8_t* out, size_t* out_size, const uint8_t* in, size_t length);
// Header 78 01, the raw stream, the Adler-32 of the input big-endian.
int zlib(uint8_t* out, size_t* out_size, const uint8_t* in, size_t length);
// A 10-byte header without name or time, the raw stream, then the CRC-32
// and the length of the input, little-endian.
int gzip(uint8_t* out, size_t* out_size, const uint8_t* in, size_t length);

}  // namespace kez::deflate

namespace kez::inflate {

int decompress(uint8_t* out, size_t* out_size, const uint8_t* in, size_t length);
// Rejects a preset dictionary, a bad header check and a bad Adler-32.
int zlib(uint8_t* out, size_t* out_size, const uint8_t* in, size_t length);
// One member; the optional header fields are skipped (and the header CRC
// checked). The size field is taken as the size needed; a size the input
// could never produce, a size or CRC-32 mismatch are CORRUPT.
int gzip(uint8_t* out, size_t* out_size, const uint8_t* in, size_t length);

}  // namespace kez::inflate
