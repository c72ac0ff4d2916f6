// The sector fold of a batch's points in vector lanes: the raw-limit
// tests, the mirror fold, the polar angle, the sector lines crossed and the
// point turned back into the first sector, four points at a time and in
// passes over a block, so that the long chains of dependent operations of
// one group overlap with those of the next.  Each lane gives fold_point()'s
// result (evaluate.h); a point whose roundings the lanes cannot be sure of
// (sector_lanes.h) is folded by fold_point() itself.  The field batch
// (batch.cc) and the gradient batch (gradient_lanes.cc) start their blocks
// here, the folds kept for the unfold of each.
#pragma once

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "fieldscan/field/evaluate.h"
#include "fieldscan/field/lanes.h"
#include "fieldscan/field/locate_lanes.h"
#include "fieldscan/field/sector_lanes.h"
#include "fieldscan/mapfile/grid.h"

#ifdef FIELDSCAN_LANES

namespace fieldscan::lanes {

// The sector folds of a block's points, kept for their unfold.  Where the
// fold did not turn a point, cphi and sphi are 1 and 0 and the counts 0.
struct SectorFolds {
  std::int32_t usable[kBlock];  // -1 where the point passed the raw tests
  std::int32_t turned[kBlock];  // -1 where the sector fold applied
  std::int32_t scalar[kBlock];  // -1 where fold_point() folded it
  float theta[kBlock], cphi[kBlock], sphi[kBlock];
  double angle[kBlock];                       // the polar angle before its rounding
  double k_t[kBlock], k_n[kBlock];            // sector lines crossed
  double ct[kBlock], st[kBlock];              // cos and sin of theta, for the unfold
  double r[kBlock];                           // the radius of the point
  std::int32_t odd_t[kBlock], odd_n[kBlock];  // -1 where k_t, k_n are odd
};

// One block of points on its way through a batch: its coordinates, its
// cells and, on a sector map, its folds.
struct Block {
  const float *x, *y, *z;
  Cells cells;
  SectorFolds folds;                      // on a sector map
  float u[kBlock], v[kBlock], w[kBlock];  // the folded offsets, or NaN
};

// The fold of point m of the block by fold_point() itself, with cos and
// sin of its polar angle as the lanes take them.  Rarely needed, so kept
// out of the lanes' code.
[[gnu::noinline]] inline void fold_one(const GridSize& grid, Block& now, std::size_t m) {
  Fold f;
  const bool folded = fold_point(grid, now.x[m], now.y[m], now.z[m], f) == FieldStatus::kOk;
  now.u[m] = folded ? f.u : NAN, now.v[m] = folded ? f.v : NAN, now.w[m] = folded ? f.w : NAN;
  SectorFolds& s = now.folds;
  s.scalar[m] = -1;
  s.turned[m] = f.turned ? -1 : 0;
  s.theta[m] = f.theta, s.cphi[m] = f.cphi, s.sphi[m] = f.sphi;
  s.k_t[m] = f.k_t, s.k_n[m] = f.k_n;
  s.odd_t[m] = std::fmod(f.k_t, 2.0) != 0.0 ? -1 : 0;
  s.odd_n[m] = std::fmod(f.k_n, 2.0) != 0.0 ? -1 : 0;
  double ct, st;
  polar_sin_cos(grid, now.x[m], now.y[m], f.theta, ct, st);
  s.ct[m] = ct, s.st[m] = st;
}

// The fold of point m as a Fold, for the one-point unfold.
inline Fold fold_of(const SectorFolds& s, std::size_t m) {
  Fold f;
  f.turned = s.turned[m] != 0;
  f.theta = s.theta[m], f.cphi = s.cphi[m], f.sphi = s.sphi[m];
  f.k_t = s.k_t[m], f.k_n = s.k_n[m];
  return f;
}

// The sector lines crossed by points of polar angle theta beyond the
// sector angle a: k_t = trunc(t) and k_n = round(t), halves away from
// zero, t = theta / 2 / a (non-negative, below 2^31 in `small`), and the
// folded angle phi = |theta - 2 a k_n|, taken as 0 below 1e-6.
struct SectorCount {
  Doubles k_t, k_n, phi;
  Masks small;
};

FIELDSCAN_INLINE SectorCount count_sectors(Floats theta, float angle) {
  if (angle == 0.0f) return SectorCount{splat(0.0), splat(0.0), splat(0.0), ~Masks{}};
  const Doubles a = splat(static_cast<double>(angle));
  const Doubles t = (widen(theta) * splat(0.5)) / a;
  const Masks small = t < splat(2147483647.0);
  const Doubles k_t = widen(__builtin_convertvector(select(small, t, splat(0.0)), Ints));
  const Doubles k_n = k_t + select(t - k_t >= splat(0.5), splat(1.0), splat(0.0));
  Doubles phi = magnitude(widen(theta) - a * (splat(2.0) * k_n));
  phi = select(phi < splat(1e-6), splat(0.0), phi);
  return SectorCount{k_t, k_n, phi, small};
}

// The parities of the sector lines crossed, in lanes where both counts are
// below 2^31 (`small`).
FIELDSCAN_INLINE Ints odd_lanes(Doubles k, Masks small) {
  const Ints count = __builtin_convertvector(select(small, k, splat(0.0)), Ints);
  return (count & splat(1)) != splat(0);
}

// The sector fold of a block runs in three passes over its points, four at
// a time, so that the long chains of dependent operations of one group
// overlap with those of the next.  The first: the raw-limit tests, the
// mirror fold and the polar angle before its rounding.
FIELDSCAN_INLINE void fold_offsets(const Plan& p, Block& now, std::size_t m) {
  const SectorPlan& s = p.fold;
  const Floats x = load<Floats>(now.x + m), y = load<Floats>(now.y + m);
  const Floats z = load<Floats>(now.z + m);
  const Floats u = narrow(magnitude(widen(x) - splat(p.x.origin)));
  const Floats v = narrow(magnitude(widen(y) - splat(p.y.origin)));
  const Floats w = narrow(magnitude(widen(z) - splat(p.z.origin)));
  const Ints usable = (z >= splat(s.zlow)) & (z <= splat(s.zhigh)) & (x >= splat(s.xlow)) &
                      (y >= splat(s.ylow)) & (u <= splat(FLT_MAX)) & (v <= splat(FLT_MAX));
  std::memcpy(now.u + m, &u, sizeof u);
  std::memcpy(now.v + m, &v, sizeof v);
  std::memcpy(now.w + m, &w, sizeof w);
  std::memcpy(now.folds.usable + m, &usable, sizeof usable);
  const Doubles angle = atan2_quadrant(v, u);
  std::memcpy(now.folds.angle + m, &angle, sizeof angle);
}

// The bound of cos and sin of the folded angle, found from those of the
// polar angle and of a sector line, against the C library's at the folded
// angle: within 2^-45 each from polar_cos_sin(), one unit of 2^-53 from
// the C library's for the line, three roundings, and the rounding of phi
// itself (at most 2^-52 in the angle) make at most 2^-43.9.
constexpr double kLineBound = 0x1p-42;

// The second: the polar angle theta rounded, the sector lines crossed, cos
// and sin of the folded angle rounded, and cos and sin of theta for the
// unfold.  A point whose roundings are not sure is marked for
// fold_point().
FIELDSCAN_INLINE void fold_angles(const Plan& p, Block& now, std::size_t m) {
  SectorFolds& f = now.folds;
  const Doubles angle = load<Doubles>(f.angle + m);
  const Floats theta = narrow(angle);
  const Ints turned = (splat(p.fold.angle) < theta) & load<Ints>(f.usable + m);
  const SectorCount k = count_sectors(theta, p.fold.angle);
  Doubles ct, st, r;
  polar_cos_sin(load<Floats>(now.u + m), load<Floats>(now.v + m), theta, angle, ct, st, r);
  // cos and sin of phi = |theta - 2 a k_n|, from those of theta and of the
  // sector line.
  const SectorPlan& s = p.fold;
  const Masks listed = k.small & (k.k_n < splat(static_cast<double>(s.lines)));
  const Ints line = __builtin_convertvector(select(listed, k.k_n, splat(0.0)), Ints);
  const Doubles cl{s.cos_line[line[0]], s.cos_line[line[1]], s.cos_line[line[2]],
                   s.cos_line[line[3]]};
  const Doubles sl{s.sin_line[line[0]], s.sin_line[line[1]], s.sin_line[line[2]],
                   s.sin_line[line[3]]};
  const Masks zero = k.phi == splat(0.0);
  const Doubles cosine = select(zero, splat(1.0), ct * cl + st * sl);
  const Doubles sine = select(zero, splat(0.0), magnitude(st * cl - ct * sl));
  const Ints sure_turn = (narrow_mask(zero) | (rounds_surely(sine, splat(kLineBound)) &
                                               rounds_surely(cosine, splat(kLineBound)))) &
                         narrow_mask(listed);
  const Ints sure =
      rounds_surely(angle, magnitude(angle) * splat(kAtanBound)) & (~turned | sure_turn);
  const Floats cphi = select(turned, narrow(cosine), splat(1.0f));
  const Floats sphi = select(turned, narrow(sine), splat(0.0f));
  const Masks turned_wide{turned[0], turned[1], turned[2], turned[3]};
  const Doubles k_t = select(turned_wide, k.k_t, splat(0.0));
  const Doubles k_n = select(turned_wide, k.k_n, splat(0.0));
  const Ints redo = load<Ints>(f.usable + m) & ~sure;
  std::memcpy(f.turned + m, &turned, sizeof turned);
  std::memcpy(f.scalar + m, &redo, sizeof redo);
  std::memcpy(f.theta + m, &theta, sizeof theta);
  std::memcpy(f.cphi + m, &cphi, sizeof cphi);
  std::memcpy(f.sphi + m, &sphi, sizeof sphi);
  std::memcpy(f.k_t + m, &k_t, sizeof k_t);
  std::memcpy(f.k_n + m, &k_n, sizeof k_n);
  std::memcpy(f.ct + m, &ct, sizeof ct);
  std::memcpy(f.st + m, &st, sizeof st);
  std::memcpy(f.r + m, &r, sizeof r);
  const Ints odd_t = odd_lanes(k_t, k.small), odd_n = odd_lanes(k_n, k.small);
  std::memcpy(f.odd_t + m, &odd_t, sizeof odd_t);
  std::memcpy(f.odd_n + m, &odd_n, sizeof odd_n);
}

// The third: the folded offsets at the point's own radius (NaN for a point
// outside the limits, so that it has the cell of no point), and the points
// marked in the second pass folded by fold_point().
FIELDSCAN_INLINE void fold_radius(const GridSize& grid, Block& now, std::size_t m) {
  const SectorFolds& f = now.folds;
  const Floats u = load<Floats>(now.u + m), v = load<Floats>(now.v + m);
  const Doubles r = load<Doubles>(f.r + m);
  const Ints usable = load<Ints>(f.usable + m), turned = load<Ints>(f.turned + m);
  const Floats nan = splat(std::numeric_limits<float>::quiet_NaN());
  const Floats fu =
      select(usable, select(turned, narrow(widen(load<Floats>(f.cphi + m)) * r), u), nan);
  const Floats fv =
      select(usable, select(turned, narrow(widen(load<Floats>(f.sphi + m)) * r), v), nan);
  const Floats fw = select(usable, load<Floats>(now.w + m), nan);
  std::memcpy(now.u + m, &fu, sizeof fu);
  std::memcpy(now.v + m, &fv, sizeof fv);
  std::memcpy(now.w + m, &fw, sizeof fw);
  const Ints redo = load<Ints>(f.scalar + m);
  if (none(redo)) return;
  for (std::size_t l = 0; l < kLanes; ++l) {
    if (redo[l] != 0) fold_one(grid, now, m + l);
  }
}

// Takes the `count` points from `first` on into `now` (a short last block
// copied into `tail` and filled up with NaN), folds them on a sector map,
// locates their cells and asks for their nodes.
FIELDSCAN_INLINE void start_block(const Plan& plan, const GridSize& grid, const float values[],
                                  const float x[], const float y[], const float z[],
                                  std::size_t first, std::size_t count, float (&tail)[3][kBlock],
                                  Caches& caches, Block& now) {
  if (count == kBlock) {
    now.x = x + first, now.y = y + first, now.z = z + first;
  } else {
    const float* from[3] = {x + first, y + first, z + first};
    for (int a = 0; a < 3; ++a) {
      std::fill(std::copy_n(from[a], count, tail[a]), tail[a] + kBlock, NAN);
    }
    now.x = tail[0], now.y = tail[1], now.z = tail[2];
  }
  if (plan.sector) {
    for (std::size_t m = 0; m < kBlock; m += kLanes) fold_offsets(plan, now, m);
    for (std::size_t m = 0; m < kBlock; m += kLanes) fold_angles(plan, now, m);
    for (std::size_t m = 0; m < kBlock; m += kLanes) fold_radius(grid, now, m);
    locate_block(plan, now.u, now.v, now.w, caches, now.cells);
  } else {
    locate_block(plan, now.x, now.y, now.z, caches, now.cells);
  }
  prefetch_block(plan, values, now.cells);
}

// The points in blocks: the cells of one block are located (on a sector
// map, once the block is folded) and their nodes asked for while the
// previous block, of `count` points from `first` on, is finished by
// finish(block, first, count).  The last block is copied and filled up
// with points that are not ordinary (not a number).
template <class Finish>
FIELDSCAN_INLINE void each_block(const Plan& plan, const GridSize& grid, const float values[],
                                 std::size_t n, const float x[], const float y[], const float z[],
                                 Finish&& finish) {
  Block blocks[2];
  float tail[3][kBlock];
  Caches caches;
  std::size_t previous = 0, previous_n = 0;
  for (std::size_t first = 0, turn = 0;; first += kBlock, turn ^= 1) {
    const std::size_t count = first < n ? std::min(kBlock, n - first) : 0;
    if (count > 0) {
      start_block(plan, grid, values, x, y, z, first, count, tail, caches, blocks[turn]);
    }
    if (previous_n > 0) finish(blocks[turn ^ 1], previous, previous_n);
    if (count == 0) break;
    previous = first, previous_n = count;
  }
}

}  // namespace fieldscan::lanes

#endif
