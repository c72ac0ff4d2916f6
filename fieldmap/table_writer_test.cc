#include "fieldmap/table_writer.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>

#include "fieldmap/grid_finder.h"
#include "fieldmap/table_reader.h"

namespace fieldscan::fieldmap {
namespace {

GridSize grid(float xmin, float ymin, float zmin, float dx, float dy, float dz, int nx, int ny,
              int nz) {
  GridSize g;
  g.XMIN = xmin;
  g.YMIN = ymin;
  g.ZMIN = zmin;
  g.DX = dx;
  g.DY = dy;
  g.DZ = dz;
  g.NX = nx;
  g.NY = ny;
  g.NZ = nz;
  return g;
}

TEST(TableWriterTest, ExactTextWithZIndexFastest) {
  const GridSize g = grid(-0.05f, 0, 1, 0.044f, 1, 0.5f, 2, 1, 2);
  // BMAP order: component, then x, y, z index.
  const float values[12] = {1, 2, 3, 4, 5, 6, 0.1f, -1e-7f, 999999, 7, 8, 9};
  EXPECT_EQ(format_table(g, values),
            " 2 1 2\n 1 X\n 2 Y\n 3 Z\n 4 BX\n 5 BY\n 6 BZ\n 0\n"
            "-0.05 0 1 1 2 3\n"
            "-0.05 0 1.5 0.1 -1e-07 999999\n"
            "-0.006000001 0 1 4 5 6\n"  // -0.05f + 0.044f, rounded once
            "-0.006000001 0 1.5 7 8 9\n");
}

TEST(TableWriterTest, EmptyGridGivesTheHeaderAlone) {
  EXPECT_EQ(format_table(grid(0, 0, 0, 1, 1, 1, 3, 0, 2), nullptr),
            " 3 0 2\n 1 X\n 2 Y\n 3 Z\n 4 BX\n 5 BY\n 6 BZ\n 0\n");
}

// Table -> map -> table: random single-precision values of every magnitude
// come back bit for bit, the grid exactly, and the second table is the
// first one byte for byte.
TEST(TableWriterTest, RoundTripThroughTheGridFinderIsExact) {
  const GridSize grids[] = {grid(-0.05f, -0.05f, -0.26f, 0.02f, 0.044f, 0.04f, 6, 6, 10),
                            grid(-12.5f, 3.25f, 0, 0.3f, 1e-3f, 7.5f, 9, 4, 5),
                            grid(100, -100, 1e-3f, 2.5f, 0.1f, 0.7f, 3, 11, 2)};
  std::mt19937 random(99);
  for (const GridSize& g : grids) {
    SCOPED_TRACE(testing::Message() << g.NX << "x" << g.NY << "x" << g.NZ);
    std::vector<float> values(static_cast<std::size_t>(3 * g.NX * g.NY * g.NZ));
    for (float& v : values) {
      do v = std::bit_cast<float>(static_cast<std::uint32_t>(random()));
      while (!std::isfinite(v));
    }
    values[5] = 999999.0f;
    const std::string text = format_table(g, values.data());
    Table table;
    TableError error;
    MapContents contents;
    ASSERT_TRUE(read_table(text, ReadOptions{}, table, error) &&
                build_map(text, table, contents, error))
        << error.line << ":" << error.column << ": " << error.message;
    EXPECT_EQ(contents.xmin, g.XMIN);
    EXPECT_EQ(contents.ymin, g.YMIN);
    EXPECT_EQ(contents.zmin, g.ZMIN);
    EXPECT_EQ(contents.dx, g.DX);
    EXPECT_EQ(contents.dy, g.DY);
    EXPECT_EQ(contents.dz, g.DZ);
    EXPECT_EQ(contents.nx, g.NX);
    EXPECT_EQ(contents.ny, g.NY);
    EXPECT_EQ(contents.nz, g.NZ);
    ASSERT_EQ(contents.values.size(), values.size());
    for (std::size_t n = 0; n < values.size(); ++n) {
      ASSERT_EQ(std::bit_cast<std::uint32_t>(contents.values[n]),
                std::bit_cast<std::uint32_t>(values[n]))
          << "value " << n;
    }
    const GridSize back =
        grid(contents.xmin, contents.ymin, contents.zmin, contents.dx, contents.dy, contents.dz, contents.nx, contents.ny, contents.nz);
    EXPECT_EQ(format_table(back, contents.values.data()), text);
  }
}

}  // namespace
}  // namespace fieldscan::fieldmap
