#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/checksum.h"
#include "runtime/datatypes/error.h"
#include "runtime/thrown.h"
#include "tests/unit/capture.h"
#include "tests/unit/child_process.h"

using namespace kez;
using namespace kez::checksum;

namespace {

using bytes = std::vector<uint8_t>;

bytes of(std::string_view text) { return bytes(text.begin(), text.end()); }

std::string hex(const uint8_t* p, size_t n) {
  static const char digits[] = "0123456789ABCDEF";
  std::string s;
  for (size_t i = 0; i < n; ++i) {
    s += digits[p[i] >> 4];
    s += digits[p[i] & 15];
  }
  return s;
}

std::string hex(const digest& d) { return hex(d.bytes, size_t(d.size)); }

std::string digest_hex(const bytes& data, int code) {
  return hex(crypto_hash(data.data(), data.size(), code));
}

std::string hmac_hex(const bytes& data, const bytes& key, method m) {
  auto d = hmac(data.data(), data.size(), key.data(), key.size(), m);
  return d ? hex(*d) : "<none>";
}

// Deterministic filler that is not periodic within a megabyte.
bytes noise(size_t n, uint32_t seed) {
  bytes b(n);
  uint32_t x = seed;
  for (auto& v : b) {
    x = x * 1664525u + 1013904223u;
    v = uint8_t(x >> 24);
  }
  return b;
}

template <class Body>
std::pair<int, int> fired_by(Body&& body) {
  try {
    body();
  } catch (const thrown& t) {
    EXPECT_EQ(t.code, THROWN_ERROR);
    return {error::last_category(), error::last_id()};
  }
  return {-1, -1};
}

const method digest_methods[] = {METHOD_MD5, METHOD_SHA1, METHOD_SHA256, METHOD_SHA384,
                                 METHOD_SHA512};

}  // namespace

// Expected values computed with Python's zlib and an RFC 1071 sum.
TEST(Checksum, IntegerSumsOfKnownInputs) {
  struct row {
    std::string_view data;
    uint32_t crc, adler, tcp;
  } rows[] = {
      {"", 0, 1, 0xFFFF},
      {"abc", 0x352441C2, 0x024D0127, 0x3B9D},
      {"123456789", uint32_t(-873187034), 0x091E01DE, 0xF62A},
      {"Wikipedia", 0xADAAC02E, 300286872, 0x075E},
  };
  for (const row& r : rows) {
    bytes b = of(r.data);
    EXPECT_EQ(crc32(b.data(), b.size()), r.crc) << r.data;
    EXPECT_EQ(adler32(b.data(), b.size()), r.adler) << r.data;
    EXPECT_EQ(tcp(b.data(), b.size()), r.tcp) << r.data;
  }
  EXPECT_EQ(int32_t(crc32(of("123456789").data(), 9)), -873187034);
}

TEST(Checksum, InternetChecksumWordsAndOddByte) {
  struct row {
    bytes data;
    uint32_t sum;
  } rows[] = {
      {{0x00, 0x01}, 0xFFFE},
      {{0x01}, 0xFEFF},
      {{0xFF, 0xFF}, 0x0000},
      {{0x80, 0x00, 0x80, 0x00}, 0xFFFE},  // one carry out of 16 bits, folded back
      {{0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
        0x00, 0x00, 0xC0, 0xA8, 0x00, 0x01, 0xC0, 0xA8, 0x00, 0xC7}, 0xB861},  // an IPv4 header
  };
  for (const row& r : rows) EXPECT_EQ(tcp(r.data.data(), r.data.size()), r.sum);
}

// Appending a buffer's checksum makes the checksum of the whole 0; over a
// megabyte the running sum passes 32 bits many times.
TEST(Checksum, InternetChecksumOfLargeBuffersKeepsEveryCarry) {
  for (bytes data : {bytes(1 << 20, 0xFF), noise(1 << 20, 7)}) {
    uint32_t sum = tcp(data.data(), data.size());
    data.push_back(uint8_t(sum >> 8));
    data.push_back(uint8_t(sum));
    EXPECT_EQ(tcp(data.data(), data.size()), 0u);
  }
}

