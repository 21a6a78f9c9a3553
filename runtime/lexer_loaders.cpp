// Token loaders: each checks one token's text in detail and, when loading,
// builds its value in the next cell of the lexer's shared buffer. A loader
// that fails reports through throw_error with the datatype it was reading.
// Text is decoded from the input before any heap allocation, so a buffer
// moved by a collection is never read through a stale address.
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/date.h"
#include "runtime/datatypes/pair.h"
#include "runtime/datatypes/percent.h"
#include "runtime/datatypes/point.h"
#include "runtime/datatypes/time.h"
#include "runtime/datatypes/tuple.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/lexer.h"
#include "runtime/lexer_internal.h"
#include "runtime/memory.h"
#include "runtime/scan_number.h"
#include "runtime/utf.h"

namespace kez::lexer {

namespace {

bool digit_q(uint8_t c) { return c >= '0' && c <= '9'; }
int hex_value(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The next cell, typed: writes the header last so that a collection in
// between never sees a half-built value.
cell* put_value(state& s, uint32_t header, uint32_t w1, uint32_t w2, uint32_t w3) {
  cell* c = push_cell(s);
  *c = cell{header | (c->header & FLAG_NEW_LINE), w1, w2, w3};
  return c;
}
// The next cell, filled by a datatype's builder; the new-line flag survives.
template <class Build>
void put_built(state& s, Build build) {
  cell* c = push_cell(s);
  uint32_t newline = c->header & FLAG_NEW_LINE;
  build(c);
  c->header |= newline;
}

void put_double(state& s, uint32_t type, double d) {
  cell* c = put_value(s, type, 0, 0, 0);
  store_double(&c->w2, d);
}

// Decodes UTF-8 text with optional caret escapes into code points; false on
// an invalid sequence or escape.
bool decode_text(const uint8_t* in, uint32_t from, uint32_t to, bool escapes,
                 std::vector<int32_t>& out) {
  uint32_t i = from;
  while (i < to) {
    uint8_t b = in[i];
    int32_t cp;
    if (b == '^' && escapes) {
      int64_t next = decode_escape(in, i + 1, to, cp);
      if (next < 0) return false;
      i = uint32_t(next);
    } else if (b < 0x80) {
      cp = b;
      ++i;
    } else {
      const uint8_t* next = utf8::decode_char(in + i, in + to, cp);
      if (cp < 0) return false;
      i = uint32_t(next - in);
    }
    out.push_back(cp);
  }
  return true;
}

// Code points of the text being loaded; one buffer serves every loader,
// since a loader never runs inside another.
std::vector<int32_t>& scratch() {
  static std::vector<int32_t> cps;
  cps.clear();
  return cps;
}

// A new string of `type` holding the code points, unit chosen by the caller.
void put_string(state& s, const std::vector<int32_t>& cps, uint32_t unit, uint32_t type) {
  for (int32_t cp : cps) {
    if (cp > 0xFFFF) unit = 4;
    else if (cp > 0xFF && unit == 1) unit = 2;
  }
  cell* c = push_cell(s);
  uint32_t newline = c->header & FLAG_NEW_LINE;
  string::make_at_unit(c, uint32_t(cps.size()), unit);  // may collect; c stays put
  series_buffer* b = string::buffer_of(c);
  uint8_t* data = b->head_ptr();
  for (size_t i = 0; i < cps.size(); ++i) utf::put(data, int(unit), i, cps[i]);
  b->tail = b->head + uint32_t(cps.size()) * unit;
  c->header = type | newline;
}

// Replaces %XX escapes (bytes of UTF-8 text); false when the bytes are not
// UTF-8. A % not followed by two hexadecimal digits stands for itself.
bool decode_percent(std::vector<int32_t>& cps) {
  std::string bytes;
  for (size_t i = 0; i < cps.size(); ++i) {
    int32_t c = cps[i];
    if (c == '%' && i + 2 < cps.size() && cps[i + 1] < 0x80 && cps[i + 2] < 0x80 &&
        hex_value(uint8_t(cps[i + 1])) >= 0 && hex_value(uint8_t(cps[i + 2])) >= 0) {
      bytes += char(hex_value(uint8_t(cps[i + 1])) * 16 + hex_value(uint8_t(cps[i + 2])));
      i += 2;
      continue;
    }
    uint8_t buf[4];
    int n = utf8::encode_char(c, buf);
    bytes.append(reinterpret_cast<char*>(buf), size_t(n));
  }
  std::vector<int32_t> out;
  auto* p = reinterpret_cast<const uint8_t*>(bytes.data());
  if (!decode_text(p, 0, uint32_t(bytes.size()), false, out)) return false;
  cps.swap(out);
  return true;
}

uint32_t unit_from_flags(uint32_t flags) {
  return (flags & C_UTF8_4) ? 4 : (flags & C_UTF8_2) ? 2 : 1;
}

// Reads decimal digits [from, to) as an int32 with an optional sign; false
// on anything else or overflow.
bool read_int(const uint8_t* t, uint32_t from, uint32_t to, int32_t& out) {
  int32_t err;
  if (from >= to) return false;
  out = scan_integer(t + from, int32_t(to - from), 1, err);
  return err == 0;
}

// --- strings --------------------------------------------------------------

void string_token(state& s, uint32_t start, uint32_t end, uint32_t flags, bool load) {
  load_string(s, start + 1, end, flags, load, TYPE_STRING);
  s.pos = end + 1;
}

void file_token(state& s, uint32_t start, uint32_t end, uint32_t flags, bool load) {
  s.sub_type = TYPE_FILE;
  if (end > start + 1 && s.in[start + 1] == '"') {
    if (end >= s.len || s.in[end] != '"') throw_error(s, start, end, TYPE_FILE);
    load_string(s, start + 2, end, flags, load, TYPE_FILE);
    s.pos = end + 1;
    return;
  }
  std::vector<int32_t>& cps = scratch();
  if (!decode_text(s.in, start + 1, end, false, cps) || !decode_percent(cps))
    throw_error(s, start, end, TYPE_FILE);
  if (load) put_string(s, cps, unit_from_flags(flags), TYPE_FILE);
}

void url_token(state& s, uint32_t start, uint32_t end, uint32_t flags, bool load) {
  if (s.in[start] == ':') throw_error(s, start, end, TYPE_GET_WORD);
  if (s.in[start] == '\'') throw_error(s, start, end, TYPE_LIT_WORD);
  std::vector<int32_t>& cps = scratch();
  bool ok = decode_text(s.in, start, end, false, cps);
  if (ok && (flags & C_PERCENT)) ok = decode_percent(cps);
  if (!ok) throw_error(s, start, end, TYPE_URL);
  if (load) put_string(s, cps, unit_from_flags(flags), TYPE_URL);
}

void email_token(state& s, uint32_t start, uint32_t end, uint32_t flags, bool load) {
  load_string(s, start, end, flags & ~C_CARET, load, TYPE_EMAIL);
}

void tag_token(state& s, uint32_t start, uint32_t end, uint32_t flags, bool load) {
  if (s.in[start] != '<' || end >= s.len || s.in[end] != '>') throw_error(s, start, end, TYPE_TAG);
  load_string(s, start + 1, end, flags & ~C_CARET, load, TYPE_TAG);
  s.pos = end + 1;
}

void ref_token(state& s, uint32_t start, uint32_t end, uint32_t flags, bool load) {
  load_string(s, start + 1, end, flags & ~C_CARET, load, TYPE_REF);
}

// %{...}%: n leading % and a {; the string ends at the first } followed by
// n % signs. The token may end early (a } with fewer %): scan on for the end.
void raw_string_token(state& s, uint32_t start, uint32_t end, uint32_t flags, bool load) {
  uint32_t n = 0;
  while (start + n < end && s.in[start + n] == '%') ++n;
  uint32_t content = start + n + 1;
  uint32_t i = content;
  for (;; ++i) {
    if (i >= s.len) throw_error(s, start, s.len, TYPE_STRING);
    if (s.in[i] != '}') continue;
    uint32_t m = 0;
    while (i + 1 + m < s.len && s.in[i + 1 + m] == '%') ++m;
    if (m < n) continue;
    if (m > n) throw_error(s, start, i + 1 + m, TYPE_STRING);
    break;
  }
  for (uint32_t k = end; k < i; ++k)
    if (s.in[k] == '\n') ++s.line;  // bytes read past the token
  if (!load) fire_event(s, EV_OPEN, TYPE_STRING, nullptr, start, start);
  std::vector<int32_t>& cps = scratch();
  if (!decode_text(s.in, content, i, false, cps)) throw_error(s, start, i, TYPE_STRING);
  if (load) put_string(s, cps, unit_from_flags(flags), TYPE_STRING);
  else fire_event(s, EV_CLOSE, TYPE_STRING, nullptr, start, i + 1 + n);
  s.pos = i + 1 + n;
}

// --- words ----------------------------------------------------------------

void word_token(state& s, uint32_t start, uint32_t end, uint32_t, bool load) {
  uint32_t type = s.sub_type > 0 ? uint32_t(s.sub_type) : TYPE_WORD;
  uint32_t from = start, to = end;
  if (type == TYPE_GET_WORD || type == TYPE_LIT_WORD) ++from;
  if (type == TYPE_SET_WORD) --to;
  load_word_as(s, from, to, type, load);
  s.type = int32_t(type);
}

void issue_token(state& s, uint32_t start, uint32_t end, uint32_t, bool load) {
  if (end - start < 2 || s.in[start] != '#') throw_error(s, start, end, TYPE_ISSUE);
  load_word_as(s, start + 1, end, TYPE_ISSUE, load);
}

void refinement_token(state& s, uint32_t start, uint32_t end, uint32_t flags, bool load) {
  uint32_t n = end - start;
  uint8_t first = s.in[start];
  uint32_t type = TYPE_REFINEMENT;
  if (n == 1) {
    type = TYPE_WORD;
  } else if (n == 2) {
    if (first == '\'') type = TYPE_LIT_WORD;
    else if (first == ':') type = TYPE_GET_WORD;
    else if (s.in[end - 1] == ':') type = TYPE_SET_WORD;
  } else if (first != '/') {
    throw_error(s, start, end, TYPE_REFINEMENT);
  }
  if (type == TYPE_REFINEMENT) {
    load_word_as(s, start + 1, end, TYPE_REFINEMENT, load);
    s.type = TYPE_REFINEMENT;
    return;
  }
  s.sub_type = int32_t(type);
  word_token(s, start, end, flags, load);
}

// --- numbers --------------------------------------------------------------

void float_token(state& s, uint32_t start, uint32_t end, uint32_t flags, bool load);

void integer_token(state& s, uint32_t start, uint32_t end, uint32_t flags, bool load) {
  const uint8_t* t = s.in;
  uint32_t i = start;
  bool negative = false;
  if (t[i] == '-' || t[i] == '+') negative = t[i++] == '-';
  if (end - i == 1) {
    uint32_t digit = uint32_t(t[i] - '0');
    if (load) put_value(s, TYPE_INTEGER, 0, negative ? 0u - digit : digit, 0);
    return;
  }
  // Digits are counted without the sign, so that -2147483648 (ten digits)
  // stays an integer.
  uint32_t digits = 0;
  for (uint32_t k = i; k < end; ++k) {
    if (t[k] == '\'') {
      if (!(flags & C_QUOTE) || k + 1 >= end || t[k + 1] == '\'' || k == i)
        throw_error(s, start, end, TYPE_INTEGER);
      continue;
    }
    ++digits;
  }
  if (digits > 10) return float_token(s, start, end, flags, load);
  uint64_t value = 0;
  for (uint32_t k = i; k < end; ++k)
    if (t[k] != '\'') value = value * 10 + uint32_t(t[k] - '0');
  if (value > 0x7FFFFFFFu && !(negative && value == 0x80000000u))
    return float_token(s, start, end, flags, load);
  if (load) put_value(s, TYPE_INTEGER, 0, negative ? uint32_t(0u - uint32_t(value)) : uint32_t(value), 0);
}

void hex_integer_token(state& s, uint32_t start, uint32_t end, uint32_t, bool load) {
  uint32_t n = end - start - 1;  // without the h
  if (n < 2 || n > 8) {
    bool digit_first = digit_q(s.in[start]);
    throw_error(s, start, end, n < 2 && !digit_first ? TYPE_WORD : TYPE_INTEGER);
  }
  uint32_t value = 0;
  for (uint32_t k = start; k < start + n; ++k) {
    int h = hex_value(s.in[k]);
    if (h < 0) throw_error(s, start, end, TYPE_INTEGER);
    value = value << 4 | uint32_t(h);
  }
  if (load) put_value(s, TYPE_INTEGER, 0, value, 0);
}

void float_value(state& s, uint32_t start, uint32_t end, uint32_t type, bool load) {
  double d;
  if (!float_syntax_q(s.in + start, end - start) || !text_to_double(s.in + start, end - start, d))
    throw_error(s, start, end, TYPE_FLOAT);
  if (!load) return;
  if (type == TYPE_PERCENT) put_built(s, [&](cell* c) { percent::make_at(c, d / 100); });
  else put_double(s, type, d);
}

void float_token(state& s, uint32_t start, uint32_t end, uint32_t, bool load) {
  s.type = TYPE_FLOAT;
  float_value(s, start, end, TYPE_FLOAT, load);
}

void percent_token(state& s, uint32_t start, uint32_t end, uint32_t, bool load) {
  float_value(s, start, end, TYPE_PERCENT, load);
  s.pos = end + 1;
}

void special_float_token(state& s, uint32_t start, uint32_t end, uint32_t, bool load) {
  double d;
  if (!special_float(s.in, start, end, d)) throw_error(s, start, end, TYPE_FLOAT);
  if (load) put_double(s, TYPE_FLOAT, d);
}

// --- char, binary ---------------------------------------------------------

void char_token(state& s, uint32_t start, uint32_t end, uint32_t, bool load) {
  if (end - start < 3 || s.in[start] != '#' || s.in[start + 1] != '"' || end >= s.len ||
      s.in[end] != '"')
    throw_error(s, start, end, TYPE_CHAR);
  uint32_t i = start + 2;
  int32_t cp;
  if (s.in[i] == '^') {
    int64_t next = decode_escape(s.in, i + 1, end, cp);
    if (next < 0) throw_error(s, start, end, TYPE_CHAR);
    i = uint32_t(next);
  } else {
    const uint8_t* next = utf8::decode_char(s.in + i, s.in + end, cp);
    if (cp < 0) throw_error(s, start, end, TYPE_CHAR);
    i = uint32_t(next - s.in);
  }
  if (i != end || cp > 0x10FFFF) throw_error(s, start, end, TYPE_CHAR);
  s.pos = end + 1;
  if (load) put_value(s, TYPE_CHAR, 0, uint32_t(cp), 0);
}

// Decodes binary digits of a base into bytes; false on a bad digit or group.
// Stricter than the debase codecs: only tab, line feed, carriage return and
// space separate digits, and an odd hexadecimal digit is an error.
bool decode_binary(const uint8_t* t, uint32_t from, uint32_t to, int base, std::string& out) {
  static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  uint32_t acc = 0;
  int count = 0;
  bool padded = false;
  for (uint32_t i = from; i < to; ++i) {
    uint8_t c = t[i];
    if (c == '\t' || c == '\n' || c == '\r' || c == ' ') continue;
    if (c == ';') {
      while (i < to && t[i] != '\n') ++i;
      continue;
    }
    if (padded) return false;
    if (base == 2) {
      if (c != '0' && c != '1') return false;
      acc = acc << 1 | uint32_t(c - '0');
      if (++count == 8) out += char(acc), acc = 0, count = 0;
    } else if (base == 16) {
      int h = hex_value(c);
      if (h < 0) return false;
      acc = acc << 4 | uint32_t(h);
      if (++count == 2) out += char(acc), acc = 0, count = 0;
    } else {
      if (c == '=') {
        // = after two characters ends with one byte, after three with two
        if (count == 2) out += char(acc >> 4);
        else if (count == 3) out += char(acc >> 10), out += char(acc >> 2);
        else return false;
        padded = true;
        count = 0;
        // a second = may follow the first
        uint32_t k = i + 1;
        while (k < to && (t[k] == '=' || t[k] == ' ' || t[k] == '\t' || t[k] == '\r' || t[k] == '\n')) ++k;
        i = k - 1;
        continue;
      }
      const char* p = c ? std::strchr(alphabet, c) : nullptr;
      if (!p) return false;
      acc = acc << 6 | uint32_t(p - alphabet);
      if (++count == 4) {
        out += char(acc >> 16), out += char(acc >> 8), out += char(acc);
        acc = 0, count = 0;
      }
    }
  }
  return count == 0;
}

void binary_token(state& s, uint32_t start, uint32_t end, uint32_t, bool load) {
  int base = 16;
  uint32_t hash = start;
  while (s.in[hash] != '#') ++hash;
  if (hash > start) {
    int32_t b = 0;
    if (!read_int(s.in, start, hash, b) || (b != 2 && b != 16 && b != 64))
      throw_error(s, start, end, TYPE_BINARY);
    base = b;
  }
  std::string bytes;
  if (!decode_binary(s.in, hash + 2, end, base, bytes)) throw_error(s, start, end, TYPE_BINARY);
  s.pos = end + 1;
  if (!load) return;
  cell* c = push_cell(s);
  uint32_t newline = c->header & FLAG_NEW_LINE;
  binary::load_at(c, reinterpret_cast<const uint8_t*>(bytes.data()), uint32_t(bytes.size()));
  c->header |= newline;
}

// --- tuple, pair, point ---------------------------------------------------

void tuple_token(state& s, uint32_t start, uint32_t end, uint32_t, bool load) {
  int32_t bytes[12] = {};
  uint32_t count = 0, value = 0, digits = 0;
  for (uint32_t i = start; i <= end; ++i) {
    if (i == end || s.in[i] == '.') {
      if (!digits || count == 12) throw_error(s, start, end, TYPE_TUPLE);
      bytes[count++] = int32_t(value);
      value = digits = 0;
      continue;
    }
    if (!digit_q(s.in[i])) throw_error(s, start, end, TYPE_TUPLE);
    value = value * 10 + uint32_t(s.in[i] - '0');
    if (value > 255) throw_error(s, start, end, TYPE_TUPLE);
    ++digits;
  }
  if (count < 3) throw_error(s, start, end, TYPE_TUPLE);
  if (!load) return;
  put_built(s, [&](cell* c) { tuple::make_at(c, bytes, int32_t(count)); });
}

void pair_token(state& s, uint32_t start, uint32_t end, uint32_t, bool load) {
  uint32_t x = start;
  for (uint32_t i = start; i < end; ++i) {
    if (s.in[i] == '.') throw_error(s, start, end, TYPE_PAIR);
    if ((s.in[i] == 'x' || s.in[i] == 'X') && x == start) x = i;
  }
  int32_t a, b;
  if (x == start || !read_int(s.in, start, x, a) || !read_int(s.in, x + 1, end, b))
    throw_error(s, start, end, TYPE_PAIR);
  if (load) put_built(s, [&](cell* c) { pair::make_at(c, a, b); });
}

void point_token(state& s, uint32_t start, uint32_t end, uint32_t, bool load) {
  float values[3] = {};
  int n = 0;
  uint32_t from = start;
  for (uint32_t i = start; i <= end; ++i) {
    if (i < end && s.in[i] != ',') continue;
    uint32_t a = from, b = i;
    while (a < b && (s.in[a] == ' ' || s.in[a] == '\t')) ++a;
    while (b > a && (s.in[b - 1] == ' ' || s.in[b - 1] == '\t')) --b;
    uint32_t type = n >= 2 ? TYPE_POINT3D : TYPE_POINT2D;
    if (a == b || b - a > FLOAT_TEXT_MAX || n == 3) throw_error(s, start, end, type);
    double d;
    bool special = std::memchr(s.in + a, '#', b - a) != nullptr;
    bool ok = special ? special_float(s.in, a, b, d)
                      : float_syntax_q(s.in + a, b - a) && text_to_double(s.in + a, b - a, d);
    if (!ok) throw_error(s, start, end, type);
    values[n++] = float(d);
    from = i + 1;
  }
  if (n < 2) throw_error(s, start, end, TYPE_POINT2D);
  if (end >= s.len || s.in[end] != ')') throw_error(s, start, end, n == 3 ? TYPE_POINT3D : TYPE_POINT2D);
  s.pos = end + 1;
  s.entry = 0;
  s.type = n == 3 ? TYPE_POINT3D : TYPE_POINT2D;
  if (!load) return;
  int32_t lines = s.token_lines;
  s.token_lines = s.point_line;
  put_built(s, [&](cell* c) {
    if (n == 3) point3D::make_at(c, values[0], values[1], values[2]);
    else point2D::make_at(c, values[0], values[1]);
  });
  s.token_lines = lines;
}

// --- time, date, money ----------------------------------------------------

// Seconds text: digits with an optional fraction (point or comma).
bool read_seconds(const uint8_t* t, uint32_t from, uint32_t to, double& out) {
  std::string text(reinterpret_cast<const char*>(t + from), to - from);
  if (text.empty() || !digit_q(uint8_t(text[0]))) return false;
  for (char& c : text) {
    if (c == ',') c = '.';
    if (c != '.' && !digit_q(uint8_t(c))) return false;
  }
  auto* p = reinterpret_cast<const uint8_t*>(text.data());
  return float_syntax_q(p, text.size()) && text_to_double(p, text.size(), out);
}

// Parses a time [from, to); false when invalid.
bool parse_time(const uint8_t* t, uint32_t from, uint32_t to, double& seconds_out) {
  bool negative = from < to && t[from] == '-';
  uint32_t i = from + ((from < to && (t[from] == '-' || t[from] == '+')) ? 1 : 0);
  uint32_t colon = i;
  while (colon < to && digit_q(t[colon])) ++colon;
  int32_t hours, minutes;
  if (colon == i || colon >= to || t[colon] != ':' || !read_int(t, i, colon, hours)) return false;
  uint32_t m = colon + 1, k = m;
  while (k < to && digit_q(t[k])) ++k;
  if (k == m || !read_int(t, m, k, minutes)) return false;
  for (uint32_t e = from; e < to; ++e)
    if (t[e] == 'e' || t[e] == 'E') return false;
  double seconds = 0;
  bool hours_given = true;
  if (k < to) {
    if (k + 1 >= to) return false;  // a separator at the very end
    if (t[k] == '.' || t[k] == ',') {
      // mm:ss.fff: the two numbers were minutes and seconds
      if (!read_seconds(t, m, to, seconds)) return false;
      minutes = hours;
      hours = 0;
      hours_given = false;
    } else if (t[k] == ':') {
      if (!read_seconds(t, k + 1, to, seconds)) return false;
    } else {
      return false;
    }
  }
  if (seconds >= 60 || (hours_given && minutes > 59)) return false;
  double total = double(hours) * 3600 + double(minutes) * 60 + seconds;
  seconds_out = negative ? -total : total;
  return true;
}

void time_token(state& s, uint32_t start, uint32_t end, uint32_t, bool load) {
  double seconds;
  if (!parse_time(s.in, start, end, seconds)) throw_error(s, start, end, TYPE_TIME);
  if (load) put_built(s, [&](cell* c) { time::make_at(c, seconds); });
}

bool leap_q(int32_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
int32_t month_days(int32_t y, int32_t m) {
  static const int32_t days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && leap_q(y) ? 29 : days[m - 1];
}

int32_t month_by_name(const uint8_t* t, uint32_t from, uint32_t to) {
  static const char* names[] = {"january", "february", "march",     "april",   "may",      "june",
                                "july",    "august",   "september", "october", "november", "december"};
  uint32_t n = to - from;
  if (n < 3 || n > 9) return 0;
  for (int32_t m = 0; m < 12; ++m) {
    if (std::strlen(names[m]) < n) continue;
    bool same = true;
    for (uint32_t k = 0; k < n && same; ++k) {
      uint8_t c = t[from + k];
      if (c >= 'A' && c <= 'Z') c = uint8_t(c + 32);
      same = c == uint8_t(names[m][k]);
    }
    if (same) return m + 1;
  }
  return 0;
}

bool all_digits(const uint8_t* t, uint32_t from, uint32_t to) {
  if (from >= to) return false;
  for (uint32_t i = from; i < to; ++i)
    if (!digit_q(t[i])) return false;
  return true;
}

// The fields a date literal gives; week and ordinal dates name their day
// through week/weekday or yearday instead of month and day.
struct date_fields {
  int32_t year = 0, month = 1, day = 1;
  int32_t week = 0, weekday = 0, yearday = 0;
  double time = 0;
  bool has_time = false;
  int32_t zone = 0;  // minutes east of UTC
};

// A zone: Z, or a sign, hours and optional minutes (hh, hhmm or hh:mm).
bool parse_zone(const uint8_t* t, uint32_t from, uint32_t to, date_fields& f) {
  if (from == to) return true;
  if (to - from == 1 && (t[from] == 'Z' || t[from] == 'z')) return true;
  if (t[from] != '+' && t[from] != '-') return false;
  uint32_t i = from + 1;
  uint32_t colon = i;
  while (colon < to && t[colon] != ':') ++colon;
  int32_t h = 0, m = 0;
  if (colon < to) {
    if (!all_digits(t, i, colon) || !all_digits(t, colon + 1, to) || colon - i > 2 || to - colon > 3)
      return false;
    read_int(t, i, colon, h);
    read_int(t, colon + 1, to, m);
  } else {
    if (!all_digits(t, i, to) || to - i > 4) return false;
    if (to - i > 2) {
      read_int(t, i, to - 2, h);
      read_int(t, to - 2, to, m);
    } else {
      read_int(t, i, to, h);
    }
  }
  if (h > 15 || m > 59) return false;
  f.zone = t[from] == '-' ? -(h * 60 + m) : h * 60 + m;
  return true;
}

// Time and zone after a date: hh:mm[:ss[.f]] then Z or an offset.
bool parse_time_zone(const uint8_t* t, uint32_t from, uint32_t to, date_fields& f) {
  uint32_t z = from;
  while (z < to && t[z] != 'Z' && t[z] != 'z' && t[z] != '+' && (t[z] != '-' || z == from)) ++z;
  double seconds;
  if (!parse_time(t, from, z, seconds) || seconds < 0 || seconds >= 86400) return false;
  f.time = seconds;
  f.has_time = true;
  return parse_zone(t, z, to, f);
}

bool valid_date(int32_t y, int32_t m, int32_t d) {
  return m >= 1 && m <= 12 && y >= -9999 && y <= 9999 && d >= 1 && d <= month_days(y, m);
}

bool parse_date(const uint8_t* t, uint32_t from, uint32_t to, date_fields& f) {
  // Time part: after / (day-first forms) or T.
  uint32_t date_end = to;
  for (uint32_t i = from; i < to; ++i) {
    // a T between digits starts the time (month names may hold a t)
    if ((t[i] == 'T' || t[i] == 't') && i > from && digit_q(t[i - 1]) && i + 1 < to &&
        digit_q(t[i + 1])) {
      date_end = i;
      break;
    }
  }
  bool separators = false;
  for (uint32_t i = from; i < date_end; ++i) separators |= t[i] == '-' || t[i] == '/';
  if (!separators && date_end < to) {
    // basic ISO: yyyymmddThhmm[ss[.f]] then a zone
    if (date_end - from != 8 || !all_digits(t, from, date_end)) return false;
    read_int(t, from, from + 4, f.year);
    read_int(t, from + 4, from + 6, f.month);
    read_int(t, from + 6, from + 8, f.day);
    if (!valid_date(f.year, f.month, f.day)) return false;
    uint32_t i = date_end + 1, k = i;
    while (k < to && digit_q(t[k])) ++k;
    if (k - i != 4 && k - i != 6) return false;
    int32_t hh = 0, mm = 0, ss = 0;
    read_int(t, i, i + 2, hh);
    read_int(t, i + 2, i + 4, mm);
    if (k - i == 6) read_int(t, i + 4, i + 6, ss);
    double fraction = 0;
    if (k < to && t[k] == '.') {
      uint32_t f0 = k;
      ++k;
      if (k >= to || !digit_q(t[k])) return false;
      while (k < to && digit_q(t[k])) ++k;
      if (!text_to_double(t + f0, k - f0, fraction)) return false;
    }
    if (hh > 23 || mm > 59 || ss > 59) return false;
    f.time = hh * 3600.0 + mm * 60.0 + ss + fraction;
    f.has_time = true;
    return parse_zone(t, k, to, f);
  }
  uint32_t sep1 = from;
  while (sep1 < date_end && t[sep1] != '-' && t[sep1] != '/') ++sep1;
  if (sep1 >= date_end) return false;
  uint8_t sep = t[sep1];
  uint32_t sep2 = sep1 + 1;
  while (sep2 < date_end && t[sep2] != sep) ++sep2;
  // ISO week (yyyy-Www[-d]) and ordinal (yyyy-ddd) dates
  if (sep == '-' && sep1 - from == 4 && all_digits(t, from, sep1)) {
    read_int(t, from, sep1, f.year);
    if (sep1 + 1 < date_end && (t[sep1 + 1] == 'W' || t[sep1 + 1] == 'w')) {
      uint32_t w0 = sep1 + 2, w1 = w0;
      while (w1 < date_end && digit_q(t[w1])) ++w1;
      f.weekday = 1;
      if (w1 - w0 != 2 || !read_int(t, w0, w1, f.week) || f.week < 1 || f.week > 53) return false;
      if (w1 < date_end) {
        if (t[w1] != '-' || date_end - w1 != 2 || !read_int(t, w1 + 1, date_end, f.weekday) ||
            f.weekday < 1 || f.weekday > 7)
          return false;
      }
      return date_end == to || parse_time_zone(t, date_end + 1, to, f);
    }
    if (sep2 >= date_end && date_end - sep1 - 1 == 3 && all_digits(t, sep1 + 1, date_end)) {
      read_int(t, sep1 + 1, date_end, f.yearday);
      if (f.yearday < 1 || f.yearday > (leap_q(f.year) ? 366 : 365)) return false;
      return date_end == to || parse_time_zone(t, date_end + 1, to, f);
    }
  }
  if (sep2 >= date_end) return false;
  // The third field ends at the date end, or at a / that starts the time.
  uint32_t f3_end = date_end;
  for (uint32_t i = sep2 + 1; i < date_end; ++i)
    if (t[i] == '/') {
      f3_end = i;
      break;
    }
  int32_t a, c;
  if (!all_digits(t, from, sep1) || !all_digits(t, sep2 + 1, f3_end)) return false;
  if (!read_int(t, from, sep1, a) || !read_int(t, sep2 + 1, f3_end, c)) return false;
  if (all_digits(t, sep1 + 1, sep2)) {
    if (!read_int(t, sep1 + 1, sep2, f.month)) return false;
  } else {
    f.month = month_by_name(t, sep1 + 1, sep2);
    if (!f.month) return false;
  }
  if (a > 99 && c >= 0 && c <= 31) {
    f.year = a;
    f.day = c;
  } else {
    f.day = a;
    f.year = c;
    if (f3_end - (sep2 + 1) <= 2 && f.year < 100) f.year += f.year > 49 ? 1900 : 2000;
  }
  if (!valid_date(f.year, f.month, f.day)) return false;
  if (f3_end == to) return true;
  return parse_time_zone(t, f3_end + 1, to, f);
}

void date_token(state& s, uint32_t start, uint32_t end, uint32_t, bool load) {
  date_fields f;
  if (!parse_date(s.in, start, end, f)) throw_error(s, start, end, TYPE_DATE);
  if (!load) return;
  put_built(s, [&](cell* c) {
    date::make_at_fields(c, f.year, f.month, f.day, f.time, f.zone, f.has_time);
    if (f.week) {
      date::set_isoweek(c, f.week);
      date::set_weekday(c, f.weekday);
    } else if (f.yearday) {
      date::set_yearday(c, f.yearday);
    }
  });
}

void money_token(state& s, uint32_t start, uint32_t end, uint32_t, bool load) {
  money_parts parts;
  if (!money_syntax_q(s.in + start, end - start, parts)) throw_error(s, start, end, TYPE_MONEY);
  if (!load) return;
  bool known = true;
  put_built(s, [&](cell* c) { known = make_money(c, s.in + start, end - start, parts) != nullptr; });
  if (!known) {
    --s.tail;
    throw_error(s, start, end, TYPE_MONEY);
  }
}

}  // namespace

bool delimiter_q(int32_t cp) {
  switch (cp) {
    case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029: case 0x202F: case 0x205F:
    case 0x3000: case 0x180E: case 0x200B:
      return true;
    default:
      return cp >= 0x2000 && cp <= 0x200A;
  }
}

int64_t decode_escape(const uint8_t* t, size_t at, size_t end, int32_t& cp) {
  if (at >= end) return -1;
  uint8_t c = t[at];
  switch (c) {
    case '"': cp = '"'; return int64_t(at + 1);
    case '-': cp = '\t'; return int64_t(at + 1);
    case '/': cp = '\n'; return int64_t(at + 1);
    case '^': cp = '^'; return int64_t(at + 1);
    case '{': cp = '{'; return int64_t(at + 1);
    case '}': cp = '}'; return int64_t(at + 1);
    case '~': cp = 0x7F; return int64_t(at + 1);
    case '@': cp = 0; return int64_t(at + 1);
    case '[': cp = 27; return int64_t(at + 1);
    case '\\': cp = 28; return int64_t(at + 1);
    case ']': cp = 29; return int64_t(at + 1);
    case '_': cp = 31; return int64_t(at + 1);
    case '(': break;
    default:
      if (c >= 'a' && c <= 'z') cp = c - 'a' + 1;
      else if (c >= 'A' && c <= 'Z') cp = c - 'A' + 1;
      else if (c < 0x80) cp = c;
      else {
        const uint8_t* next = utf8::decode_char(t + at, t + end, cp);
        if (cp < 0) return -1;
        return next - t;
      }
      return int64_t(at + 1);
  }
  size_t close = at + 1;
  while (close < end && t[close] != ')') ++close;
  if (close >= end) return -1;
  size_t from = at + 1, n = close - from;
  static const struct { const char* name; int32_t cp; } names[] = {
      {"null", 0}, {"back", 8}, {"tab", 9}, {"line", 10}, {"page", 12}, {"esc", 27}, {"del", 127}};
  for (const auto& e : names) {
    if (std::strlen(e.name) != n) continue;
    bool same = true;
    for (size_t k = 0; k < n && same; ++k) {
      uint8_t x = t[from + k];
      if (x >= 'A' && x <= 'Z') x = uint8_t(x + 32);
      same = x == uint8_t(e.name[k]);
    }
    if (same) {
      cp = e.cp;
      return int64_t(close + 1);
    }
  }
  if (n == 0 || n > 6) return -1;
  int32_t value = 0;
  for (size_t k = from; k < close; ++k) {
    int h = hex_value(t[k]);
    if (h < 0) return -1;
    value = value << 4 | h;
  }
  // Surrogates are halves of UTF-16 pairs, not characters of a text.
  if (value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return -1;
  cp = value;
  return int64_t(close + 1);
}

void load_string(state& s, uint32_t from, uint32_t to, uint32_t flags, bool load, uint32_t type) {
  uint32_t error_type = s.sub_type > 0 ? uint32_t(s.sub_type) : type;
  if (!(flags & (C_CARET | C_UTF8_2 | C_UTF8_4))) {
    // ASCII without escapes: checked, then copied in one move
    for (uint32_t i = from; i < to; ++i)
      if (s.in[i] >= 0x80) throw_error(s, s.token_start, to, int32_t(error_type));
    if (!load) return;
    cell* c = push_cell(s);
    uint32_t newline = c->header & FLAG_NEW_LINE;
    string::make_at_unit(c, to - from, 1);
    series_buffer* b = string::buffer_of(c);
    if (to > from) std::memcpy(b->head_ptr(), s.in + from, to - from);
    b->tail = b->head + (to - from);
    c->header = type | newline;
    return;
  }
  std::vector<int32_t>& cps = scratch();
  if (!decode_text(s.in, from, to, (flags & C_CARET) != 0, cps))
    throw_error(s, s.token_start, to, int32_t(error_type));
  if (load) put_string(s, cps, unit_from_flags(flags), type);
}

uint32_t classify_word(state& s, uint32_t start, uint32_t end, uint32_t flags) {
  // The word ends before its first delimiter code point.
  uint32_t i = start;
  while (i < end) {
    if (s.in[i] < 0x80) {
      ++i;
      continue;
    }
    int32_t cp;
    const uint8_t* next = utf8::decode_char(s.in + i, s.in + end, cp);
    if (cp < 0) throw_error(s, start, end, TYPE_WORD);
    if (delimiter_q(cp)) break;
    i = uint32_t(next - s.in);
  }
  end = i;
  uint32_t type = TYPE_WORD;
  if (flags & C_COLON) {
    bool lead = s.in[start] == ':';
    bool trail = end - start > 1 && s.in[end - 1] == ':';
    for (uint32_t k = start + 1; k + 1 < end; ++k)
      if (s.in[k] == ':') throw_error(s, start, end, TYPE_WORD);
    if (lead && !trail) type = TYPE_GET_WORD;
    else if (trail && !lead) type = TYPE_SET_WORD;
    else if (lead || trail) throw_error(s, start, end, TYPE_WORD);
  }
  if (s.in[start] == '\'') {
    if (type == TYPE_SET_WORD) throw_error(s, start, end, TYPE_LIT_WORD);
    type = TYPE_LIT_WORD;
  }
  s.sub_type = int32_t(type);
  s.type = int32_t(type);
  return end;
}

void load_word_as(state& s, uint32_t start, uint32_t end, uint32_t type, bool load) {
  if (start >= end) throw_error(s, start, end, int32_t(type));
  for (uint32_t i = start; i < end;) {
    int32_t cp = s.in[i];
    if (cp < 0x80) {
      ++i;
      continue;
    }
    const uint8_t* next = utf8::decode_char(s.in + i, s.in + end, cp);
    if (cp < 0) throw_error(s, s.token_start, end, int32_t(type));
    i = uint32_t(next - s.in);
  }
  s.type = int32_t(type);
  if (!load) return;
  cell* c = push_cell(s);
  uint32_t symbol = symbol::make_from_buffer(s.in + start, end - start);
  uint32_t flags = c->header & ~FLAG_TYPE_MASK;  // the new-line flag
  word::make_at(symbol, c);
  c->header = flags | type;
}

routine loader_of(int tok) {
  static const routine loaders[36] = {
      nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
      nullptr, nullptr, nullptr,
      string_token,         // 13
      word_token,           // 14
      issue_token,          // 15
      integer_token,        // 16
      refinement_token,     // 17
      char_token,           // 18
      file_token,           // 19
      binary_token,         // 20
      percent_token,        // 21
      float_token,          // 22
      special_float_token,  // 23
      tuple_token,          // 24
      date_token,           // 25
      pair_token,           // 26
      point_token,          // 27
      time_token,           // 28
      money_token,          // 29
      tag_token,            // 30
      url_token,            // 31
      email_token,          // 32
      hex_integer_token,    // 33
      raw_string_token,     // 34
      ref_token,            // 35
  };
  return tok >= 0 && tok < 36 ? loaders[tok] : nullptr;
}

}  // namespace kez::lexer
