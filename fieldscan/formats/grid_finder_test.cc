#include "fieldscan/formats/grid_finder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <sstream>
#include <string>

namespace fieldscan::fieldmap {
namespace {

std::vector<float> sorted(std::vector<float> v) {
  std::sort(v.begin(), v.end());
  v.erase(std::unique(v.begin(), v.end()), v.end());
  return v;
}

struct AxisRow {
  const char* name;
  std::vector<float> values;
  std::int32_t count;
  AxisFit fit;
  float min, step;
  std::int32_t n;
};

TEST(GridFinderTest, FitAxisRows) {
  const AxisRow rows[] = {
      {"integers", {0, 1, 2, 3}, 0, AxisFit::regular, 0, 1, 4},
      {"y of the purging magnet table",
       {-0.05f, -0.006f, 0.038f, 0.082f, 0.126f, 0.17f},
       6,
       AxisFit::regular,
       -0.05f,
       0.044f,
       6},
      {"six significant digits",
       {0, 0.333333f, 0.666667f, 1, 1.33333f, 1.66667f, 2},
       0,
       AxisFit::regular,
       0,
       0.333333343f,
       7},
      {"large offset",
       {1000.0f, 1000.1f, 1000.2f, 1000.3f},
       0,
       AxisFit::regular,
       1000.0f,
       0.099996f,
       4},
      {"single plane", {5}, 0, AxisFit::regular, 5, 1, 1},
      {"header allows an absent plane", {0, 1, 3}, 4, AxisFit::regular, 0, 1, 4},
      {"plain form needs every plane", {0, 1, 3}, 0, AxisFit::irregular, 0, 1.5f, 3},
      {"off the grid", {0, 1, 2.3f, 3}, 0, AxisFit::irregular, 0, 1, 4},
      {"header count too small", {0, 1, 2, 3, 4, 5, 6}, 6, AxisFit::count_mismatch, 0, 1, 7},
      {"header count too large", {0, 1, 2}, 4, AxisFit::count_mismatch, 0, 1, 3},
      {"header says one plane", {0, 2}, 1, AxisFit::count_mismatch, 0, 2, 2},
      {"near copies of one plane", {0, 1e-7f, 1, 2}, 0, AxisFit::regular, 0, 1, 3},
      // A hundredth of a step off is beyond the tolerance of a thousandth.
      {"a hundredth of a step off", {0, 1.005f, 2}, 0, AxisFit::irregular, 0, 1, 3},
  };
  for (const AxisRow& row : rows) {
    SCOPED_TRACE(row.name);
    AxisGrid g;
    EXPECT_EQ(fit_axis(sorted(row.values), row.count, g), row.fit);
    EXPECT_EQ(g.min, row.min);
    EXPECT_EQ(g.n, row.n);
    if (row.fit != AxisFit::irregular) {
      EXPECT_FLOAT_EQ(g.step, row.step);
    }
  }
}

// Coordinates computed as the map places its nodes (double, rounded once)
// give back the very same single-precision step.
TEST(GridFinderTest, StepOfPrintedNodePositionsIsRecoveredExactly) {
  const struct {
    float min, step;
    int n;
  } grids[] = {{-0.05f, 0.044f, 6}, {-0.26f, 0.04f, 10}, {0, 0.1f, 101},
               {-12.5f, 0.3f, 50},  {3.25f, 1e-3f, 7},   {-100, 2.5f, 81}};
  for (const auto& g : grids) {
    SCOPED_TRACE(testing::Message() << g.min << " + k * " << g.step);
    std::vector<float> values;
    for (int k = 0; k < g.n; ++k) {
      values.push_back(static_cast<float>(double{g.min} + k * double{g.step}));
    }
    AxisGrid found;
    ASSERT_EQ(fit_axis(sorted(values), 0, found), AxisFit::regular);
    EXPECT_EQ(found.min, g.min);
    EXPECT_EQ(found.step, g.step);
    EXPECT_EQ(found.n, g.n);
  }
}

// Writes a plain table of a 3 x 2 x 2 grid (origin (-1, 0, 10), steps
// (0.5, 2, 0.25)) with field (x, y, z) * 10 + node number, rows in the
// order given by `order` (a permutation of 0..11, node number = i + 3j + 6k).
std::string plain_table(const std::vector<int>& order) {
  std::ostringstream out;
  for (const int node : order) {
    const int i = node % 3, j = node / 3 % 2, k = node / 6;
    out << -1 + 0.5 * i << ' ' << 2.0 * j << ' ' << 10 + 0.25 * k << ' ' << node << ' ' << 10 * node
        << ' ' << -node << '\n';
  }
  return out.str();
}

MapContents build_ok(const std::string& text) {
  Table table;
  TableError error;
  MapContents contents;
  EXPECT_TRUE(read_table(text, ReadOptions{}, table, error) && build_map(table, contents, error))
      << error.line << ":" << error.column << ": " << error.message;
  return contents;
}

void expect_small_grid(const MapContents& contents) {
  EXPECT_EQ(contents.xmin, -1.0f);
  EXPECT_EQ(contents.ymin, 0.0f);
  EXPECT_EQ(contents.zmin, 10.0f);
  EXPECT_EQ(contents.dx, 0.5f);
  EXPECT_EQ(contents.dy, 2.0f);
  EXPECT_EQ(contents.dz, 0.25f);
  EXPECT_EQ(contents.nx, 3);
  EXPECT_EQ(contents.ny, 2);
  EXPECT_EQ(contents.nz, 2);
  ASSERT_EQ(contents.values.size(), 36u);
  for (int node = 0; node < 12; ++node) {
    EXPECT_EQ(contents.values[3 * node], static_cast<float>(node));
    EXPECT_EQ(contents.values[3 * node + 1], static_cast<float>(10 * node));
    EXPECT_EQ(contents.values[3 * node + 2], static_cast<float>(-node));
  }
}

TEST(GridFinderTest, EitherLoopOrderAndAnyRowOrderGiveTheSameMap) {
  std::vector<int> x_fastest(12);
  for (int n = 0; n < 12; ++n) x_fastest[n] = n;
  std::vector<int> z_fastest;
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 2; ++j)
      for (int k = 0; k < 2; ++k) z_fastest.push_back(i + 3 * j + 6 * k);
  std::vector<int> shuffled = x_fastest;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(7));
  for (const auto& order : {x_fastest, z_fastest, shuffled}) {
    SCOPED_TRACE(plain_table(order));
    expect_small_grid(build_ok(plain_table(order)));
  }
}

