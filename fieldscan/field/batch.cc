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
#include "fieldscan/field/lanes.h"
#include "fieldscan/field/sector_lanes.h"
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

// Points taken through the stages together: small enough for the arrays of
// two blocks to stay in the first-level cache.
constexpr std::size_t kBlock = 64;

using namespace lanes;  // NOLINT: the vector vocabulary of this file

// One axis of the map, as the lanes use it.  The raw coordinate must lie in
// [low, high_raw] (evaluate()'s tests of the raw point), the folded one
// must not exceed `high` (its tests of the folded point) and must lie short
// of the last node held.
struct AxisPlan {
  double origin, step, last;
  float low, high_raw, high;
};

// What the sector fold and unfold of the lanes need: the raw limits that
// the fold tests, the sector angle and the components each mirror plane
// reverses (applied after the sector unfold).
struct SectorPlan {
  static constexpr int kLines = 64;
  float xlow, ylow, zlow, zhigh;
  float angle;  // |ANGLE|, below pi/2
  std::int32_t flip_x[3], flip_y[3], flip_z[3];
  // cos and sin of the angles 2 a k of the sector lines a point's angle
  // can be folded about (a the sector angle, k below `lines`), from the C
  // library.
  std::int32_t lines;
  double cos_line[kLines], sin_line[kLines];
};

// The sector lines of `s` (its angle set): k from 0 to the nearest of the
// largest polar angle over 2a, at most kLines of them.
void list_sector_lines(SectorPlan& s) {
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
  SectorPlan fold;
  std::int32_t row, plane;                       // values per grid row and per plane
  std::int32_t flip_x[3], flip_y[3], flip_z[3];  // components a mirror plane reverses: -1
};

// The mirror plane of `index` normal to axis `normal` reverses the normal
// component (index 1) or the two parallel to it (any other index).
void mirror_components(std::int32_t index, int normal, std::int32_t flip[3]) {
  for (int c = 0; c < 3; ++c) flip[c] = (index == 1) == (c == normal) ? -1 : 0;
}

bool finite_positive(float step) { return step > 0.0f && std::isfinite(step); }

