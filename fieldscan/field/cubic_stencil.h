// The tricubic sum over a stencil that lies wholly inside the grid, where
// every node has the kernel's weights for all three components.  Both the
// one-point evaluation and the batch use these functions, so that the two
// perform the same operations in the same order and give the same bits;
// the batch compiles them for wider instruction sets, whose lanes round as
// the scalar operations do.
//
// The stencil is 4 x 4 rows of 4 nodes; a row holds 12 consecutive values
// (node by node, three components each).  The sum runs along z first, then
// y, then x: for each of a row's 12 values
//   s[j] = sum over k of wz[k] v[k][j],  t = sum over j of wy[j] s[j],
// and then per component c, b[c] = sum over i of wx[i] t[3 i + c], each sum
// in index order from its first product.  Along a line in x the 12 column
// sums t are the same for every point of a cell: the batch keeps them.
#pragma once

#include <cstdint>

#include "fieldscan/field/lanes.h"
#include "fieldscan/mapfile/node.h"

#ifndef FIELDSCAN_INLINE
#define FIELDSCAN_INLINE [[gnu::always_inline]] inline
#endif

namespace fieldscan::stencil {

// The 12 column sums of one stencil, and whether any value it read is above
// the unmeasured limit (then its nodes need testing one by one).
struct Columns {
  double t[12] = {};
  bool high = false;
};

// Keys' kernel at fraction t of a cell (see keys_weights).
FIELDSCAN_INLINE void kernel(double t, double w[4]) {
  const double t2 = t * t, t3 = t2 * t;
  w[0] = (-t3 + 2.0 * t2 - t) * 0.5;
  w[1] = (3.0 * t3 - 5.0 * t2 + 2.0) * 0.5;
  w[2] = (-3.0 * t3 + 4.0 * t2 + t) * 0.5;
  w[3] = (t3 - t2) * 0.5;
}

// True when the stencil of the cell lies wholly inside the axis's `nodes`
// nodes and no node has zero weight (the point is not on a node plane).
FIELDSCAN_INLINE bool interior(std::int64_t lower, double frac, std::int64_t nodes) {
  return frac != 0.0 && lower >= 1 && lower + 2 < nodes;
}

#ifdef FIELDSCAN_LANES

// The column sums of the rows from `first` (row j of plane k at
// first + k * sz + j * sy).
FIELDSCAN_INLINE void column_sums(const float* first, std::int64_t sy, std::int64_t sz,
                                  const double wy[4], const double wz[4], Columns& out) {
  using namespace lanes;  // NOLINT: the vector vocabulary
  const Floats limit = splat(kUnmeasuredLimit);
  Ints high{};
  // Row j of plane k, widened, and its products with the weight w.
  const auto products = [&](int j, int k, Doubles p[3]) {
    const float* row = first + (k * sz + j * sy);
    const Doubles w = splat(wz[k]);
    for (int q = 0; q < 3; ++q) {
      const Floats v = load<Floats>(row + 4 * q);
      high |= v > limit;
      p[q] = w * widen(v);
    }
  };
  // The first terms of each sum are taken apart rather than chosen by a
  // condition: GCC 12 turns such a choice into a masked AVX-512 add whose
  // mask covers one lane only.
  const auto column = [&](int j, Doubles s[3]) {
    products(j, 0, s);
    for (int k = 1; k < 4; ++k) {
      Doubles p[3];
      products(j, k, p);
      for (int q = 0; q < 3; ++q) s[q] = s[q] + p[q];
    }
  };
  Doubles t[3], s[3];
  column(0, s);
  for (int q = 0; q < 3; ++q) t[q] = splat(wy[0]) * s[q];
  for (int j = 1; j < 4; ++j) {
    column(j, s);
    const Doubles w = splat(wy[j]);
    for (int q = 0; q < 3; ++q) t[q] = t[q] + w * s[q];
  }
  std::memcpy(out.t, t, sizeof out.t);
  out.high = !none(high);
}

// The x sums of the column sums, one per component, rounded once.
FIELDSCAN_INLINE void row_sums(const Columns& c, const double wx[4], float b[3]) {
  using namespace lanes;  // NOLINT: the vector vocabulary
  const Doubles p0 = load<Doubles>(c.t) * Doubles{wx[0], wx[0], wx[0], wx[1]};
  const Doubles p1 = load<Doubles>(c.t + 4) * Doubles{wx[1], wx[1], wx[2], wx[2]};
  const Doubles p2 = load<Doubles>(c.t + 8) * Doubles{wx[2], wx[3], wx[3], wx[3]};
  // Node i's three products: p0 0..2, then p0 3 and p1 0..1, p1 2..3 and
  // p2 0, p2 1..3 (the fourth lane of each is not used).
  const Doubles n1 = __builtin_shufflevector(p0, p1, 3, 4, 5, 5);
  const Doubles n2 = __builtin_shufflevector(p1, p2, 2, 3, 4, 4);
  const Doubles n3 = __builtin_shufflevector(p2, p2, 1, 2, 3, 3);
  const Floats sum = narrow(((p0 + n1) + n2) + n3);
  b[0] = sum[0], b[1] = sum[1], b[2] = sum[2];
}

#else

inline void column_sums(const float* first, std::int64_t sy, std::int64_t sz, const double wy[4],
                        const double wz[4], Columns& out) {
  out.high = false;
  for (int n = 0; n < 12; ++n) {
    double t = 0.0;
    for (int j = 0; j < 4; ++j) {
      double s = 0.0;
      for (int k = 0; k < 4; ++k) {
        const float v = first[k * sz + j * sy + n];
        out.high = out.high || v > kUnmeasuredLimit;
        const double p = wz[k] * static_cast<double>(v);
        s = k == 0 ? p : s + p;
      }
      t = j == 0 ? wy[j] * s : t + wy[j] * s;
    }
    out.t[n] = t;
  }
}

inline void row_sums(const Columns& c, const double wx[4], float b[3]) {
  for (int k = 0; k < 3; ++k) {
    b[k] = static_cast<float>(((wx[0] * c.t[k] + wx[1] * c.t[3 + k]) + wx[2] * c.t[6 + k]) +
                              wx[3] * c.t[9 + k]);
  }
}

#endif

}  // namespace fieldscan::stencil