TEST(GridFinderTest, AbsentAndNonFiniteNodesBecomeUnmeasured) {
  std::vector<int> order;
  for (int n = 0; n < 12; ++n)
    if (n != 4) order.push_back(n);  // node (2, 2, 1) absent
  std::string text = plain_table(order);
  // Nodes 7, 8, 11 with a component that is not finite, one in each.
  text.replace(text.find("7 70 -7"), 7, "nan 70 -7");
  text.replace(text.find("8 80 -8"), 7, "8 -inf -8");
  text.replace(text.find("11 110 -11"), 10, "11 110 1e39");
  const MapContents contents = build_ok(text);
  for (const int node : {4, 7, 8, 11}) {
    SCOPED_TRACE(node);
    for (int c = 0; c < 3; ++c) EXPECT_EQ(contents.values[3 * node + c], kUnmeasuredMark);
  }
  EXPECT_EQ(contents.values[3 * 5], 5.0f);
}

// Both forms take coordinates within the tolerance of the step: here x
// carries a jitter of 0.0005 on a step of 1.
TEST(GridFinderTest, JitterWithinTheToleranceIsTheSameInBothForms) {
  std::string rows;
  for (int z = 0; z < 2; ++z)
    for (int y = 0; y < 2; ++y)
      for (int x = 0; x < 3; ++x)
        rows += std::to_string(x + 0.0005 * y) + " " + std::to_string(y) + " " + std::to_string(z) +
                " 1 2 3\n";
  const MapContents plain = build_ok(rows);
  const MapContents header = build_ok("3 2 2\n1 X\n2 Y\n3 Z\n4 BX\n5 BY\n6 BZ\n0\n" + rows);
  EXPECT_EQ(plain.nx, 3);
  EXPECT_EQ(plain.xmin, header.xmin);
  EXPECT_EQ(plain.dx, header.dx);
  EXPECT_EQ(plain.nx, header.nx);
  EXPECT_EQ(plain.values, header.values);
}

