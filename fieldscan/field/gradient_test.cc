#include "fieldscan/field/gradient.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "fieldscan/field/gradient_lanes.h"
#include "testsupport/field_maps.h"
#include "testsupport/polar_angles.h"

namespace fieldscan {
namespace {

using testsupport::GridSpec;

constexpr double kG = 0.01;  // 10 T/m in T/mm

// Nodes written over in a map (1-based indices, value_index's): every
// component, or one of them (comp 1..3), set to `value`.
struct Damage {
  int i, j, k, comp;
  float value;
};

struct LinearCase {
  const char* name;
  GridSpec grid;
  testsupport::FieldFormula field;
  double gradient[3][3];            // expected dB_a/dx_b everywhere
  float reach;                      // points are drawn from [-reach, reach] in x and y
  std::vector<Damage> damage = {};  // where there is any, only the batch is checked
  int close_angles = 0;             // points added whose polar angle rounds close to a change
};

// Coordinates of one axis that send a point off the ordinary path of a
// batch: the origin and node planes, the last cell and the last plane,
// beyond it, mirror images, NaN; and around the damaged nodes.
std::vector<float> edge_coordinates(float origin, float step, int nodes,
                                    const std::vector<int>& damaged) {
  const float last = origin + step * static_cast<float>(nodes - 1);
  std::vector<float> at = {origin,
                           origin + step,
                           origin + 2.5f * step,
                           last - 0.5f * step,
                           last,
                           std::nextafter(last, INFINITY),
                           last + 0.5f * step,
                           2 * origin - last,
                           origin - 1.5f * step,
                           NAN};
  for (const int node : damaged) {
    for (const float d : {-1.0f, -0.5f, 0.0f, 0.5f}) at.push_back(origin + step * (node - 1 + d));
  }
  return at;
}

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

// The batch of `map` at the points (every way this processor can run it,
// and through field_gradient's threads) against the one-point gradient, bit
// for bit; the statuses seen are counted in `seen`.
void expect_batch_matches_points(const FieldMap& map, const std::vector<float>& x,
                                 const std::vector<float>& y, const std::vector<float>& z,
                                 int seen[5]) {
  const std::size_t n = x.size();
  const auto& values = map.contents().values;
  std::vector<std::vector<FieldGradient>> g;
  std::vector<std::vector<FieldStatus>> status;
  std::vector<std::string> names;
  for (const GradientVariant& variant : gradient_variants()) {
    g.emplace_back(n), status.emplace_back(n), names.emplace_back(variant.name);
    variant.run(map.grid(), values.data(), static_cast<std::int64_t>(values.size()), n, x.data(),
                y.data(), z.data(), g.back().data(), status.back().data());
  }
  g.emplace_back(n), status.emplace_back(n), names.emplace_back("field_gradient, two threads");
  field_gradient(map, x, y, z, g.back(), status.back(), 2);
  for (std::size_t p = 0; p < n; ++p) {
    FieldGradient one;
    const FieldStatus want = field_gradient(map, x[p], y[p], z[p], one);
    ++seen[static_cast<int>(want)];
    for (std::size_t v = 0; v < g.size(); ++v) {
      SCOPED_TRACE(testing::Message() << names[v] << " at " << x[p] << "," << y[p] << "," << z[p]);
      ASSERT_EQ(status[v][p], want);
      if (want != FieldStatus::kOk) continue;
      for (int a = 0; a < 3; ++a) {
        for (int b = 0; b < 3; ++b) EXPECT_EQ(bits(g[v][p].d[a][b]), bits(one.d[a][b]));
      }
    }
  }
}

// Linear fields, stored whole or as the part their symmetry needs: every
// folded point must get the derivatives of the formula, and a batch the
// bits of one point at a time, at those points and at points that leave
// the batch's vector path (node and last planes, outside, NaN, next to an
// unmeasured, infinite or NaN node).
TEST(GradientTest, LinearFieldsAreExactAtStoredAndFoldedPoints) {
  const auto axial = [](double x, double y, double z) {
    return std::array<float, 3>{static_cast<float>(kG * x), static_cast<float>(kG * y),
                                static_cast<float>(-2 * kG * z)};
  };
  const double quad[3][3] = {{0, kG, 0}, {kG, 0, 0}, {0, 0, 0}};
  const std::vector<Damage> damage = {
      {6, 5, 2, 0, 999999.0f}, {9, 4, 1, 2, NAN}, {4, 11, 3, 3, INFINITY}, {12, 12, 2, 3, 1.0f}};
  const LinearCase cases[] = {
      {"quadrupole, whole plane", {-20, -1, 1, 41}, testsupport::quadrupole(kG), {}, 19.9f},
      {"quadrupole, one quadrant",
       {0, -1, 1, 21, 3, 90, {2, 2, 0}},
       testsupport::quadrupole(kG),
       {},
       19.9f},
      {"quadrupole, 45-degree sector",
       {0, -1, 1, 21, 3, 45, {2, 2, 0}},
       testsupport::quadrupole(kG),
       {},
       14.0f},
      {"axial, full rotation, mirrors",
       {0, 0, 1, 21, 3, 0, {1, 1, 1}},
       axial,
       {{kG, 0, 0}, {0, kG, 0}, {0, 0, -2 * kG}},
       14.0f},
      {"one quadrant, damaged nodes",
       {0, -1, 0.7f, 21, 4, 90, {1, 2, 0}},
       testsupport::quadrupole(kG),
       {},
       13.9f,
       damage},
      {"30-degree sector, damaged nodes",
       {0, -1, 0.7f, 21, 4, 30, {2, 1, 0}},
       testsupport::quadrupole(kG),
       {},
       9.8f,
       damage},
      {"45-degree sector, polar angles close to a rounding",
       {0, -1, 1, 21, 3, 45, {2, 2, 0}},
       testsupport::quadrupole(kG),
       {},
       14.0f,
       {},
       24},
  };
  std::mt19937 rng(7);
  int seen[5] = {};
  for (const LinearCase& c : cases) {
    SCOPED_TRACE(c.name);
    MapContents contents = testsupport::formula_contents(c.grid, c.field);
    std::vector<int> damaged[3];
    for (const Damage& d : c.damage) {
      for (int comp = 1; comp <= 3; ++comp) {
        if (d.comp == 0 || d.comp == comp)
          contents.values[value_index(contents, d.i, d.j, d.k, comp)] = d.value;
      }
      damaged[0].push_back(d.i), damaged[1].push_back(d.j), damaged[2].push_back(d.k);
    }
    FieldMap map;
    MapError error;
    ASSERT_TRUE(FieldMap::from_contents(contents, map, error));
    const bool is_quad = c.gradient[2][2] == 0;
    std::uniform_real_distribution<float> plane(-c.reach, c.reach), height(-0.9f, 0.9f);
    std::vector<float> xs, ys, zs;
    for (int n = 0; n < 300; ++n) {
      const float x = plane(rng), y = plane(rng), z = height(rng);
      xs.push_back(x), ys.push_back(y), zs.push_back(z);
      if (!c.damage.empty()) continue;
      FieldGradient g;
      ASSERT_EQ(field_gradient(map, x, y, z, g), FieldStatus::kOk) << x << " " << y << " " << z;
      for (int a = 0; a < 3; ++a) {
        for (int b = 0; b < 3; ++b) {
          const double want = is_quad ? quad[a][b] : c.gradient[a][b];
          EXPECT_NEAR(g.d[a][b], want, 2e-6)
              << "d" << a << "/d" << b << " at " << x << "," << y << "," << z;
        }
      }
    }
    testsupport::add_close_polar_angles(rng, c.reach, c.close_angles, 0.5f, xs, ys, zs);
    const GridSpec& s = c.grid;
    for (const float x : edge_coordinates(s.origin, s.step, s.n, damaged[0])) {
      for (const float y : edge_coordinates(s.origin, s.step, s.n, damaged[1])) {
        for (const float z : edge_coordinates(s.zmin, s.step, s.nz, damaged[2])) {
          xs.push_back(x), ys.push_back(y), zs.push_back(z);
        }
      }
    }
    expect_batch_matches_points(map, xs, ys, zs, seen);
  }
  for (int status = 0; status < 5; ++status) EXPECT_GT(seen[status], 100) << status;
}

// On any map the gradient is the derivative of the field the evaluation
// gives: central differences of FieldMap::field agree, through every fold.
TEST(GradientTest, MatchesDifferencesOfTheFieldOnCurvedFieldsThroughFolds) {
  const auto curved = [](double x, double y, double z) {
    return std::array<float, 3>{static_cast<float>(std::sin(0.3 * x) + 0.1 * y * z),
                                static_cast<float>(std::cos(0.2 * y) * x),
                                static_cast<float>(0.05 * x * y + z)};
  };
  const GridSpec grids[] = {{0, -2, 1, 9, 5, 90, {1, 2, 0}},
                            {0, 0, 1, 9, 5, 30, {2, 1, 1}},
                            {0, 0, 1, 9, 5, 0, {0, 0, 2}}};
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> coordinate(-7.3f, 7.3f), height(-1.7f, 1.7f);
  for (const GridSpec& grid : grids) {
    SCOPED_TRACE(grid.angle);
    const FieldMap map = testsupport::formula_map(grid, curved);
    const float h = 1e-3f;
    for (int n = 0; n < 200; ++n) {
      const float p[3] = {coordinate(rng), coordinate(rng), height(rng)};
      FieldGradient g;
      if (field_gradient(map, p[0], p[1], p[2], g) != FieldStatus::kOk) continue;
      for (int b = 0; b < 3; ++b) {
        float lo[3] = {p[0], p[1], p[2]}, hi[3] = {p[0], p[1], p[2]};
        lo[b] -= h, hi[b] += h;
        FieldVector bl, bh;
        FieldGradient gl, gh;
        if (map.field(lo[0], lo[1], lo[2], bl) != FieldStatus::kOk) continue;
        if (map.field(hi[0], hi[1], hi[2], bh) != FieldStatus::kOk) continue;
        if (field_gradient(map, lo[0], lo[1], lo[2], gl) != FieldStatus::kOk) continue;
        if (field_gradient(map, hi[0], hi[1], hi[2], gh) != FieldStatus::kOk) continue;
        const double span = static_cast<double>(hi[b]) - lo[b];
        const double diff[3] = {(bh.bx - bl.bx) / span, (bh.by - bl.by) / span,
                                (bh.bz - bl.bz) / span};
        for (int a = 0; a < 3; ++a) {
          // A cell face or fold line between the two points (the slopes
          // there differ) makes the difference a mix of two slopes.
          if (std::fabs(gl.d[a][b] - gh.d[a][b]) > 1e-3) continue;
          EXPECT_NEAR(g.d[a][b], diff[a], 2e-3 + 1e-3 * std::fabs(diff[a]))
              << "dB" << a << "/dx" << b << " at " << p[0] << "," << p[1] << "," << p[2];
        }
      }
    }
  }
}

// The cubic interpolant reproduces a quadratic field, so its derivatives
// are the field's own in every cell: the edge cells (ghost nodes), the cells
// beside a mirror plane (mirror images of nodes) and the node planes.  The
// trilinear gradient is not exact here, so a cubic request answered by the
// linear method fails too.
TEST(GradientTest, CubicIsExactOnQuadraticFieldsInEveryCell) {
  // Bx odd in x, By and Bz even: the symmetry of a mirror plane x = 0 of
  // index 1.
  const auto field = [](double x, double y, double z) {
    return std::array<float, 3>{static_cast<float>(0.02 * x * y + 0.5 * x - 0.01 * x * z),
                                static_cast<float>(0.01 * x * x + 0.03 * y * z - 0.2 * y),
                                static_cast<float>(0.02 * x * x - 0.01 * z * z + 0.1 * y + 0.3)};
  };
  const auto derivative = [](double x, double y, double z) {
    return std::array<std::array<double, 3>, 3>{{{0.02 * y + 0.5 - 0.01 * z, 0.02 * x, -0.01 * x},
                                                 {0.02 * x, 0.03 * z - 0.2, 0.03 * y},
                                                 {0.04 * x, 0.1, -0.02 * z}}};
  };
  for (const int ida : {0, 1}) {
    SCOPED_TRACE(ida == 0 ? "no mirror" : "mirror plane x = 0");
    MapContents c;
    c.xmin = 0, c.ymin = -1, c.zmin = 2;
    c.dx = 0.5f, c.dy = 0.75f, c.dz = 1.25f;
    c.nx = 5, c.ny = 4, c.nz = 4;
    c.ida = ida;
    fill_values(c, field);
    FieldMap map;
    MapError error;
    ASSERT_TRUE(FieldMap::from_contents(c, map, error));
    // A quarter, half and three quarters of every cell, and every node.
    const double origin[3] = {c.xmin, c.ymin, c.zmin}, step[3] = {c.dx, c.dy, c.dz};
    const int nodes[3] = {c.nx, c.ny, c.nz};
    std::vector<double> at[3];
    for (int a = 0; a < 3; ++a) {
      for (int i = 0; i < 4 * (nodes[a] - 1) + 1; ++i) {
        at[a].push_back(origin[a] + step[a] * 0.25 * i);
        if (a == 0 && ida != 0 && i > 0) at[a].push_back(-step[a] * 0.25 * i);
      }
    }
    for (const double x : at[0]) {
      for (const double y : at[1]) {
        for (const double z : at[2]) {
          FieldGradient g;
          ASSERT_EQ(field_gradient(map, static_cast<float>(x), static_cast<float>(y),
                                   static_cast<float>(z), g, Interpolation::kCubic),
                    FieldStatus::kOk);
          const auto want = derivative(x, y, z);
          for (int a = 0; a < 3; ++a) {
            for (int b = 0; b < 3; ++b) {
              EXPECT_NEAR(g.d[a][b], want[a][b], 2e-6)
                  << "d" << a << "/d" << b << " at " << x << "," << y << "," << z;
            }
          }
        }
      }
    }
  }
}

// The derivative reads the nodes across the faces of the point's cell; a
// node plane next to an unmeasured node has a field but no gradient, and
// the last node plane differentiates with the cell below it.
TEST(GradientTest, UnmeasuredNeighboursAndTheLastPlane) {
  MapContents c = testsupport::formula_contents({0, 0, 1, 4, 4}, testsupport::quadrupole(kG));
  for (int comp = 1; comp <= 3; ++comp) c.values[value_index(c, 3, 2, 2, comp)] = 999999.0f;
  FieldMap map;
  MapError error;
  ASSERT_TRUE(FieldMap::from_contents(c, map, error));
  FieldVector b;
  FieldGradient g;
  ASSERT_EQ(map.field(1, 1, 1, b), FieldStatus::kOk);  // node (2, 2, 2): the cell above
  EXPECT_EQ(field_gradient(map, 1, 1, 1, g), FieldStatus::kUnmeasured);
  ASSERT_EQ(field_gradient(map, 3, 3, 3, g), FieldStatus::kOk);  // the last node
  EXPECT_NEAR(g.d[0][1], kG, 1e-7);
  EXPECT_NEAR(g.d[1][0], kG, 1e-7);
  EXPECT_EQ(field_gradient(map, 3.5f, 0, 0, g), FieldStatus::kOutsideX);
}

}  // namespace
}  // namespace fieldscan
