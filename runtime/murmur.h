// MurmurHash3_x86_32, split into its steps so that callers can feed 32-bit
// blocks that are not stored as bytes (code points, ASCII-folded names)
// without copying them first. Pure functions: the same blocks, tail, length
// and seed give the same hash on every run; blocks are little-endian words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kez::murmur {

inline uint32_t rotl(uint32_t x, int r) { return (x << r) | (x >> (32 - r)); }

// The 32-bit finaliser: a bijection that spreads every input bit.
inline uint32_t fmix32(uint32_t h) {
  h ^= h >> 16;
  h *= 0x85EBCA6B;
  h ^= h >> 13;
  h *= 0xC2B2AE35;
  h ^= h >> 16;
  return h;
}

inline uint32_t scramble(uint32_t k) {
  k *= 0xCC9E2D51;
  k = rotl(k, 15);
  k *= 0x1B873593;
  return k;
}

// One full 4-byte block.
inline uint32_t mix_block(uint32_t h, uint32_t k) {
  h ^= scramble(k);
  h = rotl(h, 13);
  return h * 5 + 0xE6546B64;
}

// The last 0-3 bytes (packed little-endian into `tail`), the total length in
// bytes, and the finaliser.
inline uint32_t finish(uint32_t h, uint32_t tail, size_t tail_bytes, size_t length) {
  if (tail_bytes) h ^= scramble(tail);
  h ^= static_cast<uint32_t>(length);
  return fmix32(h);
}

inline uint32_t hash32(const void* data, size_t n, uint32_t seed) {
  auto* p = static_cast<const uint8_t*>(data);
  uint32_t h = seed;
  size_t blocks = n / 4;
  for (size_t i = 0; i < blocks; ++i) {
    uint32_t k;
    std::memcpy(&k, p + 4 * i, 4);
    h = mix_block(h, k);
  }
  uint32_t tail = 0;
  size_t rest = n & 3;
  for (size_t i = rest; i > 0; --i) tail = (tail << 8) | p[4 * blocks + i - 1];
  return finish(h, tail, rest, n);
}

}  // namespace kez::murmur
