// The Kezbin codec through its entry points on a fully started runtime:
// exact bytes of small values, round trips of every encodable kind in both
// encodings (compared by their molded text and by behaviour), sharing and
// cycles, compressed bodies, boot loading, and the malformed inputs the
// decoder must refuse with the offset of the fault.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "booted_fixture.h"
#include "runtime/actions.h"
#include "runtime/boot.h"
#include "runtime/core_ops.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/word.h"
#include "runtime/error_ids.h"
#include "runtime/interpreter.h"
#include "runtime/kezbin.h"
#include "runtime/lexer.h"
#include "runtime/lz.h"
#include "runtime/stack.h"
#include "runtime/thrown.h"

namespace kez {
namespace {

using bytes = std::vector<uint8_t>;

bytes hex(const char* text) {
  bytes out;
  for (const char* p = text; p[0] && p[1];) {
    if (*p == ' ') {
      ++p;
      continue;
    }
    out.push_back(uint8_t(std::stoi(std::string(p, 2), nullptr, 16)));
    p += 2;
  }
  return out;
}

class kezbin_test : public testing::booted_test {
 protected:
  static std::string mold(const cell* value, bool all = true) {
    cell v = *value;
    collector::root_cells keep(&v);
    cell* buffer = stack::push_cell();
    string::make_at(buffer, 16);
    actions::mold_dispatch(&v, buffer, false, all, false, nullptr, 0x7FFFFFFF, 0);
    series_buffer* b = string::buffer_of(buffer);
    std::string s;
    for (int32_t i = 0, n = string::ks_length_q(buffer); i < n; ++i) {
      int32_t cp = string::get_char(b->head_ptr() + size_t(i) * b->unit(), b->unit());
      if (cp < 0x80) s += char(cp);
      else s += '?';
    }
    stack::pop(1);
    return s;
  }

  static bytes contents(const cell* binary) {
    series_buffer* b = memory::buffer_of(binary->w2);
    return bytes(b->head_ptr() + binary->w1, b->tail_ptr());
  }

  static bytes encode(const cell* value, bool compact) {
    cell* out = kezbin::encode_star(value, compact);
    bytes b = contents(out);
    stack::pop(1);
    return b;
  }

  // Decodes into a data-stack cell.
  static cell* decode(const bytes& data) {
    cell* in = binary::load(data.data(), uint32_t(data.size()));
    cell* out = kezbin::decode(in);
    *in = *out;
    stack::pop(1);
    return in;
  }

