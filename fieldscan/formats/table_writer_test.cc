#include "fieldscan/formats/table_writer.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>

#include "fieldscan/formats/grid_finder.h"
#include "fieldscan/formats/map_header.h"
#include "fieldscan/formats/table_reader.h"
#include "fieldscan/mapfile/map_writer.h"

namespace fieldscan::fieldmap {
namespace {

MapContents grid(float xmin, float ymin, float zmin, float dx, float dy, float dz, int nx, int ny,
                 int nz) {
  MapContents c;
  c.xmin = xmin;
  c.ymin = ymin;
  c.zmin = zmin;
  c.dx = dx;
  c.dy = dy;
  c.dz = dz;
  c.nx = nx;
  c.ny = ny;
  c.nz = nz;
  c.values.assign(static_cast<std::size_t>(nx > 0 && ny > 0 && nz > 0 ? 3 * nx * ny * nz : 0),
                  1.0f);
  return c;
}

// The map that convert makes of `text`, header lines applied.
MapContents convert(const std::string& text) {
  Table table;
  TableError error;
  MapContents contents;
  EXPECT_TRUE(read_table(text, ReadOptions{}, table, error) && build_map(table, contents, error))
      << error.line << ":" << error.column << ": " << error.message;
  apply_header(table.header, contents);
  return contents;
}

TEST(TableWriterTest, ExactTextWithHeaderLinesAndZIndexFastest) {
  MapContents c = grid(-0.05f, 0, 1, 0.044f, 1, 0.5f, 2, 1, 2);
  c.title = "Say \"hi\" \\ #1\n";
  c.date = "08-DEC-2026";
  c.axc = "Z\x7f";
  c.angle = 30;
  c.isa = -1;
  c.idc = 2147483647;
  // File order: component, then x, y, z index.
  c.values = {1, 2, 3, 4, 5, 6, 0.1f, -1e-7f, 999999, 7, 8, 9};
  EXPECT_EQ(format_table(c),
            "#map title \"Say \\\"hi\\\" \\\\ #1\\x0A\"\n"
            "#map date \"08-DEC-2026\"\n"
            "#map axes \"X\" \"Y\" \"Z\\x7F\"\n"
            "#map angle 30\n"
            "#map origin -0.05 0 1\n"
            "#map steps 0.044 1 0.5\n"
            "#map integers -1 0 0 0 0 0 0 0 2147483647\n"
            " 2 1 2\n 1 X\n 2 Y\n 3 Z\n 4 BX\n 5 BY\n 6 BZ\n 0\n"
            "-0.05 0 1 1 2 3\n"
            "-0.05 0 1.5 0.1 -1e-07 999999\n"
            "-0.006000001 0 1 4 5 6\n"  // -0.05f + 0.044f, rounded once
            "-0.006000001 0 1.5 7 8 9\n");
}

// Map -> table -> map: every header item and every value comes back bit for
// bit, the file byte for byte, and the second table is the first one.
TEST(TableWriterTest, RoundTripKeepsEveryItemOfTheMap) {
  MapContents grids[] = {grid(-0.05f, -0.05f, -0.26f, 0.02f, 0.044f, 0.04f, 6, 6, 10),
                         grid(-12.5f, 3.25f, 0, 0.3f, 1e-3f, 7.5f, 9, 4, 5),
                         // A step the grid finder alone would not choose
                         // (0.02 is shorter) and single planes with steps
                         // other than 1.
                         grid(100, -100, 1e-3f, std::nextafter(0.02f, 1.0f), 5, 0.7f, 3, 1, 1)};
  grids[1].title = std::string("\xC3\x9C\tber \"alles\"") + std::string(60, ' ');
  grids[1].date = "   ";
  grids[1].axa = "R [MM]";
  grids[1].axb = "PHI";
  grids[1].angle = 22.5f;
  grids[1].isa = 1;
  grids[1].imb = -7;
  grids[1].ida = 2;
  grids[1].idc = INT32_MIN;
  std::mt19937 random(99);
  for (MapContents& c : grids) {
    SCOPED_TRACE(testing::Message() << c.nx << "x" << c.ny << "x" << c.nz);
    for (float& v : c.values) {
      do v = std::bit_cast<float>(static_cast<std::uint32_t>(random()));
      while (!std::isfinite(v));
    }
    c.values[5] = 999999.0f;
    ASSERT_EQ(table_problem(c), "");
    const std::string text = format_table(c);
    const MapContents back = convert(text);
    EXPECT_TRUE(encode_map(back) == encode_map(c)) << "the maps differ";
    EXPECT_EQ(format_table(back), text);
  }
}

TEST(TableWriterTest, MapsThatATableCannotCarryAreNamed) {
  const struct {
    const char* name;
    MapContents contents;
    const char* part;
  } rows[] = {
      {"count 0", grid(0, 0, 0, 1, 1, 1, 3, 0, 2), "the count NY is 0"},
      {"negative count", grid(0, 0, 0, 1, 1, 1, 3, 1, -2), "the count NZ is -2"},
      {"zero step", grid(0, 0, 0, 0, 1, 1, 2, 2, 2), "the step DX is 0"},
      {"negative step", grid(0, 0, 0, 1, -0.5f, 1, 2, 2, 2), "the step DY is -0.5"},
      {"infinite step", grid(0, 0, 0, 1, 1, INFINITY, 2, 2, 2), "the step DZ is inf"},
      {"NaN origin", grid(0, NAN, 0, 1, 1, 1, 2, 2, 2), "YMIN is not a finite number"},
      {"nodes merge", grid(1e8f, 0, 0, 1e-3f, 1, 1, 3, 2, 2), "x position of node 2"},
      {"nodes beyond the range", grid(3e38f, 0, 0, 1e38f, 1, 1, 3, 2, 2), "x position of node 2"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_NE(table_problem(row.contents).find(row.part), std::string::npos)
        << table_problem(row.contents);
  }
  MapContents c = grid(0, 0, 0, 1, 1, 1, 2, 3, 2);
  c.angle = NAN;
  EXPECT_NE(table_problem(c).find("angle"), std::string::npos);
  c.angle = 90;
  c.values[3 * (1 + 2 * 2) + 2] = -INFINITY;  // node (2, 3, 1), BZ
  EXPECT_NE(table_problem(c).find("node (2, 3, 1) holds a value that is not a finite number"),
            std::string::npos)
      << table_problem(c);
  c.values.resize(5);
  EXPECT_NE(table_problem(c).find("fewer values"), std::string::npos);
}

}  // namespace
}  // namespace fieldscan::fieldmap