TEST(Checksum, RunningSumsContinueAcrossPieces) {
  bytes data = noise(3 * 5552 + 17, 3);
  uint32_t crc_whole = crc32(data.data(), data.size());
  uint32_t adler_whole = adler32(data.data(), data.size());
  for (size_t cut : {size_t(0), size_t(1), size_t(5551), size_t(5552), size_t(5553), data.size()}) {
    EXPECT_EQ(crc32(data.data() + cut, data.size() - cut, crc32(data.data(), cut)), crc_whole) << cut;
    EXPECT_EQ(adler32(data.data() + cut, data.size() - cut, adler32(data.data(), cut)), adler_whole)
        << cut;
  }
}

// Adler-32's sums stay exact when a long run of 0xFF bytes pushes them
// towards the top of 32 bits before each reduction.
TEST(Checksum, AdlerOfLongRunOfHighBytes) {
  bytes data(1 << 20, 0xFF);
  uint64_t a = 1, b = 0;
  for (uint8_t v : data) {
    a = (a + v) % 65521;
    b = (b + a) % 65521;
  }
  EXPECT_EQ(adler32(data.data(), data.size()), uint32_t(b << 16 | a));
}

// Published digests and HMACs, pasted from Python's hashlib and hmac.
TEST(Checksum, DigestsOfKnownInputs) {
  struct row {
    method m;
    const char* abc;
    const char* empty;
    const char* fox_hmac;  // HMAC of the fox sentence with the key "key"
  } rows[] = {
      {METHOD_MD5, "900150983CD24FB0D6963F7D28E17F72", "D41D8CD98F00B204E9800998ECF8427E",
       "80070713463E7749B90C2DC24911E275"},
      {METHOD_SHA1, "A9993E364706816ABA3E25717850C26C9CD0D89D",
       "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709", "DE7C9B85B8B78AA6BC8A7A36F70A90701C9DB4D9"},
      {METHOD_SHA256, "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD",
       "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855",
       "F7BC83F430538424B13298E6AA6FB143EF4D59A14946175997479DBC2D1A3CD8"},
      {METHOD_SHA384,
       "CB00753F45A35E8BB5A03D699AC65007272C32AB0EDED1631A8B605A43FF5BED8086072BA1E7CC2358BAECA134C825A7",
       "38B060A751AC96384CD9327EB1B1E36A21FDB71114BE07434C0CC7BF63F6E1DA274EDEBFE76F65FBD51AD2F14898B95B",
       "D7F4727E2C0B39AE0F1E40CC96F60242D5B7801841CEA6FC592C5D3E1AE50700582A96CF35E1E554995FE4E03381C237"},
      {METHOD_SHA512,
       "DDAF35A193617ABACC417349AE20413112E6FA4E89A97EA20A9EEEE64B55D39A2192992A274FC1A836BA3C23A3FEEBBD"
       "454D4423643CE80E2A9AC94FA54CA49F",
       "CF83E1357EEFB8BDF1542850D66D8007D620E4050B5715DC83F4A921D36CE9CE47D0D13C5D85F2B0FF8318D2877EEC2F"
       "63B931BD47417A81A538327AF927DA3E",
       "B42AF09057BAC1E2D41708E48A902E09B5FF7F12AB428A4FE86653C73DD248FB82F948A549F7B791A5B41915EE4D1EC3"
       "935357E4E2317250D0372AFA2EBEEB3A"},
  };
  const bytes fox = of("The quick brown fox jumps over the lazy dog");
  for (const row& r : rows) {
    int code = method_code(r.m);
    EXPECT_EQ(digest_hex(of("abc"), code), r.abc);
    EXPECT_EQ(digest_hex({}, code), r.empty);
    EXPECT_EQ(crypto_hash(nullptr, 0, code).size, digest_size(code));
    EXPECT_EQ(hmac_hex(fox, of("key"), r.m), r.fox_hmac);
  }
}