// False when no point of the map is ordinary: an axis with fewer than two
// nodes held or a step that is not a positive number, or an origin that is
// not finite.  On a sector map the lanes take the points as evaluate()'s
// folds leave them, whose raw limits are tested already.
bool make_plan(const GridSize& s, std::int64_t capacity, Plan& p) {
  if (s.NX < 2 || s.NY < 2 || capacity <= 0) return false;
  if (!finite_positive(s.DX) || !finite_positive(s.DY) || !finite_positive(s.DZ)) return false;
  if (!std::isfinite(s.XMIN) || !std::isfinite(s.YMIN) || !std::isfinite(s.ZMIN)) return false;
  const std::int64_t per_plane = static_cast<std::int64_t>(s.NX) * s.NY;  // < 2^62
  const std::int64_t nz = std::min<std::int64_t>(s.NZ, (capacity / 3) / per_plane);
  if (nz < 2) return false;
  // Cells are found by 32-bit arithmetic: maps of 2^31 values and more (8
  // GiB) are evaluated point by point.
  if (3 * per_plane * nz > std::numeric_limits<std::int32_t>::max()) return false;
  p.row = 3 * s.NX;
  p.plane = static_cast<std::int32_t>(3 * per_plane);
  constexpr float kInf = std::numeric_limits<float>::infinity();
  p.sector = std::fabs(s.ANGLE) < kHalfPi;
  p.x = AxisPlan{s.XMIN, s.DX, s.NX - 1.0, s.XLOW, kInf, s.XHIGH};
  p.y = AxisPlan{s.YMIN, s.DY, s.NY - 1.0, s.YLOW, kInf, s.YHIGH};
  p.z = AxisPlan{s.ZMIN, s.DZ, static_cast<double>(nz - 1), s.ZLOW, s.ZHIGH, kInf};
  mirror_components(s.IDA, 0, p.flip_x);
  mirror_components(s.IDB, 1, p.flip_y);
  mirror_components(s.IDC, 2, p.flip_z);
  if (p.sector) {
    // The folds test the raw limits, and the unfold applies the mirror signs.
    p.fold.xlow = s.XLOW, p.fold.ylow = s.YLOW, p.fold.zlow = s.ZLOW, p.fold.zhigh = s.ZHIGH;
    p.fold.angle = std::fabs(s.ANGLE);
    list_sector_lines(p.fold);
    for (int c = 0; c < 3; ++c) {
      p.fold.flip_x[c] = p.flip_x[c], p.fold.flip_y[c] = p.flip_y[c];
      p.fold.flip_z[c] = p.flip_z[c];
      p.flip_x[c] = p.flip_y[c] = p.flip_z[c] = 0;
    }
    for (AxisPlan* a : {&p.x, &p.y, &p.z}) a->low = -kInf, a->high_raw = kInf;
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

// The cells of one block: per point whether it may be ordinary, the index
// of its cell's first value and the fractions towards the next nodes.  A
// point that is not ordinary has node 0 on the axes where it lies outside,
// so its cell can still be read safely.
struct Cells {
  std::int32_t ordinary[kBlock];  // -1 or 0
  std::int32_t left[kBlock];      // -1: the sector unfold is left to evaluate()'s stages
  std::int32_t base[kBlock];
  double fx[kBlock], fy[kBlock], fz[kBlock];
};

struct Caches {
  AxisCache x, y, z;
};

// The sector folds of a block's points, kept for their unfold.  Where the
// fold did not turn a point, cphi and sphi are 1 and 0 and the counts 0.
struct SectorFolds {
  std::int32_t usable[kBlock];  // -1 where the point passed the raw tests
  std::int32_t turned[kBlock];  // -1 where the sector fold applied
  std::int32_t scalar[kBlock];  // -1 where evaluate()'s own stages folded it
  float theta[kBlock], cphi[kBlock], sphi[kBlock];
  double angle[kBlock];             // the polar angle before its rounding
  double k_t[kBlock], k_n[kBlock];  // sector lines crossed
  double ct[kBlock], st[kBlock];    // cos and sin of theta, for the unfold
};

FIELDSCAN_INLINE void locate_block(const Plan& p, const float* x, const float* y, const float* z,
                                   Caches& caches, Cells& c) {
  for (std::size_t m = 0; m < kBlock; m += kLanes) {
    const AxisLanes& ax = caches.x(load<Floats>(x + m), p.x, p.sector);
    const AxisLanes& ay = caches.y(load<Floats>(y + m), p.y, p.sector);
    const AxisLanes& az = caches.z(load<Floats>(z + m), p.z, p.sector);
    const Ints ok = ax.ok & ay.ok & az.ok;
    std::memcpy(c.ordinary + m, &ok, sizeof ok);
    std::memcpy(c.fx + m, &ax.frac, sizeof ax.frac);
    std::memcpy(c.fy + m, &ay.frac, sizeof ay.frac);
    std::memcpy(c.fz + m, &az.frac, sizeof az.frac);
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

// The corners of four different cells.  The six consecutive values of a
// row's two nodes are read as two overlapping fours, which never reach past
// the second node, and turned from one point per vector into one component
// per vector.
FIELDSCAN_INLINE void read_corners(const Plan& p, const float values[], const std::int32_t* base,
                                   Corners& k) {
  std::int64_t offset[4];
  row_offsets(p, offset);
  for (int e = 0; e < 4; ++e) {
    Floats low[kLanes], high[kLanes];
    for (std::size_t l = 0; l < kLanes; ++l) {
      const float* at = values + base[l] + offset[e];
      low[l] = load<Floats>(at);       // first node: c1 c2 c3, second node: c1
      high[l] = load<Floats>(at + 2);  // first node: c3, second node: c1 c2 c3
    }
    const Floats a01 = __builtin_shufflevector(low[0], low[1], 0, 4, 1, 5);
    const Floats a23 = __builtin_shufflevector(low[2], low[3], 0, 4, 1, 5);
    const Floats b01 = __builtin_shufflevector(low[0], low[1], 2, 6, 3, 7);
    const Floats b23 = __builtin_shufflevector(low[2], low[3], 2, 6, 3, 7);
    const Floats c01 = __builtin_shufflevector(high[0], high[1], 2, 6, 3, 7);
    const Floats c23 = __builtin_shufflevector(high[2], high[3], 2, 6, 3, 7);
    k.b[e][0] = widen(__builtin_shufflevector(a01, a23, 0, 1, 4, 5));
    k.b[e][1] = widen(__builtin_shufflevector(a01, a23, 2, 3, 6, 7));
    k.b[e][2] = widen(__builtin_shufflevector(b01, b23, 0, 1, 4, 5));
    k.b[e + 4][0] = widen(__builtin_shufflevector(b01, b23, 2, 3, 6, 7));
    k.b[e + 4][1] = widen(__builtin_shufflevector(c01, c23, 0, 1, 4, 5));
    k.b[e + 4][2] = widen(__builtin_shufflevector(c01, c23, 2, 3, 6, 7));
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

// The bound of the unfold's products ct * br - st * bp and st * br + ct * bp
// against the C library's, relative to |br| + |bp| and to the result: the
// sine and cosine of sin_cos_quadrant() within kSineBound of it, and three
// roundings of the sums.
constexpr double kProductBound = 0x1p-42;

// The parities of the sector lines crossed, in lanes where both counts are
// below 2^31 (`small`).
FIELDSCAN_INLINE Ints odd_lanes(Doubles k, Masks small) {
  const Ints count = __builtin_convertvector(select(small, k, splat(0.0)), Ints);
  return (count & splat(1)) != splat(0);
}

// The sector unfold of four interpolated fields v[0..3) in lanes: the
// results, and the lanes where they are sure to round as the C library's
// would.
FIELDSCAN_INLINE Ints turn_back(const SectorFolds& f, std::size_t m, Floats v[3]) {
  const Doubles c = widen(load<Floats>(f.cphi + m)), sn = widen(load<Floats>(f.sphi + m));
  const Doubles b0 = widen(v[0]), b1 = widen(v[1]);
  const Doubles k_t = load<Doubles>(f.k_t + m), k_n = load<Doubles>(f.k_n + m);
  const Masks small = (k_t < splat(2147483647.0)) & (k_n < splat(2147483647.0));
  Floats br = narrow(sn * b1 + c * b0), bp = narrow(c * b1 - sn * b0);
  br = select(odd_lanes(k_t, small), -br, br);
  bp = select(odd_lanes(k_n, small), -bp, bp);
  const Doubles ct = load<Doubles>(f.ct + m), st = load<Doubles>(f.st + m);
  const Doubles r = widen(br), q = widen(bp);
  const Doubles y0 = ct * r - st * q, y1 = st * r + ct * q;
  const Doubles spread = (magnitude(r) + magnitude(q)) * splat(kProductBound);
  const Ints turned = load<Ints>(f.turned + m);
  v[0] = select(turned, narrow(y0), v[0]), v[1] = select(turned, narrow(y1), v[1]);
  return rounds_surely(y0, spread + magnitude(y0) * splat(kProductBound)) &
         rounds_surely(y1, spread + magnitude(y1) * splat(kProductBound)) & narrow_mask(small) &
         ~load<Ints>(f.scalar + m);
}

// The sector unfold and the mirror signs of the four interpolated fields
// v[0..3) of points m to m + 3 of a block, where each result is sure to
// round as the C library's would; the other lanes keep their interpolated
// fields and are marked in `left` for evaluate()'s own stages.
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
    const Ints flip = (below_x & splat(s.flip_x[e])) ^ (below_y & splat(s.flip_y[e])) ^
                      (below_z & splat(s.flip_z[e]));
    v[e] = select(sure, select(flip, -v[e], v[e]), in[e]);
  }
  const Ints rest = ~sure;
  std::memcpy(left + m, &rest, sizeof rest);
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
    const Doubles fx = load<Doubles>(c.fx + m), fy = load<Doubles>(c.fy + m);
    const Doubles fz = load<Doubles>(c.fz + m);
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
      const Ints flip = (below_x & splat(p.flip_x[e])) ^ (below_y & splat(p.flip_y[e])) ^
                        (below_z & splat(p.flip_z[e]));
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

// The points in blocks: the cells of one block are located, and their nodes
// asked for, while the previous block is interpolated.  The last block is
// copied and filled up with points that are not ordinary (not a number).
// On a sector map each point is folded, and its field unfolded, by
// evaluate()'s own stages, one point at a time; the lanes locate the folded
// points and interpolate.
// One block of points on its way through run_blocks().
struct Block {
  const float *x, *y, *z;
  Cells cells;
  SectorFolds folds;                      // on a sector map
  float u[kBlock], v[kBlock], w[kBlock];  // the folded offsets, or NaN
};

// The fold of point m of the block by evaluate()'s own stages.
void fold_one(const GridSize& grid, Block& now, std::size_t m) {
  Fold f;
  const bool folded = fold_point(grid, now.x[m], now.y[m], now.z[m], f) == FieldStatus::kOk;
  now.u[m] = folded ? f.u : NAN, now.v[m] = folded ? f.v : NAN, now.w[m] = folded ? f.w : NAN;
  SectorFolds& s = now.folds;
  s.scalar[m] = -1;
  s.turned[m] = f.turned ? -1 : 0;
  s.theta[m] = f.theta, s.cphi[m] = f.cphi, s.sphi[m] = f.sphi;
  s.k_t[m] = f.k_t, s.k_n[m] = f.k_n;
}

// The same fold as a Fold, for the unfold of evaluate()'s own stages.
Fold fold_of(const SectorFolds& s, std::size_t m) {
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
  const Doubles angle = atan2_quadrant(widen(v), widen(u));
  std::memcpy(now.folds.angle + m, &angle, sizeof angle);
}

// The bound of cos and sin of the folded angle, found from those of the
// polar angle and of a sector line, against the C library's at the folded
// angle: within 2^-48 each from sin_cos_quadrant(), one unit of 2^-53 from
// the C library's for the line, three roundings, and the rounding of phi
// itself (at most 2^-52 in the angle) make at most 2^-46.4.
constexpr double kLineBound = 0x1p-44;

// The second: the polar angle theta rounded, the sector lines crossed, cos
// and sin of the folded angle rounded, and cos and sin of theta for the
// unfold.  A point whose roundings are not sure is marked for evaluate()'s
// own stages.
FIELDSCAN_INLINE void fold_angles(const Plan& p, Block& now, std::size_t m) {
  SectorFolds& f = now.folds;
  const Doubles angle = load<Doubles>(f.angle + m);
  const Floats theta = narrow(angle);
  const Ints turned = (splat(p.fold.angle) < theta) & load<Ints>(f.usable + m);
  const SectorCount k = count_sectors(theta, p.fold.angle);
  Doubles st, ct;
  sin_cos_quadrant(widen(theta), st, ct);
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
}

// The third: the folded offsets at the point's own radius (NaN for a point
// outside the limits, so that it has the cell of no point), and the points
// marked in the second pass folded by evaluate()'s own stages.
FIELDSCAN_INLINE void fold_radius(const GridSize& grid, Block& now, std::size_t m) {
  const SectorFolds& f = now.folds;
  const Floats u = load<Floats>(now.u + m), v = load<Floats>(now.v + m);
  const Doubles du = widen(u), dv = widen(v);
  const Doubles sq = dv * dv + du * du;
  const Doubles r{std::sqrt(sq[0]), std::sqrt(sq[1]), std::sqrt(sq[2]), std::sqrt(sq[3])};
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

FIELDSCAN_INLINE void run_blocks(const GridSize& grid, const float values[], std::int64_t capacity,
                                 std::size_t n, const float x[], const float y[], const float z[],
                                 FieldVector b[], FieldStatus status[]) {
  Plan plan;
  if (!make_plan(grid, capacity, plan)) {
    return point_by_point(grid, values, capacity, n, x, y, z, b, status);
  }
  Block blocks[2];
  float tail[3][kBlock];
  Caches caches;
  FaceCache cell_cache;
  std::size_t previous = 0, previous_n = 0;
  for (std::size_t first = 0, turn = 0;; first += kBlock, turn ^= 1) {
    const std::size_t count = first < n ? std::min(kBlock, n - first) : 0;
    if (count > 0)
      start_block(plan, grid, values, x, y, z, first, count, tail, caches, blocks[turn]);
    if (previous_n > 0) {
      Block& then = blocks[turn ^ 1];
      interpolate_block(plan, values, then.cells, then.folds, then.x, then.y, then.z, previous_n,
                        cell_cache, b + previous, status + previous);
      for (std::size_t m = 0; m < previous_n; ++m) {
        const std::size_t at = previous + m;
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
    }
    if (count == 0) break;
    previous = first, previous_n = count;
  }
}

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

std::vector<BatchVariant> usable_variants() {
  std::vector<BatchVariant> variants;
#ifdef FIELDSCAN_VECTOR_BATCH
  if (has_avx512()) variants.push_back({"avx512", run_avx512});
  if (has_avx2()) variants.push_back({"avx2", run_avx2});
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
