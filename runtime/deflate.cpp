// The DEFLATE compressor: one pass of hash-chain matching with one step of
// lazy evaluation; every 16,384 symbols a block is written in the cheapest
// of its forms (the fixed codes, codes built for it, or stored), so text
// shrinks as with dynamic codes and noise grows by block headers only. Then
// the zlib and gzip containers.
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

// --- Symbols ---------------------------------------------------------------------

constexpr int LITERAL_CODES = 286;  // 0-255 bytes, 256 end of block, 257-285 lengths
constexpr int LENGTH_CODES = 19;    // the code of the code lengths

// The symbol (0-28) of each match length (3-258).
constexpr std::array<uint8_t, MAX_MATCH + 1> make_length_symbols() {
  std::array<uint8_t, MAX_MATCH + 1> t{};
  int s = 0;
  for (int len = MIN_MATCH; len <= MAX_MATCH; ++len) {
    // 258 has a symbol of its own (28), though 27's range would reach it.
    while (s + 1 < LENGTH_SYMBOLS && length_base[s + 1] <= len) ++s;
    t[len] = uint8_t(s);
  }
  return t;
}
constexpr auto length_symbols = make_length_symbols();

// The distance symbol of distance d: d - 1 below 256, else 256 + ((d - 1) >> 7)
// (the symbols past 256 each span 128 or more).
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

inline uint32_t distance_symbol(uint32_t d) {
  return d <= 256 ? distance_symbols[d - 1] : distance_symbols[256 + ((d - 1) >> 7)];
}

// A canonical Huffman code ready to write: each symbol's code reversed
// (codes go out most significant bit first) and its length.
struct code_table {
  uint16_t code[LITERAL_CODES + 2];
  uint8_t length[LITERAL_CODES + 2];

  void assign(const uint8_t* lengths, int n) {
    uint32_t count[16] = {}, next[16] = {};
    for (int s = 0; s < n; ++s) ++count[lengths[s]];
    count[0] = 0;
    for (int len = 1; len < 16; ++len) next[len] = (next[len - 1] + count[len - 1]) << 1;
    for (int s = 0; s < n; ++s) {
      uint32_t len = lengths[s], c = len ? next[len]++ : 0, r = 0;
      for (uint32_t i = 0; i < len; ++i) r |= ((c >> i) & 1u) << (len - 1 - i);
      code[s] = uint16_t(r);
      length[s] = uint8_t(len);
    }
  }
};

// The fixed codes (RFC 1951 3.2.6): literals and lengths, then distances.
struct fixed_codes {
  code_table literals, distances;
  fixed_codes() {
    uint8_t lengths[288];
    for (int s = 0; s < 288; ++s) lengths[s] = uint8_t(fixed_length(s));
    literals.assign(lengths, 288);  // 286 and 287 are never sent but take their place in the code
    std::fill(lengths, lengths + DISTANCE_SYMBOLS, uint8_t(5));
    distances.assign(lengths, DISTANCE_SYMBOLS);
  }
};
const fixed_codes fixed;

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

// --- Huffman codes ---------------------------------------------------------------

// Depths of the Huffman tree of the used symbols (f > 0, at least two);
// answers the deepest. Leaves sorted by weight and the internal nodes, which
// are made in order of weight, are two queues to merge from.
int tree_depths(const uint32_t* f, int n, uint8_t* lengths) {
  uint16_t leaf[LITERAL_CODES];
  int m = 0;
  for (int s = 0; s < n; ++s) {
    lengths[s] = 0;
    if (f[s]) leaf[m++] = uint16_t(s);
  }
  std::sort(leaf, leaf + m, [f](uint16_t a, uint16_t b) { return f[a] != f[b] ? f[a] < f[b] : a < b; });
  uint64_t weight[2 * LITERAL_CODES];
  uint16_t parent[2 * LITERAL_CODES];
  uint8_t depth[2 * LITERAL_CODES];
  for (int i = 0; i < m; ++i) weight[i] = f[leaf[i]];
  int next_leaf = 0, next_node = m;
  auto lightest = [&](int made) {
    if (next_leaf < m && (next_node >= made || weight[next_leaf] <= weight[next_node])) return next_leaf++;
    return next_node++;
  };
  int root = 2 * m - 2;
  for (int made = m; made <= root; ++made) {
    int a = lightest(made), b = lightest(made);
    weight[made] = weight[a] + weight[b];
    parent[a] = parent[b] = uint16_t(made);
  }
  depth[root] = 0;
  int deepest = 0;
  for (int i = root - 1; i >= 0; --i) {
    int d = depth[parent[i]] + 1;
    depth[i] = uint8_t(std::min(d, 255));
    if (i < m) {
      lengths[leaf[i]] = depth[i];
      deepest = std::max(deepest, d);
    }
  }
  return deepest;
}