// Every digest and HMAC, and CRC-32, Adler-32 and the Internet checksum, of
// inputs around the block and padding boundaries, a megabyte, and keys
// shorter than, equal to and longer than each block size, checked against
// Python's hashlib, hmac and zlib run as a child process.
TEST(Checksum, MatchesPythonPeer) {
  std::map<std::string, bytes> data = {
      {"empty", {}},
      {"one", of("a")},
      {"d55", noise(55, 1)},
      {"d56", noise(56, 2)},
      {"d64", noise(64, 3)},
      {"d111", noise(111, 4)},
      {"d128", noise(128, 5)},
      {"mega", noise(1 << 20, 6)},
  };
  std::map<std::string, bytes> keys = {
      {"kempty", {}},  {"kshort", of("key")},    {"k64", noise(64, 10)}, {"k65", noise(65, 11)},
      {"k128", noise(128, 12)}, {"k129", noise(129, 13)}, {"k300", noise(300, 14)},
  };
  char dir_template[] = "/tmp/kez-checksum-XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  std::filesystem::path dir = dir_template;
  auto put = [&](const std::string& name, const bytes& b) {
    std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(b.data()),
                                                      std::streamsize(b.size()));
  };
  for (const auto& [name, b] : data) put("data-" + name, b);
  for (const auto& [name, b] : keys) put("key-" + name, b);

  const char* script = R"PY(
import hashlib, hmac, os, sys, zlib
d = sys.argv[1]
def load(prefix):
    return {f[len(prefix):]: open(os.path.join(d, f), 'rb').read()
            for f in os.listdir(d) if f.startswith(prefix)}
data, keys = load('data-'), load('key-')
methods = ['md5', 'sha1', 'sha256', 'sha384', 'sha512']
for name, b in data.items():
    s = sum((b[i] << 8) | (b[i + 1] if i + 1 < len(b) else 0) for i in range(0, len(b), 2))
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    print('sums', name, zlib.crc32(b), zlib.adler32(b), ~s & 0xFFFF)
    for m in methods:
        print('digest', name, m, hashlib.new(m, b).hexdigest().upper())
        for kname, k in keys.items():
            print('hmac', name, kname, m, hmac.new(k, b, m).hexdigest().upper())
)PY";
  test::child_result peer = test::run_child("/usr/bin/python3", {"-c", script, dir.string()});
  std::filesystem::remove_all(dir);
  ASSERT_EQ(peer.status, 0) << peer.err;

  std::istringstream lines(peer.out);
  std::string kind;
  int checked = 0;
  while (lines >> kind) {
    std::string name;
    lines >> name;
    const bytes& b = data.at(name);
    if (kind == "sums") {
      uint32_t crc, adler, sum;
      lines >> crc >> adler >> sum;
      EXPECT_EQ(crc32(b.data(), b.size()), crc) << name;
      EXPECT_EQ(adler32(b.data(), b.size()), adler) << name;
      EXPECT_EQ(tcp(b.data(), b.size()), sum) << name;
    } else if (kind == "digest") {
      std::string m, expected;
      lines >> m >> expected;
      EXPECT_EQ(digest_hex(b, method_code(method(method_of(m)))), expected) << name << " " << m;
    } else {
      std::string key, m, expected;
      lines >> key >> m >> expected;
      EXPECT_EQ(hmac_hex(b, keys.at(key), method(method_of(m))), expected)
          << name << " " << key << " " << m;
    }
    ++checked;
  }
  EXPECT_EQ(checked, int(data.size() * (1 + 5 * (1 + keys.size()))));
}

TEST(Checksum, LongKeyActsAsItsDigest) {
  bytes data = of("message");
  for (method m : digest_methods) {
    size_t block = m == METHOD_SHA384 || m == METHOD_SHA512 ? 128 : 64;
    bytes key = noise(block + 1, 21);
    digest k = crypto_hash(key.data(), key.size(), method_code(m));
    EXPECT_EQ(hmac_hex(data, key, m), hmac_hex(data, bytes(k.bytes, k.bytes + k.size), m)) << m;
    // A key of exactly one block is used as it is.
    bytes exact = noise(block, 22);
    digest e = crypto_hash(exact.data(), exact.size(), method_code(m));
    EXPECT_NE(hmac_hex(data, exact, m), hmac_hex(data, bytes(e.bytes, e.bytes + e.size), m)) << m;
  }
}

