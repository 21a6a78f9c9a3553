// The DEFLATE inflater and the zlib and gzip readers. Huffman codes decode
// through lookup tables: a 10-bit root table indexed by the next input bits,
// whose entries for longer codes link to 5-bit second-level tables, so a
// symbol costs one or two lookups. The tables live on the stack (the fixed
// ones are built once).
#include <algorithm>
#include <bit>
#include <cstring>

#include "runtime/checksum.h"
#include "runtime/compression.h"
#include "runtime/deflate_codes.h"

namespace kez::inflate {

namespace {

using namespace deflate_codes;
using namespace compression;

static_assert(std::endian::native == std::endian::little, "the bit reader loads words little-endian");

// --- Bit reader ------------------------------------------------------------------

// Holds at least 56 bits after refill. Past the end of the input it supplies
// zero bytes and counts them in `padding`; once any of those bits is
// consumed the stream has ended early.
struct bit_reader {
  const uint8_t* in;
  const uint8_t* end;
  uint64_t bits = 0;
  uint32_t count = 0;
  size_t padding = 0;

  void refill() {
    if (end - in >= 8) {
      uint64_t word;
      std::memcpy(&word, in, 8);
      bits |= word << count;
      in += (63 - count) >> 3;
      count |= 56;
      return;
    }
    while (count <= 56) {
      uint64_t byte = 0;
      if (in < end) byte = *in++;
      else ++padding;
      bits |= byte << count;
      count += 8;
    }
  }
  uint32_t peek(uint32_t n) const { return uint32_t(bits & ((uint64_t(1) << n) - 1)); }
  void drop(uint32_t n) {
    bits >>= n;
    count -= n;
  }
  uint32_t take(uint32_t n) {
    uint32_t v = peek(n);
    drop(n);
    return v;
  }
  bool overrun() const { return padding * 8 > count; }
  // Gives back the whole bytes still held, so the input can be read bytewise
  // from the next byte boundary; false when they are not all real input.
  bool to_byte_boundary() {
    drop(count & 7);
    size_t held = count >> 3;
    if (padding > held) return false;
    in -= held - padding;
    bits = 0;
    count = 0;
    padding = 0;
    return true;
  }
};

// --- Decoding tables -------------------------------------------------------------

constexpr uint32_t ROOT_BITS = 10;
constexpr uint32_t SUB_BITS = 15 - ROOT_BITS;  // codes are at most 15 bits long
constexpr uint32_t ROOT_SIZE = 1u << ROOT_BITS;
constexpr uint32_t SUB_SIZE = 1u << SUB_BITS;

enum kind : uint8_t { LITERAL, BASE, END, LINK, INVALID };

// One table slot: the symbol's meaning and the code bits it takes. A LINK
// slot's value is the offset of its second-level table.
struct entry {
  uint16_t value;
  uint8_t kind;
  uint8_t extra : 4;  // extra bits after a length or distance symbol
  uint8_t bits : 4;   // code length (all of it, also in a second-level table)
};
static_assert(sizeof(entry) == 4);

// A complete code has at most half its symbols longer than the root, two to
// each second-level table.
constexpr size_t LITERAL_ENTRIES = ROOT_SIZE + 144 * SUB_SIZE;
constexpr size_t DISTANCE_ENTRIES = ROOT_SIZE + 16 * SUB_SIZE;
constexpr uint32_t LENGTHS_ROOT = 7;  // code-length codes are at most 7 bits long
constexpr size_t LENGTHS_ENTRIES = 1u << LENGTHS_ROOT;

entry literal_entry(int s) {
  if (s < 256) return {uint16_t(s), LITERAL, 0, 0};
  if (s == END_OF_BLOCK) return {0, END, 0, 0};
  if (s - 257 < LENGTH_SYMBOLS) return {length_base[s - 257], BASE, length_extra[s - 257], 0};
  return {0, INVALID, 0, 0};
}
entry distance_entry(int s) {
  if (s < DISTANCE_SYMBOLS) return {distance_base[s], BASE, distance_extra[s], 0};
  return {0, INVALID, 0, 0};
}
entry lengths_entry(int s) { return {uint16_t(s), LITERAL, 0, 0}; }

// Builds the decoding table of the canonical code whose symbols 0 .. n - 1
// have the given bit lengths (0: unused). Fails on an over-subscribed code
// and on an incomplete one, except a lone code of one bit when
// `lone_allowed`. A code with no symbols gives a table of INVALID slots.
bool build(entry* table, size_t capacity, uint32_t root, const uint8_t* lengths, int n,
           entry (*meaning)(int), bool lone_allowed) {
  int count[16] = {};
  for (int s = 0; s < n; ++s) ++count[lengths[s]];
  count[0] = 0;
  int left = 1;
  int max = 0;
  for (int len = 1; len <= 15; ++len) {
    left = (left << 1) - count[len];
    if (left < 0) return false;
    if (count[len]) max = len;
  }
  if (left > 0 && max > 0 && !(lone_allowed && max == 1)) return false;
  uint32_t root_size = 1u << root;
  for (uint32_t i = 0; i < root_size; ++i) table[i] = {0, INVALID, 0, 0};
  uint32_t next[16] = {};
  for (int len = 1; len <= 15; ++len) next[len] = (next[len - 1] + uint32_t(count[len - 1])) << 1;
  size_t used = root_size;
  for (int s = 0; s < n; ++s) {
    uint32_t len = lengths[s];
    if (!len) continue;
    uint32_t code = next[len]++;
    uint32_t reversed = 0;
    for (uint32_t i = 0; i < len; ++i) reversed |= ((code >> i) & 1u) << (len - 1 - i);
    entry e = meaning(s);
    e.bits = uint8_t(len);
    if (len <= root) {
      for (uint32_t i = reversed; i < root_size; i += 1u << len) table[i] = e;
      continue;
    }
    entry& link = table[reversed & (root_size - 1)];
    if (link.kind != LINK) {
      if (used + SUB_SIZE > capacity) return false;
      link = {uint16_t(used), LINK, 0, 0};
      for (uint32_t i = 0; i < SUB_SIZE; ++i) table[used + i] = {0, INVALID, 0, 0};
      used += SUB_SIZE;
    }
    entry* sub = table + link.value;
    for (uint32_t i = reversed >> root; i < SUB_SIZE; i += 1u << (len - root)) sub[i] = e;
  }
  return true;
}

// The next symbol's slot; the caller drops its bits. Needs 15 bits held.
inline entry decode(const entry* table, uint64_t bits) {
  entry e = table[bits & (ROOT_SIZE - 1)];
  if (e.kind == LINK) e = table[e.value + ((bits >> ROOT_BITS) & (SUB_SIZE - 1))];
  return e;
}

struct tables {
  entry literals[LITERAL_ENTRIES];
  entry distances[DISTANCE_ENTRIES];
};

const tables& fixed_tables() {
  static const tables fixed = [] {
    tables t;
    uint8_t lengths[288];
    for (int s = 0; s < 288; ++s) lengths[s] = uint8_t(fixed_length(s));
    build(t.literals, LITERAL_ENTRIES, ROOT_BITS, lengths, 288, literal_entry, false);
    std::fill(lengths, lengths + 32, uint8_t(5));
    build(t.distances, DISTANCE_ENTRIES, ROOT_BITS, lengths, 32, distance_entry, false);
    return t;
  }();
  return fixed;
}

// The order in which code-length code lengths are sent.
constexpr uint8_t lengths_order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Reads a dynamic block's code description into t.
int read_dynamic(bit_reader& r, tables& t) {
  r.refill();
  uint32_t hlit = r.take(5) + 257;
  uint32_t hdist = r.take(5) + 1;
  uint32_t hclen = r.take(4) + 4;
  uint8_t lengths[288 + 32] = {};
  for (uint32_t i = 0; i < hclen; ++i) {
    if (r.count < 3) r.refill();
    lengths[lengths_order[i]] = uint8_t(r.take(3));
  }
  entry lengths_table[LENGTHS_ENTRIES];
  if (!build(lengths_table, LENGTHS_ENTRIES, LENGTHS_ROOT, lengths, 19, lengths_entry, false)) return CORRUPT;
  std::fill(lengths, lengths + 19, uint8_t(0));
  uint32_t total = hlit + hdist;
  for (uint32_t i = 0; i < total;) {
    r.refill();
    entry e = lengths_table[r.peek(LENGTHS_ROOT)];
    if (e.kind == INVALID) return r.overrun() ? TRUNCATED : CORRUPT;
    r.drop(e.bits);
    uint32_t symbol = e.value;
    if (symbol < 16) {
      lengths[i++] = uint8_t(symbol);
      continue;
    }
    uint8_t value = 0;
    uint32_t repeat;
    if (symbol == 16) {
      if (i == 0) return CORRUPT;  // nothing to repeat
      value = lengths[i - 1];
      repeat = 3 + r.take(2);
    } else if (symbol == 17) {
      repeat = 3 + r.take(3);
    } else {
      repeat = 11 + r.take(7);
    }
    if (r.overrun()) return TRUNCATED;
    if (repeat > total - i) return CORRUPT;
    std::fill(lengths + i, lengths + i + repeat, value);
    i += repeat;
  }
  if (r.overrun()) return TRUNCATED;
  // Without an end-of-block code the block could never end.
  if (lengths[END_OF_BLOCK] == 0) return CORRUPT;
  if (!build(t.literals, LITERAL_ENTRIES, ROOT_BITS, lengths, int(hlit), literal_entry, true)) return CORRUPT;
  // No distance code at all is allowed: a block of literals only.
  if (!build(t.distances, DISTANCE_ENTRIES, ROOT_BITS, lengths + hlit, int(hdist), distance_entry, true))
    return CORRUPT;
  return OK;
}

// --- Output ----------------------------------------------------------------------

// Stores only below the capacity; `pos` counts every byte produced.
struct output {
  uint8_t* out;
  size_t capacity;
  size_t pos = 0;

