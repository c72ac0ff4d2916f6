#include "driver/scan.h"

#include <gtest/gtest.h>

#include <cmath>

#include "driver/dialogue.h"

namespace fieldscan {
namespace {

TEST(PercentColumn, QuotientOrTheFloor) {
  struct Row {
    float v;
    float expected;
  };
  const Row rows[] = {
      {-250.0f, 0.01f}, {250.0f, 2.5f},     {0.5f, 0.01f},  {0.0f, 0.01f},   {-0.0f, 0.01f},
      {1.0f, 0.01f},    {1234.5f, 12.345f}, {100.0f, 1.0f}, {-1e30f, 0.01f},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.v);
    EXPECT_EQ(percent_column(row.v), row.expected);
  }
}

TEST(PercentColumn, ComparedBeforeRounding) {
  // 0.99999994 / 100 lies just below the single-precision 0.01 but rounds to
  // it: the comparison happens first, so the floor is taken.  1.0000001 / 100
  // lies above it.
  const float just_below = std::nextafter(1.0f, 0.0f);
  EXPECT_EQ(percent_column(just_below), 0.01f);
  const float just_above = std::nextafter(1.0f, 2.0f);
  EXPECT_GE(percent_column(just_above), 0.01f);
  EXPECT_EQ(percent_column(just_above),
            static_cast<float>(static_cast<double>(just_above) / 100.0));
}

TEST(ListingFileName, LetterHeightAndExtension) {
  struct Row {
    char letter;
    float z;
    const char* expected;
  };
  const Row rows[] = {
      {'x', 0.0f, "x000.lis"},    {'z', 12.7f, "z012.lis"},    {'x', -5.0f, "x0-5.lis"},
      {'x', -15.0f, "x-15.lis"},  {'x', -0.9f, "x000.lis"},    {'x', 999.9f, "x999.lis"},
      {'x', -99.9f, "x-99.lis"},  {'z', 1000.0f, "z***.lis"},  {'x', -100.0f, "x***.lis"},
      {'x', 3.4e38f, "x***.lis"}, {'x', -3.4e38f, "x***.lis"}, {'z', 7.0f, "z007.lis"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.z);
    EXPECT_EQ(listing_file_name(row.letter, row.z), row.expected);
  }
}

}  // namespace
}  // namespace fieldscan