// With origin and steps in the header lines the grid is theirs, not fitted:
// a single plane keeps its step, and the plain form reaches the largest
// coordinate.
TEST(GridFinderTest, HeaderLinesFixTheGrid) {
  const MapContents c = build_ok(
      "#map origin -1 5 0\n#map steps 0.5 2.5 0.25\n"
      "-1 5 0 1 2 3\n0 5 0 4 5 6\n");
  EXPECT_EQ(c.xmin, -1.0f);
  EXPECT_EQ(c.dx, 0.5f);
  EXPECT_EQ(c.nx, 3);  // -1, -0.5, 0
  EXPECT_EQ(c.dy, 2.5f);
  EXPECT_EQ(c.ny, 1);
  EXPECT_EQ(c.dz, 0.25f);
  EXPECT_EQ(c.values[3], kUnmeasuredMark);  // node (2, 1, 1) has no row
  EXPECT_EQ(c.values[6], 4.0f);

  Table table;
  TableError error;
  MapContents contents;
  const std::string off = "#map origin 0 0 0\n#map steps 1 1 1\n0 0 0 1 2 3\n0.5 0 0 1 2 3\n";
  ASSERT_TRUE(read_table(off, ReadOptions{}, table, error));
  ASSERT_FALSE(build_map(table, contents, error));
  EXPECT_EQ(error.line, 4u);
  EXPECT_NE(error.message.find("(the grid of the #map lines)"), std::string::npos);
}

TEST(GridFinderTest, ErrorsNameTheRowAndField) {
  const std::string head = "2 2 1\n1 X\n2 Y\n3 Z\n4 BX\n5 BY\n6 BZ\n0\n";
  struct Row {
    const char* name;
    std::string text;
    std::uint64_t line, column;
    const char* part;
  };
  const Row rows[] = {
      {"duplicate node", "0 0 0 1 1 1\n1 0 0 1 1 1\n 0 0 0 2 2 2\n", 3, 2,
       "duplicate node (1, 1, 1), first given on line 1"},
      {"duplicate in header form", head + "0 0 0 1 1 1\n0 1 0 1 1 1\n1 0 0 1 1 1\n0 1 0 1 1 1\n",
       12, 1, "duplicate node (1, 2, 1), first given on line 10"},
      {"irregular x", "0 0 0 1 1 1\n1 0 0 1 1 1\n2.3 0 0 1 1 1\n3 0 0 1 1 1\n", 3, 1,
       "irregular grid: x = 2.3"},
      // Planes closer than a thousandth of the largest gap are one plane;
      // 2 and 2.05 are two, which makes four planes on no regular grid.
      {"planes a twentieth of a step apart",
       "0 0 0 1 1 1\n1 0 0 1 1 1\n2 0 0 1 1 1\n2.05 0 0 1 1 1\n", 2, 1,
       "irregular grid: x = 1 is not within 0.000684 of 0 + k * 0.6833333 for any k from 0 to 3"},
      // The row's index would be NX itself: refused, never stored past the
      // end of the nodes.
      {"a row one step past NX on the grid of the #map lines",
       "#map origin 0 0 0\n#map steps 1 1 1\n" + head + "0 0 0 1 1 1\n2 0 0 1 1 1\n", 12, 1,
       "irregular grid: x = 2 is not within"},
      {"irregular z, first bad row in file order",
       "0 0 0 1 1 1\n0 0 1 1 1 1\n0 0 2.5 1 1 1\n0 0 3 1 1 1\n0 0 2.5 1 1 1\n", 3, 5,
       "irregular grid: z = 2.5"},
      {"header count does not match", head + "0 0 0 1 1 1\n1 0 0 1 1 1\n0 1 0 1 1 1\n0 2 0 1 1 1\n",
       1, 3, "the count does not match the header: NY is 2 but the y coordinates lie on 3"},
      {"plain grid over capacity",
       "# big\n0 0 0 1 1 1\n1000 0 0 1 1 1\n0 1000 0 1 1 1\n0 0 1 1 1 1\n" +
           [] {
             std::string s;
             for (int k = 1; k < 1000; ++k) s += std::to_string(k) + " 0 0 1 1 1\n";
             for (int k = 1; k < 1000; ++k) s += "0 " + std::to_string(k) + " 0 1 1 1\n";
             return s;
           }(),
       2, 1, "the grid of 1001 x 1001 x 2 nodes needs more than the capacity of 3000000"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Table table;
    TableError error;
    MapContents contents;
    ASSERT_TRUE(read_table(row.text, ReadOptions{}, table, error)) << error.message;
    ASSERT_FALSE(build_map(table, contents, error));
    EXPECT_EQ(error.line, row.line);
    EXPECT_EQ(error.column, row.column);
    EXPECT_NE(error.message.find(row.part), std::string::npos) << error.message;
  }
}

}  // namespace
}  // namespace fieldscan::fieldmap

