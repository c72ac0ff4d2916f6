// The tricubic evaluation of many points at once.
//
// The points go through evaluate_cubic()'s stages a block at a time: folded
// and located (their nodes fetched meanwhile), then interpolated.  A point
// whose stencil lies inside the grid on every axis takes the interior sum
// of cubic_stencil.h, compiled here for the widest vector unit the
// processor has; every other point, and one whose stencil comes near the
// unmeasured mark or whose sum is not a number, is interpolated as
// evaluate_cubic() does it.  Points along a line in x that share a cell
// share its column sums, which are kept from one point to the next.
//
// The points are folded and located four at a time in vector lanes, with
// the operations evaluate_cubic()'s stages perform, in their order; a point
// they do not find inside an interior stencil goes through those stages one
// by one.  On a sector map the lanes fold the points as the field batch
// does (fold_lanes.h), locate the folded offsets and, after the
// interpolation, unfold the fields (unfold_lanes.h); a point whose fold
// they made but whose stencil leaves the grid is interpolated from that
// fold, and a field whose unfold they cannot be sure of is unfolded by
// unfold_field().
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

#include "fieldscan/field/cubic.h"
#include "fieldscan/field/cubic_stencil.h"
#include "fieldscan/field/fold_lanes.h"
#include "fieldscan/field/locate_lanes.h"
#include "fieldscan/field/unfold_lanes.h"

