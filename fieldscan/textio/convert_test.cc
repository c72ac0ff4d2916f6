#include "fieldscan/textio/convert.h"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fieldscan {
namespace {

constexpr float kUnchanged = -7777.0f;

struct ConvertRow {
  std::string field;
  int decimals;
  bool ok;
  float expected;  // compared bit for bit, so -0.0 and 0.0 differ
};

void check_convert(const ConvertRow& row) {
  SCOPED_TRACE("field \"" + row.field + "\" decimals " + std::to_string(row.decimals));
  float value = kUnchanged;
  const bool ok = convert_fixed(row.field, row.decimals, value);
  ASSERT_EQ(ok, row.ok);
  if (ok) {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(value), std::bit_cast<std::uint32_t>(row.expected))
        << "got " << value << " expected " << row.expected;
  } else {
    EXPECT_EQ(std::bit_cast<std::uint32_t>(value), std::bit_cast<std::uint32_t>(kUnchanged));
  }
}

TEST(ConvertFixed, ZeroFields) {
  const ConvertRow rows[] = {
      {"", 1, true, 0.0f},        {"      ", 1, true, 0.0f},     {"+", 1, true, 0.0f},
      {"-", 1, true, 0.0f},       {".", 1, true, 0.0f},          {"  - . ", 1, true, 0.0f},
      {"+.", 1, true, 0.0f},      {"\t \t", 1, true, 0.0f},      {"0", 1, true, 0.0f},
      {"000.000", 1, true, 0.0f}, {"-0", 1, true, -0.0f},        {"-0.0", 1, true, -0.0f},
      {"0E999", 1, true, 0.0f},   {"-0.0E-999", 1, true, -0.0f},
  };
  for (const auto& row : rows) check_convert(row);
}

TEST(ConvertFixed, ImpliedDecimals) {
  const ConvertRow rows[] = {
      {"12", 1, true, 1.2f},      {"125", 1, true, 12.5f},
      {"-5", 1, true, -0.5f},     {"5", 1, true, 0.5f},
      {"+5", 1, true, 0.5f},      {"12", 0, true, 12.0f},
      {"12", 2, true, 0.12f},     {"12.", 2, true, 12.0f},
      {".5", 2, true, 0.5f},      {"12.75", 1, true, 12.75f},
      {"1 2", 1, true, 1.2f},     {"- 5", 1, true, -0.5f},
      {" 1 . 5 ", 1, true, 1.5f}, {"00000000000000000001", 0, true, 1.0f},
      {"12.3", 1, true, 12.3f},   {"-1001", 1, true, -100.1f},
      {"0010", 1, true, 1.0f},
  };
  for (const auto& row : rows) check_convert(row);
}

TEST(ConvertFixed, Exponents) {
  const ConvertRow rows[] = {
      {"1.5E2", 1, true, 150.0f},   {"1.5e2", 1, true, 150.0f},   {"1.5D2", 1, true, 150.0f},
      {"1.5d2", 1, true, 150.0f},   {"1.5Q2", 1, true, 150.0f},   {"1.5q2", 1, true, 150.0f},
      {"1.5E+2", 1, true, 150.0f},  {"1.5E-2", 1, true, 0.015f},  {"1.5+2", 1, true, 150.0f},
      {"1.5-2", 1, true, 0.015f},   {"-1.5+2", 1, true, -150.0f}, {"1E3", 1, true, 100.0f},
      {"1+2", 1, true, 10.0f},      {"15E-1", 1, true, 0.15f},    {"1E3", 0, true, 1000.0f},
      {"1E 3", 1, true, 100.0f},    {"1.5 +2", 1, true, 150.0f},  {"1E - 1 0", 0, true, 1e-10f},
      {"1E0003", 0, true, 1000.0f},
  };
  for (const auto& row : rows) check_convert(row);
}

