// Questions asked of a map as a whole: the field at the points of a line or
// of a grid, the field integral along a line, and how two maps differ.  All
// of them evaluate through FieldMap's batch evaluation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "field/field_map.h"

namespace fieldscan {

// Points and the field there: b[n] holds NaN in all three components where
// status[n] is not kOk.
struct Samples {
  std::vector<float> x, y, z;
  std::vector<FieldVector> b;
  std::vector<FieldStatus> status;

  std::size_t size() const { return x.size(); }
};

// Fills b and status of `samples` for its points, sharing them among
// `threads` threads.
void evaluate(const FieldMap& map, Samples& samples, unsigned threads);

using Point = std::array<double, 3>;

// `count` (at least 2) points evenly spaced from `start` to `end`, both ends
// included; each coordinate is computed in double and rounded once.
Samples line_by_count(const Point& start, const Point& end, std::int64_t count);

// The points start + k * step along the line towards `end`, for k = 0, 1, ...
// as long as k * step does not pass the line's length (a relative slack of
// 1e-9 keeps an end that a whole number of steps reaches).  `step` > 0.
Samples line_by_step(const Point& start, const Point& end, double step);

// Number of points line_by_step gives, so that a caller can refuse a request
// too large before anything is allocated.
std::int64_t line_step_count(const Point& start, const Point& end, double step);

// One axis of a grid: `count` points from `first` to `last`, both included
// (a single value when count is 1).
struct Axis {
  double first = 0, last = 0;
  std::int64_t count = 1;
};

// The points of a grid, x fastest, then y, then z.
Samples grid_points(const Axis& x, const Axis& y, const Axis& z);

// The positions of the nodes of `map`, in the order of its values (x fastest).
Samples node_points(const FieldMap& map);

// The field integral along evenly spaced samples `spacing` apart.  Runs of
// consecutive evaluable points are integrated each on its own (composite
// Simpson's rule when the run has an even number of intervals, the
// trapezoidal rule otherwise) and added; points that cannot be evaluated
// contribute nothing.
struct LineIntegral {
  std::array<double, 3> integral{};  // of BX, BY, BZ, in field units times length
  std::string rule;                  // "simpson", "trapezoid" or "simpson+trapezoid"
  double peak = 0;                   // largest |B| over the evaluated points
  std::array<float, 3> peak_at{};    // where it is
  int main_component = 0;            // 0, 1, 2: the component of largest |integral|
  double main_peak = 0;              // that component where it is largest in magnitude
  double effective_length = 0;       // integral of the main component / main_peak
  double skipped_length = 0;         // length of the line not integrated
  std::int64_t evaluated = 0;        // points evaluated
};
LineIntegral integrate(const Samples& samples, double spacing);

// Differences b - a at the same points, over the points evaluable in both.
struct MapDifference {
  std::array<double, 3> max_abs{};               // per component
  std::array<std::array<float, 3>, 3> max_at{};  // where each lies (NaN when none)
  std::array<double, 3> rms{};
  std::int64_t compared = 0;  // evaluable in both
  std::int64_t only_a = 0;    // evaluable in a only
  std::int64_t only_b = 0;    // evaluable in b only
};
MapDifference difference(const Samples& a, const Samples& b);

}  // namespace fieldscan
