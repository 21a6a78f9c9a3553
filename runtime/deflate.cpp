// The DEFLATE compressor: one pass of hash-chain matching with one step of
// lazy evaluation, coded as a single final block with the fixed Huffman
// codes; when that would come out larger than the input kept in stored
// blocks, the stored form is written instead. Then the zlib and gzip
// containers.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "runtime/checksum.h"
#include "runtime/compression.h"
#include "runtime/deflate_codes.h"

namespace kez::deflate {

namespace {

using namespace deflate_codes;
using compression::OK;
using compression::TOO_SMALL;
using compression::CORRUPT;

static_assert(std::endian::native == std::endian::little, "the bit writer stores words little-endian");

// --- Fixed codes -----------------------------------------------------------------

// A code ready to write: bits in stream order (LSB first) and their count.
struct code {
  uint32_t bits;
  uint32_t count;
};

constexpr uint32_t reverse_bits(uint32_t value, int n) {
  uint32_t r = 0;
  for (int i = 0; i < n; ++i) r |= ((value >> i) & 1u) << (n - 1 - i);
  return r;
}

// The fixed literal/length code of each symbol (RFC 1951 3.2.6), reversed
// because Huffman codes go out most significant bit first.
constexpr std::array<code, 288> make_literal_codes() {
  std::array<code, 288> t{};
  for (int s = 0; s < 288; ++s) {
    uint32_t value = s < 144 ? 0x30 + s : s < 256 ? 0x190 + (s - 144) : s < 280 ? s - 256 : 0xC0 + (s - 280);
    int n = fixed_length(s);
    t[s] = {reverse_bits(value, n), uint32_t(n)};
  }
  return t;
}
constexpr auto literal_codes = make_literal_codes();

// Each match length (3-258) as its symbol's code followed by its extra bits.
constexpr std::array<code, MAX_MATCH + 1> make_length_codes() {
  std::array<code, MAX_MATCH + 1> t{};
  int s = 0;
  for (int len = MIN_MATCH; len <= MAX_MATCH; ++len) {
    // 258 has a symbol of its own (285), though 284's range would reach it.
    while (s + 1 < LENGTH_SYMBOLS && length_base[s + 1] <= len) ++s;
    code c = literal_codes[257 + s];
    t[len] = {c.bits | uint32_t(len - length_base[s]) << c.count, c.count + length_extra[s]};
  }
  return t;
}
constexpr auto length_codes = make_length_codes();

// The distance symbol of distance d: dist_symbol[d - 1] below 257, else
// dist_symbol[256 + ((d - 1) >> 7)] (the symbols past 256 span 128 or more).
constexpr std::array<uint8_t, 512> make_distance_symbols() {
  std::array<uint8_t, 512> t{};
  for (int s = 0; s < DISTANCE_SYMBOLS; ++s) {
    for (int d = distance_base[s]; d < distance_base[s] + (1 << distance_extra[s]) && d <= WINDOW; ++d) {
      if (d <= 256) t[d - 1] = uint8_t(s);
      else t[256 + ((d - 1) >> 7)] = uint8_t(s);
    }
  }
  return t;
}
constexpr auto distance_symbols = make_distance_symbols();

inline code distance_code(uint32_t d) {
  uint32_t s = d <= 256 ? distance_symbols[d - 1] : distance_symbols[256 + ((d - 1) >> 7)];
  return {reverse_bits(s, 5) | (d - distance_base[s]) << 5, 5u + distance_extra[s]};
}

// --- Bit writer ------------------------------------------------------------------

// Stores bytes only below the capacity but always advances, so `pos` ends as
// the exact size of the stream.
struct bit_writer {
  uint8_t* out;
  size_t capacity;
  size_t pos = 0;
  uint64_t bits = 0;
  uint32_t count = 0;

