// Kezbin: the binary serialisation of language values, in two encodings that
// share one 8-byte header ("KEZBIN", a version byte, a flags byte): classic
// (32-bit words, fixed-width payloads) and compact (bytes and LEB128
// varints). The boot literal data is compact Kezbin decoded in boot mode;
// everything else runs in run-time mode.
//
// Guarantees:
// - The encoders read the heap without allocating until the finished bytes
//   become a binary!, so nothing moves under them. A buffer or context met a
//   second time is written as a reference path to where it was first written,
//   so sharing and cycles survive a round trip.
// - The decoder trusts nothing: every read is bounds-checked, every count,
//   length, index and kind is validated before anything is allocated from it,
//   and malformed input raises script kb-invalid-record with the 1-based byte
//   offset of the fault (script invalid-data for a wrong magic or a corrupt
//   compressed body; access no-codec for a datatype that has no encoding).
//   It reads from a stable copy of its input, never from a movable buffer.
// - Decoding is not reentrant (nothing it calls evaluates code).
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"

namespace kez::kezbin {

// Deepest nesting of records either side accepts; beyond it the decoder
// raises kb-invalid-record and the encoder internal too-deep, instead of
// exhausting the machine stack.
constexpr int MAX_DEPTH = 2048;

// Decodes a whole Kezbin image into the block whose node is `destination`
// (appended at its tail; the caller keeps that block alive). run_time false
// is boot mode: bindings are relative to the destination block and word
// definitions are allowed. Answers the destination's length before decoding,
// the index of the first decoded cell.
uint32_t decode_buffer(const uint8_t* data, size_t size, uint32_t destination, bool run_time);

// Decodes the boot literal data into the root block with the collector held
// off, and makes its first decoded cell the base of root::cell_at. A corrupt
// image prints the decoder's message on standard error and ends the process
// with a non-zero status.
void boot_load(const uint8_t* data, size_t size);

// One record for the value after the header (and the symbol table when any
// word was written); the new binary! is pushed on the data stack and answered.
cell* encode_classic(const cell* value);
cell* encode_compact(const cell* value);

// The codec's two routines. encode_star pushes the binary made by the
// compact encoder when compact is set, else by the classic one. decode takes
// a binary!, or a file! or url! read as binary first (anything else, or 10
// bytes or fewer, raises script invalid-data with the payload); it pushes the
// only decoded value, or the block when there is not exactly one.
cell* encode_star(const cell* value, bool compact);
cell* decode(const cell* payload);

}  // namespace kez::kezbin
