// The process-wide random generator behind the `random` action of every
// datatype: a Mersenne Twister of the MT19937 family whose right shifts copy
// the sign bit (in seeding, regeneration and tempering alike), so its numbers
// are its own and not those of the common generator. /secure draws come from
// the operating system instead.
//
// Invariants:
// - Every output, of the generator and of the secure source, is in
//   0 .. 2^31 - 1.
// - The sequence depends only on the last seed: the same seed gives the same
//   numbers, and secure draws never advance the generator.
// - After a seeding the first 624 outputs temper the seeded words themselves;
//   the state is regenerated only when all 624 have been used.
#pragma once

#include <cstdint>

namespace kez::random {

void init();                 // seeds with 19650218; start-up calls it once
void seed(uint32_t seed);
uint32_t next_uint32();      // the generator's next output
uint32_t next_secure();      // four secure bytes, top bit cleared

// 1 .. n for n > 0, -1 down to n for n < 0, 0 for n = 0; uniform (rejection
// sampling), from the secure source when `secure`.
int32_t range(bool secure, int32_t n);

}  // namespace kez::random
