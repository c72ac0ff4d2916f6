// The chain rule of the gradient through the sector fold, written once for
// one point (T = double) and for four points in vector lanes
// (T = lanes::Doubles), so that each lane performs the one-point
// operations in their order and gives the same bits.
//
// The folded point is q = (r cos phi, r sin phi, w) with
// phi = |theta - 2 a k| (or 0 on a map of full rotational symmetry), and
// the field at the point is T(theta) B(q) with T = R(theta) D R(-phi), D
// the signs of the sector lines crossed.  So
// dB/dp = T J dq/dp + (dT/dtheta B) dtheta/dp, where
// dT/dtheta = K R(theta) D R(-phi) - phi' R(theta) D K R(-phi), K the turn
// by a right angle; since D K = dt dn K D this is R(theta) K D R(-phi)
// (1 - phi' dt dn), which vanishes on a map of sectors (phi' = dt dn there)
// and leaves the turn of the field with the point on a map of full
// rotational symmetry (phi' = 0).
#pragma once

#include <cmath>

#include "fieldscan/field/lanes.h"

#if defined(__GNUC__)
#define FIELDSCAN_CHAIN_INLINE [[gnu::always_inline]] inline
#else
#define FIELDSCAN_CHAIN_INLINE inline
#endif

namespace fieldscan::chain {

// The operations that differ between one point and four: a constant, a
// square root and a choice by a test.
FIELDSCAN_CHAIN_INLINE double constant(double, double c) { return c; }
FIELDSCAN_CHAIN_INLINE double root(double x) { return std::sqrt(x); }
FIELDSCAN_CHAIN_INLINE double pick(bool yes, double a, double b) { return yes ? a : b; }

#ifdef FIELDSCAN_LANES
FIELDSCAN_CHAIN_INLINE lanes::Doubles constant(lanes::Doubles, double c) { return lanes::splat(c); }
FIELDSCAN_CHAIN_INLINE lanes::Doubles root(lanes::Doubles x) {
  return lanes::Doubles{std::sqrt(x[0]), std::sqrt(x[1]), std::sqrt(x[2]), std::sqrt(x[3])};
}
FIELDSCAN_CHAIN_INLINE lanes::Doubles pick(lanes::Masks yes, lanes::Doubles a, lanes::Doubles b) {
  return lanes::select(yes, a, b);
}
#endif

// 1 where the sector count k (a whole non-negative number) is even, -1
// where it is odd: k / 2 is exact, and whole exactly when it is at least
// 2^52 or adding and taking away 2^52 leaves it.
template <class T>
FIELDSCAN_CHAIN_INLINE T parity_sign(T k) {
  const T half = k * 0.5, big = constant(k, 0x1p52);
  return pick((half >= big) | ((half + big) - big == half), constant(k, 1.0), constant(k, -1.0));
}

// What the chain rule needs of a point's sector fold: its polar angle
// theta, cos and sin of the folded angle and of theta, and the sector
// lines crossed.
template <class T>
struct SectorTurn {
  T theta, cphi, sphi, ct, st, k_t, k_n;
};

template <class T>
using Matrix = T[3][3];

template <class T>
FIELDSCAN_CHAIN_INLINE void multiply(const Matrix<T>& l, const Matrix<T>& r, Matrix<T>& out) {
  for (int a = 0; a < 3; ++a) {
    for (int c = 0; c < 3; ++c) {
      T sum = constant(l[0][0], 0.0);
      for (int k = 0; k < 3; ++k) sum += l[a][k] * r[k][c];
      out[a][c] = sum;
    }
  }
}

// The rotation T of the field and its derivative along theta (on a map of
// sectors, 0), from the signs of the lines crossed and phi' = dphi.
template <class T>
FIELDSCAN_CHAIN_INLINE void field_turn(const SectorTurn<T>& f, T dphi, Matrix<T>& t,
                                       Matrix<T>& dtdt) {
  const T dt = parity_sign(f.k_t), dn = parity_sign(f.k_n);
  const T cp = f.cphi, sp = f.sphi, ct = f.ct, st = f.st;
  // R(theta) D R(-phi) = [[ct, -st], [st, ct]] [[dt, 0], [0, dn]] [[cp, sp], [-sp, cp]].
  const T m[2][2] = {{dt * cp, dt * sp}, {-dn * sp, dn * cp}};    // D R(-phi)
  const T km[2][2] = {{-m[1][0], -m[1][1]}, {m[0][0], m[0][1]}};  // K D R(-phi)
  const T zero = constant(dt, 0.0), one = constant(dt, 1.0);
  for (int a = 0; a < 3; ++a) {
    for (int c = 0; c < 3; ++c) t[a][c] = dtdt[a][c] = zero;
  }
  t[2][2] = one;
  for (int c = 0; c < 2; ++c) {
    t[0][c] = ct * m[0][c] - st * m[1][c];
    t[1][c] = st * m[0][c] + ct * m[1][c];
    const T k0 = km[0][c] * (1.0 - dphi * dt * dn), k1 = km[1][c] * (1.0 - dphi * dt * dn);
    dtdt[0][c] = ct * k0 - st * k1;
    dtdt[1][c] = st * k0 + ct * k1;
  }
}

// The chain rule through the sector fold `f` of the point whose offsets
// from the origin are (u, v): `j` comes in as the derivatives at the
// folded point (j[a][c] = dB_a / dq_c) with the field `b` there, and
// leaves as those at the unfolded point.  `angle` is the map's |ANGLE|.
template <class T>
FIELDSCAN_CHAIN_INLINE void unfold_sector(float angle, const SectorTurn<T>& f, T u, T v,
                                          const T (&b)[3], Matrix<T>& j) {
  const T r2 = u * u + v * v, r = root(r2);
  const T zero = constant(u, 0.0), one = constant(u, 1.0);
  T dphi = zero;  // d phi / d theta
  if (angle != 0.0f) {
    const double a = angle;
    dphi = pick(f.theta - a * (2.0 * f.k_n) >= zero, one, -one);
  }
  const T dr[2] = {u / r, v / r}, dtheta[2] = {-v / r2, u / r2};
  Matrix<T> dq = {{zero, zero, zero}, {zero, zero, zero}, {zero, zero, one}};
  for (int c = 0; c < 2; ++c) {
    dq[0][c] = f.cphi * dr[c] - r * f.sphi * dphi * dtheta[c];
    dq[1][c] = f.sphi * dr[c] + r * f.cphi * dphi * dtheta[c];
  }
  Matrix<T> t, dtdt, tj, out;
  field_turn(f, dphi, t, dtdt);
  multiply(t, j, tj);
  multiply(tj, dq, out);
  for (int a = 0; a < 2; ++a) {
    const T turn = dtdt[a][0] * b[0] + dtdt[a][1] * b[1];
    for (int c = 0; c < 2; ++c) out[a][c] += turn * dtheta[c];
  }
  for (int a = 0; a < 3; ++a) {
    for (int c = 0; c < 3; ++c) j[a][c] = out[a][c];
  }
}

}  // namespace fieldscan::chain
