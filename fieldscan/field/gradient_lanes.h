// The linear gradient of many points at once.
//
// Like the field batch (evaluate_many), the gradient batch takes the
// ordinary points of a map four at a time through vector code, with the
// same IEEE operations in the same order as evaluate_gradient (the chain
// rule through the sector fold is one template for both, sector_chain.h),
// and hands every other point to evaluate_gradient itself: each way gives
// the same bits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "fieldscan/field/evaluate.h"
#include "fieldscan/field/gradient.h"

namespace fieldscan {

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
