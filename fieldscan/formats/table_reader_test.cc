#include "fieldscan/formats/table_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
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

// The counts followed directly by the rows, with no column lines and no
// "0" line: x y z bx by bz in that order, naming no units.  A row whose x is
// 0 is a row, not the line "0" with something after it.
TEST(TableReaderTest, CountsFollowedDirectlyByRows) {
  const Table t = read_ok("\n  2 1 1\n0 0 0 1 2 3\n0.5 0 0 4 5 6\n");
  EXPECT_TRUE(t.header_form);
  EXPECT_EQ(t.counts[0], 2);
  ASSERT_EQ(t.rows.size(), 2u);
  EXPECT_EQ(t.rows[1].x, 0.5f);
  EXPECT_EQ(t.rows[1].b[2], 6.0f);
  EXPECT_EQ(t.rows[1].line, 4u);
  for (const std::string& unit : t.unit) EXPECT_EQ(unit, "");
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

// Which first lines name the columns (and how), and which are rows.
TEST(TableReaderTest, NameLinesAndFirstRows) {
  const struct {
    const char* name;
    const char* text;
    float x, bz;  // of the first row
  } rows[] = {
      {"units in brackets", "x [mm] y[mm] z [mm] Bx [T] By [T] Bz [T]\n1 2 3 4 5 6\n", 1, 6},
      {"units in parentheses", "bz(T) x(mm) y(mm) z(mm) bx(T) by(T)\n6 1 2 3 4 5\n", 1, 6},
      {"unknown names, no number", "u v w bu bv bw\n1 2 3 4 5 6\n", 1, 6},
      {"byte-order mark", "\xEF\xBB\xBFx y z bx by bz\n1 2 3 4 5 6\n", 1, 6},
      {"byte-order mark before a row",
       "\xEF\xBB\xBF"
       "1 2 3 4 5 6\n",
       1, 6},
      {"classic Mac line ends", "x y z bx by bz\r1 2 3 4 5 6\r\r7 8 9 10 11 12", 1, 6},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const Table t = read_ok(row.text);
    ASSERT_FALSE(t.rows.empty());
    EXPECT_EQ(t.rows[0].x, row.x);
    EXPECT_EQ(t.rows[0].b[2], row.bz);
  }
  const Table mac = read_ok("x y z bx by bz\r1 2 3 4 5 6\r\r7 8 9 10 11 12");
  ASSERT_EQ(mac.rows.size(), 2u);
  EXPECT_EQ(mac.rows[1].line, 4u);
}

// A stream without line ends is refused after at most one line's worth of
// bytes, whatever its length.
TEST(TableReaderTest, LinesLongerThanTheLimitAreRefusedWithoutReadingOn) {
  class Zeros final : public TextSource {
   public:
    std::ptrdiff_t read(char* dst, std::size_t n, std::string&) override {
      std::memset(dst, '0', n);
      given += n;
      return static_cast<std::ptrdiff_t>(n);
    }
    std::uint64_t given = 0;
  } zeros;
  Table table;
  TableError error;
  ASSERT_FALSE(read_table(zeros, ReadOptions{}, table, error));
  EXPECT_EQ(error.line, 1u);
  EXPECT_NE(error.message.find("longer than 1048576 bytes"), std::string::npos);
  EXPECT_LT(zeros.given, kMaxLineBytes + (std::size_t{1} << 17));

  // A line of exactly the limit is read.
  std::string text(kMaxLineBytes - 11, ' ');
  text += "0 0 0 1 2 3\n";
  ASSERT_EQ(text.size(), kMaxLineBytes + 1);
  EXPECT_EQ(read_ok(text + "1 0 0 1 2 3").rows.size(), 2u);
}

TEST(TableReaderTest, HeaderLinesAreReadBeforeTheFirstRow) {
  const Table t = read_ok(
      "#map title \"A \\\"quoted\\\" #title\\\\x\"  # a comment after the values\n"
      "#mapping is just a comment\n"
      "#map axes \"R\" \"PHI\" \"Z\\x09\"\n"
      "#map origin 0 -1 2\n#map steps 1 0.5 2\n"
      "#map integers 1 2 3 4 5 6 7 8 -9\n"
      "0 -1 2 1 2 3\n");
  ASSERT_TRUE(t.header.title.has_value());
  EXPECT_EQ(*t.header.title, "A \"quoted\" #title\\x");
  EXPECT_EQ((*t.header.axes)[2], "Z\t");
  EXPECT_EQ((*t.header.steps)[1], 0.5f);
  EXPECT_EQ((*t.header.integers)[8], -9);
  EXPECT_FALSE(t.header.date.has_value());
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
  const std::string long_title = "#map title \"" + std::string(81, 'T') + "\"\n0 0 0 1 2 3\n";
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
      // A typo in the first row is an error there, as it is on line 2.
      {"typo in the first row", "O 0 0 1 2 3\n1 0 0 1 2 3\n", 1, 1, "\"O\" is not a number"},
      {"typo in the second row", "0 0 0 1 2 3\nO 0 0 1 2 3\n", 2, 1, "\"O\" is not a number"},
      {"typo inside the first row", "0 0 0 1 2 3e\n", 1, 11, "\"3e\" is not a number"},
      {"names with a number", "x y z bx by 1.5\n", 1, 1, "\"x\" is not a number"},
      // Names choose the columns: each of the six exactly once.
      {"a column named twice", "x y z bx by bz x\n1 2 3 4 5 6 7\n", 1, 16,
       "the column x is named twice (\"x\"; first on line 1, column 1)"},
      {"a name twice among all six", "bz y z bx by bz\n1 2 3 4 5 6\n", 1, 14,
       "the column bz is named twice"},
      {"header names x twice", "1 1 1\n1 X\n2 x [mm]\n3 Z\n4 BX\n5 BY\n6 BZ\n0\n0 0 0 1 2 3\n", 3,
       3, "the column x is named twice (\"x\"; first on line 2, column 3)"},
      {"a coordinate column missing", "x y w bx by bz\n1 2 3 4 5 6\n", 1, 1,
       "no column is named z"},
      {"header without bz", "1 1 1\n1 X\n2 Y\n3 Z\n4 BX\n5 BY\n6 B\n 0\n0 0 0 1 2 3\n", 8, 2,
       "no column is named bz"},
      {"header line after a row", "0 0 0 1 2 3\n#map angle 45\n", 2, 1, "before the first row"},
      {"unknown header keyword", "#map colour \"red\"\n0 0 0 1 2 3\n", 1, 6, "unknown keyword"},
      {"header item twice", "#map angle 1\n#map angle 2\n0 0 0 1 2 3\n", 2, 6, "given twice"},
      {"title too long", long_title.c_str(), 1, 12, "longer than the 80 bytes"},
      {"unquoted text", "#map date 08-DEC-2026\n0 0 0 1 2 3\n", 1, 11, "double quotes"},
      {"open quote", "#map date \"08-DEC\n0 0 0 1 2 3\n", 1, 11, "no closing quote"},
      {"bad escape", "#map date \"a\\qb\"\n0 0 0 1 2 3\n", 1, 13, "backslash"},
      {"zero step", "#map steps 1 0 1\n#map origin 0 0 0\n0 0 0 1 2 3\n", 1, 14,
       "must be positive"},
      {"infinite angle", "#map angle inf\n0 0 0 1 2 3\n", 1, 12, "not finite"},
      {"integer too large", "#map integers 0 0 0 0 0 0 0 0 2147483648\n0 0 0 1 2 3\n", 1, 31,
       "not a 32-bit integer"},
      {"eight integers", "#map integers 0 0 0 0 0 0 0 0\n0 0 0 1 2 3\n", 1, 30,
       "needs nine integers, not 8"},
      {"origin without steps", "#map origin 0 0 0\n0 0 0 1 2 3\n", 1, 1, "needs #map steps"},
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