  void literal(uint8_t b) {
    if (pos < capacity) out[pos] = b;
    ++pos;
  }
  // The caller has checked distance <= pos. Past the capacity a copy only
  // counts: its source bytes were never stored.
  void copy(uint32_t length, uint32_t distance) {
    if (pos >= capacity) {
      pos += length;
      return;
    }
    uint8_t* to = out + pos;
    const uint8_t* from = to - distance;
    if (length > capacity - pos) {
      for (size_t i = 0, n = capacity - pos; i < n; ++i) to[i] = from[i];
    } else if (distance >= length) {
      std::memcpy(to, from, length);
    } else if (distance == 1) {
      std::memset(to, *from, length);
    } else if (distance >= 8) {
      // Each 8-byte step reads only bytes already written.
      uint32_t i = 0;
      for (; i + 8 <= length; i += 8) std::memcpy(to + i, from + i, 8);
      for (; i < length; ++i) to[i] = from[i];
    } else {
      for (uint32_t i = 0; i < length; ++i) to[i] = from[i];
    }
    pos += length;
  }
};

int huffman_block(bit_reader& r, output& o, const tables& t) {
  for (;;) {
    r.refill();
    entry e = decode(t.literals, r.bits);
    if (e.kind == INVALID) return r.overrun() ? TRUNCATED : CORRUPT;
    r.drop(e.bits);
    if (e.kind == LITERAL) {
      if (r.padding && r.overrun()) return TRUNCATED;
      o.literal(uint8_t(e.value));
      continue;
    }
    if (e.kind == END) return r.overrun() ? TRUNCATED : OK;
    // 56 bits held: a length code and its extra bits leave at least 36.
    uint32_t length = e.value + r.take(e.extra);
    entry d = decode(t.distances, r.bits);
    if (d.kind == INVALID) return r.overrun() ? TRUNCATED : CORRUPT;
    r.drop(d.bits);
    uint32_t distance = d.value + r.take(d.extra);
    if (r.padding && r.overrun()) return TRUNCATED;
    if (distance > o.pos) return FAR_DISTANCE;
    o.copy(length, distance);
  }
}

int stored_block(bit_reader& r, output& o) {
  r.refill();
  r.drop(r.count & 7);
  uint32_t len = r.take(16);
  uint32_t nlen = r.take(16);
  if (!r.to_byte_boundary()) return TRUNCATED;
  if (len != (~nlen & 0xFFFF)) return CORRUPT;
  if (size_t(r.end - r.in) < len) return STORED_PAST_END;
  if (o.pos < o.capacity) std::memcpy(o.out + o.pos, r.in, std::min<size_t>(len, o.capacity - o.pos));
  o.pos += len;
  r.in += len;
  return OK;
}

int run(bit_reader& r, output& o) {
  tables dynamic;
  for (;;) {
    r.refill();
    uint32_t final = r.take(1);
    uint32_t type = r.take(2);
    if (r.overrun()) return TRUNCATED;
    int result;
    switch (type) {
      case 0: result = stored_block(r, o); break;
      case 1: result = huffman_block(r, o, fixed_tables()); break;
      case 2:
        result = read_dynamic(r, dynamic);
        if (result == OK) result = huffman_block(r, o, dynamic);
        break;
      default: return RESERVED_BLOCK;
    }
    if (result != OK) return result;
    if (final) return o.pos > o.capacity ? TOO_SMALL : OK;
  }
}

uint32_t get_le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
uint32_t get_be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }

}  // namespace

