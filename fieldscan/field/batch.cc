// Field evaluation of many points at once.
//
// evaluate() takes one point through every stage, with a branch for each
// special case.  Most points of a batch are ordinary: the map has no sector
// fold to make, the folded point lies inside a grid cell (not on or beyond
// the last node plane of an axis), and no corner of the cell comes near the
// unmeasured mark.  For those points the stages reduce to straight-line
// arithmetic, which runs here on four points at a time in vector registers,
// a block of points after another.  Every other point goes to evaluate().
//
// Each lane sees the same IEEE operations on the same operands in the same
// order as evaluate() performs them: vector units round exactly as scalar
// ones do, so the results are the same bits.  Where evaluate() branches on
// a value (a corner of weight 0 is left out of the sums), the lanes compute
// both ways and select the one evaluate() takes.
//
// The vector code is compiled for the instruction sets that have the
// operations it needs (x86-64 with AVX2, and with AVX-512), and chosen when
// the processor has them; elsewhere every point goes to evaluate().
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

#include "fieldscan/field/evaluate.h"
#include "fieldscan/field/fold_lanes.h"
#include "fieldscan/field/lanes.h"
#include "fieldscan/field/locate_lanes.h"
#include "fieldscan/field/sector_lanes.h"
#include "fieldscan/field/unfold_lanes.h"
#include "fieldscan/mapfile/node.h"

namespace fieldscan {
namespace {

void point_by_point(const GridSize& grid, const float values[], std::int64_t capacity,
                    std::size_t n, const float x[], const float y[], const float z[],
                    FieldVector b[], FieldStatus status[]) {
  for (std::size_t m = 0; m < n; ++m) {
    float v[3];
    status[m] = evaluate(grid, values, capacity, x[m], y[m], z[m], v);
    if (status[m] == FieldStatus::kOk) b[m] = FieldVector{v[0], v[1], v[2]};
  }
}

#ifdef FIELDSCAN_LANES
#define FIELDSCAN_VECTOR_BATCH 1

using namespace lanes;  // NOLINT: the vector vocabulary of this file

// The eight corners of four cells, one vector per component and corner,
// widened, and the lanes where some corner has all three components above
// the unmeasured limit, whatever its weight: those points go to evaluate(),
// which knows which corners count.
struct Corners {
  Doubles b[8][3];
  Masks near_unmeasured;
};

// The smallest of a node's components is above the limit exactly when all
// three are; a NaN component never is, and never displaces a larger value
// already taken.
FIELDSCAN_INLINE void find_near_unmeasured(Corners& k) {
  const auto smaller = [](Doubles a, Doubles b) { return select(a < b, a, b); };
  Doubles most = splat(-std::numeric_limits<double>::infinity());
  for (int e = 0; e < 8; ++e) {
    const Doubles least = smaller(k.b[e][0], smaller(k.b[e][1], k.b[e][2]));
    most = select(least > most, least, most);
  }
  k.near_unmeasured = most > splat(static_cast<double>(kUnmeasuredLimit));
}

// The value offsets of the four grid rows of a cell, in the order y, z:
// (0, 0), (0, 1), (1, 0), (1, 1).  Corners e and e + 4 are the two x
// neighbours on row e.
FIELDSCAN_INLINE void row_offsets(const Plan& p, std::int64_t offset[4]) {
  offset[0] = 0, offset[1] = p.plane, offset[2] = p.row, offset[3] = p.row + p.plane;
}

// The corners of four different cells, row by row.
FIELDSCAN_INLINE void read_corners(const Plan& p, const float values[], const std::int32_t* base,
                                   Corners& k) {
  std::int64_t offset[4];
  row_offsets(p, offset);
  for (int e = 0; e < 4; ++e) {
    Floats first[3], second[3];
    read_row(values, base, offset[e], first, second);
    for (int c = 0; c < 3; ++c) k.b[e][c] = widen(first[c]), k.b[e + 4][c] = widen(second[c]);
  }
  find_near_unmeasured(k);
}

// The four nodes of one x face of a cell (the grid rows in the order of
// row_offsets()), the same in every lane, widened, and whether one of them
// has all three components above the unmeasured limit.  A cell is its face
// at the lower x node and the one at the next.
struct Face {
  Doubles b[4][3];
  Masks near_unmeasured;
};

FIELDSCAN_INLINE void read_face(const Plan& p, const float values[], std::int32_t first, Face& f) {
  std::int64_t offset[4];
  row_offsets(p, offset);
  const Doubles limit = splat(static_cast<double>(kUnmeasuredLimit));
  Masks near{};
  for (int e = 0; e < 4; ++e) {
    const float* at = values + first + offset[e];
    for (int c = 0; c < 3; ++c) f.b[e][c] = splat(static_cast<double>(at[c]));
    near |= (f.b[e][0] > limit) & (f.b[e][1] > limit) & (f.b[e][2] > limit);
  }
  f.near_unmeasured = near;
}

// The faces last read: along a line in x, one cell after another shares a
// face with the one before, and four consecutive points lie in one cell or
// in two neighbours.  The face handed out last is never the one replaced,
// so that the two faces of a cell can be held at once.
class FaceCache {
 public:
  FIELDSCAN_INLINE const Face& get(const Plan& p, const float values[], std::int32_t first) {
    for (int slot = 0; slot < kSlots; ++slot) {
      if (first_[slot] == first) return faces_[last_ = slot];
    }
    if (next_ == last_) next_ = (next_ + 1) % kSlots;
    read_face(p, values, first, faces_[next_]);
    first_[next_] = first;
    last_ = next_;
    next_ = (next_ + 1) % kSlots;
    return faces_[last_];
  }

