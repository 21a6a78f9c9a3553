// LZ codec: the system's own small Lempel-Ziv format, used to keep data
// smaller (frame map tables, compressed serialised values).
// Format: 32-bit little-endian payload size C and uncompressed size U, then
// C bytes of independent blocks, each its uncompressed size B (1 to 1 MB) and
// an LSB-first bit stream of literals and matches padded to a byte boundary.
// Invariant: decompression never reads outside the given input nor writes
// outside its output; any malformed stream gives null.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kez::lz {

// A tracked buffer of U + 8 bytes holding the output, or null when the data
// is malformed (also when U is larger than C bytes could ever produce).
// *out_size (when given) receives the output size, the sum of the block sizes.
uint8_t* decompress(const uint8_t* data, size_t size, uint32_t* out_size);

// Frees a buffer answered by decompress.
void free_output(uint8_t* buffer);

// Compresses length bytes into out, which holds length - 8 bytes. Answers the
// compressed size (C + 8), or -1 when length < 128 or the data would not
// shrink to fit out.
int32_t compress(const uint8_t* in, uint32_t length, uint8_t* out);

}  // namespace kez::lz