TEST(ConvertFixed, MalformedFieldsFail) {
  const ConvertRow rows[] = {
      {"1.2.3", 1, false, 0},
      {"..", 1, false, 0},
      {"abc", 1, false, 0},
      {"1a", 1, false, 0},
      {"a1", 1, false, 0},
      {"12\t", 1, false, 0},
      {"1\t2", 1, false, 0},
      {"++1", 1, false, 0},
      {"--", 1, false, 0},
      {"+-", 1, false, 0},
      {"1-2-", 1, false, 0},
      {"0x1A", 1, false, 0},
      {"1,2", 1, false, 0},
      {std::string("1\0"
                   "2",
                   3),
       1, false, 0},
      {"1\r", 1, false, 0},
      {"\xc3\xa9", 1, false, 0},
      // An exponent needs digits, and a number before it.
      {"1E", 1, false, 0},
      {"1E+", 1, false, 0},
      {"1.5+", 1, false, 0},
      {"E5", 1, false, 0},
      {".E5", 1, false, 0},
      {"+E5", 1, false, 0},
      {"-.E5", 1, false, 0},
      {"+2", 1, true, 0.2f},
      // Nothing may follow the exponent's digits.
      {"1E3-", 1, false, 0},
      {"1E3+2", 1, false, 0},
      {"1E+-2", 1, false, 0},
      {"1E2E3", 1, false, 0},
      {"1E2.", 1, false, 0},
      {"1.E", 1, false, 0},
      // Words for infinity and not-a-number, and anything else beginning so.
      {"NaN", 1, false, 0},
      {"nan", 1, false, 0},
      {"Inf", 1, false, 0},
      {"inf", 1, false, 0},
      {"INF   ", 1, false, 0},
      {"Infinity", 1, false, 0},
      {"-Inf", 1, false, 0},
      {"N", 1, false, 0},
      {"I", 1, false, 0},
  };
  for (const auto& row : rows) check_convert(row);
}

TEST(ConvertFixed, RangeLimits) {
  const ConvertRow rows[] = {
      {"9E99", 1, false, 0},
      {"3.5E38", 1, false, 0},
      {"-3.5E38", 1, false, 0},
      {"3.4E38", 1, true, 3.4e38f},
      {"-3.4E38", 1, true, -3.4e38f},
      {"34E37", 0, true, 3.4e38f},
      {"34E38", 1, true, 3.4e38f},
      {"1E999999999999999999999", 1, false, 0},
      // The largest float and the tie above it (which rounds to even, out of range).
      {"3.40282346638528859811704183484516925440E38", 1, true, FLT_MAX},
      {"3.40282356779733661637539395458142568447E38", 1, true, FLT_MAX},
      {"3.40282356779733661637539395458142568448E38", 1, false, 0},
      {"1E-99", 1, true, 0.0f},
      {"-1E-99", 1, true, -0.0f},
      {"1E-999999999999999999999", 1, true, 0.0f},
      {"1E-40", 0, true, 0x1.16c2p-133f},
      {"-1E-40", 0, true, -0x1.16c2p-133f},
      {"1E-45", 0, true, 0x1p-149f},
      {"8E-46", 0, true, 0x1p-149f},
      {"7E-46", 0, true, 0.0f},
      {"1.17549435E-38", 1, true, FLT_MIN},
  };
  for (const auto& row : rows) check_convert(row);
}

// 1 + 2^-24 lies exactly halfway between the floats 1 and 1 + 2^-23.  A
// decimal a hair above it must round up; through a double it first lands on
// the halfway point and then rounds to even, down to 1.
TEST(ConvertFixed, RoundsOnceToNearestFloat) {
  const std::string above_tie = "1.00000005960464477539062500001";
  const float via_double = static_cast<float>(std::strtod(above_tie.c_str(), nullptr));
  ASSERT_EQ(via_double, 1.0f);  // the case does tell the two methods apart

  const ConvertRow rows[] = {
      {above_tie, 1, true, 0x1.000002p0f},
      {"1.000000059604644775390625", 1, true, 1.0f},  // the tie: to even
      {"1.00000005960464477539062499999", 1, true, 1.0f},
      {"1.000000178813934326171875", 1, true, 0x1.000004p0f},       // tie above odd: up
      {"100000005960464477539062500001", 29, true, 0x1.000002p0f},  // implied decimals
      {"-1.00000005960464477539062500001E0", 1, true, -0x1.000002p0f},
      {"1000000059604644775390625000010E-30", 0, true, 0x1.000002p0f},
      {"0.1", 1, true, 0.1f},
  };
  for (const auto& row : rows) check_convert(row);
}

}  // namespace
}  // namespace fieldscan
