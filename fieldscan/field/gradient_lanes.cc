// The linear gradient of many points, four at a time.
//
// evaluate_gradient differentiates the trilinear interpolant of one cell:
// per corner of the cell four weights (the corner's trilinear weight and
// its derivatives along x, y and z), and per weight three sums over the
// corners' components.  On an ordinary point (the map has at least two
// nodes and a usable step on every axis, the point lies inside a cell, not
// on or beyond the last node plane, and no corner is unmeasured) that is
// straight-line arithmetic, done here in vector lanes after the points of a
// block have been located in lanes and their nodes asked for.  On a sector
// map the points are folded in lanes as the field batch folds them
// (fold_lanes.h), and their derivatives unfolded in lanes by the chain rule
// of evaluate_gradient (sector_chain.h), with cos and sin of the polar
// angle from the fold; the mirror signs follow in lanes on every map.
// Every other point goes to evaluate_gradient.
//
// Each lane performs evaluate_gradient's IEEE operations in its order, so
// the bits agree.  evaluate_gradient leaves out a corner whose four weights
// are all 0; its terms here are then +0.0 or -0.0, which leave a sum (never
// -0.0, since it starts from +0.0) unchanged, unless the node holds an
// infinity or NaN: a sum that is not a number sends its point to
// evaluate_gradient.  The field itself is summed only where the sector
// unfold needs it.
#include "fieldscan/field/gradient_lanes.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "fieldscan/field/fold_lanes.h"
#include "fieldscan/field/lanes.h"
#include "fieldscan/field/locate_lanes.h"
#include "fieldscan/field/sector_chain.h"
#include "fieldscan/mapfile/node.h"

