#include "fieldscan/query/map_info.h"

#include <gtest/gtest.h>

#include <cmath>

#include "fieldscan/field/field_map.h"

namespace fieldscan::fieldmap {
namespace {

TEST(MapInfoTest, NodeStatsCountUnmeasuredAndSkipThemInRanges) {
  MapContents c;
  c.nx = 2;
  c.ny = 3;
  c.nz = 1;
  c.values = {1,      -2,     3,        // measured
              999999, 999999, 999999,   // unmeasured
              999999, 999999, 900000,   // measured: one component not above
              NAN,    -5,     0.5f,     // measured, NaN ignored
              950000, 900001, 1e30f,    // unmeasured: all three above the limit
              999999, 5,      999999};  // measured: only some at the mark
  const NodeStats s = node_stats(c);
  EXPECT_EQ(s.measured, 4);
  EXPECT_EQ(s.unmeasured, 2);
  EXPECT_EQ(s.min[0], 1.0f);
  EXPECT_EQ(s.max[0], 999999.0f);
  EXPECT_EQ(s.min[1], -5.0f);
  EXPECT_EQ(s.max[2], 999999.0f);
  EXPECT_EQ(s.min[2], 0.5f);
}

TEST(MapInfoTest, FormatInfoLayout) {
  GridSize g;
  g.XMIN = -10;
  g.ZMIN = 5;
  g.DX = 2;
  g.DY = 5;
  g.DZ = 0.5f;
  g.NX = 3;
  g.NY = 2;
  g.NZ = 4;
  g.IDA = 1;
  g.IDB = 1;
  g.ANGLE = 0.785398185f;
  g.XLOW = -14;
  g.XHIGH = -6;
  g.YLOW = -4;
  g.YHIGH = 4;
  g.ZLOW = 5;
  g.ZHIGH = 6.5f;
  MapContents t;
  t.title = "Worked example" + std::string(66, ' ');
  t.date = "08-DEC-2026       ";
  t.axa = "X       ";
  t.axb = "Y\tB     ";
  t.axc = "        ";
  t.angle = 45;
  NodeStats s;
  s.measured = 20;
  s.unmeasured = 4;
  s.any_range = true;
  s.min[0] = -1.5f;
  s.max[0] = 2;
  s.min[1] = 0;
  s.max[1] = 0.25f;
  s.min[2] = -3;
  s.max[2] = 1e-7f;
  EXPECT_EQ(format_info("ex.map", t, g, s),
            "Map:          ex.map\n"
            "Title:        Worked example\n"
            "Date:         08-DEC-2026\n"
            "Axis texts:   \"X\" \"Y?B\" \"\"\n"
            "Units:        lengths in unknown units, field in unknown units\n"
            "Angle:        45 degrees in the file, 0.7853982 radians as loaded\n"
            "Reflection:   IDA 1  IDB 1  IDC 0\n"
            "Origin:       XMIN -10  YMIN 0  ZMIN 5\n"
            "Steps:        DX 2  DY 5  DZ 0.5\n"
            "Counts:       NX 3  NY 2  NZ 4  (24 nodes)\n"
            "Limits:       x -14 to -6,  y -4 to 4,  z 5 to 6.5\n"
            "Nodes:        20 measured, 4 unmeasured\n"
            "BX:           min -1.5  max 2\n"
            "BY:           min 0  max 0.25\n"
            "BZ:           min -3  max 1e-07\n");
  s.any_range = false;
  EXPECT_NE(format_info("ex.map", t, g, s).find("BZ:           no measured value\n"),
            std::string::npos);
}

// 9 steps of 6.1 from -30 end at 24.9 in single precision, but a point
// there folds to 24.900002 and is refused: the limit shown is the last one
// taken, 24.899998.
TEST(MapInfoTest, LimitsAreThoseTheEvaluationTakes) {
  MapContents c;
  c.xmin = -30, c.dx = 6.1f, c.nx = 10;
  c.ny = c.nz = 1, c.dy = c.dz = 1;
  c.values.assign(30, 0.5f);
  FieldMap map;
  MapError error;
  ASSERT_TRUE(FieldMap::from_contents(c, map, error)) << error.message;
  const std::string text = format_info("m.map", map.contents(), map.grid(), node_stats(c));
  EXPECT_NE(text.find("\nLimits:       x -30 to 24.899998,  y 0 to 0,  z 0 to 0\n"),
            std::string::npos)
      << text;
}

}  // namespace
}  // namespace fieldscan::fieldmap
