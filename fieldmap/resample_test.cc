#include "fieldscan/query/resample.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <string>

#include "fieldmap/cli_test_run.h"
#include "testsupport/sampled_map.h"
#include "testsupport/temp_dir.h"

namespace fieldscan::fieldmap {
namespace {

using testsupport::sampled_map;
using testsupport::TempDir;

FieldMap make_map(const MapContents& contents) {
  FieldMap map;
  MapError error;
  EXPECT_TRUE(FieldMap::from_contents(contents, map, error)) << error.message;
  return map;
}

ResampleResult resampled(const FieldMap& map, const ResampleRequest& request) {
  ResampleResult r;
  std::string why;
  EXPECT_TRUE(resample(map, request, r, why)) << why;
  return r;
}

// Awkward steps and origin (node positions not exact in binary), a mirror
// plane, and an unmeasured node.
MapContents awkward_map() {
  MapContents m = sampled_map({7, 5, 4}, {0.1f, -0.7f, 2.3f}, {0.3f, 0.7f, 0.11f},
                              [](double x, double y, double z) {
                                return std::array<double, 3>{std::sin(x) * y, x * z - y, 1 / z};
                              });
  m.ida = 1;
  std::fill_n(m.values.begin() + 3 * 17, 3, 999999.0f);
  return m;
}

TEST(Resample, OwnGridAndWholeNodeBoxesGiveTheNodesBitForBit) {
  const MapContents m = awkward_map();
  const FieldMap map = make_map(m);
  for (Interpolation method : {Interpolation::kLinear, Interpolation::kCubic}) {
    SCOPED_TRACE(std::string(interpolation_name(method)));
    ResampleRequest own;
    own.step = {m.dx, m.dy, m.dz};
    own.method = method;
    const ResampleResult r = resampled(map, own);
    EXPECT_FALSE(r.unfolded);
    EXPECT_EQ(r.contents.ida, 1);
    ASSERT_EQ(r.contents.values.size(), m.values.size());
    EXPECT_EQ(std::memcmp(r.contents.values.data(), m.values.data(), 4 * m.values.size()), 0);

    // Nodes 2..5 x 1..3 x 1..2 by their counts.
    ResampleRequest box;
    box.counts = {4, 3, 2};
    box.box = {{{m.xmin + 2.0 * m.dx, m.xmin + 5.0 * m.dx},
                {m.ymin + 1.0 * m.dy, m.ymin + 3.0 * m.dy},
                {m.zmin + 1.0 * m.dz, m.zmin + 2.0 * m.dz}}};
    box.method = method;
    const ResampleResult part = resampled(map, box);
    EXPECT_TRUE(part.unfolded);  // no longer starts on the mirror plane
    for (int k = 0; k < 2; ++k) {
      for (int j = 0; j < 3; ++j) {
        for (int i = 0; i < 4; ++i) {
          for (int c = 0; c < 3; ++c) {
            const float got = part.contents.values[3 * ((k * 3 + j) * 4 + i) + c];
            const float want = m.values[3 * (((k + 1) * 5 + j + 1) * 7 + i + 2) + c];
            EXPECT_EQ(std::bit_cast<std::uint32_t>(got), std::bit_cast<std::uint32_t>(want));
          }
        }
      }
    }
  }
}

TEST(Resample, LinearFieldIsExactAtAnyStep) {
  const auto linear = [](double x, double y, double z) {
    return std::array<double, 3>{2 * x - y + 0.5 * z, 3 + z, x + y};
  };
  const FieldMap map = make_map(sampled_map({6, 5, 7}, {-1, 0, 2}, {0.5f, 0.25f, 1}, linear));
  for (Interpolation method : {Interpolation::kLinear, Interpolation::kCubic}) {
    ResampleRequest r;
    r.step = {0.37, 0.13, 0.71};
    r.method = method;
    const MapContents out = resampled(map, r).contents;
    ASSERT_GT(out.nx * out.ny * out.nz, 100);
    double worst = 0;
    for (int k = 0; k < out.nz; ++k) {
      for (int j = 0; j < out.ny; ++j) {
        for (int i = 0; i < out.nx; ++i) {
          const auto want = linear(out.xmin + double{out.dx} * i, out.ymin + double{out.dy} * j,
                                   out.zmin + double{out.dz} * k);
          for (int c = 0; c < 3; ++c) {
            const double got = out.values[3 * ((k * out.ny + j) * out.nx + i) + c];
            worst = std::max(worst, std::fabs(got - want[c]));
          }
        }
      }
    }
    EXPECT_LT(worst, 4e-6) << interpolation_name(method);
  }
}

// A box reaching across the mirror plane holds the field there explicitly,
// the images with their signs; a sector angle is kept only from its corner.
TEST(Resample, SymmetryIsKeptOrUnfolded) {
  const MapContents m = awkward_map();
  const FieldMap map = make_map(m);
  ResampleRequest across;
  across.counts = {5, 2, 2};
  across.box = {{{m.xmin - 2.0 * m.dx, m.xmin + 2.0 * m.dx}, {-0.7, 0.0}, {2.3, 2.41}}};
  const ResampleResult r = resampled(map, across);
  EXPECT_TRUE(r.unfolded);
  EXPECT_EQ(r.contents.ida, 0);
  EXPECT_NE(resample_summary(r).find("unfolded"), std::string::npos);
  for (int i = 0; i < 2; ++i) {  // node i mirrors node 4 - i about the plane
    const float* image = &r.contents.values[3 * i];
    const float* node = &r.contents.values[3 * (4 - i)];
    EXPECT_FLOAT_EQ(image[0], -node[0]);  // index 1: the normal component reverses
    EXPECT_FLOAT_EQ(image[1], node[1]);
    EXPECT_FLOAT_EQ(image[2], node[2]);
  }
  MapContents sector = sampled_map({4, 4, 2}, {0, 0, 0}, {1, 1, 1}, [](double, double, double) {
    return std::array<double, 3>{0, 0, 1};
  });
  sector.angle = 30;
  const FieldMap sector_map = make_map(sector);
  ResampleRequest corner;
  corner.step = {0.5, 0.5, 1};
  EXPECT_EQ(resampled(sector_map, corner).contents.angle, 30.0f);
  corner.box = {{{1, 3}, {0, 1}, {0, 1}}};
  EXPECT_EQ(resampled(sector_map, corner).contents.angle, 90.0f);
}

TEST(Resample, OutputBeyondCapacityNamesCountsThatFit) {
  const FieldMap map = make_map(awkward_map());
  ResampleRequest r;
  r.counts = {100, 50, 20};
  r.capacity = 30000;
  ResampleResult result;
  std::string why;
  EXPECT_FALSE(resample(map, r, result, why));
  EXPECT_EQ(why,
            "the new grid of 100 x 50 x 20 nodes needs more than the capacity of 30000 values; "
            "counts that fit: 46,23,9");  // 28566 values
}

// A table larger than the console's capacity (150 x 150 x 100 nodes) is
// thinned into a map the console's loader takes; the kept nodes agree.
TEST(Resample, OversizeTableThinsIntoAConsoleMap) {
  TempDir dir;
  {
    std::ofstream table(dir.file("big.csv"));
    table << "x,y,z,bx,by,bz\n";
    std::string row;
    for (int k = 0; k < 100; ++k) {
      for (int j = 0; j < 150; ++j) {
        for (int i = 0; i < 150; ++i) {
          row = std::to_string(i) + "," + std::to_string(j) + "," + std::to_string(k) + "," +
                std::to_string(i - j) + "," + std::to_string(k) + ",1\n";
          table << row;
        }
      }
    }
  }
  const Outcome o = run({"resample", dir.file("big.csv"), dir.file("thin.map"), "--step", "3"});
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, dir.file("thin.map") +
                       ": 50 x 50 x 34 nodes, 85000 measured, 0 unmeasured; "
                       "no symmetry\n");
  FieldMap thin;
  MapError error;
  ASSERT_TRUE(FieldMap::load(dir.file("thin.map"), thin, error, MXS)) << error.message;
  for (const auto& n : {std::array<int, 3>{0, 0, 0}, {49, 0, 33}, {17, 42, 5}, {49, 49, 33}}) {
    FieldVector b;
    ASSERT_EQ(thin.field(3.0f * n[0], 3.0f * n[1], 3.0f * n[2], b), FieldStatus::kOk);
    EXPECT_EQ(b.bx, 3.0f * (n[0] - n[1]));
    EXPECT_EQ(b.by, 3.0f * n[2]);
    EXPECT_EQ(b.bz, 1.0f);
  }
}

}  // namespace
}  // namespace fieldscan::fieldmap
