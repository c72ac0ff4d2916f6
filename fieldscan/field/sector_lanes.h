// The trigonometry of the sector fold in vector lanes, and the test that
// says when its result may stand in for the C library's.
//
// The fold rounds atan2, sin and cos (or the products they enter) to single
// precision.  The functions here are accurate to within 2^-45 (stated
// below), far inside the bounds the callers test against, and the C
// library's to within one unit in the last place of a double; both
// therefore round to the same single-precision value unless the exact
// value lies within that bound of a point where the rounding changes.
// rounds_surely() detects that case, which comes about for one point in a
// few thousand, and the caller hands the point to the one-point code, so
// the results are always the C library's bits.
//
// Accuracy.  The polar angle is atan2 of two non-negative finite numbers.
//  - atan(t), t = v / u in [0, 1], is reduced to the nearest multiple j/8:
//    atan(t) = atan(j/8) + atan(s), s = (t - j/8) / (1 + t j/8), |s| below
//    1/16 + 2^-23, s rounded once (see atan2_quadrant), and atan(s) is its
//    series to s^13 (the rest is below 1e-18 of s).  The errors of s, the
//    table and the sums stay below 6 units of 2^-53 absolutely, and below 4
//    units relatively where j = 0; the result is at least atan(1/16) where
//    j > 0, so it is within 2^-48 relatively.  Above the diagonal the
//    result is pi/2 - atan(u / v), within 8 units of 2^-53 of the true value.
//  - cos and sin of the rounded polar angle follow from the point's offsets
//    over its radius (see polar_cos_sin), within 2^-45.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstdint>

#include "fieldscan/field/lanes.h"
#include "fieldscan/mapfile/grid.h"

#ifdef FIELDSCAN_LANES

namespace fieldscan::lanes {

// Relative bound of atan2_quadrant.
constexpr double kAtanBound = 0x1p-40;

// Horner's rule from the highest coefficient down.
template <int N>
FIELDSCAN_INLINE Doubles horner(Doubles z, const double (&c)[N]) {
  Doubles p = splat(c[N - 1]);
  for (int i = N - 2; i >= 0; --i) p = p * z + splat(c[i]);
  return p;
}

// atan2(v, u) for non-negative finite single-precision u and v: an angle
// in [0, pi/2]; atan2(0, 0) is 0.  Other lanes get some angle, or NaN.
FIELDSCAN_INLINE Doubles atan2_quadrant(Floats v, Floats u) {
  // atan(j / 8), j = 0..8, and (-1)^k / (2k + 1), rounded to double.
  static constexpr double kTable[9] = {0.0,
                                       0.12435499454676144,
                                       0.24497866312686414,
                                       0.35877067027057225,
                                       0.4636476090008061,
                                       0.5585993153435624,
                                       0.6435011087932844,
                                       0.7188299996216245,
                                       0.7853981633974483};
  static constexpr double kAtan[7] = {1.0,
                                      -0.3333333333333333,
                                      0.2,
                                      -0.14285714285714285,
                                      0.1111111111111111,
                                      -0.09090909090909091,
                                      0.07692307692307693};
  constexpr double kHalfPiDouble = 1.5707963267948966;
  const Ints above = v > u;
  const Floats num = select(above, u, v), den = select(above, v, u);
  // The nearest eighth j / 8 of t = num / den, from a single-precision
  // quotient (an eighth off near a midpoint leaves |s| below 1/16 + 2^-23);
  // 0 where both are 0 or one is not a finite number, so that the table is
  // never read outside.
  const Floats ratio = num / den;
  const Floats t = select((ratio >= splat(0.0f)) & (ratio <= splat(1.0f)), ratio, splat(0.0f));
  const Ints j = __builtin_convertvector(t * splat(8.0f) + splat(0.5f), Ints);  // 0..8
  const Doubles tj = widen(j) * splat(0.125);
  // s = (t - j/8) / (1 + t j/8) as (num - den j/8) / (den + num j/8): with
  // 24-bit num and den, a 4-bit j and num above den / 17 where j > 0, the
  // products, the difference and the sum are exact, so s is rounded once.
  const Doubles n = widen(num), d = widen(den);
  const Doubles s = select(d == splat(0.0), splat(0.0), (n - d * tj) / (d + n * tj));
  const Doubles base{kTable[j[0]], kTable[j[1]], kTable[j[2]], kTable[j[3]]};
  const Doubles angle = base + s * horner(s * s, kAtan);
  const Masks swap{above[0], above[1], above[2], above[3]};
  return select(swap, splat(kHalfPiDouble) - angle, angle);
}

// cos and sin of theta, the polar angle of the point (u, v) rounded to
// single precision, given `angle`, atan2_quadrant(v, u): those of the
// polar angle itself are u / r and v / r (r the radius, also returned),
// turned by delta = theta - angle, a few units of 2^-24 at most, so that
// cos delta = 1 - delta^2 / 2 and sin delta = delta well within the
// bounds.  Within 2^-45 of the true values (angle within 2^-46 of the
// polar angle, r and the quotients within 5 units of 2^-53).  At u = v = 0
// they are not a number; theta is 0 there and never turns the point.
FIELDSCAN_INLINE void polar_cos_sin(Floats u, Floats v, Floats theta, Doubles angle,
                                    Doubles& cosine, Doubles& sine, Doubles& r) {
  const Doubles du = widen(u), dv = widen(v);
  const Doubles sq = dv * dv + du * du;
  r = Doubles{std::sqrt(sq[0]), std::sqrt(sq[1]), std::sqrt(sq[2]), std::sqrt(sq[3])};
  const Doubles inverse = splat(1.0) / r;
  const Doubles c0 = du * inverse, s0 = dv * inverse;
  const Doubles delta = widen(theta) - angle;
  const Doubles half = splat(1.0) - delta * delta * splat(0.5);
  cosine = c0 * half - s0 * delta;
  sine = s0 * half + c0 * delta;
}

// The lanes where every value within `bound` of y rounds to the same
// single-precision number as y (rounding is monotonic, so the two ends
// decide).  A NaN lane is never sure.
FIELDSCAN_INLINE Ints rounds_surely(Doubles y, Doubles bound) {
  const Floats low = narrow(y - bound), high = narrow(y + bound);
  return (reinterpret_cast<Ints>(low) == reinterpret_cast<Ints>(high)) & (low == low);
}

}  // namespace fieldscan::lanes

#endif

namespace fieldscan {

// cos and sin of theta, the polar angle (rounded to single precision) of
// the raw point (x, y) about the grid's origin after the mirror fold, as
// the sector unfolds of the batches take them: by polar_cos_sin() where
// the vector lanes are built, so that one point and a batch give the same
// bits; by the C library elsewhere.
inline void polar_sin_cos(const GridSize& grid, float x, float y, float theta, double& cosine,
                          double& sine) {
#ifdef FIELDSCAN_LANES
  const float u = static_cast<float>(std::fabs(static_cast<double>(x) - grid.XMIN));
  const float v = static_cast<float>(std::fabs(static_cast<double>(y) - grid.YMIN));
  const lanes::Floats fu = lanes::splat(u), fv = lanes::splat(v);
  lanes::Doubles c, s, r;
  lanes::polar_cos_sin(fu, fv, lanes::splat(theta), lanes::atan2_quadrant(fv, fu), c, s, r);
  cosine = c[0], sine = s[0];
#else
  (void)grid, (void)x, (void)y;
  cosine = std::cos(static_cast<double>(theta));
  sine = std::sin(static_cast<double>(theta));
#endif
}

}  // namespace fieldscan