int decompress(uint8_t* out, size_t* out_size, const uint8_t* in, size_t length) {
  bit_reader r{in, in + length};
  output o{out, *out_size};
  int result = run(r, o);
  *out_size = o.pos;
  return result;
}

int zlib(uint8_t* out, size_t* out_size, const uint8_t* in, size_t length) {
  if (length < 6) return CORRUPT;
  uint32_t cmf = in[0], flg = in[1];
  if ((cmf * 256 + flg) % 31 != 0 || (cmf & 0x0F) != 8 || (cmf & 0x80) || (flg & 0x20)) return CORRUPT;
  int result = decompress(out, out_size, in + 2, length - 6);
  if (result != OK) return result;
  return checksum::adler32(out, *out_size) == get_be32(in + length - 4) ? OK : CORRUPT;
}

int gzip(uint8_t* out, size_t* out_size, const uint8_t* in, size_t length) {
  enum : uint8_t { FHCRC = 2, FEXTRA = 4, FNAME = 8, FCOMMENT = 16 };
  if (length < 18 || in[0] != 0x1F || in[1] != 0x8B || in[2] != 8 || in[3] >= 32) return CORRUPT;
  uint8_t flags = in[3];
  size_t header_end = length - 8;  // the header must end before the trailer
  size_t p = 10;
  if (flags & FEXTRA) {
    if (header_end - p < 2) return CORRUPT;  // no room for the length itself
    size_t xlen = in[p] | in[p + 1] << 8;
    if (xlen > header_end - p - 2) return CORRUPT;
    p += 2 + xlen;
  }
  for (uint8_t field : {FNAME, FCOMMENT}) {
    if (!(flags & field)) continue;
    const void* zero = std::memchr(in + p, 0, header_end - p);
    if (!zero) return CORRUPT;
    p = size_t(static_cast<const uint8_t*>(zero) - in) + 1;
  }
  if (flags & FHCRC) {
    if (header_end - p < 2) return CORRUPT;
    if ((checksum::crc32(in, p) & 0xFFFF) != uint32_t(in[p] | in[p + 1] << 8)) return CORRUPT;
    p += 2;
  }
  uint32_t size = get_le32(in + length - 4);
  // No stream of this length could produce more: the field is corrupt, and
  // believing it would ask for a buffer of up to 4 GiB.
  if (size > MAX_RATIO * length) return CORRUPT;
  if (*out_size < size) {
    *out_size = size;
    return TOO_SMALL;
  }
  int result = decompress(out, out_size, in + p, header_end - p);
  if (result == TOO_SMALL || (result == OK && *out_size != size)) return CORRUPT;
  if (result != OK) return result;
  return checksum::crc32(out, size) == get_le32(in + length - 8) ? OK : CORRUPT;
}

}  // namespace kez::inflate
