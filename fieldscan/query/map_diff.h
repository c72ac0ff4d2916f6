// Comparing two field maps at a set of points (the nodes of the first map,
// say): per component the largest absolute difference and where it lies,
// the RMS difference, and the points where only one map has a field.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "fieldscan/field/field_map.h"
#include "fieldscan/formats/units.h"
#include "fieldscan/query/point_source.h"

namespace fieldscan::fieldmap {

struct ComponentDiff {
  double max_abs = 0;       // largest |a - b| over points evaluable in both
  std::int64_t where = -1;  // its point (0-based index in the source), -1: none
  Point3 at;
  float a = 0, b = 0;  // the two values there
  double rms = 0;      // sqrt(mean (a - b)^2)
};

// The units the two maps record (see units.h) and how B is compared with
// A.  Lengths and field are judged apart: recorded in both and different,
// B's are converted to A's (the points are in A's lengths); recorded in one
// map only, the units are unknown and the stored numbers are compared.
struct DiffUnits {
  Units a, b;
  bool convert_length = false, convert_field = false;
  bool unknown_length = false, unknown_field = false;
};

DiffUnits diff_units(const MapContents& a, const MapContents& b);

struct DiffResult {
  DiffUnits units;
  std::int64_t points = 0;
  std::int64_t both = 0;    // evaluable in both maps
  std::int64_t only_a = 0;  // evaluable in the first map only
  std::int64_t only_b = 0;  // in the second only
  std::int64_t neither = 0;
  Point3 first_only_a, first_only_b;  // the first of each kind
  ComponentDiff component[3];
  double max_abs() const;
  // The maps agree within `tolerance`: every difference at most it and no
  // point evaluable in one map only.
  bool within(double tolerance) const;
};

// A difference of two single-precision values, in double precision; two
// NaNs do not differ, a NaN and a number differ infinitely.
double value_difference(float a, float b);

// Compares `a` and `b` at every point of `points`, in the units of `a` as
// diff_units tells.  False when the source
// fails (its error() tells why).  `progress`, when set, gets the part done.
// `threads` evaluate each chunk (0: batch_threads of its size), each map by
// `method`.
bool diff_maps(const FieldMap& a, const FieldMap& b, PointSource& points, DiffResult& result,
               const std::function<void(double)>& progress = {}, unsigned threads = 0,
               Interpolation method = Interpolation::kLinear);

// The report.  `where` names a point by its index (for nodes: "node (i, j,
// k)"); empty gives the coordinates alone.
std::string format_diff(const DiffResult& r, double tolerance,
                        const std::function<std::string(std::int64_t)>& where);

}  // namespace fieldscan::fieldmap
