// The derivatives of the field: the nine partial derivatives of the very
// interpolant that gives the field at a point.
//
// Inside the cell that the evaluation uses for a point, the trilinear
// interpolant is differentiated exactly; outside the stored region the
// derivatives are carried through the sector fold and the mirror planes by
// the chain rule (the fold's rotation or reflection of the point, the turn
// of the field back to the point's polar angle, and the signs of the mirror
// images).  On a field that is linear in the coordinates they are therefore
// exact at every point, stored or folded.
//
// With the tricubic method (field/cubic.h) the interpolant differentiated is
// the cubic one over the stencil of the point, edge rules included, and the
// same chain rule carries its derivatives through the folds; it has no kink
// at node planes, so its derivative there needs no choice of side.
//
// Where the linear interpolant has a kink (a node plane, a mirror plane, a sector
// line) the derivative is the one-sided derivative of the cell the
// evaluation chose: the cell above a node plane, the stored side of a
// mirror plane; on the last node plane of an axis, the cell below it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "fieldscan/field/field_map.h"
#include "fieldscan/field/interpolation.h"
#include "fieldscan/mapfile/grid.h"

namespace fieldscan {

// d[a][b] = dB_a / dx_b, a and b in order x, y, z: the field unit per
// length unit of the map.
struct FieldGradient {
  float d[3][3] = {};
};

// The gradient at (x, y, z) of the map described by `grid` whose node values
// start at `values` (of which `capacity` are held): kOk and `g` set, or the
// reason and `g` untouched.  The reasons are the evaluation's, except that a
// point whose field is evaluable may still be kUnmeasured here: the
// derivative across a face of its cell reads the nodes beyond the face,
// which the field itself gives no weight to.  An axis of a single node (or
// without a usable step) has derivative 0 along it.  `method` is the
// interpolant differentiated.
FieldStatus evaluate_gradient(const GridSize& grid, const float values[], std::int64_t capacity,
                              float x, float y, float z, FieldGradient& g,
                              Interpolation method = Interpolation::kLinear);

// evaluate_gradient at n points: status[m] set, and g[m] where it is kOk.
// The same bits as n calls; the linear method takes the ordinary points of
// the batch four at a time (field/gradient_lanes.h).
void evaluate_gradient_many(const GridSize& grid, const float values[], std::int64_t capacity,
                            std::size_t n, const float x[], const float y[], const float z[],
                            FieldGradient g[], FieldStatus status[],
                            Interpolation method = Interpolation::kLinear);

// The same on a FieldMap: one point, or the points (x[n], y[n], z[n]) with
// equal spans shared among `threads` threads as FieldMap::field shares them.
FieldStatus field_gradient(const FieldMap& map, float x, float y, float z, FieldGradient& g,
                           Interpolation method = Interpolation::kLinear);
void field_gradient(const FieldMap& map, std::span<const float> x, std::span<const float> y,
                    std::span<const float> z, std::span<FieldGradient> g,
                    std::span<FieldStatus> status, unsigned threads = 1,
                    Interpolation method = Interpolation::kLinear);

}  // namespace fieldscan
