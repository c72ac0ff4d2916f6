// The location of a batch's points in the grid, four at a time: what the
// vector code needs of a map, the cell of each point along each axis, the
// requests for the nodes a block of points will read and the reading of
// them.  The field batch (batch.cc) and the gradient batch
// (gradient_lanes.cc) both locate their points here, with the operations
// of the one-point evaluation in its order, so that each lane finds the
// cell and the fractions that evaluate() finds.
#pragma once

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "fieldscan/field/evaluate.h"
#include "fieldscan/field/field_status.h"
#include "fieldscan/field/lanes.h"
#include "fieldscan/mapfile/grid.h"

#ifdef FIELDSCAN_LANES

namespace fieldscan::lanes {

// Points taken through the stages together: small enough for the arrays of
// two blocks to stay in the first-level cache.
constexpr std::size_t kBlock = 64;

// One axis of the map, as the lanes use it.  The raw coordinate must lie in
// [low, high_raw] (evaluate()'s tests of the raw point), the folded one
// must not exceed `high` (its tests of the folded point) and must lie short
// of the last node held.  `slope` is the derivative of a node's weight
// along the axis, 1 / step.
struct AxisPlan {
  double origin, step, last, slope;
  float low, high_raw, high;
};

// What the sector fold and unfold of the lanes need: the raw limits that
// the fold tests, the sector angle and the components each mirror plane
// reverses (applied after the sector unfold).
struct SectorPlan {
  static constexpr int kLines = 64;
  float xlow, ylow, zlow, zhigh;
  float angle;  // |ANGLE|, below pi/2
  // flip[n][c]: -1 where the mirror plane normal to axis n reverses
  // component c, else 0.
  std::int32_t flip[3][3];
  // cos and sin of the angles 2 a k of the sector lines a point's angle
  // can be folded about (a the sector angle, k below `lines`), from the C
  // library.
  std::int32_t lines;
  double cos_line[kLines], sin_line[kLines];
};

// The sector lines of `s` (its angle set): k from 0 to the nearest of the
// largest polar angle over 2a, at most kLines of them.
inline void list_sector_lines(SectorPlan& s) {
  s.lines = 1, s.cos_line[0] = 1.0, s.sin_line[0] = 0.0;
  if (s.angle == 0.0f) return;
  const double a = s.angle;
  const double last = std::round((static_cast<double>(kHalfPi) * 0.5) / a);
  s.lines = static_cast<std::int32_t>(std::min(last + 1.0, double{SectorPlan::kLines}));
  for (std::int32_t k = 1; k < s.lines; ++k) {
    const double line = a * (2.0 * k);
    s.cos_line[k] = std::cos(line), s.sin_line[k] = std::sin(line);
  }
}

// What the lanes need of the map, taken once per batch.
struct Plan {
  bool sector;  // the map's sector symmetry may fold a point
  AxisPlan x, y, z;
  SectorPlan fold;          // on a sector map
  std::int32_t row, plane;  // values per grid row and per plane
  std::int32_t flip[3][3];  // as SectorPlan::flip; all 0 on a sector map
};

inline bool finite_positive(float step) { return step > 0.0f && std::isfinite(step); }

inline AxisPlan axis_plan(float origin, float step, double last, float low, float high) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  return AxisPlan{origin, step, last, 1.0 / static_cast<double>(step), low, kInf, high};
}

// The sector part of the plan: the folds test the raw limits, and the
// unfold applies the mirror signs.
inline void plan_sector(const GridSize& s, Plan& p) {
  p.fold.xlow = s.XLOW, p.fold.ylow = s.YLOW, p.fold.zlow = s.ZLOW, p.fold.zhigh = s.ZHIGH;
  p.fold.angle = std::fabs(s.ANGLE);
  list_sector_lines(p.fold);
  for (int n = 0; n < 3; ++n) {
    for (int c = 0; c < 3; ++c) p.fold.flip[n][c] = p.flip[n][c], p.flip[n][c] = 0;
  }
  constexpr float kInf = std::numeric_limits<float>::infinity();
  for (AxisPlan* a : {&p.x, &p.y, &p.z}) a->low = -kInf, a->high_raw = kInf;
}