// Code lengths of at most `limit` bits for the frequencies. At least two
// symbols get a code, so every code is complete, which any decoder takes.
// A code too deep for the limit is rebuilt from flattened frequencies.
void huffman_lengths(const uint32_t* freq, int n, int limit, uint8_t* lengths) {
  uint32_t f[LITERAL_CODES];
  int used = 0;
  for (int s = 0; s < n; ++s) used += (f[s] = freq[s]) != 0;
  for (int s = 0; used < 2; ++s)
    if (!f[s]) f[s] = 1, ++used;
  while (tree_depths(f, n, lengths) > limit)
    for (int s = 0; s < n; ++s)
      if (f[s]) f[s] = (f[s] >> 1) | 1;
}

// The code-length alphabet: 0-15 a length, 16 the previous length 3-6
// times, 17 and 18 runs of 3-10 and 11-138 zeros; `extra` is the count's
// extra-bits value.
struct length_item {
  uint8_t symbol;
  uint8_t extra;
};
constexpr uint8_t item_extra_bits[LENGTH_CODES] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 7};
constexpr uint8_t lengths_order[LENGTH_CODES] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

int length_items(const uint8_t* lengths, int total, length_item* items) {
  int k = 0;
  for (int i = 0; i < total;) {
    uint8_t v = lengths[i];
    int run = 1;
    while (i + run < total && lengths[i + run] == v) ++run;
    i += run;
    if (v == 0) {
      for (; run >= 11; run -= std::min(run, 138)) items[k++] = {18, uint8_t(std::min(run, 138) - 11)};
      if (run >= 3) items[k++] = {17, uint8_t(run - 3)}, run = 0;
    } else {
      items[k++] = {v, 0};
      for (--run; run >= 3; run -= std::min(run, 6)) items[k++] = {16, uint8_t(std::min(run, 6) - 3)};
    }
    for (; run > 0; --run) items[k++] = {v, 0};
  }
  return k;
}

// --- Blocks ----------------------------------------------------------------------

// Symbols per block: a new block's codes follow the data as it changes.
constexpr uint32_t BLOCK_SYMBOLS = 16384;
constexpr size_t STORED_MAX = 65535;

// Gathers the matcher's output and writes it a block at a time, each in the
// cheapest of its three forms: fixed codes, codes of its own, or stored.
struct block_writer {
  // A literal (distance 0, value the byte) or a match (value its length).
  struct symbol {
    uint16_t distance;
    uint16_t value;
  };

  bit_writer w;
  const uint8_t* in;
  size_t start = 0;    // the block's first input byte
  size_t covered = 0;  // the input bytes its symbols stand for
  uint32_t count = 0;
  uint32_t literal_freq[LITERAL_CODES] = {};
  uint32_t distance_freq[DISTANCE_SYMBOLS] = {};
  symbol symbols[BLOCK_SYMBOLS];

  block_writer(uint8_t* out, size_t capacity, const uint8_t* input) : w{out, capacity}, in(input) {}

  void literal(uint8_t b) {
    symbols[count++] = {0, b};
    ++literal_freq[b];
    ++covered;
    if (count == BLOCK_SYMBOLS) end(false);
  }
  void match(uint32_t length, uint32_t distance) {
    symbols[count++] = {uint16_t(distance), uint16_t(length)};
    ++literal_freq[257 + length_symbols[length]];
    ++distance_freq[distance_symbol(distance)];
    covered += length;
    if (count == BLOCK_SYMBOLS) end(false);
  }

  // The bits of the symbols under the given code lengths, extra bits included.
  uint64_t cost(const uint8_t* literal_lengths, const uint8_t* distance_lengths) const {
    uint64_t bits = 0;
    for (int s = 0; s < LITERAL_CODES; ++s) bits += uint64_t(literal_freq[s]) * literal_lengths[s];
    for (int s = 0; s < LENGTH_SYMBOLS; ++s) bits += uint64_t(literal_freq[257 + s]) * length_extra[s];
    for (int s = 0; s < DISTANCE_SYMBOLS; ++s)
      bits += uint64_t(distance_freq[s]) * (distance_lengths[s] + distance_extra[s]);
    return bits;
  }

  void write_symbols(const code_table& literals, const code_table& distances) {
    for (uint32_t i = 0; i < count; ++i) {
      symbol s = symbols[i];
      if (!s.distance) {
        w.put(literals.code[s.value], literals.length[s.value]);
        continue;
      }
      uint32_t l = length_symbols[s.value], ls = 257 + l;
      w.put(literals.code[ls] | uint32_t(s.value - length_base[l]) << literals.length[ls],
            literals.length[ls] + length_extra[l]);  // at most 15 + 5 bits
      uint32_t d = distance_symbol(s.distance);
      w.put(distances.code[d] | uint32_t(s.distance - distance_base[d]) << distances.length[d],
            distances.length[d] + distance_extra[d]);  // at most 15 + 13 bits
    }
    w.put(literals.code[END_OF_BLOCK], literals.length[END_OF_BLOCK]);
  }

