// The linear gradient of many points at once, and the stage of the
// one-point gradient that the batch shares with it.
//
// Like the field batch (evaluate_many), the gradient batch takes the
// ordinary points of a map four at a time through vector code, with the
// same IEEE operations in the same order as evaluate_gradient, and hands
// every other point to evaluate_gradient itself: each way gives the same
// bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "fieldscan/field/evaluate.h"
#include "fieldscan/field/gradient.h"

namespace fieldscan {

// cos and sin of a fold's polar angle theta (in [0, pi/2]) as the sector
// unfold of the gradient takes them: by sin_cos_quadrant() (sector_lanes.h)
// where the vector lanes are built, so that the batch, which has them from
// its fold, gives the same bits; by the C library elsewhere.
void polar_sin_cos(float theta, double& cosine, double& sine);

// The last stage of evaluate_gradient: the interpolated field `b` and its
// derivatives `folded` (folded[a][c] = dB_a / dq_c at the folded point q)
// carried back to the raw point (x, y, z) through the sector fold `fold`
// (ct and st: polar_sin_cos() of its theta, where it turned the point) and
// the mirror planes, each derivative rounded once into `g`.
void unfold_gradient(const GridSize& grid, const Fold& fold, double ct, double st, float x, float y,
                     float z, const double b[3], const double folded[3][3], FieldGradient& g);

using GradientBatch = void (*)(const GridSize& grid, const float values[], std::int64_t capacity,
                               std::size_t n, const float x[], const float y[], const float z[],
                               FieldGradient g[], FieldStatus status[]);

// A way of taking the linear gradient of many points: vector code for an
// instruction set, or evaluate_gradient point by point.
struct GradientVariant {
  const char* name;
  GradientBatch run;
};

// The ways this processor can run, fastest first; the last is point by
// point.  Each gives evaluate_gradient's bits and statuses.
std::span<const GradientVariant> gradient_variants();

// The last of them: evaluate_gradient's stages (linear), a block of points
// folded and located together, then differentiated one by one.
void gradient_point_by_point(const GridSize& grid, const float values[], std::int64_t capacity,
                             std::size_t n, const float x[], const float y[], const float z[],
                             FieldGradient g[], FieldStatus status[]);

}  // namespace fieldscan