namespace fieldscan::fieldmap {
namespace {

// Random byte changes to a valid table: every outcome is either a map whose
// values match its counts or an error with a position and a message.
TEST(GridFinderTest, MutatedTablesGiveAMapOrAnErrorWithAPosition) {
  const std::string base =
      "\n 2 2 3\n 1 X [MM]\n 2 Y\n 3 Z\n 4 BX\n 5 BY\n 6 BZ\n 7 BMOD\n 0 [MM]\n"
      "0 0 0 1 2 3 4\n0 0 1 1 2 3 4\n0 0 2 1 2 3 4\n0 1 0 1 2 3 4\n0 1 1 1 2 3 4\n"
      "0 1 2 1 2 3 4\n1 0 0 1 2 3 4\n1 0 1 1 2 3 4\n1 0 2 1 2 3 4\n1 1 0 1 2 3 4\n"
      "1 1 1 1 2 3 4\n1 1 2 1 2 3 4\n";
  const std::string alphabet = " ,\n\r#0123456789-+.eEnaif[]xX";
  std::mt19937 random(2024);
  int maps = 0;
  for (int trial = 0; trial < 5000; ++trial) {
    std::string text = base;
    const int changes = 1 + static_cast<int>(random() % 4);
    for (int c = 0; c < changes; ++c) {
      const std::size_t at = random() % text.size();
      switch (random() % 3) {
        case 0:
          text[at] = alphabet[random() % alphabet.size()];
          break;
        case 1:
          text.erase(at, 1);
          break;
        default:
          text.insert(at, 1, alphabet[random() % alphabet.size()]);
          break;
      }
    }
    Table table;
    TableError error;
    MapContents contents;
    if (read_table(text, ReadOptions{}, table, error) && build_map(table, contents, error)) {
      ++maps;
      ASSERT_GT(contents.nx, 0);
      ASSERT_GT(contents.ny, 0);
      ASSERT_GT(contents.nz, 0);
      ASSERT_EQ(contents.values.size(),
                static_cast<std::size_t>(3 * contents.nx * contents.ny * contents.nz));
      ASSERT_GT(contents.dx, 0.0f);
    } else {
      ASSERT_GE(error.line, 1u) << text;
      ASSERT_GE(error.column, 1u) << text;
      ASSERT_FALSE(error.message.empty());
    }
  }
  EXPECT_GT(maps, 100) << "some mutations (in field values, blanks) still convert";
}

}  // namespace
}  // namespace fieldscan::fieldmap