namespace fieldscan {
namespace {

#ifdef FIELDSCAN_LANES
#define FIELDSCAN_GRADIENT_LANES 1

using namespace lanes;  // NOLINT: the vector vocabulary of this file

// The mask of a float test as the mask of a double one, lane by lane.
FIELDSCAN_INLINE Masks widen_mask(Ints mask) { return Masks{mask[0], mask[1], mask[2], mask[3]}; }

// The value offsets of a cell's four grid rows: row r holds the nodes of y
// index r % 2 and z index r / 2, so that corner i + 2 r (i the x index)
// counts x fastest, then y, then z, as evaluate_gradient counts them.
FIELDSCAN_INLINE void row_offsets(const Plan& p, std::int32_t offset[4]) {
  offset[0] = 0, offset[1] = p.row, offset[2] = p.plane, offset[3] = p.plane + p.row;
}

// The corners of four cells, node[r][i][c]: row r, x index i, component c,
// one vector over the four points, widened; and the lanes where some
// corner is unmeasured, whatever its weight.
struct Corners {
  Doubles node[4][2][3];
  Ints unmeasured;
};

FIELDSCAN_INLINE Ints unmeasured_lanes(Floats c0, Floats c1, Floats c2) {
  const Floats limit = splat(kUnmeasuredLimit);
  return (c0 > limit) & (c1 > limit) & (c2 > limit);
}

// The corners of four different cells, row by row.
FIELDSCAN_INLINE void read_corners(const Plan& p, const float values[], const std::int32_t* base,
                                   Corners& k) {
  std::int32_t offset[4];
  row_offsets(p, offset);
  Ints unmeasured{};
  for (int r = 0; r < 4; ++r) {
    Floats first[3], second[3];
    read_row(values, base, offset[r], first, second);
    unmeasured |= unmeasured_lanes(first[0], first[1], first[2]);
    unmeasured |= unmeasured_lanes(second[0], second[1], second[2]);
    for (int c = 0; c < 3; ++c) {
      k.node[r][0][c] = widen(first[c]);
      k.node[r][1][c] = widen(second[c]);
    }
  }
  k.unmeasured = unmeasured;
}

// The sums of evaluate_gradient over the corners, corner after corner:
// sum[0] the field (only `with_field`), sum[1 + c] its derivative along
// axis c, per component.  w[c] are the weights of the lower and upper node
// along axis c, dw[c] their slopes.
template <bool with_field>
FIELDSCAN_INLINE void corner_sums(const Doubles w[3][2], const Doubles dw[3][2], const Corners& k,
                                  Doubles sum[4][3]) {
  constexpr int kFirst = with_field ? 0 : 1;
  for (int m = kFirst; m < 4; ++m) {
    for (int a = 0; a < 3; ++a) sum[m][a] = splat(0.0);
  }
  for (int r = 0; r < 4; ++r) {
    const int j = r & 1, l = r >> 1;
    for (int i = 0; i < 2; ++i) {
      const Doubles weight[4] = {w[0][i] * w[1][j] * w[2][l], dw[0][i] * w[1][j] * w[2][l],
                                 w[0][i] * dw[1][j] * w[2][l], w[0][i] * w[1][j] * dw[2][l]};
      const Doubles* v = k.node[r][i];
      for (int m = kFirst; m < 4; ++m) {
        for (int a = 0; a < 3; ++a) sum[m][a] = sum[m][a] + weight[m] * v[a];
      }
    }
  }
}

// The field and derivative sums of the four points from `m` on, and the
// lanes that stay ordinary: not near an unmeasured corner, and no sum that
// is not a number.
template <bool with_field>
FIELDSCAN_INLINE Ints group_sums(const Plan& p, const float values[], const Cells& c, std::size_t m,
                                 Doubles sum[4][3]) {
  const AxisPlan* axis[3] = {&p.x, &p.y, &p.z};
  Doubles w[3][2], dw[3][2];
  for (int a = 0; a < 3; ++a) {
    const Doubles f = load<Doubles>(c.f[a] + m), slope = splat(axis[a]->slope);
    w[a][0] = splat(1.0) - f, w[a][1] = f;
    dw[a][0] = -slope, dw[a][1] = slope;
  }
  Corners k;
  read_corners(p, values, c.base + m, k);
  corner_sums<with_field>(w, dw, k, sum);
  Masks nan{};
  for (int s = with_field ? 0 : 1; s < 4; ++s) {
    for (int a = 0; a < 3; ++a) nan |= sum[s][a] != sum[s][a];
  }
  return load<Ints>(c.ordinary + m) & ~k.unmeasured & ~narrow_mask(nan);
}

// Four gradients, d[a][b] one vector over the points, written out.
FIELDSCAN_INLINE void store_gradients(const Floats d[3][3], FieldGradient* g, Ints ordinary,
                                      std::size_t count, FieldStatus status[]) {
  for (std::size_t l = 0; l < count; ++l) {
    if (ordinary[l] == 0) continue;
    for (int a = 0; a < 3; ++a) {
      for (int b = 0; b < 3; ++b) g[l].d[a][b] = d[a][b][l];
    }
    status[l] = FieldStatus::kOk;
  }
}

// The sector unfold of the derivatives j (with the field b) of the four
// points from m on, in the lanes whose point the fold turned, by the chain
// rule of evaluate_gradient (sector_chain.h).
FIELDSCAN_INLINE void unfold_group(const Plan& p, const SectorFolds& f, std::size_t m,
                                   const float* x, const float* y, const Doubles (&b)[3],
                                   Doubles (&j)[3][3]) {
  const Ints turned = load<Ints>(f.turned + m);
  if (none(turned)) return;
  const chain::SectorTurn<Doubles> turn{
      widen(load<Floats>(f.theta + m)), widen(load<Floats>(f.cphi + m)),
      widen(load<Floats>(f.sphi + m)),  load<Doubles>(f.ct + m),
      load<Doubles>(f.st + m),          load<Doubles>(f.k_t + m),
      load<Doubles>(f.k_n + m)};
  const Doubles u = magnitude(widen(load<Floats>(x + m)) - splat(p.x.origin));
  const Doubles v = magnitude(widen(load<Floats>(y + m)) - splat(p.y.origin));
  Doubles unfolded[3][3];
  for (int a = 0; a < 3; ++a) {
    for (int c = 0; c < 3; ++c) unfolded[a][c] = j[a][c];
  }
  chain::unfold_sector(p.fold.angle, turn, u, v, b, unfolded);
  const Masks wide = widen_mask(turned);
  for (int a = 0; a < 3; ++a) {
    for (int c = 0; c < 3; ++c) j[a][c] = select(wide, unfolded[a][c], j[a][c]);
  }
}

// The derivatives j of the four points from m on with their mirror signs,
// rounded.  evaluate_gradient turns them into (sign[a] * j[a][b]) * along[b]:
// the mirror signs of the field's components, and -1 for an axis whose
// coordinate lies below its plane.
FIELDSCAN_INLINE void mirror_gradients(const Plan& p, const float* x, const float* y,
                                       const float* z, std::size_t m, const Doubles (&j)[3][3],
                                       Floats (&d)[3][3]) {
  const std::int32_t(&flips)[3][3] = p.sector ? p.fold.flip : p.flip;
  const Ints below[3] = {load<Floats>(x + m) < splat(static_cast<float>(p.x.origin)),
                         load<Floats>(y + m) < splat(static_cast<float>(p.y.origin)),
                         load<Floats>(z + m) < splat(static_cast<float>(p.z.origin))};
  Doubles along[3], sign[3];
  for (int e = 0; e < 3; ++e) {
    along[e] = select(widen_mask(below[e]), splat(-1.0), splat(1.0));
    const Ints flip = (below[0] & splat(flips[0][e])) ^ (below[1] & splat(flips[1][e])) ^
                      (below[2] & splat(flips[2][e]));
    sign[e] = select(widen_mask(flip), splat(-1.0), splat(1.0));
  }
  for (int a = 0; a < 3; ++a) {
    for (int b = 0; b < 3; ++b) d[a][b] = narrow(sign[a] * j[a][b] * along[b]);
  }
}

// The derivatives of the ordinary points of a block, sector unfold and
// mirror signs included, written to g and status; the points left for
// evaluate_gradient are those whose `ordinary` is 0 on return, among them
// any whose unfolded derivatives are not numbers (so that which NaN they
// carry is evaluate_gradient's choice).
FIELDSCAN_INLINE void differentiate_block(const Plan& p, const float values[], Block& block,
                                          std::size_t n, FieldGradient g[], FieldStatus status[]) {
  Cells& c = block.cells;
  for (std::size_t m = 0; m < n; m += kLanes) {
    if (none(load<Ints>(c.ordinary + m))) continue;
    Doubles sum[4][3];
    Ints ordinary =
        p.sector ? group_sums<true>(p, values, c, m, sum) : group_sums<false>(p, values, c, m, sum);
    Doubles j[3][3];
    for (int a = 0; a < 3; ++a) {
      for (int b = 0; b < 3; ++b) j[a][b] = sum[1 + b][a];
    }
    if (p.sector) {
      unfold_group(p, block.folds, m, block.x, block.y, sum[0], j);
      Masks nan{};
      for (int a = 0; a < 3; ++a) {
        for (int b = 0; b < 3; ++b) nan |= j[a][b] != j[a][b];
      }
      ordinary &= ~narrow_mask(nan);
    }
    std::memcpy(c.ordinary + m, &ordinary, sizeof ordinary);
    Floats d[3][3];
    mirror_gradients(p, block.x, block.y, block.z, m, j, d);
    store_gradients(d, g + m, ordinary, std::min(kLanes, n - m), status + m);
  }
}

// The derivatives of a located block of `count` points from `first` on:
// the lanes, then every point they left to evaluate_gradient.
FIELDSCAN_INLINE void finish_block(const Plan& plan, const GridSize& grid, const float values[],
                                   std::int64_t capacity, const float x[], const float y[],
                                   const float z[], std::size_t first, std::size_t count,
                                   Block& then, FieldGradient g[], FieldStatus status[]) {
  differentiate_block(plan, values, then, count, g + first, status + first);
  for (std::size_t m = 0; m < count; ++m) {
    const std::size_t at = first + m;
    if (then.cells.ordinary[m] == 0) {
      status[at] = evaluate_gradient(grid, values, capacity, x[at], y[at], z[at], g[at]);
    }
  }
}

// The points in blocks (each_block()), each differentiated by
// finish_block().
FIELDSCAN_INLINE void run_blocks(const GridSize& grid, const float values[], std::int64_t capacity,
                                 std::size_t n, const float x[], const float y[], const float z[],
                                 FieldGradient g[], FieldStatus status[]) {
  Plan plan;
  if (!make_plan(grid, capacity, plan)) {
    return gradient_point_by_point(grid, values, capacity, n, x, y, z, g, status);
  }
  const auto finish = [&](Block & then, std::size_t first, std::size_t count)
      __attribute__((always_inline)) {
    finish_block(plan, grid, values, capacity, x, y, z, first, count, then, g, status);
  };
  each_block(plan, grid, values, n, x, y, z, finish);
}

#endif

std::vector<GradientVariant> usable_variants() {
  std::vector<GradientVariant> variants;
#ifdef FIELDSCAN_GRADIENT_LANES
  lanes::add_lane_variants<FieldGradient, run_blocks>(variants);
#endif
  variants.push_back({"point by point", gradient_point_by_point});
  return variants;
}

}  // namespace

std::span<const GradientVariant> gradient_variants() {
  static const std::vector<GradientVariant> variants = usable_variants();
  return variants;
}

}  // namespace fieldscan
