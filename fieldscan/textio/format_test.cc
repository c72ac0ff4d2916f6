#include "fieldscan/textio/format.h"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace fieldscan {
namespace {

struct FixedRow {
  int w;
  int d;
  float value;
  const char* field;
};

void check_fixed(const FixedRow& row) {
  SCOPED_TRACE(::testing::Message() << "value " << row.value << " (" << std::hexfloat << row.value
                                    << std::defaultfloat << ") in w" << row.w << ".d" << row.d);
  EXPECT_EQ(format_fixed(row.value, row.w, row.d), row.field);
}

TEST(FormatFixed, RoundingSignOfZeroAndOverflow) {
  const FixedRow rows[] = {
      {5, 1, 0.25f, "  0.3"},
      {5, 1, 99.95f, " 99.9"},
      {5, 1, -99.95f, "-99.9"},
      {5, 1, 999.95f, "*****"},
      {5, 1, -100.0f, "*****"},
      {5, 1, -0.04f, "  0.0"},
      {5, 1, -0.05f, " -0.1"},
      {5, 1, -0.0f, "  0.0"},
      {4, 0, 0.0f, "  0."},
      {4, 0, 10.0f, " 10."},
      {4, 0, 2.5f, "  3."},
      {4, 0, -2.5f, " -3."},
      {4, 0, -0.4f, "  0."},
      {4, 0, -0.5f, " -1."},
      {4, 2, -0.5f, "-.50"},
      {3, 2, 0.5f, ".50"},
      {3, 2, -0.5f, "***"},
      {6, 1, -12.25f, " -12.3"},
      {7, 1, 45.0f, "   45.0"},
      {7, 1, 123456.7f, "*******"},
      {8, 2, 0.125f, "    0.13"},
      {10, 2, 12.345f, "     12.35"},
      {10, 3, 3.14159f, "     3.142"},
      {10, 3, -1234.5678f, " -1234.568"},
      {10, 3, 0.0005f, "     0.001"},
      {10, 3, 1234567.0f, "**********"},
  };
  for (const auto& row : rows) check_fixed(row);
}

TEST(FormatFixed, RangeLimitsAndRounding) {
  const FixedRow rows[] = {
      // The largest values that fit, and the first that do not.
      {5, 1, 999.9f, "999.9"},
      {5, 1, -99.9f, "-99.9"},
      {6, 1, 9999.9f, "9999.9"},
      {6, 1, -999.9f, "-999.9"},
      {6, 1, -999.96f, "******"},
      {7, 1, 99999.9f, "99999.9"},
      {7, 1, -9999.9f, "-9999.9"},
      {7, 1, 99999.95f, "*******"},
      {8, 2, 99999.99f, "99999.99"},
      {8, 2, -9999.99f, "-9999.99"},
      {10, 2, 9999999.0f, "9999999.00"},
      {10, 2, -999999.9375f, "-999999.94"},
      {10, 3, 999999.94f, "999999.938"},
      {10, 3, -99999.999f, "**********"},
      {4, 0, 999.0f, "999."},
      {4, 0, 999.5f, "****"},
      {4, 0, -99.0f, "-99."},
      {4, 0, -99.5f, "****"},
      // 12.25 is exact and a tie; 0.375 and 0.625 are exact ties at 2 decimals.
      {5, 1, 12.25f, " 12.3"},
      {8, 2, 0.375f, "    0.38"},
      {8, 2, -0.625f, "   -0.63"},
      {10, 3, 0.0625f, "     0.063"},
      {10, 3, -0.0625f, "    -0.063"},
      // The leading zero: room needed, and a sign takes precedence in w = d + 2.
      {2, 1, 0.5f, ".5"},
      {2, 1, -0.5f, "**"},
      {3, 1, -0.5f, "-.5"},
      {3, 1, 0.5f, "0.5"},
      {4, 1, -0.5f, "-0.5"},
      {1, 0, 0.0f, "."},
      {1, 0, 0.4f, "."},
      {1, 0, 0.5f, "*"},
      {1, 0, -0.4f, "."},
      {2, 0, 0.0f, "0."},
      {2, 0, -0.5f, "**"},
      {3, 0, -0.5f, "-1."},
      // Extremes of the range of single precision.
      {40, 0, FLT_MAX, "340282346638528859811704183484516925440."},
      {40, 0, -FLT_MAX, "****************************************"},
      {41, 0, -FLT_MAX, "-340282346638528859811704183484516925440."},
      {10, 3, FLT_MIN, "     0.000"},
      {10, 3, -FLT_MIN, "     0.000"},
      {3, 2, 0.005f, ".00"},  // stored as 0.00499999988...
      {3, 2, 0.0050000004f, ".01"},
  };
  for (const auto& row : rows) check_fixed(row);
}

// Not-a-number and infinities: the full form left-aligned when it fits, the
// form without its leading blank in a field one column narrower, asterisks
// below that.
TEST(FormatFixed, NonFiniteForms) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float nan_payload = std::bit_cast<float>(std::uint32_t{0xFFC12345u});  // negative, payload
  const float signalling = std::bit_cast<float>(std::uint32_t{0x7F800001u});
  const FixedRow rows[] = {
      {10, 3, nan, " NaN      "},
      {5, 1, nan, " NaN "},
      {4, 0, nan, " NaN"},
      {3, 2, nan, "NaN"},
      {2, 1, nan, "**"},
      {10, 2, nan_payload, " NaN      "},
      {8, 2, signalling, " NaN    "},
      {10, 3, inf, " Infinity "},
      {9, 1, inf, " Infinity"},
      {8, 2, inf, "Infinity"},
      {7, 1, inf, "*******"},
      {5, 1, inf, "*****"},
      {10, 3, -inf, " -Infinity"},
      {12, 2, -inf, " -Infinity  "},
      {9, 2, -inf, "-Infinity"},
      {8, 2, -inf, "********"},
      {1, 0, -inf, "*"},
  };
  for (const auto& row : rows) check_fixed(row);
}

