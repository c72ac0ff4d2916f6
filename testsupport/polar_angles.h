// Points whose polar angle rounds to single precision close to where the
// rounding changes: there the vector fold of a batch cannot be sure of its
// result and hands the point to the one-point fold, which a test then
// compares with the batch's own.
#pragma once

#include <cmath>
#include <random>
#include <vector>

namespace fieldscan::testsupport {

// Adds points (x, y, z) with x and y drawn from [-reach, reach] until
// `count` of them have |atan2(y, x)| within 2^-41 (relatively) of a change
// of its single-precision rounding.  Each such point starts a group of four
// points in the lists, the others of the group drawn freely, so that the
// points left to the one-point fold sit among points the lanes fold.
inline void add_close_polar_angles(std::mt19937& rng, float reach, int count, float z,
                                   std::vector<float>& xs, std::vector<float>& ys,
                                   std::vector<float>& zs) {
  std::uniform_real_distribution<float> plane(-reach, reach);
  for (int close_ones = 0; close_ones < count;) {
    const float x = plane(rng), y = plane(rng);
    const double theta = std::atan2(std::fabs(double{y}), std::fabs(double{x}));
    const bool close =
        static_cast<float>(theta * (1 - 0x1p-41)) != static_cast<float>(theta * (1 + 0x1p-41));
    if (!close && xs.size() % 4 == 0) continue;
    close_ones += close ? 1 : 0;
    xs.push_back(x), ys.push_back(y), zs.push_back(z);
  }
}

}  // namespace fieldscan::testsupport
