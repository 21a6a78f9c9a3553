#include "runtime/lz.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "runtime/mem.h"

namespace kez::lz {

namespace {

constexpr uint32_t BLOCK_MAX = 1u << 20;
constexpr uint32_t MATCH_MIN = 3;
constexpr uint32_t MATCH_MAX = 566;
constexpr uint32_t WINDOW = 1u << 18;  // a match starts 1 to 262,144 bytes back

// The cheapest token is a 566-byte match in 22 bits: no stream of C bytes
// produces more than 206 * C bytes.
constexpr uint64_t MOST_BYTES_PER_BYTE = 206;

// Length codes: after `zeros` zero bits and a one bit, `extra` bits are added
// to `base`; five zero bits take 9 extra bits from 52 on.
struct length_code {
  uint32_t base, extra;
};
constexpr length_code LENGTH_CODES[] = {{0, 2}, {4, 2}, {8, 2}, {12, 3}, {20, 5}};
constexpr length_code LONG_LENGTH = {52, 9};

uint32_t read32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void write32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Reads LSB first, one byte at a time, so that at the end of a block `p` is
// the first byte of the next one.
struct bit_reader {
  const uint8_t* p;
  const uint8_t* end;
  uint32_t buffer = 0;
  uint32_t count = 0;
  bool overrun = false;

  uint32_t bits(uint32_t n) {  // n <= 17
    while (count < n) {
      if (p == end) {
        overrun = true;
        return 0;
      }
      buffer |= uint32_t{*p++} << count;
      count += 8;
    }
    uint32_t v = buffer & ((1u << n) - 1);
    buffer >>= n;
    count -= n;
    return v;
  }
};

uint32_t read_length(bit_reader& in) {
  for (const length_code& c : LENGTH_CODES)
    if (in.bits(1)) return c.base + in.bits(c.extra);
  return LONG_LENGTH.base + in.bits(LONG_LENGTH.extra);
}

uint32_t read_distance(bit_reader& in) {
  uint32_t n = in.bits(4) + 2;
  return n > 2 ? (1u << n) + in.bits(n) : in.bits(3);
}

}  // namespace

uint8_t* decompress(const uint8_t* data, size_t size, uint32_t* out_size) {
  if (size < 8) return nullptr;
  const uint32_t payload = read32(data), total = read32(data + 4);
  if (payload > size - 8 || total > uint64_t{payload} * MOST_BYTES_PER_BYTE) return nullptr;
  auto* out = static_cast<uint8_t*>(mem::allocate(size_t{total} + 8));
  const uint8_t* p = data + 8;
  const uint8_t* const end = p + payload;
  uint32_t produced = 0;
  auto malformed = [out] {
    mem::free(out);
    return nullptr;
  };
  while (p < end) {
    if (end - p < 4) return malformed();
    const uint32_t block = read32(p);
    p += 4;
    if (block < 1 || block > BLOCK_MAX || block > total - produced) return malformed();
    const uint32_t start = produced, stop = produced + block;
    bit_reader in{p, end};
    while (produced < stop) {
      if (!in.bits(1)) {
        uint32_t byte = in.bits(8);
        if (in.overrun) return malformed();
        out[produced++] = static_cast<uint8_t>(byte);
        continue;
      }
      uint32_t length = read_length(in) + MATCH_MIN;
      uint32_t back = read_distance(in) + 1;
      if (in.overrun || back > produced - start || length > stop - produced) return malformed();
      // Byte by byte: the match may overlap the bytes it produces.
      uint8_t* q = out + produced;
      const uint8_t* from = q - back;
      for (uint32_t k = 0; k < length; ++k) q[k] = from[k];
      produced += length;
    }
    p = in.p;
  }
  if (out_size) *out_size = produced;
  return out;
}

void free_output(uint8_t* buffer) { mem::free(buffer); }

namespace {

constexpr uint32_t HASH3_BITS = 19, HASH4_BITS = 20;
constexpr uint32_t CHAIN_MASK = WINDOW - 1;
constexpr uint32_t CHAIN_TRIES = 256;
constexpr uint32_t FAR_MATCH3 = 65536;  // a 3-byte match further back costs more than 3 literals
constexpr uint32_t NONE = UINT32_MAX;

// Whole bytes go out as they fill; a write past the capacity sets the error.
struct bit_writer {
  uint8_t* out;
  size_t capacity;
  size_t pos;
  uint64_t buffer = 0;
  uint32_t count = 0;
  bool full = false;

  void byte(uint8_t b) {
    if (pos >= capacity) {
      full = true;
      return;
    }
    out[pos++] = b;
  }
  void bits(uint32_t value, uint32_t n) {
    buffer |= uint64_t{value} << count;
    count += n;
    for (; count >= 8; count -= 8, buffer >>= 8) byte(static_cast<uint8_t>(buffer));
  }
  void pad() {  // zero bits up to the next byte boundary
    if (count > 0) bits(0, 8 - count);
  }
  void word(uint32_t v) {
    for (int i = 0; i < 4; ++i) byte(static_cast<uint8_t>(v >> (8 * i)));
  }
};

void write_match(bit_writer& out, uint32_t length, uint32_t back) {
  out.bits(1, 1);
  uint32_t l = length - MATCH_MIN;
  length_code code = LONG_LENGTH;
  uint32_t zeros = 5;
  for (uint32_t i = 0; i < 5; ++i)
    if (l < LENGTH_CODES[i].base + (1u << LENGTH_CODES[i].extra)) {
      code = LENGTH_CODES[i];
      zeros = i;
      break;
    }
  if (zeros < 5)
    out.bits(1u << zeros, zeros + 1);
  else
    out.bits(0, 5);
  out.bits(l - code.base, code.extra);
  uint32_t d = back - 1;
  if (d < 8) {
    out.bits(0, 4);
    out.bits(d, 3);
  } else {
    uint32_t n = std::bit_width(d) - 1;  // fewest bits: d = 2^n + n extra bits
    out.bits(n - 2, 4);
    out.bits(d - (1u << n), n);
  }
}

// Index of earlier positions of the current block: the latest position of
// each 3-byte hash, and chains of positions per 4-byte hash. Entries hold
// (absolute position + 1), so that everything at or below the block's start
// reads as empty: starting a block empties the index without touching it.
struct match_index {
  uint32_t* head3;
  uint32_t* head4;
  uint32_t* chain;
  const uint8_t* data;  // the block, followed by MATCH_MAX readable spare bytes
  uint32_t base = 0;    // absolute position of the block's first byte