// Nonzero magnitudes below the smallest normal number: a zero in exponent
// form, right-aligned, without a sign.
TEST(FormatFixed, SubnormalForms) {
  const float smallest = std::numeric_limits<float>::denorm_min();
  const float largest = std::nextafter(FLT_MIN, 0.0f);
  const FixedRow rows[] = {
      {10, 3, smallest, " 0.000E+00"}, {10, 2, smallest, "  0.00E+00"}, {6, 1, smallest, ".0E+00"},
      {10, 3, largest, " 0.000E+00"},  {10, 3, -largest, " 0.000E+00"}, {6, 1, -smallest, ".0E+00"},
      {7, 1, smallest, "0.0E+00"},     {8, 2, -smallest, "0.00E+00"},   {5, 1, smallest, "*****"},
      {4, 0, smallest, "****"},        {5, 0, smallest, ".E+00"},       {6, 0, -largest, "0.E+00"},
      {7, 2, smallest, ".00E+00"},     {6, 2, smallest, "******"},
  };
  for (const auto& row : rows) check_fixed(row);
}

// ---------------------------------------------------------------------------
// Exact reference: the value m * 2^e is turned into decimal digits by
// multiplying a little-endian decimal digit vector by powers of 2 or of 5
// (m * 2^-k = m * 5^k / 10^k), then cut at d decimals, looking at the first
// dropped digit for the rounding.  No binary fractions, no printf.

using Digits = std::vector<std::uint32_t>;  // little-endian base-10 digits

void multiply(Digits& n, std::uint64_t factor) {
  std::uint64_t carry = 0;
  for (auto& digit : n) {
    const std::uint64_t t = digit * factor + carry;
    digit = static_cast<std::uint32_t>(t % 10);
    carry = t / 10;
  }
  while (carry != 0) {
    n.push_back(static_cast<std::uint32_t>(carry % 10));
    carry /= 10;
  }
}

void multiply_by_power(Digits& n, std::uint64_t base, int count, std::uint64_t chunk_base,
                       int chunk) {
  for (; count >= chunk; count -= chunk) multiply(n, chunk_base);
  for (; count > 0; --count) multiply(n, base);
}

// round(|v| * 10^d), halves up, as most-significant-first digits.
std::string reference_scaled(float v, int d) {
  int exp2 = 0;
  const double fraction = std::frexp(std::fabs(static_cast<double>(v)), &exp2);
  auto mantissa = static_cast<std::uint64_t>(std::ldexp(fraction, 53));  // exact
  exp2 -= 53;
  Digits n;
  for (std::uint64_t m = mantissa; m != 0; m /= 10) n.push_back(static_cast<std::uint32_t>(m % 10));
  if (n.empty()) n.push_back(0);
  int shift = d;  // power of ten still to apply
  if (exp2 >= 0) {
    multiply_by_power(n, 2, exp2, std::uint64_t{1} << 28, 28);
  } else {
    multiply_by_power(n, 5, -exp2, 1220703125u /* 5^13 */, 13);
    shift += exp2;
  }
  bool round_up = false;
  if (shift >= 0) {
    n.insert(n.begin(), static_cast<std::size_t>(shift), 0);
  } else {
    const auto drop = static_cast<std::size_t>(-shift);
    round_up = drop <= n.size() && n[drop - 1] >= 5;
    n.erase(n.begin(), n.begin() + static_cast<std::ptrdiff_t>(std::min(drop, n.size())));
  }
  if (round_up) {
    std::size_t i = 0;
    for (; i < n.size() && n[i] == 9; ++i) n[i] = 0;
    if (i == n.size()) n.push_back(0);
    ++n[i];
  }
  std::string s;
  for (auto it = n.rbegin(); it != n.rend(); ++it) s.push_back(static_cast<char>('0' + *it));
  const auto first = s.find_first_not_of('0');
  return first == std::string::npos ? std::string() : s.substr(first);
}

