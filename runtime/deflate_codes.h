// The code tables DEFLATE fixes (RFC 1951 3.2.5): the base value and extra
// bits of each length symbol (257-285) and distance symbol (0-29), shared by
// the compressor and the inflater.
#pragma once

#include <cstdint>

namespace kez::deflate_codes {

constexpr int LENGTH_SYMBOLS = 29;
constexpr int DISTANCE_SYMBOLS = 30;
constexpr int MAX_MATCH = 258;
constexpr int MIN_MATCH = 3;
constexpr int WINDOW = 32768;
constexpr int END_OF_BLOCK = 256;

constexpr uint16_t length_base[LENGTH_SYMBOLS] = {
    3, 4, 5, 6, 7, 8, 9, 10, 11, 13, 15, 17, 19, 23, 27, 31,
    35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t length_extra[LENGTH_SYMBOLS] = {
    0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2,
    3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t distance_base[DISTANCE_SYMBOLS] = {
    1, 2, 3, 4, 5, 7, 9, 13, 17, 25, 33, 49, 65, 97, 129, 193,
    257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t distance_extra[DISTANCE_SYMBOLS] = {
    0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6,
    7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// The fixed literal/length code's bit length of a symbol (0-287).
constexpr int fixed_length(int symbol) {
  return symbol < 144 ? 8 : symbol < 256 ? 9 : symbol < 280 ? 7 : 8;
}

}  // namespace kez::deflate_codes