  // "ok" or "<error id> <arg1 formed>" for the first failure.
  static std::string decode_error(const bytes& data) {
    cell* base = stack::top;
    std::string answer = "ok";
    try {
      decode(data);
    } catch (const thrown&) {
      answer = err::id_name(error::last_category(), error::last_id());
      const cell* a = error::last_arg(1);
      if (a && type_of(a) == TYPE_INTEGER) answer += " " + std::to_string(int32_t(a->w2));
    }
    stack::top = base;
    return answer;
  }
};

TEST_F(kezbin_test, SmallValuesHaveTheirExactBytes) {
  cell v{TYPE_INTEGER, 0, 63, 0};
  EXPECT_EQ(encode(&v, true), hex("4B455A42494E02010101BF"));
  EXPECT_EQ(encode(&v, false), hex("4B455A42494E020001000000080000000B0000003F000000"));
  v.w2 = 64;
  EXPECT_EQ(encode(&v, true), hex("4B455A42494E020101030B8001"));
  v.w2 = uint32_t(-1);
  EXPECT_EQ(encode(&v, true), hex("4B455A42494E020101020B01"));

  cell* s = run("\"a^\(3A9)b\"");  // unit 2
  bytes compact = encode(s, true);
  EXPECT_EQ(bytes(compact.end() - 8, compact.end()), hex("070D6100A9036200"));
  EXPECT_EQ(compact[9], 8);  // body length

  for (bool c : {true, false}) {
    cell* back = decode(encode(s, c));
    EXPECT_EQ(mold(back), mold(s));
    EXPECT_EQ(string::buffer_of(back)->unit(), 2u);
  }
  v.w2 = 63;
  EXPECT_EQ(decode(hex("4B455A42494E020001000000080000000B0000003F000000"))->w2, 63u);
  EXPECT_EQ(decode(hex("4B455A42494E020101030B8001"))->w2, 64u);
}

TEST_F(kezbin_test, ValuesRoundTripInBothEncodings) {
  const char* sources[] = {
      "reduce [1 -70000 [2 [3 []]] \"x\" #{0102} 1.5 -0.0 50% 0.5% 10:00 -1:30:00.5 none true false]",
      "[1-Jan-2020 1-Jan-2020/10:00+2:00 29-Feb-2024/23:59:59-5:30 $12.34 -$0.01 USD$1.5 1.2.3 1.2.3.4.5.6.7.8.9.10.11.12]",
      "[3x4 -1x-2 #\"a\" #\"^(10FFFF)\" 'w :g /r #iss w: integer! %file.txt http://a.b/c <tag> me@x.y @ref]",
      "[(1 + 2) p/q/r 'p/q :p/q p/q: \"^(1F600)\" \"caf^(E9)\"]",
      "new-line/all [1 2 3 [4 5]] true",
      "make map! reduce ['a 1 \"k\" [2] 3 none 'b make map! [c: 1]]",
      "make hash! [a 1 b 2]",
      "reduce [make vector! [1 2 3] make vector! [1.5 2.5] make vector! [integer! 8 [1 2]] make vector! [float! 32 [1.0]]]",
      "reduce [make bitset! \"abc\" complement make bitset! \"x\" make typeset! [integer! block!]]",
      "next next [a b c d]",
      "next \"abc\"",
      "make object! [a: 1 b: [x y] c: make object! [d: 'e]]",
      "func [x [integer!] /r z \"doc\"] [x + 1]",
      "reduce [:append :add :+ make op! func [a b] [a - b]]",
      "make error! [type: 'script id: 'expect-arg arg1: 'f arg2: 'x arg3: 3]",
      "i: make image! [2x1 #{0102030A0B0C} #{FF00}] reduce [i next i make image! 0x3 i]",
  };
  for (const char* source : sources) {
    SCOPED_TRACE(source);
    cell* v = run(source);
    std::string expected = mold(v);
    for (bool compact : {true, false}) {
      SCOPED_TRACE(compact ? "compact" : "classic");
      try {
        bytes data = encode(v, compact);
        cell* back = decode(data);
        EXPECT_EQ(mold(back), expected);
        // Decoding the same data twice gives equal values.
        EXPECT_EQ(mold(decode(data)), expected);
        stack::pop(2);
      } catch (const thrown&) {
        ADD_FAILURE() << err::id_name(error::last_category(), error::last_id());
      }
    }
  }
}

TEST_F(kezbin_test, DecodedCodeStillWorks) {
  // An object whose method reads a field, a function with a refinement, a
  // word bound to an object, and words bound to the global context.
  cell* v = run(
      "o: make object! [a: 10 f: func [y] [y + a] g: does [self/a]]"
      " reduce [o func [x /r z] [either r [x + z] [x * 2]] in o 'a 'print]");
  for (bool compact : {true, false}) {
    SCOPED_TRACE(compact ? "compact" : "classic");
    cell* back = decode(encode(v, compact));
    context::set(word::load("back"), back);
    stack::pop(1);
    cell* r = run(
        "reduce [back/1/f 5 back/1/g back/2 4 back/2/r 4 1 get back/3 back/1/a: 7 back/1/f 5"
        " same? back/4 'print  equal? context? back/3 context? in back/1 'a]");
    EXPECT_EQ(mold(r, false), "[15 10 8 5 10 7 12 true true]");
    // Words decoded as global come back bound to the global context.
    stack::pop(1);
    cell* w = run("back/4");
    EXPECT_EQ(w->w1, context::global);
    stack::pop(1);
  }
}

TEST_F(kezbin_test, SharingAndCyclesSurvive) {
  cell* v = run(
      "b: [1 2] s: \"text\" o: make object! [x: 1] f: func [a] [a]"
      " c: [0] append/only c c"
      " reduce [b next b s o o :f :f c in o 'x]");
  for (bool compact : {true, false}) {
    SCOPED_TRACE(compact ? "compact" : "classic");
    cell* back = decode(encode(v, compact));
    context::set(word::load("back"), back);
    stack::pop(1);
    cell* r = run(
        "append back/1 3 append back/3 \"!\" back/4/x: 2"
        " reduce [back/1 back/2 back/3 back/5/x same? :back/6 :back/7 (append back/8 9 back/8/2/2/2/3)"
        " get back/9]");
    EXPECT_EQ(mold(r, false), "[[1 2 3] [2 3] \"text!\" 2 true 9 2]");
    stack::pop(1);
  }
}

TEST_F(kezbin_test, FloatsKeepEveryBit) {
  struct row {
    uint32_t type;
    double d;
    bool short_form;
  };
  const row rows[] = {
      {TYPE_PERCENT, 0.09999999999999999, false},  // x 100 rounds to 10.0, yet 10 / 100 is 0.1
      {TYPE_PERCENT, 0.1, true},
      {TYPE_PERCENT, -0.5, true},
      {TYPE_FLOAT, -0.0, false},
      {TYPE_FLOAT, 3.0, true},
      {TYPE_FLOAT, 3e10, false},
      {TYPE_FLOAT, 0.1, false},
      {TYPE_TIME, 3600.0, true},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.d);
    cell v{r.type, 0, 0, 0};
    store_double(&v.w2, r.d);
    bytes data = encode(&v, true);
    EXPECT_EQ((data.back() & 0x80) == 0 && data.size() < 14, r.short_form) << data.size();
    for (bool compact : {true, false}) {
      cell* back = decode(encode(&v, compact));
      EXPECT_EQ(type_of(back), r.type);
      EXPECT_EQ(back->w2, v.w2);
      EXPECT_EQ(back->w3, v.w3);
    }
  }
}

TEST_F(kezbin_test, CompressedBodiesDecode) {
  cell* v = run("head insert/dup copy [] \"same text again\" 200");
  std::string expected = mold(v);
  bytes plain = encode(v, true);
  std::vector<uint8_t> packed(plain.size());
  int32_t n = lz::compress(plain.data() + 8, uint32_t(plain.size() - 8), packed.data());
  ASSERT_GT(n, 0);
  bytes data(plain.begin(), plain.begin() + 8);
  data[7] |= 2;
  data.insert(data.end(), packed.begin(), packed.begin() + n);
  EXPECT_LT(data.size(), plain.size());
  EXPECT_EQ(mold(decode(data)), expected);
  data[12] ^= 0xFF;
  EXPECT_EQ(decode_error(data).substr(0, 12), "invalid-data");
}

// Compact data around a body: the header (version 2 unless given), the
// record count, the body length and, with names, the symbol table.
bytes compact_data(const char* body_hex, const std::vector<std::string>& names = {}, uint8_t version = 2) {
  bytes body = hex(body_hex);
  bytes out = hex("4B455A42494E");
  out.push_back(version);
  out.push_back(names.empty() ? 1 : 5);
  auto varint = [&](uint32_t v) {
    while (v >= 0x80) {
      out.push_back(uint8_t(v | 0x80));
      v >>= 7;
    }
    out.push_back(uint8_t(v));
  };
  varint(1);
  varint(uint32_t(body.size()));
  if (!names.empty()) {
    std::string area;
    std::vector<uint32_t> offsets;
    for (const std::string& n : names) {
      offsets.push_back(uint32_t(area.size()));
      area += n;
      area.push_back('\0');
    }
    varint(uint32_t(names.size()));
    varint(uint32_t(area.size()));
    for (uint32_t o : offsets)
      for (int i = 0; i < 4; ++i) out.push_back(uint8_t(o >> (8 * i)));
    out.insert(out.end(), area.begin(), area.end());
  }
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

TEST_F(kezbin_test, MalformedHeadersAreRefused) {
  struct row {
    const char* data;
    const char* answer;
  };
  const row rows[] = {
      {"4B455A42494E02010101", "invalid-data"},                             // 10 bytes
      {"4B455A42494F020101018000", "invalid-data"},                         // not the magic
      {"4B455A42494E0208 0101 80", "kb-invalid-record 8"},                  // unknown flag
      {"4B455A42494E0201 01 09 80", "kb-invalid-record 10"},                // body longer than the data
      {"4B455A42494E0201 FFFFFFFF1F 0180", "kb-invalid-record 9"},          // varint over 32 bits
      {"4B455A42494E0205 01 02 FFFFFFFF0F FFFFFFFF0F", "kb-invalid-record 11"},  // N x 4 + S past 32 bits
      {"4B455A42494E0205 01 02 01 02 00000000 6162 0F00", "kb-invalid-record 18"},  // names not NUL-ended
      {"4B455A42494E0205 01 02 01 02 05000000 6100 0F00", "kb-invalid-record 20"},  // offset past the names
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.data);
    std::string answer = decode_error(hex(r.data));
    EXPECT_EQ(answer.substr(0, std::strlen(r.answer)), r.answer) << answer;
  }
}

TEST_F(kezbin_test, MalformedRecordsAreRefused) {
  struct row {
    const char* body;
    const char* answer;  // with the fault's 1-based offset in the body
    bool symbols;        // a table holding one name, "a"
  };
  const row rows[] = {
      {"C40F00", "kb-invalid-record 2", true},          // a definition at run time
      {"00", "kb-invalid-record 1", false},             // type 0
      {"0D", "kb-invalid-record 1", false},             // symbol! is no value
      {"37", "kb-invalid-record 1", false},             // id 55
      {"3F00", "kb-invalid-record 1", false},           // the id that follows is 0
      {"C5", "kb-invalid-record 1", false},             // unused byte from 0xC0
      {"C180", "kb-invalid-record 2", false},           // a shared integer
      {"0BFFFFFFFF1F", "kb-invalid-record 2", false},   // a varint over 32 bits
      {"0B", "kb-invalid-record 2", false},             // a read past the body
      {"0F00", "kb-invalid-record 2", false},           // a word without symbols
      {"0F01", "kb-invalid-record 2", true},            // a symbol index outside the table
      {"0F00", "ok", true},
      {"0AFFFF43", "ok", false},                        // code point 0x10FFFF
      {"0A808044", "kb-invalid-record 1", false},       // code point 0x110000
      {"0706 00001100", "kb-invalid-record 3", false},  // unit-4 text above 0x10FFFF
      {"232A 01 00001100", "kb-invalid-record 4", false},  // char! vector element above 0x10FFFF
      {"070761", "kb-invalid-record 1", false},         // unit code 3
      {"2310 01 00", "kb-invalid-record 1", false},     // vector kind: logic! elements
      {"239A 00", "kb-invalid-record 1", false},        // vector kind: 4-byte percent! elements
      {"232E FFFFFFFF0F", "kb-invalid-record 3", false},  // count x unit past 32 bits
      {"35 00 00", "ok", false},                        // image! with no pixels
      {"35 01 01 FFFFFF00", "ok", false},
      {"35 FFFF03 FFFF03", "kb-invalid-record 2", false},  // 65535 x 65535 with no pixels
      {"35 808004 01", "kb-invalid-record 2", false},      // a width above 65535
      {"75 02 01 01 00000000", "kb-invalid-record 1", false},  // a head past the last pixel
      {"1D00", "no-codec", false},                      // routine!
      {"210D", "kb-invalid-record 1", false},           // typeset of 13 bytes
      {"6702 0102", "kb-invalid-record 1", false},      // tuple of 2 bytes
      {"2F 00000000", "kb-invalid-record 1", false},    // date of month 0
      {"157F 0500", "kb-invalid-record 1", false},      // native index 127
      {"163F 0500", "kb-invalid-record 1", false},      // action index 63
      {"22E807", "kb-invalid-record 1", false},         // error code 1000
      {"050280", "kb-invalid-record 2", false},         // a count over the bytes left
      {"0501 FF0100", "ok", false},                     // a block holding itself
      {"0501 FF0105", "kb-invalid-record 3", false},    // a path leaving its series
      {"FF00", "kb-invalid-record 1", false},           // an empty path
      {"80 FF0100", "ok", false},
      {"0501 C145 01 0100", "kb-invalid-record 4", false},  // a shared head past the tail
      {"8A C1070100", "kb-invalid-record 3", false},        // a string sharing an integer's buffer
      // An object (field a: 1) whose on-change* position, 1, is outside it.
      {"60 00 00 02 0E 10 01 00 81", "kb-invalid-record 3", true},
      // A word bound to such an object at index 1: outside its context.
      {"4F 00 02 20 00 0E 10 01 00 81", "kb-invalid-record 3", true},
      {"4F 00 00 20 00 0E 10 01 00 81", "ok", true},
      // The owner after a bound word must be an object or a function.
      {"4F 00 00 05 00", "kb-invalid-record 4", true},
      // A function whose context does not hold its spec's words.
      {"18 00 00 0E 05 00 05 01 0F 00 05 00", "kb-invalid-record 7", true},
      {"18 00 00 0E 05 01 00 05 01 0F 00 05 00", "ok", true},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.body);
    bytes data = r.symbols ? compact_data(r.body, {"a"}) : compact_data(r.body);
    bytes body = hex(r.body);
    size_t body_start = data.size() - body.size();
    std::string answer = decode_error(data);
    std::string expected = r.answer;
    if (expected.rfind("kb-invalid-record ", 0) == 0)
      expected = "kb-invalid-record " + std::to_string(body_start + std::stoul(expected.substr(18)));
    EXPECT_EQ(answer.substr(0, expected.size()), expected) << answer;
  }
}

