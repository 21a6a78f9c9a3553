// Our deflate, zlib and gzip against real zlib as the oracle: what we write,
// zlib reads; what zlib writes (every level and strategy), we read; plus the
// size protocol, the overflow rules and the corrupt streams we must refuse.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "runtime/compression.h"
#include "tests/unit/zlib_oracle.h"

using namespace kez;

namespace {

using bytes = std::vector<uint8_t>;
using codec = int (*)(uint8_t*, size_t*, const uint8_t*, size_t);

enum container { RAW, ZLIB, GZIP };
constexpr codec encoders[] = {deflate::compress, deflate::zlib, deflate::gzip};
constexpr codec decoders[] = {inflate::decompress, inflate::zlib, inflate::gzip};
constexpr int window_bits[] = {-15, 15, 31};  // zlib's names for the three

bytes of(const std::string& s) { return bytes(s.begin(), s.end()); }

// Runs a codec on an exactly sized copy of the input into an exactly sized
// heap buffer, so the sanitizer build catches any access outside either.
int run(codec c, const bytes& in, size_t capacity, bytes* out) {
  auto input = std::make_unique<uint8_t[]>(in.size() + 1);
  if (!in.empty()) std::memcpy(input.get(), in.data(), in.size());
  auto output = std::make_unique<uint8_t[]>(capacity + 1);
  size_t size = capacity;
  int r = c(capacity ? output.get() : nullptr, &size, input.get(), in.size());
  out->assign(output.get(), output.get() + std::min(size, capacity));
  if (r != compression::OK) out->resize(size);  // for TOO_SMALL: the size needed
  return r;
}

bytes encode(container k, const bytes& in) {
  bytes out;
  int r = run(encoders[k], in, size_t(deflate::bound(in.size())) + 18, &out);
  EXPECT_EQ(r, compression::OK);
  return out;
}

// Our decoder the way the natives use it: ask, then retry with the size needed.
int decode(container k, const bytes& in, bytes* out) {
  int r = run(decoders[k], in, 0, out);
  if (r != compression::TOO_SMALL) return r;
  size_t need = out->size();
  r = run(decoders[k], in, need, out);
  EXPECT_NE(r, compression::TOO_SMALL);
  return r;
}

bool zlib_inflate(int bits, const bytes& in, bytes* out) { return oracle::zlib_inflate(bits, in.data(), in.size(), out); }

bytes zlib_deflate(int bits, int level, int strategy, int mem_level, const bytes& in) {
  bytes out = oracle::zlib_deflate(bits, level, strategy, mem_level, in);
  EXPECT_FALSE(out.empty());
  return out;
}

// Inputs of every shape the matcher meets: noise, few symbols, runs, words,
// and long repeats reaching across the 32 KiB window.
bytes random_input(std::mt19937& rng, size_t n) {
  bytes b(n);
  static const char* const words[] = {"the ", "compress", "ion ", "data ", "\n", "kez ", "zlib ", "a", "\t\t", "0123"};
  switch (rng() % 5) {
    case 0:
      for (auto& c : b) c = uint8_t(rng());
      break;
    case 1: {
      uint32_t symbols = 2 + rng() % 4;
      for (auto& c : b) c = uint8_t('a' + rng() % symbols);
      break;
    }
    case 2:
      for (size_t i = 0; i < n;) {
        uint8_t v = uint8_t(rng());
        for (size_t run = 1 + rng() % 300; run-- && i < n;) b[i++] = v;
      }
      break;
    case 3:
      b.clear();
      while (b.size() < n) {
        const char* w = words[rng() % 10];
        b.insert(b.end(), w, w + std::strlen(w));
      }
      b.resize(n);
      break;
    default: {
      size_t period = 1 + rng() % 40000;
      for (size_t i = 0; i < n; ++i) b[i] = i < period ? uint8_t(rng()) : b[i - period];
      for (int k = 0; k < 8 && n; ++k) b[rng() % n] ^= uint8_t(rng());
      break;
    }
  }
  return b;
}

size_t random_size(std::mt19937& rng) {
  switch (rng() % 16) {
    case 0: return rng() % 8;
    case 1: return 60000 + rng() % 50000;  // two stored blocks, the whole window
    default: return rng() % 3000;
  }
}

TEST(Compression, FixedEncodings) {
  EXPECT_EQ(encode(RAW, {}), (bytes{0x03, 0x00}));
  EXPECT_EQ(encode(ZLIB, {}), (bytes{0x78, 0x01, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01}));
  EXPECT_EQ(encode(RAW, of("aaaaaaaaaa")), (bytes{0x4B, 0x4C, 0x4C, 0x84, 0x02, 0x00}));
  bytes empty_gzip = encode(GZIP, {});
  EXPECT_EQ(empty_gzip.size(), 20u);
  bytes hello = encode(GZIP, of("hello world"));
  ASSERT_EQ(hello.size(), 31u);
  EXPECT_EQ(bytes(hello.begin(), hello.begin() + 10), (bytes{0x1F, 0x8B, 8, 0, 0, 0, 0, 0, 4, 4}));
  // CRC-32 and size of "hello world", little-endian
  EXPECT_EQ(bytes(hello.end() - 8, hello.end()), (bytes{0x85, 0x11, 0x4A, 0x0D, 11, 0, 0, 0}));
  // Data that already looks like a gzip member is compressed like any other.
  bytes member = encode(GZIP, hello);
  bytes back;
  ASSERT_EQ(decode(GZIP, member, &back), compression::OK);
  EXPECT_EQ(back, hello);
}

TEST(Compression, RoundTripsWithRealZlibBothWays) {
  std::mt19937 rng(20261209);
  static constexpr int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
  for (int i = 0; i < 2000; ++i) {
    bytes input = random_input(rng, random_size(rng));
    container k = container(i % 3);
    SCOPED_TRACE("input " + std::to_string(i) + ", " + std::to_string(input.size()) + " bytes, container " +
                 std::to_string(k));
    bytes packed = encode(k, input);
    bytes back;
    ASSERT_TRUE(zlib_inflate(window_bits[k], packed, &back));
    ASSERT_EQ(back, input);
    ASSERT_EQ(decode(k, packed, &back), compression::OK);
    ASSERT_EQ(back, input);
    // Incompressible data grows by its stored blocks' headers only (a block
    // holds at least 16,384 bytes).
    ASSERT_LE(packed.size(), input.size() + 5 * (input.size() / 16384 + 1) + 18);

    int bits = window_bits[k] < 0 ? -int(9 + rng() % 7) : window_bits[k];
    bytes theirs = zlib_deflate(bits, int(rng() % 10), strategies[rng() % 5], int(1 + rng() % 9), input);
    ASSERT_EQ(decode(k, theirs, &back), compression::OK);
    ASSERT_EQ(back, input);
  }
}

TEST(Compression, CompressesRepetitiveData) {
  bytes text;
  for (int i = 0; i < 20000; ++i) {
    std::string line = "line " + std::to_string(i % 500) + " of the test text\n";
    text.insert(text.end(), line.begin(), line.end());
  }
  EXPECT_LT(encode(RAW, text).size() * 20, text.size());
}

// Each codec answers TOO_SMALL with the exact size for a buffer one byte
// short, and succeeds with that size.
TEST(Compression, TooSmallGivesTheExactSize) {
  std::mt19937 rng(7);
  for (int i = 0; i < 60; ++i) {
    bytes input = random_input(rng, i < 5 ? size_t(i) : rng() % 5000);
    for (container k : {RAW, ZLIB, GZIP}) {
      bytes packed = encode(k, input);
      size_t minimum = k == RAW ? 0 : k == ZLIB ? compression::ZLIB_MINIMUM : compression::GZIP_MINIMUM;
      bytes out;
      if (packed.size() - 1 >= minimum) {
        ASSERT_EQ(run(encoders[k], input, packed.size() - 1, &out), compression::TOO_SMALL);
        ASSERT_EQ(out.size(), packed.size());
      }
      ASSERT_EQ(run(encoders[k], input, packed.size(), &out), compression::OK);
      ASSERT_EQ(out, packed);
      if (!input.empty()) {
        ASSERT_EQ(run(decoders[k], packed, input.size() - 1, &out), compression::TOO_SMALL);
        ASSERT_EQ(out.size(), input.size());
      }
      ASSERT_EQ(run(decoders[k], packed, input.size(), &out), compression::OK);
      ASSERT_EQ(out, input);
    }
  }
  // Below the container's minimum the encoders refuse the buffer.
  bytes out;
  EXPECT_EQ(run(deflate::zlib, of("abc"), 5, &out), compression::CORRUPT);
  EXPECT_EQ(run(deflate::gzip, of("abc"), 17, &out), compression::CORRUPT);
}

// Past the buffer's end a back-reference only counts: it must not read the
// bytes it would have copied (the buffers are exactly sized for the sanitizer).
TEST(Compression, OverflowingCopiesOnlyCount) {
  bytes input;
  for (int i = 0; i < 100000; ++i) input.push_back(uint8_t((i * 7) % 251 + (i / 9000)));
  for (bytes packed : {encode(RAW, input), zlib_deflate(-15, 9, Z_DEFAULT_STRATEGY, 8, input),
                       zlib_deflate(-15, 6, Z_RLE, 8, input)}) {
    for (size_t capacity : {size_t(0), size_t(1), size_t(300), size_t(32768), size_t(99999)}) {
      bytes out;
      ASSERT_EQ(run(inflate::decompress, packed, capacity, &out), compression::TOO_SMALL);
      ASSERT_EQ(out.size(), input.size());
      bytes partial;
      run(inflate::decompress, packed, capacity, &partial);
      partial.resize(capacity);
      auto input_copy = input;
      input_copy.resize(capacity);
      ASSERT_EQ(partial, input_copy);
    }
  }
}

// Hand-made streams, least significant bit first.
struct bit_stream {
  bytes data;
  uint32_t count = 0;
  bit_stream& put(uint32_t value, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i, ++count) {
      if (count % 8 == 0) data.push_back(0);
      data.back() |= uint8_t(((value >> i) & 1) << (count % 8));
    }
    return *this;
  }
  // A Huffman code goes out most significant bit first.
  bit_stream& code(uint32_t value, uint32_t n) {
    for (uint32_t i = n; i-- > 0;) put((value >> i) & 1, 1);
    return *this;
  }
  // A dynamic block header: HLIT 257, HDIST 1, then code-length code lengths
  // in the sending order.
  static bit_stream dynamic(std::initializer_list<uint32_t> lengths) {
    bit_stream s;
    s.put(1, 1).put(2, 2).put(0, 5).put(0, 5).put(uint32_t(lengths.size() - 4), 4);
    for (uint32_t l : lengths) s.put(l, 3);
    return s;
  }
};

