#include "fieldscan/textio/number.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

namespace fieldscan::fieldmap {
namespace {

struct FloatRow {
  const char* token;
  bool ok;
  float value;  // expected when ok (compared bit for bit, NaN by class)
};

TEST(NumberTest, ParseFloatRows) {
  const float inf = std::numeric_limits<float>::infinity();
  const FloatRow rows[] = {
      {"0.044", true, 0.044f},
      {"-0.05", true, -0.05f},
      {"+1.5", true, 1.5f},
      {"1.2566e-06", true, 1.2566e-06f},
      {"1E3", true, 1000.0f},
      {".5", true, 0.5f},
      {"7.", true, 7.0f},
      {"999999", true, 999999.0f},
      {"0.1000000015", true, 0.1f},  // correctly rounded, not via double
      {"1e40", true, inf},           // overflow: infinite
      {"-1e40", true, -inf},
      {"1e-50", true, 0.0f},  // underflow: zero
      {"-1e-50", true, -0.0f},
      {"1e-99999", true, 0.0f},  // beyond even long double
      {"inf", true, inf},
      {"-Infinity", true, -inf},
      {"nan", true, NAN},
      {"", false, 0},
      {"+", false, 0},
      {"++1", false, 0},
      {"+-1", false, 0},
      {"1e", false, 0},
      {"1.0.0", false, 0},
      {"0x10", false, 0},
      {"1,5", false, 0},
      {"abc", false, 0},
      {"1d-3", false, 0},
  };
  for (const FloatRow& row : rows) {
    SCOPED_TRACE(row.token);
    float v = 42.0f;
    EXPECT_EQ(parse_float(row.token, v), row.ok);
    if (!row.ok) {
      EXPECT_EQ(v, 42.0f) << "left untouched";
    } else if (std::isnan(row.value)) {
      EXPECT_TRUE(std::isnan(v));
    } else {
      EXPECT_EQ(std::bit_cast<std::uint32_t>(v), std::bit_cast<std::uint32_t>(row.value));
    }
  }
}

TEST(NumberTest, ParseInt64Rows) {
  const struct {
    const char* token;
    bool ok;
    std::int64_t value;
  } rows[] = {
      {"6", true, 6},    {"+10", true, 10}, {"-3", true, -3},  {"0", true, 0},
      {"6.0", false, 0}, {"", false, 0},    {"1e3", false, 0}, {"99999999999999999999", false, 0}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.token);
    std::int64_t v = 77;
    EXPECT_EQ(parse_int64(row.token, v), row.ok);
    EXPECT_EQ(v, row.ok ? row.value : 77);
  }
}

// Every printed float reads back as the same bits: random bit patterns over
// the whole range, subnormals and extremes included.
TEST(NumberTest, AppendFloatRoundTripsEveryClass) {
  std::mt19937 random(12345);
  std::vector<float> values = {0.0f,           -0.0f, 1e-45f,    -1e-45f,    1.17549435e-38f,
                               3.40282347e38f, 0.1f,  999999.0f, 1.2566e-06f};
  for (int n = 0; n < 20000; ++n) {
    const float f = std::bit_cast<float>(static_cast<std::uint32_t>(random()));
    if (std::isfinite(f)) values.push_back(f);
  }
  for (const float f : values) {
    std::string text;
    append_float(text, f);
    float back = 0;
    ASSERT_TRUE(parse_float(text, back)) << text;
    ASSERT_EQ(std::bit_cast<std::uint32_t>(back), std::bit_cast<std::uint32_t>(f)) << text;
  }
}

TEST(NumberTest, AppendFloatIsShortest) {
  std::string text;
  append_float(text, 0.044f);
  text += ' ';
  append_float(text, 999999.0f);
  text += ' ';
  append_float(text, -1.5e-7f);
  EXPECT_EQ(text, "0.044 999999 -1.5e-07");
}

}  // namespace
}  // namespace fieldscan::fieldmap
