// Field evaluation of many points at once.
//
// evaluate() takes one point through every stage, with a branch for each
// special case.  Most points of a batch are ordinary: the map has no sector
// fold to make, and the folded point lies inside a grid cell, not on or
// beyond the last node plane of an axis.  For those points the stages reduce
// to straight-line arithmetic, which runs here on a block of points at a
// time in loops the compiler turns into vector code.  Every other point goes
// to evaluate() itself.
//
// Each point of a block sees the same IEEE operations on the same operands
// in the same order as in evaluate(): vector units round exactly as scalar
// ones do, so the results are the same bits.  Where evaluate() branches on
// a value (a corner of weight 0 is skipped), the block computes both ways
// and selects; the selected value is the one evaluate() computes.
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "field/evaluate.h"
#include "mapfile/node.h"

namespace fieldscan {
namespace {

// Points taken through the stages together: small enough for the arrays of
// two blocks to stay in the first-level cache.
constexpr std::size_t kBlock = 64;

// Pi/2 in single precision: a map of at least this sector angle never folds
// (the same bound as evaluate()'s).
constexpr float kHalfPi = static_cast<float>(1.5707963267948966);

// What the blocks need of the map, taken once per batch.
struct Plan {
  float xmin, ymin, zmin;                        // grid origin
  float xlow, ylow, zlow;                        // lower limits of the raw point
  float xhigh, yhigh, zhigh;                     // upper limits
  double dx, dy, dz;                             // steps, widened
  double last_x, last_y, last_z;                 // index of the last node held per axis
  std::int64_t row, plane;                       // values per grid row and per plane
  std::int32_t flip_x[3], flip_y[3], flip_z[3];  // components a mirror plane reverses: -1
};

// The mirror plane of `index` normal to axis `normal` reverses the normal
// component (index 1) or the two parallel to it (any other index).
void mirror_components(std::int32_t index, int normal, std::int32_t flip[3]) {
  for (int c = 0; c < 3; ++c) flip[c] = (index == 1) == (c == normal) ? -1 : 0;
}

bool finite_positive(float step) { return step > 0.0f && std::isfinite(step); }

// False when no point of the map is ordinary: a sector map (its points may
// fold), or an axis with fewer than two nodes held or a step that is not a
// positive number, or an origin that is not finite.
bool make_plan(const GridSize& s, std::int64_t capacity, Plan& p) {
  if (std::fabs(s.ANGLE) < kHalfPi) return false;
  if (s.NX < 2 || s.NY < 2 || capacity <= 0) return false;
  if (!finite_positive(s.DX) || !finite_positive(s.DY) || !finite_positive(s.DZ)) return false;
  if (!std::isfinite(s.XMIN) || !std::isfinite(s.YMIN) || !std::isfinite(s.ZMIN)) return false;
  const std::int64_t per_plane = static_cast<std::int64_t>(s.NX) * s.NY;  // < 2^62
  const std::int64_t nz = std::min<std::int64_t>(s.NZ, (capacity / 3) / per_plane);
  if (nz < 2) return false;  // and so 3 * per_plane fits
  p.row = 3 * static_cast<std::int64_t>(s.NX);
  p.plane = 3 * per_plane;
  p.xmin = s.XMIN, p.ymin = s.YMIN, p.zmin = s.ZMIN;
  p.xlow = s.XLOW, p.ylow = s.YLOW, p.zlow = s.ZLOW;
  p.xhigh = s.XHIGH, p.yhigh = s.YHIGH, p.zhigh = s.ZHIGH;
  p.dx = s.DX, p.dy = s.DY, p.dz = s.DZ;
  p.last_x = s.NX - 1, p.last_y = s.NY - 1, p.last_z = static_cast<double>(nz - 1);
  mirror_components(s.IDA, 0, p.flip_x);
  mirror_components(s.IDB, 1, p.flip_y);
  mirror_components(s.IDC, 2, p.flip_z);
  return true;
}

// Four points side by side in vector registers.  The vector operations are
// the compiler's own (no instruction set is named), and each lane rounds as
// the scalar operation would.
constexpr std::size_t kLanes = 4;
typedef float Floats __attribute__((vector_size(16)));
typedef double Doubles __attribute__((vector_size(32)));
typedef std::int32_t Ints __attribute__((vector_size(16)));   // or the mask of a float test
typedef std::int64_t Masks __attribute__((vector_size(32)));  // the mask of a double test

// Every function on these types is inlined, so the warning that passing
// them by value would differ between instruction sets does not apply.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif
#define FIELDSCAN_CLONES \
  __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#define FIELDSCAN_LANE_INLINE [[gnu::always_inline]] inline

FIELDSCAN_LANE_INLINE Doubles splat(double v) { return Doubles{v, v, v, v}; }
FIELDSCAN_LANE_INLINE Floats splat_float(float v) { return Floats{v, v, v, v}; }
FIELDSCAN_LANE_INLINE Ints splat_int(std::int32_t v) { return Ints{v, v, v, v}; }
FIELDSCAN_LANE_INLINE Doubles widen(Floats v) { return __builtin_convertvector(v, Doubles); }
FIELDSCAN_LANE_INLINE Floats narrow(Doubles v) { return __builtin_convertvector(v, Floats); }
FIELDSCAN_LANE_INLINE Masks widen(Ints mask) { return __builtin_convertvector(mask, Masks); }
FIELDSCAN_LANE_INLINE Doubles select(Masks mask, Doubles yes, Doubles no) {
  return reinterpret_cast<Doubles>((reinterpret_cast<Masks>(yes) & mask) |
                                   (reinterpret_cast<Masks>(no) & ~mask));
}
FIELDSCAN_LANE_INLINE Floats select(Ints mask, Floats yes, Floats no) {
  return reinterpret_cast<Floats>((reinterpret_cast<Ints>(yes) & mask) |
                                  (reinterpret_cast<Ints>(no) & ~mask));
}
FIELDSCAN_LANE_INLINE Doubles magnitude(Doubles v) {
  return reinterpret_cast<Doubles>(reinterpret_cast<Masks>(v) &
                                   (Masks{} + std::int64_t{0x7fffffffffffffff}));
}

// The cells of one block: per point whether it is ordinary, the cell's
// lower node on each axis and the fractions towards the next nodes.  A
// point that is not ordinary has node 0 on the axes where it lies outside,
// so its cell can still be read safely.
struct Cells {
  bool ordinary[kBlock];
  std::int32_t i[kBlock], j[kBlock], k[kBlock];
  double fx[kBlock], fy[kBlock], fz[kBlock];
};

// Folded coordinate origin + |p - origin|: the offset and the sum each
// rounded once, as evaluate() forms them.
FIELDSCAN_LANE_INLINE Floats folded(Floats p, double origin) {
  const Floats off = narrow(magnitude(widen(p) - splat(origin)));
  return narrow(splat(origin) + widen(off));
}

// One axis of four points: the folded coordinate lies at or past the origin
// and short of the last node held.  The lower node by truncation and the
// fraction measured from it, as evaluate() finds them.
FIELDSCAN_LANE_INLINE Masks axis_cell(Floats p, double origin, double step, double last,
                                      std::int32_t lower[], double frac[]) {
  const Doubles off = widen(p) - splat(origin);
  const Doubles q = off / splat(step);
  const Masks inside = (off >= splat(0.0)) & (q < splat(last));
  const Ints node = __builtin_convertvector(select(inside, q, splat(0.0)), Ints);
  const Doubles f = (off - __builtin_convertvector(node, Doubles) * splat(step)) / splat(step);
  std::memcpy(lower, &node, sizeof node);
  std::memcpy(frac, &f, sizeof f);
  return inside;
}

FIELDSCAN_LANE_INLINE Floats load(const float* at) {
  Floats v;
  std::memcpy(&v, at, sizeof v);
  return v;
}

FIELDSCAN_LANE_INLINE Doubles load(const double* at) {
  Doubles v;
  std::memcpy(&v, at, sizeof v);
  return v;
}

FIELDSCAN_CLONES void locate_block(const Plan& p, const float* x, const float* y, const float* z,
                                   Cells& c) {
  for (std::size_t m = 0; m < kBlock; m += kLanes) {
    const Floats xs = load(x + m), ys = load(y + m), zs = load(z + m);
    const Floats xf = folded(xs, p.xmin), yf = folded(ys, p.ymin), zf = folded(zs, p.zmin);
    // The raw limits, then the folded point's upper limits; an infinite
    // offset gives an infinite folded coordinate, which fails its axis.
    Ints ok = (zs >= splat_float(p.zlow)) & (zs <= splat_float(p.zhigh)) &
              (xs >= splat_float(p.xlow)) & (ys >= splat_float(p.ylow));
    ok &= (xf <= splat_float(p.xhigh)) & (yf <= splat_float(p.yhigh)) &
          (xf <= splat_float(FLT_MAX)) & (yf <= splat_float(FLT_MAX));
    Masks inside = axis_cell(xf, p.xmin, p.dx, p.last_x, c.i + m, c.fx + m);
    inside &= axis_cell(yf, p.ymin, p.dy, p.last_y, c.j + m, c.fy + m);
    inside &= axis_cell(zf, p.zmin, p.dz, p.last_z, c.k + m, c.fz + m);
    inside &= widen(ok);
    for (std::size_t l = 0; l < kLanes; ++l) c.ordinary[m + l] = inside[l] != 0;
  }
}

// Asks the memory system for the four pairs of nodes each cell will read.
void prefetch_block(const Plan& p, const float values[], const Cells& c) {
  for (std::size_t m = 0; m < kBlock; ++m) {
    const float* first = values + (c.k[m] * p.plane + c.j[m] * p.row + 3 * std::int64_t{c.i[m]});
    for (const float* at : {first, first + p.row, first + p.plane, first + p.plane + p.row}) {
      __builtin_prefetch(at);
      __builtin_prefetch(at + 5);
    }
  }
}

// The results of one block: the field, and per point whether a corner of
// non-zero weight is unmeasured.
struct Results {
  float b[3][kBlock];
  bool unmeasured[kBlock];
};

// Trilinear interpolation and mirror signs, as evaluate() does them: the
// weights formed in the same order, a corner of weight 0 left out of the
// sums (they start from -0.0), an unmeasured corner of non-zero weight
// failing the point.  Every corner of every cell lies inside the held grid,
// so all eight are read.
FIELDSCAN_CLONES void interpolate_block(const Plan& p, const float values[], const Cells& c,
                                        const float* x, const float* y, const float* z,
                                        Results& r) {
  const std::int64_t sy = p.row, sz = p.plane;
  const std::int64_t corner[8] = {0, sz, sy, sy + sz, 3, 3 + sz, 3 + sy, 3 + sy + sz};
  const Floats limit = splat_float(kUnmeasuredLimit);
  for (std::size_t m = 0; m < kBlock; m += kLanes) {
    const Doubles fx = load(c.fx + m), fy = load(c.fy + m), fz = load(c.fz + m);
    const Doubles gx = splat(1.0) - fx, gy = splat(1.0) - fy, gz = splat(1.0) - fz;
    const Doubles weight[8] = {gx * gy * gz, gx * gy * fz, gx * fy * gz, gx * fy * fz,
                               fx * gy * gz, fx * gy * fz, fx * fy * gz, fx * fy * fz};
    const float* cell[kLanes];
    for (std::size_t l = 0; l < kLanes; ++l) {
      cell[l] = values + (c.k[m + l] * sz + c.j[m + l] * sy + 3 * std::int64_t{c.i[m + l]});
    }
    Doubles sum1 = splat(-0.0), sum2 = splat(-0.0), sum3 = splat(-0.0);
    Masks unmeasured{};
    for (int e = 0; e < 8; ++e) {
      const float* n[kLanes] = {cell[0] + corner[e], cell[1] + corner[e], cell[2] + corner[e],
                                cell[3] + corner[e]};
      const Floats b1{n[0][0], n[1][0], n[2][0], n[3][0]};
      const Floats b2{n[0][1], n[1][1], n[2][1], n[3][1]};
      const Floats b3{n[0][2], n[1][2], n[2][2], n[3][2]};
      const Doubles w = weight[e];
      const Masks used = w != splat(0.0);
      unmeasured |= used & widen((b1 > limit) & (b2 > limit) & (b3 > limit));
      sum1 = select(used, sum1 + w * widen(b1), sum1);
      sum2 = select(used, sum2 + w * widen(b2), sum2);
      sum3 = select(used, sum3 + w * widen(b3), sum3);
    }
    // Mirror signs, judged on the raw point: each plane the point lies
    // below reverses its components.
    const Ints below_x = load(x + m) < splat_float(p.xmin);
    const Ints below_y = load(y + m) < splat_float(p.ymin);
    const Ints below_z = load(z + m) < splat_float(p.zmin);
    const Floats sums[3] = {narrow(sum1), narrow(sum2), narrow(sum3)};
    for (int e = 0; e < 3; ++e) {
      const Ints flip = (below_x & splat_int(p.flip_x[e])) ^ (below_y & splat_int(p.flip_y[e])) ^
                        (below_z & splat_int(p.flip_z[e]));
      const Floats v = select(flip, -sums[e], sums[e]);
      std::memcpy(r.b[e] + m, &v, sizeof v);
    }
    for (std::size_t l = 0; l < kLanes; ++l) r.unmeasured[m + l] = unmeasured[l] != 0;
  }
}

}  // namespace

void evaluate_many(const GridSize& grid, const float values[], std::int64_t capacity, std::size_t n,
                   const float x[], const float y[], const float z[], FieldVector b[],
                   FieldStatus status[]) {
  const auto one = [&](std::size_t m) {
    float v[3];
    status[m] = evaluate(grid, values, capacity, x[m], y[m], z[m], v);
    if (status[m] == FieldStatus::kOk) b[m] = FieldVector{v[0], v[1], v[2]};
  };
  Plan plan;
  if (!make_plan(grid, capacity, plan)) {
    for (std::size_t m = 0; m < n; ++m) one(m);
    return;
  }
  // Blocks of points, copied so that the last one can be filled up with
  // points that are not ordinary (not a number).  The cells of one block are
  // located, and their nodes asked for, while the previous block is
  // interpolated.
  struct Block {
    float x[kBlock], y[kBlock], z[kBlock];
    Cells cells;
  };
  Block blocks[2];
  Results results;
  std::size_t previous = 0, previous_n = 0;
  for (std::size_t first = 0, turn = 0;; first += kBlock, turn ^= 1) {
    const std::size_t count = first < n ? std::min(kBlock, n - first) : 0;
    Block& now = blocks[turn];
    if (count > 0) {
      std::fill_n(std::copy_n(x + first, count, now.x), kBlock - count, NAN);
      std::fill_n(std::copy_n(y + first, count, now.y), kBlock - count, NAN);
      std::fill_n(std::copy_n(z + first, count, now.z), kBlock - count, NAN);
      locate_block(plan, now.x, now.y, now.z, now.cells);
      prefetch_block(plan, values, now.cells);
    }
    if (previous_n > 0) {
      const Block& then = blocks[turn ^ 1];
      interpolate_block(plan, values, then.cells, then.x, then.y, then.z, results);
      for (std::size_t m = 0; m < previous_n; ++m) {
        const std::size_t at = previous + m;
        if (!then.cells.ordinary[m]) {
          one(at);
        } else if (results.unmeasured[m]) {
          status[at] = FieldStatus::kUnmeasured;
        } else {
          b[at] = FieldVector{results.b[0][m], results.b[1][m], results.b[2][m]};
          status[at] = FieldStatus::kOk;
        }
      }
    }
    if (count == 0) break;
    previous = first, previous_n = count;
  }
}

}  // namespace fieldscan
