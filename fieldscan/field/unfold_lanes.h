// The sector unfold of a batch's interpolated fields in vector lanes: each
// field turned back from the folded point to the raw one and given the
// mirror signs, four points at a time, where the lanes are sure that the
// result rounds as unfold_field() (evaluate.h) rounds it; the other points
// keep their interpolated fields for unfold_field() itself.  The field
// batch (batch.cc) and the tricubic batch (cubic_batch.cc) unfold here,
// with the folds that fold_lanes.h kept for each block.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fieldscan/field/fold_lanes.h"
#include "fieldscan/field/lanes.h"
#include "fieldscan/field/locate_lanes.h"
#include "fieldscan/field/sector_lanes.h"

#ifdef FIELDSCAN_LANES

namespace fieldscan::lanes {

// The bound of the unfold's products ct * br - st * bp and st * br + ct * bp
// against the C library's, relative to |br| + |bp| and to the result: the
// cos and sin of theta of polar_cos_sin() within 2^-45 of it, and three
// roundings of the sums.
constexpr double kProductBound = 0x1p-42;

// The sector unfold of four interpolated fields v[0..3) in lanes: the
// results, and the lanes where they are sure to round as the C library's
// would.
FIELDSCAN_INLINE Ints turn_back(const SectorFolds& f, std::size_t m, Floats v[3]) {
  const Doubles c = widen(load<Floats>(f.cphi + m)), sn = widen(load<Floats>(f.sphi + m));
  const Doubles b0 = widen(v[0]), b1 = widen(v[1]);
  Floats br = narrow(sn * b1 + c * b0), bp = narrow(c * b1 - sn * b0);
  br = select(load<Ints>(f.odd_t + m), -br, br);
  bp = select(load<Ints>(f.odd_n + m), -bp, bp);
  const Doubles ct = load<Doubles>(f.ct + m), st = load<Doubles>(f.st + m);
  const Doubles r = widen(br), q = widen(bp);
  const Doubles y0 = ct * r - st * q, y1 = st * r + ct * q;
  const Doubles spread = (magnitude(r) + magnitude(q)) * splat(kProductBound);
  const Ints turned = load<Ints>(f.turned + m);
  v[0] = select(turned, narrow(y0), v[0]), v[1] = select(turned, narrow(y1), v[1]);
  return rounds_surely(y0, spread + magnitude(y0) * splat(kProductBound)) &
         rounds_surely(y1, spread + magnitude(y1) * splat(kProductBound)) &
         ~load<Ints>(f.scalar + m);
}

// The sector unfold and the mirror signs of the four interpolated fields
// v[0..3) of points m to m + 3 of a block, where each result is sure to
// round as the C library's would; the other lanes keep their interpolated
// fields and are marked in `left` for unfold_field().
FIELDSCAN_INLINE void unfold_group(const Plan& p, const SectorFolds& f, std::size_t m,
                                   const float* x, const float* y, const float* z, Floats v[3],
                                   std::int32_t* left) {
  const Floats in[3] = {v[0], v[1], v[2]};
  const Ints sure = turn_back(f, m, v) | ~load<Ints>(f.turned + m);
  const SectorPlan& s = p.fold;
  const Ints below_x = load<Floats>(x + m) < splat(static_cast<float>(p.x.origin));
  const Ints below_y = load<Floats>(y + m) < splat(static_cast<float>(p.y.origin));
  const Ints below_z = load<Floats>(z + m) < splat(static_cast<float>(p.z.origin));
  for (int e = 0; e < 3; ++e) {
    const Ints flip = (below_x & splat(s.flip[0][e])) ^ (below_y & splat(s.flip[1][e])) ^
                      (below_z & splat(s.flip[2][e]));
    v[e] = select(sure, select(flip, -v[e], v[e]), in[e]);
  }
  const Ints rest = ~sure;
  std::memcpy(left + m, &rest, sizeof rest);
}

}  // namespace fieldscan::lanes

#endif