TEST_F(kezbin_test, NestingHasALimit) {
  for (bool deep : {false, true}) {
    int n = deep ? kezbin::MAX_DEPTH + 1 : kezbin::MAX_DEPTH - 1;
    bytes data = hex("4B455A42494E0201");
    bytes body;
    for (int i = 0; i < n; ++i) body.insert(body.end(), {0x05, 0x01});
    body.insert(body.end(), {0x05, 0x00});
    data.push_back(1);
    uint32_t length = uint32_t(body.size());
    while (length >= 0x80) {
      data.push_back(uint8_t(length | 0x80));
      length >>= 7;
    }
    data.push_back(uint8_t(length));
    data.insert(data.end(), body.begin(), body.end());
    std::string answer = decode_error(data);
    EXPECT_EQ(answer.substr(0, 17), deep ? "kb-invalid-record" : "ok") << answer;
  }
  cell* v = run("b: [] loop 3000 [b: reduce [b]] b");
  EXPECT_EQ(testing::internal_error_of([&] { kezbin::encode_compact(v); }), err::internal::too_deep);
}

TEST_F(kezbin_test, TypesWithoutEncodingRaiseNoCodec) {
  cell values[] = {{TYPE_HANDLE, 1, 2, uint32_t(-1)}, {TYPE_TRIPLE, 1, 2, 3}};
  for (cell& v : values) {
    for (bool compact : {true, false}) {
      std::string answer;
      try {
        kezbin::encode_star(&v, compact);
      } catch (const thrown&) {
        answer = err::id_name(error::last_category(), error::last_id());
      }
      EXPECT_EQ(answer, "no-codec");
    }
  }
}