// False when no point of the map is ordinary: an axis with fewer than two
// nodes held or a step that is not a positive number, or an origin that is
// not finite.  On a sector map the lanes take the points as the folds leave
// them, whose raw limits are tested already.
inline bool make_plan(const GridSize& s, std::int64_t capacity, Plan& p) {
  if (s.NX < 2 || s.NY < 2 || capacity <= 0) return false;
  if (!finite_positive(s.DX) || !finite_positive(s.DY) || !finite_positive(s.DZ)) return false;
  if (!std::isfinite(s.XMIN) || !std::isfinite(s.YMIN) || !std::isfinite(s.ZMIN)) return false;
  const std::int64_t per_plane = static_cast<std::int64_t>(s.NX) * s.NY;  // < 2^62
  const std::int64_t nz = held_planes(s, capacity);
  if (nz < 2) return false;
  // Cells are found by 32-bit arithmetic: maps of 2^31 values and more (8
  // GiB) are evaluated point by point.
  if (3 * per_plane * nz > std::numeric_limits<std::int32_t>::max()) return false;
  p.row = 3 * s.NX;
  p.plane = static_cast<std::int32_t>(3 * per_plane);
  constexpr float kInf = std::numeric_limits<float>::infinity();
  p.sector = std::fabs(s.ANGLE) < kHalfPi;
  p.x = axis_plan(s.XMIN, s.DX, s.NX - 1.0, s.XLOW, s.XHIGH);
  p.y = axis_plan(s.YMIN, s.DY, s.NY - 1.0, s.YLOW, s.YHIGH);
  p.z = axis_plan(s.ZMIN, s.DZ, static_cast<double>(nz - 1), s.ZLOW, kInf);
  p.z.high_raw = s.ZHIGH;
  // Index 1 reverses the component normal to the plane, any other index
  // the two parallel to it.
  const std::int32_t index[3] = {s.IDA, s.IDB, s.IDC};
  for (int n = 0; n < 3; ++n) {
    for (int c = 0; c < 3; ++c) p.flip[n][c] = (index[n] == 1) == (c == n) ? -1 : 0;
  }
  if (p.sector) plan_sector(s, p);
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
// lower node, as evaluate() finds them.  `p` is the raw coordinate, whose
// offset is |p - origin| rounded once, or on a sector map the folded
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

// axis_lanes() of the last four coordinates seen, which points along a
// scan line share on two of the three axes.
class AxisCache {
 public:
  FIELDSCAN_INLINE const AxisLanes& operator()(Floats p, const AxisPlan& a, bool sector) {
    if (!valid_ || !same_bits(p, p_)) {
      lanes_ = axis_lanes(p, a, sector);
      p_ = p;
      valid_ = true;
    }
    return lanes_;
  }

 private:
  bool valid_ = false;
  Floats p_{};
  AxisLanes lanes_{};
};

struct Caches {
  AxisCache x, y, z;
};

// The cells of one block: per point whether it may be ordinary, the index
// of its cell's first value and the fractions towards the next nodes along
// x, y and z.  A point that is not ordinary has node 0 on the axes where it
// lies outside, so its cell can still be read safely.
struct Cells {
  std::int32_t ordinary[kBlock];  // -1 or 0
  std::int32_t left[kBlock];      // -1: the sector unfold is left to the one-point stages
  std::int32_t base[kBlock];
  double f[3][kBlock];
};

FIELDSCAN_INLINE void locate_block(const Plan& p, const float* x, const float* y, const float* z,
                                   Caches& caches, Cells& c) {
  for (std::size_t m = 0; m < kBlock; m += kLanes) {
    const AxisLanes& ax = caches.x(load<Floats>(x + m), p.x, p.sector);
    const AxisLanes& ay = caches.y(load<Floats>(y + m), p.y, p.sector);
    const AxisLanes& az = caches.z(load<Floats>(z + m), p.z, p.sector);
    const Ints ok = ax.ok & ay.ok & az.ok;
    std::memcpy(c.ordinary + m, &ok, sizeof ok);
    std::memcpy(c.f[0] + m, &ax.frac, sizeof ax.frac);
    std::memcpy(c.f[1] + m, &ay.frac, sizeof ay.frac);
    std::memcpy(c.f[2] + m, &az.frac, sizeof az.frac);
    const Ints base = az.node * splat(p.plane) + ay.node * splat(p.row) + ax.node * splat(3);
    std::memcpy(c.base + m, &base, sizeof base);
  }
}

// Asks the memory system for the four pairs of nodes each cell will read.
FIELDSCAN_INLINE void prefetch_block(const Plan& p, const float values[], const Cells& c) {
  for (std::size_t m = 0; m < kBlock; ++m) {
    if (m > 0 && c.base[m] == c.base[m - 1]) continue;  // along a line, one cell after another
    const float* first = values + c.base[m];
    for (const float* at : {first, first + p.row, first + p.plane, first + p.plane + p.row}) {
      __builtin_prefetch(at);
      __builtin_prefetch(at + 5);
    }
  }
}

// The two nodes of one grid row of four different cells (the row of cell l
// starts `offset` values after base[l]), one vector per component and node
// over the cells.  The six consecutive values of the row are read as two
// overlapping fours, which never reach past the second node, and turned
// from one point per vector into one component per vector.
FIELDSCAN_INLINE void read_row(const float values[], const std::int32_t* base, std::int64_t offset,
                               Floats first[3], Floats second[3]) {
  Floats low[kLanes], high[kLanes];
  for (std::size_t l = 0; l < kLanes; ++l) {
    const float* at = values + base[l] + offset;
    low[l] = load<Floats>(at);       // first node: c1 c2 c3, second node: c1
    high[l] = load<Floats>(at + 2);  // first node: c3, second node: c1 c2 c3
  }
  const Floats a01 = __builtin_shufflevector(low[0], low[1], 0, 4, 1, 5);
  const Floats a23 = __builtin_shufflevector(low[2], low[3], 0, 4, 1, 5);
  const Floats b01 = __builtin_shufflevector(low[0], low[1], 2, 6, 3, 7);
  const Floats b23 = __builtin_shufflevector(low[2], low[3], 2, 6, 3, 7);
  const Floats c01 = __builtin_shufflevector(high[0], high[1], 2, 6, 3, 7);
  const Floats c23 = __builtin_shufflevector(high[2], high[3], 2, 6, 3, 7);
  first[0] = __builtin_shufflevector(a01, a23, 0, 1, 4, 5);
  first[1] = __builtin_shufflevector(a01, a23, 2, 3, 6, 7);
  first[2] = __builtin_shufflevector(b01, b23, 0, 1, 4, 5);
  second[0] = __builtin_shufflevector(b01, b23, 2, 3, 6, 7);
  second[1] = __builtin_shufflevector(c01, c23, 0, 1, 4, 5);
  second[2] = __builtin_shufflevector(c01, c23, 2, 3, 6, 7);
}

// The instruction sets the batches are compiled for, as this processor
// has them.
inline bool has_avx512() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
         __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq");
}

