#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "runtime/lz.h"
#include "runtime/mem.h"

using namespace kez;

namespace {

using bytes = std::vector<uint8_t>;

bool stressed() {
  const char* v = std::getenv("KEZ_GC_STRESS");
  return v && *v && std::strcmp(v, "0") != 0;
}

// Compresses into a buffer of exactly length - 8 bytes (so that a write past
// it is caught by the sanitizer build); empty when the codec declines.
bytes compress(const bytes& in) {
  auto out = std::make_unique<uint8_t[]>(in.size() >= 8 ? in.size() - 8 : 1);
  int32_t n = lz::compress(in.data(), static_cast<uint32_t>(in.size()), out.get());
  if (n < 0) return {};
  return bytes(out.get(), out.get() + n);
}

// Decompresses from an exactly sized copy; false when the data is refused.
bool decompress(const bytes& data, bytes* result) {
  auto copy = std::make_unique<uint8_t[]>(data.size() + 1);
  if (!data.empty()) std::memcpy(copy.get(), data.data(), data.size());
  uint32_t size = 0xDEADBEEF;
  uint8_t* out = lz::decompress(copy.get(), data.size(), &size);
  if (!out) return false;
  result->assign(out, out + size);
  lz::free_output(out);
  return true;
}

// Builds streams by hand, LSB first.
struct stream {
  bytes data = bytes(8, 0);
  uint64_t buffer = 0;
  uint32_t count = 0;

  stream& bits(uint32_t v, uint32_t n) {
    buffer |= uint64_t{v} << count;
    count += n;
    for (; count >= 8; count -= 8, buffer >>= 8) data.push_back(static_cast<uint8_t>(buffer));
    return *this;
  }
  stream& block(uint32_t size) {
    if (count) bits(0, 8 - count);
    for (int i = 0; i < 4; ++i) data.push_back(static_cast<uint8_t>(size >> (8 * i)));
    return *this;
  }
  stream& literal(uint8_t b) { return bits(0, 1).bits(b, 8); }
  // A match with length field L (copies L + 3) and distance field d (d + 1 back).
  stream& match(uint32_t l, uint32_t d) {
    bits(1, 1);
    if (l < 4) bits(1, 1).bits(l, 2);
    else if (l < 8) bits(2, 2).bits(l - 4, 2);
    else if (l < 12) bits(4, 3).bits(l - 8, 2);
    else if (l < 20) bits(8, 4).bits(l - 12, 3);
    else if (l < 52) bits(16, 5).bits(l - 20, 5);
    else bits(0, 5).bits(l - 52, 9);
    if (d < 8) return bits(0, 4).bits(d, 3);
    uint32_t n = 31 - __builtin_clz(d);
    return bits(n - 2, 4).bits(d - (1u << n), n);
  }
  // Pads, then writes C and U (U defaults to the sum of the blocks' sizes).
  bytes done(uint32_t total) {
    if (count) bits(0, 8 - count);
    bytes out = data;
    uint32_t payload = static_cast<uint32_t>(out.size() - 8);
    for (int i = 0; i < 4; ++i) {
      out[i] = static_cast<uint8_t>(payload >> (8 * i));
      out[4 + i] = static_cast<uint8_t>(total >> (8 * i));
    }
    return out;
  }
};

bytes text_like(size_t n, std::mt19937& rng) {
  static const char* words[] = {"block ", "string ", "append ", "[print x] ", "integer! ",
                                "func ", "\n", "either ", "42 ", "3.14 "};
  bytes out;
  while (out.size() < n) {
    const char* w = words[rng() % 10];
    out.insert(out.end(), w, w + std::strlen(w));
  }
  out.resize(n);
  return out;
}

bytes random_bytes(size_t n, std::mt19937& rng) {
  bytes out(n);
  for (auto& b : out) b = static_cast<uint8_t>(rng());
  return out;
}

}  // namespace

TEST(Lz, RoundTripsWhatItCompresses) {
  std::mt19937 rng(1);
  bytes far = random_bytes(100000, rng);  // repeated 100,000 bytes later: far matches
  far.insert(far.end(), far.begin(), far.end());
  bytes window_edge = random_bytes(1000, rng);  // repeated exactly 262,144 bytes later
  window_edge.resize(262144, 0);
  window_edge.insert(window_edge.end(), window_edge.begin(), window_edge.begin() + 1000);
  bytes mixed = text_like(5000, rng);
  for (int i = 0; i < 500; ++i) mixed[rng() % mixed.size()] = static_cast<uint8_t>(rng());
  struct { const char* name; bytes input; } cases[] = {
      {"128 zeros", bytes(128, 0)},
      {"run of one byte", bytes(100000, 'a')},
      {"text", text_like(20000, rng)},
      {"text with noise", mixed},
      {"far matches", far},
      {"window edge", window_edge},
      {"three blocks", text_like((size_t{1} << 21) + 12345, rng)},
      {"exactly one block", text_like(size_t{1} << 20, rng)},
  };
  for (auto& c : cases) {
    bytes packed = compress(c.input);
    ASSERT_FALSE(packed.empty()) << c.name;
    EXPECT_LE(packed.size(), c.input.size() - 8) << c.name;
    bytes back;
    ASSERT_TRUE(decompress(packed, &back)) << c.name;
    EXPECT_EQ(back, c.input) << c.name;
  }
  // Far matches are found: a repeat costs far less than fresh bytes would.
  for (bytes* repeated : {&far, &window_edge}) {
    bytes fresh = *repeated;
    for (size_t i = fresh.size() - 1000; i < fresh.size(); ++i) fresh[i] = static_cast<uint8_t>(rng());
    EXPECT_LT(compress(*repeated).size() + 900, compress(fresh).size());
  }
}

