// Finds the regular grid that a table's rows lie on and fills a map with
// them.
//
// Tolerance: a coordinate stands for node k of its axis when it lies within
//   1e-3 * DX + one unit in the last place of single precision at the
//   axis's largest |coordinate|
// of XMIN + k * DX, computed from the single-precision XMIN and DX that the
// map will hold (likewise for y and z).  In both forms, coordinates closer
// together than 1e-3 of the largest gap between neighbouring coordinates
// (which is the step on a grid with every plane present) count as the same
// grid plane.  The looseness takes in tables whose coordinates were printed
// with six significant digits, or carry a small jitter.
//
// Along each axis, XMIN is the smallest coordinate.  The number of nodes is
// the header's count (header form) or the number of distinct planes (plain
// form, where every grid plane must hold at least one row).  DX is the span
// divided by the number of steps, in double precision; the coordinates'
// rounding leaves it uncertain by a few units in the last place, and of the
// single-precision values within that the one kept is, in this order of
// preference: one that puts every distinct coordinate exactly on
// float(XMIN + k * DX) (so a table written from a map gives back the map's
// own DX), the one with the shortest decimal form (0.02 rather than
// 0.0200000014 for a table written in decimals), the nearest.  An axis with
// a single plane gets DX = 1.
#pragma once

#include <cstdint>
#include <vector>

#include "fieldscan/formats/table_error.h"
#include "fieldscan/formats/table_reader.h"
#include "fieldscan/mapfile/grid.h"
#include "fieldscan/mapfile/map_contents.h"
#include "fieldscan/mapfile/node.h"

namespace fieldscan::fieldmap {

// The grid along one axis.
struct AxisGrid {
  float min = 0;   // first node
  float step = 1;  // node spacing
  std::int32_t n = 1;
  double tolerance = 0;
};

enum class AxisFit {
  regular,         // `grid` holds the axis
  count_mismatch,  // the planes are regular but there are not `count` of them;
                   // `grid` holds what they are
  irregular,       // no regular grid of the wanted count holds the planes
};

// Fits a grid to the distinct coordinates `values` (sorted ascending, no
// repeats, not empty).  `count` is the header's node count, or 0 for
// "as many nodes as there are distinct planes".
AxisFit fit_axis(const std::vector<float>& values, std::int32_t count, AxisGrid& grid);

// The grid of `n` nodes from `min` with step `step`, with the tolerance
// above.
AxisGrid fixed_axis(float min, float step, std::int32_t n);

// The tolerance above for `n` nodes from `min` with step `step`, for the
// readers that place nodes in a file's own units before rounding them.
double grid_tolerance(double min, double step, std::int32_t n);

// Node index (0-based) of `v` on the axis of `n` nodes from `min` with step
// `step`, or -1 when `v` is not within `tolerance` of one.
std::int64_t grid_node(double min, double step, std::int64_t n, double tolerance, double v);

// Node index (0-based) of coordinate `v` on `grid`, or -1 when `v` is not
// within the grid's tolerance of a node.
std::int64_t node_of(const AxisGrid& grid, float v);

// Position of node `k` (0-based): min + k * step in double precision,
// rounded once to single precision, as the map's readers place it.
float node_position(const AxisGrid& grid, std::int64_t k);

// What build_map noticed without failing.
struct BuildNotes {
  // Rows with finite values that are above the unmeasured limit in all
  // three components without being the unmeasured mark in all three: they
  // become unmeasured nodes.  Their number and the lines of the first few.
  std::int64_t made_unmeasured = 0;
  std::vector<std::uint64_t> made_unmeasured_lines;
};

// Fills the geometry (xmin.., dx.., nx..) and values of `contents` from the
// rows of `table`; title, date, angle and the integers are left as they
// are.  Nodes without a row, and nodes whose row has a component that is not
// finite, get kUnmeasuredMark in all three components.  False, with `error`
// set and `contents` unspecified, for: a header count that does not match
// the planes of the rows, a coordinate off the grid (the first such row in
// file order), two rows for one node (at the second), a grid of more than
// `capacity` values (MXS: the console's).  `notes`, when given, receives
// what is worth a warning.
bool build_map(const Table& table, MapContents& contents, TableError& error,
               BuildNotes* notes = nullptr, std::int64_t capacity = MXS);

}  // namespace fieldscan::fieldmap