  void write_stored(bool final) {
    size_t done = 0;
    do {
      size_t n = std::min(covered - done, STORED_MAX);
      w.put(final && done + n == covered, 1);
      w.put(0, 2);
      w.flush();
      for (uint32_t v : {uint32_t(n), uint32_t(~n & 0xFFFF)}) {
        w.byte(uint8_t(v));
        w.byte(uint8_t(v >> 8));
      }
      const uint8_t* from = in + start + done;
      if (n && w.pos + n <= w.capacity) {
        std::memcpy(w.out + w.pos, from, n);
        w.pos += n;
      } else {
        for (size_t i = 0; i < n; ++i) w.byte(from[i]);
      }
      done += n;
    } while (done < covered);
  }

  void end(bool final) {
    literal_freq[END_OF_BLOCK] = 1;
    uint64_t fixed_bits = 3 + cost(fixed.literals.length, fixed.distances.length);
    uint64_t stored_bits = 42 * ((covered + STORED_MAX - 1) / STORED_MAX + (covered == 0)) + 8 * uint64_t(covered);

    // Codes of the block's own: literal/length and distance code lengths,
    // sent run-length coded with a third code.
    uint8_t lengths[LITERAL_CODES + DISTANCE_SYMBOLS];
    huffman_lengths(literal_freq, LITERAL_CODES, 15, lengths);
    int hlit = LITERAL_CODES;
    while (hlit > 257 && !lengths[hlit - 1]) --hlit;
    uint8_t distance_lengths[DISTANCE_SYMBOLS];
    huffman_lengths(distance_freq, DISTANCE_SYMBOLS, 15, distance_lengths);
    int hdist = DISTANCE_SYMBOLS;
    while (hdist > 1 && !distance_lengths[hdist - 1]) --hdist;
    uint64_t dynamic_bits = 3 + cost(lengths, distance_lengths);
    std::copy(distance_lengths, distance_lengths + hdist, lengths + hlit);
    length_item items[LITERAL_CODES + DISTANCE_SYMBOLS];
    int item_count = length_items(lengths, hlit + hdist, items);
    uint32_t item_freq[LENGTH_CODES] = {};
    for (int i = 0; i < item_count; ++i) ++item_freq[items[i].symbol];
    uint8_t item_lengths[LENGTH_CODES];
    huffman_lengths(item_freq, LENGTH_CODES, 7, item_lengths);
    int hclen = LENGTH_CODES;
    while (hclen > 4 && !item_lengths[lengths_order[hclen - 1]]) --hclen;
    dynamic_bits += 14 + 3 * hclen;
    for (int s = 0; s < LENGTH_CODES; ++s) dynamic_bits += uint64_t(item_freq[s]) * (item_lengths[s] + item_extra_bits[s]);

    // Fixed codes win ties: the shortest streams keep their one shape.
    if (stored_bits < std::min(fixed_bits, dynamic_bits)) {
      write_stored(final);
    } else if (dynamic_bits < fixed_bits) {
      w.put(final, 1);
      w.put(2, 2);
      w.put(uint32_t(hlit - 257), 5);
      w.put(uint32_t(hdist - 1), 5);
      w.put(uint32_t(hclen - 4), 4);
      for (int i = 0; i < hclen; ++i) w.put(item_lengths[lengths_order[i]], 3);
      code_table item_codes;
      item_codes.assign(item_lengths, LENGTH_CODES);
      for (int i = 0; i < item_count; ++i) {
        uint8_t s = items[i].symbol;
        w.put(item_codes.code[s] | uint32_t(items[i].extra) << item_codes.length[s],
              item_codes.length[s] + item_extra_bits[s]);
      }
      code_table literals, distances;
      literals.assign(lengths, hlit);
      distances.assign(lengths + hlit, hdist);
      write_symbols(literals, distances);
    } else {
      w.put(final, 1);
      w.put(1, 2);
      write_symbols(fixed.literals, fixed.distances);
    }
    start += covered;
    covered = 0;
    count = 0;
    std::fill(std::begin(literal_freq), std::end(literal_freq), 0);
    std::fill(std::begin(distance_freq), std::end(distance_freq), 0);
  }
};

// The whole stream; answers its size (written only below the capacity).
size_t deflate_stream(uint8_t* out, size_t capacity, const uint8_t* in, size_t length) {
  matcher m(in, length);
  block_writer blocks(out, capacity, in);
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
      blocks.match(held, held_distance);
      size_t end = p - 1 + held;
      for (++p; p < end; ++p)
        if (length - p >= MIN_MATCH) m.insert(p);
      held = 0;
      pending = false;
      continue;
    }
    if (pending) blocks.literal(in[p - 1]);
    held = found;
    held_distance = distance;
    pending = true;
    ++p;
  }
  if (pending) blocks.literal(in[length - 1]);  // a match there would need three bytes
  blocks.end(true);
  blocks.w.flush();
  return blocks.w.pos;
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
  *out_size = deflate_stream(out, capacity, in, length);
  return *out_size > capacity ? TOO_SMALL : OK;
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
