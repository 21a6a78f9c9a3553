// Console output: the runtime's low-level text output to standard output,
// and the typed diagnostic printers built on it.
//
// Text leaves as UTF-8 with LF line ends whatever it is written to. Text
// units are 1 (Latin-1), 2 (UTF-16) or 4 (code points) bytes wide; a UTF-16
// surrogate pair becomes one UTF-8 sequence, and a unit that is no character
// (a lone surrogate, a value past 0x10FFFF) becomes U+FFFD. Escape sequences
// pass through unchanged; on a terminal each one that fits the output
// buffer leaves in a single write.
// Every write reaches the descriptor before the call returns. The C-string
// and number writers also hand a copy of their text to the list-2 output
// hooks.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kez::console {

// Notes whether standard output is a terminal. Writing works before it too.
void init();
bool terminal_q();

// text holds `bytes` bytes of units of width `unit` (1, 2 or 4).
void write(const void* text, size_t bytes, int unit, bool newline);
// Whether the last output written ended with a line feed (true before any).
bool last_lf_q();
void write_latin1(const char* text, size_t bytes);
void write_latin1_line(const char* text, size_t bytes);
void write_utf16(const char16_t* text, size_t bytes);
void write_utf16_line(const char16_t* text, size_t bytes);
void write_ucs4(const char32_t* text, size_t bytes);
void write_ucs4_line(const char32_t* text, size_t bytes);

// Write UTF-8 bytes unchanged, then fire the list-2 hooks; answer text.
const char* write_bytes(const char* text, size_t bytes);
const char* write_cstring(const char* text);

// Number writers ("%i", "%02X", "%08X", "%.16g", "%.7g"); each fires the
// list-2 hooks with its text and returns its value.
int32_t print_int(int32_t value);
int64_t print_int64(int64_t value);
uint8_t print_byte_hex(uint8_t value);
uint32_t print_hex(uint32_t value);
double print_float64(double value);
float print_float32(float value);

// The bytes taken by the escape sequence that starts at text (ESC "["
// parameters and the character that ends it), never more than `bytes`: an
// unterminated sequence ends with the text. 0 when text is not ESC "[".
size_t parse_escape(const void* text, size_t bytes, int unit);

}  // namespace kez::console

// The typed diagnostic printers, in the runtime's own naming with a trailing
// underscore: C's `stdout` is a macro.
namespace kez::stdout_ {

struct hex { uint32_t value; };   // printed as 8 upper-case hexadecimal digits
struct byte { uint8_t value; };   // printed as the raw byte

void item(bool value);            // "true" / "false"
void item(int32_t value);
void item(int64_t value);
void item(float value);
void item(double value);
void item(const char* text);      // NUL-terminated UTF-8
void item(hex value);
void item(byte value);
void flush_streams();             // every C-runtime output stream

template <class... Items>
void prin(const Items&... items) {
  (item(items), ...);
  flush_streams();
}

template <class... Items>
void print_line(const Items&... items) {
  (item(items), ...);
  item(byte{10});
  flush_streams();
}

uint8_t print_byte(uint8_t value);
// Writes text up to its NUL or its first n bytes, whichever comes first.
const char* print_part(const char* text, size_t n);
// #"x" with the byte in caret form: ^@ ^- ^/ ^A..^_ for controls, ^(HH) above 127.
void print_char_literal(uint8_t value);

}  // namespace kez::stdout_
