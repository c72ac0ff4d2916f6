#include "fieldscan/field/cubic.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "fieldscan/field/field_map.h"
#include "fieldscan/mapfile/node.h"
#include "testsupport/polar_angles.h"
#include "testsupport/sampled_map.h"

namespace fieldscan {
namespace {

using testsupport::FieldFormula;
using testsupport::sampled_map;

FieldMap make_map(const MapContents& contents) {
  FieldMap map;
  MapError error;
  EXPECT_TRUE(FieldMap::from_contents(contents, map, error)) << error.message;
  return map;
}

// Points at a quarter, half and three quarters of every cell along each
// axis (first and last cells included), and on every node.
std::vector<std::array<double, 3>> cell_points(const MapContents& m) {
  const std::int32_t n[3] = {m.nx, m.ny, m.nz};
  const double o[3] = {m.xmin, m.ymin, m.zmin}, d[3] = {m.dx, m.dy, m.dz};
  std::vector<double> at[3];
  for (int a = 0; a < 3; ++a) {
    for (std::int32_t i = 0; i + 1 < n[a]; ++i) {
      for (double t : {0.0, 0.25, 0.5, 0.75}) at[a].push_back(o[a] + d[a] * (i + t));
    }
    at[a].push_back(o[a] + d[a] * (n[a] - 1));
  }
  std::vector<std::array<double, 3>> points;
  for (double z : at[2]) {
    for (double y : at[1]) {
      for (double x : at[0]) points.push_back({x, y, z});
    }
  }
  return points;
}

// The largest difference between the field and the formula (rounded to
// single precision) over `points`; every point must evaluate.
double worst_error(const FieldMap& map, const FieldFormula& f,
                   const std::vector<std::array<double, 3>>& points, Interpolation method) {
  double worst = 0;
  for (const auto& p : points) {
    FieldVector b;
    const FieldStatus s = map.field(static_cast<float>(p[0]), static_cast<float>(p[1]),
                                    static_cast<float>(p[2]), b, method);
    EXPECT_EQ(s, FieldStatus::kOk) << p[0] << " " << p[1] << " " << p[2];
    const auto want = f(p[0], p[1], p[2]);
    const double got[3] = {b.bx, b.by, b.bz};
    for (int c = 0; c < 3; ++c) {
      worst = std::max(worst, std::fabs(got[c] - static_cast<float>(want[c])));
    }
  }
  return worst;
}

TEST(Cubic, UniformFieldIsExactInEveryCell) {
  const FieldFormula uniform = [](double, double, double) {
    return std::array<double, 3>{1.0, -0.3, 2.5};
  };
  for (auto counts : {std::array<std::int32_t, 3>{2, 3, 2}, std::array<std::int32_t, 3>{6, 4, 5}}) {
    SCOPED_TRACE(std::to_string(counts[0]) + " x " + std::to_string(counts[1]) + " x " +
                 std::to_string(counts[2]));
    const FieldMap map = make_map(sampled_map(counts, {-1, 2, 0.5f}, {0.5f, 1.25f, 2}, uniform));
    EXPECT_EQ(worst_error(map, uniform, cell_points(map.contents()), Interpolation::kCubic), 0.0);
  }
}

// Quadratics in each coordinate (products included), the edge cells too,
// with and without the mirror planes whose images they respect.
TEST(Cubic, QuadraticFieldsAreReproducedToRounding) {
  struct Row {
    const char* name;
    std::int32_t ida, idb, idc;
    FieldFormula f;
  };
  const Row rows[] = {
      {"no mirror", 0, 0, 0,
       [](double x, double y, double z) {
         return std::array<double, 3>{x * x - 2 * y * z + 3, x * y * z + y * y, 0.5 * z * z - x};
       }},
      // Index 1 reverses the normal component: Bx odd, By and Bz even in x.
      {"mirror x, index 1", 1, 0, 0,
       [](double x, double y, double z) {
         return std::array<double, 3>{2 * x * y, x * x + z, 1 - x * x * z};
       }},
      // Index 2 reverses the parallel components: By, Bz odd in x.
      {"mirror x, index 2", 2, 0, 0,
       [](double x, double y, double z) {
         return std::array<double, 3>{x * x + y, x * z, -3 * x};
       }},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    MapContents m = sampled_map({5, 4, 4}, {0, -1, 1}, {0.5f, 0.75f, 1.5f}, row.f);
    m.ida = row.ida, m.idb = row.idb, m.idc = row.idc;
    const FieldMap map = make_map(m);
    std::vector<std::array<double, 3>> points = cell_points(m);
    if (row.ida != 0) {  // the mirrored side as well
      for (std::size_t n = 0, count = points.size(); n < count; ++n) {
        points.push_back({-points[n][0], points[n][1], points[n][2]});
      }
    }
    EXPECT_LT(worst_error(map, row.f, points, Interpolation::kCubic), 2e-5);
  }
}

// The field of a straight line current (direction d through p0), 1/r
// around it: smooth across the map, which lies well away from it.
std::array<double, 3> line_current(double x, double y, double z) {
  const double d[3] = {0.6, 0.0, 0.8}, p0[3] = {-12, -15, 0};
  const double r[3] = {x - p0[0], y - p0[1], z - p0[2]};
  const double along = r[0] * d[0] + r[1] * d[1] + r[2] * d[2];
  const double perp[3] = {r[0] - along * d[0], r[1] - along * d[1], r[2] - along * d[2]};
  const double r2 = perp[0] * perp[0] + perp[1] * perp[1] + perp[2] * perp[2];
  return {(d[1] * perp[2] - d[2] * perp[1]) / r2 * 100,
          (d[2] * perp[0] - d[0] * perp[2]) / r2 * 100,
          (d[0] * perp[1] - d[1] * perp[0]) / r2 * 100};
}

TEST(Cubic, SmoothFieldAtCellCentresBeatsTrilinearTenfold) {
  const MapContents m = sampled_map({9, 7, 8}, {0, 0, 0}, {0.4f, 0.65f, 0.3f}, line_current);
  const FieldMap map = make_map(m);
  std::vector<std::array<double, 3>> centres;
  for (int k = 0; k + 1 < m.nz; ++k) {
    for (int j = 0; j + 1 < m.ny; ++j) {
      for (int i = 0; i + 1 < m.nx; ++i) {
        centres.push_back({m.dx * (i + 0.5), m.dy * (j + 0.5), m.dz * (k + 0.5)});
      }
    }
  }
  const double linear = worst_error(map, line_current, centres, Interpolation::kLinear);
  const double cubic = worst_error(map, line_current, centres, Interpolation::kCubic);
  RecordProperty("error_ratio", std::to_string(cubic / linear));
  std::printf("cell centres: trilinear %.3g, cubic %.3g, ratio %.3g\n", linear, cubic,
              cubic / linear);
  EXPECT_LE(cubic, linear / 10);
}

TEST(Cubic, StencilNodesDecideMeasuredAndHeld) {
  MapContents m = sampled_map({6, 4, 4}, {0, 0, 0}, {1, 1, 1}, [](double x, double, double) {
    return std::array<double, 3>{x, 0, 1};
  });
  const std::size_t unmeasured = 3 * (5 + 6 * (1 + 4 * 1));  // node (5, 1, 1)
  std::fill_n(m.values.begin() + unmeasured, 3, 999999.0f);
  const FieldMap map = make_map(m);
  struct Row {
    float x;
    FieldStatus linear, cubic;
  } rows[] = {
      {3.5f, FieldStatus::kOk, FieldStatus::kUnmeasured},  // node 5 in the stencil only
      {2.5f, FieldStatus::kOk, FieldStatus::kOk},          // stencil 1..4
      {4.0f, FieldStatus::kOk, FieldStatus::kOk},          // on a node: that node alone
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.x);
    FieldVector b;
    EXPECT_EQ(map.field(row.x, 1.5f, 1.5f, b, Interpolation::kLinear), row.linear);
    EXPECT_EQ(map.field(row.x, 1.5f, 1.5f, b, Interpolation::kCubic), row.cubic);
  }
  // Only the planes the capacity holds are read: with two of four z planes
  // held, the last held cell evaluates from them alone (2 planes: a line).
  std::vector<float> held(m.values.begin(), m.values.begin() + 3 * 6 * 4 * 2);
  float b[3];
  EXPECT_EQ(evaluate_cubic(map.grid(), held.data(), static_cast<std::int64_t>(held.size()), 2.5f,
                           1.5f, 0.5f, b),
            FieldStatus::kOk);
  EXPECT_FLOAT_EQ(b[0], 2.5f);
  EXPECT_EQ(evaluate_cubic(map.grid(), held.data(), static_cast<std::int64_t>(held.size()), 2.5f,
                           1.5f, 1.5f, b),
            FieldStatus::kOutsideZ);
}

// The batch against the one-point evaluation, bit for bit, on points along
// lines in x (cells shared by neighbours) that cross every kind of cell:
// interior stencils, edge cells and node planes, both sides of mirror
// planes, sector folds (and polar angles rounding close to a change, which
// the vector fold leaves to the one-point fold), points outside, and
// stencils holding an unmeasured node, a node above the unmeasured limit in
// two components only (measured), a node with a NaN component and one of -0
// values.
TEST(Cubic, BatchGivesTheOnePointBits) {
  struct Row {
    const char* name;
    std::int32_t mirror;
    float angle;
    std::int32_t held_planes;  // of 6
    int close_angles;          // points whose polar angle rounds close to a change
  } rows[] = {
      {"plain", 0, 90, 6, 0},
      {"mirror planes, index 1", 1, 90, 6, 0},
      {"mirror planes, index 2", 2, 90, 6, 0},
      {"30-degree sector", 0, 30, 6, 0},
      {"30-degree sector, angles close to a rounding change", 1, 30, 6, 40},
      {"four planes held", 1, 90, 4, 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    MapContents m = sampled_map({9, 8, 6}, {0, 0, 0}, {0.5f, 0.75f, 1}, line_current);
    m.ida = m.idb = m.idc = row.mirror;
    m.angle = row.angle;
    const auto node = [&](int i, int j, int k) {
      return m.values.begin() + 3 * (i + 9 * (j + 8 * k));
    };
    std::fill_n(node(4, 3, 2), 3, kUnmeasuredMark);
    std::fill_n(node(6, 5, 3), 2, kUnmeasuredMark);
    *node(2, 5, 3) = NAN;
    std::fill_n(node(6, 2, 3), 3, -0.0f);  // on it, only a sum of that node alone stays -0
    const FieldMap map = make_map(m);
    std::vector<float> x, y, z;
    for (float w : {-2.7f, -0.4f, 0.0f, 0.6f, 2.0f, 2.35f, 3.3f, 5.0f, 5.6f}) {
      for (float v : {-5.9f, -1.0f, 0.0f, 0.3f, 2.25f, 2.6f, 3.9f, 5.25f, 6.0f}) {
        for (float u = -4.6f; u < 4.6f; u += 0.15f) x.push_back(u), y.push_back(v), z.push_back(w);
      }
    }
    for (float u = 0.5f; u < 4; u += 0.5f) x.push_back(u), y.push_back(1.5f), z.push_back(3.0f);
    std::mt19937 rng(7);
    testsupport::add_close_polar_angles(rng, 2.8f, row.close_angles, 2.35f, x, y, z);
    const std::size_t n = x.size(), held = std::size_t{3} * 9 * 8 * row.held_planes;
    std::vector<float> one(3 * n);
    std::vector<FieldStatus> want(n);
    for (std::size_t p = 0; p < n; ++p) {
      want[p] = evaluate_cubic(map.grid(), m.values.data(), held, x[p], y[p], z[p], &one[3 * p]);
    }
    for (const BatchVariant& variant : cubic_batch_variants()) {
      SCOPED_TRACE(variant.name);
      std::vector<FieldVector> b(n);
      std::vector<FieldStatus> status(n);
      variant.run(map.grid(), m.values.data(), held, n, x.data(), y.data(), z.data(), b.data(),
                  status.data());
      for (std::size_t p = 0; p < n; ++p) {
        ASSERT_EQ(status[p], want[p]) << x[p] << " " << y[p] << " " << z[p];
        if (want[p] == FieldStatus::kOk) {
          EXPECT_EQ(std::memcmp(&b[p], &one[3 * p], sizeof b[p]), 0)
              << x[p] << " " << y[p] << " " << z[p];
        }
      }
    }
    // The points reach the interior and the unmeasured node.
    const auto count = [&](FieldStatus s) { return std::count(want.begin(), want.end(), s); };
    EXPECT_GT(count(FieldStatus::kOk), 500);
    EXPECT_GT(count(FieldStatus::kUnmeasured), 0);
  }
}

// Inside the grid the one-point evaluation takes a shortcut past the edge
// rules; it must form the very sum of the general stencils.
TEST(Cubic, InteriorShortcutFormsTheGeneralSum) {
  const MapContents m = sampled_map({7, 6, 6}, {0, 0, 0}, {0.5f, 0.75f, 1}, line_current);
  const FieldMap map = make_map(m);
  const GridSize& grid = map.grid();
  const std::int64_t held = static_cast<std::int64_t>(m.values.size());
  const std::int64_t nodes[3] = {7, 6, 6};
  int interior = 0;
  for (const auto& p : cell_points(m)) {
    Fold fold;
    AxisCell cell[3];
    ASSERT_EQ(fold_point(grid, static_cast<float>(p[0]), static_cast<float>(p[1]),
                         static_cast<float>(p[2]), fold),
              FieldStatus::kOk);
    ASSERT_EQ(locate_cell(grid, held, fold, cell[0], cell[1], cell[2]), FieldStatus::kOk);
    CubicAxis axis[3];
    for (int a = 0; a < 3; ++a) {
      double kernel[4];
      keys_weights(cell[a].frac, kernel);
      cubic_axis(cell[a], nodes[a], 0, a, kernel, axis[a]);
      interior += axis[a].count == 4 && axis[a].first >= 0 && axis[a].first + 4 <= nodes[a];
    }
    float shortcut[3], general[3];
    ASSERT_EQ(interpolate_cells(Interpolation::kCubic, grid, m.values.data(), held, cell, shortcut),
              FieldStatus::kOk);
    ASSERT_EQ(cubic_sum(grid, m.values.data(), axis[0], axis[1], axis[2], general),
              FieldStatus::kOk);
    EXPECT_EQ(std::memcmp(shortcut, general, sizeof general), 0)
        << p[0] << " " << p[1] << " " << p[2];
  }
  EXPECT_GT(interior, 0);
}

}  // namespace
}  // namespace fieldscan
