// Field evaluation on the loaded map.
//
// Precision.  Coordinates, map values and every quantity handed from one
// stage of the evaluation to the next are single precision: the folded
// offsets u, v, w, the polar angle theta, cos and sin of the folded angle,
// the folded point X', Y', Z', the interpolated components B1..B3 and the
// radial and azimuthal components Br, Bp.  Arithmetic inside a stage is done
// in double precision on the widened floats (libm's double atan2, sin, cos
// and sqrt) and rounded to single precision once, where the value is stored.
// Maps with "nice" node values put results exactly on rounding ties of the
// listing's two decimals, so the place of every rounding is part of the
// result.  Nothing here may be contracted into fused multiply-adds (the
// build sets -ffp-contract=off).
#include "fieldscan/field/fields.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string_view>

#include "fieldscan/field/evaluate.h"
#include "fieldscan/mapfile/node.h"

namespace fieldscan {
namespace {

// A folded angle below this (radians) is taken as exactly 0.
constexpr double kPhiSnap = 1e-6;

// How far beyond its last node plane a folded coordinate may lie and still
// count as on it, relative to |origin| + extent of the axis: the coordinates,
// the limits and the fold are each rounded to single precision (half an ulp,
// at most 2^-24 relative, per rounding), so a point at a limit can land a few
// ulps past the plane.  Anything farther is truly outside the nodes.
constexpr double kPlaneSlack = 8.0 * FLT_EPSILON;

// Folded offset |p - origin|, rounded once.
float offset(float p, float origin) {
  return static_cast<float>(std::fabs(static_cast<double>(p) - static_cast<double>(origin)));
}

// origin + offset, rounded once: a folded coordinate.
float coordinate(float origin, float off) {
  return static_cast<float>(static_cast<double>(origin) + static_cast<double>(off));
}

bool is_odd(double k) { return std::fmod(k, 2.0) != 0.0; }

// Locates the folded coordinate `p` among the `nodes` nodes of one axis
// (origin `origin`, step `step`).  False when the point lies outside the
// nodes, which the caller reports as outside that axis's limits.  A true
// result never puts weight on a node past the last: a non-zero fraction
// always has lower + 1 < nodes.
//
//  - No node on the axis (nodes < 1): outside.
//  - On the origin plane: node 0 with fraction 0, whatever the step, so a
//    one-node-thick map (step 0 or 1 node) still evaluates on its plane.
//  - Otherwise the step must be a positive finite number.
//  - At or beyond the last node plane: on it (fraction 0) when within
//    rounding, else outside.  This catches a folded y beyond the grid's y
//    extent on a map whose y limit follows the x extent, and keeps a point
//    that rounding put a hair past the last plane from weighing a node that
//    does not exist.
bool locate(float p, float origin, float step, std::int64_t nodes, AxisCell& cell) {
  if (nodes < 1) return false;
  const double off = static_cast<double>(p) - static_cast<double>(origin);
  if (off == 0.0) {
    cell = AxisCell{};
    return true;
  }
  if (!(off > 0.0) || !std::isfinite(off)) return false;  // NaN or infinite origin
  if (!(step > 0.0f) || !std::isfinite(step)) return false;
  const double d = step;
  const double last = static_cast<double>(nodes - 1);
  const double q = off / d;
  if (q < last) {
    // Cell index by truncation (the offset is positive, so this floors), and
    // the fraction measured from the cell's lower node.
    cell.lower = static_cast<std::int64_t>(q);
    cell.frac = (off - static_cast<double>(cell.lower) * d) / d;
    return true;
  }
  const double extent = last * d;
  if (off - extent > kPlaneSlack * (std::fabs(static_cast<double>(origin)) + extent)) {
    return false;
  }
  cell.lower = nodes - 1;
  cell.frac = 0.0;
  return true;
}

// The raw point against the limits, inclusive, in the order z, x low, y
// low.  Written so that a NaN coordinate (or limit) fails its test.
FieldStatus check_raw_limits(const GridSize& s, float x, float y, float z) {
  if (!(z >= s.ZLOW && z <= s.ZHIGH)) return FieldStatus::kOutsideZ;
  if (!(x >= s.XLOW)) return FieldStatus::kOutsideX;
  if (!(y >= s.YLOW)) return FieldStatus::kOutsideY;
  return FieldStatus::kOk;
}

// Mirror fold: the offsets from the origin.  An infinite (or NaN) offset
// lies beyond every upper limit; it is reported here, in the order of the
// folded-point tests, rather than fed through the sector fold, where it
// would turn into NaN.
FieldStatus mirror_fold(const GridSize& s, float x, float y, float z, Fold& f) {
  f.u = offset(x, s.XMIN);
  f.v = offset(y, s.YMIN);
  f.w = offset(z, s.ZMIN);
  if (!std::isfinite(f.u)) return FieldStatus::kOutsideX;
  if (!std::isfinite(f.v)) return FieldStatus::kOutsideY;
  return FieldStatus::kOk;
}

// Sector fold about the z axis.  Only a point whose polar angle exceeds the
// sector angle is folded, so on a map of 90 degrees or more theta is never
// needed; a NaN ANGLE never folds either.  The point goes to the angle phi
// left after removing whole pairs of sectors (mirror images alternate from
// one sector to the next), at its own radius.
void sector_fold(const GridSize& s, Fold& f) {
  const float sector = std::fabs(s.ANGLE);
  if (sector >= kHalfPi) return;
  f.theta = static_cast<float>(std::atan2(static_cast<double>(f.v), static_cast<double>(f.u)));
  if (!(sector < f.theta)) return;
  f.turned = true;
  double phi = 0.0;  // ANGLE 0: full rotational symmetry, everything to angle 0
  if (sector != 0.0f) {
    const double a = sector;
    const double t = (static_cast<double>(f.theta) * 0.5) / a;
    f.k_t = std::trunc(t);
    f.k_n = std::round(t);  // halves away from zero
    phi = std::fabs(static_cast<double>(f.theta) - a * (2.0 * f.k_n));
    if (phi < kPhiSnap) phi = 0.0;
  }
  f.cphi = static_cast<float>(std::cos(phi));
  f.sphi = static_cast<float>(std::sin(phi));
  const double dv = f.v, du = f.u;
  const double r = std::sqrt(dv * dv + du * du);
  f.u = static_cast<float>(static_cast<double>(f.cphi) * r);
  f.v = static_cast<float>(static_cast<double>(f.sphi) * r);
}

// Sector unfold: splits the field at the folded point into radial and
// azimuthal components at the folded angle, applies the signs of the sector
// lines crossed (odd multiples of the sector angle mirror the field, even
// ones mirror and reverse it) and turns back to the point's own polar angle.
void sector_unfold(const Fold& f, float b[3]) {
  if (!f.turned) return;
  const double c = f.cphi, sn = f.sphi;
  float br = static_cast<float>(sn * b[1] + c * b[0]);
  float bp = static_cast<float>(c * b[1] - sn * b[0]);
  if (is_odd(f.k_t)) br = -br;
  if (is_odd(f.k_n)) bp = -bp;
  const double ct = std::cos(static_cast<double>(f.theta));
  const double st = std::sin(static_cast<double>(f.theta));
  b[0] = static_cast<float>(ct * br - st * bp);
  b[1] = static_cast<float>(st * br + ct * bp);
}

// Mirror signs, judged on the raw point; a point on a plane is not
// mirrored.  Index 1 reverses the component normal to the plane, any other
// index the two components parallel to it.
void mirror_signs(const GridSize& s, float x, float y, float z, float b[3]) {
  const auto mirror = [b](std::int32_t index, int normal) {
    if (index == 1) {
      b[normal] = -b[normal];
    } else {
      b[(normal + 1) % 3] = -b[(normal + 1) % 3];
      b[(normal + 2) % 3] = -b[(normal + 2) % 3];
    }
  };
  if (x < s.XMIN) mirror(s.IDA, 0);
  if (y < s.YMIN) mirror(s.IDB, 1);
  if (z < s.ZMIN) mirror(s.IDC, 2);
}

// Whether the folded coordinate of `p` on an axis with `origin` stays at or
// below the upper limit `high`, as locate_cell tests it.
bool folds_inside(float p, float origin, float high) {
  return coordinate(origin, offset(p, origin)) <= high;
}

// The lowest and highest coordinate of one axis (mirrored or not) that
// folds inside: a fold is off by a few units in the last place at most, so a
// bounded walk from the stored limits finds them; where it does not (a limit
// that is not finite, a step that is not positive) the stored ones stand.
void axis_limits(float origin, float& low, float& high) {
  constexpr int kSteps = 64;
  const float up = std::numeric_limits<float>::infinity();
  if (!std::isfinite(low) || !std::isfinite(high) || !(low <= high)) return;
  float top = high;
  for (int i = 0; i < kSteps && !folds_inside(top, origin, high); ++i)
    top = std::nextafter(top, -up);
  if (!folds_inside(top, origin, high)) return;
  for (int i = 0; i < kSteps && folds_inside(std::nextafter(top, up), origin, high); ++i) {
    top = std::nextafter(top, up);
  }
  float bottom = low;
  for (int i = 0; i < kSteps && !folds_inside(bottom, origin, high); ++i) {
    bottom = std::nextafter(bottom, up);
  }
  if (!folds_inside(bottom, origin, high) || !(bottom <= top)) return;
  low = bottom;
  high = top;
}

}  // namespace

// Trilinear interpolation among the eight nodes of the cell.  The corner
// weights and element offsets are taken in a fixed order, the order of the
// unmeasured checks and of the sums.  A corner of weight 0 is never read;
// every corner of non-zero weight lies inside the held grid (see locate).
// The sums start from -0.0, the neutral element of addition, so that each
// is exactly the sum of its contributing terms (a lone term of -0.0 stays
// -0.0).  Any unmeasured node with weight fails the point.
FieldStatus interpolate(const GridSize& s, const float values[], const AxisCell& cx,
                        const AxisCell& cy, const AxisCell& cz, float b[3]) {
  const double fx = cx.frac, fy = cy.frac, fz = cz.frac;
  const double gx = 1.0 - fx, gy = 1.0 - fy, gz = 1.0 - fz;
  const std::int64_t sx = 3;
  const std::int64_t sy = 3 * static_cast<std::int64_t>(s.NX);
  const std::int64_t sz = sy * s.NY;
  const std::int64_t base = cz.lower * sz + cy.lower * sy + cx.lower * sx;
  const double weight[8] = {gx * gy * gz, gx * gy * fz, gx * fy * gz, gx * fy * fz,
                            fx * gy * gz, fx * gy * fz, fx * fy * gz, fx * fy * fz};
  const std::int64_t corner[8] = {0, sz, sy, sy + sz, sx, sx + sz, sx + sy, sx + sy + sz};

  double sum1 = -0.0, sum2 = -0.0, sum3 = -0.0;
  for (int n = 0; n < 8; ++n) {
    if (weight[n] == 0.0) continue;
    const float* node = values + (base + corner[n]);
    if (is_unmeasured(node)) return FieldStatus::kUnmeasured;
    sum1 += weight[n] * static_cast<double>(node[0]);
    sum2 += weight[n] * static_cast<double>(node[1]);
    sum3 += weight[n] * static_cast<double>(node[2]);
  }
  b[0] = static_cast<float>(sum1);
  b[1] = static_cast<float>(sum2);
  b[2] = static_cast<float>(sum3);
  return FieldStatus::kOk;
}

std::int64_t held_planes(const GridSize& s, std::int64_t capacity) {
  if (s.NX < 1 || s.NY < 1 || capacity <= 0) return 0;
  const std::int64_t per_plane = static_cast<std::int64_t>(s.NX) * s.NY;  // < 2^62
  return std::min<std::int64_t>(s.NZ, (capacity / 3) / per_plane);
}

// The grid cell holding the folded point: its upper limits first (NaN
// fails), then the cell of each axis among the nodes actually held, that is
// NX x NY x NZ nodes and no more z planes than fit in `capacity` values
// (64-bit arithmetic throughout, so no product of counts can overflow).
FieldStatus locate_cell(const GridSize& s, std::int64_t capacity, const Fold& f, AxisCell& cx,
                        AxisCell& cy, AxisCell& cz) {
  const float xf = coordinate(s.XMIN, f.u);
  const float yf = coordinate(s.YMIN, f.v);
  const float zf = coordinate(s.ZMIN, f.w);
  if (!(xf <= s.XHIGH)) return FieldStatus::kOutsideX;
  if (!(yf <= s.YHIGH)) return FieldStatus::kOutsideY;
  const std::int64_t nz = held_planes(s, capacity);
  if (!locate(xf, s.XMIN, s.DX, s.NX, cx)) return FieldStatus::kOutsideX;
  if (!locate(yf, s.YMIN, s.DY, s.NY, cy)) return FieldStatus::kOutsideY;
  if (!locate(zf, s.ZMIN, s.DZ, nz, cz)) return FieldStatus::kOutsideZ;
  return FieldStatus::kOk;
}

void evaluated_limits(const GridSize& grid, float low[3], float high[3]) {
  low[0] = grid.XLOW, low[1] = grid.YLOW, low[2] = grid.ZLOW;
  high[0] = grid.XHIGH, high[1] = grid.YHIGH, high[2] = grid.ZHIGH;
  // z is tested raw against its limits; x and y after the fold.
  axis_limits(grid.XMIN, low[0], high[0]);
  axis_limits(grid.YMIN, low[1], high[1]);
}

FieldStatus fold_point(const GridSize& grid, float x, float y, float z, Fold& fold) {
  fold = Fold{};
  FieldStatus status = check_raw_limits(grid, x, y, z);
  if (status != FieldStatus::kOk) return status;
  status = mirror_fold(grid, x, y, z, fold);
  if (status != FieldStatus::kOk) return status;
  sector_fold(grid, fold);
  return FieldStatus::kOk;
}

void unfold_field(const GridSize& grid, const Fold& fold, float x, float y, float z, float b[3]) {
  sector_unfold(fold, b);
  mirror_signs(grid, x, y, z, b);
}

FieldStatus evaluate(const GridSize& grid, const float values[], std::int64_t capacity, float x,
                     float y, float z, float b[3]) {
  Fold fold;
  FieldStatus status = fold_point(grid, x, y, z, fold);
  if (status != FieldStatus::kOk) return status;
  AxisCell cx, cy, cz;
  status = locate_cell(grid, capacity, fold, cx, cy, cz);
  if (status != FieldStatus::kOk) return status;
  float field[3];
  status = interpolate(grid, values, cx, cy, cz, field);
  if (status != FieldStatus::kOk) return status;
  unfold_field(grid, fold, x, y, z, field);
  b[0] = field[0];
  b[1] = field[1];
  b[2] = field[2];
  return FieldStatus::kOk;
}

std::string_view field_message(FieldStatus status) {
  switch (status) {
    case FieldStatus::kOk:
      return {};
    case FieldStatus::kOutsideX:
      return "Point is outside X-limits";
    case FieldStatus::kOutsideY:
      return "Point is outside Y-limits";
    case FieldStatus::kOutsideZ:
      return "Point is outside Z-limits";
    case FieldStatus::kUnmeasured:
      break;
  }
  return "Non measured point - probably iron";
}

void FIELDS(const float BMAP[], const std::int32_t& MXS, const float& X, const float& Y,
            const float& Z, float& BX, float& BY, float& BZ, Text80& MESSAGE,
            std::int16_t& STATUS) {
  float b[3];
  const FieldStatus status = evaluate(SIZE, BMAP, MXS, X, Y, Z, b);
  if (status != FieldStatus::kOk) {
    MESSAGE = make_text<80>(field_message(status));
    STATUS = static_cast<std::int16_t>(status);
    return;
  }
  BX = b[0];
  BY = b[1];
  BZ = b[2];
  STATUS = 0;
}

}  // namespace fieldscan
