// The polar angle of the sector fold in lanes against the C library, and
// the test that decides when its rounding may stand.
#include "fieldscan/field/sector_lanes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <random>

#ifdef FIELDSCAN_LANES

namespace fieldscan::lanes {
namespace {

// The worst deviations from the C library, over points whose polar angles
// range from tiny to nearly pi/2 and include the diagonal, stay within the
// accuracy the callers' bounds are built on (with room for the C library's
// own unit in the last place).
TEST(SectorLanesTest, PolarAngleWithinItsStatedAccuracy) {
  std::mt19937 rng(20261209);
  std::uniform_real_distribution<double> scale(-60.0, 60.0);
  double atan = 0, polar = 0;
  for (int n = 0; n < 100000; ++n) {
    Floats u, v;
    for (std::size_t l = 0; l < kLanes; ++l) {
      u[l] = static_cast<float>(std::exp2(scale(rng)));
      v[l] = n % 16 == 0 ? u[l] : static_cast<float>(std::exp2(scale(rng) / (1 + l)));
    }
    const Doubles a = atan2_quadrant(v, u);
    const Floats theta = narrow(a);
    Doubles ct, st, r;
    polar_cos_sin(u, v, theta, a, ct, st, r);
    for (std::size_t l = 0; l < kLanes; ++l) {
      const double exact = std::atan2(double{v[l]}, double{u[l]});
      atan = std::max(atan, std::fabs(a[l] - exact) / exact);
      polar = std::max({polar, std::fabs(ct[l] - std::cos(double{theta[l]})),
                        std::fabs(st[l] - std::sin(double{theta[l]}))});
    }
  }
  EXPECT_LE(atan, 0x1p-47);
  EXPECT_LE(polar, 0x1p-46);
  EXPECT_EQ(atan2_quadrant(splat(0.0f), splat(0.0f))[0], 0.0);
}

TEST(SectorLanesTest, RoundsSurelyOnlyAwayFromRoundingPoints) {
  const double midpoint = 1.0 + 0x1p-24;  // halfway between two floats
  const struct {
    double y, bound;
    bool sure;
  } rows[] = {
      {1.0, 0x1p-30, true},
      {midpoint, 0x1p-40, false},
      {midpoint + 0x1p-36, 0x1p-40, true},
      {midpoint - 0x1p-36, 0x1p-35, false},
      {0.0, 0.0, true},
      {-3.5, 0x1p-40, true},
      {NAN, 0.0, false},
      {static_cast<double>(FLT_MAX) * 2, 0x1p-40, true},  // both ends overflow alike
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.y);
    EXPECT_EQ(rounds_surely(splat(row.y), splat(row.bound))[0] != 0, row.sure);
  }
}

}  // namespace
}  // namespace fieldscan::lanes

#endif
