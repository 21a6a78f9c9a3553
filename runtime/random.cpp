#include "runtime/random.h"

#include "runtime/checksum.h"

namespace kez::random {

namespace {

constexpr int words = 624;
constexpr int far = 397;

// Signed words: every >> below is arithmetic.
struct generator {
  int32_t state[words];
  int index;  // of the next word to output
};

constexpr generator seeded(uint32_t s) {
  generator g{};
  g.state[0] = int32_t(s);
  for (int i = 1; i < words; ++i) {
    int32_t prev = g.state[i - 1];
    g.state[i] = int32_t(1812433253u * uint32_t(prev ^ (prev >> 30)) + uint32_t(i));
  }
  g.index = 0;
  return g;
}

constexpr uint32_t start_seed = 19650218;

// Seeded at compile time as init seeds it, so the generator is never
// unseeded, whatever runs before start-up.
constinit generator gen = seeded(start_seed);

int32_t mix(int32_t word, int32_t next, int32_t far_word) {
  int32_t y = int32_t((uint32_t(word) & 0x80000000u) | (uint32_t(next) & 0x7FFFFFFFu));
  int32_t v = far_word ^ (y >> 1);
  return (next & 1) ? v ^ int32_t(0x9908B0DFu) : v;
}

void regenerate() {
  int32_t* s = gen.state;
  for (int i = 0; i < words - 1; ++i) s[i] = mix(s[i], s[i + 1], s[(i + far) % words]);
  s[words - 1] = mix(s[words - 1], s[0], s[far - 1]);
  gen.index = 0;
}

}  // namespace

void init() { seed(start_seed); }

void seed(uint32_t s) { gen = seeded(s); }

uint32_t next_uint32() {
  if (gen.index == words) regenerate();
  int32_t y = gen.state[gen.index++];
  y ^= y >> 11;
  y ^= int32_t((uint32_t(y) << 7) & 0x9D2C5680u);
  y ^= int32_t((uint32_t(y) << 15) & 0xEFC60000u);
  y ^= y >> 18;  // copies bit 31 onto itself: the result is never negative
  return uint32_t(y);
}

uint32_t next_secure() {
  uint32_t r;
  checksum::gen_random(&r, sizeof r);
  return r & 0x7FFFFFFFu;
}

int32_t range(bool secure, int32_t n) {
  if (n == 0) return 0;
  auto draw = [secure] { return secure ? next_secure() : next_uint32(); };
  // |n| does not fit: one draw covers -1 .. -2^31 exactly.
  if (n == INT32_MIN) return -1 - int32_t(draw());
  uint32_t k = n < 0 ? uint32_t(-n) : uint32_t(n);
  uint32_t limit = 0x7FFFFFFFu / k * k;  // the largest multiple of k not above 2^31 - 1
  uint32_t r;
  do r = draw();
  while (r >= limit);
  int32_t v = int32_t(r % k) + 1;
  return n < 0 ? -v : v;
}

}  // namespace kez::random
