// Checksums and digests over plain byte ranges: CRC-32, Adler-32, the 16-bit
// Internet checksum, MD5 and the SHA digests (through libcrypto), HMAC over
// those digests, and the operating system's secure random bytes.
//
// Invariants:
// - Every function but gen_random reads only its arguments: the module keeps
//   no state (the CRC-32 table is built at compile time).
// - A digest lives in the caller's `digest` value: nothing is allocated that
//   the caller must free, and a raised error leaks nothing.
// - Any length is accepted: sums are carried wide enough that no input size
//   overflows them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace kez::checksum {

// The method words, in the order of their global slots.
enum method : int {
  METHOD_TCP, METHOD_MD5, METHOD_SHA1, METHOD_CRC32, METHOD_ADLER32,
  METHOD_SHA256, METHOD_SHA384, METHOD_SHA512, METHOD_HASH,
  METHOD_COUNT,
};

// The codes of the digest operations.
enum code : int {
  CODE_NONE = -1,  // adler32 and hash: no digest operation takes them
  CODE_TCP = 0, CODE_CRC32 = 1, CODE_MD5 = 2, CODE_SHA1 = 3,
  CODE_SHA256 = 4, CODE_SHA384 = 5, CODE_SHA512 = 6,
};

// The method whose word is `name` (ASCII letters compared without case), or
// -1 when `name` names no method.
int method_of(std::string_view name);
int method_code(method m);   // CODE_NONE for adler32 and hash
int digest_size(int code);   // 0 for a code with no digest

// Each takes the previous result of the same sum to continue it, so that
// sum(a + b) == sum(b, sum(a)); the default starts afresh.
uint32_t crc32(const uint8_t* bytes, size_t length, uint32_t crc = 0);
uint32_t adler32(const uint8_t* bytes, size_t length, uint32_t adler = 1);
uint32_t tcp(const uint8_t* bytes, size_t length);

struct digest {
  uint8_t bytes[64];  // the first `size` bytes are meaningful
  int size;
};

// The digest of `code` (CODE_MD5 .. CODE_SHA512); any other code raises
// script/invalid-arg with the code.
digest crypto_hash(const uint8_t* bytes, size_t length, int code);

// HMAC of the data under the key with the method's digest. Methods with no
// digest (tcp, crc32, adler32, hash) print "The selected algorithm doesn't
// support HMAC calculation" and answer no digest.
std::optional<digest> hmac(const uint8_t* data, size_t data_length,
                           const uint8_t* key, size_t key_length, method m);

// The `hash` method has no algorithm yet: prints so on standard output;
// checksum then answers 0.
void hash_stub();

// Fills the buffer from the operating system's secure random source.
void gen_random(void* buffer, size_t length);

}  // namespace kez::checksum
