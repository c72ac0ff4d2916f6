// Field integrals along a straight line through a map: the integral of each
// component over the length of the line, the peak of the field and the
// effective length (integral of the main component over its peak value).
//
// The field is evaluated at equally spaced points and integrated with
//  - composite Simpson: the 1/3 rule on pairs of intervals and, when the
//    number of intervals is odd, the 3/8 rule on the last three (exact for
//    fields up to cubic along the line; a stretch of two points is
//    integrated with the trapezoid rule);
//  - or the composite trapezoid rule (exact for linear fields).
// Sums are kept in double precision; results are rounded once to single
// precision.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "fieldscan/field/field_map.h"
#include "fieldscan/query/point_source.h"

namespace fieldscan::fieldmap {

enum class IntegrationRule { kSimpson, kTrapezoid };

// The rule in words, as the integral report states it.
std::string rule_description(IntegrationRule rule);

// The spacing of a line's points when none is asked for: a quarter of the
// map's finest grid step (1 when the map has no usable step), which follows
// the interpolation closely.
double default_step(const GridSize& grid);

// The number of points from one end of a line of `length` to the other at
// most `step` apart, both ends among them (at least 2); -1 when that is
// `limit` or more.
std::int64_t stepped_count(double length, double step, std::int64_t limit);

// The points of a line to integrate along by step: from one end to the
// other, both among them, at most `step` apart (the step itself when it
// divides the length, else a little less); `step` 0 takes default_step(grid).
// At most `limit` points.  Anything but kNone leaves `line` unset.
LineProblem integral_line(Point3 a, Point3 b, double step, const GridSize& grid, std::int64_t limit,
                          std::optional<LinePoints>& line);

// Integrates equally spaced values (three components) point by point,
// keeping a fixed amount of state however long the line.  Values come in
// stretches: end_stretch() closes one, and the next add() starts another;
// the integral is the sum over the stretches.
class LineIntegrator {
 public:
  LineIntegrator(IntegrationRule rule, double spacing) : rule_(rule), h_(spacing) {}
  void add(const double v[3]);
  void end_stretch();
  // The sum over the closed stretches.
  const double* integral() const { return total_; }

 private:
  IntegrationRule rule_;
  double h_;
  std::int64_t count_ = 0;  // points of the open stretch
  double last_[4][3] = {};  // the open stretch's last four values, newest last
  double panels_[3] = {};   // Simpson panels (or trapezoids) of the open stretch
  double last_panel_[3] = {};
  double total_[3] = {};
};

struct IntegralOptions {
  IntegrationRule rule = IntegrationRule::kSimpson;
  // Integrate the evaluable stretches only, instead of stopping at the
  // first point that cannot be evaluated.
  bool skip_unevaluable = false;
  // Component of the effective length (0 bx, 1 by, 2 bz); -1: the one with
  // the largest peak magnitude.
  int main_component = -1;
  // Threads evaluating each chunk of points; 0: batch_threads of its size.
  unsigned threads = 0;
  // The interpolation between the map's nodes.
  Interpolation method = Interpolation::kLinear;
};

struct IntegralResult {
  std::int64_t points = 0;  // points of the line
  double spacing = 0;       // distance between neighbouring points
  double length = 0;        // from the first point to the last

  // Set when a point could not be evaluated and skipping was not asked
  // for: the first such point (0-based index), where it is and why.  Then
  // nothing below is set.
  bool stopped = false;
  std::int64_t bad_index = -1;
  Point3 bad_point;
  FieldStatus bad_status = FieldStatus::kOk;

  // Points that could not be evaluated, and the length of the intervals
  // left out because one of their ends is such a point.
  std::int64_t skipped = 0;
  double skipped_length = 0;

  float integral[3] = {0, 0, 0};  // field x length
  bool any_evaluated = false;     // false: no peak, no effective length
  float peak = 0;                 // largest magnitude
  Point3 peak_at;
  int main_component = 0;
  float main_peak = 0;  // the main component where its magnitude is largest
  Point3 main_peak_at;
  float effective_length = 0;  // NaN when main_peak is 0
};

// Integrates along the points of `line` (at least two).
IntegralResult integrate_line(const FieldMap& map, LinePoints line, const IntegralOptions& options);

// The report: line, points and spacing, rule, integrals, peak, effective
// length, and what was skipped.  Not for a stopped result.
std::string format_integral(const IntegralResult& r, Point3 a, Point3 b, IntegrationRule rule);

}  // namespace fieldscan::fieldmap
