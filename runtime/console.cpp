#include "runtime/console.h"

#include <poll.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "runtime/hooks.h"

namespace kez::console {

namespace {

// Static rather than allocated: a fatal error may need to print before
// anything is set up, and after the tracked allocations are gone.
constexpr size_t buffer_size = 1024;
char buffer[buffer_size];
size_t fill = 0;
bool terminal = false;

void write_all(const char* p, size_t n) {
  // What print left in the C library's buffer goes first, so that lines
  // keep their order on a pipe. Only when no other thread holds the stream:
  // a fault inside stdio reports through here and must not wait on itself.
  if (ftrylockfile(stdout) == 0) {
    fflush_unlocked(stdout);
    funlockfile(stdout);
  }
  while (n) {
    ssize_t done = ::write(STDOUT_FILENO, p, n);
    if (done > 0) {
      p += done;
      n -= size_t(done);
    } else if (done < 0 && errno == EINTR) {
      continue;
    } else if (done < 0 && errno == EAGAIN) {
      pollfd wait{STDOUT_FILENO, POLLOUT, 0};
      poll(&wait, 1, -1);
    } else {
      return;  // the output is gone: there is nowhere left to report that
    }
  }
}

void flush() {
  write_all(buffer, fill);
  fill = 0;
}

uint32_t unit_at(const uint8_t* p, int unit) {
  if (unit == 1) return *p;
  if (unit == 2) { uint16_t u; std::memcpy(&u, p, 2); return u; }
  uint32_t u; std::memcpy(&u, p, 4); return u;
}

// Writes the UTF-8 form of cp (U+FFFD for a surrogate or a value past
// 0x10FFFF) and answers its length.
int encode(uint32_t cp, char* out) {
  if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = 0xFFFD;
  if (cp < 0x80) { out[0] = char(cp); return 1; }
  if (cp < 0x800) {
    out[0] = char(0xC0 | cp >> 6);
    out[1] = char(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = char(0xE0 | cp >> 12);
    out[1] = char(0x80 | (cp >> 6 & 0x3F));
    out[2] = char(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = char(0xF0 | cp >> 18);
  out[1] = char(0x80 | (cp >> 12 & 0x3F));
  out[2] = char(0x80 | (cp >> 6 & 0x3F));
  out[3] = char(0x80 | (cp & 0x3F));
  return 4;
}

constexpr uint32_t ESC = 27;
constexpr int max_encoded = 4;

template <class Number>
Number print_number(const char* format, Number value) {
  char text[64];
  int n = std::snprintf(text, sizeof text, format, value);
  write_all(text, size_t(n));
  hooks::fire_list2(text, n, 0);
  return value;
}

}  // namespace

void init() { terminal = isatty(STDOUT_FILENO) == 1; }

bool terminal_q() { return terminal; }

bool last_lf = true;

bool last_lf_q() { return last_lf; }

void write(const void* text, size_t bytes, int unit, bool newline) {
  assert(unit == 1 || unit == 2 || unit == 4);
  const auto* p = static_cast<const uint8_t*>(text);
  size_t count = bytes / size_t(unit);
  for (size_t i = 0; i < count;) {
    uint32_t cp = unit_at(p + i * unit, unit);
    if (terminal && cp == ESC) {
      // Keep the sequence in one write when it fits, so that nothing written
      // to the terminal by anyone else can land inside it.
      size_t units = parse_escape(p + i * unit, (count - i) * unit, unit) / unit;
      if (units && fill + units * max_encoded > buffer_size) flush();
    }
    ++i;
    if (unit == 2 && cp >= 0xD800 && cp <= 0xDBFF && i < count) {
      uint32_t low = unit_at(p + i * unit, unit);
      if (low >= 0xDC00 && low <= 0xDFFF) {
        cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        ++i;
      }
    }
    if (fill > buffer_size - max_encoded) flush();
    fill += size_t(encode(cp, buffer + fill));
  }
  if (count) last_lf = unit_at(p + (count - 1) * unit, unit) == '\n';
  if (newline) {
    last_lf = true;
    if (fill == buffer_size) flush();
    buffer[fill++] = '\n';
  }
  flush();
}

void write_latin1(const char* text, size_t bytes) { write(text, bytes, 1, false); }
void write_latin1_line(const char* text, size_t bytes) { write(text, bytes, 1, true); }
void write_utf16(const char16_t* text, size_t bytes) { write(text, bytes, 2, false); }
void write_utf16_line(const char16_t* text, size_t bytes) { write(text, bytes, 2, true); }
void write_ucs4(const char32_t* text, size_t bytes) { write(text, bytes, 4, false); }
void write_ucs4_line(const char32_t* text, size_t bytes) { write(text, bytes, 4, true); }

const char* write_bytes(const char* text, size_t bytes) {
  write_all(text, bytes);
  hooks::fire_list2(text, int32_t(bytes), 0);
  return text;
}

const char* write_cstring(const char* text) { return write_bytes(text, std::strlen(text)); }

int32_t print_int(int32_t value) { return print_number("%i", value); }
int64_t print_int64(int64_t value) { return print_number("%lli", static_cast<long long>(value)); }
uint8_t print_byte_hex(uint8_t value) { return uint8_t(print_number("%02X", unsigned(value))); }
uint32_t print_hex(uint32_t value) { return print_number("%08X", value); }
double print_float64(double value) { return print_number("%.16g", value); }
float print_float32(float value) { return float(print_number("%.7g", double(value))); }

size_t parse_escape(const void* text, size_t bytes, int unit) {
  const auto* p = static_cast<const uint8_t*>(text);
  size_t count = bytes / size_t(unit);
  if (count < 2 || unit_at(p, unit) != ESC || unit_at(p + unit, unit) != '[') return 0;
  size_t i = 2;
  while (i < count) {
    uint32_t c = unit_at(p + i * unit, unit);
    ++i;
    if (!((c >= '0' && c <= '9') || c == ';')) break;  // the ending character
  }
  return i * size_t(unit);
}

}  // namespace kez::console

namespace kez::stdout_ {

void item(bool value) { console::write_cstring(value ? "true" : "false"); }
void item(int32_t value) { console::print_int(value); }
void item(int64_t value) { console::print_int64(value); }
void item(float value) { console::print_float32(value); }
void item(double value) { console::print_float64(value); }
void item(const char* text) { console::write_cstring(text); }
void item(hex value) { console::print_hex(value.value); }
void item(byte value) { print_byte(value.value); }

void flush_streams() { std::fflush(nullptr); }

uint8_t print_byte(uint8_t value) {
  char text[2] = {char(value), 0};
  console::write_cstring(text);
  return value;
}

const char* print_part(const char* text, size_t n) {
  return console::write_bytes(text, strnlen(text, n));
}

void print_char_literal(uint8_t value) {
  char text[10] = "#\"";
  char* p = text + 2;
  if (value == 0) {
    *p++ = '^'; *p++ = '@';
  } else if (value == 9) {
    *p++ = '^'; *p++ = '-';
  } else if (value == 10) {
    *p++ = '^'; *p++ = '/';
  } else if (value < 32) {
    *p++ = '^'; *p++ = char(value + 64);
  } else if (value < 128) {
    *p++ = char(value);
  } else {
    *p++ = '^'; *p++ = '(';
    *p++ = "0123456789ABCDEF"[value >> 4];
    *p++ = "0123456789ABCDEF"[value & 15];
    *p++ = ')';
  }
  *p++ = '"';
  *p = 0;
  console::write_cstring(text);
}

}  // namespace kez::stdout_