TEST(Compression, RejectsCorruptStreams) {
  using namespace compression;
  bytes hello = of("hello world");
  bytes zhello = zlib_deflate(15, 6, Z_DEFAULT_STRATEGY, 8, hello);
  bytes ghello = zlib_deflate(31, 6, Z_DEFAULT_STRATEGY, 8, hello);
  auto changed = [](bytes b, size_t at, uint8_t value) {
    b[at] = value;
    return b;
  };
  auto from_end = [](bytes b, size_t back, uint8_t value) {
    b[b.size() - back] = value;
    return b;
  };
  // Code lengths 16:1, 0:2, 8:2 -- and the first length is a repeat.
  bit_stream repeat_first = bit_stream::dynamic({1, 0, 0, 2, 2}).code(0, 1).put(0, 2);
  // 18:1, 0:2, 8:2 -- two runs of 138 zeros overrun the 258 lengths.
  bit_stream overrun = bit_stream::dynamic({0, 0, 1, 2, 2}).code(0, 1).put(127, 7).code(0, 1).put(127, 7);
  // 8:1, 0:2, 16:2 -- 256 literals of 8 bits, but no end-of-block code.
  bit_stream no_end = bit_stream::dynamic({2, 0, 0, 2, 1}).code(0, 1);
  for (int i = 0; i < 42; ++i) no_end.code(3, 2).put(3, 2);
  no_end.code(0, 1).code(0, 1).code(0, 1).code(2, 2).code(2, 2);
  // 16, 17 and 18 all one bit long: over-subscribed.
  bit_stream oversubscribed = bit_stream::dynamic({1, 1, 1, 0});
  struct {
    const char* name;
    container k;
    bytes data;
    int expected;
  } cases[] = {
      {"empty raw stream", RAW, {}, TRUNCATED},
      {"ends before its final block", RAW, bytes{0x00, 0x00, 0x00, 0xFF, 0xFF}, TRUNCATED},
      {"ends inside a fixed block", RAW, {0xCB, 0x48, 0xCD}, TRUNCATED},
      {"block type 3", RAW, {0x07}, RESERVED_BLOCK},
      {"stored block past the end", RAW, {0x01, 0x0B, 0x00, 0xF4, 0xFF, 'h', 'e'}, STORED_PAST_END},
      {"stored length check", RAW, {0x01, 0x01, 0x00, 0xFF, 0xFF, 'h'}, CORRUPT},
      {"distance before the start", RAW, {0x03, 0x02}, FAR_DISTANCE},
      {"repeat as the first length", RAW, repeat_first.data, CORRUPT},
      {"repeat past the lengths", RAW, overrun.data, CORRUPT},
      {"no end-of-block code", RAW, no_end.data, CORRUPT},
      {"over-subscribed code", RAW, oversubscribed.data, CORRUPT},
      {"zlib too short", ZLIB, {0x78, 0x9C, 0x03, 0x00, 0x00}, CORRUPT},
      {"zlib preset dictionary", ZLIB, changed(zhello, 1, 0x20 + 0x00), CORRUPT},
      {"zlib header check", ZLIB, changed(zhello, 1, 0x9D), CORRUPT},
      {"zlib method 7", ZLIB, {0x77, 0x09, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01}, CORRUPT},
      {"zlib window above 32K", ZLIB, {0x88, 0x1C, 0x03, 0x00, 0x00, 0x00, 0x00, 0x01}, CORRUPT},
      {"zlib bad Adler-32", ZLIB, from_end(zhello, 1, zhello.back() ^ 1), CORRUPT},
      {"gzip bad magic", GZIP, changed(ghello, 1, 0x8C), CORRUPT},
      {"gzip reserved flag", GZIP, changed(ghello, 3, 0x20), CORRUPT},
      {"gzip bad CRC-32", GZIP, from_end(ghello, 8, ghello[ghello.size() - 8] ^ 1), CORRUPT},
      {"gzip size too small", GZIP, from_end(ghello, 4, 10), CORRUPT},
      {"gzip size too large", GZIP, from_end(ghello, 4, 12), CORRUPT},
      {"gzip claims 4 GB", GZIP, from_end(from_end(ghello, 1, 0xFF), 2, 0xFF), CORRUPT},
      {"gzip name not terminated", GZIP, {0x1F, 0x8B, 8, 8, 0, 0, 0, 0, 0, 3, 'a', 'b', 'c', 0, 0, 0, 0, 0, 0, 0, 0}, CORRUPT},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    bytes out;
    EXPECT_EQ(decode(c.k, c.data, &out), c.expected);
  }
  // The 4 GB claim is refused before any buffer is asked for.
  bytes out;
  EXPECT_EQ(run(inflate::gzip, from_end(from_end(ghello, 1, 0xFF), 2, 0xFF), 0, &out), CORRUPT);
}