TEST(Lz, DeclinesShortAndIncompressibleInput) {
  std::mt19937 rng(2);
  EXPECT_TRUE(compress(bytes(127, 0)).empty());
  EXPECT_FALSE(compress(bytes(128, 0)).empty());
  EXPECT_TRUE(compress(random_bytes(1000, rng)).empty());
  EXPECT_TRUE(compress(random_bytes(200000, rng)).empty());
}

TEST(Lz, DecodesHandBuiltStreams) {
  struct {
    const char* name;
    bytes data;
    bool ok;
    bytes out;
  } cases[] = {
      {"literals", stream().block(2).literal('h').literal('i').done(2), true, {'h', 'i'}},
      {"d = 0 repeats the previous byte", stream().block(6).literal('x').match(1, 0).literal('y').done(6),
       true, {'x', 'x', 'x', 'x', 'x', 'y'}},
      {"overlapping copy", stream().block(7).literal('a').literal('b').match(1, 1).literal('c').done(7),
       true, {'a', 'b', 'a', 'b', 'a', 'b', 'c'}},
      {"two blocks ending exactly at C", stream().block(1).literal(1).block(2).literal(2).literal(3).done(3),
       true, {1, 2, 3}},
      {"U larger than the blocks", stream().block(1).literal(9).done(5), true, {9}},
      {"empty payload", stream().done(0), true, {}},
      {"block size 0", stream().block(0).done(0), false, {}},
      {"block size 1,048,577", stream().block(1048577).literal(1).done(1048577), false, {}},
      {"blocks past U", stream().block(2).literal(1).literal(2).done(1), false, {}},
      {"match before the block start", stream().block(4).literal(1).match(0, 1).done(4), false, {}},
      {"match into the previous block", stream().block(1).literal(1).block(3).match(0, 0).done(4), false, {}},
      {"match longer than the block", stream().block(3).literal(1).match(0, 0).done(4), false, {}},
      {"stream ends inside a token", [] {
         bytes d = stream().block(2).literal(1).literal(2).done(2);
         d.pop_back();
         d[0] = static_cast<uint8_t>(d[0] - 1);
         return d;
       }(), false, {}},
      {"C past the input", [] {
         bytes d = stream().block(1).literal(1).done(1);
         d[0] = static_cast<uint8_t>(d[0] + 1);
         return d;
       }(), false, {}},
      {"block size cut off", [] {
         bytes d = stream().block(1).literal(1).done(1);
         d.push_back(1);
         d.push_back(0);
         d[0] = static_cast<uint8_t>(d[0] + 2);
         return d;
       }(), false, {}},
      {"header cut off", bytes{1, 0, 0, 0, 1, 0, 0}, false, {}},
      {"U beyond what C can produce", stream().block(1).literal(1).done(0x7FFFFFFF), false, {}},
  };
  for (auto& c : cases) {
    bytes out;
    EXPECT_EQ(decompress(c.data, &out), c.ok) << c.name;
    if (c.ok) {
      EXPECT_EQ(out, c.out) << c.name;
    }
  }

  // The longest match: five zero bits and 9 extra bits of 511 copy 566 bytes.
  bytes longest;
  ASSERT_TRUE(decompress(stream().block(567).literal('z').match(563, 0).done(567), &longest));
  EXPECT_EQ(longest, bytes(567, 'z'));
  // The furthest match: 262,144 bytes back.
  stream far;
  far.block(262147);
  for (int i = 0; i < 262144; ++i) far.literal(static_cast<uint8_t>(i * 7));
  bytes out;
  ASSERT_TRUE(decompress(far.match(0, 262143).done(262147), &out));
  ASSERT_EQ(out.size(), 262147u);
  EXPECT_EQ(out[262144], out[0]);
  EXPECT_EQ(out[262146], out[2]);
}

// Damaged streams are refused or decode within their declared size; the
// sanitizer build catches any read or write out of bounds.
TEST(Lz, SurvivesDamagedStreams) {
  std::mt19937 rng(3);
  bytes packed = compress(text_like(30000, rng));
  ASSERT_FALSE(packed.empty());
  const int rounds = stressed() ? 300 : 3000;
  size_t blocks = mem::count();
  for (int i = 0; i < rounds; ++i) {
    bytes d = packed;
    switch (i % 3) {
      case 0:
        for (int k = 0; k < 1 + i % 5; ++k) d[rng() % d.size()] ^= static_cast<uint8_t>(1 + rng() % 255);
        break;
      case 1:
        d.resize(rng() % d.size());
        break;
      default:
        d[8 + rng() % (d.size() - 8)] = static_cast<uint8_t>(rng());
        d[rng() % 8] = static_cast<uint8_t>(rng());
        break;
    }
    bytes out;
    if (decompress(d, &out)) {
      uint32_t total = uint32_t{d[4]} | uint32_t{d[5]} << 8 | uint32_t{d[6]} << 16 | uint32_t{d[7]} << 24;
      ASSERT_LE(out.size(), total);
    }
  }
  EXPECT_EQ(mem::count(), blocks);
}