inline bool has_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

// A batch's run over its points, which writes one Out per point.
template <class Out>
using RunBlocks = void (*)(const GridSize& grid, const float values[], std::int64_t capacity,
                           std::size_t n, const float x[], const float y[], const float z[],
                           Out out[], FieldStatus status[]);

// `Blocks` (always inlined) compiled for one instruction set.
template <class Out, RunBlocks<Out> Blocks>
__attribute__((target("avx512f,avx512vl,avx512bw,avx512dq"))) void on_avx512(
    const GridSize& grid, const float values[], std::int64_t capacity, std::size_t n,
    const float x[], const float y[], const float z[], Out out[], FieldStatus status[]) {
  Blocks(grid, values, capacity, n, x, y, z, out, status);
}

template <class Out, RunBlocks<Out> Blocks>
__attribute__((target("avx2"))) void on_avx2(const GridSize& grid, const float values[],
                                             std::int64_t capacity, std::size_t n, const float x[],
                                             const float y[], const float z[], Out out[],
                                             FieldStatus status[]) {
  Blocks(grid, values, capacity, n, x, y, z, out, status);
}

// Adds to `variants` (name and function) the versions of `Blocks` this
// processor can run, fastest first.
template <class Out, RunBlocks<Out> Blocks, class Variant>
void add_lane_variants(std::vector<Variant>& variants) {
  if (has_avx512()) variants.push_back({"avx512", on_avx512<Out, Blocks>});
  if (has_avx2()) variants.push_back({"avx2", on_avx2<Out, Blocks>});
}

}  // namespace fieldscan::lanes

#endif