// The field the rules give for the exact scaled digits.
std::string reference_field(float v, int w, int d) {
  std::string scaled = reference_scaled(v, d);
  const bool minus = std::signbit(v) && !scaled.empty();
  if (scaled.size() < static_cast<std::size_t>(d)) scaled.insert(0, d - scaled.size(), '0');
  const std::string integer = scaled.substr(0, scaled.size() - d);
  std::string body = minus ? "-" : "";
  if (!integer.empty()) {
    body += integer;
  } else if (d + 1 < w && (w != d + 2 || !minus)) {
    body += '0';
  }
  body += "." + scaled.substr(scaled.size() - d);
  if (body.size() > static_cast<std::size_t>(w)) return std::string(w, '*');
  return std::string(w - body.size(), ' ') + body;
}

TEST(FormatFixedReference, AgreesOnHandPickedDigits) {
  EXPECT_EQ(reference_scaled(0.25f, 1), "3");
  EXPECT_EQ(reference_scaled(99.95f, 1), "999");
  EXPECT_EQ(reference_scaled(999.95f, 1), "10000");
  EXPECT_EQ(reference_scaled(0.04f, 1), "");
  EXPECT_EQ(reference_scaled(1024.0f, 2), "102400");
  EXPECT_EQ(reference_scaled(FLT_MAX, 0), "340282346638528859811704183484516925440");
}

float bits_to_float(std::uint32_t b) { return std::bit_cast<float>(b); }

void add_with_neighbours(std::vector<float>& out, float v, int count) {
  out.push_back(v);
  float up = v, down = v;
  for (int i = 0; i < count; ++i) {
    up = std::nextafter(up, std::numeric_limits<float>::infinity());
    down = std::nextafter(down, -std::numeric_limits<float>::infinity());
    out.push_back(up);
    out.push_back(down);
  }
}

// Values that stress the rounding and the width of a w.d field.
std::vector<float> stress_values(int w, int d, std::mt19937& rng) {
  std::vector<float> values;
  // Exact ties at d decimals are the odd multiples of 2^-(d+1).
  std::uniform_int_distribution<std::uint32_t> odd(0, (1u << 23) - 1);
  const double tie_unit = std::ldexp(1.0, -(d + 1));
  for (std::uint32_t k = 1; k < 4000; k += 2) add_with_neighbours(values, float(k * tie_unit), 1);
  for (int i = 0; i < 3000; ++i)
    add_with_neighbours(values, float((2 * odd(rng) + 1) * tie_unit), 1);
  // Around every rounding-overflow limit 10^j - 0.5 * 10^-d and around the
  // smallest magnitude that rounds away from zero.
  const double half_unit = 0.5 * std::pow(10.0, -d);
  for (int j = 0; j <= 12; ++j) {
    add_with_neighbours(values, float(std::pow(10.0, j) - half_unit), 40);
    add_with_neighbours(values, float(std::pow(10.0, j)), 4);
  }
  add_with_neighbours(values, float(half_unit), 40);
  // Powers of two over the whole normal range.
  for (int e = -126; e <= 127; ++e) add_with_neighbours(values, std::ldexp(1.0f, e), 1);
  // Decimal values with one digit more than the field shows (typed inputs).
  std::uniform_int_distribution<std::int64_t> typed(
      0, static_cast<std::int64_t>(std::pow(10.0, std::min(w, 9))));
  for (int i = 0; i < 8000; ++i) {
    values.push_back(float(double(typed(rng)) / std::pow(10.0, d + 1)));
  }
  // Uniform over the field's range, and over [-1, 1].
  const double range = std::pow(10.0, std::min(w - d, 38));
  std::uniform_real_distribution<double> in_range(-range, range), unit(-1.0, 1.0);
  for (int i = 0; i < 8000; ++i) values.push_back(float(in_range(rng)));
  for (int i = 0; i < 3000; ++i) values.push_back(float(unit(rng)));
  // Any bit pattern.
  std::uniform_int_distribution<std::uint32_t> bits;
  for (int i = 0; i < 1500; ++i) values.push_back(bits_to_float(bits(rng)));
  // Both signs of everything.
  const std::size_t n = values.size();
  for (std::size_t i = 0; i < n; ++i) values.push_back(-values[i]);
  return values;
}

