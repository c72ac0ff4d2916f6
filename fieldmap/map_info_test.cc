#include "fieldmap/map_info.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>

#include "mapfile/map_writer.h"

namespace fieldscan::fieldmap {
namespace {

std::string temp_path(const char* name) {
  return testing::TempDir() + "fieldmap_info_" + std::to_string(getpid()) + "_" + name;
}

MapContents small_spec() {
  MapContents contents;
  contents.title = "Purging magnet";
  contents.date = "08-DEC-2026";
  contents.axa = "X [M]";
  contents.angle = 45.0f;
  return contents;
}

TEST(MapInfoTest, ReadsTheTextsOfTheFirstRecords) {
  const std::string path = temp_path("texts.map");
  ASSERT_TRUE(write_map_file(path, small_spec()));
  MapTexts texts;
  ASSERT_TRUE(read_map_texts(path, texts));
  EXPECT_EQ(texts.title, "Purging magnet" + std::string(66, ' '));
  EXPECT_EQ(texts.date, "08-DEC-2026       ");
  EXPECT_EQ(texts.axa, "X [M]   ");
  EXPECT_EQ(texts.axc, "Z       ");
  EXPECT_EQ(texts.angle_degrees, 45.0f);
}

TEST(MapInfoTest, ALongerTitleRecordIsSkippedToItsEnd) {
  auto records = encode_records(small_spec());
  records[0] += std::string(20, '!');
  std::string bytes;
  for (const auto& r : records) bytes += frame_record(r);
  const std::string path = temp_path("long.map");
  ASSERT_TRUE(write_file(path, bytes));
  MapTexts texts;
  ASSERT_TRUE(read_map_texts(path, texts));
  EXPECT_EQ(texts.date, "08-DEC-2026       ");
  EXPECT_EQ(texts.angle_degrees, 45.0f);
}

TEST(MapInfoTest, MissingOrCutFilesFail) {
  MapTexts texts;
  EXPECT_FALSE(read_map_texts(temp_path("does-not-exist.map"), texts));
  const std::string whole = encode_map(small_spec());
  for (const std::size_t cut : {0, 3, 87, 100, 149}) {  // record 3 ends at byte 150
    SCOPED_TRACE(cut);
    const std::string path = temp_path("cut.map");
    ASSERT_TRUE(write_file(path, whole.substr(0, cut)));
    EXPECT_FALSE(read_map_texts(path, texts));
  }
  const std::string path = temp_path("cut.map");
  ASSERT_TRUE(write_file(path, whole.substr(0, 150)));
  EXPECT_TRUE(read_map_texts(path, texts));
}

TEST(MapInfoTest, NodeStatsCountUnmeasuredAndSkipThemInRanges) {
  GridSize g;
  g.NX = 2;
  g.NY = 2;
  g.NZ = 1;
  const float values[12] = {1,      -2,     3,       // measured
                            999999, 999999, 999999,  // unmeasured
                            999999, 999999, 900000,  // measured: one component not above
                            NAN,    -5,     0.5f};   // measured, NaN ignored
  const NodeStats s = node_stats(g, values);
  EXPECT_EQ(s.measured, 3);
  EXPECT_EQ(s.unmeasured, 1);
  EXPECT_EQ(s.min[0], 1.0f);
  EXPECT_EQ(s.max[0], 999999.0f);
  EXPECT_EQ(s.min[1], -5.0f);
  EXPECT_EQ(s.max[2], 900000.0f);
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
  MapTexts t;
  t.title = "Worked example" + std::string(66, ' ');
  t.date = "08-DEC-2026       ";
  t.axa = "X       ";
  t.axb = "Y\tB     ";
  t.axc = "        ";
  t.angle_degrees = 45;
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

}  // namespace
}  // namespace fieldscan::fieldmap
