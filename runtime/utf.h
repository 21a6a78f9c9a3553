// The border between the runtime's text and the outside world. Inside, text
// is a run of fixed-width units (1 byte Latin-1, 2 bytes UCS-2, 4 bytes
// UCS-4), one code point per unit, never UTF-8 or UTF-16 and never a
// surrogate pair. Every crossing of that border goes through this module.
//
// Invariants:
// - A code point is 0..0x10FFFF. While text is added to a unit buffer its
//   unit only widens (1 -> 2 -> 4), in place, rewriting from the last unit to
//   the first; only replacing the whole content picks the unit afresh.
// - Invalid UTF-8 and unpaired UTF-16 surrogates raise Access Error
//   `invalid-utf8`; a code point above 0x10FFFF met on UTF-8 output raises
//   Script Error `invalid-char`. Input that merely ends inside a sequence is
//   not an error: the loader stops and reports the bytes it left.
// - Routines here see bytes, units and caller-owned buffers only; the string
//   module wraps them around its series buffers and export scratch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kez {
struct cell;
}

namespace kez::utf8 {

// Decodes one code point with the strict decoder (no overlong forms, no
// surrogates, nothing above 0x10FFFF), never reading at or past `end`. On a
// bad sequence cp is -1 and the answer is past the byte that broke it (a byte
// that cannot start a sequence is consumed alone); a sequence cut by `end`
// gives -1 and `end`. Answers the address after the bytes used.
const uint8_t* decode_char(const uint8_t* p, const uint8_t* end, int32_t& cp);

// The lenient validating decoder of the loaders: accepts overlong 2-byte
// forms and surrogate values other than 0xDC00-0xDCFF. `avail` comes in as
// the bytes available and goes out as the sequence length (1-4). Answers the
// code point, -1 when the bytes end inside a sequence; an invalid sequence
// raises Access Error `invalid-utf8`.
int32_t decode_sequence(const uint8_t* p, int32_t& avail);
// The same check without raising: -2 for an invalid sequence (for callers
// that substitute a value instead).
int32_t try_decode_sequence(const uint8_t* p, int32_t& avail);
// The length of the longest start of the bytes that the loaders take
// without raising: n when all of them are valid; otherwise the offset of the
// first invalid or cut sequence.
size_t valid_prefix(const uint8_t* p, size_t n);

// Sequence length announced by a lead byte: 4 for 0xF0-0xFF, 3 for
// 0xE0-0xEF, 2 for 0xC0-0xDF, 0 for ASCII and continuation bytes.
int seq_length(uint8_t lead);

// Bytes that encode_char writes (1-4); Script Error `invalid-char` for a code
// point outside 0..0x10FFFF, as for the two encoders.
int encoded_length(int32_t cp);
int encode_char(int32_t cp, uint8_t* out);
// The first min(room, length) bytes of the encoding; room <= 0 writes nothing.
int encode_char_bounded(int32_t cp, uint8_t* out, int room);

// Code points in a UTF-8 run (strict decoder; each bad sequence counts one).
size_t count_chars(const uint8_t* start, const uint8_t* end);
// Address after n code points, stopping at end.
const uint8_t* skip_chars(const uint8_t* start, const uint8_t* end, size_t n);
// UTF-8 length in bytes of `count` units of width `unit`.
size_t count_bytes(const void* units, size_t count, int unit);

// Raises Access Error `invalid-utf8` for the `n` bytes at p (at most 4 are
// kept, as arg1's binary!; arg2 may name the source): the one place where
// that error is made. p may lie in the heap.
[[noreturn]] void fire_invalid(const uint8_t* p, size_t n, const cell* arg2 = nullptr);

}  // namespace kez::utf8