TEST(FormatFixedReference, MatchesExactDecimalRounding) {
  struct Layout {
    int w, d;
  };
  const Layout layouts[] = {
      // Used by the tool.
      {5, 1},
      {10, 2},
      {8, 2},
      {10, 3},
      {7, 1},
      {6, 1},
      {4, 0},
      // Further widths, down to the narrowest and up to the widest value.
      {4, 2},
      {3, 2},
      {1, 0},
      {2, 0},
      {2, 1},
      {3, 0},
      {12, 5},
      {20, 9},
      {42, 0},
      {60, 45},
  };
  std::mt19937 rng(20240611);
  for (const auto& layout : layouts) {
    SCOPED_TRACE(::testing::Message() << "w" << layout.w << ".d" << layout.d);
    int failures = 0;
    std::size_t compared = 0;
    for (float v : stress_values(layout.w, layout.d, rng)) {
      if (!std::isfinite(v) || (v != 0 && std::fabs(v) < FLT_MIN)) continue;
      ++compared;
      const std::string expected = reference_field(v, layout.w, layout.d);
      const std::string actual = format_fixed(v, layout.w, layout.d);
      if (actual != expected) {
        ADD_FAILURE() << std::hexfloat << v << std::defaultfloat << " (" << v << "): got \""
                      << actual << "\", exact \"" << expected << "\"";
        if (++failures == 10) break;
      }
    }
    EXPECT_GT(compared, 50000u);
  }
}

// Every width from 1 to 12 and every fitting decimals count: the field is
// always exactly w characters, whatever the value.
TEST(FormatFixed, AlwaysExactlyWideAsTheField) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<std::uint32_t> bits;
  for (int w = 1; w <= 12; ++w) {
    for (int d = 0; d < w; ++d) {
      for (int i = 0; i < 300; ++i) {
        const float v = bits_to_float(bits(rng));
        ASSERT_EQ(format_fixed(v, w, d).size(), static_cast<std::size_t>(w)) << v;
      }
    }
  }
}

TEST(FormatFixed, DecimalsNotBelowWidthGiveAsterisks) {
  EXPECT_EQ(format_fixed(0.0f, 3, 3), "***");
  EXPECT_EQ(format_fixed(0.0f, 3, -1), " 0.");  // negative decimals count as none
  EXPECT_EQ(format_fixed(1.0f, 0, 0), "");
}

struct IntegerRow {
  std::int32_t value;
  int w;
  const char* field;
};

TEST(FormatInteger, Examples) {
  const IntegerRow rows[] = {
      {5, 1, "5"},
      {10, 1, "*"},
      {-1, 1, "*"},
      {5, 3, "  5"},
      {-5, 3, " -5"},
      {-99, 3, "-99"},
      {-100, 3, "***"},
      {999, 3, "999"},
      {1000, 3, "***"},
      {0, 7, "      0"},
      {12345678, 7, "*******"},
      {0, 1, "0"},
      {INT32_MIN, 11, "-2147483648"},
      {INT32_MIN, 12, " -2147483648"},
      {INT32_MIN, 10, "**********"},
      {INT32_MAX, 10, "2147483647"},
      {INT32_MAX, 9, "*********"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << row.value << " in width " << row.w);
    EXPECT_EQ(format_integer(row.value, row.w), row.field);
  }
}

TEST(FormatText, WidthAgainstLength) {
  struct Row {
    const char* value;
    int w;
    const char* field;
  } const rows[] = {
      {"x", 1, "x"},      {"ab  ", 4, "ab  "},  // trailing blanks kept
      {"ab", 5, "   ab"}, {"abcdef", 3, "abc"}, {"", 2, "  "},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << "\"" << row.value << "\" in width " << row.w);
    EXPECT_EQ(format_text(row.value, row.w), row.field);
  }
}

TEST(IsOverflow, OnlyAllAsterisks) {
  EXPECT_TRUE(is_overflow("*"));
  EXPECT_TRUE(is_overflow("*****"));
  EXPECT_FALSE(is_overflow(""));
  EXPECT_FALSE(is_overflow(" ****"));
  EXPECT_FALSE(is_overflow("*.**"));
}

}  // namespace
}  // namespace fieldscan
