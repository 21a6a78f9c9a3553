// The constants of the Kezbin layout that the encoders and the decoder
// share. Classic header word: bits 0-7 the type id, 8-15 a per-type size
// field, bit 19 a reference follows, bit 25 a word definition (boot data),
// bit 31 the value's new-line flag; the remaining bits per type below.
#pragma once

#include <cstdint>

namespace kez::kezbin {

inline constexpr uint8_t MAGIC[6] = {'K', 'E', 'Z', 'B', 'I', 'N'};
constexpr uint8_t VERSION_WRITTEN = 2;
constexpr uint32_t HEADER_SIZE = 8;

// Flags byte.
constexpr uint8_t FLAG_COMPACT = 1, FLAG_LZ = 2, FLAG_SYMBOLS = 4;

// Compact prefixes and type bytes.
constexpr uint8_t PREFIX_NEW_LINE = 0xC0, PREFIX_SHARED = 0xC1, PREFIX_DEFINE = 0xC4;
constexpr uint8_t BYTE_TRUE = 0xC2, BYTE_FALSE = 0xC3, BYTE_COPY = 0xFF;
constexpr uint8_t BYTE_SMALL_INT = 0x80;  // 0x80-0xBF: integer! 0-63
constexpr uint8_t TYPE_X = 0x40, TYPE_ID_MASK = 0x3F, TYPE_ID_FOLLOWS = 0x3F;

// Compact context flags.
constexpr uint8_t CTX_KIND = 3, CTX_STACK = 4, CTX_SELF = 8, CTX_VALUES = 16;

// Classic header bits.
constexpr uint32_t CLASSIC_REF = 0x80000, CLASSIC_DEFINE = 0x2000000, CLASSIC_NEW_LINE = 0x80000000;
constexpr uint32_t CLASSIC_MONEY_SIGN = 0x400000, CLASSIC_BITSET_NOT = 0x800000;
constexpr uint32_t CLASSIC_CTX_KIND_SHIFT = 26, CLASSIC_CTX_SELF = 0x10000000, CLASSIC_CTX_STACK = 0x20000000,
                   CLASSIC_CTX_VALUES = 0x40000000;
constexpr uint32_t CLASSIC_PATH_MARK = 255;
// Classic word records: the context reference that says "the owner's record
// follows the word index" (run time; boot data gives a root block index).
constexpr int32_t CLASSIC_OWNER_FOLLOWS = -2;

// Cell layouts the codec reads directly.
constexpr uint32_t DATE_TIME_PRESENT = 0x10000;

}  // namespace kez::kezbin
