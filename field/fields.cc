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
#include "field/fields.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <string_view>

namespace fieldscan {
namespace {

// A node all three of whose components exceed this was not measured.
constexpr float kUnmeasured = 900000.0f;

// A folded angle below this (radians) is taken as exactly 0.
constexpr double kPhiSnap = 1e-6;

// The largest polar angle of a first-quadrant point: pi/2 rounded to single
// precision (1.57079637, the same number the loader derives for a 90-degree
// map from its single-precision pi).  atan2 of non-negative arguments never
// exceeds double pi/2, which rounds to this, so a map whose |ANGLE| is at
// least this never folds.
constexpr float kHalfPi = static_cast<float>(1.5707963267948966);

// How far beyond its last node plane a folded coordinate may lie and still
// count as on it, relative to |origin| + extent of the axis: the coordinates,
// the limits and the fold are each rounded to single precision (half an ulp,
// at most 2^-24 relative, per rounding), so a point at a limit can land a few
// ulps past the plane.  Anything farther is truly outside the nodes.
constexpr double kPlaneSlack = 8.0 * FLT_EPSILON;

enum Status : std::int16_t {
  kOk = 0,
  kOutsideX = 1,
  kOutsideY = 2,
  kOutsideZ = 3,
  kUnmeasuredNode = 4,
};

void fail(Status status, Text80& MESSAGE, std::int16_t& STATUS) {
  std::string_view text;
  switch (status) {
    case kOutsideX:
      text = "Point is outside X-limits";
      break;
    case kOutsideY:
      text = "Point is outside Y-limits";
      break;
    case kOutsideZ:
      text = "Point is outside Z-limits";
      break;
    default:
      text = "Non measured point - probably iron";
      break;
  }
  MESSAGE = make_text<80>(text);
  STATUS = status;
}

// Folded offset |p - origin|, rounded once.
float offset(float p, float origin) {
  return static_cast<float>(std::fabs(static_cast<double>(p) - static_cast<double>(origin)));
}

// origin + offset, rounded once: a folded coordinate.
float coordinate(float origin, float off) {
  return static_cast<float>(static_cast<double>(origin) + static_cast<double>(off));
}

bool is_odd(double k) { return std::fmod(k, 2.0) != 0.0; }

// The cell of one axis: `lower` is the 0-based index of the cell's lower
// node, `frac` the fraction of a step from it towards the next node.
struct AxisCell {
  std::int64_t lower = 0;
  double frac = 0.0;
};

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

}  // namespace

void FIELDS(const float BMAP[], const std::int32_t& MXS, const float& X, const float& Y,
            const float& Z, float& BX, float& BY, float& BZ, Text80& MESSAGE,
            std::int16_t& STATUS) {
  const GridSize& s = SIZE;

  // 1. Limits of the raw point, inclusive, in the order z, x low, y low.
  //    Written so that a NaN coordinate (or limit) fails its test.
  if (!(Z >= s.ZLOW && Z <= s.ZHIGH)) return fail(kOutsideZ, MESSAGE, STATUS);
  if (!(X >= s.XLOW)) return fail(kOutsideX, MESSAGE, STATUS);
  if (!(Y >= s.YLOW)) return fail(kOutsideY, MESSAGE, STATUS);

  // 2. Fold into the first quadrant about the grid origin.
  float u = offset(X, s.XMIN);
  float v = offset(Y, s.YMIN);
  const float w = offset(Z, s.ZMIN);
  // An infinite (or NaN) offset lies beyond every upper limit; it is
  // reported here, in the order of the folded-point tests, rather than fed
  // through the fold, where it would turn into NaN.
  if (!std::isfinite(u)) return fail(kOutsideX, MESSAGE, STATUS);
  if (!std::isfinite(v)) return fail(kOutsideY, MESSAGE, STATUS);

  // 3. and 4. Polar angle and sector fold.  Only a point whose polar angle
  // exceeds the sector angle is folded, so on a map of 90 degrees or more
  // theta is never needed.  A NaN ANGLE never folds either.
  const float sector = std::fabs(s.ANGLE);
  bool folded = false;
  float theta = 0.0f, cphi = 1.0f, sphi = 0.0f;
  double k_t = 0.0, k_n = 0.0;  // parities only; kept in double, never overflow
  if (!(sector >= kHalfPi)) {
    theta = static_cast<float>(std::atan2(static_cast<double>(v), static_cast<double>(u)));
    if (sector < theta) {
      folded = true;
      double phi = 0.0;  // ANGLE 0: full rotational symmetry, everything to angle 0
      if (sector != 0.0f) {
        const double a = sector;
        const double t = (static_cast<double>(theta) * 0.5) / a;
        k_t = std::trunc(t);
        k_n = std::round(t);  // halves away from zero
        phi = std::fabs(static_cast<double>(theta) - a * (2.0 * k_n));
        if (phi < kPhiSnap) phi = 0.0;
      }
      cphi = static_cast<float>(std::cos(phi));
      sphi = static_cast<float>(std::sin(phi));
      const double dv = v, du = u;
      const double r = std::sqrt(dv * dv + du * du);
      u = static_cast<float>(static_cast<double>(cphi) * r);
      v = static_cast<float>(static_cast<double>(sphi) * r);
    }
  }

  // 5. The folded point against the upper limits (NaN fails).
  const float xf = coordinate(s.XMIN, u);
  const float yf = coordinate(s.YMIN, v);
  const float zf = coordinate(s.ZMIN, w);
  if (!(xf <= s.XHIGH)) return fail(kOutsideX, MESSAGE, STATUS);
  if (!(yf <= s.YHIGH)) return fail(kOutsideY, MESSAGE, STATUS);

  // 6. The cell, among the nodes actually loaded: NX x NY x NZ, and no more
  // z planes than fit in MXS values (64-bit arithmetic throughout, so no
  // product of counts can overflow).
  std::int64_t nz = 0;
  if (s.NX >= 1 && s.NY >= 1 && MXS > 0) {
    const std::int64_t per_plane = static_cast<std::int64_t>(s.NX) * s.NY;  // < 2^62
    nz = std::min<std::int64_t>(s.NZ, (MXS / 3) / per_plane);
  }
  AxisCell cx, cy, cz;
  if (!locate(xf, s.XMIN, s.DX, s.NX, cx)) return fail(kOutsideX, MESSAGE, STATUS);
  if (!locate(yf, s.YMIN, s.DY, s.NY, cy)) return fail(kOutsideY, MESSAGE, STATUS);
  if (!locate(zf, s.ZMIN, s.DZ, nz, cz)) return fail(kOutsideZ, MESSAGE, STATUS);
  const double fx = cx.frac, fy = cy.frac, fz = cz.frac;
  const double gx = 1.0 - fx, gy = 1.0 - fy, gz = 1.0 - fz;

  // 7. Corner weights and element offsets, in the order of the checks and
  // the sums.  A corner of weight 0 is never read; every corner of non-zero
  // weight lies inside the loaded grid (see locate).
  const std::int64_t sx = 3;
  const std::int64_t sy = 3 * static_cast<std::int64_t>(s.NX);
  const std::int64_t sz = sy * s.NY;
  const std::int64_t base = cz.lower * sz + cy.lower * sy + cx.lower * sx;
  const double weight[8] = {gx * gy * gz, gx * gy * fz, gx * fy * gz, gx * fy * fz,
                            fx * gy * gz, fx * gy * fz, fx * fy * gz, fx * fy * fz};
  const std::int64_t corner[8] = {0, sz, sy, sy + sz, sx, sx + sz, sx + sy, sx + sy + sz};

  // 8. and 9. Unmeasured nodes and the interpolation.  The sums start from
  // -0.0, the neutral element of addition, so that each is exactly the sum
  // of its contributing terms (a lone term of -0.0 stays -0.0).
  double sum1 = -0.0, sum2 = -0.0, sum3 = -0.0;
  for (int n = 0; n < 8; ++n) {
    if (weight[n] == 0.0) continue;
    const float* node = BMAP + (base + corner[n]);
    if (node[0] > kUnmeasured && node[1] > kUnmeasured && node[2] > kUnmeasured) {
      return fail(kUnmeasuredNode, MESSAGE, STATUS);
    }
    sum1 += weight[n] * static_cast<double>(node[0]);
    sum2 += weight[n] * static_cast<double>(node[1]);
    sum3 += weight[n] * static_cast<double>(node[2]);
  }
  float b1 = static_cast<float>(sum1);
  float b2 = static_cast<float>(sum2);
  const float b3 = static_cast<float>(sum3);

  // 10. Sector unfold: split into radial and azimuthal components at the
  // folded angle, apply the signs of the sector lines crossed (odd multiples
  // of the sector angle mirror the field, even ones mirror and reverse it)
  // and turn back to the point's own polar angle.
  if (folded) {
    const double c = cphi, sn = sphi;
    float br = static_cast<float>(sn * b2 + c * b1);
    float bp = static_cast<float>(c * b2 - sn * b1);
    if (is_odd(k_t)) br = -br;
    if (is_odd(k_n)) bp = -bp;
    const double ct = std::cos(static_cast<double>(theta));
    const double st = std::sin(static_cast<double>(theta));
    b1 = static_cast<float>(ct * br - st * bp);
    b2 = static_cast<float>(st * br + ct * bp);
  }

  // 11. Mirror signs, judged on the raw point; a point on a plane is not
  // mirrored.  Index 1 reverses the component normal to the plane, any
  // other index the two components parallel to it.
  float bx = b1, by = b2, bz = b3;
  if (X < s.XMIN) {
    if (s.IDA == 1) {
      bx = -bx;
    } else {
      by = -by;
      bz = -bz;
    }
  }
  if (Y < s.YMIN) {
    if (s.IDB == 1) {
      by = -by;
    } else {
      bx = -bx;
      bz = -bz;
    }
  }
  if (Z < s.ZMIN) {
    if (s.IDC == 1) {
      bz = -bz;
    } else {
      bx = -bx;
      by = -by;
    }
  }

  // 12.
  BX = bx;
  BY = by;
  BZ = bz;
  STATUS = kOk;
}

}  // namespace fieldscan
