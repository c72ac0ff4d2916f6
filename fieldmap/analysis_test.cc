// Multipoles, the quality report and the gradient columns of sample, on maps
// of fields given by formulas: what each test expects follows from the
// formula, never from an earlier run.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "fieldmap/cli_test_run.h"
#include "fieldscan/query/harmonics.h"
#include "fieldscan/query/map_check.h"
#include "testsupport/field_maps.h"
#include "testsupport/temp_dir.h"

namespace fieldscan::fieldmap {
namespace {

using testsupport::formula_contents;
using testsupport::formula_map;
using testsupport::GridSpec;
using testsupport::TempDir;

constexpr double kG = 0.01;  // 10 T/m in T/mm
const GridSpec kWhole{-20, -1, 1, 41};
const GridSpec kQuadrant{0, -1, 1, 21, 3, 90, {2, 2, 0}};

struct HarmonicsCase {
  const char* name;
  GridSpec grid;
  testsupport::FieldFormula field;
  double center_u;
  Numbering numbering;
  // B_n + i A_n of the first three orders, from the formula.
  double B[3], A[3];
  int main;
  bool skew;
};

// Each case by both interpolations: both reproduce these linear fields.
template <std::size_t N>
std::vector<std::pair<HarmonicsCase, Interpolation>> cases_by_method(
    const HarmonicsCase (&cases)[N]) {
  std::vector<std::pair<HarmonicsCase, Interpolation>> out;
  for (const HarmonicsCase& c : cases) {
    for (const Interpolation m : {Interpolation::kLinear, Interpolation::kCubic}) {
      out.emplace_back(c, m);
    }
  }
  return out;
}

TEST(HarmonicsTest, QuadrupoleFeedDownAndSkewFromTheFormula) {
  const double gr = kG * 10;  // G R
  const HarmonicsCase cases[] = {
      {"quadrupole",
       kWhole,
       testsupport::quadrupole(kG),
       0,
       Numbering::kEuropean,
       {0, gr, 0},
       {0, 0, 0},
       2,
       false},
      {"quadrupole, one quadrant stored",
       kQuadrant,
       testsupport::quadrupole(kG),
       0,
       Numbering::kEuropean,
       {0, gr, 0},
       {0, 0, 0},
       2,
       false},
      // Centred at (1 mm, 0): G (w0 + R e^it), so B_1 = G x 1 mm.
      {"feed-down",
       kWhole,
       testsupport::quadrupole(kG),
       1,
       Numbering::kEuropean,
       {kG * 1, gr, 0},
       {0, 0, 0},
       2,
       false},
      // B_y + i B_x = G (y - i x) = -i G w: A_2 = -G R.
      {"skew quadrupole",
       kWhole,
       testsupport::skew_quadrupole(kG),
       0,
       Numbering::kEuropean,
       {0, 0, 0},
       {0, -gr, 0},
       2,
       true},
      {"quadrupole, US numbering",
       kWhole,
       testsupport::quadrupole(kG),
       0,
       Numbering::kUs,
       {0, gr, 0},
       {0, 0, 0},
       1,
       false},
  };
  for (const auto& [c, method] : cases_by_method(cases)) {
    SCOPED_TRACE(std::string(c.name) + ", " + std::string(interpolation_name(method)));
    HarmonicsOptions o;
    o.radius = 10;
    o.center[0] = c.center_u;
    o.numbering = c.numbering;
    o.method = method;
    ASSERT_EQ(harmonics_problem(o), "");
    const Harmonics h = compute_harmonics(formula_map(c.grid, c.field), o);
    ASSERT_FALSE(h.stopped);
    ASSERT_EQ(h.n.size(), 15u);
    EXPECT_EQ(h.n[0], c.numbering == Numbering::kUs ? 0 : 1);
    EXPECT_EQ(h.main, c.main);
    EXPECT_EQ(h.skew, c.skew);
    for (std::size_t m = 0; m < h.n.size(); ++m) {
      EXPECT_NEAR(h.B[m], m < 3 ? c.B[m] : 0.0, 1e-6) << "B of order " << h.n[m];
      EXPECT_NEAR(h.A[m], m < 3 ? c.A[m] : 0.0, 1e-6) << "A of order " << h.n[m];
    }
    // The main harmonic is 10000 units of itself.
    EXPECT_NEAR(c.skew ? h.a[1] : h.b[1], 1e4, 1e-2);
  }
}

// A quadrupole constant along z, integrated over its 2 mm: 2 mm x G R.
TEST(HarmonicsTest, IntegratedAlongTheAxis) {
  HarmonicsOptions o;
  o.radius = 10;
  o.along = true;
  o.from = -1, o.to = 1;
  const Harmonics h = compute_harmonics(formula_map(kWhole, testsupport::quadrupole(kG)), o);
  ASSERT_FALSE(h.stopped);
  EXPECT_EQ(h.slices, 9);  // the integral's default: a quarter of the 1 mm step
  EXPECT_NEAR(h.B[1], 2 * kG * 10, 1e-6);
  EXPECT_NEAR(h.B[0], 0, 1e-7);
}

struct CheckCase {
  const char* name;
  MapContents contents;
  double divergence, curl;  // expected at every interior node
  bool passed;
};

TEST(MapCheckTest, DivergenceAndCurlOfLinearFields) {
  const double k = 0.5;
  const GridSpec g{0, 0, 1, 6, 5};
  const CheckCase cases[] = {
      {"B = (k x, 0, 0)",
       formula_contents(g,
                        [k](double x, double, double) {
                          return std::array<float, 3>{static_cast<float>(k * x), 0, 0};
                        }),
       k, 0, false},
      {"B = k (-y, x, 0)",
       formula_contents(
           g,
           [k](double x, double y, double) {
             return std::array<float, 3>{static_cast<float>(-k * y), static_cast<float>(k * x), 0};
           }),
       0, 2 * k, false},
      {"quadrupole", formula_contents(g, testsupport::quadrupole(k)), 0, 0, true},
  };
  for (const CheckCase& c : cases) {
    SCOPED_TRACE(c.name);
    FieldMap map;
    MapError error;
    ASSERT_TRUE(FieldMap::from_contents(c.contents, map, error));
    const MapCheck r = check_map(map, CheckLimits{});
    EXPECT_EQ(r.interior, 4 * 4 * 3);
    EXPECT_EQ(r.checked, r.interior);
    EXPECT_EQ(r.divergence.max, c.divergence);
    EXPECT_EQ(r.divergence.rms, c.divergence);  // the same at every node
    EXPECT_EQ(r.curl.max, c.curl);
    EXPECT_EQ(r.curl.rms, c.curl);
    EXPECT_EQ(r.passed, c.passed);
  }
}

// A field of a harmonic potential with measurement noise of 1e-4 of its
// largest value: what a good measured map looks like (21 x 21 x 11 nodes).
MapContents measured_map() {
  const double k = 2 * M_PI / 40, s = std::sqrt(2.0);
  std::mt19937 rng(5);
  std::uniform_real_distribution<double> noise(-1e-4, 1e-4);
  MapContents c = formula_contents({-10, -5, 1, 21, 11}, [&](double x, double y, double z) {
    const double e = std::exp(s * k * z) * 0.3;
    const double b[3] = {-std::sin(k * x) * std::cos(k * y) * e,
                         1 - std::cos(k * x) * std::sin(k * y) * e,
                         s * std::cos(k * x) * std::cos(k * y) * e};
    std::array<float, 3> out;
    for (int a = 0; a < 3; ++a) out[a] = static_cast<float>(b[a] + 1.5 * noise(rng));
    return out;
  });
  return c;
}

TEST(MapCheckTest, SmoothMeasuredMapPassesAndATransposedLoopOrderFails) {
  // The values of 21 x 21 x 11 nodes read as 11 x 21 x 21: x fastest where
  // the file has z fastest.
  const MapContents smooth = measured_map();
  MapContents transposed = smooth;
  std::swap(transposed.nx, transposed.nz);
  FieldMap good, bad;
  MapError error;
  ASSERT_TRUE(FieldMap::from_contents(smooth, good, error));
  ASSERT_TRUE(FieldMap::from_contents(transposed, bad, error));
  const MapCheck g = check_map(good, CheckLimits{});
  const MapCheck b = check_map(bad, CheckLimits{});
  EXPECT_TRUE(g.passed) << g.divergence.relative << " " << g.curl.relative;
  EXPECT_FALSE(b.passed);
  EXPECT_GT(b.divergence.relative, 1e-1);
  EXPECT_GT(b.curl.relative, 1e-1);
}

TEST(MapCheckTest, MirrorPlanesAndUnmeasuredNodes) {
  struct Row {
    const char* name;
    std::array<int, 3> reflection;
    bool passed;
  };
  // The quadrupole's x = 0 plane holds only B_x = G y (parallel to it) and
  // its y = 0 plane only B_y = G x: indices 2, 2 fit, 1, 1 do not.
  const Row rows[] = {{"parallel", {2, 2, 0}, true}, {"normal", {1, 1, 0}, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    GridSpec g = kQuadrant;
    g.reflection = row.reflection;
    MapContents c = formula_contents(g, testsupport::quadrupole(kG));
    for (const auto& node : {std::array<int, 3>{20, 3, 1}, {18, 5, 2}}) {
      for (int comp = 1; comp <= 3; ++comp) {
        c.values[value_index(c, node[0], node[1], node[2], comp)] = 999999.0f;
      }
    }
    FieldMap map;
    MapError error;
    ASSERT_TRUE(FieldMap::from_contents(c, map, error));
    const MapCheck r = check_map(map, CheckLimits{});
    ASSERT_EQ(r.planes.size(), 2u);
    EXPECT_EQ(r.passed, row.passed);
    EXPECT_EQ(r.planes[0].nodes, 21 * 3);
    // B_x = G y on x = 0, largest at y = 20: relative to |B|max = G 20 sqrt 2.
    const float normal = static_cast<float>(1 / std::sqrt(2.0));
    EXPECT_NEAR(r.planes[0].relative, row.passed ? 0 : normal, 1e-6);
    EXPECT_EQ(r.unmeasured, 2);
    EXPECT_EQ(r.box_low, (NodeIndex{18, 3, 1}));
    EXPECT_EQ(r.box_high, (NodeIndex{20, 5, 2}));
  }
}

TEST(AnalysisCliTest, StatusesAndOutputs) {
  TempDir dir;
  const std::string quad = dir.file("quad.map");
  ASSERT_TRUE(write_map_file(quad, formula_contents(kWhole, testsupport::quadrupole(kG))));
  MapContents scrambled = measured_map();
  std::swap(scrambled.nx, scrambled.nz);
  const std::string bad = dir.file("bad.map");
  ASSERT_TRUE(write_map_file(bad, scrambled));
  struct Row {
    std::vector<std::string> args;
    int status;
    std::string out_starts, err_has;
  };
  const Row rows[] = {
      {{"harmonics", quad, "--radius", "10", "--format", "csv", "--order", "2"},
       0,
       "n,B,A,b,a\n1,",
       ""},
      {{"harmonics", quad, "--radius", "0"}, 2, "", "radius"},
      {{"harmonics", quad, "--radius", "5", "--order", "32"}, 2, "", "order"},
      {{"harmonics", quad, "--radius", "5", "--at", "2"}, 1, "", "outside Z-limits"},
      {{"harmonics", quad, "--radius", "30"}, 1, "", "cannot be evaluated"},
      {{"check", quad}, 0, "Units:", ""},
      {{"check", bad, "--format", "json"}, 1, "{\"divergence\":{\"max\":", ""},
      {{"check", bad, "--max-divergence", "1e9", "--max-curl", "1e9"}, 0, "Units:", ""},
      {{"check", dir.file("none.map")}, 2, "", "none.map"},
      {{"sample", quad, "--line", "3,4,0:3,4,0.5", "--points", "2", "--gradient"},
       0,
       "x,y,z,bx,by,bz,b,dbx_dx,dbx_dy,dbx_dz,dby_dx,dby_dy,dby_dz,dbz_dx,dbz_dy,dbz_dz,status\n"
       "3,4,0,0.04,0.03,0,",
       ""},
      {{"sample", quad, "--line", "3,4,0:3,4,0.5", "--points", "2", "--gradient", "--interpolation",
        "cubic"},
       0,
       "x,y,z,bx,by,bz,b,dbx_dx,dbx_dy,dbx_dz,dby_dx,dby_dy,dby_dz,dbz_dx,dbz_dy,dbz_dz,status\n"
       "3,4,0,0.04,0.03,0,",
       ""},
      {{"harmonics", quad, "--radius", "5", "--interpolation", "quintic"}, 2, "", "quintic"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.args[0] + " " + row.args.back());
    const Outcome r = run(row.args);
    EXPECT_EQ(r.status, row.status) << r.err;
    EXPECT_EQ(r.out.substr(0, row.out_starts.size()), row.out_starts);
    EXPECT_NE(r.err.find(row.err_has), std::string::npos) << r.err;
  }
}

}  // namespace
}  // namespace fieldscan::fieldmap
