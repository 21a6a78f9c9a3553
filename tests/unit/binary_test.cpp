// binary!: conversion, insertion and change, bitwise operations, comparison,
// molding, trimming and the four text codecs.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "numbers_fixture.h"

namespace kez {
namespace {

using bytes = std::vector<uint8_t>;
using testing::bytes_of;
using testing::bytes_value;
using testing::error_of;
using testing::formed;
using testing::integer;
using testing::number;

class binary_test : public testing::numbers_test {};

const std::pair<int, int> INVALID_ARG{err::cat_script, err::script::invalid_arg};
const std::pair<int, int> BAD_TO_ARG{err::cat_script, err::script::bad_to_arg};

TEST_F(binary_test, append_value_bytes) {
  struct row {
    cell value;
    bytes want;
  };
  const row rows[] = {
      {integer(255), {0xFF}},
      {integer(-1), {0xFF}},
      {integer(-128), {0x80}},
      {integer(0), {0x00}},
      {testing::character(0xE9), {0xC3, 0xA9}},
      {testing::character(0x1F600), {0xF0, 0x9F, 0x98, 0x80}},
  };
  for (const row& r : rows) {
    cell* bin = bytes_value({});
    actions::dispatch<ACT_APPEND>(bin, &r.value, -1, false, 1, true);
    EXPECT_EQ(bytes_of(bin), r.want) << integer::get(&r.value);
  }
  for (int32_t v : {256, -129, INT32_MIN}) {
    cell* bin = bytes_value({});
    cell value = integer(v);
    EXPECT_EQ(error_of([&] { actions::dispatch<ACT_APPEND>(bin, &value, -1, false, 1, true); }), INVALID_ARG) << v;
    EXPECT_TRUE(bytes_of(bin).empty());
  }
  cell* bin = bytes_value({});
  EXPECT_EQ(error_of([&] { actions::dispatch<ACT_APPEND>(bin, &logic::true_value, -1, false, 1, true); }), BAD_TO_ARG);
}

TEST_F(binary_test, insert_append_and_change_positions) {
  cell* bin = bytes_value({1, 2, 3});
  cell* text = testing::text("ab");
  // insert at the head moves past the inserted bytes, with /dup repeating.
  bin->w1 = 1;
  actions::dispatch<ACT_INSERT>(bin, text, -1, false, 2, false);
  EXPECT_EQ(bin->w1, 5u);
  bin->w1 = 0;
  EXPECT_EQ(bytes_of(bin), (bytes{1, 'a', 'b', 'a', 'b', 2, 3}));
  // /part limits the bytes taken from the value; append leaves the head at 0.
  bin->w1 = 3;
  actions::dispatch<ACT_APPEND>(bin, text, 1, false, 1, true);
  EXPECT_EQ(bin->w1, 0u);
  EXPECT_EQ(bytes_of(bin), (bytes{1, 'a', 'b', 'a', 'b', 2, 3, 'a'}));
  // change overwrites from the head and answers the position after it.
  bin->w1 = 1;
  cell ff = integer(255);
  actions::dispatch<ACT_CHANGE>(bin, &ff, -1, false, 3);
  EXPECT_EQ(bin->w1, 4u);
  bin->w1 = 0;
  EXPECT_EQ(bytes_of(bin), (bytes{1, 0xFF, 0xFF, 0xFF, 'b', 2, 3, 'a'}));
  // change/part replaces a range by a longer or shorter value.
  bin->w1 = 1;
  cell* longer = bytes_value({9, 9, 9, 9, 9});
  actions::dispatch<ACT_CHANGE>(bin, longer, 2, false, 1);
  bin->w1 = 0;
  EXPECT_EQ(bytes_of(bin), (bytes{1, 9, 9, 9, 9, 9, 0xFF, 'b', 2, 3, 'a'}));
  // change writes the form of a value that has no bytes of its own.
  bin->w1 = 9;
  actions::dispatch<ACT_CHANGE>(bin, &logic::true_value, -1, false, 1);
  bin->w1 = 9;
  EXPECT_EQ(bytes_of(bin), (bytes{'t', 'r', 'u', 'e'}));
  cell big = integer(300);
  EXPECT_EQ(error_of([&] { actions::dispatch<ACT_INSERT>(bin, &big, -1, false, 1, false); }), INVALID_ARG);
  EXPECT_EQ(error_of([&] { actions::dispatch<ACT_CHANGE>(bin, &big, -1, false, 1); }), INVALID_ARG);
}

TEST_F(binary_test, blocks_give_their_values_bytes_and_a_cycle_is_refused) {
  cell* block = stack::push_cell();
  *block = cell{TYPE_BLOCK, 0, memory::alloc_cells(4), 0};
  auto add = [&](const cell& c) {
    *reinterpret_cast<cell*>(series::make_room(memory::buffer_of(block->w2), sizeof(cell))) = c;
  };
  add(integer(1));
  add(testing::character('A'));
  add(integer(-1));
  cell* bin = bytes_value({});
  actions::dispatch<ACT_APPEND>(bin, block, 2, false, 1, true);  // /part counts values
  EXPECT_EQ(bytes_of(bin), (bytes{1, 'A'}));
  add(*block);  // the block now holds itself
  EXPECT_EQ(error_of([&] { actions::dispatch<ACT_APPEND>(bin, block, -1, false, 1, true); }),
            std::make_pair(int(err::cat_internal), int(err::internal::too_deep)));
  EXPECT_EQ(bytes_of(bin), (bytes{1, 'A'}));
}

TEST_F(binary_test, a_value_sharing_the_buffer_is_read_before_growth) {
  cell* bin = bytes_value({1, 2, 3, 4});
  cell* same = stack::push(bin);
  same->w1 = 2;
  uint32_t rounds = testing::scaled(12, 4);
  for (uint32_t i = 0; i < rounds; ++i) actions::dispatch<ACT_APPEND>(bin, same, -1, false, 1, true);
  bytes got = bytes_of(bin);
  ASSERT_EQ(got.size(), 4u + 2 * ((1u << rounds) - 1));
  EXPECT_EQ(bytes(got.begin(), got.begin() + 6), (bytes{1, 2, 3, 4, 3, 4}));
  // Every copy came from the bytes as they stood: the tail stays 3 4 pairs.
  for (size_t i = 4; i < got.size(); i += 2) EXPECT_EQ(got[i], 3);
}

TEST_F(binary_test, poke_takes_one_byte_value) {
  struct row {
    cell value;
    int want;  // the byte, or -1 for invalid-arg
  };
  const row rows[] = {
      {integer(0x41), 0x41}, {integer(-1), 0xFF},   {integer(256), -1}, {integer(-129), -1},
      {testing::character(0xE9), 0xE9}, {testing::character(0x100), -1}, {number(1.0), -1},
  };
  for (const row& r : rows) {
    cell* bin = bytes_value({0, 0});
    cell index = integer(2);
    auto e = error_of([&] { actions::dispatch<ACT_POKE>(bin, 2, &index, &r.value, false); });
    if (r.want < 0) {
      EXPECT_EQ(e, INVALID_ARG);
      EXPECT_EQ(bytes_of(bin), (bytes{0, 0}));
    } else {
      EXPECT_EQ(e.first, -1);
      EXPECT_EQ(bytes_of(bin), (bytes{0, uint8_t(r.want)}));
    }
  }
  cell* bin = bytes_value({0});
  cell v = integer(1);
  for (int32_t index : {0, 2, -1}) {
    cell boxed = integer(index);
    EXPECT_EQ(error_of([&] { actions::dispatch<ACT_POKE>(bin, index, &boxed, &v, false); }),
              std::make_pair(int(err::cat_script), int(err::script::out_of_range)))
        << index;
  }
}

TEST_F(binary_test, to_binary) {
  struct row {
    cell spec;
    bytes want;
  };
  const row rows[] = {
      {integer(1), {0, 0, 0, 1}},
      {integer(-2), {0xFF, 0xFF, 0xFF, 0xFE}},
      {number(1.0), {0x3F, 0xF0, 0, 0, 0, 0, 0, 0}},
      {number(-2.0, TYPE_PERCENT), {0xC0, 0, 0, 0, 0, 0, 0, 0}},
      {testing::character('A'), {0x41}},
  };
  for (const row& r : rows) {
    cell type = testing::datatype_value(TYPE_BINARY);
    EXPECT_EQ(bytes_of(actions::to_dispatch(&type, &r.spec)), r.want);
  }
  cell type = testing::datatype_value(TYPE_BINARY);
  EXPECT_EQ(bytes_of(actions::to_dispatch(&type, testing::text("é!"))), (bytes{0xC3, 0xA9, '!'}));
  cell* source = bytes_value({1, 2, 3});
  source->w1 = 1;
  cell* copy = actions::to_dispatch(&type, source);
  EXPECT_NE(copy->w2, source->w2);
  EXPECT_EQ(bytes_of(copy), (bytes{2, 3}));
  EXPECT_EQ(error_of([&] { actions::to_dispatch(&type, &logic::true_value); }), BAD_TO_ARG);
  // Integers convert back: to integer! of the bytes of 258.
  cell itype = testing::datatype_value(TYPE_INTEGER);
  EXPECT_EQ(integer::get(actions::to_dispatch(&itype, bytes_value({0x01, 0x02}))), 258);
}

TEST_F(binary_test, make_is_string_make_with_binary_conversion) {
  cell type = testing::datatype_value(TYPE_BINARY);
  cell size = integer(40);
  cell* empty = actions::make_dispatch(&type, &size);
  EXPECT_EQ(type_of(empty), TYPE_BINARY);
  EXPECT_TRUE(bytes_of(empty).empty());
  EXPECT_GE(memory::buffer_of(empty->w2)->size, 40u);
  EXPECT_EQ(bytes_of(actions::make_dispatch(&type, testing::text("ab"))), (bytes{'a', 'b'}));
}

TEST_F(binary_test, bitwise) {
  struct row {
    bytes a, b;
    uint32_t action;
    bytes want;
  };
  const row rows[] = {
      {{0xFF, 0x00, 0xFF}, {0x0F}, ACT_AND_T, {0x0F, 0x00, 0x00}},
      {{0xFF, 0x00, 0xFF}, {0x0F}, ACT_OR_T, {0xFF, 0x00, 0xFF}},
      {{0xF0, 0x00, 0xFF}, {0x0F}, ACT_OR_T, {0xFF, 0x00, 0xFF}},
      {{0x0F}, {0xF0, 0x12}, ACT_XOR_T, {0xFF, 0x12}},
      {{0x0F}, {0xF0, 0x12}, ACT_AND_T, {0x00, 0x00}},
      {{}, {}, ACT_XOR_T, {}},
  };
  for (const row& r : rows) {
    cell* a = bytes_value(r.a);
    cell* b = bytes_value(r.b);
    cell* result = r.action == ACT_AND_T ? actions::dispatch<ACT_AND_T>(a, b)
                   : r.action == ACT_OR_T ? actions::dispatch<ACT_OR_T>(a, b)
                                          : actions::dispatch<ACT_XOR_T>(a, b);
    EXPECT_EQ(bytes_of(result), r.want);
  }
  cell* a = bytes_value({0x0F, 0xF0});
  cell one = integer(1);
  EXPECT_EQ(error_of([&] { actions::dispatch<ACT_AND_T>(a, &one); }), INVALID_ARG);
  a->w1 = 1;
  actions::dispatch<ACT_COMPLEMENT>(a);
  a->w1 = 0;
  EXPECT_EQ(bytes_of(a), (bytes{0x0F, 0x0F}));
}

TEST_F(binary_test, comparison) {
  cell* a = bytes_value({1, 2});
  cell* b = bytes_value({1, 2, 3});
  cell* c = bytes_value({1, 3});
  EXPECT_EQ(actions::compare_value(a, b, COMP_EQUAL), 1);
  EXPECT_EQ(actions::compare_value(a, b, COMP_LESSER), -1);
  EXPECT_EQ(actions::compare_value(b, a, COMP_SORT), 1);
  EXPECT_EQ(actions::compare_value(c, b, COMP_SORT), 1);  // the first difference decides
  EXPECT_EQ(binary::compare_bytes(b, a, COMP_EQUAL, true), 0);
  EXPECT_EQ(binary::compare_bytes(a, b, COMP_EQUAL, true), 1);
  EXPECT_TRUE(binary::match_value_q(b, a, COMP_EQUAL));
  EXPECT_TRUE(binary::match_value_q(b, testing::text("\x01"), COMP_EQUAL));
  cell one = testing::character(1);
  EXPECT_TRUE(binary::match_value_q(b, &one, COMP_EQUAL));
  cell* d = bytes_value({1, 2});
  EXPECT_EQ(actions::compare_value(a, d, COMP_EQUAL), 0);
  EXPECT_EQ(actions::compare_value(a, d, COMP_SAME), -1);
  cell* alias = stack::push(a);
  EXPECT_EQ(actions::compare_value(a, alias, COMP_SAME), 0);
  EXPECT_EQ(actions::compare_value(a, testing::text("\x01\x02"), COMP_EQUAL), 0);
  cell n = integer(1);
  EXPECT_EQ(actions::compare_value(a, &n, COMP_EQUAL), -2);
  cell* high = bytes_value({0x80});
  cell* low = bytes_value({0x7F});
  EXPECT_EQ(actions::compare_value(high, low, COMP_LESSER), 1);  // bytes are unsigned
}

TEST_F(binary_test, mold_layout) {
  struct row {
    size_t count;
    bool flat;
    std::string want;
  };
  auto digits = [](size_t from, size_t n) {
    std::string s;
    static const char hex[] = "0123456789ABCDEF";
    for (size_t i = from; i < from + n; ++i) {
      s += hex[(i & 0xFF) >> 4];
      s += hex[i & 15];
    }
    return s;
  };
  const row rows[] = {
      {3, false, "#{000102}"},
      {0, false, "#{}"},
      {30, false, "#{" + digits(0, 30) + "}"},
      {31, false, "#{\n    " + digits(0, 31) + "\n}"},
      {32, false, "#{\n    " + digits(0, 32) + "\n    }"},
      {40, false, "#{\n    " + digits(0, 32) + "\n    " + digits(32, 8) + "\n}"},
      {40, true, "#{" + digits(0, 40) + "}"},
  };
  for (const row& r : rows) {
    bytes data(r.count);
    for (size_t i = 0; i < r.count; ++i) data[i] = uint8_t(i);
    cell* bin = bytes_value(data);
    cell* out = testing::empty_text();
    actions::mold_dispatch(bin, out, false, false, r.flat, nullptr, 0x7FFFFFFF, 0);
    EXPECT_EQ(testing::utf8_of(out), r.want) << r.count;
  }
  cell* bin = bytes_value({0xAB, 0xCD});
  EXPECT_EQ(formed(bin), "#{ABCD}");
  cell* out = testing::empty_text();
  actions::mold_dispatch(bin, out, true, false, false, nullptr, 0x7FFFFFFF, 0);
  EXPECT_EQ(testing::utf8_of(out), "ABCD");
  // A /part budget (which "#{" draws on too) stops before a byte once fewer
  // than 3 characters are left.
  cell* limited = testing::empty_text();
  cell part = integer(8);
  int32_t left = actions::mold_dispatch(bytes_value({1, 2, 3, 4}), limited, false, false, false, &part, 8, 0);
  EXPECT_EQ(testing::utf8_of(limited), "#{0102}");
  EXPECT_EQ(left, 1);
}

TEST_F(binary_test, trim) {
  struct row {
    bytes data;
    bool head, tail, all;
    bytes want;
  };
  const row rows[] = {
      {{0, 0, 0x41, 0}, false, false, false, {0x41}},
      {{0, 0, 0x41, 0}, true, false, false, {0x41, 0}},
      {{0, 0, 0x41, 0}, false, true, false, {0, 0, 0x41}},
      {{0, 0x41, 0, 0x42, 0}, false, false, true, {0x41, 0x42}},
      {{0, 0}, false, false, false, {}},
  };
  for (const row& r : rows) {
    cell* bin = bytes_value(r.data);
    actions::dispatch<ACT_TRIM>(bin, r.head, r.tail, false, false, r.all, nullptr);
    EXPECT_EQ(bytes_of(bin), r.want);
  }
  cell* bin = bytes_value({'a', 'b', 'c', 'a'});
  actions::dispatch<ACT_TRIM>(bin, false, false, false, false, false, testing::text("ac"));
  EXPECT_EQ(bytes_of(bin), (bytes{'b'}));
  EXPECT_EQ(error_of([&] { actions::dispatch<ACT_TRIM>(bin, false, false, true, false, false, nullptr); }),
            std::make_pair(int(err::cat_internal), int(err::internal::not_done)));
}

TEST_F(binary_test, made_at_a_block_tail_and_by_registered_converters) {
  cell* block = stack::push_cell();
  *block = cell{TYPE_BLOCK, 0, memory::alloc_cells(1), 0};
  uint8_t data[] = {5, 6, 7};
  uint32_t n = testing::scaled(20, 6);
  for (uint32_t i = 0; i < n; ++i) {
    if (i % 2) binary::make_in(block, 4);
    else binary::load_in(data, 3, block);
  }
  series_buffer* b = memory::buffer_of(block->w2);
  ASSERT_EQ(b->used(), n * sizeof(cell));
  for (uint32_t i = 0; i < n; ++i) {
    cell* c = stack::push(b->head_cell() + i);
    EXPECT_EQ(bytes_of(c), i % 2 ? bytes{} : (bytes{5, 6, 7})) << i;
    b = memory::buffer_of(block->w2);
  }
  // issue! converts through the converter its module registers.
  cell issue{TYPE_ISSUE, 0, 0, 0};
  cell type = testing::datatype_value(TYPE_BINARY);
  EXPECT_EQ(error_of([&] { actions::to_dispatch(&type, &issue); }), BAD_TO_ARG);
  binary::set_to_converter(TYPE_ISSUE, [](cell* proto, const cell*) {
    const uint8_t text[] = {'F', 'F', '0', '1'};
    return binary::decode_16(text, 4, 1, proto);
  });
  EXPECT_EQ(bytes_of(actions::to_dispatch(&type, &issue)), (bytes{0xFF, 0x01}));
  binary::set_to_converter(TYPE_ISSUE, nullptr);
}

// --- Codecs ------------------------------------------------------------------------

std::string encoded(int base, const bytes& data) {
  std::string out(8 * data.size() + 8, '\0');
  auto* o = reinterpret_cast<uint8_t*>(out.data());
  uint8_t* end = base == 2    ? binary::encode_2(o, data.data(), uint32_t(data.size()))
                 : base == 16 ? binary::encode_16(o, data.data(), uint32_t(data.size()))
                 : base == 58 ? binary::encode_58(o, data.data(), uint32_t(data.size()))
                              : binary::encode_64(o, data.data(), uint32_t(data.size()));
  out.resize(size_t(end - o));
  return out;
}

// Decodes ASCII text held at `unit` bytes per character; "-" stands for null.
std::string decoded(int base, const std::string& text, uint32_t unit = 1) {
  std::vector<uint8_t> units;
  for (unsigned char c : text)
    for (uint32_t k = 0; k < unit; ++k) units.push_back(k == 0 ? c : 0);
  uint32_t n = uint32_t(text.size());
  cell* target = stack::push_cell();
  cell* r = base == 2    ? binary::decode_2(units.data(), n, unit, target)
            : base == 16 ? binary::decode_16(units.data(), n, unit, target)
            : base == 58 ? binary::decode_58(units.data(), n, unit, target)
                         : binary::decode_64(units.data(), n, unit, target);
  if (!r) return "-";
  bytes b = bytes_of(r);
  return std::string(b.begin(), b.end());
}

TEST_F(binary_test, codecs_encode) {
  struct row {
    int base;
    bytes data;
    const char* text;
  };
  const row rows[] = {
      {2, {0xA5, 0x01}, "1010010100000001"},
      {16, {0x00, 0xAB, 0xFF}, "00ABFF"},
      {58, {0, 0, 1}, "112"},
      {58, {}, ""},
      {58, {0, 0}, "11"},
      {58, {0x61}, "2g"},
      {58, {0xFF, 0xFF}, "LUv"},
      {64, {'A'}, "QQ=="},
      {64, {'A', 'B'}, "QUI="},
      {64, {'A', 'B', 'C'}, "QUJD"},
      {64, {0xFB, 0xFF}, "+/8="},
  };
  for (const row& r : rows) EXPECT_EQ(encoded(r.base, r.data), r.text) << r.base;
}

TEST_F(binary_test, codecs_decode) {
  struct row {
    int base;
    const char* text;
    std::string want;  // "-": invalid
  };
  const row rows[] = {
      {2, "10100101 00000001", "\xA5\x01"},
      {2, "1010 ; comment 01\n0101", "\xA5"},
      {2, "1010", "-"},
      {2, "10120101", "-"},
      {16, "ABC", "\xAB"},
      {16, "ab cd\n", "\xAB\xCD"},
      {16, "", ""},
      {16, "AG", "-"},
      {58, "112", std::string("\0\0\1", 3)},
      {58, "2g", "a"},
      {58, "1 1 ; two zeros\n", std::string("\0\0", 2)},
      {58, "0", "-"},
      {58, "LUv", "\xFF\xFF"},
      {64, "QQ==", "A"},
      {64, "Q\nQ ;x\n==", "A"},
      {64, "QQ", ""},
      {64, "QUI=", "AB"},
      {64, "Q===", "-"},
      {64, "QUJD", "ABC"},
      {64, "QU*D", "-"},
      {64, "+/8=", "\xFB\xFF"},
  };
  for (const row& r : rows) {
    EXPECT_EQ(decoded(r.base, r.text), r.want) << r.base << " " << r.text;
    EXPECT_EQ(decoded(r.base, r.text, 2), r.want) << r.base << " wide " << r.text;
  }
}

TEST_F(binary_test, codecs_round_trip_and_reject_wide_characters) {
  bytes data;
  for (int i = 0; i < 300; ++i) data.push_back(uint8_t(i * 37 + (i >> 3)));
  data[0] = 0;
  for (int base : {2, 16, 58, 64}) {
    std::string text = encoded(base, data);
    std::string back = decoded(base, text);
    EXPECT_EQ(bytes(back.begin(), back.end()), data) << base;
  }
  // A code point above 127 is never a digit: U+00B0 would alias "0" in 7 bits.
  uint8_t wide[] = {0x41, 0x00, 0xB0, 0x00};
  cell* target = stack::push_cell();
  EXPECT_EQ(binary::decode_16(wide, 2, 2, target), nullptr);
  EXPECT_EQ(binary::decode_64(wide, 2, 2, target), nullptr);
  EXPECT_EQ(binary::decode_2(wide, 2, 2, target), nullptr);
}

TEST_F(binary_test, raw_access) {
  cell* bin = bytes_value({1, 2, 3});
  binary::ks_append_int(bin, 0x0A0B0C0D);
  EXPECT_EQ(bytes_of(bin), (bytes{1, 2, 3, 0x0A, 0x0B, 0x0C, 0x0D}));
  binary::ks_skip(bin, 2);
  EXPECT_EQ(binary::ks_length_q(bin), 5);
  uint8_t two[] = {8, 9};
  binary::ks_write(bin, 4, two, 2);  // runs past the tail
  EXPECT_EQ(bytes_of(bin), (bytes{3, 0x0A, 0x0B, 0x0C, 8, 9}));
  binary::ks_insert(bin, 0, two, 1);
  EXPECT_EQ(binary::ks_abs_byte_at(bin, 0), 8);
  binary::ks_truncate(bin);
  EXPECT_TRUE(binary::ks_tail_q(bin));
  EXPECT_FALSE(binary::ks_skip(bin, -100));
  EXPECT_EQ(bytes_of(bin), (bytes{8, 1}));
  // A copy made from bytes inside the heap survives the allocation it makes.
  cell* copy = binary::load(binary::ks_head(bin), uint32_t(binary::ks_length_q(bin)));
  EXPECT_EQ(bytes_of(copy), (bytes{8, 1}));
  // A head index left past the tail reads as the tail.
  bin->w1 = 50;
  EXPECT_EQ(binary::ks_length_q(bin), 0);
  EXPECT_EQ(bytes_of(bin), bytes{});
}

}  // namespace
}  // namespace kez