  void byte(uint8_t b) {
    if (pos < capacity) out[pos] = b;
    ++pos;
  }
  // At most 32 bits at a time.
  void put(uint32_t value, uint32_t n) {
    bits |= uint64_t(value) << count;
    count += n;
    if (count >= 32) {
      uint32_t word = uint32_t(bits);
      if (pos + 4 <= capacity) {
        std::memcpy(out + pos, &word, 4);
        pos += 4;
      } else {
        for (int i = 0; i < 4; ++i) byte(uint8_t(word >> (8 * i)));
      }
      bits >>= 32;
      count -= 32;
    }
  }
  // Zero bits up to the byte boundary.
  void flush() {
    for (; count > 0; count = count > 8 ? count - 8 : 0) {
      byte(uint8_t(bits));
      bits >>= 8;
    }
    bits = 0;
  }
};

// --- Matching ----------------------------------------------------------------------

constexpr int MAX_HASH_BITS = 15;
constexpr uint32_t WINDOW_MASK = WINDOW - 1;
constexpr int MAX_CHAIN = 32;     // candidates tried per position
constexpr int GOOD_LENGTH = 8;    // a previous match this long quarters the search
constexpr int MAX_LAZY = 16;      // a previous match this long is taken without looking further
constexpr int NICE_LENGTH = 64;  // a match this long ends the search
constexpr uint32_t TOO_FAR = 4096;  // a 3-byte match farther than this costs more than literals

// Hash chains: head holds the latest position + 1 of each hash (0: none),
// prev the distance from a position back to the previous one with the same
// hash (0: none or out of the window). Every candidate is checked against
// the input, so a stale entry can only cost time, never a wrong match.
struct matcher {
  uint32_t head[1 << MAX_HASH_BITS];
  uint16_t prev[WINDOW];
  const uint8_t* in;
  size_t length;
  uint32_t shift;

  matcher(const uint8_t* input, size_t n) : in(input), length(n) {
    // Small inputs clear a small table.
    int bits = 8;
    while (bits < MAX_HASH_BITS && (size_t(1) << bits) < n) ++bits;
    shift = 32 - bits;
    std::memset(head, 0, sizeof(head[0]) << bits);
  }

  uint32_t hash(size_t p) const {
    uint32_t x = uint32_t(in[p]) | uint32_t(in[p + 1]) << 8 | uint32_t(in[p + 2]) << 16;
    return (x * 0x9E3779B1u) >> shift;
  }

  // Records p (which has three bytes) as the latest position of its hash.
  void insert(size_t p) {
    uint32_t h = hash(p);
    size_t last = size_t(head[h]) - 1;
    prev[p & WINDOW_MASK] = head[h] && last < p && p - last <= WINDOW ? uint16_t(p - last) : 0;
    head[h] = uint32_t(p + 1);
  }

  // The length of the common prefix of a and b, at most limit.
  static size_t common(const uint8_t* a, const uint8_t* b, size_t limit) {
    size_t n = 0;
    while (n + 8 <= limit) {
      uint64_t x, y;
      std::memcpy(&x, a + n, 8);
      std::memcpy(&y, b + n, 8);
      if (uint64_t diff = x ^ y) return n + size_t(std::countr_zero(diff) >> 3);
      n += 8;
    }
    while (n < limit && a[n] == b[n]) ++n;
    return n;
  }

