#include "fieldscan/textio/record.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace fieldscan {
namespace {

TEST(Record, EmptyRecordHasNoColumns) {
  Record r;
  EXPECT_EQ(r.line(), "");
  EXPECT_FALSE(r.overflowed());
  EXPECT_FALSE(r.is_open_line());
}

TEST(Record, TrailingSkipDoesNotLengthen) {
  Record r;
  r.skip(5).literal("Reflection indices  -> ");
  for (int index : {0, 1, 2}) r.integer(index, 7).skip(3);
  EXPECT_EQ(r.line(), "     Reflection indices  ->       0         1         2");
  EXPECT_FALSE(r.overflowed());
}

TEST(Record, SkippedColumnsPassedLaterAreBlanks) {
  Record r;
  r.skip(2).skip(1).literal("a").skip(4).text("b");
  EXPECT_EQ(r.line(), "   a    b");
}

TEST(Record, LiteralBlanksAreKept) {
  Record r;
  r.skip(1).literal("Input z (def=").fixed(0.0f, 7, 1).literal("): ").open_line();
  EXPECT_EQ(r.line(), " Input z (def=    0.0): ");
  EXPECT_TRUE(r.is_open_line());
}

TEST(Record, TextFieldIsTheValueWithItsBlanks) {
  Record r;
  r.text("x").text("ab  ");
  EXPECT_EQ(r.line(), "xab  ");
}

TEST(Record, PointRecordWithoutLeadingBlank) {
  Record r;
  r.fixed(0.0f, 5, 1).fixed(1234.5f, 10, 2).fixed(12.345f, 8, 2);
  EXPECT_EQ(r.line(), "  0.0   1234.50   12.35");
  EXPECT_EQ(r.line().size(), 23u);
  EXPECT_FALSE(r.overflowed());
}

TEST(Record, OverflowKeepsOtherColumns) {
  Record r;
  r.fixed(1000.0f, 5, 1).fixed(-5.0f, 10, 2).fixed(0.01f, 8, 2);
  EXPECT_EQ(r.line(), "*****     -5.00    0.01");
  EXPECT_TRUE(r.overflowed());
}

TEST(Record, RotationRows) {
  struct Row {
    float degrees;
    int count;
    const char* line;
    bool overflowed;
  } const rows[] = {
      {30.0f, 2, "     Rotation angle      ->    30.0 (rot.2x)", false},
      {90.0f, 0, "     Rotation angle      ->    90.0 (rot.0x)", false},
      {5.0f, 17, "     Rotation angle      ->     5.0 (rot.*x)", true},
      {5.0f, -1, "     Rotation angle      ->     5.0 (rot.*x)", true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << row.degrees << " degrees, count " << row.count);
    Record r;
    r.skip(5).literal("Rotation angle      -> ").fixed(row.degrees, 7, 1).literal(" (rot.");
    r.integer(row.count, 1).literal("x)");
    EXPECT_EQ(r.line(), row.line);
    EXPECT_EQ(r.overflowed(), row.overflowed);
  }
}

TEST(Record, OnlyNumericFieldsCountAsOverflow) {
  Record r;
  r.literal("**").text("***");
  EXPECT_FALSE(r.overflowed());
  r.integer(5, 1);
  EXPECT_FALSE(r.overflowed());
  r.fixed(std::numeric_limits<float>::infinity(), 5, 1);
  EXPECT_TRUE(r.overflowed());
  r.integer(1, 1);  // a later field that fits does not clear it
  EXPECT_TRUE(r.overflowed());
}

TEST(Record, LongRecordGrows) {
  Record r;
  r.skip(100).literal("end");
  EXPECT_EQ(r.line(), std::string(100, ' ') + "end");
}

}  // namespace
}  // namespace fieldscan