TEST(Checksum, MethodWordsCodesAndSizes) {
  struct row {
    std::string_view name;
    int method, code, size;
  } rows[] = {
      {"tcp", METHOD_TCP, CODE_TCP, 0},         {"MD5", METHOD_MD5, CODE_MD5, 16},
      {"sha1", METHOD_SHA1, CODE_SHA1, 20},     {"Crc32", METHOD_CRC32, CODE_CRC32, 0},
      {"adler32", METHOD_ADLER32, CODE_NONE, 0}, {"SHA256", METHOD_SHA256, CODE_SHA256, 32},
      {"sha384", METHOD_SHA384, CODE_SHA384, 48}, {"sha512", METHOD_SHA512, CODE_SHA512, 64},
      {"hash", METHOD_HASH, CODE_NONE, 0},
  };
  for (const row& r : rows) {
    ASSERT_EQ(method_of(r.name), r.method) << r.name;
    EXPECT_EQ(method_code(method(r.method)), r.code) << r.name;
    EXPECT_EQ(digest_size(r.code), r.size) << r.name;
  }
  for (std::string_view name : {"", "sha", "md", "md55", "sha-256", "crc32 ", "\xC4\xB0tcp"})
    EXPECT_EQ(method_of(name), -1) << name;
  for (int code : {-1, 7, 1000}) EXPECT_EQ(digest_size(code), 0);
  EXPECT_EQ(method_code(method(METHOD_COUNT)), CODE_NONE);
}

TEST(Checksum, DigestOfCodeWithoutAlgorithmRaisesInvalidArg) {
  bytes b = of("abc");
  for (int code : {int(CODE_TCP), int(CODE_CRC32), int(CODE_NONE), 7, 0x7FFFFFFF}) {
    auto [category, id] = fired_by([&] { crypto_hash(b.data(), b.size(), code); });
    EXPECT_EQ(category, err::cat_script) << code;
    EXPECT_EQ(id, err::script::invalid_arg) << code;
  }
}

TEST(Checksum, HmacOfMethodWithoutDigestAnswersNothing) {
  bytes data = of("abc"), key = of("key");
  for (method m : {METHOD_TCP, METHOD_CRC32, METHOD_ADLER32, METHOD_HASH}) {
    std::optional<digest> d;
    std::string out = test::capture_stdout(
        [&] { d = hmac(data.data(), data.size(), key.data(), key.size(), m); });
    EXPECT_FALSE(d.has_value()) << m;
    EXPECT_EQ(out, "The selected algorithm doesn't support HMAC calculation\n") << m;
  }
}

TEST(Checksum, HashMethodSaysItHasNoAlgorithm) {
  EXPECT_EQ(test::capture_stdout([] { hash_stub(); }), "** /hash support not yet implemented; algorithm TBD.\n");
}

TEST(Checksum, SecureBytesFillTheWholeBuffer) {
  // The chance that 64 fresh random bytes are all zero, or twice the same, is nil.
  for (size_t n : {size_t(1), size_t(64), size_t(1 << 16)}) {
    bytes a(n + 8, 0), b(n + 8, 0);
    gen_random(a.data(), n);
    gen_random(b.data(), n);
    size_t tail = std::min<size_t>(n, 64);
    if (n >= 64) {
      EXPECT_NE(bytes(a.end() - 8 - tail, a.end() - 8), bytes(tail, 0)) << n;
      EXPECT_NE(a, b) << n;
    }
    EXPECT_EQ(bytes(a.end() - 8, a.end()), bytes(8, 0)) << "wrote past the end, n=" << n;
  }
  gen_random(nullptr, 0);
}