namespace fieldscan {
namespace {

// The column sums last formed: those of the stencil from `first` with the
// fractions fy and fz.
struct ColumnCache {
  const float* first = nullptr;
  double fy = 0, fz = 0;
  stencil::Columns columns;
};

// The interior sum over the stencil from `first` with the fractions fx,
// fy, fz: true and `v` set, or false when the point must be interpolated
// as evaluate_cubic() does it (a value near the unmeasured mark, or a sum
// that is not a number: which of two NaN operands a sum carries may differ
// between instruction sets).
FIELDSCAN_INLINE bool interior_sum(const float* first, std::int64_t sy, std::int64_t sz, double fx,
                                   double fy, double fz, ColumnCache& cache, float v[3]) {
  if (first != cache.first || fy != cache.fy || fz != cache.fz) {
    double wy[4], wz[4];
    stencil::kernel(fy, wy);
    stencil::kernel(fz, wz);
    stencil::column_sums(first, sy, sz, wy, wz, cache.columns);
    cache.first = first, cache.fy = fy, cache.fz = fz;
  }
  if (cache.columns.high) return false;
  double wx[4];
  stencil::kernel(fx, wx);
  stencil::row_sums(cache.columns, wx, v);
  return v[0] == v[0] && v[1] == v[1] && v[2] == v[2];
}

// interior_sum() of a located point whose stencil lies inside the grid.
FIELDSCAN_INLINE bool interior_point(const float values[], std::int64_t sy, std::int64_t sz,
                                     const std::int64_t nodes[3], const AxisCell c[3],
                                     ColumnCache& cache, float v[3]) {
  for (int a = 0; a < 3; ++a) {
    if (!stencil::interior(c[a].lower, c[a].frac, nodes[a])) return false;
  }
  const float* first =
      values + ((c[2].lower - 1) * sz + (c[1].lower - 1) * sy + 3 * (c[0].lower - 1));
  return interior_sum(first, sy, sz, c[0].frac, c[1].frac, c[2].frac, cache, v);
}

// The stages of evaluate_cubic() one point at a time, a block of points
// located (and their nodes fetched) before they are interpolated.
FIELDSCAN_INLINE void point_blocks(const GridSize& grid, const float values[],
                                   std::int64_t capacity, std::size_t n, const float x[],
                                   const float y[], const float z[], FieldVector b[],
                                   FieldStatus status[]) {
  const std::int64_t nodes[3] = {grid.NX, grid.NY, held_planes(grid, capacity)};
  const std::int64_t sy = 3 * static_cast<std::int64_t>(grid.NX);
  const std::int64_t sz = sy * grid.NY;
  Fold fold[kLocateBlock];
  AxisCell cell[kLocateBlock][3];
  ColumnCache cache;
  for (std::size_t start = 0; start < n; start += kLocateBlock) {
    const std::size_t count = std::min(kLocateBlock, n - start);
    locate_points(Interpolation::kCubic, grid, values, capacity, nodes, x, y, z, start, count, fold,
                  cell, status);
    for (std::size_t m = 0; m < count; ++m) {
      const std::size_t p = start + m;
      if (status[p] != FieldStatus::kOk) continue;
      float v[3];
      if (!interior_point(values, sy, sz, nodes, cell[m], cache, v)) {
        status[p] = interpolate_cells(Interpolation::kCubic, grid, values, capacity, cell[m], v);
        if (status[p] != FieldStatus::kOk) continue;
      }
      unfold_field(grid, fold[m], x[p], y[p], z[p], v);
      b[p] = FieldVector{v[0], v[1], v[2]};
    }
  }
}

#ifdef FIELDSCAN_LANES
using namespace lanes;  // NOLINT: the vector vocabulary of this file

// One axis as the lanes see it: the raw coordinate must lie in
// [low, high_raw], the folded one must not exceed `high` (evaluate()'s
// limit tests), and the stencil of its cell must lie inside the `nodes`.
struct StencilAxis {
  double origin, step, last;
  float low, high_raw, high;
  std::int32_t nodes;
};

// False when the lanes cannot locate the points of the map: an axis whose
// step is not a positive number or whose origin is not finite, or one of
// fewer than four nodes (no interior stencil).  On a sector map the lanes
// locate the folded offsets, whose raw limits the fold has tested.
bool make_axes(const GridSize& s, std::int64_t capacity, StencilAxis axes[3]) {
  const std::int64_t nz = held_planes(s, capacity);
  const float step[3] = {s.DX, s.DY, s.DZ}, origin[3] = {s.XMIN, s.YMIN, s.ZMIN};
  for (int a = 0; a < 3; ++a) {
    if (!(step[a] > 0.0f) || !std::isfinite(step[a]) || !std::isfinite(origin[a])) return false;
  }
  if (s.NX < 4 || s.NY < 4 || nz < 4) return false;
  constexpr float kInf = std::numeric_limits<float>::infinity();
  axes[0] = StencilAxis{s.XMIN, s.DX, s.NX - 1.0, s.XLOW, kInf, s.XHIGH, s.NX};
  axes[1] = StencilAxis{s.YMIN, s.DY, s.NY - 1.0, s.YLOW, kInf, s.YHIGH, s.NY};
  axes[2] = StencilAxis{s.ZMIN,  s.DZ, static_cast<double>(nz - 1),  s.ZLOW,
                        s.ZHIGH, kInf, static_cast<std::int32_t>(nz)};
  if (std::fabs(s.ANGLE) < kHalfPi) {
    for (int a = 0; a < 3; ++a) axes[a].low = -kInf, axes[a].high_raw = kInf;
  }
  return true;
}

// One axis of four points: whether each lies inside an interior stencil
// on it, the lower node of its cell and the fraction beyond it.
struct StencilLanes {
  Ints ok;
  Ints lower;
  Doubles frac;
};

// The mirror fold (offset |p - origin| rounded once, folded coordinate
// origin + offset rounded once) and the cell by truncation of offset /
// step, as fold_point() and locate_cell() find them; on a sector map `p`
// is the folded offset itself.  A NaN or infinite coordinate fails one of
// the tests.
FIELDSCAN_INLINE StencilLanes stencil_lanes(Floats p, const StencilAxis& a, bool sector) {
  const Doubles origin = splat(a.origin), step = splat(a.step);
  const Floats offset = sector ? p : narrow(magnitude(widen(p) - origin));
  const Floats folded = narrow(origin + widen(offset));
  const Doubles off = widen(folded) - origin;
  const Doubles q = off / step;
  const Masks inside = (off > splat(0.0)) & (q < splat(a.last));
  const Ints lower = __builtin_convertvector(select(inside, q, splat(0.0)), Ints);
  const Doubles frac = (off - widen(lower) * step) / step;
  const Ints ok = (p >= splat(a.low)) & (p <= splat(a.high_raw)) & (folded <= splat(a.high)) &
                  (folded <= splat(FLT_MAX)) & narrow_mask(inside & (frac != splat(0.0))) &
                  (lower >= splat(1)) & (lower < splat(a.nodes - 2));
  return StencilLanes{ok, lower, frac};
}

// The located points of a block: per point whether the lanes found it
// inside an interior stencil, that stencil's first value and the fractions.
struct Stencils {
  std::int32_t ok[kLocateBlock];
  std::int64_t first[kLocateBlock];
  double f[3][kLocateBlock];
};

FIELDSCAN_INLINE void locate_stencils(const StencilAxis axes[3], std::int64_t sy, std::int64_t sz,
                                      const float* x, const float* y, const float* z, bool sector,
                                      Stencils& c) {
  for (std::size_t m = 0; m < kLocateBlock; m += kLanes) {
    const StencilLanes ax = stencil_lanes(load<Floats>(x + m), axes[0], sector);
    const StencilLanes ay = stencil_lanes(load<Floats>(y + m), axes[1], sector);
    const StencilLanes az = stencil_lanes(load<Floats>(z + m), axes[2], sector);
    const Ints ok = ax.ok & ay.ok & az.ok;
    std::memcpy(c.ok + m, &ok, sizeof ok);
    std::memcpy(c.f[0] + m, &ax.frac, sizeof ax.frac);
    std::memcpy(c.f[1] + m, &ay.frac, sizeof ay.frac);
    std::memcpy(c.f[2] + m, &az.frac, sizeof az.frac);
    for (std::size_t l = 0; l < kLanes; ++l) {
      c.first[m + l] = (az.lower[l] - 1) * sz + (ay.lower[l] - 1) * sy + 3 * (ax.lower[l] - 1);
    }
  }
}

// Asks the memory system for the 16 rows of each stencil found.
FIELDSCAN_INLINE void prefetch_stencils(const float values[], std::int64_t sy, std::int64_t sz,
                                        const Stencils& c) {
  for (std::size_t m = 0; m < kLocateBlock; ++m) {
    if (c.ok[m] == 0 || (m > 0 && c.first[m] == c.first[m - 1])) continue;
    for (int k = 0; k < 4; ++k) {
      for (int j = 0; j < 4; ++j) {
        const float* row = values + (c.first[m] + k * sz + j * sy);
        __builtin_prefetch(row);
        __builtin_prefetch(row + 11);
      }
    }
  }
}

// The sign bits that each axis's mirror plane reverses in each component
// when the raw point lies below it (as unfold_field() reverses them: index
// 1 the component normal to the plane, any other the two parallel to it).
struct Flips {
  float origin[3];
  std::uint32_t bits[3][3];  // axis, component
};

Flips make_flips(const GridSize& s) {
  Flips f{{s.XMIN, s.YMIN, s.ZMIN}, {}};
  const std::int32_t index[3] = {s.IDA, s.IDB, s.IDC};
  for (int a = 0; a < 3; ++a) {
    for (int c = 0; c < 3; ++c) f.bits[a][c] = (index[a] == 1) == (c == a) ? 0x80000000u : 0u;
  }
  return f;
}

FIELDSCAN_INLINE void mirror_signs(const Flips& f, const float p[3], float v[3]) {
  std::uint32_t sign[3] = {};
  for (int a = 0; a < 3; ++a) {
    if (p[a] < f.origin[a]) {
      for (int c = 0; c < 3; ++c) sign[c] ^= f.bits[a][c];
    }
  }
  for (int c = 0; c < 3; ++c) {
    std::uint32_t bits;
    std::memcpy(&bits, &v[c], sizeof bits);
    bits ^= sign[c];
    std::memcpy(&v[c], &bits, sizeof bits);
  }
}

// Takes the points from `first` on (at most kLocateBlock; a short last
// block copied into `tail` and filled up with NaN), locates them and asks
// for their nodes.
FIELDSCAN_INLINE void start_stencils(const StencilAxis axes[3], const float values[],
                                     std::int64_t sy, std::int64_t sz, std::size_t n,
                                     const float* x, const float* y, const float* z,
                                     std::size_t first, float (&tail)[3][kLocateBlock],
                                     Stencils& c) {
  const float* at[3] = {x + first, y + first, z + first};
  const std::size_t count = std::min(kLocateBlock, n - first);
  if (count < kLocateBlock) {
    for (int a = 0; a < 3; ++a) {
      std::fill(std::copy_n(at[a], count, tail[a]), tail[a] + kLocateBlock, NAN);
      at[a] = tail[a];
    }
  }
  locate_stencils(axes, sy, sz, at[0], at[1], at[2], false, c);
  prefetch_stencils(values, sy, sz, c);
}

// The points in blocks: one block located, and its nodes asked for, while
// the one before is interpolated.
FIELDSCAN_INLINE void lane_blocks(const GridSize& grid, const float values[], std::int64_t capacity,
                                  const StencilAxis axes[3], std::size_t n, const float x[],
                                  const float y[], const float z[], FieldVector b[],
                                  FieldStatus status[]) {
  const std::int64_t sy = 3 * static_cast<std::int64_t>(grid.NX);
  const std::int64_t sz = sy * grid.NY;
  Stencils cells[2];
  float tail[3][kLocateBlock];
  ColumnCache cache;
  const Flips flips = make_flips(grid);
  if (n > 0) start_stencils(axes, values, sy, sz, n, x, y, z, 0, tail, cells[0]);
  for (std::size_t first = 0, turn = 0; first < n; first += kLocateBlock, turn ^= 1) {
    if (first + kLocateBlock < n) {
      start_stencils(axes, values, sy, sz, n, x, y, z, first + kLocateBlock, tail, cells[turn ^ 1]);
    }
    const Stencils& c = cells[turn];
    for (std::size_t m = 0, count = std::min(kLocateBlock, n - first); m < count; ++m) {
      const std::size_t p = first + m;
      float v[3];
      if (c.ok[m] != 0 &&
          interior_sum(values + c.first[m], sy, sz, c.f[0][m], c.f[1][m], c.f[2][m], cache, v)) {
        const float at[3] = {x[p], y[p], z[p]};
        mirror_signs(flips, at, v);
        status[p] = FieldStatus::kOk;
      } else {
        status[p] = evaluate_cubic(grid, values, capacity, x[p], y[p], z[p], v);
        if (status[p] != FieldStatus::kOk) continue;
      }
      b[p] = FieldVector{v[0], v[1], v[2]};
    }
  }
}

// A block of a sector map's points: folded in lanes by fold_lanes.h (its
// own cells unused), then its stencils located in halves of kLocateBlock.
struct SectorBlock {
  Block fold;
  Stencils half[kBlock / kLocateBlock];
};

static_assert(kBlock % kLocateBlock == 0);

// Takes the points from `first` on (at most kBlock; a short last block
// copied into `tail` and filled up with NaN), folds them, locates their
// stencils and asks for their nodes.
FIELDSCAN_INLINE void start_sector(const Plan& plan, const GridSize& grid,
                                   const StencilAxis axes[3], const float values[], std::size_t n,
                                   const float* x, const float* y, const float* z,
                                   std::size_t first, float (&tail)[3][kBlock], SectorBlock& s) {
  Block& now = s.fold;
  const float* at[3] = {x + first, y + first, z + first};
  const std::size_t count = std::min(kBlock, n - first);
  if (count < kBlock) {
    for (int a = 0; a < 3; ++a) {
      std::fill(std::copy_n(at[a], count, tail[a]), tail[a] + kBlock, NAN);
      at[a] = tail[a];
    }
  }
  now.x = at[0], now.y = at[1], now.z = at[2];
  for (std::size_t m = 0; m < kBlock; m += kLanes) fold_offsets(plan, now, m);
  for (std::size_t m = 0; m < kBlock; m += kLanes) fold_angles(plan, now, m);
  for (std::size_t m = 0; m < kBlock; m += kLanes) fold_radius(grid, now, m);
  const std::int64_t sy = plan.row, sz = plan.plane;
  for (std::size_t h = 0; h < kBlock / kLocateBlock; ++h) {
    const std::size_t from = h * kLocateBlock;
    locate_stencils(axes, sy, sz, now.u + from, now.v + from, now.w + from, true, s.half[h]);
    prefetch_stencils(values, sy, sz, s.half[h]);
  }
}

// The interpolated field v (before the unfold) of point m of a sector
// block, or false with the point's status and field written as
// evaluate_cubic() gives them.  A point the lanes folded but found in no
// interior stencil takes evaluate_cubic()'s stages from its fold on.
FIELDSCAN_INLINE bool sector_field(const GridSize& grid, const float values[],
                                   std::int64_t capacity, const SectorBlock& s, std::size_t m,
                                   ColumnCache& cache, float v[3], FieldVector& b,
                                   FieldStatus& status) {
  const Stencils& c = s.half[m / kLocateBlock];
  const std::size_t i = m % kLocateBlock;
  const std::int64_t sy = 3 * static_cast<std::int64_t>(grid.NX), sz = sy * grid.NY;
  if (c.ok[i] != 0 &&
      interior_sum(values + c.first[i], sy, sz, c.f[0][i], c.f[1][i], c.f[2][i], cache, v)) {
    return true;
  }
  const Block& now = s.fold;
  if (now.folds.usable[m] != 0 && now.folds.scalar[m] == 0) {
    Fold fold = fold_of(now.folds, m);
    fold.u = now.u[m], fold.v = now.v[m], fold.w = now.w[m];
    AxisCell cell[3];
    status = locate_cell(grid, capacity, fold, cell[0], cell[1], cell[2]);
    if (status == FieldStatus::kOk) {
      status = interpolate_cells(Interpolation::kCubic, grid, values, capacity, cell, v);
    }
    return status == FieldStatus::kOk;
  }
  float one[3];
  status = evaluate_cubic(grid, values, capacity, now.x[m], now.y[m], now.z[m], one);
  if (status == FieldStatus::kOk) b = FieldVector{one[0], one[1], one[2]};
  return false;
}

// The `count` points of a sector block: interpolated one by one, then
// unfolded four at a time in lanes, or by unfold_field() where the lanes
// are not sure of the rounding.
FIELDSCAN_INLINE void finish_sector(const Plan& plan, const GridSize& grid, const float values[],
                                    std::int64_t capacity, const SectorBlock& s, std::size_t count,
                                    ColumnCache& cache, FieldVector b[], FieldStatus status[]) {
  const Block& now = s.fold;
  std::int32_t left[kBlock];
  for (std::size_t m = 0; m < count; m += kLanes) {
    float v[3][kLanes] = {};
    bool field[kLanes] = {};
    for (std::size_t l = 0; l < kLanes && m + l < count; ++l) {
      float f[3];
      field[l] = sector_field(grid, values, capacity, s, m + l, cache, f, b[m + l], status[m + l]);
      for (int e = 0; e < 3; ++e) v[e][l] = field[l] ? f[e] : 0.0f;
    }
    Floats turned[3] = {load<Floats>(v[0]), load<Floats>(v[1]), load<Floats>(v[2])};
    unfold_group(plan, now.folds, m, now.x, now.y, now.z, turned, left);
    for (std::size_t l = 0; l < kLanes; ++l) {
      if (!field[l]) continue;
      float f[3] = {turned[0][l], turned[1][l], turned[2][l]};
      const std::size_t p = m + l;
      if (left[p] != 0) unfold_field(grid, fold_of(now.folds, p), now.x[p], now.y[p], now.z[p], f);
      b[p] = FieldVector{f[0], f[1], f[2]};
      status[p] = FieldStatus::kOk;
    }
  }
}

// The points of a sector map in blocks: one block folded and located, and
// its nodes asked for, while the one before is interpolated and unfolded.
FIELDSCAN_INLINE void sector_blocks(const GridSize& grid, const float values[],
                                    std::int64_t capacity, const StencilAxis axes[3], std::size_t n,
                                    const float x[], const float y[], const float z[],
                                    FieldVector b[], FieldStatus status[]) {
  Plan plan;
  if (!make_plan(grid, capacity, plan)) {
    return point_blocks(grid, values, capacity, n, x, y, z, b, status);
  }
  SectorBlock blocks[2];
  float tail[3][kBlock];
  ColumnCache cache;
  if (n > 0) start_sector(plan, grid, axes, values, n, x, y, z, 0, tail, blocks[0]);
  for (std::size_t first = 0, turn = 0; first < n; first += kBlock, turn ^= 1) {
    if (first + kBlock < n) {
      start_sector(plan, grid, axes, values, n, x, y, z, first + kBlock, tail, blocks[turn ^ 1]);
    }
    finish_sector(plan, grid, values, capacity, blocks[turn], std::min(kBlock, n - first), cache,
                  b + first, status + first);
  }
}

#endif

FIELDSCAN_INLINE void run_blocks(const GridSize& grid, const float values[], std::int64_t capacity,
                                 std::size_t n, const float x[], const float y[], const float z[],
                                 FieldVector b[], FieldStatus status[]) {
#ifdef FIELDSCAN_LANES
  StencilAxis axes[3];
  if (make_axes(grid, capacity, axes)) {
    if (std::fabs(grid.ANGLE) < kHalfPi) {
      return sector_blocks(grid, values, capacity, axes, n, x, y, z, b, status);
    }
    return lane_blocks(grid, values, capacity, axes, n, x, y, z, b, status);
  }
#endif
  point_blocks(grid, values, capacity, n, x, y, z, b, status);
}

void run_plain(const GridSize& grid, const float values[], std::int64_t capacity, std::size_t n,
               const float x[], const float y[], const float z[], FieldVector b[],
               FieldStatus status[]) {
  run_blocks(grid, values, capacity, n, x, y, z, b, status);
}

#ifdef FIELDSCAN_LANES
__attribute__((target("avx512f,avx512vl,avx512bw,avx512dq"))) void run_avx512(
    const GridSize& grid, const float values[], std::int64_t capacity, std::size_t n,
    const float x[], const float y[], const float z[], FieldVector b[], FieldStatus status[]) {
  run_blocks(grid, values, capacity, n, x, y, z, b, status);
}

__attribute__((target("avx2"))) void run_avx2(const GridSize& grid, const float values[],
                                              std::int64_t capacity, std::size_t n, const float x[],
                                              const float y[], const float z[], FieldVector b[],
                                              FieldStatus status[]) {
  run_blocks(grid, values, capacity, n, x, y, z, b, status);
}
#endif

std::vector<BatchVariant> usable_variants() {
  std::vector<BatchVariant> variants;
#ifdef FIELDSCAN_LANES
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
      __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq")) {
    variants.push_back({"avx512", run_avx512});
  }
  if (__builtin_cpu_supports("avx2")) variants.push_back({"avx2", run_avx2});
#endif
  variants.push_back({"plain", run_plain});
  return variants;
}

}  // namespace

std::span<const BatchVariant> cubic_batch_variants() {
  static const std::vector<BatchVariant> variants = usable_variants();
  return variants;
}

void evaluate_cubic_many(const GridSize& grid, const float values[], std::int64_t capacity,
                         std::size_t n, const float x[], const float y[], const float z[],
                         FieldVector b[], FieldStatus status[]) {
  static const BatchFunction best = cubic_batch_variants().front().run;
  best(grid, values, capacity, n, x, y, z, b, status);
}

}  // namespace fieldscan