// A block of literals only may send no distance code at all (one length of
// 0): the stream is valid and decodes.
TEST(Compression, BlockWithoutDistanceCodes) {
  // Code-length code: 18 one bit, 0 and 1 two bits each.
  bit_stream s = bit_stream::dynamic({0, 0, 1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2});
  s.code(0, 1).put(97 - 11, 7);   // symbols 0-96 unused
  s.code(3, 2);                   // 'a': 1 bit
  s.code(0, 1).put(138 - 11, 7);  // 97 + 1 + 138 = 236
  s.code(0, 1).put(20 - 11, 7);   // up to 255
  s.code(3, 2);                   // end of block: 1 bit
  s.code(2, 2);                   // the one distance length: 0
  s.code(0, 1).code(0, 1).code(1, 1);  // "aa", end of block
  bytes out, theirs;
  ASSERT_TRUE(zlib_inflate(-15, s.data, &theirs));
  EXPECT_EQ(theirs, of("aa"));
  EXPECT_EQ(decode(RAW, s.data, &out), compression::OK);
  EXPECT_EQ(out, of("aa"));
}

// A gzip member's optional fields: extra data, name, comment, header CRC.
TEST(Compression, GzipHeaderFields) {
  bytes hello = of("hello world");
  bytes raw = zlib_deflate(-15, 6, Z_DEFAULT_STRATEGY, 8, hello);
  uLong crc = ::crc32(0, hello.data(), uInt(hello.size()));
  auto member = [&](uint8_t flags, bytes fields, bool header_crc, bool good_crc) {
    bytes m = {0x1F, 0x8B, 8, uint8_t(flags | (header_crc ? 2 : 0)), 0, 0, 0, 0, 0, 3};
    m.insert(m.end(), fields.begin(), fields.end());
    if (header_crc) {
      uLong h = ::crc32(0, m.data(), uInt(m.size())) ^ (good_crc ? 0 : 1);
      m.push_back(uint8_t(h));
      m.push_back(uint8_t(h >> 8));
    }
    m.insert(m.end(), raw.begin(), raw.end());
    for (int i = 0; i < 4; ++i) m.push_back(uint8_t(crc >> (8 * i)));
    for (int i = 0; i < 4; ++i) m.push_back(uint8_t(hello.size() >> (8 * i)));
    return m;
  };
  bytes name_comment = of("hello.txt");
  name_comment.push_back(0);
  bytes comment = of("a comment");
  name_comment.insert(name_comment.end(), comment.begin(), comment.end());
  name_comment.push_back(0);
  bytes extra = {4, 0, 'A', 'B', 2, 0};
  struct {
    const char* name;
    bytes m;
    int expected;
  } cases[] = {
      {"name and comment", member(8 | 16, name_comment, false, true), compression::OK},
      {"extra field", member(4, extra, false, true), compression::OK},
      {"everything", member(4 | 8 | 16, [&] { bytes b = extra; b.insert(b.end(), name_comment.begin(), name_comment.end()); return b; }(), true, true), compression::OK},
      {"header CRC wrong", member(8, bytes{'x', 0}, true, false), compression::CORRUPT},
      {"extra field past the end", member(4, {0xFF, 0x00}, false, true), compression::CORRUPT},
      // The header ends one byte after its fixed part: no room for the
      // extra field's length (a read far past the input once).
      {"extra length past the header",
       {0x1F, 0x8B, 8, 0x0F, 0, 0, 0x7A, 0x12, 0x1B, 0x7A, 0x1F, 0x8B, 0x12, 0, 3, 0x3F, 0x1E, 0x12, 0x32},
       compression::CORRUPT},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    bytes back, theirs;
    if (c.expected == compression::OK) {
      ASSERT_TRUE(zlib_inflate(31, c.m, &theirs));
      ASSERT_EQ(theirs, hello);
    }
    EXPECT_EQ(decode(GZIP, c.m, &back), c.expected);
    if (c.expected == compression::OK) {
      EXPECT_EQ(back, hello);
    }
  }
}

// Every strict prefix of a stream is refused (the last byte always holds
// code bits), and with the containers too.
TEST(Compression, EveryPrefixIsRefused) {
  std::mt19937 rng(11);
  bytes input = random_input(rng, 3000);
  for (int i = 0; i < 3000; ++i) input.push_back(uint8_t("abcab"[i % 5]));
  for (container k : {RAW, ZLIB, GZIP}) {
    for (bytes packed : {encode(k, input), zlib_deflate(window_bits[k], 6, Z_DEFAULT_STRATEGY, 8, input),
                         zlib_deflate(window_bits[k], 0, Z_DEFAULT_STRATEGY, 8, input)}) {
      // All the short prefixes and those near the end; a sample between.
      for (size_t n = 0; n < packed.size(); n += n < 64 || n + 64 > packed.size() ? 1 : 17) {
        bytes out;
        int r = decode(k, bytes(packed.begin(), packed.begin() + n), &out);
        ASSERT_NE(r, compression::OK) << "prefix of " << n << " bytes of " << packed.size();
      }
    }
  }
}

}  // namespace
