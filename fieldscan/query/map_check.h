// A quality report on a map: is the field it holds a magnetic field?
//
//  - Divergence and curl at every interior node whose six neighbours are
//    measured, by central differences in the map's own units (field unit
//    per length unit).  A measured static field has neither, so what is
//    found is measurement noise, interpolation error of a coarse grid, or a
//    map whose values are in the wrong order.  Each is also given relative
//    to B/h: the largest |B| of the measured nodes over the smallest step,
//    the derivative of a field that changes by all of itself in one step.
//  - Mirror planes: on the plane of a reflection index the components that
//    the reflection reverses (index 1: the normal one; any other: the two
//    parallel ones) must vanish; the largest of them relative to |B|max.
//  - Unmeasured nodes: how many and the smallest box of node indices
//    holding them; the units the map records.
// Figures are computed in double precision and rounded once to single.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "fieldscan/field/field_map.h"
#include "fieldscan/query/point_source.h"

namespace fieldscan::fieldmap {

// The largest relative figures a map may show and pass.  Central
// differences of a smooth field sampled finely enough, with measurement
// noise at the level of 1e-4, stay below 1e-3 relative to B/h; values in a
// transposed order jump by about B between neighbours, far above 1e-1.
struct CheckLimits {
  double divergence = 1e-2;
  double curl = 1e-2;
  double plane = 1e-3;
};

// Node indices are 1-based, as the map's own numbering.
using NodeIndex = std::array<std::int64_t, 3>;

// The divergence, or the magnitude of the curl, over the interior nodes.
struct DerivativeFigure {
  float max = 0;  // largest absolute value (curl: magnitude)
  float rms = 0;
  float relative = 0;  // max over B/h
  float rms_relative = 0;
  Point3 at;
  NodeIndex node = {0, 0, 0};
};

struct PlaneFigure {
  int axis = 0;            // the plane x = XMIN (0), y = YMIN (1), z = ZMIN (2)
  int index = 0;           // its reflection index
  bool on_grid = false;    // false: the grid has no nodes on the plane
  std::int64_t nodes = 0;  // measured nodes on it
  float max = 0;           // largest reversed component there
  float relative = 0;      // max over |B|max
  Point3 at;
  NodeIndex node = {0, 0, 0};
};

struct MapCheck {
  std::int64_t interior = 0;  // interior nodes (all six neighbours on the grid)
  std::int64_t checked = 0;   // of those, with all six measured
  std::int64_t skipped = 0;   // of those, with an unmeasured neighbour
  float b_max = 0;            // largest |B| of the measured nodes
  float step = 0;             // smallest step of an axis with two nodes or more
  float scale = 0;            // b_max / step
  DerivativeFigure divergence, curl;
  std::vector<PlaneFigure> planes;
  std::int64_t unmeasured = 0;
  NodeIndex box_low = {0, 0, 0}, box_high = {0, 0, 0};
  std::string length_unit, field_unit;  // empty: not recorded
  bool passed = false;
};

// The figures of `map` and whether each relative one is within `limits`.
MapCheck check_map(const FieldMap& map, const CheckLimits& limits);

// The report as text or as one JSON object.
std::string format_check(const MapCheck& check, const CheckLimits& limits, bool json);

}  // namespace fieldscan::fieldmap
