// The text codecs of binary!: bases 2, 16, 58 and 64. Decoders read code
// points, skip white space and ";" comments (to the line feed), and answer
// null for invalid text; they decode into private memory first and make the
// binary last, so the source text may lie in a buffer that then moves.
#include <cstring>
#include <vector>

#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/string.h"
#include "runtime/mem.h"

namespace kez::binary {

namespace {

using bytes_t = std::vector<uint8_t>;

const char HEX[] = "0123456789ABCDEF";
const char B58[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
const char B64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Digit tables over code points 0-127.
constexpr uint8_t SKIP = 0x40, BAD = 0x80;

struct table {
  uint8_t v[128];
};

bool skipped_58_64(int c) { return c == 8 || c == 9 || c == 10 || c == 12 || c == 13 || c == ' ' || c == '\''; }

table make_table(const char* alphabet) {
  table t;
  for (int c = 0; c < 128; ++c) t.v[c] = skipped_58_64(c) ? SKIP : BAD;
  for (int i = 0; alphabet[i]; ++i) t.v[uint8_t(alphabet[i])] = uint8_t(i);
  return t;
}

const table& table_58() {
  static const table t = make_table(B58);
  return t;
}

const table& table_64() {
  static const table t = [] {
    table t = make_table(B64);
    t.v['='] = 0;
    return t;
  }();
  return t;
}

int hex_digit(int c) {
  return c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10 : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// A cursor over code points of one unit width.
struct reader {
  const uint8_t* p;
  uint32_t count, unit, i = 0;
  bool done() const { return i >= count; }
  int32_t next() { return string::get_char(p + (i++) * unit, unit); }
  // The next character outside ";" comments (which run to a line feed);
  // false at the end of the text.
  bool next_char(int32_t& c) {
    while (!done()) {
      c = next();
      if (c != ';') return true;
      while (!done() && next() != 10) {
      }
    }
    return false;
  }
};

cell* result(cell* target, const bytes_t& bytes) {
  return load_at(target, bytes.data(), uint32_t(bytes.size()));
}

}  // namespace

// --- Encoders ---------------------------------------------------------------------

uint8_t* encode_2(uint8_t* out, const uint8_t* bytes, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i)
    for (int bit = 7; bit >= 0; --bit) *out++ = uint8_t('0' + ((bytes[i] >> bit) & 1));
  return out;
}

uint8_t* encode_16(uint8_t* out, const uint8_t* bytes, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) {
    *out++ = uint8_t(HEX[bytes[i] >> 4]);
    *out++ = uint8_t(HEX[bytes[i] & 15]);
  }
  return out;
}

uint8_t* encode_58(uint8_t* out, const uint8_t* bytes, uint32_t n) {
  uint32_t zeros = 0;
  while (zeros < n && bytes[zeros] == 0) ++zeros;
  for (uint32_t i = 0; i < zeros; ++i) *out++ = '1';
  uint32_t rest = n - zeros;
  if (rest == 0) return out;
  // Repeated long division by 58 of a scratch copy; digits come out least
  // significant first into the end of a 2n area (log 256 / log 58 < 2).
  uint8_t* scratch = static_cast<uint8_t*>(mem::allocate(rest + 2 * size_t(rest)));
  uint8_t* number = scratch;
  uint8_t* digits = scratch + rest;
  std::memcpy(number, bytes + zeros, rest);
  uint32_t start = 0, d = 2 * rest;
  while (start < rest) {
    uint32_t remainder = 0;
    for (uint32_t i = start; i < rest; ++i) {
      uint32_t acc = remainder * 256 + number[i];
      number[i] = uint8_t(acc / 58);
      remainder = acc % 58;
    }
    digits[--d] = uint8_t(B58[remainder]);
    while (start < rest && number[start] == 0) ++start;
  }
  uint32_t length = 2 * rest - d;
  std::memcpy(out, digits + d, length);
  mem::free(scratch);
  return out + length;
}

uint8_t* encode_64(uint8_t* out, const uint8_t* bytes, uint32_t n) {
  uint32_t i = 0;
  for (; i + 3 <= n; i += 3) {
    uint32_t v = uint32_t(bytes[i]) << 16 | uint32_t(bytes[i + 1]) << 8 | bytes[i + 2];
    for (int shift = 18; shift >= 0; shift -= 6) *out++ = uint8_t(B64[(v >> shift) & 63]);
  }
  if (n - i == 1) {
    uint32_t v = uint32_t(bytes[i]) << 16;
    *out++ = uint8_t(B64[v >> 18]);
    *out++ = uint8_t(B64[(v >> 12) & 63]);
    *out++ = '=';
    *out++ = '=';
  } else if (n - i == 2) {
    uint32_t v = uint32_t(bytes[i]) << 16 | uint32_t(bytes[i + 1]) << 8;
    *out++ = uint8_t(B64[v >> 18]);
    *out++ = uint8_t(B64[(v >> 12) & 63]);
    *out++ = uint8_t(B64[(v >> 6) & 63]);
    *out++ = '=';
  }
  return out;
}

// --- Decoders ---------------------------------------------------------------------

cell* decode_2(const uint8_t* text, uint32_t count, uint32_t unit, cell* target) {
  reader r{text, count, unit};
  bytes_t out;
  out.reserve(count / 8);
  uint32_t bits = 0, acc = 0;
  int32_t c;
  while (r.next_char(c)) {
    if (c >= 0 && c <= 32) continue;
    if (c != '0' && c != '1') return nullptr;
    acc = acc << 1 | uint32_t(c - '0');
    if (++bits % 8 == 0) out.push_back(uint8_t(acc));
  }
  if (bits % 8) return nullptr;
  return result(target, out);
}

cell* decode_16(const uint8_t* text, uint32_t count, uint32_t unit, cell* target) {
  reader r{text, count, unit};
  bytes_t out;
  out.reserve(count / 2);
  int high = -1;
  int32_t c;
  while (r.next_char(c)) {
    if (c >= 0 && c <= 32) continue;
    // Only ASCII digits count: a wider code point is never a hex digit.
    int d = c >= 0 && c < 128 ? hex_digit(c) : -1;
    if (d < 0) return nullptr;
    if (high < 0) {
      high = d;
    } else {
      out.push_back(uint8_t(high << 4 | d));
      high = -1;
    }
  }
  return result(target, out);  // a final odd digit is dropped
}

cell* decode_58(const uint8_t* text, uint32_t count, uint32_t unit, cell* target) {
  reader r{text, count, unit};
  const table& t = table_58();
  bytes_t number;  // big-endian, grown as digits arrive
  uint32_t zeros = 0;
  bool leading = true;
  int32_t c;
  while (r.next_char(c)) {
    if (c < 0 || c > 127) break;  // the input ends at a character above 127
    uint8_t v = t.v[c];
    if (v == SKIP) continue;
    if (v == BAD) return nullptr;
    if (leading && v == 0) {
      ++zeros;
      continue;
    }
    leading = false;
    uint32_t carry = v;
    for (size_t i = number.size(); i-- > 0;) {
      carry += uint32_t(number[i]) * 58;
      number[i] = uint8_t(carry);
      carry >>= 8;
    }
    while (carry) {
      number.insert(number.begin(), uint8_t(carry));
      carry >>= 8;
    }
  }
  bytes_t out(zeros, 0);
  out.insert(out.end(), number.begin(), number.end());
  return result(target, out);
}

cell* decode_64(const uint8_t* text, uint32_t count, uint32_t unit, cell* target) {
  reader r{text, count, unit};
  const table& t = table_64();
  bytes_t out;
  out.reserve((uint64_t(count) + 3) * 3 / 4);
  uint32_t acc = 0, digits = 0;
  int32_t c;
  while (r.next_char(c)) {
    if (c < 0 || c > 127) return nullptr;  // nothing outside the table is a digit
    uint8_t v = t.v[c];
    if (v == SKIP) continue;
    if (v == BAD) return nullptr;
    if (c == '=') {
      // Padding ends the text: what the digits so far complete is kept.
      if (digits == 3) {
        out.push_back(uint8_t(acc >> 10));
        out.push_back(uint8_t(acc >> 2));
      } else if (digits == 2) {
        out.push_back(uint8_t(acc >> 4));
      } else {
        return nullptr;
      }
      return result(target, out);
    }
    acc = acc << 6 | v;
    if (++digits == 4) {
      out.push_back(uint8_t(acc >> 16));
      out.push_back(uint8_t(acc >> 8));
      out.push_back(uint8_t(acc));
      acc = 0;
      digits = 0;
    }
  }
  return result(target, out);  // digits left over without padding are dropped
}

}  // namespace kez::binary