  // The longest match at p (three bytes or more) that beats `better_than`,
  // nearest first among equals; 0 when there is none.
  uint32_t longest(size_t p, uint32_t better_than, uint32_t* distance) const {
    size_t limit = std::min<size_t>(MAX_MATCH, length - p);
    size_t best = std::max<uint32_t>(better_than, MIN_MATCH - 1);
    if (best >= limit) return 0;
    uint32_t h = head[hash(p)];
    if (!h) return 0;
    int chain = better_than >= GOOD_LENGTH ? MAX_CHAIN / 4 : MAX_CHAIN;
    size_t found = 0;
    size_t candidate = h - 1;
    const uint8_t* here = in + p;
    while (candidate < p && p - candidate <= WINDOW) {
      const uint8_t* there = in + candidate;
      if (there[best] == here[best] && there[0] == here[0]) {
        size_t n = common(there, here, limit);
        if (n > best) {
          best = n;
          found = p - candidate;
          if (n >= NICE_LENGTH || n == limit) break;
        }
      }
      if (--chain == 0) break;
      uint16_t step = prev[candidate & WINDOW_MASK];
      if (!step || step > candidate) break;
      candidate -= step;
    }
    if (!found || (best == MIN_MATCH && found > TOO_FAR)) return 0;
    *distance = uint32_t(found);
    return uint32_t(best);
  }
};

void literal(bit_writer& w, uint8_t b) { w.put(literal_codes[b].bits, literal_codes[b].count); }

void match(bit_writer& w, uint32_t length, uint32_t distance) {
  code l = length_codes[length];
  code d = distance_code(distance);
  w.put(l.bits | d.bits << l.count, l.count + d.count);  // at most 13 + 18 bits
}

// The fixed-code block; answers its size (written only below the capacity).
size_t fixed_block(uint8_t* out, size_t capacity, const uint8_t* in, size_t length) {
  bit_writer w{out, capacity};
  w.put(0b011, 3);  // BFINAL 1, BTYPE 01
  matcher m(in, length);
  // The first three bytes always go out as literals, so the shortest
  // streams keep one shape whatever the matcher finds.
  size_t p = 0;
  uint32_t held = 0, held_distance = 0;  // the match found at p - 1
  bool pending = false;                  // the byte at p - 1 is not coded yet
  while (p < length) {
    bool has_three = length - p >= MIN_MATCH;
    uint32_t found = 0, distance = 0;
    if (p >= 3 && has_three && held < MAX_LAZY) found = m.longest(p, held, &distance);
    if (has_three) m.insert(p);
    if (held >= MIN_MATCH && found <= held) {
      // The match at p - 1 is at least as good as the one here: take it.
      match(w, held, held_distance);
      size_t end = p - 1 + held;
      for (++p; p < end; ++p)
        if (length - p >= MIN_MATCH) m.insert(p);
      held = 0;
      pending = false;
      continue;
    }
    if (pending) literal(w, in[p - 1]);
    held = found;
    held_distance = distance;
    pending = true;
    ++p;
  }
  if (pending) {
    if (held >= MIN_MATCH) match(w, held, held_distance);
    else literal(w, in[length - 1]);
  }
  w.put(0, 7);  // end of block
  w.flush();
  return w.pos;
}

constexpr size_t STORED_MAX = 65535;

size_t stored_size(size_t length) {
  size_t blocks = length == 0 ? 1 : (length + STORED_MAX - 1) / STORED_MAX;
  return length + 5 * blocks;
}

// Stored blocks of at most 65,535 bytes; out holds stored_size(length).
void stored_blocks(uint8_t* out, const uint8_t* in, size_t length) {
  size_t done = 0;
  do {
    size_t n = std::min(length - done, STORED_MAX);
    *out++ = done + n == length ? 1 : 0;  // BFINAL, BTYPE 00, padding
    out[0] = uint8_t(n);
    out[1] = uint8_t(n >> 8);
    out[2] = uint8_t(~n);
    out[3] = uint8_t(~n >> 8);
    if (n) std::memcpy(out + 4, in + done, n);
    out += 4 + n;
    done += n;
  } while (done < length);
}

void put_be32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (24 - 8 * i));
}
void put_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

// Compresses into the middle of a container: `before` header bytes and
// `after` trailer bytes around the stream. Answers OK with *out_size the
// whole size, or TOO_SMALL with the whole size needed.
int contained(uint8_t* out, size_t* out_size, const uint8_t* in, size_t length, size_t before, size_t after) {
  size_t room = *out_size - before - after;
  size_t n = room;
  int r = compress(out + before, &n, in, length);
  *out_size = n + before + after;
  return r;
}

}  // namespace

int compress(uint8_t* out, size_t* out_size, const uint8_t* in, size_t length) {
  size_t capacity = *out_size;
  size_t fixed = fixed_block(out, capacity, in, length);
  size_t stored = stored_size(length);
  if (stored < fixed) {
    *out_size = stored;
    if (stored > capacity) return TOO_SMALL;
    stored_blocks(out, in, length);
    return OK;
  }
  *out_size = fixed;
  return fixed > capacity ? TOO_SMALL : OK;
}

int zlib(uint8_t* out, size_t* out_size, const uint8_t* in, size_t length) {
  if (*out_size < compression::ZLIB_MINIMUM) {
    *out_size = length + compression::ZLIB_MINIMUM;
    return CORRUPT;
  }
  int r = contained(out, out_size, in, length, 2, 4);
  if (r != OK) return r;
  out[0] = 0x78;  // deflate, 32 KiB window
  out[1] = 0x01;  // no dictionary; (0x78 * 256 + 0x01) is a multiple of 31
  put_be32(out + *out_size - 4, checksum::adler32(in, length));
  return OK;
}

int gzip(uint8_t* out, size_t* out_size, const uint8_t* in, size_t length) {
  if (*out_size < compression::GZIP_MINIMUM) {
    *out_size = length + compression::GZIP_MINIMUM;
    return CORRUPT;
  }
  int r = contained(out, out_size, in, length, 10, 8);
  if (r != OK) return r;
  static constexpr uint8_t header[10] = {0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 4, 4};  // no flags, no time
  std::memcpy(out, header, sizeof header);
  put_le32(out + *out_size - 8, checksum::crc32(in, length));
  put_le32(out + *out_size - 4, uint32_t(length));
  return OK;
}

}  // namespace kez::deflate
