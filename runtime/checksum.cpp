#include "runtime/checksum.h"

#include <openssl/evp.h>
#include <sys/random.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>

#include "runtime/console.h"
#include "runtime/datatypes/error.h"

namespace kez::checksum {

namespace {

constexpr std::string_view method_names[METHOD_COUNT] = {
    "tcp", "md5", "sha1", "crc32", "adler32", "sha256", "sha384", "sha512", "hash"};

constexpr int method_codes[METHOD_COUNT] = {
    CODE_TCP, CODE_MD5, CODE_SHA1, CODE_CRC32, CODE_NONE,
    CODE_SHA256, CODE_SHA384, CODE_SHA512, CODE_NONE};

// Reflected CRC-32, polynomial 0xEDB88320, eight bytes at a step: table k
// holds the register's change for a byte followed by k zero bytes, so that
// eight lookups without a chain between them take a whole word (the start-up
// check of the boot image reads hundreds of kilobytes).
constexpr std::array<std::array<uint32_t, 256>, 8> crc_tables = [] {
  std::array<std::array<uint32_t, 256>, 8> t{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    t[0][n] = c;
  }
  for (int k = 1; k < 8; ++k)
    for (uint32_t n = 0; n < 256; ++n) t[k][n] = (t[k - 1][n] >> 8) ^ t[0][t[k - 1][n] & 0xFF];
  return t;
}();

constexpr uint32_t adler_base = 65521;
// The longest run whose sums cannot overflow an unsigned 32-bit b before the
// reduction: 255 n (n + 1) / 2 + (n + 1) (base - 1) < 2^32.
constexpr size_t adler_run = 5552;

bool ascii_equal_nocase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = char(x + 32);
    if (y >= 'A' && y <= 'Z') y = char(y + 32);
    if (x != y) return false;
  }
  return true;
}

const EVP_MD* digest_of(int code) {
  switch (code) {
    case CODE_MD5: return EVP_md5();
    case CODE_SHA1: return EVP_sha1();
    case CODE_SHA256: return EVP_sha256();
    case CODE_SHA384: return EVP_sha384();
    case CODE_SHA512: return EVP_sha512();
    default: return nullptr;
  }
}

struct md_ctx_free {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};

struct piece {
  const uint8_t* bytes;
  size_t length;
};

// The digest of the pieces taken one after the other, so that HMAC's pads
// are never copied in front of the data. A libcrypto that refuses the
// algorithm (a restricted build) raises internal/feature-na.
template <size_t N>
digest run_digest(const EVP_MD* md, const piece (&pieces)[N]) {
  std::unique_ptr<EVP_MD_CTX, md_ctx_free> ctx(EVP_MD_CTX_new());
  digest d{};
  unsigned int size = 0;
  bool ok = ctx && EVP_DigestInit_ex(ctx.get(), md, nullptr) == 1;
  for (const piece& p : pieces)
    ok = ok && (p.length == 0 || EVP_DigestUpdate(ctx.get(), p.bytes, p.length) == 1);
  ok = ok && EVP_DigestFinal_ex(ctx.get(), d.bytes, &size) == 1;
  if (!ok) error::fire(err::cat_internal, err::internal::feature_na);
  d.size = int(size);
  return d;
}

}  // namespace

int method_of(std::string_view name) {
  for (int m = 0; m < METHOD_COUNT; ++m)
    if (ascii_equal_nocase(name, method_names[m])) return m;
  return -1;
}

int method_code(method m) {
  return m >= 0 && m < METHOD_COUNT ? method_codes[m] : CODE_NONE;
}

int digest_size(int code) {
  switch (code) {
    case CODE_MD5: return 16;
    case CODE_SHA1: return 20;
    case CODE_SHA256: return 32;
    case CODE_SHA384: return 48;
    case CODE_SHA512: return 64;
    default: return 0;
  }
}

uint32_t crc32(const uint8_t* bytes, size_t length, uint32_t crc) {
  const auto& t = crc_tables;
  uint32_t reg = ~crc;
  for (; length >= 8; bytes += 8, length -= 8) {
    uint32_t lo, hi;
    std::memcpy(&lo, bytes, 4);
    std::memcpy(&hi, bytes + 4, 4);
    lo ^= reg;  // little-endian: the register meets the first four bytes
    reg = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
          t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
  }
  for (; length > 0; ++bytes, --length) reg = (reg >> 8) ^ t[0][(reg ^ *bytes) & 0xFF];
  return ~reg;
}

uint32_t adler32(const uint8_t* bytes, size_t length, uint32_t adler) {
  uint32_t a = adler & 0xFFFF, b = adler >> 16;
  while (length > 0) {
    size_t run = length < adler_run ? length : adler_run;
    length -= run;
    for (; run > 0; --run) {
      a += *bytes++;
      b += a;
    }
    a %= adler_base;
    b %= adler_base;
  }
  return (b << 16) | a;
}

uint32_t tcp(const uint8_t* bytes, size_t length) {
  // 64 bits hold the sum of any buffer that fits in memory; the carries are
  // folded until none is left.
  uint64_t sum = 0;
  size_t i = 0;
  for (; i + 1 < length; i += 2) sum += uint32_t(bytes[i]) << 8 | bytes[i + 1];
  if (i < length) sum += uint32_t(bytes[i]) << 8;
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return ~uint32_t(sum) & 0xFFFF;
}

digest crypto_hash(const uint8_t* bytes, size_t length, int code) {
  const EVP_MD* md = digest_of(code);
  if (!md) {
    cell arg{TYPE_INTEGER, 0, uint32_t(code), 0};
    error::fire(err::cat_script, err::script::invalid_arg, &arg);
  }
  return run_digest(md, {piece{bytes, length}});
}

std::optional<digest> hmac(const uint8_t* data, size_t data_length,
                           const uint8_t* key, size_t key_length, method m) {
  const EVP_MD* md = digest_of(method_code(m));
  if (!md) {
    stdout_::print_line("The selected algorithm doesn't support HMAC calculation");
    return std::nullopt;
  }
  const size_t block = m == METHOD_SHA384 || m == METHOD_SHA512 ? 128 : 64;
  digest short_key;
  if (key_length > block) {
    short_key = run_digest(md, {piece{key, key_length}});
    key = short_key.bytes;
    key_length = size_t(short_key.size);
  }
  uint8_t inner_pad[128] = {}, outer_pad[128] = {};
  if (key_length) {
    std::memcpy(inner_pad, key, key_length);
    std::memcpy(outer_pad, key, key_length);
  }
  for (size_t i = 0; i < block; ++i) {
    inner_pad[i] ^= 0x36;
    outer_pad[i] ^= 0x5C;
  }
  digest inner = run_digest(md, {piece{inner_pad, block}, piece{data, data_length}});
  return run_digest(md, {piece{outer_pad, block}, piece{inner.bytes, size_t(inner.size)}});
}

void hash_stub() { stdout_::print_line("** /hash support not yet implemented; algorithm TBD."); }

void gen_random(void* buffer, size_t length) {
  auto* at = static_cast<uint8_t*>(buffer);
  while (length > 0) {
    ssize_t n = getrandom(at, length, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      error::fire(err::cat_internal, err::internal::feature_na);
    }
    at += n;
    length -= size_t(n);
  }
}

}  // namespace kez::checksum