  static uint32_t hash3(const uint8_t* p) {
    return ((uint32_t{p[0]} << 14) + (uint32_t{p[1]} << 7) + p[2]) & ((1u << HASH3_BITS) - 1);
  }
  static uint32_t hash4(const uint8_t* p) {
    return ((uint32_t{p[0]} << 15) + (uint32_t{p[1]} << 10) + (uint32_t{p[2]} << 5) + p[3]) &
           ((1u << HASH4_BITS) - 1);
  }
  uint32_t tag(uint32_t pos) const { return base + pos + 1; }
  // The block position of an entry, or NONE when it is empty.
  uint32_t position(uint32_t entry) const { return entry > base ? entry - base - 1 : NONE; }

  void insert(uint32_t pos) {
    head3[hash3(data + pos)] = tag(pos);
    uint32_t& head = head4[hash4(data + pos)];
    chain[pos & CHAIN_MASK] = head;
    head = tag(pos);
  }
  uint32_t extend(uint32_t from, uint32_t pos, uint32_t limit) const {
    uint32_t n = 0;
    while (n < limit && data[from + n] == data[pos + n]) ++n;
    return n;
  }
};

bool in_window(uint32_t candidate, uint32_t pos) {
  return candidate != NONE && pos - candidate <= WINDOW;
}

void compress_block(bit_writer& out, match_index& index, uint32_t size) {
  const uint8_t* data = index.data;
  for (uint32_t pos = 0; pos < size && !out.full;) {
    const uint32_t limit = std::min(MATCH_MAX, size - pos);
    uint32_t best = 2, best_back = 0;
    if (limit >= MATCH_MIN) {
      uint32_t c = index.position(index.head3[match_index::hash3(data + pos)]);
      if (in_window(c, pos)) {
        uint32_t n = index.extend(c, pos, limit);
        if (n > best) {
          best = n;
          best_back = pos - c;
        }
      }
      c = index.position(index.head4[match_index::hash4(data + pos)]);
      for (uint32_t tries = CHAIN_TRIES; best < limit && tries > 0 && in_window(c, pos); --tries) {
        if (data[c + best] == data[pos + best] && data[c] == data[pos]) {
          uint32_t n = index.extend(c, pos, limit);
          uint32_t back = pos - c;
          // A further match must be longer by one byte per factor of 8 in distance.
          uint32_t penalty = 0;
          for (uint32_t x = back / 16; x > best_back; x >>= 3) ++penalty;
          if (n > best + penalty) {
            best = n;
            best_back = back;
          }
        }
        c = index.position(index.chain[c & CHAIN_MASK]);
      }
    }
    if (best == MATCH_MIN && best_back > FAR_MATCH3) best = 2;
    uint32_t step = 1;
    if (best >= MATCH_MIN) {
      write_match(out, best, best_back);
      step = best;
    } else {
      out.bits(0, 1);
      out.bits(data[pos], 8);
    }
    for (uint32_t end = pos + step; pos < end; ++pos) index.insert(pos);
  }
  out.pad();
}

}  // namespace

int32_t compress(const uint8_t* in, uint32_t length, uint8_t* out) {
  if (length < 128) return -1;
  // The answer is 32-bit signed: a larger result counts as not fitting.
  bit_writer writer{out, std::min<size_t>(length - 8, INT32_MAX), 8};
  auto* work = static_cast<uint8_t*>(mem::allocate(std::min(BLOCK_MAX, length) + MATCH_MAX));
  auto* tables = static_cast<uint32_t*>(
      mem::allocate_zeroed(((size_t{1} << HASH3_BITS) + (size_t{1} << HASH4_BITS) + WINDOW) * 4));
  match_index index{tables, tables + (size_t{1} << HASH3_BITS),
                    tables + (size_t{1} << HASH3_BITS) + (size_t{1} << HASH4_BITS), work};
  for (uint32_t done = 0; done < length && !writer.full;) {
    const uint32_t size = std::min(BLOCK_MAX, length - done);
    index.base = done;
    std::memcpy(work, in + done, size);
    std::memset(work + size, 0, MATCH_MAX);  // the hashes read a little past the end
    writer.word(size);
    compress_block(writer, index, size);
    done += size;
  }
  mem::free(tables);
  mem::free(work);
  if (writer.full) return -1;
  write32(out, static_cast<uint32_t>(writer.pos - 8));
  write32(out + 4, length);
  return static_cast<int32_t>(writer.pos);
}

}  // namespace kez::lz
