// The linear gradient of many points, four at a time.
//
// evaluate_gradient differentiates the trilinear interpolant of one cell:
// per corner of the cell four weights (the corner's trilinear weight and
// its derivatives along x, y and z), and per weight three sums over the
// corners' components.  On an ordinary point (the map has at least two
// nodes and a usable step on every axis, the point lies inside a cell, not
// on or beyond the last node plane, and no corner is unmeasured) that is
// straight-line arithmetic, done here in vector lanes after the points of a
// block have been located in lanes and their nodes asked for.  On a map
// without a sector fold the mirror signs follow in lanes too; on a sector
// map each point is folded, and its derivatives unfolded, by
// evaluate_gradient's own stages.  Every other point goes to
// evaluate_gradient.
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

#include "fieldscan/field/lanes.h"
#include "fieldscan/mapfile/node.h"

namespace fieldscan {
namespace {

#ifdef FIELDSCAN_LANES
#define FIELDSCAN_GRADIENT_LANES 1

using namespace lanes;  // NOLINT: the vector vocabulary of this file

// Points taken through the stages together.
constexpr std::size_t kBlock = 64;

// One axis of the map, as the lanes use it: the raw coordinate must lie in
// [low, high_raw], the folded one must not exceed `high` and must lie short
// of the last node held.  `slope` is the derivative of a node's weight
// along the axis, 1 / step.
struct AxisPlan {
  double origin, step, last, slope;
  float low, high_raw, high;
};

// What the lanes need of the map, taken once per batch.
struct Plan {
  bool sector;  // the map's sector symmetry may fold a point
  AxisPlan x, y, z;
  std::int32_t row, plane;  // values per grid row and per plane
  // flip[n][c]: -1 where the mirror plane normal to axis n reverses
  // component c, else 0.
  std::int32_t flip[3][3];
};

bool finite_positive(float step) { return step > 0.0f && std::isfinite(step); }

// False when no point of the map is ordinary.  On a sector map the lanes
// take the points as the fold leaves them, whose raw limits are tested
// already.
bool make_plan(const GridSize& s, std::int64_t capacity, Plan& p) {
  if (s.NX < 2 || s.NY < 2 || capacity <= 0) return false;
  if (!finite_positive(s.DX) || !finite_positive(s.DY) || !finite_positive(s.DZ)) return false;
  if (!std::isfinite(s.XMIN) || !std::isfinite(s.YMIN) || !std::isfinite(s.ZMIN)) return false;
  const std::int64_t per_plane = static_cast<std::int64_t>(s.NX) * s.NY;  // < 2^62
  const std::int64_t nz = held_planes(s, capacity);
  if (nz < 2) return false;
  // Cells are found by 32-bit arithmetic: larger maps go point by point.
  if (3 * per_plane * nz > std::numeric_limits<std::int32_t>::max()) return false;
  p.row = 3 * s.NX;
  p.plane = static_cast<std::int32_t>(3 * per_plane);
  constexpr float kInf = std::numeric_limits<float>::infinity();
  p.sector = std::fabs(s.ANGLE) < kHalfPi;
  const auto axis = [](float origin, float step, double last, float low, float high_raw,
                       float high) {
    return AxisPlan{origin, step, last, 1.0 / static_cast<double>(step), low, high_raw, high};
  };
  p.x = axis(s.XMIN, s.DX, s.NX - 1.0, s.XLOW, kInf, s.XHIGH);
  p.y = axis(s.YMIN, s.DY, s.NY - 1.0, s.YLOW, kInf, s.YHIGH);
  p.z = axis(s.ZMIN, s.DZ, static_cast<double>(nz - 1), s.ZLOW, s.ZHIGH, kInf);
  if (p.sector) {
    for (AxisPlan* a : {&p.x, &p.y, &p.z}) a->low = -kInf, a->high_raw = kInf;
  }
  // Index 1 reverses the component normal to the plane, any other index
  // the two parallel to it.
  const std::int32_t index[3] = {s.IDA, s.IDB, s.IDC};
  for (int n = 0; n < 3; ++n) {
    for (int c = 0; c < 3; ++c) p.flip[n][c] = (index[n] == 1) == (c == n) ? -1 : 0;
  }
  return true;
}

// One axis of four points: whether each is ordinary on it, the lower node
// of its cell (0 where it is not) and the fraction of a step beyond it.
struct AxisLanes {
  Ints ok;
  Ints node;
  Doubles frac;
};

// The folded coordinate origin + offset (rounded once), its cell by
// truncation of offset / step and the fraction measured from the cell's
// lower node, as the evaluation finds them.  `p` is the raw coordinate,
// whose offset is |p - origin| rounded once, or on a sector map the folded
// offset itself.  An infinite or NaN coordinate fails one of the tests.
FIELDSCAN_INLINE AxisLanes axis_lanes(Floats p, const AxisPlan& a, bool sector) {
  const Doubles origin = splat(a.origin), step = splat(a.step);
  const Floats offset = sector ? p : narrow(magnitude(widen(p) - origin));
  const Floats folded = narrow(origin + widen(offset));
  const Doubles off = widen(folded) - origin;
  const Doubles q = off / step;
  const Masks inside = (off >= splat(0.0)) & (q < splat(a.last));
  const Ints ok = (p >= splat(a.low)) & (p <= splat(a.high_raw)) & (folded <= splat(a.high)) &
                  (folded <= splat(FLT_MAX)) & narrow_mask(inside);
  const Ints node = __builtin_convertvector(select(inside, q, splat(0.0)), Ints);
  return AxisLanes{ok, node, (off - widen(node) * step) / step};
}

// The mask of a float test as the mask of a double one, lane by lane.
FIELDSCAN_INLINE Masks widen_mask(Ints mask) { return Masks{mask[0], mask[1], mask[2], mask[3]}; }

// The cells of one block: per point whether it may be ordinary, the index
// of its cell's first value and the fractions towards the next nodes.  A
// point that is not ordinary has node 0 on the axes where it lies outside,
// so its cell can still be read safely.
struct Cells {
  std::int32_t ordinary[kBlock];  // -1 or 0
  std::int32_t base[kBlock];
  double f[3][kBlock];
};

FIELDSCAN_INLINE void locate_block(const Plan& p, const float* x, const float* y, const float* z,
                                   Cells& c) {
  for (std::size_t m = 0; m < kBlock; m += kLanes) {
    const AxisLanes ax = axis_lanes(load<Floats>(x + m), p.x, p.sector);
    const AxisLanes ay = axis_lanes(load<Floats>(y + m), p.y, p.sector);
    const AxisLanes az = axis_lanes(load<Floats>(z + m), p.z, p.sector);
    const Ints ok = ax.ok & ay.ok & az.ok;
    std::memcpy(c.ordinary + m, &ok, sizeof ok);
    std::memcpy(c.f[0] + m, &ax.frac, sizeof ax.frac);
    std::memcpy(c.f[1] + m, &ay.frac, sizeof ay.frac);
    std::memcpy(c.f[2] + m, &az.frac, sizeof az.frac);
    const Ints base = az.node * splat(p.plane) + ay.node * splat(p.row) + ax.node * splat(3);
    std::memcpy(c.base + m, &base, sizeof base);
  }
}

// The value offsets of a cell's four grid rows: row r holds the nodes of y
// index r % 2 and z index r / 2, so that corner i + 2 r (i the x index)
// counts x fastest, then y, then z, as evaluate_gradient counts them.
FIELDSCAN_INLINE void row_offsets(const Plan& p, std::int32_t offset[4]) {
  offset[0] = 0, offset[1] = p.row, offset[2] = p.plane, offset[3] = p.plane + p.row;
}

// Asks the memory system for the four pairs of nodes each cell will read.
FIELDSCAN_INLINE void prefetch_block(const Plan& p, const float values[], const Cells& c) {
  std::int32_t offset[4];
  row_offsets(p, offset);
  for (std::size_t m = 0; m < kBlock; ++m) {
    for (const std::int32_t row : offset) {
      __builtin_prefetch(values + c.base[m] + row);
      __builtin_prefetch(values + c.base[m] + row + 5);
    }
  }
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

// The six consecutive values of a row's two nodes are read as two
// overlapping fours, which never reach past the second node, and turned
// from one point per vector into one component per vector.
FIELDSCAN_INLINE void read_corners(const Plan& p, const float values[], const std::int32_t* base,
                                   Corners& k) {
  std::int32_t offset[4];
  row_offsets(p, offset);
  Ints unmeasured{};
  for (int r = 0; r < 4; ++r) {
    Floats low[kLanes], high[kLanes];
    for (std::size_t l = 0; l < kLanes; ++l) {
      const float* at = values + base[l] + offset[r];
      low[l] = load<Floats>(at);       // first node: c1 c2 c3, second node: c1
      high[l] = load<Floats>(at + 2);  // first node: c3, second node: c1 c2 c3
    }
    const Floats a01 = __builtin_shufflevector(low[0], low[1], 0, 4, 1, 5);
    const Floats a23 = __builtin_shufflevector(low[2], low[3], 0, 4, 1, 5);
    const Floats b01 = __builtin_shufflevector(low[0], low[1], 2, 6, 3, 7);
    const Floats b23 = __builtin_shufflevector(low[2], low[3], 2, 6, 3, 7);
    const Floats c01 = __builtin_shufflevector(high[0], high[1], 2, 6, 3, 7);
    const Floats c23 = __builtin_shufflevector(high[2], high[3], 2, 6, 3, 7);
    const Floats first[3] = {__builtin_shufflevector(a01, a23, 0, 1, 4, 5),
                             __builtin_shufflevector(a01, a23, 2, 3, 6, 7),
                             __builtin_shufflevector(b01, b23, 0, 1, 4, 5)};
    const Floats second[3] = {__builtin_shufflevector(b01, b23, 2, 3, 6, 7),
                              __builtin_shufflevector(c01, c23, 0, 1, 4, 5),
                              __builtin_shufflevector(c01, c23, 2, 3, 6, 7)};
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

// The derivatives of the ordinary points of a block on a map without a
// sector fold, mirror signs included, written to g and status; the points
// left for evaluate_gradient are those whose `ordinary` is 0 on return.
// evaluate_gradient turns the folded derivative j into
// (sign[a] * j[a][b]) * along[b]: the mirror signs of the field's
// components, and -1 for an axis whose coordinate lies below its plane.
FIELDSCAN_INLINE void differentiate_block(const Plan& p, const float values[], Cells& c,
                                          const float* x, const float* y, const float* z,
                                          std::size_t n, FieldGradient g[], FieldStatus status[]) {
  for (std::size_t m = 0; m < n; m += kLanes) {
    if (none(load<Ints>(c.ordinary + m))) continue;
    Doubles sum[4][3];
    const Ints ordinary = group_sums<false>(p, values, c, m, sum);
    std::memcpy(c.ordinary + m, &ordinary, sizeof ordinary);
    const Ints below[3] = {load<Floats>(x + m) < splat(static_cast<float>(p.x.origin)),
                           load<Floats>(y + m) < splat(static_cast<float>(p.y.origin)),
                           load<Floats>(z + m) < splat(static_cast<float>(p.z.origin))};
    Doubles along[3], sign[3];
    for (int e = 0; e < 3; ++e) {
      along[e] = select(widen_mask(below[e]), splat(-1.0), splat(1.0));
      const Ints flip = (below[0] & splat(p.flip[0][e])) ^ (below[1] & splat(p.flip[1][e])) ^
                        (below[2] & splat(p.flip[2][e]));
      sign[e] = select(widen_mask(flip), splat(-1.0), splat(1.0));
    }
    Floats d[3][3];
    for (int a = 0; a < 3; ++a) {
      for (int b = 0; b < 3; ++b) d[a][b] = narrow(sign[a] * sum[1 + b][a] * along[b]);
    }
    store_gradients(d, g + m, ordinary, std::min(kLanes, n - m), status + m);
  }
}

// The field and folded derivatives of the ordinary points of a block on a
// sector map, kept for the unfold point by point.
struct Folded {
  double b[kBlock][3];
  double j[kBlock][3][3];
};

FIELDSCAN_INLINE void differentiate_folded(const Plan& p, const float values[], Cells& c,
                                           std::size_t n, Folded& out) {
  for (std::size_t m = 0; m < n; m += kLanes) {
    if (none(load<Ints>(c.ordinary + m))) continue;
    Doubles sum[4][3];
    const Ints ordinary = group_sums<true>(p, values, c, m, sum);
    std::memcpy(c.ordinary + m, &ordinary, sizeof ordinary);
    for (std::size_t l = 0; l < kLanes; ++l) {
      for (int a = 0; a < 3; ++a) {
        out.b[m + l][a] = sum[0][a][l];
        for (int b = 0; b < 3; ++b) out.j[m + l][a][b] = sum[1 + b][a][l];
      }
    }
  }
}

// One block of points on its way through run_blocks().
struct Block {
  const float *x, *y, *z;
  Cells cells;
  Fold folds[kBlock];                     // on a sector map
  float u[kBlock], v[kBlock], w[kBlock];  // the folded offsets, or NaN
};

// Takes the `count` points from `first` on into `now` (a short last block
// copied into `tail` and filled up with NaN), folds them on a sector map,
// locates their cells and asks for their nodes.
FIELDSCAN_INLINE void start_block(const Plan& plan, const GridSize& grid, const float values[],
                                  const float x[], const float y[], const float z[],
                                  std::size_t first, std::size_t count, float (&tail)[3][kBlock],
                                  Block& now) {
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
    for (std::size_t m = 0; m < kBlock; ++m) {
      Fold& f = now.folds[m];
      const bool folded = fold_point(grid, now.x[m], now.y[m], now.z[m], f) == FieldStatus::kOk;
      now.u[m] = folded ? f.u : NAN, now.v[m] = folded ? f.v : NAN, now.w[m] = folded ? f.w : NAN;
    }
    locate_block(plan, now.u, now.v, now.w, now.cells);
  } else {
    locate_block(plan, now.x, now.y, now.z, now.cells);
  }
  prefetch_block(plan, values, now.cells);
}

// The derivatives of a located block of `count` points from `first` on:
// the lanes, then every point they left to evaluate_gradient and, on a
// sector map, the unfold of the others.
FIELDSCAN_INLINE void finish_block(const Plan& plan, const GridSize& grid, const float values[],
                                   std::int64_t capacity, const float x[], const float y[],
                                   const float z[], std::size_t first, std::size_t count,
                                   Block& then, Folded& folded, FieldGradient g[],
                                   FieldStatus status[]) {
  if (plan.sector) {
    differentiate_folded(plan, values, then.cells, count, folded);
  } else {
    differentiate_block(plan, values, then.cells, then.x, then.y, then.z, count, g + first,
                        status + first);
  }
  for (std::size_t m = 0; m < count; ++m) {
    const std::size_t at = first + m;
    if (then.cells.ordinary[m] == 0) {
      status[at] = evaluate_gradient(grid, values, capacity, x[at], y[at], z[at], g[at]);
    } else if (plan.sector) {
      unfold_gradient(grid, then.folds[m], x[at], y[at], z[at], folded.b[m], folded.j[m], g[at]);
      status[at] = FieldStatus::kOk;
    }
  }
}

// The points in blocks: the cells of one block are located, and their
// nodes asked for, while the previous block is differentiated.
FIELDSCAN_INLINE void run_blocks(const GridSize& grid, const float values[], std::int64_t capacity,
                                 std::size_t n, const float x[], const float y[], const float z[],
                                 FieldGradient g[], FieldStatus status[]) {
  Plan plan;
  if (!make_plan(grid, capacity, plan)) {
    return gradient_point_by_point(grid, values, capacity, n, x, y, z, g, status);
  }
  Block blocks[2];
  Folded folded;
  float tail[3][kBlock];
  std::size_t previous = 0, previous_n = 0;
  for (std::size_t first = 0, turn = 0;; first += kBlock, turn ^= 1) {
    const std::size_t count = first < n ? std::min(kBlock, n - first) : 0;
    if (count > 0) start_block(plan, grid, values, x, y, z, first, count, tail, blocks[turn]);
    if (previous_n > 0) {
      finish_block(plan, grid, values, capacity, x, y, z, previous, previous_n, blocks[turn ^ 1],
                   folded, g, status);
    }
    if (count == 0) break;
    previous = first, previous_n = count;
  }
}

__attribute__((target("avx512f,avx512vl,avx512bw,avx512dq"))) void run_avx512(
    const GridSize& grid, const float values[], std::int64_t capacity, std::size_t n,
    const float x[], const float y[], const float z[], FieldGradient g[], FieldStatus status[]) {
  run_blocks(grid, values, capacity, n, x, y, z, g, status);
}

__attribute__((target("avx2"))) void run_avx2(const GridSize& grid, const float values[],
                                              std::int64_t capacity, std::size_t n, const float x[],
                                              const float y[], const float z[], FieldGradient g[],
                                              FieldStatus status[]) {
  run_blocks(grid, values, capacity, n, x, y, z, g, status);
}

bool has_avx512() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
         __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq");
}

bool has_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}
#endif

std::vector<GradientVariant> usable_variants() {
  std::vector<GradientVariant> variants;
#ifdef FIELDSCAN_GRADIENT_LANES
  if (has_avx512()) variants.push_back({"avx512", run_avx512});
  if (has_avx2()) variants.push_back({"avx2", run_avx2});
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