 private:
  static constexpr int kSlots = 4;
  std::int32_t first_[kSlots] = {-1, -1, -1, -1};
  int last_ = 0, next_ = 0;
  Face faces_[kSlots];
};

// The weighted sums of the corners in evaluate()'s order, from -0.0.  With
// `skip_zero`, a corner of weight 0 is left out as evaluate() leaves it out
// (adding its +0.0 or -0.0 product could change the sign of a zero sum);
// without, every weight must be non-zero.
template <bool skip_zero>
FIELDSCAN_INLINE void weighted_sums(const Doubles weight[8], const Doubles (*low)[3],
                                    const Doubles (*high)[3], Doubles sum[3]) {
  // Three named sums rather than an array, so that they stay in registers
  // whether or not the compiler unrolls the loop.
  Doubles s1 = splat(-0.0), s2 = splat(-0.0), s3 = splat(-0.0);
  for (int e = 0; e < 8; ++e) {
    const Doubles w = weight[e];
    const Doubles* b = e < 4 ? low[e] : high[e - 4];
    const Doubles t1 = s1 + w * b[0];
    const Doubles t2 = s2 + w * b[1];
    const Doubles t3 = s3 + w * b[2];
    if (skip_zero) {
      const Masks used = w != splat(0.0);
      s1 = select(used, t1, s1), s2 = select(used, t2, s2), s3 = select(used, t3, s3);
    } else {
      s1 = t1, s2 = t2, s3 = t3;
    }
  }
  sum[0] = s1, sum[1] = s2, sum[2] = s3;
}

// The sums of the corners `low` (the first four) and `high` (the last).
FIELDSCAN_INLINE void sums(bool no_zero, const Doubles weight[8], const Doubles (*low)[3],
                           const Doubles (*high)[3], Doubles sum[3]) {
  if (no_zero) {
    weighted_sums<false>(weight, low, high, sum);
  } else {
    weighted_sums<true>(weight, low, high, sum);
  }
}

// The sums over the cell whose first value is `first`, and whether it is
// near the unmeasured mark.
FIELDSCAN_INLINE Masks cell_sums(const Plan& p, const float values[], FaceCache& cache,
                                 std::int32_t first, bool no_zero, const Doubles weight[8],
                                 Doubles sum[3]) {
  const Face& low = cache.get(p, values, first);
  const Face& high = cache.get(p, values, first + 3);
  sums(no_zero, weight, low.b, high.b, sum);
  return low.near_unmeasured | high.near_unmeasured;
}

// The sums of four points whose cells start at base_at[0..4), and the lanes
// near the unmeasured mark: one cell, two neighbours along a line, or four
// cells of their own.
FIELDSCAN_INLINE Masks group_sums(const Plan& p, const float values[], FaceCache& cache,
                                  const std::int32_t* base_at, bool no_zero,
                                  const Doubles weight[8], Doubles sum[3]) {
  const Ints base = load<Ints>(base_at);
  const Ints in_last = base == splat(base[3]);
  Masks near_unmeasured;
  if (none(~in_last)) {
    near_unmeasured = cell_sums(p, values, cache, base[3], no_zero, weight, sum);
  } else if (none(~in_last & (base != splat(base[0])))) {
    // Two cells (a line crossing a cell face): the sums over the corners
    // of each, every lane taking those of its own cell.  Each lane's sum
    // is the same either way; summing twice costs less than assembling
    // one set of corners lane by lane.
    const Masks take_last{in_last[0], in_last[1], in_last[2], in_last[3]};
    Doubles other[3];
    const Masks near_first = cell_sums(p, values, cache, base[0], no_zero, weight, other);
    const Masks near_last = cell_sums(p, values, cache, base[3], no_zero, weight, sum);
    for (int i = 0; i < 3; ++i) sum[i] = select(take_last, sum[i], other[i]);
    near_unmeasured = select(take_last, near_last, near_first);
  } else {
    Corners own;
    read_corners(p, values, base_at, own);
    sums(no_zero, weight, own.b, own.b + 4, sum);
    near_unmeasured = own.near_unmeasured;
  }
  return near_unmeasured;
}

// Four fields, one vector per component, written as four FieldVectors.
FIELDSCAN_INLINE void store_fields(const Floats v[3], FieldVector* b) {
  static_assert(sizeof(FieldVector) == 3 * sizeof(float));
  const Floats t = __builtin_shufflevector(v[0], v[1], 0, 4, 1, 5);      // x0 y0 x1 y1
  const Floats u = __builtin_shufflevector(v[0], v[1], 2, 6, 3, 7);      // x2 y2 x3 y3
  const Floats w = __builtin_shufflevector(t, v[2], 3, 5, 3, 5);         // y1 z1 y1 z1
  const Floats out[3] = {__builtin_shufflevector(t, v[2], 0, 1, 4, 2),   // x0 y0 z0 x1
                         __builtin_shufflevector(w, u, 0, 1, 4, 5),      // y1 z1 x2 y2
                         __builtin_shufflevector(v[2], u, 2, 6, 7, 3)};  // z2 x3 y3 z3
  // One store per register: copying the three as one block would have them
  // stored, reloaded across two stores and stored again, a stall each time.
  char* to = reinterpret_cast<char*>(b);
  for (int r = 0; r < 3; ++r) std::memcpy(to + r * sizeof(Floats), &out[r], sizeof(Floats));
}

// Trilinear interpolation and mirror signs (on a sector map, the unfold) of
// the ordinary points of a block, written to b and status; the points left
// for evaluate() are those whose `ordinary` is 0 on return, and on a sector
// map those whose `left` is set have the interpolated field to unfold.
FIELDSCAN_INLINE void interpolate_block(const Plan& p, const float values[], Cells& c,
                                        const SectorFolds& folds, const float* x, const float* y,
                                        const float* z, std::size_t n, FaceCache& cache,
                                        FieldVector b[], FieldStatus status[]) {
  for (std::size_t m = 0; m < n; m += kLanes) {
    Ints ordinary = load<Ints>(c.ordinary + m);
    if (none(ordinary)) continue;
    const Doubles fx = load<Doubles>(c.f[0] + m), fy = load<Doubles>(c.f[1] + m);
    const Doubles fz = load<Doubles>(c.f[2] + m);
    const Doubles gx = splat(1.0) - fx, gy = splat(1.0) - fy, gz = splat(1.0) - fz;
    const Doubles weight[8] = {gx * gy * gz, gx * gy * fz, gx * fy * gz, gx * fy * fz,
                               fx * gy * gz, fx * gy * fz, fx * fy * gz, fx * fy * fz};
    Masks zero{};
    for (const Doubles& w : weight) zero |= w == splat(0.0);
    const bool no_zero = none(narrow_mask(zero));
    Doubles sum[3];
    const Masks near_unmeasured = group_sums(p, values, cache, c.base + m, no_zero, weight, sum);
    // A sum that is not a number comes from evaluate() itself, so that which
    // of two NaN operands it carries is evaluate()'s choice too.
    ordinary &= ~narrow_mask(near_unmeasured | (sum[0] != sum[0]) | (sum[1] != sum[1]) |
                             (sum[2] != sum[2]));
    std::memcpy(c.ordinary + m, &ordinary, sizeof ordinary);
    // Mirror signs, judged on the raw point: each plane the point lies
    // below reverses its components.  (On a sector map they come with the
    // unfold, point by point.)
    const Ints below_x = load<Floats>(x + m) < splat(static_cast<float>(p.x.origin));
    const Ints below_y = load<Floats>(y + m) < splat(static_cast<float>(p.y.origin));
    const Ints below_z = load<Floats>(z + m) < splat(static_cast<float>(p.z.origin));
    Floats v[3];
    for (int e = 0; e < 3; ++e) {
      const Ints flip = (below_x & splat(p.flip[0][e])) ^ (below_y & splat(p.flip[1][e])) ^
                        (below_z & splat(p.flip[2][e]));
      const Floats s = narrow(sum[e]);
      v[e] = select(flip, -s, s);
    }
    if (p.sector) unfold_group(p, folds, m, x, y, z, v, c.left);
    if (m + kLanes <= n && none(~ordinary)) {
      store_fields(v, b + m);
      for (std::size_t l = 0; l < kLanes; ++l) status[m + l] = FieldStatus::kOk;
      continue;
    }
    for (std::size_t l = 0; l < kLanes && m + l < n; ++l) {
      if (ordinary[l] == 0) continue;
      b[m + l] = FieldVector{v[0][l], v[1][l], v[2][l]};
      status[m + l] = FieldStatus::kOk;
    }
  }
}

// The points in blocks (each_block()): the lanes interpolate each block,
// and the points they leave go through evaluate()'s stages, or on a sector
// map its unfold alone where only that was left.
FIELDSCAN_INLINE void run_blocks(const GridSize& grid, const float values[], std::int64_t capacity,
                                 std::size_t n, const float x[], const float y[], const float z[],
                                 FieldVector b[], FieldStatus status[]) {
  Plan plan;
  if (!make_plan(grid, capacity, plan)) {
    return point_by_point(grid, values, capacity, n, x, y, z, b, status);
  }
  FaceCache cell_cache;
  const auto finish = [&](Block & then, std::size_t first, std::size_t count)
      __attribute__((always_inline)) {
    interpolate_block(plan, values, then.cells, then.folds, then.x, then.y, then.z, count,
                      cell_cache, b + first, status + first);
    for (std::size_t m = 0; m < count; ++m) {
      const std::size_t at = first + m;
      if (then.cells.ordinary[m] == 0) {
        point_by_point(grid, values, capacity, 1, x + at, y + at, z + at, b + at, status + at);
      } else if (plan.sector) {
        if (then.cells.left[m] == 0) continue;
        float f[3] = {b[at].bx, b[at].by, b[at].bz};
        unfold_field(grid, fold_of(then.folds, m), x[at], y[at], z[at], f);
        b[at] = FieldVector{f[0], f[1], f[2]};
      } else if (m % kLanes == 0 && none(~load<Ints>(then.cells.ordinary + m))) {
        m += kLanes - 1;
      }
    }
  };
  each_block(plan, grid, values, n, x, y, z, finish);
}

#endif

std::vector<BatchVariant> usable_variants() {
  std::vector<BatchVariant> variants;
#ifdef FIELDSCAN_VECTOR_BATCH
  lanes::add_lane_variants<FieldVector, run_blocks>(variants);
#endif
  variants.push_back({"point by point", point_by_point});
  return variants;
}

}  // namespace

std::span<const BatchVariant> batch_variants() {
  static const std::vector<BatchVariant> variants = usable_variants();
  return variants;
}

void evaluate_many(const GridSize& grid, const float values[], std::int64_t capacity, std::size_t n,
                   const float x[], const float y[], const float z[], FieldVector b[],
                   FieldStatus status[]) {
  static const BatchFunction best = batch_variants().front().run;
  best(grid, values, capacity, n, x, y, z, b, status);
}

}  // namespace fieldscan
