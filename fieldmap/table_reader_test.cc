#include "fieldmap/table_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

namespace fieldscan::fieldmap {
namespace {

Table read_ok(const std::string& text, double scale = 1.0) {
  Table table;
  TableError error;
  ReadOptions options;
  options.scale = scale;
  EXPECT_TRUE(read_table(text, options, table, error))
      << error.line << ":" << error.column << ": " << error.message;
  return table;
}

// The layout of the real header-form tables: an empty first line, counts
// padded with blanks, a seventh column, a unit on the closing "0" line.
TEST(TableReaderTest, HeaderFormWithExtraColumnAndUnitOnZeroLine) {
  const Table t = read_ok(
      "\n"
      "            1           1           2 \n"
      " 1 X            \n 2 Y\n 3 Z\n 4 BX\n 5 BY\n 6 BZ\n 7 BMOD/HMOD\n"
      " 0 [METRE] \n"
      "   -0.05    -0.05    -0.26   1.1283e-02 -4.3297e-03 -1.6583e-02 1.2566e-06  \n"
      "   -0.05    -0.05    -0.22   2.4980e-02 -1.1691e-02 -3.9227e-02 not-read\n");
  EXPECT_TRUE(t.header_form);
  EXPECT_EQ(t.counts[0], 1);
  EXPECT_EQ(t.counts[2], 2);
  EXPECT_EQ(t.counts_line, 2u);
  EXPECT_EQ(t.counts_column[1], 25u);
  ASSERT_EQ(t.rows.size(), 2u);
  EXPECT_EQ(t.rows[1].z, -0.22f);
  EXPECT_EQ(t.rows[1].b[2], -3.9227e-02f);
  EXPECT_EQ(t.rows[1].line, 12u);
}

TEST(TableReaderTest, ColumnsAreChosenByNameWhenAllSixAreNamed) {
  const Table t = read_ok(
      "1 1 1 0.001\n"
      "1 BZ [GAUSS]\n2 bx\n3 X [MM]\n4 Y[MM]\n5 By\n6 z\n0\n"
      "30 10 1 2 20 3\n");
  ASSERT_EQ(t.rows.size(), 1u);
  const TableRow& r = t.rows[0];
  EXPECT_EQ(r.x, 1.0f);
  EXPECT_EQ(r.y, 2.0f);
  EXPECT_EQ(r.z, 3.0f);
  EXPECT_EQ(r.b[0], 10.0f);
  EXPECT_EQ(r.b[1], 20.0f);
  EXPECT_EQ(r.b[2], 30.0f);
}

TEST(TableReaderTest, UnknownNamesMeanTheFirstSixColumns) {
  const Table t = read_ok("1 1 1\n1 U\n2 V\n3 W\n4 BU\n5 BV\n6 BW\n0\n1 2 3 4 5 6\n");
  EXPECT_EQ(t.rows[0].x, 1.0f);
  EXPECT_EQ(t.rows[0].b[2], 6.0f);
}

TEST(TableReaderTest, PlainFormSeparatorsCommentsAndLineEnds) {
  const Table t = read_ok(
      "# exported by a solver\r\n"
      "0 0 0 1 2 3\r\n"
      "\r\n"
      "1,0,0 , 4,5,6   # trailing comment\n"
      "\t2\t0\t0\t7\t8\t9");
  EXPECT_FALSE(t.header_form);
  ASSERT_EQ(t.rows.size(), 3u);
  EXPECT_EQ(t.rows[1].x, 1.0f);
  EXPECT_EQ(t.rows[1].b[2], 6.0f);
  EXPECT_EQ(t.rows[2].b[0], 7.0f);
  EXPECT_EQ(t.rows[2].line, 5u);
}

TEST(TableReaderTest, PlainFormNameLineChoosesColumnsAndCount) {
  const Table t = read_ok(
      "Bx, By, Bz, x [mm], y [mm], z [mm], |B|\n"
      "4, 5, 6, 1, 2, 3, 8.77\n");
  ASSERT_EQ(t.rows.size(), 1u);
  EXPECT_EQ(t.rows[0].x, 1.0f);
  EXPECT_EQ(t.rows[0].z, 3.0f);
  EXPECT_EQ(t.rows[0].b[0], 4.0f);
}

TEST(TableReaderTest, ScaleMultipliesCoordinatesOnly) {
  const Table t = read_ok("0.044 -0.05 0.1 0.5 0.25 2\n", 1000.0);
  EXPECT_EQ(t.rows[0].x, 44.0f);
  EXPECT_EQ(t.rows[0].y, -50.0f);
  EXPECT_EQ(t.rows[0].z, 100.0f);
  EXPECT_EQ(t.rows[0].b[0], 0.5f);
}

TEST(TableReaderTest, NonFiniteFieldValuesAreKept) {
  const Table t = read_ok("0 0 0 nan 1 1\n1 0 0 1 inf 1e99\n");
  EXPECT_TRUE(std::isnan(t.rows[0].b[0]));
  EXPECT_TRUE(std::isinf(t.rows[1].b[1]));
  EXPECT_TRUE(std::isinf(t.rows[1].b[2]));
}

struct ErrorRow {
  const char* name;
  const char* text;
  std::uint64_t line, column;
  const char* message_part;
};

TEST(TableReaderTest, ErrorsNameLineAndColumn) {
  const char* header = "2 1 1\n1 X\n2 Y\n3 Z\n4 BX\n5 BY\n6 BZ\n0\n";
  const std::string with_header = header;
  const std::string too_many = with_header + "0 0 0 1 1 1\n1 0 0 1 1 1\n2 0 0 1 1 1\n";
  const std::string short_row = with_header + "0 0 0 1 1\n";
  const std::string long_row = with_header + "0 0 0 1 1 1 1\n";
  const std::string bad_value = with_header + "0 0 0 1 x1 1\n";
  const ErrorRow rows[] = {
      {"empty", "\n  \n# only a comment\n", 1, 1, "empty"},
      {"zero count", "2 0 1\n", 1, 3, "NY must be a whole number of at least 1"},
      {"fractional count", "2 1.5 1\n", 1, 3, "NY"},
      {"over capacity", "\n101 100 100\n", 2, 1, "needs 3030000 values, more than the capacity"},
      {"huge counts", "2000000000 2000000000 2000000000\n", 1, 1, "capacity"},
      {"column numbering", "1 1 1\n1 X\n3 Y\n", 3, 1, "expected the column line \"2 NAME\""},
      {"column without name", "1 1 1\n1 X\n2\n", 3, 2, "column 2 has no name"},
      {"no zero line", "1 1 1\n1 X\n2 Y\n", 4, 1, "no line \"0\""},
      {"five columns", "1 1 1\n1 X\n2 Y\n3 Z\n4 BX\n5 BY\n 0\n", 7, 2, "lists 5 columns"},
      {"no rows", header, 9, 1, "no rows"},
      {"more rows than header", too_many.c_str(), 11, 1,
       "more rows than the header's 2 x 1 x 1 nodes"},
      {"row too short", short_row.c_str(), 9, 10, "a row needs 6 fields, this one has 5"},
      {"row too long", long_row.c_str(), 9, 13, "this one has 7"},
      {"not a number", bad_value.c_str(), 9, 9, "\"x1\" is not a number"},
      {"plain short row", "0 0 0 1 1 1\n  1 0 0 1 1\n", 2, 12, "a row needs 6 fields"},
      {"plain empty field", "0,0,,1,1,1\n", 1, 5, "\"\" is not a number"},
      {"plain infinite coordinate", "0 inf 0 1 1 1\n", 1, 3, "not a finite number"},
      {"plain overflow after scale", "0 3e38 0 1 1 1\n", 1, 3, "not a finite number"},
      {"plain few names", "x y z bx by\n", 1, 1, "list 5 columns"},
  };
  for (const ErrorRow& row : rows) {
    SCOPED_TRACE(row.name);
    Table table;
    TableError error;
    ReadOptions options;
    if (std::string(row.name) == "plain overflow after scale") options.scale = 10.0;
    ASSERT_FALSE(read_table(row.text, options, table, error));
    EXPECT_EQ(error.line, row.line);
    EXPECT_EQ(error.column, row.column);
    EXPECT_NE(error.message.find(row.message_part), std::string::npos) << error.message;
  }
}

TEST(TableReaderTest, PlainFormRejectsMoreRowsThanTheCapacityHolds) {
  std::string text;
  text.reserve(9'000'000);
  for (int n = 0; n <= 1'000'000; ++n) text += std::to_string(n) + " 0 0 1 1 1\n";
  Table table;
  TableError error;
  ASSERT_FALSE(read_table(text, ReadOptions{}, table, error));
  EXPECT_EQ(error.line, 1'000'001u);
  EXPECT_NE(error.message.find("more rows than 1000000 nodes"), std::string::npos);
}

TEST(TableReaderTest, ProgressIsReportedUpToTheEnd) {
  std::string text;
  for (int n = 0; n < 400'000; ++n) text += std::to_string(n) + " 0 0 1 1 1\n";
  ReadOptions options;
  std::vector<double> seen;
  options.progress = [&](double f) { seen.push_back(f); };
  Table table;
  TableError error;
  ASSERT_TRUE(read_table(text, options, table, error));
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.back(), 1.0);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
}

}  // namespace
}  // namespace fieldscan::fieldmap
