// Tricubic interpolation of a map: the tensor product of Keys' cubic
// convolution (a = -1/2) over the 4 x 4 x 4 nodes around the point.
//
// The point goes through the same stages as for the trilinear method
// (limits, mirror and sector folds, the cell among the nodes held, and the
// sector and mirror signs on the way back); only the interpolation inside
// differs.  Where the stencil of an axis leaves the grid:
//  - below the first node, on an axis whose first node plane is a mirror
//    plane (reflection index not 0), node -1 is the mirror image of node 1:
//    index 1 reverses the component normal to the plane, any other index
//    the two parallel to it;
//  - at any other edge, a ghost node continues the quadratic through the
//    three nodes nearest the edge: f(-1) = 3 f(0) - 3 f(1) + f(2), and
//    f(n) = 3 f(n-1) - 3 f(n-2) + f(n-3) (an axis of two nodes continues
//    the line through them).
// So a uniform field is reproduced exactly and any quadratic field to
// within rounding, edge cells included.  On a node the result is the node
// value itself.  A node of non-zero weight that is unmeasured (a ghost
// built from one included) makes the point unmeasured.
//
// Arithmetic is double precision on the widened single-precision values,
// rounded once to single precision per component.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "fieldscan/field/evaluate.h"
#include "fieldscan/field/interpolation.h"

namespace fieldscan {

// Keys' kernel at fraction t of a cell: the weights of the nodes lower - 1,
// lower, lower + 1 and lower + 2.  They sum to 1; at t = 0 they are exactly
// 0, 1, 0, 0.
void keys_weights(double t, double w[4]);
// Their derivatives with respect to t (divide by the step for d/dx).
void keys_slopes(double t, double w[4]);

// One axis of the stencil, with the edge rules applied: the held nodes
// first .. first + count - 1 and, per field component, their weights.
// Nodes of zero weight at either end are left out, so count is 1 on a node.
struct CubicAxis {
  std::int64_t first = 0;
  int count = 0;
  double w[3][4] = {};  // component, node - first
};

// The stencil of one axis of `nodes` nodes for the cell `cell`, whose four
// kernel weights (of lower - 1 .. lower + 2) are `kernel` (keys_weights, or
// keys_slopes for a derivative).  `mirror_index` is the axis's reflection
// index (0: no mirror plane) and `normal` the axis (0 x, 1 y, 2 z).
void cubic_axis(const AxisCell& cell, std::int64_t nodes, std::int32_t mirror_index, int normal,
                const double kernel[4], CubicAxis& axis);

// The tensor sum of the three stencils over the node values, along z
// first, then y, then x (the order of cubic_stencil.h), each component
// rounded once into `b`; kUnmeasured (and `b` untouched) when a node of
// non-zero weight is unmeasured.
FieldStatus cubic_sum(const GridSize& grid, const float values[], const CubicAxis& x,
                      const CubicAxis& y, const CubicAxis& z, float b[3]);

// The interpolation stage alone, by either method, at a point already
// located in the cells of the held grid (see locate_cell): no limits, folds
// or signs.
FieldStatus interpolate_cells(Interpolation method, const GridSize& grid, const float values[],
                              std::int64_t capacity, const AxisCell cell[3], float b[3]);

// A hint to the memory system that the nodes the interpolation `method`
// reads around the located point (cells of the held grid, `nodes` per axis)
// will be needed soon: a batch locates a block of points first, so that the
// reads of their nodes overlap instead of waiting one after another.
// Reads nothing and changes nothing.
void prefetch_cells(Interpolation method, const GridSize& grid, const float values[],
                    const std::int64_t nodes[3], const AxisCell cell[3]);

// Points taken through a batch's stages together: located (and their nodes
// fetched) as a block, then interpolated.
constexpr std::size_t kLocateBlock = 32;

// The first stage of a batch for at most kLocateBlock points from `start`:
// each point folded (fold[m]) and located (cell[m]), with `status[start + m]`
// set, and the nodes of every located point prefetched for `method`.
void locate_points(Interpolation method, const GridSize& grid, const float values[],
                   std::int64_t capacity, const std::int64_t nodes[3], const float x[],
                   const float y[], const float z[], std::size_t start, std::size_t count,
                   Fold fold[], AxisCell cell[][3], FieldStatus status[]);

// evaluate() with the tricubic interpolation: the same statuses, limits and
// symmetries.  Reads only nodes of the held grid and allocates nothing.
FieldStatus evaluate_cubic(const GridSize& grid, const float values[], std::int64_t capacity,
                           float x, float y, float z, float b[3]);

// The ways this processor can run evaluate_cubic_many(), fastest first
// (compiled for a wider vector unit, or for any processor last); each gives
// the same bits as evaluate_cubic().
std::span<const BatchVariant> cubic_batch_variants();

// evaluate_cubic() at n points (BatchFunction's contract): the first of
// cubic_batch_variants().
void evaluate_cubic_many(const GridSize& grid, const float values[], std::int64_t capacity,
                         std::size_t n, const float x[], const float y[], const float z[],
                         FieldVector b[], FieldStatus status[]);

// One point, or a batch, by either method: linear is evaluate() and
// evaluate_many(), bit for bit.
FieldStatus evaluate_by(Interpolation method, const GridSize& grid, const float values[],
                        std::int64_t capacity, float x, float y, float z, float b[3]);
void evaluate_many_by(Interpolation method, const GridSize& grid, const float values[],
                      std::int64_t capacity, std::size_t n, const float x[], const float y[],
                      const float z[], FieldVector b[], FieldStatus status[]);

}  // namespace fieldscan
