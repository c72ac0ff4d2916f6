// The one field evaluation, behind FIELDS and FieldMap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "fieldscan/field/field_status.h"
#include "fieldscan/mapfile/grid.h"

namespace fieldscan {

// The field at (x, y, z) of the map described by `grid` whose node values
// start at `values`, of which `capacity` are held (planes beyond them are
// treated as absent).  kOk and b[0..3) set, or the reason and `b` untouched.
// Reads at most the eight nodes of one cell, never a node outside the held
// grid, and allocates nothing.
FieldStatus evaluate(const GridSize& grid, const float values[], std::int64_t capacity, float x,
                     float y, float z, float b[3]);

// The largest polar angle of a first-quadrant point: pi/2 rounded to single
// precision (1.57079637, the same number the loader derives for a 90-degree
// map from its single-precision pi).  atan2 of non-negative arguments never
// exceeds double pi/2, which rounds to this, so a map whose |ANGLE| is at
// least this never folds.
constexpr float kHalfPi = static_cast<float>(1.5707963267948966);

// The folded point: the raw point carried into the first quadrant about the
// grid origin and, where the sector symmetry applies, turned back into the
// sector between the x axis and the sector angle.  The rotation is kept so
// that the field found there can be turned back to the point.
struct Fold {
  float u = 0, v = 0, w = 0;  // offsets from the origin, x, y and z
  bool turned = false;        // the sector fold applied
  float theta = 0;            // the point's own polar angle
  float cphi = 1, sphi = 0;   // cos and sin of the folded angle
  double k_t = 0, k_n = 0;    // sector lines crossed; parities only
};

// The first stages of evaluate(): the raw point against the limits, the
// mirror fold and the sector fold.  kOk and `fold` set, or the reason.
FieldStatus fold_point(const GridSize& grid, float x, float y, float z, Fold& fold);

// The last stages of evaluate(): the field `b` interpolated at the folded
// point turned back to the raw point (x, y, z), sector and mirror signs.
void unfold_field(const GridSize& grid, const Fold& fold, float x, float y, float z, float b[3]);

// The cell of one axis: `lower` is the 0-based index of the cell's lower
// node, `frac` the fraction of a step from it towards the next node.
struct AxisCell {
  std::int64_t lower = 0;
  double frac = 0.0;
};

// The middle stage of evaluate(): the grid cell holding the folded point,
// among the nodes held (no more z planes than fit in `capacity` values).
// kOk and the cells set, or the axis whose limits the point lies outside.
// A non-zero fraction always has lower + 1 below the axis's node count.
FieldStatus locate_cell(const GridSize& s, std::int64_t capacity, const Fold& f, AxisCell& cx,
                        AxisCell& cy, AxisCell& cz);

// The stage between: the trilinear interpolation of the cell's eight nodes
// (kUnmeasured when one of non-zero weight is unmeasured).
FieldStatus interpolate(const GridSize& s, const float values[], const AxisCell& cx,
                        const AxisCell& cy, const AxisCell& cz, float b[3]);

// The z planes of the grid that `capacity` values hold (at most NZ).
std::int64_t held_planes(const GridSize& s, std::int64_t capacity);

using BatchFunction = void (*)(const GridSize& grid, const float values[], std::int64_t capacity,
                               std::size_t n, const float x[], const float y[], const float z[],
                               FieldVector b[], FieldStatus status[]);

// A way of evaluating many points: vector code for an instruction set, or
// evaluate() point by point.
struct BatchVariant {
  const char* name;
  BatchFunction run;
};

// The ways this processor can run, fastest first; the last is point by
// point.  Each gives the same bits.
std::span<const BatchVariant> batch_variants();

// evaluate() at the n points (x[m], y[m], z[m]): status[m] set, and b[m]
// where it is kOk.  The same bits as n calls, in less time: the first of
// batch_variants().
void evaluate_many(const GridSize& grid, const float values[], std::int64_t capacity, std::size_t n,
                   const float x[], const float y[], const float z[], FieldVector b[],
                   FieldStatus status[]);

}  // namespace fieldscan