TEST_F(kezbin_test, BootDataDefinesWordsAndFixesTheRootBase) {
  // kb-word: 10 (a definition, which leaves nothing), an object holding
  // kb-word: 2, then a word bound to it through its index in the root block
  // (counted from where this decoding started), at index 0.
  bytes compact = compact_data("C4 10 00 8A  20 00 0E 1A 01 00 82  4F 00 00 00", {"kb-word"}, 1);
  // The same in classic words: the definition's bit 25, the context flags
  // in the header, a word's context given by its root index.
  std::vector<uint32_t> words = {
      0x02000010, 0, uint32_t(-1), uint32_t(-1), 0x0B, 10,      // kb-word: 10
      0x20, 0, uint32_t(-1), uint32_t(-1),                       // object, no hooks
      0x0E | (2u << 26) | 0x10000000 | 0x40000000, 1, 0, 0x0B, 2,  // its context
      0x0F, 0, 0, 0};                                            // kb-word bound to it
  bytes classic = hex("4B455A42494E0104");
  auto put = [&](uint32_t w) {
    for (int i = 0; i < 4; ++i) classic.push_back(uint8_t(w >> (8 * i)));
  };
  for (uint32_t w : {1u, uint32_t(words.size() * 4), 1u, 8u, 0u}) put(w);
  for (char c : std::string("kb-word", 8)) classic.push_back(uint8_t(c));
  for (uint32_t w : words) put(w);

  for (const bytes& data : {compact, classic}) {
    uint32_t before = root::length();
    cell nothing{TYPE_NONE, 0, 0, 0};
    context::set(word::load("kb-word"), &nothing);
    kezbin::boot_load(data.data(), data.size());
    EXPECT_EQ(root::length(), before + 2);
    EXPECT_EQ(type_of(root::cell_at(0)), TYPE_OBJECT);
    cell w = *root::cell_at(1);
    EXPECT_EQ(type_of(&w), TYPE_WORD);
    EXPECT_EQ(w.w1, root::cell_at(0)->w1);
    EXPECT_EQ(context::get(&w)->w2, 2u);
    EXPECT_EQ(run("kb-word")->w2, 10u);
    stack::pop(1);
    EXPECT_TRUE(collector::enabled());
  }
}