namespace kez::utf16 {

// 1 unit below 0x10000, a surrogate pair (2) up to 0x10FFFF, 0 above.
int encode_char(int32_t cp, uint16_t* out);
// Narrowest text unit for UTF-16 input: 4 as soon as a surrogate is seen,
// else 2 when a unit is above 0xFF, else 1.
int scan_unit(const uint16_t* units, size_t count);
// Bytes the UTF-16 form of `count` text units needs beyond 2 per unit: 2 for
// every LF (room for the CR of a CR LF export) and every code point of
// 0x10000 or more (the second half of its pair).
size_t extra_bytes(const void* units, size_t count, int unit);
// Each byte of a NUL-terminated ASCII text widened to a 16-bit unit, then a
// 16-bit 0. Answers out.
uint16_t* from_ascii(const char* text, uint16_t* out);

}  // namespace kez::utf16

namespace kez::utf {

// A growable run of text units that the loaders fill. The string module
// points it at a series buffer and supplies `grow`; the loaders call it only
// to enlarge (never shrink) and reread `data` afterwards, since growing may
// move the buffer.
struct text_buffer {
  uint8_t* data;       // first unit
  size_t used;         // units in use
  size_t capacity;     // bytes available at data
  int unit;            // 1, 2 or 4
  void (*grow)(text_buffer& buffer, size_t bytes);  // make capacity >= bytes
  void* owner;         // for grow's use
};

// Widens the buffer's units in place to `unit` (no-op when it is not wider),
// growing first so that at least `room` units of the new width fit.
void widen(text_buffer& buffer, int unit, size_t room);

// Reads and writes one code point at a unit index of a unit run.
int32_t get(const void* units, int unit, size_t index);
void put(void* units, int unit, size_t index, int32_t cp);

// Decodes n UTF-8 bytes into the buffer, after its `used` units, widening it
// as wider code points arrive. A leading byte order mark is skipped. With
// `crlf`, CR LF becomes LF and a lone CR becomes LF. Answers the bytes left
// undecoded at the end because they stop inside a sequence (a caller reading
// in chunks carries them over). Invalid UTF-8 raises `invalid-utf8`.
size_t load_utf8(text_buffer& buffer, const uint8_t* bytes, size_t n, bool crlf);

// What to do with a surrogate that is not half of a pair.
enum class lone_surrogate { raise, replace };

// Replaces the buffer's content with `count` UTF-16LE units, at the narrowest
// unit that holds them (scan_unit). Pairs become one code point; with `crlf`
// every CR unit is dropped. An unpaired surrogate raises `invalid-utf8`, or
// becomes U+FFFD for text that is only displayed.
void load_utf16(text_buffer& buffer, const uint16_t* src, size_t count, bool crlf,
                lone_surrogate policy = lone_surrogate::raise);

// Bytes a UTF-8 export of `count` units of width `unit` may need, terminator
// included: sized from the unit alone so the writer never checks room.
size_t utf8_export_size(size_t count, int unit);
// Writes the units as NUL-terminated UTF-8 (CR before each LF with `crlf`)
// into `out`, which holds utf8_export_size bytes. Answers the bytes written
// without the NUL.
size_t export_utf8(const void* units, size_t count, int unit, uint8_t* out, bool crlf);
// As export_utf8 into a buffer of `room` bytes, never writing more: a code
// point whose encoding does not fit whole is left out, so the output is never
// a cut sequence. With `nul` a 0 follows the last byte written (the caller
// keeps one byte beyond room for it). Answers the bytes written without it.
size_t export_utf8_bounded(const void* units, size_t count, int unit, uint8_t* out,
                           size_t room, bool nul);

// 16-bit units a UTF-16 export of these units may need, terminator included.
size_t utf16_export_size(const void* units, size_t count, int unit);
// Writes the units as NUL-terminated UTF-16LE (CR before each LF with
// `crlf`). Answers the units written without the terminator, or -1 (and no
// text) when a code point is above 0x10FFFF.
ptrdiff_t export_utf16(const void* units, size_t count, int unit, uint16_t* out, bool crlf);

// The UTF-8 form of a text handed to the operating system as a path. False
// when the text holds U+0000: the system would end the path there and act on
// another file than the one named.
bool to_os_path(const void* units, size_t count, int unit, std::string& out);

}  // namespace kez::utf
