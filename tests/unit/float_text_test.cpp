#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "runtime/float_text.h"

using namespace kez;

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();

uint64_t bits_of(double d) { return std::bit_cast<uint64_t>(d); }

double read(const std::string& s, int32_t extra = 0, int32_t* rest = nullptr) {
  return float_::from_string(s.data(), s.data() + s.size(), extra, rest);
}

bool stressed() {
  const char* v = std::getenv("KEZ_GC_STRESS");
  return v && *v && std::strcmp(v, "0") != 0;
}

}  // namespace

TEST(FloatText, MoldedForms) {
  struct { double value; const char* text; } cases[] = {
      {0.1, "0.1"},
      {0.1 + 0.2, "0.30000000000000004"},
      {1.0 / 3.0, "0.3333333333333333"},
      {100.0, "100.0"},
      {123.25, "123.25"},
      {1.5, "1.5"},
      {-1.5, "-1.5"},
      {12300.0, "12300.0"},
      {1e16, "10000000000000000.0"},
      {1e17, "1.0e17"},
      {1e18, "1.0e18"},
      {1e25, "1.0e25"},
      {1.2345e300, "1.2345e300"},
      {1e-7, "0.0000001"},
      {1.5e-7, "0.00000015"},
      {0.00123, "0.00123"},
      {1e-8, "1.0e-8"},
      {1.5e-8, "1.5e-8"},
      {4.9e-324, "5.0e-324"},
      {1.7976931348623157e308, "1.7976931348623157e308"},
      {-1.2345678901234566e-7, "-0.00000012345678901234566"},  // the longest layout
      {12345678901234567.0, "12345678901234568.0"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {INF, "1.#INF"},
      {-INF, "-1.#INF"},
      {std::numeric_limits<double>::quiet_NaN(), "1.#NaN"},
      {-std::numeric_limits<double>::quiet_NaN(), "1.#NaN"},
      {std::bit_cast<double>(0x7FF0000000000001ull), "1.#NaN"},
  };
  for (auto& c : cases) EXPECT_STREQ(float_::format_text(c.value, 0, true), c.text) << c.text;
}

TEST(FloatText, WithoutDotZeroThePointEndingTheMantissaGoes) {
  struct { double value; const char* text; } cases[] = {
      {100.0, "100"}, {12300.0, "12300"}, {1e18, "1e18"}, {-1e-20, "-1e-20"},
      {1.5, "1.5"},   {0.0, "0"},         {-0.0, "-0"},    {1.25e-10, "1.25e-10"},
  };
  for (auto& c : cases) EXPECT_STREQ(float_::format_text(c.value, 0, false), c.text) << c.text;
}

TEST(FloatText, DigitsAndPointPosition) {
  struct {
    double value;
    int32_t ndigits;
    const char* text;
    int32_t point;
  } cases[] = {
      {0.1, 0, "1", 0},
      {123.25, 0, "12325", 3},
      {1e-7, 0, "1", -6},
      {1.0 / 3.0, 6, "333333", 0},
      {2.0 / 3.0, 6, "666667", 0},
      {0.125, 2, "12", 0},     // exact half: even digit
      {0.375, 2, "38", 0},     // exact half: even digit
      {2.5, 1, "2", 1},
      {3.5, 1, "4", 1},
      {9.96, 2, "1", 2},       // rounding carries into a new digit
      {1.5, 6, "15", 1},       // shortest is short enough: kept
      {0.1 + 0.2, 16, "3", 0}, // 0.3000000000000000 without its zeros
      {123456.0, 3, "123", 6},
  };
  for (auto& c : cases) {
    float_::digits d = float_::to_shortest(c.value, c.ndigits, true);
    EXPECT_STREQ(d.text, c.text) << c.value << " to " << c.ndigits;
    EXPECT_EQ(d.point, c.point) << c.value;
    EXPECT_EQ(d.count, static_cast<int32_t>(std::strlen(c.text)));
    EXPECT_FALSE(d.negative);
  }
  float_::digits neg = float_::to_shortest(-2.5, 0, true);
  EXPECT_TRUE(neg.negative);
  EXPECT_STREQ(neg.text, "25");

  struct { double value; int32_t point; const char* text; bool negative; } reserved[] = {
      {INF, float_::POINT_SPECIAL, "1.#INF", false},
      {-INF, float_::POINT_SPECIAL, "-1.#INF", true},
      {0.0, float_::POINT_ZERO, "0.0", false},
      {-0.0, float_::POINT_ZERO, "-0.0", true},
  };
  for (auto& r : reserved) {
    float_::digits d = float_::to_shortest(r.value, 0, true);
    EXPECT_EQ(d.point, r.point);
    EXPECT_STREQ(d.text, r.text);
    EXPECT_EQ(d.negative, r.negative);
  }
  EXPECT_STREQ(float_::to_shortest(-0.0, 0, false).text, "-0");
}

TEST(FloatText, Reading) {
  const std::string halfway = "1.00000000000000011102230246251565404236316680908203125";  // 1 + 2^-53
  struct {
    std::string text;
    int32_t extra;
    uint64_t bits;
    int32_t rest;
  } cases[] = {
      {"0.1", 0, bits_of(0.1), 0},
      {"0.30000000000000004", 0, bits_of(0.1 + 0.2), 0},
      {"+12.5E-1", 0, bits_of(1.25), 0},
      {"15", -1, bits_of(1.5), 0},
      {"1.5", 2147483647, bits_of(INF), 0},
      {".5", 0, bits_of(0.5), 0},
      {"000.000123", 0, bits_of(0.000123), 0},
      {"123abc", 0, bits_of(123.0), 3},
      {"1.5x", 0, bits_of(1.5), 1},
      {"1e", 0, bits_of(1.0), 1},
      {"1e5", 0, bits_of(1e5), 0},
      {"-0.0", 0, bits_of(-0.0), 0},
      {"-.0", 0, bits_of(-0.0), 0},
      {"-0", 0, bits_of(0.0), 0},
      {"-000", 0, bits_of(0.0), 0},
      {"-", 0, bits_of(0.0), 0},
      {"", 0, bits_of(0.0), 0},
      {"-0e5", 0, bits_of(0.0), 0},
      {"1.#INF", 0, bits_of(INF), 0},
      {"-1.#I", 0, bits_of(-INF), 0},
      {"2.#INF", 0, bits_of(INF), 0},
      {"01.#inf", 0, bits_of(INF), 0},
      {"1.#N", 0, bits_of(std::numeric_limits<double>::quiet_NaN()), 0},
      {"-1.#NaN", 0, bits_of(std::numeric_limits<double>::quiet_NaN()), 0},
      {"10.#INF", 0, bits_of(10.0), 4},  // two integer digits: no special value
      {"1e400", 0, bits_of(INF), 0},
      {"-1e400", 0, bits_of(-INF), 0},
      {"1e-400", 0, bits_of(0.0), 0},
      {"-1e-400", 0, bits_of(-0.0), 0},
      {"4.9e-324", 0, 1, 0},
      {"2.4703282292062328e-324", 0, 1, 0},  // just above half the smallest subnormal
      {"2.2250738585072011e-308", 0, 0x000FFFFFFFFFFFFFull, 0},
      {"1.7976931348623157e308", 0, 0x7FEFFFFFFFFFFFFFull, 0},
      {"1.7976931348623159e308", 0, bits_of(INF), 0},
      {"9007199254740993", 0, bits_of(9007199254740992.0), 0},  // tie to even
      {halfway, 0, bits_of(1.0), 0},
      {halfway + std::string(900, '0'), 0, bits_of(1.0), 0},
      {halfway + std::string(900, '0') + "1", 0, bits_of(1.0) + 1, 0},
      {"0." + std::string(400, '0') + "1e401", 0, bits_of(1.0), 0},
      {"1" + std::string(400, '0') + "e-400", 0, bits_of(1.0), 0},
  };
  for (auto& c : cases) {
    int32_t rest = -1;
    double d = read(c.text, c.extra, &rest);
    EXPECT_EQ(bits_of(d), c.bits) << c.text;
    EXPECT_EQ(rest, c.rest) << c.text;
  }
  // An empty range may come without an address at all.
  int32_t rest = -1;
  EXPECT_EQ(bits_of(float_::from_string(nullptr, nullptr, 0, &rest)), bits_of(0.0));
  EXPECT_EQ(rest, 0);
}

// A 32-bit exponent accumulator wraps on these; a saturating one keeps the
// direction of the overflow.
TEST(FloatText, HugeExponentsSaturate) {
  struct { const char* text; int32_t extra; double value; } cases[] = {
      {"1e4294967296", 0, INF},        // 2^32: wraps to 0 in 32 bits
      {"1e2147483648", 0, INF},        // wraps to a negative exponent
      {"1e-2147483649", 0, 0.0},
      {"-1e99999999999999999999", 0, -INF},
      {"1e-99999999999999999999", 0, 0.0},
      {"1e2147483647", 2147483647, INF},
      {"1e-2147483648", -2147483647 - 1, 0.0},
      {"1e2147483647", -2147483647 - 1, 0.1},
  };
  for (auto& c : cases)
    EXPECT_EQ(bits_of(read(c.text, c.extra)), bits_of(c.value)) << c.text << " + " << c.extra;
}

TEST(FloatText, RandomDoublesRoundTripBitExactly) {
  std::mt19937_64 rng(20261209);
  const int rounds = stressed() ? 100000 : 1000000;
  for (int i = 0; i < rounds; ++i) {
    uint64_t bits = rng();
    if ((bits & 0x7FF0000000000000ull) == 0x7FF0000000000000ull) continue;  // NaN, infinity
    double value = std::bit_cast<double>(bits);
    const char* text = float_::format_text(value, 0, true);
    std::string copy(text);
    int32_t rest = -1;
    double back = read(copy, 0, &rest);
    ASSERT_EQ(bits_of(back), bits) << copy;
    ASSERT_EQ(rest, 0) << copy;
    // The shortest text is shortest: one digit fewer never reads back.
    float_::digits d = float_::to_shortest(value, 0, true);
    if (d.count > 1) {
      float_::digits fewer = float_::to_shortest(value, d.count - 1, true);
      std::string t = std::string("0.") + fewer.text + "e" + std::to_string(fewer.point);
      ASSERT_NE(bits_of(std::fabs(read(t))), bits_of(std::fabs(value))) << copy;
    }
  }
}