TEST_F(kezbin_test, BootEncoderWritesDefinitionsAndBindingsToTopLevelOwners) {
  // A global set-word and its value become a definition; a word bound to an
  // object among the top-level cells names it by its index there.
  cell items = *run("kb-obj: make object! [kb-word: 2] reduce [to set-word! 'kb-word 10 kb-obj in kb-obj 'kb-word]");
  collector::root_cells keep(&items);
  cell* out = kezbin::encode_boot(&items);
  bytes data = contents(out);
  stack::pop(2);
  ASSERT_GT(data.size(), 8u);
  EXPECT_EQ(data[6], 1);  // the boot data's version
  cell nothing{TYPE_NONE, 0, 0, 0};
  context::set(word::load("kb-word"), &nothing);
  uint32_t before = root::length();
  kezbin::boot_load(data.data(), data.size());
  ASSERT_EQ(root::length(), before + 2);  // the definition left nothing
  EXPECT_EQ(run("kb-word")->w2, 10u);
  stack::pop(1);
  cell w = *root::cell_at(1);
  EXPECT_EQ(type_of(&w), TYPE_WORD);
  EXPECT_EQ(w.w1, root::cell_at(0)->w1);
  EXPECT_EQ(context::get(&w)->w2, 2u);

  // An owner that is not a top-level cell has no root index.
  cell nested = *run("reduce [reduce [kb-obj] in kb-obj 'kb-word]");
  collector::root_cells keep_nested(&nested);
  std::string answer;
  try {
    kezbin::encode_boot(&nested);
  } catch (const thrown&) {
    answer = err::id_name(error::last_category(), error::last_id());
  }
  EXPECT_EQ(answer, "no-codec");
}

TEST_F(kezbin_test, AnInvalidBootRecordEndsTheProcess) {
  bytes data = compact_data("80 00", {}, 1);
  EXPECT_EXIT(kezbin::boot_load(data.data(), data.size()), ::testing::ExitedWithCode(1),
              "Error: Kezbin boot data invalid at index 12!");
}

TEST(kezbin_boot, CorruptBootDataEndsTheProcess) {
  const uint8_t not_kezbin[] = "KEZBAN\x01\x05\x01\x00";
  EXPECT_EXIT(kezbin::boot_load(not_kezbin, 10), ::testing::ExitedWithCode(1), "Error: Not a Kezbin file!");
  bytes packed = hex("4B455A42494E0107 FFFF");
  EXPECT_EXIT(kezbin::boot_load(packed.data(), packed.size()), ::testing::ExitedWithCode(1),
              "Error: Kezbin compressed data corrupted!");
}

}  // namespace
}  // namespace kez
